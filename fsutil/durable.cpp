#include "durable.h"

#include "fsutil.h"

#include <fcntl.h>
#include <unistd.h>

void (*fsutil_sync_observer)(int scope, const std::string &path) = nullptr;

namespace {

bool observed(bool ok, int scope, const std::string &path)
{
    if (ok && fsutil_sync_observer)
        fsutil_sync_observer(scope, path);
    return ok;
}

}  // namespace

bool sync_file(int fd)
{
    return observed(fsync(fd) == 0, SYNC_FILE, "");
}

bool sync_folder(const std::string &path)
{
    Fd dir(open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return observed(dir.fd >= 0 && fsync(dir.fd) == 0, SYNC_FOLDER, path);
}

bool sync_file_system(int fd)
{
#if defined(__linux__)
    return observed(syncfs(fd) == 0, SYNC_FILE_SYSTEM, "");
#else
    (void)fd;
    sync();
    return observed(true, SYNC_FILE_SYSTEM, "");
#endif
}
