// The lines a call says on standard output, and the failure it records
// with its line: both go through the call's own context, so that two calls
// on two threads never mix their causes.
#include "internal.h"
#include "ziputil.h"

#include <stdio.h>
#include <string.h>

namespace ziputil {

void say(Out &out, const char *prefix, const std::string &text)
{
    std::string line = prefix + text;
    if (out.held) {
        out.held->push_back(std::move(line));
        return;
    }
    if (out.ctx && out.ctx->quiet)
        return;
    line += '\n';
    fputs(line.c_str(), stdout);
}

void say_error(Out &out, const char *prefix, const std::string &text, int err)
{
    say(out, prefix, text + ": " + strerror(err));
}

int fail(Out &out, int kind, const std::string &line)
{
    say(out, "", line);
    if (out.ctx)
        context_fail(out.ctx, kind, line);
    return 0;
}

int fail_write(Out &out, int err, const std::string &line)
{
    return fail(out, is_disk_full(err) ? FAILURE_NO_SPACE : FAILURE_CANNOT_WRITE, line);
}

int fail_error(Out &out, int kind, const char *prefix, const std::string &text, int err)
{
    if (kind == FAILURE_CANNOT_WRITE && is_disk_full(err))
        kind = FAILURE_NO_SPACE;
    return fail(out, kind, prefix + text + ": " + strerror(err));
}

}  // namespace ziputil
