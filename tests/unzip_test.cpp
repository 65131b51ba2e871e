// decompress_path against archives made by other tools, hostile archives and
// broken ones: bytes, modes and links on disk, printed lines and results.
#include "helpers.h"
#include "ziputil.h"

#include <signal.h>

using namespace testutil;


TEST(Unpack, InfoZipAndBsdtarArchivesWithExecutablesLinksAndEmptyFiles)
{
    for (const char *packer : {"zip -q -r -y ../game.zip Game.app", "bsdtar -c --format zip -f ../game.zip Game.app"}) {
        ScratchDir dir;
        ASSERT_EQ(run("mkdir -p " + quote(dir / "src") + " && cd " + quote(dir / "src") +
                      " && mkdir -p Game.app/C/Lib.framework/Versions/A && cd Game.app/C && seq 20000 >Info.plist && "
                      "echo echo game >Game && touch empty && chmod 755 Game && chmod 600 empty && cd Lib.framework && "
                      "echo binary >Versions/A/Lib && ln -s A Versions/Current && ln -s Versions/Current/Lib Lib && "
                      "cd " + quote(dir / "src") + " && " + packer), 0);
        EXPECT_EQ(unpack(dir / "game.zip", dir / "out/"), 1) << packer;
        EXPECT_EQ(snapshot(dir / "out"), snapshot(dir / "src")) << packer;  // names, modes, sizes, links
        EXPECT_EQ(read_file(dir / "out/Game.app/C/Lib.framework/Lib"), "binary\n");
    }
}

TEST(Unpack, TheUsualRoadIntoTheParentDirectory)
{
    ScratchDir dir;
    bool metadata = xattrs_supported(dir.path);
    ASSERT_EQ(run("cd " + quote(dir.path) + " && mkdir -p G up/work && printf 'x data' >G/x && chmod 644 G/x"), 0);
    setxattr((dir / "G/x").c_str(), "user.tag", "v", 1, 0);
    ASSERT_EQ(compress_path((dir / "G").c_str(), (dir / "g.zip").c_str(), 6), 1);

    char cwd[4096];
    std::string out;
    ASSERT_TRUE(getcwd(cwd, sizeof cwd) && chdir((dir / "up/work").c_str()) == 0);
    EXPECT_EQ(unpack(dir / "g.zip", "../", &out), 1);
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(out, "Directory to make: /..\nmkdir returned -1\ndirectory already exists\n"
                   "Filename to unzip: /G/x\nDirectory to make: ../G\n" +
                       std::string(metadata ? "Filename to unzip: __MACOSX//G/._x\n" : ""));
    EXPECT_EQ(output_of("cd " + quote(dir / "up/G") + " && stat -c %a x && cat x"), "644\nx data");
    EXPECT_EQ(get_xattr(dir / "up/G/x", "user.tag"), metadata ? "v" : "<missing>");
    EXPECT_EQ(output_of("ls -A " + quote(kTmpdir.path)), "");  // no temporary file left
    EXPECT_EQ(ZIP_UNPACK_BYTES_TOTAL * 1000 + ZIP_UNPACK_BYTES_DONE, metadata ? 143143 : 6006);
}

TEST(Unpack, MacArchivesAndSamplesFromOtherTools)
{
    REQUIRE_SHARED_TESTDATA(data);
    // path, size; 0: must not exist
    struct Case { const char *archive; int rc; std::vector<std::pair<const char *, size_t>> files; const char *line; } cases[] = {
        {"appledouble/mac_metadata_acl.zip", 1, {{"file3", 8}, {"__MACOSX", 0}}, ""},
        // "._" files beside their files, not under __MACOSX/: ordinary files.
        {"appledouble/sidecar_quarantine_rsrc.zip", 1, {{"apple_double_dir/test_file", 5}, {"apple_double_dir/._test_file", 134}}, ""},
        {"zipslip/dotdot_tmp_evil.zip", 0, {{"good.txt", 0}}, "Refusing entry with a \"..\" component: "},
        {"zipslip/backslash_dotdot.zip", 1, {{"good.txt", 19}}, ""},
        {"zipslip/symlink_outside.zip", 0, {{"flink", 0}, {"insecure.link", 0}}, "Refusing link whose target leaves"},
        {"zipslip/over_dangling_links.zip", 1, {{"flink", 14}}, ""},
        {"zipslip/symlink_dotdot.zip", 0, {{"dotdot", 0}}, "Refusing link whose target leaves"},
    };
    for (const Case &c : cases) {
        ScratchDir dir;
        write_file(dir / "outside", "precious");
        std::string before = snapshot(dir.path), dest = dir / "a/b/dest/", out;
        EXPECT_EQ(unpack(data + "/" + c.archive, dest, &out), c.rc) << c.archive;
        EXPECT_NE(out.find(c.line), std::string::npos) << c.archive << "\n" << out;
        for (auto &[file, size] : c.files)
            EXPECT_EQ(size ? read_file(dest + file).size() : exists(dest + file), size) << c.archive << " " << file;
        run("rm -rf " + quote(dir / "a"));
        EXPECT_EQ(snapshot(dir.path), before) << c.archive;
        EXPECT_EQ(output_of("ls -A " + quote(kTmpdir.path)), "");
    }
    EXPECT_FALSE(exists("/tmp/evil.txt"));
}

