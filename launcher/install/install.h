// Installing a package so that the game is always the whole old version or
// the whole new one, never following a link of the launcher's folder.
#ifndef VANTORIQUE_INSTALL_H
#define VANTORIQUE_INSTALL_H

#include "outcome.h"

#include <string>

// The names an install works with, all the caller's.
struct InstallPlaces {
    std::string gameParent;   // the folder that holds the game ("../" in the launcher)
    std::string gameName;     // the tree a delta rebuilds, in gameParent ("Vantorique.app")
    std::string versionFile;  // where the installed version is recorded ("version.txt")
    // The installed version's verified index, beside the version file
    // ("installed-index"): the items an update may remove. Empty: none kept.
    std::string indexFile;
    // The verified index of the version being installed ("update-index"),
    // which becomes indexFile once that version is in. Empty: none.
    std::string incomingIndexFile;
};

// Unpacks the package into `places.gameParent` so that the result is the
// whole old install or the whole new one. With `version` (the one a manifest
// announced), the version file records it once the new game is in, before
// the journal goes: a kill at any moment never leaves the new game under the
// old number. False with the failure in `ctx`, kind and line: the package's
// own (FAILURE_DAMAGED, FAILURE_REFUSED, ...), FAILURE_NO_SPACE,
// FAILURE_CANNOT_WRITE, or FAILURE_BUSY (another launcher is installing).
bool installPackage(const char *packagePath, const InstallPlaces &places, const int *version, call_context *ctx);

// The same install, with the new game built by the delta at `deltaPath`
// from the installed game (gameParent/gameName, only read) into the work
// folder, then merged, journalled and swapped in exactly as a package is.
// `untouched` tells, after a failure, that the game did not start to change
// (the delta's base differs, say): the full package can be installed
// instead. After a failure once the game changed, the next start finishes it
// (as for a package).
bool installDelta(const char *deltaPath, const InstallPlaces &places, const int *version, call_context *ctx,
                  bool &untouched);

// What an update brought, in the launcher's folder: a delta from the
// installed version, the files it lacks (a sparse copy of the package
// holding only their entries, staged by the incoming index and never
// unpacked whole), or the package. Empty names: not brought.
struct UpdateFiles {
    std::string package;
    std::string delta;
    std::string spans;
    unsigned long long writeBytes = 0;  // what the plan writes, for the room asked (delta or spans)
};

// The room asked for an install that writes `bytes`: a margin over them for
// folders, partial blocks, the journal and the file system's records.
inline unsigned long long roomForWrites(unsigned long long bytes) { return bytes + bytes / 16 + (16u << 20); }

// installPackage or installDelta as the files say; with spans beside a
// delta, a base the delta cannot use is taken from its entry there. Spans
// alone: the new game staged by the incoming index from them (the installed
// game's unchanged files linked). The room asked is writeBytes plus a
// margin when it is known.
bool installUpdateFiles(const UpdateFiles &files, const InstallPlaces &places, const int *version, call_context *ctx,
                        bool &untouched);

// An item of the installed version's index (places.indexFile, for the
// version the version file names) that the new game lacks is removed;
// anything the index does not name (saves, settings, mods) is kept. Without
// an index every old item the new game lacks is kept, as an unpack over the
// old game would leave it. The new version's index (incomingIndexFile)
// then becomes the installed one; with none, the installed one goes.

// At start: finishes or undoes an install that a kill interrupted (and
// records the version its journal names), removes what is left of its work
// folder ("GAME_PARENT/.vantorique-staging") and what a kill while recording
// a version left beside the version file ("version.txt.XXXXXX").
void recoverInterruptedInstall(const InstallPlaces &places);

// Called at each step of installPackage and installDelta: "unpacked" (a
// package) or "applying" and "applied" (a delta), "merged", "synced"
// (the staged files are on disk), "ready" (the journal is written and its
// folder synced),
// "moved-aside" (an old item set aside, two-rename swaps only), "swapped"
// after each item, "recorded" (the version file written, when a version is
// given), "installed". Tests stop or watch the process there.
// Null in the launcher.
extern void (*installStepHook)(const char *step);

// Swaps as a file system without an atomic exchange must (two renames).
// Only tests set it: ext4 and tmpfs always exchange.
extern bool installForceTwoRenames;

#endif
