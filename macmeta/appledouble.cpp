// Mac metadata on Linux: packs a file's user attributes and extended ACL into
// the AppleDouble stream macOS writes for "._" files, and applies such a
// stream back. Names map as macOS "X" <-> Linux "user.X"; Finder Info and the
// resource fork travel in the stream's own two entries.
//
// The stream, all integers big-endian, offsets from its start (R = where the
// attribute values end, that is data start + data length):
//
//   offset  size  meaning
//   0       4     magic 0x00051607
//   4       4     version 0x00020000
//   8       16    "Mac OS X" and 8 spaces
//   24      2     number of entries: 2
//   26      12    entry 0: id 9 (Finder Info), offset 50, length R - 50
//   38      12    entry 1: id 2 (resource fork), offset R, length of the fork (0: none)
//   50      32    Finder Info (com.apple.FinderInfo), or zeros
//   82      2     padding
//   84      4     "ATTR"
//   88      4     debug tag (ignored: older writers put anything here)
//   92      4     total size: R
//   96      4     data start: 120 + the size of the attribute entries
//   100     4     data length: the sum of the value lengths
//   104     12    reserved
//   116     2     flags: 0
//   118     2     number of attributes n
//   120     ...   n attribute entries, each 4-aligned:
//                   +0 value offset (absolute; 0 for an empty value)  4
//                   +4 value length                                   4
//                   +8 flags: 0                                       2
//                   +10 name length, its NUL counted (2..128)         1
//                   +11 the name and its NUL, zero padded to (11 + name length + 3) & ~3
//   data start    the values, in entry order, unpadded
//   R             the resource fork
//
// Entries are sorted by name; "com.apple.acl.text" carries the ACL as text.
// A stream with nothing in it is 120 bytes. Every offset and length is
// checked before use: a malformed stream is refused whole.
#include "bytes.h"
#include "fsutil.h"
#include "macmeta.h"

#ifdef __APPLE__
#include <errno.h>
#include <sys/xattr.h>

bool macmeta::may_carry(const char *path)
{
    (void)path;
    return true;  // ACLs do not show in the attribute list: let copyfile decide
}

int macmeta::apply_stream(const char *from, const char *to, std::string &fault, std::vector<std::string> &)
{
    fault = "it is not an AppleDouble stream";
    return copyfile(from, to, nullptr, MACMETA_UNPACK_FLAGS);
}
#else

#include <acl/libacl.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

const uint32_t kMagic = 0x00051607;
const uint32_t kVersion = 0x00020000;
const uint32_t kAttrMagic = 0x41545452;  // "ATTR"
const uint32_t kFinderInfoId = 9;
const uint32_t kResourceForkId = 2;
const size_t kFinderInfoOffset = 50;
const size_t kFinderInfoSize = 32;
const size_t kAttrHeaderEnd = 120;  // first attribute entry
const size_t kMaxNameLength = 128;  // with its NUL
const size_t kMaxStream = macmeta::kMaxStream;  // far above what Linux lets a file carry

const char kUserPrefix[] = "user.";
const char kFinderInfoName[] = "com.apple.FinderInfo";
const char kResourceForkName[] = "com.apple.ResourceFork";
const char kAclName[] = "com.apple.acl.text";

struct Attribute {
    std::string name;   // without "user."
    std::string value;
};

struct Metadata {
    std::string finder_info;  // 32 bytes, or empty
    std::string resource_fork;
    std::vector<Attribute> attributes;
};

// The stream's big-endian fields, at byte `at` of it; the caller checked the span.
uint32_t get_u16(const std::string &s, size_t at)
{
    return get_be16(reinterpret_cast<const unsigned char *>(s.data()) + at);
}
uint32_t get_u32(const std::string &s, size_t at)
{
    return get_be32(reinterpret_cast<const unsigned char *>(s.data()) + at);
}
unsigned char *field(std::string &s, size_t at)
{
    return reinterpret_cast<unsigned char *>(&s[at]);
}

// Whether [offset, offset + length) lies within [0, limit), with no sum that could wrap.
bool span_within(uint64_t offset, uint64_t length, uint64_t limit)
{
    return offset <= limit && length <= limit - offset;
}

