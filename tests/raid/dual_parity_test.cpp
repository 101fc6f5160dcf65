// RAID 6 on memory-backed drives: the layout examples, writes of every
// method checked against the reference model with P and Q computed by an
// independent GF(2^8) reference, reads with one and two members lost,
// degraded writes that a later doubly degraded read still returns, and a
// third lost member failing the command.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "config/config_db.h"
#include "console/option_settings.h"
#include "raid/dual_parity.h"
#include "raid/raid_engine.h"
#include "raid/parity_mapping.h"
#include "raid_reference.h"
#include "raid_road.h"

namespace {

using raidtest::kBlock;

class DualParityTest : public raidtest::RaidRoadTest {
protected:
    uint8_t MapOther(fw::KERNEL_ENTRY* ps, uint32_t d) override { return fw::bMapRaid6Command(0, ps, d); }
    void Raid6(uint8_t bDrives, uint16_t wChunk) { MakeRank({fw::RAID_LEVEL_6, bDrives, wChunk, 2}); }
    void ExpectOneBlockAt(uint64_t x, unsigned member, uint64_t block) {
        Write(x, 1, uint32_t(x * 3 + 1));
        EXPECT_EQ(DriveBlocks(member + 1, block, 1), Expected(x)) << "block " << x;
    }
    void RandomWrites(unsigned count, uint32_t maxBlocks, uint64_t span, uint32_t seed) {
        std::mt19937 rng(seed);
        for (unsigned i = 0; i < count; ++i) {
            const uint64_t a = rng() % span;
            Write(a, uint16_t(1 + rng() % maxBlocks), rng());
            ExpectDrivesMatchReference();
            if (HasFatalFailure()) return;
        }
    }
    void ReadAll(uint64_t span, uint16_t step) {
        for (uint64_t a = 0; a < span; a += step) ExpectRead(a, step);
    }
};

TEST_F(DualParityTest, TheLayoutExamples) {
    Raid6(4, 128);
    ExpectOneBlockAt(0, 2, 0);       // row 0: P on 0, Q on 1
    ExpectOneBlockAt(128, 3, 0);
    ExpectOneBlockAt(256, 0, 128);   // row 1: P on 1, Q on 2
    ExpectOneBlockAt(384, 3, 128);
    ExpectDrivesMatchReference();
}

TEST_F(DualParityTest, WritesKeepPAndQOfEveryRow) {
    for (uint8_t D : {4, 7, 12}) {
        SCOPED_TRACE(int(D));
        Raid6(D, 8);
        WipeDrives(1024);
        RandomWrites(25, 3 * (D - 2) * 8, 800, D);
        ReadAll(800, 100);
    }
    ExpectPoolsReturned();
}

TEST_F(DualParityTest, AWholeRowIsWrittenWithoutReads) {
    Raid6(6, 16);
    fw::KERNEL_ENTRY* w = HostCommand(true, 64, 64);   // row 1
    Fill(w, 4);
    uint8_t b = 0;
    ASSERT_EQ(this->b.board().RunOnCpu([&] { b = fw::bMapRaid6Command(0, w, DataAddress(w)); }), sim::StopKind::Finished);
    ASSERT_EQ(b, fw::STATUS_OK);
    for (fw::KERNEL_ENTRY* ps : Queued()) EXPECT_EQ(ps->abCdb[0], fw::SCSI_WRITE10);
    RunUntilDone(w);
    for (uint32_t i = 0; i < 64; ++i) reference[64 + i].assign(Data(w) + i * kBlock, Data(w) + (i + 1) * kBlock);
    touchedRows.insert(1);
    ExpectDrivesMatchReference();
    FreeHost(w);
    ExpectPoolsReturned();
}

TEST_F(DualParityTest, PartialRowsPreReadTheRestOfTheRow) {
    fw::SetPartialFullStripeWrite(fw::TRUE);
    Raid6(6, 16);
    RandomWrites(10, 64, 500, 11);
    Write(16 + 5, 40, 12);   // inside row 0, starting and ending mid-chunk
    ExpectDrivesMatchReference();
    RandomWrites(20, 150, 700, 13);
    ReadAll(700, 100);
    ExpectPoolsReturned();
}

TEST_F(DualParityTest, ReadsWithOneOrTwoMembersLostReturnTheData) {
    Raid6(6, 8);
    RandomWrites(20, 96, 900, 21);
    // Over the rows, the lost pair takes every role: two data members, a
    // data member and P, a data member and Q, both parities.
    FailMember(2);
    ReadAll(900, 90);
    FailMember(3);
    ReadAll(900, 90);
    ExpectPoolsReturned();
}

TEST_F(DualParityTest, DegradedWritesLeaveRowsADoublyDegradedReadReturns) {
    Raid6(7, 8);
    RandomWrites(10, 120, 800, 31);
    FailMember(4);
    RandomWrites(25, 120, 800, 32);
    ReadAll(800, 100);
    FailMember(1);
    RandomWrites(25, 120, 800, 33);
    ReadAll(800, 100);
    ExpectPoolsReturned();
}

TEST_F(DualParityTest, AThirdLostMemberFailsTheCommand) {
    Raid6(6, 8);
    RandomWrites(3, 60, 300, 41);
    FailMember(0);
    FailMember(1);
    FailMember(2);
    for (bool fWrite : {false, true}) {
        fw::KERNEL_ENTRY* ps = HostCommand(fWrite, 0, 48);
        Fill(ps, 5);
        uint8_t bResult = 0;
        ASSERT_EQ(b.board().RunOnCpu([&] { bResult = fw::bMapRaid6Command(0, ps, DataAddress(ps)); }),
                  sim::StopKind::Finished);
        EXPECT_EQ(bResult, fw::STATUS_OK);
        EXPECT_TRUE(Queued().empty());
        EXPECT_TRUE(fw::HasFlag(ps, fw::KE_FLAG_CHILD_FAILED));
        EXPECT_TRUE(fw::HasFlag(ps, fw::KE_FLAG_SENSE_PRESENT));
        EXPECT_EQ(ps->bPrimaryState, fWrite ? fw::HOST_STATE_WRITE_COMPLETE : fw::HOST_STATE_DATA_AVAILABLE);
        FreeHost(ps);
    }
    ExpectPoolsReturned();
}

// A write starved of pages takes the reserved region.  Its pages stay the
// region's when it is done: handed back to the pool they would carry a
// host's cached data while the next starved write computes parity in them.
TEST_F(DualParityTest, AStarvedWriteTakesTheReservedRegionAndLeavesItReserved) {
    ASSERT_EQ(b.board().RunOnCpu([] { fw::AllocateDualParityTables(); }), sim::StopKind::Finished);
    baselinePages = fw::dGetPagesInUse(0);
    Raid6(5, 16);
    fw::KERNEL_ENTRY* w = HostCommand(true, 3, 40);   // read-modify-writes of two chunks
    Fill(w, 9);
    std::vector<std::pair<fw::BUFFER_HANDLE, uint32_t>> held;
    fw::BUFFER_HANDLE d = fw::NULL_BUFFER_HANDLE;
    for (uint32_t n : {64u, 1u}) {
        while (fw::bAllocDataPages(0, n, &d) == fw::STATUS_OK) held.push_back({d, n});
    }
    const uint32_t dAllTaken = fw::dGetPagesInUse(0);
    auto Map = [&] {
        uint8_t bResult = 0;
        EXPECT_EQ(b.board().RunOnCpu([&] { bResult = fw::bMapRaid6Command(0, w, DataAddress(w)); }),
                  sim::StopKind::Finished);
        return bResult;
    };
    for (int i = 0; i < fw::PAGE_FAILURES_BEFORE_RESERVE; ++i) ASSERT_EQ(Map(), fw::STATUS_RETRY) << i;
    ASSERT_EQ(Map(), fw::STATUS_OK);
    EXPECT_EQ(fw::fGetRaid6ReserveInUse(), fw::TRUE);
    EXPECT_TRUE(fw::HasFlag(w, fw::KE_FLAG_RAID6_ROW_REGION));
    RunUntilDone(w);
    EXPECT_EQ(fw::fGetRaid6ReserveInUse(), fw::FALSE);
    EXPECT_EQ(fw::dGetPagesInUse(0), dAllTaken) << "the region's pages went back to the pool";
    EXPECT_NE(fw::bAllocDataPages(0, 1, &d), fw::STATUS_OK);
    for (uint32_t i = 0; i < 40; ++i) reference[3 + i].assign(Data(w) + i * kBlock, Data(w) + (i + 1) * kBlock);
    touchedRows.insert(0);
    ExpectDrivesMatchReference();
    for (auto [h, n] : held) (void)fw::wFreeDataPages(h, n);
    FreeHost(w);
    ExpectPoolsReturned();
}

}  // namespace
