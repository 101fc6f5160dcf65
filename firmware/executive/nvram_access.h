// Raw access to the battery-backed NVRAM window, by byte offset.  Reads go
// through the base pointer; every store goes through HwNvramWrite*, so that
// a power cut between two stores leaves exactly the bytes written.  What
// lies where is the NVRAM layout's (config/nvram_layout.h).
#pragma once

#include <cstdint>

namespace fw {

const uint8_t* pNvramBase();
uint8_t bNvramRead8(uint32_t dOffset);
void NvramRead(uint32_t dOffset, void* pDestination, uint32_t dLength);
uint16_t wNvramReadLE16(uint32_t dOffset);
uint32_t dNvramReadLE32(uint32_t dOffset);
uint64_t lNvramReadLE64(uint32_t dOffset);
uint16_t wNvramReadBE16(uint32_t dOffset);
uint32_t dNvramReadBE32(uint32_t dOffset);
uint64_t lNvramReadBE64(uint32_t dOffset);
void NvramWrite8(uint32_t dOffset, uint8_t bValue);
void NvramWrite(uint32_t dOffset, const void* pSource, uint32_t dLength);
void NvramFill(uint32_t dOffset, uint8_t bValue, uint32_t dLength);
void NvramWriteLE16(uint32_t dOffset, uint16_t wValue);
void NvramWriteLE32(uint32_t dOffset, uint32_t dValue);
void NvramWriteLE64(uint32_t dOffset, uint64_t lValue);
void NvramWriteBE16(uint32_t dOffset, uint16_t wValue);
void NvramWriteBE32(uint32_t dOffset, uint32_t dValue);
void NvramWriteBE64(uint32_t dOffset, uint64_t lValue);

}  // namespace fw
