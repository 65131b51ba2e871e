// What the delta's files share: the item model, the reading and writing of
// the format, hashes and the opening of files others control.
#ifndef DELTA_ITEMS_H
#define DELTA_ITEMS_H

#include "delta.h"
#include "fsutil.h"
#include "mapped.h"

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>

#include <array>
#include <functional>
#include <map>
#include <set>
#include <unordered_map>
#include <string>
#include <vector>

typedef struct ZSTD_CCtx_s ZSTD_CCtx;

namespace delta {

using hash_t = std::array<unsigned char, 32>;  // BLAKE2b-256

enum item_type : uint8_t { ITEM_DIRECTORY = 1, ITEM_FILE = 2, ITEM_LINK = 3 };
// Where a file of a delta comes from. SEGMENTS and SUFFIX come with
// format 2; a format-1 delta holds only the first three.
enum item_source : uint8_t {
    SOURCE_NONE = 0,
    SOURCE_COPY = 1,      // the base as it is
    SOURCE_PATCH = 2,     // one zstd frame with the whole base as its prefix
    SOURCE_WHOLE = 3,     // one zstd frame of the content alone
    SOURCE_SEGMENTS = 4,  // zstd frames of consecutive stretches, each against a window of the base
    SOURCE_SUFFIX = 5,    // a suffix-array patch: control, difference and extra streams (sapatch.cpp)
};

const size_t kHeaderSize = 112;
const uint32_t kFormatVersion = 2;     // what this build writes
const uint32_t kOldestFormat = 1;      // the oldest it still reads
const size_t kMaxPath = 1023;
const uint64_t kMaxItems = 1000000;
const uint64_t kMaxTable = 512ull << 20;  // the item table, uncompressed
const uint64_t kMaxMetadata = 16u << 20;    // as ziputil's metadata entries
const uint64_t kMaxPrefix = 2ull << 30;     // zstd takes no larger base
const uint64_t kMaxFile = 1ull << 50;       // 1 PiB: sums of sizes cannot wrap
const uint64_t kMaxSegments = 1u << 16;     // 32 TiB in 512 MiB stretches

// One stretch of a segmented patch: `size` bytes of the result from one
// zstd frame whose prefix is base[base_offset, base_offset + base_size).
struct segment {
    uint64_t base_offset = 0, base_size = 0, size = 0;
    uint64_t payload_offset = 0, payload_size = 0;
    hash_t payload_hash{};
};

// A file's entries in a release's package: its data entry's local header
// and sizes, and its metadata entry's (all 0 where there is none).
struct entry_ref {
    uint64_t offset = 0, compressed = 0, size = 0;
};

// One item of the new tree (a delta's) or of a release (an index's).
struct item {
    std::string path;  // relative to the tree, "/"-separated
    uint8_t type = 0;
    uint32_t mode = 0;  // permission bits only
    uint64_t size = 0;  // content bytes, or the link target's
    hash_t hash{};      // of the content or the link target
    std::string metadata;  // AppleDouble stream, empty for none (a delta's)
    hash_t metadata_hash{};  // of that stream, zeros for none (an index's)
    std::string target;    // a link's
    uint8_t source = SOURCE_NONE;
    std::string base_path;  // copy, patch, segments, suffix: the file of the old tree
    uint64_t base_size = 0;
    hash_t base_hash{};
    uint64_t payload_offset = 0, payload_size = 0;  // patch, whole, suffix: one payload
    hash_t payload_hash{};
    std::vector<segment> segments;  // segments
    entry_ref entry, metadata_entry;  // an index's
};

struct header {
    uint32_t from_version = 0, to_version = 0;
    uint64_t item_count = 0, table_offset = 0, table_size = 0, table_raw_size = 0;
    uint32_t format = kFormatVersion;
};

// Which table an item list is read from or written to: a delta's items
// carry their sources, an index's their package entries.
enum table_kind { TABLE_DELTA, TABLE_INDEX };

const char kDeltaMagic[8] = {'V', 'Q', 'D', 'E', 'L', 'T', 'A', '\x1a'};
const char kIndexMagic[8] = {'V', 'Q', 'I', 'N', 'D', 'E', 'X', '\x1a'};

// format.cpp
// The table's items, uncompressed; compress_table gives it as stored.
std::string encode_table(const std::vector<item> &items, table_kind kind = TABLE_DELTA);
std::string compress_table(const std::string &raw);
// The header for a table `table` (as stored) at h.table_offset; fills in the
// table's sizes from it.
std::string encode_header(header &h, const std::string &table, uint64_t table_raw_size,
                          const char *magic = kDeltaMagic);
// Reads and checks a header with `magic` and a format in [oldest, newest],
// and its table, uncompressed into `raw`. FAILURE_DAMAGED or _UNSUPPORTED.
bool decode_sealed(const unsigned char *data, uint64_t size, const char *magic, uint32_t oldest, uint32_t newest,
                   header &h, std::string &raw, call_context *ctx);
// The items of a table; an index's entries must lie inside `package_size`.
// FAILURE_DAMAGED or FAILURE_REFUSED.
bool decode_table(const std::string &raw, const header &h, table_kind kind, uint64_t package_size,
                  std::vector<item> &items, call_context *ctx);
// A delta's header and table, read and checked (payload bytes are checked
// as they are used).
bool decode(const unsigned char *data, uint64_t size, header &h, std::vector<item> &items, call_context *ctx);

// paths.cpp
std::string parent_of(const std::string &path);
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

// model.cpp
// The difference stream's predictors: three context models and their mixer.
struct diff_model {
    static const int kModels = 3, kInputs = kModels + 1, kSets = 8;
    static const size_t kSlots = size_t(1) << 19;
    std::vector<uint16_t> p;  // P(1), 12 bits, per model and context
    std::vector<uint8_t> n;   // uses so far
    std::vector<int32_t> weights;
    uint32_t history = 0;  // the last bytes' "changed" bits
    uint8_t last = 0;      // the last changed byte's difference
    size_t slot[kModels] = {};
    int input[kInputs] = {}, mixed = 2048, chosen_set = 0;
    diff_model();
    int predict(const uint32_t (&contexts)[kModels], int set);
    void update(int bit);
};
struct range_encoder {
    std::string out;
    uint64_t low = 0;
    uint32_t range = 0xFFFFFFFFu;
    uint8_t cache = 0;
    uint64_t pending = 1;
    void bit(int p1, int b);  // p1: P(b = 1) in 12 bits
    void shift();
    std::string finish();
};
struct range_decoder {
    const unsigned char *p;
    uint64_t left;
    uint32_t range = 0xFFFFFFFFu, code = 0;
    uint64_t overrun = 0;  // bytes asked for past the end (read as zeros)
    range_decoder(const unsigned char *data, uint64_t size);
    uint32_t next();
    int bit(int p1);
};
// One difference byte (new minus old), in the context of the old file's
// byte it applies to (`here`) and the one before.
void encode_difference(range_encoder &e, diff_model &m, uint8_t value, uint8_t before, uint8_t here);
uint8_t decode_difference(range_decoder &d, diff_model &m, uint8_t before, uint8_t here);

// package.cpp
// One entry of a release's package, as its central directory names it.
struct package_entry {
    std::string name;
    uint64_t offset = 0, compressed = 0, size = 0;  // local header; data bytes as stored and inflated
    uint16_t method = 0;
    uint32_t crc = 0;
};
// Every entry of the package open at `fd` (zip64 or not); each inside the file.
bool read_package(int fd, uint64_t file_size, std::vector<package_entry> &entries, call_context *ctx);
// The entry's content written from offset 0 of `out_fd`, checked by size and CRC.
bool extract_entry(int fd, uint64_t file_size, const package_entry &pe, int out_fd, call_context *ctx);

// entry.cpp
// A release's index and its package (or a sparse copy of it: the package's
// size, holes where nothing was fetched), its items by path.
struct release_source {
    release_index index;
    std::unordered_map<std::string, size_t> by_path;
    Fd package;
    uint64_t package_size = 0;
};
bool open_release(const char *index_path, const char *package_path, release_source &out, call_context *ctx);
// The entry at ref.offset as extract_entry takes it, from its local header
// and the index alone (never the central directory). FAILURE_DAMAGED with
// `path` when no entry is there.
bool local_entry(const release_source &src, const std::string &path, const entry_ref &ref, package_entry &pe,
                 call_context *ctx);
// The item's file made at it.path below `dir` (the folder `staged`) from
// its entry, checked against the index's hash, with its mode.
bool write_from_entry(const release_source &src, const release_item &it, int dir, const std::string &staged,
                      call_context *ctx);

// fallback.cpp
// The delta's file `it`, whose base is missing or differs, made at it.path
// below `dir` (the folder `staged`) instead: from the installed file at its
// own path when that is already the release's (linked when `plain`), else
// from its entry.
bool take_instead(const release_source &src, const std::string &installed, const item &it, int dir,
                  const std::string &staged, bool plain, call_context *ctx);

// tree.cpp
// One item found below a tree, and its lstat.
struct entry {
    std::string path;
    struct stat st;
};
// Every item below `root`, never following a link.
bool walk(const std::string &root, const std::string &rel, std::vector<entry> &out, call_context *ctx);
// The AppleDouble stream ziputil's pack would store for the item, if any.
bool pack_metadata(const std::string &disk_path, std::string &out, call_context *ctx);
// The hash of a regular file's `size` bytes, read (not mapped: a tree's
// worth of hashing leaves nothing resident); its pages are dropped from the
// cache after unless `keep` (the caller reads them again).
// A file read before in this process, and unchanged since, is not read
// again (hash_cache.cpp).
bool hash_file(int fd, uint64_t size, hash_t &out, bool keep = false);

// hash_cache.cpp: the hashes of files already read in this process.
struct hash_cache_ticket {
    struct stat before;
    int64_t started_ns = 0;
    bool usable = false;
};
// True with `out` when the file, opened read-only, was hashed before and
// has not changed since; otherwise fills `ticket` for hash_cache_keep.
bool hash_cache_lookup(int fd, uint64_t size, hash_cache_ticket &ticket, hash_t &out);
// Keeps `h` for the file when nothing about it moved while it was read.
void hash_cache_keep(int fd, const hash_cache_ticket &ticket, const hash_t &h);
// Drops the folders of a sorted item list with no file or link below them.
void drop_empty_folders(std::vector<item> &items);
// Runs work(i, worker) for i in [0, count) on `jobs` threads (0: one per
// core), worker in [0, threads); false as soon as one returns false (the
// rest are skipped).
bool parallel_for(size_t count, int jobs, const std::function<bool(size_t, int)> &work);
int jobs_or_cores(int jobs);

// diff.cpp
// Where a worker writes payloads: its own file, at `pos`.
struct payload_file {
    int fd = -1;
    uint64_t pos = 0;
};
// A regular file opened for reading, and its size.
struct source_file {
    int fd = -1;
    uint64_t size = 0;
};
// The payload of the new file `fresh` (it.size bytes) into `w`, against
// `base` when given: sets it.source (WHOLE, PATCH, SEGMENTS or SUFFIX) and
// its payload fields. The caller sets the base's path, size and hash.
struct diff_settings {
    int level = 19;
    uint64_t segment_above = 1ull << 30, segment = 512ull << 20;
};
bool make_payload(payload_file &w, ZSTD_CCtx *c, item &it, const source_file &fresh, const source_file *base,
                  const diff_settings &d, call_context *ctx);

// sapatch.cpp
const uint64_t kSuffixMax = 64ull << 20;  // either file; the suffix array takes 4 bytes a byte
// A suffix-array patch of `fresh` against `old`; false when either is too
// big or memory runs short.
bool suffix_patch(const unsigned char *old, uint64_t old_size, const unsigned char *fresh, uint64_t fresh_size,
                  int level, std::string &out);
// Rebuilds `out_size` bytes into `out`; false with `why` on any lie.
bool suffix_apply(const unsigned char *payload, uint64_t payload_size, const unsigned char *old, uint64_t old_size,
                  unsigned char *out, uint64_t out_size, std::string &why);

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
    uint64_t size = 0;
    hash_t hash{};
    entry_ref entry;  // in the old package, when the old side is a release
};
// The old files indexed once for choose_base.
struct matcher {
    const std::vector<old_file> *files = nullptr;
    std::unordered_map<std::string, size_t> by_path;
    std::unordered_map<std::string, std::vector<size_t>> by_stem, by_stem_folder;  // sorted by size
    std::vector<size_t> gone;  // old files whose path the new tree lacks, big enough to sample
    bool sketched = false;
    std::unordered_map<uint64_t, std::vector<size_t>> postings;  // sample -> old files
};
using sampler = std::function<bool(std::vector<uint64_t> &)>;
using old_sampler = std::function<bool(size_t, std::vector<uint64_t> &)>;
// The bottom-k samples of a file's bytes.
std::vector<uint64_t> sample_bytes(const unsigned char *data, uint64_t size);
void build_matcher(matcher &m, const std::vector<old_file> &files, const std::set<std::string> &new_paths);
// The old file that the new file at `path` is best patched against, or -1.
// The samplers read the new file, or old file i, only when content decides.
long choose_base(matcher &m, const std::string &path, uint64_t size, const sampler &sample_new,
                 const old_sampler &sample_old);

// old.cpp
// The old side of a delta: a tree (root) or a release (its package, whose
// entries are inflated on demand into unnamed files in temp_dir).
struct old_side {
    std::string root;
    Fd package;
    uint64_t package_size = 0;
    std::string package_path, temp_dir;
    std::vector<old_file> files;
    std::map<uint64_t, package_entry> entries;  // by local header offset, read once
};
bool old_from_tree(const std::string &root, old_side &o, int jobs, call_context *ctx);
bool old_from_release(const char *index_path, const char *package_path, old_side &o, call_context *ctx);
// The package's entries, for open_old on a release (nothing for a tree).
bool load_entries(old_side &o, call_context *ctx);
// Old file i as a regular file to read: the tree's own, or its entry
// inflated and checked against the index's hash. `owner` closes it.
bool open_old(old_side &o, size_t i, source_file &out, Fd &owner, call_context *ctx);

}  // namespace delta

#endif
