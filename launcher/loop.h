// The launcher's window, its font, and the main loop around them.
#ifndef VANTORIQUE_LOOP_H
#define VANTORIQUE_LOOP_H

#include <SFML/Graphics.hpp>

extern sf::Font current_font;
extern sf::RenderWindow &App;  // built only with a display (a --verify run may have none)

#include <string>

// What every start does first, window or not: the state's start values, the
// support log (as `who`), an interrupted install finished or undone, files
// a gone run left removed, the installed version read.
void startUp(const std::string &who);
int runLauncher();
void LogErrorFunction(const char *file, int line, const char *message, bool fatal);

#endif
