// GF(2^8) arithmetic of the dual-parity arrays: polynomial 0x11D,
// generator 2.  The stored Q of every dual-parity array is computed with the
// per-width coefficients held here; recovering two lost members turns into
// rows of decode coefficients built from them.
#pragma once

#include <cstdint>

namespace fw {

constexpr uint32_t GF256_POLYNOMIAL = 0x11D;
constexpr uint8_t GF256_MIN_WIDTH = 2;    // data columns of a four-member array
constexpr uint8_t GF256_MAX_WIDTH = 14;   // data columns of a sixteen-member array
constexpr uint32_t GF256_COEFFICIENT_BLOCK = 224;   // bytes per width: (m + 2) rows of m
constexpr uint32_t GF256_DECODE_WORDS = 32;
constexpr uint32_t GF256_DECODE_SECOND_ROW = 16;
constexpr uint32_t GF256_DIV_BY_ZERO = 0xFFFFFFFF;

// Log and exponent tables.  The exponent table runs to 764 (period 255), so
// a sum of two logs and a difference both index it from entry 255 without a
// reduction modulo 255.
struct GF256_TABLES {
    uint8_t abLog[256];     // abLog[0] = 0xFE, never used
    uint8_t abExp[765];
};
const GF256_TABLES* psGetGf256Tables();

uint8_t bGf256Mul(uint8_t a, uint8_t b);
// 0xFFFFFFFF when b is 0.
uint32_t bGf256Div(uint8_t a, uint8_t b);

// The coefficient block of data width m (2..14): an (m + 2) x m matrix,
// row-major: the identity, the P row (all ones), the Q row.  Null outside
// the widths.
const uint8_t* pGetGf256CoefficientBlock(uint8_t bWidth);
// Q coefficient of data column i of an m-column array (0 outside).
uint8_t bGetQCoefficient(uint8_t bWidth, uint8_t bColumn);

// Inverts an m x m matrix (row stride 16) over GF(2^8) into pbInverse by
// Gauss-Jordan.  FALSE when it is singular (pbInverse then holds the
// partial work).
uint8_t InvertGf256Matrix(uint8_t pbMatrix[][16], uint8_t pbInverse[][16], uint8_t bSize);

// Decode rows for the loss of data columns a and b (b may be a parity
// column: m for P, m + 1 for Q) of an array of D members: out[0..m-1] the
// multipliers that rebuild column a from the sources in column order (a
// missing column's source being the parity member that took its row: P for
// the lower missing row, Q for the higher), out[16..16+m-1] those of column
// b.  Every other word keeps 0xFF.  FALSE when the loss cannot be decoded.
uint8_t BuildDecodeRows(uint8_t a, uint8_t b, uint8_t bMembers, uint32_t* pdOut);

}  // namespace fw
