// The configuration phase machine: the two dispatchers and their counters,
// the host chip restart, phase 12's wait for a drive; and the state flags
// and busy gates of the configuration database.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "config/config_db.h"
#include "config/config_image.h"
#include "config/config_state.h"
#include "config/nvram_layout.h"
#include "harness/config_test.h"
#include "executive/interrupt_controller.h"
#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "executive/tick.h"
#include "executive/timers.h"
#include "executive/work_flags.h"
#include "hw/scsi.h"
#include "sas/sas_scsi_path.h"
#include "target/back_end_completion.h"
#include "target/target_engine.h"

namespace {

using fw::FALSE;
using fw::KERNEL_ENTRY;
using fw::TRUE;

class ConfigPhaseTest : public harness::ConfigTest {
protected:
    void SetUp() override {
        ConfigTest::SetUp();
        fw::InitKernelEntryPool();
        fw::InitCallbackPool();
        fw::InitTimerList();
        fw::ResetConfigStartFlags();
        while (fw::wGetConfigurationServiceCount() != 0) fw::ClearConfigurationService();
        while (fw::wGetStartOfDayServiceCount() != 0) fw::ClearStartOfDayService();
        s_abStatus.clear();
    }

    static void StartPhase(uint8_t bPhase, uint8_t bStep = 0, uint8_t bRequester = 0) {
        fw::SetConfigPhase(bPhase);
        fw::SetConfigPhaseStep(bStep);
        fw::SetConfigRequester(bRequester);
    }

    // The phase 12 wait on target 5 of the SAS back end, window in coarse ticks.
    static void StartDriveWait(uint8_t bWindow, uint8_t bRequester = fw::REQUESTER_SNAPSHOT) {
        StartPhase(fw::CONFIG_PHASE_WAIT_DRIVE_READY, 0, bRequester);
        fw::SetPhaseParam1(fw::PORT_CODE_INITIATOR);
        fw::SetPhaseParam2(5);
        fw::SetPhaseTimeWindow(fw::dGetCoarseTick());
        fw::SetMenuSelection(bWindow);
        fw::SetConfigCompletionCallback(Record);
        if (bRequester == fw::REQUESTER_SNAPSHOT) fw::SetConfigEditLock(TRUE);
    }

    // The command at the head of the new-command ring, as the drive side
    // would take it.
    static KERNEL_ENTRY* QueuedCommand() {
        KERNEL_ENTRY* ps = nullptr;
        if (fw::bPeekKernelEntry(fw::PORT_CODE_INITIATOR, &ps) != fw::STATUS_FOUND) return nullptr;
        return ps;
    }

    // The drive side answers the queued command and the main loop's
    // completion service runs.
    static void Answer(uint8_t bStatus, uint8_t bKey = 0, uint8_t bAsc = 0, uint8_t bAscq = 0) {
        KERNEL_ENTRY* ps = QueuedCommand();
        ASSERT_NE(ps, nullptr);
        fw::DequeueKernelEntry(fw::PORT_CODE_INITIATOR);
        fw::SAS_ENTRY_FIELDS* psF = fw::psSasFields(ps);
        psF->bScsiStatus = bStatus;
        psF->bSenseKey = bKey;
        psF->bAsc = bAsc;
        psF->bAscq = bAscq;
        fw::CompleteSASEntry(ps);
        (void)fw::ProcessBackEndCompletion(fw::PORT_CODE_INITIATOR);
    }

    // Runs the start-of-day dispatcher while it has runs pending.
    static void RunBackground() {
        for (int i = 0; i < 20 && fw::wGetStartOfDayServiceCount() != 0; ++i) (void)fw::RunConfigPhaseBackground();
    }

    static void AdvanceMs(uint32_t dMs) {
        for (uint32_t d = 0; d < dMs; d++) fw::SystemTickHandler();
        fw::RunExpiredTimers();
    }

