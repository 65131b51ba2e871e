// Archive creation: one file, link or directory tree into a new zip archive,
// each data entry followed by its "__MACOSX/" metadata entry when the item
// carries metadata. Entries are marked as made on Unix so that other unzip
// tools honour the modes and links in the upper 16 bits. Every failure says
// what and why on a line of its own.
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

#include <algorithm>
#include <memory>
#include <string>

using namespace ziputil;

const char *ZIP_RAW_EXTENTIONS = ".png|.zip|.gz|.mpg|.mov|.rar|";

namespace {

const unsigned long kVersionMadeByUnix = (3u << 8) | 20;  // made on Unix (3), zip format 2.0

}  // namespace

namespace ziputil {

ssize_t read_for_entry(Out &out, int fd, char *buffer, const char *disk_path, bool zip64, uint64_t &so_far,
                       bool &refused)
{
    for (;;) {
        ssize_t n = read(fd, buffer, ZIPUTIL_BUFFER_SIZE);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail_error(out, FAILURE_CANNOT_READ, "Cannot read ", disk_path, errno) - 1;
        if ((so_far += uint64_t(n)) >= kZip64From && !zip64) {
            refused = true;  // its entry, opened without zip64, cannot hold it
            return fail(out, FAILURE_REFUSED, "Refusing to pack " + std::string(disk_path) +
                                                  ": it grew past 4 GiB less 64 MiB while being packed") - 1;
        }
        progress_add(out.ctx, n);
        return n;
    }
}

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

int open_entry(Packing &pk, zipFile archive, const char *entry_name, const zip_fileinfo *info, int method, int level,
               bool zip64, int raw)
{
    int rc = zipOpenNewFileInZip4_64(archive, entry_name, info, nullptr, 0, nullptr, 0, nullptr, method, level, raw,
                                     -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0, kVersionMadeByUnix, 0,
                                     zip64 ? 1 : 0);
    if (rc != ZIP_OK)
        fail_error(pk.out, FAILURE_CANNOT_WRITE, "Cannot add an entry to the archive: ", entry_name,
                   pk.writing.error ? pk.writing.error : EIO);
    else
        pk.writing.entries++;
    return rc;
}

int close_entry(Packing &pk, zipFile archive, bool raw, uint64_t size, uLong crc)
{
    if ((raw ? zipCloseFileInZipRaw64(archive, size, crc) : zipCloseFileInZip(archive)) != ZIP_OK)
        return fail_archive_write(pk.out, pk.writing);
    return 1;
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

int stage_metadata(Out &out, const char *entry_name, const char *disk_path, TempFile &temp, std::string &name)
{
    // Most files carry nothing: ask before making a temporary file.
    if (!macmeta::may_carry(disk_path))
        return 0;
    int fd = make_temp_file("crzip.temp", temp);
    if (fd < 0) {
        say_error(out, "Cannot pack the metadata of ", disk_path, errno);
        return 0;  // the item goes without it, as when there is nothing to carry
    }
    close(fd);
    errno = 0;
    if (copyfile(disk_path, temp->c_str(), nullptr, MACMETA_PACK_FLAGS) < 0) {
        if (errno != ENODATA)
            say_error(out, "Cannot pack the metadata of ", disk_path, errno ? errno : EIO);
        return 0;
    }
    name = macmeta::entry_name(entry_name);
    if (name.size() > ZIPUTIL_PATH_MAX - 1)
        return fail(out, FAILURE_REFUSED, "Path too long: " + name) - 1;
    return 1;
}

}  // namespace ziputil

namespace {

// A small file deflated whole, written as a raw entry; what the workers do
// with it too, so the bytes are the same. -1 when it must be streamed.
int compress_small_file(Packing &pk, zipFile archive, const char *entry_name, const char *disk_path,
                        zip_fileinfo &info, int level)
{
    Writing &w = pk.writing;
    if (!w.whole)
        w.whole.reset(new (std::nothrow) Whole());
    Fd in(open(disk_path, O_RDONLY | O_CLOEXEC));
    WholeDeflated made;
    if (!w.whole || in.fd < 0 || !deflate_whole(in.fd, level, *w.whole, made))
        return -1;
    in = Fd();
    progress_add(pk.out.ctx, (long long)made.size);
    info.internal_fa = made.text ? 1 : 0;
    if (open_entry(pk, archive, entry_name, &info, Z_DEFLATED, level, false, 1) != ZIP_OK)
        return 0;
    if (zipWriteInFileInZip(archive, w.whole->out.get(), unsigned(made.deflated)) != ZIP_OK) {
        fail_archive_write(pk.out, w);
        close_entry(pk, archive, true, made.size, made.crc);
        return 0;
    }
    return close_entry(pk, archive, true, made.size, made.crc);
}

int compress_file(Packing &pk, zipFile archive, const char *entry_name, const char *disk_path, int level,
                  char *buffer, bool data = true)
{
    zip_fileinfo info;
    struct stat st;
    entry_info(disk_path, info, st);

    if (S_ISLNK(st.st_mode)) {
        ssize_t n = readlink(disk_path, buffer, ZIPUTIL_BUFFER_SIZE);
        if (n <= 0)
            return fail_error(pk.out, FAILURE_CANNOT_READ, "Cannot read link ", disk_path, n == 0 ? ENOENT : errno);
        if (open_entry(pk, archive, entry_name, &info, 0, 0, false) != ZIP_OK)
            return 0;
        if (zipWriteInFileInZip(archive, buffer, unsigned(n)) != ZIP_OK) {
            fail_archive_write(pk.out, pk.writing);
            zipCloseFileInZip(archive);
            return 0;
        }
        return close_entry(pk, archive);
    }

    const int entry_level = raw_extension_level(entry_name, level);
    if (entry_level != 0 && uint64_t(st.st_size) <= kWholeEntry) {
        int done = compress_small_file(pk, archive, entry_name, disk_path, info, entry_level);
        if (done >= 0)
            return done;
    }
    const bool zip64 = uint64_t(st.st_size) >= kZip64From;
    if (data && packs_in_blocks(entry_level, uint64_t(st.st_size)))
        return pack_in_blocks(pk, archive, entry_name, disk_path, info, entry_level, zip64);
    if (open_entry(pk, archive, entry_name, &info, Z_DEFLATED, entry_level, zip64) != ZIP_OK)
        return 0;
    Fd in(open(disk_path, O_RDONLY | O_CLOEXEC));
    int ok = 0;
    uint64_t read_so_far = 0;
    if (in.fd < 0)
        fail_error(pk.out, FAILURE_CANNOT_READ, "Cannot read ", disk_path, errno);
    while (in.fd >= 0) {
        ssize_t n = read_for_entry(pk.out, in.fd, buffer, disk_path, zip64, read_so_far, pk.writing.refused);
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        if (zipWriteInFileInZip(archive, buffer, unsigned(n)) != ZIP_OK) {
            fail_archive_write(pk.out, pk.writing);
            break;
        }
    }
    in = Fd();
    // Closing flushes the deflate stream: a failure here loses the entry's tail.
    return close_entry(pk, archive) && ok;
}

int compress_xattrs(Packing &pk, zipFile archive, const char *entry_name, const char *disk_path, int level,
                    char *buffer)
{
    TempFile temp;
    std::string name;
    int staged = stage_metadata(pk.out, entry_name, disk_path, temp, name);
    if (staged <= 0)
        return staged == 0;
    return compress_file(pk, archive, name.c_str(), temp->c_str(), level, buffer, false);
}

// An item and its metadata entry: here, or handed to the workers.
int pack_item(Packing &pk, zipFile archive, const char *entry_name, const char *disk_path, int level, char *buffer)
{
    if (pk.parallel)
        return queue_item(pk, archive, entry_name, disk_path, level);
    return compress_file(pk, archive, entry_name, disk_path, level, buffer) &&
           compress_xattrs(pk, archive, entry_name, disk_path, level, buffer);
}

bool is_archive_itself(const Writing &w, const char *disk_path, ino_t listed_ino)
{
    if (!w.known || listed_ino != w.ino)
        return false;
    struct stat st;
    return lstat(disk_path, &st) == 0 && st.st_dev == w.dev && st.st_ino == w.ino;
}

int compress_directory(Packing &pk, zipFile archive, const char *entry_prefix, const char *dir_path, int level,
                       char *buffer)
{
    if (!entry_prefix)
        entry_prefix = "";
    DirPtr dir(opendir(dir_path));
    if (!dir)
        return fail_error(pk.walk, FAILURE_CANNOT_READ, "Cannot list ", dir_path, errno);
    for (;;) {
        errno = 0;
        struct dirent *item = readdir(dir.get());
        if (!item) {
            if (errno == 0)
                return 1;
            return fail_error(pk.walk, FAILURE_CANNOT_READ, "Cannot list ", dir_path, errno);
        }
        const char *name = item->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
            continue;
        // Entry names are relative ("Demo/readme.txt"): the zip format's note
        // forbids a leading "/", and Info-ZIP's unzip warns on each one.
        char child_name[ZIPUTIL_PATH_MAX];
        char child_path[ZIPUTIL_PATH_MAX];
        size_t prefix_length = strlen(entry_prefix), name_length = strlen(name);
        if (prefix_length + name_length > ZIPUTIL_PATH_MAX - 1 ||
            !combine_paths(child_path, dir_path, name, (char *)nullptr))
            return fail(pk.walk, FAILURE_REFUSED, "Path too long: " + std::string(dir_path) + name);
        memcpy(child_name, entry_prefix, prefix_length);
        memcpy(child_name + prefix_length, name, name_length + 1);

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
            if (name_len + 1 > ZIPUTIL_PATH_MAX - 1 || path_len + 1 > ZIPUTIL_PATH_MAX - 1)
                return fail(pk.walk, FAILURE_REFUSED, std::string("Path too long: ") + child_path);
            memcpy(child_name + name_len, "/", 2);
            memcpy(child_path + path_len, "/", 2);
            ok = compress_directory(pk, archive, child_name, child_path, level, buffer);
        } else if (type == DT_REG || type == DT_LNK) {
            if (type == DT_REG && is_archive_itself(pk.writing, child_path, item->d_ino))
                continue;
            ok = pack_item(pk, archive, child_name, child_path, level, buffer);
        }
        if (!ok)
            return 0;
    }
}

int compress_into(Packing &pk, zipFile archive, const char *source_path, const struct stat &st, int level)
{
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[ZIPUTIL_BUFFER_SIZE]);
    if (!buffer)
        return fail_error(pk.walk, FAILURE_CANNOT_WRITE, "Cannot pack ", source_path, ENOMEM);

