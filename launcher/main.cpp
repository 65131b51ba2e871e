// Vantorique Updater: checks for a new game version, fetches and unpacks it,
// then starts the game.
#include "running.h"

int main(int argc, char **argv) { return launcherMain(argc, argv); }
