// The debug monitor: a command-line interpreter for service engineers that
// takes the place of the current menu while it is on.
#pragma once

#include <cstdint>

namespace fw {

// Start-up: the command log is cleared.
void ClearDebugCommandLog();
void EnterDebugMonitor();
uint8_t fIsDebugMonitorActive();
void SetDebugMonitorActive(uint8_t f);
// The monitor's line editor, fed by the console character handler.
void DebugMonitorInputCharacter(uint8_t bChar);

}  // namespace fw
