// The chassis microcontroller on I2C unit 0: found by its identity, set up
// once, then read for the chassis' events and fans and written with the
// indicators, the sounder and the fan drives.  Transactions run from the
// unit's interrupt, one after another; what they read is applied to the
// chassis' elements by the main loop.
#pragma once

#include <cstdint>

namespace fw {

// Start one transaction (the unit must be free): TRUE when started.
uint8_t bReadMicrocontroller(uint16_t wRegister);
uint8_t bWriteMicrocontroller(uint16_t wRegister, uint8_t bValue);
// One step of the current transaction, from the unit-0 interrupt.
void OwnEnclosureI2CProtocol(uint8_t bByte);
uint8_t fIsMicrocontrollerBusy();
uint8_t fIsMicrocontrollerPresent();

// Back to finding the microcontroller (start-up).
void ResetMicrocontrollerLink();
// From the chassis poll: a lost transaction given up, what was read
// applied, and the next group of transactions started.
void MicrocontrollerLinkService();
// The fans are to be measured, or their drives written, at the next turn.
void RequestMicroFanReading();
void RequestMicroFanDrive();

// The fan speed of a tachometer count (0 for a standing fan).
uint32_t dTachometerCountToRpm(uint8_t bCount);

}  // namespace fw
