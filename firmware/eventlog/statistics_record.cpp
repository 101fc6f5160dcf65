// Builds the statistics record from the raw counters: the access tables of
// the selection summed, every percentage formed here, at build time.
#include "eventlog/statistics_record.h"

#include <cstring>

#include "config/nvram_records.h"
#include "eventlog/statistics_tables.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "partner/partner_link.h"
#include "target/target_queue_management.h"

namespace fw {

namespace {

constexpr uint64_t PERCENT_DENOMINATOR_LIMIT = 65536;
constexpr uint32_t MAX_PERCENT_SHIFTS = 32;
constexpr uint32_t LISTED_CLUSTER_COUNTS = 15;   // clusters of 2..16 commands
constexpr uint32_t LISTED_INTERVALS = 8;         // intervals 1..8

uint8_t Percent(uint64_t lNumerator, uint64_t lDenominator) {
    return bGetStatisticsPercent(lNumerator, lDenominator, TRUE, TRUE);
}

uint8_t bLowByteCapped(uint32_t dValue) { return dValue >= 256 ? 255 : static_cast<uint8_t>(dValue); }

struct ACCESS_SUM {
    uint64_t lCommands;
    uint64_t lBlocks;
    uint64_t alAlignment[ALIGNMENT_BUCKETS];
    uint64_t alSize[SIZE_BUCKETS];
};

void AddCell(ACCESS_SUM* ps, const ACCESS_CELL& s) {
    ps->lCommands += s.lCommands;
    ps->lBlocks += s.lBlocks;
    for (uint32_t i = 0; i < ALIGNMENT_BUCKETS; ++i) ps->alAlignment[i] += s.adAlignment[i];
    for (uint32_t i = 0; i < SIZE_BUCKETS; ++i) ps->alSize[i] += s.adSize[i];
}

// The cells of a selection: sides by bPortSelect, LUNs by wLun.
ACCESS_SUM SumSelection(uint8_t fRead, uint8_t bPortSelect, uint16_t wLun) {
    ACCESS_SUM s{};
    for (uint32_t dSide = 0; dSide < 2; ++dSide) {
        const bool fSide = bPortSelect == STATISTICS_BOTH_SIDES || (dSide == 0) == (bPortSelect == STATISTICS_SIDE_0);
        if (!fSide) continue;
        for (uint32_t l = 0; l < STATISTICS_LUNS; ++l) {
            if (wLun != ALL_STATISTICS_LUNS && wLun != l) continue;
            AddCell(&s, *psGetAccessCell(fRead, dSide * STATISTICS_LUNS + l));
        }
    }
    return s;
}

void FillAccessBlock(ACCESS_STATISTICS_BLOCK* ps, const ACCESS_SUM& s, uint64_t lTotalCommands, uint64_t lTotalBlocks) {
    ps->lCommandsSinceReset = s.lCommands;
    ps->lBlocksSinceReset = s.lBlocks;
    ps->lTotalCommands = lTotalCommands;
    ps->lTotalBlocks = lTotalBlocks;
    for (uint32_t i = 0; i < ALIGNMENT_BUCKETS; ++i) ps->abAlignment[i] = Percent(s.alAlignment[i], s.lCommands);
    for (uint32_t i = 0; i < SIZE_BUCKETS; ++i) ps->abAccessSize[i] = Percent(s.alSize[i], s.lCommands);
}

void FillReadAhead(uint8_t* pb, uint64_t lAllReads) {
    const READ_AHEAD_FIGURES& s = *psGetReadAheadFigures();
    pb[0] = Percent(s.lHits, lAllReads);
    pb[1] = Percent(s.lHits, s.lDepth);
    if (s.dIntervalTotal == 0 || s.lStarts == 0) return;
    pb[2] = static_cast<uint8_t>(s.dIntervalTotal / s.lStarts);
    pb[3] = static_cast<uint8_t>(s.dMaxInterval);
    for (uint32_t i = 0; i < LISTED_INTERVALS; ++i) pb[4 + i] = Percent(s.adInterval[i], s.lStarts);
}

void FillWriteCluster(uint8_t* pb, uint64_t lAllWrites) {
    const WRITE_CLUSTER_FIGURES& s = *psGetWriteClusterFigures();
    uint64_t lS1 = 0;   // write commands sent in clusters
    uint64_t lS2 = 0;   // clusters
    for (uint32_t i = 0; i < CLUSTER_COUNTS; ++i) {
        lS1 += static_cast<uint64_t>(i + 2) * s.adCount[i];
        lS2 += s.adCount[i];
    }
    uint64_t lT = 0;
    uint64_t lIntervalSum = s.lIntervalExcess;
    for (uint32_t i = 0; i < CLUSTER_INTERVALS; ++i) lT += s.adInterval[i];
    for (uint32_t i = 0; i < LISTED_INTERVALS; ++i) lIntervalSum += static_cast<uint64_t>(i + 1) * s.adInterval[i];
    pb[0] = Percent(lS1, lAllWrites);
    pb[1] = Percent(s.dPartial, lS2);
    pb[2] = Percent(s.lRaidFullStripeBlocks, s.lRaidWriteBlocks);
    if (lT != 0) {
        pb[3] = static_cast<uint8_t>(lIntervalSum / lT);
        pb[4] = bLowByteCapped(s.wMaxInterval);
        for (uint32_t i = 0; i < LISTED_INTERVALS; ++i) pb[5 + i] = Percent(s.adInterval[i], lT);
        pb[13] = Percent(s.adInterval[CLUSTER_INTERVALS - 1], lT);
    }
    if (lS2 != 0) {
        pb[14] = static_cast<uint8_t>(lS1 / lS2);
        pb[15] = bLowByteCapped(s.wMaxCount);
        uint64_t lLarger = 0;
        for (uint32_t i = 0; i < CLUSTER_COUNTS; ++i) {
            if (i < LISTED_CLUSTER_COUNTS) {
                pb[16 + i] = Percent(s.adCount[i], lS2);
            } else {
                lLarger += s.adCount[i];
            }
        }
        pb[31] = Percent(lLarger, lS2);
    }
}

}  // namespace

uint8_t bGetStatisticsPercent(uint64_t lNumerator, uint64_t lDenominator, uint8_t fClamp, uint8_t fUnderOne) {
    for (uint32_t i = 0; i < MAX_PERCENT_SHIFTS && lDenominator >= PERCENT_DENOMINATOR_LIMIT; ++i) {
        lNumerator >>= 1;
        lDenominator >>= 1;
    }
    if (lDenominator == 0) return 0;
    // The product is formed in 64 bits: a numerator above 42,949,672 would
    // wrap a 32-bit product and show a small share for a large one.
    uint64_t lPercent = lNumerator * 100 / lDenominator;
    if (fClamp == TRUE && lPercent > 100) lPercent = 100;
    if (fUnderOne == TRUE && lPercent == 0 && lNumerator != 0) return PERCENT_UNDER_ONE;
    return static_cast<uint8_t>(lPercent);
}

void FillStatisticsRecord(uint8_t bPortSelect, uint16_t wLun, STATISTICS_RECORD* psRecord) {
    std::memset(psRecord, 0, sizeof *psRecord);
    psRecord->dCurrentTime = dGetCoarseTickHalf();
    psRecord->dTimeSinceReset = psRecord->dCurrentTime - dGetStatisticsClearTime();
    FillAccessBlock(&psRecord->sRead, SumSelection(TRUE, bPortSelect, wLun), lGetNvramReadCount(),
                    lGetNvramReadBlocks());
    FillAccessBlock(&psRecord->sWrite, SumSelection(FALSE, bPortSelect, wLun), lGetNvramWriteCount(),
                    lGetNvramWriteBlocks());
    // Read-ahead and clustering are whole-controller figures, weighed
    // against every command whatever the selection.
    FillReadAhead(psRecord->abReadAhead,
                  SumSelection(TRUE, STATISTICS_BOTH_SIDES, ALL_STATISTICS_LUNS).lCommands);
    FillWriteCluster(psRecord->abWriteCluster,
                     SumSelection(FALSE, STATISTICS_BOTH_SIDES, ALL_STATISTICS_LUNS).lCommands);
    for (uint8_t i = 0; i < EVENT_COUNTERS; ++i) psRecord->adEventCounters[i] = dGetEventCounter(i);
}

void FillStatisticsRecordWithLatency(uint8_t bPortSelect, uint16_t wLun, uint8_t* pbBuffer) {
    FillStatisticsRecord(bPortSelect, wLun, reinterpret_cast<STATISTICS_RECORD*>(pbBuffer));
    // The partner's part of a debug dump goes without the table.
    if (fGetDebugDumpWork() == TRUE && fGetPartnerDumpFlag() == TRUE) return;
    ExportTqmStatistics(pbBuffer + sizeof(STATISTICS_RECORD));
}

}  // namespace fw
