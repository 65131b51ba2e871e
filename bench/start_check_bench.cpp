// What the launcher's own check costs at start when nothing changed: the
// check worker against HOST:PORT, in turns without and with the look for a
// newer launcher (the server offers the release that runs), RUNS times
// each. Prints the median and the slowest of each, in milliseconds.
#include "running.h"
#include "signature.h"
#include "state.h"
#include "workers.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <vector>

namespace {

double checkOnce(bool lookForLauncher)
{
    resetLauncherState();
    launcherProgram = lookForLauncher ? "vantorique-updater" : "";
    const auto start = std::chrono::steady_clock::now();
    ThreadCheckFunc(nullptr);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (updatingError || launcherReplaced) {
        fputs("the check failed or took a launcher: not a run where nothing changed\n", stderr);
        exit(1);
    }
    return ms;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 5) {
        fputs("usage: start_check_bench HOST PORT KEY RUNS\n", stderr);
        return 2;
    }
    updateHost = argv[1];
    updatePort = atoi(argv[2]);
    publicKey = argv[3];
    const int runs = atoi(argv[4]);
    std::vector<double> without, with;
    checkOnce(false), checkOnce(true);  // warm-up
    for (int i = 0; i < runs; i++) {
        without.push_back(checkOnce(false));
        with.push_back(checkOnce(true));
    }
    for (auto *times : {&without, &with}) {
        std::sort(times->begin(), times->end());
        printf("%s %.3f %.3f\n", times == &without ? "game-only" : "with-launcher", (*times)[times->size() / 2],
               times->back());
    }
    return 0;
}
