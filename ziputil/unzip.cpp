// Archive extraction. Entry conventions (shared with the writer):
//  - the POSIX mode sits in the upper 16 bits of the external attributes;
//  - links (0xA000) hold their target text; directories (0x4000) make nothing;
//  - "__MACOSX/D/._N" holds the AppleDouble metadata of "D/N".
// Every name is checked before anything is written for it: nothing may land
// outside the destination, whether by "..", by an existing link or by a link
// that the archive itself creates.
#include "copyfile.h"
#include "handles.h"
#include "ziputil.h"

#include <errno.h>
#include <fcntl.h>
#include <ioapi.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unzip.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace {

const char kMetadataPrefix[] = "__MACOSX/";
const size_t kMetadataPrefixLength = sizeof kMetadataPrefix - 1;
const int kMaxLinkHops = 40;

struct ArchiveCloser {
    void operator()(void *zip) const { unzClose(zip); }
};
struct EntryCloser {
    void operator()(void *zip) const { unzCloseCurrentFile(zip); }
};
using ArchivePtr = std::unique_ptr<void, ArchiveCloser>;
using EntryPtr = std::unique_ptr<void, EntryCloser>;  // holds the archive while an entry is open

void say(const char *prefix, const std::string &text)
{
    fputs(prefix, stdout);
    fputs(text.c_str(), stdout);
    fputc('\n', stdout);
}

void say(const char *line)
{
    fputs(line, stdout);
    fputc('\n', stdout);
}

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

