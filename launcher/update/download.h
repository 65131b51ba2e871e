// An update's transfer into the launcher's folder: the package or a delta.
#ifndef VANTORIQUE_DOWNLOAD_H
#define VANTORIQUE_DOWNLOAD_H

#include "http.h"

#include <atomic>
#include <string>

// How far a transfer is, owned by the caller and read by it (a screen on
// another thread) whenever it likes: bytes of the file on disk, its whole
// size (-1 while unknown), this transfer's speed, and what is fetched.
enum Fetching : int { kFetchingNothing = 0, kFetchingDelta = 1, kFetchingPackage = 2 };
struct DownloadProgress {
    std::atomic<long long> done{0};
    std::atomic<long long> total{-1};
    std::atomic<long long> perSecond{0};
    std::atomic<int> fetching{kFetchingNothing};  // a Fetching
};

// A new transfer: no figures of the last one.
void startProgress(DownloadProgress &progress, Fetching what);

// How a transfer ended, for a caller that may ask for another file instead.
enum fetch_outcome {
    FETCH_WHOLE,    // the file is in place under its name
    FETCH_MISSING,  // the server has no such file (404)
    FETCH_BROKEN,   // no answer, the line broke or the caller stopped it (a .part may be kept)
    FETCH_REFUSED,  // an answer that cannot be used: another status, too long, no room
};

// Fetches `uri` from `server` into "<name>.part" and renames it to `name`
// once whole. A transfer that breaks after data arrived keeps the .part and
// its validator ("<name>.part.validator": the URI it came from, then its
// ETag or Last-Modified), and the next try of that URI asks only for the
// rest. An answer for another URI that brings no body (a 404 of a release
// folder) leaves them as they are. Unless the file came whole, `reason` says
// why in a few words for the screen. Publishes its progress as it goes.
fetch_outcome fetchFile(const UpdateServer &server, const std::string &uri, const std::string &name,
                        DownloadProgress &progress, std::string &reason);

// The one way a downloaded file leaves the launcher's folder: whatever stands
// at `name` (never followed, if a link), with a line in the support log.
void discardDownload(const std::string &name, const char *why);

#endif
