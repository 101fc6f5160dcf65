// RAID 5 and RAID 50 on memory-backed drives: the layout examples, every
// write method (read-modify-write, full row, partial full row,
// reconstruct-write, data-only) checked against the reference model and
// its parity after every write, degraded reads, the serialising of groups
// that share a parity chunk, and the reserved buffer of a starved write.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "config/config_db.h"
#include "console/option_settings.h"
#include "raid/parity_mapping.h"
#include "raid_reference.h"
#include "raid_road.h"

namespace {

using raidtest::kBlock;

class ParityMappingTest : public raidtest::RaidRoadTest {
protected:
    uint8_t Map(fw::KERNEL_ENTRY* ps) {
        uint8_t bResult = 0;
        EXPECT_EQ(b.board().RunOnCpu([&] { bResult = fw::bMapParityCommand(0, ps, DataAddress(ps)); }),
                  sim::StopKind::Finished);
        return bResult;
    }
    // A single block written at x lands on this member and drive block.
    void ExpectOneBlockAt(uint64_t x, unsigned member, uint64_t block) {
        Write(x, 1, uint32_t(x + 7));
        EXPECT_EQ(DriveBlocks(member + 1, block, 1), Expected(x)) << "block " << x;
    }
    void RandomWrites(unsigned count, uint32_t maxBlocks, uint64_t span, uint32_t seed) {
        std::mt19937 rng(seed);
        for (unsigned i = 0; i < count; ++i) {
            const uint64_t a = rng() % span;
            const uint16_t n = uint16_t(1 + rng() % maxBlocks);
            Write(a, n, rng());
            ExpectDrivesMatchReference();
            if (HasFatalFailure()) return;
        }
    }
};

TEST_F(ParityMappingTest, TheLayoutExamples) {
    MakeRank({fw::RAID_LEVEL_50, 4, 128, 1});
    ExpectOneBlockAt(0, 1, 0);       // row 0: parity on member 0, data from member 1
    ExpectOneBlockAt(384, 0, 128);   // row 1: parity on member 1, data from member 0
    ExpectDrivesMatchReference();

    MakeRank({fw::RAID_LEVEL_50, 6, 8, 2});
    WipeDrives(512);
    const unsigned members[4] = {1, 2, 4, 5};   // row 0: parity on members 0 and 3
    for (unsigned k = 0; k < 4; ++k) ExpectOneBlockAt(k * 8 + 2, members[k], 2);
    ExpectDrivesMatchReference();
}

TEST_F(ParityMappingTest, Raid5WritesKeepEveryRowsParity) {
    MakeRank({fw::RAID_LEVEL_50, 4, 16, 1});
    RandomWrites(40, 120, 2000, 1);
    for (uint64_t a = 0; a < 2000; a += 200) ExpectRead(a, 200);
}

TEST_F(ParityMappingTest, Raid50WritesKeepEverySubranksParity) {
    MakeRank({fw::RAID_LEVEL_50, 6, 8, 2});
    RandomWrites(40, 90, 1500, 2);
    for (uint64_t a = 0; a < 1500; a += 150) ExpectRead(a, 150);
}

TEST_F(ParityMappingTest, AWholeSubrankRowIsAFullRowGroupWithoutReads) {
    MakeRank({fw::RAID_LEVEL_50, 4, 16, 1});
    fw::KERNEL_ENTRY* w = HostCommand(true, 48, 48);   // row 1 exactly
    Fill(w, 5);
    ASSERT_EQ(Map(w), fw::STATUS_OK);
    std::vector<fw::KERNEL_ENTRY*> v = Queued();
    EXPECT_EQ(v.size(), 3u);   // the data writes; the parity write waits for its XOR
    for (fw::KERNEL_ENTRY* ps : v) {
        EXPECT_EQ(ps->abCdb[0], fw::SCSI_WRITE10);
        EXPECT_EQ(ps->bCommandType, fw::CT_ROW_DATA_WRITE);
    }
    EXPECT_EQ(w->wChildrenOutstanding, 4);
    RunUntilDone(w);
    for (uint32_t i = 0; i < 48; ++i) reference[48 + i].assign(Data(w) + i * kBlock, Data(w) + (i + 1) * kBlock);
    touchedRows.insert(1);
    ExpectDrivesMatchReference();
    FreeHost(w);
    ExpectPoolsReturned();
}

TEST_F(ParityMappingTest, HalfARowWithoutPartialRowsIsReadModifyWrite) {
    fw::SetPartialFullStripeWrite(fw::FALSE);
    MakeRank({fw::RAID_LEVEL_50, 5, 16, 1});
    Write(0, 64, 1);   // a known row first
    fw::KERNEL_ENTRY* w = HostCommand(true, 0, 32);
    Fill(w, 6);
    ASSERT_EQ(Map(w), fw::STATUS_OK);
    std::vector<fw::KERNEL_ENTRY*> v = Queued();
    ASSERT_EQ(v.size(), 2u);   // one pair out, the second pair shares the parity chunk and waits
    EXPECT_EQ(v[0]->bCommandType, fw::CT_RMW_PARITY_READ);
    EXPECT_EQ(v[1]->bCommandType, fw::CT_RMW_DATA_READ);
    EXPECT_TRUE(fw::HasFlag(v[0], fw::KE_FLAG_GROUP_CHAINED));
    fw::KERNEL_ENTRY* psHeld = fw::pRaidFields(v[0])->psChainNext;
    ASSERT_NE(psHeld, nullptr);
    EXPECT_EQ(psHeld->bPrimaryState, fw::PS_GROUP_HELD);
    EXPECT_TRUE(fw::HasFlag(psHeld, fw::KE_FLAG_HELD_BEHIND_GROUP));
    RunUntilDone(w);
    for (uint32_t i = 0; i < 32; ++i) reference[i].assign(Data(w) + i * kBlock, Data(w) + (i + 1) * kBlock);
    ExpectDrivesMatchReference();
    FreeHost(w);
    ExpectPoolsReturned();
}

TEST_F(ParityMappingTest, PartialFullRowsPreReadWhatTheWriteLeavesOut) {
    fw::SetPartialFullStripeWrite(fw::TRUE);
    MakeRank({fw::RAID_LEVEL_50, 5, 16, 1});
    Write(0, 128, 1);
    // 40 blocks from the middle of the first chunk: more than a quarter of
    // the row, so one partial row group.
    fw::KERNEL_ENTRY* w = HostCommand(true, 70, 40);
    Fill(w, 2);
    ASSERT_EQ(Map(w), fw::STATUS_OK);
    for (fw::KERNEL_ENTRY* ps : Queued()) {
        EXPECT_EQ(ps->abCdb[0], fw::SCSI_READ10);
        EXPECT_TRUE(ps->bCommandType >= fw::CT_PARTIAL_READ_BEFORE && ps->bCommandType <= fw::CT_PARTIAL_READ_TAIL_PART);
    }
    RunUntilDone(w);
    for (uint32_t i = 0; i < 40; ++i) reference[70 + i].assign(Data(w) + i * kBlock, Data(w) + (i + 1) * kBlock);
    ExpectDrivesMatchReference();
    FreeHost(w);
    RandomWrites(20, 100, 600, 3);
    ExpectPoolsReturned();
}

TEST_F(ParityMappingTest, HeldDataWritesWaitForTheRowsParity) {
    fw::SetHoldFullRowDataWrites(fw::TRUE);
    MakeRank({fw::RAID_LEVEL_50, 4, 16, 1});
    fw::KERNEL_ENTRY* w = HostCommand(true, 0, 48);
    Fill(w, 8);
    ASSERT_EQ(Map(w), fw::STATUS_OK);
    EXPECT_TRUE(Queued().empty());
    RunUntilDone(w);
    for (uint32_t i = 0; i < 48; ++i) reference[i].assign(Data(w) + i * kBlock, Data(w) + (i + 1) * kBlock);
    touchedRows.insert(0);
    ExpectDrivesMatchReference();
    FreeHost(w);
}

TEST_F(ParityMappingTest, DegradedReadsRegenerateFromTheOtherMembers) {
    MakeRank({fw::RAID_LEVEL_50, 6, 8, 2});
    RandomWrites(10, 60, 400, 4);
    FailMember(4);   // in the middle of sub-rank 1
    fw::KERNEL_ENTRY* r = HostCommand(false, 16, 8);   // row 0, data chunk k = 2: member 4
    ASSERT_EQ(Map(r), fw::STATUS_OK);
    std::vector<fw::KERNEL_ENTRY*> v = Queued();
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0]->bMember, 3);
    EXPECT_EQ(v[1]->bMember, 5);
    EXPECT_EQ(v[0]->bCommandType, fw::CT_REGENERATE_HEAD);
    RunUntilDone(r);
    EXPECT_EQ(std::vector<uint8_t>(Data(r), Data(r) + 8 * kBlock), ExpectedChunk(16));
    FreeHost(r);
    for (uint64_t a = 0; a < 400; a += 50) ExpectRead(a, 50);
    ExpectPoolsReturned();
}

