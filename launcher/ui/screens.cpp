// The per-frame screen routines. Each frame draws from the shared state alone;
// nothing is kept between frames but the activity bar's marker.
#include "screens.h"

#include "names.h"
#include "state.h"
#include "words.h"
#include "workers.h"

#include <stdio.h>

namespace {

const sf::Color kWhite(255, 255, 255, 255);
const float kTextSize = 8;
const int kBarColumns = 64;

void text(const std::string &s, int x, int y)
{
    draw_text(s, x, y, kTextSize, kWhite, 0);
}

const int kMenuX = 16;        // the marker's column; the labels follow
const int kMenuSpacing = 16;  // from one button's line to the next
const int kViewRight = 256;

// Two buttons at `top`: the marker and both labels. The marked button's
// index in the frame that Space chose it, -1 in every other frame.
int menu(int top, const char *first, const char *second)
{
    menuTop = top;
    text(">", kMenuX, top + kMenuSpacing * menuChoice);
    text(first, 32, top);
    text(second, 32, top + 16);
    if (!spacePressed)
        return -1;
    return menuChoice == 0 ? 0 : 1;
}

// Retry, on either screen: the next check's result must not mix with the last.
void clearCheckFlags()
{
    updateAvailable = false;
    doneCheckUpdating = false;
    updatingError = false;
}

void startDownload()
{
    clearDownloadState();
    downloadThread.launch();
    action = kDownloadScreen;
}

// Ends the loop; the installed game starts (or the no-game screen shows).
void endAndPlay()
{
    rungame = true;
    exiting = true;
}

// A failed download or install: what failed, why (a second line, when the
// reason has one, gives the detail), and the way on. Retry fetches the
// package again in both cases (a failed install deleted it).
// The title, then the reason and its detail under it; returns where the
// menu goes.
int titleAndReason(const std::string &title, const std::string &reason)
{
    const size_t lineEnd = reason.find('\n');
    text(title, 16, 16);
    text(reason.substr(0, lineEnd), 16, 32);
    if (lineEnd != std::string::npos)
        text(reason.substr(lineEnd + 1), 16, 44);
    return 56;
}

void failureScreen(const char *title, const Failure &failure)
{
    int choice = menu(titleAndReason(title, failureText(failure.kind, failure.line)), "Retry", "Play Offline");
    if (choice == 0)
        startDownload();
    else if (choice == 1)
        endAndPlay();
}

// One character of UTF-8 as the font shows it: printable ASCII and line
// breaks as they are, "?" for any other character or a broken sequence,
// nothing (0) for a carriage return. Returns the bytes it took, at least one.
size_t nextFontChar(const std::string &bytes, size_t i, sf::Uint32 &glyph)
{
    unsigned char c = (unsigned char)bytes[i];
    size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    glyph = '?';
    if (length == 0)
        return 1;
    size_t j = 1;
    while (j < length && i + j < bytes.size() && ((unsigned char)bytes[i + j] & 0xC0) == 0x80)
        j++;
    if (j < length)
        return j;  // cut short: one "?" for the broken sequence
    if (c == '\r')
        glyph = 0;
    else if (c == '\n' || (c >= 0x20 && c < 0x7F))
        glyph = c;
    return length;
}

const int kChangeLogX = 24;
const int kChangeLogY = 88;
const int kViewWidth = 256;
const int kViewHeight = 192;
const int kMinLineHeight = 8;  // no font draws lines closer than its size
const int kMinGlyphWidth = 1;

std::string megabytes(long long bytes)
{
    char out[32];
    snprintf(out, sizeof out, "%.1f", double(bytes) / 1e6);
    return out;
}

}  // namespace

// A button's line reaches from the marker's column to the view's right edge,
// from a quarter of the spacing above its text's row to the next line.
int menuLineAt(int x, int y)
{
    const int from = menuTop - kMenuSpacing / 4;
    if (menuTop < 0 || x < kMenuX || x >= kViewRight || y < from || y >= from + 2 * kMenuSpacing)
        return -1;
    return (y - from) / kMenuSpacing;
}

