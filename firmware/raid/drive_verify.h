// Background drive verify: every drive the controller reaches (array
// members, spares, unassigned drives) is read back with VERIFY(10), a range
// at a time, so that a bad block is found and mended before a rebuild needs
// it.  A range that fails is walked again block by block; each bad block is
// reassigned by the drive and its contents written anew: from the mirror,
// the parity group or the RAID 6 row on an array member, zeros elsewhere.
// A failure inside the configuration copy at the end of a drive has the
// copy written again instead.  The pass that picks drives and ranges is
// drive management's; this module holds the commands, their completions,
// the repair, the counters and the display.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;
struct DRIVE_INFO;

// Command types of the verify and its repair.
constexpr uint8_t CT_VERIFY_RANGE = 12;
constexpr uint8_t CT_VERIFY_BLOCK = 13;
constexpr uint8_t CT_VERIFY_REASSIGN = 14;
constexpr uint8_t CT_VERIFY_REPAIR_WRITE = 176;
constexpr uint8_t CT_VERIFY_MIRROR_READ = 177;
constexpr uint8_t CT_VERIFY_PARITY_READ = 178;
constexpr uint8_t CT_VERIFY_R6_READ = 251;
constexpr uint8_t CT_VERIFY_R6_WRITE = 253;

// The configuration copy lives in the last blocks of every drive.
constexpr uint32_t VERIFY_CONFIG_AREA_BLOCKS = 32768;

constexpr uint8_t EVENT_BLOCK_REASSIGNED = 113;

// A VERIFY(10) of wBlocks from dLba on the drive (fSingleBlock: one block
// of a range being walked).  255 queued, 16 when the drive is not in the
// drive table or no entry is free.
uint8_t IssueDriveVerifyCommand(uint8_t bPort, uint8_t bDriveId, uint16_t wBlocks, uint32_t dLba, uint8_t fSingleBlock);

// Power management's functional verify of a drive, by its level: a range
// verify whose bad blocks are mended as the background verify's are, but
// counted by its level; its end is told to drive spin control.
constexpr uint8_t VERIFY_SUBCODE_APM_LEVEL1 = 0xC1;
constexpr uint8_t VERIFY_SUBCODE_APM_LEVEL2 = 0xC2;
uint8_t IssueDriveFunctionalVerify(uint8_t bDriveId, uint16_t wBlocks, uint32_t dLba, uint8_t bSubCode);

// Completions, by command type, from the back-end completion.  Each keeps
// or frees its entry itself.
void DriveVerifyCommandCompleteHandler(KERNEL_ENTRY* psCommand);
void fDriveVerifyBlockCommandCompleteHandler(KERNEL_ENTRY* psCommand);
void DriveVerifyRepairCompleteHandler(KERNEL_ENTRY* psCommand);
void DriveRepairCommandCompleteHandler(KERNEL_ENTRY* psChild);

// Writes the reassigned block dLba of the drive anew for the walk psWalk,
// which waits for it.  TRUE when the write was started, FALSE when nothing
// can be written (no redundancy, a member group already short, no entries
// or pages): the walk goes on.
uint8_t RepairDriveRange(KERNEL_ENTRY* psWalk, const DRIVE_INFO* psDrive, uint32_t dLba, uint32_t dBlocks);

// TRUE when the command's range ends within the configuration copy's area
// at the end of its drive.
uint8_t DecrementDriveVerificationCommandCounter(const KERNEL_ENTRY* psCommand);
void CountDriveVerifyError(const KERNEL_ENTRY* psCommand);

// Verify commands in flight (a walk with its repair counts as one).
void IncrementDriveVerifyOutstanding();
void DecrementDriveVerifyOutstanding();
void SetDriveVerifyOutstanding(uint32_t dCount);
uint32_t dGetDriveVerifyOutstanding();
// A new configuration: every drive's verify starts again at block 0.
void ResetDriveVerifyState();

// Single commands of the drive diagnostics, each to a drive of the drive
// table or a SAS target, with a buffer of its own freed with it: 255
// queued, 0 when the drive is absent or no entry or pages are free.
// READ LONG of the block, then WRITE LONG of it with its bytes spoiled (the
// drive then fails reads of it until it is written again).
uint8_t BuildReadLong512Command(uint8_t bDrive, uint32_t dLba);
// WRITE LONG of the block (with a count of 2 or more, of that many blocks
// one after another), spoiling what the buffer's fill pattern does not say.
uint8_t BuildWriteLongCommand(uint8_t bDrive, uint32_t dLba, uint16_t wCount);
uint8_t BuildReadBlockCommand(uint8_t bDrive, uint32_t dLba);
// The drive test of the drive retry table: REQUEST SENSE to the target.
// 255 queued, 0 when the drive is absent or nothing is free, 254 for a
// target the drive side does not list.
uint8_t BuildRequestSenseCommand(uint8_t bTarget);
// The answer of the drive test: a drive predicting its own failure is
// marked so and logged.
void DiagnosticCommandCompleteHandler(KERNEL_ENTRY* psCommand);

// Command type and steps of the diagnostic single commands.
constexpr uint8_t CT_DIAGNOSTIC = 90;
constexpr uint8_t DIAGNOSTIC_READ_LONG = 186;
constexpr uint8_t DIAGNOSTIC_WRITE_LONG = 187;
constexpr uint8_t DIAGNOSTIC_WRITE_LONG_REPEAT = 188;
constexpr uint8_t DIAGNOSTIC_READ_BLOCK = 189;
constexpr uint8_t DIAGNOSTIC_REQUEST_SENSE = 196;

// "Background Drive Verify Information:" (master, verify enabled).
void ShowBackgroundDriveVerifyInfo();

}  // namespace fw
