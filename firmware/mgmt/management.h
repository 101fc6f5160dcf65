// In-band management: what start-up resets of it.
#pragma once

#include <cstdint>

namespace fw {

void ResetManagementBufferPointer();
void ClearManagementChangeCounter();
// Completes the management command in progress: 255 good, else failed.
void FinishManagementCommand(uint8_t bStatus);

}  // namespace fw
