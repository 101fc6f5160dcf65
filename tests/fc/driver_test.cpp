// The driver's layers against a running controller's chips: register and
// mailbox access, the request ring and its posting, the request entries,
// the handle map and the chip services.  Each test runs firmware on the
// processor after start of day (the main loop is left for it).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "eventlog/event_log.h"
#include "executive/buffer_pages.h"
#include "executive/interrupt_controller.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "fc/fc_driver.h"
#include "hw/isp_fc.h"
#include "harness/fc_controller.h"

namespace {

using namespace fw;
using fctest::FcController;

class DriverTest : public ::testing::Test {
protected:
    // Runs on the processor; the test fails when it stopped otherwise.
    void Cpu(const std::function<void()>& fn) { ASSERT_EQ(c.board.RunOnCpu(fn), sim::StopKind::Finished); }
    FcController c;
};

TEST_F(DriverTest, AbsentChipsAndBadNumbersFailWithoutAccess) {
    Cpu([&] {
        const uint32_t writes = c.Chip(1).registerWrites();
        uint16_t w = 0;
        uint32_t d = 0;
        EXPECT_EQ(bQLReadReg16(3, ISP24_REG_MAILBOX0, &w), 0);
        EXPECT_EQ(bQLWriteReg32(4, ISP24_REG_HCCR, 0), 0);
        EXPECT_EQ(bQLReadReg32(0, ISP24_REG_HCCR, &d), 0);
        EXPECT_EQ(bGetFirmwareState(3, &w), 0);
        EXPECT_EQ(w, QL_FIRMWARE_STATE_UNREAD);
        EXPECT_EQ(wQLGetSavedMailbox(5, 0), 0xFFFF);
        // ISP24xx has no form of the ISP2x00 target start.
        EXPECT_EQ(bQLHostCommand(1, ISP_HC_2X00_TARGET_START), 0);
        EXPECT_EQ(c.Chip(1).registerWrites(), writes);
        EXPECT_EQ(fIsChipPresent(3), FALSE);
    });
}

// Chip 2's registers are 0x1000 into access unit 1's window.
TEST_F(DriverTest, ChipTwoAnswersAtItsOwnWindow) {
    Cpu([&] {
        ASSERT_EQ(bQLWriteMailbox(2, 3, 0xBEEF), STATUS_OK);
        uint16_t w = 0;
        ASSERT_EQ(bQLReadMailboxReg(2, 3, &w), STATUS_OK);
        EXPECT_EQ(w, 0xBEEF);
        ASSERT_EQ(bQLReadMailboxReg(1, 3, &w), STATUS_OK);
        EXPECT_NE(w, 0xBEEF);
    });
}

// A command the chip never answers times out; the next one works.
TEST_F(DriverTest, MailboxTimeOutIsFollowedByAWorkingCommand) {
    c.Chip(1).faults.silentMailboxCommands = 1;
    Cpu([&] {
        uint16_t wState = 0;
        const uint64_t lStart = lGetTickCount();
        EXPECT_EQ(bGetFirmwareState(1, &wState), 0);
        EXPECT_GE(lGetTickCount() - lStart, 1000u);   // the wait is bounded, not short
        EXPECT_EQ(bGetFirmwareState(1, &wState), STATUS_OK);
        EXPECT_EQ(wState, ISP_FW_STATE_READY);
    });
}

TEST_F(DriverTest, ABusErrorFailsTheAccess) {
    Cpu([&] {
        c.Chip(1).faults.busError = true;
        uint32_t d = 0;
        EXPECT_EQ(bQLReadReg32(1, ISP24_REG_HCCR, &d), 0);
        uint16_t wState = 0;
        EXPECT_EQ(bGetFirmwareState(1, &wState), 0);
        c.Chip(1).faults.busError = false;
        EXPECT_EQ(bQLReadReg32(1, ISP24_REG_HCCR, &d), STATUS_OK);
    });
}

// With the host chips' interrupt held, a polled command sees the RISC
// interrupt in the status register itself.
TEST_F(DriverTest, PolledInterruptIsSeenInTheStatusRegister) {
    Cpu([&] {
        const uint8_t bLock = LockInterruptSource(INT_SOURCE_HOST_CHIPS);
        EXPECT_EQ(bQLPollRiscInterrupt(1), 0);   // nothing pending: the poll runs out
        c.Chip(1).RaiseAsyncEvent(ISP_AEN_RSCN);
        EXPECT_EQ(bQLPollRiscInterrupt(1), STATUS_OK);
        EXPECT_EQ(bQLClearRiscInterrupt(1), STATUS_OK);
        EXPECT_EQ(bQLPollRiscInterrupt(1), 0);
        if (bLock != STATUS_LOCK_HELD) UnlockInterruptSource(INT_SOURCE_HOST_CHIPS);
    });
}

// in = 5, out = 5: 127 free; in = 4, out = 5: none; a post into a full
// ring waits until the chip takes an entry, then goes on.
TEST_F(DriverTest, RequestRingFreeSlotsAndAPostThatWaits) {
    Cpu([&] {
        uint8_t abMarker[ISP_ENTRY_BYTES] = {ISP_ENTRY_MARKER, 1};
        // The ring starts where start-up left it: bring the chip's
        // out-pointer to 5 with in = out.
        while (wGetRequestInPointer(1) != 5) ASSERT_EQ(bPostRequestQueueEntries(1, 1, abMarker), STATUS_OK);
        for (int i = 0; i < 100 && c.Chip(1).requestOut() != 5; ++i) SpinDelayMs(1);
        ASSERT_EQ(c.Chip(1).requestOut(), 5);
        EXPECT_EQ(bRequestRingFree(1), 127);

        c.Chip(1).faults.holdRequests = true;
        for (int i = 0; i < 127; ++i) ASSERT_EQ(bPostRequestQueueEntries(1, 1, abMarker), STATUS_OK);
        EXPECT_EQ(wGetRequestInPointer(1), 4);
        EXPECT_EQ(bRequestRingFree(1), 0);

        // The chip starts taking entries 2 ms from now; the post waits for it.
        c.board.clock().ScheduleIn(2'000'000, [&] { c.Chip(1).ReleaseRequests(); });
        const uint64_t lBefore = lGetTickCount();
        ASSERT_EQ(bPostRequestQueueEntries(1, 1, abMarker), STATUS_OK);
        EXPECT_GE(lGetTickCount() - lBefore, 1u);
        EXPECT_EQ(wGetRequestInPointer(1), 5);
        // A run longer than the ring can ever hold is refused, not waited for.
        EXPECT_EQ(bPostRequestQueueEntries(1, 128, abMarker), 0);
        // So is a post to a chip that is not there.
        EXPECT_EQ(bPostRequestQueueEntries(3, 1, abMarker), 0);
    });
}

TEST_F(DriverTest, MarkerBytesAndTheTagCounter) {
    Cpu([&] {
        ASSERT_EQ(bSendMarker(1, 0, 0, MARKER_SYNC_ALL), STATUS_OK);
        for (int i = 0; i < 100 && c.Chip(1).markers() == 0; ++i) SpinDelayMs(1);
        const std::array<uint8_t, 64>& m = c.Chip(1).lastMarker();
        EXPECT_EQ(m[0], 0x04);
        EXPECT_EQ(m[1], 0x01);
        EXPECT_EQ(m[2], 0x99);
        EXPECT_EQ(m[3], 0x00);
        EXPECT_EQ(m[0x0A], MARKER_SYNC_ALL);
        for (size_t i = 0x0B; i < 64; ++i) EXPECT_EQ(m[i], 0) << i;

        // 1 to 254, then 0: 255 never comes.
        uint8_t bLast = 0;
        for (int i = 0; i < 600; ++i) {
            const uint8_t b = bNextIocbTag();
            EXPECT_NE(b, 255);
            if (bLast == 254) {
                EXPECT_EQ(b, 0);
            }
            bLast = b;
        }
    });
}

TEST(RequestEntries, CtiosCarryTheBuilderTagAndLengthsActuallyCopied) {
    uint8_t abBytes[40];
    for (uint8_t i = 0; i < 40; ++i) abBytes[i] = static_cast<uint8_t>(0x80 + i);
    uint8_t ab[64];
    // 8 response and 18 sense bytes: 24 copied, the sense trimmed to 16.
    ASSERT_EQ(bBuildQlCtio7Status(0x1234, 5, 0x77, CTIO7_FLAG_STATUS_MODE_1 | CTIO7_FLAG_SEND_STATUS, 0, 0x010203, 9,
                                  0x0202, 18, 8, abBytes, ab),
              STATUS_OK);
    EXPECT_EQ(ab[0], CTIO7_ENTRY_TYPE);
    EXPECT_EQ(ab[1], 1);
    EXPECT_EQ(ab[2], ISP_IOCB_TAG_BUILDER);
    ISP24_CTIO7 s;
    std::memcpy(&s, ab, sizeof s);
    EXPECT_EQ(s.u.sStatus.wResponseLength, 8);
    EXPECT_EQ(s.wSenseLength, 16);
    EXPECT_EQ(s.u.sStatus.abSense[0], 0x80);    // response first
    EXPECT_EQ(s.u.sStatus.abSense[8], 0x88);    // then the sense
    EXPECT_EQ(s.u.sStatus.abSense[23], 0x80 + 8 + 15);
    EXPECT_EQ(s.wPortIdLow, 0x0203);
    EXPECT_EQ(s.bPortIdHigh, 0x01);
    // Nothing to copy: nothing copied.
    ASSERT_EQ(bBuildQlCtio7Status(0, 5, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, ab), STATUS_OK);
    std::memcpy(&s, ab, sizeof s);
    EXPECT_EQ(s.wSenseLength, 0);
    for (uint8_t b : s.u.sStatus.abSense) EXPECT_EQ(b, 0);

    // The ISP2x00 status form holds 26 bytes behind its fields.
    ASSERT_EQ(bBuildQlCtioEntry(1, 2, 3, 0, 0, 2, 30, 4, abBytes, ab), STATUS_OK);
    uint16_t wSense = 0, wResponse = 0;
    std::memcpy(&wSense, ab + 0x20, 2);
    std::memcpy(&wResponse, ab + 0x24, 2);
    EXPECT_EQ(wResponse, 4);
    EXPECT_EQ(wSense, 22);
    EXPECT_EQ(ab[0x26 + 4], abBytes[4]);
    EXPECT_EQ(ab[2], ISP_IOCB_TAG_BUILDER);

    ASSERT_EQ(QL24_BuildCtio7(0xAABBCCDD, 3, 0x44, CTIO7_FLAG_DATA_IN, 7, 0x0A0B0C, 0x55, 1, 0, 0x100, 0, 512,
                              0x04000000, 512, ab),
              STATUS_OK);
    std::memcpy(&s, ab, sizeof s);
    EXPECT_EQ(ab[2], ISP_IOCB_TAG_BUILDER);
    EXPECT_EQ(s.dHandle, 0xAABBCCDDu);
    EXPECT_EQ(s.u.sData.dRelativeOffset, 0x100u);
    EXPECT_EQ(s.u.sData.dSegmentAddressLow, 0x04000000u);
    EXPECT_EQ(s.u.sData.dSegmentAddressHigh, 0u);
    ASSERT_EQ(QL2x_BuildCtio2(1, 2, 3, 0x40, 0, 1, 0, 0, 0, 8, 0x04000000, 8, ab), STATUS_OK);
    EXPECT_EQ(ab[0], CTIO2_ENTRY_TYPE);
    EXPECT_EQ(ab[2], ISP_IOCB_TAG_BUILDER);
}

// The ISP24xx keeps its own command resources: nothing to return.
TEST_F(DriverTest, ModifyLunAndResourcesAreIsp2x00Only) {
    Cpu([&] {
        const uint32_t consumed = c.Chip(1).requestsConsumed();
        EXPECT_EQ(bSendModifyLun(1, 0, 5, 1, 0), STATUS_OK);
        IncTargetResourceCount(1);
        EXPECT_EQ(wGetTargetResourceCount(1), 0);
        ReplenishTargetResources(1);
        SpinDelayMs(1);
        EXPECT_EQ(c.Chip(1).requestsConsumed(), consumed);
    });
}

// On an ISP2x00 port a return that cannot be posted keeps the count.
TEST_F(DriverTest, AFailedReturnKeepsTheCount) {
    Cpu([&] {
        SetQL24xx(FALSE);
        SetChipPresent(1, FALSE);   // nothing to post to
        IncTargetResourceCount(1);
        IncTargetResourceCount(1);
        SetTargetResourceRequest(1, TRUE);
        ReplenishTargetResources(1);
        EXPECT_EQ(wGetTargetResourceCount(1), 2);
        EXPECT_EQ(fGetTargetResourceRequest(1), FALSE);
        IncTargetResourceCount(1);
        EXPECT_EQ(wGetTargetResourceCount(1), 3);
    });
}

TEST(HandleMap, ReplacesInPlaceAndRefusesThe513th) {
    ClearHandleMap(1);
    ClearHandleMap(2);
    uint16_t w = 0;
    uint32_t d = 0;
    EXPECT_EQ(bLookupHandleByPortId(1, 0, &w), 0);   // an empty table names nobody
    ASSERT_EQ(bAddHandleMapping(1, 0x010101, 7), STATUS_OK);
    ASSERT_EQ(bAddHandleMapping(1, 0x010101, 9), STATUS_OK);   // the same port, a new handle
    ASSERT_EQ(bLookupHandleByPortId(1, 0x010101, &w), STATUS_OK);
    EXPECT_EQ(w, 9);
    ASSERT_EQ(bAddHandleMapping(1, 0x020202, 9), STATUS_OK);   // the same handle, a new port
    ASSERT_EQ(bLookupPortIdByHandle(1, &d, 9), STATUS_OK);
    EXPECT_EQ(d, 0x020202u);
    EXPECT_EQ(bLookupHandleByPortId(1, 0x010101, &w), 0);
    EXPECT_EQ(bLookupHandleByPortId(2, 0x020202, &w), 0);       // each chip its own table
    EXPECT_EQ(bRemoveHandleMapping(1, 0x020202, 8), 0);
    EXPECT_EQ(bRemoveHandleMapping(1, 0x020202, 9), STATUS_OK);
    for (uint32_t i = 0; i < HANDLE_MAP_ENTRIES; ++i) ASSERT_EQ(bAddHandleMapping(2, 0x100000 + i, static_cast<uint16_t>(i)), STATUS_OK);
    EXPECT_EQ(bAddHandleMapping(2, 0x200000, 0x600), 0);
    EXPECT_EQ(bAddHandleMapping(2, 0x100005, 0x600), STATUS_OK);   // an update still fits
}

TEST_F(DriverTest, HostMemoryCopyAndItsLimits) {
    Cpu([&] {
        const uint32_t commands = c.Chip(1).mailboxCommands();
        EXPECT_EQ(bQLHostMemCopy(1, 0x84, BUS_ADDRESS{0}, BUS_ADDRESS{0}), 0);
        EXPECT_EQ(bQLHostMemCopy(1, 6, BUS_ADDRESS{0}, BUS_ADDRESS{0}), 0);
        EXPECT_EQ(c.Chip(1).mailboxCommands(), commands);
        c.board.ClearConsoleText();
        EXPECT_EQ(HostMemCopyTest(1), STATUS_OK);
    });
    EXPECT_NE(c.board.ConsoleText().find("HostMemCopy TEST\r\n 1 2 3 4 5 6 7 8 9 a b"), std::string::npos);
    EXPECT_NE(c.board.ConsoleText().find(" 80 \r\n"), std::string::npos);
}

TEST_F(DriverTest, LogoutEntryEndsTheLogin) {
    sim::FcHost host(c.board, c.fabric, c.Port(1), 0x2100001B32000009ull);
    ASSERT_TRUE(host.LogIn());
    const uint16_t handle = c.Chip(1).HandleOf(host.initiator());
    Cpu([&] {
        EXPECT_EQ(bSendLogoutIocb(1, host.initiator().portId(), handle, TRUE), STATUS_OK);
        for (int i = 0; i < 100 && c.Chip(1).logoutEntries() == 0; ++i) SpinDelayMs(1);
        EXPECT_EQ(bSendLogoutIocb(3, 0, 0, TRUE), 0);
    });
    EXPECT_EQ(c.Chip(1).HandleOf(host.initiator()), 0xFFFF);
    EXPECT_EQ(host.initiator().LoginState(c.Port(1)), sim::FcInitiator::Login::None);
}

TEST_F(DriverTest, LinkStatusAndSfpPages) {
    c.Chip(2).linkStatus.dLossOfSync = 3;
    c.Chip(2).sfpDiagnostics[64 + 5] = 0x5A;
    Cpu([&] {
        BUFFER_HANDLE h = NULL_BUFFER_HANDLE;
        ASSERT_EQ(bAllocDataPages(0, 1, &h), STATUS_OK);
        auto* pb = static_cast<uint8_t*>(pBufferHandleToPointer(h));
        // Option 1: the port's own counters.
        ASSERT_EQ(bQLGetLinkStatus(2, 0xEF, dBufferHandleToPciAddress(h), 1), STATUS_OK);
        ISP_LINK_STATUS s;
        std::memcpy(&s, pb, sizeof s);
        EXPECT_EQ(s.dLossOfSync, 3u);
        ASSERT_EQ(bQLReadSfp(2, TRUE, h), STATUS_OK);
        EXPECT_EQ(pb[64 + 5], 0x5A);
        ASSERT_EQ(bQLReadSfp(2, FALSE, h), STATUS_OK);
        EXPECT_EQ(pb[0], 0x03);   // an SFP
        (void)wFreeDataPages(h, 1);
    });
}

}  // namespace
