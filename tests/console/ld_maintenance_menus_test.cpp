// The menus for logical drives that exist, typed at the console: deletion
// of one or all, expansion into a free region, availability on the ports
// and paths, and the mapped LUN; the screens and what each leaves in the
// scratch image.
#include <gtest/gtest.h>

#include <string>

#include "config/config_flags.h"
#include "config/address_translation.h"
#include "config/config_image.h"
#include "config/ld_operations.h"
#include "console/console_menu.h"
#include "console/menu_tree.h"
#include "console_board.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "made_arrays.h"

namespace {

using consoletest::ConsoleBoard;
using consoletest::kAnyKey;
using consoletest::kPrompt;
using consoletest::MakeArray;

const std::string kLdMenu =
    "\n\nLogical Drive Configuration Menu (1-2) (C0)\n\n1.  View Logical Drives\n"
    "2.  Create Logical Drive\n"
    "3.  Delete Logical Drive\n"
    "4.  Expand Logical Drive\n"
    "5.  Set Availability\n"
    "6.  View Unassigned Free Space\n"
    "7.  Advanced Configuration\n"
    "\n0.  Exit\n\n" +
    kPrompt;

sim::BoardConfig WithOemCode(uint32_t dOemCode) {
    sim::BoardConfig config;
    config.oemCode = dOemCode;
    return config;
}

class LdMaintenanceMenus : public ::testing::Test {
protected:
    explicit LdMaintenanceMenus(uint32_t dOemCode = 0) : c(sim::ChassisOptions(), WithOemCode(dOemCode)) {}
    // A RAID 5 and a RAID 0 array, three logical drives of 2 GB on the
    // first, and the Logical Drive Configuration Menu.
    void SetUp() override {
        c.Boot();
        c.Type("\x05");
        c.Enter("1");
        MakeArray(fw::RAID_LEVEL_5, 3);
        MakeArray(fw::RAID_LEVEL_0, 2);
        for (int i = 0; i < 3; ++i) ASSERT_EQ(fw::CreateLogicalDrive(2, 0, 512, 15, nullptr), fw::STATUS_OK);
        fw::SetConfigModified(fw::FALSE);
        ASSERT_EQ(c.Enter("2"), "2\r\n\n" + kLdMenu);
    }
    fw::CONFIG_IMAGE& Scratch() const { return *fw::pGetScratchConfigImage(); }
    fw::CONFIG_LD_RECORD& Ld(int i) const { return Scratch().asLd[i]; }
    ConsoleBoard c;
};

TEST_F(LdMaintenanceMenus, DeleteOneOrAllInAnyCase) {
    EXPECT_EQ(c.Enter("3"), "3\r\n\n\n\nDelete Logical Drive Configuration Menu (1-2-3) (C0)\n\n"
                            "\nSelect Logical Drive to Delete (0..2, ALL): ");
    EXPECT_EQ(c.Enter("AL"), "AL\r\nInvalid selection\n\n" + kAnyKey);
    EXPECT_EQ(c.Type(" "), kLdMenu);
    c.Enter("3");
    EXPECT_EQ(c.Enter("ALLL"), "ALLL\r\nInvalid selection\n\n" + kAnyKey);
    c.Type(" ");
    c.Enter("3");
    EXPECT_EQ(c.Enter("1"), "1\r\nLogical Drive Deletion Will Delete Data!!\n"
                            "Confirm Deletion of Logical Drive 001 (Y or N): ");
    EXPECT_EQ(c.Enter("n"), "n\r\nNo change to logical drives\n\n" + kAnyKey);
    EXPECT_EQ(Scratch().sHeader.wLdCount, 3);
    c.Type(" ");
    c.Enter("3");
    c.Enter("1");
    EXPECT_EQ(c.Enter("y"), "y\r\nDeleting Logical Drive 001\n\n" + kAnyKey);
    EXPECT_EQ(Scratch().sHeader.wLdCount, 2);
    EXPECT_EQ(fw::fGetConfigModified(), fw::TRUE);
    c.Type(" ");
    for (const char* pszAll : {"all", "All"}) {
        c.Enter("3");
        EXPECT_EQ(c.Enter(pszAll), std::string(pszAll) + "\r\nLogical Drive Deletion Will Delete Data!!\n"
                                                          "Confirm Deletion of All Logical Drives (Y or N): ");
        c.Enter("n");
        c.Type(" ");
    }
    c.Enter("3");
    c.Enter("ALL");
    EXPECT_EQ(c.Enter("Y"), "Y\r\nDeleting All Logical Drives\n\n" + kAnyKey);
    EXPECT_EQ(Scratch().sHeader.wLdCount, 0);
    c.Type(" ");
    EXPECT_EQ(c.Enter("3"), "3\r\n\n\nNo Configured Logical Drives to Delete\n\n" + kAnyKey);
}

TEST_F(LdMaintenanceMenus, ExpandIntoARegionOfTheSameKindOfArray) {
    EXPECT_EQ(c.Enter("4"), "4\r\n\n\n\nExpand Logical Drive Configuration Menu (1-2-4) (C0)\n\n"
                            "\nSelect Logical Drive to Expand (0..2): ");
    EXPECT_EQ(c.Enter("0"), "0\r\n\nExpand Logical Drive Configuration Menu (1-2-4-1) (C0)\n\n"
                            "\nSelect Unused Region to Use (0..1): ");
    // Region 1 lies on the RAID 0 array.
    EXPECT_EQ(c.Enter("1"), "1\r\nRAID Level Mismatch\n\n" + kAnyKey);
    c.Type(" ");
    c.Enter("4");
    c.Enter("0");
    const uint32_t dFree = fw::pGetLdWorkTableB()->asEntry[0].wSizeUnits;
    EXPECT_EQ(c.Enter("0"), "0\r\n\nExpand Logical Drive Configuration Menu (1-2-4-1-1) (C0)\n\n"
                            "\nExpand Logical Drive 000 (Current Capacity 0002 GB)\n"
                            "\nEnter the additional capacity for logical drive (1.." +
                                std::to_string(dFree) + " GB) (<CR> = MAX): ");
    EXPECT_EQ(c.Enter(std::to_string(dFree + 1)), std::to_string(dFree + 1) + "\r\nInvalid selection\n\n" + kAnyKey);
    c.Type(" ");
    c.Enter("4");
    c.Enter("0");
    c.Enter("0");
    EXPECT_EQ(c.Enter("1"), "1\r\nLogical Drive 000 Successfully Expanded\n\n" + kAnyKey);
    EXPECT_EQ(Ld(0).wCapacityGb, 3);
    EXPECT_EQ(Ld(0).bSegmentCount, 2);
    EXPECT_EQ(fw::fGetConfigModified(), fw::TRUE);
    c.Type(" ");

    // Near the largest size only what is left up to 65535 GB is offered.
    Ld(2).wCapacityGb = 65535 - 1;
    c.Enter("4");
    c.Enter("2");
    const std::string sLimit = c.Enter("0");
    EXPECT_NE(sLimit.find("(Current Capacity 65534 GB)\n"
                          "\nEnter the additional capacity for logical drive (Max 1 GB) (<CR> = MAX): "),
              std::string::npos)
        << sLimit;
    c.Enter("x");
    c.Type(" ");
    Ld(2).wCapacityGb = 65535;
    c.Enter("4");
    c.Enter("2");
    EXPECT_NE(c.Enter("0").find("\nUnable to expand logical drive beyond 65,535 GB limit\n\n"), std::string::npos);
    c.Type(" ");
    Ld(2).wCapacityGb = 2;

    // Sixteen segments are the most; internal use ones never grow.
    Ld(1).bSegmentCount = 16;
    c.Enter("4");
    EXPECT_EQ(c.Enter("1"), "1\r\nLogical drive 001 region limit (16) reached!\n\n" + kAnyKey);
    c.Type(" ");
    Ld(1).bSegmentCount = 1;
    Ld(1).bLdUseFlags = 0x80;
    c.Enter("4");
    c.Enter("1");
    EXPECT_NE(c.Enter("0").find("\nLogical Drive expansion not supported on Internal Use Logical Drives.\n\n"),
              std::string::npos);
}

TEST_F(LdMaintenanceMenus, AvailabilityPortByPortAndInternalUse) {
    EXPECT_EQ(c.Enter("5"), "5\r\n\n\n\nSet Logical Drive Availability Configuration Menu (1-2-5) (C0)\n\n"
                            "\nSelect logical drive to set availability (0..2): ");
    const bool fPartnerPorts = fw::fGetBoardFlagB6() == fw::TRUE;
    std::string sShown = "1\r\n\nLogical Drive 001 Current Availability: \n"
                         "Controller 0 Port 0: Enabled\n"
                         "Controller 0 Port 1: Enabled\n"
                         "Flagged For Internal Use Only: No\n";
    if (fPartnerPorts) sShown += "Controller 1 Port 0: Enabled\nController 1 Port 1: Enabled\n";
    EXPECT_EQ(c.Enter("1"), sShown + "\nEnable Logical Drive 001 Access For Controller 0 Port 0 (Y or N): ");
    EXPECT_EQ(c.Enter("y"), "y\r\nEnable Logical Drive 001 Access For Controller 0 Port 1 (Y or N): ");
    // The second port is cleared: the logical drive is hidden there only.
    std::string sNext = c.Enter("n");
    if (fPartnerPorts) {
        c.Enter("y");
        sNext = c.Enter("y");
    }
    EXPECT_EQ(sNext.substr(sNext.find('\r')), "\r\nFlag Logical Drive For Internal Use Only (Y or N): ");
    EXPECT_EQ(c.Enter("n"), "n\r\nLogical Drive Availability modified\n\n" + kAnyKey);
    EXPECT_EQ(Ld(1).bAvailability, 0x0D);
    EXPECT_EQ(fw::fGetConfigModified(), fw::TRUE);
    c.Type(" ");

    // Internal use: every port off, the duplication flag with it.
    fw::SetConfigModified(fw::FALSE);
    c.Enter("5");
    c.Enter("1");
    for (int i = 0; i < (fPartnerPorts ? 4 : 2); ++i) c.Enter("y");
    EXPECT_EQ(c.Enter("y"), "y\r\nFlag Logical Drive For Duplication Use Only (Y or N): ");
    EXPECT_EQ(c.Enter("y"), "y\r\n\nLogical Drive Availability modified please save configuration!!!!\n\n" + kAnyKey);
    EXPECT_EQ(Ld(1).bAvailability, 0x80);
    EXPECT_EQ(Ld(1).bLdUseFlags, 0x80);
    EXPECT_EQ(Ld(1).bDupRole, 2);
    c.Type(" ");

    // Keeping it internal changes nothing; clearing it brings the ports back.
    c.Enter("5");
    EXPECT_EQ(c.Enter("1"), "1\r\n\nLogical Drive 001 Current Availability: \n"
                            "This Logical Drive Flagged For Internal Use Only. Remain Flagged As Internal (Y or N): ");
    EXPECT_EQ(c.Enter("n"), "n\r\n" + kAnyKey);
    EXPECT_EQ(Ld(1).bLdUseFlags, 0);
    EXPECT_EQ(Ld(1).bDupRole, 0);
    const std::string sPorts = c.Type(" ");
    EXPECT_EQ(sPorts.rfind("\n\nLogical Drive 001 Current Availability: \nController 0 Port 0: Disabled\n", 0), 0u)
        << sPorts;
    // A wrong answer puts back what the dialogue began with.
    EXPECT_EQ(c.Enter("q"), "q\r\nInvalid selection\n\n" + kAnyKey);
    EXPECT_EQ(Ld(1).bAvailability, 0x80);
    EXPECT_EQ(Ld(1).bLdUseFlags, 0);
}

// A maker whose logical drives have a primary and a secondary path.
class LdPathMenus : public LdMaintenanceMenus {
protected:
    LdPathMenus() : LdMaintenanceMenus(0x101) {}
    // This maker's drives are not qualified here for arrays: the logical
    // drive record alone is what the dialogue reads.
    void SetUp() override {
        c.Boot();
        c.Type("\x05");
        c.Enter("1");
        Scratch().sHeader.wLdCount = 1;
        Ld(0).bAvailability = 0x0F;
        // Option 5 of the Logical Drive Configuration Menu.
        fw::psGetMenuState()->lMenuPath = 0x112;
        fw::LdAvailabilityMenu();
        c.Settle();
    }
};

TEST_F(LdPathMenus, AvailabilityAsPrimaryAndSecondaryPaths) {
    EXPECT_EQ(c.Enter("0"), "0\r\n\nLogical Drive 000 Current Availability: \nInvalid Availability (0f)\n"
                            "\nEnable C0P0 Primary Path, C1P0 Secondary Path for Logical Drive 000 (Y or N): ");
    EXPECT_EQ(c.Enter("n"), "n\r\nEnable C0P1 Primary Path, C1P1 Secondary Path for Logical Drive 000 (Y or N): ");
    EXPECT_EQ(c.Enter("y"), "y\r\nLogical Drive Availability modified\n\n" + kAnyKey);
    EXPECT_EQ(Ld(0).bAvailability, 2);
    c.Type(" ");
    c.Enter("5");
    EXPECT_NE(c.Enter("0").find("\nC0P1 Primary Path, C1P1 Secondary Path\n"), std::string::npos);
    for (int i = 0; i < 3; ++i) c.Enter("n");
    EXPECT_EQ(c.Enter(""), "\r\nLogical Drive Availability modified\n\n" + kAnyKey);
    EXPECT_EQ(Ld(0).bAvailability, 0);
    c.Type(" ");
    c.Enter("5");
    EXPECT_NE(c.Enter("0").find("\nNo Availability Set\n"), std::string::npos);
    for (int i = 0; i < 3; ++i) c.Enter("n");
    EXPECT_EQ(c.Enter("n"), "n\r\nNo change to logical drive availability \n\n" + kAnyKey);
}

TEST_F(LdMaintenanceMenus, MappedLunChangesOnlyToAFreeLun) {
    EXPECT_EQ(c.Enter("7"), "7\r\n\n\n\nAdvanced Logical Drive Configuration Menu (1-2-7) (C0)\n\n"
                            "1.  Modify Mapped LUN Number\n\n0.  Exit\n\n" +
                                kPrompt);
    EXPECT_EQ(c.Enter("1"), "1\r\n\n\n\nModify Logical Drive Configuration Menu (1-2-7-1) (C0)\n\n"
                            "\nSelect Logical Drive to Modify (0..2): ");
    EXPECT_EQ(c.Enter("2"), "2\r\n\nModify Logical Drive Configuration Menu (1-2-7-1-1) (C0)\n\n"
                            "LD 002 is Currently Mapped as LUN 002\n\n"
                            "\nSelect New Mapped LUN for Logical Drive 002: ");
    EXPECT_EQ(c.Enter("512"), "512\r\nInvalid selection\n\n" + kAnyKey);
    c.Type(" ");
    c.Enter("1");
    c.Enter("2");
    EXPECT_EQ(c.Enter("1"), "1\r\nMapped LUN 001 Already Used!\n\n" + kAnyKey);
    c.Type(" ");
    c.Enter("1");
    c.Enter("2");
    EXPECT_EQ(c.Enter("2"), "2\r\nNo change to logical drive\n\n" + kAnyKey);
    c.Type(" ");
    c.Enter("1");
    c.Enter("2");
    EXPECT_EQ(c.Enter("511"), "511\r\nModifying mapped LUN number may result in data becoming unavailable!!\n"
                              "Confirm modification of logical drive 002 (Y or N): ");
    EXPECT_EQ(c.Enter("y"), "y\r\nModifying logical drive 002 mapped LUN number to 511\n\n" + kAnyKey);
    EXPECT_EQ(Ld(2).wDefaultLun, 511);
    EXPECT_EQ(fw::fGetConfigModified(), fw::TRUE);
    EXPECT_EQ(c.Type(" "), "\n\nAdvanced Logical Drive Configuration Menu (1-2-7) (C0)\n\n"
                           "1.  Modify Mapped LUN Number\n\n0.  Exit\n\n" +
                               kPrompt);
    EXPECT_EQ(c.Enter("0"), "0\r\n\n" + kLdMenu);
}

}  // namespace
