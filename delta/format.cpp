// The delta file, byte by byte. All numbers are little-endian; every length
// is bounded and checked against what is left before anything is used.
//
// Header, 112 bytes:
//   0   8  magic "VQDELTA\x1a"
//   8   4  format version, 1
//   12  4  from version (the installed one)
//   16  4  to version (the one rebuilt)
//   20  4  item count, at most 1,000,000
//   24  8  table offset: 112 + the payloads' bytes
//   32  8  table size as stored: the table ends the file
//   40  8  table size uncompressed, at most 512 MiB
//   48  32 BLAKE2b-256 of the table as stored
//   80  32 BLAKE2b-256 of bytes 0..79
// Payloads, from byte 112: one zstd frame each (content size and checksum in
// its header); a patch has its base file as zstd's prefix.
// Table: one zstd frame holding the new tree's items (the paths and hashes of
// a tree of thousands of unchanged files would otherwise outweigh its
// patches), sorted by path bytes, each parent directory before what it holds.
// One item:
//   2  path length P, 1..1023
//   P  path, relative: no empty, "." or ".." component, no NUL
//   1  type: 1 directory, 2 file, 3 link
//   4  mode: permission bits (07777)
//   8  size: a file's bytes (at most 1 PiB), a link target's bytes, 0 for a directory
//   32 BLAKE2b-256 of the content or the link target (zeros for a directory)
//   4  metadata length M, at most 16 MiB
//   M  the item's Mac metadata as an AppleDouble stream (ziputil's copyfile)
//   then, for a link:
//   S  the target (S = size, 1..1023), relative, staying inside the tree
//   for a file:
//   1  source: 1 copy of a base, 2 patch against a base, 3 whole content
//   copy:
//     2  base path length B, 0..1023 (0: the same path); B base path, relative
//        to the old tree. The base's size and hash are the item's own.
//   patch:
//     2  base path length B, 1..1023; B base path
//     8  base size
//     32 BLAKE2b-256 of the base
//   patch and whole:
//     8  payload offset, 8 payload size: inside 112..table offset
//     32 BLAKE2b-256 of the payload
#include "items.h"

#include "bytes.h"

#include <string.h>
#include <zstd.h>

#include <map>
#include <set>

