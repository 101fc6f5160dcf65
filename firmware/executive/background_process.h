// The list of timed background jobs: up to 64 jobs with a type, an action,
// two arguments, a period in milliseconds and a callback, run from the
// background pass when the one 64-bit tick countdown armed for the earliest
// due job has reached zero.
#pragma once

#include <cstddef>
#include <cstdint>

#include "executive/date_time.h"

namespace fw {

constexpr uint16_t BACKGROUND_PROCESS_COUNT = 64;
constexpr uint16_t BACKGROUND_PROCESS_ACTIVE = 0x0001;   // wFlags bit 0
constexpr uint16_t BACKGROUND_PROCESS_NEW_FLAGS = 0x0013;
constexpr uint16_t BACKGROUND_PROCESS_NONE = 0xFFFF;     // id stored when nothing is found
constexpr uint8_t BACKGROUND_PROCESS_TYPE_APM = 1;
constexpr uint8_t BACKGROUND_PROCESS_TYPE_ARRAY = 4;     // wArg1 names an array

struct BACKGROUND_PROCESS;
using BackgroundProcessCallback = void (*)(uint16_t wId, uint16_t wArg1, uint16_t wArg2,
                                           BACKGROUND_PROCESS* psJob);

#pragma pack(push, 1)
struct BACKGROUND_PROCESS {
    uint16_t wId;
    uint8_t bType;
    uint8_t bAction;
    uint16_t wFlags;
    uint16_t wArg1;
    uint16_t wArg2;
    DATE_TIME sCreated;
    uint8_t abPad[2];            // keeps the two tick fields word aligned
    uint64_t lLastWakeup;        // ms tick of the last run (creation at first)
    uint64_t lPeriod;            // ms; 0 until a delay is set
    BackgroundProcessCallback pfnCallback;
    uint8_t abReserved[12];
};
#pragma pack(pop)
static_assert(sizeof(BACKGROUND_PROCESS) == 48 + sizeof(BackgroundProcessCallback));
static_assert(offsetof(BACKGROUND_PROCESS, lLastWakeup) == 20);
static_assert(offsetof(BACKGROUND_PROCESS, pfnCallback) == 36);

void InitBackgroundProcesses();
uint8_t bCreateBackgroundProcess(uint8_t bType, uint8_t bAction,
                                 BackgroundProcessCallback pfnCallback, uint16_t* pwId,
                                 uint16_t wArg1, uint16_t wArg2);
uint8_t bSetBackgroundProcessDelay(uint16_t wId, uint16_t wMs, uint8_t bSeconds,
                                   uint8_t bMinutes, uint8_t bHours, uint16_t wDays);
void DeleteBackgroundProcess(uint16_t wId);
void DeleteBackgroundProcessesOfType(uint8_t bType);
uint8_t fIsBackgroundProcessTypeActive(uint8_t bType);
uint8_t bGetBackgroundProcessAction(uint8_t bType);
uint8_t fFindBackgroundProcessOfType(uint8_t bType, uint16_t* pwId);
uint8_t fFindBackgroundProcessByArg(uint16_t wArg1, uint16_t* pwId);
uint16_t wGetActiveBackgroundProcessCount();
void RunBackgroundProcesses();
void ShowBackgroundProcessList();

// Read access for the dumps and tests; nullptr for an id out of range.
const BACKGROUND_PROCESS* psGetBackgroundProcess(uint16_t wId);

}  // namespace fw
