// Start of day against the NVRAM: a first start formats it and logs the
// reset, later starts log how the controller went down, and a lost battery
// stops the start.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "config/nvram_layout.h"
#include "config/nvram_records.h"
#include "eventlog/event_log.h"
#include "executive/startup.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "platform/flash_update.h"
#include "sim/board.h"
#include "sim/flash.h"
#include "sim/rtc.h"

namespace {

constexpr uint64_t kSecond = 1'000'000'000ull;

bool InitializationComplete() { return fw::fIsInitializationComplete() == fw::TRUE; }

void BootToMainLoop(sim::Board& board) {
    board.SetResetEntry(&fw::ControllerEntry);
    board.Boot();
    ASSERT_EQ(board.RunUntil(InitializationComplete, 120 * kSecond), sim::StopKind::Running);
}

std::vector<uint8_t> LoggedCodes() {
    uint16_t wCount, wNext;
    fw::GetEventLogPosition(&wCount, &wNext);
    std::vector<uint8_t> ab;
    for (uint16_t i = 0; i < wCount; ++i) ab.push_back(fw::psGetEventLogEntry(i)->bCode);
    return ab;
}

// The codes logged from position wFrom on, up to the controller's self-test.
std::vector<uint8_t> StartEvents(size_t dFrom) {
    std::vector<uint8_t> ab = LoggedCodes();
    std::vector<uint8_t> abStart;
    for (size_t i = dFrom; i < ab.size() && ab[i] != 82; ++i) abStart.push_back(ab[i]);
    return abStart;
}

TEST(NvramStartup, FirstStartFormatsLaterStartsLogHowTheControllerWentDown) {
    sim::Board board;
    BootToMainLoop(board);
    const uint8_t* pb = board.nvram().Data();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(pb), 8), "0005BXQ1");
    EXPECT_EQ(fw::dGetNvramBootCount(), 1u);
    EXPECT_EQ(StartEvents(0), (std::vector<uint8_t>{81, 84}));   // nothing saved yet to date a power-off
    fw::DATE_TIME sFirstStart;
    std::memcpy(&sFirstStart, pb + 0x18, sizeof(sFirstStart));
    EXPECT_EQ(sFirstStart.wYear, 2025);

    // Power off and on: the power-off is dated by the last statistics save.
    const size_t dBefore = LoggedCodes().size();
    fw::DATE_TIME sSaved;
    fw::GetNvramStatisticsStamp(&sSaved);
    BootToMainLoop(board);
    EXPECT_EQ(StartEvents(dBefore), (std::vector<uint8_t>{80, 81}));
    EXPECT_EQ(std::memcmp(&fw::psGetEventLogEntry(uint16_t(dBefore))->sTimeStamp, &sSaved, sizeof(sSaved)), 0);
    EXPECT_EQ(fw::dGetNvramBootCount(), 2u);

    // After an orderly reset only the power-on is logged.
    fw::PostEvent(87);
    const size_t dAfterReset = LoggedCodes().size();
    BootToMainLoop(board);
    EXPECT_EQ(StartEvents(dAfterReset), (std::vector<uint8_t>{81}));
}

TEST(NvramStartup, LostBatteryWithoutClockStopsWithWarning) {
    sim::Board board;
    BootToMainLoop(board);
    board.nvram().BatteryLost();
    board.rtc().Invalidate();
    board.ClearConsoleText();
    board.Boot();
    EXPECT_EQ(board.RunFor(10 * kSecond), sim::StopKind::Idle);
    EXPECT_NE(board.ConsoleText().find("\r\n*************** WARNING ******************\r\n"
                                       "\r\nInitial time and date has not been set OR \r\n"
                                       "\r\n\r\nInvalid NVRAM Battery! Please Replace\r\n\r\n"),
              std::string::npos)
        << board.ConsoleText();
}

TEST(NvramStartup, LostBatteryWithClockFormatsAgain) {
    sim::Board board;
    BootToMainLoop(board);
    board.nvram().BatteryLost();
    BootToMainLoop(board);
    // The WWN the board takes anew gives the onboard expander a new SAS
    // address: its SEEPROM is written again (155).
    EXPECT_EQ(StartEvents(0), (std::vector<uint8_t>{81, 84, 155}));
    EXPECT_EQ(fw::dGetNvramBootCount(), 1u);
}

// The flash starting an older controller image than the board had is an
// update lost: logged once, and said on the console.  A new board and an
// ordinary restart, before and after an update, log nothing of it.
std::vector<uint8_t> g_update;
uint8_t g_bUpdated = 0;
void InstallTheUpdate() { g_bUpdated = fw::bProgramFlash(g_update.data(), fw::FALSE); }

TEST(NvramStartup, AnUpdateTheFlashLostIsLoggedOnce) {
    constexpr uint8_t kLost = 179;
    constexpr const char* kLine = "Controller Firmware Update Lost, Older Image Started";
    sim::Board board;
    const std::vector<uint8_t> factory = board.flash().Contents();
    auto lost = [&] {
        const std::vector<uint8_t> ab = LoggedCodes();
        return std::count(ab.begin(), ab.end(), kLost);
    };
    auto bootAndSee = [&](const char* pszWhen, long lLogged, bool fLine) {
        SCOPED_TRACE(pszWhen);
        board.ClearConsoleText();
        ASSERT_NO_FATAL_FAILURE(BootToMainLoop(board));
        EXPECT_EQ(lost(), lLogged);
        EXPECT_EQ(board.ConsoleText().find(kLine) != std::string::npos, fLine) << board.ConsoleText();
    };
    ASSERT_NO_FATAL_FAILURE(bootAndSee("new board", 0, false));
    ASSERT_NO_FATAL_FAILURE(bootAndSee("restart", 0, false));

    g_update = sim::Flash::BuildImage(4096, 7);
    board.SetResetEntry(InstallTheUpdate);
    board.Boot();
    board.RunFor(60 * kSecond);
    ASSERT_EQ(g_bUpdated, fw::STATUS_OK);
    ASSERT_EQ(board.flash().BootSlot(), 1);
    ASSERT_NO_FATAL_FAILURE(bootAndSee("the update started", 0, false));
    ASSERT_NO_FATAL_FAILURE(bootAndSee("restart on the update", 0, false));

    board.flash().LoadContents(factory);
    ASSERT_NO_FATAL_FAILURE(bootAndSee("the factory image again", 1, true));
    const fw::EVENT_LOG_ENTRY* psEntry = nullptr;
    for (uint16_t i = 0; i < LoggedCodes().size(); ++i) {
        if (fw::psGetEventLogEntry(i)->bCode == kLost) psEntry = fw::psGetEventLogEntry(i);
    }
    ASSERT_NE(psEntry, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(psEntry->abArgs, psEntry->abArgs + 8),
              (std::vector<uint8_t>{2, 0, 0, 0, 1, 0, 0, 0}));   // the sequence recorded, the one found
    ASSERT_NO_FATAL_FAILURE(bootAndSee("restart on the factory image", 1, false));
}

}  // namespace
