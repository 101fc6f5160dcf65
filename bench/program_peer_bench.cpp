// The controller program as `make run` starts it (the wall clock, its iSCSI
// portal on the loopback), serving a RAID 0 and a RAID 5 logical drive on
// memory-backed drives, arrays as the console makes them (its cache policy
// and write-back threshold, initialised), against a generic iSCSI target
// (Debian's tgt, its logical unit a file in RAM) started by this benchmark:
// the same client, the same loads (4 KiB random and 64 KiB sequential reads
// and writes, 1, 8 and 32 outstanding), after a warm-up, in rounds of at
// least 5 s alternated between them.  A plain socket echo of the same sizes
// is the loopback's ceiling.
//
// What users get is what a round sustains after its first second: the
// write-back cache takes a burst of writes at first and then only as many
// as reach the drives, so the first second is reported apart.  Each figure
// is the median of the rounds with their least and greatest, and the ratio
// to tgt's (and, in brackets, to the ceiling) is that of the medians; depth
// 1 also gives the mean latency beside the drives' modelled service time.
//
//   program_peer_bench [CONTROLLER [SECONDS-A-ROUND [ROUNDS [LOAD]]]]
//
// `make bench` installs tgt (scripts/install-deps --bench); tgtd runs as a
// child of this benchmark on its own control port and is ended with it.
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../tests/system/road_config.h"
#include "child_process.h"
#include "iscsi_initiator.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/drive.h"

