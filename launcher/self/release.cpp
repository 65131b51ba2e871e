// A launcher release from the server into "app/N/". Until the choice names
// it, a kill leaves the launcher that ran as the one that starts; the folder
// it leaves is removed at the next start.
#include "release.h"

#include "choice.h"
#include "download.h"
#include "durable.h"
#include "fsutil.h"
#include "log.h"
#include "manifest.h"
#include "server_layout.h"
#include "signature.h"
#include "trees.h"
#include "ziputil.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#ifdef __APPLE__
#include <ftw.h>
#include <sys/xattr.h>
#endif

const char *const kLauncherDownload = "launcher.zip";
const char *const kCarriedKeyFile = "publisher.pub";
void (*selfStepHook)(const char *step) = nullptr;

namespace {

const size_t kMaxSignatureBytes = 4096;  // a minisign signature is a few hundred
const long kSignatureTimeoutMs = 30 * 1000;
const size_t kMaxKeyFileBytes = 4096;

void step(const char *name)
{
    if (selfStepHook)
        selfStepHook(name);
}

// The value of the token `name` ("launcher:") in a trusted comment; false
// when it is missing or given twice with different values.
bool commentToken(const std::string &comment, const char *name, std::string &value)
{
    std::istringstream in(comment);
    std::string token;
    value.clear();
    bool found = false;
    while (in >> token) {
        if (token.compare(0, strlen(name), name) != 0)
            continue;
        if (found && token.substr(strlen(name)) != value)
            return false;
        value = token.substr(strlen(name));
        found = true;
    }
    return found;
}

int releaseNumber(const std::string &digits)
{
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    return atoi(digits.c_str());
}

// Why a release's trusted comment does not name `file` and release `release`.
const char *releaseCommentFault(const std::string &comment, const std::string &file, int release)
{
    std::string value;
    if (!commentToken(comment, kCommentFile, value) || value != file)
        return "it was made for another file";
    if (!commentToken(comment, kCommentLauncher, value) || releaseNumber(value) != release)
        return "it was made for another launcher release";
    return nullptr;
}

#ifdef __APPLE__
// A release whose signature held is the launcher's own: a quarantine mark
// it carried would make the system ask the player before it starts.
int dropQuarantine(const char *path, const struct stat *, int, struct FTW *)
{
    removexattr(path, "com.apple.quarantine", XATTR_NOFOLLOW);
    return 0;
}
#endif

bool refuse(call_context *ctx, int kind, const std::string &line)
{
    logLine("Launcher release refused: %s", line.c_str());
    return context_fail(ctx, kind, line);
}

// The key line of a carried .pub file (its last line that is not empty).
bool carriedKey(const std::string &path, std::string &key, call_context *ctx)
{
    struct stat st;
    key.clear();
    if (lstat(path.c_str(), &st) != 0)
        return true;
    std::string text;
    if (!S_ISREG(st.st_mode) || !read_small_file(path, kMaxKeyFileBytes, text))
        return refuse(ctx, FAILURE_DAMAGED, std::string("its ") + kCarriedKeyFile + " cannot be read");
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.find_first_not_of(" \t\r") != std::string::npos)
            key = line.substr(line.find_first_not_of(" \t\r"), line.find_last_not_of(" \t\r") + 1 -
                                                                     line.find_first_not_of(" \t\r"));
    if (!publicKeyWellFormed(key))
        return refuse(ctx, FAILURE_DAMAGED, std::string("its ") + kCarriedKeyFile + " holds no minisign public key");
    return true;
}

bool fetchAndVerify(const UpdateServer &server, int release, call_context *ctx)
{
    const std::string dirUri = launcherReleaseUri(release);
    DownloadProgress progress;
    startProgress(progress, kFetchingPackage);
    if (!fetchFile(server, dirUri + kLauncherPackage, kLauncherDownload, progress, ctx)) {
        logLine("Launcher release %d not fetched: %s: %s", release, failure_name(context_failure(ctx)),
                context_line(ctx).c_str());
        return false;
    }
    step("fetched");
    std::string signature, comment;
    if (!fetchSmall(server, signatureUri(dirUri + kLauncherPackage), kMaxSignatureBytes, kSignatureTimeoutMs,
                    signature)) {
        discardDownload(kLauncherDownload, "its signature could not be fetched");
        return refuse(ctx, FAILURE_UNSIGNED, "the signature could not be fetched");
    }
    const char *fault = fileSignatureFault(kLauncherDownload, signature, comment, false);
    if (!fault)
        fault = releaseCommentFault(comment, kLauncherPackage, release);
    if (fault) {
        discardDownload(kLauncherDownload, "its signature does not hold");
        return refuse(ctx, FAILURE_BAD_SIGNATURE, fault);
    }
    logLine("Signature verified: %s (launcher %d)", kLauncherPackage, release);
    step("verified");
    return true;
}

}  // namespace

