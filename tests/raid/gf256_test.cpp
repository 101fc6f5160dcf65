// GF(2^8) arithmetic against a shift-and-add reference, the stored Q
// coefficients, and the decode rows of every two-member loss.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "executive/types.h"
#include "raid/gf256.h"
#include "raid_reference.h"

namespace {

using raidref::GfMul;

TEST(Gf256Test, MultiplyAndDivideAgreeWithTheReference) {
    for (unsigned a = 0; a < 256; ++a) {
        for (unsigned b = 0; b < 256; ++b) {
            ASSERT_EQ(fw::bGf256Mul(uint8_t(a), uint8_t(b)), GfMul(uint8_t(a), uint8_t(b))) << a << "*" << b;
            if (b == 0) continue;
            ASSERT_EQ(fw::bGf256Div(GfMul(uint8_t(a), uint8_t(b)), uint8_t(b)), a) << a << "/" << b;
        }
    }
    EXPECT_EQ(fw::bGf256Mul(0, 77), 0);
    EXPECT_EQ(fw::bGf256Mul(77, 0), 0);
    EXPECT_EQ(fw::bGf256Mul(2, 128), 0x1D);
    EXPECT_EQ(fw::bGf256Div(200, 1), 200u);
    EXPECT_EQ(fw::bGf256Div(0, 9), 0u);
    EXPECT_EQ(fw::bGf256Div(9, 0), 0xFFFFFFFFu);
    const fw::GF256_TABLES* ps = fw::psGetGf256Tables();
    EXPECT_EQ(ps->abLog[1], 0);
    EXPECT_EQ(ps->abLog[2], 1);
    EXPECT_EQ(ps->abLog[3], 25);
    EXPECT_EQ(ps->abLog[0], 0xFE);
    for (unsigned i = 0; i < 765; ++i) ASSERT_EQ(ps->abExp[i], ps->abExp[i % 255]) << i;
}

TEST(Gf256Test, CoefficientBlocksHoldIdentityParityAndTheStoredQRow) {
    for (uint8_t m = 2; m <= 14; ++m) {
        const uint8_t* pb = fw::pGetGf256CoefficientBlock(m);
        ASSERT_NE(pb, nullptr);
        for (uint8_t r = 0; r < m; ++r)
            for (uint8_t c = 0; c < m; ++c) ASSERT_EQ(pb[r * m + c], r == c ? 1 : 0);
        for (uint8_t c = 0; c < m; ++c) {
            EXPECT_EQ(pb[m * m + c], 1);
            EXPECT_EQ(pb[(m + 1) * m + c], raidref::QCoefficient(m, c)) << int(m) << " " << int(c);
        }
    }
    EXPECT_EQ(fw::pGetGf256CoefficientBlock(1), nullptr);
    EXPECT_EQ(fw::pGetGf256CoefficientBlock(15), nullptr);
}

// For every width and every loss of two members with at least one data
// column among them, the decode row rebuilds the column from the survivors.
TEST(Gf256Test, DecodeRowsRebuildEveryLostDataColumn) {
    std::mt19937 rng(7);
    for (uint8_t m = 2; m <= 14; ++m) {
        const uint8_t D = uint8_t(m + 2);
        std::vector<uint8_t> data(m);
        for (auto& b : data) b = uint8_t(rng());
        const uint8_t p = raidref::P(data);
        const uint8_t q = raidref::Q(data);
        for (uint8_t a = 0; a < m; ++a) {
            for (uint8_t b = uint8_t(a + 1); b < D; ++b) {
                uint32_t adOut[32];
                ASSERT_EQ(fw::BuildDecodeRows(a, b, D, adOut), fw::TRUE);
                // The rows of the missing members are taken by P, then Q.
                const bool fQOnly = b == m;         // P lost too: Q takes a's row
                std::vector<uint8_t> src = data;
                src[a] = fQOnly ? q : p;
                if (b < m) src[b] = q;
                uint8_t bRebuilt = 0, bSecond = 0;
                for (uint8_t i = 0; i < m; ++i) {
                    bRebuilt ^= GfMul(uint8_t(adOut[i]), src[i]);
                    if (b < m) bSecond ^= GfMul(uint8_t(adOut[16 + i]), src[i]);
                }
                ASSERT_EQ(bRebuilt, data[a]) << "m " << int(m) << " lost " << int(a) << "," << int(b);
                for (unsigned i = m; i < 16; ++i) ASSERT_EQ(adOut[i], 0xFFu);
                if (b < m) {
                    ASSERT_EQ(bSecond, data[b]);
                } else {
                    for (unsigned i = 16; i < 32; ++i) ASSERT_EQ(adOut[i], 0xFFu);
                }
            }
        }
    }
}

TEST(Gf256Test, SingularOrMeaninglessLossesAreRefused) {
    uint32_t adOut[32];
    EXPECT_EQ(fw::BuildDecodeRows(1, 1, 6, adOut), fw::FALSE);
    EXPECT_EQ(fw::BuildDecodeRows(0, 6, 6, adOut), fw::FALSE);
    EXPECT_EQ(fw::BuildDecodeRows(0, 1, 3, adOut), fw::FALSE);
    // Both parities lost leaves no equation for the data columns.
    EXPECT_EQ(fw::BuildDecodeRows(4, 5, 6, adOut), fw::FALSE);
    uint8_t aab[16][16] = {{1, 1}, {1, 1}};
    uint8_t aabInv[16][16];
    EXPECT_EQ(fw::InvertGf256Matrix(aab, aabInv, 2), fw::FALSE);
}

}  // namespace
