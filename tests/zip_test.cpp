// compress_path: entry names, modes, links, levels, metadata and limits, read
// back by our own reader and by Info-ZIP unzip, bsdtar and Python's zipfile.
#include "helpers.h"
#include "ziputil.h"

using namespace testutil;

namespace {

// "name method raw mode system" per entry as Python's zipfile reads it (raw:
// over 100 bytes and not made smaller). Ends in FAILED unless every CRC
// checks and, given the tree, every data entry's date is its file's local time.
std::string listing(const std::string &zip, const std::string &tree = "")
{
    return output_of("python3 " + quote(TESTS_DIR "/zip_listing.py") + " " + quote(zip) + " " + quote(tree) + " || echo FAILED");
}

}  // namespace

TEST(Pack, RoundTripThroughOurReaderInfoZipBsdtarAndPython)
{
    ScratchDir dir;
    const std::string src = dir / "src/Demo";
    bool metadata = xattrs_supported(dir.path);
    ASSERT_EQ(run("mkdir -p " + quote(src + "/art/deep/er") + " " + quote(src + "/.hidden dir") + " && cd " + quote(src) +
                  " && echo read me >readme.txt && printf 'exit 0\\n' >run.sh && echo g >setgid && touch empty && "
                  "echo utf8 >'.hidden dir/with space \xc3\xa9\xe2\x98\x83.txt' && seq 40000 >art/deep/er/big.bin && "
                  "ln -s ../readme.txt art/up && ln -s deep art/dirlink && chmod 755 run.sh && chmod 2755 setgid && "
                  "chmod 600 empty && touch -d '2020-09-13 12:26:41' readme.txt"), 0);
    if (metadata) {
        setxattr((src + "/readme.txt").c_str(), "user.com.apple.quarantine", "q/1", 3, 0);
        run("setfacl -m u:nobody:r-x " + quote(src + "/run.sh"));
    }
    ASSERT_EQ(pack(src, dir / "demo.zip", 9), 1);

    // Links stored, no directory entries, no metadata entry without metadata, each right after its data entry.
    std::string raw = listing(dir / "demo.zip", dir / "src"), list = output_of("printf %s " + quote(raw) + " | LC_ALL=C sort");
    EXPECT_EQ(list, "Demo/.hidden dir/with space \xc3\xa9\xe2\x98\x83.txt 8 False 0o100644 3\n"
                    "Demo/art/deep/er/big.bin 8 False 0o100644 3\nDemo/art/dirlink 0 False 0o120777 3\n"
                    "Demo/art/up 0 False 0o120777 3\nDemo/empty 8 False 0o100600 3\nDemo/readme.txt 8 False 0o100644 3\n"
                    "Demo/run.sh 8 False 0o100755 3\nDemo/setgid 8 False 0o102755 3\n" +
                        std::string(metadata ? "__MACOSX/Demo/._readme.txt 8 False 0o100600 3\n__MACOSX/Demo/._run.sh 8 False 0o100600 3\n" : ""));
    EXPECT_TRUE(!metadata || raw.find("Demo/readme.txt 8 False 0o100644 3\n__MACOSX/Demo/._readme.txt ") != raw.npos) << raw;

    ASSERT_EQ(run("mkdir " + quote(dir / "bsdtar") + " && bsdtar -xpf " + quote(dir / "demo.zip") + " -C " +
                  quote(dir / "bsdtar") + " --exclude __MACOSX 2>/dev/null"), 0);
    // Relative names: Info-ZIP unzip says nothing and exits 0.
    EXPECT_EQ(output_of("unzip -q -K " + quote(dir / "demo.zip") + " -x '__MACOSX/*' -d " + quote(dir / "unzip") +
                        " 2>&1; echo status $?"), "status 0\n") << "unzip: warnings or a failure on our archive";
    EXPECT_EQ(unpack(dir / "demo.zip", dir / "ours/"), 1);
    for (std::string peer : {"ours", "unzip", "bsdtar"})  // files, modes, sizes, link targets
        EXPECT_EQ(snapshot(dir / peer + "/Demo", "! -type d"), snapshot(src, "! -type d")) << peer;
    if (metadata) {
        EXPECT_EQ(get_xattr(dir / "ours/Demo/readme.txt", "user.com.apple.quarantine"), "q/1");
        EXPECT_EQ(output_of("getfacl -c " + quote(dir / "ours/Demo/run.sh")), output_of("getfacl -c " + quote(src + "/run.sh")));
    }
}

