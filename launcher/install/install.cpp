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
//                                             ready.XXXXXX, synced with its
//                                             folder) only once the staged
//                                             tree is complete and synced
// Then each item is swapped in with one atomic exchange, the version file
// written, the journal removed and the work folder deleted. A start-up after
// a kill reads the journal: with it, every item whose staged inode is not yet
// in place is swapped in (the new version is complete) and the version
// recorded; without it, nothing outside the work folder was touched, and the
// folder is just deleted.
#include "install.h"

#include "delta.h"
#include "durable.h"
#include "fsutil.h"
#include "indexes.h"
#include "journal.h"
#include "log.h"
#include "replace.h"
#include "tree.h"
#include "trees.h"
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

#include <algorithm>
#include <vector>

void (*installStepHook)(const char *step) = nullptr;
bool installForceTwoRenames = false;

namespace {

const char kStagingName[] = ".vantorique-staging";
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
    sync_file_system(stagedFd);
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
    sync_folder(parent);
    return moved;
}

// The new game is in: the version file says so before the journal goes.
bool recordVersion(const Journal &journal, const std::string &versionFile)
{
    if (!journal.hasVersion)
        return true;
    if (!writeVersionFile(versionFile.c_str(), journal.version)) {
        logLine("Could not record version %d in %s", journal.version, versionFile.c_str());
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

// What an install stages: a package, or a delta applied to the installed game.
struct UpdateSource {
    const char *path;
    bool delta;
    const InstallPlaces &places;
    const char *spans = nullptr;        // the plan's entries, a sparse copy of the package (or null)
    unsigned long long writeBytes = 0;  // what the plan writes (0: unknown)
};


// Room the staged game takes: every file written in whole blocks, and its entries.
bool updateNeeds(const UpdateSource &source, unsigned long long block, unsigned long long &needed,
                 unsigned long long &entries, call_context *ctx)
{
    if (source.spans && !source.delta) {
        // A sparse copy has no central directory: the plan's figure, and an
        // inode for each of the index's items at most.
        release_index index;
        if (!index_read(source.places.incomingIndexFile.c_str(), &index, ctx))
            return false;
        entries = index.items.size();
        needed = roomForWrites(source.writeBytes);
        return true;
    }
    if (!source.delta)
        return archive_needs(source.path, block, &needed, &entries, ctx) == 1;
    delta_info info;
    if (!delta_read_info(source.path, &info, ctx))
        return false;
    entries = info.directories + info.files + info.links;
    // What the delta writes: unchanged files are linked beside themselves
    // (a copy on a file system without links runs out of room with "Disk
    // full" from the delta itself, before the game changes).
    needed = info.tree_bytes - info.copied_bytes + entries * block;
    if (source.spans)  // the plan counts the files taken from entries too
        needed = std::max(needed, roomForWrites(source.writeBytes));
    return true;
}

// Before anything is written: room for the staged game (every entry in
// whole blocks, plus what the launcher's own files need) and the work folder,
// made and locked by this install alone.
bool preflight(const UpdateSource &source, const std::string &parent, const std::string &staging, Fd &lock,
               call_context *ctx)
{
    struct statvfs vfs;
    if (statvfs(parent.c_str(), &vfs) != 0)
        return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "the game folder " + parent, errno);
    // The libraries open it blocking: anything but a regular file (a FIFO put
    // at its name) is refused here, never waited on.
    struct stat st;
    if (stat(source.path, &st) != 0 || !S_ISREG(st.st_mode)) {
        printf("Not a file: %s\n", source.path);
        return context_fail(ctx, FAILURE_DAMAGED, std::string(source.path) + " is not a file");
    }
    unsigned long long needed = 0, entries = 0;
    if (!updateNeeds(source, vfs.f_frsize ? vfs.f_frsize : 4096, needed, entries, ctx)) {
        printf("Not a %s: %s\n", source.delta ? "delta" : "zip archive", source.path);
        return false;
    }
    const unsigned long long available = free_bytes(parent);
    if (available < needed + kSpareBytes || (vfs.f_files != 0 && vfs.f_favail < entries)) {
        printf("Disk full: the update needs %llu bytes, %llu are free\n", needed + kSpareBytes, available);
        return context_fail(ctx, FAILURE_NO_SPACE,
                            "the update needs " + std::to_string(needed + kSpareBytes) + " bytes in " + parent +
                                ", " + std::to_string(available) + " are free");
    }
    if (mkdir(staging.c_str(), 0700) != 0)
        return errno == EEXIST ? context_fail(ctx, FAILURE_BUSY, staging + " exists: another update is running")
                               : context_fail_errno(ctx, FAILURE_CANNOT_WRITE, staging, errno);
    lock = Fd(open(staging.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (lock.fd < 0 || flock(lock.fd, LOCK_EX | LOCK_NB) != 0)
        return context_fail(ctx, FAILURE_BUSY, staging + " is locked: another update is running");
    return true;
}

// The new game's folders as a package's unpack makes them: with the
// default mode, not the stored one.
bool giveUnpackModes(const std::string &tree, call_context *ctx)
{
    const mode_t mask = umask(0);
    umask(mask);
    Fd staged(open(tree.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (staged.fd < 0 || !giveFoldersDefaultModes(staged.fd, 0777 & ~mask))
        return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "the new game's folders cannot be set", errno);
    return true;
}

// The new game in `stagedRoot`: the package unpacked (or staged by its
// index), or the delta applied to the installed game, which it only reads.
bool stageNewGame(const UpdateSource &source, const Journal &journal, const std::string &parent,
                  const std::string &stagedRoot, call_context *ctx)
{
    const std::string &game = source.places.gameName;
    if (source.spans && !source.delta) {
        // Only the plan's entries are there: the index road or nothing.
        if (!stageByIndex(source.places, source.path, journal.hasVersion, journal.version, parent + game,
                          stagedRoot + game, ctx)) {
            if (context_failure(ctx) == FAILURE_NONE)
                context_fail(ctx, FAILURE_DAMAGED, "the fetched files cannot be staged by the release's index");
            return false;
        }
        if (!giveUnpackModes(stagedRoot + game, ctx))
            return false;
        reachedStep("unpacked");
        return true;
    }
    if (!source.delta) {
        if (stageByIndex(source.places, source.path, journal.hasVersion, journal.version, parent + game,
                         stagedRoot + game, ctx)) {
            if (!giveUnpackModes(stagedRoot + game, ctx))
                return false;
        } else if (context_failure(ctx) != FAILURE_NONE || decompress_path(source.path, stagedRoot.c_str(), ctx) != 1) {
            return false;  // the unpacker recorded why
        }
        reachedStep("unpacked");
        return true;
    }
    reachedStep("applying");
    delta_apply_options with;
    with.index_path = source.places.incomingIndexFile.c_str();
    with.package_path = source.spans;
    if ((source.spans ? delta_apply_with((parent + game).c_str(), source.path, (stagedRoot + game).c_str(), &with, ctx)
                      : delta_apply((parent + game).c_str(), source.path, (stagedRoot + game).c_str(), ctx)) != 1)
        return false;  // the delta recorded why
    // The game a delta makes is the game the package makes, and a package's
    // unpack makes its folders with the default mode, not the stored one.
    if (!giveUnpackModes(stagedRoot + game, ctx))
        return false;
    reachedStep("applied");
    return true;
}

// The new version complete in the work folder: the new game staged, given
// what the old install has and the new game lacks, on disk, and vouched for
// by the journal. Nothing outside the work folder changes.
bool stage(const UpdateSource &source, const std::string &parent, const std::string &staging, Journal &journal,
           call_context *ctx)
{
    const std::string stagedRoot = staging + "/new/";
    if (mkdir(stagedRoot.c_str(), 0755) != 0)
        return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, stagedRoot, errno);
    if (!stageNewGame(source, journal, parent, stagedRoot, ctx))
        return false;

    MergeFilter filter;
    installedItems(source.places, filter);
    Fd oldParent(open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    Fd newParent(open(stagedRoot.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (oldParent.fd < 0 || newParent.fd < 0)
        return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "the game's folders", errno);
    for (const std::string &name : names_in(newParent.fd)) {
        if (name == kStagingName || name.find('\n') != std::string::npos) {
            printf("Refusing package item: %s\n", name.c_str());
            return context_fail(ctx, FAILURE_REFUSED, "a package item may not be named " + name);
        }
        if (holdsWorkingDirectory(parent + name)) {
            printf("Refusing package item that holds the launcher: %s\n", name.c_str());
            return context_fail(ctx, FAILURE_REFUSED, "the package item " + name + " holds the launcher");
        }
        struct stat st;
        if (!mergeEntry(oldParent.fd, newParent.fd, name.c_str(), &filter))
            return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "the old game's " + name + " cannot be carried over",
                                      errno);
        if (fstatat(newParent.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, stagedRoot + name, errno);
        journal.lines.push_back({(unsigned long long)st.st_dev, (unsigned long long)st.st_ino, name});
    }
    for (const std::string &path : filter.removed)
        logLine("Removed by the update (not in the new version): %s", path.c_str());
    reachedStep("merged");

    syncStaged(newParent.fd);
    if (!writeJournal(staging, journal))
        return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, staging + "/ready", errno);
    reachedStep("ready");
    return true;
}

// Each item swapped in, the version recorded, then the journal and the work
// folder removed.
bool commit(const std::string &parent, const std::string &staging, const Journal &journal,
            const InstallPlaces &places, call_context *ctx)
{
    if (finishSwaps(parent, staging, journal) < 0) {
        // Whatever was swapped stays swapped; the next start finishes the rest.
        printf("Could not swap in the update: %s\n", strerror(errno));
        return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "the update cannot be swapped in", errno);
    }
    keepIncomingIndex(places, journal.hasVersion, journal.version);
    if (!recordVersion(journal, places.versionFile))
        return true;  // the game is in; the journal stays so that the next start records its version
    unlink((staging + "/ready").c_str());
    reachedStep("installed");
    remove_tree(staging);
    return true;
}

}  // namespace

void recoverInterruptedInstall(const InstallPlaces &places)
{
    const std::string parent = withSlash(places.gameParent.c_str()), staging = parent + kStagingName;
    if (int removed = remove_beside_leftovers(places.versionFile))
        logLine("Removed %d unfinished cop%s of %s that a kill left", removed, removed == 1 ? "y" : "ies",
                places.versionFile.c_str());
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
            keepIncomingIndex(places, journal.hasVersion, journal.version);
            if (!recordVersion(journal, places.versionFile))
                return;  // the journal stays for the next start
            logLine("Finished an interrupted update: %d items swapped in, %s", moved,
                    journal.hasVersion ? ("version " + std::to_string(journal.version) + " recorded").c_str()
                                       : "no version to record");
            unlink((staging + "/ready").c_str());
        }
    }
    printf("Removed what an interrupted update left: %s\n", staging.c_str());
    remove_tree(staging);
}

