// The configuration phase machine on a running controller: phase 12 sends
// TEST UNIT READY through the drive side and ends when the drive answers.
#include <gtest/gtest.h>

#include <vector>

#include "config/config_commit.h"
#include "config/config_db.h"
#include "config/config_flags.h"
#include "config/config_state.h"
#include "harness/dispatch_board.h"
#include "enclosure/drive_table.h"
#include "executive/kernel_queue.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "sas/sas_device_list.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/sas_controller.h"

namespace {

std::vector<uint8_t> g_abDone;
void Done(uint8_t bStatus) { g_abDone.push_back(bStatus); }

class ConfigPhaseSystemTest : public ::testing::Test {
protected:
    static constexpr uint64_t kSpinUpNs = 7'000'000'000ull;
    ConfigPhaseSystemTest() {
        // The drive in slot 2 takes seven seconds to spin up.
        sim::DriveConfig d = sim::Chassis::DefaultDriveConfig(2, sim::ChassisOptions());
        d.spinUpNs = kSpinUpNs;
        chassis.Pull(2);
        chassis.Insert(2, d);
    }
    void SetUp() override {
        board.sasController().AttachChassis(&chassis);
        ASSERT_TRUE(harness::BootToMainLoop(board)) << board.ConsoleText();
        // The start-of-day drive table rebuild is a phase too: let it end.
        board.RunUntil([] { return fw::dGetDriveTableChangeCount() != 0 && fw::bGetConfigPhase() == 0; },
                       600'000'000'000ull);
        g_abDone.clear();
    }
    // Phase 12 on the drive of a slot, for the snapshot code.
    void WaitFor(unsigned uSlot, uint8_t bWindow) {
        const fw::SAS_DEVICE_LIST* ps = fw::pGetSASDriveInfoList();
        uint8_t bTarget = 0xFF;
        for (uint8_t i = 0; i < ps->bEntryCount; ++i)
            if (ps->asEntry[i].bSlot == uSlot) bTarget = ps->asEntry[i].bTargetId;
        ASSERT_NE(bTarget, 0xFF);
        fw::SetConfigPhase(fw::CONFIG_PHASE_WAIT_DRIVE_READY);
        fw::SetConfigPhaseStep(0);
        fw::SetConfigRequester(fw::REQUESTER_SNAPSHOT);
        fw::SetConfigCompletionCallback(Done);
        fw::SetPhaseParam1(fw::PORT_CODE_INITIATOR);
        fw::SetPhaseParam2(bTarget);
        fw::SetPhaseTimeWindow(fw::dGetCoarseTick());
        fw::SetMenuSelection(bWindow);
        fw::RequestConfigurationService();
        board.RunUntil([] { return fw::bGetConfigPhase() == fw::CONFIG_PHASE_IDLE; }, 600'000'000'000ull);
    }
    void ExpectEnded() {
        EXPECT_EQ(fw::bGetConfigPhase(), fw::CONFIG_PHASE_IDLE);
        EXPECT_EQ(g_abDone, std::vector<uint8_t>{fw::STATUS_OK});
        EXPECT_EQ(fw::fGetConfigWriteWaitFlag(), fw::FALSE);
        EXPECT_EQ(fw::psGetInitiatorKernelQueue()->wCommandComplete, 0);
    }
    sim::Chassis chassis;
    sim::Board board;
};

TEST_F(ConfigPhaseSystemTest, WaitForADriveEndsWhenItAnswers) {
    const uint64_t lTurs = chassis.DriveAt(1)->CommandCount(0x00);
    WaitFor(1, 0);
    ExpectEnded();
    EXPECT_EQ(chassis.DriveAt(1)->CommandCount(0x00), lTurs + 1);
}

TEST_F(ConfigPhaseSystemTest, WaitForADriveSpinningUpEndsOnceItIsReady) {
    // Stopped and started again: it takes its spin-up time.
    sim::Drive& d = *chassis.DriveAt(2);
    const std::vector<uint8_t> abStop{0x1B, 1, 0, 0, 0, 0}, abStart{0x1B, 1, 0, 0, 1, 0};
    ASSERT_EQ(d.Execute(abStop, {}, {}).status, 0);
    ASSERT_EQ(d.Execute(abStart, {}, {}).status, 0);
    const uint64_t lStart = board.clock().Now();
    const uint64_t lTurs = d.CommandCount(0x00);
    WaitFor(2, 40);
    ExpectEnded();
    // Asked every two seconds until it was ready, and not much longer.
    EXPECT_GE(board.clock().Now() - lStart, kSpinUpNs);
    EXPECT_LT(board.clock().Now() - lStart, kSpinUpNs + 3'000'000'000ull);
    EXPECT_EQ(d.CommandCount(0x00), lTurs + 5);
}

TEST_F(ConfigPhaseSystemTest, WaitForADriveThatStaysNotReadyEndsWithItsWindow) {
    chassis.DriveAt(3)->SetNotReady(true);
    const uint64_t lStart = board.clock().Now();
    WaitFor(3, 0);
    ExpectEnded();
    // Asked again every two seconds while its retries lasted.
    EXPECT_GT(chassis.DriveAt(3)->CommandCount(0x00), 80u);
    EXPECT_GE(board.clock().Now() - lStart, 170'000'000'000ull);
}

// A drive that answers HARDWARE ERROR is asked once: the answer ends the
// wait, open window or not.
TEST_F(ConfigPhaseSystemTest, WaitForADriveThatFailsEndsAtItsAnswer) {
    sim::Drive& d = *chassis.DriveAt(3);
    d.FailCommand(0x00, 1000000);
    const uint64_t lTurs = d.CommandCount(0x00);
    WaitFor(3, 4);
    ExpectEnded();
    EXPECT_EQ(d.CommandCount(0x00), lTurs + 1);
}

// A commit asked for while the phase waits for its drive waits in turn: the
// phase completes its requester, then the commit runs.
TEST_F(ConfigPhaseSystemTest, ACommitAskedForDuringTheWaitRunsAfterTheWaitEnded) {
    const uint16_t wCommits = fw::wGetConfigCommitCount();
    (void)fw::RequestConfigUpdate(fw::REQUESTER_COMMIT);
    WaitFor(1, 0);
    board.RunUntil([] { return fw::fIsConfigUpdatePending() != fw::TRUE && fw::fIsConfigCommitInProgress() != fw::TRUE; },
                   600'000'000'000ull);
    ExpectEnded();
    EXPECT_EQ(fw::wGetConfigCommitCount(), wCommits + 1);
}

}  // namespace
