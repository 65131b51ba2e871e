// What the packing and unpacking halves of ziputil share: the line printer,
// the "__MACOSX/" metadata entry names, temporary files, the limits and the
// two containment tests.
#ifndef ZIPUTIL_INTERNAL_H
#define ZIPUTIL_INTERNAL_H

#include "fsutil.h"

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

namespace ziputil {

// A metadata stream is applied from memory; no file carries more than this.
const uint64_t kMaxMetadataStream = 16u << 20;

// Whether the resolved absolute `path` is `root` or below it: a whole
// component must follow, so "/x/dest" never holds "/x/destX".
bool is_within(const std::string &root, const std::string &path);
// Whether [offset, offset + length) lies within [0, limit), computed so
// that no sum can wrap around.
bool span_within(uint64_t offset, uint64_t length, uint64_t limit);

// One line on standard output: prefix, text, newline. Never a format string:
// paths may hold '%'.
void say(const char *prefix, const std::string &text = std::string());
// While set on a thread, that thread's lines go here instead: a worker's
// lines, said later in the order of the work they belong to.
extern thread_local std::vector<std::string> *say_into;
// "prefix text: <strerror(err)>".
void say_error(const char *prefix, const std::string &text, int err);

// "__MACOSX/" + D + "._" + N for the entry D + N.
std::string metadata_entry_name(const std::string &entry_name);
// For a metadata entry name, the entry it belongs to (D + N); false when the
// name is not one (no "__MACOSX/" prefix, or a last component that is not
// "._" followed by at least one character).
bool metadata_target_name(const std::string &name, std::string &target);

// A fresh temporary file "<$TMPDIR or /tmp>/<stem>.XXXXXX", removed when the
// owner goes. Returns an open descriptor (or -1, errno set) and fills `path`.
struct TempRemover {
    void operator()(std::string *path) const;
};
using TempFile = std::unique_ptr<std::string, TempRemover>;
int make_temp_file(const char *stem, TempFile &path);

// Why the last stream that the metadata layer refused to apply is malformed.
extern thread_local std::string metadata_fault;

// Whether the item at `path` (never followed) may carry metadata: user
// attributes or an extended ACL. Cheap; asked before any temporary file.
bool may_carry_metadata(const char *path);

// The threads a call uses (ZIP_THREADS, $ZIPUTIL_THREADS, the cores).
int thread_count();

}  // namespace ziputil

#endif
