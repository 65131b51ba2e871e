// What the parts of the packer share: the archive being written, through
// minizip's output layer; the entry writer's steps; and one entry deflated
// off the writing thread.
#ifndef ZIPUTIL_PACK_H
#define ZIPUTIL_PACK_H

#include "internal.h"
#include "joined_deflate.h"
#include "whole.h"
#include "ziputil.h"  // before zip.h, whose ZIP_OK is a macro

#include <sys/stat.h>
#include <sys/types.h>
#include <zip.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace ziputil {

// The archive being written: where it is (to leave it out of itself) and
// how far it has grown.
struct Writing {
    std::string path;
    dev_t dev = 0;
    ino_t ino = 0;
    bool known = false;
    int fd = -1;
    int error = 0;              // errno of a failed write
    uint64_t pos = 0, end = 0;  // minizip's position, the file's size
    uint64_t entries = 0;
    bool refused = false;       // the archive is removed at the end
    // The archive's tail, kept in memory: minizip goes back after each entry
    // to fill in its header's CRC and sizes, which lands here without a seek.
    std::unique_ptr<char[]> tail;
    uint64_t tail_start = 0;
    size_t tail_length = 0;
    std::unique_ptr<Whole> whole;  // the small files' codec on the writing thread
};

struct Pipeline;

// One pack call: its lines and failure, the archive, and the workers when
// there are any. `walk` is where the walk of the source says its lines: the
// call's own on one thread; with workers, held back until the items before
// them are written, with its failure.
struct Packing {
    Out out;
    Out walk;
    Writing writing;
    Pipeline *parallel = nullptr;
};

// Creates the archive at `path` through the output layer, which writes
// through `writing`; null with errno set.
zipFile create_archive(const char *path, Writing &writing);
// After minizip closed the archive: the zip64 end records when it holds
// more than 65,535 entries and minizip wrote none.
bool add_zip64_end_records(const char *path, Writing &writing);
// Fails with "Cannot write <archive>: <cause>".
int fail_archive_write(Out &out, const Writing &writing);

// An entry's zip64 flag is fixed when it is opened, and an entry without it
// cannot pass 4 GiB: files from 4 GiB less 64 MiB on get it, room enough for
// deflate's growth on incompressible data (5 bytes per 64 KiB block, 320 KiB
// at 4 GiB). Smaller entries keep the plain headers that every reader takes.
const uint64_t kZip64From = 0xFFFFFFFFull - (64ull << 20);

// The next piece of a file being packed, into the transfer buffer: its
// length, 0 at its end, -1 after a line saying why. `so_far` counts what was
// read; a file that grows past what its entry holds (opened without zip64)
// sets `refused`.
ssize_t read_for_entry(Out &out, int fd, char *buffer, const char *disk_path, bool zip64, uint64_t &so_far,
                       bool &refused);

// The first blocks of a big file (packed in blocks, below), read and deflated by a pack worker
// ahead of the writer: a file of up to two blocks (4 MiB) is then made
// whole off the writing thread, and a bigger one starts with two blocks
// done. The bytes are those the writer would make.
struct BlockSample {
    struct Made {
        std::string out;  // joinable deflate bytes
        uint32_t crc = 0;
        size_t size = 0;  // the file's bytes it holds
    };
    bool made = false;  // else the writer reads and decides itself
    bool stored = false, text = false;
    bool ended = false;  // the file ended within the sample
    uint64_t read = 0;   // the file's bytes the sample covers
    std::vector<Made> blocks;  // none when stored
    size_t held() const;  // bytes kept in memory
};
// One entry made by a worker, written by the writing thread in the walk's
// order exactly as compress_file would have: the same header, and the same
// deflate stream, fed in the same pieces (which fixes its stored blocks).
struct DeflatedEntry {
    std::string name;
    zip_fileinfo info;
    int level = 0;
    bool zip64 = false;    // from the size the file had when it was opened
    bool ready = false;    // what follows up to `chunks` is known
    bool present = false;  // an entry to write; else only the lines and `ok`
    bool link = false;     // stored as it is: the link's target, chunks[0]
    bool refused = false;  // the archive is removed at the end
    bool in_blocks = false;  // a big file: the writer packs it from `path` in blocks
    BlockSample sample;      // its first blocks, when made ahead
    std::string path;
    int ok = 1;
    call_context fault;  // why it failed, recorded in the call when written
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
int open_entry(Packing &pk, zipFile archive, const char *entry_name, const zip_fileinfo *info, int method, int level,
               bool zip64, int raw = 0);
// Closes the entry; a raw one with the file's size and CRC.
int close_entry(Packing &pk, zipFile archive, bool raw = false, uint64_t size = 0, uLong crc = 0);
// The entry's date and mode from what `disk_path` is (not followed).
void entry_info(const char *disk_path, zip_fileinfo &info, struct stat &st);
int raw_extension_level(const char *entry_name, int level);
// The metadata stream of `disk_path` in a temporary file, and its entry's
// name: 1 when there is one to pack, 0 when there is none (or it cannot be
// read: a line says so and the item goes without), -1 when the name is
// too long.
int stage_metadata(Out &out, const char *entry_name, const char *disk_path, TempFile &temp, std::string &name);
// A raw deflate stream made ready for new input at `level` (pack_workers.cpp):
// reset when it already runs at that level, else ended and started again.
// `current` is its level, -2 before it was ever started or after a failure.
bool start_deflate(z_stream &z, int &current, int level);

// Files past the whole limit at a level other than 0 (blocks.cpp): stored
// when their first blocks do not deflate to 97% of their size, else
// deflated in blocks on every thread, the same bytes on any thread count.
bool packs_in_blocks(int level, uint64_t size);

// At most this much of a file is sampled ahead.
const size_t kSampleBytes = 4u << 20;
// Fills `sample` from the file at `disk_path`; leaves it not made on any
// fault, for the writer to meet and name.
void sample_in_blocks(const char *disk_path, int level, BlockDeflater &d, call_context *progress,
                      BlockSample &sample);
// Opens the entry (as stored or deflated raw), writes it and closes it; 0
// after a line saying why. With a made sample, from where it ends.
int pack_in_blocks(Packing &pk, zipFile archive, const char *entry_name, const char *disk_path, zip_fileinfo &info,
                   int level, bool zip64, BlockSample *sample = nullptr);

// The workers (parallel_pack.cpp).
bool start_parallel_pack(Packing &pk);
// Hands an item (and its metadata) to the workers; writes the oldest ones
// while too many wait. 0 once a write failed.
int queue_item(Packing &pk, zipFile archive, const char *entry_name, const char *disk_path, int level);
// After the walk (`result` its outcome): writes what is left, or after a
// failed write drops it; stops the workers. The call's result.
int end_parallel_pack(Packing &pk, zipFile archive, int result);

}  // namespace ziputil

#endif
