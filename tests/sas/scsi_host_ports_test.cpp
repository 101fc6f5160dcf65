// The parallel SCSI host ports at start-up: the chip's image loaded through
// its first function, both channels brought up with the stored settings in
// their SCSI pages, and what makes start-up fail.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "config/apply_settings.h"
#include "executive/startup.h"
#include "executive/types.h"
#include "hw/mpi_scsi_port.h"
#include "sas/drive_ioc_images.h"
#include "sas/host_port_ioc.h"
#include "hw/scsi.h"
#include "sas/sas_drive.h"
#include "target/host_command_pool.h"
#include "sim/board.h"
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

}  // namespace
