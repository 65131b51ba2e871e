// Installing a package so that the game is always the whole old version or
// the whole new one, never following a link of the launcher's folder.
#ifndef VANTORIQUE_INSTALL_H
#define VANTORIQUE_INSTALL_H

#include <string>

// Unpacks the package into `gameParent` ("../") so that the result is the
// whole old install or the whole new one. On false, `reason` says why in a
// few words for the screen ("Disk full", ...).
bool installPackage(const char *packagePath, const char *gameParent, std::string &reason);

// At start: finishes or undoes an install that a kill interrupted, and
// removes what is left of its work folder ("GAME_PARENT/.vantorique-staging").
void recoverInterruptedInstall(const char *gameParent);

// Called at each step of installPackage: "unpacked", "merged", "synced"
// (the staged files are on disk), "ready" (the journal is written),
// "moved-aside" (an old item set aside, two-rename swaps only), "swapped"
// after each item, "installed". Tests stop or watch the process there.
// Null in the launcher.
extern void (*installStepHook)(const char *step);

// Swaps as a file system without an atomic exchange must (two renames).
// Only tests set it: ext4 and tmpfs always exchange.
extern bool installForceTwoRenames;

#endif
