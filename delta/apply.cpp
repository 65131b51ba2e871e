// Applying a delta: builds the new tree in a staged folder from the
// installed tree, which is only read, and the delta.
//
// Memory stays small whatever the game's size: the delta, each base and each
// output file are mapped with mmap, and each file is decompressed by zstd in
// one pass straight into its output mapping (its size is known from the
// delta and the space is reserved first). Those pages belong to the files,
// not to the heap, and the kernel writes them back and drops them as it
// needs; the heap holds the item table and zstd's small context.
//
// An unchanged file is linked or cloned from the installed game (reuse.cpp)
// once its hash is checked, rather than written again. A base is checked by
// its hash where the process knows it already (hash_cache.cpp) or where
// zstd's frame checksum does not cover the result; a file is hashed after
// it is written unless that checksum covers it.
// Folders are made private while the tree is built and given their modes
// last; links are made after every file, so nothing is written through one.
#include "macmeta.h"
#include "fsutil.h"
#include "trees.h"
#include "items.h"

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <sodium.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <set>

namespace delta {

namespace {

struct dctx_free {
    void operator()(ZSTD_DCtx *d) const { ZSTD_freeDCtx(d); }
};

// What the workers share: the bases already hashed, and those already
// linked (one staged name per installed inode).
struct shared_checks {
    std::mutex lock;
    std::set<std::string> verified;
    std::set<std::string> linked;
};

// One worker's view of the call (its own zstd context).
struct session {
    call_context *ctx;
    std::string installed, staged;
    int dir;  // the staged folder
    const unsigned char *delta;
    ZSTD_DCtx *dctx;
    shared_checks *checks;
    const release_source *release;  // delta_apply_with's, or null
};

// Applies an AppleDouble stream to the staged item, as ziputil's unpack does.
bool apply_metadata(const session &s, const item &it)
{
    call_context *ctx = s.ctx;
    if (it.metadata.empty())
        return true;
    // macmeta's temporary files and calls keep no promise about threads.
    static std::mutex one_at_a_time;
    std::lock_guard<std::mutex> hold(one_at_a_time);
    macmeta::TempFile temp;
    Fd fd(macmeta::make_temp_file("delta.meta", temp));
    if (fd.fd < 0 || !write_full(fd.fd, it.metadata.data(), it.metadata.size()))
        return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "cannot stage the metadata of " + it.path, errno);
    std::string target = s.staged + "/" + it.path;
    if (copyfile(temp->c_str(), target.c_str(), nullptr, MACMETA_UNPACK_FLAGS) != 0)
        return context_fail(ctx, FAILURE_DAMAGED, "cannot apply the metadata of " + it.path);
    return true;
}

// Whether zstd itself checked every byte of the item's content: each of its
// payloads is one frame carrying the XXH64 of what it decodes to, which the
// decoder compares (deltas made before the flag was set carry none).
bool frames_checked(const session &s, const item &it)
{
    auto one = [&](uint64_t offset, uint64_t size) {
        const unsigned char *p = s.delta + offset;
        ZSTD_frameHeader fh;
        return ZSTD_getFrameHeader(&fh, p, size_t(size)) == 0 && fh.frameType == ZSTD_frame && fh.checksumFlag &&
               ZSTD_findFrameCompressedSize(p, size_t(size)) == size;
    };
    if (it.source == SOURCE_SEGMENTS)
        return std::all_of(it.segments.begin(), it.segments.end(),
                           [&](const segment &g) { return one(g.payload_offset, g.payload_size); });
    return (it.source == SOURCE_PATCH || it.source == SOURCE_WHOLE) && one(it.payload_offset, it.payload_size);
}

bool open_base(session &s, const item &it, Fd &fd, mapped &m, struct stat &st)
{
    call_context *ctx = s.ctx;
    std::string path = s.installed + "/" + it.base_path;
    fd = Fd(open_for_reading(path, st));
    if (fd.fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return context_fail(ctx, FAILURE_BASE_MISSING, it.path + ": its base " + it.base_path + " is not in the installed game");
        if (errno == ELOOP)
            return context_fail(ctx, FAILURE_BASE_DIFFERS, it.path + ": its base " + it.base_path + " is now a link");
        return context_fail_errno(ctx, FAILURE_CANNOT_READ, "cannot read " + path, errno);
    }
    // Something other than a file where the publisher had one (a FIFO, a
    // folder, a device) is a base that differs, as a link there is: a file is
    // installed at that name, just not the publisher's. It is refused before
    // any read, so a FIFO never stalls the update.
    if (!S_ISREG(st.st_mode))
        return context_fail(ctx, FAILURE_BASE_DIFFERS, it.base_path + ": not the file this update was made from (not a regular file)");
    if (uint64_t(st.st_size) != it.base_size)
        return context_fail(ctx, FAILURE_BASE_DIFFERS, it.base_path + ": not the file this update was made from (" +
                                            std::to_string(st.st_size) + " bytes, " + std::to_string(it.base_size) +
                                            " expected)");
    // A copy is hashed as it is copied; a segmented base is read a window
    // at a time, and hashed by reading.
    if (it.source == SOURCE_COPY)
        return true;
    const bool whole = it.source != SOURCE_SEGMENTS;
    if (whole && !map_read(fd.fd, 0, size_t(it.base_size), m))
        return context_fail_errno(ctx, FAILURE_CANNOT_READ, "cannot read " + path, errno);
    bool known;
    {
        std::lock_guard<std::mutex> hold(s.checks->lock);
        known = s.checks->verified.count(it.base_path) != 0;
    }
    if (!known) {
        // A mapped base is hashed where it lies (no copy by read); either
        // way a base hashed before in this process is not read again.
        hash_t h{};
        hash_cache_ticket ticket;
        if (hash_cache_lookup(fd.fd, it.base_size, ticket, h)) {
            // hashed by the plan: checked here for nothing
        } else if (frames_checked(s, it)) {
            // Not hashed: zstd's checksum of the result stands for it. A
            // base that differs in bytes the patch copies gives another
            // result, which the decoder refuses (inflate_frame names it a
            // base that differs); one that differs elsewhere still gives
            // the publisher's file. Most of an apply's reading saved.
            return true;
        } else if (!whole) {
            if (!hash_file(fd.fd, it.base_size, h, true))
                return context_fail_errno(ctx, FAILURE_CANNOT_READ, "cannot read " + path, errno);
        } else if (!hash_cache_lookup(fd.fd, it.base_size, ticket, h)) {
            h = hash_bytes(m.data, m.size);
            hash_cache_keep(fd.fd, ticket, h);
        }
        if (h != it.base_hash)
            return context_fail(ctx, FAILURE_BASE_DIFFERS, it.base_path + ": not the file this update was made from (its content differs)");
        std::lock_guard<std::mutex> hold(s.checks->lock);
        s.checks->verified.insert(it.base_path);
    }
    return true;
}

bool payload_ok(session &s, const item &it, uint64_t offset, uint64_t size, const hash_t &h)
{
    if (hash_bytes(s.delta + offset, size_t(size)) != h)
        return context_fail(s.ctx, FAILURE_DAMAGED, it.path + ": damaged data in the delta");
    return true;
}

// After a frame's checksum failed against the base at `base_fd`: whether
// that base is the one the delta names after all, read only now (the frame
// is then at fault, not the player's file).
bool base_as_named(const item &it, int base_fd)
{
    hash_t h{};
    return hash_file(base_fd, it.base_size, h, true) && h == it.base_hash;
}

// One zstd frame of `size` bytes into `out`, with `prefix` (a stretch of
// the base at `base_fd`) when given.
bool inflate_frame(session &s, const item &it, const unsigned char *payload, uint64_t payload_size,
                   const unsigned char *prefix, uint64_t prefix_size, int base_fd, unsigned char *out, uint64_t size)
{
    call_context *ctx = s.ctx;
    if (ZSTD_getFrameContentSize(payload, size_t(payload_size)) != size)
        return context_fail(ctx, FAILURE_DAMAGED, it.path + ": the delta's data does not hold its declared size");
    ZSTD_DCtx_reset(s.dctx, ZSTD_reset_session_and_parameters);
    size_t rc = ZSTD_DCtx_setParameter(s.dctx, ZSTD_d_windowLogMax, 31);
    if (!ZSTD_isError(rc) && prefix)
        rc = ZSTD_DCtx_refPrefix(s.dctx, prefix, size_t(prefix_size));
    if (!ZSTD_isError(rc))
        rc = ZSTD_decompressDCtx(s.dctx, out, size_t(size), payload, size_t(payload_size));
    // A base's bytes never change how a frame parses, only what it decodes
    // to: a content checksum that fails against a base that is not the one
    // named is the base's doing.
    if (prefix && ZSTD_isError(rc) && ZSTD_getErrorCode(rc) == ZSTD_error_checksum_wrong && !base_as_named(it, base_fd))
        return context_fail(ctx, FAILURE_BASE_DIFFERS,
                            it.base_path + ": not the file this update was made from (its content differs)");
    if (ZSTD_isError(rc) || rc != size)
        return context_fail(ctx, FAILURE_DAMAGED, it.path + ": the delta's data does not decompress" +
                                       (ZSTD_isError(rc) ? std::string(" (") + ZSTD_getErrorName(rc) + ")" : ""));
    return true;
}

// Each stretch from its own frame against its window of the base.
bool inflate_segments(session &s, const item &it, int base_fd, unsigned char *out)
{
    uint64_t at = 0;
    for (const segment &g : it.segments) {
        mapped window;
        if (!payload_ok(s, it, g.payload_offset, g.payload_size, g.payload_hash))
            return false;
        if (!map_read(base_fd, g.base_offset, size_t(g.base_size), window))
            return context_fail_errno(s.ctx, FAILURE_CANNOT_READ, "cannot read the base of " + it.path, errno);
        if (!inflate_frame(s, it, s.delta + g.payload_offset, g.payload_size, window.data, g.base_size, base_fd, out + at,
                           g.size))
            return false;
        at += g.size;
    }
    return true;
}

// The content of a patched or whole file, into `out` of it.size bytes.
bool decompress(session &s, const item &it, const mapped &base, int base_fd, unsigned char *out)
{
    if (it.source == SOURCE_SEGMENTS)
        return inflate_segments(s, it, base_fd, out);
    if (!payload_ok(s, it, it.payload_offset, it.payload_size, it.payload_hash))
        return false;
    const unsigned char *payload = s.delta + it.payload_offset;
    if (it.source == SOURCE_SUFFIX) {
        std::string why;
        if (!suffix_apply(payload, it.payload_size, base.data, base.size, out, it.size, why))
            return context_fail(s.ctx, FAILURE_DAMAGED, it.path + ": the delta's data does not rebuild it (" + why + ")");
        return true;
    }
    return inflate_frame(s, it, payload, it.payload_size, it.source == SOURCE_PATCH ? base.data : nullptr, base.size,
                         base_fd, out, it.size);
}

// Fills the new file `out` of a patched or whole item and checks it.
bool write_content(session &s, const item &it, const mapped &base, int base_fd, Fd &out)
{
    call_context *ctx = s.ctx;
    hash_t written = hash_bytes(nullptr, 0);
    if (it.size > 0) {
        // Reserved first: a write into a mapping past the disk's end would
        // kill the process instead of failing.
        int error = posix_fallocate(out.fd, 0, off_t(it.size));
        if (error == EOPNOTSUPP || error == EINVAL)
            error = ftruncate(out.fd, off_t(it.size)) == 0 ? 0 : errno;
        if (error)
            return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "cannot write " + s.staged + "/" + it.path, error);
        // Zeros written first put the pages in the cache by a plain copy:
        // made writable through the mapping, reserved blocks are instead
        // zero-filled page by page, several times slower here.
        static const unsigned char zeros[1 << 16] = {};
        for (uint64_t at = 0; at < it.size; at += sizeof zeros)
            if (!write_full(out.fd, zeros, size_t(std::min<uint64_t>(sizeof zeros, it.size - at)), int64_t(at)))
                return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "cannot write " + s.staged + "/" + it.path, errno);
        mapped m;
        if (!map_write(out.fd, size_t(it.size), m)) {
            return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "cannot write " + s.staged + "/" + it.path, errno);
        } else if (!decompress(s, it, base, base_fd, m.data)) {
            return false;
        } else if (frames_checked(s, it)) {
            // Not hashed again: the payload's hash was checked, so the
            // frames are the signed delta's, and zstd's checksum found
            // them decoded as the publisher decoded them (a base that
            // differs, or changed under the mapping, included).
            written = it.hash;
        } else {
            written = hash_bytes(m.data, m.size);
        }
    }
    if (written != it.hash)
        return context_fail(ctx, FAILURE_RESULT_DIFFERS, it.path + ": does not hash as the publisher's after the update");
    if (fchmod(out.fd, it.mode) != 0 || close(out.release()) != 0)
        return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "cannot write " + s.staged + "/" + it.path, errno);
    progress_add(ctx, (long long)it.size);
    return apply_metadata(s, it);
}

