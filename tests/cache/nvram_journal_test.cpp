// The NVRAM write journal: the slot bytes, start of day with the buffer
// banks kept or lost, the flush ordering of overlapping extents, the
// partner's mirror messages, and the dumps.
#include <gtest/gtest.h>

#include <algorithm>

#include <cstring>
#include <string>
#include <vector>

#include "cache/cache.h"
#include "config/rank_table.h"
#include "eventlog/statistics.h"
#include "config/config_db.h"
#include "executive/console_output.h"
#include "executive/tick.h"
#include "target/lun_scheduler.h"
#include "partner/partner_link.h"
#include "target/lun_scheduler.h"
#include "target/target_engine.h"
#include "journal_board.h"

namespace {

using namespace jtest;

class Journal : public ::testing::Test {
protected:
    void SetUp() override {
        BringUpJournal();
        std::memset(fw::pGetRankTable(), 0, sizeof(fw::RANK_RECORD) * fw::MAX_RANKS);
        fw::SetRankCount(0);
        fw::InitConsoleUart(115200);
        board.ClearConsoleText();
    }

    // One rank, blocks 0 to 0xFFFFF, whose policy retries mirror
    // buffers, and the buffer memory used up: the pages taken, to give back.
    std::vector<fw::BUFFER_HANDLE> RetryingRankWithoutBuffers() {
        fw::SetRankCount(1);
        fw::RANK_RECORD* psRank = fw::pGetRankRecord(0);
        psRank->lStartAddress = 0;
        psRank->lLastAddress = 0xFFFFF;
        psRank->bCachePolicy = fw::POLICY_SHARED_OUTSTANDING;
        std::vector<fw::BUFFER_HANDLE> aTaken;
        fw::BUFFER_HANDLE h = fw::NULL_BUFFER_HANDLE;
        while (fw::bAllocDataPages(fw::BUFFER_BANK_EITHER, 64, &h) == fw::STATUS_OK) aTaken.push_back(h);
        return aTaken;
    }

    fw::BUFFER_HANDLE Pages(uint32_t dPages) {
        fw::BUFFER_HANDLE h = fw::NULL_BUFFER_HANDLE;
        EXPECT_EQ(fw::bAllocDataPages(0, dPages, &h), fw::STATUS_OK);
        return h;
    }

