// The outstanding I/O queues: the ordering answers for the reads and writes
// in progress on a LUN, under the tree and under the scan, on a board with a
// parity array (LUN 0) and a striped mirror (LUN 1).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "cache/cache_entry.h"
#include "cache/outstanding_queues.h"
#include "config/config_db.h"
#include "harness/config_test.h"
#include "config/rank_table.h"
#include "executive/tick.h"
#include "executive/work_flags.h"
#include "hw/scsi.h"
#include "target/command_access.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/stage_rings.h"

namespace {

using fw::KERNEL_ENTRY;
using fw::FALSE;
using fw::TRUE;

constexpr uint16_t kParityLun = 0;
constexpr uint16_t kMirrorLun = 1;
constexpr uint16_t kChunk = 16;
constexpr uint64_t kRankBlocks = 1 << 20;

class QueueBoard : public harness::ConfigTest {
protected:
    void SetUp() override {
        ConfigTest::SetUp();
        AddRank(fw::RAID_LEVEL_5, 5, kChunk, kRankBlocks, 1);
        AddRank(fw::RAID_LEVEL_10, 4, kChunk, kRankBlocks);
        AddLd({{0, kRankBlocks}}, kParityLun);
        AddLd({{kRankBlocks, kRankBlocks}}, kMirrorLun);
        PresentAllExcept(m_aAbsent);
        fw::ApplyStoredSettings(FALSE, TRUE);
        fw::InitHostCommandPool();
        fw::SetCacheSetting207(TRUE);
    }
    void TearDown() override {
        fw::SetCacheSetting208(TRUE);
        fw::SetCacheSetting206(FALSE);
        fw::SetCacheSetting209(FALSE);
    }

    // A host command of the LUN over [lba, lba + blocks), with its rows
    // worked out as the host paths do; not yet queued.
    KERNEL_ENTRY* Command(uint16_t wLun, uint64_t lLba, uint16_t wBlocks, uint8_t bOpcode) {
        KERNEL_ENTRY* ps = nullptr;
        uint16_t wIndex = 0;
        EXPECT_EQ(fw::bAllocTargetEntries(fw::PORT_CODE_INTERNAL, 1, &ps, &wIndex, FALSE), fw::STATUS_OK);
        if (ps == nullptr) return nullptr;
        const uint8_t abBlock[128] = {};
        fw::CopyNewCommandIocb(fw::PORT_CODE_INTERNAL, abBlock, ps, fw::HOST_STATE_NEW_COMMAND, FALSE);
        const uint8_t bRank = static_cast<uint8_t>(wLun);
        uint64_t lRankStart = 0;
        fw::GetRankStartAddress(bRank, &lRankStart);
        const uint64_t lRow = fw::dGetRankRowDataBlocks(bRank);
        ps->wLunIndex = wLun;
        ps->bRank = bRank;
        ps->lRankAddress = lLba;
        ps->lInternalAddress = lRankStart + lLba;
        ps->alStripeBound[0] = lRankStart + lLba / lRow * lRow;
        ps->alStripeBound[1] = lRankStart + ((lLba + wBlocks - 1) / lRow + 1) * lRow;
        ps->wBlockCount = wBlocks;
        ps->wBlocks = wBlocks;
        ps->bSegmentCount = 1;
        fw::psCacheFields(ps)->wFirstPieceBlocks = wBlocks;
        ps->alSequence[0] = ++m_lArrival;
        ps->fValid = TRUE;
        ps->bPrimaryState = bOpcode == fw::SCSI_WRITE16 ? fw::HOST_STATE_DATA_OUT : fw::HOST_STATE_NEW_COMMAND;
        ps->dStartTick = fw::dGetCoarseTick();
        fw::pGetCommandCdb(ps)[0] = bOpcode;
        return ps;
    }
    KERNEL_ENTRY* Write(uint16_t wLun, uint64_t lLba, uint16_t wBlocks) {
        KERNEL_ENTRY* ps = Command(wLun, lLba, wBlocks, fw::SCSI_WRITE16);
        fw::InsertOutstandingWrite(ps);
        return ps;
    }
    KERNEL_ENTRY* Read(uint16_t wLun, uint64_t lLba, uint16_t wBlocks) {
        KERNEL_ENTRY* ps = Command(wLun, lLba, wBlocks, fw::SCSI_READ16);
        fw::InsertOutstandingRead(ps);
        return ps;
    }
    // A write whose data is all in its buffer.
    static void Complete(KERNEL_ENTRY* ps) {
        fw::SetFlag(ps, fw::KE_FLAG_DATA_COMPLETE);
        fw::psCacheFields(ps)->wBlocksInOrder = ps->wBlocks;
    }
    static uint8_t bAtStart(KERNEL_ENTRY* ps, uint16_t* pwIndex = nullptr) {
        uint16_t w = 0;
        const uint8_t b = fw::bFindBlockingWrite(ps, pwIndex != nullptr ? pwIndex : &w, TRUE, FALSE, FALSE);
        return b;
    }
    static uint8_t bWhenReady(KERNEL_ENTRY* ps) {
        uint16_t w = 0;
        return fw::bFindBlockingWrite(ps, &w, FALSE, TRUE, FALSE);
    }
    static bool Has(const KERNEL_ENTRY* ps, uint64_t lFlag) { return fw::HasFlag(ps, lFlag); }
    static void ExpectSound() {
        EXPECT_EQ(fw::fIsOutstandingTreeSound(kParityLun), TRUE);
        EXPECT_EQ(fw::fIsOutstandingTreeSound(kMirrorLun), TRUE);
    }

