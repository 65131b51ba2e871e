// A stream is read block by block with zlib's inflate, which stops at each
// block's end and reports how many bits of the last byte it took and
// whether the block just ended was marked last: the header of the block
// after a boundary is where the next last-block bit sits.
#include "joined_deflate.h"

#include <new>

namespace ziputil {

namespace {

const size_t kScratch = 128 * 1024;  // inflated bytes go nowhere; 32 KiB of them stay in zlib's window

const int kUnusedBits = 7, kInLastBlock = 64, kAtBoundary = 128;  // zlib's data_type after Z_BLOCK

}  // namespace

BlockFinder::~BlockFinder()
{
    if (started)
        inflateEnd(&z);
}

bool make_joinable(BlockFinder &finder, unsigned char *data, size_t &size, size_t inflated)
{
    z_stream &z = finder.z;
    if (!finder.started) {
        finder.scratch.reset(new (std::nothrow) unsigned char[kScratch]);
        if (!finder.scratch || inflateInit2(&z, -MAX_WBITS) != Z_OK)
            return false;
        finder.started = true;
    } else if (inflateReset(&z) != Z_OK) {
        return false;
    }
    z.next_in = data;
    z.avail_in = uInt(size);
    size_t header_byte = 0;  // the final block's header: its first bit
    int header_bit = 0;
    int end_unused = -1;  // bits past the stream's end in its last byte, once the final block ended
    for (;;) {
        z.next_out = finder.scratch.get();
        z.avail_out = uInt(kScratch);
        int rc = inflate(&z, Z_BLOCK);
        if (rc == Z_STREAM_END)
            break;
        if (rc != Z_OK || (z.avail_in == 0 && z.avail_out != 0 && !(z.data_type & kAtBoundary)))
            return false;  // damaged, or it ends inside a block
        if (!(z.data_type & kAtBoundary))
            continue;
        const size_t used = size_t(z.next_in - data);
        const int unused = z.data_type & kUnusedBits;
        if (z.data_type & kInLastBlock) {
            end_unused = unused;
            continue;  // the next call ends the stream
        }
        header_byte = unused ? used - 1 : used;
        header_bit = unused ? 8 - unused : 0;
    }
    const size_t end = size_t(z.next_in - data);
    if (end_unused < 0 || end != size || z.avail_in != 0 || z.total_out != inflated || header_byte >= size)
        return false;
    data[header_byte] &= (unsigned char)~(1u << header_bit);
    // An empty stored block after the last bit: its 3-bit header (not last,
    // stored) in the last byte's spare bits when they hold it, then the
    // padding to the byte boundary and the lengths 0 and ~0.
    if (end_unused > 0)
        data[size - 1] &= (unsigned char)((1u << (8 - end_unused)) - 1);
    if (end_unused < 3)
        data[size++] = 0x00;
    const unsigned char lengths[] = {0x00, 0x00, 0xFF, 0xFF};
    for (unsigned char b : lengths)
        data[size++] = b;
    return true;
}

}  // namespace ziputil
