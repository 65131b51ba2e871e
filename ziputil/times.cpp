// Stored times and directories, on request after an unpack: each file, link
// and directory gets the modification time its entry records, and the
// directories an archive lists (empty ones too) are made with their modes.
// Every path is walked from the destination one folder at a time without
// following a link, so a link in the tree never sends a change outside it.
#include "internal.h"
#include "ziputil.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <unzip.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

using namespace ziputil;

namespace {


struct StoredDirectory {
    std::string name;  // relative, no trailing "/"
    unsigned mode;     // 0: none recorded
    time_t mtime;
};

// The Unix time of the extended-timestamp extra field (0x5455), exact and in
// UTC; else the MS-DOS date, which is local time to the minute pair.
time_t stored_time(const unz_file_info64 &info, const unsigned char *extra, size_t extra_size)
{
    for (size_t at = 0; at + 4 <= extra_size;) {
        unsigned id = extra[at] | extra[at + 1] << 8, size = extra[at + 2] | extra[at + 3] << 8;
        if (at + 4 + size > extra_size)
            break;
        if (id == 0x5455 && size >= 5 && (extra[at + 4] & 1)) {
            const unsigned char *t = extra + at + 5;
            return time_t(int32_t(uint32_t(t[0]) | uint32_t(t[1]) << 8 | uint32_t(t[2]) << 16 | uint32_t(t[3]) << 24));
        }
        at += 4 + size;
    }
    struct tm tm = {};
    tm.tm_year = int(info.tmu_date.tm_year) - 1900;
    tm.tm_mon = int(info.tmu_date.tm_mon);
    tm.tm_mday = int(info.tmu_date.tm_mday);
    tm.tm_hour = int(info.tmu_date.tm_hour);
    tm.tm_min = int(info.tmu_date.tm_min);
    tm.tm_sec = int(info.tmu_date.tm_sec);
    tm.tm_isdst = -1;
    return mktime(&tm);
}

// The folder that holds the last component of `name`, opened from `root`
// without following links; made on the way when `make` is set. -1 when a
// link, a file or nothing stands in the way.
int open_parent(int root, const std::string &name, bool make, std::string &last)
{
    Fd current(dup(root));
    size_t start = 0;
    for (size_t slash; (slash = name.find('/', start)) != std::string::npos; start = slash + 1) {
        std::string part = name.substr(start, slash - start);
        if (part.empty() || part == ".")
            continue;
        if (make)
            mkdirat(current.fd, part.c_str(), 0777);
        Fd next(openat(current.fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (next.fd < 0)
            return -1;
        current = std::move(next);
    }
    last = name.substr(start);
    return current.release();
}

}  // namespace

int restore_times(const char *archive, const char *destination)
{
    Fd root(open(destination, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ArchivePtr zip(unzOpen64(archive));
    unz_global_info64 global;
    if (root.fd < 0 || !zip || unzGetGlobalInfo64(zip.get(), &global) != UNZ_OK ||
        unzGoToFirstFile(zip.get()) != UNZ_OK) {
        say("Cannot restore times from ", archive);
        return 0;
    }
    std::vector<StoredDirectory> directories;
    for (ZPOS64_T i = 0; i < global.number_entry; i++) {
        unz_file_info64 info;
        char raw[ZIPUTIL_PATH_MAX + 1];
        unsigned char extra[1024];
        if (unzGetCurrentFileInfo64(zip.get(), &info, raw, sizeof raw - 1, extra, sizeof extra, nullptr, 0) !=
                UNZ_OK ||
            info.size_filename >= sizeof raw - 1) {
            say("Damaged archive: cannot read entry ", std::to_string(i + 1));
            return 0;
        }
        raw[info.size_filename] = '\0';
        std::string name = raw;
        name.erase(0, name.find_first_not_of('/'));  // the old form's leading "/"
        const unsigned mode = (info.external_fa >> 16) & 0xffff;
        const bool directory = (mode & 0xF000) == 0x4000 || (!name.empty() && name.back() == '/');
        while (!name.empty() && name.back() == '/')
            name.pop_back();
        const time_t mtime = stored_time(info, extra, std::min<size_t>(info.size_file_extra, sizeof extra));
        if (!name.empty() && name.compare(0, 8, "__MACOSX") != 0) {
            if (directory) {
                directories.push_back({name, mode & 07777, mtime});
            } else {
                std::string last;
                Fd parent(open_parent(root.fd, name, false, last));
                struct timespec times[2] = {{0, UTIME_OMIT}, {mtime, 0}};
                if (parent.fd >= 0)
                    utimensat(parent.fd, last.c_str(), times, AT_SYMLINK_NOFOLLOW);
            }
        }
        if (i + 1 < global.number_entry && unzGoToNextFile(zip.get()) != UNZ_OK) {
            say("Damaged archive: cannot read the entry after ", raw);
            return 0;
        }
    }
    // Deepest first: a folder's time and mode are set once nothing more is
    // written inside it.
    std::sort(directories.begin(), directories.end(),
              [](const StoredDirectory &a, const StoredDirectory &b) { return a.name > b.name; });
    for (const StoredDirectory &d : directories) {
        std::string last;
        Fd parent(open_parent(root.fd, d.name, true, last));
        if (parent.fd < 0 || last == "..")
            continue;
        mkdirat(parent.fd, last.c_str(), 0777);
        Fd dir(openat(parent.fd, last.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (dir.fd < 0)
            continue;
        struct timespec times[2] = {{0, UTIME_OMIT}, {d.mtime, 0}};
        if ((d.mode != 0 && fchmod(dir.fd, d.mode) != 0) || futimens(dir.fd, times) != 0) {
            say_error("Cannot set the mode or time of ", d.name, errno);
            return 0;
        }
    }
    return 1;
}
