// Small services of the enclosure code and its console dumps.
#include "enclosure/enclosure_utilities.h"

#include <algorithm>

#include <cstring>

#include "enclosure/drive_management.h"
#include "enclosure/drive_table.h"
#include "enclosure/enclosure_discovery.h"
#include "enclosure/enclosure_records.h"
#include "executive/console_output.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "hw/ses.h"
#include "partner/partner_link.h"
#include "sas/sas_device_list.h"

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

uint8_t bGetSesDeviceById(uint8_t bSesId, uint8_t* pbDevice) {
    const DRIVE_INFO_LIST* ps = pGetDriveInfoList();
    if (ps == nullptr) return 0;
    const uint8_t bCount = std::min(ps->bEnclosureRecordCount, DRIVE_ENCLOSURE_RECORDS);
    for (uint8_t i = 0; i < bCount; ++i) {
        const auto* psRecord = reinterpret_cast<const SAS_STP_ENTRY*>(ps->aabEnclosureRecord[i]);
        if (psRecord->bEnclosure != bSesId) continue;
        *pbDevice = psRecord->bTargetId;
        return STATUS_OK;
    }
    // The controller enclosure's processor is kept apart from the list.
    uint8_t bBus = 0;
    const uint8_t bTarget = bSesId == 1 ? bGetEnclosure1ProcessorTarget(&bBus) : NO_SES_DEVICE;
    if (bTarget == NO_SES_DEVICE) return 0;
    *pbDevice = bTarget;
    return STATUS_OK;
}

uint8_t bGetSesDeviceForEnclosure(uint8_t bEnclosure, uint8_t* pbDevice) {
    const DRIVE_INFO_LIST* ps = pGetDriveInfoList();
    if (ps == nullptr) return 0;
    for (uint8_t i = 0; i < std::min(ps->bDriveCount, DRIVE_INFO_RECORDS); ++i) {
        // The drive side keys an enclosure's processor by the enclosure's
        // number: that is the SES id its drives carry.
        const uint8_t bNumber = ps->asDriveInfo[i].bEnclosureNo & 0x7F;
        if (bNumber == bEnclosure) return bGetSesDeviceById(bNumber, pbDevice);
    }
    return 0;
}

void SetSesLevelFromDriveTable() {
    const DRIVE_INFO_LIST* ps = pGetDriveInfoList();
    if (ps == nullptr || ps->bDriveCount == 0) {
        SetSesLevel(SES_LEVEL_UNKNOWN);
        return;
    }
    SetSesLevel(ps->asDriveInfo[0].bEnclosureNo != NO_SES_DEVICE ? SES_LEVEL_FULL : SES_LEVEL_NONE);
}

uint8_t bBuildDirectDriveEnclosures() {
    ENCLOSURE_TABLE* psTable = pGetEnclosureTable();
    const DRIVE_INFO_LIST* ps = pGetDriveInfoList();
    if (psTable == nullptr || ps == nullptr || ps->bDriveCount == 0 || psTable->fSesDataValid == TRUE) return 0;
    if (fIsMasterController() == TRUE) {
        if (bGetSesLevel() == SES_LEVEL_FULL) return 0;
    } else {
        SetSesLevelFromDriveTable();
    }
    constexpr uint8_t SLOTS = 12;
    const uint8_t bDrives = std::min(ps->bDriveCount, DRIVE_INFO_RECORDS);
    ResetEnclosureTable();
    psTable->bTotalNoOfDrives = bDrives;
    psTable->dTotalNoOfEnclosures = (bDrives + SLOTS - 1u) / SLOTS;
    for (uint32_t n = 0; n < psTable->dTotalNoOfEnclosures; ++n) {
        ENCLOSURE& s = psTable->asEnclosure[n];
        s.bNoOfDrivePath = 1;
        s.bNoOfDrives = SLOTS;
        s.bNoOfDrivesPresent = static_cast<uint8_t>(std::min<uint32_t>(SLOTS, bDrives - n * SLOTS));
        std::memset(s.abSlotToElement, 0, sizeof s.abSlotToElement);
        std::memset(s.abElementToSlot, 0, sizeof s.abElementToSlot);
        for (uint8_t k = 0; k < SLOTS; ++k) s.abSlotToElement[k] = s.abElementToSlot[k] = static_cast<uint8_t>(k + 1);
    }
    return STATUS_OK;
}

}  // namespace fw
