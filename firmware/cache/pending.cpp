// Stand-ins for the services of this subsystem that are not built yet:
// the least behaviour that lets their callers run.
#include "cache/cache.h"
#include "cache/outstanding_queues.h"
#include "config/config_db.h"
#include "config/ld_table.h"
#include "console/option_settings.h"
#include "executive/kernel_entry.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "cache/cache_entry.h"
#include "executive/types.h"
#include "hw/scsi.h"
#include "target/command_access.h"
#include "target/scsi_status.h"
#include "target/stage_rings.h"

namespace fw {

// Write sort: the write-optimisation parameters of the sequential write
// level, the cached-write limit and the sort's own switches.
namespace {
struct WRITE_OPTIMISATION {
    uint32_t dHoldLimit;       // coarse ticks
    uint64_t lHistoryDepth;    // the sequential-write detection's
    uint64_t lSequenceWindow;  // the optimisation stage's
};
WRITE_OPTIMISATION s_sOptimisation = {7, 150, 450};
uint32_t s_dCachedWriteLimit = 1200;
uint8_t s_fWriteSortEnabled = FALSE;
uint32_t s_dSortableWrites = 0;
}  // namespace

void CacheFlushSequencerStep() {}
void WriteSortService() {}
uint8_t fCheckExpansionMarker(uint8_t, uint8_t) { return FALSE; }
void ResetCacheFlushSequencer() {}
void StartCacheFlushSequencer(uint8_t) {}
void InitWriteSort() {}


uint8_t fGetCacheFlushSequencerRequest() { return FALSE; }
void CacheFlushSequencerBackgroundStep() {}

uint8_t fIsControllerWriteBackEnabled() { return TRUE; }
uint32_t dGetWriteBufferCount() { return 0; }
void RefreshHostLunTable() {}
void SetSequentialWriteLevel(uint8_t bLevel) {
    switch (bLevel) {
    case 1: s_sOptimisation = {2, 0, 0}; SetCommandClustering(FALSE); return;
    case 2: s_sOptimisation = {3, 24, 72}; break;
    case 3: s_sOptimisation = {5, 64, 192}; break;
    case 4: s_sOptimisation = {7, 150, 450}; break;
    default: s_sOptimisation = {3, 24, 72}; break;
    }
    SetCommandClustering(TRUE);
}
void SetThreadBalance(uint8_t) {}

namespace {
uint8_t s_fFlushPiecewiseMode = FALSE;
}  // namespace
uint8_t fGetFlushPiecewiseMode() { return s_fFlushPiecewiseMode; }
void SetFlushPiecewiseMode(uint8_t f) { s_fFlushPiecewiseMode = f; }



uint32_t dGetCachedWriteLimit() { return s_dCachedWriteLimit; }
void SetCachedWriteLimit(uint32_t d) { s_dCachedWriteLimit = d; }
uint32_t dGetSequentialHistoryDepth() { return static_cast<uint32_t>(s_sOptimisation.lHistoryDepth); }
uint64_t lGetOptimisationSequenceWindow() { return s_sOptimisation.lSequenceWindow; }
uint32_t dGetOptimisationHoldLimit() { return s_sOptimisation.dHoldLimit; }
uint8_t fIsRankWriteSortActive(uint8_t) { return s_fWriteSortEnabled; }
void IncSortableWriteCount() { ++s_dSortableWrites; }

// No flush sequencer yet: its write is done with.
void CompleteFlushWrite(KERNEL_ENTRY* psEntry) {
    const uint8_t bPort = psEntry->bPortCode;
    TakeWriteComplete(bPort);
    FreeTargetEntry(psEntry);
    DecPortTotalCommands(bPort);
}


void ShowLunMasterFlags(uint8_t) {}

}  // namespace fw
