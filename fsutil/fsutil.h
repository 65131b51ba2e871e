// The file-system toolbox that ziputil and the launcher share: owners that
// close on every way out, whole reads and writes, a fresh file that never
// writes through what stood at its name, free space, and the few words a
// player reads for a failed write.
#ifndef FSUTIL_H
#define FSUTIL_H

#include <dirent.h>
#include <stdint.h>
#include <stdio.h>

#include <memory>
#include <string>

// An open descriptor, closed when its owner goes.
struct Fd {
    int fd = -1;
    explicit Fd(int f = -1) : fd(f) {}
    Fd(Fd &&other) noexcept : fd(other.release()) {}
    Fd &operator=(Fd &&other) noexcept;
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd();
    int release();
};

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

struct DirCloser {
    void operator()(DIR *d) const { closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

// A stream over `fd` that owns it; the descriptor is closed when fdopen fails.
FilePtr file_from_fd(int fd, const char *mode);

// All `size` bytes, however many calls it takes (interrupted or short reads
// and writes); at `offset`, or at the file's position when it is negative.
// On false errno says why, EIO for an early end of file.
bool read_full(int fd, void *data, size_t size, int64_t offset = -1);
bool write_full(int fd, const void *data, size_t size, int64_t offset = -1);

// The whole of a small file of ours: only a regular file, never through a
// link, never waiting on a FIFO. False when it is missing, empty, of another
// kind or over `limit` bytes.
bool read_small_file(const std::string &path, size_t limit, std::string &out);

// A new regular file at `path` for writing, never through what stood there
// (a link, a FIFO): that is removed first. Null on failure (errno set).
FILE *create_fresh(const char *path);

// Free bytes of the file system that holds `folder`; all of them when unknown.
unsigned long long free_bytes(const std::string &folder);

// Whether a write failed for want of room (ENOSPC, EDQUOT).
bool is_disk_full(int error);
// "Disk full" when `error` says so, else `otherwise`.
const char *disk_full_or(int error, const char *otherwise);

#endif
