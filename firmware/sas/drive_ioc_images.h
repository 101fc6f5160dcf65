// The IOC firmware images the drive-side bring-up loads, one per chip
// revision, carried in the program's data.
#pragma once

#include <cstdint>

namespace fw {

// The image for a PCI revision of the drive IOC and its length in bytes;
// null when the firmware carries none for that revision.
const uint8_t* pGetDriveIOCImage(uint8_t bRevision, uint32_t* pdLength);
// The same for the SAS host ports' IOC.
const uint8_t* pGetSASTargetIOCImage(uint8_t bRevision, uint32_t* pdLength);
// The image both channels of the parallel SCSI host-port chip run.
const uint8_t* pGetHostPortIOCImage(uint32_t* pdLength);

}  // namespace fw
