// Unpack and pack on several threads against one thread: the same trees,
// the same archive bytes, and a failure in one worker ends the call cleanly.
#include "helpers.h"
#include "ziputil.h"

#include <sys/xattr.h>

#include <algorithm>

using namespace testutil;

namespace {

std::string sorted_lines(std::string text)
{
    std::vector<std::string> lines;
    for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(text.substr(at, nl - at));
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const std::string &l : lines)
        out += l + "\n";
    return out;
}

// A tree with what workers split: many small files, files that deflate to
// more than an entry keeps in memory, incompressible ones, level-0 names,
// links, an empty file and a file with user attributes (a metadata entry).
void make_tree(const std::string &root)
{
    ASSERT_EQ(run("mkdir -p " + quote(root + "/Game.app/C/Lib.framework/Versions/A") + " " + quote(root + "/Game.app/R") +
                  " && cd " + quote(root + "/Game.app") + " && for i in $(seq 60); do seq $i 3 $((i * 400)) >R/t$i.txt; done && "
                  "seq 900000 >C/big.txt && head -c 3000000 /dev/urandom >C/noise.bin && head -c 200000 /dev/urandom >R/a.png && "
                  "seq 70000 >R/b.png && touch C/empty && chmod 755 R/t7.txt && echo bin >C/Lib.framework/Versions/A/Lib && "
                  "ln -s A C/Lib.framework/Versions/Current && ln -s Versions/Current/Lib C/Lib.framework/Lib"), 0);
    setxattr((root + "/Game.app/R/t3.txt").c_str(), "user.tag", "v", 1, 0);
    setxattr((root + "/Game.app/C/big.txt").c_str(), "user.com.apple.quarantine", "q", 1, 0);
}

// The archive with the dates of its metadata entries set to 0 (local header
// and central record): those carry the time of packing.
std::string without_metadata_dates(const std::string &zip)
{
    return output_of("python3 - " + quote(zip) + " <<'EOF'\n"
                     "import sys, struct\nb = bytearray(open(sys.argv[1], 'rb').read())\n"
                     "for sig, h, n, at in ((b'PK\\3\\4', 30, 26, 10), (b'PK\\1\\2', 46, 28, 12)):\n"
                     "    i = b.find(sig)\n    while i >= 0:\n"
                     "        if b[i + h:i + h + 9] == b'__MACOSX/': struct.pack_into('<I', b, i + at, 0)\n"
                     "        i = b.find(sig, i + 1)\n"
                     "sys.stdout.write(b.hex())\nEOF");
}

}  // namespace

TEST(Parallel, UnpackGivesTheTreeOfOneThreadForEveryPeer)
{
    ScratchDir dir;
    make_tree(dir / "src");
    struct Case { const char *name, *command; } packers[] = {
        {"Info-ZIP", "zip -q -r -y ../peer.zip Game.app"},
        {"bsdtar", "bsdtar -c --format zip -f ../peer.zip Game.app"},
        {"Python", "python3 -c \"import shutil; shutil.make_archive('../peer', 'zip', '.', 'Game.app')\""},
        {"ziputil", "\"" ZIPUTIL_BIN "\" -q pack Game.app ../peer.zip"},
    };
    for (const Case &c : packers) {
        ASSERT_EQ(run("rm -f " + quote(dir / "peer.zip") + " && cd " + quote(dir / "src") + " && " + c.command), 0) << c.name;
        std::string one, many, tree_one, tree_many;
        long long done_one;
        {
            Threads t(1);
            EXPECT_EQ(unpack(dir / "peer.zip", dir / "one/", &one), 1) << c.name << ": one thread\n" << one;
            done_one = last.progress.done.load();
        }
        {
            Threads t(4);
            EXPECT_EQ(unpack(dir / "peer.zip", dir / "many/", &many), 1) << c.name << ": four threads\n" << many;
        }
        EXPECT_EQ(last.progress.done.load(), done_one) << c.name << ": progress done differs with four threads";
        EXPECT_EQ(last.progress.done.load(), last.progress.total.load()) << c.name << ": progress short of the total";
        EXPECT_EQ(snapshot(dir / "many"), snapshot(dir / "one")) << c.name << ": four threads unpacked another tree";
        EXPECT_EQ(get_xattr(dir / "many/Game.app/R/t3.txt", "user.tag"), get_xattr(dir / "one/Game.app/R/t3.txt", "user.tag"))
            << c.name << ": metadata differs";
        std::string one_lines = sorted_lines(one), many_lines = sorted_lines(many);
        auto filenames = [](const std::string &lines) {
            std::string out;
            for (size_t at = 0; (at = lines.find("Filename to unzip: ", at)) != std::string::npos; at++)
                out += lines.substr(at, lines.find('\n', at) - at) + "\n";
            return out;
        };
        EXPECT_EQ(filenames(many_lines), filenames(one_lines)) << c.name << ": not the same entries said";
        run("rm -rf " + quote(dir / "one") + " " + quote(dir / "many"));
    }
    EXPECT_EQ(output_of("ls -A " + quote(kTmpdir.path)), "") << "a temporary file was left";
}

