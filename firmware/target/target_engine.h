// SCSI target command engine services the rest of the firmware calls.
#pragma once

#include <cstdint>

#include "target/management_dispatch.h"
#include "target/persistent_reservations.h"
#include "target/pr_registrations.h"
#include "target/scsi2_reservations.h"

namespace fw {

struct KERNEL_ENTRY;

// ---- command handlers the dispatcher hands commands to ----
// Each answers through the status routines and takes the command off the
// new-command ring, or leaves it at the head to be dispatched again.  The
// command set itself is in target/inquiry.h, target/target_commands.h,
// target/buffer_commands.h and target/mode_pages.h.
// SCSI-2 reservations: target/scsi2_reservations.h.
// Persistent reservations: target/persistent_reservations.h and
// target/pr_registrations.h.
uint16_t wGetCompletedCommandCount(uint8_t bPort);

// Used by the internal KERNEL_ENTRY pool and the initiator kernel queue.
void IwcqQueueWrite(KERNEL_ENTRY* psEntry, uint8_t f);
void SetIwcqPendingFlag(uint8_t f);
void DumpWriteCollapseQueues();
// Used by the system tick and the stop paths of the executive.
void ReleaseLunQueuesForShutdown();

// Background pass services of the target engine.
uint16_t wGetTargetSchedulingCount(uint8_t bPort);
void TargetQueueService(uint8_t bPort);
void TargetQueueTimeoutService();

// Used by the drive side: its port (0x61) came up or went down.
void SetDrivePortReady(uint8_t bPortCode, uint8_t f);
uint8_t fIsDrivePortReady(uint8_t bPortCode);

// The active LUNs of each array, for the console.
void ShowActiveLunsPerRank();

}  // namespace fw
