// The launcher as tests run it: the same program, pointed at a loopback
// update server given on the command line (the real launcher takes none).
#include "state.h"

#include <stdlib.h>

int main(int argc, char **argv)
{
    if (argc > 1)
        updateHost = argv[1];
    if (argc > 2)
        updatePort = atoi(argv[2]);
    return runLauncher();
}
