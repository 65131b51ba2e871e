// An update's plan: for each file of the new release, whether the
// installed game already holds it (kept: linked), the delta rebuilds it
// from bases the game holds as the delta expects (patched), or its entry
// must come from the release's package (fetched), and which bytes of the
// package those entries are. The verdicts are the ones the stagers reach:
// delta_apply_with takes a file whose base is missing or differs from the
// installed file at its own path when that is the release's, else from its
// entry. A delta carries the metadata itself; index_stage applies the
// metadata entry's stream to a file it keeps as to one it unpacks.
//
// And the quick look for damage: types and sizes against the index, from
// lstat alone, cheap enough for every start.
#include "items.h"

#include "fsutil.h"

#include <errno.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

namespace delta {

namespace {

enum verdict : uint8_t { KEEP, PATCH, FETCH };

// Installed files hashed at most once each, whichever item asks first.
struct installed_hashes {
    std::string root;
    std::mutex lock;
    std::unordered_map<std::string, std::pair<bool, hash_t>> known;  // path -> (a regular file read, its hash)
};

// Whether the installed file at `path` is a regular file of `size` bytes
// hashing to `hash`.
bool installed_is(installed_hashes &h, const std::string &path, uint64_t size, const hash_t &hash)
{
    {
        std::lock_guard<std::mutex> hold(h.lock);
        auto found = h.known.find(path);
        if (found != h.known.end())
            return found->second.first && found->second.second == hash;
    }
    struct stat st;
    Fd fd(open_for_reading(h.root + "/" + path, st));
    if (fd.fd < 0 || !S_ISREG(st.st_mode) || uint64_t(st.st_size) != size)
        return false;  // no read was needed: nothing to remember
    std::pair<bool, hash_t> got{false, {}};
    got.first = hash_file(fd.fd, size, got.second);
    std::lock_guard<std::mutex> hold(h.lock);
    h.known[path] = got;
    return got.first && got.second == hash;
}

// The entries' local header offsets, and where the last one ends at the
// latest: the central directory follows it, holding a record of at least
// 46 bytes and the name (the item's path or longer) for each entry, then an
// end record. Without the central directory its exact start is unknown;
// a local header's name and extra field are at most 64 KiB each.
struct entry_bounds {
    std::vector<uint64_t> starts;
    uint64_t last_end = 0;
};

entry_bounds bounds_of(const release_index &index)
{
    entry_bounds b;
    uint64_t directory = 22;
    for (const release_item &it : index.items) {
        if (it.type == ITEM_DIRECTORY)
            continue;
        b.starts.push_back(it.entry_offset);
        directory += 46 + it.path.size();
        if (it.metadata_offset != 0) {
            b.starts.push_back(it.metadata_offset);
            directory += 46 + it.path.size() + 11;  // "__MACOSX/" and "._"
        }
    }
    std::sort(b.starts.begin(), b.starts.end());
    b.starts.erase(std::unique(b.starts.begin(), b.starts.end()), b.starts.end());
    b.last_end = index.package_size > directory ? index.package_size - directory : 0;
    return b;
}

update_plan::span span_of(const entry_bounds &b, const release_index &index, uint64_t offset, uint64_t compressed)
{
    auto next = std::upper_bound(b.starts.begin(), b.starts.end(), offset);
    uint64_t end;
    if (next != b.starts.end()) {
        end = *next;
    } else {
        const uint64_t widest = offset + 30 + 2 * 0xFFFF + compressed + 24;  // with a zip64 descriptor
        end = std::min(b.last_end, widest);
        end = std::max(end, std::min(index.package_size, offset + 30 + compressed));
    }
    return {offset, end - offset};
}

// The delta must build this very release: each of its files and links the
// index's, with the index's content.
bool delta_builds(const std::vector<item> &items, const header &h, const release_index &index,
                  std::unordered_map<std::string, const item *> &by_path, call_context *ctx)
{
    if (h.to_version != 0 && index.version != 0 && h.to_version != index.version)
        return context_fail(ctx, FAILURE_REFUSED, "the delta builds version " + std::to_string(h.to_version) +
                                                      ", the index is of version " + std::to_string(index.version));
    for (const item &it : items)
        by_path[it.path] = &it;
    for (const release_item &r : index.items) {
        if (r.type == ITEM_DIRECTORY)
            continue;
        auto found = by_path.find(r.path);
        const item *d = found == by_path.end() ? nullptr : found->second;
        if (!d || d->type != r.type || (r.type == ITEM_FILE ? d->size != r.size || d->hash != r.hash : d->target != r.target))
            return context_fail(ctx, FAILURE_REFUSED, r.path + ": the delta does not build the index's release");
    }
    return true;
}

// Every public call here starts alike: its context, libsodium, the index.
bool start_with_index(call_context *&ctx, call_context &local, const char *index_path, release_index &index)
{
    ctx = ctx ? ctx : &local;
    context_start(ctx);
    if (sodium_init() < 0)
        return context_fail(ctx, FAILURE_CANNOT_READ, "libsodium cannot start");
    return index_read(index_path, &index, ctx);
}

}  // namespace

}  // namespace delta

