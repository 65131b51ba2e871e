// A release's package read by its index alone. The launcher may hold only
// the parts of the package it planned to use (a sparse file of the
// package's size, holes elsewhere, no central directory), so an entry is
// found at the offset the signed index gives: its local header says how it
// is stored, the index how big it is, and the index's hash is the check
// that decides. Absent bytes read as zeros: no local header there, or data
// that does not inflate, or a CRC that does not hold, and the file is
// refused as damaged.
#include "items.h"

#include "bytes.h"
#include "fsutil.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace delta {

namespace {

const uint32_t kLocalHeader = 0x04034b50, kDescriptor = 0x08074b50;

}  // namespace

bool open_release(const char *index_path, const char *package_path, release_source &out, call_context *ctx)
{
    if (!index_read(index_path, &out.index, ctx))
        return false;
    struct stat st;
    out.package = Fd(open(package_path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (out.package.fd < 0 || fstat(out.package.fd, &st) != 0)
        return context_fail_errno(ctx, FAILURE_CANNOT_READ, std::string("cannot read ") + package_path, errno);
    if (!S_ISREG(st.st_mode) || uint64_t(st.st_size) != out.index.package_size)
        return context_fail(ctx, FAILURE_DAMAGED, std::string(package_path) + ": not the package its index names");
    out.package_size = out.index.package_size;
    out.by_path.clear();
    for (size_t i = 0; i < out.index.items.size(); i++)
        out.by_path[out.index.items[i].path] = i;
    return true;
}

bool local_entry(const release_source &src, const std::string &path, const entry_ref &ref, package_entry &pe,
                 call_context *ctx)
{
    const int fd = src.package.fd;
    const uint64_t size = src.package_size;
    unsigned char h[30];
    if (ref.offset > size || size - ref.offset < 30 || !read_full(fd, h, 30, int64_t(ref.offset)))
        return context_fail(ctx, FAILURE_DAMAGED, path + ": its entry lies outside the package");
    if (get_le32(h) != kLocalHeader)
        return context_fail(ctx, FAILURE_DAMAGED, path + ": its entry is not in the package (no local header at " +
                                                      std::to_string(ref.offset) + ")");
    const uint16_t flags = uint16_t(get_le16(h + 6)), method = uint16_t(get_le16(h + 8));
    if (flags & 1)
        return context_fail(ctx, FAILURE_UNSUPPORTED, path + ": its entry is encrypted");
    if (method != 0 && method != 8)
        return context_fail(ctx, FAILURE_UNSUPPORTED, path + ": its entry's method " + std::to_string(method));
    const uint64_t start = ref.offset + 30 + get_le16(h + 26) + get_le16(h + 28);
    if (start > size || ref.compressed > size - start)
        return context_fail(ctx, FAILURE_DAMAGED, path + ": its entry's data lies outside the package");
    uint32_t crc = get_le32(h + 14);
    if (flags & 8) {
        // Sizes and CRC follow the data, the descriptor's signature optional.
        unsigned char d[8];
        if (size - start - ref.compressed < 8 || !read_full(fd, d, 8, int64_t(start + ref.compressed)))
            return context_fail(ctx, FAILURE_DAMAGED, path + ": its entry's descriptor lies outside the package");
        crc = get_le32(d) == kDescriptor ? get_le32(d + 4) : get_le32(d);
    } else {
        // 0xFFFFFFFF: the size is in the zip64 field, and the index has it.
        const uint64_t compressed = get_le32(h + 18), inflated = get_le32(h + 22);
        if ((compressed != 0xFFFFFFFF && compressed != ref.compressed) || (inflated != 0xFFFFFFFF && inflated != ref.size))
            return context_fail(ctx, FAILURE_DAMAGED, path + ": the package's entry is not the index's file");
    }
    pe.name = path;
    pe.offset = ref.offset;
    pe.compressed = ref.compressed;
    pe.size = ref.size;
    pe.method = method;
    pe.crc = crc;
    return true;
}

bool write_from_entry(const release_source &src, const release_item &it, int dir, const std::string &staged,
                      call_context *ctx)
{
    package_entry pe;
    if (!local_entry(src, it.path, {it.entry_offset, it.entry_compressed, it.entry_size}, pe, ctx))
        return false;
    Fd out(openat(dir, it.path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (out.fd < 0)
        return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "cannot create " + staged + "/" + it.path, errno);
    if (!extract_entry(src.package.fd, src.package_size, pe, out.fd, ctx))
        return false;
    hash_t h;
    if (!hash_file(out.fd, it.size, h))
        return context_fail_errno(ctx, FAILURE_CANNOT_READ, "cannot read " + staged + "/" + it.path, errno);
    if (!std::equal(h.begin(), h.end(), it.hash.begin()))
        return context_fail(ctx, FAILURE_RESULT_DIFFERS, it.path + ": the package's file does not hash as its index says");
    if (fchmod(out.fd, it.mode) != 0 || close(out.release()) != 0)
        return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "cannot write " + staged + "/" + it.path, errno);
    return true;
}

}  // namespace delta
