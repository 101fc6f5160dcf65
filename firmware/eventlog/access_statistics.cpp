// How host commands are shaped, per logical drive and host-port side: how
// many READ(16) and WRITE(16) commands, how many blocks, how their start
// was aligned and how long they were; and the cache's read-ahead and
// write-clustering figures.  Raw counting only, one table update per
// command and no division: the percentages are formed when the statistics
// record is built.
#include <cstring>

#include "config/ld_table.h"
#include "config/nvram_records.h"
#include "eventlog/statistics.h"
#include "eventlog/statistics_tables.h"
#include "executive/kernel_entry.h"
#include "executive/port_codes.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "hw/scsi.h"
#include "target/command_access.h"

namespace fw {

namespace {

// A running total this close to its 32-bit limit starts its group afresh.
constexpr uint32_t INTERVAL_TOTAL_LIMIT = 0xF0000000;
constexpr uint32_t ALIGNMENT_BITS = 0x1FFF;   // bits 0..12 of the start
constexpr uint32_t COUNTER_LIMIT = 0xFFFFFFFF;

ACCESS_CELL s_asRead[ACCESS_CELLS];
ACCESS_CELL s_asWrite[ACCESS_CELLS];
READ_AHEAD_FIGURES s_sReadAhead;
WRITE_CLUSTER_FIGURES s_sCluster;
uint32_t s_dClearTime;

// Alignment by the lowest set bit of the start in 512-byte units: anything
// finer than 4K, then 4K to 2M, and beyond 2M (start 0 included).
uint32_t dAlignmentBucket(uint16_t wStart) {
    const uint32_t dBits = wStart & ALIGNMENT_BITS;
    if (dBits == 0) return ALIGNMENT_BUCKETS - 1;
    const uint32_t dLowest = static_cast<uint32_t>(__builtin_ctz(dBits));
    return dLowest <= 2 ? 0 : dLowest - 2;
}

// Size by blocks: "< 4K", then each power of two from 4K to 2M with the
// sizes just below it, then "> 2M".
uint32_t dSizeBucket(uint16_t wLength) {
    if (wLength < 8) return 0;
    const uint32_t dPower = 31 - static_cast<uint32_t>(__builtin_clz(wLength));
    const uint32_t dBucket = 2 * (dPower - 3) + ((wLength & (wLength - 1)) == 0 ? 1 : 2);
    return dBucket < SIZE_BUCKETS ? dBucket : SIZE_BUCKETS - 1;
}

void ClearCell(uint32_t dCell) {
    std::memset(&s_asRead[dCell], 0, sizeof s_asRead[dCell]);
    std::memset(&s_asWrite[dCell], 0, sizeof s_asWrite[dCell]);
}

void ClearSide(uint32_t dSide, uint16_t wLun) {
    if (wLun == ALL_STATISTICS_LUNS) {
        for (uint32_t l = 0; l < STATISTICS_LUNS; ++l) ClearCell(dSide * STATISTICS_LUNS + l);
    } else if (wLun < STATISTICS_LUNS) {
        ClearCell(dSide * STATISTICS_LUNS + wLun);
    }
}

}  // namespace

uint8_t bStatisticsSide(uint8_t bPortCode) { return bEventHostPort(bPortCode) == 1 ? 0 : 1; }

void UpdateAccessStatistics(KERNEL_ENTRY* psEntry, uint8_t fRead) {
    if (!COLLECT_COMMAND_STATISTICS) return;
    const uint16_t wLun = psEntry->wLunIndex;
    const uint8_t* pbCdb = pGetCommandCdb(psEntry);
    if (wLun >= STATISTICS_LUNS || pbCdb == nullptr) return;
    // The low 16 bits of the start and of the length, in 512-byte blocks:
    // the tables are cheap to keep because nothing wider is needed.
    const uint32_t dFactor = bGetLogicalDriveBlockFactor(wLun);
    const uint16_t wStart = static_cast<uint16_t>(wGetBe16(pbCdb + 8) * dFactor);
    const uint16_t wLength = static_cast<uint16_t>(wGetBe16(pbCdb + 12) * dFactor);
    if (fRead == TRUE) {
        CountNvramReads(wLength);
    } else {
        CountNvramWrites(wLength);
    }
    ACCESS_CELL& s = (fRead == TRUE ? s_asRead : s_asWrite)[bStatisticsSide(psEntry->bPortCode) * STATISTICS_LUNS + wLun];
    ++s.lCommands;
    s.lBlocks += wLength;
    ++s.adAlignment[dAlignmentBucket(wStart)];
    ++s.adSize[dSizeBucket(wLength)];
}

void ClearAccessStatistics(uint8_t bPortSelect, uint16_t wLun) {
    if (bPortSelect == STATISTICS_BOTH_SIDES || bPortSelect == STATISTICS_SIDE_0) ClearSide(0, wLun);
    if (bPortSelect != STATISTICS_SIDE_0) ClearSide(1, wLun);
    s_dClearTime = dGetCoarseTickHalf();
}

void CountReadAheadStart() {
    if (COLLECT_COMMAND_STATISTICS) ++s_sReadAhead.lStarts;
}
void CountReadAheadHit() {
    if (COLLECT_COMMAND_STATISTICS) ++s_sReadAhead.lHits;
}

void RecordCommandInterval(uint32_t dInterval) {
    if (!COLLECT_COMMAND_STATISTICS) return;
    READ_AHEAD_FIGURES& s = s_sReadAhead;
    if (s.dIntervalTotal > INTERVAL_TOTAL_LIMIT) ClearReadAheadStatistics();
    s.dIntervalTotal += dInterval;
    if (dInterval >= 1 && dInterval <= COMMAND_INTERVALS) ++s.adInterval[dInterval - 1];
    if (dInterval > s.dMaxInterval) s.dMaxInterval = dInterval;
}

void AddReadAheadDepth(uint16_t wReadAheadBlocks, uint16_t wRequestBlocks) {
    if (!COLLECT_COMMAND_STATISTICS) return;
    // A request of no blocks has no depth to weigh.
    if (wRequestBlocks == 0) return;
    const uint16_t wRatio = static_cast<uint16_t>(wReadAheadBlocks / wRequestBlocks);
    if (wRatio != 0) s_sReadAhead.lDepth += wRatio - 1u;
}

void RecordClusterCount(uint16_t wCommands) {
    if (!COLLECT_COMMAND_STATISTICS) return;
    WRITE_CLUSTER_FIGURES& s = s_sCluster;
    if (wCommands >= 2 && wCommands - 2u < CLUSTER_COUNTS) ++s.adCount[wCommands - 2];
    if (wCommands > s.wMaxCount) s.wMaxCount = wCommands;
}

void CountPartialCluster() {
    if (COLLECT_COMMAND_STATISTICS) ++s_sCluster.dPartial;
}

void RecordClusterInterval(uint16_t wInterval) {
    if (!COLLECT_COMMAND_STATISTICS) return;
    if (wInterval == 0) return;
    WRITE_CLUSTER_FIGURES& s = s_sCluster;
    if (wInterval > s.wMaxInterval) s.wMaxInterval = wInterval;
    uint32_t* pdEntry = &s.adInterval[CLUSTER_INTERVALS - 1];
    if (wInterval < CLUSTER_INTERVALS) {
        pdEntry = &s.adInterval[wInterval - 1];
    } else {
        s.lIntervalExcess += wInterval;
    }
    if (++*pdEntry == COUNTER_LIMIT) ClearWriteClusterStatistics();
}

void AddRaidWriteBlocks(uint16_t wBlocks) {
    if (COLLECT_COMMAND_STATISTICS) s_sCluster.lRaidWriteBlocks += wBlocks;
}
void AddRaidFullStripeBlocks(uint16_t wBlocks) {
    if (COLLECT_COMMAND_STATISTICS) s_sCluster.lRaidFullStripeBlocks += wBlocks;
}

void ClearReadAheadStatistics() { std::memset(&s_sReadAhead, 0, sizeof s_sReadAhead); }
void ClearWriteClusterStatistics() { std::memset(&s_sCluster, 0, sizeof s_sCluster); }

const ACCESS_CELL* psGetAccessCell(uint8_t fRead, uint32_t dCell) {
    return dCell < ACCESS_CELLS ? &(fRead == TRUE ? s_asRead : s_asWrite)[dCell] : nullptr;
}
const READ_AHEAD_FIGURES* psGetReadAheadFigures() { return &s_sReadAhead; }
const WRITE_CLUSTER_FIGURES* psGetWriteClusterFigures() { return &s_sCluster; }
uint32_t dGetStatisticsClearTime() { return s_dClearTime; }

}  // namespace fw
