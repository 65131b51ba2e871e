// The launcher in a real window under a private Xvfb, against a loopback
// update server: what the window shows, and where the keys lead.
#include "http_server.h"
#include "window_helpers.h"
#include "ziputil.h"


using namespace testutil;

namespace {

Xvfb xvfb;
const char kManifest[] = "/vantorique/autoupdate/version.txt";
const char kPackage[] = "/vantorique/autoupdate/vantorique_osx.zip";

class Window : public testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(xvfb.start()) << "Xvfb could not start"; }
    static void TearDownTestSuite() { xvfb.stop(); }
    void SetUp() override
    {
        chmod(dir.path.c_str(), 0755);
        server.start();
        tile = read_image(std::string(ASSETS_DIR) + "/background.png");
        ASSERT_EQ(tile.width, 32);
    }
    std::string package_of_version(int version)
    {
        make_bundle(dir / "pkg/Vantorique.app", version);
        std::string zip = dir / "package.zip";
        EXPECT_EQ(compress_path((dir / "pkg/Vantorique.app").c_str(), zip.c_str(), 6), 1);
        return read_file(zip);
    }
    ScratchDir dir;
    HttpServer server;
    Image tile;
};

}  // namespace

TEST_F(Window, UpdateRoadFromCheckToGame)
{
    make_world(dir.path, 1, true);
    server.set(kPackage, Answer{200, package_of_version(2), Answer::kNone});
    Answer manifest{200, "2~New: a faster unpacker\nand a second level`\n", Answer::kNone};
    manifest.delay_ms = 1500;  // long enough to see the check under way
    server.set(kManifest, manifest);

    LauncherProcess launcher;
    launcher.start(dir / "launcher", "127.0.0.1", server.port);
    ASSERT_TRUE(launcher.find_window(10));

    // "Checking for updates" at (16, 16); the rest is the tiled background.
    Image shot;
    ASSERT_TRUE(launcher.wait_for(dir / "checking.png", 5, [&](const Image &img) {
        shot = img;
        return white_in_row(img, 16, 16, 120) > 20;
    }));
    EXPECT_EQ(white_in_row(shot, 16, 0, 15), 0);
    EXPECT_EQ(white_in_row(shot, 16, 130, 256), 0);
    EXPECT_EQ(background_mismatches(shot, tile, 64, 384), 0);

    // The offer: title, marker on Update Now, the two labels, header, change log.
    ASSERT_TRUE(launcher.wait_for(dir / "offer.png", 10, [&](const Image &img) {
        shot = img;
        return white_in_row(img, 32, 32, 100) > 20;
    }));
    EXPECT_GT(white_in_row(shot, 16, 16, 240), 50);
    EXPECT_GT(white_in_row(shot, 32, 16, 24), 3);   // ">"
    EXPECT_EQ(white_in_row(shot, 48, 16, 24), 0);   // no marker at the second button
    EXPECT_GT(white_in_row(shot, 48, 32, 100), 20); // "Update Later"
    EXPECT_GT(white_in_row(shot, 64, 16, 240), 50); // the header line
    EXPECT_GT(white_in_row(shot, 88, 24, 200), 20); // change log, first line
    EXPECT_EQ(white_in_row(shot, 88, 0, 23), 0);
    EXPECT_EQ(background_mismatches(shot, tile, 120 * 2, 384), 0);

    // Down, Up: the marker comes back; Space on Update Now runs the whole road.
    ASSERT_EQ(launcher.key("Down"), 0);
    ASSERT_TRUE(launcher.wait_for(dir / "marker.png", 5, [&](const Image &img) {
        return white_in_row(img, 48, 16, 24) > 3 && white_in_row(img, 32, 16, 24) == 0;
    }));
    ASSERT_EQ(launcher.key("Up space"), 0);
    ASSERT_TRUE(launcher.wait_exit(20));
    EXPECT_EQ(launcher.status, 0);
    EXPECT_EQ(read_file(dir / "launcher/version.txt"), "2");
    EXPECT_EQ(read_file(dir / "game-ran.txt"), "Vantorique 2\n");
    EXPECT_EQ(read_file(dir / "Vantorique.app/Contents/Resources/level.dat"), "level data of version 2\n");
    EXPECT_FALSE(exists(dir / "launcher/vantorique_osx.zip"));
    EXPECT_EQ(server.hits_of(kPackage), 1);
}

TEST_F(Window, MissingBackgroundIsFatal)
{
    make_world(dir.path, 1, true, false);
    LauncherProcess launcher;
    launcher.start(dir / "launcher", "127.0.0.1", server.port);
    ASSERT_TRUE(launcher.wait_exit(10));
    EXPECT_EQ(launcher.status, 42);
    std::string log = read_file(dir / "launcher/errorlog.txt");
    // "Fatal error in <source file> on line <n>: <message>" and CR LF, nothing else.
    const std::string tail = ": Could not start game. Background failure.\r\n";
    ASSERT_EQ(log.rfind("Fatal error in ", 0), 0u) << log;
    ASSERT_GT(log.size(), tail.size());
    EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
    size_t on_line = log.find("loop.cpp on line ");
    ASSERT_NE(on_line, std::string::npos) << log;
    std::string number = log.substr(on_line + 17, log.size() - tail.size() - on_line - 17);
    EXPECT_FALSE(number.empty());
    EXPECT_EQ(number.find_first_not_of("0123456789"), std::string::npos) << log;
    EXPECT_FALSE(exists(dir / "game-ran.txt"));
}
