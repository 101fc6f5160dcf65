#include "sim/fpga.h"

#include "hw/chassis_microcontroller.h"
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

uint64_t Fpga::Now() const { return m_board.clock().Now(); }

// A bay holds a drive while the chassis has one in that slot.
uint16_t Fpga::BaysPresent() {
    Chassis* c = m_board.sasController().chassis();
    uint16_t v = 0;
    for (unsigned bay = 1; c != nullptr && bay <= Chassis::kSlots && bay <= c->SlotCount(); ++bay)
        if (c->DriveAt(bay) != nullptr) v = static_cast<uint16_t>(v | 1u << (bay - 1));
    return v;
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
    case 0x1C: return BaysPresent();
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

// ---- the chassis microcontroller ----

bool ChassisMicrocontroller::Start(bool read) {
    if (!present) return false;
    m_expectRegister = !read;
    return true;
}

bool ChassisMicrocontroller::WriteByte(uint8_t value) {
    if (m_expectRegister) {
        m_pointer = value;
        m_expectRegister = false;
    } else {
        Write(m_pointer, value);
    }
    return true;
}

uint8_t ChassisMicrocontroller::ReadByte() { return Read(m_pointer); }

uint16_t ChassisMicrocontroller::EmptyBays() const {
    return static_cast<uint16_t>(~m_fpga.BaysPresent() & 0x0FFF);
}

uint8_t ChassisMicrocontroller::SupplyState(unsigned supply) const {
    const ChassisEnvironment& e = m_fpga.environment();
    return static_cast<uint8_t>((e.supplyGood[supply] ? 1 : 0) | (e.supplyFault[supply] ? 2 : 0));
}

void ChassisMicrocontroller::Queue(uint8_t reg) {
    const uint8_t enable = reg == fw::MICRO_MUTE_EVENT ? fw::MICRO_MUTE_EVENT_ENABLE : fw::MICRO_EVENT_ENABLE;
    if (m_regs[reg] != enable) return;   // the firmware did not ask for it
    for (uint8_t queued : m_events)
        if (queued == reg) return;
    m_events.push_back(reg);
}

// Each change since the last look becomes the event of its register.
void ChassisMicrocontroller::QueueChanges() {
    const uint16_t empty = EmptyBays();
    const std::array<uint8_t, 2> supply{SupplyState(0), SupplyState(1)};
    if (m_seen) {
        constexpr uint8_t kGood[2] = {fw::MICRO_SUPPLY0_GOOD_EVENT, fw::MICRO_SUPPLY1_GOOD_EVENT};
        constexpr uint8_t kFault[2] = {fw::MICRO_SUPPLY0_FAULT_EVENT, fw::MICRO_SUPPLY1_FAULT_EVENT};
        for (unsigned s = 0; s < 2; ++s) {
            if ((supply[s] ^ m_seenSupply[s]) & 1) Queue(kGood[s]);
            if ((supply[s] ^ m_seenSupply[s]) & 2) Queue(kFault[s]);
        }
        for (unsigned bay = 1; bay <= 12; ++bay) {
            if (!(((empty ^ m_seenEmpty) >> (bay - 1)) & 1)) continue;
            Queue(static_cast<uint8_t>(bay <= 8 ? fw::MICRO_BAY1_EVENT + bay - 1 : fw::MICRO_BAY9_EVENT + bay - 9));
        }
    }
    if (m_mutePressed) {
        m_mutePressed = false;
        m_muteLatched = true;
        Queue(fw::MICRO_MUTE_EVENT);
    }
    m_seen = true;
    m_seenEmpty = empty;
    m_seenSupply = supply;
}

uint8_t ChassisMicrocontroller::Read(uint8_t reg) {
    const uint16_t empty = EmptyBays();
    switch (reg) {
    case fw::MICRO_IDENTITY: ++identityReads; return fw::MICRO_IDENTITY_VALUE;
    case fw::MICRO_SUPPLY0_STATE:
    case fw::MICRO_SUPPLY0_GOOD_EVENT:
    case fw::MICRO_SUPPLY0_FAULT_EVENT: return SupplyState(0);
    case fw::MICRO_SUPPLY1_STATE:
    case fw::MICRO_SUPPLY1_GOOD_EVENT:
    case fw::MICRO_SUPPLY1_FAULT_EVENT: return SupplyState(1);
    case fw::MICRO_BAYS_EMPTY_LOW: return static_cast<uint8_t>(empty);
    case fw::MICRO_BAYS_EMPTY_HIGH: return static_cast<uint8_t>((empty >> 8) & 0x0F);
    case fw::MICRO_FAN0_TACHOMETER:
    case fw::MICRO_FAN1_TACHOMETER: {
        // The count of a slow fan runs past the byte: it reads as standing.
        const unsigned rpm = m_fpga.FanRpm(reg == fw::MICRO_FAN0_TACHOMETER ? 0 : 1);
        if (rpm == 0) return fw::MICRO_TACHOMETER_STOPPED;
        const unsigned count = (600000 + rpm / 2) / rpm;
        return static_cast<uint8_t>(count >= fw::MICRO_TACHOMETER_STOPPED ? fw::MICRO_TACHOMETER_STOPPED : count);
    }
    case fw::MICRO_MUTE_EVENT: {
        const bool pressed = m_muteLatched;
        m_muteLatched = false;
        return pressed ? 1 : 0;
    }
    case fw::MICRO_EVENT:
        QueueChanges();
        return m_events.empty() ? 0 : m_events.front();
    default:
        if (reg >= fw::MICRO_BAY1_EVENT && reg < fw::MICRO_BAY1_EVENT + 8)
            return static_cast<uint8_t>((empty >> (reg - fw::MICRO_BAY1_EVENT)) & 1);
        if (reg >= fw::MICRO_BAY9_EVENT && reg < fw::MICRO_BAY9_EVENT + 4)
            return static_cast<uint8_t>((empty >> (8 + reg - fw::MICRO_BAY9_EVENT)) & 1);
        return m_regs[reg];
    }
}

void ChassisMicrocontroller::Write(uint8_t reg, uint8_t value) {
    if (reg == fw::MICRO_EVENT) {
        if (value == fw::MICRO_EVENT_ACKNOWLEDGE && !m_events.empty()) m_events.pop_front();
        return;
    }
    if (reg == fw::MICRO_SOUNDER && value != m_regs[reg])
        sounds.push_back({m_fpga.Now(), value});
    m_regs[reg] = value;
    if (reg == fw::MICRO_FAN0_DRIVE || reg == fw::MICRO_FAN1_DRIVE) {
        const unsigned level = value == fw::MICRO_FAN_DRIVE_FULL ? 31 : value & 0x1F;
        m_fpga.SetFanDrive(reg == fw::MICRO_FAN0_DRIVE ? 0 : 1, static_cast<uint16_t>(3 - level / 8));
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
    const uint16_t v = static_cast<uint16_t>(value);
    uint16_t& reg = m_regs[offset / 2];
    const uint16_t was = reg;
    // One test of the offset: the heartbeat and the watchdog are written at
    // every tick.
    switch (offset) {
    case fw::FPGA_BOARD - kBase:
    case fw::FPGA_BAY_PRESENCE - kBase:
        return;   // the straps and the chassis' lines are inputs
    case fw::FPGA_CONTROL - kBase:
        reg = v;
        if (v & ~was & fw::FPGA_CONTROL_PARTNER_HEARTBEAT) {
            ++m_heartbeatsSent;
            if (m_partner && !heartbeatQuiet) m_partner->HeartbeatArrives();
        }
        if (v & fw::FPGA_CONTROL_BOARD_RESET) m_board.StopProcessor(StopKind::Reset);
        return;
    case fw::FPGA_WATCHDOG - kBase:
        reg = v;
        m_watchdogRunning = v != 0;
        return;
    case fw::FPGA_PARTNER_LINK - kBase:
        reg = v;
        if ((v & fw::FPGA_PARTNER_LINK_ACK) && !m_heartbeatStuck) m_partnerLine.Set(false);
        return;
    case fw::FPGA_CHASSIS_INDICATORS - kBase:
        reg = v;
        if ((v ^ was) & fw::FPGA_SOUNDER_MASK)
            m_environment.sounds.push_back({m_board.clock().Now(), static_cast<uint16_t>(v & fw::FPGA_SOUNDER_MASK)});
        return;
    default:
        reg = v;
        return;
    }
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