int launcherOnOffer(const UpdateServer &server, long timeoutMs, time_t now, call_context *ctx)
{
    if (publicKey.empty()) {
        logLine("Launcher releases not looked for: this launcher was built without a public key");
        return 0;
    }
    std::string signature, comment, value;
    long status = 0;
    if (timeoutMs <= 0 || !fetchSmall(server, signatureUri(launcherManifestUri()), kMaxSignatureBytes, timeoutMs,
                                      signature, &status))
        return 0;  // none published, or no answer in time: the next start asks again
    const char *fault = commentSignatureFault(signature, comment);
    if (!fault && (!commentToken(comment, kCommentFile, value) || value != launcherManifestName()))
        fault = "it was made for another file";
    const int release = fault ? 0 : commentToken(comment, kCommentLauncher, value) ? releaseNumber(value) : 0;
    if (!fault && release == 0)
        fault = "its trusted comment names no launcher release";
    time_t expires = 0;
    if (!fault && (!commentToken(comment, kCommentExpires, value) || !parseExpiry(value, expires)))
        fault = "its trusted comment names no expiry";
    if (fault) {
        logLine("Launcher manifest refused: %s", fault);
        context_fail(ctx, FAILURE_BAD_SIGNATURE, fault);
        return 0;
    }
    if (now >= expires + kClockSkewSeconds) {
        logLine("Launcher manifest refused: it expired at %s", value.c_str());
        context_fail(ctx, FAILURE_EXPIRED, "it expired at " + value);
        return 0;
    }
    return release;
}

bool takeLauncherRelease(const UpdateServer &server, int release, const std::string &program, int running,
                         call_context *ctx)
{
    // One launcher at a time takes a release (two started at once share the folder).
    mkdir(kAppFolder, 0755);
    Fd lock(open(kAppFolder, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (lock.fd < 0 || flock(lock.fd, LOCK_EX | LOCK_NB) != 0)
        return refuse(ctx, FAILURE_BUSY, "another launcher is taking a release");
    if (!fetchAndVerify(server, release, ctx))
        return false;
    remove_tree(kStagingFolder);
    const std::string staged = std::string(kStagingFolder) + "/";
    call_context unpack;
    unpack.quiet = true;  // its lines go nowhere a player reads; a failure comes back in the context
    if (!decompress_path(kLauncherDownload, staged.c_str(), &unpack)) {
        remove_tree(kStagingFolder);
        discardDownload(kLauncherDownload, "it does not unpack");
        return refuse(ctx, context_failure(&unpack), "it does not unpack: " + context_line(&unpack));
    }
#ifdef __APPLE__
    nftw(kStagingFolder, dropQuarantine, 16, FTW_PHYS);
#endif
    step("unpacked");
    struct stat st;
    std::string key;
    const std::string programPath = staged + program;
    if (stat(programPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !(st.st_mode & S_IXUSR) ||
        !carriedKey(staged + kCarriedKeyFile, key, ctx)) {
        remove_tree(kStagingFolder);
        discardDownload(kLauncherDownload, "it is not a launcher release");
        if (context_failure(ctx) == FAILURE_NONE)
            refuse(ctx, FAILURE_DAMAGED, "it holds no program at " + program);
        return false;
    }
    step("checked");
    // Its files on disk before the choice can name them.
    if (!sync_file_system(lock.fd)) {
        remove_tree(kStagingFolder);
        return refuse(ctx, FAILURE_CANNOT_WRITE, std::string("cannot sync ") + kAppFolder);
    }
    step("synced");
    const std::string folder = releaseFolder(release);
    remove_tree(folder);  // an earlier try's, never chosen
    if (rename(kStagingFolder, folder.c_str()) != 0 || !sync_folder(kAppFolder)) {
        remove_tree(kStagingFolder);
        return refuse(ctx, FAILURE_CANNOT_WRITE, "cannot move it to " + folder);
    }
    step("placed");
    LauncherChoice choice;
    readChoice(choice);  // unreadable: the defaults, rewritten whole
    choice.previous = running;
    choice.current = release;
    if (!key.empty())
        choice.key = key;
    if (!writeChoice(choice))
        return refuse(ctx, FAILURE_CANNOT_WRITE, std::string("cannot write ") + kChoiceFile);
    step("committed");
    logLine("Launcher %d is in %s and starts from now on%s", release, folder.c_str(),
            key.empty() ? "" : "; it carries a new publisher key, in force from now on");
    discardDownload(kLauncherDownload, "its release is in place");
    step("done");
    return true;
}
