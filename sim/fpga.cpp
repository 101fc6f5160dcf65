#include "sim/fpga.h"

#include "sim/board.h"

namespace sim {

Fpga::Fpga(Board& board, bool programmed, bool slot1) : m_board(board), m_programmed(programmed) {
    m_regs[0x02 / 2] = slot1 ? 0x0040 : 0x0000;
}

uint32_t Fpga::Read(uint32_t address, unsigned) {
    uint32_t offset = (address - kBase) & 0x1E;
    if (!m_programmed) return 0xFFFF;
    switch (offset) {
    case 0x00: return m_regs[0] | 0x0020;
    case 0x16: return kVersion;
    case 0x18: return kHardwareVersion;
    default: return m_regs[offset / 2];
    }
}

void Fpga::Write(uint32_t address, uint32_t value, unsigned) {
    if (!m_programmed) return;
    uint32_t offset = (address - kBase) & 0x1E;
    uint16_t v = static_cast<uint16_t>(value);
    m_regs[offset / 2] = v;
    if (offset == 0x00 && (v & 0x0001)) m_board.StopProcessor(StopKind::Reset);
    if (offset == 0x06) m_watchdogRunning = v != 0;
}

}  // namespace sim
