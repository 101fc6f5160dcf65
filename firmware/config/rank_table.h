// The run-time array (rank) table derived from the live configuration image,
// its accessors and the per-array cache policy evaluation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config/config_image.h"

namespace fw {

// bRankState values.
constexpr uint8_t RANK_STATE_OPTIMAL = 0xFF;
constexpr uint8_t RANK_STATE_DEGRADED = 0;
constexpr uint8_t RANK_STATE_FAILED = 2;
constexpr uint8_t RANK_STATE_EXPANDING = 3;

// abMemberFlags values.
constexpr uint8_t MEMBER_FLAGS_IN_SERVICE = 0;
constexpr uint8_t MEMBER_FLAGS_MISSING = 0x44;
constexpr uint8_t MEMBER_FLAGS_UNMATCHED = 0x55;

// Cache policy bits.
constexpr uint8_t POLICY_WRITE_BACK = 0x01;
constexpr uint8_t POLICY_MIRROR = 0x02;
constexpr uint8_t POLICY_UPS = 0x04;
constexpr uint8_t POLICY_BATTERY = 0x08;
constexpr uint8_t POLICY_FAULT_TOLERANT = 0x10;
constexpr uint8_t POLICY_FLUSH_ARRAY = 0x20;
constexpr uint8_t POLICY_SHARED_OUTSTANDING = 0x40;

// Cache-disable reasons.
constexpr uint8_t CACHE_REASON_PARTNER = 1;
constexpr uint8_t CACHE_REASON_BATTERY = 2;
constexpr uint8_t CACHE_REASON_CRITICAL = 4;
constexpr uint8_t CACHE_REASON_UPS = 8;
constexpr uint8_t CACHE_REASON_CONTROLLER_OFF = 16;

// Search results of FindDriveInRanks besides (array, member).
constexpr uint8_t DRIVE_IS_HOT_SPARE = 245;
constexpr uint8_t DRIVE_IS_REBUILD_TARGET = 243;
constexpr uint8_t DRIVE_IS_UNASSIGNED = 255;

#pragma pack(push, 1)
struct RANK_RECORD {
    uint64_t lStartAddress;
    uint64_t lLastAddress;
    uint64_t lLastOffset;
    uint32_t dStripeSize;
    uint32_t dStoredWord;
    uint32_t dRowDataBlocks;
    uint16_t wChunkSize;
    uint8_t bRankNumber;
    uint8_t bRaidLevel;
    uint8_t abMemberDrive[MAX_RANK_MEMBERS];
    uint8_t abMemberDriveAlt[MAX_RANK_MEMBERS];
    uint8_t abMemberState[MAX_RANK_MEMBERS];
    uint8_t abMemberFlags[MAX_RANK_MEMBERS];
    uint8_t bDriveCount;
    uint8_t bRankState;
    uint8_t bCachePolicy;
    uint8_t bSubRankCount;
    uint32_t dWriteThreshold;
    uint32_t dReadAheadBlocks;
    uint32_t dMaxOutstanding;
    uint16_t wSegmentCount;
    uint8_t fReadAhead;
    uint8_t bReserved123;
    uint8_t fInitPending;
    uint8_t fInitPaused;
    uint8_t bDataDriveCount;
    uint8_t fMemberOnMux;
};
#pragma pack(pop)
static_assert(sizeof(RANK_RECORD) == 128);
static_assert(offsetof(RANK_RECORD, dStripeSize) == 24);
static_assert(offsetof(RANK_RECORD, dRowDataBlocks) == 32);
static_assert(offsetof(RANK_RECORD, abMemberDrive) == 40);
static_assert(offsetof(RANK_RECORD, bRankState) == 105);
static_assert(offsetof(RANK_RECORD, bCachePolicy) == 106);
static_assert(offsetof(RANK_RECORD, bSubRankCount) == 107);
static_assert(offsetof(RANK_RECORD, fInitPending) == 124);
static_assert(offsetof(RANK_RECORD, fInitPaused) == 125);

// Fills record r from its stored record: geometry, derived values and the
// starting state.  Members are judged by the apply afterwards.  Returns FALSE
// (and marks the array failed) when the stored geometry is unusable.
uint8_t fDeriveRankRecord(uint8_t bRank, const CONFIG_RANK_RECORD* psStored);
// The state an array starts an apply with, from its stored job state.
uint8_t bInitialRankState(const CONFIG_RANK_RECORD* psStored);
void SetRankCount(uint8_t bCount);
RANK_RECORD* pGetRankRecord(uint8_t bRank);   // nullptr above 63

void GetRankStartAddress(uint8_t bRank, uint64_t* plAddress);
void GetRankLastAddress(uint8_t bRank, uint64_t* plAddress);
void GetRankLastOffset(uint8_t bRank, uint64_t* plOffset);
uint32_t dGetRankStripeSize(uint8_t bRank);
uint32_t dGetRankRowDataBlocks(uint8_t bRank);
uint16_t wGetRankChunkSize(uint8_t bRank);
uint8_t bGetRankCount();
uint8_t bGetRankCountForMenus();
RANK_RECORD* pGetRankTable();
uint8_t bGetRankRaidLevel(uint8_t bRank);
uint8_t bGetRankDriveCount(uint8_t bRank);
uint8_t bGetRankSubRankCount(uint8_t bRank);
uint8_t bGetRankDataDriveCount(uint8_t bRank);
uint8_t bGetRankOperationState(uint8_t bRank);
void SetRankOperationState(uint8_t bRank, uint8_t bState);
uint8_t bGetRankMemberDrive(uint8_t bRank, uint8_t bMember);
void SetRankMemberDrive(uint8_t bRank, uint8_t bMember, uint8_t bDrive);
uint8_t bGetRankMemberDriveOnPath(uint8_t bRank, uint8_t bMember, uint8_t bPath);
void SetRankMemberDriveOnPath(uint8_t bRank, uint8_t bMember, uint8_t bPath, uint8_t bDrive);
uint8_t bGetRankMemberState(uint8_t bRank, uint8_t bMember);
void SetRankMemberState(uint8_t bRank, uint8_t bMember, uint8_t bState);
uint8_t bGetRankMemberFlags(uint8_t bRank, uint8_t bMember);
void SetRankMemberFlags(uint8_t bRank, uint8_t bMember, uint8_t bFlags);
uint32_t dGetRankWriteThreshold(uint8_t bRank);
uint32_t dGetRankReadAheadBlocks(uint8_t bRank);
uint8_t fGetRankReadAhead(uint8_t bRank);
uint32_t dGetRankMaxOutstanding(uint8_t bRank);
uint16_t wGetRankSegmentCount(uint8_t bRank);
uint8_t fGetRankInitPending(uint8_t bRank);
void SetRankInitPending(uint8_t bRank, uint8_t f);
uint8_t fGetRankInitPaused(uint8_t bRank);
void SetAllRanksInitPaused(uint8_t f);
uint8_t fGetRankMemberOnMux(uint8_t bRank);
uint8_t fIsRankPolicyBit6Set(uint8_t bRank);
uint8_t fIsRankWriteBackMirrored(uint8_t bRank);
// TRUE when an array keeps its write-back cache when the partner fails:
// a controller running alone then acknowledges writes only it holds.
uint8_t fDoesAnyRankKeepWriteBackAlone();
uint8_t fRankHasInitPendingSegment(uint16_t wLd);
void FindDriveInRanks(uint8_t bDrive, uint8_t* pbA, uint8_t* pbB);
void FindDriveInRanks2(uint8_t bDrive, uint8_t* pbA, uint8_t* pbB);
// TRUE when a member of a configured array is missing from the present drives.
uint8_t fAnyConfiguredMemberMissing();

struct KERNEL_ENTRY;
// Whether a host write to the array (the command's first array) may be
// cached in write-back mode now.
uint8_t fIsRankWriteBackAllowed(const KERNEL_ENTRY* psEntry);
void EvaluateRankCachePolicy(uint8_t bRank);
void ApplyRankCachePolicies();
void ClearRankCacheReasons();

}  // namespace fw
