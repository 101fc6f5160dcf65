// CRC-16 and hexadecimal digit conversion.
#include "executive/crc16.h"

#include <array>

namespace fw {

namespace {

constexpr std::array<uint16_t, 256> MakeCrc16Table() {
    std::array<uint16_t, 256> awTable{};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i << 8;
        for (int bit = 0; bit < 8; bit++) c = (c & 0x8000) ? (c << 1) ^ 0x1021 : c << 1;
        awTable[i] = static_cast<uint16_t>(c);
    }
    return awTable;
}

constexpr std::array<uint16_t, 256> s_awCrc16Table = MakeCrc16Table();

}  // namespace

uint16_t Crc16(uint32_t dInitial, const uint8_t* pbBytes, uint32_t dLength) {
    uint16_t c = static_cast<uint16_t>(dInitial);
    // Message-shifting form: the byte enters the low end after the table step,
    // so the result matches the devices that check these blocks.
    for (uint32_t d = 0; d < dLength; d++) {
        c = static_cast<uint16_t>(((c << 8) | pbBytes[d]) ^ s_awCrc16Table[c >> 8]);
    }
    return c;
}

uint8_t bHexCharToNibble(uint8_t bChar) {
    if (bChar >= '0' && bChar <= '9') return bChar - '0';
    if (bChar >= 'a' && bChar <= 'f') return bChar - 'a' + 10;
    if (bChar >= 'A' && bChar <= 'F') return bChar - 'A' + 10;
    return 0;
}

uint8_t bNibbleToHexChar(uint8_t bValue) { return "0123456789ABCDEF"[bValue & 0x0F]; }

}  // namespace fw
