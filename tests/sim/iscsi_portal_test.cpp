// The iSCSI portal's connection state machine, driven by bytes as a host
// would send them: framing and digests, login and negotiation, discovery,
// commands with their data, task management, and input that is plainly bad.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "sim/iscsi_pdu.h"
#include "sim/iscsi_portal.h"
#include "harness/iscsi_host.h"

namespace {

using namespace iscsitest;
using sim::iscsi::Pdu;

// A RAM logical unit behind a portal, and a host's connection to it.
struct RamPortal {
    explicit RamPortal(uint64_t memoryLimit) : portal(targets, 1, memoryLimit) {}
    RamTargets targets;
    sim::IscsiPortal portal;
};
struct Host : RamPortal, LocalHost {
    explicit Host(uint64_t memoryLimit = sim::IscsiPortal::kDefaultMemoryLimit)
        : RamPortal(memoryLimit), LocalHost(portal) {}
};

constexpr uint8_t kTaskSetFull = 0x28;
constexpr uint64_t kMiB = 1u << 20;

TEST(IscsiFrame, DigestsPaddingAndEveryTruncation) {
    // The CRC32C vectors that iSCSI's definition gives.
    std::vector<uint8_t> zeros(32, 0), ones(32, 0xFF), rising(32);
    for (int i = 0; i < 32; ++i) rising[i] = uint8_t(i);
    EXPECT_EQ(sim::iscsi::Crc32c(zeros.data(), 32), 0x8A9136AAu);
    EXPECT_EQ(sim::iscsi::Crc32c(ones.data(), 32), 0x62A8AB43u);
    EXPECT_EQ(sim::iscsi::Crc32c(rising.data(), 32), 0x46DD794Eu);
    // Word-at-a-time and byte-at-a-time agree at every length and alignment.
    std::vector<uint8_t> noise(300);
    std::mt19937 random(1);
    for (uint8_t& b : noise) b = uint8_t(random());
    for (size_t start = 0; start < 4; ++start) {
        for (size_t length = 0; length + start <= noise.size(); length += 7) {
            EXPECT_EQ(sim::iscsi::Crc32cUpdate(~0u, noise.data() + start, length),
                      sim::iscsi::Crc32cUpdatePortable(~0u, noise.data() + start, length));
        }
    }

    sim::iscsi::FrameLimits limits{true, true, 8192};
    Pdu p = sim::iscsi::MakePdu(sim::iscsi::kNopOut);
    p.SetU32(16, 7);
    p.ahs = {0, 1, 1, 0};
    p.data = {1, 2, 3, 4, 5};
    std::vector<uint8_t> bytes;
    sim::iscsi::EncodeFrame(p, limits, &bytes);
    ASSERT_EQ(bytes.size(), 48u + 4 + 4 + 8 + 4);
    // Digests go least significant byte first.
    uint32_t headerCrc = sim::iscsi::Crc32c(bytes.data(), 52);
    EXPECT_EQ(bytes[52], uint8_t(headerCrc));
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
        Pdu out;
        size_t used = 0;
        EXPECT_EQ(sim::iscsi::DecodeFrame(bytes.data(), cut, limits, &out, &used), sim::iscsi::FrameStatus::NeedMore)
            << cut;
    }
    Pdu out;
    size_t used = 0;
    ASSERT_EQ(sim::iscsi::DecodeFrame(bytes.data(), bytes.size(), limits, &out, &used), sim::iscsi::FrameStatus::Ok);
    EXPECT_EQ(used, bytes.size());
    EXPECT_EQ(out.data, p.data);
    EXPECT_EQ(out.ahs, p.ahs);
    EXPECT_EQ(out.InitiatorTaskTag(), 7u);

    std::vector<uint8_t> bad = bytes;
    bad[10] ^= 1;
    EXPECT_EQ(sim::iscsi::DecodeFrame(bad.data(), bad.size(), limits, &out, &used),
              sim::iscsi::FrameStatus::HeaderDigestError);
    bad = bytes;
    bad[58] ^= 1;
    EXPECT_EQ(sim::iscsi::DecodeFrame(bad.data(), bad.size(), limits, &out, &used),
              sim::iscsi::FrameStatus::DataDigestError);
    EXPECT_EQ(used, bytes.size());
    limits.maxDataSegment = 4;
    EXPECT_EQ(sim::iscsi::DecodeFrame(bytes.data(), bytes.size(), limits, &out, &used),
              sim::iscsi::FrameStatus::TooLong);
}

TEST(IscsiFrame, TextKeysAndNumbers) {
    std::vector<uint8_t> data;
    sim::iscsi::AppendTextKey(&data, "A", "1");
    sim::iscsi::AppendTextKey(&data, "B.c", "");
    std::vector<sim::iscsi::TextKey> keys;
    ASSERT_TRUE(sim::iscsi::ParseTextKeys(data, &keys));
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[1].key, "B.c");
    EXPECT_EQ(keys[1].value, "");
    for (const std::string& bad : std::vector<std::string>{"novalue", "=x", "sp ace=1", std::string(64, 'k') + "=1"}) {
        std::vector<uint8_t> b(bad.begin(), bad.end());
        b.push_back(0);
        EXPECT_FALSE(sim::iscsi::ParseTextKeys(b, &keys)) << bad;
    }
    uint64_t n = 0;
    EXPECT_TRUE(sim::iscsi::ParseNumber("0x10", &n));
    EXPECT_EQ(n, 16u);
    EXPECT_FALSE(sim::iscsi::ParseNumber("12a", &n));
    EXPECT_FALSE(sim::iscsi::ParseNumber("99999999999999999999", &n));
    EXPECT_FALSE(sim::iscsi::ParseNumber("", &n));
}

