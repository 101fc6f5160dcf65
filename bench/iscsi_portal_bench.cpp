// The iSCSI portal's own cost: sequential 64 KiB and random 4 KiB reads and
// writes by a host over loopback TCP (the portal's listener, connection
// machine and framing, with CRC32C digests off and on), timed in the same
// run against
//  - the same commands handed straight to the same memory-backed logical
//    unit, and
//  - a booted controller (RAID 0 write-back over four memory-backed drives,
//    in virtual time) reached once through the portal and its bridge to the
//    Fibre Channel fabric, and once by a plain simulated FC host on that
//    fabric.
// Eight commands outstanding, as a host's queue keeps them.
//
// Then logins: hosts log in one after another and stay, each ready once its
// first command is answered (past the unit attention a controller gives a
// new initiator), against a controller on the wall clock as the program
// runs it, and against the portal alone (a unit that answers at once): what
// a login costs, and whether it grows with the sessions already there.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "iscsi_login.h"
#include "../tests/system/road_config.h"
#include "executive/startup.h"
#include "hw/scsi.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/fc_fabric.h"
#include "sim/fc_host.h"
#include "sim/iscsi_fc_bridge.h"
#include "sim/iscsi_listener.h"
#include "sim/iscsi_pdu.h"
#include "sim/iscsi_portal.h"
#include "sim/isp_chip.h"
#include "sim/sas_controller.h"

namespace {

constexpr uint32_t kBlock = 512;
constexpr uint32_t kUnitBytes = 64u << 20;
constexpr unsigned kDepth = 8;
constexpr double kMinSeconds = 0.5;
// Each pair of runs alternates this often and keeps its best: a busy
// machine slows one run or the other.
constexpr unsigned kRounds = 3;

// A logical unit in memory answering READ(10) and WRITE(10) at once.
struct MemoryUnit : sim::IscsiNexus {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(kUnitBytes);
    sim::IscsiTaskResult Run(const sim::IscsiTask& t) {
        sim::IscsiTaskResult r;
        const uint32_t lba = uint32_t(t.cdb[2]) << 24 | t.cdb[3] << 16 | t.cdb[4] << 8 | t.cdb[5];
        const uint32_t n = uint32_t(t.cdb[7] << 8 | t.cdb[8]) * kBlock;
        if (t.cdb[0] == 0x28) r.dataIn.assign(bytes.begin() + lba * kBlock, bytes.begin() + lba * kBlock + n);
        else std::memcpy(bytes.data() + lba * kBlock, t.dataOut.data(), n);
        return r;
    }
    void Submit(uint32_t tag, sim::IscsiTask task) override { onTaskDone(tag, Run(task)); }
    void TaskManagement(uint32_t tag, uint8_t, uint64_t, uint32_t) override {
        onTaskManagementDone(tag, sim::kTmfComplete);
    }
};

struct OneUnit : sim::IscsiTargets {
    MemoryUnit* unit = nullptr;
    std::vector<std::string> TargetNames() const override { return {"iqn.2026-12.bench:unit"}; }
    std::unique_ptr<sim::IscsiNexus> Open(size_t, const std::string&) override {
        auto u = std::make_unique<MemoryUnit>();
        unit = u.get();
        return u;
    }
};

// A logical unit that answers every command GOOD at once, without data:
// what a login costs the portal itself.
struct EmptyUnit : sim::IscsiNexus {
    void Submit(uint32_t tag, sim::IscsiTask) override { onTaskDone(tag, sim::IscsiTaskResult{}); }
    void TaskManagement(uint32_t tag, uint8_t, uint64_t, uint32_t) override {
        onTaskManagementDone(tag, sim::kTmfComplete);
    }
};

struct EmptyUnits : sim::IscsiTargets {
    std::vector<std::string> TargetNames() const override { return {"iqn.2026-12.bench:empty"}; }
    std::unique_ptr<sim::IscsiNexus> Open(size_t, const std::string&) override { return std::make_unique<EmptyUnit>(); }
};

struct Load {
    const char* name;
    bool write;
    bool random;
    uint32_t bytes;
};

std::vector<uint8_t> Cdb(const Load& load, uint32_t lba) {
    const uint16_t blocks = uint16_t(load.bytes / kBlock);
    return {uint8_t(load.write ? 0x2A : 0x28), 0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8),
            uint8_t(lba), 0, uint8_t(blocks >> 8), uint8_t(blocks), 0};
}

// Where the i-th command of a load goes.
uint32_t Lba(const Load& load, uint64_t i, std::mt19937& random) {
    const uint32_t slots = kUnitBytes / load.bytes;
    const uint32_t slot = load.random ? random() % slots : uint32_t(i % slots);
    return slot * (load.bytes / kBlock);
}

double Seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// The commands handed to the unit directly, as the portal would hand them.
double DirectRate(const Load& load) {
    MemoryUnit unit;
    unit.onTaskDone = [](uint32_t, sim::IscsiTaskResult) {};
    std::mt19937 random(7);
    const std::vector<uint8_t> data(load.bytes, 0x5A);
    uint64_t done = 0;
    const auto start = std::chrono::steady_clock::now();
    auto now = start;
    while (Seconds(start, now) < kMinSeconds) {
        for (int k = 0; k < 64; ++k, ++done) {
            sim::IscsiTask t;
            t.cdb = Cdb(load, Lba(load, done, random));
            t.cdb.resize(16);
            if (load.write) t.dataOut = data;
            else t.dataInLength = load.bytes;
            t.expectedLength = load.bytes;
            unit.Submit(uint32_t(done), std::move(t));
        }
        now = std::chrono::steady_clock::now();
    }
    return double(done) * load.bytes / Seconds(start, now);
}

// A host on a loopback socket, driving the listener from the same thread:
// `pump` gives the other side its turn while the host waits to send or to
// receive on its socket (services the listener, or runs the board, whose
// polls do, until the socket has something to read).
class Host {
public:
    Host(sim::IscsiListener& listener, std::function<void(int fd)> pump, const std::string& target, bool digests,
         const std::string& initiator = "iqn.2026-12.bench:host")
        : m_pump(std::move(pump)) {
        m_fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(listener.port());
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int one = 1;
        setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) std::perror("connect");
        Send(bench::FullFeatureLogin(initiator, target, digests));
        sim::iscsi::Pdu answer = Receive();
        m_loggedIn = answer.U16(36) == 0;
        m_limits.headerDigest = m_limits.dataDigest = digests;
        // A controller's new initiator meets a unit attention first.
        for (int i = 0; m_loggedIn && i < 4; ++i) {
            sim::iscsi::Pdu c = sim::iscsi::MakePdu(sim::iscsi::kScsiCommand);
            c.bhs[1] |= 1;
            c.SetU32(16, 0xFFFF0000u + uint32_t(i));
            c.SetU32(24, m_cmdSn++);
            Send(c);
            if (Receive().bhs[3] == 0) break;
        }
    }
    bool loggedIn() const { return m_loggedIn; }
    ~Host() { close(m_fd); }

    double Rate(const Load& load) {
        std::mt19937 random(7);
        const std::vector<uint8_t> data(load.bytes, 0x5A);
        uint64_t sent = 0, done = 0;
        const auto start = std::chrono::steady_clock::now();
        auto now = start;
        while (Seconds(start, now) < kMinSeconds || done < sent) {
            while (sent - done < kDepth && Seconds(start, now) < kMinSeconds) {
                sim::iscsi::Pdu c = sim::iscsi::MakePdu(sim::iscsi::kScsiCommand);
                c.bhs[1] |= uint8_t((load.write ? 0x20 : 0x40) | 1);
                c.SetU32(16, uint32_t(sent));
                c.SetU32(20, load.bytes);
                c.SetU32(24, m_cmdSn++);
                const std::vector<uint8_t> cdb = Cdb(load, Lba(load, sent, random));
                std::copy(cdb.begin(), cdb.end(), c.bhs.begin() + 32);
                if (load.write) c.data = data;
                Send(c);
                ++sent;
            }
            const sim::iscsi::Pdu p = Receive();
            if (p.opcode() == sim::iscsi::kScsiResponse || (p.opcode() == sim::iscsi::kDataIn && (p.bhs[1] & 1)))
                ++done;
            now = std::chrono::steady_clock::now();
        }
        return double(done) * load.bytes / Seconds(start, now);
    }

private:
    void Send(const sim::iscsi::Pdu& p) {
        std::vector<uint8_t> bytes;
        sim::iscsi::EncodeFrame(p, m_limits, &bytes);
        for (size_t at = 0; at < bytes.size();) {
            ssize_t n = send(m_fd, bytes.data() + at, bytes.size() - at, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) at += size_t(n);
            if (at < bytes.size()) m_pump(m_fd);
        }
    }
    sim::iscsi::Pdu Receive() {
        sim::iscsi::FrameLimits l = m_limits;
        l.maxDataSegment = sim::iscsi::kMaxDataSegmentLength;
        for (;;) {
            sim::iscsi::Pdu p;
            size_t used = 0;
            auto status = sim::iscsi::DecodeFrame(m_in.data() + m_at, m_in.size() - m_at, l, &p, &used);
            if (status != sim::iscsi::FrameStatus::NeedMore) {
                m_at += used;
                if (m_at == m_in.size() || m_at > (1u << 20)) {
                    m_in.erase(m_in.begin(), m_in.begin() + long(m_at));
                    m_at = 0;
                }
                return p;
            }
            m_pump(m_fd);
            uint8_t buffer[1 << 16];
            ssize_t n = recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) m_in.insert(m_in.end(), buffer, buffer + n);
        }
    }

    std::function<void(int)> m_pump;
    int m_fd = -1;
    bool m_loggedIn = false;
    sim::iscsi::FrameLimits m_limits;
    uint32_t m_cmdSn = 0;
    std::vector<uint8_t> m_in;
    size_t m_at = 0;
};

