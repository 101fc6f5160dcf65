// Console character handling: flow control, Ctrl-E, line editing with
// echo, the hand-over of completed lines to the menus, the double Ctrl-C
// reset, the service phrases and hidden commands, and the diagnostic hot
// keys.
#pragma once

#include <cstdint>

namespace fw {

// One received byte; runs in the UART receive service of the fast
// interrupt.
void HandleConsoleCharacter(uint8_t bChar);
// The management protocol gives the console back to the menus.
void OpenMainMenu();

}  // namespace fw
