// The initiator kernel queue and the service-request counters.
#include "executive/kernel_queue.h"

#include "executive/held_work.h"
#include "executive/tick.h"

#include "executive/types.h"
#include "executive/upcalls.h"
#include "executive/work_flags.h"

namespace fw {

namespace {

// The SAS drive side's queue and, on boards that fit them, one per
// Fibre Channel drive loop.
constexpr uint8_t DRIVE_SIDE_QUEUES = 3;
constexpr uint8_t QUEUE_IDS[DRIVE_SIDE_QUEUES] = {PORT_CODE_INITIATOR, PORT_CODE_DRIVE_LOOP_3, PORT_CODE_DRIVE_LOOP_4};
KERNEL_QUEUE s_asQueue[DRIVE_SIDE_QUEUES];
KERNEL_QUEUE& s_sInitiatorQueue = s_asQueue[0];

// The queue of an id; null for ids that have none.
KERNEL_QUEUE* psQueueOf(uint8_t bQueueId) {
    for (uint8_t i = 0; i < DRIVE_SIDE_QUEUES; ++i) {
        if (QUEUE_IDS[i] == bQueueId) return &s_asQueue[i];
    }
    return nullptr;
}

uint16_t s_wParkedEntries = 0;
uint16_t s_wConfigurationRequests = 0;
uint16_t s_wStartOfDayRequests = 0;
uint16_t s_wHostChipRequests = 0;
uint16_t s_wBackEndCompletions = 0;
uint32_t s_dRingPushes = 0;

uint16_t NextPosition(uint16_t wPosition) {
    return wPosition + 1 == KERNEL_QUEUE_SLOTS ? 0 : wPosition + 1;
}

uint16_t PrevPosition(uint16_t wPosition) {
    return wPosition == 0 ? KERNEL_QUEUE_SLOTS - 1 : wPosition - 1;
}

void CountDown(uint16_t* pwCount) {
    if (*pwCount != 0) (*pwCount)--;
}

// A push is refused when the index names no pool entry (0xFFFF would read as
// an empty slot) or when the slot still holds a live index: the pool has one
// entry fewer than the ring has slots, so that only happens for an index
// pushed twice, and overwriting would lose the other command.
uint8_t StoreInSlot(uint16_t* pwSlot, uint16_t wIndex) {
    if (wIndex >= KERNEL_ENTRY_COUNT || *pwSlot != KERNEL_QUEUE_EMPTY_SLOT) return STATUS_RETRY;
    *pwSlot = wIndex;
    return STATUS_OK;
}

uint8_t PeekSlot(uint16_t wIndex, uint8_t bState, KERNEL_ENTRY** ppsEntry) {
    KERNEL_ENTRY* psEntry;
    GetKernelEntryAddress(wIndex, &psEntry);
    if (psEntry == nullptr || psEntry->bPrimaryState != bState || psEntry->fUsed != TRUE) {
        return STATUS_NOT_FOUND;
    }
    *ppsEntry = psEntry;
    return STATUS_FOUND;
}

// The two rings of the queue share their handling.
struct RING {
    uint16_t* pwSlots;
    uint16_t* pwIn;
    uint16_t* pwOut;
    uint16_t* pwCount;
    uint8_t bState;  // primary state of the entries it holds
    uint8_t bQueueId;
};

RING NewCommandRing(KERNEL_QUEUE& s, uint8_t bQueueId) {
    return {s.awNewCmdRing, &s.wNewCmdIn, &s.wNewCmdOut, &s.wNewCommands, PS_NEW_COMMAND, bQueueId};
}

RING CompletionRing(KERNEL_QUEUE& s, uint8_t bQueueId) {
    return {s.awCmdComplRing, &s.wCmdComplIn, &s.wCmdComplOut, &s.wCommandComplete, PS_COMPLETED, bQueueId};
}

uint8_t PushTail(const RING& sRing, uint16_t wIndex) {
    const uint8_t bStatus = StoreInSlot(&sRing.pwSlots[*sRing.pwIn], wIndex);
    if (bStatus != STATUS_OK) return bStatus;
    *sRing.pwIn = NextPosition(*sRing.pwIn);
    (*sRing.pwCount)++;
    SetDriveQueueServiceEnable(sRing.bQueueId, TRUE);
    return STATUS_OK;
}

void PopHead(const RING& sRing) {
    KernelPoolLock sLock;
    // On an empty ring the head would run ahead of the tail.
    if (*sRing.pwCount == 0) return;
    (*sRing.pwCount)--;
    sRing.pwSlots[*sRing.pwOut] = KERNEL_QUEUE_EMPTY_SLOT;
    *sRing.pwOut = NextPosition(*sRing.pwOut);
}

uint8_t PeekHead(const RING& sRing, KERNEL_ENTRY** ppsEntry) {
    return PeekSlot(sRing.pwSlots[*sRing.pwOut], sRing.bState, ppsEntry);
}

void RequestCount(uint16_t* pwCount) {
    (*pwCount)++;
    SetWorkPending(TRUE);
}

}  // namespace

void InitKernelQueue() {
    for (KERNEL_QUEUE& sQueue : s_asQueue) {
        KERNEL_QUEUE* psQueue = &sQueue;
        for (uint16_t w = 0; w < KERNEL_QUEUE_SLOTS; w++) {
            psQueue->awNewCmdRing[w] = KERNEL_QUEUE_EMPTY_SLOT;
            psQueue->awCmdComplRing[w] = KERNEL_QUEUE_EMPTY_SLOT;
        }
        psQueue->wNewCmdIn = 0;
        psQueue->wNewCmdOut = 0;
        psQueue->wCmdComplIn = 0;
        psQueue->wCmdComplOut = 0;
        psQueue->wNewCommands = 0;
        psQueue->wTotalCommands = 0;
        psQueue->wCommandComplete = 0;
    }
    s_wParkedEntries = 0;
    s_wConfigurationRequests = 0;
    s_wStartOfDayRequests = 0;
    s_wHostChipRequests = 0;
    s_wBackEndCompletions = 0;
}

uint8_t QueueKernelEntry(uint8_t bQueueId, uint16_t wIndex) {
    KernelPoolLock sLock;
    ++s_dRingPushes;
    SetKernelActivity(TRUE);
    KernelQueueActivity();
    KERNEL_QUEUE* psQueue = psQueueOf(bQueueId);
    if (psQueue == nullptr) return STATUS_OK;
    const uint8_t bStatus = PushTail(NewCommandRing(*psQueue, bQueueId), wIndex);
    if (bStatus == STATUS_OK) psQueue->wTotalCommands++;
    return bStatus;
}

uint8_t QueueKernelEntryAtHead(uint8_t bQueueId, uint16_t wIndex) {
    KernelPoolLock sLock;
    ++s_dRingPushes;
    SetKernelActivity(TRUE);
    KernelQueueActivity();
    KERNEL_QUEUE* psQueue = psQueueOf(bQueueId);
    if (psQueue == nullptr) return STATUS_OK;
    const uint16_t wHead = PrevPosition(psQueue->wNewCmdOut);
    const uint8_t bStatus = StoreInSlot(&psQueue->awNewCmdRing[wHead], wIndex);
    if (bStatus != STATUS_OK) return bStatus;
    psQueue->wNewCmdOut = wHead;
    psQueue->wNewCommands++;
    psQueue->wTotalCommands++;
    SetDriveQueueServiceEnable(bQueueId, TRUE);
    return STATUS_OK;
}

void DequeueKernelEntry(uint8_t bQueueId) {
    if (KERNEL_QUEUE* psQueue = psQueueOf(bQueueId)) PopHead(NewCommandRing(*psQueue, bQueueId));
}

uint8_t bPeekKernelEntry(uint8_t bQueueId, KERNEL_ENTRY** ppsEntry) {
    KERNEL_QUEUE* psQueue = psQueueOf(bQueueId);
    return psQueue != nullptr ? PeekHead(NewCommandRing(*psQueue, bQueueId), ppsEntry) : STATUS_NOT_FOUND;
}

void SkipKernelEntry(uint8_t bQueueId) {
    KERNEL_QUEUE* psQueue = psQueueOf(bQueueId);
    if (psQueue == nullptr) return;
    KernelPoolLock sLock;
    psQueue->wNewCmdOut = NextPosition(psQueue->wNewCmdOut);
}

uint16_t wGetNewCommandOutPos(uint8_t bQueueId) {
    const KERNEL_QUEUE* psQueue = psQueueOf(bQueueId);
    return psQueue != nullptr ? psQueue->wNewCmdOut : 0xFFFF;
}

void SetNewCommandOutPos(uint8_t bQueueId, uint16_t wPosition) {
    KERNEL_QUEUE* psQueue = psQueueOf(bQueueId);
    if (psQueue == nullptr || wPosition >= KERNEL_QUEUE_SLOTS) return;
    KernelPoolLock sLock;
    psQueue->wNewCmdOut = wPosition;
}

void CompactKernelQueue(uint8_t bQueueId) {
    KERNEL_QUEUE* psQueue = psQueueOf(bQueueId);
    if (psQueue == nullptr) return;
    KernelPoolLock sLock;
    uint16_t* pwRing = psQueue->awNewCmdRing;
    // Live slots slide down into the holes in front of them, keeping order.
    uint16_t wWrite = psQueue->wNewCmdOut;
    uint16_t wRead = psQueue->wNewCmdOut;
    uint16_t wSeen = 0;
    for (uint16_t wStep = 0; wStep < KERNEL_QUEUE_SLOTS && wSeen < psQueue->wNewCommands; wStep++) {
        if (pwRing[wRead] != KERNEL_QUEUE_EMPTY_SLOT) {
            wSeen++;
            if (wRead != wWrite) {
                pwRing[wWrite] = pwRing[wRead];
                pwRing[wRead] = KERNEL_QUEUE_EMPTY_SLOT;
            }
            wWrite = NextPosition(wWrite);
        }
        wRead = NextPosition(wRead);
    }
    psQueue->wNewCmdIn = static_cast<uint16_t>(
        (static_cast<uint32_t>(psQueue->wNewCmdOut) + psQueue->wNewCommands) % KERNEL_QUEUE_SLOTS);
}

uint16_t wGetNewCommandCount(uint8_t bQueueId) {
    const KERNEL_QUEUE* psQueue = psQueueOf(bQueueId);
    return psQueue != nullptr ? psQueue->wNewCommands : 0;
}

void IncrementTotalCommands(uint8_t bQueueId) {
    KERNEL_QUEUE* psQueue = psQueueOf(bQueueId);
    if (psQueue == nullptr) return;
    KernelPoolLock sLock;
    psQueue->wTotalCommands++;
}

void DecrementTotalCommands(uint8_t bQueueId) {
    KERNEL_QUEUE* psQueue = psQueueOf(bQueueId);
    if (psQueue == nullptr) return;
    KernelPoolLock sLock;
    CountDown(&psQueue->wTotalCommands);
}

uint32_t dGetKernelRingPushes() { return s_dRingPushes; }

void NoteWorkHeld(HELD_WORK* ps) {
    ps->fHeld = TRUE;
    ps->dPushes = s_dRingPushes;
    ps->lSince = lGetTickCount();
}

void ClearWorkHeld(HELD_WORK* ps) { ps->fHeld = FALSE; }

uint8_t fIsWorkStillHeld(const HELD_WORK* ps) {
    return ToFlag(ps->fHeld == TRUE && ps->dPushes == s_dRingPushes &&
                  lGetTickCount() - ps->lSince < HELD_WORK_RECHECK_MS);
}

uint16_t wGetTotalCommands(uint8_t bQueueId) {
    const KERNEL_QUEUE* psQueue = psQueueOf(bQueueId);
    return psQueue != nullptr ? psQueue->wTotalCommands : 0;
}

uint8_t QueueKernelEntryComplete(uint8_t bQueueId, uint16_t wIndex) {
    KernelPoolLock sLock;
    ++s_dRingPushes;
    SetKernelActivity(TRUE);
    KERNEL_QUEUE* psQueue = psQueueOf(bQueueId);
    if (psQueue == nullptr) return STATUS_OK;
    return PushTail(CompletionRing(*psQueue, bQueueId), wIndex);
}

void DequeueCompletedEntry(uint8_t bQueueId) {
    if (KERNEL_QUEUE* psQueue = psQueueOf(bQueueId)) PopHead(CompletionRing(*psQueue, bQueueId));
}

uint8_t bPeekCompletedEntry(uint8_t bQueueId, KERNEL_ENTRY** ppsEntry) {
    KERNEL_QUEUE* psQueue = psQueueOf(bQueueId);
    return psQueue != nullptr ? PeekHead(CompletionRing(*psQueue, bQueueId), ppsEntry) : STATUS_NOT_FOUND;
}

uint16_t wGetCommandCompleteCount(uint8_t bQueueId) {
    const KERNEL_QUEUE* psQueue = psQueueOf(bQueueId);
    return psQueue != nullptr ? psQueue->wCommandComplete : 0;
}

uint8_t bPeekOtherQueueEntry() { return STATUS_NOT_FOUND; }

void PulseKernelQueueLock() { KernelPoolLock sLock; }

void IncrementParkedEntryCount() {
    KernelPoolLock sLock;
    RequestCount(&s_wParkedEntries);
}

void DecrementParkedEntryCount() {
    KernelPoolLock sLock;
    CountDown(&s_wParkedEntries);
}

uint16_t wGetParkedEntryCount() { return s_wParkedEntries; }

void RequestConfigurationService() { RequestCount(&s_wConfigurationRequests); }
void ClearConfigurationService() { CountDown(&s_wConfigurationRequests); }
uint16_t wGetConfigurationServiceCount() { return s_wConfigurationRequests; }

void RequestStartOfDayService() { RequestCount(&s_wStartOfDayRequests); }
void ClearStartOfDayService() { CountDown(&s_wStartOfDayRequests); }
uint16_t wGetStartOfDayServiceCount() { return s_wStartOfDayRequests; }

void RequestHostChipService() { RequestCount(&s_wHostChipRequests); }
void ClearHostChipService() { CountDown(&s_wHostChipRequests); }
uint16_t wGetHostChipServiceCount() { return s_wHostChipRequests; }

void RequestBackEndCompletion() {
    KernelPoolLock sLock;
    RequestCount(&s_wBackEndCompletions);
}

void ClearBackEndCompletion() {
    KernelPoolLock sLock;
    CountDown(&s_wBackEndCompletions);
}

uint16_t wGetBackEndCompletionCount() { return s_wBackEndCompletions; }

const KERNEL_QUEUE* psGetInitiatorKernelQueue() { return &s_sInitiatorQueue; }

}  // namespace fw