// A booted controller with its logical drive on four memory-backed drives,
// an FC host logged in on host port 1 and the portal bridged to the fabric;
// in virtual time, or on the wall clock from its main loop on, waiting on
// the portal's sockets while it idles, as the controller program runs.
struct Controller {
    explicit Controller(bool onWallClock = false) : board(Config(onWallClock)), wallClock(onWallClock) {}
    sim::Chassis chassis{Drives()};
    sim::FcFabric fabric;
    sim::Board board;
    std::unique_ptr<sim::FcHost> host;
    std::unique_ptr<sim::IscsiFcBridge> bridge;
    std::unique_ptr<sim::IscsiPortal> portal;
    sim::IscsiListener* listener = nullptr;

    static sim::ChassisOptions Drives() {
        sim::ChassisOptions o;
        o.drives = 4;
        return o;
    }
    // The controller program's hooks: what the portal answered goes out at
    // every poll; its sockets are read when a poll finds them ready (every
    // 32 polls, and when the firmware idles, which waits on them).
    void WatchSocketsAsTheProgramDoes() {
        board.pollHook = [this] {
            if (listener && listener->OutputPending()) listener->ServiceHosts();
        };
        auto watch = [this](const timespec* wait) {
            fds.clear();
            if (listener) listener->AddPollFds(&fds);
            return ppoll(fds.data(), fds.size(), wait, nullptr) > 0;
        };
        board.idleWait = [watch](uint64_t ns) {
            const timespec wait{static_cast<time_t>(ns / 1000000000ull), static_cast<long>(ns % 1000000000ull)};
            watch(&wait);
        };
        board.inputHook = [this, watch] {
            const timespec now{0, 0};
            if (listener && (watch(&now) || listener->TimersDue())) listener->Service(fds.data(), fds.size());
        };
    }
    std::vector<pollfd> fds;
    bool wallClock = false;
    // A host's turn to wait: the board runs until the host's socket has
    // something to read.
    std::function<void(int)> HostPump() {
        return [this](int fd) {
            board.RunUntil([fd] {
                pollfd p{fd, POLLIN, 0};
                return poll(&p, 1, 0) > 0;
            }, 1'000'000);
        };
    }
    static sim::BoardConfig Config(bool wallClock) {
        sim::BoardConfig c;
        c.virtualTime = !wallClock;
        return c;
    }
    bool Start() {
        const roadtest::ArraySpec array{"RAID 0", fw::RAID_LEVEL_0, 4, 128};
        const std::vector<uint8_t> image = roadtest::RoadConfiguration(
            chassis, array, 0x200000A55A000000ull | (sim::BoardConfig{}.wwn & 0xFFFFFFull));
        for (unsigned s = 1; s <= array.bDrives; ++s) copytest::PlaceCopy(*chassis.DriveAt(s), image);
        board.sasController().AttachChassis(&chassis);
        std::vector<sim::FcTargetPort*> ports;
        for (uint8_t chip = 1; chip <= 2; ++chip) {
            sim::IspChip* p = sim::FindIspChip(board, chip);
            p->AttachFabric(fabric);
            ports.push_back(p);
        }
        bridge = std::make_unique<sim::IscsiFcBridge>(fabric, ports);
        portal = std::make_unique<sim::IscsiPortal>(*bridge);
        board.pollHook = [this] {
            if (listener) listener->Service();
        };
        if (wallClock) WatchSocketsAsTheProgramDoes();
        board.SetResetEntry(&fw::ControllerEntry);
        board.FollowWallClock(false);
        board.Boot();
        board.RunUntil([&] { return board.ConsoleText().find("Initialization Complete\r\n") != std::string::npos; },
                       120'000'000'000ull);
        board.FollowWallClock(true);
        host = std::make_unique<sim::FcHost>(board, fabric, *sim::FindIspChip(board, 1), 0x2100001B32000001ull);
        if (!host->LogIn()) return false;
        for (int i = 0; i < 4; ++i) {
            sim::FcpCommand c;
            c.cdb = {fw::SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0};
            if (host->Send(c).status == 0) return true;
        }
        return false;
    }
    // The loads from the FC host, as the iSCSI host runs them.
    double FcRate(const Load& load) {
        std::mt19937 random(7);
        sim::FcpCommand c;
        c.dataOut.assign(load.write ? load.bytes : 0, 0x5A);
        c.dataInLength = load.write ? 0 : load.bytes;
        std::deque<uint32_t> inFlight;
        uint64_t sent = 0, done = 0;
        const auto start = std::chrono::steady_clock::now();
        auto now = start;
        while (Seconds(start, now) < kMinSeconds || !inFlight.empty()) {
            while (inFlight.size() < kDepth && Seconds(start, now) < kMinSeconds) {
                c.cdb = Cdb(load, Lba(load, sent++, random));
                inFlight.push_back(host->Submit(c));
            }
            const sim::FcpResult r = host->Wait(inFlight.front());
            host->initiator().Forget(inFlight.front());
            inFlight.pop_front();
            if (r.outcome != sim::FcpResult::Outcome::Done || r.status != 0) return 0;
            ++done;
            now = std::chrono::steady_clock::now();
        }
        return double(done) * load.bytes / Seconds(start, now);
    }
};

}  // namespace

