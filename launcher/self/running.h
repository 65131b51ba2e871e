// The launcher as a process: which program it is, which release runs, the
// start that chooses a release, and the start again after a swap.
#ifndef VANTORIQUE_SELF_RUNNING_H
#define VANTORIQUE_SELF_RUNNING_H

#include "http.h"

#include <atomic>
#include <string>

// The program's path inside a release ("vantorique-updater"; in a bundle
// "Launcher.app/Contents/MacOS/Launcher"); empty when unknown.
extern std::string launcherProgram;
// The release that runs ("app/N/"), 0 for the program in the launcher's folder.
extern int runningRelease;
// A newer release is in place: the loop ends and the launcher starts again.
// Published with release ordering; nothing else of the check follows it.
extern std::atomic<bool> launcherReplaced;

// A file beside the running program (its font, its background).
std::string releaseFile(const char *name);

// The key the choice holds (a release carried it) replaces the built-in one.
void useChosenKey();

// This run was started by a launcher that just took a newer release: the
// server was asked already.
extern bool launcherJustTaken;

// Before the game's check, within its time limit (`msLeft`, less the time
// the launcher's manifest took on return): takes a newer launcher release
// the server offers (not one refused before). True once it is in place and
// chosen. Asks nothing when launcherJustTaken.
bool replaceLauncherIfOffered(const UpdateServer &server, long &msLeft);

// The shell's entry: enters the launcher's folder, starts the chosen
// release in this process's place, or runs this program's launcher; after a
// swap it starts the launcher's folder's program again, with the same
// arguments. Returns the exit status.
int launcherMain(int argc, char **argv);

// After the support log has started: what the start chose, and why.
void logStartNotes();

#endif
