// The failure record of the last call.
#include "items.h"

#include <string.h>

#include <mutex>

std::atomic<int> DELTA_FAILURE;
std::atomic<long long> DELTA_APPLY_BYTES_DONE;
std::atomic<long long> DELTA_APPLY_BYTES_TOTAL;

namespace {
std::mutex line_lock;
std::string last_line;
}  // namespace

std::string delta_last_error()
{
    std::lock_guard<std::mutex> hold(line_lock);
    return last_line;
}

const char *delta_failure_name(int failure)
{
    static const char *const names[] = {"DELTA_OK",           "DELTA_CANNOT_READ",    "DELTA_DAMAGED",
                                        "DELTA_UNSUPPORTED",  "DELTA_REFUSED",        "DELTA_BASE_MISSING",
                                        "DELTA_BASE_DIFFERS", "DELTA_RESULT_DIFFERS", "DELTA_NO_SPACE",
                                        "DELTA_CANNOT_WRITE"};
    return failure >= 0 && failure <= DELTA_CANNOT_WRITE ? names[failure] : "DELTA_UNKNOWN";
}

namespace delta {

void start_call()
{
    DELTA_FAILURE = DELTA_OK;
    std::lock_guard<std::mutex> hold(line_lock);
    last_line.clear();
}

// The first failure is the cause; what fails after it is its consequence.
bool fail(delta_failure kind, const std::string &line)
{
    int expected = DELTA_OK;
    if (DELTA_FAILURE.compare_exchange_strong(expected, kind)) {
        std::lock_guard<std::mutex> hold(line_lock);
        last_line = line;
    }
    return false;
}

bool fail_errno(delta_failure kind, const std::string &what, int error)
{
    if (kind == DELTA_CANNOT_WRITE && (error == ENOSPC || error == EDQUOT))
        kind = DELTA_NO_SPACE;
    return fail(kind, what + ": " + strerror(error));
}

}  // namespace delta
