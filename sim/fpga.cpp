#include "sim/fpga.h"

#include "sim/board.h"
#include "sim/chassis.h"
#include "sim/sas_controller.h"

namespace sim {

Fpga::Fpga(Board& board, bool programmed, bool slot1, InterruptLine partnerLine)
    : m_board(board), m_programmed(programmed), m_partnerLine(partnerLine) {
    m_regs[0x02 / 2] = slot1 ? 0x0040 : 0x0000;
}

uint16_t Fpga::FanRpm(unsigned fan) const {
    if (m_environment.fanHeldRpm[fan] >= 0) return static_cast<uint16_t>(m_environment.fanHeldRpm[fan]);
    return ChassisEnvironment::kDriveRpm[m_regs[(0x44 + 2 * fan) / 2] & 3];
}

uint16_t Fpga::ChassisRead(uint32_t offset) {
    ChassisEnvironment& e = m_environment;
    switch (offset) {
    case 0x10: {
        uint16_t v = static_cast<uint16_t>(m_regs[offset / 2] & ~0x03C1);
        if (e.mutePressed) v |= fw::FPGA_BOARD_MUTE_BUTTON;
        e.mutePressed = false;
        if (e.supplyGood[0]) v |= fw::FPGA_BOARD_SUPPLY0_GOOD;
        if (e.supplyGood[1]) v |= fw::FPGA_BOARD_SUPPLY1_GOOD;
        if (e.supplyFault[0]) v |= fw::FPGA_BOARD_SUPPLY0_FAULT;
        if (e.supplyFault[1]) v |= fw::FPGA_BOARD_SUPPLY1_FAULT;
        return v;
    }
    case 0x1C: {
        // A bay holds a drive while the chassis has one in that slot.
        Chassis* c = m_board.sasController().chassis();
        uint16_t v = 0;
        for (unsigned bay = 1; c != nullptr && bay <= Chassis::kSlots && bay <= c->SlotCount(); ++bay)
            if (c->DriveAt(bay) != nullptr) v = static_cast<uint16_t>(v | 1u << (bay - 1));
        return v;
    }
    case 0x40:
    case 0x42: {
        const uint16_t r = m_regs[offset / 2];
        if (!(r & fw::FPGA_TACHOMETER_START)) return r;
        return static_cast<uint16_t>(fw::FPGA_TACHOMETER_START | fw::FPGA_TACHOMETER_DONE |
                                     (FanRpm((offset - 0x40) / 2) & fw::FPGA_TACHOMETER_RPM));
    }
    default: return m_regs[offset / 2];
    }
}

uint32_t Fpga::Read(uint32_t address, unsigned) {
    uint32_t offset = (address - kBase) & 0x7E;
    if (!m_programmed || offset >= kSize) return 0xFFFF;
    switch (offset) {
    case 0x00: return m_regs[0] | 0x0020;
    case 0x16: return kVersion;
    case 0x18: return kHardwareVersion;
    default: return ChassisRead(offset);
    }
}

void Fpga::Write(uint32_t address, uint32_t value, unsigned) {
    uint32_t offset = (address - kBase) & 0x7E;
    if (!m_programmed || offset >= kSize) return;
    uint16_t v = static_cast<uint16_t>(value);
    const uint16_t was = m_regs[offset / 2];
    // The straps and the chassis' lines are inputs.
    if (offset == 0x10 || offset == 0x1C) return;
    m_regs[offset / 2] = v;
    if (offset == 0x1A && ((v ^ was) & fw::FPGA_SOUNDER_MASK))
        m_environment.sounds.push_back({m_board.clock().Now(), static_cast<uint16_t>(v & fw::FPGA_SOUNDER_MASK)});
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
