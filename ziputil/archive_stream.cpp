// The archive under minizip, read through read-ahead windows. minizip seeks
// before each 16 KB read of compressed data; through stdio that is an lseek
// and a read system call every time, a fifth of an unpack's time on large
// archives.
#include "unpack.h"

#include <errno.h>
#include <fcntl.h>
#include <ioapi.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace ziputil {

namespace {

const size_t kReadAhead = 256 * 1024;

voidpf open_archive(voidpf opaque, const void *path, int mode)
{
    if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ)
        return nullptr;
    int fd = open(static_cast<const char *>(path), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st;
    std::unique_ptr<ArchiveStream> s(new (std::nothrow) ArchiveStream());
    if (s && fstat(fd, &st) == 0) {
        s->fd = fd;
        s->size = uint64_t(st.st_size);
        for (Window &w : s->windows)
            w.data.reset(new (std::nothrow) unsigned char[kReadAhead]);
        if (s->windows[0].data && s->windows[1].data)
            return *static_cast<ArchiveStream **>(opaque) = s.release();
    }
    close(fd);
    return nullptr;
}

uLong read_archive(voidpf, voidpf stream, void *buf, uLong size)
{
    ArchiveStream *s = static_cast<ArchiveStream *>(stream);
    unsigned char *out = static_cast<unsigned char *>(buf);
    uLong done = 0;
    while (done < size) {
        Window *hit = nullptr;
        for (Window &w : s->windows)
            if (s->pos >= w.start && s->pos < w.start + w.length)
                hit = &w;
        if (!hit) {
            if (s->pos >= s->size)
                break;
            hit = s->windows[0].last_use <= s->windows[1].last_use ? &s->windows[0] : &s->windows[1];
            ssize_t n = pread(s->fd, hit->data.get(), kReadAhead, off_t(s->pos));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                s->failed = n < 0;
                hit->length = 0;
                break;
            }
            hit->start = s->pos;
            hit->length = size_t(n);
        }
        hit->last_use = ++s->uses;
        size_t at = size_t(s->pos - hit->start);
        size_t n = std::min<size_t>(size - done, hit->length - at);
        memcpy(out + done, hit->data.get() + at, n);
        s->pos += n;
        done += n;
    }
    return done;
}

uLong write_archive(voidpf, voidpf, const void *, uLong)
{
    return 0;  // read only
}

ZPOS64_T tell_archive(voidpf, voidpf stream)
{
    return static_cast<ArchiveStream *>(stream)->pos;
}

long seek_archive(voidpf, voidpf stream, ZPOS64_T offset, int origin)
{
    ArchiveStream *s = static_cast<ArchiveStream *>(stream);
    uint64_t base = origin == ZLIB_FILEFUNC_SEEK_SET ? 0 : origin == ZLIB_FILEFUNC_SEEK_CUR ? s->pos : s->size;
    s->pos = base + offset;  // offsets from CUR or END may be negative: unsigned wrap-around
    return 0;
}

int close_archive(voidpf, voidpf stream)
{
    ArchiveStream *s = static_cast<ArchiveStream *>(stream);
    int rc = close(s->fd);
    delete s;
    return rc;
}

int archive_error(voidpf, voidpf stream)
{
    return static_cast<ArchiveStream *>(stream)->failed ? -1 : 0;
}

}  // namespace

void *open_zip_for_reading(const char *path, ArchiveStream **stream)
{
    zlib_filefunc64_def io = {open_archive, read_archive, write_archive, tell_archive,
                              seek_archive, close_archive, archive_error, stream};
    return unzOpen2_64(path, &io);
}

}  // namespace ziputil
