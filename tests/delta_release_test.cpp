// Publishing at scale: a release's index read back as another tool reads the
// package, deltas made from an earlier release without unpacking it, files
// patched in segments, programs by the suffix-array engine, a delta of the
// first format still applied, and the same tree from one worker or many.
#include "delta.h"
#include "helpers.h"
#include "items.h"

#include <sodium.h>
#include <zstd.h>

#include <random>

using namespace testutil;
using namespace delta;

namespace {

std::string noise(size_t size, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string out(size, '\0');
    for (char &c : out)
        c = char(gen());
    return out;
}

void put(const std::string &root, const std::string &path, const std::string &data, mode_t mode = 0644)
{
    run("mkdir -p " + quote((root + "/" + path).substr(0, (root + "/" + path).rfind('/'))));
    write_file(root + "/" + path, data, mode);
}

// Info-ZIP's package of `parent`/Vantorique.app, links kept as links.
void zip_game(const std::string &parent, const std::string &zip)
{
    ASSERT_EQ(run("cd " + quote(parent) + " && zip -q -r -y -6 " + quote(zip) + " Vantorique.app"), 0)
        << "Info-ZIP could not pack " << parent;
}

struct Release : testing::Test {
    ScratchDir dir;
    std::string v1 = dir / "v1/Vantorique.app", v2 = dir / "v2/Vantorique.app";
    std::string zip1 = dir / "v1.zip", index1 = dir / "v1.index", delta = dir / "2.delta", staged = dir / "staged";
    call_context ctx;
    std::string said() { return std::string(failure_name(context_failure(&ctx))) + ": " + context_line(&ctx); }

    void SetUp() override
    {
        ASSERT_GE(sodium_init(), 0);
        std::string pak = noise(3 << 20, 1), lib = noise(1 << 20, 2);
        put(v1, "Contents/Resources/pack.dat", pak);
        put(v1, "Contents/Resources/same.dat", noise(200000, 3));
        put(v1, "Contents/Frameworks/libengine.1.dylib", lib, 0755);
        put(v1, "Contents/Info.plist", "<plist>1</plist>\n");
        ASSERT_EQ(symlink("libengine.1.dylib", (v1 + "/Contents/Frameworks/Current").c_str()), 0);
        ASSERT_EQ(run("cp -a " + quote(dir / "v1") + " " + quote(dir / "v2")), 0);
        std::string pak2 = pak;
        pak2.insert(1 << 20, noise(5000, 4));
        pak2.replace(2 << 20, 3000, noise(3000, 5));
        put(v2, "Contents/Resources/pack.dat", pak2);
        std::string lib2 = lib;
        lib2.replace(500000, 100, noise(100, 6));
        ASSERT_EQ(run("rm " + quote(v2 + "/Contents/Frameworks/libengine.1.dylib")), 0);
        put(v2, "Contents/Frameworks/libengine.2.dylib", lib2, 0755);
        put(v2, "Contents/Info.plist", "<plist>2</plist>\n");
        zip_game(dir / "v1", zip1);
    }
    int apply_to_v1() { return delta_apply(v1.c_str(), delta.c_str(), staged.c_str(), &ctx); }
    void expect_v2(const std::string &how)
    {
        EXPECT_EQ(snapshot(staged), snapshot(v2)) << how << ": the staged tree must be version 2";
        run("rm -rf " + quote(staged));
    }
};

}  // namespace

