// What the parts of the unpacker share: the archive as we read it, the
// central directory's checks, containment of every path written, the entry
// writers, and what an unpack call works with.
#ifndef ZIPUTIL_UNPACK_H
#define ZIPUTIL_UNPACK_H

#include "internal.h"
#include "whole.h"
#include "ziputil.h"

#include <time.h>
#include <zlib.h>

#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace ziputil {

// Why a reading step refused: the kind and the line, made together where
// the step failed; the caller says the line and records both.
struct Fault {
    int kind = FAILURE_NONE;
    std::string line;
};
// Sets both; false, for `return refuse(...)`.
bool refuse(Fault &why, int kind, const std::string &line);

// --- the archive, read by us alone: one reading of its records serves the
// checks, the unpack, the test, the listing and the times ---

// The archive file, read through a read-ahead window: the local headers of
// small entries and their data lie side by side.
struct ArchiveFile {
    Fd fd;
    uint64_t size = 0;
    uint64_t window_start = 0;
    size_t window_length = 0;
    std::unique_ptr<unsigned char[]> window;
};
// Opens `path` for reading; false with errno set.
bool open_archive_file(const char *path, ArchiveFile &file);
// The same open file with a read-ahead window of its own, for another
// thread; false with errno set.
bool share_archive_file(const ArchiveFile &from, ArchiveFile &file);
// Reads [offset, offset + length) of the archive; false past its end or on a read error.
bool read_archive(ArchiveFile &file, uint64_t offset, void *out, size_t length);
// The archive's bytes from `offset` in its read-ahead window, no copy made:
// `length` is cut to what the window holds from there. Null past its end or
// on a read error (errno set).
const unsigned char *view_archive(ArchiveFile &file, uint64_t offset, size_t &length);

// One entry as its central record and local header give it, 64-bit fields
// taken from the zip64 extra field where the record needs them.
struct Entry {
    std::string raw_name;  // the bytes the record holds
    std::string name;      // the path it names: a DOS or Windows tool's "\" made "/"
    unsigned made_by = 0, flags = 0, method = 0;
    unsigned mode = 0;  // the upper 16 bits of the external attributes
    uint32_t external_fa = 0, crc = 0, dos_date = 0;
    uint64_t compressed = 0, size = 0;
    uint64_t header = 0;  // file offset of the local header
    uint64_t data = 0;    // file offset of the data, after the local name and extra field
    std::string extra;    // the central record's extra field
    bool directory = false;
    std::shared_ptr<std::string> local_name;  // the local header's name, where it differs
};

struct ArchiveIndex {
    std::vector<Entry> entries;  // in the central directory's order
    uint64_t directory_start = 0;  // where the central directory begins in the file
};

// What read_archive_index says of a file with no end record: no zip archive.
extern const char kNoEndRecord[];

// Reads the end record (and the zip64 end records it points to), walks the
// central directory to its declared end and, given local_headers, reads each
// entry's local header. Every lie about counts, sizes or offsets is refused:
// false with `why` saying it.
bool read_archive_index(ArchiveFile &file, bool local_headers, ArchiveIndex &index, Fault &why);

// A name with each NUL shown as "\0".
std::string printable(const std::string &name);

// The data of the extra field `id` in a record's extra bytes; false when it
// has none (or its fields run past the end).
bool find_extra_field(const std::string &extra, unsigned id, std::string &data);

// An entry's date from its MS-DOS date and time (local time).
struct tm entry_tm(const Entry &entry);

struct FastInflate;  // ISA-L's inflater, where the build has it
struct FastInflateFree {
    void operator()(FastInflate *f) const;
};

// An entry's data as it is read: inflated (or stored), its size and CRC
// checked against the central record once it ends. Entries over the whole
// limit are inflated by ISA-L when the build has it and ZIP_FAST_INFLATE is
// set, else by zlib: the same checks, lines and kinds either way.
struct EntryStream {
    const Entry *entry = nullptr;
    uint64_t next = 0, left = 0;  // compressed bytes still to read, from `next`
    uint64_t produced = 0;
    unsigned long crc = 0;
    bool inflating = false, ended = false;
    z_stream z{};
    std::unique_ptr<FastInflate, FastInflateFree> fast;
    ~EntryStream();
};
// Starts reading the entry; false (`why` set) when memory is short.
bool open_entry_stream(const Entry &entry, EntryStream &stream, Fault &why);
// Up to `length` bytes of the entry's data; 0 at its end, -1 for damaged data
// (`why` set) and -2 for a read error (errno set).
long read_entry_stream(ArchiveFile &file, EntryStream &stream, char *out, size_t length, Fault &why);
// After the last read: whether the size and CRC are those declared; `why` names a mismatch.
bool entry_stream_checks(const EntryStream &stream, Fault &why);

// --- the central directory, checked before anything is written ---

