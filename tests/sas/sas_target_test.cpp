// The SAS host ports: the target IOC brought up at start-up and its ports
// enabled, hosts' commands and task IUs carried to the target engine and
// answered, and what an IOC or a host may do wrong.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "config/apply_settings.h"
#include "config/host_lun_tables.h"
#include "config/host_port_tables.h"
#include "eventlog/event_log.h"
#include "executive/background_pass.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/startup.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/hw.h"
#include "hw/mpi.h"
#include "hw/scsi.h"
#include "sas/link_diagnostics.h"
#include "sas/sas_drive.h"
#include "sas/sas_target.h"
#include "sas/sas_target_commands.h"
#include "sas/sas_target_ports.h"
#include "sim/board.h"
#include "sim/sas_host.h"
#include "sim/sas_target_ioc.h"
#include "target/host_command_codes.h"
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
    // An INQUIRY whose data the IOC holds: it stays in flight until the
    // data is released.
    uint32_t HeldInquiry() {
        c.ioc->holdAssists = true;
        const size_t held = c.ioc->heldAssists();
        const uint32_t tag = host->Submit(sim::FcpCommand::To(0, kInquiry, {}, 96));
        EXPECT_TRUE(host->RunUntil([this, held] { return c.ioc->heldAssists() == held + 1; }));
        return tag;
    }
    uint8_t PortState() const { return fw::psGetSASTargetPortRecord(fw::PORT_CODE_SAS_HOST_1)->bState; }
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

// A host that arrives just after the port's LUN table was rebuilt holds the
// port's commands until the next rebuild: that must come within
// milliseconds, or every login stalls the port (a host that logs out and in
// again would wait seconds for each first command).
TEST_F(SasHostPorts, AHostArrivingJustAfterARebuildWaitsOnlyMilliseconds) {
    (void)Ready();
    const auto fFlag = [] { return fw::bGetHostPortLinkFlag(fw::PORT_CODE_SAS_HOST_1) == fw::TRUE; };
    ASSERT_TRUE(host->RunUntil([&] { return !fFlag(); }));
    fw::SetHostPortLinkFlag(fw::PORT_CODE_SAS_HOST_1, fw::TRUE);
    c.board.RunFor(50'000'000ull);
    EXPECT_FALSE(fFlag());
    const sim::FcpResult r = host->Send(0, kInquiry, {}, 96);
    EXPECT_EQ(r.status, fw::SCSI_STATUS_GOOD);
    AtRest();
}

// What a function run on the processor printed, its line ends as the
// console code writes them.  The main loop does not run again.
std::string PrintedBy(sim::Board& board, const std::function<void()>& fn) {
    const size_t dBefore = board.ConsoleText().size();
    EXPECT_EQ(board.RunOnCpu([&fn] {
        fn();
        for (int i = 0; i < 1'000'000 && fw::fGetConsoleLogPending() == fw::TRUE; ++i) {
            fw::DrainConsoleLog();
            fw::HwPoll();
        }
    }),
              sim::StopKind::Finished);
    std::string s = board.ConsoleText().substr(dBefore);
    std::erase(s, '\r');
    return s;
}

// From the first line break on: what follows the date and time.
std::string AfterDate(const std::string& s) { return s.substr(std::min(s.find('\n'), s.size())); }

const std::string kPhyHeader = "\nPHY  InvalidDwords  DisparityErrs  LostDwordSyncs  ResetProblems\n";
const std::string kQuietPhys1To7 =
    "0-1              0              0               0              0\n"
    "0-2              0              0               0              0\n"
    "0-3              0              0               0              0\n"
    "1-4              0              0               0              0\n";

