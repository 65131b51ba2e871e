// Installing an update, a package or a delta, so that the game is always the
// whole old version or the whole new one.
//
// On disk, beside the game (GAME_PARENT is "../" in the launcher):
//   GAME_PARENT/.vantorique-staging/          the work folder, locked (flock)
//                                             while an install runs
//   GAME_PARENT/.vantorique-staging/new/      the package unpacked (or the new
//                                             game built by a delta from the
//                                             installed one), then given what
//                                             the old install has and the
//                                             package lacks (hard links)
//   GAME_PARENT/.vantorique-staging/old/      old items, only where the file
//                                             system cannot exchange two names
//   GAME_PARENT/.vantorique-staging/ready     the journal: "version N" (the
//                                             version to record, "version -"
//                                             for none), then one line
//                                             "DEVICE INODE NAME" per staged
//                                             top-level item, written (via
//                                             ready.tmp) only once the staged
//                                             tree is complete
// Then each item is swapped in with one atomic exchange, the version file
// written, the journal removed and the work folder deleted. A start-up after
// a kill reads the journal: with it, every item whose staged inode is not yet
// in place is swapped in (the new version is complete) and the version
// recorded; without it, nothing outside the work folder was touched, and the
// folder is just deleted.
#include "install.h"

#include "delta.h"
#include "fsutil.h"
#include "journal.h"
#include "log.h"
#include "state.h"
#include "tree.h"
#include "version.h"
#include "ziputil.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <vector>

void (*installStepHook)(const char *step) = nullptr;
bool installForceTwoRenames = false;

