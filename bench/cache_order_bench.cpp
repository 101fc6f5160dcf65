// The read-ahead slots and the write sort, each against the same workload
// without it, in alternating rounds of one run on a booted controller with
// 512 MiB of SDRAM: a simulated host on the Fibre Channel fabric -> target
// engine -> cache -> RAID 5 over four memory-backed drives.
//
// - sequential 64 KiB reads, eight in flight, over a region written before:
//   read-ahead on against off;
// - random 4 KiB write-back writes, thirty-two in flight, each batch until
//   the cache has written it: the write sort on against off.
//
// Printed for each: host commands per second of wall time and per second
// of the board's virtual time (until the host has its answers), and the
// drive commands per host command, on and off, with the ratios on/off.  The
// wall time of a write batch includes the cache writing it out.
#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <vector>

#include "../tests/system/road_config.h"
#include "cache/write_sort.h"
#include "console/option_settings.h"
#include "eventlog/statistics.h"
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

namespace {

constexpr unsigned kDrives = 4;
constexpr uint64_t kRegion = 1u << 17;   // blocks read and written (64 MiB)
constexpr uint32_t kBatch = 256;         // host commands per batch

// Host commands of one shape, a number of them in flight.
class Stream {
public:
    Stream(sim::FcHost& host, uint8_t bOpcode, uint32_t blocks, unsigned inFlight)
        : m_host(host), m_blocks(blocks), m_inFlight(inFlight) {
        m_cmd.cdb.assign(10, 0);
        m_cmd.cdb[0] = bOpcode;
        fw::PutBe16(m_cmd.cdb.data() + 7, static_cast<uint16_t>(blocks));
        if (bOpcode == fw::SCSI_READ10) m_cmd.dataInLength = blocks * roadtest::kBlock;
        else m_cmd.dataOut.assign(blocks * roadtest::kBlock, 0x5A);
    }
    bool ok() const { return m_ok; }
    uint64_t Batch(bool sequential) {
        for (uint32_t n = 0; n < kBatch && m_ok; ++n) {
            uint64_t lba = 0;
            if (sequential) {
                lba = m_next;
                m_next = (m_next + m_blocks) % kRegion;
            } else {
                lba = m_rng() % (kRegion / m_blocks) * m_blocks;
            }
            Submit(lba);
        }
        while (!m_tags.empty()) Retire();
        return m_ok ? kBatch : 0x7FFFFFFFu;
    }

private:
    void Submit(uint64_t lba) {
        while (m_tags.size() == m_inFlight) Retire();
        fw::PutBe32(m_cmd.cdb.data() + 2, static_cast<uint32_t>(lba));
        m_tags.push_back(m_host.Submit(m_cmd));
    }
    void Retire() {
        const uint32_t tag = m_tags.front();
        m_tags.erase(m_tags.begin());
        sim::FcInitiator& initiator = m_host.initiator();
        m_host.RunUntil([&] { return initiator.Finished(tag); });
        const sim::FcpResult& r = initiator.Result(tag);
        if (r.outcome != sim::FcpResult::Outcome::Done || r.status != 0) m_ok = false;
        initiator.Forget(tag);
    }

    sim::FcHost& m_host;
    sim::FcpCommand m_cmd;
    uint32_t m_blocks;
    unsigned m_inFlight;
    std::vector<uint32_t> m_tags;
    uint64_t m_next = 0;
    std::mt19937 m_rng{11};
    bool m_ok = true;
};

uint64_t DriveCommands(sim::Chassis& chassis, bool reads) {
    uint64_t n = 0;
    for (unsigned s = 1; s <= kDrives; ++s) {
        const sim::Drive& d = *chassis.DriveAt(s);
        n += reads ? d.CommandCount(fw::SCSI_READ10) + d.CommandCount(fw::SCSI_READ16)
                   : d.CommandCount(fw::SCSI_WRITE10) + d.CommandCount(fw::SCSI_WRITE16);
    }
    return n;
}

// What one side of a pair cost: host commands, drive commands, virtual time.
struct Tally {
    uint64_t host = 0, drive = 0, virtualNs = 0;
    double DrivePerHost() const { return host ? double(drive) / double(host) : 0; }
    double PerVirtualSecond() const { return virtualNs ? double(host) * 1e9 / double(virtualNs) : 0; }
};

// One batch with the feature set as asked, tallied: the virtual time until
// the host has its answers, the drive commands until `drain()` is done.
template <typename Set, typename Run, typename Drain>
uint64_t Tallied(Tally& t, sim::Board& board, sim::Chassis& chassis, bool reads, Set set, Run run, Drain drain) {
    set();
    const uint64_t drive = DriveCommands(chassis, reads), at = board.clock().Now();
    const uint64_t n = run();
    t.virtualNs += board.clock().Now() - at;
    drain();
    t.host += n;
    t.drive += DriveCommands(chassis, reads) - drive;
    return n;
}

void Print(const char* name, const bench::Pair& p, const Tally& on, const Tally& off) {
    std::printf("%-34s on %8.0f cmd/s %8.0f cmd/virtual s %6.3f drive cmd/cmd | off %8.0f cmd/s %8.0f cmd/virtual s "
                "%6.3f drive cmd/cmd | ratio on/off: wall %.3f virtual %.3f drive cmds %.3f\n",
                name, p.measured.OpsPerSecond(), on.PerVirtualSecond(), on.DrivePerHost(), p.reference.OpsPerSecond(),
                off.PerVirtualSecond(), off.DrivePerHost(), p.measured.OpsPerSecond() / p.reference.OpsPerSecond(),
                on.PerVirtualSecond() / off.PerVirtualSecond(), on.DrivePerHost() / off.DrivePerHost());
}

}  // namespace

