// Parts of one file fetched by HTTP Range into a sparse copy: one libcurl
// multi handle on the caller's thread, a few requests in flight, each body
// written at its span's offset as it arrives.
#include "spans.h"

#include "fsutil.h"
#include "log.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace {

// As the package's own transfer has them.
const long kConnectTimeoutS = 10;
const long kStallSeconds = 60;           // no byte for this long: give up
const long kReceiveBuffer = 512 * 1024;  // curl's largest: fewer, larger reads and writes
const int kPollMs = 50;                  // how soon a stop is seen while the line is quiet
const int kMostInFlight = 16;

struct Fetch {
    const UpdateServer *server = nullptr;
    DownloadProgress *progress = nullptr;
    call_context *ctx = nullptr;
    std::string name;
    unsigned long long fileSize = 0;
    int fd = -1;
    long long done = 0;
    std::chrono::steady_clock::time_point started;
};

// One request: one span, asked as "bytes=first-last".
struct Part {
    Fetch *fetch = nullptr;
    ByteSpan span;
    std::string asked;  // "first-last", as CURLOPT_RANGE takes it
    CurlPtr curl;
    unsigned long long received = 0;
    bool accepted = false;  // a 206 of exactly this span: its body goes to the file
    bool ended = false;
};

struct MultiDeleter {
    void operator()(CURLM *m) const { curl_multi_cleanup(m); }
};

std::string expectedRange(const Part &p)
{
    return "bytes " + p.asked + "/" + std::to_string(p.fetch->fileSize);
}

long long parseLength(const std::string &text)
{
    char *end = nullptr;
    long long n = text.empty() || text[0] == '-' ? -1 : strtoll(text.c_str(), &end, 10);
    return n >= 0 && end && *end == '\0' ? n : -1;
}

// The answer's head is in: a 206 of exactly the span asked, or a refusal
// that says what the server did instead.
bool acceptPart(Part &p)
{
    call_context *ctx = p.fetch->ctx;
    long status = 0;
    curl_easy_getinfo(p.curl.get(), CURLINFO_RESPONSE_CODE, &status);
    if (status == 200)
        return context_fail(ctx, FAILURE_NO_RANGES, "the server ignores Range (200 with the whole file)");
    if (status == 416 || status == 501)
        return context_fail(ctx, FAILURE_NO_RANGES, "HTTP " + std::to_string(status) + " to a range");
    if (status == 404)
        return context_fail(ctx, FAILURE_NOT_ON_SERVER, "HTTP 404");
    if (status != 206)
        return context_fail(ctx, FAILURE_SERVER_REFUSED, "HTTP " + std::to_string(status) + " to a range");
    // Ranges of a compressed answer count compressed bytes: not ours.
    if (answerIsEncoded(p.curl.get()))
        return context_fail(ctx, FAILURE_NO_RANGES,
                            "a range sent compressed (" + headerValue(p.curl.get(), "Content-Encoding") + ")");
    const std::string type = headerValue(p.curl.get(), "Content-Type");
    if (strncasecmp(type.c_str(), "multipart/", 10) == 0)
        return context_fail(ctx, FAILURE_NO_RANGES, "a multipart answer (" + type + ") to one range");
    const std::string range = headerValue(p.curl.get(), "Content-Range"), expected = expectedRange(p);
    if (range != expected)
        return context_fail(ctx, FAILURE_NO_RANGES,
                            range.empty() ? "HTTP 206 without Content-Range for " + expected
                                          : "Content-Range '" + range + "' where " + expected + " was asked");
    const std::string lengthText = headerValue(p.curl.get(), "Content-Length");
    const long long length = parseLength(lengthText);
    if (!lengthText.empty() && (length < 0 || (unsigned long long)length != p.span.length))
        return context_fail(ctx, FAILURE_SERVER_REFUSED,
                            "Content-Length " + lengthText + " for " + expected + " (" +
                                std::to_string(p.span.length) + " bytes)");
    p.accepted = true;
    return true;
}

size_t partHeader(char *data, size_t size, size_t count, void *user)
{
    Part *p = static_cast<Part *>(user);
    size_t n = size * count;
    long status = 0;
    curl_easy_getinfo(p->curl.get(), CURLINFO_RESPONSE_CODE, &status);
    bool headEnded = (n == 2 && data[0] == '\r' && data[1] == '\n') || (n == 1 && data[0] == '\n');
    if (headEnded && status >= 200 && !p->accepted && !acceptPart(*p))
        return 0;  // refused: curl ends this transfer before its body
    return n;
}

