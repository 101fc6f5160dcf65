// The end of every host command: the command-complete service frees a
// finished command and undoes everything it held, or sends it back for its
// next pass; the write-complete service sends the status of writes whose
// data is safe.
#pragma once

#include <cstdint>

#include "executive/kernel_entry.h"

namespace fw {

// Every finished command counted on the command-complete ring when the
// service starts (port code 80: every port).
void ServiceCommandComplete(uint8_t bPortCode);
// The write at the head of the write-complete ring.
void ServiceWriteComplete(uint8_t bPortCode);

// A command with children outstanding: the count of its children, not a
// completion code.
uint8_t fHasChildrenOutstanding(const KERNEL_ENTRY* psEntry);

}  // namespace fw
