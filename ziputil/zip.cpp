// Archive creation: one file, link or directory tree into a new zip archive,
// each data entry followed by its "__MACOSX/" metadata entry when the item
// carries metadata. Entries are marked as made on Unix so that other unzip
// tools honour the modes and links in the upper 16 bits.
#include "copyfile.h"
#include "handles.h"
#include "ziputil.h"

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <utime.h>
#include <zip.h>

#include <memory>
#include <string>

const char *ZIP_RAW_EXTENTIONS = ".png|.zip|.gz|.mpg|.mov|.rar|";

namespace {

const unsigned long kVersionMadeByUnix = (3u << 8) | 20;  // made on Unix (3), zip format 2.0

struct DirCloser {
    void operator()(DIR *d) const { closedir(d); }
};

// The archive being written, so that the walk can leave it out of itself.
struct Target {
    dev_t dev = 0;
    ino_t ino = 0;
    bool known = false;
};
thread_local Target current_archive;

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

int open_entry(zipFile archive, const char *entry_name, const zip_fileinfo *info, int method, int level)
{
    return zipOpenNewFileInZip4(archive, entry_name, info, nullptr, 0, nullptr, 0, nullptr, method, level, 0,
                                -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0,
                                kVersionMadeByUnix, 0);
}

int compress_file(zipFile archive, const char *entry_name, const char *disk_path, int level, char *buffer)
{
    zip_fileinfo info;
    memset(&info, 0, sizeof info);
    time_t when = 0;
    struct stat st;
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

    if (S_ISLNK(st.st_mode)) {
        ssize_t n = readlink(disk_path, buffer, ZIPUTIL_BUFFER_SIZE);
        if (n <= 0)
            return 0;
        if (open_entry(archive, entry_name, &info, 0, 0) != ZIP_OK)
            return 0;
        int written = zipWriteInFileInZip(archive, buffer, unsigned(n));
        int closed = zipCloseFileInZip(archive);
        return written == ZIP_OK && closed == ZIP_OK;
    }

    if (open_entry(archive, entry_name, &info, Z_DEFLATED, raw_extension_level(entry_name, level)) != ZIP_OK)
        return 0;
    FilePtr in(fopen(disk_path, "r"));
    int ok = 0;
    if (in) {
        for (;;) {
            size_t n = fread(buffer, 1, ZIPUTIL_BUFFER_SIZE, in.get());
            if (n < ZIPUTIL_BUFFER_SIZE && !feof(in.get()))
                break;  // read error
            if (n == 0) {
                ok = 1;
                break;
            }
            if (zipWriteInFileInZip(archive, buffer, unsigned(n)) != ZIP_OK)
                break;
        }
        in.reset();
    }
    // Closing flushes the deflate stream: a failure here loses the entry's tail.
    if (zipCloseFileInZip(archive) != ZIP_OK)
        ok = 0;
    return ok;
}

int compress_xattrs(zipFile archive, const char *entry_name, const char *disk_path, int level, char *buffer)
{
    char *temp_name = strdup("/tmp/crzip.temp.XXXXXX");
    int fd = temp_name ? mkstemp(temp_name) : -1;
    if (fd < 0) {
        free(temp_name);
        return 1;  // no metadata entry, not a failure
    }
    close(fd);
    TempPath temp(temp_name);
    if (copyfile(disk_path, temp.get(), nullptr, ZIPUTIL_COPYFILE_PACK_FLAGS) < 0)
        return 1;  // nothing to carry

    const char *slash = strrchr(entry_name, '/');
    std::string name = "__MACOSX/";
    if (slash)
        name.append(entry_name, size_t(slash - entry_name + 1)).append("._").append(slash + 1);
    else
        name.append("._").append(entry_name);
    if (name.size() > ZIPUTIL_PATH_MAX - 1)
        return 0;
    return compress_file(archive, name.c_str(), temp.get(), level, buffer);
}

bool is_archive_itself(const char *disk_path, ino_t listed_ino)
{
    if (!current_archive.known || listed_ino != current_archive.ino)
        return false;
    struct stat st;
    return lstat(disk_path, &st) == 0 && st.st_dev == current_archive.dev && st.st_ino == current_archive.ino;
}

int compress_directory(zipFile archive, const char *entry_prefix, const char *dir_path, int level, char *buffer)
{
    if (!entry_prefix)
        entry_prefix = "";
    std::unique_ptr<DIR, DirCloser> dir(opendir(dir_path));
    if (!dir)
        return 0;
    while (struct dirent *item = readdir(dir.get())) {
        const char *name = item->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
            continue;
        char child_name[ZIPUTIL_PATH_MAX];
        char child_path[ZIPUTIL_PATH_MAX];
        if (!combine_paths(child_name, entry_prefix, name, (char *)nullptr) ||
            !combine_paths(child_path, dir_path, name, (char *)nullptr))
            return 0;

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
                return 0;
            memcpy(child_name + name_len, "/", 2);
            memcpy(child_path + path_len, "/", 2);
            ok = compress_directory(archive, child_name, child_path, level, buffer);
        } else if (type == DT_REG || type == DT_LNK) {
            if (type == DT_REG && is_archive_itself(child_path, item->d_ino))
                continue;
            ok = compress_file(archive, child_name, child_path, level, buffer);
            if (ok)
                ok = compress_xattrs(archive, child_name, child_path, level, buffer);
        }
        if (!ok)
            return 0;
    }
    return 1;
}

