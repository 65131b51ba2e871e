// Files over 1 MiB: deflated in blocks on every thread into one standard
// stream, or stored when their first blocks do not deflate; the same archive
// on any thread count, and every peer reads it.
#include "helpers.h"
#include "joined_deflate.h"
#include "whole.h"
#include "ziputil.h"

#include <libdeflate.h>

#include <random>

using namespace testutil;

namespace {

const long kMiB = 1 << 20;

// name method size compressed, one line an entry, from Python's reader.
std::string methods_of(const std::string &zip)
{
    return output_of("python3 -c 'import sys, zipfile\nfor i in zipfile.ZipFile(sys.argv[1]).infolist(): "
                     "print(i.filename, i.compress_type, i.file_size, i.compress_size)' " + quote(zip));
}

// A piece of one of four kinds, by `kind`: text (Huffman codes of its
// own), noise (stored), a few bytes (fixed codes) and one byte repeated.
std::string piece_of(std::mt19937 &random, int kind)
{
    std::string s;
    const size_t size = kind == 2 ? 1 + random() % 40 : 1 + random() % 300000;
    while (s.size() < size) {
        if (kind == 0)
            s += "line " + std::to_string(random() % 5000) + (random() % 3 ? " of text\n" : ", and more\n");
        else if (kind == 3)
            s += std::string(size, 'x');
        else
            s += char(random());
    }
    s.resize(size);
    return s;
}

}  // namespace

// Streams ended anywhere in their last byte, joined end to end: one deflate
// stream that zlib and libdeflate both read back whole.
TEST(Pack, WholeDeflateStreamsJoinIntoOneThatEveryInflaterReads)
{
    std::mt19937 random(28);
    ziputil::BlockFinder finder;
    std::string input, joined;
    int header_bytes = 0, no_header_bytes = 0;  // the empty stored block's header in a byte of its own, or not
    for (int i = 0; i < 240; i++) {
        const std::string piece = piece_of(random, i % 4);
        const int level = i % 3 == 0 ? 1 : i % 3 == 1 ? 6 : 9;
        std::unique_ptr<libdeflate_compressor, ziputil::DeflaterFree> c(libdeflate_alloc_compressor(level));
        std::string out(libdeflate_deflate_compress_bound(c.get(), piece.size()) + ziputil::kJoinRoom, '\0');
        unsigned char *bytes = reinterpret_cast<unsigned char *>(&out[0]);
        size_t size = libdeflate_deflate_compress(c.get(), piece.data(), piece.size(), bytes, out.size() - ziputil::kJoinRoom);
        ASSERT_GT(size, 0u) << "piece " << i;
        const size_t before = size;
        ASSERT_TRUE(ziputil::make_joinable(finder, bytes, size, piece.size()))
            << "piece " << i << " (kind " << i % 4 << ", " << piece.size() << " bytes, level " << level << ")";
        (size - before == 5 ? header_bytes : no_header_bytes)++;
        input += piece;
        joined.append(out, 0, size);
    }
    EXPECT_GT(header_bytes, 10) << "too few streams ended within two bits of a byte's end to try that case";
    EXPECT_GT(no_header_bytes, 10) << "too few streams ended with room for a header in their last byte";
    joined += std::string("\x03\x00", 2);  // the empty final block

    std::string zlib_out(input.size() + 1, '\0');
    z_stream z{};
    ASSERT_EQ(inflateInit2(&z, -MAX_WBITS), Z_OK);
    z.next_in = reinterpret_cast<Bytef *>(&joined[0]);
    z.avail_in = uInt(joined.size());
    z.next_out = reinterpret_cast<Bytef *>(&zlib_out[0]);
    z.avail_out = uInt(zlib_out.size());
    EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END) << "zlib: the joined stream does not end where it should";
    EXPECT_EQ(z.avail_in, 0u) << "zlib: bytes left after the joined stream's end";
    zlib_out.resize(z.total_out);
    inflateEnd(&z);
    EXPECT_TRUE(zlib_out == input) << "zlib: the joined stream inflates to other bytes than the pieces";

    std::string ld_out(input.size(), '\0');
    std::unique_ptr<libdeflate_decompressor, ziputil::InflaterFree> d(libdeflate_alloc_decompressor());
    size_t got = 0;
    EXPECT_EQ(libdeflate_deflate_decompress(d.get(), joined.data(), joined.size(), &ld_out[0], ld_out.size(), &got),
              LIBDEFLATE_SUCCESS) << "libdeflate: the joined stream is refused";
    EXPECT_TRUE(got == input.size() && ld_out == input) << "libdeflate: other bytes than the pieces";
}

