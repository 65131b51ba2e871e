// The central directory, read once by us: the end record, the zip64 end
// records it points to, every central record to the directory's declared end
// and every local header. The checks, the unpack, the test, the listing and
// the times all work from this one reading, so no part can be shown entries
// that another part never saw.
#include "bytes.h"
#include "unpack.h"

#include <algorithm>

namespace ziputil {

namespace {

const uint32_t kEndSignature = 0x06054b50, kLocatorSignature = 0x07064b50, kEnd64Signature = 0x06064b50,
               kCentralSignature = 0x02014b50, kLocalSignature = 0x04034b50;
const size_t kEndSize = 22, kLocatorSize = 20, kEnd64Size = 56, kCentralSize = 46, kLocalSize = 30;
const uint32_t kSaturated32 = 0xFFFFFFFF;
const unsigned kSaturated16 = 0xFFFF;

// Hosts whose tools write "\" between the components of a name.
bool host_uses_backslash(unsigned made_by)
{
    unsigned host = made_by >> 8;
    return host == 0 || host == 10 || host == 14;  // MS-DOS, Windows NTFS, VFAT
}

// Where the central directory lies, from the end record and, when a zip64
// locator stands right before it, from the zip64 end record.
struct Directory {
    uint64_t count = 0, size = 0, offset = 0;
    uint64_t end = 0;  // where the directory must end: the first end record
};

bool read_end_records(ArchiveFile &f, Directory &d, Fault &why)
{
    if (f.size < kEndSize)
        return refuse(why, FAILURE_DAMAGED, kNoEndRecord);
    // The last end record within the longest comment's reach, as every reader finds it.
    size_t tail_size = size_t(std::min<uint64_t>(f.size, 0xFFFF + kEndSize));
    std::vector<unsigned char> tail(tail_size);
    if (!read_archive(f, f.size - tail_size, tail.data(), tail_size))
        return refuse(why, FAILURE_CANNOT_READ, "Cannot read the archive's end record");
    size_t at = tail_size - kEndSize + 1;
    while (at-- > 0 && get_le32(&tail[at]) != kEndSignature) {
    }
    if (at == size_t(-1))
        return refuse(why, FAILURE_DAMAGED, kNoEndRecord);
    const unsigned char *end = &tail[at];
    const uint64_t end_pos = f.size - tail_size + at;
    if (get_le16(end + 4) != 0 || get_le16(end + 6) != 0 || get_le16(end + 8) != get_le16(end + 10))
        return refuse(why, FAILURE_DAMAGED, "Damaged end record: it names other disks (split archives are not read)");
    d.count = get_le16(end + 10);
    d.size = get_le32(end + 12);
    d.offset = get_le32(end + 16);
    d.end = end_pos;

    unsigned char locator[kLocatorSize];
    if (end_pos < kLocatorSize || !read_archive(f, end_pos - kLocatorSize, locator, kLocatorSize) ||
        get_le32(locator) != kLocatorSignature)
        return true;
    // Zip64: the locator right before the end record, as the peers read it.
    const uint64_t locator_pos = end_pos - kLocatorSize, end64_pos = get_le64(locator + 8);
    if (get_le32(locator + 4) != 0 || get_le32(locator + 16) != 1)
        return refuse(why, FAILURE_DAMAGED, "Damaged zip64 locator: it names other disks");
    unsigned char end64[kEnd64Size];
    if (!span_within(end64_pos, kEnd64Size, locator_pos))
        return refuse(why, FAILURE_DAMAGED, "Damaged zip64 locator: its end record at offset " + std::to_string(end64_pos) +
                                            " lies past the locator at " + std::to_string(locator_pos));
    if (!read_archive(f, end64_pos, end64, kEnd64Size) || get_le32(end64) != kEnd64Signature)
        return refuse(why, FAILURE_DAMAGED, "Damaged zip64 locator: no zip64 end record at offset " + std::to_string(end64_pos));
    if (get_le32(end64 + 16) != 0 || get_le32(end64 + 20) != 0 || get_le64(end64 + 24) != get_le64(end64 + 32))
        return refuse(why, FAILURE_DAMAGED, "Damaged zip64 end record: it names other disks");
    Directory z{get_le64(end64 + 32), get_le64(end64 + 40), get_le64(end64 + 48), end64_pos};
    // The end record's fields say the same, or are saturated to send readers here.
    if ((d.count != kSaturated16 && d.count != z.count) || (d.size != kSaturated32 && d.size != z.size) ||
        (d.offset != kSaturated32 && d.offset != z.offset))
        return refuse(why, FAILURE_DAMAGED, "Damaged zip64 end record: it counts " + std::to_string(z.count) + " entries in " +
                                            std::to_string(z.size) + " bytes at offset " + std::to_string(z.offset) +
                                            ", the end record " + std::to_string(d.count) + " in " +
                                            std::to_string(d.size) + " at " + std::to_string(d.offset));
    d = z;
    return true;
}

// The zip64 extra field (0x0001) of a record: the 64-bit values of the
// fields the record saturates, in their fixed order.
bool read_zip64_extra(const std::string &extra, Entry &e, uint32_t &disk, Fault &why)
{
    const bool need_size = e.size == kSaturated32, need_compressed = e.compressed == kSaturated32,
               need_offset = e.header == kSaturated32, need_disk = disk == kSaturated16;
    if (!need_size && !need_compressed && !need_offset && !need_disk)
        return true;
    std::string field;
    const size_t needed = 8 * (need_size + need_compressed + need_offset) + 4 * need_disk;
    if (find_extra_field(extra, 0x0001, field) && field.size() >= needed) {
        const unsigned char *x = reinterpret_cast<const unsigned char *>(field.data());
        if (need_size)
            e.size = get_le64(x), x += 8;
        if (need_compressed)
            e.compressed = get_le64(x), x += 8;
        if (need_offset)
            e.header = get_le64(x), x += 8;
        if (need_disk)
            disk = get_le32(x);
        return true;
    }
    return refuse(why, FAILURE_DAMAGED, "Damaged zip64 record: no zip64 extra field holds the sizes or offset of entry " +
                                        e.raw_name);
}

bool read_central_records(ArchiveFile &f, const Directory &d, uint64_t start, ArchiveIndex &index, Fault &why)
{
    index.entries.clear();
    // Each record takes at least 46 bytes: a count beyond that is a lie, not a reason to reserve memory.
    index.entries.reserve(size_t(std::min<uint64_t>(d.count, d.size / kCentralSize)));
    for (uint64_t pos = start; pos < d.end;) {
        unsigned char h[kCentralSize];
        if (!span_within(pos, kCentralSize, d.end) || !read_archive(f, pos, h, kCentralSize) ||
            get_le32(h) != kCentralSignature)
            return refuse(why, FAILURE_DAMAGED, "Damaged central directory: no record at offset " + std::to_string(pos) +
                                                " (entry " + std::to_string(index.entries.size() + 1) + ")");
        const size_t name_length = get_le16(h + 28), extra_length = get_le16(h + 30), record = kCentralSize + name_length +
                                                                                       extra_length + get_le16(h + 32);
        std::string bytes(name_length + extra_length, '\0');
        if (!span_within(pos, record, d.end) || !read_archive(f, pos + kCentralSize, &bytes[0], bytes.size()))
            return refuse(why, FAILURE_DAMAGED, "Damaged central directory: entry " +
                                                std::to_string(index.entries.size() + 1) +
                                                " runs past the directory's end");
        Entry e;
        e.raw_name = bytes.substr(0, name_length);
        e.extra = bytes.substr(name_length);
        e.made_by = get_le16(h + 4);
        e.flags = get_le16(h + 8);
        e.method = get_le16(h + 10);
        e.dos_date = get_le32(h + 12);
        e.crc = get_le32(h + 16);
        e.compressed = get_le32(h + 20);
        e.size = get_le32(h + 24);
        e.external_fa = get_le32(h + 38);
        e.mode = e.external_fa >> 16;
        e.header = get_le32(h + 42);
        uint32_t disk = get_le16(h + 34);
        if (!read_zip64_extra(e.extra, e, disk, why))
            return false;
        if (disk != 0)
            return refuse(why, FAILURE_DAMAGED, "Damaged central directory: entry " + e.raw_name + " lies on disk " +
                                                std::to_string(disk));
        e.name = e.raw_name;
        if (host_uses_backslash(e.made_by))
            std::replace(e.name.begin(), e.name.end(), '\\', '/');
        // Directories: the Unix type, a trailing "/", or with no Unix mode, the MS-DOS directory attribute.
        e.directory = (e.mode & 0xF000) == 0x4000 || (!e.name.empty() && e.name.back() == '/') ||
                      (e.mode == 0 && (e.external_fa & 0x10));
        index.entries.push_back(std::move(e));
        pos += record;
    }
    if (index.entries.size() != d.count)
        return refuse(why, FAILURE_DAMAGED, "Damaged archive: the end record counts " + std::to_string(d.count) +
                                            " entries, its central directory holds " +
                                            std::to_string(index.entries.size()));
    return true;
}

// Each local header: its name must be the central one, and the data starts
// after its own name and extra field.
bool read_local_headers(ArchiveFile &f, uint64_t shift, ArchiveIndex &index, Fault &why)
{
    std::vector<Entry *> by_offset;
    for (Entry &e : index.entries)
        by_offset.push_back(&e);
    std::sort(by_offset.begin(), by_offset.end(), [](const Entry *a, const Entry *b) { return a->header < b->header; });
    for (Entry *e : by_offset) {
        unsigned char h[kLocalSize];
        if (e->header > UINT64_MAX - shift || !span_within(e->header += shift, kLocalSize, index.directory_start))
            return refuse(why, FAILURE_DAMAGED, "Damaged archive: the local header of " + printable(e->raw_name) +
                                                " lies past the start of the central directory");
        if (!read_archive(f, e->header, h, kLocalSize) || get_le32(h) != kLocalSignature)
            return refuse(why, FAILURE_DAMAGED, "Damaged archive: no local header at offset " + std::to_string(e->header) +
                                                " for " + printable(e->raw_name));
        const size_t name_length = get_le16(h + 26), extra_length = get_le16(h + 28);
        std::string local(name_length, '\0');
        if (!span_within(e->header + kLocalSize, name_length, index.directory_start) ||
            !read_archive(f, e->header + kLocalSize, &local[0], name_length))
            return refuse(why, FAILURE_DAMAGED, "Damaged archive: the local name of " + printable(e->raw_name) +
                                                " runs past the start of the central directory");
        if (local != e->raw_name)
            e->local_name.reset(new std::string(local));  // refused by the checks, after overlapping data
        if (get_le16(h + 8) != e->method)
            return refuse(why, FAILURE_DAMAGED, "Damaged archive: the local header of " + printable(e->raw_name) +
                                                " names another compression method");
        e->data = e->header + kLocalSize + name_length + extra_length;
        if (!span_within(e->data, e->compressed, index.directory_start))
            return refuse(why, FAILURE_DAMAGED, "Damaged archive: the data of " + printable(e->raw_name) + " (" +
                                                std::to_string(e->compressed) +
                                                " bytes) runs past the start of the central directory");
    }
    return true;
}

}  // namespace

bool refuse(Fault &why, int kind, const std::string &line)
{
    why.kind = kind;
    why.line = line;
    return false;
}

std::string printable(const std::string &name)
{
    std::string out;
    for (char c : name)
        out += c == '\0' ? std::string("\\0") : std::string(1, c);
    return out;
}

const char kNoEndRecord[] = "Not a zip archive: no end record";

bool find_extra_field(const std::string &extra, unsigned id, std::string &data)
{
    const unsigned char *x = reinterpret_cast<const unsigned char *>(extra.data());
    for (size_t at = 0; at + 4 <= extra.size();) {
        const size_t field_id = get_le16(x + at), length = get_le16(x + at + 2), field = at + 4;
        if (field + length > extra.size())
            return false;
        if (field_id == id) {
            data = extra.substr(field, length);
            return true;
        }
        at = field + length;
    }
    return false;
}

bool read_archive_index(ArchiveFile &file, bool local_headers, ArchiveIndex &index, Fault &why)
{
    Directory d;
    if (!read_end_records(file, d, why))
        return false;
    if (!span_within(d.offset, d.size, d.end))
        return refuse(why, FAILURE_DAMAGED, "Damaged archive: its central directory (" + std::to_string(d.size) +
                                            " bytes at offset " + std::to_string(d.offset) +
                                            ") lies past the end record at " + std::to_string(d.end));
    // Data before the archive (a self-extractor's program) moves every offset alike.
    index.directory_start = d.end - d.size;
    const uint64_t shift = index.directory_start - d.offset;
    if (!read_central_records(file, d, index.directory_start, index, why))
        return false;
    return !local_headers || read_local_headers(file, shift, index, why);
}

struct tm entry_tm(const Entry &entry)
{
    struct tm t = {};
    const uint32_t date = entry.dos_date >> 16, time = entry.dos_date & 0xFFFF;
    t.tm_mday = int(date & 0x1F);
    t.tm_mon = int((date >> 5) & 0x0F) - 1;
    t.tm_year = int(date >> 9) + 80;
    t.tm_hour = int(time >> 11);
    t.tm_min = int((time >> 5) & 0x3F);
    t.tm_sec = int(time & 0x1F) * 2;
    t.tm_isdst = -1;
    return t;
}

}  // namespace ziputil