// A CRC-bad entry among many: the call fails with FAILURE_DAMAGED whichever
// worker meets it, that file is not left, no link is made.
TEST(Parallel, ADamagedEntryInTheMiddleStopsEveryWorker)
{
    ScratchDir dir;
    python_zip(dir / "bad.zip",
               "for k in range(40): add('d%d/f%02d' % (k % 3, k), bytes([65 + k % 26]) * (3000 + 997 * k), method=0)\n"
               "add('link', b'd0/f00', 0o120777)\n"
               "def fix(b): b[b.find(b'U' * 3000) + 1500] = 33");  // f20: 'U' repeated
    for (int threads : {1, 2, 4}) {
        Threads t(threads);
        std::string dest = dir / ("out" + std::to_string(threads) + "/"), out;
        EXPECT_EQ(unpack(dir / "bad.zip", dest, &out), 0) << threads << " threads: must fail\n" << out;
        EXPECT_EQ(last_failure(), FAILURE_DAMAGED) << threads << " threads: the failure kind";
        EXPECT_NE(out.find("CRC error in entry: d2/f20\n"), std::string::npos) << threads << " threads: no CRC line in\n" << out;
        EXPECT_FALSE(exists(dest + "d2/f20")) << threads << " threads: dest/d2/f20 must not exist after its CRC error";
        EXPECT_FALSE(exists(dest + "link")) << threads << " threads: dest/link must not be made after a failure";
        for (int k = 0; k < 40; k++) {
            std::string file = "d" + std::to_string(k % 3) + "/f" + (k < 10 ? "0" : "") + std::to_string(k);
            if (exists(dest + file)) {
                EXPECT_EQ(read_file(dest + file), std::string(size_t(3000 + 997 * k), char(65 + k % 26)))
                    << threads << " threads: dest/" << file << " is left, but not whole";
            }
        }
    }
    EXPECT_EQ(output_of("ls -A " + quote(kTmpdir.path)), "") << "a temporary file was left";
}

