// Which release of the launcher starts. The launcher's folder keeps each
// release it took in "app/N/" (the program and the files beside it) and one
// small file, "app/choice.txt", naming the release to start, the one before
// it, the releases never to take again and the publisher key in force. The
// file is replaced in one rename, so every change of the choice (a new
// release, a new key, a rollback) happens whole or not at all, and there is
// nothing to journal.
#ifndef VANTORIQUE_SELF_CHOICE_H
#define VANTORIQUE_SELF_CHOICE_H

#include <string>
#include <vector>

struct LauncherChoice {
    int current = 0;           // the release started; 0: the program in the launcher's folder itself
    int previous = 0;          // started instead when current fails before its first frame
    std::vector<int> refused;  // releases that failed: never taken again
    std::string key;           // the publisher key a release carried; empty: the one built in
};

extern const char *const kAppFolder;     // "app"
extern const char *const kChoiceFile;    // "app/choice.txt"
extern const char *const kStartingFile;  // "app/starting": a release started, its first frame not yet shown
extern const char *const kStagingFolder; // "app/.staging": a release being unpacked

// This program's own release number: the build's VANTORIQUE_LAUNCHER_VERSION.
extern int launcherVersion;

// "app/N"
std::string releaseFolder(int release);

// The choice as the file says it; defaults when there is none. False (and
// the defaults) when it cannot be read or is not ours.
bool readChoice(LauncherChoice &choice);
// Replaces the file in one rename, synced with its folder before it returns.
bool writeChoice(const LauncherChoice &choice);
std::string formatChoice(const LauncherChoice &choice);
bool parseChoice(const std::string &text, LauncherChoice &choice);
bool isRefused(const LauncherChoice &choice, int release);

// Whether release N's program (`program` inside its folder) is there to start.
bool releaseRunnable(int release, const std::string &program);

// The first lines of a start, in the launcher's folder, before any window
// or connection: a release whose last start left the start marker (it never
// showed a frame) is refused and the one before it chosen; leftovers of an
// interrupted swap go. Returns the release to start (its marker written), or
// 0 to run on as this program (`ownVersion`); `notes` gets what the support
// log should say.
int chooseRelease(const std::string &program, int ownVersion, std::vector<std::string> &notes);

// Release `running` (0: the folder's own program) shows its first frame:
// its start counts as good, and its marker goes.
void firstFrameShown(int running);

#endif
