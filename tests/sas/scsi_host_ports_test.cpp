// The parallel SCSI host ports at start-up: the chip's image loaded through
// its first function, both channels brought up with the stored settings in
// their SCSI pages, and what makes start-up fail.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "config/apply_settings.h"
#include "eventlog/event_log.h"
#include "executive/startup.h"
#include "executive/types.h"
#include "hw/mpi_scsi_port.h"
#include "sas/drive_ioc_images.h"
#include "sas/host_port_ioc.h"
#include "hw/scsi.h"
#include "sas/sas_drive.h"
#include "target/host_command_pool.h"
#include "sim/board.h"
#include "sim/scsi_host.h"
#include "sim/scsi_host_ioc.h"

namespace {

constexpr uint64_t kBootLimitNs = 120'000'000'000ull;

struct ScsiController {
    explicit ScsiController(const std::function<void(sim::BoardConfig&)>& configure = nullptr,
                            const std::function<void(sim::Board&)>& prepare = nullptr)
        : board(Config(configure)) {
        if (prepare) prepare(board);
        board.SetResetEntry(&fw::ControllerEntry);
        board.Boot();
        stop = board.RunUntil([this] { return Booted() || Failed(); }, kBootLimitNs);
    }
    static sim::BoardConfig Config(const std::function<void(sim::BoardConfig&)>& configure) {
        sim::BoardConfig c;
        c.hostInterface = sim::HostInterface::Scsi;
        if (configure) configure(c);
        return c;
    }
    bool Booted() const { return board.ConsoleText().find("Initialization Complete\r\n") != std::string::npos; }
    bool Failed() const {
        return board.ConsoleText().find("Initializing Host Ports...........Fail") != std::string::npos;
    }
    sim::ScsiHostIoc& Ioc(uint8_t function) { return *sim::FindScsiHostIoc(board, function); }
    sim::Board board;
    sim::StopKind stop = sim::StopKind::Running;
};

std::vector<uint8_t> Image() {
    uint32_t dLength = 0;
    const uint8_t* pb = fw::pGetHostPortIOCImage(&dLength);
    return {pb, pb + dLength};
}

uint32_t ImageVersion() {
    fw::MPI_FW_IMAGE_HEADER h{};
    std::memcpy(&h, Image().data(), sizeof h);
    return h.dFWVersion;
}

// Both channels run the image loaded through the first, answer as targets
// at their configured ids, offer every host the rate the port is set to,
// and hold every command buffer.
TEST(ScsiHostPortStartUp, BothChannelsComeUpWithTheStoredSettingsInTheirPages) {
    ScsiController c;
    ASSERT_TRUE(c.Booted()) << c.board.ConsoleText();
    EXPECT_EQ(c.Ioc(0).diagnosticLoads(), 1u);
    EXPECT_EQ(c.Ioc(1).diagnosticLoads(), 0u);
    for (uint8_t f = 0; f < 2; ++f) {
        const uint8_t bIoc = f == 0 ? fw::LSI_IOC_HOST_PORT_1 : fw::LSI_IOC_HOST_PORT_2;
        sim::ScsiHostIoc& ioc = c.Ioc(f);
        EXPECT_EQ(ioc.state(), sim::MpiIoc::State::Operational) << int(f);
        EXPECT_EQ(ioc.loadedFirmwareVersion(), ImageVersion()) << int(f);
        EXPECT_TRUE(ioc.portEnabled(0)) << int(f);
        EXPECT_TRUE(ioc.eventsOn()) << int(f);
        EXPECT_EQ(ioc.freeCommandBuffers(), fw::HOST_PORT_CMD_BUFFERS) << int(f);
        EXPECT_EQ(ioc.freeReplyFrames(), fw::HOST_PORT_REPLY_FRAMES) << int(f);
        EXPECT_EQ(fw::fIsHostPortInitialised(bIoc), fw::TRUE);
        const uint32_t dId = fw::bGetHostPortHardAddress(bIoc) & 0x0F;
        EXPECT_EQ(ioc.PortPage1().dConfiguration, dId | 1u << (16 + dId)) << int(f);
        EXPECT_EQ(ioc.PortPage1().bTargetConfig, 1) << int(f);
        const uint8_t bSpeed = fw::bGetHostPortSpeedSetting(bIoc);
        const uint32_t dPeriod = bSpeed == 0 ? 0x0A : bSpeed == 1 ? 0x09 : 0x08;
        for (uint8_t id = 0; id < fw::SCSI_HOST_IDS; ++id) {
            const uint32_t d = ioc.DevicePage1(id).dRequestedParameters;
            EXPECT_EQ((d >> 8) & 0xFF, dPeriod) << int(f) << " " << int(id);
            EXPECT_EQ(d & fw::SCSI_PARAMETERS_PACKETIZED,
                      fw::fGetHostPortOptionB(bIoc) == fw::TRUE ? fw::SCSI_PARAMETERS_PACKETIZED : 0u);
        }
        // What the information menus read back: the rate negotiated at the
        // port's own id.
        uint32_t dWord = 0;
        ASSERT_EQ(c.board.RunOnCpu([&] { (void)fw::bReadNegotiatedParameters(bIoc, static_cast<uint8_t>(dId), &dWord); }),
                  sim::StopKind::Finished);
        EXPECT_EQ(dWord, ioc.DevicePage1(static_cast<uint8_t>(dId)).dRequestedParameters) << int(f);
    }
}

// A channel that answers with other firmware than the image is given the
// image by message and stays down: start-up fails rather than run ports
// on firmware that disagree.
TEST(ScsiHostPortStartUp, AChannelOnOtherFirmwareIsGivenTheImageAndStartUpFails) {
    ScsiController c(nullptr, [](sim::Board& board) { sim::FindScsiHostIoc(board, 1)->restartsWithFirstFunction = false; });
    EXPECT_TRUE(c.Failed()) << c.board.ConsoleText();
    EXPECT_FALSE(c.Booted());
    EXPECT_TRUE(c.Ioc(0).portEnabled(0));
    EXPECT_FALSE(c.Ioc(1).portEnabled(0));
    EXPECT_EQ(c.Ioc(1).flashImage(), Image());
}

// Start-up loads no image whose header is cut short or whose stated size
// runs past the bytes carried or what the chip holds.
TEST(ScsiHostPortStartUp, OnlyAnImageWhoseHeaderAndSizeHoldIsLoaded) {
    std::vector<uint8_t> image = Image();
    ASSERT_GE(image.size(), sizeof(fw::MPI_FW_IMAGE_HEADER));
    EXPECT_EQ(fw::fIsHostPortImageWhole(image.data(), static_cast<uint32_t>(image.size())), fw::TRUE);
    EXPECT_EQ(fw::fIsHostPortImageWhole(image.data(), sizeof(fw::MPI_FW_IMAGE_HEADER) - 1), fw::FALSE);
    EXPECT_EQ(fw::fIsHostPortImageWhole(nullptr, 0), fw::FALSE);
    fw::MPI_FW_IMAGE_HEADER h{};
    std::memcpy(&h, image.data(), sizeof h);
    const auto withSize = [&](uint32_t dSize) {
        std::vector<uint8_t> v = image;
        fw::MPI_FW_IMAGE_HEADER g = h;
        g.dImageSize = dSize;
        std::memcpy(v.data(), &g, sizeof g);
        return fw::fIsHostPortImageWhole(v.data(), static_cast<uint32_t>(v.size()));
    };
    EXPECT_EQ(withSize(static_cast<uint32_t>(image.size()) + 1), fw::FALSE);
    EXPECT_EQ(withSize(sizeof h - 1), fw::FALSE);
    image.resize(fw::LSI_MAX_FIRMWARE_IMAGE_BYTES + 4);
    EXPECT_EQ(withSize(fw::LSI_MAX_FIRMWARE_IMAGE_BYTES + 4), fw::FALSE);
}

TEST(ScsiHostPortStartUp, AMissingFunctionFailsStartUp) {
    ScsiController c([](sim::BoardConfig& config) { config.hostChip2 = false; });
    EXPECT_TRUE(c.Failed()) << c.board.ConsoleText();
    EXPECT_FALSE(c.Booted());
    EXPECT_EQ(fw::fIsHostPortInitialised(fw::LSI_IOC_HOST_PORT_2), fw::FALSE);
}

// A command from an initiator on the bus, run until it is answered.
sim::FcpResult Send(ScsiController& c, uint8_t function, uint8_t id, uint16_t lun, const std::vector<uint8_t>& cdb,
                    uint32_t dataIn = 0) {
    static uint16_t s_wTag = 0;
    bool fDone = false;
    sim::FcpResult out;
    c.Ioc(function).Command(id, ++s_wTag, sim::FcpCommand::To(lun, cdb, {}, dataIn),
                            [&](uint16_t, const sim::FcpResult& r) {
                                out = r;
                                fDone = true;
                            });
    c.board.RunUntil([&] { return fDone; }, 5'000'000'000ull);
    return out;
}

// A host on either bus has its commands answered: data and GOOD status,
// or CHECK CONDITION with fixed sense; afterwards the host entries, the
// IOC's buffers and the port's request frames are back where they were.
TEST(ScsiHostPortRoad, CommandsOnEitherBusAreAnsweredWithDataOrSense) {
    ScsiController c;
    ASSERT_TRUE(c.Booted()) << c.board.ConsoleText();
    const std::vector<uint8_t> kInquiry = {fw::SCSI_INQUIRY, 0, 0, 0, 96, 0};
    const std::vector<uint8_t> kUnknownOpcode = {0xFD, 0, 0, 0, 0, 0};
    for (uint8_t f = 0; f < 2; ++f) {
        const uint8_t bIoc = f == 0 ? fw::LSI_IOC_HOST_PORT_1 : fw::LSI_IOC_HOST_PORT_2;
        const sim::FcpResult r = Send(c, f, 7, 0, kInquiry, 96);
        ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done) << int(f);
        EXPECT_EQ(r.status, fw::SCSI_STATUS_GOOD) << int(f);
        ASSERT_GE(r.dataIn.size(), 36u) << int(f);
        // No logical drive is at LUN 0 of a blank controller: after any unit
        // attention, the sense says so.
        sim::FcpResult u;
        for (int i = 0; i < 3; ++i) {
            u = Send(c, f, 7, 0, kUnknownOpcode);
            if (u.sense.size() >= 14 && u.sense[12] == 0x25) break;
        }
        EXPECT_EQ(u.status, fw::SCSI_STATUS_CHECK_CONDITION) << int(f);
        ASSERT_GE(u.sense.size(), 14u) << int(f);
        EXPECT_EQ(u.sense[0], 0x70);
        EXPECT_EQ(u.sense[2] & 0x0F, fw::SENSE_ILLEGAL_REQUEST);
        EXPECT_EQ(u.sense[12], 0x25);
        c.board.RunUntil([] { return fw::wGetTargetEntriesUsed() == 0; }, 1'000'000'000ull);
        EXPECT_EQ(fw::wGetTargetEntriesUsed(), 0) << int(f);
        EXPECT_EQ(c.Ioc(f).openExchanges(), 0u) << int(f);
        EXPECT_EQ(c.Ioc(f).freeCommandBuffers(), fw::HOST_PORT_CMD_BUFFERS) << int(f);
        EXPECT_EQ(fw::pGetHostPortState(bIoc)->wOutstanding, 0) << int(f);
    }
}

// ---- task management, bus resets and the watchdog ---------------------------------

constexpr uint8_t kEventBusReset = 36;
const std::vector<uint8_t> kTestUnitReady = {0, 0, 0, 0, 0, 0};
const std::vector<uint8_t> kInquiry = {fw::SCSI_INQUIRY, 0, 0, 0, 96, 0};

bool Good(const sim::FcpResult& r) {
    return r.outcome == sim::FcpResult::Outcome::Done && r.status == fw::SCSI_STATUS_GOOD;
}

// The bus resets logged for a port (1 or 2) with a reason.
uint16_t BusResets(uint8_t port, uint8_t reason) {
    uint16_t wCount = 0, wNext = 0, n = 0;
    fw::GetEventLogPosition(&wCount, &wNext);
    for (uint16_t w = 0; w < wCount; ++w) {
        const auto* ps = fw::psGetEventLogEntry(w);
        n += ps->bCode == kEventBusReset && ps->abArgs[0] == port && ps->abArgs[1] == reason;
    }
    return n;
}

class ScsiHostPorts : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(c.Booted()) << c.board.ConsoleText();
        ASSERT_TRUE(a.LogIn());
        ASSERT_TRUE(b.LogIn());
    }
    // The first command after start collects the host's unit attention.
    static sim::FcpResult Ready(sim::ScsiHost& host) {
        sim::FcpResult r;
        for (int i = 0; i < 4; ++i) {
            r = host.Send(0, kTestUnitReady);
            if (r.outcome != sim::FcpResult::Outcome::Done || r.sense.size() < 14 || r.sense[2] != fw::SENSE_UNIT_ATTENTION) break;
        }
        return r;
    }
    // An INQUIRY whose data the chip holds on the bus until released.
    uint32_t HeldInquiry(sim::ScsiHost& host) {
        ioc().holdAssists = true;
        const size_t held = ioc().heldAssists();
        const uint32_t tag = host.Submit(sim::FcpCommand::To(0, kInquiry, {}, 96));
        EXPECT_TRUE(host.RunUntil([this, held] { return ioc().heldAssists() == held + 1; }));
        return tag;
    }
    // Host entries, command buffers and request frames back at their start.
    void AtRest(uint8_t function = 0) {
        sim::ScsiHostIoc& i = c.Ioc(function);
        const uint8_t bIoc = function == 0 ? fw::LSI_IOC_HOST_PORT_1 : fw::LSI_IOC_HOST_PORT_2;
        a.RunUntil([&] {
            return fw::wGetTargetEntriesUsed() == 0 && i.openExchanges() == 0 &&
                   i.freeCommandBuffers() == fw::HOST_PORT_CMD_BUFFERS && fw::pGetHostPortState(bIoc)->wOutstanding == 0;
        });
        EXPECT_EQ(fw::wGetTargetEntriesUsed(), 0) << "host entries";
        EXPECT_EQ(i.openExchanges(), 0u);
        EXPECT_EQ(i.freeCommandBuffers(), fw::HOST_PORT_CMD_BUFFERS) << "command buffers";
        EXPECT_EQ(fw::pGetHostPortState(bIoc)->wOutstanding, 0) << "request frames";
        EXPECT_EQ(i.strayRequests(), 0u);
    }
    sim::ScsiHostIoc& ioc() { return c.Ioc(0); }
    ScsiController c;
    sim::ScsiHost a{c.board, c.Ioc(0), 7};
    sim::ScsiHost b{c.board, c.Ioc(0), 6};
};

