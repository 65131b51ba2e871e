// Deltas: a tree rebuilt from the installed tree and a delta must be the tree
// a player gets from the full package; damaged, hostile or mismatched input is
// refused with its failure kind and leaves nothing behind.
#include "delta.h"
#include "delta_helpers.h"
#include "helpers.h"
#include "items.h"

#include <sodium.h>
#include <zstd.h>

#include <random>

using namespace testutil;

namespace {

// `data` with `count` bytes overwritten at each of the offsets.
std::string edited(std::string data, std::initializer_list<size_t> offsets, size_t count = 64)
{
    for (size_t at : offsets)
        for (size_t i = 0; i < count && at + i < data.size(); i++)
            data[at + i] = char(data[at + i] ^ 0x5a);
    return data;
}

void link_at(const std::string &root, const std::string &path, const std::string &target)
{
    make_dirs_for(root + "/" + path);
    ASSERT_EQ(symlink(target.c_str(), (root + "/" + path).c_str()), 0) << path;
}

// Everything a player could tell apart: paths, types, modes, sizes, link
// targets, content hashes and user attributes.
std::string describe(const std::string &tree)
{
    return snapshot(tree) + output_of("cd " + quote(tree) + " && find . -type f -print0 | sort -z | xargs -0 -r sha256sum") +
           output_of("cd " + quote(tree) + " && find . -print0 | LC_ALL=C sort -z | xargs -0 getfattr -h -d -m '^user\\.' 2>/dev/null");
}

struct Delta : testing::Test {
    ScratchDir dir;
    std::string a = dir / "A/Vantorique.app", b = dir / "B/Vantorique.app";
    std::string delta = dir / "from-1.delta", staged = dir / "staged";
    bool metadata = xattrs_supported(dir.path);
    call_context ctx;

    // What the last call said, for a failed assertion's line.
    std::string tree_error(const std::string &what, int rc)
    {
        return what + ": rc " + std::to_string(rc) + ", " + failure_name(context_failure(&ctx)) + ": " + context_line(&ctx);
    }
    std::string said() { return std::string(failure_name(context_failure(&ctx))) + ": " + context_line(&ctx); }

    // Version 1 and version 2 of a game with every kind of change.
    void make_versions()
    {
        std::string engine = noise(1 << 20, 1), pak = noise(300000, 2), level = noise(50000, 3), exe = noise(200000, 4);
        put(a, "Contents/Info.plist", "<plist>version 1</plist>\n");
        put(a, "Contents/MacOS/Vantorique", exe, 0755);
        put(a, "Contents/Frameworks/libengine.1.dylib", engine, 0755);
        put(a, "Contents/Resources/data.pak", pak);
        put(a, "Contents/Resources/old.txt", "removed in version 2\n");
        put(a, "Contents/Resources/level1.map", level);
        put(a, "Contents/Resources/empty", "");
        link_at(a, "Contents/Resources/readme", "../Info.plist");
        link_at(a, "Contents/Frameworks/Current", "libengine.1.dylib");

        put(b, "Contents/Info.plist", "<plist>version 2</plist>\n");                       // changed
        put(b, "Contents/MacOS/Vantorique", edited(exe, {100, 90000}), 0755);              // changed, executable
        put(b, "Contents/Frameworks/libengine.2.dylib", edited(engine, {5000, 700000}), 0755);  // renamed, changed
        put(b, "Contents/Resources/data.pak", pak);                                        // unchanged
        put(b, "Contents/Resources/maps/level1.map", level);                               // moved
        put(b, "Contents/Resources/empty", "");
        put(b, "Contents/Resources/new.txt", "new in version 2\n", 0600);                  // new
        put(b, "Contents/Resources/tool.sh", "#!/bin/sh\nexit 0\n", 0755);                 // new, executable
        link_at(b, "Contents/Resources/readme", "../Info.plist");                          // unchanged link
        link_at(b, "Contents/Frameworks/Current", "libengine.2.dylib");                    // retargeted link
        link_at(b, "Contents/Resources/maps/first", "level1.map");                         // new link
        if (metadata) {
            for (const char *path : {"Contents/Info.plist", "Contents/Resources/data.pak"})
                ASSERT_EQ(setxattr((b + "/" + path).c_str(), "user.com.vantorique.tag", "v2", 2, 0), 0) << path;
        }
    }

