// Requests to the update server over libcurl, for the workers.
#ifndef VANTORIQUE_HTTP_H
#define VANTORIQUE_HTTP_H

#include <curl/curl.h>

#include <memory>
#include <string>

struct CurlDeleter {
    void operator()(CURL *c) const { curl_easy_cleanup(c); }
};
using CurlPtr = std::unique_ptr<CURL, CurlDeleter>;

// A request for `uri` on the update server (updateHost:updatePort), plain
// HTTP, no redirects; null when curl cannot start.
CurlPtr newRequest(const std::string &uri);

// Makes the request give up as soon as the launcher ends (abortTransfers).
void stopWhenLauncherEnds(CURL *curl);

// A header of the answer received so far; empty when missing.
std::string headerValue(CURL *curl, const char *name);

// A small body (at most `limit` bytes) within `timeoutMs`; false unless the
// answer came whole with status 200. Gives up when the launcher ends.
// `status`, when given, gets the answer's status (0: none came).
bool fetchSmall(const std::string &uri, size_t limit, long timeoutMs, std::string &body, long *status = nullptr);

#endif
