#include "sas/sas_flags.h"

#include "executive/tick.h"
#include "executive/types.h"

namespace fw {

namespace {

uint8_t s_fTimedHold = FALSE;
uint64_t s_lTimedHoldTick = 0;
uint8_t s_fIocRestartRequest = FALSE;
uint8_t s_fSecondIocRestart = FALSE;
uint8_t s_fIocRestartInProgress = FALSE;
uint8_t s_fPortWait = FALSE;
uint64_t s_lPortWaitTick = 0;
uint64_t s_lDriveSideHoldOff = 0;
uint64_t s_lDeadline = 0;
uint32_t s_dTaskManagementCount = 0;
uint64_t s_lTaskManagementTick = 0;
constexpr uint64_t TASK_MANAGEMENT_EXPIRY_MS = 10000;
uint8_t s_fPhyReenableWork = FALSE;

}  // namespace

void SetSASTimedHoldFlag(uint8_t f) {
    if (f == TRUE) s_lTimedHoldTick = lGetTickCount();
    s_fTimedHold = f;
}
uint8_t fGetSASTimedHoldFlag() { return s_fTimedHold; }
uint64_t lGetSASTimedHoldTick() { return s_lTimedHoldTick; }

void SetSASIOCRestartRequest(uint8_t f) { s_fIocRestartRequest = f; }
uint8_t fIsSASIOCRestartRequested() { return s_fIocRestartRequest; }
void SetSASSecondIOCRestart(uint8_t f) { s_fSecondIocRestart = f; }
uint8_t fIsSASSecondIOCRestartRequested() { return s_fSecondIocRestart; }
void SetSASIOCRestartInProgress(uint8_t f) { s_fIocRestartInProgress = f; }
uint8_t fIsSASIOCRestartInProgress() { return s_fIocRestartInProgress; }

void SetSASPortWaitFlag(uint8_t f) {
    if (f == TRUE) s_lPortWaitTick = lGetTickCount();
    s_fPortWait = f;
}
uint8_t fGetSASPortWaitFlag() { return s_fPortWait; }
uint64_t lGetSASPortWaitTick() { return s_lPortWaitTick; }

void SetSASDriveSideHoldOff(uint64_t lTick) { s_lDriveSideHoldOff = lTick; }
uint64_t lGetSASDriveSideHoldOff() { return s_lDriveSideHoldOff; }

void ExtendSASDeadline(uint32_t dMs) {
    const uint64_t lTick = lGetTickCount() + dMs;
    if (lTick > s_lDeadline) s_lDeadline = lTick;
}
uint64_t lGetSASDeadline() { return s_lDeadline; }

void IncrementSASTaskManagementCount() {
    if (s_dTaskManagementCount == 0) s_lTaskManagementTick = lGetTickCount();
    ++s_dTaskManagementCount;
}

void DecrementSASTaskManagementCount() {
    s_lTaskManagementTick = lGetTickCount();
    if (s_dTaskManagementCount != 0) --s_dTaskManagementCount;
}

void SetSASTaskManagementCount(uint32_t dCount) { s_dTaskManagementCount = dCount; }

uint32_t dGetSASTaskManagementCount() { return s_dTaskManagementCount; }

uint32_t dExpireSASTaskManagementCount() {
    if (lGetTickCount() - s_lTaskManagementTick > TASK_MANAGEMENT_EXPIRY_MS) s_dTaskManagementCount = 0;
    return s_dTaskManagementCount;
}

void SetSASPhyReenableWork(uint8_t f) { s_fPhyReenableWork = f; }
uint8_t fGetSASPhyReenableWork() { return s_fPhyReenableWork; }

}  // namespace fw
