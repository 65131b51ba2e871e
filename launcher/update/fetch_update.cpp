// The download worker's files: a delta, or the package, each with its
// minisign signature. Every release has a folder of its own on the server
// that is never rewritten, so a file and a signature fetched from it belong
// together even where a cache still serves an older fixed-name file.
#include "fetch_update.h"

#include "download.h"
#include "http.h"
#include "delta.h"
#include "replace.h"
#include "log.h"
#include "server_layout.h"
#include "signature.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace {

const size_t kMaxSignatureBytes = 4096;  // a minisign signature is a few hundred
const long kSignatureTimeoutMs = 30 * 1000;
const size_t kMaxIndexBytes = 64u << 20;  // a million items' table, compressed, with room
const long kIndexTimeoutMs = 120 * 1000;

// A failure of another call, made the caller's.
bool adopt(call_context *ctx, call_context *from)
{
    return context_fail(ctx, context_failure(from), context_line(from));
}

// With a key built in, the fetched file `local` must carry the publisher's
// signature (dirUri + fileName + ".minisig") for `version`, and a delta
// (`from` non-zero) for the installed version too. False with
// FAILURE_UNSIGNED or FAILURE_BAD_SIGNATURE in `ctx` and why.
bool signatureHolds(const UpdateServer &server, const std::string &dirUri, const std::string &fileName,
                    const char *local, int version, int from, call_context *ctx)
{
    if (publicKey.empty()) {
        logLine("Signature not checked: this launcher was built without a public key");
        return true;
    }
    std::string signature, why;
    if (!fetchSmall(server, signatureUri(dirUri + fileName), kMaxSignatureBytes, kSignatureTimeoutMs, signature)) {
        logLine("Signature check failed: the signature could not be fetched");
        return context_fail(ctx, FAILURE_UNSIGNED, "the signature could not be fetched");
    }
    const bool verified = from ? verifyDelta(local, fileName.c_str(), signature, version, from, why)
                               : verifyPackage(local, fileName.c_str(), signature, version, why);
    if (!verified) {
        logLine("Signature check failed: %s", why.c_str());
        return context_fail(ctx, FAILURE_BAD_SIGNATURE, why);
    }
    if (from)
        logLine("Signature verified: %s (version %d from %d)", fileName.c_str(), version, from);
    else
        logLine("Signature verified: %s (version %d)", fileName.c_str(), version);
    return true;
}

// The delta's transfer broke: the failure is the caller's, and its .part
// stays for the next try. Anything else that keeps the delta from use
// leaves `ctx` as it was: the package is fetched instead.
bool fetchDelta(const UpdateFetch &f, call_context *ctx)
{
    const int installed = f.installed, announced = f.announced;
    const std::string file = deltaFileName(installed), dirUri = releaseFolderUri(announced);
    startProgress(*f.progress, kFetchingDelta);
    call_context got;  // the delta's own: most of its failures only send us on to the package
    if (!fetchFile(f.server, dirUri + file, f.deltaName, *f.progress, &got)) {
        if (context_failure(&got) == FAILURE_NO_ANSWER)
            return adopt(ctx, &got);
        logLine("No delta from version %d to %d: %s (%s: %s); fetching the full package", installed, announced,
                context_failure(&got) == FAILURE_NOT_ON_SERVER ? "the server has none" : "its transfer failed",
                failure_name(context_failure(&got)), context_line(&got).c_str());
        return false;
    }
    if (!signatureHolds(f.server, dirUri, file, f.deltaName.c_str(), announced, installed, &got)) {
        discardDownload(f.deltaName, "its signature does not hold");
        logLine("Delta %s not used: its signature does not hold; fetching the full package", file.c_str());
        return false;
    }
    return true;
}

// The package of `announced` from its release's folder; a server that has
// none (published before releases had folders) is asked for the fixed name.
bool fetchPackage(const UpdateFetch &f, call_context *ctx)
{
    startProgress(*f.progress, kFetchingPackage);
    std::string dirUri = kServerRoot;
    if (f.announced > 0) {
        call_context release;
        if (fetchFile(f.server, releaseFolderUri(f.announced) + kPackageFile, f.packageName, *f.progress, &release))
            dirUri = releaseFolderUri(f.announced);
        else if (context_failure(&release) != FAILURE_NOT_ON_SERVER)
            return adopt(ctx, &release);
        else
            logLine("No release folder for version %d on the server: asking for %s%s", f.announced, kServerRoot,
                    kPackageFile);
    }
    if (dirUri == kServerRoot && !fetchFile(f.server, dirUri + kPackageFile, f.packageName, *f.progress, ctx))
        return false;
    if (!signatureHolds(f.server, dirUri, kPackageFile, f.packageName.c_str(), f.announced, 0, ctx)) {
        discardDownload(f.packageName, "its signature does not hold");  // deleted at once
        return false;
    }
    return true;
}

// The announced release's index, whole, signed and readable, into
// f.indexName; anything less leaves no index there and the update goes on
// without one (the log says why).
void fetchIndex(const UpdateFetch &f)
{
    unlink(f.indexName.c_str());
    const std::string uri = releaseFolderUri(f.announced) + kIndexFile;
    std::string body, signature, comment;
    long status = 0;
    if (!fetchSmall(f.server, uri, kMaxIndexBytes, kIndexTimeoutMs, body, &status)) {
        logLine("No index of version %d (%s): files the publisher removed stay", f.announced,
                status == 404 ? "the server has none" : "its transfer failed");
        return;
    }
    if (!publicKey.empty()) {
        const char *fault = nullptr;
        if (!fetchSmall(f.server, signatureUri(uri), kMaxSignatureBytes, kSignatureTimeoutMs, signature))
            fault = "its signature could not be fetched";
        else if (!(fault = contentSignatureFault(body, signature, comment)))
            fault = commentFault(comment, kIndexFile, f.announced);
        if (fault) {
            logLine("Index of version %d not used: %s", f.announced, fault);
            return;
        }
    }
    if (!replace_file(f.indexName, body.data(), body.size(), 0644, DURABLE_FILE)) {
        logLine("Index of version %d not kept: %s", f.announced, strerror(errno));
        return;
    }
    release_index index;
    call_context got;
    if (!index_read(f.indexName.c_str(), &index, &got) || int(index.version) != f.announced) {
        logLine("Index of version %d not used: %s", f.announced,
                context_failure(&got) ? context_line(&got).c_str() : "it names another version");
        unlink(f.indexName.c_str());
        return;
    }
    logLine("Index of version %d verified: %zu items", f.announced, index.items.size());
}

// The delta when it serves, else the package.
bool fetchFiles(const UpdateFetch &fetch, call_context *ctx)
{
    if (fetch.announced > 0 && fetch.installed > 0 && fetch.installed < fetch.announced && fetch.deltaAllowed) {
        if (fetchDelta(fetch, ctx))
            return true;
        if (context_failure(ctx) != FAILURE_NONE)
            return false;
    }
    return fetchPackage(fetch, ctx);
}

}  // namespace

bool fetchUpdate(const UpdateFetch &fetch, call_context *ctx)
{
    if (fetch.announced > 0 && !fetch.indexName.empty())
        fetchIndex(fetch);
    if (fetchFiles(fetch, ctx))
        return true;
    if (!fetch.indexName.empty())
        discardDownload(fetch.indexName, "the update was not fetched");
    return false;
}

