// Command and error counters.
#pragma once

#include <cstdint>

namespace fw {

void InitStatistics();

// Used by the system tick and the stop paths of the executive.
uint32_t dGetCacheWriteCount();

uint32_t dGetRanksWithWrites();

// Host READ(16) and WRITE(16) commands in progress, globally and per rank
// (ranks above 63 read 0 and are ignored); never below 0.
uint32_t dGetHostReadsInProgress();
uint32_t dGetHostWritesInProgress();
void DecHostReadsInProgress();
void DecHostWritesInProgress();
void DecRankReadsInProgress(uint8_t bRank);
void DecRankWritesInProgress(uint8_t bRank);
// Writes held in the write-back cache.
void DecCacheWriteCount();
// The service time of a finished command.
struct KERNEL_ENTRY;
void RecordHostCommandTime(KERNEL_ENTRY* psEntry);

// A mirror buffer for a partner extent could not be had.
void CountMirrorAllocFail();
uint32_t dGetMirrorAllocFailCount();

}  // namespace fw
