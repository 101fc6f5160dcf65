// A controller booted on a simulated enclosure, driven as an operator
// drives its console: keys in, one at a time as a person types them, and
// the screen that comes back.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "config/config_flags.h"
#include "config/config_phase.h"
#include "config/config_state.h"
#include "console/console_menu.h"
#include "enclosure/drive_rescan.h"
#include "enclosure/drive_table.h"
#include "eventlog/info_dump.h"
#include "harness/dispatch_board.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/sas_controller.h"

namespace consoletest {

constexpr char ESC = 0x1B;
constexpr char CTRL_E = 0x05;
// What "Please Select Option: " is printed with: the line blanked first.
inline const std::string kPrompt = "\r" + std::string(56, ' ') + "\rPlease Select Option: ";
// The Configuration Menu of an edit that changed nothing yet.
inline const std::string kConfigurationMenuOptions =
    "\n\nConfiguration Menu (1) (C0)\n\n"
    "1.  Array Configuration\n"
    "2.  Logical Drive Configuration\n"
    "3.  Additional Host Configuration\n"
    "4.  SAN LUN Mapping Configuration\n"
    "5.  Rebuild/Initialization Configuration\n"
    "6.  Data Services Configuration\n"
    "8.  Additional Configuration\n"
    "9.  View Configuration\n"
    "10. Clear Configuration\n"
    "11. APM Configuration\n";
inline const std::string kConfigurationMenu = kConfigurationMenuOptions + "\n0.  Exit\n\n" + kPrompt;

// Console text with the line ends as the menus write them ("\n").
inline std::string Lines(std::string s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') continue;
        out.push_back(s[i]);
    }
    return out;
}

class ConsoleBoard {
public:
    explicit ConsoleBoard(const sim::ChassisOptions& options = sim::ChassisOptions(),
                          const sim::BoardConfig& config = sim::BoardConfig())
        : chassis(options), board(config) {
        board.sasController().AttachChassis(&chassis);
    }

    // Boots to the main loop and lets the start-of-day drive work end.
    void Boot() {
        ASSERT_TRUE(harness::BootToMainLoop(board)) << board.ConsoleText();
        board.RunUntil([this] { return fw::dGetDriveTableChangeCount() != 0 && Quiet(); }, 600'000'000'000ull);
        Settle();
        board.ClearConsoleText();
    }

    // Nothing left to do for the console: no key unread, no menu call or
    // dump waiting, the console log sent, no configuration work running.
    bool Quiet() const {
        const fw::MENU_STATE* ps = fw::psGetMenuState();
        // Paused output stays in the log until Ctrl-Q.
        const bool fSent = fw::fGetConsoleLogPending() != fw::TRUE || fw::fIsOutputPaused() == fw::TRUE;
        const bool fConsoleDone = ps->fMenuCallPending != fw::TRUE && fSent && fw::fGetInfoDumpRequest() != fw::TRUE;
        const bool fConfigurationDone =
            fw::bGetConfigPhase() == fw::CONFIG_PHASE_IDLE && fw::fIsConfigUpdatePending() != fw::TRUE &&
            fw::fIsConfigCommitInProgress() != fw::TRUE && fw::fIsDriveRescanInProgress() != fw::TRUE;
        return fConsoleDone && (fConfigurationDone || !fWaitForConfiguration);
    }

    void Settle() {
        board.RunUntil([this] { return !board.uart().ReceivePending() && Quiet(); }, 60'000'000'000ull);
        // The last bytes leave the log on the next passes.
        board.RunFor(2'000'000);
    }

    // Types the keys one at a time, each after the controller has dealt with
    // the one before, and returns what the console printed meanwhile, with
    // "\n" line ends.
    std::string Type(std::string_view keys) {
        board.ClearConsoleText();
        for (char c : keys) {
            board.TypeKeys(std::string_view(&c, 1));
            Settle();
        }
        // A terminal moves down without going back to the left margin on a
        // bare LF: every line end the console sends is CR LF.
        const std::string& sText = board.ConsoleText();
        for (size_t i = 0; i < sText.size(); ++i)
            EXPECT_FALSE(sText[i] == '\n' && (i == 0 || sText[i - 1] != '\r'))
                << "bare LF after: " << sText.substr(i < 40 ? 0 : i - 40, i < 40 ? i : 40);
        return Lines(sText);
    }
    // A line ended with the Enter key.
    std::string Enter(std::string_view line) { return Type(std::string(line) + "\r"); }

    sim::Chassis chassis;
    sim::Board board;
    // Settle also waits for configuration work (phases, commits) to end.
    bool fWaitForConfiguration = true;
};

inline const std::string kAnyKey = "Press any key to continue...\n";

// A menu's title line as the framework prints it, with its path.
inline std::string Title(const std::string& sTitle, const std::string& sPath) {
    return "\n\n" + sTitle + " (" + sPath + ") (C0)\n\n";
}

// A controller with the host ports given, its console in the Configuration
// Menu of an edit that changed nothing yet.
class ConfigurationMenuTest : public ::testing::Test {
protected:
    explicit ConfigurationMenuTest(sim::HostInterface eInterface = sim::HostInterface::Fc)
        : c(sim::ChassisOptions(), BoardOf(eInterface)) {}
    void SetUp() override {
        c.Boot();
        c.Type("\x05");
        c.Enter("1");
        fw::SetConfigModified(fw::FALSE);
    }
    // The menu as an option of the Configuration Menu opens it.
    std::string Open(fw::MENU_FUNCTION pfnMenu) {
        fw::psGetMenuState()->lMenuPath = 0x11;
        c.board.ClearConsoleText();
        pfnMenu();
        c.Settle();
        return Lines(c.board.ConsoleText());
    }
    static sim::BoardConfig BoardOf(sim::HostInterface eInterface) {
        sim::BoardConfig config;
        config.hostInterface = eInterface;
        return config;
    }
    ConsoleBoard c;
};

}  // namespace consoletest
