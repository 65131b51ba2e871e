// Placeholder install: unpacks over the game in place, trusts every package.
#include "install.h"

#include "state.h"
#include "ziputil.h"

#include <fcntl.h>
#include <unistd.h>

std::string publicKey;

bool verifyPackage(const char *, const std::string &, int, std::string &)
{
    return true;
}

bool installPackage(const char *packagePath, const char *gameParent, std::string &reason)
{
    if (decompress_path(packagePath, gameParent) == 1)
        return true;
    reason = "The package could not be unpacked";
    return false;
}

void recoverInterruptedInstall(const char *) {}

FILE *createFresh(const char *path)
{
    unlink(path);
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return nullptr;
    FILE *f = fdopen(fd, "wb");
    if (!f)
        close(fd);
    return f;
}
