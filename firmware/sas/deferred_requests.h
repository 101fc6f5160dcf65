// Command-buffer bitmaps of the host-port IOC drivers, and the data and
// status requests they build while every request frame is out.  Such a
// request waits, one per command buffer, until a frame comes back: the
// target engine takes it as sent and waits for its end, so it must not be
// lost.
#pragma once

#include <cstdint>
#include <cstring>

namespace fw {

// One bit per command buffer.
template <uint16_t Buffers>
struct BufferBitmap {
    uint32_t ad[(Buffers + 31) / 32];

    void Mark(uint16_t w) { ad[w / 32] |= 1u << (w % 32); }
    void Unmark(uint16_t w) { ad[w / 32] &= ~(1u << (w % 32)); }
    bool IsMarked(uint16_t w) const { return w < Buffers && (ad[w / 32] & (1u << (w % 32))) != 0; }
    void Clear() { std::memset(ad, 0, sizeof ad); }
    // Each marked buffer in order, until fnTake answers false.
    template <typename Take>
    void ForEach(Take fnTake) const {
        for (uint16_t w = 0; w < Buffers; ++w) {
            if (IsMarked(w) && !fnTake(w)) return;
        }
    }
};

template <uint16_t Buffers, uint16_t Bytes>
class DeferredRequests {
public:
    // Where buffer w's request is built; null when one of that buffer
    // already waits.
    uint8_t* pbBuild(uint16_t w) {
        if (w >= Buffers || m_sWaiting.IsMarked(w)) return nullptr;
        std::memset(m_aab[w], 0, Bytes);
        return m_aab[w];
    }
    // The request built for buffer w waits, to go with dTimeoutMs.
    void Defer(uint16_t w, uint32_t dTimeoutMs) {
        if (w >= Buffers) return;
        m_sWaiting.Mark(w);
        m_adTimeoutMs[w] = dTimeoutMs;
        m_fAny = true;
    }
    bool IsWaiting(uint16_t w) const { return m_sWaiting.IsMarked(w); }
    // The request of buffer w that waits; null when none does.
    const uint8_t* pbWaiting(uint16_t w) const { return m_sWaiting.IsMarked(w) ? m_aab[w] : nullptr; }
    bool HasAny() const { return m_fAny; }
    // TRUE when a request of buffer w waited and is dropped.
    bool Cancel(uint16_t w) {
        if (!m_sWaiting.IsMarked(w)) return false;
        m_sWaiting.Unmark(w);
        return true;
    }
    void Clear() {
        m_sWaiting.Clear();
        m_fAny = false;
    }
    // Each waiting request in buffer order to fnPost(w, request, timeout),
    // which answers false when it found no frame: that request and those
    // after it wait for a later pass.
    template <typename Post>
    void PostEach(Post fnPost) {
        m_fAny = false;
        m_sWaiting.ForEach([&](uint16_t w) {
            if (!fnPost(w, static_cast<const uint8_t*>(m_aab[w]), m_adTimeoutMs[w])) {
                m_fAny = true;
                return false;
            }
            m_sWaiting.Unmark(w);
            return true;
        });
    }

private:
    BufferBitmap<Buffers> m_sWaiting{};
    bool m_fAny = false;
    uint32_t m_adTimeoutMs[Buffers]{};
    alignas(8) uint8_t m_aab[Buffers][Bytes]{};
};

}  // namespace fw
