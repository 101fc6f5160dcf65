// Write-back writes mirrored to the partner controller against the same
// writes on a lone controller, in one run: random 4 KiB writes, thirty-two
// in flight, from a host on Fibre Channel -> target -> cache -> RAID 5 over
// four memory-backed drives.  The lone controller's write-back cache answers
// a write once it holds it; the pair's only once the partner holds it too
// (a mirror message and its data over the drive-side link), and a write to
// a logical drive the partner may also write asks it for the rows first.
//
// The two firmware images of the program make one pair, so the lone
// controller's rounds run first, on a board of its own, and the pair's
// after it.  Printed: host writes per second of wall time and per second of
// board time for each, and the ratios pair/lone.
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "../tests/system/road_config.h"
#include "executive/startup.h"
#include "harness/dual_pair.h"
#include "hw/scsi.h"
#include "measure.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/fc_fabric.h"
#include "sim/fc_host.h"
#include "sim/isp_chip.h"
#include "sim/sas_controller.h"
#include "sim/side_by_side.h"

namespace {

constexpr unsigned kDrives = 4;
constexpr uint64_t kRegion = 1u << 17;   // blocks written (64 MiB)
constexpr uint32_t kBatch = 256;         // host writes per batch
constexpr unsigned kInFlight = 32;
constexpr uint32_t kBlocks = 8;          // 4 KiB
constexpr uint64_t kBootLimitNs = 120'000'000'000ull;
constexpr uint64_t kHostName = 0x2100001B32000001ull;

// A RAID 5 array over the drives with one logical drive, write-back; the
// pair's is mirrored too.
void PlaceArray(sim::Chassis& chassis, bool mirrored) {
    const roadtest::ArraySpec array{"RAID 5", fw::RAID_LEVEL_5, kDrives, 128};
    std::vector<uint8_t> image = roadtest::RoadConfiguration(
        chassis, array, 0x200000A55A000000ull | (sim::BoardConfig().wwn & 0xFFFFFFull));
    copytest::Image(image)->asRank[0].bCachePolicy =
        mirrored ? fw::POLICY_WRITE_BACK | fw::POLICY_MIRROR : fw::POLICY_WRITE_BACK;
    copytest::Seal(image);
    for (unsigned s = 1; s <= array.bDrives; ++s) copytest::PlaceCopy(*chassis.DriveAt(s), image);
}

bool Booted(sim::Board& board) {
    return board.ConsoleText().find("Initialization Complete\r\n") != std::string::npos;
}

// Random 4 KiB writes from one host, a number in flight; `run` moves the
// board(s) on until its condition holds.
class Writes {
public:
    using Run = std::function<void(const std::function<bool()>&)>;
    Writes(sim::FcHost& host, Run run) : m_host(host), m_run(std::move(run)) {
        m_cmd.cdb.assign(10, 0);
        m_cmd.cdb[0] = fw::SCSI_WRITE10;
        fw::PutBe16(m_cmd.cdb.data() + 7, static_cast<uint16_t>(kBlocks));
        m_cmd.dataOut.assign(kBlocks * roadtest::kBlock, 0x5A);
    }
    bool ok() const { return m_ok; }
    // One batch; its board time goes to `virtualNs`.
    uint64_t Batch(sim::Clock& clock, uint64_t* virtualNs) {
        const uint64_t at = clock.Now();
        for (uint32_t n = 0; n < kBatch && m_ok; ++n) {
            while (m_tags.size() == kInFlight) Retire();
            fw::PutBe32(m_cmd.cdb.data() + 2, static_cast<uint32_t>(m_rng() % (kRegion / kBlocks) * kBlocks));
            m_tags.push_back(m_host.Submit(m_cmd));
        }
        while (!m_tags.empty()) Retire();
        *virtualNs += clock.Now() - at;
        return m_ok ? kBatch : 0x7FFFFFFFu;
    }

private:
    void Retire() {
        const uint32_t tag = m_tags.front();
        m_tags.erase(m_tags.begin());
        sim::FcInitiator& initiator = m_host.initiator();
        m_run([&] { return initiator.Finished(tag); });
        const sim::FcpResult& r = initiator.Result(tag);
        if (r.outcome != sim::FcpResult::Outcome::Done || r.status != 0) m_ok = false;
        initiator.Forget(tag);
    }

    sim::FcHost& m_host;
    Run m_run;
    sim::FcpCommand m_cmd;
    std::vector<uint32_t> m_tags;
    std::mt19937 m_rng{11};
    bool m_ok = true;
};

// The host logged in and past its power-on unit attention.
bool HostReady(sim::FcHost& host, const Writes::Run& run) {
    sim::FcInitiator& initiator = host.initiator();
    run([&] { return host.target().Online(); });
    initiator.LogIn(host.target());
    run([&] { return initiator.LoginState(host.target()) != sim::FcInitiator::Login::Pending; });
    if (!host.LoggedIn()) return false;
    sim::FcpCommand tur;
    tur.cdb = {fw::SCSI_TEST_UNIT_READY, 0, 0, 0, 0, 0};
    for (int i = 0; i < 4; ++i) {
        const uint32_t tag = host.Submit(tur);
        run([&] { return initiator.Finished(tag); });
        const bool good = initiator.Result(tag).outcome == sim::FcpResult::Outcome::Done && initiator.Result(tag).status == 0;
        initiator.Forget(tag);
        if (good) return true;
    }
    return false;
}

}  // namespace

