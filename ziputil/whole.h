// Small entries held whole: inflated and deflated in memory by libdeflate,
// about twice zlib's speed on whole buffers. Bigger entries stream (unpack)
// or go in blocks (blocks.cpp). The deflate streams are standard: any reader takes them.
#ifndef ZIPUTIL_WHOLE_H
#define ZIPUTIL_WHOLE_H

#include <libdeflate.h>
#include <stddef.h>
#include <stdint.h>

#include <memory>

namespace ziputil {

struct ArchiveFile;
struct Entry;

// Entries of at most this many bytes (compressed and not) are held whole.
// 1 MiB takes nine tenths of a game's bytes at two buffers a thread: 16 MB
// with eight threads, well inside the 64 MB an unpack or a pack may use.
const size_t kWholeEntry = 1u << 20;

struct InflaterFree {
    void operator()(libdeflate_decompressor *d) const { libdeflate_free_decompressor(d); }
};
struct DeflaterFree {
    void operator()(libdeflate_compressor *c) const { libdeflate_free_compressor(c); }
};

// One thread's buffers and codec, made on first use.
struct Whole {
    std::unique_ptr<unsigned char[]> in, out;
    size_t in_room = 0, out_room = 0;
    std::unique_ptr<libdeflate_decompressor, InflaterFree> inflater;
    std::unique_ptr<libdeflate_compressor, DeflaterFree> deflater;
    int deflater_level = 0;
};

// Inflates a deflated entry whose sizes fit kWholeEntry into `whole.out`,
// its size and CRC those declared. False for any other entry and for any
// fault (damage, a read error, no memory), with nothing recorded: the
// caller streams the entry then, which names the fault as it always has.
bool inflate_whole(ArchiveFile &file, const Entry &entry, Whole &whole);

// Whether the bytes look like text, as zlib guesses it: none of the control
// codes 0-6, 14-25 and 28-31, and a tab, line feed, return or byte from 32 on.
bool looks_like_text(const unsigned char *data, size_t size);

// A file deflated whole.
struct WholeDeflated {
    size_t size = 0;      // the file's bytes
    size_t deflated = 0;  // the deflate stream's, in `whole.out`
    uint32_t crc = 0;
    bool text = false;  // zlib's guess, which the entry records
};
// Reads the file just opened as `fd` to its end and deflates it at zlib's
// `level` (1 to 9, or -1 for 6). False when it holds more than kWholeEntry
// bytes, cannot be read or memory is short: the caller opens it again and
// streams it, which says why when it cannot.
bool deflate_whole(int fd, int level, Whole &whole, WholeDeflated &result);

}  // namespace ziputil

#endif