TEST_F(ParityMappingTest, DegradedWritesReconstructOrWriteDataOnly) {
    MakeRank({fw::RAID_LEVEL_50, 4, 16, 1});
    RandomWrites(5, 60, 600, 5);
    FailMember(2);
    // Row 0: member 2 holds data (reconstruct-write); row 2: it holds parity
    // (data only); whole rows skip it.
    RandomWrites(25, 70, 600, 6);
    for (uint64_t a = 0; a < 600; a += 100) ExpectRead(a, 100);
    ExpectPoolsReturned();
}

// A read-modify-write whose old data or old parity cannot be read writes
// nothing: a parity made from a slot the drive never filled would spoil
// the row.  The pair's entries and pages go back and the host hears the
// drive's error.  (The array is degraded, so nothing stands in for the
// blocks.)
TEST_F(ParityMappingTest, AReadModifyWriteWhoseReadFailsWritesNothing) {
    MakeRank({fw::RAID_LEVEL_5, 4, 16});
    WipeDrives(256);
    RandomWrites(4, 48, 96, 11);
    FailMember(3);
    // Row 0 (parity on member 0): host blocks 20..23 lie on member 2.
    const raidref::ParityRank pr = Parity();
    const raidref::Place d = pr.Data(20);
    ASSERT_EQ(d.member, 2u);
    for (unsigned bad : {d.member, pr.ParityMember(0, 0)}) {
        SCOPED_TRACE(bad == d.member ? "old data unreadable" : "old parity unreadable");
        chassis.DriveAt(bad + 1)->InjectMediaError(d.block, 4);
        const std::vector<uint8_t> dataBefore = DriveBlocks(d.member + 1, d.block, 4);
        const std::vector<uint8_t> parityBefore = DriveBlocks(pr.ParityMember(0, 0) + 1, d.block, 4);
        fw::KERNEL_ENTRY* w = HostCommand(true, 20, 4);
        Fill(w, 12);
        ASSERT_EQ(Map(w), fw::STATUS_OK);
        std::vector<fw::KERNEL_ENTRY*> v = Queued();
        ASSERT_EQ(v.size(), 2u);
        EXPECT_EQ(v[0]->bCommandType, fw::CT_RMW_PARITY_READ);
        EXPECT_EQ(v[1]->bCommandType, fw::CT_RMW_DATA_READ);
        RunUntilDone(w);
        EXPECT_EQ(w->bPrimaryState, fw::HOST_STATE_WRITE_COMPLETE);
        EXPECT_TRUE(fw::HasFlag(w, fw::KE_FLAG_CHILD_FAILED));
        EXPECT_EQ(fw::pHostFields(w)->bSenseKey, fw::SENSE_MEDIUM_ERROR);
        EXPECT_EQ(DriveBlocks(d.member + 1, d.block, 4), dataBefore);
        EXPECT_EQ(DriveBlocks(pr.ParityMember(0, 0) + 1, d.block, 4), parityBefore);
        FreeHost(w);
        chassis.DriveAt(bad + 1)->ClearMediaErrors();
        ExpectPoolsReturned();
    }
}

