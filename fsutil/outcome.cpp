#include "outcome.h"

#include <errno.h>
#include <string.h>

const char *failure_name(int kind)
{
    static const char *const names[FAILURE_KIND_COUNT] = {
        "FAILURE_NONE",           "FAILURE_CANNOT_READ",   "FAILURE_DAMAGED",        "FAILURE_UNSUPPORTED",
        "FAILURE_REFUSED",        "FAILURE_NO_SPACE",      "FAILURE_CANNOT_WRITE",   "FAILURE_BASE_MISSING",
        "FAILURE_BASE_DIFFERS",   "FAILURE_RESULT_DIFFERS", "FAILURE_NO_ANSWER",     "FAILURE_NOT_ON_SERVER",
        "FAILURE_SERVER_REFUSED", "FAILURE_UNSIGNED",      "FAILURE_BAD_SIGNATURE", "FAILURE_EXPIRED",
        "FAILURE_OLDER",          "FAILURE_BUSY",          "FAILURE_NO_RANGES",
    };
    return kind >= 0 && kind < FAILURE_KIND_COUNT ? names[kind] : "FAILURE_UNKNOWN";
}

void context_start(call_context *ctx)
{
    ctx->failure = FAILURE_NONE;
    {
        std::lock_guard<std::mutex> hold(ctx->line_lock);
        ctx->line.clear();
    }
    if (ctx->progress) {
        ctx->progress->done = 0;
        ctx->progress->total = 0;
    }
}

// The first failure is the cause; what fails after it is its consequence.
bool context_fail(call_context *ctx, int kind, const std::string &line)
{
    int expected = FAILURE_NONE;
    if (ctx->failure.compare_exchange_strong(expected, kind)) {
        std::lock_guard<std::mutex> hold(ctx->line_lock);
        ctx->line = line;
    }
    return false;
}

bool context_fail_errno(call_context *ctx, int kind, const std::string &what, int error)
{
    if (kind == FAILURE_CANNOT_WRITE && (error == ENOSPC || error == EDQUOT))
        kind = FAILURE_NO_SPACE;
    return context_fail(ctx, kind, what + ": " + strerror(error));
}

int context_failure(const call_context *ctx)
{
    return ctx->failure.load();
}

std::string context_line(call_context *ctx)
{
    std::lock_guard<std::mutex> hold(ctx->line_lock);
    return ctx->line;
}

void progress_total(call_context *ctx, long long total)
{
    if (ctx->progress)
        ctx->progress->total = total;
}

void progress_add(call_context *ctx, long long bytes)
{
    if (ctx->progress)
        ctx->progress->done += bytes;
}
