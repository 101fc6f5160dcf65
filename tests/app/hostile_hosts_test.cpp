// The controller program under hosts that hold what they can, never read,
// transfer the longest commands, abort twice and log in and out without
// pause: every command is answered, memory stays within the portal's
// budget, and a normal session is served at once afterwards.  The portal
// in front of Fibre Channel host ports and in front of SAS ones.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/program_run.h"
#include "app/raid5_data_dir.h"
#include "harness/iscsi_remote_host.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/iscsi_portal.h"

namespace {

using iscsitest::Cdb16;
using iscsitest::RemoteHost;
using sim::iscsi::Pdu;
namespace iscsi = sim::iscsi;

constexpr uint64_t kMiB = 1u << 20;
constexpr uint64_t kDriveBytes = 256 * kMiB;
constexpr const char* kTarget = "iqn.2026-12.sim.array-controller:port1";

class HostileHosts : public apptest::ProgramTest, public ::testing::WithParamInterface<const char*> {
protected:
    void SetUp() override {
        apptest::ProgramTest::SetUp();
        // Freed memory goes back at once, so that what is resident is what
        // the program holds.
        const char* asan = std::getenv("ASAN_OPTIONS");
        setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":quarantine_size_mb=8").c_str(), 1);
        MakeArray();
        program = std::make_unique<apptest::RunningController>(
            std::vector<std::string>{"--data-dir", m_dir + "/data", "--drives", "4", "--drive-size",
                                     std::to_string(kDriveBytes), "--console-in", "/dev/null", "--iscsi", "127.0.0.1:0",
                                     "--host-interface", GetParam()},
            m_dir);
        port = program->PortalPort();
        ASSERT_NE(port, 0) << program->Errors();
        ASSERT_TRUE(program->WaitForConsole("Initialization Complete")) << program->Errors();
        // The console says "Initialization Complete" before the host ports
        // are up on the fabric; until then a login is refused, and an
        // initiator asks again.
        std::unique_ptr<RemoteHost> first;
        for (int i = 0; i < 50 && !first; ++i) {
            first = Session(250);
            if (!first) program->Errors(100);
        }
        ASSERT_TRUE(first) << program->Errors();
        baseline = program->ResidentBytes();
    }
    void TearDown() override {
        EXPECT_EQ(program->Stop(), 0) << program->Errors();
        apptest::ProgramTest::TearDown();
    }
    // Four drives holding a RAID 5 array with one logical drive over it,
    // presented at LUN 0 of every host port.
    void MakeArray() { apptest::PlaceRaid5Array(m_dir + "/data", kDriveBytes); }
    // A session logged in and past its unit attention; null when it was
    // not served.
    std::unique_ptr<RemoteHost> Session(uint8_t qualifier) {
        auto h = std::make_unique<RemoteHost>(port);
        h->isidQualifier = qualifier;
        if (!h->connected || !h->LogInNormal({{"MaxRecvDataSegmentLength", "262144"}, {"MaxBurstLength", "16776192"},
                                               {"ImmediateData", "Yes"}, {"InitialR2T", "No"},
                                               {"FirstBurstLength", "262144"}},
                                              kTarget)) {
            return nullptr;
        }
        for (int i = 0; i < 3; ++i) {
            if (Status(*h, {0, 0, 0, 0, 0, 0}) == 0) return h;
        }
        return nullptr;
    }
    // The status of a command without data (0xFF: no answer).
    static uint8_t Status(RemoteHost& h, std::vector<uint8_t> cdb) {
        h.Send(h.Command(0x81, std::move(cdb), 0));
        const Pdu r = h.Next();
        return r.opcode() == iscsi::kScsiResponse ? r.bhs[3] : 0xFF;
    }
    // A normal session is served at once, and what the program holds is
    // within the budget the portal keeps.
    void ExpectServedWithinTheBudget(uint8_t qualifier) {
        ASSERT_TRUE(program->Alive()) << program->Errors();
        auto h = Session(qualifier);
        ASSERT_TRUE(h) << program->Errors();
        std::vector<uint8_t> data;
        EXPECT_EQ(h->Read(iscsitest::Rw10(0x28, 0, 8), 8 * 512, &data).bhs[3], 0);
        EXPECT_EQ(data.size(), 8 * 512u);
        EXPECT_LT(program->ResidentBytes(), baseline + sim::IscsiPortal::kDefaultMemoryLimit);
    }

    std::unique_ptr<apptest::RunningController> program;
    uint16_t port = 0;
    uint64_t baseline = 0;
};

// Sixty sessions announce four writes of 16 MiB each and send no data: the
// commands that find room hold it, the others hear the task set is full.
TEST_P(HostileHosts, WritesThatNeverSendTheirDataHoldOnlyTheBudget) {
    std::vector<std::unique_ptr<RemoteHost>> hosts;
    uint64_t held = 0;
    for (uint8_t n = 0; n < 60; ++n) {
        hosts.push_back(Session(n));
        ASSERT_TRUE(hosts.back()) << n;
        RemoteHost& h = *hosts.back();
        for (int i = 0; i < 4; ++i) {
            h.Send(h.Command(0xA1, Cdb16(0x8A, uint64_t(n) * 4 + i, 32768), uint32_t(16 * kMiB)));
            const Pdu r = h.Next();
            if (r.opcode() == iscsi::kReadyToTransfer) {
                held += 16 * kMiB;
            } else {
                ASSERT_EQ(r.opcode(), iscsi::kScsiResponse) << n << " " << i;
                EXPECT_EQ(r.bhs[3], 0x28) << n << " " << i;
            }
        }
    }
    // The portal's whole (and the sessions' floors) is taken, and no more.
    EXPECT_GE(held, sim::IscsiPortal::kDefaultMemoryLimit - 16 * kMiB);
    EXPECT_LE(held, sim::IscsiPortal::kDefaultMemoryLimit + 60 * sim::IscsiConnection::kSessionFloor);
    ExpectServedWithinTheBudget(100);
}

