// Archive extraction. Entry conventions (shared with the writer):
//  - the POSIX mode sits in the upper 16 bits of the external attributes;
//  - links (0xA000) hold their target text; directories (0x4000, a name
//    ending in "/", or the MS-DOS directory attribute without a mode) make
//    nothing;
//  - "__MACOSX/D/._N" holds the AppleDouble metadata of "D/N".
// The whole central directory is read once, by us, and checked before
// anything is written; the entries unpacked are the entries checked. Every
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
int unpack_entry(Unpack &u, const Entry &entry)
{
    const std::string &name = entry.name;
    say("Filename to unzip: ", name);
    if (entry.directory)
        return 1;  // directories come into being with their files
    const std::string path = u.destination + name;
    if (!fits(path)) {
        say("Output path too long: ", path);
        return failed(ZIP_REFUSED);
    }
    if ((entry.mode & 0xF000) == 0xA000)
        return unpack_link(u, entry, name, path);
    std::string target;
    if (metadata_target_name(name, target))
        return unpack_metadata_entry(u, entry, name, u.destination + target);
    if (name.compare(0, 9, "__MACOSX/") == 0)
        return 1;  // nothing a file system can use
    return unpack_file(u, entry, name, path, entry.mode);
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
    ArchiveFile file;
    if (!open_archive_file(archive, file)) {
        say("Failed to open zip file");
        return failed(ZIP_CANNOT_READ);
    }
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[ZIPUTIL_BUFFER_SIZE]);
    std::unique_ptr<char[]> out_buffer(new (std::nothrow) char[kOutputBuffer]);
    if (!buffer || !out_buffer)
        return failed(ZIP_CANNOT_WRITE);  // out of memory: nothing can be written
    Whole whole;
    Unpack u{&file, dest, "", "", buffer.get(), out_buffer.get(), {}, {}, {}};
    u.whole = &whole;
    char resolved[PATH_MAX];
    char cwd[PATH_MAX];
    if (!realpath(dest.empty() ? "." : dest.c_str(), resolved) || !getcwd(cwd, sizeof cwd)) {
        say("Failed make dirs for the destination.");
        return failed(ZIP_CANNOT_WRITE);
    }
    u.root = resolved;
    u.cwd = cwd;

    ArchiveIndex index;
    ArchiveSize size;
    std::string why;
    if (!read_archive_index(file, true, index, why)) {
        say(why == kNoEndRecord ? "Failed to open zip file" : why.c_str());
        return 0;
    }
    if (!check_archive(index, u.root, 1, size, why)) {
        say(why.c_str());
        return 0;
    }
    ZIP_UNPACK_BYTES_TOTAL = (long long)size.declared;
    if (index.entries.empty()) {  // an archive without entries holds no game
        say("Damaged archive: it has no entries");
        return failed(ZIP_DAMAGED);
    }
    // With more than one thread the files are written by workers once the
    // entries before them have been taken (see parallel_unpack.cpp).
    if (thread_count() > 1) {
        EntryPlan plan;
        for (size_t i = 0; i < index.entries.size(); i++)
            if (!plan_entry(plan, u, index, i))
                return 0;
        return finish_plan(plan, u, index);
    }
    for (const Entry &entry : index.entries)
        if (!unpack_entry(u, entry))
            return 0;
    return make_links(u);
}
