// Command and error counters.
#pragma once

#include <cstdint>

namespace fw {

void InitStatistics();

// Used by the system tick and the stop paths of the executive.
uint32_t dGetCacheWriteCount();

uint32_t dGetRanksWithWrites();

}  // namespace fw
