// The NVRAM window: the WWN test, start-of-day validation, formatting and
// version migration.
#include "config/nvram_layout.h"

#include <cstring>

#include "config/nvram_records.h"
#include "config/nvram_tables.h"
#include "eventlog/statistics.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "hw/hw.h"

namespace fw {

namespace {

constexpr char NVRAM_VERSION[4] = {'0', '0', '0', '5'};
constexpr char NVRAM_MAGIC[4] = {'B', 'X', 'Q', '1'};

// The two company identifiers a controller WWN may carry.  Factory WWNs use
// the first; a repaired or freshly formatted WWN gets the second.
constexpr uint8_t WWN_OUI[2][3] = {{0x00, 0x5A, 0xA5}, {0x00, 0xA5, 0x5A}};

// Bytes of the subsystem-4 region and the rebuild pending flag that a format
// leaves FALSE.
constexpr uint16_t FORMAT_FALSE_BYTES[] = {0x200, 0x205, 0x212, 0x223, 0x23C, 0x255, 0x262,
                                           0x277, 0x284, 0x29D, 0x2A6, 0x2B3, 0x301};

bool fNvramHolds(uint32_t dOffset, const char* pcText, uint32_t dLength) {
    return std::memcmp(pNvramBase() + dOffset, pcText, dLength) == 0;
}

// WWN bytes 0..4: the prefix with the second company identifier.
void WriteWwnPrefix() {
    const uint8_t abPrefix[5] = {0x20, 0x00, WWN_OUI[1][0], WWN_OUI[1][1], WWN_OUI[1][2]};
    NvramWrite(NVRAM_OFFSET(abControllerWwn), abPrefix, sizeof(abPrefix));
}

bool fIsModelRepairingWwn() {
    return fIsModelZ7Q2() == TRUE || fIsModelZ7Q3() == TRUE || fIsModelZ7Q4() == TRUE ||
           fIsExpansionModelZ7Q2() == TRUE || fIsZ8Q2Controller() == TRUE;
}

void FormatNvram() {
    uint8_t abWwnTail[3];
    uint8_t abBootWord[4];
    NvramRead(NVRAM_OFFSET(abControllerWwn) + 5, abWwnTail, sizeof(abWwnTail));
    NvramRead(NVRAM_OFFSET(abConsoleBaudRate), abBootWord, sizeof(abBootWord));

    ClearNvram();
    NvramWrite(NVRAM_OFFSET(acNvramVersion), NVRAM_VERSION, sizeof(NVRAM_VERSION));
    NvramWrite(NVRAM_OFFSET(acNvramMagic), NVRAM_MAGIC, sizeof(NVRAM_MAGIC));
    WriteWwnPrefix();
    NvramWrite(NVRAM_OFFSET(abControllerWwn) + 5, abWwnTail, sizeof(abWwnTail));
    WriteNvramIdentityDefaults();
    NvramWrite8(NVRAM_OFFSET(fExpansionFlag), FALSE);
    NvramWrite8(NVRAM_OFFSET(bExpansionSelector), TRUE);
    NvramWrite(NVRAM_OFFSET(abConsoleBaudRate), abBootWord, sizeof(abBootWord));
    for (uint16_t wOffset : FORMAT_FALSE_BYTES) {
        NvramWrite8(wOffset, FALSE);
    }
    NvramWrite8(NVRAM_OFFSET(fStatisticsBankB), TRUE);
    NvramWrite8(NVRAM_OFFSET(bRebuildSelector), TRUE);
}

void MigrateNvramVersion() {
    const uint8_t* pbVersion = pNvramBase() + NVRAM_OFFSET(acNvramVersion);
    if (std::memcmp(pbVersion, NVRAM_VERSION, sizeof(NVRAM_VERSION)) == 0) {
        return;
    }
    if (std::memcmp(pbVersion, "000", 3) == 0 && pbVersion[3] >= '1' && pbVersion[3] <= '3') {
        WriteNvramIdentityDefaults();
    }
    NvramWrite(NVRAM_OFFSET(acNvramVersion), NVRAM_VERSION, sizeof(NVRAM_VERSION));
}

// A controller sold as one model may hold the other model's names from the
// factory; swap them so INQUIRY reports the model it is.
void FixModelNames() {
    const char* pcOwn;
    const char* pcOther;
    if (fIsModelZ7Q3() == TRUE) {
        pcOwn = "RZ7Q3T";
        pcOther = "RZ7Q4T";
    } else if (fIsModelZ7Q4() == TRUE) {
        pcOwn = "RZ7Q4T";
        pcOther = "RZ7Q3T";
    } else {
        return;
    }
    char acOther[16];
    char acOwn[16];
    std::memset(acOther, ' ', sizeof(acOther));
    std::memset(acOwn, ' ', sizeof(acOwn));
    std::memcpy(acOther, pcOther, 6);
    std::memcpy(acOwn, pcOwn, 6);
    if (fNvramHolds(NVRAM_OFFSET(acProductId), acOther, sizeof(acOther))) {
        NvramWrite(NVRAM_OFFSET(acProductId), acOwn, sizeof(acOwn));
    }
    if (fNvramHolds(NVRAM_OFFSET(acShortName), pcOther, 7)) {
        NvramWrite(NVRAM_OFFSET(acShortName), pcOwn, 7);
    }
}

}  // namespace

uint8_t fIsValidNvramWwn(const uint8_t* pbWwn) {
    if (pbWwn[0] != 0x20 || pbWwn[1] != 0x00) {
        return FALSE;
    }
    for (const auto& abOui : WWN_OUI) {
        if (std::memcmp(pbWwn + 2, abOui, sizeof(abOui)) == 0) {
            return TRUE;
        }
    }
    return FALSE;
}

void ClearNvram() { NvramFill(0, 0, NVRAM_CLEAR_SIZE); }

uint8_t ValidateNvram() {
    if (fIsValidNvramWwn(pNvramBase() + NVRAM_OFFSET(abControllerWwn)) != TRUE) {
        if (!fIsModelRepairingWwn()) {
            return NVRAM_WWN_INVALID;
        }
        WriteWwnPrefix();
    }

    uint8_t fResult = TRUE;
    if (!fNvramHolds(NVRAM_OFFSET(acNvramMagic), NVRAM_MAGIC, sizeof(NVRAM_MAGIC))) {
        FormatNvram();
        fResult = FALSE;
    }

    MigrateNvramVersion();

    const uint8_t bExpansion = bNvramRead8(NVRAM_OFFSET(fExpansionFlag));
    if (bExpansion != TRUE && bExpansion != FALSE) {
        NvramWrite8(NVRAM_OFFSET(fExpansionFlag), FALSE);
        NvramWrite8(NVRAM_OFFSET(bExpansionSelector), TRUE);
    }

    if (fIsValidNvramWwn(pNvramBase() + NVRAM_OFFSET(abAlternateWwn)) != TRUE) {
        NvramWrite(NVRAM_OFFSET(abAlternateWwn), pNvramBase() + NVRAM_OFFSET(abControllerWwn), 8);
    }

    const uint8_t abPortDefault[2] = {0x84, 0x85};
    for (uint32_t i = 0; i < 2; ++i) {
        const uint32_t dOffset = NVRAM_OFFSET(abNvramPortAddress) + i;
        if ((bNvramRead8(dOffset) & 0x80) == 0) {
            NvramWrite8(dOffset, abPortDefault[i]);
        }
    }

    // The statistics start afresh here too, just before the lifetime totals
    // come back from NVRAM.
    InitStatistics();
    LoadNvramStatistics();
    FixModelNames();
    WriteNvramTestPattern();
    return fResult;
}

void GetNvramControllerWwn(uint8_t* pbWwn) { NvramRead(NVRAM_OFFSET(abControllerWwn), pbWwn, 8); }

uint32_t dGetNvramBootWord() { return dNvramReadLE32(NVRAM_OFFSET(abConsoleBaudRate)); }

void SetNvramBootWord(uint32_t dValue) { NvramWriteLE32(NVRAM_OFFSET(abConsoleBaudRate), dValue); }

uint8_t bGetNvramOptions() { return bNvramRead8(NVRAM_OFFSET(bNvramOptions)); }

}  // namespace fw
