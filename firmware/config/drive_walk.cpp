// Drive slot table edits and the drive walk.
#include "config/drive_walk.h"

#include <cstring>

#include "config/config_phase.h"
#include "config/drive_tables.h"
#include "config/rank_table.h"
#include "enclosure/drive_management.h"
#include "enclosure/enclosure_table.h"
#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "executive/port_codes.h"
#include "executive/types.h"

namespace fw {

namespace {

constexpr uint8_t NONE = 0xFF;
constexpr uint8_t LOW_TARGET_IDS = 16;

uint8_t s_bArrayPosition;
uint8_t s_bMemberPosition;
uint8_t s_bSelectedEntry = NONE;

void ClearSlot(DRIVE_SLOT_TABLES* ps, uint32_t i) {
    ps->abDrive[i] = NONE;
    ps->abDriveAlt[i] = NONE;
    ps->afFailed[i] = FALSE;
}

enum class Pick { NONE, MEMBER, SPARE, SLOT };

// From the saved positions, the next drive of the walk (positions left on
// it), or none when every stage is exhausted.
Pick FindFromPositions(uint8_t fMembers) {
    const uint8_t bRanks = bGetRankCount();
    for (;;) {
        if (s_bArrayPosition < bRanks && s_bArrayPosition < WALK_SPARES) {
            if (fMembers != TRUE) {
                s_bArrayPosition = WALK_SPARES;
                s_bMemberPosition = 0;
                continue;
            }
            const uint8_t bDrives = bGetRankDriveCount(s_bArrayPosition);
            while (s_bMemberPosition < bDrives &&
                   bGetRankMemberFlags(s_bArrayPosition, s_bMemberPosition) != MEMBER_FLAGS_IN_SERVICE) {
                ++s_bMemberPosition;
            }
            if (s_bMemberPosition < bDrives) return Pick::MEMBER;
            ++s_bArrayPosition;
            s_bMemberPosition = 0;
            if (s_bArrayPosition >= bRanks) s_bArrayPosition = WALK_SPARES;
            continue;
        }
        if (s_bArrayPosition != WALK_SLOTS) {
            if (s_bArrayPosition != WALK_SPARES) s_bMemberPosition = 0;
            s_bArrayPosition = WALK_SPARES;
            if (s_bMemberPosition < bGetHotSpareCount()) return Pick::SPARE;
            s_bArrayPosition = WALK_SLOTS;
            s_bMemberPosition = 0;
            continue;
        }
        return s_bMemberPosition < bGetSpareDriveTableCount() ? Pick::SLOT : Pick::NONE;
    }
}

uint8_t bEntryTarget(uint8_t bDrive, uint8_t bSecond) { return bDrive != NONE ? bDrive : bSecond; }

}  // namespace

void RemoveDriveSlot(uint8_t bPath, uint8_t bId) {
    const bool fSlotPath = fIsDriveSlotPath(bPath);
    if (bId == NONE && !fSlotPath) return;
    if (!fIsDrivePath(bPath)) return;
    DRIVE_SLOT_TABLES* ps = pGetDriveSlotTables();
    const uint32_t dCount = ps->bCount < DRIVE_SLOTS ? ps->bCount : DRIVE_SLOTS;
    for (uint32_t i = 0; i < dCount; i++) {
        const bool fMatch = fSlotPath                        ? ps->abDrive[i] == bPath - PORT_CODE_DRIVE_SLOT_FIRST
                            : bPath == PORT_CODE_DRIVE_LOOP_4 ? ps->abDriveAlt[i] == bId
                                                              : ps->abDrive[i] == bId;
        if (!fMatch) continue;
        for (uint32_t j = i; j + 1 < dCount; j++) {
            ps->abDrive[j] = ps->abDrive[j + 1];
            ps->abDriveAlt[j] = ps->abDriveAlt[j + 1];
            ps->afFailed[j] = ps->afFailed[j + 1];
        }
        ClearSlot(ps, dCount - 1);
        SetDriveSlotCount(static_cast<uint8_t>(dCount - 1));
        return;
    }
}

uint8_t InsertDriveSlot(uint8_t bId, uint8_t bSecondId, uint8_t fFailed) {
    DRIVE_SLOT_TABLES* ps = pGetDriveSlotTables();
    if ((bId == NONE && bSecondId == NONE) || ps->bCount >= DRIVE_SLOTS) return FALSE;
    const uint32_t dCount = ps->bCount;
    uint32_t dPlace = dCount;
    for (uint32_t i = 0; i < dCount; i++) {
        if (ps->abDrive[i] < LOW_TARGET_IDS && ps->abDrive[i] > bId) {
            dPlace = i;
            break;
        }
    }
    for (uint32_t j = dCount; j > dPlace; j--) {
        ps->abDrive[j] = ps->abDrive[j - 1];
        ps->abDriveAlt[j] = ps->abDriveAlt[j - 1];
        ps->afFailed[j] = ps->afFailed[j - 1];
    }
    ps->abDrive[dPlace] = bId;
    ps->abDriveAlt[dPlace] = bSecondId;
    ps->afFailed[dPlace] = fFailed;
    SetDriveSlotCount(static_cast<uint8_t>(dCount + 1));
    SortDriveList();
    return TRUE;
}

uint8_t fSelectNextDrive(uint8_t fWrap, uint8_t fMembers) {
    Pick ePick = FindFromPositions(fMembers);
    if (ePick == Pick::NONE && fWrap == TRUE) {
        // Once round from the start; an empty walk selects nothing.
        s_bArrayPosition = 0;
        s_bMemberPosition = 0;
        ePick = FindFromPositions(fMembers);
    }
    uint8_t bTarget = 0;
    uint8_t fSelected = ToFlag(ePick != Pick::NONE);
    s_bSelectedEntry = NONE;
    switch (ePick) {
    case Pick::MEMBER:
        bTarget = bGetRankMemberDrive(s_bArrayPosition, s_bMemberPosition);
        break;
    case Pick::SPARE: {
        const HOT_SPARE_TABLE* psSpares = pGetHotSpareTable();
        bTarget = bEntryTarget(psSpares->abDrive[s_bMemberPosition], psSpares->abDriveAlt[s_bMemberPosition]);
        s_bSelectedEntry = s_bMemberPosition;
        break;
    }
    case Pick::SLOT: {
        const DRIVE_SLOT_TABLES* psSlots = pGetDriveSlotTables();
        bTarget = bEntryTarget(psSlots->abDrive[s_bMemberPosition], psSlots->abDriveAlt[s_bMemberPosition]);
        s_bSelectedEntry = s_bMemberPosition;
        break;
    }
    case Pick::NONE:
        break;
    }
    if (fSelected == TRUE && bTarget == NONE) {
        fSelected = FALSE;
        bTarget = 0;
    }
    SetPhaseParam3(s_bArrayPosition);
    SetPhaseParam4(s_bMemberPosition);
    SetPhaseParam2(bTarget);
    SetPhaseParam1(fSelected == TRUE ? PORT_CODE_INITIATOR : 0);
    if (ePick == Pick::NONE) return FALSE;
    // Past the drive just looked at, whether or not it could be addressed.
    ++s_bMemberPosition;
    if (ePick == Pick::MEMBER && s_bMemberPosition >= bGetRankDriveCount(s_bArrayPosition)) {
        s_bMemberPosition = 0;
        ++s_bArrayPosition;
        if (s_bArrayPosition >= bGetRankCount()) s_bArrayPosition = WALK_SPARES;
    }
    return fSelected;
}

uint8_t bGetSelectedDriveEntry() { return s_bSelectedEntry; }

void ResetDriveWalk() {
    s_bArrayPosition = 0;
    s_bMemberPosition = 0;
    s_bSelectedEntry = NONE;
}

void RequeueDriveCommandAtHead(KERNEL_ENTRY* psEntry) {
    psEntry->bPrimaryState = PS_NEW_COMMAND;
    (void)QueueKernelEntryAtHead(psEntry->bPortCode, psEntry->wIndex);
}

}  // namespace fw
