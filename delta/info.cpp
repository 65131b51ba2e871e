// What a delta holds, for the command's "info" and for callers that want to
// know before applying: the header and table, read and checked.
#include "fsutil.h"
#include "items.h"

#include <errno.h>
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>

using namespace delta;

int delta_read_info(const char *delta_path, delta_info *info)
{
    start_call();
    if (sodium_init() < 0)
        return fail(DELTA_CANNOT_READ, "libsodium cannot start");
    Fd fd(open(delta_path, O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (fd.fd < 0 || fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode))
        return fail_errno(DELTA_CANNOT_READ, std::string("cannot read ") + delta_path, fd.fd < 0 ? errno : EINVAL);
    mapping m;
    if (!map_file(fd.fd, size_t(st.st_size), false, m))
        return fail_errno(DELTA_CANNOT_READ, std::string("cannot read ") + delta_path, errno);
    header h;
    std::vector<item> items;
    if (!decode(m.data, m.size, h, items))
        return 0;
    *info = delta_info{h.from_version, h.to_version, 0, 0, 0, 0, 0, 0, 0, 0};
    for (const item &it : items) {
        info->directories += it.type == ITEM_DIRECTORY;
        info->links += it.type == ITEM_LINK;
        if (it.type != ITEM_FILE)
            continue;
        info->files++;
        info->copied += it.source == SOURCE_COPY;
        info->patched += it.source == SOURCE_PATCH;
        info->whole += it.source == SOURCE_WHOLE;
        info->tree_bytes += it.size;
        info->payload_bytes += it.payload_size;
    }
    return 1;
}
