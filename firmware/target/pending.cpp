// Stand-ins for the services of this subsystem that are not built yet:
// the least behaviour that lets their callers run.
#include "target/target_engine.h"

#include <cstring>

#include "cache/outstanding_queues.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/scsi_status.h"
#include "executive/types.h"
#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "hw/scsi.h"
#include "target/stage_rings.h"
#include "executive/timers.h"

namespace fw {

void InitIntermediateTargetQueues() {}
void TqmCommandDone(KERNEL_ENTRY*) {}
uint8_t fGetTqmStatisticsEnabled() { return FALSE; }
void UpdateRankMaxLatency(KERNEL_ENTRY*) {}
void PrintTqmSettings() {}
void PrintTqmLunLatency(uint16_t, const uint8_t*) {}
void BuildHostList() {}
uint16_t wGetHostListCount() { return 0; }
void PrintHostListHeader() {}
uint8_t bPrintHostListEntry(uint16_t) { return 0; }
void PrintHostList() {}
void ClearTqmStatistics() {}
void ExportTqmStatistics(uint8_t* pbDestination) {
    if (pbDestination != nullptr) std::memset(pbDestination, 0, 8392712);
}
void ParkCommandIocb(KERNEL_ENTRY*, const uint8_t*, const uint8_t*) {}
void AllocateHostList() {}
uint16_t wGetParkedCommandCount(uint8_t) { return 0; }
void ReleaseParkedCommand(uint8_t) {}
uint16_t wGetCompletedCommandCount(uint8_t) { return 0; }

void IwcqQueueWrite(KERNEL_ENTRY*, uint8_t) {}
void SetIwcqPendingFlag(uint8_t) {}
void DumpWriteCollapseQueues() {}
// Stand-in for the shutdown request.
void ReleaseLunQueuesForShutdown() {}

uint16_t wGetTargetSchedulingCount(uint8_t) { return 0; }
void TargetQueueService(uint8_t) {}
void TargetQueueTimeoutService() {}

void ApplyTqmSettings(const TQM_SETTINGS*) {}

// Target queue management is off until it is built: every command is admitted.
uint8_t bTqmCheckCommand(KERNEL_ENTRY*) { return 241; }
uint8_t bTqmStatusDelay(KERNEL_ENTRY*) { return 240; }
uint8_t fIsStatusDelaySet() { return FALSE; }
uint8_t bGetTqmResponseStatus(const KERNEL_ENTRY*) { return SCSI_STATUS_BUSY; }
void DecReleasedCount(uint8_t) {}

void FailManagementCommandOnAbort() {}
void ShowActiveLunsPerRank() {}

namespace {
uint8_t s_fDrivePortReady = FALSE;
}  // namespace
void SetDrivePortReady(uint8_t, uint8_t f) { s_fDrivePortReady = f; }
uint8_t fIsDrivePortReady(uint8_t) { return s_fDrivePortReady; }

}  // namespace fw
