// The packer's output layer under minizip: the archive's tail is kept in
// memory, so that minizip's return after each entry to fill in its local
// header lands there instead of costing a seek and a write.
#include "bytes.h"
#include "pack.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace ziputil {

namespace {

const size_t kArchiveBuffer = 256 * 1024;


bool flush_tail(Writing &current)
{
    if (!write_full(current.fd, current.tail.get(), current.tail_length, int64_t(current.tail_start))) {
        current.error = errno;
        return false;
    }
    current.tail_start += current.tail_length;
    current.tail_length = 0;
    return true;
}

// minizip hands every call the Writing it was opened with.
Writing &writing(voidpf opaque)
{
    return *static_cast<Writing *>(opaque);
}

voidpf open_out(voidpf opaque, const void *path, int)
{
    Writing &current = writing(opaque);
    current.tail.reset(new (std::nothrow) char[kArchiveBuffer]);
    if (!current.tail) {
        errno = ENOMEM;
        return nullptr;
    }
    current.fd = open(static_cast<const char *>(path), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    return current.fd < 0 ? nullptr : &current;
}

uLong read_out(voidpf opaque, voidpf, void *buf, uLong size)
{
    Writing &current = writing(opaque);
    if (!flush_tail(current))
        return 0;
    ssize_t n = pread(current.fd, buf, size, off_t(current.pos));
    if (n <= 0)
        return 0;
    current.pos += uint64_t(n);
    return uLong(n);
}

uLong write_out(voidpf opaque, voidpf, const void *buf, uLong size)
{
    Writing &current = writing(opaque);
    const char *data = static_cast<const char *>(buf);
    for (uLong left = size; left > 0;) {
        if (current.pos < current.tail_start || current.pos > current.tail_start + current.tail_length ||
            current.pos == current.tail_start + kArchiveBuffer) {
            if (!flush_tail(current))
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

ZPOS64_T tell_out(voidpf opaque, voidpf)
{
    Writing &current = writing(opaque);
    return current.pos;
}

long seek_out(voidpf opaque, voidpf, ZPOS64_T offset, int origin)
{
    Writing &current = writing(opaque);
    uint64_t base = origin == ZLIB_FILEFUNC_SEEK_SET ? 0 : origin == ZLIB_FILEFUNC_SEEK_CUR ? current.pos : current.end;
    current.pos = base + offset;
    return 0;
}

int close_out(voidpf opaque, voidpf)
{
    Writing &current = writing(opaque);
    bool flushed = flush_tail(current);
    int rc = close(current.fd);
    current.fd = -1;
    if (rc != 0 && !current.error)
        current.error = errno;
    return flushed && rc == 0 ? 0 : -1;
}

int error_out(voidpf opaque, voidpf)
{
    Writing &current = writing(opaque);
    return current.error;
}

}  // namespace

int fail_archive_write(Out &out, const Writing &current)
{
    return fail_error(out, FAILURE_CANNOT_WRITE, "Cannot write ", current.path,
                      current.error ? current.error : errno ? errno : EIO);
}


bool add_zip64_end_records(const char *path, Writing &current)
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
    if (get_le32(locator_sig) == 0x07064b50)
        return true;  // minizip wrote them: the archive passed 4 GiB
    const uint64_t end_pos = uint64_t(st.st_size) - 22, cd_size = get_le32(end + 12), cd_offset = get_le32(end + 16);
    unsigned char records[56 + 20 + 22] = {};
    unsigned char *z = records, *locator = records + 56, *plain = records + 76;
    put_le32(z, 0x06064b50);
    put_le64(z + 4, 44);  // the record's size after this field
    put_le16(z + 12, (3u << 8) | 45);  // made on Unix, zip64 (4.5)
    put_le16(z + 14, 45);
    put_le64(z + 24, current.entries);
    put_le64(z + 32, current.entries);
    put_le64(z + 40, cd_size);
    put_le64(z + 48, cd_offset);
    put_le32(locator, 0x07064b50);
    put_le64(locator + 8, end_pos);
    put_le32(locator + 16, 1);
    memcpy(plain, end, sizeof end);
    put_le16(plain + 8, 0xFFFF);
    put_le16(plain + 10, 0xFFFF);
    if (!write_full(fd.fd, records, sizeof records, int64_t(end_pos))) {
        current.error = errno;
        return false;
    }
    return true;
}

zipFile create_archive(const char *path, Writing &current)
{
    zlib_filefunc64_def io = {open_out, read_out, write_out, tell_out, seek_out, close_out, error_out, &current};
    return zipOpen2_64(path, APPEND_STATUS_CREATE, nullptr, &io);
}

}  // namespace ziputil
