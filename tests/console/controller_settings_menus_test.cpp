// The settings below the Controller Firmware Menu: the identification
// dialogue (answers kept, refused or left as they were), its reset, the
// walk over the 24 expander PHY settings and their reset, and the alarm
// menu's options.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "config/nvram_records.h"
#include "console/console_menu.h"
#include "console/controller_settings_menus.h"
#include "console/menu_tree.h"
#include "console_board.h"
#include "executive/types.h"
#include "harness/dispatch_board.h"

namespace {

using consoletest::ConsoleBoard;
using consoletest::kAnyKey;
using consoletest::kPrompt;
using consoletest::Title;

class ControllerSettings : public ::testing::Test {
protected:
    void SetUp() override {
        c.fWaitForConfiguration = false;
        c.Boot();
        c.Type("\x05");
    }
    // A screen as its parent's option opens it.
    std::string Open(fw::MENU_FUNCTION pfnMenu, uint64_t parentPath) {
        fw::psGetMenuState()->lMenuPath = parentPath;
        c.board.ClearConsoleText();
        pfnMenu();
        c.Settle();
        return consoletest::Lines(c.board.ConsoleText());
    }
    static std::string Text(void (*pfnGet)(uint8_t*), size_t bytes) {
        uint8_t ab[64] = {};
        pfnGet(ab);
        return std::string(reinterpret_cast<char*>(ab), bytes);
    }
    ConsoleBoard c;
};

TEST_F(ControllerSettings, TheIdentificationDialogueKeepsEmptyAnswersAndAsksAgainAfterABadOne) {
    const std::string vendor = Text(fw::GetNvramVendorId, 8);
    const std::string product = Text(fw::GetNvramProductId, 16);
    const std::string screen = Open(fw::ModifyControllerIdentification, 0x12213);
    EXPECT_EQ(screen.rfind(Title("Controller Identification Menu", "2-2-1-3-1") + "Vendor ID        : " + vendor +
                               "\nProduct ID       : " + product + "\nCopyright        : ",
                           0),
              0u)
        << screen;
    EXPECT_NE(screen.find("\nASCII Serial No. : N\n\n\nNew Vendor ID <CR>    : "), std::string::npos) << screen;
    // Nine characters are one too many; a tab is not printable.
    EXPECT_EQ(consoletest::Lines(c.Enter("NINECHARS")), "NINECHARS\nNew Vendor ID <CR>    : ");
    EXPECT_EQ(consoletest::Lines(c.Enter("A\tB")), "A\tB\nNew Vendor ID <CR>    : ");
    EXPECT_EQ(consoletest::Lines(c.Enter("")), "\nNew Product ID <CR>   : ");
    c.Enter("");
    c.Enter("");
    EXPECT_EQ(consoletest::Lines(c.Enter("")), "\nASCII Serial No. (Y/N): ");
    EXPECT_EQ(consoletest::Lines(c.Enter("maybe")), "maybe\nASCII Serial No. (Y/N): ");
    EXPECT_EQ(consoletest::Lines(c.Enter("")), "\n\nNo change to Controller Identification\n\n" + kAnyKey);
    EXPECT_EQ(Text(fw::GetNvramVendorId, 8), vendor);
    EXPECT_EQ(Text(fw::GetNvramProductId, 16), product);
    EXPECT_NE(fw::bGetNvramByteD8(), fw::TRUE);
}

TEST_F(ControllerSettings, NewIdentificationIsStoredPaddedAndTheResetRestoresIt) {
    const std::string vendor = Text(fw::GetNvramVendorId, 8);
    Open(fw::ModifyControllerIdentification, 0x12213);
    c.Enter("NEWVEND");
    c.Enter("NEW PRODUCT");
    c.Enter("");
    c.Enter("");
    EXPECT_EQ(consoletest::Lines(c.Enter("y")), "y\n\nController Identification changed\n\n" + kAnyKey);
    EXPECT_EQ(Text(fw::GetNvramVendorId, 8), "NEWVEND ");
    EXPECT_EQ(Text(fw::GetNvramProductId, 16), "NEW PRODUCT     ");
    EXPECT_EQ(fw::bGetNvramByteD8(), fw::TRUE);
    // The reset asks first.
    c.Type("x");
    EXPECT_EQ(Open(fw::ConfirmResetControllerIdentification, 0x12213),
              "Confirm resetting of controller identification (Y or N): ");
    EXPECT_EQ(consoletest::Lines(c.Enter("n")), "n\nController Identification Reset Cancelled\n\n" + kAnyKey);
    EXPECT_EQ(Text(fw::GetNvramVendorId, 8), "NEWVEND ");
    c.Type("x");
    Open(fw::ConfirmResetControllerIdentification, 0x12213);
    EXPECT_EQ(consoletest::Lines(c.Enter("Y")), "Y\nController Identification Reset Completed\n\n" + kAnyKey);
    EXPECT_EQ(Text(fw::GetNvramVendorId, 8), vendor);
}

TEST_F(ControllerSettings, TheExpanderWalkAsksEachPhyAndTheResetWritesTheDefaults) {
    for (uint8_t e = 0; e < 2; ++e)
        for (uint8_t p = 0; p < 12; ++p) fw::SetNvramExpanderPhyConfig(e, p, 0x1000u * e + p);
    const std::string screen = Open(fw::ModifySasExpanderConfiguration, 0x12214);
    EXPECT_EQ(screen, Title("SAS Expander Configuration Menu", "2-2-1-4-1") +
                          "\n\nExpander 0 Phy:00 <CR = 00000000>    : ");
    EXPECT_EQ(consoletest::Lines(c.Enter("12345678A")), "12345678A\nExpander 0 Phy:00 <CR = 00000000>    : ");
    EXPECT_EQ(consoletest::Lines(c.Enter("abcd")), "abcd\nExpander 0 Phy:01 <CR = 00000001>    : ");
    for (int i = 1; i < 11; ++i) c.Enter("");
    EXPECT_EQ(consoletest::Lines(c.Enter("")), "\nExpander 1 Phy:00 <CR = 00001000>    : ");
    for (int i = 0; i < 11; ++i) c.Enter("");
    EXPECT_EQ(consoletest::Lines(c.Enter("")), "\n\n" + kAnyKey);
    EXPECT_EQ(fw::dGetNvramExpanderPhyConfig(0, 0), 0xABCDu);
    EXPECT_EQ(fw::dGetNvramExpanderPhyConfig(1, 11), 0x100Bu);
    c.Type("x");
    Open(fw::SasExpanderConfigurationMenu, 0x1221);
    EXPECT_EQ(consoletest::Lines(c.Enter("2")), "2\n\n" + kAnyKey);
    EXPECT_EQ(fw::dGetNvramExpanderPhyConfig(0, 0), 0x282C282Au);
    EXPECT_EQ(fw::dGetNvramExpanderPhyConfig(0, 1), 0x282A282Au);
    EXPECT_EQ(fw::dGetNvramExpanderPhyConfig(0, 7), 0x287C287Cu);
    EXPECT_EQ(fw::dGetNvramExpanderPhyConfig(1, 3), 0x282A282Au);
    EXPECT_EQ(fw::dGetNvramExpanderPhyConfig(1, 9), 0x287C287Cu);
    EXPECT_EQ(fw::dGetNvramExpanderPhyConfig(1, 11), 0x282C282Au);
}

TEST_F(ControllerSettings, TheAlarmMenuOffersTheMutesItCanDo) {
    const std::string screen = Open(fw::AudibleAlarmControlMenu, 0x1221);
    EXPECT_EQ(screen.rfind(Title("Audible Alarm Control Menu", "2-2-1-5") +
                               "1.  Display Audible Alarm Flags\n2.  Enable ALL Audible Alarm\n"
                               "3.  Disable ALL Audible Alarm\n",
                           0),
              0u)
        << screen;
    EXPECT_EQ(screen.find("4.  Mute"), std::string::npos) << screen;
    // Every mute line offered is an option of the mask, and no other.
    const uint16_t mask = fw::psGetMenuState()->wValidOptionMask;
    for (unsigned option = 5; option < 16; ++option) {
        const bool offered = screen.find(std::to_string(option) + ".  Mute Audible Alarm: Enc ") != std::string::npos;
        EXPECT_EQ((mask >> option) & 1u, offered ? 1u : 0u) << option;
    }
    EXPECT_EQ(consoletest::Lines(c.Enter("2")), "2\n\n" + kAnyKey);
    EXPECT_EQ(fw::psGetMenuState()->lMenuPath, 0x122152u);
}

}  // namespace
