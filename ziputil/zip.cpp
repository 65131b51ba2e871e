// Archive creation: one file, link or directory tree into a new zip archive,
// each data entry followed by its "__MACOSX/" metadata entry when the item
// carries metadata. Entries are marked as made on Unix so that other unzip
// tools honour the modes and links in the upper 16 bits. Every failure says
// what and why on a line of its own.
#include "copyfile.h"
#include "pack.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <utime.h>
#include <zip.h>

#include <algorithm>
#include <memory>
#include <string>

using namespace ziputil;

const char *ZIP_RAW_EXTENTIONS = ".png|.zip|.gz|.mpg|.mov|.rar|";

namespace {

const unsigned long kVersionMadeByUnix = (3u << 8) | 20;  // made on Unix (3), zip format 2.0
const size_t kArchiveBuffer = 256 * 1024;

struct DirCloser {
    void operator()(DIR *d) const { closedir(d); }
};
struct FdCloser {
    void operator()(int *fd) const { close(*fd); }
};

// The archive being written: where it is (to leave it out of itself), how
// far it has grown and how many entries it has, against the limits.
struct Writing {
    std::string path;
    dev_t dev = 0;
    ino_t ino = 0;
    bool known = false;
    int fd = -1;
    int error = 0;                 // errno of a failed write
    uint64_t pos = 0, end = 0;     // minizip's position, the file's size
    uint64_t entries = 0, central = 0;  // central directory bytes so far
    bool over_limit = false;
    // The archive's tail, kept in memory: minizip goes back after each entry
    // to fill in its header's CRC and sizes, which lands here without a seek.
    std::unique_ptr<char[]> tail;
    uint64_t tail_start = 0;
    size_t tail_length = 0;
};
thread_local Writing current;

bool flush_tail()
{
    if (!write_full(current.fd, current.tail.get(), current.tail_length, int64_t(current.tail_start))) {
        current.error = errno;
        return false;
    }
    current.tail_start += current.tail_length;
    current.tail_length = 0;
    return true;
}

voidpf open_out(voidpf, const void *path, int)
{
    current.tail.reset(new (std::nothrow) char[kArchiveBuffer]);
    if (!current.tail) {
        errno = ENOMEM;
        return nullptr;
    }
    current.fd = open(static_cast<const char *>(path), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    return current.fd < 0 ? nullptr : &current;
}

uLong read_out(voidpf, voidpf, void *buf, uLong size)
{
    if (!flush_tail())
        return 0;
    ssize_t n = pread(current.fd, buf, size, off_t(current.pos));
    if (n <= 0)
        return 0;
    current.pos += uint64_t(n);
    return uLong(n);
}

uLong write_out(voidpf, voidpf, const void *buf, uLong size)
{
    const char *data = static_cast<const char *>(buf);
    for (uLong left = size; left > 0;) {
        if (current.pos < current.tail_start || current.pos > current.tail_start + current.tail_length ||
            current.pos == current.tail_start + kArchiveBuffer) {
            if (!flush_tail())
                return size - left;
            current.tail_start = current.pos;
        }
        size_t at = size_t(current.pos - current.tail_start);
        size_t n = std::min<size_t>(left, kArchiveBuffer - at);
        memcpy(current.tail.get() + at, data, n);
        current.tail_length = std::max(current.tail_length, at + n);
        current.pos += n;
        data += n;
        left -= n;
    }
    current.end = std::max(current.end, current.pos);
    return size;
}

ZPOS64_T tell_out(voidpf, voidpf)
{
    return current.pos;
}

long seek_out(voidpf, voidpf, ZPOS64_T offset, int origin)
{
    uint64_t base = origin == ZLIB_FILEFUNC_SEEK_SET ? 0 : origin == ZLIB_FILEFUNC_SEEK_CUR ? current.pos : current.end;
    current.pos = base + offset;
    return 0;
}

int close_out(voidpf, voidpf)
{
    bool flushed = flush_tail();
    int rc = close(current.fd);
    current.fd = -1;
    if (rc != 0 && !current.error)
        current.error = errno;
    return flushed && rc == 0 ? 0 : -1;
}

int error_out(voidpf, voidpf)
{
    return current.error;
}

}  // namespace

namespace ziputil {

void say_write_error()
{
    say_error("Cannot write ", current.path, current.error ? current.error : errno ? errno : EIO);
}

// The limits of an archive without zip64 records: a line that names the
// limit, and the archive is removed at the end.
bool refuse(const std::string &what)
{
    say("Refusing to pack ", what);
    current.over_limit = true;
    return false;
}

void mark_over_limit()
{
    current.over_limit = true;
}

namespace {

bool within_size_limit()
{
    if (current.end + current.central + 22 <= kMaxArchiveSize)
        return true;
    return refuse("an archive of 4 GiB or more (the limit is 4 GiB less one byte)");
}

}  // namespace

int raw_extension_level(const char *entry_name, int level)
{
    const char *dot = strrchr(entry_name, '.');
    if (!dot || !ZIP_RAW_EXTENTIONS)
        return level;
    const char *found = strstr(ZIP_RAW_EXTENTIONS, dot);
    if (!found || found[strlen(dot)] != '|')
        return level;
    return 0;
}

int open_entry(zipFile archive, const char *entry_name, const zip_fileinfo *info, int method, int level, int raw)
{
    if (current.entries >= kMaxEntries) {
        refuse("more than 65,534 entries (the limit of an archive): " + std::string(entry_name));
        return ZIP_PARAMERROR;
    }
    int rc = zipOpenNewFileInZip4(archive, entry_name, info, nullptr, 0, nullptr, 0, nullptr, method, level, raw,
                                  -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0, kVersionMadeByUnix, 0);
    if (rc != ZIP_OK) {
        say("Cannot add an entry to the archive: ", entry_name);
        return rc;
    }
    current.entries++;
    current.central += 46 + strlen(entry_name);
    return rc;
}

int close_entry(zipFile archive, const DeflatedEntry *raw)
{
    if ((raw ? zipCloseFileInZipRaw64(archive, raw->size, raw->crc) : zipCloseFileInZip(archive)) != ZIP_OK) {
        say_write_error();
        return 0;
    }
    return within_size_limit();
}

void entry_info(const char *disk_path, zip_fileinfo &info, struct stat &st)
{
    memset(&info, 0, sizeof info);
    time_t when = 0;
    memset(&st, 0, sizeof st);
    if (lstat(disk_path, &st) == 0)
        when = st.st_mtime;
    struct tm parts;
    if (localtime_r(&when, &parts)) {
        info.tmz_date.tm_sec = unsigned(parts.tm_sec);
        info.tmz_date.tm_min = unsigned(parts.tm_min);
        info.tmz_date.tm_hour = unsigned(parts.tm_hour);
        info.tmz_date.tm_mday = unsigned(parts.tm_mday);
        info.tmz_date.tm_mon = unsigned(parts.tm_mon);
        info.tmz_date.tm_year = unsigned(parts.tm_year + 1900);
    }
    info.external_fa = (uLong)(st.st_mode & 0xffff) << 16;
}

int stage_metadata(const char *entry_name, const char *disk_path, TempFile &temp, std::string &name)
{
    // Most files carry nothing: ask before making a temporary file.
    if (!may_carry_metadata(disk_path))
        return 0;
    int fd = make_temp_file("crzip.temp", temp);
    if (fd < 0) {
        say_error("Cannot pack the metadata of ", disk_path, errno);
        return 0;  // the item goes without it, as when there is nothing to carry
    }
    close(fd);
    errno = 0;
    if (copyfile(disk_path, temp->c_str(), nullptr, ZIPUTIL_COPYFILE_PACK_FLAGS) < 0) {
        if (errno != ENODATA)
            say_error("Cannot pack the metadata of ", disk_path, errno ? errno : EIO);
        return 0;
    }
    name = metadata_entry_name(entry_name);
    if (name.size() > ZIPUTIL_PATH_MAX - 1) {
        say("Path too long: ", name);
        return -1;
    }
    return 1;
}

}  // namespace ziputil

namespace {

int compress_file(zipFile archive, const char *entry_name, const char *disk_path, int level, char *buffer)
{
    zip_fileinfo info;
    struct stat st;
    entry_info(disk_path, info, st);

    if (S_ISLNK(st.st_mode)) {
        ssize_t n = readlink(disk_path, buffer, ZIPUTIL_BUFFER_SIZE);
        if (n <= 0) {
            say_error("Cannot read link ", disk_path, n == 0 ? ENOENT : errno);
            return 0;
        }
        if (open_entry(archive, entry_name, &info, 0, 0) != ZIP_OK)
            return 0;
        if (zipWriteInFileInZip(archive, buffer, unsigned(n)) != ZIP_OK) {
            say_write_error();
            zipCloseFileInZip(archive);
            return 0;
        }
        return close_entry(archive);
    }

    if (uint64_t(st.st_size) > kMaxEntrySize)
        return refuse(std::string(disk_path) + ": " + std::to_string(st.st_size) +
                      " bytes (an entry must be under 4 GiB)");
    if (open_entry(archive, entry_name, &info, Z_DEFLATED, raw_extension_level(entry_name, level)) != ZIP_OK)
        return 0;
    int fd = open(disk_path, O_RDONLY | O_CLOEXEC);
    std::unique_ptr<int, FdCloser> in(fd < 0 ? nullptr : &fd);
    int ok = 0;
    uint64_t read_so_far = 0;
    if (!in)
        say_error("Cannot read ", disk_path, errno);
    while (in) {
        ssize_t n = read(fd, buffer, ZIPUTIL_BUFFER_SIZE);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            say_error("Cannot read ", disk_path, errno);
            break;
        }
        if (n == 0) {
            ok = 1;
            break;
        }
        if ((read_so_far += n) > kMaxEntrySize) {
            refuse(std::string(disk_path) + ": it grew to 4 GiB while being packed (an entry must be under 4 GiB)");
            break;
        }
        if (zipWriteInFileInZip(archive, buffer, unsigned(n)) != ZIP_OK) {
            say_write_error();
            break;
        }
    }
    in.reset();
    // Closing flushes the deflate stream: a failure here loses the entry's tail.
    return close_entry(archive) && ok;
}

int compress_xattrs(zipFile archive, const char *entry_name, const char *disk_path, int level, char *buffer)
{
    TempFile temp;
    std::string name;
    int staged = stage_metadata(entry_name, disk_path, temp, name);
    if (staged <= 0)
        return staged == 0;
    return compress_file(archive, name.c_str(), temp->c_str(), level, buffer);
}

// An item and its metadata entry: here, or handed to the workers.
int pack_item(zipFile archive, const char *entry_name, const char *disk_path, int level, char *buffer)
{
    if (packing_in_parallel())
        return queue_item(archive, entry_name, disk_path, level);
    return compress_file(archive, entry_name, disk_path, level, buffer) &&
           compress_xattrs(archive, entry_name, disk_path, level, buffer);
}

bool is_archive_itself(const char *disk_path, ino_t listed_ino)
{
    if (!current.known || listed_ino != current.ino)
        return false;
    struct stat st;
    return lstat(disk_path, &st) == 0 && st.st_dev == current.dev && st.st_ino == current.ino;
}

int compress_directory(zipFile archive, const char *entry_prefix, const char *dir_path, int level, char *buffer)
{
    if (!entry_prefix)
        entry_prefix = "";
    std::unique_ptr<DIR, DirCloser> dir(opendir(dir_path));
    if (!dir) {
        say_error("Cannot list ", dir_path, errno);
        return 0;
    }
    for (;;) {
        errno = 0;
        struct dirent *item = readdir(dir.get());
        if (!item) {
            if (errno == 0)
                return 1;
            say_error("Cannot list ", dir_path, errno);
            return 0;
        }
        const char *name = item->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
            continue;
        char child_name[ZIPUTIL_PATH_MAX];
        char child_path[ZIPUTIL_PATH_MAX];
        if (!combine_paths(child_name, entry_prefix, name, (char *)nullptr) ||
            !combine_paths(child_path, dir_path, name, (char *)nullptr)) {
            say("Path too long: ", std::string(dir_path) + name);
            return 0;
        }

        unsigned char type = item->d_type;
        if (type == DT_UNKNOWN) {
            // Some file systems do not report types in listings: ask.
            struct stat st;
            if (lstat(child_path, &st) == 0)
                type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : S_ISLNK(st.st_mode) ? DT_LNK : DT_UNKNOWN;
        }
        int ok = 1;
        if (type == DT_DIR) {
            size_t name_len = strlen(child_name), path_len = strlen(child_path);
            if (name_len + 1 > ZIPUTIL_PATH_MAX - 1 || path_len + 1 > ZIPUTIL_PATH_MAX - 1) {
                say("Path too long: ", child_path);
                return 0;
            }
            memcpy(child_name + name_len, "/", 2);
            memcpy(child_path + path_len, "/", 2);
            ok = compress_directory(archive, child_name, child_path, level, buffer);
        } else if (type == DT_REG || type == DT_LNK) {
            if (type == DT_REG && is_archive_itself(child_path, item->d_ino))
                continue;
            ok = pack_item(archive, child_name, child_path, level, buffer);
        }
        if (!ok)
            return 0;
    }
}

int compress_into(zipFile archive, const char *source_path, const struct stat &st, int level)
{
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[ZIPUTIL_BUFFER_SIZE]);
    if (!buffer) {
        say_error("Cannot pack ", source_path, ENOMEM);
        return 0;
    }

