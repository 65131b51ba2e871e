// The second engine, for programs: suffix-array matching. A program's new
// build moves most code by a few bytes and changes many addresses by small
// amounts; an LZ engine sees that as short matches broken every few bytes.
// Here every stretch of the new file is paired with the most alike stretch
// of the old one (found through the old file's suffix array), and three
// streams are written: control (per stretch: bytes added to the old ones,
// bytes inserted, and how far to move in the old file), the byte-wise
// differences (mostly zeros where addresses shifted), and the inserted
// bytes. Control and insertions are zstd frames; the differences, almost
// all zero, are range-coded with contexts from the old file (model.cpp).
//
// Payload: 4 magic "VQSA", 8 control bytes C, 8 difference bytes D, 8 extra
// bytes E (each as rebuilt), 8 and 8 and 8 the three streams' stored sizes,
// then the streams. Control: triples of little-endian 64-bit numbers (added,
// inserted, move as two's complement), every one checked against both files
// on apply.
#include "items.h"

#include "bytes.h"

#include <divsufsort.h>
#include <string.h>
#include <zstd.h>

#include <algorithm>
#include <memory>

namespace delta {

namespace {

const char kMagic[4] = {'V', 'Q', 'S', 'A'};
const size_t kHead = 4 + 6 * 8;

uint64_t common(const unsigned char *a, uint64_t na, const unsigned char *b, uint64_t nb)
{
    uint64_t n = std::min(na, nb), i = 0;
    while (i < n && a[i] == b[i])
        i++;
    return i;
}

// The longest match of `fresh` among the old file's suffixes: its length,
// and its start in `pos`. Binary search over the sorted suffixes.
uint64_t search(const int32_t *sa, const unsigned char *old, uint64_t old_size, const unsigned char *fresh,
                uint64_t fresh_size, int64_t lo, int64_t hi, int64_t &pos)
{
    while (hi - lo >= 2) {
        int64_t mid = lo + (hi - lo) / 2;
        uint64_t at = uint64_t(sa[mid]);
        uint64_t n = std::min(old_size - at, fresh_size);
        if (memcmp(old + at, fresh, size_t(n)) < 0)
            lo = mid;
        else
            hi = mid;
    }
    uint64_t x = common(old + sa[lo], old_size - uint64_t(sa[lo]), fresh, fresh_size);
    uint64_t y = common(old + sa[hi], old_size - uint64_t(sa[hi]), fresh, fresh_size);
    pos = x > y ? sa[lo] : sa[hi];
    return std::max(x, y);
}

void put64(std::string &out, uint64_t v)
{
    unsigned char b[8];
    put_le64(b, v);
    out.append(reinterpret_cast<const char *>(b), 8);
}

std::string frame(const std::string &data, int level)
{
    std::string out(ZSTD_compressBound(data.size()), '\0');
    size_t n = ZSTD_compress(&out[0], out.size(), data.data(), data.size(), level);
    if (ZSTD_isError(n))
        return std::string();
    out.resize(n);
    return out;
}

}  // namespace

bool suffix_patch(const unsigned char *old, uint64_t old_size, const unsigned char *fresh, uint64_t fresh_size,
                  int level, std::string &out)
{
    out.clear();
    if (old_size == 0 || old_size > kSuffixMax || fresh_size > kSuffixMax)
        return false;
    std::unique_ptr<int32_t[]> sa(new (std::nothrow) int32_t[size_t(old_size)]);
    if (!sa || divsufsort(old, sa.get(), int32_t(old_size)) != 0)
        return false;
    std::string control, extra;
    uint64_t diff_bytes = 0;
    range_encoder coder;
    diff_model model;
    int64_t scan = 0, len = 0, pos = 0, last_scan = 0, last_pos = 0, last_offset = 0;
    const int64_t n = int64_t(fresh_size), m = int64_t(old_size);
    while (scan < n) {
        int64_t old_score = 0;
        // Forward until a match is found that beats the current alignment
        // (old at scan + last_offset) by more than a few bytes.
        for (int64_t sc = scan += len; scan < n; scan++) {
            len = int64_t(search(sa.get(), old, old_size, fresh + scan, uint64_t(n - scan), 0, m - 1, pos));
            for (; sc < scan + len; sc++)
                if (sc + last_offset < m && old[sc + last_offset] == fresh[sc])
                    old_score++;
            if ((len == old_score && len != 0) || len > old_score + 8)
                break;
            if (scan + last_offset < m && old[scan + last_offset] == fresh[scan])
                old_score--;
        }
        if (len == old_score && scan != n)
            continue;
        // How far the previous alignment reaches forward, and the new one back.
        int64_t s = 0, best = 0, forward = 0;
        for (int64_t i = 0; last_scan + i < scan && last_pos + i < m;) {
            if (old[last_pos + i] == fresh[last_scan + i])
                s++;
            i++;
            if (s * 2 - i > best * 2 - forward)
                best = s, forward = i;
        }
        int64_t back = 0;
        if (scan < n) {
            s = 0, best = 0;
            for (int64_t i = 1; scan >= last_scan + i && pos >= i; i++) {
                if (old[pos - i] == fresh[scan - i])
                    s++;
                if (s * 2 - i > best * 2 - back)
                    best = s, back = i;
            }
        }
        if (last_scan + forward > scan - back) {  // the two overlap: split where it pays
            int64_t overlap = (last_scan + forward) - (scan - back), split = 0;
            s = 0, best = 0;
            for (int64_t i = 0; i < overlap; i++) {
                if (fresh[last_scan + forward - overlap + i] == old[last_pos + forward - overlap + i])
                    s++;
                if (fresh[scan - back + i] == old[pos - back + i])
                    s--;
                if (s > best)
                    best = s, split = i + 1;
            }
            forward += split - overlap;
            back -= split;
        }
        for (int64_t i = 0; i < forward; i++) {
            const int64_t at = last_pos + i;
            encode_difference(coder, model, uint8_t(fresh[last_scan + i] - old[at]), at > 0 ? old[at - 1] : 0, old[at]);
        }
        diff_bytes += uint64_t(forward);
        const int64_t inserted = (scan - back) - (last_scan + forward);
        extra.append(reinterpret_cast<const char *>(fresh + last_scan + forward), size_t(inserted));
        put64(control, uint64_t(forward));
        put64(control, uint64_t(inserted));
        put64(control, uint64_t((pos - back) - (last_pos + forward)));
        last_scan = scan - back;
        last_pos = pos - back;
        last_offset = pos - scan;
    }
    std::string c = frame(control, level), d = coder.finish(), e = frame(extra, level);
    if (c.empty() || e.empty())
        return false;
    out.assign(kMagic, 4);
    for (uint64_t v : {uint64_t(control.size()), diff_bytes, uint64_t(extra.size()), uint64_t(c.size()),
                       uint64_t(d.size()), uint64_t(e.size())})
        put64(out, v);
    out += c + d + e;
    return true;
}

bool suffix_apply(const unsigned char *payload, uint64_t payload_size, const unsigned char *old, uint64_t old_size,
                  unsigned char *out, uint64_t out_size, std::string &why)
{
    if (payload_size < kHead || memcmp(payload, kMagic, 4) != 0)
        return why = "not a suffix-array patch", false;
    uint64_t raw[3], stored[3];
    for (int i = 0; i < 3; i++) {
        raw[i] = get_le64(payload + 4 + 8 * i);
        stored[i] = get_le64(payload + 28 + 8 * i);
    }
    // Control: one triple per stretch, at most one stretch per output byte
    // and one more; differences and insertions at most the output's bytes.
    if (raw[0] % 24 != 0 || raw[0] / 24 > out_size + 1 || raw[1] > out_size || raw[2] > out_size)
        return why = "stream sizes out of bounds", false;
    uint64_t at = kHead, starts[3];
    std::string streams[3];
    for (int i = 0; i < 3; i++) {
        if (stored[i] > payload_size - at)
            return why = "a stream lies outside the payload", false;
        starts[i] = at;
        at += stored[i];
        if (i == 1)
            continue;  // range-coded, decoded as the file is rebuilt
        if (ZSTD_getFrameContentSize(payload + starts[i], size_t(stored[i])) != raw[i])
            return why = "a stream other than declared", false;
        streams[i].assign(size_t(raw[i]), '\0');
        size_t n = ZSTD_decompress(&streams[i][0], streams[i].size(), payload + starts[i], size_t(stored[i]));
        if (ZSTD_isError(n) || n != raw[i])
            return why = "a stream does not decompress", false;
    }
    if (at != payload_size)
        return why = "bytes after the streams", false;
    const unsigned char *control = reinterpret_cast<const unsigned char *>(streams[0].data());
    const unsigned char *extra = reinterpret_cast<const unsigned char *>(streams[2].data());
    range_decoder coded(payload + starts[1], stored[1]);
    diff_model model;
    uint64_t written = 0, old_at = 0, diff_at = 0, extra_at = 0;
    for (uint64_t c = 0; c < raw[0]; c += 24) {
        uint64_t added = get_le64(control + c), inserted = get_le64(control + c + 8);
        int64_t move = int64_t(get_le64(control + c + 16));
        if (added > out_size - written || added > raw[1] - diff_at || added > old_size - old_at)
            return why = "a stretch reaches past its files", false;
        for (uint64_t i = 0; i < added; i++) {
            const uint64_t o = old_at + i;
            out[written + i] = uint8_t(decode_difference(coded, model, o > 0 ? old[o - 1] : 0, old[o]) + old[o]);
        }
        written += added, diff_at += added, old_at += added;
        if (inserted > out_size - written || inserted > raw[2] - extra_at)
            return why = "an insertion reaches past its files", false;
        memcpy(out + written, extra + extra_at, size_t(inserted));
        written += inserted, extra_at += inserted;
        // The move may land anywhere in [0, old_size]; it is checked here,
        // without wrapping, before the next stretch reads there.
        if (move < 0 ? uint64_t(-(move + 1)) + 1 > old_at : uint64_t(move) > old_size - old_at)
            return why = "a move leaves the old file", false;
        old_at = move < 0 ? old_at - (uint64_t(-(move + 1)) + 1) : old_at + uint64_t(move);
    }
    if (written != out_size || diff_at != raw[1] || extra_at != raw[2])
        return why = "the streams do not build the whole file", false;
    return true;
}

}  // namespace delta
