// The controller program under many sessions for minutes: mixed small and
// large reads and writes, aborts, logouts and logins again at random, and a
// few hosts that ask for data and never read.  It reports whether every
// command was answered, whether the data read back is what was written,
// and the program's resident memory over the run (it should stay flat,
// within the portal's budget above where it started).
//
//   hostile_soak_bench [seconds] [sessions]      (defaults: 120, 16)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "child_process.h"
#include "iscsi_login.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/iscsi_pdu.h"
#include "sim/iscsi_portal.h"
#include "system/config_copy.h"
#include "system/road_config.h"

namespace {

namespace iscsi = sim::iscsi;
using iscsi::Pdu;

constexpr uint64_t kMiB = 1u << 20;
constexpr uint64_t kDriveBytes = 512 * kMiB;
constexpr const char* kTarget = "iqn.2026-12.sim.array-controller:port1";
constexpr int kWaitMs = 30'000;

// The controller program, its console and its standard error to a file (a
// pipe nobody drains would stop the program once it filled), read for the
// portal's port.
struct Program {
    pid_t pid = -1;
    uint16_t port = 0;

    bool Start(const std::string& dir) {
        const std::string output = dir + "/controller.out";
        pid = bench::Spawn({CONTROLLER_PROGRAM, "--data-dir", dir + "/data", "--drives", "4", "--drive-size",
                            std::to_string(kDriveBytes), "--console-in", "/dev/null", "--iscsi", "127.0.0.1:0"},
                           output);
        const std::string mark = "iSCSI portal on 127.0.0.1:";
        if (pid < 0 || !bench::WaitForOutput(pid, output, mark)) return false;
        for (int i = 0; i < 100 && port == 0; ++i) {
            const std::string text = bench::FileText(output);
            const size_t at = text.find(mark);
            if (text.find('\n', at) != std::string::npos) {
                port = uint16_t(std::stoul(text.substr(at + mark.size())));
            } else {
                usleep(100'000);
            }
        }
        return port != 0;
    }
    uint64_t Resident() const {
        std::ifstream in("/proc/" + std::to_string(pid) + "/status");
        for (std::string line; std::getline(in, line);)
            if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
        return 0;
    }
    bool Alive() const { return kill(pid, 0) == 0 && waitpid(pid, nullptr, WNOHANG) == 0; }
    void Stop() {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
};

// One host session over loopback, each request waited for in turn.
class Session {
public:
    Session(uint16_t port, uint8_t qualifier) {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int one = 1;
        setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
        Pdu login = bench::FullFeatureLogin("iqn.2026-12.bench:soak", kTarget, false);
        login.bhs[13] = qualifier;
        Send(login);
        Pdu answer;
        if (!Receive(&answer) || answer.U16(36) != 0) return;
        m_cmdSn = answer.U32(28);   // its ExpCmdSN
        // The first command of a new initiator meets its unit attention.
        for (int i = 0; i < 3 && !m_up; ++i) {
            uint8_t status = 0xFF;
            if (!Command({0, 0, 0, 0, 0, 0}, false, {}, 0, nullptr, &status)) return;
            m_up = status == 0;
        }
    }
    ~Session() { close(m_fd); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    bool up() const { return m_up; }

    // A command and its whole answer; false when none came.
    bool Command(std::vector<uint8_t> cdb, bool write, const std::vector<uint8_t>& out, uint32_t inLength,
                 std::vector<uint8_t>* in, uint8_t* status) {
        const uint32_t itt = m_itt++;
        Send(MakeCommand(itt, std::move(cdb), write, write ? uint32_t(out.size()) : inLength,
                         write ? std::vector<uint8_t>(out.begin(), out.begin() + long(std::min<size_t>(out.size(), 262144)))
                               : std::vector<uint8_t>{}));
        uint32_t dataSn = 0;
        for (Pdu p; Receive(&p);) {
            if (p.opcode() == iscsi::kReadyToTransfer && p.U32(16) == itt) {
                SendData(itt, p.U32(20), out, p.U32(40), p.U32(44), &dataSn);
            } else if (p.opcode() == iscsi::kDataIn && p.U32(16) == itt) {
                if (in) in->insert(in->end(), p.data.begin(), p.data.end());
                if (p.bhs[1] & 0x01) {
                    *status = p.bhs[3];
                    return true;
                }
            } else if (p.opcode() == iscsi::kScsiResponse && p.U32(16) == itt) {
                *status = p.bhs[2] != 0 ? 0xFE : p.bhs[3];
                return true;
            }
        }
        return false;
    }
    // A read, at once two aborts of it: the read's answer (if it came
    // first) and both aborts' answers.
    bool ReadAndAbort(std::vector<uint8_t> cdb, uint32_t length) {
        const uint32_t itt = m_itt++;
        const uint32_t cmdSn = m_cmdSn;
        Send(MakeCommand(itt, std::move(cdb), false, length, {}));
        for (int i = 0; i < 2; ++i) {
            Pdu abort = iscsi::MakePdu(iscsi::kTaskManagementRequest | iscsi::kImmediate, false);
            abort.bhs[1] = 0x81;   // ABORT TASK
            abort.SetU32(16, m_itt++);
            abort.SetU32(20, itt);
            abort.SetU32(24, m_cmdSn);
            abort.SetU32(32, cmdSn);
            Send(abort);
        }
        int answers = 0;
        for (Pdu p; answers < 2 && Receive(&p);)
            if (p.opcode() == iscsi::kTaskManagementResponse) ++answers;
        return answers == 2;
    }
    // Commands that are sent and never read: the host stops reading.
    void Greedy(uint32_t commands, uint32_t blocks) {
        for (uint32_t i = 0; i < commands; ++i)
            Send(MakeCommand(m_itt++, Cdb16(0x88, uint64_t(i) * blocks, blocks), false, blocks * 512, {}));
    }
    bool Logout() {
        Pdu logout = iscsi::MakePdu(iscsi::kLogoutRequest | iscsi::kImmediate);
        logout.SetU32(16, m_itt++);
        logout.SetU32(24, m_cmdSn);
        Send(logout);
        for (Pdu p; Receive(&p);)
            if (p.opcode() == iscsi::kLogoutResponse) return true;
        return false;
    }

    static std::vector<uint8_t> Cdb16(uint8_t op, uint64_t lba, uint32_t blocks) {
        std::vector<uint8_t> c(16, 0);
        c[0] = op;
        for (int i = 0; i < 8; ++i) c[2 + i] = uint8_t(lba >> (56 - 8 * i));
        for (int i = 0; i < 4; ++i) c[10 + i] = uint8_t(blocks >> (24 - 8 * i));
        return c;
    }

private:
    Pdu MakeCommand(uint32_t itt, std::vector<uint8_t> cdb, bool write, uint32_t length, std::vector<uint8_t> data) {
        Pdu c = iscsi::MakePdu(iscsi::kScsiCommand);
        c.bhs[1] = uint8_t(0x81 | (write ? 0x20 : (length ? 0x40 : 0)));
        c.SetU64(8, 0);
        c.SetU32(16, itt);
        c.SetU32(20, length);
        c.SetU32(24, m_cmdSn++);
        std::copy(cdb.begin(), cdb.end(), c.bhs.begin() + 32);
        c.data = std::move(data);
        return c;
    }
    void SendData(uint32_t itt, uint32_t ttt, const std::vector<uint8_t>& out, uint32_t offset, uint32_t length,
                  uint32_t* dataSn) {
        *dataSn = 0;
        for (uint32_t at = 0; at < length;) {
            const uint32_t n = std::min<uint32_t>(262144, length - at);
            Pdu d = iscsi::MakePdu(iscsi::kDataOut, at + n == length);
            d.SetU32(16, itt);
            d.SetU32(20, ttt);
            d.SetU32(36, (*dataSn)++);
            d.SetU32(40, offset + at);
            d.data.assign(out.begin() + offset + at, out.begin() + offset + at + n);
            Send(d);
            at += n;
        }
    }
    void Send(const Pdu& p) {
        std::vector<uint8_t> bytes;
        iscsi::EncodeFrame(p, m_limits, &bytes);
        for (size_t at = 0; at < bytes.size() && m_fd >= 0;) {
            pollfd w{m_fd, POLLOUT, 0};
            if (poll(&w, 1, kWaitMs) <= 0) return;
            const ssize_t n = send(m_fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) at += size_t(n);
            else if (errno != EAGAIN && errno != EINTR) return;
        }
    }
    bool Receive(Pdu* p) {
        iscsi::FrameLimits l = m_limits;
        l.maxDataSegment = iscsi::kMaxDataSegmentLength;
        for (;;) {
            size_t used = 0;
            const auto status = iscsi::DecodeFrame(m_in.data() + m_at, m_in.size() - m_at, l, p, &used);
            if (status != iscsi::FrameStatus::NeedMore) {
                m_at += used;
                if (m_at == m_in.size()) {
                    m_in.clear();
                    m_at = 0;
                }
                if (p->opcode() == iscsi::kNopIn && p->U32(20) != iscsi::kReservedTag) {
                    // The portal's ping of an idle session is answered.
                    Pdu nop = iscsi::MakePdu(iscsi::kNopOut | iscsi::kImmediate);
                    nop.SetU32(16, iscsi::kReservedTag);
                    nop.SetU32(20, p->U32(20));
                    nop.SetU32(24, m_cmdSn);
                    Send(nop);
                    continue;
                }
                return status == iscsi::FrameStatus::Ok;
            }
            pollfd r{m_fd, POLLIN, 0};
            if (poll(&r, 1, kWaitMs) <= 0) return false;
            uint8_t buffer[1 << 16];
            const ssize_t n = recv(m_fd, buffer, sizeof buffer, 0);
            if (n <= 0) return false;
            m_in.insert(m_in.end(), buffer, buffer + n);
        }
    }

    int m_fd = -1;
    bool m_up = false;
    iscsi::FrameLimits m_limits;
    uint32_t m_cmdSn = 1;
    uint32_t m_itt = 1;
    std::vector<uint8_t> m_in;
    size_t m_at = 0;
};

// Four drives holding a RAID 5 array with one logical drive, presented at
// LUN 0 of every host port.
void MakeArray(const std::string& dir) {
    sim::ChassisOptions o;
    o.drives = 4;
    o.driveBytes = kDriveBytes;
    o.directory = dir + "/data";
    sim::Chassis chassis(o);
    const uint64_t own = 0x200000A55A000000ull | (sim::BoardConfig().wwn & 0xFFFFFFull);
    const std::vector<uint8_t> copy = roadtest::RoadConfiguration(chassis, {"Raid5", fw::RAID_LEVEL_5, 4, 128}, own);
    for (unsigned s = 1; s <= 4; ++s) copytest::PlaceCopy(*chassis.DriveAt(s), copy);
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 120;
    const unsigned sessions = argc > 2 ? unsigned(std::atoi(argv[2])) : 16;
    char pattern[] = "/tmp/hostile-soak-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    MakeArray(dir);
    Program program;
    if (!program.Start(dir)) {
        std::fprintf(stderr, "the controller did not start\n");
        return 1;
    }
    std::mt19937 random(35);
    // Each session writes and reads its own region; what it wrote last is
    // what it must read back.
    constexpr uint64_t kRegionBlocks = 65536;
    std::vector<std::unique_ptr<Session>> hosts(sessions);
    std::vector<std::vector<uint8_t>> written(sessions);
    for (unsigned s = 0; s < sessions; ++s) {
        for (int i = 0; i < 20 && !(hosts[s] && hosts[s]->up()); ++i)
            hosts[s] = std::make_unique<Session>(program.port, uint8_t(s));
        written[s].assign(kRegionBlocks * 512, 0);
    }
    std::vector<std::unique_ptr<Session>> greedy;
    const uint64_t startResident = program.Resident();
    uint64_t peak = startResident, commands = 0, unanswered = 0, wrong = 0, logouts = 0, aborts = 0;
    std::vector<uint64_t> samples;
    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
    double nextSample = 0;
    while (elapsed() < seconds && program.Alive()) {
        const unsigned s = random() % sessions;
        if (!hosts[s] || !hosts[s]->up()) {
            hosts[s] = std::make_unique<Session>(program.port, uint8_t(s));
            if (!hosts[s]->up()) ++unanswered;
            continue;
        }
        Session& h = *hosts[s];
        const uint64_t base = 4096 + uint64_t(s) * kRegionBlocks;
        // Mostly small transfers, now and then up to 16 MiB.
        const uint32_t blocks = random() % 8 == 0 ? 1 + random() % 32768 : 1 + random() % 128;
        const uint64_t lba = random() % (kRegionBlocks - blocks + 1);
        const unsigned what = random() % 100;
        uint8_t status = 0xFF;
        ++commands;
        if (what < 40) {
            std::vector<uint8_t> data(blocks * 512);
            for (auto& b : data) b = uint8_t(random());
            if (!h.Command(Session::Cdb16(0x8A, base + lba, blocks), true, data, 0, nullptr, &status)) ++unanswered;
            else if (status == 0) std::copy(data.begin(), data.end(), written[s].begin() + long(lba * 512));
        } else if (what < 85) {
            std::vector<uint8_t> data;
            if (!h.Command(Session::Cdb16(0x88, base + lba, blocks), false, {}, blocks * 512, &data, &status)) {
                ++unanswered;
            } else if (status == 0 && !std::equal(data.begin(), data.end(), written[s].begin() + long(lba * 512))) {
                ++wrong;
            }
        } else if (what < 93) {
            ++aborts;
            if (!h.ReadAndAbort(Session::Cdb16(0x88, base + lba, blocks), blocks * 512)) ++unanswered;
            // Whatever else the abort left unread ends with the session.
            if (!h.Logout()) ++unanswered;
            hosts[s].reset();
        } else if (what < 98) {
            ++logouts;
            if (!h.Logout()) ++unanswered;
            hosts[s].reset();
        } else {
            // A host that asks and never reads; the oldest of them goes.
            if (greedy.size() >= 4) greedy.erase(greedy.begin());
            greedy.push_back(std::make_unique<Session>(program.port, uint8_t(200 + random() % 50)));
            if (greedy.back()->up()) greedy.back()->Greedy(64, 16384);
        }
        if (elapsed() >= nextSample) {
            nextSample += 1;
            samples.push_back(program.Resident());
            peak = std::max(peak, samples.back());
        }
    }
    const bool alive = program.Alive();
    std::printf("%d s, %u sessions: %llu commands, %llu unanswered, %llu read back wrong, %llu aborts, %llu logouts\n",
                seconds, sessions, (unsigned long long)commands, (unsigned long long)unanswered,
                (unsigned long long)wrong, (unsigned long long)aborts, (unsigned long long)logouts);
    const auto mib = [](uint64_t b) { return double(b) / double(kMiB); };
    const size_t quarter = samples.size() / 4;
    uint64_t early = 0, late = 0;
    for (size_t i = quarter; i < 2 * quarter; ++i) early = std::max(early, samples[i]);
    for (size_t i = samples.size() - quarter; i < samples.size(); ++i) late = std::max(late, samples[i]);
    std::printf("resident: %.0f MiB at start, %.0f MiB peak (budget %.0f MiB above start), second quarter %.0f MiB, "
                "last quarter %.0f MiB (ratio %.2f)\n",
                mib(startResident), mib(peak), mib(sim::IscsiPortal::kDefaultMemoryLimit), mib(early), mib(late),
                early ? double(late) / double(early) : 0.0);
    std::printf("program %s\n", alive ? "alive" : "ENDED");
    greedy.clear();
    hosts.clear();
    program.Stop();
    std::system(("rm -rf " + dir).c_str());
    return alive && unanswered == 0 && wrong == 0 ? 0 : 1;
}