bool build_file(session &s, const item &it)
{
    call_context *ctx = s.ctx;
    Fd base_fd;
    mapped base;
    struct stat base_st;
    if (it.source != SOURCE_WHOLE && !open_base(s, it, base_fd, base, base_st))
        return false;
    if (it.source == SOURCE_COPY) {
        // Unchanged: checked, then linked or cloned, written only where
        // neither works; its pages kept, as it stays in the game.
        hash_t h{};
        if (!hash_file(base_fd.fd, it.size, h, true))
            return context_fail_errno(ctx, FAILURE_CANNOT_READ, "cannot read " + s.installed + "/" + it.base_path, errno);
        if (h != it.hash)
            return context_fail(ctx, FAILURE_BASE_DIFFERS, it.base_path + ": not the file this update was made from (its content differs)");
        bool plain = it.metadata.empty();
        if (plain) {
            std::lock_guard<std::mutex> hold(s.checks->lock);
            plain = s.checks->linked.insert(it.base_path).second;
        }
        reuse_way way;
        if (!reuse_file(base_fd.fd, base_st, s.installed + "/" + it.base_path, s.dir, it.path, it.mode, plain, way))
            return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "cannot create " + s.staged + "/" + it.path, errno);
        progress_add(ctx, (long long)it.size);
        return way == REUSE_LINKED || apply_metadata(s, it);
    }
    Fd out(openat(s.dir, it.path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (out.fd < 0)
        return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "cannot create " + s.staged + "/" + it.path, errno);
    if (write_content(s, it, base, base_fd.fd, out))
        return true;
    // Gone, so that a base found to differ only now can still be taken from
    // the release in its place.
    unlinkat(s.dir, it.path.c_str(), 0);
    return false;
}


