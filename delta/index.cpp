// A release's index: the delta's item table with each item's place in the
// release's package instead of a source, sealed by the delta's header (its
// own magic). Written by the publisher beside each package; read by the
// publisher (the next release's deltas) and by launchers.
#include "fsutil.h"
#include "replace.h"
#include "items.h"

#include "bytes.h"

#include <errno.h>
#include <fcntl.h>
#include <sodium.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <unordered_map>

using namespace delta;

namespace {

const uint32_t kIndexFormat = 1;

std::string base_name(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// ziputil stores the metadata of "D/N" as "__MACOSX/D/._N".
std::string metadata_name(const std::string &name)
{
    size_t slash = name.rfind('/');
    size_t base = slash == std::string::npos ? 0 : slash + 1;
    return "__MACOSX/" + name.substr(0, base) + "._" + name.substr(base);
}

bool write_index(int fd, const std::vector<item> &items, uint32_t version, uint64_t package_size,
                 call_context *ctx)
{
    std::string raw = encode_table(items, TABLE_INDEX), table = compress_table(raw);
    if (table.empty())
        return context_fail(ctx, FAILURE_CANNOT_WRITE, "cannot compress the index's table");
    header h;
    h.format = kIndexFormat;
    h.from_version = version;
    h.item_count = items.size();
    h.table_offset = kHeaderSize + 8;
    std::string out = encode_header(h, table, raw.size(), kIndexMagic);
    unsigned char size[8];
    put_le64(size, package_size);
    out.append(reinterpret_cast<const char *>(size), 8);
    out += table;
    if (!write_full(fd, out.data(), out.size(), 0) || fsync(fd) != 0)
        return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "cannot write the index", errno);
    return true;
}

bool index_items(const std::string &tree, int package_fd, uint64_t package_size, std::vector<item> &items,
                 call_context *ctx)
{
    std::vector<package_entry> entries;
    std::vector<entry> found;
    if (!read_package(package_fd, package_size, entries, ctx) || !walk(tree, "", found, ctx))
        return false;
    std::unordered_map<std::string, const package_entry *> by_name;
    for (const package_entry &e : entries)
        by_name[e.name] = &e;
    std::sort(found.begin(), found.end(), [](const entry &a, const entry &b) { return a.path < b.path; });
    if (found.size() > kMaxItems)
        return context_fail(ctx, FAILURE_REFUSED, "over 1,000,000 items in " + tree);
    const std::string prefix = base_name(tree) + "/";
    items.resize(found.size());
    return parallel_for(found.size(), 0, [&](size_t i, int) {
        const entry &e = found[i];
        item &it = items[i];
        it.path = e.path;
        it.mode = e.st.st_mode & 07777;
        std::string disk = tree + "/" + e.path;
        if (S_ISDIR(e.st.st_mode)) {
            it.type = ITEM_DIRECTORY;  // the package has no entries for folders
            return true;
        }
        auto data = by_name.find(prefix + e.path);
        if (data == by_name.end())
            return context_fail(ctx, FAILURE_DAMAGED, "the package has no entry for " + e.path);
        it.entry = {data->second->offset, data->second->compressed, data->second->size};
        auto meta = by_name.find(metadata_name(prefix + e.path));
        if (meta != by_name.end())
            it.metadata_entry = {meta->second->offset, meta->second->compressed, meta->second->size};
        std::string metadata;
        if (!pack_metadata(disk, metadata, ctx))
            return false;
        if (!metadata.empty())
            it.metadata_hash = hash_bytes(reinterpret_cast<const unsigned char *>(metadata.data()), metadata.size());
        if (S_ISLNK(e.st.st_mode)) {
            it.type = ITEM_LINK;
            char target[kMaxPath + 1];
            ssize_t n = readlink(disk.c_str(), target, sizeof target);
            if (n <= 0 || size_t(n) > kMaxPath)
                return context_fail(ctx, FAILURE_REFUSED, "link target unreadable, empty or over 1023 bytes: " + disk);
            it.target.assign(target, size_t(n));
            it.size = it.target.size();
            it.hash = hash_bytes(reinterpret_cast<const unsigned char *>(it.target.data()), it.target.size());
            return true;
        }
        if (!S_ISREG(e.st.st_mode))
            return context_fail(ctx, FAILURE_REFUSED, "not a file, a folder or a link: " + disk);
        it.type = ITEM_FILE;
        it.size = uint64_t(e.st.st_size);
        if (it.entry.size != it.size)
            return context_fail(ctx, FAILURE_DAMAGED, e.path + ": the package holds another size than the tree");
        struct stat st;
        Fd fd(open_for_reading(disk, st));
        if (fd.fd < 0 || !S_ISREG(st.st_mode) || uint64_t(st.st_size) != it.size || !hash_file(fd.fd, it.size, it.hash))
            return context_fail(ctx, FAILURE_CANNOT_READ, "cannot read " + disk + " (or it changed)");
        return true;
    });
}

}  // namespace

