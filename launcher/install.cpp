// Installing a package so that the game is always the whole old version or
// the whole new one.
//
// On disk, beside the game (GAME_PARENT is "../" in the launcher):
//   GAME_PARENT/.vantorique-staging/          the work folder, locked (flock)
//                                             while an install runs
//   GAME_PARENT/.vantorique-staging/new/      the package unpacked, then given
//                                             what the old install has and the
//                                             package lacks (hard links)
//   GAME_PARENT/.vantorique-staging/old/      old items, only where the file
//                                             system cannot exchange two names
//   GAME_PARENT/.vantorique-staging/ready     the journal: one line
//                                             "DEVICE INODE NAME" per staged
//                                             top-level item, written (via
//                                             ready.tmp) only once the staged
//                                             tree is complete
// Then each item is swapped in with one atomic exchange, the journal removed
// and the work folder deleted. A start-up after a kill reads the journal: with
// it, every item whose staged inode is not yet in place is swapped in (the
// new version is complete); without it, nothing outside the work folder was
// touched, and the folder is just deleted.
#include "install.h"

#include "ziputil.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <unzip.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <vector>

void (*installStepHook)(const char *step) = nullptr;

namespace {

const char kStagingName[] = ".vantorique-staging";
const unsigned long long kSpareBytes = 1 << 20;  // room left for the launcher's own files

struct DirCloser {
    void operator()(DIR *d) const { closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

void reachedStep(const char *step)
{
    if (installStepHook)
        installStepHook(step);
}

std::string withSlash(const char *folder)
{
    std::string s = folder;
    if (s.empty())
        s = "./";
    if (s.back() != '/')
        s += '/';
    return s;
}

std::vector<std::string> entriesOf(int dirFd)
{
    std::vector<std::string> names;
    int copy = dup(dirFd);
    DirPtr dir(copy >= 0 ? fdopendir(copy) : nullptr);
    if (!dir) {
        if (copy >= 0)
            close(copy);
        return names;
    }
    rewinddir(dir.get());  // the copy shares its offset with dirFd
    while (dirent *e = readdir(dir.get()))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.push_back(e->d_name);
    std::sort(names.begin(), names.end());
    return names;
}

// Deletes `name` below `dirFd` and everything under it, never following a link.
bool removeAt(int dirFd, const char *name)
{
    if (unlinkat(dirFd, name, 0) == 0 || errno == ENOENT)
        return true;
    if (errno != EISDIR && errno != EPERM)
        return false;
    Fd dir(openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir.fd < 0)
        return false;
    struct stat st;
    if (fstat(dir.fd, &st) == 0 && (st.st_mode & S_IRWXU) != S_IRWXU)
        fchmod(dir.fd, st.st_mode | S_IRWXU);  // a read-only folder still goes
    bool ok = true;
    for (const std::string &entry : entriesOf(dir.fd))
        ok = removeAt(dir.fd, entry.c_str()) && ok;
    return unlinkat(dirFd, name, AT_REMOVEDIR) == 0 && ok;
}

bool removeTree(const std::string &path)
{
    return removeAt(AT_FDCWD, path.c_str());
}

bool copyRegular(int fromDir, int toDir, const char *name, const struct stat &st)
{
    Fd in(openat(fromDir, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    Fd out(openat(toDir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, st.st_mode & 07777));
    if (in.fd < 0 || out.fd < 0)
        return false;
    char buffer[16384];
    for (;;) {
        ssize_t n = read(in.fd, buffer, sizeof buffer);
        if (n < 0)
            return false;
        if (n == 0)
            break;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(out.fd, buffer + done, size_t(n - done));
            if (w <= 0)
                return false;
            done += w;
        }
    }
    return fchmod(out.fd, st.st_mode & 07777) == 0;
}

bool mergeDirectory(int oldDir, int newDir);

// Puts the old install's `name` into the new tree: a hard link, or a copy
// where the file system has none.
bool carryOver(int oldDir, int newDir, const char *name, const struct stat &st)
{
    if (S_ISDIR(st.st_mode)) {
        if (mkdirat(newDir, name, 0700) != 0)
            return false;
        Fd from(openat(oldDir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        Fd to(openat(newDir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (from.fd < 0 || to.fd < 0 || !mergeDirectory(from.fd, to.fd))
            return false;
        if (fchown(to.fd, st.st_uid, st.st_gid) != 0 && errno != EPERM)
            return false;  // only root may give a folder away; that one is no fault
        return fchmod(to.fd, st.st_mode & 07777) == 0;
    }
    if (linkat(oldDir, name, newDir, name, 0) == 0)
        return true;
    if (errno == ENOSPC || errno == EDQUOT || errno == EEXIST)
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

// One name of the old tree against the new one: what unpacking over the old
// tree would have left there.
bool mergeEntry(int oldDir, int newDir, const char *name)
{
    struct stat oldSt, newSt;
    if (fstatat(oldDir, name, &oldSt, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (fstatat(newDir, name, &newSt, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT && carryOver(oldDir, newDir, name, oldSt);
    if (S_ISDIR(oldSt.st_mode) && S_ISDIR(newSt.st_mode)) {
        Fd from(openat(oldDir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        Fd to(openat(newDir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        // A folder that was there keeps its mode, as it would under an unpack.
        return from.fd >= 0 && to.fd >= 0 && mergeDirectory(from.fd, to.fd) &&
               fchmod(to.fd, oldSt.st_mode & 07777) == 0;
    }
    // The unpacker leaves an existing file or folder in place of a link.
    if (S_ISLNK(newSt.st_mode) && !S_ISLNK(oldSt.st_mode))
        return unlinkat(newDir, name, 0) == 0 && carryOver(oldDir, newDir, name, oldSt);
    return true;  // the package's entry replaces the old one
}

bool mergeDirectory(int oldDir, int newDir)
{
    for (const std::string &name : entriesOf(oldDir))
        if (!mergeEntry(oldDir, newDir, name.c_str()))
            return false;
    return true;
}

// Bytes the unpacked package needs: every entry rounded up to whole blocks.
bool packageNeeds(const char *packagePath, unsigned long long blockSize, unsigned long long &bytes,
                  unsigned long long &entries)
{
    std::unique_ptr<void, int (*)(unzFile)> zip(unzOpen64(packagePath), unzClose);
    unz_global_info64 global;
    if (!zip || unzGetGlobalInfo64(zip.get(), &global) != UNZ_OK || unzGoToFirstFile(zip.get()) != UNZ_OK)
        return false;
    bytes = entries = 0;
    // By the count, as the unpack does: this minizip ends the walk early at 65,535 entries.
    for (; entries < global.number_entry; entries++) {
        unz_file_info64 info;
        if (unzGetCurrentFileInfo64(zip.get(), &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK)
            return false;
        bytes += (info.uncompressed_size + blockSize - 1) / blockSize * blockSize;
        if (entries + 1 < global.number_entry && unzGoToNextFile(zip.get()) != UNZ_OK)
            return false;
    }
    return true;
}

// Exchanges the staged item with the installed one in one step; a first
// install is a plain rename. Where the file system cannot exchange, the old
// item moves into the work folder first: a kill between the two renames is
// finished at the next start.
bool swapIn(const std::string &staged, const std::string &installed, const std::string &oldPlace)
{
    struct stat st;
    if (lstat(installed.c_str(), &st) != 0)
        return errno == ENOENT && rename(staged.c_str(), installed.c_str()) == 0;
#if defined(__linux__)
    if (renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, installed.c_str(), RENAME_EXCHANGE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
#elif defined(__APPLE__)
    if (renamex_np(staged.c_str(), installed.c_str(), RENAME_SWAP) == 0)
        return true;
    if (errno != ENOTSUP && errno != EINVAL)
        return false;
#endif
    mkdir(oldPlace.substr(0, oldPlace.find_last_of('/')).c_str(), 0700);
    return rename(installed.c_str(), oldPlace.c_str()) == 0 && rename(staged.c_str(), installed.c_str()) == 0;
}

struct JournalLine {
    unsigned long long device, inode;
    std::string name;
};

std::vector<JournalLine> readJournal(const std::string &path, bool &present)
{
    std::vector<JournalLine> lines;
    Fd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    present = fd.fd >= 0;
    std::string text;
    char buffer[4096];
    ssize_t n;
    while (present && (n = read(fd.fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, size_t(n));
    std::istringstream in(text);
    JournalLine line;
    while (in >> line.device >> line.inode && in.get() == ' ' && std::getline(in, line.name))
        lines.push_back(line);
    return lines;
}

bool writeJournal(const std::string &staging, const std::vector<JournalLine> &lines)
{
    std::ostringstream text;
    for (const JournalLine &line : lines)
        text << line.device << ' ' << line.inode << ' ' << line.name << '\n';
    const std::string body = text.str(), temp = staging + "/ready.tmp", path = staging + "/ready";
    Fd fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.fd < 0 || write(fd.fd, body.data(), body.size()) != ssize_t(body.size()) || fsync(fd.fd) != 0)
        return false;
    Fd dir(open(staging.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return rename(temp.c_str(), path.c_str()) == 0 && dir.fd >= 0 && fsync(dir.fd) == 0;
}

// Swaps in every journal item whose staged inode is not in place yet.
// Returns how many it moved, or -1 on a failure.
int finishSwaps(const std::string &parent, const std::string &staging, const std::vector<JournalLine> &lines)
{
    int moved = 0;
    for (const JournalLine &line : lines) {
        const std::string installed = parent + line.name, staged = staging + "/new/" + line.name;
        struct stat st;
        auto isStaged = [&](const std::string &path) {
            return lstat(path.c_str(), &st) == 0 && st.st_ino == line.inode && (unsigned long long)st.st_dev == line.device;
        };
        if (isStaged(installed))
            continue;
        if (!isStaged(staged))
            continue;  // gone: nothing left to finish for this item
        if (!swapIn(staged, installed, staging + "/old/" + line.name))
            return -1;
        reachedStep("swapped");
        moved++;
    }
    Fd dir(open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd >= 0)
        fsync(dir.fd);
    return moved;
}

// A few words for the screen about a failure whose errno is `error`.
std::string fileFault(int error, const char *otherwise)
{
    return error == ENOSPC || error == EDQUOT ? "Disk full" : otherwise;
}

// Whether `folder` holds the launcher's working directory (or is it).
bool holdsWorkingDirectory(const std::string &folder)
{
    char cwd[4096], real[4096];
    if (!getcwd(cwd, sizeof cwd) || !realpath(folder.c_str(), real))
        return false;
    size_t n = strlen(real);
    return strncmp(cwd, real, n) == 0 && (cwd[n] == '\0' || cwd[n] == '/');
}

}  // namespace

void recoverInterruptedInstall(const char *gameParent)
{
    const std::string parent = withSlash(gameParent), staging = parent + kStagingName;
    struct stat st;
    if (lstat(staging.c_str(), &st) != 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        Fd lock(open(staging.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (lock.fd >= 0 && flock(lock.fd, LOCK_EX | LOCK_NB) != 0)
            return;  // another launcher is installing right now
        bool journal = false;
        std::vector<JournalLine> lines = readJournal(staging + "/ready", journal);
        if (journal) {
            int moved = finishSwaps(parent, staging, lines);
            if (moved < 0) {
                printf("Could not finish an interrupted update: %s\n", strerror(errno));
                return;  // the journal stays for the next start
            }
            if (moved > 0)
                printf("Finished an interrupted update\n");
            unlink((staging + "/ready").c_str());
        }
    }
    printf("Removed what an interrupted update left: %s\n", staging.c_str());
    removeTree(staging);
}

bool installPackage(const char *packagePath, const char *gameParent, std::string &reason)
{
    const std::string parent = withSlash(gameParent), staging = parent + kStagingName;
    const std::string stagedRoot = staging + "/new/";
    recoverInterruptedInstall(gameParent);

    struct statvfs vfs;
    unsigned long long needed = 0, entries = 0;
    if (statvfs(parent.c_str(), &vfs) != 0) {
        reason = "The game folder is missing";
        return false;
    }
    if (!packageNeeds(packagePath, vfs.f_frsize ? vfs.f_frsize : 4096, needed, entries)) {
        printf("Not a zip archive: %s\n", packagePath);
        reason = "The package is damaged";
        return false;
    }
    const unsigned long long available = (unsigned long long)vfs.f_bavail * vfs.f_frsize;
    if (available < needed + kSpareBytes || (vfs.f_files != 0 && vfs.f_favail < entries)) {
        printf("Disk full: the update needs %llu bytes, %llu are free\n", needed + kSpareBytes, available);
        reason = "Disk full";
        return false;
    }

    if (mkdir(staging.c_str(), 0700) != 0) {
        int error = errno;
        reason = fileFault(error, error == EEXIST ? "Another update is running" : "Cannot write to the game folder");
        return false;
    }
    Fd lock(open(staging.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (lock.fd < 0 || flock(lock.fd, LOCK_EX | LOCK_NB) != 0) {
        reason = "Another update is running";
        return false;
    }
    auto fail = [&](const std::string &why) {
        reason = why;
        removeTree(staging);
        return false;
    };
    if (mkdir(stagedRoot.c_str(), 0755) != 0)
        return fail(fileFault(errno, "Cannot write to the game folder"));

    if (decompress_path(packagePath, stagedRoot.c_str()) != 1)
        return fail(freeBytes(parent) < kSpareBytes ? "Disk full" : "The package is damaged");
    reachedStep("unpacked");

    Fd oldParent(open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    Fd newParent(open(stagedRoot.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (oldParent.fd < 0 || newParent.fd < 0)
        return fail(fileFault(errno, "Cannot write to the game folder"));
    std::vector<JournalLine> journal;
    for (const std::string &name : entriesOf(newParent.fd)) {
        if (name == kStagingName || name.find('\n') != std::string::npos) {
            printf("Refusing package item: %s\n", name.c_str());
            return fail("The package is damaged");
        }
        if (holdsWorkingDirectory(parent + name)) {
            printf("Refusing package item that holds the launcher: %s\n", name.c_str());
            return fail("The package is damaged");
        }
        if (!mergeEntry(oldParent.fd, newParent.fd, name.c_str()))
            return fail(fileFault(errno, "Could not prepare the update"));
        struct stat st;
        if (fstatat(newParent.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return fail("Could not prepare the update");
        journal.push_back({(unsigned long long)st.st_dev, (unsigned long long)st.st_ino, name});
    }
    reachedStep("merged");

    // The staged files reach the disk before the journal that vouches for them.
#if defined(__linux__)
    syncfs(newParent.fd);
#else
    sync();
#endif
    if (!writeJournal(staging, journal))
        return fail(fileFault(errno, "Could not prepare the update"));
    reachedStep("ready");

    if (finishSwaps(parent, staging, journal) < 0) {
        // Whatever was swapped stays swapped; the next start finishes the rest.
        printf("Could not swap in the update: %s\n", strerror(errno));
        reason = "Could not replace the game";
        return false;
    }
    unlink((staging + "/ready").c_str());
    reachedStep("installed");
    removeTree(staging);
    return true;
}

unsigned long long freeBytes(const std::string &folder)
{
    struct statvfs vfs;
    if (statvfs(folder.c_str(), &vfs) != 0)
        return ~0ULL;  // unknown: let the write find out
    return (unsigned long long)vfs.f_bavail * vfs.f_frsize;
}

FILE *createFresh(const char *path)
{
    unlink(path);
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return nullptr;
    FILE *f = fdopen(fd, "wb");
    if (!f)
        close(fd);
    return f;
}
