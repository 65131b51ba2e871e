// compress_path: entry names, modes, links, levels and metadata, read back by
// our own reader and by Info-ZIP unzip, bsdtar and Python's zipfile.
#include "helpers.h"
#include "ziputil.h"

#include <unzip.h>
#include <utime.h>

#include <map>

using namespace testutil;

namespace {

struct Entry {
    std::string name;
    unsigned long method, compressed, size, mode;
    unsigned version_made_by;
};

std::vector<Entry> list_entries(const std::string &zip_path)
{
    std::vector<Entry> out;
    unzFile zip = unzOpen(zip_path.c_str());
    if (!zip)
        return out;
    for (int rc = unzGoToFirstFile(zip); rc == UNZ_OK; rc = unzGoToNextFile(zip)) {
        unz_file_info info;
        char name[2048];
        if (unzGetCurrentFileInfo(zip, &info, name, sizeof name, nullptr, 0, nullptr, 0) != UNZ_OK)
            break;
        out.push_back({name, info.compression_method, info.compressed_size, info.uncompressed_size,
                       (info.external_fa >> 16) & 0xffff, unsigned(info.version >> 8)});
    }
    unzClose(zip);
    return out;
}

std::vector<std::string> names_of(const std::vector<Entry> &entries)
{
    std::vector<std::string> names;
    for (const Entry &e : entries)
        names.push_back(e.name);
    return names;
}

const Entry *find_entry(const std::vector<Entry> &entries, const std::string &name)
{
    for (const Entry &e : entries)
        if (e.name == name)
            return &e;
    return nullptr;
}

int quiet_unpack(const std::string &zip, const std::string &dest)
{
    testing::internal::CaptureStdout();
    int rc = decompress_path(zip.c_str(), dest.c_str());
    fflush(stdout);
    testing::internal::GetCapturedStdout();
    return rc;
}

// A tree with everything the entry conventions carry.
void make_rich_tree(const std::string &root, bool with_metadata)
{
    run("mkdir -p " + quote(root + "/art/deep/er") + " " + quote(root + "/empty dir") + " " +
        quote(root + "/.hidden dir"));
    write_file(root + "/readme.txt", "read me\n", 0644);
    write_file(root + "/run.sh", "#!/bin/sh\nexit 0\n", 0755);
    write_file(root + "/setgid", "g", 02755);
    write_file(root + "/empty", "", 0600);
    write_file(root + "/.DS_Store", "hidden", 0644);
    write_file(root + "/.hidden dir/inner", "inner", 0640);
    write_file(root + "/with space.txt", "spaced", 0644);
    write_file(root + "/\xc3\xa9t\xc3\xa9 \xe2\x98\x83.txt", "utf8", 0644);
    std::string big;
    for (int i = 0; i < 200000; i++)
        big += char('a' + (i * 7 % 26));
    write_file(root + "/art/deep/er/big.bin", big, 0644);
    symlink("../readme.txt", (root + "/art/up").c_str());
    symlink("deep", (root + "/art/dirlink").c_str());
    if (with_metadata) {
        setxattr((root + "/readme.txt").c_str(), "user.com.apple.quarantine", "q/1", 3, 0);
        setxattr((root + "/art/deep/er/big.bin").c_str(), "user.note", "", 0, 0);
        acl_t acl = acl_from_text("u::rwx,u:nobody:r-x,g::r-x,m::r-x,o::r-x");
        acl_set_file((root + "/run.sh").c_str(), ACL_TYPE_ACCESS, acl);
        acl_free(acl);
    }
}

void expect_same_tree(const std::string &a, const std::string &b, bool with_metadata)
{
    const char *files[] = {"readme.txt", "run.sh", "setgid", "empty", ".DS_Store", ".hidden dir/inner",
                           "with space.txt", "\xc3\xa9t\xc3\xa9 \xe2\x98\x83.txt", "art/deep/er/big.bin"};
    for (const char *f : files) {
        EXPECT_EQ(read_file(b + "/" + f), read_file(a + "/" + f)) << f;
        EXPECT_EQ(mode_of(b + "/" + f), mode_of(a + "/" + f)) << f;
    }
    EXPECT_EQ(link_target(b + "/art/up"), "../readme.txt");
    EXPECT_EQ(link_target(b + "/art/dirlink"), "deep");
    EXPECT_FALSE(exists(b + "/empty dir"));  // directories are not entries
    if (with_metadata) {
        EXPECT_EQ(get_xattr(b + "/readme.txt", "user.com.apple.quarantine"), "q/1");
        EXPECT_EQ(get_xattr(b + "/art/deep/er/big.bin", "user.note"), "");
        EXPECT_EQ(acl_text(b + "/run.sh"), acl_text(a + "/run.sh"));
        EXPECT_NE(acl_text(b + "/run.sh").find("user:nobody:r-x"), std::string::npos);
    }
}

}  // namespace

