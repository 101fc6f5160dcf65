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
void ServiceDataReceived();
void ServiceOptimization();
uint8_t ProcessWriteReadyQueue(uint8_t bPort, uint8_t bMode);
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

}  // namespace fw
