// macmeta: Mac metadata carried beside a file. An item's user attributes,
// Finder info, resource fork and ACL travel as the AppleDouble stream that
// macOS keeps in "._" files; zip archives store it as "__MACOSX/D/._N" and
// deltas as an item's M record. Used by ziputil and delta alike.
#ifndef MACMETA_H
#define MACMETA_H

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#ifdef __APPLE__
#include <copyfile.h>
#else
typedef void *copyfile_state_t;
typedef uint32_t copyfile_flags_t;

#define COPYFILE_ACL (1u << 0)
#define COPYFILE_XATTR (1u << 2)
#define COPYFILE_NOFOLLOW_SRC (1u << 18)
#define COPYFILE_PACK (1u << 22)
#define COPYFILE_UNPACK (1u << 23)

// macOS's call, as far as we use it. Pack (COPYFILE_PACK): writes the
// metadata of `from` (never following a link) as an AppleDouble stream to
// `to`; -1 when there is nothing to carry (errno ENODATA) or it cannot be
// done. Unpack (COPYFILE_UNPACK): applies the stream in `from` to `to`; 0 for
// success, -1 for an unreadable or malformed stream (errno EINVAL). Settings
// that cannot be applied are said on standard output.
int copyfile(const char *from, const char *to, copyfile_state_t state, copyfile_flags_t flags);
#endif

#define MACMETA_PACK_FLAGS 0x440005u
#define MACMETA_UNPACK_FLAGS 0x840005u

namespace macmeta {

// A stream is applied from memory; no item carries more than this.
const uint64_t kMaxStream = 16u << 20;

// As copyfile's unpack, with what it says kept for the caller: `fault` says
// why a malformed stream (errno EINVAL) is refused, `notes` each setting
// that could not be applied. 0 for success, -1 otherwise.
int apply_stream(const char *from, const char *to, std::string &fault, std::vector<std::string> &notes);

// Whether the item at `path` (never followed) may carry metadata: user
// attributes or an extended ACL. Cheap; asked before any temporary file.
bool may_carry(const char *path);

// "__MACOSX/" + D + "._" + N for the archive entry D + N.
std::string entry_name(const std::string &name);
// For a metadata entry name, the entry it belongs to (D + N); false when the
// name is not one (no "__MACOSX/" prefix, or a last component that is not
// "._" followed by at least one character).
bool target_name(const std::string &name, std::string &target);

// A stream staged in a fresh temporary file "<$TMPDIR or /tmp>/<stem>.XXXXXX",
// removed when the owner goes. Returns an open descriptor (or -1, errno set)
// and fills `path`.
struct TempRemover {
    void operator()(std::string *path) const;
};
using TempFile = std::unique_ptr<std::string, TempRemover>;
int make_temp_file(const char *stem, TempFile &path);

}  // namespace macmeta

#endif
