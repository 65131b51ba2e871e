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
// them); past that a worker streams the rest through a temporary file.
// Files past 1 MiB at a level above 0 are the writer's: when their turn
// comes it packs them in blocks on every thread (blocks.cpp).
//
// The lines a worker would say are kept with the entry and said by the
// writer in order, and the walk's own lines wait for the items before them:
// the lines are those of one thread. The first failed write ends the pack
// as on one thread: nothing after it is written, the workers stop. This
// file is the walk's and the writer's side; pack_workers.cpp the workers'.
#include "pipeline.h"

#include <errno.h>
#include <unistd.h>

#include <system_error>

namespace ziputil {

namespace {

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
    if (e.in_blocks) {
        const size_t held = e.sample.held();
        int ok = pack_in_blocks(pk, archive, e.name.c_str(), e.path.c_str(), e.info, e.level, e.zip64, &e.sample);
        e.sample = BlockSample();
        hold.lock();
        p.in_samples -= held;
        hold.unlock();
        return ok;
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
