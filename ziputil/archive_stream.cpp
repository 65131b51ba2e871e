// The archive read through a read-ahead window, and an entry's data read
// from it: inflated or stored, counted and checked against its CRC. The
// window serves the local headers and data of small entries that lie side by
// side with one read system call for many of them.
#include "unpack.h"

#ifdef ZIPUTIL_WITH_ISAL
#include <isa-l/igzip_lib.h>
#endif

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>

std::atomic<bool> ZIP_FAST_INFLATE{true};

namespace ziputil {

#ifdef ZIPUTIL_WITH_ISAL
// About three times zlib's speed on the same deflate stream.
struct FastInflate {
    inflate_state state;
};
#else
struct FastInflate {};
#endif

void FastInflateFree::operator()(FastInflate *f) const
{
    delete f;
}


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

// The window moved to start at `offset`, as much of the archive as it holds.
bool fill_window(ArchiveFile &file, uint64_t offset)
{
    size_t n = size_t(std::min<uint64_t>(kReadAhead, file.size - offset));
    file.window_length = 0;
    if (!read_full(file.fd.fd, file.window.get(), n, int64_t(offset)))
        return false;
    file.window_start = offset;
    file.window_length = n;
    return true;
}


// The next input of a deflated entry, when the inflater has used the last:
// the read-ahead window itself, no copy made. Nothing else reads this
// thread's window while the entry streams.
bool refill(ArchiveFile &file, EntryStream &s, const unsigned char *&next_in, uint64_t &avail_in)
{
    size_t take = size_t(std::min<uint64_t>(kReadAhead, s.left));
    next_in = view_archive(file, s.next, take);
    if (!next_in)
        return false;
    s.next += take;
    s.left -= take;
    avail_in = take;
    return true;
}

long damaged(EntryStream &s, Fault &why, const char *how = "")
{
    refuse(why, FAILURE_DAMAGED, "Damaged data in entry: " + s.entry->name + how);
    return -1;
}

const char kEndsEarly[] = " (its compressed data ends early)";

// Up to `length` bytes inflated by zlib: -1 damaged (`why` set), -2 a read error.
long read_zlib(ArchiveFile &file, EntryStream &s, char *out, size_t length, Fault &why)
{
    s.z.next_out = reinterpret_cast<Bytef *>(out);
    s.z.avail_out = uInt(length);
    while (s.z.avail_out > 0) {
        if (s.z.avail_in == 0 && s.left > 0) {
            const unsigned char *next_in;
            uint64_t avail_in;
            if (!refill(file, s, next_in, avail_in))
                return -2;
            s.z.next_in = const_cast<Bytef *>(next_in);
            s.z.avail_in = uInt(avail_in);
        }
        int rc = inflate(&s.z, Z_NO_FLUSH);
        if (rc == Z_STREAM_END) {
            s.ended = true;
            break;
        }
        if (rc != Z_OK && !(rc == Z_BUF_ERROR && s.z.avail_in == 0 && s.left > 0))
            return damaged(s, why);
        if (s.z.avail_in == 0 && s.left == 0 && s.z.avail_out > 0)
            return damaged(s, why, kEndsEarly);
    }
    return long(length - s.z.avail_out);
}

// The same through ISA-L: it takes every input byte it is given into its
// own state, so input that is used up with room left to fill means the
// stream ended early.
long read_fast(ArchiveFile &file, EntryStream &s, char *out, size_t length, Fault &why)
{
#ifdef ZIPUTIL_WITH_ISAL
    inflate_state &st = s.fast->state;
    st.next_out = reinterpret_cast<uint8_t *>(out);
    st.avail_out = uint32_t(length);
    while (st.avail_out > 0) {
        if (st.avail_in == 0 && s.left > 0) {
            const unsigned char *next_in;
            uint64_t avail_in;
            if (!refill(file, s, next_in, avail_in))
                return -2;
            st.next_in = const_cast<uint8_t *>(next_in);
            st.avail_in = uint32_t(avail_in);
        }
        int rc = isal_inflate(&st);
        if (st.block_state == ISAL_BLOCK_FINISH) {
            s.ended = true;
            break;
        }
        if (rc < 0)
            return damaged(s, why);
        if (st.avail_in == 0 && s.left == 0 && st.avail_out > 0)
            return damaged(s, why, kEndsEarly);
    }
    return long(length - st.avail_out);
#else
    (void)file, (void)out, (void)length;
    return damaged(s, why);
#endif
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
            if (!fill_window(file, offset))
                return false;
        }
        size_t at = size_t(offset - file.window_start), n = std::min(length, file.window_length - at);
        memcpy(to, file.window.get() + at, n);
        to += n;
        offset += n;
        length -= n;
    }
    return true;
}

const unsigned char *view_archive(ArchiveFile &file, uint64_t offset, size_t &length)
{
    if (offset >= file.size) {
        errno = EIO;
        return nullptr;
    }
    if ((offset < file.window_start || offset >= file.window_start + file.window_length) && !fill_window(file, offset))
        return nullptr;
    size_t at = size_t(offset - file.window_start);
    length = std::min(length, file.window_length - at);
    return file.window.get() + at;
}

EntryStream::~EntryStream()
{
    if (inflating && !fast)
        inflateEnd(&z);
}

bool open_entry_stream(const Entry &entry, EntryStream &s, Fault &why)
{
    s.entry = &entry;
    s.next = entry.data;
    s.left = entry.compressed;
    s.crc = crc32(0, nullptr, 0);
    if (entry.method == Z_DEFLATED) {
#ifdef ZIPUTIL_WITH_ISAL
        if (ZIP_FAST_INFLATE && (entry.size > kWholeEntry || entry.compressed > kWholeEntry)) {
            s.fast.reset(new (std::nothrow) FastInflate());
            if (!s.fast)
                return refuse(why, FAILURE_CANNOT_WRITE, "Out of memory for entry: " + entry.name);
            isal_inflate_init(&s.fast->state);
            s.fast->state.crc_flag = ISAL_DEFLATE;  // raw deflate, as zip holds it
            s.inflating = true;
            return true;
        }
#endif
        if (inflateInit2(&s.z, -MAX_WBITS) != Z_OK)
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
    } else if (s.fast) {
        long got = read_fast(file, s, out, length, why);
        if (got < 0)
            return got;
        n = size_t(got);
    } else {
        long got = read_zlib(file, s, out, length, why);
        if (got < 0)
            return got;
        n = size_t(got);
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
