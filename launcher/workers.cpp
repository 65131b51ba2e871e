// The three workers: update check, package download, unpack. Each runs once
// per launch on its own thread and reports only through the shared flags,
// its data first and its completion flag last.
#include "install.h"
#include "state.h"
#include "ziputil.h"

#include <curl/curl.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

namespace {

const char kManifestUri[] = "/vantorique/autoupdate/version.txt";
const char kPackageDirUri[] = "/vantorique/autoupdate/";
const long kCheckTimeoutMs = 2000;           // the whole exchange
const size_t kMaxManifestBytes = 1u << 20;   // a manifest is a few lines
const size_t kMaxSignatureBytes = 4096;      // a minisign signature is a few hundred
const size_t kMaxValidatorBytes = 512;
const long kSignatureTimeoutS = 30;
const long kConnectTimeoutS = 10;
const long kStallSeconds = 60;               // no byte for this long: give up
const double kLingerSeconds = 2;             // a whole body, and the server still has not closed
const long kReceiveBuffer = 512 * 1024;      // curl's largest: fewer, larger reads and writes

struct CurlDeleter {
    void operator()(CURL *c) const { curl_easy_cleanup(c); }
};
using CurlPtr = std::unique_ptr<CURL, CurlDeleter>;

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// libcurl takes http_proxy/no_proxy from the environment: players behind a
// proxy need that, so no proxy option is set here.
CurlPtr newRequest(const std::string &uri)
{
    static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    if (!initialised)
        return nullptr;
    CurlPtr curl(curl_easy_init());
    if (!curl)
        return nullptr;
    std::string url = "http://" + updateHost + ":" + std::to_string(updatePort) + uri;
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);  // timeouts without signals: we are a thread
    curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(curl.get(), CURLOPT_FOLLOWLOCATION, 0L);
    return curl;
}

// A small body held in memory, refused past its limit.
struct Collected {
    std::string body;
    size_t limit;
};

size_t collectBody(char *data, size_t size, size_t count, void *user)
{
    Collected *c = static_cast<Collected *>(user);
    size_t n = size * count;
    if (c->body.size() + n > c->limit)
        return 0;  // far too big for what it should be: fail
    c->body.append(data, n);
    return n;
}

// The manifest's bytes; false unless an answer with status 200 came in time.
bool fetchManifest(std::string &body)
{
    Collected manifest{std::string(), kMaxManifestBytes};
    long status = 0;
    CurlPtr curl = newRequest(kManifestUri);
    if (curl) {
        curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT_MS, kCheckTimeoutMs);
        curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, collectBody);
        curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &manifest);
        if (curl_easy_perform(curl.get()) == CURLE_OK)
            curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
    }
    body = std::move(manifest.body);
    return status == 200;
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
    std::string body;
    if (fetchManifest(body)) {
        int announced = 0;
        std::string changeLog;
        parseManifest(body, announced, changeLog);
        updatedVantoriqueVersion = announced;
        versionAnnounced.store(true, std::memory_order_relaxed);
        if (announced > vantoriqueVersion) {
            updateText = changeLog;
            updateAvailable.store(true, std::memory_order_relaxed);
        }
    } else {
        updatingError.store(true, std::memory_order_relaxed);
        updateAvailable.store(false, std::memory_order_relaxed);
    }
    doneCheckUpdating.store(true, std::memory_order_release);
}

