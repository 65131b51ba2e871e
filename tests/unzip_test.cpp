// decompress_path against archives made by other tools, hostile archives and
// broken ones: bytes, modes and links on disk, printed lines and results.
#include "helpers.h"
#include "ziputil.h"

#include <signal.h>

using namespace testutil;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

int unpack(const std::string &archive, const std::string &dest, std::string *out = nullptr)
{
    CaptureStdout();
    int rc = decompress_path(archive.c_str(), dest.c_str());
    fflush(stdout);
    std::string text = GetCapturedStdout();
    if (out)
        *out = text;
    return rc;
}

}  // namespace

TEST(Unpack, InfoZipAndBsdtarArchivesWithExecutablesLinksAndEmptyFiles)
{
    for (const char *packer : {"zip -q -r -y ../game.zip Game.app", "bsdtar -c --format zip -f ../game.zip Game.app"}) {
        ScratchDir dir;
        const std::string lib = "Game.app/Contents/Lib.framework/";
        ASSERT_EQ(run("mkdir -p " + quote(dir / ("src/" + lib + "Versions/A"))), 0);
        write_file(dir / "src/Game.app/Contents/Game", "#!/bin/sh\necho game\n", 0755);
        write_file(dir / "src/Game.app/Contents/Info.plist", std::string(20000, 'p'), 0644);
        write_file(dir / "src/Game.app/Contents/empty", "", 0600);
        write_file(dir / ("src/" + lib + "Versions/A/Lib"), "binary\x01\x02", 0755);
        symlink("A", (dir / ("src/" + lib + "Versions/Current")).c_str());
        symlink("Versions/Current/Lib", (dir / ("src/" + lib + "Lib")).c_str());
        ASSERT_EQ(run("cd " + quote(dir / "src") + " && " + packer), 0);
        EXPECT_EQ(unpack(dir / "game.zip", dir / "out/"), 1) << packer;
        EXPECT_EQ(snapshot(dir / "out"), snapshot(dir / "src")) << packer;  // names, modes, sizes, links
        EXPECT_EQ(read_file(dir / ("out/" + lib + "Lib")), "binary\x01\x02");
    }
}

TEST(Unpack, TheUsualRoadIntoTheParentDirectory)
{
    ScratchDir dir;
    bool metadata = xattrs_supported(dir.path);
    ASSERT_EQ(run("mkdir -p " + quote(dir / "G") + " " + quote(dir / "up/work")), 0);
    write_file(dir / "G/x", "x data", 0644);
    setxattr((dir / "G/x").c_str(), "user.tag", "v", 1, 0);
    ASSERT_EQ(compress_path((dir / "G").c_str(), (dir / "g.zip").c_str(), 6), 1);

    char cwd[4096];
    std::string out;
    ASSERT_TRUE(getcwd(cwd, sizeof cwd) && chdir((dir / "up/work").c_str()) == 0);
    int rc = unpack(dir / "g.zip", "../", &out);
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(out, "Directory to make: /..\nmkdir returned -1\ndirectory already exists\n"
                   "Filename to unzip: /G/x\nDirectory to make: ../G\n" +
                       std::string(metadata ? "Filename to unzip: __MACOSX//G/._x\n" : ""));
    EXPECT_EQ(read_file(dir / "up/G/x"), "x data");
    EXPECT_EQ(mode_of(dir / "up/G/x"), mode_t(S_IFREG | 0644));
    EXPECT_EQ(get_xattr(dir / "up/G/x", "user.tag"), metadata ? "v" : "<missing>");
    EXPECT_EQ(output_of("ls -A " + quote(kTmpdirAtStart)), "");  // no temporary file left
    EXPECT_EQ(ZIP_UNPACK_BYTES_TOTAL.load(), ZIP_UNPACK_BYTES_DONE.load());
    EXPECT_EQ(ZIP_UNPACK_BYTES_TOTAL.load(), metadata ? 6 + 137 : 6);
}

TEST(Unpack, MacArchivesAndSamplesFromOtherTools)
{
    REQUIRE_SHARED_TESTDATA(data);
    struct Case {
        const char *archive;
        int rc;
        std::vector<std::pair<const char *, size_t>> files;  // path, size; 0: must not exist
        const char *line;
    } cases[] = {
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
        EXPECT_EQ(output_of("ls -A " + quote(kTmpdirAtStart)), "");
    }
    EXPECT_FALSE(exists("/tmp/evil.txt"));
}

