// The configuration phase that sends one command to one drive for the
// drive diagnostics menu and shows its data.
#pragma once

#include <cstdint>

namespace fw {

uint8_t RunDriveCommandPhase(uint8_t bStep);

}  // namespace fw
