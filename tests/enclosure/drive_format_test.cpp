// Formatting the free drives of the Fibre Channel drive loops on the loop
// test board: every drive is started, checked, given 512-byte blocks and
// formatted; a drive that fails is named on the console with its sense and
// asked once more afterwards; the format lets go of everything it took.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/config_flags.h"
#include "config/config_phase.h"
#include "config/drive_loop_tables.h"
#include "config/drive_tables.h"
#include "enclosure/drive_firmware_download.h"
#include "enclosure/drive_format.h"
#include "enclosure/drive_management.h"
#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "hw/scsi.h"
#include "target/host_command_pool.h"
#include "tests/fc/drive_loop_harness.h"

namespace {

using namespace fw;
using looptest::LoopController;

constexpr uint64_t kFormatLimitNs = 60'000'000'000ull;
constexpr uint64_t kConsoleLimitNs = 60'000'000'000ull;
constexpr uint64_t kConsoleDrainNs = 200'000'000ull;
constexpr uint32_t kMarkLba = 4096;

class DriveFormat : public ::testing::Test {
protected:
    // Drives 1 and 2 on both loops, drive 3 on loop 4 only.
    void SetUp() override {
        c.AddDrive(1);
        c.AddDrive(2);
        c.AddDrive(3, false, true);
        ASSERT_TRUE(c.Boot());
        // The bring-up's long listing has reached the console: what the
        // format prints follows at once.
        ASSERT_TRUE(ConsoleShows("ValidateInitiatorCommandsAfterLIP EXIT"));
        ASSERT_TRUE(c.CallWaiting(
            [] { BuildDriveSlotTableFc(pGetDriveLoopTable(3), pGetDriveLoopTable(4), TRUE); }));
        // Something on every drive that a format takes away.
        std::vector<uint8_t> mark(512, 0x5A);
        for (auto& d : c.drives) d->WriteBlocks(kMarkLba, 1, mark.data());
    }

    sim::Drive& Drive(uint8_t k) { return *c.drives[k - 1]; }

    bool Marked(uint8_t k) {
        std::vector<uint8_t> block(512);
        Drive(k).ReadBlocks(kMarkLba, 1, block.data());
        return block[0] == 0x5A;
    }

    // Builds the list and starts the format, as the firmware's own caller would.
    uint8_t Start(DRIVE_FORMAT_LIST* psList = nullptr) {
        static DRIVE_FORMAT_LIST s_sList;
        static DRIVE_FORMAT_LIST* s_psGiven;
        static uint8_t s_bResult;
        s_psGiven = psList;
        c.OnCpu([] {
            if (s_psGiven == nullptr) BuildDriveFormatList(&s_sList);
            s_bResult = StartDriveFormat(s_psGiven != nullptr ? s_psGiven : &s_sList);
        });
        return s_bResult;
    }

    static bool Ended() {
        return fIsDriveFormatRunning() == FALSE && fIsDriveFwDownloadActive() == FALSE &&
               bGetConfigPhase() == CONFIG_PHASE_IDLE;
    }

    bool RunToEnd() {
        return c.board.RunUntil([] { return Ended(); }, kFormatLimitNs) == sim::StopKind::Running && Ended();
    }

    // The console's text once what was printed has gone out on the UART.
    std::string Console() {
        c.Run(kConsoleDrainNs);
        return c.board.ConsoleText();
    }

    bool ConsoleShows(const std::string& text) {
        const auto shows = [this, &text] { return c.board.ConsoleText().find(text) != std::string::npos; };
        (void)c.board.RunUntil(shows, kConsoleLimitNs);
        return shows();
    }

    static const DRIVE_FORMAT_DRIVE* Entry(uint8_t bPath, uint8_t bLoopId) {
        const DRIVE_FORMAT_LIST* ps = pGetDriveFormatList();
        for (uint32_t i = 0; i < ps->bCount; ++i) {
            if (ps->asDrive[i].bPath == bPath && ps->asDrive[i].bLoopId == bLoopId) return &ps->asDrive[i];
        }
        return nullptr;
    }

