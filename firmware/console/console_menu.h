// Serial console and debug monitor services the rest of the firmware calls.
#pragma once

#include <cstdint>

namespace fw {

void InitDebugMonitor();
void SetMenuSessionActive(uint8_t f);
void ClearScreen(uint8_t f);
// The diagnostics mode level, 0 once the mode expired.
uint8_t bGetDiagnosticsModeLevel();
void ResetConsoleStartFlags();
// The console output pause flag: Ctrl-S sets it, Ctrl-Q clears it; the
// console output routines read it and clear it when XON arrives.
uint8_t fIsOutputPaused();
void SetOutputPaused(uint8_t f);

// One received console byte (hot keys, line input, flow control); runs in
// the UART receive interrupt path.
void HandleConsoleCharacter(uint8_t bChar);
// The menu call deferred from the receive path, run by the background pass.
void RunPendingMenuCall();
// Until the menu system is built its character handler only records what
// it gets: copies up to dMax recorded bytes, oldest first, and returns how
// many were recorded.
uint32_t dGetRecordedConsoleCharacters(uint8_t* pbOut, uint32_t dMax);

// Used by the system tick and the stop paths of the executive.
uint8_t bGetConsoleAccessLevel();

// The controller write/read throughput test, run from the background pass.
uint8_t fGetThroughputTestRequest();
void RunThroughputTest();

// The configuration phase that sends one command to one drive for the
// drive diagnostics menu.
uint8_t RunDriveCommandPhase(uint8_t bStep);

// The configuration menu after its edit has opened, and the menu's way out
// when the configuration is being changed elsewhere.
void ConfigurationMenu();
void AbortMenuByRemoteConfiguration();

}  // namespace fw
