// Vantorique Updater: checks for a new game version, fetches and unpacks it,
// then starts the game.
#include "loop.h"

int main()
{
    return runLauncher();
}