    static void Record(uint8_t bStatus) { s_abStatus.push_back(bStatus); }
    static inline std::vector<uint8_t> s_abStatus;
};

TEST_F(ConfigPhaseTest, EachRunConsumesOneRequestOfItsOwnCounter) {
    // Idle, unknown and unassigned phases only use the run up.
    for (uint8_t bPhase : {0, 3, 4, 5, 14, 16, 200}) {
        StartPhase(bPhase);
        fw::RequestConfigurationService();
        fw::RequestStartOfDayService();
        EXPECT_EQ(fw::RunConfigPhase(), fw::STATUS_OK) << int(bPhase);
        EXPECT_EQ(fw::RunConfigPhaseBackground(), fw::STATUS_OK) << int(bPhase);
        EXPECT_EQ(fw::wGetConfigurationServiceCount(), 0) << int(bPhase);
        EXPECT_EQ(fw::wGetStartOfDayServiceCount(), 0) << int(bPhase);
        EXPECT_EQ(fw::bGetConfigPhase(), bPhase);
    }
    // Called with nothing pending, the counters stay at 0.
    (void)fw::RunConfigPhase();
    (void)fw::RunConfigPhaseBackground();
    EXPECT_EQ(fw::wGetConfigurationServiceCount(), 0);
    EXPECT_EQ(fw::wGetStartOfDayServiceCount(), 0);
}

TEST_F(ConfigPhaseTest, ARunAgainFromEitherDispatcherAsksCounterA) {
    // Phase 12 step 0 with the internal pool exhausted asks to run again.
    KERNEL_ENTRY* ps = nullptr;
    while (fw::bAllocKernelEntries(0, 1, &ps) == fw::STATUS_OK) {
    }
    StartDriveWait(4);
    fw::RequestStartOfDayService();
    EXPECT_EQ(fw::RunConfigPhaseBackground(), fw::PHASE_RUN_AGAIN);
    EXPECT_EQ(fw::wGetStartOfDayServiceCount(), 0);
    EXPECT_EQ(fw::wGetConfigurationServiceCount(), 1);
    EXPECT_EQ(fw::RunConfigPhase(), fw::PHASE_RUN_AGAIN);
    EXPECT_EQ(fw::wGetConfigurationServiceCount(), 1);
    EXPECT_EQ(fw::bGetConfigPhaseStep(), 0);
}

TEST_F(ConfigPhaseTest, HostChipRestartRunsOnlyFromCounterAAndReleasesTheLock) {
    StartPhase(fw::CONFIG_PHASE_HOST_CHIP_RESTART);
    fw::RequestStartOfDayService();
    (void)fw::RunConfigPhaseBackground();
    EXPECT_EQ(fw::bGetConfigPhase(), fw::CONFIG_PHASE_HOST_CHIP_RESTART);

    fw::RequestConfigurationService();
    EXPECT_EQ(fw::RunConfigPhase(), fw::STATUS_OK);
    EXPECT_EQ(fw::bGetConfigPhase(), fw::CONFIG_PHASE_IDLE);
    EXPECT_EQ(fw::bGetConfigPhaseStep(), fw::CONFIG_STEP_NONE);
    // The host ports would stay dead with the lock still held.
    EXPECT_EQ(fw::bGetSource0LockByte(), '1');

    // A restart issued while someone else holds the lock leaves it with them.
    ASSERT_EQ(fw::LockInterruptSource(0), fw::STATUS_OK);
    StartPhase(fw::CONFIG_PHASE_HOST_CHIP_RESTART);
    fw::RequestConfigurationService();
    (void)fw::RunConfigPhase();
    EXPECT_EQ(fw::bGetSource0LockByte(), '0');
    fw::UnlockInterruptSource(0);
}

TEST_F(ConfigPhaseTest, DriveLoopBringUpIsAPhaseOfCounterAOnly) {
    StartPhase(fw::CONFIG_PHASE_DRIVE_LOOPS, 7);
    fw::RequestStartOfDayService();
    (void)fw::RunConfigPhaseBackground();
    EXPECT_EQ(fw::bGetConfigPhase(), fw::CONFIG_PHASE_DRIVE_LOOPS);
    fw::RequestConfigurationService();
    (void)fw::RunConfigPhase();
    EXPECT_EQ(fw::bGetConfigPhase(), fw::CONFIG_PHASE_IDLE);
    EXPECT_EQ(fw::bGetConfigPhaseStep(), fw::CONFIG_STEP_NONE);
}

TEST_F(ConfigPhaseTest, DrivePhaseStepMovesOnlyAfterACompletion) {
    fw::SetConfigPhaseStep(3);
    EXPECT_EQ(fw::fStartDrivePhaseStep(9), FALSE);
    EXPECT_EQ(fw::bGetConfigPhaseStep(), 3);
    EXPECT_EQ(fw::wGetStartOfDayServiceCount(), 0);
    fw::SetDriveCommandPendingFlag(TRUE);
    EXPECT_EQ(fw::fStartDrivePhaseStep(9), TRUE);
    EXPECT_EQ(fw::bGetConfigPhaseStep(), 9);
    EXPECT_EQ(fw::fGetDriveCommandPendingFlag(), FALSE);
    EXPECT_EQ(fw::wGetStartOfDayServiceCount(), 1);
}

TEST_F(ConfigPhaseTest, WaitDriveReadySendsTestUnitReadyAndEndsWhenTheDriveAnswers) {
    StartDriveWait(10);
    fw::RequestStartOfDayService();
    RunBackground();
    KERNEL_ENTRY* ps = QueuedCommand();
    ASSERT_NE(ps, nullptr);
    EXPECT_EQ(ps->abCdb[0], 0x00);
    EXPECT_EQ(ps->wTargetId, 5);
    EXPECT_EQ(ps->bPortCode, fw::PORT_CODE_INITIATOR);
    EXPECT_EQ(ps->bCommandType, fw::DRIVE_COMMAND_TYPE_TEST_UNIT_READY);
    EXPECT_EQ(ps->wControlFlags, fw::DRIVE_COMMAND_NO_DATA);
    EXPECT_EQ(fw::fGetConfigWriteWaitFlag(), TRUE);
    EXPECT_EQ(fw::bGetConfigPhaseStep(), 1);

    Answer(0);
    // Still waiting, for the background pass's gates, until the requester
    // has heard.
    EXPECT_EQ(fw::fGetConfigWriteWaitFlag(), TRUE);
    RunBackground();
    EXPECT_EQ(fw::bGetConfigPhase(), fw::CONFIG_PHASE_IDLE);
    EXPECT_EQ(fw::fGetConfigWriteWaitFlag(), FALSE);
    EXPECT_EQ(s_abStatus, std::vector<uint8_t>{fw::STATUS_OK});
    // The completion ran once and released the snapshot code's edit lock.
    EXPECT_EQ(fw::fGetConfigEditLock(), FALSE);
    fw::CompleteConfigRequest(1);
    EXPECT_EQ(s_abStatus.size(), 1u);
    EXPECT_EQ(QueuedCommand(), nullptr);
    EXPECT_EQ(fw::psGetInitiatorKernelQueue()->wCommandComplete, 0);
}

TEST_F(ConfigPhaseTest, WaitDriveReadyAsksADriveSpinningUpAgainEveryTwoSeconds) {
    StartDriveWait(200);
    fw::RequestStartOfDayService();
    RunBackground();
    Answer(fw::SCSI_STATUS_CHECK_CONDITION, fw::SENSE_NOT_READY, fw::ASC_NOT_READY, 0x01);
    // Nothing is sent again before the two seconds are up.
    AdvanceMs(1999);
    EXPECT_EQ(QueuedCommand(), nullptr);
    EXPECT_EQ(fw::fGetConfigWriteWaitFlag(), TRUE);
    AdvanceMs(1);
    KERNEL_ENTRY* ps = QueuedCommand();
    ASSERT_NE(ps, nullptr);
    EXPECT_EQ(ps->abCdb[0], 0x00);
    Answer(0);
    RunBackground();
    EXPECT_EQ(fw::bGetConfigPhase(), fw::CONFIG_PHASE_IDLE);
    EXPECT_EQ(s_abStatus, std::vector<uint8_t>{fw::STATUS_OK});
}

TEST_F(ConfigPhaseTest, WaitDriveReadyWithAClosedWindowEndsAfterOneCommand) {
    StartDriveWait(0, fw::REQUESTER_MANAGEMENT);
    fw::RequestStartOfDayService();
    RunBackground();
    Answer(fw::SCSI_STATUS_CHECK_CONDITION, fw::SENSE_HARDWARE_ERROR, 0x44, 0);
    RunBackground();
    EXPECT_EQ(fw::bGetConfigPhase(), fw::CONFIG_PHASE_IDLE);
    EXPECT_EQ(QueuedCommand(), nullptr);
    // The snapshot code's completion is not the management command's.
    EXPECT_TRUE(s_abStatus.empty());
}

// Whatever the drive answers (bar a drive still becoming ready), the wait
// ends with it: one command, not one after another for as long as the
// window is open.
TEST_F(ConfigPhaseTest, WaitDriveReadyEndsAtTheDrivesFirstAnswerWhateverItSays) {
    struct Answered {
        const char* pszName;
        uint8_t bStatus, bKey, bAsc;
    };
    const Answered aCases[] = {
        {"good", 0, 0, 0},
        {"hardware error", fw::SCSI_STATUS_CHECK_CONDITION, fw::SENSE_HARDWARE_ERROR, 0x44},
        {"medium not present", fw::SCSI_STATUS_CHECK_CONDITION, fw::SENSE_NOT_READY, 0x3A},
        {"busy", fw::SCSI_STATUS_BUSY, 0, 0},
    };
    for (const Answered& c : aCases) {
        SCOPED_TRACE(c.pszName);
        s_abStatus.clear();
        StartDriveWait(200);
        fw::RequestStartOfDayService();
        RunBackground();
        Answer(c.bStatus, c.bKey, c.bAsc, 0);
        RunBackground();
        EXPECT_EQ(QueuedCommand(), nullptr);
        EXPECT_EQ(fw::bGetConfigPhase(), fw::CONFIG_PHASE_IDLE);
        EXPECT_EQ(fw::fGetConfigWriteWaitFlag(), FALSE);
        EXPECT_EQ(s_abStatus, std::vector<uint8_t>{fw::STATUS_OK});
    }
}

// A run of step 1 before the drive has answered asks again while the
// window is open, and ends the wait once it has closed.
TEST_F(ConfigPhaseTest, WaitDriveReadyAsksAgainOnlyWhileTheWindowIsOpen) {
    StartDriveWait(4);
    fw::RequestStartOfDayService();
    RunBackground();
    ASSERT_NE(QueuedCommand(), nullptr);
    fw::RequestStartOfDayService();
    RunBackground();
    EXPECT_EQ(fw::bGetConfigPhaseStep(), 1);
    EXPECT_EQ(fw::psGetInitiatorKernelQueue()->wNewCommands, 2);
    // The window closes (four half seconds).
    AdvanceMs(2000);
    fw::RequestStartOfDayService();
    RunBackground();
    EXPECT_EQ(fw::bGetConfigPhase(), fw::CONFIG_PHASE_IDLE);
    EXPECT_EQ(s_abStatus, std::vector<uint8_t>{fw::STATUS_OK});
    // The answers that come after the end change nothing.
    Answer(0);
    Answer(0);
    EXPECT_EQ(fw::fGetConfigWriteWaitFlag(), FALSE);
    EXPECT_EQ(s_abStatus.size(), 1u);
}

TEST_F(ConfigPhaseTest, ConfigValidMeansExactlyTrue) {
    for (uint8_t b : {0x00, 0x01, 0xF0, 0xF2, 0xFF}) {
        fw::SetConfigValid(b);
        EXPECT_EQ(fw::fIsConfigValid(), FALSE) << int(b);
    }
    fw::SetConfigValid(TRUE);
    EXPECT_EQ(fw::fIsConfigValid(), TRUE);
}

TEST_F(ConfigPhaseTest, SettersThatRequestWorkRaiseWorkPending) {
    for (auto pfnSet : {fw::SetConfigUpdatePending, fw::SetDriveFwDownloadActive}) {
        fw::SetWorkPending(FALSE);
        pfnSet(FALSE);
        EXPECT_EQ(fw::fGetWorkPending(), FALSE);
        pfnSet(TRUE);
        EXPECT_EQ(fw::fGetWorkPending(), TRUE);
    }
}

TEST_F(ConfigPhaseTest, ConfigIndexTellsEditorsOfChangesMadeElsewhere) {
    EXPECT_EQ(fw::dGetConfigIndex(), 1u);
    fw::RecordConfigIndex(fw::REQUESTER_CONSOLE);
    fw::RecordConfigIndex(fw::REQUESTER_MANAGEMENT);
    EXPECT_EQ(fw::fConfigIndexMatches(fw::REQUESTER_MANAGEMENT), TRUE);
    EXPECT_EQ(fw::fConfigIndexMatches(fw::REQUESTER_CONSOLE), FALSE);
    (void)fw::IncrementConfigIndex();
    EXPECT_EQ(fw::fConfigIndexMatches(fw::REQUESTER_MANAGEMENT), FALSE);
    // Only the menus and the management protocol ask.
    fw::RecordConfigIndex(fw::REQUESTER_SNAPSHOT);
    EXPECT_EQ(fw::fConfigIndexMatches(fw::REQUESTER_SNAPSHOT), FALSE);
    fw::RecordConfigIndex(fw::REQUESTER_SPARE_ASSIGN);
    fw::RecordConfigIndex(9);   // no slot: only counted
    board.ClearConsoleText();
    fw::PrintConfigIndex();
    EXPECT_EQ(board.ConsoleText(), "\r\nConfiguration Index:00000007 00000003 00000002 00000005 00000006 \r\n\r\n");
}

TEST_F(ConfigPhaseTest, CompletionCallbackRunsOnceAndReleasesTheEditLock) {
    fw::SetConfigEditLock(TRUE);
    fw::SetConfigCompletionCallback(Record);
    fw::CompleteConfigRequest(0x20);
    fw::CompleteConfigRequest(0x21);
    EXPECT_EQ(s_abStatus, std::vector<uint8_t>{0x20});
    EXPECT_EQ(fw::fGetConfigEditLock(), FALSE);
}

TEST_F(ConfigPhaseTest, PartnerConfigChangeCountsAsAChangeMadeElsewhere) {
    fw::RecordConfigIndex(fw::REQUESTER_CONSOLE);
    fw::HandlePartnerConfigChangedMessage(TRUE, 0, FALSE, 255, FALSE, 255);
    EXPECT_EQ(fw::fConfigIndexMatches(fw::REQUESTER_CONSOLE), FALSE);
}

TEST_F(ConfigPhaseTest, StartOfDayValues) {
    fw::SetConfigUpdatePending(TRUE);
    fw::SetPendingRebuildRequest(3);
    fw::SetConfigPhase(7);
    fw::SetConfigWriteWaitFlag(TRUE);
    (void)fw::IncrementConfigIndex();
    fw::ResetConfigStartFlags();
    EXPECT_EQ(fw::fIsConfigUpdatePending(), FALSE);
    EXPECT_EQ(fw::bGetPendingRebuildRank(), 255);
    EXPECT_EQ(fw::bGetPendingParityCheckRank(), 255);
    EXPECT_EQ(fw::pGetPendingStripeInitParams()[63], 0xFF);
    EXPECT_EQ(fw::bGetConfigPhase(), 0);
    EXPECT_EQ(fw::bGetConfigPhaseStep(), 255);
    EXPECT_EQ(fw::fGetConfigWriteWaitFlag(), FALSE);
    EXPECT_EQ(fw::dGetConfigIndex(), 1u);
}

}  // namespace
