// Loop-level operations on a drive loop of the test board: the wait for a
// loop to come ready, the sweeps that clear task sets and reset targets, the
// position map of links that are no loop, the search for the partner's port
// and the queue parameters it is given, bypass and the loop reset.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "config/config_load_loops.h"
#include "config/drive_loop_tables.h"
#include "eventlog/event_log.h"
#include "fc/loop_maps.h"
#include "fc/ql_firmware_start.h"
#include "fc/ql_target_entries.h"
#include "fc/loop_operations.h"
#include "partner/partner_link.h"
#include "tests/fc/drive_loop_harness.h"

namespace {

using namespace fw;
using looptest::LoopController;

constexpr uint8_t kDrives = 3;
constexpr uint64_t kDrainNs = 1'000'000'000ull;   // the console's lines reach the terminal

class LoopOperations : public ::testing::Test {
protected:
    void SetUp() override {
        for (uint8_t k = 0; k < kDrives; ++k) c.AddDrive(k);
        ASSERT_TRUE(c.Boot());
    }

    // Mailbox commands with this opcode the chip took since `from`, and the
    // loop IDs they named.
    std::vector<uint16_t> Sent(uint8_t chip, uint16_t opcode, size_t from) {
        std::vector<uint16_t> ids;
        const auto& log = c.Chip(chip).mailboxLog();
        const auto& inputs = c.Chip(chip).mailboxInputs();
        for (size_t i = from; i < log.size(); ++i) {
            if (log[i] == opcode) ids.push_back(inputs[i][1]);
        }
        std::sort(ids.begin(), ids.end());
        return ids;
    }
    size_t Mark(uint8_t chip) { return c.Chip(chip).mailboxLog().size(); }

    void Call(const std::function<void()>& fn) { ASSERT_TRUE(c.CallWaiting(fn)); }

    // A controller port on loop 3 that logs in as an FCP initiator.
    void AddInitiator(uint8_t loopId, uint64_t nodeName) {
        sim::LoopDevice d;
        d.alpa = FC_AL_LOOP_ID_TO_ALPA[loopId];
        d.nodeName = nodeName;
        d.portName = nodeName + 1;
        d.initiator = true;
        c.Chip(3).devices.push_back(d);
    }

