// A drive's identifier as the printouts show it: a serial number when all
// eight bytes are printable, else its WWN; and its enclosure and slot.
#pragma once

#include <cstdint>

namespace fw {

constexpr uint8_t NO_DRIVE_POSITION = 255;

void PrintDriveId(const uint8_t* pbIdentifier);
void PrintDriveIdAndSlot(const uint8_t* pbIdentifier, uint8_t bPosition);

}  // namespace fw
