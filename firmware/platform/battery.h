// The battery backup unit's state machine.
#pragma once

#include <cstdint>

namespace fw {

void InitBatteryStateMachine();
void BatteryShutdownStep();

void BatteryStateMachine();   // one step, from the background pass

}  // namespace fw
