// A big stored entry (a game's already compressed pack) is a copy: no
// inflater, no transfer buffer. Where the archive and the destination allow
// it the kernel copies the bytes itself (copy_file_range: no trip through
// our memory, and no copy at all on a file system that shares blocks); the
// CRC is then taken from the archive through the read-ahead window. Where it
// does not (across file systems, or after any error), the window's bytes
// are checked and written as they are, which names any fault. Either way
// the lines and failure kinds are those of the stream.
#include "unpack.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>

std::atomic<bool> ZIP_COPY_RANGE{true};

namespace ziputil {

namespace {

const uint64_t kCopyStep = 8u << 20;  // between two looks at whether to stop

// The CRC of [offset, offset + length) of the archive, read through the window.
bool crc_of_span(ArchiveFile &file, uint64_t offset, uint64_t length, uint32_t &crc)
{
    while (length > 0) {
        size_t n = size_t(std::min<uint64_t>(length, SIZE_MAX));
        const unsigned char *at = view_archive(file, offset, n);
        if (!at)
            return false;
        crc = libdeflate_crc32(crc, at, n);
        offset += n;
        length -= n;
    }
    return true;
}

}  // namespace

bool copies_stored(const ArchiveFile &file, const Entry &entry)
{
    return entry.method == 0 && entry.size > kWholeEntry && entry.compressed == entry.size &&
           span_within(entry.data, entry.size, file.size);
}

int copy_stored(Unpack &u, const Entry &entry, int fd, const std::string &name)
{
    bool kernel = ZIP_COPY_RANGE;
    uint32_t crc = 0;
    for (uint64_t done = 0; done < entry.size;) {
        if (stopped(u))
            return 0;
        const uint64_t step = std::min(kCopyStep, entry.size - done);
        const uint64_t from = entry.data + done;
        uint64_t copied = 0;
        while (kernel && copied < step) {
            loff_t in = loff_t(from + copied), out = loff_t(done + copied);
            ssize_t n = copy_file_range(u.file->fd.fd, &in, fd, &out, size_t(step - copied), 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                // Declined (another file system, an old kernel) or failed:
                // the rest through the window, which names any fault.
                kernel = false;
                break;
            }
            copied += uint64_t(n);
        }
        if (copied > 0 && !crc_of_span(*u.file, from, copied, crc))
            return fail_error(u.out, FAILURE_CANNOT_READ, "Cannot read the archive at entry ", name, errno ? errno : EIO);
        while (copied < step) {
            size_t n = size_t(step - copied);
            const unsigned char *at = view_archive(*u.file, from + copied, n);
            if (!at)
                return fail_error(u.out, FAILURE_CANNOT_READ, "Cannot read the archive at entry ", name,
                                  errno ? errno : EIO);
            crc = libdeflate_crc32(crc, at, n);
            if (!write_full(fd, at, n, int64_t(done + copied)))
                return fail_error(u.out, FAILURE_CANNOT_WRITE, "Could not write ", name, errno);
            copied += n;
        }
        done += step;
        progress_add(u.out.ctx, (long long)step);
    }
    if (crc != entry.crc)
        return fail(u.out, FAILURE_DAMAGED, "CRC error in entry: " + entry.name);
    return 1;
}

}  // namespace ziputil