// Never past the span: a longer body is a wrong answer, not more data.
size_t writePart(char *data, size_t size, size_t count, void *user)
{
    Part *p = static_cast<Part *>(user);
    Fetch &f = *p->fetch;
    size_t n = size * count;
    if (!p->accepted)
        return 0;
    if (n > p->span.length - p->received) {
        context_fail(f.ctx, FAILURE_SERVER_REFUSED,
                     "more than the " + std::to_string(p->span.length) + " bytes of " + expectedRange(*p));
        return 0;
    }
    if (!write_full(f.fd, data, n, int64_t(p->span.offset + p->received))) {
        context_fail_errno(f.ctx, FAILURE_CANNOT_WRITE, f.name, errno);
        return 0;
    }
    p->received += n;
    f.done += (long long)n;
    f.progress->done.store(f.done, std::memory_order_relaxed);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - f.started).count();
    if (seconds > 0.2)
        f.progress->perSecond.store((long long)(double(f.done) / seconds), std::memory_order_relaxed);
    return n;
}

bool prepare(Part &p, const std::string &uri)
{
    p.curl = newRequest(*p.fetch->server, uri);
    if (!p.curl)
        return context_fail(p.fetch->ctx, FAILURE_NO_ANSWER, "curl did not start");
    CURL *c = p.curl.get();
    p.asked = std::to_string(p.span.offset) + "-" + std::to_string(p.span.offset + p.span.length - 1);
    curl_easy_setopt(c, CURLOPT_RANGE, p.asked.c_str());
    curl_easy_setopt(c, CURLOPT_BUFFERSIZE, kReceiveBuffer);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, partHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &p);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, writePart);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &p);
    curl_easy_setopt(c, CURLOPT_PRIVATE, &p);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutS);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
    return true;
}

// A request that curl finished: whole, or the first failure recorded, and
// one line in the support log either way.
void finish(Part &p, CURLcode rc)
{
    Fetch &f = *p.fetch;
    p.ended = true;
    const bool whole = rc == CURLE_OK && p.accepted && p.received == p.span.length;
    if (!whole)
        context_fail(f.ctx, FAILURE_NO_ANSWER,
                     stopAsked(*f.server) ? "stopped: the launcher is ending"
                     : p.accepted ? "the line broke after " + std::to_string(p.received) + " of the " +
                                        std::to_string(p.span.length) + " bytes of " + expectedRange(p)
                                  : std::string(curl_easy_strerror(rc)));
    const int failure = context_failure(f.ctx);
    logAnswer(p.curl.get(), whole ? CURLE_OK : rc, (long long)p.received,
              whole ? "" : std::string(failure_name(failure)) + ": " + context_line(f.ctx));
}

// Runs every part, at most `inFlight` at once; false at the first failure
// (the others are given up and logged so).
bool runParts(std::vector<Part> &parts, const std::string &uri, int inFlight, call_context *ctx)
{
    const UpdateServer &server = *parts[0].fetch->server;
    if (!prepare(parts[0], uri))  // before the multi handle: curl is set up by the first request
        return false;
    std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
    if (!multi)
        return context_fail(ctx, FAILURE_NO_ANSWER, "curl did not start");
    curl_multi_setopt(multi.get(), CURLMOPT_MAX_HOST_CONNECTIONS, long(inFlight));
    size_t next = 0;
    int active = 0;
    while (context_failure(ctx) == FAILURE_NONE) {
        for (; active < inFlight && next < parts.size(); next++, active++) {
            if (!parts[next].curl && !prepare(parts[next], uri))
                break;
            curl_multi_add_handle(multi.get(), parts[next].curl.get());
        }
        if (active == 0 || context_failure(ctx) != FAILURE_NONE)
            break;
        int running = 0;
        if (curl_multi_perform(multi.get(), &running) != CURLM_OK)
            context_fail(ctx, FAILURE_NO_ANSWER, "curl's transfers failed");
        int left = 0;
        while (CURLMsg *msg = curl_multi_info_read(multi.get(), &left)) {
            if (msg->msg != CURLMSG_DONE)
                continue;
            Part *p = nullptr;
            curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &p);
            const CURLcode rc = msg->data.result;
            curl_multi_remove_handle(multi.get(), msg->easy_handle);
            finish(*p, rc);
            p->curl.reset();  // its connection stays with the multi handle for the next part
            active--;
        }
        if (stopAsked(server))
            context_fail(ctx, FAILURE_NO_ANSWER, "stopped: the launcher is ending");
        else if (running > 0 && context_failure(ctx) == FAILURE_NONE)
            curl_multi_poll(multi.get(), nullptr, 0, kPollMs, nullptr);
    }
    for (Part &p : parts)
        if (p.curl && !p.ended && (&p - &parts[0]) < (long)next) {
            curl_multi_remove_handle(multi.get(), p.curl.get());
            logAnswer(p.curl.get(), CURLE_ABORTED_BY_CALLBACK, (long long)p.received,
                      std::string("given up: ") + failure_name(context_failure(ctx)) + ": " + context_line(ctx));
            p.curl.reset();
        }
    return context_failure(ctx) == FAILURE_NONE;
}

