// A host for tests of the iSCSI portal: a RAM logical unit behind the
// portal, and the initiator's side of a connection that builds requests and
// takes answers apart, over whatever transport a test gives it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/board.h"
#include "sim/iscsi_pdu.h"
#include "sim/iscsi_portal.h"

namespace iscsitest {

using sim::iscsi::Pdu;

// A logical unit of RAM behind the portal: INQUIRY, READ(10), WRITE(10),
// anything else CHECK CONDITION.  Answers at once unless told to hold.
struct RamNexus : sim::IscsiNexus {
    std::vector<uint8_t>* disk;
    bool hold = false;
    std::map<uint32_t, sim::IscsiTask> held;
    std::vector<std::pair<uint8_t, uint32_t>> tmfs;
    bool* loggedOut;

    RamNexus(std::vector<uint8_t>* d, bool* out) : disk(d), loggedOut(out) {}
    ~RamNexus() override { *loggedOut = true; }

    sim::IscsiTaskResult Run(const sim::IscsiTask& t) {
        sim::IscsiTaskResult r;
        const uint8_t op = t.cdb[0];
        if (op == 0x12) {
            r.dataIn.assign(36, 0);
            r.dataIn[4] = 31;
            std::memcpy(&r.dataIn[8], "TESTRAM ", 8);
        } else if (op == 0x28 || op == 0x2A) {
            uint32_t lba = uint32_t(t.cdb[2]) << 24 | t.cdb[3] << 16 | t.cdb[4] << 8 | t.cdb[5];
            uint32_t bytes = uint32_t(t.cdb[7] << 8 | t.cdb[8]) * 512;
            if (uint64_t(lba) * 512 + bytes > disk->size()) {
                r.status = 2;
                r.sense = {0x70, 0, 5, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x21, 0};
            } else if (op == 0x28) {
                r.dataIn.assign(disk->begin() + lba * 512, disk->begin() + lba * 512 + bytes);
            } else {
                std::copy(t.dataOut.begin(), t.dataOut.begin() + std::min<size_t>(bytes, t.dataOut.size()),
                          disk->begin() + lba * 512);
            }
        } else {
            r.status = 2;
            r.sense = {0x70, 0, 5, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x20, 0};
        }
        if (r.dataIn.size() < t.dataInLength) {
            r.underflow = true;
            r.residual = t.dataInLength - uint32_t(r.dataIn.size());
        }
        return r;
    }
    void Submit(uint32_t tag, sim::IscsiTask task) override {
        if (hold) held[tag] = std::move(task);
        else onTaskDone(tag, Run(task));
    }
    void Release() {
        auto tasks = std::move(held);
        held.clear();
        for (auto& [tag, task] : tasks) onTaskDone(tag, Run(task));
    }
    void TaskManagement(uint32_t tag, uint8_t function, uint64_t, uint32_t referenced) override {
        tmfs.emplace_back(function, referenced);
        if (function == sim::kTmfAbortTask) {
            if (!held.erase(referenced)) return onTaskManagementDone(tag, sim::kTmfNoTask);
        } else {
            for (auto& [t, task] : held) {
                sim::IscsiTaskResult r;
                r.outcome = sim::IscsiTaskResult::Outcome::Aborted;
                onTaskDone(t, r);
            }
            held.clear();
        }
        onTaskManagementDone(tag, sim::kTmfComplete);
    }
};

struct RamTargets : sim::IscsiTargets {
    std::vector<uint8_t> disk = std::vector<uint8_t>(1 << 20);
    RamNexus* last = nullptr;
    bool loggedOut = false;
    std::vector<std::string> TargetNames() const override {
        return {"iqn.2026-01.test:port-1", "iqn.2026-01.test:port-2"};
    }
    std::unique_ptr<sim::IscsiNexus> Open(size_t, const std::string&) override {
        auto n = std::make_unique<RamNexus>(&disk, &loggedOut);
        last = n.get();
        return n;
    }
};

inline std::string Keys(const std::vector<uint8_t>& data) {
    std::string s(data.begin(), data.end());
    for (char& c : s)
        if (c == 0) c = '\n';
    return s;
}

// A host's side of one connection: builds requests and takes the answers
// apart; the transport is the subclass's.
struct IscsiHost {
    sim::iscsi::FrameLimits limits;   // digests in force, for both ways
    uint32_t cmdSn = 1;
    uint32_t itt = 0x10;
    uint8_t isidQualifier = 0;   // the last byte of the ISID: another session of the same host
    std::deque<Pdu> in;
    std::vector<uint8_t> received;
    std::map<uint64_t, uint32_t> dataSns;
    bool answerPings = false;
    uint16_t lun = 0;   // the LUN the commands are for (single level)

    virtual ~IscsiHost() = default;
    // Hands the bytes to the target and collects its answers in `received`.
    virtual void Transmit(const std::vector<uint8_t>& bytes) = 0;
    // Waits for more answer bytes; false when none come.
    virtual bool Await() { return false; }
    virtual bool FullFeature() const { return true; }

