// The power management screens on a running controller with one RAID 5
// array of slots 1-4 and four unused drives: every menu of the tree, the
// level-1 and array edits (their refusals, and what a save keeps across a
// restart), the status screens and dump, and the operator's own spin-downs
// and spin-ups of an unused drive.
#include <gtest/gtest.h>

#include <string>

#include "config/config_image.h"
#include "config/config_state.h"
#include "console/console_menu.h"
#include "console/menu_tree.h"
#include "console_board.h"
#include "enclosure/drive_list_display.h"
#include "enclosure/drive_spin.h"
#include "enclosure/drive_table.h"
#include "enclosure/power_management.h"
#include "executive/types.h"
#include "harness/config_builder.h"
#include "harness/config_test.h"

namespace {

using consoletest::ConsoleBoard;
using consoletest::kAnyKey;
using consoletest::kPrompt;
using consoletest::Title;

const std::string kExit = "\n0.  Exit\n\n" + kPrompt;
const std::string kConfigurationTitle = "Advanced Power Management Configuration Menu";
const std::string kDiagnosticTitle = "Advanced Power Management Diagnostic Menu";

const std::string kApmMenu = Title(kConfigurationTitle, "1-11") +
                             "1.  Level 1 Power Management Configuration\n"
                             "2.  Level 2 Power Management Configuration\n" +
                             kExit;
const std::string kLevel1Menu = Title(kConfigurationTitle, "1-11-1") +
                                "1.  View APM Level 1 Configuration Options\n"
                                "2.  Edit APM Level 1 Configuration Options\n" +
                                kExit;
const std::string kLevel2Menu = Title(kConfigurationTitle, "1-11-2") +
                                "1.  View APM Level 2 Configuration Options\n"
                                "2.  Edit APM Level 2 Configuration Options\n"
                                "3.  Manually Spin Down an Array\n"
                                "4.  Manually Spin Up an Array\n" +
                                kExit;
const std::string kDiagnosticMenu = Title(kDiagnosticTitle, "2-11") +
                                    "1.  Level 1 Power Management Diagnostic\n"
                                    "2.  Level 2 Power Management Diagnostic\n" +
                                    kExit;
const std::string kLevel1Diagnostic = Title(kDiagnosticTitle, "2-11-1") +
                                      "1.  View Drive APM Status\n"
                                      "2.  Manually Spin Up A Drive\n"
                                      "3.  Manually Spin Down A Drive\n"
                                      "4.  Manually Initiate A Functional Verification Of A Drive\n" +
                                      kExit;
const std::string kLevel2Diagnostic = Title(kDiagnosticTitle, "2-11-2") +
                                      "1.  View Array APM Status\n"
                                      "2.  Manually Initiate A Functional Verification Of an Array\n" +
                                      kExit;
const std::string kSpinDownMenu = Title("Manually Spin Down A Drive", "2-11-1-3") +
                                  "1.  Spin Down Hot Spare Drive\n"
                                  "2.  Spin Down Unused Drive\n"
                                  "3.  Spin Down Failed Drive\n" +
                                  kExit;
const std::string kSpinUpMenu = Title("Manually Spin Up A Drive", "2-11-1-2") +
                                "1.  Spin Up Hot Spare Drive\n"
                                "2.  Spin Up Unused Drive\n"
                                "3.  Spin Up Failed Drive\n" +
                                kExit;
const std::string kTestMenu = Title("Initiate A Functional Test", "2-11-1-4") +
                              "1.  Initiate A Background Functional Test Of A Hot Spare Drive\n"
                              "2.  Initiate A Background Functional Test Of An Unused Drive\n" +
                              kExit;
const std::string kApmHeader =
    "\nNo. Type Identifier       Product ID    Cap.   EN SL  APM Status\n"
    "--- ---- ---------------- ------------  ------ -- --  ----------\n";

class ApmMenus : public ::testing::Test {
protected:
    void SetUp() override {
        c.Boot();
        cfgbuild::Builder b(c.board);
        ASSERT_TRUE(b.MakeArrayWithLd({fw::RAID_LEVEL_5, {1, 2, 3, 4}}, 4));
        c.Settle();
        c.Type("\x05");
    }
    // The APM Configuration Menu, from the Configuration Menu's option 11.
    std::string OpenConfiguration() {
        c.Enter("1");
        return c.Enter("11");
    }
    // The APM Diagnostic Menu, from the Diagnostics Menu's option 11.
    std::string OpenDiagnostic() {
        c.Enter("2");
        return c.Enter("11");
    }
    // One drive's row as the power screens list it.
    static std::string Row(const std::string& sNumber, unsigned uSlot, const std::string& sState) {
        const fw::DRIVE_INFO* ps = nullptr;
        for (uint8_t i = 0; i < fw::pGetDriveInfoList()->bDriveCount; ++i) {
            if (fw::pGetDriveInfoList()->asDriveInfo[i].bSlotNo == uSlot) ps = &fw::pGetDriveInfoList()->asDriveInfo[i];
        }
        if (ps == nullptr) return "no drive in slot " + std::to_string(uSlot);
        char ac[128];
        std::string sWwn;
        for (uint8_t b : ps->abWWN) {
            snprintf(ac, sizeof ac, "%02x", b);
            sWwn += ac;
        }
        snprintf(ac, sizeof ac, " %.12s  %03u GB %02d %02d  %s\n", ps->acProductID,
                 fw::dDriveCapacityGb(ps->dCapacity), ps->bEnclosureNo, ps->bSlotNo, sState.c_str());
        return sNumber + "SAS  " + sWwn + ac;
    }
    std::string UnusedRows(const std::string& sState = "Spun Up") {
        std::string s;
        for (unsigned slot = 5; slot <= 8; ++slot) {
            char ac[8];
            snprintf(ac, sizeof ac, "%03u ", slot - 5);
            s += Row(ac, slot, sState);
        }
        return s;
    }
    const uint8_t* Level1Record() const { return fw::pGetScratchConfigImage()->abPowerSettings; }
    // Saves the edit from the Configuration Menu and starts the controller
    // again on its NVRAM and drives.
    void SaveAndRestart() {
        c.Enter("0");
        c.Enter("0");
        ASSERT_NE(c.Enter("Y").find("Saving Configuration"), std::string::npos);
        c.Type(" ");
        c.board.ClearConsoleText();
        c.Boot();
    }
    ConsoleBoard c;
};

TEST_F(ApmMenus, EveryMenuOfBothTrees) {
    EXPECT_EQ(OpenConfiguration(), "11\r\n\n" + kApmMenu);
    EXPECT_EQ(c.Enter("1"), "1\r\n\n" + kLevel1Menu);
    EXPECT_EQ(c.Enter("0"), "0\r\n\n" + kApmMenu);
    EXPECT_EQ(c.Enter("2"), "2\r\n\n" + kLevel2Menu);
    // Options the menu does not offer are asked again.
    EXPECT_EQ(c.Enter("5"), "5\r" + kPrompt);
    EXPECT_EQ(c.Enter("0"), "0\r\n\n" + kApmMenu);
    EXPECT_NE(c.Enter("0").find("Configuration Menu (1)"), std::string::npos);

    c.Enter("0");
    EXPECT_EQ(OpenDiagnostic(), "11\r\n\n" + kDiagnosticMenu);
    EXPECT_EQ(c.Enter("1"), "1\r\n\n" + kLevel1Diagnostic);
    EXPECT_EQ(c.Enter("2"), "2\r\n\n" + kSpinUpMenu);
    EXPECT_EQ(c.Enter("0"), "0\r\n\n" + kLevel1Diagnostic);
    EXPECT_EQ(c.Enter("3"), "3\r\n\n" + kSpinDownMenu);
    EXPECT_EQ(c.Enter("0"), "0\r\n\n" + kLevel1Diagnostic);
    EXPECT_EQ(c.Enter("4"), "4\r\n\n" + kTestMenu);
    EXPECT_EQ(c.Enter("0"), "0\r\n\n" + kLevel1Diagnostic);
    EXPECT_EQ(c.Enter("0"), "0\r\n\n" + kDiagnosticMenu);
    EXPECT_EQ(c.Enter("2"), "2\r\n\n" + kLevel2Diagnostic);
    EXPECT_EQ(c.Enter("0"), "0\r\n\n" + kDiagnosticMenu);
    EXPECT_NE(c.Enter("0").find("Diagnostics Menu (2)"), std::string::npos);
}

// The level-1 dialogue: its questions as the answers lead, the record it
// leaves in the scratch image, and the settings in force after a save and a
// restart (and shown by the view).
TEST_F(ApmMenus, Level1SettingsAreEditedSavedAndKeptAcrossARestart) {
    OpenConfiguration();
    c.Enter("1");
    EXPECT_EQ(c.Enter("2"),
              "2\r\n\n\nEdit APM Level 1 Configuration\n\n"
              " Spin Down and Schedule Test Cycle Of All Hot Spare Drives (Y or N, <cr> = Y): ");
    EXPECT_EQ(c.Enter("n"), "n\r Spin Down and Schedule Test Cycle Of All Unused Drives (Y or N, <cr> = Y): ");
    // Unused drives are test-cycled: the plain spin-down question of them is
    // not asked.
    EXPECT_EQ(c.Enter(""), "\r Spin Down All Hot Spare Drives (Y or N, <cr> = Y): ");
    EXPECT_EQ(c.Enter("y"), "y\r Spin Down All Failed Drives (Y or N, <cr> = Y): ");
    EXPECT_EQ(c.Enter("Y"), "Y\r Select Spin Up/Test Cycle Time ( (D)aily / (W)eekly / (M)onthly ): ");
    EXPECT_EQ(c.Enter("month"), "month\r Select Which Date In The Month To Test On (1-28): ");
    EXPECT_EQ(c.Enter("28"), "28\r Select Hour Of The Day To Start The Test (0-23): ");
    EXPECT_EQ(c.Enter("23"), "23\r Select The Minute To Start The Test On (0-59): ");
    EXPECT_EQ(c.Enter("59"), "59\r\n\nPlease Exit And Save Configuration\n" + kAnyKey);
    const uint8_t abExpected[7] = {16 | 1 | 2, 0, 3, 28, 0, 23, 59};
    EXPECT_EQ(std::string(Level1Record(), Level1Record() + 7), std::string(abExpected, abExpected + 7));
    EXPECT_EQ(fw::pGetScratchConfigImage()->sHeader.fPowerManagementSet, fw::TRUE);
    EXPECT_EQ(fw::wGetAPMOptions(), 0) << "in force before the save";

    c.Type(" ");
    c.Enter("0");
    ASSERT_NO_FATAL_FAILURE(SaveAndRestart());
    EXPECT_EQ(fw::wGetAPMOptions(), 19);
    EXPECT_EQ(fw::bGetAPMCycleType(), fw::APM_CYCLE_MONTHLY);
    EXPECT_EQ(fw::bGetAPMCycleDayOfMonth(), 28);
    EXPECT_EQ(fw::bGetAPMCycleHour(), 23);
    EXPECT_EQ(fw::bGetAPMCycleMinute(), 59);
    EXPECT_EQ(fw::pGetConfigImage()->sHeader.fPowerManagementSet, fw::TRUE);
    EXPECT_EQ(fw::fIsAPMConfigured(), fw::TRUE);

    c.Type("\x05");
    OpenConfiguration();
    c.Enter("1");
    const std::string sView = c.Enter("1");
    EXPECT_NE(sView.find(" \nCurrent APM Level 1 Configuration \n\n    Controller Time: "), std::string::npos) << sView;
    EXPECT_NE(sView.find("\n\n    Option Flags: \n"
                         "                   Spin down and test cycle unused drives\n"
                         "                   Spin down failed drives\n"
                         "                   Spin down hot spare drives\n"
                         "\n    Spin Up/Test/Spin Down Cycle Time:  Once a month, on the 28th at 11:59 pm\n"
                         "\nTime to next functional verification: Days: "),
              std::string::npos)
        << sView;
    EXPECT_EQ(sView.substr(sView.size() - kAnyKey.size()), kAnyKey);
}

// Answers out of range end the dialogue with their line and change nothing
// after them; a cycle time other than D, W or M drops both test cycles;
// answering no to everything takes the settings away.
TEST_F(ApmMenus, Level1AnswersOutOfRangeAreRefused) {
    OpenConfiguration();
    c.Enter("1");
    struct Case {
        std::vector<std::string> answers;
        std::string last;
    };
    const std::string kInvalidAnswer = "\nInvalid answer\n\n" + kAnyKey;
    const Case cases[] = {
        {{"y", "n", "n", "n", "m", "29"}, kInvalidAnswer},
        {{"y", "n", "n", "n", "m", "0"}, kInvalidAnswer},
        {{"y", "n", "n", "n", "w", "0"}, kInvalidAnswer},
        {{"y", "n", "n", "n", "w", "8"}, kInvalidAnswer},
        {{"y", "n", "n", "n", "d", "24"}, kInvalidAnswer},
        {{"y", "n", "n", "n", "d", "x"}, kInvalidAnswer},
        {{"y", "n", "n", "n", "d", "12", "60"}, kInvalidAnswer},
        {{"y", "y", "n", "x"}, "\nInvalid selection\n\n" + kAnyKey},
    };
    for (const Case& k : cases) {
        c.Enter("2");
        std::string sLast;
        for (const std::string& s : k.answers) sLast = c.Enter(s);
        EXPECT_EQ(sLast, k.answers.back() + "\r" + k.last) << k.answers.back();
        c.Type(" ");
    }
    EXPECT_EQ(Level1Record()[0], 0) << "an unknown cycle time drops both test cycles";

    c.Enter("2");
    c.Enter("n");
    c.Enter("n");
    c.Enter("n");
    c.Enter("n");
    EXPECT_EQ(c.Enter("n"), "n\r" + kLevel1Menu);
    EXPECT_EQ(fw::pGetScratchConfigImage()->sHeader.fPowerManagementSet, fw::FALSE);

    // Spares parked, nothing test-cycled: no cycle to ask for.
    c.Enter("2");
    c.Enter("n");
    c.Enter("n");
    c.Enter("y");
    c.Enter("n");
    EXPECT_EQ(c.Enter("n"), "n\r\n\nPlease Exit And Save Configuration\n" + kAnyKey);
    EXPECT_EQ(Level1Record()[0], fw::APM_L1_SPIN_DOWN_SPARES);
    EXPECT_EQ(Level1Record()[2], fw::APM_CYCLE_NONE);
}

// The array's settings: the prompt of a single array takes only 0, the
// dialogue's record, and what a save keeps across a restart.
TEST_F(ApmMenus, ArraySettingsAreEditedSavedAndKeptAcrossARestart) {
    OpenConfiguration();
    c.Enter("2");
    EXPECT_EQ(c.Enter("2"), "2\r\n\n" + Title("Configure Array APM Menu", "1-11-2-2") +
                                "\nEnter the number of the array to configure (0): ");
    EXPECT_EQ(c.Enter("1"), "1\r\nInvalid selection\n\n" + kAnyKey);
    c.Type(" ");
    c.Enter("2");
    EXPECT_EQ(c.Enter("0"), "0\r\n Spin Down and Schedule Test Cycle For The Array (Y or N, <cr> = Y): ");
    EXPECT_EQ(c.Enter("y"), "y\r Select Idle Hours for The Array Spin Down (0-23): ");
    EXPECT_EQ(c.Enter("1"), "1\r Select Idle Minutes for The Array Spin Down (0-59): ");
    EXPECT_EQ(c.Enter("30"), "30\r Select Spun Down Days For The Array Test (0-30): ");
    EXPECT_EQ(c.Enter("31"), "31\r\nInvalid answer\n\n" + kAnyKey);
    c.Type(" ");
    c.Enter("2");
    c.Enter("0");
    c.Enter("y");
    c.Enter("1");
    c.Enter("30");
    c.Enter("30");
    EXPECT_EQ(c.Enter("23"), "23\r\n\nPlease Exit And Save Configuration\n" + kAnyKey);
    const uint8_t* pb = reinterpret_cast<const uint8_t*>(&fw::pGetScratchConfigImage()->asRank[0]) + 220;
    const uint8_t abExpected[6] = {4, 0, 30, 23, 1, 30};
    EXPECT_EQ(std::string(pb, pb + 6), std::string(abExpected, abExpected + 6));

    c.Type(" ");
    c.Enter("0");
    ASSERT_NO_FATAL_FAILURE(SaveAndRestart());
    EXPECT_EQ(fw::wGetArrayAPMOptions(0), fw::ARRAY_APM_SPIN_DOWN_AND_TEST);
    EXPECT_EQ(fw::dGetArrayIdleSeconds(0), 3600u + 30 * 60);
    EXPECT_EQ(fw::dGetArrayTestSeconds(0), 30 * 86400u + 23 * 3600);

    c.Type("\x05");
    OpenConfiguration();
    c.Enter("2");
    c.Enter("1");
    const std::string sView = c.Enter("0");
    EXPECT_NE(sView.find(" \nCurrent Array 0 APM Level 2 Configuration \n\n    Controller Time: "), std::string::npos);
    EXPECT_NE(sView.find("    Option Flags: \n"
                         "                   Spin down and test cycle the array\n"
                         "\n    Idle Period To Array Spin Down: Hours: 1 Minutes: 30\n"
                         "\n    Spun Down Period To Start APM Test: Days: 30 Hours: 23\n"
                         "\nTime to next functional verification: \n"
                         "       APM test will be scheduled once drives are spun down\n" +
                         kAnyKey),
              std::string::npos)
        << sView;
}

// An array without a spin-down option asked to spin down is only put under
// manual control, to be parked once the configuration is saved.
TEST_F(ApmMenus, AManualSpinDownWaitsForTheSave) {
    OpenConfiguration();
    c.Enter("2");
    EXPECT_EQ(c.Enter("3"), "3\r\n\n" + Title("Spin Down Array APM Menu", "1-11-2-3") +
                                "\nEnter the number of the array to spin down (0): ");
    EXPECT_EQ(c.Enter("0"), "0\rArray will be schedule for spin down only if you save configuration !!!\n" + kAnyKey);
    const uint8_t* pb = reinterpret_cast<const uint8_t*>(&fw::pGetScratchConfigImage()->asRank[0]) + 220;
    EXPECT_EQ(pb[0], fw::ARRAY_APM_MANUAL);
    EXPECT_EQ(fw::bGetArrayAPMState(0), fw::APM_SPUN_UP);
    EXPECT_EQ(fw::fGetConfigModified(), fw::TRUE);
    // Spun up by hand, it leaves manual control (once saved).
    c.Type(" ");
    EXPECT_EQ(c.Enter("4"), "4\r\n\n" + Title("Spin Up Array APM Menu", "1-11-2-4") +
                                "\nEnter the number of the array to spin up (0): ");
    EXPECT_EQ(c.Enter("0"),
              "0\rPlease save the configuration if you want to remove the array from manual APM control\n" + kAnyKey);
    EXPECT_EQ(pb[0], 0);
}

// The operator parks an unused drive and brings it back: it is spinning up
// until it answers TEST UNIT READY, and the status screen shows each state.
TEST_F(ApmMenus, AnUnusedDriveIsSpunDownAndUpByHand) {
    OpenDiagnostic();
    c.Enter("1");
    const std::string kStatusHead = "1\r\n\n \nView Disk Drive APM Status \n\nNo Hot Spare Disk Drives Present"
                                    "\n\nUnused Disk Drive APM Status: " +
                                    kApmHeader;
    const std::string kStatusTail = "\n\n No Failed Drives Present\n" + kAnyKey;
    EXPECT_EQ(c.Enter("1"), kStatusHead + UnusedRows() + kStatusTail);
    c.Type(" ");
    c.Enter("3");
    EXPECT_EQ(c.Enter("2"), "2\r\n\n\nManually Spin Down An Unused Drive\n" + kApmHeader + UnusedRows() +
                                "\n\nSelect the drive number to spin down: ");
    EXPECT_EQ(c.Enter("4"), "4\r\nInvalid answer: 4 \n\n" + kAnyKey);
    c.Type(" ");
    c.Enter("3");
    c.Enter("2");
    EXPECT_EQ(c.Enter("1"), "1\rSpinning down drive in enclosure no 1 and slot no 6\n" + kAnyKey);
    c.board.RunFor(2'000'000'000ull);
    EXPECT_TRUE(c.chassis.DriveAt(6)->Parked());
    EXPECT_EQ(fw::bGetDriveAPMState(1, 6), fw::DRIVE_APM_SPUN_DOWN);
    c.Type(" ");
    const std::string sParked = c.Enter("1");
    EXPECT_NE(sParked.find(Row("001 ", 6, "Spun Down")), std::string::npos) << sParked;

    c.Type(" ");
    c.Enter("2");
    c.Enter("2");
    EXPECT_EQ(c.Enter("1"), "1\rSpinning up drive in enclosure no 1 and slot no 6\n" + kAnyKey);
    EXPECT_EQ(fw::bGetDriveAPMState(1, 6), fw::DRIVE_APM_SPINNING_UP);
    c.board.RunUntil([] { return fw::bGetDriveAPMState(1, 6) == fw::DRIVE_APM_SPUN_UP; }, 60'000'000'000ull);
    EXPECT_EQ(fw::bGetDriveAPMState(1, 6), fw::DRIVE_APM_SPUN_UP);
    EXPECT_FALSE(c.chassis.DriveAt(6)->Parked());
}

TEST_F(ApmMenus, ArrayStatusAndTheStatusDump) {
    OpenDiagnostic();
    c.Enter("2");
    std::string sMembers;
    for (unsigned slot = 1; slot <= 4; ++slot) sMembers += Row("0" + std::to_string(slot - 1) + "  ", slot, "Spun Up");
    EXPECT_EQ(c.Enter("1"), "1\r\n\n \nView Array APM Status \n\nArray 0 Drive APM Status: \n\n" + kApmHeader +
                                sMembers + "\n" + kAnyKey);

    fw::psGetMenuState()->lMenuPath = 0;
    c.board.ClearConsoleText();
    fw::ShowAPMStatusInformation();
    c.Settle();
    const std::string sDump = consoletest::Lines(c.board.ConsoleText());
    EXPECT_EQ(sDump,
              "\n\n------------------ APM Status Information ------------------\n"
              "\n\n---------------- APM Level 1 Configuration -----------------\n"
              "\n    Option Flags: \n"
              "       Feature Not In Use\n"
              "\n\n---------------- APM Level 2 Configuration -----------------\n"
              "\nArray 0 APM Level 2 Configuration\n"
              "    Option Flags: \n"
              "       Feature Not In Use\n"
              "\n\n------------------ APM Level 1 Diagnostic ------------------\n"
              "No Hot Spare Disk Drives Present\n\nUnused Disk Drive APM Status: " +
                  kApmHeader + UnusedRows() + "\n\n No Failed Drives Present\n" +
                  "\n\n------------------ APM Level 2 Diagnostic ------------------\n"
                  "Array 0 Drive APM Status: \n\n" +
                  kApmHeader + sMembers + "\n");
}

// The level-1 settings as the dump words them, by cycle type.
class ApmStatusDump : public harness::ConfigTest {};

TEST_F(ApmStatusDump, CycleTimesAreWordedByType) {
    struct Case {
        fw::APM_LEVEL1_SETTINGS s;
        std::string text;
    };
    const Case cases[] = {
        {{fw::APM_L1_TEST_SPARES, 1, 0, 0, 12, 5}, "\n    Spin Up/Test/Spin Down Cycle Time:  Once a day at 12:05 am\n"},
        {{fw::APM_L1_TEST_SPARES, 1, 0, 0, 13, 0}, "\n    Spin Up/Test/Spin Down Cycle Time:  Once a day at 01:00 pm\n"},
        {{fw::APM_L1_TEST_UNUSED, 2, 0, 4, 0, 30},
         "\n    Spin Up/Test/Spin Down Cycle Time:  Once a week, \n                                   on a Wednesday \n "
         "                                  00:30 am\n"},
        {{fw::APM_L1_TEST_UNUSED, 3, 22, 0, 23, 1}, "\n    Spin Up/Test/Spin Down Cycle Time:  Once a month, on the 22nd at 11:01 pm\n"},
        {{fw::APM_L1_TEST_UNUSED, 3, 11, 0, 1, 1}, "\n    Spin Up/Test/Spin Down Cycle Time:  Once a month, on the 11th at 01:01 am\n"},
        {{fw::APM_L1_SPIN_DOWN_FAILED, 0, 0, 0, 0, 0}, "\n    Spin Up/Test/Spin Down Cycle Time: Not In Use\n"},
        {{fw::APM_L1_SPIN_DOWN_FAILED, 7, 0, 0, 0, 0}, "\n    Spin Up/Test/Spin Down Cycle Time:  No spin up cycle time selected\n"},
    };
    for (const Case& k : cases) {
        board.ClearConsoleText();
        fw::ShowAPMLevel1Settings(k.s, fw::TRUE);
        const std::string s = consoletest::Lines(board.ConsoleText());
        EXPECT_NE(s.find(k.text), std::string::npos) << s;
    }
}

}  // namespace

namespace {

// The partner's power management requests as the master serves them: a
// status block, group counts, the mark tables, an array's idle seconds, and
// the notices that set states and marks; an array, state or position out of
// range is an invalid field and changes nothing.
class ApmPartnerRequests : public ApmMenus {
protected:
    uint8_t Serve(uint8_t bSub, uint8_t b0 = 0, uint8_t b1 = 0, uint8_t b2 = 0, uint32_t dAllocation = 4096) {
        uint8_t abCdb[16] = {0x05, 123, 0x20, bSub};
        abCdb[6] = static_cast<uint8_t>(dAllocation >> 24);
        abCdb[7] = static_cast<uint8_t>(dAllocation >> 16);
        abCdb[8] = static_cast<uint8_t>(dAllocation >> 8);
        abCdb[9] = static_cast<uint8_t>(dAllocation);
        abCdb[12] = b0;
        abCdb[13] = b1;
        abCdb[14] = b2;
        reply.assign(4096, 0xEE);
        length = 0;
        sense = {};
        return fw::bServeAPMPartnerRequest(abCdb, reply.data(), uint32_t(reply.size()), &length, &sense);
    }
    std::vector<uint8_t> reply;
    uint32_t length = 0;
    fw::APM_REQUEST_SENSE sense{};
};

TEST_F(ApmPartnerRequests, RequestsAreServedAndBadFieldsRefused) {
    struct Bad {
        uint8_t bSub, b0, b1, b2;
    };
    const Bad bad[] = {
        {34, 64, 1, 0}, {34, 0, 0, 0}, {34, 0, 5, 0},  // array, state out of range
        {36, 0, 1, 0},  {36, 17, 1, 0}, {36, 1, 33, 1}, {36, 1, 5, 2},  // position, flag
        {4, 1, 0, 1},   {18, 0, 5, 0},  {19, 1, 1, 0},  {33, 1, 0, 0},  // no array 1
        {1, 1, 64, 0},  {35, 64, 0, 0}, {5, 4, 0, 0},   {99, 0, 0, 0},
    };
    for (const Bad& b : bad) {
        EXPECT_EQ(Serve(b.bSub, b.b0, b.b1, b.b2), 0) << +b.bSub;
        EXPECT_EQ(sense.bKey, 5) << +b.bSub;
        EXPECT_EQ(sense.bAsc, 0x24) << +b.bSub;
        EXPECT_EQ(length, 0u);
    }
    EXPECT_EQ(fw::bGetArrayAPMState(0), fw::APM_SPUN_UP);
    EXPECT_EQ(fw::bGetDriveAPMState(1, 5), fw::DRIVE_APM_SPUN_UP);

    // The partner's notices: an array's state, a drive's mark.
    EXPECT_EQ(Serve(34, 0, fw::APM_UNDER_TEST), fw::STATUS_OK);
    EXPECT_EQ(fw::bGetArrayAPMState(0), fw::APM_UNDER_TEST);
    EXPECT_EQ(fw::fIsDriveAPMTestRunning(1, 2), fw::TRUE);
    EXPECT_EQ(Serve(36, 1, 5, 0), fw::STATUS_OK);
    EXPECT_EQ(fw::bGetDriveAPMState(1, 5), fw::DRIVE_APM_SPUN_DOWN);

    // The group of unused drives: one parked of four.
    EXPECT_EQ(Serve(5, fw::APM_GROUP_UNUSED), fw::STATUS_OK);
    EXPECT_EQ(std::vector<uint8_t>(reply.begin(), reply.begin() + length),
              (std::vector<uint8_t>{1, 0, 3, 1, 0, 0, 0, 0}));
    // The mark tables, high word first: slot 5 of enclosure 1 parked,
    // members 1-4 under test.
    EXPECT_EQ(Serve(16), fw::STATUS_OK);
    ASSERT_EQ(length, 384u);
    EXPECT_EQ(std::vector<uint8_t>(reply.begin(), reply.begin() + 8), (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 0x10}));
    EXPECT_EQ(std::vector<uint8_t>(reply.begin() + 256, reply.begin() + 264),
              (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 0x0F}));
    // Stored on the other side: the same marks.
    fw::ClearDriveSpinBits(1, 5);
    fw::ClearDriveAPMTestMask();
    fw::StoreDriveAPMMaskTables(reply.data());
    EXPECT_EQ(fw::bGetDriveAPMState(1, 5), fw::DRIVE_APM_SPUN_DOWN);
    EXPECT_EQ(fw::bCountDrivesUnderTest(), 4);

    // An array's status block, cut to the allocation length.
    EXPECT_EQ(Serve(34, 0, fw::APM_SPUN_UP), fw::STATUS_OK);
    EXPECT_EQ(Serve(1, 1, 0, 0, 6), fw::STATUS_OK);
    EXPECT_EQ(std::vector<uint8_t>(reply.begin(), reply.begin() + length),
              (std::vector<uint8_t>{0, 16, 0, 0, 0, fw::APM_SPUN_UP}));
    EXPECT_EQ(Serve(35, 0), fw::STATUS_OK);
    ASSERT_EQ(length, 8u);
    uint64_t lSeconds = 0;
    for (uint32_t i = 0; i < 8; ++i) lSeconds = lSeconds << 8 | reply[i];
    EXPECT_EQ(lSeconds, fw::lGetSecondsSince(0));
    // The drive list: eight drives.
    EXPECT_EQ(Serve(8), fw::STATUS_OK);
    EXPECT_EQ(length, fw::APM_DRIVE_LIST_BYTES);
    EXPECT_EQ(reply[0], 8 * 16);
    EXPECT_EQ(reply[4], 8);
    EXPECT_EQ(reply[8 + 16 * 4 + 1], 5);
    EXPECT_EQ(reply[8 + 16 * 4 + 3], fw::DRIVE_APM_SPUN_DOWN);
}

}  // namespace