    std::vector<std::pair<uint8_t, uint8_t>> m_aAbsent;
    uint64_t m_lArrival = 0;
};

// Every rule holds alike under the tree (setting 208 TRUE) and the scan.
class OutstandingQueues : public QueueBoard, public ::testing::WithParamInterface<uint8_t> {
protected:
    void SetUp() override {
        QueueBoard::SetUp();
        fw::SetCacheSetting208(GetParam());
    }
};

INSTANTIATE_TEST_SUITE_P(Kinds, OutstandingQueues, ::testing::Values(TRUE, FALSE),
                         [](const auto& info) { return std::string(info.param == TRUE ? "Tree" : "Scan"); });

TEST_P(OutstandingQueues, SpansAreHalfOpenAndEqualStartsBothOrder) {
    KERNEL_ENTRY* psOlder = Write(kMirrorLun, 100, 10);
    EXPECT_EQ(fw::bCheckReadAgainstWrites(Command(kMirrorLun, 110, 10, fw::SCSI_READ16), 10, FALSE), fw::ORDER_GO);
    EXPECT_EQ(fw::bCheckReadAgainstWrites(Command(kMirrorLun, 90, 10, fw::SCSI_READ16), 10, FALSE), fw::ORDER_GO);
    EXPECT_FALSE(Has(psOlder, fw::KE_FLAG_HOLD_RELEASE_A));
    EXPECT_EQ(fw::bCheckReadAgainstWrites(Command(kMirrorLun, 109, 2, fw::SCSI_READ16), 2, FALSE), fw::ORDER_WAIT);
    EXPECT_TRUE(Has(psOlder, fw::KE_FLAG_HOLD_RELEASE_A)) << "the write a read waits for goes on at once";

    // A second write at the same first block: ordered behind the first, and
    // both are found by what comes after them.
    KERNEL_ENTRY* psSame = Command(kMirrorLun, 100, 4, fw::SCSI_WRITE16);
    EXPECT_EQ(bAtStart(psSame), fw::ORDER_WAIT);
    EXPECT_TRUE(Has(psSame, fw::KE_FLAG_WRITE_WAITS));
    fw::InsertOutstandingWrite(psSame);
    ExpectSound();
    EXPECT_EQ(bAtStart(Command(kMirrorLun, 110, 8, fw::SCSI_WRITE16)), fw::ORDER_GO);
    KERNEL_ENTRY* psLater = Command(kMirrorLun, 103, 1, fw::SCSI_WRITE16);
    EXPECT_EQ(bAtStart(psLater), fw::ORDER_WAIT);
    EXPECT_EQ(fw::psCacheFields(psLater)->wBlockingLink, psOlder->wIndex) << "the oldest blocker is recorded";
    fw::RemoveOutstandingWrite(psOlder);
    EXPECT_EQ(fw::bCheckReadAgainstWrites(Command(kMirrorLun, 104, 2, fw::SCSI_READ16), 2, FALSE), fw::ORDER_GO);
    EXPECT_EQ(fw::bCheckReadAgainstWrites(Command(kMirrorLun, 103, 2, fw::SCSI_READ16), 2, FALSE), fw::ORDER_WAIT);
    ExpectSound();
}

TEST_P(OutstandingQueues, ReadIsServedOnlyFromTheNewestWriteThatHoldsAllOfIt) {
    KERNEL_ENTRY* psWide = Write(kMirrorLun, 0, 64);
    KERNEL_ENTRY* psNarrow = Write(kMirrorLun, 32, 16);
    psWide->dBufferHandle = fw::BUFFER_HANDLE{0x100000};
    psNarrow->dBufferHandle = fw::BUFFER_HANDLE{0x200000};
    Complete(psWide);
    Complete(psNarrow);

    KERNEL_ENTRY* psInside = Command(kMirrorLun, 40, 4, fw::SCSI_READ16);
    EXPECT_EQ(fw::bCheckReadAgainstWrites(psInside, 4, FALSE), fw::ORDER_SERVED);
    EXPECT_EQ(psInside->dBufferHandle, fw::BUFFER_HANDLE{0x200000} + 8 * 512);
    EXPECT_EQ(fw::psCacheFields(psInside)->wServingWrite, psNarrow->wIndex);
    EXPECT_EQ(fw::psCacheFields(psNarrow)->wReaderCount, 1);
    EXPECT_EQ(fw::psCacheFields(psWide)->wReaderCount, 0);

    // The newest overlapping write does not hold all of the read: the older
    // one's data there may be stale, so the read waits for both.
    KERNEL_ENTRY* psAcross = Command(kMirrorLun, 30, 12, fw::SCSI_READ16);
    EXPECT_EQ(fw::bCheckReadAgainstWrites(psAcross, 12, FALSE), fw::ORDER_WAIT);
    EXPECT_TRUE(Has(psWide, fw::KE_FLAG_HOLD_RELEASE_A));
    EXPECT_TRUE(Has(psNarrow, fw::KE_FLAG_HOLD_RELEASE_A));

    // Where only the older write lies, it serves.
    EXPECT_EQ(fw::bCheckReadAgainstWrites(Command(kMirrorLun, 2, 4, fw::SCSI_READ16), 4, FALSE), fw::ORDER_SERVED);
    EXPECT_EQ(fw::bCheckReadAgainstWrites(Command(kMirrorLun, 30, 4, fw::SCSI_READ16), 4, FALSE), fw::ORDER_WAIT);

    // Nothing is served strictly, to a snapshot read, from a write whose data
    // is not all in, or with the setting off.
    EXPECT_EQ(fw::bCheckReadAgainstWrites(Command(kMirrorLun, 40, 4, fw::SCSI_READ16), 4, TRUE), fw::ORDER_WAIT);
    KERNEL_ENTRY* psSnapshot = Command(kMirrorLun, 40, 4, fw::SCSI_READ16);
    fw::SetFlag(psSnapshot, fw::KE_FLAG_SNAPSHOT);
    EXPECT_EQ(fw::bCheckReadAgainstWrites(psSnapshot, 4, FALSE), fw::ORDER_WAIT);
    fw::psCacheFields(psNarrow)->wBlocksInOrder = 15;
    EXPECT_EQ(fw::bCheckReadAgainstWrites(Command(kMirrorLun, 40, 4, fw::SCSI_READ16), 4, FALSE), fw::ORDER_WAIT);
    Complete(psNarrow);
    fw::SetCacheSetting207(FALSE);
    EXPECT_EQ(fw::bCheckReadAgainstWrites(Command(kMirrorLun, 40, 4, fw::SCSI_READ16), 4, FALSE), fw::ORDER_WAIT);

    // A newer write does not order an older read (unless strictly).
    fw::SetCacheSetting207(TRUE);
    KERNEL_ENTRY* psOldRead = Command(kMirrorLun, 100, 4, fw::SCSI_READ16);
    Write(kMirrorLun, 96, 16);
    EXPECT_EQ(fw::bCheckReadAgainstWrites(psOldRead, 4, FALSE), fw::ORDER_GO);
    EXPECT_EQ(fw::bCheckReadAgainstWrites(psOldRead, 4, TRUE), fw::ORDER_WAIT);
}

// A long write's span runs on from its current pass to the command's end,
// but its buffer holds only the pass's blocks: a read ending at the pass's
// end is served from it, one ending a block past waits.
TEST_P(OutstandingQueues, ALongWriteServesOnlyTheBlocksOfItsCurrentPass) {
    KERNEL_ENTRY* psLong = Command(kMirrorLun, 64, 16, fw::SCSI_WRITE16);
    fw::psCacheFields(psLong)->wFirstPieceBlocks = 64;   // the whole command from this pass on
    fw::InsertOutstandingWrite(psLong);
    psLong->dBufferHandle = fw::BUFFER_HANDLE{0x100000};
    Complete(psLong);
    KERNEL_ENTRY* psAtEnd = Command(kMirrorLun, 72, 8, fw::SCSI_READ16);
    EXPECT_EQ(fw::bCheckReadAgainstWrites(psAtEnd, 8, FALSE), fw::ORDER_SERVED);
    EXPECT_EQ(psAtEnd->dBufferHandle, fw::BUFFER_HANDLE{0x100000} + 8 * 512);
    EXPECT_EQ(fw::bCheckReadAgainstWrites(Command(kMirrorLun, 73, 8, fw::SCSI_READ16), 8, FALSE), fw::ORDER_WAIT);
    EXPECT_EQ(fw::bCheckReadAgainstWrites(Command(kMirrorLun, 100, 4, fw::SCSI_READ16), 4, FALSE), fw::ORDER_WAIT);
}

TEST_P(OutstandingQueues, RecordedBlockerHoldsUntilItsCommandIsGone) {
    KERNEL_ENTRY* psFirst = Write(kMirrorLun, 0, 16);
    KERNEL_ENTRY* psSecond = Command(kMirrorLun, 8, 16, fw::SCSI_WRITE16);
    EXPECT_EQ(bAtStart(psSecond), fw::ORDER_WAIT);
    EXPECT_TRUE(Has(psFirst, fw::KE_FLAG_HOLD_RELEASE_A));
    EXPECT_EQ(fw::psCacheFields(psSecond)->wBlockingLink, psFirst->wIndex);
    fw::InsertOutstandingWrite(psSecond);
    for (int i = 0; i < 3; i++) EXPECT_EQ(bWhenReady(psSecond), fw::ORDER_WAIT);

    // Its data written and its status out, the older write orders nothing,
    // unless it goes round again for another pass.
    psFirst->bPrimaryState = fw::HOST_STATE_WRITE_COMPLETE;
    fw::SetFlag(psFirst, fw::KE_FLAG_MORE_PASSES);
    EXPECT_EQ(bWhenReady(psSecond), fw::ORDER_WAIT);
    fw::ClearFlag(psFirst, fw::KE_FLAG_MORE_PASSES);
    EXPECT_EQ(bWhenReady(psSecond), fw::ORDER_GO);
    EXPECT_EQ(fw::psCacheFields(psSecond)->wBlockingLink, fw::NO_ENTRY_LINK);

    // The blocker's entry taken by a newer command is not the blocker any
    // more, even over the same blocks.
    psFirst->bPrimaryState = fw::HOST_STATE_DATA_OUT;
    KERNEL_ENTRY* psThird = Command(kMirrorLun, 20, 8, fw::SCSI_WRITE16);
    EXPECT_EQ(bAtStart(psThird), fw::ORDER_WAIT);
    EXPECT_EQ(fw::psCacheFields(psThird)->wBlockingLink, psSecond->wIndex);
    fw::InsertOutstandingWrite(psThird);
    const uint16_t wSecond = psSecond->wIndex;
    fw::RemoveOutstandingWrite(psSecond);
    fw::FreeTargetEntry(psSecond);
    KERNEL_ENTRY* psReuse = nullptr;
    while (psReuse == nullptr || psReuse->wIndex != wSecond) psReuse = Command(kMirrorLun, 16, 8, fw::SCSI_WRITE16);
    fw::InsertOutstandingWrite(psReuse);
    EXPECT_EQ(bWhenReady(psThird), fw::ORDER_GO);
    ExpectSound();
}

TEST_P(OutstandingQueues, CommandOutstandingTooLongOrdersNothing) {
    KERNEL_ENTRY* psOld = Write(kMirrorLun, 0, 16);
    psOld->dStartTick = fw::dGetCoarseTick() - (fw::OUTSTANDING_STALE_TICKS - 1);
    EXPECT_EQ(fw::bCheckReadAgainstWrites(Command(kMirrorLun, 4, 4, fw::SCSI_READ16), 4, FALSE), fw::ORDER_WAIT);
    psOld->dStartTick = fw::dGetCoarseTick() - fw::OUTSTANDING_STALE_TICKS;
    EXPECT_EQ(fw::bCheckReadAgainstWrites(Command(kMirrorLun, 4, 4, fw::SCSI_READ16), 4, FALSE), fw::ORDER_GO);
    // Once found stale it stays so.
    psOld->dStartTick = fw::dGetCoarseTick();
    EXPECT_EQ(bAtStart(Command(kMirrorLun, 4, 4, fw::SCSI_WRITE16)), fw::ORDER_GO);
    EXPECT_EQ(fw::dGetLunOutstandingWrites(kMirrorLun), 1u);

    // A blocker a write recorded lets it go once it is stale.
    KERNEL_ENTRY* psBlocker = Write(kMirrorLun, 100, 8);
    KERNEL_ENTRY* psWaiting = Command(kMirrorLun, 104, 8, fw::SCSI_WRITE16);
    EXPECT_EQ(bAtStart(psWaiting), fw::ORDER_WAIT);
    fw::InsertOutstandingWrite(psWaiting);
    EXPECT_EQ(bWhenReady(psWaiting), fw::ORDER_WAIT);
    psBlocker->dStartTick = fw::dGetCoarseTick() - fw::OUTSTANDING_STALE_TICKS;
    EXPECT_EQ(bWhenReady(psWaiting), fw::ORDER_GO);
}

TEST_P(OutstandingQueues, ParityWritesInOneRowAreSharersNotBlockers) {
    const uint32_t dRow = fw::dGetRankRowDataBlocks(0);
    ASSERT_EQ(dRow, 4u * kChunk);
    KERNEL_ENTRY* psA = Write(kParityLun, 0, 8);
    uint16_t wIndex = 0;
    KERNEL_ENTRY* psB = Command(kParityLun, 16, 8, fw::SCSI_WRITE16);
    EXPECT_EQ(bAtStart(psB, &wIndex), fw::ORDER_SHARES_ONE);
    EXPECT_EQ(wIndex, psA->wIndex);
    EXPECT_FALSE(Has(psB, fw::KE_FLAG_WRITE_WAITS));
    EXPECT_FALSE(Has(psA, fw::KE_FLAG_HOLD_RELEASE_A));
    fw::InsertOutstandingWrite(psB);
    KERNEL_ENTRY* psC = Command(kParityLun, 40, 8, fw::SCSI_WRITE16);
    EXPECT_EQ(bAtStart(psC, &wIndex), fw::ORDER_SHARES_MANY);
    EXPECT_EQ(wIndex, fw::NO_ENTRY_LINK);
    EXPECT_TRUE(Has(psC, fw::KE_FLAG_WRITE_WAITS));
    EXPECT_EQ(bAtStart(Command(kParityLun, dRow, 8, fw::SCSI_WRITE16)), fw::ORDER_GO);
    // From the write-ready stage any sharer holds it.
    EXPECT_EQ(bWhenReady(psB), fw::ORDER_WAIT);
    fw::RemoveOutstandingWrite(psA);
    EXPECT_EQ(bWhenReady(psB), fw::ORDER_GO);
    // On the mirror rows are not shared.
    Write(kMirrorLun, 0, 8);
    EXPECT_EQ(bAtStart(Command(kMirrorLun, 16, 8, fw::SCSI_WRITE16)), fw::ORDER_GO);
}

TEST_P(OutstandingQueues, WriteWaitsForAnOlderOverlappingRead) {
    EXPECT_EQ(fw::bCheckWriteOverlap(Command(kMirrorLun, 0, 8, fw::SCSI_WRITE16)), fw::ORDER_GO);
    KERNEL_ENTRY* psRead = Read(kMirrorLun, 0, 16);
    KERNEL_ENTRY* psWrite = Command(kMirrorLun, 8, 4, fw::SCSI_WRITE16);
    EXPECT_EQ(fw::bCheckWriteOverlap(psWrite), fw::ORDER_WAIT);
    EXPECT_TRUE(Has(psRead, fw::KE_FLAG_OVERLAPS_READ));
    EXPECT_TRUE(Has(psWrite, fw::KE_FLAG_OVERLAPS_READ));
    EXPECT_EQ(fw::bCheckWriteOverlap(Command(kMirrorLun, 16, 4, fw::SCSI_WRITE16)), fw::ORDER_GO);
    // A read whose data is out with its status no longer holds writes.
    psRead->bPrimaryState = fw::HOST_STATE_DATA_IN;
    EXPECT_EQ(fw::bCheckWriteOverlap(psWrite), fw::ORDER_GO);
    psRead->bPrimaryState = fw::HOST_STATE_NEW_COMMAND;
    // Nor does a newer read.
    KERNEL_ENTRY* psEarlier = Command(kMirrorLun, 100, 4, fw::SCSI_WRITE16);
    Read(kMirrorLun, 100, 4);
    EXPECT_EQ(fw::bCheckWriteOverlap(psEarlier), fw::ORDER_GO);
    fw::RemoveOutstandingRead(psRead);
    EXPECT_EQ(fw::bCheckWriteOverlap(psWrite), fw::ORDER_GO);
    EXPECT_EQ(fw::dGetLunOutstandingReads(kMirrorLun), 1u);
}

TEST_P(OutstandingQueues, DataServiceTagsKeepTheirCommandsApart) {
    auto Tag = [](KERNEL_ENTRY* ps, uint16_t wTag) {
        fw::pHostFields(ps)->wDataServiceTag = wTag;
        return ps;
    };
    fw::InsertOutstandingWrite(Tag(Command(kMirrorLun, 0, 8, fw::SCSI_WRITE16), 5));
    // An untagged read looks only at untagged writes; a tagged one also at
    // its own service's.
    EXPECT_EQ(fw::bCheckReadAgainstWrites(Command(kMirrorLun, 0, 4, fw::SCSI_READ16), 4, TRUE), fw::ORDER_GO);
    EXPECT_EQ(fw::bCheckReadAgainstWrites(Tag(Command(kMirrorLun, 0, 4, fw::SCSI_READ16), 5), 4, TRUE),
              fw::ORDER_WAIT);
    EXPECT_EQ(fw::bCheckReadAgainstWrites(Tag(Command(kMirrorLun, 0, 4, fw::SCSI_READ16), 6), 4, TRUE), fw::ORDER_GO);
    // Writes: another service's are ignored, untagged ones count.
    EXPECT_EQ(bAtStart(Tag(Command(kMirrorLun, 0, 4, fw::SCSI_WRITE16), 6)), fw::ORDER_GO);
    EXPECT_EQ(bAtStart(Command(kMirrorLun, 0, 4, fw::SCSI_WRITE16)), fw::ORDER_WAIT);
    Write(kMirrorLun, 100, 8);
    EXPECT_EQ(bAtStart(Tag(Command(kMirrorLun, 100, 4, fw::SCSI_WRITE16), 6)), fw::ORDER_WAIT);
    // Behind reads a tagged write waits only for its own service's.
    Read(kMirrorLun, 200, 8);
    EXPECT_EQ(fw::bCheckWriteOverlap(Tag(Command(kMirrorLun, 200, 4, fw::SCSI_WRITE16), 6)), fw::ORDER_GO);
    EXPECT_EQ(fw::bCheckWriteOverlap(Command(kMirrorLun, 200, 4, fw::SCSI_WRITE16)), fw::ORDER_WAIT);
}

TEST_P(OutstandingQueues, MovedCommandKeepsItsAgeAndItsPlace) {
    KERNEL_ENTRY* psMoved = Write(kMirrorLun, 100, 16);
    KERNEL_ENTRY* psSecond = Write(kMirrorLun, 0, 8);
    Write(kMirrorLun, 200, 8);
    KERNEL_ENTRY* psNewer = Command(kMirrorLun, 300, 4, fw::SCSI_WRITE16);

    // A continued transfer: the command now starts further on.
    psMoved->lInternalAddress += 200;
    psMoved->alStripeBound[0] += 200;
    psMoved->alStripeBound[1] += 200;
    fw::UpdateOutstandingWrite(psMoved);
    ExpectSound();
    EXPECT_EQ(fw::dGetLunOutstandingWrites(kMirrorLun), 3u);
    EXPECT_EQ(bAtStart(psNewer), fw::ORDER_WAIT);
    EXPECT_EQ(bAtStart(Command(kMirrorLun, 100, 4, fw::SCSI_WRITE16)), fw::ORDER_GO);
    fw::FlagLunOutstandingWrites(kMirrorLun, 1);
    EXPECT_TRUE(Has(psMoved, fw::KE_FLAG_HOLD_RELEASE_C)) << "still the oldest";
    EXPECT_FALSE(Has(psSecond, fw::KE_FLAG_HOLD_RELEASE_C));

    // Grown in place: the same first block, more blocks.
    psSecond->wBlockCount = 64;
    fw::psCacheFields(psSecond)->wFirstPieceBlocks = 64;
    psSecond->alStripeBound[1] += 64;
    fw::UpdateOutstandingWrite(psSecond);
    ExpectSound();
    EXPECT_EQ(fw::bCheckReadAgainstWrites(Command(kMirrorLun, 60, 2, fw::SCSI_READ16), 2, TRUE), fw::ORDER_WAIT);
    // It is still older than a write that came after it.
    KERNEL_ENTRY* psAfter = Write(kMirrorLun, 40, 4);
    EXPECT_EQ(bWhenReady(psAfter), fw::ORDER_WAIT);
}

TEST_P(OutstandingQueues, CountsFlagsAndReleases) {
    KERNEL_ENTRY* psWrite = Write(kParityLun, 0, 8);
    fw::InsertOutstandingWrite(psWrite);   // twice: queued once
    EXPECT_EQ(fw::dGetLunOutstandingWrites(kParityLun), 1u);
    EXPECT_EQ(fw::dGetRankOutstandingWrites(0), 1u);
    KERNEL_ENTRY* psTwo = Command(kParityLun, 100, 8, fw::SCSI_WRITE16);
    psTwo->bSegmentCount = 2;
    psTwo->bSecondRank = 1;
    psTwo->lSecondPieceAddress = kRankBlocks;
    fw::psCacheFields(psTwo)->wSecondPieceBlocks = 4;
    psTwo->alStripeBound[2] = kRankBlocks;
    psTwo->alStripeBound[3] = kRankBlocks + fw::dGetRankRowDataBlocks(1);
    fw::InsertOutstandingWrite(psTwo);
    EXPECT_EQ(fw::dGetRankOutstandingWrites(0), 1u) << "a write over two arrays counts for neither";
    EXPECT_EQ(fw::dGetLunOutstandingWrites(kParityLun), 2u);
    ExpectSound();
    // Its second segment orders a write on the other array's first blocks.
    KERNEL_ENTRY* psBeyond = Command(kParityLun, 0, 2, fw::SCSI_WRITE16);
    psBeyond->lInternalAddress = kRankBlocks + 2;
    EXPECT_EQ(bAtStart(psBeyond), fw::ORDER_WAIT);

    EXPECT_EQ(fw::dGetLunOutstandingWrites(fw::LUN_COUNT), 0u);
    EXPECT_EQ(fw::dGetLunOutstandingReads(fw::LUN_COUNT), 0u);
    EXPECT_EQ(fw::dGetRankOutstandingWrites(64), 0u);

    // Removing what is not queued changes nothing.
    KERNEL_ENTRY* psLoose = Command(kParityLun, 0, 8, fw::SCSI_WRITE16);
    fw::RemoveOutstandingWrite(psLoose);
    fw::RemoveOutstandingRead(psWrite);
    EXPECT_EQ(fw::dGetLunOutstandingWrites(kParityLun), 2u);
    EXPECT_TRUE(Has(psWrite, fw::KE_FLAG_IN_WRITE_QUEUE));

    // The initiator's writes older than an arrival, not aborted.
    const uint64_t lNow = m_lArrival + 1;
    fw::SetFlag(psTwo, fw::KE_FLAG_ABORTED);
    Read(kParityLun, 300, 8);
    EXPECT_EQ(fw::dCountOlderInitiatorWrites(fw::PORT_CODE_INTERNAL, 0, kParityLun, lNow), 3u);
    EXPECT_EQ(fw::dCountOlderInitiatorWrites(fw::PORT_CODE_INTERNAL, 0, kParityLun, psWrite->alSequence[0]), 0u);
    fw::ReleaseInitiatorLunWrites(fw::PORT_CODE_INTERNAL, 0, kMirrorLun);
    EXPECT_FALSE(Has(psWrite, fw::KE_FLAG_HOLD_RELEASE_A));
    fw::ReleaseInitiatorLunWrites(fw::PORT_CODE_INTERNAL, 0, kParityLun);
    EXPECT_TRUE(Has(psWrite, fw::KE_FLAG_HOLD_RELEASE_A) && Has(psWrite, fw::KE_FLAG_HOLD_RELEASE_B));

    fw::ResetAllOutstandingReads();
    EXPECT_TRUE(Has(psLoose, fw::KE_FLAG_HOLD_RELEASE_C));
    fw::ResetAllOutstandingWrites();
    EXPECT_TRUE(Has(psLoose, fw::KE_FLAG_HOLD_RELEASE_A) && Has(psLoose, fw::KE_FLAG_HOLD_RELEASE_B));

    fw::RemoveOutstandingWrite(psWrite);
    fw::RemoveOutstandingWrite(psTwo);
    EXPECT_EQ(fw::dGetRankOutstandingWrites(0), 0u);
    EXPECT_EQ(fw::dGetLunOutstandingWrites(kParityLun), 0u);
    EXPECT_FALSE(Has(psWrite, fw::KE_FLAG_IN_WRITE_QUEUE));

    // A back-off names the LUN's oldest writes however the queue changed
    // since the last one: writes that left it, among those told already or
    // at their end, are not counted.
    KERNEL_ENTRY* apsOld[5];
    for (uint16_t w = 0; w < 5; ++w) apsOld[w] = Write(kParityLun, 1000u + 16u * w, 8);
    fw::FlagLunOutstandingWrites(kParityLun, 2);
    EXPECT_TRUE(Has(apsOld[1], fw::KE_FLAG_HOLD_RELEASE_C));
    EXPECT_FALSE(Has(apsOld[2], fw::KE_FLAG_HOLD_RELEASE_C));
    fw::RemoveOutstandingWrite(apsOld[1]);
    fw::FlagLunOutstandingWrites(kParityLun, 2);
    EXPECT_TRUE(Has(apsOld[2], fw::KE_FLAG_HOLD_RELEASE_C)) << "the second oldest now";
    EXPECT_FALSE(Has(apsOld[3], fw::KE_FLAG_HOLD_RELEASE_C));
    fw::RemoveOutstandingWrite(apsOld[0]);
    KERNEL_ENTRY* psNewest = Write(kParityLun, 2000, 8);
    fw::FlagLunOutstandingWrites(kParityLun, 3);
    EXPECT_TRUE(Has(apsOld[3], fw::KE_FLAG_HOLD_RELEASE_C) && Has(apsOld[4], fw::KE_FLAG_HOLD_RELEASE_C));
    EXPECT_FALSE(Has(psNewest, fw::KE_FLAG_HOLD_RELEASE_C));
    fw::FlagLunOutstandingWrites(kParityLun, 4);
    EXPECT_TRUE(Has(psNewest, fw::KE_FLAG_HOLD_RELEASE_C));
}

TEST_P(OutstandingQueues, HoldReleaseReachesEveryPartOfASplitCommand) {
    KERNEL_ENTRY* psHead = Write(kMirrorLun, 0, 8);
    psHead->bCommandType = fw::COMMAND_TYPE_STREAM_HEAD;
    psHead->wTotalChildren = 3;
    KERNEL_ENTRY* psOtherHead = Write(kMirrorLun, 500, 8);
    psOtherHead->bCommandType = fw::COMMAND_TYPE_STREAM_HEAD;
    psOtherHead->wTotalChildren = 2;
    std::vector<KERNEL_ENTRY*> apsParts;
    for (uint8_t bType : {fw::COMMAND_TYPE_STREAM_PIECE, fw::COMMAND_TYPE_CLOSING_PIECE}) {
        KERNEL_ENTRY* ps = Write(kMirrorLun, 8 * (apsParts.size() + 1), 8);
        ps->bCommandType = bType;
        fw::psCacheFields(ps)->psStreamHead = psHead;
        apsParts.push_back(ps);
    }
    KERNEL_ENTRY* psStranger = Write(kMirrorLun, 508, 8);
    psStranger->bCommandType = fw::COMMAND_TYPE_STREAM_PIECE;
    fw::psCacheFields(psStranger)->psStreamHead = psOtherHead;

    fw::SetHoldReleaseFlagB(apsParts[1]);
    EXPECT_TRUE(Has(psHead, fw::KE_FLAG_HOLD_RELEASE_B));
    for (KERNEL_ENTRY* ps : apsParts) EXPECT_TRUE(Has(ps, fw::KE_FLAG_HOLD_RELEASE_B));
    EXPECT_FALSE(Has(psOtherHead, fw::KE_FLAG_HOLD_RELEASE_B));
    EXPECT_FALSE(Has(psStranger, fw::KE_FLAG_HOLD_RELEASE_B));
    // Later parts never order a write behind them; the head does.
    EXPECT_EQ(bAtStart(Command(kMirrorLun, 510, 2, fw::SCSI_WRITE16)), fw::ORDER_GO);
    EXPECT_EQ(bAtStart(Command(kMirrorLun, 4, 2, fw::SCSI_WRITE16)), fw::ORDER_WAIT);
}

TEST_P(OutstandingQueues, DumpsListEveryQueuedCommand) {
    const KERNEL_ENTRY* ps = Write(kMirrorLun, 0x20, 8);
    Read(kParityLun, 0x40, 4);
    board.ClearConsoleText();
    fw::DumpOutstandingWriteQueue();
    fw::DumpOutstandingReadQueue();
    std::string s = board.ConsoleText();
    std::erase(s, '\r');
    EXPECT_EQ(s.rfind("\n\nOutstanding Write Queue:\n", 0), 0u);
    EXPECT_NE(s.find("\nEnd of Outstanding Write Queue\n\n\n\nOutstanding Read Queue:\n"), std::string::npos);
    EXPECT_NE(s.find("\nEnd of Outstanding Read Queue\n\n"), std::string::npos);
    char acLine[160];
    if (GetParam() == TRUE) {
        EXPECT_NE(s.find("LUN:001 Count:0001 Root:"), std::string::npos);
        std::snprintf(acLine, sizeof(acLine),
                      "%03x L001:0 S:0000100020-0000100040 C:0000100020-0000100028 0008 Q:00000001 T:00\n", ps->wIndex);
    } else {
        std::snprintf(acLine, sizeof(acLine), "LUN:001 Count:0001 Queue Head:%04x Queue Tail:%04x\n", ps->wIndex,
                      ps->wIndex);
        EXPECT_NE(s.find(acLine), std::string::npos) << s;
        std::snprintf(acLine, sizeof(acLine),
                      "%03x L001:0 S0000100020-0000100040 C0000100020-0000100028 0008 Q00000001 T00 P12\n", ps->wIndex);
    }
    EXPECT_NE(s.find(acLine), std::string::npos) << s;
}

// Same random work under the tree and the scan: every answer, every index
// handed back and every flag set must agree, and the trees stay sound.
TEST_F(QueueBoard, TreeAndScanGiveTheSameAnswers) {
    auto Run = [&](uint8_t f208) {
        fw::InitHostCommandPool();
        fw::SetCacheSetting208(f208);
        m_lArrival = 0;
        std::mt19937 rng(20240611);
        std::vector<KERNEL_ENTRY*> aps;
        std::vector<uint64_t> alSeen;
        auto Record = [&](uint64_t l) { alSeen.push_back(l); };
        auto Pick = [&]() -> KERNEL_ENTRY* { return aps.empty() ? nullptr : aps[rng() % aps.size()]; };
        for (uint32_t dStep = 0; dStep < 12000; dStep++) {
            const uint32_t dOp = rng() % 12;
            const uint16_t wLun = static_cast<uint16_t>(rng() % 2);
            const uint64_t lLba = rng() % 6000;
            const uint16_t wBlocks = static_cast<uint16_t>(1 + rng() % 80);
            if (dOp <= 3 && aps.size() < 2600) {
                const bool fWrite = dOp <= 1;
                KERNEL_ENTRY* ps = Command(wLun, lLba, wBlocks, fWrite ? fw::SCSI_WRITE16 : fw::SCSI_READ16);
                ps->dBufferHandle = fw::BUFFER_HANDLE{static_cast<uint32_t>(ps->wIndex) << 16};
                if (fWrite) {
                    uint16_t w = 0;
                    Record(fw::bFindBlockingWrite(ps, &w, TRUE, FALSE, FALSE));
                    Record(w);
                    Record(fw::bCheckWriteOverlap(ps));
                    fw::InsertOutstandingWrite(ps);
                    if (rng() % 2) Complete(ps);
                } else {
                    Record(fw::bCheckReadAgainstWrites(ps, wBlocks, rng() % 4 == 0 ? TRUE : FALSE));
                    Record(static_cast<uint32_t>(ps->dBufferHandle));
                    fw::InsertOutstandingRead(ps);
                }
                Record(ps->lFlags);
                aps.push_back(ps);
            } else if (dOp <= 6 && !aps.empty()) {
                const size_t n = rng() % aps.size();
                KERNEL_ENTRY* ps = aps[n];
                fw::RemoveOutstandingWrite(ps);
                fw::RemoveOutstandingRead(ps);
                fw::FreeTargetEntry(ps);
                aps[n] = aps.back();
                aps.pop_back();
            } else if (dOp == 7 && !aps.empty()) {
                KERNEL_ENTRY* ps = Pick();
                if (rng() % 2) {
                    const uint64_t lShift = 1 + rng() % 64;
                    ps->lInternalAddress += lShift;
                    ps->alStripeBound[0] += lShift;
                    ps->alStripeBound[1] += lShift + 64;
                } else {
                    ps->wBlockCount = static_cast<uint16_t>(ps->wBlockCount + 8);
                    fw::psCacheFields(ps)->wFirstPieceBlocks = ps->wBlockCount;
                    ps->alStripeBound[1] += 64;
                }
                fw::UpdateOutstandingWrite(ps);
                fw::UpdateOutstandingRead(ps);
            } else if (dOp == 8 && !aps.empty()) {
                KERNEL_ENTRY* ps = Pick();
                if (fw::HasFlag(ps, fw::KE_FLAG_IN_WRITE_QUEUE)) Record(bWhenReady(ps));
            } else if (dOp == 9 && !aps.empty()) {
                KERNEL_ENTRY* ps = Pick();
                ps->bPrimaryState = fw::HasFlag(ps, fw::KE_FLAG_IN_WRITE_QUEUE) ? fw::HOST_STATE_WRITE_COMPLETE
                                                                                : fw::HOST_STATE_DATA_IN;
            } else if (dOp == 10) {
                KERNEL_ENTRY* ps = Command(wLun, lLba, wBlocks, fw::SCSI_READ16);
                Record(fw::bCheckReadAgainstWrites(ps, wBlocks, TRUE));
                fw::FreeTargetEntry(ps);
            }
            if (dStep % 16 == 0 &&
                (fw::fIsOutstandingTreeSound(kParityLun) != TRUE || fw::fIsOutstandingTreeSound(kMirrorLun) != TRUE)) {
                ADD_FAILURE() << "tree unsound after step " << dStep;
                break;
            }
        }
        for (KERNEL_ENTRY* ps : aps) Record(ps->lFlags);
        Record(fw::dGetLunOutstandingWrites(kParityLun));
        Record(fw::dGetLunOutstandingReads(kMirrorLun));
        Record(fw::dGetRankOutstandingWrites(0));
        return alSeen;
    };
    const std::vector<uint64_t> alTree = Run(TRUE);
    const std::vector<uint64_t> alScan = Run(FALSE);
    ASSERT_EQ(alTree.size(), alScan.size());
    for (size_t i = 0; i < alTree.size(); i++) ASSERT_EQ(alTree[i], alScan[i]) << "answer " << i;
}

// The scan kind's own rules: writes at separate places of one stripe unit
// are not ordered (setting 206), and a newer write over all of an older
// write-back write's rows carries it (setting 209).
TEST_F(QueueBoard, ScanKindCollapsesAndSupersedes) {
    fw::SetCacheSetting208(FALSE);
    fw::SetCacheSetting206(TRUE);
    Write(kParityLun, 0, 4);
    KERNEL_ENTRY* psBeside = Command(kParityLun, 8, 4, fw::SCSI_WRITE16);
    EXPECT_EQ(bAtStart(psBeside), fw::ORDER_GO);
    EXPECT_TRUE(Has(psBeside, fw::KE_FLAG_UNIT_COLLAPSE));
    KERNEL_ENTRY* psMeeting = Command(kParityLun, 18, 4, fw::SCSI_WRITE16);   // 2..6 of its unit
    EXPECT_EQ(bAtStart(psMeeting), fw::ORDER_SHARES_ONE);
    EXPECT_FALSE(Has(psMeeting, fw::KE_FLAG_UNIT_COLLAPSE));
    EXPECT_EQ(bAtStart(Command(kParityLun, 20, 13, fw::SCSI_WRITE16)), fw::ORDER_SHARES_ONE) << "too long for one unit";
    fw::SetCacheSetting206(FALSE);
    EXPECT_EQ(bAtStart(Command(kParityLun, 8, 4, fw::SCSI_WRITE16)), fw::ORDER_SHARES_ONE);

    fw::SetCacheSetting209(TRUE);
    KERNEL_ENTRY* psOlder = Write(kMirrorLun, 32, 8);
    KERNEL_ENTRY* psOver = Command(kMirrorLun, 0, 96, fw::SCSI_WRITE16);
    EXPECT_EQ(bAtStart(psOver), fw::ORDER_WAIT) << "not a write-back write";
    fw::SetFlag(psOlder, fw::KE_FLAG_WRITE_BACK);
    psOver = Command(kMirrorLun, 0, 96, fw::SCSI_WRITE16);
    EXPECT_EQ(bAtStart(psOver), fw::ORDER_GO);
    EXPECT_TRUE(Has(psOver, fw::KE_FLAG_COLLAPSES) && Has(psOver, fw::KE_FLAG_WRITE_WAITS));
    EXPECT_TRUE(Has(psOlder, fw::KE_FLAG_MAY_COLLAPSE));
    EXPECT_EQ(fw::psCacheFields(psOver)->wCollapseLink, psOlder->wIndex);
    // Not over all of its rows, or already on its way to the drives.
    EXPECT_EQ(bAtStart(Command(kMirrorLun, 0, 48, fw::SCSI_WRITE16)), fw::ORDER_WAIT);
    psOlder->bPrimaryState = fw::HOST_STATE_WRITE_ISSUED;
    EXPECT_EQ(bAtStart(Command(kMirrorLun, 0, 96, fw::SCSI_WRITE16)), fw::ORDER_WAIT);
}

// A degraded parity array rebuilds reads from whole rows.
class DegradedParity : public QueueBoard {
protected:
    DegradedParity() { m_aAbsent = {{0, 1}}; }
};

TEST_F(DegradedParity, ReadsAndWritesMeetOverWholeRows) {
    ASSERT_LT(fw::bGetRankOperationState(0), fw::RANK_STATE_OPTIMAL);
    Write(kParityLun, 0, 8);
    EXPECT_EQ(fw::bCheckReadAgainstWrites(Command(kParityLun, 16, 8, fw::SCSI_READ16), 8, FALSE), fw::ORDER_WAIT);
    EXPECT_EQ(fw::bCheckReadAgainstWrites(Command(kParityLun, 64, 8, fw::SCSI_READ16), 8, FALSE), fw::ORDER_GO);
    Read(kParityLun, 128, 8);
    EXPECT_EQ(fw::bCheckWriteOverlap(Command(kParityLun, 180, 4, fw::SCSI_WRITE16)), fw::ORDER_WAIT);
    EXPECT_EQ(fw::bCheckWriteOverlap(Command(kParityLun, 192, 4, fw::SCSI_WRITE16)), fw::ORDER_GO);
    // Strictly, the read's rows end at the row of its last given block.
    EXPECT_EQ(fw::bCheckReadAgainstWrites(Command(kParityLun, 60, 70, fw::SCSI_READ16), 2, TRUE), fw::ORDER_WAIT);
    EXPECT_EQ(fw::bCheckReadAgainstWrites(Command(kParityLun, 64, 70, fw::SCSI_READ16), 2, TRUE), fw::ORDER_GO);
}

// A write that waits for a read goes round its port's "Write Ready" ring,
// which is served only while the port has work: the read's end raises it,
// or the write would sleep until the half-second tick.  A read no write
// waits for leaves the ports as they are.
TEST_F(DegradedParity, AReadAWriteWaitsForHasTheWriteLookAgainWhenItEnds) {
    KERNEL_ENTRY* psRead = Read(kParityLun, 128, 8);
    KERNEL_ENTRY* psOther = Read(kParityLun, 512, 8);
    ASSERT_EQ(fw::bCheckWriteOverlap(Command(kParityLun, 180, 4, fw::SCSI_WRITE16)), fw::ORDER_WAIT);
    fw::SetHostPortWork(fw::PORT_CODE_FC_HOST_1, FALSE);
    fw::SetHostPortWork(fw::PORT_CODE_FC_HOST_2, FALSE);
    fw::RemoveOutstandingRead(psOther);
    EXPECT_EQ(fw::fGetHostPortWork(fw::PORT_CODE_FC_HOST_1), FALSE);
    fw::RemoveOutstandingRead(psRead);
    EXPECT_EQ(fw::fGetHostPortWork(fw::PORT_CODE_FC_HOST_1), TRUE);
    EXPECT_EQ(fw::fGetHostPortWork(fw::PORT_CODE_FC_HOST_2), TRUE);
}

TEST_F(QueueBoard, OptimalParityReadsMeetOnlyTheirBlocks) {
    Write(kParityLun, 0, 8);
    EXPECT_EQ(fw::bCheckReadAgainstWrites(Command(kParityLun, 16, 8, fw::SCSI_READ16), 8, FALSE), fw::ORDER_GO);
    Read(kParityLun, 128, 8);
    EXPECT_EQ(fw::bCheckWriteOverlap(Command(kParityLun, 180, 4, fw::SCSI_WRITE16)), fw::ORDER_GO);
}

// A tree of thousands of commands in one LUN keeps its shape through
// removals of inner nodes.
TEST_F(QueueBoard, LargeTreeStaysSoundThroughInnerRemovals) {
    std::vector<KERNEL_ENTRY*> aps;
    for (uint32_t d = 0; d < 3000; d++) aps.push_back(Write(kMirrorLun, (d * 7919u) % 30000u, 4));
    ExpectSound();
    for (size_t n = 0; n < aps.size(); n += 3) fw::RemoveOutstandingWrite(aps[n]);
    ExpectSound();
    EXPECT_EQ(fw::dGetLunOutstandingWrites(kMirrorLun), 2000u);
    for (size_t n = 1; n < aps.size(); n += 3) fw::RemoveOutstandingWrite(aps[n]);
    ExpectSound();
    EXPECT_EQ(fw::dGetLunOutstandingWrites(kMirrorLun), 1000u);
}

}  // namespace
