// The rebuild on memory-backed drives: a member of a RAID 1/10, 5, 50 or 6
// array is regenerated onto a replacement through the step machine, the
// region passes and in-order retirement, and the replacement then holds
// what the member held, to the last block and no further; the record ends
// past the last block and the member is back in service.  A replacement that
// refuses its writes ends the rebuild with event 13.
#include <gtest/gtest.h>

#include <cstring>
#include <span>
#include <vector>

#include "config/apply_settings.h"
#include "config/config_image.h"
#include "config/config_state.h"
#include "eventlog/event_log.h"
#include "eventlog/statistics.h"
#include "executive/progress.h"
#include "executive/tick.h"
#include "executive/work_flags.h"
#include "hw/scsi.h"
#include "raid/dual_parity.h"
#include "raid/raid_engine.h"
#include "raid/rebuild.h"
#include "raid/rebuild_regions.h"
#include "raid_road.h"
#include "sas/sas_flags.h"

namespace {

using raidtest::kBlock;

constexpr unsigned kReplacementSlot = 11;
const uint8_t kWwn[8] = {0x50, 0, 0, 0, 0, 0, 0x11, 0x22};

class RebuildTest : public raidtest::RaidRoadTest {
protected:
    uint8_t MapOther(fw::KERNEL_ENTRY* ps, uint32_t d) override { return fw::bMapRaid6Command(0, ps, d); }

    void SetUp() override {
        RaidRoadTest::SetUp();
        std::memset(&image, 0, sizeof image);
        fw::SetConfigImagePointer(&image);
    }

    // The array with `members` blocks per member, filled with data.
    void MakeFilledRank(const raidtest::RankSpec& r, uint32_t members) {
        MakeRank(r);
        fw::RANK_RECORD* ps = fw::pGetRankRecord(0);
        const uint8_t G = r.bSubRanks ? r.bSubRanks : (r.bLevel == fw::RAID_LEVEL_6 ? 2 : 1);
        const uint32_t n = r.bLevel == fw::RAID_LEVEL_10 ? r.bDrives / 2u : uint32_t(r.bDrives - G);
        if (r.bLevel == fw::RAID_LEVEL_6) ps->bSubRankCount = 2;
        ps->bDataDriveCount = uint8_t(n);
        ps->lLastOffset = uint64_t(members) * n - 1;
        image.asRank[0].bDriveCount = r.bDrives;
        WipeDrives(members + 64);
        const uint64_t span = (uint64_t(members) + r.wChunk - 1) / r.wChunk * r.wChunk * n;
        for (uint64_t a = 0; a < span; a += 40) Write(a, uint16_t(std::min<uint64_t>(40, span - a)), uint32_t(a + 3));
        ExpectDrivesMatchReference();
    }

    void Wipe(unsigned slot, uint32_t blocks) {
        const std::vector<uint8_t> z(blocks * kBlock, 0xA5);
        chassis.DriveAt(slot)->WriteBlocks(0, blocks, z.data());
    }

    // The main loop's passes of the rebuild and the RAID engine until the
    // rebuild ends.
    void RunRebuild() {
        RunUntil([] {
            if (fw::fGetRebuildWork() == fw::TRUE) (void)fw::RebuildStep();
            fw::IssueRebuildRegions();
            fw::ProcessRebuildRegionCompletions();
            return fw::fGetRebuildWork() != fw::TRUE && fw::fIsAnyRebuildRegionOut() != fw::TRUE;
        });
    }

