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

#include <string>

// Writes at `delta_path` the delta that rebuilds `new_tree` from `old_tree`
// (each a folder such as "Vantorique.app"). `level` is zstd's (1..22).
// The versions are recorded for the reader; they take no part in applying.
int delta_make(const char *old_tree, const char *new_tree, const char *delta_path, int level,
               uint32_t from_version, uint32_t to_version, call_context *ctx);

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
};
int delta_read_info(const char *delta_path, delta_info *info, call_context *ctx);

#endif
