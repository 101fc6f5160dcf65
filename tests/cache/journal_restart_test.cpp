// The write journal across restarts: buffer banks kept or lost, a journal
// never formatted, and a power cut after any byte of a journal update.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "cache/cache.h"
#include "executive/buffer_pages.h"
#include "journal_board.h"

namespace {

using namespace jtest;

constexpr uint16_t kOwnSlot = 7;
constexpr uint16_t kPartnerSlot = 9;
constexpr uint16_t kOwnBlocks = 24;
constexpr uint16_t kPartnerBlocks = 16;
constexpr uint8_t kPattern = 0x5C;

// What the first run left and the restart found (test memory: it outlives
// the firmware's resets).
struct Findings {
    uint32_t dPagesAfterStart;     // pages in use once the journal had started
    uint32_t dPagesWithCache;      // ... and with the cached extents
    fw::BUFFER_HANDLE dOwnHandle;
    uint32_t dPagesAfterRestart;
    bool fOwnDataIntact;
    bool fOwnHeld;
    size_t dLostEvents;
    std::vector<uint8_t> abLostArgs;
};
Findings g_s;

uint32_t PagesInUse() { return fw::dGetPagesInUse(0) + fw::dGetPagesInUse(1); }

void CacheTwoExtents() {
    BringUpJournal();
    fw::WritePreservationPattern();
    g_s.dPagesAfterStart = PagesInUse();
    fw::BUFFER_HANDLE h = fw::NULL_BUFFER_HANDLE;
    ASSERT_EQ(fw::bAllocDataPages(0, 3, &h), fw::STATUS_OK);
    std::memset(BufferBytes(h), kPattern, kOwnBlocks * 512);
    g_s.dOwnHandle = h;
    fw::RecordNvramQueueEntry(MakeWrite(kOwnSlot, 4096, kOwnBlocks, true, h));
    fw::AddNvramQueueValidBlocks(kOwnSlot, kOwnBlocks);
    ASSERT_EQ(fw::bRecordPartnerExtent(kPartnerSlot, 9000, kPartnerBlocks, 3, fw::TRUE), fw::STATUS_OK);
    fw::bMarkPartnerBlocksReceived(kPartnerSlot, 0, kPartnerBlocks * 512);
    g_s.dPagesWithCache = PagesInUse();
}

void RestartAndLook() {
    BringUpJournal();
    g_s.dPagesAfterRestart = PagesInUse();
    const uint8_t* pb = BufferBytes(g_s.dOwnHandle);
    g_s.fOwnDataIntact = true;
    for (uint32_t i = 0; i < kOwnBlocks * 512u; ++i) g_s.fOwnDataIntact &= pb[i] == kPattern;
    g_s.fOwnHeld = fw::fIsNvramQueueSlotHeld(kOwnSlot) == fw::TRUE;
    const auto aLost = LoggedEvents(101);
    g_s.dLostEvents = aLost.size();
    if (!aLost.empty()) g_s.abLostArgs.assign(aLost[0]->abArgs, aLost[0]->abArgs + 6);
}

TEST(JournalRestart, KeptBanksKeepEverySlotAndReReserveItsBuffer) {
    g_s = {};
    sim::Board board;
    ASSERT_EQ(RunAfterReset(board, CacheTwoExtents), sim::StopKind::Finished);
    ASSERT_EQ(RunAfterReset(board, RestartAndLook), sim::StopKind::Finished);
    EXPECT_EQ(g_s.dLostEvents, 0u);
    EXPECT_EQ(g_s.dPagesAfterRestart, g_s.dPagesWithCache);
    EXPECT_TRUE(g_s.fOwnDataIntact);
    EXPECT_TRUE(g_s.fOwnHeld);
    EXPECT_EQ(OwnSlot(kOwnSlot).fValid, fw::TRUE);
    EXPECT_EQ(ValidBlocks(OwnSlot(kOwnSlot)), kOwnBlocks);
    EXPECT_EQ(Handle(OwnSlot(kOwnSlot)), g_s.dOwnHandle);
    EXPECT_EQ(PartnerSlot(kPartnerSlot).fHoldsData, fw::TRUE);
    EXPECT_EQ(ValidBlocks(PartnerSlot(kPartnerSlot)), kPartnerBlocks);
    // The partner slot's buffer size is what it held; the own one's is not kept.
    EXPECT_EQ(PartnerSlot(kPartnerSlot).abBufferBlocks[0], kPartnerBlocks);
    EXPECT_EQ(OwnSlot(kOwnSlot).abBufferBlocks[0], 0);
    uint32_t dBlocks = 0;
    EXPECT_EQ(fw::wCountCachedOwnExtents(&dBlocks), 1);
    EXPECT_EQ(fw::wCountPartnerExtentsWithData(&dBlocks), 1);
}

// Beside the two cached extents, a write-through write issued to the
// drives: its slot holds no data but names stripes to resynchronise.
constexpr uint16_t kIssuedSlot = 8;
void CacheTwoExtentsBesideAnIssuedWrite() {
    CacheTwoExtents();
    fw::RejournalNvramQueueEntry(MakeWrite(kIssuedSlot, 8192, 8, false, fw::NULL_BUFFER_HANDLE));
    fw::SetNvramQueueEntryFlag(kIssuedSlot, fw::TRUE);
}

// The lost writes are reported and their slots free again at once: nothing
// is left to write of them, and their host entries take new commands.  The
// issued write stays for the resync, its slot held.
TEST(JournalRestart, LostBanksReportTheCachedDataAndFreeItsSlots) {
    g_s = {};
    std::vector<uint8_t> abNvram;
    {
        sim::Board board;
        ASSERT_EQ(RunAfterReset(board, CacheTwoExtentsBesideAnIssuedWrite), sim::StopKind::Finished);
        abNvram = board.nvram().Image();
    }
    sim::Board restarted;   // fresh buffer memory: the banks did not keep their contents
    restarted.nvram().LoadImage(abNvram);
    ASSERT_EQ(RunAfterReset(restarted, RestartAndLook), sim::StopKind::Finished);
    ASSERT_EQ(g_s.dLostEvents, 1u);
    const uint32_t dBlocks = kOwnBlocks + kPartnerBlocks;
    EXPECT_EQ(g_s.abLostArgs, (std::vector<uint8_t>{2, 0, uint8_t(dBlocks), 0, 0, 0}));
    for (const fw::NVRAM_QUEUE_ENTRY* ps : {&OwnSlot(kOwnSlot), &PartnerSlot(kPartnerSlot)}) {
        EXPECT_EQ(ps->fValid, fw::FALSE);
        EXPECT_EQ(ps->bKind, fw::JOURNAL_KIND_FREE);
        EXPECT_EQ(ps->fHoldsData, fw::FALSE);
        EXPECT_EQ(ValidBlocks(*ps), 0);
        EXPECT_EQ(Handle(*ps), fw::NULL_BUFFER_HANDLE);
    }
    EXPECT_FALSE(g_s.fOwnHeld);
    EXPECT_EQ(OwnSlot(kIssuedSlot).fValid, fw::TRUE);
    EXPECT_EQ(OwnSlot(kIssuedSlot).fIssued, fw::TRUE);
    EXPECT_EQ(FirstBlock(OwnSlot(kIssuedSlot)), 8192u);
    EXPECT_EQ(fw::fIsNvramQueueSlotHeld(kIssuedSlot), fw::TRUE);
    uint32_t dCached = 0;
    EXPECT_EQ(fw::wCountCachedOwnExtents(&dCached), 0);
    EXPECT_EQ(fw::wCountPartnerExtentsWithData(&dCached), 0);
}

// The next start finds nothing more to report and frees nothing more.
TEST(JournalRestart, ALaterStartFindsTheLostSlotsStillFree) {
    g_s = {};
    std::vector<uint8_t> abNvram;
    {
        sim::Board board;
        ASSERT_EQ(RunAfterReset(board, CacheTwoExtentsBesideAnIssuedWrite), sim::StopKind::Finished);
        abNvram = board.nvram().Image();
    }
    {
        sim::Board restarted;
        restarted.nvram().LoadImage(abNvram);
        ASSERT_EQ(RunAfterReset(restarted, RestartAndLook), sim::StopKind::Finished);
        abNvram = restarted.nvram().Image();
    }
    sim::Board again;
    again.nvram().LoadImage(abNvram);
    ASSERT_EQ(RunAfterReset(again, RestartAndLook), sim::StopKind::Finished);
    EXPECT_EQ(g_s.dLostEvents, 1u);   // the first start's, still in the log
    EXPECT_EQ(OwnSlot(kOwnSlot).fValid, fw::FALSE);
    EXPECT_FALSE(g_s.fOwnHeld);
    EXPECT_EQ(OwnSlot(kIssuedSlot).fValid, fw::TRUE);
}

// A slot that names a write with no data in it (the host was told
// nothing, or an earlier start dropped the data) is freed on a start with
// the banks kept too: it would hold its host entry for ever.
void RecordAWriteWithoutData() {
    BringUpJournal();
    fw::WritePreservationPattern();
    fw::BUFFER_HANDLE h = fw::NULL_BUFFER_HANDLE;
    ASSERT_EQ(fw::bAllocDataPages(0, 1, &h), fw::STATUS_OK);
    fw::RecordNvramQueueEntry(MakeWrite(kOwnSlot, 4096, 8, true, h));
}
void LookAtTheSlot() {
    BringUpJournal();
    g_s.fOwnHeld = fw::fIsNvramQueueSlotHeld(kOwnSlot) == fw::TRUE;
}

TEST(JournalRestart, ASlotWithNothingToWriteIsFreedWithTheBanksKept) {
    g_s = {};
    sim::Board board;
    ASSERT_EQ(RunAfterReset(board, RecordAWriteWithoutData), sim::StopKind::Finished);
    ASSERT_EQ(OwnSlot(kOwnSlot).fValid, fw::TRUE);
    ASSERT_EQ(RunAfterReset(board, LookAtTheSlot), sim::StopKind::Finished);
    EXPECT_EQ(OwnSlot(kOwnSlot).fValid, fw::FALSE);
    EXPECT_FALSE(g_s.fOwnHeld);
    EXPECT_EQ(LoggedEvents(101).size(), 0u);
}

void StartOnly() { BringUpJournal(); }

TEST(JournalRestart, AJournalNeverFormattedIsFormattedAndMarked) {
    sim::Board board;
    // Garbage where the tables lie, no marker.
    std::vector<uint8_t> abNvram(512 * 1024, 0x5A);
    std::memcpy(abNvram.data(), "0005BXQ1", 8);
    board.nvram().LoadImage(abNvram);
    ASSERT_EQ(RunAfterReset(board, StartOnly), sim::StopKind::Finished);
    const uint8_t* pb = fw::pNvramBase();
    EXPECT_EQ(std::memcmp(pb + 8, "0001", 4), 0);
    for (uint16_t n : {uint16_t(0), uint16_t(3199), uint16_t(4095)}) {
        for (const fw::NVRAM_QUEUE_ENTRY* ps : {&OwnSlot(n), &PartnerSlot(n)}) {
            EXPECT_EQ(ps->fValid, fw::FALSE);
            EXPECT_EQ(ps->bKind, 0x69);
            EXPECT_EQ(ps->bRank, 0xFF);
            EXPECT_EQ(FirstBlock(*ps), ~0ull);
            EXPECT_EQ(Handle(*ps), fw::NULL_BUFFER_HANDLE);
        }
    }
    EXPECT_EQ(LoggedEvents(101).size(), 0u);
}

// ---- power cuts ---------------------------------------------------------------

// One host write as the write path journals it: recorded when it starts,
// its data counted in piece by piece (each count acknowledged to the host
// once written), issued to the drives and cleared when they have it.
struct JournalledWrite {
    uint16_t wSlot;
    uint64_t lFirst;
    uint16_t wBlocks;
    bool fWriteBack;
    std::vector<uint16_t> awCredits;
    bool fIssue;
    bool fClear;
};

const JournalledWrite kWrites[] = {
    {10, 1000, 300, true, {100, 200}, true, true},
    {11, 20000, 600, true, {255, 1, 256, 88}, false, false},   // crosses 256 and 512
    {12, 50000, 64, false, {}, true, false},                    // write-through: journalled at issue
    {10, 70000, 40, true, {40}, false, false},                  // slot 10 again, after its clear
};
constexpr size_t kWriteCount = sizeof(kWrites) / sizeof(kWrites[0]);

struct Progress {
    bool fStarted;
    bool fRecorded;
    uint16_t wAcked;      // blocks the host was told are safe
    uint16_t wTarget;     // blocks in the buffer (a count being written)
    bool fIssued;
    bool fClearing;
    bool fCleared;
    fw::BUFFER_HANDLE dHandle;
};
Progress g_asProgress[kWriteCount];
uint64_t g_lCutAfter = 0;
uint64_t g_lArmedAt = 0;   // the board's NVRAM store count when the sequence began

uint8_t PatternOf(size_t w, uint32_t dBlock) { return static_cast<uint8_t>(0x11 * (w + 1) + dBlock); }

void JournalSequence() {
    BringUpJournal();
    fw::WritePreservationPattern();
    g_lArmedAt = sim::Board::Current().nvram().WriteCount();
    if (g_lCutAfter != 0) sim::Board::Current().nvram().CutPowerAfterWrites(g_lCutAfter);
    for (size_t w = 0; w < kWriteCount; ++w) {
        const JournalledWrite& s = kWrites[w];
        Progress& p = g_asProgress[w];
        fw::BUFFER_HANDLE h = fw::NULL_BUFFER_HANDLE;
        if (s.fWriteBack) {
            ASSERT_EQ(fw::bAllocDataPages(0, (s.wBlocks + 7) / 8, &h), fw::STATUS_OK);
            for (uint32_t b = 0; b < s.wBlocks; ++b) std::memset(BufferBytes(h) + 512 * b, PatternOf(w, b), 512);
        }
        p.dHandle = h;
        fw::KERNEL_ENTRY* psEntry = MakeWrite(s.wSlot, s.lFirst, s.wBlocks, s.fWriteBack, h, 100 + w);
        p.fStarted = true;
        if (s.fWriteBack) {
            fw::RecordNvramQueueEntry(psEntry);
        } else {
            fw::RejournalNvramQueueEntry(psEntry);
        }
        p.fRecorded = true;
        for (uint16_t wCredit : s.awCredits) {
            p.wTarget = static_cast<uint16_t>(p.wAcked + wCredit);
            fw::AddNvramQueueValidBlocks(s.wSlot, wCredit);
            p.wAcked = p.wTarget;
        }
        if (s.fIssue) {
            fw::SetNvramQueueEntryFlag(s.wSlot, fw::TRUE);
            p.fIssued = true;
        }
        if (s.fClear) {
            p.fClearing = true;
            fw::ClearNvramQueueEntry(s.wSlot);
            p.fCleared = true;
        }
    }
}

struct SlotState {
    fw::NVRAM_QUEUE_ENTRY s;
    bool fDataMatches;   // the first V blocks of the named buffer hold the write's data
};
SlotState g_asFound[3];
uint16_t g_wOtherValidSlots = 0;
size_t g_dLostEvents = 0;

void RestartAndInspect() {
    BringUpJournal();
    const uint16_t awSlots[3] = {10, 11, 12};
    for (int i = 0; i < 3; ++i) {
        const fw::NVRAM_QUEUE_ENTRY& s = OwnSlot(awSlots[i]);
        g_asFound[i].s = s;
        g_asFound[i].fDataMatches = true;
        // Which write the slot describes decides the data it must hold.
        for (size_t w = 0; w < kWriteCount; ++w) {
            if (kWrites[w].wSlot != awSlots[i] || FirstBlock(s) != kWrites[w].lFirst || Handle(s) == fw::NULL_BUFFER_HANDLE) continue;
            const uint8_t* pb = BufferBytes(Handle(s));
            for (uint32_t b = 0; b < ValidBlocks(s); ++b) {
                g_asFound[i].fDataMatches &= pb[512 * b] == PatternOf(w, b) && pb[512 * b + 511] == PatternOf(w, b);
            }
        }
    }
    g_wOtherValidSlots = 0;
    for (uint16_t n = 0; n < fw::NVRAM_QUEUE_USED_SLOTS; ++n) {
        if (n != 10 && n != 11 && n != 12 && OwnSlot(n).fValid != fw::FALSE) ++g_wOtherValidSlots;
    }
    g_dLostEvents = LoggedEvents(101).size();
}

// The slot after the restart agrees with the write that last used it.
void CheckSlot(const SlotState& f, uint16_t wSlot, bool fBanksKept, uint64_t k) {
    const Progress* pp = nullptr;
    const JournalledWrite* ps = nullptr;
    for (size_t w = 0; w < kWriteCount; ++w) {
        if (kWrites[w].wSlot == wSlot && g_asProgress[w].fStarted) {
            pp = &g_asProgress[w];
            ps = &kWrites[w];
        }
    }
    SCOPED_TRACE(testing::Message() << "cut " << k << " slot " << wSlot);
    const bool fValid = f.s.fValid == fw::TRUE;
    ASSERT_TRUE(f.s.fValid == fw::TRUE || f.s.fValid == fw::FALSE);
    if (pp == nullptr || pp->fCleared) {
        EXPECT_FALSE(fValid);
        return;
    }
    if (!fValid) {
        // Only a record not yet made valid, a clear under way, or a write
        // with nothing to write: not issued, and nothing acknowledged (or
        // nothing kept, with the banks lost).
        const bool fNothingToWrite = !pp->fIssued && (pp->wAcked == 0 || !fBanksKept);
        EXPECT_TRUE(!pp->fRecorded || pp->fClearing || fNothingToWrite);
        return;
    }
    EXPECT_EQ(FirstBlock(f.s), ps->lFirst);
    const uint16_t wValid = ValidBlocks(f.s);
    if (!fBanksKept) {
        // What stays is a write issued to the drives, for its resync.
        EXPECT_EQ(f.s.fIssued, fw::TRUE);
        EXPECT_EQ(wValid, 0);
        EXPECT_EQ(Handle(f.s), fw::NULL_BUFFER_HANDLE);
        return;
    }
    EXPECT_GE(wValid, pp->wAcked);
    EXPECT_LE(wValid, pp->wTarget);
    if (wValid != 0) {
        EXPECT_EQ(Handle(f.s), pp->dHandle);
        EXPECT_TRUE(f.fDataMatches);
    }
}

TEST(JournalPowerCut, AcknowledgedWritesSurviveACutAfterAnyByte) {
    std::vector<uint8_t> abBaseline;
    uint64_t lWrites = 0;
    {
        sim::Board board;
        ASSERT_EQ(RunAfterReset(board, StartOnly), sim::StopKind::Finished);
        abBaseline = board.nvram().Image();
        std::memset(g_asProgress, 0, sizeof g_asProgress);
        g_lCutAfter = 0;
        ASSERT_EQ(RunAfterReset(board, JournalSequence), sim::StopKind::Finished);
        lWrites = board.nvram().WriteCount() - g_lArmedAt;
    }
    ASSERT_GT(lWrites, 50u);

    uint64_t lCuts = 0;
    for (uint64_t k = 1; k <= lWrites; ++k) {
        std::vector<uint8_t> abAfterCut;
        {
            sim::Board board;
            board.nvram().LoadImage(abBaseline);
            std::memset(g_asProgress, 0, sizeof g_asProgress);
            g_lCutAfter = k;
            const sim::StopKind eStop = RunAfterReset(board, JournalSequence);
            ASSERT_TRUE(eStop == sim::StopKind::PowerCut || eStop == sim::StopKind::Finished) << "cut " << k;
            abAfterCut = board.nvram().Image();
            // Restart on the same board: the banks kept their contents.
            ASSERT_EQ(RunAfterReset(board, RestartAndInspect), sim::StopKind::Finished) << "cut " << k;
            EXPECT_EQ(g_dLostEvents, 0u) << "cut " << k;
            EXPECT_EQ(g_wOtherValidSlots, 0) << "cut " << k;
            for (int i = 0; i < 3; ++i) CheckSlot(g_asFound[i], uint16_t(10 + i), true, k);
        }
        // The same NVRAM on a board whose banks lost their contents.
        sim::Board restarted;
        restarted.nvram().LoadImage(abAfterCut);
        ASSERT_EQ(RunAfterReset(restarted, RestartAndInspect), sim::StopKind::Finished) << "cut " << k;
        bool fAckedCached = false;
        for (size_t w = 0; w < kWriteCount; ++w) {
            fAckedCached |= g_asProgress[w].wAcked != 0 && !g_asProgress[w].fClearing;
        }
        if (fAckedCached) {
            EXPECT_EQ(g_dLostEvents, 1u) << "cut " << k;
        }
        for (int i = 0; i < 3; ++i) CheckSlot(g_asFound[i], uint16_t(10 + i), false, k);
        ++lCuts;
        if (HasFailure()) break;
    }
    EXPECT_EQ(lCuts, lWrites);
    RecordProperty("cut_points", static_cast<int>(lCuts));
}

}  // namespace