using namespace delta;

int update_plan_make(const char *installed_tree, const char *index_path, const char *delta_path, update_plan *plan,
                     call_context *ctx)
{
    call_context local;
    *plan = update_plan{};
    release_index index;
    if (!start_with_index(ctx, local, index_path, index))
        return 0;
    mapped delta_map;
    header h;
    std::vector<item> items;
    std::unordered_map<std::string, const item *> by_path;
    if (delta_path && (!read_delta(delta_path, delta_map, h, items, ctx) || !delta_builds(items, h, index, by_path, ctx)))
        return 0;
    struct stat st;
    const bool installed = stat(installed_tree, &st) == 0 && S_ISDIR(st.st_mode);

    std::vector<size_t> files;
    for (size_t i = 0; i < index.items.size(); i++)
        if (index.items[i].type == ITEM_FILE)
            files.push_back(i);
    std::vector<verdict> verdicts(files.size(), FETCH);
    installed_hashes hashes;
    hashes.root = installed_tree;
    if (installed)
        parallel_for(files.size(), 0, [&](size_t k, int) {
            const release_item &r = index.items[files[k]];
            if (!delta_path) {
                verdicts[k] = installed_is(hashes, r.path, r.size, r.hash) ? KEEP : FETCH;
                return true;
            }
            const item &d = *by_path.at(r.path);
            if (d.source == SOURCE_WHOLE)
                verdicts[k] = PATCH;
            else if (installed_is(hashes, d.base_path, d.base_size, d.base_hash))
                verdicts[k] = d.source == SOURCE_COPY ? KEEP : PATCH;
            else
                verdicts[k] = installed_is(hashes, r.path, r.size, r.hash) ? KEEP : FETCH;
            return true;
        });

    const entry_bounds bounds = bounds_of(index);
    for (size_t k = 0; k < files.size(); k++) {
        const release_item &r = index.items[files[k]];
        // index_stage gives a kept file its metadata entry's stream.
        if (!delta_path && r.metadata_offset != 0)
            plan->spans.push_back(span_of(bounds, index, r.metadata_offset, r.metadata_compressed));
        if (verdicts[k] == KEEP) {
            // Given metadata, a kept file is a clone, or a copy where the
            // file system cannot clone: counted as written.
            if (delta_path ? !by_path.at(r.path)->metadata.empty() : r.metadata_offset != 0)
                plan->write_bytes += r.size + r.metadata_size;
            plan->kept++;
            continue;
        }
        plan->write_bytes += r.size + r.metadata_size;
        if (verdicts[k] == PATCH) {
            plan->patched++;
            continue;
        }
        plan->fetched.push_back(r.path);
        plan->spans.push_back(span_of(bounds, index, r.entry_offset, r.entry_compressed));
    }
    for (const release_item &r : index.items) {
        if (r.type == ITEM_FILE)
            continue;
        plan->write_bytes += 4096;  // a folder's or a link's own records
        if (r.type == ITEM_LINK && !delta_path && r.metadata_offset != 0)
            plan->spans.push_back(span_of(bounds, index, r.metadata_offset, r.metadata_compressed));
    }
    std::sort(plan->spans.begin(), plan->spans.end(),
              [](const update_plan::span &a, const update_plan::span &b) { return a.offset < b.offset; });
    plan->spans.erase(std::unique(plan->spans.begin(), plan->spans.end(),
                                  [](const update_plan::span &a, const update_plan::span &b) { return a.offset == b.offset; }),
                      plan->spans.end());
    for (const update_plan::span &s : plan->spans)
        plan->fetch_bytes += s.length;
    return 1;
}

int index_quick_check(const char *installed_tree, const char *index_path, uint64_t *differing, call_context *ctx)
{
    call_context local;
    *differing = 0;
    release_index index;
    if (!start_with_index(ctx, local, index_path, index))
        return 0;
    const std::string root = installed_tree;
    for (const release_item &r : index.items) {
        struct stat st;
        if (lstat((root + "/" + r.path).c_str(), &st) != 0) {
            ++*differing;
            continue;
        }
        const bool same = r.type == ITEM_DIRECTORY ? S_ISDIR(st.st_mode)
                          : r.type == ITEM_FILE    ? S_ISREG(st.st_mode) && uint64_t(st.st_size) == r.size
                                                   : S_ISLNK(st.st_mode) && uint64_t(st.st_size) == r.size;
        *differing += same ? 0 : 1;
    }
    return 1;
}
