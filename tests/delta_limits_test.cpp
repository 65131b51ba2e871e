// Deltas written by hand at the edges: each check tested without the one
// that backs it up, each limit exactly at it and one step past it, lengths
// present but shorter than they must be, counts and sums that would wrap,
// and files that are not files (a FIFO must never stall a call).
#include "delta.h"
#include "delta_helpers.h"
#include "helpers.h"
#include "items.h"

#include <signal.h>
#include <sodium.h>
#include <unistd.h>
#include <sys/stat.h>
#include <zstd.h>

using namespace testutil;
using namespace delta;

namespace {

hash_t hash_of(const std::string &data)
{
    return hash_bytes(reinterpret_cast<const unsigned char *>(data.data()), data.size());
}

std::string zstd_frame(const std::string &content)
{
    std::string out(ZSTD_compressBound(content.size()), '\0');
    out.resize(ZSTD_compress(&out[0], out.size(), content.data(), content.size(), 3));
    return out;
}

// A link item hashed as make hashes one.
item hashed_link_item(const std::string &path, const std::string &target)
{
    item it = link_item(path, target);
    it.hash = hash_of(target);
    return it;
}

// A delta laid out as make writes one: header, payloads, table.
struct hand_delta {
    std::vector<item> items;
    std::string payloads;

    // A file of `content` sent by `source` as `frame`; the frame is appended.
    item &file(item it, const std::string &path, const std::string &content, uint8_t source, const std::string &frame)
    {
        it.path = path;
        it.type = ITEM_FILE;
        it.mode = 0644;
        it.size = content.size();
        it.hash = hash_of(content);
        it.source = source;
        it.payload_offset = kHeaderSize + payloads.size();
        it.payload_size = frame.size();
        it.payload_hash = hash_of(frame);
        payloads += frame;
        items.push_back(it);
        return items.back();
    }
    // A file sent whole.
    item &whole(const std::string &path, const std::string &content)
    {
        return file(item(), path, content, SOURCE_WHOLE, zstd_frame(content));
    }
    // A file patched against `base` (at `base_path` of the installed tree),
    // its frame with zstd's content checksum as make writes it, or without
    // as older deltas were.
    item &patch(const std::string &path, const std::string &content, const std::string &base_path,
                const std::string &base, bool checksummed = false)
    {
        item it;
        it.base_path = base_path;
        it.base_size = base.size();
        it.base_hash = hash_of(base);
        std::string frame(ZSTD_compressBound(content.size()) + 64, '\0');
        ZSTD_CCtx *c = ZSTD_createCCtx();
        ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, checksummed ? 1 : 0);
        ZSTD_CCtx_refPrefix(c, base.data(), base.size());
        frame.resize(ZSTD_compress2(c, &frame[0], frame.size(), content.data(), content.size()));
        ZSTD_freeCCtx(c);
        return file(it, path, content, SOURCE_PATCH, frame);
    }
    std::string bytes(uint64_t count) const
    {
        std::string raw = encode_table(items), table = compress_table(raw);
        header h{1, 2, count, kHeaderSize + payloads.size(), 0, 0};
        return encode_header(h, table, raw.size()) + payloads + table;
    }
    std::string bytes() const { return bytes(items.size()); }
};

struct DeltaLimits : testing::Test {
    ScratchDir dir;
    std::string installed = dir / "installed", delta = dir / "hand.delta", staged = dir / "staged";
    call_context ctx;

    void SetUp() override
    {
        ASSERT_GE(sodium_init(), 0);
        ASSERT_EQ(run("mkdir -p " + quote(installed)), 0);
    }
    int apply(const std::string &bytes)
    {
        write_file(delta, bytes);
        return delta_apply(installed.c_str(), delta.c_str(), staged.c_str(), &ctx);
    }
    int info(const std::string &bytes, delta_info *out = nullptr)
    {
        write_file(delta, bytes);
        delta_info local;
        return delta_read_info(delta.c_str(), out ? out : &local, &ctx);
    }
    std::string kind() { return failure_name(context_failure(&ctx)); }
    std::string said() { return kind() + ": " + context_line(&ctx); }
};

}  // namespace

