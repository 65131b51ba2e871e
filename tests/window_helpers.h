// Real windows for tests: a private Xvfb, the launcher in a laid-out world,
// screenshots read back as pixels, keys sent with xdotool.
#pragma once

#include "helpers.h"

#include <signal.h>

#include <chrono>
#include <thread>

namespace testutil {

struct Image {
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;
    const unsigned char *at(int x, int y) const { return &rgb[size_t(y * width + x) * 3]; }
};

// Reads any picture ImageMagick understands, through a binary PPM.
inline Image read_image(const std::string &path)
{
    Image img;
    std::string ppm = path + ".ppm";
    if (run("convert " + quote(path) + " -depth 8 ppm:" + quote(ppm)) != 0)
        return img;
    std::string data = read_file(ppm);
    unlink(ppm.c_str());
    int maxval = 0, consumed = 0;
    if (sscanf(data.c_str(), "P6 %d %d %d%n", &img.width, &img.height, &maxval, &consumed) != 3)
        return img;
    size_t start = size_t(consumed) + 1;
    img.rgb.assign(data.begin() + long(start), data.end());
    if (img.rgb.size() < size_t(img.width * img.height * 3))
        img = Image();
    return img;
}

inline int count_white(const Image &img, int x0, int y0, int x1, int y1)
{
    int n = 0;
    for (int y = y0; y < y1 && y < img.height; y++)
        for (int x = x0; x < x1 && x < img.width; x++) {
            const unsigned char *p = img.at(x, y);
            n += p[0] == 255 && p[1] == 255 && p[2] == 255;
        }
    return n;
}

// Pixels of the band that are not the tile at half brightness, 2x2 per texel.
inline int background_mismatches(const Image &shot, const Image &tile, int y0, int y1)
{
    int bad = 0;
    for (int y = y0; y < y1 && y < shot.height; y++)
        for (int x = 0; x < shot.width; x++) {
            const unsigned char *p = shot.at(x, y);
            const unsigned char *t = tile.at((x / 2) % tile.width, (y / 2) % tile.height);
            for (int c = 0; c < 3; c++)
                if (std::abs(int(p[c]) - int(t[c]) * 128 / 255) > 1) {
                    bad++;
                    break;
                }
        }
    return bad;
}

struct Xvfb {
    pid_t pid = -1;
    std::string display;

    bool start()
    {
        int fds[2];
        if (pipe(fds) != 0)
            return false;
        pid = fork();
        if (pid == 0) {
            close(fds[0]);
            int devnull = open("/dev/null", O_RDWR);
            dup2(devnull, 1);
            dup2(devnull, 2);
            std::string fd = std::to_string(fds[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "800x600x24", "-nolisten", "tcp",
                   (char *)nullptr);
            _exit(127);
        }
        close(fds[1]);
        std::string number;
        char c;
        while (read(fds[0], &c, 1) == 1 && c != '\n')
            number += c;
        close(fds[0]);
        if (number.empty())
            return false;
        display = ":" + number;
        setenv("DISPLAY", display.c_str(), 1);
        return true;
    }

    void stop()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }
};

// The launcher's folder beside a game bundle whose executable records, in
// "game-ran.txt" next to the bundle, which version of it ran.
inline void make_bundle(const std::string &app, int version)
{
    run("mkdir -p " + quote(app + "/Contents/MacOS") + " " + quote(app + "/Contents/Resources"));
    write_file(app + "/Contents/MacOS/Vantorique",
               "#!/bin/sh\n"
               "here=\"$(cd \"$(dirname \"$0\")/../../..\" && pwd)\"\n"
               "echo \"Vantorique " + std::to_string(version) + "\" >> \"$here/game-ran.txt\"\n",
               0755);
    write_file(app + "/Contents/Resources/level.dat", "level data of version " + std::to_string(version) + "\n");
}

inline void make_world(const std::string &root, int installed_version, bool with_game, bool with_background = true)
{
    run("mkdir -p " + quote(root + "/launcher"));
    std::string assets = ASSETS_DIR;
    run("cp " + quote(assets + "/flashpunk.ttf") + " " + quote(root + "/launcher/"));
    if (with_background)
        run("cp " + quote(assets + "/background.png") + " " + quote(root + "/launcher/"));
    if (installed_version > 0)
        write_file(root + "/launcher/version.txt", std::to_string(installed_version));
    if (with_game)
        make_bundle(root + "/Vantorique.app", installed_version);
}

struct LauncherProcess {
    pid_t pid = -1;
    int status = -1;
    std::string window;

    void start(const std::string &dir, const std::string &host, int port)
    {
        // Everything the child needs is made before the fork: a child of a
        // threaded process must not allocate (another thread may hold the lock).
        std::string p = std::to_string(port);
        std::vector<std::string> env_text;
        for (char **e = environ; *e; e++)
            if (strncmp(*e, "ASAN_OPTIONS=", 13) != 0)
                env_text.push_back(*e);
        // The GL stack's own allocations outlive the process: not ours to report.
        env_text.push_back("ASAN_OPTIONS=detect_leaks=0");
        std::vector<char *> envp;
        for (std::string &e : env_text)
            envp.push_back(&e[0]);
        envp.push_back(nullptr);
        std::string log = dir + "/launcher.log";
        const char *argv[] = {LAUNCHER_HARNESS, host.c_str(), p.c_str(), nullptr};
        pid = fork();
        if (pid == 0) {
            if (chdir(dir.c_str()) != 0)
                _exit(126);
            int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
            dup2(fd, 2);
            execve(LAUNCHER_HARNESS, const_cast<char **>(argv), envp.data());
            _exit(127);
        }
    }

    // Waits for the process to end; false on time-out (then it is killed).
    bool wait_exit(double seconds)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < end) {
            int st;
            if (waitpid(pid, &st, WNOHANG) == pid) {
                status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
                pid = -1;
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
        return false;
    }

    bool find_window(double seconds)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < end) {
            FILE *p = popen("xdotool search --name '^Vantorique Updater$' 2>/dev/null", "r");
            char line[64] = "";
            if (p) {
                if (!fgets(line, sizeof line, p))
                    line[0] = '\0';
                pclose(p);
            }
            window = line;
            while (!window.empty() && (window.back() == '\n' || window.back() == ' '))
                window.pop_back();
            if (!window.empty())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    Image screenshot(const std::string &path)
    {
        if (run("import -window " + window + " " + quote(path) + " 2>/dev/null") != 0)
            return Image();
        return read_image(path);
    }

    // Screenshots until `seen` holds; the last one is kept at `path`.
    bool wait_for(const std::string &path, double seconds, const std::function<bool(const Image &)> &seen)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < end) {
            Image img = screenshot(path);
            if (img.width == 512 && img.height == 384 && seen(img))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
        }
        return false;
    }

    int key(const std::string &keys)
    {
        return run("xdotool windowfocus --sync " + window + " key --delay 80 " + keys);
    }

    ~LauncherProcess()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

// White pixels in a band of the 256x192 view (each view unit is 2x2 pixels):
// by default one text row, 8 units high, from view_y down.
inline int white_in_row(const Image &img, int view_y, int view_x0 = 0, int view_x1 = 256, int view_rows = 8)
{
    return count_white(img, view_x0 * 2, view_y * 2, view_x1 * 2, (view_y + view_rows) * 2);
}

}  // namespace testutil