// A refusal met in archive order after many files: on any number of
// threads the files before it are written, the tree is that of one thread,
// and the refusal's line is the last.
TEST(Parallel, ARefusalAfterManyFilesLeavesTheTreeAndLastLineOfOneThread)
{
    ScratchDir dir;
    const char *files = "for k in range(40): add('d%d/f%02d' % (k % 3, k), bytes([65 + k % 26]) * (2000 + 997 * k))\n";
    struct Case { const char *last, *line; int kind; } cases[] = {
        {"add('esc', b'/etc', 0o120777)", "Refusing link whose target leaves the destination: esc -> /etc", FAILURE_REFUSED},
        {"add('d1/' + 'n' * 1000, b'x')", "Output path too long: ", FAILURE_REFUSED},
        {"add('__MACOSX/._.', b'AD')", "Refusing metadata for a file outside the destination: __MACOSX/._.", FAILURE_REFUSED},
        {"add('l', b'', 0o120777)", "Empty or unreadable link entry: l", FAILURE_DAMAGED},
    };
    for (const Case &c : cases) {
        python_zip(dir / "bad.zip", std::string(files) + c.last + "\nadd('after', b'not reached')");
        std::string tree_one, last_one;
        for (int threads : {1, 2, 4}) {
            Threads t(threads);
            std::string dest = dir / "out", out;  // one path: the lines name it
            EXPECT_EQ(unpack(dir / "bad.zip", dest + "/", &out), 0) << c.last << ", " << threads << " threads: must fail";
            EXPECT_EQ(kind_name(last_failure()), kind_name(c.kind)) << c.last << ", " << threads << " threads";
            const std::string last = last_line();
            EXPECT_EQ(last.compare(0, strlen(c.line), c.line), 0)
                << c.last << ", " << threads << " threads: the last line is not the refusal's: " << last;
            const std::string tree = snapshot(dest);
            EXPECT_NE(tree.find("d0/f39"), std::string::npos) << c.last << ", " << threads << " threads: dest/d0/f39 missing";
            if (threads == 1) {
                tree_one = tree;
                last_one = last;
            } else {
                EXPECT_EQ(tree, tree_one) << c.last << ", " << threads << " threads: another tree than one thread's";
                EXPECT_EQ(last, last_one) << c.last << ", " << threads << " threads";
            }
            run("rm -rf " + quote(dest));
        }
    }
    EXPECT_EQ(output_of("ls -A " + quote(kTmpdir.path)), "") << "a temporary file was left";
}

TEST(Parallel, PackWritesTheArchiveOfOneThreadByteForByte)
{
    ScratchDir dir;
    make_tree(dir / "src");
    for (int level : {0, 1, 6, 9}) {
        std::string one_out, many_out;
        {
            Threads t(1);
            ASSERT_EQ(pack(dir / "src/Game.app", dir / "one.zip", level, &one_out), 1) << "level " << level;
        }
        {
            Threads t(4);
            ASSERT_EQ(pack(dir / "src/Game.app", dir / "many.zip", level, &many_out), 1) << "level " << level;
        }
        EXPECT_EQ(many_out, one_out) << "level " << level << ": the lines differ";
        std::string one = without_metadata_dates(dir / "one.zip"), many = without_metadata_dates(dir / "many.zip");
        EXPECT_GT(one.size(), 2000000u) << "level " << level << ": the archive is missing";
        EXPECT_TRUE(one == many) << "level " << level << ": four threads wrote other bytes ("
                                 << many.size() / 2 << " bytes, one thread " << one.size() / 2 << ")";
    }
    EXPECT_EQ(output_of("ls -A " + quote(kTmpdir.path)), "") << "a temporary file was left";
}

// A failure stops the walk at the same place with the same lines.
TEST(Parallel, PackFailsAsOneThreadDoes)
{
    ScratchDir dir;
    ASSERT_EQ(run("mkdir -p " + quote(dir / "src/T/a") + " && cd " + quote(dir / "src/T") +
                  " && seq 100000 >a/one && ln -s nowhere a/dangling && echo x >a/two"), 0);
    std::string deep = dir / "src/T/a";
    for (int i = 0; deep.size() < 1100; i++)
        deep += "/dddddddddddddddddddddddddddddddddddddddddddddddddd";
    ASSERT_EQ(run("mkdir -p " + quote(deep)), 0);
    std::string one, many;
    {
        Threads t(1);
        EXPECT_EQ(pack(dir / "src/T", dir / "one.zip", 6, &one), 0);
    }
    {
        Threads t(3);
        EXPECT_EQ(pack(dir / "src/T", dir / "many.zip", 6, &many), 0);
    }
    EXPECT_NE(one.find("Path too long"), std::string::npos) << one;
    EXPECT_EQ(many, one) << "three threads said other lines";
    EXPECT_EQ(last_line() + "\n", many.substr(many.rfind('\n', many.size() - 2) + 1)) << "the cause is not the last line";
}
