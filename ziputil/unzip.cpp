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

namespace ziputil {

// One entry. Returns 1 to go on, 0 to end the call with failure.
int unpack_entry(Unpack &u, const Entry &entry)
{
    const std::string &name = entry.name;
    say(u.out, "Filename to unzip: ", name);
    if (entry.directory)
        return 1;  // directories come into being with their files
    const std::string path = u.destination + name;
    if (!fits(path))
        return fail(u.out, FAILURE_REFUSED, "Output path too long: " + path);
    if ((entry.mode & 0xF000) == 0xA000)
        return unpack_link(u, entry, name, path);
    std::string target;
    if (macmeta::target_name(name, target))
        return unpack_metadata_entry(u, entry, name, u.destination + target);
    if (name.compare(0, 9, "__MACOSX/") == 0)
        return 1;  // nothing a file system can use
    return unpack_file(u, entry, name, path, entry.mode);
}

}  // namespace ziputil

using namespace ziputil;

int decompress_path(const char *archive, const char *destination, call_context *ctx)
{
    context_start(ctx);
    Out out{ctx};
    std::string dest = destination;
    if (!fits(dest))
        return fail(out, FAILURE_REFUSED, "Destination path too long: " + dest);
    // A relative destination is made where it lies, not under "/"; "../"
    // always exists and keeps the lines the launcher has always printed.
    const char *base = (dest.empty() || dest[0] == '/' || dest == "../") ? nullptr : ".";
    if (!make_dirs_said(out, base, dest.c_str()))
        return fail_write(out, errno, "Failed make dirs for the destination.");
    ArchiveFile file;
    if (!open_archive_file(archive, file))
        return fail(out, FAILURE_CANNOT_READ, "Failed to open zip file");
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[ZIPUTIL_BUFFER_SIZE]);
    std::unique_ptr<char[]> out_buffer(new (std::nothrow) char[kOutputBuffer]);
    if (!buffer || !out_buffer)  // nothing can be written
        return fail(out, FAILURE_CANNOT_WRITE, "Out of memory for the transfer buffers");
    Whole whole;
    Unpack u{out, &file, dest, "", "", buffer.get(), out_buffer.get(), {}, {}, {}};
    u.whole = &whole;
    char resolved[PATH_MAX];
    char cwd[PATH_MAX];
    if (!realpath(dest.empty() ? "." : dest.c_str(), resolved) || !getcwd(cwd, sizeof cwd))
        return fail(out, FAILURE_CANNOT_WRITE, "Failed make dirs for the destination.");
    u.root = resolved;
    u.cwd = cwd;

    ArchiveIndex index;
    ArchiveSize size;
    Fault why;
    if (!read_archive_index(file, true, index, why))
        return fail(out, why.kind, why.line == kNoEndRecord ? "Failed to open zip file" : why.line);
    if (!check_archive(index, u.root, 1, size, why))
        return fail(out, why.kind, why.line);
    progress_total(ctx, (long long)size.declared);
    if (index.entries.empty())  // an archive without entries holds no game
        return fail(out, FAILURE_DAMAGED, "Damaged archive: it has no entries");
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

int decompress_path(const char *archive, const char *destination)
{
    call_context ctx;
    return decompress_path(archive, destination, &ctx);
}
