// The accelerator model: its arithmetic against a byte-by-byte reference
// for every length and for a destination that is also a source, and the
// status it ends a bad chain with.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "hw/hw.h"
#include "hw/xor_accelerator.h"
#include "sim/board.h"
#include "sim/xor_accelerator.h"

namespace {

uint8_t RefMul(uint8_t a, uint8_t b) {
    unsigned r = 0, x = a;
    for (unsigned y = b; y; y >>= 1) {
        if (y & 1) r ^= x;
        x <<= 1;
        if (x & 0x100) x ^= 0x11D;
    }
    return uint8_t(r);
}

TEST(XorAcceleratorTest, ArithmeticMatchesTheReferenceAtEveryLengthAndAlias) {
    std::mt19937 rng(3);
    const unsigned n = 5;
    const uint8_t mults[n] = {1, 2, 0x8E, 0xFF, 0};
    for (uint32_t length : {1u, 31u, 32u, 33u, 2047u, 2048u, 2049u, 5000u}) {
        std::vector<std::vector<uint8_t>> src(n, std::vector<uint8_t>(length));
        for (auto& v : src)
            for (auto& b : v) b = uint8_t(rng());
        std::vector<uint8_t> refP(length), refQ(length);
        for (uint32_t o = 0; o < length; ++o) {
            for (unsigned i = 0; i < n; ++i) {
                refP[o] ^= src[i][o];
                refQ[o] ^= RefMul(mults[i], src[i][o]);
            }
        }
        const uint8_t* s[n];
        for (unsigned i = 0; i < n; ++i) s[i] = src[i].data();
        std::vector<uint8_t> p(length), q(length);
        sim::gf::Pq(p.data(), q.data(), s, mults, n, length);
        EXPECT_EQ(p, refP) << length;
        EXPECT_EQ(q, refQ) << length;
        sim::gf::Xor(p.data(), s, n, length);
        EXPECT_EQ(p, refP) << length;
        // Q written over the first source, P over the last.
        std::vector<uint8_t> first = src[0], last = src[n - 1];
        s[0] = first.data();
        s[n - 1] = last.data();
        sim::gf::Pq(last.data(), first.data(), s, mults, n, length);
        EXPECT_EQ(first, refQ) << length;
        EXPECT_EQ(last, refP) << length;
    }
}

TEST(XorAcceleratorTest, ABadChainEndsWithAnErrorAndRaisesTheLine) {
    sim::Board board;
    auto& aau = board.xorAccelerator();
    const uint32_t base = board.memory().bank0Address();
    auto* d = reinterpret_cast<fw::AAU_DESCRIPTOR*>(board.memory().Translate(base, sizeof(fw::AAU_DESCRIPTOR)));
    std::memset(d, 0, sizeof *d);
    d->dControl = fw::aauSourceBits(2) | fw::AAU_CONTROL_TRANSFER | fw::AAU_CONTROL_INTERRUPT;
    d->dByteCount = 512;
    d->dDestination = fw::CPU_ADDRESS{base + 4096};
    d->asSource[0].dAddress = fw::CPU_ADDRESS{base + 8192};
    d->asSource[1].dAddress = fw::CPU_ADDRESS{0xDEADBEEF};
    fw::Reg32Write(fw::AAU_REG_NEXT_DESCRIPTOR, base);
    fw::Reg32Write(fw::AAU_REG_CONTROL, fw::AAU_CONTROL_ENABLE);
    EXPECT_TRUE(fw::Reg32Read(fw::AAU_REG_STATUS) & fw::AAU_STATUS_ACTIVE);
    board.clock().AdvanceTo(board.clock().Now() + 1'000'000);
    EXPECT_EQ(fw::Reg32Read(fw::AAU_REG_STATUS), fw::AAU_STATUS_BUS_ABORT);
    EXPECT_TRUE(board.intc().Line(fw::AAU_INTERRUPT_REGISTER, fw::AAU_INTERRUPT_BIT));
    fw::Reg32Write(fw::AAU_REG_STATUS, fw::AAU_STATUS_BUS_ABORT);
    EXPECT_FALSE(board.intc().Line(fw::AAU_INTERRUPT_REGISTER, fw::AAU_INTERRUPT_BIT));
    // A control word without the transfer bits cannot run.
    d->asSource[1].dAddress = fw::CPU_ADDRESS{base + 8192};
    d->dControl = fw::aauSourceBits(2) | fw::AAU_CONTROL_INTERRUPT;
    fw::Reg32Write(fw::AAU_REG_CONTROL, fw::AAU_CONTROL_ENABLE);
    board.clock().AdvanceTo(board.clock().Now() + 1'000'000);
    EXPECT_EQ(fw::Reg32Read(fw::AAU_REG_STATUS), fw::AAU_STATUS_DESCRIPTOR_ERROR);
    EXPECT_EQ(aau.chainsRun(), 2u);
}

}  // namespace
