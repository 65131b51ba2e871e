// The three workers: update check, package download, unpack. Each runs once
// per launch on its own thread and reports only through the shared state,
// its data first and its completion flag last.
#include "workers.h"

#include "delta.h"
#include "fetch_update.h"
#include "http.h"
#include "install.h"
#include "log.h"
#include "manifest.h"
#include "signature.h"
#include "state.h"
#include "version.h"
#include "ziputil.h"

#include <stdio.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace {

const char kManifestUri[] = "/vantorique/autoupdate/version.txt";
const char kManifestSignatureUri[] = "/vantorique/autoupdate/version.txt.minisig";
const long kCheckTimeoutMs = 2000;             // the whole exchange, the manifest's signature included
const size_t kMaxManifestBytes = 1u << 20;     // the one limit scripts/publish keeps to too (README)
const size_t kMaxSignatureBytes = 4096;        // a minisign signature is a few hundred
const auto kUnpackProgressPeriod = std::chrono::milliseconds(50);

// With a key built in, the manifest must carry the publisher's signature
// for its own number, unexpired. `refusal` is empty when it does, else the
// player's reason; false when no whole answer came for the signature.
bool judgeManifest(const std::string &body, int announced, long msLeft, std::string &refusal)
{
    refusal.clear();
    if (publicKey.empty())
        return true;
    std::string signature;
    long status = 0;
    if (msLeft <= 0 || !fetchSmall(kManifestSignatureUri, kMaxSignatureBytes, msLeft, signature, &status)) {
        if (status == 0 || status == 200)
            return false;  // none, or cut short: the connection failed
        signature.clear();  // any other answer: the server has none
    }
    std::string detail;
    manifest_failure failure = checkManifest(body, signature, announced, time(nullptr), detail);
    refusal = manifestRefusal(failure, detail);
    if (failure != MANIFEST_ACCEPTED) {
        printf("Manifest refused: %s\n", manifestRefusal(failure, "").c_str());
        logLine("Manifest refused: %s%s%s", manifestRefusal(failure, "").c_str(), detail.empty() ? "" : ": ",
                detail.c_str());
    } else {
        logLine("Manifest signature verified (version %d)", announced);
    }
    return true;
}

// Asks the server which version it offers and publishes the answer (the
// signature names it, the version file records it). False when no manifest
// came, or (with `refusal` saying why) when it was not believed.
bool learnAnnouncedVersion(std::string &changeLog, std::string &refusal)
{
    const auto start = std::chrono::steady_clock::now();
    std::string body;
    refusal.clear();
    if (!fetchSmall(kManifestUri, kMaxManifestBytes, kCheckTimeoutMs, body))
        return false;
    int announced = 0;
    parseManifest(body, announced, changeLog);
    logLine("The server announces version %d (change log of %zu bytes)", announced, changeLog.size());
    const long msLeft = kCheckTimeoutMs - long(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                   std::chrono::steady_clock::now() - start).count());
    if (!judgeManifest(body, announced, msLeft, refusal) || !refusal.empty())
        return false;
    updatedVantoriqueVersion = announced;
    versionAnnounced.store(true, std::memory_order_relaxed);
    return true;
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
    std::string changeLog, refusal;
    const bool learnt = learnAnnouncedVersion(changeLog, refusal);
    checkFailure = refusal;
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
    std::string reason, changeLog, refusal;
    // No check has answered in this run (the no-game screen's Retry after a
    // failed check): learn the announced version first. A signature can only
    // be checked against it.
    const bool known = versionAnnounced.load(std::memory_order_relaxed) || learnAnnouncedVersion(changeLog, refusal);
    bool ok = false;
    if (!known && !publicKey.empty())
        reason = refusal.empty() ? "No answer from the server" : refusal;
    else
        ok = fetchUpdate(vantoriqueVersion, known ? updatedVantoriqueVersion : 0, reason);
    const bool delta = downloadFetching.load(std::memory_order_relaxed) == kFetchingDelta;
    if (ok)
        logLine("Download done: %s", delta ? kDeltaName : kPackageName);
    else
        logLine("Download failed: %s", reason.c_str());
    downloadFailure = reason;
    downloadSuccess.store(ok, std::memory_order_relaxed);
    downloadComplete.store(true, std::memory_order_release);
}

// The install runs beside; this thread copies the unpacker's (or the
// delta's) progress into the shared state for the screen until it ends. A
// delta that cannot build the new game leaves it untouched: the screen then
// fetches the full package, and the support log says why.
void ThreadUnzipFunc(void *)
{
    const bool delta = downloadFetching.load(std::memory_order_relaxed) == kFetchingDelta;
    const char *name = delta ? kDeltaName : kPackageName;
    std::string reason, deltaFault;
    std::atomic<bool> ended{false};
    bool installed = false;
    progress_sink unpacked;  // the package's unpack, read here as it runs
    // Only a version a manifest announced in this run is recorded: otherwise
    // the next start offers the update again.
    const int announced = updatedVantoriqueVersion;
    const int *version = versionAnnounced.load(std::memory_order_relaxed) ? &announced : nullptr;
    progress_sink deltaProgress;
    std::thread install([&] {
        installed = delta ? installDelta(name, "../", version, reason, deltaFault, &deltaProgress)
                          : installPackage(name, "../", version, reason, &unpacked);
        ended.store(true, std::memory_order_release);
    });
    const std::atomic<long long> &total = delta ? deltaProgress.total : unpacked.total;
    const std::atomic<long long> &done = delta ? deltaProgress.done : unpacked.done;
    for (bool last = false; !last;) {
        last = ended.load(std::memory_order_acquire);
        unpackBytesTotal.store(total.load(std::memory_order_relaxed), std::memory_order_relaxed);
        unpackBytesDone.store(done.load(std::memory_order_relaxed), std::memory_order_relaxed);
        if (!last)
            std::this_thread::sleep_for(kUnpackProgressPeriod);
    }
    install.join();
    fflush(stdout);
    remove(name);
    const bool fallBack = !installed && !deltaFault.empty();
    if (fallBack) {
        logLine("Delta not used: %s; fetching the full package", deltaFault.c_str());
        deltaFailed.store(true, std::memory_order_relaxed);
        reason.clear();
    } else if (installed && version) {
        logLine("Installed version %d%s", *version, delta ? " from a delta" : "");
    } else if (installed) {
        logLine("Installed a package of no announced version (the version file is left as it was)");
    } else {
        logLine("Install failed: %s", reason.c_str());
    }
    unzipFailure = reason;
    unzipWantsPackage.store(fallBack, std::memory_order_relaxed);
    unzipSuccess.store(installed, std::memory_order_relaxed);
    unzipComplete.store(true, std::memory_order_release);
}
