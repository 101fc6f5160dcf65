// The main loop's diagnostic progress bytes, posted with every fault event;
// the tick halts the controller when the stage and the cycle counter stop
// changing.  The main loop sets the stage; the background pass and long
// services write the step bytes.
#pragma once

#include <cstdint>

namespace fw {

extern uint8_t bMainLoopStage;
extern uint8_t bBackgroundStep;
extern uint8_t bServiceSubStep;
extern uint32_t dMainLoopCycles;

}  // namespace fw
