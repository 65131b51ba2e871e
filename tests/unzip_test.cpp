// decompress_path against archives made by other tools, hostile archives and
// broken ones: bytes, modes and links on disk, printed lines and results.
#include "helpers.h"
#include "ziputil.h"

#include "macmeta.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/mount.h>

using namespace testutil;

namespace {

// The unpack's progress counters: what it declared and what it wrote.
void expect_progress(long long declared, long long written)
{
    EXPECT_EQ(last.progress.total.load(), declared) << "last.progress.total.load(): the entries' declared sizes";
    EXPECT_EQ(last.progress.done.load(), written) << "last.progress.done.load(): entry bytes written";
}

}  // namespace

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
                   "Filename to unzip: G/x\nDirectory to make: ../G\n" +
                       std::string(metadata ? "Filename to unzip: __MACOSX/G/._x\n" : ""));
    EXPECT_EQ(output_of("cd " + quote(dir / "up/G") + " && stat -c %a x && cat x"), "644\nx data");
    EXPECT_EQ(get_xattr(dir / "up/G/x", "user.tag"), metadata ? "v" : "<missing>");
    EXPECT_EQ(output_of("ls -A " + quote(kTmpdir.path)), "");  // no temporary file left
    expect_progress(metadata ? 143 : 6, metadata ? 143 : 6);
}

TEST(Unpack, MacArchivesAndSamplesFromOtherTools)
{
    REQUIRE_SHARED_TESTDATA(data);
    struct File {
        const char *path;
        size_t size;  // 0: must not exist
    };
    struct Case { const char *archive; int rc; std::vector<File> files; const char *line; int kind; } cases[] = {
        {"appledouble/mac_metadata_acl.zip", 1, {{"file3", 8}, {"__MACOSX", 0}}, "", FAILURE_NONE},
        // "._" files beside their files, not under __MACOSX/: ordinary files.
        {"appledouble/sidecar_quarantine_rsrc.zip", 1, {{"apple_double_dir/test_file", 5}, {"apple_double_dir/._test_file", 134}}, "", FAILURE_NONE},
        {"zipslip/dotdot_tmp_evil.zip", 0, {{"good.txt", 0}}, "Refusing entry with a \"..\" component: ", FAILURE_REFUSED},
        {"zipslip/backslash_dotdot.zip", 1, {{"good.txt", 19}}, "", FAILURE_NONE},
        {"zipslip/symlink_outside.zip", 0, {{"flink", 0}, {"insecure.link", 0}}, "Refusing link whose target leaves", FAILURE_REFUSED},
        {"zipslip/over_dangling_links.zip", 1, {{"flink", 14}}, "", FAILURE_NONE},
        {"zipslip/symlink_dotdot.zip", 0, {{"dotdot", 0}}, "Refusing link whose target leaves", FAILURE_REFUSED},
    };
    for (const Case &c : cases) {
        ScratchDir dir;
        write_file(dir / "outside", "precious");
        std::string before = snapshot(dir.path), dest = dir / "a/b/dest/", out;
        EXPECT_EQ(unpack(data + "/" + c.archive, dest, &out), c.rc) << c.archive << ": wrong result\n" << out;
        EXPECT_NE(out.find(c.line), std::string::npos) << c.archive << ": no line \"" << c.line << "\" in\n" << out;
        EXPECT_EQ(kind_name(last_failure()), kind_name(c.kind)) << c.archive << ": the failure kind is the wrong one";
        for (const File &f : c.files) {
            if (f.size)
                EXPECT_EQ(read_file(dest + f.path).size(), f.size) << c.archive << ": dest/" << f.path << " has the wrong size";
            else
                EXPECT_FALSE(exists(dest + f.path)) << c.archive << ": dest/" << f.path << " must not exist";
        }
        run("rm -rf " + quote(dir / "a"));
        EXPECT_EQ(snapshot(dir.path), before) << c.archive << ": something beside the destination changed";
        EXPECT_EQ(output_of("ls -A " + quote(kTmpdir.path)), "") << c.archive << ": a temporary file was left";
    }
    EXPECT_FALSE(exists("/tmp/evil.txt")) << "/tmp/evil.txt: written by a \"..\" entry";
}