// A read of a lost member's chunk whose regeneration cannot read one of
// the other members hands the host no data made from a slot the drive
// never filled: the host hears the drive's error, and the run's entries
// and pages go back.  With two members of the sub-rank lost no run is
// built at all.
TEST_F(ParityMappingTest, ARegenerationWhoseReadFailsAnswersTheError) {
    MakeRank({fw::RAID_LEVEL_50, 6, 8, 2});
    RandomWrites(10, 60, 400, 4);
    FailMember(4);   // in the middle of sub-rank 1
    chassis.DriveAt(5 + 1)->InjectMediaError(0, 8);
    fw::KERNEL_ENTRY* r = HostCommand(false, 16, 8);   // row 0, data chunk k = 2: member 4
    std::memset(Data(r), 0x5A, 8 * kBlock);
    ASSERT_EQ(Map(r), fw::STATUS_OK);
    ASSERT_EQ(Queued().size(), 2u);
    RunUntilDone(r);
    EXPECT_TRUE(fw::HasFlag(r, fw::KE_FLAG_CHILD_FAILED));
    EXPECT_EQ(fw::pHostFields(r)->bSenseKey, fw::SENSE_MEDIUM_ERROR);
    EXPECT_EQ(std::vector<uint8_t>(Data(r), Data(r) + 8 * kBlock), std::vector<uint8_t>(8 * kBlock, 0x5A));
    FreeHost(r);
    chassis.DriveAt(5 + 1)->ClearMediaErrors();

    // With a second member of the sub-rank lost nothing can stand in for
    // the chunk: the host hears MEDIUM ERROR and no drive is read.
    FailMember(3);
    r = HostCommand(false, 16, 8);
    std::memset(Data(r), 0x5A, 8 * kBlock);
    ASSERT_EQ(Map(r), fw::STATUS_OK);
    EXPECT_TRUE(Queued().empty());
    EXPECT_EQ(r->bPrimaryState, fw::HOST_STATE_DATA_AVAILABLE);
    EXPECT_TRUE(fw::HasFlag(r, fw::KE_FLAG_CHILD_FAILED));
    EXPECT_EQ(fw::pHostFields(r)->bSenseKey, fw::SENSE_MEDIUM_ERROR);
    EXPECT_EQ(std::vector<uint8_t>(Data(r), Data(r) + 8 * kBlock), std::vector<uint8_t>(8 * kBlock, 0x5A));
    FreeHost(r);
    ExpectPoolsReturned();
}

