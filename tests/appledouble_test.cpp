// The Mac metadata layer: packing user attributes, Finder Info, resource
// fork and ACL into an AppleDouble stream, and applying such streams back.
#include "macmeta.h"
#include "helpers.h"

#include <errno.h>
#include <string.h>

#include <map>
#include <numeric>

using namespace testutil;

namespace {

int pack_stream(const std::string &from, const std::string &to)
{
    return copyfile(from.c_str(), to.c_str(), nullptr, MACMETA_PACK_FLAGS);
}
int apply_stream(const std::string &from, const std::string &to)
{
    return copyfile(from.c_str(), to.c_str(), nullptr, MACMETA_UNPACK_FLAGS);
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

// Bytes from hex digits; spaces are for the reader.
std::string bytes(const std::string &hex)
{
    std::string out;
    for (size_t at = 0; (at = hex.find_first_not_of(' ', at)) != std::string::npos; at += 2)
        out += char(std::stoi(hex.substr(at, 2), nullptr, 16));
    return out;
}

const std::string kHeader = bytes("00051607 00020000 4d6163204f5320582020202020202020 0002");

struct AppleDouble : testing::Test {
    ScratchDir dir;
    void SetUp() override
    {
        if (!xattrs_supported(dir.path))
            GTEST_SKIP() << "this file system refuses user attributes; metadata tests skipped";
    }
};

}  // namespace

TEST_F(AppleDouble, LaysOutTheStreamExactlyAsMacOSDoesAndOnlyWhenThereIsSomethingToCarry)
{
    std::string file = dir / "f", plain = dir / "plain", link = dir / "link", stream = dir / "stream";
    write_file(file, "data");
    write_file(plain, "data");
    ASSERT_EQ(symlink("plain", link.c_str()), 0);
    for (const std::string &nothing : {plain, link, dir / "missing"})
        EXPECT_LT(pack_stream(nothing, stream), 0) << nothing;
    EXPECT_FALSE(exists(stream));

    set_attr(file, "user.b", "xy");
    set_attr(file, "user.a", "");
    set_attr(file, "user.com.apple.FinderInfo", std::string(32, 'F'));
    setxattr(file.c_str(), "trusted.ignored", "x", 1, 0);  // root only; never packed
    ASSERT_EQ(pack_stream(file, stream), 0);
    EXPECT_EQ(read_file(stream), kHeader + bytes("00000009 00000032 00000068  00000002 0000009a 00000000") +
                                     std::string(32, 'F') +
                                     bytes("0000 41545452 00000000 0000009a 00000098 00000002 000000000000000000000000 0000 0002"
                                           "00000000 00000000 0000 02 6100 000000"  // an empty value has offset 0
                                           "00000098 00000002 0000 02 6200 000000  7879"));
}

TEST_F(AppleDouble, RoundTripCarriesAttributesFinderInfoResourceForkAndAcl)
{
    std::string from = dir / "from", to = dir / "to", stream = dir / "stream", binary(256, '\0');
    std::iota(binary.begin(), binary.end(), '\0');
    write_file(from, "payload");
    write_file(to, "other");
    for (auto &[name, value] : std::map<std::string, std::string>{
             {"empty", ""}, {"one", "1"}, {"binary", binary}, {"big", std::string(1500, 'B')},
             {"com.apple.FinderInfo", "TEXTttxt" + std::string(24, '\0')}, {"com.apple.ResourceFork", "fork\n"}})
        set_attr(from, "user." + name, value);
    ASSERT_EQ(run("setfacl -m u:nobody:r-- " + quote(from)), 0);
    set_attr(to, "user.stale", "must go");  // the stream replaces what was there

    ASSERT_EQ(pack_stream(from, stream), 0);
    ASSERT_EQ(apply_stream(stream, to), 0);
    EXPECT_EQ(user_attributes(to), user_attributes(from));
    EXPECT_EQ(user_attributes(to).size(), 6u);
    EXPECT_EQ(output_of("getfacl -c " + quote(to)), output_of("getfacl -c " + quote(from)));
    EXPECT_EQ(read_file(to), "other");
}

// Each sample applies as macOS wrote it, and every cut of it is refused
// without touching the target.
TEST_F(AppleDouble, AppliesTheMacOSSamplesAndRefusesEveryCutOfThem)
{
    REQUIRE_SHARED_TESTDATA(data);
    struct Case { const char *file; std::map<std::string, std::string> attrs; } cases[] = {
        {"four_attrs_._myfile", {{"user.com.opcoders.a_first", "first"}, {"user.com.opcoders.b_second", "second"},
                                 {"user.com.opcoders.c_empty", ""}, {"user.com.opcoders.d_last", "last"}}},
        {"sidecar_._apple_double_dir_test", {{"user.com.apple.quarantine", std::string("q/0083;00000000;;\0", 18)}}},
        {"sidecar_._test_file", {{"user.com.apple.ResourceFork", "resource fork\n"}}},
        {"ditto_rsrc_._file-rsrc-content.bin", {{"user.com.apple.ResourceFork", "rsrc"}}},
        {"acl_._file3", {}},     // a macOS ACL: passed over, not an error
        {"acl_old_._file", {}},  // older writer, non-zero debug tag
    };
    std::string stream = dir / "stream";
    for (const Case &c : cases) {
        std::string target = dir / c.file, whole = read_file(data + "/appledouble/" + c.file);
        write_file(target, "x");
        set_attr(target, "user.keep", "kept");
        for (size_t len = 0; len < whole.size(); len++) {
            write_file(stream, whole.substr(0, len));
            EXPECT_NE(apply_stream(stream, target), 0) << c.file << " cut at " << len;
        }
        EXPECT_EQ(get_xattr(target, "user.keep"), "kept");
        EXPECT_EQ(apply_stream(data + "/appledouble/" + c.file, target), 0) << c.file;
        EXPECT_EQ(user_attributes(target), c.attrs) << c.file;
        EXPECT_EQ(get_xattr(target, "system.posix_acl_access"), "<missing>");
    }
}

TEST_F(AppleDouble, CorruptHeaderFieldsAreRefusedAndRefusedAttributesReported)
{
    // One attribute "n" = "v" (R = 137), then each field broken.
    const std::string good = kHeader + bytes("00000009 00000032 00000057  00000002 00000089 00000000") +
                             std::string(34, '\0') +
                             bytes("41545452 00000000 00000089 00000088 00000001 000000000000000000000000 0000 0001"
                                   "00000088 00000001 0000 02 6e00 000000  76");
    std::string target = dir / "target", stream = dir / "stream", fifo = dir / "fifo";
    write_file(target, "x");
    write_file(stream, good);
    ASSERT_EQ(apply_stream(stream, target), 0);
    EXPECT_EQ(get_xattr(target, "user.n"), "v");
    removexattr(target.c_str(), "user.n");

    // Linux refuses user attributes on a FIFO: reported, not a failure.
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(apply_stream(stream, fifo), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Could not set attribute n on " + fifo + ": Operation not permitted\n");

    struct Case { const char *what; size_t at; std::string bytes; } cases[] = {
        {"magic", 0, bytes("00051600")}, {"version", 4, bytes("00010000")}, {"entry count", 24, bytes("0003")},
        {"finder info id", 26, bytes("00000003")}, {"finder info length", 34, bytes("ffffffff")},
        {"finder info offset", 30, bytes("fffffff0")}, {"resource fork extent", 42, bytes("00000082 00000064")},
        {"attribute magic", 84, "ATTX"}, {"total size", 92, bytes("0000008a")}, {"data start", 96, bytes("00000064")},
        {"data length", 100, bytes("fffffff0")}, {"too many attributes", 118, bytes("ffff")},
        {"value offset", 120, bytes("fffffffe")}, {"value length", 124, bytes("00000002")},
        {"name length 0", 130, bytes("00")}, {"name length 1", 130, bytes("01")}, {"name length 200", 130, bytes("c8")},
        {"missing NUL", 131, "nn"}, {"NUL inside name", 130, bytes("03000000")},
        // Offset + length past 2^32, wrapping to within the stream's 137 bytes.
        {"resource fork offset + length wraps 32 bits", 42, bytes("ffffff80 00000100")},
        {"value offset + length wraps 32 bits", 120, bytes("fffffff0 00000099")},
        {"data start + data length wraps 32 bits", 96, bytes("00000088 ffffff79")},
    };
    for (const Case &c : cases) {
        write_file(stream, std::string(good).replace(c.at, c.bytes.size(), c.bytes));
        EXPECT_NE(apply_stream(stream, target), 0) << c.what << ": a stream broken so must be refused";
        EXPECT_EQ(get_xattr(target, "user.n"), "<missing>") << c.what << ": target/user.n set from a refused stream";
    }
}

// A header present but shorter than its fields: the two-entry header needs
// 50 bytes, an attribute block the 120-byte attribute header. Exactly
// enough applies; one byte less is refused with the fault named.
TEST_F(AppleDouble, HeadersOneByteShortAreRefusedAndExactlyLongEnoughApply)
{
    std::string target = dir / "target", stream = dir / "stream";
    write_file(target, "x");
    // Finder info of length 0 at 50: nothing past the two entries.
    const std::string two_entries = kHeader + bytes("00000009 00000032 00000000  00000002 00000032 00000000");
    // Finder info of 70 bytes: an attribute header (no attributes) must follow.
    const std::string attribute_block = kHeader + bytes("00000009 00000032 00000046  00000002 00000078 00000000") +
                                        std::string(34, '\0') +
                                        bytes("41545452 00000000 00000078 00000078 00000000 000000000000000000000000 0000 0000");
    ASSERT_EQ(two_entries.size(), 50u);
    ASSERT_EQ(attribute_block.size(), 120u);
    struct Case { const char *what; std::string bytes; int rc; const char *fault; } cases[] = {
        {"two entries, 50 bytes", two_entries, 0, ""},
        {"two entries cut to 49 bytes", two_entries.substr(0, 49), -1, "not an AppleDouble stream with two entries"},
        {"attribute header, 120 bytes", attribute_block, 0, ""},
        {"attribute header cut to 119 bytes", attribute_block.substr(0, 119), -1,
         "its Finder info is missing or runs past the stream's end"},
        {"attribute header cut to 116 bytes, Finder info shortened to fit", std::string(attribute_block).replace(34, 4, bytes("00000042")).substr(0, 116),
         -1, "no attribute header after the Finder info"},
    };
    for (const Case &c : cases) {
        write_file(stream, c.bytes);
        std::string fault;
        std::vector<std::string> notes;
        errno = 0;
        EXPECT_EQ(macmeta::apply_stream(stream.c_str(), target.c_str(), fault, notes), c.rc) << c.what;
        if (c.rc != 0) {
            EXPECT_EQ(errno, EINVAL) << c.what << ": a malformed stream is EINVAL";
            EXPECT_EQ(fault, c.fault) << c.what << ": the fault named";
        }
        EXPECT_TRUE(notes.empty()) << c.what << ": nothing to report";
    }
}
