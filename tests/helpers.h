// Small helpers for tests that work on real files in scratch directories.
#pragma once

#include <gtest/gtest.h>

#include <acl/libacl.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <grp.h>
#include <sys/acl.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace testutil {

inline std::string make_temp_dir()
{
    char templ[] = "/tmp/vantorique-test.XXXXXX";
    char *dir = mkdtemp(templ);
    EXPECT_NE(dir, nullptr);
    return dir ? dir : "";
}

inline int run(const std::string &command)
{
    int status = system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string quote(const std::string &s)
{
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// A scratch directory removed with everything in it at the end of a test.
struct ScratchDir {
    std::string path = make_temp_dir();
    ~ScratchDir()
    {
        if (!path.empty())
            run("chmod -R u+rwx " + quote(path) + " 2>/dev/null; rm -rf " + quote(path));
    }
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

inline void write_file(const std::string &path, const std::string &data, mode_t mode = 0644)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, data.data(), data.size()), ssize_t(data.size()));
    close(fd);
    chmod(path.c_str(), mode);
}

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

inline mode_t mode_of(const std::string &path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return 0;
    return st.st_mode;
}

inline std::string link_target(const std::string &path)
{
    char buf[4096];
    ssize_t n = readlink(path.c_str(), buf, sizeof buf);
    return n < 0 ? "" : std::string(buf, size_t(n));
}

inline std::string get_xattr(const std::string &path, const std::string &name)
{
    char buf[65536];
    ssize_t n = lgetxattr(path.c_str(), name.c_str(), buf, sizeof buf);
    return n < 0 ? "<missing>" : std::string(buf, size_t(n));
}

// The file's access ACL as text ("" when it has none to read).
inline std::string acl_text(const std::string &path)
{
    acl_t acl = acl_get_file(path.c_str(), ACL_TYPE_ACCESS);
    if (!acl)
        return "";
    char *text = acl_to_text(acl, nullptr);
    std::string out = text ? text : "";
    acl_free(text);
    acl_free(acl);
    return out;
}

inline bool xattrs_supported(const std::string &dir)
{
    std::string probe = dir + "/.xattr-probe";
    write_file(probe, "");
    bool ok = setxattr(probe.c_str(), "user.probe", "1", 1, 0) == 0;
    unlink(probe.c_str());
    return ok;
}

// Runs `body` in a child process, as user nobody when we are root (root
// passes every permission check), with its standard output captured.
// Returns the child's exit status; `output` gets what it printed. Only for
// tests that run no other thread: a forked child of a threaded process can
// deadlock on a lock another thread held at the fork (the sanitizer allocator's).
inline int run_unprivileged(const std::function<int()> &body, std::string *output = nullptr)
{
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0)
        return -1;
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        close(pipe_fds[0]);
        dup2(pipe_fds[1], STDOUT_FILENO);
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                               setresuid(65534, 65534, 65534) != 0))
            _exit(99);
        int rc = body();
        fflush(stdout);
        _exit(rc);
    }
    close(pipe_fds[1]);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(pipe_fds[0], buf, sizeof buf)) > 0)
        out.append(buf, size_t(n));
    close(pipe_fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (output)
        *output = out;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string shared_testdata()
{
    std::string dir = SHARED_TESTDATA;
    struct stat st;
    return stat(dir.c_str(), &st) == 0 ? dir : "";
}

#define REQUIRE_SHARED_TESTDATA(dir)                                                        \
    std::string dir = testutil::shared_testdata();                                          \
    if (dir.empty())                                                                        \
        GTEST_SKIP() << "../shared/testdata is not beside this checkout; sample tests skipped"

}  // namespace testutil