TEST_F(ParityMappingTest, AStarvedWriteTakesTheReservedBufferAfterFiftyOneShortages) {
    MakeRank({fw::RAID_LEVEL_50, 4, 16, 1});
    fw::KERNEL_ENTRY* w = HostCommand(true, 3, 20);
    Fill(w, 9);
    std::vector<std::pair<fw::BUFFER_HANDLE, uint32_t>> held;
    fw::BUFFER_HANDLE d = fw::NULL_BUFFER_HANDLE;
    for (uint32_t n : {64u, 1u}) {
        while (fw::bAllocDataPages(0, n, &d) == fw::STATUS_OK) held.push_back({d, n});
    }
    const uint32_t dAllTaken = fw::dGetPagesInUse(0);
    for (int i = 0; i < fw::PAGE_FAILURES_BEFORE_RESERVE; ++i) {
        ASSERT_EQ(Map(w), fw::STATUS_RETRY) << i;
        EXPECT_TRUE(Queued().empty());
    }
    EXPECT_EQ(fw::wGetParityPageFailures(), fw::PAGE_FAILURES_BEFORE_RESERVE);
    ASSERT_EQ(Map(w), fw::STATUS_OK);
    EXPECT_TRUE(fw::HasFlag(w, fw::KE_FLAG_RAID5_ROW_BUFFER));
    EXPECT_EQ(fw::fGetReservedWriteBufferBusy(), fw::TRUE);
    EXPECT_EQ(fw::wGetParityPageFailures(), 0);
    RunUntilDone(w);
    EXPECT_EQ(fw::fGetReservedWriteBufferBusy(), fw::FALSE);
    EXPECT_FALSE(fw::HasFlag(w, fw::KE_FLAG_RAID5_ROW_BUFFER));
    EXPECT_EQ(fw::dGetPagesInUse(0), dAllTaken) << "the reserved buffer's pages went back to the pool";
    for (uint32_t i = 0; i < 20; ++i) reference[3 + i].assign(Data(w) + i * kBlock, Data(w) + (i + 1) * kBlock);
    touchedRows.insert(0);
    ExpectDrivesMatchReference();
    for (auto [h, n] : held) (void)fw::wFreeDataPages(h, n);
}

}  // namespace
