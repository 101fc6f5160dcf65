// 4 KiB host writes at spread places of a logical drive, a fixed number in
// flight: what the background-job benchmarks load a controller with while
// its job runs and again once it is over.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>

#include "../tests/system/road_config.h"
#include "copy_reference.h"
#include "hw/scsi.h"
#include "sim/board.h"
#include "sim/fc_host.h"

namespace bench {

constexpr unsigned kSpreadInFlight = 32;
constexpr uint32_t kSpreadBlocks = 8;   // 4 KiB

// `writes` writes over the first `dataBlocks` blocks of LUN 0, the places
// walked by an odd multiplier from `seed`: the virtual and wall seconds
// they took (both negative when one failed).
inline std::array<double, 2> SpreadWrites(sim::Board& board, sim::FcHost& host, uint64_t dataBlocks, uint32_t writes,
                                          uint32_t seed) {
    sim::FcpCommand c;
    c.dataOut.assign(kSpreadBlocks * roadtest::kBlock, 0x5A);
    c.cdb.assign(10, 0);
    c.cdb[0] = fw::SCSI_WRITE10;
    fw::PutBe16(c.cdb.data() + 7, kSpreadBlocks);
    std::array<uint32_t, kSpreadInFlight> tags{};
    unsigned first = 0, count = 0;
    bool ok = true;
    auto retire = [&] {
        sim::FcInitiator& initiator = host.initiator();
        const uint32_t tag = tags[first];
        host.RunUntil([&] { return initiator.Finished(tag); });
        const sim::FcpResult& r = initiator.Result(tag);
        ok = ok && r.outcome == sim::FcpResult::Outcome::Done && r.status == 0;
        initiator.Forget(tag);
        first = (first + 1) % kSpreadInFlight;
        --count;
    };
    const uint64_t places = dataBlocks / kSpreadBlocks;
    const uint64_t v0 = board.clock().Now();
    const auto w0 = std::chrono::steady_clock::now();
    for (uint32_t i = 0; i < writes; ++i) {
        while (count == kSpreadInFlight) retire();
        fw::PutBe32(c.cdb.data() + 2, uint32_t((uint64_t(i + seed) * 2654435761u) % places * kSpreadBlocks));
        tags[(first + count++) % kSpreadInFlight] = host.Submit(c);
    }
    while (count != 0) retire();
    const double virtualSeconds = double(board.clock().Now() - v0) * 1e-9;
    const double wallSeconds = benchref::Seconds(w0, std::chrono::steady_clock::now());
    return ok ? std::array<double, 2>{virtualSeconds, wallSeconds} : std::array<double, 2>{-1, -1};
}

}  // namespace bench