    LoopController c;
};


// Five one-second checks of the firmware state at most; each is printed.
TEST_F(LoopOperations, TheLoopReadyWaitReportsEachCheck) {
    uint8_t bResult = 0;
    Call([&] { bResult = bQLWaitLoopReady(3); });
    EXPECT_EQ(bResult, STATUS_OK);
    c.Run(kDrainNs);
    EXPECT_NE(c.board.ConsoleText().find("FW state: 0003\r\nLIP complete after 0 ms\r\n"), std::string::npos);

    c.Chip(4).firmwareStateOverride = 2;
    Call([&] { bResult = bQLWaitLoopReady(4); });
    EXPECT_EQ(bResult, 0);
    c.Run(kDrainNs);
    const std::string text = c.board.ConsoleText();
    const size_t first = text.find("FW state: 0002\r\n");
    ASSERT_NE(first, std::string::npos);
    size_t checks = 0;
    for (size_t at = first; (at = text.find("FW state: 0002\r\n", at)) != std::string::npos; ++at) ++checks;
    EXPECT_EQ(checks, 5u);
    EXPECT_NE(text.find("LIP timeout error.\r\n", first), std::string::npos);

    // A state that cannot be read fails at once.
    c.Chip(4).failStatus = MBS_COMMAND_ERROR;
    c.Chip(4).failCommands = 1;
    Call([&] { bResult = bQLWaitLoopReady(4); });
    EXPECT_EQ(bResult, 0);
}

// Task sets are cleared on the drives only; targets are reset on every port
// but the own, and the loop is synchronised with a marker.
TEST_F(LoopOperations, SweepsReachEveryPortButTheOwn) {
    AddInitiator(40, 0x2100001122334455ull);
    Call([] { ASSERT_EQ(BuildLoopPositionMap(3), STATUS_OK); });
    ASSERT_EQ(bGetLoopMapCount(3), kDrives + 2);   // the chip's own AL_PA is in the map

    size_t from = Mark(3);
    Call([] { ClearTaskSetsOnLoop(3); });
    EXPECT_EQ(Sent(3, 0x67, from), (std::vector<uint16_t>{0, 1, 2}));

    from = Mark(3);
    const uint32_t markers = c.Chip(3).markers();
    Call([] { SyncHostLoop(3); });
    c.Run(1'000'000);
    EXPECT_EQ(Sent(3, 0x66, from), (std::vector<uint16_t>{0, 1, 2, 40}));
    EXPECT_EQ(c.Chip(3).markers(), markers + 1);

    // A chip whose firmware is not ready is left alone.
    c.Chip(3).firmwareStateOverride = 1;
    from = Mark(3);
    Call([] {
        ClearTaskSetsOnLoop(3);
        SyncHostLoop(3);
    });
    EXPECT_TRUE(Sent(3, 0x67, from).empty());
    EXPECT_TRUE(Sent(3, 0x66, from).empty());
}

// A point-to-point or fabric link has no position map and still counts as
// read; on a loop the partner's drive-side port is known by its name and an
// initiator of another name is not taken for it.
TEST_F(LoopOperations, MapsOfLinksAndThePartnerSearch) {
    c.Chip(3).topology = 2;
    uint8_t bResult = 0;
    Call([&] { bResult = BuildLoopPositionMap(3); });
    EXPECT_EQ(bResult, STATUS_OK);
    EXPECT_EQ(bGetLoopMapCount(3), 0);
    EXPECT_EQ(bGetPortLoopState(3), PORT_LOOP_STATE_VALID);
    c.Chip(3).topology = 0;

    uint8_t abName[8];
    Call([&] { PartnerDrivePortName(3, abName); });
    uint64_t partner = 0;
    for (uint8_t b : abName) partner = partner << 8 | b;
    AddInitiator(50, partner + 0x10);   // another controller's port
    Call([&] { bResult = BuildLoopPositionMap(3); });
    EXPECT_EQ(bResult, STATUS_OK);
    EXPECT_EQ(fIsPartnerOnPath1(), FALSE);

    AddInitiator(60, partner);
    Call([&] { bResult = BuildLoopPositionMap(3); });
    EXPECT_EQ(fIsPartnerOnPath1(), TRUE);
    EXPECT_EQ(bGetPartnerAlpaPath1(), FC_AL_LOOP_ID_TO_ALPA[60]);

    // The partner's port gets the deeper queue.
    const size_t from = Mark(3);
    Call([] { SetDriveQueueParameters(); });
    const auto& log = c.Chip(3).mailboxLog();
    const auto& inputs = c.Chip(3).mailboxInputs();
    ASSERT_EQ(Sent(3, 0x39, from), (std::vector<uint16_t>{60}));
    for (size_t i = from; i < log.size(); ++i) {
        if (log[i] != 0x39) continue;
        EXPECT_EQ(inputs[i][2], 1024);
        EXPECT_EQ(inputs[i][3], 32);
    }
}

// Bypass names the drive by loop ID or every port with 0xFF; an AL_PA with
// no loop ID sends nothing.  A loop reset is reported and its request
// cleared whether or not the chip carried it out.
TEST_F(LoopOperations, BypassAndTheLoopReset) {
    uint8_t bResult = 0;
    size_t from = Mark(3);
    Call([&] { bResult = bQLBypassDrive(3, FC_AL_LOOP_ID_TO_ALPA[1], TRUE, FALSE); });
    EXPECT_EQ(bResult, STATUS_OK);
    EXPECT_EQ(Sent(3, 0x41, from), (std::vector<uint16_t>{1}));
    EXPECT_EQ(c.Device(3, 1), nullptr);   // off the loop
    Call([&] { bResult = bQLBypassDrive(3, FC_AL_LOOP_ID_TO_ALPA[1], FALSE, FALSE); });
    EXPECT_NE(c.Device(3, 1), nullptr);

    from = Mark(3);
    Call([&] { bResult = bQLBypassDrive(3, FC_AL_LOOP_ID_TO_ALPA[1], TRUE, TRUE); });
    EXPECT_EQ(Sent(3, 0x41, from), (std::vector<uint16_t>{0xFF}));

    from = Mark(3);
    Call([&] { bResult = bQLBypassDrive(3, 0xF0, TRUE, FALSE); });
    EXPECT_EQ(bResult, 0);
    EXPECT_EQ(Mark(3), from);

    const uint32_t resets = harness::CountEvents(60);
    c.Chip(3).failStatus = MBS_COMMAND_ERROR;
    c.Chip(3).failCommands = 1;
    uint8_t fRequest = TRUE;
    Call([&] {
        SetLoopResetRequest(3, TRUE);
        ResetLoop(3);
        fRequest = fGetLoopResetRequest(3);
    });
    EXPECT_EQ(fRequest, FALSE);
    EXPECT_EQ(harness::CountEvents(60), resets + 1);
}

// A partner found on a drive loop while the two ran together, and found on
// neither loop at the next bring-up, is lost: events 9, 8 and 92, and this
// controller goes on alone.
TEST_F(LoopOperations, APartnerGoneFromBothLoopsAtBringUpIsLost) {
    uint8_t abName[8];
    Call([&] { PartnerDrivePortName(3, abName); });
    uint64_t partner = 0;
    for (uint8_t b : abName) partner = partner << 8 | b;
    AddInitiator(60, partner);
    c.OnCpu([] { SetDualControllerValid(TRUE); });
    ASSERT_TRUE(c.Lip(3));
    ASSERT_EQ(fIsDualControllerActive(), TRUE);
    const uint32_t lost = harness::CountEvents(9), alone = harness::CountEvents(8);
    ASSERT_EQ(harness::CountEvents(92), 0u);

    c.Chip(3).devices.back().present = false;
    ASSERT_TRUE(c.Lip(3));
    EXPECT_EQ(harness::CountEvents(92), 1u);
    EXPECT_EQ(harness::CountEvents(9), lost + 1);
    EXPECT_EQ(harness::CountEvents(8), alone + 1);
    EXPECT_EQ(fIsDualControllerActive(), FALSE);
    EXPECT_EQ(fIsPartnerAlive(), FALSE);
}

// A drive bypassed by loop ID leaves both loops with the loop
// initialisation its bypass causes, both loops being asked to reset; taken
// out of bypass it is mapped again.
TEST_F(LoopOperations, ABypassedDriveLeavesBothLoopsUntilPutBack) {
    const uint8_t alpa = FC_AL_LOOP_ID_TO_ALPA[1];
    auto inMaps = [alpa] {
        bool f3 = false, f4 = false;
        for (uint8_t i = 1; i <= bGetLoopMapCount(3); ++i) f3 = f3 || bGetLoopMapAlpa(3, i) == alpa;
        for (uint8_t i = 1; i <= bGetLoopMapCount(4); ++i) f4 = f4 || bGetLoopMapAlpa(4, i) == alpa;
        return std::make_pair(f3, f4);
    };
    ASSERT_EQ(inMaps(), std::make_pair(true, true));
    size_t from3 = Mark(3), from4 = Mark(4);
    uint8_t fReset3 = FALSE, fReset4 = FALSE;
    Call([&] {
        SetDriveLoopBypass(1, TRUE);
        fReset3 = fGetLoopResetRequest(3);
        fReset4 = fGetLoopResetRequest(4);
    });
    EXPECT_EQ(Sent(3, 0x41, from3), (std::vector<uint16_t>{1}));
    EXPECT_EQ(Sent(4, 0x41, from4), (std::vector<uint16_t>{1}));
    EXPECT_EQ(fReset3, TRUE);
    EXPECT_EQ(fReset4, TRUE);
    c.board.RunUntil([&] { return inMaps() == std::make_pair(false, false) && LoopController::BroughtUp(); },
                     10'000'000'000ull);
    EXPECT_EQ(inMaps(), std::make_pair(false, false));
    EXPECT_EQ(bGetLoopMapCount(3), kDrives);   // the chip and the two left

    from3 = Mark(3);
    from4 = Mark(4);
    Call([] { SetDriveLoopBypass(1, FALSE); });
    EXPECT_EQ(Sent(3, 0x40, from3), (std::vector<uint16_t>{1}));
    EXPECT_EQ(Sent(4, 0x40, from4), (std::vector<uint16_t>{1}));
    c.board.RunUntil([&] { return inMaps() == std::make_pair(true, true) && LoopController::BroughtUp(); },
                     10'000'000'000ull);
    EXPECT_EQ(inMaps(), std::make_pair(true, true));

    // A loop ID beyond the loop's 126 names no drive: nothing is sent.
    from3 = Mark(3);
    Call([] { SetDriveLoopBypass(126, TRUE); });
    EXPECT_EQ(Mark(3), from3);
}

// Start of day clears what a start before it may have left raised: the
// ENABLE LUN request, every port's loop-reset request, the host ports'
// flags.
TEST_F(LoopOperations, TheStartFlagsAreCleared) {
    uint8_t afAfter[8] = {};
    c.OnCpu([&] {
        const uint8_t f3 = fGetQLPortFlag(3), f4 = fGetQLPortFlag(4);
        SetEnableLunRequest(TRUE);
        for (uint8_t p = 1; p <= 4; ++p) {
            SetLoopResetRequest(p, TRUE);
            SetQLPortFlags(p, TRUE);
        }
        ResetFibreChannelStartFlags();
        for (uint8_t p = 1; p <= 4; ++p) {
            afAfter[p - 1] = fGetLoopResetRequest(p);
            afAfter[p + 3] = fGetQLPortFlag(p);
        }
        SetQLPortFlags(3, f3);
        SetQLPortFlags(4, f4);
    });
    EXPECT_EQ(fGetEnableLunRequest(), FALSE);
    for (uint8_t p = 0; p < 4; ++p) EXPECT_EQ(afAfter[p], FALSE) << "port " << p + 1;
    EXPECT_EQ(afAfter[4], FALSE);
    EXPECT_EQ(afAfter[5], FALSE);
    // The drive ports' flags are the chip start's to clear, not these.
    EXPECT_EQ(afAfter[6], TRUE);
    EXPECT_EQ(afAfter[7], TRUE);
}

// What the chip reports as its map is not trusted: a count beyond the 127
// positions a map holds, AL_PAs twice, 0xFF and AL_PAs with no loop ID.
// Every walk of the map ends, and the drives in it are still found.
TEST_F(LoopOperations, AMalformedMapIsWalkedWithinItsPositions) {
    std::vector<uint8_t> map(128, 0xFF);
    map[0] = 0xFF;
    map[1] = c.Chip(3).ownAlpa;
    map[2] = FC_AL_LOOP_ID_TO_ALPA[0];
    map[3] = FC_AL_LOOP_ID_TO_ALPA[0];
    map[4] = 0xF0;
    map[5] = FC_AL_LOOP_ID_TO_ALPA[2];
    map[6] = 0x00;
    c.Chip(3).mapOverride = map;
    ASSERT_TRUE(c.Lip(3));
    EXPECT_EQ(bGetLoopMapCount(3), 127);
    uint8_t abWwn[8];
    EXPECT_EQ(fGetDriveWwnByLoopId(3, 0, abWwn), STATUS_OK);
    EXPECT_EQ(fGetDriveWwnByLoopId(3, 2, abWwn), STATUS_OK);

    // The configuration's walk of the loops, the operations' sweeps.
    size_t from = Mark(3);
    Call([] {
        LoadConfigFromLoopDrives();
        ClearTaskSetsOnLoop(3);
    });
    EXPECT_EQ(Sent(3, 0x67, from), (std::vector<uint16_t>{0, 0, 2}));
}

}  // namespace
