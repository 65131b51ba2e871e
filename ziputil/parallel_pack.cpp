// Packing on every core. The walk runs on the calling thread and hands each
// item to the workers; each worker reads an item, deflates it and stages
// its metadata stream, then deflates that. The calling thread writes the
// entries in the walk's order through minizip as raw entries: same header,
// and the deflate stream made with the same settings and fed in the same
// pieces as minizip feeds it, so the archive is byte for byte what one
// thread writes (stored blocks at level 0 depend on those pieces).
//
// Memory stays bounded: at most four items a worker are in flight, and an
// entry keeps at most 512 KB of deflated bytes in memory (16 MB for all of
// them); past that a worker streams the rest through a temporary file, so
// big files are deflated side by side too.
//
// The lines a worker would say are kept with the entry and said by the
// writer in order, and the walk's own lines wait for the items before them:
// the lines are those of one thread. The first failed write ends the pack
// as on one thread: nothing after it is written, the workers stop.
#include "pack.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>
#include <zlib.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace ziputil {

namespace {

const size_t kChunk = 64 * 1024;  // minizip's output buffer (Z_BUFSIZE): deflate sees the same space
const size_t kInMemory = 512 * 1024;
const uint64_t kMemoryBudget = 16u << 20;
const size_t kWakeFor = 8;
const size_t kItemsPerWorker = 32;  // small files: the writer seldom waits

struct Item {
    std::string name, path;
    int level = 0;
    std::vector<std::string> lines;  // the walk's own lines: said in their place, nothing packed
    int failure = FAILURE_NONE;      // and the walk's failure, recorded there
    std::string failure_line;
    DeflatedEntry data, metadata;
};

}  // namespace

struct Pipeline {
    std::mutex lock;
    // Woken only when someone waits: a pack of small files makes a few
    // hundred thousand of these steps.
    std::condition_variable made, taken;  // the writer waits on made, idle workers on taken
    bool writer_waits = false;
    size_t idle = 0;
    std::deque<std::unique_ptr<Item>> items;  // items[0] is written next
    uint64_t first = 0;  // the number of items[0]
    uint64_t next = 0;   // the number of the next item a worker takes
    uint64_t in_memory = 0;
    size_t window = 0;
    std::atomic<bool> stop{false};
    bool failed = false;  // a write failed: nothing more is written
    std::vector<std::thread> workers;
    std::vector<std::string> walk_lines;
    call_context walk_failure;
    progress_sink *progress = nullptr;  // the call's
};

namespace {

// One worker's deflate stream and whole-file codec, kept from entry to entry.
struct Deflater {
    z_stream z;
    int level = -2;  // none yet
    std::unique_ptr<Bytef[]> out{new Bytef[kChunk]};
    Whole whole;
    ~Deflater()
    {
        if (level != -2)
            deflateEnd(&z);
    }
};

bool start_stream(Deflater &d, int level)
{
    if (d.level == level)
        return deflateReset(&d.z) == Z_OK;
    if (d.level != -2)
        deflateEnd(&d.z);
    d.level = -2;
    memset(&d.z, 0, sizeof d.z);
    if (deflateInit2(&d.z, level, Z_DEFLATED, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY) != Z_OK)
        return false;
    d.level = level;
    return true;
}

// Wakes the writer if it waits; called with the lock held.
void tell_writer(Pipeline &p)
{
    if (p.writer_waits)
        p.made.notify_one();
}

size_t untaken(const Pipeline &p)
{
    return size_t(p.first + p.items.size() - std::max(p.next, p.first));
}

template <class Ready>
void writer_wait(Pipeline &p, std::unique_lock<std::mutex> &hold, Ready ready)
{
    while (!ready()) {
        if (p.idle && untaken(p))
            p.taken.notify_all();
        p.writer_waits = true;
        p.made.wait(hold);
        p.writer_waits = false;
    }
}

void publish(Pipeline &p, DeflatedEntry &e, bool finished)
{
    std::lock_guard<std::mutex> hold(p.lock);
    e.ready = true;
    e.finished = finished;
    tell_writer(p);
}

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
    bool ok = start_stream(d, e.level);
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

// What compress_file does with an item, short of writing it: its header,
// the link's target or the deflated data, and its lines.
void make_entry(Pipeline &p, DeflatedEntry &e, const char *entry_name, const char *disk_path, int level, Deflater &d,
                char *buffer)
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
    publish(p, e, false);
    deflate_file(p, e, after, disk_path, uint64_t(st.st_size) <= kWholeEntry, d, buffer);
    publish(p, e, true);
}

