#include "sim/xor_accelerator.h"

// The host's 256-bit vectors where it is an x86 processor; elsewhere (ARM)
// the portable loops do the whole of every operation.
#if defined(__x86_64__) || defined(__i386__)
#define SIM_XOR_AVX2 1
#include <immintrin.h>
#endif

#include <algorithm>
#include <array>
#include <cstring>

#include "sim/board.h"

namespace sim {

namespace gf {

namespace {

struct Tables {
    uint8_t mul[256][256];
    Tables() {
        uint8_t exp[512];
        uint8_t log[256] = {};
        unsigned x = 1;
        for (unsigned i = 0; i < 255; ++i) {
            exp[i] = exp[i + 255] = static_cast<uint8_t>(x);
            log[x] = static_cast<uint8_t>(i);
            x <<= 1;
            if (x & 0x100) x ^= 0x11D;
        }
        for (unsigned a = 0; a < 256; ++a)
            for (unsigned b = 0; b < 256; ++b)
                mul[a][b] = a == 0 || b == 0 ? 0 : exp[log[a] + log[b]];
    }
};

const Tables& T() {
    static const Tables t;
    return t;
}

void XorScalar(uint8_t* dst, const uint8_t* const* s, unsigned n, uint32_t from, uint32_t length) {
    for (uint32_t o = from; o < length; ++o) {
        uint8_t v = 0;
        for (unsigned i = 0; i < n; ++i) v ^= s[i][o];
        dst[o] = v;
    }
}

void PqScalar(uint8_t* p, uint8_t* q, const uint8_t* const* s, const uint8_t* m, unsigned n, uint32_t from,
              uint32_t length) {
    const Tables& t = T();
    for (uint32_t o = from; o < length; ++o) {
        uint8_t vp = 0, vq = 0;
        for (unsigned i = 0; i < n; ++i) {
            vp ^= s[i][o];
            vq ^= t.mul[m[i]][s[i][o]];
        }
        if (p) p[o] = vp;
        q[o] = vq;
    }
}

#ifdef SIM_XOR_AVX2
__attribute__((target("avx2"))) uint32_t XorAvx2(uint8_t* dst, const uint8_t* const* s, unsigned n,
                                                 uint32_t length) {
    uint32_t o = 0;
    for (; o + 128 <= length; o += 128) {
        __m256i a0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s[0] + o));
        __m256i a1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s[0] + o + 32));
        __m256i a2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s[0] + o + 64));
        __m256i a3 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s[0] + o + 96));
        for (unsigned i = 1; i < n; ++i) {
            const uint8_t* b = s[i] + o;
            a0 = _mm256_xor_si256(a0, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b)));
            a1 = _mm256_xor_si256(a1, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + 32)));
            a2 = _mm256_xor_si256(a2, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + 64)));
            a3 = _mm256_xor_si256(a3, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + 96)));
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + o), a0);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + o + 32), a1);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + o + 64), a2);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + o + 96), a3);
    }
    return o;
}

// Split-nibble multiplication: c * v = low[v & 15] ^ high[v >> 4], each a
// 16-byte table (held twice, once per 128-bit lane) looked up with one byte
// shuffle per 32 bytes.
struct NibbleTables {
    alignas(32) uint8_t t[fw::AAU_MAX_SOURCES][64];
    NibbleTables(const uint8_t* m, unsigned n) {
        const Tables& g = T();
        for (unsigned i = 0; i < n; ++i) {
            for (unsigned x = 0; x < 16; ++x) {
                t[i][x] = t[i][x + 16] = g.mul[m[i]][x];
                t[i][x + 32] = t[i][x + 48] = g.mul[m[i]][x << 4];
            }
        }
    }
};

__attribute__((target("avx2"))) inline __m256i MulVector(__m256i d, __m256i lo, __m256i hi, __m256i nibble) {
    return _mm256_xor_si256(_mm256_shuffle_epi8(lo, _mm256_and_si256(d, nibble)),
                            _mm256_shuffle_epi8(hi, _mm256_and_si256(_mm256_srli_epi16(d, 4), nibble)));
}

// One source over one block: P and Q accumulate in the destinations (the
// first source stores them).
template <bool kWithP, bool kFirst>
__attribute__((target("avx2"))) inline void PqBlockSource(uint8_t* p, uint8_t* q, const uint8_t* src, uint32_t b,
                                                          uint32_t e, __m256i lo, __m256i hi, __m256i nibble) {
    for (uint32_t o = b; o < e; o += 32) {
        const __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + o));
        __m256i vq = MulVector(d, lo, hi, nibble);
        if (!kFirst) vq = _mm256_xor_si256(vq, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + o)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(q + o), vq);
        if (kWithP) {
            __m256i vp = d;
            if (!kFirst) vp = _mm256_xor_si256(vp, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + o)));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(p + o), vp);
        }
    }
}

