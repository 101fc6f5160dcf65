// The configuration phase machine on a running controller: phase 12 sends
// TEST UNIT READY through the drive side and ends when the drive answers.
#include <gtest/gtest.h>

#include <vector>

#include "config/config_commit.h"
#include "config/config_db.h"
#include "config/config_flags.h"
#include "config/config_state.h"
#include "config/drive_tables.h"
#include "config/drive_walk.h"
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
    static uint8_t TargetOf(unsigned uSlot) {
        const fw::SAS_DEVICE_LIST* ps = fw::pGetSASDriveInfoList();
        for (uint8_t i = 0; i < ps->bEntryCount; ++i)
            if (ps->asEntry[i].bSlot == uSlot) return ps->asEntry[i].bTargetId;
        return 0xFF;
    }
    // Phase 12 on the drive of a slot, for the snapshot code; bWalk names
    // the drive as the drive walk does (an array, the spares or the free
    // drives).
    void WaitFor(unsigned uSlot, uint8_t bWindow, uint8_t bWalk = 0) {
        const uint8_t bTarget = TargetOf(uSlot);
        ASSERT_NE(bTarget, 0xFF);
        fw::SetPhaseParam3(bWalk);
        fw::SetPhaseParam4(0);
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

// A drive that answers HARDWARE ERROR is asked three times: the answer
// ends the wait, open window or not.
TEST_F(ConfigPhaseSystemTest, WaitForADriveThatFailsEndsAtItsAnswer) {
    sim::Drive& d = *chassis.DriveAt(3);
    d.FailCommand(0x00, 1000000);
    const uint64_t lTurs = d.CommandCount(0x00);
    WaitFor(3, 4);
    ExpectEnded();
    EXPECT_EQ(d.CommandCount(0x00), lTurs + 3);
}

bool IsFreeDrive(uint8_t bTarget) {
    const fw::DRIVE_SLOT_TABLES* ps = fw::pGetDriveSlotTables();
    for (uint8_t i = 0; i < ps->bCount; ++i)
        if (ps->abDrive[i] == bTarget) return true;
    return false;
}

// The controller's own commands to a free drive: a drive answering BUSY
// for a while is waited out and stays free; one that keeps failing them is
// offered no more, and the phase that asked hears of the failure and ends.
TEST_F(ConfigPhaseSystemTest, AFreeDriveThatKeepsFailingTheControllersCommandsIsOfferedNoMore) {
    const uint8_t bBusy = TargetOf(3), bFailing = TargetOf(4);
    ASSERT_TRUE(IsFreeDrive(bBusy) && IsFreeDrive(bFailing));
    // How many times the phase's TEST UNIT READY went to the drive.
    const auto Sent = [&](unsigned uSlot) {
        const uint64_t lBefore = chassis.DriveAt(uSlot)->CommandCount(0x00);
        g_abDone.clear();
        WaitFor(uSlot, 0, fw::WALK_SLOTS);
        ExpectEnded();
        return chassis.DriveAt(uSlot)->CommandCount(0x00) - lBefore;
    };
    chassis.DriveAt(3)->AnswerBusy(0x00, 40);
    EXPECT_EQ(Sent(3), 41u);
    EXPECT_TRUE(IsFreeDrive(bBusy));
    chassis.DriveAt(4)->FailCommand(0x00, 1000000);
    EXPECT_EQ(Sent(4), 3u);
    EXPECT_FALSE(IsFreeDrive(bFailing));
    EXPECT_TRUE(IsFreeDrive(bBusy));
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
