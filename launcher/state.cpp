// The process-wide launcher state and its start values.
#include "state.h"

sf::Font current_font;
sf::Thread checkThread(&ThreadCheckFunc, static_cast<void *>(nullptr));
sf::Thread downloadThread(&ThreadDownloadFunc, static_cast<void *>(nullptr));
sf::Thread unzipThread(&ThreadUnzipFunc, static_cast<void *>(nullptr));
std::string updateText;

int action;
int menuChoice;
bool spacePressed;
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

std::string downloadFailure;
std::string unzipFailure;

int vantoriqueVersion;
int updatedVantoriqueVersion;

const char *const kUpdateSiteName = VANTORIQUE_UPDATE_HOST;
const char *const kPackageName = "vantorique_osx.zip";
std::string updateHost = VANTORIQUE_UPDATE_HOST;
int updatePort = VANTORIQUE_UPDATE_PORT;
std::atomic<bool> abortTransfers;

void resetLauncherState()
{
    updatedVantoriqueVersion = 1234567;
    action = 0;
    unzipComplete = false;
    downloadSuccess = false;
    downloadComplete = false;
    menuChoice = 0;
    updateAvailable = false;
    doneCheckUpdating = false;
    updatingError = false;
    rungame = false;
    exiting = false;
    unzipSuccess = false;
    versionAnnounced = false;
    abortTransfers = false;
    downloadFailure.clear();
    unzipFailure.clear();
}