    std::string root = source_path;
    if (!root.empty() && root.back() == '/')
        root.pop_back();
    size_t slash = root.find_last_of('/');
    if (slash != std::string::npos)
        root.erase(0, slash + 1);
    if (root.size() + 1 > ZIPUTIL_PATH_MAX - 1) {
        say("Path too long: ", source_path);
        return 0;
    }

    if (S_ISDIR(st.st_mode)) {
        root += "/";
        // A relative tree is walked where it lies: its disk paths are joined
        // to the working directory, since every joined path starts at "/".
        std::string dir = source_path;
        if (dir[0] != '/') {
            char cwd[ZIPUTIL_PATH_MAX];
            if (!getcwd(cwd, sizeof cwd)) {
                say_error("Cannot find the working directory for ", source_path, errno);
                return 0;
            }
            dir = std::string(cwd) + "/" + dir;
        }
        if (dir.size() > ZIPUTIL_PATH_MAX - 1) {
            say("Path too long: ", dir);
            return 0;
        }
        return compress_directory(archive, root.c_str(), dir.c_str(), level, buffer.get());
    }
    if (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) {
        return pack_item(archive, root.c_str(), source_path, level, buffer.get());
    }
    say("Cannot pack (not a file, a directory or a link): ", source_path);
    return 0;
}

}  // namespace

