// The download worker's files: a delta, or the package, each with its
// minisign signature. Every release has a folder of its own on the server
// that is never rewritten, so a file and a signature fetched from it belong
// together even where a cache still serves an older fixed-name file.
#include "fetch_update.h"

#include "download.h"
#include "http.h"
#include "log.h"
#include "signature.h"
#include "state.h"

#include <stdio.h>

namespace {

const char kUpdateDirUri[] = "/vantorique/autoupdate/";
const size_t kMaxSignatureBytes = 4096;  // a minisign signature is a few hundred
const long kSignatureTimeoutMs = 30 * 1000;

std::string releaseDirUri(int version)
{
    return std::string(kUpdateDirUri) + "releases/" + std::to_string(version) + "/";
}

// With a key built in, the fetched file `local` must carry the publisher's
// signature (dirUri + fileName + ".minisig") for `version`, and a delta
// (`from` non-zero) for the installed version too. Empty when it does, else
// why not, for the screen.
std::string signatureFault(const std::string &dirUri, const std::string &fileName, const char *local, int version,
                           int from)
{
    if (publicKey.empty()) {
        logLine("Signature not checked: this launcher was built without a public key");
        return "";
    }
    std::string signature, why;
    bool verified = false;
    if (!fetchSmall(dirUri + fileName + ".minisig", kMaxSignatureBytes, kSignatureTimeoutMs, signature))
        why = "the signature could not be fetched";
    else if (from)
        verified = verifyDelta(local, fileName.c_str(), signature, version, from, why);
    else
        verified = verifyPackage(local, signature, version, why);
    if (verified) {
        if (from)
            logLine("Signature verified: %s (version %d from %d)", fileName.c_str(), version, from);
        else
            logLine("Signature verified: %s (version %d)", fileName.c_str(), version);
        return "";
    }
    logLine("Signature check failed: %s", why.c_str());
    return "Signature check failed\n" + why;
}

// A new transfer on the screen: no figures of the last one.
void nowFetching(Fetching what)
{
    downloadBytesDone.store(0, std::memory_order_relaxed);
    downloadBytesTotal.store(-1, std::memory_order_relaxed);
    downloadBytesPerSecond.store(0, std::memory_order_relaxed);
    downloadFetching.store(what, std::memory_order_relaxed);
}

// The delta's transfer broke: the failure is the screen's, and its .part
// stays for the next try. Anything else that keeps the delta from use
// leaves `reason` empty: the package is fetched instead.
bool fetchDelta(int installed, int announced, std::string &reason)
{
    const std::string file = "from-" + std::to_string(installed) + ".delta", dirUri = releaseDirUri(announced);
    nowFetching(kFetchingDelta);
    std::string why;
    const fetch_outcome got = fetchFile(dirUri + file, kDeltaName, why);
    if (got == FETCH_BROKEN) {
        reason = why;
        return false;
    }
    if (got != FETCH_WHOLE) {
        logLine("No delta from version %d to %d: %s (%s); fetching the full package", installed, announced,
                got == FETCH_MISSING ? "the server has none" : "the server's answer was refused", why.c_str());
        return false;
    }
    if (!signatureFault(dirUri, file, kDeltaName, announced, installed).empty()) {
        remove(kDeltaName);
        logLine("Delta %s not used: its signature does not hold; fetching the full package", file.c_str());
        return false;
    }
    return true;
}

// The package of `announced` from its release's folder; a server that has
// none (published before releases had folders) is asked for the fixed name.
bool fetchPackage(int announced, std::string &reason)
{
    nowFetching(kFetchingPackage);
    std::string dirUri = kUpdateDirUri;
    fetch_outcome got = FETCH_MISSING;
    if (announced > 0) {
        dirUri = releaseDirUri(announced);
        got = fetchFile(dirUri + kPackageName, kPackageName, reason);
        if (got == FETCH_MISSING)
            logLine("No release folder for version %d on the server: asking for %s%s", announced, kUpdateDirUri,
                    kPackageName);
    }
    if (got == FETCH_MISSING) {
        dirUri = kUpdateDirUri;
        got = fetchFile(dirUri + kPackageName, kPackageName, reason);
    }
    if (got != FETCH_WHOLE)
        return false;
    reason = signatureFault(dirUri, kPackageName, kPackageName, updatedVantoriqueVersion, 0);
    if (!reason.empty())
        remove(kPackageName);  // a package that fails the check is deleted at once
    return reason.empty();
}

}  // namespace

bool fetchUpdate(int installed, int announced, std::string &reason)
{
    reason.clear();
    if (announced > 0 && installed > 0 && installed < announced && !deltaFailed.load(std::memory_order_relaxed)) {
        if (fetchDelta(installed, announced, reason))
            return true;
        if (!reason.empty())
            return false;
    }
    return fetchPackage(announced, reason);
}
