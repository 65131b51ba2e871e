// The launcher's window. Creating any SFML render target opens the display,
// so it lives apart from the state that tests use without one.
#include "state.h"

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

// SFML aborts the process when it cannot open the display, already while
// constructing the window object: ask the display server first. libX11 is
// SFML's own dependency, already loaded.
bool displayAvailable()
{
#if defined(__APPLE__)
    return true;
#else
    void *x11 = dlopen("libX11.so.6", RTLD_LAZY | RTLD_LOCAL);
    if (!x11)
        return false;
    using OpenFn = void *(*)(const char *);
    using CloseFn = int (*)(void *);
    OpenFn openDisplay = reinterpret_cast<OpenFn>(dlsym(x11, "XOpenDisplay"));
    CloseFn closeDisplay = reinterpret_cast<CloseFn>(dlsym(x11, "XCloseDisplay"));
    void *display = openDisplay && closeDisplay ? openDisplay(nullptr) : nullptr;
    if (display)
        closeDisplay(display);
    dlclose(x11);
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
