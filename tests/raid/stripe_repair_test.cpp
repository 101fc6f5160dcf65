// The resync's stripe repair when the internal pool runs dry, on RAID 5 and
// on RAID 6: the piece it could not issue is kept and repaired on a later
// call, never skipped, so no row of the interrupted write is left with
// stale parity.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "cache/flush_sequencer.h"
#include "executive/kernel_entry.h"
#include "raid/dual_parity.h"
#include "raid/stripe_repair.h"
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
};

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
