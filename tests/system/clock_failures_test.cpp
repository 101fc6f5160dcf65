// Start-up against the real-time clock and its I2C bus: the exact console
// transcripts of the failure paths, and a date set at run time that a
// restart reads back from the clock.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "eventlog/event_log.h"
#include "executive/date_time.h"
#include "executive/startup.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "sim/board.h"
#include "sim/rtc.h"

namespace {

constexpr uint64_t kSecond = 1'000'000'000ull;
const std::string kBringUp = "IOP FPGA Version: 0x0112\r\nHardware Version: 0x0003\r\nInitializing I2C Bus 1............";

bool InitializationComplete() { return fw::fIsInitializationComplete() == fw::TRUE; }

// Boots and runs to the first main-loop cycle.
void BootToMainLoop(sim::Board& board) {
    board.SetResetEntry(&fw::ControllerEntry);
    board.Boot();
    ASSERT_EQ(board.RunUntil(InitializationComplete, 120 * kSecond), sim::StopKind::Running);
    ASSERT_TRUE(InitializationComplete());
}

TEST(ClockFailures, StuckI2cBus1FailsBringUpAndIdles) {
    sim::BoardConfig config;
    config.i2cFault[1] = true;
    sim::Board board(config);
    board.SetResetEntry(&fw::ControllerEntry);
    board.Boot();
    EXPECT_EQ(board.RunFor(10 * kSecond), sim::StopKind::Idle);
    EXPECT_EQ(board.ConsoleText(), kBringUp + "Fail\r\n");
}

TEST(ClockFailures, ClockWithoutValidTimeStopsStartUp) {
    sim::Board board;
    BootToMainLoop(board);   // a first start formats the NVRAM
    board.rtc().Invalidate();
    board.ClearConsoleText();
    board.Boot();
    EXPECT_EQ(board.RunFor(10 * kSecond), sim::StopKind::Idle);
    EXPECT_EQ(board.ConsoleText(), kBringUp + "Pass\r\n\r\n\r\nInvalid Timestamp! Please Set Date and Time\r\n\r\n");
}

// With fresh NVRAM and no valid time the battery is blamed first.
TEST(ClockFailures, ClockWithoutValidTimeOnFreshNvramBlamesTheBattery) {
    sim::Board board;
    board.rtc().Invalidate();
    board.SetResetEntry(&fw::ControllerEntry);
    board.Boot();
    EXPECT_EQ(board.RunFor(10 * kSecond), sim::StopKind::Idle);
    EXPECT_EQ(board.ConsoleText(), kBringUp +
                                       "Pass\r\n"
                                       "\r\n*************** WARNING ******************\r\n"
                                       "\r\nInitial time and date has not been set OR \r\n"
                                       "\r\n\r\nInvalid NVRAM Battery! Please Replace\r\n\r\n");
}

TEST(ClockFailures, DateSetAtRunTimeIsReadBackAfterARestart) {
    sim::Board board;
    board.rtc().Set({2025, 1, 6, 9, 0, 0});
    BootToMainLoop(board);
    const fw::DATE_TIME sSet{2029, 11, 30, 0, 22, 15, 0};
    ASSERT_EQ(fw::bSetDateTime(&sSet), fw::STATUS_OK);
    EXPECT_EQ(board.RunFor(kSecond), sim::StopKind::Running);
    const sim::RtcTime r = board.rtc().Now();
    EXPECT_EQ(r.year, 2029);
    EXPECT_EQ(r.month, 11);
    EXPECT_EQ(r.day, 30);
    EXPECT_EQ(r.hour, 22);
    EXPECT_EQ(r.minute, 15);
    board.ClearConsoleText();
    board.Boot();
    ASSERT_EQ(board.RunUntil(InitializationComplete, 120 * kSecond), sim::StopKind::Running);
    EXPECT_NE(board.ConsoleText().find("\r\nFri Nov 30 2029 22:15:"), std::string::npos) << board.ConsoleText();
}

// Start-up counts the calendar on from the clock's reading at its beginning;
// the main loop starts from the clock's own time.  The board of the
// controller program skips start-up's waits (some 50 s of board time): its
// clock counts them as the tick does, so the main loop's first date is not
// earlier than the dates start-up printed.
TEST(ClockFailures, TheMainLoopStartsFromTheClocksTimeNotFromStartUpsCount) {
    sim::BoardConfig config;
    config.virtualTime = false;
    sim::Board board(config);
    board.FollowWallClock(false);
    board.rtc().Set({2031, 5, 5, 12, 0, 0});
    board.SetResetEntry(&fw::ControllerEntry);
    board.Boot();
    ASSERT_EQ(board.RunUntil([&] { return board.ConsoleText().find("Initialization Complete") != std::string::npos; },
                             120 * kSecond),
              sim::StopKind::Running);
    const uint64_t boardSeconds = board.clock().Now() / kSecond;
    ASSERT_GT(boardSeconds, 30u);
    const std::string text = board.ConsoleText();
    const size_t complete = text.find("Initialization Complete");
    const size_t line = text.rfind('\n', complete) + 1;
    EXPECT_EQ(text.substr(line, 17), "Mon May 05 2031 1") << text.substr(line);
    // The seconds the board counted, and at most the few of the host's this
    // test takes on top.
    const int seconds = std::stoi(text.substr(line + 19, 2)) * 60 + std::stoi(text.substr(line + 22, 2));
    EXPECT_GE(seconds, static_cast<int>(boardSeconds) - 1) << text.substr(line);
    EXPECT_LE(seconds, static_cast<int>(boardSeconds) + 10) << text.substr(line);
}

// The calendar follows the tick between readings of the clock.  A tick
// that lost time against the clock (here: the clock set on behind the
// firmware's back, as a tick the processor never took would leave it) is
// said at the next reading, on the console and in
// the event log, and the reading sets the calendar right; a second or less
// is the clock's own grain and goes unsaid.
TEST(ClockFailures, ACalendarBehindTheClockIsSaidAtTheNextReading) {
    sim::Board board;
    BootToMainLoop(board);
    const auto Behind = [&board](uint64_t seconds) {
        board.rtc().Set(sim::Rtc::FromSeconds(sim::Rtc::ToSeconds(board.rtc().Now()) + seconds));
        board.ClearConsoleText();
        fw::SetClockReadWork(fw::TRUE);
        fw::SetWorkPending(fw::TRUE);
        EXPECT_EQ(board.RunFor(kSecond), sim::StopKind::Running);
    };
    uint16_t wCount = 0, wNext = 0;
    fw::GetEventLogPosition(&wCount, &wNext);
    const uint16_t wBefore = wCount;
    Behind(1);
    EXPECT_EQ(board.ConsoleText().find("Behind Real Time Clock"), std::string::npos) << board.ConsoleText();
    Behind(7);
    EXPECT_NE(board.ConsoleText().find("Controller Clock 7 Seconds Behind Real Time Clock\r\n"), std::string::npos)
        << board.ConsoleText();
    fw::GetEventLogPosition(&wCount, &wNext);
    std::vector<const fw::EVENT_LOG_ENTRY*> said;
    for (uint16_t w = wBefore; w < wCount; ++w) {
        if (fw::psGetEventLogEntry(w)->bCode == 200) said.push_back(fw::psGetEventLogEntry(w));
    }
    ASSERT_EQ(said.size(), 1u);
    EXPECT_EQ(said[0]->abArgs[3], 7);
    // Set right: the calendar reads the clock's time now, to its grain.
    fw::DATE_TIME sNow;
    ASSERT_EQ(fw::GetDateTime(&sNow), fw::STATUS_OK);
    const sim::RtcTime r = board.rtc().Now();
    const int64_t calendar = (sNow.bHour * 60 + sNow.bMinute) * 60 + sNow.bSecond;
    const int64_t clock = (r.hour * 60 + r.minute) * 60 + r.second;
    EXPECT_LE(std::abs(clock - calendar), 1) << "calendar " << calendar << " clock " << clock;
}

}  // namespace
