// What a delta holds, for the command's "info" and for callers that want to
// know before applying: the header and table, read and checked.
#include "fsutil.h"
#include "items.h"

#include <errno.h>
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>

#include <algorithm>

using namespace delta;

namespace {
const uint64_t kCeiling = 1ull << 62;
}

int delta_read_info(const char *delta_path, delta_info *info, call_context *ctx)
{
    call_context local;
    ctx = ctx ? ctx : &local;
    context_start(ctx);
    if (sodium_init() < 0)
        return context_fail(ctx, FAILURE_CANNOT_READ, "libsodium cannot start");
    mapped m;
    header h;
    std::vector<item> items;
    if (!read_delta(delta_path, m, h, items, ctx))
        return 0;
    *info = delta_info{h.from_version, h.to_version, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    for (const item &it : items) {
        info->directories += it.type == ITEM_DIRECTORY;
        info->links += it.type == ITEM_LINK;
        if (it.type != ITEM_FILE)
            continue;
        info->files++;
        info->copied += it.source == SOURCE_COPY;
        info->patched += it.source == SOURCE_PATCH || it.source == SOURCE_SEGMENTS || it.source == SOURCE_SUFFIX;
        info->whole += it.source == SOURCE_WHOLE;
        // A million items of up to 1 PiB each would wrap 64 bits: the sum
        // stops at 2^62, more than any disk, with room left for a caller's
        // own additions.
        info->tree_bytes = std::min(info->tree_bytes + it.size, kCeiling);
        if (it.source == SOURCE_COPY)
            info->copied_bytes = std::min(info->copied_bytes + it.size, kCeiling);
        info->payload_bytes += it.payload_size;
        for (const segment &g : it.segments)
            info->payload_bytes += g.payload_size;
    }
    return 1;
}
