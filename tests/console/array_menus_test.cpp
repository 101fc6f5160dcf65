// The Array Configuration Menu and the array creation dialogue on a running
// controller with eight alike drives: both roads to a new array, typed as
// an operator types them, and the dialogue's refusals.
#include <gtest/gtest.h>

#include <string>

#include "config/array_proposals.h"
#include "config/config_flags.h"
#include "config/config_image.h"
#include "config/config_state.h"
#include "config/drive_tables.h"
#include "console/console_menu.h"
#include "console_board.h"
#include "made_arrays.h"
#include "executive/system_state.h"
#include "executive/types.h"

namespace {

using consoletest::ConsoleBoard;
using consoletest::EndsWith;
using consoletest::kArrayMenu;
using consoletest::kArraysMenu;
using consoletest::kContinue;
using consoletest::kPrompt;

std::string CreateMenu(unsigned uUnused) {
    return "\n\nCreate Array Configuration Menu (1-1-2) (C0)\n\n" + std::to_string(uUnused) +
           " unused drives available for configuration\n"
           "\nSelect RAID Level\n\n"
           "1.  RAID 0\n2.  RAID 1/10\n3.  RAID 5/50\n4.  RAID 6\n"
           "\n0.  Exit\n\n" +
           kPrompt;
}

const std::string kChunkMenu =
    "\n\nCreate Array Configuration Menu (1-1-2-3-1) (C0)\n\n"
    "\nSelect Chunk Size\n\n"
    "1.  64 K\n2.  128 K\n3.  256 K\n"
    "\n0.  Exit\n\n" +
    kPrompt;

// The reserve question of the dialogue whose path digits are given.
std::string ReserveMenu(const std::string& sPath) {
    return "\n\nCreate Array Configuration Menu (" + sPath + ") (C0)\n\n"
           "\nIn order to allow drives from a different family or manufacturer to be used\n"
           "as a replacement for a drive in this array, it is recommended that a small\n"
           "percentage of the drive's capacity be reserved when creating the array.\n"
           "\nThe value is user entered from 0, 0.01 - 0.99, 1 - 99, and 99.9%.\n"
           "\nSelect percentage of drive capacity to reserve (<CR> = 1%): ";
}

const std::string kAddDrive = " OK\nAdd this Disk Drive? (Y or N, <CR> = Y): ";
const std::string kAnyKey = "Press any key to continue...\n";

class ArrayMenus : public ::testing::Test {
protected:
    void SetUp() override {
        c.Boot();
        c.Type("\x05");
        c.Enter("1");
        ASSERT_EQ(c.Enter("1"), "1\r\n\n" + kArrayMenu);
    }
    const fw::CONFIG_IMAGE& Scratch() const { return *fw::pGetScratchConfigImage(); }
    // From the Array Configuration Menu to the drive offers of a level.
    std::string StartManual(const char* pszLevel, const char* pszChunk = "2") {
        c.Enter("2");
        c.Enter(pszLevel);
        c.Enter("1");
        return c.Enter(pszChunk);
    }
    void AddDrives(const std::string& sAnswers) { consoletest::AddDrives(c, sAnswers); }
    ConsoleBoard c;
};

TEST_F(ArrayMenus, ManualRaid5ThroughEveryStep) {
    EXPECT_EQ(c.Enter("2"), "2\r\n\n" + CreateMenu(8));
    const std::string sLevel = c.Enter("3");
    EXPECT_EQ(sLevel.rfind("3\r\n\n\n\nRAID 5/50 Array Configuration Menu (1-1-2-3) (C0)\n\n1.  Manual Configuration\n", 0),
              0u);
    EXPECT_EQ(c.Enter("1"), "1\r\n\n" + kChunkMenu);

    EXPECT_EQ(c.Enter("2"), "2\r\n\n\n\nCreate Array Configuration Menu (1-1-2-3-1-2) (C0)\n\n"
                            "\nSelect Disk Drives -- 00 Disk Drives Added\n\n"
                            "\nNo. Type Identifier       Product ID   F/W  Sav Ser. No. Cap.   ID  EN SL PS ST\n"
                            "--- ---- ---------------- ------------ ---- --- -------- ------ --- -- -- -- --\n"
                            "000 SAS  5005d5d000a00010 SIMDISK 4G   0001 No  M0000001 004 GB 001 01 01 --" +
                                kAddDrive);

    // An empty line adds the drive: the count line is rewritten in place.
    EXPECT_EQ(c.Enter(""), "\r\x1b[6A\rSelect Disk Drives -- 01 Disk Drives Added\n\n\x1b[4B\r\x1b[2K" + kContinue);
    EXPECT_EQ(c.Enter(""), "\r\r\x1b[2K\x1b[1A\r\x1b[2K\r"
                           "001 SAS  5005d5d000a00020 SIMDISK 4G   0001 No  M0000002 004 GB 003 01 02 --" +
                               kAddDrive);
    // N skips the drive on offer.
    EXPECT_EQ(c.Enter("n"), "n\r\r\x1b[2K" + kContinue);
    c.Enter("");
    c.Enter("Y");
    c.Enter("");
    c.Enter("y");
    EXPECT_EQ(c.Enter("n"), "n\r\n\n" + kAnyKey);
    EXPECT_EQ(c.Type(" "), ReserveMenu("1-1-2-3-1-2-1"));
    EXPECT_EQ(c.Enter(""), "\r\nArray 00 Successfully Created\n\n" + kAnyKey);
    EXPECT_EQ(fw::fGetConfigModified(), fw::TRUE);

    const fw::CONFIG_RANK_RECORD& r = Scratch().asRank[0];
    EXPECT_EQ(Scratch().sHeader.wRankCount, 1);
    EXPECT_EQ(r.bRaidLevel, fw::RAID_LEVEL_50);
    EXPECT_EQ(r.bDriveCount, 3);
    EXPECT_EQ(r.bParityCount, 1);
    EXPECT_EQ(r.wChunkSize, 256);
    EXPECT_EQ(r.bCapacityReserve, 1);
    EXPECT_EQ(fw::bGetSpareDriveTableCount(), 5);
    EXPECT_EQ(c.Type(" "), kArrayMenu);
}

TEST_F(ArrayMenus, ProposalsOfAlikeDrives) {
    const std::string kRaid5 =
        "\n\nRAID 5/50 Array Configuration Menu (1-1-2-3) (C0)\n\n"
        "1.  Manual Configuration\n"
        "2.    29 GB,  8 Drives, 1 Subarray\n"
        "3.    21 GB,  6 Drives, 1 Subarray\n"
        "4.    12 GB,  4 Drives, 1 Subarray\n"
        "\n0.  Exit\n\n" +
        kPrompt;
    c.Enter("2");
    EXPECT_EQ(c.Enter("3"), "3\r\n\n" + kRaid5);
    // RAID 6 proposals are not offered: only the manual road.
    c.Enter("0");
    c.Enter("2");
    EXPECT_EQ(c.Enter("4"), "4\r\n\n\n\nRAID 6 Array Configuration Menu (1-1-2-4) (C0)\n\n"
                            "1.  Manual Configuration\n\n0.  Exit\n\n" +
                                kPrompt);
    EXPECT_EQ(c.Enter("5"), "5\r" + kPrompt);
    c.Enter("0");
    c.Enter("2");
    c.Enter("3");
    EXPECT_EQ(c.Enter("4"), "4\r\n\nArray 00 Successfully Created\n\n" + kAnyKey);
    const fw::CONFIG_RANK_RECORD& r = Scratch().asRank[0];
    EXPECT_EQ(r.bDriveCount, 4);
    EXPECT_EQ(r.wChunkSize, 512);
    EXPECT_EQ(r.bParityCount, 1);
    // The array holds what its line offered.
    EXPECT_EQ(r.wCapacityGb, 12);
    EXPECT_EQ(fw::bGetSpareDriveTableCount(), 4);
    EXPECT_EQ(c.Type(" "), kArrayMenu);
}

TEST_F(ArrayMenus, LevelsNeedEnoughUnusedDrives) {
    // Four drives go into a RAID 0: four are left, enough for RAID 6.
    StartManual("1", "1");
    AddDrives("yyyy");
    c.Type(" ");
    c.Enter("0");
    ASSERT_EQ(fw::bGetSpareDriveTableCount(), 4);
    c.Type(" ");
    c.Enter("2");
    EXPECT_NE(c.Enter("4").find("RAID 6 Array Configuration Menu (1-1-2-4)"), std::string::npos);
    c.Enter("1");
    c.Enter("1");
    AddDrives("yyy");
    EXPECT_EQ(c.Type(" "), "\nInsufficient Number of Drives Specified RAID_6, Array Not Added\n\n" + kAnyKey);
    EXPECT_EQ(c.Type(" "), kArrayMenu);
    // One more array of one drive: three are left, too few for RAID 6.
    StartManual("1", "1");
    AddDrives("y");
    c.Type(" ");
    c.Enter("0");
    c.Type(" ");
    c.Enter("2");
    EXPECT_EQ(c.Enter("4"), "4\r\n\n\nInsufficient unused drives available for RAID 6 RAID 6 configuration\n\n" + kAnyKey);
    EXPECT_EQ(c.Type(" "), kArraysMenu);
    // RAID 1/10 takes no odd count; two drives go on to the reserve.
    StartManual("2");
    AddDrives("yyy");
    EXPECT_EQ(c.Type(" "), "\nUneven Number of Drives Specified, Array Not Added\n\n" + kAnyKey);
    EXPECT_EQ(c.Type(" "), kArraysMenu);
    StartManual("2");
    AddDrives("yy");
    EXPECT_NE(c.Type(" ").find("Select percentage of drive capacity to reserve"), std::string::npos);
}

TEST_F(ArrayMenus, SelectionEndsAtTheLastUnusedDrive) {
    StartManual("4");
    for (int i = 0; i < 7; ++i) {
        c.Enter("");
        c.Enter("");
    }
    // The eighth drive is the last: no question to continue.
    EXPECT_EQ(c.Enter(""), "\r\x1b[6A\rSelect Disk Drives -- 08 Disk Drives Added\n\n\x1b[4B\r\x1b[2K"
                           "\nAll unused drives (08) added\n\n" +
                               kAnyKey);
    EXPECT_NE(c.Type(" ").find("Select percentage"), std::string::npos);
    c.Enter("0");
    EXPECT_EQ(Scratch().asRank[0].bDriveCount, 8);
    EXPECT_EQ(Scratch().asRank[0].bParityCount, 2);
}

TEST_F(ArrayMenus, TheSixteenthDriveEndsTheSelection) {
    // Sixteen unused drives: the table lists the eight drives twice.
    fw::DRIVE_SLOT_TABLES* ps = fw::pGetDriveSlotTables();
    for (int i = 0; i < 8; ++i) ps->abDrive[8 + i] = ps->abDrive[i];
    fw::SetDriveSlotCount(16);
    StartManual("1");
    for (int i = 0; i < 15; ++i) {
        c.Enter("");
        ASSERT_TRUE(EndsWith(c.Enter(""), kAddDrive));
    }
    EXPECT_EQ(c.Enter(""), "\r\x1b[6A\rSelect Disk Drives -- 16 Disk Drives Added\n\n\x1b[4B\r\x1b[2K"
                           "\nMaximum drive count (16) added\n\n" +
                               kAnyKey);
    EXPECT_EQ(fw::pGetNewArrayRequest()->bDriveCount, 16);
}

TEST_F(ArrayMenus, TooFewDrivesChosen) {
    struct Case {
        const char* pszLevel;
        const char* pszAnswers;
        const char* pszRefusal;
    } const acCases[] = {
        {"1", "nnnnnnnn", "No Drives Specified, Array Not Added"},
        {"3", "yy", "Insufficient Number of Drives Specified, Array Not Added"},
        {"4", "yyy", "Insufficient Number of Drives Specified RAID_6, Array Not Added"},
    };
    for (const Case& k : acCases) {
        SCOPED_TRACE(k.pszLevel);
        StartManual(k.pszLevel);
        AddDrives(k.pszAnswers);
        EXPECT_EQ(c.Type(" "), "\n" + std::string(k.pszRefusal) + "\n\n" + kAnyKey);
        EXPECT_EQ(c.Type(" "), kArrayMenu);
    }
    EXPECT_EQ(Scratch().sHeader.wRankCount, 0);
    EXPECT_EQ(fw::fGetConfigModified(), fw::FALSE);
}

TEST_F(ArrayMenus, ReserveAnswers) {
    const std::string kAgain =
        "\r\r" + std::string(78, ' ') + "\rSelect percentage of drive capacity to reserve (0..10%) (<CR> = 1%): ";
    StartManual("1");
    AddDrives("y");
    ASSERT_EQ(c.Type(" "), ReserveMenu("1-1-2-1-1-2-1"));
    // Anything but a whole percentage up to 10, one or two hundredths or
    // 99.9 asks again.
    for (const char* psz : {"11", ".x", "0.5a", ".", "0.", "1.5", "0.123", "q", "-1"}) {
        SCOPED_TRACE(psz);
        EXPECT_EQ(c.Enter(psz), psz + kAgain);
    }
    c.Enter("");
    c.Type(" ");
    struct Case {
        const char* pszLine;
        uint8_t bCode;
    } const acCases[] = {{"0", 0}, {"0.01", 101}, {".5", 150}, {"99.9", 201}, {"10", 10}, {"0.0", 0}};
    for (const Case& k : acCases) {
        SCOPED_TRACE(k.pszLine);
        StartManual("1");
        AddDrives("y");
        c.Type(" ");
        EXPECT_EQ(c.Enter(k.pszLine).rfind(std::string(k.pszLine) + "\r\nArray ", 0), 0u);
        EXPECT_EQ(Scratch().asRank[Scratch().sHeader.wRankCount - 1].bCapacityReserve, k.bCode);
        c.Type(" ");
    }
    EXPECT_EQ(Scratch().asRank[0].bCapacityReserve, 1);
}

TEST_F(ArrayMenus, SubarrayCountsSplitTheDrivesEvenly) {
    StartManual("3");
    AddDrives("yyyyyy");
    c.Type(" ");
    EXPECT_EQ(c.Enter(""), "\r\n\n\nCreate Array Configuration Menu (1-1-2-3-1-2-1-1) (C0)\n\n"
                           "\nSelect Subarray Count (No. of Parity Drives)\n\n"
                           "1.  1 Subarray  (05 Data Drives)\n"
                           "2.  2 Subarrays (04 Data Drives)\n"
                           "\n0.  Exit\n\n" +
                               kPrompt);
    EXPECT_EQ(c.Enter("3"), "3\r" + kPrompt);
    EXPECT_EQ(c.Enter("2"), "2\r\n\n\nArray 00 Successfully Created\n\n" + kAnyKey);
    EXPECT_EQ(Scratch().asRank[0].bParityCount, 2);
}

TEST_F(ArrayMenus, CreateArrayRefusals) {
    fw::CONFIG_IMAGE& s = *fw::pGetScratchConfigImage();
    s.sHeader.wRankCount = 64;
    EXPECT_EQ(c.Enter("2"), "2\r\n\n\nMaximum array count reached (64)\n\n" + kAnyKey);
    EXPECT_EQ(c.Type(" "), kArraysMenu);
    fw::SetPendingStripeInitFlag(fw::TRUE);
    EXPECT_EQ(c.Enter("2"), "2\r\n\n\nPlease save configuration before creating array\n\n" + kAnyKey);
    c.Type(" ");
    s.sHeader.fExpansionActive = fw::TRUE;
    EXPECT_EQ(c.Enter("2"), "2\r\n\n\nArray Expansion in Progress\n\n" + kAnyKey);
}

TEST_F(ArrayMenus, ViewsPrintAndReturnToTheMenuAfterAKey) {
    EXPECT_EQ(c.Enter("1"), "1\r\n\nUnconfigured\n\n\n" + kAnyKey);
    EXPECT_EQ(c.Type(" "), kArrayMenu);
    const std::string s = c.Enter("6");
    EXPECT_EQ(s.substr(0, 33), "6\r\n\nTotal Unused Drives: 08\n\n\nNo.");
    EXPECT_NE(s.find("\n007 SAS  5005d5d000a00080 SIMDISK 4G   0001 No  M0000008 004 GB 006 01 08 -- OK\n\n\n\n" + kAnyKey),
              std::string::npos)
        << s;
    EXPECT_EQ(c.Type(" "), kArrayMenu);
    EXPECT_EQ(c.Enter("0"), "0\r\n\n" + consoletest::kConfigurationMenu);
}

TEST_F(ArrayMenus, AnUnusedDriveThatCannotBeShownEndsTheDialogue) {
    // The unused-drive table names a target no drive answers for.
    fw::pGetDriveSlotTables()->abDrive[0] = 0xFE;
    const std::string s = StartManual("1");
    EXPECT_TRUE(EndsWith(s, "Added\n\n\n\nError displaying drive information\n" + kAnyKey)) << s;
    EXPECT_EQ(c.Type(" "), kArrayMenu);
}

}  // namespace