// ABORT TASK ends the one command its tag names, for the initiator that
// sent it; the other initiator's command with the same tag goes on.
TEST_F(ScsiHostPorts, AbortTaskEndsOnlyTheNamedCommandOfItsInitiator) {
    (void)Ready(a);
    (void)Ready(b);
    const uint32_t ta = HeldInquiry(a);
    const uint32_t tb = HeldInquiry(b);
    EXPECT_EQ(a.TaskManagement(0, fw::SPI_TASK_ABORT_TASK, static_cast<uint16_t>(ta)).status, 0);
    EXPECT_EQ(a.Wait(ta).outcome, sim::FcpResult::Outcome::Aborted);
    EXPECT_FALSE(b.Finished(tb));
    ioc().ReleaseAssists();
    EXPECT_EQ(ioc().requestsAfterAbort(), 0u);
    const sim::FcpResult r = b.Wait(tb);
    EXPECT_TRUE(Good(r));
    EXPECT_GE(r.dataIn.size(), 36u);
    AtRest();
}

// A command aborted before it started sends nothing to its initiator, and
// its buffer comes back all the same.
TEST_F(ScsiHostPorts, ACommandAbortedBeforeItStartsSendsNothing) {
    (void)Ready(a);
    const uint32_t ta = a.Submit(sim::FcpCommand::To(0, kInquiry, {}, 96));
    const uint32_t tm = a.Submit([&] {
        sim::FcpCommand m;
        m.taskManagement = fw::SPI_TASK_ABORT_TASK;
        return m;
    }(), static_cast<uint16_t>(ta));
    EXPECT_EQ(a.Wait(tm).status, 0);
    EXPECT_EQ(a.Wait(ta).outcome, sim::FcpResult::Outcome::Aborted);
    AtRest();
    EXPECT_EQ(ioc().requestsAfterAbort(), 0u);
}

