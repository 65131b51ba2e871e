// The files an update lacks, fetched as their entries' bytes from the
// release's own package. The package's folder on the server is never
// rewritten, so its index's offsets hold for every request; each file is
// checked against the signed index when it is staged, not here.
#include "fetch_files.h"

#include "fsutil.h"
#include "install.h"
#include "log.h"
#include "server_layout.h"
#include "spans.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Past half the package, the ranges' own costs (a request each, a server
// or CDN that counts ranges against the whole file, a fall back after a
// refusal mid-way) outweigh what they save: the package is one request,
// resumable, and stages by links just the same.
const unsigned long long kMostOfThePackagePercent = 50;
const int kInFlight = 3;                           // a few requests at once, as a browser does
const unsigned long long kJoinGap = 16u << 10;      // a request costs more than a few KB between entries

// Room in the folder of `path` (the launcher's or the game's).
bool roomFor(const std::string &folder, unsigned long long bytes, call_context *ctx)
{
    const unsigned long long available = free_bytes(folder);
    if (available >= bytes)
        return true;
    logLine("Disk full: the update needs %llu bytes in %s, %llu are free", bytes, folder.c_str(), available);
    return context_fail(ctx, FAILURE_NO_SPACE,
                        "the update needs " + std::to_string(bytes) + " bytes in " + folder + ", " +
                            std::to_string(available) + " are free");
}

// Both folders asked at once when they share a file system.
bool roomForBoth(const std::string &gameParent, unsigned long long install, unsigned long long spans,
                 call_context *ctx)
{
    struct stat game, here;
    if (stat(gameParent.c_str(), &game) == 0 && stat(".", &here) == 0 && game.st_dev == here.st_dev)
        return roomFor(gameParent, install + spans, ctx);
    return roomFor(gameParent, install, ctx) && roomFor(".", spans, ctx);
}

// Nothing to fetch: a sparse copy of the right length holds no entry, and
// the install links everything.
bool holeOnly(const std::string &name, unsigned long long size, call_context *ctx)
{
    unlink(name.c_str());
    Fd fd(open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (fd.fd < 0 || ftruncate(fd.fd, off_t(size)) != 0)
        return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, name, errno);
    return true;
}

}  // namespace

unsigned long long planNeeds(const update_plan &plan)
{
    return roomForWrites(plan.write_bytes);
}

bool planUpdate(const std::string &installedGame, const std::string &indexName, const std::string &deltaName,
                update_plan &plan)
{
    call_context got;
    if (update_plan_make(installedGame.c_str(), indexName.c_str(), deltaName.empty() ? nullptr : deltaName.c_str(),
                         &plan, &got) == 1)
        return true;
    logLine("No plan of the update (%s: %s): fetching as without an index", failure_name(context_failure(&got)),
            context_line(&got).c_str());
    return false;
}

FilesOutcome fetchPlannedFiles(const UpdateServer &server, int version, unsigned long long packageSize,
                               const update_plan &plan, const std::string &spansName, const std::string &gameParent,
                               DownloadProgress &progress, call_context *ctx)
{
    const unsigned long long share = packageSize ? plan.fetch_bytes * 100 / packageSize : 100;
    if (!plan.spans.empty() && plan.fetch_bytes * 100 > packageSize * kMostOfThePackagePercent) {
        logLine("The %zu file%s to fetch come%s to %llu%% of the package: fetching the package", plan.fetched.size(),
                plan.fetched.size() == 1 ? "" : "s", plan.fetched.size() == 1 ? "s" : "", share);
        return kFilesWholePackage;
    }
    if (!roomForBoth(gameParent, planNeeds(plan), plan.fetch_bytes, ctx))
        return kFilesFailed;
    if (plan.spans.empty())
        return holeOnly(spansName, packageSize, ctx) ? kFilesFetched : kFilesFailed;
    std::vector<ByteSpan> spans;
    for (const update_plan::span &s : plan.spans)
        spans.push_back({s.offset, s.length});
    spans = joinSpans(spans, kJoinGap);
    unsigned long long bytes = 0;
    for (const ByteSpan &s : spans)
        bytes += s.length;
    startProgress(progress, kFetchingFiles);
    progress.files.store((long long)plan.fetched.size(), std::memory_order_relaxed);
    logLine("Fetching %zu file%s: %llu bytes in %zu part%s of the package", plan.fetched.size(),
            plan.fetched.size() == 1 ? "" : "s", bytes, spans.size(),
            spans.size() == 1 ? "" : "s");
    call_context got;
    const std::string uri = releaseFolderUri(version) + kPackageFile;
    if (fetchSpans(server, uri, packageSize, spans, kInFlight, spansName, progress, &got))
        return kFilesFetched;
    if (context_failure(&got) == FAILURE_NO_RANGES) {
        logLine("No parts of the package: %s; fetching the package", context_line(&got).c_str());
        return kFilesWholePackage;
    }
    unlink(spansName.c_str());
    context_fail(ctx, context_failure(&got), context_line(&got));
    return kFilesFailed;
}
