// The launcher's download worker alone, for timing: fetches the package from
// HOST:PORT into the current folder, as the launcher would.
#include "state.h"
#include "workers.h"

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
    if (argc != 3) {
        fputs("usage: download_bench HOST PORT\n", stderr);
        return 2;
    }
    resetLauncherState();
    updateHost = argv[1];
    updatePort = atoi(argv[2]);
    ThreadDownloadFunc(nullptr);
    return downloadSuccess ? 0 : 1;
}
