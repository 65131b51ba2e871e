// What the parts of the unpacker share: the archive under minizip, the
// central directory's checks, containment of every path written, the entry
// writers, and the reason a call failed.
#ifndef ZIPUTIL_UNPACK_H
#define ZIPUTIL_UNPACK_H

#include "internal.h"
#include "ziputil.h"

#include <unzip.h>

#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace ziputil {

// --- the reason a call failed ---

// Records why the call fails; returns 0 for `return failed(...)`. On a
// worker thread the reason goes to the worker's own slot while set.
int failed(zip_failure why);
extern thread_local zip_failure *worker_failure;
// A write (or create) that failed with `err`: no space, or another reason.
int failed_write(int err);

// --- the archive under minizip, read through read-ahead windows ---

struct Window {
    uint64_t start;  // file offset of data[0]
    size_t length;
    uint64_t last_use;
    std::unique_ptr<unsigned char[]> data;
};
struct ArchiveStream {
    int fd;
    uint64_t size;
    uint64_t pos;  // where minizip believes it is
    bool failed;
    uint64_t uses;
    // Two windows: one follows the entries' data, the other stays on the
    // central directory that minizip goes back to between entries.
    Window windows[2];
};

// Opens the archive; `stream` gets our side of it for reading the central
// directory ourselves (left null when the file itself cannot be opened).
void *open_zip_for_reading(const char *path, ArchiveStream **stream);

struct EntryCloser {
    void operator()(void *zip) const { unzCloseCurrentFile(zip); }
};
using EntryPtr = std::unique_ptr<void, EntryCloser>;  // holds the archive while an entry is open

// --- the central directory, checked before anything is written ---

// What the checks found in a well-formed archive.
struct ArchiveSize {
    uint64_t declared = 0;  // the entries' declared sizes
    uint64_t in_blocks = 0;  // the same, each rounded up to whole blocks
    uint64_t entries = 0;
};

// Refuses what cannot be unpacked right: damaged records, zip64, encryption,
// other methods, ".." and overlong names, overlapping data, oversized
// metadata and, given a destination, too little free space there. On
// refusal, false with the failure recorded and `why` holding the line.
bool check_archive(const ArchiveStream &s, const std::string &destination, uint64_t block_size, ArchiveSize &size,
                   std::string &why);

// --- names and paths ---

bool fits(const std::string &path);  // within ZIPUTIL_PATH_MAX - 1
std::string parent_of(const std::string &path);  // up to its last "/", or ""
std::string last_component(const std::string &path);
std::vector<std::string> split_components(const std::string &path);
bool is_directory_entry(const std::string &name, unsigned mode);

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
    void *zip;
    std::string destination;
    std::string root;  // the destination, resolved
    std::string cwd;
    char *buffer;      // the one 16384-byte transfer buffer
    char *out_buffer;  // stdio's buffer for output files: fewer, larger writes
    std::vector<PendingLink> links;
    std::set<std::string> link_paths;
    std::vector<PendingMetadata> link_metadata;
    // Set while workers share the call: once true, an entry being copied
    // stops (its file removed) without a line or a reason of its own.
    const std::atomic<bool> *stop = nullptr;
};
const size_t kOutputBuffer = 128 * 1024;

// Whether `path`, a path that starts with the destination text, leads to a
// place inside the destination; `resolved` gets where it leads.
bool leads_inside(const Unpack &u, const std::string &path, bool follow_last, std::string *resolved = nullptr);
// Whether a link, made where it stands, leads inside the destination.
bool link_stays_inside(const Unpack &u, const PendingLink &link);

// --- the entry writers: 1 to go on, 0 (failure recorded) to stop ---

int unpack_link(Unpack &u, const unz_file_info64 &info, const std::string &name, const std::string &path);
// A "__MACOSX/" entry: its AppleDouble stream applied to `target`.
int unpack_metadata_entry(Unpack &u, const unz_file_info64 &info, const std::string &name, const std::string &target);
int unpack_file(Unpack &u, const unz_file_info64 &info, const std::string &name, const std::string &path,
                unsigned mode);
// Makes the links collected on the way, then applies their metadata.
int make_links(Unpack &u);

// One entry, whatever its kind: the archive's current one. 1 to go on.
int unpack_entry(Unpack &u, const unz_file_info64 &info, const std::string &name);

// --- the entries spread over threads (parallel_unpack.cpp) ---

// The files still to write, in jobs: the entries of one file (its data and
// its "__MACOSX/" metadata, in archive order) form one job, for one worker.
struct EntryPlan {
    const char *archive;
    struct Entry {
        uint64_t offset;  // unzGetOffset64: where its central record is
        uint64_t number;  // 1 for the first entry
    };
    std::vector<std::vector<Entry>> jobs;
    std::map<std::string, size_t> job_of;  // a file's resolved path -> its job
    std::map<std::string, std::string> resolved_dirs;
};
// Takes the archive's current entry (the `number`th) into the plan, or
// handles it at once when it must come in order: directories, links (only
// collected) and metadata for anything but a file of the plan, the latter
// after every job before it.
int plan_entry(EntryPlan &plan, Unpack &u, const unz_file_info64 &info, const std::string &name, uint64_t number);
// Runs the jobs left, then makes the links.
int finish_plan(EntryPlan &plan, Unpack &u);

}  // namespace ziputil

#endif
