// The launcher's window. Creating any SFML render target opens the display,
// so it lives apart from the state that tests use without one.
#include "state.h"

sf::RenderWindow App;
