// WWN utilities, spare list edits and address look-ups in an image.
#include "config/spares_wwn.h"

#include <algorithm>
#include <cstring>

#include "config/config_db.h"
#include "config/config_state.h"
#include "config/rank_table.h"
#include "config/spare_assign.h"
#include "config/drive_loop_tables.h"
#include "config/drive_tables.h"
#include "enclosure/drive_management.h"
#include "executive/port_codes.h"
#include "executive/types.h"
#include "sas/sas_drive.h"

namespace fw {

namespace {

constexpr uint8_t RANK_IN_SERVICE = 0;

// The first array whose end is not below the address; 255 when none.
uint8_t bFirstRankEndingAtOrAfter(const CONFIG_IMAGE* psImage, uint64_t lAddress) {
    const uint32_t dRanks = dClampedRankCount(psImage);
    for (uint32_t r = 0; r < dRanks; r++) {
        const CONFIG_RANK_RECORD& sRank = psImage->asRank[r];
        if (sRank.lStartAddress + sRank.lLastOffset >= lAddress) return static_cast<uint8_t>(r);
    }
    return 0xFF;
}

constexpr uint32_t WORK_BUFFER_SPARE_SELECTION = 18432;

// The name of the drive a path and identifier give: its SAS address on the
// SAS drive side, else its WWN on that drive loop.
bool ReadDriveName(uint8_t bPath, uint8_t bDrive, uint8_t* pbWwn) {
    if (bPath != PORT_CODE_DRIVE_LOOP_3 && bPath != PORT_CODE_DRIVE_LOOP_4) return false;
    if (bDrive == 0xFF) return false;
    if (bPath == PORT_CODE_DRIVE_LOOP_3 && bGetSASAddressOfTarget(pbWwn, bDrive) == 0xFF) return true;
    return fGetDriveWwnByLoopId(bPath, bDrive, pbWwn) == 0xFF;
}

// Step 5 of taking a drive as a spare: not already a spare, not an in-service
// member; a member in any other state gives up its slot.
bool TakeWwnForSpare(CONFIG_IMAGE* psImage, const uint8_t* pbWwn);
void AppendSpare(CONFIG_IMAGE* psImage, const uint8_t* pbWwn, uint8_t bRank);

// Appends each present, qualified drive of the list that the configuration
// does not hold in service as a global spare; returns how many were added.
uint8_t bAddGlobalSpares(const uint8_t* pbPath, const uint8_t* pbDrive, uint32_t dCount, bool fRequireSetWwn) {
    CONFIG_IMAGE* psImage = pGetScratchConfigImage();
    uint8_t aabAdded[MAX_SPARES][8];
    uint8_t bAdded = 0;
    for (uint32_t i = 0; i < dCount; i++) {
        if (psImage->sHeader.wSpareCount >= MAX_SPARES) break;
        uint8_t abWwn[8];
        if (!ReadDriveName(pbPath[i], pbDrive[i], abWwn)) continue;
        if (fRequireSetWwn && fIsNonZeroWwn(abWwn) != TRUE) continue;
        if (fIsDriveQualified(abWwn, FALSE) != TRUE || !TakeWwnForSpare(psImage, abWwn)) continue;
        AppendSpare(psImage, abWwn, GLOBAL_SPARE);
        CopyWwn(abWwn, aabAdded[bAdded++]);
    }
    // Off the unassigned slots only now: the caller's list may be those slots.
    for (uint8_t i = 0; i < bAdded; i++) RemoveDriveFromUnassignedSlots(aabAdded[i]);
    if (bAdded != 0) SetConfigModified(TRUE);
    return bAdded;
}

}  // namespace

uint8_t fWwnEqual(const uint8_t* pbA, const uint8_t* pbB) { return ToFlag(std::memcmp(pbA, pbB, 8) == 0); }

const uint8_t* CopyWwn(const uint8_t* pbSource, uint8_t* pbDestination) {
    std::memmove(pbDestination, pbSource, 8);
    return pbSource;
}

uint8_t fIsNonZeroWwn(const uint8_t* pbWwn) {
    for (int i = 0; i < 8; i++)
        if (pbWwn[i] != 0x00 && pbWwn[i] != 0xFF) return TRUE;
    return FALSE;
}

void FillWwn(uint8_t* pbWwn, uint8_t bValue) { std::memset(pbWwn, bValue, 8); }

uint8_t fFindWwnInConfig(const CONFIG_IMAGE* psImage, uint8_t* pbRank, uint8_t* pbMember, const uint8_t* pbWwn) {
    *pbRank = 0xFF;
    *pbMember = 0xFF;
    if (fIsNonZeroWwn(pbWwn) != TRUE) return FALSE;
    const uint32_t dRanks = dClampedRankCount(psImage);
    for (uint32_t r = 0; r < dRanks; r++) {
        const CONFIG_RANK_RECORD& sRank = psImage->asRank[r];
        const uint32_t dMembers = dClampedDriveCount(&sRank);
        for (uint32_t m = 0; m < dMembers; m++) {
            if (fWwnEqual(sRank.aabMemberWwn[m], pbWwn) != TRUE) continue;
            *pbRank = static_cast<uint8_t>(r);
            *pbMember = static_cast<uint8_t>(m);
            return TRUE;
        }
    }
    const uint32_t dSpares = dClampedSpareCount(psImage);
    for (uint32_t s = 0; s < dSpares; s++) {
        if (fWwnEqual(psImage->asSpare[s].abWwn, pbWwn) != TRUE) continue;
        *pbRank = WWN_IN_SPARE_LIST;
        *pbMember = static_cast<uint8_t>(s);
        return TRUE;
    }
    return FALSE;
}

uint8_t AddSpare(const uint8_t* pbWwn, uint8_t bRank) {
    CONFIG_IMAGE* psImage = pGetScratchConfigImage();
    CONFIG_HEADER& sHeader = psImage->sHeader;
    if (sHeader.wSpareCount >= MAX_SPARES) return 0;
    if (bRank > EXPANSION_RANK && bRank != GLOBAL_SPARE) return 0;
    if (fIsNonZeroWwn(pbWwn) != TRUE) return 0;
    const uint8_t bPathType = bGetDrivePathType(pbWwn);
    if (bRank != GLOBAL_SPARE) {
        // Dedicated only to an array that exists and is reached the same way.
        if (bPathType == 0 || bRank >= dClampedRankCount(psImage)) return 0;
        if (bPathType != bGetArrayMemberPathType(psImage, bRank)) return 0;
    }
    if (fIsDriveQualified(pbWwn, FALSE) != TRUE) {
        if (fIsDrivePathTypeSupported(pbWwn) != TRUE) return 0;
        const uint32_t dSpares = dClampedSpareCount(psImage);
        for (uint32_t s = 0; s < dSpares; s++)
            if (fIsDriveQualified(psImage->asSpare[s].abWwn, FALSE) != TRUE) return 0;
        if (fAnyConfiguredMemberMissing() == TRUE || fAnyDriveMarkedUnusable() == TRUE) return 0;
    }
    if (!TakeWwnForSpare(psImage, pbWwn)) return 0;
    AppendSpare(psImage, pbWwn, bRank);
    RemoveDriveFromUnassignedSlots(pbWwn);
    return 0xFF;
}

uint8_t AssignUnusedDrivesAsSpares(const uint8_t*) {
    const DRIVE_SLOT_TABLES* psSlots = pGetDriveSlotTables();
    uint8_t abPath[DRIVE_SLOTS];
    uint8_t abDrive[DRIVE_SLOTS];
    uint32_t dCount = 0;
    for (uint32_t i = 0; i < psSlots->bCount && i < DRIVE_SLOTS; i++) {
        if (psSlots->afFailed[i] == TRUE) continue;
        // The first path when the drive has one there, else the second.
        const bool fFirst = psSlots->abDrive[i] != 0xFF;
        abPath[dCount] = fFirst ? PORT_CODE_DRIVE_LOOP_3 : PORT_CODE_DRIVE_LOOP_4;
        abDrive[dCount++] = fFirst ? psSlots->abDrive[i] : psSlots->abDriveAlt[i];
    }
    return bAddGlobalSpares(abPath, abDrive, dCount, false);
}

uint8_t AssignSelectedDrivesAsSpares(const uint8_t*) {
    const uint8_t* pbBuffer = pGetConfigWorkBuffer();
    if (pbBuffer == nullptr) return 0;
    // A count, then the path column and the drive column of the selection.
    const uint8_t* pbList = pbBuffer + WORK_BUFFER_SPARE_SELECTION;
    const uint32_t dCount = std::min<uint32_t>(pbList[0], DRIVE_SLOTS);
    return bAddGlobalSpares(pbList + 1, pbList + 1 + DRIVE_SLOTS, dCount, true);
}

void DeleteSpareEntry(CONFIG_IMAGE* psImage, uint8_t bIndex) {
    const uint32_t dCount = dClampedSpareCount(psImage);
    if (bIndex >= dCount) return;
    for (uint32_t s = bIndex; s + 1 < dCount; s++) {
        CopyWwn(psImage->asSpare[s + 1].abWwn, psImage->asSpare[s].abWwn);
        psImage->asSpare[s].bDedicatedRank = psImage->asSpare[s + 1].bDedicatedRank;
    }
    FillWwn(psImage->asSpare[dCount - 1].abWwn, 0);
    psImage->asSpare[dCount - 1].bDedicatedRank = 0;
    psImage->sHeader.wSpareCount = static_cast<uint16_t>(dCount - 1);
}

void DeleteAllSpares(CONFIG_IMAGE* psImage) {
    const uint32_t dCount = dClampedSpareCount(psImage);
    if (dCount != 0) SetConfigModified(TRUE);
    for (uint32_t s = 0; s < dCount; s++) {
        ReturnDriveToUnassignedSlots(psImage->asSpare[s].abWwn);
        FillWwn(psImage->asSpare[s].abWwn, 0);
    }
    psImage->sHeader.wSpareCount = 0;
}

void FindSegmentArrays(const CONFIG_IMAGE* psImage, uint16_t wLd, uint8_t bSegment, uint8_t* pbFirst, uint8_t* pbLast) {
    if (wLd >= MAX_LDS || bSegment >= MAX_LD_SEGMENTS) {
        *pbFirst = 0xFF;
        *pbLast = 0xFF;
        return;
    }
    const LD_SEGMENT& sSegment = psImage->asLd[wLd].asSegment[bSegment];
    *pbFirst = bFirstRankEndingAtOrAfter(psImage, sSegment.lStart);
    *pbLast = bFirstRankEndingAtOrAfter(psImage, sSegment.lEnd);
}

uint8_t fFindLdSegmentByAddress(const CONFIG_IMAGE* psImage, uint64_t lAddress, uint16_t* pwLd, uint8_t* pbSegment) {
    const uint32_t dLds = dClampedLdCount(psImage);
    for (uint32_t l = 0; l < dLds; l++) {
        const CONFIG_LD_RECORD& sLd = psImage->asLd[l];
        const uint32_t dSegments = dClampedSegmentCount(&sLd);
        for (uint32_t s = 0; s < dSegments; s++) {
            if (sLd.asSegment[s].lStart <= lAddress && lAddress <= sLd.asSegment[s].lEnd) {
                *pwLd = static_cast<uint16_t>(l);
                *pbSegment = static_cast<uint8_t>(s);
                return TRUE;
            }
        }
    }
    return FALSE;
}

uint8_t bFindRankByAddress(const CONFIG_IMAGE* psImage, uint64_t lAddress, uint8_t* pbRank) {
    const uint32_t dRanks = dClampedRankCount(psImage);
    for (uint32_t r = 0; r < dRanks; r++) {
        const CONFIG_RANK_RECORD& sRank = psImage->asRank[r];
        if (sRank.lStartAddress <= lAddress && lAddress <= sRank.lStartAddress + sRank.lLastOffset) {
            *pbRank = static_cast<uint8_t>(r);
            return 0xFF;
        }
    }
    *pbRank = 0xFF;
    return 0;
}

namespace {

bool TakeWwnForSpare(CONFIG_IMAGE* psImage, const uint8_t* pbWwn) {
    const uint32_t dSpares = dClampedSpareCount(psImage);
    for (uint32_t s = 0; s < dSpares; s++)
        if (fWwnEqual(psImage->asSpare[s].abWwn, pbWwn) == TRUE) return false;
    const uint32_t dRanks = dClampedRankCount(psImage);
    for (uint32_t r = 0; r < dRanks; r++) {
        CONFIG_RANK_RECORD& sRank = psImage->asRank[r];
        const uint32_t dMembers = dClampedDriveCount(&sRank);
        for (uint32_t m = 0; m < dMembers; m++) {
            if (fWwnEqual(sRank.aabMemberWwn[m], pbWwn) != TRUE) continue;
            if (sRank.abMemberState[m] == RANK_IN_SERVICE) return false;
            FillWwn(sRank.aabMemberWwn[m], 0);
        }
    }
    return true;
}

void AppendSpare(CONFIG_IMAGE* psImage, const uint8_t* pbWwn, uint8_t bRank) {
    CONFIG_HEADER& sHeader = psImage->sHeader;
    SPARE_ENTRY& sSpare = psImage->asSpare[sHeader.wSpareCount];
    CopyWwn(pbWwn, sSpare.abWwn);
    sSpare.bDedicatedRank = bRank;
    RemoveFailedDriveWwn(pbWwn, psImage);
    sHeader.fAutoRebuild = TRUE;
    sHeader.wSpareCount++;
}

}  // namespace

}  // namespace fw