// Archives built to do harm or broken on purpose: each is refused with its
// line, changes nothing outside the destination and leaves no file behind.
TEST(Unpack, BadArchivesAreRefusedBeforeTheyDoHarm)
{
    ScratchDir dir;
    const std::string outside = dir / "outside";
    ASSERT_EQ(run("mkdir " + quote(outside) + " && echo untouched >" + quote(outside + "/victim")), 0);
    // Python calling add(), and fix(b) on the finished bytes
    struct Case { std::string entries, line; } cases[] = {
        {"add('a.txt', b'x', method=zipfile.ZIP_BZIP2)", "Unsupported compression method 12: a.txt"},
        {"add('a.txt', b'x')\ndef fix(b): put(b, 'a.txt', 6, 8, '<H', 1)", "Encrypted entry: a.txt"},
        {"add('a.txt', b'hello')\ndef fix(b): put(b, 'a.txt', 22, 24, '<I', 10)", "Size mismatch (5 bytes, 10 declared) in entry: a.txt"},
        {"add('a.txt', b'A' * 16, method=0)\ndef fix(b): b[b.find(b'AAAA') + 3] = 66", "CRC error in entry: a.txt"},
        {"add('a', b'a' * 99)\nadd('b', b'b' * 99)\ndef fix(b): put(b, 'b', None, 42, '<I', 0)", "entries overlap"},
        {"for k in range(300): add('f%d' % k, b'x')\ndef fix(b):\n for k in range(300): put(b, 'f%d' % k, 22, 24, '<I', 4000000000)",
         "Not enough free space"},
        {"zipfile.ZIP64_LIMIT = 4\nadd('a.txt', b'hello')", "Zip64 archive refused"},
        {"add('__MACOSX/._a', b'x')\ndef fix(b): put(b, '__MACOSX/._a', 22, 24, '<I', 20000000)", "Metadata entry over 16 MiB"},
        {"add('__MACOSX/._.', b'AD')", "Refusing metadata for a file outside"},
        {"add('__MACOSX/sub/._..', b'AD')", "Refusing metadata for a file outside"},
        {"add('__MACOSX/escape/._victim', b'AD')", "Refusing metadata for a file outside"},
        {"add('__MACOSX/._fifo', b'AD')", "Refusing metadata for a special file"},
        {"add('d', sys.argv[2].encode(), 0o120777)\nadd('d/victim', b'pwned')", "Refusing link whose target leaves"},
        {"add('sub/up', b'./../../outside', 0o120777)\nadd('sub/up/evil.txt', b'pwned')", "Refusing link whose target leaves"},
        {"add('e', b'sub/..', 0o120777)\nadd('sub', b'.', 0o120777)", "Removing link that leads outside the destination"},
        {"add('l', b'', 0o120777)", "Empty or unreadable link entry: l"},
        {"add('x/../../outside/victim', b'pwned')", "Refusing entry with a \"..\" component"},
        {"add('escape/victim', b'pwned')", "Refusing to write through"},
        {"add('escape-file', b'pwned')", "Refusing to write through"},
        {"add('blocked.txt', b'x')", "Could not write to destination file: "},  // a directory stands there
        {"add('n' * 1100, b'x')", "Entry name too long: "},
    };
    int n = 0;
    for (const Case &c : cases) {
        std::string dest = dir / ("dest" + std::to_string(n) + "/"), zip = dir / ("bad" + std::to_string(n++) + ".zip");
        ASSERT_EQ(run("mkdir -p " + quote(dest + "blocked.txt") + " && cd " + quote(dest) + " && mkfifo fifo && ln -s " +
                      quote(outside) + " escape && ln -s " + quote(outside + "/victim") + " escape-file"), 0);
        python_zip(zip, c.entries, outside);
        std::string before = snapshot(dir.path, "! -type l"), out;
        EXPECT_EQ(unpack(zip, dest, &out), 0) << c.entries;
        EXPECT_NE(out.find(c.line), std::string::npos) << c.entries << "\n" << out;
        EXPECT_EQ(snapshot(dir.path, "! -type l"), before) << c.entries;  // the destination's own mode included
        // Links the unpack made lead inside; no temporary file is left.
        EXPECT_EQ(output_of("find " + quote(dest) + " -type l -newer " + quote(zip) + " -exec realpath -m {} + | grep -v ^" +
                            quote(dest.substr(0, dest.size() - 1)) + "; ls -A " + quote(kTmpdir.path)), "") << c.entries;
    }
    EXPECT_EQ(read_file(outside + "/victim"), "untouched\n");
}

