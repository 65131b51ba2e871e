// The repair from the command line: the window's "Repair the game" road,
// run on this thread. The download worker plans the installed version over
// the installed game (the kept index, else the release's signed one) and
// fetches what differs; the unzip worker stages it by the index and swaps
// it in as an update would.
#include "repair.h"

#include "choice.h"
#include "log.h"
#include "loop.h"
#include "state.h"
#include "workers.h"

#include <stdio.h>

int runRepair()
{
    startUp("launcher " + std::to_string(launcherVersion) + " --verify");
    auto failed = [](const Failure &f) {
        printf("Repair failed: %s: %s\n", failure_name(f.kind), f.line.c_str());
        logLine("Repair failed: %s: %s", failure_name(f.kind), f.line.c_str());
        return int(kRepairFailed);
    };
    if (vantoriqueVersion <= 0)
        return failed(Failure{FAILURE_CANNOT_READ, "no installed version in " + std::string(kVersionFile)});
    repairing = true;
    // Files that did not stage (a server sent other bytes) send it on to the
    // package, once, as the window's unpack screen does.
    for (int round = 0; round == 0 || (round == 1 && unzipWantsPackage); round++) {
        clearDownloadState();
        ThreadDownloadFunc(nullptr);
        if (!downloadSuccess)
            return failed(downloadFailure);
        ThreadUnzipFunc(nullptr);
    }
    if (unzipSuccess && fetchedUpdate.whole) {
        printf("Nothing to repair: version %d is whole\n", vantoriqueVersion);
        return kRepairNothing;
    }
    if (!unzipSuccess)
        return failed(unzipFailure.kind ? unzipFailure : Failure{FAILURE_DAMAGED, "the fetched files did not stage"});
    if (fetchedUpdate.package)
        printf("Repaired: version %d installed again from its package\n", vantoriqueVersion);
    else
        printf("%zu file%s repaired\n", fetchedUpdate.paths.size(), fetchedUpdate.paths.size() == 1 ? "" : "s");
    return kRepairDone;
}
