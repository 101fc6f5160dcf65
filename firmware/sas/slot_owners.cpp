#include "sas/slot_owners.h"

#include <cstring>

#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "sas/active_active.h"
#include "sas/command_timeouts.h"
#include "sas/ioc_events.h"
#include "sas/sas_device_list.h"
#include "sas/sas_discovery.h"
#include "sas/sas_drive.h"
#include "sas/sas_scsi_path.h"

namespace fw {

namespace {

// Slots 1..12 alternate between the controllers, or go to them in threes.
constexpr uint8_t ALTERNATING[SLOT_OWNER_MAP_SLOTS] = {1, 2, 1, 2, 1, 2, 1, 2, 1, 2, 1, 2};
constexpr uint8_t GROUPED[SLOT_OWNER_MAP_SLOTS] = {1, 1, 1, 2, 2, 2, 1, 1, 1, 2, 2, 2};
// Without active-active drives each controller keeps one half of a shelf.
constexpr uint8_t FIRST_HALF_LAST_SLOT = 6;

constexpr uint8_t TASK_TARGET_RESET = 3;
constexpr uint32_t SLOT_CHANGE_HOST_HOLD_OFF_MS = 15000;
constexpr uint32_t SLOT_CHANGE_RESCAN_MS = 5000;
constexpr uint64_t SLOT_EVENT_HOLD_OFF_MS = 5000;

uint8_t s_aabOwner[SLOT_OWNER_MAP_ENCLOSURES + 1][SLOT_OWNER_MAP_SLOTS];

bool IsGroupedBoard(uint8_t bBoard) { return bBoard == 6 || (bBoard >= 10 && bBoard <= 13); }
bool IsAlternatingEnclosureType(uint8_t bType) { return bType == 6 || bType == 16 || bType == 17; }

void Take(uint8_t bEnclosure, const uint8_t (&abMap)[SLOT_OWNER_MAP_SLOTS]) {
    if (bEnclosure >= 1 && bEnclosure <= SLOT_OWNER_MAP_ENCLOSURES) std::memcpy(s_aabOwner[bEnclosure], abMap, sizeof abMap);
}

}  // namespace

void InitSlotOwnerMaps() {
    for (uint8_t e = 1; e <= SLOT_OWNER_MAP_ENCLOSURES; ++e) Take(e, GROUPED);
}

void SetupSlotOwnerMaps() {
    const uint8_t bBoard = bGetBoardType();
    const uint8_t bBackplane = bGetBackplaneType();
    if (IsGroupedBoard(bBoard) && bBackplane == 0) {
        Take(1, GROUPED);
    } else if (bBoard == 16 || bBoard == 17 || (IsGroupedBoard(bBoard) && bBackplane == 6)) {
        Take(1, ALTERNATING);
    }
    SAS_EXPANDER_LIST* psList = pGetSASExpanderList();
    const uint8_t bCount = psSASExpanderHeader(psList)->bExpanderCount;
    for (uint8_t i = 0; i < bCount && i < SAS_MAX_EXPANDERS; ++i) {
        const SAS_EXPANDER& s = psList->asExpander[i];
        if (s.fUsable != TRUE || s.bEnclosure == 1) continue;
        if (IsAlternatingEnclosureType(s.bEnclosureType)) {
            Take(s.bEnclosure, ALTERNATING);
        } else {
            Take(s.bEnclosure, GROUPED);
        }
    }
}

uint8_t bGetSlotOwnerController(uint8_t bEnclosure, uint8_t bSlot) {
    const bool fMapped = bEnclosure >= 1 && bEnclosure <= SLOT_OWNER_MAP_ENCLOSURES && bSlot >= 1 &&
                         bSlot <= SLOT_OWNER_MAP_SLOTS;
    // A slot no map covers is owned as though no drive were shared.
    if (fIsSASActiveActiveModeSet() != TRUE || !fMapped) return bSlot <= FIRST_HALF_LAST_SLOT ? 1 : 2;
    return s_aabOwner[bEnclosure][bSlot - 1];
}

void ProcessSASSlotEvent(uint8_t bEnclosure, uint8_t bSlot, uint8_t bArgument, uint8_t bKind) {
    if (bKind == SLOT_EVENT_SLOT_CHANGE) {
        // The partner saw the slots change: the hosts wait while the drive
        // side settles and then looks again.  A change already under way
        // keeps its own sequence.
        if (fIsSASSlotChangeArmed() == TRUE) return;
        ArmSASSlotChange(bArgument, SLOT_CHANGE_HOST_HOLD_OFF_MS);
        SetSASRescanDeadline(SLOT_CHANGE_RESCAN_MS);
        return;
    }
    const uint8_t bTarget = bGetTargetIdByEnclosureSlot(bEnclosure, bSlot);
    if (bTarget == 0xFF) return;
    if (bKind == 0) {
        (void)bSendSASTaskManagement(bTarget, 0, bArgument, 0);
        return;
    }
    if (bKind != SLOT_EVENT_VISIBILITY && wGetSASTargetCommandCount(bTarget, TRUE) == 0) return;
    if (fIsSASPathQuiet(bTarget) == TRUE) return;
    if (bTarget < SAS_PROXY_TARGET_BIT) {
        // The drive is reset from here too, and what it held is sent again.
        // Taken back first: the reset ends the requests at the IOC, and a
        // request it ends is left to whoever took it back; taken back
        // after, the answer could come first and the command be lost.
        RepostSASTargetCommands(bTarget);
        (void)bSendSASTaskManagement(bTarget, 0, TASK_TARGET_RESET, 0);
    }
    SetSASTargetHoldOff(bTarget, lGetTickCount() + SLOT_EVENT_HOLD_OFF_MS);
}

}  // namespace fw
