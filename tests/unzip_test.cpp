// decompress_path against archives made by other tools, hostile archives and
// broken ones: bytes, modes and links on disk, printed lines and results.
#include "helpers.h"
#include "ziputil.h"

#include <dirent.h>
#include <glob.h>

#include <set>

using namespace testutil;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

int unpack_captured(const std::string &archive, const std::string &dest, std::string *out = nullptr)
{
    CaptureStdout();
    int rc = decompress_path(archive.c_str(), dest.c_str());
    fflush(stdout);
    std::string text = GetCapturedStdout();
    if (out)
        *out = text;
    return rc;
}

// Runs a Python script that writes a zip with the zipfile module.
void python_zip(const std::string &script)
{
    std::string full = "import zipfile, sys\n" + script;
    std::string path = make_temp_dir() + "/make.py";
    write_file(path, full);
    ASSERT_EQ(run("python3 " + quote(path)), 0) << script;
    run("rm -rf " + quote(path.substr(0, path.rfind('/'))));
}

std::set<std::string> crunzip_temps()
{
    std::set<std::string> out;
    glob_t g;
    if (glob("/tmp/crunzip.temp.*", 0, nullptr, &g) == 0)
        for (size_t i = 0; i < g.gl_pathc; i++)
            out.insert(g.gl_pathv[i]);
    globfree(&g);
    return out;
}

// Everything under `dir`, as "path mode size" lines, for before/after checks.
std::string snapshot(const std::string &dir)
{
    std::string list = dir + ".snapshot";
    run("cd " + quote(dir) + " && find . -printf '%p %M %s %l\\n' | sort > " + quote(list));
    std::string text = read_file(list);
    unlink(list.c_str());
    return text;
}

// A tree with what game bundles hold: executables, links, nested and empty files.
void make_game_tree(const std::string &root)
{
    run("mkdir -p " + quote(root + "/Game.app/Contents/MacOS") + " " +
        quote(root + "/Game.app/Contents/Frameworks/Lib.framework/Versions/A"));
    write_file(root + "/Game.app/Contents/MacOS/Game", "#!/bin/sh\necho game\n", 0755);
    write_file(root + "/Game.app/Contents/Info.plist", std::string(20000, 'p') + "end", 0644);
    write_file(root + "/Game.app/Contents/empty", "", 0600);
    write_file(root + "/Game.app/Contents/Frameworks/Lib.framework/Versions/A/Lib", "binary\x01\x02", 0755);
    symlink("A", (root + "/Game.app/Contents/Frameworks/Lib.framework/Versions/Current").c_str());
    symlink("Versions/Current/Lib", (root + "/Game.app/Contents/Frameworks/Lib.framework/Lib").c_str());
}

void expect_game_tree(const std::string &root)
{
    EXPECT_EQ(read_file(root + "/Game.app/Contents/MacOS/Game"), "#!/bin/sh\necho game\n");
    EXPECT_EQ(mode_of(root + "/Game.app/Contents/MacOS/Game") & 07777, 0755u);
    EXPECT_EQ(read_file(root + "/Game.app/Contents/Info.plist"), std::string(20000, 'p') + "end");
    EXPECT_EQ(mode_of(root + "/Game.app/Contents/Info.plist") & 07777, 0644u);
    EXPECT_EQ(read_file(root + "/Game.app/Contents/empty"), "");
    EXPECT_EQ(mode_of(root + "/Game.app/Contents/empty") & 07777, 0600u);
    EXPECT_EQ(link_target(root + "/Game.app/Contents/Frameworks/Lib.framework/Versions/Current"), "A");
    EXPECT_EQ(link_target(root + "/Game.app/Contents/Frameworks/Lib.framework/Lib"), "Versions/Current/Lib");
    EXPECT_EQ(read_file(root + "/Game.app/Contents/Frameworks/Lib.framework/Lib"), "binary\x01\x02");
}

}  // namespace

TEST(Unpack, InfoZipAndBsdtarArchivesWithExecutablesLinksAndEmptyFiles)
{
    for (const char *packer : {"zip -q -r -y ../game.zip Game.app", "bsdtar -c --format zip -f ../game.zip Game.app"}) {
        ScratchDir dir;
        make_game_tree(dir / "src");
        ASSERT_EQ(run("cd " + quote(dir / "src") + " && " + packer), 0);
        EXPECT_EQ(unpack_captured(dir / "game.zip", dir / "out/"), 1) << packer;
        expect_game_tree(dir / "out");
    }
}