namespace {

// Preflight, stage, commit. `committing` tells whether a failure came after
// the game started to change (the next start finishes it).
bool installUpdate(const UpdateSource &source, const int *version, call_context *ctx, bool &committing)
{
    const std::string parent = withSlash(source.places.gameParent.c_str()), staging = parent + kStagingName;
    committing = false;
    recoverInterruptedInstall(source.places);
    // An update that does not go in must not leave its index to outlive it
    // (unless another launcher's install holds it).
    auto dropIncomingIndex = [&] {
        if (!source.places.incomingIndexFile.empty() && context_failure(ctx) != FAILURE_BUSY)
            unlink(source.places.incomingIndexFile.c_str());
        return false;
    };
    Fd lock;
    if (!preflight(source, parent, staging, lock, ctx))
        return dropIncomingIndex();
    Journal journal;
    journal.hasVersion = version != nullptr;
    journal.version = version ? *version : 0;
    if (!stage(source, parent, staging, journal, ctx)) {
        remove_tree(staging);
        return dropIncomingIndex();
    }
    committing = true;
    return commit(parent, staging, journal, source.places, ctx);
}

}  // namespace

bool installPackage(const char *packagePath, const InstallPlaces &places, const int *version, call_context *ctx)
{
    bool committing = false;
    return installUpdate(UpdateSource{packagePath, false, places}, version, ctx, committing);
}

bool installDelta(const char *deltaPath, const InstallPlaces &places, const int *version, call_context *ctx,
                  bool &untouched)
{
    UpdateFiles files;
    files.delta = deltaPath;
    return installUpdateFiles(files, places, version, ctx, untouched);
}

bool installUpdateFiles(const UpdateFiles &files, const InstallPlaces &places, const int *version, call_context *ctx,
                        bool &untouched)
{
    const bool delta = !files.delta.empty(), spans = !files.spans.empty();
    bool committing = false;
    const UpdateSource source{delta ? files.delta.c_str() : spans ? files.spans.c_str() : files.package.c_str(), delta,
                              places, spans ? files.spans.c_str() : nullptr, files.writeBytes};
    const bool installed = installUpdate(source, version, ctx, committing);
    untouched = !installed && !committing;  // once the game changes, no other install may start over it
    return installed;
}
