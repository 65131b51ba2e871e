// The launcher names every file of its own relative to its working
// directory, so it starts by making its own folder that directory: a
// terminal in another folder, a desktop entry or the Finder (which starts an
// application in "/") then all find the same files.
#include "home.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#ifdef __APPLE__
#include <mach-o/dyld.h>
#endif

#include <string>

std::string executablePath()
{
#ifdef __APPLE__
    char raw[PATH_MAX];
    uint32_t size = sizeof raw;
    char real[PATH_MAX];
    if (_NSGetExecutablePath(raw, &size) != 0 || !realpath(raw, real))
        return "";
    return real;
#else
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
    if (n <= 0 || size_t(n) >= sizeof buffer)
        return "";  // none, or cut short: no folder is better than a wrong one
    buffer[n] = '\0';
    return buffer;
#endif
}

namespace {

bool endsWith(const std::string &text, const std::string &tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

std::string releaseFolderOf(const std::string &executable)
{
    size_t slash = executable.find_last_of('/');
    if (slash == std::string::npos)
        return "";
    std::string folder = executable.substr(0, slash);
    // Inside an application bundle ("Launcher.app/Contents/MacOS/"), the
    // launcher's folder is the one that holds the bundle.
    if (endsWith(folder, ".app/Contents/MacOS")) {
        folder.resize(folder.size() - strlen("/Contents/MacOS"));
        folder = folder.substr(0, folder.find_last_of('/'));
    }
    return folder.empty() ? "/" : folder;
}

int releaseOf(const std::string &executable)
{
    const std::string folder = releaseFolderOf(executable);
    const size_t slash = folder.find_last_of('/');
    if (slash == std::string::npos || slash < 4 || folder.compare(slash - 4, 5, "/app/") != 0)
        return 0;
    const std::string digits = folder.substr(slash + 1);
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    return atoi(digits.c_str());
}

std::string launcherFolderOf(const std::string &executable)
{
    const std::string folder = releaseFolderOf(executable);
    // A release taken by the launcher runs from "app/N/" in its folder.
    if (releaseOf(executable) > 0) {
        const std::string up = folder.substr(0, folder.find_last_of('/') - 4);
        return up.empty() ? "/" : up;
    }
    return folder;
}

bool enterLauncherFolder()
{
    const std::string folder = launcherFolderOf(executablePath());
    if (folder.empty()) {
        fputs("Cannot find the launcher's own folder; staying in the working directory\n", stderr);
        return false;
    }
    if (chdir(folder.c_str()) != 0) {
        fprintf(stderr, "Cannot enter the launcher's folder %s: %s; staying in the working directory\n",
                folder.c_str(), strerror(errno));
        return false;
    }
    return true;
}
