// The command statistics the command paths count as they go: the work in
// flight now (globally, per logical drive and per array, with running
// maxima), the event counters of the command path, the data moved on each
// disk port, and the shape of every host READ(16) and WRITE(16) per logical
// drive and host-port side, with the read-ahead and write-clustering figures
// of the cache.  Every counter is a plain global with one-line operations;
// nothing here takes a lock, and a decrement never goes below 0.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;

// The figures each command adds to on its way are always collected.  A
// benchmark's own build of the firmware leaves them out, to weigh what
// collecting them costs the command path; what other work reads (commands
// in flight, the initialisation's share of the transfers, the queue
// management's latency) is counted in both.
#ifdef FW_BENCH_WITHOUT_COMMAND_STATISTICS
constexpr bool COLLECT_COMMAND_STATISTICS = false;
#else
constexpr bool COLLECT_COMMAND_STATISTICS = true;
#endif

constexpr uint16_t STATISTICS_LUNS = 512;
constexpr uint16_t STATISTICS_RANKS = 64;
constexpr uint16_t ALL_STATISTICS_LUNS = 0xFFFF;   // a selection of every LUN
// Port selections of the clear and the statistics record: both host-port
// sides, side 0, or (any other value) side 1.
constexpr uint8_t STATISTICS_BOTH_SIDES = 0;
constexpr uint8_t STATISTICS_SIDE_0 = 1;
constexpr uint8_t STATISTICS_SIDE_1 = 2;

// ---- work in flight ----

// Host READ(16) and WRITE(16) commands in progress, and the writes held in
// the write-back cache (the increment keeps the maximum).
void IncHostReadsInProgress();
void DecHostReadsInProgress();
uint32_t dGetHostReadsInProgress();
void IncHostWritesInProgress();
void DecHostWritesInProgress();
uint32_t dGetHostWritesInProgress();
void IncCacheWriteCount();
void DecCacheWriteCount();
uint32_t dGetCacheWriteCount();
void SetCacheWriteCount(uint32_t d);
uint32_t dGetCacheWriteCountMax();
void SetCacheWriteCountMax(uint32_t d);

// The current data counters: a READ(16) or WRITE(16) the LUN stage handed
// to the cache (flag bit 8 set) counts here until it completes.
void UpdateCurrentDataOnStart(KERNEL_ENTRY* psEntry);
void UpdateStatisticsOnCommandComplete(KERNEL_ENTRY* psEntry);
uint32_t dGetLunCommandsOutstanding(uint16_t wLun);
uint32_t dGetRankHostCommandsOutstanding(uint16_t wRank);
uint32_t dGetRankHostBlocksOutstanding(uint16_t wRank);
uint32_t dGetRanksWithWrites();
// The write path's load test of a write's array: FALSE goes on, TRUE goes
// write-through, RANK_WRITE_LOAD_SHARED waits for the shared budget.
constexpr uint8_t RANK_WRITE_LOAD_SHARED = 0xEE;
uint8_t bCheckRankWriteLoad(const KERNEL_ENTRY* psEntry);
// The same test for a write of the logical drive on the array.
uint8_t bCheckRankWriteLoadOf(uint16_t wLun, uint8_t bRank);
void ClearCurrentDataCounters();
void ShowCurrentDataCounters();

// Per-array host I/O the RAID layer has in progress, the last host access
// of each array and logical drive, and the newest host command's arrival.
void IncRankReadsInProgress(uint8_t bRank);
void DecRankReadsInProgress(uint8_t bRank);
uint32_t dGetRankReadsInProgress(uint8_t bRank);
void ClearRankReadsInProgress(uint8_t bRank);
void IncRankWritesInProgress(uint8_t bRank);
void DecRankWritesInProgress(uint8_t bRank);
uint32_t dGetRankWritesInProgress(uint8_t bRank);
void ClearRankWritesInProgress(uint8_t bRank);
uint64_t lGetRankLastAccessTime(uint8_t bRank);   // 0: never
void SetRankLastAccessTime(uint8_t bRank);
uint64_t lGetLunLastAccessTime(uint16_t wLun);
void SetLastHostCommandTime(uint64_t lMs);
uint64_t lGetLastHostCommandTime();

// ---- event counters ----

