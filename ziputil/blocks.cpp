// Files past the whole limit, packed on every thread. The file is cut into
// 2 MiB blocks; each is deflated on its own by libdeflate (about twice
// zlib's speed at the same level) and made joinable, so the blocks join into
// one standard deflate stream (an empty final block closes it) and the CRCs
// combine. A block's bytes depend only on its input: one thread and many
// make the same archive. Without the 32 KiB before it as a dictionary a
// block of text deflates about 1% larger than in one stream (1.5% with
// blocks of 1 MiB).
//
// A file whose first blocks deflate to more than 97% of their size (already
// compressed textures, audio, video) is stored instead: its data copied, at
// the speed of the disk. The decision is made from those blocks alone, the
// same on every thread count.
//
// Memory stays bounded: at most two blocks a thread are in flight, about
// 4 MiB each with their output.
#include "joined_deflate.h"
#include "pack.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace ziputil {

namespace {

const size_t kBlock = 2u << 20;
const size_t kSampleBlocks = 2;  // 4 MiB
const uint64_t kStoredAbove = 97;  // percent

// What follows the last sync-flushed block: an empty final block.
const unsigned char kFinalBlock[] = {0x03, 0x00};

struct Block {
    std::unique_ptr<unsigned char[]> in;
    size_t size = 0;
    std::string out;
    uint32_t crc = 0;
    bool started = false, done = false, failed = false;
};

// One block deflated whole: its bytes never depend on which thread made it
// or what it made before.
bool deflate_block(BlockDeflater &d, int level, const unsigned char *in, size_t in_size, std::string &out_bytes,
                   uint32_t &crc)
{
    if (!d.deflater || d.level != level) {
        d.deflater.reset(libdeflate_alloc_compressor(level));
        d.level = level;
        if (!d.deflater)
            return false;
    }
    out_bytes.resize(libdeflate_deflate_compress_bound(d.deflater.get(), in_size) + kJoinRoom);
    unsigned char *out = reinterpret_cast<unsigned char *>(&out_bytes[0]);
    size_t size = libdeflate_deflate_compress(d.deflater.get(), in, in_size, out, out_bytes.size() - kJoinRoom);
    if (size == 0 || !make_joinable(d.finder, out, size, in_size))
        return false;
    out_bytes.resize(size);
    crc = libdeflate_crc32(0, in, in_size);
    return true;
}

bool deflate_block(BlockDeflater &d, int level, Block &b)
{
    return deflate_block(d, level, b.in.get(), b.size, b.out, b.crc);
}

bool stored_by_sample(uint64_t in, uint64_t out)
{
    return out * 100 > in * kStoredAbove;
}

int block_level(int level)
{
    return level < 0 ? 6 : std::min(level, 9);  // as the small files get it
}

// The blocks in flight and the helpers that deflate them. The calling
// thread helps too while it waits, so one thread alone does all the work.
struct Run {
    int level = 6;
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::unique_ptr<Block>> blocks;  // in file order; blocks[0] is written next
    bool stop = false;
    std::vector<std::thread> helpers;
    ~Run();
};

// Deflates the first block nobody has started; false when there is none.
// Called with the lock held; it is released while deflating.
bool run_one(Run &r, BlockDeflater &d, std::unique_lock<std::mutex> &hold)
{
    for (std::unique_ptr<Block> &b : r.blocks) {
        if (b->started)
            continue;
        b->started = true;
        Block &block = *b;  // stays: only the writer removes blocks, once done
        hold.unlock();
        bool ok = deflate_block(d, r.level, block);
        hold.lock();
        block.failed = !ok;
        block.done = true;
        r.changed.notify_all();
        return true;
    }
    return false;
}

void help(Run &r)
{
    BlockDeflater d;
    std::unique_lock<std::mutex> hold(r.lock);
    while (!r.stop)
        if (!run_one(r, d, hold))
            r.changed.wait(hold);
}

void start_helpers(Run &r)
{
    for (int i = 1; i < thread_count(); i++) {
        try {
            r.helpers.emplace_back(help, std::ref(r));
        } catch (const std::system_error &) {
            break;  // fewer helpers, the same bytes
        }
    }
}

void stop_helpers(Run &r)
{
    {
        std::lock_guard<std::mutex> hold(r.lock);
        r.stop = true;
    }
    r.changed.notify_all();
    for (std::thread &t : r.helpers)
        t.join();
    r.helpers.clear();
}

Run::~Run()
{
    stop_helpers(*this);
}

// Waits for blocks[at] to be deflated, deflating others meanwhile.
void wait_for(Run &r, BlockDeflater &d, size_t at)
{
    std::unique_lock<std::mutex> hold(r.lock);
    while (!r.blocks[at]->done)
        if (!run_one(r, d, hold))
            r.changed.wait(hold);
}

// Reads the next block of the file; false after a line saying why.
struct Reader {
    Out &out;
    int fd;
    const char *path;
    bool zip64;
    bool &refused;
    uint64_t so_far = 0;
    bool ended = false;
};

// Reads up to a block from `fd` into `in`; `ended` once the file ends.
// False with errno on a read error.
bool fill_block(int fd, unsigned char *in, size_t &size, bool &ended)
{
    while (size < kBlock) {
        ssize_t n = read(fd, in + size, kBlock - size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0) {
            ended = true;
            break;
        }
        size += size_t(n);
    }
    return true;
}

bool read_block(Reader &rd, Block &b)
{
    b.in.reset(new (std::nothrow) unsigned char[kBlock]);
    if (!b.in)
        return fail_error(rd.out, FAILURE_CANNOT_WRITE, "Cannot pack ", rd.path, ENOMEM);
    if (!fill_block(rd.fd, b.in.get(), b.size, rd.ended))
        return fail_error(rd.out, FAILURE_CANNOT_READ, "Cannot read ", rd.path, errno);
    if ((rd.so_far += b.size) >= kZip64From && !rd.zip64) {
        rd.refused = true;  // its entry, opened without zip64, cannot hold it
        return fail(rd.out, FAILURE_REFUSED, "Refusing to pack " + std::string(rd.path) +
                                                 ": it grew past 4 GiB less 64 MiB while being packed");
    }
    progress_add(rd.out.ctx, (long long)b.size);
    return true;
}

int write_raw(Packing &pk, zipFile archive, const void *data, size_t size)
{
    if (size > 0 && zipWriteInFileInZip(archive, data, unsigned(size)) != ZIP_OK)
        return fail_archive_write(pk.out, pk.writing);
    return 1;
}

}  // namespace

