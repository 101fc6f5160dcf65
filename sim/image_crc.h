// The CRC-32 (reflected, polynomial 0xEDB88320) the simulated devices check
// the firmware images they are sent with.
#pragma once

#include <cstdint>
#include <span>

namespace sim {

inline uint32_t ImageCrc32(std::span<const uint8_t> bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

}  // namespace sim
