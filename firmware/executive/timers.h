// The sorted timer list and the completion-callback pool.
#pragma once

#include <cstdint>

#include "hw/addresses.h"

namespace fw {

struct KERNEL_ENTRY;
struct TIMER_NODE;

using TIMER_CALLBACK = void (*)(KERNEL_ENTRY* psOwner, TIMER_NODE* psNode);
using COMPLETION_CALLBACK = void (*)(KERNEL_ENTRY* psEntry);

// Embedded in its owner (the sTimer field of a KERNEL_ENTRY).  Both links are
// null while the timer is not armed.
struct TIMER_NODE {
    TIMER_NODE* psNext;
    TIMER_NODE* psPrev;
    uint64_t lExpiry;  // millisecond tick at which the timer fires
    TIMER_CALLBACK pfnCallback;
};
static_assert(sizeof(void*) != 4 || sizeof(TIMER_NODE) == 20);

// Two words, so that a buffer page grown into the pool holds 512 of them.
struct CALLBACK_NODE {
    WORD_POINTER<void(KERNEL_ENTRY*)> pfnCallback;
    WORD_POINTER<CALLBACK_NODE> psNext;
};
static_assert(sizeof(CALLBACK_NODE) == 8);

constexpr uint32_t CALLBACK_STATIC_NODES = 512;

void InitTimerList();
void InsertTimer(KERNEL_ENTRY* psOwner, TIMER_CALLBACK pfnCallback, uint32_t dDelayMs);
void RunExpiredTimers();
TIMER_NODE* TimerListInsertBefore(TIMER_NODE* psHead, TIMER_NODE* psNode);
void TimerListInsertAfter(TIMER_NODE* psNode, TIMER_NODE* psNew);
TIMER_NODE* TimerListRemove(TIMER_NODE** ppsHead, TIMER_NODE* psNode);
uint8_t fIsTimerArmed(const TIMER_NODE* psNode);
void ShowSoftwareTimers();

void InitCallbackPool();
uint8_t bGrowCallbackPool();
CALLBACK_NODE* pAllocCallbackNode();
void FreeCallbackNode(CALLBACK_NODE* psNode);
uint8_t bPushCompletionCallback(KERNEL_ENTRY* psEntry, COMPLETION_CALLBACK pfnCallback);
COMPLETION_CALLBACK pPopCompletionCallback(KERNEL_ENTRY* psEntry);

}  // namespace fw
