// The processor's bus performance monitor: a time stamp at 100 counts a
// microsecond and fourteen event counters, counting in the mode last
// written to its mode register from the last restart of timer 1.  The
// counters are worked out from the board's own traffic since then: the
// register accesses (the processor reaching the chips through its address
// translation unit), the transfers and bytes that reached buffer memory
// by address (the chips' DMA) and the XOR accelerator's descriptors and
// bytes.  Tests can hold the registers at values of their own.
#pragma once

#include <array>
#include <cstdint>

#include "hw/bus_monitor.h"
#include "sim/bus.h"
#include "sim/timers.h"

namespace sim {

class Board;

class BusMonitor : public Device, public Timer1Watcher {
public:
    static constexpr uint32_t kBase = fw::BUS_MONITOR_BASE;
    static constexpr uint32_t kSize = fw::BUS_MONITOR_SIZE;
    // A bus master waits this many cycles for each grant.
    static constexpr uint64_t kGrantCycles = 2;
    // Bytes a data phase moves: the external buses are 64 bits wide, the
    // internal bus 128.
    static constexpr uint64_t kBusBytesPerCycle = 8;
    static constexpr uint64_t kInternalBytesPerCycle = 16;

    explicit BusMonitor(Board& board);

    uint32_t Read(uint32_t address, unsigned width) override;
    void Write(uint32_t address, uint32_t value, unsigned width) override;
    void Timer1ReloadAllOnes() override { m_wrap = 0; }
    void Timer1Started() override;

    // What the registers show.
    struct Values {
        uint32_t timeStamp = 0;
        uint32_t wrap = 0;
        std::array<uint32_t, fw::BUS_MONITOR_COUNTERS> counters{};
    };
    // Holds the registers at these values until Release.
    void Hold(const Values& values) {
        m_held = values;
        m_holding = true;
    }
    void Release() { m_holding = false; }
    // The registers as they stand now.
    Values Sample();
    uint8_t mode() const { return m_countingMode; }

private:
    struct Traffic {
        uint64_t ns = 0;
        uint64_t registerAccesses = 0;
        uint64_t transfers = 0;
        uint64_t bytes = 0;
        uint64_t aauDescriptors = 0;
        uint64_t aauBytes = 0;
    };
    Traffic Now() const;
    // An event's count over the traffic since the start, in its bus's cycles.
    static uint64_t Count(fw::BUS_MONITOR_EVENT event, const Traffic& t, uint64_t busCycles, uint64_t internalCycles);

    Board& m_board;
    uint8_t m_modeRegister = 0;
    uint8_t m_countingMode = 0;
    Traffic m_start;
    uint32_t m_wrap = 0;
    bool m_holding = false;
    Values m_held;
};

}  // namespace sim
