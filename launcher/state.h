// The launcher's shared state: the main loop, the screens and the workers
// talk only through these. Workers write their data first and raise their
// completion flag last (release); the screens read the flag first (acquire).
#ifndef VANTORIQUE_STATE_H
#define VANTORIQUE_STATE_H

// The install and the update road take what they need as parameters.
#ifdef VANTORIQUE_WITHOUT_STATE
#error "state.h is the shell's: pass the install and update code what they need"
#endif

#include "download.h"
#include "fetch_update.h"
#include "http.h"
#include "install.h"
#include "outcome.h"

#include <atomic>
#include <string>

// Which screen the main loop draws. How the screens lead on:
//   update:   checking -> offer (Update Now: download) | check failed (Retry:
//             checking; Play Offline: game) | up to date (game)
//   download: under way -> unpack | failed (Retry: download again; Play Offline)
//   unpack:   under way -> game | failed (Retry: download again; Play Offline)
//   no game:  Retry: download; Give Up: end
// "game" ends the loop and starts the installed game; where none is
// installed (and none was just installed) the loop turns to the no-game screen.
enum Screen : int { kUpdateScreen = 0, kDownloadScreen = 1, kUnzipScreen = 2, kNoGameScreen = 3 };

// Main thread only.
extern int action;  // a Screen; any other value draws "HELP"
extern int menuChoice;
extern bool spacePressed;  // the marked button is chosen in this frame: Space, Enter or a click
extern int menuTop;        // view row of the menu drawn in the last frame, -1 for none
extern bool exiting;
extern bool rungame;

// Written by the workers, polled by the screens.
extern std::atomic<bool> doneCheckUpdating;
extern std::atomic<bool> updateAvailable;
extern std::atomic<bool> updatingError;
extern std::atomic<bool> downloadComplete;
extern std::atomic<bool> downloadSuccess;
extern std::atomic<bool> unzipComplete;
extern std::atomic<bool> unzipSuccess;      // published before unzipComplete
extern std::atomic<bool> versionAnnounced;  // a manifest named a version in this run
extern std::string updateText;              // the announced change log

// A failure as a worker reports it: its kind (a failure_kind) and the detail
// line; the screens choose their words from the kind (ui/words.h).
struct Failure {
    int kind = FAILURE_NONE;
    std::string line;
};
Failure failureOf(call_context *ctx);
// Why the check failed when the server answered but was not believed; no
// kind when no answer came. Written before doneCheckUpdating.
extern Failure checkFailure;
// Why the download or the install failed; written before the worker's
// completion flag.
extern Failure downloadFailure;
extern Failure unzipFailure;

// Download progress, published as it goes and read once per frame: bytes of
// the package on disk, its whole size (-1 while unknown), this transfer's
// speed, and what the download worker fetches (and, once it has completed,
// what it brought). The screen names it; the unzip worker installs it.
extern DownloadProgress downloadProgress;
// What the download brought (the delta, the files it lacked, the package)
// and the plan's figures: written before downloadComplete.
extern FetchedUpdate fetchedUpdate;
// A delta did not build the new game in this run: the downloads that follow
// go without it. Set by the unzip worker.
extern std::atomic<bool> deltaFailed;
// The files fetched by Range did not stage (a server sent other bytes): the
// downloads that follow fetch the package. Set by the unzip worker.
extern std::atomic<bool> filesFailed;
// How many of the installed version's items the quick check at start found
// missing or of another size (0: none, or no index to check against).
// Written before doneCheckUpdating.
extern std::atomic<long long> gameDamage;
// The download repairs the installed version (the same road, to the version
// installed) instead of updating. Main thread, before the download starts.
extern std::atomic<bool> repairing;
// The unzip worker's delta failed and the game is untouched: the screen
// fetches the full package instead, asking nothing. Published before
// unzipComplete.
extern std::atomic<bool> unzipWantsPackage;
// Unpack progress: the install (the unpacker, or the delta being applied)
// adds to it as it writes, and the screen reads it each frame; bytes written
// and the total (0 until known).
extern progress_sink unpackProgress;

extern int vantoriqueVersion;
extern int updatedVantoriqueVersion;

// Where the workers find the update server: the build's settings. Tests
// point them at a loopback server.
extern std::string updateHost;
extern int updatePort;
// Set when the launcher ends: a running transfer gives up at once.
extern std::atomic<bool> abortTransfers;

extern const char *const kUpdateSiteName;  // the build's host, for the failure text
extern const char *const kGameName;        // kGameFolder, "Vantorique.app", in the game's parent folder
extern const char *const kGameParent;      // "../": the game's parent, from the launcher's folder
extern const char *const kPackageName;     // "vantorique_osx.zip"
extern const char *const kDeltaName;       // "vantorique_osx.delta": a fetched delta, in the launcher's folder
extern const char *const kSpansName;       // "vantorique_osx.parts": the package's fetched parts, a sparse file there
extern const char *const kVersionFile;     // "version.txt": the installed version
extern const char *const kIndexName;       // "installed-index": the installed version's verified index
extern const char *const kIncomingIndexName;  // "update-index": the fetched index of the version to install

// What the workers pass down: the update server as set, and the install's names.
UpdateServer updateServer();
InstallPlaces installPlaces();

void resetLauncherState();
void clearDownloadState();  // before the download runs again

#endif
