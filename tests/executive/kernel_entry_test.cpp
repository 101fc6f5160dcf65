// The internal KERNEL_ENTRY pool: runs from the rotor, exhaustion and
// recovery, free of whole runs, address arithmetic, the finders and the
// port-wide abort and requeue.
#include <gtest/gtest.h>

#include <vector>

#include "executive/kernel_entry.h"
#include "executive/console_output.h"
#include "executive/interrupt_controller.h"
#include "executive/kernel_queue.h"
#include "executive/tick.h"
#include "executive/timers.h"
#include "executive/types.h"
#include "sim/board.h"

namespace {

using fw::KERNEL_ENTRY;

class KernelEntryTest : public ::testing::Test {
protected:
    void SetUp() override {
        fw::InitKernelEntryPool();
        fw::InitTimerList();
    }
    static KERNEL_ENTRY* Entry(uint32_t dIndex) {
        KERNEL_ENTRY* ps;
        fw::GetKernelEntryAddress(dIndex, &ps);
        return ps;
    }
    static KERNEL_ENTRY* Alloc(uint16_t wCount) {
        KERNEL_ENTRY* ps = nullptr;
        EXPECT_EQ(fw::bAllocKernelEntries(0, wCount, &ps), fw::STATUS_OK);
        return ps;
    }
    static void AllocAll() {
        for (uint32_t d = 0; d < fw::KERNEL_ENTRY_COUNT; d++) ASSERT_EQ(Alloc(1), Entry(d));
    }
    // A command of port P and target T handed to a drive-side chip.
    static KERNEL_ENTRY* AtChip(uint8_t bPort, uint16_t wTarget, uint8_t bState = fw::PS_AT_CHIP) {
        KERNEL_ENTRY* ps = Alloc(1);
        ps->bPortCode = bPort;
        ps->wTargetId = wTarget;
        ps->bPrimaryState = bState;
        ps->psMother = ps;
        return ps;
    }
    sim::Board board;
};

TEST_F(KernelEntryTest, PoolExhaustsAtItsSizeAndRecoversOnFree) {
    AllocAll();
    EXPECT_EQ(fw::wGetKernelEntriesUsed(), fw::KERNEL_ENTRY_COUNT);
    EXPECT_EQ(fw::fIsKernelPoolExhausted(), fw::FALSE);
    KERNEL_ENTRY* ps = nullptr;
    EXPECT_EQ(fw::bAllocKernelEntries(0, 1, &ps), fw::STATUS_RETRY);
    EXPECT_EQ(fw::fIsKernelPoolExhausted(), fw::TRUE);

    fw::FreeKernelEntries(Entry(1234));
    EXPECT_EQ(fw::fIsKernelPoolExhausted(), fw::FALSE);
    EXPECT_EQ(Entry(1234)->fUsed, fw::FALSE);
    EXPECT_EQ(Entry(1234)->bRank, 0xBB);
    EXPECT_EQ(Alloc(1), Entry(1234));
}

TEST_F(KernelEntryTest, RunsNeverWrapPastTheLastEntry) {
    AllocAll();
    for (uint32_t d : {4094u, 4095u, 0u}) fw::FreeKernelEntries(Entry(d));
    KERNEL_ENTRY* ps = nullptr;
    EXPECT_EQ(fw::bCheckKernelEntryRuns(1, 3), fw::STATUS_RETRY);
    EXPECT_EQ(fw::bAllocKernelEntries(0, 3, &ps), fw::STATUS_RETRY);
    EXPECT_EQ(fw::fIsKernelPoolExhausted(), fw::FALSE);  // fragmentation is not exhaustion
    EXPECT_EQ(fw::bCheckKernelEntryRuns(1, 2), fw::STATUS_OK);
    EXPECT_EQ(fw::bCheckKernelEntryRuns(2, 2), fw::STATUS_RETRY);
    EXPECT_EQ(fw::bCheckKernelEntryRuns(3, 1), fw::STATUS_OK);
    EXPECT_EQ(fw::wGetKernelEntriesUsed(), 4093);  // the look-ahead takes nothing
    EXPECT_EQ(Alloc(2), Entry(4094));
}

TEST_F(KernelEntryTest, FreeReturnsExactlyTheAllocatedRun) {
    KERNEL_ENTRY* psBefore = Alloc(1);
    KERNEL_ENTRY* psRun = Alloc(3);
    KERNEL_ENTRY* psAfter = Alloc(2);
    psRun->bCount = 7;  // the builder writes the chip's block count over the head
    fw::FreeKernelEntries(psRun);
    for (uint32_t d = 1; d <= 3; d++) EXPECT_EQ(Entry(d)->fUsed, fw::FALSE) << d;
    EXPECT_EQ(psBefore->fUsed, fw::TRUE);
    EXPECT_EQ(psAfter->fUsed, fw::TRUE);
    EXPECT_EQ(Entry(5)->fUsed, fw::TRUE);
    EXPECT_EQ(fw::wGetKernelEntriesUsed(), 3);

    // Freeing again, or a pointer into the middle of an entry, changes nothing.
    fw::FreeKernelEntries(psRun);
    fw::FreeKernelEntries(reinterpret_cast<KERNEL_ENTRY*>(reinterpret_cast<uint8_t*>(psAfter) + 4));
    EXPECT_EQ(fw::wGetKernelEntriesUsed(), 3);
}

TEST_F(KernelEntryTest, FreeByBlockCountStopsAtTheLastEntry) {
    AllocAll();
    for (uint32_t d : {4094u, 4095u}) fw::FreeKernelEntries(Entry(d));
    KERNEL_ENTRY* psRun = Alloc(2);
    ASSERT_EQ(psRun, Entry(4094));
    // A member of a run carries no run length: its block count says how many.
    KERNEL_ENTRY* psMember = Entry(4095);
    psMember->bCount = 3;
    fw::FreeKernelEntries(psMember);
    EXPECT_EQ(psMember->fUsed, fw::FALSE);
    EXPECT_EQ(Entry(0)->fUsed, fw::TRUE);
    EXPECT_EQ(Entry(1)->fUsed, fw::TRUE);
    EXPECT_EQ(Entry(4094)->fUsed, fw::TRUE);
}

TEST_F(KernelEntryTest, AddressesAndNeighbours) {
    struct Case {
        uint32_t dIndex;
        bool fEntry;
    };
    const Case cases[] = {{0, true}, {4095, true}, {4096, false}, {0xFFFF, false}, {0x10000, false}};
    for (const Case& c : cases) {
        KERNEL_ENTRY* ps = reinterpret_cast<KERNEL_ENTRY*>(1);
        EXPECT_EQ(fw::GetKernelEntryAddress(c.dIndex, &ps), static_cast<uint16_t>(c.dIndex));
        EXPECT_EQ(ps != nullptr, c.fEntry) << c.dIndex;
        if (ps != nullptr) {
            EXPECT_EQ(ps->wIndex, c.dIndex);
        }
    }
    EXPECT_EQ(reinterpret_cast<uint8_t*>(Entry(1)) - reinterpret_cast<uint8_t*>(Entry(0)),
              static_cast<ptrdiff_t>(sizeof(KERNEL_ENTRY)));
    const uint8_t* pbEnd = reinterpret_cast<const uint8_t*>(Entry(4095)) + sizeof(KERNEL_ENTRY);
    EXPECT_EQ(fw::fIsKernelEntryAddress(Entry(0)), fw::TRUE);
    EXPECT_EQ(fw::fIsKernelEntryAddress(pbEnd - 1), fw::TRUE);
    EXPECT_EQ(fw::fIsKernelEntryAddress(pbEnd), fw::FALSE);
    EXPECT_EQ(fw::fIsKernelEntryAddress(reinterpret_cast<const uint8_t*>(Entry(0)) - 1), fw::FALSE);

    KERNEL_ENTRY* ps;
    EXPECT_EQ(fw::GetNextKernelEntryAddress(Entry(4095), &ps), Entry(0));
    EXPECT_EQ(fw::GetNextKernelEntryAddress(Entry(7), &ps), Entry(8));
    fw::GetPrevKernelEntryAddress(Entry(0), &ps);
    EXPECT_EQ(ps, Entry(4095));
    fw::GetPrevKernelEntryAddress(Entry(8), &ps);
    EXPECT_EQ(ps, Entry(7));
}

TEST_F(KernelEntryTest, FindersAndTheRotorHold) {
    KERNEL_ENTRY* psA = AtChip('a', 1, 0x30);
    KERNEL_ENTRY* psB = AtChip('a', 2, 0x30);
    AtChip(3, 2, 0x30);
    KERNEL_ENTRY* ps = nullptr;
    psA->bCommandType = fw::COMMAND_TYPE_ROTOR_HOLD;
    EXPECT_EQ(fw::bFindPortEntryInState('a', 0x30, &ps), fw::STATUS_FOUND);
    EXPECT_EQ(ps, psA);
    EXPECT_EQ(fw::bFindPortEntryInState('a', 0x30, &ps), fw::STATUS_FOUND);
    EXPECT_EQ(ps, psA);  // type 10 keeps the rotor on it
    psA->bCommandType = 0;
    EXPECT_EQ(fw::bFindPortEntryInState('a', 0x30, &ps), fw::STATUS_FOUND);
    EXPECT_EQ(ps, psA);
    EXPECT_EQ(fw::bFindPortEntryInState('a', 0x30, &ps), fw::STATUS_FOUND);
    EXPECT_EQ(ps, psB);
    EXPECT_EQ(fw::bFindPortEntryInState('a', 0x31, &ps), fw::STATUS_NOT_FOUND);
}

TEST_F(KernelEntryTest, PortAbortCompletesInFlightCommandsAndMarksMothers) {
    struct MotherCase {
        uint8_t bType;
        uint8_t bState;
        uint64_t lFlags;
        bool fMarked;
    };
    const MotherCase cases[] = {
        {0x01, 0x00, 0, true},          {0xEF, 0x00, 0, false},       {0xEF, 0xAA, 0, true},
        {0xD6, 0x00, 0, false},         {0xD5, 0x00, 0, true},        {0xD5, 0x00, fw::KE_FLAG_BIT56, false},
    };
    for (const MotherCase& c : cases) {
        fw::InitKernelEntryPool();
        KERNEL_ENTRY* psMother = Alloc(1);
        psMother->bCommandType = c.bType;
        psMother->bPrimaryState = c.bState;
        psMother->lFlags = c.lFlags;
        psMother->bPortCode = fw::PORT_CODE_INTERNAL;
        KERNEL_ENTRY* psChild = AtChip('a', 5);
        psChild->psMother = psMother;
        KERNEL_ENTRY* psOtherTarget = AtChip('a', 6, fw::PS_AT_CHIP_ALTERNATE);
        KERNEL_ENTRY* psParked = AtChip('a', 5, fw::PS_PARKED_5F);

        fw::AbortPortEntries('a', 5);
        EXPECT_NE(psChild->lFlags & fw::KE_FLAG_ABORTED, 0u);
        EXPECT_EQ(psChild->bPrimaryState, fw::PS_COMPLETED);
        EXPECT_NE(psParked->lFlags & fw::KE_FLAG_ABORTED, 0u);
        EXPECT_EQ(psParked->bPrimaryState, fw::PS_PARKED_5F);
        EXPECT_EQ(psOtherTarget->lFlags, 0u);
        EXPECT_EQ((psMother->lFlags & fw::KE_FLAG_ABORTED) != 0, c.fMarked) << std::hex << int(c.bType);
        EXPECT_EQ(fw::wGetCommandCompleteCount(fw::PORT_CODE_INITIATOR), 1);
        KERNEL_ENTRY* ps = nullptr;
        ASSERT_EQ(fw::bPeekCompletedEntry(fw::PORT_CODE_INITIATOR, &ps), fw::STATUS_FOUND);
        EXPECT_EQ(ps, psChild);
    }
    // Target 255 takes every target of the port.
    fw::AbortPortEntries('a', fw::NO_TARGET);
    EXPECT_EQ(fw::wGetCommandCompleteCount(fw::PORT_CODE_INITIATOR), 2);
}

TEST_F(KernelEntryTest, PortRequeueRetargetsOncePerResetAndKeepsTheCount) {
    KERNEL_ENTRY* psWrite = AtChip('a', 5);
    KERNEL_ENTRY* psSync = AtChip('a', 5, fw::PS_AT_CHIP_ALTERNATE);
    psSync->abCdb[0] = 0x35;
    KERNEL_ENTRY* psWaiting = AtChip('a', 5, 0x5B);
    fw::IncrementTotalCommands(fw::PORT_CODE_INITIATOR);  // both went out through the queue
    fw::IncrementTotalCommands(fw::PORT_CODE_INITIATOR);

    fw::RequeuePortEntries('a', 5, 9);
    EXPECT_EQ(fw::wGetNewCommandCount(fw::PORT_CODE_INITIATOR), 2);
    EXPECT_EQ(fw::wGetTotalCommands(fw::PORT_CODE_INITIATOR), 2);
    EXPECT_EQ(psWrite->bPrimaryState, fw::PS_NEW_COMMAND);
    EXPECT_EQ(psSync->bPrimaryState, fw::PS_NEW_COMMAND);
    EXPECT_EQ(psWrite->wTargetId, 9);
    EXPECT_NE(psWrite->lFlags & fw::KE_FLAG_RETARGETED, 0u);
    EXPECT_EQ(psSync->wTargetId, 5);  // SYNCHRONIZE CACHE stays with its drive
    EXPECT_EQ(psSync->lFlags & fw::KE_FLAG_RETARGETED, 0u);
    EXPECT_EQ(psWaiting->wTargetId, 9);
    EXPECT_EQ(psWaiting->bPrimaryState, 0x5B);

    // Already retargeted entries are left alone until the flags are cleared.
    psWrite->bPrimaryState = fw::PS_AT_CHIP;
    fw::RequeuePortEntries('a', fw::NO_TARGET, 7);
    EXPECT_EQ(psWrite->wTargetId, 9);
    EXPECT_EQ(psWrite->bPrimaryState, fw::PS_AT_CHIP);
    fw::ClearPortRetargetFlags('a');
    EXPECT_EQ(psWrite->lFlags & fw::KE_FLAG_RETARGETED, 0u);
}

TEST_F(KernelEntryTest, DumpLinesOfTheInitiatorQueue) {
    fw::ResetInterruptLocks();
    fw::InitConsoleUart(115200);
    KERNEL_ENTRY* psMother = Alloc(1);
    KERNEL_ENTRY* ps = AtChip('a', 0x12);
    ps->psMother = psMother;
    ps->lFlags = 0x0000000100000010ull;
    ps->wChildrenOutstanding = 2;
    ps->wTotalChildren = 3;
    ps->bSecondaryState = 1;
    ps->bCommandType = 0x2A;
    ps->wSegmentCount = 2;
    const uint8_t abCdb[10] = {0x28, 0, 0, 0, 0x10, 0, 0, 0, 8, 0};
    memcpy(ps->abCdb, abCdb, sizeof(abCdb));
    ps->bRank = 3;
    ps->bMember = 4;
    ps->dSerial = 0x12345678;
    ps->lArrivalMs = fw::lGetTickCount() - 1500;
    board.ClearConsoleText();
    fw::PrintKernelEntry(ps->wIndex);
    EXPECT_EQ(board.ConsoleText(), "  1 T0000000100000010 S12 C02:03 P20:01:2a:02 28 00001000 0008 D03:04 IM000 S345678 01.500\r\n");

    ps->bEntryType = fw::ENTRY_TYPE_CONTINUATION;
    board.ClearConsoleText();
    fw::DumpInitiatorKernelQueue();
    EXPECT_EQ(board.ConsoleText().find("\r\nUsed Entries:.......0002\r\nNext Ini Entry Loc:.0002\r\n"), 0u);
    EXPECT_NE(board.ConsoleText().find("\r\nInitiator kernel queue:\r\n  0 T"), std::string::npos);
    EXPECT_NE(board.ConsoleText().find("  1 T Continuation\r\n"), std::string::npos);
}

#if defined(__SANITIZE_ADDRESS__)
void Ignore(KERNEL_ENTRY*, fw::TIMER_NODE*) {}

TEST_F(KernelEntryTest, FreeingAnEntryWithAnArmedTimerIsCaught) {
    KERNEL_ENTRY* ps = Alloc(1);
    fw::InsertTimer(ps, Ignore, 100);
    EXPECT_DEATH(fw::FreeKernelEntries(ps), "");
}
#endif

}  // namespace