TEST(IscsiLogin, DiscoveryListsEveryTargetAndLogsOut) {
    Host h;
    Pdu r = h.Login(0x87, {{"InitiatorName", "iqn.2026-01.host:one"}, {"SessionType", "Discovery"}});
    EXPECT_EQ(r.opcode(), sim::iscsi::kLoginResponse);
    EXPECT_EQ(r.bhs[1], 0x87);
    EXPECT_EQ(r.U16(36), 0);
    EXPECT_NE(r.U16(14), 0);   // the session's handle
    EXPECT_EQ(r.U32(28), h.cmdSn);
    ASSERT_TRUE(h.conn->FullFeature());

    Pdu t = h.SendTargets("All");
    sim::iscsi::AppendTextKey(&t.data, "X-private", "1");
    h.Send(t);
    r = h.Next();
    EXPECT_EQ(r.opcode(), sim::iscsi::kTextResponse);
    EXPECT_EQ(Keys(r.data),
              "TargetName=iqn.2026-01.test:port-1\nTargetAddress=127.0.0.1:3260,1\n"
              "TargetName=iqn.2026-01.test:port-2\nTargetAddress=127.0.0.1:3260,1\n"
              "X-private=NotUnderstood\n");

    // A command in a discovery session is a protocol error.
    h.Send(h.Command(0xC1, {0x12, 0, 0, 0, 36, 0}, 36));
    r = h.Next();
    EXPECT_EQ(r.opcode(), sim::iscsi::kReject);
    EXPECT_EQ(r.bhs[2], 0x04);

    Pdu logout = sim::iscsi::MakePdu(sim::iscsi::kLogoutRequest);
    logout.SetU32(16, 6);
    logout.SetU32(24, h.cmdSn);   // the rejected command used its number
    h.Send(logout);
    r = h.Next();
    EXPECT_EQ(r.opcode(), sim::iscsi::kLogoutResponse);
    EXPECT_EQ(r.bhs[2], 0);
    EXPECT_TRUE(h.conn->Closing());
}

// Each key's rule: what the host offers and what this target answers.
TEST(IscsiLogin, OperationalNegotiationFollowsEachKeysRule) {
    Host h;
    Pdu r = h.Login(0x81, {{"InitiatorName", "iqn.2026-01.host:one"},
                           {"TargetName", "iqn.2026-01.test:port-1"},
                           {"AuthMethod", "CHAP,None"}});
    ASSERT_EQ(r.U16(36), 0);
    EXPECT_EQ(Keys(r.data), "AuthMethod=None\nTargetPortalGroupTag=1\n");
    r = h.Login(0x87, {{"HeaderDigest", "CRC32C,None"},
                       {"DataDigest", "MD5,None"},
                       {"MaxConnections", "4"},
                       {"InitialR2T", "No"},
                       {"ImmediateData", "Yes"},
                       {"MaxRecvDataSegmentLength", "65536"},
                       {"MaxBurstLength", "16776192"},
                       {"FirstBurstLength", "99999999"},
                       {"DefaultTime2Wait", "0"},
                       {"MaxOutstandingR2T", "8"},
                       {"ErrorRecoveryLevel", "2"},
                       {"OFMarker", "Yes"},
                       {"IFMarkInt", "2048~8192"},
                       {"DataPDUInOrder", "Maybe"},
                       {"X-vendor.key", "1"}});
    ASSERT_EQ(r.U16(36), 0);
    EXPECT_EQ(Keys(r.data),
              "HeaderDigest=CRC32C\nDataDigest=None\nMaxConnections=1\nInitialR2T=No\nImmediateData=Yes\n"
              "MaxBurstLength=1048576\nFirstBurstLength=Reject\nDefaultTime2Wait=2\nMaxOutstandingR2T=8\n"
              "ErrorRecoveryLevel=0\nOFMarker=No\nIFMarkInt=Irrelevant\nDataPDUInOrder=Reject\n"
              "X-vendor.key=NotUnderstood\nMaxRecvDataSegmentLength=262144\n");
    const auto& p = h.conn->parameters();
    EXPECT_EQ(p.headerDigest, 1u);
    EXPECT_EQ(p.dataDigest, 0u);
    EXPECT_EQ(p.maxSendDataSegment, 65536u);
    EXPECT_EQ(p.firstBurstLength, 65536u);   // the rejected offer leaves the default
    EXPECT_TRUE(h.conn->FullFeature());
}

TEST(IscsiLogin, FailuresCarryTheirStatusAndCloseTheConnection) {
    struct Case {
        const char* what;
        uint8_t flags;
        uint8_t versionMin;
        uint16_t tsih;
        std::vector<std::pair<std::string, std::string>> keys;
        uint16_t status;
    };
    const std::vector<Case> cases = {
        {"no initiator name", 0x87, 0, 0, {{"SessionType", "Discovery"}}, 0x0207},
        {"no target name", 0x87, 0, 0, {{"InitiatorName", "iqn.h"}}, 0x0207},
        {"unknown target", 0x87, 0, 0, {{"InitiatorName", "iqn.h"}, {"TargetName", "iqn.nobody"}}, 0x0203},
        {"authentication required", 0x81, 0, 0, {{"InitiatorName", "iqn.h"}, {"SessionType", "Discovery"},
                                                  {"AuthMethod", "CHAP"}}, 0x0201},
        {"version", 0x87, 1, 0, {{"InitiatorName", "iqn.h"}, {"SessionType", "Discovery"}}, 0x0205},
        {"second connection", 0x87, 0, 5, {{"InitiatorName", "iqn.h"}, {"SessionType", "Discovery"}}, 0x020A},
        {"key twice", 0x87, 0, 0, {{"InitiatorName", "iqn.h"}, {"InitiatorName", "iqn.h"}}, 0x0200},
        {"session type", 0x87, 0, 0, {{"InitiatorName", "iqn.h"}, {"SessionType", "Other"}}, 0x0209},
        {"stage backwards", 0x84, 0, 0, {{"InitiatorName", "iqn.h"}, {"SessionType", "Discovery"}}, 0x0200},
        {"reserved stage", 0x8B, 0, 0, {{"InitiatorName", "iqn.h"}, {"SessionType", "Discovery"}}, 0x0200},
    };
    for (const Case& c : cases) {
        Host h;
        Pdu p = sim::iscsi::MakePdu(sim::iscsi::kLoginRequest | sim::iscsi::kImmediate, false);
        p.bhs[1] = c.flags;
        p.bhs[3] = c.versionMin;
        p.SetU16(14, c.tsih);
        for (auto& [k, v] : c.keys) sim::iscsi::AppendTextKey(&p.data, k, v);
        h.Send(p);
        Pdu r = h.Next();
        EXPECT_EQ(r.opcode(), sim::iscsi::kLoginResponse) << c.what;
        EXPECT_EQ(r.U16(36), c.status) << c.what;
        EXPECT_EQ(r.bhs[1] & 0x80, 0) << c.what;
        EXPECT_TRUE(h.conn->Closing()) << c.what;
        EXPECT_EQ(h.targets.last, nullptr) << c.what;
    }
}

