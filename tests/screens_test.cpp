// The screens without a window: a recording draw_text (what the font will
// show of each text) and stand-in workers that count their launches. Each
// frame is driven as the main loop drives it.
#include "screens.h"
#include "state.h"
#include "words.h"
#include "workers.h"

#include <gtest/gtest.h>

#include <functional>
#include <tuple>

namespace {

using T = std::tuple<std::string, double, double>;
using Keys = std::vector<sf::Keyboard::Key>;
std::vector<T> drawn;
std::atomic<int> checkRuns, downloadRuns, unzipRuns;

void frame(const Keys &keys = {})
{
    drawn.clear();
    for (sf::Keyboard::Key key : keys) {
        sf::Event e{sf::Event::KeyPressed, {}};
        e.key.code = key;
        handleEvent(e);
    }
    drawScreen();
    spacePressed = false;
}

sf::Event mouse(sf::Event::EventType type, int x, int y)
{
    sf::Event e{type, {}};
    if (type == sf::Event::MouseMoved)
        e.mouseMove = {x, y};
    else
        e.mouseButton = {sf::Mouse::Left, x, y};
    return e;
}

// A frame with mouse events, in view units (the main loop converts them).
void frameWith(const std::vector<sf::Event> &events)
{
    drawn.clear();
    for (const sf::Event &e : events)
        handleEvent(e);
    drawScreen();
    spacePressed = false;
}

void waitForWorkers() { checkThread.wait(), downloadThread.wait(), unzipThread.wait(); }

void fresh()
{
    waitForWorkers();
    resetLauncherState();
    checkRuns = downloadRuns = unzipRuns = 0;
    updateText.clear();
}

const std::string kDownloading =
    "Downloading...\n\nI would add a progress bar, but SFML 2.0 isn't\ncomplete yet.\n\nHave fun waiting!";

void checkFailed() { doneCheckUpdating = updatingError = true; }
void checkRefused() { checkFailed(), checkFailure = {FAILURE_EXPIRED, "it expired at 2026-01-05T18:00:00Z"}; }
void offered() { doneCheckUpdating = updateAvailable = true; }
void downloadFailed() { action = kDownloadScreen, downloadComplete = true, downloadFailure = {FAILURE_NO_ANSWER, "the line broke after 5 bytes"}; }
void updateFailed() { action = kUnzipScreen, unzipComplete = true, unzipFailure = {FAILURE_NO_SPACE, "the update needs 9 bytes"}; }
void noGame() { action = kNoGameScreen; }
void damaged() { doneCheckUpdating = true, gameDamage = 3; }  // up to date, three files missing

}  // namespace

void draw_text(std::string text, double x, double y, float size, sf::Color color, unsigned long style)
{
    // Every text of every screen has the one look: size 8, opaque white, regular.
    EXPECT_TRUE(size == 8.f && color == sf::Color(255, 255, 255, 255) && style == 0) << text;
    drawn.emplace_back(toFontText(text).toAnsiString(), x, y);
}
void ThreadCheckFunc(void *) { checkRuns++; }
void ThreadDownloadFunc(void *) { downloadRuns++; }
void ThreadUnzipFunc(void *) { unzipRuns++; }
// The screens start the workers on these (the launcher's are in workers.cpp).
sf::Thread checkThread(&ThreadCheckFunc, static_cast<void *>(nullptr));
sf::Thread downloadThread(&ThreadDownloadFunc, static_cast<void *>(nullptr));
sf::Thread unzipThread(&ThreadUnzipFunc, static_cast<void *>(nullptr));

