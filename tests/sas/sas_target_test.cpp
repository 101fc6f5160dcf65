// The SAS host ports: the target IOC brought up at start-up and its ports
// enabled, hosts' commands and task IUs carried to the target engine and
// answered, and what an IOC or a host may do wrong.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "config/apply_settings.h"
#include "config/host_port_tables.h"
#include "eventlog/event_log.h"
#include "executive/background_pass.h"
#include "executive/buffer_pages.h"
#include "executive/startup.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "hw/mpi.h"
#include "hw/scsi.h"
#include "sas/sas_drive.h"
#include "sas/sas_target.h"
#include "sas/sas_target_commands.h"
#include "sas/sas_target_ports.h"
#include "sim/board.h"
#include "sim/sas_host.h"
#include "sim/sas_target_ioc.h"
#include "target/host_command_pool.h"

namespace {

constexpr uint64_t kBootLimitNs = 120'000'000'000ull;
constexpr uint64_t kRunningLimitNs = 10'000'000'000ull;
constexpr uint64_t kHostAddress = 0x500605B0000A0001ull;

sim::BoardConfig SasConfig() {
    sim::BoardConfig c;
    c.hostInterface = sim::HostInterface::SasTarget;
    return c;
}

struct SasController {
    explicit SasController(const sim::BoardConfig& config = SasConfig(),
                           const std::function<void(sim::SasTargetIoc&)>& prepare = nullptr)
        : board(config) {
        ioc = board.sasTargetIoc();
        if (prepare) prepare(*ioc);
        board.SetResetEntry(&fw::ControllerEntry);
        board.Boot();
        stop = board.RunUntil([this] { return Booted(); }, kBootLimitNs);
    }
    bool Booted() const { return board.ConsoleText().find("Initialization Complete\r\n") != std::string::npos; }
    bool Running() {
        return board.RunUntil([] { return fw::bGetSASTargetState() == fw::SAS_TARGET_RUNNING; }, kRunningLimitNs) ==
                   sim::StopKind::Running &&
               fw::bGetSASTargetState() == fw::SAS_TARGET_RUNNING;
    }
    sim::Board board;
    sim::SasTargetIoc* ioc = nullptr;
    sim::StopKind stop = sim::StopKind::Running;
};

uint16_t EventCount(uint8_t code) {
    uint16_t wCount = 0, wNext = 0, n = 0;
    fw::GetEventLogPosition(&wCount, &wNext);
    for (uint16_t w = 0; w < wCount; ++w) n += fw::psGetEventLogEntry(w)->bCode == code;
    return n;
}

const std::vector<uint8_t> kInquiry = {fw::SCSI_INQUIRY, 0, 0, 0, 96, 0};
const std::vector<uint8_t> kTestUnitReady = {0, 0, 0, 0, 0, 0};

// ---- bring-up --------------------------------------------------------------------

TEST(SasTargetBringUp, TheIocIsLoadedInitialisedAndItsPortsEnabled) {
    SasController c;
    ASSERT_EQ(c.stop, sim::StopKind::Running) << c.board.ConsoleText();
    ASSERT_NE(c.ioc, nullptr);
    EXPECT_EQ(c.ioc->diagnosticLoads(), 1u) << c.ioc->unlockAttempts() << " " << c.board.ConsoleText();
    EXPECT_EQ(c.ioc->state(), sim::MpiIoc::State::Operational);
    ASSERT_TRUE(c.Running());
    EXPECT_TRUE(c.ioc->portEnabled(0));
    EXPECT_TRUE(c.ioc->portEnabled(1));
    EXPECT_TRUE(c.ioc->eventsOn());
    // Every command buffer posted, half to each port.
    EXPECT_EQ(c.ioc->cmdBuffersPosted(), fw::SAS_TARGET_MAX_CMD_BUFFERS);
    EXPECT_EQ(c.ioc->freeCommandBuffers(), fw::SAS_TARGET_MAX_CMD_BUFFERS);
    EXPECT_EQ(c.ioc->freeReplyFrames(), fw::SAS_TARGET_REPLY_FRAMES);
    // The IOC's address: NAA 5, the WWN, controller 1.
    uint8_t abWwn[8] = {};
    (void)fw::pGetControllerWWN(abWwn);
    EXPECT_EQ(c.ioc->BaseSasAddress(), fw::lMakeSASTargetAddress(abWwn, 1, 0));
    EXPECT_EQ(c.ioc->BaseSasAddress() >> 60, 5u);
    EXPECT_EQ(c.ioc->IocSettings(), 0x8030u);
    // The host page buffer the IOC asked for lies inside the driver's region.
    const fw::LSI_SAS_TARGET_IOC* a = fw::dGetSASTargetIocRecord(fw::PORT_CODE_SAS_HOST_1);
    const uint32_t dRegion = static_cast<uint32_t>(fw::dCpuAddressToPciAddress(fw::dBufferHandleToCpuAddress(a->dRegion)));
    EXPECT_GE(c.ioc->hostPageBufferAddress(), dRegion);
    EXPECT_LE(c.ioc->hostPageBufferAddress() + c.ioc->facts.hostPageBufferBytes, dRegion + fw::SAS_TARGET_REGION_BYTES);
    // Every phy enabled, rates automatic (3.0 Gb/s at most, 1.5 at least).
    for (uint8_t phy = 0; phy < 8; ++phy) {
        EXPECT_EQ(c.ioc->PhyFlags(phy), 0) << int(phy);
        EXPECT_EQ(c.ioc->PhyRates(phy), 0x98) << int(phy);
    }
}

TEST(SasTargetBringUp, AnIocThatNeverLeavesResetFailsTheBringUpWithinTenSeconds) {
    SasController c(SasConfig(), [](sim::SasTargetIoc& ioc) { ioc.faults.neverReady = true; });
    ASSERT_EQ(c.stop, sim::StopKind::Running) << c.board.ConsoleText();
    EXPECT_EQ(fw::bGetSASTargetState(), fw::SAS_TARGET_FAILED);
    c.board.RunFor(5'000'000'000ull);
    EXPECT_FALSE(c.ioc->portEnabled(0));
    EXPECT_FALSE(c.ioc->portEnabled(1));
}

TEST(SasTargetBringUp, ARevisionWithoutAnImageIsNotLoaded) {
    sim::BoardConfig config = SasConfig();
    config.sasTargetRevision = 3;
    SasController c(config);
    ASSERT_EQ(c.stop, sim::StopKind::Running) << c.board.ConsoleText();
    EXPECT_EQ(fw::bGetSASTargetState(), fw::SAS_TARGET_FAILED);
    EXPECT_EQ(c.ioc->diagnosticLoads(), 0u);
}

TEST(SasTargetSettings, PhyDisablesAndRatesPassTheirOwnFilters) {
    // The phy-disable mask keeps 0 and 15, the rate setting 0 to 2.
    EXPECT_EQ(fw::bFilterSASHostPortPhySetting(15), 15);
    EXPECT_EQ(fw::bFilterSASHostPortPhySetting(0), 0);
    EXPECT_EQ(fw::bFilterSASHostPortPhySetting(3), 0);   // diagnostics below level 3
    EXPECT_EQ(fw::bFilterSASHostPortConnectionOption(2), 2);
    EXPECT_EQ(fw::bFilterSASHostPortConnectionOption(3), 0);
}

// ---- hosts and their commands ---------------------------------------------------------

class SasHostPorts : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(c.stop, sim::StopKind::Running) << c.board.ConsoleText();
        ASSERT_TRUE(c.Running());
        host = std::make_unique<sim::SasHost>(c.board, *c.ioc, 0, kHostAddress);
        ASSERT_TRUE(host->LogIn());
        ASSERT_TRUE(host->RunUntil([] { return fw::fIsSASTargetPortLinkUp(fw::PORT_CODE_SAS_HOST_1) == fw::TRUE; }));
    }
    // The first command after the port came up collects its unit attention.
    sim::FcpResult Ready(uint16_t lun = 0) {
        sim::FcpResult r;
        for (int i = 0; i < 4; ++i) {
            r = host->Send(lun, kTestUnitReady);
            if (r.outcome != sim::FcpResult::Outcome::Done || r.status == fw::SCSI_STATUS_GOOD) break;
        }
        return r;
    }
    void AtRest() {
        host->RunUntil([this] { return fw::wGetTargetEntriesUsed() == 0 && c.ioc->openExchanges() == 0; });
        EXPECT_EQ(fw::wGetTargetEntriesUsed(), 0) << "host entries";
        EXPECT_EQ(c.ioc->openExchanges(), 0u);
        host->RunUntil([this] { return c.ioc->freeCommandBuffers() == fw::SAS_TARGET_MAX_CMD_BUFFERS; });
        EXPECT_EQ(c.ioc->freeCommandBuffers(), fw::SAS_TARGET_MAX_CMD_BUFFERS) << "command buffers";
        EXPECT_EQ(fw::dGetSASTargetIocRecord(fw::PORT_CODE_SAS_HOST_1)->wRequestsInUse, 0) << "request frames";
    }
    SasController c;
    std::unique_ptr<sim::SasHost> host;
};

