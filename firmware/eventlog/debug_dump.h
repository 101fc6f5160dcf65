// The debug information dump: a step machine driven by the background pass.
#pragma once

#include <cstdint>

namespace fw {

// One step, while the debug dump work flag is TRUE.
void ShowDebugInformation();

}  // namespace fw
