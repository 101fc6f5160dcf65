// The chips' rings in processor memory: request (driver to chip), response
// (chip to driver) and, on the host chips, ATIO (new commands and notifies),
// 128 entries of 64 bytes each; and the one routine through which every
// request entry of the system reaches a chip.
#pragma once

#include <cstdint>

#include "hw/addresses.h"

namespace fw {

// Where each ring lies in the ring memory area.
constexpr uint32_t QL_RING_REQUEST_CHIP3 = 0x0000;
constexpr uint32_t QL_RING_REQUEST_CHIP4 = 0x2000;
constexpr uint32_t QL_RING_RESPONSE_CHIP3 = 0x4000;
constexpr uint32_t QL_RING_RESPONSE_CHIP4 = 0x6000;
constexpr uint32_t QL_RING_REQUEST_CHIP1 = 0x8000;
constexpr uint32_t QL_RING_REQUEST_CHIP2 = 0xA000;
constexpr uint32_t QL_RING_RESPONSE_CHIP1 = 0xC000;
constexpr uint32_t QL_RING_RESPONSE_CHIP2 = 0xE000;
constexpr uint32_t QL_RING_ATIO_CHIP1 = 0x10000;
constexpr uint32_t QL_RING_ATIO_CHIP2 = 0x12000;
constexpr uint32_t QL_RING_MEMORY_BYTES = 0x14000;

constexpr uint16_t QL_RING_LENGTH = 128;
constexpr uint32_t QL_POST_STRIDE = 636;        // sources of a run are KERNEL_ENTRYs

uint8_t bPostRequestQueueEntries(uint8_t bChip, uint16_t wCount, const void* pSource);
uint8_t bRequestRingFree(uint8_t bChip);
uint8_t bTakeRequestSlot(uint8_t bChip, uint16_t wCount, uint8_t** ppbSlot);
// Each ring's base as the chip reaches it by DMA, and the request ring as
// the processor writes it.
void GetRequestRingBase(uint8_t bChip, BUS_ADDRESS* pdAddress);
void GetResponseRingBase(uint8_t bChip, BUS_ADDRESS* pdAddress);
void GetAtioRingBase(uint8_t bChip, BUS_ADDRESS* pdAddress);
uint8_t* pbGetRequestRing(uint8_t bChip);
// The rings the chip fills, for the debug dump; null where the chip has none.
const uint8_t* pbGetResponseRing(uint8_t bChip);
const uint8_t* pbGetAtioRing(uint8_t bChip);
uint16_t wGetRequestRingLength(uint8_t bChip);
uint16_t wGetResponseRingLength(uint8_t bChip);
uint16_t wGetAtioRingLength(uint8_t bChip);
uint8_t bGetResponseEntry(uint8_t bChip, uint16_t wInPointer, uint8_t** ppbEntry);
uint8_t bGetAtioEntry(uint8_t bChip, uint16_t wInPointer, uint8_t** ppbEntry);
uint16_t wGetResponseOutPointer(uint8_t bChip);
void AdvanceResponseOutPointer(uint8_t bChip);
uint16_t wGetAtioOutPointer(uint8_t bChip);
void AdvanceAtioOutPointer(uint8_t bChip);
uint16_t wGetRequestInPointer(uint8_t bChip);
void InitDriveChipRings();
void InitHostChipRings();
// The rings of one host chip empty again after the chip was reset.
void ResetHostChipRing(uint8_t bChip);
uint8_t bNextIocbTag();
uint8_t BuildQlCommandIocb(uint32_t dHandle, uint8_t bAlpa, uint16_t wLun, uint16_t wFlagsA, uint16_t wFlagsB,
                           uint16_t wTimeout, const uint8_t* pbCdb, uint32_t dByteCount, BUS_ADDRESS dDataAddress,
                           uint8_t* pbEntry);
void DumpQlRings(uint8_t bChip);
uint8_t fIsRequestPostActive();
uint32_t dGetRequestRingWord();

}  // namespace fw
