// The main loop: one thread of control polling work flags and queue counts
// and running each service to completion.
#pragma once

#include <cstdint>

namespace fw {

// Diagnostic progress bytes, posted with every fault event; the tick halts
// the controller when the stage and the cycle counter stop changing.
extern uint8_t bMainLoopStage;
extern uint8_t bBackgroundStep;
extern uint8_t bServiceSubStep;
extern uint32_t dMainLoopCycles;

[[noreturn]] void MainLoop();

}  // namespace fw