    sim::Board board;
};

void AdvanceMs(uint32_t dMs) {
    for (uint32_t i = 0; i < dMs; ++i) fw::SystemTickHandler();
}

std::vector<uint8_t> SlotBytes(uint8_t fOwn, uint16_t n) {
    const uint8_t* pb = fw::pNvramBase() + (fOwn == fw::TRUE ? 0x18410 : 0x30410) + 24 * n;
    return std::vector<uint8_t>(pb, pb + 24);
}

TEST_F(Journal, RecordCountIssueAndClearWriteTheSlotByteForByte) {
    fw::KERNEL_ENTRY* ps = MakeWrite(5, 0x0102030405060708ull, 0x0123, true, fw::BUFFER_HANDLE{0x02345000});
    fw::psCacheFields(ps)->wBufferBlocks = 0x0200;
    fw::RecordNvramQueueEntry(ps);
    EXPECT_EQ(ps->wJournalSlot, 5);
    EXPECT_TRUE(fw::HasFlag(ps, fw::KE_FLAG_JOURNALED));
    EXPECT_EQ(SlotBytes(fw::TRUE, 5), (std::vector<uint8_t>{0xF1, 0xF0, 0xF0, 0xF1, 0x8A, 0x00, 0x23, 0x01,  //
                                                             0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,  //
                                                             0x00, 0x50, 0x34, 0x02, 0x00, 0x02, 0x00, 0x00}));
    fw::AddNvramQueueValidBlocks(5, 0xFF);
    fw::AddNvramQueueValidBlocks(5, 0x24);
    EXPECT_EQ(ValidBlocks(OwnSlot(5)), 0x123);
    EXPECT_EQ(fw::dGetJournalPageCount(), 37u);
    fw::SetNvramQueueEntryFlag(5, fw::TRUE);
    EXPECT_EQ(OwnSlot(5).fIssued, fw::TRUE);
    EXPECT_EQ(fw::wGetJournalInUseCount(), 1);

    fw::ClearNvramQueueEntry(5);
    EXPECT_EQ(SlotBytes(fw::TRUE, 5), (std::vector<uint8_t>{0xF0, 0xF0, 0xF0, 0xF0, 0x69, 0x00, 0, 0,  //
                                                             0, 0, 0, 0, 0, 0, 0, 0,  //
                                                             0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(fw::dGetJournalPageCount(), 0u);
    EXPECT_EQ(fw::wGetJournalInUseCount(), 0);

    // A write-through write is journalled at issue without buffer fields.
    fw::KERNEL_ENTRY* psThrough = MakeWrite(6, 0x40, 8, false, fw::BUFFER_HANDLE{0x02346000});
    fw::RejournalNvramQueueEntry(psThrough);
    fw::SetNvramQueueEntryFlag(6, fw::TRUE);
    EXPECT_EQ(SlotBytes(fw::TRUE, 6), (std::vector<uint8_t>{0xF1, 0xF0, 0xF1, 0xF0, 0x8A, 0x00, 0x08, 0x00,  //
                                                             0x40, 0, 0, 0, 0, 0, 0, 0,  //
                                                             0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(fw::wCountJournalledWrites(), 1);
    // Found, then taken: the next search passes it over.
    EXPECT_EQ(fw::wFindNextWriteToFlush(), 6);
    EXPECT_EQ(fw::wFindNextWriteToFlush(), 6);
    fw::MarkNvramQueueEntryTaken(fw::TRUE, 6);
    EXPECT_EQ(fw::wFindNextWriteToFlush(), fw::NVRAM_QUEUE_USED_SLOTS);
}

TEST_F(Journal, ScansCountCachedDataAndKeepItWhenClearingStrayRecords) {
    const fw::BUFFER_HANDLE h = Pages(2);
    fw::RecordNvramQueueEntry(MakeWrite(1, 100, 16, true, h));
    fw::AddNvramQueueValidBlocks(1, 16);
    // A write-back record whose data never arrived, and one that arrived.
    fw::RecordNvramQueueEntry(MakeWrite(2, 300, 8, true, Pages(1)));
    uint32_t dBlocks = 0;
    EXPECT_EQ(fw::wCountCachedOwnExtents(&dBlocks), 1);
    EXPECT_EQ(dBlocks, 16u);
    EXPECT_EQ(fw::wFindNextCachedOwnExtent(0), 1);
    EXPECT_EQ(fw::wFindNextCachedOwnExtent(2), fw::NVRAM_QUEUE_USED_SLOTS);
    // The journalled-write scan drops the empty record, never cached data.
    EXPECT_EQ(fw::wCountJournalledWrites(), 0);
    EXPECT_EQ(OwnSlot(1).fValid, fw::TRUE);
    EXPECT_EQ(OwnSlot(2).fValid, fw::FALSE);
}

// A slot a power cut left part-way through being freed or cleared (made
// invalid, some of its other fields still the write's) is written out in
// full by the next format or clear: each field that differs from the free
// slot, however free the rest looks.
TEST_F(Journal, FormattingAndClearingRewriteEveryFieldThatIsNotYetFree) {
    const std::vector<uint8_t> formatted{0xF0, 0xF0, 0xF0, 0xF0, 0x69, 0xFF, 0, 0,                  //
                                         0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  //
                                         0, 0, 0, 0, 0, 0, 0, 0};
    const uint16_t n = 10;
    const auto put = [&](uint8_t fOwn, const std::vector<uint8_t>& ab) {
        board.nvram().Write((fOwn == fw::TRUE ? 0x18410 : 0x30410) + 24 * n, ab.data(), 24);
    };
    struct Field {
        const char* pszName;
        uint32_t dOffset;
        std::vector<uint8_t> abValue;
    };
    const Field asFields[] = {
        {"valid", 0, {0xF1}},           {"taken", 1, {0xF1}},
        {"issued", 2, {0xF1}},          {"holds", 3, {0xF1}},
        {"another kind", 4, {0x8A}},    {"rank", 5, {0x02}},
        {"block count", 6, {0x10, 0}},  {"first block 0", 8, {0, 0, 0, 0, 0, 0, 0, 0}},
        {"first block", 8, {0x40}},     {"handle", 16, {0, 0x50, 0x34, 0x02}},
        {"buffer blocks", 20, {0x08}},  {"valid blocks", 22, {0x08}},
    };
    for (const Field& f : asFields) {
        std::vector<uint8_t> ab = formatted;
        std::copy(f.abValue.begin(), f.abValue.end(), ab.begin() + f.dOffset);
        put(fw::TRUE, ab);
        fw::InitOwnNvramQueue();
        EXPECT_EQ(SlotBytes(fw::TRUE, n), formatted) << f.pszName;
    }
    // Cleared, a formatted slot is free from block 0; its data fields are
    // cleared on both tables.
    put(fw::TRUE, formatted);
    fw::ClearNvramQueueEntry(n);
    std::vector<uint8_t> cleared = formatted;
    std::fill(cleared.begin() + 8, cleared.begin() + 16, 0);
    EXPECT_EQ(SlotBytes(fw::TRUE, n), cleared);
    for (uint8_t fOwn : {fw::TRUE, fw::FALSE}) {
        for (uint32_t dOffset : {16u, 19u, 20u, 21u, 22u, 23u}) {
            std::vector<uint8_t> ab = formatted;
            ab[dOffset] = 0x01;
            put(fOwn, ab);
            if (fOwn == fw::TRUE) {
                fw::ClearOwnNvramQueueData();
            } else {
                fw::ClearPartnerNvramQueueData();
            }
            EXPECT_EQ(SlotBytes(fOwn, n), formatted) << "byte " << dOffset << (fOwn == fw::TRUE ? " own" : " partner");
        }
    }
}

TEST_F(Journal, ReleaseAfterFlushFreesTheBufferAndKeepsTheWriteForResync) {
    const uint32_t dBefore = fw::dGetPagesInUse(0);
    const fw::BUFFER_HANDLE h = Pages(3);
    fw::RecordNvramQueueEntry(MakeWrite(9, 64, 20, true, h));
    fw::AddNvramQueueValidBlocks(9, 20);
    fw::ReleaseOwnNvramQueueEntry(9);
    EXPECT_EQ(fw::dGetPagesInUse(0), dBefore);
    EXPECT_EQ(OwnSlot(9).fValid, fw::TRUE);
    EXPECT_EQ(OwnSlot(9).fIssued, fw::TRUE);
    EXPECT_EQ(OwnSlot(9).fHoldsData, fw::FALSE);
    EXPECT_EQ(Handle(OwnSlot(9)), fw::NULL_BUFFER_HANDLE);
    EXPECT_EQ(fw::wCountJournalledWrites(), 1);
}

// ---- ordering ------------------------------------------------------------------

TEST_F(Journal, TheNewerOfTwoOverlappingOwnExtentsWaitsForTheOlder) {
    const fw::BUFFER_HANDLE hOld = Pages(2);
    const fw::BUFFER_HANDLE hNew = Pages(2);
    fw::RecordNvramQueueEntry(MakeWrite(20, 1000, 16, true, hOld, 50));
    fw::AddNvramQueueValidBlocks(20, 16);
    fw::RecordNvramQueueEntry(MakeWrite(21, 1008, 16, true, hNew, 51));
    fw::AddNvramQueueValidBlocks(21, 16);
    uint32_t dAddress = 0;
    uint64_t lFirst = 0;
    uint16_t wBlocks = 0;
    EXPECT_EQ(fw::bGetFlushExtent(fw::TRUE, 21, 0, &dAddress, &lFirst, &wBlocks), fw::FLUSH_LATER);
    EXPECT_EQ(fw::bGetFlushExtent(fw::TRUE, 20, 0, &dAddress, &lFirst, &wBlocks), fw::FLUSH_NOW);
    EXPECT_EQ(dAddress, static_cast<uint32_t>(hOld));
    EXPECT_EQ(lFirst, 1000u);
    EXPECT_EQ(wBlocks, 16);
    fw::ClearNvramQueueEntry(20);
    EXPECT_EQ(fw::bGetFlushExtent(fw::TRUE, 21, 0, &dAddress, &lFirst, &wBlocks), fw::FLUSH_NOW);
    EXPECT_EQ(lFirst, 1008u);
    // Slots beyond the host pool and slots without data have nothing to write.
    EXPECT_EQ(fw::bGetFlushExtent(fw::TRUE, 3200, 0, &dAddress, &lFirst, &wBlocks), fw::FLUSH_NOTHING);
    EXPECT_EQ(fw::bGetFlushExtent(fw::TRUE, 20, 0, &dAddress, &lFirst, &wBlocks), fw::FLUSH_NOTHING);
}

TEST_F(Journal, PartnerSequencesHoldBackOnlyWithinHalfTheirSpace) {
    // Which of two overlapping extents waits for the other: the partner's
    // 24-bit sequence numbers wrap, so "older" is "less than 2^23 behind".
    enum Held { kNone, kA, kB };
    struct Case {
        uint32_t dA;
        uint32_t dB;
        Held eHeld;
    };
    constexpr uint32_t W = fw::PARTNER_SEQUENCE_WINDOW;
    const Case aCases[] = {
        {100, 101, kB},
        {100, 100 + W - 1, kB},
        {100, 100 + W, kNone},
        {0xFFFFF0, 0x000010, kB},          // across the wrap
        {0x000010, 0x000010 + W + W / 2, kA},
    };
    for (const Case& c : aCases) {
        fw::ReleasePartnerNvramQueue();
        ASSERT_EQ(fw::bRecordPartnerExtent(30, 5000, 16, c.dA, fw::TRUE), fw::STATUS_OK);
        ASSERT_EQ(fw::bRecordPartnerExtent(31, 5008, 16, c.dB, fw::TRUE), fw::STATUS_OK);
        fw::bMarkPartnerBlocksReceived(30, 0, 16 * 512);
        fw::bMarkPartnerBlocksReceived(31, 0, 16 * 512);
        uint32_t dAddress = 0;
        uint64_t lFirst = 0;
        uint16_t wBlocks = 0;
        const uint8_t bA = fw::bGetFlushExtent(fw::FALSE, 30, 0, &dAddress, &lFirst, &wBlocks);
        const uint8_t bB = fw::bGetFlushExtent(fw::FALSE, 31, 0, &dAddress, &lFirst, &wBlocks);
        EXPECT_EQ(bA, c.eHeld == kA ? fw::FLUSH_LATER : fw::FLUSH_NOW) << c.dA << " " << c.dB;
        EXPECT_EQ(bB, c.eHeld == kB ? fw::FLUSH_LATER : fw::FLUSH_NOW) << c.dA << " " << c.dB;
    }
}

// ---- partner journal -----------------------------------------------------------

TEST_F(Journal, MirroredExtentTakesABufferCountsAndGivesItBack) {
    const uint32_t dBefore = fw::dGetPagesInUse(0) + fw::dGetPagesInUse(1);
    ASSERT_EQ(fw::bRecordPartnerExtent(40, 0x2000, 20, 7, fw::TRUE), fw::STATUS_OK);
    EXPECT_EQ(PartnerSlot(40).fValid, fw::TRUE);
    EXPECT_EQ(PartnerSlot(40).fHoldsData, fw::TRUE);
    EXPECT_EQ(PartnerSlot(40).bKind, 0x8A);
    EXPECT_EQ(fw::wGetDirtyExtentCount(), 1);
    EXPECT_EQ(fw::wGetMirroredExtentCount(), 1);
    EXPECT_EQ(fw::wGetMirrorPagesInUse(), 3);
    EXPECT_EQ(fw::dGetPagesInUse(0) + fw::dGetPagesInUse(1), dBefore + 3);
    uint32_t dStamp = 0;
    EXPECT_EQ(fw::bGetJournalEntryStamp(40, &dStamp), fw::STATUS_OK);
    EXPECT_EQ(dStamp, 7u);
    fw::BUFFER_HANDLE h = fw::NULL_BUFFER_HANDLE;
    uint16_t wBlocks = 0;
    EXPECT_EQ(fw::bGetPartnerNvramQueueEntry(40, &h, &wBlocks), fw::TRUE);
    EXPECT_EQ(wBlocks, 20);
    EXPECT_EQ(h, Handle(PartnerSlot(40)));

    // The same extent again only refreshes its sequence number.
    ASSERT_EQ(fw::bRecordPartnerExtent(40, 0x2000, 20, 9, fw::TRUE), fw::STATUS_OK);
    EXPECT_EQ(fw::wGetMirroredExtentCount(), 1);
    EXPECT_EQ(fw::bGetJournalEntryStamp(40, &dStamp), fw::STATUS_OK);
    EXPECT_EQ(dStamp, 9u);

    // Message 98 with trimming keeps the buffer the issued write needs.
    fw::MarkPartnerExtentIssued(40, 0x2000, 20, 8, fw::TRUE, fw::FALSE);
    EXPECT_EQ(PartnerSlot(40).fIssued, fw::TRUE);
    EXPECT_EQ(fw::wGetMirrorPagesInUse(), 1);
    EXPECT_EQ(fw::dGetPagesInUse(0) + fw::dGetPagesInUse(1), dBefore + 1);

    fw::ReleasePartnerNvramQueueEntry(40, fw::TRUE);
    EXPECT_EQ(PartnerSlot(40).fValid, fw::FALSE);
    EXPECT_EQ(PartnerSlot(40).bKind, 0x69);
    EXPECT_EQ(FirstBlock(PartnerSlot(40)), ~0ull);
    EXPECT_EQ(fw::wGetDirtyExtentCount(), 0);
    EXPECT_EQ(fw::wGetMirroredExtentCount(), 0);
    EXPECT_EQ(fw::wGetMirrorPagesInUse(), 0);
    EXPECT_EQ(fw::dGetPagesInUse(0) + fw::dGetPagesInUse(1), dBefore);
    EXPECT_EQ(fw::bGetJournalEntryStamp(40, &dStamp), 0);
}

// A stream's later pieces land past the blocks the record named: the
// buffer grows, keeps what had arrived, and counts its new pages.
TEST_F(Journal, AMirrorBufferGrowsForAStreamsLaterPiecesAndKeepsItsData) {
    ASSERT_EQ(fw::bRecordPartnerExtent(45, 0x2800, 8, 1, fw::TRUE), fw::STATUS_OK);
    const fw::BUFFER_HANDLE hOld = Handle(PartnerSlot(45));
    std::memset(fw::pBufferHandleToPointer(hOld), 0xC3, 8 * 512);
    ASSERT_EQ(fw::bMarkPartnerBlocksReceived(45, 0, 8 * 512), fw::FALSE);
    const uint32_t dBefore = fw::dGetPagesInUse(0) + fw::dGetPagesInUse(1);

    ASSERT_EQ(fw::bGrowPartnerMirrorBuffer(45, 12), fw::STATUS_OK);
    fw::BUFFER_HANDLE h = fw::NULL_BUFFER_HANDLE;
    uint16_t wBlocks = 0;
    ASSERT_EQ(fw::bGetPartnerNvramQueueEntry(45, &h, &wBlocks), fw::TRUE);
    EXPECT_EQ(wBlocks, 16);   // doubled: the next pieces fit without moving again
    EXPECT_EQ(fw::wGetMirrorPagesInUse(), 2);
    EXPECT_EQ(fw::dGetPagesInUse(0) + fw::dGetPagesInUse(1), dBefore + 1);
    const uint8_t* pb = static_cast<const uint8_t*>(fw::pBufferHandleToPointer(h));
    EXPECT_TRUE(std::all_of(pb, pb + 8 * 512, [](uint8_t b) { return b == 0xC3; }));
    EXPECT_EQ(ValidBlocks(PartnerSlot(45)), 8);
    // The new blocks arrive into the grown buffer and extend the valid run.
    EXPECT_EQ(fw::bMarkPartnerBlocksReceived(45, 8 * 512, 8 * 512), fw::FALSE);
    EXPECT_EQ(ValidBlocks(PartnerSlot(45)), 16);
    // Room enough already, no buffer, or past the largest extent: unchanged.
    EXPECT_EQ(fw::bGrowPartnerMirrorBuffer(45, 16), fw::STATUS_OK);
    EXPECT_EQ(Handle(PartnerSlot(45)), h);
    EXPECT_EQ(fw::bGrowPartnerMirrorBuffer(45, 16385), 0);
    EXPECT_EQ(fw::bGrowPartnerMirrorBuffer(46, 16), 0);

    fw::ReleasePartnerNvramQueueEntry(45, fw::TRUE);
    EXPECT_EQ(fw::wGetMirrorPagesInUse(), 0);
    EXPECT_EQ(fw::dGetPagesInUse(0) + fw::dGetPagesInUse(1), dBefore - 1);
}

TEST_F(Journal, ReceivedBlocksAreMarkedOnceAndOnlyInsideTheMirrorBuffer) {
    ASSERT_EQ(fw::bRecordPartnerExtent(50, 0x3000, 40, 1, fw::TRUE), fw::STATUS_OK);
    EXPECT_EQ(fw::bMarkPartnerBlocksReceived(50, 512, 1024), fw::FALSE);
    EXPECT_EQ(ValidBlocks(PartnerSlot(50)), 0);   // block 0 is still missing
    EXPECT_EQ(fw::bMarkPartnerBlocksReceived(50, 0, 1024), fw::TRUE);   // block 1 came twice
    EXPECT_EQ(ValidBlocks(PartnerSlot(50)), 3);
    board.ClearConsoleText();
    // Out of the slot range, past the buffer, or wrapping: ignored and logged.
    EXPECT_EQ(fw::bMarkPartnerBlocksReceived(3200, 0, 512), 0);
    EXPECT_EQ(fw::bMarkPartnerBlocksReceived(50, 39 * 512, 1024), 0);
    EXPECT_EQ(fw::bMarkPartnerBlocksReceived(50, 0xFFFFFE00u, 0x400), 0);
    EXPECT_EQ(fw::bRecordPartnerExtent(3200, 0, 8, 1, fw::TRUE), 0);
    EXPECT_EQ(fw::bRecordPartnerExtent(51, 0, 16385, 1, fw::TRUE), 0);
    EXPECT_EQ(ValidBlocks(PartnerSlot(50)), 3);
    const std::string sConsole = board.ConsoleText();
    size_t dLines = 0;
    for (size_t p = sConsole.find("Partner journal update ignored"); p != std::string::npos;
         p = sConsole.find("Partner journal update ignored", p + 1)) {
        ++dLines;
    }
    EXPECT_EQ(dLines, 5u);
}

TEST_F(Journal, PiecewiseFlushWritesRunsOfArrivedBlocks) {
    ASSERT_EQ(fw::bRecordPartnerExtent(60, 0x4000, 32, 1, fw::TRUE), fw::STATUS_OK);
    fw::bMarkPartnerBlocksReceived(60, 0, 4 * 512);
    fw::bMarkPartnerBlocksReceived(60, 10 * 512, 6 * 512);
    fw::SetFlushPiecewiseMode(fw::TRUE);
    uint32_t dAddress = 0;
    uint64_t lFirst = 0;
    uint16_t wBlocks = 0;
    const uint32_t h = static_cast<uint32_t>(Handle(PartnerSlot(60)));
    ASSERT_EQ(fw::bGetFlushExtent(fw::FALSE, 60, 0, &dAddress, &lFirst, &wBlocks), fw::FLUSH_NOW);
    EXPECT_EQ(lFirst, 0x4000u);
    EXPECT_EQ(wBlocks, 4);
    EXPECT_EQ(dAddress, h);
    ASSERT_EQ(fw::bGetFlushExtent(fw::FALSE, 60, 4, &dAddress, &lFirst, &wBlocks), fw::FLUSH_NOW);
    EXPECT_EQ(lFirst, 0x400Au);
    EXPECT_EQ(wBlocks, 6);
    EXPECT_EQ(dAddress, h + 10 * 512);
    EXPECT_EQ(fw::bGetFlushExtent(fw::FALSE, 60, 16, &dAddress, &lFirst, &wBlocks), fw::FLUSH_NOTHING);
    fw::SetFlushPiecewiseMode(fw::FALSE);
}

TEST_F(Journal, AMirrorBufferThatCannotBeHadIsRetriedFromTheQueue) {
    const std::vector<fw::BUFFER_HANDLE> aTaken = RetryingRankWithoutBuffers();
    const uint32_t dFails = fw::dGetEventCounter(fw::EVENT_COUNTER_MIRROR_CACHE_FULL);
    EXPECT_EQ(fw::bRecordPartnerExtent(70, 0x100, 64, 1, fw::TRUE), fw::STATUS_NO_PAGES);
    EXPECT_EQ(fw::dGetEventCounter(fw::EVENT_COUNTER_MIRROR_CACHE_FULL), dFails + 1);
    EXPECT_EQ(PartnerSlot(70).fValid, fw::TRUE);
    EXPECT_EQ(PartnerSlot(70).fHoldsData, fw::FALSE);
    EXPECT_EQ(fw::ServiceMirrorAllocationQueue(), fw::STATUS_RETRY);
    board.ClearConsoleText();
    fw::ShowMirrorCacheAllocationQueue();
    EXPECT_EQ(board.ConsoleText(),
              "Mirror Cache Allocation Queue\r\nHead 0000, Tail 0001\r\nEntry 0046, Valid f1, Blocks 0040\r\n");
    for (fw::BUFFER_HANDLE t : aTaken) fw::wFreeDataPages(t, 64);
    EXPECT_EQ(fw::ServiceMirrorAllocationQueue(), fw::STATUS_OK);
    EXPECT_EQ(PartnerSlot(70).fHoldsData, fw::TRUE);
    EXPECT_EQ(fw::wGetMirroredExtentCount(), 1);
}

TEST_F(Journal, SlotsQueuedAgainForAMirrorBufferNeverOverrunTheQueue) {
    const std::vector<fw::BUFFER_HANDLE> aTaken = RetryingRankWithoutBuffers();
    // Every slot waits for a buffer; one of them is released and recorded
    // again, more than once, while the queue is full.
    for (uint16_t n = 0; n < fw::NVRAM_QUEUE_USED_SLOTS; ++n) {
        ASSERT_EQ(fw::bRecordPartnerExtent(n, 0x100 + n, 1, n + 1u, fw::TRUE), fw::STATUS_NO_PAGES) << n;
    }
    for (uint32_t i = 0; i < 3; ++i) {
        fw::ReleasePartnerNvramQueueEntry(5, fw::TRUE);
        ASSERT_EQ(fw::bRecordPartnerExtent(5, 0x2000 + i, 1, 5000 + i, fw::TRUE), fw::STATUS_NO_PAGES);
    }
    for (fw::BUFFER_HANDLE t : aTaken) fw::wFreeDataPages(t, 64);
    uint32_t dCalls = 0;
    while (fw::ServiceMirrorAllocationQueue() != fw::STATUS_OK && ++dCalls < 1000) {
    }
    EXPECT_EQ(fw::wGetMirroredExtentCount(), fw::NVRAM_QUEUE_USED_SLOTS);
    EXPECT_EQ(PartnerSlot(5).fHoldsData, fw::TRUE);
    EXPECT_EQ(PartnerSlot(3199).fHoldsData, fw::TRUE);
}

TEST_F(Journal, PartnerResetFormatsTheOwnTableAndReleasesThePartnerTable) {
    fw::RecordNvramQueueEntry(MakeWrite(3, 8, 8, true, Pages(1)));
    fw::AddNvramQueueValidBlocks(3, 8);
    ASSERT_EQ(fw::bRecordPartnerExtent(4, 0x100, 8, 1, fw::TRUE), fw::STATUS_OK);
    fw::ResetNvramJournalsForPartner();
    EXPECT_EQ(SlotBytes(fw::TRUE, 3), (std::vector<uint8_t>{0xF0, 0xF0, 0xF0, 0xF0, 0x69, 0xFF, 0, 0,  //
                                                             0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  //
                                                             0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(PartnerSlot(4).fValid, fw::FALSE);
    EXPECT_EQ(fw::wGetDirtyExtentCount(), 0);
    EXPECT_EQ(fw::wGetMirroredExtentCount(), 0);
}

TEST_F(Journal, PartnerMessagesReachTheJournalAsTheirSendersEncodeThem) {
    // 96: slot 0x0123, LBA 0x000000012345, 24 blocks, sequence 0x07ABCD, its
    // data to follow (bytes 13-14 name the sender's buffer).
    uint8_t ab96[16] = {0x05, 96, 0x01, 0x23, 0, 0, 0, 1, 0x23, 0x45, 0, 24, 0x07, 0x02, 0x10, 0xF0};
    EXPECT_EQ(fw::DispatchPartnerMessage(ab96, 0xABCD), fw::STATUS_OK);
    EXPECT_EQ(FirstBlock(PartnerSlot(0x123)), 0x12345u);
    EXPECT_EQ(PartnerSlot(0x123).fHoldsData, fw::TRUE);
    uint32_t dStamp = 0;
    ASSERT_EQ(fw::bGetJournalEntryStamp(0x123, &dStamp), fw::STATUS_OK);
    EXPECT_EQ(dStamp, 0x07ABCDu);
    // One only journalled there takes no buffer.
    uint8_t ab96Bare[16] = {0x05, 96, 0x01, 0x24, 0, 0, 0, 2, 0, 0, 0, 8, 0x01, 0, 0, 0xF0};
    EXPECT_EQ(fw::DispatchPartnerMessage(ab96Bare, 1), fw::STATUS_OK);
    EXPECT_EQ(PartnerSlot(0x124).fValid, fw::TRUE);
    EXPECT_EQ(PartnerSlot(0x124).fHoldsData, fw::FALSE);
    // A slot beyond the host pool is refused.
    uint8_t abBad[16] = {0x05, 96, 0x0C, 0x80, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0, 0, 0xF0};
    EXPECT_EQ(fw::DispatchPartnerMessage(abBad, 0), 0);
    // 97 of another write of the slot (a late one) leaves it; 97 of this
    // write, sequence bits 16-23 in byte 13 and the rest in the LUN field,
    // releases it.
    uint8_t ab97[16] = {0x05, 97, 0x01, 0x23, 0, 0, 0, 1, 0x23, 0x45, 0, 24, fw::FALSE, 0x06, 0, 0xF0};
    EXPECT_EQ(fw::DispatchPartnerMessage(ab97, 0xABCD), fw::STATUS_OK);
    EXPECT_EQ(PartnerSlot(0x123).fValid, fw::TRUE);
    ab97[13] = 0x07;
    EXPECT_EQ(fw::DispatchPartnerMessage(ab97, 0xABCD), fw::STATUS_OK);
    EXPECT_EQ(PartnerSlot(0x123).fValid, fw::FALSE);
    EXPECT_EQ(fw::wGetMirroredExtentCount(), 0);
}

TEST_F(Journal, DiscardingEmptiesBothTablesAndFreesTheirBuffers) {
    const uint32_t dBefore = fw::dGetPagesInUse(0) + fw::dGetPagesInUse(1);
    fw::RecordNvramQueueEntry(MakeWrite(3, 8, 8, true, Pages(1)));
    fw::AddNvramQueueValidBlocks(3, 8);
    ASSERT_EQ(fw::bRecordPartnerExtent(4, 0x100, 8, 1, fw::TRUE), fw::STATUS_OK);
    fw::bMarkPartnerBlocksReceived(4, 0, 8 * 512);
    fw::DiscardNvramQueues();
    EXPECT_EQ(fw::dGetPagesInUse(0) + fw::dGetPagesInUse(1), dBefore);
    for (uint8_t fOwn : {fw::TRUE, fw::FALSE}) {
        const fw::NVRAM_QUEUE_ENTRY& s = *fw::psGetNvramQueueEntry(fOwn, fOwn == fw::TRUE ? 3 : 4);
        EXPECT_EQ(s.fValid, fw::FALSE);
        EXPECT_EQ(s.bKind, 0xFF);
        EXPECT_EQ(Handle(s), fw::NULL_BUFFER_HANDLE);
    }
    EXPECT_EQ(fw::wGetDirtyExtentCount(), 0);
}

TEST_F(Journal, PeriodicStepCountsPartnerExtentsByAge) {
    fw::SetRankCount(1);
    fw::pGetRankRecord(0)->lLastAddress = 0xFFFFF;
    ASSERT_EQ(fw::bRecordPartnerExtent(80, 0x100, 8, 1, fw::FALSE), fw::STATUS_OK);
    EXPECT_EQ(fw::wGetRankExtentCount(0), 1);
    fw::SetCacheSetting20d(fw::TRUE);
    AdvanceMs(1500);
    fw::NvramJournalService();
    for (uint16_t b = 0; b < 100; ++b) EXPECT_EQ(fw::wGetOtherPriorityCount(0, b), 0) << b;
    // Two seconds on the extent is two whole seconds past its first second;
    // the step runs at most once a second.
    AdvanceMs(2000);
    fw::NvramJournalService();
    fw::NvramJournalService();
    EXPECT_EQ(fw::wGetOtherPriorityCount(0, 2), 1);
    fw::SetCacheSetting20d(fw::FALSE);
}

TEST_F(Journal, DumpsPrintTheSlotsAsStored) {
    const fw::BUFFER_HANDLE h = Pages(1);
    fw::RecordNvramQueueEntry(MakeWrite(0x12, 0x0000000102030405ull, 8, true, h, 0x0300000007ull));
    fw::AddNvramQueueValidBlocks(0x12, 8);
    fw::SetNvramQueueEntryFlag(0x12, fw::TRUE);
    board.ClearConsoleText();
    fw::ShowNvramQueue();
    char acLine[160];
    std::snprintf(acLine, sizeof acLine,
                  "NVRAM queue:\r\n012 8a 0000000102030405 0008 C:%08x B:0008 V:0008 SEQ: 0300000007 WS\r\nDone!\r\n",
                  static_cast<uint32_t>(h));
    EXPECT_EQ(board.ConsoleText(), acLine);

    ASSERT_EQ(fw::bRecordPartnerExtent(0x21, 0x10, 4, 0xABCDEF, fw::FALSE), fw::STATUS_OK);
    board.ClearConsoleText();
    fw::ShowPartnerNvramQueue();
    EXPECT_EQ(board.ConsoleText(),
              "Other Controller NVRAM queue:001\r\n"
              "021 8a 0000000000000010 0004       00000000 0000 0000 SEQ: 0000abcdef  00.000s\r\n"
              "Done!\r\n");
}

}  // namespace
