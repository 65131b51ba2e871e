// Path utilities: making the directories of a path, joining path parts, and
// the names and temporary files that packing and unpacking share.
#include "internal.h"
#include "ziputil.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <string>

namespace ziputil {

// The last line, for a caller that names a failure's cause after the fact.
// Guarded: lines may come from more than one thread.
static std::mutex last_line_lock;
static std::string last_line;

thread_local std::vector<std::string> *say_into;

void say(const char *prefix, const std::string &text)
{
    std::string line = prefix + text;
    if (say_into) {
        say_into->push_back(std::move(line));
        return;
    }
    {
        std::lock_guard<std::mutex> hold(last_line_lock);
        last_line = line;
    }
    if (ZIP_QUIET)
        return;
    line += '\n';
    fputs(line.c_str(), stdout);
}

void say_error(const char *prefix, const std::string &text, int err)
{
    say(prefix, text + ": " + strerror(err));
}

thread_local std::string metadata_fault;

static const char kMetadataPrefix[] = "__MACOSX/";

std::string metadata_entry_name(const std::string &entry_name)
{
    size_t slash = entry_name.find_last_of('/');
    size_t base = slash == std::string::npos ? 0 : slash + 1;
    return kMetadataPrefix + entry_name.substr(0, base) + "._" + entry_name.substr(base);
}

bool metadata_target_name(const std::string &name, std::string &target)
{
    const size_t prefix = sizeof kMetadataPrefix - 1;
    if (name.compare(0, prefix, kMetadataPrefix) != 0)
        return false;
    size_t slash = name.find_last_of('/');  // at prefix - 1 at the latest
    if (name.size() < slash + 4 || name.compare(slash + 1, 2, "._") != 0)
        return false;
    target = name.substr(prefix, slash + 1 - prefix) + name.substr(slash + 3);
    return true;
}

void TempRemover::operator()(std::string *path) const
{
    unlink(path->c_str());
    delete path;
}

int make_temp_file(const char *stem, TempFile &path)
{
    const char *dir = getenv("TMPDIR");
    std::string name = std::string(dir && dir[0] ? dir : "/tmp") + "/" + stem + ".XXXXXX";
    int fd = mkostemp(&name[0], O_CLOEXEC);
    if (fd >= 0)
        path.reset(new std::string(name));
    return fd;
}

}  // namespace ziputil

using ziputil::say;

std::atomic<bool> ZIP_QUIET;

std::string zip_last_line()
{
    std::lock_guard<std::mutex> hold(ziputil::last_line_lock);
    return ziputil::last_line;
}

int make_dirs(const char *base, const char *path)
{
    if (base && base[0] == '\0')
        return 0;  // an empty base has no last character to test
    if (!path)
        return 0;

    std::string work = base ? base : "/";
    if (work.back() != '/')
        work.push_back('/');
    // The base is taken to exist: its own separators are never visited.
    size_t scan = work.size();
    work.append(path[0] == '/' ? path + 1 : path);

    for (size_t slash = work.find('/', scan); slash != std::string::npos;
         slash = work.find('/', slash + 1)) {
        work[slash] = '\0';
        say("Directory to make: ", work.c_str());
        if (mkdir(work.c_str(), 0777) != 0) {
            int err = errno;
            say("mkdir returned -1");
            if (err != EEXIST) {
                say("error yo: ", strerror(err));
                return 0;
            }
            say("directory already exists");
        }
        work[slash] = '/';
    }
    return 1;
}

int combine_paths(char *out, ...)
{
    static const char too_big[] = "combine_paths: path too big\n";  // 28 bytes
    size_t len = 1;
    out[0] = '/';
    out[1] = '\0';

    va_list parts;
    va_start(parts, out);
    for (const char *part = va_arg(parts, const char *); part; part = va_arg(parts, const char *)) {
        if (part[0] == '/')
            part++;
        size_t sep = out[len - 1] == '/' ? 0 : 1;
        size_t add = strlen(part);
        if (len > ZIPUTIL_PATH_MAX - 2 || len + sep + add > ZIPUTIL_PATH_MAX - 1) {
            va_end(parts);
            out[0] = '\0';
            fputs(too_big, stderr);
            return 0;
        }
        if (sep)
            out[len++] = '/';
        memcpy(out + len, part, add + 1);
        len += add;
    }
    va_end(parts);
    return 1;
}
