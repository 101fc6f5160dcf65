// Hosts on the fabric against a booted controller: logins, commands into
// host entries on the new-command ring, and data and status back through
// CTIO type 7 (the tests play the target engine, tests/fc/responder.h).
#include <gtest/gtest.h>

#include <cstring>

#include "eventlog/statistics.h"
#include "executive/kernel_entry.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "fc/fc_driver.h"
#include "hw/scsi.h"
#include "responder.h"
#include "harness/fc_controller.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/stage_rings.h"
#include "target/target_engine.h"

namespace {

using fctest::AtioOf;
using fctest::FcController;
using fctest::Responder;
using Outcome = sim::FcpResult::Outcome;

constexpr uint64_t kHostName = 0x2100001B32000001ull;

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
    return v;
}

TEST(HostPath, ALoginBecomesAHandleMapping) {
    FcController c;
    sim::FcHost host(c.board, c.fabric, c.Port(1), kHostName);
    ASSERT_TRUE(host.LogIn());
    const uint16_t handle = c.Chip(1).HandleOf(host.initiator());
    uint16_t mapped = 0;
    ASSERT_EQ(fw::bLookupHandleByPortId(1, host.initiator().portId(), &mapped), fw::STATUS_OK);
    EXPECT_EQ(mapped, handle);
    // Both notifies (PLOGI, PRLI) were served and acknowledged.
    EXPECT_EQ(c.Chip(1).notifyAcks(), 2u);
    EXPECT_EQ(fw::wGetTargetEntriesUsed(), 0);
    // Logged out again, the mapping goes.
    host.LogOut();
    c.Run(1'000'000);
    EXPECT_EQ(fw::bLookupHandleByPortId(1, host.initiator().portId(), &mapped), 0);
}

// The command as the initiator sent it, in a host entry in state 2.
TEST(HostPath, ACommandBecomesAHostEntryOnTheNewCommandRing) {
    FcController c;
    Responder r(c.board);
    fw::KERNEL_ENTRY* seen = nullptr;
    r.onCommand = [&](Responder&, fw::KERNEL_ENTRY* e) { seen = e; };
    sim::FcHost host(c.board, c.fabric, c.Port(1), kHostName);
    ASSERT_TRUE(host.LogIn());
    sim::FcpCommand cmd;
    cmd.lun = 7;
    cmd.cdb = {0x28, 0, 0, 0, 0x10, 0, 0, 0, 8, 0};
    cmd.dataInLength = 4096;
    cmd.taskAttribute = 2;   // ordered
    host.Submit(cmd);
    ASSERT_TRUE(r.ServeAlone([&] { return seen != nullptr; }));
    EXPECT_EQ(seen->bPrimaryState, fw::HOST_STATE_NEW_COMMAND);
    EXPECT_EQ(seen->bPortCode, 1);
    EXPECT_EQ(seen->fUsed, fw::TRUE);
    const fctest::Atio a = AtioOf(seen);
    EXPECT_EQ(a.lun, 7);
    EXPECT_EQ(std::memcmp(a.cdb, cmd.cdb.data(), cmd.cdb.size()), 0);
    EXPECT_EQ(a.taskAttribute, 2);
    EXPECT_EQ(a.fcpDl, 4096u);
    EXPECT_EQ(a.sourceId, host.initiator().portId());
    EXPECT_EQ(fw::pHostFields(seen)->wInitiatorHandle, 0xFFFF);
    EXPECT_EQ(fw::pHostFields(seen)->wLipCount, fw::wGetHostLoopLipCount(1));
    EXPECT_NE(seen->lArrivalMs, 0u);
    EXPECT_EQ(seen->alSequence[0], seen->alSequence[1]);
    EXPECT_NE(seen->bMark, 0);
    EXPECT_EQ(fw::lGetLastHostCommandTime(), seen->lArrivalMs);

    // A second command is numbered after it.
    fw::KERNEL_ENTRY* first = seen;
    const uint64_t firstSequence = first->alSequence[0];
    seen = nullptr;
    host.Submit(cmd);
    ASSERT_TRUE(r.ServeAlone([&] { return seen != nullptr; }));
    EXPECT_EQ(seen->alSequence[0], firstSequence + 1);
    EXPECT_NE(seen->bMark, first->bMark);
}

