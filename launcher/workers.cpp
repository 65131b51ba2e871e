// The three workers: update check, package download, unpack. Each runs once
// per launch on its own thread and reports only through the shared state,
// its data first and its completion flag last.
#include "workers.h"

#include "fetch_update.h"
#include "http.h"
#include "install.h"
#include "log.h"
#include "manifest.h"
#include "running.h"
#include "server_layout.h"
#include "signature.h"
#include "state.h"
#include "version.h"

#include <stdio.h>
#include <time.h>

#include <chrono>
#include <string>

sf::Thread checkThread(&ThreadCheckFunc, static_cast<void *>(nullptr));
sf::Thread downloadThread(&ThreadDownloadFunc, static_cast<void *>(nullptr));
sf::Thread unzipThread(&ThreadUnzipFunc, static_cast<void *>(nullptr));

namespace {

const long kCheckTimeoutMs = 2000;             // the whole exchange, the manifest's signature included
const size_t kMaxManifestBytes = 1u << 20;     // the one limit scripts/publish keeps to too (README)
const size_t kMaxSignatureBytes = 4096;        // a minisign signature is a few hundred

// With a key built in, the manifest must carry the publisher's signature
// for its own number, unexpired; a refusal goes to `ctx`. False when no
// whole answer came for the signature (the connection failed).
bool judgeManifest(const std::string &body, int announced, long msLeft, call_context *ctx)
{
    if (publicKey.empty())
        return true;
    std::string signature;
    long status = 0;
    if (msLeft <= 0 ||
        !fetchSmall(updateServer(), signatureUri(manifestUri()), kMaxSignatureBytes, msLeft, signature, &status)) {
        if (status == 0 || status == 200)
            return false;  // none, or cut short: the connection failed
        signature.clear();  // any other answer: the server has none
    }
    if (checkManifest(body, signature, announced, time(nullptr), ctx)) {
        logLine("Manifest signature verified (version %d)", announced);
        return true;
    }
    const std::string why = std::string(failure_name(context_failure(ctx))) + ": " + context_line(ctx);
    printf("Manifest refused: %s\n", why.c_str());
    logLine("Manifest refused: %s", why.c_str());
    return true;
}

// Asks the server which version it offers and publishes the answer (the
// signature names it, the version file records it). False when no manifest
// came, or (with the refusal in `ctx`) when it was not believed.
bool learnAnnouncedVersion(std::string &changeLog, call_context *ctx, long budgetMs = kCheckTimeoutMs)
{
    const auto start = std::chrono::steady_clock::now();
    std::string body;
    if (budgetMs <= 0 || !fetchSmall(updateServer(), manifestUri(), kMaxManifestBytes, budgetMs, body))
        return false;
    int announced = 0;
    parseManifest(body, announced, changeLog);
    logLine("The server announces version %d (change log of %zu bytes)", announced, changeLog.size());
    const long msLeft = budgetMs - long(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            std::chrono::steady_clock::now() - start).count());
    if (!judgeManifest(body, announced, msLeft, ctx) || context_failure(ctx) != FAILURE_NONE)
        return false;
    updatedVantoriqueVersion = announced;
    versionAnnounced.store(true, std::memory_order_relaxed);
    return true;
}

// This run's download: to the announced version when one is known, else the
// fixed-name package.
UpdateFetch updateFetch(bool announced)
{
    UpdateFetch fetch;
    fetch.server = updateServer();
    fetch.installed = vantoriqueVersion;
    fetch.announced = announced ? updatedVantoriqueVersion : 0;
    fetch.deltaAllowed = !deltaFailed.load(std::memory_order_relaxed);
    fetch.packageName = kPackageName;
    fetch.deltaName = kDeltaName;
    fetch.indexName = kIncomingIndexName;
    fetch.progress = &downloadProgress;
    return fetch;
}

}  // namespace

// Version digits, "~", change log, "`". Missing pieces only move the cut;
// a missing tilde counts as the position just before the text.
void parseManifest(const std::string &body, int &version, std::string &changeLog)
{
    std::string text = body.substr(0, body.find('\0'));
    size_t tilde = text.find('~');
    std::string versionText = tilde == std::string::npos ? text : text.substr(0, tilde);
    version = parseVersionText(versionText.data(), versionText.size());
    size_t start = tilde == std::string::npos ? 0 : tilde + 1;
    size_t grave = text.find('`');
    if (grave != std::string::npos && grave >= start)
        changeLog = text.substr(start, grave - start);
    else
        changeLog = text.substr(start);
}

