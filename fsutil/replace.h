// A file replaced in one rename: its new content is written beside it
// ("PATH.XXXXXX") and renamed over it when whole, so that a kill leaves the
// old content or the new, and what stood at the name (a link, a FIFO) is
// replaced, never written through. How far the result must reach the disk
// is the caller's choice (durable.h).
#ifndef FSUTIL_REPLACE_H
#define FSUTIL_REPLACE_H

#include "durable.h"
#include "fsutil.h"

#include <sys/types.h>

#include <string>

// `size` bytes of `data` become the file at `path`, mode `mode`. False (with
// errno) when it could not be done; the old file is then as it was and no
// temporary file is left.
bool replace_file(const std::string &path, const void *data, size_t size, mode_t mode, durability level);

// The same for a file written piece by piece: begin_beside opens the
// temporary file ("PATH.XXXXXX"), the caller writes to `fd`, and
// commit_beside renames it over `path`. A beside_file that goes without a
// commit takes its temporary file with it.
struct beside_file {
    Fd fd;
    std::string temp, path;
    beside_file() = default;
    beside_file(const beside_file &) = delete;
    beside_file &operator=(const beside_file &) = delete;
    ~beside_file();
};
bool begin_beside(beside_file &file, const std::string &path, mode_t mode);
bool commit_beside(beside_file &file, durability level);

// Renames `temp` (whose open descriptor `fd` is synced first when `level`
// asks; -1 when it is closed already) over `path`.
bool commit_rename(int fd, const std::string &temp, const std::string &path, durability level);

// At start: removes what a kill between begin and commit left beside `path`:
// only names of exactly "PATH." and six letters or digits, and only regular
// files of this user with no other link. Returns how many went.
int remove_beside_leftovers(const std::string &path);

#endif
