#include "trees.h"

#include "fsutil.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

std::vector<std::string> names_in(int dir_fd)
{
    std::vector<std::string> names;
    Fd copy(dup(dir_fd));
    DirPtr dir(copy.fd >= 0 ? fdopendir(copy.fd) : nullptr);
    if (!dir)
        return names;
    copy.release();        // the stream owns it now
    rewinddir(dir.get());  // the copy shares its offset with dir_fd
    while (dirent *e = readdir(dir.get()))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.push_back(e->d_name);
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

// Everything below the open folder, which is made writable first.
bool emptyOpenFolder(int fd)
{
    struct stat st;
    if (fstat(fd, &st) == 0 && (st.st_mode & S_IRWXU) != S_IRWXU)
        fchmod(fd, st.st_mode | S_IRWXU);  // a read-only folder still goes
    bool ok = true;
    for (const std::string &entry : names_in(fd))
        ok = remove_tree_at(fd, entry.c_str()) && ok;
    return ok;
}

}  // namespace

bool remove_tree_at(int dir_fd, const char *name)
{
    if (unlinkat(dir_fd, name, 0) == 0 || errno == ENOENT)
        return true;
    if (errno != EISDIR && errno != EPERM)
        return false;
    Fd dir(openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir.fd < 0)
        return false;
    const bool ok = emptyOpenFolder(dir.fd);
    return unlinkat(dir_fd, name, AT_REMOVEDIR) == 0 && ok;
}

bool remove_tree(const std::string &path)
{
    return remove_tree_at(AT_FDCWD, path.c_str());
}

bool empty_tree(const std::string &path)
{
    Fd dir(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    return dir.fd >= 0 && emptyOpenFolder(dir.fd);
}
