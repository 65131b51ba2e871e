// Testing an archive: every entry read to its end and checked, nothing
// written. What a publisher runs on a package before uploading it.
#include "unpack.h"

#include <errno.h>

#include <memory>
#include <string>

using namespace ziputil;

int test_archive(const char *archive, unsigned long long *entries, unsigned long long *bytes)
{
    *entries = *bytes = 0;
    ZIP_UNPACK_FAILURE = ZIP_OK;
    // The same reading and checks as an unpack (no destination: no free-space
    // check), so that a package that tests well also unpacks.
    ArchiveFile file;
    ArchiveIndex index;
    ArchiveSize size;
    std::string why;
    if (!open_and_check(archive, "", 1, file, index, size, why)) {
        say(why == kNoEndRecord ? "Not a zip archive: " : why.c_str(), why == kNoEndRecord ? archive : "");
        return 0;
    }
    std::unique_ptr<char[]> buffer(new char[ZIPUTIL_BUFFER_SIZE]);
    for (const Entry &entry : index.entries) {
        EntryStream stream;
        if (!entry.directory) {
            if (!open_entry_stream(entry, stream))
                return 0;
            long n;
            while ((n = read_entry_stream(file, stream, buffer.get(), ZIPUTIL_BUFFER_SIZE, why)) > 0) {
            }
            if (n == -2) {
                say_error("Cannot read the archive at entry ", entry.name, errno ? errno : EIO);
                return failed(ZIP_CANNOT_READ);
            }
            if (n < 0 || !entry_stream_checks(stream, why)) {
                say(why.c_str());
                return 0;
            }
        }
        say("OK ", entry.name);
        ++*entries;
        *bytes += stream.produced;
    }
    return 1;
}