TEST_F(SasHostPorts, AHostIsAnnouncedAndItsInquiryAnswered) {
    const sim::FcpResult r = host->Send(0, kInquiry, {}, 96);
    // Its first command made it known; the IOC's device page resolved it.
    EXPECT_TRUE(host->RunUntil([] { return EventCount(124) == 1; }));
    fw::HOST_PORT_RECORD list{};
    ASSERT_EQ(fw::bBuildSASHostList(fw::PORT_CODE_SAS_HOST_1, &list), fw::STATUS_OK);
    ASSERT_EQ(list.bInitiatorCount, 1);
    EXPECT_EQ(list.asInitiator[0].bId, host->index());
    EXPECT_EQ(fw::lGetBe64(list.asInitiator[0].abPortName), kHostAddress);
    ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done);
    EXPECT_EQ(r.status, fw::SCSI_STATUS_GOOD);
    ASSERT_GE(r.dataIn.size(), 36u);
    EXPECT_EQ(std::string(r.dataIn.begin() + 8, r.dataIn.begin() + 16).size(), 8u);
    AtRest();
}

TEST_F(SasHostPorts, ACheckConditionCarriesFixedSense) {
    (void)Ready(5);
    const sim::FcpResult r = host->Send(5, kTestUnitReady);
    ASSERT_EQ(r.outcome, sim::FcpResult::Outcome::Done);
    EXPECT_EQ(r.status, fw::SCSI_STATUS_CHECK_CONDITION);
    ASSERT_GE(r.sense.size(), 14u);
    EXPECT_EQ(r.sense[0], 0x70);
    EXPECT_EQ(r.sense[2] & 0x0F, fw::SENSE_ILLEGAL_REQUEST);
    EXPECT_EQ(r.sense[12], 0x25);   // no such logical unit
    AtRest();
}

