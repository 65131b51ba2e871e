// The Mac metadata layer: packing user attributes, Finder Info, resource
// fork and ACL into an AppleDouble stream, and applying such streams back.
#include "copyfile.h"
#include "helpers.h"

#include <string.h>

#include <map>

using namespace testutil;

namespace {

int pack(const std::string &from, const std::string &to)
{
    return copyfile(from.c_str(), to.c_str(), nullptr, ZIPUTIL_COPYFILE_PACK_FLAGS);
}

int unpack(const std::string &from, const std::string &to)
{
    return copyfile(from.c_str(), to.c_str(), nullptr, ZIPUTIL_COPYFILE_UNPACK_FLAGS);
}

std::map<std::string, std::string> user_attributes(const std::string &path)
{
    std::map<std::string, std::string> out;
    char list[65536];
    ssize_t n = llistxattr(path.c_str(), list, sizeof list);
    for (ssize_t at = 0; at < n; at += ssize_t(strlen(list + at)) + 1)
        if (strncmp(list + at, "user.", 5) == 0)
            out[list + at] = get_xattr(path, list + at);
    return out;
}

void set_attr(const std::string &path, const std::string &name, const std::string &value)
{
    ASSERT_EQ(setxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0), 0) << name;
}

struct Bytes {
    std::string s;
    Bytes &u8(unsigned v) { s += char(v); return *this; }
    Bytes &u16(unsigned v) { return u8(v >> 8).u8(v & 0xff); }
    Bytes &u32(uint32_t v) { return u16(v >> 16).u16(v & 0xffff); }
    Bytes &text(const std::string &t) { s += t; return *this; }
    Bytes &zeros(size_t n) { s.append(n, '\0'); return *this; }
};

// A well-formed stream holding `attrs` (names of one character).
std::string stream_of(const std::vector<std::pair<char, std::string>> &attrs)
{
    uint32_t start = 120 + 16 * uint32_t(attrs.size()), length = 0;
    for (auto &a : attrs)
        length += uint32_t(a.second.size());
    Bytes s;
    s.u32(0x00051607).u32(0x00020000).text("Mac OS X        ").u16(2);
    s.u32(9).u32(50).u32(start + length - 50).u32(2).u32(start + length).u32(0).zeros(34);
    s.text("ATTR").u32(0).u32(start + length).u32(start).u32(length).zeros(12).u16(0).u16(uint32_t(attrs.size()));
    uint32_t at = start;
    for (auto &a : attrs) {
        s.u32(at).u32(uint32_t(a.second.size())).u16(0).u8(2).text({a.first, '\0'}).zeros(3);
        at += uint32_t(a.second.size());
    }
    for (auto &a : attrs)
        s.text(a.second);
    return s.s;
}

class AppleDouble : public testing::Test {
protected:
    void SetUp() override
    {
        if (!xattrs_supported(dir.path))
            GTEST_SKIP() << "this file system refuses user attributes; metadata tests skipped";
    }
    ScratchDir dir;
};

}  // namespace

TEST_F(AppleDouble, LaysOutTheStreamExactlyAsMacOSDoes)
{
    std::string file = dir / "f", stream = dir / "stream";
    write_file(file, "data");
    set_attr(file, "user.b", "xy");
    set_attr(file, "user.a", "");
    set_attr(file, "user.com.apple.FinderInfo", std::string(32, 'F'));
    setxattr(file.c_str(), "trusted.ignored", "x", 1, 0);  // root only; never packed
    ASSERT_EQ(pack(file, stream), 0);

    Bytes want;
    want.u32(0x00051607).u32(0x00020000).text("Mac OS X        ").u16(2);
    want.u32(9).u32(50).u32(154 - 50);
    want.u32(2).u32(154).u32(0);
    want.text(std::string(32, 'F')).zeros(2);
    want.text("ATTR").u32(0).u32(154).u32(152).u32(2).zeros(12).u16(0).u16(2);
    want.u32(0).u32(0).u16(0).u8(2).text(std::string("a\0", 2)).zeros(3);  // empty value: offset 0
    want.u32(152).u32(2).u16(0).u8(2).text(std::string("b\0", 2)).zeros(3);
    want.text("xy");
    EXPECT_EQ(read_file(stream), want.s);
}

TEST_F(AppleDouble, NothingToCarryMeansNoStream)
{
    std::string file = dir / "plain", link = dir / "link", stream = dir / "stream";
    write_file(file, "data");
    ASSERT_EQ(symlink("plain", link.c_str()), 0);
    EXPECT_LT(pack(file, stream), 0);
    EXPECT_LT(pack(link, stream), 0);
    EXPECT_FALSE(exists(stream));
    EXPECT_LT(pack(dir / "missing", stream), 0);
}

TEST_F(AppleDouble, RoundTripCarriesAttributesFinderInfoResourceForkAndAcl)
{
    std::string from = dir / "from", to = dir / "to", stream = dir / "stream", binary;
    for (int i = 0; i < 256; i++)
        binary += char(i);
    write_file(from, "payload");
    write_file(to, "other");
    for (auto &[name, value] : std::map<std::string, std::string>{
             {"empty", ""}, {"one", "1"}, {"binary", binary}, {"big", std::string(1500, 'B')},
             {"com.apple.FinderInfo", "TEXTttxt" + std::string(24, '\0')}, {"com.apple.ResourceFork", "fork\n"}})
        set_attr(from, "user." + name, value);
    ASSERT_EQ(run("setfacl -m u:nobody:r-- " + quote(from)), 0);
    set_attr(to, "user.stale", "must go");  // the stream replaces what was there

    ASSERT_EQ(pack(from, stream), 0);
    ASSERT_EQ(unpack(stream, to), 0);
    EXPECT_EQ(user_attributes(to), user_attributes(from));
    EXPECT_EQ(user_attributes(to).size(), 6u);
    EXPECT_EQ(output_of("getfacl -c " + quote(to)), output_of("getfacl -c " + quote(from)));
    EXPECT_NE(output_of("getfacl -c " + quote(to)).find("user:nobody:r--"), std::string::npos);
    EXPECT_EQ(read_file(to), "other");
}

