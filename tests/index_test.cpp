// A release's index: made from a packed tree, read back field for field,
// each entry's offsets leading to bytes that unpack to the file, and every
// damaged or short field refused with its kind.
#include "helpers.h"
#include "index.h"

#include "bytes.h"
#include "fsutil.h"

#include <sodium.h>
#include <string.h>

#include <algorithm>
#include <map>

using namespace testutil;
using namespace delta;

namespace {

hash_t hash_of(const std::string &data)
{
    return hash_bytes(reinterpret_cast<const unsigned char *>(data.data()), data.size());
}

// The header's table hash and its own hash made right again after an edit,
// so that the check behind them is what meets the edit.
void rehash(std::string &bytes)
{
    hash_t table = hash_of(bytes.substr(108));
    memcpy(&bytes[44], table.data(), 32);
    hash_t head = hash_of(bytes.substr(0, 76));
    memcpy(&bytes[76], head.data(), 32);
}

struct Index : testing::Test {
    ScratchDir dir;
    std::string game = dir / "Vantorique.app", package = dir / "vantorique_osx.zip", index = dir / "index";
    call_context ctx;

    void SetUp() override
    {
        ASSERT_GE(sodium_init(), 0);
        std::string big;
        for (int i = 0; i < 40000; i++)
            big += "level " + std::to_string(i * 7919 % 10007) + "\n";
        ASSERT_EQ(run("mkdir -p " + quote(game + "/Contents/MacOS") + " " + quote(game + "/Contents/Resources/empty")), 0);
        write_file(game + "/Contents/MacOS/Vantorique", "#!/bin/sh\necho game\n", 0755);
        write_file(game + "/Contents/Resources/levels.txt", big);
        write_file(game + "/Contents/Resources/picture.png", std::string(3000, 'p'));
        write_file(game + "/Contents/Resources/nothing", "");
        write_file(game + "/Contents/Info.plist", "<plist/>", 0600);
        ASSERT_EQ(symlink("MacOS/Vantorique", (game + "/Contents/run").c_str()), 0);
    }
    std::string kind() { return failure_name(context_failure(&ctx)); }
    std::string said() { return kind() + ": " + context_line(&ctx); }

    // Each file's entry unpacked from a file holding only the index's
    // stretches of the package (zeros elsewhere): equal to the tree's file.
    void entries_lead_to_files(const release_index &ix)
    {
        std::string whole = read_file(package), stretches(whole.size(), '\0');
        for (const item &it : ix.items)
            if (it.type == ITEM_FILE)
                stretches.replace(size_t(it.place.data), size_t(it.place.compressed),
                                  whole.substr(size_t(it.place.data), size_t(it.place.compressed)));
        std::string sparse = dir / "stretches";
        write_file(sparse, stretches);
        for (const item &it : ix.items) {
            if (it.type != ITEM_FILE)
                continue;
            std::string out = dir / "out";
            unlink(out.c_str());
            Fd fd(open(out.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600));
            zip_entry_place p{"Vantorique.app/" + it.path, it.place.method, it.place.crc, it.place.header,
                              it.place.data, it.place.compressed, it.size, 0, false};
            EXPECT_EQ(unpack_entry_at(sparse.c_str(), p, fd.fd, &ctx), 1) << it.path << ": " << said();
            EXPECT_EQ(read_file(out), read_file(game + "/" + it.path)) << it.path << ": its entry's bytes unpack to another file";
        }
    }
};

}  // namespace

