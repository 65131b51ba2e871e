// Installing a package so that the game is always the whole old version or
// the whole new one, never following a link of the launcher's folder.
#ifndef VANTORIQUE_INSTALL_H
#define VANTORIQUE_INSTALL_H

#include "outcome.h"

#include <string>

// Unpacks the package into `gameParent` ("../") so that the result is the
// whole old install or the whole new one. With `version` (the one a manifest
// announced), the version file (kVersionFile, in the working directory)
// records it once the new game is in, before the journal goes: a kill at
// any moment never leaves the new game under the old number. On false,
// `reason` says why in a few words for the screen ("Disk full", ...).
// The unpack's progress goes to `progress` when given.
bool installPackage(const char *packagePath, const char *gameParent, const int *version, std::string &reason,
                    progress_sink *progress = nullptr);

// The same install, with the new game built by the delta at `deltaPath`
// from the installed "gameParent/Vantorique.app" (only read) into the work
// folder, then merged, journalled and swapped in exactly as a package is.
// When it fails before the game started to change, `deltaFault` says why
// for the support log ("DELTA_BASE_DIFFERS: ..."): the game is untouched
// and the full package can be installed instead. Empty after a success, or
// after a failure the next start finishes (as for a package). The bytes
// written so far and the new game's total go to `progress` when given.
bool installDelta(const char *deltaPath, const char *gameParent, const int *version, std::string &reason,
                  std::string &deltaFault, progress_sink *progress = nullptr);

// At start: finishes or undoes an install that a kill interrupted (and
// records the version its journal names), and removes what is left of its
// work folder ("GAME_PARENT/.vantorique-staging").
void recoverInterruptedInstall(const char *gameParent);

// At start: a package (or a delta) that an interrupted download or install
// left in the launcher's folder is removed. Its signature was checked (if at all) by a
// run that is gone, and a next update fetches it again with a fresh check.
void removeLeftoverPackage(const char *packagePath);

// Called at each step of installPackage and installDelta: "unpacked" (a
// package) or "applying" and "applied" (a delta), "merged", "synced"
// (the staged files are on disk), "ready" (the journal is written),
// "moved-aside" (an old item set aside, two-rename swaps only), "swapped"
// after each item, "recorded" (the version file written, when a version is
// given), "installed". Tests stop or watch the process there.
// Null in the launcher.
extern void (*installStepHook)(const char *step);

// Swaps as a file system without an atomic exchange must (two renames).
// Only tests set it: ext4 and tmpfs always exchange.
extern bool installForceTwoRenames;

#endif
