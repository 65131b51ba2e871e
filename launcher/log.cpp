#include "log.h"

#include "fsutil.h"
#include "replace.h"

#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <string>

const char *const kSupportLogName = "launcher.log";

namespace {

const int kRunsKept = 5;                         // this one and four before it
const size_t kMaxRunBytes = 256 * 1024;          // a run that logs more stops logging
const size_t kMaxLogBytes = kMaxRunBytes * kRunsKept;
const char kRunMark[] = "=== launcher started";  // the first line of each run

std::mutex logLock;
Fd logFile;  // open from startSupportLog on: later changes of folder do not move it
size_t loggedBytes;

// Opens the log for appending, never through a link or into a FIFO someone
// put there.
Fd openLog()
{
    Fd fd(open(kSupportLogName, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
    struct stat st;
    if (fd.fd >= 0 && (fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode)))
        return Fd();
    return fd;
}

std::string now()
{
    char text[40];
    time_t t = time(nullptr);
    struct tm utc;
    gmtime_r(&t, &utc);
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc);
    return text;
}

// Where the runs worth keeping start: the mark of the fourth run from the
// end (a mark counts only at a line's start). The whole text when it holds
// no mark: nothing of it is a run of ours.
size_t keptFrom(const std::string &old)
{
    size_t start = old.size();
    for (int runs = 0; runs < kRunsKept - 1 && start > 0; runs++) {
        size_t mark = old.rfind(kRunMark, start - 1);
        while (mark != std::string::npos && mark > 0 && old[mark - 1] != '\n')
            mark = old.rfind(kRunMark, mark - 1);
        if (mark == std::string::npos)
            break;
        start = mark;
    }
    return start;
}

// The earlier runs, trimmed to the kept count, replace the log in one rename.
void trimLog()
{
    std::string old;
    struct stat st;
    if (!read_small_file(kSupportLogName, kMaxLogBytes + kMaxRunBytes, old)) {
        // Too large or not a file of ours: start afresh (a missing log stays missing).
        if (lstat(kSupportLogName, &st) == 0)
            unlink(kSupportLogName);
        return;
    }
    const size_t start = keptFrom(old);
    if (start == 0)
        return;
    // A support log is worth no sync: a power cut that loses it loses little.
    replace_file(kSupportLogName, old.data() + start, old.size() - start, 0644, DURABLE_NONE);
}

void append(const std::string &text)
{
    if (logFile.fd >= 0)
        write_full(logFile.fd, text.data(), text.size());
}

}  // namespace

void startSupportLog(const std::string &who)
{
    std::lock_guard<std::mutex> hold(logLock);
    logFile = Fd();
    trimLog();
    logFile = openLog();
    loggedBytes = 0;
    append(std::string(kRunMark) + " " + now() + (who.empty() ? "" : ", " + who) + "\n");
}

void logLine(const char *format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    // One event, one line: a reason's line break or a server's control
    // characters become spaces.
    for (char *c = text; *c; c++)
        if ((unsigned char)*c < 0x20 || *c == 0x7F)
            *c = ' ';
    std::string line = now() + " " + text + "\n";
    std::lock_guard<std::mutex> hold(logLock);
    if (loggedBytes > kMaxRunBytes)
        return;
    loggedBytes += line.size();
    if (loggedBytes > kMaxRunBytes)
        line = now() + " (this run logged too much; the rest is left out)\n";
    append(line);
}