int main() {
    sim::ChassisOptions drives;
    drives.drives = kDrives;
    sim::Chassis chassis(drives);
    sim::BoardConfig config;
    config.sdramBytes = 512u << 20;
    const roadtest::ArraySpec array{"RAID 5", fw::RAID_LEVEL_5, kDrives, 128};
    std::vector<uint8_t> image =
        roadtest::RoadConfiguration(chassis, array, 0x200000A55A000000ull | (config.wwn & 0xFFFFFFull));
    // Read-ahead of up to 2 MB and the write sort for the array; the logical
    // drive this controller's alone, so reads hold no stripe access record.
    copytest::Image(image)->asRank[0].wReadAhead = 4;
    copytest::Image(image)->asRank[0].bCachePolicy = fw::POLICY_WRITE_BACK | fw::POLICY_SHARED_OUTSTANDING;
    copytest::Image(image)->asLd[0].bAvailability = 0x03;
    copytest::Seal(image);
    for (unsigned s = 1; s <= array.bDrives; ++s) copytest::PlaceCopy(*chassis.DriveAt(s), image);

    sim::FcFabric fabric;
    sim::Board board(config);
    std::unique_ptr<sim::FcHost> started = bench::StartFcRoad(board, chassis, fabric, "cache_order_bench");
    if (!started) return 1;
    sim::FcHost& host = *started;
    fw::SetStreamingReadAhead(fw::TRUE);

    // The region written once in large writes, so every block read was written.
    Stream fill(host, fw::SCSI_WRITE10, 1024, 8);
    for (uint64_t n = 0; n < kRegion / 1024 / kBatch + 1 && fill.ok(); ++n) (void)fill.Batch(true);
    host.RunUntil([] { return false; }, 2'000'000'000ull);

    Stream reads(host, fw::SCSI_READ10, 128, 8);
    Tally readsOn, readsOff;
    const bench::Pair readPair = bench::MeasureBesideReference(
        "sequential 64 KiB reads, read-ahead on",
        [&] {
            return Tallied(readsOn, board, chassis, true, [] { fw::SetReadAheadCaching(fw::TRUE); },
                           [&] { return reads.Batch(true); }, [] {});
        },
        "sequential 64 KiB reads, read-ahead off",
        [&] {
            return Tallied(readsOff, board, chassis, true, [] { fw::SetReadAheadCaching(fw::FALSE); },
                           [&] { return reads.Batch(true); }, [] {});
        });

    // A batch of writes is tallied until the cache has written them all, so
    // that each side's drive writes are its own.
    Stream writes(host, fw::SCSI_WRITE10, 8, 32);
    auto WriteBatch = [&] { return writes.Batch(false); };
    auto Drain = [&] { host.RunUntil([] { return fw::dGetCacheWriteCount() == 0; }); };
    Tally writesOn, writesOff;
    const bench::Pair writePair = bench::MeasureBesideReference(
        "random 4 KiB writes, sort on",
        [&] {
            return Tallied(writesOn, board, chassis, false, [] { fw::SetWriteSortEnabled(fw::TRUE); }, WriteBatch, Drain);
        },
        "random 4 KiB writes, sort off",
        [&] {
            return Tallied(writesOff, board, chassis, false, [] { fw::SetWriteSortEnabled(fw::FALSE); }, WriteBatch, Drain);
        });
    if (!reads.ok() || !writes.ok() || !fill.ok()) {
        std::fprintf(stderr, "cache_order_bench: a command failed\n");
        return 1;
    }
    std::printf("host -> FC -> target -> cache -> RAID 5 (4 drives), 512 MiB, rounds of at least %.0f ms, best of %d\n",
                bench::kRoundSeconds * 1000, bench::kRounds);
    Print("sequential 64 KiB reads, read-ahead", readPair, readsOn, readsOff);
    Print("random 4 KiB writes, write sort", writePair, writesOn, writesOff);
    return 0;
}
