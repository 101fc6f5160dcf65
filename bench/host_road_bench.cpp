// 4 KiB host commands along the whole road of a booted controller: a
// simulated host on the Fibre Channel fabric -> host chip model -> target
// engine -> write-back cache -> RAID 0 over four memory-backed drives, and
// back.  Thirty-two commands are kept in flight.
//
// - cached writes, spread: addresses spread over the logical drive, so no
//   two join a stream; answered from the cache, flushed meanwhile;
// - cached writes, sequential: one after another, gathered into streams;
// - reads, hit: each read right behind a write of the same blocks, served
//   from that write's buffer (both commands count);
// - reads, miss: spread over blocks written and flushed before, from the
//   drives.
//
// Every block read was written first.  Each workload is timed beside memcpy
// of the same bytes in alternating rounds of the same run; the board runs in
// virtual time, so what is timed is the work of the firmware and of the
// board's models.  Under bench/count-instructions each workload is counted
// instead; with --split, on a build with line information, its cost is split
// between the firmware and the board.
//
// Then each workload again, in alternating rounds, on this controller and on
// a second board running the same firmware built without its per-command
// statistics: the cost of collecting them, as the ratio of the two rates
// along the whole road and of the firmware's own time in it.
#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "../tests/system/road_config.h"
#include "copy_reference.h"
#include "executive/startup.h"
#include "hw/scsi.h"
#include "fc_road.h"
#include "measure.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/fc_fabric.h"
#include "sim/fc_host.h"
#include "sim/isp_chip.h"
#include "sim/sas_controller.h"

namespace fw_bare {
void ControllerEntry();
}  // namespace fw_bare

namespace {

constexpr unsigned kInFlight = 32;
constexpr uint32_t kBlocks = 8;              // 4 KiB
constexpr uint64_t kSpan = 1u << 16;         // blocks the addresses spread over
constexpr uint32_t kPlaces = kSpan / kBlocks;
constexpr uint32_t kBatch = 1024;            // commands per batch
constexpr unsigned kDrives = 4;

enum class Kind { SpreadWrite, SequentialWrite, ReadHit, ReadMiss };

// An odd multiplier walks every place of a power-of-two span once per round.
uint64_t SpreadLba(uint64_t i) { return (i * 2654435761u) % kPlaces * kBlocks; }

class Road {
public:
    explicit Road(sim::FcHost& host) : m_host(host) {
        m_write.dataOut.assign(kBlocks * roadtest::kBlock, 0x5A);
        m_write.cdb.assign(10, 0);
        m_write.cdb[0] = fw::SCSI_WRITE10;
        m_read.dataInLength = kBlocks * roadtest::kBlock;
        m_read.cdb.assign(10, 0);
        m_read.cdb[0] = fw::SCSI_READ10;
        fw::PutBe16(m_write.cdb.data() + 7, kBlocks);
        fw::PutBe16(m_read.cdb.data() + 7, kBlocks);
    }
    bool ok() const { return m_ok; }
    uint64_t reads() const { return m_reads; }
    // Commands kept in flight, at most kInFlight.
    void SetDepth(unsigned depth) {
        while (m_count != 0) Retire();
        m_depth = depth;
    }

    // kBatch commands of one kind, kInFlight at a time; how many ran.
    uint64_t Batch(Kind kind) {
        uint64_t done = 0;
        for (uint32_t n = 0; n < kBatch && m_ok; ++n) {
            switch (kind) {
            case Kind::SpreadWrite: Submit(m_write, SpreadLba(m_spread++)); break;
            case Kind::SequentialWrite: Submit(m_write, m_sequential++ * kBlocks % kSpan); break;
            case Kind::ReadHit: {
                const uint64_t lba = SpreadLba(m_spread++);
                Submit(m_write, lba);
                Submit(m_read, lba);
                ++done;
                break;
            }
            case Kind::ReadMiss: Submit(m_read, SpreadLba(m_spread++)); break;
            }
            ++done;
        }
        while (m_count != 0) Retire();
        return m_ok ? done : 0x7FFFFFFFu;
    }

