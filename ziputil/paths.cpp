// Path utilities: making the directories of a path, joining path parts.
#include "ziputil.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

// Lines are written with fputs, never as a format: paths may hold '%'.
static void print_line(const char *prefix, const char *text)
{
    fputs(prefix, stdout);
    fputs(text, stdout);
    fputc('\n', stdout);
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
        print_line("Directory to make: ", work.c_str());
        if (mkdir(work.c_str(), 0777) != 0) {
            int err = errno;
            fputs("mkdir returned -1\n", stdout);
            if (err != EEXIST) {
                print_line("error yo: ", strerror(err));
                return 0;
            }
            fputs("directory already exists\n", stdout);
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
