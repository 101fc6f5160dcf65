// RAID 0 and RAID 1/10 on memory-backed drives: host blocks land where an
// independent layout model puts them, mirrors stay identical, reads return
// what was written, children carry the right segments, and the pools come
// back whole; the pool shortage, the failed and rebuilding mirror halves,
// the read balance, drive errors and addresses out of the child's reach.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "config/config_image.h"
#include "config/config_state.h"
#include "raid/dual_parity.h"
#include "raid/parity_mapping.h"
#include "raid/rebuild.h"
#include "raid/striped_mapping.h"
#include "raid_reference.h"
#include "raid_road.h"

namespace {

using raidtest::Bytes;
using raidtest::kBlock;

class StripedMappingTest : public raidtest::RaidRoadTest {
protected:
    uint8_t Map(fw::KERNEL_ENTRY* ps) {
        uint8_t bResult = 0;
        EXPECT_EQ(b.board().RunOnCpu([&] { bResult = fw::bMapStripedCommand(0, ps, DataAddress(ps)); }),
                  sim::StopKind::Finished);
        return bResult;
    }
    unsigned Members() const { return spec.bLevel == fw::RAID_LEVEL_10 ? spec.bDrives / 2u : spec.bDrives; }

    // Writes random data, checks every block on the drives against the
    // layout model (both halves of a pair), reads it back and compares.
    void WriteCheckRead(uint64_t address, uint16_t blocks, uint32_t seed) {
        fw::KERNEL_ENTRY* w = HostCommand(true, address, blocks);
        Fill(w, seed);
        Run(w, [&](fw::KERNEL_ENTRY* ps) { return fw::bMapStripedCommand(0, ps, DataAddress(ps)); });
        EXPECT_EQ(w->bPrimaryState, fw::HOST_STATE_WRITE_COMPLETE);
        EXPECT_FALSE(fw::HasFlag(w, fw::KE_FLAG_CHILD_FAILED));
        for (uint32_t i = 0; i < blocks; ++i) {
            const raidref::Place p = raidref::Striped(address + i, Members(), spec.wChunk);
            const uint8_t* pbHost = Data(w) + i * kBlock;
            if (spec.bLevel == fw::RAID_LEVEL_10) {
                ASSERT_EQ(DriveBlocks(2 * p.member + 1, p.block, 1), std::vector<uint8_t>(pbHost, pbHost + kBlock))
                    << "block " << address + i;
                ASSERT_EQ(DriveBlocks(2 * p.member + 2, p.block, 1), std::vector<uint8_t>(pbHost, pbHost + kBlock))
                    << "mirror of block " << address + i;
            } else {
                ASSERT_EQ(DriveBlocks(p.member + 1, p.block, 1), std::vector<uint8_t>(pbHost, pbHost + kBlock))
                    << "block " << address + i;
            }
        }
        fw::KERNEL_ENTRY* r = HostCommand(false, address, blocks);
        std::memset(Data(r), 0xEE, blocks * kBlock);
        Run(r, [&](fw::KERNEL_ENTRY* ps) { return fw::bMapStripedCommand(0, ps, DataAddress(ps)); });
        EXPECT_EQ(r->bPrimaryState, fw::HOST_STATE_DATA_AVAILABLE);
        EXPECT_EQ(std::memcmp(Data(r), Data(w), blocks * kBlock), 0);
        FreeHost(w);
        FreeHost(r);
        ExpectPoolsReturned();
    }
};

struct Case {
    const char* what;
    uint64_t address;
    uint16_t blocks;
};

TEST_F(StripedMappingTest, Raid0BlocksLandWhereTheLayoutPutsThem) {
    MakeRank({fw::RAID_LEVEL_0, 4, 8});
    const Case cases[] = {
        {"inside one chunk", 3, 4},
        {"mid-chunk on the last member, wrapping", 3 * 8 + 5, 20},
        {"ending on a chunk boundary", 2, 30},
        {"three chunks per member", 0, 96},
        {"four chunks per member", 4 * 8 * 7, 128},
        {"ten chunks per member", 1000, 320},
        {"eleven chunks per member", 5, 352},
        {"more chunks than one child carries", 77, 40 * 4 * 8},
    };
    uint32_t seed = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteCheckRead(c.address, c.blocks, seed++);
    }
}