// The base's hash is checked before use and the result's after: each alone
// must still name its own failure, so neither hides behind the other.
TEST_F(DeltaLimits, TheBaseCheckAndTheResultCheckEachStandAlone)
{
    const std::string base = std::string(20000, 'b') + "tail", wanted = std::string(20000, 'b') + "TAIL!";
    write_file(installed + "/lib", base);

    hand_delta right;
    right.patch("lib", wanted, "lib", base);
    ASSERT_EQ(apply(right.bytes()), 1) << "a patch against the right base must apply: " << said();
    EXPECT_EQ(read_file(staged + "/lib"), wanted) << "lib: must be the patched content";
    run("rm -rf " + quote(staged));

    // The installed base has the size the delta names but other bytes: only
    // its hash can tell (the patch would still decode against it).
    write_file(installed + "/lib", std::string(20000, 'b') + "tayl");
    EXPECT_EQ(apply(right.bytes()), 0) << "a same-size edited base must be refused";
    EXPECT_EQ(kind(), "FAILURE_BASE_DIFFERS") << "the base check must catch a same-size edit: " << said();
    EXPECT_NE(context_line(&ctx).find("its content differs"), std::string::npos) << said();
    EXPECT_FALSE(exists(staged)) << "staged: must be removed after a refused base";

    // The base is right; the result's declared hash is not: only the check
    // after writing can tell.
    write_file(installed + "/lib", base);
    hand_delta lying;
    lying.patch("lib", wanted, "lib", base).hash = hash_of("something else");
    EXPECT_EQ(apply(lying.bytes()), 0) << "a result that does not hash as declared must be refused";
    EXPECT_EQ(kind(), "FAILURE_RESULT_DIFFERS") << "the result check must catch it with a good base: " << said();
    EXPECT_FALSE(exists(staged)) << "staged: must be removed after a result that differs";

    hand_delta lying_whole;
    lying_whole.whole("new.txt", "new content").hash = hash_of("other content");
    EXPECT_EQ(apply(lying_whole.bytes()), 0) << "a whole file that does not hash as declared must be refused";
    EXPECT_EQ(kind(), "FAILURE_RESULT_DIFFERS") << "a whole file has no base check to lean on: " << said();
}

// A checksummed patch is not held up by hashing its base: the result's
// checksum decides. A base edited where the patch copies from is refused as
// a base that differs, with nothing left; one edited only where the patch
// never looks still gives the publisher's file.
TEST_F(DeltaLimits, AChecksummedPatchIsJudgedByItsResultNotByItsBasesHash)
{
    std::string text;
    for (int i = 0; i < 3000; i++)
        text += "line " + std::to_string(i) + "\n";
    const std::string base = text + std::string(1000, 'x') + text, wanted = text + std::string(1000, 'y') + text + "end";
    hand_delta d;
    d.patch("lib", wanted, "lib", base, true);

    write_file(installed + "/lib", text + std::string(1000, 'z') + text);
    ASSERT_EQ(apply(d.bytes()), 1) << "lib: a base edited only where the patch never copies from must apply: " << said();
    EXPECT_TRUE(read_file(staged + "/lib") == wanted) << "lib: must be the publisher's file";
    run("rm -rf " + quote(staged));

    std::string copied_from = base;
    copied_from[100] = copied_from[text.size() + 1000 + 100] = '#';  // both copies of the text
    write_file(installed + "/lib", copied_from);
    EXPECT_EQ(apply(d.bytes()), 0) << "lib: a base edited where the patch copies from must be refused";
    EXPECT_EQ(kind(), "FAILURE_BASE_DIFFERS") << "the result's checksum must name the base: " << said();
    EXPECT_EQ(context_line(&ctx), "lib: not the file this update was made from (its content differs)") << said();
    EXPECT_FALSE(exists(staged)) << "staged: must be removed after a base that differs";

    // Without the checksum, the base's own hash still refuses any edit.
    hand_delta old;
    old.patch("lib", wanted, "lib", base);
    write_file(installed + "/lib", text + std::string(1000, 'z') + text);
    EXPECT_EQ(apply(old.bytes()), 0) << "lib: an unchecksummed patch over an edited base must be refused";
    EXPECT_EQ(kind(), "FAILURE_BASE_DIFFERS") << said();
}

