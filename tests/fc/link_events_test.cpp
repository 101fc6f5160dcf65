// Host-port link events against a booted controller: LIP, loop down and up,
// fabric changes and LIP reset as the chip reports them, and what the
// interrupt path does with in-pointers and handles that name nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "config/host_lun_tables.h"
#include "config/host_port_tables.h"
#include "eventlog/event_log.h"
#include "harness/dispatch_board.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "fc/fc_driver.h"
#include "fc/host_port_scan.h"
#include "hw/isp_fc.h"
#include "responder.h"
#include "harness/fc_controller.h"
#include "target/host_command_pool.h"
#include "hw/addresses.h"

namespace {

using harness::CountEvents;
using harness::NewestEvent;
using fctest::FcController;
using fctest::Responder;
using Outcome = sim::FcpResult::Outcome;

constexpr uint64_t kHostName = 0x2100001B32000001ull;
constexpr uint64_t kSettleNs = 50'000'000;

uint64_t PortNameOf(const fw::HOST_INITIATOR& initiator) {
    uint64_t name = 0;
    for (uint8_t b : initiator.abPortName) name = name << 8 | b;
    return name;
}

// The initiators the port's record lists, by port name.
std::vector<uint64_t> ListedPortNames(uint8_t port) {
    std::vector<uint64_t> names;
    const fw::HOST_PORT_RECORD* record = fw::pGetHostPortRecord(port);
    for (uint8_t i = 0; i < record->bInitiatorCount; ++i) names.push_back(PortNameOf(record->asInitiator[i]));
    return names;
}

// The id the port's record lists the initiator of that port name under.
constexpr uint8_t kNotListed = 0xFF;
uint8_t IdListedAs(uint8_t port, uint64_t portName) {
    const fw::HOST_PORT_RECORD* record = fw::pGetHostPortRecord(port);
    for (uint8_t i = 0; i < record->bInitiatorCount; ++i) {
        if (PortNameOf(record->asInitiator[i]) == portName) return record->asInitiator[i].bId;
    }
    return kNotListed;
}

TEST(LinkEvents, LipAndLoopDownAndUpKeepTheLinkState) {
    FcController c;
    ASSERT_EQ(fw::fIsHostLoopUp(1), fw::TRUE);
    EXPECT_EQ(fw::bGetHostLinkSpeed(1), 4);
    const uint16_t lips = fw::wGetHostLoopLipCount(1);
    const uint32_t lipEvents = CountEvents(36);

    c.Chip(1).RaiseAsyncEvent(fw::ISP_AEN_LIP, 0xF7E8);
    c.Run(kSettleNs);
    EXPECT_EQ(fw::wGetHostLoopLipCount(1), lips + 1);
    EXPECT_EQ(fw::wGetHostLoopLipCount(2), 0);
    ASSERT_EQ(CountEvents(36), lipEvents + 1);
    const fw::EVENT_LOG_ENTRY* lip = NewestEvent(36);
    EXPECT_EQ(lip->abArgs[0], 1);
    EXPECT_EQ(lip->abArgs[1], 0xF7);
    EXPECT_EQ(lip->abArgs[2], 0xE8);
    // The scan the LIP asked for has run: the flag is down again.
    EXPECT_EQ(fw::fGetHostLoopLipFlag(1), fw::FALSE);

    c.Chip(1).RaiseAsyncEvent(fw::ISP_AEN_LOOP_DOWN);
    c.Run(kSettleNs);
    EXPECT_EQ(fw::fIsHostLoopUp(1), fw::FALSE);
    EXPECT_EQ(fw::bGetHostLinkSpeed(1), 0);
    ASSERT_NE(NewestEvent(38), nullptr);
    EXPECT_EQ(NewestEvent(38)->abArgs[0], 1);
    EXPECT_EQ(fw::fIsHostLoopUp(2), fw::TRUE);

    c.Chip(1).RaiseAsyncEvent(fw::ISP_AEN_LOOP_UP, fw::ISP_SPEED_2G);
    c.Run(kSettleNs);
    EXPECT_EQ(fw::fIsHostLoopUp(1), fw::TRUE);
    EXPECT_EQ(fw::bGetHostLinkSpeed(1), 2);
    ASSERT_NE(NewestEvent(37), nullptr);
    EXPECT_EQ(NewestEvent(37)->abArgs[1], 2);
    // A speed code the chip does not define keeps the one the port had.
    c.Chip(1).RaiseAsyncEvent(fw::ISP_AEN_LOOP_UP, 2);
    c.Run(kSettleNs);
    EXPECT_EQ(fw::bGetHostLinkSpeed(1), 2);
}

// On the fabric an initiator that leaves or comes back is an RSCN; the
// rescan lists exactly the initiators logged in.
TEST(LinkEvents, AFabricChangeRescansTheInitiators) {
    FcController c;
    Responder r(c.board);
    r.onCommand = [](Responder& self, fw::KERNEL_ENTRY* e) { self.Status(e, 0); };
    sim::FcHost first(c.board, c.fabric, c.Port(1), kHostName);
    sim::FcHost second(c.board, c.fabric, c.Port(1), kHostName + 1);
    ASSERT_TRUE(first.LogIn());
    ASSERT_TRUE(second.LogIn());
    c.Run(kSettleNs);
    std::vector<uint64_t> listed = ListedPortNames(1);
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, (std::vector<uint64_t>{kHostName, kHostName + 1}));
    EXPECT_TRUE(ListedPortNames(2).empty());

