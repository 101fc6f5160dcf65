// Cache and I/O ordering services the rest of the firmware calls.
#pragma once

#include <cstdint>

#include "cache/nvram_journal.h"
#include "cache/stripe_access.h"

namespace fw {

struct KERNEL_ENTRY;

void CacheFlushSequencerStep();
void WriteSortService();
uint8_t fCheckExpansionMarker(uint8_t bMarker1, uint8_t bMarker2);
void ResetCacheFlushSequencer();
void InitReadAheadBuffers();
void StartCacheFlushSequencer(uint8_t fMaster);
void InitWriteSort();

// Background pass services of the cache.
uint8_t fGetCacheFlushSequencerRequest();
void CacheFlushSequencerBackgroundStep();

// Used by the configuration apply and the array table.
uint8_t fIsControllerWriteBackEnabled();
uint32_t dGetWriteBufferCount();
void RefreshHostLunTable();
void SetSequentialWriteLevel(uint8_t bLevel);
void SetThreadBalance(uint8_t f);

// The cache flush sequencer: TRUE while partner extents are written as runs
// of the blocks that arrived.
uint8_t fGetFlushPiecewiseMode();
void SetFlushPiecewiseMode(uint8_t f);

// Used by the target engine.
struct KERNEL_ENTRY;
void ReleaseReadAheadSlot(uint8_t bSlot);
// The write-complete end of a cache flush write (command types 131, 152).
void CompleteFlushWrite(KERNEL_ENTRY* psEntry);

// Used by the back-end completion: a finished write leaves the cache write
// count (flag bit 49); a read-ahead prefetch has its data.
void ReleaseCacheWriteCount(KERNEL_ENTRY* psEntry);
void ReadAheadFillComplete(KERNEL_ENTRY* psEntry);

// Write sort: the cached-write limit (1200 from start of day), the write-
// optimisation parameters of the sequential write level, and whether the
// sort takes a rank's cached writes.
uint32_t dGetCachedWriteLimit();
void SetCachedWriteLimit(uint32_t dLimit);
uint32_t dGetSequentialHistoryDepth();
uint64_t lGetOptimisationSequenceWindow();
uint32_t dGetOptimisationHoldLimit();
uint8_t fIsRankWriteSortActive(uint8_t bRank);
void IncSortableWriteCount();
// Read-ahead: slots holding any block of the range are dropped.
uint8_t InvalidateReadAhead(uint64_t lAddress, uint32_t dBlocks);
// Read-ahead slots as the read path uses them: the lookup (64 data there,
// 67 loading, 65 miss), the prefetch of a sequential read, the slot's users
// and the reads waiting on it.
struct KERNEL_ENTRY;
uint8_t bLookupReadAhead(KERNEL_ENTRY* psRead, BUFFER_HANDLE* pdHandle, uint16_t* pwBlocks, uint8_t* pbSlot,
                         uint8_t* pfStreaming);
uint8_t bClaimReadAheadSlot(KERNEL_ENTRY* psRead, BUFFER_HANDLE* pdHandle, uint16_t wBlocks, uint8_t* pbSlot);
uint8_t bGetPrefetchSize(KERNEL_ENTRY* psRead, uint16_t* pwBlocks);
uint8_t bPrefetchNextExtent(KERNEL_ENTRY* psRead, KERNEL_ENTRY** ppsPrefetch);
void ServeReadAheadWaiters(uint8_t bSlot, uint8_t bPortCode, uint8_t fCancel);
void AddReadAheadUser(uint8_t bSlot, uint16_t wBlocks);
void DecReadAheadWaitCount(uint8_t bSlot, uint8_t fLockHeld);
void SetReadAheadLoaded(uint8_t bSlot, uint8_t fLoaded);
uint16_t wGetReadAheadUsers(uint8_t bSlot);

// Console dumps: the per-LUN master flags and stripe access tables, and the
// read-ahead buffers.
void ShowLunMasterFlags(uint8_t fPolled);
void ShowReadAheadBuffers();

}  // namespace fw
