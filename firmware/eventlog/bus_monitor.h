// The processor's bus performance monitor display: how busy the internal
// buses are and how much data the ports move, printed every ten seconds
// through the monitoring modes while the display runs.
#pragma once

#include <cstdint>

namespace fw {

// Starts the monitor's counters afresh for a monitoring mode (0..7; 0 off).
void BusMonitorStartCounters(uint8_t bMode);
// The periodic display: on, one step of it, and the pass that ends it.
void StartBusMonitor();
void RunBusMonitorStep();
uint8_t bGetBusMonitorMode();   // TRUE while the periodic display runs
void SetBusMonitorMode(uint8_t f);
uint8_t fGetBusMonitorSingleShot();
void SetBusMonitorSingleShot(uint8_t f);
// The counters of the current mode.
void ShowBusMonitorCounters();

}  // namespace fw
