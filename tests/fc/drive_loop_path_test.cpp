// Commands through the drive loops: READ and WRITE entries on queues 3 and 4
// reach the right blocks and complete through the loop chips' interrupt
// path; what that path does with errors, stale and malformed entries; and
// the loops' health watch.
#include <gtest/gtest.h>

#include "config/config_db.h"
#include "eventlog/event_log.h"
#include "executive/buffer_pages.h"
#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "executive/tick.h"
#include "executive/timers.h"
#include "fc/drive_loop_isr.h"
#include "fc/drive_loop_watch.h"
#include "fc/loop_health.h"
#include "fc/loop_operations.h"
#include "sas/sas_scsi_path.h"
#include "tests/fc/drive_loop_harness.h"
#include "hw/addresses.h"

namespace {

using namespace fw;
using looptest::LoopController;
using looptest::StatusEntry;

constexpr uint8_t kDrives = 2;
constexpr uint32_t kBytes = 8 * 512;

uint32_t s_dDone = 0;
void CommandDone(KERNEL_ENTRY*) { ++s_dDone; }

class DriveLoopPath : public ::testing::Test {
protected:
    void SetUp() override {
        s_dDone = 0;
        for (uint8_t k = 0; k < kDrives; ++k) c.AddDrive(k);
        ASSERT_TRUE(c.Boot());
        c.OnCpu([this] { ASSERT_EQ(bAllocDataPages(0, 1, &page), STATUS_OK); });
        ASSERT_NE(page, NULL_BUFFER_HANDLE);
    }

    uint8_t* Data() { return static_cast<uint8_t*>(pBufferHandleToPointer(page)); }

    // One READ(10) or WRITE(10) of 8 blocks at `lba` to drive k on the loop,
    // queued as the RAID engine queues its children; done when its callback ran.
    KERNEL_ENTRY* Queue(uint8_t loop, uint8_t k, bool write, uint32_t lba) {
        KERNEL_ENTRY* ps = nullptr;
        c.OnCpu([&] {
            ASSERT_EQ(bAllocKernelEntries(1, 1, &ps), STATUS_OK);
            const uint8_t cdb[10] = {static_cast<uint8_t>(write ? 0x2A : 0x28), 0,
                                     static_cast<uint8_t>(lba >> 24), static_cast<uint8_t>(lba >> 16),
                                     static_cast<uint8_t>(lba >> 8), static_cast<uint8_t>(lba), 0, 0, 8, 0};
            BuildDriveCommand(ps, loop, FC_AL_LOOP_ID_TO_ALPA[k], 10,
                              write ? DRIVE_COMMAND_DATA_OUT : DRIVE_COMMAND_DATA_IN, kBytes, 1,
                              static_cast<uint32_t>(dBufferHandleToPciAddress(page)), cdb,
                              write ? DRIVE_COMMAND_TYPE_WRITE : DRIVE_COMMAND_TYPE_READ);
            ps->bRank = 0xFF;
            ASSERT_EQ(bPushCompletionCallback(ps, CommandDone), STATUS_OK);
            ASSERT_EQ(QueueKernelEntry(loop, ps->wIndex), STATUS_OK);
        });
        return ps;
    }