// A logical unit reset ends every command on the unit and every host sees
// the reset as a unit attention; flags the port does not know are only
// answered.
TEST_F(ScsiHostPorts, ALogicalUnitResetEndsTheUnitsCommandsAndEveryHostIsTold) {
    (void)Ready(a);
    (void)Ready(b);
    const uint32_t ta = HeldInquiry(a);
    const uint32_t tb = HeldInquiry(b);
    EXPECT_EQ(a.TaskManagement(0, 0x40).status, 0);
    EXPECT_FALSE(b.Finished(tb));
    EXPECT_EQ(b.TaskManagement(0, fw::SPI_TASK_LOGICAL_UNIT_RESET).status, 0);
    EXPECT_EQ(a.Wait(ta).outcome, sim::FcpResult::Outcome::Aborted);
    EXPECT_EQ(b.Wait(tb).outcome, sim::FcpResult::Outcome::Aborted);
    ioc().ReleaseAssists();
    AtRest();
    for (sim::ScsiHost* h : {&a, &b}) {
        const sim::FcpResult r = h->Send(0, kTestUnitReady);
        EXPECT_EQ(r.status, fw::SCSI_STATUS_CHECK_CONDITION);
        ASSERT_GE(r.sense.size(), 14u);
        EXPECT_EQ(r.sense[2] & 0x0F, fw::SENSE_UNIT_ATTENTION);
    }
    AtRest();
}

