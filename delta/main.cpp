// vantorique-delta: makes, applies and describes deltas between two trees.
#include "delta.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

int usage()
{
    fprintf(stderr,
            "usage: vantorique-delta make OLD_TREE NEW_TREE OUT.delta [--level N] [--from M] [--to N]\n"
            "       vantorique-delta apply INSTALLED_TREE DELTA STAGED_TREE\n"
            "       vantorique-delta info DELTA\n");
    return 2;
}

int failed()
{
    fprintf(stderr, "vantorique-delta: %s (%s)\n", delta_last_error().c_str(), delta_failure_name(DELTA_FAILURE));
    return 1;
}

bool number(const char *text, long long low, long long high, long long &out)
{
    char *end = nullptr;
    errno = 0;
    out = strtoll(text, &end, 10);
    return *text && !*end && errno == 0 && out >= low && out <= high;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return usage();
    std::string command = argv[1];
    if (command == "make" && argc >= 5) {
        long long level = 19, from = 0, to = 0;
        for (int i = 5; i < argc; i += 2) {
            long long *slot = strcmp(argv[i], "--level") == 0 ? &level
                              : strcmp(argv[i], "--from") == 0 ? &from
                              : strcmp(argv[i], "--to") == 0   ? &to
                                                               : nullptr;
            long long high = slot == &level ? 22 : 0xFFFFFFFFll;
            if (!slot || i + 1 >= argc || !number(argv[i + 1], slot == &level ? 1 : 0, high, *slot))
                return usage();
        }
        if (!delta_make(argv[2], argv[3], argv[4], int(level), uint32_t(from), uint32_t(to)))
            return failed();
        return 0;
    }
    if (command == "apply" && argc == 5)
        return delta_apply(argv[2], argv[3], argv[4]) ? 0 : failed();
    if (command == "info" && argc == 3) {
        delta_info info;
        if (!delta_read_info(argv[2], &info))
            return failed();
        printf("from version %u to version %u\n", info.from_version, info.to_version);
        printf("%llu folders, %llu files, %llu links\n", (unsigned long long)info.directories,
               (unsigned long long)info.files, (unsigned long long)info.links);
        printf("files: %llu unchanged or moved, %llu patched, %llu sent whole\n", (unsigned long long)info.copied,
               (unsigned long long)info.patched, (unsigned long long)info.whole);
        printf("rebuilds %llu bytes from %llu bytes of compressed data\n", (unsigned long long)info.tree_bytes,
               (unsigned long long)info.payload_bytes);
        return 0;
    }
    return usage();
}
