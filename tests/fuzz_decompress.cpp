// libFuzzer target: arbitrary bytes as an archive, listed, tested and
// unpacked into a scratch directory that is emptied after every input.
#include "ziputil.h"

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string scratch = mkdtemp(std::string("/tmp/ziputil-fuzz.XXXXXX").data());
    const std::string archive = scratch + "/input.zip", dest = scratch + "/out/";
    FILE *f = fopen(archive.c_str(), "wb");
    if (!f || fwrite(data, 1, size, f) != size || fclose(f) != 0)
        abort();
    list_archive(archive.c_str());
    unsigned long long entries = 0, bytes = 0;
    test_archive(archive.c_str(), &entries, &bytes);
    decompress_path(archive.c_str(), dest.c_str());
    nftw(dest.c_str(), [](const char *path, const struct stat *, int, struct FTW *) { return remove(path); }, 16,
         FTW_DEPTH | FTW_PHYS);
    return 0;
}
