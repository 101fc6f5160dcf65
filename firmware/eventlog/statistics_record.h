// The statistics record: the one packed summary of the command statistics
// for a host-port side and LUN selection, printed by the statistics dump,
// returned by the management statistics page and sent to the partner.  A
// wire format, read by offset on both controllers and by management hosts.
#pragma once

#include <cstddef>
#include <cstdint>

#include "eventlog/statistics.h"

namespace fw {

// Percentage bytes run 0..100; 255 is a share above 0 and under 1 %.
constexpr uint8_t PERCENT_UNDER_ONE = 255;

#pragma pack(push, 1)
struct ACCESS_STATISTICS_BLOCK {
    uint64_t lCommandsSinceReset;
    uint64_t lBlocksSinceReset;
    uint64_t lTotalCommands;      // lifetime, whole controller
    uint64_t lTotalBlocks;
    uint8_t abAlignment[12];
    uint8_t abAccessSize[21];
    uint8_t abReserved[3];
};
struct STATISTICS_RECORD {
    uint32_t dCurrentTime;        // coarse half-second tick
    uint32_t dTimeSinceReset;
    ACCESS_STATISTICS_BLOCK sRead;
    ACCESS_STATISTICS_BLOCK sWrite;
    uint8_t abReadAhead[12];
    uint8_t abWriteCluster[32];
    uint32_t adEventCounters[EVENT_COUNTERS];
    uint8_t abReserved[20];
};
#pragma pack(pop)
static_assert(sizeof(ACCESS_STATISTICS_BLOCK) == 68);
static_assert(offsetof(ACCESS_STATISTICS_BLOCK, abAlignment) == 32);
static_assert(offsetof(ACCESS_STATISTICS_BLOCK, abAccessSize) == 44);
static_assert(sizeof(STATISTICS_RECORD) == 288);
static_assert(offsetof(STATISTICS_RECORD, sRead) == 8);
static_assert(offsetof(STATISTICS_RECORD, sWrite) == 76);
static_assert(offsetof(STATISTICS_RECORD, abReadAhead) == 144);
static_assert(offsetof(STATISTICS_RECORD, abWriteCluster) == 156);
static_assert(offsetof(STATISTICS_RECORD, adEventCounters) == 188);
static_assert(offsetof(STATISTICS_RECORD, abReserved) == 268);

// The extended form: the record, then the target queue latency table.
constexpr uint32_t TQM_LATENCY_TABLE_BYTES = 8392712;
constexpr uint32_t EXTENDED_STATISTICS_BYTES = sizeof(STATISTICS_RECORD) + TQM_LATENCY_TABLE_BYTES;

// N as a percentage of D; fClamp caps it at 100, fUnderOne turns a share
// under 1 % into PERCENT_UNDER_ONE.
uint8_t bGetStatisticsPercent(uint64_t lNumerator, uint64_t lDenominator, uint8_t fClamp, uint8_t fUnderOne);
void FillStatisticsRecord(uint8_t bPortSelect, uint16_t wLun, STATISTICS_RECORD* psRecord);
void FillStatisticsRecordWithLatency(uint8_t bPortSelect, uint16_t wLun, uint8_t* pbBuffer);

}  // namespace fw
