#include "sim/fpga.h"

#include "sim/board.h"

namespace sim {

Fpga::Fpga(Board& board, bool programmed, bool slot1, InterruptLine partnerLine)
    : m_board(board), m_programmed(programmed), m_partnerLine(partnerLine) {
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
    const uint16_t was = m_regs[offset / 2];
    m_regs[offset / 2] = v;
    if (offset == 0x00 && (v & ~was & fw::FPGA_CONTROL_PARTNER_HEARTBEAT)) {
        ++m_heartbeatsSent;
        if (m_partner && !heartbeatQuiet) m_partner->HeartbeatArrives();
    }
    if (offset == (fw::FPGA_PARTNER_LINK - kBase) && (v & fw::FPGA_PARTNER_LINK_ACK) && !m_heartbeatStuck) {
        m_partnerLine.Set(false);
    }
    if (offset == 0x00 && (v & 0x0001)) m_board.StopProcessor(StopKind::Reset);
    if (offset == 0x06) m_watchdogRunning = v != 0;
}

void Fpga::HeartbeatArrives() {
    ++m_heartbeatsReceived;
    m_partnerLine.Set(true);
}

void Fpga::SetHeartbeatStuck(bool stuck) {
    m_heartbeatStuck = stuck;
    m_partnerLine.Set(stuck);
}

}  // namespace sim
