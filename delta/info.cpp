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
    mapping m;
    header h;
    std::vector<item> items;
    if (!read_delta(delta_path, m, h, items))
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
