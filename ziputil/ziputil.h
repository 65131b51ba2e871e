// ziputil: zip archives that keep POSIX modes, symbolic links and Mac metadata.
//
// Every routine returns 1 for success and 0 for failure. Paths are byte strings
// with "/" as the separator and at most 1023 characters (1024-byte buffers).
//
// Each routine takes a call_context (fsutil/outcome.h) that its caller owns:
// it starts it afresh, records why it failed (the kind and the line, set
// together where the failure happened), adds to its progress sink and keeps
// quiet when asked. The forms without one use a context of their own.
#ifndef ZIPUTIL_H
#define ZIPUTIL_H

#include "outcome.h"

#include <atomic>
#include <string>

#define ZIPUTIL_PATH_MAX 1024   // bytes of every path buffer, NUL included
#define ZIPUTIL_BUFFER_SIZE 16384  // the one transfer buffer of a call

// Extensions whose files are deflated at level 0 (already compressed).
// Form: ".ext|" items, each followed by "|". Case-sensitive. Callers may
// point it at another list before creating an archive.
extern const char *ZIP_RAW_EXTENTIONS;

// Threads for decompress_path and compress_path: 0 (the default) takes
// $ZIPUTIL_THREADS, else one per core; at most 8. With 1 the work and its
// lines are those of a single thread; with more, the results are the same
// and each line is whole, but lines of different entries may come in
// another order.
extern std::atomic<int> ZIP_THREADS;

// Whether entries over 1 MiB are inflated by the faster inflater (ISA-L)
// where the build has one; true by default. False: zlib inflates every
// streamed entry. The archive, the checks and the lines are the same.
extern std::atomic<bool> ZIP_FAST_INFLATE;

// The routines print one line per step and one for a failure on standard
// output, unless the context is quiet.

// Makes every directory of `path` (the components followed by "/") below
// `base`, outermost first. A null base means "/". Prints progress lines.
int make_dirs(const char *base, const char *path, call_context *ctx);
int make_dirs(const char *base, const char *path);

// Joins the parts (ended by a null pointer) into `out`, a 1024-byte buffer,
// always starting with "/". Refuses a result over 1023 characters.
int combine_paths(char *out, ...);

// Unpacks the archive into `destination` (text ending in "/"). Progress:
// bytes of entry data written and the archive's declared total.
int decompress_path(const char *archive, const char *destination, call_context *ctx);
int decompress_path(const char *archive, const char *destination);

// What unpacking `archive` needs: the bytes of its entries, each rounded up to
// whole blocks of `block_size`, and its entry count. 0 when the archive cannot
// be read or is refused.
int archive_needs(const char *archive, unsigned long long block_size, unsigned long long *bytes,
                  unsigned long long *entries, call_context *ctx);
int archive_needs(const char *archive, unsigned long long block_size, unsigned long long *bytes,
                  unsigned long long *entries);

// Reads every entry of the archive and checks its size and CRC, writing
// nothing; counts the entries and their bytes.
int test_archive(const char *archive, unsigned long long *entries, unsigned long long *bytes, call_context *ctx);
int test_archive(const char *archive, unsigned long long *entries, unsigned long long *bytes);

// Prints each entry's mode, method, sizes, date and name on standard output,
// then the totals.
int list_archive(const char *archive, call_context *ctx);
int list_archive(const char *archive);

// After decompress_path unpacked `archive` into `destination`: gives each
// file, link and directory its stored modification time, makes the empty
// directories the archive records and gives directories their stored modes.
// Never follows a link, so nothing outside the destination is touched.
int restore_times(const char *archive, const char *destination, call_context *ctx);
int restore_times(const char *archive, const char *destination);

// Packs the file, link or directory tree at `source_path` into a new archive.
// `level` is zlib's level (0..9, or -1 for its default).
int compress_path(const char *source_path, const char *zip_path, int level, call_context *ctx);
int compress_path(const char *source_path, const char *zip_path, int level);

// As compress_path, then gives the archive the source's access and
// modification times.
int compress_path_preserving_time(const char *source_path, const char *zip_path, int level, call_context *ctx);
int compress_path_preserving_time(const char *source_path, const char *zip_path, int level);

#endif
