#include "sim/bus.h"

#include <utility>

namespace sim {

void Bus::Map(uint32_t base, uint32_t size, Device* device) {
    m_ranges.push_back(Range{base, size, device});
    m_last = m_before = Range{0, 0, nullptr};
}

void Bus::Unmap(Device* device) {
    for (auto it = m_ranges.begin(); it != m_ranges.end();) {
        it = it->device == device ? m_ranges.erase(it) : it + 1;
    }
    m_last = m_before = Range{0, 0, nullptr};
}

Device* Bus::FindRange(uint32_t address) {
    if (address - m_before.base < m_before.size) {
        std::swap(m_last, m_before);
        return m_last.device;
    }
    for (const Range& r : m_ranges) {
        if (address - r.base < r.size) {
            m_before = m_last;
            m_last = r;
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
