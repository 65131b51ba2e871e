// How many threads an unpack or a pack uses: the -j of the command, else
// $ZIPUTIL_THREADS, else one per core. More than eight gains nothing: the
// writes and the archive's one reader would be the limit.
#include "internal.h"
#include "ziputil.h"

#include <stdlib.h>

#include <thread>

std::atomic<int> ZIP_THREADS;

namespace ziputil {

namespace {
const int kMaxThreads = 8;
}

int thread_count()
{
    int chosen = ZIP_THREADS;
    if (chosen <= 0) {
        const char *text = getenv("ZIPUTIL_THREADS");
        char *end = nullptr;
        long n = text && text[0] ? strtol(text, &end, 10) : 0;
        chosen = end && *end == '\0' && n > 0 ? int(n > kMaxThreads ? kMaxThreads : n) : 0;
    }
    if (chosen <= 0)
        chosen = int(std::thread::hardware_concurrency());
    return chosen < 1 ? 1 : chosen > kMaxThreads ? kMaxThreads : chosen;
}

}  // namespace ziputil
