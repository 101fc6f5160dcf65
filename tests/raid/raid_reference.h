// Independent references for the RAID tests: GF(2^8) by shift and add, the
// Q coefficients every dual-parity array is stored with, and P and Q of a
// row.  Nothing here uses the firmware's code.
#pragma once

#include <cstdint>
#include <vector>

namespace raidref {

inline uint8_t GfMul(uint8_t a, uint8_t b) {
    unsigned r = 0, x = a;
    for (unsigned y = b; y != 0; y >>= 1) {
        if (y & 1) r ^= x;
        x <<= 1;
        if (x & 0x100) x ^= 0x11D;
    }
    return uint8_t(r);
}

// The Q coefficient of data column c of an array with m data columns.
inline uint8_t QCoefficient(unsigned m, unsigned c) {
    static const std::vector<std::vector<uint8_t>> rows = {
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
    return rows.at(m - 2).at(c);
}

inline uint8_t P(const std::vector<uint8_t>& data) {
    uint8_t r = 0;
    for (uint8_t b : data) r ^= b;
    return r;
}

inline uint8_t Q(const std::vector<uint8_t>& data) {
    uint8_t r = 0;
    for (unsigned c = 0; c < data.size(); ++c) r ^= GfMul(QCoefficient(unsigned(data.size()), c), data[c]);
    return r;
}

// P and Q of whole columns of bytes.
inline void PQ(const std::vector<const uint8_t*>& columns, uint32_t length, uint8_t* p, uint8_t* q) {
    const unsigned m = unsigned(columns.size());
    for (uint32_t o = 0; o < length; ++o) {
        uint8_t vp = 0, vq = 0;
        for (unsigned c = 0; c < m; ++c) {
            vp ^= columns[c][o];
            vq ^= GfMul(QCoefficient(m, c), columns[c][o]);
        }
        if (p) p[o] = vp;
        if (q) q[o] = vq;
    }
}

}  // namespace raidref

namespace raidref {

// Where a host block lives on a striped rank: member (pair for RAID 1/10)
// and drive block.
struct Place {
    unsigned member;
    uint64_t block;
};
inline Place Striped(uint64_t x, unsigned members, unsigned chunk) {
    const uint64_t c = x / chunk;
    return {unsigned(c % members), (c / members) * chunk + x % chunk};
}

}  // namespace raidref

namespace raidref {

// RAID 5 and 50: G sub-ranks of P = D / G members; in row r the parity of
// sub-rank g sits on its member r mod P, and the sub-rank's data chunks
// fill its other members in member order.
struct ParityRank {
    unsigned D, G, S;
    unsigned P() const { return D / G; }
    uint64_t RowBlocks() const { return uint64_t(D - G) * S; }
    unsigned ParityMember(uint64_t row, unsigned g) const { return g * P() + unsigned(row % P()); }
    std::vector<unsigned> DataMembers(uint64_t row, unsigned g) const {
        std::vector<unsigned> v;
        for (unsigned m = g * P(); m < (g + 1) * P(); ++m)
            if (m != ParityMember(row, g)) v.push_back(m);
        return v;
    }
    Place Data(uint64_t x) const {
        const uint64_t row = x / RowBlocks();
        const unsigned chunk = unsigned((x % RowBlocks()) / S);
        const unsigned g = chunk / (P() - 1);
        return {DataMembers(row, g)[chunk % (P() - 1)], row * S + x % S};
    }
};

// RAID 6: in row r, P on member r mod D, Q on the next member; the data
// chunks fill the other members in member order (column j = the j-th).
struct DualParityRank {
    unsigned D, S;
    uint64_t RowBlocks() const { return uint64_t(D - 2) * S; }
    unsigned PMember(uint64_t row) const { return unsigned(row % D); }
    unsigned QMember(uint64_t row) const { return unsigned((row + 1) % D); }
    std::vector<unsigned> DataMembers(uint64_t row) const {
        std::vector<unsigned> v;
        for (unsigned m = 0; m < D; ++m)
            if (m != PMember(row) && m != QMember(row)) v.push_back(m);
        return v;
    }
    Place Data(uint64_t x) const {
        const uint64_t row = x / RowBlocks();
        return {DataMembers(row)[unsigned((x % RowBlocks()) / S)], row * S + x % S};
    }
};

}  // namespace raidref
