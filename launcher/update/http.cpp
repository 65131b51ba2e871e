// libcurl set up the one way the workers use it.
#include "http.h"

#include "log.h"

namespace {

// A small body held in memory, refused past its limit.
struct Collected {
    std::string body;
    size_t limit;
    bool tooLong = false;
};

size_t collectBody(char *data, size_t size, size_t count, void *user)
{
    Collected *c = static_cast<Collected *>(user);
    size_t n = size * count;
    if (c->body.size() + n > c->limit) {
        c->tooLong = true;
        return 0;  // far too big for what it should be: fail
    }
    c->body.append(data, n);
    return n;
}

int abortWhenAsked(void *server, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return stopAsked(*static_cast<const UpdateServer *>(server)) ? 1 : 0;
}

}  // namespace

// libcurl takes http_proxy/no_proxy from the environment: players behind a
// proxy need that, so no proxy option is set here.
bool stopAsked(const UpdateServer &server)
{
    return server.stop && server.stop->load(std::memory_order_relaxed);
}

CurlPtr newRequest(const UpdateServer &server, const std::string &uri)
{
    static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    if (!initialised)
        return nullptr;
    CurlPtr curl(curl_easy_init());
    if (!curl)
        return nullptr;
    std::string url = "http://" + server.host + ":" + std::to_string(server.port) + uri;
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);  // timeouts without signals: we are a thread
    curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(curl.get(), CURLOPT_FOLLOWLOCATION, 0L);
    // Asks for no compression, and makes curl decode one that comes anyway:
    // signatures and lengths are of the bytes the publisher wrote.
    curl_easy_setopt(curl.get(), CURLOPT_ACCEPT_ENCODING, "identity");
    return curl;
}

void stopWhenAsked(CURL *curl, const UpdateServer &server)
{
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, abortWhenAsked);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &server);
}

std::string headerValue(CURL *curl, const char *name)
{
    curl_header *h = nullptr;
    if (curl_easy_header(curl, name, 0, CURLH_HEADER, -1, &h) != CURLHE_OK || !h || !h->value)
        return "";
    return h->value;
}

bool answerIsEncoded(CURL *curl)
{
    const std::string encoding = headerValue(curl, "Content-Encoding");
    return !encoding.empty() && encoding != "identity";
}

void logAnswer(CURL *curl, CURLcode rc, long long bytes, const std::string &why)
{
    const char *url = nullptr;
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &url);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    const std::string encoding = answerIsEncoded(curl) ? ", decoded from " + headerValue(curl, "Content-Encoding") : "";
    const std::string answer = status ? "HTTP " + std::to_string(status) : "no answer";
    if (rc == CURLE_OK && why.empty())
        logLine("GET %s: %s, %lld bytes received%s", url ? url : "?", answer.c_str(), bytes, encoding.c_str());
    else
        logLine("GET %s: %s, %lld bytes received%s; failed: %s", url ? url : "?", answer.c_str(), bytes,
                encoding.c_str(), why.empty() ? curl_easy_strerror(rc) : why.c_str());
}

bool fetchSmall(const UpdateServer &server, const std::string &uri, size_t limit, long timeoutMs, std::string &body,
                long *status, bool *tooLong)
{
    Collected collected{std::string(), limit};
    long answered = 0;
    bool whole = false;
    CurlPtr curl = newRequest(server, uri);
    if (curl) {
        curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT_MS, timeoutMs);
        curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, collectBody);
        curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &collected);
        stopWhenAsked(curl.get(), server);
        CURLcode rc = curl_easy_perform(curl.get());
        whole = rc == CURLE_OK;
        curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &answered);
        std::string why = collected.tooLong ? "longer than " + std::to_string(limit) + " bytes"
                          : whole && answered != 200 ? "not the answer asked for (200)"
                                                     : "";
        logAnswer(curl.get(), rc, (long long)collected.body.size(), why);
    } else {
        logLine("GET %s: curl did not start", uri.c_str());
    }
    body = std::move(collected.body);
    if (status)
        *status = answered;
    if (tooLong)
        *tooLong = collected.tooLong;
    return whole && answered == 200;
}
