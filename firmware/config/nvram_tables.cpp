// NVRAM tables, bitmaps, test pattern and duplication entries.
#include "config/nvram_tables.h"

#include <cstddef>
#include <cstring>

#include "config/nvram_layout.h"
#include "executive/console_output.h"
#include "executive/types.h"

namespace fw {

namespace {

#pragma pack(push, 1)
struct NVRAM_DUP_ENTRY {
    uint8_t fInUse;
    uint8_t bByte1;
    uint8_t bState;
    uint8_t fFlag;
    uint8_t bByte4;
    uint8_t bByte5;
    uint8_t abFirstLd[2];      // BE
    uint8_t abSecondLd[2];     // BE
    uint8_t bByte10;
    uint8_t bByte11;
    uint8_t fBusyA;
    uint8_t abProgressA[8];    // BE
    uint8_t fBusyB;
    uint8_t abProgressB[8];    // BE
    uint8_t abValue[8];
};
#pragma pack(pop)
static_assert(sizeof(NVRAM_DUP_ENTRY) == NVRAM_DUP_ENTRY_SIZE);
static_assert(offsetof(NVRAM_DUP_ENTRY, abFirstLd) == 6);
static_assert(offsetof(NVRAM_DUP_ENTRY, bByte10) == 10);
static_assert(offsetof(NVRAM_DUP_ENTRY, fBusyA) == 12);
static_assert(offsetof(NVRAM_DUP_ENTRY, abProgressA) == 13);
static_assert(offsetof(NVRAM_DUP_ENTRY, fBusyB) == 21);
static_assert(offsetof(NVRAM_DUP_ENTRY, abProgressB) == 22);
static_assert(offsetof(NVRAM_DUP_ENTRY, abValue) == 30);

#define DUP_FIELD(entry, field) \
    (NVRAM_OFFSET(abDupEntries) + (entry) * NVRAM_DUP_ENTRY_SIZE + offsetof(NVRAM_DUP_ENTRY, field))

constexpr uint8_t TEST_PATTERN[4] = {0xFF, 0x00, 0x55, 0xAA};
constexpr uint32_t TEST_PATTERN_GROUP = 8;
constexpr uint32_t DOORBELL_DISPLAY_BASE = 0x21FFFF00;
constexpr uint32_t BITMAP_BITS = NVRAM_BITMAP_BYTES * 8;

uint8_t s_afBitmapAnySet[2] = {FALSE, FALSE};

bool fIsDupEntry(uint8_t bEntry) { return bEntry < NVRAM_DUP_ENTRIES; }

uint32_t dBitmapOffset(uint8_t bMap) {
    return NVRAM_OFFSET(abSnapshotBitmap) + bMap * NVRAM_BITMAP_BYTES;
}

void SetLocation(uint32_t dOffset, uint32_t dBlock, uint16_t wValue) {
    NvramWriteBE32(dOffset, dBlock);
    NvramWriteBE16(dOffset + 4, wValue);
}

uint8_t GetLocation(uint32_t dOffset, uint32_t* pdBlock, uint16_t* pwValue) {
    *pdBlock = dNvramReadBE32(dOffset);
    *pwValue = wNvramReadBE16(dOffset + 4);
    return STATUS_OK;
}

const uint8_t* pInWindow(uint32_t dOffset) { return pNvramBase() + dOffset; }

}  // namespace

uint32_t dNvramOffset(const uint8_t* pbInWindow) {
    return static_cast<uint32_t>(pbInWindow - pNvramBase());
}

void SetNvramDriveWord(uint32_t dSlot, uint32_t dValue) {
    if (dSlot < NVRAM_DRIVE_SLOTS) {
        NvramWriteLE32(NVRAM_OFFSET(abDriveSlotWords) + 4 * dSlot, dValue);
    }
}

uint32_t dGetNvramDriveWord(uint32_t dSlot) {
    return dSlot < NVRAM_DRIVE_SLOTS ? dNvramReadLE32(NVRAM_OFFSET(abDriveSlotWords) + 4 * dSlot) : 0;
}

void ClearNvramDriveWords() { NvramFill(NVRAM_OFFSET(abDriveSlotWords), 0, 4 * NVRAM_DRIVE_SLOTS); }

uint8_t bGetStripeInitByte(uint8_t bArray) {
    return bArray < NVRAM_STRIPE_INIT_ARRAYS ? bNvramRead8(NVRAM_OFFSET(abStripeInitBytes) + bArray) : 0;
}

void SetStripeInitByte(uint8_t bArray, uint8_t bValue) {
    if (bArray < NVRAM_STRIPE_INIT_ARRAYS) {
        NvramWrite8(NVRAM_OFFSET(abStripeInitBytes) + bArray, bValue);
    }
}

uint8_t bGetStripeInitSelector(uint8_t bArray) {
    return bArray < NVRAM_STRIPE_INIT_ARRAYS ? bNvramRead8(NVRAM_OFFSET(abStripeInitSelectors) + bArray)
                                              : 0;
}

void SetStripeInitSelector(uint8_t bArray, uint8_t bValue) {
    if (bArray < NVRAM_STRIPE_INIT_ARRAYS) {
        NvramWrite8(NVRAM_OFFSET(abStripeInitSelectors) + bArray, bValue);
    }
}

const uint8_t* pGetStripeInitRecord(uint8_t bArray) {
    return bGetStripeInitSelector(bArray) == TRUE ? pGetStripeInitRecordA(bArray)
                                                  : pGetStripeInitRecordB(bArray);
}

const uint8_t* pGetStripeInitRecordA(uint8_t bArray) {
    return bArray < NVRAM_STRIPE_INIT_ARRAYS ? pInWindow(NVRAM_OFFSET(abStripeInitRecordA) + 8 * bArray)
                                              : nullptr;
}

const uint8_t* pGetStripeInitRecordB(uint8_t bArray) {
    return bArray < NVRAM_STRIPE_INIT_ARRAYS ? pInWindow(NVRAM_OFFSET(abStripeInitRecordB) + 8 * bArray)
                                              : nullptr;
}

const uint8_t* pGetStripeInitBitmap(uint8_t bArray) {
    return bArray < NVRAM_STRIPE_INIT_BITMAP_ARRAYS
               ? pInWindow(NVRAM_OFFSET(abStripeInitBitmaps) + NVRAM_STRIPE_INIT_BITMAP_SIZE * bArray)
               : nullptr;
}

const uint8_t* pGetStripeInitSelectors() { return pInWindow(NVRAM_OFFSET(abStripeInitSelectors)); }

const uint8_t* pGetDoorbellErrorInfo() { return pInWindow(NVRAM_OFFSET(abDoorbellErrorInfo)); }

void ShowDoorbellErrorInfo() {
    ConsolePrintf("\nLast Doorbell Error Info\n");
    for (uint32_t i = 0; i < NVRAM_DOORBELL_WORDS; ++i) {
        if (i % 8 == 0) {
            ConsolePrintf("\n%08x:", static_cast<unsigned>(DOORBELL_DISPLAY_BASE + 4 * i));
        }
        ConsolePrintf(" %08x", static_cast<unsigned>(dNvramReadLE32(NVRAM_OFFSET(abDoorbellErrorInfo) + 4 * i)));
    }
    ConsolePrintf("\n\n");
}

void SetNvramBitmapBit(uint8_t bMap, uint8_t fSet, uint32_t dBit) {
    if (bMap > 1 || dBit >= BITMAP_BITS) {
        return;
    }
    const uint32_t dOffset = dBitmapOffset(bMap) + dBit / 8;
    const uint8_t bMask = static_cast<uint8_t>(1u << (dBit % 8));
    const uint8_t bOld = bNvramRead8(dOffset);
    if (fSet == TRUE) {
        NvramWrite8(dOffset, static_cast<uint8_t>(bOld | bMask));
        s_afBitmapAnySet[bMap] = TRUE;
    } else {
        NvramWrite8(dOffset, static_cast<uint8_t>(bOld & ~bMask));
        if (fAnyNvramBitmapBit(bMap) != TRUE) {
            s_afBitmapAnySet[bMap] = FALSE;
        }
    }
}

uint8_t fGetNvramBitmapBit(uint8_t bMap, uint32_t dBit) {
    if (bMap > 1 || dBit >= BITMAP_BITS) {
        return FALSE;
    }
    return ToFlag((bNvramRead8(dBitmapOffset(bMap) + dBit / 8) >> (dBit % 8)) & 1);
}

uint8_t fAnyNvramBitmapBit(uint8_t bMap) {
    if (bMap > 1) {
        return FALSE;
    }
    const uint8_t* pb = pInWindow(dBitmapOffset(bMap));
    for (uint32_t i = 0; i < NVRAM_BITMAP_BYTES; ++i) {
        if (pb[i] != 0) {
            return TRUE;
        }
    }
    return FALSE;
}

void ClearNvramBitmap(uint8_t bMap) {
    if (bMap > 1) {
        return;
    }
    NvramFill(dBitmapOffset(bMap), 0, NVRAM_BITMAP_BYTES);
    s_afBitmapAnySet[bMap] = FALSE;
}

uint8_t fAnySnapshotBitmapSet() {
    return ToFlag(s_afBitmapAnySet[0] == TRUE || s_afBitmapAnySet[1] == TRUE);
}

void SetSnapshotLocationA(uint32_t dBlock, uint16_t wValue) {
    SetLocation(NVRAM_OFFSET(abSnapshotLocationA), dBlock, wValue);
}
uint8_t GetSnapshotLocationA(uint32_t* pdBlock, uint16_t* pwValue) {
    return GetLocation(NVRAM_OFFSET(abSnapshotLocationA), pdBlock, pwValue);
}
void SetSnapshotLocationB(uint32_t dBlock, uint16_t wValue) {
    SetLocation(NVRAM_OFFSET(abSnapshotLocationB), dBlock, wValue);
}
uint8_t GetSnapshotLocationB(uint32_t* pdBlock, uint16_t* pwValue) {
    return GetLocation(NVRAM_OFFSET(abSnapshotLocationB), pdBlock, pwValue);
}
void SetSnapshotMetaByte(uint8_t bValue) { NvramWrite8(NVRAM_OFFSET(bSnapshotMetaByte), bValue); }

void SetNvramDupEntriesPresent(uint8_t f) { NvramWrite8(NVRAM_OFFSET(fDupEntriesPresent), f); }
uint8_t fGetNvramDupEntriesPresent() { return bNvramRead8(NVRAM_OFFSET(fDupEntriesPresent)); }
void SetNvramLdDupState(uint8_t bState) { NvramWrite8(NVRAM_OFFSET(bDupState), bState); }
uint8_t bGetNvramLdDupState() { return bNvramRead8(NVRAM_OFFSET(bDupState)); }

void WriteNvramLdDupEntry(uint8_t bEntry, uint16_t wFirstLd, uint16_t wSecondLd, uint8_t bByte10,
                          uint8_t bByte11, uint8_t bByte1, uint8_t bByte2) {
    if (!fIsDupEntry(bEntry)) {
        return;
    }
    NvramWrite8(DUP_FIELD(bEntry, bByte1), bByte1);
    NvramWrite8(DUP_FIELD(bEntry, bState), bByte2);
    NvramWriteBE16(DUP_FIELD(bEntry, abFirstLd), wFirstLd);
    NvramWriteBE16(DUP_FIELD(bEntry, abSecondLd), wSecondLd);
    NvramWrite8(DUP_FIELD(bEntry, bByte10), bByte10);
    NvramWrite8(DUP_FIELD(bEntry, bByte11), bByte11);
    NvramWrite8(DUP_FIELD(bEntry, fBusyA), FALSE);
    NvramWrite8(DUP_FIELD(bEntry, fBusyB), FALSE);
    NvramFill(DUP_FIELD(bEntry, abProgressA), 0, 8);
    NvramFill(DUP_FIELD(bEntry, abProgressB), 0, 8);
    NvramWrite8(DUP_FIELD(bEntry, fFlag), FALSE);
    // In use last: a half-written entry is never taken for a live one.
    NvramWrite8(DUP_FIELD(bEntry, fInUse), TRUE);
    SetNvramDupEntriesPresent(TRUE);
}

void ReadNvramLdDupEntry(uint8_t bEntry, uint8_t* pbOut) {
    if (fIsDupEntry(bEntry)) {
        NvramRead(DUP_FIELD(bEntry, fInUse), pbOut, NVRAM_DUP_ENTRY_SIZE);
    }
}

void ClearNvramLdDupEntry(uint8_t bEntry) {
    if (!fIsDupEntry(bEntry)) {
        return;
    }
    NvramWrite8(DUP_FIELD(bEntry, fInUse), FALSE);
    NvramWrite8(DUP_FIELD(bEntry, bByte1), 0);
    NvramWrite8(DUP_FIELD(bEntry, bState), 0);
    NvramWrite8(DUP_FIELD(bEntry, fFlag), FALSE);
    NvramWrite8(DUP_FIELD(bEntry, bByte4), FALSE);
    NvramWrite8(DUP_FIELD(bEntry, bByte5), FALSE);
    NvramWriteBE16(DUP_FIELD(bEntry, abFirstLd), 0xFFFF);
    NvramWriteBE16(DUP_FIELD(bEntry, abSecondLd), 0xFFFF);
    NvramWrite8(DUP_FIELD(bEntry, bByte10), 0xFF);
    NvramWrite8(DUP_FIELD(bEntry, bByte11), 0xFF);
    NvramWrite8(DUP_FIELD(bEntry, fBusyA), TRUE);
}

void ClearAllNVRAMLDDuplicationProcessEntries() {
    ConsolePrintf("Into %s\n", __func__);
    for (uint8_t i = 0; i < NVRAM_DUP_ENTRIES; ++i) {
        ClearNvramLdDupEntry(i);
    }
    SetNvramLdDupState(TRUE);
}

void SetNvramDupEntryFlag(uint8_t bEntry, uint8_t f) {
    if (fIsDupEntry(bEntry)) {
        NvramWrite8(DUP_FIELD(bEntry, fFlag), f);
    }
}

uint8_t fGetNvramDupEntryFlag(uint8_t bEntry) {
    return fIsDupEntry(bEntry) ? bNvramRead8(DUP_FIELD(bEntry, fFlag)) : FALSE;
}

void SetNvramDupEntryState(uint8_t bEntry, uint8_t bState) {
    if (fIsDupEntry(bEntry)) {
        NvramWrite8(DUP_FIELD(bEntry, bState), bState);
    }
}

void SetNvramDupEntryByte4(uint8_t bEntry, uint8_t bValue) {
    if (fIsDupEntry(bEntry)) {
        NvramWrite8(DUP_FIELD(bEntry, bByte4), bValue);
    }
}

void SetNvramDupEntryByte5(uint8_t bEntry, uint8_t bValue) {
    if (fIsDupEntry(bEntry)) {
        NvramWrite8(DUP_FIELD(bEntry, bByte5), bValue);
    }
}

void SetNvramDupEntryValue(uint8_t bEntry, const uint8_t* pbValue) {
    if (fIsDupEntry(bEntry)) {
        NvramWrite(DUP_FIELD(bEntry, abValue), pbValue, 8);
    }
}

void GetNvramDupEntryValue(uint8_t bEntry, uint8_t* pbOut) {
    if (fIsDupEntry(bEntry)) {
        NvramRead(DUP_FIELD(bEntry, abValue), pbOut, 8);
    }
}

// Each copy is written only while its busy flag is up, and copy A moves only
// after copy B holds its old value: a power cut anywhere leaves one good copy.
void CheckpointNvramLdDupEntry(uint8_t bEntry, uint32_t dLow, uint32_t dHigh) {
    if (!fIsDupEntry(bEntry)) {
        return;
    }
    uint8_t abCopyA[8];
    NvramRead(DUP_FIELD(bEntry, abProgressA), abCopyA, sizeof(abCopyA));
    NvramWrite8(DUP_FIELD(bEntry, fBusyB), TRUE);
    NvramWrite(DUP_FIELD(bEntry, abProgressB), abCopyA, sizeof(abCopyA));
    NvramWrite8(DUP_FIELD(bEntry, fBusyB), FALSE);
    NvramWrite8(DUP_FIELD(bEntry, fBusyA), TRUE);
    NvramWriteBE64(DUP_FIELD(bEntry, abProgressA), (static_cast<uint64_t>(dHigh) << 32) | dLow);
    NvramWrite8(DUP_FIELD(bEntry, fBusyA), FALSE);
}

uint64_t lGetNvramDupProgress(uint8_t bEntry) {
    if (!fIsDupEntry(bEntry)) {
        return 0;
    }
    const uint64_t lA =
        bNvramRead8(DUP_FIELD(bEntry, fBusyA)) == TRUE ? 0 : lNvramReadBE64(DUP_FIELD(bEntry, abProgressA));
    const uint64_t lB =
        bNvramRead8(DUP_FIELD(bEntry, fBusyB)) == TRUE ? 0 : lNvramReadBE64(DUP_FIELD(bEntry, abProgressB));
    return lA > lB ? lA : lB;
}

void WriteNvramTestPattern() {
    for (uint32_t i = 0; i < 4; ++i) {
        NvramFill(NVRAM_OFFSET(abTestPattern) + TEST_PATTERN_GROUP * i, TEST_PATTERN[i], TEST_PATTERN_GROUP);
    }
}

// One group that kept its value is enough, but a pattern area that reads all
// zero is what a lost battery leaves, not a kept zero group.
uint8_t fIsNvramTestPatternIntact() {
    const uint8_t* pb = pInWindow(NVRAM_OFFSET(abTestPattern));
    bool fAllZero = true;
    for (uint32_t i = 0; i < 4 * TEST_PATTERN_GROUP; ++i) {
        fAllZero = fAllZero && pb[i] == 0;
    }
    if (fAllZero) {
        return FALSE;
    }
    for (uint32_t i = 0; i < 4; ++i) {
        bool fGroupIntact = true;
        for (uint32_t j = 0; j < TEST_PATTERN_GROUP; ++j) {
            fGroupIntact = fGroupIntact && pb[TEST_PATTERN_GROUP * i + j] == TEST_PATTERN[i];
        }
        if (fGroupIntact) {
            return TRUE;
        }
    }
    return FALSE;
}

}  // namespace fw
