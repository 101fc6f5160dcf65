// What every key typed on the console means: option entry, line editing,
// flow control, the pending menu call, the service levels, phrases and
// hidden commands, the hot keys and the double Ctrl-C reset.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "console/console_menu.h"
#include "console_board.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"

namespace {

using consoletest::ConsoleBoard;
using consoletest::kPrompt;

std::vector<uint16_t> g_awSelections;
// A menu that only records what it was called with.
void RecordingMenu() { g_awSelections.push_back(fw::wGetSelectedOption()); }

class ConsoleKeys : public ::testing::Test {
protected:
    void SetUp() override {
        c.Boot();
        c.Type("\x05");
        g_awSelections.clear();
    }
    std::string Line() const {
        return std::string(reinterpret_cast<const char*>(fw::pGetMenuLineBuffer()), fw::bGetMenuLineLength());
    }
    // The console stands in a menu of the given path that takes options.
    void StandIn(uint64_t lPath) {
        fw::MENU_STATE* ps = fw::psGetMenuState();
        ps->lMenuPath = lPath;
        ps->pfnCurrentMenu = RecordingMenu;
        ps->wValidOptionMask = 0x0007;
        ps->fOptionEntryMode = fw::TRUE;
    }
    ConsoleBoard c;
};

TEST_F(ConsoleKeys, OptionEntryTakesOneOrTwoDigitsTheMenuOffers) {
    StandIn(0x112);
    struct Case {
        const char* pszLine;
        bool fTaken;
        uint16_t wSelected;
    } const acCases[] = {
        {"2", true, 1u << 2}, {"02", true, 1u << 2}, {"3", false, 0}, {"16", false, 0},
        {"123", false, 0},    {"a", false, 0},       {"1a", false, 0}, {"", false, 0},
    };
    for (const Case& k : acCases) {
        SCOPED_TRACE(k.pszLine);
        g_awSelections.clear();
        fw::psGetMenuState()->wSelectedOption = 0;
        const std::string s = c.Enter(k.pszLine);
        EXPECT_EQ(s, std::string(k.pszLine) + "\r" + (k.fTaken ? "\n\n" : kPrompt));
        EXPECT_EQ(g_awSelections.size(), k.fTaken ? 1u : 0u);
        EXPECT_EQ(fw::wGetSelectedOption(), k.wSelected);
        EXPECT_EQ(Line(), "");
    }
}

TEST_F(ConsoleKeys, LineEditingAndTheOverlongLine) {
    // A typed answer: the clear confirmation of an open edit.
    c.Enter("1");
    c.Enter("10");
    EXPECT_EQ(c.Type("xy\b\b\b"), "xy\b \b\b \b");
    EXPECT_EQ(Line(), "");
    // 65 characters are echoed, then dropped at Enter: no menu sees them.
    const std::string s65(65, 'n');
    EXPECT_EQ(c.Enter(s65), s65 + "\r");
    EXPECT_EQ(Line(), "");
    EXPECT_EQ(fw::psGetMenuState()->lMenuPath, 0x117u);
    // 64 are a line.
    EXPECT_EQ(c.Enter(std::string(64, 'n')), std::string(64, 'n') + "\r\nNo change to Configuration\n\n"
                                                                     "Press any key to continue...\n");
}

TEST_F(ConsoleKeys, FlowControlHoldsOutputUntilCtrlQOrCtrlE) {
    EXPECT_EQ(c.Type("\x13"), "");
    // Keys typed while the output is held are discarded: they would act on
    // screens not shown yet.
    EXPECT_EQ(c.Enter("7"), "");
    EXPECT_EQ(c.Type("\x11"), "");
    const std::string sPage = c.Enter("7");
    EXPECT_EQ(sPage.rfind("7\r\n", 0), 0u) << sPage;
    EXPECT_NE(sPage.find("\nEnd Of Enclosure Information\n\n\n\nPress any key to continue...\n"), std::string::npos) << sPage;
    c.Type("\x13x");
    EXPECT_EQ(fw::fIsOutputPaused(), fw::TRUE);
    // Ctrl-E resumes; the "x" did not end the pause of the page, so Ctrl-E
    // continues its menu rather than opening the menus anew.
    const std::string s = c.Type("\x05");
    EXPECT_EQ(fw::fIsOutputPaused(), fw::FALSE);
    EXPECT_NE(s.find("Main Menu"), std::string::npos);
    EXPECT_EQ(s.find("\x1b[2J"), std::string::npos);
}

// Keys typed while a menu call waits reach what it leaves: here the "1"
// after the Diagnostics Menu's "2", and the LF of a CR LF is no key.
TEST_F(ConsoleKeys, KeysTypedWhileAMenuCallWaitsReachTheMenuItDraws) {
    c.board.ClearConsoleText();
    c.board.TypeKeys("2\r\n1");
    c.Settle();
    const std::string s = consoletest::Lines(c.board.ConsoleText());
    EXPECT_EQ(s.find("2\r\n\n\n\nDiagnostics Menu (2)"), 0u) << s;
    EXPECT_EQ(s.substr(s.size() - kPrompt.size() - 1), kPrompt + "1");
    EXPECT_EQ(Line(), "1");
    // Ctrl-E starts afresh: what was typed ahead of it goes.
    c.board.TypeKeys("\r2\x05");
    c.Settle();
    EXPECT_EQ(Line(), "");
    EXPECT_NE(consoletest::Lines(c.board.ConsoleText()).rfind("Main Menu (C0)"), std::string::npos);
}

// A paste longer than the keys a waiting call can keep: each key lost is
// told by a bell, and the ones kept still reach the menu in order.
TEST_F(ConsoleKeys, KeysBeyondAFullTypeAheadRingRingTheBell) {
    c.board.ClearConsoleText();
    c.board.TypeKeys("2\r" + std::string(255, ' ') + "1" + std::string(40, '9'));
    c.Settle();
    const std::string s = c.board.ConsoleText();
    EXPECT_EQ(std::count(s.begin(), s.end(), '\a'), 40) << s;
    EXPECT_NE(s.find("Diagnostics Menu (2)"), std::string::npos);
    // The line took the first 64 of the kept keys and overflowed on the rest.
    EXPECT_EQ(fw::psGetMenuState()->fLineOverflow, fw::TRUE);
    EXPECT_EQ(s.find('9'), std::string::npos);
}

TEST_F(ConsoleKeys, CtrlEContinuesAWaitingMenu) {
    c.Enter("7");
    const std::string s = c.Type("\x05");
    EXPECT_EQ(s.find("\x1b[2J"), std::string::npos);
    EXPECT_NE(s.find("Main Menu (C0)"), std::string::npos);
}

TEST_F(ConsoleKeys, DiagnosticsLevelLapsesAfter57600CoarseTicks) {
    fw::SetDiagnosticsModeLevel(3);
    fw::MENU_STATE* ps = fw::psGetMenuState();
    ps->dDiagnosticsLevelTick = fw::dGetCoarseTick() - 57600;
    EXPECT_EQ(fw::bGetDiagnosticsModeLevel(), 3);
    ps->dDiagnosticsLevelTick -= 1;
    EXPECT_EQ(fw::bGetDiagnosticsModeLevel(), 0);
    ps->dDiagnosticsLevelTick = fw::dGetCoarseTick();
    EXPECT_EQ(fw::bGetDiagnosticsModeLevel(), 0);
    fw::SetAdvancedConfigModeLevel(2);
    ps->dAdvancedConfigLevelTick = fw::dGetCoarseTick() - 57601;
    EXPECT_EQ(fw::bGetAdvancedConfigModeLevel(), 0);
}

TEST_F(ConsoleKeys, HotKeysActOnAnEmptyLineAtLevelThree) {
    EXPECT_EQ(c.Type("F"), "F");
    c.Type("\b");
    fw::SetDiagnosticsModeLevel(3);
    EXPECT_EQ(c.Type("F"), "Set Fan & Alarm to low noise mode\n");
    EXPECT_EQ(c.Type("f"), "Set Fan & Alarm to normal mode\n");
    // S: the per-LUN master flags and the stripe access records in use.
    EXPECT_EQ(c.Type("S").rfind("LUN Master Flags:\n", 0), 0u);
    // After another character they are ordinary.
    EXPECT_EQ(c.Type("1F"), "1F");
    c.Type("\b\b");
    // Q is the host chips' PCI status only with Fibre Channel host ports.
    EXPECT_EQ(c.Type("q").rfind("\n\nQlogic Registers:\nPCI  Status - 0: ", 0), 0u);
    fw::SetHostInterfaceType(6);
    EXPECT_EQ(c.Type("q"), "q");
    c.Type("\b");
    // The enclosure keys need level 4.
    EXPECT_EQ(c.Type("O"), "O");
    c.Type("\b");
    fw::SetDiagnosticsModeLevel(4);
    EXPECT_EQ(c.Type("O"), "");
    EXPECT_EQ(Line(), "");
}

TEST_F(ConsoleKeys, DoubleCtrlCWithinASecondResetsTheController) {
    // Below level 3 it is an ordinary character.
    fw::SetDiagnosticsModeLevel(2);
    EXPECT_EQ(c.Type("\x03"), "\x03");
    EXPECT_EQ(fw::psGetMenuState()->fResetArmed, fw::FALSE);
    c.Type("\b");

    fw::SetDiagnosticsModeLevel(3);
    fw::MENU_STATE* ps = fw::psGetMenuState();
    auto CtrlCAfter = [&](uint64_t lMs) {
        const uint64_t lArmed = ps->lResetArmTick;
        c.board.RunUntil([&] { return fw::lGetTickCount() >= lArmed + lMs; }, 10'000'000'000ull);
        EXPECT_EQ(fw::lGetTickCount(), lArmed + lMs);
        c.board.TypeKeys("\x03");
        return c.board.RunFor(10'000'000'000ull);
    };
    c.Type("\x03");
    EXPECT_EQ(ps->fResetArmed, fw::TRUE);
    EXPECT_EQ(CtrlCAfter(1001), sim::StopKind::Running);
    EXPECT_EQ(ps->fResetArmed, fw::FALSE);
    // A third arms again; another key in between disarms.
    c.Type("\x03");
    EXPECT_EQ(ps->fResetArmed, fw::TRUE);
    c.Type("x\b");
    EXPECT_EQ(ps->fResetArmed, fw::FALSE);
    c.Type("\x03");
    EXPECT_EQ(CtrlCAfter(999), sim::StopKind::Reset);
    EXPECT_NE(c.board.ConsoleText().find("Resetting Controller"), std::string::npos);
}

TEST_F(ConsoleKeys, DiagnosticsPhraseAndSlotCommand) {
    StandIn(0x12);
    const std::string kPhrase = "grant diagnostics privilege";
    c.Enter(kPhrase + " 4");
    EXPECT_EQ(fw::bGetDiagnosticsModeLevel(), 4);
    EXPECT_EQ(g_awSelections, std::vector<uint16_t>{fw::MENU_CODE_PHRASE});

    struct Case {
        const char* pszLine;
        const char* pszPrinted;
    } const acCases[] = {
        {"cpf13", "Turn OFF \n"},
        {"cpn1b", " \n Turn ON \n"},
        {"cpc12", "Turn OFF and back ON\n"},
        {"cpf93", ""},   // no such enclosure
        {"cpf10", ""},   // no slot 0
        {"cpf1z", ""},
        {"cpx13", ""},   // no such action
    };
    for (const Case& k : acCases) {
        SCOPED_TRACE(k.pszLine);
        g_awSelections.clear();
        EXPECT_EQ(c.Enter(k.pszLine), std::string(k.pszLine) + "\r" + k.pszPrinted);
        EXPECT_EQ(g_awSelections, std::vector<uint16_t>{fw::MENU_CODE_SLOT_COMMAND});
    }
    // At level 2 the line is an ordinary (refused) option.
    fw::SetDiagnosticsModeLevel(2);
    g_awSelections.clear();
    EXPECT_EQ(c.Enter("cpf13"), "cpf13\r" + kPrompt);
    EXPECT_TRUE(g_awSelections.empty());
}

TEST_F(ConsoleKeys, PortTestPhrasesNeedLevelThree) {
    StandIn(0x1211);
    EXPECT_EQ(c.Enter("with peer"), "with peer\r" + kPrompt);
    fw::SetDiagnosticsModeLevel(3);
    c.Enter("with peer");
    c.Enter("enable jitter");
    c.Enter("enable random");
    EXPECT_EQ(g_awSelections, (std::vector<uint16_t>{fw::MENU_CODE_PARTNER_TEST, fw::MENU_CODE_LINK_JITTER,
                                                     fw::MENU_CODE_PHRASE}));
}

}  // namespace
