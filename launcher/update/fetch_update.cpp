// The download worker's files: a delta, or the package, each with its
// minisign signature. Every release has a folder of its own on the server
// that is never rewritten, so a file and a signature fetched from it belong
// together even where a cache still serves an older fixed-name file.
#include "fetch_update.h"

#include "download.h"
#include "fetch_files.h"
#include "fsutil.h"
#include "http.h"
#include "delta.h"
#include "replace.h"
#include "log.h"
#include "server_layout.h"
#include "signature.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
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
bool fetchDelta(const UpdateFetch &f, const char *otherwise, call_context *ctx)
{
    const int installed = f.installed, announced = f.announced;
    const std::string file = deltaFileName(installed), dirUri = releaseFolderUri(announced);
    startProgress(*f.progress, kFetchingDelta);
    call_context got;  // the delta's own: most of its failures only send us on to the package
    if (!fetchFile(f.server, dirUri + file, f.deltaName, *f.progress, &got)) {
        if (context_failure(&got) == FAILURE_NO_ANSWER)
            return adopt(ctx, &got);
        logLine("No delta from version %d to %d: %s (%s: %s); %s", installed, announced,
                context_failure(&got) == FAILURE_NOT_ON_SERVER ? "the server has none" : "its transfer failed",
                failure_name(context_failure(&got)), context_line(&got).c_str(), otherwise);
        return false;
    }
    if (!signatureHolds(f.server, dirUri, file, f.deltaName.c_str(), announced, installed, &got)) {
        discardDownload(f.deltaName, "its signature does not hold");
        logLine("Delta %s not used: its signature does not hold; %s", file.c_str(), otherwise);
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
bool fetchSignedIndex(const UpdateFetch &f)
{
    unlink(f.indexName.c_str());
    const std::string uri = releaseFolderUri(f.announced) + kIndexFile;
    std::string body, signature, comment;
    long status = 0;
    if (!fetchSmall(f.server, uri, kMaxIndexBytes, kIndexTimeoutMs, body, &status)) {
        logLine("No index of version %d (%s): files the publisher removed stay", f.announced,
                status == 404 ? "the server has none" : "its transfer failed");
        return false;
    }
    if (!publicKey.empty()) {
        const char *fault = nullptr;
        if (!fetchSmall(f.server, signatureUri(uri), kMaxSignatureBytes, kSignatureTimeoutMs, signature))
            fault = "its signature could not be fetched";
        else if (!(fault = contentSignatureFault(body, signature, comment)))
            fault = commentFault(comment, kIndexFile, f.announced);
        if (fault) {
            logLine("Index of version %d not used: %s", f.announced, fault);
            return false;
        }
    }
    if (!replace_file(f.indexName, body.data(), body.size(), 0644, DURABLE_FILE)) {
        logLine("Index of version %d not kept: %s", f.announced, strerror(errno));
        return false;
    }
    return true;
}

// The installed version's index, verified when it was fetched, copied to
// f.indexName when it is the announced version's.
bool copyKeptIndex(const UpdateFetch &f)
{
    release_index index;
    call_context got;
    std::string body;
    struct stat st;
    if (f.keptIndexName.empty() || lstat(f.keptIndexName.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        !index_read(f.keptIndexName.c_str(), &index, &got) || int(index.version) != f.announced ||
        !read_small_file(f.keptIndexName, kMaxIndexBytes, body))
        return false;
    unlink(f.indexName.c_str());
    return replace_file(f.indexName, body.data(), body.size(), 0644, DURABLE_FILE);
}

// An index of the announced version at f.indexName, read into `index`.
bool readIndexOf(const UpdateFetch &f, release_index &index)
{
    call_context got;
    struct stat st;
    return !f.indexName.empty() && lstat(f.indexName.c_str(), &st) == 0 &&
           index_read(f.indexName.c_str(), &index, &got) && int(index.version) == f.announced;
}

// The delta when it serves; with an index, what the plan lacks (by Range)
// or nothing more; else (or when the ranges do not serve) the package.
bool fetchFiles(const UpdateFetch &f, call_context *ctx)
{
    FetchedUpdate none;
    FetchedUpdate &got = f.fetched ? *f.fetched : none;
    got = FetchedUpdate();
    f.progress->before.store(0, std::memory_order_relaxed);
    release_index index;
    const bool indexed = !f.installedGame.empty() && !f.spansName.empty() && readIndexOf(f, index);
    const char *otherwise = indexed ? "fetching the files it lacks" : "fetching the full package";
    bool delta = false;
    if (f.announced > 0 && f.installed > 0 && f.installed < f.announced && f.deltaAllowed) {
        delta = fetchDelta(f, otherwise, ctx);
        if (!delta && context_failure(ctx) != FAILURE_NONE)
            return false;
    }
    update_plan plan;
    if (indexed && planUpdate(f.installedGame, f.indexName, delta ? f.deltaName : "", plan)) {
        got.writeBytes = plan.write_bytes;
        got.paths = plan.fetched;
        if (f.repair && plan.fetched.empty())
            return got.whole = true;
        if (delta && plan.spans.empty())
            return got.delta = true;  // the changes are all there is to fetch
        if (delta)
            f.progress->before.store(f.progress->done.load(std::memory_order_relaxed), std::memory_order_relaxed);
        const std::string game = f.installedGame, parent = game.substr(0, game.find_last_of('/') + 1);
        switch (fetchPlannedFiles(f.server, f.announced, index.package_size, plan, f.spansName,
                                  parent.empty() ? "." : parent, *f.progress, ctx)) {
        case kFilesFetched:
            got.delta = delta;
            return got.files = true;
        case kFilesFailed:
            if (delta)
                discardDownload(f.deltaName, "the update was not fetched");
            return false;
        case kFilesWholePackage:
            break;
        }
        if (delta)
            discardDownload(f.deltaName, "the package is fetched instead");
        got.writeBytes = 0;
    } else if (delta) {
        return got.delta = true;
    }
    return got.package = fetchPackage(f, ctx);
}

}  // namespace

bool fetchIndex(const UpdateFetch &f)
{
    if (f.announced <= 0 || f.indexName.empty())
        return false;
    const bool kept = copyKeptIndex(f);
    if (!kept && !fetchSignedIndex(f))
        return false;
    release_index index;
    call_context got;
    if (!index_read(f.indexName.c_str(), &index, &got) || int(index.version) != f.announced) {
        logLine("Index of version %d not used: %s", f.announced,
                context_failure(&got) ? context_line(&got).c_str() : "it names another version");
        unlink(f.indexName.c_str());
        return false;
    }
    logLine("Index of version %d %s: %zu items", f.announced, kept ? "kept from its install" : "verified",
            index.items.size());
    return true;
}

bool fetchUpdate(const UpdateFetch &fetch, call_context *ctx)
{
    fetchIndex(fetch);
    if (fetchFiles(fetch, ctx))
        return true;
    if (!fetch.indexName.empty())
        discardDownload(fetch.indexName, "the update was not fetched");
    return false;
}