sf::String toFontText(const std::string &bytes)
{
    sf::String out;
    sf::Uint32 glyph;
    for (size_t i = 0; i < bytes.size();) {
        i += nextFontChar(bytes, i, glyph);
        if (glyph != 0)
            out += glyph;
    }
    return out;
}

// Only what can show: the lines that start above the view's bottom, each cut
// past the right edge, counting glyphs as draw_text will make them (any byte
// may become one). A huge change log then costs nothing per frame.
std::string visibleChangeLog(const std::string &log)
{
    const size_t maxLines = (kViewHeight - kChangeLogY + kMinLineHeight - 1) / kMinLineHeight;
    const size_t maxGlyphs = (kViewWidth - kChangeLogX) / kMinGlyphWidth;
    std::string out;
    size_t at = 0;
    for (size_t line = 0; line < maxLines && at <= log.size(); line++) {
        size_t end = log.find('\n', at);
        if (end == std::string::npos)
            end = log.size();
        size_t glyphs = 0, cut = at;
        sf::Uint32 glyph;
        while (cut < end && glyphs < maxGlyphs) {
            cut += nextFontChar(log, cut, glyph);
            glyphs += glyph != 0;
        }
        if (line > 0)
            out += '\n';
        out.append(log, at, std::min(cut, end) - at);
        if (end == log.size())
            break;
        at = end + 1;
    }
    return out;
}

// "12.3 of 48.0 MB  2.1 MB/s  0:20 left"; without a known size only what is
// known ("12.3 MB  2.1 MB/s"). MB are 10^6 bytes.
std::string progressLine(long long done, long long total, long long bytesPerSecond)
{
    std::string line = megabytes(done) + (total >= 0 ? " of " + megabytes(total) : "") + " MB  " +
                       megabytes(bytesPerSecond) + " MB/s";
    if (total >= done && bytesPerSecond > 0) {
        long long s = (total - done + bytesPerSecond - 1) / bytesPerSecond;
        char left[48];
        if (s >= 3600)
            snprintf(left, sizeof left, "  %lld:%02lld:%02lld left", s / 3600, s / 60 % 60, s % 60);
        else
            snprintf(left, sizeof left, "  %lld:%02lld left", s / 60, s % 60);
        line += left;
    }
    return line;
}

// What is being fetched, and its size once the server said it:
// "Downloading the changes (1.2 MB)", "Downloading 12 files (3.4 MB)",
// "Downloading the package (48.0 MB)".
std::string fetchingLine(int fetching, long long files, long long total)
{
    std::string line;
    if (fetching == kFetchingDelta)
        line = "Downloading the changes";
    else if (fetching == kFetchingPackage)
        line = "Downloading the package";
    else if (fetching == kFetchingFiles)
        line = "Downloading " + std::to_string(files) + (files == 1 ? " file" : " files");
    else
        return "";
    return total >= 0 ? line + " (" + megabytes(total) + " MB)" : line;
}

// The share received, one column per 64th: "|" done, "." still to come.
std::string downloadBar(long long done, long long total)
{
    if (total < 0)
        return "";
    long long filled = total == 0 ? kBarColumns : std::min<long long>(kBarColumns, done * kBarColumns / total);
    return std::string(size_t(filled), '|') + std::string(size_t(kBarColumns - filled), '.');
}