// Source by source over blocks that stay in the first-level cache, so that
// each source's two tables stay in registers for a whole block.  The
// destinations must not overlap a source.
template <bool kWithP>
__attribute__((target("avx2"))) uint32_t PqBlocksAvx2(uint8_t* p, uint8_t* q, const uint8_t* const* s,
                                                      const uint8_t* m, unsigned n, uint32_t length) {
    constexpr uint32_t kBlock = 2048;
    const NibbleTables tables(m, n);
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const uint32_t whole = length & ~31u;
    for (uint32_t b = 0; b < whole; b += kBlock) {
        const uint32_t e = std::min(whole, b + kBlock);
        for (unsigned i = 0; i < n; ++i) {
            const __m256i lo = _mm256_load_si256(reinterpret_cast<const __m256i*>(tables.t[i]));
            const __m256i hi = _mm256_load_si256(reinterpret_cast<const __m256i*>(tables.t[i] + 32));
            if (i == 0) {
                PqBlockSource<kWithP, true>(p, q, s[i], b, e, lo, hi, nibble);
            } else {
                PqBlockSource<kWithP, false>(p, q, s[i], b, e, lo, hi, nibble);
            }
        }
    }
    return whole;
}

// 32 bytes at a time, every source read before anything is written: safe
// when a destination is also a source.
__attribute__((target("avx2"))) uint32_t PqRegistersAvx2(uint8_t* p, uint8_t* q, const uint8_t* const* s,
                                                         const uint8_t* m, unsigned n, uint32_t length) {
    const NibbleTables tables(m, n);
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    uint32_t o = 0;
    for (; o + 32 <= length; o += 32) {
        __m256i vp = _mm256_setzero_si256(), vq = _mm256_setzero_si256();
        for (unsigned i = 0; i < n; ++i) {
            const __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s[i] + o));
            vp = _mm256_xor_si256(vp, d);
            vq = _mm256_xor_si256(vq, MulVector(d, _mm256_load_si256(reinterpret_cast<const __m256i*>(tables.t[i])),
                                                _mm256_load_si256(reinterpret_cast<const __m256i*>(tables.t[i] + 32)),
                                                nibble));
        }
        if (p) _mm256_storeu_si256(reinterpret_cast<__m256i*>(p + o), vp);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(q + o), vq);
    }
    return o;
}

bool Overlaps(const uint8_t* a, const uint8_t* b, uint32_t length) {
    return a != nullptr && a < b + length && b < a + length;
}

const bool s_avx2 = __builtin_cpu_supports("avx2");
#endif

}  // namespace

#ifdef SIM_XOR_AVX2
bool HaveAvx2() { return s_avx2; }
#else
bool HaveAvx2() { return false; }
#endif

uint8_t Mul(uint8_t a, uint8_t b) { return T().mul[a][b]; }

void Xor(uint8_t* dst, const uint8_t* const* s, unsigned n, uint32_t length) {
    uint32_t done = 0;
#ifdef SIM_XOR_AVX2
    if (s_avx2) done = XorAvx2(dst, s, n, length);
#endif
    XorScalar(dst, s, n, done, length);
}

void Pq(uint8_t* p, uint8_t* q, const uint8_t* const* s, const uint8_t* m, unsigned n, uint32_t length) {
    uint32_t done = 0;
#ifdef SIM_XOR_AVX2
    bool aliased = false;
    for (unsigned i = 0; i < n; ++i) aliased |= Overlaps(p, s[i], length) || Overlaps(q, s[i], length);
    done = !s_avx2 ? 0
           : aliased ? PqRegistersAvx2(p, q, s, m, n, length)
           : p != nullptr ? PqBlocksAvx2<true>(p, q, s, m, n, length)
                          : PqBlocksAvx2<false>(p, q, s, m, n, length);
#endif
    PqScalar(p, q, s, m, n, done, length);
}

}  // namespace gf

namespace {

constexpr uint32_t kErrorBits = fw::AAU_STATUS_BUS_ABORT | fw::AAU_STATUS_TARGET_ABORT |
                                fw::AAU_STATUS_DESCRIPTOR_ERROR | fw::AAU_STATUS_END_OF_TRANSFER;
constexpr uint32_t kMaxChain = 64;   // a looping chain is a descriptor error

}  // namespace

XorAccelerator::XorAccelerator(Board& board, InterruptLine line)
    : m_board(board), m_line(line), m_chainDone([this] { Finish(); }) {}

bool XorAccelerator::vectorised() const { return gf::HaveAvx2(); }

uint32_t XorAccelerator::Read(uint32_t address, unsigned) {
    switch (address - kBase) {
    case 0x00: return m_control;
    case 0x04: return m_status;
    case 0x08: return m_descriptor;
    case 0x0C: return m_next;
    default: return 0;
    }
}

void XorAccelerator::Write(uint32_t address, uint32_t value, unsigned) {
    switch (address - kBase) {
    case 0x00:
        m_control = value;
        if (value & fw::AAU_CONTROL_ENABLE) {
            Start();
        } else if (m_status & fw::AAU_STATUS_ACTIVE) {
            m_board.clock().Disarm(m_chainDone);
            m_status &= ~fw::AAU_STATUS_ACTIVE;
        }
        break;
    case 0x04:
        m_status &= ~value;
        UpdateLine();
        break;
    case 0x0C: m_next = value; break;
    default: break;
    }
}

