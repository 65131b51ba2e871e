// The screens without a window: a recording draw_text and stand-in workers
// that count their launches. Each frame is driven as the main loop drives it.
#include "state.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

struct Drawn {
    std::string text;
    double x, y;
};
std::vector<Drawn> drawn;
std::atomic<int> checkRuns, downloadRuns, unzipRuns;

// One frame: the events, the screen, the end-of-frame reset.
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

std::vector<std::tuple<std::string, double, double>> texts()
{
    std::vector<std::tuple<std::string, double, double>> out;
    for (const Drawn &d : drawn)
        out.emplace_back(d.text, d.x, d.y);
    return out;
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
    }
    void TearDown() override { waitForWorkers(); }
};

using T = std::tuple<std::string, double, double>;
const std::string kFailure = std::string("Failed to connect to ") + VANTORIQUE_UPDATE_HOST;

}  // namespace

// The recording stand-ins for drawing and for the three workers.
void draw_text(std::string text, double x, double y, float size, sf::Color color, unsigned long style)
{
    // Every text of every screen has the one look: size 8, opaque white, regular.
    EXPECT_EQ(size, 8.f) << text;
    EXPECT_EQ(color, sf::Color(255, 255, 255, 255)) << text;
    EXPECT_EQ(style, 0u) << text;
    drawn.push_back({text, x, y});
}
void ThreadCheckFunc(void *) { checkRuns++; }
void ThreadDownloadFunc(void *) { downloadRuns++; }
void ThreadUnzipFunc(void *) { unzipRuns++; }

TEST_F(Screens, CheckingIgnoresSpaceNowAndLater)
{
    frame({sf::Keyboard::Space});
    EXPECT_EQ(texts(), (std::vector<T>{{"Checking for updates", 16, 16}}));
    updateAvailable = true;
    doneCheckUpdating = true;
    frame();
    EXPECT_EQ(action, 0);
    EXPECT_FALSE(exiting);
    EXPECT_EQ(downloadRuns, 0);
}

TEST_F(Screens, CheckFailedOffersRetryAndPlayOffline)
{
    updatingError = true;
    doneCheckUpdating = true;
    frame();
    EXPECT_EQ(texts(), (std::vector<T>{{kFailure, 16, 16}, {">", 16, 32}, {"Retry", 32, 32}, {"Play Offline", 32, 48}}));

    // Retry: the menu still shows in this frame, the flags clear, the check runs again.
    frame({sf::Keyboard::Space});
    EXPECT_EQ(texts().size(), 4u);
    waitForWorkers();
    EXPECT_EQ(checkRuns, 1);
    EXPECT_FALSE(doneCheckUpdating);
    EXPECT_FALSE(updatingError);
    EXPECT_FALSE(updateAvailable);
    EXPECT_EQ(menuChoice, 0);
    frame();
    EXPECT_EQ(texts(), (std::vector<T>{{"Checking for updates", 16, 16}}));

    // Fails again; Down then Space in one frame: Play Offline.
    updatingError = true;
    doneCheckUpdating = true;
    frame({sf::Keyboard::Down, sf::Keyboard::Space});
    EXPECT_EQ(std::get<2>(texts()[1]), 48);
    EXPECT_TRUE(exiting);
    EXPECT_TRUE(rungame);
    EXPECT_EQ(checkRuns, 1);
}

TEST_F(Screens, UpdateOfferedShowsTheChangeLogAndStartsTheDownload)
{
    updateText = "line one\nline two";
    updateAvailable = true;
    doneCheckUpdating = true;
    frame();
    EXPECT_EQ(texts(), (std::vector<T>{{"Hey, you haz old client, wants to update?", 16, 16},
                                       {">", 16, 32},
                                       {"Update Now", 32, 32},
                                       {"Update Later", 32, 48},
                                       {"----------------UPDATE CONTAINS:-------------", 16, 64},
                                       {"line one\nline two", 24, 88}}));
    frame({sf::Keyboard::Space});
    EXPECT_EQ(texts().size(), 6u);  // still drawn in the frame that chose
    EXPECT_EQ(action, 1);
    waitForWorkers();
    EXPECT_EQ(downloadRuns, 1);
    EXPECT_FALSE(exiting);
}

TEST_F(Screens, OddKeyPressesDuringTheCheckMarkUpdateLater)
{
    frame({sf::Keyboard::Up});
    frame({sf::Keyboard::Down, sf::Keyboard::Up, sf::Keyboard::Up});
    EXPECT_EQ(menuChoice, 0);
    frame({sf::Keyboard::Up});
    updateAvailable = true;
    doneCheckUpdating = true;
    frame();
    EXPECT_EQ(texts()[1], T(">", 16, 48));
    frame({sf::Keyboard::Space});
    EXPECT_TRUE(exiting);
    EXPECT_TRUE(rungame);
    EXPECT_EQ(action, 0);
    EXPECT_EQ(downloadRuns, 0);
}

