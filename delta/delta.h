// delta: what changed between two versions of the game's tree, as one file a
// player downloads instead of the whole package, and the rebuilding of the
// new tree from the installed one and that file.
//
// Every routine takes a call_context its caller owns (fsutil/outcome.h) and
// returns 1 for success and 0 for failure; the context then holds the
// failure's kind and one line for a person (the path and the cause), set
// together where the failure happened. A null context is allowed: the
// failure is then only the return value.
#ifndef DELTA_H
#define DELTA_H

#include "outcome.h"

#include <stdint.h>

#include <array>
#include <string>
#include <vector>

// Writes at `delta_path` the delta that rebuilds `new_tree` from `old_tree`
// (each a folder such as "Vantorique.app"). `level` is zstd's (1..22) for
// small files; big ones get the level and window their size calls for.
// The versions are recorded for the reader; they take no part in applying.
int delta_make(const char *old_tree, const char *new_tree, const char *delta_path, int level,
               uint32_t from_version, uint32_t to_version, call_context *ctx);

struct delta_make_options {
    int level = 19;  // for small files
    uint32_t from_version = 0, to_version = 0;
    int jobs = 0;  // changed files diffed at once; 0: one per core
    // Instead of an old tree: an earlier release, by its index and its
    // package. Its unchanged files are known by hash; only the bases of
    // changed files are read, each from its own entry.
    const char *old_index = nullptr;
    const char *old_package = nullptr;
    // A file or base over `segment_above` bytes is patched in stretches of
    // `segment_bytes`; 0 for 1 GiB and 512 MiB (smaller values serve tests).
    uint64_t segment_above = 0, segment_bytes = 0;
    // The tree a package of new_tree unpacks to: a package holds no folder
    // of its own, so a folder with no file or link below it is left out.
    bool package_tree = false;
};
// As delta_make; `old_tree` is ignored when o->old_index is given.
int delta_make_with(const char *old_tree, const char *new_tree, const char *delta_path, const delta_make_options *o,
                    call_context *ctx);

// Builds in `staged_tree` (a new folder, or an empty one) the tree the delta
// describes, from the files of `installed_tree`, which is only read. On
// failure the staged folder is removed again; nothing else is ever written.
// Progress: bytes of files written and the tree's total, in ctx->progress.
int delta_apply(const char *installed_tree, const char *delta_path, const char *staged_tree, call_context *ctx);

// What a delta holds, read and checked without applying it.
struct delta_info {
    uint32_t from_version, to_version;
    uint64_t directories, files, links;
    uint64_t copied, patched, whole;  // files taken unchanged, patched against a base, sent whole
    uint64_t tree_bytes;              // the rebuilt files' bytes
    uint64_t payload_bytes;           // compressed bytes the delta carries
    uint64_t copied_bytes;            // of tree_bytes, the unchanged files' (linked, not written)
};
int delta_read_info(const char *delta_path, delta_info *info, call_context *ctx);

// A release's index ("releases/N/index"): every item of version N, and
// where its entries lie in that release's package, so that a reader can
// tell an installed file by its hash and fetch one entry alone.
struct release_item {
    std::string path;  // relative to Vantorique.app
    int type = 0;      // 1 folder, 2 file, 3 link
    uint32_t mode = 0;
    uint64_t size = 0;                      // a file's bytes, a link target's
    std::array<unsigned char, 32> hash{};   // BLAKE2b-256 of the content or the target
    std::string target;                     // a link's
    std::array<unsigned char, 32> metadata_hash{};  // of its AppleDouble stream, zeros for none
    uint64_t entry_offset = 0, entry_compressed = 0, entry_size = 0;           // its local header, sizes
    uint64_t metadata_offset = 0, metadata_compressed = 0, metadata_size = 0;  // its metadata entry's
};
struct release_index {
    uint32_t version = 0;
    uint64_t package_size = 0;  // every entry lies inside it
    std::vector<release_item> items;  // sorted by path, each folder before what it holds
};
// Writes the index of `tree` (a Vantorique.app) as packed in `package`.
int index_write(const char *tree, const char *package, uint32_t version, const char *index_path, call_context *ctx);
// Reads and checks an index: every length, path, link and entry bound.
int index_read(const char *index_path, release_index *out, call_context *ctx);
// Builds in `staged_tree` (a new folder) release N's tree from its index and
// package: each file the installed tree (only read) holds as the release
// has it (size and hash) is linked or cloned from it (a clone given its
// metadata entry's stream, where it has one), the rest unpacked from its entry and checked against the index's hash. `linked`
// gets how many were linked. On failure the staged folder is removed.
// Progress: bytes of files staged and the tree's total.
int index_stage(const char *installed_tree, const char *index_path, const char *package_path, const char *staged_tree,
                uint64_t *linked, call_context *ctx);

// What an install of release N over the installed tree must take from N's
// package, and where in the package that lies: a file the installed tree
// holds as the release has it is kept (linked); with a delta (from the
// installed version to N), a file the delta rebuilds from bases the
// installed tree holds as the delta expects is patched; every other file is
// fetched. The package may then be a sparse copy holding only the spans
// (index_stage and delta_apply_with find entries by the index alone).
struct update_plan {
    std::vector<std::string> fetched;      // paths of the files taken from the package
    struct span {
        uint64_t offset, length;           // an entry whole, local header to the next entry
    };
    std::vector<span> spans;               // sorted, each entry (and metadata entry) once
    uint64_t fetch_bytes = 0;              // the spans' bytes
    uint64_t kept = 0, patched = 0;        // files linked from the installed tree, rebuilt by the delta
    uint64_t write_bytes = 0;              // bytes the install writes (the free-space check's)
};
// `delta_path` may be null (no delta: keep or fetch). `installed_tree` may
// be missing (everything fetched).
int update_plan_make(const char *installed_tree, const char *index_path, const char *delta_path, update_plan *plan,
                     call_context *ctx);

// A quick look for damage, without reading a file: how many of the index's
// items the installed tree lacks or holds with another type or size.
int index_quick_check(const char *installed_tree, const char *index_path, uint64_t *differing, call_context *ctx);

// As delta_apply; with an index of the delta's new version and its package
// (or a sparse copy holding the plan's spans), an item whose base is missing
// or differs is taken from its entry instead, checked against the index.
struct delta_apply_options {
    const char *index_path = nullptr;
    const char *package_path = nullptr;
};
int delta_apply_with(const char *installed_tree, const char *delta_path, const char *staged_tree,
                     const delta_apply_options *o, call_context *ctx);

#endif
