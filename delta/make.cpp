// Making a delta: walks both trees, hashes every file, and for each file of
// the new tree records a copy of an identical old file, a patch against the
// old file chosen by match.cpp, or the whole content compressed.
#include "macmeta.h"
#include "fsutil.h"
#include "replace.h"
#include "items.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sodium.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_c_stableInBuffer: the mapped input is never copied
#include <zstd.h>

#include <algorithm>
#include <map>
#include <memory>

namespace delta {

namespace {

// A file the walk saw as a regular file of `size` bytes. The publisher's
// trees may change under the walk: whatever stands at the name now (a
// FIFO, another size) is refused at once rather than waited on or misread.
bool open_mapped(const std::string &path, uint64_t size, Fd &fd, mapped &m, call_context *ctx)
{
    struct stat st;
    fd = Fd(open_for_reading(path, st));
    if (fd.fd < 0)
        return context_fail_errno(ctx, FAILURE_CANNOT_READ, "cannot read " + path, errno);
    if (!S_ISREG(st.st_mode) || uint64_t(st.st_size) != size)
        return context_fail(ctx, FAILURE_CANNOT_READ, path + ": changed while the delta was made");
    if (!map_read(fd.fd, 0, size_t(size), m))
        return context_fail_errno(ctx, FAILURE_CANNOT_READ, "cannot read " + path, errno);
    return true;
}

struct writer {
    call_context *ctx;
    int fd;
    uint64_t pos;
    ZSTD_CCtx *cctx;
    int level;
};

int highbit(uint64_t v)
{
    int n = 0;
    while (v >>= 1)
        n++;
    return n;
}

// One zstd frame of `data` at w.pos, with `base` as its prefix when given:
// long-distance matching and a window that spans the base, so that a match
// anywhere in the old file is in reach (zstd's own patch mode does the same).
bool compress(writer &w, const unsigned char *data, uint64_t size, const unsigned char *base, uint64_t base_size,
              item &it)
{
    call_context *ctx = w.ctx;
    ZSTD_CCtx *c = w.cctx;
    ZSTD_CCtx_reset(c, ZSTD_reset_session_and_parameters);
    int window = std::min(std::max(highbit(std::max(size, base_size)) + 1, int(ZSTD_WINDOWLOG_MIN)), 31);
    size_t rc = 0;
    for (auto [param, value] : {std::pair<ZSTD_cParameter, int>{ZSTD_c_compressionLevel, w.level},
                                {ZSTD_c_checksumFlag, 1},
                                {ZSTD_c_contentSizeFlag, 1},
                                {ZSTD_c_enableLongDistanceMatching, 1},
                                {ZSTD_c_windowLog, window},
                                {ZSTD_c_stableInBuffer, 1}})
        if (ZSTD_isError(rc = ZSTD_CCtx_setParameter(c, param, value)))
            return context_fail(ctx, FAILURE_CANNOT_WRITE, std::string("zstd: ") + ZSTD_getErrorName(rc));
    if (ZSTD_isError(rc = ZSTD_CCtx_setPledgedSrcSize(c, size)) ||
        (base && ZSTD_isError(rc = ZSTD_CCtx_refPrefix(c, base, size_t(base_size)))))
        return context_fail(ctx, FAILURE_CANNOT_WRITE, std::string("zstd: ") + ZSTD_getErrorName(rc));

    static const unsigned char empty = 0;
    ZSTD_inBuffer in{data ? data : &empty, size_t(size), 0};
    std::vector<unsigned char> buffer(ZSTD_CStreamOutSize() * 8);
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, 32);
    it.payload_offset = w.pos;
    for (;;) {
        ZSTD_outBuffer out{buffer.data(), buffer.size(), 0};
        size_t left = ZSTD_compressStream2(c, &out, &in, ZSTD_e_end);
        if (ZSTD_isError(left))
            return context_fail(ctx, FAILURE_CANNOT_WRITE, "compressing " + it.path + ": " + ZSTD_getErrorName(left));
        if (!write_full(w.fd, buffer.data(), out.pos, int64_t(w.pos)))
            return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "cannot write the delta", errno);
        crypto_generichash_update(&state, buffer.data(), out.pos);
        w.pos += out.pos;
        if (left == 0)
            break;
    }
    it.payload_size = w.pos - it.payload_offset;
    crypto_generichash_final(&state, it.payload_hash.data(), it.payload_hash.size());
    return true;
}

