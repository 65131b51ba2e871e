// The inflaters side by side on one deflate stream: zlib and ISA-L as the
// unpack streams an entry (16 KiB out at a time), and libdeflate on the
// whole buffer at once, as the unpack does with entries of up to 1 MiB.
//
// usage: inflate_bench FILE MB    (the first MB of FILE, repeated if short;
// deflated once by zlib at level 6; prints one line per inflater)
#include <libdeflate.h>
#include <zlib.h>
#ifdef BENCH_WITH_ISAL
#include <isa-l/igzip_lib.h>
#endif

#include <chrono>
#include <fstream>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <vector>

namespace {

double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

const size_t kOut = 16384;

// The best of three runs, as seconds; the CRC of what came out, to check.
template <class Run>
double best_of_three(Run run, uint32_t &crc)
{
    double best = 1e30;
    for (int i = 0; i < 3; i++) {
        double t0 = now();
        crc = run();
        best = std::min(best, now() - t0);
    }
    return best;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 3)
        return fprintf(stderr, "usage: inflate_bench FILE MB\n"), 2;
    const size_t size = size_t(atol(argv[2])) << 20;
    std::ifstream in(argv[1], std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (data.empty())
        return fprintf(stderr, "inflate_bench: %s is empty or unreadable\n", argv[1]), 1;
    std::string input;
    input.reserve(size);
    while (input.size() < size)
        input.append(data, 0, std::min(data.size(), size - input.size()));
    data.clear();

    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string packed(deflateBound(&z, input.size()), '\0');
    z.next_in = reinterpret_cast<Bytef *>(&input[0]);
    z.avail_in = uInt(input.size());
    z.next_out = reinterpret_cast<Bytef *>(&packed[0]);
    z.avail_out = uInt(packed.size());
    deflate(&z, Z_FINISH);
    packed.resize(z.total_out);
    deflateEnd(&z);
    const uint32_t want = libdeflate_crc32(0, input.data(), input.size());
    std::vector<unsigned char> out(kOut);
    printf("input %zu MB, deflated to %.1f%%\n", size >> 20, 100.0 * packed.size() / input.size());

    uint32_t crc = 0;
    double zlib_time = best_of_three([&] {
        z_stream d{};
        inflateInit2(&d, -MAX_WBITS);
        d.next_in = reinterpret_cast<Bytef *>(&packed[0]);
        d.avail_in = uInt(packed.size());
        uint32_t c = 0;
        int rc;
        do {
            d.next_out = out.data();
            d.avail_out = uInt(kOut);
            rc = inflate(&d, Z_NO_FLUSH);
            c = libdeflate_crc32(c, out.data(), kOut - d.avail_out);
        } while (rc == Z_OK);
        inflateEnd(&d);
        return c;
    }, crc);
    printf("zlib %.4f s %s\n", zlib_time, crc == want ? "ok" : "WRONG");
#ifdef BENCH_WITH_ISAL
    double isal_time = best_of_three([&] {
        inflate_state st;
        isal_inflate_init(&st);
        st.crc_flag = ISAL_DEFLATE;
        st.next_in = reinterpret_cast<uint8_t *>(&packed[0]);
        st.avail_in = uint32_t(packed.size());
        uint32_t c = 0;
        while (st.block_state != ISAL_BLOCK_FINISH) {
            st.next_out = out.data();
            st.avail_out = uint32_t(kOut);
            if (isal_inflate(&st) < 0)
                break;
            c = libdeflate_crc32(c, out.data(), kOut - st.avail_out);
        }
        return c;
    }, crc);
    printf("isa-l %.4f s %s\n", isal_time, crc == want ? "ok" : "WRONG");
#endif
    std::vector<unsigned char> whole(input.size());
    libdeflate_decompressor *d = libdeflate_alloc_decompressor();
    double whole_time = best_of_three([&] {
        size_t got = 0;
        libdeflate_deflate_decompress(d, packed.data(), packed.size(), whole.data(), whole.size(), &got);
        return libdeflate_crc32(0, whole.data(), got);
    }, crc);
    libdeflate_free_decompressor(d);
    printf("libdeflate-whole %.4f s %s\n", whole_time, crc == want ? "ok" : "WRONG");
    return 0;
}