// With a release to fall back on, a file whose base is missing or differs
// is taken instead from the installed file at its own path or its entry.
bool build_or_take(session &s, const item &it)
{
    if (!s.release || it.source == SOURCE_WHOLE)
        return build_file(s, it);
    call_context trial;  // a base's failure is not the call's
    session tried = s;
    tried.ctx = &trial;
    if (build_file(tried, it)) {
        progress_add(s.ctx, (long long)it.size);
        return true;
    }
    const int kind = context_failure(&trial);
    if (kind != FAILURE_BASE_MISSING && kind != FAILURE_BASE_DIFFERS)
        return context_fail(s.ctx, kind, context_line(&trial));
    bool plain = it.metadata.empty();
    if (plain) {
        std::lock_guard<std::mutex> hold(s.checks->lock);
        plain = s.checks->linked.insert(it.path).second;
    }
    if (!take_instead(*s.release, s.installed, it, s.dir, s.staged, plain, s.ctx))
        return false;
    progress_add(s.ctx, (long long)it.size);
    return apply_metadata(s, it);
}

// Starts the kernel reading unchanged files a stretch ahead of the
// workers: thousands of small files, each read when its turn comes, keep a
// worker waiting on the disk for every one; asked ahead, the reads overlap.
const size_t kReadAhead = 64;

