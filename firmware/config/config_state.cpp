// Controller-wide configuration variables and the record printouts.
#include "config/config_state.h"

#include <cstring>

#include "config/config_db.h"
#include "config/config_flags.h"
#include "config/nvram_layout.h"
#include "executive/console_output.h"
#include "executive/types.h"

namespace fw {

namespace {

uint8_t* s_pbWorkBuffer;
uint8_t s_fConfigModified = FALSE;
uint8_t s_fArrayDeleted = FALSE;
uint8_t s_bMenuSelectedItem;
uint8_t s_bMenuSelection;
uint8_t s_bMenuController;
uint8_t s_bMenuParameter;
uint8_t s_bMenuDrive;
uint16_t s_wMenuLogicalDrive;
uint16_t s_wMenuLdCount;
uint8_t s_bMenuSnapshotItem;
uint8_t s_abMenuArrayList[MAX_RANKS + 1];
uint8_t* s_pbDownloadImage;
uint32_t s_dDownloadImageLength;
uint8_t s_fDownloadImageReady = FALSE;
uint8_t s_bDriveDownloadByte1;
uint8_t s_bDriveDownloadByte2;

}  // namespace

void SetConfigWorkBuffer(uint8_t* pbBuffer) { s_pbWorkBuffer = pbBuffer; }
void SetConfigImageBuffers(uint8_t* pLive, uint8_t* pScratch, uint8_t* pWork) {
    SetConfigImagePointer(reinterpret_cast<CONFIG_IMAGE*>(pLive));
    SetScratchImagePointer(reinterpret_cast<CONFIG_IMAGE*>(pScratch));
    SetConfigWorkBuffer(pWork);
}
uint8_t* pGetConfigWorkBuffer() { return s_pbWorkBuffer; }
void SetConfigModified(uint8_t f) { s_fConfigModified = f; }
uint8_t fGetConfigModified() { return s_fConfigModified; }
void SetArrayDeletedFlag(uint8_t f) { s_fArrayDeleted = f; }
uint8_t fGetArrayDeletedFlag() { return s_fArrayDeleted; }
void ForgetEarlierEdit() {
    constexpr uint8_t NO_RANK = 255;
    SetConfigModified(FALSE);
    SetArrayDeletedFlag(FALSE);
    SetPendingRebuildFlag(FALSE);
    SetPendingRebuildRequest(NO_RANK);
    SetPendingParityCheckFlag(FALSE);
    SetPendingParityCheckRank(NO_RANK);
    SetPendingStripeInitFlag(FALSE);
}
void SetMenuSelectedItem(uint8_t b) { s_bMenuSelectedItem = b; }
uint8_t bGetMenuSelectedItem() { return s_bMenuSelectedItem; }
void SetMenuSelection(uint8_t b) { s_bMenuSelection = b; }
uint8_t bGetMenuSelection() { return s_bMenuSelection; }
void SetMenuController(uint8_t b) { s_bMenuController = b; }
uint8_t bGetMenuController() { return s_bMenuController; }
void SetMenuParameter(uint8_t b) { s_bMenuParameter = b; }
uint8_t bGetMenuParameter() { return s_bMenuParameter; }
void SetMenuDrive(uint8_t b) { s_bMenuDrive = b; }
uint8_t bGetMenuDrive() { return s_bMenuDrive; }
void SetMenuLogicalDrive(uint16_t w) { s_wMenuLogicalDrive = w; }
uint16_t bGetMenuLogicalDrive() { return s_wMenuLogicalDrive; }
void SetMenuLdCount(uint16_t w) { s_wMenuLdCount = w; }
uint16_t bGetMenuLdCount() { return s_wMenuLdCount; }
void SetMenuSnapshotItem(uint8_t b) { s_bMenuSnapshotItem = b; }
uint8_t bGetMenuSnapshotItem() { return s_bMenuSnapshotItem; }
uint8_t* pGetMenuArrayList() { return s_abMenuArrayList; }
void SetDownloadImageBuffer(uint8_t* pb) { s_pbDownloadImage = pb; }
uint8_t* pGetDownloadImageBuffer() { return s_pbDownloadImage; }
void SetDownloadImageLength(uint32_t d) { s_dDownloadImageLength = d; }
uint32_t dGetDownloadImageLength() { return s_dDownloadImageLength; }
void SetDownloadImageReady(uint8_t f) { s_fDownloadImageReady = f; }
uint8_t fIsDownloadImageReady() { return s_fDownloadImageReady; }
void SetDriveDownloadByte1(uint8_t b) { s_bDriveDownloadByte1 = b; }
uint8_t bGetDriveDownloadByte1() { return s_bDriveDownloadByte1; }
void SetDriveDownloadByte2(uint8_t b) { s_bDriveDownloadByte2 = b; }
uint8_t bGetDriveDownloadByte2() { return s_bDriveDownloadByte2; }

namespace {

constexpr uint32_t JOURNAL_ENTRY_SIZE = 24;
constexpr char JOURNAL_FORMAT_MARK[4] = {'0', '0', '0', '1'};

const uint8_t* pNvram(uint32_t dOffset) { return pNvramBase() + dOffset; }

}  // namespace

const uint8_t* pGetEventLogArea() { return pNvram(NVRAM_OFFSET(abEventLog)); }
const uint8_t* pGetNvramRegion200() { return pNvram(NVRAM_OFFSET(abTargetRegion)); }
const uint8_t* pGetNvramJournalEntry(uint16_t wIndex, uint8_t fOwn) {
    const uint32_t dBase = fOwn == TRUE ? NVRAM_OFFSET(abJournal) : NVRAM_OFFSET(abPartnerJournal);
    return pNvram(dBase + JOURNAL_ENTRY_SIZE * wIndex);
}
uint8_t fIsJournalFormatted() {
    return ToFlag(std::memcmp(pNvram(NVRAM_OFFSET(acJournalFormatMark)), JOURNAL_FORMAT_MARK, 4) == 0);
}
void MarkJournalFormatted() { NvramWrite(NVRAM_OFFSET(acJournalFormatMark), JOURNAL_FORMAT_MARK, 4); }
const uint8_t* pGetNvramRebuildRecordA() { return pNvram(NVRAM_OFFSET(abRebuildRecord)); }
const uint8_t* pGetNvramRebuildRecordB() { return pNvram(NVRAM_OFFSET(abRebuildRecord) + 64); }
const uint8_t* pGetNvramRebuildRecord() {
    return bGetNvramRebuildSelector() == TRUE ? pGetNvramRebuildRecordA() : pGetNvramRebuildRecordB();
}
uint8_t bGetNvramRebuildSelector() { return bNvramRead8(NVRAM_OFFSET(bRebuildSelector)); }
void SetNvramRebuildSelector(uint8_t b) { NvramWrite8(NVRAM_OFFSET(bRebuildSelector), b); }
uint8_t bGetNvramRebuildPendingFlag() { return bNvramRead8(NVRAM_OFFSET(fRebuildPending)); }
void SetNvramRebuildPendingFlag(uint8_t f) { NvramWrite8(NVRAM_OFFSET(fRebuildPending), f); }
uint8_t bGetNvramExpansionFlag() { return bNvramRead8(NVRAM_OFFSET(fExpansionFlag)); }
void SetNvramExpansionFlag(uint8_t f) { NvramWrite8(NVRAM_OFFSET(fExpansionFlag), f); }
uint8_t bGetNvramExpansionSelector() { return bNvramRead8(NVRAM_OFFSET(bExpansionSelector)); }
void SetNvramExpansionSelector(uint8_t b) { NvramWrite8(NVRAM_OFFSET(bExpansionSelector), b); }
const uint8_t* pGetNvramExpansionRecordA() { return pNvram(NVRAM_OFFSET(abExpansionRecord)); }
const uint8_t* pGetNvramExpansionRecordB() { return pNvram(NVRAM_OFFSET(abExpansionRecord) + 12); }
const uint8_t* pGetNvramExpansionRecord() {
    return bGetNvramExpansionSelector() == TRUE ? pGetNvramExpansionRecordA() : pGetNvramExpansionRecordB();
}
void SetNvramJournalWord(uint32_t d) { NvramWriteLE32(NVRAM_OFFSET(abJournalWord), d); }
uint32_t dGetNvramJournalWord() { return dNvramReadLE32(NVRAM_OFFSET(abJournalWord)); }
void SetNvramSasByte1(uint8_t b) { NvramWrite8(NVRAM_OFFSET(abSasSettings), b); }
uint8_t bGetNvramSasByte1() { return bNvramRead8(NVRAM_OFFSET(abSasSettings)); }
void SetNvramSasByte2(uint8_t b) { NvramWrite8(NVRAM_OFFSET(abSasSettings) + 1, b); }
uint8_t bGetNvramSasByte2() { return bNvramRead8(NVRAM_OFFSET(abSasSettings) + 1); }

void PrintRankRecord(const CONFIG_IMAGE* psImage, uint8_t bRank, uint8_t fMembers) {
    if (bRank >= MAX_RANKS) return;
    const CONFIG_RANK_RECORD& sRank = psImage->asRank[bRank];
    ConsolePrintf("Rank:%02x RAID%02x Drives:%02x ", sRank.bRankNumber, sRank.bRaidLevel, sRank.bDriveCount);
    if (sRank.bRaidLevel != RAID_LEVEL_0 && sRank.bRaidLevel != RAID_LEVEL_10) ConsolePrintf("Subranks:%01x", sRank.bParityCount);
    ConsolePrintf("\nChunk Size:%04x Stripe Size:%08x\n", sRank.wChunkSize, sRank.dStripeSize);
    ConsolePrintf("Start Addr: %02x%08x Cap: %02x%08x\n", static_cast<uint32_t>(sRank.lStartAddress >> 32),
                  static_cast<uint32_t>(sRank.lStartAddress), static_cast<uint32_t>(sRank.lLastOffset >> 32),
                  static_cast<uint32_t>(sRank.lLastOffset));
    if (fMembers != TRUE) return;
    const uint32_t dMembers = dClampedDriveCount(&sRank);
    for (uint32_t m = 0; m < dMembers; m++) {
        ConsolePrintf("Drive: %02d WWN: ", m);
        for (uint8_t b : sRank.aabMemberWwn[m]) ConsolePrintf("%02x", b);
        ConsolePrintf("\n");
    }
}

void PrintLdRecord(const CONFIG_IMAGE* psImage, uint16_t wLd) {
    if (wLd >= MAX_LDS) return;
    const CONFIG_LD_RECORD& sLd = psImage->asLd[wLd];
    const LD_SEGMENT& sSegment = sLd.asSegment[0];
    ConsolePrintf("LUN:%02x Start: %02x%08x End: %02x%08x Cap:%08x\n\n", sLd.wLdNumber,
                  static_cast<uint32_t>(sSegment.lStart >> 32), static_cast<uint32_t>(sSegment.lStart),
                  static_cast<uint32_t>(sSegment.lEnd >> 32), static_cast<uint32_t>(sSegment.lEnd),
                  static_cast<uint32_t>(sSegment.lLastOffset));
}

}  // namespace fw
