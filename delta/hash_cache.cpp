// The hashes of files already read in this process, so that a tree hashed
// to plan an update is not read again to apply it.
//
// A hash is kept under the file's device, inode, size and both change
// times. A rewrite in place moves the change time, which no one can set
// back; but the kernel stamps times from a clock that advances only every
// few milliseconds, so a file changed within the same tick as the hash was
// taken could keep its stamps. A hash is therefore only kept when the
// file's stamps are older than the clock's reading before the hash began,
// and when nothing moved while it was read. Only files opened for reading
// alone are kept: a file the process is itself writing is not.
#include "items.h"

#include <fcntl.h>
#include <time.h>

#include <mutex>
#include <tuple>

namespace delta {

namespace {

using hash_key = std::tuple<uint64_t, uint64_t, uint64_t, int64_t, int64_t>;

// A million files: about 120 MB; beyond that the cache starts over.
const size_t kMaxKept = 1000000;

struct kept_hashes {
    std::mutex lock;
    std::map<hash_key, hash_t> hashes;
};

kept_hashes &kept()
{
    static kept_hashes k;
    return k;
}

#ifdef CLOCK_REALTIME_COARSE
// The clock the kernel stamps files with.
const clockid_t kStampClock = CLOCK_REALTIME_COARSE;
const int64_t kStampStep = 0;
#else
// Where that clock is not known, a second's margin under the real one.
const clockid_t kStampClock = CLOCK_REALTIME;
const int64_t kStampStep = 1000000000;
#endif

int64_t nanoseconds(const struct timespec &t)
{
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

#ifdef __APPLE__
int64_t modified(const struct stat &st) { return nanoseconds(st.st_mtimespec); }
int64_t changed(const struct stat &st) { return nanoseconds(st.st_ctimespec); }
#else
int64_t modified(const struct stat &st) { return nanoseconds(st.st_mtim); }
int64_t changed(const struct stat &st) { return nanoseconds(st.st_ctim); }
#endif

hash_key key_of(const struct stat &st)
{
    return hash_key(uint64_t(st.st_dev), uint64_t(st.st_ino), uint64_t(st.st_size), modified(st), changed(st));
}

}  // namespace

bool hash_cache_lookup(int fd, uint64_t size, hash_cache_ticket &ticket, hash_t &out)
{
    ticket.usable = false;
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) != O_RDONLY || fstat(fd, &ticket.before) != 0 ||
        !S_ISREG(ticket.before.st_mode) || uint64_t(ticket.before.st_size) != size)
        return false;
    {
        kept_hashes &k = kept();
        std::lock_guard<std::mutex> hold(k.lock);
        auto found = k.hashes.find(key_of(ticket.before));
        if (found != k.hashes.end()) {
            out = found->second;
            return true;
        }
    }
    struct timespec now;
    if (clock_gettime(kStampClock, &now) != 0)
        return false;
    ticket.started_ns = nanoseconds(now) - kStampStep;
    ticket.usable = true;
    return false;
}

void hash_cache_keep(int fd, const hash_cache_ticket &ticket, const hash_t &h)
{
    struct stat after;
    if (!ticket.usable || fstat(fd, &after) != 0 || key_of(after) != key_of(ticket.before) ||
        modified(after) >= ticket.started_ns || changed(after) >= ticket.started_ns)
        return;
    kept_hashes &k = kept();
    std::lock_guard<std::mutex> hold(k.lock);
    if (k.hashes.size() >= kMaxKept)
        k.hashes.clear();
    k.hashes[key_of(after)] = h;
}

}  // namespace delta
