// Vantorique Updater: checks for a new game version, fetches and unpacks it,
// then starts the game.
#include "home.h"
#include "loop.h"

int main()
{
    enterLauncherFolder();  // its files are named from there, wherever it was started
    return runLauncher();
}