// An update lands over what an older version left: FIFOs, a running
// program, links to replace, directories written by Windows tools.
TEST(Unpack, UpdatesOverWhatStandsThere)
{
    ScratchDir dir;
    std::string dest = dir / "dest/";
    ASSERT_EQ(run("mkdir -p " + quote(dest + "F.framework/Versions/A") + " && cd " + quote(dest) + " && mkfifo fifo && "
                  "cp /bin/sleep prog && ln -s A F.framework/Versions/Current && printf kept >F.framework/kept"), 0);
    pid_t running = std::stoi(output_of(quote(dest + "prog") + " 30 >/dev/null 2>&1 & echo $!"));
    usleep(200000);
    python_zip(dir / "u.zip", "add('docs/', b'', 0)\nadd('docs/readme.txt', b'mode 0', 0)\nadd('fifo', b'was a FIFO')\n"
                              "add('prog', b'#!/bin/sh\\n', 0o100755)\nadd('/F.framework/Versions/Current', b'B', 0o120777)\n"
                              "add('/F.framework/Versions/B/lib', b'new')\nadd('/F.framework/lib', b'Versions/Current/lib', 0o120777)\n"
                              "add('/F.framework/Versions/B/self', b'../B/./lib', 0o120777)\nadd('/F.framework/kept', b'x', 0o120777)");
    mode_t old = umask(022);
    std::string out;
    int rc = unpack(dir / "u.zip", dest, &out);
    umask(old);
    kill(running, SIGKILL);
    ASSERT_EQ(rc, 1) << out;  // else reading the FIFO below would wait forever
    EXPECT_EQ(output_of("cd " + quote(dest) + " && cat docs/readme.txt fifo prog F.framework/lib F.framework/Versions/B/self "
                        "F.framework/kept && readlink F.framework/Versions/Current && stat -c %a docs/readme.txt"),
              "mode 0was a FIFO#!/bin/sh\nnewnewkeptB\n644\n");  // 0666 less the umask
    EXPECT_NE(out.find("Leaving existing entry in place of link: " + dest + "/F.framework/kept"), std::string::npos);
    EXPECT_EQ(ZIP_UNPACK_BYTES_TOTAL * 1000 + ZIP_UNPACK_BYTES_DONE, 61061);  // declared, written
}

// Damage anywhere in an archive: each file is whole or absent, never half written.
TEST(Unpack, BrokenArchivesFailCleanly)
{
    ScratchDir dir;
    python_zip(dir / "good.zip", "for k in range(20): add('d/f%d' % k, bytes(range(k, 250)) * 40)");
    std::string good = read_file(dir / "good.zip"), out;
    ASSERT_EQ(unpack(dir / "good.zip", dir / "whole/"), 1);
    for (size_t at = 0; at < good.size(); at += 61) {
        std::string bad = at % 2 ? good.substr(0, at) : good.substr(0, at) + "\xff\xff\xff" + good.substr(at + 3);
        write_file(dir / "bad.zip", bad);
        run("rm -rf " + quote(dir / "out"));
        int rc = unpack(dir / "bad.zip", dir / "out/", &out);
        for (int k = 0; k < 20; k++) {
            std::string file = "/d/f" + std::to_string(k);
            bool whole_or_absent = read_file(dir / "out" + file) == read_file(dir / "whole" + file) || (!rc && !exists(dir / "out" + file));
            EXPECT_TRUE(whole_or_absent) << file << " damaged at " << at;
        }
    }
    write_file(dir / "text.zip", "this is not a zip archive at all");
    EXPECT_EQ(unpack(dir / "text.zip", dir / "o/", &out), 0);
    EXPECT_EQ(out.substr(out.size() - 24), "Failed to open zip file\n");
    EXPECT_EQ(unpack(dir / "missing.zip", dir / "o/"), 0);
    python_zip(dir / "none.zip", "");
    EXPECT_EQ(unpack(dir / "none.zip", dir / "o/"), 0);
}
