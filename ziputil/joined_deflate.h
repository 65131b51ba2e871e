// Whole deflate streams made to follow one another. libdeflate deflates a
// buffer into a complete stream, always ended by a block marked last; a
// stream that is to be followed by another needs that mark cleared and its
// end brought to a byte boundary. The blocks of a big entry are deflated
// this way, each on its own, and their bytes laid end to end form one
// standard deflate stream.
#ifndef ZIPUTIL_JOINED_DEFLATE_H
#define ZIPUTIL_JOINED_DEFLATE_H

#include "whole.h"

#include <stddef.h>
#include <zlib.h>

#include <memory>

namespace ziputil {

// A thread's zlib inflate stream, which finds where each deflate block
// ends (the bits zlib reports at a block boundary), and its output room.
struct BlockFinder {
    z_stream z{};
    bool started = false;
    std::unique_ptr<unsigned char[]> scratch;
    ~BlockFinder();
};

// The bytes past a stream's end that make it joinable: at most a header
// byte and an empty stored block's four.
const size_t kJoinRoom = 5;

// Makes the complete raw deflate stream in data[0, size) joinable: clears
// the last-block bit of its final block and appends an empty stored block,
// which ends it on a byte boundary as a sync flush does; `size` grows by at
// most kJoinRoom, for which `data` must have room. False when the bytes are
// not one complete deflate stream inflating to exactly `inflated` bytes,
// or memory is short.
bool make_joinable(BlockFinder &finder, unsigned char *data, size_t &size, size_t inflated);

// A thread's libdeflate compressor for whole blocks, made at the level
// first asked, and its finder.
struct BlockDeflater {
    std::unique_ptr<libdeflate_compressor, DeflaterFree> deflater;
    int level = 0;
    BlockFinder finder;
};

}  // namespace ziputil

#endif
