// The files of an archive written on every core. The central directory is
// read and checked first, as on one thread; then the entries are read in
// order and the files go into jobs, one per file: its data entry and its
// "__MACOSX/" metadata entry, in archive order, so that one worker writes
// both. Workers take the jobs in archive order, each with its own archive
// handle, buffers and read-ahead windows. What must come in order is done on
// the calling thread as its turn comes: directories, links (only collected,
// made after every file as on one thread) and metadata for anything that is
// not a file of the running jobs (a directory, a link, an item already on
// disk), after every job before it.
//
// Two names of one file (through a link already in the destination) resolve
// to one path: they share a job, so that no two workers write one file.
//
// The first failure stops the others: each stops at its next read, removes
// the file it was writing and says nothing; the call fails with the first
// worker's reason, and no link is made, as on one thread.
#include "unpack.h"

#include <sys/stat.h>

#include <system_error>
#include <thread>

namespace ziputil {

namespace {

struct Batch {
    EntryPlan *plan;
    const Unpack *base;
    std::atomic<size_t> next{0};
    std::atomic<bool> stop{false};
    zip_failure first = ZIP_OK;  // written once, by the worker that set `stop`
};

void stop_with(Batch &b, zip_failure why)
{
    if (!b.stop.exchange(true))
        b.first = why;
}

void work(Batch &b)
{
    zip_failure failure = ZIP_OK;
    worker_failure = &failure;
    ArchiveStream *stream = nullptr;
    ArchivePtr zip(open_zip_for_reading(b.plan->archive, &stream));
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[ZIPUTIL_BUFFER_SIZE]);
    std::unique_ptr<char[]> out_buffer(new (std::nothrow) char[kOutputBuffer]);
    if (!zip || !buffer || !out_buffer) {
        say("Failed to open zip file");
        stop_with(b, zip ? ZIP_CANNOT_WRITE : ZIP_CANNOT_READ);
        worker_failure = nullptr;
        return;
    }
    Unpack u{zip.get(), b.base->destination, b.base->root, b.base->cwd, buffer.get(), out_buffer.get(), {}, {}, {}};
    u.stop = &b.stop;
    const std::vector<std::vector<EntryPlan::Entry>> &jobs = b.plan->jobs;
    for (size_t j = b.next++; j < jobs.size() && !b.stop; j = b.next++) {
        for (const EntryPlan::Entry &e : jobs[j]) {
            unz_file_info64 info;
            char name[ZIPUTIL_PATH_MAX];
            if (b.stop)
                break;
            if (unzSetOffset64(u.zip, e.offset) != UNZ_OK ||
                unzGetCurrentFileInfo64(u.zip, &info, name, sizeof name, nullptr, 0, nullptr, 0) != UNZ_OK ||
                info.size_filename >= sizeof name) {
                say("Damaged archive: cannot read entry ", std::to_string(e.number));
                failed(ZIP_DAMAGED);
            } else if (unpack_entry(u, info, name)) {
                continue;
            }
            if (failure != ZIP_OK)  // else stopped by another's failure
                stop_with(b, failure);
            break;
        }
    }
    worker_failure = nullptr;
}

// Writes the planned jobs with up to thread_count() workers, the calling
// thread one of them; empties the plan.
int run_jobs(EntryPlan &plan, Unpack &u)
{
    if (plan.jobs.empty())
        return 1;
    Batch b;
    b.plan = &plan;
    b.base = &u;
    size_t workers = std::min<size_t>(size_t(thread_count()), plan.jobs.size());
    std::vector<std::thread> threads;
    for (size_t i = 1; i < workers; i++) {
        try {
            threads.emplace_back(work, std::ref(b));
        } catch (const std::system_error &) {
            break;  // fewer workers, the same work
        }
    }
    work(b);
    for (std::thread &t : threads)
        t.join();
    plan.jobs.clear();
    plan.job_of.clear();
    return b.stop ? failed(b.first) : 1;
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

int plan_entry(EntryPlan &plan, Unpack &u, const unz_file_info64 &info, const std::string &name, uint64_t number)
{
    const unsigned mode = (info.external_fa >> 16) & 0xffff;
    std::string target;
    bool metadata = metadata_target_name(name, target);
    bool file = !metadata && !is_directory_entry(name, mode) && (mode & 0xF000) != 0xA000 &&
                name.compare(0, 9, "__MACOSX/") != 0 && fits(u.destination + name);
    if (!file && !metadata)
        return unpack_entry(u, info, name);
    EntryPlan::Entry entry{unzGetOffset64(u.zip), number};
    std::string key = file_key(plan, u, file ? name : target);
    auto job = plan.job_of.find(key);
    if (metadata) {
        if (job == plan.job_of.end() || u.link_paths.count(u.destination + target))
            return run_jobs(plan, u) && unpack_entry(u, info, name);
        plan.jobs[job->second].push_back(entry);
        return 1;
    }
    if (job == plan.job_of.end()) {
        job = plan.job_of.emplace(key, plan.jobs.size()).first;
        plan.jobs.emplace_back();
    }
    plan.jobs[job->second].push_back(entry);
    return 1;
}

int finish_plan(EntryPlan &plan, Unpack &u)
{
    return run_jobs(plan, u) && make_links(u);
}

}  // namespace ziputil
