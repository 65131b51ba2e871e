// Archive extraction. Entry conventions (shared with the writer):
//  - the POSIX mode sits in the upper 16 bits of the external attributes;
//  - links (0xA000) hold their target text; directories (0x4000, or a name
//    ending in "/") make nothing;
//  - "__MACOSX/D/._N" holds the AppleDouble metadata of "D/N".
// The whole central directory is checked before anything is written: methods,
// encryption, sizes, overlapping data, names, free space. Every name is
// checked again before its turn: nothing may land outside the destination,
// whether by "..", by an existing link or by a link that the archive itself
// creates. Links are made last, so no file is ever written through one of
// the archive's own links, and each link the unpack made is checked once
// more against the final tree.
#include "copyfile.h"
#include "internal.h"
#include "ziputil.h"

#include <errno.h>
#include <fcntl.h>
#include <ioapi.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <unzip.h>
#include <zlib.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <vector>

using namespace ziputil;

namespace {

const int kMaxLinkHops = 40;

struct ArchiveCloser {
    void operator()(void *zip) const { unzClose(zip); }
};
struct EntryCloser {
    void operator()(void *zip) const { unzCloseCurrentFile(zip); }
};
using ArchivePtr = std::unique_ptr<void, ArchiveCloser>;
using EntryPtr = std::unique_ptr<void, EntryCloser>;  // holds the archive while an entry is open
struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

std::vector<std::string> split_components(const std::string &path)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos)
            slash = path.size();
        parts.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return parts;
}

// Where `path` leads, following links the way the kernel would. Components
// that do not exist yet are taken by name: they will be made as plain
// directories or files. With follow_last false the last component is not
// followed (a link entry replaces a link there rather than writing through it).
// `base` is an absolute directory without links in it: the walk starts there
// and `path` is taken relative to it.
bool resolve_path(const std::string &base, const std::string &path, bool follow_last, std::string &out)
{
    std::vector<std::string> current;
    for (const std::string &part : split_components(base))
        if (!part.empty())
            current.push_back(part);
    std::deque<std::string> todo;
    auto push_front_components = [&](const std::string &text) {
        std::vector<std::string> parts = split_components(text);
        todo.insert(todo.begin(), parts.begin(), parts.end());
    };
    push_front_components(path);

    auto more_to_come = [&]() {
        for (const std::string &part : todo)
            if (!part.empty() && part != ".")
                return true;
        return false;
    };
    std::string joined;
    auto join = [&]() {
        joined.clear();
        for (const std::string &part : current)
            joined += "/" + part;
        if (joined.empty())
            joined = "/";
        return joined.c_str();
    };

    int hops = 0;
    while (!todo.empty()) {
        std::string part = todo.front();
        todo.pop_front();
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (!current.empty())
                current.pop_back();
            continue;
        }
        current.push_back(part);
        if (!follow_last && !more_to_come())
            break;
        struct stat st;
        if (lstat(join(), &st) != 0 || !S_ISLNK(st.st_mode))
            continue;
        if (++hops > kMaxLinkHops)
            return false;
        char target[PATH_MAX];
        ssize_t n = readlink(joined.c_str(), target, sizeof target - 1);
        if (n <= 0)
            return false;
        target[n] = '\0';
        current.pop_back();
        if (target[0] == '/')
            current.clear();
        push_front_components(target);
    }
    join();
    out = joined;
    return true;
}

bool is_within(const std::string &root, const std::string &path)
{
    if (root == "/")
        return true;
    return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                            path[root.size()] == '/');
}



// The archive is read through read-ahead windows. minizip seeks before
// each 16 KB read of compressed data; through stdio that is an lseek and a
// read system call every time, a fifth of an unpack's time on large archives.
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
const size_t kReadAhead = 256 * 1024;
const size_t kOutputBuffer = 128 * 1024;

