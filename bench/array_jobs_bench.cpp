// The background array jobs of a booted controller: the initialisation of a
// new array and the parity check, on RAID 5 and RAID 6.
//
// - rows per second of each job with an idle host, as the bytes the job
//   moves (every member's chunk of a row) per second against memcpy of the
//   same bytes timed in the same run; rows per virtual second (what the
//   board's drives allow); and the firmware's share of the wall time (the
//   rest is the board's models: drives, SAS controller, XOR engine);
// - 4 KiB random host writes, 32 in flight, during a RAID 5 initialisation
//   at initialisation shares 10, 50 and 90 and during a parity check, against
//   the same writes on the same controller once the job is over: writes per
//   virtual second during and after, as the writes sustain them once the
//   write-back cache has taken its first burst, and the rate during as a ratio to the
//   rate after, per virtual second (what a host sees of the job) and per
//   wall second (what simulating it costs).
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "../tests/system/road_config.h"
#include "config/config_commit.h"
#include "config/config_flags.h"
#include "config/config_image.h"
#include "config/config_phase.h"
#include "config/config_state.h"
#include "config/rank_table.h"
#include "executive/progress.h"
#include "executive/tick.h"
#include "copy_reference.h"
#include "fc_road.h"
#include "measure.h"
#include "raid/parity_check.h"
#include "raid/stripe_init.h"
#include "raid/stripe_init_steps.h"
#include "spread_writes.h"

#include <sys/resource.h>

#include "sim/drive.h"

namespace {

constexpr uint16_t kChunk = 64;
constexpr uint32_t kMemberBlocks = 1u << 16;   // 32 MiB a member: 1024 rows
constexpr uint32_t kRows = kMemberBlocks / kChunk;
// Host writes under a job: counted over kSustainedNs of board time after kWarmNs.
constexpr uint64_t kWarmNs = 500'000'000;
constexpr uint64_t kSustainedNs = 1'000'000'000;
// Under host writes: members the job does not finish while they run.
constexpr uint32_t kLoadedMemberBlocks = 1u << 18;
constexpr uint64_t kLimitNs = 3'600'000'000'000ull;

struct Rig {
    Rig(const roadtest::ArraySpec& spec, uint8_t bShare, bool fWallClock = false) : spec(spec) {
        sim::ChassisOptions drives;
        drives.drives = spec.bDrives;
        chassis = std::make_unique<sim::Chassis>(drives);
        sim::BoardConfig config;
        config.virtualTime = !fWallClock;
        std::vector<uint8_t> image =
            roadtest::RoadConfiguration(*chassis, spec, 0x200000A55A000000ull | (config.wwn & 0xFFFFFFull));
        copytest::Image(image)->sHeader.bInitPriority = bShare;
        copytest::Seal(image);
        for (unsigned s = 1; s <= spec.bDrives; ++s) copytest::PlaceCopy(*chassis->DriveAt(s), image);
        board = std::make_unique<sim::Board>(config);
        host = bench::StartFcRoad(*board, *chassis, fabric, "array_jobs_bench");
        // From here on a person would be watching: the board follows the
        // wall clock (start-up's waits passed at once).
        if (fWallClock) board->FollowWallClock(true);
    }

    // Every member's rows full of random bytes, behind the controller's back.
    void FillGarbage(uint32_t seed) {
        std::mt19937 rng(seed);
        std::vector<uint8_t> v(size_t(kMemberBlocks) * roadtest::kBlock);
        for (unsigned s = 1; s <= spec.bDrives; ++s) {
            for (auto& b : v) b = static_cast<uint8_t>(rng());
            chassis->DriveAt(s)->WriteBlocks(0, kMemberBlocks, v.data());
        }
    }

    // The array recorded as new and its walk started, as the commit of an
    // array made at the console does.
    void StartInit() {
        fw::pGetConfigImage()->asRank[0].bInitState = 1;
        fw::pGetConfigImage()->asRank[0].fInitialized = fw::FALSE;
        (void)fw::RequestConfigUpdate(fw::REQUESTER_COMMIT);
        board->RunUntil(
            [] { return fw::fIsConfigUpdatePending() != fw::TRUE && fw::fIsConfigCommitInProgress() != fw::TRUE; },
            kLimitNs);
        fw::SetRankInitPending(0, fw::TRUE);
        fw::ClearStripeInitNvProgress(0);
        fw::StartStripeInit(0, fw::STRIPE_INIT_NEW_ARRAY);
    }
    static bool Initialising() { return fw::fIsStripeInitInProgress(0) == fw::TRUE; }
    static bool Checking() { return fw::fIsParityCheckInProgress() == fw::TRUE; }
    bool StartCheck(uint8_t bMode) { return fw::StartParityCheck(0, bMode, fw::FALSE) == fw::STATUS_OK; }
    bool RunWhile(bool (*running)()) {
        board->RunUntil([&] { return !running(); }, kLimitNs);
        return !running();
    }

