// The run-time array and logical drive tables derived by an apply: geometry
// rules, accessors at and beyond the edges, segments across arrays.
#include <algorithm>
#include <vector>

#include "config/ld_table.h"
#include "config/rank_table.h"
#include "console/option_settings.h"
#include "harness/config_test.h"
#include "executive/kernel_entry.h"
#include "executive/system_state.h"

namespace cfgtest {

using namespace harness;

namespace {

class RankTableTest : public ConfigTest {
protected:
    void Apply() {
        PresentAllExcept();
        fw::ApplyStoredSettings(fw::FALSE, fw::TRUE);
    }
};

TEST_F(RankTableTest, DerivedGeometryPerLevel) {
    struct Case {
        uint8_t bLevel;
        uint8_t bDrives;
        uint16_t wChunk;
        uint8_t bParity;
        uint8_t bHeldLevel;
        uint8_t bSubRanks;
        uint32_t dRowDataBlocks;
        uint8_t bDataDrives;
        uint32_t dMaxOutstanding;
    };
    const Case asCases[] = {
        {fw::RAID_LEVEL_5, 5, 128, 1, 0x50, 1, 512, 4, 128},
        {fw::RAID_LEVEL_10, 4, 256, 0, 0x10, 0, 512, 2, 128},
        {fw::RAID_LEVEL_6, 10, 256, 2, 0x06, 2, 2048, 8, 160},
        {fw::RAID_LEVEL_50, 16, 128, 2, 0x50, 2, 896, 14, 128},
        {fw::RAID_LEVEL_0, 12, 512, 0, 0x00, 0, 6144, 12, 192},
        {fw::RAID_LEVEL_N, 9, 128, 3, 0x07, 3, 768, 6, 144},
    };
    for (const Case& c : asCases) AddRank(c.bLevel, c.bDrives, c.wChunk, 1000000, c.bParity);
    Apply();
    for (uint8_t r = 0; r < sizeof(asCases) / sizeof(asCases[0]); r++) {
        const Case& c = asCases[r];
        EXPECT_EQ(fw::bGetRankRaidLevel(r), c.bHeldLevel) << int(r);
        EXPECT_EQ(fw::bGetRankSubRankCount(r), c.bSubRanks) << int(r);
        EXPECT_EQ(fw::dGetRankRowDataBlocks(r), c.dRowDataBlocks) << int(r);
        EXPECT_EQ(fw::bGetRankDataDriveCount(r), c.bDataDrives) << int(r);
        EXPECT_EQ(fw::dGetRankMaxOutstanding(r), c.dMaxOutstanding) << int(r);
        EXPECT_EQ(fw::bGetRankOperationState(r), c.bLevel == 0 ? fw::RANK_STATE_OPTIMAL : fw::RANK_STATE_OPTIMAL) << int(r);
    }
}

TEST_F(RankTableTest, ThresholdAndReadAheadRules) {
    struct Case {
        uint16_t wThreshold;
        uint16_t wReadAhead;
        uint32_t dThresholdBlocks;
        uint32_t dReadAheadBlocks;
        uint8_t fReadAhead;
    };
    const Case asCases[] = {
        {5, 0, 32768, 512, fw::TRUE},    {0, 15, 65536, 0, fw::FALSE}, {11, 1, 65536, 512, fw::TRUE},
        {1, 2, 2048, 1024, fw::TRUE},    {10, 3, 1048576, 2048, fw::TRUE}, {3, 4, 8192, 4096, fw::TRUE},
        {2, 9, 4096, 512, fw::TRUE},
    };
    for (const Case& c : asCases) {
        const uint8_t r = AddRank(fw::RAID_LEVEL_5, 5, 128, 100000, 1);
        s_sLive.asRank[r].wWriteThreshold = c.wThreshold;
        s_sLive.asRank[r].wReadAhead = c.wReadAhead;
        s_sLive.asRank[r].dStripeSize = 262144;
    }
    Apply();
    for (uint8_t r = 0; r < sizeof(asCases) / sizeof(asCases[0]); r++) {
        EXPECT_EQ(fw::dGetRankWriteThreshold(r), asCases[r].dThresholdBlocks) << int(r);
        EXPECT_EQ(fw::dGetRankReadAheadBlocks(r), asCases[r].dReadAheadBlocks) << int(r);
        EXPECT_EQ(fw::fGetRankReadAhead(r), asCases[r].fReadAhead) << int(r);
    }
}

TEST_F(RankTableTest, AccessorsBeyondTheArraysGiveNeutralValues) {
    AddRank(fw::RAID_LEVEL_5, 4, 128, 100000, 1);
    AddRank(fw::RAID_LEVEL_5, 4, 128, 100000, 1);
    AddRank(fw::RAID_LEVEL_5, 4, 128, 100000, 1);
    Apply();
    fw::pGetRankRecord(63)->abMemberDrive[0] = 0x42;
    fw::pGetRankRecord(63)->bDriveCount = 2;
    EXPECT_EQ(fw::bGetRankMemberDrive(63, 0), 0x42);   // record 63 is always accepted
    EXPECT_EQ(fw::bGetRankMemberDrive(2, 3), 11);
    EXPECT_EQ(fw::bGetRankMemberDrive(2, 4), 0xFF);
    for (uint8_t r : {3, 62, 64, 200, 255}) {
        EXPECT_EQ(fw::bGetRankMemberDrive(r, 0), 0xFF) << int(r);
        EXPECT_EQ(fw::bGetRankMemberFlags(r, 0), 0) << int(r);
        EXPECT_EQ(fw::dGetRankWriteThreshold(r), 0u) << int(r);
        EXPECT_EQ(fw::dGetRankMaxOutstanding(r), 0u) << int(r);
        EXPECT_EQ(fw::fGetRankInitPending(r), fw::FALSE) << int(r);
        EXPECT_EQ(fw::bGetRankOperationState(r), fw::RANK_STATE_FAILED) << int(r);
        EXPECT_EQ(fw::bGetRankMemberState(r, 200), 0xFF) << int(r);
        EXPECT_EQ(fw::fIsRankPolicyBit6Set(r), r < 64 ? fw::FALSE : fw::FALSE) << int(r);
    }
    EXPECT_EQ(fw::wGetRankSegmentCount(64), 1);
}

TEST_F(RankTableTest, UnusableStoredGeometryIsAFailedArrayNotACrash) {
    AddRank(fw::RAID_LEVEL_50, 8, 128, 100000, 0);    // no parity groups
    AddRank(fw::RAID_LEVEL_6, 2, 128, 100000, 0);     // parity on every member
    const uint8_t r = AddRank(fw::RAID_LEVEL_5, 4, 128, 100000, 1);
    s_sLive.asRank[r].bDriveCount = 200;              // more members than a record holds
    AddRank(fw::RAID_LEVEL_N, 4, 128, 100000, 0);     // no sub-ranks
    const uint16_t l = AddLd({{0, 1000}});
    Apply();
    EXPECT_EQ(fw::bGetRankOperationState(0), fw::RANK_STATE_FAILED);
    EXPECT_EQ(fw::bGetRankOperationState(1), fw::RANK_STATE_FAILED);
    EXPECT_EQ(fw::bGetRankDriveCount(2), 16);
    EXPECT_EQ(fw::bGetRankOperationState(3), fw::RANK_STATE_FAILED);
    EXPECT_EQ(fw::bGetLogicalDriveState(l), fw::LD_STATE_UNAVAILABLE);
}

TEST_F(RankTableTest, SharedOutstandingLimitNeverDividesByZero) {
    const uint8_t r = AddRank(fw::RAID_LEVEL_5, 4, 128, 100000, 1);
    s_sLive.asRank[r].bCachePolicy = fw::POLICY_SHARED_OUTSTANDING;
    Apply();
    EXPECT_EQ(fw::fIsRankPolicyBit6Set(r), fw::TRUE);
    EXPECT_EQ(fw::dGetRankMaxOutstanding(r), 128u);
}

TEST_F(RankTableTest, CachePolicyPostsOnlyChangesOfReason) {
    const uint8_t r = AddRank(fw::RAID_LEVEL_5, 4, 128, 100000, 1);
    s_sLive.asRank[r].bCachePolicy = fw::POLICY_WRITE_BACK | fw::POLICY_BATTERY | fw::POLICY_FAULT_TOLERANT;
    fw::SetBatteryCapacity(10);
    Apply();
    auto Count = [this](uint8_t bCode) {
        int n = 0;
        for (uint8_t b : EventCodes()) n += b == bCode;
        return n;
    };
    ASSERT_NE(FindEvent(111), nullptr);
    EXPECT_EQ(FindEvent(111)->abArgs[1], fw::CACHE_REASON_BATTERY);
    fw::EvaluateRankCachePolicy(r);
    EXPECT_EQ(Count(111), 1);
    fw::KERNEL_ENTRY sWrite{};
    sWrite.bRank = r;
    EXPECT_EQ(fw::fIsRankWriteBackAllowed(&sWrite), fw::FALSE);
    fw::SetBatteryCapacity(90);
    fw::EvaluateRankCachePolicy(r);
    EXPECT_EQ(Count(112), 1);
    EXPECT_EQ(fw::fIsRankWriteBackAllowed(&sWrite), fw::TRUE);
    sWrite.lFlags = 1ull << 58;
    EXPECT_EQ(fw::fIsRankWriteBackAllowed(&sWrite), fw::FALSE);
    sWrite.lFlags = 0;
    // A member lost: critical, and no rebuild is running.
    fw::SetRankOperationState(r, fw::RANK_STATE_DEGRADED);
    fw::SetRankMemberFlags(r, 1, fw::MEMBER_FLAGS_MISSING);
    fw::EvaluateRankCachePolicy(r);
    EXPECT_EQ(Count(111), 2);
    EXPECT_EQ(fw::fIsRankWriteBackAllowed(&sWrite), fw::FALSE);
    sWrite.bRank = 5;
    EXPECT_EQ(fw::fIsRankWriteBackAllowed(&sWrite), fw::FALSE);
}

// Write-back switched off for the whole controller, or held off while the
// board is hot, disables every write-back array's cache with its own reason.
TEST_F(RankTableTest, CachePolicyNamesWriteBackSwitchedOffForTheController) {
    const uint8_t r = AddRank(fw::RAID_LEVEL_5, 4, 128, 100000, 1);
    s_sLive.asRank[r].bCachePolicy = fw::POLICY_WRITE_BACK;
    fw::SetWritebackCaching(fw::FALSE);
    Apply();
    ASSERT_NE(FindEvent(111), nullptr);
    EXPECT_EQ(FindEvent(111)->abArgs[1], fw::CACHE_REASON_CONTROLLER_OFF);
    fw::SetWritebackCaching(fw::TRUE);
    fw::EvaluateRankCachePolicy(r);
    EXPECT_NE(FindEvent(112), nullptr);
    fw::SetWritebackCachingSuppressed(fw::TRUE);
    fw::EvaluateRankCachePolicy(r);
    const std::vector<uint8_t> ab = EventCodes();
    EXPECT_EQ(std::count(ab.begin(), ab.end(), 111), 2);
}

class LdTableTest : public RankTableTest {};

TEST_F(LdTableTest, SegmentsAcrossArraysAndTheirCounts) {
    AddRank(fw::RAID_LEVEL_5, 4, 128, 10000, 1);       // 0..9999
    AddRank(fw::RAID_LEVEL_5, 4, 128, 10000, 1);       // 10000..19999
    AddRank(fw::RAID_LEVEL_5, 4, 128, 10000, 1);       // 20000..29999
    const uint16_t l0 = AddLd({{10000, 1000}, {20000, 500}});
    const uint16_t l1 = AddLd({{0, 1000}, {1000, 500}});
    s_sLive.asLd[l1].wLdId = 0;
    s_sLive.asLd[l1].wBlockSize = 0;
    Apply();
    uint64_t lLast = 0;
    EXPECT_EQ(fw::bGetLogicalDriveCapacity(l0, &lLast), 0xFF);
    EXPECT_EQ(lLast, 1499u);
    EXPECT_EQ(fw::bGetLogicalDriveRank(l0), 0xFF);
    EXPECT_EQ(fw::bGetLogicalDriveRank(l1), 0);
    EXPECT_EQ(fw::bGetLogicalDriveFirstRank(l0), 1);
    EXPECT_EQ(fw::wGetRankSegmentCount(0), 2);
    EXPECT_EQ(fw::wGetRankSegmentCount(1), 1);
    EXPECT_EQ(fw::wGetRankSegmentCount(2), 1);
    EXPECT_EQ(s_sLive.asLd[l1].wLdId, 0x8001);
    EXPECT_EQ(fw::wGetLogicalDriveId(l1), 1);
    EXPECT_EQ(fw::wFindLogicalDriveById(1), l1);
    EXPECT_EQ(fw::wFindLogicalDriveById(0), l0);
    EXPECT_EQ(fw::wFindLogicalDriveById(2), 0xFFFF);   // records never filled carry no identifier
    EXPECT_EQ(fw::fGetConfigApplyOption(), fw::TRUE);   // the repaired identifier is saved
    EXPECT_EQ(s_sLive.asLd[l1].wBlockSize, 512);
    EXPECT_EQ(fw::bGetLogicalDriveState(l0), fw::LD_STATE_AVAILABLE);
    EXPECT_EQ(fw::bGetLogicalDriveState(2), fw::LD_STATE_UNAVAILABLE);
    EXPECT_EQ(fw::bGetLogicalDriveState(600), fw::LD_STATE_UNAVAILABLE);
    EXPECT_EQ(fw::bGetLogicalDriveCapacity(2, &lLast), 0);
    EXPECT_EQ(lLast, 0u);
    EXPECT_EQ(fw::wGetLogicalDriveId(2), 0xFFFF);
    EXPECT_EQ(fw::bGetLogicalDriveRank(512), 0xFF);
}

TEST_F(LdTableTest, BlockSizeAndPresentationRules) {
    AddRank(fw::RAID_LEVEL_5, 4, 128, 100000, 1);
    struct Case {
        uint8_t bAvailability;
        uint8_t bSanMapState;
        uint8_t fBoth;
    };
    const Case asCases[] = {{3, 0, fw::FALSE}, {5, 0, fw::TRUE}, {0, 0, fw::TRUE}, {1, 0, fw::FALSE},
                            {12, 0, fw::FALSE}, {15, 0, fw::TRUE}, {3, 34, fw::TRUE}, {8, 35, fw::TRUE}};
    for (const Case& c : asCases) {
        const uint16_t l = AddLd({{static_cast<uint64_t>(s_sLive.sHeader.wLdCount) * 100, 100}});
        s_sLive.asLd[l].bAvailability = c.bAvailability;
        s_sLive.asLd[l].bSanMapState = c.bSanMapState;
        s_sLive.asLd[l].wBlockSize = 4096;
    }
    Apply();
    for (uint16_t l = 0; l < sizeof(asCases) / sizeof(asCases[0]); l++)
        EXPECT_EQ(fw::bGetLogicalDriveBothControllers(l), asCases[l].fBoth) << l;
    EXPECT_EQ(fw::wGetLogicalDriveBlockSize(0), 4096);
    EXPECT_EQ(fw::bGetLogicalDriveBlockFactor(0), 8);
    EXPECT_EQ(fw::wGetLogicalDriveBlockSize(100), 512);
    EXPECT_EQ(fw::bGetLogicalDriveBlockFactor(100), 1);
    EXPECT_EQ(fw::bGetLogicalDriveBothControllers(100), fw::FALSE);
}

TEST_F(LdTableTest, OversizedStoredCountsAreClamped) {
    AddRank(fw::RAID_LEVEL_5, 4, 128, 100000, 1);
    const uint16_t l = AddLd({{0, 1000}});
    s_sLive.asLd[l].bSegmentCount = 200;
    s_sLive.sHeader.wLdCount = 5000;
    s_sLive.sHeader.wBadBlockCount = 60000;
    s_sLive.sHeader.wSanMapCount = 60000;
    s_sLive.sHeader.wSpareCount = 300;
    s_sLive.sHeader.wPrRecordCount = 9000;
    Apply();
    EXPECT_EQ(fw::wGetLogicalDriveCount(), 512);
    EXPECT_EQ(fw::bGetLogicalDriveSegmentCount(l), 16);
}

}  // namespace
}  // namespace cfgtest
