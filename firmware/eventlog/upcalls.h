// What the event log needs from the layers above it; the top layer defines
// these (executive/upcalls.cpp).
#pragma once

#include <cstdint>

namespace fw {

uint8_t bEventDiagnosticsLevel();       // the diagnostics mode level of the menus
uint8_t fIsChipInterruptServiceActive();  // a host or drive chip's interrupt service is running
// What the start of day learns from the log about a firmware upgrade.
void SetUpgradeSkipFlag(uint8_t f);
void SetUpgradeSecondFlag(uint8_t f);

}  // namespace fw
