// The statistics dump: a statistics record as console text, one row per
// step of the paged information dump.
#pragma once

#include <cstdint>

namespace fw {

// Dump types of the statistics pages.
enum : uint8_t {
    STATISTICS_ALL = 64,
    STATISTICS_ACCESS = 65,
    STATISTICS_READ_AHEAD = 66,
    STATISTICS_CLUSTERS = 67,
    STATISTICS_MISCELLANEOUS = 68,
    STATISTICS_LD_ACCESS = 80,
    STATISTICS_LATENCY = 81,
};
constexpr uint16_t ALL_LOGICAL_DRIVES = 0xFFFF;

// One row of the page of the type; port selection (0 both ports, 1 port 0,
// 2 port 1) and logical drive for the logical drive page.
void ShowStatistics(uint8_t bType, uint8_t bPort, uint16_t wLd);

}  // namespace fw
