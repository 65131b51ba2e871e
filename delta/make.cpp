// Making a delta: hashes every file of the new tree (and of the old tree,
// or reads an old release's index), records a copy for each file found
// unchanged or moved, and diffs the others in parallel, each against the
// old file match.cpp chooses, by the engine and parameters diff.cpp picks.
//
// Each worker writes its payloads to an unnamed file of its own beside the
// delta; the delta is then the header, the workers' files one after the
// other, and the table. Memory: the workers together reserve at most
// kBudget for their bases, zstd's tables and suffix arrays (a job bigger
// than that runs alone), so the whole stays under 2 GB whatever the files'
// sizes; the trees are hashed by reading, never mapped whole.
#include "fsutil.h"
#include "replace.h"
#include "items.h"

#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <sodium.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

namespace delta {

namespace {

const uint64_t kBudget = 1536ull << 20;

struct cctx_free {
    void operator()(ZSTD_CCtx *c) const { ZSTD_freeCCtx(c); }
};

// A changed file to diff: the item, its base in the old side (or -1).
struct job {
    size_t item;
    long base;
    uint64_t memory;
    int worker = -1;
};

struct budget {
    std::mutex lock;
    std::condition_variable freed;
    uint64_t used = 0;
    int running = 0;
    void take(uint64_t n)
    {
        std::unique_lock<std::mutex> hold(lock);
        freed.wait(hold, [&] { return running == 0 || used + n <= kBudget; });
        used += n, running++;
    }
    void give(uint64_t n)
    {
        std::lock_guard<std::mutex> hold(lock);
        used -= n, running--;
        freed.notify_all();
    }
};

// What one diff holds at its peak, roughly: the base (or a segment's
// window), zstd's tables, the input it has not dropped, a suffix array.
uint64_t memory_of(uint64_t size, uint64_t base_size)
{
    uint64_t reach = std::max(size, base_size);
    uint64_t n = std::min<uint64_t>(base_size, 1ull << 30) + (reach > (16u << 20) ? 256u << 20 : 64u << 20) + (32u << 20);
    if (size <= kSuffixMax && base_size <= kSuffixMax)
        n += 4 * base_size + 2 * size;
    return n;
}

int unnamed_file(const std::string &folder)
{
    int fd = open(folder.c_str(), O_RDWR | O_TMPFILE | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::string name = folder + "/.delta.XXXXXX";
        fd = mkstemp(&name[0]);
        if (fd >= 0)
            unlink(name.c_str());
    }
    return fd;
}

bool copy_into(int out_fd, int in_fd, uint64_t size, uint64_t at)
{
    loff_t from = 0, to = loff_t(at);
    while (uint64_t(from) < size) {
        ssize_t n = copy_file_range(in_fd, &from, out_fd, &to, size_t(std::min<uint64_t>(size - uint64_t(from), 1u << 30)), 0);
        if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
            std::vector<char> block(1 << 20);
            while (uint64_t(from) < size) {
                size_t k = size_t(std::min<uint64_t>(block.size(), size - uint64_t(from)));
                if (!read_full(in_fd, block.data(), k, from) || !write_full(out_fd, block.data(), k, to))
                    return false;
                from += loff_t(k), to += loff_t(k);
            }
            return true;
        }
        if (n <= 0)
            return n == 0 ? (errno = EIO, false) : false;
    }
    return true;
}

// The new tree's items, sorted, with every file hashed and every item's metadata.
bool read_new_tree(const std::string &root, std::vector<item> &items, int jobs, call_context *ctx)
{
    struct stat st;
    if (stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return context_fail(ctx, FAILURE_CANNOT_READ, "no folder at " + root);
    std::vector<entry> found;
    if (!walk(root, "", found, ctx))
        return false;
    if (found.size() > kMaxItems)
        return context_fail(ctx, FAILURE_REFUSED, "over 1,000,000 items in " + root);
    std::sort(found.begin(), found.end(), [](const entry &a, const entry &b) { return a.path < b.path; });
    items.resize(found.size());
    return parallel_for(found.size(), jobs, [&](size_t i, int) {
        const entry &e = found[i];
        item &it = items[i];
        it.path = e.path;
        it.mode = e.st.st_mode & 07777;
        std::string disk = root + "/" + e.path;
        if (S_ISDIR(e.st.st_mode)) {
            it.type = ITEM_DIRECTORY;  // folders carry no metadata: the package has no entries for them
            return true;
        }
        if (S_ISLNK(e.st.st_mode)) {
            it.type = ITEM_LINK;
            char target[kMaxPath + 1];
            ssize_t n = readlink(disk.c_str(), target, sizeof target);
            if (n <= 0 || size_t(n) > kMaxPath)
                return n < 0 ? context_fail_errno(ctx, FAILURE_CANNOT_READ, "cannot read the link " + disk, errno)
                             : context_fail(ctx, FAILURE_REFUSED, "link target empty or over 1023 bytes: " + disk);
            it.target.assign(target, size_t(n));
            it.size = it.target.size();
            it.hash = hash_bytes(reinterpret_cast<const unsigned char *>(it.target.data()), it.target.size());
            return pack_metadata(disk, it.metadata, ctx);
        }
        if (!S_ISREG(e.st.st_mode))
            return context_fail(ctx, FAILURE_REFUSED, "not a file, a folder or a link: " + disk);
        it.type = ITEM_FILE;
        it.size = uint64_t(e.st.st_size);
        struct stat now;
        Fd fd(open_for_reading(disk, now));
        if (fd.fd < 0)
            return context_fail_errno(ctx, FAILURE_CANNOT_READ, "cannot read " + disk, errno);
        if (!S_ISREG(now.st_mode) || uint64_t(now.st_size) != it.size)
            return context_fail(ctx, FAILURE_CANNOT_READ, disk + ": changed while the delta was made");
        if (!hash_file(fd.fd, it.size, it.hash))
            return context_fail_errno(ctx, FAILURE_CANNOT_READ, "cannot read " + disk, errno);
        return pack_metadata(disk, it.metadata, ctx);
    });
}

bool sample_file(const std::string &path, uint64_t size, std::vector<uint64_t> &out)
{
    struct stat st;
    Fd fd(open_for_reading(path, st));
    mapped m;
    if (fd.fd < 0 || !S_ISREG(st.st_mode) || uint64_t(st.st_size) != size || !map_read(fd.fd, 0, size_t(size), m))
        return false;
    out = sample_bytes(m.data, m.size);
    return !out.empty();
}

bool make_into(int out_fd, old_side &old, const std::string &new_root, const delta_make_options &o, call_context *ctx)
{
    std::vector<item> items;
    if (!read_new_tree(new_root, items, o.jobs, ctx))
        return false;
    if (o.package_tree)
        drop_empty_folders(items);
    std::map<hash_t, std::vector<size_t>> by_hash;
    for (size_t i = 0; i < old.files.size(); i++)
        by_hash[old.files[i].hash].push_back(i);
    std::set<std::string> new_paths;
    for (const item &it : items)
        new_paths.insert(it.path);
    matcher m;
    build_matcher(m, old.files, new_paths);
    if (!load_entries(old, ctx))
        return false;

    std::vector<job> jobs;
    uint64_t total = 0;
    for (size_t i = 0; i < items.size(); i++) {
        item &it = items[i];
        if (it.type != ITEM_FILE)
            continue;
        auto same = by_hash.find(it.hash);
        if (same != by_hash.end()) {
            // Unchanged, or moved unchanged: taken from the old tree as it is.
            size_t pick = same->second.front();
            for (size_t k : same->second)
                if (old.files[k].path == it.path)
                    pick = k;
            if (old.files[pick].size == it.size) {
                it.source = SOURCE_COPY;
                it.base_path = old.files[pick].path;
                it.base_size = it.size;
                it.base_hash = it.hash;
                continue;
            }
        }
        const std::string disk = new_root + "/" + it.path;
        long base = it.size == 0 ? -1
                                 : choose_base(
                                       m, it.path, it.size,
                                       [&](std::vector<uint64_t> &out) { return sample_file(disk, it.size, out); },
                                       [&](size_t k, std::vector<uint64_t> &out) {
                                           source_file f;
                                           Fd owner;
                                           call_context quiet;  // an unreadable candidate is only passed over
                                           mapped mm;
                                           if (!open_old(old, k, f, owner, &quiet) || !map_read(f.fd, 0, size_t(f.size), mm))
                                               return false;
                                           out = sample_bytes(mm.data, mm.size);
                                           return !out.empty();
                                       });
        uint64_t base_size = base >= 0 ? old.files[size_t(base)].size : 0;
        jobs.push_back({i, base, memory_of(it.size, base_size)});
        total += it.size;
    }
    progress_total(ctx, (long long)total);
    // The biggest first, so that the last to finish are small.
    std::sort(jobs.begin(), jobs.end(), [&](const job &a, const job &b) { return items[a.item].size > items[b.item].size; });

    const int workers = std::max(1, std::min<int>(jobs_or_cores(o.jobs), int(jobs.size())));
    std::vector<payload_file> outs(static_cast<size_t>(workers));
    std::vector<Fd> owners;
    std::vector<std::unique_ptr<ZSTD_CCtx, cctx_free>> cctxs;
    for (int k = 0; k < workers; k++) {
        owners.emplace_back(unnamed_file(old.temp_dir));
        cctxs.emplace_back(ZSTD_createCCtx());
        if (owners.back().fd < 0 || !cctxs.back())
            return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "cannot make a work file in " + old.temp_dir,
                                      owners.back().fd < 0 ? errno : ENOMEM);
        outs[size_t(k)].fd = owners.back().fd;
    }
    diff_settings settings;
    settings.level = o.level;
    if (o.segment_above)
        settings.segment_above = o.segment_above;
    if (o.segment_bytes)
        settings.segment = o.segment_bytes;
    budget room;
    if (!parallel_for(jobs.size(), workers, [&](size_t j, int me) {
            job &jb = jobs[j];
            jb.worker = me;
            item &it = items[jb.item];
            const std::string disk = new_root + "/" + it.path;
            struct stat st;
            Fd fresh_fd(open_for_reading(disk, st));
            if (fresh_fd.fd < 0 || !S_ISREG(st.st_mode) || uint64_t(st.st_size) != it.size)
                return context_fail(ctx, FAILURE_CANNOT_READ, disk + ": unreadable, or changed while the delta was made");
            room.take(jb.memory);
            source_file fresh{fresh_fd.fd, it.size}, base;
            Fd base_owner;
            bool ok = true;
            if (jb.base >= 0) {
                const old_file &b = old.files[size_t(jb.base)];
                ok = open_old(old, size_t(jb.base), base, base_owner, ctx);
                it.base_path = b.path;
                it.base_size = b.size;
                it.base_hash = b.hash;
            }
            ok = ok && make_payload(outs[size_t(me)], cctxs[size_t(me)].get(), it, fresh, jb.base >= 0 ? &base : nullptr,
                                    settings, ctx);
            room.give(jb.memory);
            progress_add(ctx, (long long)it.size);
            return ok;
        }))
        return false;

    // The workers' files one after the other from byte 112.
    std::vector<uint64_t> start(size_t(workers), 0);
    uint64_t at = kHeaderSize;
    for (int k = 0; k < workers; k++) {
        start[size_t(k)] = at;
        if (!copy_into(out_fd, outs[size_t(k)].fd, outs[size_t(k)].pos, at))
            return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "cannot write the delta", errno);
        at += outs[size_t(k)].pos;
    }
    for (const job &jb : jobs) {
        item &it = items[jb.item];
        const uint64_t shift = start[size_t(jb.worker)];
        if (it.source == SOURCE_SEGMENTS)
            for (segment &s : it.segments)
                s.payload_offset += shift;
        else
            it.payload_offset += shift;
    }
    std::string bad;
    if (!links_stay_inside(items, bad))
        return context_fail(ctx, FAILURE_REFUSED, "a link leaves the tree: " + bad);
    std::string raw = encode_table(items), table = compress_table(raw);
    if (table.empty())
        return context_fail(ctx, FAILURE_CANNOT_WRITE, "cannot compress the delta's table");
    header h{o.from_version, o.to_version, items.size(), at, 0, 0};
    std::string head = encode_header(h, table, raw.size());
    if (!write_full(out_fd, table.data(), table.size(), int64_t(at)) || ftruncate(out_fd, off_t(at + table.size())) != 0 ||
        !write_full(out_fd, head.data(), head.size(), 0) || fsync(out_fd) != 0)
        return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "cannot write the delta", errno);
    return true;
}

}  // namespace

}  // namespace delta

