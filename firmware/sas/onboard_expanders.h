// The two onboard SAS expanders: their PHY settings kept in NVRAM, and
// their register space reached over I2C unit 0 (expander 0 at 0xA0,
// expander 1 at 0xA2), every frame closed by its SMBus packet error code.
#pragma once

#include <cstdint>

namespace fw {

// Writes the boards' default PHY setting words of both expanders into
// NVRAM (the console's reset of the expander configuration).
void WriteDefaultExpanderPhyConfig();

// The SMBus packet error code: CRC-8, polynomial 0x07, initial value 0.
uint8_t bCalculateSmbusPec(const uint8_t* pbBytes, uint32_t dCount);

// One register of an expander (0 or 1); the lanes are the bytes of the
// 32-bit value meant (bit n: byte n).  255 done, 0 failed or no such
// expander.
uint8_t bWriteExpanderRegister(uint8_t bExpander, uint32_t dRegister, uint32_t dValue, uint8_t bLanes);
uint8_t bReadExpanderRegister(uint8_t bExpander, uint32_t dRegister, uint32_t* pdValue);
// Writes, reads back and compares the lanes written.
uint8_t bWriteVerifyExpanderRegister(uint8_t bExpander, uint32_t dRegister, uint32_t dValue, uint8_t bLanes);

// Brings up both expanders: identity and configuration registers, the PHY
// settings from NVRAM, and a SAS address of each from the controller WWN.
// An expander that does not answer is skipped.  0xFF when both were set
// up, else 0.
uint8_t SetupOnboardExpanders();

}  // namespace fw
