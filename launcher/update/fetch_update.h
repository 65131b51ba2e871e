// Which files an update is fetched as: the delta from the installed version
// when the server has one that checks out, else the package, at its
// release's own path first and at the fixed name last.
#ifndef VANTORIQUE_FETCH_UPDATE_H
#define VANTORIQUE_FETCH_UPDATE_H

#include "download.h"
#include "http.h"

#include <string>

// What to fetch, from where, into which files: all the caller's.
struct UpdateFetch {
    UpdateServer server;
    int installed = 0;          // the installed version (0: none, no delta)
    int announced = 0;          // a version a manifest named in this run (0: none, only the fixed-name package)
    bool deltaAllowed = true;   // false once a delta failed to build the new game in this run
    std::string packageName;    // the package's name in the launcher's folder
    std::string deltaName;      // a fetched delta's name there
    std::string indexName;      // the announced release's verified index there (empty: not fetched)
    DownloadProgress *progress = nullptr;
};

// Fetches the update to `announced` into the launcher's folder, its
// signature checked (with a key built in). A delta is asked for first when
// `installed` is a version below it and deltas are allowed; a missing,
// refused or unsigned one is passed over for the package, and the support
// log says why. Sets the progress's `fetching` to what it fetches; true once
// that is whole and checked, in deltaName or packageName. False with the
// failure in `ctx`: fetchFile's kinds, FAILURE_UNSIGNED or
// FAILURE_BAD_SIGNATURE (a broken transfer keeps its .part to go on from at
// the next try, delta or package).
// First, the release's index (its signature checked, read whole) into
// indexName, for the install; a release without one leaves no file there.
bool fetchUpdate(const UpdateFetch &fetch, call_context *ctx);

#endif
