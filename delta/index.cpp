// The release index, byte by byte. Numbers little-endian; every length
// checked before use, the items read by the delta's own table reader.
//
// Header, 108 bytes:
//   0   8  magic "VQINDEX\x1a"
//   8   4  format version, 1
//   12  4  the release's version
//   16  4  item count, at most 1,000,000
//   20  8  the package's size in bytes
//   28  8  table size as stored: the table follows the header and ends the file
//   36  8  table size uncompressed, at most 512 MiB
//   44  32 BLAKE2b-256 of the table as stored
//   76  32 BLAKE2b-256 of bytes 0..75
// Table: one zstd frame of items as in a delta's table (path, type, mode,
// size, hash, metadata, a link's target), where a file carries, instead of
// its source, its entry in the package:
//   8  local header offset
//   8  data offset (at least the header's plus 30), the data inside the package
//   8  compressed size
//   2  method: 0 stored (compressed size = size), 8 deflated
//   4  CRC-32 of the content
#include "index.h"

#include "bytes.h"
#include "fsutil.h"
#include "mapped.h"
#include "replace.h"
#include "ziputil.h"

#include <errno.h>
#include <fcntl.h>
#include <sodium.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <map>

using namespace delta;

namespace {

const char kIndexMagic[8] = {'V', 'Q', 'I', 'N', 'D', 'E', 'X', '\x1a'};
const uint32_t kIndexFormat = 1;
const size_t kIndexHeader = 108;

std::string base_name(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file's hash and CRC-32 in one reading.
bool hash_and_crc(const std::string &path, uint64_t size, hash_t &hash, uint32_t &crc, call_context *ctx)
{
    struct stat st;
    Fd fd(open_for_reading(path, st));
    if (fd.fd < 0)
        return context_fail_errno(ctx, FAILURE_CANNOT_READ, "cannot read " + path, errno);
    if (!S_ISREG(st.st_mode) || uint64_t(st.st_size) != size)
        return context_fail(ctx, FAILURE_CANNOT_READ, path + ": changed while the index was made");
    mapped m;
    if (size > 0 && !map_read(fd.fd, 0, size_t(size), m))
        return context_fail_errno(ctx, FAILURE_CANNOT_READ, "cannot read " + path, errno);
    hash = hash_bytes(size ? m.data : nullptr, size_t(size));
    uLong c = crc32(0, nullptr, 0);
    for (uint64_t at = 0; at < size; at += 1u << 30)
        c = crc32(c, m.data + at, uInt(std::min<uint64_t>(1u << 30, size - at)));
    crc = uint32_t(c);
    return true;
}

bool build_items(const char *package, const std::string &root, std::vector<item> &items, uint64_t &package_size,
                 call_context *ctx)
{
    struct stat st;
    if (stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return context_fail(ctx, FAILURE_CANNOT_READ, "no folder at " + root);
    if (stat(package, &st) != 0 || !S_ISREG(st.st_mode))
        return context_fail(ctx, FAILURE_CANNOT_READ, std::string("no package at ") + package);
    package_size = uint64_t(st.st_size);
    std::vector<zip_entry_place> places;
    if (!archive_places(package, places, ctx))
        return false;
    std::map<std::string, const zip_entry_place *> by_name;
    for (const zip_entry_place &p : places)
        by_name[p.name] = &p;
    std::vector<entry> entries;
    if (!walk(root, "", entries, ctx))
        return false;
    std::sort(entries.begin(), entries.end(), [](const entry &a, const entry &b) { return a.path < b.path; });
    const std::string prefix = base_name(root) + "/";
    for (const entry &e : entries) {
        item it;
        it.path = e.path;
        it.mode = e.st.st_mode & 07777;
        std::string disk = root + "/" + e.path;
        if (S_ISDIR(e.st.st_mode)) {
            it.type = ITEM_DIRECTORY;
        } else if (S_ISLNK(e.st.st_mode)) {
            it.type = ITEM_LINK;
            char target[kMaxPath + 1];
            ssize_t n = readlink(disk.c_str(), target, sizeof target);
            if (n <= 0 || size_t(n) > kMaxPath)
                return n < 0 ? context_fail_errno(ctx, FAILURE_CANNOT_READ, "cannot read the link " + disk, errno)
                             : context_fail(ctx, FAILURE_REFUSED, "link target empty or over 1023 bytes: " + disk);
            it.target.assign(target, size_t(n));
            it.size = it.target.size();
            it.hash = hash_bytes(reinterpret_cast<const unsigned char *>(it.target.data()), it.target.size());
            if (!pack_metadata(disk, it.metadata, ctx))
                return false;
        } else if (S_ISREG(e.st.st_mode)) {
            it.type = ITEM_FILE;
            it.size = uint64_t(e.st.st_size);
            uint32_t crc = 0;
            if (!hash_and_crc(disk, it.size, it.hash, crc, ctx) || !pack_metadata(disk, it.metadata, ctx))
                return false;
            auto found = by_name.find(prefix + e.path);
            if (found == by_name.end() || found->second->directory)
                return context_fail(ctx, FAILURE_REFUSED, std::string(package) + " holds no entry " + prefix + e.path);
            const zip_entry_place &p = *found->second;
            if (p.size != it.size || uint32_t(p.crc) != crc)
                return context_fail(ctx, FAILURE_REFUSED, prefix + e.path + ": the package's entry is not the tree's file");
            it.place = entry_place{p.header, p.data, p.compressed, uint16_t(p.method), crc};
        } else {
            return context_fail(ctx, FAILURE_REFUSED, "not a file, a folder or a link: " + disk);
        }
        items.push_back(std::move(it));
    }
    if (items.size() > kMaxItems)
        return context_fail(ctx, FAILURE_REFUSED, "over 1,000,000 items in " + root);
    std::string bad;
    if (!links_stay_inside(items, bad))
        return context_fail(ctx, FAILURE_REFUSED, "a link leaves the tree: " + bad);
    return true;
}

}  // namespace

std::string index_encode(const release_index &index)
{
    std::string raw = encode_table(index.items, TABLE_INDEX), table = compress_table(raw);
    if (table.empty())
        return std::string();
    unsigned char h[kIndexHeader] = {};
    memcpy(h, kIndexMagic, 8);
    put_le32(h + 8, kIndexFormat);
    put_le32(h + 12, index.version);
    put_le32(h + 16, uint32_t(index.items.size()));
    put_le64(h + 20, index.package_size);
    put_le64(h + 28, table.size());
    put_le64(h + 36, raw.size());
    hash_t th = hash_bytes(reinterpret_cast<const unsigned char *>(table.data()), table.size());
    memcpy(h + 44, th.data(), 32);
    hash_t hh = hash_bytes(h, 76);
    memcpy(h + 76, hh.data(), 32);
    return std::string(reinterpret_cast<const char *>(h), sizeof h) + table;
}

int index_decode(const unsigned char *data, uint64_t size, release_index &out, call_context *ctx)
{
    if (sodium_init() < 0)
        return context_fail(ctx, FAILURE_CANNOT_READ, "libsodium cannot start");
    if (size < kIndexHeader || memcmp(data, kIndexMagic, 8) != 0)
        return context_fail(ctx, FAILURE_DAMAGED, "not a release index (no index header)");
    hash_t stored{};
    memcpy(stored.data(), data + 76, 32);
    if (hash_bytes(data, 76) != stored)
        return context_fail(ctx, FAILURE_DAMAGED, "damaged index header");
    uint32_t format = get_le32(data + 8);
    if (format != kIndexFormat)
        return context_fail(ctx, FAILURE_UNSUPPORTED, "index format " + std::to_string(format) + ", this build reads format " +
                                                          std::to_string(kIndexFormat));
    uint64_t count = get_le32(data + 16), table_size = get_le64(data + 28), raw_size = get_le64(data + 36);
    if (table_size != size - kIndexHeader)
        return context_fail(ctx, FAILURE_DAMAGED, "truncated or damaged index: the table does not end the file");
    if (count > kMaxItems)
        return context_fail(ctx, FAILURE_DAMAGED, "index with " + std::to_string(count) + " items");
    memcpy(stored.data(), data + 44, 32);
    if (hash_bytes(data + kIndexHeader, size_t(table_size)) != stored)
        return context_fail(ctx, FAILURE_DAMAGED, "damaged index table");
    release_index index;
    index.version = get_le32(data + 12);
    index.package_size = get_le64(data + 20);
    std::string raw;
    if (!unpack_table(data + kIndexHeader, table_size, raw_size, raw, "index", ctx) ||
        !decode_items(raw, count, TABLE_INDEX, index.package_size, index.items, ctx))
        return 0;
    out = std::move(index);
    return 1;
}

int index_read(const char *path, release_index &out, call_context *ctx)
{
    struct stat st;
    Fd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.fd < 0 || fstat(fd.fd, &st) != 0)
        return context_fail_errno(ctx, FAILURE_CANNOT_READ, std::string("cannot read ") + path, errno);
    if (!S_ISREG(st.st_mode))
        return context_fail(ctx, FAILURE_CANNOT_READ, std::string("not a file: ") + path);
    mapped m;
    if (st.st_size == 0)
        return context_fail(ctx, FAILURE_DAMAGED, std::string("empty index: ") + path);
    if (!map_read(fd.fd, 0, size_t(st.st_size), m))
        return context_fail_errno(ctx, FAILURE_CANNOT_READ, std::string("cannot read ") + path, errno);
    return index_decode(m.data, m.size, out, ctx);
}

int index_make(const char *package, const char *tree, uint32_t version, const char *index_path, call_context *ctx)
{
    call_context local;
    ctx = ctx ? ctx : &local;
    context_start(ctx);
    if (sodium_init() < 0)
        return context_fail(ctx, FAILURE_CANNOT_WRITE, "libsodium cannot start");
    release_index index;
    index.version = version;
    if (!build_items(package, tree, index.items, index.package_size, ctx))
        return 0;
    std::string bytes = index_encode(index);
    if (bytes.empty())
        return context_fail(ctx, FAILURE_CANNOT_WRITE, "cannot compress the index's table");
    if (!replace_file(index_path, bytes.data(), bytes.size(), 0644, DURABLE_NONE))
        return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, std::string("cannot write ") + index_path, errno);
    return 1;
}

bool index_file_matches(const std::string &path, const item &it)
{
    struct stat st;
    Fd fd(open_for_reading(path, st));
    if (fd.fd < 0 || !S_ISREG(st.st_mode) || uint64_t(st.st_size) != it.size)
        return false;
    if (it.size == 0)
        return hash_bytes(nullptr, 0) == it.hash;
    mapped m;
    return map_read(fd.fd, 0, size_t(it.size), m) && hash_bytes(m.data, m.size) == it.hash;
}
