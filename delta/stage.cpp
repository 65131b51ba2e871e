// A release staged from its package and its index, beside the installed
// game: a file the installed game already holds as the release has it (its
// size and hash, read and compared) enters the staged tree as a link to it
// (reuse.cpp), or a clone or copy given the metadata entry's stream when it
// has one; only the others are unpacked from their entries. Reading to
// compare costs a read of the installed game, where unpacking costs a write
// of all of it (bench/RESULTS.md, "Update cost"). Entries are found by the
// index alone (entry.cpp), so the package may be a sparse copy holding only
// the entries an update plan named.
//
// Folders are made private while the tree is built and given their modes
// last; links are made after every file, so nothing is written through one.
#include "delta.h"
#include "fsutil.h"
#include "items.h"
#include "macmeta.h"
#include "trees.h"

#include <errno.h>
#include <fcntl.h>
#include <sodium.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace delta;

namespace {

struct stager {
    call_context *ctx;
    std::string installed, staged;
    int dir;
    const release_source *release;  // its entries found by the index alone
    uint64_t linked = 0;
};

// The item's metadata entry, inflated and applied as an unpack applies it.
bool apply_metadata_entry(stager &s, const release_item &it)
{
    if (it.metadata_offset == 0)
        return true;
    package_entry pe;
    if (!local_entry(*s.release, it.path + " (its metadata)", {it.metadata_offset, it.metadata_compressed, it.metadata_size},
                     pe, s.ctx))
        return false;
    macmeta::TempFile temp;
    Fd fd(macmeta::make_temp_file("stage.meta", temp));
    if (fd.fd < 0)
        return context_fail_errno(s.ctx, FAILURE_CANNOT_WRITE, "cannot stage the metadata of " + it.path, errno);
    if (!extract_entry(s.release->package.fd, s.release->package_size, pe, fd.fd, s.ctx))
        return false;
    std::string target = s.staged + "/" + it.path;
    if (copyfile(temp->c_str(), target.c_str(), nullptr, MACMETA_UNPACK_FLAGS) != 0)
        return context_fail(s.ctx, FAILURE_DAMAGED, "cannot apply the metadata of " + it.path);
    return true;
}

// The installed file at the item's path, when it is the release's file.
bool installed_matches(const stager &s, const release_item &it, Fd &fd, struct stat &st)
{
    fd = Fd(open_for_reading(s.installed + "/" + it.path, st));
    hash_t h;
    return fd.fd >= 0 && S_ISREG(st.st_mode) && uint64_t(st.st_size) == it.size && hash_file(fd.fd, it.size, h) &&
           std::equal(h.begin(), h.end(), it.hash.begin());
}

bool stage_file(stager &s, const release_item &it)
{
    call_context *ctx = s.ctx;
    Fd installed;
    struct stat st;
    if (installed_matches(s, it, installed, st)) {
        // With metadata to apply, a clone or a copy: never the installed inode.
        reuse_way way;
        if (!reuse_file(installed.fd, st, s.installed + "/" + it.path, s.dir, it.path, it.mode, it.metadata_offset == 0, way))
            return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "cannot create " + s.staged + "/" + it.path, errno);
        s.linked += way == REUSE_LINKED;
        progress_add(ctx, (long long)it.size);
        return apply_metadata_entry(s, it);
    }
    if (!write_from_entry(*s.release, it, s.dir, s.staged, ctx))
        return false;
    progress_add(ctx, (long long)it.size);
    return apply_metadata_entry(s, it);
}

bool build(stager &s, const release_index &index)
{
    call_context *ctx = s.ctx;
    for (const release_item &it : index.items) {
        if (it.type == ITEM_DIRECTORY && mkdirat(s.dir, it.path.c_str(), 0700) != 0)
            return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "cannot create " + s.staged + "/" + it.path, errno);
        if (it.type == ITEM_FILE && !stage_file(s, it))
            return false;
    }
    for (const release_item &it : index.items) {
        if (it.type != ITEM_LINK)
            continue;
        if (symlinkat(it.target.c_str(), s.dir, it.path.c_str()) != 0)
            return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "cannot create the link " + s.staged + "/" + it.path, errno);
        if (!apply_metadata_entry(s, it))
            return false;
    }
    for (auto it = index.items.rbegin(); it != index.items.rend(); ++it)
        if (it->type == ITEM_DIRECTORY && fchmodat(s.dir, it->path.c_str(), it->mode, 0) != 0)
            return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "cannot set the mode of " + s.staged + "/" + it->path, errno);
    return true;
}

}  // namespace

int index_stage(const char *installed_tree, const char *index_path, const char *package_path, const char *staged_tree,
                uint64_t *linked, call_context *ctx)
{
    call_context local;
    ctx = ctx ? ctx : &local;
    context_start(ctx);
    if (sodium_init() < 0)
        return context_fail(ctx, FAILURE_CANNOT_READ, "libsodium cannot start");
    release_source release;
    if (!open_release(index_path, package_path, release, ctx))
        return 0;
    const release_index &index = release.index;
    std::string staged = staged_tree;
    while (staged.size() > 1 && staged.back() == '/')
        staged.pop_back();
    if (mkdir(staged.c_str(), 0700) != 0)
        return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "cannot create " + staged, errno);
    Fd dir(open(staged.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    stager s{ctx, installed_tree, staged, dir.fd, &release, 0};
    uint64_t total = 0;
    for (const release_item &it : index.items)
        total += it.type == ITEM_FILE ? it.size : 0;
    progress_total(ctx, (long long)total);
    bool ok = dir.fd >= 0 ? build(s, index)
                          : context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "cannot open " + staged, errno);
    if (!ok)
        remove_tree(staged);
    if (linked)
        *linked = s.linked;
    return ok ? 1 : 0;
}
