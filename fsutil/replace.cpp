#include "replace.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const size_t kTempSuffix = 6;  // mkstemp's XXXXXX

std::string folderOf(const std::string &path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

beside_file::~beside_file()
{
    if (!temp.empty())
        unlink(temp.c_str());
}

bool begin_beside(beside_file &file, const std::string &path, mode_t mode)
{
    std::string temp = path + "." + std::string(kTempSuffix, 'X');
    Fd fd(mkostemp(&temp[0], O_CLOEXEC));
    if (fd.fd < 0)
        return false;
    file.temp = temp;  // from here on it goes with `file` unless committed
    file.path = path;
    if (fchmod(fd.fd, mode) != 0)
        return false;
    file.fd = std::move(fd);
    return true;
}

bool commit_rename(int fd, const std::string &temp, const std::string &path, durability level)
{
    if (level >= DURABLE_FILE && fd >= 0 && !sync_file(fd))
        return false;
    if (rename(temp.c_str(), path.c_str()) != 0)
        return false;
    return level < DURABLE_FILE_AND_FOLDER || sync_folder(folderOf(path));
}

bool commit_beside(beside_file &file, durability level)
{
    if (file.temp.empty() || file.fd.fd < 0)
        return false;
    if (level >= DURABLE_FILE && !sync_file(file.fd.fd))
        return false;
    if (close(file.fd.release()) != 0)
        return false;
    if (!commit_rename(-1, file.temp, file.path, level))
        return false;
    file.temp.clear();  // renamed: nothing left to remove
    return true;
}

bool replace_file(const std::string &path, const void *data, size_t size, mode_t mode, durability level)
{
    beside_file file;
    if (!begin_beside(file, path, mode))
        return false;
    if (!write_full(file.fd.fd, data, size))
        return false;
    return commit_beside(file, level);
}

int remove_beside_leftovers(const std::string &path)
{
    const std::string folder = folderOf(path);
    const std::string base = path.substr(path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1);
    Fd dirFd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DirPtr dir(dirFd.fd >= 0 ? fdopendir(dirFd.fd) : nullptr);
    if (!dir)
        return 0;
    const int fd = dirFd.release();  // the stream owns it now
    int removed = 0;
    while (dirent *e = readdir(dir.get())) {
        const std::string name = e->d_name;
        if (name.size() != base.size() + 1 + kTempSuffix || name.compare(0, base.size() + 1, base + ".") != 0)
            continue;
        bool pattern = true;
        for (size_t i = base.size() + 1; i < name.size(); i++)
            pattern = pattern && isalnum((unsigned char)name[i]);
        struct stat st;
        if (!pattern || fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
            st.st_uid != geteuid() || st.st_nlink != 1)
            continue;
        if (unlinkat(fd, name.c_str(), 0) == 0)
            removed++;
    }
    return removed;
}