// A write by immediate, unsolicited and solicited data, all with digests,
// then a read of it in Data-In PDUs no longer than the host receives.
TEST(IscsiSession, WriteByEveryKindOfDataReadsBackInSegments) {
    Host h;
    ASSERT_TRUE(h.LogInNormal({{"HeaderDigest", "CRC32C"},
                               {"DataDigest", "CRC32C"},
                               {"InitialR2T", "No"},
                               {"FirstBurstLength", "8192"},
                               {"MaxBurstLength", "16384"},
                               {"MaxOutstandingR2T", "2"},
                               {"MaxRecvDataSegmentLength", "4096"}}));
    const auto data = Pattern(128 * 512, 3);
    Pdu cmd = h.Command(0x21, Rw10(0x2A, 10, 128), uint32_t(data.size()), {data.begin(), data.begin() + 2048});
    const uint32_t task = cmd.InitiatorTaskTag();
    h.Send(cmd);
    // The solicited part comes in R2Ts of at most a burst, two at a time.
    std::vector<Pdu> r2ts;
    while (!h.in.empty()) r2ts.push_back(h.Next());
    ASSERT_EQ(r2ts.size(), 2u);
    EXPECT_EQ(r2ts[0].opcode(), sim::iscsi::kReadyToTransfer);
    EXPECT_EQ(r2ts[0].U32(40), 8192u);
    EXPECT_EQ(r2ts[0].U32(44), 16384u);
    EXPECT_EQ(r2ts[1].U32(40), 24576u);
    h.Send(h.DataOut(task, sim::iscsi::kReservedTag, 2048, {data.begin() + 2048, data.begin() + 8192}, true));
    auto answer = [&](const Pdu& r2t) {
        const uint32_t offset = r2t.U32(40), length = r2t.U32(44);
        for (uint32_t at = offset; at < offset + length; at += 4096)
            h.Send(h.DataOut(task, r2t.U32(20), at, {data.begin() + at, data.begin() + at + 4096},
                             at + 4096 == offset + length));
    };
    // Each sequence answered frees a place for the next R2T.
    answer(r2ts[0]);
    Pdu third = h.Next();
    EXPECT_EQ(third.U32(40), 40960u);
    EXPECT_EQ(third.U32(36), 2u);   // R2TSN
    answer(r2ts[1]);
    Pdu fourth = h.Next();
    EXPECT_EQ(fourth.U32(40), 57344u);
    EXPECT_EQ(fourth.U32(44), 8192u);
    answer(third);
    answer(fourth);
    Pdu status = h.Next();
    EXPECT_EQ(status.opcode(), sim::iscsi::kScsiResponse);
    EXPECT_EQ(status.bhs[3], 0);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), h.targets.disk.begin() + 10 * 512));

    // Read it back with room for one block more than there is: an underflow.
    h.Send(h.Command(0xC1, Rw10(0x28, 10, 128), uint32_t(data.size()) + 512));
    std::vector<uint8_t> read;
    Pdu d;
    do {
        d = h.Next();
        ASSERT_EQ(d.opcode(), sim::iscsi::kDataIn);
        EXPECT_LE(d.data.size(), 4096u);
        EXPECT_EQ(d.U32(40), read.size());
        read.insert(read.end(), d.data.begin(), d.data.end());
    } while (!(d.bhs[1] & 0x01));
    EXPECT_EQ(read, data);
    EXPECT_EQ(d.bhs[1] & 0x82, 0x82);   // final, underflow
    EXPECT_EQ(d.U32(44), 512u);
    EXPECT_EQ(d.U32(36), 15u);          // DataSN of the sixteenth PDU
    EXPECT_EQ(h.conn->OutstandingTasks(), 0u);
}

// A host that does not negotiate MaxOutstandingR2T has the default, 1: one
// R2T at a time per command, also when it ends its unsolicited data short
// of the first burst and the rest of that burst must be asked for too.
TEST(IscsiSession, OneR2tAtATimeUnlessMoreWereNegotiated) {
    Host h;
    ASSERT_TRUE(h.LogInNormal({{"InitialR2T", "No"}, {"FirstBurstLength", "8192"}, {"MaxBurstLength", "16384"}}));
    EXPECT_EQ(h.conn->parameters().maxOutstandingR2T, 1u);
    const auto data = Pattern(64 * 512, 4);
    const Pdu cmd = h.Command(0x21, Rw10(0x2A, 0, 64), uint32_t(data.size()));
    const uint32_t task = cmd.InitiatorTaskTag();
    h.Send(cmd);
    // Beside the unsolicited first burst, one R2T.
    std::vector<Pdu> r2ts;
    while (!h.in.empty()) r2ts.push_back(h.Next());
    ASSERT_EQ(r2ts.size(), 1u);
    EXPECT_EQ(r2ts[0].U32(40), 8192u);
    // The host ends its unsolicited data at 4096: the rest of the first
    // burst waits for the R2T out to be answered.
    h.Send(h.DataOut(task, sim::iscsi::kReservedTag, 0, {data.begin(), data.begin() + 4096}, true));
    EXPECT_TRUE(h.in.empty());
    std::vector<std::pair<uint32_t, uint32_t>> asked;
    for (Pdu r2t = r2ts[0];;) {
        asked.emplace_back(r2t.U32(40), r2t.U32(44));
        const uint32_t offset = r2t.U32(40), length = r2t.U32(44);
        for (uint32_t at = offset; at < offset + length; at += 4096) {
            h.Send(h.DataOut(task, r2t.U32(20), at, {data.begin() + at, data.begin() + at + 4096},
                             at + 4096 == offset + length));
        }
        r2t = h.Next();
        if (r2t.opcode() != sim::iscsi::kReadyToTransfer) {
            EXPECT_EQ(r2t.opcode(), sim::iscsi::kScsiResponse);
            EXPECT_EQ(r2t.bhs[3], 0);
            break;
        }
        EXPECT_TRUE(h.in.empty());   // never a second one outstanding
    }
    EXPECT_EQ(asked, (std::vector<std::pair<uint32_t, uint32_t>>{
                         {8192, 16384}, {4096, 4096}, {24576, 8192}}));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), h.targets.disk.begin()));
}

