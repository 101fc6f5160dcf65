#include "sim/gpio.h"

#include "sim/board.h"

namespace sim {

uint32_t Gpio::Read(uint32_t address, unsigned) { return address - kBase == 0 ? m_enable : m_data; }

void Gpio::Write(uint32_t address, uint32_t value, unsigned) {
    if (address - kBase == 0) {
        m_enable = value;
        return;
    }
    if (address - kBase != 8) return;
    bool wasHigh = m_data & 0x8;
    m_data = value;
    if (wasHigh && !(value & 0x8)) m_board.StopProcessor(StopKind::Reset);
}

}  // namespace sim
