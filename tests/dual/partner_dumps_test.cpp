// The dual-controller dumps of the slave controller at work: a drive
// command its partner forwarded still at the drive, and a row's old
// contents it holds for its partner.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "../console/dual_controller_dump_goldens.h"
#include "executive/buffer_pages.h"
#include "harness/dual_pair.h"
#include "harness/main_loop_call.h"
#include "hw/scsi.h"
#include "partner/parity_read_data.h"
#include "partner/partner_link.h"
#include "partner/partner_messages.h"

namespace fw_b {
using fw::PARITY_READ_DATA_ENTRY;
const PARITY_READ_DATA_ENTRY* psGetParityReadDataEntry(uint16_t wEntry);
void ShowDualControllerStats();
void ShowDualControllerIncomingQueue();
void ShowDualControllerOutgoingQueue();
void ShowOtherControllerParityReadDataQueue();
}  // namespace fw_b

namespace {

constexpr uint64_t kMs = 1'000'000ull;

// Controller 1 with one of each: a TEST UNIT READY its partner forwarded to
// the drive in slot 3, which takes 200 ms to answer, and the old parity and
// data of a row (message 111, entry 10, journal slot none) its partner
// sent before updating the row.
TEST(PartnerDumps, TheSlaveWithAForwardedCommandAtItsDriveAndACopyHeld) {
    dual::Pair pair;
    ASSERT_TRUE(pair.Boot()) << pair.Consoles();
    sim::Drive* drive = pair.chassis.DriveAt(3);
    drive->SetExtraLatencyNs(200 * kMs);
    fw::INTER_CONTROLLER_MESSAGE s = dual::TypedMessage(0);
    s.abCdb[0] = fw::PARTNER_OPCODE_FORWARDED;
    s.abCdb[1] = fw::SCSI_TEST_UNIT_READY;
    s.wLun = pair.b->board.sasController().TargetOf(drive->config().sasAddress);
    uint16_t wSlot = 0;
    ASSERT_EQ(fw::bSendMessageToPartner(&s, &wSlot, 0), fw::STATUS_OK);

    fw::BUFFER_HANDLE dHandle = fw::NULL_BUFFER_HANDLE;
    ASSERT_EQ(fw::bAllocDataPages(0, 1, &dHandle), fw::STATUS_OK);
    fw::INTER_CONTROLLER_MESSAGE p = dual::TypedMessage(fw::PARTNER_MESSAGE_PARITY_DATA);
    fw::PutBe16(p.abCdb + 2, 10);
    fw::PutBe32(p.abCdb + 4, 0x1234);
    fw::PutBe16(p.abCdb + 8, 2);
    p.abCdb[10] = 0;
    p.abCdb[11] = 1;
    p.abCdb[12] = 2;
    p.abCdb[13] = 162;
    fw::PutBe16(p.abCdb + 14, 0xFFFF);
    p.wControlFlags = fw::PARTNER_CONTROL_DATA_OUT;
    p.wSegmentCount = 1;
    p.dByteCount = 4 * 512;
    p.adSegment[0] = static_cast<uint32_t>(fw::dBufferHandleToPciAddress(dHandle));
    p.adSegment[1] = p.dByteCount;
    uint16_t wCopy = 0;
    ASSERT_EQ(fw::bSendMessageToPartner(&p, &wCopy, 0), fw::STATUS_OK);
    ASSERT_TRUE(pair.RunUntil(
        [&] {
            fw::PARTNER_MESSAGE_SLOT* ps = nullptr;
            fw::pGetOutgoingMessageSlot(wCopy, &ps);
            return ps->fInUse != fw::TRUE && fw_b::sGetPartnerMessageCounts().wIncomingTotal == 1;
        },
        100 * kMs))
        << pair.Consoles();
    (void)fw::wFreeDataPages(dHandle, 1);

    std::string sExpected = dualdumps::kSlaveAtWork;
    char szBuffer[9];
    std::snprintf(szBuffer, sizeof szBuffer, "%08x", static_cast<uint32_t>(fw_b::psGetParityReadDataEntry(10)->dBuffer));
    sExpected.replace(sExpected.find("<buffer>"), 8, szBuffer);
    pair.b->board.ClearConsoleText();
    harness::OnMainLoop(pair.b->board, [] {
        fw_b::ShowDualControllerStats();
        fw_b::ShowDualControllerStats();
        fw_b::ShowDualControllerIncomingQueue();
        fw_b::ShowDualControllerOutgoingQueue();
        fw_b::ShowOtherControllerParityReadDataQueue();
    });
    // The console drains as the board runs.
    (void)pair.RunUntil([&] { return dualdumps::Masked(pair.b->board.ConsoleText()) == sExpected; }, 50 * kMs);
    EXPECT_EQ(dualdumps::Masked(pair.b->board.ConsoleText()), sExpected);
}

}  // namespace
