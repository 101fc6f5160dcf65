// NVRAM identity and statistics records.
#include "config/nvram_records.h"

#include <algorithm>
#include <cstring>

#include "config/nvram_layout.h"
#include "config/nvram_tables.h"
#include "eventlog/event_log.h"
#include "executive/console_output.h"
#include "executive/date_time.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "hw/hw.h"
#include "platform/flash_update.h"

namespace fw {

namespace {

constexpr uint32_t OEM_CODE_PRAVELON = 0x101;
constexpr uint8_t PRINTABLE_FIRST = 0x20;
constexpr uint8_t PRINTABLE_LAST = 0x7E;

// The maker's notice returned in INQUIRY data.
constexpr char VENDOR_NOTICE[] = "Dunra RAID controller. All rights reserved.";

struct STATISTICS_TOTALS {
    uint64_t lReadCommands;
    uint64_t lReadBlocks;
    uint64_t lWriteCommands;
    uint64_t lWriteBlocks;
    uint32_t dOperatingSeconds;
};

STATISTICS_TOTALS s_sTotals;
uint8_t s_bLastSaveSecond = 0xFF;
uint8_t s_fConfigTieValid = FALSE;
uint8_t s_fConfigNewerThanJournals = FALSE;
uint8_t s_fSavedAloneHere = FALSE;
uint8_t s_fFlushSequencerFlag = FALSE;

bool fAllBytesIn(const uint8_t* pb, uint32_t dLength, bool fNulAllowed) {
    for (uint32_t i = 0; i < dLength; ++i) {
        const bool fPrintable = pb[i] >= PRINTABLE_FIRST && pb[i] <= PRINTABLE_LAST;
        if (!fPrintable && !(fNulAllowed && pb[i] == 0)) {
            return false;
        }
    }
    return true;
}

uint8_t bStoreText(uint32_t dOffset, const uint8_t* pb, uint32_t dLength, bool fNulAllowed) {
    if (!fAllBytesIn(pb, dLength, fNulAllowed)) {
        return 0;
    }
    NvramWrite(dOffset, pb, dLength);
    return STATUS_OK;
}

// Text blank-padded (or NUL-padded) to the field width.
void WritePadded(uint32_t dOffset, const char* pszText, uint32_t dWidth, char cPad) {
    char ac[48];
    std::memset(ac, cPad, dWidth);
    std::memcpy(ac, pszText, std::min<uint32_t>(static_cast<uint32_t>(std::strlen(pszText)), dWidth));
    NvramWrite(dOffset, ac, dWidth);
}

// The copy the next save goes to: 1 (B) when fStatisticsBankB is TRUE.
uint32_t dNextStatisticsCopy() {
    return bNvramRead8(NVRAM_OFFSET(fStatisticsBankB)) == TRUE ? 1 : 0;
}

uint32_t dLastStatisticsCopy() { return 1 - dNextStatisticsCopy(); }

// Copy B of a statistics field follows copy A directly.
uint32_t dStatisticsField(uint32_t dOffsetA, uint32_t dWidth, uint32_t dCopy) {
    return dOffsetA + dWidth * dCopy;
}

// The main loop counts while the tick may save; on a 32-bit processor a 64-bit
// add is two stores, so keep the tick out for the increment.
void AddToTotals(uint64_t* plCommands, uint64_t* plBlocks, uint32_t dBlocks) {
    const uint32_t dMask = CpuGetInterruptMask();
    CpuMaskInterrupts();
    *plCommands += 1;
    *plBlocks += dBlocks;
    if ((dMask & (CPSR_IRQ_MASK | CPSR_FIQ_MASK)) == 0) {
        CpuUnmaskInterrupts();
    }
}

}  // namespace

void GetNvramVendorId(uint8_t* pbOut) { NvramRead(NVRAM_OFFSET(acVendorId), pbOut, 8); }
void GetNvramProductId(uint8_t* pbOut) { NvramRead(NVRAM_OFFSET(acProductId), pbOut, 16); }
void GetNvramVendorText(uint8_t* pbOut) { NvramRead(NVRAM_OFFSET(acVendorText), pbOut, 48); }

uint8_t GetNvramShortName(uint8_t* pbOut) {
    uint8_t bLength = 0;
    while (bLength < 16) {
        const uint8_t b = bNvramRead8(NVRAM_OFFSET(acShortName) + bLength);
        pbOut[bLength++] = b;
        if (b == 0) {
            break;
        }
    }
    return bLength;
}

uint8_t SetNvramVendorId(const uint8_t* pbId) {
    return bStoreText(NVRAM_OFFSET(acVendorId), pbId, 8, false);
}
uint8_t SetNvramProductId(const uint8_t* pbId) {
    return bStoreText(NVRAM_OFFSET(acProductId), pbId, 16, false);
}
uint8_t SetNvramVendorText(const uint8_t* pbText) {
    return bStoreText(NVRAM_OFFSET(acVendorText), pbText, 48, false);
}
uint8_t SetNvramShortName(const uint8_t* pbName) {
    return bStoreText(NVRAM_OFFSET(acShortName), pbName, 16, true);
}

uint8_t bGetNvramByteD8() { return bNvramRead8(NVRAM_OFFSET(bIdentityByte)); }
void SetNvramByteD8(uint8_t b) { NvramWrite8(NVRAM_OFFSET(bIdentityByte), b); }

void WriteNvramIdentityDefaults() {
    const bool fPravelon = dGetOemCode() == OEM_CODE_PRAVELON;
    const char* pszProduct;
    const char* pszShort;
    if (fIsExpansionModelZ7Q2() == TRUE) {
        pszProduct = "QZ7Q2T";
        pszShort = "QZ7Q2T";
    } else if (fIsModelZ7Q2() == TRUE) {
        pszProduct = fPravelon ? "4Gb Fibre Raid" : "RZ7Q2T";
        pszShort = "RZ7Q2T";
    } else if (fIsZ8Q2Controller() == TRUE) {
        pszProduct = "Vomax fibre";
        pszShort = "RZ8Q2T";
    } else if (fIsModelZ7Q3() == TRUE) {
        pszProduct = "RZ7Q3T";
        pszShort = "RZ7Q3T";
    } else if (fIsModelZ7Q4() == TRUE) {
        pszProduct = "RZ7Q4T";
        pszShort = "RZ7Q4T";
    } else {
        pszProduct = fPravelon ? "2Gb Fibre Raid" : "RZ6Q0T";
        pszShort = "RZ6Q0T";
    }
    WritePadded(NVRAM_OFFSET(acVendorId), fPravelon ? "PRAVELON" : "Dunra", 8, ' ');
    WritePadded(NVRAM_OFFSET(acProductId), pszProduct, 16, ' ');
    WritePadded(NVRAM_OFFSET(acVendorText), VENDOR_NOTICE, 48, ' ');
    WritePadded(NVRAM_OFFSET(acShortName), pszShort, 16, '\0');
    SetNvramByteD8(fPravelon ? 1 : 0);
}

void GetNvramAlternateWwn(uint8_t* pbWwn) { NvramRead(NVRAM_OFFSET(abAlternateWwn), pbWwn, 8); }

void SetNvramAlternateWwn(const uint8_t* pbWwn) {
    if (fIsValidNvramWwn(pbWwn) == TRUE) {
        NvramWrite(NVRAM_OFFSET(abAlternateWwn), pbWwn, 8);
    }
}

uint8_t bGetNvramPortAddress(uint8_t bPort) {
    return bPort < 2 ? bNvramRead8(NVRAM_OFFSET(abNvramPortAddress) + bPort) : 0;
}

void IncrementStartCount() {
    const uint32_t dOffset = NVRAM_OFFSET(abStartCount);
    const uint8_t bLow = static_cast<uint8_t>(bNvramRead8(dOffset) + 1);
    NvramWrite8(dOffset, bLow);
    if (bLow == 0) {
        NvramWrite8(dOffset + 1, static_cast<uint8_t>(bNvramRead8(dOffset + 1) + 1));
    }
}

uint32_t dGetNvramBootCount() { return wNvramReadLE16(NVRAM_OFFSET(abStartCount)); }

void SaveLastStartTime() {
    DATE_TIME sNow;
    GetDateTime(&sNow);
    if (bValidateDateTime(&sNow) == STATUS_OK) {
        NvramWrite(NVRAM_OFFSET(sLastStartTime), &sNow, sizeof(sNow));
    }
}

void SetNvramJournalGeneration(uint32_t dGeneration) {
    NvramWriteLE32(NVRAM_OFFSET(abJournalGeneration), dGeneration);
}
uint32_t dGetNvramJournalGeneration() { return dNvramReadLE32(NVRAM_OFFSET(abJournalGeneration)); }

void CheckNvramJournalGeneration(const CONFIG_IMAGE* psLive) {
    const uint32_t dLiveGeneration = psLive->sHeader.dGeneration;
    const uint32_t dJournals = dGetNvramJournalGeneration();
    s_fConfigTieValid = ToFlag(dJournals == dLiveGeneration);
    const uint8_t* pbAlone = psLive->sHeader.abAloneWriterWwn;
    uint8_t abOwn[8];
    GetNvramControllerWwn(abOwn);
    const bool fNamed = std::any_of(pbAlone, pbAlone + 8, [](uint8_t b) { return b != 0; });
    const bool fSavedAloneByPartner = fNamed && std::memcmp(pbAlone, abOwn, sizeof abOwn) != 0;
    s_fSavedAloneHere = ToFlag(fNamed && !fSavedAloneByPartner);
    // Kept from the first look of the start of day: the applies that follow
    // tie the journals to the live image.  Generation 0 is an image without
    // arrays: nothing to write out there.
    if (dLiveGeneration != 0 && dLiveGeneration > dJournals && fSavedAloneByPartner) s_fConfigNewerThanJournals = TRUE;
}
uint8_t fIsNvramConfigTieValid() { return s_fConfigTieValid; }

void SetOutlivedPartnerRecord(uint8_t f) {
    if (fGetOutlivedPartnerRecord() != f) NvramWrite8(NVRAM_OFFSET(fOutlivedPartner), f == TRUE ? TRUE : FALSE);
}
// Only TRUE counts: a byte an older layout left reserved reads as no record.
uint8_t fGetOutlivedPartnerRecord() { return ToFlag(bNvramRead8(NVRAM_OFFSET(fOutlivedPartner)) == TRUE); }

void CheckFlashImageRecord() {
    const uint32_t dFound = dGetNewestFlashRecord();
    // Never recorded, the bytes read 0: nothing found is older.
    const uint32_t dKept = dNvramReadLE32(NVRAM_OFFSET(abFlashSequence));
    if (dFound == dKept) return;
    // An older image than one this board already had: the flash lost the
    // update (made again from the factory image, or put back from an older
    // copy), and the operator hears of it at this start, the only one that
    // can tell.
    if (dFound < dKept) {
        PostEvent(EVENT_FIRMWARE_UPDATE_LOST, static_cast<uint8_t>(dKept), static_cast<uint8_t>(dKept >> 8),
                  static_cast<uint8_t>(dKept >> 16), static_cast<uint8_t>(dKept >> 24), static_cast<uint8_t>(dFound),
                  static_cast<uint8_t>(dFound >> 8), static_cast<uint8_t>(dFound >> 16),
                  static_cast<uint8_t>(dFound >> 24));
        ConsolePrintf("Controller Firmware Update Lost, Older Image Started\n");
    }
    NvramWriteLE32(NVRAM_OFFSET(abFlashSequence), dFound);
}

uint8_t fIsConfigurationNewerThanJournals() { return s_fConfigNewerThanJournals; }
uint8_t fWasConfigurationSavedAloneHere() { return s_fSavedAloneHere; }

void ResetJournalGenerationCheck() {
    s_fConfigNewerThanJournals = FALSE;
    s_fSavedAloneHere = FALSE;
}

uint8_t fGetNvramOptionBit0() { return ToFlag((bGetNvramOptions() & 0x01) != 0); }
uint8_t fGetNvramOptionBit1() { return ToFlag((bGetNvramOptions() & 0x02) != 0); }
uint8_t fGetNvramOptionBit2() { return ToFlag((bGetNvramOptions() & 0x04) != 0); }
void SetNvramOptionBit2(uint8_t f) {
    const uint8_t bOptions = bGetNvramOptions();
    NvramWrite8(NVRAM_OFFSET(bNvramOptions), static_cast<uint8_t>(f == TRUE ? bOptions | 0x04 : bOptions & ~0x04));
}

void SetFlushSequencerFlag(uint8_t f) { s_fFlushSequencerFlag = f; }
uint8_t fGetFlushSequencerFlag() { return s_fFlushSequencerFlag; }

void SetNvramExpanderPhyConfig(uint8_t bExpander, uint8_t bPhy, uint32_t dValue) {
    if (bExpander < NVRAM_EXPANDERS && bPhy < NVRAM_EXPANDER_PHYS) {
        NvramWriteLE32(NVRAM_OFFSET(abExpanderPhy) + (bExpander * NVRAM_EXPANDER_PHYS + bPhy) * 4,
                       dValue);
    }
}

uint32_t dGetNvramExpanderPhyConfig(uint8_t bExpander, uint8_t bPhy) {
    if (bExpander >= NVRAM_EXPANDERS || bPhy >= NVRAM_EXPANDER_PHYS) {
        return 0;
    }
    return dNvramReadLE32(NVRAM_OFFSET(abExpanderPhy) + (bExpander * NVRAM_EXPANDER_PHYS + bPhy) * 4);
}

void CountNvramReads(uint32_t dBlocks) {
    AddToTotals(&s_sTotals.lReadCommands, &s_sTotals.lReadBlocks, dBlocks);
}
void CountNvramWrites(uint32_t dBlocks) {
    AddToTotals(&s_sTotals.lWriteCommands, &s_sTotals.lWriteBlocks, dBlocks);
}
uint64_t lGetNvramReadCount() { return s_sTotals.lReadCommands; }
uint64_t lGetNvramReadBlocks() { return s_sTotals.lReadBlocks; }
uint64_t lGetNvramWriteCount() { return s_sTotals.lWriteCommands; }
uint64_t lGetNvramWriteBlocks() { return s_sTotals.lWriteBlocks; }
uint32_t dGetOperatingSeconds() { return s_sTotals.dOperatingSeconds; }

// Loads the copy written last: the other one may be torn by a power cut
// during a save, which never got as far as flipping the bank flag.
void LoadNvramStatistics() {
    const uint32_t dCopy = dLastStatisticsCopy();
    s_sTotals.lReadCommands = lNvramReadLE64(dStatisticsField(NVRAM_OFFSET(abReadCommands), 8, dCopy));
    s_sTotals.lReadBlocks = lNvramReadLE64(dStatisticsField(NVRAM_OFFSET(abReadBlocks), 8, dCopy));
    s_sTotals.lWriteCommands = lNvramReadLE64(dStatisticsField(NVRAM_OFFSET(abWriteCommands), 8, dCopy));
    s_sTotals.lWriteBlocks = lNvramReadLE64(dStatisticsField(NVRAM_OFFSET(abWriteBlocks), 8, dCopy));
    s_sTotals.dOperatingSeconds = dNvramReadLE32(dStatisticsField(NVRAM_OFFSET(abOperatingSeconds), 4, dCopy));
    s_bLastSaveSecond = bNvramRead8(dStatisticsField(NVRAM_OFFSET(asStatisticsTime), 8, dCopy) + 7);
}

uint8_t SaveNvramStatistics() {
    DATE_TIME sNow;
    GetDateTime(&sNow);
    const uint8_t bStatus = bValidateDateTime(&sNow);
    if (bStatus != STATUS_OK) {
        return bStatus;
    }
    const uint32_t dCopy = dNextStatisticsCopy();
    NvramWrite(dStatisticsField(NVRAM_OFFSET(asStatisticsTime), 8, dCopy), &sNow, sizeof(sNow));
    if (sNow.bSecond != s_bLastSaveSecond) {
        s_bLastSaveSecond = sNow.bSecond;
        ++s_sTotals.dOperatingSeconds;
    }
    // Always store the counter: this copy may hold an older value.
    NvramWriteLE32(dStatisticsField(NVRAM_OFFSET(abOperatingSeconds), 4, dCopy), s_sTotals.dOperatingSeconds);
    NvramWriteLE64(dStatisticsField(NVRAM_OFFSET(abReadCommands), 8, dCopy), s_sTotals.lReadCommands);
    NvramWriteLE64(dStatisticsField(NVRAM_OFFSET(abReadBlocks), 8, dCopy), s_sTotals.lReadBlocks);
    NvramWriteLE64(dStatisticsField(NVRAM_OFFSET(abWriteCommands), 8, dCopy), s_sTotals.lWriteCommands);
    NvramWriteLE64(dStatisticsField(NVRAM_OFFSET(abWriteBlocks), 8, dCopy), s_sTotals.lWriteBlocks);
    NvramWrite8(NVRAM_OFFSET(fStatisticsBankB), dCopy == 1 ? FALSE : TRUE);
    return STATUS_OK;
}

void GetNvramStatisticsStamp(DATE_TIME* psStamp) {
    NvramRead(dStatisticsField(NVRAM_OFFSET(asStatisticsTime), 8, dLastStatisticsCopy()), psStamp, sizeof(*psStamp));
}

uint8_t fCheckNvramClockAndPattern() {
    DATE_TIME sNow;
    GetDateTime(&sNow);
    if (bValidateDateTime(&sNow) == STATUS_OK || fIsNvramTestPatternIntact() == TRUE) {
        return STATUS_OK;
    }
    return 0;
}

}  // namespace fw
