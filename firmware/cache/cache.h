// Cache and I/O ordering services the rest of the firmware calls.
#pragma once

#include <cstdint>

#include "cache/nvram_journal.h"
#include "cache/stripe_access.h"

namespace fw {

struct KERNEL_ENTRY;

void CacheFlushSequencerStep();
uint8_t fCheckExpansionMarker(uint8_t bMarker1, uint8_t bMarker2);
void ResetCacheFlushSequencer();
void StartCacheFlushSequencer(uint8_t fMaster);

// Background pass services of the cache.
uint8_t fGetCacheFlushSequencerRequest();
void CacheFlushSequencerBackgroundStep();

// Used by the configuration apply and the array table.
uint8_t fIsControllerWriteBackEnabled();
uint32_t dGetWriteBufferCount();
void RefreshHostLunTable();
void SetThreadBalance(uint8_t f);

// The cache flush sequencer: TRUE while partner extents are written as runs
// of the blocks that arrived.
uint8_t fGetFlushPiecewiseMode();
void SetFlushPiecewiseMode(uint8_t f);

// The write-complete end of a cache flush write (command types 131, 152).
void CompleteFlushWrite(KERNEL_ENTRY* psEntry);

// Used by the back-end completion: a finished write leaves the cache write
// count (flag bit 49).
void ReleaseCacheWriteCount(KERNEL_ENTRY* psEntry);

// Console dump: the per-LUN master flags and stripe access tables.
void ShowLunMasterFlags(uint8_t fPolled);

}  // namespace fw