TEST_F(StripedMappingTest, Raid10KeepsBothHalvesOfEveryPair) {
    MakeRank({fw::RAID_LEVEL_10, 6, 16});
    WriteCheckRead(0, 1, 1);
    WriteCheckRead(16 * 3 - 2, 70, 2);
    WriteCheckRead(999, 16 * 3 * 5, 3);
}

TEST_F(StripedMappingTest, OneMemberTakesEveryBlock) {
    MakeRank({fw::RAID_LEVEL_10, 2, 8});
    WriteCheckRead(5, 100, 4);
    MakeRank({fw::RAID_LEVEL_0, 1, 8});
    WriteCheckRead(5, 100, 5);
}

TEST_F(StripedMappingTest, ChildrenCarryTheirChunksAsSegments) {
    MakeRank({fw::RAID_LEVEL_0, 4, 8});
    struct Expect {
        uint64_t address;
        uint16_t blocks;
        unsigned children;
        uint8_t firstEntries;   // entries of the first child (1 + continuations)
        uint32_t firstLba;
    };
    const Expect expects[] = {
        {3, 4, 1, 1, 3},              // one chunk: base + off on member first
        {3 * 8 + 5, 20, 4, 1, 5},     // starts on the last member
        {0, 3 * 4 * 8, 4, 1, 0},      // k = 3
        {0, 4 * 4 * 8, 4, 2, 0},      // k = 4
        {0, 10 * 4 * 8, 4, 2, 0},     // k = 10
        {0, 11 * 4 * 8, 4, 3, 0},     // k = 11
    };
    for (const Expect& e : expects) {
        fw::KERNEL_ENTRY* w = HostCommand(false, e.address, e.blocks);
        ASSERT_EQ(Map(w), fw::STATUS_OK);
        const std::vector<fw::KERNEL_ENTRY*> v = Queued();
        ASSERT_EQ(v.size(), e.children) << e.address << "+" << e.blocks;
        EXPECT_EQ(w->wChildrenOutstanding, e.children);
        EXPECT_EQ(w->wTotalChildren, e.children);
        EXPECT_EQ(w->psMother, w);
        EXPECT_EQ(v[0]->bCount, e.firstEntries);
        EXPECT_EQ(v[0]->wRunLength, e.firstEntries);
        EXPECT_EQ(fw::dGetChildLba(v[0]), e.firstLba);
        uint32_t dBlocks = 0;
        for (fw::KERNEL_ENTRY* ps : v) {
            EXPECT_EQ(ps->abCdb[0], fw::SCSI_READ10);   // READ(16) folds to READ(10)
            EXPECT_EQ(ps->wControlFlags, fw::CHILD_CONTROL_READ);
            EXPECT_EQ(ps->bCommandType, fw::CT_RAID0_READ);
            EXPECT_EQ(ps->psMother, w);
            EXPECT_EQ(ps->bPrimaryState, fw::PS_NEW_COMMAND);
            EXPECT_EQ(ps->bRetryCount, 4);
            EXPECT_EQ(ps->dTotalByteCount, fw::wGetChildBlocks(ps) * kBlock);
            for (uint8_t c = 1; c < ps->bCount; ++c) EXPECT_EQ(ps[c].bEntryType, fw::CHILD_CONTINUATION_TYPE);
            dBlocks += fw::wGetChildBlocks(ps);
        }
        EXPECT_EQ(dBlocks, e.blocks);
        // The members before the first start one row further down.
        if (e.address == 3 * 8 + 5) {
            EXPECT_EQ(fw::dGetChildLba(v[1]), 8u);
        }
        RunUntilDone(w);
        FreeHost(w);
    }
    ExpectPoolsReturned();
}

