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
// Keys typed while a menu call waited, handed on once it ran (main loop),
// until one of them calls a menu again.
void HandOnTypedAheadKeys();
// A new session starts without them.
void DropTypedAheadKeys();
// The management protocol gives the console back to the menus.
void OpenMainMenu();

}  // namespace fw
