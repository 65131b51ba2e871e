// What each kind of entry writes: regular files in place of what stands at
// their path, metadata onto an item inside the destination, and links, made
// last so that no file is ever written through one of the archive's own.
#include "copyfile.h"
#include "unpack.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ziputil {

namespace {

// Opens a regular file for writing at `path` (never a link: resolved
// already), creating it or rewriting it in place. A FIFO, socket or device
// there is replaced, never opened; a file that cannot be opened for writing
// (read-only, or a running program) is replaced too.
int open_output(const std::string &path)
{
    const char *p = path.c_str();
    struct stat st;
    if (lstat(p, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
        unlink(p);
    // O_NONBLOCK: a FIFO that appears meanwhile fails or is refused below, never waited on.
    int fd = open(p, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0 && (errno == EACCES || errno == EPERM || errno == ETXTBSY) && unlink(p) == 0)
        fd = open(p, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        return -1;
    }
    return fd;
}

// Whether an entry before this one failed: this file goes too.
bool stopped(const Unpack &u)
{
    return u.failed_job && u.job > u.failed_job->load(std::memory_order_relaxed);
}

// Writes the entry into `out`, its size and CRC checked against the central
// record: no entry that lies about its size or content passes. A small one
// is inflated whole and written once it passed; the others stream, and so
// does a small one that did not pass, for the lines that say why.
int copy_entry(Unpack &u, const Entry &entry, FILE *out, const std::string &name)
{
    if (u.whole && inflate_whole(*u.file, entry, *u.whole)) {
        if (stopped(u))
            return 0;
        size_t size = size_t(entry.size);
        if ((size > 0 && fwrite(u.whole->out.get(), 1, size, out) != size) || fflush(out) != 0) {
            int err = errno;
            say_error("Could not write ", name, err);
            return failed_write(err);
        }
        ZIP_UNPACK_BYTES_DONE.fetch_add((long long)size, std::memory_order_relaxed);
        return 1;
    }
    EntryStream stream;
    if (!open_entry_stream(entry, stream))
        return 0;
    std::string why;
    for (;;) {
        if (stopped(u))
            return 0;
        long n = read_entry_stream(*u.file, stream, u.buffer, ZIPUTIL_BUFFER_SIZE, why);
        if (n == -2) {
            say_error("Cannot read the archive at entry ", name, errno ? errno : EIO);
            return failed(ZIP_CANNOT_READ);
        }
        if (n < 0) {
            say(why.c_str());
            return 0;
        }
        if (n == 0)
            break;
        if (fwrite(u.buffer, 1, size_t(n), out) != size_t(n)) {
            int err = errno;
            say_error("Could not write ", name, err);
            return failed_write(err);
        }
        ZIP_UNPACK_BYTES_DONE.fetch_add(n, std::memory_order_relaxed);
    }
    if (fflush(out) != 0) {
        int err = errno;
        say_error("Could not write ", name, err);
        return failed_write(err);
    }
    if (!entry_stream_checks(stream, why)) {
        say(why.c_str());
        return 0;
    }
    return 1;
}

// Applies an AppleDouble stream; a stream that cannot be parsed is damage,
// named with what is wrong in it.
int apply_metadata(const std::string &stream, const std::string &target, const std::string &name)
{
    metadata_fault = "it is not an AppleDouble stream";
    if (copyfile(stream.c_str(), target.c_str(), nullptr, ZIPUTIL_COPYFILE_UNPACK_FLAGS) == 0)
        return 1;
    int err = errno;
    if (err != EINVAL) {
        say_error("Cannot apply the metadata of ", name, err);
        return failed_write(err);
    }
    say(("Refusing a malformed metadata stream in " + name + ": ").c_str(), metadata_fault);
    return failed(ZIP_DAMAGED);
}

}  // namespace

// A symbolic link entry: checked now against the tree as it stands, made
// after every file.
int unpack_link(Unpack &u, const Entry &entry, const std::string &name, const std::string &path)
{
    EntryStream stream;
    if (!open_entry_stream(entry, stream))
        return 0;
    std::string why;
    long n = read_entry_stream(*u.file, stream, u.buffer, ZIPUTIL_BUFFER_SIZE - 1, why);
    if (n < 0 && n != -2) {
        say(why.c_str());
        return 0;
    }
    if (n <= 0) {
        say("Empty or unreadable link entry: ", name);
        return failed(n == -2 ? ZIP_CANNOT_READ : ZIP_DAMAGED);
    }
    u.buffer[n] = '\0';
    PendingLink link{name, path, u.buffer};
    char rest;
    if (uint64_t(n) != entry.size || link.target.size() != size_t(n) ||
        read_entry_stream(*u.file, stream, &rest, 1, why) != 0) {
        say("Size mismatch in link entry: ", name);
        return failed(ZIP_DAMAGED);
    }
    if (!entry_stream_checks(stream, why)) {
        say(why.c_str());
        return 0;
    }
    ZIP_UNPACK_BYTES_DONE.fetch_add(n, std::memory_order_relaxed);
    if (!link_stays_inside(u, link)) {
        say("Refusing link whose target leaves the destination: ", name + " -> " + link.target);
        return failed(ZIP_REFUSED);
    }
    u.link_paths.insert(path);
    u.links.push_back(std::move(link));
    return 1;
}

// The AppleDouble stream goes through a temporary file onto the target, an
// item strictly inside the destination.
int unpack_metadata_entry(Unpack &u, const Entry &entry, const std::string &name, const std::string &target)
{
    if (!fits(target)) {
        say("Output path too long: ", target);
        return failed(ZIP_REFUSED);
    }
    std::string last = last_component(target), resolved;
    if (last == "." || last == ".." || !leads_inside(u, target, true, &resolved) || resolved == u.root) {
        say("Refusing metadata for a file outside the destination: ", name);
        return failed(ZIP_REFUSED);
    }
    bool for_link = u.link_paths.count(target) > 0;
    struct stat st;
    int found = for_link ? 0 : stat(resolved.c_str(), &st);
    if (!for_link && found == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        say("Refusing metadata for a special file: ", name);
        return failed(ZIP_REFUSED);
    }
    if (found != 0 && errno == ENOENT) {
        // Before its own entry: the target is made empty, its data comes later.
        Fd made(open(resolved.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    }
    TempFile stream;
    int fd = make_temp_file("crunzip.temp", stream);
    if (fd < 0) {
        int err = errno;
        say("Failed to make temporary file");
        return failed_write(err);
    }
    FilePtr out = file_from_fd(fd, "w");
    if (!out) {
        int err = errno;
        say("Could not write to destination file: ", *stream);
        return failed_write(err);
    }
    if (!copy_entry(u, entry, out.get(), name))
        return 0;
    out.reset();
    if (for_link) {
        u.link_metadata.push_back({std::move(stream), name, target});
        return 1;
    }
    return apply_metadata(*stream, target, name);
}

int unpack_file(Unpack &u, const Entry &entry, const std::string &name, const std::string &path,
                unsigned mode)
{
    std::string resolved;
    if (!leads_inside(u, path, true, &resolved)) {
        say("Refusing to write through a link that leads outside the destination: ", name);
        return failed(ZIP_REFUSED);
    }
    if (!make_dirs(u.destination.c_str(), name.c_str())) {
        int err = errno;
        say("Failed to make dirs for unzipped file");
        return failed_write(err);
    }
    int fd = open_output(resolved);
    int err = errno;
    FilePtr out = fd < 0 ? nullptr : file_from_fd(fd, "w");
    if (!out) {
        err = fd < 0 ? err : errno;
        say("Could not write to destination file: ", path);
        return failed_write(err);
    }
    setvbuf(out.get(), u.out_buffer, _IOFBF, kOutputBuffer);
    int ok = copy_entry(u, entry, out.get(), name);
    if (ok && mode != 0)
        fchmod(fileno(out.get()), mode & 07777);
    if (fclose(out.release()) != 0 && ok) {
        err = errno;
        say_error("Could not write ", name, err);
        ok = failed_write(err);
    }
    if (!ok)
        unlink(resolved.c_str());  // never leave a half-written or altered file
    return ok;
}

// Makes the links in archive order, each checked against the tree as it
// then stands; then checks every one against the final tree, since a later
// link can change where an earlier one leads.
int make_links(Unpack &u)
{
    std::vector<std::string> made;
    for (const PendingLink &link : u.links) {
        if (!link_stays_inside(u, link)) {
            say("Refusing link whose target leaves the destination: ", link.name + " -> " + link.target);
            return failed(ZIP_REFUSED);
        }
        if (!make_dirs(u.destination.c_str(), link.name.c_str())) {
            int err = errno;
            say("Failed to make dirs for unzipped file");
            return failed_write(err);
        }
        struct stat st;
        if (lstat(link.path.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                say("Leaving existing entry in place of link: ", link.path);
                continue;
            }
            unlink(link.path.c_str());  // an update may move a link to a new target
        }
        if (symlink(link.target.c_str(), link.path.c_str()) != 0) {
            int err = errno;
            say_error("Could not create link: ", link.path, err);
            return failed_write(err);
        }
        made.push_back(link.path);
    }
    int ok = 1;
    for (bool removed = true; removed;) {
        removed = false;
        for (std::string &path : made)
            if (!path.empty() && !leads_inside(u, path, true)) {
                say("Removing link that leads outside the destination: ", path);
                unlink(path.c_str());
                path.clear();
                removed = true;
                ok = failed(ZIP_REFUSED);
            }
    }
    for (const PendingMetadata &md : u.link_metadata) {
        // Applied through the link: it must not reach the destination itself.
        std::string resolved;
        if (ok && (!leads_inside(u, md.target, true, &resolved) || resolved == u.root)) {
            say("Refusing metadata for a file outside the destination: ", md.name);
            ok = failed(ZIP_REFUSED);
        }
        if (ok && !apply_metadata(*md.stream, md.target, md.name))
            ok = 0;
    }
    return ok;
}

}  // namespace ziputil
