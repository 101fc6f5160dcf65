// The screens below the Drive Maintenance Menu on a running controller with
// one RAID 5 array of slots 1-4: a slot's task management and phy control,
// Drive Fail (refusals, the confirmation, the member out of its array and
// the event), and a slot's power switched by the enclosure.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "config/config_state.h"
#include "config/rank_table.h"
#include "console/console_menu.h"
#include "console/menu_tree.h"
#include "console_board.h"
#include "enclosure/drive_table.h"
#include "eventlog/event_log.h"
#include "executive/types.h"
#include "harness/config_builder.h"
#include "harness/dispatch_board.h"
#include "sas/sas_device_list.h"

namespace {

using consoletest::ConsoleBoard;
using consoletest::kAnyKey;
using consoletest::kPrompt;
using consoletest::Title;

const std::string kExit = "\n0.  Exit\n\n" + kPrompt;
const std::string kInvalid = "\nInvalid selection\n\n" + kAnyKey;
constexpr uint64_t kDriveMaintenancePath = 0x1222;

class DriveDiagnosticMenus : public ::testing::Test {
protected:
    explicit DriveDiagnosticMenus(const sim::ChassisOptions& options = sim::ChassisOptions()) : c(options) {}
    void SetUp() override {
        c.Boot();
        cfgbuild::Builder b(c.board);
        ASSERT_TRUE(b.MakeArrayWithLd({fw::RAID_LEVEL_5, {1, 2, 3, 4}}, 4));
        c.Settle();
        c.Type("\x05");
        fw::SetConfigModified(fw::FALSE);
    }
    // The screen as the Drive Maintenance Menu's option opens it.
    std::string Open(fw::MENU_FUNCTION pfnMenu) {
        fw::psGetMenuState()->lMenuPath = kDriveMaintenancePath;
        c.board.ClearConsoleText();
        pfnMenu();
        c.Settle();
        return consoletest::Lines(c.board.ConsoleText());
    }
    static std::string Id(unsigned uEnclosure, unsigned uSlot) {
        char ac[40];
        snprintf(ac, sizeof ac, "Enclosure %02u Slot %02u ID:%02x\n\n", uEnclosure, uSlot,
                 fw::bGetTargetIdByEnclosureSlot(uint8_t(uEnclosure), uint8_t(uSlot)));
        return ac;
    }
    ConsoleBoard c;
};

TEST_F(DriveDiagnosticMenus, ASlotIsChosenAndItsTaskManagementTypeSet) {
    const std::string kEnclosurePrompt = Title("Drive Diagnostic Menu", "2-2-2-4-1") + "\nSelect Enclosure: ";
    EXPECT_EQ(Open(fw::DriveDiagnosticMenu), kEnclosurePrompt);
    // Enclosures 1-16 and slots 1-32 only.
    for (const char* psz : {"17", "0", "x", ""}) {
        EXPECT_EQ(c.Enter(psz), std::string(psz) + "\r" + kInvalid) << psz;
        c.Type(" ");
        Open(fw::DriveDiagnosticMenu);
    }
    EXPECT_EQ(c.Enter("16"), "16\r\nSelect Slot     : ");
    EXPECT_EQ(c.Enter("33"), "33\r" + kInvalid);
    c.Type(" ");
    Open(fw::DriveDiagnosticMenu);
    c.Enter("16");
    const std::string kActionMenu = Title("Drive Diagnostic Menu", "2-2-2-4-1-1") + Id(16, 32) +
                                    "1.  Task Management\n2.  SAS SMP Control\n" + kExit;
    EXPECT_EQ(c.Enter("32"), "32\r\n" + kActionMenu);
    EXPECT_EQ(fw::bGetTargetIdByEnclosureSlot(16, 32), 0xFF);

    Open(fw::DriveDiagnosticMenu);
    c.Enter("1");
    c.Enter("2");
    const std::string kTaskMenu = Title("Drive Diagnostic Menu", "2-2-2-4-1-1-1") + "Target Reset " + Id(1, 2) +
                                  "1.  Configure Reset Type\n2.  From This Controller Only\n" + kExit;
    EXPECT_EQ(c.Enter("1"), "1\r\n\n" + kTaskMenu);
    // Both controllers only with a partner.
    EXPECT_EQ(c.Enter("3"), "3\r" + kPrompt);
    EXPECT_EQ(c.Enter("1"), "1\r\n\n" + Title("Reset Drive Menu", "2-2-2-4-1-1-1-1") +
                                "Select Task Management Type\n\n1.  Target Reset (current)\n2.  Logical Unit Reset\n"
                                "3.  Clear Task Set\n4.  Abort Task Set\n" +
                                kExit);
    EXPECT_EQ(c.Enter("3"), "3\r\n\n" + kAnyKey);
    EXPECT_EQ(fw::bGetMenuParameter(), 6);
    EXPECT_NE(c.Type(" ").find("3.  Clear Task Set (current)\n"), std::string::npos);
    EXPECT_NE(c.Enter("0").find("Clear Task Set " + Id(1, 2)), std::string::npos);
    EXPECT_EQ(c.Enter("2"), "2\r\n\n" + kAnyKey);
    // A value that names no task shows no name and no mark.
    fw::SetMenuParameter(4);
    const std::string sOdd = c.Type(" ");
    EXPECT_NE(sOdd.find(") (C0)\n\n " + Id(1, 2)), std::string::npos) << sOdd;
    c.Enter("0");
    EXPECT_EQ(c.Enter("2"), "2\r\n\n" + Title("Drive Diagnostic Menu", "2-2-2-4-1-1-2") + " " + Id(1, 2) +
                                "1.  PHY Control Link Reset\n2.  PHY Control Hard Reset\n3.  PHY Control Disable\n"
                                "4.  PHY Control Clear Error Log\n5.  PHY Control Clear Affiliation\n"
                                "6.  PHY Control SATA Port Select\n" +
                                kExit);
    EXPECT_EQ(c.Enter("1"), "1\r\n\n" + kAnyKey);
    fw::SetDriveAttentionFlag(fw::TRUE);
    c.Type(" ");
    c.Enter("0");
    c.Enter("0");
    EXPECT_EQ(fw::fGetDriveAttentionFlag(), fw::FALSE);
}

TEST_F(DriveDiagnosticMenus, DriveFailTakesTheMemberOutOnlyWhenConfirmed) {
    const std::string kArrayPrompt =
        Title("Drive Fail Menu", "2-2-2-6") + "\nEnter the number of the array that contains the drive (0): ";
    EXPECT_EQ(Open(fw::DriveFailMenu), kArrayPrompt);
    EXPECT_EQ(c.Enter("1"), "1\r" + kInvalid);
    c.Type(" ");
    Open(fw::DriveFailMenu);
    const std::string kDrivePrompt =
        Title("Drive Fail Menu", "2-2-2-6-1") + "\nEnter the number in the array of the drive (0..3): ";
    EXPECT_EQ(c.Enter("0"), "0\r" + kDrivePrompt);
    EXPECT_EQ(c.Enter("4"), "4\r" + kInvalid);
    c.Type(" ");
    Open(fw::DriveFailMenu);
    c.Enter("0");
    const std::string kConfirm =
        "\nAre you sure you want to fail this drive?\nConfirm failure of drive array 0 driveno 2 (Y or N): ";
    EXPECT_EQ(c.Enter("2"), "2\r" + kConfirm);
    EXPECT_EQ(c.Enter("n"), "n\r\nDrive NOT failed\n\n" + kAnyKey);
    EXPECT_EQ(fw::bGetRankMemberFlags(0, 2), fw::MEMBER_FLAGS_IN_SERVICE);

    c.Type(" ");
    Open(fw::DriveFailMenu);
    c.Enter("0");
    c.Enter("2");
    EXPECT_EQ(c.Enter("Y"), "Y\r\nFailing Drive:  array 0 driveno 2 \n\n" + kAnyKey);
    const fw::EVENT_LOG_ENTRY* ps = harness::NewestEvent(145);
    ASSERT_NE(ps, nullptr);
    EXPECT_EQ(ps->abArgs[0], 1);
    EXPECT_EQ(ps->abArgs[1], 3);
    EXPECT_EQ(ps->abArgs[2], 3);
    EXPECT_NE(fw::bGetRankMemberFlags(0, 2), fw::MEMBER_FLAGS_IN_SERVICE);
    EXPECT_EQ(fw::pGetConfigImage()->asRank[0].abMemberState[2], 17);
    ASSERT_NE(harness::NewestEvent(27), nullptr);

    // Its drive gone, the member cannot be failed again.
    c.Type(" ");
    Open(fw::DriveFailMenu);
    c.Enter("0");
    c.Enter("2");
    EXPECT_EQ(c.Enter("y"), "y\r\nFailing Drive:  array 0 driveno 2 \n\n\n Drive does not exist\n" + kAnyKey);

    // An unsaved edit first.
    c.Type(" ");
    fw::SetConfigModified(fw::TRUE);
    EXPECT_EQ(Open(fw::DriveFailMenu), "\nPlease save configuration before failing a drive\n\n" + kAnyKey);
    c.Type(" ");
    EXPECT_EQ(Open(fw::DrivePowerManagementMenu),
              "\nPlease save configuration before requesting drive power management\n\n" + kAnyKey);
}

// With an expansion enclosure below the controller's, whose processor
// switches its slots' power.
class DriveDiagnosticMenusWithExpansion : public DriveDiagnosticMenus {
protected:
    static sim::ChassisOptions OneExpansion() {
        sim::ChassisOptions o;
        o.expansions = 1;
        o.expansionDrives = 3;
        return o;
    }
    DriveDiagnosticMenusWithExpansion() : DriveDiagnosticMenus(OneExpansion()) {}
};

TEST_F(DriveDiagnosticMenusWithExpansion, ASlotIsPoweredDownAndUp) {
    EXPECT_EQ(Open(fw::DrivePowerManagementMenu),
              Title("Drive Power Management Menu", "2-2-2-7") + "\nEnter the drive enclosure number: ");
    EXPECT_EQ(c.Enter("0"), "0\r" + kInvalid);
    c.Type(" ");
    Open(fw::DrivePowerManagementMenu);
    EXPECT_EQ(c.Enter("2"), "2\r" + Title("Drive Power Management Menu", "2-2-2-7-1") +
                                "\nEnter the drive slot number: ");
    // No expander phy leads to an empty slot number.
    EXPECT_EQ(c.Enter("32"), "32\r" + kInvalid);
    c.Type(" ");
    Open(fw::DrivePowerManagementMenu);
    c.Enter("2");
    const std::string kActions = Title("Drive Power Management Menu", "2-2-2-7-1-1") +
                                 "1.  Power-down drive\n2.  Power-up drive\n" + kExit;
    EXPECT_EQ(c.Enter("2"), "2\r" + kActions);
    constexpr unsigned kChassisSlot = sim::Chassis::kSlots + 2;
    fw::DRIVE_INFO* psDrive = nullptr;
    ASSERT_EQ(fw::fFindDriveByEnclosureSlot(2, 2, &psDrive), fw::TRUE);
    std::array<uint8_t, 8> abWwn{};
    std::memcpy(abWwn.data(), psDrive->abWWN, 8);
    for (uint8_t bAction : {1, 2}) {
        if (bAction == 2) {
            c.Type(" ");
            Open(fw::DrivePowerManagementMenu);
            c.Enter("2");
            c.Enter("2");
        }
        EXPECT_EQ(c.Enter(std::to_string(bAction)), std::to_string(bAction) + "\r\n\n" + kAnyKey);
        const fw::EVENT_LOG_ENTRY* ps = harness::NewestEvent(145);
        ASSERT_NE(ps, nullptr);
        EXPECT_EQ(ps->abArgs[0], 2);
        EXPECT_EQ(ps->abArgs[1], 2);
        EXPECT_EQ(ps->abArgs[2], bAction);
        // The enclosure switches the slot as asked, and no other.
        const bool fOn = bAction == 2;
        c.board.RunUntil([&] { return c.chassis.SlotPowered(kChassisSlot) == fOn; }, 60'000'000'000ull);
        EXPECT_EQ(c.chassis.SlotPowered(kChassisSlot), fOn);
        EXPECT_TRUE(c.chassis.SlotPowered(kChassisSlot + 1));
        // The drive leaves the drive table with its power, and comes back
        // as itself with it.
        const auto fListed = [] {
            fw::DRIVE_INFO* ps = nullptr;
            return fw::fFindDriveByEnclosureSlot(2, 2, &ps) == fw::TRUE;
        };
        c.board.RunUntil([&] { return fListed() == fOn; }, 60'000'000'000ull);
        ASSERT_EQ(fListed(), fOn) << "slot power " << int(bAction);
        EXPECT_EQ(fw::fFindDriveByWWN(abWwn.data(), nullptr, nullptr), fw::ToFlag(fOn));
    }
}

}  // namespace