// A new or changed file: a patch when a base was found and pays, else whole.
bool add_file(writer &w, std::vector<old_file> &old_files, const std::string &old_root, item &it,
              const unsigned char *data)
{
    call_context *ctx = w.ctx;
    long base = it.size == 0 ? -1 : choose_base(old_files, old_root, it.path, data, it.size);
    if (base >= 0 && old_files[size_t(base)].size <= kMaxPrefix && old_files[size_t(base)].size > 0) {
        const old_file &b = old_files[size_t(base)];
        Fd fd;
        mapped m;
        if (!open_mapped(old_root + "/" + b.path, b.size, fd, m, ctx))
            return false;
        uint64_t start = w.pos;
        if (!compress(w, data, it.size, m.data, b.size, it))
            return false;
        // A patch that owes little to its base is not worth needing the base:
        // sent whole, it also rebuilds for a player whose base was edited.
        if (it.payload_size * 2 <= it.size) {
            it.source = SOURCE_PATCH;
            it.base_path = b.path;
            it.base_size = b.size;
            it.base_hash = b.hash;
            return true;
        }
        w.pos = start;
    }
    it.source = SOURCE_WHOLE;
    return compress(w, data, it.size, nullptr, 0, it);
}

struct cctx_free {
    void operator()(ZSTD_CCtx *c) const { ZSTD_freeCCtx(c); }
};