    int make() { return delta_make(a.c_str(), b.c_str(), delta.c_str(), 19, 1, 2, &ctx); }
    int apply(const std::string &from) { return delta_apply(from.c_str(), delta.c_str(), staged.c_str(), &ctx); }
};

}  // namespace

TEST_F(Delta, RebuildsTheTreeThatTheFullPackageUnpacksTo)
{
    make_versions();
    ASSERT_EQ(make(), 1) << tree_error("make", 0);
    std::string before = describe(a);
    ASSERT_EQ(apply(a), 1) << tree_error("apply", 0);
    EXPECT_EQ(describe(a), before) << "the installed tree must only be read";

    std::string zip = dir / "vantorique_osx.zip", full = dir / "full/";
    ASSERT_EQ(pack(b, zip, 9), 1);
    ASSERT_EQ(unpack(zip, full), 1);
    EXPECT_EQ(describe(staged), describe(full + "Vantorique.app"))
        << "the tree rebuilt from the delta must be the tree the full package unpacks to";
    EXPECT_EQ(describe(staged), describe(b)) << "the tree rebuilt from the delta must be the publisher's";

    struct {
        const char *path;
        mode_t mode;
    } modes[] = {{"Contents/MacOS/Vantorique", 0755}, {"Contents/Resources/tool.sh", 0755},
                 {"Contents/Resources/new.txt", 0600}, {"Contents/Resources/data.pak", 0644}};
    for (const auto &m : modes)
        EXPECT_EQ(mode_of(staged + "/" + m.path) & 07777, m.mode) << m.path << ": must keep the publisher's mode";
    EXPECT_TRUE(S_ISLNK(mode_of(staged + "/Contents/Frameworks/Current")))
        << "Contents/Frameworks/Current: must be a link after apply";
    EXPECT_EQ(output_of("readlink " + quote(staged + "/Contents/Frameworks/Current")), "libengine.2.dylib\n")
        << "Contents/Frameworks/Current: must point at the renamed library";
    EXPECT_FALSE(exists(staged + "/Contents/Resources/old.txt")) << "a file removed in version 2 must not come back";
    if (!metadata)
        GTEST_SKIP() << "this file system refuses user attributes; the metadata part is skipped";
    for (const char *path : {"Contents/Info.plist", "Contents/Resources/data.pak"})
        EXPECT_EQ(get_xattr(staged + "/" + path, "user.com.vantorique.tag"), "v2") << path << ": must carry its attribute";
}

TEST_F(Delta, SaysWhatItHolds)
{
    make_versions();
    ASSERT_EQ(make(), 1) << tree_error("make", 0);
    delta_info info;
    ASSERT_EQ(delta_read_info(delta.c_str(), &info, &ctx), 1) << tree_error("info", 0);
    EXPECT_EQ(info.from_version, 1u);
    EXPECT_EQ(info.to_version, 2u);
    EXPECT_EQ(info.files, 8u);
    EXPECT_EQ(info.links, 3u);
    EXPECT_EQ(info.copied, 3u) << "data.pak, the moved map and the empty file come from the installed tree";
    EXPECT_EQ(info.patched, 2u) << "the executable and the renamed library are patched";
}

// A renamed file is patched against its old self: the delta is a sliver of
// the file, which is incompressible.
TEST_F(Delta, PatchesARenamedFileAgainstItsOldSelf)
{
    struct {
        const char *old_path, *new_path, *rule;
    } cases[] = {
        {"Frameworks/libengine.1.dylib", "Frameworks/libengine.2.dylib", "same stem once the version is dropped"},
        {"Frameworks/libfmod-1.2.so", "Frameworks/libfmod.13.so", "same stem, other version style"},
        {"Resources/data.pak", "Resources/content/assets.bin", "most alike by content"},
    };
    unsigned kind = 10;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.rule);
        run("rm -rf " + quote(dir / "A") + " " + quote(dir / "B") + " " + quote(staged));
        std::string data = noise(1 << 20, kind++);
        put(a, c.old_path, data);
        put(a, "Resources/other.bin", noise(1 << 20, 99));
        put(b, c.new_path, edited(data, {1000, 400000, 900000}));
        put(b, "Resources/other.bin", noise(1 << 20, 99));
        ASSERT_EQ(make(), 1) << tree_error("make", 0);
        delta_info info;
        ASSERT_EQ(delta_read_info(delta.c_str(), &info, &ctx), 1);
        EXPECT_EQ(info.patched, 1u) << c.new_path << ": must be patched against " << c.old_path;
        EXPECT_LT(info.payload_bytes, (1u << 20) / 20) << c.new_path << ": the delta must be far smaller than the file";
        ASSERT_EQ(apply(a), 1) << tree_error("apply", 0);
        EXPECT_EQ(read_file(staged + "/" + c.new_path), read_file(b + "/" + c.new_path))
            << c.new_path << ": must hash as the publisher's after apply";
    }
}

