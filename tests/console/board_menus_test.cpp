// The board's menus: the bus performance monitor, the embedded module and
// the production test menu, and the hooks the long tests end through.
#include <gtest/gtest.h>

#include <string>

#include "console/console_menu.h"
#include "console/information_menus.h"
#include "console/menu_tree.h"
#include "console/throughput_test.h"
#include "console_board.h"
#include "eventlog/bus_monitor.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "platform/embedded_module.h"
#include "sim/bus_monitor.h"

namespace {

using consoletest::ConsoleBoard;
using consoletest::kPrompt;

const std::string kAnyKey = "Press any key to continue...\n";
const std::string kPerformanceMenu =
    "\n\nPerformance Monitoring Menu (2-2-15) (C0)\n\n"
    "1.  Enable Performance Monitoring Mode 1\n"
    "2.  Enable Performance Monitoring Mode 2\n"
    "3.  Enable Performance Monitoring Mode 3\n"
    "4.  Enable Performance Monitoring Mode 4\n"
    "5.  Enable Performance Monitoring Mode 5\n"
    "6.  Enable Performance Monitoring Mode 6\n"
    "7.  Enable Performance Monitoring Mode 7\n"
    "8.  Disable Performance Monitoring\n"
    "9.  View Performance Monitoring Statistics\n"
    "10. Run Performance Monitor Test Suite\n"
    "\n0.  Exit\n\n" +
    kPrompt;

class BoardMenus : public ::testing::Test {
protected:
    void SetUp() override {
        c.Boot();
        c.Type("\x05");
    }
    void TearDown() override {
        fw::SetDiagnosticsModeLevel(0);
        fw::SetProductionTestMode(fw::FALSE);
        fw::SetIpcPeerEnabled(fw::FALSE);
        fw::SetRawInputMode(fw::FALSE);
    }
    // A menu opened the way its parent opens it: under the parent's path.
    std::string Open(fw::MENU_FUNCTION pfnMenu, uint64_t lParentPath) {
        c.board.ClearConsoleText();
        fw::psGetMenuState()->lMenuPath = lParentPath;
        pfnMenu();
        c.Settle();
        return consoletest::Lines(c.board.ConsoleText());
    }
    ConsoleBoard c;
};

// The same screens at diagnostics level 0 and at 3.
class BoardMenusAtLevel : public BoardMenus, public ::testing::WithParamInterface<uint8_t> {
protected:
    void SetUp() override {
        BoardMenus::SetUp();
        fw::SetDiagnosticsModeLevel(GetParam());
    }
};
INSTANTIATE_TEST_SUITE_P(Levels, BoardMenusAtLevel, ::testing::Values(uint8_t(0), uint8_t(3)),
                         [](const auto& info) { return "Level" + std::to_string(info.param); });

TEST_P(BoardMenusAtLevel, PerformanceMonitoringModesAndView) {
    EXPECT_EQ(Open(fw::PerformanceMonitoringMenu, 0x122), kPerformanceMenu);
    EXPECT_EQ(c.Enter("3"), "3\r\n\n" + kAnyKey);
    EXPECT_EQ(c.board.busMonitor().mode(), 3);
    EXPECT_EQ(c.Type(" "), kPerformanceMenu);
    const std::string sView = c.Enter("9");
    EXPECT_EQ(sView.rfind("9\r\n\nPerformance Monitor Mode 3\n\nSIdle : ", 0), 0u) << sView;
    c.Type(" ");
    EXPECT_EQ(c.Enter("8"), "8\r\n\n" + kAnyKey);
    EXPECT_EQ(c.board.busMonitor().mode(), 0);
    c.Type(" ");
    EXPECT_EQ(c.Enter("9"), "9\r\n\nPerformance Monitor Disabled\n\n" + kAnyKey);
}

TEST_F(BoardMenus, PerformanceMonitorTestSuiteEndsOnEscapeAfterItsStep) {
    Open(fw::PerformanceMonitoringMenu, 0x122);
    EXPECT_EQ(c.Enter("10"), "10\r\n\n\n\nPerformance Monitoring Test in Progress Press ESC to Quit\n\n");
    EXPECT_EQ(fw::bGetBusMonitorMode(), fw::TRUE);
    c.board.ClearConsoleText();
    c.board.TypeKeys("\x1b");
    c.board.RunUntil([] { return fw::bGetBusMonitorMode() != fw::TRUE; }, 30'000'000'000ull);
    c.Settle();
    const std::string sEnd = consoletest::Lines(c.board.ConsoleText());
    EXPECT_NE(sEnd.find("\nEnd of Performance Monitoring Test\n\n" + kAnyKey), std::string::npos) << sEnd;
    EXPECT_EQ(c.Type(" "), kPerformanceMenu);
}

TEST_F(BoardMenus, EmbeddedModuleMenuFollowsTheDiagnosticsLevel) {
    const std::string kTitle = "\n\nEmbedded Module Support Menu (2-7) (C0)\n\n"
                               "1.  Reset Embedded Module\n"
                               "2.  Enter Embedded Module Menu Mode (Exit with CTRL-W)\n";
    EXPECT_EQ(Open(fw::EmbeddedModuleSupportMenu, 0x127A), kTitle + "\n0.  Exit\n\n" + kPrompt);
    // Option 3 is not offered below level 3.
    EXPECT_EQ(c.Enter("3"), "3\r" + kPrompt);
    fw::SetDiagnosticsModeLevel(3);
    const std::string kLevel3 = kTitle + "3.  Hold Embedded Module In Reset\n\n0.  Exit\n\n" + kPrompt;
    EXPECT_EQ(Open(fw::EmbeddedModuleSupportMenu, 0x127A), kLevel3);
    // No module on this board: holding it changes nothing, but pauses.
    EXPECT_EQ(c.Enter("3"), "3\r\n\n" + kAnyKey);
    EXPECT_EQ(fw::fIsEmbeddedModuleHeldInReset(), fw::FALSE);
    EXPECT_EQ(c.Type(" "), kLevel3);
    EXPECT_EQ(c.Enter("1"), "1\r\n\n" + kAnyKey);
    EXPECT_EQ(fw::fIsEmbeddedModuleHeldInReset(), fw::FALSE);
    c.Type(" ");
    EXPECT_EQ(c.Enter("2"), "2\r\n\n");
    EXPECT_EQ(fw::fIsRawInputMode(), fw::TRUE);
}

TEST_P(BoardMenusAtLevel, ProductionTestMenu) {
    fw::SetProductionTestMode(fw::TRUE);
    const std::string kMenu = "\n\nRZ8Q2T Production Test Menu\n\n1.  Fibre Loopback Test\n2.  Reset Controller\n\n0.  Exit\n\n" +
                              kPrompt;
    EXPECT_EQ(c.Type("\x05"), "\x1b[2J" + kMenu);
    const std::string kFibre = "\n\nFibre Loopback Test Menu\n\n1.  5 Minute Test\n2.  Continuous Test\n\n0.  Exit\n\n" +
                               kPrompt;
    EXPECT_EQ(c.Enter("1"), "1\r\n\n" + kFibre);
    // The production header with its percent bar; the drives refuse the
    // buffer modes they do not have, so the run ends failed.
    const std::string started = c.Enter("1");
    EXPECT_EQ(started.find("1\r\n\n\n\n08 SAS Devices Present: \n"), 0u) << started;
    EXPECT_NE(started.find("\n\n\nController Write/Read Test in Progress, Press ESC to Quit\n\n"
                           "Percent   0...10...20...30...40...50...60...70...80...90...100\nProgress: ."),
              std::string::npos)
        << started;
    c.board.RunUntil([] { return fw::fIsThroughputTestRunning() != fw::TRUE; }, 600'000'000'000ull);
    c.Settle();
    const std::string ended = consoletest::Lines(c.board.ConsoleText());
    const std::string kFailed = "\n\nFibre Loopback Test Failed\n\n" + kAnyKey;
    ASSERT_GE(ended.size(), kFailed.size());
    EXPECT_EQ(ended.substr(ended.size() - kFailed.size()), kFailed);
    EXPECT_EQ(c.Type(" "), kMenu);
    fw::SetIpcPeerEnabled(fw::TRUE);
    c.Enter("0");
    const std::string kPeerMenu =
        "\n\nRZ8Q2T Production Test Menu\n\n1.  Fibre Loopback Test\n2.  Ethernet Loopback Test\n3.  Reset Controller\n\n"
        "0.  Exit\n\n" +
        kPrompt;
    EXPECT_EQ(c.Type("\x05"), "\x1b[2J" + kPeerMenu);
    EXPECT_EQ(c.Enter("2"), "2\r\n\n\nEthernet Initialization in Progess\n\n" + kAnyKey);
    EXPECT_EQ(c.Type(" "), kPeerMenu);
    EXPECT_EQ(c.Enter("0"), "0\r\n\n\x1b[2J");
    EXPECT_EQ(fw::fIsConsoleInputEnabled(), fw::FALSE);
}

TEST_F(BoardMenus, ProductionResetDrainsTheWriteJournalFirst) {
    fw::SetProductionTestMode(fw::TRUE);
    c.Type("\x05");
    c.Enter("2");
    EXPECT_EQ(fw::fIsShutdownPending(), fw::TRUE);
}

TEST_F(BoardMenus, TestHooksPrintTheirResultAndChooseTheMenu) {
    struct Case {
        uint8_t fProduction;
        void (*pfnHook)(uint8_t);
        uint8_t bResult;
        const char* pszText;
        fw::MENU_FUNCTION pfnMenu;
    };
    const Case aCases[] = {
        {fw::TRUE, fw::DrivePortTestDone, fw::TEST_RESULT_OK, "\nFibre Loopback Test Completed OK\n\n",
         fw::ProductionTestMenu},
        {fw::FALSE, fw::DrivePortTestDone, fw::TEST_RESULT_ABORTED, "\nPort Integrity Test Aborted\n\n",
         fw::DrivePortIntegrityTestMenu},
        {fw::FALSE, fw::DrivePortTestDone, 7, "", fw::DrivePortIntegrityTestMenu},
        {fw::TRUE, fw::EthernetLoopbackTestDone, fw::TEST_RESULT_FAILED, "\nEthernet Loopback Test Failed\n\n",
         fw::ProductionTestMenu},
        {fw::FALSE, fw::EthernetLoopbackTestDone, fw::TEST_RESULT_OK, "\nEthernet Loopback Test Completed OK\n\n",
         fw::OfflineDiagnosticsMenu},
    };
    for (const Case& t : aCases) {
        fw::SetProductionTestMode(t.fProduction);
        c.board.ClearConsoleText();
        t.pfnHook(t.bResult);
        c.Settle();
        EXPECT_EQ(consoletest::Lines(c.board.ConsoleText()), std::string(t.pszText) + kAnyKey) << t.pszText;
        EXPECT_EQ(fw::psGetMenuState()->pfnAnyKeyMenu, t.pfnMenu) << t.pszText;
        EXPECT_EQ(fw::psGetMenuState()->fAnyKeyWait, fw::TRUE);
        fw::psGetMenuState()->fAnyKeyWait = fw::FALSE;
    }
}

}  // namespace
