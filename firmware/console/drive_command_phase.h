// The configuration phase that sends one command to one drive for the
// drive diagnostics menu and shows its data.
//
// Before the phase starts, the menu selection register holds the operation
// code, phase parameter 1 the drive's path and parameter 2 its loop ID or
// target id; for the read and write commands the configuration work buffer
// holds the block address (bytes 0-3) and the block count (bytes 4-5), both
// little-endian.
#pragma once

#include <cstdint>

namespace fw {

constexpr uint8_t CT_DRIVE_COMMAND_PHASE = 9;
// The work buffer's fields for the read and write commands.
constexpr uint32_t DRIVE_COMMAND_LBA_OFFSET = 0;
constexpr uint32_t DRIVE_COMMAND_COUNT_OFFSET = 4;

// 255 when the step is done, 16 when it is to run again later (no command
// entry or data pages free).
uint8_t RunDriveCommandPhase(uint8_t bStep);
// Start of day: no command of the phase is out.
void ClearDriveCommandFlags();

}  // namespace fw