TEST(IscsiSession, CheckConditionCarriesSenseAndStatusNumbersAdvance) {
    Host h;
    ASSERT_TRUE(h.LogInNormal());
    h.Send(h.Command(0xC1, {0x12, 0, 0, 0, 96, 0}, 96));
    Pdu inquiry = h.Next();
    EXPECT_EQ(inquiry.opcode(), sim::iscsi::kDataIn);
    EXPECT_EQ(inquiry.bhs[1], 0x83);   // final, underflow, status
    EXPECT_EQ(inquiry.U32(44), 60u);
    const uint32_t statSn = inquiry.U32(24);

    h.Send(h.Command(0x81, {0xA5, 0, 0, 0, 0, 0}, 0));
    Pdu r = h.Next();
    EXPECT_EQ(r.opcode(), sim::iscsi::kScsiResponse);
    EXPECT_EQ(r.bhs[3], 2);
    EXPECT_EQ(r.U32(24), statSn + 1);
    EXPECT_EQ(r.U32(28), h.cmdSn);
    ASSERT_EQ(r.data.size(), 16u);
    EXPECT_EQ(r.data[0] << 8 | r.data[1], 14);
    EXPECT_EQ(r.data[2 + 12], 0x20);

    // A NOP-Out ping comes back with its data.
    Pdu nop = sim::iscsi::MakePdu(sim::iscsi::kNopOut | sim::iscsi::kImmediate);
    nop.SetU32(16, 99);
    nop.SetU32(20, sim::iscsi::kReservedTag);
    nop.SetU32(24, h.cmdSn);
    nop.data = {'p', 'i', 'n', 'g', '!'};
    h.Send(nop);
    r = h.Next();
    EXPECT_EQ(r.opcode(), sim::iscsi::kNopIn);
    EXPECT_EQ(r.U32(16), 99u);
    EXPECT_EQ(r.data, nop.data);
}

// The command window closes as commands queue and opens as they end.
TEST(IscsiSession, CommandWindowBoundsOutstandingCommands) {
    Host h;
    ASSERT_TRUE(h.LogInNormal());
    h.targets.last->hold = true;
    const uint32_t first = h.cmdSn;
    for (uint32_t i = 0; i < sim::IscsiConnection::kCommandWindow + 3; ++i)
        h.Send(h.Command(0xC1, {0x12, 0, 0, 0, 36, 0}, 36));
    EXPECT_EQ(h.targets.last->held.size(), sim::IscsiConnection::kCommandWindow);
    h.targets.last->Release();
    h.Collect();
    h.Drain();
    size_t responses = 0;
    uint32_t maxCmdSn = 0;
    while (!h.in.empty()) {
        maxCmdSn = h.Next().U32(32);
        ++responses;
    }
    EXPECT_EQ(responses, sim::IscsiConnection::kCommandWindow);
    EXPECT_EQ(maxCmdSn, first + 2 * sim::IscsiConnection::kCommandWindow - 1);
}

TEST(IscsiSession, AbortedTaskGetsNoResponseAndResetsEndWhatIsQueued) {
    Host h;
    ASSERT_TRUE(h.LogInNormal());
    RamNexus& nexus = *h.targets.last;
    nexus.hold = true;
    Pdu a = h.Command(0xC1, {0x12, 0, 0, 0, 36, 0}, 36);
    const uint32_t aTag = a.InitiatorTaskTag(), aSn = a.U32(24);
    h.Send(a);
    // A write still waiting for its data is aborted at the portal alone.
    Pdu w = h.Command(0x21, Rw10(0x2A, 0, 1), 512);
    h.Send(w);
    EXPECT_EQ(h.Next().opcode(), sim::iscsi::kReadyToTransfer);

    auto tmf = [&](uint8_t function, uint32_t referenced, uint32_t refCmdSn) {
        Pdu p = sim::iscsi::MakePdu(sim::iscsi::kTaskManagementRequest | sim::iscsi::kImmediate, false);
        p.bhs[1] = 0x80 | function;
        p.SetU32(16, ++h.itt);
        p.SetU32(20, referenced);
        p.SetU32(24, h.cmdSn);
        p.SetU32(32, refCmdSn);
        h.Send(p);
        Pdu r = h.Next();
        EXPECT_EQ(r.opcode(), sim::iscsi::kTaskManagementResponse);
        return r.bhs[2];
    };
    EXPECT_EQ(tmf(sim::kTmfAbortTask, w.InitiatorTaskTag(), w.U32(24)), sim::kTmfComplete);
    EXPECT_EQ(tmf(sim::kTmfAbortTask, aTag, aSn), sim::kTmfComplete);
    EXPECT_EQ(nexus.tmfs.size(), 1u);
    // Gone (aborted before) or never seen: no such task.
    EXPECT_EQ(tmf(sim::kTmfAbortTask, aTag, aSn), sim::kTmfNoTask);
    EXPECT_EQ(tmf(sim::kTmfAbortTask, 0x999, h.cmdSn + 5), sim::kTmfNoTask);
    // Late data for the aborted write is dropped quietly.
    h.Send(h.DataOut(w.InitiatorTaskTag(), 1, 0, std::vector<uint8_t>(512), true));
    EXPECT_TRUE(h.in.empty());

    h.Send(h.Command(0xC1, {0x12, 0, 0, 0, 36, 0}, 36));
    h.Send(h.Command(0xC1, {0x12, 0, 0, 0, 36, 0}, 36));
    EXPECT_EQ(tmf(sim::kTmfLogicalUnitReset, sim::iscsi::kReservedTag, 0), sim::kTmfComplete);
    EXPECT_EQ(tmf(sim::kTmfTargetColdReset, sim::iscsi::kReservedTag, 0), sim::kTmfNotSupported);
    EXPECT_EQ(h.conn->OutstandingTasks(), 0u);
    EXPECT_TRUE(h.in.empty());

    // The host's connection drops: the initiator logs out.
    h.conn.reset();
    EXPECT_TRUE(h.targets.loggedOut);
}

