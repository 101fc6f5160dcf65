#include "sim/bus_monitor.h"

#include <algorithm>

#include "sim/board.h"
#include "sim/xor_accelerator.h"

namespace sim {

namespace {
constexpr uint64_t kNsPerCount = 1000 / fw::BUS_MONITOR_COUNTS_PER_US;
constexpr uint64_t kWordLimit = uint64_t{1} << 32;
}  // namespace

BusMonitor::BusMonitor(Board& board) : m_board(board) { m_start = Now(); }

BusMonitor::Traffic BusMonitor::Now() const {
    Traffic t;
    t.ns = m_board.clock().Now();
    t.registerAccesses = m_board.bus().accesses();
    t.transfers = m_board.memory().transfers();
    t.bytes = m_board.memory().bytes();
    t.aauDescriptors = m_board.xorAccelerator().descriptorsRun();
    t.aauBytes = m_board.xorAccelerator().bytesMoved();
    return t;
}

void BusMonitor::Timer1Started() {
    m_countingMode = m_modeRegister;
    m_start = Now();
}

uint64_t BusMonitor::Count(fw::BUS_MONITOR_EVENT event, const Traffic& t, uint64_t busCycles,
                           uint64_t internalCycles) {
    // A DMA transfer is an address phase and its data phases; an access
    // through the translation unit an address and a data phase.
    const uint64_t dmaOwn = t.transfers + (t.bytes + kBusBytesPerCycle - 1) / kBusBytesPerCycle;
    const uint64_t atuOwn = 2 * t.registerAccesses;
    const uint64_t aauOwn = t.aauDescriptors + t.aauBytes / kInternalBytesPerCycle;
    const uint64_t coreOwn = t.registerAccesses;
    const uint64_t busBusy = dmaOwn + atuOwn;
    const uint64_t internalBusy =
        t.transfers + t.bytes / kInternalBytesPerCycle + t.registerAccesses + aauOwn + coreOwn;
    switch (event) {
    case fw::BME_BUS_IDLE: return busCycles - std::min(busCycles, busBusy);
    case fw::BME_BUS_BUSY: return busBusy;
    case fw::BME_DMA_LATENCY: return kGrantCycles * t.transfers;
    case fw::BME_DMA_GRANTS: return t.transfers;
    case fw::BME_DMA_OWN: return dmaOwn;
    case fw::BME_ATU_LATENCY: return kGrantCycles * t.registerAccesses;
    case fw::BME_ATU_GRANTS: return t.registerAccesses;
    case fw::BME_ATU_OWN: return atuOwn;
    case fw::BME_INTERNAL_IDLE: return internalCycles - std::min(internalCycles, internalBusy);
    case fw::BME_INTERNAL_BUSY: return internalBusy;
    case fw::BME_CORE_LATENCY: return t.registerAccesses;
    case fw::BME_CORE_GRANTS: return t.registerAccesses;
    case fw::BME_CORE_OWN: return coreOwn;
    case fw::BME_AAU_LATENCY: return kGrantCycles * t.aauDescriptors;
    case fw::BME_AAU_GRANTS: return t.aauDescriptors;
    case fw::BME_AAU_OWN: return aauOwn;
    // Nothing on this board queues on the secondary bus, backs off or
    // retries: a single master at a time never meets another.
    default: return 0;
    }
}

BusMonitor::Values BusMonitor::Sample() {
    if (m_holding) return m_held;
    const Traffic now = Now();
    Traffic t;
    t.ns = now.ns - m_start.ns;
    t.registerAccesses = now.registerAccesses - m_start.registerAccesses;
    t.transfers = now.transfers - m_start.transfers;
    t.bytes = now.bytes - m_start.bytes;
    t.aauDescriptors = now.aauDescriptors - m_start.aauDescriptors;
    t.aauBytes = now.aauBytes - m_start.aauBytes;
    const uint64_t stamp = t.ns / kNsPerCount;
    const uint64_t busCycles = stamp * 6666 / 2500;
    const uint64_t internalCycles = 4 * stamp;
    Values v;
    if (stamp >= kWordLimit) m_wrap |= fw::BUS_MONITOR_WRAP_GTSR;
    v.timeStamp = static_cast<uint32_t>(stamp);
    for (uint32_t c = 0; c < fw::BUS_MONITOR_COUNTERS; ++c) {
        const uint64_t n = Count(fw::BUS_MONITOR_EVENTS[m_countingMode][c], t, busCycles, internalCycles);
        if (n >= kWordLimit) m_wrap |= 1u << c;
        v.counters[c] = static_cast<uint32_t>(n);
    }
    v.wrap = m_wrap;
    return v;
}

uint32_t BusMonitor::Read(uint32_t address, unsigned) {
    const uint32_t offset = address - kBase;
    if (offset == fw::BUS_MONITOR_MODE - kBase) return m_modeRegister;
    if (offset < fw::BUS_MONITOR_WRAP - kBase) return 0;
    const Values v = Sample();
    if (offset == fw::BUS_MONITOR_WRAP - kBase) return v.wrap;
    if (offset == fw::BUS_MONITOR_GTSR - kBase) return v.timeStamp;
    const uint32_t counter = (offset - (fw::BUS_MONITOR_PECR1 - kBase)) / 4;
    return offset >= fw::BUS_MONITOR_PECR1 - kBase && counter < fw::BUS_MONITOR_COUNTERS ? v.counters[counter] : 0;
}

void BusMonitor::Write(uint32_t address, uint32_t value, unsigned) {
    if (address == fw::BUS_MONITOR_MODE) m_modeRegister = static_cast<uint8_t>(value % fw::BUS_MONITOR_MODES);
}

}  // namespace sim
