#include "fsutil.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

Fd &Fd::operator=(Fd &&other) noexcept
{
    if (this != &other) {
        if (fd >= 0)
            close(fd);
        fd = other.release();
    }
    return *this;
}

Fd::~Fd()
{
    if (fd >= 0)
        close(fd);
}

int Fd::release()
{
    int f = fd;
    fd = -1;
    return f;
}

FilePtr file_from_fd(int fd, const char *mode)
{
    if (fd < 0)
        return nullptr;
    FILE *f = fdopen(fd, mode);
    if (!f)
        close(fd);
    return FilePtr(f);
}

// Calls `step` until `size` bytes have moved, through interruptions and
// short counts; an end of file before that is EIO.
template <class Step>
static bool move_full(size_t size, Step step)
{
    for (size_t done = 0; done < size;) {
        ssize_t n = step(done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        done += size_t(n);
    }
    return true;
}

bool read_full(int fd, void *data, size_t size, int64_t offset)
{
    return move_full(size, [&](size_t done) {
        char *at = static_cast<char *>(data) + done;
        return offset < 0 ? read(fd, at, size - done) : pread(fd, at, size - done, off_t(offset + done));
    });
}

bool write_full(int fd, const void *data, size_t size, int64_t offset)
{
    return move_full(size, [&](size_t done) {
        const char *at = static_cast<const char *>(data) + done;
        return offset < 0 ? write(fd, at, size - done) : pwrite(fd, at, size - done, off_t(offset + done));
    });
}

bool read_small_file(const std::string &path, size_t limit, std::string &out)
{
    out.clear();
    // O_NONBLOCK: a FIFO put in a file's place is refused below, never waited on.
    Fd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (fd.fd < 0 || fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 ||
        uint64_t(st.st_size) > limit)
        return false;
    out.resize(size_t(st.st_size));
    if (!read_full(fd.fd, &out[0], out.size())) {
        out.clear();
        return false;
    }
    return true;
}

FILE *create_fresh(const char *path)
{
    unlink(path);
    return file_from_fd(open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644), "wb").release();
}

unsigned long long free_bytes(const std::string &folder)
{
    struct statvfs vfs;
    if (statvfs(folder.c_str(), &vfs) != 0)
        return ~0ULL;  // unknown: let the write find out
    return (unsigned long long)vfs.f_bavail * vfs.f_frsize;
}

bool is_disk_full(int error)
{
    return error == ENOSPC || error == EDQUOT;
}

const char *disk_full_or(int error, const char *otherwise)
{
    return is_disk_full(error) ? "Disk full" : otherwise;
}