// Archives built to do harm or broken on purpose: each is refused with its
// line, changes nothing outside the destination and leaves no file behind.
TEST(Unpack, BadArchivesAreRefusedBeforeTheyDoHarm)
{
    ScratchDir dir;
    const std::string outside = dir / "outside";
    ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    write_file(outside + "/victim", "untouched");
    struct Case {
        const char *what;
        std::string entries, line;
    } cases[] = {
        {"bzip2", "add('a.txt', b'x', method=zipfile.ZIP_BZIP2)", "Unsupported compression method 12: a.txt"},
        {"encrypted", "add('a.txt', b'x')\ndef fix(b): put(b, 'a.txt', 6, 8, '<H', 1)", "Encrypted entry: a.txt"},
        {"size that lies", "add('a.txt', b'hello')\ndef fix(b): put(b, 'a.txt', 22, 24, '<I', 10)",
         "Size mismatch (5 bytes, 10 declared) in entry: a.txt"},
        {"bad CRC", "add('a.txt', b'A' * 16, method=0)\ndef fix(b): b[b.find(b'AAAA') + 3] = 66", "CRC error in entry: a.txt"},
        {"overlapping entries", "add('a.txt', b'a' * 99)\nadd('b.txt', b'b' * 99)\ndef fix(b): put(b, 'b.txt', None, 42, '<I', 0)",
         "entries overlap"},
        {"no room", "for k in range(300): add('f%d' % k, b'x')\ndef fix(b):\n    for k in range(300): put(b, 'f%d' % k, 22, 24, '<I', 4000000000)",
         "Not enough free space"},
        {"zip64", "zipfile.ZIP64_LIMIT = 4\nadd('a.txt', b'hello')", "Zip64 archive refused"},
        {"huge metadata", "add('__MACOSX/._a', b'x')\ndef fix(b): put(b, '__MACOSX/._a', 22, 24, '<I', 20000000)",
         "Metadata entry over 16 MiB: __MACOSX/._a"},
        {"metadata for the destination", "add('__MACOSX/._.', b'AD')", "Refusing metadata for a file outside"},
        {"metadata for its parent", "add('__MACOSX/sub/._..', b'AD')", "Refusing metadata for a file outside"},
        {"metadata through a link", "add('__MACOSX/escape/._victim', b'AD')", "Refusing metadata for a file outside"},
        {"metadata onto a FIFO", "add('__MACOSX/._fifo', b'AD')", "Refusing metadata for a special file"},
        {"absolute link, file through it", "add('d', sys.argv[2].encode(), 0o120777)\nadd('d/victim', b'pwned')",
         "Refusing link whose target leaves"},
        {"link climbing out by ./", "add('sub/up', b'./../../outside', 0o120777)\nadd('sub/up/evil.txt', b'pwned')",
         "Refusing link whose target leaves"},
        {"link changed by a later link", "add('e', b'sub/..', 0o120777)\nadd('sub', b'.', 0o120777)",
         "Removing link that leads outside the destination"},
        {"empty link", "add('l', b'', 0o120777)", "Empty or unreadable link entry: l"},
        {"dotdot name", "add('x/../../outside/victim', b'pwned')", "Refusing entry with a \"..\" component"},
        {"through an existing link", "add('escape/victim', b'pwned')", "Refusing to write through"},
        {"onto an existing link", "add('escape-file', b'pwned')", "Refusing to write through"},
        {"a directory named like the file", "add('blocked.txt', b'x')", "Could not write to destination file: "},
        {"overlong name", "add('n' * 1100, b'x')", "Entry name too long: "},
    };
    int n = 0;
    for (const Case &c : cases) {
        std::string dest = dir / ("dest" + std::to_string(n) + "/"), zip = dir / ("bad" + std::to_string(n++) + ".zip");
        ASSERT_EQ(run("mkdir -p " + quote(dest + "blocked.txt") + " && mkfifo " + quote(dest + "fifo")), 0);
        symlink(outside.c_str(), (dest + "escape").c_str());
        symlink((outside + "/victim").c_str(), (dest + "escape-file").c_str());
        python_zip(zip, c.entries, outside);
        std::string before = snapshot(dir.path, "! -type l"), out;
        EXPECT_EQ(unpack(zip, dest, &out), 0) << c.what;
        EXPECT_NE(out.find(c.line), std::string::npos) << c.what << "\n" << out;
        EXPECT_EQ(snapshot(dir.path, "! -type l"), before) << c.what;  // the destination's own mode included
        std::string made = output_of("find " + quote(dest) + " -type l -newer " + quote(zip) + " -exec realpath -m {} +");
        for (size_t at = 0; at < made.size(); at = made.find('\n', at) + 1)
            EXPECT_EQ(made.compare(at, dest.size() - 1, dest, 0, dest.size() - 1), 0) << c.what << ": " << made;
        EXPECT_EQ(get_xattr(dest, "user.x"), "<missing>");
        EXPECT_EQ(output_of("ls -A " + quote(kTmpdirAtStart)), "") << c.what;
    }
    EXPECT_EQ(read_file(outside + "/victim"), "untouched");
}

