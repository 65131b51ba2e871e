// The screens without a window: a recording draw_text (what the font will
// show of each text) and stand-in workers that count their launches. Each
// frame is driven as the main loop drives it.
#include "state.h"
#include "ziputil.h"

#include <gtest/gtest.h>

#include <functional>
#include <tuple>

namespace {

using T = std::tuple<std::string, double, double>;
std::vector<T> drawn;
std::atomic<int> checkRuns, downloadRuns, unzipRuns;

void frame(std::vector<sf::Keyboard::Key> keys = {})
{
    drawn.clear();
    for (sf::Keyboard::Key key : keys) {
        sf::Event e;
        e.type = sf::Event::KeyPressed;
        e.key = sf::Event::KeyEvent{key, false, false, false, false};
        handleEvent(e);
    }
    drawScreen();
    spacePressed = false;
}

void waitForWorkers()
{
    checkThread.wait();
    downloadThread.wait();
    unzipThread.wait();
}

class Screens : public testing::Test {
protected:
    void SetUp() override
    {
        resetLauncherState();
        checkRuns = downloadRuns = unzipRuns = 0;
        updateText.clear();
        ZIP_UNPACK_BYTES_DONE = ZIP_UNPACK_BYTES_TOTAL = 0;
    }
    void TearDown() override { waitForWorkers(); }
};

const std::string kFailure = std::string("Failed to connect to ") + VANTORIQUE_UPDATE_HOST;
const std::string kDownloading =
    "Downloading...\n\nI would add a progress bar, but SFML 2.0 isn't\ncomplete yet.\n\nHave fun waiting!";

void checkFailed() { doneCheckUpdating = updatingError = true; }
void offered() { doneCheckUpdating = updateAvailable = true; }
void downloadFailed()
{
    action = kDownloadScreen;
    downloadComplete = true;
    downloadFailure = "The server has no package";
}
void updateFailed()
{
    action = kUnzipScreen;
    unzipComplete = true;
    unzipFailure = "Disk full";
}
void noGame() { action = kNoGameScreen; }

}  // namespace

void draw_text(std::string text, double x, double y, float size, sf::Color color, unsigned long style)
{
    // Every text of every screen has the one look: size 8, opaque white, regular.
    EXPECT_EQ(size, 8.f) << text;
    EXPECT_EQ(color, sf::Color(255, 255, 255, 255)) << text;
    EXPECT_EQ(style, 0u) << text;
    drawn.emplace_back(toFontText(text).toAnsiString(), x, y);
}
void ThreadCheckFunc(void *) { checkRuns++; }
void ThreadDownloadFunc(void *) { downloadRuns++; }
void ThreadUnzipFunc(void *) { unzipRuns++; }

TEST_F(Screens, EachStateDrawsItsTexts)
{
    struct Case {
        std::function<void()> setup;
        std::vector<T> texts;
    } cases[] = {
        {[] {}, {{"Checking for updates", 16, 16}}},
        {checkFailed, {{kFailure, 16, 16}, {">", 16, 32}, {"Retry", 32, 32}, {"Play Offline", 32, 48}}},
        // A UTF-8 log: one "?" per character the font lacks, carriage returns dropped.
        {[] { offered(), updateText = "caf\xc3\xa9 \xe2\x98\x83\r\nok \xf0\x9f\x8e\xae\xe2\x98"; },
         {{"Hey, you haz old client, wants to update?", 16, 16}, {">", 16, 32}, {"Update Now", 32, 32},
          {"Update Later", 32, 48}, {"----------------UPDATE CONTAINS:-------------", 16, 64},
          {"caf? ?\nok ??", 24, 88}}},
        {[] { action = kDownloadScreen, downloadBytesDone = 12300000, downloadBytesTotal = 48000000,
              downloadBytesPerSecond = 2100000; },
         {{kDownloading, 16, 16}, {std::string(16, '|') + std::string(48, '.'), 16, 96},
          {"12.3 of 48.0 MB  2.1 MB/s  0:17 left", 16, 112}}},
        {downloadFailed, {{"Download failed", 16, 16}, {"The server has no package", 16, 32}, {">", 16, 56},
                          {"Retry", 32, 56}, {"Play Offline", 32, 72}}},
        {[] { action = kUnzipScreen, ZIP_UNPACK_BYTES_DONE = 12340000, ZIP_UNPACK_BYTES_TOTAL = 48000000; },
         {{"Unzipping...", 16, 16}, {"12.3 of 48.0 MB", 16, 32}}},
        {updateFailed, {{"Update failed", 16, 16}, {"Disk full", 16, 32}, {">", 16, 56}, {"Retry", 32, 56},
                        {"Play Offline", 32, 72}}},
        {noGame, {{"NO GAME DETECTED!\n\nYou need to download the game at least once!", 16, 16}, {">", 16, 48},
                  {"Retry", 32, 48}, {"Give Up", 32, 64}}},
    };
    for (const Case &c : cases) {
        SetUp();
        c.setup();
        frame();
        EXPECT_EQ(drawn, c.texts) << std::get<0>(c.texts[0]);
        EXPECT_FALSE(exiting);
    }
}

