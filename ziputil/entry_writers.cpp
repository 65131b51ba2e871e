// What each kind of entry writes: regular files in place of what stands at
// their path, metadata onto an item inside the destination, and links, made
// last so that no file is ever written through one of the archive's own.
#include "unpack.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ziputil {

namespace {

// A big deflated entry: inflated straight into the output buffer.
bool streams_in_bulk(const Entry &entry)
{
    return entry.method != 0 && entry.size > kWholeEntry;
}

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

// Writes the entry into `out`, its size and CRC checked against the central
// record: no entry that lies about its size or content passes. A small one
// is inflated whole and written once it passed; the others stream, and so
// does a small one that did not pass, for the lines that say why. A big one
// streams through the output buffer itself, `out` unbuffered: its bytes are
// written where they were inflated.
int copy_entry(Unpack &u, const Entry &entry, FILE *out, const std::string &name)
{
    if (u.whole && inflate_whole(*u.file, entry, *u.whole)) {
        if (stopped(u))
            return 0;
        size_t size = size_t(entry.size);
        if ((size > 0 && fwrite(u.whole->out.get(), 1, size, out) != size) || fflush(out) != 0)
            return fail_error(u.out, FAILURE_CANNOT_WRITE, "Could not write ", name, errno);
        progress_add(u.out.ctx, (long long)size);
        return 1;
    }
    if (copies_stored(*u.file, entry))
        return fflush(out) == 0 ? copy_stored(u, entry, fileno(out), name)
                                : fail_error(u.out, FAILURE_CANNOT_WRITE, "Could not write ", name, errno);
    EntryStream stream;
    Fault why;
    if (!open_entry_stream(entry, stream, why))
        return fail(u.out, why.kind, why.line);
    const bool bulk = streams_in_bulk(entry);
    char *buffer = bulk ? u.out_buffer : u.buffer;
    for (;;) {
        if (stopped(u))
            return 0;
        long n = read_entry_stream(*u.file, stream, buffer, bulk ? kOutputBuffer : ZIPUTIL_BUFFER_SIZE, why);
        if (n == -2)
            return fail_error(u.out, FAILURE_CANNOT_READ, "Cannot read the archive at entry ", name, errno ? errno : EIO);
        if (n < 0)
            return fail(u.out, why.kind, why.line);
        if (n == 0)
            break;
        if (fwrite(buffer, 1, size_t(n), out) != size_t(n))
            return fail_error(u.out, FAILURE_CANNOT_WRITE, "Could not write ", name, errno);
        progress_add(u.out.ctx, n);
    }
    if (fflush(out) != 0)
        return fail_error(u.out, FAILURE_CANNOT_WRITE, "Could not write ", name, errno);
    if (!entry_stream_checks(stream, why))
        return fail(u.out, why.kind, why.line);
    return 1;
}

// Applies an AppleDouble stream; a stream that cannot be parsed is damage,
// named with what is wrong in it.
int apply_metadata(Out &out, const std::string &stream, const std::string &target, const std::string &name)
{
    std::string fault;
    std::vector<std::string> notes;
    int rc = macmeta::apply_stream(stream.c_str(), target.c_str(), fault, notes);
    int err = errno;
    for (const std::string &note : notes)
        say(out, "", note);
    if (rc == 0)
        return 1;
    if (err != EINVAL)
        return fail_error(out, FAILURE_CANNOT_WRITE, "Cannot apply the metadata of ", name, err);
    return fail(out, FAILURE_DAMAGED, "Refusing a malformed metadata stream in " + name + ": " + fault);
}

}  // namespace

// A symbolic link entry: checked now against the tree as it stands, made
// after every file.
int unpack_link(Unpack &u, const Entry &entry, const std::string &name, const std::string &path)
{
    EntryStream stream;
    Fault why;
    if (!open_entry_stream(entry, stream, why))
        return fail(u.out, why.kind, why.line);
    long n = read_entry_stream(*u.file, stream, u.buffer, ZIPUTIL_BUFFER_SIZE - 1, why);
    if (n < 0 && n != -2)
        return fail(u.out, why.kind, why.line);
    if (n <= 0)
        return fail(u.out, n == -2 ? FAILURE_CANNOT_READ : FAILURE_DAMAGED, "Empty or unreadable link entry: " + name);
    u.buffer[n] = '\0';
    PendingLink link{name, path, u.buffer};
    char rest;
    if (uint64_t(n) != entry.size || link.target.size() != size_t(n) ||
        read_entry_stream(*u.file, stream, &rest, 1, why) != 0)
        return fail(u.out, FAILURE_DAMAGED, "Size mismatch in link entry: " + name);
    if (!entry_stream_checks(stream, why))
        return fail(u.out, why.kind, why.line);
    progress_add(u.out.ctx, n);
    if (!link_stays_inside(u, link))
        return fail(u.out, FAILURE_REFUSED, "Refusing link whose target leaves the destination: " + name + " -> " +
                                                link.target);
    u.link_paths.insert(path);
    u.links.push_back(std::move(link));
    return 1;
}