    void Send(Pdu p) {
        std::vector<uint8_t> bytes;
        sim::iscsi::EncodeFrame(std::move(p), limits, &bytes);
        Transmit(bytes);
        Drain();
    }
    void Drain() {
        size_t at = 0;
        sim::iscsi::FrameLimits l = limits;
        l.maxDataSegment = sim::iscsi::kMaxDataSegmentLength;
        for (;;) {
            Pdu p;
            size_t used = 0;
            auto status = sim::iscsi::DecodeFrame(received.data() + at, received.size() - at, l, &p, &used);
            if (status == sim::iscsi::FrameStatus::NeedMore) break;
            ASSERT_EQ(status, sim::iscsi::FrameStatus::Ok);
            at += used;
            in.push_back(std::move(p));
        }
        received.erase(received.begin(), received.begin() + long(at));
    }
    // The next PDU the target sent.  A host that answers pings answers
    // each NOP-In asking for it and passes over every unsolicited one: an
    // idle session is pinged, and a host slow to send its next command
    // must not take the ping for the answer it waits for.  A target that
    // only pings has nothing more to say: after a few pings the wait fails
    // as it does when nothing comes, and the last ping is returned.
    Pdu Next() {
        for (int pings = 0;; ++pings) {
            while (in.empty() && Await()) Drain();
            EXPECT_FALSE(in.empty());
            if (in.empty()) return Pdu{};
            Pdu p = std::move(in.front());
            in.pop_front();
            if (!answerPings || p.opcode() != sim::iscsi::kNopIn || p.InitiatorTaskTag() != sim::iscsi::kReservedTag)
                return p;
            if (p.U32(20) != sim::iscsi::kReservedTag) {
                Pdu answer = sim::iscsi::MakePdu(sim::iscsi::kNopOut | sim::iscsi::kImmediate);
                answer.SetU32(16, sim::iscsi::kReservedTag);
                answer.SetU32(20, p.U32(20));
                answer.SetU32(24, cmdSn);
                Send(std::move(answer));
            }
            if (pings == kPingsPerAnswer) {
                ADD_FAILURE() << "nothing but pings came";
                return p;
            }
        }
    }
    static constexpr int kPingsPerAnswer = 3;