    const uint8_t secondId = IdListedAs(1, kHostName + 1);
    second.initiator().DropOff();
    c.Run(kSettleNs);
    EXPECT_EQ(ListedPortNames(1), std::vector<uint64_t>{kHostName});
    EXPECT_EQ(first.Send(0, {0x00, 0, 0, 0, 0, 0}).outcome, Outcome::Done);

    // A new host is given the handle the second had: it is listed under
    // its own names, not those the handle last stood for.
    sim::FcHost third(c.board, c.fabric, c.Port(1), kHostName + 2);
    ASSERT_TRUE(third.LogIn());
    c.Run(kSettleNs);
    EXPECT_EQ(IdListedAs(1, kHostName + 2), secondId);
    EXPECT_EQ(IdListedAs(1, kHostName + 1), kNotListed);

    second.initiator().ComeBack();
    ASSERT_TRUE(second.LogIn());
    c.Run(kSettleNs);
    EXPECT_EQ(ListedPortNames(1).size(), 3u);
    EXPECT_EQ(second.Send(0, {0x00, 0, 0, 0, 0, 0}).outcome, Outcome::Done);
}

// A port database change taken while a scan reads the port (an interrupt
// between its mailbox commands, after the scan took the port's flags) may
// be missing from that scan: it has the port scanned once more.  The
// simulated chip holds its events back while mailbox answers follow one
// another, so the interrupt path's handler is called at that point here.
TEST(LinkEvents, AChangeTakenDuringAScanHasThePortScannedAgain) {
    FcController c;
    sim::FcHost host(c.board, c.fabric, c.Port(1), kHostName);
    ASSERT_TRUE(host.LogIn());
    c.Run(kSettleNs);
    bool scanning = false, raised = false;
    std::function<void()> watch = [&] {
        if (scanning && fw::bGetHostPortLinkFlag(1) == fw::FALSE) {
            fw::HostAsyncEvent(1, fw::ISP_AEN_PORT_DATABASE_CHANGED, 0);
            raised = true;
        } else {
            c.board.clock().ScheduleIn(100, [&watch] { watch(); });
        }
    };
    watch();
    ASSERT_EQ(c.board.RunOnCpu([&] {
        fw::SetHostPortLinkFlag(1, fw::TRUE);
        scanning = true;
        fw::ScanHostPortInitiators(1);
        scanning = false;
    }), sim::StopKind::Finished);
    ASSERT_TRUE(raised);
    EXPECT_EQ(fw::bGetHostPortLinkFlag(1), fw::TRUE);
    EXPECT_EQ(fw::fGetHostLoopLipFlag(1), fw::FALSE);   // it holds no command
}

