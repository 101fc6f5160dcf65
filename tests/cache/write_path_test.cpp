// Host WRITE through the cache: the start (pages, streams, passes, the
// write-back decision), the data-received, optimisation and write-ready
// stages, and what the host is answered when.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "config/rank_table.h"
#include "console/option_settings.h"
#include "eventlog/statistics.h"
#include "executive/buffer_pages.h"
#include "host_io_board.h"
#include "executive/timers.h"
#include "target/command_checks.h"
#include "target/command_completion.h"
#include "target/host_command_codes.h"

namespace {

using namespace iotest;

constexpr uint32_t kStripe = 512;   // RAID 5 of 5 drives, chunk 128

class WritePath : public HostIo {
protected:
    void SetUp() override {
        HostIo::SetUp();
        MakeArray(fw::RAID_LEVEL_5, 5, 128, 1 << 20, 1);
        ASSERT_EQ(fw::dGetRankRowDataBlocks(0), kStripe);
    }

    fw::KERNEL_ENTRY* StartWrite(uint64_t lLba, uint32_t dBlocks) {
        fw::KERNEL_ENTRY* ps = Admit(fw::SCSI_WRITE16, lLba, dBlocks);
        EXPECT_EQ(fw::StartHostWrite(ps), fw::STATUS_OK);
        return ps;
    }
    fw::KERNEL_ENTRY* StreamHead(fw::KERNEL_ENTRY* ps) { return Cache(ps).psStreamHead; }
    uint32_t m_dCachedBefore = 0;