// A stream cut short, damaged, or not of the size it should inflate to is
// refused, and its bytes are left as they were.
TEST(Pack, AStreamThatIsNotWholeIsNotMadeJoinable)
{
    std::mt19937 random(6);
    const std::string piece = piece_of(random, 0);
    std::unique_ptr<libdeflate_compressor, ziputil::DeflaterFree> c(libdeflate_alloc_compressor(6));
    std::string out(libdeflate_deflate_compress_bound(c.get(), piece.size()) + ziputil::kJoinRoom, '\0');
    const size_t size = libdeflate_deflate_compress(c.get(), piece.data(), piece.size(), &out[0], out.size() - 5);
    ASSERT_GT(size, 10u);
    ziputil::BlockFinder finder;
    struct Case {
        const char *what;
        size_t size, inflated;
        size_t damage_at;  // SIZE_MAX: none
    };
    for (const Case &k : {Case{"cut short by one byte", size - 1, piece.size(), SIZE_MAX},
                          Case{"cut in half", size / 2, piece.size(), SIZE_MAX},
                          Case{"declared a byte longer", size, piece.size() + 1, SIZE_MAX},
                          Case{"declared a byte shorter", size, piece.size() - 1, SIZE_MAX},
                          Case{"a broken first block header", size, piece.size(), 0}}) {
        std::string bytes = out;
        if (k.damage_at != SIZE_MAX)
            bytes[k.damage_at] = char(0xFF);  // block type 3: no such type
        const std::string kept = bytes;
        size_t n = k.size;
        EXPECT_FALSE(ziputil::make_joinable(finder, reinterpret_cast<unsigned char *>(&bytes[0]), n, k.inflated))
            << k.what << ": must be refused";
        EXPECT_EQ(n, k.size) << k.what << ": its size must stay";
        EXPECT_TRUE(bytes == kept) << k.what << ": its bytes must stay";
    }
    size_t n = size;
    EXPECT_TRUE(ziputil::make_joinable(finder, reinterpret_cast<unsigned char *>(&out[0]), n, piece.size()))
        << "the whole stream, after the refusals, with the same finder";
}

