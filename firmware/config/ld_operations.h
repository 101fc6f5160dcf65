// Creating, growing and deleting logical drives: lists of up to 16
// segments of the arrays' internal address space, placed in the free
// extents of the scratch image.
#pragma once

#include <cstdint>

namespace fw {

constexpr uint16_t ANY_EXTENT = 0xFFFF;
constexpr uint8_t LD_INTERNAL_USE = 128;

// 255 created, 0 refused.  wExtent is a free extent's index or ANY_EXTENT
// to take free extents in order; bFlags' low 4 bits are the host ports, 128
// makes an internal-use logical drive; pcName is 32 bytes or null.
uint8_t CreateLogicalDrive(uint16_t wUnits, uint16_t wExtent, uint16_t wBlockSize, uint8_t bFlags,
                           const char* pcName);
// Removes the logical drive (with fTruncate it and every later one) from
// the scratch image (fScratch TRUE) or the live image.
void DeleteLogicalDrive(uint16_t wLd, uint8_t fTruncate, uint8_t fScratch);
// 255 grown, 0 refused.
uint8_t ExpandLogicalDrive(uint16_t wLd, uint16_t wExtent, uint16_t wUnits);

}  // namespace fw