    fw::CONFIG_IMAGE image;
};

struct Case {
    const char* what;
    raidtest::RankSpec spec;
    uint32_t members;   // blocks per member: not a multiple of the region
    uint8_t d0, d1;
};

TEST_F(RebuildTest, TheReplacementHoldsWhatTheMemberHeld) {
    const Case kCases[] = {
        {"RAID 10", {fw::RAID_LEVEL_10, 4, 16}, 2 * 2048 + 40, 2, 255},
        {"RAID 5", {fw::RAID_LEVEL_5, 4, 8}, 8 * 40 + 5, 1, 255},
        {"RAID 50", {fw::RAID_LEVEL_50, 6, 8, 2}, 8 * 24 + 3, 4, 255},
        {"RAID 6, one lost", {fw::RAID_LEVEL_6, 6, 8}, 8 * 30 + 7, 0, 255},
        {"RAID 6, two lost", {fw::RAID_LEVEL_6, 6, 8}, 8 * 30 + 7, 3, 5},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        MakeFilledRank(c.spec, c.members);
        const std::vector<uint8_t> held = DriveBlocks(c.d0 + 1u, 0, c.members);
        FailMember(c.d0);
        if (c.d1 != 255) FailMember(c.d1);
        Wipe(kReplacementSlot, c.members + 8);
        const uint8_t r = TargetOfSlot(kReplacementSlot);
        ASSERT_EQ(b.board().RunOnCpu([&] {
            if (c.d1 == 255) {
                fw::StartRebuild(0, c.d0, r, 0xFF, kWwn, c.members);
            } else {
                fw::StartRaid6Rebuild(0, c.d0, c.d1, r, 0xFF, kWwn, c.members);
            }
        }),
                  sim::StopKind::Finished);
        EXPECT_EQ(fw::bGetRankMemberFlags(0, c.d0), fw::MEMBER_FLAGS_REBUILDING);
        RunRebuild();
        ASSERT_EQ(DriveBlocks(kReplacementSlot, 0, c.members), held);
        EXPECT_EQ(DriveBlocks(kReplacementSlot, c.members, 1), std::vector<uint8_t>(kBlock, 0xA5)) << "past the end";
        EXPECT_EQ(fw::dGetRebuildPosition(), c.members);
        EXPECT_EQ(fw::bGetRebuildPercent(), 100);
        EXPECT_EQ(fw::bGetNvramRebuildPendingFlag(), fw::FALSE);
        EXPECT_EQ(fw::bGetRankMemberFlags(0, c.d0), fw::MEMBER_FLAGS_IN_SERVICE);
        EXPECT_EQ(std::memcmp(image.asRank[0].aabMemberWwn[c.d0], kWwn, 8), 0);
        ExpectPoolsReturned();
    }
}

// A replacement that refuses its writes ends the rebuild, its member marked
// so, rather than stalling it for ever.
TEST_F(RebuildTest, AReplacementRefusingWritesEndsTheRebuild) {
    MakeFilledRank({fw::RAID_LEVEL_5, 4, 8}, 8 * 40);
    FailMember(1);
    chassis.DriveAt(kReplacementSlot)->FailCommand(fw::SCSI_WRITE10, 1000);
    ASSERT_EQ(b.board().RunOnCpu([&] { fw::StartRebuild(0, 1, TargetOfSlot(kReplacementSlot), 0xFF, kWwn, 8 * 40); }),
              sim::StopKind::Finished);
    RunRebuild();
    EXPECT_EQ(fw::bGetRankMemberFlags(0, 1), fw::MEMBER_FLAGS_REBUILD_FAILED);
    EXPECT_EQ(fw::bGetNvramRebuildPendingFlag(), fw::FALSE);
    EXPECT_EQ(fw::bGetRebuildRank(), 255);
    ExpectPoolsReturned();
}

// The main loop's scheduler drives the rebuild here, one millisecond of
// the system tick every four passes, while a host moves `hostBlocksPerPass`
// blocks a pass with one command always in progress.
class RebuildSchedulerTest : public RebuildTest {
protected:
    void SetUp() override {
        RebuildTest::SetUp();
        ASSERT_EQ(b.board().RunOnCpu([] { fw::ApplyStoredSettings(fw::FALSE, fw::TRUE); }), sim::StopKind::Finished);
    }
    void Start(uint8_t bPriority) {
        image.sHeader.bRebuildPriority = bPriority;
        ASSERT_EQ(b.board().RunOnCpu([] { fw::ApplyStoredSettings(fw::FALSE, fw::TRUE); }), sim::StopKind::Finished);
        MakeFilledRank({fw::RAID_LEVEL_5, 4, 128}, kMember);
        FailMember(1);
        ASSERT_EQ(b.board().RunOnCpu([&] { fw::StartRebuild(0, 1, TargetOfSlot(kReplacementSlot), 0xFF, kWwn, kMember); }),
                  sim::StopKind::Finished);
    }
    // Passes, four a millisecond, until `fDone` or `dMs` milliseconds; the
    // coarse ticks they took.
    uint32_t Run(const std::function<bool()>& fDone, uint32_t dMs) {
        const uint32_t dStart = fw::dGetCoarseTick();
        uint32_t dPasses = 4 * dMs;
        RunUntil(
            [&] {
                if (dPasses == 0 || fDone()) return true;
                if (--dPasses % 4 == 0) fw::SystemTickHandler();
                ++fw::dMainLoopCycles;   // the main loop's watchdog sees it run
                if (hostBlocksPerPass != 0) fw::AddHostBlocksTransferred(hostBlocksPerPass);
                if (fw::fGetRebuildWork() == fw::TRUE) fw::RebuildScheduler();
                fw::IssueRebuildRegions();
                fw::ProcessRebuildRegionCompletions();
                return false;
            },
            4 * dMs + 1);
        return fw::dGetCoarseTick() - dStart;
    }
    static bool Done() { return fw::fGetRebuildWork() != fw::TRUE && fw::fIsAnyRebuildRegionOut() != fw::TRUE; }

