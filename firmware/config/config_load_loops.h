// The configuration load from drives on the Fibre Channel drive loops (paths
// 3 and 4), used by the drive-loop bring-up.
#pragma once

#include <cstdint>

#include "executive/buffer_pages.h"

namespace fw {

// Drives whose first blocks one load keeps.
constexpr uint8_t LOOP_DRIVE_RECORDS = 128;

// Reads a drive's copy (or only its first blocks) into the buffer: 255, or
// 0 when the drive did not answer READ CAPACITY or the READ.
uint8_t ReadConfigFromFcDrive(uint8_t bPath, uint8_t bAlpa, uint8_t fHeaderOnly, BUFFER_HANDLE dBuffer);
void LoadConfigFromLoopDrives();
// Installs the copy the collected records point to, else the default image.
void RebuildConfigFromDriveRecords(uint8_t bCount);

}  // namespace fw