// The counters since the IOC's reset until the operator takes a reference;
// then the reference's values, and the changes since it.
TEST_F(SasHostPorts, PhyCountersShowTheChangesSinceTheReferenceTheOperatorTook) {
    c.ioc->AddPhyErrors(0, {3, 1, 2, 0});
    c.ioc->AddPhyErrors(5, {70000, 0, 0, 1});
    const auto Update = [this](uint8_t bMode) {
        return PrintedBy(c.board, [bMode] { fw::LSI_SAS_TargetUpdatePhyErrorCounters(fw::SAS_HOST_IOC, fw::TRUE, bMode); });
    };
    const std::string kWithErrors =
        "0-0              3              1               2              0\n" + kQuietPhys1To7 +
        "1-5          70000              0               0              1\n"
        "1-6              0              0               0              0\n"
        "1-7              0              0               0              0\n";
    std::string s = Update(fw::PHY_COUNTERS_SHOW);
    EXPECT_NE(s.find('\n'), 0u) << "the date and time come first";
    EXPECT_EQ(AfterDate(s), "\nSAS Host Interface Diagnostic Registers: Display changes from Reference 1\n" + kPhyHeader +
                                kWithErrors);
    EXPECT_EQ(AfterDate(Update(fw::PHY_COUNTERS_NEW_REFERENCE)),
              "\nSAS Host Interface Diagnostic Registers: Set Values for Reference 2\n" + kPhyHeader + kWithErrors);
    c.ioc->AddPhyErrors(0, {1, 0, 0, 0});
    c.ioc->AddPhyErrors(7, {0, 0, 4, 0});
    EXPECT_EQ(AfterDate(Update(fw::PHY_COUNTERS_SHOW)),
              "\nSAS Host Interface Diagnostic Registers: Display changes from Reference 2\n" + kPhyHeader +
                  "0-0              1              0               0              0\n" + kQuietPhys1To7 +
                  "1-5              0              0               0              0\n"
                  "1-6              0              0               0              0\n"
                  "1-7              0              0               4              0\n");
}

// The interface dump of a port with one host, at rest: the driver and
// its ports, the stored connection options, the host, no command held.
TEST_F(SasHostPorts, TheInterfaceDumpShowsPortsHostsAndCommandBuffers) {
    ASSERT_EQ(host->Send(0, kInquiry, {}, 96).status, fw::SCSI_STATUS_GOOD);
    AtRest();
    const std::string s = PrintedBy(c.board, [] { fw::ShowSASTargetInterfaceInfo(fw::TRUE); });
    const std::string kIdle(64, '.');
    char acHost[160];
    std::snprintf(acHost, sizeof acHost, "-SAS Host ID %03x: Hndl:0010 PDev:71 Adr: :%016llx\n", host->index(),
                  static_cast<unsigned long long>(kHostAddress));
    EXPECT_EQ(s,
              "SAS Target Interface Information (State:f1)\n"
              "LSI 1068 FW Version Name: 1.16.84.00\n"
              "\nPort 0 State:ff Rate:9 Phys:4 Mask:0f Flags:00 Hndl:0010 Ctrl:0001 Rmv:0\n"
              "\nPort 1 State:f0 Rate:0 Phys:0 Mask:00 Flags:00 Hndl:ffff Ctrl:ffff Rmv:0\n"
              "\n"
              "Controller Port 0 Connection Options: \n"
              "    PHY 0: Enabled\n    PHY 1: Enabled\n    PHY 2: Enabled\n    PHY 3: Enabled\n"
              "Controller Port 0 Data Rate:          Auto\n"
              "Controller Port 1 Connection Options: \n"
              "    PHY 4: Enabled\n    PHY 5: Enabled\n    PHY 6: Enabled\n    PHY 7: Enabled\n"
              "Controller Port 1 Data Rate:          Auto\n"
              "\nSAS Host List: \n" +
                  std::string(acHost) +
                  "OC:00 Flags:001 Tmo:00 QFull:00 RstC:00 Ctrlr:1 DevI:00000041\n"
                  "  LSI SAS Target command Post Map:\n    " +
                  kIdle + "\n    " + kIdle + "\n    " + kIdle + "\n    " + kIdle + "\n    " + std::string(32, '.') +
                  "\n  Command Buffers In Use:\n"
                  "  Total: 0000\n\n"
                  "  Request queue used bit map: 000\n"
                  " Request Queue Entries in use:\n");
}

