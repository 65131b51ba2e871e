// One changed file's payload: which engine, which parameters, and in how
// many pieces, chosen by the file's size.
//
// zstd with the base as its prefix is the engine for everything, with a
// level and a window chosen by size:
//  - up to 16 MiB the level asked for (19 by default): its tables cover a
//    base of up to 32 MiB, so every match in the base is in reach;
//  - up to 256 MiB level 9, and above that level 3, both with long-distance
//    matching and a window spanning base and file. Not 19: from level 16 up
//    zstd uses its optimal parser, whose own match finder indexes only the
//    base's last 2^25 bytes (the suffix its tables can hold) and which takes
//    the long-distance matches only as candidates priced against its own
//    statistics; on a 192 MiB pack file with a few MiB edited, levels 16
//    and 19 made a patch of 34% of the file where levels 3 to 13 made 3.5%
//    (levels 3, 9 and 13 gave the same bytes: the long-distance matches are
//    the patch). Levels 3 to 9 are also 20 to 100 times faster.
// A patch over half its file is a sign the first parameters missed: the
// other ones are tried (the level-9 road with dense long-distance hashing
// for a high level, level 19 for a low one on files up to 16 MiB), and the
// file is sent whole only if both miss.
// A file or base over 1 GiB is patched in 512 MiB stretches, each against
// the base's window around the same place (256 MiB either side), so no
// prefix passes zstd's 2 GiB limit and memory stays bounded.
// Programs (both files up to 64 MiB) are also tried with the suffix-array
// engine (sapatch.cpp); the smaller payload is kept.
//
// Memory: the base (or its window) is mapped and read in whole by zstd; the
// new file is mapped and its pages dropped behind the compressor, so one
// job holds about its base, zstd's tables (under 200 MiB for a 1 GiB
// window) and 32 MiB of input.
#include "items.h"

#include "fsutil.h"

#include <errno.h>
#include <sodium.h>
#include <unistd.h>
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_c_stableInBuffer, the long-distance parameters
#include <zstd.h>

#include <algorithm>

namespace delta {

namespace {

const uint64_t kHighLevelUpTo = 16ull << 20;
const uint64_t kLevel9UpTo = 256ull << 20;
const uint64_t kStep = 16ull << 20;  // input fed to zstd at a time

struct road {
    int level;
    bool long_distance;
    bool dense;  // long-distance hashing at every 4th byte, matches from 32 bytes
};

int highbit(uint64_t v)
{
    int n = 0;
    while (v >>= 1)
        n++;
    return n;
}

road first_road(uint64_t reach, int level)
{
    if (reach <= kHighLevelUpTo)
        return {level, reach > (8ull << 20), false};
    return {std::min(level, reach <= kLevel9UpTo ? 9 : 3), true, false};
}

road other_road(const road &r, uint64_t reach, int level)
{
    if (r.level >= 16 || reach > kHighLevelUpTo)
        return {std::min(level, 9), true, true};
    return {19, true, false};
}

// One zstd frame of data[0, size) at w.pos, with `base` as its prefix when
// given. The new file's pages are dropped once zstd is past them.
bool frame(payload_file &w, ZSTD_CCtx *c, mapped &data, uint64_t size, const unsigned char *base,
           uint64_t base_size, const road &r, uint64_t &offset, uint64_t &payload_size, hash_t &payload_hash,
           const std::string &path, call_context *ctx)
{
    ZSTD_CCtx_reset(c, ZSTD_reset_session_and_parameters);
    int window = std::min(std::max(highbit(std::max(size, base_size)) + 1, int(ZSTD_WINDOWLOG_MIN)), 31);
    size_t rc = 0;
    for (auto [param, value] : {std::pair<ZSTD_cParameter, int>{ZSTD_c_compressionLevel, r.level},
                                {ZSTD_c_checksumFlag, 1},
                                {ZSTD_c_contentSizeFlag, 1},
                                {ZSTD_c_enableLongDistanceMatching, r.long_distance ? 1 : 2},
                                {ZSTD_c_windowLog, window},
                                {ZSTD_c_ldmHashRateLog, r.dense ? 2 : 0},
                                {ZSTD_c_ldmMinMatch, r.dense ? 32 : 0},
                                {ZSTD_c_stableInBuffer, 1}})
        if (ZSTD_isError(rc = ZSTD_CCtx_setParameter(c, param, value)))
            return context_fail(ctx, FAILURE_CANNOT_WRITE, std::string("zstd: ") + ZSTD_getErrorName(rc));
    if (ZSTD_isError(rc = ZSTD_CCtx_setPledgedSrcSize(c, size)) ||
        (base && ZSTD_isError(rc = ZSTD_CCtx_refPrefix(c, base, size_t(base_size)))))
        return context_fail(ctx, FAILURE_CANNOT_WRITE, std::string("zstd: ") + ZSTD_getErrorName(rc));

    static const unsigned char empty = 0;
    ZSTD_inBuffer in{data.data ? data.data : &empty, 0, 0};
    std::vector<unsigned char> buffer(ZSTD_CStreamOutSize() * 8);
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, 32);
    offset = w.pos;
    for (;;) {
        // More input as zstd takes it (a stable buffer may grow), and the
        // pages it left behind a window's step ago dropped.
        in.size = size_t(std::min<uint64_t>(size, in.pos + kStep));
        if (in.pos > 2 * kStep)
            map_drop_before(data, in.pos - 2 * kStep);
        ZSTD_EndDirective mode = in.size == size ? ZSTD_e_end : ZSTD_e_continue;
        ZSTD_outBuffer out{buffer.data(), buffer.size(), 0};
        size_t left = ZSTD_compressStream2(c, &out, &in, mode);
        if (ZSTD_isError(left))
            return context_fail(ctx, FAILURE_CANNOT_WRITE, "compressing " + path + ": " + ZSTD_getErrorName(left));
        if (!write_full(w.fd, buffer.data(), out.pos, int64_t(w.pos)))
            return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "cannot write the delta", errno);
        crypto_generichash_update(&state, buffer.data(), out.pos);
        w.pos += out.pos;
        if (mode == ZSTD_e_end && left == 0)
            break;
    }
    payload_size = w.pos - offset;
    crypto_generichash_final(&state, payload_hash.data(), payload_hash.size());
    return true;
}