TEST(Unpack, PythonZipfileWithModesInExternalAttributes)
{
    ScratchDir dir;
    python_zip("z = zipfile.ZipFile('" + dir / "py.zip" + "', 'w', zipfile.ZIP_DEFLATED)\n"
               "def add(name, data, mode):\n"
               "    i = zipfile.ZipInfo(name)\n"
               "    i.external_attr = mode << 16\n"
               "    i.compress_type = zipfile.ZIP_DEFLATED\n"
               "    z.writestr(i, data)\n"
               "add('bin/run', b'#!/bin/sh\\n', 0o100755)\n"
               "add('bin/setgid', b'g', 0o102750)\n"
               "add('lib/current', b'../bin', 0o120777)\n"
               "add('plain', b'no mode', 0)\n"  // writestr would put 0600 in an all-zero field
               "z.infolist()[-1].external_attr = 0x20\n"
               "z.close()\n");
    mode_t old = umask(022);
    EXPECT_EQ(unpack_captured(dir / "py.zip", dir / "out/"), 1);
    umask(old);
    EXPECT_EQ(mode_of(dir / "out/bin/run") & 07777, 0755u);
    EXPECT_EQ(mode_of(dir / "out/bin/setgid") & 07777, 02750u);
    EXPECT_EQ(link_target(dir / "out/lib/current"), "../bin");
    EXPECT_EQ(read_file(dir / "out/plain"), "no mode");
    EXPECT_EQ(mode_of(dir / "out/plain") & 07777, 0644u);  // 0666 less the umask
}

TEST(Unpack, PrintsTheLinesOfTheUsualRoadIntoParentDirectory)
{
    ScratchDir dir;
    ASSERT_EQ(mkdir((dir / "G").c_str(), 0755), 0);
    write_file(dir / "G/x", "x data", 0644);
    ASSERT_EQ(setxattr((dir / "G/x").c_str(), "user.tag", "v", 1, 0) == 0 || !xattrs_supported(dir.path), true);
    ASSERT_EQ(compress_path((dir / "G").c_str(), (dir / "g.zip").c_str(), 6), 1);
    ASSERT_EQ(mkdir((dir / "up").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "up/work").c_str(), 0755), 0);

    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir((dir / "up/work").c_str()), 0);
    std::string out;
    int rc = unpack_captured(dir / "g.zip", "../", &out);
    ASSERT_EQ(chdir(cwd), 0);

    EXPECT_EQ(rc, 1);
    std::string want = "Directory to make: /..\nmkdir returned -1\ndirectory already exists\n"
                       "Filename to unzip: /G/x\nDirectory to make: ../G\n";
    if (xattrs_supported(dir.path))
        want += "Filename to unzip: __MACOSX//G/._x\n";
    EXPECT_EQ(out, want);
    EXPECT_EQ(read_file(dir / "up/G/x"), "x data");
    EXPECT_EQ(mode_of(dir / "up/G/x") & 07777, 0644u);
    if (xattrs_supported(dir.path)) {
        EXPECT_EQ(get_xattr(dir / "up/G/x", "user.tag"), "v");
    }
}

TEST(Unpack, MacArchiveWithAclMetadataLeavesNoTemporaryFile)
{
    REQUIRE_SHARED_TESTDATA(data);
    ScratchDir dir;
    std::set<std::string> before = crunzip_temps();
    std::string out;
    EXPECT_EQ(unpack_captured(data + "/appledouble/mac_metadata_acl.zip", dir / "out/", &out), 1) << out;
    EXPECT_EQ(read_file(dir / "out/file3").size(), 8u);
    EXPECT_FALSE(exists(dir / "out/__MACOSX"));
    EXPECT_EQ(crunzip_temps(), before);
}

TEST(Unpack, SidecarDotUnderscoreFilesOutsideMacosxAreOrdinaryFiles)
{
    REQUIRE_SHARED_TESTDATA(data);
    ScratchDir dir;
    EXPECT_EQ(unpack_captured(data + "/appledouble/sidecar_quarantine_rsrc.zip", dir / "out/"), 1);
    EXPECT_EQ(read_file(dir / "out/apple_double_dir/test_file").size(), 5u);
    EXPECT_EQ(read_file(dir / "out/apple_double_dir/._test_file").size(), 134u);
}

