// Stand-ins for the services of this subsystem that are not built yet:
// the least behaviour that lets their callers run.
#include "cache/cache.h"
#include "cache/outstanding_queues.h"
#include "executive/types.h"
#include "target/host_command_codes.h"
#include "target/stage_rings.h"

namespace fw {

void CacheFlushSequencerStep() {}
uint16_t wGetDataAvailableCount(uint8_t) { return 0; }
void ServiceDataAvailable(uint8_t) {}
void WriteSortService() {}
void InitStripeAccessTable() {}
uint8_t fCheckExpansionMarker(uint8_t, uint8_t) { return FALSE; }
void ResetCacheFlushSequencer() {}
void InitReadAheadBuffers() {}
void StartCacheFlushSequencer(uint8_t) {}
void SetLunMasterFlags(uint8_t) {}
void InitWriteSort() {}
void InitOutstandingWriteQueues() {}
void InitOutstandingReadQueues() {}


uint8_t fGetCacheFlushSequencerRequest() { return FALSE; }
void CacheFlushSequencerBackgroundStep() {}

uint8_t fIsControllerWriteBackEnabled() { return TRUE; }
uint32_t dGetWriteBufferCount() { return 0; }
void RefreshHostLunTable() {}
void SetSequentialWriteLevel(uint8_t) {}
void SetThreadBalance(uint8_t) {}

namespace {
uint8_t s_fFlushPiecewiseMode = FALSE;
}  // namespace
uint8_t fGetFlushPiecewiseMode() { return s_fFlushPiecewiseMode; }
void SetFlushPiecewiseMode(uint8_t f) { s_fFlushPiecewiseMode = f; }

void ResetAllOutstandingWrites() {}

void ReleaseStripeAccessEntry(uint16_t) {}
void ReleaseCacheWriteCount(KERNEL_ENTRY* psEntry) { psEntry->lFlags &= ~KE_FLAG_CACHE_COUNTED; }
// Nothing waits for a prefetch yet: it ends.
void ReadAheadFillComplete(KERNEL_ENTRY* psEntry) {
    MarkFinishedWithoutStatus(psEntry);
    QueueCommandComplete(psEntry->bPortCode, psEntry->wIndex);
}
void RemoveOutstandingWrite(KERNEL_ENTRY*) {}
void RemoveOutstandingRead(KERNEL_ENTRY*) {}

}  // namespace fw
