// A studio's names, fixed when the launcher is built (CMake's
// VANTORIQUE_GAME_FOLDER, VANTORIQUE_GAME_PROGRAM, VANTORIQUE_SERVER_ROOT,
// VANTORIQUE_PACKAGE_NAME, VANTORIQUE_WINDOW_TITLE and the VANTORIQUE_TEXT_*
// texts; README "A game of your own"), Vantorique's unless given. names.cpp
// is the one file built with them, so a test links another studio's names
// without building the launcher again.
#ifndef VANTORIQUE_NAMES_H
#define VANTORIQUE_NAMES_H

extern const char *const kGameFolder;    // "Vantorique.app", in the folder above the launcher's
extern const char *const kGameProgram;   // "Contents/MacOS/Vantorique", inside it
extern const char *const kServerRoot;    // "/vantorique/autoupdate/" on the update server
extern const char *const kPackageFile;   // "vantorique_osx.zip", there and in the launcher's folder
extern const char *const kWindowTitle;   // "Vantorique Updater"
extern const char *const kOfferText;     // "Hey, you haz old client, wants to update?"
extern const char *const kWaitingText;   // the download screen's text over its bar
extern const char *const kNoGameText;    // "NO GAME DETECTED!" and what to do

#endif
