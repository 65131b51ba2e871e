// The delta file and the release index, byte by byte. All numbers are
// little-endian; every length is bounded and checked against what is left
// before anything is used. One header layout and one item table serve both.
//
// Header, 112 bytes:
//   0   8  magic "VQDELTA\x1a" (a delta) or "VQINDEX\x1a" (an index)
//   8   4  format version: a delta 1 or 2 (this build writes 2), an index 1
//   12  4  a delta's from version (the installed one); an index's version
//   16  4  a delta's to version (the one rebuilt); 0 in an index
//   20  4  item count, at most 1,000,000
//   24  8  table offset: a delta's 112 + its payloads' bytes; an index's 120
//   32  8  table size as stored: the table ends the file
//   40  8  table size uncompressed, at most 512 MiB
//   48  32 BLAKE2b-256 of the table as stored
//   80  32 BLAKE2b-256 of bytes 0..79
// A delta's payloads, from byte 112: zstd frames (content size and checksum
// in their headers) and suffix-array patches. An index's bytes 112..119: the
// size of the release's package, which every entry lies inside.
// Table: one zstd frame holding the tree's items (the paths and hashes of a
// tree of thousands of unchanged files would otherwise outweigh its
// patches), sorted by path bytes, each parent directory before what it holds.
// One item:
//   2  path length P, 1..1023
//   P  path, relative: no empty, "." or ".." component, no NUL
//   1  type: 1 directory, 2 file, 3 link
//   4  mode: permission bits (07777)
//   8  size: a file's bytes (at most 1 PiB), a link target's bytes, 0 for a directory
//   32 BLAKE2b-256 of the content or the link target (zeros for a directory)
//   a delta's item:
//   4  metadata length M, at most 16 MiB
//   M  the item's Mac metadata as an AppleDouble stream (ziputil's copyfile)
//   an index's item:
//   32 BLAKE2b-256 of that stream, zeros for none
//   48 the data entry's local header offset, compressed and uncompressed
//      sizes in the package, then the metadata entry's; zeros for none
//   then, for a link:
//   S  the target (S = size, 1..1023), relative, staying inside the tree
//   for a delta's file:
//   1  source: 1 copy of a base, 2 patch against a base, 3 whole content,
//      4 patch in segments, 5 suffix-array patch (4 and 5: format 2)
//   copy:
//     2  base path length B, 0..1023 (0: the same path); B base path, relative
//        to the old tree. The base's size and hash are the item's own.
//   patch, segments, suffix:
//     2  base path length B, 1..1023; B base path
//     8  base size (at most 2 GiB for a patch)
//     32 BLAKE2b-256 of the base
//   patch, whole and suffix:
//     8  payload offset, 8 payload size: inside 112..table offset
//     32 BLAKE2b-256 of the payload
//   segments:
//     4  count N, 1..65536; then N times: 8 base offset, 8 base length (at
//        most 2 GiB, inside the base), 8 result bytes (they add up to the
//        size), 8 payload offset, 8 payload size, 32 BLAKE2b-256 of the payload
#include "items.h"

#include "bytes.h"

#include <string.h>
#include <zstd.h>

#include <set>