// Clear task set and target reset end the commands of every initiator.
TEST_F(ScsiHostPorts, ClearTaskSetAndTargetResetEndEveryInitiatorsCommands) {
    (void)Ready(a);
    (void)Ready(b);
    for (uint8_t bFlags : {fw::SPI_TASK_CLEAR_TASK_SET, fw::SPI_TASK_TARGET_RESET}) {
        const uint32_t ta = HeldInquiry(a);
        const uint32_t tb = HeldInquiry(b);
        EXPECT_EQ(a.TaskManagement(0, bFlags).status, 0) << int(bFlags);
        EXPECT_EQ(a.Wait(ta).outcome, sim::FcpResult::Outcome::Aborted) << int(bFlags);
        EXPECT_EQ(b.Wait(tb).outcome, sim::FcpResult::Outcome::Aborted) << int(bFlags);
        ioc().ReleaseAssists();
        AtRest();
    }
}

// A bus reset by an initiator ends what was on the bus, is logged as an
// external reset, and the commands from before it are ended at the
// controller; commands after it are served.
TEST_F(ScsiHostPorts, ABusResetEndsTheOlderCommandsAndIsLogged) {
    (void)Ready(a);
    const uint32_t ta = HeldInquiry(a);
    a.BusReset();
    EXPECT_EQ(a.Wait(ta).outcome, sim::FcpResult::Outcome::Terminated);
    EXPECT_TRUE(a.RunUntil([] { return BusResets(1, 1) == 1; }));
    EXPECT_TRUE(a.RunUntil([] { return fw::fIsHostPortBusResetFlag(fw::LSI_IOC_HOST_PORT_1) == fw::FALSE; }));
    // The command is ended at the controller though the chip still holds
    // its transfer; that transfer then finds no initiator, and its buffer
    // comes back.
    EXPECT_TRUE(a.RunUntil([] { return fw::wGetTargetEntriesUsed() == 0; }));
    ioc().ReleaseAssists();
    EXPECT_EQ(ioc().requestsWithoutInitiator(), 1u);
    AtRest();
    EXPECT_EQ(ioc().eventAcks(), 1u);
    EXPECT_TRUE(Good(Ready(a)));
    const sim::FcpResult q = a.Send(0, kInquiry, {}, 96);
    EXPECT_TRUE(Good(q));
    EXPECT_GE(q.dataIn.size(), 36u);
    AtRest();
}

// An initiator that drops off the bus while the chip holds its data: the
// transfer finds no initiator, the command ends and its buffer goes back;
// the other initiator's command goes on, and nothing waits for the 10 s
// watchdog.
TEST_F(ScsiHostPorts, AHostThatVanishesMidTransferLeavesNothingBehind) {
    (void)Ready(a);
    (void)Ready(b);
    const uint32_t ta = HeldInquiry(a);
    const uint32_t tb = HeldInquiry(b);
    ioc().DropConnections(7);
    EXPECT_EQ(a.Wait(ta).outcome, sim::FcpResult::Outcome::Terminated);
    EXPECT_FALSE(b.Finished(tb));
    ioc().ReleaseAssists();
    EXPECT_TRUE(Good(b.Wait(tb)));
    EXPECT_EQ(ioc().requestsWithoutInitiator(), 1u);
    AtRest();
    EXPECT_EQ(BusResets(1, 3), 0);
    EXPECT_EQ(fw::fIsHostPortReinitRequest(fw::LSI_IOC_HOST_PORT_1), fw::FALSE);
    // Back on the bus, it is served.
    const sim::FcpResult q = a.Send(0, kInquiry, {}, 96);
    EXPECT_TRUE(Good(q));
    EXPECT_GE(q.dataIn.size(), 36u);
    AtRest();
}

