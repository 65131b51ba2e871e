// Where each entry of an archive lies, for callers that fetch or read one
// entry by its offsets (a release's index), and one entry unpacked from
// bytes found at those offsets, through the same stream and checks (size,
// CRC) as an unpack.
#include "unpack.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

int archive_places(const char *archive, std::vector<zip_entry_place> &places, call_context *ctx)
{
    using namespace ziputil;
    context_start(ctx);
    ArchiveFile file;
    ArchiveIndex index;
    ArchiveSize size;
    Fault why;
    if (!open_and_check(archive, std::string(), 1, file, index, size, why))
        return context_fail(ctx, why.kind, why.line);
    places.clear();
    for (const Entry &e : index.entries)
        places.push_back({e.name, e.method, e.crc, e.header, e.data, e.compressed, e.size, e.mode, e.directory});
    return 1;
}

int unpack_entry_at(const char *source, const zip_entry_place &place, int out_fd, call_context *ctx)
{
    using namespace ziputil;
    context_start(ctx);
    if (place.method != 0 && place.method != Z_DEFLATED)
        return context_fail(ctx, FAILURE_UNSUPPORTED, "Unsupported compression method for entry: " + place.name);
    ArchiveFile file;
    if (!open_archive_file(source, file))
        return context_fail_errno(ctx, FAILURE_CANNOT_READ, std::string("cannot read ") + source, errno);
    if (!span_within(place.data, place.compressed, file.size))
        return context_fail(ctx, FAILURE_DAMAGED, place.name + ": its entry lies past the end of " + source);
    Entry entry;
    entry.name = place.name;
    entry.method = place.method;
    entry.crc = uint32_t(place.crc);
    entry.compressed = place.compressed;
    entry.size = place.size;
    entry.header = place.header;
    entry.data = place.data;
    EntryStream stream;
    Fault why;
    if (!open_entry_stream(entry, stream, why))
        return context_fail(ctx, why.kind, why.line);
    char buffer[ZIPUTIL_BUFFER_SIZE];
    uint64_t at = 0;
    for (;;) {
        long n = read_entry_stream(file, stream, buffer, sizeof buffer, why);
        if (n == -1)
            return context_fail(ctx, why.kind, why.line);
        if (n < 0)
            return context_fail_errno(ctx, FAILURE_CANNOT_READ, std::string("cannot read ") + source, errno);
        if (n == 0)
            break;
        if (!write_full(out_fd, buffer, size_t(n), int64_t(at)))
            return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "cannot write " + place.name, errno);
        at += uint64_t(n);
        progress_add(ctx, n);
    }
    if (!entry_stream_checks(stream, why))
        return context_fail(ctx, why.kind, why.line);
    return 1;
}