// Each sample applies as macOS wrote it, and every cut of it is refused
// without touching the target.
TEST_F(AppleDouble, AppliesTheMacOSSamplesAndRefusesEveryCutOfThem)
{
    REQUIRE_SHARED_TESTDATA(data);
    const std::string ad = data + "/appledouble/";
    struct Case {
        const char *file;
        std::map<std::string, std::string> attrs;
    } cases[] = {
        {"four_attrs_._myfile",
         {{"user.com.opcoders.a_first", "first"},
          {"user.com.opcoders.b_second", "second"},
          {"user.com.opcoders.c_empty", ""},
          {"user.com.opcoders.d_last", "last"}}},
        {"sidecar_._apple_double_dir_test",
         {{"user.com.apple.quarantine", std::string("q/0083;00000000;;\0", 18)}}},
        {"sidecar_._test_file", {{"user.com.apple.ResourceFork", "resource fork\n"}}},
        {"ditto_rsrc_._file-rsrc-content.bin", {{"user.com.apple.ResourceFork", "rsrc"}}},
        {"acl_._file3", {}},     // a macOS ACL: passed over, not an error
        {"acl_old_._file", {}},  // older writer, non-zero debug tag
    };
    std::string stream = dir / "stream";
    for (const Case &c : cases) {
        std::string target = dir / c.file, whole = read_file(ad + c.file);
        write_file(target, "x");
        set_attr(target, "user.keep", "kept");
        for (size_t len = 0; len < whole.size(); len++) {
            write_file(stream, whole.substr(0, len));
            EXPECT_NE(unpack(stream, target), 0) << c.file << " cut at " << len;
        }
        EXPECT_EQ(get_xattr(target, "user.keep"), "kept");
        EXPECT_EQ(unpack(ad + c.file, target), 0) << c.file;
        EXPECT_EQ(user_attributes(target), c.attrs) << c.file;
        EXPECT_EQ(get_xattr(target, "system.posix_acl_access"), "<missing>");  // a macOS ACL is passed over
    }
}

TEST_F(AppleDouble, CorruptHeaderFieldsAreRefused)
{
    // A valid stream with one attribute "n" = "v" (R = 137), then each field broken.
    const std::string good = stream_of({{'n', "v"}});
    ASSERT_EQ(good.size(), 137u);
    std::string target = dir / "target", stream = dir / "stream";
    write_file(target, "x");
    write_file(stream, good);
    ASSERT_EQ(unpack(stream, target), 0);
    EXPECT_EQ(get_xattr(target, "user.n"), "v");
    removexattr(target.c_str(), "user.n");

    auto with = [&](size_t at, std::string bytes) {
        std::string s = good;
        s.replace(at, bytes.size(), bytes);
        return s;
    };
    auto be32 = [](uint32_t v) { return Bytes().u32(v).s; };
    struct Case {
        const char *what;
        std::string stream;
    } cases[] = {
        {"magic", with(0, be32(0x00051600))},
        {"version", with(4, be32(0x00010000))},
        {"entry count", with(24, Bytes().u16(3).s)},
        {"finder info id", with(26, be32(3))},
        {"finder info length", with(34, be32(0xffffffff))},
        {"finder info offset", with(30, be32(0xfffffff0))},
        {"resource fork extent", with(42, be32(130) + be32(100))},
        {"attribute magic", with(84, "ATTX")},
        {"total size", with(92, be32(138))},
        {"data start", with(96, be32(100))},
        {"data length", with(100, be32(0xfffffff0))},
        {"too many attributes", with(118, Bytes().u16(0xffff).s)},
        {"value offset", with(120, be32(0xfffffffe))},
        {"value length", with(124, be32(2))},
        {"name length 0", with(130, Bytes().u8(0).s)},
        {"name length 1", with(130, Bytes().u8(1).s)},
        {"name length 200", with(130, Bytes().u8(200).s)},
        {"missing NUL", with(131, "nn")},
        {"NUL inside name", with(130, Bytes().u8(3).s + std::string("\0\0\0", 3))},
    };
    for (const Case &c : cases) {
        write_file(stream, c.stream);
        EXPECT_NE(unpack(stream, target), 0) << c.what;
        EXPECT_EQ(get_xattr(target, "user.n"), "<missing>") << c.what;
    }
}

TEST_F(AppleDouble, RefusedAttributesAreReportedAndTheRestApplied)
{
    // ext4 keeps about 4 KB of attributes per inode: a 60 KB value cannot land.
    std::string big(60000, 'b');
    std::string target = dir / "target", stream = dir / "stream";
    write_file(target, "x");
    write_file(stream, stream_of({{'a', big}, {'z', "ok"}}));
    testing::internal::CaptureStdout();
    int rc = unpack(stream, target);
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(get_xattr(target, "user.z"), "ok");
    if (get_xattr(target, "user.a") == "<missing>") {
        EXPECT_NE(out.find("Could not set attribute a on " + target + ": "), std::string::npos) << out;
    } else {
        EXPECT_EQ(get_xattr(target, "user.a"), big);  // a file system with room for it
    }
}