bool has_dotdot_component(const std::string &name)
{
    for (const std::string &part : split_components(name))
        if (part == "..")
            return true;
    return false;
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

voidpf open_archive(voidpf, const void *path, int mode)
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
            return s.release();
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

void *open_zip_for_reading(const char *path)
{
    zlib_filefunc64_def io = {open_archive, read_archive, write_archive, tell_archive,
                              seek_archive, close_archive, archive_error, nullptr};
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

// What one call works with besides the current entry.
struct Unpack {
    void *zip;
    std::string destination;
    std::string root;  // the destination, resolved
    std::string cwd;
    char *buffer;      // the one 16384-byte transfer buffer
    char *out_buffer;  // stdio's buffer for output files: fewer, larger writes
};

// Whether `path`, a path that starts with the destination text, leads to a
// place inside the destination. Its destination part is already resolved.
bool leads_inside(const Unpack &u, const std::string &path, bool follow_last)
{
    std::string resolved;
    bool below = !u.destination.empty() && u.destination.back() == '/' &&
                 path.compare(0, u.destination.size(), u.destination) == 0;
    bool ok = below ? resolve_path(u.root, path.substr(u.destination.size()), follow_last, resolved)
                    : resolve_path(!path.empty() && path[0] == '/' ? "/" : u.cwd, path, follow_last, resolved);
    return ok && is_within(u.root, resolved);
}

// A symbolic link entry whose data is open. Returns 1 or 0.
int unpack_link(Unpack &u, EntryPtr &entry, const std::string &name, const std::string &out_path)
{
    int n = unzReadCurrentFile(u.zip, u.buffer, ZIPUTIL_BUFFER_SIZE - 1);
    if (n <= 0)
        return 0;
    u.buffer[n] = '\0';
    std::string target(u.buffer);

    if (!leads_inside(u, out_path, false)) {
        say("Refusing link that leads outside the destination: ", name);
        return 0;
    }
    std::string resolved_from = parent_of(out_path) + target;
    if (target.empty() || target[0] == '/' || !fits(resolved_from) ||
        !leads_inside(u, resolved_from, true)) {
        say("Refusing link whose target leaves the destination: ", name + " -> " + target);
        return 0;
    }
    if (unzCloseCurrentFile(entry.release()) == UNZ_CRCERROR) {
        say("CRC error in entry: ", name);
        return 0;
    }
    if (!make_dirs(u.destination.c_str(), name.c_str())) {
        say("Failed to make dirs for unzipped file");
        return 0;
    }
    struct stat st;
    if (lstat(out_path.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            say("Leaving existing entry in place of link: ", out_path);
            return 1;
        }
        unlink(out_path.c_str());  // an update may move a link to a new target
    }
    if (symlink(target.c_str(), out_path.c_str()) != 0) {
        say("Could not create link: ", out_path);
        return 0;
    }
    return 1;
}

// Streams the open entry into `out`. Returns 1 or 0.
int copy_entry(Unpack &u, FILE *out)
{
    for (;;) {
        int n = unzReadCurrentFile(u.zip, u.buffer, ZIPUTIL_BUFFER_SIZE);
        if (n < 0)
            return 0;
        if (n == 0)
            return 1;
        if (fwrite(u.buffer, 1, size_t(n), out) != size_t(n))
            return 0;
    }
}

// One entry. Returns 1 to go on, 0 to end the call with failure.
int unpack_entry(Unpack &u, const unz_file_info &info, const std::string &name)
{
    const std::string out_name = u.destination + name;
    say("Filename to unzip: ", name);
    const unsigned mode = (info.external_fa >> 16) & 0xffff;

    if (has_dotdot_component(name)) {
        say("Refusing entry with a \"..\" component: ", name);
        return 0;
    }
    if ((mode & 0xF000) == 0x4000)
        return 1;  // directories come into being with their files
    if (!fits(out_name)) {
        say("Output path too long: ", out_name);
        return 0;
    }

    bool metadata = false;
    std::string target;
    if (name.compare(0, kMetadataPrefixLength, kMetadataPrefix) == 0 && (mode & 0xF000) != 0xA000) {
        std::string rest = name.substr(kMetadataPrefixLength);
        size_t slash = rest.find_last_of('/');
        std::string last = slash == std::string::npos ? rest : rest.substr(slash + 1);
        if (last.size() < 3 || last.compare(0, 2, "._") != 0)
            return 1;  // nothing a file system can use
        target = u.destination + (slash == std::string::npos ? "" : rest.substr(0, slash + 1)) + last.substr(2);
        if (!fits(target)) {
            say("Output path too long: ", target);
            return 0;
        }
        if (!leads_inside(u, target, true)) {
            say("Refusing metadata for a file outside the destination: ", name);
            return 0;
        }
        metadata = true;
    }

    if (unzOpenCurrentFile(u.zip) != UNZ_OK) {
        say("Failed to unzOpenCurrentFile");
        return 0;
    }
    EntryPtr entry(u.zip);

    if ((mode & 0xF000) == 0xA000)
        return unpack_link(u, entry, name, out_name);

    FilePtr out;
    TempPath temp;
    if (metadata) {
        FILE *existing = fopen(target.c_str(), "r");
        if (!existing)
            existing = fopen(target.c_str(), "w");
        if (existing)
            fclose(existing);
        char *temp_name = strdup("/tmp/crunzip.temp.XXXXXX");
        int fd = temp_name ? mkstemp(temp_name) : -1;
        if (fd < 0) {
            free(temp_name);
            say("Failed to make temporary file");
            return 0;
        }
        temp.reset(temp_name);
        out.reset(fdopen(fd, "w"));
        if (!out) {
            close(fd);
            say("Could not write to destination file: ", temp.get());
            return 0;
        }
    } else {
        if (!leads_inside(u, out_name, true)) {
            say("Refusing to write through a link that leads outside the destination: ", name);
            return 0;
        }
        if (!make_dirs(u.destination.c_str(), name.c_str())) {
            say("Failed to make dirs for unzipped file");
            return 0;
        }
        out.reset(fopen(out_name.c_str(), "w"));
        if (!out) {
            say("Could not write to destination file: ", out_name);
            return 0;
        }
        setvbuf(out.get(), u.out_buffer, _IOFBF, kOutputBuffer);
    }

    int ok = copy_entry(u, out.get());
    if (ok && mode != 0)
        fchmod(fileno(out.get()), mode & 07777);
    if (fclose(out.release()) != 0)
        ok = 0;  // the last bytes never reached the disk
    if (unzCloseCurrentFile(entry.release()) == UNZ_CRCERROR) {
        say("CRC error in entry: ", name);
        return 0;
    }
    if (metadata)
        return copyfile(temp.get(), target.c_str(), nullptr, ZIPUTIL_COPYFILE_UNPACK_FLAGS) == 0;
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
    ArchivePtr zip(open_zip_for_reading(archive));
    if (!zip) {
        say("Failed to open zip file");
        return 0;
    }
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[ZIPUTIL_BUFFER_SIZE]);
    if (!buffer)
        return 0;

    std::unique_ptr<char[]> out_buffer(new (std::nothrow) char[kOutputBuffer]);
    if (!out_buffer)
        return 0;
    Unpack u{zip.get(), dest, "", "", buffer.get(), out_buffer.get()};
    char resolved[PATH_MAX];
    char cwd[PATH_MAX];
    if (!realpath(dest.empty() ? "." : dest.c_str(), resolved) || !getcwd(cwd, sizeof cwd)) {
        say("Failed make dirs for the destination.");
        return 0;
    }
    u.root = resolved;
    u.cwd = cwd;

    if (unzGoToFirstFile(u.zip) != UNZ_OK)
        return 0;
    for (;;) {
        unz_file_info info;
        char name[ZIPUTIL_PATH_MAX];
        if (unzGetCurrentFileInfo(u.zip, &info, name, sizeof name, nullptr, 0, nullptr, 0) != UNZ_OK)
            return 0;
        if (info.size_filename >= sizeof name) {
            say("Entry name too long: ", std::string(name, 64) + "...");
            return 0;
        }
        if (!unpack_entry(u, info, name))
            return 0;
        int next = unzGoToNextFile(u.zip);
        if (next == UNZ_END_OF_LIST_OF_FILE)
            return 1;
        if (next != UNZ_OK)
            return 0;
    }
}
