// The run-time array table: derivation from the stored records, accessors and
// the per-array cache policy evaluation.
#include "config/rank_table.h"

#include <algorithm>
#include <cstring>

#include "cache/cache.h"
#include "config/apply_settings.h"
#include "config/config_state.h"
#include "config/drive_tables.h"
#include "config/ld_table.h"
#include "config/nvram_layout.h"
#include "config/nvram_records.h"
#include "console/option_settings.h"
#include "eventlog/event_log.h"
#include "eventlog/statistics.h"
#include "executive/kernel_entry.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "partner/partner_link.h"
#include "raid/raid_engine.h"

namespace fw {

namespace {

RANK_RECORD s_asRank[MAX_RANKS];
uint8_t s_bRankCount;
uint8_t s_abCacheReason[MAX_RANKS];

constexpr uint32_t MIN_MAX_OUTSTANDING = 128;
constexpr uint32_t DEFAULT_WRITE_THRESHOLD = 65536;
constexpr uint16_t READ_AHEAD_DISABLED = 15;
constexpr uint8_t EVENT_CACHE_DISABLED = 111;
constexpr uint8_t EVENT_CACHE_REENABLED = 112;

// Configured arrays, and record 63 which doubles as the pre-expansion
// geometry.
bool IsRankOrExpansion(uint8_t bRank) { return bRank < s_bRankCount || bRank == EXPANSION_RANK; }
bool IsConfiguredRank(uint8_t bRank) { return bRank < s_bRankCount; }

bool IsMember(uint8_t bRank, uint8_t bMember) {
    return bMember < MAX_RANK_MEMBERS && bMember < s_asRank[bRank].bDriveCount;
}

uint8_t bBatteryThreshold() { return dGetOemCode() == 0x101 ? 25 : 80; }

uint8_t bCountFlaggedMembers(const RANK_RECORD& sRank) {
    uint8_t bCount = 0;
    for (uint8_t m = 0; m < sRank.bDriveCount && m < MAX_RANK_MEMBERS; m++)
        if (sRank.abMemberFlags[m] != MEMBER_FLAGS_IN_SERVICE) bCount++;
    return bCount;
}

}  // namespace

uint8_t bInitialRankState(const CONFIG_RANK_RECORD* psStored) {
    if (psStored->bInitState != 1) return psStored->bInitState;
    return psStored->bRaidLevel == RAID_LEVEL_0 ? RANK_STATE_DEGRADED : RANK_STATE_OPTIMAL;
}

uint8_t fDeriveRankRecord(uint8_t bRank, const CONFIG_RANK_RECORD* psStored) {
    if (bRank >= MAX_RANKS) return FALSE;
    RANK_RECORD& sRank = s_asRank[bRank];
    std::memset(&sRank, 0, sizeof(sRank));
    sRank.lStartAddress = psStored->lStartAddress;
    sRank.lLastOffset = psStored->lLastOffset;
    sRank.lLastAddress = psStored->lStartAddress + psStored->lLastOffset;
    sRank.dStripeSize = psStored->dStripeSize;
    sRank.dStoredWord = psStored->dStoredWord;
    sRank.wChunkSize = psStored->wChunkSize;
    sRank.bRankNumber = psStored->bRankNumber;
    sRank.bRaidLevel = psStored->bRaidLevel == RAID_LEVEL_5 ? RAID_LEVEL_50 : psStored->bRaidLevel;
    sRank.bCachePolicy = psStored->bCachePolicy;
    const uint8_t n = static_cast<uint8_t>(dClampedDriveCount(psStored));
    sRank.bDriveCount = n;
    std::memset(sRank.abMemberDrive, 0xFF, sizeof(sRank.abMemberDrive));
    std::memset(sRank.abMemberDriveAlt, 0xFF, sizeof(sRank.abMemberDriveAlt));
    std::memset(sRank.abMemberState, 0xFF, sizeof(sRank.abMemberState));

    switch (psStored->bRaidLevel) {
        case RAID_LEVEL_0:
        case RAID_LEVEL_10: sRank.bSubRankCount = 0; break;
        case RAID_LEVEL_5: sRank.bSubRankCount = 1; break;
        case RAID_LEVEL_6: sRank.bSubRankCount = 2; break;
        default: sRank.bSubRankCount = psStored->bParityCount; break;
    }

    // A geometry that cannot be striped (no members, no parity groups, more
    // parity than members) is a failed array, never a division by zero.
    const uint8_t G = sRank.bSubRankCount;
    const uint32_t K = sRank.wChunkSize;
    bool fUsable = n > 0;
    switch (sRank.bRaidLevel) {
        case RAID_LEVEL_50:
            fUsable = fUsable && G > 0 && G <= n;
            if (fUsable) {
                sRank.dRowDataBlocks = (n / G - 1) * K;
                sRank.bDataDriveCount = static_cast<uint8_t>(n - G);
            }
            break;
        case RAID_LEVEL_10:
            sRank.dRowDataBlocks = (n * K) / 2;
            sRank.bDataDriveCount = n / 2;
            break;
        case RAID_LEVEL_6:
        case RAID_LEVEL_N:
            fUsable = fUsable && G > 0 && G < n;
            if (fUsable) {
                sRank.dRowDataBlocks = K * (n - G);
                sRank.bDataDriveCount = static_cast<uint8_t>(n - G);
            }
            break;
        default:
            sRank.dRowDataBlocks = n * K;
            sRank.bDataDriveCount = n;
            break;
    }

    const uint16_t wThreshold = psStored->wWriteThreshold;
    sRank.dWriteThreshold = (wThreshold >= 1 && wThreshold <= 10) ? (2048u << (wThreshold - 1)) : DEFAULT_WRITE_THRESHOLD;
    switch (psStored->wReadAhead) {
        case 1: sRank.dReadAheadBlocks = 512; break;
        case 2: sRank.dReadAheadBlocks = 1024; break;
        case 3: sRank.dReadAheadBlocks = 2048; break;
        case 4: sRank.dReadAheadBlocks = 4096; break;
        case READ_AHEAD_DISABLED: sRank.dReadAheadBlocks = 0; break;
        default: sRank.dReadAheadBlocks = sRank.dStripeSize / 512; break;
    }
    sRank.fReadAhead = ToFlag(psStored->wReadAhead != READ_AHEAD_DISABLED);
    const uint32_t dPerDrive = sRank.bRaidLevel == RAID_LEVEL_50 ? 8 : 16;
    sRank.dMaxOutstanding = std::max(dPerDrive * n, MIN_MAX_OUTSTANDING);
    sRank.wSegmentCount = 0;
    sRank.fInitPending = ToFlag(psStored->bInitState == 1);
    sRank.fInitPaused = ToFlag(psStored->bInitState == 1 && psStored->fInitPaused == TRUE);
    sRank.fMemberOnMux = FALSE;
    sRank.bRankState = fUsable ? bInitialRankState(psStored) : RANK_STATE_FAILED;
    if (!fUsable) std::memset(sRank.abMemberFlags, MEMBER_FLAGS_MISSING, n);
    return ToFlag(fUsable);
}

void SetRankCount(uint8_t bCount) { s_bRankCount = std::min<uint8_t>(bCount, MAX_RANKS); }
RANK_RECORD* pGetRankRecord(uint8_t bRank) { return bRank < MAX_RANKS ? &s_asRank[bRank] : nullptr; }

void GetRankStartAddress(uint8_t bRank, uint64_t* plAddress) {
    *plAddress = bRank < MAX_RANKS ? s_asRank[bRank].lStartAddress : 0;
}
void GetRankLastAddress(uint8_t bRank, uint64_t* plAddress) {
    *plAddress = bRank < MAX_RANKS ? s_asRank[bRank].lLastAddress : 0;
}
void GetRankLastOffset(uint8_t bRank, uint64_t* plOffset) {
    *plOffset = bRank < MAX_RANKS ? s_asRank[bRank].lLastOffset : 0;
}
uint32_t dGetRankStripeSize(uint8_t bRank) { return bRank < MAX_RANKS ? s_asRank[bRank].dStripeSize : 0; }
uint32_t dGetRankRowDataBlocks(uint8_t bRank) { return bRank < MAX_RANKS ? s_asRank[bRank].dRowDataBlocks : 0; }
uint16_t wGetRankChunkSize(uint8_t bRank) { return bRank < MAX_RANKS ? s_asRank[bRank].wChunkSize : 0; }
uint8_t bGetRankCount() { return s_bRankCount; }
uint8_t bGetRankCountForMenus() { return s_bRankCount; }
RANK_RECORD* pGetRankTable() { return s_asRank; }
uint8_t bGetRankRaidLevel(uint8_t bRank) { return bRank < MAX_RANKS ? s_asRank[bRank].bRaidLevel : 0; }
uint8_t bGetRankDriveCount(uint8_t bRank) { return bRank < MAX_RANKS ? s_asRank[bRank].bDriveCount : 0; }
uint8_t bGetRankSubRankCount(uint8_t bRank) { return bRank < MAX_RANKS ? s_asRank[bRank].bSubRankCount : 0; }
uint8_t bGetRankDataDriveCount(uint8_t bRank) { return bRank < MAX_RANKS ? s_asRank[bRank].bDataDriveCount : 0; }

// No array at this number reads as a failed array.
uint8_t bGetRankOperationState(uint8_t bRank) {
    return bRank < MAX_RANKS ? s_asRank[bRank].bRankState : RANK_STATE_FAILED;
}
void SetRankOperationState(uint8_t bRank, uint8_t bState) {
    if (bRank < MAX_RANKS) s_asRank[bRank].bRankState = bState;
}

uint8_t bGetRankMemberDrive(uint8_t bRank, uint8_t bMember) {
    if (!IsRankOrExpansion(bRank) || !IsMember(bRank, bMember)) return 0xFF;
    return s_asRank[bRank].abMemberDrive[bMember];
}
void SetRankMemberDrive(uint8_t bRank, uint8_t bMember, uint8_t bDrive) {
    if (IsRankOrExpansion(bRank) && IsMember(bRank, bMember)) s_asRank[bRank].abMemberDrive[bMember] = bDrive;
}
uint8_t bGetRankMemberDriveOnPath(uint8_t bRank, uint8_t bMember, uint8_t bPath) {
    if (!IsRankOrExpansion(bRank) || bMember >= MAX_RANK_MEMBERS) return 0xFF;
    const RANK_RECORD& sRank = s_asRank[bRank];
    return bPath == 3 ? sRank.abMemberDrive[bMember] : sRank.abMemberDriveAlt[bMember];
}
void SetRankMemberDriveOnPath(uint8_t bRank, uint8_t bMember, uint8_t bPath, uint8_t bDrive) {
    if (bRank >= MAX_RANKS || bMember >= MAX_RANK_MEMBERS) return;
    RANK_RECORD& sRank = s_asRank[bRank];
    (bPath == 3 ? sRank.abMemberDrive : sRank.abMemberDriveAlt)[bMember] = bDrive;
}
uint8_t bGetRankMemberState(uint8_t bRank, uint8_t bMember) {
    if (bRank >= MAX_RANKS || bMember >= MAX_RANK_MEMBERS) return 0xFF;
    const uint8_t bState = s_asRank[bRank].abMemberState[bMember];
    return (bState >= 1 && bState <= 3) ? bState : 0xFF;
}
void SetRankMemberState(uint8_t bRank, uint8_t bMember, uint8_t bState) {
    if (bRank < MAX_RANKS && bMember < MAX_RANK_MEMBERS) s_asRank[bRank].abMemberState[bMember] = bState;
}
uint8_t bGetRankMemberFlags(uint8_t bRank, uint8_t bMember) {
    if (!IsRankOrExpansion(bRank) || bMember >= MAX_RANK_MEMBERS) return 0;
    return s_asRank[bRank].abMemberFlags[bMember];
}
void SetRankMemberFlags(uint8_t bRank, uint8_t bMember, uint8_t bFlags) {
    if (bRank < MAX_RANKS && bMember < MAX_RANK_MEMBERS) s_asRank[bRank].abMemberFlags[bMember] = bFlags;
}
uint32_t dGetRankWriteThreshold(uint8_t bRank) {
    return IsRankOrExpansion(bRank) ? s_asRank[bRank].dWriteThreshold : 0;
}
uint32_t dGetRankReadAheadBlocks(uint8_t bRank) {
    return IsRankOrExpansion(bRank) ? s_asRank[bRank].dReadAheadBlocks : 0;
}
uint8_t fGetRankReadAhead(uint8_t bRank) { return IsRankOrExpansion(bRank) ? s_asRank[bRank].fReadAhead : FALSE; }

uint32_t dGetRankMaxOutstanding(uint8_t bRank) {
    if (!IsRankOrExpansion(bRank)) return 0;
    if (fIsRankPolicyBit6Set(bRank) == TRUE) {
        // The write budget is shared among the arrays that are writing; with
        // none writing the array keeps its own limit.
        const uint32_t dWriting = dGetRanksWithWrites();
        if (dWriting != 0) return dGetWriteBufferCount() / dWriting;
    }
    return s_asRank[bRank].dMaxOutstanding;
}
uint16_t wGetRankSegmentCount(uint8_t bRank) { return bRank < MAX_RANKS ? s_asRank[bRank].wSegmentCount : 1; }
uint8_t fGetRankInitPending(uint8_t bRank) { return IsConfiguredRank(bRank) ? s_asRank[bRank].fInitPending : FALSE; }
void SetRankInitPending(uint8_t bRank, uint8_t f) {
    if (IsConfiguredRank(bRank)) s_asRank[bRank].fInitPending = f;
}
uint8_t fGetRankInitPaused(uint8_t bRank) { return IsConfiguredRank(bRank) ? s_asRank[bRank].fInitPaused : FALSE; }
void SetAllRanksInitPaused(uint8_t f) {
    const uint32_t dCount = dClampedRankCount(pGetConfigImage());
    for (uint32_t r = 0; r < dCount; r++) s_asRank[r].fInitPaused = f;
}
uint8_t fGetRankMemberOnMux(uint8_t bRank) { return IsConfiguredRank(bRank) ? s_asRank[bRank].fMemberOnMux : FALSE; }
uint8_t fIsRankPolicyBit6Set(uint8_t bRank) {
    if (bRank >= MAX_RANKS) return FALSE;
    return ToFlag((s_asRank[bRank].bCachePolicy & POLICY_SHARED_OUTSTANDING) != 0);
}
uint8_t fDoesAnyRankKeepWriteBackAlone() {
    for (uint8_t r = 0; r < s_bRankCount && r < MAX_RANKS; r++) {
        const uint8_t bPolicy = s_asRank[r].bCachePolicy;
        if ((bPolicy & POLICY_WRITE_BACK) != 0 && (bPolicy & POLICY_MIRROR) == 0) return TRUE;
    }
    return FALSE;
}

uint8_t fIsRankWriteBackMirrored(uint8_t bRank) {
    if (!IsConfiguredRank(bRank)) return FALSE;
    const uint8_t bBits = POLICY_WRITE_BACK | POLICY_MIRROR;
    return ToFlag((s_asRank[bRank].bCachePolicy & bBits) == bBits && fIsDualControllerActive() == TRUE);
}

uint8_t fRankHasInitPendingSegment(uint16_t wLd) {
    const LD_RECORD* psLd = pGetLogicalDriveRecord(wLd);
    if (psLd == nullptr) return FALSE;
    const uint32_t dSegments = std::min<uint32_t>(psLd->bSegmentCount, MAX_LD_SEGMENTS);
    for (uint32_t s = 0; s < dSegments; s++) {
        const uint8_t bRank = bFindRankHoldingAddress(psLd->asSegment[s].lStart);
        if (fGetRankInitPending(bRank) == TRUE) return TRUE;
    }
    return FALSE;
}

void FindDriveInRanks(uint8_t bDrive, uint8_t* pbA, uint8_t* pbB) {
    for (uint8_t r = 0; r < s_bRankCount; r++) {
        const RANK_RECORD& sRank = s_asRank[r];
        for (uint8_t m = 0; m < sRank.bDriveCount && m < MAX_RANK_MEMBERS; m++) {
            if (sRank.abMemberDrive[m] == bDrive && sRank.abMemberFlags[m] != MEMBER_FLAGS_UNMATCHED) {
                *pbA = r;
                *pbB = m;
                return;
            }
        }
    }
    uint8_t bIndex = 0;
    if (fFindHotSpareRow(bDrive, &bIndex) == TRUE) {
        *pbA = DRIVE_IS_HOT_SPARE;
        *pbB = bIndex;
        return;
    }
    if (fFindDriveSlot(bDrive, &bIndex) == TRUE) {
        *pbA = DRIVE_IS_UNASSIGNED;
        *pbB = bIndex;
        return;
    }
    if (bGetNvramRebuildPendingFlag() == TRUE && bGetRebuildTargetLoopId() == bDrive) {
        *pbA = DRIVE_IS_REBUILD_TARGET;
        *pbB = 0;
    }
}

uint8_t fAnyConfiguredMemberMissing() {
    for (uint8_t r = 0; r < s_bRankCount; r++)
        if (bCountFlaggedMembers(s_asRank[r]) != 0) return TRUE;
    return FALSE;
}

void FindDriveInRanks2(uint8_t bDrive, uint8_t* pbA, uint8_t* pbB) { FindDriveInRanks(bDrive, pbA, pbB); }

namespace {

// The reasons an array's write-back policy cannot be honoured for want of the
// partner or of battery charge.
uint8_t bPartnerAndBatteryReasons(uint8_t bPolicy) {
    const bool fDual = fIsDualControllerActive() == TRUE;
    const bool fWithoutPartner = fGetWriteBackWithoutPartner() == TRUE;
    const bool fOption2 = fGetNvramOptionBit2() == TRUE;
    uint8_t bReason = 0;
    if ((bPolicy & POLICY_MIRROR) && !fDual && !fWithoutPartner) bReason |= CACHE_REASON_PARTNER;
    // The uninterruptible power supply check always reports present.
    if ((bPolicy & POLICY_BATTERY) && bGetBatteryCapacity() < bBatteryThreshold() && !fOption2)
        bReason |= CACHE_REASON_BATTERY;
    if ((bPolicy & POLICY_MIRROR) && (bPolicy & POLICY_BATTERY) && fDual && !fWithoutPartner &&
        bGetPartnerBatteryCapacity() < bBatteryThreshold() && !fOption2)
        bReason |= CACHE_REASON_BATTERY;
    return bReason;
}

// Redundancy lost: a RAID 6 array with one member out still has parity.
bool IsCriticalForCaching(const RANK_RECORD& sRank) {
    if (sRank.bRankState >= RANK_STATE_OPTIMAL || sRank.bRaidLevel == RAID_LEVEL_0) return false;
    return !(sRank.bRaidLevel == RAID_LEVEL_6 && bCountFlaggedMembers(sRank) == 1);
}

constexpr uint64_t FLAG_NO_WRITE_BACK = 1ull << 58;

}  // namespace

uint8_t fIsRankWriteBackAllowed(const KERNEL_ENTRY* psEntry) {
    const uint8_t bRank = psEntry->bRank;
    if (!IsConfiguredRank(bRank)) return FALSE;
    const RANK_RECORD& sRank = s_asRank[bRank];
    const uint8_t bPolicy = sRank.bCachePolicy;
    if ((bPolicy & POLICY_WRITE_BACK) == 0) return FALSE;
    if (bPartnerAndBatteryReasons(bPolicy) != 0) return FALSE;
    if (psEntry->lFlags & FLAG_NO_WRITE_BACK) return FALSE;
    if ((bPolicy & POLICY_FAULT_TOLERANT) && IsCriticalForCaching(sRank)) {
        // Below the rebuild position the data is redundant again.
        const uint8_t bFlagged = bCountFlaggedMembers(sRank);
        const bool fRebuilding = bGetNvramRebuildPendingFlag() == TRUE && bGetRebuildRank() == bRank;
        const uint8_t bLimit = sRank.bRaidLevel == RAID_LEVEL_6 ? 2 : 1;
        if (!fRebuilding || bFlagged > bLimit || psEntry->lInternalAddress + psEntry->wBlockCount >= lGetRebuildHostPosition())
            return FALSE;
    }
    uint8_t bFlushRank = 0;
    if ((bPolicy & POLICY_FLUSH_ARRAY) && fGetCacheFlushArray(&bFlushRank) != TRUE) return FALSE;
    return ToFlag(sRank.bRankState != RANK_STATE_EXPANDING);
}

void EvaluateRankCachePolicy(uint8_t bRank) {
    if (bRank >= MAX_RANKS) return;
    const RANK_RECORD& sRank = s_asRank[bRank];
    const uint8_t bPolicy = sRank.bCachePolicy;
    if ((bPolicy & POLICY_WRITE_BACK) == 0) return;

    uint8_t bReason = fGetWritebackCaching() != TRUE ? CACHE_REASON_CONTROLLER_OFF : 0;
    bReason |= bPartnerAndBatteryReasons(bPolicy);
    if ((bPolicy & POLICY_FAULT_TOLERANT) && IsCriticalForCaching(sRank)) bReason |= CACHE_REASON_CRITICAL;

    if (bReason == s_abCacheReason[bRank] || sRank.bRankState == RANK_STATE_FAILED) return;
    s_abCacheReason[bRank] = bReason;
    if (bReason == 0) PostEvent(EVENT_CACHE_REENABLED, bRank);
    else PostEvent(EVENT_CACHE_DISABLED, bRank, bReason);
}

void ApplyRankCachePolicies() {
    for (uint8_t r = 0; r < s_bRankCount; r++) EvaluateRankCachePolicy(r);
}

void ClearRankCacheReasons() { std::memset(s_abCacheReason, 0, sizeof(s_abCacheReason)); }

}  // namespace fw
