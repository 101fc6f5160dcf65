// The rebuild check and the choice of a hot spare.
#include "raid/rebuild_check.h"

#include <cstring>

#include "config/apply_settings.h"
#include "config/array_operations.h"
#include "config/config_commit.h"
#include "config/config_image.h"
#include "config/config_state.h"
#include "config/drive_tables.h"
#include "config/rank_table.h"
#include "config/spare_assign.h"
#include "enclosure/drive_rescan.h"
#include "enclosure/drive_table.h"
#include "executive/port_codes.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "raid/child_commands.h"
#include "raid/raid_engine.h"
#include "partner/partner_link.h"
#include "raid/rebuild.h"
#include "sas/sas_drive.h"

namespace fw {

namespace {

constexpr uint8_t REQUESTER_REBUILD = 3;
// The byte of a failed-drive entry's failure bytes that holds the position
// the drive had.
constexpr uint8_t FAILED_DRIVE_POSITION_BYTE = 4;
// The build whose drives must be qualified ones, and whose configuration
// may take an unassigned drive for a degraded array by itself.
constexpr uint32_t OEM_QUALIFIED_DRIVES = 0x101;
uint8_t s_fCheckPending = FALSE;

bool fIsZeroWwn(const uint8_t* pb) {
    for (uint8_t i = 0; i < 8; ++i) {
        if (pb[i] != 0) return false;
    }
    return true;
}

bool fWwnInAnyRank(const CONFIG_IMAGE* psImage, const uint8_t* pbWwn) {
    for (const CONFIG_RANK_RECORD& r : psImage->asRank) {
        for (uint8_t m = 0; m < r.bDriveCount && m < MAX_RANK_MEMBERS; ++m) {
            if (std::memcmp(r.aabMemberWwn[m], pbWwn, 8) == 0) return true;
        }
    }
    return false;
}

// The path type of the array's members: that of its first member in service.
uint8_t bRankPathType(const CONFIG_IMAGE* psImage, uint8_t bRank) {
    const CONFIG_RANK_RECORD& r = psImage->asRank[bRank];
    for (uint8_t m = 0; m < r.bDriveCount && m < MAX_RANK_MEMBERS; ++m) {
        if (bGetRankMemberFlags(bRank, m) == MEMBER_FLAGS_IN_SERVICE && !fIsZeroWwn(r.aabMemberWwn[m])) {
            return bGetDrivePathType(r.aabMemberWwn[m]);
        }
    }
    return 0xFF;
}


uint8_t bGatherCandidates(const CONFIG_IMAGE* psImage, uint8_t bRank, SPARE_CANDIDATE* pas) {
    const HOT_SPARE_TABLE* ps = pGetHotSpareTable();
    const uint8_t bCount = ps->bCount < MAX_SPARES ? ps->bCount : static_cast<uint8_t>(MAX_SPARES);
    const uint8_t bPathType = bRankPathType(psImage, bRank);
    for (uint8_t i = 0; i < bCount; ++i) {
        SPARE_CANDIDATE& c = pas[i];
        c = SPARE_CANDIDATE{ps->abDedicatedRank[i], FALSE, 0};
        DRIVE_INFO* psDrive = nullptr;
        uint8_t bIndex = 0;
        if (fFindDriveByLoopID(0, ps->abDrive[i], &psDrive, &bIndex) != TRUE) continue;
        c.dLastBlock = psDrive->dCapacity;
        c.fUsable = fIsDrivePathTypeSupported(psDrive->abWWN) == TRUE && bGetDrivePathType(psDrive->abWWN) == bPathType &&
                            !fWwnInAnyRank(psImage, psDrive->abWWN)
                        ? TRUE
                        : FALSE;
    }
    return bCount;
}

// Starts the rebuild of one missing member (RAID 6: with the other one
// missing, 255 when none) onto a drive.
void StartOnDrive(uint8_t bRank, uint8_t bMember, uint8_t bOther, uint8_t bId3, uint8_t bId4, const uint8_t* pbWwn,
                  uint32_t dNeeded) {
    if (bGetRankRaidLevel(bRank) == RAID_LEVEL_6) {
        StartRaid6Rebuild(bRank, bMember, bOther, bId3, bId4, pbWwn, dNeeded);
    } else {
        StartRebuild(bRank, bMember, bId3, bId4, pbWwn, dNeeded);
    }
}

// The spares of the hot spare table able to take a member of the rank
// (bWanted of each kind), and the member size they must hold.
uint8_t bSelectSpares(uint8_t bRank, uint8_t bWanted, uint8_t* pbDedicated, uint8_t* pbGlobal,
                      uint8_t* pbDrivePosition, uint32_t* pdMemberBlocks) {
    const CONFIG_IMAGE* psImage = pGetConfigImage();
    *pdMemberBlocks = dGetRankMemberBlocks(bRank);
    *pbDrivePosition = DRIVE_POSITION_NONE;
    std::memset(pbDedicated, 0xFF, bWanted);
    std::memset(pbGlobal, 0xFF, bWanted);
    if (psImage == nullptr || bRank >= MAX_RANKS) return FALSE;
    SPARE_CANDIDATE asCandidate[MAX_SPARES];
    const uint8_t bCount = bGatherCandidates(psImage, bRank, asCandidate);
    ChooseSpares(asCandidate, bCount, bRank, lGetReplacementBlocks(bRank, *pdMemberBlocks), bWanted, pbDedicated,
                 pbGlobal);
    const uint8_t bRow = pbDedicated[0] != 0xFF ? pbDedicated[0] : pbGlobal[0];
    if (bRow == 0xFF) return FALSE;
    DRIVE_INFO* psDrive = nullptr;
    uint8_t bIndex = 0;
    if (fFindDriveByLoopID(0, pGetHotSpareTable()->abDrive[bRow], &psDrive, &bIndex) == TRUE) {
        *pbDrivePosition = bGetDriveIndexOfWWN(psDrive->abWWN);
    }
    return TRUE;
}

// Starts the rebuild of the rank's missing members onto the chosen spare:
// dedicated first, then global.
bool fStartOnSpare(uint8_t bRank, const uint8_t* pbMembers, const uint8_t* pbDedicated, const uint8_t* pbGlobal,
                   uint32_t dNeeded) {
    const uint8_t bRow = pbDedicated[0] != 0xFF ? pbDedicated[0] : pbGlobal[0];
    if (bRow == 0xFF) return false;
    const HOT_SPARE_TABLE* ps = pGetHotSpareTable();
    const uint8_t bId3 = ps->abDrive[bRow], bId4 = ps->abDriveAlt[bRow];
    DRIVE_INFO* psDrive = nullptr;
    uint8_t bIndex = 0;
    if (fFindDriveByLoopID(0, bId3, &psDrive, &bIndex) != TRUE) return false;
    uint8_t abWwn[8];
    std::memcpy(abWwn, psDrive->abWWN, 8);
    RemoveHotSpare(PORT_CODE_DRIVE_LOOP_3, bId3);
    RemoveSpareFromImage(abWwn);
    StartOnDrive(bRank, pbMembers[0], pbMembers[1], bId3, bId4, abWwn, dNeeded);
    return true;
}

// The position the failed-drive list keeps for a drive that failed in a
// slot the controller knew (255 when it knew none, or the drive is not
// there).
uint8_t bFailedDrivePosition(const CONFIG_IMAGE* psImage, const uint8_t* pbWwn) {
    const uint32_t dCount = dClampedFailedDriveCount(psImage);
    for (uint32_t i = 0; i < dCount; ++i) {
        const FAILED_DRIVE_ENTRY& f = psImage->asFailedDrive[i];
        if (std::memcmp(f.abWwn, pbWwn, 8) == 0) return f.abFailure[FAILED_DRIVE_POSITION_BYTE];
    }
    return DRIVE_POSITION_NONE;
}

// The drive now in the slot the member's drive failed in, when it can take
// the member: a drive of its own (in no array, not failed itself) of the
// array's path type and block length, and large enough.  Nothing is written
// to a drive that cannot.
DRIVE_INFO* psSlotReplacement(const CONFIG_IMAGE* psImage, uint8_t bRank, uint8_t bMember, uint64_t lRequired) {
    const uint8_t* pbWwn = psImage->asRank[bRank].aabMemberWwn[bMember];
    if (fIsZeroWwn(pbWwn)) return nullptr;
    DRIVE_INFO* ps = nullptr;
    if (fFindDriveByDriveIndex(bFailedDrivePosition(psImage, pbWwn), &ps) != TRUE) return nullptr;
    if (fWwnInAnyRank(psImage, ps->abWWN) || fIsWwnInFailedDriveList(ps->abWWN, psImage) == TRUE) return nullptr;
    if (fIsDrivePathTypeSupported(ps->abWWN) != TRUE || bGetDrivePathType(ps->abWWN) != bRankPathType(psImage, bRank)) {
        return nullptr;
    }
    if (ps->wBlockSize != BLOCK_BYTES || ps->dCapacity < lRequired) return nullptr;
    return ps;
}

}  // namespace

uint64_t lGetReplacementBlocks(uint8_t bRank, uint32_t dMemberBlocks) {
    uint8_t bFlushRank = 0xFF;
    const bool fFlushArea = fGetCacheFlushArray(&bFlushRank) == TRUE && bFlushRank == bRank;
    return uint64_t(dMemberBlocks) + SPARE_MARGIN_BLOCKS + (fFlushArea ? CACHE_FLUSH_AREA_BLOCKS : 0);
}

uint8_t fMayReplaceMember(uint8_t bRank, uint8_t bMember, const uint8_t* pbWwn) {
    const CONFIG_IMAGE* psImage = pGetConfigImage();
    if (psImage == nullptr || bRank >= bGetRankCount() || bMember >= bGetRankDriveCount(bRank)) return FALSE;
    const uint8_t bFlags = bGetRankMemberFlags(bRank, bMember);
    uint8_t bTarget = 0xFF;
    const bool fMay = (bFlags == MEMBER_FAILED || bFlags == MEMBER_REBUILD_FAILED) &&
                      bGetNvramRebuildPendingFlag() != TRUE && fGetRebuildWork() != TRUE &&
                      !fWwnInAnyRank(psImage, pbWwn) &&
                      pFindSASAddressInList(pGetDriveAddressList(), pbWwn, &bTarget, FALSE) != nullptr;
    return fMay ? TRUE : FALSE;
}

DRIVE_INFO* psNamedReplacement(uint8_t bRank, uint8_t bMember, const uint8_t* pbWwn) {
    DRIVE_INFO* ps = nullptr;
    uint8_t bIndex = 0;
    if (fMayReplaceMember(bRank, bMember, pbWwn) != TRUE || fFindDriveByWWN(pbWwn, &ps, &bIndex) != TRUE ||
        fIsDriveQualified(pbWwn, FALSE) != TRUE) {
        return nullptr;
    }
    const uint64_t lRequired = lGetReplacementBlocks(bRank, dGetRankMemberBlocks(bRank));
    return ps->wBlockSize == BLOCK_BYTES && ps->dCapacity >= lRequired ? ps : nullptr;
}

namespace {

// Where drives must be qualified, a drive put into a failed member's slot
// is: while a configured drive is missing, only a qualified one; otherwise
// a qualified one (an unqualified one reported), and an unqualified one
// too unless a failed drive, or a drive the drive table marks as a
// rebuild's target, is unqualified.
bool fSlotDriveAcceptable(const CONFIG_IMAGE* psImage, const uint8_t* pbWwn) {
    if (dGetOemCode() != OEM_QUALIFIED_DRIVES) return true;
    if (fIsAnyConfiguredDriveMissing(psImage) == TRUE) return fIsDriveQualified(pbWwn, FALSE) == TRUE;
    if (fIsDriveQualified(pbWwn, TRUE) == TRUE) return true;
    const uint32_t dFailed = dClampedFailedDriveCount(psImage);
    for (uint32_t i = 0; i < dFailed; ++i) {
        if (fIsDriveQualified(psImage->asFailedDrive[i].abWwn, FALSE) != TRUE) return false;
    }
    const DRIVE_INFO_LIST* psList = pGetDriveInfoList();
    for (uint8_t i = 0; i < psList->bDriveCount && i < DRIVE_INFO_RECORDS; ++i) {
        const DRIVE_INFO& d = psList->asDriveInfo[i];
        if (d.bDriveStatus == DRIVE_STATUS_REBUILD_TARGET && fIsDriveQualified(d.abWWN, FALSE) != TRUE) return false;
    }
    return true;
}

// A member whose failed drive's slot is not known: where the configuration
// may assign drives by itself, the master has it make an unassigned drive
// of the array's kind a spare, which a later check takes.
void AskForAssignedSpare(const CONFIG_IMAGE* psImage, uint8_t bRank, uint8_t bMember, uint64_t lRequired) {
    const uint8_t* pbWwn = psImage->asRank[bRank].aabMemberWwn[bMember];
    if (dGetOemCode() != OEM_QUALIFIED_DRIVES || fIsMasterController() != TRUE || fIsZeroWwn(pbWwn) ||
        bFailedDrivePosition(psImage, pbWwn) != DRIVE_POSITION_NONE || lRequired > 0xFFFFFFFFull ||
        fGetSpareAssignPending() == TRUE) {
        return;
    }
    if (fFindReplacementDrive(bRank, bRankPathType(psImage, bRank), static_cast<uint32_t>(lRequired)) != TRUE) return;
    SetArrayWantsSpare(bRank, TRUE);
    SetSpareAssignPending(TRUE);
    StartSpareAssignEdit(0);
}

// With the replace-in-slot setting on, a new drive put where a missing
// member's drive failed becomes its replacement.
bool fStartInSlot(const CONFIG_IMAGE* psImage, uint8_t bRank, const uint8_t* pbMembers, uint32_t dNeeded) {
    if (fGetAutoHotSpare() != TRUE) return false;
    for (uint8_t i = 0; i < 2 && pbMembers[i] != 0xFF; ++i) {
        const uint64_t lRequired = lGetReplacementBlocks(bRank, dNeeded);
        const DRIVE_INFO* ps = psSlotReplacement(psImage, bRank, pbMembers[i], lRequired);
        if (ps == nullptr) {
            AskForAssignedSpare(psImage, bRank, pbMembers[i], lRequired);
            continue;
        }
        if (!fSlotDriveAcceptable(psImage, ps->abWWN)) continue;
        uint8_t abWwn[8];
        std::memcpy(abWwn, ps->abWWN, 8);
        StartOnDrive(bRank, pbMembers[i], pbMembers[i ^ 1], ps->bLoopID1, ps->bLoopID2, abWwn, dNeeded);
        return true;
    }
    return false;
}

}  // namespace

void ChooseSpares(const SPARE_CANDIDATE* pas, uint8_t bCount, uint8_t bRank, uint64_t lRequired, uint8_t bWanted,
                  uint8_t* pbDedicated, uint8_t* pbGlobal) {
    std::memset(pbDedicated, 0xFF, bWanted);
    std::memset(pbGlobal, 0xFF, bWanted);
    for (uint8_t i = 0; i < bCount; ++i) {
        const SPARE_CANDIDATE& c = pas[i];
        if (c.fUsable != TRUE || c.dLastBlock < lRequired) continue;
        if (c.bDedicatedRank != 0xFF && c.bDedicatedRank != bRank) continue;
        uint8_t* pb = c.bDedicatedRank == bRank ? pbDedicated : pbGlobal;
        // Insert by size; a later spare of equal size goes after.
        uint8_t k = bWanted;
        while (k > 0 && (pb[k - 1] == 0xFF || pas[pb[k - 1]].dLastBlock > c.dLastBlock)) --k;
        if (k >= bWanted) continue;
        std::memmove(pb + k + 1, pb + k, bWanted - k - 1u);
        pb[k] = i;
    }
}

uint8_t bSelectSpareForMember(uint8_t bRank, uint8_t, uint8_t* pbDedicated, uint8_t* pbGlobal,
                              uint8_t* pbDrivePosition, uint32_t* pdMemberBlocks) {
    return bSelectSpares(bRank, 1, pbDedicated, pbGlobal, pbDrivePosition, pdMemberBlocks);
}

uint8_t bSelectSparesForRaid6(uint8_t bRank, const uint8_t*, uint8_t* pbDedicated, uint8_t* pbGlobal,
                              uint8_t* pbDrivePosition, uint32_t* pdMemberBlocks) {
    return bSelectSpares(bRank, 2, pbDedicated, pbGlobal, pbDrivePosition, pdMemberBlocks);
}

void SetRebuildCheckPending(uint8_t f) {
    s_fCheckPending = f;
    if (f == TRUE) SetWorkPending(TRUE);
}
uint8_t fGetRebuildCheckPending() { return s_fCheckPending; }

uint8_t fFindRankWithMissingMember(uint8_t bStartRank, uint8_t bStartMember, uint8_t* pbRank, uint8_t* pbMembers,
                                   uint8_t fFirst) {
    // The start (rank, member) says all: a search that goes on is asked
    // from the member after the one it found, so the first flag adds
    // nothing to it.
    (void)fFirst;
    const uint8_t bRanks = bGetRankCount();
    for (uint8_t r = bStartRank; r < bRanks && r < MAX_RANKS; ++r) {
        if (bGetRankRaidLevel(r) == RAID_LEVEL_0 || bGetRankOperationState(r) != RANK_STATE_DEGRADED ||
            fGetRankInitPending(r) == TRUE) {
            continue;
        }
        const bool fRaid6 = bGetRankRaidLevel(r) == RAID_LEVEL_6;
        if (fRaid6 && fIsParityCheckInProgress() == TRUE && bGetParityCheckRank() == r) continue;
        pbMembers[0] = pbMembers[1] = 0xFF;
        uint8_t n = 0;
        for (uint8_t m = r == bStartRank ? bStartMember : 0; m < bGetRankDriveCount(r) && n < (fRaid6 ? 2 : 1); ++m) {
            const uint8_t f = bGetRankMemberFlags(r, m);
            if (f != MEMBER_FLAGS_IN_SERVICE && f != MEMBER_FLAGS_REBUILDING) pbMembers[n++] = m;
        }
        if (n == 0) continue;
        *pbRank = r;
        return TRUE;
    }
    return FALSE;
}

void RebuildCheckTask() {
    const CONFIG_IMAGE* psImage = pGetConfigImage();
    if (bGetNvramRebuildPendingFlag() == TRUE || fGetRebuildWork() == TRUE || psImage == nullptr ||
        (bGetHotSpareCount() == 0 && fGetAutoHotSpare() != TRUE)) {
        SetRebuildCheckPending(FALSE);
        return;
    }
    bool fStarted = false;
    uint8_t bRank = 0;
    uint8_t abMembers[2];
    // An array whose missing member has nothing to take its place may have
    // another member missing whose slot holds a new drive: the search goes
    // on after the member found, in the same array, and only then on to
    // the next array.  Going straight to the next array would leave that
    // member missing for good, as every later check finds the first one
    // again.
    uint8_t bFromRank = 0, bFromMember = 0;
    for (uint8_t fFirst = TRUE;
         !fStarted && fFindRankWithMissingMember(bFromRank, bFromMember, &bRank, abMembers, fFirst) == TRUE;
         fFirst = FALSE) {
        bFromRank = bRank;
        bFromMember = static_cast<uint8_t>((abMembers[1] != 0xFF ? abMembers[1] : abMembers[0]) + 1);
        const uint32_t dNeeded = dGetRankMemberBlocks(bRank);
        if (fGetAutoRebuild() == TRUE) {
            uint8_t abDedicated[2], abGlobal[2];
            uint8_t bPosition = DRIVE_POSITION_NONE;
            uint32_t dBlocks = 0;
            const uint8_t fFound =
                abMembers[1] != 0xFF
                    ? bSelectSparesForRaid6(bRank, abMembers, abDedicated, abGlobal, &bPosition, &dBlocks)
                    : bSelectSpareForMember(bRank, abMembers[0], abDedicated, abGlobal, &bPosition, &dBlocks);
            fStarted = fFound == TRUE && fStartOnSpare(bRank, abMembers, abDedicated, abGlobal, dBlocks);
        }
        if (!fStarted) fStarted = fStartInSlot(psImage, bRank, abMembers, dNeeded);
    }
    SetRebuildWork(fStarted ? TRUE : FALSE);
    // The image is saved only when a rebuild started (a spare left the list,
    // a member is being rebuilt).  A pass that started nothing changed
    // nothing, and its save would end in an apply that asks for the check
    // again: the configuration would be written to every drive over and
    // over while an array waits for a replacement.
    if (fStarted) (void)RequestConfigUpdate(REQUESTER_REBUILD);
    SetRebuildCheckPending(FALSE);
}

}  // namespace fw
