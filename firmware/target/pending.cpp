// Stand-ins for the services of this subsystem that are not built yet:
// the least behaviour that lets their callers run.
#include "target/target_engine.h"
#include "executive/types.h"
#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "executive/timers.h"

namespace fw {

void InitIntermediateTargetQueues() {}
void ResetHostInterfaceBitmaps() {}
void InitPersistentReservations() {}
void PreparePersistentReservationsForJoin() {}
void PreparePersistentReservationKeysForJoin() {}
void InitModePageDefaults() {}
void InitScsi2Reservations() {}
void InitTargetDispatcher() {}
void SetPrOutWaitFlag(uint8_t) {}
void SetPrOutPendingFlag(uint8_t) {}
void SetPrOutPendingEntry(uint16_t) {}
void InitLunScheduler() {}
void TqmCommandDone(KERNEL_ENTRY*) {}
uint8_t fGetTqmStatisticsEnabled() { return FALSE; }
void ParkCommandIocb(KERNEL_ENTRY*, const uint8_t*, const uint8_t*) {}
void AllocateHostList() {}
void ServiceTargetCommandComplete(uint8_t) {}
uint16_t wGetParkedCommandCount(uint8_t) { return 0; }
void ReleaseParkedCommand(uint8_t) {}
void ServiceDataReceived() {}
void ServiceOptimization() {}
uint8_t ProcessWriteReadyQueue(uint8_t, uint8_t) { return STATUS_OK; }
void ServiceWriteComplete(uint8_t) {}
uint16_t wGetCompletedCommandCount(uint8_t) { return 0; }
uint8_t DispatchScsiCommand(uint8_t) { return STATUS_OK; }
void RunLunScheduler() {}

void IwcqQueueWrite(KERNEL_ENTRY*, uint8_t) {}
void SetIwcqPendingFlag(uint8_t) {}
void DumpWriteCollapseQueues() {}
// Stand-in for the shutdown request.
void ReleaseLunQueuesForShutdown() {}

uint16_t wGetHostCommandPoolCount(uint8_t) { return 0; }
void HostCommandService(uint8_t) {}
uint16_t wGetTargetSchedulingCount(uint8_t) { return 0; }
void TargetQueueService(uint8_t) {}
void TargetQueueTimeoutService() {}

void TargetEnginePostCommit(const CACHE_SETTINGS_BLOCK*) {}
void RestorePersistentReservation(const PR_RECORD*) {}

namespace {
uint16_t s_aawOtherPriority[64][100];
}  // namespace
void ResetOtherPriorityCounts() {
    for (auto& aw : s_aawOtherPriority)
        for (uint16_t& w : aw) w = 0;
}
void IncOtherPriorityCount(uint8_t bRank, uint16_t wBucket) {
    if (bRank < 64 && wBucket < 100) ++s_aawOtherPriority[bRank][wBucket];
}
uint16_t wGetOtherPriorityCount(uint8_t bRank, uint16_t wBucket) {
    return (bRank < 64 && wBucket < 100) ? s_aawOtherPriority[bRank][wBucket] : 0;
}

}  // namespace fw
