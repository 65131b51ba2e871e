// A player's update without the window, for measuring what a road costs:
// the launcher's own check, download and install workers, run one after
// another as the screens would run them, in the current folder (the
// launcher's; the game is in "../"). Prints what was fetched and whether the
// game is now the version on offer.
//
// usage: road_bench HOST PORT [--verify] [PUBLIC_KEY_LINE]
//        (--verify: the repair of the installed version instead)
#include "signature.h"
#include "state.h"
#include "version.h"
#include "workers.h"

#include <stdio.h>
#include <stdlib.h>

#include <string>

namespace {

const char *fetchedName(int fetching)
{
    switch (fetching) {
    case kFetchingDelta:
        return "delta";
    case kFetchingPackage:
        return "package";
    case kFetchingFiles:
        return "files";
    default:
        return "other";
    }
}

}  // namespace

int main(int argc, char **argv)
{
    const bool verify = argc > 3 && std::string(argv[3]) == "--verify";
    if (argc < 3 || argc > 4 + verify) {
        fputs("usage: road_bench HOST PORT [--verify] [PUBLIC_KEY_LINE]\n", stderr);
        return 2;
    }
    resetLauncherState();
    updateHost = argv[1];
    updatePort = atoi(argv[2]);
    if (argc == 4 + verify)
        publicKey = argv[3 + verify];
    vantoriqueVersion = readVersionFile(kVersionFile);
    repairing = verify;
    if (!verify)
        ThreadCheckFunc(nullptr);
    if (!verify && !updateAvailable) {
        printf("no update (installed %d)\n", vantoriqueVersion);
        return updatingError ? 1 : 0;
    }
    // A delta that cannot build the new game asks for another download, once.
    for (int round = 0; round < 2; round++) {
        clearDownloadState();
        ThreadDownloadFunc(nullptr);
        const int fetching = downloadProgress.fetching.load();
        printf("fetched: %s, %lld bytes, %lld files\n", fetchedName(fetching), downloadProgress.done.load(),
               downloadProgress.files.load());
        if (!downloadSuccess) {
            printf("download failed: %s\n", failure_name(downloadFailure.kind));
            return 1;
        }
        ThreadUnzipFunc(nullptr);
        if (!unzipWantsPackage)
            break;
    }
    printf("installed: %s, version %d\n", unzipSuccess ? "yes" : "no", readVersionFile(kVersionFile));
    return unzipSuccess ? 0 : 1;
}