// In the order of the statistics record; index 2 and 14 count nothing.
enum : uint8_t {
    EVENT_COUNTER_READ_CACHE_FULL = 0,
    EVENT_COUNTER_WRITE_CACHE_FULL = 1,
    EVENT_COUNTER_RAID50_READ_CACHE_FULL = 2,
    EVENT_COUNTER_RAID50_WRITE_CACHE_FULL = 3,
    EVENT_COUNTER_MIRROR_CACHE_FULL = 4,
    EVENT_COUNTER_NEW_COMMAND_CACHE_LIMIT = 5,
    EVENT_COUNTER_SPANNED_COMMAND = 6,
    EVENT_COUNTER_REBUILD_OVERLAP = 7,
    EVENT_COUNTER_INITIATOR_QUEUE_FULL = 8,
    EVENT_COUNTER_TARGET_QUEUE_FULL = 9,
    EVENT_COUNTER_READ_WRITE_COLLISION = 10,
    EVENT_COUNTER_WRITE_READ_COLLISION = 11,
    EVENT_COUNTER_READ_AHEAD_WRITE_COLLISION = 12,
    EVENT_COUNTER_WRITE_READ_AHEAD_COLLISION = 13,
    EVENT_COUNTER_WRITE_WRITE_COLLISION = 15,
    EVENT_COUNTER_WRITE_STRIPE_COLLISION = 16,
    EVENT_COUNTER_SHARED_LD_OVERLAP = 17,
    EVENT_COUNTER_RESERVATION_CONFLICT = 18,
    EVENT_COUNTER_INVALID_COMMAND = 19,
    EVENT_COUNTERS = 20,
};
void CountReadCacheFull();
void CountWriteCacheFull();
void CountRaid50WriteCacheFull();
void CountMirrorCacheFull();
void CountNewCommandCacheLimit();
void CountSpannedCommand();
void CountRebuildOverlap();
void CountInitiatorQueueFull();
void CountTargetQueueFull();
void CountReadWriteCollision();
void CountWriteReadCollision();
void CountReadAheadWriteCollision();
void CountWriteReadAheadCollision();
void CountWriteWriteCollision();
void CountWriteStripeCollision();
void CountSharedLdOverlap();
void CountReservationConflict();
void CountInvalidCommand();
uint32_t dGetEventCounter(uint8_t bIndex);   // 0 beyond the table

// Blocks moved on each disk port: drive loops 3 and 4, drive slot paths
// 0x20-0x2F, and the drive-side SAS controller by device.
void AddDiskPortBlocks(uint8_t bPortCode, const KERNEL_ENTRY* psRequest);
uint64_t lGetDiskPortBlocks(uint8_t bPortCode, uint16_t wDevice, uint8_t fRead);
// Host blocks the rebuild scheduler weighs against its own work.
void AddHostBlocksTransferred(uint16_t wBlocks);
uint32_t dGetHostBlocksTransferred();
void ClearHostBlocksTransferred();
// Writes the cache absorbed and reads it served, with their blocks.
void CountWriteCollapse(uint16_t wBlocks);
void CountReadCacheHit(uint16_t wBlocks);
void PrintWriteCollapseCounters();
void PrintReadCacheCounters();

// Start of day: every figure of the statistics zero (the lifetime totals
// are NVRAM's).  The operator's clear of a port selection and LUN selection.
void InitStatistics();
void ClearPerformanceStatistics(uint8_t bPortSelect, uint16_t wLun);

// ---- access statistics, read-ahead and write clustering ----

// One host command, right after it was counted in progress.
void UpdateAccessStatistics(KERNEL_ENTRY* psEntry, uint8_t fRead);
void ClearAccessStatistics(uint8_t bPortSelect, uint16_t wLun);
// Read-ahead started for a sequential read (in this order), and a read
// served from read-ahead.
void CountReadAheadStart();
void RecordCommandInterval(uint32_t dInterval);
void AddReadAheadDepth(uint16_t wReadAheadBlocks, uint16_t wRequestBlocks);
void CountReadAheadHit();
// Clusters of gathered writes the write path issues.
void RecordClusterCount(uint16_t wCommands);
void CountPartialCluster();
void RecordClusterInterval(uint16_t wInterval);
// Host write blocks through the RAID 5/50/6 write path, and those written
// as full rows.
void AddRaidWriteBlocks(uint16_t wBlocks);
void AddRaidFullStripeBlocks(uint16_t wBlocks);
void ClearReadAheadStatistics();
void ClearWriteClusterStatistics();

}  // namespace fw