TEST_F(Screens, UpToDateEndsAtOnceWithNothingDrawn)
{
    doneCheckUpdating = true;
    frame();
    EXPECT_TRUE(drawn.empty());
    EXPECT_TRUE(exiting);
    EXPECT_TRUE(rungame);
}

TEST_F(Screens, DownloadBarSweepsAndTurnsAtBothEnds)
{
    action = 1;
    const std::string message =
        "Downloading...\n\nI would add a progress bar, but SFML 2.0 isn't\ncomplete yet.\n\nHave fun waiting!";
    std::vector<size_t> marks;
    for (int i = 1; i <= 253; i++) {
        frame({sf::Keyboard::Space, sf::Keyboard::Down});
        ASSERT_EQ(drawn.size(), 2u);
        EXPECT_EQ(texts()[0], T(message, 16, 16));
        const std::string &bar = drawn[1].text;
        ASSERT_EQ(bar.size(), 64u);
        ASSERT_EQ(std::count(bar.begin(), bar.end(), '|'), 1);
        EXPECT_EQ(drawn[1].x, 16);
        EXPECT_EQ(drawn[1].y, 96);
        marks.push_back(bar.find('|'));
    }
    EXPECT_EQ(marks[0], 0u);
    EXPECT_EQ(marks[1], 1u);
    EXPECT_EQ(marks[63], 63u);   // frame 64
    EXPECT_EQ(marks[64], 62u);
    EXPECT_EQ(marks[126], 0u);   // frame 127
    EXPECT_EQ(marks[127], 1u);
    EXPECT_EQ(marks[252], 0u);   // a full sweep there and back is 126 frames
    EXPECT_EQ(action, 1);
}

TEST_F(Screens, DownloadOutcomes)
{
    action = 1;
    downloadComplete = true;
    frame();
    EXPECT_EQ(texts(), (std::vector<T>{{"Download failed", 16, 16}}));
    frame({sf::Keyboard::Space});
    EXPECT_EQ(texts(), (std::vector<T>{{"Download failed", 16, 16}}));
    EXPECT_EQ(action, 1);

    downloadSuccess = true;
    frame();
    EXPECT_TRUE(drawn.empty());
    EXPECT_EQ(action, 2);
    waitForWorkers();
    EXPECT_EQ(unzipRuns, 1);

    frame();
    EXPECT_EQ(texts(), (std::vector<T>{{"Unzipping...", 16, 16}}));
    EXPECT_FALSE(exiting);
    unzipComplete = true;
    frame();
    EXPECT_TRUE(drawn.empty());
    EXPECT_TRUE(exiting);
    EXPECT_TRUE(rungame);
    EXPECT_EQ(unzipRuns, 1);
}

TEST_F(Screens, NoGameOffersRetryAndGiveUp)
{
    action = 3;
    doneCheckUpdating = true;
    updatingError = true;
    frame();
    EXPECT_EQ(texts(), (std::vector<T>{{"NO GAME DETECTED!\n\nYou need to download the game at least once!", 16, 16},
                                       {">", 16, 48},
                                       {"Retry", 32, 48},
                                       {"Give Up", 32, 64}}));
    frame({sf::Keyboard::Down});
    EXPECT_EQ(texts()[1], T(">", 16, 64));

    // Give Up ends without the game, even when a launch had been asked for.
    rungame = true;
    frame({sf::Keyboard::Space});
    EXPECT_EQ(texts().size(), 4u);
    EXPECT_TRUE(exiting);
    EXPECT_FALSE(rungame);

    // Retry: check flags cleared, download started, its own flags left alone.
    exiting = false;
    downloadSuccess = true;
    frame({sf::Keyboard::Up, sf::Keyboard::Space});
    waitForWorkers();
    EXPECT_EQ(downloadRuns, 1);
    EXPECT_EQ(action, 1);
    EXPECT_FALSE(doneCheckUpdating);
    EXPECT_FALSE(updatingError);
    EXPECT_TRUE(downloadSuccess);
}

TEST_F(Screens, UnknownScreenCodeDrawsHelp)
{
    action = 7;
    frame();
    EXPECT_EQ(texts(), (std::vector<T>{{"HELP", 16, 16}}));
}

TEST_F(Screens, EventsMoveTheMarkerAndCloseTheWindow)
{
    sf::Event close;
    close.type = sf::Event::Closed;
    frame({sf::Keyboard::Down, sf::Keyboard::Down});
    EXPECT_EQ(menuChoice, 0);
    frame({sf::Keyboard::Up, sf::Keyboard::Left, sf::Keyboard::Return});
    EXPECT_EQ(menuChoice, 1);
    EXPECT_FALSE(exiting);
    handleEvent(close);
    EXPECT_TRUE(exiting);
    EXPECT_FALSE(rungame);
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
    // A long UTF-8 line is cut between characters, never inside one.
    std::string snowmen;
    for (int i = 0; i < 300; i++)
        snowmen += "\xe2\x98\x83";
    EXPECT_EQ(visibleChangeLog(snowmen).size(), 232u * 3);
}
