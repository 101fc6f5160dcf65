// A pair's failover and rejoin, timed, and the loss campaign over more
// seeds than the test suite runs.
//
// 1. Board time, the two firmware images in this process: both hosts write
//    (a batch in flight), controller 1 is cut, and from that moment: the
//    silence is noticed (the heartbeat time-out), a host new to the
//    survivor's port logs in, the drive side is found again, the partner's
//    mirrored writes are on the drives, the survivor's own cached writes
//    are and its configuration is saved (it serves from then), a read its
//    host had sent at the cut is answered, and the new host's read.  Then
//    controller 1 comes back to the idle survivor: it has started, its
//    drive side is back (failback), its host's read is answered.  Each
//    figure also in wall time, what the simulation took; and where the
//    time went: the board's console lines and its states (the drive IOC as
//    the device shows it, discovery, failback and the host holds) as they
//    change, in board time, and the logins tried meanwhile.
// 2. The wall clock, the controller program with --controllers 2 and its
//    iSCSI portal: controller 1 cut (kill -USR1), logins to controller 0
//    and a read through a new session; controller 1 back (kill -USR1
//    again), logins to it (each way a try ended) and a read through it.
// 3. The loss campaign (tests/dual/pair_loss_campaign.h) over seeds 4 on,
//    the first the test suite leaves out, eight cases each:
//    `pair_loss_bench [TESTS [FIRST]]` (default 100, 800 cases; tests FIRST
//    to TESTS - 1 alone, seed 4 + FIRST on, when FIRST is given).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../tests/dual/pair_loss_campaign.h"
#include "../tests/system/road_config.h"
#include "child_process.h"
#include "config/config_commit.h"
#include "executive/work_flags.h"
#include "iscsi_initiator.h"
#include "sas/sas_discovery.h"
#include "sas/sas_drive.h"
#include "sas/sas_failback.h"
#include "sas/sas_flags.h"

namespace fw_b {
uint8_t fIsSASFailbackInProgress();
uint8_t bGetSASFailbackState();
uint8_t bGetSASDiscoveryState();
uint8_t fIsSASIOCRestartInProgress();
uint64_t lGetSASDriveSideHoldOff();
}  // namespace fw_b