size_t entry_size(size_t name_length_with_nul)
{
    return (11 + name_length_with_nul + 3) & ~size_t(3);
}

// Reads one attribute without following a link; false if it vanished.
bool read_attribute(const char *path, const char *name, std::string &value)
{
    for (int tries = 0; tries < 4; tries++) {
        ssize_t size = lgetxattr(path, name, nullptr, 0);
        if (size < 0)
            return false;
        value.resize(size_t(size));
        ssize_t got = size ? lgetxattr(path, name, &value[0], value.size()) : 0;
        if (got >= 0) {
            value.resize(size_t(got));
            return true;
        }
        if (errno != ERANGE)
            return false;  // ERANGE: it grew in between, ask again
    }
    return false;
}

bool collect_metadata(const char *path, Metadata &md)
{
    struct stat st;
    if (lstat(path, &st) != 0)
        return false;

    ssize_t list_size = llistxattr(path, nullptr, 0);
    std::string list;
    if (list_size > 0) {
        list.resize(size_t(list_size));
        list_size = llistxattr(path, &list[0], list.size());
        if (list_size < 0)
            return false;
        list.resize(size_t(list_size));
    } else if (list_size < 0 && errno != ENOTSUP) {
        return false;
    }

    for (size_t at = 0; at < list.size();) {
        const char *full = list.c_str() + at;
        size_t full_len = strlen(full);
        at += full_len + 1;
        if (strncmp(full, kUserPrefix, sizeof kUserPrefix - 1) != 0)
            continue;
        std::string name(full + sizeof kUserPrefix - 1);
        if (name.empty() || name.size() > kMaxNameLength - 1)
            continue;  // macOS refuses the whole stream for such a name
        std::string value;
        if (!read_attribute(path, full, value))
            continue;
        if (name == kFinderInfoName && value.size() == kFinderInfoSize)
            md.finder_info = value;
        else if (name == kResourceForkName)
            md.resource_fork = value;
        else
            md.attributes.push_back({name, value});
    }

    // Links carry no ACL on Linux; acl_get_file would follow them.
    if (!S_ISLNK(st.st_mode)) {
        acl_t acl = acl_get_file(path, ACL_TYPE_ACCESS);
        if (acl) {
            std::unique_ptr<void, int (*)(void *)> acl_guard(acl, acl_free);
            if (acl_equiv_mode(acl, nullptr) == 1) {  // more than the mode bits
                char *text = acl_to_text(acl, nullptr);
                if (text) {
                    md.attributes.push_back({kAclName, std::string(text, strlen(text) + 1)});
                    acl_free(text);
                }
            }
        }
    }

    std::sort(md.attributes.begin(), md.attributes.end(),
              [](const Attribute &a, const Attribute &b) { return a.name < b.name; });
    return true;
}

std::string build_stream(const Metadata &md)
{
    size_t entries = 0, values = 0;
    for (const Attribute &a : md.attributes) {
        entries += entry_size(a.name.size() + 1);
        values += a.value.size();
    }
    size_t data_start = kAttrHeaderEnd + entries;
    size_t end = data_start + values;  // R: where the attribute data ends

    std::string s(data_start, '\0');
    put_be32(field(s, 0), kMagic);
    put_be32(field(s, 4), kVersion);
    memcpy(&s[8], "Mac OS X        ", 16);
    put_be16(field(s, 24), 2);
    put_be32(field(s, 26), kFinderInfoId);
    put_be32(field(s, 30), kFinderInfoOffset);
    put_be32(field(s, 34), uint32_t(end - kFinderInfoOffset));
    put_be32(field(s, 38), kResourceForkId);
    put_be32(field(s, 42), uint32_t(end));
    put_be32(field(s, 46), uint32_t(md.resource_fork.size()));
    if (!md.finder_info.empty())
        memcpy(&s[kFinderInfoOffset], md.finder_info.data(), kFinderInfoSize);
    put_be32(field(s, 84), kAttrMagic);
    put_be32(field(s, 92), uint32_t(end));
    put_be32(field(s, 96), uint32_t(data_start));
    put_be32(field(s, 100), uint32_t(values));
    put_be16(field(s, 118), uint32_t(md.attributes.size()));

    size_t at = kAttrHeaderEnd, value_at = data_start;
    for (const Attribute &a : md.attributes) {
        put_be32(field(s, at), a.value.empty() ? 0 : uint32_t(value_at));
        put_be32(field(s, at + 4), uint32_t(a.value.size()));
        s[at + 10] = char(a.name.size() + 1);
        memcpy(&s[at + 11], a.name.c_str(), a.name.size() + 1);
        at += entry_size(a.name.size() + 1);
        value_at += a.value.size();
    }
    for (const Attribute &a : md.attributes)
        s += a.value;
    s += md.resource_fork;
    return s;
}

