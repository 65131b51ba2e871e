// Which files an update is fetched as: the delta from the installed version
// when the server has one that checks out, else the package, at its
// release's own path first and at the fixed name last.
#ifndef VANTORIQUE_FETCH_UPDATE_H
#define VANTORIQUE_FETCH_UPDATE_H

#include "download.h"
#include "http.h"

#include <string>
#include <vector>

// What came, for the install: the delta, the plan's files (a sparse copy
// of the package), or the package; with the plan's figures.
struct FetchedUpdate {
    bool delta = false, files = false, package = false;
    bool whole = false;                 // a repair found nothing to fetch: nothing to install
    unsigned long long writeBytes = 0;  // what installing the files writes (no package)
    std::vector<std::string> paths;     // the files fetched, or a repair's damaged ones
};

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
    // With the index: the installed game the plan is made against (empty:
    // no plan, the delta or the package) and the sparse copy of the
    // package the plan's files are fetched into.
    std::string installedGame;
    std::string spansName;
    // The installed version's verified index: taken instead of fetching it
    // when it is the announced version's (a repair). Empty: always fetched.
    std::string keptIndexName;
    bool repair = false;  // announced is the installed version: a whole game needs nothing
    FetchedUpdate *fetched = nullptr;  // what came (may be null)
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
// With the index and an installed game, the update is planned (with the
// delta, once it is in): nothing left to fetch takes the delta alone;
// otherwise the files the plan lacks are fetched by Range into spansName,
// with the delta or without, or the package when they come to most of it
// or the server sends no parts (the log says why).
bool fetchUpdate(const UpdateFetch &fetch, call_context *ctx);

// The announced version's verified index into fetch.indexName (the kept one
// when fetch.keptIndexName is that version's); false, with no file there,
// when there is none (the log says why).
bool fetchIndex(const UpdateFetch &fetch);

#endif
