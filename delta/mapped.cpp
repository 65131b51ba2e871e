// Files seen through mmap, and their BLAKE2b-256 hashes. Bases and results
// are mapped rather than read into the heap: a game's largest files would
// otherwise sit whole in the launcher's memory.
#include "items.h"

#include <sodium.h>
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

}  // namespace delta