void UpdateTick()
{
    if (!doneCheckUpdating.load(std::memory_order_acquire)) {
        text("Checking for updates", 16, 16);
        return;
    }
    if (updatingError.load(std::memory_order_relaxed)) {
        // What happened, what the player can do, and the detail (the server's
        // name when it did not answer).
        const int kind = checkFailure.kind;
        std::string advice = checkFailureAdvice(kind, checkFailure.line);
        if ((kind == FAILURE_NO_ANSWER || kind == FAILURE_NONE) && advice.find('\n') == std::string::npos)
            advice += std::string("\n") + kUpdateSiteName;
        const int top = titleAndReason(checkFailureHeading(kind, checkFailure.line), advice);
        int choice = menu(top, "Retry", "Play Offline");
        if (choice == 0) {
            clearCheckFlags();
            checkThread.launch();
        } else if (choice == 1) {
            endAndPlay();
        }
        return;
    }
    if (updateAvailable.load(std::memory_order_relaxed)) {
        text(kOfferText, 16, 16);
        int choice = menu(32, "Update Now", "Update Later");
        text("----------------UPDATE CONTAINS:-------------", 16, 64);
        text(visibleChangeLog(updateText), kChangeLogX, kChangeLogY);
        if (choice == 0)
            startDownload();
        else if (choice == 1)
            endAndPlay();
        return;
    }
    const long long damage = gameDamage.load(std::memory_order_relaxed);
    if (damage > 0) {  // up to date, but files are missing or cut short
        text("The game is damaged:", 16, 16);
        text(std::to_string(damage) + (damage == 1 ? " file is" : " files are") + " missing or changed", 16, 32);
        int choice = menu(56, "Repair the game", "Play");
        if (choice == 0) {
            repairing = true;
            startDownload();
        } else if (choice == 1) {
            endAndPlay();
        }
        return;
    }
    endAndPlay();  // up to date: straight to the game
}

void DownloadTick()
{
    static int t = 0;
    static int tdir = 1;
    if (downloadComplete.load(std::memory_order_acquire)) {
        if (downloadSuccess.load(std::memory_order_relaxed)) {
            action = kUnzipScreen;
            unzipThread.launch();
        } else {
            failureScreen("Download failed", downloadFailure);
        }
        return;
    }
    // The bar counts this update's earlier transfers too (a delta, then files).
    const long long before = downloadProgress.before.load(std::memory_order_relaxed);
    const long long done = before + downloadProgress.done.load(std::memory_order_relaxed);
    const long long size = downloadProgress.total.load(std::memory_order_relaxed);
    const long long total = size < 0 ? -1 : before + size;
    const long long speed = downloadProgress.perSecond.load(std::memory_order_relaxed);
    text(kWaitingText, 16, 16);
    std::string bar = downloadBar(done, total);
    if (bar.empty()) {  // size unknown: a marker that shows the launcher is alive
        bar.assign(kBarColumns, '.');
        bar[size_t(t)] = '|';
        t += tdir;
        if (t == kBarColumns - 1 || t == 0)
            tdir = -tdir;
    }
    text(bar, 16, 96);
    text(progressLine(done, total, speed), 16, 112);
    const std::string what = fetchingLine(downloadProgress.fetching.load(std::memory_order_relaxed),
                                          downloadProgress.files.load(std::memory_order_relaxed), size);
    if (!what.empty())
        text(what, 16, 128);
}

void UnzipTick()
{
    if (unzipComplete.load(std::memory_order_acquire)) {
        if (unzipSuccess.load(std::memory_order_relaxed))
            endAndPlay();
        else if (unzipWantsPackage.load(std::memory_order_relaxed))
            startDownload();  // the delta did not fit this game: the full package, without a question
        else
            failureScreen("Update failed", unzipFailure);
        return;
    }
    text("Unzipping...", 16, 16);
    const long long total = unpackProgress.total.load(std::memory_order_relaxed);
    if (total > 0) {
        const long long done = unpackProgress.done.load(std::memory_order_relaxed);
        text(megabytes(done) + " of " + megabytes(total) + " MB", 16, 32);
        text(downloadBar(done, total), 16, 96);  // the download's bar, for the share written
    }
}

void NoGameTick()
{
    text(kNoGameText, 16, 16);
    int choice = menu(48, "Retry", "Give Up");
    if (choice == 0) {
        clearCheckFlags();
        startDownload();
    } else if (choice == 1) {
        exiting = true;
        rungame = false;
    }
}
