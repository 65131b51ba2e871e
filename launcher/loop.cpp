// Start-up, the main loop, and what happens when it ends.
#include "loop.h"

#include "choice.h"
#include "download.h"
#include "fsutil.h"
#include "install.h"
#include "log.h"
#include "names.h"
#include "rollout.h"
#include "release.h"
#include "running.h"
#include "screens.h"
#include "state.h"
#include "version.h"
#include "workers.h"

#include <fcntl.h>
#include <cmath>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const unsigned kTextSize = 8;

void drawBackground(sf::Sprite &tile)
{
    const sf::Vector2f view = App.getView().getSize();
    const sf::FloatRect bounds = tile.getLocalBounds();
    for (int i = 0; view.x / bounds.width > i; i++) {
        for (int j = 0; view.y / bounds.height > j; j++) {
            tile.setPosition(32.f * i, 32.f * j);
            tile.setColor(sf::Color(128, 128, 128, 255));
            App.draw(tile);
        }
    }
}

// The pointer's position arrives in window pixels; the screens place their
// buttons in view units.
void toViewUnits(sf::Event &event)
{
    int *x = event.type == sf::Event::MouseMoved ? &event.mouseMove.x
             : event.type == sf::Event::MouseButtonPressed || event.type == sf::Event::MouseButtonReleased
                 ? &event.mouseButton.x
                 : nullptr;
    int *y = event.type == sf::Event::MouseMoved ? &event.mouseMove.y : &event.mouseButton.y;
    if (!x)
        return;
    const sf::Vector2f point = App.mapPixelToCoords(sf::Vector2i(*x, *y));
    *x = int(std::floor(point.x));
    *y = int(std::floor(point.y));
}

// SFML opens its files blocking: a FIFO put in an asset's place would hang
// the window before its first frame, so only a regular file is handed on.
bool regularFile(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

bool gameInstalled()
{
    struct stat st;
    return stat((std::string(kGameParent) + kGameFolder).c_str(), &st) == 0;
}

// Starts the installed game and lets it outlive the launcher.
void launchGame()
{
#ifdef __APPLE__
    // The names hold no quote (names.cmake), so quoting keeps spaces whole.
    system(("open \"" + std::string(kGameParent) + kGameFolder + "\"").c_str());
#else
    const std::string program = std::string(kGameParent) + kGameFolder + "/" + kGameProgram;
    const char *kExecutable = program.c_str();
    fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        setsid();  // its own session: closing the launcher's terminal leaves it running
        if (fork() == 0) {
            int devnull = open("/dev/null", O_RDONLY);
            if (devnull >= 0)
                dup2(devnull, STDIN_FILENO);
            execl(kExecutable, kExecutable, (char *)nullptr);
            _exit(127);
        }
        _exit(0);
    }
    if (child > 0)
        waitpid(child, nullptr, 0);
#endif
}

}  // namespace

void LogErrorFunction(const char *file, int line, const char *message, bool fatal)
{
    logLine("Fatal error in %s on line %d: %s", file, line, message);
    // Never through a link, never waiting on a FIFO put in its place.
    Fd fd(open("errorlog.txt", O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
    struct stat st;
    if (fd.fd >= 0 && fstat(fd.fd, &st) == 0 && S_ISREG(st.st_mode))
        dprintf(fd.fd, "Fatal error in %s on line %d: %s\r\n", file, line, message);
    if (fatal)
        exit(42);
}

void startUp(const std::string &who)
{
    resetLauncherState();
    startSupportLog(who);
    logStartNotes();
    recoverInterruptedInstall(installPlaces());
    // Its signature was checked (if at all) by a run that is gone: a next
    // update fetches it again with a fresh check.
    discardDownload(kPackageName, "an interrupted update left it");
    discardDownload(kDeltaName, "an interrupted update left it");
    discardDownload(kSpansName, "an interrupted update left it");
    discardDownload(kLauncherDownload, "an interrupted update left it");
    discardDownload(kIncomingIndexName, "an interrupted update left it");
    vantoriqueVersion = readVersionFile(kVersionFile);
    installId(kInstallIdFile);  // made at the first start; a staged rollout counts on it
    char folder[4096];
    logLine("Launcher folder %s, installed version %d", getcwd(folder, sizeof folder) ? folder : "?", vantoriqueVersion);
}

int runLauncher()
{
    startUp("launcher " + std::to_string(launcherVersion));

    App.create(sf::VideoMode(512, 384), kWindowTitle, sf::Style::Titlebar | sf::Style::Close,
               sf::ContextSettings(24, 8, 0));
    App.setFramerateLimit(30);
    App.setView(sf::View(sf::FloatRect(0, 0, 256, 192)));

    // The font and the background are the running release's own.
    const std::string font = releaseFile("flashpunk.ttf"), backgroundFile = releaseFile("background.png");
    if (regularFile(font.c_str()) && current_font.loadFromFile(font)) {
        for (sf::Uint32 c = 32; c < 127; c++)
            current_font.getGlyph(c, kTextSize, false);
        const_cast<sf::Texture &>(current_font.getTexture(kTextSize)).setSmooth(false);
    }
    sf::Texture background;
    if (!regularFile(backgroundFile.c_str()) || !background.loadFromFile(backgroundFile))
        LogErrorFunction(__FILE__, __LINE__, "Could not start game. Background failure.", true);
    background.setSmooth(false);
    sf::Sprite tile(background);
    tile.setPosition(0, 0);
    tile.setScale(1, 1);
    tile.setRotation(0);
    tile.setColor(sf::Color(255, 255, 255, 255));

    checkThread.launch();

    for (bool shown = false;;) {
        while (!exiting) {
            // A newer launcher is in place: it starts in this one's stead.
            if (launcherReplaced.load(std::memory_order_acquire))
                break;
            sf::Event event;
            while (App.pollEvent(event)) {
                toViewUnits(event);
                handleEvent(event);
            }
            App.clear(sf::Color(0, 0, 0, 255));
            drawBackground(tile);
            drawScreen();
            App.display();
            if (!shown) {
                firstFrameShown(runningRelease);  // this release starts: its start counts as good
                shown = true;
            }
            spacePressed = false;
        }
        // About to hand over to a game that is not there, and no install has
        // just brought one: offer to fetch it instead.
        const bool justInstalled = unzipComplete.load(std::memory_order_acquire) && unzipSuccess.load(std::memory_order_relaxed);
        if (rungame && !justInstalled && !gameInstalled()) {
            action = kNoGameScreen;
            exiting = false;
            rungame = false;
            continue;
        }
        break;
    }

    abortTransfers = true;
    // The install recorded its version itself, before it finished.
    if (rungame) {
        logLine("Starting the game %s%s", kGameParent, kGameFolder);
        launchGame();
    }
    App.close();
    // A running unpack finishes (no half-written files); a download has been
    // told to stop; a check ends within its time limit.
    checkThread.wait();
    downloadThread.wait();
    unzipThread.wait();
    return 0;
}
