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

void CacheFlushSequencerStep() {}
uint8_t fCheckExpansionMarker(uint8_t, uint8_t) { return FALSE; }
void ResetCacheFlushSequencer() {}
void StartCacheFlushSequencer(uint8_t) {}

uint8_t fGetCacheFlushSequencerRequest() { return FALSE; }
void CacheFlushSequencerBackgroundStep() {}

uint8_t fIsControllerWriteBackEnabled() { return TRUE; }
uint32_t dGetWriteBufferCount() { return 0; }
void RefreshHostLunTable() {}
void SetThreadBalance(uint8_t) {}

namespace {
uint8_t s_fFlushPiecewiseMode = FALSE;
}  // namespace
uint8_t fGetFlushPiecewiseMode() { return s_fFlushPiecewiseMode; }
void SetFlushPiecewiseMode(uint8_t f) { s_fFlushPiecewiseMode = f; }

// No flush sequencer yet: its write is done with.
void CompleteFlushWrite(KERNEL_ENTRY* psEntry) {
    const uint8_t bPort = psEntry->bPortCode;
    TakeWriteComplete(bPort);
    FreeTargetEntry(psEntry);
    DecPortTotalCommands(bPort);
}

void ShowLunMasterFlags(uint8_t) {}

}  // namespace fw
