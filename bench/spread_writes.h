// 4 KiB host writes at spread places of a logical drive, a fixed number in
// flight: what the background-job benchmarks load a controller with while
// its job runs and again once it is over, as a batch timed whole or as the
// rate the writes sustain once the write-back cache has taken its burst.
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

// 4 KiB writes over the first `dataBlocks` blocks of LUN 0, kSpreadInFlight
// in flight, the places walked by an odd multiplier from `seed`.
class SpreadWriter {
public:
    SpreadWriter(sim::FcHost& host, uint64_t dataBlocks, uint32_t seed)
        : m_host(host), m_places(dataBlocks / kSpreadBlocks), m_next(seed) {
        m_command.dataOut.assign(kSpreadBlocks * roadtest::kBlock, 0x5A);
        m_command.cdb.assign(10, 0);
        m_command.cdb[0] = fw::SCSI_WRITE10;
        fw::PutBe16(m_command.cdb.data() + 7, kSpreadBlocks);
    }
    bool ok() const { return m_ok; }
    // Sends the next write, after the oldest is answered when kSpreadInFlight are out.
    void Submit() {
        while (m_count == kSpreadInFlight) Retire();
        fw::PutBe32(m_command.cdb.data() + 2, uint32_t((uint64_t(m_next++) * 2654435761u) % m_places * kSpreadBlocks));
        m_tags[(m_first + m_count++) % kSpreadInFlight] = m_host.Submit(m_command);
    }
    void Drain() {
        while (m_count != 0) Retire();
    }
    // Writes answered so far.
    uint64_t answered() const { return m_answered; }

private:
    void Retire() {
        sim::FcInitiator& initiator = m_host.initiator();
        const uint32_t tag = m_tags[m_first];
        m_host.RunUntil([&] { return initiator.Finished(tag); });
        const sim::FcpResult& r = initiator.Result(tag);
        m_ok = m_ok && r.outcome == sim::FcpResult::Outcome::Done && r.status == 0;
        initiator.Forget(tag);
        m_first = (m_first + 1) % kSpreadInFlight;
        --m_count;
        ++m_answered;
    }
    sim::FcHost& m_host;
    sim::FcpCommand m_command;
    uint64_t m_places;
    uint32_t m_next;
    std::array<uint32_t, kSpreadInFlight> m_tags{};
    unsigned m_first = 0, m_count = 0;
    uint64_t m_answered = 0;
    bool m_ok = true;
};

// `writes` writes: the virtual and wall seconds they took (both negative
// when one failed).
inline std::array<double, 2> SpreadWrites(sim::Board& board, sim::FcHost& host, uint64_t dataBlocks, uint32_t writes,
                                          uint32_t seed) {
    SpreadWriter writer(host, dataBlocks, seed);
    const uint64_t v0 = board.clock().Now();
    const auto w0 = std::chrono::steady_clock::now();
    for (uint32_t i = 0; i < writes; ++i) writer.Submit();
    writer.Drain();
    const double virtualSeconds = double(board.clock().Now() - v0) * 1e-9;
    const double wallSeconds = benchref::Seconds(w0, std::chrono::steady_clock::now());
    return writer.ok() ? std::array<double, 2>{virtualSeconds, wallSeconds} : std::array<double, 2>{-1, -1};
}

// What the writes sustain: writes kept going for `warmNs` of board time (the
// write-back cache takes a burst of them at first, far faster than they
// reach the drives), then counted over the next `windowNs`.
struct Sustained {
    double perVirtualSecond = -1;   // negative when a write failed
    double perWallSecond = -1;
};
inline Sustained SustainedWrites(sim::Board& board, sim::FcHost& host, uint64_t dataBlocks, uint32_t seed,
                                 uint64_t warmNs, uint64_t windowNs) {
    SpreadWriter writer(host, dataBlocks, seed);
    const uint64_t v0 = board.clock().Now();
    while (writer.ok() && board.clock().Now() - v0 < warmNs) writer.Submit();
    const uint64_t v1 = board.clock().Now();
    const uint64_t n1 = writer.answered();
    const auto w1 = std::chrono::steady_clock::now();
    while (writer.ok() && board.clock().Now() - v1 < windowNs) writer.Submit();
    const double virtualSeconds = double(board.clock().Now() - v1) * 1e-9;
    const double wallSeconds = benchref::Seconds(w1, std::chrono::steady_clock::now());
    const double writes = double(writer.answered() - n1);
    writer.Drain();
    if (!writer.ok()) return {};
    return {writes / virtualSeconds, writes / wallSeconds};
}

}  // namespace bench
