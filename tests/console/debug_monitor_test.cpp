// The debug monitor on a running controller: "!" enters it at the service
// level, its commands answer line by line, the cursor keys recall past
// lines, and "exit" hands the keyboard back to the menu it came from.
#include <gtest/gtest.h>

#include <string>

#include "console/console_menu.h"
#include "console/debug_monitor.h"
#include "console/menu_tree.h"
#include "console_board.h"
#include "executive/types.h"

namespace {

using consoletest::ConsoleBoard;

const std::string kPromptLine = "\nDebug> ";
const std::string kHelp =
    "List of Available Debug Monitor Commands:\n\n\tclearcmdlog\n\texit\n\tgetraidiocnt\n\thelp\n\tset\n"
    "\tshowcmdlog\n\tshowsortorder\n\t?\n";

class DebugMonitor : public ::testing::Test {
protected:
    void SetUp() override {
        c.Boot();
        c.Type("\x05");
        fw::SetDiagnosticsModeLevel(3);
        fw::ClearDebugCommandLog();
        ASSERT_EQ(c.Type("!"), "\x1b[2J\n Entering Monitor Mode\n" + kPromptLine);
        ASSERT_EQ(fw::fIsDebugMonitorActive(), fw::TRUE);
    }
    void TearDown() override {
        fw::SetDebugMonitorActive(fw::FALSE);
        fw::SetDiagnosticsModeLevel(0);
    }
    // A command's answer, between its echo and the next prompt.
    std::string Command(const std::string& line) {
        const std::string s = c.Enter(line);
        const std::string head = line + "\n";
        EXPECT_EQ(s.substr(0, head.size()), head) << s;
        EXPECT_EQ(s.substr(s.size() - kPromptLine.size()), kPromptLine) << s;
        return s.substr(head.size(), s.size() - head.size() - kPromptLine.size());
    }
    ConsoleBoard c;
};

TEST_F(DebugMonitor, HelpListsTheEnabledCommandsOnly) {
    EXPECT_EQ(Command("help"), kHelp);
    EXPECT_EQ(Command("?"), kHelp);
    for (const char* psz : {"tinit", "dbgtest", "Help", "nothing at all"}) {
        EXPECT_EQ(Command(psz), "Invalid Command\n") << psz;
    }
    EXPECT_EQ(Command(""), "");
    EXPECT_EQ(Command("getraidiocnt"), "");
}

TEST_F(DebugMonitor, SetShowsAndRefusesAssignment) {
    const std::string list = Command("set");
    EXPECT_EQ(list.rfind("The following commands may be used to Show or Set variables:\n\n", 0), 0u) << list;
    EXPECT_NE(list.find("\tfWriteSortEnabled = 241 (0xF1)\n"), std::string::npos) << list;
    EXPECT_NE(list.find("\tdCacheFenceDebugLvl = !!! Cannot Show This Variable.\n"), std::string::npos) << list;
    EXPECT_NE(list.find("\tdSortCount = 0 (0x00000000)\n"), std::string::npos) << list;
    EXPECT_EQ(list.substr(list.size() - 46), "\n!!! Note: variable names are case sensitive\n\n");

    EXPECT_EQ(Command("set fWriteSortEnabled TRUE"), "Value assignment disabled\n");
    EXPECT_EQ(Command("set fWriteSortEnabled 1"),
              "fWriteSortEnabled current value: 241 (0xF1)\nValue assignment disabled\n");
    EXPECT_EQ(Command("set fWriteSortEnabled maybe"), "Value assignment disabled\n");
    EXPECT_EQ(Command("set dSortCount"), "dSortCount current value: 0 (0x00000000)\n");
    EXPECT_EQ(Command("set fRawTagTimer"), "fRawTagTimer current value: 240 (0xF0)\n");
    EXPECT_EQ(Command("set dsortcount"), "No Such Variable\n!!! Note: variable names are case sensitive\n\n");
    // A quote never closed ends with the line.
    EXPECT_EQ(Command("set 'dSortCount"), "dSortCount current value: 0 (0x00000000)\n");
    EXPECT_EQ(Command("set 'dSort Count'"), "No Such Variable\n!!! Note: variable names are case sensitive\n\n");
}

TEST_F(DebugMonitor, CursorKeysRecallThePreviousLines) {
    Command("help");
    Command("set dSortCount");
    // Up: the last line is typed again (after the line is wiped and the
    // prompt redrawn); up again: the one before.
    EXPECT_EQ(c.Type("\x1b[A"), std::string(10, '\b') + "Debug> set dSortCount");
    std::string erase;
    for (int i = 0; i < 14; ++i) erase += "\b \b";
    EXPECT_EQ(c.Type("\x1b[A"), erase + std::string(10, '\b') + "Debug> help");
    // Enter carries the recalled line out.
    EXPECT_EQ(c.Enter(""), "\n" + kHelp + kPromptLine);
}

TEST_F(DebugMonitor, TheLogKeepsTheLinesAndIsCleared) {
    Command("help");
    Command("set x");
    const std::string log = Command("showcmdlog");
    EXPECT_NE(log.find("\nhelp\nset x\nshowcmdlog\n"), std::string::npos) << log;
    // A cleared log holds nothing to show or recall.
    Command("clearcmdlog");
    EXPECT_EQ(Command("showcmdlog").find("help"), std::string::npos);
    Command("clearcmdlog");
    EXPECT_EQ(c.Type("\x1b[A"), std::string(10, '\b') + "Debug> ");
}

TEST_F(DebugMonitor, ExitReturnsToTheMenuItCameFrom) {
    const std::string s = c.Enter("exit");
    EXPECT_EQ(s, "exit\n\nDebug Monitor Inactive\n\n");
    EXPECT_EQ(fw::fIsDebugMonitorActive(), fw::FALSE);
    EXPECT_EQ(fw::psGetMenuState()->pfnCurrentMenu, fw::MainMenu);
    EXPECT_NE(c.Enter("2").find("Diagnostics Menu"), std::string::npos);
}

}  // namespace
