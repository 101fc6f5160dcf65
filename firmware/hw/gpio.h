// The processor's general-purpose outputs.
#pragma once

#include <cstdint>

namespace fw {

constexpr uint32_t GPIO_BASE = 0xFFD82480;
constexpr uint32_t GPIO_SIZE = 0x10;
constexpr uint32_t GPIO_ENABLE = GPIO_BASE + 0x00;   // output enables
constexpr uint32_t GPIO_DATA = GPIO_BASE + 0x08;     // output levels

// Bit 3 drives the board's reset line: taking it low resets the board.
constexpr uint32_t GPIO_BOARD_RESET = 1u << 3;

}  // namespace fw
