// The resync's stripe repair when the internal pool runs dry: the piece it
// could not issue is kept and repaired on a later call, never skipped, so no
// row of the interrupted write is left with stale parity.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "cache/flush_sequencer.h"
#include "executive/kernel_entry.h"
#include "raid/stripe_repair.h"
#include "raid_road.h"
#include "target/host_command_pool.h"

namespace {

class StripeRepairTest : public raidtest::RaidRoadTest {
protected:
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

TEST_F(StripeRepairTest, APieceHeldByAnEmptyPoolIsRepairedLaterNotSkipped) {
    MakeRank({fw::RAID_LEVEL_5, 4, 16});
    WipeDrives(1024);
    const uint64_t kRow = Parity().RowBlocks();
    for (uint64_t row = 0; row < 4; ++row) {
        ASSERT_NO_FATAL_FAILURE(Write(row * kRow, static_cast<uint16_t>(kRow), static_cast<uint32_t>(row + 1)));
    }
    // The parity of rows 1 and 2 as a write cut short left it.
    std::mt19937 rng(104);
    std::vector<uint8_t> stale(spec.wChunk * raidtest::kBlock);
    for (uint64_t row = 1; row <= 2; ++row) {
        for (uint8_t& b : stale) b = static_cast<uint8_t>(rng());
        chassis.DriveAt(Parity().ParityMember(row, 0) + 1)->WriteBlocks(row * spec.wChunk, spec.wChunk, stale.data());
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

}  // namespace
