// The running launcher's facts, and the check worker's part in replacing it.
#include "running.h"

#include "choice.h"
#include "log.h"
#include "release.h"
#include "signature.h"

#include <time.h>

#include <chrono>

std::string launcherProgram;
int runningRelease = 0;
std::atomic<bool> launcherReplaced{false};
bool launcherJustTaken = false;

std::string releaseFile(const char *name)
{
    return runningRelease > 0 ? releaseFolder(runningRelease) + "/" + name : std::string(name);
}

void useChosenKey()
{
    LauncherChoice choice;
    if (readChoice(choice) && !choice.key.empty() && publicKeyWellFormed(choice.key))
        publicKey = choice.key;
}

bool replaceLauncherIfOffered(const UpdateServer &server, long &msLeft)
{
    if (launcherProgram.empty() || launcherJustTaken)
        return false;
    call_context ctx;
    const auto start = std::chrono::steady_clock::now();
    const int offered = launcherOnOffer(server, msLeft, time(nullptr), &ctx);
    msLeft -= long(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                       .count());
    if (offered <= launcherVersion)
        return false;
    LauncherChoice choice;
    readChoice(choice);
    // A release built with a lower VANTORIQUE_LAUNCHER_VERSION than its
    // number would take itself again at every start.
    if (offered == runningRelease || (offered == choice.current && releaseRunnable(offered, launcherProgram))) {
        logLine("Launcher %d is on offer and in place, but this program says it is launcher %d: not taken again "
                "(its build's VANTORIQUE_LAUNCHER_VERSION is wrong)", offered, launcherVersion);
        return false;
    }
    if (isRefused(choice, offered)) {
        logLine("Launcher %d is on offer but failed at a start before: not taken again", offered);
        return false;
    }
    logLine("Launcher %d is on offer (this is launcher %d): taking it", offered, launcherVersion);
    call_context take;
    if (!takeLauncherRelease(server, offered, launcherProgram, runningRelease, &take)) {
        logLine("Launcher %d not taken: %s: %s", offered, failure_name(context_failure(&take)),
                context_line(&take).c_str());
        return false;
    }
    return true;
}
