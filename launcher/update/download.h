// An update's transfer into the launcher's folder: the package or a delta.
#ifndef VANTORIQUE_DOWNLOAD_H
#define VANTORIQUE_DOWNLOAD_H

#include "http.h"
#include "outcome.h"

#include <atomic>
#include <string>

// How far a transfer is, owned by the caller and read by it (a screen on
// another thread) whenever it likes: bytes of the file on disk, its whole
// size (-1 while unknown), this transfer's speed, and what is fetched; for
// an update of several transfers (a delta, then files), the bytes the
// earlier ones brought, which a bar adds to both figures.
enum Fetching : int { kFetchingNothing = 0, kFetchingDelta = 1, kFetchingPackage = 2, kFetchingFiles = 3 };
struct DownloadProgress {
    std::atomic<long long> done{0};
    std::atomic<long long> total{-1};
    std::atomic<long long> perSecond{0};
    std::atomic<int> fetching{kFetchingNothing};  // a Fetching
    std::atomic<long long> files{0};              // kFetchingFiles: how many files
    std::atomic<long long> before{0};             // this update's earlier transfers' bytes
};

// A new transfer: no figures of the last one (`before` is the caller's).
void startProgress(DownloadProgress &progress, Fetching what);

// Fetches `uri` from `server` into "<name>.part" and renames it to `name`
// once whole. A transfer that breaks after data arrived keeps the .part and
// its validator ("<name>.part.validator": the URI it came from, then its
// ETag or Last-Modified), and the next try of that URI asks only for the
// rest. An answer for another URI that brings no body (a 404 of a release
// folder) leaves them as they are. False with the failure in `ctx`:
// FAILURE_NO_ANSWER (no answer, the line broke, the caller stopped it; a
// .part may be kept), FAILURE_NOT_ON_SERVER (404), FAILURE_SERVER_REFUSED
// (another status, a wrong part, more than announced), FAILURE_NO_SPACE or
// FAILURE_CANNOT_WRITE. Publishes its progress as it goes.
bool fetchFile(const UpdateServer &server, const std::string &uri, const std::string &name, DownloadProgress &progress,
               call_context *ctx);

// The one way a downloaded file leaves the launcher's folder: whatever stands
// at `name` (never followed, if a link), with a line in the support log.
void discardDownload(const std::string &name, const char *why);

#endif
