// In-band management: what start-up resets of it.
#pragma once

#include <cstdint>

namespace fw {

void ResetManagementBufferPointer();
void ClearManagementChangeCounter();

}  // namespace fw
