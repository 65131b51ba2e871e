// Whole roads of the launcher, as a player meets them: a real nginx on
// loopback serving what scripts/publish wrote, the launcher in a real window
// under Xvfb (screenshots read as pixels), keys from xdotool. Each test gets
// a fresh world.
#include "window_helpers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <fstream>

using namespace testutil;

namespace {

Xvfb xvfb;

int free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(fd, (sockaddr *)&addr, sizeof addr);
    getsockname(fd, (sockaddr *)&addr, &len);
    close(fd);
    return ntohs(addr.sin_port);
}

std::string shell_output(const std::string &command)
{
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    if (!p)
        return out;
    char buf[256];
    while (fgets(buf, sizeof buf, p))
        out += buf;
    pclose(p);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
        out.pop_back();
    return out;
}

class Road : public testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(xvfb.start()) << "Xvfb could not start"; }
    static void TearDownTestSuite() { xvfb.stop(); }

    void SetUp() override
    {
        chmod(dir.path.c_str(), 0755);  // nginx's workers read the served files
        port = free_port();
        tile = read_image(std::string(ASSETS_DIR) + "/background.png");
        ASSERT_EQ(tile.width, 32);
    }
    void TearDown() override { stop_server(); }

    // Publishes the studio's bundle as version 2 with scripts/publish, as a studio would.
    void publish(const std::string &changelog)
    {
        write_file(dir / "studio/changelog.txt", changelog);
        ASSERT_EQ(run("ZIPUTIL=" + quote(ZIPUTIL_BIN) + " " + quote(SCRIPTS_DIR "/publish") + " " +
                      quote(dir / "studio/Vantorique.app") + " 2 " + quote(dir / "studio/changelog.txt") + " " +
                      quote(dir / "server") + " >/dev/null"),
                  0);
    }

    void publish_version_2()
    {
        make_bundle(dir / "studio/Vantorique.app", 2);
        publish("Version 2:\n- a second level\n");
    }

    void start_server(int package_rate = 0, int manifest_rate = 0)
    {
        nginx_pid = shell_output("bash -c " + quote("source " SCRIPTS_DIR "/lib/world.sh && start_nginx " +
                                                    quote(dir.path) + " " + quote(dir / "server") + " " +
                                                    std::to_string(port) + " " + std::to_string(manifest_rate) +
                                                    " " + std::to_string(package_rate)));
        ASSERT_FALSE(nginx_pid.empty());
    }

    void stop_server()
    {
        if (!nginx_pid.empty()) {
            run("kill " + nginx_pid + " 2>/dev/null");
            for (int i = 0; i < 50 && run("kill -0 " + nginx_pid + " 2>/dev/null") == 0; i++)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            nginx_pid.clear();
        }
    }

    void start_launcher() { launcher.start(dir / "launcher", "127.0.0.1", port); ASSERT_TRUE(launcher.find_window(10)); }

    bool see(const std::string &name, const std::function<bool(const Image &)> &seen, double seconds = 10)
    {
        return launcher.wait_for(dir / (name + ".png"), seconds, [&](const Image &img) {
            shot = img;
            return seen(img);
        });
    }

    static bool offer(const Image &img) { return white_in_row(img, 64, 100, 240) > 50; }
    static bool failed(const Image &img)
    {
        return white_in_row(img, 32, 32, 80) > 10 && white_in_row(img, 48, 32, 100) > 10 &&
               white_in_row(img, 64, 0, 256) == 0;
    }
    void expect_tiled_below(int view_y) { EXPECT_EQ(background_mismatches(shot, tile, view_y * 2, 384), 0); }

    std::string game_ran() { return exists(dir / "game-ran.txt") ? read_file(dir / "game-ran.txt") : "none"; }

    ScratchDir dir;
    int port = 0;
    std::string nginx_pid;
    LauncherProcess launcher;
    Image tile, shot;
};

}  // namespace

