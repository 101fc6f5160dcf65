// The SAS link diagnostics menus screen for screen: the Diagnostic Counter
// Menu's options by controller model, its headings, and the AA Mux
// Maintenance Menu's three numbers with their refusals.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "config/config_state.h"
#include "console/console_menu.h"
#include "console/menu_tree.h"
#include "console_board.h"
#include "executive/types.h"
#include "sas/aa_mux.h"
#include "sas/sas_device_list.h"
#include "sim/board.h"

namespace {

using consoletest::ConsoleBoard;
using consoletest::kPrompt;

const std::string kAnyKey = "Press any key to continue...\n";
const std::string kCounterMenu =
    "\n\nDiagnostic Counter Menu (2-10) (C0)\n\n"
    "1.  Display LSI Counters\n"
    "2.  Display Expander Counters\n"
    "4.  Display SAS Drive Counters\n"
    "5.  Display SATA Drive Counters\n"
    "6.  Clear LSI Counters\n"
    "7.  Clear Expander Counters\n"
    "9.  Clear SAS Drive Counters\n"
    "10. Clear SATA Drive Counters\n"
    "13. Display Drive Error Counters.\n"
    "\n0.  Exit\n\n" +
    kPrompt;

class CounterMenus : public ::testing::Test {
protected:
    void SetUp() override {
        c.Boot();
        c.Type("\x05");
        fw::SetDiagnosticsModeLevel(3);
        c.Enter("2");
    }
    void TearDown() override { fw::SetDiagnosticsModeLevel(0); }
    ConsoleBoard c;
};

TEST_F(CounterMenus, TheCounterMenuOffersWhatThisModelHasAndPrintsItsHeadings) {
    EXPECT_EQ(c.Enter("10"), "10\r\n\n" + kCounterMenu);
    // The AA mux and host PHY options belong to other models.
    EXPECT_EQ(c.Enter("3"), "3\r" + kPrompt);
    EXPECT_EQ(c.Enter("11"), "11\r" + kPrompt);
    EXPECT_EQ(c.Enter("5"), "5\r\n\nDisplay SATA Drive Counters -- TODO\n" + kAnyKey);
    EXPECT_EQ(fw::psGetMenuState()->lMenuPath, 0x12A5u);
    EXPECT_EQ(c.Type(" "), kCounterMenu);
    EXPECT_EQ(c.Enter("2"), "2\r\n\nDisplay Expander Counters\n" + kAnyKey);
    c.Type(" ");
    // The drive-side controller's own phys, read from its SAS PHY pages.
    c.board.sasController().AddPhyErrors(2, {5, 6, 7, 8});
    c.board.sasController().AddPhyErrors(7, {0, 0, 0, 4000000000u});
    std::string phys = "\nPHY  InvalidDwords  DisparityErrs  LostDwordSyncs  ResetProblems\n";
    for (int phy = 0; phy < 8; ++phy) {
        char row[80];
        const bool two = phy == 2, seven = phy == 7;
        std::snprintf(row, sizeof row, " %2d     %10d     %10d      %10d     %10u\n", phy, two ? 5 : 0, two ? 6 : 0,
                      two ? 7 : 0, two ? 8u : seven ? 4000000000u : 0u);
        phys += row;
    }
    EXPECT_EQ(c.Enter("1"), "1\r\n\nLSI 106X Counters\n" + phys + kAnyKey);
    c.Type(" ");
    EXPECT_EQ(c.Enter("9"), "9\r\n\nClearing SAS Drive Counters -- TODO\n" + kAnyKey);
    c.Type(" ");
    EXPECT_NE(c.Enter("0").find("Diagnostics Menu (2)"), std::string::npos);
}

TEST_F(CounterMenus, TheAaMuxMenuTakesEnclosureSlotAndPortAndRefusesTheRest) {
    const std::string kTitle = "6\r\n\n\n\nAA Mux Maintenance Menu (2-1-6) (C0)\n\n\nSelect Enclosure: ";
    c.Enter("1");
    struct Case {
        const char* enclosure;
        const char* slot;
        const char* port;
        const char* refusal;
    };
    const Case cases[] = {
        {"0", nullptr, nullptr, "\nInvalid Enclosure Number\n\n"},
        {"17", nullptr, nullptr, "\nInvalid Enclosure Number\n\n"},
        {"1", "0", nullptr, "\nInvalid Slot Number\n\n"},
        {"1", "33", nullptr, "\nInvalid Slot Number\n\n"},
        {"1", "2", "3", "\nInvalid Port Number\n\n"},
        {"16", "32", "2", "\nInvalid Enclosure/Slot\n\n"},
        // A drive there, but no AA mux in front of it.
        {"1", "2", "0", "\nAA Mux not connected\n\n"},
    };
    for (const Case& k : cases) {
        ASSERT_EQ(c.Enter("6"), kTitle) << k.refusal;
        std::string last = c.Enter(k.enclosure);
        if (k.slot) {
            EXPECT_EQ(last, std::string(k.enclosure) + "\r\nSelect Slot     : ");
            last = c.Enter(k.slot);
        }
        if (k.port) {
            EXPECT_EQ(last, std::string(k.slot) + "\r\nSelect Mux Port : ");
            last = c.Enter(k.port);
        }
        const std::string typed = k.port ? k.port : k.slot ? k.slot : k.enclosure;
        EXPECT_EQ(last, typed + "\r" + k.refusal + kAnyKey);
        // Back to the Offline Diagnostics Menu.
        EXPECT_NE(c.Type(" ").find("Offline Diagnostics Menu (2-1)"), std::string::npos);
    }
}

// With an AA mux in front of the drive: the port menu, and the requests the
// mux driver refuses lead back to the Offline Diagnostics Menu.
TEST_F(CounterMenus, ThePortMenuReportsWhatTheMuxDriverAnswers) {
    fw::SAS_DEVICE_ENTRY* ps = nullptr;
    ASSERT_EQ(fw::bGetSASDeviceEntryByEnclosureSlot(1, 3, &ps), fw::STATUS_OK);
    ps->bStatus |= fw::SAS_DEVICE_STATUS_AA_MUX;
    c.Enter("1");
    c.Enter("6");
    c.Enter("1");
    c.Enter("3");
    EXPECT_EQ(c.Enter("1"), "1\r\n\nAA Mux Maintenance Menu (2-1-6-1) (C0)\n\n\n\nAA Mux: Encl:01:03 Port 1\n\n"
                            "1.  Set Far-end Digital Loopback Mode\n"
                            "2.  Set Far-end Analog Loopback Mode\n"
                            "3.  Display Tuning Parameters\n"
                            "4.  Set SAS/SATA Pre-emphasis\n"
                            "5.  Set SAS/SATA Equalization\n"
                            "6.  Set SAS/SATA Swing\n\n0.  Exit\n\n" +
                                kPrompt);
    EXPECT_EQ(fw::bGetMenuParameter(), 1);
    EXPECT_EQ(c.Enter("1"), "1\r\n\n\nInvalid selection\n\n" + kAnyKey);
    EXPECT_NE(c.Type(" ").find("Offline Diagnostics Menu"), std::string::npos);
    c.Enter("6");
    c.Enter("1");
    c.Enter("3");
    c.Enter("1");
    EXPECT_EQ(c.Enter("4"), "4\r\n\n\n\nSet AA Mux Pre-emphasis Menu (2-1-6-1-4) (C0)\n\n"
                            "1.  Set SAS Level 100%\n2.  Set SAS Level 87.5%\n3.  Set SAS Level 75%\n"
                            "4.  Set SAS Level 62.5%\n5.  Set SAS Level 50%\n6.  Set SATA Level 100%\n"
                            "7.  Set SATA Level 87.5%\n8.  Set SATA Level 75%\n9.  Set SATA Level 62.5%\n"
                            "10.  Set SATA Level 50%\n\n0.  Exit\n\n" +
                                kPrompt);
    EXPECT_EQ(c.Enter("11"), "11\r" + kPrompt);
    // The drive there is a SAS drive: the multiplexer's register read fails.
    EXPECT_EQ(c.Enter("7"), "7\r\n\n\nSet Pre-emphasis failed\n\n" + kAnyKey);
}

}  // namespace
