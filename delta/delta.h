// delta: what changed between two versions of the game's tree, as one file a
// player downloads instead of the whole package, and the rebuilding of the
// new tree from the installed one and that file.
//
// Every routine returns 1 for success and 0 for failure; DELTA_FAILURE then
// says why, named where the failure happened, and delta_last_error() gives
// one line for a person (the path and the cause).
#ifndef DELTA_H
#define DELTA_H

#include <stdint.h>

#include <atomic>
#include <string>

enum delta_failure {
    DELTA_OK = 0,
    DELTA_CANNOT_READ,     // a tree or the delta cannot be opened or read (errno-level)
    DELTA_DAMAGED,         // not a delta, truncated, or a length, hash or payload in it lies
    DELTA_UNSUPPORTED,     // a delta of a format version this build does not know
    DELTA_REFUSED,         // well formed, but would write outside the tree or do harm
    DELTA_BASE_MISSING,    // a file the delta builds on is not in the installed tree
    DELTA_BASE_DIFFERS,    // a file the delta builds on is not the publisher's (edited by the player?)
    DELTA_RESULT_DIFFERS,  // a rebuilt item does not hash as the publisher's
    DELTA_NO_SPACE,        // the file system is (or would be) full
    DELTA_CANNOT_WRITE,    // the staged tree or the delta cannot be written for another reason
};
// Why the last call failed; DELTA_OK after a success. Each call starts from DELTA_OK.
extern std::atomic<int> DELTA_FAILURE;
// One line on the last failure ("" after a success).
std::string delta_last_error();
// The failure's name, as "DELTA_BASE_DIFFERS".
const char *delta_failure_name(int failure);

// Writes at `delta_path` the delta that rebuilds `new_tree` from `old_tree`
// (each a folder such as "Vantorique.app"). `level` is zstd's (1..22).
// The versions are recorded for the reader; they take no part in applying.
int delta_make(const char *old_tree, const char *new_tree, const char *delta_path, int level,
               uint32_t from_version, uint32_t to_version);

// Builds in `staged_tree` (a new folder, or an empty one) the tree the delta
// describes, from the files of `installed_tree`, which is only read. On
// failure the staged folder is removed again; nothing else is ever written.
int delta_apply(const char *installed_tree, const char *delta_path, const char *staged_tree);

// How far the running delta_apply is, for another thread to show: bytes of
// files written so far and the tree's total. Each call starts both from 0.
extern std::atomic<long long> DELTA_APPLY_BYTES_DONE;
extern std::atomic<long long> DELTA_APPLY_BYTES_TOTAL;

// What a delta holds, read and checked without applying it.
struct delta_info {
    uint32_t from_version, to_version;
    uint64_t directories, files, links;
    uint64_t copied, patched, whole;  // files taken unchanged, patched against a base, sent whole
    uint64_t tree_bytes;              // the rebuilt files' bytes
    uint64_t payload_bytes;           // compressed bytes the delta carries
};
int delta_read_info(const char *delta_path, delta_info *info);

#endif
