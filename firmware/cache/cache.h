// Cache and I/O ordering services the rest of the firmware calls.
#pragma once

#include <cstdint>

#include "cache/flush_sequencer.h"
#include "cache/nvram_journal.h"
#include "cache/stripe_access.h"

namespace fw {

struct KERNEL_ENTRY;

uint8_t fCheckExpansionMarker(uint8_t bMarker1, uint8_t bMarker2);

// Used by the configuration apply and the array table.
uint32_t dGetWriteBufferCount();
void RefreshHostLunTable();
void SetThreadBalance(uint8_t f);

// Used by the back-end completion: a finished write leaves the cache write
// count (flag bit 49).
void ReleaseCacheWriteCount(KERNEL_ENTRY* psEntry);

}  // namespace fw