TEST_F(Road, UpdateNowInstallsAndStartsVersion2)
{
    make_world(dir.path, 1, true);
    publish_version_2();
    // Past the grave accent the manifest is ignored: 3000 bytes of it, served
    // at 3000 a second, keep the check under way for a second.
    std::ofstream(dir / "server/vantorique/autoupdate/version.txt", std::ios::app) << std::string(3000, ' ');
    start_server(0, 3000);
    start_launcher();

    // "Checking for updates" at (16, 16); the rest is the tiled background.
    ASSERT_TRUE(see("checking", [](const Image &img) { return white_in_row(img, 16, 16, 120) > 20; }, 5));
    EXPECT_EQ(white_in_row(shot, 16, 0, 15), 0);
    EXPECT_EQ(white_in_row(shot, 16, 130, 256), 0);
    expect_tiled_below(32);

    // The offer: title, marker on Update Now, both labels, header, change log.
    ASSERT_TRUE(see("offer", offer));
    EXPECT_GT(white_in_row(shot, 16, 16, 240), 50);
    EXPECT_GT(white_in_row(shot, 32, 16, 24), 3);    // ">"
    EXPECT_EQ(white_in_row(shot, 48, 16, 24), 0);    // none at the second button
    EXPECT_GT(white_in_row(shot, 48, 32, 100), 20);  // "Update Later"
    EXPECT_GT(white_in_row(shot, 88, 24, 120), 20);  // the change log
    EXPECT_EQ(white_in_row(shot, 88, 0, 23), 0);
    expect_tiled_below(120);

    // Down moves the marker; Up brings it back, and Space runs the whole road.
    ASSERT_EQ(launcher.key("Down"), 0);
    ASSERT_TRUE(see("marker", [](const Image &img) {
        return white_in_row(img, 48, 16, 24) > 3 && white_in_row(img, 32, 16, 24) == 0;
    }, 5));
    ASSERT_EQ(launcher.key("Up space"), 0);
    ASSERT_TRUE(launcher.wait_exit(20));
    EXPECT_EQ(launcher.status, 0);
    EXPECT_EQ(read_file(dir / "launcher/version.txt"), "2");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the game runs detached
    EXPECT_EQ(game_ran(), "Vantorique 2\n");
    EXPECT_EQ(read_file(dir / "Vantorique.app/Contents/Resources/level.dat"), "level data of version 2\n");
    EXPECT_FALSE(exists(dir / "launcher/vantorique_osx.zip"));
}

TEST_F(Road, UpdateLaterStartsTheInstalledGame)
{
    make_world(dir.path, 1, true);
    publish_version_2();
    start_server();
    start_launcher();
    ASSERT_TRUE(see("offer", offer));
    ASSERT_EQ(launcher.key("Down space"), 0);
    ASSERT_TRUE(launcher.wait_exit(10));
    EXPECT_EQ(launcher.status, 0);
    EXPECT_EQ(read_file(dir / "launcher/version.txt"), "1");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(game_ran(), "Vantorique 1\n");
}

TEST_F(Road, UpToDateStartsTheGameAtOnce)
{
    make_world(dir.path, 2, true);
    publish_version_2();
    start_server();
    launcher.start(dir / "launcher", "127.0.0.1", port);
    ASSERT_TRUE(launcher.wait_exit(10));
    EXPECT_EQ(launcher.status, 0);
    EXPECT_EQ(read_file(dir / "launcher/version.txt"), "2");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(game_ran(), "Vantorique 2\n");
}

TEST_F(Road, RetryAfterTheServerComesUpOffersTheUpdate)
{
    make_world(dir.path, 1, true);
    publish_version_2();
    start_launcher();
    ASSERT_TRUE(see("failed", failed));
    EXPECT_GT(white_in_row(shot, 32, 16, 24), 3);  // the marker on Retry
    expect_tiled_below(64);
    start_server();
    ASSERT_EQ(launcher.key("space"), 0);
    ASSERT_TRUE(see("offer-after-retry", offer));
    ASSERT_EQ(run(std::string(X11_CLOSE) + " " + launcher.window), 0);
    ASSERT_TRUE(launcher.wait_exit(10));
    EXPECT_EQ(game_ran(), "none");
    EXPECT_EQ(read_file(dir / "launcher/version.txt"), "1");
}

TEST_F(Road, PlayOfflineStartsTheInstalledGame)
{
    make_world(dir.path, 1, true);
    start_launcher();
    ASSERT_TRUE(see("failed", failed));
    ASSERT_EQ(launcher.key("Down"), 0);
    ASSERT_TRUE(see("failed-play-offline", [](const Image &img) { return white_in_row(img, 48, 16, 24) > 3; }));
    ASSERT_EQ(launcher.key("space"), 0);
    ASSERT_TRUE(launcher.wait_exit(10));
    EXPECT_EQ(launcher.status, 0);
    EXPECT_EQ(read_file(dir / "launcher/version.txt"), "1");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(game_ran(), "Vantorique 1\n");
}

