// Running a piece of a test without root's privileges, for tests that need a
// refused permission. (The ziputil tests use cheaper faults instead.)
#pragma once

#include <grp.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace testutil {

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

}  // namespace testutil
