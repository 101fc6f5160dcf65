// The dual-controller dumps in the states a pair passes through: the
// slave at work (a drive command its partner forwarded still at the
// drive, a row's old contents held for its partner), a running controller
// holding its host commands for a partner that joins, the old contents of
// a degraded row held while the partner's journal still has the write,
// and partner commands arriving on the Fibre Channel drive loops.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "../console/dual_controller_dump_goldens.h"
#include "../fc/drive_loop_harness.h"
#include "executive/buffer_pages.h"
#include "executive/work_flags.h"
#include "harness/dual_pair.h"
#include "harness/main_loop_call.h"
#include "hw/scsi.h"
#include "mirrored_array.h"
#include "partner/parity_read_data.h"
#include "partner/partner_link.h"
#include "partner/partner_messages.h"
#include "sim/fc_host.h"
#include "sim/side_by_side.h"

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

// What a dump printed, masked: it prints when called on the board's main
// loop, and the console drains as the boards run.  They run 50 ms whatever
// is printed, so that what a later display measures does not hang on it.
using Runner = std::function<bool(const std::function<bool()>&, uint64_t)>;
std::string Shown(sim::Board& board, const Runner& run, const std::function<void()>& show) {
    board.ClearConsoleText();
    harness::OnMainLoop(board, show);
    (void)run([] { return false; }, 50 * kMs);
    return dualdumps::Masked(board.ConsoleText());
}

Runner PairRunner(dual::Pair& pair) {
    return [&pair](const std::function<bool()>& done, uint64_t limitNs) { return pair.RunUntil(done, limitNs); };
}

// The expected text with its placeholder filled in.
std::string With(std::string s, const std::string& sPlaceholder, const std::string& sValue) {
    s.replace(s.find(sPlaceholder), sPlaceholder.size(), sValue);
    return s;
}

std::string Hex(uint32_t d, int iDigits) {
    char sz[9];
    std::snprintf(sz, sizeof sz, "%0*x", iDigits, d);
    return sz;
}

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

    const std::string sExpected = With(dualdumps::kSlaveAtWork, "<buffer>",
                                       Hex(static_cast<uint32_t>(fw_b::psGetParityReadDataEntry(10)->dBuffer), 8));
    EXPECT_EQ(Shown(pair.b->board, PairRunner(pair),
                    [] {
                        fw_b::ShowDualControllerStats();
                        fw_b::ShowDualControllerStats();
                        fw_b::ShowDualControllerIncomingQueue();
                        fw_b::ShowDualControllerOutgoingQueue();
                        fw_b::ShowOtherControllerParityReadDataQueue();
                    }),
              sExpected);
}

