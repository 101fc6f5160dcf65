// The rebuild of a booted controller: a member's drive gone, Auto Rebuild
// takes the hot spare, and the rebuild regenerates the member onto it.
//
// - rebuild rows per second on RAID 10, 5 and 6 with an idle host, as the
//   rebuilt bytes per second against memcpy of the same bytes timed in the
//   same run, and the firmware's share of that time (the rest is the
//   board's models: drives, SAS controller, XOR engine);
// - 4 KiB random host writes, 32 in flight, during a RAID 5 rebuild at
//   rebuild priority 10, 50 and 90, against the same writes on the same
//   controller once the rebuild is over: per virtual second (what a host
//   sees of the rebuild) and per wall second (what simulating it costs);
//   and what the rebuild itself got meanwhile: its rows per virtual and per
//   wall second against the same rebuild with an idle host, and its share of
//   the blocks moved (member blocks rebuilt against host blocks written),
//   which the rebuild priority bounds only once the rebuild moves more than
//   14999 blocks and the hosts more than 1499 a coarse tick of 500 ms.
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "../tests/system/road_config.h"
#include "config/config_image.h"
#include "config/config_state.h"
#include "config/rank_table.h"
#include "copy_reference.h"
#include "executive/progress.h"
#include "fc_road.h"
#include "measure.h"
#include "raid/rebuild.h"
#include "spread_writes.h"

namespace {

constexpr uint16_t kChunk = 64;
constexpr uint32_t kMemberBlocks = 1u << 16;   // 32 MiB a member
// Under host writes: a member the rebuild does not finish while they run.
constexpr uint32_t kLoadedMemberBlocks = 1u << 18;
constexpr uint32_t kWrites = 2048;
constexpr uint32_t kLoadedWrites = 4 * kWrites;
constexpr uint64_t kLimitNs = 3'600'000'000'000ull;

// One controller whose array lost member 1 and has a spare to rebuild onto.
struct Rig {
    explicit Rig(const roadtest::ArraySpec& spec, uint8_t bPriority) {
        sim::ChassisOptions drives;
        drives.drives = spec.bDrives + 1u;
        chassis = std::make_unique<sim::Chassis>(drives);
        sim::BoardConfig config;
        std::vector<uint8_t> image =
            roadtest::RoadConfiguration(*chassis, spec, 0x200000A55A000000ull | (config.wwn & 0xFFFFFFull));
        fw::CONFIG_IMAGE* ps = copytest::Image(image);
        ps->sHeader.fAutoRebuild = fw::TRUE;
        ps->sHeader.bRebuildPriority = bPriority;
        ps->sHeader.wSpareCount = 1;
        const auto spare = roadtest::DriveWwn(*chassis, spec.bDrives + 1u);
        std::memcpy(ps->asSpare[0].abWwn, spare.data(), 8);
        for (unsigned i = 0; i < fw::MAX_SPARES; ++i) ps->asSpare[i].bDedicatedRank = 0xFF;
        copytest::Seal(image);
        for (unsigned s = 1; s <= spec.bDrives + 1u; ++s) copytest::PlaceCopy(*chassis->DriveAt(s), image);
        chassis->Pull(2);
        board = std::make_unique<sim::Board>(config);
        host = bench::StartFcRoad(*board, *chassis, fabric, "rebuild_bench");
    }
    bool Rebuilding() const { return fw::bGetNvramRebuildPendingFlag() == fw::TRUE; }
    bool WaitForStart() {
        board->RunUntil([&] { return Rebuilding() && fw::fIsRebuildIoInFlight() == fw::TRUE; }, kLimitNs);
        return Rebuilding();
    }
    bool WaitForEnd() {
        board->RunUntil([&] { return !Rebuilding() && fw::bGetRankOperationState(0) == fw::RANK_STATE_OPTIMAL; },
                        kLimitNs);
        return !Rebuilding();
    }

    std::array<double, 2> Writes(uint32_t seed, uint32_t writes = kWrites) {
        return bench::SpreadWrites(*board, *host, lDataBlocks, writes, seed);
    }

    std::unique_ptr<sim::Chassis> chassis;
    sim::FcFabric fabric;
    std::unique_ptr<sim::Board> board;
    std::unique_ptr<sim::FcHost> host;
    uint64_t lDataBlocks = 0;
};

roadtest::ArraySpec Spec(const char* name, uint8_t bLevel, uint8_t bDrives, uint8_t bDataDrives,
                         uint32_t memberBlocks = kMemberBlocks) {
    return {name, bLevel, bDrives, kChunk, 0, true, uint64_t(memberBlocks) * bDataDrives};
}

}  // namespace

