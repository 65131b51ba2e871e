// compress_path: entry names, modes, links, levels, metadata and limits, read
// back by our own reader and by Info-ZIP unzip, bsdtar and Python's zipfile.
#include "helpers.h"
#include "ziputil.h"

using namespace testutil;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

// "name method stored-raw mode system" per entry (stored-raw: over 100 bytes, not made smaller), as Python's zipfile reads them;
// the run fails unless every CRC checks and every date is the file's local time.
std::string listing(const std::string &zip, const std::string &root = "")
{
    write_file(zip + ".py", R"(import zipfile, sys, os, time
z = zipfile.ZipFile(sys.argv[1])
assert z.testzip() is None
for i in z.infolist():
    i.filename = i.filename if i.flag_bits & 0x800 else i.filename.encode('cp437').decode()
    print(i.filename, i.compress_type, i.compress_size >= i.file_size > 100, oct(i.external_attr >> 16), i.create_system)
    disk = sys.argv[2] + '/' + i.filename.lstrip('/')
    if sys.argv[2] and not i.filename.startswith('__MACOSX'):
        t = time.localtime(os.lstat(disk).st_mtime)
        assert i.date_time == t[:5] + (t[5] // 2 * 2,), (i.filename, i.date_time, t)
)");
    return output_of("python3 " + quote(zip + ".py") + " " + quote(zip) + " " + quote(root) + " || echo FAILED");
}

int pack(const std::string &from, const std::string &zip, int level = 6, std::string *out = nullptr)
{
    CaptureStdout();
    int rc = compress_path(from.c_str(), zip.c_str(), level);
    fflush(stdout);
    std::string text = GetCapturedStdout();
    if (out)
        *out = text;
    return rc;
}

}  // namespace

TEST(Pack, RoundTripThroughOurReaderInfoZipBsdtarAndPython)
{
    ScratchDir dir;
    const std::string src = dir / "src/Demo";
    bool metadata = xattrs_supported(dir.path);
    ASSERT_EQ(run("mkdir -p " + quote(src + "/art/deep/er") + " " + quote(src + "/.hidden dir")), 0);
    write_file(src + "/readme.txt", "read me\n", 0644);
    write_file(src + "/run.sh", "#!/bin/sh\nexit 0\n", 0755);
    write_file(src + "/setgid", "g", 02755);
    write_file(src + "/empty", "", 0600);
    write_file(src + "/.hidden dir/with space \xc3\xa9\xe2\x98\x83.txt", "utf8", 0640);
    std::string big;
    for (int i = 0; i < 200000; i++)
        big += char('a' + (i * 7 % 26));
    write_file(src + "/art/deep/er/big.bin", big, 0644);
    symlink("../readme.txt", (src + "/art/up").c_str());
    symlink("deep", (src + "/art/dirlink").c_str());
    if (metadata) {
        setxattr((src + "/readme.txt").c_str(), "user.com.apple.quarantine", "q/1", 3, 0);
        run("setfacl -m u:nobody:r-x " + quote(src + "/run.sh"));
    }
    run("touch -d '2020-09-13 12:26:41' " + quote(src + "/readme.txt"));
    ASSERT_EQ(pack(src, dir / "demo.zip", 9), 1);

    std::string list = listing(dir / "demo.zip", dir / "src");
    EXPECT_NE(list.find("/Demo/run.sh 8 False 0o100755 3\n"), std::string::npos) << list;
    EXPECT_NE(list.find("/Demo/art/up 0 False 0o120777 3\n"), std::string::npos) << list;
    EXPECT_NE(list.find("/Demo/setgid 8 False 0o102755 3\n"), std::string::npos) << list;
    EXPECT_EQ(list.find("._empty"), std::string::npos) << list;  // nothing to carry
    EXPECT_EQ(list.find(" 0o4"), std::string::npos) << list;     // no directory entries
    if (metadata)
        EXPECT_NE(list.find("/Demo/readme.txt 8 False 0o100644 3\n__MACOSX//Demo/._readme.txt "), std::string::npos);

    ASSERT_EQ(run("mkdir " + quote(dir / "bsdtar") + " && bsdtar -xpf " + quote(dir / "demo.zip") + " -C " +
                  quote(dir / "bsdtar") + " --exclude __MACOSX 2>/dev/null && (unzip -q -K " + quote(dir / "demo.zip") +
                  " -x '__MACOSX/*' -d " + quote(dir / "unzip") + " 2>/dev/null; true)"), 0);
    CaptureStdout();
    EXPECT_EQ(decompress_path((dir / "demo.zip").c_str(), (dir / "ours/").c_str()), 1);
    GetCapturedStdout();
    for (const char *peer : {"ours", "unzip", "bsdtar"})  // files, modes, sizes, link targets
        EXPECT_EQ(snapshot(dir / (peer + std::string("/Demo")), "! -type d"), snapshot(src, "! -type d")) << peer;
    EXPECT_EQ(read_file(dir / "ours/Demo/art/up"), "read me\n");
    if (metadata) {
        EXPECT_EQ(get_xattr(dir / "ours/Demo/readme.txt", "user.com.apple.quarantine"), "q/1");
        EXPECT_EQ(output_of("getfacl -c " + quote(dir / "ours/Demo/run.sh")), output_of("getfacl -c " + quote(src + "/run.sh")));
    }
}

