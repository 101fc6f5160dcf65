// The host command pool: exhaustion and its flag, runs that never cross the
// end of the pool, release to the free values, the copy of a new command,
// the per-port scans and the task-management abort marks.
#include <vector>

#include "fc/fc_driver.h"
#include "hw/fc_target_iocb.h"
#include "hw/scsi.h"
#include "target/command_access.h"
#include "target_test_board.h"

namespace target_test {
namespace {

using namespace fw;

class HostCommandPoolTest : public TargetBoard {
protected:
    static KERNEL_ENTRY* Alloc(uint16_t wCount, uint16_t* pwIndex = nullptr) {
        KERNEL_ENTRY* ps = nullptr;
        uint16_t wIndex = 0xFFFF;
        if (bAllocTargetEntries(PORT_CODE_FC_HOST_1, wCount, &ps, &wIndex, FALSE) != STATUS_OK) return nullptr;
        if (pwIndex != nullptr) *pwIndex = wIndex;
        EXPECT_EQ(ps->wIndex, wIndex);
        return ps;
    }
};

TEST_F(HostCommandPoolTest, LastEntryFillsThePoolAndTheNextRequestSetsTheFullFlag) {
    for (uint16_t w = 0; w < HOST_ENTRY_COUNT - 1; w++) ASSERT_EQ(Alloc(1), Entry(w));
    EXPECT_EQ(fIsTargetPoolFull(), FALSE);
    ASSERT_EQ(Alloc(1), Entry(HOST_ENTRY_COUNT - 1));
    EXPECT_EQ(wGetTargetEntriesUsed(), HOST_ENTRY_COUNT);
    EXPECT_EQ(fIsTargetPoolFull(), FALSE);

    EXPECT_EQ(Alloc(1), nullptr);
    EXPECT_EQ(fIsTargetPoolFull(), TRUE);

    FreeTargetEntry(Entry(1234));
    EXPECT_EQ(fIsTargetPoolFull(), FALSE);
    EXPECT_EQ(wGetTargetEntriesUsed(), HOST_ENTRY_COUNT - 1);
    EXPECT_EQ(Alloc(1), Entry(1234));
}

TEST_F(HostCommandPoolTest, FailedSearchLeavesTheFullFlagAlone) {
    for (uint16_t w = 0; w < HOST_ENTRY_COUNT; w++) ASSERT_NE(Alloc(1), nullptr);
    for (uint16_t w = 0; w < HOST_ENTRY_COUNT; w += 2) FreeTargetEntry(Entry(w));
    EXPECT_EQ(Alloc(2), nullptr);   // 1600 free, never two side by side
    EXPECT_EQ(fIsTargetPoolFull(), FALSE);
    EXPECT_EQ(Alloc(0), nullptr);
    EXPECT_EQ(Alloc(MAX_HOST_ENTRY_RUN + 1), nullptr);
}

TEST_F(HostCommandPoolTest, RunNeverCrossesTheEndOfThePool) {
    for (uint16_t w = 0; w < HOST_ENTRY_COUNT - 3; w++) ASSERT_NE(Alloc(1), nullptr);
    ASSERT_EQ(wGetNextTargetEntry(), HOST_ENTRY_COUNT - 3);
    for (uint16_t w = 0; w < 4; w++) FreeTargetEntry(Entry(w));

    uint16_t wIndex = 0;
    ASSERT_EQ(Alloc(4, &wIndex), Entry(0));   // 3197..3199 are three, not four
    EXPECT_EQ(wIndex, 0);
    EXPECT_EQ(wGetNextTargetEntry(), 4);
    EXPECT_EQ(Entry(HOST_ENTRY_COUNT - 1)->fUsed, FALSE);
    // A run that ends on the last entry is taken.
    ASSERT_EQ(Alloc(3), Entry(HOST_ENTRY_COUNT - 3));
    EXPECT_EQ(wGetNextTargetEntry(), 0);
}

TEST_F(HostCommandPoolTest, ReleaseRestoresTheFreeValuesOnce) {
    KERNEL_ENTRY* ps = Command(PORT_CODE_FC_HOST_1);
    ps->lFlags = ~0ull & ~(KE_FLAG_RANK_COUNTED | KE_FLAG_TQM_COUNTED);
    ps->bSecondaryState = 9;
    ps->bCommandType = 'r';
    ps->bRank = 3;
    ps->wLunIndex = 17;
    ps->fValid = TRUE;
    ps->alSequence[LUN_SEQUENCE_INDEX] = 5;
    pHostFields(ps)->wPriorityBucket = 4;
    Command();
    ASSERT_EQ(wGetTargetEntriesUsed(), 2);

    FreeTargetEntry(ps);
    EXPECT_EQ(ps->fUsed, FALSE);
    EXPECT_EQ(ps->fValid, FALSE);
    EXPECT_EQ(ps->lFlags, 0u);
    EXPECT_EQ(ps->bPrimaryState, HOST_STATE_FREE);
    EXPECT_EQ(ps->bSecondaryState, 0);
    EXPECT_EQ(ps->bCommandType, 0);
    EXPECT_EQ(ps->bRank, 0xBB);
    EXPECT_EQ(ps->wLunIndex, NO_LUN_INDEX);
    EXPECT_EQ(ps->alSequence[LUN_SEQUENCE_INDEX], NO_LUN_SEQUENCE);
    EXPECT_EQ(pHostFields(ps)->wPriorityBucket, NO_PRIORITY_BUCKET);
    EXPECT_EQ(pHostFields(ps)->wInitiatorHandle, NO_INITIATOR_HANDLE);
    EXPECT_EQ(wGetTargetEntriesUsed(), 1);

    FreeTargetEntry(ps);   // a second free must not release another command
    EXPECT_EQ(wGetTargetEntriesUsed(), 1);
    FreeTargetEntry(reinterpret_cast<KERNEL_ENTRY*>(reinterpret_cast<uint8_t*>(Entry(5)) + 4));
    EXPECT_EQ(wGetTargetEntriesUsed(), 1);
}

TEST_F(HostCommandPoolTest, PoolAddressesAreHalfOpenAndOnEntryBoundaries) {
    const uint8_t* pbFirst = reinterpret_cast<const uint8_t*>(Entry(0));
    const uint8_t* pbEnd = reinterpret_cast<const uint8_t*>(Entry(HOST_ENTRY_COUNT - 1)) + sizeof(KERNEL_ENTRY);
    EXPECT_EQ(fIsTargetEntryAddress(pbFirst), TRUE);
    EXPECT_EQ(fIsTargetEntryAddress(pbEnd - 1), TRUE);
    EXPECT_EQ(fIsTargetEntryAddress(pbEnd), FALSE);
    EXPECT_EQ(fIsTargetEntryAddress(pbFirst - 1), FALSE);
    EXPECT_EQ(wTargetEntryIndex(Entry(77)), 77);
    EXPECT_EQ(wTargetEntryIndex(pbFirst + 1), 0xFFFF);

    KERNEL_ENTRY* ps = nullptr;
    EXPECT_EQ(wGetTargetEntry(HOST_ENTRY_COUNT, &ps), HOST_ENTRY_COUNT);
    EXPECT_EQ(ps, nullptr);
    NextTargetEntry(Entry(HOST_ENTRY_COUNT - 1), &ps);
    EXPECT_EQ(ps, Entry(0));
    NextTargetEntry(Entry(41), &ps);
    EXPECT_EQ(ps, Entry(42));
}

TEST_F(HostCommandPoolTest, CopyTakesSixtyFourBytesOrOneHundredTwentyEightForTheModule) {
    uint8_t abBlock[128];
    for (int i = 0; i < 128; i++) abBlock[i] = static_cast<uint8_t>(i + 1);
    KERNEL_ENTRY* psFibre = Alloc(1);
    KERNEL_ENTRY* psModule = Alloc(1);
    std::memset(psFibre, 0xEE, 128);
    CopyNewCommandIocb(PORT_CODE_FC_HOST_2, abBlock, psFibre, HOST_STATE_TASK_MANAGEMENT, FALSE);
    CopyNewCommandIocb(PORT_CODE_MODULE, abBlock, psModule, HOST_STATE_NEW_COMMAND, FALSE);

    const uint8_t* pb = reinterpret_cast<const uint8_t*>(psFibre);
    EXPECT_EQ(pb[63], 64);
    EXPECT_EQ(pb[64], 0xEE);
    EXPECT_EQ(psFibre->bPrimaryState, HOST_STATE_TASK_MANAGEMENT);
    EXPECT_EQ(psFibre->bPortCode, PORT_CODE_FC_HOST_2);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(psModule)[127], 128);
    EXPECT_EQ(psModule->wIndex, 1);   // the bookkeeping after the block is untouched
}

TEST_F(HostCommandPoolTest, ScanReturnsSuccessiveMatchesAndRewinds) {
    KERNEL_ENTRY* psA = Command(PORT_CODE_FC_HOST_1, HOST_STATE_WRITE_READY);
    Command(PORT_CODE_FC_HOST_2, HOST_STATE_WRITE_READY);
    KERNEL_ENTRY* psB = Command(PORT_CODE_FC_HOST_1, HOST_STATE_WRITE_READY);
    Command(PORT_CODE_FC_HOST_1, HOST_STATE_DATA_AVAILABLE);
    KERNEL_ENTRY* psInternal = Command(PORT_CODE_MODULE, HOST_STATE_WRITE_READY);

    KERNEL_ENTRY* ps = nullptr;
    ASSERT_EQ(FindPortEntryInState(PORT_CODE_FC_HOST_1, HOST_STATE_WRITE_READY, &ps), STATUS_FOUND);
    EXPECT_EQ(ps, psA);
    ASSERT_EQ(FindPortEntryInState(PORT_CODE_FC_HOST_1, HOST_STATE_WRITE_READY, &ps), STATUS_FOUND);
    EXPECT_EQ(ps, psB);
    ASSERT_EQ(FindPortEntryInState(PORT_CODE_FC_HOST_1, HOST_STATE_WRITE_READY, &ps), STATUS_FOUND);
    EXPECT_EQ(ps, psA);   // around the pool again
    RewindWriteReadyScan(PORT_CODE_FC_HOST_1);
    ASSERT_EQ(FindPortEntryInState(PORT_CODE_FC_HOST_1, HOST_STATE_WRITE_READY, &ps), STATUS_FOUND);
    EXPECT_EQ(ps, psA);

    // The internal codes share one position and match each other.
    ASSERT_EQ(FindPortEntryInState(PORT_CODE_INTERNAL, HOST_STATE_WRITE_READY, &ps), STATUS_FOUND);
    EXPECT_EQ(ps, psInternal);
    EXPECT_EQ(FindPortEntryInState(PORT_CODE_FC_HOST_1, HOST_STATE_LUN_QUEUED, &ps), STATUS_NOT_FOUND);
    EXPECT_EQ(FindPortEntryInState(0x31, HOST_STATE_WRITE_READY, &ps), STATUS_NOT_FOUND);
}

TEST_F(HostCommandPoolTest, AbortMarksSkipCommandsWhoseStatusWasSent) {
    SetQL24xx(TRUE);   // the exchange and port id marks are the ISP24xx chips'
    auto Fibre = [](uint16_t wInitiator, uint32_t dPortId) {
        KERNEL_ENTRY* ps = Command(PORT_CODE_FC_HOST_1);
        ps->fValid = TRUE;   // converted: the initiator is in the head
        reinterpret_cast<ATIO2_ENTRY*>(ps)->wInitiator = wInitiator;
        PutBe24(pGetAtioCopy(ps) + offsetof(ATIO7_ENTRY, abSourceId), dPortId);
        return ps;
    };
    KERNEL_ENTRY* psSent = Fibre(7, 0x010200);
    KERNEL_ENTRY* psFirst = Fibre(7, 0x010200);
    KERNEL_ENTRY* psOther = Fibre(9, 0x010300);
    SetFlag(psSent, KE_FLAG_STATUS_SENT);

    MarkInitiatorCommandAborted(PORT_CODE_FC_HOST_1, 7);
    EXPECT_FALSE(HasFlag(psSent, KE_FLAG_ABORTED));   // the first match, already answered
    EXPECT_FALSE(HasFlag(psFirst, KE_FLAG_ABORTED));

    EXPECT_EQ(bMarkExchangeAborted(PORT_CODE_FC_HOST_1, 9, 0x010300), STATUS_FOUND);
    EXPECT_TRUE(HasFlag(psOther, KE_FLAG_ABORTED));
    EXPECT_EQ(bMarkExchangeAborted(PORT_CODE_FC_HOST_2, 9, 0x010300), STATUS_NOT_FOUND);

    EXPECT_EQ(bMarkPortIdAborted(PORT_CODE_FC_HOST_1, 0x010200), STATUS_FOUND);
    EXPECT_TRUE(HasFlag(psFirst, KE_FLAG_ABORTED));
    EXPECT_FALSE(HasFlag(psSent, KE_FLAG_ABORTED));
    EXPECT_EQ(bMarkPortIdAborted(PORT_CODE_FC_HOST_1, 0x010200), STATUS_NOT_FOUND);   // nothing new
}

}  // namespace
}  // namespace target_test