TEST_F(Delta, APlayersEditedOrMissingBaseIsNamed)
{
    make_versions();
    ASSERT_EQ(make(), 1) << tree_error("make", 0);
    std::string installed = dir / "installed";
    struct {
        const char *what, *command;
        int failure;
    } cases[] = {
        {"an edited library", "printf X | dd of=Contents/Frameworks/libengine.1.dylib bs=1 seek=10 conv=notrunc status=none",
         FAILURE_BASE_DIFFERS},
        {"a longer unchanged file", "echo more >>Contents/Resources/data.pak", FAILURE_BASE_DIFFERS},
        {"a library turned into a link", "rm Contents/MacOS/Vantorique && ln -s ../Info.plist Contents/MacOS/Vantorique",
         FAILURE_BASE_DIFFERS},
        {"a deleted library", "rm Contents/Frameworks/libengine.1.dylib", FAILURE_BASE_MISSING},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(run("rm -rf " + quote(installed) + " && cp -a " + quote(a) + " " + quote(installed) + " && cd " +
                      quote(installed) + " && " + c.command),
                  0);
        std::string before = describe(installed);
        EXPECT_EQ(apply(installed), 0) << c.what << ": must be refused";
        EXPECT_STREQ(failure_name(context_failure(&ctx)), failure_name(c.failure)) << context_line(&ctx);
        EXPECT_FALSE(exists(staged)) << "the staged folder must be removed after a failure";
        EXPECT_EQ(describe(installed), before) << "the installed tree must be left as it was";
    }
}

// The delta's bytes spoiled in transit or by a liar: refused, with nothing
// written anywhere (the staged folder goes too).
TEST_F(Delta, RefusesADamagedDelta)
{
    make_versions();
    ASSERT_EQ(make(), 1) << tree_error("make", 0);
    std::string good = read_file(delta);
    auto le = [&](size_t at, int bytes) {
        uint64_t v = 0;
        for (int i = 0; i < bytes; i++)
            v |= uint64_t(uint8_t(good[at + i])) << (8 * i);
        return v;
    };
    size_t table = size_t(le(24, 8));
    auto with = [&](std::string d, size_t at, uint64_t value, int bytes) {
        for (int i = 0; i < bytes; i++)
            d[at + i] = char((value >> (8 * i)) & 0xFF);
        return d;
    };
    // Re-hashes the header, as a liar would, so only the bounds checks stand.
    auto rehashed = [&](std::string d) {
        crypto_generichash(reinterpret_cast<unsigned char *>(&d[80]), 32, reinterpret_cast<const unsigned char *>(d.data()),
                           80, nullptr, 0);
        return d;
    };
    // The same payloads with an edited table, sealed again.
    auto relaid = [&](uint64_t count, void (*edit)(std::string &)) {
        std::string raw(size_t(le(40, 8)), '\0');
        EXPECT_EQ(ZSTD_decompress(&raw[0], raw.size(), &good[table], good.size() - table), raw.size());
        edit(raw);
        std::string sealed = delta::compress_table(raw);
        delta::header h{1, 2, count, table, 0, 0};
        return delta::encode_header(h, sealed, raw.size()) + good.substr(112, table - 112) + sealed;
    };
    uint64_t count = le(20, 4);
    ASSERT_EQ(sodium_init() >= 0, true);
    struct {
        const char *what;
        std::string bytes;
        int failure;
    } cases[] = {
        {"a flipped byte in a payload", edited(good, {200}, 1), FAILURE_DAMAGED},
        {"a flipped byte in the table", edited(good, {table + 3}, 1), FAILURE_DAMAGED},
        {"a flipped byte in the header", edited(good, {13}, 1), FAILURE_DAMAGED},
        {"a truncated delta", good.substr(0, good.size() - 10), FAILURE_DAMAGED},
        {"half a delta", good.substr(0, good.size() / 2), FAILURE_DAMAGED},
        {"a header alone", good.substr(0, 112), FAILURE_DAMAGED},
        {"an empty file", "", FAILURE_DAMAGED},
        {"not a delta", std::string(4096, 'P'), FAILURE_DAMAGED},
        {"a lying item count", relaid(count + 1, [](std::string &) {}), FAILURE_DAMAGED},
        {"a lying path length", relaid(count, [](std::string &raw) { raw[0] = raw[1] = char(0xFF); }), FAILURE_DAMAGED},
        {"a lying uncompressed table size", rehashed(with(good, 40, le(40, 8) + 1, 8)), FAILURE_DAMAGED},
        {"a table that does not end the file", rehashed(with(good, 32, le(32, 8) - 1, 8)), FAILURE_DAMAGED},
        {"a later format", rehashed(with(good, 8, 3, 4)), FAILURE_UNSUPPORTED},
    };
    std::string outside = describe(dir.path);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        write_file(delta, c.bytes);
        EXPECT_EQ(apply(a), 0) << c.what << ": must be refused";
        EXPECT_STREQ(failure_name(context_failure(&ctx)), failure_name(c.failure)) << context_line(&ctx);
        EXPECT_FALSE(exists(staged)) << c.what << ": the staged folder must be removed";
        write_file(delta, good);
        EXPECT_EQ(describe(dir.path), outside) << c.what << ": nothing may be written outside the staged folder";
    }
}

