// Buffers a test hands the firmware, from memory below 4 GiB.
//
// The firmware keeps processor addresses as 32-bit words (a chip's scatter
// list, an image's address, a buffer handle), and the sanitized build's
// heap lies far above 4 GiB: a buffer the firmware is to hold by address
// comes from here, never from the heap.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include "sim/low_memory.h"

namespace harness {

template <typename T>
struct LowAllocator {
    using value_type = T;
    LowAllocator() = default;
    template <typename U>
    LowAllocator(const LowAllocator<U>&) {}  // NOLINT: rebinding

    static size_t Bytes(size_t n) {
        constexpr size_t kPage = 4096;
        return (n * sizeof(T) + kPage - 1) / kPage * kPage;
    }
    T* allocate(size_t n) {
        void* p = sim::MapLowMemory(Bytes(n));
        if (p == nullptr) {
            std::fprintf(stderr, "test: no memory below 4 GiB for %zu bytes\n", n * sizeof(T));
            std::abort();
        }
        return static_cast<T*>(p);
    }
    void deallocate(T* p, size_t n) { munmap(p, Bytes(n)); }
    template <typename U>
    bool operator==(const LowAllocator<U>&) const { return true; }
};

// A byte buffer (or any plain element) the firmware may hold by address.
template <typename T>
using LowVector = std::vector<T, LowAllocator<T>>;

// The same bytes as a buffer the firmware may hold by address.
template <typename T>
LowVector<T> Low(const std::vector<T>& v) {
    return LowVector<T>(v.begin(), v.end());
}

}  // namespace harness
