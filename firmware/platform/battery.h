// The battery backup unit's state machine.
#pragma once

#include <cstdint>

namespace fw {

void InitBatteryStateMachine();
void BatteryShutdownStep();

void BatteryStateMachine();   // one step, from the background pass

// The battery lines of the controller information: the capacity and
// hold-up time of a controller's record, and this controller's battery.
void PrintBatteryCapacity(uint8_t bCapacity, uint8_t bHoldUpHours);
void PrintBatteryStatus();

}  // namespace fw