// Controller 0 runs alone and controller 1 starts beside it.  From the
// joiner's heartbeat request until it asks for the start-of-day answer,
// controller 0 holds its host commands: its stats show the hold, and no
// longer once the joiner asked and the link is valid.
TEST(PartnerDumps, TheRunningControllerShowsItHoldsHostCommandsForAJoiner) {
    sim::Clock clock;
    sim::Chassis chassis;
    dual::Side a(&clock, chassis, true);
    ASSERT_TRUE(sim::RunSideBySide({&a.board}, [&] { return a.Booted(); }, dual::kBootLimitNs))
        << a.board.ConsoleText();
    dual::Side b(&clock, chassis, false);
    sim::Board::ConnectPartners(a.board, b.board);
    const Runner run = [&](const std::function<bool()>& done, uint64_t limitNs) {
        return sim::RunSideBySide({&a.board, &b.board}, done, limitNs);
    };
    ASSERT_TRUE(run([] { return fw::fGetPartnerWork() == fw::TRUE; }, dual::kBootLimitNs)) << b.board.ConsoleText();
    EXPECT_EQ(Shown(a.board, run, fw::ShowDualControllerStats), dualdumps::kHoldingForAJoiner);
    ASSERT_TRUE(run([] { return fw::fIsDualControllerActive() == fw::TRUE; }, 30'000 * kMs)) << b.board.ConsoleText();
    EXPECT_EQ(fw::fGetPartnerWork(), fw::FALSE);
    EXPECT_EQ(Shown(a.board, run, fw::ShowDualControllerStats), dualdumps::kJoined);
}

// Controller 0 updates a row of a RAID 5 that lost a member.  Before it
// writes, it gives controller 1 the row's old parity and data with the
// journal slot of the host write; controller 1's copy of that slot holds
// the same write while it keeps them, so the entry shows "Valid".
TEST(PartnerDumps, ARowsOldContentsHeldWithThePartnersJournalledWriteShowValid) {
    constexpr uint16_t kChunk = 64;
    constexpr unsigned kMissing = 4;
    dual::Pair pair;
    dual::PlaceSharedArray(pair.chassis, {"DEGRADED", fw::RAID_LEVEL_5, 4, kChunk},
                           fw::POLICY_WRITE_BACK | fw::POLICY_MIRROR);
    pair.chassis.Pull(kMissing);
    ASSERT_TRUE(pair.Boot()) << pair.Consoles();
    sim::FcHost host(pair.a->board, pair.a->fabric, *sim::FindIspChip(pair.a->board, 1), 0x2100001B32E00051ull);
    ASSERT_TRUE(pair.HostReady(host)) << pair.Consoles();
    // Slow drives keep the copy held long enough to be seen.
    for (unsigned s = 1; s < kMissing; ++s) pair.chassis.DriveAt(s)->SetExtraLatencyNs(20 * kMs);
    // Row 1 has the missing member 3 as a data chunk; its first data chunk
    // is member 0's, blocks 72-79 there.
    sim::FcpCommand c;
    c.cdb = dual::Cdb16(fw::SCSI_WRITE16, 3 * kChunk + 8, 8);
    c.dataOut.assign(8 * 512, 0x5A);
    const uint32_t tag = host.initiator().Submit(host.target(), c);
    const fw::PARITY_READ_DATA_ENTRY* psHeld = nullptr;
    ASSERT_TRUE(pair.RunUntil(
        [&] {
            for (uint16_t w = 0; w < fw::PARITY_READ_DATA_ENTRIES && psHeld == nullptr; ++w) {
                const fw::PARITY_READ_DATA_ENTRY* ps = fw_b::psGetParityReadDataEntry(w);
                if (ps->fValid == fw::TRUE && ps->bState == fw::PARITY_DATA_ARRIVED) psHeld = ps;
            }
            return psHeld != nullptr;
        },
        20'000 * kMs))
        << pair.Consoles();
    ASSERT_NE(psHeld->wJournalIndex, 0xFFFF);
    const std::string sExpected =
        With(With(With(dualdumps::kRowHeldWithItsWrite, "<entry>", Hex(psHeld->wEntry, 3)), "<buffer>",
                  Hex(static_cast<uint32_t>(psHeld->dBuffer), 8)),
             "<slot>", Hex(psHeld->wJournalIndex, 3));
    EXPECT_EQ(Shown(pair.b->board, PairRunner(pair), fw_b::ShowOtherControllerParityReadDataQueue), sExpected);
    // The row's writes done, the partner lets the copy go.
    ASSERT_TRUE(pair.RunUntil([&] { return host.initiator().Finished(tag) && psHeld->fValid != fw::TRUE; },
                              20'000 * kMs))
        << pair.Consoles();
    EXPECT_EQ(host.initiator().Result(tag).status, 0);
}

// A board with the Fibre Channel drive loops takes partner commands from
// either loop chip's response ring, and the incoming queue labels each by
// its loop.  The loop chip model has no target mode: the test puts the
// partner's command entries on the rings as the chips would.  This
// controller has no partner, and its answers to a drive loop's partner
// commands go nowhere, so both stay checked in their slots.
TEST(PartnerDumps, PartnerCommandsFromTheDriveLoopsAreLabelledByLoop) {
    looptest::LoopController c;
    c.AddDrive(1);
    ASSERT_TRUE(c.Boot()) << c.board.ConsoleText();
    const Runner run = [&](const std::function<bool()>& done, uint64_t limitNs) {
        return c.board.RunUntil(done, limitNs) == sim::StopKind::Running;
    };
    // The loops' bring-up reports every kernel entry it checked; the dump
    // is read once that report has drained.
    const std::string sEnd = "ValidateInitiatorCommandsAfterLIP EXIT \r\n";
    ASSERT_TRUE(run(
        [&] {
            const std::string& t = c.board.ConsoleText();
            return t.size() >= sEnd.size() && t.compare(t.size() - sEnd.size(), sEnd.size(), sEnd) == 0;
        },
        60'000 * kMs));
    for (uint8_t chip = 3; chip <= 4; ++chip) {
        fw::INTER_CONTROLLER_MESSAGE s = dual::TypedMessage(chip == 3 ? 42 : 109);
        s.bEntryType = 0x16;   // a command from the partner's port on the loop
        std::array<uint8_t, 64> e{};
        std::memcpy(e.data(), &s, sizeof s);
        c.Chip(chip).Respond(e);
    }
    ASSERT_TRUE(run([] { return fw::sGetPartnerMessageCounts().wIncomingTotal == 2; }, 100 * kMs));
    EXPECT_EQ(Shown(c.board, run, fw::ShowDualControllerIncomingQueue), dualdumps::kFromTheDriveLoops);
}

}  // namespace
