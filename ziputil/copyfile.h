// The two metadata calls the archive routines make. macOS has copyfile(3);
// elsewhere our own layer packs and applies the same AppleDouble stream.
#ifndef ZIPUTIL_COPYFILE_H
#define ZIPUTIL_COPYFILE_H

#ifdef __APPLE__
#include <copyfile.h>
#else
#include <stdint.h>

typedef void *copyfile_state_t;
typedef uint32_t copyfile_flags_t;

#define COPYFILE_ACL (1u << 0)
#define COPYFILE_XATTR (1u << 2)
#define COPYFILE_NOFOLLOW_SRC (1u << 18)
#define COPYFILE_PACK (1u << 22)
#define COPYFILE_UNPACK (1u << 23)

// Pack (COPYFILE_PACK): writes the metadata of `from` (never following a link)
// as an AppleDouble stream to `to`; -1 when there is nothing to carry or it
// cannot be done. Unpack (COPYFILE_UNPACK): applies the stream in `from` to
// `to`; 0 for success, -1 for an unreadable or malformed stream.
int copyfile(const char *from, const char *to, copyfile_state_t state, copyfile_flags_t flags);
#endif

#define ZIPUTIL_COPYFILE_PACK_FLAGS 0x440005u
#define ZIPUTIL_COPYFILE_UNPACK_FLAGS 0x840005u

#endif
