// Requests to the update server over libcurl, for the workers.
#ifndef VANTORIQUE_HTTP_H
#define VANTORIQUE_HTTP_H

#include <curl/curl.h>

#include <atomic>
#include <memory>
#include <string>

// Where requests go, and when they give up: given by the caller (the
// launcher's build settings; a loopback server in tests).
struct UpdateServer {
    std::string host;
    int port = 80;
    const std::atomic<bool> *stop = nullptr;  // once true, every transfer gives up at once
};

// Whether `server`'s caller asked every transfer to stop.
bool stopAsked(const UpdateServer &server);

struct CurlDeleter {
    void operator()(CURL *c) const { curl_easy_cleanup(c); }
};
using CurlPtr = std::unique_ptr<CURL, CurlDeleter>;

// A request for `uri` on `server`, plain
// HTTP, no redirects, asking for the bytes as they are (no compression); a
// compressed answer (a CDN or proxy may send one anyway) is decoded before
// the body reaches the request's writer. Null when curl cannot start.
CurlPtr newRequest(const UpdateServer &server, const std::string &uri);

// Makes the request give up as soon as `server`'s caller asks it to stop.
void stopWhenAsked(CURL *curl, const UpdateServer &server);

// A header of the answer received so far; empty when missing.
std::string headerValue(CURL *curl, const char *name);

// Whether the answer's body came compressed: its Content-Length and ranges
// count the compressed bytes, not the ones the writer receives.
bool answerIsEncoded(CURL *curl);

// One line in the support log for a finished request: the URL asked, and the
// status and bytes received, or why no answer came (curl's words, or `why`).
void logAnswer(CURL *curl, CURLcode rc, long long bytes, const std::string &why);

// A small body (at most `limit` bytes) within `timeoutMs`; false unless the
// answer came whole with status 200. Gives up when asked to stop. Logged.
// `status`, when given, gets the answer's status (0: none came);
// `tooLong`, whether the body went past `limit`.
bool fetchSmall(const UpdateServer &server, const std::string &uri, size_t limit, long timeoutMs, std::string &body,
                long *status = nullptr, bool *tooLong = nullptr);

#endif