namespace {

constexpr uint32_t kBlock = 512;
constexpr uint32_t kUnitBytes = 512u << 20;   // each logical unit, and the span random loads cover
constexpr unsigned kDrives = 4;
constexpr uint16_t kChunkBlocks = 128;
constexpr char kPeerTarget[] = "iqn.2026-12.bench:peer";
constexpr char kProgramTarget[] = "iqn.2026-12.sim.array-controller:port1";
// tgtd's management channel: a port of its own, so that a tgtd the
// machine may run is left alone.
constexpr int kTgtControlPort = 17;

struct Load {
    const char* name;
    bool write;
    bool random;
    uint32_t bytes;
};
const Load kLoads[] = {
    {"random 4 KiB read", false, true, 4096},
    {"random 4 KiB write", true, true, 4096},
    {"sequential 64 KiB read", false, false, 65536},
    {"sequential 64 KiB write", true, false, 65536},
};
const unsigned kDepths[] = {1, 8, 32};

// The part of a round reported apart: the cache fills in it.
constexpr double kFirstSeconds = 1.0;
constexpr double kWarmUpSeconds = 1.0;

struct Figures {
    double opsPerSecond = 0;   // after the first second
    double firstOpsPerSecond = 0;
    double meanLatencyUs = 0;  // after the first second
    double busy = 0;   // the serving process's share of one processor
    bool failed = false;
};

// A process's time on a processor so far, in seconds.
double CpuSeconds(pid_t pid) {
    std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
    uint64_t ns = 0;
    schedstat >> ns;
    return double(ns) / 1e9;
}

double Since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// Runs the load on any client with Submit/Reap/WindowOpen for `seconds`,
// `depth` commands outstanding.
template <typename Client>
Figures Measure(Client& client, const Load& load, unsigned depth, double seconds, pid_t server) {
    const double cpuBefore = CpuSeconds(server);
    std::mt19937 random(7);
    const std::vector<uint8_t> data(load.bytes, 0x5A);
    const uint32_t slots = kUnitBytes / load.bytes;
    struct Outstanding {
        uint32_t tag;
        std::chrono::steady_clock::time_point sent;
    };
    std::vector<Outstanding> outstanding;
    uint64_t sent = 0, first = 0, done = 0;
    double latency = 0;
    Figures f;
    const auto start = std::chrono::steady_clock::now();
    while (Since(start) < seconds || !outstanding.empty()) {
        while (outstanding.size() < depth && Since(start) < seconds && client.WindowOpen()) {
            const uint32_t slot = load.random ? random() % slots : uint32_t(sent % slots);
            const uint32_t tag = uint32_t(sent++);
            outstanding.push_back({tag, std::chrono::steady_clock::now()});
            if (!client.Submit(tag, load.write, slot * (load.bytes / kBlock), load.bytes, data.data())) {
                f.failed = true;
                return f;
            }
        }
        // The round may end between the two looks at the clock: nothing is
        // out then, and nothing will come back.
        if (outstanding.empty()) break;
        typename Client::Done d;
        if (!client.Reap(&d) || d.status != 0) {
            f.failed = true;
            return f;
        }
        const auto it = std::find_if(outstanding.begin(), outstanding.end(),
                                     [&](const Outstanding& o) { return o.tag == d.tag; });
        if (it == outstanding.end()) {
            f.failed = true;
            return f;
        }
        if (Since(start) < kFirstSeconds) {
            ++first;
        } else {
            latency += Since(it->sent);
            ++done;
        }
        outstanding.erase(it);
    }
    const double elapsed = Since(start);
    f.firstOpsPerSecond = double(first) / kFirstSeconds;
    f.opsPerSecond = elapsed > kFirstSeconds ? double(done) / (elapsed - kFirstSeconds) : 0;
    f.meanLatencyUs = done != 0 ? latency / double(done) * 1e6 : 0;
    f.busy = (CpuSeconds(server) - cpuBefore) / elapsed;
    return f;
}

// The median of the rounds, with the least and the greatest.
struct Spread {
    double median = 0, least = 0, greatest = 0;
};
Spread SpreadOf(std::vector<double> v) {
    if (v.empty()) return {};
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return {n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2, v.front(), v.back()};
}

// --- the loopback's ceiling: a socket echo of the same sizes ---------------

// A request: its tag, the bytes it carries and the bytes it asks back, in a
// 48-byte header as an iSCSI PDU's.
struct EchoHeader {
    uint32_t tag, carried, asked;
    uint8_t pad[36];
};
static_assert(sizeof(EchoHeader) == 48);

bool ReceiveAll(int fd, uint8_t* p, size_t n) {
    while (n != 0) {
        const ssize_t got = recv(fd, p, n, 0);
        if (got <= 0) return false;
        p += got;
        n -= size_t(got);
    }
    return true;
}

// Header and payload in one send, as a target sends a PDU.
bool SendMessage(int fd, const EchoHeader& h, const uint8_t* payload, uint32_t length, std::vector<uint8_t>* out) {
    out->assign(reinterpret_cast<const uint8_t*>(&h), reinterpret_cast<const uint8_t*>(&h) + sizeof h);
    out->insert(out->end(), payload, payload + length);
    return bench::SendAll(fd, out->data(), out->size());
}

// The echo's server: a child process answering one connection.
[[noreturn]] void ServeEcho(int listening) {
    const int fd = accept(listening, nullptr, nullptr);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::vector<uint8_t> buffer(1 << 20), out;
    EchoHeader h{};
    while (fd >= 0 && ReceiveAll(fd, reinterpret_cast<uint8_t*>(&h), sizeof h) &&
           ReceiveAll(fd, buffer.data(), h.carried)) {
        const uint32_t asked = h.asked;
        h.carried = asked;
        h.asked = 0;
        if (!SendMessage(fd, h, buffer.data(), asked, &out)) break;
    }
    _exit(0);
}

class EchoClient {
public:
    struct Done {
        uint32_t tag = 0;
        uint8_t status = 0;
    };
    explicit EchoClient(uint16_t port) : m_fd(bench::ConnectLoopback(port)), m_buffer(1 << 20) {}
    ~EchoClient() {
        if (m_fd >= 0) close(m_fd);
    }
    bool Connected() const { return m_fd >= 0; }
    bool WindowOpen() const { return true; }
    bool Submit(uint32_t tag, bool write, uint32_t, uint32_t bytes, const uint8_t* data) {
        EchoHeader h{};
        h.tag = tag;
        h.carried = write ? bytes : 0;
        h.asked = write ? 0 : bytes;
        return SendMessage(m_fd, h, data, h.carried, &m_out);
    }
    bool Reap(Done* d) {
        EchoHeader h{};
        if (!ReceiveAll(m_fd, reinterpret_cast<uint8_t*>(&h), sizeof h) ||
            !ReceiveAll(m_fd, m_buffer.data(), h.carried))
            return false;
        *d = {h.tag, 0};
        return true;
    }

private:
    int m_fd;
    std::vector<uint8_t> m_buffer, m_out;
};

// --- processes ---------------------------------------------------------------

bool RunToEnd(const std::vector<std::string>& args, const std::string& output) {
    const pid_t pid = bench::Spawn(args, output, true);
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void End(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
}

// The controller program on a data directory whose drives hold one array
// and its logical drive, presented at LUN 0.
struct Program {
    pid_t pid = -1;
    uint16_t port = 0;
    bool Start(const std::string& program, const std::filesystem::path& dir, const roadtest::ArraySpec& array) {
        {
            sim::ChassisOptions o;
            o.drives = kDrives;
            o.directory = dir.string();
            std::filesystem::create_directories(dir);
            sim::Chassis chassis(o);
            const auto image = roadtest::RoadConfiguration(
                chassis, array, 0x200000A55A000000ull | (sim::BoardConfig{}.wwn & 0xFFFFFFull));
            for (unsigned s = 1; s <= array.bDrives; ++s) copytest::PlaceCopy(*chassis.DriveAt(s), image);
        }
        port = bench::FreeLoopbackPort();
        const std::string console = (dir / "console").string();
        pid = bench::Spawn({program, "--data-dir", dir.string(), "--drives", std::to_string(kDrives), "--iscsi",
                            "127.0.0.1:" + std::to_string(port)},
                           console);
        if (pid > 0 && bench::WaitForOutput(pid, console, "Initialization Complete")) return true;
        std::fprintf(stderr, "program_peer_bench: the controller did not start:\n%s",
                     bench::FileText(console).c_str());
        return false;
    }
    ~Program() { End(pid); }
};

struct Tgt {
    pid_t pid = -1;
    uint16_t port = 0;
    std::string log;
    bool Admin(std::vector<std::string> args) {
        args.insert(args.begin(), {"tgtadm", "-C", std::to_string(kTgtControlPort), "--lld", "iscsi"});
        return RunToEnd(args, log);
    }
    bool Start(const std::filesystem::path& dir) {
        const std::string image = (dir / "tgt.img").string();
        std::filesystem::create_directories(dir);
        std::ofstream{image};
        std::filesystem::resize_file(image, kUnitBytes);
        log = (dir / "tgt.log").string();
        port = bench::FreeLoopbackPort();
        pid = bench::Spawn({"tgtd", "-f", "-C", std::to_string(kTgtControlPort), "--iscsi",
                            "portal=127.0.0.1:" + std::to_string(port)},
                           log, true);
        if (pid <= 0) {
            std::fprintf(stderr, "program_peer_bench: cannot run tgtd (Debian's tgt: make bench installs it)\n");
            return false;
        }
        bool up = false;
        for (int i = 0; i < 100 && !up; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            up = Admin({"--op", "show", "--mode", "target"});
        }
        bool ok = up && Admin({"--op", "new", "--mode", "target", "--tid", "1", "-T", kPeerTarget}) &&
                  Admin({"--op", "new", "--mode", "logicalunit", "--tid", "1", "--lun", "1", "-b", image}) &&
                  Admin({"--op", "bind", "--mode", "target", "--tid", "1", "-I", "ALL"});
        // The session keys the program's portal offers, so both move the
        // same PDUs for the same commands.
        for (const auto& [k, v] : std::vector<std::pair<const char*, const char*>>{
                 {"InitialR2T", "No"}, {"ImmediateData", "Yes"}, {"FirstBurstLength", "262144"},
                 {"MaxBurstLength", "1048576"}, {"MaxRecvDataSegmentLength", "262144"},
                 {"MaxXmitDataSegmentLength", "262144"}})
            ok = ok && Admin({"--op", "update", "--mode", "target", "--tid", "1", "--name", k, "--value", v});
        if (!ok) std::fprintf(stderr, "program_peer_bench: tgt did not start:\n%s", bench::FileText(log).c_str());
        return ok;
    }
    // tgtd ignores SIGTERM: it is told to end, and killed if it will not.
    ~Tgt() {
        if (pid <= 0) return;
        Admin({"--op", "delete", "--mode", "target", "--tid", "1", "--force"});
        RunToEnd({"tgtadm", "-C", std::to_string(kTgtControlPort), "--op", "delete", "--mode", "system"}, log);
        int status = 0;
        for (int i = 0; i < 50 && waitpid(pid, &status, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (kill(pid, SIGKILL) == 0) waitpid(pid, &status, 0);
    }
};

// A logged-in session whose unit answers (a controller's new initiator
// meets a unit attention first).
bool Open(bench::IscsiInitiator& session, uint16_t port, const char* target, uint8_t lun) {
    // A controller that has just started may not have its host ports up
    // yet: it refuses the session for now, and an initiator tries again.
    std::string why;
    bool in = false;
    for (int attempt = 0; attempt < 50 && !in; ++attempt) {
        if (attempt != 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        in = session.LogIn(port, "iqn.2026-12.bench:host", target, lun, &why);
    }
    if (!in) {
        std::fprintf(stderr, "program_peer_bench: %s: %s\n", target, why.c_str());
        return false;
    }
    for (int i = 0; i < 4; ++i) {
        bench::IscsiInitiator::Done d;
        if (!session.Submit(uint32_t(i), false, 0, 4096, nullptr) || !session.Reap(&d)) return false;
        if (d.status == 0) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string program = argc > 1 ? argv[1] : CONTROLLER_PROGRAM;
    const double seconds = argc > 2 ? std::atof(argv[2]) : 5.0;
    const unsigned rounds = argc > 3 ? unsigned(std::atoi(argv[3])) : 3;
    const char* only = argc > 4 ? argv[4] : nullptr;   // the loads whose names hold this
    if (seconds <= kFirstSeconds || rounds == 0) {
        std::fprintf(stderr, "program_peer_bench: a round lasts more than %.0f s, and there is one at least\n",
                     kFirstSeconds);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    char dirTemplate[] = "/dev/shm/program-peer-XXXXXX";
    if (!mkdtemp(dirTemplate)) {
        std::perror("program_peer_bench: /dev/shm");
        return 1;
    }
    const std::filesystem::path dir = dirTemplate;
    int status = 1;
    {
        Tgt tgt;
        Program raid0, raid5;
        uint16_t echoPort = 0;
        const int echoListening = bench::ListenLoopback(&echoPort);
        const pid_t echo = echoListening >= 0 ? fork() : -1;
        if (echo == 0) ServeEcho(echoListening);
        close(echoListening);
        roadtest::ArraySpec arrays[2] = {{"RAID 0", fw::RAID_LEVEL_0, kDrives, kChunkBlocks},
                                         {"RAID 5", fw::RAID_LEVEL_5, kDrives, kChunkBlocks}};
        for (roadtest::ArraySpec& a : arrays) a.fConsoleDefaults = true;
        if (echo > 0 && tgt.Start(dir / "tgt") && raid0.Start(program, dir / "raid0", arrays[0]) &&
            raid5.Start(program, dir / "raid5", arrays[1])) {
            bench::IscsiInitiator toTgt, to0, to5;
            EchoClient toEcho(echoPort);
            if (toEcho.Connected() && Open(toTgt, tgt.port, kPeerTarget, 1) &&
                Open(to0, raid0.port, kProgramTarget, 0) && Open(to5, raid5.port, kProgramTarget, 0)) {
                std::printf(
                    "program_peer_bench: the controller program on the wall clock (its portal on the loopback,\n"
                    "%u memory-backed drives, chunk %u KiB, arrays as the console makes them) against tgt on a RAM\n"
                    "file; the same client, a %.0f s warm-up, then %u alternated rounds of %.1f s.  Sustained (after\n"
                    "the first %.0f s of a round): tgt's median, and the program's as a ratio of medians to tgt's and\n"
                    "(in brackets) to a plain socket echo, with the least and greatest round's ratio to tgt; then\n"
                    "the first second's rate of each, and depth 1's latency beside the drives' service time.\n",
                    kDrives, kChunkBlocks * kBlock / 1024, kWarmUpSeconds, rounds, seconds, kFirstSeconds);
                status = 0;
                for (const Load& load : kLoads) {
                    if (only && !std::strstr(load.name, only)) continue;
                    for (unsigned depth : kDepths) {
                        // echo, tgt, RAID 0, RAID 5
                        std::vector<Figures> all[4];
                        bool failed = false;
                        const auto Round = [&](double length) {
                            Figures f[4] = {Measure(toEcho, load, depth, length, echo),
                                            Measure(toTgt, load, depth, length, tgt.pid),
                                            Measure(to0, load, depth, length, raid0.pid),
                                            Measure(to5, load, depth, length, raid5.pid)};
                            for (unsigned k = 0; k < 4; ++k) {
                                failed = failed || f[k].failed;
                                if (length == seconds) all[k].push_back(f[k]);
                            }
                        };
                        Round(kWarmUpSeconds);
                        for (unsigned round = 0; round < rounds && !failed; ++round) Round(seconds);
                        if (failed) {
                            std::printf("  %-24s depth %2u  a command failed\n", load.name, depth);
                            status = 1;
                            continue;
                        }
                        const auto Of = [&](unsigned k, double Figures::*field) {
                            std::vector<double> v;
                            for (const Figures& f : all[k]) v.push_back(f.*field);
                            return SpreadOf(v);
                        };
                        // Per round, each target against tgt in the same round.
                        const auto RatioToTgt = [&](unsigned k) {
                            std::vector<double> v;
                            for (unsigned r = 0; r < all[k].size(); ++r) {
                                v.push_back(all[k][r].opsPerSecond / all[1][r].opsPerSecond);
                            }
                            return SpreadOf(v);
                        };
                        const Spread echoRate = Of(0, &Figures::opsPerSecond), tgtRate = Of(1, &Figures::opsPerSecond);
                        const bool iops = load.bytes == 4096;
                        const double scale = iops ? 1.0 : load.bytes / 1e6;
                        std::printf("  %-24s depth %2u  tgt %8.0f %-5s (%.0f-%.0f) [%.2f]", load.name, depth,
                                    tgtRate.median * scale, iops ? "IOPS" : "MB/s", tgtRate.least * scale,
                                    tgtRate.greatest * scale, tgtRate.median / echoRate.median);
                        for (unsigned k : {2u, 3u}) {
                            const Spread rate = Of(k, &Figures::opsPerSecond), ratio = RatioToTgt(k);
                            std::printf("  %s %.2f [%.2f] (%.2f-%.2f)", k == 2 ? "RAID 0" : "RAID 5",
                                        rate.median / tgtRate.median, rate.median / echoRate.median, ratio.least,
                                        ratio.greatest);
                        }
                        std::printf("  busy %.0f%%/%.0f%%\n", 100 * Of(2, &Figures::busy).median,
                                    100 * Of(3, &Figures::busy).median);
                        std::printf("  %-24s           first second: tgt %.0f, RAID 0 %.0f, RAID 5 %.0f %s;"
                                    " after it: RAID 0 %.0f, RAID 5 %.0f\n",
                                    "", Of(1, &Figures::firstOpsPerSecond).median * scale,
                                    Of(2, &Figures::firstOpsPerSecond).median * scale,
                                    Of(3, &Figures::firstOpsPerSecond).median * scale, iops ? "IOPS" : "MB/s",
                                    Of(2, &Figures::opsPerSecond).median * scale,
                                    Of(3, &Figures::opsPerSecond).median * scale);
                        if (depth == 1) {
                            std::printf("  %-24s           latency us: tgt %.0f, RAID 0 %.0f, RAID 5 %.0f, drive %.0f\n",
                                        "", Of(1, &Figures::meanLatencyUs).median, Of(2, &Figures::meanLatencyUs).median,
                                        Of(3, &Figures::meanLatencyUs).median,
                                        double(sim::DriveServiceNs(load.bytes)) / 1e3);
                        }
                        std::fflush(stdout);
                    }
                }
            }
        }
        if (echo > 0) End(echo);
    }
    std::filesystem::remove_all(dir);
    return status;
}
