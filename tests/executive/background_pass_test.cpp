// The background pass: the fixed order of its services, the hold flag, the
// work-pending rule, the restarts and their bound, and the shutdown drain.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "config/nvram_tables.h"
#include "console/console_menu.h"
#include "harness/dispatch_board.h"
#include "executive/background_pass.h"
#include "executive/kernel_queue.h"
#include "executive/main_loop.h"
#include "executive/stop.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/work_flags.h"
#include "fc/fc_driver.h"

namespace {

using harness::DispatchBoard;

// Services that run in every pass without asking for another.
const std::vector<uint8_t> EVERY_PASS = {74, 75, 80, 81};

std::vector<uint8_t> Trace() {
    uint8_t ab[fw::BACKGROUND_TRACE_SIZE];
    const uint32_t d = fw::dCopyBackgroundStepTrace(ab, sizeof ab);
    return std::vector<uint8_t>(ab, ab + (d < sizeof ab ? d : sizeof ab));
}

// Runs a pass for the services already pending so that the next pass
// starts from a quiet controller, and forgets its trace.
void Settle() {
    fw::RunBackgroundServices();
    fw::RunBackgroundServices();
    fw::ClearBackgroundStepTrace();
}

// Merges the every-pass services into an ascending list of steps.
std::vector<uint8_t> WithEveryPass(std::vector<uint8_t> ab) {
    ab.insert(ab.end(), EVERY_PASS.begin(), EVERY_PASS.end());
    std::sort(ab.begin(), ab.end());
    return ab;
}

struct WorkCase {
    void (*pfnRaise)();
    uint8_t bStep;
    bool fHoldable;
};

// Services that run once and clear their own work.  Drive-side discovery
// (step 1) and the debug dump (step 54) are left out: they are state
// machines that keep their work raised over several passes; so is the host
// link status display (step 72), whose lines keep the console's drain
// (step 43) busy for passes after it.
const WorkCase WORK[] = {
    {[] { fw::SetI2cBus1Work(fw::TRUE); }, 26, false},
    {[] { fw::RequestBackEndCompletion(); }, 29, true},
    {[] { fw::RequestConfigurationService(); }, 30, true},
    {[] { fw::RequestStartOfDayService(); }, 31, true},
    {[] { fw::SetConsoleLogPending(fw::TRUE); }, 43, false},
    {[] { fw::SetConsoleMenuWork(fw::TRUE); }, 46, false},
    {[] { fw::SetTimeSyncWork(fw::TRUE); }, 47, true},
    {[] { fw::SetDriveServiceWorkA(fw::TRUE); }, 52, true},
    {[] { fw::SetDriveServiceWorkB(fw::TRUE); }, 53, true},
    {[] { fw::SetHostTargetWork(fw::TRUE); }, 55, true},
    {[] { fw::SetClockReadWork(fw::TRUE); }, 57, false},
    {[] { fw::SetI2cBus0Work(fw::TRUE); }, 58, false},
    {[] { fw::SetI2cBus0PollWork(fw::TRUE); }, 59, false},
    {[] { fw::SetI2cBus2Work(fw::TRUE); }, 60, false},
    {[] { fw::SetI2cBus2PollWork(fw::TRUE); }, 61, false},
    {[] { fw::SetTemperatureWork(fw::TRUE); }, 62, false},
    {[] { fw::SetSasMuxWork(fw::TRUE); }, 76, false},
    {[] { fw::SetEmbeddedModuleWork(fw::TRUE); }, 78, false},
    {[] { fw::SetBatteryWork(fw::TRUE); }, 94, false},
};

void RaiseAll() {
    for (const WorkCase& c : WORK) c.pfnRaise();
}

std::vector<uint8_t> Steps(bool fHoldable) {
    std::vector<uint8_t> ab;
    for (const WorkCase& c : WORK) {
        if (c.fHoldable == fHoldable) ab.push_back(c.bStep);
    }
    return ab;
}

TEST(BackgroundPass, EveryRaisedServiceRunsOnceInTheNextPassInStepOrder) {
    DispatchBoard b;
    b.StartMainLoop();
    Settle();
    RaiseAll();
    ASSERT_EQ(fw::fGetWorkPending(), fw::TRUE);
    fw::RunBackgroundServices();
    std::vector<uint8_t> abAll = Steps(true);
    const std::vector<uint8_t> abOthers = Steps(false);
    abAll.insert(abAll.end(), abOthers.begin(), abOthers.end());
    EXPECT_EQ(Trace(), WithEveryPass(abAll));
    // Each service cleared its own work: the pass asked for one more, which
    // finds nothing and lets the main loop skip the pass from then on.
    EXPECT_EQ(fw::fGetWorkPending(), fw::TRUE);
    fw::ClearBackgroundStepTrace();
    fw::RunBackgroundServices();
    EXPECT_EQ(Trace(), EVERY_PASS);
    EXPECT_EQ(fw::fGetWorkPending(), fw::FALSE);
}

TEST(BackgroundPass, HoldSkipsTheHoldableServicesUntilItIsReleased) {
    DispatchBoard b;
    b.StartMainLoop();
    Settle();
    fw::SetBackgroundHold(fw::TRUE);
    RaiseAll();
    fw::RunBackgroundServices();
    EXPECT_EQ(Trace(), WithEveryPass(Steps(false)));
    // Held work stays pending and asks for no pass of its own.
    fw::ClearBackgroundStepTrace();
    fw::RunBackgroundServices();
    EXPECT_EQ(Trace(), EVERY_PASS);
    EXPECT_EQ(fw::wGetConfigurationServiceCount(), 1u);

    // Releasing the hold on a Fibre Channel board asks for a reset of both
    // host loops; with the loops down the requests are dropped (the two
    // services labelled 0, which the pass runs first).
    fw::SetBackgroundHold(fw::FALSE);
    fw::ClearBackgroundStepTrace();
    fw::RunBackgroundServices();
    std::vector<uint8_t> abExpected = WithEveryPass(Steps(true));
    abExpected.insert(abExpected.begin(), {0, 0});
    EXPECT_EQ(Trace(), abExpected);
    EXPECT_EQ(fw::fGetLoopResetRequest(1), fw::FALSE);
}

// A service that restarts the sweep is followed by the services before it
// again; the ones after it wait until it is no longer due.
TEST(BackgroundPass, RestartingServiceRunsTheSweepAgainFromTheFirstGate) {
    DispatchBoard b;
    b.StartMainLoop();
    Settle();
    fw::IncrementParkedEntryCount();
    fw::IncrementParkedEntryCount();
    fw::SetSasDriveWork(fw::TRUE);
    fw::SetI2cBus1Work(fw::TRUE);
    fw::RunBackgroundServices();
    // Discovery keeps its work over passes, so it runs again after each
    // restart.
    std::vector<uint8_t> abExpected = {1, 23, 1, 23, 1, 26};
    abExpected.insert(abExpected.end(), EVERY_PASS.begin(), EVERY_PASS.end());
    EXPECT_EQ(Trace(), abExpected);
    EXPECT_EQ(fw::wGetParkedEntryCount(), 0u);
    EXPECT_EQ(fw::dGetBackgroundRestartLimitCount(), 0u);
}

TEST(BackgroundPass, AStuckRestartingServiceCannotHoldThePassForEver) {
    DispatchBoard b;
    b.StartMainLoop();
    Settle();
    for (int i = 0; i < 100; ++i) fw::IncrementParkedEntryCount();
    fw::SetI2cBus1Work(fw::TRUE);
    fw::RunBackgroundServices();
    // The limit's restarts, then one sweep to the end.
    std::vector<uint8_t> abExpected(fw::BACKGROUND_RESTART_LIMIT + 1, 23);
    abExpected.push_back(26);
    abExpected.insert(abExpected.end(), EVERY_PASS.begin(), EVERY_PASS.end());
    EXPECT_EQ(Trace(), abExpected);
    EXPECT_EQ(fw::wGetParkedEntryCount(), 100u - (fw::BACKGROUND_RESTART_LIMIT + 1));
    EXPECT_EQ(fw::dGetBackgroundRestartLimitCount(), 1u);
    EXPECT_EQ(fw::fGetWorkPending(), fw::TRUE);   // the next pass goes on
}

TEST(BackgroundPass, StepByteNamesTheServiceRunning) {
    DispatchBoard b;
    b.StartMainLoop();
    Settle();
    fw::SetBatteryWork(fw::TRUE);
    fw::RunBackgroundServices();
    EXPECT_EQ(fw::bBackgroundStep, 94);   // the last numbered service that ran
    EXPECT_EQ(fw::bServiceSubStep, 1);
}

// Shutdown: carried out once the journal has drained, or 121 coarse ticks
// after StartShutdown when it does not drain.
TEST(BackgroundPass, ShutdownWaitsForTheJournalAtMostOneHundredTwentyCoarseTicks) {
    struct Case {
        const char* pszName;
        uint32_t dDrainAfterTicks;   // 0: never drains
        uint32_t dStopAtTicks;
    };
    const Case cases[] = {
        {"drains", 20, 20},
        {"never drains", 0, fw::SHUTDOWN_DRAIN_TICKS + 1},
    };
    for (const Case& c : cases) {
        DispatchBoard b;
        b.StartMainLoop();
        b.RunMs(1000);
        // A snapshot bitmap bit in NVRAM keeps the drain open.
        fw::SetNvramBitmapBit(0, fw::TRUE, 5);
        fw::StartShutdown();
        const uint32_t dStart = fw::dGetCoarseTick();
        static uint32_t s_dElapsed;
        static uint32_t s_dDrainAfter;
        s_dElapsed = 0;
        s_dDrainAfter = c.dDrainAfterTicks;
        const sim::StopKind e = b.board().RunOnCpu([dStart] {
            for (;;) {
                s_dElapsed = fw::dGetCoarseTick() - dStart;
                if (s_dDrainAfter != 0 && s_dElapsed >= s_dDrainAfter) fw::ClearNvramBitmap(0);
                fw::RunBackgroundServices();
                ++fw::dMainLoopCycles;   // the main loop's watchdog sees it running
                fw::HwDelayUs(100000);
            }
        });
        EXPECT_EQ(e, sim::StopKind::Shutdown) << c.pszName;
        EXPECT_EQ(s_dElapsed, c.dStopAtTicks) << c.pszName;
    }
}

TEST(BackgroundPass, ShutdownRequestedWithoutStartShutdownIsCarriedOutAtOnce) {
    DispatchBoard b;
    b.StartMainLoop();
    fw::SetNvramBitmapBit(0, fw::TRUE, 5);
    fw::SetShutdownPending(fw::TRUE);
    EXPECT_EQ(b.board().RunOnCpu([] { fw::RunBackgroundServices(); }), sim::StopKind::Shutdown);
}

}  // namespace
