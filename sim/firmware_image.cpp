#include "sim/firmware_image.h"

#include <cstddef>
#include <cstring>

namespace sim {

namespace {

#if defined(__SANITIZE_ADDRESS__)
// The firmware's globals carry the sanitizer's red zones, which its memcpy
// and memset would refuse to touch: copy word by word, uninstrumented, and
// keep the compiler from turning the loops back into those calls.
__attribute__((no_sanitize("address"), optimize("no-tree-loop-distribute-patterns"))) void Copy(
    uint8_t* to, const uint8_t* from, size_t n) {
    size_t i = 0;
    for (; i + 4 <= n; i += 4) *reinterpret_cast<uint32_t*>(to + i) = *reinterpret_cast<const uint32_t*>(from + i);
    for (; i < n; ++i) to[i] = from[i];
}
__attribute__((no_sanitize("address"), optimize("no-tree-loop-distribute-patterns"))) void Zero(uint8_t* to,
                                                                                                  size_t n) {
    size_t i = 0;
    for (; i + 4 <= n; i += 4) *reinterpret_cast<uint32_t*>(to + i) = 0;
    for (; i < n; ++i) to[i] = 0;
}
#else
void Copy(uint8_t* to, const uint8_t* from, size_t n) { std::memcpy(to, from, n); }
void Zero(uint8_t* to, size_t n) { std::memset(to, 0, n); }
#endif

}  // namespace

void FirmwareImage::Snapshot() {
    if (m_taken) return;
    m_load.resize(static_cast<size_t>(m_dataEnd - m_dataStart));
    Copy(m_load.data(), m_dataStart, m_load.size());
    m_taken = true;
}

void FirmwareImage::Restore() {
    Copy(m_dataStart, m_load.data(), m_load.size());
    Zero(m_bssStart, static_cast<size_t>(m_bssEnd - m_bssStart));
}

}  // namespace sim
