// A release's package seen entry by entry: where each entry lies (for the
// index) and one entry's content inflated on its own (a base read from an
// old release without unpacking the rest). The package is ziputil's, but
// it may come from anywhere: every record is bounded by the file and every
// entry is checked against its stored size and CRC.
#include "items.h"

#include "bytes.h"
#include "fsutil.h"

#include <errno.h>
#include <string.h>
#include <zlib.h>

#include <algorithm>
#include <memory>

namespace delta {

namespace {

const uint64_t kMaxEntries = 4 * kMaxItems;  // data, metadata and some more

bool read_at(int fd, uint64_t offset, size_t size, std::string &out)
{
    out.assign(size, '\0');
    return read_full(fd, &out[0], size, int64_t(offset));
}

const unsigned char *bytes(const std::string &s) { return reinterpret_cast<const unsigned char *>(s.data()); }

}  // namespace

bool read_package(int fd, uint64_t file_size, std::vector<package_entry> &entries, call_context *ctx)
{
    entries.clear();
    const std::string damaged = "the package's central directory is damaged";
    // The end record: in the last 64 KiB + 22 bytes (its comment may fill them).
    uint64_t tail = std::min<uint64_t>(file_size, 65535 + 22);
    std::string end;
    if (!read_at(fd, file_size - tail, size_t(tail), end))
        return context_fail_errno(ctx, FAILURE_CANNOT_READ, "cannot read the package", errno);
    long at = -1;
    for (long i = long(tail) - 22; i >= 0; i--)
        if (get_le32(bytes(end) + i) == 0x06054b50) {
            at = i;
            break;
        }
    if (at < 0)
        return context_fail(ctx, FAILURE_DAMAGED, "not a zip package (no end record)");
    const unsigned char *e = bytes(end) + at;
    uint64_t count = get_le16(e + 10), cd_size = get_le32(e + 12), cd_offset = get_le32(e + 16);
    const uint64_t end_offset = file_size - tail + uint64_t(at);
    if ((count == 0xFFFF || cd_size == 0xFFFFFFFF || cd_offset == 0xFFFFFFFF) && end_offset >= 20) {
        std::string locator, record;
        if (!read_at(fd, end_offset - 20, 20, locator) || get_le32(bytes(locator)) != 0x07064b50)
            return context_fail(ctx, FAILURE_DAMAGED, damaged + " (no zip64 locator)");
        uint64_t where = get_le64(bytes(locator) + 8);
        if (where > file_size - 56 || !read_at(fd, where, 56, record) || get_le32(bytes(record)) != 0x06064b50)
            return context_fail(ctx, FAILURE_DAMAGED, damaged + " (no zip64 end record)");
        count = get_le64(bytes(record) + 32);
        cd_size = get_le64(bytes(record) + 40);
        cd_offset = get_le64(bytes(record) + 48);
    }
    if (count > kMaxEntries || cd_offset > file_size || cd_size > file_size - cd_offset || cd_size > kMaxTable ||
        count > cd_size / 46)
        return context_fail(ctx, FAILURE_DAMAGED, damaged + " (its sizes lie)");
    std::string cd;
    if (!read_at(fd, cd_offset, size_t(cd_size), cd))
        return context_fail_errno(ctx, FAILURE_CANNOT_READ, "cannot read the package", errno);
    entries.reserve(size_t(count));
    uint64_t p = 0;
    for (uint64_t i = 0; i < count; i++) {
        if (cd_size - p < 46 || get_le32(bytes(cd) + p) != 0x02014b50)
            return context_fail(ctx, FAILURE_DAMAGED, damaged);
        const unsigned char *h = bytes(cd) + p;
        package_entry pe;
        pe.method = uint16_t(get_le16(h + 10));
        pe.crc = get_le32(h + 16);
        pe.compressed = get_le32(h + 20);
        pe.size = get_le32(h + 24);
        uint64_t name = get_le16(h + 28), extra = get_le16(h + 30), comment = get_le16(h + 32);
        pe.offset = get_le32(h + 42);
        if (cd_size - p - 46 < name + extra + comment)
            return context_fail(ctx, FAILURE_DAMAGED, damaged);
        pe.name.assign(reinterpret_cast<const char *>(h + 46), size_t(name));
        // zip64: the fields that read 0xFFFFFFFF follow in the extra field, in order.
        for (uint64_t x = 0; x + 4 <= extra;) {
            const unsigned char *f = h + 46 + name + x;
            uint64_t id = get_le16(f), len = get_le16(f + 2);
            if (len > extra - x - 4)
                return context_fail(ctx, FAILURE_DAMAGED, damaged + " (an extra field runs over)");
            if (id == 0x0001) {
                uint64_t q = 0;
                for (uint64_t *v : {&pe.size, &pe.compressed, &pe.offset})
                    if (*v == 0xFFFFFFFF) {
                        if (q + 8 > len)
                            return context_fail(ctx, FAILURE_DAMAGED, damaged + " (a short zip64 field)");
                        *v = get_le64(f + 4 + q);
                        q += 8;
                    }
            }
            x += 4 + len;
        }
        if (pe.offset > file_size || pe.compressed > file_size - pe.offset)
            return context_fail(ctx, FAILURE_DAMAGED, pe.name + ": its entry lies outside the package");
        entries.push_back(std::move(pe));
        p += 46 + name + extra + comment;
    }
    return true;
}

bool extract_entry(int fd, uint64_t file_size, const package_entry &pe, int out_fd, call_context *ctx)
{
    const std::string what = "the package's entry " + pe.name;
    std::string local;
    if (pe.offset > file_size || file_size - pe.offset < 30 || !read_at(fd, pe.offset, 30, local) ||
        get_le32(bytes(local)) != 0x04034b50)
        return context_fail(ctx, FAILURE_DAMAGED, what + ": no local header");
    uint64_t start = pe.offset + 30 + get_le16(bytes(local) + 26) + get_le16(bytes(local) + 28);
    if (start > file_size || pe.compressed > file_size - start)
        return context_fail(ctx, FAILURE_DAMAGED, what + ": its data lies outside the package");
    if (pe.method != 0 && pe.method != 8)
        return context_fail(ctx, FAILURE_UNSUPPORTED, what + ": method " + std::to_string(pe.method));
    const size_t kBlock = 1 << 20;
    std::unique_ptr<unsigned char[]> in(new unsigned char[kBlock]), out(new unsigned char[kBlock]);
    z_stream z{};
    if (pe.method == 8 && inflateInit2(&z, -MAX_WBITS) != Z_OK)
        return context_fail(ctx, FAILURE_CANNOT_READ, "zlib cannot start");
    std::unique_ptr<z_stream, int (*)(z_stream *)> owner(pe.method == 8 ? &z : nullptr, inflateEnd);
    uint64_t read = 0, written = 0;
    uLong crc = crc32(0, nullptr, 0);
    auto put = [&](const unsigned char *data, size_t n) {
        if (n > pe.size - written)
            return context_fail(ctx, FAILURE_DAMAGED, what + ": longer than its size");
        crc = crc32(crc, data, uInt(n));
        if (n && !write_full(out_fd, data, n, int64_t(written)))
            return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "cannot write a base", errno);
        written += n;
        return true;
    };
    for (int status = Z_OK; pe.method == 0 ? read < pe.compressed : status != Z_STREAM_END;) {
        if (pe.method == 0 || z.avail_in == 0) {
            size_t n = size_t(std::min<uint64_t>(kBlock, pe.compressed - read));
            if (n == 0)
                return context_fail(ctx, FAILURE_DAMAGED, what + ": its data ends early");
            if (!read_full(fd, in.get(), n, int64_t(start + read)))
                return context_fail_errno(ctx, FAILURE_CANNOT_READ, "cannot read the package", errno);
            read += n;
            if (pe.method == 0) {
                if (!put(in.get(), n))
                    return false;
                continue;
            }
            z.next_in = in.get();
            z.avail_in = uInt(n);
        }
        z.next_out = out.get();
        z.avail_out = uInt(kBlock);
        status = inflate(&z, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END)
            return context_fail(ctx, FAILURE_DAMAGED, what + ": does not inflate");
        if (!put(out.get(), kBlock - z.avail_out))
            return false;
    }
    if (written != pe.size || crc != pe.crc)
        return context_fail(ctx, FAILURE_DAMAGED, what + ": not the size or CRC its record names");
    return true;
}

}  // namespace delta