TEST(Screens, EachStateDrawsItsTexts)
{
    auto checkScreen = [](std::string heading, std::string advice, std::string detail = "") {
        std::vector<T> texts{{heading, 16, 16}, {advice, 16, 32}};
        if (!detail.empty())
            texts.push_back({detail, 16, 44});
        texts.insert(texts.end(), {{">", 16, 56}, {"Retry", 32, 56}, {"Play Offline", 32, 72}});
        return texts;
    };
    auto failed = [](std::string title, std::string reason) {
        return std::vector<T>{{title, 16, 16}, {reason, 16, 32}, {">", 16, 56}, {"Retry", 32, 56},
                              {"Play Offline", 32, 72}};
    };
    const std::pair<std::function<void()>, std::vector<T>> cases[] = {
        {[] {}, {{"Checking for updates", 16, 16}}},
        {[] { doneCheckUpdating = true; }, {}},  // up to date: straight to the game
        // A failed check: the heading names what happened, the line under it
        // what the player can do, then the detail; the menu below them.
        {[] { checkFailed(), checkFailure = {FAILURE_NO_ANSWER, ""}; },
         checkScreen("No answer from the update server", "Check the connection, then Retry", VANTORIQUE_UPDATE_HOST)},
        {[] { checkFailed(), checkFailure = {FAILURE_SERVER_REFUSED, "HTTP 403"}; },
         checkScreen("The update server refused the request (HTTP 403)", "Retry later, or Play Offline")},
        {[] { checkFailed(), checkFailure = {FAILURE_SERVER_REFUSED, "HTTP 503"}; },
         checkScreen("The update server failed (HTTP 503)", "Retry later, or Play Offline")},
        {[] { checkFailed(), checkFailure = {FAILURE_SERVER_REFUSED, "longer than 1 MiB"}; },
         checkScreen("The update server's answer is too long", "Retry later, or Play Offline")},
        {[] { checkFailed(), checkFailure = {FAILURE_NOT_ON_SERVER, "HTTP 404"}; },
         checkScreen("The update server has no manifest", "Play Offline, and tell the game's makers")},
        {checkRefused, checkScreen("The update server is out of date", "Retry later, once the game's makers re-sign it",
                                   "it expired at 2026-01-05T18:00:00Z")},
        {[] { checkFailed(), checkFailure = {FAILURE_UNSIGNED, ""}; },
         checkScreen("The update server's answer is not signed", "Play Offline: this answer is not to be trusted")},
        {[] { checkFailed(), checkFailure = {FAILURE_BAD_SIGNATURE, "it is the default channel's, this launcher follows beta"}; },
         checkScreen("The update server's signature does not hold", "Play Offline: this answer is not to be trusted",
                     "it is the default channel's, this launcher follows beta")},
        {[] { checkFailed(), checkFailure = {FAILURE_OLDER, "it offers 2, 3 was seen before"}; },
         checkScreen("The update server offers an older version", "Play Offline: an old answer was sent again",
                     "it offers 2, 3 was seen before")},
        // A UTF-8 log: one "?" per character the font lacks or per broken sequence, no carriage return.
        {[] { offered(), updateText = "caf\xc3\xa9 \xe2\x98\x83\r\nok \xf0\x9f\x8e\xae\xe2\x98"; },
         {{"Hey, you haz old client, wants to update?", 16, 16}, {">", 16, 32}, {"Update Now", 32, 32},
          {"Update Later", 32, 48}, {"----------------UPDATE CONTAINS:-------------", 16, 64},
          {"caf? ?\nok ??", 24, 88}}},
        {[] { action = kDownloadScreen, downloadProgress.done = 12300000, downloadProgress.total = 48000000,
              downloadProgress.perSecond = 2100000; },
         {{kDownloading, 16, 16}, {std::string(16, '|') + std::string(48, '.'), 16, 96},
          {"12.3 of 48.0 MB  2.1 MB/s  0:17 left", 16, 112}}},
        // What is fetched, and its real size, on a line of its own: a delta, or the package.
        {[] { action = kDownloadScreen, downloadProgress.fetching = kFetchingDelta, downloadProgress.done = 600000,
              downloadProgress.total = 1200000, downloadProgress.perSecond = 600000; },
         {{kDownloading, 16, 16}, {std::string(32, '|') + std::string(32, '.'), 16, 96},
          {"0.6 of 1.2 MB  0.6 MB/s  0:01 left", 16, 112}, {"Downloading the changes (1.2 MB)", 16, 128}}},
        {[] { action = kDownloadScreen, downloadProgress.fetching = kFetchingPackage, downloadProgress.total = 48000000; },
         {{kDownloading, 16, 16}, {std::string(64, '.'), 16, 96}, {"0.0 of 48.0 MB  0.0 MB/s", 16, 112},
          {"Downloading the package (48.0 MB)", 16, 128}}},
        // The files a plan lacks, by count; the bar and figures count the delta fetched before them.
        {[] { action = kDownloadScreen, downloadProgress.fetching = kFetchingFiles, downloadProgress.files = 12,
              downloadProgress.before = 1200000, downloadProgress.done = 1000000, downloadProgress.total = 3400000; },
         {{kDownloading, 16, 16}, {std::string(30, '|') + std::string(34, '.'), 16, 96},
          {"2.2 of 4.6 MB  0.0 MB/s", 16, 112}, {"Downloading 12 files (3.4 MB)", 16, 128}}},
        {[] { action = kDownloadScreen, downloadProgress.fetching = kFetchingFiles, downloadProgress.files = 1,
              downloadProgress.total = 400000; },
         {{kDownloading, 16, 16}, {std::string(64, '.'), 16, 96}, {"0.0 of 0.4 MB  0.0 MB/s", 16, 112},
          {"Downloading 1 file (0.4 MB)", 16, 128}}},
        // Up to date, but the quick check found files missing: repair or play.
        {damaged, {{"The game is damaged:", 16, 16}, {"3 files are missing or changed", 16, 32}, {">", 16, 56},
                   {"Repair the game", 32, 56}, {"Play", 32, 72}}},
        {downloadFailed, failed("Download failed", "No answer from the server")},
        // A reason with a detail: the detail on a line of its own, above the buttons.
        {[] { downloadFailed(), downloadFailure = {FAILURE_BAD_SIGNATURE, "it was made with another key"}; },
         {{"Download failed", 16, 16}, {"Signature check failed", 16, 32}, {"it was made with another key", 16, 44},
          {">", 16, 56}, {"Retry", 32, 56}, {"Play Offline", 32, 72}}},
        {[] { action = kUnzipScreen; }, {{"Unzipping...", 16, 16}}},  // nothing unpacked yet: no figures
        // The download's bar, for the share of bytes written.
        {[] { action = kUnzipScreen, unpackProgress.done = 12340000, unpackProgress.total = 48000000; },
         {{"Unzipping...", 16, 16}, {"12.3 of 48.0 MB", 16, 32}, {std::string(16, '|') + std::string(48, '.'), 16, 96}}},
        {updateFailed, failed("Update failed", "Disk full")},
        {noGame, {{"NO GAME DETECTED!\n\nYou need to download the game at least once!", 16, 16}, {">", 16, 48},
                  {"Retry", 32, 48}, {"Give Up", 32, 64}}},
    };
    for (const auto &[setup, texts] : cases) {
        fresh();
        setup();
        frame();
        EXPECT_EQ(drawn, texts) << (texts.empty() ? "" : std::get<0>(texts[0]));
        EXPECT_EQ(exiting && rungame, texts.empty());
    }
}

