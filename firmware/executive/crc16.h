// CRC-16 (polynomial 0x1021, most significant bit first) and hex digits.
#pragma once

#include <cstdint>

namespace fw {

uint16_t Crc16(uint32_t dInitial, const uint8_t* pbBytes, uint32_t dLength);
uint8_t bHexCharToNibble(uint8_t bChar);
uint8_t bNibbleToHexChar(uint8_t bValue);

}  // namespace fw
