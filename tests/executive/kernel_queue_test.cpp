// The initiator kernel queue: pushes at tail and head, peeks, the scan with
// holes and its compaction, the full ring, the counters, and a loop-back that
// plays the drive side.
#include <gtest/gtest.h>

#include <vector>

#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "executive/timers.h"
#include "executive/types.h"
#include "sim/board.h"

namespace {

using fw::KERNEL_ENTRY;
constexpr uint8_t Q = fw::PORT_CODE_INITIATOR;

class KernelQueueTest : public ::testing::Test {
protected:
    void SetUp() override {
        fw::InitKernelEntryPool();
        fw::InitCallbackPool();
    }
    static KERNEL_ENTRY* NewCommand() {
        KERNEL_ENTRY* ps = nullptr;
        EXPECT_EQ(fw::bAllocKernelEntries(0, 1, &ps), fw::STATUS_OK);
        ps->bPrimaryState = fw::PS_NEW_COMMAND;
        return ps;
    }
    static const fw::KERNEL_QUEUE& Queue() { return *fw::psGetInitiatorKernelQueue(); }
    sim::Board board;
};

TEST_F(KernelQueueTest, PushAtHeadFromSlotZeroWrapsToTheLastSlot) {
    KERNEL_ENTRY* psTail = NewCommand();
    KERNEL_ENTRY* psHead = NewCommand();
    ASSERT_EQ(fw::QueueKernelEntry(Q, psTail->wIndex), fw::STATUS_OK);
    ASSERT_EQ(fw::QueueKernelEntryAtHead(Q, psHead->wIndex), fw::STATUS_OK);
    EXPECT_EQ(Queue().wNewCmdOut, 4096);
    EXPECT_EQ(Queue().awNewCmdRing[4096], psHead->wIndex);
    EXPECT_EQ(fw::wGetNewCommandCount(Q), 2);
    EXPECT_EQ(fw::wGetTotalCommands(Q), 2);
    KERNEL_ENTRY* ps = nullptr;
    ASSERT_EQ(fw::bPeekKernelEntry(Q, &ps), fw::STATUS_FOUND);
    EXPECT_EQ(ps, psHead);
    fw::DequeueKernelEntry(Q);
    ASSERT_EQ(fw::bPeekKernelEntry(Q, &ps), fw::STATUS_FOUND);
    EXPECT_EQ(ps, psTail);
    EXPECT_EQ(Queue().wNewCmdOut, 0);
}

TEST_F(KernelQueueTest, PeekRefusesWhatIsNotWaitingThere) {
    struct Case {
        const char* pszWhat;
        uint8_t bState;
        uint8_t fUsed;
        bool fCompletionRing;
        uint8_t bExpected;
    };
    const Case cases[] = {
        {"new command", fw::PS_NEW_COMMAND, fw::TRUE, false, fw::STATUS_FOUND},
        {"completed on new ring", fw::PS_COMPLETED, fw::TRUE, false, fw::STATUS_NOT_FOUND},
        {"free entry", fw::PS_NEW_COMMAND, fw::FALSE, false, fw::STATUS_NOT_FOUND},
        {"completed", fw::PS_COMPLETED, fw::TRUE, true, fw::STATUS_FOUND},
        {"new command on completion ring", fw::PS_NEW_COMMAND, fw::TRUE, true, fw::STATUS_NOT_FOUND},
    };
    for (const Case& c : cases) {
        fw::InitKernelEntryPool();
        KERNEL_ENTRY* psEntry = NewCommand();
        psEntry->bPrimaryState = c.bState;
        psEntry->fUsed = c.fUsed;
        KERNEL_ENTRY* ps = nullptr;
        if (c.fCompletionRing) {
            EXPECT_EQ(fw::bPeekCompletedEntry(Q, &ps), fw::STATUS_NOT_FOUND) << "empty";
            fw::QueueKernelEntryComplete(Q, psEntry->wIndex);
            EXPECT_EQ(fw::bPeekCompletedEntry(Q, &ps), c.bExpected) << c.pszWhat;
        } else {
            EXPECT_EQ(fw::bPeekKernelEntry(Q, &ps), fw::STATUS_NOT_FOUND) << "empty";
            fw::QueueKernelEntry(Q, psEntry->wIndex);
            EXPECT_EQ(fw::bPeekKernelEntry(Q, &ps), c.bExpected) << c.pszWhat;
        }
        if (c.bExpected == fw::STATUS_FOUND) {
            EXPECT_EQ(ps, psEntry);
        }
    }
}

TEST_F(KernelQueueTest, CompactionKeepsTheWaitingOnesInOrder) {
    // Start the ring near its end so that the compaction also wraps.
    for (int i = 0; i < 4094; i++) {
        fw::SkipKernelEntry(Q);
    }
    fw::CompactKernelQueue(Q);  // empty: the tail follows the head
    ASSERT_EQ(Queue().wNewCmdIn, 4094);
    std::vector<KERNEL_ENTRY*> entries;
    for (int i = 0; i < 5; i++) {
        entries.push_back(NewCommand());
        ASSERT_EQ(fw::QueueKernelEntry(Q, entries.back()->wIndex), fw::STATUS_OK);
    }
    // The back end takes the second and fourth and steps over the others.
    const uint16_t wHead = fw::wGetNewCommandOutPos(Q);
    const bool afTake[5] = {false, true, false, true, false};
    for (bool fTake : afTake) {
        if (fTake) fw::DequeueKernelEntry(Q); else fw::SkipKernelEntry(Q);
    }
    fw::SetNewCommandOutPos(Q, wHead);
    fw::CompactKernelQueue(Q);

    EXPECT_EQ(fw::wGetNewCommandCount(Q), 3);
    const uint16_t awExpected[3] = {entries[0]->wIndex, entries[2]->wIndex, entries[4]->wIndex};
    uint16_t wSlot = wHead;
    for (uint16_t wIndex : awExpected) {
        EXPECT_EQ(Queue().awNewCmdRing[wSlot], wIndex) << wSlot;
        wSlot = (wSlot + 1) % fw::KERNEL_QUEUE_SLOTS;
    }
    EXPECT_EQ(Queue().wNewCmdIn, wSlot);
    for (int i = 0; i < 2; i++, wSlot = (wSlot + 1) % fw::KERNEL_QUEUE_SLOTS) {
        EXPECT_EQ(Queue().awNewCmdRing[wSlot], fw::KERNEL_QUEUE_EMPTY_SLOT);
    }
}

TEST_F(KernelQueueTest, FullRingAndForeignIndicesAreRefused) {
    // 4097 slots and 4096 entries: only an index pushed twice can fill the ring.
    ASSERT_EQ(fw::QueueKernelEntryAtHead(Q, 0), fw::STATUS_OK);
    for (uint16_t w = 0; w < fw::KERNEL_ENTRY_COUNT; w++) ASSERT_EQ(fw::QueueKernelEntry(Q, w), fw::STATUS_OK);
    const uint16_t wCount = fw::wGetNewCommandCount(Q);
    EXPECT_EQ(wCount, 4097);
    EXPECT_EQ(fw::QueueKernelEntry(Q, 7), fw::STATUS_RETRY);
    EXPECT_EQ(fw::QueueKernelEntryAtHead(Q, 7), fw::STATUS_RETRY);
    EXPECT_EQ(fw::wGetNewCommandCount(Q), wCount);
    EXPECT_EQ(Queue().awNewCmdRing[4096], 0);

    fw::InitKernelEntryPool();
    for (uint16_t w : {uint16_t{4096}, uint16_t{0xFFFF}}) {
        EXPECT_EQ(fw::QueueKernelEntry(Q, w), fw::STATUS_RETRY);
        EXPECT_EQ(fw::QueueKernelEntryComplete(Q, w), fw::STATUS_RETRY);
    }
    EXPECT_EQ(fw::wGetNewCommandCount(Q), 0);
    EXPECT_EQ(fw::wGetCommandCompleteCount(Q), 0);
}

TEST_F(KernelQueueTest, CountersStopAtZeroAndOtherQueuesReadEmpty) {
    fw::DecrementTotalCommands(Q);
    fw::DequeueKernelEntry(Q);
    fw::DequeueCompletedEntry(Q);
    EXPECT_EQ(fw::wGetTotalCommands(Q), 0);
    EXPECT_EQ(Queue().wNewCmdOut, 0);
    EXPECT_EQ(Queue().wCmdComplOut, 0);

    KERNEL_ENTRY* ps = NewCommand();
    EXPECT_EQ(fw::QueueKernelEntry(0x62, ps->wIndex), fw::STATUS_OK);
    EXPECT_EQ(fw::wGetNewCommandCount(Q), 0);
    EXPECT_EQ(fw::wGetNewCommandCount(0x62), 0);
    EXPECT_EQ(fw::wGetTotalCommands(0x62), 0);
    EXPECT_EQ(fw::wGetCommandCompleteCount(0x62), 0);
    EXPECT_EQ(fw::wGetNewCommandOutPos(0x62), 0xFFFF);
    EXPECT_EQ(fw::bPeekKernelEntry(0x62, &ps), fw::STATUS_NOT_FOUND);
    EXPECT_EQ(fw::bPeekOtherQueueEntry(), fw::STATUS_NOT_FOUND);
}

// The drive side in miniature: commands go out on the new-command ring, come
// back on the completion ring, and each completion pops one callback of the
// mother, the last pushed first.
std::vector<int> g_aiCalls;
void First(KERNEL_ENTRY*) { g_aiCalls.push_back(1); }
void Second(KERNEL_ENTRY*) { g_aiCalls.push_back(2); }
void Third(KERNEL_ENTRY*) { g_aiCalls.push_back(3); }

TEST_F(KernelQueueTest, LoopBackThroughTheDriveSide) {
    g_aiCalls.clear();
    KERNEL_ENTRY* psMother = NewCommand();
    psMother->psMother = psMother;
    for (auto pfn : {First, Second, Third}) ASSERT_EQ(fw::bPushCompletionCallback(psMother, pfn), fw::STATUS_OK);
    KERNEL_ENTRY* psChildren[3];
    for (KERNEL_ENTRY*& psChild : psChildren) {
        psChild = NewCommand();
        psChild->psMother = psMother;
        ASSERT_EQ(fw::QueueKernelEntry(Q, psChild->wIndex), fw::STATUS_OK);
    }
    psMother->wChildrenOutstanding = 3;

    // Drive side: take each new command to the chip, then complete it.
    KERNEL_ENTRY* ps = nullptr;
    std::vector<KERNEL_ENTRY*> atChip;
    while (fw::bPeekKernelEntry(Q, &ps) == fw::STATUS_FOUND) {
        fw::DequeueKernelEntry(Q);
        ps->bPrimaryState = fw::PS_AT_CHIP;
        atChip.push_back(ps);
    }
    ASSERT_EQ(atChip.size(), 3u);
    for (KERNEL_ENTRY* psDone : atChip) {
        psDone->bPrimaryState = fw::PS_COMPLETED;
        ASSERT_EQ(fw::QueueKernelEntryComplete(Q, psDone->wIndex), fw::STATUS_OK);
    }
    EXPECT_EQ(fw::wGetCommandCompleteCount(Q), 3);

    // Back end: one callback of the mother per completion.
    std::vector<KERNEL_ENTRY*> completed;
    while (fw::bPeekCompletedEntry(Q, &ps) == fw::STATUS_FOUND) {
        completed.push_back(ps);
        fw::DecrementTotalCommands(Q);
        fw::DequeueCompletedEntry(Q);
        KERNEL_ENTRY* psOwner = ps->psMother;
        psOwner->wChildrenOutstanding--;
        fw::pPopCompletionCallback(psOwner)(psOwner);
        fw::FreeKernelEntries(ps);
    }
    EXPECT_EQ(completed, std::vector<KERNEL_ENTRY*>(psChildren, psChildren + 3));
    EXPECT_EQ(g_aiCalls, (std::vector<int>{3, 2, 1}));
    EXPECT_EQ(psMother->pCallbackTop, nullptr);
    EXPECT_EQ(psMother->wChildrenOutstanding, 0);
    EXPECT_EQ(fw::wGetTotalCommands(Q), 0);
    EXPECT_EQ(fw::wGetCommandCompleteCount(Q), 0);
    EXPECT_EQ(fw::wGetKernelEntriesUsed(), 1);
}

}  // namespace