    std::string root = source_path;
    if (!root.empty() && root.back() == '/')
        root.pop_back();
    size_t slash = root.find_last_of('/');
    if (slash != std::string::npos)
        root.erase(0, slash + 1);
    if (root.size() + 1 > ZIPUTIL_PATH_MAX - 1)
        return fail(pk.walk, FAILURE_REFUSED, std::string("Path too long: ") + source_path);

    if (S_ISDIR(st.st_mode)) {
        root += "/";
        // A relative tree is walked where it lies: its disk paths are joined
        // to the working directory, since every joined path starts at "/".
        std::string dir = source_path;
        if (dir[0] != '/') {
            char cwd[ZIPUTIL_PATH_MAX];
            if (!getcwd(cwd, sizeof cwd))
                return fail_error(pk.walk, FAILURE_CANNOT_READ, "Cannot find the working directory for ", source_path,
                                  errno);
            dir = std::string(cwd) + "/" + dir;
        }
        if (dir.size() > ZIPUTIL_PATH_MAX - 1)
            return fail(pk.walk, FAILURE_REFUSED, "Path too long: " + dir);
        return compress_directory(pk, archive, root.c_str(), dir.c_str(), level, buffer.get());
    }
    if (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode))
        return pack_item(pk, archive, root.c_str(), source_path, level, buffer.get());
    return fail(pk.walk, FAILURE_REFUSED, std::string("Cannot pack (not a file, a directory or a link): ") + source_path);
}

}  // namespace

