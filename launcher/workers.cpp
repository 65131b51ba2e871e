// The three workers: update check, package download, unpack. Each runs once
// per launch on its own thread and reports only through the shared state,
// its data first and its completion flag last.
#include "workers.h"

#include "delta.h"
#include "fetch_update.h"
#include "http.h"
#include "indexes.h"
#include "install.h"
#include "log.h"
#include "manifest.h"
#include "rollout.h"
#include "running.h"
#include "server_layout.h"
#include "signature.h"
#include "state.h"
#include "version.h"

#include <stdio.h>
#include <sys/stat.h>
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
// for its own number and this launcher's channel, unexpired; a refusal goes
// to `ctx`, the share of installs it is offered to to `rollout`. False when
// no whole answer came for the signature (the connection failed).
bool judgeManifest(const std::string &body, int announced, const std::string &channel, long msLeft, int &rollout,
                   call_context *ctx)
{
    rollout = 100;
    if (publicKey.empty())
        return true;
    std::string signature;
    long status = 0;
    if (msLeft <= 0 ||
        !fetchSmall(updateServer(), signatureUri(manifestUri(channel)), kMaxSignatureBytes, msLeft, signature, &status)) {
        if (status == 0 || status == 200)
            return context_fail(ctx, FAILURE_NO_ANSWER, "");  // none, or cut short: the connection failed
        signature.clear();  // any other answer: the server has none
    }
    if (checkManifest(body, signature, announced, time(nullptr), channel, rollout, ctx)) {
        logLine("Manifest signature verified (version %d, channel %s, rollout %d%%)", announced, channel.c_str(),
                rollout);
        return true;
    }
    const std::string why = std::string(failure_name(context_failure(ctx))) + ": " + context_line(ctx);
    printf("Manifest refused: %s\n", why.c_str());
    logLine("Manifest refused: %s", why.c_str());
    return true;
}

// Asks the server which version it offers and publishes the answer (the
// signature names it, the version file records it). False when no manifest
// came, or (with the refusal in `ctx`) when it was not believed. `rollout`:
// the share of installs the version is offered to.
bool learnAnnouncedVersion(std::string &changeLog, int &rollout, call_context *ctx, long budgetMs = kCheckTimeoutMs)
{
    const auto start = std::chrono::steady_clock::now();
    const std::string channel = readChannel(kChannelFile);
    std::string body;
    long status = 0;
    bool tooLong = false;
    if (budgetMs <= 0)
        return context_fail(ctx, FAILURE_NO_ANSWER, "");
    if (!fetchSmall(updateServer(), manifestUri(channel), kMaxManifestBytes, budgetMs, body, &status, &tooLong)) {
        // What happened, for the heading: no answer (or one cut short), no
        // manifest, a refusal by status, or an answer too long to be one.
        if (tooLong)
            return context_fail(ctx, FAILURE_SERVER_REFUSED, "longer than 1 MiB");
        if (status == 0 || status == 200)
            return context_fail(ctx, FAILURE_NO_ANSWER, "");
        if (status == 404 || status == 410)
            return context_fail(ctx, FAILURE_NOT_ON_SERVER, "HTTP " + std::to_string(status));
        return context_fail(ctx, FAILURE_SERVER_REFUSED, "HTTP " + std::to_string(status));
    }
    int announced = 0;
    parseManifest(body, announced, changeLog);
    logLine("The server announces version %d (change log of %zu bytes)", announced, changeLog.size());
    const long msLeft = budgetMs - long(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            std::chrono::steady_clock::now() - start).count());
    if (!judgeManifest(body, announced, channel, msLeft, rollout, ctx) || context_failure(ctx) != FAILURE_NONE)
        return false;
    updatedVantoriqueVersion = announced;
    versionAnnounced.store(true, std::memory_order_relaxed);
    return true;
}

// This run's download: to the announced version when one is known, else the
// fixed-name package.
// A repair is an update to the installed version, with no delta, planned
// against the kept index.
UpdateFetch updateFetch(bool announced)
{
    const bool repair = repairing.load(std::memory_order_relaxed);
    UpdateFetch fetch;
    fetch.server = updateServer();
    fetch.installed = vantoriqueVersion;
    fetch.announced = repair ? vantoriqueVersion : announced ? updatedVantoriqueVersion : 0;
    fetch.deltaAllowed = !deltaFailed.load(std::memory_order_relaxed) && !repair;
    fetch.packageName = kPackageName;
    fetch.deltaName = kDeltaName;
    fetch.indexName = kIncomingIndexName;
    fetch.progress = &downloadProgress;
    if (!filesFailed.load(std::memory_order_relaxed)) {
        fetch.installedGame = std::string(kGameParent) + kGameName;
        fetch.spansName = kSpansName;
    }
    if (repair)
        fetch.keptIndexName = kIndexName;
    fetch.repair = repair;
    fetch.fetched = &fetchedUpdate;
    return fetch;
}