void XorAccelerator::Start() {
    if ((m_status & fw::AAU_STATUS_ACTIVE) || m_next == 0) return;
    m_status |= fw::AAU_STATUS_ACTIVE;
    uint64_t cost = 0;
    m_pendingStatus = RunChain(m_next, &cost, &m_interrupt);
    ++m_chains;
    m_board.clock().ArmIn(m_chainDone, cost);
}

void XorAccelerator::Finish() {
    m_status = (m_status & ~fw::AAU_STATUS_ACTIVE) | m_pendingStatus;
    m_control &= ~fw::AAU_CONTROL_ENABLE;
    UpdateLine();
}

void XorAccelerator::UpdateLine() {
    const bool level = (m_status & kErrorBits) || (m_interrupt && (m_status & fw::AAU_STATUS_END_OF_CHAIN));
    m_line.Set(level);
}

uint32_t XorAccelerator::RunChain(uint32_t first, uint64_t* cost, bool* interrupt) {
    MemoryWindows& mem = m_board.memory();
    *interrupt = false;
    uint32_t address = first;
    for (uint32_t steps = 0; address != 0; ++steps) {
        m_descriptor = address;
        *cost += kDescriptorNs;
        const auto* d = reinterpret_cast<const fw::AAU_DESCRIPTOR*>(mem.Translate(address, sizeof(fw::AAU_DESCRIPTOR)));
        if (d == nullptr) return fw::AAU_STATUS_BUS_ABORT;
        if (steps == kMaxChain) return fw::AAU_STATUS_DESCRIPTOR_ERROR;
        ++m_descriptors;
        const uint32_t control = d->dControl;
        const uint32_t length = d->dByteCount;
        const bool update = (control & fw::AAU_CONTROL_UPDATE) != 0;
        const unsigned n = ((control >> fw::AAU_CONTROL_SOURCE_SHIFT) & fw::AAU_CONTROL_SOURCE_MASK) + 1;
        if ((control & fw::AAU_CONTROL_TRANSFER) != fw::AAU_CONTROL_TRANSFER || (update && n != 4)) {
            return fw::AAU_STATUS_DESCRIPTOR_ERROR;
        }
        const uint8_t* s[fw::AAU_MAX_SOURCES];
        uint8_t m[fw::AAU_MAX_SOURCES];
        for (unsigned i = 0; i < n; ++i) {
            s[i] = mem.Translate(d->asSource[i].dAddress, length);
            m[i] = static_cast<uint8_t>(d->asSource[i].dMultiplier >> fw::AAU_MULTIPLIER_SHIFT);
            if (s[i] == nullptr) return fw::AAU_STATUS_BUS_ABORT;
        }
        const bool pq = (control & fw::AAU_CONTROL_PQ) != 0;
        const bool pWritten = !pq || !(control & fw::AAU_CONTROL_P_SUPPRESSED);
        uint8_t* p = pWritten ? mem.Translate(d->dDestination, length) : nullptr;
        uint8_t* q = update ? mem.Translate(d->asSource[4].dAddress, length)
                            : pq ? mem.Translate(d->dQDestination, length) : nullptr;
        if ((pWritten && p == nullptr) || ((pq || update) && q == nullptr)) return fw::AAU_STATUS_BUS_ABORT;
        const uint64_t moved = static_cast<uint64_t>(length) * (n + (pq ? 2 : 1));
        m_bytes += moved;
        *cost += moved * 1000 / kBytesPerUs;
        if (m_failBits != 0) {
            const uint32_t bits = m_failBits;
            m_failBits = 0;
            return bits;
        }
        if (update) {
            // Q = oldQ ^ m * (new ^ old), P = new ^ old ^ oldP.  The delta
            // goes through Q's buffer so that no scratch memory is needed:
            // P is written last, after every source has been read.
            const uint8_t* delta[2] = {s[0], s[1]};
            const uint8_t* pqSources[3] = {s[0], s[1], s[3]};
            const uint8_t mults[3] = {m[3], m[3], 1};
            gf::Pq(nullptr, q, pqSources, mults, 3, length);
            const uint8_t* pSources[3] = {delta[0], delta[1], s[2]};
            gf::Xor(p, pSources, 3, length);
        } else if (pq) {
            gf::Pq(p, q, s, m, n, length);
        } else {
            gf::Xor(p, s, n, length);
        }
        const bool last = d->dNextDescriptor == fw::CPU_ADDRESS{0};
        if (control & fw::AAU_CONTROL_INTERRUPT) {
            if (!last) return fw::AAU_STATUS_END_OF_TRANSFER;
            *interrupt = true;
        }
        address = static_cast<uint32_t>(d->dNextDescriptor);
    }
    return fw::AAU_STATUS_END_OF_CHAIN;
}

}  // namespace sim
