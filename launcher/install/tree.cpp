// Work on the game's folder trees for the install: giving the staged new tree
// what the old one has and the package lacks, and the folders' modes. Every
// call works below an open folder and never follows a link.
#include "tree.h"

#include "fsutil.h"
#include "trees.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace {

bool copyRegular(int fromDir, int toDir, const char *name, const struct stat &st)
{
    // O_NONBLOCK: a FIFO put in the file's place since it was looked at is
    // refused, never waited on.
    Fd in(openat(fromDir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat opened;
    if (in.fd < 0 || fstat(in.fd, &opened) != 0 || !S_ISREG(opened.st_mode))
        return false;
    Fd out(openat(toDir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, st.st_mode & 07777));
    if (out.fd < 0)
        return false;
    char buffer[16384];
    for (;;) {
        ssize_t n = read(in.fd, buffer, sizeof buffer);
        if (n < 0)
            return false;
        if (n == 0)
            break;
        if (!write_full(out.fd, buffer, size_t(n)))
            return false;
    }
    return fchmod(out.fd, st.st_mode & 07777) == 0;
}


std::string below(const std::string &path, const char *name)
{
    return path.empty() ? std::string(name) : path + "/" + name;
}

// Puts the old install's `name` into the new tree: a hard link, or a copy
// where the file system has none. An item of the old version that the new
// one lacks stays behind, and so does a folder of it that holds nothing
// the player made.
bool carryOver(int oldDir, int newDir, const char *name, const struct stat &st, MergeFilter *filter,
               const std::string &path)
{
    const bool publishers = filter && filter->publishers.count(path);
    if (publishers && !S_ISDIR(st.st_mode)) {
        filter->removed.push_back(path);
        return true;
    }
    if (S_ISDIR(st.st_mode)) {
        if (mkdirat(newDir, name, 0700) != 0)
            return false;
        Fd from(openat(oldDir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        Fd to(openat(newDir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (from.fd < 0 || to.fd < 0 || !mergeDirectory(from.fd, to.fd, filter, path))
            return false;
        if (publishers && names_in(to.fd).empty()) {
            filter->removed.push_back(path);
            return unlinkat(newDir, name, AT_REMOVEDIR) == 0;
        }
        if (fchown(to.fd, st.st_uid, st.st_gid) != 0 && errno != EPERM)
            return false;  // only root may give a folder away; that one is no fault
        return fchmod(to.fd, st.st_mode & 07777) == 0;
    }
    if (linkat(oldDir, name, newDir, name, 0) == 0)
        return true;
    if (is_disk_full(errno) || errno == EEXIST)
        return false;
    if (S_ISLNK(st.st_mode)) {
        std::vector<char> target(size_t(st.st_size) + 2);
        ssize_t n = readlinkat(oldDir, name, target.data(), target.size() - 1);
        if (n < 0)
            return false;
        target[size_t(n)] = '\0';
        return symlinkat(target.data(), newDir, name) == 0;
    }
    if (S_ISREG(st.st_mode))
        return copyRegular(oldDir, newDir, name, st);
    return true;  // sockets, FIFOs, devices: nothing a game folder needs
}

}  // namespace

// One name of the old tree against the new one: what unpacking over the old
// tree would have left there.
bool mergeEntry(int oldDir, int newDir, const char *name, MergeFilter *filter, const std::string &path)
{
    struct stat oldSt, newSt;
    if (fstatat(oldDir, name, &oldSt, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (fstatat(newDir, name, &newSt, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT && carryOver(oldDir, newDir, name, oldSt, filter, below(path, name));
    if (S_ISDIR(oldSt.st_mode) && S_ISDIR(newSt.st_mode)) {
        Fd from(openat(oldDir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        Fd to(openat(newDir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        // A folder that was there keeps its mode, as it would under an unpack.
        return from.fd >= 0 && to.fd >= 0 && mergeDirectory(from.fd, to.fd, filter, below(path, name)) &&
               fchmod(to.fd, oldSt.st_mode & 07777) == 0;
    }
    // The unpacker leaves an existing file or folder in place of a link.
    if (S_ISLNK(newSt.st_mode) && !S_ISLNK(oldSt.st_mode)) {
        if (filter && filter->publishers.count(below(path, name)))
            return true;  // the old version's own item, which the new one made a link
        return unlinkat(newDir, name, 0) == 0 && carryOver(oldDir, newDir, name, oldSt, filter, below(path, name));
    }
    return true;  // the package's entry replaces the old one
}

bool mergeDirectory(int oldDir, int newDir, MergeFilter *filter, const std::string &path)
{
    for (const std::string &name : names_in(oldDir))
        if (!mergeEntry(oldDir, newDir, name.c_str(), filter, path))
            return false;
    return true;
}

// Every folder below `dirFd` (and it) as an unpack makes a folder: with the
// process's default mode. The merge then gives the folders that were there
// their old modes back, as it does after an unpack.
bool giveFoldersDefaultModes(int dirFd, mode_t mode)
{
    if (fchmod(dirFd, mode) != 0)
        return false;
    for (const std::string &name : names_in(dirFd)) {
        struct stat st;
        if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return false;
        if (!S_ISDIR(st.st_mode))
            continue;
        Fd sub(openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (sub.fd < 0 || !giveFoldersDefaultModes(sub.fd, mode))
            return false;
    }
    return true;
}
