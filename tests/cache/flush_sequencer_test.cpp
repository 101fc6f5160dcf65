// The flush sequencer's own decisions, on the journal alone: a partner lost
// while a run is under way has its acknowledged writes flushed by a run of
// their own once that one ends, and the failover is reported only after
// them; the resync takes its host entry before it marks a slot, so a cycle
// without a free entry leaves the slot to be found again; an own slot left
// during the run with neither a journalled write nor data is freed before
// the resync.  At start of day the partner's writes follow the own ones,
// and the resync comes only after both.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "cache/flush_sequencer.h"
#include "cache/nvram_journal.h"
#include "config/nvram_records.h"
#include "config/rank_table.h"
#include "executive/tick.h"
#include "executive/timers.h"
#include "executive/work_flags.h"
#include "host_io_board.h"
#include "journal_board.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/stage_rings.h"

namespace {

using namespace jtest;

constexpr uint8_t kFailoverCompleted = 93;

class FlushSequencer : public ::testing::Test {
protected:
    void SetUp() override {
        BringUpJournal();
        std::memset(fw::pGetRankTable(), 0, sizeof(fw::RANK_RECORD) * fw::MAX_RANKS);
        fw::SetRankCount(0);
        fw::InitHostCommandPool();
        fw::ResetCacheFlushSequencer();
    }
    // The partner's write of 20 blocks, its data all here.
    static void PartnerWriteHeld(uint16_t wSlot) {
        ASSERT_EQ(fw::bRecordPartnerExtent(wSlot, 0x2000, 20, 7, fw::TRUE), fw::STATUS_OK);
        fw::bMarkPartnerBlocksReceived(wSlot, 0, 20 * 512);
        ASSERT_EQ(fw::wCountPartnerExtentsWithData(nullptr), 1);
    }
    static size_t Failovers() { return LoggedEvents(kFailoverCompleted).size(); }
    // The background pass starts the partner-loss flush while the request
    // is up and no run is under way.
    static void BackgroundPass() {
        if (fw::fGetCacheFlushSequencerRequest() == fw::TRUE && fw::fGetRetripeFlag() != fw::TRUE) {
            fw::CacheFlushSequencerBackgroundStep();
        }
    }
    // The flush write of a partner's extent waiting on its port's "Write
    // Ready" ring for the RAID engine, if one is.
    static fw::KERNEL_ENTRY* PartnerFlushWrite() {
        fw::KERNEL_ENTRY* ps = nullptr;
        if (fw::bPeekWriteReady(fw::PORT_CODE_FC_HOST_1, &ps) != fw::STATUS_FOUND || ps == nullptr) return nullptr;
        return ps->bCommandType == fw::COMMAND_TYPE_FLUSH_WRITE_2 ? ps : nullptr;
    }

