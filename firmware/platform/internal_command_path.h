// The command paths of port codes 64 and 80: commands made inside the
// controller, and those the embedded management module would send.  No host
// waits on them: their status ends them, data-in stays in the controller's
// buffer and the data of a data-out is already there.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;

// Records the status on the command and finishes it.
uint8_t bInternalSendStatus(KERNEL_ENTRY* psEntry, uint8_t bStatus, uint8_t bKey, uint8_t bAsc, uint8_t bAscq);
// With fSendStatus TRUE, finishes the command with GOOD status.
uint8_t bInternalDataIn(KERNEL_ENTRY* psEntry, uint8_t fSendStatus);
// The data is present at once: the command goes on to "Data Received".
void InternalDataOut(KERNEL_ENTRY* psEntry);

}  // namespace fw
