#include "sim/bus.h"

namespace sim {

void Bus::Map(uint32_t base, uint32_t size, Device* device) {
    m_ranges.push_back(Range{base, size, device});
    ForgetRecent();
}

void Bus::Unmap(Device* device) {
    for (auto it = m_ranges.begin(); it != m_ranges.end();) {
        it = it->device == device ? m_ranges.erase(it) : it + 1;
    }
    ForgetRecent();
}

Device* Bus::FindRange(uint32_t address) {
    for (const Range& r : m_ranges) {
        if (address - r.base < r.size) {
            for (unsigned n = kRecent - 1; n > 0; --n) m_recent[n] = m_recent[n - 1];
            m_recent[0] = r;
            return r.device;
        }
    }
    return nullptr;
}

uint32_t Bus::Latched(uint32_t address) const {
    auto it = m_latched.find(address);
    return it == m_latched.end() ? 0 : it->second;
}

}  // namespace sim
