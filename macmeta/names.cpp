// Where a stream travels: the "__MACOSX/" entry names of zip archives, and
// the temporary file a stream is staged in between an item and its carrier.
#include "macmeta.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

namespace macmeta {

namespace {
const char kPrefix[] = "__MACOSX/";
}

std::string entry_name(const std::string &name)
{
    size_t slash = name.find_last_of('/');
    size_t base = slash == std::string::npos ? 0 : slash + 1;
    return kPrefix + name.substr(0, base) + "._" + name.substr(base);
}

bool target_name(const std::string &name, std::string &target)
{
    const size_t prefix = sizeof kPrefix - 1;
    if (name.compare(0, prefix, kPrefix) != 0)
        return false;
    size_t slash = name.find_last_of('/');  // at prefix - 1 at the latest
    if (name.size() < slash + 4 || name.compare(slash + 1, 2, "._") != 0)
        return false;
    target = name.substr(prefix, slash + 1 - prefix) + name.substr(slash + 3);
    return true;
}

void TempRemover::operator()(std::string *path) const
{
    unlink(path->c_str());
    delete path;
}

int make_temp_file(const char *stem, TempFile &path)
{
    const char *dir = getenv("TMPDIR");
    std::string name = std::string(dir && dir[0] ? dir : "/tmp") + "/" + stem + ".XXXXXX";
    int fd = mkostemp(&name[0], O_CLOEXEC);
    if (fd >= 0)
        path.reset(new std::string(name));
    return fd;
}

}  // namespace macmeta
