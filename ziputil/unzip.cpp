// Archive extraction. Entry conventions (shared with the writer):
//  - the POSIX mode sits in the upper 16 bits of the external attributes;
//  - links (0xA000) hold their target text; directories (0x4000, or a name
//    ending in "/") make nothing;
//  - "__MACOSX/D/._N" holds the AppleDouble metadata of "D/N".
// The whole central directory is checked before anything is written. Every
// name is checked again before its turn: nothing may land outside the
// destination, whether by "..", by an existing link or by a link that the
// archive itself creates. Links are made last, so no file is ever written
// through one of the archive's own links, and each link the unpack made is
// checked once more against the final tree.
#include "unpack.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

std::atomic<long long> ZIP_UNPACK_BYTES_DONE;
std::atomic<long long> ZIP_UNPACK_BYTES_TOTAL;
std::atomic<int> ZIP_UNPACK_FAILURE;

namespace ziputil {

thread_local zip_failure *worker_failure;

int failed(zip_failure why)
{
    if (worker_failure)
        *worker_failure = why;
    else
        ZIP_UNPACK_FAILURE = why;
    return 0;
}

int failed_write(int err)
{
    return failed(is_disk_full(err) ? ZIP_NO_SPACE : ZIP_CANNOT_WRITE);
}

// One entry. Returns 1 to go on, 0 to end the call with failure.
int unpack_entry(Unpack &u, const unz_file_info64 &info, const std::string &name)
{
    say("Filename to unzip: ", name);
    const unsigned mode = (info.external_fa >> 16) & 0xffff;
    if (is_directory_entry(name, mode))
        return 1;  // directories come into being with their files
    const std::string path = u.destination + name;
    if (!fits(path)) {
        say("Output path too long: ", path);
        return failed(ZIP_REFUSED);
    }
    if ((mode & 0xF000) == 0xA000)
        return unpack_link(u, info, name, path);
    std::string target;
    if (metadata_target_name(name, target))
        return unpack_metadata_entry(u, info, name, u.destination + target);
    if (name.compare(0, 9, "__MACOSX/") == 0)
        return 1;  // nothing a file system can use
    return unpack_file(u, info, name, path, mode);
}

}  // namespace ziputil

using namespace ziputil;

int decompress_path(const char *archive, const char *destination)
{
    ZIP_UNPACK_BYTES_DONE = 0;
    ZIP_UNPACK_BYTES_TOTAL = 0;
    ZIP_UNPACK_FAILURE = ZIP_OK;
    std::string dest = destination;
    if (!fits(dest)) {
        say("Destination path too long: ", dest);
        return failed(ZIP_REFUSED);
    }
    // A relative destination is made where it lies, not under "/"; "../"
    // always exists and keeps the lines the launcher has always printed.
    const char *base = (dest.empty() || dest[0] == '/' || dest == "../") ? nullptr : ".";
    if (!make_dirs(base, dest.c_str())) {
        int err = errno;
        say("Failed make dirs for the destination.");
        return failed_write(err);
    }
    ArchiveStream *stream = nullptr;
    ArchivePtr zip(open_zip_for_reading(archive, &stream));
    if (!zip) {
        say("Failed to open zip file");
        return failed(stream ? ZIP_DAMAGED : ZIP_CANNOT_READ);  // opened, but no zip archive
    }
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[ZIPUTIL_BUFFER_SIZE]);
    std::unique_ptr<char[]> out_buffer(new (std::nothrow) char[kOutputBuffer]);
    if (!buffer || !out_buffer)
        return failed(ZIP_CANNOT_WRITE);  // out of memory: nothing can be written
    Unpack u{zip.get(), dest, "", "", buffer.get(), out_buffer.get(), {}, {}, {}};
    char resolved[PATH_MAX];
    char cwd[PATH_MAX];
    if (!realpath(dest.empty() ? "." : dest.c_str(), resolved) || !getcwd(cwd, sizeof cwd)) {
        say("Failed make dirs for the destination.");
        return failed(ZIP_CANNOT_WRITE);
    }
    u.root = resolved;
    u.cwd = cwd;

    ArchiveSize size;
    std::string why;
    if (!check_archive(*stream, u.root, 1, size, why)) {
        say(why.c_str());
        return 0;
    }
    unz_global_info64 global;
    if (unzGetGlobalInfo64(u.zip, &global) != UNZ_OK)
        return failed(ZIP_DAMAGED);
    ZIP_UNPACK_BYTES_TOTAL = (long long)size.declared;
    // By the count: minizip takes a count of 65,535 for "unknown" and would
    // read past the last entry. An archive without entries holds no game.
    if (global.number_entry == 0 || unzGoToFirstFile(u.zip) != UNZ_OK)
        return failed(ZIP_DAMAGED);
    // With more than one thread the files are written by workers once the
    // entries before them have been read (see parallel_unpack.cpp).
    const bool parallel = thread_count() > 1;
    EntryPlan plan{archive, {}, {}, {}};
    for (ZPOS64_T i = 0; i < global.number_entry; i++) {
        unz_file_info64 info;
        char name[ZIPUTIL_PATH_MAX];
        if (unzGetCurrentFileInfo64(u.zip, &info, name, sizeof name, nullptr, 0, nullptr, 0) != UNZ_OK ||
            info.size_filename >= sizeof name) {
            say("Damaged archive: cannot read entry ", std::to_string(i + 1));
            return failed(ZIP_DAMAGED);
        }
        if (parallel ? !plan_entry(plan, u, info, name, i + 1) : !unpack_entry(u, info, name))
            return 0;
        if (i + 1 < global.number_entry && unzGoToNextFile(u.zip) != UNZ_OK) {
            say("Damaged archive: cannot read the entry after ", name);
            return failed(ZIP_DAMAGED);
        }
    }
    return parallel ? finish_plan(plan, u) : make_links(u);
}
