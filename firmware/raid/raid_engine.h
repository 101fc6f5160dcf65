// RAID engine services the rest of the firmware calls.
#pragma once

#include <cstdint>

#include "raid/drive_verify.h"
#include "raid/expansion.h"
#include "raid/parity_check.h"
#include "raid/rebuild.h"
#include "raid/rebuild_check.h"
#include "raid/stripe_init.h"
#include "raid/stripe_init_steps.h"
#include "raid/xor_engine.h"
#include "raid/zero_write_job.h"

namespace fw {

uint16_t wGetInternalWaitListCount();
void ServiceWaitListA();
void ServiceWaitListB();
void SetRaidStartFlag(uint8_t f);
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

// An edit opened after drive attention: a stripe initialisation in progress
// stops, and a rebuild recorded as pending in NVRAM is forgotten.
void CancelPendingArrayJobs();

// Continuations the XOR engine hands finished requests to.
struct KERNEL_ENTRY;
void ContinueRaid6FullRow(KERNEL_ENTRY* psFirst);
void ContinueRaid6Update(KERNEL_ENTRY* psHead);
void IssueRaid6DegradedWrites(KERNEL_ENTRY* psFirst);
void ContinueRaid6DegradedWrite(KERNEL_ENTRY* psFirst);
void FinishRaid6Regeneration(KERNEL_ENTRY* psFirst);
// Background job mothers back from their children: a stripe
// initialisation step, and the other jobs' mothers on wait list B.
void StripeInitStepDone(KERNEL_ENTRY* psCommand);
void WaitListBOtherJob(KERNEL_ENTRY* psCommand);
void ContinueRaid6StripeRepair(KERNEL_ENTRY* psHead);

// Window tests of host I/O against the rebuild and the expansion.
constexpr uint8_t REBUILD_WINDOW_OUTSIDE = 85;
constexpr uint8_t REBUILD_WINDOW_BUSY = 84;
constexpr uint8_t REBUILD_WINDOW_AHEAD = 83;
constexpr uint8_t REBUILD_WINDOW_REBUILT = 82;
constexpr uint8_t EXPANSION_WINDOW_BUSY = 89;
constexpr uint8_t EXPANSION_WINDOW_WAIT = 91;

// Completion handlers of the background jobs' drive children.
uint8_t fStripeRepairChildComplete(KERNEL_ENTRY* psChild);

// The parity engines' completions of their children (TRUE: free it).
uint8_t fRaid5ChildComplete(KERNEL_ENTRY* psChild);
uint8_t fRaid6ChildComplete(KERNEL_ENTRY* psChild);
// A group held behind another: issued when that one succeeded, freed when
// it failed.
void ReleaseHeldGroup(KERNEL_ENTRY* psFirst, uint8_t fFailed);
void SetRaid6ReserveInUse(uint8_t f);
uint8_t fGetRaid6ReserveInUse();

// Host I/O on RAID 5/50 and RAID 6 ranks: the command's children are built
// and queued; 16 when the engine is out of child entries or pages.
uint8_t bMapParityCommand(uint8_t bRank, KERNEL_ENTRY* psCommand, uint32_t dBufferHandle);
uint8_t bMapRaid6Command(uint8_t bRank, KERNEL_ENTRY* psCommand, uint32_t dBufferHandle);

}  // namespace fw