int main() {
    std::printf("rebuild of one %u-block member, %u-block chunks, idle host\n", kMemberBlocks, kChunk);
    std::printf("%-8s %10s %12s %14s %10s %12s %12s\n", "", "rows/s", "MB/s", "memcpy ratio", "firmware", "rows/vsec",
                "cycles/row");
    const roadtest::ArraySpec arrays[] = {Spec("RAID 10", fw::RAID_LEVEL_10, 4, 2), Spec("RAID 5", fw::RAID_LEVEL_5, 4, 3),
                                          Spec("RAID 6", fw::RAID_LEVEL_6, 5, 3)};
    for (const roadtest::ArraySpec& spec : arrays) {
        Rig rig(spec, 50);
        if (!rig.host || !rig.WaitForStart()) {
            std::fprintf(stderr, "rebuild_bench: %s: no rebuild started\n%s", spec.pszName,
                         rig.board->ConsoleText().c_str());
            return 1;
        }
        bench::SideSampler sampler;
        sampler.Start();
        const uint64_t v0 = rig.board->clock().Now();
        const uint32_t cycles0 = fw::dMainLoopCycles;
        const auto t0 = std::chrono::steady_clock::now();
        if (!rig.WaitForEnd()) {
            std::fprintf(stderr, "rebuild_bench: %s: the rebuild did not end\n", spec.pszName);
            return 1;
        }
        const double seconds = benchref::Seconds(t0, std::chrono::steady_clock::now());
        sampler.Stop();
        const uint32_t rowBytes = kChunk * roadtest::kBlock;
        const double rows = double(kMemberBlocks) / kChunk;
        const double copies = benchref::MemcpyRate(rowBytes, uint32_t(rows), 5);
        const double virtualSeconds = double(rig.board->clock().Now() - v0) * 1e-9;
        std::printf("%-8s %10.0f %12.2f %14.5f %9.0f%% %12.0f %12.0f\n", spec.pszName, rows / seconds,
                    rows * rowBytes / seconds / 1e6, (rows / seconds) / copies, sampler.FirmwareShare() * 100,
                    rows / virtualSeconds, (fw::dMainLoopCycles - cycles0) / rows);
    }

    std::printf("\nRAID 5, 4 KiB random writes, %u in flight, during the rebuild against after it, and the\n"
                "rebuild's rate during the writes against with an idle host\n",
                bench::kSpreadInFlight);
    std::printf("%-10s %16s %16s %16s %16s %14s %14s\n", "priority", "virtual ratio", "wall ratio", "rebuild virtual",
                "rebuild wall", "share r/(r+h)", "member share");
    for (uint8_t bPriority : {uint8_t(10), uint8_t(50), uint8_t(90)}) {
        const roadtest::ArraySpec spec = Spec("RAID 5", fw::RAID_LEVEL_5, 4, 3, kLoadedMemberBlocks);
        Rig rig(spec, bPriority);
        rig.lDataBlocks = spec.lBlocks;
        if (!rig.host || !rig.WaitForStart()) {
            std::fprintf(stderr, "rebuild_bench: priority %u: no rebuild started\n", bPriority);
            return 1;
        }
        // The rebuild alone a while (its rate with an idle host), then the writes.
        uint32_t p0 = fw::dGetRebuildPosition();
        uint64_t v0 = rig.board->clock().Now();
        auto w0 = std::chrono::steady_clock::now();
        rig.board->RunUntil([] { return false; }, 1'000'000'000ull);
        const double idleVirtual = double(fw::dGetRebuildPosition() - p0) / (double(rig.board->clock().Now() - v0) * 1e-9);
        const double idleWall = double(fw::dGetRebuildPosition() - p0) / benchref::Seconds(w0, std::chrono::steady_clock::now());
        // Writes enough to fill the cache first: from then on the writes
        // answered are the writes the drives take, in both measurements.
        if (rig.Writes(3 * kWrites)[0] < 0) {
            std::fprintf(stderr, "rebuild_bench: priority %u: a write failed\n", bPriority);
            return 1;
        }
        p0 = fw::dGetRebuildPosition();
        const uint64_t regenerated0 = fw::psGetRebuildControl()->lRegenReadBlocks;
        v0 = rig.board->clock().Now();
        w0 = std::chrono::steady_clock::now();
        const std::array<double, 2> during = rig.Writes(0, kLoadedWrites);
        const double rebuilt = double(fw::dGetRebuildPosition() - p0);
        const double regenerated = double(fw::psGetRebuildControl()->lRegenReadBlocks - regenerated0);
        const bool fStillRunning = rig.Rebuilding();
        const double busyVirtual = rebuilt / (double(rig.board->clock().Now() - v0) * 1e-9);
        const double busyWall = rebuilt / benchref::Seconds(w0, std::chrono::steady_clock::now());
        const double hostBlocks = double(kLoadedWrites) * bench::kSpreadBlocks;
        if (during[0] < 0 || !rig.WaitForEnd()) {
            std::fprintf(stderr, "rebuild_bench: priority %u: a write failed or the rebuild did not end\n", bPriority);
            return 1;
        }
        // The writes before reach the drives first, as they did before the
        // measurement during the rebuild.
        rig.board->RunUntil([] { return false; }, 5'000'000'000ull);
        const std::array<double, 2> after = rig.Writes(kWrites).front() < 0 ? std::array<double, 2>{-1, -1}
                                                                            : rig.Writes(4 * kWrites, kLoadedWrites);
        if (after[0] < 0) {
            std::fprintf(stderr, "rebuild_bench: priority %u: a write failed\n", bPriority);
            return 1;
        }
        std::printf("%-10u %16.3f %16.3f %16.3f %16.3f %13.0f%% %13.0f%%%s\n", bPriority, after[0] / during[0],
                    after[1] / during[1], busyVirtual / idleVirtual, busyWall / idleWall,
                    100 * regenerated / (regenerated + hostBlocks), 100 * rebuilt / (rebuilt + hostBlocks),
                    fStillRunning ? "" : "  (the rebuild ended before the writes did)");
    }
    return 0;
}
