// Console dumps that look into an LSI IOC: its system registers, its memory
// through the diagnostic window, and the debug area and trace ring that the
// IOC firmware keeps in its memory.
#pragma once

#include <cstdint>

namespace fw {

// Where the IOC firmware keeps its debug area, and its size in dwords.
constexpr uint32_t LSI_DEBUG_AREA_ADDRESS = 0x21FFFF00;
constexpr uint32_t LSI_DEBUG_AREA_DWORDS = 35;
// The most of the trace ring a dump shows, whatever size the area claims.
constexpr uint32_t LSI_RING_DUMP_LIMIT_BYTES = 64 * 1024;

void ShowLSISystemRegs(uint8_t bIocId);
// dDwordCount dwords from dAddress: bytes (lowest first) with fBytes TRUE,
// else eight dwords a line led by the line's address.
void DumpLSIDiagMemory(uint8_t bIocId, uint32_t dAddress, uint32_t dDwordCount, uint8_t fBytes);
// Reads the debug area into pdArea (LSI_DEBUG_AREA_DWORDS); prints it with
// fPrint TRUE.  0xFF read, 0 the window did not open.
uint8_t ShowLSIDebugArea(uint32_t* pdArea, uint8_t bIocId, uint8_t fPrint);
void ShowLSIRingBuffer(uint8_t bIocId);
// A maintenance look at the image the last diagnostic load put in the
// IOC: the IOC is reset and held, 1028 dwords from the load address are
// printed, and it is started again from its reset vector.
constexpr uint32_t LSI_IMAGE_DUMP_DWORDS = 1028;
void LSIDiagMemoryDumpTool(uint8_t bIocId);

}  // namespace fw