bool whole(payload_file &w, ZSTD_CCtx *c, item &it, mapped &data, int level, call_context *ctx)
{
    it.source = SOURCE_WHOLE;
    road r = first_road(it.size, level);
    return frame(w, c, data, it.size, nullptr, 0, {r.level, false, false}, it.payload_offset, it.payload_size,
                 it.payload_hash, it.path, ctx);
}

// The file in 512 MiB stretches, each against a window of the base.
bool segmented(payload_file &w, ZSTD_CCtx *c, item &it, const source_file &fresh, const source_file &base,
               const diff_settings &d, call_context *ctx)
{
    it.segments.clear();
    const uint64_t kSegment = d.segment, kMargin = d.segment / 2;
    for (uint64_t at = 0; at < it.size; at += kSegment) {
        segment s;
        s.size = std::min(kSegment, it.size - at);
        // The same place in the base, in proportion, and a margin either side.
        uint64_t centre = uint64_t((unsigned __int128)at * base.size / std::max<uint64_t>(it.size, 1));
        uint64_t low = centre > kMargin ? centre - kMargin : 0;
        uint64_t high = std::min(base.size, centre + s.size + kMargin);
        s.base_offset = low;
        s.base_size = high > low ? high - low : 0;
        mapped window, piece;
        if (!map_read(base.fd, s.base_offset, size_t(s.base_size), window) ||
            !map_read(fresh.fd, at, size_t(s.size), piece))
            return context_fail_errno(ctx, FAILURE_CANNOT_READ, "cannot read " + it.path + " or its base", errno);
        road r = {3, true, false};
        if (!frame(w, c, piece, s.size, window.data, s.base_size, r, s.payload_offset, s.payload_size, s.payload_hash,
                   it.path, ctx))
            return false;
        it.segments.push_back(s);
    }
    it.source = SOURCE_SEGMENTS;
    return true;
}

}  // namespace

bool make_payload(payload_file &w, ZSTD_CCtx *c, item &it, const source_file &fresh, const source_file *base,
                  const diff_settings &d, call_context *ctx)
{
    const int level = d.level;
    const uint64_t start = w.pos;
    mapped data;
    if (it.size > d.segment_above || (base && base->size > d.segment_above)) {
        if (!base)  // sent whole, in one frame
            ;
        else if (!segmented(w, c, it, fresh, *base, d, ctx))
            return false;
        else {
            uint64_t total = w.pos - start;
            if (total * 2 <= it.size)
                return true;
            w.pos = start;
        }
        if (!map_read(fresh.fd, 0, size_t(it.size), data))
            return context_fail_errno(ctx, FAILURE_CANNOT_READ, "cannot read " + it.path, errno);
        return whole(w, c, it, data, level, ctx);
    }
    if (!map_read(fresh.fd, 0, size_t(it.size), data))
        return context_fail_errno(ctx, FAILURE_CANNOT_READ, "cannot read " + it.path, errno);
    if (!base || base->size == 0)
        return whole(w, c, it, data, level, ctx);

    mapped old;
    if (!map_read(base->fd, 0, size_t(base->size), old))
        return context_fail_errno(ctx, FAILURE_CANNOT_READ, "cannot read the base of " + it.path, errno);
    const uint64_t reach = std::max(it.size, base->size);
    road r = first_road(reach, level);
    bool patched = false;
    for (int attempt = 0; attempt < 2 && !patched; attempt++) {
        w.pos = start;
        if (attempt == 1)
            r = other_road(r, reach, level);
        if (!frame(w, c, data, it.size, old.data, base->size, r, it.payload_offset, it.payload_size, it.payload_hash,
                   it.path, ctx))
            return false;
        // A patch that owes little to its base is not worth needing the
        // base: sent whole, it also rebuilds for a player whose base was edited.
        patched = it.payload_size * 2 <= it.size;
    }
    if (!patched) {
        w.pos = start;
        return whole(w, c, it, data, level, ctx);
    }
    it.source = SOURCE_PATCH;
    // The suffix engine only where zstd left much to gain: a patch of under
    // 1/256 of its file is already as small as any engine makes it.
    std::string suffix;
    if (it.size <= kSuffixMax && base->size <= kSuffixMax && it.payload_size > it.size / 256 &&
        suffix_patch(old.data, base->size, data.data, it.size, 19, suffix) && suffix.size() < it.payload_size) {
        w.pos = start;
        if (!write_full(w.fd, suffix.data(), suffix.size(), int64_t(start)))
            return context_fail_errno(ctx, FAILURE_CANNOT_WRITE, "cannot write the delta", errno);
        it.source = SOURCE_SUFFIX;
        it.payload_offset = start;
        it.payload_size = suffix.size();
        it.payload_hash = hash_bytes(reinterpret_cast<const unsigned char *>(suffix.data()), suffix.size());
        w.pos = start + suffix.size();
    }
    return true;
}

}  // namespace delta
