// The information menus on a running controller: controller information,
// statistics and the event log, screen for screen; the partner's pages
// when the link will not take the request; keys while a page prints.
#include <gtest/gtest.h>

#include <string>

#include "config/config_image.h"
#include "console/console_menu.h"
#include "console_board.h"
#include "eventlog/event_image.h"
#include "eventlog/event_log.h"
#include "eventlog/info_dump.h"
#include "eventlog/statistics.h"
#include "executive/buffer_pages.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "harness/config_builder.h"
#include "partner/partner_link.h"
#include "partner/partner_state.h"
#include "target/target_queue_management.h"

namespace {

using consoletest::ConsoleBoard;
using consoletest::kPrompt;

const std::string kAnyKey = "Press any key to continue...\n";
const std::string kInformationMenu =
    "\n\nController Information Menu (3) (C0)\n\n"
    "1.  View Controller 0 Information\n"
    "\n0.  Exit\n\n" +
    kPrompt;
const std::string kStatisticsMenu =
    "\n\nStatistics Menu (4) (C0)\n\n"
    "1.  Controller 0 Statistics\n"
    "\n0.  Exit\n\n" +
    kPrompt;
const std::string kStatisticsOptions =
    "1.  View All Statistics\n"
    "2.  View Access Statistics\n"
    "3.  View Read-Ahead Statistics\n"
    "4.  View Command Clustering Statistics\n"
    "5.  View Miscellaneous Statistics\n"
    "6.  Clear Statistics\n"
    "7.  View Access Statistics On Each Logical Drive\n"
    "8.  Clear Access Statistics On Each Logical Drive\n";
const std::string kControllerStatisticsMenu =
    "\n\nController 0 Statistics Menu (4-1) (C0)\n\n" + kStatisticsOptions + "\n0.  Exit\n\n" + kPrompt;
const std::string kLdAccessMenu =
    "\n\nController 0 - Logical Drive Access Statistics Menu (4-1-7) (C0)\n\n"
    "1.  View Access Statistics On Port 0\n"
    "2.  View Access Statistics On Port 1\n"
    "3.  View Access Statistics On Both Ports\n"
    "\n0.  Exit\n\n" +
    kPrompt;
const std::string kLdClearMenu =
    "\n\nController 0 - Clear Logical Drive Statistics Menu (4-1-8) (C0)\n\n"
    "1.  Clear Statistics On Port 0\n"
    "2.  Clear Statistics On Port 1\n"
    "3.  Clear Statistics On Both Ports\n"
    "\n0.  Exit\n\n" +
    kPrompt;
const std::string kEventLogChoice =
    "\n\nEvent Log Menu (5) (C0)\n\n"
    "1.  Controller 0 Event Log\n"
    "\n0.  Exit\n\n" +
    kPrompt;

std::string ControllerEventLogMenu(const std::string& sController, unsigned uAll, unsigned uNew) {
    return "\n\nController " + sController + " Event Log Menu (5-" + (sController == "0" ? "1" : "2") +
           ") (C0)\n\n"
           "1.  View All Events (" +
           std::to_string(uAll) + ")\n2.  View New Events (" + std::to_string(uNew) +
           ")\n"
           "3.  View Last 50 Events\n"
           "4.  View Last Hour Events\n"
           "5.  View Last 24 Hours Events\n"
           "6.  View Drive Events\n"
           "7.  View Host Events\n"
           "8.  View Environmental Events\n"
           "9.  View Failed Drive List\n"
           "10. Clear Event Log\n"
           "\n0.  Exit\n\n" +
           kPrompt;
}

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

class InformationMenus : public ::testing::Test {
protected:
    void SetUp() override {
        c.Boot();
        m_sMainMenu = c.Type("\x05").substr(4);    // without the screen clear
        m_dPagesInUse = fw::dGetPagesInUse(0);
    }
    void TearDown() override {
        fw::SetPartnerOnPath1(fw::FALSE);
        fw::SetDualControllerValid(fw::FALSE);
    }
    // The pair runs together: a partner on a drive path.
    static void Pair() {
        fw::SetDualControllerValid(fw::TRUE);
        fw::SetPartnerOnPath1(fw::TRUE);
    }
    // A page: printed whole, then the pause.
    void ExpectPage(const std::string& sScreen, const std::string& sContains) {
        EXPECT_NE(sScreen.find(sContains), std::string::npos) << sScreen;
        EXPECT_TRUE(EndsWith(sScreen, "\n\n" + kAnyKey)) << sScreen;
        EXPECT_NE(fw::fGetInfoDumpRequest(), fw::TRUE);
    }
    ConsoleBoard c;
    std::string m_sMainMenu;
    uint32_t m_dPagesInUse = 0;
};

// The menus' screens are the same at every diagnostics level: 0, and 3
// where other menus show their hidden options.
class InformationMenusAtLevel : public InformationMenus, public ::testing::WithParamInterface<uint8_t> {
protected:
    void SetUp() override {
        InformationMenus::SetUp();
        fw::SetDiagnosticsModeLevel(GetParam());
        m_sMainMenu = c.Type("\x05").substr(4);
    }
    void TearDown() override {
        fw::SetDiagnosticsModeLevel(0);
        InformationMenus::TearDown();
    }
};
INSTANTIATE_TEST_SUITE_P(Levels, InformationMenusAtLevel, ::testing::Values(uint8_t(0), uint8_t(3)),
                         [](const auto& info) { return "Level" + std::to_string(info.param); });

TEST_P(InformationMenusAtLevel, ControllerInformationPrintsAndComesBack) {
    EXPECT_EQ(c.Enter("3"), "3\r\n\n" + kInformationMenu);
    ExpectPage(c.Enter("1"), "Controller 0");
    EXPECT_EQ(c.Type(" "), kInformationMenu);
    // Only option 1 on a lone controller.
    EXPECT_EQ(c.Enter("2"), "2\r" + kPrompt);
    EXPECT_EQ(c.Enter("0"), "0\r\n\n" + m_sMainMenu);
}

TEST_F(InformationMenus, PartnerPagesTheLinkRefusesGiveTheirPagesBack) {
    Pair();
    EXPECT_EQ(c.Enter("3"),
              "3\r\n\n\n\nController Information Menu (3) (C0)\n\n"
              "1.  View Controller 0 Information\n2.  View Controller 1 Information\n\n0.  Exit\n\n" +
                  kPrompt);
    EXPECT_EQ(c.Enter("2"), "2\r\n\n\nError getting other controller information\n\n" + kAnyKey);
    EXPECT_EQ(fw::dGetPagesInUse(0), m_dPagesInUse);
    EXPECT_EQ(fw::fIsPartnerRequestPending(), fw::FALSE);
    c.Type(" ");
    c.Enter("0");
    c.Enter("4");
    EXPECT_EQ(c.Enter("2"), "2\r\n\n\n\nController 1 Statistics Menu (4-2) (C0)\n\n" + kStatisticsOptions +
                                "\n0.  Exit\n\n" + kPrompt);
    EXPECT_EQ(c.Enter("1"), "1\r\n\n\nError getting other controller statistics\n\n" + kAnyKey);
    EXPECT_EQ(fw::dGetPagesInUse(0), m_dPagesInUse);
    c.Type(" ");
    EXPECT_EQ(c.Enter("6"), "6\r\n\n\nError clearing other controller statistics\n\n" + kAnyKey);
    c.Type(" ");
    c.Enter("0");
    c.Enter("0");
    c.Enter("5");
    // The partner's counts cannot be fetched: the menu shows zeros.
    EXPECT_EQ(c.Enter("2"), "2\r\n\n" + ControllerEventLogMenu("1", 0, 0));
    EXPECT_EQ(c.Enter("1"), "1\r\n\n\nError getting other controller event log\n\n" + kAnyKey);
    EXPECT_EQ(fw::dGetPagesInUse(0), m_dPagesInUse);
    c.Type(" ");
    EXPECT_EQ(c.Enter("10"), "10\r\n\n\nError clearing other controller event log\n\n" + kAnyKey);
    c.Type(" ");
    // The failed drive list is this controller's, whichever log is chosen:
    // no request goes to the partner for it.
    const std::string sFailed = c.Enter("9");
    ExpectPage(sFailed, "No Failed Drives Listed\n");
    EXPECT_EQ(sFailed.find("Error"), std::string::npos) << sFailed;
}

TEST_P(InformationMenusAtLevel, StatisticsPagesAndClearing) {
    EXPECT_EQ(c.Enter("4"), "4\r\n\n" + kStatisticsMenu);
    EXPECT_EQ(c.Enter("1"), "1\r\n\n" + kControllerStatisticsMenu);
    for (const char* psz : {"1", "2", "3", "4", "5"}) {
        ExpectPage(c.Enter(psz), "");
        EXPECT_EQ(c.Type(" "), kControllerStatisticsMenu) << psz;
    }
    // Option 9 is neither shown nor taken while latency statistics are off.
    EXPECT_EQ(c.Enter("9"), "9\r" + kPrompt);
    EXPECT_EQ(c.Enter("6"), "6\r\n\n\nStatistics Cleared\n\n" + kAnyKey);
    EXPECT_EQ(c.Type(" "), kControllerStatisticsMenu);
    EXPECT_EQ(c.Enter("0"), "0\r\n\n" + kStatisticsMenu);
    EXPECT_EQ(c.Enter("0"), "0\r\n\n" + m_sMainMenu);
}

TEST_F(InformationMenus, LogicalDriveMenusWithoutLogicalDrives) {
    c.Enter("4");
    c.Enter("1");
    EXPECT_EQ(c.Enter("7"), "7\r\n\n\n  No Logical Drives Configured.\n\n" + kAnyKey);
    EXPECT_EQ(c.Type(" "), kControllerStatisticsMenu);
    EXPECT_EQ(c.Enter("8"), "8\r\n\n\n  No Logical Drives Configured.\n\n" + kAnyKey);
    EXPECT_EQ(c.Type(" "), kControllerStatisticsMenu);
}

TEST_F(InformationMenus, LogicalDriveStatisticsAskForANumberBelowTheCount) {
    c.fWaitForConfiguration = false;
    cfgbuild::Builder b(c.board);
    ASSERT_TRUE(b.WaitIdle());
    ASSERT_TRUE(b.OpenEdit());
    ASSERT_EQ(b.CreateArray({fw::RAID_LEVEL_5, {1, 2, 3, 4}}), fw::STATUS_OK);
    ASSERT_EQ(cfgbuild::Builder::CreateLd(1), fw::STATUS_OK);
    ASSERT_EQ(cfgbuild::Builder::CreateLd(1), fw::STATUS_OK);
    ASSERT_TRUE(b.Commit());
    c.fWaitForConfiguration = true;
    c.Type("\x05");
    c.Enter("4");
    c.Enter("1");
    EXPECT_EQ(c.Enter("7"), "7\r\n\n" + kLdAccessMenu);
    const std::string kViewPrompt = "\nEnter Logical Drive Number(0 - 1)\nTo View Access Statistics - Other Keys To Exit: ";
    EXPECT_EQ(c.Enter("2"), "2\r\n\n" + kViewPrompt);
    // The count itself, and a non-number, go back above the prompt.
    for (const char* psz : {"2", "x", ""}) {
        EXPECT_EQ(c.Enter(psz), std::string(psz) + "\r\n\n" + kAnyKey);
        EXPECT_EQ(c.Type(" "), "\n\n" + kLdAccessMenu.substr(2)) << psz;
        c.Enter("3");
    }
    ExpectPage(c.Enter("1"), "");
    EXPECT_EQ(fw::bGetInfoDumpStatsPort(), fw::STATISTICS_BOTH_SIDES);
    EXPECT_EQ(fw::wGetInfoDumpStatsLd(), 1);
    EXPECT_EQ(c.Type(" "), kViewPrompt);
    c.Enter("");
    c.Type(" ");
    EXPECT_EQ(c.Enter("0"), "0\r\n\n" + kControllerStatisticsMenu);
    EXPECT_EQ(c.Enter("8"), "8\r\n\n" + kLdClearMenu);
    EXPECT_EQ(c.Enter("1"), "1\r\n\n\nEnter Logical Drive Number(0 - 1) \nTo Clear Statistics - Other Keys To Exit: ");
    EXPECT_EQ(c.Enter("0"), "0\r\n\nStatistics Cleared\n\n" + kAnyKey);
}

TEST_P(InformationMenusAtLevel, EventLogViewsAndClearing) {
    EXPECT_EQ(c.Enter("5"), "5\r\n\n" + kEventLogChoice);
    const unsigned uAll = fw::wGetEventLogCount();
    const unsigned uNew = fw::wGetEventsPostedCount();
    EXPECT_EQ(c.Enter("1"), "1\r\n\n" + ControllerEventLogMenu("0", uAll, uNew));
    for (const char* psz : {"1", "2", "3", "4", "5", "6", "7", "8", "9"}) {
        ExpectPage(c.Enter(psz), "");
        EXPECT_EQ(c.Type(" "), ControllerEventLogMenu("0", fw::wGetEventLogCount(), fw::wGetEventsPostedCount()))
            << psz;
    }
    EXPECT_EQ(c.Enter("10"), "10\r\n\n\nEvent Log Cleared\n\n" + kAnyKey);
    // The log holds only its clearing now.
    EXPECT_EQ(c.Type(" "), ControllerEventLogMenu("0", 1, 1));
    EXPECT_EQ(c.Enter("0"), "0\r\n\n" + kEventLogChoice);
}

// The partner's counts are asked for once per visit of its menu: leaving
// the menu forgets them, so that the next visit shows them afresh.  Its
// failed drive list is this controller's own.
TEST_F(InformationMenus, LeavingThePartnersEventLogMenuForgetsItsCounts) {
    Pair();
    fw::SetPartnerEventCounts(12, 3);
    c.Enter("5");
    EXPECT_EQ(c.Enter("2"), "2\r\n\n" + ControllerEventLogMenu("1", 12, 3));
    // The failed drive list is this controller's page, asked of nobody.
    ExpectPage(c.Enter("9"), "No Failed Drives Listed\n");
    EXPECT_EQ(c.Type(" "), ControllerEventLogMenu("1", 12, 3));
    c.Enter("0");
    uint16_t wAll = 0;
    uint16_t wNew = 0;
    EXPECT_EQ(fw::bGetPartnerEventCounts(&wAll, &wNew), fw::PARTNER_COUNTS_NOT_CACHED);
}

// Each option starts the page of its own view code.
TEST_F(InformationMenus, EachEventLogOptionAsksForItsOwnView) {
    c.Enter("5");
    c.Enter("1");
    const std::pair<const char*, uint8_t> aViews[] = {{"1", 1}, {"2", 8}, {"3", 2}, {"4", 3}, {"5", 4},
                                                      {"6", 5}, {"7", 6}, {"8", 7}, {"9", 24}};
    for (const auto& [pszOption, bCode] : aViews) {
        c.board.TypeKeys(std::string(pszOption) + "\r");
        c.board.RunUntil([] { return fw::fGetInfoDumpRequest() == fw::TRUE; }, 1'000'000'000ull);
        ASSERT_EQ(fw::fGetInfoDumpRequest(), fw::TRUE) << pszOption;
        EXPECT_EQ(fw::bGetInfoDumpType(), bCode) << pszOption;
        c.Settle();
        c.Type(" ");
    }
}

// "View New Events" shows the events posted since a listing last showed
// the log, and only those.
TEST_F(InformationMenus, NewEventsAreThosePostedSinceTheLastListing) {
    c.Enter("5");
    c.Enter("1");
    ExpectPage(c.Enter("1"), "Controller Powered On\n");
    EXPECT_EQ(c.Type(" "), ControllerEventLogMenu("0", fw::wGetEventLogCount(), 0));
    fw::PostEvent(44);   // "Resync Started"
    c.Enter("0");
    EXPECT_EQ(c.Enter("1"), "1\r\n\n" + ControllerEventLogMenu("0", fw::wGetEventLogCount(), 1));
    const std::string sNew = c.Enter("2");
    ExpectPage(sNew, "Resync Started\n");
    EXPECT_EQ(sNew.find("Powered"), std::string::npos) << sNew;
}

TEST_F(InformationMenus, KeysWhileAPageRunsChangeNothing) {
    c.Enter("5");
    c.Enter("1");
    c.board.ClearConsoleText();
    c.board.TypeKeys("1\r");
    c.board.RunUntil([] { return fw::fGetInfoDumpRequest() == fw::TRUE; }, 1'000'000'000ull);
    ASSERT_EQ(fw::fGetInfoDumpRequest(), fw::TRUE);
    // Exit, and a stray key, while the page prints: neither echoed nor taken.
    c.board.TypeKeys("0\rx");
    c.Settle();
    const std::string sPage = consoletest::Lines(c.board.ConsoleText());
    // Only the choice that started the page is echoed before it.
    EXPECT_EQ(sPage.substr(0, sPage.find("Mon Jan 06 2025")).find_first_of("0x"), std::string::npos) << sPage;
    EXPECT_TRUE(EndsWith(sPage, "End Of Event Log\n\n\n\n" + kAnyKey)) << sPage;
    EXPECT_EQ(c.Type(" "), ControllerEventLogMenu("0", fw::wGetEventLogCount(), fw::wGetEventsPostedCount()));
}

// A page whose output is held (Ctrl-S) waits too, rather than filling the
// console log while nobody reads it; Ctrl-Q lets both go on.
TEST_F(InformationMenus, AHeldPageWaitsForCtrlQ) {
    c.Enter("5");
    c.Enter("1");
    c.board.TypeKeys("1\r");
    c.board.RunUntil([] { return fw::fGetInfoDumpRequest() == fw::TRUE; }, 1'000'000'000ull);
    c.board.TypeKeys("\x13");
    c.board.RunFor(1'000'000'000ull);
    EXPECT_EQ(fw::fGetInfoDumpRequest(), fw::TRUE);
    c.board.ClearConsoleText();
    const std::string s = c.Type("\x11");
    EXPECT_TRUE(EndsWith(s, "End Of Event Log\n\n\n\n" + kAnyKey)) << s;
}

TEST_F(InformationMenus, KeysWhileAPartnerAnswerIsDueChangeNothing) {
    c.Enter("5");
    c.Enter("1");
    const uint64_t lPath = fw::psGetMenuState()->lMenuPath;
    const uint16_t wEvents = fw::wGetEventLogCount();
    fw::SetPartnerRequestPending(fw::TRUE);
    // Options the menu offers, Exit among them: echoed, nothing else.
    for (const char* psz : {"0", "1", "10"}) EXPECT_EQ(c.Enter(psz), std::string(psz) + "\r\n\n");
    EXPECT_EQ(fw::psGetMenuState()->lMenuPath, lPath);
    EXPECT_EQ(fw::wGetEventLogCount(), wEvents) << "the log was cleared";
    fw::SetPartnerRequestPending(fw::FALSE);
    EXPECT_EQ(c.Enter("0"), "0\r\n\n" + kEventLogChoice);
}

}  // namespace
