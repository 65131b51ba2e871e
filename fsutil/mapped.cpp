#include "mapped.h"

#include <errno.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

mapped::mapped(mapped &&other) noexcept
    : data(std::exchange(other.data, nullptr)), size(std::exchange(other.size, 0)),
      base(std::exchange(other.base, nullptr)), mapped_size(std::exchange(other.mapped_size, 0))
{
}

mapped &mapped::operator=(mapped &&other) noexcept
{
    if (this != &other) {
        if (base)
            munmap(base, mapped_size);
        data = std::exchange(other.data, nullptr);
        size = std::exchange(other.size, 0);
        base = std::exchange(other.base, nullptr);
        mapped_size = std::exchange(other.mapped_size, 0);
    }
    return *this;
}

mapped::~mapped()
{
    if (base)
        munmap(base, mapped_size);
}

namespace {

bool map_at(int fd, uint64_t offset, size_t size, int protection, mapped &out)
{
    out = mapped();
    if (size == 0)
        return true;
    const uint64_t page = uint64_t(sysconf(_SC_PAGESIZE));
    const uint64_t start = offset - offset % page, lead = offset - start;
    if (size > SIZE_MAX - lead) {
        errno = EOVERFLOW;
        return false;
    }
    void *p = mmap(nullptr, size + lead, protection, MAP_SHARED, fd, off_t(start));
    if (p == MAP_FAILED)
        return false;
    out.base = p;
    out.mapped_size = size + lead;
    out.data = static_cast<unsigned char *>(p) + lead;
    out.size = size;
    return true;
}

}  // namespace

bool map_read(int fd, uint64_t offset, size_t size, mapped &out)
{
    if (!map_at(fd, offset, size, PROT_READ, out))
        return false;
    // One pass from start to end: read ahead, drop behind.
    if (out.base)
        madvise(out.base, out.mapped_size, MADV_SEQUENTIAL);
    return true;
}

bool map_write(int fd, size_t size, mapped &out)
{
    if (!map_at(fd, 0, size, PROT_READ | PROT_WRITE, out))
        return false;
#ifdef MADV_POPULATE_WRITE
    // Every page made writable in one call: a write fault per 4 KiB page
    // (each one turning reserved blocks into written ones) cost an apply
    // more than its decompression. Where the kernel cannot, pages fault as before.
    if (out.base)
        madvise(out.base, out.mapped_size, MADV_POPULATE_WRITE);
#endif
    return true;
}

void map_drop_before(mapped &m, size_t upto)
{
    if (!m.base || upto == 0)
        return;
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    size_t end = size_t(m.data - static_cast<unsigned char *>(m.base)) + std::min(upto, m.size);
    end -= end % page;
    if (end > 0)
        madvise(m.base, end, MADV_DONTNEED);
}
