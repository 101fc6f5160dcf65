// The register bus: the devices the firmware reaches by processor address.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

namespace sim {

// A device behind the register bus, addressed by processor address.
class Device {
public:
    virtual ~Device() = default;
    virtual uint32_t Read(uint32_t address, unsigned width) = 0;
    virtual void Write(uint32_t address, uint32_t value, unsigned width) = 0;
};

// Routes register accesses to the mapped devices.  An address no device
// claims behaves as a plain register: it reads back what was last written
// (0 before that), so board registers the model does not care about can be
// programmed freely.
class Bus {
public:
    // A device may answer at several ranges (the PCI model does); moving a
    // range is Unmap then Map.
    void Map(uint32_t base, uint32_t size, Device* device);
    void Unmap(Device* device);
    uint32_t Read(uint32_t address, unsigned width) {
        ++m_accesses;
        if (Device* d = Find(address)) return d->Read(address, width);
        return Latched(address);
    }
    void Write(uint32_t address, uint32_t value, unsigned width) {
        ++m_accesses;
        if (Device* d = Find(address)) {
            d->Write(address, value, width);
        } else {
            m_latched[address] = value;
        }
    }
    // The plain-register store, for models that only watch a register.
    uint32_t Latched(uint32_t address) const;
    void Latch(uint32_t address, uint32_t value) { m_latched[address] = value; }
    // Register accesses so far (the bus performance monitor's traffic).
    uint64_t accesses() const { return m_accesses; }

private:
    struct Range {
        uint32_t base;
        uint32_t size;
        Device* device;
    };
    // The firmware mostly talks to one device for a while, or goes back and
    // forth between two (a window and its registers): the range last found
    // is tried first, then the one found before it.
    Device* Find(uint32_t address) {
        if (address - m_last.base < m_last.size) return m_last.device;
        return FindRange(address);
    }
    Device* FindRange(uint32_t address);
    std::vector<Range> m_ranges;
    Range m_last{0, 0, nullptr};
    Range m_before{0, 0, nullptr};
    std::map<uint32_t, uint32_t> m_latched;
    uint64_t m_accesses = 0;
};

}  // namespace sim