    // Writes every place once, so that reads meet written blocks and the
    // drive models hold storage for all of them.
    bool WriteAll() {
        for (uint32_t i = 0; i < kPlaces && m_ok; ++i) Submit(m_write, uint64_t(i) * kBlocks);
        while (m_count != 0) Retire();
        return m_ok;
    }

private:
    void Submit(sim::FcpCommand& c, uint64_t lba) {
        while (m_count == m_depth) Retire();
        fw::PutBe32(c.cdb.data() + 2, static_cast<uint32_t>(lba));
        if (&c == &m_read) ++m_reads;
        m_tags[(m_first + m_count++) % kInFlight] = m_host.Submit(c);
    }
    // The answer is read where the initiator keeps it, as a host's adapter
    // leaves it in the host's buffers, not copied out.
    void Retire() {
        const uint32_t tag = m_tags[m_first];
        sim::FcInitiator& initiator = m_host.initiator();
        m_host.RunUntil([&] { return initiator.Finished(tag); });
        const sim::FcpResult& r = initiator.Result(tag);
        if (r.outcome != sim::FcpResult::Outcome::Done || r.status != 0) m_ok = false;
        initiator.Forget(tag);
        m_first = (m_first + 1) % kInFlight;
        --m_count;
    }

    sim::FcHost& m_host;
    sim::FcpCommand m_write, m_read;
    std::array<uint32_t, kInFlight> m_tags{};
    unsigned m_first = 0, m_count = 0, m_depth = kInFlight;
    uint64_t m_spread = 0, m_sequential = 0, m_reads = 0;
    bool m_ok = true;
};

uint64_t DriveReads(sim::Chassis& chassis) {
    uint64_t n = 0;
    for (unsigned s = 1; s <= kDrives; ++s) {
        n += chassis.DriveAt(s)->CommandCount(fw::SCSI_READ10) + chassis.DriveAt(s)->CommandCount(fw::SCSI_READ16);
    }
    return n;
}

// A controller on a board of its own, its RAID 0 over kDrives drives, and
// the host on its fabric.
struct Controller {
    explicit Controller(sim::FirmwareImage* firmware, void (*entry)()) {
        sim::ChassisOptions drives;
        drives.drives = kDrives;
        chassis = std::make_unique<sim::Chassis>(drives);
        sim::BoardConfig config;
        config.firmware = firmware;
        const roadtest::ArraySpec array{"RAID 0", fw::RAID_LEVEL_0, kDrives, 128};
        const std::vector<uint8_t> image =
            roadtest::RoadConfiguration(*chassis, array, 0x200000A55A000000ull | (config.wwn & 0xFFFFFFull));
        for (unsigned s = 1; s <= array.bDrives; ++s) copytest::PlaceCopy(*chassis->DriveAt(s), image);
        board = std::make_unique<sim::Board>(config);
        host = bench::StartFcRoad(*board, *chassis, fabric, "host_road_bench", entry);
        if (host) road = std::make_unique<Road>(*host);
    }
    bool ok() const { return road && road->ok(); }
    std::unique_ptr<sim::Chassis> chassis;
    sim::FcFabric fabric;
    std::unique_ptr<sim::Board> board;
    std::unique_ptr<sim::FcHost> host;
    std::unique_ptr<Road> road;
};

}  // namespace

