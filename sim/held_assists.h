// TARGET ASSIST requests a target-mode chip model holds back, their data in
// flight, until a test lets them go: what a transfer stalled on the link or
// the bus looks like to the driver.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <deque>

#include "hw/mpi.h"

namespace sim {

struct HeldAssist {
    std::array<uint8_t, sizeof(fw::MPI_TARGET_ASSIST_REQUEST)> frame;
    uint32_t context;
};

class HeldAssists {
public:
    void Keep(const uint8_t* frame, uint32_t context) {
        HeldAssist h{};
        std::memcpy(h.frame.data(), frame, h.frame.size());
        h.context = context;
        m_held.push_back(h);
    }
    // Each held request in the order it came, handed to run(frame, context).
    template <typename Run>
    void Release(Run run) {
        while (!m_held.empty()) {
            const HeldAssist h = m_held.front();
            m_held.pop_front();
            run(h.frame.data(), h.context);
        }
    }
    size_t size() const { return m_held.size(); }
    void clear() { m_held.clear(); }
    std::deque<HeldAssist>& requests() { return m_held; }

private:
    std::deque<HeldAssist> m_held;
};

}  // namespace sim
