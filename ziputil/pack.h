// What the packer's walk and writer share with its workers: the entry
// writer's steps, and one entry deflated off the writing thread.
#ifndef ZIPUTIL_PACK_H
#define ZIPUTIL_PACK_H

#include "internal.h"
#include "ziputil.h"

#include <sys/stat.h>
#include <zip.h>

#include <deque>
#include <string>
#include <vector>

namespace ziputil {

// One entry made by a worker, written by the writing thread in the walk's
// order exactly as compress_file would have: the same header, and the same
// deflate stream, fed in the same pieces (which fixes its stored blocks).
struct DeflatedEntry {
    std::string name;
    zip_fileinfo info;
    int level = 0;
    bool ready = false;    // what follows up to `chunks` is known
    bool present = false;  // an entry to write; else only the lines and `ok`
    bool link = false;     // stored as it is: the link's target, chunks[0]
    bool over_limit = false;
    int ok = 1;
    std::vector<std::string> before;  // lines said before the entry is opened
    // The deflated bytes, in order: in memory, then past a bound in `spill`.
    std::deque<std::string> chunks;
    size_t size_in_memory = 0;
    TempFile spill;
    Fd spill_file;
    uint64_t spilled_made = 0;  // the worker's count
    uint64_t spilled = 0;       // what the writer may read
    uint64_t spill_read = 0;
    bool finished = false;  // all bytes made; what follows is known
    std::vector<std::string> after;  // lines said after its data
    uLong crc = 0;
    uint64_t size = 0;
};

// The writer's steps (zip.cpp).
int open_entry(zipFile archive, const char *entry_name, const zip_fileinfo *info, int method, int level,
               int raw = 0);
// Closes the entry; a raw one with the size and CRC of `raw`.
int close_entry(zipFile archive, const DeflatedEntry *raw = nullptr);
void say_write_error();
bool refuse(const std::string &what);
void mark_over_limit();
// The entry's date and mode from what `disk_path` is (not followed).
void entry_info(const char *disk_path, zip_fileinfo &info, struct stat &st);
int raw_extension_level(const char *entry_name, int level);
// The metadata stream of `disk_path` in a temporary file, and its entry's
// name: 1 when there is one to pack, 0 when there is none (or it cannot be
// read: a line says so and the item goes without), -1 when the name is
// too long.
int stage_metadata(const char *entry_name, const char *disk_path, TempFile &temp, std::string &name);

// The workers (parallel_pack.cpp).
bool start_parallel_pack();
bool packing_in_parallel();
// Hands an item (and its metadata) to the workers; writes the oldest ones
// while too many wait. 0 once a write failed.
int queue_item(zipFile archive, const char *entry_name, const char *disk_path, int level);
// After the walk (`result` its outcome): writes what is left, or after a
// failed write drops it; stops the workers. The call's result.
int end_parallel_pack(zipFile archive, int result);

}  // namespace ziputil

#endif
