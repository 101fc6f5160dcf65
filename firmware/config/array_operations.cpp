// Array operations on the scratch configuration image.
#include "config/array_operations.h"

#include <cstring>

#include "config/bad_blocks.h"
#include "config/config_flags.h"
#include "config/config_state.h"
#include "config/drive_tables.h"
#include "config/drive_walk.h"
#include "config/ld_operations.h"
#include "config/nvram_records.h"
#include "config/rank_table.h"
#include "config/san_lun_map.h"
#include "config/spare_assign.h"
#include "config/spares_wwn.h"
#include "enclosure/drive_rescan.h"
#include "enclosure/drive_table.h"
#include "eventlog/statistics.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "raid/raid_engine.h"

namespace fw {

namespace {

constexpr uint8_t NONE = 0xFF;
constexpr uint8_t MEMBER_IN_SERVICE = 0;
constexpr uint8_t INIT_PENDING = 1;
constexpr uint8_t INIT_EXPANDING = 3;
constexpr uint8_t INIT_NONE = 0xFF;
constexpr uint8_t INIT_NOT_WANTED = 0;
constexpr uint8_t MAX_SUB_RANKS = 5;
constexpr uint8_t LEVEL_N_SUB_RANKS = 2;
// A one-drive mirror's member is used up to this last block at most.
constexpr uint32_t MIRROR_ONE_DRIVE_CAPACITY = 23494655;
constexpr uint32_t MEMBER_SIZE_GRAIN = 16384;
// Child commands carry 32-bit drive blocks: no member block may reach 2^32.
constexpr uint64_t DRIVE_BLOCK_LIMIT = 1ull << 32;
// The RAID engine keeps a row's data blocks in 16 bits.
constexpr uint32_t ROW_DATA_LIMIT = 65536;
constexpr uint8_t RESERVE_PERCENT_LAST = 100;
constexpr uint8_t RESERVE_REFUSED = 200;
constexpr uint8_t RESERVE_PER_MILLE = 201;
constexpr uint8_t POLICY_MUST_BE_CLEAR = 0x80;

bool IsFlag(uint8_t b) { return b == TRUE || b == FALSE; }
bool IsSataKind(uint8_t bPathType) {
    return bPathType == DRIVE_PATH_SATA_ACTIVE_PASSIVE || bPathType == DRIVE_PATH_SATA_ACTIVE_ACTIVE;
}

// Data drives of a geometry: the members less the parity (or mirror) ones.
uint32_t dDataDrives(uint8_t bLevel, uint32_t dDrives, uint32_t dParity) {
    switch (bLevel) {
    case RAID_LEVEL_0: return dDrives;
    case RAID_LEVEL_10: return dDrives / 2;
    default: return dDrives > dParity ? dDrives - dParity : 0;
    }
}

uint8_t bParityOf(uint8_t bLevel, uint8_t bSubRanks) {
    switch (bLevel) {
    case RAID_LEVEL_0:
    case RAID_LEVEL_10: return 0;
    case RAID_LEVEL_5: return 1;
    case RAID_LEVEL_6: return 2;
    default: return bSubRanks;
    }
}

// The member size of a new array: what the smallest member offers less the
// end areas and the reserve, in whole grains; 0 when it is too small.
uint64_t lNewMemberBlocks(uint32_t dSmallest, bool fFlushArea, uint8_t bReserve) {
    const uint64_t lFlush = fFlushArea ? CACHE_FLUSH_AREA_BLOCKS : 0;
    if (static_cast<uint64_t>(dSmallest) < MEMBER_END_RESERVE + lFlush + MIN_MEMBER_BLOCKS) return 0;
    uint64_t M = dSmallest - MEMBER_END_RESERVE - lFlush;
    if (bReserve > RESERVE_PER_MILLE || bReserve == RESERVE_REFUSED) return 0;
    if (bReserve <= RESERVE_PERCENT_LAST) {
        M = M * (100 - bReserve) / 100;
    } else if (bReserve == RESERVE_PER_MILLE) {
        M = M / 1000;
    } else {
        M = M * (10000 - (bReserve - 100)) / 10000;
    }
    if (M <= CAPACITY_UNIT_BLOCKS) M = MIN_MEMBER_BLOCKS;
    const uint64_t lMemberLimit = DRIVE_BLOCK_LIMIT - lFlush - 1;
    if (M > lMemberLimit) M = lMemberLimit;
    return M / MEMBER_SIZE_GRAIN * MEMBER_SIZE_GRAIN;
}

// Capacity, capacity units, last offset and stripe size from the member
// size and the geometry of the record.
void SetGeometry(CONFIG_RANK_RECORD* ps, uint64_t lMemberBlocks) {
    const uint32_t dData = dDataDrives(ps->bRaidLevel, ps->bDriveCount, ps->bParityCount);
    const uint64_t lCapacity = lMemberBlocks * dData;
    ps->wCapacityGb = static_cast<uint16_t>(lCapacity / CAPACITY_UNIT_BLOCKS);
    ps->lLastOffset = lCapacity - 1;
    ps->dStripeSize = dData * ps->wChunkSize * 512u;
}

bool RowFitsEngine(uint8_t bLevel, uint32_t dDrives, uint32_t dParity, uint32_t dChunk) {
    return dDataDrives(bLevel, dDrives, dParity) * dChunk < ROW_DATA_LIMIT;
}

// Where the WWN stands as a member: false when it is an in-service member
// of some array (it cannot be taken); members in other states are listed so
// that they give up their slot once the operation succeeds.
struct MEMBER_CLAIM {
    uint8_t abRank[MAX_RANKS];
    uint8_t abMember[MAX_RANKS];
    uint32_t dCount;
};
bool MayTakeDrive(const CONFIG_IMAGE* psImage, const uint8_t* pbWwn, MEMBER_CLAIM* psClaim) {
    psClaim->dCount = 0;
    const uint32_t dRanks = dClampedRankCount(psImage);
    for (uint32_t r = 0; r < dRanks; r++) {
        const CONFIG_RANK_RECORD& sRank = psImage->asRank[r];
        const uint32_t dMembers = dClampedDriveCount(&sRank);
        for (uint32_t m = 0; m < dMembers; m++) {
            if (fWwnEqual(sRank.aabMemberWwn[m], pbWwn) != TRUE) continue;
            if (sRank.abMemberState[m] == MEMBER_IN_SERVICE) return false;
            if (psClaim->dCount < MAX_RANKS) {
                psClaim->abRank[psClaim->dCount] = static_cast<uint8_t>(r);
                psClaim->abMember[psClaim->dCount++] = static_cast<uint8_t>(m);
            }
        }
    }
    return true;
}

void ReleaseOldSlots(CONFIG_IMAGE* psImage, const MEMBER_CLAIM& sClaim) {
    for (uint32_t i = 0; i < sClaim.dCount; i++) FillWwn(psImage->asRank[sClaim.abRank[i]].aabMemberWwn[sClaim.abMember[i]], 0);
}

// A drive joining an array leaves the failed list and the unassigned slots.
void TakeDriveIntoArray(CONFIG_IMAGE* psImage, const uint8_t* pbWwn) {
    RemoveFailedDriveWwn(pbWwn, psImage);
    RemoveDriveFromUnassignedSlots(pbWwn);
}

bool IsDuplicateWwn(const uint8_t (*paabWwn)[8], uint32_t dCount, uint32_t dIndex) {
    for (uint32_t j = 0; j < dCount; j++)
        if (j != dIndex && fWwnEqual(paabWwn[j], paabWwn[dIndex]) == TRUE) return true;
    return false;
}

// Moves every logical drive segment and bad block range at or above the
// internal address by the distance: the arrays above a deleted or grown
// array move, and what lies on them moves with them.
void MoveAddressesFrom(CONFIG_IMAGE* psImage, uint64_t lFrom, int64_t lBy) {
    const uint32_t dLds = dClampedLdCount(psImage);
    for (uint32_t l = 0; l < dLds; l++) {
        CONFIG_LD_RECORD& sLd = psImage->asLd[l];
        const uint32_t dSegments = dClampedSegmentCount(&sLd);
        for (uint32_t s = 0; s < dSegments; s++) {
            LD_SEGMENT& sSegment = sLd.asSegment[s];
            if (sSegment.lStart < lFrom) continue;
            sSegment.lStart += static_cast<uint64_t>(lBy);
            sSegment.lEnd += static_cast<uint64_t>(lBy);
        }
    }
    const uint32_t dBad = dClampedBadBlockCount(psImage);
    for (uint32_t i = 0; i < dBad; i++) {
        BAD_BLOCK_ENTRY& sEntry = psImage->asBadBlock[i];
        const uint64_t lStart = lGetBadBlockEntryStart(&sEntry);
        if (lStart >= lFrom) SetBadBlockEntry(&sEntry, lStart + static_cast<uint64_t>(lBy), sEntry.bRank, sEntry.wLength);
    }
}

// An array number after array bDeleted went: 255 for the deleted one.
uint8_t bRenumbered(uint8_t bRank, uint8_t bDeleted) {
    if (bRank == bDeleted) return NONE;
    return bRank != NONE && bRank > bDeleted ? static_cast<uint8_t>(bRank - 1) : bRank;
}

// The checks of a create up to the members (steps 1-10).
bool CreateRequestIsSound(const CONFIG_RANK_RECORD* psRequest, const CONFIG_IMAGE* psImage, uint8_t* pbDrives,
                          uint16_t* pwChunk, bool* pfOneDriveMirror) {
    const CONFIG_HEADER& sHeader = psImage->sHeader;
    if (sHeader.wRankCount > EXPANSION_RANK) return false;
    // Record 63 holds the old geometry while an expansion runs.
    if (sHeader.wRankCount == EXPANSION_RANK && sHeader.fExpansionActive == TRUE) return false;
    if (!IsFlag(psRequest->fCacheFlushArray) || !IsFlag(psRequest->fInitialized)) return false;
    const uint8_t bLevel = psRequest->bRaidLevel;
    const uint8_t bSubRanks = psRequest->bParityCount;
    switch (bLevel) {
    case RAID_LEVEL_0:
    case RAID_LEVEL_10:
    case RAID_LEVEL_5:
    case RAID_LEVEL_6: break;
    case RAID_LEVEL_50:
        if (bSubRanks < 1 || bSubRanks > MAX_SUB_RANKS) return false;
        break;
    case RAID_LEVEL_N:
        if (bSubRanks != LEVEL_N_SUB_RANKS) return false;
        break;
    default: return false;
    }
    const uint8_t D = psRequest->bDriveCount;
    *pfOneDriveMirror = bLevel == RAID_LEVEL_10 && D == 1;
    if (*pfOneDriveMirror) {
        if (fIsLinePowerMode() != TRUE) return false;
    } else {
        if (D < 1 || D > MAX_RANK_MEMBERS) return false;
        switch (bLevel) {
        case RAID_LEVEL_10: if (D % 2 != 0) return false; break;
        case RAID_LEVEL_5: if (D < 3) return false; break;
        case RAID_LEVEL_6: if (D < 4) return false; break;
        case RAID_LEVEL_N: if (D < 5) return false; break;
        case RAID_LEVEL_50: if (D < 3 * bSubRanks || D % bSubRanks != 0) return false; break;
        default: break;
        }
    }
    uint16_t wChunk = psRequest->wChunkSize;
    if (wChunk != 128 && wChunk != 256 && wChunk != 512 && wChunk != 1024 && wChunk != 2048 && wChunk != 4096) {
        return false;
    }
    // Narrow stripes of RAID 0 and 10 take larger chunks.
    if (bLevel == RAID_LEVEL_0 || bLevel == RAID_LEVEL_10) {
        const uint32_t N = bLevel == RAID_LEVEL_0 ? D : (*pfOneDriveMirror ? 1 : D / 2);
        if (N <= 2 && wChunk < 512) wChunk = 512;
        if (N == 3 && wChunk < 256) wChunk = 256;
    }
    const uint32_t dStoredDrives = *pfOneDriveMirror ? 2 : D;
    if (!RowFitsEngine(bLevel, dStoredDrives, bParityOf(bLevel, bSubRanks), wChunk)) return false;
    for (uint32_t m = 0; m < D; m++)
        if (fIsNonZeroWwn(psRequest->aabMemberWwn[m]) != TRUE) return false;
    if ((psRequest->bCachePolicy & POLICY_MUST_BE_CLEAR) != 0) return false;
    if (fIsPrintableName(psRequest->acArrayName) != TRUE) return false;
    const uint8_t bFirstType = bGetDrivePathType(psRequest->aabMemberWwn[0]);
    for (uint32_t m = 0; m < D; m++) {
        if (bGetDrivePathType(psRequest->aabMemberWwn[m]) != bFirstType) return false;
        if (fIsDriveQualified(psRequest->aabMemberWwn[m], FALSE) != TRUE) return false;
        // One drive twice in an array would hold two members' data.
        if (IsDuplicateWwn(psRequest->aabMemberWwn, D, m)) return false;
    }
    if (IsSataKind(bFirstType)) {
        // The SATA arrays all hang on one kind of path.
        const uint32_t dRanks = dClampedRankCount(psImage);
        for (uint32_t r = 0; r < dRanks; r++) {
            const uint8_t bType = bGetDrivePathType(psImage->asRank[r].aabMemberWwn[0]);
            if (IsSataKind(bType) && bType != bFirstType) return false;
        }
    }
    *pbDrives = D;
    *pwChunk = wChunk;
    return true;
}

}  // namespace

uint32_t dNewArrayCapacityGb(uint8_t bLevel, uint8_t bDrives, uint8_t bSubRanks, uint32_t dSmallest, uint8_t bReserve) {
    const uint64_t lMember = lNewMemberBlocks(dSmallest, false, bReserve);
    return static_cast<uint32_t>(lMember * dDataDrives(bLevel, bDrives, bParityOf(bLevel, bSubRanks)) /
                                 CAPACITY_UNIT_BLOCKS);
}

uint8_t CreateArray(const CONFIG_RANK_RECORD* psRequest) {
    CONFIG_IMAGE* psImage = pGetScratchConfigImage();
    uint8_t D = 0;
    uint16_t wChunk = 0;
    bool fOneDriveMirror = false;
    if (!CreateRequestIsSound(psRequest, psImage, &D, &wChunk, &fOneDriveMirror)) return 0;

    // Step 11: every member known to the drive table, none in service in
    // another array; the smallest capacity decides.
    MEMBER_CLAIM asClaim[MAX_RANK_MEMBERS];
    uint32_t dSmallest = 0xFFFFFFFF;
    for (uint32_t m = 0; m < D; m++) {
        DRIVE_INFO* psDrive = nullptr;
        uint8_t bIndex = 0;
        if (fFindDriveByWWN(psRequest->aabMemberWwn[m], &psDrive, &bIndex) != TRUE) return 0;
        if (!MayTakeDrive(psImage, psRequest->aabMemberWwn[m], &asClaim[m])) return 0;
        if (psDrive->dCapacity < dSmallest) dSmallest = psDrive->dCapacity;
    }

    // Member size, in 64 bits: drives too small for the smallest array and
    // the reserved end areas are refused rather than wrapped.
    if (fOneDriveMirror && dSmallest > MIRROR_ONE_DRIVE_CAPACITY) dSmallest = MIRROR_ONE_DRIVE_CAPACITY;
    const bool fFlushArea = psRequest->fCacheFlushArray == TRUE && psRequest->bRaidLevel != RAID_LEVEL_0 && D > 1;
    const uint64_t M = lNewMemberBlocks(dSmallest, fFlushArea, psRequest->bCapacityReserve);
    if (M == 0) return 0;

    const uint8_t bRank = static_cast<uint8_t>(psImage->sHeader.wRankCount);
    CONFIG_RANK_RECORD& sNew = psImage->asRank[bRank];
    std::memset(&sNew, 0, sizeof sNew);
    sNew.bRankNumber = bRank;
    sNew.bRaidLevel = psRequest->bRaidLevel;
    sNew.bDriveCount = fOneDriveMirror ? 2 : D;
    sNew.wChunkSize = wChunk;
    if (bRank != 0) {
        const CONFIG_RANK_RECORD& sPrevious = psImage->asRank[bRank - 1];
        sNew.lStartAddress = sPrevious.lStartAddress + sPrevious.lLastOffset + 1;
    }
    sNew.bParityCount = bParityOf(sNew.bRaidLevel, psRequest->bParityCount);
    SetGeometry(&sNew, M);
    sNew.dStoredWord = psRequest->dStoredWord;
    if (fOneDriveMirror || psRequest->fInitialized == TRUE) {
        sNew.bInitState = INIT_PENDING;
    } else {
        sNew.bInitState = sNew.bRaidLevel == RAID_LEVEL_0 ? INIT_NOT_WANTED : INIT_NONE;
    }
    sNew.bCachePolicy =
        bNewArrayCachePolicy(psRequest->bCachePolicy, sNew.bRaidLevel, psImage->sHeader.fSingleControllerMode == TRUE,
                             fIsLinePowerMode() == TRUE || fGetNvramOptionBit2() == TRUE);
    const uint16_t wReadAhead = psRequest->wReadAhead;
    sNew.wReadAhead = wReadAhead <= 4 || wReadAhead == 15 ? wReadAhead : 0;
    const uint16_t wThreshold = psRequest->wWriteThreshold;
    sNew.wWriteThreshold = wThreshold >= 1 && wThreshold <= 10 ? wThreshold : 5;
    sNew.fInitialized = FALSE;
    sNew.fInitPaused = FALSE;
    sNew.bCapacityReserve = psRequest->bCapacityReserve;
    for (uint32_t m = 0; m < D; m++) {
        CopyWwn(psRequest->aabMemberWwn[m], sNew.aabMemberWwn[m]);
        sNew.abMemberState[m] = MEMBER_IN_SERVICE;
    }
    if (fOneDriveMirror) sNew.abMemberState[1] = MEMBER_STATE_MISSING;
    std::memcpy(sNew.acArrayName, psRequest->acArrayName, sizeof sNew.acArrayName);
    sNew.fCacheFlushArray = ToFlag(fFlushArea);
    if (fFlushArea) {
        psImage->sHeader.fCacheFlushArraySet = TRUE;
        psImage->sHeader.fCacheFlushArrayUsed = TRUE;
        psImage->sHeader.wCacheFlushArray = bRank;
    }

    for (uint32_t m = 0; m < D; m++) {
        ReleaseOldSlots(psImage, asClaim[m]);
        TakeDriveIntoArray(psImage, psRequest->aabMemberWwn[m]);
    }
    psImage->sHeader.wRankCount = static_cast<uint16_t>(bRank + 1);
    SetConfigModified(TRUE);
    SetRankLastAccessTime(bRank);
    return STATUS_OK;
}

uint8_t fIsLunOnRank(const CONFIG_IMAGE* psImage, uint8_t bArray, uint16_t wLd) {
    if (bArray >= dClampedRankCount(psImage) || wLd >= dClampedLdCount(psImage)) return FALSE;
    const CONFIG_RANK_RECORD& sRank = psImage->asRank[bArray];
    const uint64_t lFirst = sRank.lStartAddress;
    const uint64_t lLast = sRank.lStartAddress + sRank.lLastOffset;
    const CONFIG_LD_RECORD& sLd = psImage->asLd[wLd];
    const uint32_t dSegments = dClampedSegmentCount(&sLd);
    for (uint32_t s = 0; s < dSegments; s++) {
        if (sLd.asSegment[s].lStart <= lLast && sLd.asSegment[s].lEnd >= lFirst) return TRUE;
    }
    return FALSE;
}

void DeleteArray(uint8_t bArray) {
    CONFIG_IMAGE* psImage = pGetScratchConfigImage();
    const uint32_t dRanks = dClampedRankCount(psImage);
    if (bArray >= dRanks) return;
    CONFIG_HEADER& sHeader = psImage->sHeader;
    const CONFIG_RANK_RECORD sGone = psImage->asRank[bArray];
    const uint64_t lLast = sGone.lStartAddress + sGone.lLastOffset;

    // 1: the logical drives on it, last first.
    for (uint32_t l = dClampedLdCount(psImage); l-- > 0;) {
        if (fIsLunOnRank(psImage, bArray, static_cast<uint16_t>(l)) == TRUE) {
            DeleteLogicalDrive(static_cast<uint16_t>(l), FALSE, TRUE);
        }
    }
    // 2: what lies above it moves down.
    MoveAddressesFrom(psImage, lLast + 1, -static_cast<int64_t>(sGone.lLastOffset + 1));

    // 3: its in-service members become unassigned drives.
    const uint32_t dMembers = dClampedDriveCount(&sGone);
    for (uint32_t m = 0; m < dMembers; m++) {
        uint8_t bTarget = NONE;
        uint8_t bSlot = 0;
        if (sGone.abMemberState[m] != MEMBER_IN_SERVICE || fFindDriveByWWN(sGone.aabMemberWwn[m], &bTarget) != TRUE ||
            fFindDriveSlot(bTarget, &bSlot) == TRUE) {
            continue;
        }
        (void)InsertDriveSlot(bTarget, NONE, fIsWwnInFailedDriveList(sGone.aabMemberWwn[m], psImage));
    }

    // 4: jobs waiting for the commit follow the renumbering.
    if (bGetNvramRebuildPendingFlag() == TRUE) {
        const uint8_t bFrom = fGetPendingRebuildFlag() == TRUE ? bGetPendingRebuildRank() : bGetRebuildRank();
        SetPendingRebuildRequest(bRenumbered(bFrom, bArray));
        SetPendingRebuildFlag(TRUE);
    }
    if (fIsParityCheckInProgress() == TRUE) {
        const uint8_t bFrom = fGetPendingParityCheckFlag() == TRUE ? bGetPendingParityCheckRank() : bGetParityCheckRank();
        SetPendingParityCheckRank(bRenumbered(bFrom, bArray));
        SetPendingParityCheckFlag(TRUE);
    }
    // 5-6: the cache flush area and the stripe initialisation parameters.
    if (sGone.fCacheFlushArray == TRUE) {
        sHeader.fCacheFlushArraySet = FALSE;
        sHeader.fCacheFlushArrayUsed = FALSE;
        sHeader.wCacheFlushArray = 0;
    }
    uint8_t* pbInitParams = pGetPendingStripeInitParams();
    if (fGetPendingStripeInitFlag() != TRUE) std::memset(pbInitParams, 0xFF, STRIPE_INIT_PARAMS_BYTES);

    // 7-8: the records above move down.
    for (uint32_t r = bArray; r + 1 < dRanks; r++) {
        CONFIG_RANK_RECORD& sTo = psImage->asRank[r];
        sTo = psImage->asRank[r + 1];
        sTo.bRankNumber = static_cast<uint8_t>(r);
        sTo.lStartAddress = r == 0 ? 0 : psImage->asRank[r - 1].lStartAddress + psImage->asRank[r - 1].lLastOffset + 1;
        if (sTo.fCacheFlushArray == TRUE) sHeader.wCacheFlushArray = static_cast<uint16_t>(r);
        if (sTo.bInitState == INIT_PENDING && r + 1 < STRIPE_INIT_PARAMS_BYTES) {
            // The commit moves the rank's initialisation from its old number.
            pbInitParams[r] = pbInitParams[r + 1] == 0xFF ? static_cast<uint8_t>(r + 1) : pbInitParams[r + 1];
            SetPendingStripeInitFlag(TRUE);
        }
    }
    std::memset(&psImage->asRank[dRanks - 1], 0, sizeof psImage->asRank[dRanks - 1]);
    sHeader.wRankCount = static_cast<uint16_t>(dRanks - 1);

    // 9: an expansion of it ends; one of a later array is renumbered.
    if (sHeader.fExpansionActive == TRUE && sHeader.bExpansionArray == bArray) {
        sHeader.fExpansionActive = FALSE;
        sHeader.bExpansionArray = NONE;
        std::memset(&psImage->asRank[EXPANSION_RANK], 0, sizeof psImage->asRank[EXPANSION_RANK]);
    } else if (sHeader.bExpansionArray != NONE && sHeader.bExpansionArray > bArray) {
        --sHeader.bExpansionArray;
        --psImage->asRank[EXPANSION_RANK].bRankNumber;
    }
    // 10: spares dedicated to it become global ones.
    const uint32_t dSpares = dClampedSpareCount(psImage);
    for (uint32_t s = 0; s < dSpares; s++) {
        uint8_t& bDedicated = psImage->asSpare[s].bDedicatedRank;
        if (bDedicated == bArray) {
            bDedicated = GLOBAL_SPARE;
        } else if (bDedicated != GLOBAL_SPARE && bDedicated > bArray) {
            --bDedicated;
        }
    }
    // 11.
    ClearRankBadBlocks(psImage, bArray, TRUE);
    SetWriteBackCheckEnable(TRUE);
    SetConfigModified(TRUE);
    SetArrayDeletedFlag(TRUE);
}

EXPANSION_REQUEST* pGetExpandArrayRequest() {
    static EXPANSION_REQUEST s_sRequest;
    return &s_sRequest;
}

uint8_t ExpandArray(const EXPANSION_REQUEST* psRequest) {
    CONFIG_IMAGE* psImage = pGetScratchConfigImage();
    CONFIG_HEADER& sHeader = psImage->sHeader;
    const uint8_t a = psRequest->bArray;
    if (sHeader.wRankCount > EXPANSION_RANK - 1 || sHeader.fExpansionActive == TRUE || a > EXPANSION_RANK ||
        a >= sHeader.wRankCount) {
        return 0;
    }
    const CONFIG_RANK_RECORD& sOld = psImage->asRank[a];
    const uint8_t bLevel = sOld.bRaidLevel;
    if (sOld.bInitState == INIT_PENDING) return 0;
    if ((bLevel == RAID_LEVEL_5 || bLevel == RAID_LEVEL_6 || bLevel == RAID_LEVEL_50 || bLevel == RAID_LEVEL_10) &&
        sOld.bInitState != INIT_NONE) {
        return 0;
    }
    const uint8_t A = psRequest->bAddDrives;
    const uint32_t D = dClampedDriveCount(&sOld);
    if (A == 0 || A + D > MAX_RANK_MEMBERS || (bLevel == RAID_LEVEL_10 && A % 2 != 0)) return 0;
    if (!IsFlag(psRequest->fAddSubRanks)) return 0;
    const bool fSubRanks = psRequest->fAddSubRanks == TRUE;
    const bool fParityLevel = bLevel == RAID_LEVEL_5 || bLevel == RAID_LEVEL_50;
    uint8_t bAddSubRanks = 0;
    if (fSubRanks) {
        // Only the parity levels of sub-ranks grow by whole sub-ranks.
        if (!fParityLevel) return 0;
        bAddSubRanks = psRequest->bAddSubRanks;
        const uint32_t dCurrent = sOld.bParityCount;
        if (bAddSubRanks < 1 || A % bAddSubRanks != 0 || bAddSubRanks + dCurrent > MAX_SUB_RANKS || dCurrent == 0 ||
            A / bAddSubRanks != D / dCurrent) {
            return 0;
        }
    } else if (fParityLevel && (sOld.bParityCount == 0 || A % sOld.bParityCount != 0)) {
        return 0;
    }

    const uint8_t bPathType = bGetArrayMemberPathType(psImage, a);
    MEMBER_CLAIM asClaim[MAX_RANK_MEMBERS];
    uint32_t dSmallest = 0xFFFFFFFF;
    for (uint32_t i = 0; i < A; i++) {
        const uint8_t* pbWwn = psRequest->aabWwn[i];
        DRIVE_INFO* psDrive = nullptr;
        uint8_t bIndex = 0;
        if (fIsNonZeroWwn(pbWwn) != TRUE || bGetDrivePathType(pbWwn) != bPathType ||
            fIsDriveQualified(pbWwn, FALSE) != TRUE || fFindDriveByWWN(pbWwn, &psDrive, &bIndex) != TRUE ||
            IsDuplicateWwn(psRequest->aabWwn, A, i) || !MayTakeDrive(psImage, pbWwn, &asClaim[i])) {
            return 0;
        }
        for (uint32_t m = 0; m < D; m++)
            if (fWwnEqual(sOld.aabMemberWwn[m], pbWwn) == TRUE) return 0;
        if (psDrive->dCapacity < dSmallest) dSmallest = psDrive->dCapacity;
    }
    const uint64_t lMember = (sOld.lLastOffset + 1) / dDataDrives(bLevel, D, sOld.bParityCount);
    // The new drives keep the copy's whole end area free, as a create does.
    const uint64_t lNeeded = lMember + MEMBER_END_RESERVE + (sOld.fCacheFlushArray == TRUE ? CACHE_FLUSH_AREA_BLOCKS : 0);
    if (dSmallest < lNeeded) return 0;

    CONFIG_RANK_RECORD sWork = sOld;
    for (uint32_t i = 0; i < A; i++) {
        CopyWwn(psRequest->aabWwn[i], sWork.aabMemberWwn[D + i]);
        sWork.abMemberState[D + i] = MEMBER_IN_SERVICE;
    }
    if (fSubRanks) {
        sWork.bRaidLevel = RAID_LEVEL_50;
        sWork.bParityCount = static_cast<uint8_t>(sWork.bParityCount + bAddSubRanks);
    }
    sWork.bDriveCount = static_cast<uint8_t>(D + A);
    if (!RowFitsEngine(sWork.bRaidLevel, sWork.bDriveCount, sWork.bParityCount, sWork.wChunkSize)) return 0;
    SetGeometry(&sWork, lMember);
    sWork.bInitState = INIT_EXPANDING;

    for (uint32_t i = 0; i < A; i++) {
        ReleaseOldSlots(psImage, asClaim[i]);
        TakeDriveIntoArray(psImage, psRequest->aabWwn[i]);
    }
    const uint64_t lGained = sWork.lLastOffset - sOld.lLastOffset;
    const uint64_t lOldEnd = sOld.lStartAddress + sOld.lLastOffset;
    MoveAddressesFrom(psImage, lOldEnd + 1, static_cast<int64_t>(lGained));
    for (uint32_t r = a + 1u; r < sHeader.wRankCount; r++) psImage->asRank[r].lStartAddress += lGained;
    psImage->asRank[EXPANSION_RANK] = sOld;
    psImage->asRank[a] = sWork;
    sHeader.bExpansionArray = a;
    sHeader.fExpansionActive = TRUE;
    SetConfigModified(TRUE);
    return STATUS_OK;
}

}  // namespace fw
