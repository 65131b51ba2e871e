// ziputil: pack, unpack, list and test zip archives that keep POSIX modes,
// symbolic links and Mac metadata.
//
// The routines print their own lines on standard output; the command adds,
// on failure, one line on standard error that names the path and the cause.
#include "fsutil.h"
#include "internal.h"
#include "unpack.h"
#include "ziputil.h"

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
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

// The last line ziputil's routines said, or `otherwise` when they said none.
static std::string cause(const char *otherwise)
{
    std::string line = zip_last_line();
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

static int unpack_command(int argc, char **argv)
{
    bool times = false;
    int i = 0;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] != '\0'; i++) {
        if (strcmp(argv[i], "--times") == 0)
            times = true;
        else if (strcmp(argv[i], "--") == 0) {
            i++;
            break;
        } else
            return usage("unknown option for unpack: ", argv[i]);
    }
    if (argc - i != 2 || argv[i + 1][0] == '\0')
        return usage("unpack takes an archive and a destination");
    const char *archive = argv[i];
    std::string dest = argv[i + 1];
    if (dest.back() != '/')
        dest += '/';
    if (!archive_opens(archive))
        return 1;
    if (!decompress_path(archive, dest.c_str()))
        return fail(std::string("cannot unpack ") + archive + ": " + cause("the archive is damaged"));
    if (times && !restore_times(archive, dest.c_str()))
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
            return usage("unknown option for pack: ", argv[i]);
    }
    if (argc - i != 2)
        return usage("pack takes a source and an archive");
    const char *source = argv[i], *archive = argv[i + 1];
    struct stat st;
    if (lstat(source, &st) != 0)
        return fail(std::string("cannot open ") + source + ": " + strerror(errno));
#ifdef __GLIBC__
    // Every entry opens and closes a deflate stream (about 270 KB): without
    // this glibc gives the memory back to the kernel after each entry, eight
    // brk calls per file.
    mallopt(M_TRIM_THRESHOLD, 8 << 20);
#endif
    int ok = keep_times ? compress_path_preserving_time(source, archive, level)
                        : compress_path(source, archive, level);
    // After packing: the walk reads the source's folders, and --keep-times
    // gives the archive their times as they were.
    warn_about_links(source);
    if (!ok)
        return fail(std::string("cannot pack ") + source + " into " + archive + ": " + cause("failed"));
    fflush(stdout);
    return 0;
}

static int list_command(int argc, char **argv)
{
    if (argc != 1)
        return usage("list takes one archive");
    if (!archive_opens(argv[0]))
        return 1;
    if (!list_archive(argv[0]))
        return fail(std::string("cannot read ") + argv[0] + ": " + cause("the archive is damaged"));
    return 0;
}

static int test_command(int argc, char **argv)
{
    if (argc != 1)
        return usage("test takes one archive");
    if (!archive_opens(argv[0]))
        return 1;
    unsigned long long entries = 0, bytes = 0;
    if (!test_archive(argv[0], &entries, &bytes))
        return fail(std::string(argv[0]) + " is damaged: " + cause("the archive is damaged"));
    if (!ZIP_QUIET)
        printf("No errors in %s: %llu %s, %llu bytes\n", argv[0], entries, entries == 1 ? "entry" : "entries",
               bytes);
    return 0;
}

// "-j N" or "-jN": the threads of pack and unpack. `at` is the option's
// index; it moves past the number. 0 for wrong usage.
static int take_threads(char **argv, int argc, int &at)
{
    const char *text = argv[at][2] ? argv[at] + 2 : at + 1 < argc ? argv[++at] : "";
    char *end = nullptr;
    long n = strtol(text, &end, 10);
    if (!text[0] || *end || n < 1 || n > 64)
        return 0;
    ZIP_THREADS = int(n);
    return 1;
}

int main(int argc, char **argv)
{
    int at = 1;
    for (; at < argc && argv[at][0] == '-'; at++) {
        std::string option = argv[at];
        if (option == "-h" || option == "--help") {
            fputs(kUsage, stdout);
            return 0;
        }
        if (option == "--version") {
            printf("ziputil %s (zlib %s)\n", ZIPUTIL_VERSION, zlibVersion());
            return 0;
        }
        if (option == "-q" || option == "--quiet")
            ZIP_QUIET = true;
        else if (option.compare(0, 2, "-j") == 0) {
            if (!take_threads(argv, argc, at))
                return usage("-j takes a number of threads, 1 or more");
        } else
            return usage("unknown option: ", option);
    }
    if (at >= argc)
        return usage();
    std::string command = argv[at];
    int rest = argc - at - 1;
    char **args = argv + at + 1;
    // -q and -j may also follow the command.
    std::vector<char *> kept;
    for (int i = 0; i < rest; i++) {
        if (strcmp(args[i], "-q") == 0 || strcmp(args[i], "--quiet") == 0)
            ZIP_QUIET = true;
        else if (strncmp(args[i], "-j", 2) == 0) {
            if (!take_threads(args, rest, i))
                return usage("-j takes a number of threads, 1 or more");
        } else
            kept.push_back(args[i]);
    }
    kept.push_back(nullptr);
    rest = int(kept.size()) - 1;
    args = kept.data();
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
