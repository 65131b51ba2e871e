// Small helpers for tests that work on real files in scratch directories.
#pragma once

#include <gtest/gtest.h>

#if __has_include("ziputil.h")
#include "ziputil.h"
#define TESTUTIL_WITH_ZIPUTIL
#endif

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace testutil {

// The exit status of a shell command.
inline int run(const std::string &command) { return WEXITSTATUS(system(command.c_str())); }

inline std::string quote(const std::string &s)
{
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Where scratch directories go: $TEST_SCRATCH (to run the tests on another
// file system, a tmpfs say), else /tmp.
inline std::string scratch_base()
{
    const char *base = getenv("TEST_SCRATCH");
    return base && base[0] ? base : "/tmp";
}

// A scratch directory removed with everything in it at the end.
struct ScratchDir {
    std::string path = mkdtemp((scratch_base() + "/vantorique-test.XXXXXX").data());
    ~ScratchDir() { run("rm -rf " + quote(path)); }
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

// This process's own temporary directory: whatever ziputil leaves there is
// a leftover of this test alone.
inline ScratchDir kTmpdir;
inline const bool kTmpdirSet = setenv("TMPDIR", kTmpdir.path.c_str(), 1) == 0;

inline void write_file(const std::string &path, const std::string &data, mode_t mode = 0644)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
    chmod(path.c_str(), mode);
}

inline std::string read_file(const std::string &path)
{
    std::stringstream ss;
    ss << std::ifstream(path, std::ios::binary).rdbuf();
    return ss.str();
}

inline mode_t mode_of(const std::string &path)
{
    struct stat st = {};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

inline bool exists(const std::string &path) { return mode_of(path) != 0; }

inline std::string get_xattr(const std::string &path, const std::string &name)
{
    char buf[65536];
    ssize_t n = lgetxattr(path.c_str(), name.c_str(), buf, sizeof buf);
    return n < 0 ? "<missing>" : std::string(buf, size_t(n));
}

// A ziputil call with its standard output captured into `out`.
template <class Call>
int captured(Call call, std::string *out = nullptr)
{
    testing::internal::CaptureStdout();
    int rc = call();
    fflush(stdout);
    std::string text = testing::internal::GetCapturedStdout();
    if (out)
        *out = text;
    return rc;
}

inline bool xattrs_supported(const std::string &dir)
{
    return setxattr(dir.c_str(), "user.probe", "1", 1, 0) == 0 && removexattr(dir.c_str(), "user.probe") == 0;
}

// The output of a shell command.
inline std::string output_of(const std::string &command)
{
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    for (int c; p && (c = fgetc(p)) != EOF;)
        out += char(c);
    return p && pclose(p) >= 0 ? out : "<popen failed>";
}

#ifdef TESTS_DIR
// Writes `zip` with Python's zipfile through tests/make_zip.py: `body` calls
// add(name, data, mode, method) and may define fix(b) to edit the finished
// bytes, where put() patches a field of an entry's local and central headers.
// `arg` is sys.argv[2] there.
inline void python_zip(const std::string &zip, const std::string &body, const std::string &arg = "")
{
    ASSERT_EQ(run("python3 " + quote(TESTS_DIR "/make_zip.py") + " " + quote(zip) + " " + quote(body) + " " + quote(arg)), 0)
        << "make_zip.py could not build " << zip << " from:\n" << body;
}
#endif

#ifdef TESTUTIL_WITH_ZIPUTIL
// The context of the last ziputil call a test made through these helpers:
// why it failed, its line and its progress.
struct LastCall {
    progress_sink progress;
    call_context ctx;
    LastCall() { ctx.progress = &progress; }
};
inline LastCall last;
inline int last_failure() { return context_failure(&last.ctx); }
inline std::string last_line() { return context_line(&last.ctx); }

inline int unpack(const std::string &archive, const std::string &dest, std::string *out = nullptr)
{
    return captured([&] { return decompress_path(archive.c_str(), dest.c_str(), &last.ctx); }, out);
}

inline int pack(const std::string &from, const std::string &zip, int level = 6, std::string *out = nullptr)
{
    return captured([&] { return compress_path(from.c_str(), zip.c_str(), level, &last.ctx); }, out);
}

// A failure kind by its name, for readable failure messages.
inline std::string kind_name(int kind) { return failure_name(kind); }

// ZIP_THREADS for one scope.
struct Threads {
    int saved = ZIP_THREADS;
    explicit Threads(int n) { ZIP_THREADS = n; }
    ~Threads() { ZIP_THREADS = saved; }
};
#endif

// Everything under `dir` as "path mode size target" lines, then a checksum
// of each regular file's content. A directory's size is left out: it says
// nothing of what is inside and tmpfs grows it with every entry made there.
inline std::string snapshot(const std::string &dir, const std::string &find_tests = "")
{
    return output_of("cd " + quote(dir) + " && find . " + find_tests +
                     " \\( -type d -printf '%p %M - %l\\n' -o -printf '%p %M %s %l\\n' \\) | sort && find . " +
                     find_tests + " -type f -exec cksum {} + | sort");
}

#define REQUIRE_SHARED_TESTDATA(dir)   \
    std::string dir = SHARED_TESTDATA; \
    if (!exists(dir))                  \
        GTEST_SKIP() << "../shared/testdata is not beside this checkout; sample tests skipped"

}  // namespace testutil

