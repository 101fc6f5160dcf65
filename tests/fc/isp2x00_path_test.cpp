// The ISP2x00 host-port path on a test board whose host chips are of that
// generation and run their own firmware: start-up through the control
// block and ENABLE LUN, commands and completions on the one response ring,
// the status form with its sense, the command resources the chip hands
// back and the driver returns, LIP and LIP reset, and fast-posted
// completions, and a host's abort.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "executive/startup.h"
#include "responder.h"
#include "fc/fc_driver.h"
#include "fc/host_port_scan.h"
#include "fc/ql_firmware_start.h"
#include "hw/fpga.h"
#include "hw/isp_fc.h"
#include "hw/pci_ids.h"
#include "hw/scsi.h"
#include "sim/board.h"
#include "sim/fc_fabric.h"
#include "sim/fc_host.h"
#include "sim/isp_chip.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/stage_rings.h"

namespace {

using namespace fw;

constexpr uint64_t kBootLimitNs = 120'000'000'000ull;
constexpr uint64_t kHostName = 0x2100001B32000001ull;
constexpr uint16_t kLun = 0;            // the controller's own, with no logical drive
constexpr uint16_t kUnmappedLun = 9;

sim::BoardConfig Isp2x00Board() {
    sim::BoardConfig c;
    c.hostChipId = ISP_ID_2312;
    return c;
}

uint16_t Icb16(const std::vector<uint8_t>& icb, uint32_t offset) {
    return static_cast<uint16_t>(icb.at(offset) | icb.at(offset + 1) << 8);
}

class Isp2x00Path : public ::testing::Test {
protected:
    Isp2x00Path() : board(Isp2x00Board()), fabric(sim::FcFabric::Topology::Loop) {}

