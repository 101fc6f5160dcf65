// The stage rings: wrap at 3201 slots, per-port and global counters, the
// taken mark and the history it keeps, peeks that refuse other states, the
// LUN rings with the least-recently-serviced list and their sequence
// numbers, the wait lists and the console dump.
#include <algorithm>
#include <vector>

#include "cache/read_path.h"
#include "target/lun_scheduler.h"
#include "target_test_board.h"

namespace target_test {
namespace {

using namespace fw;

class StageRingsTest : public TargetBoard {};

TEST_F(StageRingsTest, RingIndicesWrapAfterThirtyTwoHundredAndOneSlots) {
    KERNEL_ENTRY* ps = Command(PORT_CODE_FC_HOST_1, HOST_STATE_DATA_RECEIVED);
    for (uint16_t w = 0; w < STAGE_RING_SLOTS; w++) {
        QueueDataReceived(ps->wIndex);
        KERNEL_ENTRY* psPeek = nullptr;
        ASSERT_EQ(bPeekDataReceived(&psPeek), STATUS_FOUND);
        ASSERT_EQ(psPeek, ps);
        TakeDataReceived();
    }
    const STAGE_RING_POSITIONS s = sGetStageRingPositions(RING_DATA_RECEIVED, 0);
    EXPECT_EQ(s.wIn, 0);
    EXPECT_EQ(s.wOut, 0);
    EXPECT_EQ(s.wCount, 0);
    KERNEL_ENTRY* psPeek = nullptr;
    EXPECT_EQ(bPeekDataReceived(&psPeek), STATUS_NOT_FOUND);   // the slot left is empty again
}

// A read sent round again while its LUN's ring filled up is not lost: it
// goes back through the dispatcher.
TEST_F(StageRingsTest, ReadRequeuedOntoAFullLunRingGoesBackToTheDispatcher) {
    constexpr uint16_t wLun = 3;
    for (uint16_t w = 0; w < LUN_RING_CAPACITY; w++) ASSERT_EQ(QueueLunCommand(Command()->wIndex, wLun), STATUS_OK);
    KERNEL_ENTRY* psRead = Command(PORT_CODE_INTERNAL, HOST_STATE_READ_ISSUED);
    psRead->wLunIndex = wLun;
    SetFlag(psRead, KE_FLAG_ON_LUN_RING);
    const uint16_t wTotal = wGetPortTotalCommands(PORT_CODE_INTERNAL);
    RequeueRead(psRead);
    EXPECT_EQ(wGetLunQueueCount(wLun), LUN_RING_CAPACITY);
    EXPECT_EQ(psRead->bPrimaryState, HOST_STATE_NEW_COMMAND);
    EXPECT_FALSE(HasFlag(psRead, KE_FLAG_ON_LUN_RING));
    EXPECT_EQ(wGetPortNewCommands(PORT_CODE_INTERNAL), 1);
    EXPECT_EQ(wGetPortTotalCommands(PORT_CODE_INTERNAL), wTotal);
    KERNEL_ENTRY* psPeek = nullptr;
    ASSERT_EQ(bPeekNewCommand(&psPeek), STATUS_FOUND);
    EXPECT_EQ(psPeek, psRead);

    // With room on the ring it waits there.
    RemoveFromLunRing(wLun);
    KERNEL_ENTRY* psOther = Command(PORT_CODE_INTERNAL, HOST_STATE_READ_ISSUED);
    psOther->wLunIndex = wLun;
    SetFlag(psOther, KE_FLAG_ON_LUN_RING);
    RequeueRead(psOther);
    EXPECT_EQ(wGetLunQueueCount(wLun), LUN_RING_CAPACITY);
    EXPECT_EQ(psOther->bPrimaryState, HOST_STATE_LUN_QUEUED);
}

TEST_F(StageRingsTest, CountersPerHostPortAndGlobalNeverBelowZero) {
    KERNEL_ENTRY* psPort1 = Command(PORT_CODE_FC_HOST_1, HOST_STATE_WRITE_COMPLETE);
    KERNEL_ENTRY* psInternal = Command(PORT_CODE_INTERNAL, HOST_STATE_WRITE_COMPLETE);
    QueueWriteComplete(PORT_CODE_FC_HOST_1, psPort1->wIndex);
    QueueWriteComplete(PORT_CODE_INTERNAL, psInternal->wIndex);
    QueueWriteComplete(PORT_CODE_HOST_VARIANT_1, psInternal->wIndex);   // a code without rings changes nothing
    EXPECT_EQ(wGetPortRingCount(RING_WRITE_COMPLETE, PORT_CODE_FC_HOST_1), 1);
    EXPECT_EQ(wGetPortRingCount(RING_WRITE_COMPLETE, PORT_CODE_FC_HOST_2), 0);
    EXPECT_EQ(wGetWriteCompleteTotal(), 2);

    TakeWriteComplete(PORT_CODE_FC_HOST_2);   // port 2 counted nothing: stays at 0
    EXPECT_EQ(wGetPortRingCount(RING_WRITE_COMPLETE, PORT_CODE_FC_HOST_2), 0);
    EXPECT_EQ(wGetWriteCompleteTotal(), 1);
    TakeWriteComplete(PORT_CODE_INTERNAL);
    TakeWriteComplete(PORT_CODE_INTERNAL);
    EXPECT_EQ(wGetWriteCompleteTotal(), 0);

    // New commands count in "Total Commands" too; taking them off does not.
    KERNEL_ENTRY* psNew = Command(PORT_CODE_FC_HOST_2);
    QueueNewCommand(PORT_CODE_FC_HOST_2, psNew->wIndex);
    QueueNewCommand(PORT_CODE_MODULE, Command(PORT_CODE_MODULE)->wIndex);
    EXPECT_EQ(wGetPortNewCommands(PORT_CODE_FC_HOST_2), 1);
    EXPECT_EQ(wGetPortNewCommands(PORT_CODE_INTERNAL), 2);
    EXPECT_EQ(wGetPortNewCommands(PORT_CODE_FC_HOST_1), 0);
    DecPortNewCommands(PORT_CODE_FC_HOST_2);
    EXPECT_EQ(wGetPortNewCommands(PORT_CODE_FC_HOST_2), 0);
    EXPECT_EQ(wGetPortTotalCommands(PORT_CODE_FC_HOST_2), 1);
    EXPECT_EQ(wGetPortTotalCommands(PORT_CODE_MODULE), 2);
    DecPortTotalCommands(PORT_CODE_FC_HOST_2);
    DecPortTotalCommands(PORT_CODE_FC_HOST_2);
    EXPECT_EQ(wGetPortTotalCommands(PORT_CODE_FC_HOST_2), 0);
    EXPECT_EQ(wGetPortTotalCommands(PORT_CODE_INTERNAL), 0);
    IncPortTotalCommands(PORT_CODE_SAS_HOST_1);
    EXPECT_EQ(wGetPortTotalCommands(PORT_CODE_SAS_HOST_1), 1);
    EXPECT_EQ(wGetPortTotalCommands(PORT_CODE_INTERNAL), 1);
}

TEST_F(StageRingsTest, TakenNewCommandsStayReadableAsHistory) {
    KERNEL_ENTRY* psA = Command();
    KERNEL_ENTRY* psB = Command();
    QueueNewCommand(PORT_CODE_INTERNAL, psA->wIndex);
    QueueNewCommand(PORT_CODE_INTERNAL, psB->wIndex);
    KERNEL_ENTRY* ps = nullptr;
    EXPECT_EQ(fGetRecentNewCommand(1, &ps), FALSE);   // the slot behind is still empty

    DecPortNewCommands(PORT_CODE_INTERNAL);
    ASSERT_EQ(fGetRecentNewCommand(1, &ps), TRUE);
    EXPECT_EQ(ps, psA);
    ASSERT_EQ(bPeekNewCommand(&ps), STATUS_FOUND);
    EXPECT_EQ(ps, psB);
    DecPortNewCommands(PORT_CODE_INTERNAL);
    ASSERT_EQ(fGetRecentNewCommand(2, &ps), TRUE);
    EXPECT_EQ(ps, psA);
    EXPECT_EQ(fGetRecentNewCommand(0, &ps), FALSE);
    EXPECT_EQ(fGetRecentNewCommand(256, &ps), FALSE);
    EXPECT_EQ(bPeekNewCommand(&ps), STATUS_NOT_FOUND);   // taken slots are never peeked again
}

// The histories count back across the end of their rings: the new-command
// ring once round, a LUN's ring several times.
TEST_F(StageRingsTest, RecentCommandsCountBackAcrossTheWrap) {
    std::vector<KERNEL_ENTRY*> aps;
    for (int i = 0; i < 300; i++) aps.push_back(Command(PORT_CODE_INTERNAL, HOST_STATE_LUN_QUEUED));
    constexpr uint16_t LUN = 7;
    for (KERNEL_ENTRY* ps : aps) {
        ASSERT_EQ(QueueLunCommand(ps->wIndex, LUN), STATUS_OK);
        RemoveFromLunRing(LUN);
    }
    constexpr uint32_t NEW_COMMANDS = STAGE_RING_SLOTS + 99;
    for (uint32_t i = 0; i < NEW_COMMANDS; i++) {
        QueueNewCommand(PORT_CODE_INTERNAL, aps[i % aps.size()]->wIndex);
        DecPortNewCommands(PORT_CODE_INTERNAL);
    }
    for (uint16_t n = 1; n <= 255; n++) {
        KERNEL_ENTRY* ps = nullptr;
        ASSERT_EQ(fGetRecentLunCommand(LUN, n, &ps), TRUE) << n;
        EXPECT_EQ(ps, aps[aps.size() - n]) << n;
        ASSERT_EQ(fGetRecentNewCommand(n, &ps), TRUE) << n;
        EXPECT_EQ(ps, aps[(NEW_COMMANDS - n) % aps.size()]) << n;
    }
    KERNEL_ENTRY* ps = nullptr;
    EXPECT_EQ(fGetRecentLunCommand(LUN, 256, &ps), FALSE);
    // Read in runs, as one by one, up to the 255th.
    for (const uint16_t wBack : {1, 15, 16, 17, 240, 250, 255, 256}) {
        KERNEL_ENTRY* apsLun[16] = {};
        KERNEL_ENTRY* apsNew[16] = {};
        const uint16_t wExpected = static_cast<uint16_t>(std::clamp(256 - wBack, 0, 16));
        ASSERT_EQ(wGetRecentLunCommands(LUN, wBack, 16, apsLun), wExpected) << wBack;
        ASSERT_EQ(wGetRecentNewCommands(wBack, 16, apsNew), wExpected) << wBack;
        for (uint16_t w = 0; w < wExpected; w++) {
            ASSERT_EQ(fGetRecentLunCommand(LUN, static_cast<uint16_t>(wBack + w), &ps), TRUE);
            EXPECT_EQ(apsLun[w], ps) << wBack << " " << w;
            ASSERT_EQ(fGetRecentNewCommand(static_cast<uint16_t>(wBack + w), &ps), TRUE);
            EXPECT_EQ(apsNew[w], ps) << wBack << " " << w;
        }
    }
    EXPECT_EQ(wGetRecentLunCommands(LUN_COUNT, 1, 1, &ps), 0);
}

TEST_F(StageRingsTest, PeeksRefuseEntriesInAnotherState) {
    KERNEL_ENTRY* ps = Command(PORT_CODE_FC_HOST_1, HOST_STATE_DATA_AVAILABLE);
    QueueCommandComplete(PORT_CODE_FC_HOST_1, ps->wIndex);
    KERNEL_ENTRY* psPeek = nullptr;
    EXPECT_EQ(bPeekCommandComplete(&psPeek), STATUS_NOT_FOUND);
    ps->bPrimaryState = HOST_STATE_COMPLETE;
    EXPECT_EQ(bPeekCommandComplete(&psPeek), STATUS_FOUND);
    ps->fUsed = FALSE;   // "Command Complete" also wants the entry in use
    EXPECT_EQ(bPeekCommandComplete(&psPeek), STATUS_NOT_FOUND);
    ps->fUsed = TRUE;

    QueueWriteReady(PORT_CODE_MODULE, ps->wIndex);
    EXPECT_EQ(wGetPortWriteReadyCount(PORT_CODE_INTERNAL), 1);   // 64 and 80 share one ring
    EXPECT_EQ(bPeekWriteReady(PORT_CODE_INTERNAL, &psPeek), STATUS_NOT_FOUND);
    ps->bPrimaryState = HOST_STATE_WRITE_READY;
    EXPECT_EQ(bPeekWriteReady(PORT_CODE_INTERNAL, &psPeek), STATUS_FOUND);
    EXPECT_EQ(bPeekWriteReady(PORT_CODE_FC_HOST_1, &psPeek), STATUS_NOT_FOUND);

    QueueImmediateNotify(PORT_CODE_SAS_HOST_1, ps->wIndex);   // Fibre Channel ports only
    EXPECT_EQ(bPeekImmediateNotify(PORT_CODE_SAS_HOST_1, &psPeek), STATUS_NOT_FOUND);
    QueueTaskMgmtRequest(PORT_CODE_SAS_HOST_2, ps->wIndex);
    EXPECT_EQ(wGetPortTaskMgmtCount(PORT_CODE_SAS_HOST_2), 1);
    QueueAbortRequest(PORT_CODE_FC_HOST_2, ps->wIndex);
    EXPECT_EQ(wGetPortAbortCount(PORT_CODE_FC_HOST_2), 1);
    EXPECT_EQ(wGetPortAbortCount(PORT_CODE_FC_HOST_1), 0);
}

TEST_F(StageRingsTest, LunRingWrapsKeepsSequencesAndFollowsTheServiceList) {
    constexpr uint16_t LUN = 5;
    KERNEL_ENTRY* ps = Command(PORT_CODE_INTERNAL, HOST_STATE_LUN_QUEUED);
    for (uint16_t w = 0; w < LUN_RING_SLOTS + 3; w++) {
        ASSERT_EQ(QueueLunCommand(ps->wIndex, LUN), STATUS_OK);
        ASSERT_EQ(fIsLunInLrsList(LUN), TRUE);
        KERNEL_ENTRY* psPeek = nullptr;
        ASSERT_EQ(bPeekLunCommand(LUN, &psPeek), STATUS_FOUND);
        RemoveFromLunRing(LUN);
        ASSERT_EQ(fIsLunInLrsList(LUN), FALSE);
    }
    // Requeued, the command kept the number of its first queueing.
    EXPECT_EQ(ps->alSequence[LUN_SEQUENCE_INDEX], 0u);
    EXPECT_EQ(lGetLunSequence(LUN), 1u);
    KERNEL_ENTRY* psRecent = nullptr;
    ASSERT_EQ(fGetRecentLunCommand(LUN, 1, &psRecent), TRUE);
    EXPECT_EQ(psRecent, ps);
    EXPECT_EQ(fGetRecentLunCommand(LUN_COUNT, 1, &psRecent), FALSE);

    KERNEL_ENTRY* psOther = Command(PORT_CODE_INTERNAL, HOST_STATE_LUN_QUEUED);
    ASSERT_EQ(QueueLunCommand(psOther->wIndex, LUN), STATUS_OK);
    EXPECT_EQ(psOther->alSequence[LUN_SEQUENCE_INDEX], 1u);
    EXPECT_EQ(wGetNewCmdContTotal(), 1);
    RemoveFromLunRing(LUN);
    RemoveFromLunRing(LUN);   // one more take: the counts stay at 0
    EXPECT_EQ(wGetNewCmdContTotal(), 0);
    EXPECT_EQ(wGetLunQueueCount(LUN), 0);
    EXPECT_EQ(QueueLunCommand(ps->wIndex, LUN_COUNT), STATUS_RETRY);
}

TEST_F(StageRingsTest, FullLunRingRefusesTheNextCommand) {
    KERNEL_ENTRY* ps = Command(PORT_CODE_INTERNAL, HOST_STATE_LUN_QUEUED);
    for (uint16_t w = 0; w < LUN_RING_CAPACITY; w++) ASSERT_EQ(QueueLunCommand(ps->wIndex, 9), STATUS_OK);
    EXPECT_EQ(QueueLunCommand(ps->wIndex, 9), STATUS_RETRY);
    EXPECT_EQ(wGetLunQueueCount(9), LUN_RING_CAPACITY);
    KERNEL_ENTRY* psPeek = nullptr;
    EXPECT_EQ(bPeekLunCommand(9, &psPeek), STATUS_FOUND);   // the head was not overwritten
}

// A command back for its next pass goes in front of those queued; the one
// queued last can be taken back off the tail; neither overruns the ring.
TEST_F(StageRingsTest, ALaterPassGoesFirstAndTheNewestCanBeTakenBack) {
    constexpr uint16_t LUN = 11;
    KERNEL_ENTRY* psFirst = Command(PORT_CODE_INTERNAL, HOST_STATE_LUN_QUEUED);
    KERNEL_ENTRY* psSecond = Command(PORT_CODE_INTERNAL, HOST_STATE_LUN_QUEUED);
    KERNEL_ENTRY* psPass = Command(PORT_CODE_INTERNAL, HOST_STATE_LUN_QUEUED);
    EXPECT_EQ(wTakeNewestLunCommand(LUN), RING_EMPTY_SLOT);
    // Across the ring's wrap at its out index: the first slot is 0.
    ASSERT_EQ(QueueLunCommandFirst(psPass->wIndex, LUN), STATUS_OK);
    EXPECT_EQ(fIsLunInLrsList(LUN), TRUE);
    ASSERT_EQ(QueueLunCommand(psFirst->wIndex, LUN), STATUS_OK);
    ASSERT_EQ(QueueLunCommand(psSecond->wIndex, LUN), STATUS_OK);
    KERNEL_ENTRY* psPeek = nullptr;
    ASSERT_EQ(bPeekLunCommand(LUN, &psPeek), STATUS_FOUND);
    EXPECT_EQ(psPeek, psPass);
    EXPECT_EQ(wGetLunQueueCount(LUN), 3);
    EXPECT_EQ(wGetNewCmdContTotal(), 3);
    EXPECT_EQ(wTakeNewestLunCommand(LUN), psSecond->wIndex);
    EXPECT_EQ(wGetLunQueueCount(LUN), 2);
    RemoveFromLunRing(LUN);
    ASSERT_EQ(bPeekLunCommand(LUN, &psPeek), STATUS_FOUND);
    EXPECT_EQ(psPeek, psFirst);
    EXPECT_EQ(wTakeNewestLunCommand(LUN), psFirst->wIndex);
    EXPECT_EQ(wGetLunQueueCount(LUN), 0);
    EXPECT_EQ(wGetNewCmdContTotal(), 0);
    EXPECT_EQ(fIsLunInLrsList(LUN), FALSE);
    // Full, the ring takes none at its head either.
    for (uint16_t w = 0; w < LUN_RING_CAPACITY; w++) ASSERT_EQ(QueueLunCommand(psFirst->wIndex, LUN), STATUS_OK);
    EXPECT_EQ(QueueLunCommandFirst(psPass->wIndex, LUN), STATUS_RETRY);
    ASSERT_EQ(bPeekLunCommand(LUN, &psPeek), STATUS_FOUND);
    EXPECT_EQ(psPeek, psFirst);
}

TEST_F(StageRingsTest, ServiceListKeepsLeastRecentlyServicedFirst) {
    KERNEL_ENTRY* ps = Command(PORT_CODE_INTERNAL, HOST_STATE_LUN_QUEUED);
    EXPECT_EQ(wGetLrsHeadLun(), NO_LRS_LUN);
    for (uint16_t wLun : {3, 1, 4}) ASSERT_EQ(QueueLunCommand(ps->wIndex, wLun), STATUS_OK);
    EXPECT_EQ(wGetLrsLunCount(), 3);
    EXPECT_EQ(wGetLrsHeadLun(), 3);
    MarkLunServiced(3);
    EXPECT_EQ(wGetLrsHeadLun(), 1);
    EXPECT_EQ(wGetNextLrsLun(1), 4);
    EXPECT_EQ(wGetNextLrsLun(4), 3);
    EXPECT_EQ(wGetNextLrsLun(3), 1);   // circular
    RemoveFromLunRing(4);
    EXPECT_EQ(wGetNextLrsLun(1), 3);
    EXPECT_EQ(wGetLrsLunCount(), 2);
}

TEST_F(StageRingsTest, WaitListsKeepArrivalOrderAndRaiseTheirWork) {
    KERNEL_ENTRY* psA = Command(PORT_CODE_FC_HOST_1, 82);
    KERNEL_ENTRY* psB = Command(PORT_CODE_FC_HOST_1, 82);
    SetRaidWaitListWork(FALSE);
    QueueWaitListB(psA);
    QueueWaitListB(psB);
    EXPECT_EQ(fGetRaidWaitListWork(), TRUE);
    EXPECT_EQ(wGetWaitListBCount(), 2);
    EXPECT_EQ(wGetWaitListACount(), 0);
    EXPECT_EQ(pTakeWaitListB(), psA);
    EXPECT_EQ(pTakeWaitListB(), psB);
    EXPECT_EQ(pTakeWaitListB(), nullptr);
}

TEST_F(StageRingsTest, DumpShowsCountersRingsAndEntriesInUse) {
    KERNEL_ENTRY* ps = Command(PORT_CODE_INTERNAL, HOST_STATE_LUN_QUEUED);
    ps->wLunIndex = 2;
    ASSERT_EQ(QueueLunCommand(ps->wIndex, 2), STATUS_OK);
    QueueNewCommand(PORT_CODE_FC_HOST_1, Command(PORT_CODE_FC_HOST_1)->wIndex);
    board.ClearConsoleText();
    DumpTargetKernelQueue();
    const std::string s = Console();
    EXPECT_NE(s.find("Used Entries:.......0002 (f0)\r\n"), std::string::npos) << s;
    EXPECT_NE(s.find("Next Tar Entry Loc:.0002\r\n"), std::string::npos);
    EXPECT_NE(s.find("New Commands:.......0001 0000 0001\r\n"), std::string::npos);
    EXPECT_NE(s.find("New Cmd In Ptr:.....0000 0000 0001\r\n"), std::string::npos);
    EXPECT_NE(s.find("New Cmd Cont L:002:.0001\r\n"), std::string::npos);
    EXPECT_NE(s.find("\r\nTarget kernel queue:\r\n000 TF 0000000000000000 N1:000/002 000:000:000 070000 Txxx "),
              std::string::npos);
    EXPECT_NE(s.find("001 TF 0000000000000000 F1:000/fff "), std::string::npos);
}

}  // namespace
}  // namespace target_test
