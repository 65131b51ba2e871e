#include "log.h"

#include "fsutil.h"

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
const size_t kMaxLogBytes = 256 * 1024;          // a run that logs more stops logging
const char kRunMark[] = "=== launcher started";  // the first line of each run

std::mutex logLock;
size_t loggedBytes;

// Appends `text`, never through a link or into a FIFO someone put there.
void append(const std::string &text)
{
    Fd fd(open(kSupportLogName, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
    struct stat st;
    if (fd.fd >= 0 && fstat(fd.fd, &st) == 0 && S_ISREG(st.st_mode))
        write_full(fd.fd, text.data(), text.size());
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

}  // namespace

void startSupportLog()
{
    std::lock_guard<std::mutex> hold(logLock);
    std::string old;
    if (read_small_file(kSupportLogName, 4 * kMaxLogBytes * kRunsKept, old)) {
        // Keep the runs before this one that fit in the kept count.
        size_t start = old.size();
        for (int runs = 0; runs < kRunsKept - 1 && start > 0; runs++) {
            size_t mark = old.rfind(kRunMark, start - 1);
            if (mark == std::string::npos)
                break;
            start = mark;
        }
        if (start > 0 && start < old.size()) {
            const std::string temp = std::string(kSupportLogName) + ".tmp";
            FilePtr out(create_fresh(temp.c_str()));
            if (out && fwrite(old.data() + start, 1, old.size() - start, out.get()) == old.size() - start &&
                fclose(out.release()) == 0)
                rename(temp.c_str(), kSupportLogName);
            else
                unlink(temp.c_str());
        }
    }
    loggedBytes = 0;
    append(std::string(kRunMark) + " " + now() + "\n");
}

void logLine(const char *format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    const std::string line = now() + " " + text + "\n";
    std::lock_guard<std::mutex> hold(logLock);
    if (loggedBytes + line.size() > kMaxLogBytes)
        return;
    loggedBytes += line.size();
    append(line);
}
