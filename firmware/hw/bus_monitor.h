// The processor's bus performance monitor: a global time stamp and fourteen
// event counters, read by processor address.  The mode register chooses
// what the counters count; restarting timer 1 (coprocessor 6: its reload
// register set to all ones, then its mode written) clears the wrap flags
// and starts the time stamp and the counters afresh.
#pragma once

#include <cstdint>

namespace fw {

constexpr uint32_t BUS_MONITOR_BASE = 0xFFD81100;
constexpr uint32_t BUS_MONITOR_SIZE = 0x50;
constexpr uint32_t BUS_MONITOR_MODE = BUS_MONITOR_BASE + 0x00;     // the mode counted from the next start
constexpr uint32_t BUS_MONITOR_WRAP = BUS_MONITOR_BASE + 0x08;     // non-zero: a counter wrapped
constexpr uint32_t BUS_MONITOR_GTSR = BUS_MONITOR_BASE + 0x10;     // the time stamp
constexpr uint32_t BUS_MONITOR_PECR1 = BUS_MONITOR_BASE + 0x14;    // event counters 1..14, a word each
constexpr uint32_t BUS_MONITOR_COUNTERS = 14;
constexpr uint32_t BUS_MONITOR_MODES = 8;
// The time stamp's rate, in counts per microsecond.
constexpr uint32_t BUS_MONITOR_COUNTS_PER_US = 100;
// The wrap flag of the time stamp; counter n has bit n - 1.
constexpr uint32_t BUS_MONITOR_WRAP_GTSR = 1u << 31;

// What a counter counts.  The primary and secondary buses are counted in
// their own cycles (2.6664 per time stamp count), the internal bus in its
// (4 per count).  A master's latency is the cycles it waited for its
// grants, summed; dividing by its grants gives the mean wait.
enum BUS_MONITOR_EVENT : uint8_t {
    BME_NONE,
    BME_BUS_IDLE,           // primary or secondary bus: cycles with no master
    BME_BUS_BUSY,
    BME_DMA_LATENCY,        // the chips' DMA as bus master
    BME_DMA_GRANTS,
    BME_DMA_OWN,
    BME_ATU_LATENCY,        // the address translation unit: the processor reaching the chips
    BME_ATU_GRANTS,
    BME_ATU_OWN,
    BME_QUEUE_LATENCY,      // the secondary bus's queued transactions
    BME_QUEUE_GRANTS,
    BME_QUEUE_OWN,
    BME_INTERNAL_IDLE,
    BME_INTERNAL_BUSY,
    BME_CORE_LATENCY,       // the core on the internal bus
    BME_CORE_GRANTS,
    BME_CORE_OWN,
    BME_AAU_LATENCY,        // the XOR accelerator on the internal bus
    BME_AAU_GRANTS,
    BME_AAU_OWN,
    BME_BACK_OFFS,
    BME_ATU_RETRIES,
};

// Per mode, counters 1..14.  Mode 0 counts nothing; mode 4 is reserved.
constexpr BUS_MONITOR_EVENT BUS_MONITOR_EVENTS[BUS_MONITOR_MODES][BUS_MONITOR_COUNTERS] = {
    {},
    // 1: the primary bus and its masters
    {BME_BUS_IDLE, BME_BUS_BUSY, BME_DMA_LATENCY, BME_DMA_GRANTS, BME_DMA_OWN, BME_ATU_LATENCY, BME_ATU_GRANTS,
     BME_ATU_OWN},
    // 2: the secondary bus and its masters
    {BME_BUS_IDLE, BME_BUS_BUSY, BME_DMA_LATENCY, BME_DMA_GRANTS, BME_DMA_OWN, BME_ATU_LATENCY, BME_ATU_GRANTS,
     BME_ATU_OWN},
    // 3: the secondary bus as a whole and its queue
    {BME_BUS_IDLE, BME_BUS_BUSY, BME_DMA_LATENCY, BME_DMA_GRANTS, BME_BUS_BUSY, BME_QUEUE_LATENCY,
     BME_QUEUE_GRANTS},
    {},
    // 5: the internal bus and the XOR accelerator
    {BME_INTERNAL_IDLE, BME_INTERNAL_BUSY, BME_AAU_LATENCY, BME_AAU_GRANTS, BME_AAU_OWN},
    // 6: the internal bus's masters
    {BME_CORE_LATENCY, BME_CORE_GRANTS, BME_CORE_OWN, BME_DMA_LATENCY, BME_DMA_GRANTS, BME_DMA_OWN,
     BME_ATU_LATENCY, BME_ATU_GRANTS, BME_ATU_OWN, BME_BACK_OFFS, BME_BACK_OFFS, BME_ATU_RETRIES},
    // 7: every bus's load
    {BME_INTERNAL_IDLE, BME_INTERNAL_BUSY, BME_BUS_IDLE, BME_BUS_BUSY, BME_DMA_OWN, BME_BUS_IDLE, BME_BUS_BUSY,
     BME_ATU_OWN, BME_QUEUE_OWN},
};

}  // namespace fw