namespace delta {

namespace {

const char kMagic[8] = {'V', 'Q', 'D', 'E', 'L', 'T', 'A', '\x1a'};
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

// A cursor over the table that refuses to step past its end.
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

// An index's file: where its entry lies in a package of `end` bytes.
bool read_place(reader &t, item &it, uint64_t end, call_context *ctx)
{
    entry_place &p = it.place;
    p.header = t.number(8);
    p.data = t.number(8);
    p.compressed = t.number(8);
    p.method = uint16_t(t.number(2));
    p.crc = uint32_t(t.number(4));
    if (!t.ok)
        return context_fail(ctx, FAILURE_DAMAGED, "truncated index table");
    if (p.method != 0 && p.method != 8)
        return context_fail(ctx, FAILURE_UNSUPPORTED, it.path + ": entry method " + std::to_string(p.method));
    // A local header is 30 bytes and a name: the data starts after both.
    if (p.header > end || end - p.header < 30 || p.data < p.header + 30 || p.data > end ||
        p.compressed > end - p.data || (p.method == 0 && p.compressed != it.size))
        return context_fail(ctx, FAILURE_DAMAGED, it.path + ": its entry lies outside the package");
    return true;
}

std::string parent_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

bool path_is_safe(const std::string &path)
{
    if (path.empty() || path.size() > kMaxPath || path.find('\0') != std::string::npos)
        return false;
    size_t start = 0;
    for (;;) {
        size_t slash = path.find('/', start);
        std::string part = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (part.empty() || part == "." || part == "..")
            return false;
        if (slash == std::string::npos)
            return true;
        start = slash + 1;
    }
}

// Follows each link the way the kernel would, through the other links of
// the tree (which, in a fresh staged folder, is all there is), and refuses
// one that climbs above the tree's root or does not settle.
bool links_stay_inside(const std::vector<item> &items, std::string &bad)
{
    std::map<std::string, std::string> links;
    for (const item &it : items)
        if (it.type == ITEM_LINK)
            links[it.path] = it.target;
    for (const auto &link : links) {
        bad = link.first + " -> " + link.second;
        if (link.second.empty() || link.second[0] == '/' || link.second.size() > kMaxPath ||
            link.second.find('\0') != std::string::npos)
            return false;
        std::vector<std::string> at;  // components below the root
        std::string parent = parent_of(link.first);
        for (size_t s = 0; !parent.empty() && s <= parent.size();) {
            size_t e = parent.find('/', s);
            if (e == std::string::npos)
                e = parent.size();
            at.push_back(parent.substr(s, e - s));
            s = e + 1;
        }
        std::vector<std::string> todo;  // reversed: the next component last
        auto push = [&](const std::string &text) {
            std::vector<std::string> parts;
            for (size_t s = 0; s <= text.size();) {
                size_t e = text.find('/', s);
                if (e == std::string::npos)
                    e = text.size();
                parts.push_back(text.substr(s, e - s));
                s = e + 1;
            }
            todo.insert(todo.end(), parts.rbegin(), parts.rend());
        };
        push(link.second);
        int hops = 0;
        while (!todo.empty()) {
            std::string part = todo.back();
            todo.pop_back();
            if (part.empty() || part == ".")
                continue;
            if (part == "..") {
                if (at.empty())
                    return false;
                at.pop_back();
                continue;
            }
            at.push_back(part);
            std::string joined;
            for (const std::string &c : at)
                joined += (joined.empty() ? "" : "/") + c;
            auto next = links.find(joined);
            if (next == links.end())
                continue;
            if (++hops > 40 || next->second.empty() || next->second[0] == '/')
                return false;
            at.pop_back();
            push(next->second);
        }
    }
    bad.clear();
    return true;
}

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
        put(out, it.metadata.size(), 4);
        out += it.metadata;
        if (it.type == ITEM_LINK)
            out += it.target;
        if (it.type != ITEM_FILE)
            continue;
        if (kind == TABLE_INDEX) {
            put(out, it.place.header, 8);
            put(out, it.place.data, 8);
            put(out, it.place.compressed, 8);
            put(out, it.place.method, 2);
            put(out, it.place.crc, 4);
            continue;
        }
        put(out, it.source, 1);
        if (it.source == SOURCE_COPY) {
            std::string base = it.base_path == it.path ? std::string() : it.base_path;
            put(out, base.size(), 2);
            out += base;
        }
        if (it.source == SOURCE_PATCH) {
            put(out, it.base_path.size(), 2);
            out += it.base_path;
            put(out, it.base_size, 8);
            put_hash(out, it.base_hash);
        }
        if (it.source == SOURCE_PATCH || it.source == SOURCE_WHOLE) {
            put(out, it.payload_offset, 8);
            put(out, it.payload_size, 8);
            put_hash(out, it.payload_hash);
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

std::string encode_header(header &h, const std::string &table, uint64_t table_raw_size)
{
    h.table_size = table.size();
    h.table_raw_size = table_raw_size;
    std::string out(kMagic, sizeof kMagic);
    put(out, kFormatVersion, 4);
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

bool unpack_table(const unsigned char *stored, uint64_t stored_size, uint64_t raw_size, std::string &raw,
                  const char *what, call_context *ctx)
{
    const std::string noun = what;
    if (raw_size > kMaxTable || ZSTD_getFrameContentSize(stored, size_t(stored_size)) != raw_size)
        return context_fail(ctx, FAILURE_DAMAGED, noun + " table of a size out of bounds or other than declared");
    raw.assign(size_t(raw_size), '\0');
    size_t n = ZSTD_decompress(&raw[0], raw.size(), stored, size_t(stored_size));
    if (ZSTD_isError(n) || n != raw.size())
        return context_fail(ctx, FAILURE_DAMAGED, "damaged " + noun + " table");
    return true;
}

bool decode(const unsigned char *data, uint64_t size, header &h, std::vector<item> &items, call_context *ctx)
{
    if (size < kHeaderSize || memcmp(data, kMagic, sizeof kMagic) != 0)
        return context_fail(ctx, FAILURE_DAMAGED, "not a delta (no delta header)");
    reader r{data + 8, kHeaderSize - 8};
    uint32_t version = uint32_t(r.number(4));
    h.from_version = uint32_t(r.number(4));
    h.to_version = uint32_t(r.number(4));
    h.item_count = r.number(4);
    h.table_offset = r.number(8);
    h.table_size = r.number(8);
    h.table_raw_size = r.number(8);
    hash_t table_hash = r.hash(), header_hash = r.hash();
    if (hash_bytes(data, 80) != header_hash)
        return context_fail(ctx, FAILURE_DAMAGED, "damaged delta header");
    if (version != kFormatVersion)
        return context_fail(ctx, FAILURE_UNSUPPORTED, "delta format " + std::to_string(version) + ", this build reads format " +
                                           std::to_string(kFormatVersion));
    if (h.table_offset < kHeaderSize || h.table_offset > size || h.table_size != size - h.table_offset)
        return context_fail(ctx, FAILURE_DAMAGED, "truncated or damaged delta: the table does not end the file");
    if (h.item_count > kMaxItems)
        return context_fail(ctx, FAILURE_DAMAGED, "delta with " + std::to_string(h.item_count) + " items");
    if (hash_bytes(data + h.table_offset, size_t(h.table_size)) != table_hash)
        return context_fail(ctx, FAILURE_DAMAGED, "damaged delta table");
    std::string raw;
    return unpack_table(data + h.table_offset, h.table_size, h.table_raw_size, raw, "delta", ctx) &&
           decode_items(raw, h.item_count, TABLE_DELTA, h.table_offset, items, ctx);
}

bool decode_items(const std::string &raw, uint64_t item_count, table_kind kind, uint64_t end, std::vector<item> &items,
                  call_context *ctx)
{
    const std::string noun = kind == TABLE_INDEX ? "index" : "delta";
    // Every item takes at least kMinItem bytes: a count the table cannot
    // hold is a lie, found before room for that many items is taken.
    if (item_count > raw.size() / kMinItem)
        return context_fail(ctx, FAILURE_DAMAGED, "a " + noun + " table of " + std::to_string(raw.size()) +
                                                      " bytes cannot hold " + std::to_string(item_count) + " items");
    reader t{reinterpret_cast<const unsigned char *>(raw.data()), raw.size()};
    std::set<std::string> directories;
    items.clear();
    items.reserve(size_t(item_count));
    for (uint64_t i = 0; i < item_count; i++) {
        item it;
        it.path = t.text(t.number(2));
        it.type = uint8_t(t.number(1));
        it.mode = uint32_t(t.number(4));
        it.size = t.number(8);
        it.hash = t.hash();
        uint64_t metadata = t.number(4);
        if (metadata > kMaxMetadata)
            return context_fail(ctx, FAILURE_DAMAGED, "metadata of " + it.path + " over 16 MiB");
        it.metadata = t.text(metadata);
        if (!t.ok)
            return context_fail(ctx, FAILURE_DAMAGED, "truncated " + noun + " table");
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
        } else if (it.type == ITEM_FILE && kind == TABLE_INDEX) {
            if (!read_place(t, it, end, ctx))
                return false;
        } else if (it.type == ITEM_FILE) {
            it.source = uint8_t(t.number(1));
            if (it.source != SOURCE_COPY && it.source != SOURCE_PATCH && it.source != SOURCE_WHOLE)
                return context_fail(ctx, FAILURE_DAMAGED, it.path + ": unknown source " + std::to_string(it.source));
            if (it.source == SOURCE_COPY) {
                it.base_path = t.text(t.number(2));
                if (it.base_path.empty())
                    it.base_path = it.path;
                it.base_size = it.size;
                it.base_hash = it.hash;
            }
            if (it.source == SOURCE_PATCH) {
                it.base_path = t.text(t.number(2));
                it.base_size = t.number(8);
                it.base_hash = t.hash();
                if (it.base_size > kMaxPrefix)
                    return context_fail(ctx, FAILURE_DAMAGED, it.path + ": a base over 2 GiB");
            }
            if (t.ok && it.source != SOURCE_WHOLE && !path_is_safe(it.base_path))
                return context_fail(ctx, FAILURE_REFUSED, "refusing the base path \"" + it.base_path.substr(0, 64) + "\"");
            if (it.source == SOURCE_PATCH || it.source == SOURCE_WHOLE) {
                it.payload_offset = t.number(8);
                it.payload_size = t.number(8);
                it.payload_hash = t.hash();
                if (t.ok && (it.payload_offset < kHeaderSize || it.payload_offset > end ||
                             it.payload_size > end - it.payload_offset || it.payload_size == 0))
                    return context_fail(ctx, FAILURE_DAMAGED, it.path + ": its payload lies outside the delta");
            }
        } else {
            return context_fail(ctx, FAILURE_DAMAGED, it.path + ": unknown item type " + std::to_string(it.type));
        }
        if (!t.ok)
            return context_fail(ctx, FAILURE_DAMAGED, "truncated " + noun + " table");
        items.push_back(std::move(it));
    }
    if (t.left != 0)
        return context_fail(ctx, FAILURE_DAMAGED, "bytes after the " + noun + "'s last item");
    std::string bad;
    if (!links_stay_inside(items, bad))
        return context_fail(ctx, FAILURE_REFUSED, "refusing a link that leaves the tree: " + bad);
    return true;
}

}  // namespace delta