// Archives built to do harm or broken on purpose: each is refused with its
// line, changes nothing outside the destination and leaves no file behind.
TEST(Unpack, BadArchivesAreRefusedBeforeTheyDoHarm)
{
    ScratchDir dir;
    const std::string outside = dir / "outside";
    ASSERT_EQ(run("mkdir " + quote(outside) + " && echo untouched >" + quote(outside + "/victim")), 0);
    // entries: Python calling add(), and fix(b) on the finished bytes
    struct Case { std::string entries, line; int kind; } cases[] = {
        {"add('a.txt', b'x', method=zipfile.ZIP_BZIP2)", "Unsupported compression method 12: a.txt", FAILURE_UNSUPPORTED},
        {"add('a.txt', b'x')\ndef fix(b): put(b, 'a.txt', 6, 8, '<H', 1)", "Encrypted entry: a.txt", FAILURE_UNSUPPORTED},
        {"add('a.txt', b'hello')\ndef fix(b): put(b, 'a.txt', 22, 24, '<I', 10)", "Size mismatch (5 bytes, 10 declared) in entry: a.txt", FAILURE_DAMAGED},
        {"add('a.txt', b'A' * 16, method=0)\ndef fix(b): b[b.find(b'AAAA') + 3] = 66", "CRC error in entry: a.txt", FAILURE_DAMAGED},
        {"add('a', b'a' * 99)\nadd('b', b'b' * 99)\ndef fix(b): put(b, 'b', None, 42, '<I', 0)", "entries overlap", FAILURE_REFUSED},
        {"for k in range(300): add('f%d' % k, b'x')\ndef fix(b):\n for k in range(300): put(b, 'f%d' % k, 22, 24, '<I', 4000000000)",
         "Not enough free space", FAILURE_NO_SPACE},
        {"add('__MACOSX/._a', b'x')\ndef fix(b): put(b, '__MACOSX/._a', 22, 24, '<I', 20000000)", "Metadata entry over 16 MiB", FAILURE_REFUSED},
        {"add('__MACOSX/._.', b'AD')", "Refusing metadata for a file outside", FAILURE_REFUSED},
        {"add('__MACOSX/sub/._..', b'AD')", "Refusing metadata for a file outside", FAILURE_REFUSED},
        {"add('__MACOSX/escape/._victim', b'AD')", "Refusing metadata for a file outside", FAILURE_REFUSED},
        {"add('__MACOSX/._fifo', b'AD')", "Refusing metadata for a special file", FAILURE_REFUSED},
        {"add('d', sys.argv[2].encode(), 0o120777)\nadd('d/victim', b'pwned')", "Refusing link whose target leaves", FAILURE_REFUSED},
        {"add('sub/up', b'./../../outside', 0o120777)\nadd('sub/up/evil.txt', b'pwned')", "Refusing link whose target leaves", FAILURE_REFUSED},
        {"add('e', b'sub/..', 0o120777)\nadd('sub', b'.', 0o120777)", "Removing link that leads outside the destination", FAILURE_REFUSED},
        {"add('l', b'', 0o120777)", "Empty or unreadable link entry: l", FAILURE_DAMAGED},
        {"add('x/../../outside/victim', b'pwned')", "Refusing entry with a \"..\" component", FAILURE_REFUSED},
        {"add('escape/victim', b'pwned')", "Refusing to write through", FAILURE_REFUSED},
        {"add('escape-file', b'pwned')", "Refusing to write through", FAILURE_REFUSED},
        {"add('blocked.txt', b'x')", "Could not write to destination file: ", FAILURE_CANNOT_WRITE},  // a directory stands there
        {"add('n' * 1100, b'x')", "Entry name too long: ", FAILURE_REFUSED},
    };
    int n = 0;
    for (const Case &c : cases) {
        std::string dest = dir / ("dest" + std::to_string(n) + "/"), zip = dir / ("bad" + std::to_string(n++) + ".zip");
        ASSERT_EQ(run("mkdir -p " + quote(dest + "blocked.txt") + " && cd " + quote(dest) + " && mkfifo fifo && ln -s " +
                      quote(outside) + " escape && ln -s " + quote(outside + "/victim") + " escape-file"), 0);
        python_zip(zip, c.entries, outside);
        std::string before = snapshot(dir.path, "! -type l"), out;
        EXPECT_EQ(unpack(zip, dest, &out), 0) << c.entries << "\n: must be refused";
        EXPECT_NE(out.find(c.line), std::string::npos) << c.entries << "\n: no line \"" << c.line << "\" in\n" << out;
        EXPECT_EQ(kind_name(last_failure()), kind_name(c.kind)) << c.entries << "\n: the failure kind is the wrong one";
        EXPECT_EQ(snapshot(dir.path, "! -type l"), before)
            << c.entries << "\n: a file, mode or the destination's own mode changed";
        // Links the unpack made lead inside; no temporary file is left.
        EXPECT_EQ(output_of("find " + quote(dest) + " -type l -newer " + quote(zip) + " -exec realpath -m {} + | grep -v ^" +
                            quote(dest.substr(0, dest.size() - 1)) + "; ls -A " + quote(kTmpdir.path)), "")
            << c.entries << "\n: a link made leads outside, or a temporary file was left";
    }
    EXPECT_EQ(read_file(outside + "/victim"), "untouched\n") << "outside/victim: written through a link";
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
    expect_progress(61, 61);
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
    EXPECT_EQ(unpack(dir / "text.zip", dir / "o/", &out), 0) << "text.zip: must be refused";
    EXPECT_EQ(out.substr(out.size() - 24), "Failed to open zip file\n");
    EXPECT_EQ(kind_name(last_failure()), "FAILURE_DAMAGED") << "text.zip: a file that is no archive";
    EXPECT_EQ(unpack(dir / "missing.zip", dir / "o/"), 0) << "missing.zip: must fail";
    EXPECT_EQ(kind_name(last_failure()), "FAILURE_CANNOT_READ") << "missing.zip: a file that cannot be opened";
    python_zip(dir / "none.zip", "");
    EXPECT_EQ(unpack(dir / "none.zip", dir / "o/"), 0) << "none.zip: an archive without entries must fail";
    EXPECT_EQ(kind_name(last_failure()), "FAILURE_DAMAGED") << "none.zip: an archive without entries";
    EXPECT_EQ(unpack(dir / "good.zip", dir / "whole/"), 1);
    EXPECT_EQ(kind_name(last_failure()), "FAILURE_NONE") << "good.zip: a success must clear the last failure";
}

