// The I2C slave interface of an onboard SAS expander: a 16-byte mailbox
// written and read by frames that end in an SMBus packet error code, and
// behind it the expander's register space in 8-byte words.
//   0x86 off n PEC [n bytes]  writes the mailbox from off; with no bytes,
//                             the next read returns n bytes from off and
//                             the PEC of what it returned
//   0x06 off byte PEC         writes one mailbox byte
//   0x05 a b PEC / 0x05 a PEC  status: the next read returns 2 bytes
// A 1 in mailbox byte 12 runs the access of the address word (bytes 0-3):
// bit 31 set writes the value (bytes 4-7, lower half; 8-11, upper half)
// into the byte lanes bits 23:20 (lower) or 27:24 (upper) enable; clear,
// reads the word into bytes 4-11.  A frame whose PEC is wrong does nothing.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <vector>

#include "sim/i2c_units.h"

namespace sim {

// SMBus packet error code: CRC-8, polynomial 0x07, initial value 0.
uint8_t SmbusPec(const uint8_t* bytes, size_t count);

class OnboardExpanderI2c : public I2cSlave {
public:
    explicit OnboardExpanderI2c(uint8_t address) : m_address(address) {}

    bool Start(bool read) override;
    bool WriteByte(uint8_t value) override;
    uint8_t ReadByte() override;
    void Stop() override;

    // The 32-bit register at an address (its 8-byte word's half).
    uint32_t Register(uint32_t address) const;
    void SetRegister(uint32_t address, uint32_t value);
    // Tests: frames refused for a wrong PEC, register writes taken.
    unsigned badPec = 0;
    unsigned writes = 0;
    // A test: the register keeps these bits whatever is written to it.
    std::map<uint32_t, uint32_t> stuckBits;

private:
    void Frame();

    uint8_t m_address;
    bool m_reading = false;
    std::vector<uint8_t> m_in;
    std::vector<uint8_t> m_out;
    size_t m_outPos = 0;
    std::array<uint8_t, 16> m_mailbox{};
    std::map<uint32_t, uint64_t> m_words;
};

}  // namespace sim