TEST(Pack, RawExtensionRuleDecidesTheLevel)
{
    ScratchDir dir;
    std::vector<std::string> raw = {"photo.png", "movie.mov", "pack.zip", "data.tar.gz", ".zip"},
                             packed = {"photo.PNG", "notes.txt", "x.g", "README", "app.d/notes"};
    ASSERT_EQ(run("mkdir -p " + quote(dir / "T/app.d") + " && cd " + quote(dir / "T") + " && for f in " +
                  "photo.png movie.mov pack.zip data.tar.gz .zip photo.PNG notes.txt x.g README app.d/notes; do "
                  "seq 5000 >$f; done && setfattr -n user.a -v 0x$(seq 400 | xxd -p | tr -d '\\n') photo.png README"), 0);
    ASSERT_EQ(pack(dir / "T", dir / "t.zip"), 1);
    std::string list = listing(dir / "t.zip");
    for (auto &[names, flag] : {std::pair{raw, " True"}, std::pair{packed, " False"}})
        for (const std::string &name : names)  // always deflate, at level 0 for the raw ones
            EXPECT_NE(list.find("T/" + name + " 8" + flag), std::string::npos) << name << "\n" << list;
    for (const char *entry : {"__MACOSX/T/._photo.png 8 True", "__MACOSX/T/._README 8 False"})  // by their own names
        EXPECT_TRUE(!xattrs_supported(dir.path) || list.find(entry) != list.npos) << list;
    const char *saved = ZIP_RAW_EXTENTIONS;  // the list is the caller's to change
    ZIP_RAW_EXTENTIONS = ".txt|";
    ASSERT_EQ(pack(dir / "T/notes.txt", dir / "n.zip"), 1);
    ZIP_RAW_EXTENTIONS = saved;
    EXPECT_EQ(listing(dir / "n.zip"), "notes.txt 8 True 0o100644 3\n");
}

TEST(Pack, NamingRulesAndFailuresWithTheirReasons)
{
    ScratchDir dir;
    std::string deep = dir / "L", none = "(no entries)", file = " 8 False 0o100644 3\n";
    for (int i = 0; i < 5; i++)
        deep += "/" + std::string(200, 'c');
    ASSERT_EQ(run("cd " + quote(dir.path) + " && mkdir -p Demo/sub Empty P taken.zip " + quote(deep) + " && echo f >Demo/sub/f"
                  " && echo f >P/file && mkfifo P/pipe && touch " + quote(deep + "/past-the-limit")), 0);
    // entries: "" for no archive at all
    struct Case { std::string from, zip; int rc; std::string entries, line; } cases[] = {
        {"Demo/sub/f", "one.zip", 1, "f" + file, ""},
        {"Demo/", "d.zip", 1, "Demo/sub/f" + file, ""},
        {"Empty", "e.zip", 1, none, ""},
        {"P", "p.zip", 1, "P/file" + file, ""},       // the pipe is skipped
        {"P", "P/self.zip", 1, "P/file" + file, ""},  // not packed into itself
        {"P/pipe", "pipe.zip", 0, none, "Cannot pack (not a file, a directory or a link): "},
        {"missing", "m.zip", 0, "", "Cannot read " + dir.path + "/missing: No such file or directory\n"},
        {"Demo", "taken.zip/", 0, "", "Cannot create " + dir.path + "/taken.zip/: Is a directory\n"},
        {"L", "l.zip", 0, none, "Path too long: "},
    };
    for (const Case &c : cases) {
        std::string out;
        EXPECT_EQ(pack(dir / c.from, dir / c.zip, 6, &out), c.rc) << c.from;
        EXPECT_NE(out.find(c.line), std::string::npos) << c.from << ": " << out;
        if (c.entries.empty())
            EXPECT_FALSE(S_ISREG(mode_of(dir / c.zip))) << c.from;
        else
            EXPECT_EQ(listing(dir / c.zip), c.entries == none ? "" : c.entries) << c.from;
    }
}

TEST(Command, ExitStatusKeepTimesLevelsRelativePathsAndList)
{
    ScratchDir dir;
    std::string cmd = "cd " + quote(dir.path) + " && " + ZIPUTIL_BIN;
    run("cd " + quote(dir.path) + " && mkdir Src && seq 2000 >Src/a && touch -a -d @1500000000 Src && touch -m -d @1400000000 Src");
    ASSERT_EQ(run(cmd + " pack -9 --keep-times Src kept.zip"), 0);
    EXPECT_EQ(output_of("stat -c '%X %Y' " + quote(dir / "kept.zip")), "1500000000 1400000000\n");
    ASSERT_EQ(run(cmd + " pack -0 Src zero.zip"), 0);
    EXPECT_EQ(listing(dir / "zero.zip"), "Src/a 8 True 0o100644 3\n");
    EXPECT_NE(output_of(cmd + " list kept.zip").find("100644 deflate"), std::string::npos);
    EXPECT_EQ(run(cmd + " unpack zero.zip rel/out >/dev/null"), 0);
    EXPECT_EQ(read_file(dir / "rel/out/Src/a"), read_file(dir / "Src/a"));
    for (const char *bad : {"pack Src/missing x.zip", "unpack missing.zip x"})
        EXPECT_EQ(run(cmd + " " + bad + " >/dev/null 2>&1"), 1) << bad;
    for (const char *usage : {"pack -x Src x.zip", "pack Src", "unpack zero.zip", "frobnicate"})
        EXPECT_EQ(run(cmd + " " + usage + " 2>/dev/null"), 2) << usage;
}
