// As many iSCSI sessions on one host port as the port logs initiators in:
// each is served, and one more is refused at login for want of resources
// rather than let in to find no logical unit.
#include "host_road.h"
#include "harness/iscsi_host.h"
#include "sim/iscsi_fc_bridge.h"

namespace {

using namespace roadtest;
namespace iscsi = sim::iscsi;

// The port logs in initiators with handles 1 to 254; the road's own FC
// host holds one of them.
constexpr unsigned kPortInitiators = 254 - 1;

TEST_F(HostRoad, APortFullOfSessionsRefusesTheNextLoginAndServesTheRest) {
    ASSERT_NO_FATAL_FAILURE(Boot({"Raid5", fw::RAID_LEVEL_5, 4, 16}));
    sim::IscsiFcBridge bridge(*fabric, {sim::FindIspChip(*board, 1), sim::FindIspChip(*board, 2)});
    sim::IscsiPortal portal(bridge);
    auto open = [&](unsigned n) {
        auto s = std::make_unique<iscsitest::BoardHost>(*board, portal);
        s->isidQualifier = uint8_t(n);
        s->itt = 0x1000 * n;
        return s;
    };
    // Served: the first command meets the unit attention of the login.
    auto served = [](iscsitest::BoardHost& s) {
        iscsi::Pdu r;
        for (int i = 0; i < 2; ++i) {
            s.Send(s.Command(0x81, {fw::SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0}, 0));
            r = s.Next();
        }
        return r.opcode() == iscsi::kScsiResponse && r.bhs[3] == 0;
    };
    std::vector<std::unique_ptr<iscsitest::BoardHost>> sessions;
    for (unsigned n = 0; n < kPortInitiators; ++n) {
        sessions.push_back(open(n));
        ASSERT_TRUE(sessions.back()->LogInNormal({}, "iqn.2026-12.sim.array-controller:port1")) << n;
    }
    auto extra = open(kPortInitiators);
    const iscsi::Pdu first = extra->Login(0x81, {{"InitiatorName", "iqn.2026-01.host:one"},
                                                 {"TargetName", "iqn.2026-12.sim.array-controller:port1"},
                                                 {"SessionType", "Normal"}, {"AuthMethod", "None"}});
    ASSERT_EQ(first.U16(36), 0);
    const iscsi::Pdu refused = extra->Login(0x87, {});
    EXPECT_EQ(refused.opcode(), iscsi::kLoginResponse);
    EXPECT_EQ(refused.U16(36), 0x0302);
    EXPECT_TRUE(extra->conn->Closing());
    for (unsigned n : {0u, 100u, kPortInitiators - 1}) EXPECT_TRUE(served(*sessions[n])) << n;

    // One leaves: a new session takes its place and is served.
    sessions[7].reset();
    board->RunFor(50'000'000);
    auto again = open(kPortInitiators + 1);
    ASSERT_TRUE(again->LogInNormal({}, "iqn.2026-12.sim.array-controller:port1"));
    EXPECT_TRUE(served(*again));
    EXPECT_TRUE(served(*sessions[kPortInitiators - 1]));
}

}  // namespace
