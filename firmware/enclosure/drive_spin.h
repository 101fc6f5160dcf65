// The power state of every drive position and the drive-level mechanics of
// power management: marks, drive sets, staggered spin-ups (never more than
// eight drives starting at once) and spin-downs, and the START STOP UNIT,
// TEST UNIT READY and SEND DIAGNOSTIC commands with their completion.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;
struct BACKGROUND_PROCESS;

// Drive positions: enclosures 1-16, slots 1-32.
constexpr uint8_t APM_ENCLOSURES = 16;
constexpr uint8_t APM_SLOTS = 32;

// A set of drive positions: one word per enclosure, bit (slot − 1).
struct DRIVE_MASK_SET {
    uint32_t adEnclosure[APM_ENCLOSURES];
};

// A drive's power state.
constexpr uint8_t DRIVE_APM_SPUN_DOWN = 1;
constexpr uint8_t DRIVE_APM_SPUN_UP = 2;
constexpr uint8_t DRIVE_APM_SPINNING_UP = 3;
constexpr uint8_t DRIVE_APM_INVALID = 0xF1;

// At most this many drives spin up at once, and a pass of the spin job
// sends at most this many STOPs.
constexpr uint8_t APM_MAX_SPINNING_UP = 8;
constexpr uint8_t APM_MAX_STOPS_PER_PASS = 8;
// A drive that has not come ready after this many STARTs, or this long
// after its first, is taken as up: its commands then meet whatever is
// wrong with it, and it fails the usual way rather than hold its array's
// commands and a commit for ever.
constexpr uint8_t APM_START_LIMIT = 3;
constexpr uint64_t APM_SPIN_UP_LIMIT_MS = 60'000;
// A drive that refuses this many STOPs in a row is left spun up until the
// next request to park it.
constexpr uint8_t APM_STOP_LIMIT = 3;

// The spin job's place on the background job list.
constexpr uint8_t APM_SPIN_JOB_TYPE = 3;
constexpr uint8_t APM_SPIN_JOB_ACTION = 1;
constexpr uint8_t APM_SPIN_CALLBACKS = 66;

// Start of day: every table and list empty.
void InitPowerManagementTables();

uint8_t bGetDriveAPMState(uint8_t bEnclosure, uint8_t bSlot);
void MarkDriveSpunDown(uint8_t bEnclosure, uint8_t bSlot);
uint8_t bMarkDriveSpunUp(uint8_t bEnclosure, uint8_t bSlot);
void MarkDriveSpinningUp(uint8_t bEnclosure, uint8_t bSlot);
// The partner's marks: no message back, no event.
void SetDriveSpunDownBit(uint8_t bEnclosure, uint8_t bSlot);
void ClearDriveSpinBits(uint8_t bEnclosure, uint8_t bSlot);
void SetDriveAPMTestBit(uint8_t bEnclosure, uint8_t bSlot);
void ClearDriveAPMTestBit(uint8_t bEnclosure, uint8_t bSlot);
uint8_t fIsDriveAPMTestRunning(uint8_t bEnclosure, uint8_t bSlot);
void ClearDriveAPMTestMask();
uint8_t bCountSpinningUpDrives();
uint8_t bCountDrivesUnderTest();

void ClearDriveSet(DRIVE_MASK_SET* psSet);
void AddDriveToSet(DRIVE_MASK_SET* psSet, uint8_t bEnclosure, uint8_t bSlot);
void RemoveDriveFromSet(DRIVE_MASK_SET* psSet, uint8_t bEnclosure, uint8_t bSlot);
uint8_t fIsDriveInSet(const DRIVE_MASK_SET* psSet, uint8_t bEnclosure, uint8_t bSlot);

// Spin-up of a set, the routine called (with its argument) once every drive
// of it is up: 255, or 16 when the request cannot be taken (more than 65
// routines waiting, or no job entry free).
uint8_t bRequestDriveSpinUp(const DRIVE_MASK_SET* psSet, void (*pfnDone)(void*), void* pArgument);
uint8_t bRequestDriveSpinDown(const DRIVE_MASK_SET* psSet);
// One drive: 0 for a position out of range, 255 when it is already in the
// state asked, else the request's status.
uint8_t bSpinDriveUpDown(uint8_t bEnclosure, uint8_t bSlot, uint8_t fSpinUp);
// A drive the operator started himself: spinning up until its TEST UNIT
// READY answers, polled by the spin job like any other.
void WatchDriveSpinUp(uint8_t bEnclosure, uint8_t bSlot);
// Every spun-down position into the set; the count.
uint8_t bCollectSpunDownDrives(DRIVE_MASK_SET* psSet);
void ClearPendingSpinDowns();

// The drive commands: 255 queued, 16 no command entry free, 0 no drive
// at that position.  A request (management) is answered when the command
// ends.
uint8_t bStartStopDrive(uint8_t bEnclosure, uint8_t bSlot, uint8_t fStart, uint8_t fHasRequest,
                        KERNEL_ENTRY* psRequest);
uint8_t bTestDriveReady(uint8_t bEnclosure, uint8_t bSlot, uint8_t fHasRequest, KERNEL_ENTRY* psRequest);
// Mode 128 clears the drive's test bit once queued; any other sets it.
uint8_t bStartDriveSelfTest(uint8_t bEnclosure, uint8_t bSlot, uint8_t bMode, uint8_t fHasRequest,
                            KERNEL_ENTRY* psRequest);
// The end of a drive command of power management: the pass-through entry
// of the host command path, its three status bytes the drive's answer.
void APMDriveCommandComplete(KERNEL_ENTRY* psEntry);

// A VERIFY of 4096 blocks at the drive's verify position (kind 1 level 1,
// 2 an array test): 255 started, 0 no drive there, 16 no entry free.
uint8_t bStartDriveFunctionalVerify(uint8_t bEnclosure, uint8_t bSlot, uint8_t bKind);
// A functional verify of the level named by its sub-code ended.
void APMFunctionalVerifyEnded(uint8_t bSubCode);
void SetAPMDriveVerifyRunning(uint8_t f);
uint8_t fIsAPMDriveVerifyRunning();
void SetAPMArrayVerifyRunning(uint8_t f);
uint8_t fIsAPMArrayVerifyRunning();

// The three mark tables (spun down, spinning up, under test) as the partner
// exchanges them: per table 16 enclosures, each a 64-bit word written high
// word first, big-endian (384 bytes).  The requester takes the first as its
// spun-down marks, adds the second to them and takes the third as its test
// marks.
constexpr uint32_t APM_MASK_TABLES_BYTES = 3 * APM_ENCLOSURES * 8;
void GetDriveAPMMaskTables(uint8_t* pbTables);
void StoreDriveAPMMaskTables(const uint8_t* pbTables);

// While held the spin job does nothing (the partner watchdog holds it).
void SetAPMHoldFlag(uint8_t f);
uint8_t fGetAPMHoldFlag();

// A drive whose self-test failed: out of the spares, on the failed-drive
// list, event 29, and the configuration saved.
void FailDriveAfterSelfTest(uint8_t bEnclosure, uint8_t bSlot);

void DriveSpinJob(uint16_t wId, uint16_t wArg1, uint16_t wArg2, BACKGROUND_PROCESS* psJob);

}  // namespace fw
