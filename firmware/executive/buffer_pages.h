// Data buffer pages: 4 KB pages in one or two memory banks.
//
// A run of consecutive pages is named by a BUFFER_HANDLE, which is also the
// bus address chips use for DMA: for bank 0 the processor address of the
// first page, for bank 1 (address AND 0x1FFFFFFF) + 0x80000000.
#pragma once

#include <cstdint>

namespace fw {

using BUFFER_HANDLE = uint32_t;

constexpr uint32_t BUFFER_PAGE_SIZE = 4096;
constexpr uint32_t BUFFER_WORD_BYTES = 32 * 1024;      // one map word: 8 pages
constexpr uint32_t BUFFER_MAP_WORDS = 63488;           // per bank
constexpr uint32_t BUFFER_BANK1_FLAG = 0x80000000;
constexpr uint8_t BUFFER_BANK_EITHER = 2;
constexpr uint32_t BUFFER_BANK_EMPTY_MARK = 0xEEEEEEEE;

uint8_t InitBufferPages();
uint8_t bAllocDataPages(uint8_t bBank, uint32_t dPageCount, BUFFER_HANDLE* pHandle);
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
uint8_t fGetBankOptionFlag(uint8_t bBank);

uint32_t dBufferHandleToPciAddress(BUFFER_HANDLE dHandle);
uint32_t dBufferHandleToCpuAddress(BUFFER_HANDLE dHandle);
BUFFER_HANDLE dCpuAddressToBank1Handle(uint32_t dAddress);
uint8_t bGetBufferHandleBank(BUFFER_HANDLE dHandle);

// Fill whole words; return the end pointer, or null when the range is not
// inside a bank.
uint32_t* FillBufferWords(BUFFER_HANDLE dHandle, uint32_t dByteCount, uint32_t dValue);
uint32_t* FillBufferTestPattern(BUFFER_HANDLE dHandle, uint32_t dByteCount);
void DumpBuffer(BUFFER_HANDLE dHandle, uint32_t dLength, uint8_t bWidth);

void WritePreservationPattern();
void ClearPreservationPattern();
void CheckPreservationPattern();

// Fixed areas in bank 0.
uint32_t dGetFixedMegabyteArea();
uint32_t dGetPreservationPatternArea();
uint32_t dGetFixedBufferA();
uint32_t dGetFixedBufferB();

}  // namespace fw