int index_write(const char *tree, const char *package, uint32_t version, const char *index_path, call_context *ctx)
{
    call_context local;
    ctx = ctx ? ctx : &local;
    context_start(ctx);
    if (sodium_init() < 0)
        return context_fail(ctx, FAILURE_CANNOT_WRITE, "libsodium cannot start");
    struct stat st;
    Fd pkg(open(package, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (pkg.fd < 0 || fstat(pkg.fd, &st) != 0 || !S_ISREG(st.st_mode))
        return context_fail(ctx, FAILURE_CANNOT_READ, std::string("cannot read the package ") + package);
    std::vector<item> items;
    if (!index_items(tree, pkg.fd, uint64_t(st.st_size), items, ctx))
        return 0;
    drop_empty_folders(items);  // what the package gives: it holds no folders of their own
    std::string bad;
    if (!links_stay_inside(items, bad))
        return context_fail(ctx, FAILURE_REFUSED, "a link leaves the tree: " + bad);
    beside_file out;
    if (!begin_beside(out, index_path, 0644))
        return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, std::string("cannot create ") + index_path, errno);
    if (!write_index(out.fd.fd, items, version, uint64_t(st.st_size), ctx))
        return 0;
    if (!commit_beside(out, DURABLE_NONE))
        return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, std::string("cannot write ") + index_path, errno);
    return 1;
}

int index_read(const char *index_path, release_index *out, call_context *ctx)
{
    call_context local;
    ctx = ctx ? ctx : &local;
    context_start(ctx);
    if (sodium_init() < 0)
        return context_fail(ctx, FAILURE_CANNOT_READ, "libsodium cannot start");
    struct stat st;
    Fd fd(open(index_path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.fd < 0 || fstat(fd.fd, &st) != 0)
        return context_fail_errno(ctx, FAILURE_CANNOT_READ, std::string("cannot read ") + index_path, errno);
    if (!S_ISREG(st.st_mode))
        return context_fail(ctx, FAILURE_CANNOT_READ, std::string("not a file: ") + index_path);
    mapped m;
    if (!map_read(fd.fd, 0, size_t(st.st_size), m))
        return context_fail_errno(ctx, FAILURE_CANNOT_READ, std::string("cannot read ") + index_path, errno);
    header h;
    std::string raw;
    std::vector<item> items;
    if (!decode_sealed(m.data, m.size, kIndexMagic, kIndexFormat, kIndexFormat, h, raw, ctx))
        return 0;
    if (h.table_offset != kHeaderSize + 8 || h.to_version != 0)
        return context_fail(ctx, FAILURE_DAMAGED, "damaged index: its table is not where an index keeps it");
    const uint64_t package_size = get_le64(m.data + kHeaderSize);
    if (!decode_table(raw, h, TABLE_INDEX, package_size, items, ctx))
        return 0;
    out->version = h.from_version;
    out->package_size = package_size;
    out->items.clear();
    out->items.reserve(items.size());
    for (const item &it : items) {
        release_item r;
        r.path = it.path;
        r.type = it.type;
        r.mode = it.mode;
        r.size = it.size;
        std::copy(it.hash.begin(), it.hash.end(), r.hash.begin());
        r.target = it.target;
        std::copy(it.metadata_hash.begin(), it.metadata_hash.end(), r.metadata_hash.begin());
        r.entry_offset = it.entry.offset, r.entry_compressed = it.entry.compressed, r.entry_size = it.entry.size;
        r.metadata_offset = it.metadata_entry.offset, r.metadata_compressed = it.metadata_entry.compressed;
        r.metadata_size = it.metadata_entry.size;
        // A file's entry inflates to the file itself.
        if (it.type == ITEM_FILE && it.entry.size != it.size)
            return context_fail(ctx, FAILURE_DAMAGED, it.path + ": its entry holds another size than the file");
        out->items.push_back(std::move(r));
    }
    return 1;
}
