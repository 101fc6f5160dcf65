// How long host commands wait: twelve drives, three new arrays (RAID 5 of
// three, RAID 6 of five, RAID 10 of four) made as the console makes them
// (its cache policy, initialised in the background) with a logical drive
// each, and a host of its own on each logical drive keeping 1 to 32 commands
// of mixed sizes in flight (writes, a read now and then).  Reported per
// logical drive: the commands answered, the 99.9th percentile and the
// longest command time,
//
// - in board time: the controller in this process on virtual time, its
//   hosts on the simulated fabric;
// - on the wall clock: the controller program as `make run` starts it, on
//   a data directory made the same way, its hosts iSCSI sessions on the
//   loopback.
//
//   host_latency_bench [SECONDS [DIRECTORY [board|wall [CONTROLLER]]]]
//
// SECONDS of load in each (default 20); the drive images live in a new
// directory under DIRECTORY (default /dev/shm), removed at the end; board
// or wall runs only that half.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "config/ld_table.h"
#include "executive/startup.h"
#include "harness/config_builder.h"
#include "hw/scsi.h"
#include "iscsi_initiator.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/fc_fabric.h"
#include "sim/fc_host.h"
#include "sim/isp_chip.h"
#include "sim/sas_controller.h"

namespace {

constexpr uint32_t kBlock = 512;
constexpr unsigned kDrives = 12;
constexpr unsigned kLuns = 3;
// What the console gives a new array: write-back, mirrored, write sort,
// write-through transition off when the cache is full.
constexpr uint8_t kConsolePolicy = 0x5B;
constexpr uint64_t kHostName = 0x2100001B32000001ull;
constexpr char kTarget[] = "iqn.2026-12.sim.array-controller:port1";
// Each host writes the first 256 MiB of its logical drive: what the drive
// images take in memory stays bounded however long the load runs.
constexpr uint64_t kSpanBlocks = 524288;

struct Level {
    const char* name;
    uint8_t bLevel;
    uint8_t bDrives;
};
constexpr Level kLevels[kLuns] = {{"RAID 5", fw::RAID_LEVEL_5, 3}, {"RAID 6", fw::RAID_LEVEL_6, 5},
                                  {"RAID 10", fw::RAID_LEVEL_10, 4}};

// The load's choices, one generator per host: the size of the next command,
// whether it reads, and (every few hundred commands) a new depth.
struct Mix {
    explicit Mix(unsigned seed) : rng(seed) {}
    uint32_t Blocks() {
        static constexpr uint32_t kSizes[] = {1, 8, 8, 8, 16, 64, 128, 256, 512};
        return kSizes[rng() % std::size(kSizes)];
    }
    bool Read() { return rng() % 8 == 0; }
    uint64_t Lba(uint64_t span, uint32_t blocks) { return rng() % (span - blocks) / 8 * 8; }
    unsigned Depth(unsigned depth) { return rng() % 300 == 0 ? 1 + rng() % 32 : depth; }
    std::mt19937 rng;
};

struct Figures {
    std::vector<uint64_t> ns;   // each answered command's time
    bool failed = false;
    void Print(const char* level) {
        std::sort(ns.begin(), ns.end());
        if (ns.empty()) {
            std::printf("  %-8s no command answered%s\n", level, failed ? " (a command failed)" : "");
            return;
        }
        std::printf("  %-8s %8zu commands  99.9%% %8.3f s  longest %8.3f s%s\n", level, ns.size(),
                    double(ns[ns.size() * 999 / 1000]) * 1e-9, double(ns.back()) * 1e-9,
                    failed ? "  (a command failed)" : "");
    }
};

// A random block of data for every write (what it holds does not matter;
// that it is not all zeros does, to the drives' images).
const std::vector<uint8_t>& Data() {
    static const std::vector<uint8_t> v = [] {
        std::vector<uint8_t> d(512u * kBlock);
        std::mt19937 rng(5);
        for (auto& b : d) b = static_cast<uint8_t>(rng() | 1);
        return d;
    }();
    return v;
}

// ---- the controller and its arrays -----------------------------------------------

// A board on the drives of `directory` (and its NVRAM there, when `dataDir`),
// booted, with the three arrays and their logical drives made through the
// configuration edits and committed: the walks begin.
struct Controller {
    Controller(const std::string& directory, bool dataDir) {
        sim::ChassisOptions o;
        o.drives = kDrives;
        o.directory = directory;
        chassis = std::make_unique<sim::Chassis>(o);
        sim::BoardConfig config;
        if (dataDir) config.dataDir = directory;
        board = std::make_unique<sim::Board>(config);
        board->sasController().AttachChassis(chassis.get());
        for (uint8_t chip = 1; chip <= 2; ++chip) {
            if (sim::IspChip* p = sim::FindIspChip(*board, chip)) p->AttachFabric(fabric);
        }
        board->SetResetEntry(&fw::ControllerEntry);
        board->Boot();
        board->RunUntil([&] { return board->ConsoleText().find("Initialization Complete\r\n") != std::string::npos; },
                        120'000'000'000ull);
    }
    bool MakeArrays() {
        cfgbuild::Builder builder(*board);
        if (!builder.OpenEdit()) return false;
        unsigned slot = 1;
        for (const Level& l : kLevels) {
            cfgbuild::ArraySpec a;
            a.bLevel = l.bLevel;
            for (unsigned m = 0; m < l.bDrives; ++m) a.slots.push_back(slot++);
            a.wChunk = 128;
            a.fInitialize = true;
            a.bCachePolicy = kConsolePolicy;
            if (builder.CreateArray(a) != fw::STATUS_OK) return false;
        }
        for (uint16_t wRank = 0; wRank < kLuns; ++wRank) {
            if (builder.CreateLdOnArray(wRank, 0, kLevels[wRank].name) != fw::STATUS_OK) return false;
        }
        return builder.Commit();
    }
    uint64_t Blocks(uint16_t wLd) const { return fw::pGetLogicalDriveRecord(wLd)->lLastBlock + 1; }

    sim::FcFabric fabric;
    std::unique_ptr<sim::Chassis> chassis;
    std::unique_ptr<sim::Board> board;
};

// ---- board time ---------------------------------------------------------------------

// One simulated host on one logical drive.
struct FabricHost {
    std::unique_ptr<sim::FcHost> host;
    uint16_t lun = 0;
    uint64_t span = 0;
    Mix mix{1};
    unsigned depth = 1;
    std::map<uint32_t, uint64_t> sent;   // tag: board time sent
    std::vector<uint32_t> answered;
    Figures figures;
};

bool BoardTime(const std::string& directory, double seconds) {
    Controller c(directory, false);
    if (!c.MakeArrays()) {
        std::fprintf(stderr, "host_latency_bench: the arrays were not made\n%s", c.board->ConsoleText().c_str());
        return false;
    }
    sim::Board& board = *c.board;
    FabricHost hosts[kLuns];
    for (unsigned n = 0; n < kLuns; ++n) {
        FabricHost& h = hosts[n];
        h.host = std::make_unique<sim::FcHost>(board, c.fabric, *sim::FindIspChip(board, n == 1 ? 2 : 1), kHostName + n);
        if (!h.host->LogIn()) return false;
        for (int i = 0; i < 4; ++i) {
            if (h.host->Send(uint16_t(n), {fw::SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0}).status == 0) break;
        }
        h.lun = uint16_t(n);
        h.span = std::min<uint64_t>(c.Blocks(uint16_t(n)), kSpanBlocks);
        h.mix = Mix(n + 1);
        h.host->initiator().onCompletion = [&board, &h](uint32_t tag, sim::FcpResult& r) {
            const auto it = h.sent.find(tag);
            if (it == h.sent.end()) return;
            h.figures.ns.push_back(board.clock().Now() - it->second);
            h.figures.failed |= r.outcome != sim::FcpResult::Outcome::Done || r.status != 0;
            h.sent.erase(it);
            h.answered.push_back(tag);
        };
    }
    auto topUp = [&](FabricHost& h) {
        for (uint32_t tag : h.answered) h.host->initiator().Forget(tag);
        h.answered.clear();
        h.depth = h.mix.Depth(h.depth);
        while (h.sent.size() < h.depth) {
            const uint32_t blocks = h.mix.Blocks();
            const uint64_t lba = h.mix.Lba(h.span, blocks);
            sim::FcpCommand cmd;
            cmd.lun = h.lun;
            cmd.cdb.assign(10, 0);
            fw::PutBe32(cmd.cdb.data() + 2, uint32_t(lba));
            fw::PutBe16(cmd.cdb.data() + 7, uint16_t(blocks));
            if (h.mix.Read()) {
                cmd.cdb[0] = fw::SCSI_READ10;
                cmd.dataInLength = blocks * kBlock;
            } else {
                cmd.cdb[0] = fw::SCSI_WRITE10;
                cmd.dataOut.assign(Data().begin(), Data().begin() + blocks * kBlock);
            }
            h.sent[h.host->initiator().Submit(h.host->target(), cmd)] = board.clock().Now();
        }
    };
    auto answered = [&] { return hosts[0].figures.ns.size() + hosts[1].figures.ns.size() + hosts[2].figures.ns.size(); };
    const uint64_t end = board.clock().Now() + uint64_t(seconds * 1e9);
    while (board.clock().Now() < end) {
        for (FabricHost& h : hosts) topUp(h);
        const size_t before = answered();
        board.RunUntil([&] { return answered() != before; }, 60'000'000'000ull);
    }
    board.RunUntil([&] { return hosts[0].sent.empty() && hosts[1].sent.empty() && hosts[2].sent.empty(); },
                   120'000'000'000ull);
    std::printf("board time: the controller on virtual time, %.0f s of load\n", seconds);
    for (unsigned n = 0; n < kLuns; ++n) {
        if (!hosts[n].sent.empty()) hosts[n].figures.failed = true;
        hosts[n].figures.Print(kLevels[n].name);
    }
    return true;
}

// ---- the wall clock -----------------------------------------------------------------

struct Program {
    pid_t pid = -1;
    uint16_t port = 0;
    ~Program() {
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
    }
};

// One session's load for `seconds` of the wall clock.
void WallLoad(bench::IscsiInitiator& session, uint64_t span, unsigned seed, double seconds, Figures* f) {
    using Clock = std::chrono::steady_clock;
    Mix mix(seed);
    unsigned depth = 1;
    std::map<uint32_t, Clock::time_point> sent;
    uint32_t next = 100;
    const auto start = Clock::now();
    auto running = [&] { return std::chrono::duration<double>(Clock::now() - start).count() < seconds; };
    while (running() || !sent.empty()) {
        depth = mix.Depth(depth);
        while (running() && sent.size() < depth && session.WindowOpen()) {
            const uint32_t blocks = mix.Blocks();
            const uint64_t lba = mix.Lba(span, blocks);
            const bool read = mix.Read();
            sent[next] = Clock::now();
            if (!session.Submit(next++, !read, uint32_t(lba), blocks * kBlock, read ? nullptr : Data().data())) {
                f->failed = true;
                return;
            }
        }
        if (sent.empty()) break;
        bench::IscsiInitiator::Done d;
        if (!session.Reap(&d)) {
            f->failed = true;
            return;
        }
        const auto it = sent.find(d.tag);
        if (it == sent.end()) continue;
        f->ns.push_back(uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - it->second).count()));
        f->failed |= d.status != 0;
        sent.erase(it);
    }
}

bool WallClock(const std::string& program, const std::string& directory, double seconds) {
    uint64_t spans[kLuns] = {};
    {
        // The data directory: the arrays committed to its drives, their
        // walks recorded in its NVRAM; then the power goes.
        Controller c(directory, true);
        if (!c.MakeArrays()) {
            std::fprintf(stderr, "host_latency_bench: the arrays were not made\n%s", c.board->ConsoleText().c_str());
            return false;
        }
        for (unsigned n = 0; n < kLuns; ++n) spans[n] = std::min<uint64_t>(c.Blocks(uint16_t(n)), kSpanBlocks);
    }
    // The board's clock, which ran on virtual time, is the program's no
    // more: it shows the host's date.
    std::filesystem::remove(directory + "/board.state");
    Program p;
    p.port = bench::FreeLoopbackPort();
    const std::string console = directory + "/console";
    p.pid = bench::Spawn({program, "--data-dir", directory, "--drives", std::to_string(kDrives), "--iscsi",
                          "127.0.0.1:" + std::to_string(p.port)},
                         console);
    if (p.pid <= 0 || !bench::WaitForOutput(p.pid, console, "Initialization Complete")) {
        std::fprintf(stderr, "host_latency_bench: the controller did not start:\n%s", bench::FileText(console).c_str());
        return false;
    }
    bench::IscsiInitiator sessions[kLuns];
    for (unsigned n = 0; n < kLuns; ++n) {
        std::string why;
        if (!bench::OpenReadySession(sessions[n], p.port, "iqn.2026-12.bench:host" + std::to_string(n), kTarget,
                                     uint8_t(n), &why)) {
            std::fprintf(stderr, "host_latency_bench: LUN %u: %s\n", n, why.c_str());
            return false;
        }
    }
    Figures figures[kLuns];
    std::vector<std::thread> threads;
    for (unsigned n = 0; n < kLuns; ++n) {
        threads.emplace_back(WallLoad, std::ref(sessions[n]), spans[n], n + 1, seconds, &figures[n]);
    }
    for (std::thread& t : threads) t.join();
    std::printf("wall clock: the controller program, iSCSI hosts on the loopback, %.0f s of load\n", seconds);
    for (unsigned n = 0; n < kLuns; ++n) figures[n].Print(kLevels[n].name);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 20;
    const std::string under = argc > 2 ? argv[2] : "/dev/shm";
    const std::string only = argc > 3 ? argv[3] : "";
    const std::string program = argc > 4 ? argv[4] : CONTROLLER_PROGRAM;
    signal(SIGPIPE, SIG_IGN);
    std::string pattern = under + "/host-latency-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        std::perror("host_latency_bench");
        return 1;
    }
    const std::filesystem::path dir = pattern;
    std::printf("host_latency_bench: %u drives; RAID 5 of 3, RAID 6 of 5, RAID 10 of 4, new (initialising in the\n"
                "background), as the console makes them; a host on each logical drive, 1 to 32 commands in flight,\n"
                "1 to 512 blocks, one read in eight\n",
                kDrives);
    std::fflush(stdout);
    bool ok = true;
    if (only != "wall") ok = BoardTime((dir / "board").string(), seconds);
    std::fflush(stdout);
    if (only != "board") ok = WallClock(program, (dir / "wall").string(), seconds) && ok;
    std::fflush(stdout);
    std::filesystem::remove_all(dir);
    return ok ? 0 : 1;
}