// Space acts once, in its own frame, on the marked button; the menu is still
// drawn in that frame; the frame after it shows where the choice led.
TEST(Screens, SpaceChoosesTheMarkedButton)
{
    // The screen; where its first button leads (starting the check or the download); whether the
    // second ends the launcher with the game or without.
    const std::tuple<std::function<void()>, std::string, bool> cases[] = {
        {checkFailed, "Checking for updates", true}, {checkRefused, "Checking for updates", true},
        {offered, kDownloading, true},
        {downloadFailed, kDownloading, true}, {updateFailed, kDownloading, true}, {noGame, kDownloading, false},
        {damaged, kDownloading, true}};
    for (const auto &[setup, firstLeadsTo, secondPlays] : cases) {
        for (int choice : {0, 1}) {
            fresh();
            setup();
            rungame = true;  // Give Up must clear an earlier launch request
            menuChoice = choice;
            frame();
            std::vector<T> menu = drawn;
            frame({sf::Keyboard::Space});
            EXPECT_EQ(drawn, menu);
            frame();
            waitForWorkers();
            std::string what = std::get<0>(menu[0]) + " choice " + std::to_string(choice);
            EXPECT_EQ(checkRuns + 2 * downloadRuns, choice == 1 ? 0 : firstLeadsTo == kDownloading ? 2 : 1) << what;
            EXPECT_EQ(exiting, choice == 1) << what;
            EXPECT_TRUE(choice == 0 || rungame == secondPlays) << what;
            EXPECT_TRUE(choice == 1 || std::get<0>(drawn.at(0)) == firstLeadsTo) << what;
            EXPECT_EQ(repairing.load(), choice == 0 && std::get<0>(menu[0]) == "The game is damaged:")
                << what << ": only Repair the game makes the download a repair";
        }
    }
}

