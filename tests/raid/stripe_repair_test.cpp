// The resync's stripe repair, as the flush sequencer hands it a journalled
// write: a mirror is rewritten from its source half, a RAID 5 piece
// repairs its blocks of the parity, and nothing is written from blocks the
// repair could not read.  When the internal pool runs dry, on RAID 5 and on
// RAID 6, the piece it could not issue is kept and repaired on a later
// call, never skipped, so no row of the interrupted write is left with
// stale parity.
#include <gtest/gtest.h>

#include <initializer_list>
#include <random>
#include <span>
#include <vector>

#include "cache/flush_sequencer.h"
#include "executive/kernel_entry.h"
#include "raid/dual_parity.h"
#include "raid/stripe_repair.h"
#include "raid_reference.h"
#include "raid_road.h"
#include "target/host_command_pool.h"

namespace {

class StripeRepairTest : public raidtest::RaidRoadTest {
protected:
    uint8_t MapOther(fw::KERNEL_ENTRY* ps, uint32_t d) override { return fw::bMapRaid6Command(0, ps, d); }
    // The resync request of an interrupted write, as the flush sequencer
    // hands it to the repair.
    fw::KERNEL_ENTRY* ResyncRequest(uint64_t lAddress, uint16_t wBlocks) {
        fw::KERNEL_ENTRY* ps = nullptr;
        uint16_t wIndex = 0;
        EXPECT_EQ(fw::bAllocTargetEntries(fw::PORT_CODE_FC_HOST_1, 1, &ps, &wIndex, fw::FALSE), fw::STATUS_OK);
        ps->bPrimaryState = fw::PS_RESYNC_WAITING;
        ps->bPortCode = fw::PORT_CODE_FC_HOST_1;
        ps->bCommandType = fw::CT_RESYNC_OWN;
        ps->fUsed = fw::TRUE;
        ps->bRank = 0;
        ps->bMember = fw::NO_MEMBER;
        ps->lFlags = 0;
        ps->lRankAddress = lAddress;
        ps->wBlocks = wBlocks;
        ps->wChildrenOutstanding = 0;
        ps->psMother = ps;
        return ps;
    }
    // The request repaired through the calls the flush sequencer makes,
    // until it is done.
    void Repair(fw::KERNEL_ENTRY* psRequest) {
        ASSERT_EQ(b.board().RunOnCpu([] {
            fw::IncCacheFlushResyncCount();
            fw::StartStripeRepair();
        }),
                  sim::StopKind::Finished);
        RunUntil([&] { return psRequest->bPrimaryState == fw::PS_RESYNC_DONE; });
    }
    void Scribble(unsigned member, uint64_t block, uint32_t blocks, uint32_t seed) {
        std::mt19937 rng(seed);
        std::vector<uint8_t> v(blocks * raidtest::kBlock);
        for (uint8_t& b : v) b = static_cast<uint8_t>(rng());
        chassis.DriveAt(member + 1)->WriteBlocks(block, blocks, v.data());
    }
    // The XOR of the members' blocks.
    std::vector<uint8_t> XorOf(std::initializer_list<unsigned> members, uint64_t block, uint32_t blocks) {
        std::vector<uint8_t> v(blocks * raidtest::kBlock, 0);
        for (unsigned m : members) {
            const std::vector<uint8_t> d = DriveBlocks(m + 1, block, blocks);
            for (size_t i = 0; i < v.size(); ++i) v[i] ^= d[i];
        }
        return v;
    }
};

// A mirror is made whole from one half: the first half of a pair, or the
// second when the first is being rebuilt; the other half is written, never
// the one read.  A pair that lacks a half is left alone.
TEST_F(StripeRepairTest, AMirrorIsRewrittenFromItsSourceHalf) {
    MakeRank({fw::RAID_LEVEL_10, 4, 16});
    WipeDrives(256);
    ASSERT_NO_FATAL_FAILURE(Write(0, 128, 1));
    // Pair 0's second half and pair 1's first half hold what a write cut
    // short left; pair 1's first half is being rebuilt.
    Scribble(1, 0, 64, 2);
    Scribble(2, 0, 64, 3);
    FailMember(2, fw::MEMBER_REBUILDING);
    std::vector<uint64_t> reads(4);
    for (unsigned m = 0; m < 4; ++m) {
        chassis.DriveAt(m + 1)->onCommand = [&reads, m](std::span<const uint8_t> cdb) {
            if (cdb[0] == fw::SCSI_READ10) ++reads[m];
        };
    }
    fw::KERNEL_ENTRY* psRequest = ResyncRequest(0, 128);
    Repair(psRequest);
    EXPECT_FALSE(fw::HasFlag(psRequest, fw::KE_FLAG_CHILD_FAILED));
    EXPECT_EQ(reads, (std::vector<uint64_t>{4, 0, 0, 4}));
    EXPECT_EQ(DriveBlocks(2, 0, 64), DriveBlocks(1, 0, 64));
    EXPECT_EQ(DriveBlocks(3, 0, 64), DriveBlocks(4, 0, 64));
    for (uint64_t x = 0; x < 128; ++x) {
        const raidref::Place p = raidref::Striped(x, 2, 16);
        ASSERT_EQ(DriveBlocks(2 * p.member + 1, p.block, 1), Expected(x)) << "block " << x;
    }
    fw::FreeTargetEntry(psRequest);

    // Pair 0 without its first half: nothing is read or written.
    FailMember(0);
    reads.assign(4, 0);
    psRequest = ResyncRequest(0, 16);
    ASSERT_EQ(b.board().RunOnCpu([] {
        fw::IncCacheFlushResyncCount();
        fw::StartStripeRepair();
    }),
              sim::StopKind::Finished);
    EXPECT_EQ(psRequest->bPrimaryState, fw::PS_RESYNC_DONE);
    EXPECT_TRUE(Queued().empty());
    fw::FreeTargetEntry(psRequest);
    for (unsigned m = 0; m < 4; ++m) chassis.DriveAt(m + 1)->onCommand = nullptr;
    ExpectPoolsReturned();
}

// A RAID 5 piece inside one chunk repairs just its blocks of the row's
// parity; one that spans chunks repairs the whole chunk height; a data
// block the repair cannot read leaves the parity as it was and marks the
// request failed, so that its journal slot is kept.
TEST_F(StripeRepairTest, ARaid5PieceRepairsItsBlocksOfTheParity) {
    MakeRank({fw::RAID_LEVEL_5, 4, 16});
    WipeDrives(256);
    ASSERT_NO_FATAL_FAILURE(Write(0, 96, 1));
    // Row 0: parity on member 0, data on 1, 2 and 3.
    Scribble(0, 0, 16, 4);
    const std::vector<uint8_t> stale = DriveBlocks(1, 0, 16);
    fw::KERNEL_ENTRY* psRequest = ResyncRequest(3, 10);
    Repair(psRequest);
    EXPECT_EQ(DriveBlocks(1, 3, 10), XorOf({1, 2, 3}, 3, 10));
    EXPECT_EQ(DriveBlocks(1, 0, 3), std::vector<uint8_t>(stale.begin(), stale.begin() + 3 * raidtest::kBlock));
    EXPECT_EQ(DriveBlocks(1, 13, 3), std::vector<uint8_t>(stale.begin() + 13 * raidtest::kBlock, stale.end()));
    fw::FreeTargetEntry(psRequest);

    psRequest = ResyncRequest(20, 20);
    Repair(psRequest);
    EXPECT_EQ(DriveBlocks(1, 0, 16), XorOf({1, 2, 3}, 0, 16));
    fw::FreeTargetEntry(psRequest);

    Scribble(0, 0, 16, 5);
    const std::vector<uint8_t> before = DriveBlocks(1, 0, 16);
    chassis.DriveAt(3)->InjectMediaError(6, 1);
    psRequest = ResyncRequest(0, 48);
    Repair(psRequest);
    EXPECT_TRUE(fw::HasFlag(psRequest, fw::KE_FLAG_CHILD_FAILED));
    EXPECT_EQ(DriveBlocks(1, 0, 16), before);
    fw::FreeTargetEntry(psRequest);
    chassis.DriveAt(3)->ClearMediaErrors();
    ExpectPoolsReturned();
}

class StripeRepairLevels : public StripeRepairTest, public ::testing::WithParamInterface<uint8_t> {
protected:
    uint64_t RowBlocks() const { return GetParam() == fw::RAID_LEVEL_6 ? Dual().RowBlocks() : Parity().RowBlocks(); }
    // The members holding the row's parity: P, and on RAID 6 Q.
    std::vector<unsigned> ParityMembers(uint64_t row) const {
        if (GetParam() == fw::RAID_LEVEL_6) return {Dual().PMember(row), Dual().QMember(row)};
        return {Parity().ParityMember(row, 0)};
    }
};

// Rows 1 and 2 of four written rows hold the parity (P and Q on RAID 6) a
// write cut short left; the repair, held up by an empty pool and called
// again, leaves every row as its data says.
TEST_P(StripeRepairLevels, APieceHeldByAnEmptyPoolIsRepairedLaterNotSkipped) {
    if (GetParam() == fw::RAID_LEVEL_6) {
        MakeRank({fw::RAID_LEVEL_6, 5, 16, 2});
    } else {
        MakeRank({fw::RAID_LEVEL_5, 4, 16});
    }
    WipeDrives(1024);
    const uint64_t kRow = RowBlocks();
    for (uint64_t row = 0; row < 4; ++row) {
        ASSERT_NO_FATAL_FAILURE(Write(row * kRow, static_cast<uint16_t>(kRow), static_cast<uint32_t>(row + 1)));
    }
    std::mt19937 rng(104);
    std::vector<uint8_t> stale(spec.wChunk * raidtest::kBlock);
    for (uint64_t row = 1; row <= 2; ++row) {
        for (unsigned m : ParityMembers(row)) {
            for (uint8_t& b : stale) b = static_cast<uint8_t>(rng());
            chassis.DriveAt(m + 1)->WriteBlocks(row * spec.wChunk, spec.wChunk, stale.data());
        }
    }

    fw::KERNEL_ENTRY* psRequest = ResyncRequest(kRow, static_cast<uint16_t>(2 * kRow));
    std::vector<fw::KERNEL_ENTRY*> aTaken;
    fw::KERNEL_ENTRY* ps = nullptr;
    while (fw::bAllocKernelEntries(0, 1, &ps) == fw::STATUS_OK) aTaken.push_back(ps);
    ASSERT_EQ(b.board().RunOnCpu([] {
        fw::IncCacheFlushResyncCount();
        fw::StartStripeRepair();
    }),
              sim::StopKind::Finished);
    EXPECT_EQ(psRequest->bPrimaryState, fw::PS_RESYNC_WAITING);
    EXPECT_EQ(fw::wGetCacheFlushResyncCount(), 1);

    for (fw::KERNEL_ENTRY* p : aTaken) fw::FreeKernelEntries(p);
    ASSERT_EQ(b.board().RunOnCpu([] { fw::StartStripeRepair(); }), sim::StopKind::Finished);
    RunUntil([&] { return psRequest->bPrimaryState == fw::PS_RESYNC_DONE; });
    EXPECT_FALSE(fw::HasFlag(psRequest, fw::KE_FLAG_CHILD_FAILED));
    ExpectDrivesMatchReference();
    fw::FreeTargetEntry(psRequest);
    ExpectPoolsReturned();
}

INSTANTIATE_TEST_SUITE_P(Levels, StripeRepairLevels, ::testing::Values(fw::RAID_LEVEL_5, fw::RAID_LEVEL_6),
                         [](const ::testing::TestParamInfo<uint8_t>& i) {
                             return i.param == fw::RAID_LEVEL_6 ? "Raid6" : "Raid5";
                         });

}  // namespace