    sim::Board board;
};

TEST_F(FlushSequencer, APartnerLostDuringARunIsFlushedOnceTheRunEndsThenReported) {
    ASSERT_NO_FATAL_FAILURE(PartnerWriteHeld(40));
    // The start of day's replay is under way when the partner is lost:
    // nothing of the partner's goes out yet, nor is the failover reported.
    fw::SetRetripeFlag(fw::TRUE);
    fw::SetCacheFlushRequest(fw::TRUE);
    fw::CacheFlushSequencerBackgroundStep();
    EXPECT_EQ(fw::fGetCacheFlushSequencerRequest(), fw::TRUE) << "the request waits for the run's end";
    EXPECT_EQ(PartnerFlushWrite(), nullptr);
    EXPECT_EQ(Failovers(), 0u);

    // The run ends: the partner's write goes to the drives in a run of its
    // own, whole, and the failover waits for it.
    fw::SetRetripeFlag(fw::FALSE);
    BackgroundPass();
    fw::KERNEL_ENTRY* ps = nullptr;
    for (int i = 0; i < 8 && (ps = PartnerFlushWrite()) == nullptr; ++i) fw::CacheFlushSequencerStep();
    ASSERT_NE(ps, nullptr);
    EXPECT_EQ(ps->lInternalAddress, 0x2000u);
    EXPECT_EQ(ps->wBlocks, 20);
    EXPECT_EQ(Failovers(), 0u);
    EXPECT_EQ(fw::wCountValidPartnerSlots(), 1);

    // The drives have it: its buffer goes back, its stripes are made
    // consistent (the slot names no array here, so without drive I/O) and
    // the slot freed, the run ends, and only then is the failover reported.
    fw::TakeWriteReady(ps->bPortCode);
    fw::QueueWriteComplete(ps->bPortCode, ps->wIndex);
    fw::CompleteFlushWrite(ps);
    EXPECT_EQ(fw::wCountPartnerExtentsWithData(nullptr), 0);
    EXPECT_EQ(Failovers(), 0u);
    for (int i = 0; i < 8 && fw::fGetRetripeFlag() == fw::TRUE; ++i) fw::CacheFlushSequencerStep();
    EXPECT_EQ(fw::fGetRetripeFlag(), fw::FALSE);
    EXPECT_EQ(fw::wCountValidPartnerSlots(), 0);
    EXPECT_EQ(Failovers(), 1u);
}

TEST_F(FlushSequencer, APartnerLostWithNothingHeldIsReportedAtOnce) {
    fw::SetCacheFlushRequest(fw::TRUE);
    fw::CacheFlushSequencerBackgroundStep();
    EXPECT_EQ(fw::fGetCacheFlushSequencerRequest(), fw::FALSE);
    EXPECT_EQ(fw::fGetRetripeFlag(), fw::FALSE);
    EXPECT_EQ(Failovers(), 1u);
}

TEST_F(FlushSequencer, AResyncWithoutAFreeHostEntryLeavesItsSlotToBeFoundAgain) {
    // The lost partner's write the drives had: nothing to flush, only its
    // stripes to make consistent.
    ASSERT_EQ(fw::bRecordPartnerExtent(12, 0x40, 8, 3, fw::FALSE), fw::STATUS_OK);
    ASSERT_EQ(fw::wCountValidPartnerSlots(), 1);
    fw::SetCacheFlushRequest(fw::TRUE);
    fw::CacheFlushSequencerBackgroundStep();
    ASSERT_EQ(fw::fGetRetripeFlag(), fw::TRUE);
    // An own slot left meanwhile with neither a journalled write nor data
    // (its write journalled, never issued): nothing to flush, and it is
    // freed before the resync walks the journal.
    fw::KERNEL_ENTRY sOwn{};
    sOwn.wIndex = 5;
    sOwn.wBlocks = 8;
    sOwn.lInternalAddress = 0x80;
    fw::RecordNvramQueueEntry(&sOwn);
    ASSERT_EQ(fw::psGetNvramQueueEntry(fw::TRUE, 5)->fValid, fw::TRUE);
    for (int i = 0; i < 8 && fw::bGetCacheFlushState() != fw::FLUSH_STATE_RESYNC; ++i) fw::CacheFlushSequencerStep();
    ASSERT_EQ(fw::bGetCacheFlushState(), fw::FLUSH_STATE_RESYNC);
    EXPECT_NE(fw::psGetNvramQueueEntry(fw::TRUE, 5)->fValid, fw::TRUE);

    std::vector<fw::KERNEL_ENTRY*> aTaken;
    fw::KERNEL_ENTRY* psEntry = nullptr;
    uint16_t wIndex = 0;
    while (fw::bAllocTargetEntries(fw::PORT_CODE_FC_HOST_1, 1, &psEntry, &wIndex, fw::FALSE) == fw::STATUS_OK) {
        aTaken.push_back(psEntry);
    }
    fw::CacheFlushSequencerStep();
    EXPECT_EQ(fw::psGetNvramQueueEntry(fw::FALSE, 12)->fTaken, fw::FALSE);
    EXPECT_EQ(fw::wFindNextPartnerSlot(), 12);
    EXPECT_EQ(fw::bGetCacheFlushState(), fw::FLUSH_STATE_RESYNC);

    // With an entry free the slot is taken; it names no array here, so it
    // goes without drive I/O, the run ends and the failover is reported.
    for (fw::KERNEL_ENTRY* p : aTaken) fw::FreeTargetEntry(p);
    fw::CacheFlushSequencerStep();
    EXPECT_EQ(fw::wCountValidPartnerSlots(), 0);
    for (int i = 0; i < 4 && fw::fGetRetripeFlag() == fw::TRUE; ++i) fw::CacheFlushSequencerStep();
    EXPECT_EQ(fw::fGetRetripeFlag(), fw::FALSE);
    EXPECT_EQ(Failovers(), 1u);
}

// Starting beside its partner, the controller holds its host work until the
// partner says whether it went on alone.  Told it did, it holds on until the
// partner's 110, which may even have come first, and keeps its journals and
// its record until then (the partner may be lost before its own are on the
// drives); told it did not, it goes on with its journals as they are.
TEST_F(FlushSequencer, AtAStartTogetherThePartnersWordDecidesTheJournalsAndTheHold) {
    struct Case {
        bool fOutlived, f110First;
    };
    for (const Case c : {Case{false, false}, Case{true, false}, Case{true, true}}) {
        SCOPED_TRACE(testing::Message() << "outlived " << c.fOutlived << " 110 first " << c.f110First);
        fw::ResetCacheFlushSequencer();
        ASSERT_NO_FATAL_FAILURE(PartnerWriteHeld(40));
        fw::SetOutlivedPartnerRecord(fw::TRUE);
        fw::AwaitPartnerStartRecord();
        EXPECT_EQ(fw::fIsHostWorkHeldForPartnerStart(), fw::TRUE);
        if (c.f110First) fw::PartnerStartFlushEnded();
        fw::PartnerStartRecordReceived(c.fOutlived ? fw::TRUE : fw::FALSE);
        const bool fReleased = c.fOutlived && c.f110First;
        EXPECT_EQ(fw::wCountPartnerExtentsWithData(nullptr), fReleased ? 0 : 1);
        EXPECT_EQ(fw::fGetOutlivedPartnerRecord(), fReleased ? fw::FALSE : fw::TRUE);
        EXPECT_EQ(fw::fIsHostWorkHeldForPartnerStart(), c.fOutlived && !c.f110First ? fw::TRUE : fw::FALSE);
        fw::PartnerStartFlushEnded();
        EXPECT_EQ(fw::fIsHostWorkHeldForPartnerStart(), fw::FALSE);
        // The partner's journals are on the drives: what was kept goes.
        EXPECT_EQ(fw::wCountPartnerExtentsWithData(nullptr), c.fOutlived ? 0 : 1);
        EXPECT_EQ(fw::fGetOutlivedPartnerRecord(), c.fOutlived ? fw::FALSE : fw::TRUE);
        // A later word is no longer waited for.
        fw::PartnerStartRecordReceived(fw::TRUE);
        EXPECT_EQ(fw::fIsHostWorkHeldForPartnerStart(), fw::FALSE);
        fw::DiscardNvramQueues();
    }
}

// A partner that neither speaks nor is lost holds nothing up for long.
TEST_F(FlushSequencer, AtAStartTogetherAPartnerThatNeverSpeaksIsWaitedForThirtySeconds) {
    fw::InitTimerList();
    fw::AwaitPartnerStartRecord();
    const auto advance = [](uint32_t dMs) {
        for (uint32_t d = 0; d < dMs; d++) fw::SystemTickHandler();
        fw::RunExpiredTimers();
    };
    advance(29'999);
    EXPECT_EQ(fw::fIsHostWorkHeldForPartnerStart(), fw::TRUE);
    advance(1);
    EXPECT_EQ(fw::fIsHostWorkHeldForPartnerStart(), fw::FALSE);
}

// The start of day over an array: one own write and one of the partner's
// held in the journals.
class FlushSequencerAtStartOfDay : public iotest::HostIo {
protected:
    void SetUp() override {
        HostIo::SetUp();
        MakeArray(fw::RAID_LEVEL_0, 2, 128, 1 << 20);
        fw::ResetCacheFlushSequencer();
    }
    // The flush write waiting on the port's "Write Ready" ring, if one is.
    static fw::KERNEL_ENTRY* FlushWrite() {
        fw::KERNEL_ENTRY* ps = nullptr;
        if (fw::bPeekWriteReady(fw::PORT_CODE_FC_HOST_1, &ps) != fw::STATUS_FOUND) return nullptr;
        return ps;
    }
    static fw::KERNEL_ENTRY* StepToAFlushWrite() {
        fw::KERNEL_ENTRY* ps = nullptr;
        for (int i = 0; i < 8 && (ps = FlushWrite()) == nullptr; ++i) fw::CacheFlushSequencerStep();
        return ps;
    }
    // The drives have it.
    static void Written(fw::KERNEL_ENTRY* ps) {
        fw::TakeWriteReady(ps->bPortCode);
        fw::QueueWriteComplete(ps->bPortCode, ps->wIndex);
        fw::CompleteFlushWrite(ps);
    }
};

TEST_F(FlushSequencerAtStartOfDay, ThePartnersWritesGoOutOnceTheOwnAreWritten) {
    fw::BUFFER_HANDLE h = fw::NULL_BUFFER_HANDLE;
    ASSERT_EQ(fw::bAllocDataPages(0, 3, &h), fw::STATUS_OK);
    fw::RecordNvramQueueEntry(jtest::MakeWrite(7, 4096, 24, true, h));
    fw::AddNvramQueueValidBlocks(7, 24);
    ASSERT_EQ(fw::bRecordPartnerExtent(9, 9000, 16, 3, fw::TRUE), fw::STATUS_OK);
    fw::bMarkPartnerBlocksReceived(9, 0, 16 * 512);
    fw::StartCacheFlushSequencer(fw::TRUE);
    ASSERT_EQ(fw::fGetRetripeFlag(), fw::TRUE);

    // The own write first, alone.
    fw::KERNEL_ENTRY* psOwn = StepToAFlushWrite();
    ASSERT_NE(psOwn, nullptr);
    EXPECT_EQ(psOwn->bCommandType, fw::COMMAND_TYPE_FLUSH_WRITE);
    EXPECT_EQ(psOwn->lInternalAddress, 4096u);
    EXPECT_EQ(fw::wGetPortWriteReadyCount(fw::PORT_CODE_FC_HOST_1), 1);
    fw::CacheFlushSequencerStep();
    EXPECT_EQ(fw::wGetPortWriteReadyCount(fw::PORT_CODE_FC_HOST_1), 1) << "the partner's went out beside the own";
    Written(psOwn);
    EXPECT_NE(FindEvent(100), nullptr);   // "Flush Cache Completed"

    // Then the partner's, announced as the mirrored flush.
    fw::KERNEL_ENTRY* psPartner = StepToAFlushWrite();
    ASSERT_NE(psPartner, nullptr) << "the partner's write was skipped";
    EXPECT_EQ(psPartner->bCommandType, fw::COMMAND_TYPE_FLUSH_WRITE_2);
    EXPECT_EQ(psPartner->lInternalAddress, 9000u);
    EXPECT_EQ(psPartner->wBlocks, 16);
    EXPECT_NE(FindEvent(53), nullptr);   // "Flush Mirrored Cache Started"
    EXPECT_EQ(FindEvent(45), nullptr) << "the resync ran before the partner's write";
    Written(psPartner);
    EXPECT_NE(FindEvent(54), nullptr);   // "Flush Mirrored Cache Completed"

    // The resync of both rows (RAID 0: nothing to repair), and the end.
    for (int i = 0; i < 16 && fw::fGetRetripeFlag() == fw::TRUE; ++i) fw::CacheFlushSequencerStep();
    EXPECT_EQ(fw::fGetRetripeFlag(), fw::FALSE);
    EXPECT_NE(FindEvent(45), nullptr);   // "Resync Completed"
    EXPECT_EQ(fw::wCountPartnerExtentsWithData(nullptr), 0);
    EXPECT_EQ(fw::wCountCachedOwnExtents(nullptr), 0);
}

}  // namespace