    void SetUp() override {
        board.fpga().SetBoardStraps(FPGA_BOARD_HOST_CHIP_FIRMWARE);
        for (uint8_t chip = 1; chip <= 2; ++chip) sim::FindIspChip(board, chip)->AttachFabric(fabric);
        board.SetResetEntry(&ControllerEntry);
        board.Boot();
        ASSERT_EQ(board.RunUntil([this] { return Booted(); }, kBootLimitNs), sim::StopKind::Running) << board.ConsoleText();
        ASSERT_TRUE(Booted()) << board.ConsoleText();
        board.RunUntil([this] { return Chip(1).Online() && Chip(2).Online() && fIsHostLoopUp(1) == TRUE; },
                       1'000'000'000ull);
        host = std::make_unique<sim::FcHost>(board, fabric, Chip(), kHostName);
        ASSERT_TRUE(host->LogIn());
    }

    bool Booted() const { return board.ConsoleText().find("Initialization Complete\r\n") != std::string::npos; }
    sim::IspChip& Chip(uint8_t chip = 1) { return *sim::FindIspChip(board, chip); }
    // A command past any unit attention it meets first.
    sim::FcpResult Settled(const std::vector<uint8_t>& cdb, uint32_t in) {
        sim::FcpResult r;
        for (int i = 0; i < 4; ++i) {
            r = host->Send(kLun, cdb, {}, in);
            if (r.status != SCSI_STATUS_CHECK_CONDITION) break;
        }
        return r;
    }

    sim::Board board;
    sim::FcFabric fabric;
    std::unique_ptr<sim::FcHost> host;
};

// Nothing is loaded into the chips: their firmware gets its control block
// and the ENABLE LUN that gives it its command resources, and the loop
// comes up at the generation's rate.
TEST_F(Isp2x00Path, TheChipsStartFromTheirOwnFirmware) {
    EXPECT_NE(board.ConsoleText().find("Searching For FC Ports............Pass"), std::string::npos);
    EXPECT_EQ(board.ConsoleText().find("Unsupported"), std::string::npos);
    EXPECT_EQ(fIsQL24xx(), FALSE);
    for (uint8_t chip = 1; chip <= 2; ++chip) {
        sim::IspChip& c = Chip(chip);
        EXPECT_EQ(c.riscLoads(), 0u);
        EXPECT_EQ(c.risc(), sim::IspChip::Risc::Initialised);
        const std::vector<uint8_t>& icb = c.icb();
        ASSERT_GE(icb.size(), 0x46u);
        const uint8_t bHard = bGetHostPortHardLoopId(chip);
        EXPECT_EQ(Icb16(icb, 0x02), bHard == QL_NO_HARD_LOOP_ID ? ICB2X_OPTIONS_SOFT_ID : ICB2X_OPTIONS_HARD_ID);
        EXPECT_EQ(Icb16(icb, 0x14), bHard == QL_NO_HARD_LOOP_ID ? 4 : bHard);
        EXPECT_EQ(Icb16(icb, 0x24), QL_RING_LENGTH);
        EXPECT_EQ(Icb16(icb, 0x26), QL_RING_LENGTH);
        BUS_ADDRESS d{};
        GetRequestRingBase(chip, &d);
        uint32_t dRequest = 0;
        std::memcpy(&dRequest, &icb[0x28], 4);
        EXPECT_EQ(dRequest, static_cast<uint32_t>(d));
        EXPECT_GE(c.enableLuns(), 1u);
        EXPECT_EQ(c.commandResources(), 255u);
        EXPECT_EQ(c.linkSpeedGb(), 2u);
    }
    EXPECT_EQ(fIsHostLoopUp(1), TRUE);
    EXPECT_EQ(bGetHostLinkSpeed(1), 2);
    EXPECT_EQ(fGetEnableLunRequest(), FALSE);
}

// Data in with its status in one CTIO; a refused command's status form
// carries its sense; every command's resource comes back with its status.
TEST_F(Isp2x00Path, CommandsAreAnsweredThroughTheResponseRing) {
    sim::FcpResult r = Settled({SCSI_INQUIRY, 0, 0, 0, 36, 0}, 36);
    ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done);
    EXPECT_EQ(r.status, SCSI_STATUS_GOOD);
    ASSERT_EQ(r.dataIn.size(), 36u);
    const uint32_t ctios = Chip().ctiosExecuted();
    for (int i = 0; i < 4; ++i) {
        r = host->Send(kUnmappedLun, {SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0});
        if (r.sense.size() < 3 || (r.sense[2] & 0x0F) != SENSE_UNIT_ATTENTION) break;
    }
    ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done);
    EXPECT_EQ(r.status, SCSI_STATUS_CHECK_CONDITION);
    ASSERT_GE(r.sense.size(), 13u);
    EXPECT_EQ(r.sense[2] & 0x0F, SENSE_ILLEGAL_REQUEST);
    EXPECT_EQ(r.sense[12], 0x25);   // no such logical unit
    EXPECT_EQ(Chip().ctiosExecuted(), ctios + 1);
    board.RunUntil([] { return wGetTargetEntriesUsed() == 0; }, 1'000'000'000ull);
    EXPECT_EQ(Chip().commandResources(), 255u);
    EXPECT_EQ(wGetTargetResourceCount(1), 0);
}

// A LIP reset ends what the port had open and posts the synchronising
// marker; a LIP is counted with its event.
TEST_F(Isp2x00Path, LipAndLipResetMoveTheLinkStateOn) {
    const uint32_t markers = Chip().markers();
    const uint16_t lips = wGetHostLoopLipCount(1);
    Chip().LipReset();
    board.RunFor(10'000'000);
    EXPECT_EQ(wGetHostLoopLipCount(1), lips + 1);
    EXPECT_EQ(Chip().markers(), markers + 1);
    EXPECT_EQ(Chip().lastMarker()[0], ISP_ENTRY_MARKER);
    EXPECT_EQ(Chip().lastMarker()[0x0A], MARKER_SYNC_ALL);
    Chip().Lip();
    // The port's initiators are scanned again after it, once the loop
    // settles.
    board.RunUntil(
        [lips] {
            return wGetHostLoopLipCount(1) == lips + 2 && fGetHostLoopLipFlag(1) == FALSE &&
                   fIsHostPortTableValid(1) == TRUE;
        },
        1'000'000'000ull);
    EXPECT_EQ(wGetHostLoopLipCount(1), lips + 2);
    EXPECT_EQ(fGetHostLoopLipFlag(1), FALSE);
    EXPECT_EQ(fIsHostPortTableValid(1), TRUE);
    EXPECT_EQ(fIsHostLoopUp(1), TRUE);
    // The host goes on being served.
    EXPECT_EQ(Settled({SCSI_INQUIRY, 0, 0, 0, 36, 0}, 36).status, SCSI_STATUS_GOOD);
}

// Commands whose exchange ended without a good status keep their resource
// at the chip; the main loop returns them in one MODIFY LUN.
TEST_F(Isp2x00Path, ResourcesOfStaleCommandsAreReturned) {
    // Requests held: the commands wait for their CTIOs while the loop resets.
    Chip().faults.holdRequests = true;
    std::vector<uint32_t> tags;
    for (int i = 0; i < 3; ++i) tags.push_back(host->Submit(sim::FcpCommand::To(kLun, {SCSI_INQUIRY, 0, 0, 0, 36, 0}, {}, 36)));
    board.RunUntil([this] { return Chip().commandResources() == 252; }, 1'000'000'000ull);
    ASSERT_EQ(Chip().commandResources(), 252u);
    const uint32_t modifies = Chip().modifyLuns();
    Chip().LipReset();
    board.RunFor(5'000'000);
    Chip().ReleaseRequests();
    for (uint32_t tag : tags) (void)host->Wait(tag, 1'000'000'000ull);
    board.RunUntil([this] { return Chip().commandResources() == 255; }, 2'000'000'000ull);
    EXPECT_EQ(Chip().commandResources(), 255u);
    EXPECT_GT(Chip().modifyLuns(), modifies);
    EXPECT_EQ(wGetTargetResourceCount(1), 0);
}

// A fast-posted completion names its command by index; one that names no
// entry is counted and dropped.
TEST_F(Isp2x00Path, AFastPostedCompletionOutsideThePoolIsDropped) {
    const uint32_t bad = dGetBadHandleCount();
    Chip().FastPostCtio(HOST_ENTRY_COUNT);
    board.RunFor(5'000'000);
    EXPECT_EQ(dGetBadHandleCount(), bad + 1);
    EXPECT_EQ(Settled({SCSI_INQUIRY, 0, 0, 0, 36, 0}, 36).status, SCSI_STATUS_GOOD);
}

// With the engine played, two writes are held waiting for their data: a
// fast-posted completion moves the one that arrived after the LIP on as
// data received, and finishes the one from before it.
TEST_F(Isp2x00Path, AFastPostedCompletionMovesAWaitingWriteOnUnlessALipCameBetween) {
    fctest::Responder r(board);
    r.onCommand = [](fctest::Responder& self, KERNEL_ENTRY* e) {
        e->bPrimaryState = HOST_STATE_DATA_OUT;
        self.kept.push_back(e);
    };
    const std::vector<uint8_t> data(512, 0x3C);
    (void)host->Submit(sim::FcpCommand::To(kLun, {SCSI_WRITE10, 0, 0, 0, 0, 0, 0, 0, 1, 0}, data, 0));
    ASSERT_TRUE(host->RunUntil([&r] { return r.kept.size() == 1; }));
    KERNEL_ENTRY* before = r.kept[0];
    Chip().Lip();
    ASSERT_TRUE(host->RunUntil([this] { return fGetHostLoopLipFlag(1) == TRUE || fIsHostPortTableValid(1) == TRUE; }));
    board.RunFor(5'000'000);
    (void)host->Submit(sim::FcpCommand::To(kLun, {SCSI_WRITE10, 0, 0, 0, 0, 8, 0, 0, 1, 0}, data, 0));
    ASSERT_TRUE(host->RunUntil([&r] { return r.kept.size() == 2; }));
    KERNEL_ENTRY* after = r.kept[1];

    // Each completion is taken as the chip's interrupt would be, before the
    // engine moves the entry on.
    Chip().FastPostCtio(after->wIndex);
    Isp2x00TargetIsr(1);
    EXPECT_EQ(after->bPrimaryState, HOST_STATE_DATA_RECEIVED);
    KERNEL_ENTRY* ps = nullptr;
    ASSERT_EQ(bPeekDataReceived(&ps), STATUS_FOUND);
    EXPECT_EQ(ps, after);

    Chip().FastPostCtio(before->wIndex);
    Isp2x00TargetIsr(1);
    EXPECT_EQ(before->bPrimaryState, HOST_STATE_COMPLETE);
    ASSERT_EQ(bPeekCommandComplete(&ps), STATUS_FOUND);
    EXPECT_EQ(ps, before);
}

// A host's ABTS reaches the driver as an ABORT TASK notify naming the
// exchange by its RX_ID: the command of that exchange is marked aborted,
// the notify goes back to the chip as its acknowledge and the host hears
// BA_ACC.
TEST_F(Isp2x00Path, AnAbortEndsTheCommandOfItsExchange) {
    fctest::Responder r(board);
    r.onCommand = [](fctest::Responder& self, KERNEL_ENTRY* e) { self.kept.push_back(e); };
    const uint32_t terminated = Chip().terminatedExchanges();
    const uint32_t acks = Chip().notifyAcks();
    const uint32_t tag = host->Submit(sim::FcpCommand::To(kLun, {SCSI_INQUIRY, 0, 0, 0, 36, 0}, {}, 36));
    ASSERT_TRUE(host->RunUntil([&r] { return r.kept.size() == 1; }));
    KERNEL_ENTRY* e = r.kept[0];
    EXPECT_EQ(e->lFlags & KE_FLAG_ABORTED, 0u);
    EXPECT_EQ(host->Abort(tag), sim::FcInitiator::AbortAnswer::Accepted);
    EXPECT_NE(e->lFlags & KE_FLAG_ABORTED, 0u);
    EXPECT_EQ(host->Wait(tag).outcome, sim::FcpResult::Outcome::Aborted);
    EXPECT_EQ(Chip().terminatedExchanges(), terminated + 1);
    EXPECT_GT(Chip().notifyAcks(), acks);
}

// The abort names a command by its initiator and RX_ID; a request of the
// task management path is no command, though an abort notify's own head
// reads, where a command keeps its RX_ID, its LUN.
TEST_F(Isp2x00Path, AnAbortIsMatchedToACommandNotToANotify) {
    constexpr uint16_t kInitiator = 5, kRxId = 3;
    KERNEL_ENTRY* psNotify = nullptr;
    KERNEL_ENTRY* psCommand = nullptr;
    uint16_t w = 0;
    ASSERT_EQ(bAllocTargetEntries(1, 1, &psNotify, &w, FALSE), STATUS_OK);
    ASSERT_EQ(bAllocTargetEntries(1, 1, &psCommand, &w, FALSE), STATUS_OK);
    IMMEDIATE_NOTIFY2_ENTRY n{};
    n.bEntryType = IMMEDIATE_NOTIFY_ENTRY_TYPE;
    n.wInitiator = kInitiator;
    n.wLun = kRxId;
    n.wStatus = NOTIFY_ABORT_TASK;
    n.wExchangeTag = kRxId;
    std::memcpy(psNotify, &n, sizeof n);
    psNotify->bPortCode = 1;
    psNotify->bPrimaryState = HOST_STATE_IMMEDIATE_NOTIFY;
    ATIO2_ENTRY a{};
    a.bEntryType = ATIO2_ENTRY_TYPE;
    a.wInitiator = kInitiator;
    a.wRxId = kRxId;
    std::memcpy(psCommand, &a, sizeof a);
    psCommand->bPortCode = 1;
    psCommand->bPrimaryState = HOST_STATE_NEW_COMMAND;
    EXPECT_EQ(bMarkExchangeTagAborted(1, kInitiator, kRxId), STATUS_FOUND);
    EXPECT_NE(psCommand->lFlags & KE_FLAG_ABORTED, 0u);
    EXPECT_EQ(psNotify->lFlags & KE_FLAG_ABORTED, 0u);
    FreeTargetEntry(psNotify);
    FreeTargetEntry(psCommand);
}

}  // namespace
