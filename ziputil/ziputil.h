// ziputil: zip archives that keep POSIX modes, symbolic links and Mac metadata.
//
// Every routine returns 1 for success and 0 for failure. Paths are byte strings
// with "/" as the separator and at most 1023 characters (1024-byte buffers).
#ifndef ZIPUTIL_H
#define ZIPUTIL_H

#include <atomic>

#define ZIPUTIL_PATH_MAX 1024   // bytes of every path buffer, NUL included
#define ZIPUTIL_BUFFER_SIZE 16384  // the one transfer buffer of a call

// Extensions whose files are deflated at level 0 (already compressed).
// Form: ".ext|" items, each followed by "|". Case-sensitive. Callers may
// point it at another list before creating an archive.
extern const char *ZIP_RAW_EXTENTIONS;

// Makes every directory of `path` (the components followed by "/") below
// `base`, outermost first. A null base means "/". Prints progress lines.
int make_dirs(const char *base, const char *path);

// Joins the parts (ended by a null pointer) into `out`, a 1024-byte buffer,
// always starting with "/". Refuses a result over 1023 characters.
int combine_paths(char *out, ...);

// Unpacks the archive into `destination` (text ending in "/").
int decompress_path(const char *archive, const char *destination);

// How far the running decompress_path is, for another thread to show: bytes
// of entry data written so far and the archive's declared total (0 until
// known). Each call starts both again from 0.
extern std::atomic<long long> ZIP_UNPACK_BYTES_DONE;
extern std::atomic<long long> ZIP_UNPACK_BYTES_TOTAL;

// Packs the file, link or directory tree at `source_path` into a new archive.
// `level` is zlib's level (0..9, or -1 for its default).
int compress_path(const char *source_path, const char *zip_path, int level);

// As compress_path, then gives the archive the source's access and
// modification times.
int compress_path_preserving_time(const char *source_path, const char *zip_path, int level);

#endif