void ThreadCheckFunc(void *)
{
    std::string changeLog;
    call_context ctx;
    // A newer launcher first, within the check's time limit: it asks for
    // the game's manifest itself (which may be signed by a key only it
    // knows), so that nothing is fetched twice.
    long msLeft = kCheckTimeoutMs;
    if (replaceLauncherIfOffered(updateServer(), msLeft)) {
        launcherReplaced.store(true, std::memory_order_release);
        return;
    }
    const bool learnt = learnAnnouncedVersion(changeLog, &ctx, msLeft);
    checkFailure = failureOf(&ctx);
    if (learnt) {
        if (updatedVantoriqueVersion > vantoriqueVersion) {
            updateText = changeLog;
            updateAvailable.store(true, std::memory_order_relaxed);
        }
        logLine("Check: version %d installed, %s", vantoriqueVersion,
                updatedVantoriqueVersion > vantoriqueVersion ? "update offered" : "up to date");
    } else {
        logLine("Check failed: no manifest from %s:%d (Failed to connect)", updateHost.c_str(), updatePort);
        updatingError.store(true, std::memory_order_relaxed);
        updateAvailable.store(false, std::memory_order_relaxed);
    }
    doneCheckUpdating.store(true, std::memory_order_release);
}

// The update (a delta or the package), each with (when the build has a key)
// its signature; a file that fails the check is deleted at once.
void ThreadDownloadFunc(void *)
{
    std::string changeLog;
    call_context ctx;
    // No check has answered in this run (the no-game screen's Retry after a
    // failed check): learn the announced version first. A signature can only
    // be checked against it.
    const bool known = versionAnnounced.load(std::memory_order_relaxed) || learnAnnouncedVersion(changeLog, &ctx);
    bool ok = false;
    if (!known && !publicKey.empty())
        context_fail(&ctx, FAILURE_NO_ANSWER, "the version on offer could not be learnt");  // unless refused
    else
        ok = fetchUpdate(updateFetch(known), &ctx);
    const bool delta = downloadProgress.fetching.load(std::memory_order_relaxed) == kFetchingDelta;
    if (ok)
        logLine("Download done: %s", delta ? kDeltaName : kPackageName);
    else
        logLine("Download failed: %s: %s", failure_name(context_failure(&ctx)), context_line(&ctx).c_str());
    downloadFailure = ok ? Failure() : failureOf(&ctx);
    downloadSuccess.store(ok, std::memory_order_relaxed);
    downloadComplete.store(true, std::memory_order_release);
}

// The install reports its progress straight into the state's sink, which
// the screen reads each frame. A delta that cannot build the new game leaves
// it untouched: the screen then fetches the full package, and the support
// log says why.
void ThreadUnzipFunc(void *)
{
    const bool delta = downloadProgress.fetching.load(std::memory_order_relaxed) == kFetchingDelta;
    const char *name = delta ? kDeltaName : kPackageName;
    call_context ctx;
    ctx.progress = &unpackProgress;
    // Only a version a manifest announced in this run is recorded: otherwise
    // the next start offers the update again.
    const int announced = updatedVantoriqueVersion;
    const int *version = versionAnnounced.load(std::memory_order_relaxed) ? &announced : nullptr;
    bool untouched = false;
    const bool installed = delta ? installDelta(name, installPlaces(), version, &ctx, untouched)
                                 : installPackage(name, installPlaces(), version, &ctx);
    fflush(stdout);
    discardDownload(name, installed ? "installed" : "the install is over");
    const bool fallBack = delta && untouched;
    const std::string why = std::string(failure_name(context_failure(&ctx))) + ": " + context_line(&ctx);
    if (fallBack) {
        logLine("Delta not used: %s; fetching the full package", why.c_str());
        deltaFailed.store(true, std::memory_order_relaxed);
    } else if (installed && version) {
        logLine("Installed version %d%s", *version, delta ? " from a delta" : "");
    } else if (installed) {
        logLine("Installed a package of no announced version (the version file is left as it was)");
    } else {
        logLine("Install failed: %s", why.c_str());
    }
    unzipFailure = installed || fallBack ? Failure() : failureOf(&ctx);
    unzipWantsPackage.store(fallBack, std::memory_order_relaxed);
    unzipSuccess.store(installed, std::memory_order_relaxed);
    unzipComplete.store(true, std::memory_order_release);
}
