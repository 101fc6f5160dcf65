// Which side the processor is on, for benchmarks that split time between the
// firmware's own code and the simulated board: a hw/ call and the device
// models behind it count as the board; an exception handler the board enters
// runs firmware again.
#pragma once

#include <atomic>
#include <cstdint>

namespace sim {

// The depth is read by a signal handler on the same thread (a benchmark's
// sampler): a compiler fence, not a volatile, keeps each change in memory
// where the handler sees it, as one instruction.
class InBoard {
public:
    InBoard() {
        ++s_depth;
        std::atomic_signal_fence(std::memory_order_seq_cst);
    }
    ~InBoard() {
        std::atomic_signal_fence(std::memory_order_seq_cst);
        --s_depth;
    }
    InBoard(const InBoard&) = delete;
    InBoard& operator=(const InBoard&) = delete;
    static uint32_t Depth() { return s_depth; }
    // Each thread of control keeps its own depth (each board's processor,
    // and whoever drives the boards): the board swaps it in when its
    // processor runs and back out when it yields; the old one is returned.
    static uint32_t Exchange(uint32_t depth) {
        const uint32_t old = s_depth;
        s_depth = depth;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        return old;
    }

    // Firmware entered from inside the board: an exception handler.
    class Firmware {
    public:
        Firmware() : m_saved(s_depth) {
            s_depth = 0;
            std::atomic_signal_fence(std::memory_order_seq_cst);
        }
        ~Firmware() {
            std::atomic_signal_fence(std::memory_order_seq_cst);
            s_depth = m_saved;
        }
        Firmware(const Firmware&) = delete;
        Firmware& operator=(const Firmware&) = delete;

    private:
        uint32_t m_saved;
    };

private:
    static inline uint32_t s_depth = 0;
};

}  // namespace sim