    bool RunUntilDone(uint32_t n) {
        return c.board.RunUntil([n] { return s_dDone >= n; }, 30'000'000'000ull) == sim::StopKind::Running &&
               s_dDone >= n;
    }

    // An entry as if posted on the loop's chip with this tag.
    KERNEL_ENTRY* Posted(uint8_t chip, uint8_t tag, uint8_t type, uint8_t k = 0) {
        KERNEL_ENTRY* ps = nullptr;
        c.OnCpu([&] {
            ASSERT_EQ(bAllocKernelEntries(1, 1, &ps), STATUS_OK);
            ps->bPortCode = chip;
            ps->bMark = tag;
            ps->bPrimaryState = PS_AT_CHIP;
            ps->bCommandType = type;
            ps->wTargetId = k;
            ps->bRank = 0xFF;
            ps->psMother = ps;
            ASSERT_EQ(bPushCompletionCallback(ps, CommandDone), STATUS_OK);
        });
        return ps;
    }

    // The entry reached its owner through the completion ring.
    static bool Completed(uint32_t before) { return s_dDone == before + 1; }

    static uint32_t Handle(const KERNEL_ENTRY* ps) {
        return fw::dAddressWord(ps);
    }

    void Respond(uint8_t chip, const std::array<uint8_t, 64>& e) {
        c.Chip(chip).Respond(e);
        c.Run(1'000'000);
    }

    LoopController c;
    BUFFER_HANDLE page = NULL_BUFFER_HANDLE;
};

// A write through loop 3 lands on the drive's blocks; the same blocks read
// back through loop 4 come back whole.
TEST_F(DriveLoopPath, AWriteOnOneLoopReadsBackOnTheOther) {
    for (uint32_t i = 0; i < kBytes; ++i) Data()[i] = static_cast<uint8_t>(i * 7 + 3);
    Queue(3, 1, true, 5000);
    ASSERT_TRUE(RunUntilDone(1));
    std::vector<uint8_t> blocks(kBytes);
    c.drives[1]->ReadBlocks(5000, 8, blocks.data());
    for (uint32_t i = 0; i < kBytes; ++i) ASSERT_EQ(blocks[i], static_cast<uint8_t>(i * 7 + 3)) << i;
    std::vector<uint8_t> other(kBytes);
    c.drives[0]->ReadBlocks(5000, 8, other.data());
    EXPECT_EQ(other, std::vector<uint8_t>(kBytes, 0));

    std::memset(Data(), 0, kBytes);
    Queue(4, 1, false, 5000);
    ASSERT_TRUE(RunUntilDone(2));
    EXPECT_EQ(0, std::memcmp(Data(), blocks.data(), kBytes));
    EXPECT_EQ(wGetTotalCommands(3), 0);
    EXPECT_EQ(wGetTotalCommands(4), 0);
    EXPECT_EQ(wGetCommandCompleteCount(3), 0);
}

// A drive's CHECK CONDITION goes to the drive error handler with its
// sense: the command reaches its owner with the medium error recorded.
TEST_F(DriveLoopPath, ACheckConditionReachesTheErrorHandlerWithItsSense) {
    c.drives[1]->InjectMediaError(700, 1);
    KERNEL_ENTRY* ps = Queue(4, 1, false, 700);
    ASSERT_TRUE(RunUntilDone(1));
    EXPECT_NE(ps->lFlags & KE_FLAG_SENSE_PRESENT, 0u);
    EXPECT_EQ(psSasFields(ps)->bSenseKey, 3);
    EXPECT_EQ(psSasFields(ps)->bAsc, 0x11);
}

// Good completions finish their entry only when it is still the one posted:
// another tag or a freed entry is stale.  A status word with flag bits and
// completion status 0 is good too.
TEST_F(DriveLoopPath, GoodCompletionsFinishOnlyTheirOwnEntry) {
    KERNEL_ENTRY* ps = Posted(3, 0x41, DRIVE_COMMAND_TYPE_READ);
    Respond(3, StatusEntry(Handle(ps), 0x42, 0, 0));
    EXPECT_EQ(ps->bPrimaryState, PS_AT_CHIP);
    EXPECT_EQ(s_dDone, 0u);
    auto e = StatusEntry(Handle(ps), 0x41, 0, 0);
    e[9] = 0x08;   // a flag bit beside a good status
    Respond(3, e);
    EXPECT_EQ(s_dDone, 1u);
    KERNEL_ENTRY* psOther = Posted(4, 0x43, DRIVE_COMMAND_TYPE_READ);
    Respond(4, StatusEntry(Handle(psOther), 0x43, 0x10, 0));   // CONDITION MET
    EXPECT_EQ(s_dDone, 2u);
    EXPECT_EQ(psOther->lFlags & KE_FLAG_ABORTED, 0u);
}

// What the chip names is checked: an in-pointer beyond the ring runs no
// pass, a handle off the pool's entry boundaries names nothing, and a
// fast-post names an entry only on a boundary.
TEST_F(DriveLoopPath, MalformedPointersAndHandlesAreCountedNotFollowed) {
    KERNEL_ENTRY* ps = Posted(3, 0x51, DRIVE_COMMAND_TYPE_READ);
    const uint32_t badIn = dGetDriveLoopBadInPointers();
    c.Chip(3).nextResponseInPointer = 0x200;
    Respond(3, StatusEntry(Handle(ps), 0x50, 0, 0));   // stale as well, when taken later
    EXPECT_EQ(dGetDriveLoopBadInPointers(), badIn + 1);
    EXPECT_EQ(ps->bPrimaryState, PS_AT_CHIP);

    const uint32_t badHandles = dGetDriveLoopBadHandles();
    Respond(3, StatusEntry(Handle(ps) + 4, 0x51, 0, 0));
    Respond(3, StatusEntry(0x12345678, 0x51, 0, 0));
    EXPECT_EQ(dGetDriveLoopBadHandles(), badHandles + 2);

    const uint32_t h = Handle(ps) + 2;
    c.Chip(3).RaiseAsync(ISP_AEN_2X00_FAST_POST, static_cast<uint16_t>(h), static_cast<uint16_t>(h >> 16));
    c.Run(1'000'000);
    EXPECT_EQ(ps->bPrimaryState, PS_AT_CHIP);
    EXPECT_EQ(dGetDriveLoopBadHandles(), badHandles + 3);
    EXPECT_EQ(s_dDone, 0u);
    c.Chip(3).RaiseAsync(ISP_AEN_2X00_FAST_POST, static_cast<uint16_t>(Handle(ps)),
                         static_cast<uint16_t>(Handle(ps) >> 16));
    c.Run(1'000'000);
    EXPECT_EQ(s_dDone, 1u);
}

// Transport errors: a time-out counts a loop error and marks the drive's
// memory; status 0x2B asks for a reset of both loops; two underruns on a
// loop within 120 ticks post event 59.
TEST_F(DriveLoopPath, TransportErrorsAreJudged) {
    KERNEL_ENTRY* ps = Posted(3, 0x61, DRIVE_COMMAND_TYPE_READ, 1);
    Respond(3, StatusEntry(Handle(ps), 0x61, 0, 6));
    EXPECT_EQ(s_dDone, 1u);
    EXPECT_EQ(dGetDriveLoopErrorCount(3), 1u);
    EXPECT_EQ(bGetDriveLoopDeviceCount(), 1);
    EXPECT_EQ(psGetDriveLoopDevice(0)->bState, 0x67);

    ps = Posted(4, 0x62, 0x30, 1);
    EXPECT_EQ(fGetLoopResetRequest(3), FALSE);
    Respond(4, StatusEntry(Handle(ps), 0x62, 0, 0x2B));
    EXPECT_EQ(s_dDone, 2u);
    EXPECT_NE(ps->lFlags & KE_FLAG_CHILD_FAILED, 0u);
    EXPECT_TRUE(fGetLoopResetRequest(3) == TRUE || c.Chip(3).loopResets() > 0);
    EXPECT_TRUE(fGetLoopResetRequest(4) == TRUE || c.Chip(4).loopResets() > 0);

    const uint32_t underruns = harness::CountEvents(59);
    KERNEL_ENTRY* psA = Posted(3, 0x63, 0x30, 1);
    Respond(3, StatusEntry(Handle(psA), 0x63, 0, 0x15));
    EXPECT_EQ(harness::CountEvents(59), underruns);
    KERNEL_ENTRY* psB = Posted(3, 0x64, 0x30, 1);
    Respond(3, StatusEntry(Handle(psB), 0x64, 0, 0x15));
    EXPECT_EQ(harness::CountEvents(59), underruns + 1);
    // A mode-page read short of data says nothing about the loop.
    KERNEL_ENTRY* psC = Posted(4, 0x65, DRIVE_COMMAND_TYPE_MODE_PAGES, 1);
    Respond(4, StatusEntry(Handle(psC), 0x65, 0, 0x15));
    EXPECT_EQ(dGetDriveLoopUnderrunTick(4), 0u);
}

// The host chips of this board are ISP24xx; the loop chips' interrupt is
// still cleared at their own HCCR.  (A clear written at the host chips'
// offset lands in a loop chip's mailbox 4: the interrupt stays raised and
// the handler is entered without end.)
TEST(DriveLoopInterrupt, EachPassClearsTheLoopChipsInterrupt) {
    LoopController c;
    c.AddDrive(0);
    c.board.SetResetEntry(&ControllerEntry);
    c.board.Boot();
    constexpr uint64_t kStuckNs = 10'000'000;
    auto stuck = [&c] { return c.Chip(3).raisedForNs() > kStuckNs || c.Chip(4).raisedForNs() > kStuckNs; };
    c.board.RunUntil([&] { return stuck() || LoopController::BroughtUp(); }, looptest::kBootLimitNs);
    ASSERT_FALSE(stuck());
    ASSERT_TRUE(LoopController::BroughtUp());
    EXPECT_EQ(fIsQL24xx(), TRUE);
    EXPECT_GT(c.Chip(3).commandsExecuted(), 0u);
}

// A cleared task set ends the drive's outstanding command at once, with
// completion status 4: it reaches its owner long before its time-out would
// have, and, not being a loop fault, counts no loop error, leaves no mark in
// the device memory and asks for no loop reset.
TEST_F(DriveLoopPath, AClearedTaskSetEndsItsCommandAtOnce) {
    c.Device(3, 1)->timesOut = true;
    (void)Queue(3, 1, false, 0);
    c.Run(10'000'000);
    ASSERT_EQ(s_dDone, 0u);
    const uint64_t cleared = c.board.clock().Now();
    ASSERT_TRUE(c.CallWaiting([] { (void)bQLClearTaskSet(3, FC_AL_LOOP_ID_TO_ALPA[1]); }));
    ASSERT_TRUE(RunUntilDone(1));
    EXPECT_LT(c.board.clock().Now() - cleared, 1'000'000'000ull);
    EXPECT_EQ(dGetDriveLoopErrorCount(3), 0u);
    EXPECT_EQ(bGetDriveLoopDeviceCount(), 0);
    EXPECT_EQ(fGetLoopResetRequest(3), FALSE);
    EXPECT_EQ(fGetLoopResetRequest(4), FALSE);
}

// Loop down on loop 1 asks for a reset of loop 2; the loop is no longer
// ready or up.
TEST_F(DriveLoopPath, LoopDownOnOneLoopResetsTheOther) {
    const uint32_t resets = c.Chip(4).loopResets();
    c.Chip(3).LoopDown();
    c.Run(1'000'000);
    EXPECT_EQ(fIsDriveLoopUp(3), FALSE);
    EXPECT_EQ(fIsDriveLoopReady(3), FALSE);
    EXPECT_EQ(bGetPortLoopState(3), 0);
    c.Run(100'000'000);
    EXPECT_EQ(c.Chip(4).loopResets(), resets + 1);
    EXPECT_EQ(c.Chip(3).loopResets(), 0u);
    EXPECT_EQ(harness::CountEvents(35), 1u);
}

// The 25th loop error of a window posts its event and asks for both loops
// to be reset, once; later errors post nothing more.
TEST_F(DriveLoopPath, TheTwentyFifthErrorPostsItsEventOnce) {
    c.OnCpu([] {
        for (int i = 0; i < 24; ++i) CountDriveLoopError(4);
    });
    EXPECT_EQ(harness::CountEvents(20), 0u);
    EXPECT_EQ(fIsDriveLoopErrorLimitReached(4), FALSE);
    c.OnCpu([] { CountDriveLoopError(4); });
    EXPECT_EQ(harness::CountEvents(20), 1u);
    EXPECT_EQ(fIsDriveLoopErrorLimitReached(4), TRUE);
    c.OnCpu([] { CountDriveLoopError(4); });
    EXPECT_EQ(harness::CountEvents(20), 1u);
    EXPECT_EQ(harness::CountEvents(19), 0u);
}

// The periodic check leaves healthy loops alone, also just after a loop
// event (which its own reset would cause).
TEST_F(DriveLoopPath, HealthyLoopsAreNeverResetByThePeriodicCheck) {
    c.OnCpu([] {
        RecordLoopEventTick(3);
        RecordLoopEventTick(4);
        PeriodicDriveLoopCheck();
    });
    EXPECT_EQ(fGetLoopResetRequest(3), FALSE);
    EXPECT_EQ(fGetLoopResetRequest(4), FALSE);
    c.Run(100'000'000);
    EXPECT_EQ(c.Chip(3).loopResets(), 0u);
    EXPECT_EQ(c.Chip(4).loopResets(), 0u);
}

// A drive chip's immediate notify is acknowledged and its copy freed; a
// message with a target reset among its task flags marks the loop.
TEST_F(DriveLoopPath, ImmediateNotifiesAreAcknowledgedAndFreed) {
    const uint16_t used = wGetKernelEntriesUsed();
    std::array<uint8_t, 64> e{};
    e[0] = 0x0D;
    e[1] = 1;
    e[8] = 7;                     // initiator loop ID
    e[0x10] = 0x36;               // message received
    e[0x13] = 0x40;               // target reset
    const uint32_t acks = c.Chip(3).notifyAcks();
    Respond(3, e);
    EXPECT_EQ(c.Chip(3).notifyAcks(), acks + 1);
    EXPECT_EQ(c.Chip(3).lastRequest()[0], 0x04);   // the marker after it
    EXPECT_EQ(bGetDriveLoopFlag(3), TRUE);
    EXPECT_EQ(wGetKernelEntriesUsed(), used);
}

}  // namespace
