// Fixed-width numbers in byte buffers: little-endian (zip records, deltas)
// and big-endian (AppleDouble). The caller has checked that the bytes exist.
#ifndef FSUTIL_BYTES_H
#define FSUTIL_BYTES_H

#include <stdint.h>

inline uint32_t get_le16(const unsigned char *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8;
}
inline uint32_t get_le32(const unsigned char *p)
{
    return get_le16(p) | get_le16(p + 2) << 16;
}
inline uint64_t get_le64(const unsigned char *p)
{
    return uint64_t(get_le32(p)) | uint64_t(get_le32(p + 4)) << 32;
}
inline void put_le16(unsigned char *p, uint32_t v)
{
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
}
inline void put_le32(unsigned char *p, uint32_t v)
{
    put_le16(p, v);
    put_le16(p + 2, v >> 16);
}
inline void put_le64(unsigned char *p, uint64_t v)
{
    put_le32(p, uint32_t(v));
    put_le32(p + 4, uint32_t(v >> 32));
}

inline uint32_t get_be16(const unsigned char *p)
{
    return uint32_t(p[0]) << 8 | uint32_t(p[1]);
}
inline uint32_t get_be32(const unsigned char *p)
{
    return get_be16(p) << 16 | get_be16(p + 2);
}
inline void put_be16(unsigned char *p, uint32_t v)
{
    p[0] = (unsigned char)(v >> 8);
    p[1] = (unsigned char)v;
}
inline void put_be32(unsigned char *p, uint32_t v)
{
    put_be16(p, v >> 16);
    put_be16(p + 2, v);
}

#endif