// A port whose loop map cannot be read keeps what it knew for a grace time
// (a link that comes back at once loses nothing, and the next loss has its
// own grace); unread for 3 s, its LUN table and its initiator list go, and
// the port's commands are held for the scan that reads it again.
TEST(LinkEvents, APortMapUnreadForThreeSecondsEmptiesTheLunTableAndTheList) {
    FcController c;
    sim::FcHost host(c.board, c.fabric, c.Port(1), kHostName);
    ASSERT_TRUE(host.LogIn());
    c.Run(kSettleNs);
    ASSERT_EQ(ListedPortNames(1), std::vector<uint64_t>{kHostName});
    const uint8_t id = fw::pGetHostPortRecord(1)->asInitiator[0].bId;
    // A cell of the host's column: what the table held before the map was lost.
    uint16_t* table = fw::pGetHostLunTable(1);
    uint16_t& cell = table[7 * fw::HOST_LUN_INITIATORS + id];

    // A short loss, and the link back.
    c.fabric.SetLink(c.Port(1), false);
    c.Run(1'000'000'000ull);
    EXPECT_EQ(fw::fGetHostPortMapFailure(1), fw::TRUE);
    c.fabric.SetLink(c.Port(1), true);
    ASSERT_TRUE(host.LogIn());
    c.Run(kSettleNs);
    EXPECT_EQ(fw::fGetHostPortMapFailure(1), fw::FALSE);
    c.Run(3'000'000'000ull);

    cell = 3;
    c.fabric.SetLink(c.Port(1), false);
    c.Run(2'500'000'000ull);
    EXPECT_EQ(fw::fGetHostPortMapFailure(1), fw::TRUE);
    EXPECT_EQ(cell, 3) << "cleared within the grace time";
    EXPECT_EQ(ListedPortNames(1), std::vector<uint64_t>{kHostName});

    c.Run(1'000'000'000ull);
    EXPECT_EQ(cell, 0xFFFF);
    for (uint32_t i = 0; i < (fw::HOST_LUN_ROWS + 1) * fw::HOST_LUN_INITIATORS; ++i) {
        ASSERT_EQ(table[i], 0xFFFF) << i;
    }
    EXPECT_TRUE(ListedPortNames(1).empty());
    EXPECT_EQ(fw::fGetHostLoopLipFlag(1), fw::TRUE);

    // The link back, the port is read again and its host listed.
    c.fabric.SetLink(c.Port(1), true);
    ASSERT_TRUE(host.LogIn());
    c.Run(kSettleNs);
    EXPECT_EQ(ListedPortNames(1), std::vector<uint64_t>{kHostName});
    EXPECT_EQ(fw::fGetHostPortMapFailure(1), fw::FALSE);
    EXPECT_EQ(fw::fGetHostLoopLipFlag(1), fw::FALSE);
}

// A scan builds the port's table afresh: a cell that no mapping and no
// default gives (one left from an earlier configuration) is gone after it.
TEST(LinkEvents, AScanBuildsThePortsLunTableAfresh) {
    FcController c;
    sim::FcHost host(c.board, c.fabric, c.Port(1), kHostName);
    ASSERT_TRUE(host.LogIn());
    c.Run(kSettleNs);
    const uint8_t id = fw::pGetHostPortRecord(1)->asInitiator[0].bId;
    uint16_t& cell = fw::pGetHostLunTable(1)[7 * fw::HOST_LUN_INITIATORS + id];
    cell = 3;
    ASSERT_EQ(c.board.RunOnCpu([] { fw::ScanHostPortInitiators(1); }), sim::StopKind::Finished);
    EXPECT_EQ(cell, 0xFFFF);
    EXPECT_EQ(fw::fIsHostPortTableValid(1), fw::TRUE);
}

// The host ports are set to take hard loop IDs 4 and 5; on the fabric a
// port has none (125), and the first scan of each port says so, once.
TEST(LinkEvents, APortNotAtItsHardLoopIdIsReported) {
    FcController c;
    c.Run(kSettleNs);
    ASSERT_EQ(CountEvents(23), 1u);
    ASSERT_EQ(CountEvents(24), 1u);
    EXPECT_EQ(NewestEvent(23)->abArgs[0], 4);
    EXPECT_EQ(NewestEvent(23)->abArgs[1], 125);
    EXPECT_EQ(NewestEvent(24)->abArgs[0], 5);
    c.Chip(1).RaiseAsyncEvent(fw::ISP_AEN_LIP, 0xF7E8);
    c.Run(kSettleNs);
    EXPECT_EQ(CountEvents(23), 1u);
}

// A LIP reset ends every exchange the port still has open and posts the
// synchronising marker; the other port keeps its command.
TEST(LinkEvents, ALipResetEndsOpenExchangesAndRepostsTheMarker) {
    FcController c;
    Responder r(c.board);
    r.onCommand = [](Responder& self, fw::KERNEL_ENTRY* e) { self.kept.push_back(e); };
    sim::FcHost one(c.board, c.fabric, c.Port(1), kHostName);
    sim::FcHost two(c.board, c.fabric, c.Port(2), kHostName + 1);
    ASSERT_TRUE(one.LogIn());
    ASSERT_TRUE(two.LogIn());
    sim::FcpCommand cmd;
    cmd.cdb = {0x00, 0, 0, 0, 0, 0};
    const uint32_t a = one.Submit(cmd);
    const uint32_t b = one.Submit(cmd);
    const uint32_t other = two.Submit(cmd);
    ASSERT_TRUE(r.ServeAlone([&] { return r.kept.size() == 3; }));
    const uint32_t markers = c.Chip(1).markers();
    const uint16_t lips = fw::wGetHostLoopLipCount(1);

    c.Chip(1).LipReset();
    ASSERT_TRUE(r.ServeAlone([&] { return one.initiator().Finished(a) && one.initiator().Finished(b); }));
    EXPECT_EQ(one.initiator().Result(a).outcome, Outcome::Terminated);
    EXPECT_EQ(one.initiator().Result(b).outcome, Outcome::Terminated);
    EXPECT_EQ(c.Chip(1).openExchanges(), 0u);
    EXPECT_EQ(c.Chip(1).markers(), markers + 1);
    const auto& marker = c.Chip(1).lastMarker();
    EXPECT_EQ(marker[0], 0x04);
    EXPECT_EQ(marker[1], 0x01);
    EXPECT_EQ(marker[2], 0x99);
    EXPECT_EQ(marker[3], 0x00);
    EXPECT_EQ(marker[0x0A], fw::MARKER_SYNC_ALL);
    EXPECT_EQ(fw::wGetHostLoopLipCount(1), lips + 1);
    EXPECT_FALSE(two.initiator().Finished(other));
    EXPECT_EQ(c.Chip(2).openExchanges(), 1u);
}

// The chip reports a response in-pointer beyond its ring: the pass takes it
// as nothing to do, and the next report serves what was left.
TEST(LinkEvents, AnInPointerBeyondTheRingIsNothingToDo) {
    FcController c;
    Responder r(c.board);
    r.onCommand = [](Responder& self, fw::KERNEL_ENTRY* e) { self.Status(e, 0); };
    sim::FcHost host(c.board, c.fabric, c.Port(1), kHostName);
    ASSERT_TRUE(host.LogIn());
    const uint32_t bad = fw::dGetBadInPointerCount();
    c.Chip(1).faults.nextResponseInPointer = 200;
    const sim::FcpCommand unitReady = sim::FcpCommand::To(0, {0x00, 0, 0, 0, 0, 0}, {}, 0);
    EXPECT_EQ(r.SendAlone(host, unitReady).outcome, Outcome::Done);
    EXPECT_EQ(fw::dGetBadInPointerCount(), bad + 1);
    EXPECT_EQ(r.SendAlone(host, unitReady).outcome, Outcome::Done);
    ASSERT_TRUE(r.ServeAlone([&] { return fw::wGetTargetEntriesUsed() == 0; }));
}

// A completion whose handle is not an entry of a pool is counted and
// dropped; the command's own handle still finishes it.
TEST(LinkEvents, AHandleThatNamesNoEntryIsDropped) {
    FcController c;
    Responder r(c.board);
    r.onCommand = [](Responder& self, fw::KERNEL_ENTRY* e) {
        self.Status(e, 0);
        // A second status for the same exchange under a handle inside the
        // entry: the chip completes it, the driver must not take it.
        uint8_t entry[fw::ISP_ENTRY_BYTES];
        std::memcpy(entry, e, sizeof entry);
        const uint32_t inside = fw::dAddressWord(e) + 4;
        std::memcpy(entry + 4, &inside, 4);
        EXPECT_EQ(fw::bPostRequestQueueEntries(e->bPortCode, 1, entry), fw::STATUS_OK);
    };
    sim::FcHost host(c.board, c.fabric, c.Port(1), kHostName);
    ASSERT_TRUE(host.LogIn());
    const uint32_t bad = fw::dGetBadHandleCount();
    EXPECT_EQ(r.SendAlone(host, sim::FcpCommand::To(0, {0x00, 0, 0, 0, 0, 0}, {}, 0)).outcome, Outcome::Done);
    EXPECT_TRUE(r.ServeAlone([&] { return fw::dGetBadHandleCount() == bad + 1 && fw::wGetTargetEntriesUsed() == 0; }));
}

// Response updates reported as the fast-post event read the in-pointer from
// the chip's register.
TEST(LinkEvents, FastPostedResponsesAreServed) {
    FcController c;
    c.Chip(1).faults.fastPostResponses = true;
    Responder r(c.board);
    r.onCommand = [](Responder& self, fw::KERNEL_ENTRY* e) { self.DataIn(e, std::vector<uint8_t>(16, 0x5A)); };
    sim::FcHost host(c.board, c.fabric, c.Port(1), kHostName);
    ASSERT_TRUE(host.LogIn());
    for (int i = 0; i < 3; ++i) {
        sim::FcpResult res = r.SendAlone(host, sim::FcpCommand::To(0, {0x12, 0, 0, 0, 16, 0}, {}, 16));
        ASSERT_EQ(res.outcome, Outcome::Done);
        EXPECT_EQ(res.dataIn, std::vector<uint8_t>(16, 0x5A));
    }
    ASSERT_TRUE(r.ServeAlone([&] { return fw::wGetTargetEntriesUsed() == 0; }));
}

}  // namespace
