// The NVRAM event log: posting, coalescing, wrap, start-up events, clearing,
// corrupt headers and power cuts in the middle of an update.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "config/nvram_layout.h"
#include "config/nvram_records.h"
#include "config/nvram_tables.h"
#include "eventlog/event_log.h"
#include "executive/buffer_pages.h"
#include "executive/date_time.h"
#include "executive/interrupt_controller.h"
#include "executive/rtc.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "sim/board.h"
#include "harness/calendar.h"

namespace {

constexpr uint32_t LOG = 0x400;
constexpr fw::DATE_TIME NOW = harness::kTestNow;

using harness::SetCalendar;

// A controller just through the NVRAM checks: locks free, clock valid,
// NVRAM formatted.
void BringUp() {
    harness::PrepareInterruptsAndCalendar();
    fw::ValidateNvram();
}

const fw::EVENT_LOG_ENTRY& Entry(uint16_t w) { return *fw::psGetEventLogEntry(w); }

uint16_t Count() {
    uint16_t wCount, wNext;
    fw::GetEventLogPosition(&wCount, &wNext);
    return wCount;
}

uint16_t Next() {
    uint16_t wCount, wNext;
    fw::GetEventLogPosition(&wCount, &wNext);
    return wNext;
}

uint32_t Repeats(const fw::EVENT_LOG_ENTRY& s) {
    return s.abArgs[8] | (s.abArgs[9] << 8) | (s.abArgs[10] << 16) | (uint32_t(s.abArgs[11]) << 24);
}

// Code 113 for drive 0x11.. at a block address, arguments 0..8 the drive.
void PostReallocation(uint32_t dBlock, uint8_t bDrive = 0x11) {
    fw::PostEvent(113, bDrive, 2, 3, 4, 5, 6, 7, 8, 0x20, uint8_t(dBlock >> 24), uint8_t(dBlock >> 16),
                  uint8_t(dBlock >> 8), uint8_t(dBlock), 0);
}

class EventLogTest : public ::testing::Test {
protected:
    void SetUp() override { BringUp(); }
    sim::Board board;
};

TEST_F(EventLogTest, PostingWritesEntryAndFlipsHeaderCopy) {
    const uint8_t* pb = board.nvram().Data() + LOG;
    const uint8_t bSelectBefore = pb[8];
    fw::PostEvent(27, 5);
    EXPECT_EQ(Count(), 1);
    EXPECT_EQ(Next(), 1);
    EXPECT_NE(pb[8], bSelectBefore);
    EXPECT_EQ(pb[9], fw::FALSE);   // not updating any more
    EXPECT_EQ(Entry(0).bCode, 27);
    EXPECT_EQ(Entry(0).abArgs[0], 5);
    EXPECT_EQ(Entry(0).bStatus, 0);
    EXPECT_EQ(std::memcmp(&Entry(0).sTimeStamp, &NOW, sizeof(NOW)), 0);
    EXPECT_EQ(fw::wGetEventsPostedCount(), 1);
}

TEST_F(EventLogTest, FullLogOverwritesOldestAndWraps) {
    for (uint32_t i = 0; i < fw::EVENT_LOG_ENTRIES; ++i) fw::PostEvent(27, uint8_t(i), uint8_t(i >> 8));
    EXPECT_EQ(Count(), 4096);
    EXPECT_EQ(Next(), 0);
    fw::PostEvent(52, 0xAA);
    EXPECT_EQ(Count(), 4096);
    EXPECT_EQ(Next(), 1);
    EXPECT_EQ(Entry(0).bCode, 52);
    EXPECT_EQ(Entry(1).abArgs[0], 1);   // now the oldest
    EXPECT_EQ(fw::wGetEventsPostedCount(), 4096);
}

TEST_F(EventLogTest, RepeatedEventsCountUpInNewestEntry) {
    // Ten postings of code 33 with equal first three bytes: one entry, 9 repeats.
    for (int i = 0; i < 10; ++i) fw::PostEvent(33, 1, 2, 3, uint8_t(i));
    EXPECT_EQ(Count(), 1);
    EXPECT_EQ(Repeats(Entry(0)), 9u);
    // A difference in the first three bytes, or another code between, starts anew.
    fw::PostEvent(33, 1, 2, 4);
    fw::PostEvent(27);
    fw::PostEvent(33, 1, 2, 4);
    EXPECT_EQ(Count(), 4);
    EXPECT_EQ(Repeats(Entry(3)), 0u);
}

TEST_F(EventLogTest, RepeatLooksAtLastSlotWhenNextWrappedToZero) {
    for (uint32_t i = 0; i < fw::EVENT_LOG_ENTRIES - 1; ++i) fw::PostEvent(27);
    fw::PostEvent(36, 1, 0, 0);
    ASSERT_EQ(Next(), 0);
    fw::PostEvent(36, 1, 0, 0);
    EXPECT_EQ(Next(), 0);
    EXPECT_EQ(Repeats(Entry(4095)), 1u);
}

TEST_F(EventLogTest, ReallocationsOfFollowingBlocksExtendOneEntry) {
    struct Step {
        uint32_t dBlock;
        uint8_t bDrive;
        uint16_t wExpectedCount;
    };
    const Step steps[] = {
        {100, 0x11, 1}, {101, 0x11, 1}, {102, 0x11, 1},   // one entry, repeat count 2
        {104, 0x11, 2},                                   // a gap: new entry
        {103, 0x22, 3},                                   // another drive: new entry
        {105, 0x11, 3},                                   // continues the third newest
    };
    for (const Step& s : steps) {
        PostReallocation(s.dBlock, s.bDrive);
        EXPECT_EQ(Count(), s.wExpectedCount) << "block " << s.dBlock;
    }
    EXPECT_EQ(Entry(0).abArgs[12], 100);
    EXPECT_EQ(Entry(0).abArgs[13], 2);
    EXPECT_EQ(Entry(1).abArgs[12], 104);
    EXPECT_EQ(Entry(1).abArgs[13], 1);
    // Three more events push the 104 entry to fourth newest: never extended.
    fw::PostEvent(27);
    fw::PostEvent(27);
    PostReallocation(106);
    EXPECT_EQ(Count(), 6);
}

TEST_F(EventLogTest, ReallocationStopsAtRepeatLimitAndReportedEntries) {
    PostReallocation(1000);
    const uint32_t dCount = LOG + 16 + 10 + 13;
    fw::NvramWrite8(dCount, 255);
    PostReallocation(1256);
    EXPECT_EQ(Count(), 2);
    // An entry handed to a reader stays as it was read.
    fw::MarkEventLogEntryReported(1);
    PostReallocation(1257);
    EXPECT_EQ(Count(), 3);
}

TEST_F(EventLogTest, OnceOnlyEventsWaitForTheirMaskBit) {
    fw::PostEvent(15, 1);
    fw::PostEvent(15, 1);
    EXPECT_EQ(Count(), 1);
    fw::SetEventMaskBit(15, fw::FALSE);
    fw::PostEvent(15, 1);
    EXPECT_EQ(Count(), 2);
    EXPECT_EQ(fw::fIsEventMaskBitSet(15), fw::TRUE);
    EXPECT_EQ(fw::fIsEventMaskBitSet(40), fw::FALSE);   // no bit beyond code 32
}

TEST_F(EventLogTest, BusyLogDropsPostingAndClearing) {
    fw::PostEvent(27);
    fw::SetEventLogBusy(fw::TRUE);
    fw::PostEvent(28);
    fw::ClearEventLog();
    fw::SetEventLogBusy(fw::FALSE);
    EXPECT_EQ(Count(), 1);
    EXPECT_EQ(Entry(0).bCode, 27);
}

TEST_F(EventLogTest, ClearLeavesOnlyEvent86) {
    for (int i = 0; i < 7; ++i) fw::PostEvent(27);
    fw::ClearEventLog();
    EXPECT_EQ(Count(), 1);
    EXPECT_EQ(Next(), 1);
    EXPECT_EQ(Entry(0).bCode, 86);
    EXPECT_EQ(Entry(1).bCode, 0);
    EXPECT_EQ(fw::wGetEventsPostedCount(), 1);
}

TEST_F(EventLogTest, MirrorFollowsEveryChange) {
    fw::SetSystemMemorySize(board.config().memorySize);
    fw::InitBufferPages();
    fw::PostEvent(27, 1);
    fw::AllocateEventLogMirror();
    const fw::EVENT_LOG_MIRROR* ps = fw::psGetEventLogMirror();
    ASSERT_NE(ps, nullptr);
    EXPECT_EQ(ps->wCount, 1);
    fw::PostEvent(33, 1, 1, 1);
    fw::PostEvent(33, 1, 1, 1);
    EXPECT_EQ(ps->wCount, 2);
    EXPECT_EQ(ps->wNext, 2);
    EXPECT_EQ(ps->dByteCount, 16u + 2 * 24);
    EXPECT_EQ(std::memcmp(&ps->asEntries[0], &Entry(0), 2 * sizeof(fw::EVENT_LOG_ENTRY)), 0);
    fw::ClearEventLog();
    EXPECT_EQ(ps->wCount, 1);
    EXPECT_EQ(ps->asEntries[0].bCode, 86);
    EXPECT_EQ(ps->asEntries[1].bCode, 0);
}

// ---- start of day ------------------------------------------------------------

struct StartCase {
    const char* pszName;
    std::vector<uint8_t> abLog;     // codes already in the log
    bool fSavedTimeValid;
    std::vector<uint8_t> abAdded;   // codes InitEventLog adds
};

TEST(EventLogStart, StartUpEventsFollowHowTheControllerWentDown) {
    const StartCase cases[] = {
        {"empty log, saved time", {}, true, {80, 81}},
        {"empty log, never saved", {}, false, {81}},
        {"power loss", {27}, true, {80, 81}},
        {"orderly reset", {27, 87}, true, {81}},
        {"shutdown", {88}, true, {81}},
    };
    for (const StartCase& c : cases) {
        sim::Board fresh;
        BringUp();
        if (c.fSavedTimeValid) fw::SaveNvramStatistics();
        for (uint8_t b : c.abLog) fw::PostEvent(b);
        fw::InitEventLog();
        ASSERT_EQ(Count(), c.abLog.size() + c.abAdded.size()) << c.pszName;
        for (size_t i = 0; i < c.abAdded.size(); ++i) {
            EXPECT_EQ(Entry(uint16_t(c.abLog.size() + i)).bCode, c.abAdded[i]) << c.pszName;
        }
    }
}

TEST_F(EventLogTest, PoweredOffEventCarriesSavedTime) {
    fw::SaveNvramStatistics();
    fw::PostEvent(27);
    SetCalendar({2027, 1, 2, 7, 3, 4, 5});
    fw::InitEventLog();
    EXPECT_EQ(Entry(1).bCode, 80);
    EXPECT_EQ(std::memcmp(&Entry(1).sTimeStamp, &NOW, sizeof(NOW)), 0);
    EXPECT_EQ(Entry(2).sTimeStamp.wYear, 2027);
}

// A calendar set back behind the newest event (a clock reading after a
// start of day that counted waits it skipped) does not put events out of
// order: they take the newest stamp until it catches up; one set back by
// more than an hour, as only an operator does, is taken as it stands.
TEST_F(EventLogTest, AnEventPostedWhileTheCalendarIsBehindTakesTheNewestStamp) {
    fw::PostEvent(27, 1);
    fw::DATE_TIME sBehind = NOW;
    sBehind.bMinute = static_cast<uint8_t>(NOW.bMinute - 1);
    SetCalendar(sBehind);
    fw::PostEvent(27, 2);
    EXPECT_EQ(std::memcmp(&Entry(1).sTimeStamp, &NOW, sizeof(NOW)), 0);
    fw::DATE_TIME sSetBack = NOW;
    sSetBack.bHour = static_cast<uint8_t>(NOW.bHour - 2);
    SetCalendar(sSetBack);
    fw::PostEvent(27, 3);
    EXPECT_EQ(std::memcmp(&Entry(2).sTimeStamp, &sSetBack, sizeof(NOW)), 0);
}

TEST_F(EventLogTest, FirmwareUpgradeEntryGetsThisVersion) {
    fw::PostEvent(96, '0', '0', '2', '1', fw::TRUE, 0, 0, 0, 0);
    fw::PostEvent(87);
    fw::InitEventLog();
    EXPECT_EQ(Entry(0).abArgs[5], 0x21);
    EXPECT_EQ(Entry(0).abArgs[6], 0x00);
    EXPECT_EQ(Entry(0).abArgs[7], 0x09);
    EXPECT_EQ(Entry(0).abArgs[8], 0x03);
}

TEST_F(EventLogTest, NextBehindCountIsRepairedAtStart) {
    for (int i = 0; i < 3; ++i) fw::PostEvent(87);
    uint8_t* pb = board.nvram().Data() + LOG;
    const uint32_t dNext = pb[8] == fw::EVENT_COPY_A ? 4 : 6;
    fw::NvramWrite8(LOG + dNext, 1);
    fw::InitEventLog();
    EXPECT_EQ(Count(), 4);
    EXPECT_EQ(Entry(3).bCode, 81);
}

TEST(EventLogStart, HeaderOutOfRangeResetsTheLog) {
    struct Corrupt {
        const char* pszName;
        uint16_t wCount;
        uint16_t wNext;
    };
    const Corrupt cases[] = {{"count", 0xFFFF, 3}, {"next", 5, 4096}, {"both", 0x5555, 0xAAAA}};
    for (const Corrupt& c : cases) {
        for (bool fAtStart : {true, false}) {
            sim::Board fresh;
            BringUp();
            fw::PostEvent(27);
            uint8_t* pb = fresh.nvram().Data() + LOG;
            const bool fA = pb[8] == fw::EVENT_COPY_A;
            fw::NvramWriteLE16(LOG + (fA ? 0 : 2), c.wCount);
            fw::NvramWriteLE16(LOG + (fA ? 4 : 6), c.wNext);
            EXPECT_EQ(fw::wGetEventLogCount(), c.wCount > 4096 ? 0 : c.wCount) << c.pszName;
            if (fAtStart) {
                fw::InitEventLog();
                EXPECT_EQ(Entry(0).bCode, 86) << c.pszName;
            } else {
                fw::PostEvent(28);   // the posting made before the log is initialised
                EXPECT_EQ(Count(), 1) << c.pszName;
                EXPECT_EQ(Entry(0).bCode, 28) << c.pszName;
            }
        }
    }
}

// ---- power cuts ----------------------------------------------------------------

// What the update sequence had finished when the power went (test memory,
// not firmware state, so it outlives the cut).
struct Progress {
    uint32_t dPostsDone;
    uint32_t dSavesDone;
    uint32_t dCheckpointsDone;
};
Progress g_sProgress;
constexpr uint32_t ROUNDS = 4;

uint64_t ReadTotalAfter(uint32_t dSaves) { return dSaves * 10; }

// Postings, statistics saves and duplication checkpoints, interleaved.
void UpdateSequence() {
    for (uint32_t i = 0; i < ROUNDS; ++i) {
        fw::PostEvent(97, uint8_t(i + 1), 0xA5);
        ++g_sProgress.dPostsDone;
        fw::CountNvramReads(10);
        fw::SaveNvramStatistics();
        ++g_sProgress.dSavesDone;
        fw::CheckpointNvramLdDupEntry(0, (i + 1) * 100, i);
        ++g_sProgress.dCheckpointsDone;
    }
}

uint64_t Checkpoint(uint32_t n) { return n == 0 ? 0 : (uint64_t(n - 1) << 32) | (n * 100); }

struct RestartFindings {
    uint16_t wCount;
    uint16_t wNext;
    std::vector<uint8_t> abArgs0;
    std::vector<uint8_t> abCodes;
    uint64_t lReads;
    uint64_t lProgress;
};
RestartFindings g_sFound;

void RestartAndLook() {
    BringUp();
    fw::GetEventLogPosition(&g_sFound.wCount, &g_sFound.wNext);
    g_sFound.abArgs0.clear();
    g_sFound.abCodes.clear();
    for (uint16_t i = 0; i < g_sFound.wCount; ++i) {
        g_sFound.abArgs0.push_back(Entry(i).abArgs[0]);
        g_sFound.abCodes.push_back(Entry(i).bCode);
    }
    g_sFound.lReads = fw::lGetNvramReadBlocks();
    g_sFound.lProgress = fw::lGetNvramDupProgress(0);
    fw::InitEventLog();
}

// Runs a function as the firmware after a reset: firmware state back to its
// load image, on the board's NVRAM as it stands.
sim::StopKind RunAfterReset(sim::Board& board, void (*pfnEntry)()) {
    board.SetResetEntry(pfnEntry);
    board.Boot();
    return board.RunFor(60000000000ull);
}

void InitThenUpdate() {
    harness::PrepareInterruptsAndCalendar();
    UpdateSequence();
}

void PrepareBaseline() {
    BringUp();
    fw::WriteNvramLdDupEntry(0, 1, 2, 0, 0, 0, 0);
    fw::SaveNvramStatistics();
}

// Every cut point is tried; the points are dealt out to shards, each a test
// of its own process, so that no one test runs long.
constexpr uint64_t CUT_SHARDS = 4;
class EveryCutPoint : public ::testing::TestWithParam<uint64_t> {};

TEST_P(EveryCutPoint, LeavesConsistentRecords) {
    const uint64_t lShard = GetParam();
    std::vector<uint8_t> abBaseline;
    uint64_t lWrites = 0;
    {
        sim::Board board;
        ASSERT_EQ(RunAfterReset(board, PrepareBaseline), sim::StopKind::Finished);
        abBaseline = board.nvram().Image();
        const uint64_t lBefore = board.nvram().WriteCount();
        g_sProgress = {};
        ASSERT_EQ(RunAfterReset(board, InitThenUpdate), sim::StopKind::Finished);
        lWrites = board.nvram().WriteCount() - lBefore;
        ASSERT_EQ(g_sProgress.dPostsDone, ROUNDS);
    }
    ASSERT_GT(lWrites, 100u);

    uint64_t lCutPoints = 0;
    for (uint64_t k = 1 + lShard; k <= lWrites; k += CUT_SHARDS) {
        std::vector<uint8_t> abAfterCut;
        {
            sim::Board board;
            board.nvram().LoadImage(abBaseline);
            g_sProgress = {};
            board.nvram().CutPowerAfterWrites(k);
            ASSERT_EQ(RunAfterReset(board, InitThenUpdate), sim::StopKind::PowerCut) << "cut " << k;
            abAfterCut = board.nvram().Image();
        }
        sim::Board restarted;
        restarted.nvram().LoadImage(abAfterCut);
        ASSERT_EQ(RunAfterReset(restarted, RestartAndLook), sim::StopKind::Finished) << "cut " << k;
        ++lCutPoints;

        const Progress p = g_sProgress;
        // The header agrees with the entries that are there, and no posting
        // that finished is missing.
        ASSERT_EQ(g_sFound.wCount, g_sFound.wNext) << "cut " << k;
        ASSERT_GE(g_sFound.wCount, p.dPostsDone) << "cut " << k;
        ASSERT_LE(g_sFound.wCount, p.dPostsDone + 1) << "cut " << k;
        for (uint16_t i = 0; i < g_sFound.wCount; ++i) EXPECT_EQ(g_sFound.abArgs0[i], i + 1) << "cut " << k;
        // Statistics are those of a whole save (the one cut may have finished).
        EXPECT_TRUE(g_sFound.lReads == ReadTotalAfter(p.dSavesDone) ||
                    g_sFound.lReads == ReadTotalAfter(p.dSavesDone + 1))
            << "cut " << k << " reads " << g_sFound.lReads;
        // Duplication progress never falls behind a finished checkpoint.
        EXPECT_TRUE(g_sFound.lProgress == Checkpoint(p.dCheckpointsDone) ||
                    g_sFound.lProgress == Checkpoint(p.dCheckpointsDone + 1))
            << "cut " << k;
    }
    EXPECT_EQ(lCutPoints, (lWrites - lShard + CUT_SHARDS - 1) / CUT_SHARDS);
    RecordProperty("cut_points", static_cast<int>(lCutPoints));
    std::printf("power cut points tried: %llu of %llu\n", static_cast<unsigned long long>(lCutPoints),
                static_cast<unsigned long long>(lWrites));
}
INSTANTIATE_TEST_SUITE_P(EventLogPowerCut, EveryCutPoint, ::testing::Range<uint64_t>(0, CUT_SHARDS));

void PrepareFullerLog() {
    BringUp();
    for (uint8_t i = 1; i <= 20; ++i) fw::PostEvent(97, i);
}

void InitThenClear() {
    harness::PrepareInterruptsAndCalendar();
    fw::ClearEventLog();
}

// A clearing cut short leaves either the old log or an empty one (or the
// one entry of the clearing), never a header that disagrees with it.
TEST(EventLogPowerCut, ClearingCutAnywhereLeavesOldOrEmptyLog) {
    std::vector<uint8_t> abBaseline;
    uint64_t lWrites = 0;
    {
        sim::Board board;
        ASSERT_EQ(RunAfterReset(board, PrepareFullerLog), sim::StopKind::Finished);
        abBaseline = board.nvram().Image();
        const uint64_t lBefore = board.nvram().WriteCount();
        ASSERT_EQ(RunAfterReset(board, InitThenClear), sim::StopKind::Finished);
        lWrites = board.nvram().WriteCount() - lBefore;
    }
    // Every write around the header updates, a sample of the entry wipe.
    std::vector<uint64_t> alCuts;
    for (uint64_t k = 1; k <= lWrites; ++k) {
        if (k <= 40 || k + 60 > lWrites || k % 4093 == 0) alCuts.push_back(k);
    }
    for (uint64_t k : alCuts) {
        std::vector<uint8_t> abAfterCut;
        {
            sim::Board board;
            board.nvram().LoadImage(abBaseline);
            board.nvram().CutPowerAfterWrites(k);
            ASSERT_EQ(RunAfterReset(board, InitThenClear), sim::StopKind::PowerCut) << "cut " << k;
            abAfterCut = board.nvram().Image();
        }
        sim::Board restarted;
        restarted.nvram().LoadImage(abAfterCut);
        ASSERT_EQ(RunAfterReset(restarted, RestartAndLook), sim::StopKind::Finished) << "cut " << k;
        ASSERT_EQ(g_sFound.wCount, g_sFound.wNext) << "cut " << k;
        if (g_sFound.wCount == 20) {
            for (uint16_t i = 0; i < 20; ++i) EXPECT_EQ(g_sFound.abArgs0[i], i + 1) << "cut " << k;
        } else if (g_sFound.wCount == 1) {
            EXPECT_EQ(g_sFound.abCodes[0], 86) << "cut " << k;
        } else {
            EXPECT_EQ(g_sFound.wCount, 0) << "cut " << k;
        }
    }
    std::printf("clearing cut points tried: %zu of %llu writes\n", alCuts.size(),
                static_cast<unsigned long long>(lWrites));
}

}  // namespace