void make_item(Pipeline &p, Item &item, Deflater &d, char *buffer)
{
    make_entry(p, item.data, item.name.c_str(), item.path.c_str(), item.level, d, buffer);
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
    make_entry(p, item.metadata, name.c_str(), temp->c_str(), item.level, d, buffer);
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

// The entry's result; its failure, said already, recorded in the call.
int entry_result(Packing &pk, DeflatedEntry &e)
{
    if (!e.ok && context_failure(&e.fault) != FAILURE_NONE)
        context_fail(pk.out.ctx, context_failure(&e.fault), context_line(&e.fault));
    return e.ok;
}

// Writes one entry as the worker made it. 0 when the pack must end.
int write_entry(Packing &pk, Pipeline &p, zipFile archive, DeflatedEntry &e)
{
    std::unique_lock<std::mutex> hold(p.lock);
    writer_wait(p, hold, [&] { return e.ready; });
    hold.unlock();
    for (const std::string &line : e.before)
        say(pk.out, "", line);
    if (!e.present)
        return entry_result(pk, e);
    if (e.link) {
        if (open_entry(pk, archive, e.name.c_str(), &e.info, 0, 0, false) != ZIP_OK)
            return 0;
        if (zipWriteInFileInZip(archive, e.chunks[0].data(), unsigned(e.chunks[0].size())) != ZIP_OK) {
            fail_archive_write(pk.out, pk.writing);
            zipCloseFileInZip(archive);
            return 0;
        }
        return close_entry(pk, archive);
    }
    // minizip marks text in the central record from deflate's guess at the
    // end, but writes the record's start when the entry opens: the raw entry
    // opens once the guess is known.
    hold.lock();
    writer_wait(p, hold, [&] { return e.finished; });
    hold.unlock();
    if (open_entry(pk, archive, e.name.c_str(), &e.info, Z_DEFLATED, e.level, e.zip64, 1) != ZIP_OK)
        return 0;
    std::string piece;
    for (;;) {
        hold.lock();
        writer_wait(p, hold, [&] { return !e.chunks.empty() || e.spill_read < e.spilled || e.finished; });
        uint64_t from = e.spill_read, to = e.spilled;
        bool in_memory = !e.chunks.empty();
        if (in_memory) {
            piece = std::move(e.chunks.front());
            e.chunks.pop_front();
            p.in_memory -= piece.size();
        } else if (from == to) {
            break;  // finished, all written
        }
        hold.unlock();
        if (!in_memory) {
            piece.resize(std::min<uint64_t>(to - from, kChunk));
            if (!read_full(e.spill_file.fd, &piece[0], piece.size(), int64_t(from))) {
                fail_error(pk.out, FAILURE_CANNOT_READ, "Cannot read ", *e.spill, errno ? errno : EIO);
                close_entry(pk, archive, true, e.size, e.crc);
                return 0;
            }
            e.spill_read += piece.size();
        }
        if (zipWriteInFileInZip(archive, piece.data(), unsigned(piece.size())) != ZIP_OK) {
            fail_archive_write(pk.out, pk.writing);
            close_entry(pk, archive, true, e.size, e.crc);
            return 0;
        }
    }
    hold.unlock();
    for (const std::string &line : e.after)
        say(pk.out, "", line);
    if (e.refused)
        pk.writing.refused = true;
    return close_entry(pk, archive, true, e.size, e.crc) && entry_result(pk, e);
}

// Writes the oldest item and lets it go.
int write_front(Packing &pk, Pipeline &p, zipFile archive)
{
    Item &item = *p.items.front();
    int ok = 1;
    for (const std::string &line : item.lines)
        say(pk.out, "", line);
    if (item.failure != FAILURE_NONE)
        context_fail(pk.out.ctx, item.failure, item.failure_line);  // the walk's, in its place
    if (item.lines.empty())
        ok = write_entry(pk, p, archive, item.data) && write_entry(pk, p, archive, item.metadata);
    std::lock_guard<std::mutex> hold(p.lock);
    if (!ok) {
        p.stop = true;  // a worker may still be at this item: it stays until they are gone
        p.taken.notify_all();
        return 0;
    }
    p.items.pop_front();
    p.first++;
    return 1;
}

void push_item(Pipeline &p, std::unique_ptr<Item> item)
{
    std::lock_guard<std::mutex> hold(p.lock);
    p.items.push_back(std::move(item));
    // Idle workers are woken for a handful of items at once (or when the
    // writer is about to wait), not for each small file.
    if (p.idle && untaken(p) >= kWakeFor)
        p.taken.notify_one();
}

// The walk's lines since the last item, as an item of their own.
void push_walk_lines(Pipeline &p)
{
    if (p.walk_lines.empty())
        return;
    std::unique_ptr<Item> item(new Item());
    item->lines.swap(p.walk_lines);
    item->failure = context_failure(&p.walk_failure);
    item->failure_line = context_line(&p.walk_failure);
    context_start(&p.walk_failure);
    push_item(p, std::move(item));
}

}  // namespace

bool start_parallel_pack(Packing &pk)
{
    std::unique_ptr<Pipeline> p(new (std::nothrow) Pipeline());
    if (!p)
        return false;
    p->progress = pk.out.ctx->progress;
    size_t workers = size_t(thread_count());
    p->window = kItemsPerWorker * workers;
    for (size_t i = 0; i < workers; i++) {
        try {
            p->workers.emplace_back(work, std::ref(*p));
        } catch (const std::system_error &) {
            break;
        }
    }
    if (p->workers.empty())
        return false;  // packed on this thread alone
    pk.parallel = p.release();
    pk.walk = Out{&pk.parallel->walk_failure, &pk.parallel->walk_lines};
    return true;
}

int queue_item(Packing &pk, zipFile archive, const char *entry_name, const char *disk_path, int level)
{
    Pipeline &p = *pk.parallel;
    push_walk_lines(p);
    std::unique_ptr<Item> item(new Item());
    item->name = entry_name;
    item->path = disk_path;
    item->level = level;
    push_item(p, std::move(item));
    while (!p.failed && p.items.size() > p.window)
        p.failed = !write_front(pk, p, archive);
    return !p.failed;
}

int end_parallel_pack(Packing &pk, zipFile archive, int result)
{
    std::unique_ptr<Pipeline> p(pk.parallel);
    pk.parallel = nullptr;
    pk.walk = pk.out;
    if (!p->failed) {
        push_walk_lines(*p);
        while (!p->failed && !p->items.empty())
            p->failed = !write_front(pk, *p, archive);
    }
    {
        std::lock_guard<std::mutex> hold(p->lock);
        p->stop = true;
    }
    p->taken.notify_all();
    for (std::thread &t : p->workers)
        t.join();
    return p->failed ? 0 : result;
}

}  // namespace ziputil