// Milliseconds each of `sessions` hosts took to log in and have its first
// command answered, one after another; the sessions stay until the end.
std::vector<double> LoginTimes(sim::IscsiListener& listener, const std::function<void(int)>& pump,
                               const std::string& target, unsigned sessions) {
    std::vector<double> ms;
    std::vector<std::unique_ptr<Host>> hosts;
    for (unsigned i = 0; i < sessions; ++i) {
        const auto start = std::chrono::steady_clock::now();
        hosts.push_back(std::make_unique<Host>(listener, pump, target, false,
                                               "iqn.2026-12.bench:host" + std::to_string(i)));
        ms.push_back(Seconds(start, std::chrono::steady_clock::now()) * 1000);
        if (!hosts.back()->loggedIn()) return {};
    }
    return ms;
}

double Mean(const std::vector<double>& v, size_t from, size_t count) {
    double sum = 0;
    for (size_t i = from; i < from + count; ++i) sum += v[i];
    return sum / double(count);
}

// An FC host port takes 254 initiators; the controller's own host is one.
constexpr unsigned kLoginSessions = 250;
constexpr unsigned kLoginGroup = 25;
// One login with about 1, 64 and 250 sessions there: the mean of the eight
// logins from each of these.
constexpr unsigned kLoginPoints[] = {0, 60, kLoginSessions - 8};
constexpr unsigned kLoginPointGroup = 8;

void PrintLoginPoints(const char* what, const std::vector<double>& ms) {
    std::printf("  %-26s", what);
    for (unsigned from : kLoginPoints) {
        std::printf(" at %3u %7.3f ms", from + kLoginPointGroup / 2, Mean(ms, from, kLoginPointGroup));
    }
    std::printf("\n");
}

int Logins() {
    std::printf("logins: %u hosts one after another, each ready once its first command is answered; mean of\n"
                "the first and the last %u\n",
                kLoginSessions, kLoginGroup);
    std::vector<double> unit;
    {
        EmptyUnits targets;
        sim::IscsiPortal portal(targets);
        sim::IscsiListener listener(portal);
        std::string error;
        if (!listener.Listen("127.0.0.1:0", &error)) {
            std::fprintf(stderr, "iscsi_portal_bench: %s\n", error.c_str());
            return 1;
        }
        // Served as the program serves it: the sockets a poll found ready.
        std::vector<pollfd> fds;
        auto pump = [&](int) {
            fds.clear();
            listener.AddPollFds(&fds);
            poll(fds.data(), fds.size(), 1);
            listener.Service(fds.data(), fds.size());
        };
        unit = LoginTimes(listener, pump, "iqn.2026-12.bench:empty", kLoginSessions);
    }
    Controller controller(true);
    if (!controller.Start()) {
        std::fprintf(stderr, "iscsi_portal_bench: the controller did not come up\n");
        return 1;
    }
    sim::IscsiListener listener(*controller.portal);
    std::string error;
    if (!listener.Listen("127.0.0.1:0", &error)) {
        std::fprintf(stderr, "iscsi_portal_bench: %s\n", error.c_str());
        return 1;
    }
    controller.listener = &listener;
    const std::vector<double> fc =
        LoginTimes(listener, controller.HostPump(), "iqn.2026-12.sim.array-controller:port1", kLoginSessions);
    controller.listener = nullptr;
    if (unit.empty() || fc.empty()) {
        std::fprintf(stderr, "iscsi_portal_bench: a login was refused\n");
        return 1;
    }
    const size_t last = kLoginSessions - kLoginGroup;
    const double unitFirst = Mean(unit, 0, kLoginGroup), unitLast = Mean(unit, last, kLoginGroup);
    const double fcFirst = Mean(fc, 0, kLoginGroup), fcLast = Mean(fc, last, kLoginGroup);
    std::printf("  portal alone               first %7.3f ms  last %7.3f ms  last/first %5.2f\n", unitFirst, unitLast,
                unitLast / unitFirst);
    std::printf("  controller, wall clock     first %7.3f ms  last %7.3f ms  last/first %5.2f  against the portal %6.1f\n",
                fcFirst, fcLast, fcLast / fcFirst, fcLast / unitLast);
    PrintLoginPoints("portal alone", unit);
    PrintLoginPoints("controller, wall clock", fc);
    return 0;
}