TEST(Pack, BigFilesInBlocksAreTheSameOnEveryThreadCountAndEveryPeerReadsThem)
{
    ScratchDir dir;
    const std::string src = dir / "src/G";
    // text.txt: 5 MiB and a bit, blocks and a short last one; edge.txt: one
    // byte past the whole limit; noise.bin: stored; mixed.bin: noise for its
    // first 4 MiB (the sample), text after: stored, as the sample says;
    // texture.png: a raw extension, level 0 as before. On many threads the
    // workers make the first two blocks ahead: exact.txt is those two blocks
    // to the byte, two.txt ends just past them, and the six in more/ are more
    // than the samples held at once, so the writer samples some itself.
    ASSERT_EQ(run("mkdir -p " + quote(src + "/more") + " && cd " + quote(src) +
                  " && seq 1 800000 | head -c $((4 * 1048576)) >exact.txt"
                  " && seq 1 800000 | head -c $((2 * 1048576 + 5)) >two.txt"
                  " && for i in 1 2 3 4 5 6; do seq $i 900000 | head -c $((1536 * 1024 + i)) >more/$i.txt; done"
                  " && seq 1 800000 | head -c $((5 * 1048576 + 123)) >text.txt"
                  " && seq 1 200000 | head -c 1048577 >edge.txt"
                  " && head -c $((3 * 1048576)) /dev/urandom >noise.bin"
                  " && head -c $((4 * 1048576)) /dev/urandom >mixed.bin && seq 1 300000 >>mixed.bin"
                  " && head -c $((2 * 1048576)) /dev/urandom >texture.png"), 0);
    std::string one;
    for (int threads : {1, 2, 3}) {
        Threads t(threads);
        const std::string zip = dir / ("g" + std::to_string(threads) + ".zip");
        std::string out;
        ASSERT_EQ(pack(src, zip, 6, &out), 1) << threads << " threads: " << out;
        if (threads == 1)
            one = read_file(zip);
        else
            EXPECT_TRUE(read_file(zip) == one) << threads << " threads: the archive differs from one thread's";
    }
    const std::string zip = dir / "g1.zip";
    const std::string listing = methods_of(zip);
    auto line_of = [&](const std::string &name) {
        size_t at = listing.find("G/" + name + " ");
        return at == std::string::npos ? "<missing>" : listing.substr(at, listing.find('\n', at) - at);
    };
    EXPECT_EQ(line_of("noise.bin"), "G/noise.bin 0 3145728 3145728") << "noise.bin: incompressible, must be stored";
    EXPECT_EQ(line_of("mixed.bin").substr(0, 12), "G/mixed.bin ") << listing;
    EXPECT_EQ(line_of("mixed.bin").substr(12, 2), "0 ") << "mixed.bin: its first 4 MiB do not deflate: stored";
    EXPECT_EQ(line_of("text.txt").substr(0, 21), "G/text.txt 8 5243003 ") << "text.txt: deflated in blocks";
    EXPECT_EQ(line_of("edge.txt").substr(0, 21), "G/edge.txt 8 1048577 ") << "edge.txt: one byte past the limit";
    EXPECT_EQ(line_of("exact.txt").substr(0, 22), "G/exact.txt 8 4194304 ") << "exact.txt: deflated in blocks";
    EXPECT_EQ(line_of("texture.png").substr(0, 16), "G/texture.png 8 ") << "texture.png: level 0 keeps deflate's method";
    // Every peer reads the joined stream and finds the same bytes.
    EXPECT_EQ(output_of("unzip -tq " + quote(zip) + " 2>&1; echo status $?"),
              "No errors detected in compressed data of " + zip + ".\nstatus 0\n") << "Info-ZIP unzip -t";
    EXPECT_EQ(output_of("mkdir " + quote(dir / "bsdtar") + " && bsdtar -xf " + quote(zip) + " -C " + quote(dir / "bsdtar") +
                        " && diff -r " + quote(src) + " " + quote(dir / "bsdtar/G") + " && echo same"), "same\n")
        << "bsdtar's unpack differs from the source";
    EXPECT_EQ(output_of("cd " + quote(dir.path) + " && python3 -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); "
                        "print(z.testzip()); z.extractall(\"py\")' " + quote(zip) + " && diff -r " + quote(src) + " py/G && echo same"),
              "None\nsame\n") << "Python's unpack differs from the source";
    for (int threads : {1, 3}) {
        Threads t(threads);
        const std::string dest = dir / ("ours" + std::to_string(threads) + "/");
        EXPECT_EQ(unpack(zip, dest), 1) << threads << " threads: " << last_line();
        EXPECT_EQ(output_of("diff -r " + quote(src) + " " + quote(dest + "G") + " && echo same"), "same\n")
            << threads << " threads: our unpack differs from the source";
    }
}

