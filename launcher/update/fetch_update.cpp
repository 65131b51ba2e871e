// The download worker's files: a delta, or the package, each with its
// minisign signature. Every release has a folder of its own on the server
// that is never rewritten, so a file and a signature fetched from it belong
// together even where a cache still serves an older fixed-name file.
#include "fetch_update.h"

#include "download.h"
#include "http.h"
#include "log.h"
#include "server_layout.h"
#include "signature.h"

#include <stdio.h>

namespace {

const size_t kMaxSignatureBytes = 4096;  // a minisign signature is a few hundred
const long kSignatureTimeoutMs = 30 * 1000;

// With a key built in, the fetched file `local` must carry the publisher's
// signature (dirUri + fileName + ".minisig") for `version`, and a delta
// (`from` non-zero) for the installed version too. Empty when it does, else
// why not, for the screen.
std::string signatureFault(const UpdateServer &server, const std::string &dirUri, const std::string &fileName,
                           const char *local, int version, int from)
{
    if (publicKey.empty()) {
        logLine("Signature not checked: this launcher was built without a public key");
        return "";
    }
    std::string signature, why;
    bool verified = false;
    if (!fetchSmall(server, signatureUri(dirUri + fileName), kMaxSignatureBytes, kSignatureTimeoutMs, signature))
        why = "the signature could not be fetched";
    else if (from)
        verified = verifyDelta(local, fileName.c_str(), signature, version, from, why);
    else
        verified = verifyPackage(local, fileName.c_str(), signature, version, why);
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

// The delta's transfer broke: the failure is the screen's, and its .part
// stays for the next try. Anything else that keeps the delta from use
// leaves `reason` empty: the package is fetched instead.
bool fetchDelta(const UpdateFetch &f, std::string &reason)
{
    const int installed = f.installed, announced = f.announced;
    const std::string file = deltaFileName(installed), dirUri = releaseFolderUri(announced);
    startProgress(*f.progress, kFetchingDelta);
    std::string why;
    const fetch_outcome got = fetchFile(f.server, dirUri + file, f.deltaName, *f.progress, why);
    if (got == FETCH_BROKEN) {
        reason = why;
        return false;
    }
    if (got != FETCH_WHOLE) {
        logLine("No delta from version %d to %d: %s (%s); fetching the full package", installed, announced,
                got == FETCH_MISSING ? "the server has none" : "the server's answer was refused", why.c_str());
        return false;
    }
    if (!signatureFault(f.server, dirUri, file, f.deltaName.c_str(), announced, installed).empty()) {
        discardDownload(f.deltaName, "its signature does not hold");
        logLine("Delta %s not used: its signature does not hold; fetching the full package", file.c_str());
        return false;
    }
    return true;
}

// The package of `announced` from its release's folder; a server that has
// none (published before releases had folders) is asked for the fixed name.
bool fetchPackage(const UpdateFetch &f, std::string &reason)
{
    startProgress(*f.progress, kFetchingPackage);
    std::string dirUri = kServerRoot;
    fetch_outcome got = FETCH_MISSING;
    if (f.announced > 0) {
        dirUri = releaseFolderUri(f.announced);
        got = fetchFile(f.server, dirUri + kPackageFile, f.packageName, *f.progress, reason);
        if (got == FETCH_MISSING)
            logLine("No release folder for version %d on the server: asking for %s%s", f.announced, kServerRoot,
                    kPackageFile);
    }
    if (got == FETCH_MISSING) {
        dirUri = kServerRoot;
        got = fetchFile(f.server, dirUri + kPackageFile, f.packageName, *f.progress, reason);
    }
    if (got != FETCH_WHOLE)
        return false;
    reason = signatureFault(f.server, dirUri, kPackageFile, f.packageName.c_str(), f.announced, 0);
    if (!reason.empty())
        discardDownload(f.packageName, "its signature does not hold");  // deleted at once
    return reason.empty();
}

}  // namespace

bool fetchUpdate(const UpdateFetch &fetch, std::string &reason)
{
    reason.clear();
    if (fetch.announced > 0 && fetch.installed > 0 && fetch.installed < fetch.announced && fetch.deltaAllowed) {
        if (fetchDelta(fetch, reason))
            return true;
        if (!reason.empty())
            return false;
    }
    return fetchPackage(fetch, reason);
}