TEST_F(StripedMappingTest, AShortPoolRetriesAndHoldsNothing) {
    MakeRank({fw::RAID_LEVEL_10, 4, 8});
    // Leave fewer runs than a mirrored write over both pairs needs.
    std::vector<fw::KERNEL_ENTRY*> held;
    while (fw::wGetKernelEntriesUsed() < fw::KERNEL_ENTRY_COUNT - 3) {
        fw::KERNEL_ENTRY* ps = nullptr;
        ASSERT_EQ(fw::bAllocKernelEntries(0x61, 1, &ps), fw::STATUS_OK);
        held.push_back(ps);
    }
    const uint16_t used = fw::wGetKernelEntriesUsed();
    fw::KERNEL_ENTRY* w = HostCommand(true, 0, 16);
    w->wChildrenOutstanding = 7;
    EXPECT_EQ(Map(w), fw::STATUS_RETRY);
    EXPECT_EQ(fw::wGetKernelEntriesUsed(), used);
    EXPECT_EQ(w->wChildrenOutstanding, 7);
    EXPECT_TRUE(Queued().empty());
    for (fw::KERNEL_ENTRY* ps : held) fw::FreeKernelEntries(ps);
    EXPECT_EQ(Map(w), fw::STATUS_OK);
    EXPECT_EQ(Queued().size(), 4u);
    RunUntilDone(w);
    FreeHost(w);
    ExpectPoolsReturned();
}

TEST_F(StripedMappingTest, AMirrorWriteSkipsAFailedHalfAndReachesARebuildingOne) {
    MakeRank({fw::RAID_LEVEL_10, 2, 8});
    FailMember(0);
    fw::KERNEL_ENTRY* w = HostCommand(true, 0, 8);
    Fill(w, 9);
    ASSERT_EQ(Map(w), fw::STATUS_OK);
    std::vector<fw::KERNEL_ENTRY*> v = Queued();
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0]->bMember, 1);
    EXPECT_EQ(v[0]->wTargetId, TargetOfSlot(2));
    RunUntilDone(w);
    EXPECT_EQ(DriveBlocks(2, 0, 8), std::vector<uint8_t>(Data(w), Data(w) + 8 * kBlock));
    FreeHost(w);

    // Member 1 being rebuilt onto a drive: writes reach it, reads do not.
    MakeRank({fw::RAID_LEVEL_10, 2, 8});
    FailMember(1, fw::MEMBER_REBUILDING);
    w = HostCommand(true, 0, 8);
    ASSERT_EQ(Map(w), fw::STATUS_OK);
    v = Queued();
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0]->bMember, 0);
    EXPECT_EQ(v[1]->bMember, 1);
    EXPECT_EQ(v[1]->wControlFlags, fw::CHILD_CONTROL_WRITE);
    EXPECT_EQ(w->wChildrenOutstanding, 2);
    RunUntilDone(w);
    FreeHost(w);
    fw::KERNEL_ENTRY* r = HostCommand(false, 0, 8);
    ASSERT_EQ(Map(r), fw::STATUS_OK);
    v = Queued();
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0]->bMember, 0);
    RunUntilDone(r);
    FreeHost(r);
    ExpectPoolsReturned();
}

