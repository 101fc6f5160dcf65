// RAID engine services the rest of the firmware calls.
#pragma once

#include <cstdint>

#include "raid/xor_engine.h"

namespace fw {

void RebuildScheduler();
uint16_t wGetInternalWaitListCount();
void ServiceWaitListA();
void ServiceWaitListB();
void SetRaidStartFlag(uint8_t f);
void InitStripeInitTable();
void InitParityCheckState();
void SetRebuildParFlag(uint8_t f);
void SetRebuildActiveFlag(uint8_t f);
void SetDriveVerifyState(uint8_t b);
void InitRebuildNvRecord();
void ClearRebuildWorkArea();
void ParityEngineJoinFollowUp();
void AllocateRaidEngineTables();
void AllocateDualParityTables();
void ResetRaidStartFlags();
// The per-drive timer table the drive side arms at start of day.
void ClearDriveTimerTable();
void SetDriveTimerPeriod(uint8_t bPeriod);

// Non-zero: the internal pool's wait list is served in arrival order.
uint32_t dGetWaitListOrderingWord();
// Background pass and FIQ services of the RAID engine.
void FailedDriveCommandTask();
uint8_t fIsStripeInitInProgress(uint8_t bArray);   // 64 asks for any array
void StripeInitTask();
uint8_t fIsParityCheckInProgress();
void ParityCheckTask();
uint8_t fIsExpansionInProgress();
void ExpansionTask();
uint8_t fGetRebuildCheckRequest();
void RebuildCheckTask();

// Used by the configuration apply and the array table.
uint8_t bGetRebuildTargetDrive();
void ResetDriveVerifyProgress();
uint8_t bGetExpansionRank();
void SetExpansionRank(uint8_t bRank);
void RestartExpansion(uint8_t bRank, uint8_t f);
void SetExpansionFlag4(uint8_t f);
void ClearExpansionNvRecord();
void ClearStripeInitProgress(uint8_t bRank);   // 64: all arrays
void StartStripeInit(uint8_t bRank, uint8_t bMode);
void MarkStripeInitForRestart();
void SetStripeInitRestartAll();
void GetRebuildSourceWwn(uint8_t* pbWwn);
uint8_t bGetRebuildRank();
uint8_t bGetRebuildRecordByte(uint8_t bIndex);
uint8_t bRestartRebuild(uint8_t bTarget, uint8_t bArgument);
void ResetRebuildState();
void StartRebuildOfRank(uint8_t bRank);
void StartParityCheckOfRank(uint8_t bRank);
void SetParityCheckStopRequest(uint8_t f);
void SetRebuildCheckPending(uint8_t f);

uint64_t lGetRebuildPosition();   // internal address the rebuild has reached

// Continuations the XOR engine hands finished requests to.
struct KERNEL_ENTRY;
void IssueOrFailAfterXor(KERNEL_ENTRY* psEntry);
void IssueFullRowWrites(KERNEL_ENTRY* psEntry);
void IssueParityWrite(KERNEL_ENTRY* psHead);
void IssueAfterXor(KERNEL_ENTRY* psEntry);
void IssueChild(KERNEL_ENTRY* psEntry);
void ContinueRaid6FullRow(KERNEL_ENTRY* psFirst);
void ContinueRaid6Update(KERNEL_ENTRY* psHead);
void IssueRaid6DegradedWrites(KERNEL_ENTRY* psFirst);
void ContinueRaid6DegradedWrite(KERNEL_ENTRY* psFirst);
void FinishRaid6Regeneration(KERNEL_ENTRY* psFirst);
void RebuildRegionReadComplete(KERNEL_ENTRY* psRegion);
void StripeInitOnDemandStep(KERNEL_ENTRY* psCommand);
void StripeInitRepairStep(KERNEL_ENTRY* psCommand);
void ContinueRaid6StripeRepair(KERNEL_ENTRY* psHead);

}  // namespace fw
