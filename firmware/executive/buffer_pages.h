// Data buffer pages: 4 KB pages in one or two memory banks.
//
// A run of consecutive pages is named by a BUFFER_HANDLE: for bank 0 the
// processor address of the first page, for bank 1 (address AND 0x1FFFFFFF)
// + 0x80000000, so bit 31 names the bank.  A handle is neither a processor
// nor a bus address; the conversions below make one of it.
#pragma once

#include <cstdint>

#include "hw/addresses.h"

namespace fw {

enum class BUFFER_HANDLE : uint32_t {};
constexpr BUFFER_HANDLE NULL_BUFFER_HANDLE{0};

// The handle of a byte further into the run.
constexpr BUFFER_HANDLE operator+(BUFFER_HANDLE dHandle, uint32_t dOffset) {
    return BUFFER_HANDLE{static_cast<uint32_t>(dHandle) + dOffset};
}

constexpr uint32_t BUFFER_PAGE_SIZE = 4096;
constexpr uint32_t BUFFER_WORD_BYTES = 32 * 1024;      // one map word: 8 pages
constexpr uint32_t BUFFER_MAP_WORDS = 63488;           // per bank
constexpr uint32_t BUFFER_BANK1_FLAG = 0x80000000;
constexpr uint8_t BUFFER_BANK_EITHER = 2;
constexpr uint32_t BUFFER_BANK_EMPTY_MARK = 0xEEEEEEEE;

uint8_t InitBufferPages();
uint8_t bAllocDataPages(uint8_t bBank, uint32_t dPageCount, BUFFER_HANDLE* pHandle);
// The pages of a table the start of day cannot do without, in bank 0.
// Before the main loop runs nothing gives pages back, so a take refused now
// would be refused for good: refused, the start stops here and says why
// (StopStartShortOfPages).
BUFFER_HANDLE dTakeStartOfDayPages(uint32_t dPageCount);
uint16_t wFreeDataPages(BUFFER_HANDLE dHandle, uint32_t dPageCount);
void MarkDataPagesInUse(BUFFER_HANDLE dHandle, uint32_t dPageCount);
void AddReservedDataPages(BUFFER_HANDLE dHandle, uint32_t dPageCount);
void SetBufferBaseline();

uint32_t dGetAvailablePages(uint8_t bBank);
uint32_t dGetDynamicPagesInUse(uint8_t bBank);
uint32_t dGetDynamicHighWater(uint8_t bBank);
uint32_t dGetPagesInUse(uint8_t bBank);
void SetHighWaterMark(uint32_t dValue, uint8_t bBank);
uint8_t bGetBufferUsagePercent(uint8_t bBank);
uint8_t bGetJournalUsagePercent();
uint8_t fIsBufferUsageHigh(uint8_t bBank);
uint8_t fIsJournalUsageHigh();
uint16_t wGetBankMegabytes(uint8_t bBank);
uint32_t dGetTotalMemoryMegabytes();

uint8_t fIsSecondBufferBankPresent();
void SetSecondBufferBankPresent(uint8_t f);
uint8_t fGetBankForceFlag(uint8_t bBank);
// Forces the either-bank allocation onto one bank (of two).
void SetBankForceFlag(uint8_t bBank, uint8_t f);
uint8_t fGetBankOptionFlag(uint8_t bBank);

// The conversions: the bus address chips are given for DMA (the PCI window
// base is 0 on this board), the processor address, the handle of a bank 1
// address, the bank of a handle.
BUS_ADDRESS dBufferHandleToPciAddress(BUFFER_HANDLE dHandle);
CPU_ADDRESS dBufferHandleToCpuAddress(BUFFER_HANDLE dHandle);
BUFFER_HANDLE dCpuAddressToBank1Handle(CPU_ADDRESS dAddress);
uint8_t bGetBufferHandleBank(BUFFER_HANDLE dHandle);
// The bus address of buffer memory the firmware holds by processor address
// or by pointer (request frames, sense buffers carved from a run).
BUS_ADDRESS dCpuAddressToPciAddress(CPU_ADDRESS dAddress);
inline BUS_ADDRESS dPciAddressOf(const volatile void* p) { return dCpuAddressToPciAddress(dCpuAddressOf(p)); }
// Where the firmware reaches the run's first byte.
inline void* pBufferHandleToPointer(BUFFER_HANDLE dHandle) {
    return pCpuAddressToPointer(dBufferHandleToCpuAddress(dHandle));
}

// TRUE when the run of bytes from the handle lies wholly inside a bank
// (a handle read back from NVRAM after a restart is checked so before use).
uint8_t fIsBufferRangeValid(BUFFER_HANDLE dHandle, uint32_t dByteCount);
// Fill whole words; return the end pointer, or null when the range is not
// inside a bank.
uint32_t* FillBufferWords(BUFFER_HANDLE dHandle, uint32_t dByteCount, uint32_t dValue);
uint32_t* FillBufferTestPattern(BUFFER_HANDLE dHandle, uint32_t dByteCount);
void DumpBuffer(BUFFER_HANDLE dHandle, uint32_t dLength, uint8_t bWidth);

void WritePreservationPattern();
void ClearPreservationPattern();
void CheckPreservationPattern();

// Fixed areas in bank 0.
BUFFER_HANDLE dGetFixedMegabyteArea();
BUFFER_HANDLE dGetPreservationPatternArea();
BUFFER_HANDLE dGetFixedBufferA();
BUFFER_HANDLE dGetFixedBufferB();

// Where the chips' firmware images are staged on their way into a chip:
// fixed buffer B, which runs on to the end of the reserved low words.  No
// take of pages ever hands it out, so a start finds it whatever the cache
// kept over a power cut holds, and a chip restarted while the cache fills
// the bank finds it too.  A loader is done with it when it returns, so one
// area serves them all.  Null on a bank too small to hold it.
constexpr uint32_t IMAGE_STAGING_BYTES = 1024 * 1024;
BUFFER_HANDLE dGetImageStagingArea();

// The rings of the Fibre Channel chips: the first 0x14000 bytes of the
// reserved low megabyte of bank 0, where the chips reach them by DMA.
CPU_ADDRESS dGetChipRingMemory();

}  // namespace fw
