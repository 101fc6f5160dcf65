// Command and error counters.
#pragma once

#include <cstdint>

namespace fw {

void InitStatistics();


uint32_t dGetRanksWithWrites();

// Host READ(16) and WRITE(16) commands in progress, globally and per rank
// (ranks above 63 read 0 and are ignored); never below 0.
uint32_t dGetHostReadsInProgress();
uint32_t dGetHostWritesInProgress();
void IncHostReadsInProgress();
void IncHostWritesInProgress();
void DecHostReadsInProgress();
void DecHostWritesInProgress();
uint32_t dGetRankReadsInProgress(uint8_t bRank);
uint32_t dGetRankWritesInProgress(uint8_t bRank);
uint32_t dGetRankWriteBlocksInProgress(uint8_t bRank);
void IncRankReadsInProgress(uint8_t bRank);
void IncRankWritesInProgress(uint8_t bRank);
void DecRankReadsInProgress(uint8_t bRank);
void DecRankWritesInProgress(uint8_t bRank);
// Millisecond tick of an array's last access (0 never; 0 for 64 or more);
// the setter stores the current tick.
uint64_t lGetRankLastAccessTime(uint8_t bRank);
void SetRankLastAccessTime(uint8_t bRank);
// Writes held in the write-back cache (the increment keeps the maximum).
uint32_t dGetCacheWriteCount();
void IncCacheWriteCount();
void DecCacheWriteCount();
// Releases a command's per-LUN outstanding statistics (flag bit 8).
struct KERNEL_ENTRY;
void UpdateStatisticsOnCommandComplete(KERNEL_ENTRY* psEntry);
// Plain counters of the cache paths.
void CountAllocationFailure();
void CountBufferPressureRefusal();
void CountWriteWaitBehindWrite();
void CountWriteRowShareMulti();
void CountWriteWaitBehindRead();
void CountStreamArrivalSpread(uint32_t dMs);
void CountWriteCollapse(uint16_t wBlocks);
void CountMultiPieceStream();
void IncRaidNoPagesCount();
void CountReadFromWrite();
void CountReadWaitBehindWrite();
uint32_t dGetReadWaitBehindWriteCount();
void CountPrefetch();
void CountReadAheadHit(uint16_t wBlocks);
// The service time of a finished command.
void RecordHostCommandTime(KERNEL_ENTRY* psEntry);
// Counters the dispatcher raises.
void IncReservationConflictCount();
void IncInvalidOpcodeCount();
uint32_t dGetInvalidOpcodeCount();
// The start of a command in its LUN's statistics, and the per-LUN
// outstanding count (flag bit 8) with its release at completion.
void CountLunCommandStart(const KERNEL_ENTRY* psEntry);
void IncLunOutstanding(const KERNEL_ENTRY* psEntry);
uint8_t fIsLunCommandInProgress(uint16_t wLun);
void AddHostBlocksTransferred(uint16_t wBlocks);
// A TARGET RESET or LIP reset notify of a host port.
void IncPortResetCount(uint8_t bPort);

// A mirror buffer for a partner extent could not be had.
void CountMirrorAllocFail();
uint32_t dGetMirrorAllocFailCount();
// Counters the host-port drivers keep.
void CountTargetQueueFull();                 // no host entry for an arriving command
uint32_t dGetTargetQueueFullCount();
void SetLastHostCommandTime(uint64_t lMs);
uint64_t lGetLastHostCommandTime();

// Console displays: the one-line status summary, the command time logs and
// the per-array current data counters.
void ShowStatusLine(uint8_t fPolled);
void ShowDriveCommandTimeLog();
void ShowHostCommandTimeLog();
void ShowRankLunDataCounters();

}  // namespace fw
