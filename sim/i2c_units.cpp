#include "sim/i2c_units.h"

namespace sim {

namespace {

constexpr uint32_t kIcr = fw::I2C_ICR, kIsr = fw::I2C_ISR, kIsar = fw::I2C_ISAR, kIdbr = fw::I2C_IDBR;

constexpr uint32_t kIcrStart = fw::I2C_ICR_START, kIcrStop = fw::I2C_ICR_STOP, kIcrTransferByte = fw::I2C_ICR_TB,
                   kIcrMasterAbort = fw::I2C_ICR_MA, kIcrUnitEnable = fw::I2C_ICR_IUE,
                   kIcrTransmitIe = fw::I2C_ICR_ITEIE, kIcrReceiveIe = fw::I2C_ICR_IRFIE,
                   kIcrBusErrorIe = fw::I2C_ICR_BEIE, kIcrUnitReset = fw::I2C_ICR_UR;
constexpr uint32_t kIsrReadMode = fw::I2C_ISR_RWM, kIsrNak = fw::I2C_ISR_ACKNAK, kIsrUnitBusy = fw::I2C_ISR_UB,
                   kIsrBusBusy = fw::I2C_ISR_IBB, kIsrTransmitEmpty = fw::I2C_ISR_ITE,
                   kIsrReceiveFull = fw::I2C_ISR_IRF, kIsrBusError = fw::I2C_ISR_BED;
constexpr uint32_t kIsrEvents = fw::I2C_ISR_EVENTS;

}  // namespace

I2cUnits::I2cUnits(Clock& clock, const std::array<InterruptLine, kUnits>& lines) : m_clock(clock), m_lines(lines) {
    for (unsigned u = 0; u < kUnits; ++u) m_units[u].byteDone.SetAction([this, u] { FinishByte(u); });
}

void I2cUnits::Attach(unsigned unit, uint8_t address, I2cSlave* slave) {
    m_units.at(unit).slaves[address & 0xFE] = slave;
}

void I2cUnits::SetStuck(unsigned unit, bool stuck) { m_units.at(unit).stuck = stuck; }

uint32_t I2cUnits::Status(unsigned unit) const {
    const Unit& u = m_units.at(unit);
    uint32_t isr = u.isr;
    if (u.busOwned) isr |= kIsrBusBusy;
    if (u.stuck) isr |= kIsrBusBusy | kIsrUnitBusy;
    return isr;
}

uint32_t I2cUnits::Read(uint32_t address, unsigned) {
    unsigned unit = (address - kBase) / kStride;
    if (unit >= kUnits) return 0;
    const Unit& u = m_units[unit];
    switch ((address - kBase) % kStride) {
    case kIcr: return u.icr;
    case kIsr: return Status(unit);
    case kIsar: return u.isar;
    case kIdbr: return u.idbr;
    default: return 0;
    }
}

void I2cUnits::Write(uint32_t address, uint32_t value, unsigned) {
    unsigned unit = (address - kBase) / kStride;
    if (unit >= kUnits) return;
    Unit& u = m_units[unit];
    switch ((address - kBase) % kStride) {
    case kIcr: {
        bool busy = u.isr & kIsrUnitBusy;
        u.icr = value;
        if (value & kIcrUnitReset) {
            u.isr = 0;
            ReleaseBus(u);
        } else if (value & kIcrMasterAbort) {
            ReleaseBus(u);
        } else if ((value & kIcrTransferByte) && (value & kIcrUnitEnable) && !busy) {
            StartByte(unit);
        }
        break;
    }
    case kIsr: u.isr &= ~(value & kIsrEvents); break;
    case kIsar: u.isar = value & 0x7F; break;
    case kIdbr: u.idbr = value & 0xFF; break;
    default: break;
    }
    UpdateLine(unit);
}

void I2cUnits::StartByte(unsigned unit) {
    Unit& u = m_units[unit];
    if (u.stuck) return;  // the bus never frees: the byte never goes
    u.isr |= kIsrUnitBusy;
    m_clock.ArmIn(u.byteDone, kByteNs);
}

void I2cUnits::FinishByte(unsigned unit) {
    Unit& u = m_units[unit];
    const uint32_t icr = u.icr;
    bool ack = true;
    if (icr & kIcrStart) {
        auto it = u.slaves.find(static_cast<uint8_t>(u.idbr & 0xFE));
        u.reading = u.idbr & 1;
        u.busOwned = true;
        u.current = it == u.slaves.end() ? nullptr : it->second;
        ack = u.current && u.current->Start(u.reading);
        if (!ack) u.current = nullptr;
        u.isr |= kIsrTransmitEmpty;
    } else if (!u.reading) {
        ack = u.current && u.current->WriteByte(static_cast<uint8_t>(u.idbr));
        u.isr |= kIsrTransmitEmpty;
    } else {
        u.idbr = u.current ? u.current->ReadByte() : 0xFF;
        u.isr |= kIsrReceiveFull;
    }
    u.isr = (u.isr & ~kIsrReadMode) | (u.reading ? kIsrReadMode : 0);
    if (!ack) u.isr |= kIsrNak | kIsrBusError;
    if (icr & kIcrStop) ReleaseBus(u);
    u.isr &= ~kIsrUnitBusy;
    u.icr &= ~kIcrTransferByte;
    UpdateLine(unit);
}

void I2cUnits::ReleaseBus(Unit& u) {
    // A reset or an abort takes the byte on the wire with it.
    m_clock.Disarm(u.byteDone);
    u.isr &= ~kIsrUnitBusy;
    if (u.current) u.current->Stop();
    u.current = nullptr;
    u.busOwned = false;
}

void I2cUnits::UpdateLine(unsigned unit) {
    const Unit& u = m_units[unit];
    bool level = ((u.isr & kIsrTransmitEmpty) && (u.icr & kIcrTransmitIe)) ||
                 ((u.isr & kIsrReceiveFull) && (u.icr & kIcrReceiveIe)) ||
                 ((u.isr & kIsrBusError) && (u.icr & kIcrBusErrorIe));
    m_lines[unit].Set(level);
}

}  // namespace sim
