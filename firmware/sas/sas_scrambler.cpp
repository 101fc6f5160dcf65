#include "sas/sas_scrambler.h"

#include "executive/types.h"

namespace fw {

namespace {

constexpr uint16_t SCRAMBLER_SEED = 0xFFFF;
// x^15 + x^13 + x^4 + 1: the feedback taps below the x^16 term.
constexpr uint16_t SCRAMBLER_TAPS = 0xA011;
constexpr uint32_t SCRAMBLER_LEAD_BITS = 192;

uint32_t bNextBit(uint16_t* pwState) {
    const uint32_t dOut = *pwState >> 15;
    *pwState = static_cast<uint16_t>(*pwState << 1);
    if (dOut != 0) *pwState ^= SCRAMBLER_TAPS;
    return dOut;
}

uint32_t dSwap(uint32_t d) { return __builtin_bswap32(d); }

}  // namespace

void ScrambleSasDwords(const uint32_t* pdSource, uint32_t* pdDestination, uint32_t dCount, uint8_t fByteSwap) {
    uint16_t wState = SCRAMBLER_SEED;
    for (uint32_t i = 0; i < SCRAMBLER_LEAD_BITS; ++i) (void)bNextBit(&wState);
    for (uint32_t w = 0; w < dCount; ++w) {
        uint32_t dWord = fByteSwap == TRUE ? dSwap(pdSource[w]) : pdSource[w];
        uint32_t dMask = 0;
        for (uint32_t b = 0; b < 32; ++b) dMask |= bNextBit(&wState) << b;
        dWord ^= dMask;
        pdDestination[w] = fByteSwap == TRUE ? dSwap(dWord) : dWord;
    }
}

}  // namespace fw