// The index names each entry where Python's zipfile finds it, and each hash
// is the BLAKE2b-256 of the file's bytes.
TEST_F(Release, TheIndexNamesEachEntryAsAnotherReaderFindsIt)
{
    ASSERT_EQ(index_write(v1.c_str(), zip1.c_str(), 1, index1.c_str(), &ctx), 1) << said();
    release_index index;
    ASSERT_EQ(index_read(index1.c_str(), &index, &ctx), 1) << said();
    EXPECT_EQ(index.version, 1u);
    std::string ours;
    for (const release_item &r : index.items) {
        if (r.type != ITEM_FILE)
            continue;
        char hex[65];
        sodium_bin2hex(hex, sizeof hex, r.hash.data(), r.hash.size());
        ours += r.path + " " + std::to_string(r.entry_offset) + " " + std::to_string(r.entry_compressed) + " " +
                std::to_string(r.entry_size) + " " + hex + "\n";
    }
    std::string theirs = output_of(
        "python3 -c \"import zipfile,hashlib,sys\n"
        "z=zipfile.ZipFile(sys.argv[1])\n"
        "for i in sorted(z.infolist(), key=lambda i: i.filename.encode()):\n"
        "  if i.is_dir() or (i.external_attr>>16)&0o170000==0o120000: continue\n"
        "  print(i.filename[len('Vantorique.app/'):], i.header_offset, i.compress_size, i.file_size,"
        " hashlib.blake2b(z.read(i), digest_size=32).hexdigest())\" " + quote(zip1));
    EXPECT_EQ(ours, theirs) << "each file's entry offset, sizes and hash must be what Python's zipfile reads";
    bool link = false;
    for (const release_item &r : index.items)
        if (r.path == "Contents/Frameworks/Current")
            link = r.type == ITEM_LINK && r.target == "libengine.1.dylib" && r.entry_offset > 0;
    EXPECT_TRUE(link) << "Contents/Frameworks/Current: must be a link with its target and its entry";

    std::string good = read_file(index1);
    struct {
        const char *what;
        std::string bytes;
    } cases[] = {{"a flipped table byte", good.substr(0, good.size() - 5) + "XXXXX"},
                 {"a truncated index", good.substr(0, good.size() / 2)},
                 {"a delta's header", "VQDELTA\x1a" + good.substr(8)}};
    for (const auto &c : cases) {
        write_file(index1, c.bytes);
        EXPECT_EQ(index_read(index1.c_str(), &index, &ctx), 0) << c.what << ": must be refused";
        EXPECT_EQ(context_failure(&ctx), FAILURE_DAMAGED) << c.what << ": " << said();
    }
    // An entry past the package's end, sealed as a liar would.
    item it;
    it.path = "x";
    it.type = ITEM_FILE;
    it.size = 10;
    it.entry = {1000, 10, 10};
    std::string raw = encode_table({it}, TABLE_INDEX), table = compress_table(raw);
    header h;
    h.format = 1, h.from_version = 1, h.item_count = 1, h.table_offset = kHeaderSize + 8;
    std::string size(8, '\0');
    size[0] = char(0xE8), size[1] = char(0x03);  // a package of 1000 bytes: the entry starts at its end
    write_file(index1, encode_header(h, table, raw.size(), kIndexMagic) + size + table);
    EXPECT_EQ(index_read(index1.c_str(), &index, &ctx), 0) << "an entry reaching past the package must be refused";
    EXPECT_NE(context_line(&ctx).find("its entry lies outside the package"), std::string::npos) << said();
}

// From the index and the package alone: unchanged files by hash (their
// entries are never read, so a spoiled one goes unnoticed), changed files
// against their bases inflated from their own entries (a spoiled one is caught).
TEST_F(Release, ADeltaFromAnEarlierReleaseReadsOnlyTheBasesItNeeds)
{
    ASSERT_EQ(index_write(v1.c_str(), zip1.c_str(), 1, index1.c_str(), &ctx), 1) << said();
    release_index index;
    ASSERT_EQ(index_read(index1.c_str(), &index, &ctx), 1) << said();
    auto entry_of = [&](const std::string &path) {
        for (const release_item &r : index.items)
            if (r.path == path)
                return r;
        return release_item();
    };
    auto spoil = [&](const release_item &r) {
        std::string z = read_file(zip1);
        size_t at = size_t(r.entry_offset + 30 + std::string("Vantorique.app/").size() + r.path.size() + 64);
        z[at] = char(z[at] ^ 0x55);
        write_file(zip1, z);
    };
    spoil(entry_of("Contents/Resources/same.dat"));
    delta_make_options o;
    o.from_version = 1, o.to_version = 2;
    o.old_index = index1.c_str();
    o.old_package = zip1.c_str();
    ASSERT_EQ(delta_make_with(nullptr, v2.c_str(), delta.c_str(), &o, &ctx), 1)
        << "an unchanged file's entry must not be read: " << said();
    delta_info info;
    ASSERT_EQ(delta_read_info(delta.c_str(), &info, &ctx), 1) << said();
    EXPECT_EQ(info.patched, 2u) << "pack.dat and the renamed library: patched against their entries";
    EXPECT_LT(info.payload_bytes, 100000u) << "the patches must be slivers of their 4 MiB";
    ASSERT_EQ(apply_to_v1(), 1) << said();
    expect_v2("a delta made from the release");

    spoil(entry_of("Contents/Resources/pack.dat"));
    ASSERT_EQ(unlink(delta.c_str()), 0);
    EXPECT_EQ(delta_make_with(nullptr, v2.c_str(), delta.c_str(), &o, &ctx), 0)
        << "a changed file's spoiled base entry must be refused";
    EXPECT_EQ(context_failure(&ctx), FAILURE_DAMAGED) << said();
    EXPECT_EQ(output_of("ls -A " + quote(dir.path) + " | grep -c '2.delta\\|\\.base\\|\\.delta\\.' || true"), "0\n")
        << "no delta and no base may be left after a failure";
}