void read_ahead(const session &s, const std::vector<const item *> &files, size_t from, size_t to)
{
    for (size_t i = from; i < std::min(to, files.size()); i++) {
        if (files[i]->source != SOURCE_COPY)
            continue;
        struct stat st;
        Fd fd(open_for_reading(s.installed + "/" + files[i]->base_path, st));
        if (fd.fd >= 0 && S_ISREG(st.st_mode))
            posix_fadvise(fd.fd, 0, 0, POSIX_FADV_WILLNEED);
    }
}

// Folders first, then the files on every core (each worker with its own
// zstd context), then links, metadata and folder modes.
bool build(session &s, const std::vector<item> &items)
{
    call_context *ctx = s.ctx;
    std::vector<const item *> files;
    for (const item &it : items) {
        if (it.type == ITEM_DIRECTORY && mkdirat(s.dir, it.path.c_str(), 0700) != 0)
            return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "cannot create " + s.staged + "/" + it.path, errno);
        if (it.type == ITEM_FILE)
            files.push_back(&it);
    }
    // Biggest first: a big file taken last would leave one core working alone.
    std::stable_sort(files.begin(), files.end(), [](const item *a, const item *b) { return a->size > b->size; });
    const int workers = std::max(1, std::min<int>(jobs_or_cores(0), int(files.size())));
    std::vector<std::unique_ptr<ZSTD_DCtx, dctx_free>> dctxs;
    for (int k = 0; k < workers; k++) {
        dctxs.emplace_back(ZSTD_createDCtx());
        if (!dctxs.back())
            return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "cannot start zstd", ENOMEM);
    }
    if (!parallel_for(files.size(), workers, [&](size_t i, int worker) {
            session mine = s;
            mine.dctx = dctxs[size_t(worker)].get();
            if (i % kReadAhead == 0)
                read_ahead(mine, files, i == 0 ? 0 : i + kReadAhead, i + 2 * kReadAhead);
            return build_or_take(mine, *files[i]);
        }))
        return false;
    for (const item &it : items) {
        if (it.type != ITEM_LINK)
            continue;
        if (symlinkat(it.target.c_str(), s.dir, it.path.c_str()) != 0)
            return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "cannot create the link " + s.staged + "/" + it.path, errno);
        char target[kMaxPath + 1];
        ssize_t n = readlinkat(s.dir, it.path.c_str(), target, sizeof target);
        if (n < 0 || std::string(target, size_t(n)) != it.target)
            return context_fail(ctx, FAILURE_RESULT_DIFFERS, it.path + ": the link does not read as the publisher's");
    }
    for (const item &it : items)
        if (it.type != ITEM_FILE && !apply_metadata(s, it))
            return false;
    // Deepest first, so that a folder made read-only closes after its content.
    for (auto it = items.rbegin(); it != items.rend(); ++it)
        if (it->type == ITEM_DIRECTORY && fchmodat(s.dir, it->path.c_str(), it->mode, 0) != 0)
            return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "cannot set the mode of " + s.staged + "/" + it->path, errno);
    return true;
}