// Space acts once, in its own frame, on the marked button; the menu is still
// drawn in that frame; the frames after it show where the choice led.
TEST_F(Screens, SpaceChoosesTheMarkedButton)
{
    struct Case {
        std::function<void()> setup;
        std::string firstLeadsTo;
        int checks, downloads;  // runs started by the first button
        bool secondPlays;       // the second ends with the game, or without
    } cases[] = {
        {checkFailed, "Checking for updates", 1, 0, true}, {offered, kDownloading, 0, 1, true},
        {downloadFailed, kDownloading, 0, 1, true},        {updateFailed, kDownloading, 0, 1, true},
        {noGame, kDownloading, 0, 1, false},
    };
    for (const Case &c : cases) {
        for (int choice : {0, 1}) {
            SetUp();
            c.setup();
            rungame = true;  // Give Up must clear an earlier launch request
            menuChoice = choice;
            frame();
            std::vector<T> menu = drawn;
            frame({sf::Keyboard::Space});
            EXPECT_EQ(drawn, menu);
            frame();
            waitForWorkers();
            std::string what = std::get<0>(menu[0]) + " choice " + std::to_string(choice);
            EXPECT_EQ(exiting, choice == 1) << what;
            EXPECT_EQ(checkRuns, choice == 0 ? c.checks : 0) << what;
            EXPECT_EQ(downloadRuns, choice == 0 ? c.downloads : 0) << what;
            if (choice == 0) {
                EXPECT_EQ(std::get<0>(drawn.at(0)), c.firstLeadsTo) << what;
            } else {
                EXPECT_EQ(rungame, c.secondPlays) << what;
            }
        }
    }
}

TEST_F(Screens, OddKeyPressesMarkTheSecondButton)
{
    struct Case {
        std::vector<std::vector<sf::Keyboard::Key>> frames;
        int marker;
    } cases[] = {
        {{{sf::Keyboard::Up}}, 48},
        {{{sf::Keyboard::Up}, {sf::Keyboard::Down, sf::Keyboard::Up}}, 48},
        {{{sf::Keyboard::Down, sf::Keyboard::Down}}, 32},
        {{{sf::Keyboard::Up, sf::Keyboard::Left, sf::Keyboard::Return}}, 48},
        {{{sf::Keyboard::Space}, {sf::Keyboard::Down}}, 48},  // Space while checking is lost
    };
    for (const Case &c : cases) {
        SetUp();
        for (const auto &keys : c.frames)
            frame(keys);
        offered();
        frame();
        EXPECT_EQ(drawn[1], T(">", 16, c.marker));
        EXPECT_EQ(downloadRuns + checkRuns, 0);
        EXPECT_FALSE(exiting);
    }
    sf::Event close;
    close.type = sf::Event::Closed;
    handleEvent(close);
    EXPECT_TRUE(exiting);
    EXPECT_FALSE(rungame);
}

