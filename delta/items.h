// What the delta's files share: the item model, the reading and writing of
// the format, hashes and the opening of files others control.
#ifndef DELTA_ITEMS_H
#define DELTA_ITEMS_H

#include "delta.h"
#include "mapped.h"

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>

#include <array>
#include <string>
#include <vector>

namespace delta {

using hash_t = std::array<unsigned char, 32>;  // BLAKE2b-256

enum item_type : uint8_t { ITEM_DIRECTORY = 1, ITEM_FILE = 2, ITEM_LINK = 3 };
enum item_source : uint8_t { SOURCE_NONE = 0, SOURCE_COPY = 1, SOURCE_PATCH = 2, SOURCE_WHOLE = 3 };

const size_t kHeaderSize = 112;
const uint32_t kFormatVersion = 1;
const size_t kMaxPath = 1023;
const uint64_t kMaxItems = 1000000;
const uint64_t kMaxTable = 512ull << 20;  // the item table, uncompressed
const uint64_t kMaxMetadata = 16u << 20;    // as ziputil's metadata entries
const uint64_t kMaxPrefix = 2ull << 30;     // zstd takes no larger base
const uint64_t kMaxFile = 1ull << 50;       // 1 PiB: sums of sizes cannot wrap

// Where a file's entry lies in the release's package (an index's files).
struct entry_place {
    uint64_t header = 0;      // the local header's offset
    uint64_t data = 0;        // where its compressed data starts
    uint64_t compressed = 0;  // bytes from `data`
    uint16_t method = 0;      // 0 stored, 8 deflated
    uint32_t crc = 0;         // CRC-32 of the content
};

// The two tables one item format serves: a delta's (each file's source)
// and a release index's (each file's entry in the package).
enum table_kind { TABLE_DELTA, TABLE_INDEX };

// One item of the new tree.
struct item {
    std::string path;  // relative to the tree, "/"-separated
    uint8_t type = 0;
    uint32_t mode = 0;  // permission bits only
    uint64_t size = 0;  // content bytes, or the link target's
    hash_t hash{};      // of the content or the link target
    std::string metadata;  // AppleDouble stream, empty for none
    std::string target;    // a link's
    uint8_t source = SOURCE_NONE;
    std::string base_path;  // copy and patch: the file of the old tree
    uint64_t base_size = 0;
    hash_t base_hash{};
    uint64_t payload_offset = 0, payload_size = 0;  // patch and whole: one zstd frame
    hash_t payload_hash{};
    entry_place place;  // an index's files
};

struct header {
    uint32_t from_version = 0, to_version = 0;
    uint64_t item_count = 0, table_offset = 0, table_size = 0, table_raw_size = 0;
};

// format.cpp
// The table as stored: its items, compressed by zstd. Empty on failure.
std::string encode_table(const std::vector<item> &items, table_kind kind = TABLE_DELTA);
std::string compress_table(const std::string &raw);
// The header for a table `table` (as stored) at h.table_offset; fills in the
// table's sizes from it.
std::string encode_header(header &h, const std::string &table, uint64_t table_raw_size);
// Reads and checks the header and the table of a delta of `size` bytes
// (payload bytes are checked as they are used). Fails with FAILURE_DAMAGED,
// FAILURE_UNSUPPORTED or FAILURE_REFUSED.
bool decode(const unsigned char *data, uint64_t size, header &h, std::vector<item> &items, call_context *ctx);
// A table's stored zstd frame, of `raw_size` bytes declared, uncompressed
// into `raw`. `what` names the file ("delta", "index") in the failure.
bool unpack_table(const unsigned char *stored, uint64_t stored_size, uint64_t raw_size, std::string &raw,
                  const char *what, call_context *ctx);
// The one item reader of both tables: `item_count` items from `raw`, each
// length checked before use, paths safe and sorted, each folder before its
// content, links inside the tree. `end`: a delta's payloads end there (its
// table offset), an index's entries in a package of that size.
bool decode_items(const std::string &raw, uint64_t item_count, table_kind kind, uint64_t end, std::vector<item> &items,
                  call_context *ctx);
// A relative path with no empty, "." or ".." component, no NUL, at most 1023 bytes.
bool path_is_safe(const std::string &path);
// Whether every link, followed through the tree's own links, stays inside it.
bool links_stay_inside(const std::vector<item> &items, std::string &bad);

// read.cpp
hash_t hash_bytes(const unsigned char *data, size_t size);
// Opens a file that someone else controls (the installed game, the
// publisher's trees, a downloaded delta) for reading, never through a link
// at its name and never waiting: a FIFO opens at once instead of blocking
// until a writer comes. `st` is the opened file's own; the caller refuses
// anything but a regular file. -1 with errno set when it cannot be opened.
int open_for_reading(const std::string &path, struct stat &st);
// The delta at `delta_path`, mapped, with its header and table read and
// checked (decode's failures, or FAILURE_CANNOT_READ).
bool read_delta(const char *delta_path, mapped &m, header &h, std::vector<item> &items, call_context *ctx);

// walk.cpp
struct entry {
    std::string path;  // relative to the root
    struct stat st;    // lstat's
};
// Every item below `root` (rel: "" to start), never following a link;
// paths over 1023 bytes refused.
bool walk(const std::string &root, const std::string &rel, std::vector<entry> &out, call_context *ctx);
// The AppleDouble stream ziputil's pack would store for the item, if any.
bool pack_metadata(const std::string &disk_path, std::string &out, call_context *ctx);

// reuse.cpp
enum reuse_way { REUSE_LINKED, REUSE_CLONED, REUSE_COPIED };
// Puts the installed file open at `fd` (`st` its fstat, `installed_path`
// its name), already checked to be what the new tree needs, at `name` below
// the folder `dir` with the mode `mode`: a hard link to that very inode
// when `plain` (no metadata to apply, not linked before) and its mode is
// `mode`, else a clone, else a copy. False with errno set.
bool reuse_file(int fd, const struct stat &st, const std::string &installed_path, int dir, const std::string &name,
                uint32_t mode, bool plain, reuse_way &way);

// match.cpp
struct old_file {
    std::string path;
    uint64_t size;
    hash_t hash;
    std::vector<uint64_t> samples;  // filled when first needed
    bool sampled = false;
};
// The old file that the new file at `path` is best patched against, or -1.
long choose_base(std::vector<old_file> &old_files, const std::string &old_root, const std::string &path,
                 const unsigned char *data, uint64_t size);

}  // namespace delta

#endif
