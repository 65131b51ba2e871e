// draw_text: every text of the launcher, in the one pixel font.
#include "state.h"

namespace {

// UTF-8 to what the font can show: printable ASCII and line breaks; "?" for
// any other character or a broken sequence, nothing for a carriage return.
sf::String toFontText(const std::string &bytes)
{
    sf::String out;
    size_t i = 0;
    while (i < bytes.size()) {
        unsigned char c = (unsigned char)bytes[i];
        size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        if (length == 0) {
            out += '?';
            i++;
            continue;
        }
        size_t j = 1;
        while (j < length && i + j < bytes.size() && ((unsigned char)bytes[i + j] & 0xC0) == 0x80)
            j++;
        if (j < length) {
            out += '?';  // cut short: one "?" for the broken sequence
            i += j;
            continue;
        }
        if (c == '\r') {
        } else if (c == '\n' || (c >= 0x20 && c < 0x7F)) {
            out += sf::Uint32(c);
        } else {
            out += '?';
        }
        i += length;
    }
    return out;
}

}  // namespace

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
