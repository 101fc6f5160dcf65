// The configuration phase machine on a running controller: phase 12 sends
// TEST UNIT READY through the drive side and ends when the drive answers.
#include <gtest/gtest.h>

#include <vector>

#include "config/config_db.h"
#include "config/config_state.h"
#include "executive/dispatch_test_board.h"
#include "executive/kernel_queue.h"
#include "executive/types.h"
#include "sas/sas_device_list.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/sas_controller.h"

namespace {

std::vector<uint8_t> g_abDone;
void Done(uint8_t bStatus) { g_abDone.push_back(bStatus); }

TEST(ConfigPhaseSystemTest, WaitForADriveEndsWhenItAnswers) {
    sim::Chassis chassis;
    sim::Board board;
    board.sasController().AttachChassis(&chassis);
    ASSERT_TRUE(dispatchtest::BootToMainLoop(board)) << board.ConsoleText();
    ASSERT_GT(fw::pGetSASDriveInfoList()->bEntryCount, 0);
    g_abDone.clear();
    fw::SetConfigPhase(fw::CONFIG_PHASE_WAIT_DRIVE_READY);
    fw::SetConfigPhaseStep(0);
    fw::SetConfigRequester(fw::REQUESTER_SNAPSHOT);
    fw::SetConfigCompletionCallback(Done);
    fw::SetPhaseParam1(fw::PORT_CODE_INITIATOR);
    fw::SetPhaseParam2(fw::pGetSASDriveInfoList()->asEntry[0].bTargetId);
    fw::SetPhaseTimeWindow(0);
    fw::SetMenuSelection(0);
    fw::RequestConfigurationService();
    board.RunUntil([] { return fw::bGetConfigPhase() == fw::CONFIG_PHASE_IDLE; }, 10'000'000'000ull);
    EXPECT_EQ(fw::bGetConfigPhase(), fw::CONFIG_PHASE_IDLE);
    EXPECT_EQ(g_abDone, std::vector<uint8_t>{fw::STATUS_OK});
    EXPECT_EQ(fw::fGetConfigWriteWaitFlag(), fw::FALSE);
    EXPECT_EQ(fw::psGetInitiatorKernelQueue()->wCommandComplete, 0);
}

}  // namespace
