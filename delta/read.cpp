// Reading what others control: the BLAKE2b-256 hashes, files opened so that
// neither a link nor a FIFO at their name can lead or stall the reader, and
// the delta itself, mapped and checked.
#include "items.h"

#include "fsutil.h"

#include <errno.h>
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace delta {

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

int open_for_reading(const std::string &path, struct stat &st)
{
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a
    // writer for ever; on a regular file it changes nothing.
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (fstat(fd, &st) != 0) {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

bool read_delta(const char *delta_path, mapped &m, header &h, std::vector<item> &items, call_context *ctx)
{
    // The caller names the delta and may name it through a link; a FIFO
    // there must still not stall the call.
    struct stat st;
    Fd fd(open(delta_path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.fd < 0 || fstat(fd.fd, &st) != 0)
        return context_fail_errno(ctx, FAILURE_CANNOT_READ, std::string("cannot read ") + delta_path, errno);
    if (!S_ISREG(st.st_mode))
        return context_fail(ctx, FAILURE_CANNOT_READ, std::string("not a file: ") + delta_path);
    if (!map_read(fd.fd, 0, size_t(st.st_size), m))
        return context_fail_errno(ctx, FAILURE_CANNOT_READ, std::string("cannot read ") + delta_path, errno);
    return decode(m.data, m.size, h, items, ctx);
}

}  // namespace delta