int main() {
    Controller with(&fw::hwFirmwareImage, &fw::ControllerEntry);
    Controller without(&fw_bare::hwFirmwareImage, &fw_bare::ControllerEntry);
    if (!with.host || !without.host) return 1;
    sim::Chassis& chassis = *with.chassis;
    sim::FcHost& host = *with.host;
    Road& road = *with.road;

    benchref::Copies copies(kBlocks * roadtest::kBlock);
    if (!road.WriteAll() || !without.road->WriteAll()) {
        std::fprintf(stderr, "host_road_bench: a command failed\n");
        return 1;
    }
    struct Workload {
        const char* name;
        Kind kind;
    };
    const Workload workloads[] = {
        {"cached writes, spread", Kind::SpreadWrite},
        {"cached writes, sequential", Kind::SequentialWrite},
        {"reads, hit (behind a write)", Kind::ReadHit},
        {"reads, miss", Kind::ReadMiss},
    };
    bench::Pair results[std::size(workloads)];
    bench::Pair statistics[std::size(workloads)];
    double adDriveReads[std::size(workloads)] = {};
    // Board time per command, of one batch: what waiting inside the firmware
    // costs the hosts (the board skips it on the wall clock).
    double adVirtualUs[std::size(workloads)] = {};
    // One command at a time: board time per command is its latency.
    double adLatencyUs[std::size(workloads)] = {};
    for (size_t w = 0; w < std::size(workloads) && road.ok(); ++w) {
        const Kind kind = workloads[w].kind;
        // What the writes before left in the cache reaches the drives first.
        host.RunUntil([] { return false; }, 1'000'000'000ull);
        const uint64_t virtualStart = with.board->clock().Now();
        const uint64_t commands = road.Batch(kind);
        adVirtualUs[w] = double(with.board->clock().Now() - virtualStart) / 1000.0 / double(commands);
        host.RunUntil([] { return false; }, 1'000'000'000ull);
        road.SetDepth(1);
        const uint64_t latencyStart = with.board->clock().Now();
        const uint64_t single = road.Batch(kind);
        adLatencyUs[w] = double(with.board->clock().Now() - latencyStart) / 1000.0 / double(single);
        road.SetDepth(kInFlight);
        host.RunUntil([] { return false; }, 1'000'000'000ull);
        const uint64_t driveReads = DriveReads(chassis), hostReads = road.reads();
        results[w] = bench::MeasureBesideReference(
            workloads[w].name, [&] { return road.Batch(kind); }, "memcpy of 4 KiB", [&] { return copies.Run(kBatch); });
        if (road.reads() != hostReads) {
            adDriveReads[w] = double(DriveReads(chassis) - driveReads) / double(road.reads() - hostReads);
        }
    }
    for (size_t w = 0; w < std::size(workloads) && road.ok() && without.ok(); ++w) {
        const Kind kind = workloads[w].kind;
        host.RunUntil([] { return false; }, 1'000'000'000ull);
        without.host->RunUntil([] { return false; }, 1'000'000'000ull);
        char with[64], without_[64];
        std::snprintf(with, sizeof with, "%s, with statistics", workloads[w].name);
        std::snprintf(without_, sizeof without_, "%s, without statistics", workloads[w].name);
        statistics[w] = bench::MeasureBesideReference(
            with, [&] { return road.Batch(kind); }, without_, [&] { return without.road->Batch(kind); }, true);
        if (!RUNNING_ON_VALGRIND) bench::SampleSides(statistics[w].reference, [&] { return without.road->Batch(kind); });
    }
    if (!road.ok() || !without.ok()) {
        std::fprintf(stderr, "host_road_bench: a command failed\n");
        return 1;
    }

    std::printf("host -> FC -> target -> cache -> RAID 0, 4 KiB, %u in flight, rounds of at least %.0f ms, best of %d\n",
                kInFlight, bench::kRoundSeconds * 1000, bench::kRounds);
    for (size_t w = 0; w < std::size(workloads); ++w) {
        const bench::Result& r = results[w].measured;
        const bench::Result& copy = results[w].reference;
        std::printf("%-28s %9.0f cmd/s %7.0f ns/cmd%s  memcpy ratio %.4f  drive reads per read %.2f"
                    "  board %.2f us/cmd, %.1f us at depth 1\n",
                    workloads[w].name, r.OpsPerSecond(), r.NsPerOp(), r.InstructionsPerOp("cmd").c_str(),
                    r.OpsPerSecond() / copy.OpsPerSecond(), adDriveReads[w], adVirtualUs[w], adLatencyUs[w]);
    }
    // The time of a command with statistics over its time without: along the
    // whole road, and of the firmware's own part of it (the road's time by
    // the sampled firmware share).
    std::printf("\nper-command statistics: time per command with them / without them\n");
    const bool fCounted = statistics[0].measured.instructions != 0;
    std::printf("%-28s %12s %12s %12s %14s %16s\n", "", "whole road", "firmware", fCounted ? "instr" : "",
                "firmware with", "firmware without");
    for (size_t w = 0; w < std::size(workloads); ++w) {
        const bench::Result& on = statistics[w].measured;
        const bench::Result& off = statistics[w].reference;
        const double road = on.NsPerOp() / off.NsPerOp();
        const double firmware = on.NsPerOp() * on.firmwareShare / (off.NsPerOp() * off.firmwareShare);
        char instructions[32] = "";
        if (on.instructions != 0 && off.instructions != 0) {
            std::snprintf(instructions, sizeof instructions, "%.4f",
                          double(on.instructions) / double(on.ops) / (double(off.instructions) / double(off.ops)));
        }
        std::printf("%-28s %12.4f %12.4f %12s %14s %16s\n", workloads[w].name, road, firmware, instructions,
                    on.Share().c_str(), off.Share().c_str());
    }
    bench::NoteInstructions("build-bench/bench/host_road_bench");
    return 0;
}
