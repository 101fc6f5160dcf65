// Console input: the UART receive service.  Every received byte goes to the
// XMODEM receiver while a file receive owns the console, else to the menu
// character handler; no key is interpreted here.
#pragma once

#include <cstdint>

namespace fw {

// Start-up switches the receive interrupt on once, near the end of the
// controller initialisation; its argument is ignored.
void EnableConsoleInput(uint32_t dUnused = 0);

// FIQ service of the UART: hands on every byte waiting in the receive FIFO.
void ServiceConsoleInput();

}  // namespace fw
