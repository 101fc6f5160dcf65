// Formatting the drives of the Fibre Channel drive loops that belong to no
// array and are not spares: every drive of the list is started, asked
// whether it is ready, given 512-byte blocks and formatted, all at once, as
// children of one format mother.  Drives that failed are reported on the
// console and looked at once more afterwards, one at a time, through the
// configuration phase machine.
#pragma once

#include <cstdint>

#include "config/drive_tables.h"

namespace fw {

struct KERNEL_ENTRY;

// The mother's state while its children run (the back-end completion hands
// them to fDriveFormatChildDone).
constexpr uint8_t PS_DRIVE_FORMAT = 100;

// Command types of the format children besides START STOP UNIT (5) and
// TEST UNIT READY (6).
constexpr uint8_t CT_FORMAT_MODE_SELECT = 83;   // 'S'
constexpr uint8_t CT_FORMAT_UNIT = 70;          // 'F'

// A drive's result before it has one: sense key and ASC 0xFF.
constexpr uint8_t FORMAT_NOT_FAILED = 0xFF;

#pragma pack(push, 1)
struct DRIVE_FORMAT_DRIVE {
    uint8_t bPath;          // 3 or 4
    uint8_t bLoopId;
    uint8_t bSenseKey;      // the first failure; 0 formatted, 0xFF none yet
    uint8_t bAsc;
    uint8_t bAscq;
    uint8_t fLookedAt;      // its failure had its follow-up
};

struct DRIVE_FORMAT_LIST {
    uint8_t bCount;
    DRIVE_FORMAT_DRIVE asDrive[DRIVE_SLOTS];
};
#pragma pack(pop)

// The drives of the drive slot tables on a drive loop that is up: the path 3
// column first, else the path 4 column.
void BuildDriveFormatList(DRIVE_FORMAT_LIST* psList);
// Starts formatting every drive of the list: 255 started; 16 no entry free
// (nothing started); 0 nothing to format, or a format or a drive firmware
// download is already running.  The host command hold stays set until the
// format has ended.
uint8_t StartDriveFormat(const DRIVE_FORMAT_LIST* psList);
// Records a drive's result (its first failure only) and prints a failure
// on the console.
void ReportDriveFormatFailure(KERNEL_ENTRY* psEntry, uint8_t bSenseKey, uint8_t bAsc, uint8_t bAscq);
// Once every drive has its result: phase 9 for the next drive that failed,
// or the end of the format.
void SelectNextFormatDrive();
// The end: the activity flags and the host command hold cleared, the mother
// freed.
void FinishDriveFormat();

// The per-drive commands, built into a child of the format mother.
void BuildFormatTestUnitReady(KERNEL_ENTRY* psChild);
void BuildFormatModeSelect(KERNEL_ENTRY* psChild);
void BuildFormatUnit(KERNEL_ENTRY* psChild);

// A child of a mother in state 100 came back: TRUE when it is to be freed.
uint8_t fDriveFormatChildDone(KERNEL_ENTRY* psChild, uint8_t fFailed);

// TRUE from the start of a format to its end.
uint8_t fIsDriveFormatRunning();
// The drives of the running (or last) format with their results.
const DRIVE_FORMAT_LIST* pGetDriveFormatList();

}  // namespace fw
