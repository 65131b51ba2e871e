// The files of an archive written on every core. The central directory is
// read and checked first, as on one thread; then the entries are taken in
// order and the files go into jobs, one per file: its data entry and its
// "__MACOSX/" metadata entry, in archive order, so that one worker writes
// both. Workers take the jobs in archive order, each with its own read-ahead
// window on the archive, entry streams and buffers. What must come in order
// is done on the calling thread as its turn comes: directories, links (only
// collected, made after every file as on one thread) and metadata for
// anything that is not a file of the running jobs (a directory, a link, an
// item already on disk), after every job before it.
//
// Two names of one file (through a link already in the destination) resolve
// to one path: they share a job, so that no two workers write one file.
//
// A failure stops the jobs after it: each stops at its next read, removes
// the file it was writing and says nothing; the jobs before it end their
// work. The call fails with the reason and the lines of the first entry in
// archive order that failed, said last, and no link is made: the tree holds
// at least what one thread leaves. A refusal met in order waits the same
// way for the files before it.
#include "unpack.h"

#include <sys/stat.h>

#include <stdint.h>

#include <algorithm>
#include <mutex>
#include <system_error>
#include <thread>

namespace ziputil {

namespace {

const size_t kNone = SIZE_MAX;

struct Batch {
    const EntryPlan *plan;
    const ArchiveIndex *index;
    const Unpack *base;
    std::atomic<size_t> next{0};
    // The first job in archive order that failed: the jobs after it stop,
    // those before it run to their end, as on one thread.
    std::atomic<size_t> failed_job{kNone};
    std::mutex lock;  // guards what follows
    int why_kind = FAILURE_NONE;
    std::string why_line;
    std::vector<std::string> why_lines;  // the failed entry's lines, said last
};

// Runs one entry with its lines and its failure held back in `lines` and
// `entry_ctx`; 1 to go on.
int held_back(Unpack &u, const Entry &entry, std::vector<std::string> &lines, call_context &entry_ctx)
{
    const Out outer = u.out;
    entry_ctx.progress = outer.ctx->progress;
    u.out = Out{&entry_ctx, &lines};
    int ok = unpack_entry(u, entry);
    u.out = outer;
    return ok;
}

void say_all(Out &out, const std::vector<std::string> &lines)
{
    for (const std::string &line : lines)
        say(out, "", line);
}

void fail_at(Batch &b, size_t job, call_context &entry_ctx, std::vector<std::string> &lines)
{
    std::lock_guard<std::mutex> hold(b.lock);
    if (job >= b.failed_job)
        return;  // an earlier one failed: on one thread this one never ran
    b.failed_job = job;
    b.why_kind = context_failure(&entry_ctx);
    b.why_line = context_line(&entry_ctx);
    b.why_lines.swap(lines);
}

// Takes jobs until none is left or one before failed. `file` and the
// buffers are this worker's own; the links and their metadata stay the
// caller's.
void take_jobs(Batch &b, ArchiveFile &file, char *buffer, char *out_buffer, Whole *whole)
{
    Unpack u{b.base->out, &file, b.base->destination, b.base->root, b.base->cwd, buffer, out_buffer, {}, {}, {}};
    u.whole = whole;
    u.failed_job = &b.failed_job;
    const std::vector<std::vector<size_t>> &jobs = b.plan->jobs;
    std::vector<std::string> lines;
    for (size_t j = b.next++; j < jobs.size() && j < b.failed_job; j = b.next++) {
        u.job = j;
        for (size_t at : jobs[j]) {
            call_context entry_ctx;
            lines.clear();
            int ok = held_back(u, b.index->entries[at], lines, entry_ctx);
            if (j > b.failed_job)
                break;  // stopped: said nothing, left nothing
            if (!ok) {
                fail_at(b, j, entry_ctx, lines);
                break;
            }
            std::lock_guard<std::mutex> hold(b.lock);  // whole lines, one entry's together
            say_all(u.out, lines);
        }
    }
}

void spawned_worker(Batch &b)
{
    ArchiveFile file;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[ZIPUTIL_BUFFER_SIZE]);
    std::unique_ptr<char[]> out_buffer(new (std::nothrow) char[kOutputBuffer]);
    // One that cannot start leaves the jobs to the others: the calling
    // thread always takes them.
    if (!buffer || !out_buffer || !share_archive_file(*b.base->file, file))
        return;
    Whole whole;
    take_jobs(b, file, buffer.get(), out_buffer.get(), &whole);
}

// Writes the planned jobs with up to thread_count() workers, the calling
// thread one of them; empties the plan.
int run_jobs(EntryPlan &plan, Unpack &u, const ArchiveIndex &index)
{
    if (plan.jobs.empty())
        return 1;
    Batch b;
    b.plan = &plan;
    b.index = &index;
    b.base = &u;
    size_t workers = std::min<size_t>(size_t(thread_count()), plan.jobs.size());
    std::vector<std::thread> threads;
    for (size_t i = 1; i < workers; i++) {
        try {
            threads.emplace_back(spawned_worker, std::ref(b));
        } catch (const std::system_error &) {
            break;  // fewer workers, the same work
        }
    }
    take_jobs(b, *u.file, u.buffer, u.out_buffer, u.whole);
    for (std::thread &t : threads)
        t.join();
    plan.jobs.clear();
    plan.job_of.clear();
    if (b.failed_job == kNone)
        return 1;
    say_all(u.out, b.why_lines);
    return context_fail(u.out.ctx, b.why_kind, b.why_line);
}

// An entry that must come in order. A refusal waits for the files before
// it, so that the tree and the last line are those of one thread.
int in_order(EntryPlan &plan, Unpack &u, const ArchiveIndex &index, const Entry &entry)
{
    std::vector<std::string> lines;
    call_context entry_ctx;
    int ok = held_back(u, entry, lines, entry_ctx);
    if (!ok && !run_jobs(plan, u, index))
        return 0;  // a file before it failed first
    say_all(u.out, lines);
    return ok ? 1 : context_fail(u.out.ctx, context_failure(&entry_ctx), context_line(&entry_ctx));
}

// Where the file `name` will be written: its folder resolved once (no link
// is made before every file is written) and its last component followed
// when a link stands there already.
std::string file_key(EntryPlan &plan, const Unpack &u, const std::string &name)
{
    std::string parent = parent_of(name);
    auto dir = plan.resolved_dirs.find(parent);
    if (dir == plan.resolved_dirs.end()) {
        std::string where;
        if (!resolve_path(u.root, parent, true, where))
            where = u.root + "/" + parent;  // refused when its turn comes
        dir = plan.resolved_dirs.emplace(parent, where).first;
    }
    std::string key = dir->second + "/" + last_component(name);
    struct stat st;
    if (lstat(key.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && !resolve_path(u.root, name, true, key))
        key = u.root + "/" + name;
    return key;
}

}  // namespace

int plan_entry(EntryPlan &plan, Unpack &u, const ArchiveIndex &index, size_t at)
{
    const Entry &entry = index.entries[at];
    const std::string &name = entry.name;
    // What unpack_entry would write as a file or as a file's metadata; the
    // rest (and any refusal of a long path) in order, here.
    const bool plain = !entry.directory && (entry.mode & 0xF000) != 0xA000 && fits(u.destination + name);
    std::string target;
    const bool metadata = plain && macmeta::target_name(name, target);
    const bool file = plain && !metadata && name.compare(0, 9, "__MACOSX/") != 0;
    if (!file && !metadata)
        return in_order(plan, u, index, entry);
    std::string key = file_key(plan, u, file ? name : target);
    auto job = plan.job_of.find(key);
    if (metadata) {
        if (job == plan.job_of.end() || u.link_paths.count(u.destination + target))
            return run_jobs(plan, u, index) && unpack_entry(u, entry);
        plan.jobs[job->second].push_back(at);
        return 1;
    }
    if (job == plan.job_of.end()) {
        job = plan.job_of.emplace(key, plan.jobs.size()).first;
        plan.jobs.emplace_back();
    }
    plan.jobs[job->second].push_back(at);
    return 1;
}

int finish_plan(EntryPlan &plan, Unpack &u, const ArchiveIndex &index)
{
    return run_jobs(plan, u, index) && make_links(u);
}

}  // namespace ziputil