TEST(Pack, RawExtensionRuleDecidesTheLevel)
{
    ScratchDir dir;
    bool metadata = xattrs_supported(dir.path);
    run("mkdir -p " + quote(dir / "T/app.d"));
    struct Case {
        const char *name;
        bool raw;
    } cases[] = {{"photo.png", true}, {"movie.mov", true}, {"pack.zip", true}, {"data.tar.gz", true},
                 {".zip", true}, {"photo.PNG", false}, {"notes.txt", false}, {"x.g", false},
                 {"README", false}, {"app.d/notes", false}};
    for (const Case &c : cases)
        write_file(dir / "T/" + c.name, std::string(20000, 'a'));
    setxattr((dir / "T/photo.png").c_str(), "user.a", std::string(2000, 'a').c_str(), 2000, 0);
    setxattr((dir / "T/README").c_str(), "user.a", std::string(2000, 'a').c_str(), 2000, 0);
    ASSERT_EQ(pack(dir / "T", dir / "t.zip"), 1);
    std::string list = listing(dir / "t.zip");
    for (const Case &c : cases)  // always deflate, at level 0 for the raw ones
        EXPECT_NE(list.find("/T/" + std::string(c.name) + " 8 " + (c.raw ? "True" : "False")), std::string::npos) << c.name;
    if (metadata) {
        EXPECT_NE(list.find("__MACOSX//T/._photo.png 8 True"), std::string::npos) << list;
        EXPECT_NE(list.find("__MACOSX//T/._README 8 False"), std::string::npos) << list;
    }
    const char *saved = ZIP_RAW_EXTENTIONS;  // the list is the caller's to change
    ZIP_RAW_EXTENTIONS = ".txt|";
    ASSERT_EQ(pack(dir / "T/notes.txt", dir / "n.zip"), 1);
    ZIP_RAW_EXTENTIONS = saved;
    EXPECT_EQ(listing(dir / "n.zip"), "notes.txt 8 True 0o100644 3\n");
}

