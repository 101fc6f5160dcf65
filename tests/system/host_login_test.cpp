// Hosts logging in one after another on a Fibre Channel host port that
// already serves many: each new host is served at once, and what the port
// does for its login does not grow with the hosts already there.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "executive/types.h"
#include "config/host_port_tables.h"
#include "fc/host_port_scan.h"
#include "fc/ql_handle_map.h"
#include "harness/config_builder.h"
#include "harness/dispatch_board.h"
#include "hw/scsi.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/fc_fabric.h"
#include "sim/fc_host.h"
#include "sim/isp_chip.h"
#include "sim/sas_controller.h"

namespace {

constexpr uint64_t kFirstHost = 0x2100001B32D00000ull;
constexpr unsigned kHosts = 24;

class HostLogins : public ::testing::Test {
protected:
    void SetUp() override {
        board.sasController().AttachChassis(&chassis);
        Chip().AttachFabric(fabric);
        ASSERT_TRUE(harness::BootToMainLoop(board)) << board.ConsoleText();
        ASSERT_TRUE(builder.WaitIdle());
        ASSERT_TRUE(builder.MakeArrayWithLd({fw::RAID_LEVEL_5, {1, 2, 3, 4}}, 4));
        ASSERT_TRUE(builder.WaitIdle());
    }
    sim::IspChip& Chip() { return *sim::FindIspChip(board, 1); }
    // A new host logs in and is ready: its first command met the unit
    // attention of its login, the next one is answered GOOD.  The board
    // time that took.
    uint64_t LogInAndServe(uint64_t portName) {
        hosts.push_back(std::make_unique<sim::FcHost>(board, fabric, Chip(), portName));
        const uint64_t start = board.clock().Now();
        EXPECT_TRUE(hosts.back()->LogIn());
        for (int i = 0; i < 3; ++i) {
            if (hosts.back()->Send(0, {fw::SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0}).status == 0) break;
        }
        return board.clock().Now() - start;
    }
    sim::Chassis chassis;
    sim::FcFabric fabric;
    sim::Board board;
    cfgbuild::Builder builder{board};
    std::vector<std::unique_ptr<sim::FcHost>> hosts;
};

// Back to back, so that each login comes soon after the port's last scan:
// the new host does not wait out the pause between scans of loop events,
// and the port reads the names of the new login alone.
TEST_F(HostLogins, EachNewHostIsServedAtOnceWhateverTheHostsBeforeIt) {
    for (unsigned n = 0; n < kHosts; ++n) {
        const uint32_t reads = Chip().initiatorNameReads();
        const uint64_t ns = LogInAndServe(kFirstHost + n);
        EXPECT_LT(ns, fw::HOST_SCAN_MIN_INTERVAL_MS * 1'000'000 / 2) << n;
        EXPECT_EQ(Chip().initiatorNameReads() - reads, 2u) << n;   // its port and node names
    }
    // Every host sees the logical drive.
    for (auto& h : hosts) {
        EXPECT_EQ(h->Send(0, {fw::SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0}).status, fw::SCSI_STATUS_GOOD);
    }
}

// A host that logs out changes the port's database, and the port is
// scanned again, but the hosts that stay go on being served meanwhile:
// their rights did not change.
TEST_F(HostLogins, AHostLeavingHoldsNoOtherHostsCommands) {
    LogInAndServe(kFirstHost);
    LogInAndServe(kFirstHost + 1);   // the port's last scan was for this login
    hosts.back()->LogOut();
    // The chip has told the port of it, and a scan is due.
    ASSERT_TRUE(hosts.front()->RunUntil([] { return fw::bGetHostPortLinkFlag(1) == fw::TRUE; }));
    const uint64_t start = board.clock().Now();
    EXPECT_EQ(hosts.front()->Send(0, {fw::SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0}).status, fw::SCSI_STATUS_GOOD);
    EXPECT_LT(board.clock().Now() - start, fw::HOST_SCAN_MIN_INTERVAL_MS * 1'000'000 / 2);
    // The rescan followed: the host that left is no longer listed.
    ASSERT_TRUE(hosts.front()->RunUntil([] { return fw::pGetHostPortRecord(1)->bInitiatorCount == 1; }));
}

// The chip takes commands only from logged-in ports; a login the driver's
// handle map lacks (here taken out of it) still has its command answered,
// BUSY, and the host is served again once the map has it.
TEST_F(HostLogins, ACommandFromALoginTheDriverDoesNotKnowIsAnsweredBusy) {
    LogInAndServe(kFirstHost);
    sim::FcHost& host = *hosts.front();
    const uint32_t portId = host.initiator().portId();
    uint16_t handle = 0;
    ASSERT_EQ(fw::bLookupHandleByPortId(1, portId, &handle), fw::STATUS_OK);
    ASSERT_EQ(fw::bRemoveHandleMapping(1, portId, handle), fw::STATUS_OK);
    const sim::FcpResult busy = host.Send(0, {fw::SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0});
    ASSERT_EQ(busy.outcome, sim::FcpResult::Outcome::Done);
    EXPECT_EQ(busy.status, fw::SCSI_STATUS_BUSY);
    ASSERT_EQ(fw::bAddHandleMapping(1, portId, handle), fw::STATUS_OK);
    EXPECT_EQ(host.Send(0, {fw::SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0}).status, fw::SCSI_STATUS_GOOD);
}

}  // namespace
