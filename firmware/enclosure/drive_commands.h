// Blocking SCSI commands to one drive on a Fibre Channel drive loop, sent
// outside the kernel queues as one command IOCB through the loop chip's
// execute-IOCB mailbox; and the mode page settings the controller wants on
// a drive.
#pragma once

#include <cstddef>
#include <cstdint>

#include "executive/buffer_pages.h"

namespace fw {

struct DRIVE_INFO;

// The command IOCB of a drive-loop chip (command entry type 0x11), built in
// a data page; the chip writes its status entry back over the same page.
#pragma pack(push, 1)
struct DRIVE_COMMAND_IOCB {
    uint8_t bEntryType;
    uint8_t bEntryCount;
    uint8_t bSystemDefined;
    uint8_t bEntryStatus;
    uint32_t dHandle;
    uint16_t wTarget;
    uint16_t wLun;
    uint16_t wControlFlags;
    uint16_t wReserved14;
    uint16_t wTimeout;
    uint16_t wSegmentCount;
    uint8_t abCdb[16];
    uint32_t dTotalByteCount;
    uint32_t dSegmentAddress;
    uint32_t dSegmentLength;
    uint8_t abReserved48[16];
};
static_assert(sizeof(DRIVE_COMMAND_IOCB) == 64);
static_assert(offsetof(DRIVE_COMMAND_IOCB, wTarget) == 8);
static_assert(offsetof(DRIVE_COMMAND_IOCB, wControlFlags) == 12);
static_assert(offsetof(DRIVE_COMMAND_IOCB, wTimeout) == 16);
static_assert(offsetof(DRIVE_COMMAND_IOCB, abCdb) == 20);
static_assert(offsetof(DRIVE_COMMAND_IOCB, dTotalByteCount) == 36);
static_assert(offsetof(DRIVE_COMMAND_IOCB, dSegmentAddress) == 40);
static_assert(offsetof(DRIVE_COMMAND_IOCB, dSegmentLength) == 44);
#pragma pack(pop)

// Status entry fields read back from the page.
constexpr uint32_t DRIVE_STATUS_SCSI_STATUS = 8;      // u16: low byte status, bit 9 sense valid
constexpr uint32_t DRIVE_STATUS_COMPLETION = 10;      // u16: 0 complete, 0x15 data underrun
constexpr uint32_t DRIVE_STATUS_SENSE_KEY = 34;
constexpr uint32_t DRIVE_STATUS_ASC = 44;
constexpr uint32_t DRIVE_STATUS_ASCQ = 45;
constexpr uint16_t DRIVE_COMPLETION_GOOD = 0;
constexpr uint16_t DRIVE_COMPLETION_UNDERRUN = 0x15;

// What a command reported: filled only when the command came back.
struct DRIVE_COMMAND_RESULT {
    uint8_t* pbStatus;
    uint8_t* pbSenseKey;
    uint8_t* pbAsc;
    uint8_t* pbAscq;
};

// Builds the IOCB (target already a loop ID).
void BuildDriveCommandIocb(DRIVE_COMMAND_IOCB* psIocb, uint8_t bLoopId, uint8_t bLun, uint16_t wTimeout,
                           const uint8_t* pbCdb, uint8_t bCdbLength, uint8_t bDirection, uint32_t dLength,
                           uint32_t dAddress);
// Reads a status entry: the out-bytes as the command came back (sense only
// for CHECK CONDITION with valid sense); 255 good, else 0.
uint8_t bReadDriveCommandStatus(const uint8_t* pbEntry, uint8_t fUnderrunGood, const DRIVE_COMMAND_RESULT& sOut);

// Each takes the drive-loop chip (1-4), the drive's AL_PA, the LUN and the
// timeout; answers 255 or 0.
uint8_t bTestDriveUnitReady(uint8_t bChip, uint8_t bAlpa, uint8_t bLun, uint16_t wTimeout, uint8_t* pbStatus,
                            uint8_t* pbSenseKey, uint8_t* pbAsc, uint8_t* pbAscq);
uint8_t bStartDriveUnit(uint8_t bChip, uint8_t bAlpa, uint8_t bLun, uint16_t wTimeout, uint8_t* pbStatus,
                        uint8_t* pbSenseKey, uint8_t* pbAsc, uint8_t* pbAscq);
uint8_t bInquireDrive(uint8_t bChip, uint8_t bAlpa, uint8_t bLun, uint16_t wTimeout, uint8_t* pbStatus,
                      uint8_t* pbSenseKey, uint8_t* pbAsc, uint8_t* pbAscq, BUFFER_HANDLE dBuffer, uint8_t bLength);
uint8_t bReadDriveCapacity(uint8_t bChip, uint8_t bAlpa, uint8_t bLun, uint16_t wTimeout, uint8_t* pbStatus,
                           uint8_t* pbSenseKey, uint8_t* pbAsc, uint8_t* pbAscq, BUFFER_HANDLE dBuffer);
uint8_t bModeSenseDrive(uint8_t bChip, uint8_t bAlpa, uint8_t bLun, uint16_t wTimeout, uint8_t* pbStatus,
                        uint8_t* pbSenseKey, uint8_t* pbAsc, uint8_t* pbAscq, BUFFER_HANDLE dBuffer, uint8_t bLength,
                        uint8_t bPage, uint8_t bPageControl);
uint8_t bModeSelectDrive(uint8_t bChip, uint8_t bAlpa, uint8_t bLun, uint16_t wTimeout, uint8_t* pbStatus,
                         uint8_t* pbSenseKey, uint8_t* pbAsc, uint8_t* pbAscq, BUFFER_HANDLE dBuffer, uint8_t bLength,
                         uint8_t fSave);
uint8_t bReadDriveBlocks(uint8_t bChip, uint8_t bAlpa, uint8_t bLun, uint16_t wTimeout, uint8_t* pbStatus,
                         uint8_t* pbSenseKey, uint8_t* pbAsc, uint8_t* pbAscq, uint32_t dLba, uint16_t wBlocks,
                         BUFFER_HANDLE dBuffer);
uint8_t bReadDriveBuffer(uint8_t bChip, uint8_t bAlpa, uint8_t bLun, uint16_t wTimeout, uint8_t* pbStatus,
                         uint8_t* pbSenseKey, uint8_t* pbAsc, uint8_t* pbAscq, uint8_t bBufferId, uint32_t dLength,
                         BUFFER_HANDLE dBuffer);

// Mode pages: MODE SENSE(6) replies for all pages (a 4-byte header, one
// 8-byte block descriptor, the pages) with current, default and changeable
// values, each in a buffer of MODE_PAGE_BUFFER_BYTES.  Works out the values
// the controller wants into the current pages; TRUE when they changed and
// are ready for MODE SELECT.
constexpr uint32_t MODE_PAGE_BUFFER_BYTES = 256;
uint8_t fAdjustDriveModePages(const DRIVE_INFO* psDrive, uint8_t* pbCurrent, const uint8_t* pbDefault,
                              const uint8_t* pbChangeable);

}  // namespace fw
