// The choice of hot spares for an array: dedicated spares kept apart from
// global ones, the smallest that holds the member and the configuration
// copy first, the earlier of equals first; never a spare dedicated to
// another array, one too small, or one that cannot be used.  The check
// itself on memory-backed drives: it stands aside while a rebuild is
// recorded or runs, and a spare for the array that holds the cache flush
// area must hold that area too.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "config/apply_settings.h"
#include "config/array_operations.h"
#include "config/config_commit.h"
#include "config/config_flags.h"
#include "config/config_image.h"
#include "config/config_state.h"
#include "config/drive_tables.h"
#include "enclosure/drive_table.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "raid/rebuild.h"
#include "raid/rebuild_check.h"
#include "raid_road.h"
#include "sas/sas_device_list.h"

namespace {

constexpr uint8_t G = 255;   // a global spare
constexpr uint8_t T = fw::TRUE, F = fw::FALSE;
constexpr uint32_t kNeeded = 100000;
constexpr uint64_t kRequired = kNeeded + fw::SPARE_MARGIN_BLOCKS;

struct Case {
    const char* what;
    std::vector<fw::SPARE_CANDIDATE> spares;
    uint8_t wanted;
    std::vector<uint8_t> dedicated, global;   // rows chosen, 255 none
};

TEST(RebuildSpareChoice, DedicatedBeforeGlobalSmallestAndEarlierOfEquals) {
    const uint32_t big = 300000, small = 160000;
    const Case kCases[] = {
        {"a global spare", {{G, T, big}}, 1, {255}, {0}},
        {"the smallest global", {{G, T, big}, {G, T, small}}, 1, {255}, {1}},
        {"equals: the earlier", {{G, T, small}, {G, T, small}}, 1, {255}, {0}},
        {"dedicated kept apart", {{G, T, small}, {3, T, big}}, 1, {1}, {0}},
        {"dedicated elsewhere never", {{4, T, small}}, 1, {255}, {255}},
        {"unusable never", {{G, F, small}, {3, F, small}}, 1, {255}, {255}},
        {"just too small", {{G, T, uint32_t(kRequired - 1)}}, 1, {255}, {255}},
        {"just large enough", {{G, T, uint32_t(kRequired)}}, 1, {255}, {0}},
        {"the member size alone is too small", {{G, T, kNeeded + 32767}}, 1, {255}, {255}},
        {"RAID 6: the two smallest of each", {{G, T, big}, {3, T, big}, {G, T, small}, {G, T, small + 1}, {3, T, small}},
         2, {4, 1}, {2, 3}},
        {"none", {}, 2, {255, 255}, {255, 255}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        uint8_t d[2] = {7, 7}, g[2] = {7, 7};
        fw::ChooseSpares(c.spares.data(), uint8_t(c.spares.size()), 3, kRequired, c.wanted, d, g);
        EXPECT_EQ(std::vector<uint8_t>(d, d + c.wanted), c.dedicated);
        EXPECT_EQ(std::vector<uint8_t>(g, g + c.wanted), c.global);
    }
}

// A degraded RAID 5 of four members (member 1 missing) on slots 1 to 4,
// its members' drives and a spare on slot 11 in the drive table.
class RebuildCheckTest : public raidtest::RaidRoadTest {
protected:
    static constexpr uint32_t kMember = 100000;
    static constexpr unsigned kSpareSlot = 11;

    void SetUp() override {
        RaidRoadTest::SetUp();
        image = std::make_unique<fw::CONFIG_IMAGE>();
        fw::SetConfigImagePointer(image.get());
        image->sHeader.wRankCount = 1;
        image->sHeader.fAutoRebuild = fw::TRUE;
    }
    void TearDown() override {
        fw::pGetHotSpareTable()->bCount = 0;
        fw::SetConfigImagePointer(nullptr);
    }
    // The stored settings applied, then the array and the drive table as
    // the apply and the drive scan would leave them.
    void Prepare() {
        ASSERT_EQ(b.board().RunOnCpu([] { (void)fw::ApplyStoredSettings(fw::FALSE, fw::TRUE); }),
                  sim::StopKind::Finished);
        MakeRank({fw::RAID_LEVEL_5, 4, 16});
        fw::pGetRankRecord(0)->lLastOffset = 3ull * kMember - 1;
        fw::pGetRankRecord(0)->bDataDriveCount = 3;
        image->asRank[0].bDriveCount = 4;
        fw::ClearDriveInfoList(fw::pGetDriveInfoList());
        for (uint8_t m = 0; m < 4; ++m) ASSERT_NO_FATAL_FAILURE(AddDrive(m + 1u, image->asRank[0].aabMemberWwn[m]));
        ASSERT_NO_FATAL_FAILURE(AddDrive(kSpareSlot, nullptr));
        FailMember(1);
        fw::pGetHotSpareTable()->bCount = 0;
        fw::SetNvramRebuildPendingFlag(fw::FALSE);
        fw::SetRebuildWork(fw::FALSE);
        fw::SetConfigUpdatePending(fw::FALSE);
    }
    // The drive of a slot in the drive table; its WWN goes to pbWwn.
    void AddDrive(unsigned slot, uint8_t* pbWwn) {
        fw::DRIVE_INFO d{};
        fw::ClearDriveInfoRecord(&d);
        ASSERT_EQ(fw::bGetSASAddressOfTarget(d.abWWN, TargetOfSlot(slot)), fw::STATUS_OK);
        d.bLoopID1 = d.bHardIDFromADISC = TargetOfSlot(slot);
        d.wBlockSize = 512;
        d.dCapacity = 0x7FFFFFFF;
        ASSERT_EQ(fw::fAppendDriveInfo(fw::pGetDriveInfoList(), &d), fw::TRUE);
        if (pbWwn != nullptr) std::memcpy(pbWwn, d.abWWN, 8);
    }
    // A second RAID 5 of four members on slots 5 to 8, its members half the
    // size of the first's, member 2 missing.
    void AddSecondRank() {
        fw::SetRankCount(2);
        image->sHeader.wRankCount = 2;
        fw::RANK_RECORD* ps = fw::pGetRankRecord(1);
        *ps = *fw::pGetRankRecord(0);
        ps->bRankNumber = 1;
        ps->lLastOffset = 3ull * (kMember / 2) - 1;
        image->asRank[1].bDriveCount = 4;
        for (uint8_t m = 0; m < 4; ++m) {
            ps->abMemberDrive[m] = TargetOfSlot(m + 5u);
            ps->abMemberFlags[m] = 0;
            ASSERT_NO_FATAL_FAILURE(AddDrive(m + 5u, image->asRank[1].aabMemberWwn[m]));
        }
        ps->abMemberFlags[2] = fw::MEMBER_FAILED;
        ps->abMemberDrive[2] = 0xFF;
    }
    // The spare on slot 11, global, its last block given.
    void OfferSpare(uint32_t dLastBlock) {
        fw::DRIVE_INFO* ps = nullptr;
        uint8_t bIndex = 0;
        ASSERT_EQ(fw::fFindDriveByLoopID(0, TargetOfSlot(kSpareSlot), &ps, &bIndex), fw::TRUE);
        ps->dCapacity = dLastBlock;
        fw::HOT_SPARE_TABLE* psSpares = fw::pGetHotSpareTable();
        psSpares->bCount = 1;
        psSpares->abDrive[0] = TargetOfSlot(kSpareSlot);
        psSpares->abDriveAlt[0] = 0xFF;
        psSpares->abDedicatedRank[0] = 0xFF;
        psSpares->abSpareIndex[0] = 0;
    }
    void Check() {
        fw::SetRebuildCheckPending(fw::TRUE);
        ASSERT_EQ(b.board().RunOnCpu([] { fw::RebuildCheckTask(); }), sim::StopKind::Finished);
        EXPECT_EQ(fw::fGetRebuildCheckPending(), fw::FALSE);
    }
    bool Started() const { return fw::bGetRankMemberFlags(0, 1) == fw::MEMBER_FLAGS_REBUILDING; }

    std::unique_ptr<fw::CONFIG_IMAGE> image;
};

// A rebuild recorded in NVRAM, or one that runs, keeps the check from
// starting another and from touching the running one's work flag.
TEST_F(RebuildCheckTest, TheCheckStandsAsideWhileARebuildIsRecordedOrRuns) {
    ASSERT_NO_FATAL_FAILURE(Prepare());
    OfferSpare(0x7FFFFFFF);
    fw::SetRebuildWork(fw::TRUE);
    Check();
    EXPECT_EQ(fw::fGetRebuildWork(), fw::TRUE);
    EXPECT_FALSE(Started());
    EXPECT_EQ(fw::fIsConfigUpdatePending(), fw::FALSE);

    fw::SetRebuildWork(fw::FALSE);
    fw::SetNvramRebuildPendingFlag(fw::TRUE);
    Check();
    EXPECT_FALSE(Started());
    EXPECT_EQ(fw::fIsConfigUpdatePending(), fw::FALSE);

    // Neither: the spare is taken.
    fw::SetNvramRebuildPendingFlag(fw::FALSE);
    Check();
    EXPECT_TRUE(Started());
    EXPECT_EQ(fw::fGetRebuildWork(), fw::TRUE);
    EXPECT_EQ(fw::bGetHotSpareCount(), 0);
    EXPECT_EQ(fw::fIsConfigUpdatePending(), fw::TRUE);
}

// The array that holds the cache flush area keeps it past every member's
// data: a spare must hold it as well as the member and the configuration
// copy.  Another array's spare needs no room for it.
TEST_F(RebuildCheckTest, TheCacheFlushArraysSpareHoldsTheFlushAreaToo) {
    const uint64_t lPlain = uint64_t(kMember) + fw::SPARE_MARGIN_BLOCKS;
    image->sHeader.fCacheFlushArraySet = fw::TRUE;
    image->sHeader.fCacheFlushArrayUsed = fw::TRUE;
    image->sHeader.wCacheFlushArray = 0;
    image->asRank[0].fCacheFlushArray = fw::TRUE;
    ASSERT_NO_FATAL_FAILURE(Prepare());
    EXPECT_EQ(fw::lGetReplacementBlocks(0, kMember), lPlain + fw::CACHE_FLUSH_AREA_BLOCKS);
    EXPECT_EQ(fw::lGetReplacementBlocks(1, kMember), lPlain);
    OfferSpare(uint32_t(lPlain + fw::CACHE_FLUSH_AREA_BLOCKS - 1));
    Check();
    EXPECT_FALSE(Started());
    EXPECT_EQ(fw::bGetHotSpareCount(), 1);
    // A pass that started nothing saves nothing: the save's apply would
    // ask for the check again, and again.
    EXPECT_EQ(fw::fIsConfigUpdatePending(), fw::FALSE);
    OfferSpare(uint32_t(lPlain + fw::CACHE_FLUSH_AREA_BLOCKS));
    Check();
    EXPECT_TRUE(Started());
    EXPECT_EQ(fw::fIsConfigUpdatePending(), fw::TRUE);
}

// An array whose missing member nothing can replace does not end the
// check: the next array with a missing member is tried, and takes the spare
// that was too small for the first.
TEST_F(RebuildCheckTest, AnArrayNothingCanReplaceDoesNotEndTheSearch) {
    ASSERT_NO_FATAL_FAILURE(Prepare());
    ASSERT_NO_FATAL_FAILURE(AddSecondRank());
    OfferSpare(kMember);
    Check();
    EXPECT_FALSE(Started());
    EXPECT_EQ(fw::bGetRankMemberFlags(1, 2), fw::MEMBER_FLAGS_REBUILDING);
    EXPECT_EQ(fw::bGetHotSpareCount(), 0);
}

}  // namespace