struct ZipCloser {
    void operator()(void *archive) const { zipClose(archive, nullptr); }
};

}  // namespace

static int compress_into(zipFile archive, const char *source_path, const struct stat &st, int level)
{
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[ZIPUTIL_BUFFER_SIZE]);
    if (!buffer)
        return 0;

    std::string root = source_path;
    if (!root.empty() && root.back() == '/')
        root.pop_back();
    size_t slash = root.find_last_of('/');
    if (slash != std::string::npos)
        root.erase(0, slash + 1);
    if (root.size() + 1 > ZIPUTIL_PATH_MAX - 1)
        return 0;

    if (S_ISDIR(st.st_mode)) {
        root += "/";
        // A relative tree is walked where it lies: its disk paths are joined
        // to the working directory, since every joined path starts at "/".
        std::string dir = source_path;
        if (dir[0] != '/') {
            char cwd[ZIPUTIL_PATH_MAX];
            if (!getcwd(cwd, sizeof cwd))
                return 0;
            dir = std::string(cwd) + "/" + dir;
        }
        if (dir.size() > ZIPUTIL_PATH_MAX - 1)
            return 0;
        return compress_directory(archive, root.c_str(), dir.c_str(), level, buffer.get());
    }
    if (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) {
        if (!compress_file(archive, root.c_str(), source_path, level, buffer.get()))
            return 0;
        return compress_xattrs(archive, root.c_str(), source_path, level, buffer.get());
    }
    return 0;
}

int compress_path(const char *source_path, const char *zip_path, int level)
{
    struct stat st;
    if (lstat(source_path, &st) != 0)
        return 0;
    std::unique_ptr<void, ZipCloser> archive(zipOpen(zip_path, APPEND_STATUS_CREATE));
    if (!archive)
        return 0;
    struct stat zip_st;
    current_archive = Target();
    if (stat(zip_path, &zip_st) == 0)
        current_archive = Target{zip_st.st_dev, zip_st.st_ino, true};

    int result = compress_into(archive.get(), source_path, st, level);
    current_archive = Target();
    // The central directory is written on close: without it there is no archive.
    if (zipClose(archive.release(), nullptr) != ZIP_OK)
        result = 0;
    return result;
}

int compress_path_preserving_time(const char *source_path, const char *zip_path, int level)
{
    struct stat st;
    if (lstat(source_path, &st) != 0)
        return 0;
    if (!compress_path(source_path, zip_path, level))
        return 0;
    struct utimbuf times;
    times.actime = st.st_atime;
    times.modtime = st.st_mtime;
    if (utime(zip_path, &times) != 0)
        perror("compress_path_preservingtime: cannot set time");
    return 1;
}
