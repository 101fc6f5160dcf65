// Ending or re-posting every command a drive-side queue holds for one
// target: a path that failed for good, or one whose engine was reset.
#pragma once

#include <cstdint>

namespace fw {

constexpr uint8_t ALL_TARGETS = 0xFF;

// Every used entry of the queue (its port code) and target (ALL_TARGETS: any)
// is marked ended in error; one at the chip or waiting is completed.
void FailQueueTargetCommands(uint8_t bQueueId, uint8_t bTarget);
// Every used entry of the queue and target not yet moved that sits at the
// chip or waits goes back on the initiator queue's new-command ring; with a
// new target (not ALL_TARGETS) it is re-addressed and marked moved.
void RepostQueueTargetCommands(uint8_t bQueueId, uint8_t bTarget, uint8_t bNewTarget);

}  // namespace fw