// Every command holds room for its data from its arrival until its answer
// is out, out of its session's share and, past the session's floor, the
// portal's whole: past either, the task set is full; within its floor a
// session is served whatever the others hold.  Nothing is held once the
// commands are gone.
TEST(IscsiHeld, WritesHoldTheirRoomAndPastItTheTaskSetIsFull) {
    constexpr uint64_t floor = sim::IscsiConnection::kSessionFloor;
    Host a(96 * kMiB - 2 * floor);
    ASSERT_TRUE(a.LogInNormal());
    auto write = [](IscsiHost& h, uint32_t bytes = 16 * kMiB) {
        h.Send(h.Command(0xA1, Rw10(0x2A, 0, uint16_t(bytes / 512)), bytes));
        return h.Next();
    };
    for (int i = 0; i < 4; ++i) EXPECT_EQ(write(a).opcode(), sim::iscsi::kReadyToTransfer) << i;
    EXPECT_EQ(a.portal.heldBytes(), 64 * kMiB - floor);
    Pdu full = write(a);   // past the session's share
    EXPECT_EQ(full.opcode(), sim::iscsi::kScsiResponse);
    EXPECT_EQ(full.bhs[3], kTaskSetFull);

    LocalHost b(a.portal);
    b.isidQualifier = 1;
    ASSERT_TRUE(b.LogInNormal());
    EXPECT_EQ(write(b).opcode(), sim::iscsi::kReadyToTransfer);
    EXPECT_EQ(write(b).opcode(), sim::iscsi::kReadyToTransfer);
    full = write(b);       // past the portal's whole
    EXPECT_EQ(full.bhs[3], kTaskSetFull);
    EXPECT_EQ(a.portal.heldBytes(), a.portal.memoryLimit());

    LocalHost c(a.portal);
    c.isidQualifier = 2;
    ASSERT_TRUE(c.LogInNormal());
    EXPECT_EQ(write(c, uint32_t(floor)).opcode(), sim::iscsi::kReadyToTransfer);   // its floor
    EXPECT_EQ(write(c, 512).bhs[3], kTaskSetFull);

    a.conn.reset();
    EXPECT_EQ(a.portal.heldBytes(), 32 * kMiB - floor);
    EXPECT_EQ(write(b).opcode(), sim::iscsi::kReadyToTransfer);
    b.conn.reset();
    c.conn.reset();
    EXPECT_EQ(a.portal.heldBytes(), 0u);
}

// Read data waits in the connection until the host takes what went before,
// a window at a time; the reads hold their room until their data is out.
TEST(IscsiHeld, ReadDataGoesOutAsTheHostTakesIt) {
    Host h(4 * kMiB - sim::IscsiConnection::kSessionFloor);
    ASSERT_TRUE(h.LogInNormal({{"MaxRecvDataSegmentLength", "262144"}, {"MaxBurstLength", "1048576"}}));
    for (size_t i = 0; i < h.targets.disk.size(); ++i) h.targets.disk[i] = uint8_t(i * 13 + (i >> 9));
    h.reading = false;
    for (int i = 0; i < 5; ++i) h.Send(h.Command(0xC1, Rw10(0x28, 0, 2048), uint32_t(kMiB)));
    EXPECT_LE(h.conn->output().size(), sim::IscsiConnection::kOutputWindow + 300 * 1024);
    EXPECT_GE(h.conn->Backlog(), 4 * kMiB);
    EXPECT_EQ(h.portal.heldBytes(), h.portal.memoryLimit());
    h.reading = true;
    h.Collect();
    h.Drain();
    for (int i = 0; i < 4; ++i) {
        std::vector<uint8_t> data;
        for (;;) {
            Pdu p = h.Next();
            ASSERT_EQ(p.opcode(), sim::iscsi::kDataIn) << i;
            data.insert(data.end(), p.data.begin(), p.data.end());
            if (p.bhs[1] & 0x01) break;
        }
        EXPECT_EQ(data, h.targets.disk) << i;
    }
    Pdu full = h.Next();   // the fifth found no room, and is answered in turn
    EXPECT_EQ(full.opcode(), sim::iscsi::kScsiResponse);
    EXPECT_EQ(full.bhs[3], kTaskSetFull);
    EXPECT_EQ(h.portal.heldBytes(), 0u);
    EXPECT_EQ(h.conn->Backlog(), 0u);
}

// A login must reach full feature in time; an idle session is pinged, and
// ends when the host does not answer.
TEST(IscsiTimers, LoginsTimeOutAndUnansweredPingsEndTheSession) {
    constexpr uint64_t s = 1'000'000'000ull;
    Host silent;
    silent.conn->Tick(5 * s);
    silent.Login(0x81, {{"InitiatorName", "iqn.2026-01.host:one"}, {"TargetName", "iqn.2026-01.test:port-1"},
                        {"SessionType", "Normal"}, {"AuthMethod", "None"}});
    silent.conn->Tick(5 * s + sim::IscsiConnection::kLoginTimeoutNs - 1);
    EXPECT_FALSE(silent.conn->Closing());
    silent.conn->Tick(5 * s + sim::IscsiConnection::kLoginTimeoutNs);
    EXPECT_TRUE(silent.conn->Closing());

    Host h;
    ASSERT_TRUE(h.LogInNormal());
    h.conn->Tick(0);   // the host was last heard now
    uint64_t now = sim::IscsiConnection::kPingIdleNs - 1;
    h.conn->Tick(now);
    h.Collect();
    EXPECT_TRUE(h.received.empty());
    h.conn->Tick(now += 1);
    h.Collect();
    Pdu ping = h.Next();
    ASSERT_EQ(ping.opcode(), sim::iscsi::kNopIn);
    EXPECT_EQ(ping.InitiatorTaskTag(), sim::iscsi::kReservedTag);
    ASSERT_NE(ping.U32(20), sim::iscsi::kReservedTag);
    // The host answers in time: the session goes on, pinged again when idle.
    h.conn->Tick(now += sim::IscsiConnection::kPingReplyNs - 1);
    Pdu answer = sim::iscsi::MakePdu(sim::iscsi::kNopOut | sim::iscsi::kImmediate);
    answer.SetU32(16, sim::iscsi::kReservedTag);
    answer.SetU32(20, ping.U32(20));
    answer.SetU32(24, h.cmdSn);
    h.Send(answer);
    EXPECT_TRUE(h.in.empty());
    h.conn->Tick(now);
    h.conn->Tick(now += sim::IscsiConnection::kPingIdleNs);
    EXPECT_FALSE(h.conn->Closing());
    h.Collect();
    EXPECT_EQ(h.Next().opcode(), sim::iscsi::kNopIn);
    // Now it does not, but goes on sending (it has not read the ping):
    // the session stays for as long as it does.
    for (int i = 0; i < 3; ++i) {
        h.conn->Tick(now += sim::IscsiConnection::kPingReplyNs - 1);
        h.Send(h.Command(0x81, {0, 0, 0, 0, 0, 0}, 0));
        h.conn->Tick(now);
        EXPECT_FALSE(h.conn->Closing()) << i;
    }
    h.Collect();
    h.in.clear();
    // Then it falls silent.
    h.conn->Tick(now += sim::IscsiConnection::kPingReplyNs - 1);
    EXPECT_FALSE(h.conn->Closing());
    h.conn->Tick(now += 1);
    EXPECT_TRUE(h.conn->Closing());
    EXPECT_TRUE(h.targets.loggedOut);
}