TEST(Pack, RoundTripThroughOurOwnReader)
{
    ScratchDir dir;
    bool metadata = xattrs_supported(dir.path);
    if (!metadata)
        std::cerr << "user attributes refused here: round trip without metadata\n";
    make_rich_tree(dir / "Demo", metadata);
    ASSERT_EQ(compress_path((dir / "Demo").c_str(), (dir / "demo.zip").c_str(), 6), 1);
    ASSERT_EQ(quiet_unpack(dir / "demo.zip", dir / "out/"), 1);
    expect_same_tree(dir / "Demo", dir / "out/Demo", metadata);

    std::vector<Entry> entries = list_entries(dir / "demo.zip");
    for (const Entry &e : entries) {
        EXPECT_TRUE(e.name.rfind("/Demo/", 0) == 0 || e.name.rfind("__MACOSX//Demo/", 0) == 0) << e.name;
        EXPECT_EQ(e.version_made_by, 3u) << e.name;
    }
    const Entry *link = find_entry(entries, "/Demo/art/up");
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(link->method, 0u);
    EXPECT_EQ(link->size, 13u);
    EXPECT_EQ(link->mode & 0xF000, 0xA000u);
    ASSERT_NE(find_entry(entries, "/Demo/setgid"), nullptr);
    EXPECT_EQ(find_entry(entries, "/Demo/setgid")->mode, 0102755u);
    EXPECT_EQ(find_entry(entries, "__MACOSX//Demo/._empty"), nullptr);  // nothing to carry
    if (metadata) {
        EXPECT_NE(find_entry(entries, "__MACOSX//Demo/._readme.txt"), nullptr);
        EXPECT_NE(find_entry(entries, "__MACOSX//Demo/._run.sh"), nullptr);
        // The metadata entry comes right after its data entry.
        std::vector<std::string> names = names_of(entries);
        auto at = std::find(names.begin(), names.end(), "/Demo/readme.txt");
        ASSERT_NE(at + 1, names.end());
        EXPECT_EQ(*(at + 1), "__MACOSX//Demo/._readme.txt");
    }
}

