// Host reads of the enclosures' cached pages, and the console's direct
// status page commands.
#include "enclosure/ses_host_reads.h"

#include <algorithm>
#include <cstring>

#include "config/apply_settings.h"
#include "enclosure/drive_management.h"
#include "enclosure/drive_table.h"
#include "enclosure/enclosure_discovery.h"
#include "enclosure/enclosure_records.h"
#include "enclosure/enclosure_utilities.h"
#include "enclosure/own_enclosure.h"
#include "enclosure/ses_poll.h"
#include "executive/console_output.h"
#include "executive/kernel_entry.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "hw/scsi.h"
#include "hw/ses.h"
#include "partner/partner_link.h"
#include "target/command_access.h"
#include "target/command_replies.h"

namespace fw {

namespace {

constexpr uint8_t NO_ENCLOSURE = 0xFF;

// What both host reads ask before any page is looked at.
bool fHostReadAllowed() {
    const ENCLOSURE_TABLE* ps = pGetEnclosureTable();
    if (fGetDiskIoModuleUpdateFlag() != TRUE || ps == nullptr || ps->fSesDataValid != TRUE) return false;
    // A slave keeps no enclosure services of its own.
    if (fIsMasterController() != TRUE) SetSesLevelFromDriveTable();
    return bGetSesLevel() == SES_LEVEL_FULL;
}

// The copy a host may read of an enclosure's page, and how much of it the
// copy can hold; null for a page not kept or not read.
const uint8_t* pbCachedPage(const ENCLOSURE& s, uint8_t bPage, uint32_t* pdCopyBytes) {
    const uint8_t* pb = nullptr;
    switch (bPage) {
    case SES_PAGE_CONFIGURATION: pb = s.abConfigPage; *pdCopyBytes = sizeof s.abConfigPage; break;
    case SES_PAGE_STATUS: pb = s.abStatusPage; *pdCopyBytes = sizeof s.abStatusPage; break;
    case SES_PAGE_STRING: pb = s.abStringPage; *pdCopyBytes = sizeof s.abStringPage; break;
    case SES_PAGE_THRESHOLD: pb = s.abThresholdPage; *pdCopyBytes = sizeof s.abThresholdPage; break;
    case SES_PAGE_DESCRIPTOR: pb = s.abDescriptorPage; *pdCopyBytes = sizeof s.abDescriptorPage; break;
    default: return nullptr;
    }
    return pb[0] == bPage ? pb : nullptr;
}

// Sends the enclosure's copy of the page the CDB asks for: never more than
// the page says it holds, than its copy holds or than the host asked for.
uint8_t bSendCachedPage(KERNEL_ENTRY* psEntry, uint8_t bIndex, bool fAnyPage) {
    const uint8_t* pbCdb = pGetCommandCdb(psEntry);
    const uint8_t bPage = pbCdb[HOST_SES_READ_PAGE_BYTE];
    if (!fAnyPage && bPage != SES_PAGE_CONFIGURATION && bPage != SES_PAGE_STATUS && bPage != SES_PAGE_STRING)
        return FALSE;
    uint32_t dCopyBytes = 0;
    const uint8_t* pbPage = pbCachedPage(pGetEnclosureTable()->asEnclosure[bIndex], bPage, &dCopyBytes);
    if (pbPage == nullptr) return FALSE;
    const uint32_t dAllocation =
        static_cast<uint32_t>(pbCdb[HOST_SES_READ_LENGTH_BYTE]) << 8 | pbCdb[HOST_SES_READ_LENGTH_BYTE + 1];
    const uint32_t dLength = std::min({dSesPageBytes(pbPage), dCopyBytes, dAllocation});
    if (dLength == 0) {
        AnswerCommand(psEntry, SCSI_STATUS_GOOD, 0, 0);
        return STATUS_OK;
    }
    uint8_t* pb = pbTakeCommandPages(psEntry, 1);
    if (pb == nullptr) return STATUS_NO_PAGES;
    std::memcpy(pb, pbPage, dLength);
    return bSendCommandPages(psEntry, dLength);
}

// The table index of the enclosure a drive stands in.
uint8_t bEnclosureIndexOfDrive(uint8_t bTarget) {
    const uint8_t bPath = bTarget & HOST_SES_READ_PATH4 ? 4 : 3;
    // The drive side has no arbitrated loop: a drive's address on a path is
    // its id there.
    const uint8_t bLoopId = bTarget & static_cast<uint8_t>(~HOST_SES_READ_PATH4);
    const DRIVE_INFO_LIST* ps = pGetDriveInfoList();
    const ENCLOSURE_TABLE* psTable = pGetEnclosureTable();
    if (ps == nullptr) return NO_ENCLOSURE;
    for (uint8_t i = 0; i < std::min(ps->bDriveCount, DRIVE_INFO_RECORDS); ++i) {
        const DRIVE_INFO& d = ps->asDriveInfo[i];
        if ((bPath == 3 ? d.bLoopID1 : d.bLoopID2) != bLoopId) continue;
        const uint32_t dCount = std::min<uint32_t>(psTable->dTotalNoOfEnclosures, MAX_ENCLOSURES);
        for (uint8_t n = 0; n < dCount; ++n)
            if (bEnclosureNumberOfIndex(n) == d.bEnclosureNo) return n;
        return NO_ENCLOSURE;
    }
    return NO_ENCLOSURE;
}

// The first enclosure's SES device; FALSE when it is the own chassis,
// which speaks through its own enclosure services.
uint8_t fFirstEnclosureDevice(uint8_t* pbPath, uint8_t* pbTarget) {
    if (fIsEnvironmentMonitorEnabled() == TRUE) return FALSE;
    return fSelectSesDeviceOfEnclosure(0, pbPath, pbTarget);
}

bool fConsoleMayUseDevice() {
    const ENCLOSURE_TABLE* ps = pGetEnclosureTable();
    return ps != nullptr && ps->dTotalNoOfEnclosures != 0 && bGetSesLevel() == SES_LEVEL_FULL &&
           fIsSesDeviceBusy() != TRUE;
}

}  // namespace

uint8_t bHostReadSesPage(KERNEL_ENTRY* psEntry) {
    if (!fHostReadAllowed()) return FALSE;
    const uint8_t* pbCdb = pGetCommandCdb(psEntry);
    if (pbCdb[HOST_SES_READ_OPCODE_BYTE] != SCSI_RECEIVE_DIAGNOSTIC) return FALSE;
    // The host names the enclosure: only one the table holds is read.
    const uint8_t bIndex = pbCdb[HOST_SES_READ_TARGET_BYTE];
    if (bIndex >= std::min<uint32_t>(pGetEnclosureTable()->dTotalNoOfEnclosures, MAX_ENCLOSURES)) return FALSE;
    return bSendCachedPage(psEntry, bIndex, true);
}

uint8_t bHostReadEnclosurePage(KERNEL_ENTRY* psEntry) {
    if (!fHostReadAllowed()) return FALSE;
    const uint8_t* pbCdb = pGetCommandCdb(psEntry);
    if (pbCdb[HOST_SES_READ_OPCODE_BYTE] != SCSI_RECEIVE_DIAGNOSTIC) return FALSE;
    const uint8_t bIndex = bEnclosureIndexOfDrive(pbCdb[HOST_SES_READ_TARGET_BYTE]);
    if (bIndex == NO_ENCLOSURE) return FALSE;
    return bSendCachedPage(psEntry, bIndex, false);
}

uint8_t SendSesStatusPage() {
    if (!fConsoleMayUseDevice()) return 0;
    const ENCLOSURE& s = pGetEnclosureTable()->asEnclosure[0];
    if (s.abStatusPage[0] != SES_PAGE_STATUS) return 0;
    const uint16_t wLength = static_cast<uint16_t>(std::min<uint32_t>(dSesPageBytes(s.abStatusPage), sizeof s.abStatusPage));
    SetSesDeviceBusy(TRUE);
    // The next page the cycle reads is not taken as current.
    SetSesPageRefreshForced(TRUE);
    uint8_t bPath = 0, bTarget = 0;
    if (fFirstEnclosureDevice(&bPath, &bTarget) != TRUE) {
        (void)bAcceptOwnSesControlPage(s.abStatusPage, wLength);
        SetSesDeviceBusy(FALSE);
        return STATUS_OK;
    }
    std::memcpy(pGetSesReplyBuffer(), s.abStatusPage, wLength);
    const uint8_t b = bSendSesDiagnostic(bPath, bTarget, TRUE, wLength);
    if (b != STATUS_OK) SetSesDeviceBusy(FALSE);
    return b;
}

uint8_t ReadSesStatusPage() {
    if (!fConsoleMayUseDevice()) return 0;
    constexpr uint16_t STATUS_ALLOCATION = 768;
    SetSesDeviceBusy(TRUE);
    SetSesPageRefreshForced(TRUE);
    uint8_t bPath = 0, bTarget = 0;
    if (fFirstEnclosureDevice(&bPath, &bTarget) != TRUE) {
        uint16_t wLength = 0;
        (void)bBuildOwnSesPage(SES_PAGE_STATUS, pGetOwnPageBuffer(), &wLength);
        SetSesDeviceBusy(FALSE);
        ConsolePrintf("Recv Diagnostics command sent\n");
        return STATUS_OK;
    }
    const uint8_t b = bSendSesDiagnostic(bPath, bTarget, FALSE, STATUS_ALLOCATION);
    if (b != STATUS_OK) {
        SetSesDeviceBusy(FALSE);
        return b;
    }
    ConsolePrintf("Recv Diagnostics command sent\n");
    return STATUS_OK;
}

}  // namespace fw
