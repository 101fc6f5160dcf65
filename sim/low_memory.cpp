#include "sim/low_memory.h"

#include <sys/mman.h>

#include <cstdint>

namespace sim {

namespace {

constexpr uintptr_t kFourGiB = uintptr_t{1} << 32;

bool fLow(const void* p, size_t bytes) {
    const uintptr_t u = reinterpret_cast<uintptr_t>(p);
    return u < kFourGiB && bytes <= kFourGiB - u;
}

}  // namespace

void* MapLowMemory(size_t bytes) {
    constexpr int kFlags = MAP_PRIVATE | MAP_ANONYMOUS;
    if constexpr (sizeof(void*) == 4) {
        void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, kFlags, -1, 0);
        return p == MAP_FAILED ? nullptr : p;
    }
#ifdef MAP_32BIT
    // The kernel's own low range (the first 2 GiB), where it has one.
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, kFlags | MAP_32BIT, -1, 0);
    if (p != MAP_FAILED) {
        if (fLow(p, bytes)) return p;
        munmap(p, bytes);
    }
#endif
    // Elsewhere, a free place asked for from the top of the low 4 GiB down,
    // above the bank windows and the program (which lie below 2 GiB).
    constexpr uintptr_t kStep = uintptr_t{64} << 20;
    for (uintptr_t hint = kFourGiB - kStep; hint >= (uintptr_t{2} << 30); hint -= kStep) {
        if (bytes > kFourGiB - hint) continue;
        void* q = mmap(reinterpret_cast<void*>(hint), bytes, PROT_READ | PROT_WRITE, kFlags | MAP_FIXED_NOREPLACE,
                       -1, 0);
        if (q == MAP_FAILED) continue;
        if (fLow(q, bytes)) return q;
        munmap(q, bytes);
    }
    return nullptr;
}

}  // namespace sim
