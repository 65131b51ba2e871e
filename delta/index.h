// A release's index: every item of version N's game (path, type, mode,
// size, BLAKE2b-256 of the content, link target, Mac metadata) and, for each
// file, where its entry lies in the release's package, so that a launcher
// can tell which installed files are the publisher's, remove what a release
// dropped and fetch one file's entry by its offsets.
//
// The items are the delta's own (items.h), read by the same table reader.
#ifndef DELTA_INDEX_H
#define DELTA_INDEX_H

#include "items.h"

#include <stdint.h>

#include <string>
#include <vector>

struct release_index {
    uint32_t version = 0;
    uint64_t package_size = 0;  // the package the entries' offsets are in
    std::vector<delta::item> items;  // sorted by path, each folder before its content
};

// Writes at `index_path` (replaced in one rename) the index of `tree` (the
// game folder, "Vantorique.app") as `package` holds it: each file of the
// tree must be the package's entry "TREE_NAME/PATH" of the same size and
// CRC. Fails with the kind of what went wrong and its line.
int index_make(const char *package, const char *tree, uint32_t version, const char *index_path, call_context *ctx);

// The index in `size` bytes at `data`, every field checked before use:
// FAILURE_DAMAGED (lengths, hashes, offsets), FAILURE_UNSUPPORTED (format),
// FAILURE_REFUSED (a path or link leaving the tree).
int index_decode(const unsigned char *data, uint64_t size, release_index &out, call_context *ctx);
// The same for the file at `path` (a regular file, opened without waiting).
int index_read(const char *path, release_index &out, call_context *ctx);
// The bytes index_make writes, for tests and callers that keep it in memory.
std::string index_encode(const release_index &index);

// Whether the file at `path` (never followed if a link) is the index's file
// `it`: a regular file of its size whose content hashes as the index says.
bool index_file_matches(const std::string &path, const delta::item &it);

#endif
