// The main-loop watchdog of the tick on a whole controller: a main loop the
// board holds still is halted after 25 s; a healthy one runs on.
#include <gtest/gtest.h>

#include <string>

#include "executive/startup.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "sim/board.h"

namespace {

constexpr uint64_t kSecond = 1'000'000'000ull;

bool InitializationComplete() { return fw::fIsInitializationComplete() == fw::TRUE; }

void BootToMainLoop(sim::Board& board) {
    board.SetResetEntry(&fw::ControllerEntry);
    board.Boot();
    ASSERT_EQ(board.RunUntil(InitializationComplete, 120 * kSecond), sim::StopKind::Running);
}

TEST(MainLoopWatchdog, HaltsAMainLoopHeldStillFor25Seconds) {
    sim::Board board;
    BootToMainLoop(board);
    ASSERT_EQ(board.RunFor(30 * kSecond), sim::StopKind::Running);
    // From the next poll on, the main loop never gets past it; interrupts
    // still come.
    uint64_t lFrozenAt = 0;
    board.pollHook = [&] {
        lFrozenAt = fw::lGetTickCount();
        for (;;) board.Delay(1'000'000);
    };
    EXPECT_EQ(board.RunFor(60 * kSecond), sim::StopKind::Halt);
    EXPECT_NE(board.ConsoleText().find("\r\n\r\n\r\nE:Halt\r\n\r\n\r\n"), std::string::npos);
    const uint64_t lHeld = fw::lGetTickCount() - lFrozenAt;
    EXPECT_GE(lHeld, 24500u);
    EXPECT_LE(lHeld, 26000u);
}

TEST(MainLoopWatchdog, LeavesAHealthyControllerRunning) {
    sim::Board board;
    BootToMainLoop(board);
    EXPECT_EQ(board.RunFor(1800 * kSecond), sim::StopKind::Running);
    EXPECT_EQ(board.ConsoleText().find("E:Halt"), std::string::npos);
}

}  // namespace