TEST_F(Road, MissingPackageShowsDownloadFailedUntilClosed)
{
    make_world(dir.path, 1, true);
    publish_version_2();
    ASSERT_EQ(unlink((dir / "server/vantorique/autoupdate/vantorique_osx.zip").c_str()), 0);
    start_server();
    start_launcher();
    ASSERT_TRUE(see("offer", offer));
    ASSERT_EQ(launcher.key("space"), 0);
    auto message_only = [](const Image &img) {
        return white_in_row(img, 16, 16, 100) > 20 && white_in_row(img, 26, 0, 256, 80) == 0;
    };
    ASSERT_TRUE(see("download-failed", message_only));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    ASSERT_TRUE(see("download-failed-still", message_only, 2));  // it stays
    expect_tiled_below(32);
    ASSERT_EQ(launcher.key("space Up space"), 0);  // no key leads anywhere
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_TRUE(see("download-failed-after-keys", message_only, 2));
    ASSERT_EQ(run(std::string(X11_CLOSE) + " " + launcher.window), 0);
    ASSERT_TRUE(launcher.wait_exit(10));
    EXPECT_EQ(game_ran(), "none");
    EXPECT_EQ(read_file(dir / "launcher/version.txt"), "1");
    EXPECT_FALSE(exists(dir / "launcher/vantorique_osx.zip"));
}

TEST_F(Road, NoGameAndNoServerEndsOnGiveUp)
{
    make_world(dir.path, 0, false);
    start_launcher();
    ASSERT_TRUE(see("failed", failed));
    ASSERT_EQ(launcher.key("Down space"), 0);  // Play Offline: but there is no game
    ASSERT_TRUE(see("no-game", [](const Image &img) {
        return white_in_row(img, 64, 32, 80) > 10 && white_in_row(img, 64, 100, 256) == 0 &&
               white_in_row(img, 64, 16, 24) > 3;  // marker on Give Up
    }));
    EXPECT_GT(white_in_row(shot, 16, 16, 120), 20);  // "NO GAME DETECTED!"
    expect_tiled_below(80);
    ASSERT_EQ(launcher.key("space"), 0);
    ASSERT_TRUE(launcher.wait_exit(10));
    EXPECT_EQ(launcher.status, 0);
    EXPECT_EQ(game_ran(), "none");
    EXPECT_FALSE(exists(dir / "launcher/version.txt"));
}

TEST_F(Road, ClosingMidDownloadLeavesNothingBehind)
{
    make_world(dir.path, 1, true);
    make_bundle(dir / "studio/Vantorique.app", 2);
    // Random bytes do not compress: a package of 4 MB, served at 256 KB a second.
    run("head -c 4000000 /dev/urandom > " + quote(dir / "studio/Vantorique.app/Contents/Resources/noise.png"));
    publish("big\n");
    start_server(256 * 1024);
    start_launcher();
    ASSERT_TRUE(see("offer", offer));
    ASSERT_EQ(launcher.key("space"), 0);
    ASSERT_TRUE(see("downloading", [](const Image &img) { return white_in_row(img, 96, 16, 150) > 60; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_EQ(run(std::string(X11_CLOSE) + " " + launcher.window), 0);
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(launcher.wait_exit(10));
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 3.0);
    EXPECT_EQ(launcher.status, 0);
    EXPECT_EQ(game_ran(), "none");
    EXPECT_EQ(read_file(dir / "launcher/version.txt"), "1");
    EXPECT_FALSE(exists(dir / "launcher/vantorique_osx.zip"));
    EXPECT_FALSE(exists(dir / "launcher/vantorique_osx.zip.part"));
    EXPECT_EQ(read_file(dir / "Vantorique.app/Contents/Resources/level.dat"), "level data of version 1\n");
}

TEST_F(Road, MissingBackgroundIsFatal)
{
    make_world(dir.path, 1, true, false);
    launcher.start(dir / "launcher", "127.0.0.1", port);
    ASSERT_TRUE(launcher.wait_exit(10));
    EXPECT_EQ(launcher.status, 42);
    // "Fatal error in <source file> on line <n>: <message>" and CR LF, nothing else.
    std::string log = read_file(dir / "launcher/errorlog.txt");
    const std::string tail = ": Could not start game. Background failure.\r\n";
    ASSERT_EQ(log.rfind("Fatal error in ", 0), 0u) << log;
    ASSERT_GT(log.size(), tail.size());
    EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
    size_t on_line = log.find("loop.cpp on line ");
    ASSERT_NE(on_line, std::string::npos) << log;
    std::string number = log.substr(on_line + 17, log.size() - tail.size() - on_line - 17);
    EXPECT_FALSE(number.empty());
    EXPECT_EQ(number.find_first_not_of("0123456789"), std::string::npos) << log;
    EXPECT_EQ(game_ran(), "none");
}
