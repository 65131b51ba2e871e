// Small entries held whole and coded by libdeflate. An unpack only keeps
// what inflated cleanly to the declared size and CRC; anything else goes
// back to the stream, whose checks and lines stay the only ones. A pack
// deflates a small file in one call, the same way on every thread, so that
// one thread and several make the same bytes.
#include "unpack.h"
#include "whole.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <new>

namespace ziputil {

namespace {

// A buffer of at least `size` bytes, kept for the next entry.
unsigned char *room(std::unique_ptr<unsigned char[]> &buffer, size_t &have, size_t size)
{
    if (have < size) {
        buffer.reset(new (std::nothrow) unsigned char[size]);
        have = buffer ? size : 0;
    }
    return buffer.get();
}

}  // namespace

// zlib's own guess, made from its first block: text holds none of the
// control codes 0-6, 14-25 and 28-31, and at least one tab, line feed,
// return or byte from 32 on. Made here from the whole file.
bool looks_like_text(const unsigned char *data, size_t size)
{
    const uint32_t never = 0xf3ffc07fu;  // bit c set: control code c marks binary data
    bool seen = false;
    for (size_t i = 0; i < size; i++) {
        unsigned c = data[i];
        if (c < 32 && (never >> c & 1))
            return false;
        seen = seen || c >= 32 || c == 9 || c == 10 || c == 13;
    }
    return seen;
}

bool inflate_whole(ArchiveFile &file, const Entry &entry, Whole &whole)
{
    if (entry.method != Z_DEFLATED || entry.compressed > kWholeEntry || entry.size > kWholeEntry)
        return false;
    if (!whole.inflater)
        whole.inflater.reset(libdeflate_alloc_decompressor());
    unsigned char *in = room(whole.in, whole.in_room, kWholeEntry + 1);
    unsigned char *out = room(whole.out, whole.out_room, kWholeEntry);
    size_t compressed = size_t(entry.compressed), size = size_t(entry.size), made = 0;
    if (!whole.inflater || !in || !out || !read_archive(file, entry.data, in, compressed))
        return false;
    // No room past the declared size: a stream that holds more fails here.
    if (libdeflate_deflate_decompress(whole.inflater.get(), in, compressed, out, size, &made) != LIBDEFLATE_SUCCESS)
        return false;
    return made == size && libdeflate_crc32(0, out, size) == entry.crc;
}

bool deflate_whole(int fd, int level, Whole &whole, WholeDeflated &result)
{
    level = level < 0 ? 6 : std::min(level, 9);  // zlib's and libdeflate's levels match up to 9
    if (!whole.deflater || whole.deflater_level != level) {
        whole.deflater.reset(libdeflate_alloc_compressor(level));
        whole.deflater_level = level;
    }
    // One byte more than fits tells a file that grew since it was measured.
    unsigned char *in = room(whole.in, whole.in_room, kWholeEntry + 1);
    if (!whole.deflater || !in)
        return false;
    size_t size = 0;
    while (size <= kWholeEntry) {
        ssize_t n = read(fd, in + size, kWholeEntry + 1 - size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        size += size_t(n);
    }
    if (size > kWholeEntry)
        return false;
    size_t bound = libdeflate_deflate_compress_bound(whole.deflater.get(), kWholeEntry);
    unsigned char *out = room(whole.out, whole.out_room, bound);
    if (!out)
        return false;
    result.deflated = libdeflate_deflate_compress(whole.deflater.get(), in, size, out, bound);
    if (result.deflated == 0)
        return false;
    result.size = size;
    result.crc = libdeflate_crc32(0, in, size);
    result.text = looks_like_text(in, size);
    return true;
}

}  // namespace ziputil