TEST(Unpack, HostileArchivesChangeNothingOutsideTheDestination)
{
    REQUIRE_SHARED_TESTDATA(data);
    struct Case {
        const char *archive;
        int result;
    } cases[] = {{"dotdot_tmp_evil.zip", 0}, {"backslash_dotdot.zip", 1}, {"symlink_outside.zip", 0},
                 {"symlink_dotdot.zip", 0}};
    for (const Case &c : cases) {
        ScratchDir dir;
        write_file(dir / "outside", "precious");
        std::string before = snapshot(dir.path);
        std::string dest = dir / "a/b/dest/";
        ASSERT_EQ(run("mkdir -p " + quote(dest)), 0);
        EXPECT_EQ(unpack_captured(data + "/zipslip/" + c.archive, dest), c.result) << c.archive;
        if (c.result == 0 && std::string(c.archive) == "symlink_outside.zip") {
            // The links that stay inside were made before the refused one.
            EXPECT_EQ(link_target(dest + "flink"), "file.txt");
            EXPECT_FALSE(exists(dest + "insecure.link"));
            // Its companion archive then tries to write through what is left.
            unpack_captured(data + "/zipslip/over_dangling_links.zip", dest);
        }
        if (std::string(c.archive).find("evil") != std::string::npos ||
            std::string(c.archive).find("backslash") != std::string::npos) {
            EXPECT_EQ(read_file(dest + "good.txt"), "this is a good one\n") << c.archive;
        }
        run("rm -rf " + quote(dir / "a"));
        EXPECT_EQ(snapshot(dir.path), before) << c.archive;
        EXPECT_EQ(read_file(dir / "outside"), "precious");
    }
    EXPECT_FALSE(exists("/tmp/evil.txt"));
}

TEST(Unpack, RefusesEveryWayOut)
{
    ScratchDir dir;
    ASSERT_EQ(mkdir((dir / "outside").c_str(), 0755), 0);
    write_file(dir / "outside/victim", "untouched");
    const std::string outside = dir / "outside";
    struct Case {
        const char *what;
        std::string entries;  // Python lines calling add(name, data, mode)
        std::string expect_line;
    } cases[] = {
        {"link to /etc/passwd", "add('passwd', b'/etc/passwd', 0o120777)\n", "Refusing link whose target"},
        {"link then file through it",
         "add('d', b'" + outside + "', 0o120777)\nadd('d/victim', b'pwned', 0o100644)\n",
         "Refusing link whose target"},
        {"relative link climbing out", "add('sub/up', b'../../outside', 0o120777)\n", "Refusing link whose target"},
        {"dotdot name", "add('x/../../outside/victim', b'pwned', 0o100644)\n", "Refusing entry with a \"..\""},
        {"metadata climbing out", "add('__MACOSX/../outside/._victim', b'AD', 0o100644)\n",
         "Refusing entry with a \"..\""},
        {"through an existing link", "add('escape/victim', b'pwned', 0o100644)\n", "Refusing to write through"},
        {"onto an existing link", "add('escape-file', b'pwned', 0o100644)\n", "Refusing to write through"},
        {"metadata through an existing link", "add('__MACOSX/escape/._victim', b'AD', 0o100644)\n",
         "Refusing metadata for a file outside"},
    };
    int n = 0;
    for (const Case &c : cases) {
        std::string dest = dir / ("dest" + std::to_string(n++) + "/");
        ASSERT_EQ(mkdir(dest.c_str(), 0755), 0);
        symlink(outside.c_str(), (dest + "escape").c_str());
        symlink((outside + "/victim").c_str(), (dest + "escape-file").c_str());
        std::string zip = dest.substr(0, dest.size() - 1) + ".zip";
        python_zip("z = zipfile.ZipFile('" + zip + "', 'w')\n"
                   "def add(name, data, mode):\n"
                   "    i = zipfile.ZipInfo(name)\n"
                   "    i.external_attr = mode << 16\n"
                   "    z.writestr(i, data)\n" + c.entries + "z.close()\n");
        std::string before = snapshot(outside);
        std::string out;
        EXPECT_EQ(unpack_captured(zip, dest, &out), 0) << c.what;
        EXPECT_NE(out.find(c.expect_line), std::string::npos) << c.what << "\n" << out;
        EXPECT_EQ(snapshot(outside), before) << c.what;
        EXPECT_EQ(read_file(outside + "/victim"), "untouched") << c.what;
        EXPECT_EQ(get_xattr(outside + "/victim", "user.x"), "<missing>");
    }
}