// Enter, the keypad's too (SFML names both Enter), chooses as Space does.
TEST(Screens, EnterChoosesTheMarkedButton)
{
    for (int choice : {0, 1}) {
        fresh();
        offered();
        menuChoice = choice;
        frame({sf::Keyboard::Enter});
        frame();
        waitForWorkers();
        EXPECT_EQ(downloadRuns, choice == 0 ? 1 : 0) << "Enter on Update Now must start the download";
        EXPECT_EQ(exiting && rungame, choice == 1) << "Enter on Update Later must end the launcher with the game";
    }
}

// The marker follows the pointer over the buttons' lines, and a click on a
// line chooses that button; elsewhere the pointer changes nothing.
TEST(Screens, TheMouseMarksAndChoosesButtons)
{
    using E = sf::Event;
    struct MouseCase {
        const char *what;
        std::function<void()> setup;
        std::vector<E> events;
        int marker;       // where the ">" stands after the events (view row)
        int downloads;    // downloads started by a click
        bool playing;     // the launcher ends with the game
    };
    const MouseCase cases[] = {
        {"over Update Later", offered, {mouse(E::MouseMoved, 60, 50)}, 48, 0, false},
        {"over Update Later, then Update Now", offered, {mouse(E::MouseMoved, 60, 50), mouse(E::MouseMoved, 60, 34)}, 32, 0, false},
        {"below the buttons", offered, {mouse(E::MouseMoved, 60, 50), mouse(E::MouseMoved, 60, 120)}, 48, 0, false},
        {"click on Update Now", offered, {mouse(E::MouseButtonPressed, 40, 36)}, 32, 1, false},
        {"click on Update Later", offered, {mouse(E::MouseButtonPressed, 40, 52)}, 48, 0, true},
        {"click on the change log", offered, {mouse(E::MouseButtonPressed, 40, 100)}, 32, 0, false},
        {"click on Play Offline", downloadFailed, {mouse(E::MouseButtonPressed, 100, 75)}, 72, 0, true},
        {"click on Retry of the no-game screen", noGame, {mouse(E::MouseButtonPressed, 20, 50)}, 48, 1, false},
    };
    for (const MouseCase &c : cases) {
        fresh();
        c.setup();
        frame();  // the buttons are on screen before the pointer reaches them
        frameWith(c.events);
        auto marker = std::find_if(drawn.begin(), drawn.end(), [](const T &t) { return std::get<0>(t) == ">"; });
        ASSERT_NE(marker, drawn.end()) << c.what << ": the menu must still be drawn";
        EXPECT_EQ(*marker, T(">", 16, c.marker)) << c.what << ": the marker";
        frame();
        waitForWorkers();
        EXPECT_EQ(downloadRuns, c.downloads) << c.what << ": downloads started";
        EXPECT_EQ(exiting && rungame, c.playing) << c.what << ": whether the launcher ends with the game";
    }
}

TEST(Screens, OddKeyPressesMarkTheSecondButton)
{
    using K = sf::Keyboard;  // frames of key presses while checking, and where the marker then stands
    const std::pair<std::vector<Keys>, int> cases[] = {
        {{{K::Up}}, 48}, {{{K::Up}, {K::Down, K::Up}}, 48}, {{{K::Down, K::Down}}, 32},
        {{{K::Up, K::Left, K::Return}}, 48}, {{{K::Space}, {K::Down}}, 48}};  // Space while checking is lost
    for (const auto &[frames, marker] : cases) {
        fresh();
        for (const Keys &keys : frames)
            frame(keys);
        offered();
        frame();
        EXPECT_EQ(drawn.at(1), T(">", 16, marker));
        EXPECT_FALSE(exiting || downloadRuns || checkRuns);
    }
    sf::Event close{sf::Event::Closed, {}};
    handleEvent(close);
    EXPECT_TRUE(exiting && !rungame);
}

