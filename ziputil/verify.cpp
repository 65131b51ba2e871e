// Testing an archive: every entry read to its end and checked, nothing
// written. What a publisher runs on a package before uploading it.
#include "unpack.h"

#include <unzip.h>

#include <memory>
#include <string>

using namespace ziputil;

int test_archive(const char *archive, unsigned long long *entries, unsigned long long *bytes)
{
    *entries = *bytes = 0;
    ZIP_UNPACK_FAILURE = ZIP_OK;
    ArchiveStream *stream = nullptr;
    ArchivePtr zip(open_zip_for_reading(archive, &stream));
    unz_global_info64 global;
    if (!zip || unzGetGlobalInfo64(zip.get(), &global) != UNZ_OK) {
        say("Not a zip archive: ", archive);
        return failed(stream ? ZIP_DAMAGED : ZIP_CANNOT_READ);
    }
    // The same checks as an unpack (no destination: no free-space check), so
    // that a package that tests well also unpacks.
    ArchiveSize size;
    std::string why;
    if (!check_archive(*stream, "", 1, size, why)) {
        say(why.c_str());
        return 0;
    }
    std::unique_ptr<char[]> buffer(new char[ZIPUTIL_BUFFER_SIZE]);
    int rc = unzGoToFirstFile(zip.get());
    for (ZPOS64_T i = 0; i < global.number_entry; i++) {
        unz_file_info64 info;
        char name[ZIPUTIL_PATH_MAX + 1];
        if (rc != UNZ_OK ||
            unzGetCurrentFileInfo64(zip.get(), &info, name, sizeof name - 1, nullptr, 0, nullptr, 0) != UNZ_OK) {
            say("Damaged archive: cannot read entry ", std::to_string(i + 1));
            return failed(ZIP_DAMAGED);
        }
        name[info.size_filename < sizeof name - 1 ? info.size_filename : sizeof name - 1] = '\0';
        if (unzOpenCurrentFile(zip.get()) != UNZ_OK) {
            say("Cannot read entry: ", name);
            return failed(ZIP_DAMAGED);
        }
        unsigned long long read = 0;
        int n;
        while ((n = unzReadCurrentFile(zip.get(), buffer.get(), ZIPUTIL_BUFFER_SIZE)) > 0)
            read += unsigned(n);
        int closed = unzCloseCurrentFile(zip.get());
        if (n < 0) {
            say("Damaged data in entry: ", name);
            return failed(ZIP_DAMAGED);
        }
        if (read != info.uncompressed_size) {
            say(("Size mismatch (" + std::to_string(read) + " bytes, " + std::to_string(info.uncompressed_size) +
                 " declared) in entry: ").c_str(), name);
            return failed(ZIP_DAMAGED);
        }
        if (closed == UNZ_CRCERROR) {
            say("CRC error in entry: ", name);
            return failed(ZIP_DAMAGED);
        }
        say("OK ", name);
        ++*entries;
        *bytes += read;
        if (i + 1 < global.number_entry)
            rc = unzGoToNextFile(zip.get());
    }
    return 1;
}
