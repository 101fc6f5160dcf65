// 4 KiB host commands per second along the whole road of a booted
// controller: a simulated host on the Fibre Channel fabric -> host chip
// model -> target engine -> write-back cache -> RAID 0 over four
// memory-backed drives, and back.  Writes land at addresses spread over the
// logical drive (no two join a stream) or one after another (gathered into
// streams); either is answered from the cache and flushed by the controller
// meanwhile.  Reads come back from the drives.
// Thirty-two commands are kept in flight.  Against memcpy of the same bytes,
// timed in the same run; the board runs in virtual time, so what is timed
// is the work of the firmware and of the board's models.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "copy_reference.h"
#include "../tests/system/road_config.h"
#include "executive/startup.h"
#include "hw/scsi.h"
#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/fc_fabric.h"
#include "sim/fc_host.h"
#include "sim/isp_chip.h"
#include "sim/sas_controller.h"
#include "target/host_command_pool.h"

namespace {

constexpr uint32_t kCommands = 20000;
constexpr unsigned kInFlight = 32;
constexpr uint32_t kBlocks = 8;   // 4 KiB
constexpr uint64_t kSpan = 1u << 18;   // blocks the addresses spread over
constexpr unsigned kRounds = 3;

std::vector<uint8_t> Cdb10(uint8_t bOpcode, uint64_t lba) {
    std::vector<uint8_t> ab(10, 0);
    ab[0] = bOpcode;
    fw::PutBe32(ab.data() + 2, static_cast<uint32_t>(lba));
    fw::PutBe16(ab.data() + 7, kBlocks);
    return ab;
}

enum class Kind { RandomWrite, SequentialWrite, RandomRead };

// kCommands commands, kInFlight at a time; false when one failed.
bool RunCommands(sim::FcHost& host, Kind kind) {
    const bool fWrite = kind != Kind::RandomRead;
    sim::FcpCommand c;
    c.dataOut.assign(fWrite ? kBlocks * roadtest::kBlock : 0, 0x5A);
    c.dataInLength = fWrite ? 0 : kBlocks * roadtest::kBlock;
    std::deque<uint32_t> inFlight;
    for (uint32_t i = 0; i < kCommands || !inFlight.empty();) {
        while (i < kCommands && inFlight.size() < kInFlight) {
            const uint64_t lba = kind == Kind::SequentialWrite ? uint64_t(i) * kBlocks % kSpan
                                                               : (uint64_t(i) * 2654435761u) % (kSpan / kBlocks) * kBlocks;
            c.cdb = Cdb10(fWrite ? fw::SCSI_WRITE10 : fw::SCSI_READ10, lba);
            inFlight.push_back(host.Submit(c));
            ++i;
        }
        const sim::FcpResult r = host.Wait(inFlight.front());
        host.initiator().Forget(inFlight.front());
        inFlight.pop_front();
        if (r.outcome != sim::FcpResult::Outcome::Done || r.status != 0) return false;
    }
    return true;
}

}  // namespace

int main() {
    sim::ChassisOptions drives;
    drives.drives = 4;
    sim::Chassis chassis(drives);
    sim::BoardConfig config;
    const roadtest::ArraySpec array{"RAID 0", fw::RAID_LEVEL_0, 4, 128};
    const std::vector<uint8_t> image =
        roadtest::RoadConfiguration(chassis, array, 0x200000A55A000000ull | (config.wwn & 0xFFFFFFull));
    for (unsigned s = 1; s <= array.bDrives; ++s) copytest::PlaceCopy(*chassis.DriveAt(s), image);

    sim::FcFabric fabric;
    sim::Board board(config);
    board.sasController().AttachChassis(&chassis);
    for (uint8_t chip = 1; chip <= 2; ++chip) {
        if (sim::IspChip* p = sim::FindIspChip(board, chip)) p->AttachFabric(fabric);
    }
    board.SetResetEntry(&fw::ControllerEntry);
    board.Boot();
    board.RunUntil([&] { return board.ConsoleText().find("Initialization Complete\r\n") != std::string::npos; },
                   120'000'000'000ull);
    sim::FcHost host(board, fabric, *sim::FindIspChip(board, 1), 0x2100001B32000001ull);
    if (!host.LogIn()) {
        std::fprintf(stderr, "host_road_bench: the controller did not come up\n%s", board.ConsoleText().c_str());
        return 1;
    }
    // The power-on unit attention goes to the first command.
    for (int i = 0; i < 4; ++i) {
        if (host.Send(0, Cdb10(fw::SCSI_READ10, 0), {}, kBlocks * roadtest::kBlock).status == 0) break;
    }

    // Writes first (the first round has the drive models allocate their
    // storage), then reads of what they wrote; the best round of each.
    const Kind aKinds[] = {Kind::RandomWrite, Kind::SequentialWrite, Kind::RandomRead};
    double adBest[3] = {1e30, 1e30, 1e30};
    for (unsigned w = 0; w < 3; ++w) {
        for (unsigned k = 0; k < kRounds; ++k) {
            const auto start = std::chrono::steady_clock::now();
            if (!RunCommands(host, aKinds[w])) {
                std::fprintf(stderr, "host_road_bench: a command failed\n");
                return 1;
            }
            adBest[w] = std::min(adBest[w], benchref::Seconds(start, std::chrono::steady_clock::now()));
        }
    }

    // Reference: memcpy of the same 4 KiB per command.
    const double copy = benchref::MemcpyRate(kBlocks * 512, kCommands * 20, kRounds);
    std::printf("memcpy of 4 KiB: %.0f per second\n", copy);
    const char* apszKind[] = {"cached writes, spread", "cached writes, sequential", "reads, spread"};
    for (unsigned w = 0; w < 3; ++w) {
        const double rate = kCommands / adBest[w];
        std::printf("host -> FC -> target -> cache -> RAID 0, 4 KiB %-26s %9.0f per second (memcpy ratio %.4f)\n",
                    apszKind[w], rate, rate / copy);
    }
    return 0;
}