// Deltas written by hand, as an attacker would, each with one bad item.
TEST_F(Delta, RefusesHostilePathsAndLinks)
{
    using namespace delta;
    put(a, "lib.so", "old");
    auto file = [](const std::string &path) {
        item it;
        it.path = path;
        it.type = ITEM_FILE;
        it.mode = 0644;
        it.source = SOURCE_COPY;
        it.base_path = "lib.so";
        it.base_size = 3;
        it.size = 3;
        it.base_hash = it.hash = hash_bytes(reinterpret_cast<const unsigned char *>("old"), 3);
        return it;
    };
    item bad_base = file("x");
    bad_base.base_path = "../A/Vantorique.app/lib.so";
    struct {
        const char *what;
        std::vector<item> items;
    } cases[] = {
        {"an absolute path", {file("/tmp/x")}},
        {"a \"..\" path", {file("../x")}},
        {"a \"..\" inside a path", {folder_item("a"), file("a/../../x")}},
        {"a NUL in a name", {file(std::string("a\0b", 3))}},
        {"a name over 1023 bytes", {file(std::string(1024, 'n'))}},
        {"an empty component", {folder_item("a"), file("a//x")}},
        {"a file in a folder the delta does not make", {file("missing/x")}},
        {"a file below a link", {link_item("l", "."), file("l/x")}},
        {"an absolute link", {link_item("l", "/etc/passwd")}},
        {"a link climbing out", {link_item("l", "../outside")}},
        {"a link climbing out through another link", {folder_item("d"), link_item("d/up", ".."), link_item("esc", "d/up/..")}},
        {"a base outside the installed tree", {bad_base}},
    };
    std::string outside = describe(dir.path);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::string raw = encode_table(c.items), table = compress_table(raw);
        header h{1, 2, c.items.size(), kHeaderSize, 0, 0};
        write_file(delta, encode_header(h, table, raw.size()) + table);
        EXPECT_EQ(apply(a), 0) << c.what << ": must be refused";
        EXPECT_STREQ(failure_name(context_failure(&ctx)), "FAILURE_REFUSED") << context_line(&ctx);
        EXPECT_FALSE(exists(staged)) << c.what << ": the staged folder must be removed";
        unlink(delta.c_str());
        EXPECT_EQ(describe(dir.path), outside) << c.what << ": nothing may be written outside the staged folder";
    }
}

TEST_F(Delta, BuildsOnlyIntoANewOrEmptyFolder)
{
    make_versions();
    ASSERT_EQ(make(), 1) << tree_error("make", 0);
    put(staged, "keep.txt", "mine");
    EXPECT_EQ(apply(a), 0);
    EXPECT_STREQ(failure_name(context_failure(&ctx)), "FAILURE_REFUSED") << context_line(&ctx);
    EXPECT_EQ(read_file(staged + "/keep.txt"), "mine") << "staged/keep.txt: a folder in use must be left alone";
    ASSERT_EQ(unlink((staged + "/keep.txt").c_str()), 0);
    EXPECT_EQ(apply(a), 1) << tree_error("apply into an empty folder", 0);
}

