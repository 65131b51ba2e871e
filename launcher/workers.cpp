// The three workers: update check, package download, unpack. Each runs once
// per launch on its own thread and reports only through the shared flags,
// its data first and its completion flag last.
#include "install.h"
#include "state.h"
#include "ziputil.h"

#include <curl/curl.h>
#include <stdio.h>

#include <memory>
#include <string>

namespace {

const char kManifestUri[] = "/vantorique/autoupdate/version.txt";
const char kPackageDirUri[] = "/vantorique/autoupdate/";
const long kCheckTimeoutMs = 2000;           // the whole exchange
const size_t kMaxManifestBytes = 1u << 20;   // a manifest is a few lines
const long kConnectTimeoutS = 10;
const long kStallSeconds = 60;               // no byte for this long: give up
const long kReceiveBuffer = 512 * 1024;      // curl's largest: fewer, larger reads and writes

struct CurlDeleter {
    void operator()(CURL *c) const { curl_easy_cleanup(c); }
};
using CurlPtr = std::unique_ptr<CURL, CurlDeleter>;

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

size_t collectManifest(char *data, size_t size, size_t count, void *user)
{
    std::string *body = static_cast<std::string *>(user);
    size_t n = size * count;
    if (body->size() + n > kMaxManifestBytes)
        return 0;  // far too big for a manifest: fail the check
    body->append(data, n);
    return n;
}

struct Download {
    FILE *file;
    bool writeFailed;
};

size_t writePackage(char *data, size_t size, size_t count, void *user)
{
    Download *d = static_cast<Download *>(user);
    size_t n = size * count;
    if (fwrite(data, 1, n, d->file) != n) {
        d->writeFailed = true;
        return 0;
    }
    return n;
}

int abortWhenAsked(void *, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return abortTransfers.load(std::memory_order_relaxed) ? 1 : 0;
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
    long status = 0;
    CurlPtr curl = newRequest(kManifestUri);
    if (curl) {
        curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT_MS, kCheckTimeoutMs);
        curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, collectManifest);
        curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &body);
        if (curl_easy_perform(curl.get()) == CURLE_OK)
            curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
    }
    if (status == 200) {
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

// Streams the package to "<name>.part" and renames it only when the whole
// body arrived and reached the disk, so a failed download never leaves a
// partial package under the real name (and never replaces a good one).
void ThreadDownloadFunc(void *)
{
    const std::string name = kPackageName;
    const std::string partial = name + ".part";
    bool ok = false;
    CurlPtr curl = newRequest(kPackageDirUri + name);
    FILE *file = curl ? fopen(partial.c_str(), "wb") : nullptr;
    if (file) {
        Download d{file, false};
        curl_easy_setopt(curl.get(), CURLOPT_BUFFERSIZE, kReceiveBuffer);
        curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, writePackage);
        curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &d);
        curl_easy_setopt(curl.get(), CURLOPT_CONNECTTIMEOUT, kConnectTimeoutS);
        curl_easy_setopt(curl.get(), CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(curl.get(), CURLOPT_LOW_SPEED_TIME, kStallSeconds);
        curl_easy_setopt(curl.get(), CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(curl.get(), CURLOPT_XFERINFOFUNCTION, abortWhenAsked);
        long status = 0;
        // CURLE_PARTIAL_FILE: fewer bytes than the announced Content-Length.
        bool transferred = curl_easy_perform(curl.get()) == CURLE_OK &&
                           curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status) == CURLE_OK &&
                           status == 200 && !d.writeFailed;
        bool closed = fclose(file) == 0;
        ok = transferred && closed && rename(partial.c_str(), name.c_str()) == 0;
        if (!ok)
            remove(partial.c_str());
    }
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
