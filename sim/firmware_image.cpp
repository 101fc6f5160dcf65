#include "sim/firmware_image.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

namespace sim {

namespace {

#if defined(__SANITIZE_ADDRESS__)
// The firmware's globals carry the sanitizer's red zones, which its memcpy
// and memset would refuse to touch: copy word by word, uninstrumented, and
// keep the compiler from turning the loops back into those calls.
#define SIM_RAW __attribute__((no_sanitize("address", "undefined"), optimize("no-tree-loop-distribute-patterns")))
SIM_RAW void CopyBytes(uint8_t* to, const uint8_t* from, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        __builtin_memcpy(&w, from + i, 8);
        __builtin_memcpy(to + i, &w, 8);
    }
    for (; i < n; ++i) to[i] = from[i];
}
SIM_RAW void ZeroBytes(uint8_t* to, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const uint64_t w = 0;
        __builtin_memcpy(to + i, &w, 8);
    }
    for (; i < n; ++i) to[i] = 0;
}
SIM_RAW bool SameBytes(const uint8_t* a, const uint8_t* b, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t x, y;
        __builtin_memcpy(&x, a + i, 8);
        __builtin_memcpy(&y, b + i, 8);
        if (x != y) return false;
    }
    for (; i < n; ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}
#else
#define SIM_RAW
void CopyBytes(uint8_t* to, const uint8_t* from, size_t n) { std::memcpy(to, from, n); }
void ZeroBytes(uint8_t* to, size_t n) { std::memset(to, 0, n); }
bool SameBytes(const uint8_t* a, const uint8_t* b, size_t n) { return std::memcmp(a, b, n) == 0; }
#endif

// The initialised data back to its load image, writing only the pages that
// differ: most of it (the sanitizers' records of the firmware's checks, in
// the test build) never changes, and a page written is a page the host
// must copy out of the program file.
void PutBack(uint8_t* to, const uint8_t* from, size_t n) {
    constexpr size_t kPage = 4096;
    for (size_t i = 0; i < n; i += kPage) {
        const size_t length = n - i < kPage ? n - i : kPage;
        if (!SameBytes(to + i, from + i, length)) CopyBytes(to + i, from + i, length);
    }
}

SIM_RAW uint64_t Fnv1a(uint64_t h, const uint8_t* from, size_t n) {
    for (size_t i = 0; i < n; ++i) h = (h ^ from[i]) * 0x100000001B3ull;
    return h;
}

// A page the host has put out to swap is not in memory but still holds what
// was written to it: on a host that swaps (or one that will not say),
// residency proves nothing.
bool HostSwaps() {
    static const bool swaps = [] {
        std::FILE* f = std::fopen("/proc/swaps", "r");
        if (!f) return true;
        char line[256];
        int lines = 0;
        while (std::fgets(line, sizeof line, f)) ++lines;
        std::fclose(f);
        return lines > 1;   // a header, then one line per swap area
    }();
    return swaps;
}

// The zeroed data is large and a run touches little of it: only its pages
// in memory can hold anything but zero (a page never touched reads as zero
// and is not in memory), so only those are cleared.
void Zero(uint8_t* to, size_t n, std::vector<unsigned char>& residency) {
    if (HostSwaps()) {
        ZeroBytes(to, n);
        return;
    }
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t begin = reinterpret_cast<uintptr_t>(to), end = begin + n;
    const uintptr_t first = (begin + page - 1) & ~(page - 1);
    const uintptr_t last = end & ~(page - 1);
    residency.resize(last > first ? (last - first) / page : 0);
    if (last <= first || mincore(reinterpret_cast<void*>(first), last - first, residency.data()) != 0) {
        ZeroBytes(to, n);
        return;
    }
    ZeroBytes(to, first - begin);
    for (size_t i = 0; i < residency.size(); ++i) {
        if (residency[i] & 1) ZeroBytes(reinterpret_cast<uint8_t*>(first + i * page), page);
    }
    ZeroBytes(reinterpret_cast<uint8_t*>(last), end - last);
}

}  // namespace

void FirmwareImage::Snapshot() {
    if (m_taken) return;
    m_load.resize(static_cast<size_t>(m_dataEnd - m_dataStart));
    CopyBytes(m_load.data(), m_dataStart, m_load.size());
    m_taken = true;
}

void FirmwareImage::Restore() {
    PutBack(m_dataStart, m_load.data(), m_load.size());
    Zero(m_bssStart, static_cast<size_t>(m_bssEnd - m_bssStart), m_residency);
}

uint64_t FirmwareImage::Digest() const {
    const uint64_t h = Fnv1a(0xCBF29CE484222325ull, m_dataStart, static_cast<size_t>(m_dataEnd - m_dataStart));
    return Fnv1a(h, m_bssStart, static_cast<size_t>(m_bssEnd - m_bssStart));
}

}  // namespace sim
