// The walk of a game tree that making a delta and an index share: every
// item below a root, never following a link, and the Mac metadata ziputil's
// pack would store for each.
#include "macmeta.h"
#include "fsutil.h"
#include "items.h"

#include <dirent.h>
#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace delta {

// Every item below `root`, never following a link.
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

// The AppleDouble stream ziputil's pack would store for the item, if any.
bool pack_metadata(const std::string &disk_path, std::string &out, call_context *ctx)
{
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

}  // namespace delta