using namespace delta;

int delta_make_with(const char *old_tree, const char *new_tree, const char *delta_path, const delta_make_options *o,
                    call_context *ctx)
{
    call_context local;
    ctx = ctx ? ctx : &local;
    context_start(ctx);
    if (sodium_init() < 0)
        return context_fail(ctx, FAILURE_CANNOT_WRITE, "libsodium cannot start");
    delta_make_options opts = *o;
    opts.level = std::min(std::max(opts.level, 1), ZSTD_maxCLevel());
    // Made beside its name and moved there when whole: never half a delta.
    beside_file out;
    if (!begin_beside(out, delta_path, 0644))
        return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, std::string("cannot create ") + delta_path, errno);
    old_side old;
    std::string folder = out.temp;
    old.temp_dir = dirname(&folder[0]);
    bool ok = opts.old_index ? old_from_release(opts.old_index, opts.old_package ? opts.old_package : "", old, ctx)
                             : old_from_tree(old_tree, old, opts.jobs, ctx);
    if (!ok || !make_into(out.fd.fd, old, new_tree, opts, ctx))
        return 0;
    if (!commit_beside(out, DURABLE_NONE))
        return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, std::string("cannot write ") + delta_path, errno);
    return 1;
}

int delta_make(const char *old_tree, const char *new_tree, const char *delta_path, int level, uint32_t from_version,
               uint32_t to_version, call_context *ctx)
{
    delta_make_options o;
    o.level = level;
    o.from_version = from_version;
    o.to_version = to_version;
    return delta_make_with(old_tree, new_tree, delta_path, &o, ctx);
}
