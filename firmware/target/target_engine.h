// SCSI target command engine services the rest of the firmware calls.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;

void InitIntermediateTargetQueues();
void ResetHostInterfaceBitmaps();
void InitPersistentReservations();
void PreparePersistentReservationsForJoin();
void PreparePersistentReservationKeysForJoin();
void InitModePageDefaults();
void InitScsi2Reservations();
void InitTargetDispatcher();
void SetPrOutWaitFlag(uint8_t f);
void SetPrOutPendingFlag(uint8_t f);
void SetPrOutPendingEntry(uint16_t wEntry);
void InitLunScheduler();
// Target queue management.
void TqmCommandDone(KERNEL_ENTRY* psEntry);
uint8_t fGetTqmStatisticsEnabled();
// Parks the request blocks of a command instead of posting them.
void ParkCommandIocb(KERNEL_ENTRY* psEntry, const uint8_t* pbFirst, const uint8_t* pbSecond);
void AllocateHostList();
void ServiceTargetCommandComplete(uint8_t bPort);
uint16_t wGetParkedCommandCount(uint8_t bPort);
void ReleaseParkedCommand(uint8_t bPort);
void ServiceWriteComplete(uint8_t bPort);
uint16_t wGetCompletedCommandCount(uint8_t bPort);
uint8_t DispatchScsiCommand(uint8_t bPort);
void RunLunScheduler();

// Used by the internal KERNEL_ENTRY pool and the initiator kernel queue.
void IwcqQueueWrite(KERNEL_ENTRY* psEntry, uint8_t f);
void SetIwcqPendingFlag(uint8_t f);
void DumpWriteCollapseQueues();
// Used by the system tick and the stop paths of the executive.
void ReleaseLunQueuesForShutdown();

// Background pass services of the target engine.
uint16_t wGetHostCommandPoolCount(uint8_t bPort);
void HostCommandService(uint8_t bPort);
uint16_t wGetTargetSchedulingCount(uint8_t bPort);
void TargetQueueService(uint8_t bPort);
void TargetQueueTimeoutService();

// Used by the configuration database.
struct CACHE_SETTINGS_BLOCK;
struct PR_RECORD;
void TargetEnginePostCommit(const CACHE_SETTINGS_BLOCK* psBlock);
void RestorePersistentReservation(const PR_RECORD* psRecord);

// The LUN scheduler's second priority table, filled by the write journal's
// periodic step with the ages of the partner's cached extents.
void ResetOtherPriorityCounts();
void IncOtherPriorityCount(uint8_t bRank, uint16_t wBucket);
uint16_t wGetOtherPriorityCount(uint8_t bRank, uint16_t wBucket);

// LUN scheduler: the per-port history of recent commands, the priority test
// of an older waiting command and its age buckets, the rank queue limit.
void RecordPortCommand(uint8_t bPortCode, uint16_t wIndex);
uint8_t fGetRecentPortCommand(uint8_t bPortCode, uint16_t wBack, KERNEL_ENTRY** ppsEntry);
uint8_t fIsOlderCommandWaiting(KERNEL_ENTRY* psEntry);
void DecPriorityCount(uint8_t bRank, uint16_t wBucket);
uint8_t fIsRankQueueDeep(const KERNEL_ENTRY* psEntry);
// Data-out completions of the target commands: MODE SELECT (type 83),
// PERSISTENT RESERVE OUT (76; 16 asks to be run again), the echo buffer (71)
// and the parameter data of RESERVE(10) and RELEASE(10).
void ModeSelectData(KERNEL_ENTRY* psEntry);
uint8_t bPersistentReserveOutData(KERNEL_ENTRY* psEntry);
void FinishEchoBufferWrite(KERNEL_ENTRY* psEntry);
void ReserveParameterData(KERNEL_ENTRY* psEntry, uint8_t fResult);
void ReleaseParameterData(KERNEL_ENTRY* psEntry, uint8_t fResult);

}  // namespace fw
