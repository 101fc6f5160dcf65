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

// Copies of `bytes` per second: the best of `rounds` runs.
inline double MemcpyRate(uint32_t bytes, uint32_t copies, unsigned rounds) {
    std::vector<uint8_t> a(size_t(bytes) * 64, 1), c(size_t(bytes) * 64);
    double best = 1e30;
    for (unsigned k = 0; k < rounds; ++k) {
        const auto start = std::chrono::steady_clock::now();
        for (uint32_t i = 0; i < copies; ++i) {
            const size_t o = size_t(i % 64) * bytes;
            std::memcpy(c.data() + o, a.data() + o, bytes);
            asm volatile("" ::"r"(c.data()) : "memory");
        }
        best = std::min(best, Seconds(start, std::chrono::steady_clock::now()));
    }
    return copies / best;
}

}  // namespace benchref
