// Where delta_apply_with takes a file whose base is missing or differs (a
// player edited or removed it): the installed file at the file's own path
// when that already is the new release's, else its entry in the release's
// package (or in a sparse copy holding the entries the update's plan
// named), checked against the signed index. One odd file then costs its
// entry, not the whole package.
#include "items.h"

#include "fsutil.h"

#include <errno.h>
#include <sys/stat.h>

namespace delta {

bool take_instead(const release_source &src, const std::string &installed, const item &it, int dir,
                  const std::string &staged, bool plain, call_context *ctx)
{
    auto found = src.by_path.find(it.path);
    const release_item *r = found == src.by_path.end() ? nullptr : &src.index.items[found->second];
    if (!r || r->type != ITEM_FILE || r->size != it.size || r->hash != it.hash)
        return context_fail(ctx, FAILURE_REFUSED, it.path + ": the index is not of the release the delta builds");
    const std::string own = installed + "/" + it.path;
    struct stat st;
    Fd fd(open_for_reading(own, st));
    hash_t h;
    if (fd.fd >= 0 && S_ISREG(st.st_mode) && uint64_t(st.st_size) == it.size && hash_file(fd.fd, it.size, h) &&
        h == it.hash) {
        reuse_way way;
        if (!reuse_file(fd.fd, st, own, dir, it.path, it.mode, plain, way))
            return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "cannot create " + staged + "/" + it.path, errno);
        return true;
    }
    release_item wanted = *r;
    wanted.mode = it.mode;
    return write_from_entry(src, wanted, dir, staged, ctx);
}

}  // namespace delta
