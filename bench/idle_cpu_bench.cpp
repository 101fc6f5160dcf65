// What an idle controller costs its host: the controller program runs on the
// wall clock with the iSCSI portal listening, and its processor time and the
// times it woke are read over a wall-clock interval, first with no host,
// then with idle sessions logged in on both host ports.
//
//   idle_cpu_bench [CONTROLLER [SECONDS]]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "iscsi_login.h"
#include "sim/iscsi_pdu.h"

namespace {

constexpr int kSessions = 4;

struct Usage {
    uint64_t cpuNs = 0;     // time on a processor
    uint64_t wakeups = 0;   // voluntary context switches: each sleep ended
    std::chrono::steady_clock::time_point at;
};

Usage Read(pid_t pid) {
    Usage u;
    u.at = std::chrono::steady_clock::now();
    std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
    schedstat >> u.cpuNs;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) u.wakeups = std::stoull(line.substr(24));
    }
    return u;
}

void Report(const char* what, pid_t pid, double seconds) {
    const Usage a = Read(pid);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const Usage b = Read(pid);
    const double wall = std::chrono::duration<double>(b.at - a.at).count();
    std::printf("  %-22s %6.2f%% of one processor  %7.0f wake-ups/s\n", what,
                100.0 * double(b.cpuNs - a.cpuNs) / 1e9 / wall, double(b.wakeups - a.wakeups) / wall);
}

// A session logged in to full feature and then left alone; -1 on failure.
int OpenSession(uint16_t port, int n) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return close(fd), -1;
    std::vector<uint8_t> bytes;
    sim::iscsi::EncodeFrame(bench::FullFeatureLogin("iqn.2026-12.bench:idle-" + std::to_string(n),
                                                    "iqn.2026-12.sim.array-controller:port" + std::to_string(1 + n % 2),
                                                    false),
                            {}, &bytes);
    if (send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != ssize_t(bytes.size())) return close(fd), -1;
    std::vector<uint8_t> in;
    for (;;) {
        sim::iscsi::Pdu answer;
        size_t used = 0;
        sim::iscsi::FrameLimits limits;
        limits.maxDataSegment = sim::iscsi::kMaxDataSegmentLength;
        const auto status = sim::iscsi::DecodeFrame(in.data(), in.size(), limits, &answer, &used);
        if (status == sim::iscsi::FrameStatus::Ok) return answer.U16(36) == 0 ? fd : (close(fd), -1);
        if (status != sim::iscsi::FrameStatus::NeedMore) return close(fd), -1;
        uint8_t buffer[4096];
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) return close(fd), -1;
        in.insert(in.end(), buffer, buffer + got);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string program = argc > 1 ? argv[1] : CONTROLLER_PROGRAM;
    const double seconds = argc > 2 ? std::atof(argv[2]) : 5.0;
    char dirTemplate[] = "/tmp/idle-cpu-XXXXXX";
    const std::filesystem::path dir = mkdtemp(dirTemplate);
    const uint16_t port = bench::FreeLoopbackPort();
    const std::string console = (dir / "console").string();
    const pid_t pid = bench::Spawn({program, "--data-dir", (dir / "var").string(), "--iscsi",
                                    "127.0.0.1:" + std::to_string(port)},
                                   console);
    if (pid < 0) {
        std::fprintf(stderr, "idle_cpu_bench: cannot run %s\n", program.c_str());
        return 1;
    }
    int status = 0;
    bool ok = bench::WaitForOutput(pid, console, "Initialization Complete");
    if (ok) {
        std::printf("idle_cpu_bench: %s idling on the wall clock, %.0f s a measurement\n", program.c_str(), seconds);
        std::this_thread::sleep_for(std::chrono::seconds(1));
        Report("no host", pid, seconds);
        std::vector<int> sessions;
        for (int n = 0; n < kSessions; ++n) sessions.push_back(OpenSession(port, n));
        if (std::count(sessions.begin(), sessions.end(), -1) != 0) {
            std::fprintf(stderr, "idle_cpu_bench: a session did not log in\n");
            ok = false;
        } else {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            Report((std::to_string(kSessions) + " idle sessions").c_str(), pid, seconds);
        }
        for (int fd : sessions)
            if (fd >= 0) close(fd);
    } else {
        std::fprintf(stderr, "idle_cpu_bench: the controller did not start\n");
    }
    kill(pid, SIGTERM);
    waitpid(pid, &status, 0);
    std::filesystem::remove_all(dir);
    return ok ? 0 : 1;
}
