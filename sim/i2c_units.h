// The processor's three I2C bus units (register blocks of 0x20 bytes from
// 0xFFD82500) as bus masters, and the devices on their buses.
#pragma once

#include <array>
#include <cstdint>
#include <map>

#include "hw/i2c_unit.h"
#include "sim/bus.h"
#include "sim/clock.h"
#include "sim/interrupt_controller.h"

namespace sim {

// A device on an I2C bus, addressed by its 8-bit write address.
class I2cSlave {
public:
    virtual ~I2cSlave() = default;
    // A start (or repeated start) addressed to this device; false: no acknowledge.
    virtual bool Start(bool read) = 0;
    virtual bool WriteByte(uint8_t value) = 0;   // false: no acknowledge
    virtual uint8_t ReadByte() = 0;
    virtual void Stop() = 0;
};

class I2cUnits : public Device {
public:
    static constexpr uint32_t kBase = fw::I2C_UNIT0_BASE;
    static constexpr uint32_t kStride = fw::I2C_UNIT_STRIDE;
    static constexpr unsigned kUnits = fw::I2C_UNIT_COUNT;
    // One byte on a 100 kHz bus: eight data bits and the acknowledge.
    static constexpr uint64_t kByteNs = 90'000;

    // Each unit raises its own interrupt line.
    I2cUnits(Clock& clock, const std::array<InterruptLine, kUnits>& lines);

    void Attach(unsigned unit, uint8_t address, I2cSlave* slave);
    // A stuck unit holds its bus busy: nothing completes, bring-up fails.
    void SetStuck(unsigned unit, bool stuck);
    uint32_t Status(unsigned unit) const;

    uint32_t Read(uint32_t address, unsigned width) override;
    void Write(uint32_t address, uint32_t value, unsigned width) override;

private:
    struct Unit {
        uint32_t icr = 0;
        uint32_t isr = 0;
        uint32_t isar = 0;
        uint32_t idbr = 0;
        bool stuck = false;
        bool busOwned = false;
        bool reading = false;
        I2cSlave* current = nullptr;
        Clock::Event byteDone;   // armed while a byte is on the wire
        std::map<uint8_t, I2cSlave*> slaves;
    };
    void StartByte(unsigned unit);
    void FinishByte(unsigned unit);
    void ReleaseBus(Unit& u);
    void UpdateLine(unsigned unit);

    Clock& m_clock;
    std::array<InterruptLine, kUnits> m_lines;
    std::array<Unit, kUnits> m_units;
};

}  // namespace sim
