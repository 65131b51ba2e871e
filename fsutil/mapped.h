// Files seen through mmap: a read-only view of a file (or of a stretch of
// it) and a shared writable view of a file whose room is already reserved.
// The pages belong to the file, not to the heap: the kernel reads them in
// and drops them as it needs, so a large file never sits whole in memory.
#ifndef FSUTIL_MAPPED_H
#define FSUTIL_MAPPED_H

#include <stddef.h>
#include <stdint.h>

// A mapping, unmapped when its owner goes. `data` is null for 0 bytes.
struct mapped {
    unsigned char *data = nullptr;
    size_t size = 0;
    void *base = nullptr;  // what mmap returned (page-aligned, before `data`)
    size_t mapped_size = 0;
    mapped() = default;
    mapped(mapped &&other) noexcept;
    mapped &operator=(mapped &&other) noexcept;
    mapped(const mapped &) = delete;
    mapped &operator=(const mapped &) = delete;
    ~mapped();
};

// `size` bytes of `fd` from `offset` (any offset), read-only, for one pass
// from start to end. False with errno set; nothing is mapped for 0 bytes.
bool map_read(int fd, uint64_t offset, size_t size, mapped &out);
// `size` bytes of `fd` from 0, shared and writable: what is written lands in
// the file. The caller reserves the room first (posix_fallocate): a write
// into a mapping past a full disk kills the process instead of failing.
bool map_write(int fd, size_t size, mapped &out);
// Tells the kernel the pages before `upto` (relative to data) are done with.
void map_drop_before(mapped &m, size_t upto);

#endif
