// libFuzzer target: arbitrary bytes as an archive, unpacked into a scratch
// directory that is emptied after every input.
#include "ziputil.h"

#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <unistd.h>

static std::string scratch;

static int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (scratch.empty()) {
        char templ[] = "/tmp/ziputil-fuzz.XXXXXX";
        if (!mkdtemp(templ))
            abort();
        scratch = templ;
    }
    std::string archive = scratch + "/input.zip";
    std::string dest = scratch + "/out/";
    int fd = open(archive.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || write(fd, data, size) != ssize_t(size))
        abort();
    close(fd);
    decompress_path(archive.c_str(), dest.c_str());
    nftw(dest.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    return 0;
}