TEST_F(Screens, OutcomesWithoutAMenu)
{
    doneCheckUpdating = true;  // up to date: straight to the game
    frame();
    EXPECT_TRUE(drawn.empty());
    EXPECT_TRUE(exiting && rungame);

    SetUp();
    action = kDownloadScreen;
    downloadComplete = downloadSuccess = true;
    frame();
    EXPECT_TRUE(drawn.empty());
    EXPECT_EQ(action, kUnzipScreen);
    waitForWorkers();
    EXPECT_EQ(unzipRuns, 1);
    frame();  // nothing unpacked yet: no progress line
    EXPECT_EQ(drawn, (std::vector<T>{{"Unzipping...", 16, 16}}));
    unzipComplete = unzipSuccess = true;
    frame();
    EXPECT_TRUE(drawn.empty());
    EXPECT_TRUE(exiting && rungame);
}

TEST_F(Screens, ActivityBarMovesAndTurnsWhileTheSizeIsUnknown)
{
    action = kDownloadScreen;
    std::vector<size_t> marks;
    for (int i = 0; i < 130; i++) {
        frame();
        ASSERT_EQ(drawn.size(), 3u);
        const std::string &bar = std::get<0>(drawn[1]);
        ASSERT_EQ(bar.size(), 64u);
        ASSERT_EQ(std::count(bar.begin(), bar.end(), '|'), 1);
        marks.push_back(bar.find('|'));
        if (i > 0)
            EXPECT_EQ(std::abs(int(marks[i]) - int(marks[i - 1])), 1);
    }
    EXPECT_EQ(*std::min_element(marks.begin(), marks.end()), 0u);  // a sweep there and back: 126 frames
    EXPECT_EQ(*std::max_element(marks.begin(), marks.end()), 63u);
    EXPECT_EQ(std::get<0>(drawn[2]), "0.0 MB  0.0 MB/s");
}

TEST(Progress, BarAndLine)
{
    EXPECT_EQ(downloadBar(5, -1), "");
    EXPECT_EQ(downloadBar(0, 1000), std::string(64, '.'));
    EXPECT_EQ(downloadBar(999, 1000), std::string(63, '|') + ".");
    EXPECT_EQ(downloadBar(1000, 1000), std::string(64, '|'));
    EXPECT_EQ(downloadBar(0, 0), std::string(64, '|'));
    EXPECT_EQ(progressLine(12345678, -1, 2100000), "12.3 MB  2.1 MB/s");
    EXPECT_EQ(progressLine(0, 48000000, 0), "0.0 of 48.0 MB  0.0 MB/s");
    EXPECT_EQ(progressLine(0, 48000000, 2000000), "0.0 of 48.0 MB  2.0 MB/s  0:24 left");
    EXPECT_EQ(progressLine(0, 8000000000, 1000000), "0.0 of 8000.0 MB  1.0 MB/s  2:13:20 left");
}

TEST(ChangeLog, OnlyWhatTheViewCanShowIsDrawn)
{
    EXPECT_EQ(visibleChangeLog(""), "");
    EXPECT_EQ(visibleChangeLog("a\nb\n"), "a\nb\n");
    std::string huge;
    for (int i = 0; i < 20000; i++)
        huge += std::string(500, 'x') + "\n";
    std::string shown = visibleChangeLog(huge);
    EXPECT_EQ(std::count(shown.begin(), shown.end(), '\n'), 12);  // 13 lines start above y 192
    EXPECT_EQ(shown.substr(0, shown.find('\n')), std::string(232, 'x'));
    // Any byte can become a glyph: stray continuation bytes are cut as well.
    EXPECT_EQ(visibleChangeLog(std::string(1000000, '\x80')).size(), 232u);
    std::string snowmen;  // and a UTF-8 line between characters, never inside one
    for (int i = 0; i < 300; i++)
        snowmen += "\xe2\x98\x83";
    EXPECT_EQ(visibleChangeLog(snowmen).size(), 232u * 3);
}
