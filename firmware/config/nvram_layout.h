// The map of the battery-backed NVRAM window, its header, validation and
// formatting.
//
// The window is read through its base pointer and every store goes through
// HwNvramWrite*, so that a power cut between two stores leaves exactly the
// bytes written so far.  Multi-byte numbers are kept in the byte order each
// field names (LE or BE), never in the processor's.
#pragma once

#include <cstddef>
#include <cstdint>

#include "eventlog/event_log.h"
#include "executive/date_time.h"
#include "executive/nvram_access.h"

namespace fw {

constexpr uint32_t NVRAM_SIZE = 0x80000;
constexpr uint32_t NVRAM_CLEAR_SIZE = 0x7FFF8;  // the last 8 bytes survive a format
constexpr uint32_t NVRAM_EVENT_LOG_SIZE = sizeof(EVENT_LOG_HEADER) + sizeof(EVENT_LOG_ENTRY) * EVENT_LOG_ENTRIES;
static_assert(NVRAM_EVENT_LOG_SIZE == 98320);
constexpr uint32_t NVRAM_JOURNAL_SIZE = 98304;
constexpr uint32_t NVRAM_DRIVE_SLOTS = 126;
constexpr uint32_t NVRAM_STRIPE_INIT_ARRAYS = 64;
constexpr uint32_t NVRAM_STRIPE_INIT_BITMAP_ARRAYS = 8;
constexpr uint32_t NVRAM_STRIPE_INIT_BITMAP_SIZE = 8192;
constexpr uint32_t NVRAM_DOORBELL_WORDS = 64;
constexpr uint32_t NVRAM_BITMAP_BYTES = 64;
constexpr uint32_t NVRAM_DUP_ENTRIES = 4;
constexpr uint32_t NVRAM_DUP_ENTRY_SIZE = 38;
constexpr uint32_t NVRAM_EXPANDERS = 2;
constexpr uint32_t NVRAM_EXPANDER_PHYS = 12;

// Result of ValidateNvram for a WWN the model may not repair.
constexpr uint8_t NVRAM_WWN_INVALID = 0xEE;

#pragma pack(push, 1)
// The whole 512 KB window.  Only the layout is used (offsetof); nothing of
// this type is ever instantiated.
struct NVRAM_HEADER {
    char acNvramVersion[4];
    char acNvramMagic[4];
    char acJournalFormatMark[4];
    uint8_t abControllerWwn[8];
    uint8_t abConsoleBaudRate[4];           // LE
    DATE_TIME sLastStartTime;
    uint8_t abStartCount[2];                // LE
    DATE_TIME asStatisticsTime[2];          // copies A, B
    uint8_t abOperatingSeconds[2][4];       // LE
    uint8_t abReadCommands[2][8];           // LE
    uint8_t abReadBlocks[2][8];
    uint8_t abWriteCommands[2][8];
    uint8_t abWriteBlocks[2][8];
    uint8_t fStatisticsBankB;
    char acVendorId[8];
    char acProductId[16];
    char acShortName[16];
    uint8_t abJournalGeneration[4];         // LE
    uint8_t bNvramOptions;
    char acVendorText[48];
    uint8_t bIdentityByte;
    uint8_t abAlternateWwn[8];
    uint8_t abNvramPortAddress[2];
    uint8_t abSasSettings[2];
    uint8_t fOutlivedPartner;               // TRUE: this board's journals are newer than its partner's
    // The slot sequence of the newest controller image this board has seen
    // in the flash; 0 (as an older layout left the bytes) none recorded.
    uint8_t abFlashSequence[4];             // LE
    // The parity check running here: TRUE, array, mode, error count (LE);
    // the next start of day reports a check a power cut or restart ended.
    uint8_t abParityCheckRecord[7];
    uint8_t abReserved0F1[0x100 - 0xF1];
    uint8_t abExpanderPhy[NVRAM_EXPANDERS * NVRAM_EXPANDER_PHYS][4];  // LE
    uint8_t abReserved160[0x200 - 0x160];
    uint8_t abTargetRegion[256];
    uint8_t bRebuildSelector;
    uint8_t fRebuildPending;
    uint8_t abRebuildRecord[2][64];
    uint8_t bExpansionSelector;
    uint8_t fExpansionFlag;
    uint8_t abReserved384[6];
    uint8_t abExpansionRecord[2][12];
    uint8_t abJournalWord[4];
    uint8_t abReserved3A6[0x3FC - 0x3A6];
    uint8_t abLdIdentifierCounter[4];       // LE
    uint8_t abEventLog[NVRAM_EVENT_LOG_SIZE];
    uint8_t abJournal[NVRAM_JOURNAL_SIZE];
    uint8_t abPartnerJournal[NVRAM_JOURNAL_SIZE];
    uint8_t abDriveSlotWords[NVRAM_DRIVE_SLOTS][4];  // LE
    uint8_t abReserved48608[0x48648 - 0x48608];
    uint8_t abStripeInitSelectors[NVRAM_STRIPE_INIT_ARRAYS];
    uint8_t abStripeInitBytes[NVRAM_STRIPE_INIT_ARRAYS];
    uint8_t abStripeInitRecordA[NVRAM_STRIPE_INIT_ARRAYS][8];
    uint8_t abStripeInitRecordB[NVRAM_STRIPE_INIT_ARRAYS][8];
    uint8_t abStripeInitBitmaps[NVRAM_STRIPE_INIT_BITMAP_ARRAYS][NVRAM_STRIPE_INIT_BITMAP_SIZE];
    uint8_t abDoorbellErrorInfo[NVRAM_DOORBELL_WORDS][4];  // LE
    uint8_t abReserved58BC8[2];
    uint8_t bSnapshotMetaByte;
    uint8_t abReserved58BCB[1];
    uint8_t abSnapshotLocationA[6];         // u32 BE, u16 BE
    uint8_t abSnapshotLocationB[6];
    uint8_t abSnapshotBitmap[2][NVRAM_BITMAP_BYTES];
    uint8_t fDupEntriesPresent;
    uint8_t bDupState;
    uint8_t abDupEntries[NVRAM_DUP_ENTRIES][NVRAM_DUP_ENTRY_SIZE];
    uint8_t abReserved58CF2[0x7FF00 - 0x58CF2];
    uint8_t abTestPattern[32];
    uint8_t abReserved7FF20[0x7FFF8 - 0x7FF20];
    uint8_t abUntouched[8];
};
#pragma pack(pop)

static_assert(sizeof(NVRAM_HEADER) == NVRAM_SIZE);
static_assert(offsetof(NVRAM_HEADER, abControllerWwn) == 0x0C);
static_assert(offsetof(NVRAM_HEADER, abConsoleBaudRate) == 0x14);
static_assert(offsetof(NVRAM_HEADER, sLastStartTime) == 0x18);
static_assert(offsetof(NVRAM_HEADER, abStartCount) == 0x20);
static_assert(offsetof(NVRAM_HEADER, asStatisticsTime) == 0x22);
static_assert(offsetof(NVRAM_HEADER, abOperatingSeconds) == 0x32);
static_assert(offsetof(NVRAM_HEADER, abReadCommands) == 0x3A);
static_assert(offsetof(NVRAM_HEADER, abReadBlocks) == 0x4A);
static_assert(offsetof(NVRAM_HEADER, abWriteCommands) == 0x5A);
static_assert(offsetof(NVRAM_HEADER, abWriteBlocks) == 0x6A);
static_assert(offsetof(NVRAM_HEADER, fStatisticsBankB) == 0x7A);
static_assert(offsetof(NVRAM_HEADER, acVendorId) == 0x7B);
static_assert(offsetof(NVRAM_HEADER, acProductId) == 0x83);
static_assert(offsetof(NVRAM_HEADER, acShortName) == 0x93);
static_assert(offsetof(NVRAM_HEADER, abJournalGeneration) == 0xA3);
static_assert(offsetof(NVRAM_HEADER, bNvramOptions) == 0xA7);
static_assert(offsetof(NVRAM_HEADER, acVendorText) == 0xA8);
static_assert(offsetof(NVRAM_HEADER, bIdentityByte) == 0xD8);
static_assert(offsetof(NVRAM_HEADER, abAlternateWwn) == 0xD9);
static_assert(offsetof(NVRAM_HEADER, abNvramPortAddress) == 0xE1);
static_assert(offsetof(NVRAM_HEADER, abSasSettings) == 0xE3);
static_assert(offsetof(NVRAM_HEADER, fOutlivedPartner) == 0xE5);
static_assert(offsetof(NVRAM_HEADER, abFlashSequence) == 0xE6);
static_assert(offsetof(NVRAM_HEADER, abParityCheckRecord) == 0xEA);
static_assert(offsetof(NVRAM_HEADER, abExpanderPhy) == 0x100);
static_assert(offsetof(NVRAM_HEADER, abTargetRegion) == 0x200);
static_assert(offsetof(NVRAM_HEADER, bRebuildSelector) == 0x300);
static_assert(offsetof(NVRAM_HEADER, abRebuildRecord) == 0x302);
static_assert(offsetof(NVRAM_HEADER, bExpansionSelector) == 0x382);
static_assert(offsetof(NVRAM_HEADER, fExpansionFlag) == 0x383);
static_assert(offsetof(NVRAM_HEADER, abExpansionRecord) == 0x38A);
static_assert(offsetof(NVRAM_HEADER, abJournalWord) == 0x3A2);
static_assert(offsetof(NVRAM_HEADER, abLdIdentifierCounter) == 0x3FC);
static_assert(offsetof(NVRAM_HEADER, abEventLog) == EVENT_LOG_NVRAM_OFFSET);
static_assert(offsetof(NVRAM_HEADER, abJournal) == 0x18410);
static_assert(offsetof(NVRAM_HEADER, abPartnerJournal) == 0x30410);
static_assert(offsetof(NVRAM_HEADER, abDriveSlotWords) == 0x48410);
static_assert(offsetof(NVRAM_HEADER, abStripeInitSelectors) == 0x48648);
static_assert(offsetof(NVRAM_HEADER, abStripeInitBytes) == 0x48688);
static_assert(offsetof(NVRAM_HEADER, abStripeInitRecordA) == 0x486C8);
static_assert(offsetof(NVRAM_HEADER, abStripeInitRecordB) == 0x488C8);
static_assert(offsetof(NVRAM_HEADER, abStripeInitBitmaps) == 0x48AC8);
static_assert(offsetof(NVRAM_HEADER, abDoorbellErrorInfo) == 0x58AC8);
static_assert(offsetof(NVRAM_HEADER, bSnapshotMetaByte) == 0x58BCA);
static_assert(offsetof(NVRAM_HEADER, abSnapshotLocationA) == 0x58BCC);
static_assert(offsetof(NVRAM_HEADER, abSnapshotLocationB) == 0x58BD2);
static_assert(offsetof(NVRAM_HEADER, abSnapshotBitmap) == 0x58BD8);
static_assert(offsetof(NVRAM_HEADER, fDupEntriesPresent) == 0x58C58);
static_assert(offsetof(NVRAM_HEADER, bDupState) == 0x58C59);
static_assert(offsetof(NVRAM_HEADER, abDupEntries) == 0x58C5A);
static_assert(offsetof(NVRAM_HEADER, abTestPattern) == 0x7FF00);
static_assert(offsetof(NVRAM_HEADER, abUntouched) == 0x7FFF8);

#define NVRAM_OFFSET(field) static_cast<uint32_t>(offsetof(::fw::NVRAM_HEADER, field))

// The WWN test: byte 0 0x20, byte 1 0x00, bytes 2..4 one of the two company
// identifiers this controller accepts.
uint8_t fIsValidNvramWwn(const uint8_t* pbWwn);

uint8_t ValidateNvram();
void ClearNvram();
void GetNvramControllerWwn(uint8_t* pbWwn);
uint32_t dGetNvramBootWord();
void SetNvramBootWord(uint32_t dValue);
uint8_t bGetNvramOptions();   // byte +0xA7

}  // namespace fw
