// What the packing and unpacking halves of ziputil share: where a call's
// lines and failure go, the path helpers and the limits.
#ifndef ZIPUTIL_INTERNAL_H
#define ZIPUTIL_INTERNAL_H

#include "fsutil.h"
#include "macmeta.h"
#include "outcome.h"

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

namespace ziputil {

// Where a step's lines and failure go: the call's context, or while a
// worker holds its lines back, the worker's own context and list, said
// later in the order of the work they belong to.
struct Out {
    call_context *ctx = nullptr;
    std::vector<std::string> *held = nullptr;
};

// One line on standard output (unless quiet): prefix, text, newline. Never
// a format string: paths may hold '%'.
void say(Out &out, const char *prefix, const std::string &text = std::string());
// "prefix text: <strerror(err)>".
void say_error(Out &out, const char *prefix, const std::string &text, int err);
// Says `line` and records it with `kind` in the context. Returns 0, for
// `return fail(...)`.
int fail(Out &out, int kind, const std::string &line);
// As fail with FAILURE_NO_SPACE or FAILURE_CANNOT_WRITE, as `err` says.
int fail_write(Out &out, int err, const std::string &line);
// As fail with the line "prefix text: <strerror(err)>"; a write kind that
// `err` shows to be a full disk becomes FAILURE_NO_SPACE.
int fail_error(Out &out, int kind, const char *prefix, const std::string &text, int err);

// Whether the resolved absolute `path` is `root` or below it: a whole
// component must follow, so "/x/dest" never holds "/x/destX".
bool is_within(const std::string &root, const std::string &path);
// Whether [offset, offset + length) lies within [0, limit), computed so
// that no sum can wrap around.
bool span_within(uint64_t offset, uint64_t length, uint64_t limit);

bool fits(const std::string &path);  // within ZIPUTIL_PATH_MAX - 1
std::string parent_of(const std::string &path);  // up to its last "/", or ""
std::string last_component(const std::string &path);
std::vector<std::string> split_components(const std::string &path);

// make_dirs, saying its lines to `out` and recording nothing: errno says
// why it failed, for the caller's own failure line.
int make_dirs_said(Out &out, const char *base, const char *path);

using macmeta::TempFile;
using macmeta::make_temp_file;

// The threads a call uses (ZIP_THREADS, $ZIPUTIL_THREADS, the cores).
int thread_count();

}  // namespace ziputil

#endif