TEST_F(Index, DescribesEveryItemAndWhereEachFileLiesInThePackage)
{
    for (const char *tool : {"ziputil", "Info-ZIP"}) {
        SCOPED_TRACE(tool);
        unlink(package.c_str());
        if (std::string(tool) == "ziputil")
            ASSERT_EQ(pack(game, package, 9), 1) << last_line();
        else
            ASSERT_EQ(run("cd " + quote(dir.path) + " && zip -qry vantorique_osx.zip Vantorique.app"), 0);
        ASSERT_EQ(index_make(package.c_str(), game.c_str(), 7, index.c_str(), &ctx), 1) << said();
        release_index ix;
        ASSERT_EQ(index_read(index.c_str(), ix, &ctx), 1) << said();
        EXPECT_EQ(ix.version, 7u);
        EXPECT_EQ(ix.package_size, read_file(package).size());
        std::map<std::string, const item *> by_path;
        for (const item &it : ix.items)
            by_path[it.path] = &it;
        std::vector<std::string> expected = {"Contents", "Contents/Info.plist", "Contents/MacOS", "Contents/MacOS/Vantorique",
                                             "Contents/Resources", "Contents/Resources/empty", "Contents/Resources/levels.txt",
                                             "Contents/Resources/nothing", "Contents/Resources/picture.png", "Contents/run"};
        std::vector<std::string> got;
        for (const item &it : ix.items)
            got.push_back(it.path);
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(got, expected) << "the index must list every item of the tree, in path order";
        const item &exe = *by_path["Contents/MacOS/Vantorique"];
        EXPECT_EQ(exe.type, ITEM_FILE);
        EXPECT_EQ(exe.mode, 0755u);
        EXPECT_EQ(exe.hash, hash_of(read_file(game + "/Contents/MacOS/Vantorique")));
        EXPECT_EQ(by_path["Contents/Info.plist"]->mode, 0600u);
        EXPECT_EQ(by_path["Contents/Resources/empty"]->type, ITEM_DIRECTORY);
        EXPECT_EQ(by_path["Contents/run"]->type, ITEM_LINK);
        EXPECT_EQ(by_path["Contents/run"]->target, "MacOS/Vantorique");
        EXPECT_EQ(by_path["Contents/Resources/nothing"]->size, 0u);
        EXPECT_TRUE(index_file_matches(game + "/Contents/Resources/levels.txt", *by_path["Contents/Resources/levels.txt"]));
        write_file(dir / "edited", read_file(game + "/Contents/Resources/levels.txt") + "x");
        EXPECT_FALSE(index_file_matches(dir / "edited", *by_path["Contents/Resources/levels.txt"]))
            << "a file one byte longer must not pass for the index's";
        entries_lead_to_files(ix);
    }
}

TEST_F(Index, EncodesAndDecodesEveryField)
{
    ASSERT_EQ(pack(game, package, 9), 1) << last_line();
    ASSERT_EQ(index_make(package.c_str(), game.c_str(), 3, index.c_str(), &ctx), 1) << said();
    release_index ix;
    ASSERT_EQ(index_read(index.c_str(), ix, &ctx), 1) << said();
    ix.items[1].metadata = std::string(100, 'm');  // as a Mac file's AppleDouble stream
    std::string bytes = index_encode(ix);
    release_index back;
    ASSERT_EQ(index_decode(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), back, &ctx), 1) << said();
    ASSERT_EQ(back.items.size(), ix.items.size());
    for (size_t i = 0; i < ix.items.size(); i++) {
        const item &a = ix.items[i], &b = back.items[i];
        EXPECT_TRUE(a.path == b.path && a.type == b.type && a.mode == b.mode && a.size == b.size && a.hash == b.hash &&
                    a.metadata == b.metadata && a.target == b.target && a.place.header == b.place.header &&
                    a.place.data == b.place.data && a.place.compressed == b.place.compressed &&
                    a.place.method == b.place.method && a.place.crc == b.place.crc)
            << a.path << ": a field changed between writing and reading the index";
    }
    EXPECT_EQ(back.version, 3u);
    EXPECT_EQ(back.package_size, ix.package_size);
}

