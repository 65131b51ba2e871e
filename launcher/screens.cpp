// The per-frame screen routines. Each frame draws from the shared state alone;
// nothing is kept between frames but the activity bar's marker.
#include "state.h"

namespace {

const sf::Color kWhite(255, 255, 255, 255);
const float kTextSize = 8;

void text(const std::string &s, int x, int y)
{
    draw_text(s, x, y, kTextSize, kWhite, 0);
}

// Two buttons at `top`: the marker and both labels; returns the marked one.
int menu(int top, const char *first, const char *second)
{
    text(">", 16, top + 16 * menuChoice);
    text(first, 32, top);
    text(second, 32, top + 16);
    return menuChoice == 0 ? 0 : 1;
}

// Retry, on either screen: the next check's result must not mix with the last.
void clearCheckFlags()
{
    updateAvailable = false;
    doneCheckUpdating = false;
    updatingError = false;
}

const int kChangeLogX = 24;
const int kChangeLogY = 88;
const int kViewWidth = 256;
const int kViewHeight = 192;
const int kMinLineHeight = 8;  // no font draws lines closer than its size
const int kMinGlyphWidth = 1;

}  // namespace

// Only what can show: the lines that start above the view's bottom, each cut
// past the right edge. A huge change log then costs nothing per frame.
std::string visibleChangeLog(const std::string &log)
{
    const size_t maxLines = (kViewHeight - kChangeLogY + kMinLineHeight - 1) / kMinLineHeight;
    const size_t maxChars = (kViewWidth - kChangeLogX) / kMinGlyphWidth;
    std::string out;
    size_t at = 0;
    for (size_t line = 0; line < maxLines && at <= log.size(); line++) {
        size_t end = log.find('\n', at);
        if (end == std::string::npos)
            end = log.size();
        size_t chars = 0, cut = at;
        while (cut < end && chars < maxChars) {
            if ((log[cut] & 0xC0) != 0x80)  // a UTF-8 lead byte starts a character
                chars++;
            cut++;
        }
        while (cut < end && (log[cut] & 0xC0) == 0x80)
            cut++;  // finish the last character
        if (line > 0)
            out += '\n';
        out.append(log, at, cut - at);
        if (end == log.size())
            break;
        at = end + 1;
    }
    return out;
}

void UpdateTick()
{
    if (!doneCheckUpdating.load(std::memory_order_acquire)) {
        text("Checking for updates", 16, 16);
        return;
    }
    if (updatingError.load(std::memory_order_relaxed)) {
        text(std::string("Failed to connect to ") + kUpdateSiteName, 16, 16);
        int choice = menu(32, "Retry", "Play Offline");
        if (!spacePressed)
            return;
        if (choice == 0) {
            clearCheckFlags();
            checkThread.launch();
        } else {
            rungame = true;
            exiting = true;
        }
        return;
    }
    if (updateAvailable.load(std::memory_order_relaxed)) {
        text("Hey, you haz old client, wants to update?", 16, 16);
        int choice = menu(32, "Update Now", "Update Later");
        text("----------------UPDATE CONTAINS:-------------", 16, 64);
        text(visibleChangeLog(updateText), kChangeLogX, kChangeLogY);
        if (!spacePressed)
            return;
        if (choice == 0) {
            downloadThread.launch();
            action = 1;
        } else {
            exiting = true;
            rungame = true;
        }
        return;
    }
    exiting = true;  // up to date: straight to the game
    rungame = true;
}

void DownloadTick()
{
    static int t = 0;
    static int tdir = 1;
    if (downloadComplete.load(std::memory_order_acquire)) {
        if (downloadSuccess.load(std::memory_order_relaxed)) {
            action = 2;
            unzipThread.launch();
        } else {
            text("Download failed", 16, 16);
        }
        return;
    }
    text("Downloading...\n\nI would add a progress bar, but SFML 2.0 isn't\ncomplete yet.\n\nHave fun waiting!", 16, 16);
    std::string bar(64, '.');
    bar[size_t(t)] = '|';
    t += tdir;
    if (t == 63 || t == 0)
        tdir = -tdir;
    text(bar, 16, 96);
}

void UnzipTick()
{
    if (unzipComplete.load(std::memory_order_acquire)) {
        rungame = true;
        exiting = true;
        return;
    }
    text("Unzipping...", 16, 16);
}

void NoGameTick()
{
    text("NO GAME DETECTED!\n\nYou need to download the game at least once!", 16, 16);
    int choice = menu(48, "Retry", "Give Up");
    if (!spacePressed)
        return;
    if (choice == 0) {
        clearCheckFlags();
        downloadThread.launch();
        action = 1;
    } else {
        exiting = true;
        rungame = false;
    }
}
