// Rebuild regions on memory-backed drives: a region command as the rebuild
// fills it goes through its read phase (the sources read, the member
// regenerated into the region's buffer) and its write phase (the buffer
// written to the replacement), and the replacement then holds what the
// member held.  RAID 1/10, RAID 50 and RAID 6 with every pair of lost
// members; regions the rebuild no longer wants are dropped; read repairs and
// a replacement that refuses its writes.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

#include "config/bad_blocks.h"
#include "config/config_image.h"
#include "config/config_state.h"
#include "eventlog/statistics.h"
#include "raid/dual_parity.h"
#include "raid/raid_engine.h"
#include "raid/rebuild.h"
#include "raid/rebuild_regions.h"
#include "raid_road.h"

namespace {

using raidtest::kBlock;

constexpr unsigned kReplacementSlot = 11;
constexpr unsigned kReplacementAltSlot = 12;

class RebuildRegionTest : public raidtest::RaidRoadTest {
protected:
    uint8_t MapOther(fw::KERNEL_ENTRY* ps, uint32_t d) override { return fw::bMapRaid6Command(0, ps, d); }

    void SetUp() override {
        RaidRoadTest::SetUp();
        fw::SetNvramRebuildPendingFlag(fw::TRUE);
        std::memset(&image, 0, sizeof image);
        fw::SetConfigImagePointer(&image);
    }

    // A region command of `blocks` member blocks at `start`, rebuilding
    // member d0 (and d1 on RAID 6) onto the replacement slots; `slots`
    // region-sized slots of buffer.
    fw::KERNEL_ENTRY* Region(uint8_t d0, uint8_t d1, uint32_t start, uint16_t blocks, unsigned slots) {
        fw::KERNEL_ENTRY* ps = nullptr;
        uint16_t w = 0;
        EXPECT_EQ(fw::bAllocTargetEntries(fw::PORT_CODE_INTERNAL, 1, &ps, &w, fw::FALSE), fw::STATUS_OK);
        ps->bPortCode = fw::PORT_CODE_INTERNAL;
        ps->bRank = 0;
        ps->bRetryCount = 4;
        const uint32_t pages = (slots * blocks * kBlock + fw::BUFFER_PAGE_SIZE - 1) / fw::BUFFER_PAGE_SIZE;
        EXPECT_EQ(fw::bAllocDataPages(0, pages, &ps->dBufferHandle), fw::STATUS_OK);
        ps->wPageCount = uint16_t(pages);
        fw::REBUILD_REGION_FIELDS* f = fw::psRegionFields(ps);
        std::memset(fw::pRaidFields(ps), 0, sizeof(fw::RAID_ENTRY_FIELDS));
        f->bMember = d0;
        f->bSecondMember = d1;
        f->bReplacement = TargetOfSlot(kReplacementSlot);
        f->bReplacementAlt = TargetOfSlot(kReplacementAltSlot);
        fw::PutBe32(f->abStart, start);
        fw::PutBe16(f->abBlocks, blocks);
        f->fWritePhase = fw::FALSE;
        ps->bPrimaryState = fw::REGION_NEW;
        return ps;
    }
    void FreeRegion(fw::KERNEL_ENTRY* ps) { FreeHost(ps); }
    // The host blocks the bad block list holds.
    static std::set<uint64_t> LostBlocks() {
        std::set<uint64_t> v;
        const fw::CONFIG_IMAGE* ps = fw::pGetConfigImage();
        for (uint16_t i = 0; i < ps->sHeader.wBadBlockCount; ++i) {
            const uint64_t l = fw::lGetBadBlockEntryStart(&ps->asBadBlock[i]);
            for (uint16_t b = 0; b < ps->asBadBlock[i].wLength; ++b) v.insert(l + b);
        }
        return v;
    }
    static std::set<uint64_t> Blocks(uint64_t first, uint64_t count) {
        std::set<uint64_t> v;
        for (uint64_t b = first; b < first + count; ++b) v.insert(b);
        return v;
    }