    roadtest::ArraySpec spec;
    std::unique_ptr<sim::Chassis> chassis;
    sim::FcFabric fabric;
    std::unique_ptr<sim::Board> board;
    std::unique_ptr<sim::FcHost> host;
};

roadtest::ArraySpec Spec(const char* name, uint8_t bLevel, uint8_t bDrives, uint8_t bDataDrives,
                         uint32_t memberBlocks = kMemberBlocks) {
    return {name, bLevel, bDrives, kChunk, 0, true, uint64_t(memberBlocks) * bDataDrives};
}

// One job on an idle host, from `start` until `running` says it is over:
// one line of the first table.
bool TimeJob(Rig& rig, const char* job, const std::function<bool()>& start, bool (*running)()) {
    if (!start()) {
        std::fprintf(stderr, "array_jobs_bench: %s: %s did not start\n", rig.spec.pszName, job);
        return false;
    }
    bench::SideSampler sampler;
    sampler.Start();
    const uint64_t v0 = rig.board->clock().Now();
    const uint32_t cycles0 = fw::dMainLoopCycles;
    const auto t0 = std::chrono::steady_clock::now();
    if (!rig.RunWhile(running)) {
        std::fprintf(stderr, "array_jobs_bench: %s: %s did not end\n", rig.spec.pszName, job);
        return false;
    }
    const double seconds = benchref::Seconds(t0, std::chrono::steady_clock::now());
    sampler.Stop();
    const double virtualSeconds = double(rig.board->clock().Now() - v0) * 1e-9;
    const uint32_t rowBytes = uint32_t(kChunk) * roadtest::kBlock * rig.spec.bDrives;
    const double copies = benchref::MemcpyRate(rowBytes, kRows, 5);
    std::printf("%-8s %-26s %10.0f %14.5f %12.0f %9.0f%% %12.0f\n", rig.spec.pszName, job, kRows / seconds,
                (kRows / seconds) / copies, kRows / virtualSeconds, sampler.FirmwareShare() * 100,
                double(fw::dMainLoopCycles - cycles0) / kRows);
    return true;
}

// The writes while the job `start` began runs, then the same writes once it
// is over: one line of the second table.  Each is what the writes sustain
// once the write-back cache has taken its first burst (which it takes at
// the same pace whatever runs behind it): the writes answered in
// kSustainedNs of board time after kWarmNs.
bool WritesDuring(const char* job, uint8_t bShare, const std::function<bool(Rig&)>& start, bool (*running)()) {
    Rig rig(Spec("RAID 5", fw::RAID_LEVEL_5, 4, 3, kLoadedMemberBlocks), bShare);
    if (!rig.host || !start(rig)) {
        std::fprintf(stderr, "array_jobs_bench: %s: the job did not start\n", job);
        return false;
    }
    const uint64_t dataBlocks = rig.spec.lBlocks;
    const bench::Sustained during = bench::SustainedWrites(*rig.board, *rig.host, dataBlocks, 0, kWarmNs, kSustainedNs);
    const bool fStillRunning = running();
    if (during.perVirtualSecond < 0 || !rig.RunWhile(running)) {
        std::fprintf(stderr, "array_jobs_bench: %s: a write failed or the job did not end\n", job);
        return false;
    }
    // The writes before reach the drives first, as they did before the
    // writes during the job.
    rig.board->RunUntil([] { return false; }, 5'000'000'000ull);
    const bench::Sustained after =
        bench::SustainedWrites(*rig.board, *rig.host, dataBlocks, 1u << 20, kWarmNs, kSustainedNs);
    if (after.perVirtualSecond < 0) {
        std::fprintf(stderr, "array_jobs_bench: %s: a write failed\n", job);
        return false;
    }
    char share[8] = "-";
    if (bShare != 0) std::snprintf(share, sizeof share, "%u", bShare);
    std::printf("%-26s %6s %12.0f %12.0f %14.3f %12.3f%s\n", job, share, during.perVirtualSecond,
                after.perVirtualSecond, during.perVirtualSecond / after.perVirtualSecond,
                during.perWallSecond / after.perWallSecond,
                fStillRunning ? "" : "  (the job ended before the writes did)");
    return true;
}

// The share of the modelled drives' bandwidth a walk that writes every
// member's chunk of `rows` rows in `seconds` uses: each member moves a chunk
// a row, a drive 512 bytes per its per-block service time.
double DriveShare(double rows, double seconds) {
    const double perDrive = 512.0 * 1e9 / double(sim::DriveServiceNs(1024) - sim::DriveServiceNs(512));
    return rows * kChunk * roadtest::kBlock / seconds / perDrive;
}

double CpuSeconds() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) + double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) * 1e-6;
}