int compress_path(const char *source_path, const char *zip_path, int level, call_context *ctx)
{
    context_start(ctx);
    Packing pk;
    pk.out = pk.walk = Out{ctx};
    struct stat st;
    if (lstat(source_path, &st) != 0)
        return fail_error(pk.out, FAILURE_CANNOT_READ, "Cannot read ", source_path, errno);
    pk.writing.path = zip_path;
    zipFile archive = create_archive(zip_path, pk.writing);
    if (!archive)
        return fail_error(pk.out, FAILURE_CANNOT_WRITE, "Cannot create ", zip_path, errno ? errno : EIO);
    struct stat zip_st;
    if (fstat(pk.writing.fd, &zip_st) == 0) {
        pk.writing.dev = zip_st.st_dev;
        pk.writing.ino = zip_st.st_ino;
        pk.writing.known = true;
    }

    // With more than one thread the walk hands each item to the workers
    // and writes the deflated entries in its own order (parallel_pack.cpp).
    bool parallel = thread_count() > 1 && start_parallel_pack(pk);
    int result = compress_into(pk, archive, source_path, st, level);
    if (parallel)
        result = end_parallel_pack(pk, archive, result);
    // The central directory is written on close: without it there is no archive.
    if ((zipClose(archive, nullptr) != ZIP_OK || !add_zip64_end_records(zip_path, pk.writing)) && result)
        result = fail_archive_write(pk.out, pk.writing);
    if (pk.writing.refused)
        unlink(zip_path);  // never leave an archive that other tools would misread
    return result;
}

int compress_path(const char *source_path, const char *zip_path, int level)
{
    call_context ctx;
    return compress_path(source_path, zip_path, level, &ctx);
}

int compress_path_preserving_time(const char *source_path, const char *zip_path, int level, call_context *ctx)
{
    struct stat st;
    if (lstat(source_path, &st) != 0) {
        context_start(ctx);
        Out out{ctx};
        return fail_error(out, FAILURE_CANNOT_READ, "Cannot read ", source_path, errno);
    }
    if (!compress_path(source_path, zip_path, level, ctx))
        return 0;
    struct utimbuf times;
    times.actime = st.st_atime;
    times.modtime = st.st_mtime;
    if (utime(zip_path, &times) != 0)
        perror("compress_path_preservingtime: cannot set time");
    return 1;
}

int compress_path_preserving_time(const char *source_path, const char *zip_path, int level)
{
    call_context ctx;
    return compress_path_preserving_time(source_path, zip_path, level, &ctx);
}