TEST_F(Index, RefusesEveryDamagedOrShortField)
{
    ASSERT_EQ(pack(game, package, 9), 1) << last_line();
    ASSERT_EQ(index_make(package.c_str(), game.c_str(), 3, index.c_str(), &ctx), 1) << said();
    const std::string good = read_file(index);
    release_index ix;
    auto decode = [&](const std::string &b) {
        return index_decode(reinterpret_cast<const unsigned char *>(b.data()), b.size(), ix, &ctx);
    };
    ASSERT_EQ(decode(good), 1) << said();
    for (size_t n = 0; n < good.size(); n++)
        ASSERT_EQ(decode(good.substr(0, n)), 0) << "an index cut to " << n << " of " << good.size() << " bytes was read";
    EXPECT_EQ(decode(good + "x"), 0) << "a byte after the table was read";
    // Each header field, with the hashes made right again: the field's own check refuses it.
    struct edit {
        const char *what;
        size_t at;
        uint32_t value;
        const char *kind;
    };
    for (const edit &e : {edit{"the magic", 0, 0x4e495151, "FAILURE_DAMAGED"},
                          edit{"the format", 8, 2, "FAILURE_UNSUPPORTED"},
                          edit{"the item count, one more", 16, uint32_t(ix.items.size() + 1), "FAILURE_DAMAGED"},
                          edit{"the item count, past the limit", 16, 1000001, "FAILURE_DAMAGED"},
                          edit{"the package size, too small for the entries", 20, 40, "FAILURE_DAMAGED"},
                          edit{"the table size", 28, uint32_t(good.size()), "FAILURE_DAMAGED"},
                          edit{"the uncompressed size", 36, 5, "FAILURE_DAMAGED"}}) {
        std::string b = good;
        put_le32(reinterpret_cast<unsigned char *>(&b[e.at]), e.value);
        if (e.at == 20)
            put_le32(reinterpret_cast<unsigned char *>(&b[24]), 0);
        if (e.at != 0)
            rehash(b);
        context_start(&ctx);
        EXPECT_EQ(decode(b), 0) << e.what << ": read as good";
        EXPECT_EQ(kind(), e.kind) << e.what << ": " << said();
    }
    // The hashes alone.
    for (size_t at : {size_t(50), size_t(80), good.size() - 1}) {
        std::string b = good;
        b[at] ^= 1;
        context_start(&ctx);
        EXPECT_EQ(decode(b), 0) << "a byte flipped at " << at << " went unseen";
        EXPECT_EQ(kind(), "FAILURE_DAMAGED") << said();
    }
    // Each entry field out of bounds, written as a publisher's bad tool might.
    ASSERT_EQ(decode(good), 1);
    size_t file = 0;
    while (ix.items[file].type != ITEM_FILE || ix.items[file].size == 0)
        file++;
    struct place_edit {
        const char *what;
        void (*change)(item &, uint64_t package_size);
        const char *kind;
    };
    for (const place_edit &e : {
             place_edit{"a header offset past the package", [](item &it, uint64_t n) { it.place.header = n; }, "FAILURE_DAMAGED"},
             place_edit{"data before the header's end", [](item &it, uint64_t) { it.place.data = it.place.header + 29; }, "FAILURE_DAMAGED"},
             place_edit{"data running past the package", [](item &it, uint64_t n) { it.place.compressed = n - it.place.data + 1; }, "FAILURE_DAMAGED"},
             place_edit{"a size that wraps", [](item &it, uint64_t) { it.place.compressed = ~0ull - 3; }, "FAILURE_DAMAGED"},
             place_edit{"an unknown method", [](item &it, uint64_t) { it.place.method = 12; }, "FAILURE_UNSUPPORTED"},
             place_edit{"stored with other sizes", [](item &it, uint64_t) { it.place.method = 0; it.place.compressed = it.size + 1; }, "FAILURE_DAMAGED"},
             place_edit{"an unsafe path", [](item &it, uint64_t) { it.path = "../x"; }, "FAILURE_REFUSED"},
         }) {
        release_index bad = ix;
        e.change(bad.items[file], bad.package_size);
        std::string b = index_encode(bad);
        context_start(&ctx);
        release_index out;
        EXPECT_EQ(index_decode(reinterpret_cast<const unsigned char *>(b.data()), b.size(), out, &ctx), 0) << e.what << ": read as good";
        EXPECT_EQ(kind(), e.kind) << e.what << ": " << said();
    }
}

TEST_F(Index, RefusesAPackageThatIsNotTheTree)
{
    ASSERT_EQ(pack(game, package, 9), 1) << last_line();
    write_file(game + "/Contents/Resources/levels.txt", "edited after packing");
    EXPECT_EQ(index_make(package.c_str(), game.c_str(), 3, index.c_str(), &ctx), 0) << "an edited file was indexed";
    EXPECT_EQ(kind(), "FAILURE_REFUSED") << said();
    write_file(game + "/Contents/added", "not in the package");
    context_start(&ctx);
    EXPECT_EQ(index_make(package.c_str(), game.c_str(), 3, index.c_str(), &ctx), 0) << "a file the package lacks was indexed";
    EXPECT_FALSE(exists(index)) << "a refused index must not be written";
}