    // Lets held writes go on: their hold time runs out.
    void ReleaseHolds() {
        AdvanceMs(4000);
        RunStages();
    }
};

TEST_F(WritePath, WriteBackIsAnsweredWhenItsDataIsJournalled) {
    fw::KERNEL_ENTRY* ps = StartWrite(8, 16);
    EXPECT_EQ(ps->bPrimaryState, fw::HOST_STATE_DATA_OUT);
    EXPECT_EQ(ps->bCommandType, fw::COMMAND_TYPE_STREAM_HEAD);
    EXPECT_NE(ps->dBufferHandle, fw::NULL_BUFFER_HANDLE);
    EXPECT_TRUE(fw::HasFlag(ps, fw::KE_FLAG_WRITE_BACK));
    ASSERT_EQ(Answer(ps).aSegments.size(), 1u);
    EXPECT_EQ(Answer(ps).aSegments[0].second, 16 * kBlock);
    // Journalled with its buffer, nothing received yet.
    EXPECT_EQ(Slot(ps).fValid, fw::TRUE);
    EXPECT_EQ(ValidBlocks(Slot(ps)), 0);
    EXPECT_FALSE(Answer(ps).fStatus);

    SendData(ps, 1);
    RunStages();
    EXPECT_TRUE(Good(ps));
    EXPECT_EQ(ValidBlocks(Slot(ps)), 16);
    EXPECT_TRUE(fw::HasFlag(ps, fw::KE_FLAG_STATUS_SENT));
    EXPECT_EQ(fw::dGetCacheWriteCount(), 1u);
    for (uint32_t i = 0; i < 16 * kBlock; i += 97) ASSERT_EQ(Bytes(ps->dBufferHandle)[i], Pattern(1, i)) << i;

    // Held for followers, then issued: the journal marks it issued.
    EXPECT_EQ(ps->bPrimaryState, fw::HOST_STATE_OPTIMISATION);
    ReleaseHolds();
    // Its GOOD went out already: the drives done, it is finished without a status.
    EXPECT_EQ(ps->bPrimaryState, fw::HOST_STATE_COMPLETE);
    EXPECT_EQ(Slot(ps).fIssued, fw::TRUE);
    EXPECT_EQ(ValidBlocks(Slot(ps)), 16);
}

TEST_F(WritePath, WriteThroughIsNotAnsweredBeforeTheDrives) {
    fw::SetWritebackCaching(fw::FALSE);
    m_dCachedBefore = fw::dGetCacheWriteCount();
    fw::KERNEL_ENTRY* ps = StartWrite(8, 16);
    EXPECT_FALSE(fw::HasFlag(ps, fw::KE_FLAG_WRITE_BACK));
    EXPECT_EQ(Slot(ps).fValid, fw::FALSE);
    SendData(ps, 2);
    RunStages();
    EXPECT_FALSE(Answer(ps).fStatus);
    ReleaseHolds();
    // Issued and journalled, waiting for the write-complete stage's status.
    EXPECT_EQ(ps->bPrimaryState, fw::HOST_STATE_WRITE_COMPLETE);
    EXPECT_EQ(Slot(ps).fValid, fw::TRUE);
    EXPECT_EQ(Slot(ps).fIssued, fw::TRUE);
    EXPECT_FALSE(Answer(ps).fStatus);
    EXPECT_EQ(fw::dGetCacheWriteCount(), m_dCachedBefore);
}

TEST_F(WritePath, ASequentialWriteJoinsTheStreamBeforeIt) {
    fw::KERNEL_ENTRY* psHead = StartWrite(8, 16);
    fw::KERNEL_ENTRY* psPiece = StartWrite(24, 16);
    EXPECT_EQ(psPiece->bCommandType, fw::COMMAND_TYPE_STREAM_PIECE);
    EXPECT_EQ(StreamHead(psPiece), psHead);
    EXPECT_EQ(psPiece->dBufferHandle, psHead->dBufferHandle + 16 * kBlock);
    EXPECT_TRUE(fw::HasFlag(psPiece, fw::KE_FLAG_BORROWED_PAGES));
    EXPECT_EQ(psHead->wBlocks, 32);
    EXPECT_EQ(psHead->wTotalChildren, 2);
    SendData(psHead, 3);
    SendData(psPiece, 4);
    RunStages();
    EXPECT_TRUE(Good(psHead));
    // The piece is gone with its status; its blocks count in its head's slot.
    EXPECT_TRUE(PieceAnsweredGood(psPiece));
    EXPECT_EQ(ValidBlocks(Slot(psHead)), 32);
    ReleaseHolds();
    EXPECT_EQ(psHead->bPrimaryState, fw::HOST_STATE_COMPLETE);
    const uint8_t* pb = Bytes(psHead->dBufferHandle);
    EXPECT_EQ(pb[16 * kBlock + 5], Pattern(4, 5));
}

// The port's history is searched as deep as the write sort's level says,
// and no deeper: a stream head behind 23 other heads is found at level 2,
// one behind 24 is not (and this write is not told of it).
TEST_F(WritePath, AStreamIsFoundAsDeepAsTheHistoryGoesAndNoDeeper) {
    fw::SetSequentialWriteLevel(2);
    ASSERT_EQ(fw::dGetSequentialHistoryDepth(), 24u);
    uint64_t lElsewhere = 16 * kStripe;
    for (const uint32_t dBetween : {23u, 24u}) {
        const uint64_t lHead = lElsewhere + 8;
        fw::KERNEL_ENTRY* psHead = StartWrite(lHead, 16);
        for (uint32_t n = 0; n < dBetween; ++n) {
            lElsewhere += 2 * kStripe;
            ASSERT_EQ(StartWrite(lElsewhere + 8, 16)->bCommandType, fw::COMMAND_TYPE_STREAM_HEAD);
        }
        lElsewhere += 2 * kStripe;
        fw::KERNEL_ENTRY* psNext = StartWrite(lHead + 16, 16);
        const bool fFound = dBetween == 23;
        EXPECT_EQ(StreamHead(psNext), fFound ? psHead : nullptr) << dBetween;
        EXPECT_EQ(fw::HasFlag(psNext, fw::KE_FLAG_STREAM_PREDECESSOR), fFound) << dBetween;
    }
}

TEST_F(WritePath, Sequential4KWritesReachTheDrivesAsWholeStripes) {
    // Two stripes of 4 KiB writes, all in flight before their data comes.
    constexpr uint32_t kWrites = 2 * kStripe / 8;
    std::vector<fw::KERNEL_ENTRY*> aWrites;
    for (uint32_t n = 0; n < kWrites; ++n) aWrites.push_back(StartWrite(kStripe + 8 * n, 8));
    fw::KERNEL_ENTRY* psFirst = aWrites[0];
    fw::KERNEL_ENTRY* psSecond = aWrites[kWrites / 2];
    for (uint32_t n = 1; n < kWrites; ++n) {
        if (n == kWrites / 2) continue;
        ASSERT_EQ(StreamHead(aWrites[n]), n < kWrites / 2 ? psFirst : psSecond) << n;
    }
    EXPECT_EQ(aWrites[kWrites / 2 - 1]->bCommandType, fw::COMMAND_TYPE_CLOSING_PIECE);
    EXPECT_EQ(psSecond->bCommandType, fw::COMMAND_TYPE_STREAM_HEAD);
    for (uint32_t n = 0; n < kWrites; ++n) SendData(aWrites[n], static_cast<uint8_t>(n));
    // A closed stream goes on without waiting: one full-stripe write per
    // stream, each of the 5 members written once, nothing read back for
    // the parity.
    RunStages();
    EXPECT_EQ(psFirst->bPrimaryState, fw::HOST_STATE_COMPLETE);
    EXPECT_EQ(psSecond->bPrimaryState, fw::HOST_STATE_COMPLETE);
    EXPECT_EQ(m_dDriveReads, 0u);
    EXPECT_EQ(m_dDriveWrites, 2u * 5u);
}

TEST_F(WritePath, AnAlignedWholeStripeWriteClosesTheStreamBeforeItAndStaysPlain) {
    // A stream reaching the stripe boundary: its last piece closes it.
    fw::KERNEL_ENTRY* psHead = StartWrite(400, 16);
    fw::KERNEL_ENTRY* psPiece = StartWrite(416, kStripe - 416);
    EXPECT_EQ(psPiece->bCommandType, fw::COMMAND_TYPE_CLOSING_PIECE);
    // The whole-stripe write after it finds the stream, closes it and starts
    // on its own.
    EXPECT_FALSE(fw::HasFlag(psHead, fw::KE_FLAG_HOLD_RELEASE_C));
    fw::KERNEL_ENTRY* psStripe = StartWrite(kStripe, kStripe);
    EXPECT_EQ(psStripe->bCommandType, fw::CT_PLAIN_WRITE);
    EXPECT_EQ(StreamHead(psStripe), nullptr);
    EXPECT_TRUE(fw::HasFlag(psHead, fw::KE_FLAG_HOLD_RELEASE_C));
    EXPECT_EQ(psHead->wTotalChildren, 2);
}

TEST_F(WritePath, LongWritesArePlainAndCutIntoPasses) {
    fw::KERNEL_ENTRY* ps9000 = StartWrite(100, 9000);
    EXPECT_EQ(ps9000->bCommandType, fw::CT_PLAIN_WRITE);
    EXPECT_EQ(Cache(ps9000).wBufferBlocks, 9000);

    fw::KERNEL_ENTRY* psLong = Admit(fw::SCSI_WRITE16, 20000, 20000);
    EXPECT_EQ(psLong->wBlocks, fw::MAX_PASS_BLOCKS);
    EXPECT_TRUE(fw::HasFlag(psLong, fw::KE_FLAG_MORE_PASSES));
    EXPECT_EQ(fw::bSetupTransferPass(psLong), fw::FALSE);
    EXPECT_EQ(psLong->wBlocks, 20000 - fw::MAX_PASS_BLOCKS);
    EXPECT_EQ(psLong->lInternalAddress, 20000u + fw::MAX_PASS_BLOCKS);
    EXPECT_FALSE(fw::HasFlag(psLong, fw::KE_FLAG_MORE_PASSES));
}

TEST_F(WritePath, TheDecoderTakesWhatTheRangeCheckPassed) {
    struct Case {
        uint32_t dLength;
        bool fPasses;
    };
    for (const Case& c : {Case{8, true}, Case{65535, true}, Case{65536, false}, Case{0x10008, false}}) {
        fw::KERNEL_ENTRY* ps = Admit(fw::SCSI_WRITE16, 0, c.dLength);
        uint8_t bKey = 0;
        uint8_t bAsc = 0;
        uint8_t bAscq = 0;
        const bool fPasses = fw::bCheckLbaRange(ps, kLun, &bKey, &bAsc, &bAscq) == fw::STATUS_OK;
        EXPECT_EQ(fPasses, c.fPasses) << c.dLength;
        if (fPasses) {
            fw::ParseReadWrite16Cdb(ps);
            EXPECT_EQ(ps->wBlockCount, c.dLength) << c.dLength;
        }
    }
}

TEST_F(WritePath, TheStreamTakesAtMost512Pieces) {
    // A wide stripe, so that 1-block pieces stay inside one row.
    fw::pGetRankRecord(0)->wChunkSize = 512;
    fw::pGetRankRecord(0)->dRowDataBlocks = 2048;
    fw::KERNEL_ENTRY* psHead = StartWrite(1, 16);
    ASSERT_GE(Cache(psHead).wBufferBlocks, 16 + 511);
    fw::KERNEL_ENTRY* psPiece = nullptr;
    for (uint32_t n = 1; n <= 511; ++n) {
        psPiece = StartWrite(16 + n, 1);
        ASSERT_EQ(StreamHead(psPiece), psHead) << n;
        if (n < 511) {
            ASSERT_EQ(psPiece->bCommandType, fw::COMMAND_TYPE_STREAM_PIECE) << n;
        }
    }
    EXPECT_EQ(psPiece->bCommandType, fw::COMMAND_TYPE_CLOSING_PIECE);
    EXPECT_EQ(psHead->wTotalChildren, 512);
    EXPECT_TRUE(fw::HasFlag(psHead, fw::KE_FLAG_HOLD_RELEASE_C));
    fw::KERNEL_ENTRY* psNext = StartWrite(16 + 512, 1);
    EXPECT_EQ(StreamHead(psNext), nullptr);
}

TEST_F(WritePath, WithoutPagesAStreamHeadTriesThreeSizesThenWaits) {
    // A quarter of the pages in use, scattered: no run of 4 pages is free.
    std::vector<fw::BUFFER_HANDLE> aBank0;
    for (uint8_t bBank : {uint8_t(0), uint8_t(1)}) {
        std::vector<fw::BUFFER_HANDLE> aTaken;
        fw::BUFFER_HANDLE h = fw::NULL_BUFFER_HANDLE;
        while (fw::bAllocDataPages(bBank, 1, &h) == fw::STATUS_OK) aTaken.push_back(h);
        for (size_t i = 0; i < aTaken.size(); ++i) {
            if (i % 4 != 0) fw::wFreeDataPages(aTaken[i], 1);
        }
        if (bBank == 0) aBank0 = aTaken;
    }
    ASSERT_GT(aBank0.size(), 200u);
    std::sort(aBank0.begin(), aBank0.end());
    // Freeing k of the pages in use opens a run of 4k + 3 free pages.
    const auto OpenRun = [&](uint32_t k) {
        for (uint32_t i = 0; i < k; ++i) fw::wFreeDataPages(aBank0[100 + 4 * i], 1);
    };
    // 500 blocks into a 512-block stripe: the stream buffer would be 524
    // blocks (66 pages), then 262 (33), then 131 (17).
    OpenRun(3);
    fw::KERNEL_ENTRY* ps = Admit(fw::SCSI_WRITE16, 500, 16);
    EXPECT_EQ(fw::StartHostWrite(ps), fw::STATUS_NO_PAGES);
    EXPECT_EQ(ps->bPrimaryState, fw::HOST_STATE_LUN_QUEUED);
    EXPECT_EQ(ps->dBufferHandle, fw::NULL_BUFFER_HANDLE);
    EXPECT_EQ(fw::wGetLunBackOff(kLun), 1);
    OpenRun(4);
    EXPECT_EQ(fw::StartHostWrite(ps), fw::STATUS_OK);
    EXPECT_EQ(Cache(ps).wBufferBlocks, 131);
}

// A write turned away for want of pages keeps what the stream detection
// found: tried again, it is not looked up in the port's history again.  The
// detection's mark of its run here: it found the stream that ends where
// this write starts (and closed it, as this write starts a stripe row).
TEST_F(WritePath, AWriteTurnedAwayIsNotLookedForInTheHistoryAgain) {
    fw::KERNEL_ENTRY* psHead = StartWrite(400, 16);
    ASSERT_EQ(StartWrite(416, kStripe - 416)->bCommandType, fw::COMMAND_TYPE_CLOSING_PIECE);
    std::vector<fw::BUFFER_HANDLE> aTaken;
    fw::BUFFER_HANDLE h = fw::NULL_BUFFER_HANDLE;
    while (fw::bAllocDataPages(fw::BUFFER_BANK_EITHER, 1, &h) == fw::STATUS_OK) aTaken.push_back(h);
    fw::KERNEL_ENTRY* ps = Admit(fw::SCSI_WRITE16, kStripe, 16);
    EXPECT_EQ(fw::StartHostWrite(ps), fw::STATUS_NO_PAGES);
    ASSERT_TRUE(fw::HasFlag(ps, fw::KE_FLAG_STREAM_PREDECESSOR));
    ASSERT_TRUE(fw::HasFlag(psHead, fw::KE_FLAG_HOLD_RELEASE_C));
    fw::ClearFlag(ps, fw::KE_FLAG_STREAM_PREDECESSOR);
    for (int iTry = 0; iTry < 3; ++iTry) EXPECT_EQ(fw::StartHostWrite(ps), fw::STATUS_NO_PAGES);
    for (fw::BUFFER_HANDLE hTaken : aTaken) fw::wFreeDataPages(hTaken, 1);
    EXPECT_EQ(fw::StartHostWrite(ps), fw::STATUS_OK);
    EXPECT_FALSE(fw::HasFlag(ps, fw::KE_FLAG_STREAM_PREDECESSOR));
    // It started as the detection had found it: a stream of its own.
    EXPECT_EQ(ps->bCommandType, fw::COMMAND_TYPE_STREAM_HEAD);
    EXPECT_EQ(StreamHead(ps), nullptr);
    EXPECT_EQ(Cache(ps).bKeptStreamClass, 0);
}

// While the buffer memory is short, an array with 33 writes or more in
// progress is loaded: its writes held for followers go on and give back
// the room their streams kept, until the memory is no longer short, and a
// new write of an array that waits for its share (policy bit 6) waits for
// it meanwhile rather than being refused pages.
TEST_F(WritePath, WhileTheBufferMemoryIsShortALoadedArraysHeldWritesGoOn) {
    std::vector<fw::KERNEL_ENTRY*> aHeld;
    for (uint32_t n = 0; n < 40; ++n) {
        fw::KERNEL_ENTRY* ps = StartWrite(4 * kStripe * n + 8, 8);
        fw::SetFlag(ps, fw::KE_FLAG_LUN_STATISTICS);
        fw::UpdateCurrentDataOnStart(ps);
        SendData(ps, static_cast<uint8_t>(n));
        aHeld.push_back(ps);
    }
    RunStages(1);
    for (fw::KERNEL_ENTRY* ps : aHeld) ASSERT_EQ(ps->bPrimaryState, fw::HOST_STATE_OPTIMISATION);
    std::vector<fw::BUFFER_HANDLE> aTaken;
    fw::BUFFER_HANDLE h = fw::NULL_BUFFER_HANDLE;
    while (fw::fIsBufferUsageHigh(fw::BUFFER_BANK_EITHER) != fw::TRUE &&
           fw::bAllocDataPages(fw::BUFFER_BANK_EITHER, 1, &h) == fw::STATUS_OK) {
        aTaken.push_back(h);
    }
    fw::pGetRankRecord(0)->bCachePolicy |= fw::POLICY_SHARED_OUTSTANDING;
    fw::KERNEL_ENTRY* psNew = Admit(fw::SCSI_WRITE16, 200 * kStripe, 8);
    EXPECT_EQ(fw::StartHostWrite(psNew), fw::START_RANK_SHARE_USED);
    RunStages(1);
    const auto dGone = std::count_if(aHeld.begin(), aHeld.end(), [](const fw::KERNEL_ENTRY* ps) {
        return ps->bPrimaryState != fw::HOST_STATE_OPTIMISATION;
    });
    EXPECT_GT(dGone, 0);
    EXPECT_LT(dGone, 40);
    EXPECT_EQ(fw::fIsBufferUsageHigh(fw::BUFFER_BANK_EITHER), fw::FALSE);
    EXPECT_EQ(fw::StartHostWrite(psNew), fw::STATUS_OK);
    for (fw::BUFFER_HANDLE hTaken : aTaken) fw::wFreeDataPages(hTaken, 1);
}

TEST_F(WritePath, ARankOverItsQueueLimitAnswersTaskSetFull) {
    fw::SetRankQueueLimitSetting(fw::TRUE);
    fw::SetCommandClustering(fw::FALSE);
    for (uint32_t n = 0; n < 33; ++n) StartWrite(1000 * n, 8);
    fw::KERNEL_ENTRY* ps = Admit(fw::SCSI_WRITE16, 50000, 8);
    EXPECT_EQ(fw::StartHostWrite(ps), fw::STATUS_OK);
    EXPECT_EQ(ps->bPrimaryState, fw::HOST_STATE_STATUS);
    EXPECT_EQ(Answer(ps).wStatus & 0xFF, fw::SCSI_STATUS_TASK_SET_FULL);
    EXPECT_EQ(ps->dBufferHandle, fw::NULL_BUFFER_HANDLE);
    // Answered, it is no longer queued on its LUN.
    EXPECT_EQ(fw::wGetLunQueueCount(kLun), 0);
}

TEST_F(WritePath, APieceWhoseDataComesFirstWaitsForItsHead) {
    fw::KERNEL_ENTRY* psHead = StartWrite(8, 16);
    fw::KERNEL_ENTRY* psPiece = StartWrite(24, 16);
    SendData(psPiece, 5);
    RunStages();
    EXPECT_EQ(psPiece->bPrimaryState, fw::HOST_STATE_DATA_RECEIVED);
    EXPECT_EQ(fw::wGetDataReceivedCount(), 1);
    EXPECT_FALSE(Answer(psPiece).fStatus);
    EXPECT_EQ(ValidBlocks(Slot(psHead)), 0);
    SendData(psHead, 6);
    RunStages();
    EXPECT_TRUE(Good(psHead));
    EXPECT_TRUE(PieceAnsweredGood(psPiece));
    EXPECT_EQ(ValidBlocks(Slot(psHead)), 32);
}

TEST_F(WritePath, AfterANewerPieceWasAbortedOutOfOrderDataAbortsThePiece) {
    fw::KERNEL_ENTRY* psHead = StartWrite(8, 16);
    StartWrite(24, 16);
    fw::KERNEL_ENTRY* psLate = StartWrite(40, 16);
    fw::SetFlag(psHead, fw::KE_FLAG_NEWER_PIECE_ABORTED);
    SendData(psLate, 7);
    RunStages();
    EXPECT_EQ(psLate->bPrimaryState, fw::HOST_STATE_COMPLETE);
    EXPECT_EQ(psLate->wChildrenOutstanding, fw::COMPLETION_CODE_NO_STATUS);
    EXPECT_FALSE(Answer(psLate).fStatus);
}

TEST_F(WritePath, AContinuationCarriesPastTheStripeBoundaryOnAParityRank) {
    fw::KERNEL_ENTRY* psHead = StartWrite(400, 16);
    fw::KERNEL_ENTRY* psCont = StartWrite(416, 200);
    ASSERT_EQ(psCont->bCommandType, fw::COMMAND_TYPE_CONTINUATION);
    EXPECT_EQ(Cache(psCont).wHeadShare, 96);
    EXPECT_EQ(psCont->wBlocks, 104);
    EXPECT_EQ(psCont->lInternalAddress, 512u);
    EXPECT_EQ(Cache(psCont).wBufferBlocks, kStripe);
    ASSERT_EQ(Answer(psCont).aSegments.size(), 2u);
    EXPECT_EQ(Answer(psCont).aSegments[0].first,
              static_cast<uint32_t>(fw::dBufferHandleToPciAddress(psHead->dBufferHandle + 16 * kBlock)));
    EXPECT_EQ(Answer(psCont).aSegments[0].second, 96 * kBlock);
    SendData(psHead, 8);
    SendData(psCont, 9);
    RunStages();
    EXPECT_TRUE(Good(psHead));
    EXPECT_TRUE(Good(psCont));
    // Both parts of the continuation are journalled before its GOOD.
    EXPECT_EQ(ValidBlocks(Slot(psHead)), 112);
    EXPECT_EQ(ValidBlocks(Slot(psCont)), 104);
    EXPECT_EQ(psCont->bCommandType, fw::COMMAND_TYPE_STREAM_HEAD);
    EXPECT_TRUE(fw::HasFlag(psHead, fw::KE_FLAG_STREAM_CONTINUES));
    ReleaseHolds();
    EXPECT_EQ(psHead->bPrimaryState, fw::HOST_STATE_COMPLETE);
    EXPECT_EQ(psCont->bPrimaryState, fw::HOST_STATE_COMPLETE);
}

// A write-back continuation on an ISP2x00 port would be answered with its
// data phase; its head share lands in a write-through head's buffer, which
// no journal covers, so it must wait for the drives like its head.
TEST_F(WritePath, AContinuationOfAWriteThroughHeadIsNotAnsweredWithItsData) {
    fw::SetWritebackCaching(fw::FALSE);
    fw::KERNEL_ENTRY* psHead = StartWrite(400, 16);
    ASSERT_FALSE(fw::HasFlag(psHead, fw::KE_FLAG_WRITE_BACK));
    fw::SetWritebackCaching(fw::TRUE);
    fw::SetQL24xx(fw::FALSE);
    fw::KERNEL_ENTRY* psCont = StartWrite(416, 200);
    fw::SetQL24xx(fw::TRUE);
    ASSERT_EQ(psCont->bCommandType, fw::COMMAND_TYPE_CONTINUATION);
    EXPECT_EQ(Slot(psHead).fValid, fw::FALSE);
    EXPECT_FALSE(fw::HasFlag(psCont, fw::KE_FLAG_STATUS_SENT));
    EXPECT_FALSE(fw::HasFlag(psCont, fw::KE_FLAG_STATUS_WITH_DATA));
}

// A piece may join a continuation before the continuation's own data is in:
// its data lands after the continuation's own part, and the stream the
// continuation then heads waits for it.
TEST_F(WritePath, APieceJoiningAContinuationLandsAfterItsOwnPart) {
    fw::KERNEL_ENTRY* psHead = StartWrite(400, 16);
    fw::KERNEL_ENTRY* psCont = StartWrite(416, 200);
    ASSERT_EQ(psCont->bCommandType, fw::COMMAND_TYPE_CONTINUATION);
    fw::KERNEL_ENTRY* psPiece = StartWrite(616, 8);
    ASSERT_EQ(psPiece->bCommandType, fw::COMMAND_TYPE_STREAM_PIECE);
    EXPECT_EQ(StreamHead(psPiece), psCont);
    EXPECT_EQ(psPiece->dBufferHandle, psCont->dBufferHandle + 104 * kBlock);
    SendData(psHead, 8);
    SendData(psCont, 9);
    RunStages();
    // The continuation heads a stream of two now; its piece's data is not in.
    EXPECT_EQ(psCont->bCommandType, fw::COMMAND_TYPE_STREAM_HEAD);
    EXPECT_EQ(psCont->wBlocks, 112);
    EXPECT_EQ(psCont->bPrimaryState, fw::HOST_STATE_STREAM_WAIT);
    SendData(psPiece, 10);
    const uint8_t* pb = Bytes(psCont->dBufferHandle);
    EXPECT_EQ(pb[0], Pattern(9, 96 * kBlock));
    EXPECT_EQ(pb[104 * kBlock - 1], Pattern(9, 200 * kBlock - 1));
    EXPECT_EQ(pb[104 * kBlock], Pattern(10, 0));
    ReleaseHolds();
    EXPECT_EQ(psCont->bPrimaryState, fw::HOST_STATE_COMPLETE);
}

TEST_F(WritePath, ARankRefusingWritesKeepsAnAnsweredWriteAndFailsAnUnansweredOne) {
    fw::KERNEL_ENTRY* psCached = StartWrite(8, 16);
    SendData(psCached, 10);
    RunStages();
    ASSERT_TRUE(Good(psCached));
    ClearRing();
    fw::SetRankOperationState(0, fw::RANK_STATE_FAILED);
    fw::SetWritebackCaching(fw::FALSE);
    fw::KERNEL_ENTRY* psThrough = StartWrite(5000, 16);
    SendData(psThrough, 11);
    ReleaseHolds();
    // The cached write is not answered again and keeps its data: it waits
    // to be tried again.
    fw::ServiceWriteComplete(kPort);
    EXPECT_FALSE(Answer(psCached).fStatus);
    EXPECT_EQ(psCached->bPrimaryState, fw::HOST_STATE_DESTAGE_WAIT);
    EXPECT_EQ(ValidBlocks(Slot(psCached)), 16);
    EXPECT_EQ(Slot(psCached).fIssued, fw::FALSE);
    // The write-through write is refused.
    const HostAnswer& a = Answer(psThrough);
    ASSERT_TRUE(a.fStatus);
    EXPECT_EQ(a.bKey, fw::SENSE_ILLEGAL_REQUEST);
    EXPECT_EQ(a.bAsc, 0x25);
    // Once the rank takes writes again the cached write goes to the drives.
    fw::SetRankOperationState(0, fw::RANK_STATE_OPTIMAL);
    AdvanceMs(1000);
    fw::RunExpiredTimers();
    RunStages();
    EXPECT_EQ(psCached->bPrimaryState, fw::HOST_STATE_COMPLETE);
}

}  // namespace

