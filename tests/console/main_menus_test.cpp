// The top of the menu tree on a running controller: the Main Menu Ctrl-E
// opens, the Configuration Menu, the RS232 Settings Menu and the two
// confirmations, screen for screen.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "config/config_commit.h"
#include "config/config_flags.h"
#include "config/config_image.h"
#include "config/config_state.h"
#include "config/drive_tables.h"
#include "config/nvram_layout.h"
#include "console/console_menu.h"
#include "console_board.h"
#include "made_arrays.h"
#include "enclosure/drive_rescan.h"
#include "executive/system_state.h"
#include "executive/types.h"

namespace {

using consoletest::ConsoleBoard;
using consoletest::kPrompt;

const std::string kMainMenu =
    "\n\nRZ8Q2T Main Menu (C0)\n\n"
    "1.  Configuration\n"
    "2.  Diagnostics\n"
    "3.  Controller Information\n"
    "4.  Statistics\n"
    "5.  Event Log\n"
    "6.  RS232 Settings\n"
    "7.  Enclosure Information\n"
    "\n0.  Exit\n\n" +
    kPrompt;

using consoletest::kConfigurationMenu;
using consoletest::kConfigurationMenuOptions;
const std::string kModifiedConfigurationMenu =
    kConfigurationMenuOptions + "\n15.  Quit Without Saving\n\n0.  Save and Exit\n\n" + kPrompt;

class MainMenus : public ::testing::Test {
protected:
    void SetUp() override {
        c.Boot();
        ASSERT_EQ(c.Type("\x05"), "\x1b[2J" + kMainMenu);
    }
    // Option 1 of the Main Menu: the edit opens and shows its menu.
    void OpenConfiguration() { ASSERT_EQ(c.Enter("1"), "1\r\n\n" + kConfigurationMenu); }
    ConsoleBoard c;
};

TEST_F(MainMenus, ServiceOptionsFollowTheDiagnosticsLevelAndTheHostPorts) {
    fw::SetDiagnosticsModeLevel(2);
    const std::string kDumps =
        "8.  Dump ICC/IPC/XOR Queues\n"
        "9.  Dump Used Init Queues\n"
        "10. Dump Used Target Queues\n"
        "11. Dump Rebuild Parameters\n";
    const std::string kLevel2 = kMainMenu.substr(0, kMainMenu.find("\n0.  Exit")) + kDumps + "\n0.  Exit\n\n" + kPrompt;
    EXPECT_EQ(c.Type("\x05"), "\x1b[2J" + kLevel2);
    // A dump leaves the prompt in force: the next number is taken as typed.
    const std::string sDump = c.Enter("8");
    EXPECT_EQ(sDump.rfind("8\r\n\n\nDual Controller stats:\n", 0), 0u) << sDump;
    EXPECT_NE(sDump.find("\nDual Controller Outgoing Queue\n"), std::string::npos);
    EXPECT_NE(sDump.find("\nXOR Queues\n"), std::string::npos);
    EXPECT_NE(sDump.find("ARM Regs:\n"), std::string::npos);
    EXPECT_EQ(sDump.find("Please Select Option"), std::string::npos);
    EXPECT_EQ(c.Enter("14"), "14\r" + kPrompt);
    EXPECT_EQ(fw::wGetSelectedOption(), 0);

    fw::SetDiagnosticsModeLevel(3);
    const std::string kLevel3Fc = kLevel2.substr(0, kLevel2.find("\n0.  Exit")) +
                                  "14. Host Loop 0 LIP\n15. Host Loop 1 LIP\n\n0.  Exit\n\n" + kPrompt;
    EXPECT_EQ(c.Type("\x05"), "\x1b[2J" + kLevel3Fc);
    EXPECT_EQ(c.Enter("15"), "15\r\n\n");
    EXPECT_EQ(fw::wGetSelectedOption(), 1u << 15);

    fw::SetHostInterfaceType(2);
    EXPECT_NE(c.Type("\x05").find("14. Host Port 0 Reset\n15. Host Port 1 Reset\n\n0.  Exit"), std::string::npos);
    fw::SetHostInterfaceType(6);
    EXPECT_EQ(c.Type("\x05"), "\x1b[2J" + kLevel2);
    EXPECT_EQ(c.Enter("14"), "14\r" + kPrompt);
}

TEST_F(MainMenus, ExitLeavesTheConsoleDeafUntilCtrlE) {
    EXPECT_EQ(c.Enter("0"), "0\r\n\n\x1b[2J");
    EXPECT_EQ(c.Enter("1"), "");
    EXPECT_EQ(c.Type("\x05"), "\x1b[2J" + kMainMenu);
}

TEST_F(MainMenus, EnclosureInformationReturnsToTheMainMenuAfterAKey) {
    const std::string sPage = c.Enter("7");
    EXPECT_EQ(sPage.rfind("7\r\n", 0), 0u) << sPage;
    EXPECT_NE(sPage.find("\nEnd Of Enclosure Information\n\n\n\nPress any key to continue...\n"), std::string::npos) << sPage;
    EXPECT_EQ(c.Type("x"), kMainMenu);
}

TEST_F(MainMenus, ConfigurationEditWaitsWhileTheDrivesAreRescanned) {
    fw::SetDriveRescanInProgress(fw::TRUE);
    EXPECT_EQ(c.Enter("1"), "1\r\n\n\nGathering Drive Information, Please Wait\n\nPress any key to continue...\n");
    fw::SetDriveRescanInProgress(fw::FALSE);
    EXPECT_EQ(c.Type(" "), kMainMenu);
    c.fWaitForConfiguration = false;
    // A commit asked for and waiting for its drives to spin up.
    fw::SetCommitSpinUpWait(fw::TRUE);
    fw::SetConfigUpdatePending(fw::TRUE);
    EXPECT_EQ(c.Enter("1"), "1\r\n\n\nConfiguration Write In Progress, Please Wait\n\nPress any key to continue...\n");
    EXPECT_EQ(fw::fIsMenuSessionActive(), fw::FALSE);
}

TEST_F(MainMenus, ConfigurationSubmenusNeedAnArray) {
    OpenConfiguration();
    EXPECT_EQ(fw::fIsMenuSessionActive(), fw::TRUE);
    for (const char* psz : {"2", "3", "4", "5", "6", "8", "11"}) {
        SCOPED_TRACE(psz);
        EXPECT_EQ(c.Enter(psz), std::string(psz) +
                                    "\r\n\n\nNo arrays defined, configuration cannot be changed.\n\n"
                                    "Press any key to continue...\n");
        EXPECT_EQ(fw::psGetMenuState()->lMenuPath, 0x110u + std::stoul(psz));
        EXPECT_EQ(c.Type("k"), kConfigurationMenu);
    }
}

TEST_F(MainMenus, ClearConfigurationIsOnlyAnEditUntilSaved) {
    OpenConfiguration();
    const char* const pszConfirm =
        "10\r\n\n\nClearing configuration will erase all data!!\nConfirm clearing of configuration (Y or N): ";
    EXPECT_EQ(c.Enter("10"), pszConfirm);
    EXPECT_EQ(c.Enter("n"), "n\r\nNo change to Configuration\n\nPress any key to continue...\n");
    EXPECT_EQ(c.Type(" "), kConfigurationMenu);
    EXPECT_EQ(c.Enter("10"), pszConfirm);
    EXPECT_EQ(c.Enter("Y"), "Y\r\nClearing Configuration, Exit to Save\n\nPress any key to continue...\n");
    EXPECT_EQ(fw::fGetConfigModified(), fw::TRUE);
    EXPECT_EQ(fw::fGetPendingRebuildFlag(), fw::TRUE);
    EXPECT_EQ(fw::bGetPendingRebuildRank(), 255);
    EXPECT_EQ(c.Type(" "), kModifiedConfigurationMenu);
    // Quit Without Saving: back to the Main Menu, the edit closed.
    EXPECT_EQ(c.Enter("15"), "15\r\n\n" + kMainMenu);
    EXPECT_EQ(fw::fIsMenuSessionActive(), fw::FALSE);
    EXPECT_EQ(fw::fIsConfigUpdatePending(), fw::FALSE);
}

TEST_F(MainMenus, SaveAnsweredWithAnEmptyLineChangesNothing) {
    OpenConfiguration();
    fw::SetConfigModified(fw::TRUE);
    EXPECT_EQ(c.Type("\r"), "\r" + kPrompt);
    c.Type("9\r ");
    EXPECT_EQ(c.Enter("0"), "0\r\n\n\nSaving configuration will overwrite current configuration!!\n"
                            "Confirm saving of new configuration (Y or N): ");
    EXPECT_EQ(c.Enter(""), "\r\nNo change to Configuration\n\nPress any key to continue...\n");
    EXPECT_EQ(fw::fIsMenuSessionActive(), fw::FALSE);
    EXPECT_EQ(fw::fIsConfigUpdatePending(), fw::FALSE);
    EXPECT_EQ(c.Type(" "), kMainMenu);
}

TEST_F(MainMenus, AdvancedConfigurationPhrase) {
    OpenConfiguration();
    const std::string kPhrase = "enable advanced configuration";
    struct Case {
        std::string sTail;
        uint8_t bLevel;
    } const acCases[] = {{"", 1}, {" 5", 5}, {" x", 1}, {"-7", 7}};
    for (const Case& k : acCases) {
        SCOPED_TRACE(k.sTail);
        const std::string s = c.Enter(kPhrase + k.sTail);
        EXPECT_EQ(s, kPhrase + k.sTail + "\r\nAdvanced Configuration Mode " + std::to_string(k.bLevel) +
                         " Enabled\n\nPress any key to continue...\n");
        EXPECT_EQ(fw::bGetAdvancedConfigModeLevel(), k.bLevel);
        EXPECT_EQ(c.Type(" "), kConfigurationMenu);
    }
    // One character too many is an ordinary (refused) line.
    EXPECT_EQ(c.Enter(kPhrase + " 55"), kPhrase + " 55\r" + kPrompt);
}

TEST_F(MainMenus, AChangeMadeElsewhereAbortsTheConsoleEdit) {
    OpenConfiguration();
    // The management protocol opened an edit meanwhile.
    fw::RecordConfigIndex(fw::REQUESTER_MANAGEMENT);
    EXPECT_EQ(c.Type("1"), "\x1b[2J\n\nVT100 Configuration Aborted by Remote Configuration\n\nPress any key to continue...\n1");
    EXPECT_EQ(fw::fIsMenuSessionActive(), fw::FALSE);
    EXPECT_EQ(c.Type("\r"), "\x1b[2J" + kMainMenu);

    // The partner's editor committed: the copy being browsed is older than
    // the configuration both controllers now run.
    c.Type("\x05");
    OpenConfiguration();
    fw::HandlePartnerConfigChangedMessage(fw::TRUE, 0, fw::FALSE, 0, fw::FALSE, 0);
    c.Settle();
    EXPECT_EQ(c.Type("1"), "\x1b[2J\n\nVT100 Configuration Aborted by Remote Configuration\n\nPress any key to continue...\n1");
    EXPECT_EQ(fw::fIsMenuSessionActive(), fw::FALSE);
}

// A job that ends (an array's initialisation, whose apply asks for a
// commit of the live image) is nobody's edit: an operator only looking
// round the Configuration Menu stays where they are, and the menus work on
// a fresh copy.  Once the operator has changed the copy, a change beneath
// it ends the edit, as another's edit would: saving the copy would undo it.
TEST_F(MainMenus, AJobThatEndsLeavesTheBrowsingOperatorWhereTheyAre) {
    OpenConfiguration();
    EXPECT_EQ(c.Enter("1"), "1\r\n\n" + consoletest::kArrayMenu);
    std::memcpy(fw::pGetConfigImage()->sHeader.acConfigName, "AFTER THE JOB", 13);
    (void)fw::RequestConfigUpdate(fw::REQUESTER_COMMIT);
    c.Settle();
    EXPECT_EQ(c.Enter("0"), "0\r\n\n" + kConfigurationMenu);
    EXPECT_EQ(fw::fIsMenuSessionActive(), fw::TRUE);
    EXPECT_EQ(std::memcmp(fw::pGetScratchConfigImage()->sHeader.acConfigName, "AFTER THE JOB", 13), 0);
    EXPECT_EQ(fw::fConfigIndexMatches(fw::REQUESTER_CONSOLE), fw::TRUE);

    fw::SetConfigModified(fw::TRUE);
    (void)fw::RequestConfigUpdate(fw::REQUESTER_COMMIT);
    c.Settle();
    EXPECT_EQ(c.Type("1"), "\x1b[2J\n\nVT100 Configuration Aborted by Remote Configuration\n\nPress any key to continue...\n1");
    EXPECT_EQ(fw::fIsMenuSessionActive(), fw::FALSE);
}

// The data services are not built: their option says so and goes back.
TEST_F(MainMenus, DataServicesSayTheyAreNotAvailable) {
    OpenConfiguration();
    consoletest::MakeArray(fw::RAID_LEVEL_5, 3);
    EXPECT_EQ(c.Enter("6"), "6\r\n\n\nData Services Not Available\n\nPress any key to continue...\n");
    EXPECT_EQ(fw::psGetMenuState()->lMenuPath, 0x116u);
    EXPECT_EQ(c.Type(" "), kConfigurationMenu);
}

TEST_F(MainMenus, BaudRateChangeLeavesTheConsoleDeafUntilCtrlE) {
    const std::string kRs232 =
        "\n\nRS232 Settings Menu (6) (C0)\n\n"
        "Select BAUD Rate (Currently set to 115200)\n\n"
        "1.  115200\n2.  57600\n3.  38400\n4.  19200\n5.  9600\n"
        "\n0.  Exit\n\n" +
        kPrompt;
    EXPECT_EQ(c.Enter("6"), "6\r\n\n" + kRs232);
    EXPECT_EQ(c.Enter("0"), "0\r\n\n" + kMainMenu);
    c.Enter("6");
    EXPECT_EQ(c.Enter("5"), "5\r\n\n\x1b[2J\nBAUD Rate set to 9600\n");
    EXPECT_EQ(fw::dGetNvramBootWord(), 9600u);
    EXPECT_EQ(c.board.uart().Divisor(), 217u);
    EXPECT_EQ(c.Enter("1"), "");
    EXPECT_EQ(c.Type("\x05"), "\x1b[2J" + kMainMenu);
}

}  // namespace