// A request to turn a port's phys off takes its link down; turned back
// on, the port links again.  The other port's phys are left alone.
TEST_F(SasHostPorts, APhyRequestTurnsAPortsPhysOffAndBackOn) {
    fw::SetSASTargetPhyRequest(0x21);
    ASSERT_TRUE(host->RunUntil([] { return fw::fIsSASTargetPortLinkUp(fw::PORT_CODE_SAS_HOST_1) != fw::TRUE; }));
    for (uint8_t phy = 0; phy < 8; ++phy) EXPECT_EQ(c.ioc->PhyFlags(phy), phy < 4 ? 0x04 : 0x00) << int(phy);
    EXPECT_EQ(c.ioc->NegotiatedRate(0), 0);
    fw::SetSASTargetPhyRequest(0x11);
    ASSERT_TRUE(host->RunUntil([] { return fw::fIsSASTargetPortLinkUp(fw::PORT_CODE_SAS_HOST_1) == fw::TRUE; }));
    for (uint8_t phy = 0; phy < 8; ++phy) EXPECT_EQ(c.ioc->PhyFlags(phy), 0x00) << int(phy);
    EXPECT_EQ(Ready().status, fw::SCSI_STATUS_GOOD);
    AtRest();
}


// SAS IO unit page 0 claiming far more phys than the IOC has: the port
// service reads the eight there are, both ports stay up through a link
// change, and the host is served.
TEST_F(SasHostPorts, AnIoUnitPageClaimingMorePhysThanThereAreIsReadForTheEight) {
    (void)Ready();
    c.ioc->reportedPhys = 0xFF;
    c.ioc->SetLink(1, false);
    c.ioc->SetLink(1, true);
    host->RunUntil([] { return false; }, 3'000'000'000ull);
    EXPECT_EQ(fw::fIsSASTargetPortLinkUp(fw::PORT_CODE_SAS_HOST_1), fw::TRUE);
    EXPECT_EQ(fw::psGetSASTargetPortRecord(fw::PORT_CODE_SAS_HOST_1)->bPhyCount, 4);
    EXPECT_EQ(Ready().status, fw::SCSI_STATUS_GOOD);
    AtRest();
}

// Buffers given back go to the IOC forty to a list post: forty-one make
// two posts, of forty and one.
TEST_F(SasHostPorts, FortyOneBuffersGoBackInListPostsOfFortyAndOne) {
    (void)Ready();
    AtRest();
    const size_t n = c.ioc->listPostCounts().size();
    for (uint16_t w = 0; w < 41; ++w) fw::RequestCommandBufferRepost(fw::PORT_CODE_SAS_HOST_1, w);
    ASSERT_TRUE(host->RunUntil([&] { return c.ioc->listPostCounts().size() >= n + 2; }));
    EXPECT_EQ(std::vector<uint16_t>(c.ioc->listPostCounts().begin() + static_cast<std::ptrdiff_t>(n),
                                    c.ioc->listPostCounts().end()),
              (std::vector<uint16_t>{40, 1}));
    AtRest();
}

// ---- task management ----------------------------------------------------------

constexpr uint8_t kAbortTask = 0x01;
constexpr uint8_t kClearTaskSet = 0x04;
constexpr uint8_t kQueryTask = 0x80;
constexpr uint8_t kTaskFound = 8;

// QUERY TASK finds a command in flight and not a tag never sent, and
// aborts neither; ABORT TASK ends the command it names and no other.
TEST_F(SasHostPorts, QueryTaskAndAbortTaskActOnTheNamedCommandOnly) {
    (void)Ready();
    const uint32_t a = HeldInquiry();
    const uint32_t b = HeldInquiry();
    const uint16_t wEvents = EventCount(36);
    EXPECT_EQ(host->TaskManagement(0, kQueryTask, static_cast<uint16_t>(a)).status, kTaskFound);
    EXPECT_EQ(host->TaskManagement(0, kQueryTask, 0x7777).status, 0);
    EXPECT_EQ(host->TaskManagement(1, kQueryTask, static_cast<uint16_t>(a)).status, 0) << "the tag on another unit";
    EXPECT_FALSE(host->Finished(a));
    EXPECT_EQ(host->TaskManagement(0, kAbortTask, static_cast<uint16_t>(a)).status, 0);
    EXPECT_EQ(host->Wait(a).outcome, sim::FcpResult::Outcome::Terminated);
    EXPECT_FALSE(host->Finished(b));
    EXPECT_EQ(EventCount(36), wEvents + 3);
    // Nor does a function the port does not know abort anything.
    EXPECT_EQ(host->TaskManagement(0, 0x77).outcome, sim::FcpResult::Outcome::Done);
    EXPECT_FALSE(host->Finished(b));
    c.ioc->ReleaseAssists();
    const sim::FcpResult r = host->Wait(b);
    EXPECT_EQ(r.status, fw::SCSI_STATUS_GOOD);
    EXPECT_GE(r.dataIn.size(), 36u);
    AtRest();
}

// Ordinary senders leave the last request frames alone: with every frame
// they may take in use, a host's ABORT TASK still goes out and is answered.
TEST_F(SasHostPorts, AnAbortIsAnsweredWithTheOrdinaryRequestFramesAllTaken) {
    (void)Ready();
    const uint32_t a = HeldInquiry();
    const uint8_t bPort = fw::PORT_CODE_SAS_HOST_1;
    const uint16_t wFrames = fw::dGetSASTargetIocRecord(bPort)->wRequestFrames;
    std::vector<uint16_t> taken;
    uint8_t* pbFrame = nullptr;
    for (uint16_t w = 0; true; ++w) {
        ASSERT_LT(w, wFrames) << "an ordinary sender took every frame";
        uint16_t wIndex = 0;
        if (fw::bGetTargetRequestFrame(bPort, &pbFrame, &wIndex, fw::FALSE) != fw::STATUS_OK) break;
        taken.push_back(wIndex);
    }
    EXPECT_GE(wFrames - fw::dGetSASTargetIocRecord(bPort)->wRequestsInUse, 31);
    EXPECT_EQ(host->TaskManagement(0, kAbortTask, static_cast<uint16_t>(a)).status, 0);
    EXPECT_EQ(host->Wait(a).outcome, sim::FcpResult::Outcome::Terminated);
    for (uint16_t wIndex : taken) fw::FreeTargetRequestFrame(bPort, wIndex);
    c.ioc->ReleaseAssists();
    AtRest();
}

TEST_F(SasHostPorts, ClearTaskSetEndsEveryCommandOnTheUnit) {
    (void)Ready();
    const uint32_t a = HeldInquiry();
    const uint32_t b = HeldInquiry();
    EXPECT_EQ(host->TaskManagement(0, kClearTaskSet).status, 0);
    EXPECT_EQ(host->Wait(a).outcome, sim::FcpResult::Outcome::Terminated);
    EXPECT_EQ(host->Wait(b).outcome, sim::FcpResult::Outcome::Terminated);
    EXPECT_EQ(c.ioc->heldAssists(), 0u);
    c.ioc->ReleaseAssists();
    AtRest();
}

// An IOC that faults is logged with its doorbell and the controller starts
// again, which brings the IOC up anew.
TEST_F(SasHostPorts, AnIocFaultIsLoggedAndTheControllerResetsItself) {
    const uint16_t wBefore = EventCount(1);
    c.ioc->EnterFault(0x1234);
    EXPECT_EQ(c.board.RunUntil([] { return false; }, kRunningLimitNs), sim::StopKind::Reset);
    ASSERT_EQ(EventCount(1), wBefore + 1);
    uint16_t wCount = 0, wNext = 0;
    fw::GetEventLogPosition(&wCount, &wNext);
    const fw::EVENT_LOG_ENTRY* ps = nullptr;
    for (uint16_t w = 0; w < wCount; ++w) {
        if (fw::psGetEventLogEntry(w)->bCode == 1) ps = fw::psGetEventLogEntry(w);
    }
    ASSERT_NE(ps, nullptr);
    EXPECT_EQ(ps->abArgs[0], 4);      // the target IOC
    EXPECT_EQ(ps->abArgs[1], 0x40);   // FAULT state
    EXPECT_EQ(ps->abArgs[3], 0x12);
    EXPECT_EQ(ps->abArgs[4], 0x34);
}

// ---- time-out and links ------------------------------------------------------------

// Data in flight for 14 s is waited for; past that the command is aborted.
TEST_F(SasHostPorts, ACommandWhoseDataStallsPastFourteenSecondsIsAborted) {
    (void)Ready();
    const uint64_t lStart = c.board.clock().Now();
    const uint32_t a = HeldInquiry();
    c.board.RunFor(lStart + 14'000'000'000ull - c.board.clock().Now());
    EXPECT_FALSE(host->Finished(a));
    const sim::FcpResult r = host->Wait(a, 5'000'000'000ull);
    EXPECT_EQ(r.outcome, sim::FcpResult::Outcome::Terminated);
    EXPECT_GT(r.completedAtNs - lStart, 14'000'000'000ull);
    c.ioc->ReleaseAssists();
    AtRest();
}

// A host that drops its connection while the IOC holds its data: the
// transfer ends without a connection (logged), the command with it, and
// its buffer goes back; the host, connected again, is served.
TEST_F(SasHostPorts, AHostThatVanishesMidTransferLeavesNothingBehind) {
    (void)Ready();
    const uint32_t a = HeldInquiry();
    const uint16_t wErrors = EventCount(0x37);
    c.ioc->DropConnections(host->index());
    EXPECT_EQ(host->Wait(a).outcome, sim::FcpResult::Outcome::Terminated);
    c.ioc->ReleaseAssists();
    EXPECT_TRUE(host->RunUntil([wErrors] { return EventCount(0x37) == wErrors + 1; }));
    AtRest();
    EXPECT_EQ(host->Send(0, kInquiry, {}, 96).status, fw::SCSI_STATUS_GOOD);
    AtRest();
}

// A link back within 2 s costs nothing: the command in flight goes on.
TEST_F(SasHostPorts, ALinkBackWithinTwoSecondsAbortsNothing) {
    (void)Ready();
    const uint32_t a = HeldInquiry();
    c.ioc->SetLink(0, false);
    ASSERT_TRUE(host->RunUntil([this] { return PortState() == fw::SAS_PORT_LINK_LOST; }));
    c.board.RunFor(1'500'000'000ull);
    c.ioc->SetLink(0, true);
    ASSERT_TRUE(host->RunUntil([this] { return PortState() == fw::SAS_PORT_UP; }));
    c.board.RunFor(3'000'000'000ull);
    EXPECT_FALSE(host->Finished(a));
    EXPECT_EQ(EventCount(125), 0);
    c.ioc->ReleaseAssists();
    EXPECT_EQ(host->Wait(a).status, fw::SCSI_STATUS_GOOD);
    AtRest();
}

// Lost for longer: the port's commands are aborted, its hosts removed
// (event 125) and the port goes down; back, the host is announced again.
TEST_F(SasHostPorts, ALinkLostLongerAbortsItsCommandsAndRemovesItsHosts) {
    (void)Ready();
    ASSERT_TRUE(host->RunUntil([] { return EventCount(124) == 1; }));
    const uint32_t a = HeldInquiry();
    c.ioc->SetLink(0, false);
    // Lost, then its commands aborted, then its hosts removed, then down.
    std::vector<uint8_t> states;
    ASSERT_TRUE(host->RunUntil([&] {
        if (states.empty() || states.back() != PortState()) states.push_back(PortState());
        return PortState() == fw::SAS_PORT_DOWN;
    }, 30'000'000'000ull));
    EXPECT_EQ(states, (std::vector<uint8_t>{fw::SAS_PORT_UP, fw::SAS_PORT_LINK_LOST, fw::SAS_PORT_REMOVING,
                                            fw::SAS_PORT_WAIT_REMOVALS, fw::SAS_PORT_DOWN}));
    EXPECT_EQ(host->Wait(a, 5'000'000'000ull).outcome, sim::FcpResult::Outcome::Terminated);
    EXPECT_EQ(EventCount(125), 1);
    c.ioc->ReleaseAssists();
    c.ioc->SetLink(0, true);
    ASSERT_TRUE(host->RunUntil([this] { return PortState() == fw::SAS_PORT_UP; }));
    EXPECT_EQ(Ready().status, fw::SCSI_STATUS_GOOD);
    EXPECT_TRUE(host->RunUntil([] { return EventCount(124) == 2; }));
    AtRest();
}

// A host on the second port is not known when its first command comes:
// the command waits under the first port until the host's device page
// names its port, then moves there.  Lost with that port's link, it is
// ended with the port's other commands.
TEST_F(SasHostPorts, AFirstCommandFromTheSecondPortMovesThereOnceItsHostIsKnown) {
    sim::SasHost second(c.board, *c.ioc, 1, kHostAddress + 1);
    ASSERT_TRUE(second.LogIn());
    ASSERT_TRUE(second.RunUntil([] { return fw::fIsSASTargetPortLinkUp(fw::PORT_CODE_SAS_HOST_2) == fw::TRUE; }));
    c.ioc->holdAssists = true;
    const uint32_t a = second.Submit(sim::FcpCommand::To(0, kInquiry, {}, 96));
    ASSERT_TRUE(second.RunUntil([this] { return c.ioc->heldAssists() == 1; }));
    EXPECT_EQ(fw::bGetSASInitiatorPort(static_cast<uint16_t>(second.index())), fw::PORT_CODE_SAS_HOST_2);
    uint16_t wOnSecond = 0;
    for (uint16_t w = 0; w < fw::HOST_ENTRY_COUNT; ++w) {
        fw::KERNEL_ENTRY* ps = nullptr;
        (void)fw::wGetTargetEntry(w, &ps);
        wOnSecond += ps != nullptr && ps->fUsed == fw::TRUE && ps->bPortCode == fw::PORT_CODE_SAS_HOST_2;
    }
    EXPECT_EQ(wOnSecond, 1);
    c.ioc->SetLink(1, false);
    EXPECT_EQ(second.Wait(a, 5'000'000'000ull).outcome, sim::FcpResult::Outcome::Terminated);
    c.ioc->ReleaseAssists();
    EXPECT_EQ(host->Send(0, kInquiry, {}, 96).status, fw::SCSI_STATUS_GOOD);
    AtRest();
}

// A host on the second port whose first command still waits under the
// first port (the first port's LUN table, just rebuilt for a host that came
// or went there, is due again) is not the first port's: that port losing
// its link for good leaves the command alone.
TEST_F(SasHostPorts, TheFirstPortsLinkLossLeavesAWaitingCommandOfTheSecondPortAlone) {
    sim::SasHost second(c.board, *c.ioc, 1, kHostAddress + 1);
    ASSERT_TRUE(second.LogIn());
    ASSERT_TRUE(second.RunUntil([] { return fw::fIsSASTargetPortLinkUp(fw::PORT_CODE_SAS_HOST_2) == fw::TRUE; }));
    c.ioc->SetLink(0, false);
    ASSERT_TRUE(host->RunUntil([this] { return PortState() == fw::SAS_PORT_LINK_LOST; }));
    c.board.RunFor(1'000'000'000ull);
    const auto fFlag = [] { return fw::bGetHostPortLinkFlag(fw::PORT_CODE_SAS_HOST_1) == fw::TRUE; };
    ASSERT_EQ(PortState(), fw::SAS_PORT_LINK_LOST);
    const uint32_t a = second.Submit(sim::FcpCommand::To(0, kInquiry, {}, 96));
    // Hosts keep coming and going on the first port: its table, rebuilt a
    // moment ago, is due again, and the command waits under it until the
    // port's commands are aborted.
    ASSERT_TRUE(second.RunUntil([this] {
        (void)fw::RebuildPortLunTable(fw::PORT_CODE_SAS_HOST_1);
        fw::SetHostPortLinkFlag(fw::PORT_CODE_SAS_HOST_1, fw::TRUE);
        return PortState() != fw::SAS_PORT_LINK_LOST;
    }));
    ASSERT_TRUE(fFlag()) << "the command has to be waiting when the port's commands are aborted";
    const sim::FcpResult r = second.Wait(a);
    EXPECT_EQ(r.outcome, sim::FcpResult::Outcome::Done);
    EXPECT_EQ(r.status, fw::SCSI_STATUS_GOOD);
    c.ioc->SetLink(0, true);
    AtRest();
}

// A host that leaves before the driver learnt its port: the command it
// left waiting ends and its buffer goes back to the IOC.
TEST_F(SasHostPorts, ACommandOfAHostThatLeftBeforeItsPortWasKnownEnds) {
    (void)Ready();
    sim::SasHost second(c.board, *c.ioc, 1, kHostAddress + 1);
    ASSERT_TRUE(second.LogIn());
    const uint32_t a = second.Submit(sim::FcpCommand::To(0, kInquiry, {}, 96));
    second.LogOut();
    EXPECT_EQ(second.Wait(a).outcome, sim::FcpResult::Outcome::Terminated);
    AtRest();
}

// Sixty-four initiators are served; the IOC has no index for a 65th.
TEST_F(SasHostPorts, SixtyFourInitiatorsAreServedAndASixtyFifthIsNotTaken) {
    std::vector<std::unique_ptr<sim::SasHost>> others;
    for (uint64_t n = 1; n < sim::SasTargetIoc::kMaxInitiators; ++n) {
        others.push_back(std::make_unique<sim::SasHost>(c.board, *c.ioc, 0, kHostAddress + n));
        ASSERT_TRUE(others.back()->LogIn()) << n;
    }
    sim::SasHost extra(c.board, *c.ioc, 0, kHostAddress + 64);
    EXPECT_FALSE(extra.LogIn());
    (void)Ready();
    for (auto& h : others) {
        const sim::FcpResult r = h->Send(0, kInquiry, {}, 96);
        EXPECT_EQ(r.outcome, sim::FcpResult::Outcome::Done) << h->index();
        EXPECT_EQ(r.status, fw::SCSI_STATUS_GOOD) << h->index();
        EXPECT_GE(r.dataIn.size(), 36u) << h->index();
    }
    // Each host that came is announced once.
    EXPECT_TRUE(host->RunUntil([] { return EventCount(124) == sim::SasTargetIoc::kMaxInitiators; }))
        << EventCount(124);
    EXPECT_EQ(extra.Send(0, kInquiry, {}, 96).outcome, sim::FcpResult::Outcome::Rejected);
    AtRest();
    // One leaves: its index and its host record are free, and the one
    // turned away before takes them and is served.
    const int freed = others.back()->index();
    others.back()->LogOut();
    ASSERT_TRUE(host->RunUntil([] { return EventCount(125) == 1; }));
    ASSERT_TRUE(extra.LogIn());
    EXPECT_EQ(extra.index(), freed);
    sim::FcpResult r;
    for (int i = 0; i < 4 && (r = extra.Send(0, kInquiry, {}, 96)).status != fw::SCSI_STATUS_GOOD; ++i) {
    }
    EXPECT_EQ(r.status, fw::SCSI_STATUS_GOOD);
    fw::HOST_PORT_RECORD list{};
    ASSERT_EQ(fw::bBuildSASHostList(fw::PORT_CODE_SAS_HOST_1, &list), fw::STATUS_OK);
    EXPECT_EQ(list.bInitiatorCount, sim::SasTargetIoc::kMaxInitiators);
    const auto* pe = std::find_if(list.asInitiator, list.asInitiator + list.bInitiatorCount,
                                  [freed](const fw::HOST_INITIATOR& e) { return e.bId == freed; });
    ASSERT_NE(pe, list.asInitiator + list.bInitiatorCount);
    EXPECT_EQ(fw::lGetBe64(pe->abPortName), kHostAddress + 64) << "the newcomer's address, not the departed host's";
    AtRest();
}

// The time-out scan leaves a transfer in flight for exactly 14000 ms alone
// and aborts it at 14001 ms.  (The main loop does not run again.)
TEST_F(SasHostPorts, ATransferIsAbortedOnlyOnceMoreThanFourteenSecondsOld) {
    (void)Ready();
    (void)HeldInquiry();
    const fw::LSI_SAS_TARGET_IOC* a = fw::dGetSASTargetIocRecord(fw::PORT_CODE_SAS_HOST_1);
    const auto* pIo = std::find_if(a->asIo, a->asIo + a->wCmdBuffers, [](const fw::SAS_TARGET_IO_INFO& io) {
        return io.wOwner < fw::HOST_ENTRY_COUNT && io.wRequest != fw::SAS_NO_FRAME;
    });
    ASSERT_NE(pIo, a->asIo + a->wCmdBuffers);
    const uint64_t lStart = a->asRequest[pIo->wRequest].lStart;
    fw::KERNEL_ENTRY* ps = nullptr;
    (void)fw::wGetTargetEntry(pIo->wOwner, &ps);
    ASSERT_NE(ps, nullptr);
    bool fAt14000 = true, fAt14001 = false;
    uint64_t lSwept14000 = 0, lSwept14001 = 0;
    ASSERT_EQ(c.board.RunOnCpu([&] {
        // Every host entry once, as the background pass's calls do in turn.
        const auto Sweep = [] {
            for (uint16_t n = 0; n <= fw::HOST_ENTRY_COUNT / 50; ++n) fw::SASTargetCommandTimeoutScan();
        };
        while (fw::lGetTickCount() < lStart + 14000) fw::HwPoll();
        Sweep();
        lSwept14000 = fw::lGetTickCount();
        fAt14000 = fw::HasFlag(ps, fw::KE_FLAG_ABORTED);
        while (fw::lGetTickCount() < lStart + 14001) fw::HwPoll();
        Sweep();
        lSwept14001 = fw::lGetTickCount();
        fAt14001 = fw::HasFlag(ps, fw::KE_FLAG_ABORTED);
    }),
              sim::StopKind::Finished);
    ASSERT_EQ(lSwept14000, lStart + 14000) << "the sweep has to stay within the millisecond";
    ASSERT_EQ(lSwept14001, lStart + 14001);
    EXPECT_FALSE(fAt14000);
    EXPECT_TRUE(fAt14001);
}

// A request waited for returns once its FACTS reply came; one the IOC
// answers otherwise gives up after 10 s.  (The last act of the test: the
// main loop does not run again.)
TEST_F(SasHostPorts, ARequestWaitedForReturnsOnItsFactsReplyOrGivesUp) {
    uint8_t bFacts = 0, bOther = 0;
    uint64_t lWaited = 0;
    ASSERT_EQ(c.board.RunOnCpu([&] {
        uint32_t adFacts[3] = {static_cast<uint32_t>(fw::MPI_FUNCTION_IOC_FACTS) << 24, 0, 0x1234};
        bFacts = fw::bSendSASTargetRequestAndWait(fw::PORT_CODE_SAS_HOST_1, adFacts, 3);
        uint32_t adOther[3] = {0x7Fu << 24, 0, 0x1235};
        const uint64_t lStart = fw::lGetTickCount();
        bOther = fw::bSendSASTargetRequestAndWait(fw::PORT_CODE_SAS_HOST_1, adOther, 3);
        lWaited = fw::lGetTickCount() - lStart;
    }),
              sim::StopKind::Finished);
    EXPECT_EQ(bFacts, fw::STATUS_OK);
    EXPECT_EQ(bOther, 0);
    EXPECT_GE(lWaited, 10000u);
    EXPECT_EQ(fw::dGetSASTargetIocRecord(fw::PORT_CODE_SAS_HOST_1)->wRequestsInUse, 0);
}


}  // namespace