// The AppleDouble stream goes through a temporary file onto the target, an
// item strictly inside the destination.
int unpack_metadata_entry(Unpack &u, const Entry &entry, const std::string &name, const std::string &target)
{
    if (!fits(target))
        return fail(u.out, FAILURE_REFUSED, "Output path too long: " + target);
    std::string last = last_component(target), resolved;
    if (last == "." || last == ".." || !leads_inside(u, target, true, &resolved) || resolved == u.root)
        return fail(u.out, FAILURE_REFUSED, "Refusing metadata for a file outside the destination: " + name);
    bool for_link = u.link_paths.count(target) > 0;
    struct stat st;
    int found = for_link ? 0 : stat(resolved.c_str(), &st);
    if (!for_link && found == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
        return fail(u.out, FAILURE_REFUSED, "Refusing metadata for a special file: " + name);
    if (found != 0 && errno == ENOENT) {
        // Before its own entry: the target is made empty, its data comes later.
        Fd made(open(resolved.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    }
    TempFile stream;
    int fd = make_temp_file("crunzip.temp", stream);
    if (fd < 0)
        return fail_write(u.out, errno, "Failed to make temporary file");
    FilePtr out = file_from_fd(fd, "w");
    if (!out)
        return fail_write(u.out, errno, "Could not write to destination file: " + *stream);
    if (!copy_entry(u, entry, out.get(), name))
        return 0;
    out.reset();
    if (for_link) {
        u.link_metadata.push_back({std::move(stream), name, target});
        return 1;
    }
    return apply_metadata(u.out, *stream, target, name);
}

int unpack_file(Unpack &u, const Entry &entry, const std::string &name, const std::string &path,
                unsigned mode)
{
    std::string resolved;
    if (!leads_inside(u, path, true, &resolved))
        return fail(u.out, FAILURE_REFUSED, "Refusing to write through a link that leads outside the destination: " +
                                                name);
    if (!make_dirs_said(u.out, u.destination.c_str(), name.c_str()))
        return fail_write(u.out, errno, "Failed to make dirs for unzipped file");
    int fd = open_output(resolved);
    int err = errno;
    FilePtr out = fd < 0 ? nullptr : file_from_fd(fd, "w");
    if (!out)
        return fail_write(u.out, fd < 0 ? err : errno, "Could not write to destination file: " + path);
    if (streams_in_bulk(entry))
        setvbuf(out.get(), nullptr, _IONBF, 0);  // the output buffer is the inflater's
    else
        setvbuf(out.get(), u.out_buffer, _IOFBF, kOutputBuffer);
    int ok = copy_entry(u, entry, out.get(), name);
    if (ok && mode != 0)
        fchmod(fileno(out.get()), mode & 07777);
    if (fclose(out.release()) != 0 && ok)
        ok = fail_error(u.out, FAILURE_CANNOT_WRITE, "Could not write ", name, errno);
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
        if (!link_stays_inside(u, link))
            return fail(u.out, FAILURE_REFUSED, "Refusing link whose target leaves the destination: " + link.name +
                                                    " -> " + link.target);
        if (!make_dirs_said(u.out, u.destination.c_str(), link.name.c_str()))
            return fail_write(u.out, errno, "Failed to make dirs for unzipped file");
        struct stat st;
        if (lstat(link.path.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                say(u.out, "Leaving existing entry in place of link: ", link.path);
                continue;
            }
            unlink(link.path.c_str());  // an update may move a link to a new target
        }
        if (symlink(link.target.c_str(), link.path.c_str()) != 0)
            return fail_error(u.out, FAILURE_CANNOT_WRITE, "Could not create link: ", link.path, errno);
        made.push_back(link.path);
    }
    int ok = 1;
    for (bool removed = true; removed;) {
        removed = false;
        for (std::string &path : made)
            if (!path.empty() && !leads_inside(u, path, true)) {
                ok = fail(u.out, FAILURE_REFUSED, "Removing link that leads outside the destination: " + path);
                unlink(path.c_str());
                path.clear();
                removed = true;
            }
    }
    for (const PendingMetadata &md : u.link_metadata) {
        // Applied through the link: it must not reach the destination itself.
        std::string resolved;
        if (ok && (!leads_inside(u, md.target, true, &resolved) || resolved == u.root))
            ok = fail(u.out, FAILURE_REFUSED, "Refusing metadata for a file outside the destination: " + md.name);
        if (ok && !apply_metadata(u.out, *md.stream, md.target, md.name))
            ok = 0;
    }
    return ok;
}

}  // namespace ziputil