namespace {

constexpr uint64_t kMs = 1'000'000ull;
using Clock = std::chrono::steady_clock;

double WallMs(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

// ---- 1. board time ----------------------------------------------------------

// A console's lines as they come, each with the board time since `t0`:
// where the waits of a takeover or a start are.
class ConsoleTimeline {
public:
    ConsoleTimeline(const sim::Board& board, const sim::Clock& clock, uint64_t t0)
        : m_board(board), m_clock(clock), m_t0(t0), m_seen(board.ConsoleText().size()) {}
    void Take() {
        const std::string& t = m_board.ConsoleText();
        for (size_t nl; (nl = t.find('\n', m_seen)) != std::string::npos; m_seen = nl + 1) {
            std::string line = t.substr(m_seen, nl - m_seen);
            line.erase(std::remove_if(line.begin(), line.end(), [](char c) { return c == '\r' || c == 0x1B; }),
                       line.end());
            if (line.find_first_not_of(' ') == std::string::npos) continue;
            char stamp[32];
            std::snprintf(stamp, sizeof stamp, "    %9.1f  ", double(m_clock.Now() - m_t0) / kMs);
            m_text += stamp + line.substr(0, 90) + "\n";
        }
    }
    void Print(const char* what) const { std::printf("  %s, its console (board ms):\n%s", what, m_text.c_str()); }

private:
    const sim::Board& m_board;
    const sim::Clock& m_clock;
    uint64_t m_t0;
    size_t m_seen;
    std::string m_text;
};

// Where a board's waits are: each probe's value as it changes, with the
// board time since `t0` (the drive IOC as the device shows it, the
// firmware's discovery, failback and hold states).
class StateTrace {
public:
    StateTrace(const sim::Clock& clock, uint64_t t0) : m_clock(clock), m_t0(t0) {}
    void Add(const char* what, std::function<long()> probe) {
        m_probes.push_back({what, std::move(probe), -1, false});
    }
    void Take() {
        for (Probe& p : m_probes) {
            const long v = p.probe();
            if (p.seen && v == p.last) continue;
            char line[160];
            std::snprintf(line, sizeof line, "    %9.1f  %s: %ld\n", double(m_clock.Now() - m_t0) / kMs, p.what, v);
            m_text += line;
            p.last = v;
            p.seen = true;
        }
    }
    void Print(const char* what) const { std::printf("  %s, its states (board ms):\n%s", what, m_text.c_str()); }

private:
    struct Probe {
        const char* what;
        std::function<long()> probe;
        long last;
        bool seen;
    };
    const sim::Clock& m_clock;
    uint64_t m_t0;
    std::vector<Probe> m_probes;
    std::string m_text;
};

// A host's logins to one port, from a fresh one: when the first was
// answered and how many were refused before; with `keepTrying` each
// answered login is ended and tried again 100 ms (board time) after.
struct Logins {
    static constexpr uint64_t kAgainNs = 100 * kMs;
    uint64_t nextNs = 0;
    uint64_t firstTriedNs = 0;
    uint64_t firstAnsweredNs = 0;
    unsigned answered = 0;
    unsigned refused = 0;
    bool started = false;
    bool done = false;
    void Take(sim::FcHost& host, uint64_t nowNs, bool keepTrying) {
        sim::FcInitiator& i = host.initiator();
        if (!started) {
            started = true;
            firstTriedNs = nowNs;
            i.LogOut(host.target());
            i.LogIn(host.target());
            return;
        }
        if (done || nowNs < nextNs) return;
        const sim::FcInitiator::Login state = i.LoginState(host.target());
        if (state == sim::FcInitiator::Login::Pending) return;
        nextNs = nowNs + kAgainNs;
        if (state == sim::FcInitiator::Login::LoggedIn) {
            if (firstAnsweredNs == 0) firstAnsweredNs = nowNs;
            ++answered;
            if (!keepTrying) {
                done = true;
                return;
            }
            i.LogOut(host.target());
        } else if (state == sim::FcInitiator::Login::Failed) {
            ++refused;
        }
        i.LogIn(host.target());
    }
    void Print(const char* what) const {
        std::printf("  logins %s: first tried at %.1f ms, first answered at %.1f ms, %u answered, %u refused\n", what,
                    double(firstTriedNs) / kMs, double(firstAnsweredNs) / kMs, answered, refused);
    }
};

struct Mark {
    const char* what;
    std::function<bool()> reached;
    uint64_t ns;
    double wallMs;
};

// In order: each is looked at once the one before it came.
bool ReachInOrder(std::vector<Mark>& marks, uint64_t nowNs, Clock::time_point w0) {
    for (Mark& m : marks) {
        if (m.ns != 0) continue;
        if (!m.reached()) return false;
        m.ns = nowNs;
        m.wallMs = WallMs(w0);
    }
    return true;
}

void PrintMarks(const std::vector<Mark>& marks) {
    for (const Mark& m : marks) std::printf("  %-52s %8.1f %8.1f\n", m.what, double(m.ns) / kMs, m.wallMs);
}

class Takeover : public dual::PairUnderWrites {
public:
    void TestBody() override {}
    void Run() {
        Start(fw::RAID_LEVEL_5);
        SendBatch(true, true);
        Settle(10'000 * kMs);
        SendBatch(true, true);
        RunUntil([&] { return AnyFinished(); }, 5000 * kMs);
        const sim::FcpCommand read = ReadCommand();
        b->board.CutPower();
        const uint64_t t0 = clock.Now();
        const auto w0 = Clock::now();
        const uint32_t readTag = hostA->initiator().Submit(hostA->target(), read);
        sim::FcHost newcomer(a->board, a->fabric, *sim::FindIspChip(a->board, 1), 0x2100001B32F000AAull);
        newcomer.initiator().LogIn(newcomer.target());
        // Another logs in over and over, from the cut until the takeover is
        // done: each login answered or refused.
        sim::FcHost prober(a->board, a->fabric, *sim::FindIspChip(a->board, 1), 0x2100001B32F000ABull);
        Logins logins;
        uint32_t newTag = 0;
        bool fNewSent = false;
        ConsoleTimeline survivorConsole(a->board, clock, t0);
        StateTrace survivorStates(clock, t0);
        sim::SasController& ioc = a->board.sasController();
        survivorStates.Add("drive IOC state (0 reset, 1 ready, 2 operational)", [&] { return long(ioc.state()); });
        survivorStates.Add("drive IOC resets", [&] { return long(ioc.iocResets()); });
        survivorStates.Add("discovery state", [] { return long(fw::bGetSASDiscoveryState()); });
        survivorStates.Add("SAS timed hold", [] { return long(fw::fGetSASTimedHoldFlag() == fw::TRUE); });
        survivorStates.Add("IOC restart in progress", [] { return long(fw::fIsSASIOCRestartInProgress() == fw::TRUE); });
        survivorStates.Add("partner's writes being written out (retripe)", [] { return long(fw::fGetRetripeFlag() == fw::TRUE); });
        survivorStates.Add("hosts held for the takeover drain", [] { return long(fw::fIsHostWorkHeldForTakeover() == fw::TRUE); });
        survivorStates.Add("hosts held until the save", [] { return long(fw::fIsHostWorkHeldForGeneration() == fw::TRUE); });
        bool fFlushSeen = false;
        bool fHoldSeen = false;
        std::vector<Mark> marks = {
            {"the partner's silence noticed (heartbeat time-out)", [] { return fw::fIsDualControllerActive() != fw::TRUE; }, 0, 0},
            {"a host new to the port logged in",
             [&] {
                 if (newcomer.initiator().LoginState(newcomer.target()) == sim::FcInitiator::Login::Failed) {
                     newcomer.initiator().LogIn(newcomer.target());
                 }
                 return newcomer.initiator().LoginState(newcomer.target()) == sim::FcInitiator::Login::LoggedIn;
             }, 0, 0},
            {"its drive side found again (the SAS timed hold ends)",
             [&] {
                 fHoldSeen = fHoldSeen || fw::fGetSASTimedHoldFlag() == fw::TRUE;
                 return fHoldSeen && fw::fGetSASTimedHoldFlag() != fw::TRUE;
             }, 0, 0},
            {"its mirrored writes on the drives",
             [&] {
                 fFlushSeen = fFlushSeen || fw::fGetRetripeFlag() == fw::TRUE;
                 return fFlushSeen && fw::fGetRetripeFlag() != fw::TRUE && fw::fGetCacheFlushSequencerRequest() != fw::TRUE;
             }, 0, 0},
            {"own cached writes written, configuration saved",
             [] { return fw::fIsHostWorkHeldForTakeover() != fw::TRUE && fw::fIsHostWorkHeldForGeneration() != fw::TRUE; }, 0, 0},
            {"the read sent at the cut answered", [&] { return hostA->initiator().Finished(readTag); }, 0, 0},
            {"the new host's read answered",
             [&] {
                 if (!fNewSent) {
                     newTag = newcomer.initiator().Submit(newcomer.target(), read);
                     fNewSent = true;
                 }
                 return newcomer.initiator().Finished(newTag);
             }, 0, 0},
        };
        RunUntil(
            [&] {
                survivorConsole.Take();
                survivorStates.Take();
                logins.Take(prober, clock.Now() - t0, true);
                return ReachInOrder(marks, clock.Now() - t0, w0);
            },
            120'000 * kMs);
        std::printf("takeover, controller 1 cut with writes of both in flight (board ms, wall ms):\n");
        PrintMarks(marks);
        logins.Print("to controller 0 from the cut until the takeover is done");
        survivorConsole.Print("controller 0");
        survivorStates.Print("controller 0");
        Settle(60'000 * kMs);

        // The pair idle again: controller 1 comes back.
        RunUntil([] { return dual::CachesWrittenOut(); }, 60'000 * kMs);
        Restart(*b);
        const uint64_t t1 = clock.Now();
        const auto w1 = Clock::now();
        ConsoleTimeline joinerConsole(b->board, clock, t1);
        StateTrace joinerStates(clock, t1);
        sim::SasController& joinerIoc = b->board.sasController();
        joinerStates.Add("drive IOC state (0 reset, 1 ready, 2 operational)", [&] { return long(joinerIoc.state()); });
        joinerStates.Add("drive IOC port 0 enabled", [&] { return long(joinerIoc.portEnabled(0)); });
        joinerStates.Add("drive-side hold-off set (tick)", [] { return long(fw_b::lGetSASDriveSideHoldOff() != 0); });
        joinerStates.Add("failback state", [] { return long(fw_b::bGetSASFailbackState()); });
        joinerStates.Add("discovery state", [] { return long(fw_b::bGetSASDiscoveryState()); });
        joinerStates.Add("its host port online", [&] { return long(hostB->target().Online()); });
        Logins joinerLogins;
        bool fFailback = false;
        std::vector<Mark> rejoin = {
            {"started (Initialization Complete)", [&] { return b->Booted(); }, 0, 0},
            {"its drive side back (failback ended)",
             [&] {
                 fFailback = fFailback || fw_b::fIsSASFailbackInProgress() == fw::TRUE;
                 return fFailback && b->Booted() && fw_b::fIsSASFailbackInProgress() != fw::TRUE;
             }, 0, 0},
            {"its host's read answered",
             [&] {
                 if (joinerLogins.firstAnsweredNs == 0) return false;
                 if (!fNewSent || newTag == 0) {
                     newTag = hostB->initiator().Submit(hostB->target(), read);
                     fNewSent = true;
                 }
                 if (!hostB->initiator().Finished(newTag)) return false;
                 const sim::FcpResult r = hostB->initiator().Result(newTag);
                 hostB->initiator().Forget(newTag);
                 newTag = 0;
                 return r.outcome == sim::FcpResult::Outcome::Done && r.status == 0;
             }, 0, 0},
        };
        fNewSent = false;
        newTag = 0;
        RunUntil(
            [&] {
                joinerConsole.Take();
                joinerStates.Take();
                if (hostB->target().Online()) joinerLogins.Take(*hostB, clock.Now() - t1, false);
                return ReachInOrder(rejoin, clock.Now() - t1, w1);
            },
            120'000 * kMs);
        std::printf("rejoin of the idle pair (board ms, wall ms):\n");
        PrintMarks(rejoin);
        joinerLogins.Print("to controller 1 once its host port is online");
        joinerConsole.Print("controller 1");
        joinerStates.Print("controller 1");
    }

private:
    static sim::FcpCommand ReadCommand() {
        sim::FcpCommand c;
        c.cdb = dual::Cdb16(fw::SCSI_READ16, 0, 8);
        c.dataInLength = 8 * 512;
        return c;
    }
};

// ---- 2. the wall clock ----------------------------------------------------------

constexpr unsigned kDrives = 4;
constexpr char kTarget0[] = "iqn.2026-12.sim.array-controller:port1";
constexpr char kTarget1[] = "iqn.2026-12.sim.array-controller:c1-port1";

// A session logs in and one read is answered, within `limitMs` of trying.
bool LogInAndRead(uint16_t port, const std::string& target, const std::string& initiator, uint32_t limitMs) {
    bench::IscsiInitiator host;
    std::string why;
    if (!host.LogIn(port, initiator, target, 0, &why)) return false;
    host.SetReceiveTimeout(limitMs);
    bench::IscsiInitiator::Done done;
    return host.Submit(1, false, 0, 4096, nullptr) && host.Reap(&done) && done.status == 0;
}

// Tries `attempt` until it works: the wall time it took, or -1.
template <typename F>
double Until(F attempt, double limitMs) {
    const auto t = Clock::now();
    while (WallMs(t) < limitMs) {
        if (attempt()) return WallMs(t);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
}

// Logins to one target, tried every 50 ms until one is answered: each way
// a try ended, with the wall time of its first and last, from `t0`.
double LoginsUntilAnswered(uint16_t port, const std::string& target, const std::string& initiator,
                           Clock::time_point t0, double limitMs) {
    struct Seen {
        std::string why;
        double firstMs, lastMs;
        unsigned count;
    };
    std::vector<Seen> seen;
    const double answered = Until(
        [&] {
            bench::IscsiInitiator host;
            std::string why;
            const bool ok = host.LogIn(port, initiator, target, 0, &why);
            if (ok) why = "answered";
            const double now = WallMs(t0);
            if (seen.empty() || seen.back().why != why) {
                seen.push_back({why, now, now, 0});
            }
            seen.back().lastMs = now;
            ++seen.back().count;
            return ok;
        },
        limitMs);
    for (const Seen& x : seen) {
        std::printf("    %8.0f-%8.0f  %4u x %s\n", x.firstMs, x.lastMs, x.count, x.why.substr(0, 70).c_str());
    }
    return answered < 0 ? -1 : WallMs(t0);
}

// From now: logins to the target until one is answered, then a read
// through a new session.
void LoginsThenRead(const char* what, uint16_t port, const std::string& target, const std::string& initiator,
                    double limitMs) {
    const auto t0 = Clock::now();
    std::printf("  %s:\n", what);
    const double tLogin = LoginsUntilAnswered(port, target, initiator, t0, limitMs);
    const double tRead = Until([&] { return LogInAndRead(port, target, initiator, 2000); }, limitMs);
    std::printf("  %-52s %8.0f\n", "  a login answered", tLogin);
    std::printf("  %-52s %8.0f\n", "  a read through a new session answered", tRead < 0 ? -1 : WallMs(t0));
}

void WallClock(const std::string& program) {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("pair_loss_bench." + std::to_string(getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    {
        sim::ChassisOptions o;
        o.drives = kDrives;
        o.driveBytes = 64ull << 20;
        o.directory = (dir / "data").string();
        sim::Chassis chassis(o);
        const roadtest::ArraySpec array{"PAIR", fw::RAID_LEVEL_5, kDrives, 128, 0, true, 1u << 16};
        auto image = roadtest::RoadConfiguration(chassis, array, 0x200000A55A000000ull | (sim::BoardConfig{}.wwn & 0xFFFFFFull));
        copytest::Image(image)->asRank[0].bCachePolicy = fw::POLICY_WRITE_BACK | fw::POLICY_MIRROR;
        copytest::Seal(image);
        for (unsigned s = 1; s <= kDrives; ++s) copytest::PlaceCopy(*chassis.DriveAt(s), image);
    }
    const uint16_t port = bench::FreeLoopbackPort();
    const std::string out = (dir / "console").string();
    const pid_t pid = bench::Spawn({program, "--data-dir", (dir / "data").string(), "--drives", std::to_string(kDrives),
                                    "--drive-size", std::to_string(64ull << 20), "--console-in", "/dev/null", "--iscsi",
                                    "127.0.0.1:" + std::to_string(port), "--controllers", "2"},
                                   out);
    const auto started = Clock::now();
    if (pid <= 0 || !bench::WaitForOutput(pid, out, "Initialization Complete")) {
        std::printf("the wall clock: the program did not start\n%s", bench::FileText(out).c_str());
        return;
    }
    const double tBoth = Until([&] { return LogInAndRead(port, kTarget1, "iqn.bench:c1", 2000); }, 180'000);
    std::printf("the wall clock, the program (ms):\n  %-52s %8.0f\n", "both serving after the program started",
                tBoth < 0 ? -1 : WallMs(started));
    kill(pid, SIGUSR1);
    LoginsThenRead("controller 1 cut: logins to controller 0 (ms since the cut)", port, kTarget0, "iqn.bench:new", 180'000);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    kill(pid, SIGUSR1);
    LoginsThenRead("controller 1 back: logins to it (ms since its power came back)", port, kTarget1, "iqn.bench:back",
                   300'000);
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    std::filesystem::remove_all(dir);
}

}  // namespace

// ---- 3. more seeds -------------------------------------------------------------

namespace {

constexpr int kFirstSeed = 4;
constexpr int kMostTests = 400;
int s_iMoreTests = 100;
int s_iFirstTest = 0;

class MoreSeeds : public dual::PairLossCampaign {};

TEST_P(MoreSeeds, EveryAcknowledgedWriteSurvivesEachLoss) {
    for (int i = 0; i < dual::kLossCasesPerTest; ++i) ASSERT_NO_FATAL_FAILURE(RunCase(i));
}

// The tests asked for alone, made when the test framework starts (after
// the arguments are read), each named by its number in the campaign.
INSTANTIATE_TEST_SUITE_P(
    Campaign, MoreSeeds,
    ::testing::Range(kFirstSeed + std::min(s_iFirstTest, kMostTests), kFirstSeed + std::min(s_iMoreTests, kMostTests)),
    [](const ::testing::TestParamInfo<int>& info) { return std::to_string(info.param - kFirstSeed); });

}  // namespace

int main(int argc, char** argv) {
    // Each line as it is made: the runs are long, and followed as they go.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc > 1) s_iMoreTests = std::atoi(argv[1]);
    // A campaign resumed from a test of its own (a seed to look at again)
    // skips the timings.
    if (argc > 2) s_iFirstTest = std::max(std::atoi(argv[2]), 0);
    if (argc <= 2) {
        Takeover t;
        t.Run();
        WallClock(CONTROLLER_PROGRAM);
    }
    int gtestArgc = 1;
    char* gtestArgv[] = {argv[0], nullptr};
    ::testing::InitGoogleTest(&gtestArgc, gtestArgv);
    return RUN_ALL_TESTS();
}