// The payload's own hash and zstd's frame checks back each other up.
TEST_F(DeltaLimits, ThePayloadHashAndTheFrameChecksEachStandAlone)
{
    hand_delta d;
    d.whole("a.txt", std::string(5000, 'a'));
    std::string good = d.bytes();

    std::string flipped = good;
    flipped[kHeaderSize + 4] ^= 0x20;  // inside the payload, its hash now wrong
    EXPECT_EQ(apply(flipped), 0) << "a flipped payload byte must be refused";
    EXPECT_EQ(kind(), "FAILURE_DAMAGED") << said();
    EXPECT_NE(context_line(&ctx).find("damaged data in the delta"), std::string::npos)
        << "the payload hash must catch it before zstd sees it: " << said();

    // The hash agrees with the bytes, but the frame is cut short: only zstd can tell.
    hand_delta cut = d;
    cut.items[0].payload_size -= 3;
    cut.items[0].payload_hash = hash_of(d.payloads.substr(0, size_t(cut.items[0].payload_size)));
    EXPECT_EQ(apply(cut.bytes()), 0) << "a frame shorter than it must be must be refused";
    EXPECT_EQ(kind(), "FAILURE_DAMAGED") << said();
    EXPECT_NE(context_line(&ctx).find("does not decompress"), std::string::npos)
        << "zstd must refuse a cut frame whose hash was made to match: " << said();
    EXPECT_FALSE(exists(staged)) << "staged: must be removed after a cut frame";

    // The frame declares more bytes than the item: the item's size is shorter than it must be.
    hand_delta small = d;
    small.items[0].size = 4999;
    EXPECT_EQ(apply(small.bytes()), 0) << "an item size shorter than its frame must be refused";
    EXPECT_NE(context_line(&ctx).find("does not hold its declared size"), std::string::npos) << said();
}

