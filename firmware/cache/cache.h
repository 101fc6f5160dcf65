// Cache and I/O ordering services the rest of the firmware calls.
#pragma once

#include <cstdint>

namespace fw {

void CacheFlushSequencerStep();
uint16_t wGetDataAvailableCount(uint8_t bPort);
void ServiceDataAvailable(uint8_t bPort);
void WriteSortService();
void StartNvramJournal();
void StartNvramJournalReplay();
void InitStripeAccessTable();
uint8_t fCheckExpansionMarker(uint8_t bMarker1, uint8_t bMarker2);
void ResetCacheFlushSequencer();
void InitReadAheadBuffers();
void InitNvramJournal();
void StartCacheFlushSequencer(uint8_t fMaster);
void SetLunMasterFlags(uint8_t fMaster);
void InitWriteSort();

// Read by the buffer-usage thresholds.
uint32_t dGetJournalPageCount();
uint16_t wGetMirroredExtentCount();
// Used by the system tick and the stop paths of the executive.
void ClearNvramJournal();
void ClearPartnerNvramQueueData();

// Background pass services of the cache.
uint8_t fGetCacheFlushSequencerRequest();
void CacheFlushSequencerBackgroundStep();
void NvramJournalService();
uint16_t wGetJournalInUseCount();   // entries of the own write journal in use

// Used by the configuration apply and the array table.
uint8_t fIsControllerWriteBackEnabled();
uint32_t dGetWriteBufferCount();
void RefreshHostLunTable();
void SetSequentialWriteLevel(uint8_t bLevel);
void SetThreadBalance(uint8_t f);

}  // namespace fw
