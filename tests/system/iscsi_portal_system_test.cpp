// Real hosts' tools against a controller through the iSCSI portal: each
// session is an initiator on the host ports' fabric, or a SAS initiator
// linked to a SAS host port, and the firmware answers the commands the tools
// send as it would an FC or SAS host's.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "config/host_port_tables.h"
#include "harness/dispatch_board.h"
#include "hw/scsi.h"
#include "sas/mpi_interface.h"
#include "sas/sas_target_commands.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/fc_fabric.h"
#include "sim/iscsi_fc_bridge.h"
#include "sim/iscsi_listener.h"
#include "sim/iscsi_sas_bridge.h"
#include "sim/isp_chip.h"
#include "sim/sas_controller.h"
#include "sim/sas_target_ioc.h"
#include "harness/config_builder.h"
#include "harness/host_tool.h"
#include "harness/iscsi_host.h"

namespace {

namespace iscsi = sim::iscsi;

constexpr const char* kInitiator = "iqn.2026-12.test.host:tools";

// The controller's host ports.
enum class Hosts { Fc, Sas };

const char* HostsName(Hosts h) { return h == Hosts::Fc ? "Fc" : "Sas"; }

sim::BoardConfig ConfigFor(Hosts hosts) {
    sim::BoardConfig config;
    if (hosts == Hosts::Sas) config.hostInterface = sim::HostInterface::SasTarget;
    return config;
}

using harness::ToolRun;

// A controller with one logical drive, RAID 5 on four drives or a mirror
// (RAID 10 of two drives, i.e. RAID 1) on two, and the portal on a free
// loopback port.
class PortalController {
protected:
    explicit PortalController(Hosts kind) : hosts(kind), board(ConfigFor(kind)) {}