TEST(Screens, DownloadAndUnpackSucceedWithNothingDrawn)
{
    fresh();
    action = kDownloadScreen, downloadComplete = downloadSuccess = true;
    frame();
    EXPECT_TRUE(drawn.empty() && action == kUnzipScreen && !exiting);
    unzipComplete = unzipSuccess = true;
    frame();
    waitForWorkers();
    EXPECT_TRUE(drawn.empty() && exiting && rungame && unzipRuns == 1);
}

// A delta that did not fit the game: the full package is fetched at once,
// with no failure screen and no question.
TEST(Screens, ADeltaThatFailedLeadsToThePackageUnasked)
{
    fresh();
    action = kUnzipScreen, unzipComplete = true, unzipWantsPackage = true;
    frame();
    waitForWorkers();
    EXPECT_TRUE(drawn.empty()) << "nothing may be drawn in the frame the package is asked for: " << drawn.size();
    EXPECT_EQ(action, kDownloadScreen) << "the download screen must follow";
    EXPECT_EQ(downloadRuns, 1) << "the download must start again, for the package";
    EXPECT_FALSE(exiting) << "the game must not start before the package is in";
}

TEST(Screens, DownloadBarAndFigures)
{
    fresh();
    action = kDownloadScreen;
    std::vector<int> marks;
    for (int i = 0; i < 130; i++) {
        frame();
        const std::string &bar = std::get<0>(drawn.at(1));
        ASSERT_TRUE(bar.size() == 64 && std::count(bar.begin(), bar.end(), '.') == 63) << bar;
        marks.push_back(int(bar.find('|')));
        EXPECT_TRUE(i == 0 || std::abs(marks[i] - marks[i - 1]) == 1);
    }
    auto [low, high] = std::minmax_element(marks.begin(), marks.end());
    EXPECT_TRUE(*low == 0 && *high == 63);  // a sweep there and back takes 126 frames
    EXPECT_EQ(std::get<0>(drawn.at(2)), "0.0 MB  0.0 MB/s");
    EXPECT_EQ(downloadBar(999, 1000) + downloadBar(1000, 1000), std::string(63, '|') + "." + std::string(64, '|'));
    EXPECT_EQ(progressLine(12345678, -1, 2100000), "12.3 MB  2.1 MB/s");
    EXPECT_EQ(progressLine(0, 8000000000, 1000000), "0.0 of 8000.0 MB  1.0 MB/s  2:13:20 left");
}

TEST(Screens, ChangeLogCutToWhatTheViewCanShow)
{
    std::string huge, snowmen;
    for (int i = 0; i < 20000; i++)
        huge += std::string(500, 'x') + "\n", snowmen += "\xe2\x98\x83";
    EXPECT_EQ(visibleChangeLog(huge).size(), 13u * 233 - 1);  // 13 lines start above y 192, 232 glyphs each
    EXPECT_EQ(visibleChangeLog("a\nb\n"), "a\nb\n");
    // Any byte may become a glyph, stray continuation bytes too; UTF-8 is cut between characters.
    EXPECT_EQ(visibleChangeLog(snowmen).size(), 232u * 3);
    EXPECT_EQ(toFontText(visibleChangeLog(std::string(1000000, '\x80'))).getSize(), 232u);
}

// Every kind of failure a worker can report has words for the player, and
// only the kinds whose detail helps show it.
TEST(Screens, EveryFailureKindHasItsWords)
{
    for (int kind = FAILURE_NONE + 1; kind < FAILURE_KIND_COUNT; kind++) {
        EXPECT_NE(std::string(failureWords(kind)), "") << failure_name(kind) << ": the screen would show no reason";
        EXPECT_EQ(failureText(kind, "").find('\n'), std::string::npos)
            << failure_name(kind) << ": an empty detail must not add an empty line";
    }
    EXPECT_EQ(failureText(FAILURE_BAD_SIGNATURE, "it was made with another key"),
              "Signature check failed\nit was made with another key")
        << "a refused signature says why on its second line";
    EXPECT_EQ(failureText(FAILURE_NO_SPACE, "the update needs 9 bytes in ../"), "Disk full")
        << "a full disk is all the player needs to know; the bytes go to the support log";
}