bool fetchInto(const UpdateServer &server, const std::string &uri, unsigned long long fileSize,
               const std::vector<ByteSpan> &spans, int inFlight, const std::string &name, DownloadProgress &progress,
               call_context *ctx)
{
    if (fileSize > (unsigned long long)INT64_MAX)
        return context_fail(ctx, FAILURE_DAMAGED, uri + ": a file of " + std::to_string(fileSize) + " bytes");
    Fetch f;
    f.server = &server, f.progress = &progress, f.ctx = ctx, f.name = name, f.fileSize = fileSize;
    std::vector<Part> parts;
    unsigned long long total = 0;
    for (const ByteSpan &s : spans) {
        if (s.length == 0)
            continue;
        if (s.offset >= fileSize || s.length > fileSize - s.offset)
            return context_fail(ctx, FAILURE_DAMAGED,
                                uri + ": bytes from " + std::to_string(s.offset) + ", " + std::to_string(s.length) +
                                    " of them, asked of a file of " + std::to_string(fileSize) + " bytes");
        parts.emplace_back();
        parts.back().fetch = &f, parts.back().span = s;
        total += s.length;
    }
    progress.done.store(0, std::memory_order_relaxed);
    progress.total.store((long long)total, std::memory_order_relaxed);
    progress.perSecond.store(0, std::memory_order_relaxed);
    const size_t slash = name.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
    const unsigned long long room = free_bytes(folder);
    if (total > room)
        return context_fail(ctx, FAILURE_NO_SPACE,
                            name + ": " + std::to_string(total) + " bytes to come, " + std::to_string(room) + " free");
    FilePtr file(create_fresh(name.c_str()));
    if (!file)
        return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, name, errno);
    f.fd = fileno(file.get());
    f.started = std::chrono::steady_clock::now();
    // Holes stay holes: only the spans take room on the disk.
    if (ftruncate(f.fd, off_t(fileSize)) != 0)
        return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, name, errno);
    const int most = std::max(1, std::min(inFlight, kMostInFlight));
    if (!parts.empty()) {
        logLine("Fetching %zu parts (%llu bytes) of %s (%llu bytes), at most %d at once", parts.size(), total,
                uri.c_str(), fileSize, most);
        if (!runParts(parts, uri, most, ctx))
            return false;
    }
    if (fclose(file.release()) != 0)
        return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, name, errno);
    return true;
}

}  // namespace

std::vector<ByteSpan> joinSpans(std::vector<ByteSpan> spans, unsigned long long gap)
{
    spans.erase(std::remove_if(spans.begin(), spans.end(), [](const ByteSpan &s) { return s.length == 0; }),
                spans.end());
    for (ByteSpan &s : spans)  // an end past 2^64 is cut there: no wrap
        s.length = std::min(s.length, ~0ULL - s.offset);
    std::sort(spans.begin(), spans.end(), [](const ByteSpan &a, const ByteSpan &b) { return a.offset < b.offset; });
    std::vector<ByteSpan> joined;
    for (const ByteSpan &s : spans) {
        if (!joined.empty()) {
            ByteSpan &last = joined.back();
            const unsigned long long end = last.offset + last.length;
            if (s.offset <= end || s.offset - end < gap) {
                last.length = std::max(end, s.offset + s.length) - last.offset;
                continue;
            }
        }
        joined.push_back(s);
    }
    return joined;
}

// Every failure, from a refused span to the last close, ends with no file at `name`.
bool fetchSpans(const UpdateServer &server, const std::string &uri, unsigned long long fileSize,
                const std::vector<ByteSpan> &spans, int inFlight, const std::string &name, DownloadProgress &progress,
                call_context *ctx)
{
    if (fetchInto(server, uri, fileSize, spans, inFlight, name, progress, ctx))
        return true;
    struct stat st;
    if (lstat(name.c_str(), &st) == 0 && unlink(name.c_str()) == 0)
        logLine("Removed %s: %s", name.c_str(), context_line(ctx).c_str());
    return false;
}