    void Start(uint8_t raidLevel) {
        board.sasController().AttachChassis(&chassis);
        ASSERT_TRUE(harness::BootToMainLoop(board)) << board.ConsoleText();
        ASSERT_TRUE(builder.WaitIdle());
        const std::vector<unsigned> slots =
            raidLevel == fw::RAID_LEVEL_10 ? std::vector<unsigned>{1, 2} : std::vector<unsigned>{1, 2, 3, 4};
        ASSERT_TRUE(builder.MakeArrayWithLd({raidLevel, slots}, 4));
        ASSERT_TRUE(builder.WaitIdle());
        std::string error;
        ASSERT_TRUE(listener.Listen("127.0.0.1:0", &error)) << error;
        board.pollHook = [this] { listener.Service(); };
        // SAS ports are enabled a while after the main loop starts.
        if (sim::SasTargetIoc* ioc = board.sasTargetIoc()) {
            board.RunUntil([ioc] { return ioc->PortUp(0) && ioc->PortUp(1); }, 10'000'000'000ull);
            ASSERT_TRUE(ioc->PortUp(0) && ioc->PortUp(1)) << board.ConsoleText();
        }
    }

    std::string Url(int port, int lun) const {
        return "iscsi://" + listener.address() + "/iqn.2026-12.sim.array-controller:port" + std::to_string(port) +
               "/" + std::to_string(lun);
    }

    // Runs a host tool to its end while the board runs on; a tool that
    // hangs is killed after a minute.
    ToolRun Tool(std::vector<std::string> argv) {
        return harness::RunHostTool(std::move(argv), std::chrono::seconds(60), [this](const std::function<bool()>& ended) {
            return board.RunUntil(ended, 1'000'000'000ull) == sim::StopKind::Running;
        });
    }

    // A task management request of the session (to a LUN in the
    // single-level form).
    static iscsi::Pdu Function(iscsitest::BoardHost& h, uint8_t function, uint32_t referenced = 0xFFFFFFFF,
                               uint32_t refCmdSn = 0, uint16_t lun = 0) {
        iscsi::Pdu tmf = iscsi::MakePdu(iscsi::kTaskManagementRequest | iscsi::kImmediate, false);
        tmf.bhs[1] = 0x80 | function;
        tmf.SetU64(8, uint64_t(lun) << 48);
        tmf.SetU32(16, ++h.itt);
        tmf.SetU32(20, referenced);
        tmf.SetU32(24, h.cmdSn);
        tmf.SetU32(32, refCmdSn);
        return tmf;
    }

    const Hosts hosts;
    sim::Chassis chassis;
    sim::FcFabric fabric;
    sim::Board board;
    cfgbuild::Builder builder{board};
    std::vector<sim::FcTargetPort*> AttachPorts() {
        std::vector<sim::FcTargetPort*> attached;
        for (uint8_t chip = 1; chip <= 2; ++chip) {
            if (sim::IspChip* port = sim::FindIspChip(board, chip)) {
                port->AttachFabric(fabric);
                attached.push_back(port);
            }
        }
        return attached;
    }
    std::vector<sim::FcTargetPort*> ports = AttachPorts();
    sim::IscsiFcBridge fcBridge{fabric, ports};
    std::vector<sim::IscsiSasBridge::Target> SasPorts() {
        if (board.sasTargetIoc() == nullptr) return {};
        return {{board.sasTargetIoc(), 0, "port1"}, {board.sasTargetIoc(), 1, "port2"}};
    }
    sim::IscsiSasBridge sasBridge{SasPorts()};
    sim::IscsiPortal portal{hosts == Hosts::Sas ? static_cast<sim::IscsiTargets&>(sasBridge) : fcBridge};
    sim::IscsiListener listener{portal};
};

class IscsiPortalSystemTest : public PortalController, public ::testing::TestWithParam<Hosts> {
protected:
    IscsiPortalSystemTest() : PortalController(GetParam()) {}
    void SetUp() override { Start(fw::RAID_LEVEL_5); }
    // What each session was told: the initiator's name, the target and the
    // name an operator maps LUNs to.
    void WatchSessions() {
        told.clear();
        fcBridge.onSession = [this](const std::string& name, size_t port, const sim::FcInitiator& initiator) {
            told.insert(name + " port" + std::to_string(port + 1) + " " + std::to_string(initiator.portName()));
            namedApart = namedApart && initiator.nodeName() != 0 && initiator.nodeName() != initiator.portName();
        };
        sasBridge.onSession = [this](const std::string& name, size_t port, uint64_t address) {
            told.insert(name + " port" + std::to_string(port + 1) + " " + std::to_string(address));
        };
    }
    uint64_t HostNameFor(const std::string& initiator) const {
        return hosts == Hosts::Sas ? sim::IscsiSasBridge::SasAddressFor(initiator)
                                   : sim::IscsiFcBridge::PortNameFor(initiator);
    }
    // The host of that name is logged in to the port (0 the first): for SAS
    // ports, as the firmware's list of the port's hosts has it.
    bool LoggedIn(uint64_t name, size_t port) {
        if (hosts == Hosts::Fc) {
            for (const auto& i : fabric.initiators()) {
                if (i->portName() == name) return i->LoginState(*ports[port]) == sim::FcInitiator::Login::LoggedIn;
            }
            return false;
        }
        static fw::HOST_PORT_RECORD list;
        fw::bBuildSASHostList(port == 0 ? fw::LSI_IOC_TARGET_1 : fw::LSI_IOC_TARGET_2, &list);
        for (uint8_t n = 0; n < list.bInitiatorCount; ++n) {
            if (fw::lGetBe64(list.asInitiator[n].abPortName) == name) return true;
        }
        return false;
    }
    std::set<std::string> told;
    bool namedApart = true;   // an FC initiator's node name is its own
};

INSTANTIATE_TEST_SUITE_P(Hosts, IscsiPortalSystemTest, ::testing::Values(Hosts::Fc, Hosts::Sas),
                         [](const auto& info) { return std::string(HostsName(info.param)); });

TEST_P(IscsiPortalSystemTest, HostToolsListTheTargetsAndTheirLogicalUnitsAnswer) {
    // Each session is told with the name an operator maps LUNs to.
    WatchSessions();
    ToolRun ls = Tool({"iscsi-ls", "-s", "-i", kInitiator, "iscsi://" + listener.address()});
    EXPECT_EQ(ls.status, 0) << ls.output;
    const std::string hostName = std::to_string(HostNameFor(kInitiator));
    EXPECT_EQ(told, (std::set<std::string>{kInitiator + std::string(" port1 ") + hostName,
                                           kInitiator + std::string(" port2 ") + hostName}));
    EXPECT_TRUE(namedApart);
    for (int port = 1; port <= 2; ++port) {
        const std::string target = "Target:iqn.2026-12.sim.array-controller:port" + std::to_string(port) +
                                   " Portal:" + listener.address() + ",1\nLun:0    Type:DIRECT_ACCESS";
        EXPECT_NE(ls.output.find(target), std::string::npos) << ls.output;
    }

    ToolRun inq = Tool({"iscsi-inq", "-i", kInitiator, Url(1, 0)});
    EXPECT_EQ(inq.status, 0) << inq.output;
    EXPECT_NE(inq.output.find("Peripheral Device Type:DIRECT_ACCESS"), std::string::npos) << inq.output;
    ToolRun capacity = Tool({"iscsi-readcapacity16", "-i", kInitiator, Url(2, 0)});
    EXPECT_EQ(capacity.status, 0) << capacity.output;
    EXPECT_NE(capacity.output.find("LOGICAL BLOCK LENGTH IN BYTES:512"), std::string::npos) << capacity.output;
}

// A session in this process: its initiator logs in (links to the port)
// with the name its iSCSI name gives, carries a write and a read, and logs
// out (leaves the port) when the host's connection drops with a command
// still waiting for data.
TEST_P(IscsiPortalSystemTest, ASessionIsOneInitiatorThatLeavesWithItsConnection) {
    iscsitest::BoardHost host(board, portal);
    ASSERT_TRUE(host.LogInNormal({}, "iqn.2026-12.sim.array-controller:port2"));
    const uint64_t name = HostNameFor("iqn.2026-01.host:one");
    EXPECT_EQ(name, HostNameFor("iqn.2026-01.host:one"));
    EXPECT_NE(name, HostNameFor("iqn.2026-01.host:two"));

    // The first command may meet the unit attention of a new login.
    const auto data = iscsitest::Pattern(8 * 512, 9);
    iscsi::Pdu status;
    for (int attempt = 0; attempt < 3; ++attempt) {
        host.Send(host.Command(0xA1, iscsitest::Rw10(0x2A, 100, 8), uint32_t(data.size()), data));
        if ((status = host.Next()).opcode() == iscsi::kReadyToTransfer) break;
        if (status.bhs[3] == 0) break;
    }
    ASSERT_EQ(status.opcode(), iscsi::kScsiResponse);
    EXPECT_EQ(status.bhs[3], 0);
    std::vector<uint8_t> read;
    EXPECT_EQ(host.Read(iscsitest::Rw10(0x28, 100, 8), uint32_t(data.size()), &read).bhs[3], 0);
    EXPECT_EQ(read, data);
    EXPECT_TRUE(LoggedIn(name, 1));

    host.Send(host.Command(0x21, iscsitest::Rw10(0x2A, 0, 8), 4096));
    EXPECT_EQ(host.Next().opcode(), iscsi::kReadyToTransfer);
    host.conn.reset();
    // An FC logout is at once; the firmware hears of a SAS host's leaving
    // from the IOC's events.
    if (hosts == Hosts::Fc) {
        EXPECT_FALSE(LoggedIn(name, 1));
    }
    board.RunFor(100'000'000);
    EXPECT_FALSE(LoggedIn(name, 1));
    // The port keeps its link with no session on it: nothing it held is
    // aborted for a link lost.
    if (sim::SasTargetIoc* ioc = board.sasTargetIoc()) {
        EXPECT_TRUE(ioc->PortLinked(1));
        EXPECT_EQ(ioc->openExchanges(), 0u);
    }
}

// A LOGICAL UNIT RESET of a LUN the session has no logical unit at is
// answered "LUN does not exist", through either kind of host port: nothing
// was reset.  One of the LUN it has is answered complete.
TEST_P(IscsiPortalSystemTest, AResetOfALunThatIsNotThereIsAnsweredSo) {
    iscsitest::BoardHost host(board, portal);
    ASSERT_TRUE(host.LogInNormal({}, "iqn.2026-12.sim.array-controller:port1"));
    for (const auto& [lun, response] : {std::pair<uint16_t, uint8_t>{9, sim::kTmfNoLun}, {0, sim::kTmfComplete}}) {
        host.Send(Function(host, sim::kTmfLogicalUnitReset, 0xFFFFFFFF, 0, lun));
        const iscsi::Pdu answer = host.Next();
        ASSERT_EQ(answer.opcode(), iscsi::kTaskManagementResponse) << "LUN " << lun;
        EXPECT_EQ(answer.bhs[2], response) << "LUN " << lun;
    }
}

// Commands whose direction bits or expected length disagree with their
// CDB: a write the host sends no data for is refused and leaves the old
// blocks; a read longer than the host takes, in several passes of the
// cache, is answered with the whole shortfall as its residual; and none of
// them leaves the unit unable to serve the next host.
TEST_P(IscsiPortalSystemTest, CommandsWithTheWrongDirectionOrAShortLengthAreAnsweredAndWriteNothing) {
    iscsitest::BoardHost host(board, portal);
    ASSERT_TRUE(host.LogInNormal({}, "iqn.2026-12.sim.array-controller:port1"));
    for (int i = 0; i < 3; ++i) {
        host.Send(host.Command(0x81, {0, 0, 0, 0, 0, 0}, 0));
        if (host.Next().bhs[3] == 0) break;
    }
    const auto old = iscsitest::Pattern(8 * 512, 31);
    ASSERT_EQ(host.Write(iscsitest::Rw10(fw::SCSI_WRITE10, 200, 8), old, 0).bhs[3], 0);
    std::vector<uint8_t> write16(16, 0);
    write16[0] = fw::SCSI_WRITE16;
    write16[9] = 200;
    write16[13] = 8;
    // Flags: final, simple; then the R bit or neither, never W.
    for (const uint8_t flags : {0x81, 0xC1}) {
        for (const auto& cdb : {iscsitest::Rw10(fw::SCSI_WRITE10, 200, 8), write16,
                                iscsitest::Rw10(fw::SCSI_WRITE_AND_VERIFY10, 200, 8)}) {
            host.Send(host.Command(flags, cdb, 4096));
            iscsi::Pdu answer = host.Next();
            while (answer.opcode() == iscsi::kDataIn) answer = host.Next();
            ASSERT_EQ(answer.opcode(), iscsi::kScsiResponse) << int(cdb[0]) << " flags " << int(flags);
            EXPECT_EQ(answer.bhs[3], fw::SCSI_STATUS_CHECK_CONDITION) << int(cdb[0]) << " flags " << int(flags);
            // The sense follows its two-byte length.
            ASSERT_GE(answer.data.size(), 16u);
            EXPECT_EQ(answer.data[2 + 2] & 0x0F, fw::SENSE_ILLEGAL_REQUEST);
            EXPECT_EQ(answer.data[2 + 12], 0x0E);
            EXPECT_EQ(answer.data[2 + 13], 0x03);
            std::vector<uint8_t> read;
            ASSERT_EQ(host.Read(iscsitest::Rw10(fw::SCSI_READ10, 200, 8), 4096, &read).bhs[3], 0);
            ASSERT_EQ(read, old) << int(cdb[0]) << " flags " << int(flags);
        }
    }
    // Reads of 45,568 blocks that the host takes 512 bytes of: more of
    // them than once stopped the unit.
    constexpr uint32_t kBlocks = 45'568;
    for (int i = 0; i < 5; ++i) {
        std::vector<uint8_t> data;
        const iscsi::Pdu answer = host.Read(iscsitest::Rw10(fw::SCSI_READ10, 100'000, kBlocks), 512, &data);
        // The status may ride on the last Data-In.
        ASSERT_TRUE(answer.opcode() == iscsi::kScsiResponse || answer.opcode() == iscsi::kDataIn) << i;
        EXPECT_EQ(answer.bhs[3], 0) << i;
        EXPECT_EQ(data.size(), 512u);
        EXPECT_NE(answer.bhs[1] & 0x04, 0) << "overflow";
        EXPECT_EQ(answer.U32(44), kBlocks * 512 - 512) << i;
    }
    // A read sent as a write (W bit, its 512 bytes sent) takes none of them
    // and is answered.
    const iscsi::Pdu wrong =
        host.Write(iscsitest::Rw10(fw::SCSI_READ10, 100'000, kBlocks), std::vector<uint8_t>(512, 0), 512);
    ASSERT_EQ(wrong.opcode(), iscsi::kScsiResponse);
    // A WRITE(16) or VERIFY(16) longer than the target takes is answered
    // with sense, as one of 65,536 blocks is (its data taken), not rejected.
    for (const uint8_t op : {fw::SCSI_WRITE16, fw::SCSI_VERIFY16}) {
        for (const uint32_t blocks : {65'600u, 100'000u}) {
            std::vector<uint8_t> cdb(16, 0);
            cdb[0] = op;
            if (op == fw::SCSI_VERIFY16) cdb[1] = 0x02;   // BYTCHK 1
            cdb[9] = 200;
            fw::PutBe32(cdb.data() + 10, blocks);
            host.Send(host.Command(0xA1, cdb, blocks * 512));
            const iscsi::Pdu answer = host.Next();
            ASSERT_EQ(answer.opcode(), iscsi::kScsiResponse) << int(op) << " " << blocks;
            EXPECT_EQ(answer.bhs[3], fw::SCSI_STATUS_CHECK_CONDITION);
            ASSERT_GE(answer.data.size(), 16u);
            EXPECT_EQ(answer.data[2 + 2] & 0x0F, fw::SENSE_ILLEGAL_REQUEST);
            EXPECT_EQ(answer.data[2 + 12], fw::ASC_INVALID_FIELD_IN_CDB);
        }
    }
    // The unit still writes and reads.
    const auto fresh = iscsitest::Pattern(8 * 512, 77);
    ASSERT_EQ(host.Write(iscsitest::Rw10(fw::SCSI_WRITE10, 200, 8), fresh, 0).bhs[3], 0);
    std::vector<uint8_t> read;
    ASSERT_EQ(host.Read(iscsitest::Rw10(fw::SCSI_READ10, 200, 8), 4096, &read).bhs[3], 0);
    EXPECT_EQ(read, fresh);
}

// Task management reaches only the tasks its function names: two sessions
// (two initiators) on port 1, LUNs 0 and 1, each with a write waiting for
// its data.  A function addressed to a LUN the host does not have is
// answered "LUN does not exist" and touches nothing; ABORT TASK SET ends the
// sender's tasks only, with no unit attention for anyone; LOGICAL UNIT
// RESET and CLEAR TASK SET reach every initiator's tasks, on the addressed
// LUN only.
class IscsiTaskScope : public IscsiPortalSystemTest {
protected:
    void SetUp() override {
        IscsiPortalSystemTest::SetUp();
        ASSERT_TRUE(builder.OpenEdit());
        ASSERT_EQ(cfgbuild::Builder::CreateLd(4, "LD1"), fw::STATUS_OK);
        ASSERT_TRUE(builder.Commit());
        ASSERT_TRUE(builder.WaitIdle());
        for (uint8_t n = 0; n < 2; ++n) {
            hosts_[n] = std::make_unique<iscsitest::BoardHost>(board, portal);
            hosts_[n]->isidQualifier = n;   // a session, and an initiator, of its own
            ASSERT_TRUE(hosts_[n]->LogInNormal({}, "iqn.2026-12.sim.array-controller:port1"));
            for (uint16_t lun : {0, 1}) ASSERT_EQ(Tur(*hosts_[n], lun, 3), 0) << int(n) << " LUN " << lun;
        }
    }
    static iscsi::Pdu OnLun(iscsi::Pdu p, uint16_t lun) {
        p.SetU64(8, uint64_t(lun) << 48);
        return p;
    }
    // TEST UNIT READY until GOOD or `tries` answers: the last status.
    static int Tur(iscsitest::BoardHost& h, uint16_t lun, int tries = 1) {
        int status = -1;
        for (int i = 0; i < tries && status != 0; ++i) {
            h.Send(OnLun(h.Command(0x81, {fw::SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0}, 0), lun));
            const iscsi::Pdu p = h.Next();
            if (p.opcode() != iscsi::kScsiResponse) return -1;
            status = p.bhs[3];
        }
        return status;
    }
    // A write of 8 blocks waiting at its R2T: the command, and the R2T.
    static std::pair<iscsi::Pdu, iscsi::Pdu> WaitingWrite(iscsitest::BoardHost& h, uint16_t lun, uint32_t lba) {
        const iscsi::Pdu write = OnLun(h.Command(0x21, iscsitest::Rw10(fw::SCSI_WRITE10, lba, 8), 4096), lun);
        h.Send(write);
        const iscsi::Pdu r2t = h.Next();
        EXPECT_EQ(r2t.opcode(), iscsi::kReadyToTransfer);
        return {write, r2t};
    }
    static uint8_t Tmf(iscsitest::BoardHost& h, uint8_t function, uint16_t lun) {
        h.Send(Function(h, function, 0xFFFFFFFF, 0, lun));
        const iscsi::Pdu answer = h.Next();
        EXPECT_EQ(answer.opcode(), iscsi::kTaskManagementResponse);
        return answer.bhs[2];
    }
    // The waiting write's data goes; its status.
    static int Finish(iscsitest::BoardHost& h, const std::pair<iscsi::Pdu, iscsi::Pdu>& w, uint8_t seed) {
        h.Send(h.DataOut(w.first.InitiatorTaskTag(), w.second.U32(20), 0, iscsitest::Pattern(4096, seed), true));
        const iscsi::Pdu p = h.Next();
        return p.opcode() == iscsi::kScsiResponse ? p.bhs[3] : -1;
    }
    static std::vector<uint8_t> ReadBack(iscsitest::BoardHost& h, uint16_t lun, uint32_t lba) {
        std::vector<uint8_t> data;
        const iscsi::Pdu cdb = OnLun(h.Command(0xC1, iscsitest::Rw10(fw::SCSI_READ10, lba, 8), 4096), lun);
        h.Send(cdb);
        for (;;) {
            iscsi::Pdu p = h.Next();
            if (p.InitiatorTaskTag() != cdb.InitiatorTaskTag()) continue;
            if (p.opcode() == iscsi::kScsiResponse) {
                EXPECT_EQ(p.bhs[3], 0);
                return data;
            }
            if (p.opcode() != iscsi::kDataIn) return {};
            data.insert(data.end(), p.data.begin(), p.data.end());
            if (p.bhs[1] & 0x01) return data;
        }
    }
    iscsitest::BoardHost& A() { return *hosts_[0]; }
    iscsitest::BoardHost& B() { return *hosts_[1]; }
    std::unique_ptr<iscsitest::BoardHost> hosts_[2];
};

INSTANTIATE_TEST_SUITE_P(Hosts, IscsiTaskScope, ::testing::Values(Hosts::Fc, Hosts::Sas),
                         [](const auto& info) { return std::string(HostsName(info.param)); });

TEST_P(IscsiTaskScope, AnAbsentLunIsAnsweredSoAndNothingIsTouched) {
    const auto w = WaitingWrite(B(), 0, 40);
    for (uint8_t function : {sim::kTmfAbortTaskSet, sim::kTmfClearTaskSet, sim::kTmfLogicalUnitReset}) {
        EXPECT_EQ(Tmf(A(), function, 9), sim::kTmfNoLun) << int(function);
    }
    EXPECT_EQ(Finish(B(), w, 1), 0);
    EXPECT_EQ(ReadBack(B(), 0, 40), iscsitest::Pattern(4096, 1));
    for (uint16_t lun : {0, 1}) {
        EXPECT_EQ(Tur(A(), lun), 0) << "LUN " << lun;
        EXPECT_EQ(Tur(B(), lun), 0) << "LUN " << lun;
    }
}

TEST_P(IscsiTaskScope, AbortTaskSetEndsTheSendersTasksOnly) {
    ASSERT_EQ(B().Write(iscsitest::Rw10(fw::SCSI_WRITE10, 40, 8), iscsitest::Pattern(4096, 1), 0).bhs[3], 0);
    const auto w = WaitingWrite(B(), 0, 40);
    EXPECT_EQ(Tmf(A(), sim::kTmfAbortTaskSet, 0), sim::kTmfComplete);
    EXPECT_EQ(Finish(B(), w, 2), 0);
    EXPECT_EQ(ReadBack(B(), 0, 40), iscsitest::Pattern(4096, 2));
    EXPECT_EQ(Tur(B(), 0), 0);
    EXPECT_EQ(Tur(A(), 0), 0);

    // The sender's own waiting write ends, unwritten.
    const auto own = WaitingWrite(A(), 0, 40);
    EXPECT_EQ(Tmf(A(), sim::kTmfAbortTaskSet, 0), sim::kTmfComplete);
    EXPECT_EQ(ReadBack(A(), 0, 40), iscsitest::Pattern(4096, 2));
    (void)own;
}

TEST_P(IscsiTaskScope, ClearTaskSetAndLogicalUnitResetReachTheAddressedLunOnly) {
    for (uint8_t function : {sim::kTmfClearTaskSet, sim::kTmfLogicalUnitReset}) {
        SCOPED_TRACE(int(function));
        for (uint16_t lun : {0, 1}) ASSERT_EQ(Finish(B(), WaitingWrite(B(), lun, 40), 1), 0) << "LUN " << lun;
        const auto onOther = WaitingWrite(B(), 0, 40);
        const auto onAddressed = WaitingWrite(B(), 1, 40);
        EXPECT_EQ(Tmf(A(), function, 1), sim::kTmfComplete);
        // LUN 0 is not touched: its write goes on and no attention is raised.
        EXPECT_EQ(Finish(B(), onOther, 2), 0);
        EXPECT_EQ(ReadBack(B(), 0, 40), iscsitest::Pattern(4096, 2));
        EXPECT_EQ(Tur(B(), 0), 0);
        EXPECT_EQ(Tur(A(), 0), 0);
        // The write on LUN 1 reached the port only with its data, after the
        // function: it is done, or refused for the reset, never half done.
        const int status = Finish(B(), onAddressed, 3);
        EXPECT_TRUE(status == 0 || status == fw::SCSI_STATUS_CHECK_CONDITION) << status;
        EXPECT_EQ(Tur(B(), 1, 3), 0);
        EXPECT_EQ(ReadBack(B(), 1, 40), iscsitest::Pattern(4096, status == 0 ? 3 : 1));
        EXPECT_EQ(Tur(A(), 1, 3), 0);
    }
}

// ---- sessions on SAS host ports ------------------------------------------

class IscsiSasSessions : public PortalController, public ::testing::Test {
protected:
    IscsiSasSessions() : PortalController(Hosts::Sas) {}
    void SetUp() override { Start(fw::RAID_LEVEL_5); }
    sim::SasTargetIoc& Ioc() { return *board.sasTargetIoc(); }

    // A session on port 1, past the unit attention of its host's arrival.
    std::unique_ptr<iscsitest::BoardHost> Session() {
        auto h = std::make_unique<iscsitest::BoardHost>(board, portal);
        if (!h->LogInNormal({}, "iqn.2026-12.sim.array-controller:port1")) return nullptr;
        for (int i = 0; i < 3; ++i) {
            h->Send(h->Command(0x81, {0, 0, 0, 0, 0, 0}, 0));
            if (h->Next().bhs[3] == 0) return h;
        }
        return nullptr;
    }
    // A read of one block whose data the IOC holds back.
    static iscsi::Pdu HeldRead(iscsitest::BoardHost& h, uint32_t lba) {
        iscsi::Pdu read = h.Command(0xC1, iscsitest::Rw10(0x28, lba, 1), 512);
        h.Send(read);
        return read;
    }
    void HoldReads() { Ioc().holdAssists = true; }
    bool RunUntilHeld(size_t n) {
        board.RunUntil([&] { return Ioc().heldAssists() == n; }, 5'000'000'000ull);
        return Ioc().heldAssists() == n;
    }
    // The next answer that is not read data.
    static iscsi::Pdu NextAnswer(iscsitest::BoardHost& h) {
        iscsi::Pdu p = h.Next();
        while (p.opcode() == iscsi::kDataIn) p = h.Next();
        return p;
    }
    // Nothing of the sessions left at the IOC: every frame answered or
    // dropped, every command buffer back.
    void ExpectIocAtRest() {
        board.RunUntil([&] { return Ioc().openExchanges() == 0 && Ioc().freeCommandBuffers() == freeBuffers; },
                       5'000'000'000ull);
        EXPECT_EQ(Ioc().openExchanges(), 0u);
        EXPECT_EQ(Ioc().freeCommandBuffers(), freeBuffers);
    }
    size_t freeBuffers = 0;
};

// ABORT TASK of a read the port holds ends it with no response and is
// answered complete; ABORT TASK SET ends every task of the session on the
// unit.  The session goes on, and the IOC gets every buffer back.
TEST_F(IscsiSasSessions, AbortTaskAndAbortTaskSetEndTheSessionsTasks) {
    freeBuffers = Ioc().freeCommandBuffers();
    auto h = Session();
    ASSERT_TRUE(h);
    HoldReads();
    const iscsi::Pdu read = HeldRead(*h, 8);
    ASSERT_TRUE(RunUntilHeld(1));
    h->Send(Function(*h, sim::kTmfAbortTask, read.InitiatorTaskTag(), read.U32(24)));
    iscsi::Pdu answer = h->Next();
    ASSERT_EQ(answer.opcode(), iscsi::kTaskManagementResponse);
    EXPECT_EQ(answer.bhs[2], sim::kTmfComplete);
    // A task the session no longer has is not found.
    h->Send(Function(*h, sim::kTmfAbortTask, 0x7777, h->cmdSn));
    answer = NextAnswer(*h);
    EXPECT_EQ(answer.bhs[2], sim::kTmfNoTask);

    HeldRead(*h, 16);
    HeldRead(*h, 24);
    ASSERT_TRUE(RunUntilHeld(2));
    h->Send(Function(*h, sim::kTmfAbortTaskSet));
    answer = NextAnswer(*h);
    ASSERT_EQ(answer.opcode(), iscsi::kTaskManagementResponse);
    EXPECT_EQ(answer.bhs[2], sim::kTmfComplete);
    // The aborted reads hear nothing more.
    Ioc().ReleaseAssists();
    board.RunFor(100'000'000);
    h->conn->Produce();
    EXPECT_TRUE(h->conn->output().empty());
    std::vector<uint8_t> data;
    EXPECT_EQ(h->Read(iscsitest::Rw10(0x28, 8, 1), 512, &data).bhs[3], 0);
    ExpectIocAtRest();
}

// A warm reset is not carried (no TASK frame has one): it is answered so,
// and a write still gathering its data is not dropped by it.
TEST_F(IscsiSasSessions, AWarmResetIsAnsweredNotSupportedAndDropsNothing) {
    auto h = Session();
    ASSERT_TRUE(h);
    const auto data = iscsitest::Pattern(4096, 3);
    const iscsi::Pdu write = h->Command(0x21, iscsitest::Rw10(0x2A, 40, 8), uint32_t(data.size()));
    h->Send(write);
    const iscsi::Pdu r2t = h->Next();
    ASSERT_EQ(r2t.opcode(), iscsi::kReadyToTransfer);
    h->Send(Function(*h, sim::kTmfTargetWarmReset));
    const iscsi::Pdu answer = h->Next();
    ASSERT_EQ(answer.opcode(), iscsi::kTaskManagementResponse);
    EXPECT_EQ(answer.bhs[2], sim::kTmfNotSupported);
    h->Send(h->DataOut(write.InitiatorTaskTag(), r2t.U32(20), 0, data, true));
    const iscsi::Pdu status = h->Next();
    ASSERT_EQ(status.opcode(), iscsi::kScsiResponse);
    EXPECT_EQ(status.bhs[3], 0);
    std::vector<uint8_t> read;
    EXPECT_EQ(h->Read(iscsitest::Rw10(0x28, 40, 8), 4096, &read).bhs[3], 0);
    EXPECT_EQ(read, data);
}

// A SAS COMMAND frame carries no expected length, so the bridge answers the
// residual as the iSCSI target: a write whose CDB asks more than the host's
// expected length writes the whole blocks that length holds and no more, and
// is answered GOOD with the overflow; one that asks less takes what its CDB
// names, with the underflow.
TEST_F(IscsiSasSessions, AWriteBeyondItsExpectedLengthWritesWhatItHoldsAndAnswersTheResidual) {
    auto h = Session();
    ASSERT_TRUE(h);
    std::vector<uint8_t> capacity;
    ASSERT_EQ(h->Read({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8, &capacity).bhs[3], 0);
    const auto old = iscsitest::Pattern(1024, 5), fresh = iscsitest::Pattern(1024, 6);
    ASSERT_EQ(h->Write(iscsitest::Rw10(0x2A, 60, 2), old, 1024).bhs[3], 0);
    struct Case {
        uint8_t op;
        uint32_t expected;
        uint8_t flag;       // 0x04 overflow, 0x02 underflow
        uint32_t residual;
    };
    for (const Case& c : {Case{0x2A, 512, 0x04, 512}, Case{0x2E, 200, 0x04, 824}, Case{0x2A, 0, 0x04, 1024},
                          Case{0x2E, 1024, 0, 0}}) {
        const std::vector<uint8_t> data(fresh.begin(), fresh.begin() + c.expected);
        const iscsi::Pdu status = h->Write(iscsitest::Rw10(c.op, 60, 2), data, c.expected);
        ASSERT_EQ(status.opcode(), iscsi::kScsiResponse) << c.expected;
        EXPECT_EQ(status.bhs[3], 0) << c.expected;
        EXPECT_EQ(status.bhs[1] & 0x06, c.flag) << c.expected;
        EXPECT_EQ(status.U32(44), c.residual) << c.expected;
        std::vector<uint8_t> read;
        ASSERT_EQ(h->Read(iscsitest::Rw10(0x28, 60, 2), 1024, &read).bhs[3], 0);
        const size_t written = c.expected / 512 * 512;
        EXPECT_TRUE(std::equal(read.begin(), read.begin() + written, fresh.begin())) << c.expected;
        EXPECT_TRUE(std::equal(read.begin() + written, read.end(), old.begin() + written)) << c.expected;
        ASSERT_EQ(h->Write(iscsitest::Rw10(0x2A, 60, 2), old, 1024).bhs[3], 0);
    }
    const iscsi::Pdu under = h->Write(iscsitest::Rw10(0x2A, 60, 1), fresh, 1024);
    EXPECT_EQ(under.bhs[3], 0);
    EXPECT_EQ(under.bhs[1] & 0x06, 0x02);
    EXPECT_EQ(under.U32(44), 512u);
}

// An ABORT TASK sent behind its write either stops it (no response, the
// abort complete) or finds it answered (its response, and the abort
// answered "task does not exist"), never both a response and a complete
// abort.  The abort follows the write at once, then a little later each
// round, as a busy host's may.
TEST_F(IscsiSasSessions, AnAbortBehindItsWriteEitherStopsItOrFindsNoTask) {
    auto h = Session();
    ASSERT_TRUE(h);
    const auto data = iscsitest::Pattern(512, 4);
    int stopped = 0, finished = 0;
    for (uint64_t delayNs : {0ull, 2'000ull, 20'000ull, 200'000ull}) {
        const iscsi::Pdu write = h->Command(0xA1, iscsitest::Rw10(0x2A, 80, 1), 512, data);
        const iscsi::Pdu abort = Function(*h, sim::kTmfAbortTask, write.InitiatorTaskTag(), write.U32(24));
        h->Send(write);
        board.RunFor(delayNs);
        h->Send(abort);
        bool response = false;
        iscsi::Pdu p;
        do {
            p = h->Next();
            ASSERT_NE(p.opcode(), 0) << delayNs;
            if (p.opcode() == iscsi::kScsiResponse) {
                response = true;
                EXPECT_EQ(p.bhs[3], 0) << delayNs;
            }
        } while (p.opcode() != iscsi::kTaskManagementResponse);
        EXPECT_EQ(p.bhs[2], response ? sim::kTmfNoTask : sim::kTmfComplete) << delayNs;
        ++(response ? finished : stopped);
    }
    // Both ends were met.
    EXPECT_GT(stopped, 0);
    EXPECT_GT(finished, 0);
}

// The IOC links 64 initiators: a 65th session is refused, and served once
// another has ended.  A session that ends with a read held at the port
// leaves nothing behind.
TEST_F(IscsiSasSessions, SessionsPastTheIocsInitiatorsAreRefusedAndEndedOnesLeaveNothing) {
    freeBuffers = Ioc().freeCommandBuffers();
    std::vector<std::unique_ptr<iscsitest::BoardHost>> sessions;
    for (int n = 0; n < 64; ++n) {
        sessions.push_back(std::make_unique<iscsitest::BoardHost>(board, portal));
        sessions.back()->isidQualifier = uint8_t(n);   // sessions of their own, none reinstating another
        ASSERT_TRUE(sessions.back()->LogInNormal({}, "iqn.2026-12.sim.array-controller:port1")) << n;
    }
    iscsitest::BoardHost extra(board, portal);
    extra.isidQualifier = 64;
    EXPECT_FALSE(extra.LogInNormal({}, "iqn.2026-12.sim.array-controller:port1"));
    sessions.clear();
    board.RunFor(100'000'000);

    auto h = Session();
    ASSERT_TRUE(h);
    HoldReads();
    HeldRead(*h, 8);
    ASSERT_TRUE(RunUntilHeld(1));
    h->conn.reset();
    Ioc().ReleaseAssists();
    ExpectIocAtRest();
    EXPECT_TRUE(Ioc().PortLinked(0));
    auto again = Session();
    ASSERT_TRUE(again);
}

}  // namespace

namespace {

// The power goes while writes are on their way: a port without power
// answers nothing, so the host hears its connection end with those writes
// undone, and sends them again through another path.  An answer of any kind
// would do harm: a host that reads only the status byte of a SCSI Response
// takes a service response (whose status byte means nothing) for GOOD.
TEST_P(IscsiPortalSystemTest, WritesOnTheirWayWhenThePowerGoesAreNeverAnswered) {
    iscsitest::BoardHost session(board, portal);
    ASSERT_TRUE(session.LogInNormal({}, "iqn.2026-12.sim.array-controller:port1"));
    for (int i = 0; i < 2; ++i) {   // past the login's unit attention
        session.Send(session.Command(0x81, {fw::SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0}, 0));
        ASSERT_EQ(session.Next().opcode(), iscsi::kScsiResponse);
    }
    for (uint32_t i = 0; i < 4; ++i) {
        std::vector<uint8_t> bytes;
        iscsi::EncodeFrame(session.Command(0xA1, iscsitest::Rw10(fw::SCSI_WRITE10, 1000 + i * 64, 64), 64 * 512,
                                           iscsitest::Pattern(64 * 512, uint8_t(i))),
                           session.limits, &bytes);
        session.Transmit(bytes);
    }
    // The writes reached the host port, and none is answered yet.
    session.conn->Produce();
    const bool fOnTheirWay = session.conn->output().empty();
    board.CutPower();
    // A session with nothing on its way learns of it with its next command.
    if (!session.conn->Closing()) {
        std::vector<uint8_t> bytes;
        iscsi::EncodeFrame(session.Command(0x81, {fw::SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0}, 0), session.limits, &bytes);
        session.Transmit(bytes);
    }
    board.RunFor(1'000'000);
    session.conn->Produce();
    EXPECT_TRUE(fOnTheirWay);
    EXPECT_TRUE(session.conn->Closing()) << "the connection outlived its port";
    EXPECT_TRUE(session.conn->output().empty()) << "an answer came from a port without power";
}

}  // namespace