// While a mirror's member is rebuilt, a write wholly ahead of the rebuild
// window is marked so (it reaches the member being rebuilt, and the front
// must not pass it while it is out), one touching the window waits, and
// one behind it is a plain write.
TEST_F(StripedMappingTest, AMirrorWriteAheadOfTheRebuildIsNotedAndOneInItsWindowWaits) {
    static const uint8_t kWwn[8] = {0x50, 0, 0, 0, 0, 0, 0x11, 0x22};
    auto psImage = std::make_unique<fw::CONFIG_IMAGE>();
    fw::SetConfigImagePointer(psImage.get());
    MakeRank({fw::RAID_LEVEL_10, 4, 16});
    constexpr uint32_t kMember = 2048 * 64;
    fw::pGetRankRecord(0)->lLastOffset = 2ull * kMember - 1;
    fw::pGetRankRecord(0)->bDataDriveCount = 2;
    FailMember(1);
    ASSERT_EQ(b.board().RunOnCpu([&] { fw::StartRebuild(0, 1, TargetOfSlot(11), 0xFF, kWwn, kMember); }),
              sim::StopKind::Finished);
    ASSERT_EQ(fw::bGetRankMemberFlags(0, 1), fw::MEMBER_REBUILDING);
    // The regions are ready: the front stands at the array's first block,
    // and the window reaches 20 mirror regions of both pairs ahead of it.
    fw::SetNvramRebuildPendingFlag(fw::TRUE);
    constexpr uint64_t kAhead = 20ull * 2048 * 2;

    fw::KERNEL_ENTRY* w = HostCommand(true, kAhead + 8, 8);
    ASSERT_EQ(Map(w), fw::STATUS_OK);
    EXPECT_TRUE(fw::HasFlag(w, fw::KE_FLAG_AHEAD_OF_REBUILD));
    EXPECT_EQ(fw::dGetRebuildHoldBlock(), kAhead / 2) << "the front waits for the write's row";
    EXPECT_EQ(Queued().size(), 2u) << "the member being rebuilt is written too";
    RunUntilDone(w);
    EXPECT_FALSE(fw::HasFlag(w, fw::KE_FLAG_AHEAD_OF_REBUILD));
    EXPECT_EQ(fw::dGetRebuildHoldBlock(), 0xFFFFFFFFu);
    FreeHost(w);

    w = HostCommand(true, 40, 8);
    w->wChildrenOutstanding = 3;
    EXPECT_EQ(Map(w), fw::STATUS_RETRY);
    EXPECT_TRUE(Queued().empty());
    EXPECT_EQ(w->wChildrenOutstanding, 3);
    FreeHost(w);

    // Reads take no part in the window; nor does a rank that is not rebuilt.
    fw::KERNEL_ENTRY* r = HostCommand(false, kAhead + 8, 8);
    ASSERT_EQ(Map(r), fw::STATUS_OK);
    EXPECT_FALSE(fw::HasFlag(r, fw::KE_FLAG_AHEAD_OF_REBUILD));
    RunUntilDone(r);
    FreeHost(r);
    fw::SetRebuildWork(fw::FALSE);
    w = HostCommand(true, 40, 8);
    ASSERT_EQ(Map(w), fw::STATUS_OK);
    RunUntilDone(w);
    FreeHost(w);

    fw::SetNvramRebuildPendingFlag(fw::FALSE);
    fw::SetConfigImagePointer(nullptr);
    ExpectPoolsReturned();
}

// Only reads and writes become drive transfers, on every level: anything
// else that reached an array (a SEEK, in the 16-byte form the dispatcher
// gives it) would go out as a write of whatever its buffer holds.
TEST_F(StripedMappingTest, OnlyReadsAndWritesReachTheDrives) {
    struct Level {
        raidtest::RankSpec spec;
        uint8_t (*map)(uint8_t, fw::KERNEL_ENTRY*, uint32_t);
    };
    const Level kLevels[] = {
        {{fw::RAID_LEVEL_0, 4, 8}, fw::bMapStripedCommand},
        {{fw::RAID_LEVEL_10, 4, 8}, fw::bMapStripedCommand},
        {{fw::RAID_LEVEL_5, 4, 8}, fw::bMapParityCommand},
        {{fw::RAID_LEVEL_6, 5, 8}, fw::bMapRaid6Command},
    };
    for (const Level& l : kLevels) {
        SCOPED_TRACE(int(l.spec.bLevel));
        MakeRank(l.spec);
        WipeDrives(64);
        fw::KERNEL_ENTRY* ps = HostCommand(true, 0, 32);
        Fill(ps, 3);
        fw::pGetCommandCdb(ps)[0] = fw::SCSI_SEEK16_FORM;
        uint8_t bResult = 0xEE;
        ASSERT_EQ(b.board().RunOnCpu([&] { bResult = l.map(0, ps, DataAddress(ps)); }), sim::StopKind::Finished);
        EXPECT_EQ(bResult, 0);
        EXPECT_TRUE(Queued().empty());
        FreeHost(ps);
        ExpectPoolsReturned();
    }
}