    fw::CONFIG_IMAGE image;

    // The main loop's passes, with the rebuild's part played here: a region
    // whose read phase is done is put back for its write.  The pass stops
    // when the region is written, or ended in error, and nothing of it is
    // left anywhere.
    void RunRegion(fw::KERNEL_ENTRY* psRegion, bool fQueue = true) {
        if (fQueue) fw::QueueWaitListA(psRegion);
        RunUntil([&] {
            if (psRegion->bPrimaryState == fw::REGION_NEW && fw::psRegionFields(psRegion)->fWritePhase == fw::TRUE &&
                fw::wGetWaitListACount() == 0) {
                fw::QueueWaitListA(psRegion);
            }
            if (fw::wGetWaitListACount() + fw::wGetInternalWaitListCount() != 0) fw::IssueRebuildRegions();
            if (fw::wGetWaitListBCount() != 0) fw::ProcessRebuildRegionCompletions();
            return Settled(psRegion);
        });
    }
    static bool Settled(fw::KERNEL_ENTRY* psRegion) {
        const uint8_t s = psRegion->bPrimaryState;
        const bool fEnded = s == fw::REGION_RAID10_WRITE_DONE || s == fw::REGION_RAID5_WRITE_DONE ||
                            s == fw::REGION_RAID6_WRITE_DONE || fw::HasFlag(psRegion, fw::KE_FLAG_ABORTED);
        if (!fEnded || fw::wGetWaitListACount() != 0 || fw::wGetWaitListBCount() != 0 ||
            fw::wGetInternalWaitListCount() != 0 || fw::wGetXorOutstanding() != 0) {
            return false;
        }
        for (uint32_t i = 0; i < fw::KERNEL_ENTRY_COUNT; ++i) {
            fw::KERNEL_ENTRY* ps = nullptr;
            fw::GetKernelEntryAddress(i, &ps);
            if (ps->fUsed == fw::TRUE && ps->psMother == psRegion) return false;
        }
        return true;
    }

