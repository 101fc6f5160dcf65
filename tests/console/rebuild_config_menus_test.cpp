// The Rebuild/Initialization Configuration Menu and the screens below it:
// what each shows, what each answer leaves in the scratch image, and what
// is refused.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "config/config_image.h"
#include "config/config_state.h"
#include "config/drive_tables.h"
#include "console/console_menu.h"
#include "console/menu_tree.h"
#include "console_board.h"
#include "enclosure/drive_table.h"
#include "executive/types.h"

namespace {

using consoletest::kAnyKey;
using consoletest::kPrompt;
using consoletest::Title;

const std::string kMenu = Title("Rebuild/Initialization Configuration Menu", "1-5") +
                          "1.  View Hot Spare Drives\n"
                          "2.  Add Hot Spare Drives\n"
                          "3.  Delete Hot Spare Drives\n"
                          "4.  Set Auto Rebuild\n"
                          "5.  Set Rebuild Priority\n"
                          "6.  Set Auto Hot Spare\n"
                          "7.  Set Initialization Priority\n"
                          "\n0.  Exit\n\n" +
                          kPrompt;
const std::string kAddMenu = Title("Add Hot Spare Configuration Menu", "1-5-2") +
                             "1.  Add All Unused Drives\n"
                             "2.  Select Drives to Add\n"
                             "\n0.  Exit\n\n" +
                             kPrompt;
const std::string kHeader =
    "\nNo. Type Identifier       Product ID   F/W  Sav Ser. No. Cap.   ID  EN SL PS ST\n"
    "--- ---- ---------------- ------------ ---- --- -------- ------ --- -- -- -- --\n";
std::string Row(unsigned n) {
    char ac[96];
    std::snprintf(ac, sizeof ac, "%03u SAS  5005d5d000a000%u0 SIMDISK 4G   0001 No  M000000%u 004 GB %03u 01 %02u --",
                  n, n + 1, n + 1, 2 * n + 1, n + 1);
    return ac;
}
const std::string kAddOk = " OK\nAdd this Disk Drive? (Y or N, <CR> = Y): ";
const std::string kAddFailed = " FL\nAdd this Disk Drive? (Y or N, <CR> = N): ";
const std::string kContinue = "Continue adding disk drives? (Y or N, <CR> = Y): ";

class RebuildConfigMenus : public consoletest::ConfigurationMenuTest {
protected:
    std::string Open() { return ConfigurationMenuTest::Open(fw::RebuildConfigMenu); }
    fw::CONFIG_IMAGE& Scratch() { return *fw::pGetScratchConfigImage(); }
    fw::CONFIG_HEADER& Header() { return Scratch().sHeader; }
    // The drive the n-th row shows.
    const uint8_t* WwnOfUnused(unsigned n) {
        fw::DRIVE_INFO* ps = nullptr;
        uint8_t b = 0;
        EXPECT_EQ(fw::fFindDriveByLoopIDMapped(uint8_t(n), &ps, &b), fw::TRUE);
        return ps->abWWN;
    }
    bool IsSpare(const uint8_t* pbWwn) {
        for (unsigned i = 0; i < Header().wSpareCount; ++i)
            if (std::memcmp(Scratch().asSpare[i].abWwn, pbWwn, 8) == 0) return true;
        return false;
    }
};

TEST_F(RebuildConfigMenus, MenuOffersItsOptionsAndExitsToTheConfigurationMenu) {
    EXPECT_EQ(Open(), kMenu);
    // Option 1 lists the spares and comes back after a key.
    EXPECT_NE(c.Enter("1").find("No Hot Spare Drives Configured"), std::string::npos);
    EXPECT_EQ(c.Type(" "), kMenu);
    EXPECT_EQ(c.Enter("8"), "8\r" + kPrompt);
    EXPECT_EQ(c.Enter("0"), "0\r\n\n" + consoletest::kConfigurationMenu);
}

// An empty line takes a good drive and passes over one whose WWN stands in
// the failed-drive list; Y takes either.  The count line is rewritten in
// place; "N" to the continue question ends the selection after a key.
TEST_F(RebuildConfigMenus, SelectedDrivesBecomeGlobalSpares) {
    Open();
    ASSERT_EQ(c.Enter("2"), "2\r\n\n" + kAddMenu);
    const std::vector<uint8_t> failed(WwnOfUnused(1), WwnOfUnused(1) + 8);
    const std::vector<uint8_t> first(WwnOfUnused(0), WwnOfUnused(0) + 8);
    const std::vector<uint8_t> third(WwnOfUnused(2), WwnOfUnused(2) + 8);
    fw::AddFailedDriveWwn(failed.data(), fw::pGetConfigImage(), 0, 0, 0, 0, 0);
    ASSERT_EQ(fw::fIsDriveWwnFailed(failed.data()), fw::TRUE);
    EXPECT_EQ(c.Enter("2"), "2\r\n\n" + Title("Add Hot Spare Configuration Menu", "1-5-2-2") +
                                "\nSelect Hot Spare Disk Drives -- 00 of 08 Disk Drives Added\n\n" + kHeader + Row(0) +
                                kAddOk);
    EXPECT_EQ(c.Enter(""), "\r\x1b[6A\rSelect Hot Spare Disk Drives -- 01 of 08 Disk Drives Added\n\n\x1b[4B\r\x1b[2K" +
                               kContinue);
    EXPECT_EQ(c.Enter(""), "\r\r\x1b[2K\x1b[1A\r\x1b[2K\r" + Row(1) + kAddFailed);
    EXPECT_EQ(c.Enter(""), "\r\r\x1b[2K" + kContinue);
    EXPECT_EQ(c.Enter(""), "\r\r\x1b[2K\x1b[1A\r\x1b[2K\r" + Row(2) + kAddOk);
    EXPECT_EQ(c.Enter("y"), "y\r\x1b[6A\rSelect Hot Spare Disk Drives -- 02 of 08 Disk Drives Added\n\n\x1b[4B\r\x1b[2K" +
                                kContinue);
    EXPECT_EQ(fw::fGetConfigModified(), fw::FALSE);
    EXPECT_EQ(c.Enter("n"), "n\r\n\n" + kAnyKey);
    EXPECT_EQ(c.Type(" "), "\n02 Hot Spare Drives Added\n\n" + kAnyKey);
    EXPECT_EQ(fw::fGetConfigModified(), fw::TRUE);
    EXPECT_EQ(Header().wSpareCount, 2);
    EXPECT_TRUE(IsSpare(first.data()));
    EXPECT_TRUE(IsSpare(third.data()));
    EXPECT_FALSE(IsSpare(failed.data()));
    for (unsigned i = 0; i < 2; ++i) EXPECT_EQ(Scratch().asSpare[i].bDedicatedRank, 0xFF);
    EXPECT_EQ(c.Type(" "), kMenu);

    // Y on the failed drive takes it.
    c.Enter("2");
    ASSERT_EQ(c.Enter("2").rfind(kAddOk), std::string::npos);   // the failed drive is now first
    EXPECT_EQ(c.Enter("Y"), "Y\r\x1b[6A\rSelect Hot Spare Disk Drives -- 01 of 06 Disk Drives Added\n\n\x1b[4B\r\x1b[2K" +
                                kContinue);
    c.Enter("n");
    EXPECT_EQ(c.Type(" "), "\n01 Hot Spare Drives Added\n\n" + kAnyKey);
    EXPECT_TRUE(IsSpare(failed.data()));
}

// All unused drives at once; then nothing is left to add, and a full list
// refuses at once; deleting needs a Y.
TEST_F(RebuildConfigMenus, AllUnusedDrivesAreAddedAndDeletedTogether) {
    Open();
    c.Enter("2");
    EXPECT_EQ(c.Enter("1"), "1\r\n\n08 Hot Spare Drives Added\n\n" + kAnyKey);
    EXPECT_EQ(Header().wSpareCount, 8);
    EXPECT_EQ(fw::fGetConfigModified(), fw::TRUE);
    EXPECT_EQ(c.Type(" "), kMenu);
    EXPECT_EQ(c.Enter("2"), "2\r\n\n\nNo unused drives available for configuration\n\n" + kAnyKey);
    EXPECT_EQ(c.Type(" "), kMenu);

    fw::SetConfigModified(fw::FALSE);
    EXPECT_EQ(c.Enter("3"), "3\r\n\nConfirm deletion of all Hot Spare Drives (Y or N): ");
    EXPECT_EQ(c.Enter("x"), "x\r\nNo change to hot spares\n\n" + kAnyKey);
    EXPECT_EQ(Header().wSpareCount, 8);
    EXPECT_EQ(fw::fGetConfigModified(), fw::FALSE);
    c.Type(" ");
    c.Enter("3");
    EXPECT_EQ(c.Enter("y"), "y\r\nAll hot spare drives removed\n\n" + kAnyKey);
    EXPECT_EQ(Header().wSpareCount, 0);
    EXPECT_EQ(fw::fGetConfigModified(), fw::TRUE);
    EXPECT_EQ(fw::bGetSpareDriveTableCount(), 8);
    c.Type(" ");
    EXPECT_EQ(c.Enter("3"), "3\r\n\n\nNo Hot Spare Drives Configured\n\n" + kAnyKey);

    Header().wSpareCount = fw::MAX_SPARES;
    c.Type(" ");
    EXPECT_EQ(c.Enter("2"), "2\r\n\n\nMaximum hot spare count reached (64)\n\n" + kAnyKey);
    EXPECT_EQ(c.Type(" "), kMenu);
}

TEST_F(RebuildConfigMenus, SwitchesChangeOnlyOnTheOtherAnswer) {
    struct Switch {
        const char* option;
        const char* title;
        const char* path;
        const char* what;
        const char* is;   // "is currently" as the screen spells it
        const char* on;
        const char* off;
        uint8_t fw::CONFIG_HEADER::*pf;
    };
    const Switch kSwitches[] = {
        {"4", "Auto Rebuild Configuration Menu", "1-5-4", "Auto Rebuild", "is currently", "enabled", "disabled",
         &fw::CONFIG_HEADER::fAutoRebuild},
        {"6", "Auto Hot Spare Configuration Menu", "1-5-6", "Auto Hot Spare", "is Currently", "Enabled",
         "Disabled", &fw::CONFIG_HEADER::fAutoHotSpare},
    };
    Open();
    for (const Switch& s : kSwitches) {
        SCOPED_TRACE(s.what);
        const std::string w = s.what;
        Header().*s.pf = fw::FALSE;
        fw::SetConfigModified(fw::FALSE);
        const std::string sAsk = "Enable " + w + "? (Y or N): ";
        EXPECT_EQ(c.Enter(s.option), std::string(s.option) + "\r\n\n" + Title(s.title, s.path) + "\n" + w + " " + s.is + " " +
                                         s.off + "\n" + sAsk);
        EXPECT_EQ(c.Enter("n"), "n\r\nNo Change\n\n" + kAnyKey);
        EXPECT_EQ(fw::fGetConfigModified(), fw::FALSE);
        c.Type(" ");
        c.Enter(s.option);
        EXPECT_EQ(c.Enter("y"), "y\r\n" + w + " Enabled\n\n" + kAnyKey);
        EXPECT_EQ(Header().*s.pf, fw::TRUE);
        EXPECT_EQ(fw::fGetConfigModified(), fw::TRUE);
        c.Type(" ");
        EXPECT_EQ(c.Enter(s.option), std::string(s.option) + "\r\n\n" + Title(s.title, s.path) + "\n" + w + " " + s.is + " " +
                                         s.on + "\n" + sAsk);
        EXPECT_EQ(c.Enter("maybe"), "maybe\r\nNo Change\n\n" + kAnyKey);
        c.Type(" ");
        c.Enter(s.option);
        EXPECT_EQ(c.Enter("N"), "N\r\n" + w + " Disabled\n\n" + kAnyKey);
        EXPECT_EQ(Header().*s.pf, fw::FALSE);
        EXPECT_EQ(c.Type(" "), kMenu);
    }
}

// 10 to 90 is taken; the same value again is reported but leaves the image
// unedited; a stored value outside the range shows as 50.
TEST_F(RebuildConfigMenus, PrioritiesTakeTenToNinety) {
    struct Priority {
        const char* option;
        const char* title;
        const char* path;
        const char* what;
        const char* prompt;
        uint8_t fw::CONFIG_HEADER::*pb;
    };
    const Priority kPriorities[] = {
        {"5", "Rebuild Priority Configuration Menu", "1-5-5", "Rebuild", "New Rebuild Priority(10 - 90): ",
         &fw::CONFIG_HEADER::bRebuildPriority},
        {"7", "Initialization Priority Configuration Menu", "1-5-7", "Initialization",
         "New Initialization Priority(10 - 90): ", &fw::CONFIG_HEADER::bInitPriority},
    };
    Open();
    for (const Priority& p : kPriorities) {
        SCOPED_TRACE(p.what);
        const std::string w = p.what;
        Header().*p.pb = 0;
        fw::SetConfigModified(fw::FALSE);
        const std::string sScreen = Title(p.title, p.path) + "\nCurrent " + w + " Priority: 50 %\n" + p.prompt;
        EXPECT_EQ(c.Enter(p.option), std::string(p.option) + "\r\n\n" + sScreen);
        for (const char* psz : {"95", "5", "9", "91", "x"}) {
            EXPECT_EQ(c.Enter(psz), std::string(psz) + "\r\nInvalid selection\n\n" + kAnyKey) << psz;
            EXPECT_EQ(c.Type(" "), kMenu);
            c.Enter(p.option);
        }
        EXPECT_EQ(c.Enter(""), "\r\nNo Change\n\n" + kAnyKey);
        EXPECT_EQ(fw::fGetConfigModified(), fw::FALSE);
        c.Type(" ");
        c.Enter(p.option);
        EXPECT_EQ(c.Enter("90"), "90\r\n" + w + " Priority Changed to 90 %\n\n" + kAnyKey);
        EXPECT_EQ(Header().*p.pb, 90);
        EXPECT_EQ(fw::fGetConfigModified(), fw::TRUE);
        fw::SetConfigModified(fw::FALSE);
        c.Type(" ");
        EXPECT_EQ(c.Enter(p.option), std::string(p.option) + "\r\n\n" + Title(p.title, p.path) + "\nCurrent " + w +
                                         " Priority: 90 %\n" + p.prompt);
        EXPECT_EQ(c.Enter("90"), "90\r\n" + w + " Priority Changed to 90 %\n\n" + kAnyKey);
        EXPECT_EQ(fw::fGetConfigModified(), fw::FALSE);
        c.Type(" ");
        c.Enter(p.option);
        EXPECT_EQ(c.Enter("10"), "10\r\n" + w + " Priority Changed to 10 %\n\n" + kAnyKey);
        EXPECT_EQ(Header().*p.pb, 10);
        EXPECT_EQ(c.Type(" "), kMenu);
    }
}

}  // namespace