TEST(Pack, OtherToolsReadOurArchives)
{
    ScratchDir dir;
    make_rich_tree(dir / "Demo", false);
    ASSERT_EQ(compress_path((dir / "Demo").c_str(), (dir / "demo.zip").c_str(), 9), 1);

    ASSERT_EQ(run("unzip -Z " + quote(dir / "demo.zip") + " > " + quote(dir / "z.txt")), 0);
    std::string listing = read_file(dir / "z.txt");
    EXPECT_NE(listing.find("-rwxr-xr-x  2.0 unx       17 t"), std::string::npos) << listing;
    EXPECT_NE(listing.find("lrwxrwxrwx  2.0 unx       13 b- stor"), std::string::npos) << listing;
    EXPECT_NE(listing.find("-rwxr-sr-x"), std::string::npos) << listing;

    ASSERT_EQ(run("unzip -q -K " + quote(dir / "demo.zip") + " -d " + quote(dir / "unzip") + " 2>/dev/null; true"), 0);
    expect_same_tree(dir / "Demo", dir / "unzip/Demo", false);
    ASSERT_EQ(run("mkdir " + quote(dir / "bsdtar") + " && bsdtar -xpf " + quote(dir / "demo.zip") + " -C " +
                  quote(dir / "bsdtar") + " 2>/dev/null"),
              0);
    expect_same_tree(dir / "Demo", dir / "bsdtar/Demo", false);

    // (-K and -p: both tools drop set-id bits unless asked to keep them.)
    // Python: every entry's CRC checks, and modes and link text are as stored.
    write_file(dir / "check.py",
               "import zipfile, sys\n"
               "z = zipfile.ZipFile(sys.argv[1])\n"
               "assert z.testzip() is None\n"
               "for i in z.infolist():\n"
               "    print(i.filename, oct(i.external_attr >> 16), i.create_system, z.read(i)[:20])\n");
    ASSERT_EQ(run("python3 " + quote(dir / "check.py") + " " + quote(dir / "demo.zip") + " > " +
                  quote(dir / "py.txt")),
              0);
    std::string py = read_file(dir / "py.txt");
    EXPECT_NE(py.find("/Demo/run.sh 0o100755 3 b'#!/bin/sh\\nexit 0\\n'"), std::string::npos) << py;
    EXPECT_NE(py.find("/Demo/art/up 0o120777 3 b'../readme.txt'"), std::string::npos) << py;
}

TEST(Pack, RawExtensionRuleDecidesTheLevel)
{
    ScratchDir dir;
    std::string compressible(20000, 'a');
    run("mkdir -p " + quote(dir / "T/app.d"));
    const char *names[] = {"photo.png", "movie.mov", "pack.zip", "data.tar.gz", ".zip", "photo.PNG",
                           "notes.txt", "x.g", "README", "app.d/notes"};
    for (const char *n : names)
        write_file(dir / "T/" + n, compressible);
    bool metadata = xattrs_supported(dir.path);
    if (metadata) {
        setxattr((dir / "T/photo.png").c_str(), "user.a", compressible.data(), 2000, 0);
        setxattr((dir / "T/README").c_str(), "user.a", compressible.data(), 2000, 0);
    }
    ASSERT_EQ(compress_path((dir / "T").c_str(), (dir / "t.zip").c_str(), 6), 1);
    std::vector<Entry> entries = list_entries(dir / "t.zip");
    auto stored_raw = [&](const std::string &name) {
        const Entry *e = find_entry(entries, name);
        EXPECT_NE(e, nullptr) << name;
        if (!e)
            return false;
        EXPECT_EQ(e->method, 8u) << name;  // deflate, even at level 0
        return e->compressed >= e->size;
    };
    for (const char *raw : {"photo.png", "movie.mov", "pack.zip", "data.tar.gz", ".zip"})
        EXPECT_TRUE(stored_raw(std::string("/T/") + raw)) << raw;
    for (const char *packed : {"photo.PNG", "notes.txt", "x.g", "README", "app.d/notes"})
        EXPECT_FALSE(stored_raw(std::string("/T/") + packed)) << packed;
    if (metadata) {
        EXPECT_TRUE(stored_raw("__MACOSX//T/._photo.png"));
        EXPECT_FALSE(stored_raw("__MACOSX//T/._README"));
    }

    // The list is the caller's to change.
    const char *saved = ZIP_RAW_EXTENTIONS;
    ZIP_RAW_EXTENTIONS = ".txt|";
    ASSERT_EQ(compress_path((dir / "T/notes.txt").c_str(), (dir / "n.zip").c_str(), 6), 1);
    ZIP_RAW_EXTENTIONS = saved;
    entries = list_entries(dir / "n.zip");
    EXPECT_TRUE(stored_raw("notes.txt"));
}