TEST(Pack, NamingRulesAndFailuresWithTheirReasons)
{
    ScratchDir dir;
    run("mkdir -p " + quote(dir / "Demo/sub") + " " + quote(dir / "Empty") + " " + quote(dir / "P") + " " +
        quote(dir / "taken.zip"));
    write_file(dir / "Demo/sub/f", "f");
    write_file(dir / "P/file", "f");
    const std::string none = "(no entries)";
    ASSERT_EQ(mkfifo((dir / "P/pipe").c_str(), 0644), 0);
    std::string deep = dir / "L";
    for (int i = 0; i < 5; i++)
        deep += "/" + std::string(200, 'c');
    run("mkdir -p " + quote(deep) + " && touch " + quote(deep + "/past-the-limit"));
    struct Case {
        std::string from, zip;
        int rc;
        std::string entries, line;  // entries: "" for no archive at all
    } cases[] = {
        {"Demo/sub/f", "one.zip", 1, "f 8 False 0o100644 3\n", ""},
        {"Demo/", "d.zip", 1, "/Demo/sub/f 8 False 0o100644 3\n", ""},
        {"Empty", "e.zip", 1, none, ""},
        {"P", "p.zip", 1, "/P/file 8 False 0o100644 3\n", ""},  // the pipe is skipped
        {"P", "P/self.zip", 1, "/P/file 8 False 0o100644 3\n", ""},  // not packed into itself
        {"P/pipe", "pipe.zip", 0, none, "Cannot pack (not a file, a directory or a link): "},
        {"missing", "m.zip", 0, "", "Cannot read " + dir.path + "/missing: No such file or directory\n"},
        {"Demo", "taken.zip", 0, "", "Cannot create " + dir.path + "/taken.zip: Is a directory\n"},
        {"L", "l.zip", 0, none, "Path too long: "},
    };
    for (const Case &c : cases) {
        std::string out;
        EXPECT_EQ(pack(dir / c.from, dir / c.zip, 6, &out), c.rc) << c.from;
        EXPECT_NE(out.find(c.line), std::string::npos) << c.from << ": " << out;
        if (c.entries.empty())
            EXPECT_TRUE(c.zip == "taken.zip" || !exists(dir / c.zip)) << c.from;
        else
            EXPECT_EQ(listing(dir / c.zip), c.entries == none ? "" : c.entries) << c.from;
    }
    std::string cmd = "cd " + quote(dir.path) + " && " + ZIPUTIL_BIN;  // a relative tree
    ASSERT_EQ(run(cmd + " pack -1 Demo rel.zip"), 0);
    EXPECT_EQ(listing(dir / "rel.zip"), "/Demo/sub/f 8 False 0o100644 3\n");
}

// Past the limits of an archive without zip64 records: a line that names the
// limit, and no archive left for other tools to misread.
TEST(Pack, RefusesWhatPassesTheLimits)
{
    ScratchDir dir;
    ASSERT_EQ(run("mkdir " + quote(dir / "Big") + " " + quote(dir / "Many") + " && truncate -s 4500M " +
                  quote(dir / "Big/disk.img")), 0);
    ASSERT_EQ(run("cd " + quote(dir / "Many") + " && seq -f f%05g 65535 | xargs touch"), 0);
    std::string out;
    EXPECT_EQ(pack(dir / "Big", dir / "big.zip", 1, &out), 0);
    EXPECT_EQ(out, "Refusing to pack " + dir.path + "/Big/disk.img: 4718592000 bytes (an entry must be under 4 GiB)\n");
    EXPECT_EQ(pack(dir / "Many", dir / "many.zip", 1, &out), 0);
    EXPECT_NE(out.find("Refusing to pack more than 65,534 entries"), std::string::npos) << out;
    EXPECT_FALSE(exists(dir / "big.zip") || exists(dir / "many.zip"));
}

TEST(PackCommand, KeepTimesLevelsUsageAndList)
{
    ScratchDir dir;
    run("mkdir -p " + quote(dir / "Src"));
    write_file(dir / "Src/a", std::string(5000, 'a'));
    run("touch -a -d @1500000000 " + quote(dir / "Src") + " && touch -m -d @1400000000 " + quote(dir / "Src"));
    std::string cmd = "cd " + quote(dir.path) + " && " + ZIPUTIL_BIN;
    ASSERT_EQ(run(cmd + " pack -9 --keep-times Src kept.zip"), 0);
    EXPECT_EQ(output_of("stat -c '%X %Y' " + quote(dir / "kept.zip")), "1500000000 1400000000\n");
    ASSERT_EQ(run(cmd + " pack -0 Src zero.zip"), 0);
    EXPECT_EQ(listing(dir / "zero.zip"), "/Src/a 8 True 0o100644 3\n");
    EXPECT_EQ(run(cmd + " pack Src/missing x.zip >/dev/null 2>&1"), 1);
    EXPECT_EQ(run(cmd + " pack -x Src x.zip 2>/dev/null"), 2);
    EXPECT_EQ(run(cmd + " pack Src 2>/dev/null"), 2);
    EXPECT_NE(output_of(cmd + " list kept.zip").find("100644 deflate"), std::string::npos);
}
