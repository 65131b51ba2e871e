// ziputil: pack, unpack, list and test zip archives that keep POSIX modes,
// symbolic links and Mac metadata.
//
// The routines print their own lines on standard output; the command adds,
// on failure, one line on standard error that names the path and the cause.
#include "fsutil.h"
#include "internal.h"
#include "ziputil.h"

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#ifndef ZIPUTIL_VERSION
#define ZIPUTIL_VERSION "dev"
#endif

static const char kUsage[] =
    "usage: ziputil [-q] pack [-0..-9] [--keep-times] SOURCE ARCHIVE.zip\n"
    "       ziputil [-q] unpack [--times] ARCHIVE.zip DEST\n"
    "       ziputil list ARCHIVE.zip\n"
    "       ziputil [-q] test ARCHIVE.zip\n"
    "       ziputil --help | --version\n"
    "\n"
    "  pack     pack a file, a link or a whole tree into a new archive\n"
    "  unpack   unpack an archive into DEST (made if missing)\n"
    "  list     each entry's mode, method, sizes, date and name; then the totals\n"
    "  test     read every entry and check its size and CRC; write nothing\n"
    "\n"
    "  -q            no progress lines (a failure still says why on stderr)\n"
    "  -j N          threads for pack and unpack (default: $ZIPUTIL_THREADS,\n"
    "                else one per core, at most 8); -j 1 for one\n"
    "  -0..-9        compression level (default 6)\n"
    "  --keep-times  give the archive the source's times\n"
    "  --times       give unpacked items their stored times, make the archive's\n"
    "                empty directories and apply their modes\n"
    "\n"
    "Exit status: 0 success, 1 failure, 2 wrong usage.\n";

static int usage(const char *complaint = nullptr, const std::string &about = "")
{
    if (complaint)
        fprintf(stderr, "ziputil: %s%s\n", complaint, about.c_str());
    fputs(kUsage, stderr);
    return 2;
}

// The command's one call: its failure, and -q.
static call_context call;

// Why the call failed, as it recorded it, or `otherwise` when it said nothing.
static std::string cause(const char *otherwise)
{
    std::string line = context_line(&call);
    return line.empty() ? otherwise : line;
}

static int fail(const std::string &line)
{
    fflush(stdout);
    fprintf(stderr, "ziputil: %s\n", line.c_str());
    return 1;
}