TEST(Pack, SingleFileAndNamingRules)
{
    ScratchDir dir;
    write_file(dir / "notes.txt", "n");
    bool metadata = xattrs_supported(dir.path);
    if (metadata)
        setxattr((dir / "notes.txt").c_str(), "user.k", "v", 1, 0);
    ASSERT_EQ(compress_path((dir / "notes.txt").c_str(), (dir / "one.zip").c_str(), -1), 1);
    std::vector<std::string> want = {"notes.txt"};
    if (metadata)
        want.push_back("__MACOSX/._notes.txt");
    EXPECT_EQ(names_of(list_entries(dir / "one.zip")), want);

    // A trailing "/" names the root by its last component; relative trees work.
    run("mkdir -p " + quote(dir / "Demo/sub"));
    write_file(dir / "Demo/sub/f", "f");
    ASSERT_EQ(compress_path((dir / "Demo/").c_str(), (dir / "d.zip").c_str(), 1), 1);
    EXPECT_EQ(names_of(list_entries(dir / "d.zip")), std::vector<std::string>{"/Demo/sub/f"});
    std::string cmd = "cd " + quote(dir.path) + " && " + ZIPUTIL_BIN;
    ASSERT_EQ(run(cmd + " pack -1 Demo rel.zip"), 0);
    EXPECT_EQ(names_of(list_entries(dir / "rel.zip")), std::vector<std::string>{"/Demo/sub/f"});

    // An empty root directory gives an archive without entries, and success.
    run("mkdir -p " + quote(dir / "Empty"));
    ASSERT_EQ(compress_path((dir / "Empty").c_str(), (dir / "e.zip").c_str(), 6), 1);
    EXPECT_TRUE(exists(dir / "e.zip"));
    EXPECT_TRUE(list_entries(dir / "e.zip").empty());
}

TEST(Pack, TheArchiveIsNotPackedIntoItself)
{
    ScratchDir dir;
    run("mkdir -p " + quote(dir / "Tree"));
    write_file(dir / "Tree/a", "a");
    ASSERT_EQ(compress_path((dir / "Tree").c_str(), (dir / "Tree/self.zip").c_str(), 6), 1);
    EXPECT_EQ(names_of(list_entries(dir / "Tree/self.zip")), std::vector<std::string>{"/Tree/a"});
}

TEST(Pack, EntryDatesAreTheFilesLocalModificationTimes)
{
    ScratchDir dir;
    write_file(dir / "old.txt", "old");
    struct utimbuf t = {1600000000, 1600000000};  // 2020-09-13 12:26:40 UTC
    utime((dir / "old.txt").c_str(), &t);
    ASSERT_EQ(compress_path((dir / "old.txt").c_str(), (dir / "o.zip").c_str(), 6), 1);
    unzFile zip = unzOpen((dir / "o.zip").c_str());
    ASSERT_NE(zip, nullptr);
    ASSERT_EQ(unzGoToFirstFile(zip), UNZ_OK);
    unz_file_info info;
    ASSERT_EQ(unzGetCurrentFileInfo(zip, &info, nullptr, 0, nullptr, 0, nullptr, 0), UNZ_OK);
    unzClose(zip);
    time_t when = 1600000000;
    struct tm local;
    localtime_r(&when, &local);
    EXPECT_EQ(info.tmu_date.tm_year, unsigned(local.tm_year + 1900));
    EXPECT_EQ(info.tmu_date.tm_mon, unsigned(local.tm_mon));
    EXPECT_EQ(info.tmu_date.tm_mday, unsigned(local.tm_mday));
    EXPECT_EQ(info.tmu_date.tm_hour, unsigned(local.tm_hour));
    EXPECT_EQ(info.tmu_date.tm_min, unsigned(local.tm_min));
    EXPECT_EQ(info.tmu_date.tm_sec, unsigned(local.tm_sec) / 2 * 2);  // MS-DOS keeps even seconds
}