bool packs_in_blocks(int level, uint64_t size)
{
    return level != 0 && size > kWholeEntry;
}

size_t BlockSample::held() const
{
    size_t bytes = 0;
    for (const Made &b : blocks)
        bytes += b.out.size();
    return bytes;
}

void sample_in_blocks(const char *disk_path, int level, BlockDeflater &d, call_context *progress, BlockSample &sample)
{
    static_assert(kSampleBytes == kSampleBlocks * kBlock, "the sample is the writer's");
    sample = BlockSample();
    Fd in(open(disk_path, O_RDONLY | O_CLOEXEC));
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[kBlock]);
    if (in.fd < 0 || !buffer)
        return;
    uint64_t sample_out = 0;
    std::vector<BlockSample::Made> blocks;
    bool ended = false;
    while (!ended && blocks.size() < kSampleBlocks) {
        size_t size = 0;
        if (!fill_block(in.fd, buffer.get(), size, ended))
            return;  // the writer reads it again and says why
        if (size == 0)
            break;
        if (blocks.empty())
            sample.text = looks_like_text(buffer.get(), size);
        blocks.emplace_back();
        BlockSample::Made &b = blocks.back();
        b.size = size;
        if (!deflate_block(d, block_level(level), buffer.get(), size, b.out, b.crc))
            return;
        sample.read += size;
        sample_out += b.out.size();
    }
    sample.ended = ended;
    sample.stored = stored_by_sample(sample.read, sample_out);
    if (!sample.stored)
        sample.blocks = std::move(blocks);
    else
        sample.read = 0;  // a stored file is copied from its start
    sample.made = true;
    progress_add(progress, (long long)sample.read);
}

