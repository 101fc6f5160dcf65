// SCSI target command engine services the rest of the firmware calls.
#pragma once

#include <cstdint>

#include "target/scsi2_reservations.h"

namespace fw {

struct KERNEL_ENTRY;

void InitIntermediateTargetQueues();
void InitPersistentReservations();
void PreparePersistentReservationsForJoin();
void PreparePersistentReservationKeysForJoin();
void SetPrOutWaitFlag(uint8_t f);
void SetPrOutPendingFlag(uint8_t f);
void SetPrOutPendingEntry(uint16_t wEntry);
// Target queue management.
void TqmCommandDone(KERNEL_ENTRY* psEntry);
uint8_t fGetTqmStatisticsEnabled();
// A host command's service time was recorded: its array's worst latency.
void UpdateRankMaxLatency(KERNEL_ENTRY* psEntry);
// The latency statistics: zeroed by a whole statistics clear, copied
// (8392712 bytes, zeros while off) behind an extended statistics record.
void ClearTqmStatistics();
void ExportTqmStatistics(uint8_t* pbDestination);
// Parks the request blocks of a command instead of posting them.
void ParkCommandIocb(KERNEL_ENTRY* psEntry, const uint8_t* pbFirst, const uint8_t* pbSecond);
// The admission test of a queued READ(16) or WRITE(16): 241 admit, 240
// refuse; the status delay of a refused one: 238 wait, 240 answer now.
uint8_t bTqmCheckCommand(KERNEL_ENTRY* psEntry);
uint8_t bTqmStatusDelay(KERNEL_ENTRY* psEntry);
uint8_t fIsStatusDelaySet();
// The status a refused command is answered with (8 BUSY or 0x28 TASK SET FULL).
uint8_t bGetTqmResponseStatus(const KERNEL_ENTRY* psEntry);
// One released (parked) request finished at the chip.
void DecReleasedCount(uint8_t bPort);

// ---- command handlers the dispatcher hands commands to ----
// Each answers through the status routines and takes the command off the
// new-command ring, or leaves it at the head to be dispatched again.  The
// command set itself is in target/inquiry.h, target/target_commands.h,
// target/buffer_commands.h and target/mode_pages.h.
// SCSI-2 reservations: target/scsi2_reservations.h.
// Persistent reservations.
uint8_t bCheckPersistentReservation(uint8_t bController, uint8_t bPortCode, uint8_t bPortIndex, uint8_t bOpcode,
                                    uint16_t wLun, uint16_t wInitiator);
uint8_t fIsAnyPersistentReservation();
uint8_t fGetPrAttentionPendingByte(uint8_t bPortIndex);
uint8_t bGetPendingPrAttention(uint8_t bController, uint8_t bPortIndex, uint16_t wInitiator, uint16_t wLun,
                               uint8_t* pbReason, uint8_t* pbAsc, uint8_t* pbAscq);
void AnswerPendingPrAttention(uint8_t bController, uint8_t bPortCode, uint16_t wInitiator, uint16_t wLun,
                              KERNEL_ENTRY* psEntry);
uint8_t fIsPrOutInProgress();
void AnswerPersistentReserveIn(KERNEL_ENTRY* psEntry);
void AnswerPersistentReserveOut(KERNEL_ENTRY* psEntry);
// The end of a PERSISTENT RESERVE OUT that held the in-progress flag.
void ClearPrOutWaitFlags();
void AllocateHostList();
uint16_t wGetParkedCommandCount(uint8_t bPort);
void ReleaseParkedCommand(uint8_t bPort);
uint16_t wGetCompletedCommandCount(uint8_t bPort);

// Used by the internal KERNEL_ENTRY pool and the initiator kernel queue.
void IwcqQueueWrite(KERNEL_ENTRY* psEntry, uint8_t f);
void SetIwcqPendingFlag(uint8_t f);
void DumpWriteCollapseQueues();
// Used by the system tick and the stop paths of the executive.
void ReleaseLunQueuesForShutdown();

// Background pass services of the target engine.
uint16_t wGetTargetSchedulingCount(uint8_t bPort);
void TargetQueueService(uint8_t bPort);
void TargetQueueTimeoutService();

// Used by the drive side: its port (0x61) came up or went down.
void SetDrivePortReady(uint8_t bPortCode, uint8_t f);
uint8_t fIsDrivePortReady(uint8_t bPortCode);

// Used by the configuration database.
struct CACHE_SETTINGS_BLOCK;
struct PR_RECORD;
void TargetEnginePostCommit(const CACHE_SETTINGS_BLOCK* psBlock);
void RestorePersistentReservation(const PR_RECORD* psRecord);
// The end of a commit the target engine asked for (requester 14).
void CompleteTargetEngineConfigRequest(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3);
// Ends the management command in progress with a failure when an
// interrupted commit releases the host command hold.
void FailManagementCommandOnAbort();

// Data-out completions of the target commands: PERSISTENT RESERVE OUT (76;
// 16 asks to be run again); those of RESERVE(10) and RELEASE(10) are in
// target/scsi2_reservations.h.  MODE SELECT and the echo buffer answer from their own
// modules (target/mode_pages.h, target/buffer_commands.h).
uint8_t bPersistentReserveOutData(KERNEL_ENTRY* psEntry);

// Console dumps of the reservations and the active LUNs of each array.
void DumpPersistentReservations();
void ShowActiveLunsPerRank();

}  // namespace fw
