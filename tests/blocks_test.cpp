// Files over 1 MiB: deflated in blocks on every thread into one standard
// stream, or stored when their first blocks do not deflate; the same archive
// on any thread count, and every peer reads it.
#include "helpers.h"
#include "ziputil.h"

using namespace testutil;

namespace {

struct Threads {
    int saved = ZIP_THREADS;
    explicit Threads(int n) { ZIP_THREADS = n; }
    ~Threads() { ZIP_THREADS = saved; }
};

const long kMiB = 1 << 20;

// name method size compressed, one line an entry, from Python's reader.
std::string methods_of(const std::string &zip)
{
    return output_of("python3 -c 'import sys, zipfile\nfor i in zipfile.ZipFile(sys.argv[1]).infolist(): "
                     "print(i.filename, i.compress_type, i.file_size, i.compress_size)' " + quote(zip));
}

}  // namespace

TEST(Pack, BigFilesInBlocksAreTheSameOnEveryThreadCountAndEveryPeerReadsThem)
{
    ScratchDir dir;
    const std::string src = dir / "src/G";
    // text.txt: 5 MiB and a bit, blocks and a short last one; edge.txt: one
    // byte past the whole limit; noise.bin: stored; mixed.bin: noise for its
    // first 4 MiB (the sample), text after: stored, as the sample says;
    // texture.png: a raw extension, level 0 as before.
    ASSERT_EQ(run("mkdir -p " + quote(src) + " && cd " + quote(src) +
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
