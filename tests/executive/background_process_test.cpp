// The timed background jobs: periods, due times, the delay limits, the
// table limits and the find rules.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness/dispatch_board.h"
#include "executive/background_process.h"
#include "executive/tick.h"

namespace {

using harness::DispatchBoard;

std::vector<uint64_t> s_alRuns;
std::vector<uint16_t> s_awRunIds;

void RecordRun(uint16_t wId, uint16_t, uint16_t, fw::BACKGROUND_PROCESS*) {
    s_alRuns.push_back(fw::lGetTickCount());
    s_awRunIds.push_back(wId);
}

void RecordAndRearm(uint16_t wId, uint16_t wArg1, uint16_t wArg2, fw::BACKGROUND_PROCESS* ps) {
    RecordRun(wId, wArg1, wArg2, ps);
    fw::bSetBackgroundProcessDelay(wId, wArg1, 0, 0, 0, 0);
}

void Nothing(uint16_t, uint16_t, uint16_t, fw::BACKGROUND_PROCESS*) {}

TEST(BackgroundProcess, JobsRunAtTheirPeriodsThroughTheBackgroundPass) {
    DispatchBoard b;
    b.StartMainLoop();
    s_alRuns.clear();
    uint16_t wFast = 0, wSlow = 0;
    ASSERT_EQ(fw::bCreateBackgroundProcess(1, 0, &RecordAndRearm, &wFast, 100, 0), fw::STATUS_OK);
    ASSERT_EQ(fw::bCreateBackgroundProcess(2, 0, &RecordAndRearm, &wSlow, 250, 0), fw::STATUS_OK);
    fw::bSetBackgroundProcessDelay(wFast, 100, 0, 0, 0, 0);
    fw::bSetBackgroundProcessDelay(wSlow, 250, 0, 0, 0, 0);
    const uint64_t lStart = fw::lGetTickCount();
    s_awRunIds.clear();
    for (int i = 0; i < 1000; ++i) {
        b.RunMs(1);
        fw::RunBackgroundServices();
    }
    std::vector<uint64_t> alFast, alSlow;
    for (size_t i = 0; i < s_alRuns.size(); ++i) {
        (s_awRunIds[i] == wFast ? alFast : alSlow).push_back(s_alRuns[i] - lStart);
    }
    EXPECT_EQ(alFast, (std::vector<uint64_t>{100, 200, 300, 400, 500, 600, 700, 800, 900, 1000}));
    EXPECT_EQ(alSlow, (std::vector<uint64_t>{250, 500, 750, 1000}));
}

TEST(BackgroundProcess, AJobDueExactlyNowRunsAndOneMillisecondEarlierDoesNot) {
    const struct {
        uint32_t dWaitMs;
        size_t nRuns;
    } cases[] = {{49, 0}, {50, 1}, {51, 1}};
    for (const auto& c : cases) {
        DispatchBoard b;
        s_alRuns.clear();
        uint16_t wId = 0;
        fw::bCreateBackgroundProcess(3, 0, &RecordRun, &wId, 0, 0);
        fw::bSetBackgroundProcessDelay(wId, 50, 0, 0, 0, 0);
        b.RunMs(c.dWaitMs);
        fw::RunBackgroundProcesses();
        EXPECT_EQ(s_alRuns.size(), c.nRuns) << c.dWaitMs;
    }
}

TEST(BackgroundProcess, DelayLimits) {
    const struct {
        uint16_t wMs;
        uint8_t bSeconds, bMinutes, bHours;
        uint16_t wDays;
        uint8_t bResult;
        uint64_t lPeriod;
    } cases[] = {
        {0, 0, 0, 0, 0, 0, 7},
        {999, 59, 59, 23, 31, fw::STATUS_OK, 2764799999ull},
        {1000, 0, 0, 0, 0, 0, 7},
        {0, 60, 0, 0, 0, 0, 7},
        {0, 0, 60, 0, 0, 0, 7},
        {0, 0, 0, 24, 0, 0, 7},
        {0, 0, 0, 0, 32, 0, 7},
        {1, 0, 0, 0, 0, fw::STATUS_OK, 1},
        {0, 1, 2, 3, 4, fw::STATUS_OK, 4 * 86400000ull + 3 * 3600000ull + 2 * 60000ull + 1000ull},
    };
    for (const auto& c : cases) {
        DispatchBoard b;
        uint16_t wId = 0;
        fw::bCreateBackgroundProcess(3, 0, &Nothing, &wId, 0, 0);
        fw::bSetBackgroundProcessDelay(wId, 7, 0, 0, 0, 0);
        EXPECT_EQ(fw::bSetBackgroundProcessDelay(wId, c.wMs, c.bSeconds, c.bMinutes, c.bHours, c.wDays),
                  c.bResult);
        EXPECT_EQ(fw::psGetBackgroundProcess(wId)->lPeriod, c.lPeriod);
    }
    DispatchBoard b;
    EXPECT_EQ(fw::bSetBackgroundProcessDelay(fw::BACKGROUND_PROCESS_COUNT, 1, 0, 0, 0, 0), 0);
}

TEST(BackgroundProcess, CountdownIsArmedForTheEarliestDueJob) {
    DispatchBoard b;
    uint16_t wA = 0, wB = 0, wC = 0;
    fw::bCreateBackgroundProcess(1, 0, &Nothing, &wA, 0, 0);
    fw::bCreateBackgroundProcess(1, 0, &Nothing, &wB, 0, 0);
    fw::bSetBackgroundProcessDelay(wA, 0, 5, 0, 0, 0);
    fw::bSetBackgroundProcessDelay(wB, 300, 0, 0, 0, 0);
    EXPECT_EQ(fw::lGetLongCountdown(), 300u);
    // A job without a period is due at once.
    fw::bCreateBackgroundProcess(1, 0, &Nothing, &wC, 0, 0);
    fw::DeleteBackgroundProcess(wB);
    EXPECT_EQ(fw::lGetLongCountdown(), 2u);
}

TEST(BackgroundProcess, TableLimitsAndFindRules) {
    DispatchBoard b;
    uint16_t wId = 0;
    for (uint16_t i = 0; i < fw::BACKGROUND_PROCESS_COUNT; ++i) {
        ASSERT_EQ(fw::bCreateBackgroundProcess(static_cast<uint8_t>(i % 3 + 1), static_cast<uint8_t>(i),
                                               &Nothing, &wId, i, 0),
                  fw::STATUS_OK);
        EXPECT_EQ(wId, i);
    }
    wId = 77;
    EXPECT_EQ(fw::bCreateBackgroundProcess(4, 0, &Nothing, &wId, 0, 0), fw::STATUS_RETRY);
    EXPECT_EQ(wId, 77u);
    EXPECT_EQ(fw::wGetActiveBackgroundProcessCount(), 64u);

    // Deleting frees the lowest id for the next job; a free job deletes to nothing.
    fw::DeleteBackgroundProcess(10);
    fw::DeleteBackgroundProcess(10);
    EXPECT_EQ(fw::wGetActiveBackgroundProcessCount(), 63u);
    EXPECT_EQ(fw::bCreateBackgroundProcess(4, 9, &Nothing, &wId, 33, 0), fw::STATUS_OK);
    EXPECT_EQ(wId, 10u);

    // Type 1 has jobs 0, 3, ..., 63: the action is the highest id's, the find the lowest.
    EXPECT_EQ(fw::bGetBackgroundProcessAction(1), 63);
    EXPECT_EQ(fw::fFindBackgroundProcessOfType(1, &wId), fw::TRUE);
    EXPECT_EQ(wId, 0u);
    EXPECT_EQ(fw::fFindBackgroundProcessOfType(5, &wId), fw::FALSE);
    EXPECT_EQ(wId, fw::BACKGROUND_PROCESS_NONE);
    EXPECT_EQ(fw::bGetBackgroundProcessAction(5), 0);
    EXPECT_EQ(fw::fIsBackgroundProcessTypeActive(4), fw::TRUE);
    EXPECT_EQ(fw::fFindBackgroundProcessByArg(33, &wId), fw::TRUE);   // type 4 only
    EXPECT_EQ(wId, 10u);
    EXPECT_EQ(fw::fFindBackgroundProcessByArg(34, &wId), fw::FALSE);   // job 34 is type 2

    fw::DeleteBackgroundProcessesOfType(1);
    EXPECT_EQ(fw::fIsBackgroundProcessTypeActive(1), fw::FALSE);
    EXPECT_EQ(fw::wGetActiveBackgroundProcessCount(), 64u - 22u);
}

// A callback may delete its own job and create another.
void ReplaceSelf(uint16_t wId, uint16_t, uint16_t, fw::BACKGROUND_PROCESS*) {
    s_awRunIds.push_back(wId);
    fw::DeleteBackgroundProcess(wId);
    uint16_t wNew = 0;
    fw::bCreateBackgroundProcess(6, 0, &RecordRun, &wNew, 0, 0);
}

TEST(BackgroundProcess, CallbackMayReplaceItsOwnJob) {
    DispatchBoard b;
    s_awRunIds.clear();
    uint16_t wId = 0;
    fw::bCreateBackgroundProcess(5, 0, &ReplaceSelf, &wId, 0, 0);
    s_alRuns.clear();
    fw::RunBackgroundProcesses();
    EXPECT_EQ(s_awRunIds, (std::vector<uint16_t>{0}));
    EXPECT_EQ(fw::wGetActiveBackgroundProcessCount(), 1u);
    EXPECT_EQ(fw::psGetBackgroundProcess(0)->bType, 6);
    // The new job took the freed id; it runs on the next call.
    fw::RunBackgroundProcesses();
    EXPECT_EQ(s_alRuns.size(), 1u);
}

TEST(BackgroundProcess, ListShowsEveryActiveJob) {
    DispatchBoard b;
    uint16_t wId = 0;
    fw::bCreateBackgroundProcess(1, 0, &Nothing, &wId, 0, 0);
    fw::bCreateBackgroundProcess(3, 0, &Nothing, &wId, 0, 0);
    fw::bCreateBackgroundProcess(2, 0, &Nothing, &wId, 0, 0);
    fw::DeleteBackgroundProcess(1);
    fw::bSetBackgroundProcessDelay(2, 0, 30, 0, 0, 0);
    b.board().ClearConsoleText();
    fw::ShowBackgroundProcessList();
    const std::string s = b.board().ConsoleText();
    EXPECT_EQ(s.find("\r\n\r\nDumping contents of background process list\r\n\r\n"
                     "ID  ProcType  Flags   Creation Time              Time Since Last Wakeup   "
                     "Time to wakeup \r\n0    APM      0x0013  "),
              0u);
    EXPECT_NE(s.find("\r\n2       2      0x0013  "), std::string::npos);
    EXPECT_EQ(s.find("\r\n1 "), std::string::npos);   // the deleted job
    EXPECT_NE(s.find("    0\r\n2"), std::string::npos);   // job 0 is due
}

}  // namespace
