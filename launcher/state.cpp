// The process-wide launcher state and its start values.
#include "state.h"

#include "server_layout.h"

std::string updateText;
Failure checkFailure;

int action;
int menuChoice;
bool spacePressed;
int menuTop = -1;
bool exiting;
bool rungame;

std::atomic<bool> doneCheckUpdating;
std::atomic<bool> updateAvailable;
std::atomic<bool> updatingError;
std::atomic<bool> downloadComplete;
std::atomic<bool> downloadSuccess;
std::atomic<bool> unzipComplete;
std::atomic<bool> unzipSuccess;
std::atomic<bool> versionAnnounced;

Failure downloadFailure;
Failure unzipFailure;
DownloadProgress downloadProgress;
FetchedUpdate fetchedUpdate;
std::atomic<bool> deltaFailed;
std::atomic<bool> filesFailed;
std::atomic<long long> gameDamage;
std::atomic<bool> repairing;
std::atomic<bool> unzipWantsPackage;
progress_sink unpackProgress;

int vantoriqueVersion;
int updatedVantoriqueVersion;

const char *const kUpdateSiteName = VANTORIQUE_UPDATE_HOST;
const char *const kPackageName = kPackageFile;  // the server's name, kept in the launcher's folder
const char *const kGameName = kGameFolder;  // the studio's names: names.h
const char *const kGameParent = "../";
const char *const kDeltaName = "vantorique_osx.delta";
const char *const kSpansName = "vantorique_osx.parts";
const char *const kVersionFile = "version.txt";
const char *const kIndexName = "installed-index";
const char *const kIncomingIndexName = "update-index";
std::string updateHost = VANTORIQUE_UPDATE_HOST;
int updatePort = VANTORIQUE_UPDATE_PORT;
std::atomic<bool> abortTransfers;

Failure failureOf(call_context *ctx)
{
    return Failure{context_failure(ctx), context_line(ctx)};
}

UpdateServer updateServer()
{
    return UpdateServer{updateHost, updatePort, &abortTransfers};
}

InstallPlaces installPlaces()
{
    return InstallPlaces{kGameParent, kGameName, kVersionFile, kIndexName, kIncomingIndexName};
}

void resetLauncherState()
{
    updatedVantoriqueVersion = 1234567;
    action = kUpdateScreen;
    unzipComplete = false;
    downloadSuccess = false;
    downloadComplete = false;
    menuChoice = 0;
    menuTop = -1;
    updateAvailable = false;
    doneCheckUpdating = false;
    updatingError = false;
    checkFailure = Failure();
    rungame = false;
    exiting = false;
    unzipSuccess = false;
    versionAnnounced = false;
    abortTransfers = false;
    deltaFailed = false;
    filesFailed = false;
    gameDamage = 0;
    repairing = false;
    clearDownloadState();
}

// Only while no download or unpack runs: the screens call it after the
// worker has reported, before they start it again.
void clearDownloadState()
{
    downloadComplete = false;
    downloadSuccess = false;
    unzipComplete = false;
    unzipSuccess = false;
    downloadFailure = Failure();
    unzipFailure = Failure();
    startProgress(downloadProgress, kFetchingNothing);
    downloadProgress.before = 0;
    fetchedUpdate = FetchedUpdate();
    unzipWantsPackage = false;
    unpackProgress.done = 0;  // no figures of an earlier unpack
    unpackProgress.total = 0;
}