// A damaged block in the middle of a big entry: the same line and kind
// through the fast inflater and through zlib, on one thread and many, and
// nothing left of the entry.
TEST(Unpack, ADamagedBlockOfABigEntryIsNamedAlikeByEveryInflater)
{
    ScratchDir dir;
    ASSERT_EQ(run("mkdir -p " + quote(dir / "G") + " && seq 1 900000 >" + quote(dir / "G/text.txt")), 0);
    ASSERT_EQ(pack(dir / "G", dir / "g.zip"), 1) << last_line();
    // Bytes 1 MiB into the entry's data: inside the second block.
    std::string bytes = read_file(dir / "g.zip");
    const size_t at = bytes.find("G/text.txt") + 10 + 300000;
    for (size_t i = 0; i < 64; i++)
        bytes[at + i] = char(0xFF);
    write_file(dir / "bad.zip", bytes);
    struct Inflater {
        bool saved = ZIP_FAST_INFLATE;
        ~Inflater() { ZIP_FAST_INFLATE = saved; }
    } restore;
    std::string first;  // the line the first way named it with: every other must say the same
    for (bool fast : {true, false})
        for (int threads : {1, 3}) {
            ZIP_FAST_INFLATE = fast;
            Threads t(threads);
            const std::string what = std::string(fast ? "fast inflate" : "zlib") + ", " + std::to_string(threads) + " threads";
            const std::string dest = dir / "out/";
            run("rm -rf " + quote(dest));
            std::string out;
            EXPECT_EQ(unpack(dir / "bad.zip", dest, &out), 0) << what << ": must fail";
            if (first.empty())
                first = last_line();
            EXPECT_EQ(last_line(), first) << what << ": another line than the first way's";
            EXPECT_NE(first.find("in entry: G/text.txt"), std::string::npos) << what << ": " << first;
            EXPECT_EQ(kind_name(last_failure()), "FAILURE_DAMAGED") << what;
            EXPECT_FALSE(exists(dest + "G/text.txt")) << what << ": dest/G/text.txt must not be left";
            unsigned long long entries = 0, size = 0;
            EXPECT_EQ(captured([&] { return test_archive((dir / "bad.zip").c_str(), &entries, &size, &last.ctx); }), 0)
                << what << ": test_archive must fail";
            EXPECT_EQ(last_line(), first) << what << ", test_archive: another line";
        }
}

// A big stored entry is copied from the read-ahead window: the same bytes
// as the source on one thread and many, and a damaged one named with the
// line the stream gives it (test_archive streams every entry), nothing left.
TEST(Unpack, ABigStoredEntryIsCopiedWholeAndItsDamageNamedAsTheStreamNamesIt)
{
    ScratchDir dir;
    // 9 MiB and a bit: more than one step of the copy, a short last window.
    ASSERT_EQ(run("mkdir -p " + quote(dir / "G") + " && head -c $((9 * 1048576 + 4321)) /dev/urandom >" +
                  quote(dir / "G/pack.bin") + " && echo small >" + quote(dir / "G/after.txt")), 0);
    ASSERT_EQ(pack(dir / "G", dir / "g.zip"), 1) << last_line();
    ASSERT_NE(methods_of(dir / "g.zip").find("G/pack.bin 0 9441505 9441505"), std::string::npos)
        << "pack.bin must be stored: " << methods_of(dir / "g.zip");
    for (int threads : {1, 3}) {
        Threads t(threads);
        const std::string dest = dir / ("ok" + std::to_string(threads) + "/");
        EXPECT_EQ(unpack(dir / "g.zip", dest), 1) << threads << " threads: " << last_line();
        EXPECT_TRUE(read_file(dest + "G/pack.bin") == read_file(dir / "G/pack.bin"))
            << threads << " threads: dest/G/pack.bin differs from the source";
    }
    // A byte 5 MiB into the entry's data, in the copy's second step.
    std::string bytes = read_file(dir / "g.zip");
    const size_t at = bytes.find("G/pack.bin") + 10 + 5 * 1048576;
    bytes[at] = char(bytes[at] ^ 0x20);
    write_file(dir / "bad.zip", bytes);
    unsigned long long entries = 0, size = 0;
    ASSERT_EQ(captured([&] { return test_archive((dir / "bad.zip").c_str(), &entries, &size, &last.ctx); }), 0)
        << "test_archive must find the damage";
    const std::string streamed = last_line();
    EXPECT_EQ(streamed, "CRC error in entry: G/pack.bin") << "test_archive's line";
    for (int threads : {1, 3}) {
        Threads t(threads);
        const std::string dest = dir / ("bad" + std::to_string(threads) + "/");
        EXPECT_EQ(unpack(dir / "bad.zip", dest), 0) << threads << " threads: must fail";
        EXPECT_EQ(last_line(), streamed) << threads << " threads: another line than the stream's";
        EXPECT_EQ(kind_name(last_failure()), "FAILURE_DAMAGED") << threads << " threads";
        EXPECT_FALSE(exists(dest + "G/pack.bin")) << threads << " threads: dest/G/pack.bin must not be left";
    }
}
