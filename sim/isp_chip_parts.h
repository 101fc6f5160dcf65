// What the parts of the ISP24xx model share.
#pragma once

#include <cstdint>

namespace sim::isp {

constexpr uint32_t kNoExchange = 0xFFFFFFFF;   // the exchange address of an ATIO the chip had none for

// A 24-bit port id as frame headers carry it, most significant byte first.
inline void Put24Be(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 16);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v);
}

}  // namespace sim::isp