// What the checks found in a well-formed archive.
struct ArchiveSize {
    uint64_t declared = 0;  // the entries' declared sizes
    uint64_t in_blocks = 0;  // the same, each rounded up to whole blocks
    uint64_t entries = 0;
};

// Refuses what cannot be unpacked right: names with a NUL, ".." or over
// 1023 bytes, encryption, other methods, overlapping data, oversized
// metadata and, given a destination, too little free space there. On
// refusal, false with `why` saying it.
bool check_archive(const ArchiveIndex &index, const std::string &destination, uint64_t block_size, ArchiveSize &size,
                   Fault &why);

// Opens, reads and checks the archive: what an unpack does before it writes.
bool open_and_check(const char *archive, const std::string &destination, uint64_t block_size, ArchiveFile &file,
                    ArchiveIndex &index, ArchiveSize &size, Fault &why);

// --- names and paths ---

// Where `path` leads, following links the way the kernel would. Components
// that do not exist yet are taken by name: they will be made as plain
// directories or files. With follow_last false the last component is not
// followed (a link entry replaces a link there rather than writing through it).
// `base` is an absolute directory without links in it: the walk starts there
// and `path` is taken relative to it.
bool resolve_path(const std::string &base, const std::string &path, bool follow_last, std::string &out);

// --- one call's state ---

// A link the unpack will make once every file is written.
struct PendingLink {
    std::string name, path, target;
};
// Metadata for one of those links, applied after it.
struct PendingMetadata {
    TempFile stream;
    std::string name, target;
};

// What one call works with besides the current entry.
struct Unpack {
    Out out;  // the call's lines and failure, or a worker's own
    ArchiveFile *file;
    std::string destination;
    std::string root;  // the destination, resolved
    std::string cwd;
    char *buffer;      // the one 16384-byte transfer buffer
    char *out_buffer;  // stdio's buffer for output files: fewer, larger writes
    std::vector<PendingLink> links;
    std::set<std::string> link_paths;
    std::vector<PendingMetadata> link_metadata;
    // Set while workers share the call: once a job before `job` failed, an
    // entry being copied stops (its file removed) without a line or a
    // reason of its own.
    const std::atomic<size_t> *failed_job = nullptr;
    size_t job = 0;
    Whole *whole = nullptr;  // this thread's, for the small entries
};
const size_t kOutputBuffer = 128 * 1024;

// Whether `path`, a path that starts with the destination text, leads to a
// place inside the destination; `resolved` gets where it leads.
bool leads_inside(const Unpack &u, const std::string &path, bool follow_last, std::string *resolved = nullptr);
// Whether a link, made where it stands, leads inside the destination.
bool link_stays_inside(const Unpack &u, const PendingLink &link);

// --- the entry writers: 1 to go on, 0 (failure recorded) to stop ---

int unpack_link(Unpack &u, const Entry &entry, const std::string &name, const std::string &path);
// A "__MACOSX/" entry: its AppleDouble stream applied to `target`.
int unpack_metadata_entry(Unpack &u, const Entry &entry, const std::string &name, const std::string &target);
int unpack_file(Unpack &u, const Entry &entry, const std::string &name, const std::string &path,
                unsigned mode);
// Makes the links collected on the way, then applies their metadata.
int make_links(Unpack &u);

// Whether an entry before this one failed: this file goes too.
inline bool stopped(const Unpack &u)
{
    return u.failed_job && u.job > u.failed_job->load(std::memory_order_relaxed);
}

// A big stored entry copied into the file `fd` (just made, empty) from the
// read-ahead window, not the transfer buffer (stored_copy.cpp); its CRC
// checked. False for an entry that does not qualify (its data not whole in
// the archive, its sizes unequal): the stream takes it, and names the fault.
bool copies_stored(const ArchiveFile &file, const Entry &entry);
// 1 copied and checked; 0 after the line saying why, as the stream says it.
int copy_stored(Unpack &u, const Entry &entry, int fd, const std::string &name);

// One entry, whatever its kind. 1 to go on.
int unpack_entry(Unpack &u, const Entry &entry);

// --- the entries spread over threads (parallel_unpack.cpp) ---

// The files still to write, in jobs: the entries of one file (its data and
// its "__MACOSX/" metadata, in archive order) form one job, for one worker.
struct EntryPlan {
    std::vector<std::vector<size_t>> jobs;  // indices into the archive's entries
    std::map<std::string, size_t> job_of;  // a file's resolved path -> its job
    std::map<std::string, std::string> resolved_dirs;
};
// Takes entry `at` of `index` into the plan, or handles it at once when it
// must come in order: directories, links (only collected) and metadata for
// anything but a file of the plan, the latter after every job before it.
int plan_entry(EntryPlan &plan, Unpack &u, const ArchiveIndex &index, size_t at);
// Runs the jobs left, then makes the links.
int finish_plan(EntryPlan &plan, Unpack &u, const ArchiveIndex &index);

}  // namespace ziputil

#endif
