// The iSCSI sessions' initiators on a Fibre Channel fabric, against a
// target port a test answers by hand: a session is up once its initiator
// is logged in, a port that takes no more initiators refuses the session,
// every abort of a task is answered, and an initiator no session needs is
// freed once the port holds nothing of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "harness/iscsi_host.h"
#include "sim/fc_fabric.h"
#include "sim/iscsi_fc_bridge.h"

namespace {

using iscsitest::LocalHost;
using sim::iscsi::Pdu;

class HandPort : public sim::FcTargetPort {
public:
    uint64_t PortName() const override { return 0x2200000000000001ull; }
    uint64_t NodeName() const override { return 0x2000000000000001ull; }
    uint32_t PortId() const override { return 0x0A0100; }
    bool Online() const override { return true; }
    uint64_t NowNs() const override { return 0; }
    void Plogi(sim::FcInitiator& initiator) override { plogis.push_back(&initiator); }
    void Logo(sim::FcInitiator& initiator) override { logos.push_back(&initiator); }
    void Command(sim::FcInitiator& initiator, uint32_t tag, const sim::FcpCommand&) override {
        commands.push_back({&initiator, tag});
    }
    void Abts(sim::FcInitiator& initiator, uint32_t tag) override { abts.push_back({&initiator, tag}); }
    void MembershipChanged(sim::FcInitiator&, bool) override {}
    void LinkChanged(bool) override {}
    void FabricGone() override {}
    bool Holds(const sim::FcInitiator& initiator) const override {
        return std::count(logos.begin(), logos.end(), &initiator) != 0;
    }
    std::vector<sim::FcInitiator*> plogis, logos;
    std::vector<std::pair<sim::FcInitiator*, uint32_t>> commands, abts;
};

class Bridge : public ::testing::Test {
protected:
    void SetUp() override { fabric.Attach(port); }
    // The last login request; its answer waits for the port's.
    void StartLogin(LocalHost& h) {
        ASSERT_EQ(h.Login(0x81, {{"InitiatorName", "iqn.2026-01.host:one"},
                                 {"TargetName", "iqn.2026-12.sim.array-controller:port1"},
                                 {"SessionType", "Normal"}, {"AuthMethod", "None"}})
                      .U16(36),
                  0);
        Pdu last = sim::iscsi::MakePdu(sim::iscsi::kLoginRequest | sim::iscsi::kImmediate, false);
        last.bhs[1] = 0x87;
        const uint8_t isid[6] = {0x80, 0, 0, 0x12, 0x34, 0};
        std::copy(isid, isid + 6, last.bhs.begin() + 8);
        last.SetU32(16, h.itt);
        last.SetU32(24, h.cmdSn);
        h.Send(last);
        ASSERT_TRUE(h.in.empty());
        ASSERT_EQ(port.plogis.size(), 1u);
    }
    Pdu AbortTask(LocalHost& h, uint32_t referenced) {
        Pdu p = sim::iscsi::MakePdu(sim::iscsi::kTaskManagementRequest | sim::iscsi::kImmediate, false);
        p.bhs[1] = 0x80 | sim::kTmfAbortTask;
        p.SetU32(16, ++h.itt);
        p.SetU32(20, referenced);
        p.SetU32(24, h.cmdSn);
        return p;
    }
    HandPort port;   // outlives the fabric, which tells it it goes
    sim::FcFabric fabric;
    sim::IscsiFcBridge bridge{fabric, {&port}};
    sim::IscsiPortal portal{bridge};
};

TEST_F(Bridge, ASessionIsUpOnceItsInitiatorIsLoggedInAndEveryAbortIsAnswered) {
    LocalHost h(portal);
    ASSERT_NO_FATAL_FAILURE(StartLogin(h));
    sim::FcInitiator& initiator = *port.plogis[0];
    initiator.LoginAnswered(port, true);
    Pdu r = h.Next();
    ASSERT_EQ(r.opcode(), sim::iscsi::kLoginResponse);
    EXPECT_EQ(r.U16(36), 0);

    Pdu read = h.Command(0xC1, {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 512);
    h.Send(read);
    ASSERT_EQ(port.commands.size(), 1u);
    // Two aborts of the one task: one ABTS goes out, and when the port
    // accepts it both are answered; the task itself hears nothing.
    h.Send(AbortTask(h, read.InitiatorTaskTag()));
    h.Send(AbortTask(h, read.InitiatorTaskTag()));
    ASSERT_EQ(port.abts.size(), 1u);
    EXPECT_TRUE(h.in.empty());
    initiator.AbortAnswered(port.abts[0].second, true);
    h.Collect();
    for (int i = 0; i < 2; ++i) {
        r = h.Next();
        EXPECT_EQ(r.opcode(), sim::iscsi::kTaskManagementResponse) << i;
        EXPECT_EQ(r.bhs[2], sim::kTmfComplete) << i;
    }
    EXPECT_TRUE(h.in.empty());
}

TEST_F(Bridge, APortThatTakesNoMoreInitiatorsRefusesTheSession) {
    LocalHost h(portal);
    ASSERT_NO_FATAL_FAILURE(StartLogin(h));
    port.plogis[0]->LoginAnswered(port, false);
    Pdu r = h.Next();
    ASSERT_EQ(r.opcode(), sim::iscsi::kLoginResponse);
    EXPECT_EQ(r.U16(36), 0x0302);   // out of resources
    EXPECT_TRUE(h.conn->Closing());
}

// The initiator lives while the port holds its logout, comes back to a
// session of the same name meanwhile, and is freed once nothing holds it.
TEST_F(Bridge, AnInitiatorNoSessionNeedsIsFreed) {
    auto session = [&] {
        auto h = std::make_unique<LocalHost>(portal);
        port.plogis.clear();
        StartLogin(*h);
        port.plogis[0]->LoginAnswered(port, true);
        EXPECT_EQ(h->Next().U16(36), 0);
        return h;
    };
    auto first = session();
    sim::FcInitiator* initiator = port.plogis[0];
    first.reset();
    ASSERT_EQ(port.logos.size(), 1u);
    ASSERT_EQ(fabric.initiators().size(), 1u);   // its logout is still on the way
    auto second = session();
    EXPECT_EQ(port.plogis[0], initiator);
    EXPECT_EQ(port.plogis[0]->portName(), sim::IscsiFcBridge::PortNameFor("iqn.2026-01.host:one"));
    port.logos.clear();   // the port took the logouts
    second.reset();
    port.logos.clear();
    EXPECT_EQ(fabric.Find(sim::IscsiFcBridge::PortNameFor("iqn.2026-01.host:one")), nullptr);
    EXPECT_TRUE(fabric.initiators().empty());
}

}  // namespace
