// The archive read through a read-ahead window, and an entry's data read
// from it: inflated or stored, counted and checked against its CRC. The
// window serves the local headers and data of small entries that lie side by
// side with one read system call for many of them.
#include "unpack.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>

namespace ziputil {

namespace {

const size_t kReadAhead = 256 * 1024;

bool make_window(ArchiveFile &file)
{
    file.window_length = 0;
    file.window.reset(new (std::nothrow) unsigned char[kReadAhead]);
    if (!file.window)
        errno = ENOMEM;
    return file.window != nullptr;
}

}  // namespace

bool open_archive_file(const char *path, ArchiveFile &file)
{
    file.fd = Fd(open(path, O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (file.fd.fd < 0 || fstat(file.fd.fd, &st) != 0)
        return false;
    if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return false;
    }
    file.size = uint64_t(st.st_size);
    return make_window(file);
}

bool share_archive_file(const ArchiveFile &from, ArchiveFile &file)
{
    // Reads are positional: the descriptor may be shared, the window not.
    file.fd = Fd(fcntl(from.fd.fd, F_DUPFD_CLOEXEC, 0));
    if (file.fd.fd < 0)
        return false;
    file.size = from.size;
    return make_window(file);
}

bool read_archive(ArchiveFile &file, uint64_t offset, void *out, size_t length)
{
    if (!span_within(offset, length, file.size))
        return false;
    unsigned char *to = static_cast<unsigned char *>(out);
    while (length > 0) {
        if (offset < file.window_start || offset >= file.window_start + file.window_length) {
            if (length >= kReadAhead)  // a large read goes straight to its buffer
                return read_full(file.fd.fd, to, length, int64_t(offset));
            size_t n = size_t(std::min<uint64_t>(kReadAhead, file.size - offset));
            file.window_length = 0;
            if (!read_full(file.fd.fd, file.window.get(), n, int64_t(offset)))
                return false;
            file.window_start = offset;
            file.window_length = n;
        }
        size_t at = size_t(offset - file.window_start), n = std::min(length, file.window_length - at);
        memcpy(to, file.window.get() + at, n);
        to += n;
        offset += n;
        length -= n;
    }
    return true;
}

EntryStream::~EntryStream()
{
    if (inflating)
        inflateEnd(&z);
}

bool open_entry_stream(const Entry &entry, EntryStream &s, Fault &why)
{
    s.entry = &entry;
    s.next = entry.data;
    s.left = entry.compressed;
    s.crc = crc32(0, nullptr, 0);
    if (entry.method == Z_DEFLATED) {
        s.input.reset(new (std::nothrow) unsigned char[ZIPUTIL_BUFFER_SIZE]);
        if (!s.input || inflateInit2(&s.z, -MAX_WBITS) != Z_OK)
            return refuse(why, FAILURE_CANNOT_WRITE, "Out of memory for entry: " + entry.name);
        s.inflating = true;
    }
    return true;
}

long read_entry_stream(ArchiveFile &file, EntryStream &s, char *out, size_t length, Fault &why)
{
    if (s.ended || length == 0)
        return 0;
    // Never more than declared, and one byte to tell: the free-space check counted the declared sizes.
    length = size_t(std::min<uint64_t>(length, s.entry->size - std::min(s.produced, s.entry->size) + 1));
    size_t n = 0;
    if (!s.inflating) {  // stored
        n = size_t(std::min<uint64_t>(length, s.left));
        if (n > 0 && !read_archive(file, s.next, out, n))
            return -2;
        s.next += n;
        s.left -= n;
        s.ended = s.left == 0;
    } else {
        s.z.next_out = reinterpret_cast<Bytef *>(out);
        s.z.avail_out = uInt(length);
        while (s.z.avail_out > 0) {
            if (s.z.avail_in == 0 && s.left > 0) {
                size_t take = size_t(std::min<uint64_t>(ZIPUTIL_BUFFER_SIZE, s.left));
                if (!read_archive(file, s.next, s.input.get(), take))
                    return -2;
                s.next += take;
                s.left -= take;
                s.z.next_in = s.input.get();
                s.z.avail_in = uInt(take);
            }
            int rc = inflate(&s.z, Z_NO_FLUSH);
            if (rc == Z_STREAM_END) {
                s.ended = true;
                break;
            }
            if (rc != Z_OK && !(rc == Z_BUF_ERROR && s.z.avail_in == 0 && s.left > 0)) {
                refuse(why, FAILURE_DAMAGED, "Damaged data in entry: " + s.entry->name);
                return -1;
            }
            if (s.z.avail_in == 0 && s.left == 0 && s.z.avail_out > 0) {
                refuse(why, FAILURE_DAMAGED, "Damaged data in entry: " + s.entry->name + " (its compressed data ends early)");
                return -1;
            }
        }
        n = length - s.z.avail_out;
    }
    s.produced += n;
    if (s.produced > s.entry->size) {
        refuse(why, FAILURE_DAMAGED, "Size mismatch (more than the " + std::to_string(s.entry->size) +
                                         " bytes declared) in entry: " + s.entry->name);
        return -1;
    }
    s.crc = libdeflate_crc32(uint32_t(s.crc), out, n);
    return long(n);
}

bool entry_stream_checks(const EntryStream &s, Fault &why)
{
    if (s.produced != s.entry->size)
        return refuse(why, FAILURE_DAMAGED, "Size mismatch (" + std::to_string(s.produced) + " bytes, " +
                                                std::to_string(s.entry->size) + " declared) in entry: " + s.entry->name);
    if (s.crc != s.entry->crc)
        return refuse(why, FAILURE_DAMAGED, "CRC error in entry: " + s.entry->name);
    return true;
}

}  // namespace ziputil
