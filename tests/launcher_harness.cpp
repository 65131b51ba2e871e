// The launcher as tests run it: the same program, pointed at a loopback
// update server given on the command line (the real launcher takes none),
// and trusting the publisher key given third (a minisign public key line).
// Like the launcher it first enters its own folder: the roads install it in
// the player's launcher folder and may start it from anywhere.
#include "home.h"
#include "loop.h"
#include "signature.h"
#include "state.h"

#include <stdlib.h>

int main(int argc, char **argv)
{
    if (argc > 1)
        updateHost = argv[1];
    if (argc > 2)
        updatePort = atoi(argv[2]);
    if (argc > 3)
        publicKey = argv[3];
    enterLauncherFolder();
    return runLauncher();
}