TEST_F(StripedMappingTest, CleanReadsOfAPairAlternateEightAndEight) {
    MakeRank({fw::RAID_LEVEL_10, 2, 8});
    std::vector<uint8_t> members;
    for (int i = 0; i < 32; ++i) {
        fw::KERNEL_ENTRY* r = HostCommand(false, 0, 1);
        ASSERT_EQ(Map(r), fw::STATUS_OK);
        members.push_back(Queued().at(0)->bMember);
        RunUntilDone(r);
        FreeHost(r);
    }
    for (int i = 0; i < 32; ++i) EXPECT_EQ(members[i], (i / 8) % 2) << i;
}

TEST_F(StripedMappingTest, ADriveErrorReachesTheHostWithItsSense) {
    MakeRank({fw::RAID_LEVEL_0, 3, 8});
    chassis.DriveAt(2)->InjectMediaError(0, 8);   // member 1, first row
    fw::KERNEL_ENTRY* r = HostCommand(false, 0, 24);
    Run(r, [&](fw::KERNEL_ENTRY* ps) { return fw::bMapStripedCommand(0, ps, DataAddress(ps)); });
    EXPECT_EQ(r->bPrimaryState, fw::HOST_STATE_DATA_AVAILABLE);
    EXPECT_TRUE(fw::HasFlag(r, fw::KE_FLAG_CHILD_FAILED));
    ASSERT_TRUE(fw::HasFlag(r, fw::KE_FLAG_SENSE_PRESENT));
    EXPECT_EQ(fw::pHostFields(r)->bSenseKey, fw::SENSE_MEDIUM_ERROR);
    EXPECT_EQ(fw::pHostFields(r)->bAsc, fw::ASC_UNRECOVERED_READ_ERROR);
    FreeHost(r);
    ExpectPoolsReturned();
}

TEST_F(StripedMappingTest, BlocksBeyondThirtyTwoBitsFailTheCommandInsteadOfWrapping) {
    MakeRank({fw::RAID_LEVEL_0, 2, 8});
    fw::KERNEL_ENTRY* w = HostCommand(true, (1ull << 33) - 8, 16);
    ASSERT_EQ(Map(w), fw::STATUS_OK);
    EXPECT_TRUE(Queued().empty());
    EXPECT_EQ(w->bPrimaryState, fw::HOST_STATE_WRITE_COMPLETE);
    EXPECT_EQ(fw::pHostFields(w)->bSenseKey, fw::SENSE_ILLEGAL_REQUEST);
    EXPECT_EQ(fw::pHostFields(w)->bAsc, fw::ASC_LBA_OUT_OF_RANGE);
    FreeHost(w);
    ExpectPoolsReturned();
}

TEST_F(StripedMappingTest, ANoTransferRankAnswersReadsWithZeros) {
    MakeRank({fw::RAID_LEVEL_N, 2, 8});
    fw::KERNEL_ENTRY* r = HostCommand(false, 0, 8);
    std::memset(Data(r), 0x5A, 8 * kBlock);
    ASSERT_EQ(b.board().RunOnCpu([&] { (void)fw::bRouteExpansionCommand(0, r, DataAddress(r)); }),
              sim::StopKind::Finished);
    EXPECT_EQ(r->bPrimaryState, fw::HOST_STATE_DATA_AVAILABLE);
    EXPECT_EQ(std::vector<uint8_t>(Data(r), Data(r) + 8 * kBlock), std::vector<uint8_t>(8 * kBlock, 0));
    FreeHost(r);
}

}  // namespace