    LoopController c;
};

// The list takes the path 3 column first and the path 4 column for a drive
// seen only there; all three drives are formatted with the commands in
// their order, nothing is reported, and the format lets go of the hold,
// the activity flag, its mother and every child.
TEST_F(DriveFormat, FormatsEveryFreeDriveOfTheLoops) {
    std::vector<std::vector<uint8_t>> opcodes(3);
    for (uint8_t k = 1; k <= 3; ++k) {
        Drive(k).onCommand = [&opcodes, k](std::span<const uint8_t> cdb) { opcodes[k - 1].push_back(cdb[0]); };
    }
    const uint16_t wKernelUsed = wGetKernelEntriesUsed();
    const uint16_t wHostUsed = wGetTargetEntriesUsed();
    c.OnCpu([] { SetHostCommandHold(FALSE); });
    ASSERT_EQ(Start(), STATUS_OK);
    EXPECT_EQ(fGetHostCommandHold(), TRUE);
    EXPECT_EQ(fIsDriveFwDownloadActive(), TRUE);
    ASSERT_TRUE(RunToEnd());

    const DRIVE_FORMAT_LIST* psList = pGetDriveFormatList();
    ASSERT_EQ(psList->bCount, 3);
    ASSERT_NE(Entry(3, 1), nullptr);
    ASSERT_NE(Entry(3, 2), nullptr);
    ASSERT_NE(Entry(4, 3), nullptr);
    for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(psList->asDrive[i].bSenseKey, 0) << i;
    const std::vector<uint8_t> walk = {SCSI_START_STOP_UNIT, SCSI_TEST_UNIT_READY, SCSI_MODE_SELECT6,
                                       SCSI_FORMAT_UNIT};
    for (uint8_t k = 1; k <= 3; ++k) {
        EXPECT_EQ(opcodes[k - 1], walk) << "drive " << int(k);
        EXPECT_FALSE(Marked(k)) << "drive " << int(k);
    }
    EXPECT_EQ(Console().find("Failed Format"), std::string::npos);
    EXPECT_EQ(fGetHostCommandHold(), FALSE);
    EXPECT_EQ(wGetKernelEntriesUsed(), wKernelUsed);
    EXPECT_EQ(wGetTargetEntriesUsed(), wHostUsed);
}

// A drive that refuses FORMAT UNIT and one that refuses MODE SELECT are
// named with their sense, loop by loop; the one refusing MODE SELECT is
// never formatted; each failed drive is asked once more, the good one is
// not; the good drive is formatted all the same and the hold is let go.
TEST_F(DriveFormat, FailuresAreNamedAndTheFailedDrivesAskedAgain) {
    Drive(2).FailCommand(SCSI_FORMAT_UNIT, 1);
    Drive(3).FailCommand(SCSI_MODE_SELECT6, 1);
    const uint16_t wKernelUsed = wGetKernelEntriesUsed();
    const uint16_t wSasCommands = wGetTotalCommands(0x61);
    uint64_t turs[3];
    for (uint8_t k = 1; k <= 3; ++k) turs[k - 1] = Drive(k).CommandCount(SCSI_TEST_UNIT_READY);
    ASSERT_EQ(Start(), STATUS_OK);
    ASSERT_TRUE(RunToEnd());

    const std::string text = Console();
    EXPECT_NE(text.find("ID 002 on Loop 01 Failed Format: 04 44 00\r\n"), std::string::npos);
    EXPECT_NE(text.find("ID 003 on Loop 02 Failed Format: 04 44 00\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("ID 001 on Loop"), std::string::npos);
    EXPECT_FALSE(Marked(1));
    EXPECT_TRUE(Marked(3));
    EXPECT_EQ(Drive(3).CommandCount(SCSI_FORMAT_UNIT), 0u);
    // START's TEST UNIT READY, then the follow-up's.
    EXPECT_EQ(Drive(1).CommandCount(SCSI_TEST_UNIT_READY) - turs[0], 1u);
    EXPECT_EQ(Drive(2).CommandCount(SCSI_TEST_UNIT_READY) - turs[1], 2u);
    EXPECT_EQ(Drive(3).CommandCount(SCSI_TEST_UNIT_READY) - turs[2], 2u);
    const DRIVE_FORMAT_DRIVE* ps = Entry(3, 2);
    ASSERT_NE(ps, nullptr);
    EXPECT_EQ(ps->bSenseKey, SENSE_HARDWARE_ERROR);
    EXPECT_EQ(ps->bAsc, 0x44);
    EXPECT_EQ(fGetHostCommandHold(), FALSE);
    // A failed command comes back through its own loop's ring and leaves
    // every count as it found it.
    EXPECT_EQ(wGetTotalCommands(3), 0);
    EXPECT_EQ(wGetTotalCommands(4), 0);
    EXPECT_EQ(wGetTotalCommands(0x61), wSasCommands);
    EXPECT_EQ(wGetKernelEntriesUsed(), wKernelUsed);
}

// A drive whose answer carries no sense has failed all the same.  A drive
// that reports a unit attention first and then spins up for a while is
// waited for, not failed.
TEST_F(DriveFormat, ASenselessRefusalFailsAndASpinningUpDriveIsWaitedFor) {
    Drive(1).FailWithoutSense(SCSI_FORMAT_UNIT, 1);
    Drive(2).BecomeReadyAfter(2);
    Drive(3).Reset();   // a unit attention for the next command
    ASSERT_EQ(Start(), STATUS_OK);
    ASSERT_TRUE(RunToEnd());
    const std::string text = Console();
    EXPECT_NE(text.find("ID 001 on Loop 01 Failed Format: 0b 00 00\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("ID 002 on Loop"), std::string::npos) << text;
    EXPECT_EQ(text.find("ID 003 on Loop"), std::string::npos) << text;
    EXPECT_FALSE(Marked(2));
    EXPECT_FALSE(Marked(3));
}

// Bad lists and a second start are refused before any drive hears of them;
// a format does not start while drive firmware is being loaded.
TEST_F(DriveFormat, BadListsAndBusyControllersAreRefused) {
    const uint64_t starts = Drive(1).CommandCount(SCSI_START_STOP_UNIT);
    DRIVE_FORMAT_LIST sList{};
    EXPECT_EQ(Start(&sList), 0);
    sList.bCount = 1;
    sList.asDrive[0] = {0x61, 1, 0, 0, 0, FALSE};
    EXPECT_EQ(Start(&sList), 0);
    sList.asDrive[0] = {3, 126, 0, 0, 0, FALSE};
    EXPECT_EQ(Start(&sList), 0);
    sList.asDrive[0] = {3, 1, 0, 0, 0, FALSE};
    c.OnCpu([] { SetDriveFirmwareDownloadInProgress(TRUE); });
    EXPECT_EQ(Start(&sList), 0);
    c.OnCpu([] { SetDriveFirmwareDownloadInProgress(FALSE); });
    EXPECT_EQ(Drive(1).CommandCount(SCSI_START_STOP_UNIT), starts);

    ASSERT_EQ(Start(&sList), STATUS_OK);
    EXPECT_EQ(Start(&sList), 0);
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(Drive(1).CommandCount(SCSI_FORMAT_UNIT), 1u);
    EXPECT_EQ(Drive(2).CommandCount(SCSI_FORMAT_UNIT), 0u);
    EXPECT_TRUE(Marked(2));
}

}  // namespace
