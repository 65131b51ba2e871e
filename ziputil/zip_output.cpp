// The packer's output layer under minizip: the archive's tail is kept in
// memory, so that minizip's return after each entry to fill in its local
// header lands there instead of costing a seek and a write.
#include "pack.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace ziputil {

thread_local Writing current;

namespace {

const size_t kArchiveBuffer = 256 * 1024;


bool flush_tail()
{
    if (!write_full(current.fd, current.tail.get(), current.tail_length, int64_t(current.tail_start))) {
        current.error = errno;
        return false;
    }
    current.tail_start += current.tail_length;
    current.tail_length = 0;
    return true;
}

voidpf open_out(voidpf, const void *path, int)
{
    current.tail.reset(new (std::nothrow) char[kArchiveBuffer]);
    if (!current.tail) {
        errno = ENOMEM;
        return nullptr;
    }
    current.fd = open(static_cast<const char *>(path), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    return current.fd < 0 ? nullptr : &current;
}

uLong read_out(voidpf, voidpf, void *buf, uLong size)
{
    if (!flush_tail())
        return 0;
    ssize_t n = pread(current.fd, buf, size, off_t(current.pos));
    if (n <= 0)
        return 0;
    current.pos += uint64_t(n);
    return uLong(n);
}

uLong write_out(voidpf, voidpf, const void *buf, uLong size)
{
    const char *data = static_cast<const char *>(buf);
    for (uLong left = size; left > 0;) {
        if (current.pos < current.tail_start || current.pos > current.tail_start + current.tail_length ||
            current.pos == current.tail_start + kArchiveBuffer) {
            if (!flush_tail())
                return size - left;
            current.tail_start = current.pos;
        }
        size_t at = size_t(current.pos - current.tail_start);
        size_t n = std::min<size_t>(left, kArchiveBuffer - at);
        memcpy(current.tail.get() + at, data, n);
        current.tail_length = std::max(current.tail_length, at + n);
        current.pos += n;
        data += n;
        left -= n;
    }
    current.end = std::max(current.end, current.pos);
    return size;
}

ZPOS64_T tell_out(voidpf, voidpf)
{
    return current.pos;
}

long seek_out(voidpf, voidpf, ZPOS64_T offset, int origin)
{
    uint64_t base = origin == ZLIB_FILEFUNC_SEEK_SET ? 0 : origin == ZLIB_FILEFUNC_SEEK_CUR ? current.pos : current.end;
    current.pos = base + offset;
    return 0;
}

int close_out(voidpf, voidpf)
{
    bool flushed = flush_tail();
    int rc = close(current.fd);
    current.fd = -1;
    if (rc != 0 && !current.error)
        current.error = errno;
    return flushed && rc == 0 ? 0 : -1;
}

int error_out(voidpf, voidpf)
{
    return current.error;
}

}  // namespace

void say_write_error()
{
    say_error("Cannot write ", current.path, current.error ? current.error : errno ? errno : EIO);
}


bool add_zip64_end_records(const char *path)
{
    // This minizip writes the zip64 end records only for an archive past
    // 4 GiB: with more than 65,535 entries and no records, the end record's
    // count wraps and readers stop short. They go in place of the end record.
    if (current.entries <= 0xFFFF)
        return true;
    Fd fd(open(path, O_RDWR | O_CLOEXEC));
    struct stat st;
    unsigned char end[22], locator_sig[4];
    if (fd.fd < 0 || fstat(fd.fd, &st) != 0 || st.st_size < 42 ||
        !read_full(fd.fd, end, sizeof end, int64_t(st.st_size) - 22) ||
        !read_full(fd.fd, locator_sig, sizeof locator_sig, int64_t(st.st_size) - 42)) {
        current.error = errno ? errno : EIO;
        return false;
    }
    auto le = [](const unsigned char *p, int n) {
        uint64_t v = 0;
        for (int i = n - 1; i >= 0; i--)
            v = v << 8 | p[i];
        return v;
    };
    if (le(locator_sig, 4) == 0x07064b50)
        return true;  // minizip wrote them: the archive passed 4 GiB
    const uint64_t end_pos = uint64_t(st.st_size) - 22, cd_size = le(end + 12, 4), cd_offset = le(end + 16, 4);
    unsigned char records[56 + 20 + 22] = {};
    auto put = [](unsigned char *p, uint64_t v, int n) {
        for (int i = 0; i < n; i++, v >>= 8)
            p[i] = (unsigned char)v;
    };
    unsigned char *z = records, *locator = records + 56, *plain = records + 76;
    put(z, 0x06064b50, 4);
    put(z + 4, 44, 8);  // the record's size after this field
    put(z + 12, (3u << 8) | 45, 2);  // made on Unix, zip64 (4.5)
    put(z + 14, 45, 2);
    put(z + 24, current.entries, 8);
    put(z + 32, current.entries, 8);
    put(z + 40, cd_size, 8);
    put(z + 48, cd_offset, 8);
    put(locator, 0x07064b50, 4);
    put(locator + 8, end_pos, 8);
    put(locator + 16, 1, 4);
    memcpy(plain, end, sizeof end);
    put(plain + 8, 0xFFFF, 2);
    put(plain + 10, 0xFFFF, 2);
    if (!write_full(fd.fd, records, sizeof records, int64_t(end_pos))) {
        current.error = errno;
        return false;
    }
    return true;
}

zipFile create_archive(const char *path)
{
    zlib_filefunc64_def io = {open_out, read_out, write_out, tell_out, seek_out, close_out, error_out, nullptr};
    return zipOpen2_64(path, APPEND_STATUS_CREATE, nullptr, &io);
}

}  // namespace ziputil
