// Listing an archive: each entry's mode, method, sizes, date and name as the
// central directory records them, then the totals. Read by the same reader
// as an unpack, so the listing shows the entries an unpack would see.
#include "unpack.h"

#include <errno.h>
#include <stdio.h>

using namespace ziputil;

int list_archive(const char *archive, call_context *ctx)
{
    context_start(ctx);
    Out out{ctx};
    ArchiveFile file;
    ArchiveIndex index;
    Fault why;
    if (!open_archive_file(archive, file))
        return fail_error(out, FAILURE_CANNOT_READ, "Cannot open ", archive, errno);
    if (!read_archive_index(file, false, index, why))
        return fail(out, why.kind, why.line == kNoEndRecord ? "not a zip archive" : why.line);
    printf("%-6s %-7s %12s %12s  %-16s  %s\n", "mode", "method", "compressed", "size", "date", "name");
    unsigned long long packed = 0, unpacked = 0;
    for (const Entry &e : index.entries) {
        const char *method = e.method == 0 ? "stored" : e.method == 8 ? "deflate" : "other";
        struct tm d = entry_tm(e);
        char date[64];
        snprintf(date, sizeof date, "%04d-%02d-%02d %02d:%02d", d.tm_year + 1900, d.tm_mon + 1, d.tm_mday, d.tm_hour,
                 d.tm_min);
        printf("%06o %-7s %12llu %12llu  %-16s  ", e.mode, method, (unsigned long long)e.compressed,
               (unsigned long long)e.size, date);
        // At most the 1,023 bytes a name may have; a NUL inside one is shown, not obeyed.
        const size_t shown = std::min<size_t>(e.name.size(), ZIPUTIL_PATH_MAX - 1);
        for (size_t i = 0; i < shown; i++)
            fputs(e.name[i] == '\0' ? "\\0" : std::string(1, e.name[i]).c_str(), stdout);
        fputs(e.name.size() > shown ? "...\n" : "\n", stdout);
        packed += e.compressed;
        unpacked += e.size;
    }
    const unsigned long long count = index.entries.size();
    printf("%-6s %-7s %12s %12s\n", "", "", "------------", "------------");
    printf("%-6s %-7s %12llu %12llu  %llu %s\n", "", "", packed, unpacked, count, count == 1 ? "entry" : "entries");
    return 1;
}

int list_archive(const char *archive)
{
    call_context ctx;
    return list_archive(archive, &ctx);
}
