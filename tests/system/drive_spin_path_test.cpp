// Drive spin control of SATA drives behind active-passive multiplexers: a
// started drive is taken as up without TEST UNIT READY (its START answers
// only once it is up), and its background self-test leaves no test mark,
// while a drive reached directly keeps its mark until its test ends.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "config/config_state.h"
#include "enclosure/drive_rescan.h"
#include "enclosure/drive_spin.h"
#include "enclosure/drive_table.h"
#include "executive/background_process.h"
#include "executive/types.h"
#include "harness/dispatch_board.h"
#include "hw/scsi.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/expander.h"
#include "sim/sas_controller.h"

namespace {

constexpr uint64_t kSpinUpNs = 1'000'000'000ull;
constexpr uint64_t kMinute = 60'000'000'000ull;

sim::ChassisOptions Options(bool sata) {
    sim::ChassisOptions o;
    o.drives = 4;
    o.driveBytes = 64ull << 20;
    o.spinUpNs = kSpinUpNs;
    o.sata = sata;
    o.aaMuxes = false;
    return o;
}

class DriveSpinPathTest : public ::testing::TestWithParam<bool> {
protected:
    DriveSpinPathTest() : chassis(Options(GetParam())) {}
    void SetUp() override {
        // Slot 1's phy shows a port selector passing this controller's path.
        sim::ExpanderPhy& sPhy = chassis.PhyOfSlot(1);
        sPhy.portSelector = GetParam();
        sPhy.selectorActive = GetParam();
        board.sasController().AttachChassis(&chassis);
        ASSERT_TRUE(harness::BootToMainLoop(board)) << board.ConsoleText();
        board.RunUntil([] { return fw::dGetDriveTableChangeCount() != 0 && fw::bGetConfigPhase() == 0; },
                       10 * kMinute);
        ASSERT_EQ(fw::fFindDriveByEnclosureSlot(1, 1, &psDrive), fw::TRUE);
        ASSERT_EQ(fw::bGetDrivePathType(psDrive->abWWN),
                  GetParam() ? fw::DRIVE_PATH_SATA_ACTIVE_PASSIVE : fw::DRIVE_PATH_SAS);
    }
    bool SpinJobGone() {
        uint16_t wId = 0;
        return fw::fFindBackgroundProcessOfType(fw::APM_SPIN_JOB_TYPE, &wId) != fw::TRUE;
    }
    fw::DRIVE_MASK_SET Slot1() {
        fw::DRIVE_MASK_SET s;
        fw::ClearDriveSet(&s);
        fw::AddDriveToSet(&s, 1, 1);
        return s;
    }
    sim::Chassis chassis;
    sim::Board board;
    fw::DRIVE_INFO* psDrive = nullptr;
};

TEST_P(DriveSpinPathTest, ABehindAnActivePassiveMuxIsUpOnceStartedAndLeavesNoTestMark) {
    sim::Drive* d = chassis.DriveAt(1);
    const fw::DRIVE_MASK_SET s = Slot1();
    ASSERT_EQ(fw::bRequestDriveSpinDown(&s), fw::STATUS_OK);
    board.RunUntil([&] { return SpinJobGone() && d->Parked(); }, 2 * kMinute);
    ASSERT_TRUE(d->Parked());
    const uint64_t lPolls = d->CommandCount(fw::SCSI_TEST_UNIT_READY);
    ASSERT_EQ(fw::bRequestDriveSpinUp(&s, nullptr, nullptr), fw::STATUS_OK);
    board.RunUntil([&] { return SpinJobGone(); }, 2 * kMinute);
    EXPECT_EQ(fw::bGetDriveAPMState(1, 1), fw::DRIVE_APM_SPUN_UP);
    EXPECT_FALSE(d->Parked());
    if (GetParam()) {
        EXPECT_EQ(d->CommandCount(fw::SCSI_TEST_UNIT_READY), lPolls) << "asked whether it was ready";
    } else {
        EXPECT_GT(d->CommandCount(fw::SCSI_TEST_UNIT_READY), lPolls);
    }

    const uint64_t lTests = d->CommandCount(fw::SCSI_SEND_DIAGNOSTIC);
    ASSERT_EQ(fw::bStartDriveSelfTest(1, 1, 0, fw::FALSE, nullptr), fw::STATUS_OK);
    board.RunUntil([&] { return d->CommandCount(fw::SCSI_SEND_DIAGNOSTIC) > lTests; }, kMinute);
    board.RunFor(1'000'000'000ull);
    EXPECT_EQ(d->CommandCount(fw::SCSI_SEND_DIAGNOSTIC), lTests + 1);
    EXPECT_EQ(fw::fIsDriveAPMTestRunning(1, 1), GetParam() ? fw::FALSE : fw::TRUE);
}

// (A drive reached directly is asked TEST UNIT READY and keeps its mark:
// the case of every other drive spin test; false here runs it as a check.)
INSTANTIATE_TEST_SUITE_P(Paths, DriveSpinPathTest, ::testing::Values(true),
                         [](const auto&) { return "SataActivePassive"; });

}  // namespace
