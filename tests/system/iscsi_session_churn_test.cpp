// Hosts that log out and at once log in again with the same name and ISID:
// the old session's initiator logs out of the port as the new one logs in,
// and every command of every session is answered.
#include "host_road.h"
#include "harness/iscsi_host.h"
#include "sim/iscsi_fc_bridge.h"

namespace {

using namespace roadtest;
namespace iscsi = sim::iscsi;

// The gap between one session's logout and the next login sweeps from none
// to half a millisecond of the controller's time, so the new login meets
// every step of the controller's handling of the old logout.
TEST_F(HostRoad, EveryCommandOfSessionsThatLogOutAndBackInIsAnswered) {
    ASSERT_NO_FATAL_FAILURE(Boot({"Raid5", fw::RAID_LEVEL_5, 4, 16}));
    Write(40, 8, 5);
    sim::IscsiFcBridge bridge(*fabric, {sim::FindIspChip(*board, 1), sim::FindIspChip(*board, 2)});
    sim::IscsiPortal portal(bridge);
    for (uint32_t cycle = 0; cycle < 1000; ++cycle) {
        iscsitest::BoardHost session(*board, portal);
        ASSERT_TRUE(session.LogInNormal({}, "iqn.2026-12.sim.array-controller:port1")) << "cycle " << cycle;
        // The first command meets the unit attention of the new login.
        iscsi::Pdu r;
        for (int i = 0; i < 2; ++i) {
            session.Send(session.Command(0x81, {fw::SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0}, 0));
            r = session.Next();
            ASSERT_EQ(r.opcode(), iscsi::kScsiResponse) << "cycle " << cycle << ": no answer";
        }
        ASSERT_EQ(r.bhs[3], 0) << "cycle " << cycle;
        if (cycle % 20 == 0) {
            std::vector<uint8_t> data;
            ASSERT_EQ(session.Read(iscsitest::Rw10(fw::SCSI_READ10, 40, 8), 8 * kBlock, &data).bhs[3], 0) << "cycle " << cycle;
            ASSERT_TRUE(data == Random(8, 5)) << "cycle " << cycle;
        }
        iscsi::Pdu logout = iscsi::MakePdu(iscsi::kLogoutRequest | iscsi::kImmediate);
        logout.SetU32(16, ++session.itt);
        logout.SetU32(24, session.cmdSn);
        session.Send(std::move(logout));
        ASSERT_EQ(session.Next().opcode(), iscsi::kLogoutResponse);
        board->RunFor(uint64_t(cycle % 250) * 2'000);
    }
}

}  // namespace
