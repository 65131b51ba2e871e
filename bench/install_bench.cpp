// The launcher's install of a delta alone, for bench/update_cost.sh: run in
// a launcher's folder (the game at ../Vantorique.app, version.txt,
// installed-index and update-index beside it, as the launcher keeps them),
// it installs DELTA as version VERSION with the launcher's own call and
// places. Prints "installed" or the failure's kind and line.
#include "install.h"

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
    if (argc != 3 || atoi(argv[2]) <= 0) {
        fputs("usage: install_bench DELTA VERSION   (in the launcher's folder)\n", stderr);
        return 2;
    }
    const InstallPlaces places{"../", "Vantorique.app", "version.txt", "installed-index", "update-index"};
    const int version = atoi(argv[2]);
    call_context ctx;
    ctx.quiet = true;
    bool untouched = false;
    if (installDelta(argv[1], places, &version, &ctx, untouched)) {
        puts("installed");
        return 0;
    }
    printf("%s: %s%s\n", failure_name(context_failure(&ctx)), context_line(&ctx).c_str(),
           untouched ? " (the game is untouched)" : "");
    return 1;
}
