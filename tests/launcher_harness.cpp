// The launcher as tests run it: the same program, pointed at a loopback
// update server given on the command line (the real launcher takes none),
// and trusting the publisher key given third (a minisign public key line).
// Like the launcher it first enters its own folder: the roads install it in
// the player's launcher folder and may start it from anywhere.
//
// A release of it is the same program beside test-only files that a test
// puts in the release: "harness-launcher-version.txt" (the release number it
// says it is) and "harness-crash.txt" (it ends before its first frame, as a
// release missing a library would); and beside the harness in the launcher's
// folder "harness-kill-at.txt" names a step of taking a release at which it
// is killed (once: the file goes first).
#include "choice.h"
#include "fsutil.h"
#include "home.h"
#include "release.h"
#include "running.h"
#include "signature.h"
#include "state.h"
#include "version.h"

#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace {

std::string killFile, killAt;

}  // namespace

int main(int argc, char **argv)
{
    const std::string folder = releaseFolderOf(executablePath());
    struct stat st;
    const int version = readVersionFile((folder + "/harness-launcher-version.txt").c_str());
    if (version > 0)
        launcherVersion = version;
    if (stat((folder + "/harness-crash.txt").c_str(), &st) == 0)
        abort();
    killFile = folder + "/harness-kill-at.txt";
    if (read_small_file(killFile, 64, killAt) && !killAt.empty()) {
        killAt = killAt.substr(0, killAt.find('\n'));
        selfStepHook = [](const char *step) {
            if (killAt == step && unlink(killFile.c_str()) == 0)
                raise(SIGKILL);
        };
    }
    // HOST PORT KEY, in that order, options (--verify) anywhere.
    std::vector<const char *> given;
    for (int i = 1; i < argc; i++)
        if (strncmp(argv[i], "--", 2) != 0)
            given.push_back(argv[i]);
    if (given.size() > 0)
        updateHost = given[0];
    if (given.size() > 1)
        updatePort = atoi(given[1]);
    if (given.size() > 2)
        publicKey = given[2];
    return launcherMain(argc, argv);
}
