// Drive commands made inside the controller that travel the host command
// path: a MAINTENANCE IN (service action 0x18) whose CDB names a drive
// position and carries the drive's own six-byte CDB.  The dispatcher sends
// the inner command to the drive as an internal command; what the drive
// answered goes to the power management completion, never to a host port.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;

constexpr uint8_t DRIVE_PASS_THROUGH_SERVICE_ACTION = 0x18;
// The mother's state while the drive has the inner command.
constexpr uint8_t HOST_STATE_DRIVE_PASS_THROUGH = 120;

// CDB layout: 0xA3, 0x18, 0, enclosure, slot, inner CDB (bytes 5-10), zeros.
constexpr uint8_t PASS_THROUGH_ENCLOSURE_BYTE = 3;
constexpr uint8_t PASS_THROUGH_SLOT_BYTE = 4;
constexpr uint8_t PASS_THROUGH_INNER_BYTE = 5;
constexpr uint8_t PASS_THROUGH_INNER_LENGTH = 6;

// Queues one pass-through on the new-command ring, on the port code of the
// host interface; the request (or null) rides in the entry to the
// completion.  255 queued, 16 no host entry free.
uint8_t bQueueDrivePassThrough(uint8_t bEnclosure, uint8_t bSlot, const uint8_t (&abInner)[PASS_THROUGH_INNER_LENGTH],
                               KERNEL_ENTRY* psRequest);
// The request a pass-through carries; null when none.
KERNEL_ENTRY* psGetPassThroughRequest(const KERNEL_ENTRY* psEntry);
// TRUE for a pass-through made inside the controller.
uint8_t fIsDrivePassThrough(const KERNEL_ENTRY* psEntry);
// Dispatcher: issues the inner command to the drive at the position.  255
// dealt with (issued, answered, or put back to wait for an entry).
uint8_t bStartDrivePassThrough(KERNEL_ENTRY* psEntry);

}  // namespace fw
