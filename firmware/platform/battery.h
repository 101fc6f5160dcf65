// The battery backup unit's state machine.
#pragma once

#include <cstdint>

namespace fw {

void InitBatteryStateMachine();
void BatteryShutdownStep();

void BatteryStateMachine();   // one step, from the background pass

// The battery as a controller tells its partner (four bytes of a message's
// arguments): its capacity in percent, then whether it is fitted, charged
// and faulty (TRUE or FALSE).
struct BATTERY_STATE {
    uint8_t bCapacity;
    uint8_t fPresent;
    uint8_t fChargeComplete;
    uint8_t fFault;
};
static_assert(sizeof(BATTERY_STATE) == 4);

// The battery lines of the controller information: the capacity and
// hold-up time of a controller's record, and this controller's battery.
void PrintBatteryCapacity(uint8_t bCapacity, uint8_t bHoldUpHours);
void PrintBatteryStatus();

}  // namespace fw
