// The list of timed background jobs.
#include "executive/background_process.h"

#include <algorithm>
#include <cstring>

#include "executive/console_output.h"
#include "executive/date_time.h"
#include "executive/tick.h"
#include "executive/types.h"

namespace fw {

namespace {

BACKGROUND_PROCESS s_asJobs[BACKGROUND_PROCESS_COUNT];
uint16_t s_wActiveCount;

// The countdown is armed at least this far ahead when a job is already due.
constexpr uint64_t DUE_NOW_COUNTDOWN_MS = 2;

bool IsActive(const BACKGROUND_PROCESS& sJob) {
    return (sJob.wFlags & BACKGROUND_PROCESS_ACTIVE) != 0;
}

uint64_t lDueTime(const BACKGROUND_PROCESS& sJob) {
    return sJob.lLastWakeup + sJob.lPeriod;
}

// Arms the tick countdown for the earliest due job.
void RearmWakeupTimer() {
    uint64_t lEarliest = UINT64_MAX;
    uint16_t wSeen = 0;
    for (uint16_t w = 0; w < BACKGROUND_PROCESS_COUNT && wSeen < s_wActiveCount; ++w) {
        if (!IsActive(s_asJobs[w])) continue;
        ++wSeen;
        lEarliest = std::min(lEarliest, lDueTime(s_asJobs[w]));
    }
    if (wSeen == 0) return;
    const uint64_t lNow = lGetTickCount();
    SetLongCountdown(lEarliest > lNow ? lEarliest - lNow : DUE_NOW_COUNTDOWN_MS);
}

// Calls fnVisit(job) for every active job in id order until it returns true;
// returns the id it stopped at or BACKGROUND_PROCESS_NONE.
template <typename Visit>
uint16_t wFindActive(Visit fnVisit) {
    for (uint16_t w = 0; w < BACKGROUND_PROCESS_COUNT; ++w) {
        if (IsActive(s_asJobs[w]) && fnVisit(s_asJobs[w])) return w;
    }
    return BACKGROUND_PROCESS_NONE;
}

uint16_t wFindOfType(uint8_t bType) {
    return wFindActive([bType](const BACKGROUND_PROCESS& s) { return s.bType == bType; });
}

uint8_t fStoreFound(uint16_t wId, uint16_t* pwId) {
    if (pwId != nullptr) *pwId = wId;
    return ToFlag(wId != BACKGROUND_PROCESS_NONE);
}

}  // namespace

void InitBackgroundProcesses() {
    std::memset(s_asJobs, 0, sizeof(s_asJobs));
    for (uint16_t w = 0; w < BACKGROUND_PROCESS_COUNT; ++w) s_asJobs[w].wId = w;
    s_wActiveCount = 0;
}

uint8_t bCreateBackgroundProcess(uint8_t bType, uint8_t bAction,
                                 BackgroundProcessCallback pfnCallback, uint16_t* pwId,
                                 uint16_t wArg1, uint16_t wArg2) {
    for (uint16_t w = 0; w < BACKGROUND_PROCESS_COUNT; ++w) {
        BACKGROUND_PROCESS& sJob = s_asJobs[w];
        if (IsActive(sJob)) continue;
        sJob.wArg1 = wArg1;
        sJob.wFlags = BACKGROUND_PROCESS_NEW_FLAGS;
        sJob.bAction = bAction;
        sJob.pfnCallback = pfnCallback;
        sJob.bType = bType;
        sJob.wArg2 = wArg2;
        GetDateTime(&sJob.sCreated);
        sJob.lLastWakeup = lGetTickCount();
        if (pwId != nullptr) *pwId = w;
        ++s_wActiveCount;
        return STATUS_OK;
    }
    return STATUS_RETRY;
}

uint8_t bSetBackgroundProcessDelay(uint16_t wId, uint16_t wMs, uint8_t bSeconds,
                                   uint8_t bMinutes, uint8_t bHours, uint16_t wDays) {
    if (wId >= BACKGROUND_PROCESS_COUNT) return 0;
    if (wMs >= 1000 || bSeconds >= 60 || bMinutes >= 60 || bHours >= 24 || wDays > 31) return 0;
    if (wMs == 0 && bSeconds == 0 && bMinutes == 0 && bHours == 0 && wDays == 0) return 0;
    const uint32_t dPeriod = wDays * 86400000u + bHours * 3600000u + bMinutes * 60000u +
                             bSeconds * 1000u + wMs;
    s_asJobs[wId].lPeriod = dPeriod;
    RearmWakeupTimer();
    return STATUS_OK;
}

void DeleteBackgroundProcess(uint16_t wId) {
    if (wId >= BACKGROUND_PROCESS_COUNT) return;
    BACKGROUND_PROCESS& sJob = s_asJobs[wId];
    if (IsActive(sJob) && s_wActiveCount > 0) --s_wActiveCount;
    sJob.bAction = 0;
    sJob.pfnCallback = nullptr;
    sJob.lPeriod = 0;
    sJob.wFlags = 0;
    sJob.bType = 0;
    RearmWakeupTimer();
}

void DeleteBackgroundProcessesOfType(uint8_t bType) {
    for (uint16_t w = 0; w < BACKGROUND_PROCESS_COUNT; ++w) {
        if (IsActive(s_asJobs[w]) && s_asJobs[w].bType == bType) DeleteBackgroundProcess(w);
    }
}

uint8_t fIsBackgroundProcessTypeActive(uint8_t bType) {
    return ToFlag(wFindOfType(bType) != BACKGROUND_PROCESS_NONE);
}

uint8_t bGetBackgroundProcessAction(uint8_t bType) {
    for (uint16_t w = BACKGROUND_PROCESS_COUNT; w-- > 0;) {
        if (IsActive(s_asJobs[w]) && s_asJobs[w].bType == bType) return s_asJobs[w].bAction;
    }
    return 0;
}

uint8_t fFindBackgroundProcessOfType(uint8_t bType, uint16_t* pwId) {
    return fStoreFound(wFindOfType(bType), pwId);
}

uint8_t fFindBackgroundProcessByArg(uint16_t wArg1, uint16_t* pwId) {
    const uint16_t wId = wFindActive([wArg1](const BACKGROUND_PROCESS& s) {
        return s.bType == BACKGROUND_PROCESS_TYPE_ARRAY && s.wArg1 == wArg1;
    });
    // A miss leaves the caller's id alone.
    return wId == BACKGROUND_PROCESS_NONE ? FALSE : fStoreFound(wId, pwId);
}

uint16_t wGetActiveBackgroundProcessCount() { return s_wActiveCount; }

void RunBackgroundProcesses() {
    uint16_t wVisited = 0;
    // The count is read again after every callback: a callback may create or
    // delete jobs, its own included.
    for (uint16_t w = 0; w < BACKGROUND_PROCESS_COUNT && wVisited < s_wActiveCount; ++w) {
        BACKGROUND_PROCESS& sJob = s_asJobs[w];
        if (!IsActive(sJob)) continue;
        ++wVisited;
        const uint64_t lNow = lGetTickCount();
        if (lDueTime(sJob) > lNow) continue;
        sJob.lLastWakeup = lNow;
        if (sJob.pfnCallback != nullptr) sJob.pfnCallback(w, sJob.wArg1, sJob.wArg2, &sJob);
    }
}

void ShowBackgroundProcessList() {
    ConsolePrintf("\n\nDumping contents of background process list\n\n");
    ConsolePrintf("ID  ProcType  Flags   Creation Time              Time Since Last Wakeup   "
                  "Time to wakeup \n");
    for (uint16_t w = 0; w < BACKGROUND_PROCESS_COUNT; ++w) {
        const BACKGROUND_PROCESS& sJob = s_asJobs[w];
        if (!IsActive(sJob)) continue;
        ConsolePrintf("%d", w);
        if (sJob.bType == BACKGROUND_PROCESS_TYPE_APM) {
            ConsolePrintf("    APM");
        } else {
            ConsolePrintf("       %d", sJob.bType);
        }
        ConsolePrintf("      0x%04x  ", sJob.wFlags);
        PrintDateTime(&sJob.sCreated);
        ConsolePrintf("  ");
        const uint64_t lNow = lGetTickCount();
        PrintElapsedMs(lNow - sJob.lLastWakeup);
        ConsolePrintf("          ");
        if (lDueTime(sJob) > lNow) {
            PrintElapsedMs(lDueTime(sJob) - lNow);
        } else {
            ConsolePrintf("    0");
        }
        ConsolePrintf("\n");
    }
}

const BACKGROUND_PROCESS* psGetBackgroundProcess(uint16_t wId) {
    return wId < BACKGROUND_PROCESS_COUNT ? &s_asJobs[wId] : nullptr;
}

}  // namespace fw
