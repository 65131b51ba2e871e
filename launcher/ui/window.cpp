// The launcher's window. Creating any SFML render target opens the display,
// so it lives apart from the state that tests use without one.
#include "loop.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>
#if !defined(__APPLE__)
// Xlib's two calls, declared here: its header's names (Screen, Status, None)
// clash with the launcher's and SFML's.
extern "C" {
struct _XDisplay;
_XDisplay *XOpenDisplay(const char *name);
int XCloseDisplay(_XDisplay *display);
}
#endif

namespace {

// SFML aborts the process when it cannot open the display, already while
// constructing the window object: ask the display server first.
bool displayAvailable()
{
#if defined(__APPLE__)
    return true;
#else
    _XDisplay *display = XOpenDisplay(nullptr);
    if (display)
        XCloseDisplay(display);
    return display != nullptr;
#endif
}

// Whether the command line holds `option`, before main has it: the window
// is built before main runs. Only Linux can be without a display.
bool commandLineHas(const char *option)
{
#if defined(__linux__)
    FILE *f = fopen("/proc/self/cmdline", "rb");
    if (!f)
        return false;
    char arg[256];
    size_t n = 0;
    bool found = false;
    for (int c; !found && (c = fgetc(f)) != EOF;) {
        if (c != '\0') {
            if (n + 1 < sizeof arg)
                arg[n++] = char(c);
            continue;
        }
        arg[n] = '\0';
        found = strcmp(arg, option) == 0;
        n = 0;
    }
    fclose(f);
    return found;
#else
    (void)option;
    return false;
#endif
}

// A repair from the command line opens no window: it runs without a display.
bool requireDisplay()
{
    if (displayAvailable())
        return true;
    if (commandLineHas("--verify"))
        return false;
    fputs("No display: the updater needs a graphical session\n", stderr);
    exit(1);
}

// Initialised before App: objects of one file are built in order.
const bool displayOpen = requireDisplay();

// The window is built only with a display (SFML aborts without one); a run
// without one never touches it.
alignas(sf::RenderWindow) unsigned char windowRoom[sizeof(sf::RenderWindow)];
sf::RenderWindow *built = nullptr;

sf::RenderWindow &buildWindow()
{
    if (displayOpen) {
        built = new (windowRoom) sf::RenderWindow;
        atexit([] { built->~RenderWindow(); });
    }
    return *reinterpret_cast<sf::RenderWindow *>(windowRoom);
}

}  // namespace

sf::RenderWindow &App = buildWindow();
