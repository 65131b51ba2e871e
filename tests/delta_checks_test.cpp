// What apply still checks when a delta's frames carry zstd's checksum and
// the result is not hashed again: the base before use, the payload before
// it is decoded, and zstd's own check of what it decoded. And a file's kept
// hash is never its content's from before a rewrite in place.
#include "delta.h"
#include "delta_helpers.h"
#include "helpers.h"
#include "items.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <fstream>

using namespace testutil;
using namespace delta;

namespace {

hash_t hash_of(const std::string &data)
{
    return hash_bytes(reinterpret_cast<const unsigned char *>(data.data()), data.size());
}

struct Checked : testing::Test {
    ScratchDir dir;
    std::string old_tree = dir / "old", new_tree = dir / "new", delta = dir / "up.delta", staged = dir / "staged";
    std::string base = noise(300000, 7), wanted;
    call_context ctx;

    void SetUp() override
    {
        ASSERT_GE(sodium_init(), 0);
        wanted = base.substr(0, 100000) + "an edit in the middle" + base.substr(100000);
        put(old_tree, "pack.bin", base);
        put(new_tree, "pack.bin", wanted);
        put(old_tree, "same.txt", "unchanged");
        put(new_tree, "same.txt", "unchanged");
    }
    // The delta, its pack in one frame or (segmented) in several.
    void make(bool segmented)
    {
        delta_make_options o;
        o.level = 3;
        if (segmented)
            o.segment_above = 100000, o.segment_bytes = 65536;
        run("rm -f " + quote(delta));
        ASSERT_EQ(delta_make_with(old_tree.c_str(), new_tree.c_str(), delta.c_str(), &o, &ctx), 1) << said();
    }
    int apply()
    {
        run("rm -rf " + quote(staged));
        return delta_apply(old_tree.c_str(), delta.c_str(), staged.c_str(), &ctx);
    }
    std::string kind() { return failure_name(context_failure(&ctx)); }
    std::string said() { return kind() + ": " + context_line(&ctx); }
    // The pack's item and the delta's header, as read back.
    item pack(header &h, std::vector<item> &items)
    {
        mapped m;
        call_context local;
        EXPECT_TRUE(read_delta(delta.c_str(), m, h, items, &local)) << context_line(&local);
        for (const item &it : items)
            if (it.path == "pack.bin")
                return it;
        ADD_FAILURE() << "pack.bin: not in the delta";
        return item();
    }
    // The delta again, its payloads as `payloads` and its table from `items`.
    void rewrite(const header &h, const std::vector<item> &items, const std::string &payloads)
    {
        std::string raw = encode_table(items), table = compress_table(raw);
        header out = h;
        write_file(delta, encode_header(out, table, raw.size()) + payloads + table);
    }
};

// The first byte of a frame's header after its magic says whether it ends
// in a checksum (bit 2).
bool carries_checksum(const std::string &bytes, uint64_t offset)
{
    return (static_cast<unsigned char>(bytes[size_t(offset) + 4]) & 0x04) != 0;
}

}  // namespace

TEST_F(Checked, AChangedBaseIsStillRefusedWhenTheResultIsNotHashed)
{
    for (bool segmented : {false, true}) {
        const char *how = segmented ? "in segments" : "one frame";
        write_file(old_tree + "/pack.bin", base);
        make(segmented);
        header h;
        std::vector<item> items;
        item it = pack(h, items);
        ASSERT_EQ(it.source, segmented ? SOURCE_SEGMENTS : SOURCE_PATCH) << how << ": the pack must be patched";
        std::string bytes = read_file(delta);
        uint64_t first = segmented ? it.segments.at(0).payload_offset : it.payload_offset;
        EXPECT_TRUE(carries_checksum(bytes, first)) << how << ": make must set zstd's checksum flag";

        ASSERT_EQ(apply(), 1) << how << ": the right base must apply: " << said();
        EXPECT_EQ(read_file(staged + "/pack.bin"), wanted) << how << ": pack.bin must be the new content";

        // Same size, one byte other, where the patch copies from.
        std::string edited = base;
        edited[200000] ^= 0x01;
        write_file(old_tree + "/pack.bin", edited);
        EXPECT_EQ(apply(), 0) << how << ": a base edited in place must be refused";
        EXPECT_EQ(kind(), "FAILURE_BASE_DIFFERS") << how << ": " << said();
        EXPECT_FALSE(exists(staged)) << how << ": staged must be removed after a refused base";
    }
}

