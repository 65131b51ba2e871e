// The checks made on the whole central directory before anything is
// written: names, methods, encryption, overlapping data, metadata sizes and
// free space.
#include "unpack.h"

#include <sys/statvfs.h>

#include <algorithm>

namespace ziputil {

namespace {

// Each entry's local header and data must lie apart from every other's: one
// compressed body shared by many entries is how zip bombs fill disks. The
// spans run from the local header to the data's end, past the local name and
// extra field the header itself declares.
bool entries_overlap(const ArchiveIndex &index)
{
    std::vector<std::pair<uint64_t, uint64_t>> spans;  // [start, end), within the file: read_archive_index saw to it
    spans.reserve(index.entries.size());
    for (const Entry &e : index.entries)
        spans.push_back({e.header, e.data + e.compressed});
    std::sort(spans.begin(), spans.end());
    for (size_t i = 0; i + 1 < spans.size(); i++)
        if (spans[i].second > spans[i + 1].first)
            return true;
    return false;
}

}  // namespace

bool check_archive(const ArchiveIndex &index, const std::string &destination, uint64_t block_size, ArchiveSize &size,
                   Fault &why)
{
    size = ArchiveSize();
    size.entries = index.entries.size();
    for (const Entry &e : index.entries) {
        const std::string &name = e.name;
        if (name.size() >= ZIPUTIL_PATH_MAX)
            return refuse(why, FAILURE_REFUSED, "Entry name too long: " + name.substr(0, 64) + "...");
        size_t nul = name.find('\0');
        if (nul != std::string::npos)
            return refuse(why, FAILURE_REFUSED, "Refusing an entry name with a NUL byte in it: " + printable(name));
        std::vector<std::string> parts = split_components(name);
        if (std::find(parts.begin(), parts.end(), "..") != parts.end())
            return refuse(why, FAILURE_REFUSED, "Refusing entry with a \"..\" component: " + name);
        if (e.directory)
            continue;
        if (e.flags & 1)
            return refuse(why, FAILURE_UNSUPPORTED, "Encrypted entry: " + name);
        if (e.method != 0 && e.method != Z_DEFLATED)
            return refuse(why, FAILURE_UNSUPPORTED, "Unsupported compression method " + std::to_string(e.method) + ": " + name);
        std::string target;
        if ((e.mode & 0xF000) != 0xA000 && macmeta::target_name(name, target) && e.size > macmeta::kMaxStream)
            return refuse(why, FAILURE_REFUSED,
                          "Metadata entry over " + std::to_string(macmeta::kMaxStream >> 20) + " MiB: " + name);
        if (e.size > UINT64_MAX - size.declared - block_size)
            return refuse(why, FAILURE_DAMAGED, "Damaged archive: the declared sizes add up past 2^64 bytes at " + name);
        size.declared += e.size;
        size.in_blocks += (e.size + block_size - 1) / block_size * block_size;
    }
    if (entries_overlap(index))
        return refuse(why, FAILURE_REFUSED, "Refusing an archive whose entries overlap (a zip bomb?): " + destination);
    for (const Entry &e : index.entries)
        if (e.local_name)
            return refuse(why, FAILURE_DAMAGED, "Damaged archive: the local name " + printable(*e.local_name) +
                                           " differs from the central directory's " + printable(e.raw_name));
    struct statvfs fs;
    if (!destination.empty() && statvfs(destination.c_str(), &fs) == 0 &&
        uint64_t(fs.f_bavail) * fs.f_frsize < size.declared)
        return refuse(why, FAILURE_NO_SPACE, "Not enough free space: the archive holds " + std::to_string(size.declared) +
                                        " bytes, " + std::to_string(uint64_t(fs.f_bavail) * fs.f_frsize) +
                                        " bytes free in " + destination);
    return true;
}

bool open_and_check(const char *archive, const std::string &destination, uint64_t block_size, ArchiveFile &file,
                    ArchiveIndex &index, ArchiveSize &size, Fault &why)
{
    if (!open_archive_file(archive, file)) {
        return refuse(why, FAILURE_CANNOT_READ, "Failed to open zip file");
    }
    return read_archive_index(file, true, index, why) && check_archive(index, destination, block_size, size, why);
}

}  // namespace ziputil

int archive_needs(const char *archive, unsigned long long block_size, unsigned long long *bytes,
                  unsigned long long *entries, call_context *ctx)
{
    using namespace ziputil;
    context_start(ctx);
    ArchiveFile file;
    ArchiveIndex index;
    ArchiveSize size;
    Fault why;
    if (!open_and_check(archive, std::string(), block_size ? block_size : 1, file, index, size, why))
        return context_fail(ctx, why.kind, why.line);
    *bytes = size.in_blocks;
    *entries = size.entries;
    return 1;
}

int archive_needs(const char *archive, unsigned long long block_size, unsigned long long *bytes,
                  unsigned long long *entries)
{
    call_context ctx;
    return archive_needs(archive, block_size, bytes, entries, &ctx);
}
