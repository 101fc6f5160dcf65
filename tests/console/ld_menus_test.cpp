// The Logical Drive Configuration Menu and the creation dialogue on two
// RAID 5 arrays made at the console, and the save that commits them.
#include <gtest/gtest.h>

#include <string>

#include "config/config_image.h"
#include "config/config_state.h"
#include "console/console_menu.h"
#include "console_board.h"
#include "executive/types.h"

namespace {

using consoletest::ConsoleBoard;
using consoletest::kPrompt;

const std::string kAnyKey = "Press any key to continue...\n";
const std::string kLdMenuOptions =
    "2.  Create Logical Drive\n"
    "3.  Delete Logical Drive\n"
    "4.  Expand Logical Drive\n"
    "5.  Set Availability\n"
    "6.  View Unassigned Free Space\n"
    "7.  Advanced Configuration\n";
const std::string kLdMenu = "\n\nLogical Drive Configuration Menu (1-2) (C0)\n\n1.  View Logical Drive\n" +
                            kLdMenuOptions + "\n0.  Exit\n\n" + kPrompt;
const std::string kBlockSize =
    "1.  512 Bytes Host Block Size\n"
    "2.  4096 Bytes Host Block Size\n"
    "\n0.  Exit\n\n" +
    kPrompt;

class LdMenus : public ::testing::Test {
protected:
    // Two RAID 5 arrays of four drives each, taken from the proposals, and
    // the Logical Drive Configuration Menu.
    void SetUp() override {
        c.Boot();
        c.Type("\x05");
        c.Enter("1");
        c.Enter("1");
        // Of eight drives the fourth proposal takes four; of the other
        // four the only proposal takes them all.
        for (const char* pszProposal : {"4", "2"}) {
            c.Enter("2");
            c.Enter("3");
            ASSERT_NE(c.Enter(pszProposal).find("Successfully Created"), std::string::npos);
            c.Type(" ");
        }
        c.Enter("0");
        ASSERT_EQ(c.Enter("2"), "2\r\n\n" + kLdMenu);
    }
    const fw::CONFIG_IMAGE& Scratch() const { return *fw::pGetScratchConfigImage(); }
    ConsoleBoard c;
};

TEST_F(LdMenus, ChosenRegionTakesTheNumberAndSizeAsked) {
    EXPECT_EQ(c.Enter("2"), "2\r\n\n\n\nCreate Logical Drive Configuration Menu (1-2-2) (C0)\n\n"
                            "\nSelect Region to Create Logical Drive\n\n"
                            "1.  Manually Select Unused Free Space Region(s)\n"
                            "2.  All Unused Free Space Regions (24 GB)\n"
                            "\n0.  Exit\n\n" +
                                kPrompt);
    EXPECT_EQ(c.Enter("1"), "1\r\n\n\n\nCreate Logical Drive Configuration Menu (1-2-2-1) (C0)\n\n"
                            "\nSelect Unused Region to Use (0..1): ");
    EXPECT_EQ(c.Enter("2"), "2\r\nInvalid selection\n\n" + kAnyKey);
    EXPECT_EQ(c.Type(" "), kLdMenu);
    c.Enter("2");
    c.Enter("1");
    EXPECT_EQ(c.Enter("1"), "1\r\n\nCreate Logical Drive Configuration Menu (1-2-2-1-1) (C0)\n\n"
                            "\nEnter number of logical drives to create (1..12) (<CR> = 1): ");
    EXPECT_EQ(c.Enter("3"), "3\r\n\nCreate Logical Drive Configuration Menu (1-2-2-1-1-1) (C0)\n\n"
                            "\nEnter size of logical drives to create (1..4 GB) (<CR> = MAX): ");
    EXPECT_EQ(c.Enter(""), "\r\n\nCreate Logical Drive Configuration Menu (1-2-2-1-1-1-1) (C0)\n\n" + kBlockSize);
    EXPECT_EQ(c.Enter("1"), "1\r\n\n\nLogical Drives 000 to 002 Successfully Created\n" + kAnyKey);
    ASSERT_EQ(Scratch().sHeader.wLdCount, 3);
    for (int l = 0; l < 3; ++l) {
        EXPECT_EQ(Scratch().asLd[l].wCapacityGb, 4);
        EXPECT_EQ(Scratch().asLd[l].wBlockSize, 512);
        EXPECT_EQ(Scratch().asLd[l].wDefaultLun, l);
    }
    EXPECT_EQ(c.Type(" "), "\n\nLogical Drive Configuration Menu (1-2) (C0)\n\n1.  View Logical Drives\n" +
                               kLdMenuOptions + "\n0.  Exit\n\n" + kPrompt);
}

TEST_F(LdMenus, AllRegionsShareTheFreeSpace) {
    c.Enter("2");
    EXPECT_EQ(c.Enter("2"), "2\r\n\n\n\nCreate Logical Drive Configuration Menu (1-2-2-2) (C0)\n\n"
                            "\nEnter number of logical drives to create (1..24) (<CR> = 1): ");
    EXPECT_EQ(c.Enter("2"), "2\r\n\nCreate Logical Drive Configuration Menu (1-2-2-2-1) (C0)\n\n"
                            "\nEnter size of logical drives to create (1..12 GB) (<CR> = MAX): ");
    EXPECT_EQ(c.Enter("13"), "13\r\nInvalid selection\n\n" + kAnyKey);
    c.Type(" ");
    c.Enter("2");
    c.Enter("2");
    c.Enter("2");
    c.Enter("");
    // Exit at the block size creates nothing.
    EXPECT_EQ(c.Enter("0"), "0\r\n\n" + kLdMenu);
    EXPECT_EQ(Scratch().sHeader.wLdCount, 0);
    c.Enter("2");
    c.Enter("2");
    c.Enter("");
    EXPECT_EQ(c.Enter(""), "\r\n\nCreate Logical Drive Configuration Menu (1-2-2-2-1-1) (C0)\n\n" + kBlockSize);
    EXPECT_EQ(c.Enter("2"), "2\r\n\n\nLogical Drive 000 Successfully Created\n" + kAnyKey);
    EXPECT_EQ(Scratch().asLd[0].wCapacityGb, 24);
    EXPECT_EQ(Scratch().asLd[0].wBlockSize, 4096);
    EXPECT_EQ(Scratch().asLd[0].bSegmentCount, 2);
    c.Type(" ");
    EXPECT_EQ(c.Enter("2"), "2\r\n\n\nNo free space to create logical drive\n\n" + kAnyKey);
}

TEST_F(LdMenus, CountLimitsAndTheAdvancedOption) {
    fw::pGetScratchConfigImage()->sHeader.wLdCount = 511;
    c.Enter("2");
    const std::string sCount = c.Enter("2");
    const std::string kMaxOne = "\nEnter number of logical drives to create (MAX 1) (<CR> = 1): ";
    EXPECT_EQ(sCount.substr(sCount.size() - kMaxOne.size()), kMaxOne);
    EXPECT_EQ(c.Enter("2"), "2\r\nInvalid selection\n\n" + kAnyKey);
    c.Type(" ");
    fw::pGetScratchConfigImage()->sHeader.wLdCount = 512;
    EXPECT_EQ(c.Enter("2"), "2\r\n\n\nMaximum logical drive count reached (512)\n\n" + kAnyKey);
    c.Type(" ");
    fw::pGetScratchConfigImage()->sHeader.wLdCount = 0;
    EXPECT_EQ(c.Enter("8"), "8\r" + kPrompt);
    fw::SetAdvancedConfigModeLevel(2);
    c.Enter("0");
    EXPECT_EQ(c.Enter("2"), "2\r\n\n" + kLdMenu.substr(0, kLdMenu.find("\n0.  Exit")) +
                                "8.  View All Region Information\n\n0.  Exit\n\n" + kPrompt);
    // In advanced mode the regions show where they lie.
    EXPECT_EQ(c.Enter("8"), "8\r\n\n"
                            "Total Capacity : 00024 GB\nUsed Capacity  : 00000 GB\nUnused Capacity: 00024 GB\n\n"
                            "Reg:000 Capacity:0012 GB Array:00 Unused     (0000000000->0001793fff 0001793fff)\n"
                            "Reg:001 Capacity:0012 GB Array:01 Unused     (0001794000->0002f27fff 0001793fff)\n"
                            "\n\n\n" + kAnyKey);
}

TEST_F(LdMenus, ViewsPrintAndReturnToTheMenuAfterAKey) {
    const struct {
        const char* pszOption;
        std::string sView;
    } views[] = {
        {"1", "No Logical Drives Configured\n\n"},
        {"6", "Total Capacity : 00024 GB\nUsed Capacity  : 00000 GB\nUnused Capacity: 00024 GB\n\n"
              "Region:000 Capacity:0012 GB Array:00\nRegion:001 Capacity:0012 GB Array:01\n\n"},
    };
    for (const auto& v : views) {
        SCOPED_TRACE(v.pszOption);
        EXPECT_EQ(c.Enter(v.pszOption), std::string(v.pszOption) + "\r\n\n" + v.sView + "\n\n" + kAnyKey);
        EXPECT_EQ(c.Type(" "), kLdMenu);
    }
}

TEST_F(LdMenus, SavedArraysAndLogicalDrivesAreCommitted) {
    c.Enter("2");
    c.Enter("2");
    c.Enter("2");
    c.Enter("");
    c.Enter("1");
    c.Type(" ");
    c.Enter("0");
    EXPECT_EQ(c.Enter("0"), "0\r\n\n\nSaving configuration will overwrite current configuration!!\n"
                            "Confirm saving of new configuration (Y or N): ");
    EXPECT_EQ(c.Enter("Y"), "Y\r\nSaving Configuration\n\n" + kAnyKey);
    const fw::CONFIG_IMAGE& sLive = *fw::pGetConfigImage();
    EXPECT_EQ(sLive.sHeader.wRankCount, 2);
    EXPECT_EQ(sLive.sHeader.wLdCount, 2);
    EXPECT_EQ(fw::fIsMenuSessionActive(), fw::FALSE);
}

}  // namespace
