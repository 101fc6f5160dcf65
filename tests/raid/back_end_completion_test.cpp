// The back-end completion: where a host command goes when its last child is
// in, callback mothers, the mothers of the background jobs, delayed re-issue,
// the long-block diagnostic, the drive write cache gate and the hot spare
// table edit.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "config/config_phase.h"
#include "config/drive_tables.h"
#include "executive/console_output.h"
#include "executive/kernel_queue.h"
#include "executive/port_codes.h"
#include "executive/tick.h"
#include "executive/timers.h"
#include "raid/child_commands.h"
#include "raid/striped_mapping.h"
#include "raid_road.h"
#include "sas/sas_scsi_path.h"
#include "sas/write_collapse.h"
#include "target/back_end_completion.h"
#include "target/host_command_codes.h"
#include "target/stage_rings.h"

namespace {

class BackEndCompletionTest : public raidtest::RaidRoadTest {
protected:
    // An internal entry on the completion ring as the drive side leaves it.
    fw::KERNEL_ENTRY* Completed(fw::KERNEL_ENTRY* psMother, uint8_t bType, uint8_t bScsiStatus = 0) {
        fw::KERNEL_ENTRY* ps = nullptr;
        EXPECT_EQ(fw::bAllocKernelEntries(0x61, 1, &ps), fw::STATUS_OK);
        fw::BuildChildCommand(psMother ? psMother : ps, ps, fw::SCSI_READ10, 0, 0, 0);
        ps->bCommandType = bType;
        fw::psSasFields(ps)->bScsiStatus = bScsiStatus;
        ps->bPrimaryState = fw::PS_COMPLETED;
        fw::IncrementTotalCommands(fw::PORT_CODE_INITIATOR);
        (void)fw::QueueKernelEntryComplete(0x61, ps->wIndex);
        return ps;
    }
    void Complete() { (void)fw::ProcessBackEndCompletion(fw::PORT_CODE_INITIATOR); }
    fw::KERNEL_ENTRY* Mother(uint8_t bState, uint16_t wChildren) {
        fw::KERNEL_ENTRY* ps = HostCommand(true, 0, 1);
        ps->bPrimaryState = bState;
        ps->wChildrenOutstanding = wChildren;
        ps->psMother = ps;
        return ps;
    }
};

TEST_F(BackEndCompletionTest, ALastChildSendsTheHostCommandToTheRingThatAnswersIt) {
    MakeRank({fw::RAID_LEVEL_0, 2, 8});
    struct Case {
        uint8_t bState;
        uint64_t lFlags;
        uint8_t bNextState;
        uint16_t (*fnRing)();
    };
    const Case cases[] = {
        {fw::HOST_STATE_WRITE_ISSUED, 0, fw::HOST_STATE_WRITE_COMPLETE, fw::wGetWriteCompleteTotal},
        {fw::HOST_STATE_WRITE_ISSUED, fw::KE_FLAG_STATUS_SENT, fw::HOST_STATE_COMPLETE, fw::wGetCommandCompleteTotal},
        {fw::HOST_STATE_WRITE_ISSUED, fw::KE_FLAG_MORE_PASSES, fw::HOST_STATE_COMPLETE, fw::wGetCommandCompleteTotal},
        {fw::HOST_STATE_READ_ISSUED, 0, fw::HOST_STATE_DATA_AVAILABLE, fw::wGetDataAvailableTotal},
        {fw::HOST_STATE_CHILDREN_WAIT, 0, fw::HOST_STATE_COMPLETE, fw::wGetCommandCompleteTotal},
    };
    for (const Case& c : cases) {
        fw::KERNEL_ENTRY* psHost = Mother(c.bState, 2);
        psHost->lFlags = c.lFlags;
        const uint16_t wBefore = c.fnRing();
        Completed(psHost, fw::CT_WRITE);
        Completed(psHost, fw::CT_WRITE);
        Complete();
        EXPECT_EQ(psHost->bPrimaryState, c.bState);
        EXPECT_EQ(psHost->wChildrenOutstanding, 1);
        Complete();
        EXPECT_EQ(psHost->bPrimaryState, c.bNextState) << int(c.bState) << " " << c.lFlags;
        EXPECT_EQ(c.fnRing(), wBefore + 1);
        if (c.lFlags == fw::KE_FLAG_STATUS_SENT) {
            // Finished without a status: code 135, the state it had kept.
            EXPECT_EQ(psHost->wChildrenOutstanding, fw::COMPLETION_CODE_NO_STATUS);
            EXPECT_EQ(psHost->wTotalChildren, fw::HOST_STATE_WRITE_ISSUED);
        }
        FreeHost(psHost);
    }
    ExpectPoolsReturned();
}

TEST_F(BackEndCompletionTest, AFailedChildMarksItsMotherAndStillCountsDown) {
    fw::KERNEL_ENTRY* psHost = Mother(fw::HOST_STATE_WRITE_ISSUED, 2);
    Completed(psHost, fw::CT_WRITE, fw::SCSI_STATUS_CHECK_CONDITION);   // no sense data
    Completed(psHost, fw::CT_WRITE);
    Complete();
    Complete();
    EXPECT_EQ(psHost->bPrimaryState, fw::HOST_STATE_WRITE_COMPLETE);
    EXPECT_TRUE(fw::HasFlag(psHost, fw::KE_FLAG_CHILD_FAILED));
    EXPECT_EQ(fw::pHostFields(psHost)->bSenseKey, fw::SENSE_ABORTED_COMMAND);
    EXPECT_EQ(fw::pHostFields(psHost)->bAsc, fw::ASC_SCSI_PARITY_ERROR);
    FreeHost(psHost);
    ExpectPoolsReturned();

    // Background job mothers: 81 moves on with its first child, 83 after
    // its last; both wait on wait list B.
    fw::KERNEL_ENTRY* psJob = Mother(81, 2);
    Completed(psJob, 0x55, fw::SCSI_STATUS_CHECK_CONDITION);
    Complete();
    EXPECT_EQ(psJob->bPrimaryState, 82);
    EXPECT_TRUE(fw::HasFlag(psJob, fw::KE_FLAG_CHILD_FAILED));
    fw::KERNEL_ENTRY* psRegion = Mother(83, 2);
    const uint16_t wWaiting = fw::wGetWaitListBCount();
    Completed(psRegion, 0x55);
    Complete();
    EXPECT_EQ(psRegion->bPrimaryState, 83);
    Completed(psRegion, 0x55);
    Complete();
    EXPECT_EQ(psRegion->bPrimaryState, 84);
    EXPECT_EQ(fw::wGetWaitListBCount(), wWaiting + 1);
}

namespace {
fw::KERNEL_ENTRY* s_psCalledWith = nullptr;
void Callback(fw::KERNEL_ENTRY* ps) { s_psCalledWith = ps; }
}  // namespace

// A drive command of its own with a completion callback is handed to it
// whole; the callback owns the entry from then on.
TEST_F(BackEndCompletionTest, ACommandOfItsOwnGoesToItsCallbackWhole) {
    fw::InitCallbackPool();
    fw::KERNEL_ENTRY* ps = Completed(nullptr, 0x55);
    ASSERT_EQ(fw::bPushCompletionCallback(ps, &Callback), fw::STATUS_OK);
    Complete();
    EXPECT_EQ(s_psCalledWith, ps);
    EXPECT_EQ(ps->fUsed, fw::TRUE);
    EXPECT_EQ(fw::wGetCommandCompleteCount(0x61), 0);
}

// A write with children and a callback hears of it once, when the last
// child is in; each child is freed as it comes.
TEST_F(BackEndCompletionTest, AWriteWithACallbackHearsWhenAllItsChildrenAreIn) {
    fw::InitCallbackPool();
    s_psCalledWith = nullptr;
    fw::KERNEL_ENTRY* psMother = Mother(fw::HOST_STATE_WRITE_ISSUED, 2);
    psMother->pCallbackTop = nullptr;
    ASSERT_EQ(fw::bPushCompletionCallback(psMother, &Callback), fw::STATUS_OK);
    fw::KERNEL_ENTRY* psFirst = Completed(psMother, fw::CT_WRITE);
    fw::KERNEL_ENTRY* psSecond = Completed(psMother, fw::CT_WRITE);
    Complete();
    EXPECT_EQ(s_psCalledWith, nullptr) << "called before its last child";
    EXPECT_NE(psFirst->fUsed, fw::TRUE);
    Complete();
    EXPECT_EQ(s_psCalledWith, psMother);
    EXPECT_NE(psSecond->fUsed, fw::TRUE);
    EXPECT_EQ(psMother->pCallbackTop, nullptr);
}

TEST_F(BackEndCompletionTest, ADelayedCommandGoesBackToItsQueueWhenDue) {
    fw::KERNEL_ENTRY* ps = nullptr;
    ASSERT_EQ(fw::bAllocKernelEntries(0x61, 1, &ps), fw::STATUS_OK);
    const uint8_t abCdb[16] = {fw::SCSI_TEST_UNIT_READY};
    fw::BuildInternalDriveCommand(ps, 0x61, TargetOfSlot(1), 0, 0, 0, 0, 0, abCdb, 3);
    fw::ScheduleDelayedReissue(0x61, 2, ps);
    EXPECT_EQ(ps->bPrimaryState, fw::CHILD_STATE_DELAYED_REISSUE);
    EXPECT_EQ(fw::wGetBackEndCompletionCount(), 1);
    fw::ReissueDelayedCommands(0x61);
    EXPECT_EQ(ps->bPrimaryState, fw::CHILD_STATE_DELAYED_REISSUE);
    EXPECT_EQ(fw::wGetNewCommandCount(0x61), 0);
    b.RunMs(2100);   // two times the delay in half-second coarse ticks
    fw::ReissueDelayedCommands(0x61);
    EXPECT_EQ(ps->bPrimaryState, fw::PS_NEW_COMMAND);
    EXPECT_EQ(fw::wGetNewCommandCount(0x61), 1);
}

TEST_F(BackEndCompletionTest, TheLongBlockDiagnosticWalksItsSteps) {
    fw::KERNEL_ENTRY* ps = Completed(nullptr, fw::CT_LONG_BLOCK_DIAGNOSTIC);
    fw::PutBe32(ps->abCdb + 2, 0x1000);
    ps->bSecondaryState = 188;
    fw::pRaidFields(ps)->wRunBlocks = 1;
    Complete();
    EXPECT_EQ(ps->bSecondaryState, 187);
    EXPECT_EQ(fw::dGetBe32(ps->abCdb + 2), 0x1001u);
    ASSERT_EQ(b.board().RunOnCpu([] {
        while (fw::fGetConsoleLogPending() == fw::TRUE) fw::DrainConsoleLog();
    }),
              sim::StopKind::Finished);
    EXPECT_NE(b.board().ConsoleText().find("Corrupt LBA is 00001001 \r\n"), std::string::npos);
    EXPECT_EQ(ps->bPrimaryState, fw::PS_NEW_COMMAND);
    fw::DequeueKernelEntry(0x61);
    ps->bPrimaryState = fw::PS_COMPLETED;
    (void)fw::QueueKernelEntryComplete(0x61, ps->wIndex);
    Complete();
    EXPECT_EQ(ps->fUsed, fw::FALSE);   // 187: done
}

TEST_F(BackEndCompletionTest, StartOfDayDriveCommandsResumeTheConfigurationPhase) {
    fw::SetConfigWriteWaitFlag(fw::TRUE);
    const uint16_t w = fw::wGetStartOfDayServiceCount();
    fw::KERNEL_ENTRY* ps = Completed(nullptr, 2);
    Complete();
    EXPECT_EQ(fw::fGetConfigWriteWaitFlag(), fw::FALSE);
    EXPECT_EQ(fw::wGetStartOfDayServiceCount(), w + 1);
    EXPECT_EQ(ps->fUsed, fw::FALSE);
}

TEST_F(BackEndCompletionTest, RemovingAHotSpareClosesTheGap) {
    fw::HOT_SPARE_TABLE* ps = fw::pGetHotSpareTable();
    std::memset(ps, 0xFF, sizeof *ps);
    ps->bCount = 3;
    const uint8_t abDrive[3] = {4, 7, 9}, abAlt[3] = {14, 17, 19};
    for (int i = 0; i < 3; ++i) {
        ps->abDrive[i] = abDrive[i];
        ps->abDriveAlt[i] = abAlt[i];
        ps->abDedicatedRank[i] = uint8_t(i);
    }
    fw::RemoveHotSpare(0x61, 255);   // no drive
    fw::RemoveHotSpare(0x10, 4);     // no such port
    fw::RemoveHotSpare(0x61, 8);     // not a spare
    EXPECT_EQ(ps->bCount, 3);
    fw::RemoveHotSpare(4, 17);       // by its path-4 id
    EXPECT_EQ(ps->bCount, 2);
    EXPECT_EQ(ps->abDrive[1], 9);
    EXPECT_EQ(ps->abDriveAlt[1], 19);
    EXPECT_EQ(ps->abDedicatedRank[1], 2);
    EXPECT_EQ(ps->abDrive[2], 0xFF);
    fw::RemoveHotSpare(0x24, 0);     // spare port 0x24: path-3 id 4
    EXPECT_EQ(ps->bCount, 1);
    EXPECT_EQ(ps->abDrive[0], 9);
}

class WriteCacheGateTest : public raidtest::RaidRoadTest {
protected:
    WriteCacheGateTest() : RaidRoadTest(true, 4) {}
    fw::KERNEL_ENTRY* Write(bool fFua) {
        fw::KERNEL_ENTRY* ps = nullptr;
        EXPECT_EQ(fw::bAllocKernelEntries(0x61, 1, &ps), fw::STATUS_OK);
        uint8_t abCdb[16] = {fw::SCSI_WRITE10, uint8_t(fFua ? 0x08 : 0), 0, 0, 0, 8, 0, 0, 1};
        fw::BuildInternalDriveCommand(ps, 0x61, TargetOfSlot(1), raidtest::kBlock, fw::CHILD_CONTROL_WRITE,
                                      static_cast<uint32_t>(fw::dBufferHandleToCpuAddress(dBuffer)), 1, 0, abCdb, 0x55);
        return ps;
    }
    void SetUp() override {
        RaidRoadTest::SetUp();
        ASSERT_EQ(fw::bAllocDataPages(0, 1, &dBuffer), fw::STATUS_OK);
        ++baselinePages;
        fw::SetSATAWriteCachePolicy(fw::TRUE);
    }
    fw::BUFFER_HANDLE dBuffer = fw::NULL_BUFFER_HANDLE;
};

TEST_F(WriteCacheGateTest, TheFirstWriteToAnIdleDriveBringsItsSynchronizeCache) {
    ASSERT_EQ(fw::fIsIwcqTarget(TargetOfSlot(1)), fw::TRUE);
    fw::KERNEL_ENTRY* psWrite = Write(false);
    EXPECT_EQ(fw::bIwcqCheckCommand(psWrite), fw::TRUE);
    const fw::IWCQ_TARGET* q = fw::psGetIwcq(TargetOfSlot(1));
    EXPECT_TRUE(q->dFlags & fw::IWCQ_SYNC_IN_FLIGHT);
    ASSERT_NE(q->wSyncEntry, fw::IWCQ_EMPTY);
    fw::KERNEL_ENTRY* psSync = nullptr;
    fw::GetKernelEntryAddress(q->wSyncEntry, &psSync);
    EXPECT_EQ(psSync->abCdb[0], fw::SCSI_SYNCHRONIZE_CACHE10);
    EXPECT_EQ(psSync->bCommandType, fw::CT_WRITE_CACHE_SYNC);
    EXPECT_EQ(psSync->wTargetId, TargetOfSlot(1));
    EXPECT_EQ(fw::wGetNewCommandCount(0x61), 1);
    // The next plain write joins while the flush is not yet out.
    fw::KERNEL_ENTRY* psSecond = Write(false);
    EXPECT_EQ(fw::bIwcqCheckCommand(psSecond), fw::TRUE);
    EXPECT_EQ(fw::wGetNewCommandCount(0x61), 1);
}

TEST_F(WriteCacheGateTest, AForcedUnitAccessWriteWaitsForTheBatchAndHoldsLaterWrites) {
    fw::KERNEL_ENTRY* psWrite = Write(false);
    ASSERT_EQ(fw::bIwcqCheckCommand(psWrite), fw::TRUE);
    fw::IwcqCommandSent(psWrite);
    fw::KERNEL_ENTRY* psFua = Write(true);
    EXPECT_EQ(fw::bIwcqCheckCommand(psFua), fw::FALSE);
    const fw::IWCQ_TARGET* q = fw::psGetIwcq(TargetOfSlot(1));
    EXPECT_TRUE(q->dFlags & fw::IWCQ_FUA_HOLD);
    EXPECT_EQ(fw::bIwcqCheckCommand(Write(false)), fw::FALSE);
    EXPECT_EQ(fw::bIwcqCheckCommand(Write(false)), fw::FALSE);
}

TEST_F(WriteCacheGateTest, GatedWritesReachTheDriveAndCompleteWithTheirFlush) {
    MakeRank({fw::RAID_LEVEL_0, 1, 8});
    fw::KERNEL_ENTRY* w = HostCommand(true, 40, 8);
    Fill(w, 3);
    Run(w, [&](fw::KERNEL_ENTRY* ps) { return fw::bMapStripedCommand(0, ps, DataAddress(ps)); });
    EXPECT_EQ(w->bPrimaryState, fw::HOST_STATE_WRITE_COMPLETE);
    EXPECT_FALSE(fw::HasFlag(w, fw::KE_FLAG_CHILD_FAILED));
    EXPECT_EQ(DriveBlocks(1, 40, 8), std::vector<uint8_t>(Data(w), Data(w) + 8 * raidtest::kBlock));
    FreeHost(w);
    RunUntil([] { return fw::psGetIwcq(0)->wEntries == 0 && fw::wGetCommandCompleteCount(0x61) == 0; });
    ExpectPoolsReturned();
}

}  // namespace
