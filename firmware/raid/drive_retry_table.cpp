// The drive retry table and its ten-second walk.
#include "raid/drive_retry_table.h"

#include "executive/kernel_entry.h"
#include "executive/timers.h"
#include "executive/types.h"
#include "raid/drive_verify.h"
#include "sas/sas_device_list.h"

namespace fw {

namespace {

DRIVE_RETRY_TABLE s_sTable;
KERNEL_ENTRY s_sTimerOwner;

uint8_t& Pending() { return s_sTable.asEntry[0].fPending; }

}  // namespace

void InitDriveRetryTable() {
    s_sTable = DRIVE_RETRY_TABLE{};
    for (DRIVE_RETRY_ENTRY& e : s_sTable.asEntry) e.fInUse = FALSE;
    Pending() = FALSE;
    // The timer list was started anew with the rest of the start of day.
    s_sTimerOwner.sTimer = TIMER_NODE{};
    InsertTimer(&s_sTimerOwner, DriveRetryTimer, DRIVE_RETRY_PERIOD_MS);
}

void DriveRetryTimer(KERNEL_ENTRY*, TIMER_NODE*) {
    InsertTimer(&s_sTimerOwner, DriveRetryTimer, DRIVE_RETRY_PERIOD_MS);
    if (s_sTable.bHoldOff != 0) {
        --s_sTable.bHoldOff;
        return;
    }
    if (Pending() != TRUE) return;
    bool fStays = false;
    for (DRIVE_RETRY_ENTRY& e : s_sTable.asEntry) {
        if (e.fInUse != TRUE) continue;
        uint8_t bTarget = 0;
        // The drive that sits in the slot now gets the test; an empty slot
        // has nothing to test.
        if (bGetTargetIdByEnclosureSlot(e.bEnclosure, e.bSlot, &bTarget) != STATUS_OK ||
            BuildRequestSenseCommand(bTarget) == STATUS_OK) {
            e.fInUse = FALSE;
            continue;
        }
        fStays = true;
    }
    Pending() = ToFlag(fStays);
}

void AddDriveRetryEntry(uint8_t bTarget) {
    uint8_t bEnclosure = 0;
    uint8_t bSlot = 0;
    if (bGetEnclosureSlotOfTarget(bTarget, &bEnclosure, &bSlot) != STATUS_OK) return;
    DRIVE_RETRY_ENTRY* psFree = nullptr;
    for (DRIVE_RETRY_ENTRY& e : s_sTable.asEntry) {
        if (e.fInUse == TRUE && e.bEnclosure == bEnclosure && e.bSlot == bSlot) return;
        if (e.fInUse != TRUE && psFree == nullptr) psFree = &e;
    }
    if (psFree == nullptr) return;
    psFree->fInUse = TRUE;
    psFree->bEnclosure = bEnclosure;
    psFree->bSlot = bSlot;
    Pending() = TRUE;
}

void SetDriveRetryHoldOff(uint8_t bCount) { s_sTable.bHoldOff = bCount; }

const DRIVE_RETRY_TABLE* psGetDriveRetryTable() { return &s_sTable; }

}  // namespace fw