// Files over the segment limit: stretches, each against its own window.
TEST_F(Release, ABigFileIsPatchedInSegments)
{
    delta_make_options o;
    o.segment_above = 1 << 20;
    o.segment_bytes = 1 << 20;
    ASSERT_EQ(delta_make_with(v1.c_str(), v2.c_str(), delta.c_str(), &o, &ctx), 1) << said();
    mapped m;
    header h;
    std::vector<item> items;
    ASSERT_TRUE(read_delta(delta.c_str(), m, h, items, &ctx)) << said();
    for (const item &it : items) {
        if (it.path != "Contents/Resources/pack.dat")
            continue;
        EXPECT_EQ(it.source, SOURCE_SEGMENTS) << "pack.dat (3 MiB over a 1 MiB limit): must be in segments";
        EXPECT_EQ(it.segments.size(), 4u) << "pack.dat: 3 MiB and 5000 bytes in 1 MiB stretches";
        uint64_t bytes = 0;
        for (const segment &s : it.segments)
            bytes += s.payload_size;
        EXPECT_LT(bytes, 60000u) << "pack.dat: each stretch must find its window in the base";
    }
    ASSERT_EQ(apply_to_v1(), 1) << said();
    expect_v2("a delta with segments");
}

// A program's new build: code moved by an insertion, addresses shifted.
TEST_F(Release, ProgramsGoToTheSuffixEngineWhenItIsSmaller)
{
    std::string code = noise(256 << 10, 7);
    std::string next = code;
    next.insert(100000, noise(64, 8));
    for (size_t at = 100064; at + 4 <= next.size(); at += 64)  // every address after the insertion
        next[at] = char(next[at] + 64);
    put(v1, "Contents/MacOS/Vantorique", code, 0755);
    put(v2, "Contents/MacOS/Vantorique", next, 0755);
    ASSERT_EQ(delta_make(v1.c_str(), v2.c_str(), delta.c_str(), 19, 1, 2, &ctx), 1) << said();
    mapped m;
    header h;
    std::vector<item> items;
    ASSERT_TRUE(read_delta(delta.c_str(), m, h, items, &ctx)) << said();
    for (const item &it : items) {
        if (it.path == "Contents/MacOS/Vantorique") {
            EXPECT_EQ(it.source, SOURCE_SUFFIX) << "the program: the suffix engine must beat zstd on shifted addresses ("
                                                << it.payload_size << " bytes)";
        }
    }
    ASSERT_EQ(apply_to_v1(), 1) << said();
    expect_v2("a delta with a suffix-array patch");

    // Its streams lied about: refused, not written past.
    std::string out(1000, '\0'), payload;
    ASSERT_TRUE(suffix_patch(reinterpret_cast<const unsigned char *>(code.data()), code.size(),
                             reinterpret_cast<const unsigned char *>(next.data()), 1000, 19, payload));
    std::string why;
    EXPECT_FALSE(suffix_apply(reinterpret_cast<const unsigned char *>(payload.data()), payload.size(),
                              reinterpret_cast<const unsigned char *>(code.data()), code.size(),
                              reinterpret_cast<unsigned char *>(&out[0]), 999, why))
        << "a patch for 1000 bytes must not fill 999";
    EXPECT_FALSE(suffix_apply(reinterpret_cast<const unsigned char *>(payload.data()), payload.size(),
                              reinterpret_cast<const unsigned char *>(code.data()), 100,
                              reinterpret_cast<unsigned char *>(&out[0]), 1000, why))
        << "a patch must not read past a shorter old file: " << why;
}

