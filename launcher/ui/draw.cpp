// draw_text: every text of the launcher, in the one pixel font.
#include "loop.h"
#include "screens.h"

sf::Font current_font;

void draw_text(std::string text, double x, double y, float size, sf::Color color, unsigned long style)
{
    sf::Text drawable(toFontText(text), current_font, unsigned(size));
    drawable.setStyle(sf::Uint32(style));
    drawable.setFillColor(color);
    drawable.setPosition(float(x), float(y));
    // Loading new glyphs can rebuild the font's texture, which SFML makes
    // smooth again: keep the pixels crisp after every such rebuild.
    drawable.getLocalBounds();
    const_cast<sf::Texture &>(current_font.getTexture(unsigned(size))).setSmooth(false);
    App.draw(drawable);
}
