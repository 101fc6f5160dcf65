// The drive and host command time logs, their printouts, and the status line.
#include <gtest/gtest.h>

#include <string>

#include "enclosure/drive_table.h"
#include "eventlog/statistics.h"
#include "eventlog/status_line.h"
#include "eventlog/time_logs.h"
#include "executive/buffer_pages.h"
#include "executive/kernel_entry.h"
#include "executive/port_codes.h"
#include "executive/progress.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "harness/config_test.h"
#include "hw/scsi.h"
#include "target/host_command_codes.h"

namespace {

using fw::KERNEL_ENTRY;

class TimeLogsTest : public harness::ConfigTest {
protected:
    void SetUp() override {
        ConfigTest::SetUp();
        fw::ClearDriveCommandTimeLog();
        fw::ClearHostCommandTimeLog();
        AdvanceMs(5000);
    }
    static void AdvanceMs(uint32_t dMs) {
        for (uint32_t d = 0; d < dMs; d++) fw::SystemTickHandler();
    }
    // A drive in enclosure 1, slot 3, at target 5.
    void DriveAtSlot3() {
        fw::DRIVE_INFO s;
        fw::ClearDriveInfoRecord(&s);
        s.bLoopID1 = 5;
        s.bEnclosureNo = 1;
        s.bSlotNo = 3;
        ASSERT_EQ(fw::fAppendDriveInfo(fw::pGetDriveInfoList(), &s), fw::TRUE);
    }
    static KERNEL_ENTRY Request(uint8_t bOpcode, uint16_t wTarget, uint64_t lAgeMs) {
        KERNEL_ENTRY s{};
        s.abCdb[0] = bOpcode;
        s.wTargetId = wTarget;
        s.lArrivalMs = fw::lGetTickCount() - lAgeMs;
        return s;
    }
    static KERNEL_ENTRY HostCommand(uint8_t bOpcode, uint8_t bPort, uint16_t wLun, uint64_t lAgeMs) {
        KERNEL_ENTRY s = Request(bOpcode, 0, lAgeMs);
        s.bPortCode = bPort;
        s.wLunIndex = wLun;
        return s;
    }
    std::string Printed(void (*pfnPrint)()) {
        board.ClearConsoleText();
        pfnPrint();
        return board.ConsoleText();
    }
};

const std::string kDriveLogHead =
    "\r\nDrive Command Time Log:\r\n"
    "Identifier       Rd. Max Rd. Avg   Wr. Max Wr. Avg   Mc. Max Mc. Avg   Tot Avg\r\n" +
    std::string(78, '_') + "\r\n";
const std::string kBlank15(15, ' ');

TEST_F(TimeLogsTest, ADriveThatOnlyReadShowsItsReadColumnsAndTotal) {
    DriveAtSlot3();
    for (uint64_t lAge : {250u, 1250u}) {
        KERNEL_ENTRY s = Request(fw::SCSI_READ10, 5, lAge);
        fw::RecordDriveCommandTime(&s);
    }
    // Another target, never looked up because no drive holds it.
    KERNEL_ENTRY sOther = Request(fw::SCSI_WRITE10, 9, 10);
    fw::RecordDriveCommandTime(&sOther);
    KERNEL_ENTRY sBeyond = Request(fw::SCSI_WRITE10, 256, 10);
    fw::RecordDriveCommandTime(&sBeyond);
    EXPECT_EQ(Printed(fw::PrintDriveCommandTimeLog),
              kDriveLogHead + "Encl:01 Slot:03: 01.250s 00.750s   " + kBlank15 + "   " + kBlank15 + "   00.750s\r\n\r\n");
    EXPECT_EQ(Printed(fw::PrintDriveCommandTimeLog), kDriveLogHead + "\r\n") << "a printout empties the log";
}

TEST_F(TimeLogsTest, AnIntervalBeyond32BitsAlwaysTakesTheMaximum) {
    DriveAtSlot3();
    KERNEL_ENTRY sLong = Request(fw::SCSI_WRITE10, 5, 500);
    fw::RecordDriveCommandTime(&sLong);
    KERNEL_ENTRY sWrapped = Request(fw::SCSI_WRITE10, 5, (1ull << 32) + 10);
    fw::RecordDriveCommandTime(&sWrapped);
    const std::string s = Printed(fw::PrintDriveCommandTimeLog);
    EXPECT_NE(s.find("Encl:01 Slot:03: " + kBlank15 + "   00.010s 00.255s"), std::string::npos) << s;
}

TEST_F(TimeLogsTest, HostLogBySideAndLun) {
    KERNEL_ENTRY sRead = HostCommand(fw::SCSI_READ16, fw::PORT_CODE_FC_HOST_1, 2, 30);
    KERNEL_ENTRY sCached = HostCommand(fw::SCSI_WRITE16, fw::PORT_CODE_FC_HOST_1, 2, 5);
    fw::SetFlag(&sCached, fw::KE_FLAG_CACHE_COUNTED);
    KERNEL_ENTRY sNoLun = HostCommand(fw::SCSI_READ16, fw::PORT_CODE_FC_HOST_2, 512, 5);
    KERNEL_ENTRY sNoSide = HostCommand(fw::SCSI_READ16, fw::PORT_CODE_INTERNAL, 2, 5);
    KERNEL_ENTRY sOther = HostCommand(fw::SCSI_INQUIRY, fw::PORT_CODE_FC_HOST_2, 2, 5);
    for (KERNEL_ENTRY* ps : {&sRead, &sCached, &sNoLun, &sNoSide, &sOther}) fw::RecordHostCommandTime(ps);
    EXPECT_EQ(Printed(fw::PrintHostCommandTimeLog),
              "\r\nHost Command Time Log:\r\n"
              "Port 0 Read        : Max: 000.030s Avg: 00.030s, Cmds: 0x000000001\r\n"
              "Port 0 Cached Write: Max: 000.005s Avg: 00.005s, Cmds: 0x000000001\r\n"
              "P0 L002 Read:000.030s 00.030s   " + std::string(22, ' ') + "   Cached:000.005s 00.005s\r\n"
              "\r\n\r\n");
    EXPECT_EQ(Printed(fw::PrintHostCommandTimeLog), "\r\nHost Command Time Log:\r\n\r\n\r\n");
}

TEST_F(TimeLogsTest, StatusLine) {
    fw::dMainLoopCycles = 0x1234;
    fw::bMainLoopStage = 0x20;
    fw::bBackgroundStep = 7;
    fw::bServiceSubStep = 1;
    fw::SetCacheWriteCount(0);
    fw::SetCacheWriteCountMax(0);
    fw::IncCacheWriteCount();
    fw::IncCacheWriteCount();
    fw::IncHostReadsInProgress();
    // What start-up holds for good counts as the baseline, not as use.
    fw::SetBufferBaseline();
    fw::SetHighWaterMark(0, 0);
    fw::BUFFER_HANDLE dPage{};
    ASSERT_EQ(fw::bAllocDataPages(0, 1, &dPage), fw::STATUS_OK);
    const std::string sFirst = Printed([] { fw::PrintStatusLine(fw::FALSE); });
    EXPECT_NE(sFirst.find("\r\nK:00001234.20.07.01 TU"), std::string::npos) << sFirst;
    EXPECT_NE(sFirst.find("R:001 W:000/002/002 OC:000/000\r\nM:"), std::string::npos) << sFirst;
    EXPECT_NE(sFirst.find(" MM:<1% (00001) Max: <1% MC:00%\r\n\r\n\r\n"), std::string::npos) << sFirst;
    // The maximum held and the peak start again with each line.
    const std::string sSecond = Printed([] { fw::PrintStatusLine(fw::FALSE); });
    EXPECT_NE(sSecond.find("W:000/002/000"), std::string::npos) << sSecond;
    EXPECT_NE(sSecond.find("Max: 00%"), std::string::npos) << sSecond;
    (void)fw::wFreeDataPages(dPage, 1);
}

}  // namespace