// A delta of format 1, as this system wrote them before: still applied; a
// source that format does not have is refused in it.
TEST_F(Release, ADeltaOfTheFirstFormatStillApplies)
{
    const std::string old_lib = read_file(v1 + "/Contents/Frameworks/libengine.1.dylib");
    const std::string content = "format one";
    std::string frame(ZSTD_compressBound(content.size()), '\0');
    frame.resize(ZSTD_compress(&frame[0], frame.size(), content.data(), content.size(), 19));
    item copy, whole;
    copy.path = "lib", copy.type = ITEM_FILE, copy.mode = 0644, copy.size = old_lib.size(), copy.source = SOURCE_COPY;
    copy.base_path = "Contents/Frameworks/libengine.1.dylib";
    copy.hash = copy.base_hash = hash_bytes(reinterpret_cast<const unsigned char *>(old_lib.data()), old_lib.size());
    whole.path = "new.txt", whole.type = ITEM_FILE, whole.mode = 0600, whole.size = content.size();
    whole.hash = hash_bytes(reinterpret_cast<const unsigned char *>(content.data()), content.size());
    whole.source = SOURCE_WHOLE, whole.payload_offset = kHeaderSize, whole.payload_size = frame.size();
    whole.payload_hash = hash_bytes(reinterpret_cast<const unsigned char *>(frame.data()), frame.size());
    auto sealed = [&](std::vector<item> items) {
        std::string raw = encode_table(items), table = compress_table(raw);
        header h{1, 2, items.size(), kHeaderSize + frame.size(), 0, 0};
        h.format = 1;
        return encode_header(h, table, raw.size()) + frame + table;
    };
    write_file(delta, sealed({copy, whole}));
    ASSERT_EQ(apply_to_v1(), 1) << "a format-1 delta must apply: " << said();
    EXPECT_EQ(read_file(staged + "/new.txt"), content) << "new.txt: from the format-1 delta";
    EXPECT_EQ(read_file(staged + "/lib"), old_lib) << "lib: copied by the format-1 delta";
    run("rm -rf " + quote(staged));
    whole.source = SOURCE_SUFFIX;
    write_file(delta, sealed({copy, whole}));
    EXPECT_EQ(apply_to_v1(), 0) << "a suffix-array patch in a format-1 delta must be refused";
    EXPECT_NE(context_line(&ctx).find("unknown source 5"), std::string::npos) << said();
}

// One worker or many: the same tree (payloads may lie in another order).
TEST_F(Release, OneWorkerOrManyBuildTheSameTree)
{
    for (int i = 0; i < 6; i++)
        put(v2, "Contents/Resources/level" + std::to_string(i) + ".map", noise(100000 + i, 20 + unsigned(i)));
    for (int jobs : {1, 4}) {
        delta_make_options o;
        o.jobs = jobs;
        ASSERT_EQ(delta_make_with(v1.c_str(), v2.c_str(), delta.c_str(), &o, &ctx), 1) << jobs << " jobs: " << said();
        ASSERT_EQ(apply_to_v1(), 1) << jobs << " jobs: " << said();
        expect_v2(std::to_string(jobs) + " jobs");
    }
}

// A file over 16 MiB takes the long-distance road: its two halves swapped
// are found again across the whole base, not sent whole.
TEST_F(Release, ABigFileFindsMatchesAcrossItsWholeBase)
{
    std::string big = noise(20 << 20, 30);
    std::string swapped = big.substr(10 << 20) + big.substr(0, 10 << 20);
    put(v1, "Contents/Resources/world.pak", big);
    put(v2, "Contents/Resources/world.pak", swapped);
    ASSERT_EQ(delta_make(v1.c_str(), v2.c_str(), delta.c_str(), 19, 1, 2, &ctx), 1) << said();
    mapped m;
    header h;
    std::vector<item> items;
    ASSERT_TRUE(read_delta(delta.c_str(), m, h, items, &ctx)) << said();
    for (const item &it : items) {
        if (it.path != "Contents/Resources/world.pak")
            continue;
        EXPECT_EQ(it.source, SOURCE_PATCH) << "world.pak (20 MiB, halves swapped): must be patched against its old self";
        EXPECT_LT(it.payload_size, 100000u) << "world.pak: 10 MiB moves must cost bytes, not megabytes";
    }
    ASSERT_EQ(apply_to_v1(), 1) << said();
    expect_v2("a delta with a 20 MiB patch");
}