TEST(Unpack, LinksInsideTheDestinationKeepWorking)
{
    ScratchDir dir;
    python_zip("z = zipfile.ZipFile('" + dir / "l.zip" + "', 'w')\n"
               "def add(name, data, mode):\n"
               "    i = zipfile.ZipInfo(name)\n"
               "    i.external_attr = mode << 16\n"
               "    z.writestr(i, data)\n"
               // the link comes before its directory's files: its parent must be made
               "add('/F.framework/Versions/Current', b'B', 0o120777)\n"
               "add('/F.framework/Versions/B/lib', b'new', 0o100644)\n"
               "add('/F.framework/lib', b'Versions/Current/lib', 0o120777)\n"
               "add('/F.framework/Versions/B/self', b'../B/./lib', 0o120777)\n"
               "add('/F.framework/kept', b'Versions', 0o120777)\n"
               "z.close()\n");
    std::string dest = dir / "dest/";
    ASSERT_EQ(run("mkdir -p " + quote(dest + "F.framework/Versions/A")), 0);
    symlink("A", (dest + "F.framework/Versions/Current").c_str());  // the old version
    write_file(dest + "F.framework/kept", "a file already there");
    std::string out;
    EXPECT_EQ(unpack_captured(dir / "l.zip", dest, &out), 1) << out;
    EXPECT_EQ(link_target(dest + "F.framework/Versions/Current"), "B");
    EXPECT_EQ(read_file(dest + "F.framework/lib"), "new");
    EXPECT_EQ(read_file(dest + "F.framework/Versions/B/self"), "new");
    EXPECT_EQ(read_file(dest + "F.framework/kept"), "a file already there");
    EXPECT_NE(out.find("Leaving existing entry in place of link: " + dest + "/F.framework/kept"), std::string::npos)
        << out;
}

TEST(Unpack, BrokenArchivesFailCleanly)
{
    ScratchDir dir;
    make_game_tree(dir / "src");
    ASSERT_EQ(run("cd " + quote(dir / "src") + " && zip -q -r -y ../good.zip Game.app"), 0);
    std::string good = read_file(dir / "good.zip");
    std::string out;

    write_file(dir / "empty.zip", "");
    EXPECT_EQ(unpack_captured(dir / "empty.zip", dir / "o1/", &out), 0);
    EXPECT_NE(out.find("Failed to open zip file\n"), std::string::npos);
    write_file(dir / "text.zip", "this is not a zip archive at all");
    EXPECT_EQ(unpack_captured(dir / "text.zip", dir / "o2/", &out), 0);
    EXPECT_NE(out.find("Failed to open zip file\n"), std::string::npos);
    EXPECT_EQ(unpack_captured(dir / "missing.zip", dir / "o3/", &out), 0);

    for (size_t len : {size_t(1), size_t(30), good.size() / 3, good.size() / 2, good.size() - 23, good.size() - 40}) {
        write_file(dir / "cut.zip", good.substr(0, len));
        EXPECT_EQ(unpack_captured(dir / "cut.zip", dir / "o4/", &out), 0) << "cut at " << len;
    }

    python_zip("z = zipfile.ZipFile('" + dir / "none.zip" + "', 'w')\nz.close()\n");
    EXPECT_EQ(unpack_captured(dir / "none.zip", dir / "o5/", &out), 0);
}

TEST(Unpack, ChecksumMismatchFailsTheCall)
{
    ScratchDir dir;
    python_zip("z = zipfile.ZipFile('" + dir / "crc.zip" + "', 'w', zipfile.ZIP_STORED)\n"
               "z.writestr('a.txt', b'AAAAAAAAAAAAAAAA')\nz.close()\n");
    std::string data = read_file(dir / "crc.zip");
    size_t at = data.find("AAAAAAAAAAAAAAAA");
    ASSERT_NE(at, std::string::npos);
    data[at + 3] = 'B';
    write_file(dir / "crc.zip", data);
    std::string out;
    EXPECT_EQ(unpack_captured(dir / "crc.zip", dir / "out/", &out), 0);
    EXPECT_NE(out.find("CRC error in entry: a.txt\n"), std::string::npos) << out;
}

