// The Memory Access Menu's two commands: display memory or registers, and
// write one value.  Both read the typed line of the menu state and return
// 0xFF when carried out, 0 when refused.
#pragma once

#include <cstdint>

namespace fw {

// 0xFF when the bytes from dStart may be accessed dWidth at a time; the
// strict check allows only the first data bank and the PCI window.
uint8_t bIsValidMemoryRange(uint32_t dStart, uint32_t dLength, uint8_t fStrict, uint8_t bWidth);
uint8_t bDisplayMemoryCommand();
uint8_t bModifyMemoryCommand();

}  // namespace fw