// A new array's walk with no host for 20 coarse ticks (bursts), in virtual
// time or with the board on the wall clock: one line of the third table.
bool QuietInit(roadtest::ArraySpec spec, bool fWallClock) {
    // Members of 512 MiB: a walk of some seconds.
    constexpr uint32_t kQuietRows = 1u << 14;
    spec.lBlocks = spec.lBlocks / kRows * kQuietRows;
    Rig rig(spec, 50, fWallClock);
    if (!rig.host) return false;
    rig.StartInit();
    fw::psGetStripeInitEntry(0)->dHostStamp = fw::dGetCoarseTick() - 20;
    const uint64_t v0 = rig.board->clock().Now();
    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    double behind = 0;
    while (Rig::Initialising()) {
        rig.board->RunUntil([] { return !Rig::Initialising(); }, 100'000'000ull);
        const double wall = benchref::Seconds(t0, std::chrono::steady_clock::now());
        behind = std::max(behind, wall - double(rig.board->clock().Now() - v0) * 1e-9);
        if (wall > 600) {
            std::fprintf(stderr, "array_jobs_bench: %s: the quiet walk did not end\n", spec.pszName);
            return false;
        }
    }
    const double wall = benchref::Seconds(t0, std::chrono::steady_clock::now());
    const double virtualSeconds = double(rig.board->clock().Now() - v0) * 1e-9;
    std::printf("%-8s %-12s %12.0f %12.0f %14.2f %12.2f %12.2f %10.0f%%\n", spec.pszName,
                fWallClock ? "wall clock" : "virtual", kQuietRows / virtualSeconds, kQuietRows / wall,
                DriveShare(kQuietRows, virtualSeconds), DriveShare(kQuietRows, wall), behind,
                100 * (CpuSeconds() - cpu0) / wall);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // `array_jobs_bench [TABLE]`: one of the three tables alone (1, 2 or 3).
    const int table = argc > 1 ? std::atoi(argv[1]) : 0;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const roadtest::ArraySpec arrays[] = {Spec("RAID 5", fw::RAID_LEVEL_5, 4, 3), Spec("RAID 6", fw::RAID_LEVEL_6, 5, 3)};
    if (table == 0 || table == 1) {
        std::printf("background jobs on %u rows of %u-block chunks, idle host\n", kRows, kChunk);
        std::printf("%-8s %-26s %10s %14s %12s %10s %12s\n", "", "job", "rows/s", "memcpy ratio", "rows/vsec", "firmware",
                    "cycles/row");
        for (const roadtest::ArraySpec& spec : arrays) {
            Rig rig(spec, 50);
            if (!rig.host) return 1;
            // A new array's members hold whatever was on the drives.
            rig.FillGarbage(1);
            const bool ok =
                TimeJob(rig, "initialisation", [&] { rig.StartInit(); return Rig::Initialising(); }, &Rig::Initialising) &&
                TimeJob(rig, "parity check, mode 1", [&] { return rig.StartCheck(1); }, &Rig::Checking) &&
                TimeJob(rig, "parity check, mode 3", [&] { return rig.StartCheck(3); }, &Rig::Checking) &&
                (rig.FillGarbage(2), true) &&
                TimeJob(rig, "mode 3, every row bad", [&] { return rig.StartCheck(3); }, &Rig::Checking);
            if (!ok) return 1;
        }
    }

    if (table == 0 || table == 2) {
        std::printf("\nRAID 5, 4 KiB random writes, %u in flight, during the job against after it: the writes a board\n"
                    "second sustains over %.1f s after the first %.1f s, and the ratio during/after of those per board\n"
                    "second (what a host sees of the job) and per wall second (what simulating it costs)\n",
                    bench::kSpreadInFlight, double(kSustainedNs) * 1e-9, double(kWarmNs) * 1e-9);
        std::printf("%-26s %6s %12s %12s %14s %12s\n", "job", "share", "during/vsec", "after/vsec", "virtual ratio",
                    "wall ratio");
        for (uint8_t bShare : {uint8_t(10), uint8_t(50), uint8_t(90)}) {
            if (!WritesDuring("initialisation", bShare, [](Rig& rig) { rig.StartInit(); return Rig::Initialising(); },
                              &Rig::Initialising)) {
                return 1;
            }
        }
        for (uint8_t bMode : {uint8_t(1), uint8_t(3)}) {
            const char* job = bMode == 1 ? "parity check, mode 1" : "parity check, mode 3";
            if (!WritesDuring(job, 0, [bMode](Rig& rig) { return rig.StartCheck(bMode); }, &Rig::Checking)) return 1;
        }
    }

    if (table != 0 && table != 3) return 0;
    std::printf("\nthe initialisation of a quiet array (no host for 20 coarse ticks), against the modelled drives\n");
    std::printf("%-8s %-12s %12s %12s %14s %12s %12s %11s\n", "", "clock", "rows/vsec", "rows/s", "drive share/v",
                "drive share", "behind (s)", "processor");
    for (const roadtest::ArraySpec& spec : arrays) {
        for (bool fWallClock : {false, true}) {
            if (!QuietInit(spec, fWallClock)) return 1;
        }
    }
    return 0;
}
