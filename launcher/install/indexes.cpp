// The release indexes in the install: the installed version's (which of
// the old items are the publisher's, and so may be removed) and the
// incoming version's (the package staged by links to what is unchanged,
// then kept as the installed one).
#include "indexes.h"

#include "delta.h"
#include "durable.h"
#include "log.h"
#include "replace.h"
#include "version.h"

#include <sys/stat.h>
#include <unistd.h>

// The installed version's own items, from its index, when the index is
// that version's: what an update may leave behind.
void installedItems(const InstallPlaces &places, MergeFilter &filter)
{
    if (places.indexFile.empty())
        return;
    release_index index;
    call_context got;
    struct stat st;
    if (lstat(places.indexFile.c_str(), &st) != 0) {
        logLine("No index of the installed game: every old file the update lacks is kept");
        return;
    }
    if (!index_read(places.indexFile.c_str(), &index, &got)) {
        logLine("The installed game's index is not used (%s): every old file the update lacks is kept",
                context_line(&got).c_str());
        return;
    }
    const int installed = readVersionFile(places.versionFile.c_str());
    if (int(index.version) != installed) {
        logLine("The installed game's index is of version %u, not %d: every old file the update lacks is kept",
                index.version, installed);
        return;
    }
    filter.publishers.insert(places.gameName);
    for (const release_item &it : index.items)
        filter.publishers.insert(places.gameName + "/" + it.path);
}

// The new game staged from the package by the version's index: the
// installed game's unchanged files linked, the rest unpacked. False with
// `ctx` untouched when there is no index of this version to stage by, or
// the index does not fit the package (the package is then unpacked whole).
bool stageByIndex(const InstallPlaces &places, const char *package, bool hasVersion, int version,
                  const std::string &installedGame, const std::string &stagedGame, call_context *ctx)
{
    release_index index;
    call_context got;
    struct stat st;
    if (places.incomingIndexFile.empty() || lstat(places.incomingIndexFile.c_str(), &st) != 0 ||
        !index_read(places.incomingIndexFile.c_str(), &index, &got) ||
        (hasVersion && int(index.version) != version))
        return false;
    uint64_t linked = 0;
    got.progress = ctx->progress;
    if (index_stage(installedGame.c_str(), places.incomingIndexFile.c_str(), package, stagedGame.c_str(), &linked, &got)) {
        logLine("Staged version %u by its index: %llu unchanged files linked, the rest unpacked", index.version,
                (unsigned long long)linked);
        return true;
    }
    const int kind = context_failure(&got);
    if (kind == FAILURE_NO_SPACE || kind == FAILURE_CANNOT_WRITE)
        return context_fail(ctx, kind, context_line(&got));
    logLine("The package is unpacked whole: staging by its index failed (%s: %s)", failure_name(kind),
            context_line(&got).c_str());
    return false;
}

// The new game is in: its index becomes the installed one (a kill before
// the version is recorded leaves the new index and the new game, which the
// recovery records). An index of another version, or none, leaves no index:
// it would name the wrong items.
void keepIncomingIndex(const InstallPlaces &places, bool hasVersion, int version)
{
    if (places.indexFile.empty())
        return;
    release_index index;
    call_context got;
    struct stat st;
    if (!places.incomingIndexFile.empty() && lstat(places.incomingIndexFile.c_str(), &st) == 0 &&
        index_read(places.incomingIndexFile.c_str(), &index, &got) &&
        (!hasVersion || int(index.version) == version) &&
        commit_rename(-1, places.incomingIndexFile, places.indexFile, DURABLE_FILE_AND_FOLDER)) {
        logLine("Kept the index of version %u beside %s", index.version, places.versionFile.c_str());
        return;
    }
    if (hasVersion && lstat(places.indexFile.c_str(), &st) == 0 && index_read(places.indexFile.c_str(), &index, &got) &&
        int(index.version) == version)
        return;  // moved in before a kill
    if (unlink(places.indexFile.c_str()) == 0)
        logLine("No index of the new version: the old one is removed");
}
