// Stand-ins for the services of this subsystem that are not built yet:
// the least behaviour that lets their callers run.
#include "target/target_engine.h"
#include "cache/outstanding_queues.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/scsi_status.h"
#include "executive/types.h"
#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "executive/timers.h"

namespace fw {

namespace {
void AnswerGood(KERNEL_ENTRY* psEntry) {
    psEntry->bPrimaryState = HOST_STATE_STATUS;
    (void)SendScsiStatus(psEntry, 0, 0, 0);
}
}  // namespace

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

// The history of recent commands per port: a ring of entry indices.
namespace {
constexpr uint16_t HISTORY_SLOTS = 3201;
uint16_t s_aawHistory[5][HISTORY_SLOTS];
uint16_t s_awHistoryIn[5];
bool s_fHistoryReady = false;
int iHistoryOf(uint8_t bPortCode) {
    switch (bPortCode) {
    case PORT_CODE_FC_HOST_1: return 0;
    case PORT_CODE_FC_HOST_2: return 1;
    case PORT_CODE_SAS_HOST_1: return 2;
    case PORT_CODE_SAS_HOST_2: return 3;
    case PORT_CODE_INTERNAL:
    case PORT_CODE_MODULE: return 4;
    default: return -1;
    }
}
void PrepareHistory() {
    if (s_fHistoryReady) return;
    for (auto& aw : s_aawHistory)
        for (uint16_t& w : aw) w = 0xFFFF;
    s_fHistoryReady = true;
}
}  // namespace
void RecordPortCommand(uint8_t bPortCode, uint16_t wIndex) {
    const int i = iHistoryOf(bPortCode);
    if (i < 0) return;
    PrepareHistory();
    s_aawHistory[i][s_awHistoryIn[i]] = wIndex;
    s_awHistoryIn[i] = static_cast<uint16_t>((s_awHistoryIn[i] + 1) % HISTORY_SLOTS);
}
uint8_t fGetRecentPortCommand(uint8_t bPortCode, uint16_t wBack, KERNEL_ENTRY** ppsEntry) {
    const int i = iHistoryOf(bPortCode);
    if (i < 0 || wBack == 0 || wBack >= HISTORY_SLOTS) return FALSE;
    PrepareHistory();
    const uint16_t wSlot = static_cast<uint16_t>((s_awHistoryIn[i] + HISTORY_SLOTS - wBack) % HISTORY_SLOTS);
    const uint16_t wIndex = s_aawHistory[i][wSlot];
    if (wIndex >= HOST_ENTRY_COUNT) return FALSE;
    (void)wGetTargetEntry(wIndex, ppsEntry);
    return TRUE;
}
uint8_t fIsOlderCommandWaiting(KERNEL_ENTRY*) { return FALSE; }
void DecPriorityCount(uint8_t, uint16_t) {}
uint8_t fIsRankQueueDeep(const KERNEL_ENTRY* psEntry) {
    return ToFlag(dGetRankOutstandingWrites(psEntry->bRank) > 32);
}
void ModeSelectData(KERNEL_ENTRY* psEntry) { AnswerGood(psEntry); }
uint8_t bPersistentReserveOutData(KERNEL_ENTRY* psEntry) {
    AnswerGood(psEntry);
    return STATUS_OK;
}
void FinishEchoBufferWrite(KERNEL_ENTRY* psEntry) { AnswerGood(psEntry); }
void ReserveParameterData(KERNEL_ENTRY* psEntry, uint8_t) { AnswerGood(psEntry); }
void ReleaseParameterData(KERNEL_ENTRY* psEntry, uint8_t) { AnswerGood(psEntry); }

}  // namespace fw