// A write that finds the disk full says so: a tmpfs too small for the files'
// blocks, though the declared sizes pass the free-space check.
TEST(Unpack, AFullDiskIsNamedNoSpaceAndLeavesNoHalfFile)
{
    ScratchDir dir;
    const std::string small = dir / "small";
    ASSERT_EQ(mkdir(small.c_str(), 0755), 0);
    if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs (needs root): " << strerror(errno);
    struct Unmount {
        std::string path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount{small};
    // 100,000 bytes declared, each file a page of its own: 400 KB used.
    python_zip(dir / "pages.zip", "for k in range(100): add('f%03d' % k, b'x' * 1000)");
    std::string out;
    EXPECT_EQ(unpack(dir / "pages.zip", small + "/dest/", &out), 0) << "pages.zip: must fail on a full disk\n" << out;
    EXPECT_EQ(kind_name(last_failure()), "FAILURE_NO_SPACE") << out;
    EXPECT_NE(out.find(": No space left on device\n"), std::string::npos) << "no line naming the full disk in\n" << out;
    EXPECT_EQ(output_of("cd " + quote(small + "/dest") + " && find . -type f -size -1000c"), "")
        << "dest: a half-written file was left";
}

// "/x/dest" holds "/x/dest/f", never "/x/destX/f"; and no link makes the
// destination itself the target of an archive's metadata.
TEST(Unpack, NoLinkReachesASiblingWithTheSamePrefixOrTheDestinationItself)
{
    ScratchDir dir;
    bool metadata = xattrs_supported(dir.path);
    write_file(dir / "tagged", "t");
    if (metadata) {
        setxattr((dir / "tagged").c_str(), "user.n", "v", 1, 0);
        ASSERT_EQ(copyfile((dir / "tagged").c_str(), (dir / "stream").c_str(), nullptr, MACMETA_PACK_FLAGS), 0);
    }
    struct Case { const char *entries, *line; bool needs_metadata; } cases[] = {
        {"add('l', b'../destX/f', 0o120777)", "Refusing link whose target leaves the destination: l -> ../destX/f", false},
        {"add('sub/l', b'../../destX/f', 0o120777)", "Refusing link whose target leaves the destination: sub/l", false},
        {"add('l', b'.', 0o120777)\nadd('__MACOSX/._l', open(sys.argv[2], 'rb').read())",
         "Refusing metadata for a file outside the destination: __MACOSX/._l", true},
        {"add('sub', b'.', 0o120777)\nadd('__MACOSX/._sub', open(sys.argv[2], 'rb').read())",
         "Refusing metadata for a file outside the destination: __MACOSX/._sub", true},
    };
    for (const Case &c : cases) {
        if (c.needs_metadata && !metadata)
            continue;  // this file system refuses user attributes
        run("rm -rf " + quote(dir / "dest") + " " + quote(dir / "destX"));
        ASSERT_EQ(run("mkdir " + quote(dir / "dest") + " " + quote(dir / "destX") + " && echo sibling >" +
                      quote(dir / "destX/f")), 0);
        python_zip(dir / "a.zip", c.entries, dir / "stream");
        // The links an archive may make stay; whatever else changed is wrong.
        const std::string what = c.needs_metadata ? "! -name a.zip ! -type l" : "! -name a.zip";
        std::string before = snapshot(dir.path, what), out;
        EXPECT_EQ(unpack(dir / "a.zip", dir / "dest/", &out), 0) << c.entries << "\n: must be refused\n" << out;
        EXPECT_NE(out.find(c.line), std::string::npos) << c.entries << "\n: no line \"" << c.line << "\" in\n" << out;
        EXPECT_EQ(kind_name(last_failure()), "FAILURE_REFUSED") << c.entries;
        EXPECT_EQ(get_xattr(dir / "dest", "user.n"), "<missing>") << c.entries << "\n: dest: got the archive's metadata";
        EXPECT_EQ(read_file(dir / "destX/f"), "sibling\n") << c.entries << "\n: destX/f changed";
        EXPECT_EQ(snapshot(dir.path, what), before)
            << c.entries << "\n: dest: its mode changed, or a refused link was made";
    }
}

// What hostile archives found in the checks made before writing, each built
// here byte by byte: the entries checked must be the entries unpacked.
TEST(Unpack, HostileArchivesMeetTheSameEntriesTheChecksSaw)
{
    ScratchDir dir;
    const std::string outside = dir / "outside";
    ASSERT_EQ(run("mkdir " + quote(outside) + " && echo untouched >" + quote(outside + "/victim")), 0);
    // files: "path=content" after unpacking, "path=" for a path that must not exist
    struct Case { const char *what, *body; int rc; std::string line; int kind; std::vector<std::string> files; } cases[] = {
        {"a second directory behind a zip64 locator in the comment", R"PY(
def fix(b):
    body, rec = local(b'a.txt', b'harmless'), central(b'a.txt', b'harmless', 0)
    evil = central(b'evil.bin', b'harmless', 0, method=14)
    c0 = len(body) + len(rec) + 22
    z64 = struct.pack('<IQHHIIQQQQ', 0x06064b50, 44, 45, 45, 0, 0, 1, 1, len(evil), c0)
    b[:] = body + end([rec], len(body), comment=evil + z64 + struct.pack('<IIQI', 0x07064b50, 0, c0 + len(evil), 1)))PY",
         1, "Filename to unzip: a.txt", FAILURE_NONE, {"a.txt=harmless", "evil.bin="}},
        {"a NUL that makes a directory of a file", R"PY(
def fix(b):
    n = b'big\0/'
    b[:] = local(n, b'data') + end([central(n, b'data', 0)], len(local(n, b'data'))))PY",
         0, "Refusing an entry name with a NUL byte in it: big\\0/", FAILURE_REFUSED, {"big="}},
        {"a NUL that hides a metadata entry", R"PY(
def fix(b):
    n = b'__MACOSX/._f\0/'
    b[:] = local(n, b'AD') + end([central(n, b'AD', 0)], len(local(n, b'AD'))))PY",
         0, "Refusing an entry name with a NUL byte in it: __MACOSX/._f\\0/", FAILURE_REFUSED, {"f="}},
        {"an overlap hidden by a local extra field", R"PY(
def fix(b):
    inner = local(b'b', b'B' * 10)
    extra = struct.pack('<HH', 0xCAFE, 46 + len(inner)) + b'\0' * 46 + inner
    a = local(b'a', b'A' * 50, extra=extra)
    b[:] = a + end([central(b'a', b'A' * 50, 0), central(b'b', b'B' * 10, 81)], len(a)))PY",
         0, "entries overlap", FAILURE_REFUSED, {"a=", "b="}},
        {"a 16-bit count that wrapped", R"PY(
def fix(b):
    body, recs = [], []
    for k in range(65537):
        recs.append(central(b'f%05d' % k, b'', 35 * k))  # each local header: 30 bytes and a 5-byte name
        body.append(local(b'f%05d' % k, b''))
    b[:] = b''.join(body) + end(recs, 35 * 65537, count=65537 & 0xFFFF))PY",
         0, "Damaged archive: the end record counts 1 entries, its central directory holds 65537", FAILURE_DAMAGED, {"f00000="}},
        {"a Windows name with a backslash", R"PY(
def fix(b):
    h = local(b'arc\\test', b'win')
    b[:] = h + end([central(b'arc\\test', b'win', 0, mode=0, made_by=20, attr=0x20)], len(h)))PY",
         1, "Filename to unzip: arc/test", FAILURE_NONE, {"arc/test=win"}},
        {"a directory marked only by the MS-DOS attribute", R"PY(
def fix(b):
    d, f = local(b'dir', b''), local(b'dir/f', b'inside')
    b[:] = d + f + end([central(b'dir', b'', 0, mode=0, made_by=20, attr=0x10),
                        central(b'dir/f', b'inside', len(d), mode=0, made_by=20, attr=0x20)], len(d + f)))PY",
         1, "Filename to unzip: dir/f", FAILURE_NONE, {"dir/f=inside"}},
        {"a local name that differs from the central one", R"PY(
def fix(b):
    h = local(b'b.txt', b'x')
    b[:] = h + end([central(b'a.txt', b'x', 0)], len(h)))PY",
         0, "Damaged archive: the local name b.txt differs from the central directory's a.txt", FAILURE_DAMAGED,
         {"a.txt=", "b.txt="}},
        {"a malformed metadata stream", "add('f', b'data')\nadd('__MACOSX/._f', b'junk')",
         0, "Refusing a malformed metadata stream in __MACOSX/._f: not an AppleDouble stream with two entries", FAILURE_DAMAGED, {}},
    };
    int n = 0;
    for (const Case &c : cases) {
        std::string dest = dir / ("dest" + std::to_string(n) + "/"), zip = dir / ("hostile" + std::to_string(n++) + ".zip");
        python_zip(zip, c.body);
        std::string before = snapshot(outside), out;
        EXPECT_EQ(unpack(zip, dest, &out), c.rc) << c.what << ": wrong result\n" << out;
        EXPECT_NE(out.find(c.line), std::string::npos) << c.what << ": no line \"" << c.line << "\" in\n" << out;
        EXPECT_EQ(kind_name(last_failure()), kind_name(c.kind)) << c.what << ": the failure kind is the wrong one";
        for (const std::string &f : c.files) {
            std::string path = f.substr(0, f.find('=')), content = f.substr(f.find('=') + 1);
            if (content.empty())
                EXPECT_FALSE(exists(dest + path)) << c.what << ": dest/" << path << " must not exist";
            else
                EXPECT_EQ(read_file(dest + path), content) << c.what << ": dest/" << path;
        }
        EXPECT_EQ(snapshot(outside), before) << c.what << ": something outside the destination changed";
    }
}

