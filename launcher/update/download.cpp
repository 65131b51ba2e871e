// An update's transfer (the package or a delta): written to "<name>.part" as
// it arrives, renamed to its name only when the whole body is on disk.
#include "download.h"

#include "fsutil.h"
#include "replace.h"
#include "http.h"
#include "log.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

namespace {

const size_t kMaxValidatorBytes = 512;
const long kConnectTimeoutS = 10;
const long kStallSeconds = 60;               // no byte for this long: give up
const double kLingerSeconds = 2;             // a whole body, and the server still has not closed
const long kReceiveBuffer = 512 * 1024;      // curl's largest: fewer, larger reads and writes

// One answer for the package, written to "<name>.part" as it arrives. The
// .part is renamed to the package only when the whole body is on disk.
struct Transfer {
    CURL *curl;
    const UpdateServer *server;
    DownloadProgress *progress;
    std::string uri;              // what is asked
    std::string partial;          // "<name>.part"
    std::string validatorFile;    // "<name>.part.validator": the .part's URI, then its ETag or Last-Modified
    std::string partialUri;       // the URI the kept .part came from; empty when none vouches for it
    FilePtr resumeFile;           // the kept .part, opened for append, when resuming
    long long offset = 0;         // its size: the Range asked from there
    FilePtr file;                 // where this answer's body goes
    long long announced = -1;     // this answer's Content-Length (-1 when unknown or compressed)
    long long encodedLength = -1; // a compressed answer's Content-Length: bytes before decoding
    long long received = 0;       // body bytes of this answer
    long status = 0;              // this answer's HTTP status, 0 before one came
    call_context *ctx;            // the failure, recorded where it happens
    bool accepted = false;        // this answer's body goes to the .part
    std::chrono::steady_clock::time_point started;
    std::chrono::steady_clock::time_point whole;  // when the announced length was reached
    bool lingered = false;        // we hung up on a server that kept the line open after the body
};

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

// Only a file that is ours alone is appended to: a hard link to a file
// elsewhere, or a file of another user, is someone else's file too.
bool ownPlainFile(const struct stat &st)
{
    return S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == geteuid();
}

// The .part of an earlier try, for append, if it is a non-empty regular file
// of ours alone (never a link, a FIFO or a device) that a usable validator
// vouches for. Otherwise the download starts afresh.
FilePtr openForResume(const std::string &partial, const std::string &validator, long long &size)
{
    struct stat before, after;
    if (!usableValidator(validator) || lstat(partial.c_str(), &before) != 0 || !ownPlainFile(before) ||
        before.st_size <= 0)
        return nullptr;
    Fd fd(open(partial.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.fd < 0 || fstat(fd.fd, &after) != 0 || !ownPlainFile(after) || after.st_ino != before.st_ino ||
        after.st_dev != before.st_dev)
        return nullptr;
    size = after.st_size;
    return file_from_fd(fd.release(), "ab");
}

// The URI and validator a kept .part was fetched with; false when the file
// is missing or not of that form.
bool readValidator(const std::string &validatorFile, std::string &uri, std::string &validator)
{
    std::string text;
    uri.clear(), validator.clear();
    if (!read_small_file(validatorFile, kMaxValidatorBytes * 3, text))
        return false;
    const size_t newline = text.find('\n');
    if (newline == std::string::npos || newline == 0)
        return false;
    uri = text.substr(0, newline);
    validator = text.substr(newline + 1);
    return usableValidator(validator);
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

// The answer's head is in: take it (and say where its body goes) or refuse it.
bool acceptAnswer(Transfer &t)
{
    long &status = t.status;
    curl_easy_getinfo(t.curl, CURLINFO_RESPONSE_CODE, &status);
    // A compressed answer counts its length and range in compressed bytes:
    // its length is unknown here, and it never goes on from a .part.
    const bool encoded = answerIsEncoded(t.curl);
    bool resumed = status == 206 && t.resumeFile && contentRangeStart(t.curl) == t.offset && !encoded;
    if (status != 200 && !resumed)
        return context_fail(t.ctx, status == 404 ? FAILURE_NOT_ON_SERVER : FAILURE_SERVER_REFUSED,
                            status == 206 ? "HTTP 206 for a part that was not asked for"
                                          : "HTTP " + std::to_string(status));
    const long long length = parseLength(headerValue(t.curl, "Content-Length"));
    t.announced = encoded ? -1 : length;
    t.encodedLength = encoded ? length : -1;
    if (t.announced >= 0 && (unsigned long long)t.announced > free_bytes("."))
        return context_fail(t.ctx, FAILURE_NO_SPACE,
                            t.partial + ": " + std::to_string(t.announced) + " bytes to come, " +
                                std::to_string(free_bytes(".")) + " free");
    if (resumed) {
        t.file = std::move(t.resumeFile);
    } else {  // the whole package: start over, with this answer's validator
        t.resumeFile.reset();
        t.offset = 0;
        t.file.reset(create_fresh(t.partial.c_str()));
        if (!t.file)
            return context_fail_errno(t.ctx, FAILURE_CANNOT_WRITE, t.partial, errno);
        remove(t.validatorFile.c_str());
        t.partialUri.clear();
        std::string validator = encoded ? "" : validatorOf(t.curl);
        const std::string record = t.uri + "\n" + validator;
        if (!validator.empty() && !replace_file(t.validatorFile, record.data(), record.size(), 0644, DURABLE_NONE))
            remove(t.validatorFile.c_str());
    }
    t.accepted = true;
    t.started = std::chrono::steady_clock::now();
    t.progress->done.store(t.offset, std::memory_order_relaxed);
    t.progress->total.store(t.announced >= 0 ? t.offset + t.announced : -1, std::memory_order_relaxed);
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
        context_fail(t->ctx, FAILURE_SERVER_REFUSED,
                     "more than the " + std::to_string(t->announced) + " bytes announced");
        return 0;
    }
    if (fwrite(data, 1, n, t->file.get()) != n) {
        context_fail_errno(t->ctx, FAILURE_CANNOT_WRITE, t->partial, errno);
        return 0;
    }
    t->received += (long long)n;
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t->started).count();
    t->progress->done.store(t->offset + t->received, std::memory_order_relaxed);
    if (seconds > 0.2)
        t->progress->perSecond.store((long long)(double(t->received) / seconds), std::memory_order_relaxed);
    return n;
}

// We asked for Connection: close to see bytes past the announced length; a
// server that keeps the line open anyway gets a short grace, not the stall limit.
int watchPackage(void *user, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    Transfer *t = static_cast<Transfer *>(user);
    if (stopAsked(*t->server))
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

// Records how the transfer ended: nothing when the whole file came, else
// the first failure, which is FAILURE_NO_ANSWER when no one refused it (no
// answer, the line broke, the caller stopped it).
void recordEnding(Transfer &t, CURLcode rc)
{
    const bool answered = t.accepted;
    if (t.file && fclose(t.file.release()) != 0 && rc == CURLE_OK)
        context_fail_errno(t.ctx, FAILURE_CANNOT_WRITE, t.partial, errno);
    t.resumeFile.reset();
    curl_off_t wireBytes = 0;  // as they came, before any decoding
    curl_easy_getinfo(t.curl, CURLINFO_SIZE_DOWNLOAD_T, &wireBytes);
    const bool complete = (t.announced < 0 || t.received == t.announced) &&
                          (t.encodedLength < 0 || wireBytes == t.encodedLength);
    if (rc == CURLE_ABORTED_BY_CALLBACK && t.lingered && answered && complete)
        rc = CURLE_OK;  // all announced bytes came; the server only kept the line open
    if (rc == CURLE_OK && complete)
        return;
    context_fail(t.ctx, FAILURE_NO_ANSWER,
                 stopAsked(*t.server) ? "stopped: the launcher is ending"
                 : answered           ? "the line broke after " + std::to_string(t.received) + " bytes"
                                      : curl_easy_strerror(rc));
}

// Whether a .part is there that a validator vouches for: the next try goes on from it.
bool partialVouched(const Transfer &t)
{
    struct stat st;
    std::string uri, validator;
    return lstat(t.partial.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
           readValidator(t.validatorFile, uri, validator);
}

}  // namespace

// A resumed transfer asks with Range and If-Range: a changed file comes
// whole instead.
bool fetchFile(const UpdateServer &server, const std::string &uri, const std::string &name, DownloadProgress &progress,
               call_context *ctx)
{
    CurlPtr curl = newRequest(server, uri);
    if (!curl)
        return context_fail(ctx, FAILURE_NO_ANSWER, "curl did not start");
    Transfer t;
    t.ctx = ctx;
    t.curl = curl.get();
    t.server = &server;
    t.progress = &progress;
    t.uri = uri;
    t.partial = name + ".part";
    t.validatorFile = t.partial + ".validator";
    std::string validator;
    if (readValidator(t.validatorFile, t.partialUri, validator) && t.partialUri == uri)
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
    if (t.resumeFile)
        logLine("Resuming %s from byte %lld (If-Range: %s)", t.partial.c_str(), t.offset, validator.c_str());
    CURLcode rc = curl_easy_perform(t.curl);
    recordEnding(t, rc);
    const int failure = context_failure(ctx);
    logAnswer(t.curl, failure ? rc : CURLE_OK, t.received,
              failure ? std::string(failure_name(failure)) + ": " + context_line(ctx) : "");
    // What becomes of the .part follows from how the transfer ended.
    if (failure == FAILURE_NONE) {
        // No sync: a package a power cut damaged is removed at the next start.
        if (!commit_rename(-1, t.partial, name, DURABLE_NONE))
            context_fail_errno(ctx, FAILURE_CANNOT_WRITE, name, errno);
    } else if (failure == FAILURE_NO_ANSWER && partialVouched(t)) {
        // Also when the launcher was closed: the next start goes on.
        logLine("Kept %s (%lld bytes) to go on from at the next try", t.partial.c_str(), t.offset + t.received);
        return false;
    } else if (!t.accepted && !t.partialUri.empty() && t.partialUri != uri) {
        // Refused before a byte of this answer was written: the .part is another URI's.
        logLine("Kept %s for %s", t.partial.c_str(), t.partialUri.c_str());
        return false;
    }
    remove(t.partial.c_str());
    remove(t.validatorFile.c_str());
    return context_failure(ctx) == FAILURE_NONE;
}

void startProgress(DownloadProgress &progress, Fetching what)
{
    progress.done.store(0, std::memory_order_relaxed);
    progress.total.store(-1, std::memory_order_relaxed);
    progress.perSecond.store(0, std::memory_order_relaxed);
    progress.fetching.store(what, std::memory_order_relaxed);
}

void discardDownload(const std::string &name, const char *why)
{
    struct stat st;
    if (lstat(name.c_str(), &st) == 0 && unlink(name.c_str()) == 0)
        logLine("Removed %s: %s", name.c_str(), why);
}
