// The drive diagnostics' one command to one drive, run as configuration
// phase 6 on a running controller: each command's data as the drive sent
// it, the second command of MODE SENSE and REPORT LUNS with the length the
// first one found, and a read's data in pages of its own, never in the
// cache's.
#include <gtest/gtest.h>

#include <cstring>

#include "config/config_phase.h"
#include "config/config_state.h"
#include "console/drive_command_phase.h"
#include "enclosure/drive_table.h"
#include "executive/kernel_queue.h"
#include "harness/dispatch_board.h"
#include "host_road.h"
#include "sas/sas_device_list.h"

namespace {

constexpr uint64_t kLimitNs = 120'000'000'000ull;

uint8_t TargetOfSlot(unsigned uSlot) {
    const fw::SAS_DEVICE_LIST* ps = fw::pGetSASDriveInfoList();
    for (uint8_t i = 0; i < ps->bEntryCount; ++i)
        if (ps->asEntry[i].bSlot == uSlot) return ps->asEntry[i].bTargetId;
    return 0xFF;
}

// Sets the phase's registers as the drive menus do and runs it to its end.
void RunCommand(sim::Board& board, uint8_t bOp, uint8_t bTarget, uint32_t dLba = 0, uint16_t wCount = 0) {
    fw::SetMenuSelection(bOp);
    fw::SetPhaseParam1(fw::PORT_CODE_INITIATOR);
    fw::SetPhaseParam2(bTarget);
    std::memcpy(fw::pGetConfigWorkBuffer() + fw::DRIVE_COMMAND_LBA_OFFSET, &dLba, 4);
    std::memcpy(fw::pGetConfigWorkBuffer() + fw::DRIVE_COMMAND_COUNT_OFFSET, &wCount, 2);
    fw::SetConfigPhase(fw::CONFIG_PHASE_DRIVE_COMMAND);
    fw::SetConfigPhaseStep(0);
    fw::RequestConfigurationService();
    board.RunUntil([] { return fw::bGetConfigPhase() == fw::CONFIG_PHASE_IDLE; }, kLimitNs);
    ASSERT_EQ(fw::bGetConfigPhase(), fw::CONFIG_PHASE_IDLE);
    EXPECT_EQ(fw::fGetConfigWriteWaitFlag(), fw::FALSE);
    // What the phase printed leaves the console.
    board.RunFor(200'000'000ull);
}

class DriveCommandPhaseTest : public ::testing::Test {
protected:
    void SetUp() override {
        board.sasController().AttachChassis(&chassis);
        ASSERT_TRUE(harness::BootToMainLoop(board)) << board.ConsoleText();
        board.RunUntil([] { return fw::dGetDriveTableChangeCount() != 0 && fw::bGetConfigPhase() == 0; },
                       600'000'000'000ull);
        target = TargetOfSlot(2);
        ASSERT_NE(target, 0xFF);
    }
    std::string Shown(uint8_t bOp) {
        board.ClearConsoleText();
        RunCommand(board, bOp, target);
        return board.ConsoleText();
    }
    sim::Chassis chassis;
    sim::Board board;
    uint8_t target = 0xFF;
};

TEST_F(DriveCommandPhaseTest, EachCommandShowsTheDataTheDriveSent) {
    // The capacity: the last block and the block length, as the drive has them.
    const uint64_t last = chassis.DriveAt(2)->config().blocks - 1;
    char ac[128];
    std::snprintf(ac, sizeof ac, "Capacity Data: %02x %02x %02x %02x 00 00 02 00   ", unsigned(last >> 24 & 0xFF),
                  unsigned(last >> 16 & 0xFF), unsigned(last >> 8 & 0xFF), unsigned(last & 0xFF));
    EXPECT_EQ(Shown(fw::SCSI_READ_CAPACITY10), ac);

    // INQUIRY: 36 bytes, 16 to a line with a gap after the eighth.
    const std::string inquiry = Shown(fw::SCSI_INQUIRY);
    ASSERT_EQ(inquiry.rfind("Inquiry Data:\r\n00 ", 0), 0u) << inquiry;
    EXPECT_EQ(std::count(inquiry.begin(), inquiry.end(), '\n'), 3) << inquiry;
    EXPECT_NE(inquiry.find("   "), std::string::npos);

    // One LUN: the list is 8 bytes long, the second command asked for 16.
    const uint64_t reportLuns = chassis.DriveAt(2)->CommandCount(fw::SCSI_REPORT_LUNS);
    EXPECT_EQ(Shown(fw::SCSI_REPORT_LUNS),
              "Report Luns Data:\r\n00 00 00 08 00 00 00 00   00 00 00 00 00 00 00 00 \r\n\r\n");
    EXPECT_EQ(chassis.DriveAt(2)->CommandCount(fw::SCSI_REPORT_LUNS), reportLuns + 2);

    // A drive that has grown no defect.
    EXPECT_EQ(Shown(fw::SCSI_READ_DEFECT_DATA10), "Defect List Header: 00 1d 00 00 ");

    // Every page of the drive, one line each, page code and length first.
    const uint64_t modeSense = chassis.DriveAt(2)->CommandCount(fw::SCSI_MODE_SENSE6);
    const std::string mode = Shown(fw::SCSI_MODE_SENSE6);
    ASSERT_EQ(mode.rfind("Mode Sense Data:\r\n", 0), 0u) << mode;
    EXPECT_NE(mode.find("\r\n08 "), std::string::npos) << mode;   // the caching page
    EXPECT_EQ(chassis.DriveAt(2)->CommandCount(fw::SCSI_MODE_SENSE6), modeSense + 2);
}

// Whatever the drive does with the command, nothing is held afterwards:
// the phase's pages and entries are back.
TEST_F(DriveCommandPhaseTest, AFailedCommandEndsThePhaseAndGivesAllBack) {
    const uint32_t dPages = fw::dGetPagesInUse(0) + fw::dGetPagesInUse(1);
    const uint16_t wEntries = fw::wGetKernelEntriesUsed();
    chassis.DriveAt(2)->FailCommand(fw::SCSI_INQUIRY, 100);
    board.ClearConsoleText();
    RunCommand(board, fw::SCSI_INQUIRY, target);
    EXPECT_EQ(board.ConsoleText().rfind("Inquiry Data:\r\n00 00 00 00 ", 0), 0u) << board.ConsoleText();
    // A command the table does not know goes out alone, without data.
    const uint64_t tur = chassis.DriveAt(2)->CommandCount(fw::SCSI_TEST_UNIT_READY);
    RunCommand(board, fw::SCSI_TEST_UNIT_READY, target);
    EXPECT_EQ(chassis.DriveAt(2)->CommandCount(fw::SCSI_TEST_UNIT_READY), tur + 1);
    EXPECT_EQ(fw::dGetPagesInUse(0) + fw::dGetPagesInUse(1), dPages);
    EXPECT_EQ(fw::wGetKernelEntriesUsed(), wEntries);
}

// A long READ(10) from a member while the cache holds acknowledged writes:
// they all read back, and reach the drives as the layout says.
class DriveCommandRoad : public roadtest::HostRoad {
protected:
    void WriteSome(uint32_t count, uint32_t seed) {
        std::mt19937 rng(seed);
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t blocks = 1 + rng() % 64;
            Write(rng() % (RowBlocks() * 8 - blocks), blocks, seed + i);
        }
    }
};

TEST_F(DriveCommandRoad, AReadLeavesEveryCachedWriteIntact) {
    ASSERT_NO_FATAL_FAILURE(Boot({"Raid5", fw::RAID_LEVEL_5, 4, 16}));
    WriteSome(24, 5);
    const uint8_t bTarget = TargetOfSlot(1);
    ASSERT_NE(bTarget, 0xFF);
    const uint64_t reads = chassis->DriveAt(1)->CommandCount(fw::SCSI_READ10);
    ASSERT_NO_FATAL_FAILURE(RunCommand(*board, fw::SCSI_READ10, bTarget, 0, 8192));
    EXPECT_GT(chassis->DriveAt(1)->CommandCount(fw::SCSI_READ10), reads);
    ExpectRead(0, static_cast<uint32_t>(RowBlocks() * 8));
    Settle();
    ExpectDrivesMatchReference();
}

}  // namespace
