// The launcher's window. Creating any SFML render target opens the display,
// so it lives apart from the state that tests use without one.
#include "loop.h"

#include <stdio.h>
#include <stdlib.h>
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

bool requireDisplay()
{
    if (displayAvailable())
        return true;
    fputs("No display: the updater needs a graphical session\n", stderr);
    exit(1);
}

// Initialised before App: objects of one file are built in order.
const bool displayChecked = requireDisplay();

}  // namespace

sf::RenderWindow App;