TEST_F(SasHostPorts, ReplyWordsOutsideTheTablesAreDroppedAndCounted) {
    const uint32_t dBefore = fw::dGetSASTargetDroppedReplies();
    c.ioc->PostRawReply(fw::MPI_REPLY_TYPE_TARGET | 0x3FFF);            // IoIndex past the buffers
    c.ioc->PostRawReply(fw::MPI_REPLY_TYPE_TARGET | 64u << 14 | 1);      // a 65th initiator
    c.ioc->PostRawReply(fw::MPI_REPLY_ADDRESS_FLAG | 0x100);             // a frame outside the reply area
    c.board.RunFor(10'000'000);
    EXPECT_EQ(fw::dGetSASTargetDroppedReplies(), dBefore + 3);
    const sim::FcpResult r = host->Send(0, kInquiry, {}, 96);
    EXPECT_EQ(r.status, fw::SCSI_STATUS_GOOD);
    AtRest();
}

// A host that arrives within seconds of the port's last LUN-table rebuild
// waits for the next one; the board idles meanwhile instead of running the
// background pass back to back, and the table is rebuilt when it is due.
TEST_F(SasHostPorts, APortWaitingToRebuildItsLunTableLetsTheBoardIdle) {
    (void)Ready();
    const auto fFlag = [] { return fw::bGetHostPortLinkFlag(fw::PORT_CODE_SAS_HOST_1) == fw::TRUE; };
    ASSERT_TRUE(host->RunUntil([&] { return !fFlag(); }));
    // Just rebuilt: a host arriving now waits.
    fw::SetHostPortLinkFlag(fw::PORT_CODE_SAS_HOST_1, fw::TRUE);
    fw::ClearBackgroundStepTrace();
    c.board.RunFor(2'000'000'000ull);
    uint8_t abTrace[fw::BACKGROUND_TRACE_SIZE];
    // The tick raises work every 50 ms: 40 passes of a few rows each.
    EXPECT_LT(fw::dCopyBackgroundStepTrace(abTrace, sizeof abTrace), 1000u);
    EXPECT_TRUE(fFlag());
    c.board.RunFor(4'000'000'000ull);
    EXPECT_FALSE(fFlag());
    AtRest();
}

}  // namespace