namespace {

// The partner mirror handshake, one step at a time.  No partner is reached
// here: a write that asks for its copy finds it refused and is written
// through (the copy taken is the two-controller tests' part).
TEST(WriteMirrorState, EachKindOfWriteStepsAsItsHeadAndThePartnerDecide) {
    using namespace fw;
    struct Case {
        const char* pszName;
        uint8_t bType;
        uint16_t wState;
        uint16_t wHeadState;
        uint8_t bAnswer;
        uint16_t wStateAfter;
        bool fWriteBackAfter;
    };
    const Case aCases[] = {
        {"plain, nothing yet: ask", CT_PLAIN_WRITE, 0, 0, FALSE, 0, false},
        {"head, requested: wait", COMMAND_TYPE_STREAM_HEAD, MIRROR_REQUESTED, 0, TRUE, MIRROR_REQUESTED, true},
        {"head, refused", COMMAND_TYPE_STREAM_HEAD, MIRROR_REFUSED, 0, FALSE, 0, false},
        {"head, done", COMMAND_TYPE_STREAM_HEAD, MIRROR_DONE, 0, FALSE, MIRROR_DONE, true},
        {"piece, head accepted: ask", COMMAND_TYPE_STREAM_PIECE, MIRROR_INHERITED, MIRROR_ACCEPTED, FALSE, 0, false},
        {"piece, head refused", COMMAND_TYPE_CLOSING_PIECE, MIRROR_INHERITED, MIRROR_REFUSED, FALSE, 0, false},
        {"piece, head undecided", COMMAND_TYPE_STREAM_PIECE, MIRROR_INHERITED, MIRROR_REQUESTED, MIRROR_STEP_REQUEUE,
         MIRROR_INHERITED, true},
        {"continuation, head accepted: ask", COMMAND_TYPE_CONTINUATION, MIRROR_INHERITED, MIRROR_ACCEPTED, FALSE, 0,
         false},
        {"continuation, head refused", COMMAND_TYPE_CONTINUATION, MIRROR_INHERITED, MIRROR_REFUSED, FALSE, 0, false},
    };
    sim::Board board;
    static KERNEL_ENTRY s_asEntries[2];
    for (const Case& c : aCases) {
        KERNEL_ENTRY* psHead = &s_asEntries[0];
        KERNEL_ENTRY* ps = &s_asEntries[1];
        std::memset(s_asEntries, 0, sizeof s_asEntries);
        ResetCacheEntryFields(psHead);
        ResetCacheEntryFields(ps);
        psCacheFields(psHead)->wMirrorState = c.wHeadState;
        ps->bCommandType = c.bType;
        ps->lFlags = KE_FLAG_WRITE_BACK;
        psCacheFields(ps)->wMirrorState = c.wState;
        psCacheFields(ps)->psStreamHead = psHead;
        EXPECT_EQ(bStepWriteMirrorState(ps), c.bAnswer) << c.pszName;
        EXPECT_EQ(+psCacheFields(ps)->wMirrorState, c.wStateAfter) << c.pszName;
        EXPECT_EQ(HasFlag(ps, KE_FLAG_WRITE_BACK), c.fWriteBackAfter) << c.pszName;
    }
    // A command chain waiting for the partner waits whatever its state.
    KERNEL_ENTRY* ps = &s_asEntries[1];
    ps->lFlags = KE_FLAG_CHAIN_FOLLOWER;
    EXPECT_EQ(bStepWriteMirrorState(ps), TRUE);
}

}  // namespace
