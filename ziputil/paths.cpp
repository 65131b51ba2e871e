// Path helpers: making the directories of a path, joining path parts, and
// taking a path apart into its folder, its last component and its parts.
#include "internal.h"
#include "ziputil.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

namespace ziputil {

bool fits(const std::string &path)
{
    return path.size() <= ZIPUTIL_PATH_MAX - 1;
}

std::string parent_of(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string last_component(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::vector<std::string> split_components(const std::string &path)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos)
            slash = path.size();
        parts.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return parts;
}

}  // namespace ziputil

namespace ziputil {

int make_dirs_said(Out &out, const char *base, const char *path)
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
        say(out, "Directory to make: ", work.c_str());
        if (mkdir(work.c_str(), 0777) != 0) {
            int err = errno;
            say(out, "mkdir returned -1");
            if (err != EEXIST) {
                say(out, "error yo: ", strerror(err));
                errno = err;
                return 0;
            }
            say(out, "directory already exists");
        }
        work[slash] = '/';
    }
    return 1;
}

}  // namespace ziputil

int make_dirs(const char *base, const char *path, call_context *ctx)
{
    context_start(ctx);
    ziputil::Out out{ctx};
    if (ziputil::make_dirs_said(out, base, path))
        return 1;
    int err = errno;
    std::string where = std::string(base ? base : "/") + (path ? path : "");
    context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "Cannot make the folders of " + where, err ? err : EINVAL);
    return 0;
}

int make_dirs(const char *base, const char *path)
{
    call_context ctx;
    return make_dirs(base, path, &ctx);
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