    Pdu Login(uint8_t flags, std::vector<std::pair<std::string, std::string>> keys, uint16_t tsih = 0) {
        Pdu p = sim::iscsi::MakePdu(sim::iscsi::kLoginRequest | sim::iscsi::kImmediate, false);
        p.bhs[1] = flags;
        const uint8_t isid[6] = {0x80, 0, 0, 0x12, 0x34, isidQualifier};
        std::memcpy(&p.bhs[8], isid, 6);
        p.SetU16(14, tsih);
        p.SetU32(16, itt);
        p.SetU32(24, cmdSn);
        for (auto& [k, v] : keys) sim::iscsi::AppendTextKey(&p.data, k, v);
        Send(std::move(p));
        return Next();
    }
    // Security then operational stage into full feature.
    bool LogInNormal(std::vector<std::pair<std::string, std::string>> operational = {},
                     const std::string& target = "iqn.2026-01.test:port-2") {
        Pdu r = Login(0x81, {{"InitiatorName", "iqn.2026-01.host:one"},
                             {"TargetName", target},
                             {"SessionType", "Normal"},
                             {"AuthMethod", "None"}});
        if (r.U16(36) != 0) return false;
        r = Login(0x87, operational);
        if (r.U16(36) != 0 || r.bhs[1] != 0x87) return false;
        for (auto& [k, v] : operational) {
            if (k == "HeaderDigest" && v.find("CRC32C") == 0) limits.headerDigest = true;
            if (k == "DataDigest" && v.find("CRC32C") == 0) limits.dataDigest = true;
        }
        return FullFeature();
    }
    Pdu Command(uint8_t flags, std::vector<uint8_t> cdb, uint32_t expected, std::vector<uint8_t> immediate = {}) {
        Pdu p = sim::iscsi::MakePdu(sim::iscsi::kScsiCommand, false);
        p.bhs[1] = flags;
        p.bhs[8] = uint8_t(lun >> 8 & 0x3F);
        p.bhs[9] = uint8_t(lun);
        p.SetU32(16, ++itt);
        p.SetU32(20, expected);
        p.SetU32(24, cmdSn++);
        std::copy(cdb.begin(), cdb.end(), p.bhs.begin() + 32);
        p.data = std::move(immediate);
        return p;
    }
    Pdu DataOut(uint32_t task, uint32_t ttt, uint32_t offset, std::vector<uint8_t> data, bool final) {
        Pdu p = sim::iscsi::MakePdu(sim::iscsi::kDataOut, final);
        p.SetU32(16, task);
        p.SetU32(20, ttt);
        p.SetU32(36, dataSns[uint64_t(task) << 32 | ttt]++);   // numbered within each sequence
        p.SetU32(40, offset);
        p.data = std::move(data);
        return p;
    }
    // Carries a write whole: up to `immediate` bytes with the command, the
    // rest as each R2T asks, in Data-Outs of at most `segment` bytes.
    // Returns the SCSI Response.
    Pdu Write(std::vector<uint8_t> cdb, const std::vector<uint8_t>& data, uint32_t immediate, uint32_t segment = 8192) {
        immediate = std::min<uint32_t>(immediate, uint32_t(data.size()));
        const uint8_t final = immediate == data.size() ? 0x80 : 0x00;
        Pdu c = Command(uint8_t(final | 0x21), std::move(cdb), uint32_t(data.size()),
                        std::vector<uint8_t>(data.begin(), data.begin() + immediate));
        const uint32_t task = c.InitiatorTaskTag();
        Send(std::move(c));
        for (;;) {
            Pdu p = Next();
            if (p.opcode() != sim::iscsi::kReadyToTransfer || p.InitiatorTaskTag() != task) return p;
            const uint32_t offset = p.U32(40), end = offset + p.U32(44);
            if (end > data.size()) return p;
            for (uint32_t at = offset; at < end; at += segment) {
                const uint32_t n = std::min(segment, end - at);
                Send(DataOut(task, p.U32(20), at, {data.begin() + at, data.begin() + at + n}, at + n == end));
            }
        }
    }
    // Gathers a read's Data-In; returns the PDU that carried its status.
    Pdu Read(std::vector<uint8_t> cdb, uint32_t length, std::vector<uint8_t>* data) {
        Send(Command(0xC1, std::move(cdb), length));
        for (;;) {
            Pdu p = Next();
            if (p.opcode() != sim::iscsi::kDataIn) return p;
            data->insert(data->end(), p.data.begin(), p.data.end());
            if (p.bhs[1] & 0x01) return p;
        }
    }
    Pdu SendTargets(const std::string& which) {
        Pdu t = sim::iscsi::MakePdu(sim::iscsi::kTextRequest);
        t.SetU32(16, ++itt);
        t.SetU32(20, sim::iscsi::kReservedTag);
        t.SetU32(24, cmdSn++);
        sim::iscsi::AppendTextKey(&t.data, "SendTargets", which);
        return t;
    }
};

// A host whose connection runs in this process and is answered at once.
// A host that is not reading leaves the portal's answers where they are.
struct LocalHost : IscsiHost {
    explicit LocalHost(sim::IscsiPortal& portal)
        : conn(std::make_unique<sim::IscsiConnection>(portal, "127.0.0.1:3260")) {}
    std::unique_ptr<sim::IscsiConnection> conn;
    bool reading = true;

    void Transmit(const std::vector<uint8_t>& bytes) override {
        conn->Receive(bytes.data(), bytes.size());
        if (reading) Collect();
    }
    // True when the portal had something more to say; what it said is
    // taken apart into PDUs.
    bool Collect() {
        const size_t before = received.size();
        for (auto& out = conn->output();;) {
            if (out.empty()) conn->Produce();
            if (out.empty()) break;
            received.insert(received.end(), out.begin(), out.end());
            out.clear();
        }
        const bool more = received.size() != before;
        Drain();
        return more;
    }
    bool Await() override { return Collect(); }
    bool FullFeature() const override { return conn->FullFeature(); }
};

// A host whose connection is carried in this process to a portal that
// reaches a simulated board: the answers come as the board runs.
struct BoardHost : IscsiHost {
    sim::Board& board;
    std::unique_ptr<sim::IscsiConnection> conn;
    BoardHost(sim::Board& b, sim::IscsiPortal& portal)
        : board(b), conn(std::make_unique<sim::IscsiConnection>(portal, "127.0.0.1:3260")) {}
    void Transmit(const std::vector<uint8_t>& bytes) override { conn->Receive(bytes.data(), bytes.size()); }
    // Up to ten seconds of the board's time.
    bool Await() override {
        // Read data waits in the connection until the host took what went before.
        const auto answered = [this] {
            conn->Produce();
            return !conn->output().empty();
        };
        if (!answered()) board.RunUntil(answered, 10'000'000'000ull);
        received.insert(received.end(), conn->output().begin(), conn->output().end());
        conn->output().clear();
        return !received.empty();
    }
    bool FullFeature() const override { return conn->FullFeature(); }
};

inline std::vector<uint8_t> Rw10(uint8_t op, uint32_t lba, uint16_t blocks) {
    return {op, 0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba), 0,
            uint8_t(blocks >> 8), uint8_t(blocks), 0};
}

inline std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(i * 7 + seed + (i >> 9));
    return v;
}

}  // namespace iscsitest
