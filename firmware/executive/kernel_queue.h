// The initiator kernel queue: the new-command and completion rings of 16-bit
// KERNEL_ENTRY indices between the command builders, the drive-side chip
// drivers and the back-end completion, and the service-request counters the
// background pass polls.
#pragma once

#include <cstdint>

#include "executive/kernel_entry.h"

namespace fw {

constexpr uint16_t KERNEL_QUEUE_SLOTS = 4097;
constexpr uint16_t KERNEL_QUEUE_EMPTY_SLOT = 0xFFFF;

struct KERNEL_QUEUE {
    uint16_t awNewCmdRing[KERNEL_QUEUE_SLOTS];
    uint16_t wNewCmdIn;
    uint16_t wNewCmdOut;
    uint16_t awCmdComplRing[KERNEL_QUEUE_SLOTS];
    uint16_t wCmdComplIn;
    uint16_t wCmdComplOut;
    uint16_t wNewCommands;
    uint16_t wTotalCommands;
    uint16_t wCommandComplete;
};

// Empties both rings and zeroes positions and counters (pool start-up).
void InitKernelQueue();

// Pushes return 0xFF, or 16 when the index is no pool entry or its slot is
// still taken (the index would overwrite a live one).
uint8_t QueueKernelEntry(uint8_t bQueueId, uint16_t wIndex);
uint8_t QueueKernelEntryAtHead(uint8_t bQueueId, uint16_t wIndex);
void DequeueKernelEntry(uint8_t bQueueId);
uint8_t bPeekKernelEntry(uint8_t bQueueId, KERNEL_ENTRY** ppsEntry);
void SkipKernelEntry(uint8_t bQueueId);
uint16_t wGetNewCommandOutPos(uint8_t bQueueId);
void SetNewCommandOutPos(uint8_t bQueueId, uint16_t wPosition);
void CompactKernelQueue(uint8_t bQueueId);
uint16_t wGetNewCommandCount(uint8_t bQueueId);
void IncrementTotalCommands(uint8_t bQueueId);
void DecrementTotalCommands(uint8_t bQueueId);
uint16_t wGetTotalCommands(uint8_t bQueueId);
// Entries pushed onto any ring so far (wraps): what a service that found
// nothing to do compares to see whether anything has moved since.
uint32_t dGetKernelRingPushes();
uint8_t QueueKernelEntryComplete(uint8_t bQueueId, uint16_t wIndex);
void DequeueCompletedEntry(uint8_t bQueueId);
uint8_t bPeekCompletedEntry(uint8_t bQueueId, KERNEL_ENTRY** ppsEntry);
uint16_t wGetCommandCompleteCount(uint8_t bQueueId);
uint8_t bPeekOtherQueueEntry();
void PulseKernelQueueLock();

void IncrementParkedEntryCount();
void DecrementParkedEntryCount();
uint16_t wGetParkedEntryCount();
void RequestConfigurationService();
void ClearConfigurationService();
uint16_t wGetConfigurationServiceCount();
void RequestStartOfDayService();
void ClearStartOfDayService();
uint16_t wGetStartOfDayServiceCount();
void RequestHostChipService();
void ClearHostChipService();
uint16_t wGetHostChipServiceCount();
void RequestBackEndCompletion();
void ClearBackEndCompletion();
uint16_t wGetBackEndCompletionCount();

// The initiator queue itself, for the dumps and tests.
const KERNEL_QUEUE* psGetInitiatorKernelQueue();

}  // namespace fw