// Items of the installed version's index the game lacks or holds at another
// size; no file is read, so the start stays quick.
long long quickDamage()
{
    struct stat st;
    release_index index;
    call_context got;
    uint64_t differing = 0;
    if (lstat(kIndexName, &st) != 0 || !index_read(kIndexName, &index, &got) ||
        int(index.version) != vantoriqueVersion ||
        index_quick_check((std::string(kGameParent) + kGameName).c_str(), kIndexName, &differing, &got) != 1)
        return 0;
    if (differing)
        logLine("The game is damaged: %llu of its %zu items are missing or of another size",
                (unsigned long long)differing, index.items.size());
    return (long long)differing;
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
    gameDamage.store(quickDamage(), std::memory_order_relaxed);
    int rollout = 100;
    const bool learnt = learnAnnouncedVersion(changeLog, rollout, &ctx, msLeft);
    checkFailure = failureOf(&ctx);
    if (learnt) {
        // A staged or halted release waits for the installs outside its share;
        // one already installed stays (only a higher number is an update).
        const bool newer = updatedVantoriqueVersion > vantoriqueVersion;
        const bool offered = newer && offeredInRollout(installId(kInstallIdFile), updatedVantoriqueVersion, rollout);
        if (offered) {
            updateText = changeLog;
            updateAvailable.store(true, std::memory_order_relaxed);
        }
        if (newer && !offered)
            logLine("Version %d is %s: not offered to this install yet", updatedVantoriqueVersion,
                    rollout == 0 ? "halted" : ("offered to " + std::to_string(rollout) + "% of installs").c_str());
        logLine("Check: version %d installed, %s", vantoriqueVersion, offered ? "update offered" : "up to date");
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
    // A player without the game takes the announced version whatever its rollout.
    int rollout = 100;
    call_context learning;
    const bool known = versionAnnounced.load(std::memory_order_relaxed) ||
                       repairing.load(std::memory_order_relaxed) ||  // the installed version's own files
                       learnAnnouncedVersion(changeLog, rollout, &learning);
    bool ok = false;
    if (!known && !publicKey.empty()) {
        // A refused manifest says why; any other failure to learn it is no answer.
        const int kind = context_failure(&learning);
        const bool refused = kind == FAILURE_UNSIGNED || kind == FAILURE_BAD_SIGNATURE || kind == FAILURE_EXPIRED ||
                             kind == FAILURE_OLDER;
        context_fail(&ctx, refused ? kind : FAILURE_NO_ANSWER,
                     refused ? context_line(&learning) : "the version on offer could not be learnt");
    } else
        ok = fetchUpdate(updateFetch(known), &ctx);
    if (ok && fetchedUpdate.whole)
        logLine("Download done: nothing to fetch");
    else if (ok)
        logLine("Download done: %s", fetchedUpdate.files ? (fetchedUpdate.delta ? "the changes and the files they lack" : kSpansName)
                                     : fetchedUpdate.delta ? kDeltaName : kPackageName);
    else
        logLine("Download failed: %s: %s", failure_name(context_failure(&ctx)), context_line(&ctx).c_str());
    downloadFailure = ok ? Failure() : failureOf(&ctx);
    downloadSuccess.store(ok, std::memory_order_relaxed);
    downloadComplete.store(true, std::memory_order_release);
}

// What the download brought, for the install.
UpdateFiles downloadedFiles()
{
    UpdateFiles files;
    if (fetchedUpdate.delta)
        files.delta = kDeltaName;
    if (fetchedUpdate.files)
        files.spans = kSpansName;
    if (files.delta.empty() && files.spans.empty())
        files.package = kPackageName;
    files.writeBytes = fetchedUpdate.writeBytes;
    return files;
}

// The install reports its progress straight into the state's sink, which
// the screen reads each frame. A delta (or the files fetched by Range) that
// cannot build the new game leaves it untouched: the screen then fetches
// again without it, and the support log says why.
void ThreadUnzipFunc(void *)
{
    if (fetchedUpdate.whole) {  // a repair that found nothing to fetch
        keepIncomingIndex(installPlaces(), true, vantoriqueVersion);  // a fetched index is the installed one's
        logLine("Nothing to repair: version %d is whole", vantoriqueVersion);
        unzipFailure = Failure();
        unzipSuccess.store(true, std::memory_order_relaxed);
        unzipComplete.store(true, std::memory_order_release);
        return;
    }
    const UpdateFiles files = downloadedFiles();
    const bool delta = !files.delta.empty(), spans = !files.spans.empty();
    call_context ctx;
    ctx.progress = &unpackProgress;
    // Only a version a manifest announced in this run is recorded: otherwise
    // the next start offers the update again. A repair keeps the installed one.
    const int announced = repairing.load(std::memory_order_relaxed) ? vantoriqueVersion : updatedVantoriqueVersion;
    const int *version =
        versionAnnounced.load(std::memory_order_relaxed) || repairing.load(std::memory_order_relaxed) ? &announced : nullptr;
    bool untouched = false;
    const bool installed = installUpdateFiles(files, installPlaces(), version, &ctx, untouched);
    fflush(stdout);
    for (const std::string &name : {files.delta, files.spans, files.package})
        if (!name.empty())
            discardDownload(name, installed ? "installed" : "the install is over");
    const bool fallBack = (delta || spans) && untouched && context_failure(&ctx) != FAILURE_NO_SPACE &&
                          context_failure(&ctx) != FAILURE_BUSY;
    const std::string why = std::string(failure_name(context_failure(&ctx))) + ": " + context_line(&ctx);
    if (fallBack && delta) {
        logLine("Delta not used: %s; fetching without it", why.c_str());
        deltaFailed.store(true, std::memory_order_relaxed);
    } else if (fallBack) {
        logLine("The fetched files were not used: %s; fetching the package", why.c_str());
        filesFailed.store(true, std::memory_order_relaxed);
    } else if (installed && repairing.load(std::memory_order_relaxed)) {
        for (const std::string &path : fetchedUpdate.paths)
            logLine("Repaired: %s", path.c_str());
        logLine("Repaired version %d: %zu file%s", announced, fetchedUpdate.paths.size(),
                fetchedUpdate.paths.size() == 1 ? "" : "s");
    } else if (installed && version) {
        logLine("Installed version %d%s", *version, delta ? " from a delta" : spans ? " from the files it lacked" : "");
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
