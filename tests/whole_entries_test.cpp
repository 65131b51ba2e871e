// Entries of up to 1 MiB are inflated and deflated whole, bigger ones
// stream: on either side of that limit an entry passes the same checks,
// fails with the same line and packs into an archive every peer reads.
#include "helpers.h"
#include "ziputil.h"

using namespace testutil;

namespace {

const size_t kLimit = 1u << 20;

// Digits that deflate to about half: what make_zip.py's `numbers(n)` makes.
std::string numbers(size_t n)
{
    std::string out;
    char line[16];
    for (size_t i = 0; out.size() < n; i++) {
        snprintf(line, sizeof line, "%07zu\n", i * 7919 % 1000003);
        out += line;
    }
    out.resize(n);
    return out;
}

const char kNumbers[] =
    "n = int(sys.argv[2])\n"
    "data = b''.join(b'%07d\\n' % (i * 7919 % 1000003) for i in range(n // 8 + 1))[:n]\n"
    "add('a.bin', data)\n";

}  // namespace

TEST(Unpack, EntriesEitherSideOfTheWholeLimitPassTheSameChecks)
{
    ScratchDir dir;
    // fix(b) on the archive of one entry a.bin of n bytes; its data starts at 35.
    struct Case { std::string damage, fix, line; } cases[] = {
        {"none", "", ""},
        {"CRC one off", "put(b, 'a.bin', 14, 16, '<I', zlib.crc32(data) ^ 1)", "CRC error in entry: a.bin"},
        {"size one less", "put(b, 'a.bin', 22, 24, '<I', n - 1)", "Size mismatch (more than the {n-1} bytes declared) in entry: a.bin"},
        {"size one more", "put(b, 'a.bin', 22, 24, '<I', n + 1)", "Size mismatch ({n} bytes, {n+1} declared) in entry: a.bin"},
        {"reserved block type", "b[35] |= 6", "Damaged data in entry: a.bin"},
        {"compressed data cut", "put(b, 'a.bin', 18, 20, '<I', struct.unpack_from('<I', b, 18)[0] // 2)",
         "Damaged data in entry: a.bin (its compressed data ends early)"},
    };
    // Past the limit the entry streams through the fast inflater, or zlib
    // when it is off: the same lines and kinds either way.
    struct Inflater {
        bool saved = ZIP_FAST_INFLATE;
        ~Inflater() { ZIP_FAST_INFLATE = saved; }
    } restore;
    for (bool fast : {true, false})
    for (size_t n : {kLimit, kLimit + 1, 3 * kLimit}) {
        ZIP_FAST_INFLATE = fast;
        auto with_n = [n](std::string line) {
            const std::pair<std::string, size_t> values[] = {{"{n}", n}, {"{n-1}", n - 1}, {"{n+1}", n + 1}};
            for (const auto &[key, value] : values)
                if (size_t at = line.find(key); at != std::string::npos)
                    line.replace(at, key.size(), std::to_string(value));
            return line;
        };
        for (const Case &c : cases) {
            std::string what = c.damage + ", " + std::to_string(n) + " bytes, " + (fast ? "fast inflate" : "zlib");
            std::string zip = dir / "a.zip", dest = dir / "dest/", out;
            run("rm -rf " + quote(zip) + " " + quote(dest));
            python_zip(zip, kNumbers + (c.fix.empty() ? "" : "def fix(b): " + c.fix), std::to_string(n));
            int ok = unpack(zip, dest, &out);
            if (c.line.empty()) {
                ASSERT_EQ(ok, 1) << what << ": must unpack\n" << out;
                EXPECT_TRUE(read_file(dest + "a.bin") == numbers(n)) << what << ": dest/a.bin holds other bytes";
                EXPECT_EQ(last.progress.done.load(), (long long)n) << what << ": the progress counter";
                continue;
            }
            EXPECT_EQ(ok, 0) << what << ": must fail\n" << out;
            EXPECT_EQ(kind_name(last_failure()), "FAILURE_DAMAGED") << what;
            EXPECT_NE(out.find(with_n(c.line) + "\n"), std::string::npos) << what << ": no line \"" << with_n(c.line)
                                                                           << "\" in\n" << out;
            EXPECT_FALSE(exists(dest + "a.bin")) << what << ": dest/a.bin must not exist after the failure";
        }
    }
}

TEST(Pack, FilesEitherSideOfTheWholeLimitRoundTripThroughEveryPeer)
{
    ScratchDir dir;
    const std::string src = dir / "src/T";
    ASSERT_EQ(run("mkdir -p " + quote(src) + " && cd " + quote(src) + " && touch empty && printf x >one && "
                  "python3 -c 'import sys; sys.stdout.buffer.write(bytes(range(256)) * 8192)' >bytes && "
                  "head -c " + std::to_string(kLimit) + " bytes >bin-at && head -c " + std::to_string(kLimit + 1) +
                  " bytes >bin-over && rm bytes"), 0);
    write_file(src + "/text-at", numbers(kLimit));
    write_file(src + "/text-over", numbers(kLimit + 1));
    // name, internal attributes (zlib's text guess: 1 for text), CRC checked
    const std::string expected = "T/bin-at 0\nT/bin-over 0\nT/empty 0\nT/one 1\nT/text-at 1\nT/text-over 1\nchecked\n";
    for (int level : {-1, 1, 9}) {
        std::string zip = dir / ("l" + std::to_string(level) + ".zip"), dest = dir / ("l" + std::to_string(level) + "/");
        ASSERT_EQ(pack(src, zip, level), 1) << "level " << level;
        EXPECT_EQ(output_of("python3 -c 'import sys, zipfile\nz = zipfile.ZipFile(sys.argv[1])\n"
                            "for i in sorted(z.infolist(), key=lambda i: i.filename): print(i.filename, i.internal_attr)\n"
                            "print(\"checked\" if z.testzip() is None else \"CRC error\")' " + quote(zip)),
                  expected) << "level " << level << ": Python reads another archive";
        EXPECT_EQ(output_of("unzip -tq " + quote(zip) + " >/dev/null 2>&1; echo $?"), "0\n") << "level " << level << ": unzip -t";
        EXPECT_EQ(output_of("bsdtar -tvf " + quote(zip) + " >/dev/null 2>&1 && bsdtar -xOf " + quote(zip) + " | wc -c"),
                  std::to_string(4 * kLimit + 3) + "\n") << "level " << level << ": bsdtar";
        ASSERT_EQ(unpack(zip, dest), 1) << "level " << level;
        EXPECT_EQ(snapshot(dest + "T"), snapshot(src)) << "level " << level << ": our reader gives another tree";
    }
}
