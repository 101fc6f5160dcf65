#include "sim/bus.h"

namespace sim {

void Bus::Map(uint32_t base, uint32_t size, Device* device) { m_ranges.push_back(Range{base, size, device}); }

void Bus::Unmap(Device* device) {
    for (auto it = m_ranges.begin(); it != m_ranges.end();) {
        it = it->device == device ? m_ranges.erase(it) : it + 1;
    }
}

Device* Bus::Find(uint32_t address) const {
    for (const Range& r : m_ranges) {
        if (address - r.base < r.size) return r.device;
    }
    return nullptr;
}

uint32_t Bus::Read(uint32_t address, unsigned width) {
    if (Device* d = Find(address)) return d->Read(address, width);
    return Latched(address);
}

void Bus::Write(uint32_t address, uint32_t value, unsigned width) {
    if (Device* d = Find(address)) {
        d->Write(address, value, width);
        return;
    }
    m_latched[address] = value;
}

uint32_t Bus::Latched(uint32_t address) const {
    auto it = m_latched.find(address);
    return it == m_latched.end() ? 0 : it->second;
}

}  // namespace sim
