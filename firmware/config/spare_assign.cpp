// Automatic spare assignment.
#include "config/spare_assign.h"

#include <cstring>

#include "config/config_commit.h"
#include "config/config_flags.h"
#include "config/config_phase.h"
#include "config/drive_tables.h"
#include "config/rank_table.h"
#include "config/spares_wwn.h"
#include "enclosure/drive_rescan.h"
#include "enclosure/drive_table.h"
#include "executive/kernel_queue.h"
#include "executive/types.h"
#include "partner/partner_link.h"
#include "sas/sas_device_list.h"

namespace fw {

namespace {

constexpr uint8_t NONE = 0xFF;

uint8_t s_fAssignPending = FALSE;
uint8_t s_afWantsSpare[MAX_RANKS];
uint8_t s_abChosenDrive[MAX_RANKS];

}  // namespace

void InitSpareAssignment() {
    s_fAssignPending = FALSE;
    std::memset(s_afWantsSpare, FALSE, sizeof s_afWantsSpare);
    std::memset(s_abChosenDrive, NONE, sizeof s_abChosenDrive);
}

uint8_t fGetSpareAssignPending() { return s_fAssignPending; }
void SetSpareAssignPending(uint8_t f) { s_fAssignPending = f; }
uint8_t fGetArrayWantsSpare(uint8_t bArray) { return bArray < MAX_RANKS ? s_afWantsSpare[bArray] : FALSE; }
void SetArrayWantsSpare(uint8_t bArray, uint8_t f) {
    if (bArray < MAX_RANKS) s_afWantsSpare[bArray] = f;
}
uint8_t bGetChosenSpareDrive(uint8_t bArray) { return bArray < MAX_RANKS ? s_abChosenDrive[bArray] : NONE; }

uint8_t fFindReplacementDrive(uint8_t bArray, uint8_t bPathType, uint32_t dMinCapacity) {
    if (fIsMasterController() != TRUE || bArray >= MAX_RANKS) return FALSE;
    const uint8_t bSlots = bGetSpareDriveTableCount();
    for (uint8_t s = 0; s < bSlots && s < DRIVE_SLOTS; ++s) {
        DRIVE_INFO* psRecord = nullptr;
        uint8_t bIndex = 0;
        if (fFindDriveByLoopIDMapped(s, &psRecord, &bIndex) != TRUE) continue;
        const uint8_t bType = bGetDrivePathType(psRecord->abWWN);
        if (bType == 0 || bType != bPathType || psRecord->dCapacity < dMinCapacity ||
            fIsDriveWwnFailed(psRecord->abWWN) == TRUE) {
            continue;
        }
        s_abChosenDrive[bArray] = bGetDriveIndexFromEnclosureSlot(psRecord->bEnclosureNo, psRecord->bSlotNo);
        return TRUE;
    }
    return FALSE;
}

void StartSpareAssignEdit(uint8_t bStep) {
    if (bStep == 0) {
        RequestConfigurationService();
        SetConfigPhase(CONFIG_PHASE_EDIT);
        SetConfigRequester(REQUESTER_SPARE_ASSIGN);
        SetConfigPhaseStep(0);
    } else if (bStep == 1) {
        AssignChosenSpare();
    }
}

void AssignChosenSpare() {
    if (fIsMasterController() != TRUE) {
        s_fAssignPending = FALSE;
        return;
    }
    uint8_t bEnclosure = NONE;
    uint8_t bSlot = NONE;
    for (uint8_t r = 0; r < MAX_RANKS; ++r) {
        // An array busy with a background job is left for a later pass.
        if (s_afWantsSpare[r] != TRUE || bGetRankOperationState(r) != 0) continue;
        const uint8_t bChosen = s_abChosenDrive[r];
        if (bGetSpareDriveTableCount() == 0 || bChosen == NONE) {
            s_afWantsSpare[r] = FALSE;
            s_fAssignPending = FALSE;
            return;
        }
        bEnclosure = static_cast<uint8_t>(((bChosen >> 5) & 7) + 1);
        bSlot = static_cast<uint8_t>((bChosen & 31) + 1);
        break;
    }
    const uint8_t bSlots = bGetSpareDriveTableCount();
    for (uint8_t s = 0; s < bSlots && s < DRIVE_SLOTS; ++s) {
        DRIVE_INFO* psRecord = nullptr;
        uint8_t bIndex = 0;
        if (fFindDriveByLoopIDMapped(s, &psRecord, &bIndex) != TRUE || psRecord->bEnclosureNo != bEnclosure ||
            psRecord->bSlotNo != bSlot) {
            continue;
        }
        s_fAssignPending = FALSE;
        (void)AddSpare(psRecord->abWWN, GLOBAL_SPARE);
        (void)RequestConfigUpdate(REQUESTER_MANAGEMENT);
        SetHostCommandHold(FALSE);
        return;
    }
}

uint8_t bGetArrayMemberPathType(const CONFIG_IMAGE* psImage, uint8_t bArray) {
    if (bArray >= MAX_RANKS) return 0;
    const CONFIG_RANK_RECORD& s = psImage->asRank[bArray];
    const uint8_t bMembers = s.bDriveCount >= 3 ? 3 : 2;
    for (uint8_t m = 0; m < bMembers; ++m) {
        const uint8_t b = bGetDrivePathType(s.aabMemberWwn[m]);
        if (b != 0) return b;
    }
    return 0;
}

uint8_t fIsAnyConfiguredDriveMissing(const CONFIG_IMAGE* psImage) {
    const uint32_t dRanks = dClampedRankCount(psImage);
    for (uint32_t r = 0; r < dRanks; ++r) {
        const CONFIG_RANK_RECORD& sRank = psImage->asRank[r];
        const uint32_t dMembers = dClampedDriveCount(&sRank);
        for (uint32_t m = 0; m < dMembers; ++m) {
            if (fIsDriveQualified(sRank.aabMemberWwn[m], FALSE) != TRUE) return TRUE;
        }
    }
    return FALSE;
}

}  // namespace fw