// A host that answers the pings of its idle session keeps it for as long
// as a command takes, and hears every answer that comes while a ping is out.
TEST(IscsiTimers, AnsweredPingsKeepASessionWhoseCommandsTakeTheirTime) {
    constexpr uint64_t kIdle = sim::IscsiConnection::kPingIdleNs;
    // Each wait with nothing to read lets the session idle long enough
    // for a ping; the held commands end at the fifth.
    struct PatientHost : Host {
        uint64_t now = 0;
        int waits = 0;
        bool Await() override {
            for (int i = 0; i < 4 && !conn->Closing(); ++i) {
                if (Collect()) return true;
                if (++waits == 5) targets.last->Release();
                else conn->Tick(now += kIdle);
            }
            return Collect();
        }
    } h;
    h.answerPings = true;
    ASSERT_TRUE(h.LogInNormal());
    h.conn->Tick(h.now);
    h.targets.last->hold = true;
    // Two pings go by, each answered, over twice the time an unanswered
    // one is given.
    h.Send(h.Command(0xC1, iscsitest::Rw10(0x28, 0, 8), 4096));
    const Pdu data = h.Next();
    EXPECT_EQ(data.opcode(), sim::iscsi::kDataIn);
    EXPECT_EQ(data.bhs[1] & 0x01, 0x01);
    EXPECT_EQ(data.data.size(), 4096u);
    EXPECT_GE(h.now, 2 * sim::IscsiConnection::kPingReplyNs);
    EXPECT_FALSE(h.conn->Closing());

    // Two aborts of one held read while a ping waits for its answer.
    const Pdu read = h.Command(0xC1, iscsitest::Rw10(0x28, 0, 8), 4096);
    h.Send(read);
    h.conn->Tick(h.now);
    h.conn->Tick(h.now += kIdle);
    h.Collect();
    ASSERT_EQ(h.in.size(), 1u);
    for (uint32_t tag : {0x70u, 0x71u}) {
        Pdu abort = sim::iscsi::MakePdu(sim::iscsi::kTaskManagementRequest | sim::iscsi::kImmediate);
        abort.bhs[1] = 0x80 | sim::kTmfAbortTask;
        abort.SetU32(16, tag);
        abort.SetU32(20, read.InitiatorTaskTag());
        abort.SetU32(24, h.cmdSn);
        abort.SetU32(32, read.U32(24));
        h.Send(abort);
    }
    // The first ends the read; the second finds it gone.
    for (uint32_t tag : {0x70u, 0x71u}) {
        const Pdu r = h.Next();
        EXPECT_EQ(r.opcode(), sim::iscsi::kTaskManagementResponse);
        EXPECT_EQ(r.InitiatorTaskTag(), tag);
        EXPECT_EQ(r.bhs[2], tag == 0x70u ? sim::kTmfComplete : sim::kTmfNoTask);
    }
    EXPECT_TRUE(h.in.empty());
    h.conn->Tick(h.now += sim::IscsiConnection::kPingReplyNs);
    EXPECT_FALSE(h.conn->Closing());
}

// Targets whose sessions log in as a test says.
struct SlowTargets : RamTargets {
    struct Nexus : RamNexus {
        using RamNexus::RamNexus;
        Login state = Login::Pending;
        Login login() const override { return state; }
    };
    Nexus* nexus = nullptr;
    std::unique_ptr<sim::IscsiNexus> Open(size_t, const std::string&) override {
        auto n = std::make_unique<Nexus>(&disk, &loggedOut);
        nexus = n.get();
        last = n.get();
        return n;
    }
};

// The last login response waits for the session's initiator to be logged
// in to its target; a target that cannot take another initiator, or a
// portal with connections enough, refuses the login for want of resources.
TEST(IscsiLogin, TheLastResponseWaitsForTheTargetsLogin) {
    for (const auto outcome : {sim::IscsiNexus::Login::Ready, sim::IscsiNexus::Login::Refused}) {
        SlowTargets targets;
        sim::IscsiPortal portal(targets);
        LocalHost h(portal);
        Pdu r = h.Login(0x81, {{"InitiatorName", "iqn.2026-01.host:one"}, {"TargetName", "iqn.2026-01.test:port-1"},
                               {"SessionType", "Normal"}, {"AuthMethod", "None"}});
        ASSERT_EQ(r.U16(36), 0);
        Pdu last = sim::iscsi::MakePdu(sim::iscsi::kLoginRequest | sim::iscsi::kImmediate, false);
        last.bhs[1] = 0x87;
        const uint8_t isid[6] = {0x80, 0, 0, 0x12, 0x34, 0};
        std::memcpy(&last.bhs[8], isid, 6);
        last.SetU32(16, h.itt);
        last.SetU32(24, h.cmdSn);
        h.Send(last);
        // A command sent at once waits with the login.
        h.Send(h.Command(0xC1, {0x12, 0, 0, 0, 36, 0}, 36));
        EXPECT_TRUE(h.in.empty());
        EXPECT_FALSE(h.conn->FullFeature());
        targets.nexus->state = outcome;
        targets.nexus->onLogin();
        r = h.Next();
        ASSERT_EQ(r.opcode(), sim::iscsi::kLoginResponse);
        if (outcome == sim::IscsiNexus::Login::Ready) {
            EXPECT_EQ(r.U16(36), 0);
            EXPECT_NE(r.U16(14), 0);
            EXPECT_TRUE(h.conn->FullFeature());
            EXPECT_EQ(h.Next().opcode(), sim::iscsi::kDataIn);
        } else {
            EXPECT_EQ(r.U16(36), 0x0302);
            EXPECT_TRUE(h.conn->Closing());
        }
    }
    Host full;
    full.conn->RefuseLogins();
    Pdu r = full.Login(0x81, {{"InitiatorName", "iqn.2026-01.host:one"}, {"SessionType", "Discovery"}});
    EXPECT_EQ(r.U16(36), 0x0302);
    EXPECT_TRUE(full.conn->Closing());
}