// Fields present but shorter than they must be.
TEST_F(DeltaLimits, LengthsShorterThanTheirContentAreRefused)
{
    hand_delta d;
    d.whole("a.txt", "alpha");
    d.items.push_back(hashed_link_item("l", "a.txt"));
    std::string good = d.bytes();
    ASSERT_EQ(info(good), 1) << said();

    auto field = [&](size_t at, uint64_t value, int bytes) {
        std::string bad = good;
        for (int i = 0; i < bytes; i++)
            bad[at + size_t(i)] = char(value >> (8 * i));
        crypto_generichash(reinterpret_cast<unsigned char *>(&bad[80]), 32,
                           reinterpret_cast<const unsigned char *>(bad.data()), 80, nullptr, 0);
        return bad;
    };
    const uint64_t raw_size = encode_table(d.items).size();
    hand_delta empty_target = d;
    empty_target.items[1].target.clear();
    empty_target.items[1].size = 0;
    hand_delta short_base = d;
    write_file(installed + "/base", "0123456789");
    short_base.patch("p.txt", "0123456789!", "base", "0123456789").base_size = 9;
    struct {
        const char *what;
        std::string bytes;
        const char *kind;
    } cases[] = {
        {"a file of 111 bytes, one short of a header", good.substr(0, kHeaderSize - 1), "FAILURE_DAMAGED"},
        {"an uncompressed table size one short", field(40, raw_size - 1, 8), "FAILURE_DAMAGED"},
        {"a stored table size one short", field(32, good.size() - (kHeaderSize + d.payloads.size()) - 1, 8),
         "FAILURE_DAMAGED"},
        {"a link target of 0 bytes", empty_target.bytes(), "FAILURE_DAMAGED"},
        {"a patch base one byte shorter than the installed base", short_base.bytes(), "FAILURE_BASE_DIFFERS"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(apply(c.bytes), 0) << c.what << ": must be refused";
        EXPECT_EQ(kind(), c.kind) << c.what << ": " << said();
        EXPECT_FALSE(exists(staged)) << c.what << ": the staged folder must be removed";
    }
}

// Counts and sums that would wrap or promise more than the file holds.
TEST_F(DeltaLimits, CountsAndSumsThatWouldWrapAreRefused)
{
    hand_delta d;
    d.whole("a.txt", "alpha");

    // A million items in a table of under a hundred bytes: refused before
    // room for them is taken.
    EXPECT_EQ(info(d.bytes(1000000)), 0) << "a million items in a one-item table must be refused";
    EXPECT_EQ(kind(), "FAILURE_DAMAGED") << said();
    EXPECT_NE(context_line(&ctx).find("cannot hold 1000000 items"), std::string::npos)
        << "the count must be weighed against the table's bytes: " << said();

    // offset + size wraps past 2^64 back inside the file.
    hand_delta wrap = d;
    wrap.items[0].payload_offset = ~0ull - 7;
    wrap.items[0].payload_size = 16;
    EXPECT_EQ(info(wrap.bytes()), 0) << "a payload whose end wraps must be refused";
    EXPECT_NE(context_line(&ctx).find("its payload lies outside the delta"), std::string::npos) << said();

    // A payload one byte past the table's start, and one ending exactly there.
    hand_delta past = d;
    past.items[0].payload_size += 1;
    EXPECT_EQ(info(past.bytes()), 0) << "a payload one byte into the table must be refused";
    EXPECT_NE(context_line(&ctx).find("its payload lies outside the delta"), std::string::npos) << said();
    EXPECT_EQ(info(d.bytes()), 1) << "a payload ending exactly at the table is the normal case: " << said();

    // 16,384 files of 1 PiB each (the most a file may declare): their bytes
    // are exactly 2^64, which a plain sum wraps to 0, and their room with
    // 4 KiB each for records wraps to a mere 64 MiB.
    hand_delta huge;
    huge.whole("first", "x");
    item proto = huge.items[0];
    huge.items.clear();
    for (int i = 0; i < 16384; i++) {
        char name[16];
        snprintf(name, sizeof name, "f%05d", i);
        item it = proto;
        it.path = name;
        it.size = 1ull << 50;
        huge.items.push_back(it);
    }
    delta_info got;
    ASSERT_EQ(info(huge.bytes(), &got), 1) << "16,384 declared 1 PiB files are well formed: " << said();
    EXPECT_GE(got.tree_bytes, 1ull << 62) << "the tree's bytes must stop at their ceiling, not wrap";
    EXPECT_EQ(apply(huge.bytes()), 0) << "2^64 bytes of files must be refused";
    EXPECT_EQ(kind(), "FAILURE_NO_SPACE") << said();
    EXPECT_NE(context_line(&ctx).find("not enough free space"), std::string::npos)
        << "refused by the free-space check before any file, not by a failed write: " << said();
    EXPECT_FALSE(exists(staged)) << "staged: must be removed after a tree that cannot fit";
}

// Each limit exactly at it (taken) and one step past it (refused).
TEST_F(DeltaLimits, LimitsHoldExactlyAtThemAndRefuseOnePast)
{
    // A path of 1023 bytes: folders of 200 bytes and a file to fill it up.
    auto deep = [](size_t length) {
        hand_delta d;
        std::string path;
        while (path.size() + 201 < length) {
            path += (path.empty() ? "" : "/") + std::string(200, 'd');
            d.items.push_back(folder_item(path));
        }
        path += "/" + std::string(length - path.size() - 1, 'f');
        d.whole(path, "deep");
        return std::make_pair(d, path);
    };
    auto [at, at_path] = deep(1023);
    ASSERT_EQ(at_path.size(), 1023u);
    EXPECT_EQ(apply(at.bytes()), 1) << "a path of exactly 1023 bytes must be taken: " << said();
    EXPECT_EQ(read_file(staged + "/" + at_path), "deep") << "the 1023-byte path: must hold its content";
    run("rm -rf " + quote(staged));
    auto [past, past_path] = deep(1024);
    EXPECT_EQ(apply(past.bytes()), 0) << "a path of 1024 bytes must be refused";
    EXPECT_EQ(kind(), "FAILURE_REFUSED") << said();

    hand_delta target_at, target_past;
    target_at.items = {folder_item("a")};
    target_past.items = {folder_item("a")};
    target_at.items.push_back(hashed_link_item("a/l", std::string(1023, 'x')));
    target_past.items.push_back(hashed_link_item("a/l", std::string(1024, 'x')));
    EXPECT_EQ(info(target_at.bytes()), 1) << "a link target of exactly 1023 bytes must be taken: " << said();
    EXPECT_EQ(info(target_past.bytes()), 0) << "a link target of 1024 bytes must be refused";
    EXPECT_EQ(kind(), "FAILURE_DAMAGED") << said();

    // A base of exactly 2 GiB is the most zstd takes as a prefix.
    hand_delta base_at;
    write_file(installed + "/base", "b");
    base_at.patch("p", "bb", "base", "b").base_size = 2ull << 30;
    EXPECT_EQ(info(base_at.bytes()), 1) << "a base of exactly 2 GiB must be taken: " << said();
    base_at.items[0].base_size++;
    EXPECT_EQ(info(base_at.bytes()), 0) << "a base of 2 GiB and one byte must be refused";
    EXPECT_NE(context_line(&ctx).find("a base over 2 GiB"), std::string::npos) << said();

    hand_delta meta_at;
    meta_at.items.push_back(folder_item("m"));
    meta_at.items[0].metadata.assign(16u << 20, 'm');
    EXPECT_EQ(info(meta_at.bytes()), 1) << "metadata of exactly 16 MiB must be taken: " << said();
    meta_at.items[0].metadata += 'm';
    EXPECT_EQ(info(meta_at.bytes()), 0) << "metadata of 16 MiB and one byte must be refused";
    EXPECT_NE(context_line(&ctx).find("over 16 MiB"), std::string::npos) << said();
}

static void stalled(int)
{
    const char line[] = "AFifoNeverStallsACall: a call was still waiting on a FIFO after 120 s (opened blocking?)\n";
    ssize_t ignored = write(2, line, sizeof line - 1);
    (void)ignored;
    _exit(1);
}

// A FIFO where the delta expects a file: every call returns at once. A call
// that waits on the FIFO would wait for ever; the alarm ends it with a line
// saying so (a watchdog only, far beyond any run).
TEST_F(DeltaLimits, AFifoNeverStallsACall)
{
    signal(SIGALRM, stalled);
    alarm(120);
    write_file(installed + "/lib", "old library");
    hand_delta d;
    d.patch("lib", "new library", "lib", "old library");
    hand_delta copy;
    item it;
    it.path = "data";
    it.type = ITEM_FILE;
    it.mode = 0644;
    it.size = 11;
    it.hash = it.base_hash = hash_of("old library");
    it.base_size = 11;
    it.source = SOURCE_COPY;
    it.base_path = "lib";
    copy.items.push_back(it);
    ASSERT_EQ(unlink((installed + "/lib").c_str()), 0);
    ASSERT_EQ(mkfifo((installed + "/lib").c_str(), 0644), 0);
    // FAILURE_BASE_DIFFERS, as for a link there: something stands at the
    // base's name, just not the publisher's file.
    for (const auto &c : {std::make_pair("a patch", d.bytes()), std::make_pair("a copy", copy.bytes())}) {
        EXPECT_EQ(apply(c.second), 0) << c.first << " on a FIFO base must be refused";
        EXPECT_EQ(kind(), "FAILURE_BASE_DIFFERS") << c.first << ": " << said();
        EXPECT_NE(context_line(&ctx).find("not a regular file"), std::string::npos) << said();
        EXPECT_FALSE(exists(staged)) << c.first << ": staged must be removed after a FIFO base";
    }

    // The delta itself a FIFO: nothing to read, at once.
    std::string fifo = dir / "fifo.delta";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    delta_info got;
    EXPECT_EQ(delta_read_info(fifo.c_str(), &got, &ctx), 0) << "a FIFO named as the delta must be refused";
    EXPECT_EQ(kind(), "FAILURE_CANNOT_READ") << said();

    // The publisher's trees: a FIFO in the new tree is refused by name; one
    // in the old tree is no base and is passed over.
    std::string a = dir / "A", b = dir / "B";
    ASSERT_EQ(run("mkdir -p " + quote(a) + " " + quote(b) + " && echo one > " + quote(a + "/f") + " && echo two > " +
                  quote(b + "/f") + " && mkfifo " + quote(a + "/pipe")),
              0);
    std::string out = dir / "made.delta";
    EXPECT_EQ(delta_make(a.c_str(), b.c_str(), out.c_str(), 3, 1, 2, &ctx), 1)
        << "a FIFO in the old tree must be passed over: " << said();
    ASSERT_EQ(run("mkfifo " + quote(b + "/pipe")), 0);
    EXPECT_EQ(delta_make(a.c_str(), b.c_str(), out.c_str(), 3, 1, 2, &ctx), 0) << "a FIFO in the new tree must be refused";
    EXPECT_EQ(kind(), "FAILURE_REFUSED") << said();
    EXPECT_NE(context_line(&ctx).find("not a file, a folder or a link"), std::string::npos) << said();
    alarm(0);
}
