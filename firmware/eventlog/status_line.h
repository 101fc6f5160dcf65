// The status line: a two-line snapshot of the controller's load for the
// console, printed by the debug dump and the console's debug hot key.
#pragma once

#include <cstdint>

namespace fw {

// TRUE: the polled form, written straight to the UART (for when interrupts
// cannot be relied on); anything else the console's own output.  Resets the
// maximum of cached writes held and the peak page counts of both banks.
void PrintStatusLine(uint8_t fPolled);

}  // namespace fw
