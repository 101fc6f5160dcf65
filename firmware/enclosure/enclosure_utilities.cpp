// Small services of the enclosure code and its console dumps.
#include "enclosure/enclosure_utilities.h"

#include <algorithm>

#include "enclosure/drive_management.h"
#include "enclosure/enclosure_records.h"
#include "executive/console_output.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "hw/ses.h"

namespace fw {

namespace {

// A few quick retries, then a long wait between them.
constexpr uint8_t QUICK_ATTEMPTS = 4;
constexpr uint32_t QUICK_RETRY_TICKS = 60;
constexpr uint32_t SLOW_RETRY_TICKS = 600;
constexpr uint8_t SAS_ADDRESS_PORT_BYTE = 6;
constexpr uint8_t SAS_ADDRESS_PORT_BIT = 0x02;

uint32_t s_dRetryAt = 0;
uint32_t s_dSeriesStart = 0;
uint16_t s_wSeries = 0;
uint8_t s_bAttempts = 0;

}  // namespace

void SesRetryBackoff(uint8_t fReset) {
    const uint32_t dNow = dGetCoarseTick();
    if (fReset == TRUE) {
        s_dSeriesStart = dNow;
        ++s_wSeries;
        s_bAttempts = 0;
        return;
    }
    if (s_bAttempts < 0xFF) ++s_bAttempts;
    s_dRetryAt = dNow + (s_bAttempts <= QUICK_ATTEMPTS ? QUICK_RETRY_TICKS : SLOW_RETRY_TICKS);
}

uint8_t fIsSesRetryDue() { return ToFlag(static_cast<int32_t>(dGetCoarseTick() - s_dRetryAt) > 0); }

void ResetSesRetryBackoff() { SesRetryBackoff(TRUE); }

uint8_t bGetSesRetryAttempts() { return s_bAttempts; }
uint32_t dGetSesRetryTime() { return s_dRetryAt; }

uint8_t fIsSameSasAddress(const uint8_t* pbA, const uint8_t* pbB) {
    for (uint8_t i = 0; i < 8; ++i) {
        const uint8_t bMask = i == SAS_ADDRESS_PORT_BYTE ? SAS_ADDRESS_PORT_BIT : 0;
        if ((pbA[i] | bMask) != (pbB[i] | bMask)) return FALSE;
    }
    return TRUE;
}

void HexDumpBytes(const uint8_t* pb, uint32_t dLength) {
    for (uint32_t dLine = 0; dLine < dLength; dLine += 16) {
        const uint32_t dEnd = std::min(dLength, dLine + 16);
        ConsolePrintf("%04d  ", static_cast<int>(dLine));
        for (uint32_t i = dLine; i < dEnd; ++i) {
            ConsolePrintf("%02x ", pb[i]);
            if (i - dLine == 3 || i - dLine == 7 || i - dLine == 11) ConsolePrintf("- ");
        }
        ConsolePrintf("{");
        for (uint32_t i = dLine; i < dEnd; ++i) ConsolePrintf("%c", pb[i] >= 0x20 && pb[i] <= 0x7E ? pb[i] : '.');
        ConsolePrintf("}\n");
    }
}

// The console turns the line ends of a format, not of its arguments: each
// title is a format of its own.
void ShowSesPages() {
    for (uint8_t bPage : {HOST_PAGE_CONFIGURATION, HOST_PAGE_ENCLOSURE_STATUS, HOST_PAGE_STATISTICS,
                          HOST_PAGE_SLOT_STATUS}) {
        uint32_t dShown = 0;
        switch (bPage) {
        case HOST_PAGE_CONFIGURATION: ConsolePrintf("\nConfiguration PAGE\n"); dShown = 64; break;
        case HOST_PAGE_ENCLOSURE_STATUS: ConsolePrintf("\nEnclosure Status PAGE\n"); dShown = 24; break;
        case HOST_PAGE_STATISTICS: ConsolePrintf("\nStatistics PAGE\n"); dShown = 16; break;
        default: ConsolePrintf("\nSlotStatus PAGE\n"); dShown = 49; break;
        }
        uint16_t wLength = 0;
        uint8_t* pb = nullptr;
        if (bGetSesPageBuffer(bPage, &wLength, &pb) != STATUS_OK || pb == nullptr) continue;
        // Never past what the summary holds.
        HexDumpBytes(pb, std::min<uint32_t>(dShown, wLength));
    }
}

void ShowSupportedDiagnosticPages() {
    const ENCLOSURE_TABLE* ps = pGetEnclosureTable();
    if (ps == nullptr) return;
    const uint32_t dCount = std::min<uint32_t>(ps->dTotalNoOfEnclosures, MAX_ENCLOSURES);
    for (uint32_t e = 0; e < dCount; ++e) {
        const uint8_t* pb = ps->asEnclosure[e].abSupportedPages;
        ConsolePrintf("Enclosure %d ", static_cast<int>(e + 1));
        ConsolePrintf("\nCurrent Supported Diagnostics\n");
        // A list never read shows none; a list longer than its copy shows
        // what the copy holds.
        const uint8_t bListed = pb[0] == 0 ? std::min<uint8_t>(pb[3], ENCLOSURE_SUPPORTED_COPY_BYTES - 4) : 0;
        for (uint8_t i = 0; i < bListed; ++i) ConsolePrintf("%02x ", pb[4 + i]);
        ConsolePrintf("\n");
        const auto Listed = [&](uint8_t bPage) { return std::find(pb + 4, pb + 4 + bListed, bPage) != pb + 4 + bListed; };
        if (Listed(SES_PAGE_CONFIGURATION)) ConsolePrintf("\nConfiguration Page\n");
        if (Listed(SES_PAGE_STATUS)) ConsolePrintf("\nStatus Page\n");
        if (Listed(SES_PAGE_THRESHOLD)) ConsolePrintf("\nThreshold In Page\n");
        if (Listed(SES_PAGE_DESCRIPTOR)) ConsolePrintf("\nElement Descriptor Page\n");
    }
}

}  // namespace fw
