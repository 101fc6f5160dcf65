// The raw figures of the access statistics, read-ahead and write
// clustering, as the statistics record reads them to form its percentages.
#pragma once

#include <cstdint>

#include "eventlog/statistics.h"

namespace fw {

constexpr uint32_t ALIGNMENT_BUCKETS = 12;
constexpr uint32_t SIZE_BUCKETS = 21;
constexpr uint32_t ACCESS_CELLS = 2 * STATISTICS_LUNS;   // side x 512 + LUN
constexpr uint32_t COMMAND_INTERVALS = 32;
constexpr uint32_t CLUSTER_COUNTS = 511;                  // clusters of 2..512 commands
constexpr uint32_t CLUSTER_INTERVALS = 9;                 // 1..8, and above 8

struct ACCESS_CELL {
    uint64_t lCommands;
    uint64_t lBlocks;
    uint32_t adAlignment[ALIGNMENT_BUCKETS];
    uint32_t adSize[SIZE_BUCKETS];
};

struct READ_AHEAD_FIGURES {
    uint64_t lStarts;
    uint64_t lHits;
    uint64_t lDepth;
    uint32_t dIntervalTotal;
    uint32_t adInterval[COMMAND_INTERVALS];   // entry i: intervals of i + 1
    uint32_t dMaxInterval;
};

struct WRITE_CLUSTER_FIGURES {
    uint32_t adCount[CLUSTER_COUNTS];         // entry i: clusters of i + 2 commands
    uint16_t wMaxCount;
    uint32_t dPartial;
    uint32_t adInterval[CLUSTER_INTERVALS];
    uint64_t lIntervalExcess;
    uint16_t wMaxInterval;
    uint64_t lRaidWriteBlocks;
    uint64_t lRaidFullStripeBlocks;
};

const ACCESS_CELL* psGetAccessCell(uint8_t fRead, uint32_t dCell);
const READ_AHEAD_FIGURES* psGetReadAheadFigures();
const WRITE_CLUSTER_FIGURES* psGetWriteClusterFigures();
uint32_t dGetStatisticsClearTime();   // coarse half-second tick of the last clear

// The host-port side a command counts on.
uint8_t bStatisticsSide(uint8_t bPortCode);

}  // namespace fw
