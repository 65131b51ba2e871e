// Testing an archive: every entry read to its end and checked, nothing
// written. What a publisher runs on a package before uploading it.
#include "unpack.h"

#include <errno.h>

#include <memory>
#include <string>

using namespace ziputil;

int test_archive(const char *archive, unsigned long long *entries, unsigned long long *bytes, call_context *ctx)
{
    *entries = *bytes = 0;
    context_start(ctx);
    Out out{ctx};
    // The same reading and checks as an unpack (no destination: no free-space
    // check), so that a package that tests well also unpacks.
    ArchiveFile file;
    ArchiveIndex index;
    ArchiveSize size;
    Fault why;
    if (!open_and_check(archive, "", 1, file, index, size, why))
        return fail(out, why.kind, why.line == kNoEndRecord ? std::string("Not a zip archive: ") + archive : why.line);
    std::unique_ptr<char[]> buffer(new char[ZIPUTIL_BUFFER_SIZE]);
    for (const Entry &entry : index.entries) {
        EntryStream stream;
        if (!entry.directory) {
            if (!open_entry_stream(entry, stream, why))
                return fail(out, why.kind, why.line);
            long n;
            while ((n = read_entry_stream(file, stream, buffer.get(), ZIPUTIL_BUFFER_SIZE, why)) > 0)
                progress_add(ctx, n);
            if (n == -2)
                return fail_error(out, FAILURE_CANNOT_READ, "Cannot read the archive at entry ", entry.name,
                                  errno ? errno : EIO);
            if (n < 0 || !entry_stream_checks(stream, why))
                return fail(out, why.kind, why.line);
        }
        say(out, "OK ", entry.name);
        ++*entries;
        *bytes += stream.produced;
    }
    return 1;
}

int test_archive(const char *archive, unsigned long long *entries, unsigned long long *bytes)
{
    call_context ctx;
    return test_archive(archive, entries, bytes, &ctx);
}