// zip64 records that lie, each refused with a line that names the lie and
// nothing written: Python's zip64 archive of one entry, then one field changed.
TEST(Unpack, Zip64RecordsThatLieAreRefused)
{
    ScratchDir dir;
    // x: the central zip64 extra field, z: the zip64 end record, l: its locator, e: the end record
    const std::string fields = "zipfile.ZIP64_LIMIT = 4\nadd('a.txt', b'hello' * 100)\n"
                               "def at(b): return b.find(b'\\1\\0\\x10\\0', b.find(b'PK\\1\\2')), b.find(b'PK\\6\\6'), "
                               "b.find(b'PK\\6\\7'), b.rfind(b'PK\\5\\6')\n";
    struct Case { const char *lie, *fix, *line; int kind; } cases[] = {
        {"compressed size past the end", "pack_into('<Q', b, x + 12, 1 << 40)",
         "Damaged archive: the data of a.txt (1099511627776 bytes) runs past the start of the central directory", FAILURE_DAMAGED},
        {"size past any disk", "pack_into('<Q', b, x + 4, 1 << 62)", "Not enough free space", FAILURE_NO_SPACE},
        {"size below the data's", "pack_into('<Q', b, x + 4, 3)", "Size mismatch (more than the 3 bytes declared) in entry: a.txt", FAILURE_DAMAGED},
        {"no zip64 extra field", "pack_into('<H', b, x, 9)", "no zip64 extra field holds the sizes or offset of entry a.txt", FAILURE_DAMAGED},
        // Data offset + compressed size wraps past 2^64 to a small number: still past the directory.
        {"compressed size wrapping past 2^64", "pack_into('<Q', b, x + 12, 2**64 - 16)",
         "Damaged archive: the data of a.txt (18446744073709551600 bytes) runs past the start of the central directory",
         FAILURE_DAMAGED},
        // The field is there but holds 8 bytes: both sizes need 16.
        {"zip64 field of 8 bytes where 16 are needed", "pack_into('<H', b, x + 2, 8)",
         "no zip64 extra field holds the sizes or offset of entry a.txt", FAILURE_DAMAGED},
        {"count past the records", "pack_into('<QQ', b, z + 24, 5, 5); pack_into('<HH', b, e + 8, 0xFFFF, 0xFFFF)",
         "Damaged archive: the end record counts 5 entries, its central directory holds 1", FAILURE_DAMAGED},
        {"count unlike the end record's", "pack_into('<QQ', b, z + 24, 5, 5)", "Damaged zip64 end record: it counts 5 entries", FAILURE_DAMAGED},
        {"directory offset past the end", "pack_into('<Q', b, z + 48, 1 << 40); pack_into('<I', b, e + 16, 0xFFFFFFFF)",
         "at offset 1099511627776) lies past the end record", FAILURE_DAMAGED},
        {"directory size past the end", "pack_into('<Q', b, z + 40, 1 << 40); pack_into('<I', b, e + 12, 0xFFFFFFFF)",
         "Damaged archive: its central directory (1099511627776 bytes", FAILURE_DAMAGED},
        {"locator past the end", "pack_into('<Q', b, l + 8, 1 << 40)",
         "Damaged zip64 locator: its end record at offset 1099511627776 lies past the locator", FAILURE_DAMAGED},
        {"locator on no record", "pack_into('<Q', b, l + 8, 0)", "Damaged zip64 locator: no zip64 end record at offset 0", FAILURE_DAMAGED},
    };
    int n = 0;
    for (const Case &c : cases) {
        std::string dest = dir / ("dest" + std::to_string(n) + "/"), zip = dir / ("lie" + std::to_string(n++) + ".zip");
        python_zip(zip, fields + "def fix(b):\n    x, z, l, e = at(b)\n    from struct import pack_into\n    " + c.fix);
        std::string before = snapshot(dir.path, "! -path '*/dest*'"), out;
        EXPECT_EQ(unpack(zip, dest, &out), 0) << c.lie << ": must be refused\n" << out;
        EXPECT_NE(out.find(c.line), std::string::npos) << c.lie << ": no line \"" << c.line << "\" in\n" << out;
        EXPECT_EQ(kind_name(last_failure()), kind_name(c.kind)) << c.lie << ": the failure kind is the wrong one";
        EXPECT_EQ(output_of("ls -A " + quote(dest)), "") << c.lie << ": dest: something was written";
        EXPECT_EQ(snapshot(dir.path, "! -path '*/dest*'"), before) << c.lie << ": something outside the destination changed";
    }
}
