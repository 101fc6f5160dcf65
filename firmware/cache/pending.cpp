// Stand-ins for the services of this subsystem that are not built yet:
// the least behaviour that lets their callers run.
#include "cache/cache.h"
#include "cache/outstanding_queues.h"
#include "executive/types.h"

namespace fw {

void CacheFlushSequencerStep() {}
uint16_t wGetDataAvailableCount(uint8_t) { return 0; }
void ServiceDataAvailable(uint8_t) {}
void WriteSortService() {}
void StartNvramJournal() {}
void StartNvramJournalReplay() {}
void InitStripeAccessTable() {}
uint8_t fCheckExpansionMarker(uint8_t, uint8_t) { return FALSE; }
void ResetCacheFlushSequencer() {}
void InitReadAheadBuffers() {}
void InitNvramJournal() {}
void StartCacheFlushSequencer(uint8_t) {}
void SetLunMasterFlags(uint8_t) {}
void InitWriteSort() {}
void InitOutstandingWriteQueues() {}
void InitOutstandingReadQueues() {}

uint32_t dGetJournalPageCount() { return 0; }
uint16_t wGetMirroredExtentCount() { return 0; }
// Stand-ins for the reset path.
void ClearNvramJournal() {}
void ClearPartnerNvramQueueData() {}

uint8_t fGetCacheFlushSequencerRequest() { return FALSE; }
void CacheFlushSequencerBackgroundStep() {}
void NvramJournalService() {}
uint16_t wGetJournalInUseCount() { return 0; }

uint8_t fIsControllerWriteBackEnabled() { return TRUE; }
uint32_t dGetWriteBufferCount() { return 0; }
void RefreshHostLunTable() {}
void SetSequentialWriteLevel(uint8_t) {}
void SetThreadBalance(uint8_t) {}

}  // namespace fw