// A delta whose tree would not fit: refused before anything is written.
TEST_F(Delta, SaysWhenTheDiskIsTooSmall)
{
    using namespace delta;
    put(a, "lib.so", "old");
    item huge;
    huge.path = "huge.dat";
    huge.type = ITEM_FILE;
    huge.mode = 0644;
    huge.size = 1ull << 49;  // 512 TiB
    huge.source = SOURCE_WHOLE;
    huge.payload_offset = kHeaderSize;
    huge.payload_size = 16;
    std::string payload(16, 'z');
    huge.payload_hash = hash_bytes(reinterpret_cast<const unsigned char *>(payload.data()), payload.size());
    std::string raw = encode_table({huge}), table = compress_table(raw);
    header h{1, 2, 1, kHeaderSize + payload.size(), 0, 0};
    write_file(delta, encode_header(h, table, raw.size()) + payload + table);
    std::string outside = describe(dir.path);
    EXPECT_EQ(apply(a), 0) << "a 512 TiB tree must be refused";
    EXPECT_STREQ(failure_name(context_failure(&ctx)), "FAILURE_NO_SPACE") << context_line(&ctx);
    EXPECT_FALSE(exists(staged)) << "the staged folder must be removed";
    EXPECT_EQ(describe(dir.path), outside) << "nothing may be written for a tree that does not fit";
}

// An unchanged file enters the staged tree as the installed file itself (a
// hard link: nothing written), but never where the staged file needs a
// change: a new mode, metadata, or a second name that a full install would
// give a file of its own. Those are files of their own, and writing to them
// leaves the installed game as it was.
TEST_F(Delta, KeepsUnchangedFilesAsLinksNeverSharingOneThatChanges)
{
    std::string kept = noise(200000, 7), script = "#!/bin/sh\nexit 0\n", twice = noise(30000, 8), tagged = noise(9000, 9);
    put(a, "Contents/kept.pak", kept);
    put(a, "Contents/run.sh", script, 0644);
    put(a, "Contents/twice.dat", twice);
    put(a, "Contents/tagged.dat", tagged);
    put(b, "Contents/kept.pak", kept);
    put(b, "Contents/run.sh", script, 0755);  // made executable
    put(b, "Contents/twice.dat", twice);
    put(b, "Contents/twice-again.dat", twice);  // a second name for the same content
    put(b, "Contents/tagged.dat", tagged);
    if (metadata) {
        ASSERT_EQ(setxattr((b + "/Contents/tagged.dat").c_str(), "user.com.vantorique.tag", "v2", 2, 0), 0);
    }
    ASSERT_EQ(make(), 1) << said();
    ASSERT_EQ(apply(a), 1) << said();
    EXPECT_EQ(describe(staged), describe(b)) << "the staged tree must be the publisher's version 2";
    auto inode = [](const std::string &path) {
        struct stat st {};
        lstat(path.c_str(), &st);
        return st.st_ino;
    };
    EXPECT_EQ(inode(staged + "/Contents/kept.pak"), inode(a + "/Contents/kept.pak"))
        << "Contents/kept.pak: unchanged, must be the installed file linked, not written again";
    EXPECT_NE(inode(staged + "/Contents/run.sh"), inode(a + "/Contents/run.sh"))
        << "Contents/run.sh: its mode changed, so it must be a file of its own";
    EXPECT_EQ(mode_of(a + "/Contents/run.sh") & 07777, 0644u) << "Contents/run.sh: the installed file's mode must not change";
    EXPECT_NE(inode(staged + "/Contents/twice.dat"), inode(staged + "/Contents/twice-again.dat"))
        << "two names for one content must be two files, as a full install gives";
    if (metadata) {
        EXPECT_NE(inode(staged + "/Contents/tagged.dat"), inode(a + "/Contents/tagged.dat"))
            << "Contents/tagged.dat: gains metadata, so it must be a file of its own";
    }
    // The name of the two that is not the installed file is a file of its own.
    std::string own = inode(staged + "/Contents/twice.dat") == inode(a + "/Contents/twice.dat") ? "twice-again.dat" : "twice.dat";
    write_file(staged + "/Contents/run.sh", "changed after staging");
    write_file(staged + "/Contents/" + own, "changed after staging");
    EXPECT_TRUE(read_file(a + "/Contents/run.sh") == script) << "Contents/run.sh: a write to its staged copy reached the installed game";
    EXPECT_TRUE(read_file(a + "/Contents/twice.dat") == twice)
        << "Contents/" << own << ": a write to its staged copy reached the installed game";
}
