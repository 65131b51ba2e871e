// An update planned against the installed game with the release's index:
// only the files it lacks are fetched, as their entries' bytes of the
// release's package (by HTTP Range, into a sparse copy), or the package
// whole when that would cost about as much or the server sends no parts.
#ifndef VANTORIQUE_FETCH_FILES_H
#define VANTORIQUE_FETCH_FILES_H

#include "delta.h"
#include "download.h"
#include "http.h"

#include <string>

// The plan of an install of the release whose index is at `indexName` over
// `installedGame`, with the delta at `deltaName` when it is not empty. False
// (the support log says why) when no plan can be made: the caller fetches
// as it did without an index.
bool planUpdate(const std::string &installedGame, const std::string &indexName, const std::string &deltaName,
                update_plan &plan);

// What became of the plan's files.
enum FilesOutcome : int {
    kFilesFetched = 0,   // every span is in `spansName`
    kFilesWholePackage,  // fetch the package instead (the log says why); nothing kept
    kFilesFailed,        // the failure is in the context
};

// Fetches the plan's spans of release `version`'s package (`packageSize`
// bytes, as its index says) into the sparse file `spansName`. Asks for the
// package whole instead when the spans come to more than a share of it, or
// the server will not send parts. First makes sure the disk holds what the
// spans take and what the install writes (`gameParent`): FAILURE_NO_SPACE
// before any byte. `progress.before` counts what came before.
FilesOutcome fetchPlannedFiles(const UpdateServer &server, int version, unsigned long long packageSize,
                               const update_plan &plan, const std::string &spansName, const std::string &gameParent,
                               DownloadProgress &progress, call_context *ctx);

// The room an install of the plan asks for: what it writes, plus a margin
// for folders, blocks and the file system's own records.
unsigned long long planNeeds(const update_plan &plan);

#endif
