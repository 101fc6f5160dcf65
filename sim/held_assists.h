// TARGET ASSIST requests in the target-mode chip models: the data their
// elements move between the board's memory and an initiator, and the
// requests a model holds back, their data in flight, until a test lets
// them go (what a transfer stalled on the link or the bus looks like to
// the driver).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <deque>

#include "hw/mpi.h"
#include "sim/fc_fabric.h"

namespace sim {

// Where the windows of one TARGET ASSIST end, relative to the command's
// data: the read bytes the target offered, or the write bytes it asked for.
struct AssistWindows {
    uint32_t end = 0;
    bool toInitiator = false;
};

// Moves the data of a TARGET ASSIST's one or two simple elements, from its
// relative offset on: read data into the result as far as the initiator's
// buffer reaches, write data from what the initiator has (a window past
// that is left as it was).  `memory` translates a bus address and length
// to the board's bytes (null when not mapped).
template <typename Memory>
AssistWindows MoveAssistData(const fw::MPI_TARGET_ASSIST_REQUEST& req, const FcpCommand& command, FcpResult& result,
                             Memory& memory) {
    AssistWindows w;
    w.toInitiator = (req.bTargetAssistFlags & fw::MPI_TARGET_ASSIST_FLAGS_DATA_DIRECTION) != 0;
    uint32_t offset = req.dRelativeOffset;
    for (unsigned e = 0; e < 2; ++e) {
        const uint32_t flags = req.adSGL[2 * e];
        const uint32_t length = flags & fw::MPI_SGE_LENGTH_MASK;
        uint8_t* local = length != 0 ? memory.Translate(req.adSGL[2 * e + 1], length) : nullptr;
        if (local != nullptr) w.end = std::max(w.end, offset + length);
        if (local != nullptr && w.toInitiator) {
            const uint32_t room = command.dataInLength > offset ? command.dataInLength - offset : 0;
            const uint32_t n = std::min(length, room);
            if (n != 0) {
                if (result.dataIn.size() < offset + n) result.dataIn.resize(offset + n);
                std::memcpy(result.dataIn.data() + offset, local, n);
            }
        } else if (local != nullptr) {
            const auto have = static_cast<uint32_t>(command.dataOut.size());
            const uint32_t n = have > offset ? std::min(length, have - offset) : 0;
            if (n != 0) std::memcpy(local, command.dataOut.data() + offset, n);
            result.dataOutTaken = std::max(result.dataOutTaken, offset + n);
        }
        offset += length;
        if (flags & fw::MPI_SGE_FLAG_END_OF_LIST) break;
    }
    return w;
}

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
