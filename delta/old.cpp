// The old side of a delta: a tree on disk, or an earlier release known by
// its index and its package. A release is never unpacked whole: its files
// are known by the index's hashes, and only a base that a changed file is
// patched against is inflated from its entry, into an unnamed file beside
// the delta that goes when it is closed.
#include "fsutil.h"
#include "items.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

namespace delta {

bool old_from_tree(const std::string &root, old_side &o, int jobs, call_context *ctx)
{
    o.root = root;
    struct stat st;
    if (stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return context_fail(ctx, FAILURE_CANNOT_READ, "no folder at " + root);
    std::vector<entry> entries;
    if (!walk(root, "", entries, ctx))
        return false;
    for (const entry &e : entries)
        if (S_ISREG(e.st.st_mode))
            o.files.push_back({e.path, uint64_t(e.st.st_size), {}, {}});
    return parallel_for(o.files.size(), jobs, [&](size_t i, int) {
        source_file f;
        Fd owner;
        return open_old(o, i, f, owner, ctx) && (hash_file(f.fd, f.size, o.files[i].hash) ||
                                                 context_fail_errno(ctx, FAILURE_CANNOT_READ,
                                                                    "cannot read " + root + "/" + o.files[i].path, errno));
    });
}

bool old_from_release(const char *index_path, const char *package_path, old_side &o, call_context *ctx)
{
    release_index index;
    if (!index_read(index_path, &index, ctx))
        return false;
    struct stat st;
    o.package = Fd(open(package_path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (o.package.fd < 0 || fstat(o.package.fd, &st) != 0)
        return context_fail_errno(ctx, FAILURE_CANNOT_READ, std::string("cannot read ") + package_path, errno);
    if (!S_ISREG(st.st_mode) || uint64_t(st.st_size) != index.package_size)
        return context_fail(ctx, FAILURE_DAMAGED, std::string(package_path) + ": not the package its index names (" +
                                                      std::to_string(st.st_size) + " bytes, " +
                                                      std::to_string(index.package_size) + " in the index)");
    o.package_size = index.package_size;
    o.package_path = package_path;
    for (const release_item &r : index.items) {
        if (r.type != ITEM_FILE)
            continue;
        old_file f;
        f.path = r.path;
        f.size = r.size;
        std::copy(r.hash.begin(), r.hash.end(), f.hash.begin());
        f.entry = {r.entry_offset, r.entry_compressed, r.entry_size};
        o.files.push_back(f);
    }
    return true;
}

bool open_old(old_side &o, size_t i, source_file &out, Fd &owner, call_context *ctx)
{
    const old_file &f = o.files[i];
    if (!o.root.empty()) {
        std::string path = o.root + "/" + f.path;
        struct stat st;
        owner = Fd(open_for_reading(path, st));
        if (owner.fd < 0)
            return context_fail_errno(ctx, FAILURE_CANNOT_READ, "cannot read " + path, errno);
        // The walk saw a file of this size; whatever stands there now (a
        // FIFO, another size) is refused rather than waited on or misread.
        if (!S_ISREG(st.st_mode) || uint64_t(st.st_size) != f.size)
            return context_fail(ctx, FAILURE_CANNOT_READ, path + ": changed while the delta was made");
        out = {owner.fd, f.size};
        return true;
    }
    // An unnamed file in the delta's folder: nothing to clean up on any way out.
    owner = Fd(open(o.temp_dir.c_str(), O_RDWR | O_TMPFILE | O_CLOEXEC, 0600));
    if (owner.fd < 0) {
        std::string name = o.temp_dir + "/.base.XXXXXX";
        owner = Fd(mkstemp(&name[0]));
        if (owner.fd >= 0)
            unlink(name.c_str());
    }
    if (owner.fd < 0)
        return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "cannot make a file for a base in " + o.temp_dir, errno);
    package_entry pe;
    pe.name = f.path;
    pe.offset = f.entry.offset;
    pe.compressed = f.entry.compressed;
    pe.size = f.entry.size;
    // The method and CRC come from the entry's central record.
    auto known = o.entries.find(pe.offset);
    if (known == o.entries.end())
        return context_fail(ctx, FAILURE_DAMAGED, f.path + ": the package has no entry where its index says");
    pe.method = known->second.method;
    pe.crc = known->second.crc;
    if (known->second.compressed != pe.compressed || known->second.size != pe.size || pe.size != f.size)
        return context_fail(ctx, FAILURE_DAMAGED, f.path + ": its index and its package disagree");
    if (!extract_entry(o.package.fd, o.package_size, pe, owner.fd, ctx))
        return false;
    hash_t got;
    if (!hash_file(owner.fd, f.size, got) || got != f.hash)
        return context_fail(ctx, FAILURE_DAMAGED, f.path + ": its entry does not hash as its index says");
    out = {owner.fd, f.size};
    return true;
}

bool load_entries(old_side &o, call_context *ctx)
{
    if (!o.root.empty() || !o.entries.empty())
        return true;
    std::vector<package_entry> entries;
    if (!read_package(o.package.fd, o.package_size, entries, ctx))
        return false;
    for (package_entry &e : entries)
        o.entries.emplace(e.offset, std::move(e));
    return true;
}

}  // namespace delta