int pack_in_blocks(Packing &pk, zipFile archive, const char *entry_name, const char *disk_path, zip_fileinfo &info,
                   int level, bool zip64, BlockSample *sample)
{
    Fd in(open(disk_path, O_RDONLY | O_CLOEXEC));
    if (in.fd < 0)
        return fail_error(pk.out, FAILURE_CANNOT_READ, "Cannot read ", disk_path, errno);
    Run r;
    r.level = block_level(level);
    Reader rd{pk.out, in.fd, disk_path, zip64, pk.writing.refused, 0, false};
    BlockDeflater mine;
    const size_t in_flight = 2 * size_t(thread_count()) + 1;

    bool stored;
    if (sample && sample->made) {
        // Made ahead by a worker: the rest of the file follows its blocks.
        for (BlockSample::Made &made : sample->blocks) {
            std::unique_ptr<Block> b(new Block());
            b->out = std::move(made.out);
            b->crc = made.crc;
            b->size = made.size;
            b->started = b->done = true;
            r.blocks.push_back(std::move(b));
        }
        stored = sample->stored;
        info.internal_fa = sample->text ? 1 : 0;
        rd.so_far = sample->read;  // 0 when stored: copied from the start
        rd.ended = !stored && sample->ended;
        if (!rd.ended && lseek(in.fd, off_t(sample->read), SEEK_SET) < 0)
            return fail_error(pk.out, FAILURE_CANNOT_READ, "Cannot read ", disk_path, errno);
        if (!stored && !rd.ended)
            start_helpers(r);
    } else {
        // The sample: the first blocks, deflated as they will be written.
        uint64_t sample_in = 0, sample_out = 0;
        while (!rd.ended && r.blocks.size() < kSampleBlocks) {
            std::unique_ptr<Block> b(new Block());
            if (!read_block(rd, *b))
                return 0;
            if (b->size > 0)
                r.blocks.push_back(std::move(b));
        }
        if (r.blocks.size() > 1)
            start_helpers(r);
        for (size_t i = 0; i < r.blocks.size(); i++) {
            wait_for(r, mine, i);
            sample_in += r.blocks[i]->size;
            sample_out += r.blocks[i]->out.size();
        }
        stored = stored_by_sample(sample_in, sample_out);
        if (stored)
            stop_helpers(r);
        info.internal_fa = !r.blocks.empty() && looks_like_text(r.blocks[0]->in.get(), r.blocks[0]->size) ? 1 : 0;
    }
    if (open_entry(pk, archive, entry_name, &info, stored ? 0 : Z_DEFLATED, stored ? 0 : level, zip64, 1) != ZIP_OK) {
        stop_helpers(r);
        return 0;
    }

    uint64_t size = 0;
    uLong crc = crc32(0, nullptr, 0);
    int ok = 1;
    for (;;) {
        while (ok && !rd.ended && r.blocks.size() < (stored ? 1 : in_flight)) {
            std::unique_ptr<Block> b(new Block());
            ok = read_block(rd, *b);
            if (ok && b->size > 0) {
                std::lock_guard<std::mutex> hold(r.lock);
                r.blocks.push_back(std::move(b));
                r.changed.notify_one();
            }
        }
        if (r.blocks.empty() || !ok)
            break;
        Block &b = *r.blocks.front();
        if (stored) {
            b.crc = libdeflate_crc32(0, b.in.get(), b.size);
            ok = write_raw(pk, archive, b.in.get(), b.size);
        } else {
            wait_for(r, mine, 0);
            if (b.failed)
                ok = fail_error(pk.out, FAILURE_CANNOT_WRITE, "Cannot pack ", disk_path, ENOMEM);
            else
                ok = write_raw(pk, archive, b.out.data(), b.out.size());
        }
        crc = crc32_combine(crc, b.crc, z_off_t(b.size));
        size += b.size;
        std::lock_guard<std::mutex> hold(r.lock);
        r.blocks.pop_front();
    }
    stop_helpers(r);
    if (ok && !stored)
        ok = write_raw(pk, archive, kFinalBlock, sizeof kFinalBlock);
    // Closing with the file's size and CRC; a failure before still closes the entry.
    return close_entry(pk, archive, true, size, crc) && ok;
}

}  // namespace ziputil
