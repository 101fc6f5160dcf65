// Drive firmware files: the header a file carries in its first 1024 bytes,
// and the check every file passes before it is sent to a drive or kept.
#pragma once

#include <cstddef>
#include <cstdint>

#include "enclosure/drive_table.h"

namespace fw {

constexpr uint32_t DRIVE_FIRMWARE_SIGNATURE_BYTES = 20;
// What every drive firmware file of this controller starts with.
extern const uint8_t DRIVE_FIRMWARE_SIGNATURE[DRIVE_FIRMWARE_SIGNATURE_BYTES];
constexpr uint32_t DRIVE_FIRMWARE_HEADER_BYTES = 1024;
constexpr uint32_t DRIVE_FIRMWARE_MAX_LENGTH = 0x400000;
constexpr uint8_t DRIVE_FIRMWARE_MAX_REGIONS = 32;
// Kind 2: drives found through the SAS device list, an 8-character
// revision, and a slot power cycle after the download.
constexpr uint8_t DRIVE_FIRMWARE_KIND_SAS_LIST = 2;
// A download leaves a copy of its file this many blocks before the drive's
// last block, where the drive table rebuild looks for it.
constexpr uint32_t DRIVE_FIRMWARE_COPY_BLOCKS_BEFORE_END = 16384;

#pragma pack(push, 1)
struct DRIVE_FIRMWARE_REGION {
    uint32_t dLength;
    uint32_t dSeed;               // XORed with the region's words gives 0
    uint32_t dOffset;             // from the start of the file
    uint32_t dLargestTransfer;    // bytes per WRITE BUFFER
    uint8_t abUnused[4];
    uint8_t fOffsetField;         // TRUE: the buffer offset of the CDB counts up
    uint8_t bMode;                // WRITE BUFFER mode, low 3 bits
    uint8_t bBufferId;
    uint8_t bUnused;
};
static_assert(sizeof(DRIVE_FIRMWARE_REGION) == 24);

struct DRIVE_FIRMWARE_FILE_HEADER {
    uint8_t abSignature[DRIVE_FIRMWARE_SIGNATURE_BYTES];
    uint32_t dTotalLength;
    uint32_t dIgnored24;
    uint8_t bRegionCount;
    uint8_t bPairCount;
    uint8_t bIgnored30;
    uint8_t fAllDrives;           // may go to every drive in one pass
    uint8_t fModePages;           // the controller's mode page values afterwards
    uint8_t bFileKind;
    uint8_t abIgnored34[2];
    char acRevision[4];
    DRIVE_FIRMWARE_REGION asRegion[DRIVE_FIRMWARE_MAX_REGIONS];
    DRIVE_FIRMWARE_IMAGE_PAIR asPair[DRIVE_FIRMWARE_IMAGE_PAIRS];
    char acRevision8[8];          // kind 2
    uint8_t abTail[16];
};
static_assert(sizeof(DRIVE_FIRMWARE_FILE_HEADER) == DRIVE_FIRMWARE_HEADER_BYTES);
static_assert(offsetof(DRIVE_FIRMWARE_FILE_HEADER, dTotalLength) == 20);
static_assert(offsetof(DRIVE_FIRMWARE_FILE_HEADER, bRegionCount) == 28);
static_assert(offsetof(DRIVE_FIRMWARE_FILE_HEADER, bFileKind) == 33);
static_assert(offsetof(DRIVE_FIRMWARE_FILE_HEADER, acRevision) == 36);
static_assert(offsetof(DRIVE_FIRMWARE_FILE_HEADER, asRegion) == 40);
static_assert(offsetof(DRIVE_FIRMWARE_FILE_HEADER, asPair) == 808);
static_assert(offsetof(DRIVE_FIRMWARE_FILE_HEADER, acRevision8) == 1000);
#pragma pack(pop)

// TRUE when the file (of dAvailable bytes; only its header with
// fHeaderOnly) passes its checks; fStopAtFirst ends at the first fault,
// otherwise every fault is printed.
uint8_t bCheckDriveFirmwareFile(const uint8_t* pbFile, uint32_t dAvailable, uint8_t fHeaderOnly,
                                uint8_t fStopAtFirst);

}  // namespace fw