// A host asks for 128 reads of 8 MiB and never reads its socket: it holds
// no more than its session's share, and others are served meanwhile.
TEST_P(HostileHosts, AHostThatNeverReadsHoldsNoMoreThanItsShare) {
    auto greedy = Session(1);
    ASSERT_TRUE(greedy);
    for (int i = 0; i < 128; ++i) greedy->SendOnly(greedy->Command(0xC1, Cdb16(0x88, uint64_t(i) * 16384, 16384), 8 * kMiB));
    ExpectServedWithinTheBudget(2);
    EXPECT_LT(program->ResidentBytes(), baseline + 2 * sim::IscsiConnection::kSessionShare);
    greedy.reset();
    ExpectServedWithinTheBudget(3);
}

// Hosts that read 8 MiB at a time and log out leave nothing behind.
TEST_P(HostileHosts, WhatAHostReadIsFreedWhenItLogsOut) {
    for (uint8_t n = 0; n < 2; ++n) {
        auto h = Session(10 + n);
        ASSERT_TRUE(h);
        for (int i = 0; i < 24; ++i) {
            std::vector<uint8_t> data;
            ASSERT_EQ(h->Read(Cdb16(0x88, uint64_t(i) * 16384, 16384), 8 * kMiB, &data).bhs[3], 0) << i;
            ASSERT_EQ(data.size(), 8 * kMiB);
        }
    }
    ExpectServedWithinTheBudget(20);
    EXPECT_LT(program->ResidentBytes(), baseline + 64 * kMiB);
}

// The longest transfers come back whole; two aborts of one task are both
// answered; sessions that log out and in again at once are served.
TEST_P(HostileHosts, LongTransfersDoubleAbortsAndReloginsAreAllAnswered) {
    auto h = Session(1);
    ASSERT_TRUE(h);
    std::vector<uint8_t> pattern(65535 * 512);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = uint8_t(i * 31 + (i >> 9));
    const Pdu w = h->Write(Cdb16(0x8A, 1000, 65535), pattern, 262144, 262144);
    ASSERT_EQ(w.opcode(), iscsi::kScsiResponse);
    ASSERT_EQ(w.bhs[3], 0);
    std::vector<uint8_t> data;
    ASSERT_EQ(h->Read(Cdb16(0x88, 1000, 65535), uint32_t(pattern.size()), &data).bhs[3], 0);
    EXPECT_TRUE(data == pattern);
    data.clear();
    ASSERT_EQ(h->Read(iscsitest::Rw10(0x28, 1000 + 100, 16385), 16385 * 512, &data).bhs[3], 0);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), pattern.begin() + 100 * 512));

    const Pdu read = h->Command(0xC1, Cdb16(0x88, 1000, 65535), uint32_t(pattern.size()));
    h->SendOnly(read);
    for (int i = 0; i < 2; ++i) {
        Pdu abort = iscsi::MakePdu(iscsi::kTaskManagementRequest | iscsi::kImmediate, false);
        abort.bhs[1] = 0x80 | sim::kTmfAbortTask;
        abort.SetU32(16, 0x7000 + i);
        abort.SetU32(20, read.InitiatorTaskTag());
        abort.SetU32(24, h->cmdSn);
        abort.SetU32(32, read.U32(24));
        h->SendOnly(abort);
    }
    // Whatever else comes first (the read's data, a ping) is passed over;
    // nothing is awaited past the second answer.
    int answered = 0;
    while (answered < 2 && !h->closed) {
        if (h->Next().opcode() == iscsi::kTaskManagementResponse) ++answered;
    }
    EXPECT_EQ(answered, 2);
    EXPECT_EQ(Status(*h, {0, 0, 0, 0, 0, 0}), 0);
    h.reset();

    for (int cycle = 0; cycle < 100; ++cycle) {
        auto again = Session(7);
        ASSERT_TRUE(again) << cycle;
        Pdu logout = iscsi::MakePdu(iscsi::kLogoutRequest | iscsi::kImmediate);
        logout.SetU32(16, ++again->itt);
        logout.SetU32(24, again->cmdSn);
        again->Send(logout);
        ASSERT_EQ(again->Next().opcode(), iscsi::kLogoutResponse) << cycle;
    }
    ExpectServedWithinTheBudget(8);
    // The program names an initiator at its first login with those names
    // only: a hundred logins leave the terminal to the console.
    std::set<std::string> lines;
    size_t logged = 0;
    std::istringstream errors(program->Errors());
    for (std::string line; std::getline(errors, line);) {
        if (line.find("controller: iSCSI initiator ") != 0) continue;
        ++logged;
        lines.insert(line.substr(line.find(": ", 28)));
    }
    EXPECT_GE(logged, 1u);
    EXPECT_EQ(logged, lines.size()) << program->Errors();
}

INSTANTIATE_TEST_SUITE_P(HostPorts, HostileHosts, ::testing::Values("fc", "sas"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
