// Host I/O quiesce on a running controller: alone, and the exchange with a
// partner through message 18 (the partner's side played by the test).
#include <gtest/gtest.h>

#include <vector>

#include "config/config_db.h"
#include "config/host_port_tables.h"
#include "config/io_quiesce.h"
#include "harness/dispatch_board.h"
#include "executive/kernel_entry.h"
#include "executive/tick.h"
#include "partner/partner_link.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/fc_fabric.h"
#include "sim/isp_chip.h"
#include "sim/sas_controller.h"
#include "harness/config_builder.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"

namespace {

// A partner reached on drive-side path 1, the link valid.
void SetPartnerOnDriveSide() {
    const uint32_t adPortAddress[2] = {0x00002010, 0x500605B0};
    fw::SetPartnerDrivePath(1, fw::TRUE, 0x20, adPortAddress);
    fw::SetDualControllerValid(fw::TRUE);
}

std::vector<uint8_t> g_abDone;
uint64_t g_lDoneMs;
void Done(uint8_t bStatus) {
    g_abDone.push_back(bStatus);
    g_lDoneMs = fw::lGetTickCount();
}

class IoQuiesceTest : public ::testing::Test {
protected:
    void SetUp() override {
        board.sasController().AttachChassis(&chassis);
        // The host ports are cabled, so that their tables are built at once
        // (a port without a link keeps its scan pending for a grace time).
        for (uint8_t bChip = 1; bChip <= 2; ++bChip) sim::FindIspChip(board, bChip)->AttachFabric(fabric);
        ASSERT_TRUE(harness::BootToMainLoop(board)) << board.ConsoleText();
        ASSERT_TRUE(builder.WaitIdle());
        board.RunUntil([] { return fw::fAnyHostPortLinkFlag() == fw::FALSE; }, 1'000'000'000ull);
        ASSERT_EQ(fw::fAnyHostPortLinkFlag(), fw::FALSE);
        g_abDone.clear();
    }
    void TearDown() override { fw::SetDualControllerValid(fw::FALSE); }

    bool RunUntilDone(uint64_t ns = 5'000'000'000ull) {
        board.RunUntil([] { return !g_abDone.empty(); }, ns);
        return !g_abDone.empty();
    }
    // A host command the dispatcher has admitted and not yet handed on.
    fw::KERNEL_ENTRY* AdmittedHostCommand() {
        fw::KERNEL_ENTRY* ps = nullptr;
        fw::wGetTargetEntry(7, &ps);
        ps->fUsed = fw::TRUE;
        ps->fValid = fw::TRUE;
        ps->bPrimaryState = fw::HOST_STATE_NEW_COMMAND;
        return ps;
    }

    sim::Chassis chassis;
    sim::FcFabric fabric;
    sim::Board board;
    cfgbuild::Builder builder{board};
};

TEST_F(IoQuiesceTest, AloneItCompletesAfterTheFirstCheckWhenNothingRuns) {
    const uint64_t lStart = fw::lGetTickCount();
    fw::StartIoQuiesce(Done);
    EXPECT_EQ(fw::bGetIoQuiesceState(), fw::QUIESCE_DRAINING);
    // A second quiesce while one runs is refused at once.
    std::vector<uint8_t> abSecond;
    static std::vector<uint8_t>* s_pab = &abSecond;
    fw::StartIoQuiesce([](uint8_t b) { s_pab->push_back(b); });
    EXPECT_EQ(abSecond, std::vector<uint8_t>{0});
    ASSERT_TRUE(RunUntilDone());
    EXPECT_EQ(g_abDone, std::vector<uint8_t>{fw::STATUS_OK});
    EXPECT_GE(g_lDoneMs - lStart, 256u);
    EXPECT_LT(g_lDoneMs - lStart, 300u);
    EXPECT_EQ(fw::bGetIoQuiesceState(), fw::QUIESCE_QUIESCED);
    fw::ResumeHostIo();
    EXPECT_EQ(fw::bGetIoQuiesceState(), fw::QUIESCE_IDLE);
}

TEST_F(IoQuiesceTest, ItWaitsForTheHostCommandsThatAreRunning) {
    fw::KERNEL_ENTRY* ps = AdmittedHostCommand();
    fw::StartIoQuiesce(Done);
    EXPECT_FALSE(RunUntilDone(1'000'000'000ull));
    const uint64_t lFinished = fw::lGetTickCount();
    ps->bPrimaryState = fw::HOST_STATE_FREE;
    ps->fUsed = fw::FALSE;
    ps->fValid = fw::FALSE;
    ASSERT_TRUE(RunUntilDone());
    EXPECT_EQ(g_abDone, std::vector<uint8_t>{fw::STATUS_OK});
    // Looked at again every 100 ms.
    EXPECT_LE(g_lDoneMs - lFinished, 101u);
}

TEST_F(IoQuiesceTest, WithAPartnerBothSidesDrainBeforeTheStarterGoesOn) {
    SetPartnerOnDriveSide();
    fw::StartIoQuiesce(Done);
    // The request is on its way: nothing drains before the partner accepts.
    EXPECT_EQ(fw::bGetIoQuiesceState(), fw::QUIESCE_IDLE);
    fw::QuiesceMessageSent(fw::QUIESCE_REQUEST, fw::FALSE, 0);
    EXPECT_EQ(fw::bGetIoQuiesceState(), fw::QUIESCE_DRAINING);
    EXPECT_FALSE(RunUntilDone(1'000'000'000ull));
    fw::SetPartnerQuiescedFlag();
    ASSERT_TRUE(RunUntilDone(100'000'000ull));
    EXPECT_EQ(g_abDone, std::vector<uint8_t>{fw::STATUS_OK});
    EXPECT_EQ(fw::bGetIoQuiesceState(), fw::QUIESCE_QUIESCED);
}

TEST_F(IoQuiesceTest, APartnerThatRefusesEndsTheQuiesceWithAFailure) {
    SetPartnerOnDriveSide();
    fw::StartIoQuiesce(Done);
    fw::QuiesceMessageSent(fw::QUIESCE_REQUEST, fw::TRUE, 5);
    EXPECT_EQ(g_abDone, std::vector<uint8_t>{0});
    EXPECT_EQ(fw::bGetIoQuiesceState(), fw::QUIESCE_IDLE);
}

TEST_F(IoQuiesceTest, ThePartnersRequestDrainsHereUntilItSaysResume) {
    SetPartnerOnDriveSide();
    fw::SetConfigCommitInProgress(fw::TRUE);
    EXPECT_EQ(fw::HandlePartnerQuiesceRequest(), 0);
    fw::SetConfigCommitInProgress(fw::FALSE);
    EXPECT_EQ(fw::HandlePartnerQuiesceRequest(), fw::STATUS_OK);
    board.RunFor(400'000'000ull);
    // Drained and reported: new host commands still wait for the resume.
    EXPECT_EQ(fw::bGetIoQuiesceState(), fw::QUIESCE_DRAINING);
    fw::QuiesceMessageSent(fw::QUIESCE_DONE, fw::FALSE, 0);
    board.RunFor(300'000'000ull);
    EXPECT_EQ(fw::bGetIoQuiesceState(), fw::QUIESCE_DRAINING);
    fw::SetPartnerResumedFlag();
    board.RunUntil([] { return fw::bGetIoQuiesceState() == fw::QUIESCE_IDLE; }, 1'000'000'000ull);
    EXPECT_EQ(fw::bGetIoQuiesceState(), fw::QUIESCE_IDLE);
}

}  // namespace