voidpf open_archive(voidpf opaque, const void *path, int mode)
{
    if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ)
        return nullptr;
    int fd = open(static_cast<const char *>(path), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st;
    std::unique_ptr<ArchiveStream> s(new (std::nothrow) ArchiveStream());
    if (s && fstat(fd, &st) == 0) {
        s->fd = fd;
        s->size = uint64_t(st.st_size);
        for (Window &w : s->windows)
            w.data.reset(new (std::nothrow) unsigned char[kReadAhead]);
        if (s->windows[0].data && s->windows[1].data)
            return *static_cast<ArchiveStream **>(opaque) = s.release();
    }
    close(fd);
    return nullptr;
}

uLong read_archive(voidpf, voidpf stream, void *buf, uLong size)
{
    ArchiveStream *s = static_cast<ArchiveStream *>(stream);
    unsigned char *out = static_cast<unsigned char *>(buf);
    uLong done = 0;
    while (done < size) {
        Window *hit = nullptr;
        for (Window &w : s->windows)
            if (s->pos >= w.start && s->pos < w.start + w.length)
                hit = &w;
        if (!hit) {
            if (s->pos >= s->size)
                break;
            hit = s->windows[0].last_use <= s->windows[1].last_use ? &s->windows[0] : &s->windows[1];
            ssize_t n = pread(s->fd, hit->data.get(), kReadAhead, off_t(s->pos));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                s->failed = n < 0;
                hit->length = 0;
                break;
            }
            hit->start = s->pos;
            hit->length = size_t(n);
        }
        hit->last_use = ++s->uses;
        size_t at = size_t(s->pos - hit->start);
        size_t n = std::min<size_t>(size - done, hit->length - at);
        memcpy(out + done, hit->data.get() + at, n);
        s->pos += n;
        done += n;
    }
    return done;
}

uLong write_archive(voidpf, voidpf, const void *, uLong)
{
    return 0;  // read only
}

ZPOS64_T tell_archive(voidpf, voidpf stream)
{
    return static_cast<ArchiveStream *>(stream)->pos;
}

long seek_archive(voidpf, voidpf stream, ZPOS64_T offset, int origin)
{
    ArchiveStream *s = static_cast<ArchiveStream *>(stream);
    uint64_t base = origin == ZLIB_FILEFUNC_SEEK_SET ? 0 : origin == ZLIB_FILEFUNC_SEEK_CUR ? s->pos : s->size;
    s->pos = base + offset;  // offsets from CUR or END may be negative: unsigned wrap-around
    return 0;
}

int close_archive(voidpf, voidpf stream)
{
    ArchiveStream *s = static_cast<ArchiveStream *>(stream);
    int rc = close(s->fd);
    delete s;
    return rc;
}

int archive_error(voidpf, voidpf stream)
{
    return static_cast<ArchiveStream *>(stream)->failed ? -1 : 0;
}

// Opens the archive; `stream` gets our side of it for reading the central
// directory ourselves.
void *open_zip_for_reading(const char *path, ArchiveStream **stream)
{
    zlib_filefunc64_def io = {open_archive, read_archive, write_archive, tell_archive,
                              seek_archive, close_archive, archive_error, stream};
    return unzOpen2_64(path, &io);
}

bool fits(const std::string &path)
{
    return path.size() <= ZIPUTIL_PATH_MAX - 1;
}