// The archive must open as a regular file before anything is made: a missing
// archive leaves no empty destination behind.
static bool archive_opens(const char *path)
{
    Fd fd(open(path, O_RDONLY | O_CLOEXEC));
    struct stat st;
    int err = fd.fd < 0 ? errno : fstat(fd.fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
    if (err)
        fail(std::string("cannot open ") + path + ": " + strerror(err));
    return err == 0;
}

// -q and -j, taken anywhere; true when `option` was one of them. `bad`
// is set to a usage error's status.
static bool common_option(int option, int &bad)
{
    if (option == 'q') {
        call.quiet = true;
        return true;
    }
    if (option != 'j')
        return false;
    char *end = nullptr;
    long n = strtol(optarg, &end, 10);
    if (!optarg[0] || *end || n < 1 || n > 64)
        bad = usage("-j takes a number of threads, 1 or more");
    else
        ZIP_THREADS = int(n);
    return true;
}

// What getopt found wrong with the option just read: "-x", or a missing number for -j.
static int option_error(int option, const char *command, char **argv)
{
    if (option == ':')
        return usage("-j takes a number of threads, 1 or more");
    std::string what = optopt ? std::string("-") + char(optopt) : std::string(argv[optind - 1]);
    return usage(command ? (std::string("unknown option for ") + command + ": ").c_str() : "unknown option: ", what);
}

static int unpack_command(int argc, char **argv)
{
    static const struct option options[] = {{"times", no_argument, nullptr, 't'},
                                            {"quiet", no_argument, nullptr, 'q'},
                                            {nullptr, 0, nullptr, 0}};
    bool times = false;
    int option, bad = 0;
    while ((option = getopt_long(argc, argv, ":qj:", options, nullptr)) != -1) {
        if (option == 't')
            times = true;
        else if (!common_option(option, bad))
            return option_error(option, "unpack", argv);
        if (bad)
            return bad;
    }
    if (argc - optind != 2 || argv[optind + 1][0] == '\0')
        return usage("unpack takes an archive and a destination");
    const char *archive = argv[optind];
    std::string dest = argv[optind + 1];
    if (dest.back() != '/')
        dest += '/';
    if (!archive_opens(archive))
        return 1;
    if (!decompress_path(archive, dest.c_str(), &call))
        return fail(std::string("cannot unpack ") + archive + ": " + cause("the archive is damaged"));
    if (times && !restore_times(archive, dest.c_str(), &call))
        return fail(std::string("cannot restore the times of ") + archive + ": " + cause("failed"));
    fflush(stdout);
    return 0;
}

// Whether unpack would refuse a link in the folder `entry_dir` (an entry
// name's folder, ending in "/"): an absolute target, or one whose ".."s climb
// above the destination, counted lexically from the link's own folder.
static bool unpack_refuses_link(const std::string &entry_dir, const std::string &target)
{
    if (target.empty() || target[0] == '/')
        return true;
    long depth = std::count(entry_dir.begin(), entry_dir.end(), '/');
    for (const std::string &part : ziputil::split_components(target)) {
        if (part == ".." && --depth < 0)
            return true;
        if (!part.empty() && part != "." && part != "..")
            depth++;
    }
    return false;
}

// nftw has no user pointer: the walk's state lives here for its duration.
static std::string walk_root;   // the source path, as given
static std::string walk_top;    // the archive's top component

static int warn_link(const char *path, const struct stat *st, int type, struct FTW *)
{
    if (type != FTW_SL && !S_ISLNK(st->st_mode))
        return 0;
    std::vector<char> target(size_t(st->st_size) + 2);
    ssize_t n = readlink(path, target.data(), target.size() - 1);
    if (n < 0)
        return 0;
    std::string to(target.data(), size_t(n));
    std::string name = walk_top + (path + walk_root.size());  // its entry name
    std::string dir = name.substr(0, name.find_last_of('/') + 1);
    if (unpack_refuses_link(dir, to))
        fprintf(stderr, "ziputil: warning: %s -> %s %s; unpack will refuse it\n", name.c_str(), to.c_str(),
                to[0] == '/' ? "is absolute" : "leads out of the unpacked tree");
    return 0;
}

static void warn_about_links(const char *source)
{
    walk_root = source;
    while (walk_root.size() > 1 && walk_root.back() == '/')
        walk_root.pop_back();
    size_t slash = walk_root.find_last_of('/');
    walk_top = slash == std::string::npos ? walk_root : walk_root.substr(slash + 1);
    nftw(walk_root.c_str(), warn_link, 32, FTW_PHYS);
}

static int pack_command(int argc, char **argv)
{
    static const struct option options[] = {{"keep-times", no_argument, nullptr, 'k'},
                                            {"quiet", no_argument, nullptr, 'q'},
                                            {nullptr, 0, nullptr, 0}};
    int level = -1;
    bool keep_times = false;
    int option, bad = 0;
    while ((option = getopt_long(argc, argv, ":qj:0123456789", options, nullptr)) != -1) {
        if (option == 'k')
            keep_times = true;
        else if (option >= '0' && option <= '9')
            level = option - '0';
        else if (!common_option(option, bad))
            return option_error(option, "pack", argv);
        if (bad)
            return bad;
    }
    if (argc - optind != 2)
        return usage("pack takes a source and an archive");
    const char *source = argv[optind], *archive = argv[optind + 1];
    struct stat st;
    if (lstat(source, &st) != 0)
        return fail(std::string("cannot open ") + source + ": " + strerror(errno));
#ifdef __GLIBC__
    // Every entry opens and closes a deflate stream (about 270 KB): without
    // this glibc gives the memory back to the kernel after each entry, eight
    // brk calls per file.
    mallopt(M_TRIM_THRESHOLD, 8 << 20);
#endif
    int ok = keep_times ? compress_path_preserving_time(source, archive, level, &call)
                        : compress_path(source, archive, level, &call);
    // After packing: the walk reads the source's folders, and --keep-times
    // gives the archive their times as they were.
    warn_about_links(source);
    if (!ok)
        return fail(std::string("cannot pack ") + source + " into " + archive + ": " + cause("failed"));
    fflush(stdout);
    return 0;
}

// The options of a command that has none of its own.
static int plain_options(int argc, char **argv, const char *command)
{
    static const struct option options[] = {{"quiet", no_argument, nullptr, 'q'}, {nullptr, 0, nullptr, 0}};
    int option, bad = 0;
    while ((option = getopt_long(argc, argv, ":qj:", options, nullptr)) != -1) {
        if (!common_option(option, bad))
            return option_error(option, command, argv);
        if (bad)
            return bad;
    }
    return 0;
}

static int list_command(int argc, char **argv)
{
    if (int bad = plain_options(argc, argv, "list"))
        return bad;
    if (argc - optind != 1)
        return usage("list takes one archive");
    const char *archive = argv[optind];
    if (!archive_opens(archive))
        return 1;
    if (!list_archive(archive, &call))
        return fail(std::string("cannot read ") + archive + ": " + cause("the archive is damaged"));
    return 0;
}

static int test_command(int argc, char **argv)
{
    if (int bad = plain_options(argc, argv, "test"))
        return bad;
    if (argc - optind != 1)
        return usage("test takes one archive");
    const char *archive = argv[optind];
    if (!archive_opens(archive))
        return 1;
    unsigned long long entries = 0, bytes = 0;
    const bool quiet = call.quiet;
    if (!test_archive(archive, &entries, &bytes, &call))
        return fail(std::string(archive) + " is damaged: " + cause("the archive is damaged"));
    if (!quiet)
        printf("No errors in %s: %llu %s, %llu bytes\n", archive, entries, entries == 1 ? "entry" : "entries", bytes);
    return 0;
}

int main(int argc, char **argv)
{
    static const struct option options[] = {{"help", no_argument, nullptr, 'h'},
                                            {"version", no_argument, nullptr, 'V'},
                                            {"quiet", no_argument, nullptr, 'q'},
                                            {nullptr, 0, nullptr, 0}};
    opterr = 0;  // our own lines, with the usage
    int option, bad = 0;
    // "+": the options before the command; the command's own come after it.
    while ((option = getopt_long(argc, argv, "+:hqj:", options, nullptr)) != -1) {
        if (option == 'h') {
            fputs(kUsage, stdout);
            return 0;
        }
        if (option == 'V') {
            printf("ziputil %s (zlib %s)\n", ZIPUTIL_VERSION, zlibVersion());
            return 0;
        }
        if (!common_option(option, bad))
            return option_error(option, nullptr, argv);
        if (bad)
            return bad;
    }
    if (optind >= argc)
        return usage();
    std::string command = argv[optind];
    // The command's arguments, its name first as getopt wants it.
    int rest = argc - optind;
    char **args = argv + optind;
    optind = 1;
    if (command == "unpack")
        return unpack_command(rest, args);
    if (command == "pack")
        return pack_command(rest, args);
    if (command == "list")
        return list_command(rest, args);
    if (command == "test")
        return test_command(rest, args);
    return usage("unknown command: ", command);
}