TEST_F(Checked, ADamagedPayloadIsRefusedByItsHashOrByZstdsChecksum)
{
    for (bool segmented : {false, true}) {
        const char *how = segmented ? "in segments" : "one frame";
        make(segmented);
        header h;
        std::vector<item> items;
        item it = pack(h, items);
        const std::string good = read_file(delta);
        uint64_t offset = segmented ? it.segments.back().payload_offset : it.payload_offset;
        uint64_t size = segmented ? it.segments.back().payload_size : it.payload_size;

        std::string flipped = good;
        flipped[size_t(offset + size / 2)] ^= 0x10;
        write_file(delta, flipped);
        EXPECT_EQ(apply(), 0) << how << ": a flipped payload byte must be refused";
        EXPECT_EQ(kind(), "FAILURE_DAMAGED") << how << ": " << said();
        EXPECT_NE(context_line(&ctx).find("damaged data in the delta"), std::string::npos) << how << ": " << said();

        // The checksum's last byte changed and the payload's hash made to
        // agree: only zstd's check of the decoded bytes can tell.
        std::string payloads = good.substr(kHeaderSize, size_t(h.table_offset - kHeaderSize));
        size_t at = size_t(offset + size - 1 - kHeaderSize);
        payloads[at] = char(payloads[at] ^ 0x01);
        hash_t fixed = hash_of(payloads.substr(size_t(offset - kHeaderSize), size_t(size)));
        for (item &i : items)
            if (i.path == "pack.bin")
                (segmented ? i.segments.back().payload_hash : i.payload_hash) = fixed;
        rewrite(h, items, payloads);
        EXPECT_EQ(apply(), 0) << how << ": a frame whose checksum disagrees must be refused";
        EXPECT_EQ(kind(), "FAILURE_DAMAGED") << how << ": " << said();
        EXPECT_NE(context_line(&ctx).find("does not decompress"), std::string::npos)
            << how << ": zstd must report the checksum: " << said();
        EXPECT_FALSE(exists(staged)) << how << ": staged must be removed after a damaged frame";
    }
}

namespace {

long long bytes_read_so_far()
{
    std::ifstream io("/proc/self/io");
    std::string key;
    long long value = 0;
    while (io >> key >> value)
        if (key == "rchar:")
            return value;
    return -1;
}

hash_t hash_at(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    hash_t h{};
    EXPECT_TRUE(fd >= 0 && fstat(fd, &st) == 0 && hash_file(fd, uint64_t(st.st_size), h)) << path << ": cannot hash";
    close(fd);
    return h;
}

// Rewrites the file in place, same size, and sets its times back.
void rewrite_keeping_times(const std::string &path, const std::string &content)
{
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(pwrite(fd, content.data(), content.size(), 0), ssize_t(content.size())) << path;
    close(fd);
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
    struct stat now;
    ASSERT_EQ(stat(path.c_str(), &now), 0) << path;
    ASSERT_EQ(now.st_size, st.st_size) << path << ": the rewrite must keep the size";
    ASSERT_TRUE(now.st_mtim.tv_sec == st.st_mtim.tv_sec && now.st_mtim.tv_nsec == st.st_mtim.tv_nsec)
        << path << ": the rewrite must keep the modification time";
}

// Until the clock the kernel stamps files with has moved past the file's
// change time (a few milliseconds at most).
void wait_past_change_time(const std::string &path)
{
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
    for (int i = 0; i < 1000; i++) {
        struct timespec now;
        clock_gettime(CLOCK_REALTIME_COARSE, &now);
        if (now.tv_sec > st.st_ctim.tv_sec || (now.tv_sec == st.st_ctim.tv_sec && now.tv_nsec > st.st_ctim.tv_nsec))
            return;
        usleep(1000);
    }
    FAIL() << path << ": the clock never passed the file's change time";
}

}  // namespace

TEST(KeptHashes, AFileIsHashedOnceAndARewriteInPlaceIsHashedAgain)
{
    ASSERT_GE(sodium_init(), 0);
    ScratchDir dir;
    const std::string path = dir / "pack.bin", first = noise(4 << 20, 1), second = noise(4 << 20, 2);
    write_file(path, first);
    wait_past_change_time(path);
    EXPECT_EQ(hash_at(path), hash_of(first)) << "pack.bin: the first hash must be its content's";

    long long before = bytes_read_so_far();
    EXPECT_EQ(hash_at(path), hash_of(first)) << "pack.bin: the second hash must be the same";
    if (before >= 0) {
        EXPECT_LT(bytes_read_so_far() - before, 1 << 20) << "pack.bin: unchanged, it must not be read a second time";
    }

    rewrite_keeping_times(path, second);
    EXPECT_EQ(hash_at(path), hash_of(second)) << "pack.bin: rewritten in place with its times set back, "
                                                 "it must hash as its new content, not the kept hash";

    // Written, hashed and rewritten within one tick of the kernel's clock:
    // the stamps may not move at all, so that hash must not have been kept.
    const std::string quick = dir / "quick.bin";
    write_file(quick, first);
    EXPECT_EQ(hash_at(quick), hash_of(first)) << "quick.bin: the first hash must be its content's";
    rewrite_keeping_times(quick, second);
    EXPECT_EQ(hash_at(quick), hash_of(second)) << "quick.bin: rewritten at once, it must hash as its new content";
}
