// Drive locate: for a given time the controller sends a drive TEST UNIT
// READY after TEST UNIT READY, so that its activity indicator flickers, and
// the enclosure shows the drive's locate state.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;

constexpr uint8_t COMMAND_TYPE_DRIVE_LOCATE = 10;
constexpr uint8_t LOCATE_BY_ENCLOSURE = 128;

// Type 128 is the enclosure's own locate; any other type locates the
// drive with this target id for the given seconds.  Dropped when no entry
// is free.
void SendDriveLocateCommand(uint8_t bType, uint8_t bTarget, uint8_t bSeconds);
// The back-end completion of a locate command: TRUE when the locate has
// ended (the entry may be freed), FALSE when it was sent again.
uint8_t ContinueDriveLocate(KERNEL_ENTRY* psEntry);

}  // namespace fw