namespace {

// One answer for the package, written to "<name>.part" as it arrives. The
// .part is renamed to the package only when the whole body is on disk.
struct Transfer {
    CURL *curl;
    std::string partial;          // "<name>.part"
    std::string validatorFile;    // "<name>.part.validator": ETag or Last-Modified of the .part
    FilePtr resumeFile;           // the kept .part, opened for append, when resuming
    long long offset = 0;         // its size: the Range asked from there
    FilePtr file;                 // where this answer's body goes
    long long announced = -1;     // this answer's Content-Length
    long long received = 0;       // body bytes of this answer
    std::string reason;           // set when we stop the transfer ourselves
    std::chrono::steady_clock::time_point started;
    std::chrono::steady_clock::time_point whole;  // when the announced length was reached
    bool lingered = false;        // we hung up on a server that kept the line open after the body
};

std::string headerValue(CURL *curl, const char *name)
{
    curl_header *h = nullptr;
    if (curl_easy_header(curl, name, 0, CURLH_HEADER, -1, &h) != CURLHE_OK || !h || !h->value)
        return "";
    return h->value;
}

// Something safe to send back in If-Range: one short line of visible text.
bool usableValidator(const std::string &v)
{
    if (v.empty() || v.size() > kMaxValidatorBytes)
        return false;
    for (char c : v)
        if ((unsigned char)c < 0x20 || (unsigned char)c > 0x7E)
            return false;
    return true;
}

// ETag when it is strong (a weak one cannot ask for a range), else Last-Modified.
std::string validatorOf(CURL *curl)
{
    std::string etag = headerValue(curl, "ETag");
    std::string v = !etag.empty() && etag.compare(0, 2, "W/") != 0 ? etag : headerValue(curl, "Last-Modified");
    return usableValidator(v) ? v : "";
}

// A file of ours, read only when it is a regular file and not a link.
std::string readSmallFile(const std::string &path, size_t limit)
{
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return "";
    struct stat st;
    std::string out;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 && size_t(st.st_size) <= limit) {
        out.resize(size_t(st.st_size));
        if (read(fd, &out[0], out.size()) != ssize_t(out.size()))
            out.clear();
    }
    close(fd);
    return out;
}

// The .part of an earlier try, for append, if it is a non-empty regular file
// (never a link, a FIFO or a device) that a usable validator vouches for.
FilePtr openForResume(const std::string &partial, const std::string &validator, long long &size)
{
    struct stat before, after;
    if (!usableValidator(validator) || lstat(partial.c_str(), &before) != 0 || !S_ISREG(before.st_mode) ||
        before.st_size <= 0)
        return nullptr;
    int fd = open(partial.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    if (fstat(fd, &after) != 0 || !S_ISREG(after.st_mode) || after.st_ino != before.st_ino ||
        after.st_dev != before.st_dev) {
        close(fd);
        return nullptr;
    }
    FilePtr f(fdopen(fd, "ab"));
    if (!f)
        close(fd);
    size = after.st_size;
    return f;
}

long long contentRangeStart(CURL *curl)
{
    std::string range = headerValue(curl, "Content-Range");  // "bytes START-END/TOTAL"
    long long start = -1;
    return sscanf(range.c_str(), "bytes %lld-", &start) == 1 ? start : -1;
}

long long parseLength(const std::string &text)
{
    char *end = nullptr;
    long long n = text.empty() ? -1 : strtoll(text.c_str(), &end, 10);
    return n >= 0 && end && *end == '\0' ? n : -1;
}

const char *writeFailure(int error)
{
    return error == ENOSPC || error == EDQUOT ? "Disk full" : "Cannot write the package";
}

// The answer's head is in: take it (and say where its body goes) or refuse it.
bool acceptAnswer(Transfer &t)
{
    long status = 0;
    curl_easy_getinfo(t.curl, CURLINFO_RESPONSE_CODE, &status);
    bool resumed = status == 206 && t.resumeFile && contentRangeStart(t.curl) == t.offset;
    if (status != 200 && !resumed) {
        t.reason = status == 404 ? "The server has no package"
                   : status == 206 ? "The server sent the wrong part"
                                   : "The server answered " + std::to_string(status);
        return false;
    }
    t.announced = parseLength(headerValue(t.curl, "Content-Length"));
    if (t.announced >= 0 && (unsigned long long)t.announced > freeBytes(".")) {
        t.reason = "Disk full";
        return false;
    }
    if (resumed) {
        t.file = std::move(t.resumeFile);
    } else {  // the whole package: start over, with this answer's validator
        t.resumeFile.reset();
        t.offset = 0;
        t.file.reset(createFresh(t.partial.c_str()));
        if (!t.file) {
            t.reason = writeFailure(errno);
            return false;
        }
        remove(t.validatorFile.c_str());
        std::string validator = validatorOf(t.curl);
        if (!validator.empty()) {
            FilePtr v(createFresh(t.validatorFile.c_str()));
            if (!v || fputs(validator.c_str(), v.get()) < 0 || fclose(v.release()) != 0)
                remove(t.validatorFile.c_str());
        }
    }
    t.started = std::chrono::steady_clock::now();
    downloadBytesDone.store(t.offset, std::memory_order_relaxed);
    downloadBytesTotal.store(t.announced >= 0 ? t.offset + t.announced : -1, std::memory_order_relaxed);
    return true;
}

size_t packageHeader(char *data, size_t size, size_t count, void *user)
{
    Transfer *t = static_cast<Transfer *>(user);
    size_t n = size * count;
    long status = 0;
    curl_easy_getinfo(t->curl, CURLINFO_RESPONSE_CODE, &status);
    bool headEnded = (n == 2 && data[0] == '\r' && data[1] == '\n') || (n == 1 && data[0] == '\n');
    if (headEnded && status >= 200 && !acceptAnswer(*t))
        return 0;
    return n;
}

size_t writePackage(char *data, size_t size, size_t count, void *user)
{
    Transfer *t = static_cast<Transfer *>(user);
    size_t n = size * count;
    if (!t->file)
        return 0;
    if (t->announced >= 0 && t->received + (long long)n > t->announced) {
        t->reason = "The package is larger than announced";
        return 0;
    }
    if (fwrite(data, 1, n, t->file.get()) != n) {
        t->reason = writeFailure(errno);
        return 0;
    }
    t->received += (long long)n;
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t->started).count();
    downloadBytesDone.store(t->offset + t->received, std::memory_order_relaxed);
    if (seconds > 0.2)
        downloadBytesPerSecond.store((long long)(double(t->received) / seconds), std::memory_order_relaxed);
    return n;
}

