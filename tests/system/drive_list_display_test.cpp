// The drive list displays of a running controller, line for line.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "enclosure/drive_list_display.h"
#include "enclosure/drive_rescan.h"
#include "enclosure/drive_table.h"
#include "executive/console_output.h"
#include "harness/dispatch_board.h"
#include "executive/types.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/sas_controller.h"

namespace {

class DriveListDisplayTest : public ::testing::Test {
protected:
    void Boot(const sim::ChassisOptions& o) {
        if (!chassis) chassis = std::make_unique<sim::Chassis>(o);
        board.sasController().AttachChassis(chassis.get());
        ASSERT_TRUE(harness::BootToMainLoop(board)) << board.ConsoleText();
        board.RunUntil([] { return fw::dGetDriveTableChangeCount() != 0 && fw::fIsDriveRescanInProgress() != fw::TRUE; },
                       600'000'000'000ull);
        board.RunUntil([] { return false; }, 100'000'000ull);
        board.ClearConsoleText();
    }
    // What the calls printed, once the console has sent it.
    std::string Printed() {
        board.RunUntil([] { return false; }, 100'000'000ull);
        std::string s = board.ConsoleText();
        board.ClearConsoleText();
        return s;
    }
    void PrintList(uint8_t fApm) {
        fw::ShowDriveListHeader(fApm);
        const fw::DRIVE_INFO_LIST* ps = fw::pGetDriveInfoList();
        for (uint8_t i = 0; i < ps->bDriveCount; ++i) {
            fw::ConsolePrintf("%3d ", i + 1);
            EXPECT_EQ(fw::ShowDriveListEntry(ps->asDriveInfo[i].abWWN, fApm), fw::STATUS_OK);
            fw::ConsolePrintf("\n");
        }
    }
    std::unique_ptr<sim::Chassis> chassis;
    sim::Board board;
};

TEST_F(DriveListDisplayTest, SasDrives) {
    sim::ChassisOptions o;
    o.drives = 2;
    chassis = std::make_unique<sim::Chassis>(o);
    sim::DriveConfig sBig = sim::Chassis::DefaultDriveConfig(3, o);
    sBig.blocks = 1953525168;     // "1 TB"
    sBig.product = "SIMDISK 1000GB";
    sBig.serial = "BIG00003";
    chassis->Insert(3, sBig);
    sim::DriveConfig sSmall = sim::Chassis::DefaultDriveConfig(5, o);
    sSmall.blocks = 143374744;    // "73 GB"
    sSmall.revision = "A7B2";
    sSmall.serial = "SML00005";
    chassis->Insert(5, sSmall);
    Boot(o);
    PrintList(fw::FALSE);
    EXPECT_EQ(Printed(), "\r\n"
              "No. Type Identifier       Product ID   F/W  Sav Ser. No. Cap.   ID  EN SL PS ST\r\n"
              "--- ---- ---------------- ------------ ---- --- -------- ------ --- -- -- -- --\r\n"
              "  1 SAS  5005d5d000a00010 SIMDISK 4G   0001 No  M0000001 004 GB 001 01 01 --\r\n"
              "  2 SAS  5005d5d000a00020 SIMDISK 4G   0001 No  M0000002 004 GB 002 01 02 --\r\n"
              "  3 SAS  5005d5d000a00030 SIMDISK 1000 0001 No  BIG00003 999 GB 003 01 03 --\r\n"
              "  4 SAS  5005d5d000a00050 SIMDISK 4G   A7B2 No  SML00005 073 GB 000 01 05 --\r\n");
    PrintList(fw::TRUE);
    EXPECT_EQ(Printed(), "\r\n"
              "No. Type Identifier       Product ID    Cap.   EN SL  APM Status\r\n"
              "--- ---- ---------------- ------------  ------ -- --  ----------\r\n"
              "  1 SAS  5005d5d000a00010 SIMDISK 4G    004 GB 01 01  Spun Up\r\n"
              "  2 SAS  5005d5d000a00020 SIMDISK 4G    004 GB 01 02  Spun Up\r\n"
              "  3 SAS  5005d5d000a00030 SIMDISK 1000  999 GB 01 03  Spun Up\r\n"
              "  4 SAS  5005d5d000a00050 SIMDISK 4G    073 GB 01 05  Spun Up\r\n");
    fw::ShowDriveTableDump(fw::FALSE);
    EXPECT_EQ(Printed(), "\r\n"
              "Type Identifier       Product ID   Firmware Ser. No. EQRW Cap ID C EN SL ST R D\r\n"
              "--------------------------------------------------------------------------------\r\n"
              "SAS  5005d5d000a00010 SIMDISK 4G       0001 M0000001 YYYN 004 01 1 01 01\r\n"
              "---- ---------------- ------------ -------- -------- ---- --- -- - -- --\r\n"
              "SAS  5005d5d000a00020 SIMDISK 4G       0001 M0000002 YYYN 004 02 1 01 02\r\n"
              "---- ---------------- ------------ -------- -------- ---- --- -- - -- --\r\n"
              "SAS  5005d5d000a00030 SIMDISK 1000     0001 BIG00003 YYYN 999 03 1 01 03\r\n"
              "---- ---------------- ------------ -------- -------- ---- --- -- - -- --\r\n"
              "SAS  5005d5d000a00050 SIMDISK 4G       A7B2 SML00005 YYYN 073 00 1 01 05\r\n"
              "---- ---------------- ------------ -------- -------- ---- --- -- - -- --\r\n"
              "\r\n"
              "04 Drives\r\n"
              "\r\n");
    // Drives the table does not know: by identifier, with dashes.
    const uint8_t abSas[8] = {0x50, 0x00, 0xC5, 0x00, 0x12, 0x34, 0x56, 0x78};
    const uint8_t abSata[8] = {'W', 'D', '-', 'W', 'C', 'A', 'Z', '9'};
    EXPECT_EQ(fw::ShowDriveListEntry(abSas, fw::FALSE), 0);
    fw::ConsolePrintf("\n");
    EXPECT_EQ(fw::ShowDriveListEntry(abSata, fw::TRUE), 0);
    fw::ConsolePrintf("\n");
    // A drive without enclosure, slot or target id.
    fw::DRIVE_INFO& sFirst = fw::pGetDriveInfoList()->asDriveInfo[0];
    sFirst.bEnclosureNo = sFirst.bSlotNo = sFirst.bLoopID1 = 0xFF;
    EXPECT_EQ(fw::ShowDriveListEntry(sFirst.abWWN, fw::FALSE), fw::STATUS_OK);
    fw::ConsolePrintf("\n");
    EXPECT_EQ(Printed(), "SAS  5000c50012345678 ------------ ---- --- -------- --- -- --- -- -- --\r\n"
              "SATA WD-WCAZ9         ------------ ---- --- -------- --- -- --- -- -- --\r\n"
              "SAS  5005d5d000a00010 SIMDISK 4G   0001 No  M0000001 004 GB NA  NA NA --\r\n");
}

// The enclosure's SATA drives sit behind active-active multiplexers.
TEST_F(DriveListDisplayTest, SataDrives) {
    sim::ChassisOptions o;
    o.drives = 2;
    o.sata = true;
    Boot(o);
    PrintList(fw::FALSE);
    fw::ShowDriveTableDump(fw::FALSE);
    EXPECT_EQ(Printed(), "\r\n"
              "No. Type Identifier       Product ID   F/W  Sav Ser. No. Cap.   ID  EN SL PS ST\r\n"
              "--- ---- ---------------- ------------ ---- --- -------- ------ --- -- -- -- --\r\n"
              "  1 SATA M0000001          DRIVEVND SIM 0001 No  M0000001 004 GB 000 01 01 AA\r\n"
              "  2 SATA M0000002          DRIVEVND SIM 0001 No  M0000002 004 GB 001 01 02 AA\r\n"
              "\r\n"
              "Type Identifier       Product ID   Firmware Ser. No. EQRW Cap ID C EN SL ST R D\r\n"
              "--------------------------------------------------------------------------------\r\n"
              "SATA M0000001          DRIVEVND SIM 0001     M0000001 YNYS 004 00 1 01 01\r\n"
              "---- ---------------- ------------ -------- -------- ---- --- -- - -- --\r\n"
              "SATA M0000002          DRIVEVND SIM 0001     M0000002 YNYS 004 01 1 01 02\r\n"
              "---- ---------------- ------------ -------- -------- ---- --- -- - -- --\r\n"
              "\r\n"
              "02 Drives\r\n"
              "\r\n");
}

}  // namespace