// Task management flags in the FCP_CMND: a task management request, with
// no sequence number and no last-command time.
TEST(HostPath, TaskManagementGoesToItsOwnRing) {
    FcController c;
    sim::FcHost host(c.board, c.fabric, c.Port(1), kHostName);
    ASSERT_TRUE(host.LogIn());
    host.initiator().Submit(c.Port(1), [] {
        sim::FcpCommand tm;
        tm.lun = 3;
        tm.taskManagement = fw::TMF_LUN_RESET;
        return tm;
    }());
    fw::KERNEL_ENTRY* e = nullptr;
    ASSERT_TRUE(host.RunUntil([&] { return fw::bPeekTaskMgmtRequest(1, &e) == fw::STATUS_FOUND; }));
    EXPECT_EQ(e->bPrimaryState, fw::HOST_STATE_TASK_MANAGEMENT);
    EXPECT_EQ(e->alSequence[0], 0u);
    EXPECT_EQ(AtioOf(e).taskManagement, fw::TMF_LUN_RESET);
    EXPECT_EQ(fw::lGetLastHostCommandTime(), 0u);
}

TEST(HostPath, DataInAndStatusReachTheHost) {
    FcController c;
    Responder r(c.board);
    const std::vector<uint8_t> inquiry = Pattern(36, 0x41);
    r.onCommand = [&](Responder& self, fw::KERNEL_ENTRY* e) { self.DataIn(e, inquiry); };
    sim::FcHost host(c.board, c.fabric, c.Port(1), kHostName);
    ASSERT_TRUE(host.LogIn());
    sim::FcpResult res = r.SendAlone(host, sim::FcpCommand::To(0, {0x12, 0, 0, 0, 36, 0}, {}, 36));
    ASSERT_EQ(res.outcome, Outcome::Done);
    EXPECT_EQ(res.status, 0);
    EXPECT_EQ(res.dataIn, inquiry);
    EXPECT_EQ(res.residual, 0u);
    // The CTIO completion finished the entry (completion code 135) and the
    // responder freed it.
    ASSERT_TRUE(r.ServeAlone([&] { return r.entriesFreed == 1; }));
    EXPECT_EQ(fw::wGetTargetEntriesUsed(), 0);

    // A short answer reports the underrun.
    res = r.SendAlone(host, sim::FcpCommand::To(0, {0x12, 0, 0, 0, 96, 0}, {}, 96));
    ASSERT_EQ(res.outcome, Outcome::Done);
    EXPECT_EQ(res.dataIn.size(), 36u);
    EXPECT_TRUE(res.residualUnder);
    EXPECT_EQ(res.residual, 60u);
}

TEST(HostPath, CheckConditionCarriesSense) {
    FcController c;
    Responder r(c.board);
    r.onCommand = [](Responder& self, fw::KERNEL_ENTRY* e) { self.Status(e, 2, 5, 0x24, 0); };
    sim::FcHost host(c.board, c.fabric, c.Port(1), kHostName);
    ASSERT_TRUE(host.LogIn());
    sim::FcpResult res = r.SendAlone(host, sim::FcpCommand::To(0, {0x00, 0xFF, 0, 0, 0, 0}, {}, 0));
    ASSERT_EQ(res.outcome, Outcome::Done);
    EXPECT_EQ(res.status, 2);
    ASSERT_EQ(res.sense.size(), 18u);
    EXPECT_EQ(res.sense[0], 0x70);
    EXPECT_EQ(res.sense[2], 5);
    EXPECT_EQ(res.sense[12], 0x24);
}

