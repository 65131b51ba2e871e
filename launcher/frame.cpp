// What the main loop does with each event and which screen it draws.
#include "screens.h"
#include "state.h"

void handleEvent(const sf::Event &event)
{
    if (event.type == sf::Event::Closed) {
        exiting = true;
    } else if (event.type == sf::Event::KeyPressed) {
        if (event.key.code == sf::Keyboard::Up || event.key.code == sf::Keyboard::Down)
            menuChoice = 1 - menuChoice;
        else if (event.key.code == sf::Keyboard::Space)
            spacePressed = true;
    }
}

void drawScreen()
{
    switch (action) {
    case kUpdateScreen: UpdateTick(); break;
    case kDownloadScreen: DownloadTick(); break;
    case kUnzipScreen: UnzipTick(); break;
    case kNoGameScreen: NoGameTick(); break;
    default: draw_text("HELP", 16, 16, 8, sf::Color(255, 255, 255, 255), 0); break;
    }
}
