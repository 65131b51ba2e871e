// What the main loop does with each event and which screen it draws.
#include "screens.h"
#include "state.h"

// Enter (SFML gives the keypad's Enter the same code) chooses as Space does;
// the marker follows the pointer over the buttons, and a click on a button's
// line chooses it.
void handleEvent(const sf::Event &event)
{
    if (event.type == sf::Event::Closed) {
        exiting = true;
    } else if (event.type == sf::Event::KeyPressed) {
        if (event.key.code == sf::Keyboard::Up || event.key.code == sf::Keyboard::Down)
            menuChoice = 1 - menuChoice;
        else if (event.key.code == sf::Keyboard::Space || event.key.code == sf::Keyboard::Enter)
            spacePressed = true;
    } else if (event.type == sf::Event::MouseMoved) {
        const int line = menuLineAt(event.mouseMove.x, event.mouseMove.y);
        if (line >= 0)
            menuChoice = line;
    } else if (event.type == sf::Event::MouseButtonPressed && event.mouseButton.button == sf::Mouse::Left) {
        const int line = menuLineAt(event.mouseButton.x, event.mouseButton.y);
        if (line >= 0) {
            menuChoice = line;
            spacePressed = true;
        }
    }
}

void drawScreen()
{
    menuTop = -1;  // the screen that draws a menu says where
    switch (action) {
    case kUpdateScreen: UpdateTick(); break;
    case kDownloadScreen: DownloadTick(); break;
    case kUnzipScreen: UnzipTick(); break;
    case kNoGameScreen: NoGameTick(); break;
    default: draw_text("HELP", 16, 16, 8, sf::Color(255, 255, 255, 255), 0); break;
    }
}
