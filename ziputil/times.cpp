// Stored times and directories, on request after an unpack: each file, link
// and directory gets the modification time its entry records, and the
// directories an archive lists (empty ones too) are made with their modes.
// Every path is walked from the destination one folder at a time without
// following a link, so a link in the tree never sends a change outside it.
#include "bytes.h"
#include "unpack.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

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
time_t stored_time(const Entry &entry)
{
    std::string field;
    if (find_extra_field(entry.extra, 0x5455, field) && field.size() >= 5 && (field[0] & 1)) {
        const unsigned char *t = reinterpret_cast<const unsigned char *>(field.data()) + 1;
        return time_t(int32_t(get_le32(t)));
    }
    struct tm tm = entry_tm(entry);
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

int restore_times(const char *archive, const char *destination, call_context *ctx)
{
    context_start(ctx);
    Out out{ctx};
    Fd root(open(destination, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (root.fd < 0)
        return fail(out, FAILURE_CANNOT_WRITE, std::string("Cannot restore times from ") + archive);
    ArchiveFile file;
    ArchiveIndex index;
    Fault why;
    if (!open_archive_file(archive, file))
        return fail(out, FAILURE_CANNOT_READ, std::string("Cannot restore times from ") + archive);
    if (!read_archive_index(file, false, index, why))
        return fail(out, why.kind, std::string("Cannot restore times from ") + archive);
    std::vector<StoredDirectory> directories;
    for (const Entry &entry : index.entries) {
        std::string name = entry.name;
        name.erase(0, name.find_first_not_of('/'));  // the old form's leading "/"
        while (!name.empty() && name.back() == '/')
            name.pop_back();
        if (name.empty() || name.compare(0, 8, "__MACOSX") == 0 || name.size() >= ZIPUTIL_PATH_MAX ||
            name.find('\0') != std::string::npos)
            continue;
        const time_t mtime = stored_time(entry);
        if (entry.directory) {
            directories.push_back({name, entry.mode & 07777, mtime});
        } else {
            std::string last;
            Fd parent(open_parent(root.fd, name, false, last));
            struct timespec times[2] = {{0, UTIME_OMIT}, {mtime, 0}};
            if (parent.fd >= 0)
                utimensat(parent.fd, last.c_str(), times, AT_SYMLINK_NOFOLLOW);
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
        if ((d.mode != 0 && fchmod(dir.fd, d.mode) != 0) || futimens(dir.fd, times) != 0)
            return fail_error(out, FAILURE_CANNOT_WRITE, "Cannot set the mode or time of ", d.name, errno);
    }
    return 1;
}

int restore_times(const char *archive, const char *destination)
{
    call_context ctx;
    return restore_times(archive, destination, &ctx);
}