TEST(IscsiSession, ProtocolErrorsAreRejected) {
    Host h;
    ASSERT_TRUE(h.LogInNormal({{"DataDigest", "CRC32C"}}));
    h.limits.dataDigest = true;
    auto reason = [&](Pdu p) {
        h.Send(std::move(p));
        Pdu r = h.Next();
        EXPECT_EQ(r.opcode(), sim::iscsi::kReject);
        EXPECT_EQ(r.data.size(), 48u);
        return r.bhs[2];
    };
    EXPECT_EQ(reason(sim::iscsi::MakePdu(0x1C)), 0x05);   // an opcode nobody defined
    EXPECT_EQ(reason(sim::iscsi::MakePdu(sim::iscsi::kSnack)), 0x04);
    EXPECT_EQ(reason(h.Command(0xE1, {0x12}, 36)), 0x05);   // bidirectional
    // Immediate data for a read.
    EXPECT_EQ(reason(h.Command(0xC1, {0x12}, 36, {1, 2, 3, 4})), 0x04);
    EXPECT_FALSE(h.conn->Closing());

    // A damaged NOP-Out's data is rejected; the connection goes on.
    Pdu nop = sim::iscsi::MakePdu(sim::iscsi::kNopOut | sim::iscsi::kImmediate);
    nop.SetU32(16, 1);
    nop.data = {1, 2, 3, 4};
    std::vector<uint8_t> bytes;
    sim::iscsi::EncodeFrame(nop, h.limits, &bytes);
    bytes[50] ^= 0xFF;
    h.Transmit(bytes);
    h.Drain();
    EXPECT_EQ(h.Next().bhs[2], 0x02);
    EXPECT_FALSE(h.conn->Closing());

    // A data segment longer than the target receives ends the connection.
    Pdu big = sim::iscsi::MakePdu(sim::iscsi::kNopOut | sim::iscsi::kImmediate);
    big.data.assign(sim::IscsiConnection::kMaxRecvDataSegment + 4, 0);
    EXPECT_EQ(reason(big), 0x04);
    EXPECT_TRUE(h.conn->Closing());
    EXPECT_TRUE(h.targets.loggedOut);
}

// At recovery level 0 a Data-Out that is damaged, or numbered out of turn
// because one before it was lost, cannot be asked for again: it is
// rejected, the host finishes its sequences, and the write ends in CHECK
// CONDITION without reaching the logical unit.  The session goes on.
TEST(IscsiSession, ALostDataOutFailsItsWriteAndTheSessionGoesOn) {
    Host h;
    ASSERT_TRUE(h.LogInNormal({{"DataDigest", "CRC32C"}, {"InitialR2T", "No"}, {"ImmediateData", "No"},
                               {"FirstBurstLength", "1024"}}));
    h.limits.dataDigest = true;
    const auto one = std::vector<uint8_t>(512, 1), two = std::vector<uint8_t>(512, 2);
    auto expectLost = [&](const Pdu& w) {
        Pdu r = h.Next();
        EXPECT_EQ(r.opcode(), sim::iscsi::kScsiResponse);
        EXPECT_EQ(r.InitiatorTaskTag(), w.InitiatorTaskTag());
        EXPECT_EQ(r.bhs[3], 0x02);
        ASSERT_GE(r.data.size(), 2u + 14u);
        EXPECT_EQ(r.data[2 + 2] & 0x0F, 0x0B);                  // ABORTED COMMAND
        EXPECT_EQ(std::vector<uint8_t>(r.data.begin() + 14, r.data.begin() + 16), (std::vector<uint8_t>{0x47, 0x05}));
        EXPECT_TRUE(h.in.empty());
    };
    auto rejected = [&](const Pdu& r) {
        EXPECT_EQ(r.opcode(), sim::iscsi::kReject);
        EXPECT_EQ(r.bhs[2], 0x02);   // data digest error, said or implied
    };
    struct Case {
        const char* what;
        uint32_t firstSn, secondSn;
    };
    for (const Case& c : {Case{"DataSN 0 twice", 0, 0}, Case{"DataSN 1 first", 1, 2}, Case{"reversed", 1, 0},
                          Case{"DataSN -1", 0xFFFFFFFFu, 0}}) {
        SCOPED_TRACE(c.what);
        // Unsolicited: the sequence ends with its final bit, then the answer.
        Pdu w = h.Command(0x21, Rw10(0x2A, 0, 2), 1024);
        h.Send(w);
        Pdu a = h.DataOut(w.InitiatorTaskTag(), sim::iscsi::kReservedTag, 0, one, false);
        a.SetU32(36, c.firstSn);
        h.Send(a);
        if (c.firstSn != 0) rejected(h.Next());
        EXPECT_TRUE(h.in.empty());
        Pdu b = h.DataOut(w.InitiatorTaskTag(), sim::iscsi::kReservedTag, 512, two, true);
        b.SetU32(36, c.secondSn);
        h.Send(b);
        if (c.firstSn == 0) rejected(h.Next());
        expectLost(w);
        EXPECT_FALSE(h.conn->Closing());
    }
    // Solicited: a damaged Data-Out in the middle of an R2T's sequence.
    Pdu w = h.Command(0x21, Rw10(0x2A, 0, 4), 2048);
    h.Send(w);
    h.Send(h.DataOut(w.InitiatorTaskTag(), sim::iscsi::kReservedTag, 0, one, false));
    h.Send(h.DataOut(w.InitiatorTaskTag(), sim::iscsi::kReservedTag, 512, one, true));
    Pdu r2t = h.Next();
    ASSERT_EQ(r2t.opcode(), sim::iscsi::kReadyToTransfer);
    std::vector<uint8_t> bytes;
    sim::iscsi::EncodeFrame(h.DataOut(w.InitiatorTaskTag(), r2t.U32(20), 1024, two, false), h.limits, &bytes);
    bytes[48 + 100] ^= 0x40;
    h.Transmit(bytes);
    h.Drain();
    rejected(h.Next());
    h.Send(h.DataOut(w.InitiatorTaskTag(), r2t.U32(20), 1536, two, true));
    expectLost(w);
    EXPECT_EQ(h.targets.disk[0], 0);   // nothing half written
    EXPECT_EQ(h.conn->OutstandingTasks(), 0u);

    // The session carries the next write whole.
    Pdu ok = h.Command(0x21, Rw10(0x2A, 0, 1), 512);
    h.Send(ok);
    h.Send(h.DataOut(ok.InitiatorTaskTag(), sim::iscsi::kReservedTag, 0, two, true));
    Pdu r = h.Next();
    EXPECT_EQ(r.opcode(), sim::iscsi::kScsiResponse);
    EXPECT_EQ(r.bhs[3], 0);
    EXPECT_EQ(h.targets.disk[0], 2);
    EXPECT_FALSE(h.targets.loggedOut);
}

