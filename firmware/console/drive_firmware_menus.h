// The Drive Maintenance Menu's firmware screens: a drive firmware file
// into the buffer over XMODEM or from a drive's stored copy, and the
// buffered file into the drives.
#pragma once

#include <cstdint>

namespace fw {

void ReadDriveFirmwareMenu();
void ProgramDriveFirmwareMenu();
void ConfirmDownloadAllDrives();
void ConfirmDownloadUnusedDrives();
void ConfirmDownloadDifferentFirmware();
// The stored files as the read screen's choices (up to 15).
void ListStoredDriveFirmwareFiles();
// Starts reading the stored file of option bit n (1..15): 0xFF started.
uint8_t bStartReadDriveFirmware(uint16_t wOptionBit);
// The ends of the phases the screens start, with their result.
void ReadDriveFirmwareDone(uint8_t bStatus);
void DriveFirmwareDownloadDone(uint8_t bResult);

}  // namespace fw
