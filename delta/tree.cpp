// The publisher's trees: walked without following links, each file hashed
// by reading, its Mac metadata packed as ziputil packs it; and the few
// threads that hash and diff them.
#include "fsutil.h"
#include "items.h"
#include "macmeta.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sodium.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

namespace delta {

bool walk(const std::string &root, const std::string &rel, std::vector<entry> &out, call_context *ctx)
{
    std::string dir = rel.empty() ? root : root + "/" + rel;
    DirPtr d(opendir(dir.c_str()));
    if (!d)
        return context_fail_errno(ctx, FAILURE_CANNOT_READ, "cannot list " + dir, errno);
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        struct dirent *e = readdir(d.get());
        if (!e) {
            if (errno)
                return context_fail_errno(ctx, FAILURE_CANNOT_READ, "cannot list " + dir, errno);
            break;
        }
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.push_back(e->d_name);
    }
    for (const std::string &name : names) {
        entry e{rel.empty() ? name : rel + "/" + name, {}};
        if (e.path.size() > kMaxPath)
            return context_fail(ctx, FAILURE_REFUSED, "path over 1023 bytes: " + e.path.substr(0, 64) + "...");
        if (lstat((root + "/" + e.path).c_str(), &e.st) != 0)
            return context_fail_errno(ctx, FAILURE_CANNOT_READ, "cannot read " + root + "/" + e.path, errno);
        out.push_back(e);
        if (S_ISDIR(e.st.st_mode) && !walk(root, e.path, out, ctx))
            return false;
    }
    return true;
}

bool pack_metadata(const std::string &disk_path, std::string &out, call_context *ctx)
{
    // macmeta's temporary files and metadata calls keep no promise about
    // threads: one item at a time.
    static std::mutex one_at_a_time;
    std::lock_guard<std::mutex> hold(one_at_a_time);
    out.clear();
    if (!macmeta::may_carry(disk_path.c_str()))
        return true;
    macmeta::TempFile temp;
    int fd = macmeta::make_temp_file("delta.meta", temp);
    if (fd < 0)
        return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "cannot make a temporary file for the metadata of " + disk_path, errno);
    close(fd);
    errno = 0;
    if (copyfile(disk_path.c_str(), temp->c_str(), nullptr, MACMETA_PACK_FLAGS) < 0)
        return errno == ENODATA ? true : context_fail_errno(ctx, FAILURE_CANNOT_READ, "cannot pack the metadata of " + disk_path,
                                                     errno ? errno : EIO);
    if (!read_small_file(*temp, kMaxMetadata, out))
        return context_fail(ctx, FAILURE_CANNOT_READ, "the metadata of " + disk_path + " is over 16 MiB or unreadable");
    return true;
}

bool hash_file(int fd, uint64_t size, hash_t &out, bool keep)
{
    hash_cache_ticket ticket;
    if (hash_cache_lookup(fd, size, ticket, out))
        return true;
    const size_t kBlock = 1 << 20;
    std::unique_ptr<unsigned char[]> block(new unsigned char[kBlock]);
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, 32);
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    for (uint64_t at = 0; at < size;) {
        size_t n = size_t(std::min<uint64_t>(kBlock, size - at));
        if (!read_full(fd, block.get(), n, int64_t(at)))
            return false;
        crypto_generichash_update(&state, block.get(), n);
        at += n;
    }
    // Read once: the pages need not stay (the publisher's trees are big).
    if (!keep)
        posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    crypto_generichash_final(&state, out.data(), out.size());
    hash_cache_keep(fd, ticket, out);
    return true;
}

void drop_empty_folders(std::vector<item> &items)
{
    std::set<std::string> holding;
    for (const item &it : items)
        if (it.type != ITEM_DIRECTORY)
            for (std::string p = parent_of(it.path); !p.empty() && holding.insert(p).second; p = parent_of(p))
                ;
    items.erase(std::remove_if(items.begin(), items.end(),
                               [&](const item &it) { return it.type == ITEM_DIRECTORY && !holding.count(it.path); }),
                items.end());
}

int jobs_or_cores(int jobs)
{
    if (jobs > 0)
        return std::min(jobs, 64);
    unsigned cores = std::thread::hardware_concurrency();
    return cores ? int(std::min(cores, 64u)) : 1;
}

bool parallel_for(size_t count, int jobs, const std::function<bool(size_t, int)> &work)
{
    std::atomic<size_t> next{0};
    std::atomic<bool> ok{true};
    auto run = [&](int worker) {
        for (size_t i; ok && (i = next++) < count;)
            if (!work(i, worker))
                ok = false;
    };
    std::vector<std::thread> threads;
    int n = int(std::min<size_t>(size_t(jobs_or_cores(jobs)), count));
    for (int t = 1; t < n; t++)
        threads.emplace_back(run, t);
    run(0);
    for (std::thread &t : threads)
        t.join();
    return ok;
}

}  // namespace delta
