// Why a call failed and how far it has come: one model for every module.
//
// A call takes a `call_context` that its caller owns. The failure is recorded
// where it happens, kind and line together; the first one recorded is the
// cause and later ones (its consequences) are dropped. Progress goes to a
// sink the caller owns and may read from another thread while the call runs.
#ifndef FSUTIL_OUTCOME_H
#define FSUTIL_OUTCOME_H

#include <atomic>
#include <mutex>
#include <string>

// Every kind of failure any module reports; failure_name() names each.
// Append new kinds before FAILURE_KIND_COUNT and give them a name.
enum failure_kind : int {
    FAILURE_NONE = 0,
    // Files: archives, deltas, trees, the install.
    FAILURE_CANNOT_READ,     // cannot be opened or read (errno-level)
    FAILURE_DAMAGED,         // not what it claims: its records, lengths, hashes or data lie
    FAILURE_UNSUPPORTED,     // a method, feature or format version this build does not know
    FAILURE_REFUSED,         // well formed, but would land outside its folder or do harm
    FAILURE_NO_SPACE,        // the file system is (or would be) full
    FAILURE_CANNOT_WRITE,    // cannot be written for another reason
    // A delta against the installed game.
    FAILURE_BASE_MISSING,    // a file the delta builds on is not installed
    FAILURE_BASE_DIFFERS,    // a file the delta builds on is not the publisher's (edited?)
    FAILURE_RESULT_DIFFERS,  // a rebuilt item does not hash as the publisher's
    // The update server.
    FAILURE_NO_ANSWER,       // no connection, a timeout, the line broke, the launcher is ending
    FAILURE_NOT_ON_SERVER,   // the server has no such file (404)
    FAILURE_SERVER_REFUSED,  // an answer that cannot be used: another status, too long
    FAILURE_UNSIGNED,        // no signature where one is required
    FAILURE_BAD_SIGNATURE,   // a signature that does not hold, or was made for something else
    FAILURE_EXPIRED,         // a signed expiry has passed
    FAILURE_OLDER,           // lower than a version verified before
    // The install.
    FAILURE_BUSY,            // another process holds what the call needs (another launcher installing)
    // The update server again.
    FAILURE_NO_RANGES,       // it will not send part of a file (200 whole, 416, 501, another part)
    FAILURE_KIND_COUNT
};

// "FAILURE_DAMAGED" for FAILURE_DAMAGED; "FAILURE_UNKNOWN" for anything else.
const char *failure_name(int kind);

// How far a call is: bytes done and the whole (0 until known). The call adds
// to it from any of its threads; the owner reads it whenever it likes.
struct progress_sink {
    std::atomic<long long> done{0};
    std::atomic<long long> total{0};
};

struct call_context {
    std::atomic<int> failure{FAILURE_NONE};  // a failure_kind
    progress_sink *progress = nullptr;       // optional, the caller's
    bool quiet = false;                      // no progress lines on standard output
    std::mutex line_lock;
    std::string line;                        // the cause, for a person: path and reason
};

// At the start of a call: no failure, no line, progress from 0.
void context_start(call_context *ctx);
// Records `kind` and `line` unless a failure is already recorded. Returns
// false, so a failing step can `return context_fail(...)`.
bool context_fail(call_context *ctx, int kind, const std::string &line);
// As context_fail with "what: strerror(error)"; a write kind becomes
// FAILURE_NO_SPACE when `error` is ENOSPC or EDQUOT.
bool context_fail_errno(call_context *ctx, int kind, const std::string &what, int error);
int context_failure(const call_context *ctx);
std::string context_line(call_context *ctx);

void progress_total(call_context *ctx, long long total);
void progress_add(call_context *ctx, long long bytes);

#endif