std::string parent_of(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string last_component(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool is_directory_entry(const std::string &name, unsigned mode)
{
    // Windows and Java tools write directories with no mode: the "/" tells.
    return (mode & 0xF000) == 0x4000 || (!name.empty() && name.back() == '/');
}

uint32_t le16(const unsigned char *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8;
}

uint32_t le32(const unsigned char *p)
{
    return le16(p) | le16(p + 2) << 16;
}

bool read_at(int fd, uint64_t offset, size_t size, std::vector<unsigned char> &out)
{
    out.resize(size);
    return read_full(fd, out.data(), size, int64_t(offset));
}

// What the central directory says of one entry.
struct Record {
    std::string name;
    unsigned flags, method, mode;
    uint64_t compressed, size, offset;
};

// Reads the central directory the way minizip finds it (the last end record,
// data before the archive allowed). Sets zip64 when any record or size needs
// the zip64 extension, which this minizip cannot read.
bool read_central_directory(const ArchiveStream &s, std::vector<Record> &records, bool &zip64, uint64_t &cd_offset)
{
    const size_t kEnd = 22;
    if (s.size < kEnd)
        return false;
    size_t tail_size = size_t(std::min<uint64_t>(s.size, 0xFFFF + kEnd));
    std::vector<unsigned char> tail;
    if (!read_at(s.fd, s.size - tail_size, tail_size, tail))
        return false;
    size_t at = tail_size - kEnd + 1;
    while (at-- > 0 && le32(&tail[at]) != 0x06054b50) {
    }
    if (at == size_t(-1))
        return false;
    const unsigned char *end = &tail[at];
    uint64_t end_pos = s.size - tail_size + at;
    uint32_t count = le16(end + 10), cd_size = le32(end + 12);
    cd_offset = le32(end + 16);
    zip64 = (end_pos >= 20 && at >= 20 && le32(end - 20) == 0x07064b50) || cd_offset == 0xFFFFFFFF ||
            cd_size == 0xFFFFFFFF;
    if (zip64)
        return true;
    if (end_pos < cd_offset + cd_size)
        return false;
    std::vector<unsigned char> cd;
    if (!read_at(s.fd, end_pos - cd_size, cd_size, cd))
        return false;
    size_t pos = 0;
    for (uint32_t i = 0; i < count; i++) {
        if (cd.size() - pos < 46 || le32(&cd[pos]) != 0x02014b50)
            return false;
        const unsigned char *h = &cd[pos];
        size_t name_length = le16(h + 28), record = 46 + name_length + le16(h + 30) + le16(h + 32);
        if (cd.size() - pos < record)
            return false;
        Record r{std::string(reinterpret_cast<const char *>(h + 46), name_length), le16(h + 8), le16(h + 10),
                 le32(h + 38) >> 16, le32(h + 20), le32(h + 24), le32(h + 42)};
        if (r.compressed == 0xFFFFFFFF || r.size == 0xFFFFFFFF || r.offset == 0xFFFFFFFF || le16(h + 34) == 0xFFFF)
            zip64 = true;
        records.push_back(std::move(r));
        pos += record;
    }
    return true;
}

// Each entry's local header and data must lie apart from every other's: one
// compressed body shared by many entries is how zip bombs fill disks.
bool entries_overlap(const std::vector<Record> &records, uint64_t cd_offset)
{
    std::vector<std::pair<uint64_t, uint64_t>> spans;  // [start, end): at least header, name and data
    for (const Record &r : records)
        spans.push_back({r.offset, r.offset + 30 + r.name.size() + r.compressed});
    std::sort(spans.begin(), spans.end());
    for (size_t i = 0; i < spans.size(); i++)
        if (spans[i].second > (i + 1 < spans.size() ? spans[i + 1].first : cd_offset))
            return true;
    return false;
}

// Refuses, before anything is written, what cannot be unpacked right.
// Returns the sum of the entries' declared sizes, or -1 after a line saying why.
long long check_archive(const ArchiveStream &s, const std::string &destination)
{
    std::vector<Record> records;
    bool zip64 = false;
    uint64_t cd_offset = 0;
    if (!read_central_directory(s, records, zip64, cd_offset)) {
        say("Failed to read the archive's central directory");
        return -1;
    }
    if (zip64) {
        say("Zip64 archive refused: ziputil reads entries and archives under 4 GiB, at most 65,535 entries");
        return -1;
    }
    uint64_t total = 0;
    for (const Record &r : records) {
        if (r.name.size() >= ZIPUTIL_PATH_MAX) {
            say("Entry name too long: ", r.name.substr(0, 64) + "...");
            return -1;
        }
        std::vector<std::string> parts = split_components(r.name);
        if (std::find(parts.begin(), parts.end(), "..") != parts.end()) {
            say("Refusing entry with a \"..\" component: ", r.name);
            return -1;
        }
        if (is_directory_entry(r.name, r.mode))
            continue;
        if (r.flags & 1) {
            say("Encrypted entry: ", r.name);
            return -1;
        }
        if (r.method != 0 && r.method != Z_DEFLATED) {
            say(("Unsupported compression method " + std::to_string(r.method) + ": ").c_str(), r.name);
            return -1;
        }
        std::string target;
        if ((r.mode & 0xF000) != 0xA000 && metadata_target_name(r.name, target) && r.size > kMaxMetadataStream) {
            say(("Metadata entry over " + std::to_string(kMaxMetadataStream >> 20) + " MiB: ").c_str(), r.name);
            return -1;
        }
        total += r.size;
    }
    if (entries_overlap(records, cd_offset)) {
        say("Refusing an archive whose entries overlap (a zip bomb?): ", destination);
        return -1;
    }
    struct statvfs fs;
    if (statvfs(destination.c_str(), &fs) == 0 && uint64_t(fs.f_bavail) * fs.f_frsize < total) {
        say(("Not enough free space: the archive holds " + std::to_string(total) + " bytes, " +
             std::to_string(uint64_t(fs.f_bavail) * fs.f_frsize) + " bytes free in ").c_str(),
            destination);
        return -1;
    }
    return (long long)total;
}

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
};

// Whether `path`, a path that starts with the destination text, leads to a
// place inside the destination; `resolved` gets where it leads.
bool leads_inside(const Unpack &u, const std::string &path, bool follow_last, std::string *resolved = nullptr)
{
    std::string where;
    bool below = !u.destination.empty() && u.destination.back() == '/' &&
                 path.compare(0, u.destination.size(), u.destination) == 0;
    bool ok = below ? resolve_path(u.root, path.substr(u.destination.size()), follow_last, where)
                    : resolve_path(!path.empty() && path[0] == '/' ? "/" : u.cwd, path, follow_last, where);
    if (resolved)
        *resolved = where;
    return ok && is_within(u.root, where);
}

bool link_stays_inside(const Unpack &u, const PendingLink &link)
{
    std::string from_parent = parent_of(link.path) + link.target;
    return leads_inside(u, link.path, false) && !link.target.empty() && link.target[0] != '/' &&
           fits(from_parent) && leads_inside(u, from_parent, true);
}

// Opens a regular file for writing at `path` (never a link: resolved
// already), creating it or rewriting it in place. A FIFO, socket or device
// there is replaced, never opened; a file that cannot be opened for writing
// (read-only, or a running program) is replaced too.
int open_output(const std::string &path)
{
    const char *p = path.c_str();
    struct stat st;
    if (lstat(p, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
        unlink(p);
    // O_NONBLOCK: a FIFO that appears meanwhile fails or is refused below, never waited on.
    int fd = open(p, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0 && (errno == EACCES || errno == EPERM || errno == ETXTBSY) && unlink(p) == 0)
        fd = open(p, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        return -1;
    }
    return fd;
}

// Streams the open entry into `out` and checks it against what the central
// directory declared. minizip checks the CRC only when it has delivered the
// declared size, so the size is checked here first: with both, no entry that
// lies about its size or content passes.
int copy_entry(Unpack &u, EntryPtr &entry, const unz_file_info64 &info, FILE *out, const std::string &name)
{
    uint64_t written = 0;
    for (;;) {
        int n = unzReadCurrentFile(u.zip, u.buffer, ZIPUTIL_BUFFER_SIZE);
        if (n < 0) {
            say("Damaged data in entry: ", name);
            return 0;
        }
        if (n == 0)
            break;
        if (fwrite(u.buffer, 1, size_t(n), out) != size_t(n)) {
            say_error("Could not write ", name, errno);
            return 0;
        }
        written += uint64_t(n);
        ZIP_UNPACK_BYTES_DONE.fetch_add(n, std::memory_order_relaxed);
    }
    if (fflush(out) != 0) {
        say_error("Could not write ", name, errno);
        return 0;
    }
    if (written != info.uncompressed_size) {
        say(("Size mismatch (" + std::to_string(written) + " bytes, " + std::to_string(info.uncompressed_size) +
             " declared) in entry: ").c_str(), name);
        return 0;
    }
    if (unzCloseCurrentFile(entry.release()) == UNZ_CRCERROR) {
        say("CRC error in entry: ", name);
        return 0;
    }
    return 1;
}

// A symbolic link entry: checked now against the tree as it stands, made
// after every file.
int unpack_link(Unpack &u, const unz_file_info64 &info, const std::string &name, const std::string &path)
{
    if (unzOpenCurrentFile(u.zip) != UNZ_OK) {
        say("Failed to unzOpenCurrentFile");
        return 0;
    }
    EntryPtr entry(u.zip);
    int n = unzReadCurrentFile(u.zip, u.buffer, ZIPUTIL_BUFFER_SIZE - 1);
    if (n <= 0) {
        say("Empty or unreadable link entry: ", name);
        return 0;
    }
    u.buffer[n] = '\0';
    PendingLink link{name, path, u.buffer};
    if (uint64_t(n) != info.uncompressed_size || link.target.size() != size_t(n)) {
        say("Size mismatch in link entry: ", name);
        return 0;
    }
    if (unzCloseCurrentFile(entry.release()) == UNZ_CRCERROR) {
        say("CRC error in entry: ", name);
        return 0;
    }
    ZIP_UNPACK_BYTES_DONE.fetch_add(n, std::memory_order_relaxed);
    if (!link_stays_inside(u, link)) {
        say("Refusing link whose target leaves the destination: ", name + " -> " + link.target);
        return 0;
    }
    u.link_paths.insert(path);
    u.links.push_back(std::move(link));
    return 1;
}

int apply_metadata(const std::string &stream, const std::string &target)
{
    return copyfile(stream.c_str(), target.c_str(), nullptr, ZIPUTIL_COPYFILE_UNPACK_FLAGS) == 0;
}

// A "__MACOSX/" entry: its AppleDouble stream goes through a temporary file
// onto the target, an item strictly inside the destination.
int unpack_metadata(Unpack &u, const unz_file_info64 &info, const std::string &name, const std::string &target)
{
    if (!fits(target)) {
        say("Output path too long: ", target);
        return 0;
    }
    std::string last = last_component(target), resolved;
    if (last == "." || last == ".." || !leads_inside(u, target, true, &resolved) || resolved == u.root) {
        say("Refusing metadata for a file outside the destination: ", name);
        return 0;
    }
    bool for_link = u.link_paths.count(target) > 0;
    struct stat st;
    int found = for_link ? 0 : stat(resolved.c_str(), &st);
    if (!for_link && found == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        say("Refusing metadata for a special file: ", name);
        return 0;
    }
    if (found != 0 && errno == ENOENT) {
        // Before its own entry: the target is made empty, its data comes later.
        int fd = open(resolved.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0)
            close(fd);
    }
    TempFile stream;
    int fd = make_temp_file("crunzip.temp", stream);
    if (fd < 0) {
        say("Failed to make temporary file");
        return 0;
    }
    FilePtr out(fdopen(fd, "w"));
    if (!out) {
        close(fd);
        say("Could not write to destination file: ", *stream);
        return 0;
    }
    if (unzOpenCurrentFile(u.zip) != UNZ_OK) {
        say("Failed to unzOpenCurrentFile");
        return 0;
    }
    EntryPtr entry(u.zip);
    if (!copy_entry(u, entry, info, out.get(), name))
        return 0;
    out.reset();
    if (for_link) {
        u.link_metadata.push_back({std::move(stream), name, target});
        return 1;
    }
    return apply_metadata(*stream, target);
}

// A regular file, written in place of what stands at its path.
int unpack_file(Unpack &u, const unz_file_info64 &info, const std::string &name, const std::string &path,
                unsigned mode)
{
    std::string resolved;
    if (!leads_inside(u, path, true, &resolved)) {
        say("Refusing to write through a link that leads outside the destination: ", name);
        return 0;
    }
    if (!make_dirs(u.destination.c_str(), name.c_str())) {
        say("Failed to make dirs for unzipped file");
        return 0;
    }
    if (unzOpenCurrentFile(u.zip) != UNZ_OK) {
        say("Failed to unzOpenCurrentFile");
        return 0;
    }
    EntryPtr entry(u.zip);
    int fd = open_output(resolved);
    FilePtr out(fd < 0 ? nullptr : fdopen(fd, "w"));
    if (!out) {
        if (fd >= 0)
            close(fd);
        say("Could not write to destination file: ", path);
        return 0;
    }
    setvbuf(out.get(), u.out_buffer, _IOFBF, kOutputBuffer);
    int ok = copy_entry(u, entry, info, out.get(), name);
    if (ok && mode != 0)
        fchmod(fileno(out.get()), mode & 07777);
    if (fclose(out.release()) != 0 && ok) {
        say_error("Could not write ", name, errno);
        ok = 0;
    }
    if (!ok)
        unlink(resolved.c_str());  // never leave a half-written or altered file
    return ok;
}

// One entry. Returns 1 to go on, 0 to end the call with failure.
int unpack_entry(Unpack &u, const unz_file_info64 &info, const std::string &name)
{
    say("Filename to unzip: ", name);
    const unsigned mode = (info.external_fa >> 16) & 0xffff;
    if (is_directory_entry(name, mode))
        return 1;  // directories come into being with their files
    const std::string path = u.destination + name;
    if (!fits(path)) {
        say("Output path too long: ", path);
        return 0;
    }
    if ((mode & 0xF000) == 0xA000)
        return unpack_link(u, info, name, path);
    std::string target;
    if (metadata_target_name(name, target))
        return unpack_metadata(u, info, name, u.destination + target);
    if (name.compare(0, 9, "__MACOSX/") == 0)
        return 1;  // nothing a file system can use
    return unpack_file(u, info, name, path, mode);
}

// Makes the links in archive order, each checked against the tree as it
// then stands; then checks every one against the final tree, since a later
// link can change where an earlier one leads.
int make_links(Unpack &u)
{
    std::vector<std::string> made;
    for (const PendingLink &link : u.links) {
        if (!link_stays_inside(u, link)) {
            say("Refusing link whose target leaves the destination: ", link.name + " -> " + link.target);
            return 0;
        }
        if (!make_dirs(u.destination.c_str(), link.name.c_str())) {
            say("Failed to make dirs for unzipped file");
            return 0;
        }
        struct stat st;
        if (lstat(link.path.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                say("Leaving existing entry in place of link: ", link.path);
                continue;
            }
            unlink(link.path.c_str());  // an update may move a link to a new target
        }
        if (symlink(link.target.c_str(), link.path.c_str()) != 0) {
            say_error("Could not create link: ", link.path, errno);
            return 0;
        }
        made.push_back(link.path);
    }
    int ok = 1;
    for (bool removed = true; removed;) {
        removed = false;
        for (std::string &path : made)
            if (!path.empty() && !leads_inside(u, path, true)) {
                say("Removing link that leads outside the destination: ", path);
                unlink(path.c_str());
                path.clear();
                removed = true;
                ok = 0;
            }
    }
    for (const PendingMetadata &md : u.link_metadata)
        if (ok && !apply_metadata(*md.stream, md.target))
            ok = 0;
    return ok;
}

}  // namespace

std::atomic<long long> ZIP_UNPACK_BYTES_DONE;
std::atomic<long long> ZIP_UNPACK_BYTES_TOTAL;

int decompress_path(const char *archive, const char *destination)
{
    ZIP_UNPACK_BYTES_DONE = 0;
    ZIP_UNPACK_BYTES_TOTAL = 0;
    std::string dest = destination;
    if (!fits(dest)) {
        say("Destination path too long: ", dest);
        return 0;
    }
    // A relative destination is made where it lies, not under "/"; "../"
    // always exists and keeps the lines the launcher has always printed.
    const char *base = (dest.empty() || dest[0] == '/' || dest == "../") ? nullptr : ".";
    if (!make_dirs(base, dest.c_str())) {
        say("Failed make dirs for the destination.");
        return 0;
    }
    ArchiveStream *stream = nullptr;
    ArchivePtr zip(open_zip_for_reading(archive, &stream));
    if (!zip) {
        say("Failed to open zip file");
        return 0;
    }
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[ZIPUTIL_BUFFER_SIZE]);
    std::unique_ptr<char[]> out_buffer(new (std::nothrow) char[kOutputBuffer]);
    if (!buffer || !out_buffer)
        return 0;
    Unpack u{zip.get(), dest, "", "", buffer.get(), out_buffer.get(), {}, {}, {}};
    char resolved[PATH_MAX];
    char cwd[PATH_MAX];
    if (!realpath(dest.empty() ? "." : dest.c_str(), resolved) || !getcwd(cwd, sizeof cwd)) {
        say("Failed make dirs for the destination.");
        return 0;
    }
    u.root = resolved;
    u.cwd = cwd;

    long long total = check_archive(*stream, u.root);
    unz_global_info64 global;
    if (total < 0 || unzGetGlobalInfo64(u.zip, &global) != UNZ_OK)
        return 0;
    ZIP_UNPACK_BYTES_TOTAL = total;
    // By the count: minizip takes a count of 65,535 for "unknown" and would
    // read past the last entry.
    if (global.number_entry == 0 || unzGoToFirstFile(u.zip) != UNZ_OK)
        return 0;
    for (ZPOS64_T i = 0; i < global.number_entry; i++) {
        unz_file_info64 info;
        char name[ZIPUTIL_PATH_MAX];
        if (unzGetCurrentFileInfo64(u.zip, &info, name, sizeof name, nullptr, 0, nullptr, 0) != UNZ_OK ||
            info.size_filename >= sizeof name) {
            say("Damaged archive: cannot read entry ", std::to_string(i + 1));
            return 0;
        }
        if (!unpack_entry(u, info, name))
            return 0;
        if (i + 1 < global.number_entry && unzGoToNextFile(u.zip) != UNZ_OK) {
            say("Damaged archive: cannot read the entry after ", name);
            return 0;
        }
    }
    return make_links(u);
}

std::atomic<int> ZIP_UNPACK_FAILURE;

int archive_needs(const char *archive, unsigned long long block_size, unsigned long long *bytes,
                  unsigned long long *entries)
{
    ArchiveStream *stream = nullptr;
    ArchivePtr zip(open_zip_for_reading(archive, &stream));
    unz_global_info64 global;
    if (!zip || unzGetGlobalInfo64(zip.get(), &global) != UNZ_OK || unzGoToFirstFile(zip.get()) != UNZ_OK) {
        ZIP_UNPACK_FAILURE = zip ? ZIP_DAMAGED : ZIP_CANNOT_READ;
        return 0;
    }
    if (block_size == 0)
        block_size = 1;
    *bytes = *entries = 0;
    for (; *entries < global.number_entry; ++*entries) {
        unz_file_info64 info;
        if (unzGetCurrentFileInfo64(zip.get(), &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK ||
            (*entries + 1 < global.number_entry && unzGoToNextFile(zip.get()) != UNZ_OK)) {
            ZIP_UNPACK_FAILURE = ZIP_DAMAGED;
            return 0;
        }
        *bytes += (info.uncompressed_size + block_size - 1) / block_size * block_size;
    }
    return 1;
}
