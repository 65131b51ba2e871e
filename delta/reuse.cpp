// An installed file that an update keeps as it is enters the staged tree
// without being written again: as a hard link to the very file that was
// opened and hashed, or as a clone where the file system shares extents,
// and only as a copy when neither works (another file system, no links).
//
// A hard link shares the inode with the installed game, so it is only made
// when the staged file needs no change at all (its mode is the installed
// one's, no metadata on either side): nothing is ever written to a linked
// file, and the swap that follows moves names, never content. A change of
// mode or metadata goes to a clone or a copy, a file of its own.
#include "items.h"

#include "fsutil.h"
#include "macmeta.h"
#include "mapped.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>  // FICLONE
#endif
#ifdef __APPLE__
#include <sys/clonefile.h>
#endif

namespace delta {

namespace {

bool copy_content(int from, int to, uint64_t size)
{
    if (size == 0)
        return true;
    int error = posix_fallocate(to, 0, off_t(size));
    if (error == EOPNOTSUPP || error == EINVAL)
        error = ftruncate(to, off_t(size)) == 0 ? 0 : errno;
    if (error) {
        errno = error;
        return false;
    }
    mapped in, out;
    if (!map_read(from, 0, size_t(size), in) || !map_write(to, size_t(size), out))
        return false;
    memcpy(out.data, in.data, size_t(size));
    return true;
}

}  // namespace

bool reuse_file(int fd, const struct stat &st, const std::string &installed_path, int dir, const std::string &name,
                uint32_t mode, bool plain, reuse_way &way)
{
    if (plain && (st.st_mode & 07777) == mode && !macmeta::may_carry(installed_path.c_str())) {
#ifdef __linux__
        // The descriptor's own inode, not whatever stands at the name now.
        std::string self = "/proc/self/fd/" + std::to_string(fd);
        if (linkat(AT_FDCWD, self.c_str(), dir, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
            return way = REUSE_LINKED, true;
#else
        if (linkat(AT_FDCWD, installed_path.c_str(), dir, name.c_str(), 0) == 0) {
            struct stat now;
            if (fstatat(dir, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_ino == st.st_ino &&
                now.st_dev == st.st_dev)
                return way = REUSE_LINKED, true;
            unlinkat(dir, name.c_str(), 0);
        }
#endif
        if (errno == EEXIST || is_disk_full(errno))
            return false;
    }
#ifdef __APPLE__
    if (fclonefileat(fd, dir, name.c_str(), 0) == 0) {
        way = REUSE_CLONED;
        return fchmodat(dir, name.c_str(), mode, AT_SYMLINK_NOFOLLOW) == 0;
    }
#endif
    Fd out(openat(dir, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (out.fd < 0)
        return false;
    way = REUSE_COPIED;
#ifdef FICLONE
    if (ioctl(out.fd, FICLONE, fd) == 0)
        way = REUSE_CLONED;
#endif
    if (way == REUSE_COPIED && !copy_content(fd, out.fd, uint64_t(st.st_size)))
        return false;
    return fchmod(out.fd, mode) == 0 && close(out.release()) == 0;
}

}  // namespace delta
