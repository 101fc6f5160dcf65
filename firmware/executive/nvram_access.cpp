#include "executive/nvram_access.h"

#include <cstring>

#include "hw/hw.h"

namespace fw {

const uint8_t* pNvramBase() { return HwGetWindow(HW_WINDOW_NVRAM).pBase; }

uint8_t bNvramRead8(uint32_t dOffset) { return pNvramBase()[dOffset]; }

void NvramRead(uint32_t dOffset, void* pDestination, uint32_t dLength) {
    std::memcpy(pDestination, pNvramBase() + dOffset, dLength);
}

namespace {
uint64_t lReadLE(uint32_t dOffset, uint32_t dBytes) {
    const uint8_t* pb = pNvramBase() + dOffset;
    uint64_t l = 0;
    for (uint32_t i = dBytes; i-- > 0;) {
        l = (l << 8) | pb[i];
    }
    return l;
}
uint64_t lReadBE(uint32_t dOffset, uint32_t dBytes) {
    const uint8_t* pb = pNvramBase() + dOffset;
    uint64_t l = 0;
    for (uint32_t i = 0; i < dBytes; ++i) {
        l = (l << 8) | pb[i];
    }
    return l;
}
void WriteLE(uint32_t dOffset, uint64_t lValue, uint32_t dBytes) {
    uint8_t ab[8];
    for (uint32_t i = 0; i < dBytes; ++i) {
        ab[i] = static_cast<uint8_t>(lValue >> (8 * i));
    }
    HwNvramWrite(dOffset, ab, dBytes);
}
void WriteBE(uint32_t dOffset, uint64_t lValue, uint32_t dBytes) {
    uint8_t ab[8];
    for (uint32_t i = 0; i < dBytes; ++i) {
        ab[i] = static_cast<uint8_t>(lValue >> (8 * (dBytes - 1 - i)));
    }
    HwNvramWrite(dOffset, ab, dBytes);
}
}  // namespace

uint16_t wNvramReadLE16(uint32_t dOffset) { return static_cast<uint16_t>(lReadLE(dOffset, 2)); }
uint32_t dNvramReadLE32(uint32_t dOffset) { return static_cast<uint32_t>(lReadLE(dOffset, 4)); }
uint64_t lNvramReadLE64(uint32_t dOffset) { return lReadLE(dOffset, 8); }
uint16_t wNvramReadBE16(uint32_t dOffset) { return static_cast<uint16_t>(lReadBE(dOffset, 2)); }
uint32_t dNvramReadBE32(uint32_t dOffset) { return static_cast<uint32_t>(lReadBE(dOffset, 4)); }
uint64_t lNvramReadBE64(uint32_t dOffset) { return lReadBE(dOffset, 8); }

void NvramWrite8(uint32_t dOffset, uint8_t bValue) { HwNvramWrite8(dOffset, bValue); }
void NvramWrite(uint32_t dOffset, const void* pSource, uint32_t dLength) {
    HwNvramWrite(dOffset, pSource, dLength);
}
void NvramFill(uint32_t dOffset, uint8_t bValue, uint32_t dLength) {
    HwNvramFill(dOffset, bValue, dLength);
}
void NvramWriteLE16(uint32_t dOffset, uint16_t wValue) { WriteLE(dOffset, wValue, 2); }
void NvramWriteLE32(uint32_t dOffset, uint32_t dValue) { WriteLE(dOffset, dValue, 4); }
void NvramWriteLE64(uint32_t dOffset, uint64_t lValue) { WriteLE(dOffset, lValue, 8); }
void NvramWriteBE16(uint32_t dOffset, uint16_t wValue) { WriteBE(dOffset, wValue, 2); }
void NvramWriteBE32(uint32_t dOffset, uint32_t dValue) { WriteBE(dOffset, dValue, 4); }
void NvramWriteBE64(uint32_t dOffset, uint64_t lValue) { WriteBE(dOffset, lValue, 8); }

}  // namespace fw
