// The processor bus performance monitor.
#pragma once

#include <cstdint>

namespace fw {

void BusMonitorStartCounters(uint8_t b);

uint8_t bGetBusMonitorMode();   // TRUE while the periodic display runs
void RunBusMonitorStep();

// ESC on the console ends the periodic display.
void SetBusMonitorStop(uint8_t f);

}  // namespace fw
