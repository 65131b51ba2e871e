// ziputil: pack, unpack and list zip archives that keep POSIX modes,
// symbolic links and Mac metadata.
#include "internal.h"
#include "ziputil.h"

#include <stdio.h>
#include <string.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <unzip.h>

#include <string>

static const char kUsage[] =
    "usage: ziputil unpack ARCHIVE.zip DEST\n"
    "       ziputil pack [-0..-9] [--keep-times] SOURCE ARCHIVE.zip\n"
    "       ziputil list ARCHIVE.zip\n";

static int usage()
{
    fputs(kUsage, stderr);
    return 2;
}

static int unpack_command(int argc, char **argv)
{
    if (argc != 2)
        return usage();
    std::string dest = argv[1];
    if (dest.empty())
        return usage();
    if (dest.back() != '/')
        dest += '/';
    int ok = decompress_path(argv[0], dest.c_str());
    fflush(stdout);
    if (!ok)
        fputs("ziputil: unpack failed\n", stderr);
    return ok ? 0 : 1;
}

static int pack_command(int argc, char **argv)
{
    int level = -1;
    bool keep_times = false;
    int i = 0;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] != '\0'; i++) {
        if (strcmp(argv[i], "--keep-times") == 0)
            keep_times = true;
        else if (argv[i][1] >= '0' && argv[i][1] <= '9' && argv[i][2] == '\0')
            level = argv[i][1] - '0';
        else if (strcmp(argv[i], "--") == 0) {
            i++;
            break;
        } else
            return usage();
    }
    if (argc - i != 2)
        return usage();
#ifdef __GLIBC__
    // Every entry opens and closes a deflate stream (about 270 KB): without
    // this glibc gives the memory back to the kernel after each entry, eight
    // brk calls per file.
    mallopt(M_TRIM_THRESHOLD, 8 << 20);
#endif
    int ok = keep_times ? compress_path_preserving_time(argv[i], argv[i + 1], level)
                        : compress_path(argv[i], argv[i + 1], level);
    fflush(stdout);
    if (!ok)
        fputs("ziputil: pack failed\n", stderr);
    return ok ? 0 : 1;
}

static int list_command(int argc, char **argv)
{
    if (argc != 1)
        return usage();
    ziputil::ArchivePtr zip(unzOpen(argv[0]));
    if (!zip) {
        fprintf(stderr, "ziputil: cannot open %s as a zip archive\n", argv[0]);
        return 1;
    }
    int rc = unzGoToFirstFile(zip.get());
    printf("%-6s %-7s %12s %12s  %s\n", "mode", "method", "compressed", "size", "name");
    while (rc == UNZ_OK) {
        unz_file_info info;
        char name[ZIPUTIL_PATH_MAX];
        if (unzGetCurrentFileInfo(zip.get(), &info, name, sizeof name, nullptr, 0, nullptr, 0) != UNZ_OK)
            break;
        const char *method = info.compression_method == 0 ? "stored" : info.compression_method == 8 ? "deflate" : "other";
        printf("%06lo %-7s %12lu %12lu  ", (info.external_fa >> 16) & 0xffff, method, info.compressed_size,
               info.uncompressed_size);
        fputs(name, stdout);
        if (info.size_filename >= sizeof name)
            fputs("...", stdout);
        fputc('\n', stdout);
        rc = unzGoToNextFile(zip.get());
    }
    if (rc != UNZ_END_OF_LIST_OF_FILE) {
        fprintf(stderr, "ziputil: %s is damaged\n", argv[0]);
        return 1;
    }
    return 0;
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return usage();
    std::string command = argv[1];
    if (command == "unpack")
        return unpack_command(argc - 2, argv + 2);
    if (command == "pack")
        return pack_command(argc - 2, argv + 2);
    if (command == "list")
        return list_command(argc - 2, argv + 2);
    return usage();
}
