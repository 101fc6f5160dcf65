// Which side the processor is on, for benchmarks that split time between the
// firmware's own code and the simulated board: a hw/ call and the device
// models behind it count as the board; an exception handler the board enters
// runs firmware again.
#pragma once

#include <cstdint>

namespace sim {

class InBoard {
public:
    InBoard() { s_depth = s_depth + 1; }
    ~InBoard() { s_depth = s_depth - 1; }
    InBoard(const InBoard&) = delete;
    InBoard& operator=(const InBoard&) = delete;
    static uint32_t Depth() { return s_depth; }
    // Each thread of control keeps its own depth (each board's processor,
    // and whoever drives the boards): the board swaps it in when its
    // processor runs and back out when it yields; the old one is returned.
    static uint32_t Exchange(uint32_t depth) {
        const uint32_t old = s_depth;
        s_depth = depth;
        return old;
    }

    // Firmware entered from inside the board: an exception handler.
    class Firmware {
    public:
        Firmware() : m_saved(s_depth) { s_depth = 0; }
        ~Firmware() { s_depth = m_saved; }
        Firmware(const Firmware&) = delete;
        Firmware& operator=(const Firmware&) = delete;

    private:
        uint32_t m_saved;
    };

private:
    static inline volatile uint32_t s_depth = 0;
};

}  // namespace sim
