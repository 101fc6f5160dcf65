// The drive retry table: the enclosure slots of drives whose reads, writes
// or verifies failed on the drive side.  Every ten seconds each drive still
// there is sent a drive test, so that a drive going bad is looked at again
// after its errors even while nothing else asks it anything.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;
struct TIMER_NODE;

constexpr uint32_t DRIVE_RETRY_ENTRIES = 126;
constexpr uint32_t DRIVE_RETRY_PERIOD_MS = 10000;

#pragma pack(push, 1)
struct DRIVE_RETRY_ENTRY {
    uint8_t fInUse;
    uint8_t bEnclosure;
    uint8_t bSlot;
    uint8_t fPending;   // entry 0 only: some entry waits for the next walk
};
struct DRIVE_RETRY_TABLE {
    DRIVE_RETRY_ENTRY asEntry[DRIVE_RETRY_ENTRIES];
    uint8_t bHoldOff;   // walks still to skip
};
#pragma pack(pop)
static_assert(sizeof(DRIVE_RETRY_ENTRY) == 4);
static_assert(sizeof(DRIVE_RETRY_TABLE) == DRIVE_RETRY_ENTRIES * 4 + 1);

// Start of day: every entry free, the timer started.
void InitDriveRetryTable();
// The timer's walk (it re-arms itself).
void DriveRetryTimer(KERNEL_ENTRY* psOwner, TIMER_NODE* psNode);
// The drive of the target failed a read, write or verify: its slot is
// entered (once; nothing when the table is full or the target has no slot).
void AddDriveRetryEntry(uint8_t bTarget);
// The next bCount walks are skipped.
void SetDriveRetryHoldOff(uint8_t bCount);
const DRIVE_RETRY_TABLE* psGetDriveRetryTable();

}  // namespace fw