TEST(Unpack, EntryThatCannotBeWrittenFails)
{
    ScratchDir dir;
    chmod(dir.path.c_str(), 0755);
    python_zip("z = zipfile.ZipFile('" + dir / "w.zip" + "', 'w')\nz.writestr('f.txt', b'x')\nz.close()\n");
    chmod((dir / "w.zip").c_str(), 0644);
    ASSERT_EQ(mkdir((dir / "ro").c_str(), 0555), 0);
    std::string out;
    std::string dest = dir / "ro/";
    int rc = run_unprivileged([&] { return decompress_path((dir / "w.zip").c_str(), dest.c_str()); }, &out);
    EXPECT_EQ(rc, 0);
    EXPECT_NE(out.find("Could not write to destination file: " + dest + "f.txt\n"), std::string::npos) << out;
}

TEST(Unpack, DirectoryNamesAndOddMetadataNames)
{
    ScratchDir dir;
    python_zip("z = zipfile.ZipFile('" + dir / "d.zip" + "', 'w')\n"
               "def add(name, data, mode):\n"
               "    i = zipfile.ZipInfo(name)\n"
               "    i.external_attr = mode << 16\n"
               "    z.writestr(i, data)\n"
               "add('__MACOSX/', b'', 0o40755)\n"
               "add('__MACOSX/G/', b'', 0o40755)\n"
               "add('__MACOSX/G/.DS_Store', b'junk', 0o100644)\n"
               "add('__MACOSX/._', b'junk', 0o100644)\n"
               "add('real/', b'', 0o40755)\n"
               "add('d/', b'', 0)\n"
               "z.close()\n");
    std::string out;
    EXPECT_EQ(unpack_captured(dir / "d.zip", dir / "out/", &out), 0);
    EXPECT_NE(out.find("Filename to unzip: __MACOSX/G/.DS_Store\nFilename to unzip: __MACOSX/._\n"
                       "Filename to unzip: real/\nFilename to unzip: d/\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Could not write to destination file: " + dir.path + "/out/d/\n"), std::string::npos);
    EXPECT_FALSE(exists(dir / "out/__MACOSX"));
    EXPECT_FALSE(exists(dir / "out/real"));
    EXPECT_TRUE(S_ISDIR(mode_of(dir / "out/d")));
}

TEST(Unpack, OverlongNamesAreRefused)
{
    ScratchDir dir;
    std::string long_name(1100, 'n');
    python_zip("z = zipfile.ZipFile('" + dir / "long.zip" + "', 'w')\nz.writestr('" + long_name +
               "', b'x')\nz.close()\n");
    std::string out;
    EXPECT_EQ(unpack_captured(dir / "long.zip", dir / "out/", &out), 0);
    EXPECT_NE(out.find("Entry name too long: "), std::string::npos);

    std::string name900(900, 'm');
    python_zip("z = zipfile.ZipFile('" + dir / "fits.zip" + "', 'w')\nz.writestr('" + name900 +
               "', b'x')\nz.close()\n");
    std::string deep = dir.path + "/" + std::string(200, 'd') + "/";
    EXPECT_EQ(unpack_captured(dir / "fits.zip", deep, &out), 0);
    EXPECT_NE(out.find("Output path too long: "), std::string::npos);
}

TEST(UnpackCommand, ExitStatusAndRelativeDestination)
{
    ScratchDir dir;
    python_zip("z = zipfile.ZipFile('" + dir / "c.zip" + "', 'w')\nz.writestr('f.txt', b'hi')\nz.close()\n");
    std::string cmd = "cd " + quote(dir.path) + " && " + ZIPUTIL_BIN;
    EXPECT_EQ(run(cmd + " unpack c.zip rel/out >/dev/null"), 0);
    EXPECT_EQ(read_file(dir / "rel/out/f.txt"), "hi");
    EXPECT_FALSE(exists("/rel"));
    EXPECT_EQ(run(cmd + " unpack missing.zip x >/dev/null 2>&1"), 1);
    EXPECT_EQ(run(cmd + " unpack c.zip 2>" + quote(dir / "err")), 2);
    EXPECT_EQ(read_file(dir / "err").rfind("usage: ziputil", 0), 0u);
    EXPECT_EQ(run(cmd + " frobnicate 2>/dev/null"), 2);
}