    static constexpr uint32_t kMember = 128 * 160;
    uint16_t hostBlocksPerPass = 0;
};

// Something else owning the drives or the partner holds the rebuild at its
// start; the partner's own work yields to a host waiting on the front.
TEST_F(RebuildSchedulerTest, HoldsWaitForTheDrivesToBeFree) {
    struct Hold {
        const char* what;
        void (*set)(uint8_t);
        bool fParRuns;
    };
    const Hold kHolds[] = {
        {"SAS timed hold", fw::SetSASTimedHoldFlag, false},
        {"partner work", fw::SetPartnerWork, true},
        {"cache flush", fw::SetRetripeFlag, true},
    };
    Start(50);
    for (const Hold& h : kHolds) {
        SCOPED_TRACE(h.what);
        const uint8_t bState = fw::bGetRebuildState();
        ASSERT_EQ(b.board().RunOnCpu([&] { h.set(fw::TRUE); }), sim::StopKind::Finished);
        // The first hold outlasts the start's countdown.
        Run([] { return false; }, h.set == fw::SetSASTimedHoldFlag ? 6000 : 50);
        EXPECT_EQ(fw::bGetRebuildState(), bState);
        if (h.fParRuns) {
            fw::SetRebuildParFlag(fw::TRUE);
            Run([&] { return fw::bGetRebuildState() != bState; }, 100);
            EXPECT_NE(fw::bGetRebuildState(), bState);
        }
        ASSERT_EQ(b.board().RunOnCpu([&] { h.set(fw::FALSE); }), sim::StopKind::Finished);
    }
    EXPECT_EQ(fw::dGetRebuildPosition(), 0u);
    Run(Done, 200000);
    EXPECT_EQ(fw::dGetRebuildPosition(), kMember);
}

// A host that keeps the drives busy does not stop the rebuild: it gives
// way as its priority asks, paced, and still reaches the end; the host's
// blocks are counted into its share.
TEST_F(RebuildSchedulerTest, UnderHostLoadTheRebuildMovesOnToItsEnd) {
    Start(10);
    fw::IncHostReadsInProgress();
    hostBlocksPerPass = 16;
    Run(Done, 150000);
    fw::DecHostReadsInProgress();
    ASSERT_TRUE(Done());
    EXPECT_EQ(fw::dGetRebuildPosition(), kMember);
    EXPECT_EQ(fw::bGetRebuildPercent(), 100);
    EXPECT_GT(fw::psGetRebuildControl()->alHostBlocks[0], 0u);
    EXPECT_EQ(fw::bGetRankMemberFlags(0, 1), fw::MEMBER_FLAGS_IN_SERVICE);
}

// One region's write is slow: those issued after it finish first and wait,
// and the record moves over none of them until it is in; then the rest
// retire in their order and the rebuild runs to its end.
TEST_F(RebuildSchedulerTest, RegionsEndingOutOfOrderRetireInOrder) {
    Start(10);
    sim::Drive& replacement = *chassis.DriveAt(kReplacementSlot);
    uint64_t lSlow = UINT64_MAX;
    unsigned later = 0;
    replacement.onCommand = [&](std::span<const uint8_t> cdb) {
        if (cdb[0] != fw::SCSI_WRITE10) return;
        const uint64_t lba = fw::dGetBe32(cdb.data() + 2);
        if (lSlow == UINT64_MAX && lba >= 4 * 128) {
            lSlow = lba;
            replacement.SetExtraLatencyNs(30'000'000'000ull);
            return;
        }
        later += lSlow != UINT64_MAX && lba > lSlow;
        replacement.SetExtraLatencyNs(0);
    };
    Run([&] { return later >= 8; }, 20000);
    Run([] { return false; }, 100);
    ASSERT_NE(lSlow, UINT64_MAX);
    EXPECT_GE(later, 8u);
    EXPECT_EQ(fw::dGetRebuildPosition(), lSlow) << "the record passed a region whose write is not in";
    replacement.onCommand = nullptr;
    Run(Done, 200000);
    EXPECT_EQ(fw::dGetRebuildPosition(), kMember);
    EXPECT_EQ(fw::bGetRankMemberFlags(0, 1), fw::MEMBER_FLAGS_IN_SERVICE);
}

// A host write that waits at the window goes round its port's "Write
// Ready" ring, which is served only while the port has work: each move of
// the front raises it, so the write looks again at once rather than at the
// next half-second tick.
TEST_F(RebuildSchedulerTest, EachMoveOfTheFrontHasTheHostPortsLookAgain) {
    Start(10);
    Run([] { return fw::bGetNvramRebuildPendingFlag() == fw::TRUE; }, 10000);
    ASSERT_EQ(fw::bGetNvramRebuildPendingFlag(), fw::TRUE);
    unsigned moves = 0, raised = 0;
    uint32_t dLast = fw::dGetRebuildPosition();
    RunUntil([&] {
        fw::SetHostPortWork(fw::PORT_CODE_FC_HOST_1, fw::FALSE);
        fw::SetHostPortWork(fw::PORT_CODE_FC_HOST_2, fw::FALSE);
        if (fw::fGetRebuildWork() == fw::TRUE) fw::RebuildScheduler();
        fw::IssueRebuildRegions();
        fw::ProcessRebuildRegionCompletions();
        if (fw::dGetRebuildPosition() != dLast) {
            ++moves;
            raised += fw::fGetHostPortWork(fw::PORT_CODE_FC_HOST_1) == fw::TRUE &&
                      fw::fGetHostPortWork(fw::PORT_CODE_FC_HOST_2) == fw::TRUE;
            dLast = fw::dGetRebuildPosition();
        }
        return moves == 3;
    });
    EXPECT_EQ(raised, moves);
}

// A host command inside the window waits, however often it comes back to
// look; the statistics count each such command once, not each look.
TEST_F(RebuildSchedulerTest, AHostCommandWaitingAtTheFrontIsCountedOnce) {
    Start(10);
    Run([] { return fw::bGetNvramRebuildPendingFlag() == fw::TRUE; }, 10000);
    ASSERT_EQ(fw::bGetNvramRebuildPendingFlag(), fw::TRUE);
    fw::KERNEL_ENTRY asCommand[2]{};
    for (fw::KERNEL_ENTRY& e : asCommand) {
        e.bRank = 0;
        e.bSecondRank = 0xFF;
        e.wBlockCount = 8;
    }
    asCommand[1].lRankAddress = 64;
    const uint32_t dBefore = fw::dGetEventCounter(fw::EVENT_COUNTER_REBUILD_OVERLAP);
    std::vector<uint8_t> abAnswers;
    ASSERT_EQ(b.board().RunOnCpu([&] {
        for (int i = 0; i < 3; ++i)
            for (fw::KERNEL_ENTRY& e : asCommand) abAnswers.push_back(fw::bCheckHostRebuildWindow(&e));
    }), sim::StopKind::Finished);
    EXPECT_EQ(abAnswers, std::vector<uint8_t>(6, 81));
    EXPECT_EQ(fw::dGetEventCounter(fw::EVENT_COUNTER_REBUILD_OVERLAP) - dBefore, 2u);
}

}  // namespace
