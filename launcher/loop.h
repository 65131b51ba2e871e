// The launcher's window, its font, and the main loop around them.
#ifndef VANTORIQUE_LOOP_H
#define VANTORIQUE_LOOP_H

#include <SFML/Graphics.hpp>

extern sf::Font current_font;
extern sf::RenderWindow App;

int runLauncher();
void LogErrorFunction(const char *file, int line, const char *message, bool fatal);

#endif