// We asked for Connection: close to see bytes past the announced length; a
// server that keeps the line open anyway gets a short grace, not the stall limit.
int watchPackage(void *user, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    Transfer *t = static_cast<Transfer *>(user);
    if (abortTransfers.load(std::memory_order_relaxed))
        return 1;
    if (t->announced < 0 || t->received != t->announced)
        return 0;
    auto now = std::chrono::steady_clock::now();
    if (t->whole == std::chrono::steady_clock::time_point())
        t->whole = now;
    t->lingered = std::chrono::duration<double>(now - t->whole).count() > kLingerSeconds;
    return t->lingered ? 1 : 0;
}

struct SlistDeleter {
    void operator()(curl_slist *l) const { curl_slist_free_all(l); }
};

// Fetches the package into "<name>.part" and renames it. A transfer that
// breaks after data arrived keeps the .part and its validator, and the next
// try asks only for the rest (Range with If-Range: a changed package comes
// whole instead).
bool fetchPackage(const std::string &name, std::string &reason)
{
    CurlPtr curl = newRequest(kPackageDirUri + name);
    if (!curl) {
        reason = "No answer from the server";
        return false;
    }
    Transfer t;
    t.curl = curl.get();
    t.partial = name + ".part";
    t.validatorFile = t.partial + ".validator";
    std::string validator = readSmallFile(t.validatorFile, kMaxValidatorBytes);
    t.resumeFile = openForResume(t.partial, validator, t.offset);

    // Connection: close, and the length checked here rather than by curl:
    // curl would silently drop bytes past Content-Length, and a longer body
    // than announced is a failure of its own.
    std::unique_ptr<curl_slist, SlistDeleter> headers(curl_slist_append(nullptr, "Connection: close"));
    std::string range = std::to_string(t.offset) + "-";
    if (t.resumeFile) {
        headers.reset(curl_slist_append(headers.release(), ("If-Range: " + validator).c_str()));
        curl_easy_setopt(t.curl, CURLOPT_RANGE, range.c_str());
    }
    curl_easy_setopt(t.curl, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(t.curl, CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
    curl_easy_setopt(t.curl, CURLOPT_BUFFERSIZE, kReceiveBuffer);
    curl_easy_setopt(t.curl, CURLOPT_HEADERFUNCTION, packageHeader);
    curl_easy_setopt(t.curl, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(t.curl, CURLOPT_WRITEFUNCTION, writePackage);
    curl_easy_setopt(t.curl, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(t.curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutS);
    curl_easy_setopt(t.curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(t.curl, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
    curl_easy_setopt(t.curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(t.curl, CURLOPT_XFERINFOFUNCTION, watchPackage);
    curl_easy_setopt(t.curl, CURLOPT_XFERINFODATA, &t);
    CURLcode rc = curl_easy_perform(t.curl);

    bool answered = bool(t.file);
    if (t.file && fclose(t.file.release()) != 0 && t.reason.empty() && rc == CURLE_OK)
        t.reason = writeFailure(errno);
    t.resumeFile.reset();
    bool complete = t.announced < 0 || t.received == t.announced;
    if (rc == CURLE_ABORTED_BY_CALLBACK && t.lingered && answered && complete)
        rc = CURLE_OK;  // all announced bytes came; the server only kept the line open
    bool ok = rc == CURLE_OK && t.reason.empty() && complete;
    if (!ok && t.reason.empty()) {
        // Broken on the way: keep what arrived when a validator can vouch for it.
        t.reason = answered ? "Connection lost" : "No answer from the server";
        struct stat st;
        bool keep = lstat(t.partial.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
                    usableValidator(readSmallFile(t.validatorFile, kMaxValidatorBytes));
        if (keep) {  // also when the launcher was closed: the next start goes on
            reason = t.reason;
            return false;
        }
    }
    if (ok && rename(t.partial.c_str(), name.c_str()) != 0) {
        ok = false;
        t.reason = writeFailure(errno);
    }
    if (!ok)
        remove(t.partial.c_str());
    remove(t.validatorFile.c_str());
    reason = t.reason;
    return ok;
}

// The publisher's signature of the package, a few hundred bytes.
bool fetchSignature(const std::string &name, std::string &signature)
{
    CurlPtr curl = newRequest(kPackageDirUri + name + ".minisig");
    if (!curl)
        return false;
    Collected c{std::string(), kMaxSignatureBytes};
    long status = 0;
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, kSignatureTimeoutS);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, collectBody);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &c);
    bool ok = curl_easy_perform(curl.get()) == CURLE_OK &&
              curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status == 200;
    signature = c.body;
    return ok;
}

}  // namespace

// The package, then (when the build has a key) its signature; a package that
// fails the check is deleted at once.
void ThreadDownloadFunc(void *)
{
    // No check has answered in this run (the no-game screen's Retry after a
    // failed check): learn the announced version first, which the signature
    // names and the version file records.
    std::string manifest, changeLog;
    int announced = 0;
    if (!versionAnnounced.load(std::memory_order_relaxed) && fetchManifest(manifest)) {
        parseManifest(manifest, announced, changeLog);
        updatedVantoriqueVersion = announced;
        versionAnnounced.store(true, std::memory_order_relaxed);
    }
    const std::string name = kPackageName;
    std::string reason;
    bool ok = fetchPackage(name, reason);
    if (ok) {
        std::string signature, why;
        if ((!publicKey.empty() && !fetchSignature(name, signature)) ||
            !verifyPackage(name.c_str(), signature, updatedVantoriqueVersion, why)) {
            remove(name.c_str());
            reason = "Signature check failed";
            ok = false;
        }
    }
    downloadFailure = reason;
    downloadSuccess.store(ok, std::memory_order_relaxed);
    downloadComplete.store(true, std::memory_order_release);
}

void ThreadUnzipFunc(void *)
{
    const std::string name = kPackageName;
    std::string reason;
    bool installed = installPackage(name.c_str(), "../", reason);
    fflush(stdout);
    remove(name.c_str());
    unzipFailure = reason;
    unzipSuccess.store(installed, std::memory_order_relaxed);
    unzipComplete.store(true, std::memory_order_release);
}
