// The processor's application accelerator unit: runs descriptor chains that
// it reads from data-buffer memory by address, computing XOR, P+Q
// (GF(2^8) weighted sums), Q only and the P+Q update form over the sources
// the descriptors name, and raises its interrupt at the end of a chain.
//
// The arithmetic uses split-nibble GF(2^8) multiplication on 32-byte vectors
// when the host processor has AVX2 (a byte-table loop otherwise), so parity
// costs what it costs on good hardware.
#pragma once

#include <cstdint>

#include "hw/xor_accelerator.h"
#include "sim/clock.h"
#include "sim/bus.h"
#include "sim/interrupt_controller.h"

namespace sim {

class Board;

class XorAccelerator : public Device {
public:
    static constexpr uint32_t kBase = fw::AAU_REGISTER_BASE;
    // Virtual time of a chain: a set-up per descriptor and the bytes it
    // moves at the unit's bus rate.
    static constexpr uint64_t kDescriptorNs = 200;
    static constexpr uint64_t kBytesPerUs = 4000;

    XorAccelerator(Board& board, InterruptLine line);

    uint32_t Read(uint32_t address, unsigned width) override;
    void Write(uint32_t address, uint32_t value, unsigned width) override;

    // Faults: the next chain ends with these status bits instead of a clean
    // end of chain (its results are not written).
    void FailNextChain(uint32_t statusBits) { m_failBits = statusBits; }
    uint32_t status() const { return m_status; }
    uint64_t chainsRun() const { return m_chains; }
    uint64_t descriptorsRun() const { return m_descriptors; }
    uint64_t bytesMoved() const { return m_bytes; }   // read and written
    bool vectorised() const;

private:
    void Start();
    void Finish();
    // Runs the chain from `first`; the status it ends with.
    uint32_t RunChain(uint32_t first, uint64_t* costNs, bool* interrupt);
    void UpdateLine();

    Board& m_board;
    InterruptLine m_line;
    uint32_t m_control = 0;
    uint32_t m_status = 0;
    uint32_t m_descriptor = 0;
    uint32_t m_next = 0;
    uint32_t m_pendingStatus = 0;
    bool m_interrupt = false;
    Clock::Event m_chainDone;
    uint32_t m_failBits = 0;
    uint64_t m_chains = 0;
    uint64_t m_descriptors = 0;
    uint64_t m_bytes = 0;
};

// The arithmetic, for the model and its benchmark.  Every pointer names
// `length` bytes; a destination may be one of the sources.
namespace gf {
uint8_t Mul(uint8_t a, uint8_t b);
void Xor(uint8_t* dst, const uint8_t* const* sources, unsigned count, uint32_t length);
// P (unless null) = XOR of the sources; Q = sum of multipliers[i] * source i.
void Pq(uint8_t* p, uint8_t* q, const uint8_t* const* sources, const uint8_t* multipliers, unsigned count,
        uint32_t length);
bool HaveAvx2();
}  // namespace gf

}  // namespace sim