int pack_metadata(const char *from, const char *to)
{
    Metadata md;
    if (!collect_metadata(from, md))
        return -1;
    if (md.attributes.empty() && md.finder_info.empty() && md.resource_fork.empty()) {
        errno = ENODATA;  // nothing to carry: no metadata entry
        return -1;
    }
    if (md.attributes.size() > 0xffff) {
        errno = E2BIG;
        return -1;
    }
    std::string stream = build_stream(md);
    Fd out(open(to, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (out.fd < 0 || !write_full(out.fd, stream.data(), stream.size()))
        return -1;
    return close(out.release()) == 0 ? 0 : -1;  // a late write error shows here
}

bool read_stream(const char *path, std::string &data)
{
    Fd in(open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (in.fd < 0 || fstat(in.fd, &st) != 0 || !S_ISREG(st.st_mode) || size_t(st.st_size) > kMaxStream)
        return false;
    data.resize(size_t(st.st_size));
    return read_full(in.fd, &data[0], data.size());
}

// Checks every field before anything is applied: a malformed stream is
// refused whole and never read out of bounds.
bool parse_stream(const std::string &s, Metadata &md, std::string &fault)
{
    auto bad = [&fault](const std::string &why) {
        fault = why;
        return false;
    };
    const uint64_t size = s.size();
    if (size < kFinderInfoOffset || get_u32(s, 0) != kMagic || get_u32(s, 4) != kVersion ||
        get_u16(s, 24) != 2)
        return bad("not an AppleDouble stream with two entries");
    uint32_t id0 = get_u32(s, 26), off0 = get_u32(s, 30), len0 = get_u32(s, 34);
    uint32_t id1 = get_u32(s, 38), off1 = get_u32(s, 42), len1 = get_u32(s, 46);
    if (id0 != kFinderInfoId || !span_within(off0, len0, size))
        return bad("its Finder info is missing or runs past the stream's end");
    if (id1 == kResourceForkId && len1 > 0) {
        if (!span_within(off1, len1, size))
            return bad("its resource fork runs past the stream's end");
        md.resource_fork = s.substr(off1, len1);
    }
    if (len0 >= kFinderInfoSize)
        md.finder_info = s.substr(off0, kFinderInfoSize);
    if (len0 <= kFinderInfoSize)
        return true;  // no attribute block

    if (size < kAttrHeaderEnd || get_u32(s, 84) != kAttrMagic)
        return bad("no attribute header after the Finder info");
    uint64_t total = get_u32(s, 92), data_start = get_u32(s, 96), data_length = get_u32(s, 100);
    uint32_t count = get_u16(s, 118);
    if (total > size || data_start < kAttrHeaderEnd || !span_within(data_start, data_length, total))
        return bad("its attribute header claims more than the stream holds");

    uint64_t at = kAttrHeaderEnd;
    for (uint32_t i = 0; i < count; i++) {
        if (!span_within(at, 11, size))
            return bad("attribute " + std::to_string(i + 1) + " of " + std::to_string(count) + " runs past the stream's end");
        uint32_t offset = get_u32(s, at), length = get_u32(s, at + 4);
        size_t name_length = (unsigned char)s[at + 10];
        if (name_length < 2 || name_length > kMaxNameLength || !span_within(at + 11, name_length, size))
            return bad("attribute " + std::to_string(i + 1) + " has a name length of " + std::to_string(name_length));
        const char *name = s.data() + at + 11;
        if (memchr(name, '\0', name_length) != name + name_length - 1)
            return bad("attribute " + std::to_string(i + 1) + "'s name does not end with its only NUL");
        if (length > 0 && !span_within(offset, length, size))
            return bad("attribute " + std::string(name) + "'s value runs past the stream's end");
        md.attributes.push_back({std::string(name), length ? s.substr(offset, length) : ""});
        at += entry_size(name_length);
    }
    return true;
}

void report_refusal(std::vector<std::string> &notes, const char *what, const std::string &name, const char *target,
                    int err)
{
    notes.push_back("Could not set " + std::string(what) + " " + name + " on " + target + ": " + strerror(err));
}

void remove_user_attributes(const char *target)
{
    ssize_t size = listxattr(target, nullptr, 0);
    if (size <= 0)
        return;
    std::string list(size_t(size), '\0');
    size = listxattr(target, &list[0], list.size());
    if (size <= 0)
        return;
    list.resize(size_t(size));
    for (size_t at = 0; at < list.size();) {
        const char *name = list.c_str() + at;
        at += strlen(name) + 1;
        if (strncmp(name, kUserPrefix, sizeof kUserPrefix - 1) == 0)
            removexattr(target, name);
    }
}

void apply_acl_text(const char *target, std::string text, std::vector<std::string> &notes)
{
    while (!text.empty() && text.back() == '\0')
        text.pop_back();
    if (text.compare(0, 5, "!#acl") == 0)
        return;  // a macOS ACL: no Linux equivalent, passed over
    acl_t acl = acl_from_text(text.c_str());
    if (!acl) {
        report_refusal(notes, "ACL", "text", target, errno ? errno : EINVAL);
        return;
    }
    std::unique_ptr<void, int (*)(void *)> acl_guard(acl, acl_free);
    if (acl_set_file(target, ACL_TYPE_ACCESS, acl) != 0)
        report_refusal(notes, "ACL", "text", target, errno);
}

}  // namespace

int macmeta::apply_stream(const char *from, const char *to, std::string &fault, std::vector<std::string> &notes)
{
    std::string stream;
    Metadata md;
    fault = "it cannot be read whole";
    if (!read_stream(from, stream) || !parse_stream(stream, md, fault)) {
        errno = EINVAL;
        return -1;
    }
    struct stat st;
    if (stat(to, &st) != 0)
        return -1;

    // As macOS does: the stream replaces the target's attributes, ACL last.
    remove_user_attributes(to);
    const std::string *acl_text = nullptr;
    auto set = [&](const std::string &name, const std::string &value) {
        std::string full = kUserPrefix + name;
        if (setxattr(to, full.c_str(), value.data(), value.size(), 0) != 0)
            report_refusal(notes, "attribute", name, to, errno);
    };
    for (const Attribute &a : md.attributes) {
        if (a.name == kAclName)
            acl_text = &a.value;
        else
            set(a.name, a.value);
    }
    if (md.finder_info.find_first_not_of('\0') != std::string::npos)
        set(kFinderInfoName, md.finder_info);
    if (!md.resource_fork.empty())
        set(kResourceForkName, md.resource_fork);
    if (acl_text)
        apply_acl_text(to, *acl_text, notes);
    return 0;
}

bool macmeta::may_carry(const char *path)
{
    char names[4096];
    ssize_t size = llistxattr(path, names, sizeof names);
    if (size == 0 || (size < 0 && errno != ERANGE))
        return size < 0 && errno != ENOTSUP;  // an error: let the pack step report it
    if (size < 0)
        return true;  // a long list: look closer
    for (ssize_t at = 0; at < size; at += ssize_t(strlen(names + at)) + 1)
        if (strncmp(names + at, kUserPrefix, sizeof kUserPrefix - 1) == 0 ||
            strcmp(names + at, "system.posix_acl_access") == 0)
            return true;
    return false;
}

int copyfile(const char *from, const char *to, copyfile_state_t, copyfile_flags_t flags)
{
    if (!from || !to) {
        errno = EINVAL;
        return -1;
    }
    if (flags & COPYFILE_PACK)
        return pack_metadata(from, to);
    if (flags & COPYFILE_UNPACK) {
        std::string fault;
        std::vector<std::string> notes;
        int rc = macmeta::apply_stream(from, to, fault, notes);
        for (const std::string &note : notes)
            printf("%s\n", note.c_str());
        return rc;
    }
    errno = ENOTSUP;
    return -1;
}

#endif  // __APPLE__