namespace {

const char kStagingName[] = ".vantorique-staging";
const char kGameName[] = "Vantorique.app";  // the one tree a delta rebuilds
const unsigned long long kSpareBytes = 1 << 20;  // room left for the launcher's own files

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

// Exchanges the staged item with the installed one in one step; a first
// install is a plain rename. Where the file system cannot exchange, the old
// item moves into the work folder first: a kill between the two renames is
// finished at the next start.
bool swapIn(const std::string &staged, const std::string &installed, const std::string &oldPlace)
{
    struct stat st;
    if (lstat(installed.c_str(), &st) != 0)
        return errno == ENOENT && rename(staged.c_str(), installed.c_str()) == 0;
    if (!installForceTwoRenames) {
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
    }
    mkdir(oldPlace.substr(0, oldPlace.find_last_of('/')).c_str(), 0700);
    if (rename(installed.c_str(), oldPlace.c_str()) != 0)
        return false;
    reachedStep("moved-aside");
    return rename(staged.c_str(), installed.c_str()) == 0;
}

// The staged files reach the disk before the journal that vouches for them.
void syncStaged(int stagedFd)
{
#if defined(__linux__)
    syncfs(stagedFd);
#else
    (void)stagedFd;
    sync();
#endif
    reachedStep("synced");
}

// Swaps in every journal item whose staged inode is not in place yet.
// Returns how many it moved, or -1 on a failure.
int finishSwaps(const std::string &parent, const std::string &staging, const Journal &journal)
{
    int moved = 0;
    for (const JournalLine &line : journal.lines) {
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

// The new game is in: the version file says so before the journal goes.
bool recordVersion(const Journal &journal)
{
    if (!journal.hasVersion)
        return true;
    if (!writeVersionFile(kVersionFile, journal.version)) {
        logLine("Could not record version %d in %s", journal.version, kVersionFile);
        return false;
    }
    reachedStep("recorded");
    return true;
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

// What the player reads when the unpacker names why it failed. A failure it
// did not name (FAILURE_NONE) reads as a damaged package.
const struct {
    int kind;
    const char *words;
} kUnpackFailures[] = {
    {FAILURE_CANNOT_READ, "The package is damaged"},
    {FAILURE_DAMAGED, "The package is damaged"},
    {FAILURE_REFUSED, "The package is damaged"},
    {FAILURE_UNSUPPORTED, "The package is damaged"},
    {FAILURE_NO_SPACE, "Disk full"},
    {FAILURE_CANNOT_WRITE, "Cannot write to the game folder"},
};

const char *unpackFailureWords(const call_context &unpack)
{
    const int kind = context_failure(&unpack);
    for (const auto &failure : kUnpackFailures)
        if (failure.kind == kind)
            return failure.words;
    return "The package is damaged";
}

// What an install stages: a package, or a delta applied to the installed game.
struct UpdateSource {
    const char *path;
    bool delta;
    std::string *deltaFault;  // a delta's: why it could not build the new game
    call_context *ctx;        // the unpacker's or the delta's: its failure and progress
};

// What the player reads when a delta call failed, from that call's own context.
const char *deltaFailureWords(const call_context *ctx)
{
    return context_failure(ctx) == FAILURE_NO_SPACE ? "Disk full" : "The update is damaged";
}

std::string deltaFaultLine(call_context *ctx)
{
    return std::string(failure_name(context_failure(ctx))) + ": " + context_line(ctx);
}

// Room the staged game takes: every file in whole blocks, and its entries.
bool updateNeeds(const UpdateSource &source, unsigned long long block, unsigned long long &needed,
                 unsigned long long &entries)
{
    if (!source.delta)
        return archive_needs(source.path, block, &needed, &entries, source.ctx) == 1;
    delta_info info;
    if (!delta_read_info(source.path, &info, source.ctx)) {
        *source.deltaFault = deltaFaultLine(source.ctx);
        return false;
    }
    entries = info.directories + info.files + info.links;
    needed = info.tree_bytes + entries * block;
    return true;
}

// Before anything is written: room for the staged game (every entry in
// whole blocks, plus what the launcher's own files need) and the work folder,
// made and locked by this install alone.
bool preflight(const UpdateSource &source, const std::string &parent, const std::string &staging, Fd &lock,
               std::string &reason)
{
    struct statvfs vfs;
    if (statvfs(parent.c_str(), &vfs) != 0) {
        reason = "The game folder is missing";
        return false;
    }
    unsigned long long needed = 0, entries = 0;
    if (!updateNeeds(source, vfs.f_frsize ? vfs.f_frsize : 4096, needed, entries)) {
        printf("Not a %s: %s\n", source.delta ? "delta" : "zip archive", source.path);
        reason = source.delta ? deltaFailureWords(source.ctx) : unpackFailureWords(*source.ctx);
        return false;
    }
    const unsigned long long available = free_bytes(parent);
    if (available < needed + kSpareBytes || (vfs.f_files != 0 && vfs.f_favail < entries)) {
        printf("Disk full: the update needs %llu bytes, %llu are free\n", needed + kSpareBytes, available);
        reason = "Disk full";
        return false;
    }
    if (mkdir(staging.c_str(), 0700) != 0) {
        int error = errno;
        reason = disk_full_or(error, error == EEXIST ? "Another update is running" : "Cannot write to the game folder");
        return false;
    }
    lock = Fd(open(staging.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (lock.fd < 0 || flock(lock.fd, LOCK_EX | LOCK_NB) != 0) {
        reason = "Another update is running";
        return false;
    }
    return true;
}

// The new game in `stagedRoot`: the package unpacked, or the delta applied
// to the installed game, which it only reads.
bool stageNewGame(const UpdateSource &source, const std::string &parent, const std::string &stagedRoot,
                  std::string &reason)
{
    if (!source.delta) {
        if (decompress_path(source.path, stagedRoot.c_str(), source.ctx) != 1) {
            reason = unpackFailureWords(*source.ctx);
            return false;
        }
        reachedStep("unpacked");
        return true;
    }
    reachedStep("applying");
    if (delta_apply((parent + kGameName).c_str(), source.path, (stagedRoot + kGameName).c_str(),
                    source.ctx) != 1) {
        *source.deltaFault = deltaFaultLine(source.ctx);
        reason = deltaFailureWords(source.ctx);
        return false;
    }
    // The game a delta makes is the game the package makes, and a package's
    // unpack makes its folders with the default mode, not the stored one.
    const mode_t mask = umask(0);
    umask(mask);
    Fd game(open((stagedRoot + kGameName).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (game.fd < 0 || !giveFoldersDefaultModes(game.fd, 0777 & ~mask)) {
        *source.deltaFault = "the new game's folders cannot be set: " + std::string(strerror(errno));
        reason = "Cannot write to the game folder";
        return false;
    }
    reachedStep("applied");
    return true;
}

// The new version complete in the work folder: the new game staged, given
// what the old install has and the new game lacks, on disk, and vouched for
// by the journal. Nothing outside the work folder changes.
bool stage(const UpdateSource &source, const std::string &parent, const std::string &staging, Journal &journal,
           std::string &reason)
{
    const std::string stagedRoot = staging + "/new/";
    if (mkdir(stagedRoot.c_str(), 0755) != 0) {
        reason = disk_full_or(errno, "Cannot write to the game folder");
        return false;
    }
    if (!stageNewGame(source, parent, stagedRoot, reason))
        return false;

    Fd oldParent(open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    Fd newParent(open(stagedRoot.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (oldParent.fd < 0 || newParent.fd < 0) {
        reason = disk_full_or(errno, "Cannot write to the game folder");
        return false;
    }
    for (const std::string &name : entriesOf(newParent.fd)) {
        if (name == kStagingName || name.find('\n') != std::string::npos) {
            printf("Refusing package item: %s\n", name.c_str());
            reason = "The package is damaged";
            return false;
        }
        if (holdsWorkingDirectory(parent + name)) {
            printf("Refusing package item that holds the launcher: %s\n", name.c_str());
            reason = "The package is damaged";
            return false;
        }
        struct stat st;
        if (!mergeEntry(oldParent.fd, newParent.fd, name.c_str())) {
            reason = disk_full_or(errno, "Could not prepare the update");
            return false;
        }
        if (fstatat(newParent.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            reason = "Could not prepare the update";
            return false;
        }
        journal.lines.push_back({(unsigned long long)st.st_dev, (unsigned long long)st.st_ino, name});
    }
    reachedStep("merged");

    syncStaged(newParent.fd);
    if (!writeJournal(staging, journal)) {
        reason = disk_full_or(errno, "Could not prepare the update");
        return false;
    }
    reachedStep("ready");
    return true;
}

// Each item swapped in, the version recorded, then the journal and the work
// folder removed.
bool commit(const std::string &parent, const std::string &staging, const Journal &journal, std::string &reason)
{
    if (finishSwaps(parent, staging, journal) < 0) {
        // Whatever was swapped stays swapped; the next start finishes the rest.
        printf("Could not swap in the update: %s\n", strerror(errno));
        reason = "Could not replace the game";
        return false;
    }
    if (!recordVersion(journal))
        return true;  // the game is in; the journal stays so that the next start records its version
    unlink((staging + "/ready").c_str());
    reachedStep("installed");
    removeTree(staging);
    return true;
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
        bool present = false;
        const Journal journal = readJournal(staging + "/ready", present);
        if (present) {
            int moved = finishSwaps(parent, staging, journal);
            if (moved < 0) {
                printf("Could not finish an interrupted update: %s\n", strerror(errno));
                logLine("Could not finish an interrupted update: %s", strerror(errno));
                return;  // the journal stays for the next start
            }
            if (moved > 0)
                printf("Finished an interrupted update\n");
            if (!recordVersion(journal))
                return;  // the journal stays for the next start
            logLine("Finished an interrupted update: %d items swapped in, %s", moved,
                    journal.hasVersion ? ("version " + std::to_string(journal.version) + " recorded").c_str()
                                       : "no version to record");
            unlink((staging + "/ready").c_str());
        }
    }
    printf("Removed what an interrupted update left: %s\n", staging.c_str());
    removeTree(staging);
}

void removeLeftoverPackage(const char *packagePath)
{
    struct stat st;
    if (lstat(packagePath, &st) == 0 && unlink(packagePath) == 0)
        logLine("Removed the download an interrupted update left: %s", packagePath);
}

namespace {

// Preflight, stage, commit. `committing` tells whether a failure came after
// the game started to change (the next start finishes it).
bool installUpdate(const UpdateSource &source, const char *gameParent, const int *version, std::string &reason,
                   bool &committing)
{
    const std::string parent = withSlash(gameParent), staging = parent + kStagingName;
    committing = false;
    recoverInterruptedInstall(gameParent);
    Fd lock;
    if (!preflight(source, parent, staging, lock, reason))
        return false;
    Journal journal;
    journal.hasVersion = version != nullptr;
    journal.version = version ? *version : 0;
    if (!stage(source, parent, staging, journal, reason)) {
        removeTree(staging);
        return false;
    }
    committing = true;
    return commit(parent, staging, journal, reason);
}

}  // namespace

bool installPackage(const char *packagePath, const char *gameParent, const int *version, std::string &reason,
                    progress_sink *progress)
{
    bool committing = false;
    call_context unpack;
    unpack.progress = progress;
    return installUpdate(UpdateSource{packagePath, false, nullptr, &unpack}, gameParent, version, reason, committing);
}

bool installDelta(const char *deltaPath, const char *gameParent, const int *version, std::string &reason,
                  std::string &deltaFault, progress_sink *progress)
{
    deltaFault.clear();
    bool committing = false;
    call_context ctx;
    ctx.progress = progress;
    if (installUpdate(UpdateSource{deltaPath, true, &deltaFault, &ctx}, gameParent, version, reason, committing))
        return true;
    if (committing)
        deltaFault.clear();  // the game is changing: no other install may start over it
    else if (deltaFault.empty())
        deltaFault = reason;
    return false;
}