int compress_path(const char *source_path, const char *zip_path, int level)
{
    struct stat st;
    if (lstat(source_path, &st) != 0) {
        say_error("Cannot read ", source_path, errno);
        return 0;
    }
    current = Writing();
    current.path = zip_path;
    zlib_filefunc64_def io = {open_out, read_out, write_out, tell_out, seek_out, close_out, error_out, nullptr};
    zipFile archive = zipOpen2_64(zip_path, APPEND_STATUS_CREATE, nullptr, &io);
    if (!archive) {
        say_error("Cannot create ", zip_path, errno ? errno : EIO);
        return 0;
    }
    struct stat zip_st;
    if (fstat(current.fd, &zip_st) == 0) {
        current.dev = zip_st.st_dev;
        current.ino = zip_st.st_ino;
        current.known = true;
    }

    // With more than one thread the walk hands each item to the workers
    // and writes the deflated entries in its own order (parallel_pack.cpp).
    bool parallel = thread_count() > 1 && start_parallel_pack();
    int result = compress_into(archive, source_path, st, level);
    if (parallel)
        result = end_parallel_pack(archive, result);
    if (result && !within_size_limit())
        result = 0;
    // The central directory is written on close: without it there is no archive.
    if (zipClose(archive, nullptr) != ZIP_OK && result) {
        say_write_error();
        result = 0;
    }
    if (current.over_limit)
        unlink(zip_path);  // never leave an archive that other tools would misread
    current = Writing();
    return result;
}

int compress_path_preserving_time(const char *source_path, const char *zip_path, int level)
{
    struct stat st;
    if (lstat(source_path, &st) != 0) {
        say_error("Cannot read ", source_path, errno);
        return 0;
    }
    if (!compress_path(source_path, zip_path, level))
        return 0;
    struct utimbuf times;
    times.actime = st.st_atime;
    times.modtime = st.st_mtime;
    if (utime(zip_path, &times) != 0)
        perror("compress_path_preservingtime: cannot set time");
    return 1;
}