// Write data: the data-out CTIO completes to "Data Received", then the
// status goes out.  The target side runs on the processor by itself here,
// so that no stage service of the main loop takes the entry first.
TEST(HostPath, DataOutArrivesAsDataReceived) {
    FcController c;
    sim::FcHost host(c.board, c.fabric, c.Port(1), kHostName);
    ASSERT_TRUE(host.LogIn());
    Responder r(c.board);
    const std::vector<uint8_t> data = Pattern(8192, 3);
    sim::FcpCommand cmd;
    cmd.lun = 2;
    cmd.cdb = {0x2A, 0, 0, 0, 0, 0x20, 0, 0, 16, 0};
    cmd.dataOut = data;
    const uint32_t tag = host.initiator().Submit(c.Port(1), cmd);
    auto WaitFor = [](const std::function<bool()>& f) {
        for (int i = 0; i < 100 && !f(); ++i) fw::SpinDelayMs(1);
        return f();
    };
    ASSERT_EQ(c.board.RunOnCpu([&] {
        fw::KERNEL_ENTRY* e = nullptr;
        ASSERT_TRUE(WaitFor([&] { return fw::bPeekNewCommand(&e) == fw::STATUS_FOUND; }));
        fw::DecPortNewCommands(1);
        r.DataOut(e, 8192);
        ASSERT_TRUE(WaitFor([&] { return e->bPrimaryState == fw::HOST_STATE_DATA_RECEIVED; }));
        fw::KERNEL_ENTRY* d = nullptr;
        ASSERT_EQ(fw::bPeekDataReceived(&d), fw::STATUS_FOUND);
        EXPECT_EQ(d, e);
        fw::TakeDataReceived();
        EXPECT_EQ(r.DataOf(e), data);
        r.Status(e, 0);
        ASSERT_TRUE(WaitFor([&] { return e->bPrimaryState == fw::HOST_STATE_COMPLETE; }));
    }), sim::StopKind::Finished);
    const sim::FcpResult& res = host.initiator().Result(tag);
    ASSERT_EQ(res.outcome, Outcome::Done);
    EXPECT_EQ(res.status, 0);
    EXPECT_EQ(res.dataOutTaken, 8192u);
}

TEST(HostPath, CommandsOfBothPortsAndManyHosts) {
    FcController c;
    Responder r(c.board);
    r.onCommand = [](Responder& self, fw::KERNEL_ENTRY* e) {
        self.DataIn(e, std::vector<uint8_t>(8, static_cast<uint8_t>(e->bPortCode)));
    };
    std::vector<std::unique_ptr<sim::FcHost>> hosts;
    for (int i = 0; i < 4; ++i) {
        hosts.push_back(std::make_unique<sim::FcHost>(c.board, c.fabric, c.Port(1 + i % 2), kHostName + i));
        ASSERT_TRUE(hosts.back()->LogIn());
    }
    std::vector<uint32_t> tags;
    for (int round = 0; round < 40; ++round) {
        for (auto& h : hosts) {
            sim::FcpCommand cmd;
            cmd.cdb = {0x12, 0, 0, 0, 8, 0};
            cmd.dataInLength = 8;
            tags.push_back(h->Submit(cmd));
        }
    }
    ASSERT_TRUE(r.ServeAlone([&] { return r.entriesFreed == tags.size(); }));
    for (size_t i = 0; i < tags.size(); ++i) {
        const sim::FcpResult& res = hosts[i % hosts.size()]->initiator().Result(tags[i]);
        ASSERT_EQ(res.outcome, Outcome::Done) << i;
        EXPECT_EQ(res.dataIn, std::vector<uint8_t>(8, static_cast<uint8_t>(1 + (i % hosts.size()) % 2))) << i;
    }
    EXPECT_EQ(fw::wGetTargetEntriesUsed(), 0);
}

// A command from an initiator without a login never reaches the ring: the
// chip's firmware turns it away.
TEST(HostPath, AnInitiatorThatNeverLoggedInIsTurnedAway) {
    FcController c;
    Responder r(c.board);
    sim::FcHost host(c.board, c.fabric, c.Port(1), kHostName);
    sim::FcpResult res = host.Send(0, {0x00, 0, 0, 0, 0, 0});
    EXPECT_EQ(res.outcome, Outcome::Rejected);
    EXPECT_EQ(r.commandsSeen, 0u);
}