const Load kLoads[] = {
    {"sequential 64 KiB read", false, false, 65536},
    {"sequential 64 KiB write", true, false, 65536},
    {"random 4 KiB read", false, true, 4096},
    {"random 4 KiB write", true, true, 4096},
};

int Throughput();

int main() {
    std::printf("iscsi_portal_bench: a memory-backed unit through the portal on loopback TCP, %u outstanding,\n"
                "against the same commands handed to the unit directly\n",
                kDepth);
    for (bool digests : {false, true}) {
        OneUnit targets;
        sim::IscsiPortal portal(targets);
        sim::IscsiListener listener(portal);
        std::string error;
        if (!listener.Listen("127.0.0.1:0", &error)) {
            std::fprintf(stderr, "iscsi_portal_bench: %s\n", error.c_str());
            return 1;
        }
        Host host(listener, [&](int) { listener.Service(); }, "iqn.2026-12.bench:unit", digests);
        for (const Load& load : kLoads) {
            double direct = 0, portal = 0;
            for (unsigned round = 0; round < kRounds; ++round) {
                direct = std::max(direct, DirectRate(load));
                portal = std::max(portal, host.Rate(load));
            }
            std::printf("  %-24s digests %-6s  portal %8.1f MB/s  direct %8.1f MB/s  ratio %.3f\n", load.name,
                        digests ? "CRC32C" : "none", portal / 1e6, direct / 1e6, portal / direct);
        }
    }

    if (int status = Throughput(); status != 0) return status;
    return Logins();
}

// The loads through the portal to a booted controller, against a plain FC
// host on the same fabric.
int Throughput() {
    std::printf("a controller (RAID 0 write-back over four memory-backed drives, virtual time) reached through\n"
                "the portal and its bridge, against a plain FC host on the same fabric, %u outstanding\n",
                kDepth);
    Controller controller;
    if (!controller.Start()) {
        std::fprintf(stderr, "iscsi_portal_bench: the controller did not come up\n%s",
                     controller.board.ConsoleText().c_str());
        return 1;
    }
    for (bool digests : {false, true}) {
        sim::IscsiListener listener(*controller.portal);
        std::string error;
        if (!listener.Listen("127.0.0.1:0", &error)) {
            std::fprintf(stderr, "iscsi_portal_bench: %s\n", error.c_str());
            return 1;
        }
        controller.listener = &listener;
        {
            // The board runs until the portal's answer reaches the host.
            Host host(listener, controller.HostPump(), "iqn.2026-12.sim.array-controller:port1", digests);
            if (!host.loggedIn()) {
                std::fprintf(stderr, "iscsi_portal_bench: the controller refused the login\n");
                return 1;
            }
            for (const Load& load : kLoads) {
                double fc = 0, portal = 0;
                for (unsigned round = 0; round < kRounds; ++round) {
                    const double rate = controller.FcRate(load);
                    if (rate == 0) {
                        std::fprintf(stderr, "iscsi_portal_bench: an FC host's command failed\n");
                        return 1;
                    }
                    fc = std::max(fc, rate);
                    portal = std::max(portal, host.Rate(load));
                }
                std::printf("  %-24s digests %-6s  portal %8.1f MB/s  FC host %8.1f MB/s  ratio %.3f\n", load.name,
                            digests ? "CRC32C" : "none", portal / 1e6, fc / 1e6, portal / fc);
            }
        }
        // The session's initiator logs out as its connection goes.
        controller.board.RunFor(100'000'000);
        controller.listener = nullptr;
    }
    return 0;
}
