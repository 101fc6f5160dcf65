// NVRAM tables of other subsystems kept at fixed places: drive slot words,
// stripe initialisation progress, the last doorbell error information, the
// snapshot bitmaps and locations, the duplication entries and the test
// pattern that tells whether the NVRAM kept its contents.
//
// The p... getters give the place for reading; a subsystem that changes a
// table stores through NvramWrite* at dNvramOffset(p).
#pragma once

#include <cstdint>

namespace fw {

uint32_t dNvramOffset(const uint8_t* pbInWindow);

// Drive slot words, slots 0..125; other slots store nothing and read 0.
void SetNvramDriveWord(uint32_t dSlot, uint32_t dValue);
uint32_t dGetNvramDriveWord(uint32_t dSlot);
void ClearNvramDriveWords();

// Stripe initialisation, arrays 0..63 (bitmaps for arrays 0..7 only).
uint8_t bGetStripeInitByte(uint8_t bArray);
void SetStripeInitByte(uint8_t bArray, uint8_t bValue);
uint8_t bGetStripeInitSelector(uint8_t bArray);
void SetStripeInitSelector(uint8_t bArray, uint8_t bValue);
const uint8_t* pGetStripeInitRecord(uint8_t bArray);   // copy A when the selector is TRUE
const uint8_t* pGetStripeInitRecordA(uint8_t bArray);
const uint8_t* pGetStripeInitRecordB(uint8_t bArray);
const uint8_t* pGetStripeInitBitmap(uint8_t bArray);   // nullptr beyond array 7
const uint8_t* pGetStripeInitSelectors();

const uint8_t* pGetDoorbellErrorInfo();
void ShowDoorbellErrorInfo();

// The two 512-bit snapshot bitmaps (map 0 first, map 1 second).
void SetNvramBitmapBit(uint8_t bMap, uint8_t fSet, uint32_t dBit);
uint8_t fGetNvramBitmapBit(uint8_t bMap, uint32_t dBit);
uint8_t fAnyNvramBitmapBit(uint8_t bMap);
void ClearNvramBitmap(uint8_t bMap);
uint8_t fAnySnapshotBitmapSet();

void SetSnapshotLocationA(uint32_t dBlock, uint16_t wValue);
uint8_t GetSnapshotLocationA(uint32_t* pdBlock, uint16_t* pwValue);
void SetSnapshotLocationB(uint32_t dBlock, uint16_t wValue);
uint8_t GetSnapshotLocationB(uint32_t* pdBlock, uint16_t* pwValue);
void SetSnapshotMetaByte(uint8_t bValue);

// Logical drive duplication entries 0..3; other indexes are ignored.
void SetNvramDupEntriesPresent(uint8_t f);
uint8_t fGetNvramDupEntriesPresent();
void SetNvramLdDupState(uint8_t bState);
uint8_t bGetNvramLdDupState();
void WriteNvramLdDupEntry(uint8_t bEntry, uint16_t wFirstLd, uint16_t wSecondLd, uint8_t bByte10,
                          uint8_t bByte11, uint8_t bByte1, uint8_t bByte2);
void ReadNvramLdDupEntry(uint8_t bEntry, uint8_t* pbOut);   // 38 bytes
void ClearNvramLdDupEntry(uint8_t bEntry);
void ClearAllNVRAMLDDuplicationProcessEntries();
void SetNvramDupEntryFlag(uint8_t bEntry, uint8_t f);
uint8_t fGetNvramDupEntryFlag(uint8_t bEntry);
void SetNvramDupEntryState(uint8_t bEntry, uint8_t bState);
void SetNvramDupEntryByte4(uint8_t bEntry, uint8_t bValue);
void SetNvramDupEntryByte5(uint8_t bEntry, uint8_t bValue);
void SetNvramDupEntryValue(uint8_t bEntry, const uint8_t* pbValue);
void GetNvramDupEntryValue(uint8_t bEntry, uint8_t* pbOut);
void CheckpointNvramLdDupEntry(uint8_t bEntry, uint32_t dLow, uint32_t dHigh);
uint64_t lGetNvramDupProgress(uint8_t bEntry);

void WriteNvramTestPattern();
uint8_t fIsNvramTestPatternIntact();

}  // namespace fw
