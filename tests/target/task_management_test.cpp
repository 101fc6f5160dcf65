// Task management and the end of commands: aborted commands never answer,
// resets set unit attentions through the host-port event service, ABTS is
// accepted or rejected, commands wait for their children, and the
// write-complete service answers with GOOD or the saved sense.
#include <cstring>

#include "hw/fc_target_iocb.h"
#include "target/command_access.h"
#include "target/task_management.h"
#include "host_board.h"

namespace target_test {
namespace {

using namespace fw;

class TaskManagementTest : public HostBoard {
protected:
    void SetUp() override {
        HostBoard::SetUp();
        MakeDrives({100000, 100000});
        ClearAttentions();
    }
    uint16_t SendTmf(uint8_t bFlags, uint16_t wLun) {
        HostCommand s;
        s.dPortId = INITIATOR;
        s.wLun = wLun;
        s.abCdb = std::vector<uint8_t>(16, 0);
        s.bTaskManagement = bFlags;
        return host.Send(s);
    }
    static bool OnlyStatusIs(const HostReply& r, uint8_t bStatus) { return r.fStatus && r.bStatus == bStatus; }
    // The status of the one notify acknowledge the chip was given since the
    // last call (0xFFFF: none, or more than one).
    uint16_t AcknowledgeStatus() {
        host.Serve();
        uint16_t wStatus = 0xFFFF;
        unsigned nAcks = 0;
        for (const std::vector<uint8_t>& ab : host.aabOther) {
            if (ab[0] != NOTIFY_ACK_ENTRY_TYPE) continue;
            IMMEDIATE_NOTIFY24_ENTRY s;
            std::memcpy(&s, ab.data(), sizeof(s));
            wStatus = s.wStatus;
            ++nAcks;
        }
        host.aabOther.clear();
        return nAcks == 1 ? wStatus : 0xFFFF;
    }
};

TEST_F(TaskManagementTest, AbortedTaskSetNeverAnswersAgain) {
    const uint16_t wRead = Send(0, Cdb10(SCSI_READ10, 0, 8), 4096);
    const uint16_t wOtherLun = Send(1, Cdb10(SCSI_READ10, 0, 8), 4096);
    Dispatch();
    ASSERT_EQ(Entry(wRead)->bPrimaryState, HOST_STATE_LUN_QUEUED);
    const uint16_t wTmf = SendTmf(TMF_ABORT_TASK_SET, 0);
    EXPECT_EQ(wGetHostCommandPoolCount(PORT), 1);
    HostCommandService(PORT);
    EXPECT_TRUE(HasFlag(Entry(wRead), KE_FLAG_ABORTED));
    EXPECT_FALSE(HasFlag(Entry(wOtherLun), KE_FLAG_ABORTED));
    // The request itself is answered GOOD and freed.
    host.Serve();
    EXPECT_TRUE(OnlyStatusIs(host.Reply(wTmf), SCSI_STATUS_GOOD));
    EXPECT_EQ(wGetPortTaskMgmtCount(PORT), 0);
    // Acknowledged at the chip's pass, with no unit attention: no other
    // host's next command on the unit is refused for it.
    ServiceHostPortEvents();
    EXPECT_EQ(fGetHostPortEventPending(), FALSE);
    for (uint16_t i : {0, 7, 127}) EXPECT_EQ(fGetUnitAttention(PORT, i, 0), FALSE) << i;

    // Its start ends it without a status, on the command-complete ring.
    (void)ServiceLunQueues();
    Settle();
    EXPECT_FALSE(host.Reply(wRead).fStatus);
    EXPECT_EQ(Entry(wRead)->fUsed, FALSE);
    EXPECT_EQ(wGetPortTotalCommands(PORT), 1);   // the other LUN's read goes on
}

TEST_F(TaskManagementTest, LogicalUnitResetSetsTheLunsAttentionForLowInitiators) {
    SendTmf(TMF_LUN_RESET, 1);
    HostCommandService(PORT);
    ASSERT_EQ(fGetHostPortEventPending(), TRUE);
    EXPECT_EQ(fGetUnitAttention(PORT, 5, 1), FALSE);   // set by the event service, at the chip's pass
    (void)AcknowledgeStatus();
    ServiceHostPortEvents();
    EXPECT_EQ(fGetHostPortEventPending(), FALSE);
    EXPECT_EQ(AcknowledgeStatus(), 0);   // the chip is told: one LUN
    for (uint16_t i : {0, 7, 127}) EXPECT_EQ(fGetUnitAttention(PORT, i, 1), TRUE) << i;
    EXPECT_EQ(fGetUnitAttention(PORT, 200, 1), FALSE);
    EXPECT_EQ(fGetUnitAttention(PORT, 7, 0), FALSE);
    // A reset of an unmapped LUN is only answered.
    SendTmf(TMF_LUN_RESET, 9);
    HostCommandService(PORT);
    EXPECT_EQ(fGetHostPortEventPending(), FALSE);
}

TEST_F(TaskManagementTest, TargetResetCoversAllLunsAndSendsTheMarkerWithLunZero) {
    const uint16_t wRead = Send(1, Cdb10(SCSI_READ10, 0, 8), 4096);
    Dispatch();
    SendTmf(TMF_TARGET_RESET, 3);
    HostCommandService(PORT);
    EXPECT_TRUE(HasFlag(Entry(wRead), KE_FLAG_ABORTED));
    uint8_t bPortCode = 0;
    ASSERT_EQ(bGetResetPortCode(&bPortCode), TRUE);
    EXPECT_EQ(bPortCode, PORT);
    EXPECT_EQ(wGetResetLun(), ALL_LUNS);
    (void)AcknowledgeStatus();
    ServiceHostPortEvents();
    EXPECT_EQ(AcknowledgeStatus(), 14);   // the chip is told: every LUN
    EXPECT_EQ(fGetUnitAttention(PORT, 200, 511), TRUE);
    EXPECT_EQ(bGetResetPortCode(&bPortCode), FALSE);
}

// A host that logs in on a handle another host had is not served under
// that host's rights: its commands wait until the port's scan has the new
// login (here the test's tables stand for it), however soon they come.
TEST_F(TaskManagementTest, ANewLoginsCommandsWaitForThePortsScan) {
    constexpr uint32_t NEWCOMER = 0x010299;
    EndLogin(HANDLE, INITIATOR);
    TakeNotify24(HANDLE, NEWCOMER, NOTIFY_ELS, ELS_PLOGI);
    TakeNotify24(HANDLE, NEWCOMER, NOTIFY_ELS, ELS_PRLI);
    const uint16_t w = Send(0, Cdb6(SCSI_TEST_UNIT_READY), 0, NEWCOMER);
    Cycle();
    EXPECT_FALSE(host.HasStatus(w));
    EXPECT_EQ(wGetPortNewCommands(PORT), 1);
    SetHostLoopLipFlag(PORT, FALSE);   // the scan
    Cycle();
    EXPECT_TRUE(OnlyStatusIs(host.Reply(w), SCSI_STATUS_GOOD));
}

TEST_F(TaskManagementTest, BothPortsLatchedServesOneAtATime) {
    SetResetPortCode(PORT_CODE_FC_HOST_2);
    SetResetLun(4);
    SetPortResetEvent(2);
    SetPortResetEvent(1);
    ServiceHostPortEvents();
    EXPECT_EQ(fGetPortResetEvent(2), FALSE);
    EXPECT_EQ(fGetPortResetEvent(1), TRUE);
    EXPECT_EQ(fGetHostPortEventPending(), TRUE);
    EXPECT_EQ(fGetUnitAttention(PORT_CODE_FC_HOST_2, 9, 4), TRUE);
    // Port code 80 has no table: nothing is set and nothing is pending.
    SetUnitAttention(PORT_CODE_MODULE, 1, 1, TRUE);
    EXPECT_EQ(fGetUnitAttention(PORT_CODE_MODULE, 1, 1), FALSE);
}

TEST_F(TaskManagementTest, AbtsIsAcceptedForAKnownExchangeAndRejectedOtherwise) {
    const uint16_t wRead = Send(0, Cdb10(SCSI_READ10, 0, 8), 4096);
    Dispatch();
    host.SendAbts(INITIATOR, host.ExchangeOf(wRead), 0x100);
    AnswerAbtsRequest(PORT);
    host.SendAbts(INITIATOR, 0xDEAD, 0x200);
    AnswerAbtsRequest(PORT);
    host.Serve();
    EXPECT_TRUE(HasFlag(Entry(wRead), KE_FLAG_ABORTED));
    // Each: the terminating CTIO, then the response.
    ASSERT_EQ(host.aabOther.size(), 2u);
    ABTS_ENTRY sAccept;
    ABTS_ENTRY sReject;
    std::memcpy(&sAccept, host.aabOther[0].data(), sizeof(sAccept));
    std::memcpy(&sReject, host.aabOther[1].data(), sizeof(sReject));
    EXPECT_EQ(sAccept.bEntryType, ABTS_RESPONSE_ENTRY_TYPE);
    EXPECT_EQ(sAccept.bResponseCode, BA_ACC);
    EXPECT_EQ(sAccept.wOxId, 0x100);
    EXPECT_EQ(sReject.bResponseCode, BA_RJT);
    EXPECT_EQ(sReject.bReasonCode, BA_RJT_REASON_UNABLE);
    EXPECT_EQ(host.RequestsServed(), 4u);
    EXPECT_EQ(wGetTargetEntriesUsed(), 1);   // both ABTS entries freed
}

TEST_F(TaskManagementTest, Isp2x00NotifyWaitsForItsAcknowledge) {
    IMMEDIATE_NOTIFY2_ENTRY s{};
    s.bEntryType = IMMEDIATE_NOTIFY_ENTRY_TYPE;
    s.bEntryCount = 1;
    s.wInitiator = HANDLE;
    s.wLun = 1;
    s.wStatus = 0x36;
    s.wTaskFlags = 0x0400;   // CLEAR TASK SET
    s.wSequenceId = 0x55;
    host.SendNotify(&s);
    s.wStatus = 0x2A;
    host.SendNotify(&s);
    ProcessImmediateNotify(PORT);
    EXPECT_EQ(fIsImmediateNotifyBusy(), TRUE);
    ProcessImmediateNotify(PORT);   // busy: the second notify waits
    ServiceHostPortEvents();
    EXPECT_EQ(fIsImmediateNotifyBusy(), FALSE);
    EXPECT_EQ(fGetUnitAttention(PORT, 100, 1), TRUE);
    ProcessImmediateNotify(PORT);
    EXPECT_EQ(fIsImmediateNotifyBusy(), FALSE);
    host.Serve();
    // Posted back, the acknowledge and the marker for the cleared LUN,
    // posted back.
    ASSERT_EQ(host.aabOther.size(), 4u);
    EXPECT_EQ(host.aabOther[0][0], IMMEDIATE_NOTIFY_ENTRY_TYPE);
    EXPECT_EQ(host.aabOther[1][0], NOTIFY_ACK_ENTRY_TYPE);
    EXPECT_EQ(host.aabOther[2][0], ISP_ENTRY_MARKER);
    EXPECT_EQ(host.aabOther[2][14], 1);   // the LUN
    EXPECT_EQ(host.aabOther[3][0], IMMEDIATE_NOTIFY_ENTRY_TYPE);
    EXPECT_EQ(wGetTargetEntriesUsed(), 0);
}

TEST_F(TaskManagementTest, CommandWithChildrenOutWaitsForThem) {
    const uint16_t wWrite = Send(0, Cdb10(SCSI_WRITE10, 0, 8), 4096);
    KERNEL_ENTRY* ps = Entry(wWrite);
    Dispatch();
    // Issued to the RAID engine, three children out, then aborted.
    RemoveFromLunRing(0);
    ps->bPrimaryState = HOST_STATE_WRITE_ISSUED;
    ps->wChildrenOutstanding = 3;
    ps->wTotalChildren = 3;
    SetFlag(ps, KE_FLAG_ABORTED);
    MarkFinishedWithoutStatus(ps);
    QueueCommandComplete(PORT, ps->wIndex);
    ServiceCommandComplete(PORT_CODE_MODULE);
    EXPECT_EQ(ps->fUsed, TRUE);
    EXPECT_EQ(ps->bPrimaryState, HOST_STATE_CHILDREN_WAIT);
    EXPECT_EQ(wGetCommandCompleteTotal(), 0);

    // A read served from its buffer is one of them: its end counts it down.
    const uint16_t wRead = Send(0, Cdb10(SCSI_READ10, 0, 8), 4096);
    KERNEL_ENTRY* psRead = Entry(wRead);
    DecPortNewCommands(PORT);
    psRead->bCommandType = COMMAND_TYPE_HOST_CHILD;
    psRead->psMother = ps;
    ps->wChildrenOutstanding = 1;
    psRead->bPrimaryState = HOST_STATE_COMPLETE;
    QueueCommandComplete(PORT, wRead);
    ServiceCommandComplete(PORT_CODE_MODULE);   // the read ends; its mother comes back
    ServiceCommandComplete(PORT_CODE_MODULE);
    EXPECT_EQ(psRead->fUsed, FALSE);
    EXPECT_EQ(ps->fUsed, FALSE);
    EXPECT_FALSE(host.Reply(wWrite).fStatus);
    EXPECT_EQ(wGetPortTotalCommands(PORT), 0);
}

// As many children out as the completion code's value is a count, not the
// code: the command waits for them all the same.
TEST_F(TaskManagementTest, ACommandWith135ChildrenOutWaitsForThem) {
    KERNEL_ENTRY* ps = Entry(Send(0, Cdb10(SCSI_WRITE10, 0, 8), 4096));
    Dispatch();
    RemoveFromLunRing(0);
    ps->bPrimaryState = HOST_STATE_WRITE_ISSUED;
    ps->wChildrenOutstanding = COMPLETION_CODE_NO_STATUS;
    ps->wTotalChildren = COMPLETION_CODE_NO_STATUS;
    SetFlag(ps, KE_FLAG_ABORTED);
    MarkFinishedWithoutStatus(ps);
    QueueCommandComplete(PORT, ps->wIndex);
    ServiceCommandComplete(PORT_CODE_MODULE);
    EXPECT_EQ(ps->fUsed, TRUE);
    EXPECT_EQ(ps->bPrimaryState, HOST_STATE_CHILDREN_WAIT);
    EXPECT_EQ(ps->wChildrenOutstanding, COMPLETION_CODE_NO_STATUS);
}

TEST_F(TaskManagementTest, WriteCompleteSendsGoodOrTheSavedSense) {
    auto Written = [&](bool fFailed, bool fAnswered = false) {
        const uint16_t w = Send(0, Cdb10(SCSI_WRITE10, 0, 8), 4096);
        Dispatch();
        RemoveFromLunRing(0);
        KERNEL_ENTRY* ps = Entry(w);
        // A write-back write was answered GOOD when its data was cached.
        if (fAnswered) SetFlag(ps, KE_FLAG_STATUS_SENT | KE_FLAG_WRITE_BACK);
        if (fFailed) {
            SetFlag(ps, KE_FLAG_SENSE_PRESENT);
            pHostFields(ps)->bSenseKey = SENSE_MEDIUM_ERROR;
            pHostFields(ps)->bAsc = ASC_WRITE_ERROR;
            pHostFields(ps)->bAscq = 2;
        }
        ps->bPrimaryState = HOST_STATE_WRITE_COMPLETE;
        QueueWriteComplete(PORT, w);
        return w;
    };
    const uint16_t wGood = Written(false);
    const uint16_t wFailed = Written(true);
    const uint16_t wAnswered = Written(false, true);
    for (int i = 0; i < 3; i++) ServiceWriteComplete(PORT_CODE_MODULE);
    Settle();
    EXPECT_TRUE(OnlyStatusIs(host.Reply(wGood), SCSI_STATUS_GOOD));
    // The host heard about the write-back write already: nothing more.
    EXPECT_FALSE(host.Reply(wAnswered).fStatus);
    EXPECT_EQ(host.Reply(wAnswered).dCtios, 0u);
    const Answer s = Reply(wFailed);
    EXPECT_EQ(s.bStatus, SCSI_STATUS_CHECK_CONDITION);
    EXPECT_EQ(s.bKey, SENSE_MEDIUM_ERROR);
    EXPECT_EQ(s.bAsc, ASC_WRITE_ERROR);
    EXPECT_EQ(s.bAscq, 2);
    EXPECT_EQ(wGetTargetEntriesUsed(), 0);
}

TEST_F(TaskManagementTest, MorePassesSendTheCommandBackToTheDispatcher) {
    const uint16_t w = Send(0, Cdb10(SCSI_READ10, 0, 8), 4096);
    Dispatch();
    KERNEL_ENTRY* ps = Entry(w);
    RemoveFromLunRing(0);
    SetFlag(ps, KE_FLAG_MORE_PASSES);
    ps->bPrimaryState = HOST_STATE_COMPLETE;
    QueueCommandComplete(PORT, w);
    ServiceCommandComplete(PORT_CODE_MODULE);
    EXPECT_EQ(ps->bPrimaryState, HOST_STATE_NEW_COMMAND);
    EXPECT_EQ(wGetPortNewCommands(PORT), 1);
    EXPECT_EQ(wGetPortTotalCommands(PORT), 1);
    ClearFlag(ps, KE_FLAG_MORE_PASSES);
    Dispatch();   // admitted already: straight back onto its LUN ring
    EXPECT_EQ(ps->bPrimaryState, HOST_STATE_LUN_QUEUED);
    // Aborted, it has no next pass: it is freed.
    SetFlag(ps, KE_FLAG_ABORTED | KE_FLAG_MORE_PASSES);
    RemoveFromLunRing(0);
    ps->bPrimaryState = HOST_STATE_COMPLETE;
    QueueCommandComplete(PORT, w);
    ServiceCommandComplete(PORT_CODE_MODULE);
    EXPECT_EQ(ps->fUsed, FALSE);
}

}  // namespace
}  // namespace target_test
