// The central directory, read by us rather than by minizip, and checked
// whole before anything is written: methods, encryption, sizes, overlapping
// data, names, free space.
#include "unpack.h"

#include <sys/statvfs.h>
#include <zlib.h>

#include <algorithm>

namespace ziputil {

namespace {

uint32_t le16(const unsigned char *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8;
}

uint32_t le32(const unsigned char *p)
{
    return le16(p) | le16(p + 2) << 16;
}

bool read_at(int fd, uint64_t offset, size_t size, std::vector<unsigned char> &out)
{
    out.resize(size);
    return read_full(fd, out.data(), size, int64_t(offset));
}

// What the central directory says of one entry.
struct Record {
    std::string name;
    unsigned flags, method, mode;
    uint64_t compressed, size, offset;
};

// Reads the central directory the way minizip finds it (the last end record,
// data before the archive allowed). Sets zip64 when any record or size needs
// the zip64 extension, which this minizip cannot read.
bool read_central_directory(const ArchiveStream &s, std::vector<Record> &records, bool &zip64, uint64_t &cd_offset)
{
    const size_t kEnd = 22;
    if (s.size < kEnd)
        return false;
    size_t tail_size = size_t(std::min<uint64_t>(s.size, 0xFFFF + kEnd));
    std::vector<unsigned char> tail;
    if (!read_at(s.fd, s.size - tail_size, tail_size, tail))
        return false;
    size_t at = tail_size - kEnd + 1;
    while (at-- > 0 && le32(&tail[at]) != 0x06054b50) {
    }
    if (at == size_t(-1))
        return false;
    const unsigned char *end = &tail[at];
    uint64_t end_pos = s.size - tail_size + at;
    uint32_t count = le16(end + 10), cd_size = le32(end + 12);
    cd_offset = le32(end + 16);
    zip64 = (end_pos >= 20 && at >= 20 && le32(end - 20) == 0x07064b50) || cd_offset == 0xFFFFFFFF ||
            cd_size == 0xFFFFFFFF;
    if (zip64)
        return true;
    if (!span_within(cd_offset, cd_size, end_pos))
        return false;
    std::vector<unsigned char> cd;
    if (!read_at(s.fd, end_pos - cd_size, cd_size, cd))
        return false;
    size_t pos = 0;
    for (uint32_t i = 0; i < count; i++) {
        if (!span_within(pos, 46, cd.size()) || le32(&cd[pos]) != 0x02014b50)
            return false;
        const unsigned char *h = &cd[pos];
        size_t name_length = le16(h + 28), record = 46 + name_length + le16(h + 30) + le16(h + 32);
        if (!span_within(pos, record, cd.size()))
            return false;
        Record r{std::string(reinterpret_cast<const char *>(h + 46), name_length), le16(h + 8), le16(h + 10),
                 le32(h + 38) >> 16, le32(h + 20), le32(h + 24), le32(h + 42)};
        if (r.compressed == 0xFFFFFFFF || r.size == 0xFFFFFFFF || r.offset == 0xFFFFFFFF || le16(h + 34) == 0xFFFF)
            zip64 = true;
        records.push_back(std::move(r));
        pos += record;
    }
    return true;
}

// Each entry's local header and data must lie apart from every other's: one
// compressed body shared by many entries is how zip bombs fill disks.
bool entries_overlap(const std::vector<Record> &records, uint64_t cd_offset)
{
    std::vector<std::pair<uint64_t, uint64_t>> spans;  // [start, end): at least header, name and data
    for (const Record &r : records)
        spans.push_back({r.offset, r.offset + 30 + r.name.size() + r.compressed});
    std::sort(spans.begin(), spans.end());
    for (size_t i = 0; i < spans.size(); i++)
        if (spans[i].second > (i + 1 < spans.size() ? spans[i + 1].first : cd_offset))
            return true;
    return false;
}

}  // namespace

bool check_archive(const ArchiveStream &s, const std::string &destination, uint64_t block_size, ArchiveSize &size,
                   std::string &why)
{
    auto refuse = [&why](zip_failure kind, const std::string &line) {
        why = line;
        failed(kind);
        return false;
    };
    std::vector<Record> records;
    bool zip64 = false;
    uint64_t cd_offset = 0;
    if (!read_central_directory(s, records, zip64, cd_offset))
        return refuse(ZIP_DAMAGED, "Failed to read the archive's central directory");
    if (zip64)
        return refuse(ZIP_UNSUPPORTED,
                      "Zip64 archive refused: ziputil reads entries and archives under 4 GiB, at most 65,535 entries");
    size = ArchiveSize();
    size.entries = records.size();
    for (const Record &r : records) {
        if (r.name.size() >= ZIPUTIL_PATH_MAX)
            return refuse(ZIP_REFUSED, "Entry name too long: " + r.name.substr(0, 64) + "...");
        std::vector<std::string> parts = split_components(r.name);
        if (std::find(parts.begin(), parts.end(), "..") != parts.end())
            return refuse(ZIP_REFUSED, "Refusing entry with a \"..\" component: " + r.name);
        if (is_directory_entry(r.name, r.mode))
            continue;
        if (r.flags & 1)
            return refuse(ZIP_UNSUPPORTED, "Encrypted entry: " + r.name);
        if (r.method != 0 && r.method != Z_DEFLATED)
            return refuse(ZIP_UNSUPPORTED, "Unsupported compression method " + std::to_string(r.method) + ": " + r.name);
        std::string target;
        if ((r.mode & 0xF000) != 0xA000 && metadata_target_name(r.name, target) && r.size > kMaxMetadataStream)
            return refuse(ZIP_REFUSED,
                          "Metadata entry over " + std::to_string(kMaxMetadataStream >> 20) + " MiB: " + r.name);
        size.declared += r.size;
        size.in_blocks += (r.size + block_size - 1) / block_size * block_size;
    }
    if (entries_overlap(records, cd_offset))
        return refuse(ZIP_REFUSED, "Refusing an archive whose entries overlap (a zip bomb?): " + destination);
    struct statvfs fs;
    if (!destination.empty() && statvfs(destination.c_str(), &fs) == 0 &&
        uint64_t(fs.f_bavail) * fs.f_frsize < size.declared)
        return refuse(ZIP_NO_SPACE, "Not enough free space: the archive holds " + std::to_string(size.declared) +
                                        " bytes, " + std::to_string(uint64_t(fs.f_bavail) * fs.f_frsize) +
                                        " bytes free in " + destination);
    return true;
}

}  // namespace ziputil

int archive_needs(const char *archive, unsigned long long block_size, unsigned long long *bytes,
                  unsigned long long *entries)
{
    using namespace ziputil;
    ZIP_UNPACK_FAILURE = ZIP_OK;
    ArchiveStream *stream = nullptr;
    ArchivePtr zip(open_zip_for_reading(archive, &stream));
    if (!zip)
        return failed(stream ? ZIP_DAMAGED : ZIP_CANNOT_READ);
    ArchiveSize size;
    std::string why;
    if (!check_archive(*stream, std::string(), block_size ? block_size : 1, size, why))
        return 0;
    *bytes = size.in_blocks;
    *entries = size.entries;
    return 1;
}
