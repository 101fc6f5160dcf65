// The SAS data scrambler: the sequence a SAS link XORs its data dwords
// with, so that a test can put on the wire the bit pattern it wants.
#pragma once

#include <cstdint>

namespace fw {

// Writes dCount words to pdDestination, each the source word XORed with the
// scrambler sequence (x^16 + x^15 + x^13 + x^4 + 1, seeded with 0xFFFF and
// advanced 192 bits before the first word, one bit per data bit from bit 0
// up).  With fByteSwap TRUE each word is byte-swapped before and after.
void ScrambleSasDwords(const uint32_t* pdSource, uint32_t* pdDestination, uint32_t dCount, uint8_t fByteSwap);

}  // namespace fw