namespace delta {

namespace {

// The fewest bytes of one item: path length, a 1-byte path, type, mode,
// size, hash and metadata length.
const uint64_t kMinItem = 2 + 1 + 1 + 4 + 8 + 32 + 4;

// `value` as `bytes` (1, 2, 4 or 8) little-endian bytes at the end of `out`.
void put(std::string &out, uint64_t value, int bytes)
{
    unsigned char b[8];
    switch (bytes) {
    case 1: b[0] = uint8_t(value); break;
    case 2: put_le16(b, uint32_t(value)); break;
    case 4: put_le32(b, uint32_t(value)); break;
    default: put_le64(b, value); break;
    }
    out.append(reinterpret_cast<const char *>(b), size_t(bytes));
}

void put_hash(std::string &out, const hash_t &h) { out.append(reinterpret_cast<const char *>(h.data()), h.size()); }

// A cursor that refuses to step past its end.
struct reader {
    const unsigned char *p;
    uint64_t left;
    bool ok = true;
    uint64_t number(int bytes)
    {
        if (!ok || left < uint64_t(bytes))
            return ok = false, 0;
        uint64_t v = bytes == 1 ? p[0] : bytes == 2 ? get_le16(p) : bytes == 4 ? get_le32(p) : get_le64(p);
        p += bytes, left -= bytes;
        return v;
    }
    std::string text(uint64_t n)
    {
        if (!ok || left < n)
            return ok = false, std::string();
        std::string s(reinterpret_cast<const char *>(p), size_t(n));
        p += n, left -= n;
        return s;
    }
    hash_t hash()
    {
        hash_t h{};
        if (!ok || left < h.size())
            return ok = false, h;
        memcpy(h.data(), p, h.size());
        p += h.size(), left -= h.size();
        return h;
    }
};

void put_entry(std::string &out, const entry_ref &e)
{
    put(out, e.offset, 8);
    put(out, e.compressed, 8);
    put(out, e.size, 8);
}

entry_ref get_entry(reader &r)
{
    entry_ref e;
    e.offset = r.number(8);
    e.compressed = r.number(8);
    e.size = r.number(8);
    return e;
}

// Whether [offset, offset + size) lies inside [start, end), without wrapping.
bool inside(uint64_t offset, uint64_t size, uint64_t start, uint64_t end)
{
    return offset >= start && offset <= end && size <= end - offset;
}

}  // namespace

std::string encode_table(const std::vector<item> &items, table_kind kind)
{
    std::string out;
    for (const item &it : items) {
        put(out, it.path.size(), 2);
        out += it.path;
        put(out, it.type, 1);
        put(out, it.mode, 4);
        put(out, it.size, 8);
        put_hash(out, it.hash);
        if (kind == TABLE_INDEX) {
            put_hash(out, it.metadata_hash);
            put_entry(out, it.entry);
            put_entry(out, it.metadata_entry);
        } else {
            put(out, it.metadata.size(), 4);
            out += it.metadata;
        }
        if (it.type == ITEM_LINK)
            out += it.target;
        if (it.type != ITEM_FILE || kind == TABLE_INDEX)
            continue;
        put(out, it.source, 1);
        if (it.source == SOURCE_COPY) {
            std::string base = it.base_path == it.path ? std::string() : it.base_path;
            put(out, base.size(), 2);
            out += base;
        } else if (it.source != SOURCE_WHOLE) {
            put(out, it.base_path.size(), 2);
            out += it.base_path;
            put(out, it.base_size, 8);
            put_hash(out, it.base_hash);
        }
        if (it.source == SOURCE_PATCH || it.source == SOURCE_WHOLE || it.source == SOURCE_SUFFIX) {
            put(out, it.payload_offset, 8);
            put(out, it.payload_size, 8);
            put_hash(out, it.payload_hash);
        }
        if (it.source == SOURCE_SEGMENTS) {
            put(out, it.segments.size(), 4);
            for (const segment &s : it.segments) {
                put(out, s.base_offset, 8);
                put(out, s.base_size, 8);
                put(out, s.size, 8);
                put(out, s.payload_offset, 8);
                put(out, s.payload_size, 8);
                put_hash(out, s.payload_hash);
            }
        }
    }
    return out;
}

std::string compress_table(const std::string &raw)
{
    std::string out(ZSTD_compressBound(raw.size()), '\0');
    size_t n = ZSTD_compress(&out[0], out.size(), raw.data(), raw.size(), 19);
    if (ZSTD_isError(n))
        return std::string();
    out.resize(n);
    return out;
}

std::string encode_header(header &h, const std::string &table, uint64_t table_raw_size, const char *magic)
{
    h.table_size = table.size();
    h.table_raw_size = table_raw_size;
    std::string out(magic, 8);
    put(out, h.format, 4);
    put(out, h.from_version, 4);
    put(out, h.to_version, 4);
    put(out, h.item_count, 4);
    put(out, h.table_offset, 8);
    put(out, h.table_size, 8);
    put(out, h.table_raw_size, 8);
    put_hash(out, hash_bytes(reinterpret_cast<const unsigned char *>(table.data()), table.size()));
    put_hash(out, hash_bytes(reinterpret_cast<const unsigned char *>(out.data()), out.size()));
    return out;
}

bool decode_sealed(const unsigned char *data, uint64_t size, const char *magic, uint32_t oldest, uint32_t newest,
                   header &h, std::string &raw, call_context *ctx)
{
    const std::string what = memcmp(magic, kIndexMagic, 8) == 0 ? "index" : "delta";
    if (size < kHeaderSize || memcmp(data, magic, 8) != 0)
        return context_fail(ctx, FAILURE_DAMAGED, "not a " + what + " (no " + what + " header)");
    reader r{data + 8, kHeaderSize - 8};
    h.format = uint32_t(r.number(4));
    h.from_version = uint32_t(r.number(4));
    h.to_version = uint32_t(r.number(4));
    h.item_count = r.number(4);
    h.table_offset = r.number(8);
    h.table_size = r.number(8);
    h.table_raw_size = r.number(8);
    hash_t table_hash = r.hash(), header_hash = r.hash();
    if (hash_bytes(data, 80) != header_hash)
        return context_fail(ctx, FAILURE_DAMAGED, "damaged " + what + " header");
    if (h.format < oldest || h.format > newest)
        return context_fail(ctx, FAILURE_UNSUPPORTED, what + " format " + std::to_string(h.format) +
                                                          ", this build reads formats " + std::to_string(oldest) +
                                                          " to " + std::to_string(newest));
    if (h.table_offset < kHeaderSize || h.table_offset > size || h.table_size != size - h.table_offset)
        return context_fail(ctx, FAILURE_DAMAGED, "truncated or damaged " + what + ": the table does not end the file");
    if (h.item_count > kMaxItems)
        return context_fail(ctx, FAILURE_DAMAGED, what + " with " + std::to_string(h.item_count) + " items");
    if (hash_bytes(data + h.table_offset, size_t(h.table_size)) != table_hash)
        return context_fail(ctx, FAILURE_DAMAGED, "damaged " + what + " table");
    if (h.table_raw_size > kMaxTable ||
        ZSTD_getFrameContentSize(data + h.table_offset, size_t(h.table_size)) != h.table_raw_size)
        return context_fail(ctx, FAILURE_DAMAGED, what + " table of a size out of bounds or other than declared");
    // Every item takes at least kMinItem bytes: a count the table cannot
    // hold is a lie, found before room for that many items is taken.
    if (h.item_count > h.table_raw_size / kMinItem)
        return context_fail(ctx, FAILURE_DAMAGED, "a " + what + " table of " + std::to_string(h.table_raw_size) +
                                                      " bytes cannot hold " + std::to_string(h.item_count) + " items");
    raw.assign(size_t(h.table_raw_size), '\0');
    size_t n = ZSTD_decompress(&raw[0], raw.size(), data + h.table_offset, size_t(h.table_size));
    if (ZSTD_isError(n) || n != raw.size())
        return context_fail(ctx, FAILURE_DAMAGED, "damaged " + what + " table");
    return true;
}

namespace {

// The sources of a delta's file after its common fields; false for a
// refusal (recorded). A cut table is left to the caller (t.ok false).
bool decode_source(reader &t, item &it, const header &h, call_context *ctx)
{
    it.source = uint8_t(t.number(1));
    const uint8_t newest = h.format >= 2 ? SOURCE_SUFFIX : SOURCE_WHOLE;
    if (it.source < SOURCE_COPY || it.source > newest)
        return context_fail(ctx, FAILURE_DAMAGED, it.path + ": unknown source " + std::to_string(it.source));
    if (it.source == SOURCE_COPY) {
        it.base_path = t.text(t.number(2));
        if (it.base_path.empty())
            it.base_path = it.path;
        it.base_size = it.size;
        it.base_hash = it.hash;
    } else if (it.source != SOURCE_WHOLE) {
        it.base_path = t.text(t.number(2));
        it.base_size = t.number(8);
        it.base_hash = t.hash();
        if (it.source == SOURCE_PATCH && it.base_size > kMaxPrefix)
            return context_fail(ctx, FAILURE_DAMAGED, it.path + ": a base over 2 GiB");
        if (it.base_size > kMaxFile)
            return context_fail(ctx, FAILURE_DAMAGED, it.path + ": a base of " + std::to_string(it.base_size) + " bytes");
    }
    if (t.ok && it.source != SOURCE_WHOLE && !path_is_safe(it.base_path))
        return context_fail(ctx, FAILURE_REFUSED, "refusing the base path \"" + it.base_path.substr(0, 64) + "\"");
    const std::string outside = it.path + ": its payload lies outside the delta";
    if (it.source == SOURCE_PATCH || it.source == SOURCE_WHOLE || it.source == SOURCE_SUFFIX) {
        it.payload_offset = t.number(8);
        it.payload_size = t.number(8);
        it.payload_hash = t.hash();
        if (t.ok && (!inside(it.payload_offset, it.payload_size, kHeaderSize, h.table_offset) || it.payload_size == 0))
            return context_fail(ctx, FAILURE_DAMAGED, outside);
    }
    if (it.source == SOURCE_SEGMENTS) {
        uint64_t count = t.number(4), total = 0;
        if (t.ok && (count == 0 || count > kMaxSegments || count > t.left / 72))
            return context_fail(ctx, FAILURE_DAMAGED, it.path + ": " + std::to_string(count) + " segments");
        for (uint64_t i = 0; t.ok && i < count; i++) {
            segment s;
            s.base_offset = t.number(8);
            s.base_size = t.number(8);
            s.size = t.number(8);
            s.payload_offset = t.number(8);
            s.payload_size = t.number(8);
            s.payload_hash = t.hash();
            if (!t.ok)
                break;
            if (s.base_size > kMaxPrefix || !inside(s.base_offset, s.base_size, 0, it.base_size))
                return context_fail(ctx, FAILURE_DAMAGED, it.path + ": a segment's base lies outside its base");
            if (!inside(s.payload_offset, s.payload_size, kHeaderSize, h.table_offset) || s.payload_size == 0)
                return context_fail(ctx, FAILURE_DAMAGED, outside);
            if (s.size > it.size - total)  // total <= it.size: the sum cannot wrap
                return context_fail(ctx, FAILURE_DAMAGED, it.path + ": its segments hold more than its size");
            total += s.size;
            it.segments.push_back(s);
        }
        if (t.ok && total != it.size)
            return context_fail(ctx, FAILURE_DAMAGED, it.path + ": its segments hold less than its size");
    }
    return true;
}

}  // namespace

bool decode_table(const std::string &raw, const header &h, table_kind kind, uint64_t package_size,
                  std::vector<item> &items, call_context *ctx)
{
    const std::string what = kind == TABLE_INDEX ? "index" : "delta";
    reader t{reinterpret_cast<const unsigned char *>(raw.data()), raw.size()};
    std::set<std::string> directories;
    items.clear();
    items.reserve(size_t(h.item_count));
    for (uint64_t i = 0; i < h.item_count; i++) {
        item it;
        it.path = t.text(t.number(2));
        it.type = uint8_t(t.number(1));
        it.mode = uint32_t(t.number(4));
        it.size = t.number(8);
        it.hash = t.hash();
        if (kind == TABLE_INDEX) {
            it.metadata_hash = t.hash();
            it.entry = get_entry(t);
            it.metadata_entry = get_entry(t);
            for (const entry_ref &e : {it.entry, it.metadata_entry})
                if (t.ok && !inside(e.offset, e.compressed, 0, package_size))
                    return context_fail(ctx, FAILURE_DAMAGED, it.path + ": its entry lies outside the package");
        } else {
            uint64_t metadata = t.number(4);
            if (metadata > kMaxMetadata)
                return context_fail(ctx, FAILURE_DAMAGED, "metadata of " + it.path + " over 16 MiB");
            it.metadata = t.text(metadata);
        }
        if (!t.ok)
            return context_fail(ctx, FAILURE_DAMAGED, "truncated " + what + " table");
        if (!path_is_safe(it.path))
            return context_fail(ctx, FAILURE_REFUSED, "refusing the path \"" + it.path.substr(0, 64) + "\"");
        if (!items.empty() && !(items.back().path < it.path))
            return context_fail(ctx, FAILURE_DAMAGED, "items out of order at " + it.path);
        std::string parent = parent_of(it.path);
        if (!parent.empty() && !directories.count(parent))
            return context_fail(ctx, FAILURE_REFUSED, it.path + ": its folder is not a folder of the tree");
        if (it.size > kMaxFile)
            return context_fail(ctx, FAILURE_DAMAGED, it.path + ": a size of " + std::to_string(it.size) + " bytes");
        if (it.mode & ~07777u)
            return context_fail(ctx, FAILURE_DAMAGED, it.path + ": mode " + std::to_string(it.mode));
        if (it.type == ITEM_DIRECTORY) {
            directories.insert(it.path);
        } else if (it.type == ITEM_LINK) {
            if (it.size == 0 || it.size > kMaxPath)
                return context_fail(ctx, FAILURE_DAMAGED, it.path + ": link target of " + std::to_string(it.size) + " bytes");
            it.target = t.text(it.size);
        } else if (it.type == ITEM_FILE) {
            if (kind == TABLE_DELTA && !decode_source(t, it, h, ctx))
                return false;
        } else {
            return context_fail(ctx, FAILURE_DAMAGED, it.path + ": unknown item type " + std::to_string(it.type));
        }
        if (!t.ok)
            return context_fail(ctx, FAILURE_DAMAGED, "truncated " + what + " table");
        items.push_back(std::move(it));
    }
    if (t.left != 0)
        return context_fail(ctx, FAILURE_DAMAGED, "bytes after the " + what + "'s last item");
    std::string bad;
    if (!links_stay_inside(items, bad))
        return context_fail(ctx, FAILURE_REFUSED, "refusing a link that leaves the tree: " + bad);
    return true;
}

bool decode(const unsigned char *data, uint64_t size, header &h, std::vector<item> &items, call_context *ctx)
{
    std::string raw;
    return decode_sealed(data, size, kDeltaMagic, kOldestFormat, kFormatVersion, h, raw, ctx) &&
           decode_table(raw, h, TABLE_DELTA, 0, items, ctx);
}

}  // namespace delta
