// The launcher's first lines, before any window or connection: which
// release starts, and starting again once a newer one is in place. The
// program in the launcher's folder stays the entry whatever release runs,
// so the working folder (version.txt, launcher.log, the game beside it)
// never moves.
#include "choice.h"
#include "home.h"
#include "log.h"
#include "loop.h"
#include "repair.h"
#include "running.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

// What the entry decided, carried to the release it starts (and removed
// there, so that the game never inherits it).
const char kNotesVariable[] = "VANTORIQUE_START_NOTES";
const char kJustTakenVariable[] = "VANTORIQUE_LAUNCHER_JUST_TAKEN";
std::string startNotes;
char **savedArguments;

void note(const std::string &line) { startNotes += (startNotes.empty() ? "" : "\n") + line; }

// Learns which program this is; the entry chooses the release and starts
// it in its place. Returns when this program runs the launcher itself.
void startChosenLauncher()
{
    const std::string exe = executablePath();
    if (exe.empty())
        return;  // no way to find a release: run as we are
    const std::string folder = releaseFolderOf(exe);
    launcherProgram = exe.substr(folder == "/" ? 1 : folder.size() + 1);
#ifdef __APPLE__
    // In a bundle the whole "Launcher.app" is a release's unit: it is
    // unpacked, synced, moved and chosen whole, and its executable started.
    if (launcherProgram.find(".app/Contents/MacOS/") == std::string::npos)
        note("Not inside an application bundle: releases are taken as a bare program");
#endif
    runningRelease = releaseOf(exe);
    useChosenKey();
    if (runningRelease > 0)
        return;
    std::vector<std::string> notes;
    const int release = chooseRelease(launcherProgram, launcherVersion, notes);
    for (const std::string &line : notes)
        note(line);
    if (release == 0)
        return;
    const std::string program = releaseFolder(release) + "/" + launcherProgram;
    if (!startNotes.empty())
        setenv(kNotesVariable, startNotes.c_str(), 1);
    fflush(stdout);
    execv(program.c_str(), savedArguments);
    // Its start marker stays: the next start takes it for the failure it is.
    unsetenv(kNotesVariable);
    note("Cannot start launcher " + std::to_string(release) + " (" + program + "): " + strerror(errno));
}

// The launcher's folder's program, which chooses the new release.
void relaunchLauncher()
{
    const std::string entry = "./" + launcherProgram;
    logLine("Starting the launcher again: %s", entry.c_str());
    fflush(stdout);
    setenv(kJustTakenVariable, "1", 1);
    execv(entry.c_str(), savedArguments);
    unsetenv(kJustTakenVariable);
    logLine("Cannot start the launcher again (%s): %s; the next start takes the new release", entry.c_str(),
            strerror(errno));
}

}  // namespace

void logStartNotes()
{
    if (const char *carried = getenv(kNotesVariable)) {
        startNotes = carried + (startNotes.empty() ? "" : "\n" + startNotes);
        unsetenv(kNotesVariable);
    }
    logLine("Launcher %d runs from %s", launcherVersion,
            runningRelease ? (releaseFolder(runningRelease) + "/").c_str() : "the launcher's folder");
    size_t start = 0;
    while (start < startNotes.size()) {
        size_t end = startNotes.find('\n', start);
        if (end == std::string::npos)
            end = startNotes.size();
        logLine("%s", startNotes.substr(start, end - start).c_str());
        start = end + 1;
    }
    startNotes.clear();
}

int launcherMain(int argc, char **argv)
{
    savedArguments = argv;
    launcherJustTaken = getenv(kJustTakenVariable) != nullptr;
    enterLauncherFolder();  // its files are named from there, wherever it was started
    startChosenLauncher();  // a release started here keeps the variable
    unsetenv(kJustTakenVariable);
    for (int i = 1; i < argc; i++)
        if (strcmp(argv[i], "--verify") == 0)
            return runRepair();
    const int status = runLauncher();
    if (launcherReplaced.load(std::memory_order_acquire))
        relaunchLauncher();
    return status;
}
