// The sorted timer list and the completion-callback pool.
#include "executive/timers.h"

#include <cstddef>

#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/interrupt_controller.h"
#include "executive/kernel_entry.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "hw/hw.h"

namespace fw {

namespace {

TIMER_NODE* s_psTimerHead = nullptr;  // earliest timer; its psPrev is the latest

CALLBACK_NODE s_asStaticCallbackNodes[CALLBACK_STATIC_NODES];
CALLBACK_NODE* s_psCallbackFreeHead = nullptr;
CALLBACK_NODE* s_psCallbackFreeTail = nullptr;

constexpr uint32_t CALLBACK_NODES_PER_PAGE = BUFFER_PAGE_SIZE / sizeof(CALLBACK_NODE);
constexpr uint32_t STOPWATCH_COUNTS_PER_US = 400;  // timer 1 runs at 400 MHz

// Masks interrupts for the timer list unless the caller already runs masked
// (inside the FIQ handler, or before interrupts are first enabled), so that
// leaving the section never unmasks what the caller had masked.
uint8_t fMaskTimerList() {
    if ((CpuGetInterruptMask() & (CPSR_IRQ_MASK | CPSR_FIQ_MASK)) != 0) return FALSE;
    DisableInterrupts();
    return TRUE;
}

void UnmaskTimerList(uint8_t fMasked) {
    if (fMasked == TRUE) EnableInterrupts();
}

KERNEL_ENTRY* OwnerOf(TIMER_NODE* psNode) {
    return reinterpret_cast<KERNEL_ENTRY*>(reinterpret_cast<uint8_t*>(psNode) -
                                           offsetof(KERNEL_ENTRY, sTimer));
}

// Chains nodes so that the head is the last of them and the tail the first.
void ChainCallbackNodes(CALLBACK_NODE* psNodes, uint32_t dCount) {
    psNodes[0].psNext = nullptr;
    for (uint32_t d = 1; d < dCount; d++) psNodes[d].psNext = &psNodes[d - 1];
    s_psCallbackFreeHead = &psNodes[dCount - 1];
    s_psCallbackFreeTail = &psNodes[0];
}

bool IsStaticCallbackNode(const CALLBACK_NODE* psNode) {
    return psNode >= &s_asStaticCallbackNodes[0] &&
           psNode < &s_asStaticCallbackNodes[CALLBACK_STATIC_NODES];
}

}  // namespace

// ---- timer list ------------------------------------------------------------

void InitTimerList() { s_psTimerHead = nullptr; }

TIMER_NODE* TimerListInsertBefore(TIMER_NODE* psHead, TIMER_NODE* psNode) {
    if (psHead == nullptr) {
        psNode->psNext = psNode;
        psNode->psPrev = psNode;
        return psNode;
    }
    psNode->psNext = psHead;
    psNode->psPrev = psHead->psPrev;
    psHead->psPrev->psNext = psNode;
    psHead->psPrev = psNode;
    return psNode;
}

void TimerListInsertAfter(TIMER_NODE* psNode, TIMER_NODE* psNew) {
    if (psNode == nullptr) {
        TimerListInsertBefore(nullptr, psNew);
        return;
    }
    psNew->psPrev = psNode;
    psNew->psNext = psNode->psNext;
    psNode->psNext->psPrev = psNew;
    psNode->psNext = psNew;
}

TIMER_NODE* TimerListRemove(TIMER_NODE** ppsHead, TIMER_NODE* psNode) {
    TIMER_NODE* psNext = psNode->psNext;
    if (psNext == psNode) {
        psNext = nullptr;
    } else {
        psNode->psPrev->psNext = psNext;
        psNext->psPrev = psNode->psPrev;
    }
    if (*ppsHead == psNode) *ppsHead = psNext;
    psNode->psNext = nullptr;  // disarmed
    psNode->psPrev = nullptr;
    return psNext;
}

uint8_t fIsTimerArmed(const TIMER_NODE* psNode) { return ToFlag(psNode->psNext != nullptr); }

void InsertTimer(KERNEL_ENTRY* psOwner, TIMER_CALLBACK pfnCallback, uint32_t dDelayMs) {
    const uint8_t fMasked = fMaskTimerList();
    TIMER_NODE* psNode = &psOwner->sTimer;
    // A node linked twice would corrupt the list: a timer armed again before
    // it fired is moved to its new expiry.
    if (psNode->psNext != nullptr) TimerListRemove(&s_psTimerHead, psNode);

    const uint64_t lExpiry = lGetTickCount() + dDelayMs;
    psNode->lExpiry = lExpiry;
    psNode->pfnCallback = pfnCallback;
    if (s_psTimerHead == nullptr || lExpiry <= s_psTimerHead->lExpiry) {
        // Ahead of the head, also on equal expiry: it fires first.
        s_psTimerHead = TimerListInsertBefore(s_psTimerHead, psNode);
    } else {
        // Growing delays are the common case: search from the latest node.
        TIMER_NODE* psAfter = s_psTimerHead->psPrev;
        while (psAfter != s_psTimerHead && psAfter->lExpiry > lExpiry) psAfter = psAfter->psPrev;
        TimerListInsertAfter(psAfter, psNode);
    }
    UnmaskTimerList(fMasked);
}

void RunExpiredTimers() {
    const uint8_t fMasked = fMaskTimerList();
    const uint64_t lNow = lGetTickCount();
    // Walk the expired prefix from the head.  A timer that a callback arms
    // in front of the node being walked waits for the next cycle, so that a
    // callback re-arming itself cannot hold the main loop here.
    TIMER_NODE* psNode = s_psTimerHead;
    while (psNode != nullptr && psNode->lExpiry <= lNow) {
        TIMER_NODE* psNext = psNode->psNext == s_psTimerHead ? nullptr : psNode->psNext;
        TimerListRemove(&s_psTimerHead, psNode);
        TIMER_CALLBACK pfnCallback = psNode->pfnCallback;
        UnmaskTimerList(fMasked);
        if (pfnCallback != nullptr) pfnCallback(OwnerOf(psNode), psNode);
        if (fMasked == TRUE) DisableInterrupts();
        psNode = psNext;
    }
    UnmaskTimerList(fMasked);
}

void ShowSoftwareTimers() {
    ConsolePrintf("Software Timers:\n");
    for (uint8_t b = 0; b < STOPWATCH_COUNT; b++) {
        if (fIsStopwatchShown(b) != TRUE) continue;
        const uint32_t dMicroseconds = dGetStopwatchValue(b) / STOPWATCH_COUNTS_PER_US;
        ConsolePrintf("%02d: %03d.%03d.%03d\n", b, static_cast<int>(dMicroseconds / 1000000),
                      static_cast<int>(dMicroseconds / 1000 % 1000), static_cast<int>(dMicroseconds % 1000));
    }
}

// ---- completion callbacks --------------------------------------------------

void InitCallbackPool() { ChainCallbackNodes(s_asStaticCallbackNodes, CALLBACK_STATIC_NODES); }

uint8_t bGrowCallbackPool() {
    BUFFER_HANDLE dHandle;
    if (bAllocDataPages(0, 1, &dHandle) != STATUS_OK) return STATUS_NO_PAGES;
    // The page stays with the pool for the rest of the run.
    ChainCallbackNodes(static_cast<CALLBACK_NODE*>(pBufferHandleToPointer(dHandle)),
                       CALLBACK_NODES_PER_PAGE);
    return STATUS_OK;
}

CALLBACK_NODE* pAllocCallbackNode() {
    if (s_psCallbackFreeHead == nullptr && bGrowCallbackPool() != STATUS_OK) return nullptr;
    CALLBACK_NODE* psNode = s_psCallbackFreeHead;
    s_psCallbackFreeHead = psNode->psNext;
    if (s_psCallbackFreeHead == nullptr) s_psCallbackFreeTail = nullptr;
    psNode->psNext = nullptr;
    return psNode;
}

void FreeCallbackNode(CALLBACK_NODE* psNode) {
    if (s_psCallbackFreeHead == nullptr) {
        psNode->psNext = nullptr;
        s_psCallbackFreeHead = psNode;
        s_psCallbackFreeTail = psNode;
    } else if (IsStaticCallbackNode(psNode)) {
        // Static nodes are reused first, so grown pages are touched last.
        psNode->psNext = s_psCallbackFreeHead;
        s_psCallbackFreeHead = psNode;
    } else {
        psNode->psNext = nullptr;
        s_psCallbackFreeTail->psNext = psNode;
        s_psCallbackFreeTail = psNode;
    }
}

uint8_t bPushCompletionCallback(KERNEL_ENTRY* psEntry, COMPLETION_CALLBACK pfnCallback) {
    CALLBACK_NODE* psNode = pAllocCallbackNode();
    if (psNode == nullptr) return STATUS_NO_PAGES;
    psNode->pfnCallback = pfnCallback;
    psNode->psNext = psEntry->pCallbackTop;
    psEntry->pCallbackTop = psNode;
    return STATUS_OK;
}

COMPLETION_CALLBACK pPopCompletionCallback(KERNEL_ENTRY* psEntry) {
    CALLBACK_NODE* psNode = psEntry->pCallbackTop;
    if (psNode == nullptr) return nullptr;
    psEntry->pCallbackTop = psNode->psNext;
    COMPLETION_CALLBACK pfnCallback = psNode->pfnCallback;
    FreeCallbackNode(psNode);
    return pfnCallback;
}

}  // namespace fw
