// The system tick: counting, countdowns, periodic work, the main-loop
// watchdog, delays and stopwatches.
#include <gtest/gtest.h>

#include <string>

#include "executive/main_loop.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "harness/time_board.h"

namespace {

TEST(SystemTick, CountsMillisecondsAndHalfSeconds) {
    harness::TimeBoard t;
    t.Start();
    t.RunMs(1500);
    EXPECT_EQ(fw::lGetTickCount(), 1500u);
    EXPECT_EQ(fw::dGetCoarseTick(), 3u);
    EXPECT_EQ(fw::dGetCoarseTickHalf(), 1u);
}

TEST(SystemTick, CountdownsRunDownToZeroAndStay) {
    harness::TimeBoard t;
    t.Start();
    fw::SetTickCountdown1(5);
    fw::SetTickCountdown2(300);
    fw::SetTickCountdown4(2);
    fw::SetHalfSecondCountdown(fw::HALF_SECOND_COUNTDOWN_ENCLOSURE, 3);
    t.RunMs(3);
    EXPECT_EQ(fw::bGetTickCountdown1(), 2);
    EXPECT_EQ(fw::wGetTickCountdown2(), 297);
    EXPECT_EQ(fw::wGetTickCountdown4(), 0);
    t.RunMs(1000);
    EXPECT_EQ(fw::bGetTickCountdown1(), 0);
    EXPECT_EQ(fw::wGetTickCountdown2(), 0);
    EXPECT_EQ(fw::bGetHalfSecondCountdown(fw::HALF_SECOND_COUNTDOWN_ENCLOSURE), 1);
    EXPECT_EQ(fw::bGetHalfSecondCountdown(fw::HALF_SECOND_COUNTDOWNS), 0);   // out of range
}

// The 64-bit countdown raises work pending once when it runs out; the
// I2C bus 1 half-second countdown raises its work flag.
TEST(SystemTick, CountdownsThatRaiseWork) {
    harness::TimeBoard t;
    t.Start();
    fw::SetLongCountdown(10);
    fw::SetHalfSecondCountdown(fw::HALF_SECOND_COUNTDOWN_I2C1, 2);
    t.RunMs(10);
    fw::SetWorkPending(fw::FALSE);
    t.RunMs(1);
    EXPECT_EQ(fw::lGetLongCountdown(), 0u);
    EXPECT_EQ(fw::fGetWorkPending(), fw::TRUE);
    fw::SetWorkPending(fw::FALSE);
    t.RunMs(1);
    EXPECT_EQ(fw::fGetWorkPending(), fw::FALSE);   // once only
    EXPECT_EQ(fw::fGetI2cBus1Work(), fw::FALSE);
    t.RunMs(1000);
    EXPECT_EQ(fw::fGetI2cBus1Work(), fw::TRUE);
}

TEST(SystemTick, BackgroundPassIsAskedForAtLeastEvery50Ms) {
    harness::TimeBoard t;
    t.Start();
    for (int i = 0; i < 5; ++i) {
        fw::SetWorkPending(fw::FALSE);
        t.RunMs(50);
        EXPECT_EQ(fw::fGetWorkPending(), fw::TRUE);
    }
}

TEST(SystemTick, DelaysAdvanceTimeByWhatIsAsked) {
    harness::TimeBoard t;
    t.Start();
    const uint64_t lBoard = t.board.clock().Now();
    fw::SpinDelayUs(250);
    fw::SpinDelayMs(3);
    EXPECT_EQ(t.board.clock().Now() - lBoard, 3'250'000u);
    const uint64_t lTick = fw::lGetTickCount();
    EXPECT_EQ(t.board.RunOnCpu([] { fw::DelaySeconds(2); }), sim::StopKind::Finished);
    EXPECT_GE(fw::lGetTickCount() - lTick, 2000u);
    EXPECT_LE(fw::lGetTickCount() - lTick, 2001u);
}

TEST(SystemTick, StopwatchesMeasureTimerOneCounts) {
    harness::TimeBoard t;
    t.Start();
    fw::StartStopwatch(3);
    fw::StartStopwatch(16);   // all of them
    fw::SpinDelayUs(10);
    fw::StopStopwatch(3, fw::TRUE);
    const uint32_t dFrozen = fw::dGetStopwatchValue(3);
    EXPECT_GE(dFrozen, 4000u);   // 400 counts per microsecond
    EXPECT_LT(dFrozen, 4400u);
    EXPECT_EQ(fw::fIsStopwatchShown(3), fw::TRUE);
    fw::SpinDelayUs(10);
    fw::StopStopwatch(16, fw::FALSE);
    EXPECT_EQ(fw::dGetStopwatchValue(3), dFrozen);   // frozen stays
    EXPECT_GE(fw::dGetStopwatchValue(5), 8000u);
    fw::ClearStopwatch(16);
    EXPECT_EQ(fw::dGetStopwatchValue(3), 0u);
    EXPECT_EQ(fw::fIsStopwatchShown(5), fw::FALSE);
}

TEST(SystemTick, HighResolutionTimeKeepsCountingOverTimerWraps) {
    harness::TimeBoard t;
    t.Start();
    const uint64_t lStart = fw::lGetHighResolutionTime();
    t.RunMs(30000);   // timer 1 wraps every 10.7 s
    const uint64_t lElapsed = fw::lGetHighResolutionTime() - lStart;
    EXPECT_GE(lElapsed, 30000ull * 400000);
    EXPECT_LT(lElapsed, 30001ull * 400000);
}

TEST(SystemTick, PeriodicWorkFlagsWhileTheMainLoopRuns) {
    harness::TimeBoard t;
    t.StartMainLoop();
    t.RunMs(1000);
    EXPECT_EQ(fw::fGetBatteryWork(), fw::TRUE);
    EXPECT_EQ(fw::fGetDriveServiceWorkA(), fw::FALSE);
    EXPECT_EQ(fw::fGetHostPortWork(1), fw::TRUE);
    t.RunMs(9500);
    EXPECT_EQ(fw::fGetDriveServiceWorkA(), fw::TRUE);
    fw::SetDriveServiceWorkA(fw::FALSE);
    fw::StampTenSecondFlag();
    t.RunMs(1000);
    EXPECT_EQ(fw::fGetDriveServiceWorkA(), fw::FALSE);
}

// Work with a period of its own comes first one period after start and then
// once a period, however soon it was taken.
TEST(SystemTick, PeriodicWorkComesOncePerItsPeriod) {
    harness::TimeBoard t;
    t.StartMainLoop();
    fw::SetDriveServiceWorkB(fw::FALSE);
    t.RunMs(1900);
    EXPECT_EQ(fw::fGetDriveServiceWorkB(), fw::FALSE);
    t.RunMs(200);
    EXPECT_EQ(fw::fGetDriveServiceWorkB(), fw::TRUE);
    fw::SetDriveServiceWorkB(fw::FALSE);
    t.RunMs(1800);
    EXPECT_EQ(fw::fGetDriveServiceWorkB(), fw::FALSE);
    t.RunMs(200);
    EXPECT_EQ(fw::fGetDriveServiceWorkB(), fw::TRUE);

    fw::SetClockReadWork(fw::FALSE);
    t.RunMs(180900 - 4100);
    EXPECT_EQ(fw::fGetClockReadWork(), fw::FALSE);
    t.RunMs(200);
    EXPECT_EQ(fw::fGetClockReadWork(), fw::TRUE);
}

// The watchdog halts a main loop that stops for 25 s and leaves a moving one.
TEST(SystemTick, MainLoopWatchdog) {
    {
        harness::TimeBoard t;
        t.StartMainLoop();
        fw::bMainLoopStage = 7;
        fw::dMainLoopCycles = 100;
        const sim::StopKind e = t.board.RunOnCpu([&] {
            for (int i = 0; i < 24; ++i) {
                fw::SpinDelayMs(1000);
                ++fw::dMainLoopCycles;
            }
            fw::SpinDelayMs(60000);   // frozen from here
        });
        EXPECT_EQ(e, sim::StopKind::Halt);
        EXPECT_NE(t.board.ConsoleText().find("E:Halt"), std::string::npos);
        EXPECT_GE(fw::lGetTickCount(), 24000u + 25000u);
        EXPECT_LT(fw::lGetTickCount(), 24000u + 26000u);
    }
    {
        harness::TimeBoard t;
        t.StartMainLoop();
        const sim::StopKind e = t.board.RunOnCpu([] {
            for (int i = 0; i < 20000; ++i) {   // 20 minutes
                fw::SpinDelayMs(60);
                ++fw::dMainLoopCycles;
            }
        });
        EXPECT_EQ(e, sim::StopKind::Finished);
    }
}

}  // namespace
