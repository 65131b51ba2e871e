// Files seen through mmap, and their BLAKE2b-256 hashes. Bases and results
// are mapped rather than read into the heap: a game's largest files would
// otherwise sit whole in the launcher's memory.
#include "items.h"

#include "fsutil.h"

#include <errno.h>
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <sys/mman.h>

#include <algorithm>

namespace delta {

mapping::~mapping()
{
    if (data)
        munmap(data, size);
}

bool map_file(int fd, size_t size, bool writable, mapping &out)
{
    if (size == 0)
        return true;
    void *p = mmap(nullptr, size, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED)
        return false;
    // One pass from start to end: read ahead, drop behind.
    madvise(p, size, MADV_SEQUENTIAL);
    out.data = static_cast<unsigned char *>(p);
    out.size = size;
    return true;
}

hash_t hash_bytes(const unsigned char *data, size_t size)
{
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, 32);
    // In slices: crypto_generichash_update takes an unsigned long long, but
    // smaller steps keep page faults and hashing interleaved.
    const size_t kSlice = 1 << 20;
    for (size_t at = 0; at < size; at += kSlice)
        crypto_generichash_update(&state, data + at, std::min(kSlice, size - at));
    hash_t h;
    crypto_generichash_final(&state, h.data(), h.size());
    return h;
}


bool read_delta(const char *delta_path, mapping &m, header &h, std::vector<item> &items)
{
    Fd fd(open(delta_path, O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (fd.fd < 0 || fstat(fd.fd, &st) != 0)
        return fail_errno(DELTA_CANNOT_READ, std::string("cannot read ") + delta_path, errno);
    if (!S_ISREG(st.st_mode))
        return fail(DELTA_CANNOT_READ, std::string("not a file: ") + delta_path);
    if (!map_file(fd.fd, size_t(st.st_size), false, m))
        return fail_errno(DELTA_CANNOT_READ, std::string("cannot read ") + delta_path, errno);
    return decode(m.data, m.size, h, items);
}

}  // namespace delta