TEST(Pack, FailureRoads)
{
    ScratchDir dir;
    chmod(dir.path.c_str(), 0755);
    // Nonexistent source: no archive at all.
    EXPECT_EQ(compress_path((dir / "missing").c_str(), (dir / "m.zip").c_str(), 6), 0);
    EXPECT_FALSE(exists(dir / "m.zip"));

    // A pipe inside the tree is skipped; a pipe as the root gives an empty archive and 0.
    run("mkdir -p " + quote(dir / "P"));
    write_file(dir / "P/file", "f");
    ASSERT_EQ(mkfifo((dir / "P/pipe").c_str(), 0644), 0);
    EXPECT_EQ(compress_path((dir / "P").c_str(), (dir / "p.zip").c_str(), 6), 1);
    EXPECT_EQ(names_of(list_entries(dir / "p.zip")), std::vector<std::string>{"/P/file"});
    EXPECT_EQ(compress_path((dir / "P/pipe").c_str(), (dir / "pipe.zip").c_str(), 6), 0);
    EXPECT_TRUE(exists(dir / "pipe.zip"));
    EXPECT_TRUE(list_entries(dir / "pipe.zip").empty());

    // An unreadable file ends the walk: it stays as an empty entry, and the result is 0.
    run("mkdir -p " + quote(dir / "U") + " " + quote(dir / "out"));
    write_file(dir / "U/secret", "s", 0000);
    chmod((dir / "U").c_str(), 0755);
    chown((dir / "out").c_str(), 65534, 65534);
    std::string src = dir / "U", zip = dir / "out/u.zip";
    EXPECT_EQ(run_unprivileged([&] { return compress_path(src.c_str(), zip.c_str(), 6); }), 0);
    std::vector<Entry> entries = list_entries(zip);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "/U/secret");
    EXPECT_EQ(entries[0].size, 0u);

    // Names past 1023 characters are refused.
    std::string deep = dir / "L";
    std::string comp(200, 'c');
    for (int i = 0; i < 5; i++)
        deep += "/" + comp;
    run("mkdir -p " + quote(deep));
    write_file(deep + "/file-past-the-limit", "x");
    testing::internal::CaptureStderr();
    EXPECT_EQ(compress_path((dir / "L").c_str(), (dir / "l.zip").c_str(), 6), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "combine_paths: path too big\n");
}

TEST(PackCommand, KeepTimesLevelsAndUsage)
{
    ScratchDir dir;
    run("mkdir -p " + quote(dir / "Src"));
    write_file(dir / "Src/a", std::string(5000, 'a'));
    struct utimbuf t = {1500000000, 1400000000};
    utime((dir / "Src").c_str(), &t);
    std::string cmd = "cd " + quote(dir.path) + " && " + ZIPUTIL_BIN;
    ASSERT_EQ(run(cmd + " pack -9 --keep-times Src kept.zip"), 0);
    struct stat st;
    ASSERT_EQ(stat((dir / "kept.zip").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1400000000);
    EXPECT_EQ(st.st_atime, 1500000000);

    ASSERT_EQ(run(cmd + " pack -0 Src zero.zip"), 0);
    EXPECT_GE(list_entries(dir / "zero.zip").at(0).compressed, 5000u);
    EXPECT_EQ(run(cmd + " pack Src/missing x.zip 2>/dev/null"), 1);
    EXPECT_EQ(run(cmd + " pack -x Src x.zip 2>/dev/null"), 2);
    EXPECT_EQ(run(cmd + " pack Src 2>/dev/null"), 2);
    ASSERT_EQ(run(cmd + " list kept.zip > list.txt"), 0);
    EXPECT_NE(read_file(dir / "list.txt").find("100644 deflate"), std::string::npos);
    EXPECT_NE(read_file(dir / "list.txt").find("/Src/a"), std::string::npos);
}
