// The studio's names, from the header CMake writes for this build
// (launcher/names.cmake).
#include "names.h"

#include "studio_names.h"

const char *const kGameFolder = VANTORIQUE_GAME_FOLDER;
const char *const kGameProgram = VANTORIQUE_GAME_PROGRAM;
const char *const kServerRoot = VANTORIQUE_SERVER_ROOT;
const char *const kPackageFile = VANTORIQUE_PACKAGE_NAME;
const char *const kWindowTitle = VANTORIQUE_WINDOW_TITLE;
const char *const kOfferText = VANTORIQUE_TEXT_OFFER;
const char *const kWaitingText = VANTORIQUE_TEXT_WAITING;
const char *const kNoGameText = VANTORIQUE_TEXT_NO_GAME;