// With the host pool exhausted the ATIO stays on its ring, and the next
// interrupt of any kind serves both rings.
TEST(HostPath, AnExhaustedPoolLeavesTheCommandOnTheRing) {
    FcController c;
    Responder r(c.board);
    uint32_t answered = 0;
    r.onCommand = [&](Responder& self, fw::KERNEL_ENTRY* e) {
        ++answered;
        self.Status(e, 0);
    };
    sim::FcHost host(c.board, c.fabric, c.Port(1), kHostName);
    ASSERT_TRUE(host.LogIn());
    std::vector<fw::KERNEL_ENTRY*> held;
    c.board.RunOnCpu([&] {
        fw::KERNEL_ENTRY* e = nullptr;
        uint16_t index = 0;
        while (fw::bAllocTargetEntries(1, 1, &e, &index, fw::FALSE) == fw::STATUS_OK) held.push_back(e);
    });
    EXPECT_EQ(held.size(), fw::HOST_ENTRY_COUNT);
    // The main loop was left for the allocation: boot again is not wanted,
    // so serve the interrupt path directly from here on.
    const uint32_t full = fw::dGetEventCounter(fw::EVENT_COUNTER_TARGET_QUEUE_FULL);
    sim::FcpCommand cmd;
    cmd.cdb = {0x00, 0, 0, 0, 0, 0};
    const uint32_t tag = host.initiator().Submit(c.Port(1), cmd);
    c.board.RunOnCpu([&] {
        for (int i = 0; i < 200 && fw::dGetEventCounter(fw::EVENT_COUNTER_TARGET_QUEUE_FULL) == full; ++i) fw::SpinDelayMs(1);
    });
    EXPECT_GT(fw::dGetEventCounter(fw::EVENT_COUNTER_TARGET_QUEUE_FULL), full);
    EXPECT_NE(c.Chip(1).atioOut(), c.Chip(1).atioIn());   // not consumed
    // Room again; a loop-up event (no ring update of its own) brings it in.
    c.board.RunOnCpu([&] {
        fw::FreeTargetEntry(held.back());
        c.Chip(1).RaiseAsyncEvent(fw::ISP_AEN_LOOP_UP, fw::ISP_SPEED_4G);
        fw::SpinDelayMs(2);
        fw::KERNEL_ENTRY* e = nullptr;
        ASSERT_EQ(fw::bPeekNewCommand(&e), fw::STATUS_FOUND);
        EXPECT_EQ(e, held.back());
    });
    (void)tag;
}

// Commands left on the ring when the pool ran out are not reported by the
// chip again: once entries are free the main loop's QLogic service takes
// them, one for each free entry, without waiting for an interrupt.
TEST(HostPath, AnExhaustedPoolsCommandsAreTakenOnceEntriesAreFree) {
    FcController c;
    Responder r(c.board);
    sim::FcHost host(c.board, c.fabric, c.Port(1), kHostName);
    ASSERT_TRUE(host.LogIn());
    std::vector<fw::KERNEL_ENTRY*> held;
    const uint32_t full = fw::dGetEventCounter(fw::EVENT_COUNTER_TARGET_QUEUE_FULL);
    sim::FcpCommand cmd;
    cmd.cdb = {0x00, 0, 0, 0, 0, 0};
    c.board.RunOnCpu([&] {
        fw::KERNEL_ENTRY* e = nullptr;
        uint16_t index = 0;
        while (fw::bAllocTargetEntries(1, 1, &e, &index, fw::FALSE) == fw::STATUS_OK) held.push_back(e);
        for (int i = 0; i < 2; ++i) host.initiator().Submit(c.Port(1), cmd);
        fw::SpinDelayMs(2);
        EXPECT_GT(fw::dGetEventCounter(fw::EVENT_COUNTER_TARGET_QUEUE_FULL), full);
        EXPECT_EQ(fw::fGetQLogicServiceFlag(), fw::TRUE);
        // Nothing to take them with yet: they stay.
        fw::QLogicService();
        EXPECT_EQ(fw::fGetQLogicServiceFlag(), fw::TRUE);
        EXPECT_EQ(c.Chip(1).atioIn() - c.Chip(1).atioOut(), 2);

        fw::FreeTargetEntry(held.back());
        held.pop_back();
        fw::QLogicService();
        fw::KERNEL_ENTRY* e2 = nullptr;
        ASSERT_EQ(fw::bPeekNewCommand(&e2), fw::STATUS_FOUND);
        // One taken, the other still waits for an entry.
        EXPECT_EQ(c.Chip(1).atioIn() - c.Chip(1).atioOut(), 1);
        EXPECT_EQ(fw::fGetQLogicServiceFlag(), fw::TRUE);
        fw::FreeTargetEntry(held.back());
        fw::QLogicService();
        EXPECT_EQ(c.Chip(1).atioIn(), c.Chip(1).atioOut());
        EXPECT_EQ(fw::fGetQLogicServiceFlag(), fw::FALSE);
    });
}

}  // namespace
