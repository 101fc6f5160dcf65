// General-purpose output registers at 0xFFD82480 (enable) and 0xFFD82488
// (data); bit 3 drives the board's reset line: clearing it resets the board.
#pragma once

#include <cstdint>

#include "hw/gpio.h"
#include "sim/bus.h"

namespace sim {

class Board;

class Gpio : public Device {
public:
    static constexpr uint32_t kBase = fw::GPIO_BASE;
    static constexpr uint32_t kSize = fw::GPIO_SIZE;
    explicit Gpio(Board& board) : m_board(board) {}
    uint32_t Read(uint32_t address, unsigned width) override;
    void Write(uint32_t address, uint32_t value, unsigned width) override;

private:
    Board& m_board;
    uint32_t m_enable = 0;
    uint32_t m_data = 0;
};

}  // namespace sim