    void Wipe(unsigned slot, uint32_t lba, uint32_t blocks) {
        const std::vector<uint8_t> z(blocks * kBlock, 0xA5);
        chassis.DriveAt(slot)->WriteBlocks(lba, blocks, z.data());
    }
    void FillRank(uint64_t span) {
        for (uint64_t a = 0; a < span; a += 40) Write(a, uint16_t(std::min<uint64_t>(40, span - a)), uint32_t(a + 7));
        ExpectDrivesMatchReference();
    }
};

TEST_F(RebuildRegionTest, Raid10MemberIsCopiedFromItsMirror) {
    MakeRank({fw::RAID_LEVEL_10, 4, 16});
    WipeDrives(256);
    FillRank(256);
    for (uint8_t member : {1, 2}) {
        Wipe(kReplacementSlot, 0, 128);
        fw::KERNEL_ENTRY* r = Region(member, fw::REGION_NO_MEMBER, 32, 64, 1);
        fw::QueueWaitListA(r);
        ASSERT_EQ(b.board().RunOnCpu([] { fw::IssueRebuildRegions(); }), sim::StopKind::Finished);
        const std::vector<fw::KERNEL_ENTRY*> q = Queued();
        ASSERT_EQ(q.size(), 1u);
        EXPECT_EQ(q[0]->bCommandType, fw::CT_REGION_RAID10_READ);
        EXPECT_EQ(q[0]->wTargetId, TargetOfSlot((member ^ 1) + 1u));
        EXPECT_EQ(q[0]->psMother, r);
        EXPECT_EQ(r->bPrimaryState, fw::REGION_RAID10_READING);
        RunRegion(r, false);
        EXPECT_EQ(r->bPrimaryState, fw::REGION_RAID10_WRITE_DONE);
        EXPECT_FALSE(fw::HasFlag(r, fw::KE_FLAG_ABORTED));
        EXPECT_EQ(DriveBlocks(kReplacementSlot, 32, 64), DriveBlocks(member + 1u, 32, 64));
        EXPECT_EQ(DriveBlocks(kReplacementSlot, 96, 1), std::vector<uint8_t>(kBlock, 0xA5)) << "past the region";
        FreeRegion(r);
    }
    ExpectPoolsReturned();
}

TEST_F(RebuildRegionTest, Raid50MemberIsRegeneratedFromItsSubRank) {
    MakeRank({fw::RAID_LEVEL_50, 6, 8, 2});
    WipeDrives(512);
    FillRank(raidtest::RaidRoadTest::Parity().RowBlocks() * 6);
    // Member 4 of sub-rank 1: parity in row 1 and 4, data elsewhere.
    for (uint32_t row = 0; row < 6; ++row) {
        SCOPED_TRACE(row);
        Wipe(kReplacementSlot, row * 8, 8);
        fw::KERNEL_ENTRY* r = Region(4, fw::REGION_NO_MEMBER, row * 8, 8, 2);
        fw::REBUILD_REGION_FIELDS* f = fw::psRegionFields(r);
        f->abSource[0] = TargetOfSlot(4);
        f->abSource[1] = TargetOfSlot(6);
        RunRegion(r);
        EXPECT_EQ(r->bPrimaryState, fw::REGION_RAID5_WRITE_DONE);
        EXPECT_EQ(DriveBlocks(kReplacementSlot, row * 8, 8), DriveBlocks(5, row * 8, 8));
        FreeRegion(r);
    }
    ExpectPoolsReturned();
}

// Every single and double loss in rows whose P and Q sit on every member.
TEST_F(RebuildRegionTest, Raid6RegeneratesEveryLossOfOneOrTwoMembers) {
    constexpr uint8_t D = 6;
    constexpr uint16_t S = 8;
    MakeRank({fw::RAID_LEVEL_6, D, S, 2});
    WipeDrives(256);
    FillRank(Dual().RowBlocks() * D);
    for (uint32_t row = 0; row < D; ++row) {
        for (uint8_t d0 = 0; d0 < D; ++d0) {
            for (uint8_t d1 = d0; d1 < D; ++d1) {
                const uint8_t second = d1 == d0 ? fw::REGION_NO_MEMBER : d1;
                SCOPED_TRACE(testing::Message() << "row " << row << " lost " << int(d0) << "," << int(second));
                Wipe(kReplacementSlot, row * S, S);
                Wipe(kReplacementAltSlot, row * S, S);
                fw::KERNEL_ENTRY* r = Region(d0, second, row * S, S, 4 + D - 2);
                for (uint8_t m = 0; m < D; ++m) fw::psRegionFields(r)->abSource[m] = TargetOfSlot(m + 1u);
                RunRegion(r);
                ASSERT_EQ(r->bPrimaryState, fw::REGION_RAID6_WRITE_DONE);
                ASSERT_FALSE(fw::HasFlag(r, fw::KE_FLAG_ABORTED));
                ASSERT_EQ(DriveBlocks(kReplacementSlot, row * S, S), DriveBlocks(d0 + 1u, row * S, S));
                if (second != fw::REGION_NO_MEMBER) {
                    ASSERT_EQ(DriveBlocks(kReplacementAltSlot, row * S, S), DriveBlocks(d1 + 1u, row * S, S));
                }
                FreeRegion(r);
            }
        }
    }
    ExpectPoolsReturned();
}

// Regions are dropped, not issued, once the rebuild has stopped or when the
// region carries an error.
TEST_F(RebuildRegionTest, RegionsTheRebuildNoLongerWantsAreNotIssued) {
    MakeRank({fw::RAID_LEVEL_10, 2, 16});
    fw::KERNEL_ENTRY* r = Region(1, fw::REGION_NO_MEMBER, 0, 16, 1);
    fw::SetNvramRebuildPendingFlag(fw::FALSE);
    fw::QueueWaitListA(r);
    ASSERT_EQ(b.board().RunOnCpu([] { fw::IssueRebuildRegions(); }), sim::StopKind::Finished);
    EXPECT_TRUE(Queued().empty());
    EXPECT_EQ(fw::wGetWaitListACount(), 0u);
    EXPECT_EQ(r->bPrimaryState, fw::REGION_NEW);

    fw::SetNvramRebuildPendingFlag(fw::TRUE);
    fw::SetFlag(r, fw::KE_FLAG_ABORTED);
    fw::QueueWaitListA(r);
    ASSERT_EQ(b.board().RunOnCpu([] { fw::IssueRebuildRegions(); }), sim::StopKind::Finished);
    EXPECT_TRUE(Queued().empty());
    EXPECT_EQ(fw::wGetWaitListACount(), 0u);
    FreeRegion(r);
    ExpectPoolsReturned();
}

// While hosts are busy a region's children go to the head of the drive
// queue, ahead of the host work waiting there, so the rebuild moves under
// load; while hosts are idle they queue behind it.
TEST_F(RebuildRegionTest, RegionChildrenGoAheadOfHostWorkOnlyWhileHostsAreBusy) {
    MakeRank({fw::RAID_LEVEL_10, 4, 16});
    WipeDrives(256);
    FillRank(256);
    for (bool fIdle : {false, true}) {
        SCOPED_TRACE(fIdle ? "hosts idle" : "hosts busy");
        // The scheduler's look at the host blocks counted since its last.
        if (!fIdle) fw::AddHostBlocksTransferred(8);
        ASSERT_EQ(b.board().RunOnCpu([] { fw::RebuildScheduler(); }), sim::StopKind::Finished);
        ASSERT_EQ(fw::fGetRebuildIdleFlag(), fIdle ? fw::TRUE : fw::FALSE);
        fw::KERNEL_ENTRY* h = HostCommand(false, 0, 8);
        uint8_t bMapped = 0;
        ASSERT_EQ(b.board().RunOnCpu([&] { bMapped = MapOnRank(h); }), sim::StopKind::Finished);
        ASSERT_EQ(bMapped, fw::STATUS_OK);
        Wipe(kReplacementSlot, 0, 128);
        fw::KERNEL_ENTRY* r = Region(2, fw::REGION_NO_MEMBER, 32, 64, 1);
        fw::QueueWaitListA(r);
        ASSERT_EQ(b.board().RunOnCpu([] { fw::IssueRebuildRegions(); }), sim::StopKind::Finished);
        const std::vector<fw::KERNEL_ENTRY*> q = Queued();
        ASSERT_EQ(q.size(), 2u);
        EXPECT_EQ(q[fIdle ? 1 : 0]->psMother, r);
        EXPECT_EQ(q[fIdle ? 0 : 1]->psMother, h);
        RunRegion(r, false);
        RunUntil([&] { return h->bPrimaryState == fw::HOST_STATE_DATA_AVAILABLE; });
        EXPECT_EQ(DriveBlocks(kReplacementSlot, 32, 64), DriveBlocks(3, 32, 64));
        FreeRegion(r);
        FreeHost(h);
    }
    ExpectPoolsReturned();
}

// A source drive that keeps failing a read (not its medium) ends the
// region in error, nothing written; one whose medium cannot be read marks
// the region for repair of that member, and the region goes on.
TEST_F(RebuildRegionTest, AFailedSourceReadEndsTheRegionInError) {
    MakeRank({fw::RAID_LEVEL_50, 4, 16, 1});
    WipeDrives(64);
    chassis.DriveAt(2)->FailCommand(fw::SCSI_READ10, 1000);
    fw::KERNEL_ENTRY* r = Region(3, fw::REGION_NO_MEMBER, 16, 16, 3);
    for (uint8_t i = 0; i < 3; ++i) fw::psRegionFields(r)->abSource[i] = TargetOfSlot(i + 1u);
    Wipe(kReplacementSlot, 16, 16);
    RunRegion(r);
    EXPECT_EQ(r->bPrimaryState, fw::REGION_RAID5_READS_DONE);
    EXPECT_TRUE(fw::HasFlag(r, fw::KE_FLAG_ABORTED));
    EXPECT_EQ(DriveBlocks(kReplacementSlot, 16, 16), std::vector<uint8_t>(16 * kBlock, 0xA5)) << "nothing written";
    FreeRegion(r);
    ExpectPoolsReturned();
}

TEST_F(RebuildRegionTest, AnUnreadableSourceBlockMarksTheRegionForRepair) {
    MakeRank({fw::RAID_LEVEL_50, 4, 16, 1});
    WipeDrives(64);
    chassis.DriveAt(2)->InjectMediaError(32, 1);
    fw::KERNEL_ENTRY* r = Region(3, fw::REGION_NO_MEMBER, 32, 16, 3);
    for (uint8_t i = 0; i < 3; ++i) fw::psRegionFields(r)->abSource[i] = TargetOfSlot(i + 1u);
    RunRegion(r);
    EXPECT_EQ(r->bPrimaryState, fw::REGION_RAID5_WRITE_DONE);
    EXPECT_FALSE(fw::HasFlag(r, fw::KE_FLAG_ABORTED));
    EXPECT_EQ(r->bMember, 1) << "the member that could not be read";
    EXPECT_EQ(DriveBlocks(2, 32, 16), std::vector<uint8_t>(16 * kBlock, 0)) << "its blocks rewritten";
    FreeRegion(r);
    ExpectPoolsReturned();
}

// A region read the drive error handling marked for repair: the failing
// member's blocks are written with zeros, its slot holds the zeros the
// regeneration then uses, and the blocks are recorded as lost unless the
// member held parity.  Without retries left the region ends in error.
// Member 1 of a four-member RAID 5 cannot be read while member 3 is
// rebuilt.  The row loses member 1's data, and member 3's, regenerated from
// it: both are recorded bad in host addresses (the row's data columns are
// its members in order, the parity's left out), never a parity chunk.
TEST_F(RebuildRegionTest, ReadRepairRewritesTheFailingMember) {
    MakeRank({fw::RAID_LEVEL_50, 4, 16, 1});
    WipeDrives(128);
    FillRank(96);
    // Row 1: parity on member 1, member 3 the third data chunk; row 2:
    // parity on member 2, members 1 and 3 the second and third.
    const std::set<uint64_t> lost[2] = {Blocks(48 + 32, 16), Blocks(96 + 16, 32)};
    std::set<uint64_t> want;
    for (uint32_t row : {1u, 2u}) {
        SCOPED_TRACE(row);
        fw::KERNEL_ENTRY* r = Region(3, fw::REGION_NO_MEMBER, row * 16, 16, 3);
        for (uint8_t i = 0; i < 3; ++i) fw::psRegionFields(r)->abSource[i] = TargetOfSlot(i + 1u);
        r->bMember = 1;
        std::vector<uint8_t> others[2] = {DriveBlocks(1, row * 16, 16), DriveBlocks(3, row * 16, 16)};
        // Reads done, with the mark.
        fw::QueueWaitListA(r);
        RunUntil([&] {
            if (fw::wGetWaitListACount() + fw::wGetInternalWaitListCount() != 0) fw::IssueRebuildRegions();
            return r->bPrimaryState == fw::REGION_RAID5_READS_DONE;
        });
        (void)fw::pTakeWaitListB();
        fw::SetFlag(r, fw::KE_FLAG_REGENERATE);
        fw::QueueWaitListB(r);
        RunRegion(r, false);
        EXPECT_EQ(r->bPrimaryState, fw::REGION_RAID5_WRITE_DONE);
        EXPECT_EQ(r->bRetryCount, 3u);
        EXPECT_EQ(DriveBlocks(2, row * 16, 16), std::vector<uint8_t>(16 * kBlock, 0));
        std::vector<uint8_t> expected(16 * kBlock);
        for (size_t i = 0; i < expected.size(); ++i) expected[i] = others[0][i] ^ others[1][i];
        EXPECT_EQ(DriveBlocks(kReplacementSlot, row * 16, 16), expected);
        want.insert(lost[row - 1].begin(), lost[row - 1].end());
        EXPECT_EQ(LostBlocks(), want);
        FreeRegion(r);
    }

    // Row 0 (parity on member 0) with its retries spent: member 1 stays as
    // it is on its drive, is taken as zeros, and the region is written all
    // the same instead of ending the rebuild.
    fw::KERNEL_ENTRY* r = Region(3, fw::REGION_NO_MEMBER, 0, 16, 3);
    for (uint8_t i = 0; i < 3; ++i) fw::psRegionFields(r)->abSource[i] = TargetOfSlot(i + 1u);
    r->bMember = 1;
    const std::vector<uint8_t> onDrive = DriveBlocks(2, 0, 16);
    std::vector<uint8_t> others[2] = {DriveBlocks(1, 0, 16), DriveBlocks(3, 0, 16)};
    fw::QueueWaitListA(r);
    RunUntil([&] {
        if (fw::wGetWaitListACount() + fw::wGetInternalWaitListCount() != 0) fw::IssueRebuildRegions();
        return r->bPrimaryState == fw::REGION_RAID5_READS_DONE;
    });
    (void)fw::pTakeWaitListB();
    r->bRetryCount = 1;
    fw::SetFlag(r, fw::KE_FLAG_REGENERATE);
    fw::QueueWaitListB(r);
    RunRegion(r, false);
    EXPECT_EQ(r->bPrimaryState, fw::REGION_RAID5_WRITE_DONE);
    EXPECT_FALSE(fw::HasFlag(r, fw::KE_FLAG_ABORTED));
    EXPECT_EQ(DriveBlocks(2, 0, 16), onDrive);
    std::vector<uint8_t> expected(16 * kBlock);
    for (size_t i = 0; i < expected.size(); ++i) expected[i] = others[0][i] ^ others[1][i];
    EXPECT_EQ(DriveBlocks(kReplacementSlot, 0, 16), expected);
    const std::set<uint64_t> row0[2] = {Blocks(0, 16), Blocks(32, 16)};
    for (const auto& b : row0) want.insert(b.begin(), b.end());
    EXPECT_EQ(LostBlocks(), want);
    FreeRegion(r);
    ExpectPoolsReturned();
}

// A failed write is written again while the region's retries last, then
// goes back to the rebuild in error instead of round the passes for ever.
TEST_F(RebuildRegionTest, AReplacementThatRefusesWritesIsRetriedThenGivenUp) {
    MakeRank({fw::RAID_LEVEL_10, 2, 16});
    fw::KERNEL_ENTRY* r = Region(1, fw::REGION_NO_MEMBER, 0, 16, 1);
    r->bRetryCount = 2;
    unsigned writes = 0;
    for (;;) {
        r->bPrimaryState = fw::REGION_RAID10_WRITE_DONE;
        fw::SetFlag(r, fw::KE_FLAG_CHILD_FAILED);
        fw::QueueWaitListB(r);
        ASSERT_EQ(b.board().RunOnCpu([] { fw::ProcessRebuildRegionCompletions(); }), sim::StopKind::Finished);
        if (fw::wGetWaitListACount() == 0) break;
        ASSERT_EQ(fw::pTakeWaitListA(), r);
        EXPECT_EQ(r->bPrimaryState, fw::REGION_NEW);
        EXPECT_EQ(fw::psRegionFields(r)->fWritePhase, fw::TRUE);
        ++writes;
        ASSERT_LT(writes, 10u);
    }
    EXPECT_EQ(writes, 1u);
    EXPECT_TRUE(fw::HasFlag(r, fw::KE_FLAG_ABORTED));
    FreeRegion(r);
}

}  // namespace
