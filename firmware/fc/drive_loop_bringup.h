// Drive-loop bring-up: the two drive loops from a reset or a loop event to
// drives the controller can use, run as a configuration phase at start of
// day and from the main loop whenever a drive loop saw a LIP.
#pragma once

#include <cstdint>

namespace fw {

void BringUpDriveLoops();
// A board that fits the drive-loop chips: their rings and tables, the
// chips started with their firmware running from reset, their interrupt
// path, and bring-up asked for at the first background pass.
void StartDriveLoopChips();
// The step bring-up is in (0 idle), for dumps and diagnostics.
uint8_t bGetDriveLoopBringUpStep();
// The loop's number of AL_PAs in its map after the last bring-up.
uint8_t bGetDriveLoopDeviceCount(uint8_t bPort);

}  // namespace fw