uint64_t saturating_add(uint64_t a, uint64_t b)
{
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

bool is_empty_folder(const std::string &path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    DirPtr d(opendir(path.c_str()));
    for (struct dirent *e; d && (e = readdir(d.get()));)
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            return false;
    return bool(d);
}

}  // namespace

}  // namespace delta

using namespace delta;

int delta_apply(const char *installed_tree, const char *delta_path, const char *staged_tree, call_context *ctx)
{
    return delta_apply_with(installed_tree, delta_path, staged_tree, nullptr, ctx);
}

int delta_apply_with(const char *installed_tree, const char *delta_path, const char *staged_tree,
                     const delta_apply_options *o, call_context *ctx)
{
    call_context local;
    ctx = ctx ? ctx : &local;
    context_start(ctx);
    if (sodium_init() < 0)
        return context_fail(ctx, FAILURE_CANNOT_READ, "libsodium cannot start");
    mapped delta_map;
    header h;
    std::vector<item> items;
    if (!read_delta(delta_path, delta_map, h, items, ctx))
        return 0;
    release_source release;
    const bool fallback = o && o->index_path && o->package_path;
    if (fallback && !open_release(o->index_path, o->package_path, release, ctx))
        return 0;
    struct stat st;
    if (stat(installed_tree, &st) != 0 || !S_ISDIR(st.st_mode))
        return context_fail(ctx, FAILURE_CANNOT_READ, std::string("no installed game at ") + installed_tree);

    std::string staged = staged_tree;
    while (staged.size() > 1 && staged.back() == '/')
        staged.pop_back();
    bool made = mkdir(staged.c_str(), 0777) == 0;
    if (!made && !(errno == EEXIST && is_empty_folder(staged)))
        return errno == EEXIST ? context_fail(ctx, FAILURE_REFUSED, staged + " exists and is not an empty folder")
                               : context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "cannot create " + staged, errno);
    Fd dir(open(staged.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    shared_checks checks;
    session s{ctx, installed_tree, staged, dir.fd, delta_map.data, nullptr, &checks, fallback ? &release : nullptr};
    // need: what is written, with a block for each item's own records; an
    // unchanged file beside its installed self is linked or cloned, not
    // written. A million items of up to 1 PiB each would wrap 64 bits: the
    // sums stop at their ceiling.
    struct stat staged_st;
    const bool same_device = fstat(dir.fd, &staged_st) == 0 && staged_st.st_dev == st.st_dev;
    uint64_t need = 0, total = 0;
    for (const item &it : items) {
        bool kept = it.type == ITEM_FILE && it.source == SOURCE_COPY && same_device;
        need = saturating_add(need, (kept ? 0 : it.size) + it.metadata.size() + 4096);
        total = saturating_add(total, it.type == ITEM_FILE ? it.size : 0);
    }
    progress_total(ctx, (long long)std::min<uint64_t>(total, INT64_MAX));
    bool ok = dir.fd >= 0;
    if (!ok)
        context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "cannot open " + staged, dir.fd < 0 ? errno : ENOMEM);
    else if (free_bytes(staged) < need)
        ok = context_fail(ctx, FAILURE_NO_SPACE, "not enough free space for the update: " + std::to_string(need) + " bytes needed, " +
                                      std::to_string(free_bytes(staged)) + " free in " + staged);
    else
        ok = build(s, items);
    if (!ok)
        made ? remove_tree(staged) : empty_tree(staged);
    return ok ? 1 : 0;
}
