// GF(2^8) tables, multiply and divide, the Q coefficient blocks and the
// two-member decode rows.
#include "raid/gf256.h"

#include <array>
#include <cstring>

#include "executive/types.h"

namespace fw {

namespace {

constexpr GF256_TABLES BuildTables() {
    GF256_TABLES s{};
    uint32_t x = 1;
    for (uint32_t i = 0; i < 255; ++i) {
        s.abExp[i] = static_cast<uint8_t>(x);
        s.abLog[x] = static_cast<uint8_t>(i);
        x <<= 1;
        if (x & 0x100) x ^= GF256_POLYNOMIAL;
    }
    for (uint32_t i = 255; i < sizeof(s.abExp); ++i) s.abExp[i] = s.abExp[i - 255];
    s.abLog[0] = 0xFE;
    return s;
}

constexpr GF256_TABLES s_sTables = BuildTables();
static_assert(s_sTables.abLog[1] == 0 && s_sTables.abLog[2] == 1 && s_sTables.abLog[3] == 25);
static_assert(s_sTables.abExp[764] == s_sTables.abExp[764 - 255]);

// The Q row of every data width; the stored parity of every dual-parity
// array depends on these exact values.
constexpr uint8_t Q_ROWS[GF256_MAX_WIDTH - GF256_MIN_WIDTH + 1][GF256_MAX_WIDTH] = {
    {2, 3},
    {15, 8, 6},
    {28, 27, 20, 18},
    {23, 133, 236, 5, 122},
    {6, 7, 4, 5, 2, 3},
    {61, 163, 157, 20, 192, 55, 225},
    {132, 26, 51, 186, 16, 231, 39, 198},
    {23, 85, 66, 112, 102, 80, 70, 117, 116},
    {150, 129, 184, 175, 196, 210, 232, 254, 2, 3},
    {158, 133, 167, 189, 208, 205, 225, 253, 15, 8, 6},
    {180, 175, 140, 150, 232, 245, 216, 196, 28, 27, 20, 18},
    {231, 195, 138, 118, 210, 208, 167, 153, 227, 163, 96, 121, 188},
    {14, 15, 12, 13, 10, 11, 8, 9, 6, 7, 4, 5, 2, 3},
};

constexpr uint32_t WIDTHS = GF256_MAX_WIDTH - GF256_MIN_WIDTH + 1;

constexpr std::array<uint8_t, WIDTHS * GF256_COEFFICIENT_BLOCK> BuildCoefficientBlocks() {
    std::array<uint8_t, WIDTHS * GF256_COEFFICIENT_BLOCK> a{};
    for (uint32_t m = GF256_MIN_WIDTH; m <= GF256_MAX_WIDTH; ++m) {
        const uint32_t dBase = (m - GF256_MIN_WIDTH) * GF256_COEFFICIENT_BLOCK;
        for (uint32_t r = 0; r < m; ++r) a[dBase + r * m + r] = 1;
        for (uint32_t c = 0; c < m; ++c) {
            a[dBase + m * m + c] = 1;
            a[dBase + (m + 1) * m + c] = Q_ROWS[m - GF256_MIN_WIDTH][c];
        }
    }
    return a;
}

constexpr std::array<uint8_t, WIDTHS * GF256_COEFFICIENT_BLOCK> s_abCoefficients = BuildCoefficientBlocks();

// exp[255 + i] for i in -254..509: the arithmetic below never reduces.
const uint8_t* const s_pbExpMiddle = &s_sTables.abExp[255];

void AddScaledRow(uint8_t* pbTo, const uint8_t* pbFrom, uint8_t bFactor, uint8_t bSize) {
    for (uint8_t j = 0; j < bSize; ++j) {
        pbTo[j] ^= bFactor == 1 ? pbFrom[j] : bGf256Mul(bFactor, pbFrom[j]);
    }
}

void ScaleRow(uint8_t* pb, uint8_t bFactor, uint8_t bSize) {
    for (uint8_t j = 0; j < bSize; ++j) pb[j] = bGf256Mul(bFactor, pb[j]);
}

}  // namespace

const GF256_TABLES* psGetGf256Tables() { return &s_sTables; }

uint8_t bGf256Mul(uint8_t a, uint8_t b) {
    if (a == 0 || b == 0) return 0;
    return s_pbExpMiddle[s_sTables.abLog[a] + s_sTables.abLog[b]];
}

uint32_t bGf256Div(uint8_t a, uint8_t b) {
    if (b == 0) return GF256_DIV_BY_ZERO;
    if (a == 0) return 0;
    return s_pbExpMiddle[static_cast<int>(s_sTables.abLog[a]) - static_cast<int>(s_sTables.abLog[b])];
}

const uint8_t* pGetGf256CoefficientBlock(uint8_t bWidth) {
    if (bWidth < GF256_MIN_WIDTH || bWidth > GF256_MAX_WIDTH) return nullptr;
    return &s_abCoefficients[(bWidth - GF256_MIN_WIDTH) * GF256_COEFFICIENT_BLOCK];
}

uint8_t bGetQCoefficient(uint8_t bWidth, uint8_t bColumn) {
    const uint8_t* pb = pGetGf256CoefficientBlock(bWidth);
    if (pb == nullptr || bColumn >= bWidth) return 0;
    return pb[(bWidth + 1) * bWidth + bColumn];
}

uint8_t InvertGf256Matrix(uint8_t pbMatrix[][16], uint8_t pbInverse[][16], uint8_t bSize) {
    for (uint8_t r = 0; r < bSize; ++r) {
        std::memset(pbInverse[r], 0, 16);
        pbInverse[r][r] = 1;
    }
    for (uint8_t c = 0; c < bSize; ++c) {
        if (pbMatrix[c][c] == 0) {
            uint8_t r = static_cast<uint8_t>(c + 1);
            while (r < bSize && pbMatrix[r][c] == 0) ++r;
            if (r == bSize) return FALSE;
            uint8_t abSwap[16];
            std::memcpy(abSwap, pbMatrix[c], 16);
            std::memcpy(pbMatrix[c], pbMatrix[r], 16);
            std::memcpy(pbMatrix[r], abSwap, 16);
            std::memcpy(abSwap, pbInverse[c], 16);
            std::memcpy(pbInverse[c], pbInverse[r], 16);
            std::memcpy(pbInverse[r], abSwap, 16);
        }
        if (pbMatrix[c][c] != 1) {
            const uint8_t bScale = static_cast<uint8_t>(bGf256Div(1, pbMatrix[c][c]));
            ScaleRow(pbMatrix[c], bScale, bSize);
            ScaleRow(pbInverse[c], bScale, bSize);
        }
        for (uint8_t r = static_cast<uint8_t>(c + 1); r < bSize; ++r) {
            const uint8_t bFactor = pbMatrix[r][c];
            if (bFactor == 0) continue;
            AddScaledRow(pbMatrix[r], pbMatrix[c], bFactor, bSize);
            AddScaledRow(pbInverse[r], pbInverse[c], bFactor, bSize);
        }
    }
    for (int c = bSize - 1; c > 0; --c) {
        for (int r = 0; r < c; ++r) {
            const uint8_t bFactor = pbMatrix[r][c];
            if (bFactor == 0) continue;
            AddScaledRow(pbMatrix[r], pbMatrix[c], bFactor, bSize);
            AddScaledRow(pbInverse[r], pbInverse[c], bFactor, bSize);
        }
    }
    return TRUE;
}

uint8_t BuildDecodeRows(uint8_t a, uint8_t b, uint8_t bMembers, uint32_t* pdOut) {
    for (uint32_t i = 0; i < GF256_DECODE_WORDS; ++i) pdOut[i] = 0xFF;
    const uint8_t m = static_cast<uint8_t>(bMembers - 2);
    const uint8_t* pbBlock = pGetGf256CoefficientBlock(m);
    if (pbBlock == nullptr || a == b || a >= m || b >= bMembers) return FALSE;
    // Rows of the surviving data columns are identity rows; the rows of the
    // missing ones are taken by the surviving parity members, P first.
    uint8_t aabMatrix[16][16] = {};
    int8_t acMap[16];
    for (uint8_t i = 0; i < m; ++i) {
        acMap[i] = -1;
        if (i == a || i == b) continue;
        std::memcpy(aabMatrix[i], pbBlock + i * m, m);
        acMap[i] = static_cast<int8_t>(i);
    }
    for (uint8_t j = m; j < bMembers; ++j) {
        if (j == a || j == b) continue;
        uint8_t r = 0;
        while (r < m && acMap[r] != -1) ++r;
        if (r == m) break;
        std::memcpy(aabMatrix[r], pbBlock + j * m, m);
        acMap[r] = static_cast<int8_t>(j);
    }
    uint8_t aabInverse[16][16];
    if (InvertGf256Matrix(aabMatrix, aabInverse, m) != TRUE) return FALSE;
    if (a < m)
        for (uint8_t r = 0; r < m; ++r) pdOut[r] = aabInverse[a][r];
    if (b < m)
        for (uint8_t r = 0; r < m; ++r) pdOut[GF256_DECODE_SECOND_ROW + r] = aabInverse[b][r];
    return TRUE;
}

}  // namespace fw