int main() {
    // The lone controller, on a clock of its own.
    bench::Result lone;
    uint64_t loneWrites = 0, loneNs = 0;
    {
        sim::ChassisOptions drives;
        drives.drives = kDrives;
        sim::Chassis chassis(drives);
        PlaceArray(chassis, false);
        sim::FcFabric fabric;
        sim::Board board(dual::Side::Config(nullptr, true));
        board.sasController().AttachChassis(&chassis);
        for (uint8_t chip = 1; chip <= 2; ++chip) sim::FindIspChip(board, chip)->AttachFabric(fabric);
        board.SetResetEntry(&fw::ControllerEntry);
        board.Boot();
        board.RunUntil([&] { return Booted(board); }, kBootLimitNs);
        sim::FcHost host(board, fabric, *sim::FindIspChip(board, 1), kHostName);
        const Writes::Run run = [&](const std::function<bool()>& done) { board.RunUntil(done, 5'000'000'000ull); };
        if (!HostReady(host, run)) {
            std::fprintf(stderr, "mirrored_write_bench: the lone controller did not come up\n%s",
                         board.ConsoleText().c_str());
            return 1;
        }
        Writes writes(host, run);
        lone = bench::Measure("random 4 KiB writes, lone controller", [&] {
            const uint64_t n = writes.Batch(board.clock(), &loneNs);
            loneWrites += n;
            return n;
        });
        if (!writes.ok()) {
            std::fprintf(stderr, "mirrored_write_bench: a lone controller's write failed\n");
            return 1;
        }
    }

    // The pair on one clock, the host on controller 0's port 1.
    bench::Result pair;
    uint64_t pairWrites = 0, pairNs = 0;
    {
        sim::ChassisOptions drives;
        drives.drives = kDrives;
        sim::Chassis chassis(drives);
        PlaceArray(chassis, true);
        sim::Clock clock;
        sim::FcFabric fabricA, fabricB;
        sim::Board a(dual::Side::Config(&clock, true)), b(dual::Side::Config(&clock, false));
        for (auto [board, fabric] : {std::pair{&a, &fabricA}, std::pair{&b, &fabricB}}) {
            board->sasController().AttachChassis(&chassis);
            for (uint8_t chip = 1; chip <= 2; ++chip) sim::FindIspChip(*board, chip)->AttachFabric(*fabric);
        }
        sim::Board::ConnectPartners(a, b);
        a.SetResetEntry(&fw::ControllerEntry);
        b.SetResetEntry(&fw_b::ControllerEntry);
        a.Boot();
        b.Boot();
        sim::RunSideBySide({&a, &b}, [&] { return Booted(a) && Booted(b); }, kBootLimitNs);
        sim::FcHost host(a, fabricA, *sim::FindIspChip(a, 1), kHostName);
        const Writes::Run run = [&](const std::function<bool()>& done) {
            sim::RunSideBySide({&a, &b}, done, 5'000'000'000ull);
        };
        if (!HostReady(host, run)) {
            std::fprintf(stderr, "mirrored_write_bench: the pair did not come up\n%s\n----\n%s",
                         a.ConsoleText().c_str(), b.ConsoleText().c_str());
            return 1;
        }
        Writes writes(host, run);
        pair = bench::Measure("random 4 KiB writes, mirrored to the partner", [&] {
            const uint64_t n = writes.Batch(clock, &pairNs);
            pairWrites += n;
            return n;
        });
        if (!writes.ok()) {
            std::fprintf(stderr, "mirrored_write_bench: a mirrored write failed\n");
            return 1;
        }
    }

    const double lonePerVirtual = double(loneWrites) * 1e9 / double(loneNs);
    const double pairPerVirtual = double(pairWrites) * 1e9 / double(pairNs);
    std::printf("host -> FC -> target -> write-back cache -> RAID 5 (4 drives), random 4 KiB writes, %u in flight, "
                "rounds of at least %.0f ms, best of %d\n",
                kInFlight, bench::kRoundSeconds * 1000, bench::kRounds);
    std::printf("lone controller       %8.0f writes/s %8.0f writes/board s%s\n", lone.OpsPerSecond(), lonePerVirtual,
                lone.InstructionsPerOp("write").c_str());
    std::printf("mirrored to partner   %8.0f writes/s %8.0f writes/board s%s\n", pair.OpsPerSecond(), pairPerVirtual,
                pair.InstructionsPerOp("write").c_str());
    std::printf("ratio mirrored/lone: wall %.3f board time %.3f\n", pair.OpsPerSecond() / lone.OpsPerSecond(),
                pairPerVirtual / lonePerVirtual);
    bench::NoteInstructions("build-bench/bench/mirrored_write_bench");
    return 0;
}