// An update lands over what an older version left: FIFOs, a running
// program, links to replace, directories written by Windows tools.
TEST(Unpack, UpdatesOverWhatStandsThere)
{
    ScratchDir dir;
    std::string dest = dir / "dest/";
    ASSERT_EQ(run("mkdir -p " + quote(dest + "F.framework/Versions/A") + " && mkfifo " + quote(dest + "fifo") +
                  " && cp /bin/sleep " + quote(dest + "prog")), 0);
    symlink("A", (dest + "F.framework/Versions/Current").c_str());
    write_file(dest + "F.framework/kept", "a file already there");
    pid_t running = fork();
    if (running == 0) {
        execl((dest + "prog").c_str(), "prog", "30", (char *)nullptr);
        _exit(127);
    }
    usleep(200000);
    python_zip(dir / "u.zip", "add('docs/', b'', 0)\nadd('docs/readme.txt', b'mode 0', 0)\n"
                              "add('fifo', b'was a FIFO')\nadd('prog', b'#!/bin/sh\\n', 0o100755)\n"
                              "add('/F.framework/Versions/Current', b'B', 0o120777)\n"
                              "add('/F.framework/Versions/B/lib', b'new')\n"
                              "add('/F.framework/lib', b'Versions/Current/lib', 0o120777)\n"
                              "add('/F.framework/Versions/B/self', b'../B/./lib', 0o120777)\n"
                              "add('/F.framework/kept', b'Versions', 0o120777)\n");
    mode_t old = umask(022);
    std::string out;
    EXPECT_EQ(unpack(dir / "u.zip", dest, &out), 1) << out;
    umask(old);
    kill(running, SIGKILL);
    waitpid(running, nullptr, 0);
    EXPECT_EQ(read_file(dest + "docs/readme.txt"), "mode 0");
    EXPECT_EQ(mode_of(dest + "docs/readme.txt"), mode_t(S_IFREG | 0644));  // 0666 less the umask
    EXPECT_EQ(read_file(dest + "fifo"), "was a FIFO");
    EXPECT_EQ(read_file(dest + "prog"), "#!/bin/sh\n");
    EXPECT_EQ(link_target(dest + "F.framework/Versions/Current"), "B");
    EXPECT_EQ(read_file(dest + "F.framework/lib"), "new");
    EXPECT_EQ(read_file(dest + "F.framework/Versions/B/self"), "new");
    EXPECT_EQ(read_file(dest + "F.framework/kept"), "a file already there");
    EXPECT_NE(out.find("Leaving existing entry in place of link: " + dest + "/F.framework/kept"), std::string::npos);
    EXPECT_EQ(ZIP_UNPACK_BYTES_DONE.load(), 6 + 10 + 10 + 1 + 3 + 20 + 10 + 8);
    EXPECT_EQ(ZIP_UNPACK_BYTES_TOTAL.load(), ZIP_UNPACK_BYTES_DONE.load());
}

// Damage anywhere in an archive: each file is whole or absent, never half written.
TEST(Unpack, BrokenArchivesFailCleanly)
{
    ScratchDir dir;
    python_zip(dir / "good.zip", "for k in range(20): add('d/f%d' % k, bytes(range(k, 250)) * 40)");
    std::string good = read_file(dir / "good.zip"), out;
    for (size_t at = 0; at < good.size(); at += 61) {
        std::string bad = at % 2 ? good.substr(0, at) : good.substr(0, at) + "\xff\xff\xff" + good.substr(at + 3);
        write_file(dir / "bad.zip", bad);
        run("rm -rf " + quote(dir / "out"));
        int rc = unpack(dir / "bad.zip", dir / "out/", &out);
        for (int k = 0; k < 20; k++) {
            std::string file = dir / "out/d/f" + std::to_string(k), want;
            for (int i = 0; i < 40; i++)
                for (int c = k; c < 250; c++)
                    want += char(c);
            if (rc || exists(file))
                EXPECT_EQ(read_file(file), want) << "damaged at " << at << "\n" << out;
        }
    }
    write_file(dir / "text.zip", "this is not a zip archive at all");
    EXPECT_EQ(unpack(dir / "text.zip", dir / "o/", &out), 0);
    EXPECT_EQ(out.substr(out.size() - 24), "Failed to open zip file\n");
    EXPECT_EQ(unpack(dir / "missing.zip", dir / "o/"), 0);
    python_zip(dir / "none.zip", "");
    EXPECT_EQ(unpack(dir / "none.zip", dir / "o/"), 0);
}

TEST(Unpack, ReadsAllOf65535Entries)
{
    ScratchDir dir;
    python_zip(dir / "many.zip", "for k in range(65534): add('d%d/' % k, b'', 0o40755)\nadd('last.txt', b'65535th')");
    std::string out;
    EXPECT_EQ(unpack(dir / "many.zip", dir / "out/", &out), 1) << out.substr(out.size() - 200);
    EXPECT_EQ(read_file(dir / "out/last.txt"), "65535th");
}

TEST(UnpackCommand, ExitStatusAndRelativeDestination)
{
    ScratchDir dir;
    python_zip(dir / "c.zip", "add('f.txt', b'hi')");
    std::string cmd = "cd " + quote(dir.path) + " && " + ZIPUTIL_BIN;
    EXPECT_EQ(run(cmd + " unpack c.zip rel/out >/dev/null"), 0);
    EXPECT_EQ(read_file(dir / "rel/out/f.txt"), "hi");
    EXPECT_EQ(run(cmd + " unpack missing.zip x >/dev/null 2>&1"), 1);
    EXPECT_EQ(run(cmd + " unpack c.zip 2>/dev/null"), 2);
    EXPECT_EQ(run(cmd + " frobnicate 2>/dev/null"), 2);
}
