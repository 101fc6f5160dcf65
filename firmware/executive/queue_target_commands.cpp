// Ending or re-posting a queue's commands: see queue_target_commands.h.
#include "executive/queue_target_commands.h"

#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "executive/port_codes.h"
#include "executive/types.h"

namespace fw {

namespace {

constexpr uint8_t COMMAND_TYPE_NOT_MOVED = 0x35;

bool Matches(const KERNEL_ENTRY& s, uint8_t bQueueId, uint8_t bTarget) {
    return s.fUsed == TRUE && s.bPortCode == bQueueId && (bTarget == ALL_TARGETS || s.wTargetId == bTarget);
}
bool AtChipOrWaiting(const KERNEL_ENTRY& s) {
    return s.bPrimaryState == PS_AT_CHIP || s.bPrimaryState == PS_AT_CHIP_ALTERNATE;
}

}  // namespace

void FailQueueTargetCommands(uint8_t bQueueId, uint8_t bTarget) {
    KernelPoolLock sLock;
    for (uint32_t i = 0; i < KERNEL_ENTRY_COUNT; ++i) {
        KERNEL_ENTRY* ps = nullptr;
        GetKernelEntryAddress(i, &ps);
        if (ps == nullptr || !Matches(*ps, bQueueId, bTarget)) continue;
        ps->lFlags |= KE_FLAG_ABORTED;
        if (ps->psMother != nullptr) ps->psMother->lFlags |= KE_FLAG_ABORTED;
        if (!AtChipOrWaiting(*ps)) continue;
        ps->bPrimaryState = PS_COMPLETED;
        (void)QueueKernelEntryComplete(PORT_CODE_INITIATOR, ps->wIndex);
    }
}

void RepostQueueTargetCommands(uint8_t bQueueId, uint8_t bTarget, uint8_t bNewTarget) {
    KernelPoolLock sLock;
    for (uint32_t i = 0; i < KERNEL_ENTRY_COUNT; ++i) {
        KERNEL_ENTRY* ps = nullptr;
        GetKernelEntryAddress(i, &ps);
        if (ps == nullptr || !Matches(*ps, bQueueId, bTarget) || (ps->lFlags & KE_FLAG_RETARGETED) != 0) continue;
        if (!AtChipOrWaiting(*ps)) continue;
        ps->bPrimaryState = PS_NEW_COMMAND;
        (void)QueueKernelEntry(PORT_CODE_INITIATOR, ps->wIndex);
        DecrementTotalCommands(PORT_CODE_INITIATOR);
        if (bNewTarget != ALL_TARGETS && ps->bCommandType != COMMAND_TYPE_NOT_MOVED) {
            ps->wTargetId = bNewTarget;
            ps->lFlags |= KE_FLAG_RETARGETED;
        }
    }
}

}  // namespace fw