// A transfer that has not ended in 10 s has the port reset under its
// hosts and its IOC initialised again; the port then serves as before.
TEST_F(ScsiHostPorts, AStuckTransferHasThePortInitialisedAgainAfterTenSeconds) {
    (void)Ready(a);
    const uint64_t lStart = c.board.clock().Now();
    const uint32_t ta = HeldInquiry(a);
    ASSERT_TRUE(a.RunUntil([] { return BusResets(1, 3) == 1; }, 15'000'000'000ull));
    const uint64_t lReset = c.board.clock().Now() - lStart;
    // The watchdog looks at a share of the host entries on each pass: it
    // sees the transfer within one sweep of them after its 10 s.
    EXPECT_GT(lReset, 10'000'000'000ull);
    EXPECT_LT(lReset, 14'000'000'000ull);
    const sim::FcpResult r = a.Wait(ta, 5'000'000'000ull);
    EXPECT_EQ(r.outcome, sim::FcpResult::Outcome::Terminated);
    EXPECT_GT(r.completedAtNs - lStart, 10'000'000'000ull);
    EXPECT_EQ(BusResets(1, 3), 1);
    EXPECT_EQ(BusResets(2, 3), 0);
    EXPECT_TRUE(a.RunUntil([] { return fw::fIsHostPortReinitRequest(fw::LSI_IOC_HOST_PORT_1) == fw::FALSE; }));
    EXPECT_TRUE(ioc().portEnabled(0));
    EXPECT_EQ(fw::fIsHostPortInitialised(fw::LSI_IOC_HOST_PORT_1), fw::TRUE);
    EXPECT_EQ(ioc().diagnosticLoads(), 1u);
    ioc().holdAssists = false;
    AtRest();
    EXPECT_TRUE(Good(a.Send(0, kInquiry, {}, 96)));
    AtRest();
}

// An IOC that does not come back from a message unit reset has the chip's
// image loaded again: both channels restart, so the other port is reset
// under its hosts too and brought up by its own re-initialisation.
TEST_F(ScsiHostPorts, AnIocThatIgnoresItsResetIsLoadedAgainWithItsSibling) {
    (void)Ready(a);
    ioc().ignoresMessageUnitReset = true;
    const uint32_t ta = HeldInquiry(a);
    EXPECT_EQ(a.Wait(ta, 15'000'000'000ull).outcome, sim::FcpResult::Outcome::Terminated);
    ioc().holdAssists = false;
    EXPECT_TRUE(a.RunUntil([] {
        return fw::fIsHostPortReinitRequest(fw::LSI_IOC_HOST_PORT_1) == fw::FALSE &&
               fw::fIsHostPortReinitRequest(fw::LSI_IOC_HOST_PORT_2) == fw::FALSE;
    }));
    EXPECT_EQ(ioc().diagnosticLoads(), 2u);
    EXPECT_EQ(BusResets(2, 3), 1);
    sim::ScsiHost other(c.board, c.Ioc(1), 7);
    for (sim::ScsiHost* h : {&a, &other}) {
        EXPECT_TRUE(Good(Ready(*h)));
        EXPECT_TRUE(Good(h->Send(0, kInquiry, {}, 96)));
    }
    AtRest(0);
    AtRest(1);
}

// A re-initialisation that fails (the IOC ignores its reset and its
// image cannot be loaded again) is tried once more on the next scan, then
// given up; the stuck command is ended at the controller all the same
// (the wedged chip never answers its host).
TEST_F(ScsiHostPorts, AReinitialisationThatFailsIsTriedOnceMoreThenGivenUp) {
    (void)Ready(a);
    ioc().ignoresMessageUnitReset = true;
    ioc().faults.diagLocked = true;
    (void)HeldInquiry(a);
    ASSERT_TRUE(a.RunUntil([this] { return ioc().ignoredResets() == 1; }, 15'000'000'000ull));
    EXPECT_EQ(fw::fIsHostPortReinitRequest(fw::LSI_IOC_HOST_PORT_1), fw::TRUE);
    ASSERT_TRUE(a.RunUntil([] { return fw::fIsHostPortReinitRequest(fw::LSI_IOC_HOST_PORT_1) == fw::FALSE; },
                           30'000'000'000ull));
    EXPECT_EQ(ioc().ignoredResets(), 2u);
    EXPECT_EQ(fw::fIsHostPortInitialised(fw::LSI_IOC_HOST_PORT_1), fw::FALSE);
    // Nothing tries again after that.
    a.RunUntil([] { return false; }, 30'000'000'000ull);
    EXPECT_EQ(ioc().ignoredResets(), 2u);
    EXPECT_EQ(BusResets(1, 3), 1);
    EXPECT_EQ(fw::wGetTargetEntriesUsed(), 0);
}

// ---- conditions the chip reports as priority I/O -------------------------------

// A command the chip took with a condition on the bus is ended with CHECK
// CONDITION and the sense for that condition, or, from an initiator that
// allows no disconnection, served; either way answered by handshake, so
// no request frame is posted for it.
TEST_F(ScsiHostPorts, ACommandTakenWithABusConditionIsAnsweredByHandshake) {
    (void)Ready(a);
    struct Condition {
        uint8_t bReason, bAsc, bAscq;
    };
    for (const Condition& k : {Condition{2, 0x47, 0x00}, Condition{3, 0x43, 0x00}, Condition{4, 0x47, 0x03},
                               Condition{5, 0x47, 0x03}, Condition{6, 0x48, 0x00}}) {
        ioc().NextCommandAsPriority(k.bReason);
        const uint32_t dPosted = ioc().requestsReceived();
        const sim::FcpResult r = a.Send(0, kInquiry, {}, 96);
        ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done) << int(k.bReason);
        EXPECT_EQ(r.status, fw::SCSI_STATUS_CHECK_CONDITION) << int(k.bReason);
        ASSERT_GE(r.sense.size(), 14u) << int(k.bReason);
        EXPECT_EQ(r.sense[2] & 0x0F, fw::SENSE_ABORTED_COMMAND) << int(k.bReason);
        EXPECT_EQ(r.sense[12], k.bAsc) << int(k.bReason);
        EXPECT_EQ(r.sense[13], k.bAscq) << int(k.bReason);
        EXPECT_TRUE(r.dataIn.empty()) << int(k.bReason);
        EXPECT_EQ(ioc().requestsReceived(), dPosted) << int(k.bReason);
        AtRest();
    }
    ioc().NextCommandAsPriority(0);
    const uint32_t dPosted = ioc().requestsReceived();
    const sim::FcpResult r = a.Send(0, kInquiry, {}, 96);
    EXPECT_TRUE(Good(r));
    EXPECT_GE(r.dataIn.size(), 36u);
    EXPECT_EQ(ioc().requestsReceived(), dPosted);
    AtRest();
}

// A transfer the chip ends with a protocol error is answered with CHECK
// CONDITION and its sense; one whose data failed its CRC is ended without
// an answer and its buffer comes back.
TEST_F(ScsiHostPorts, ATransferEndedByABusConditionEndsItsCommand) {
    (void)Ready(a);
    ioc().FailNextAssist(fw::SPI_PRIORITY_PROTOCOL_ERROR);
    const sim::FcpResult r = a.Send(0, kInquiry, {}, 96);
    ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done);
    EXPECT_EQ(r.status, fw::SCSI_STATUS_CHECK_CONDITION);
    ASSERT_GE(r.sense.size(), 14u);
    EXPECT_EQ(r.sense[2] & 0x0F, fw::SENSE_ABORTED_COMMAND);
    EXPECT_EQ(r.sense[12], 0x48);
    EXPECT_EQ(r.sense[13], 0x00);
    AtRest();
    ioc().FailNextAssist(fw::SPI_PRIORITY_DATA_OUT_CRC);
    EXPECT_EQ(a.Send(0, kInquiry, {}, 96).outcome, sim::FcpResult::Outcome::Terminated);
    AtRest();
    EXPECT_TRUE(Good(a.Send(0, kInquiry, {}, 96)));
    AtRest();
}

// The chip's on-bus timer ran out: the port's older commands are ended and
// its IOC is initialised again, without a bus reset in the log; the port
// then serves as before.
TEST_F(ScsiHostPorts, AnExpiredOnBusTimerHasThePortInitialisedAgain) {
    (void)Ready(a);
    const uint32_t ta = HeldInquiry(a);
    ioc().OnBusTimerExpired();
    EXPECT_EQ(a.Wait(ta).outcome, sim::FcpResult::Outcome::Terminated);
    EXPECT_TRUE(a.RunUntil([] { return fw::fIsHostPortReinitRequest(fw::LSI_IOC_HOST_PORT_1) == fw::FALSE; }));
    EXPECT_EQ(ioc().eventAcks(), 1u);
    EXPECT_EQ(BusResets(1, 1) + BusResets(1, 2) + BusResets(1, 3), 0);
    EXPECT_TRUE(ioc().portEnabled(0));
    EXPECT_EQ(fw::fIsHostPortInitialised(fw::LSI_IOC_HOST_PORT_1), fw::TRUE);
    ioc().holdAssists = false;
    AtRest();
    EXPECT_TRUE(Good(Ready(a)));
    EXPECT_TRUE(Good(a.Send(0, kInquiry, {}, 96)));
    AtRest();
}

// An answer built while every request frame is out is not lost: it goes
// to the IOC once a frame comes back.
TEST(ScsiHostPortFrames, AnAnswerThatFindsEveryFrameOutWaitsForOne) {
    constexpr uint16_t kCredits = 18;
    ScsiController c(nullptr, [](sim::Board& board) { sim::FindScsiHostIoc(board, 0)->facts.globalCredits = kCredits; });
    ASSERT_TRUE(c.Booted()) << c.board.ConsoleText();
    sim::ScsiHostIoc& ioc = c.Ioc(0);
    sim::ScsiHost a(c.board, ioc, 7);
    ASSERT_TRUE(a.LogIn());
    for (int i = 0; i < 4 && !Good(a.Send(0, kTestUnitReady)); ++i) {
    }
    ioc.holdAssists = true;
    std::vector<uint32_t> held;
    for (uint16_t n = 0; n < kCredits; ++n) {
        held.push_back(a.Submit(sim::FcpCommand::To(0, kInquiry, {}, 96)));
        ASSERT_TRUE(a.RunUntil([&] { return ioc.heldAssists() == n + 1u; })) << n;
    }
    EXPECT_EQ(fw::pGetHostPortState(fw::LSI_IOC_HOST_PORT_1)->wOutstanding, kCredits);
    const uint32_t tur = a.Submit(sim::FcpCommand::To(0, kTestUnitReady, {}, 0));
    c.board.RunFor(100'000'000ull);
    EXPECT_FALSE(a.Finished(tur));
    ioc.ReleaseAssists();
    EXPECT_TRUE(Good(a.Wait(tur)));
    for (uint32_t t : held) EXPECT_TRUE(Good(a.Wait(t)));
    a.RunUntil([&] { return fw::wGetTargetEntriesUsed() == 0 && ioc.freeCommandBuffers() == fw::HOST_PORT_CMD_BUFFERS; });
    EXPECT_EQ(fw::wGetTargetEntriesUsed(), 0);
    EXPECT_EQ(ioc.freeCommandBuffers(), fw::HOST_PORT_CMD_BUFFERS);
    EXPECT_EQ(fw::pGetHostPortState(fw::LSI_IOC_HOST_PORT_1)->wOutstanding, 0);
    EXPECT_EQ(ioc.strayRequests(), 0u);
}

// Reply words and reply frames the chip might hand over that name nothing
// the driver owns: each is counted and dropped, and the port serves on.
TEST_F(ScsiHostPorts, RepliesNamingNothingAreCountedAndDropped) {
    (void)Ready(a);
    const fw::HOST_PORT_MPT_STATE& s = *fw::pGetHostPortState(fw::LSI_IOC_HOST_PORT_1);
    const uint32_t dReplyBase = static_cast<uint32_t>(fw::dCpuAddressToPciAddress(s.dReplyFrames));
    const uint32_t dReplyEnd = dReplyBase + fw::HOST_PORT_REPLY_FRAMES * fw::HOST_PORT_REPLY_FRAME_BYTES;
    const uint32_t adWords[] = {
        fw::MPI_REPLY_ADDRESS_FLAG | (dReplyBase + 6) >> 1,     // inside the area, off a frame boundary
        fw::MPI_REPLY_ADDRESS_FLAG | (dReplyBase - 64) >> 1,    // the frame before the area
        fw::MPI_REPLY_ADDRESS_FLAG | dReplyEnd >> 1,            // the frame after it
        fw::MPI_REPLY_ADDRESS_FLAG | 0x100u,                    // far outside
        fw::MPI_REPLY_TYPE_TARGET | 256u,                       // IoIndex past the buffers
        fw::MPI_REPLY_TYPE_TARGET | 7u << 14 | 0x3FFFu,         // the largest IoIndex
        0x00001234u,                                            // a context reply: this IOC sends none
        0x40000010u,                                            // a reply type it does not use
    };
    const uint32_t dBefore = fw::dGetHostPortDroppedReplies(fw::LSI_IOC_HOST_PORT_1);
    for (uint32_t d : adWords) ioc().PostRawReply(d);
    // An IOC's error reply naming a buffer past the table is dropped too.
    std::vector<uint8_t> abError(24, 0);
    abError[2] = 6;
    abError[3] = fw::MPI_FUNCTION_TARGET_ASSIST;
    abError[14] = static_cast<uint8_t>(fw::MPI_IOCSTATUS_TARGET_NO_CONNECTION);
    const uint32_t dWord = fw::MPI_REPLY_TYPE_TARGET | 300u;
    std::memcpy(abError.data() + fw::MPI_TARGET_ERROR_REPLY_WORD, &dWord, 4);
    ioc().InjectAddressReply(abError);
    const uint32_t dExpected = dBefore + static_cast<uint32_t>(std::size(adWords)) + 1;
    EXPECT_TRUE(a.RunUntil([&] { return fw::dGetHostPortDroppedReplies(fw::LSI_IOC_HOST_PORT_1) == dExpected; }));
    EXPECT_EQ(fw::dGetHostPortDroppedReplies(fw::LSI_IOC_HOST_PORT_1), dExpected);
    EXPECT_EQ(fw::wGetTargetEntriesUsed(), 0);
    EXPECT_EQ(ioc().freeReplyFrames(), fw::HOST_PORT_REPLY_FRAMES);
    EXPECT_TRUE(Good(a.Send(0, kInquiry, {}, 96)));
    AtRest();
}

// The operator's reset of a host port ends what was on it and brings its
// IOC up again; it is not logged as a bus reset.
TEST_F(ScsiHostPorts, TheOperatorsResetInitialisesThePortAgain) {
    (void)Ready(a);
    const uint32_t ta = HeldInquiry(a);
    fw::ResetLsiHostPort(fw::LSI_IOC_HOST_PORT_1);
    EXPECT_EQ(a.Wait(ta).outcome, sim::FcpResult::Outcome::Terminated);
    EXPECT_TRUE(a.RunUntil([] { return fw::fIsHostPortReinitRequest(fw::LSI_IOC_HOST_PORT_1) == fw::FALSE; }));
    EXPECT_EQ(BusResets(1, 3), 0);
    ioc().holdAssists = false;
    EXPECT_TRUE(Good(Ready(a)));
    EXPECT_TRUE(Good(a.Send(0, kInquiry, {}, 96)));
    AtRest();
}

}  // namespace

// ---- a function that stops answering its handshakes ----------------------------

struct SilentStep {
    uint8_t bFunction;
    uint64_t lLimitNs;
    const char* pszName;
};
void PrintTo(const SilentStep& k, std::ostream* os) { *os << k.pszName; }

class ScsiHostPortSilence : public ScsiHostPorts, public ::testing::WithParamInterface<SilentStep> {};

// A re-initialisation whose handshake goes unanswered gives up when that
// step's time is spent, in board time, and is tried once more on the next
// scan before the request is dropped; the port comes up again once the
// function answers.
TEST_P(ScsiHostPortSilence, AReinitialisationGivesUpOnTheStepsTimeAndIsTriedOnceMore) {
    const SilentStep k = GetParam();
    (void)Ready(a);
    ioc().silentHandshake = k.bFunction;
    fw::ResetLsiHostPort(fw::LSI_IOC_HOST_PORT_1);
    ASSERT_TRUE(a.RunUntil([this] { return ioc().silencedAt().size() == 2; }, 30'000'000'000ull));
    // The first try waited its time before the scan came round again.
    const uint64_t lGap = ioc().silencedAt()[1] - ioc().silencedAt()[0];
    EXPECT_GE(lGap, k.lLimitNs);
    EXPECT_LT(lGap, k.lLimitNs + 1'000'000'000ull);
    ASSERT_TRUE(a.RunUntil([] { return fw::fIsHostPortReinitRequest(fw::LSI_IOC_HOST_PORT_1) == fw::FALSE; },
                           30'000'000'000ull));
    const uint64_t lGaveUp = c.board.clock().Now() - ioc().silencedAt()[1];
    EXPECT_GE(lGaveUp, k.lLimitNs);
    EXPECT_LT(lGaveUp, k.lLimitNs + 1'000'000'000ull);
    EXPECT_EQ(fw::fIsHostPortInitialised(fw::LSI_IOC_HOST_PORT_1), fw::FALSE);
    a.RunUntil([] { return false; }, 20'000'000'000ull);
    EXPECT_EQ(ioc().silencedAt().size(), 2u) << "given up after the second try";

    ioc().silentHandshake = -1;
    fw::ResetLsiHostPort(fw::LSI_IOC_HOST_PORT_1);
    ASSERT_TRUE(a.RunUntil([] { return fw::fIsHostPortReinitRequest(fw::LSI_IOC_HOST_PORT_1) == fw::FALSE; }));
    EXPECT_EQ(fw::fIsHostPortInitialised(fw::LSI_IOC_HOST_PORT_1), fw::TRUE);
    EXPECT_TRUE(Good(Ready(a)));
    EXPECT_TRUE(Good(a.Send(0, kInquiry, {}, 96)));
    AtRest();
}

INSTANTIATE_TEST_SUITE_P(Steps, ScsiHostPortSilence,
                         ::testing::Values(SilentStep{fw::MPI_FUNCTION_IOC_FACTS, 5'000'000'000ull, "IocFacts"},
                                           SilentStep{fw::MPI_FUNCTION_IOC_INIT, 5'000'000'000ull, "IocInit"},
                                           SilentStep{fw::MPI_FUNCTION_PORT_FACTS, 2'000'000'000ull, "PortFacts"},
                                           SilentStep{fw::MPI_FUNCTION_CONFIG, 2'000'000'000ull, "Pages"}),
                         [](const ::testing::TestParamInfo<SilentStep>& i) { return std::string(i.param.pszName); });

// The information menus' read of a negotiated rate gives up after its
// second's wait on a function that does not answer, and reads again once
// it does.  (The reads run in place of the main loop: nothing is served
// after them.)
TEST_F(ScsiHostPorts, ARateReadFromASilentFunctionGivesUpAfterASecond) {
    (void)Ready(a);
    const uint8_t bOwnId = fw::bGetHostPortHardAddress(fw::LSI_IOC_HOST_PORT_1) & 0x0F;
    uint8_t bResult = fw::STATUS_OK;
    uint32_t dWord = 0;
    auto Read = [&] { bResult = fw::bReadNegotiatedParameters(fw::LSI_IOC_HOST_PORT_1, bOwnId, &dWord); };
    ioc().silentHandshake = fw::MPI_FUNCTION_CONFIG;
    const uint64_t lStart = c.board.clock().Now();
    ASSERT_EQ(c.board.RunOnCpu(Read), sim::StopKind::Finished);
    const uint64_t lTaken = c.board.clock().Now() - lStart;
    EXPECT_NE(bResult, fw::STATUS_OK);
    EXPECT_GE(lTaken, 1'000'000'000ull);
    EXPECT_LT(lTaken, 1'100'000'000ull);
    EXPECT_EQ(ioc().silencedAt().size(), 1u);
    ioc().silentHandshake = -1;
    ASSERT_EQ(c.board.RunOnCpu(Read), sim::StopKind::Finished);
    EXPECT_EQ(bResult, fw::STATUS_OK);
    EXPECT_EQ(dWord, ioc().DevicePage1(bOwnId).dRequestedParameters);
}
