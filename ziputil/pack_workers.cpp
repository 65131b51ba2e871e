// The workers of a parallel pack: each takes the next item, reads it,
// deflates it exactly as the writing thread would (the same stream fed in
// the same pieces, or a small file whole), stages its metadata stream and
// deflates that; the bytes go to the writer in memory or, past the bounds,
// through a temporary file. Lines and failures stay with the entry.
#include "pipeline.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>
#include <zlib.h>

namespace ziputil {

namespace {

// One worker's deflate stream and whole-file codec, kept from entry to entry.
struct Deflater {
    z_stream z;
    int level = -2;  // none yet
    std::unique_ptr<Bytef[]> out{new Bytef[kChunk]};
    Whole whole;
    BlockDeflater blocks;
    ~Deflater()
    {
        if (level != -2)
            deflateEnd(&z);
    }
};

// Hands a full output piece to the writer: in memory while the bounds
// allow, else appended to the entry's temporary file.
bool hand_over(Pipeline &p, DeflatedEntry &e, Out &out, const Bytef *data, size_t size)
{
    std::string piece(reinterpret_cast<const char *>(data), size);
    {
        std::lock_guard<std::mutex> hold(p.lock);
        if (e.spill_file.fd < 0 && e.size_in_memory + piece.size() <= kInMemory &&
            p.in_memory + piece.size() <= kMemoryBudget) {
            e.size_in_memory += piece.size();
            p.in_memory += piece.size();
            e.chunks.push_back(std::move(piece));
            piece.clear();
        }
    }
    if (!piece.empty()) {
        if (e.spill_file.fd < 0) {
            int fd = make_temp_file("crzip.spill", e.spill);
            if (fd < 0)
                return fail_error(out, FAILURE_CANNOT_WRITE, "Cannot pack ", e.name, errno);
            e.spill_file.fd = fd;  // read by the writer only after `spilled` grows
        }
        if (!write_full(e.spill_file.fd, piece.data(), piece.size(), int64_t(e.spilled_made)))
            return fail_error(out, FAILURE_CANNOT_WRITE, "Cannot write ", *e.spill, errno);
        e.spilled_made += piece.size();
        std::lock_guard<std::mutex> hold(p.lock);
        e.spilled = e.spilled_made;
        tell_writer(p);
    } else {
        std::lock_guard<std::mutex> hold(p.lock);
        tell_writer(p);
    }
    return true;
}

// One deflate call the way minizip makes it: a full output buffer is handed
// over only when deflate asks for room.
bool deflate_step(Pipeline &p, DeflatedEntry &e, Out &out, Deflater &d, int flush, int &rc)
{
    if (d.z.avail_out == 0) {
        if (!hand_over(p, e, out, d.out.get(), kChunk))
            return false;
        d.z.next_out = d.out.get();
        d.z.avail_out = uInt(kChunk);
    }
    rc = deflate(&d.z, flush);
    return true;
}

// A small file deflated whole, as compress_file does it; false to stream it.
bool deflate_small_file(Pipeline &p, DeflatedEntry &e, Out &out, int fd, Deflater &d)
{
    WholeDeflated made;
    if (!deflate_whole(fd, e.level, d.whole, made))
        return false;
    e.size = made.size;
    progress_add(out.ctx, (long long)made.size);
    e.crc = made.crc;
    e.info.internal_fa = made.text ? 1 : 0;
    e.ok = 1;
    for (size_t at = 0; at < made.deflated && e.ok; at += kChunk)
        if (!hand_over(p, e, out, d.whole.out.get() + at, std::min(kChunk, made.deflated - at)))
            e.ok = 0;
    return true;
}

// The data of a regular file through deflate, as compress_file feeds it.
void deflate_file(Pipeline &p, DeflatedEntry &e, Out &out, const char *disk_path, bool small, Deflater &d,
                  char *buffer)
{
    if (small && e.level != 0 && !p.stop) {
        Fd in(open(disk_path, O_RDONLY | O_CLOEXEC));
        if (in.fd >= 0 && deflate_small_file(p, e, out, in.fd, d))
            return;
    }
    bool ok = start_deflate(d.z, d.level, e.level);
    if (!ok)
        fail_error(out, FAILURE_CANNOT_WRITE, "Cannot pack ", disk_path, ENOMEM);
    d.z.next_out = d.out.get();
    d.z.avail_out = uInt(kChunk);
    Fd in(ok ? open(disk_path, O_RDONLY | O_CLOEXEC) : -1);
    if (ok && in.fd < 0)
        fail_error(out, FAILURE_CANNOT_READ, "Cannot read ", disk_path, errno);
    int rc = Z_OK;
    while (ok && in.fd >= 0 && !p.stop) {
        ssize_t n = read_for_entry(out, in.fd, buffer, disk_path, e.zip64, e.size, e.refused);
        if (n <= 0) {
            e.ok = n == 0;
            break;
        }
        e.crc = libdeflate_crc32(uint32_t(e.crc), buffer, size_t(n));
        d.z.next_in = reinterpret_cast<Bytef *>(buffer);
        d.z.avail_in = uInt(n);
        while (ok && d.z.avail_in > 0)
            ok = deflate_step(p, e, out, d, Z_NO_FLUSH, rc) && rc == Z_OK;
    }
    // Closing flushes the stream, whatever came before, as minizip does.
    rc = Z_OK;
    while (ok && rc == Z_OK && d.level != -2)
        ok = deflate_step(p, e, out, d, Z_FINISH, rc);
    if (rc != Z_STREAM_END)
        e.ok = 0;
    e.info.internal_fa = d.level != -2 && d.z.data_type == Z_TEXT ? 1 : 0;
    size_t last = d.level == -2 ? 0 : kChunk - d.z.avail_out;
    if (ok && last > 0)
        ok = hand_over(p, e, out, d.out.get(), last);
    if (!ok)
        e.ok = 0;
}

// A big file's first blocks, made here while the budget allows: the
// writer, alone on its thread, only writes them. A file of many blocks
// that comes later still has every thread once its turn comes.
void make_sample(Pipeline &p, DeflatedEntry &e, Deflater &d)
{
    {
        std::lock_guard<std::mutex> hold(p.lock);
        if (p.stop || p.in_samples + kSampleBytes > kSampleBudget)
            return;
        p.in_samples += kSampleBytes;
    }
    sample_in_blocks(e.path.c_str(), e.level, d.blocks, &e.fault, e.sample);
    std::lock_guard<std::mutex> hold(p.lock);
    p.in_samples -= kSampleBytes - e.sample.held();  // never more: a stored sample holds nothing
}

// What compress_file does with an item, short of writing it: its header,
// the link's target or the deflated data, and its lines.
void make_entry(Pipeline &p, DeflatedEntry &e, const char *entry_name, const char *disk_path, int level, Deflater &d,
                char *buffer, bool data)
{
    e.name = entry_name;
    e.fault.progress = p.progress;
    struct stat st;
    entry_info(disk_path, e.info, st);
    Out before{&e.fault, &e.before}, after{&e.fault, &e.after};
    if (S_ISLNK(st.st_mode)) {
        ssize_t n = readlink(disk_path, buffer, ZIPUTIL_BUFFER_SIZE);
        if (n <= 0) {
            e.ok = fail_error(before, FAILURE_CANNOT_READ, "Cannot read link ", disk_path, n == 0 ? ENOENT : errno);
        } else {
            e.present = e.link = true;
            e.chunks.emplace_back(buffer, size_t(n));
        }
        return publish(p, e, true);
    }
    e.present = true;
    e.zip64 = uint64_t(st.st_size) >= kZip64From;
    e.ok = 0;  // until the whole file is read
    e.level = raw_extension_level(entry_name, level);
    if (data && packs_in_blocks(e.level, uint64_t(st.st_size))) {
        e.in_blocks = true;  // every thread deflates its blocks once its turn comes
        e.path = disk_path;
        e.ok = 1;
        make_sample(p, e, d);
        return publish(p, e, true);
    }
    publish(p, e, false);
    deflate_file(p, e, after, disk_path, uint64_t(st.st_size) <= kWholeEntry, d, buffer);
    publish(p, e, true);
}

void make_item(Pipeline &p, Item &item, Deflater &d, char *buffer)
{
    make_entry(p, item.data, item.name.c_str(), item.path.c_str(), item.level, d, buffer, true);
    TempFile temp;
    std::string name;
    int staged = 0;
    if (item.data.ok && !p.stop) {
        Out out{&item.metadata.fault, &item.metadata.before};
        staged = stage_metadata(out, item.name.c_str(), item.path.c_str(), temp, name);
    }
    if (staged <= 0) {
        item.metadata.ok = staged == 0;
        return publish(p, item.metadata, true);
    }
    make_entry(p, item.metadata, name.c_str(), temp->c_str(), item.level, d, buffer, false);
}

}  // namespace

void publish(Pipeline &p, DeflatedEntry &e, bool finished)
{
    std::lock_guard<std::mutex> hold(p.lock);
    e.ready = true;
    e.finished = finished;
    tell_writer(p);
}


void work(Pipeline &p)
{
    Deflater d;
    std::unique_ptr<char[]> buffer(new char[ZIPUTIL_BUFFER_SIZE]);
    std::unique_lock<std::mutex> hold(p.lock);
    for (;;) {
        p.idle++;
        p.taken.wait(hold, [&] { return p.stop || p.next < p.first + p.items.size(); });
        p.idle--;
        if (p.stop)
            return;
        p.next = std::max(p.next, p.first);  // the walk's own lines may be written already
        Item &item = *p.items[size_t(p.next++ - p.first)];
        if (!item.lines.empty())
            continue;
        hold.unlock();
        make_item(p, item, d, buffer.get());
        hold.lock();
    }
}


bool start_deflate(z_stream &z, int &current, int level)
{
    if (current == level)
        return deflateReset(&z) == Z_OK;
    if (current != -2)
        deflateEnd(&z);
    current = -2;
    memset(&z, 0, sizeof z);
    if (deflateInit2(&z, level, Z_DEFLATED, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY) != Z_OK)
        return false;
    current = level;
    return true;
}

}  // namespace ziputil
