// The reference the road benchmarks are measured against, timed in the same
// run: memcpy of the bytes one command moves, over a working set of 64 such
// buffers (in cache, as the firmware's own data is).
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

namespace benchref {

inline double Seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

class Copies {
public:
    explicit Copies(uint32_t bytes) : m_bytes(bytes), m_from(size_t(bytes) * 64, 1), m_to(size_t(bytes) * 64) {}
    // `copies` copies of `bytes`; returns how many.
    uint32_t Run(uint32_t copies) {
        for (uint32_t i = 0; i < copies; ++i) {
            const size_t o = size_t(i % 64) * m_bytes;
            std::memcpy(m_to.data() + o, m_from.data() + o, m_bytes);
            asm volatile("" ::"r"(m_to.data()) : "memory");
        }
        return copies;
    }

private:
    uint32_t m_bytes;
    std::vector<uint8_t> m_from, m_to;
};

// Copies of `bytes` per second: the best of `rounds` runs.
inline double MemcpyRate(uint32_t bytes, uint32_t copies, unsigned rounds) {
    Copies c(bytes);
    double best = 1e30;
    for (unsigned k = 0; k < rounds; ++k) {
        const auto start = std::chrono::steady_clock::now();
        c.Run(copies);
        best = std::min(best, Seconds(start, std::chrono::steady_clock::now()));
    }
    return copies / best;
}

}  // namespace benchref