// A session takes one connection: another naming a live session is one too
// many, one naming a session that is gone finds none; the session goes on.
TEST(IscsiSession, ASecondConnectionIsRefused) {
    Host h;
    ASSERT_EQ(h.Login(0x81, {{"InitiatorName", "iqn.2026-01.host:one"},
                             {"TargetName", "iqn.2026-01.test:port-2"},
                             {"AuthMethod", "None"}})
                  .U16(36),
              0);
    const uint16_t tsih = h.Login(0x87, {}).U16(14);
    ASSERT_TRUE(h.FullFeature());
    ASSERT_NE(tsih, 0);
    for (const auto& [named, status] : {std::pair<uint16_t, uint16_t>{tsih, 0x0206}, {uint16_t(tsih + 1), 0x020A}}) {
        Host second;
        second.conn = std::make_unique<sim::IscsiConnection>(h.portal, "127.0.0.1:3260");
        const Pdu r = second.Login(0x87, {{"InitiatorName", "iqn.2026-01.host:one"},
                                          {"TargetName", "iqn.2026-01.test:port-2"}}, named);
        EXPECT_EQ(r.U16(36), status);
        EXPECT_TRUE(second.conn->Closing());
    }
    EXPECT_FALSE(h.conn->Closing());
    EXPECT_FALSE(h.targets.loggedOut);
}

// A second login of the same initiator and ISID replaces the first session.
TEST(IscsiSession, ReinstatementClosesTheOldSession) {
    Host h;
    ASSERT_TRUE(h.LogInNormal());
    auto second = std::make_unique<sim::IscsiConnection>(h.portal, "127.0.0.1:3260");
    std::swap(second, h.conn);
    h.targets.loggedOut = false;
    ASSERT_TRUE(h.LogInNormal());
    EXPECT_TRUE(second->Closing());
    EXPECT_TRUE(h.targets.loggedOut);
    EXPECT_FALSE(h.conn->Closing());
}

// Mutated PDUs never harm the portal: each ends in an answer, a reject, a
// failed login or a closed connection, and whatever it sends is well formed.
TEST(IscsiFuzz, MutatedPdusNeverHarmTheConnection) {
    std::mt19937 random(2026);
    // Well-formed traffic to mutate: a login, commands, data, text, logout.
    std::vector<std::vector<uint8_t>> seeds;
    {
        Host h;
        auto record = [&](Pdu p) {
            std::vector<uint8_t> b;
            sim::iscsi::EncodeFrame(p, h.limits, &b);
            seeds.push_back(b);
        };
        Pdu login = sim::iscsi::MakePdu(sim::iscsi::kLoginRequest | sim::iscsi::kImmediate, false);
        login.bhs[1] = 0x87;
        sim::iscsi::AppendTextKey(&login.data, "InitiatorName", "iqn.2026-01.host:fuzz");
        sim::iscsi::AppendTextKey(&login.data, "TargetName", "iqn.2026-01.test:port-1");
        sim::iscsi::AppendTextKey(&login.data, "MaxBurstLength", "4096");
        record(login);
        record(h.Command(0xC1, Rw10(0x28, 0, 4), 2048));
        record(h.Command(0xA1, Rw10(0x2A, 0, 2), 1024, std::vector<uint8_t>(512, 9)));
        record(h.DataOut(h.itt, sim::iscsi::kReservedTag, 512, std::vector<uint8_t>(512, 8), true));
        record(h.DataOut(h.itt, 1, 512, std::vector<uint8_t>(512, 8), true));
        Pdu text = sim::iscsi::MakePdu(sim::iscsi::kTextRequest);
        text.SetU32(20, sim::iscsi::kReservedTag);
        text.SetU32(24, h.cmdSn);
        sim::iscsi::AppendTextKey(&text.data, "SendTargets", "All");
        record(text);
        Pdu tmf = sim::iscsi::MakePdu(sim::iscsi::kTaskManagementRequest | sim::iscsi::kImmediate);
        tmf.bhs[1] = 0x81;
        tmf.SetU32(20, h.itt);
        record(tmf);
        record(sim::iscsi::MakePdu(sim::iscsi::kLogoutRequest));
    }
    size_t closed = 0;
    for (int round = 0; round < 1500; ++round) {
        Host h;
        h.targets.disk.resize(8192);
        std::vector<uint8_t> stream = seeds[0];
        const int pdus = 1 + int(random() % 6);
        for (int i = 0; i < pdus; ++i) {
            const auto& s = seeds[1 + random() % (seeds.size() - 1)];
            stream.insert(stream.end(), s.begin(), s.end());
        }
        const int mutations = 1 + int(random() % 8);
        for (int m = 0; m < mutations; ++m) {
            const size_t at = random() % stream.size();
            switch (random() % 4) {
            case 0: stream[at] ^= uint8_t(1u << (random() % 8)); break;
            case 1: stream[at] = uint8_t(random()); break;
            case 2: stream.erase(stream.begin() + long(at), stream.begin() + long(std::min(stream.size(), at + 1 + random() % 8))); break;
            default: stream.insert(stream.begin() + long(at), 1 + random() % 8, uint8_t(random())); break;
            }
            if (stream.empty()) stream.push_back(0);
        }
        // Delivered in pieces of any size, as TCP may.
        for (size_t at = 0; at < stream.size();) {
            const size_t n = std::min(stream.size() - at, size_t(1 + random() % 200));
            h.Transmit({stream.begin() + long(at), stream.begin() + long(at + n)});
            at += n;
            h.Drain();
        }
        if (h.conn->Closing()) ++closed;
        h.conn.reset();
    }
    // The mutations are harsh enough that many connections end.
    EXPECT_GT(closed, 50u);
}

}  // namespace
