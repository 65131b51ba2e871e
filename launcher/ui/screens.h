// The per-frame screens and what they draw with (main thread only).
#ifndef VANTORIQUE_SCREENS_H
#define VANTORIQUE_SCREENS_H

#include <SFML/Graphics.hpp>

#include <string>

void draw_text(std::string text, double x, double y, float size, sf::Color color, unsigned long style);
void UpdateTick();
void DownloadTick();
void UnzipTick();
void NoGameTick();
std::string visibleChangeLog(const std::string &log);
sf::String toFontText(const std::string &bytes);  // what draw_text shows of the bytes
std::string progressLine(long long done, long long total, long long bytesPerSecond);
std::string downloadBar(long long done, long long total);  // empty while the size is unknown
std::string fetchingLine(int fetching, long long files, long long total);  // a Fetching and its size; "" for nothing

// The menu line (0 or 1) of the last frame's menu under a point of the view,
// -1 for none.
int menuLineAt(int x, int y);

// Mouse events in view units (the main loop converts them from pixels).
void handleEvent(const sf::Event &event);
void drawScreen();  // the routine that `action` selects, or "HELP"

#endif
