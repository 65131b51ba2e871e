// What the two sides of a parallel pack share: the items in flight, the
// pipeline between the walk, the workers and the writer, and its wake-ups.
#ifndef ZIPUTIL_PIPELINE_H
#define ZIPUTIL_PIPELINE_H

#include "pack.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace ziputil {

const size_t kChunk = 64 * 1024;  // minizip's output buffer (Z_BUFSIZE): deflate sees the same space
const size_t kInMemory = 512 * 1024;
const uint64_t kMemoryBudget = 16u << 20;
const size_t kWakeFor = 8;
const size_t kItemsPerWorker = 32;  // small files: the writer seldom waits
const uint64_t kSampleBudget = 4 * kSampleBytes;  // big files' first blocks made ahead


struct Item {
    std::string name, path;
    int level = 0;
    std::vector<std::string> lines;  // the walk's own lines: said in their place, nothing packed
    int failure = FAILURE_NONE;      // and the walk's failure, recorded there
    std::string failure_line;
    DeflatedEntry data, metadata;
};


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
    uint64_t in_samples = 0;  // kept for big files' first blocks
    size_t window = 0;
    std::atomic<bool> stop{false};
    bool failed = false;  // a write failed: nothing more is written
    std::vector<std::thread> workers;
    std::vector<std::string> walk_lines;
    call_context walk_failure;
    progress_sink *progress = nullptr;  // the call's
};

// Wakes the writer if it waits; called with the lock held.
inline void tell_writer(Pipeline &p)
{
    if (p.writer_waits)
        p.made.notify_one();
}

inline size_t untaken(const Pipeline &p)
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


// A worker's loop: takes items until the pipeline stops (pack_workers.cpp).
void work(Pipeline &p);
// Marks what follows in `e` as known and wakes the writer.
void publish(Pipeline &p, DeflatedEntry &e, bool finished);

}  // namespace ziputil

#endif