bool make_into(int out_fd, const std::string &old_root, const std::string &new_root, int level,
               uint32_t from_version, uint32_t to_version, call_context *ctx)
{
    std::vector<entry> old_entries, new_entries;
    struct stat st;
    for (const std::string &root : {old_root, new_root})
        if (stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return context_fail(ctx, FAILURE_CANNOT_READ, "no folder at " + root);
    if (!walk(old_root, "", old_entries, ctx) || !walk(new_root, "", new_entries, ctx))
        return false;

    std::vector<old_file> old_files;
    std::map<hash_t, std::vector<size_t>> by_hash;
    for (const entry &e : old_entries) {
        if (!S_ISREG(e.st.st_mode))
            continue;
        Fd fd;
        mapped m;
        if (!open_mapped(old_root + "/" + e.path, uint64_t(e.st.st_size), fd, m, ctx))
            return false;
        by_hash[hash_bytes(m.data, m.size)].push_back(old_files.size());
        old_files.push_back({e.path, uint64_t(e.st.st_size), hash_bytes(m.data, m.size), {}, false});
    }

    std::unique_ptr<ZSTD_CCtx, cctx_free> cctx(ZSTD_createCCtx());
    if (!cctx)
        return context_fail(ctx, FAILURE_CANNOT_WRITE, "out of memory");
    writer w{ctx, out_fd, kHeaderSize, cctx.get(), level};
    std::vector<item> items;
    std::sort(new_entries.begin(), new_entries.end(),
              [](const entry &a, const entry &b) { return a.path < b.path; });
    for (const entry &e : new_entries) {
        item it;
        it.path = e.path;
        it.mode = e.st.st_mode & 07777;
        std::string disk = new_root + "/" + e.path;
        if (S_ISDIR(e.st.st_mode)) {
            // Folders carry no metadata: the package has no entries for them.
            it.type = ITEM_DIRECTORY;
        } else if (S_ISLNK(e.st.st_mode)) {
            it.type = ITEM_LINK;
            char target[kMaxPath + 1];
            ssize_t n = readlink(disk.c_str(), target, sizeof target);
            if (n <= 0 || size_t(n) > kMaxPath)
                return n < 0 ? context_fail_errno(ctx, FAILURE_CANNOT_READ, "cannot read the link " + disk, errno)
                             : context_fail(ctx, FAILURE_REFUSED, "link target empty or over 1023 bytes: " + disk);
            it.target.assign(target, size_t(n));
            it.size = it.target.size();
            it.hash = hash_bytes(reinterpret_cast<const unsigned char *>(it.target.data()), it.target.size());
            if (!pack_metadata(disk, it.metadata, ctx))
                return false;
        } else if (S_ISREG(e.st.st_mode)) {
            it.type = ITEM_FILE;
            it.size = uint64_t(e.st.st_size);
            Fd fd;
            mapped m;
            if (!open_mapped(disk, it.size, fd, m, ctx) || !pack_metadata(disk, it.metadata, ctx))
                return false;
            it.hash = hash_bytes(m.data, m.size);
            auto same = by_hash.find(it.hash);
            if (same != by_hash.end()) {
                // Unchanged, or moved unchanged: taken from the old tree as it is.
                size_t pick = same->second.front();
                for (size_t i : same->second)
                    if (old_files[i].path == it.path)
                        pick = i;
                const old_file &b = old_files[pick];
                if (b.size == it.size) {
                    it.source = SOURCE_COPY;
                    it.base_path = b.path;
                    it.base_size = b.size;
                    it.base_hash = b.hash;
                }
            }
            if (it.source == SOURCE_NONE && !add_file(w, old_files, old_root, it, m.data))
                return false;
        } else {
            return context_fail(ctx, FAILURE_REFUSED, "not a file, a folder or a link: " + disk);
        }
        items.push_back(std::move(it));
    }
    if (items.size() > kMaxItems)
        return context_fail(ctx, FAILURE_REFUSED, "over 1,000,000 items in " + new_root);
    std::string bad;
    if (!links_stay_inside(items, bad))
        return context_fail(ctx, FAILURE_REFUSED, "a link leaves the tree: " + bad);

    std::string raw = encode_table(items), table = compress_table(raw);
    if (table.empty())
        return context_fail(ctx, FAILURE_CANNOT_WRITE, "cannot compress the delta's table");
    header h{from_version, to_version, items.size(), w.pos, 0, 0};
    std::string head = encode_header(h, table, raw.size());
    if (!write_full(out_fd, table.data(), table.size(), int64_t(w.pos)) ||
        ftruncate(out_fd, off_t(w.pos + table.size())) != 0 || !write_full(out_fd, head.data(), head.size(), 0) ||
        fsync(out_fd) != 0)
        return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "cannot write the delta", errno);
    return true;
}

}  // namespace

}  // namespace delta

using namespace delta;

int delta_make(const char *old_tree, const char *new_tree, const char *delta_path, int level, uint32_t from_version,
               uint32_t to_version, call_context *ctx)
{
    call_context local;
    ctx = ctx ? ctx : &local;
    context_start(ctx);
    if (sodium_init() < 0)
        return context_fail(ctx, FAILURE_CANNOT_WRITE, "libsodium cannot start");
    level = std::min(std::max(level, 1), ZSTD_maxCLevel());
    // Made beside its name and moved there when whole: never half a delta.
    std::string temp = std::string(delta_path) + ".XXXXXX";
    Fd fd(mkstemp(&temp[0]));
    if (fd.fd < 0)
        return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, std::string("cannot create ") + delta_path, errno);
    fchmod(fd.fd, 0644);
    bool ok = make_into(fd.fd, old_tree, new_tree, level, from_version, to_version, ctx);
    if (ok && close(fd.release()) != 0)
        ok = context_fail_errno(ctx, FAILURE_CANNOT_WRITE, std::string("cannot write ") + delta_path, errno);
    if (ok && !commit_rename(-1, temp, delta_path, DURABLE_NONE))
        ok = context_fail_errno(ctx, FAILURE_CANNOT_WRITE, std::string("cannot create ") + delta_path, errno);
    if (!ok)
        unlink(temp.c_str());
    return ok ? 1 : 0;
}
