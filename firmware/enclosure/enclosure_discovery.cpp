// Enclosure discovery: each SES device is asked for its configuration and
// status pages; every new enclosure identifier becomes a record of the
// enclosure table, and the level of enclosure services follows from what
// answered.
#include "enclosure/enclosure_discovery.h"

#include <algorithm>
#include <cstring>

#include "config/config_db.h"
#include "config/config_phase.h"
#include "enclosure/drive_management.h"
#include "enclosure/drive_table.h"
#include "enclosure/enclosure_records.h"
#include "enclosure/enclosure_table.h"
#include "enclosure/own_enclosure.h"
#include "enclosure/ses_poll.h"
#include "eventlog/event_log.h"
#include "executive/buffer_pages.h"
#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "executive/port_codes.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "hw/addresses.h"
#include "hw/hw.h"
#include "hw/scsi.h"
#include "hw/ses.h"
#include "sas/sas_device_list.h"
#include "sas/sas_discovery.h"
#include "sas/sas_drive.h"

namespace fw {

namespace {

constexpr uint8_t EVENT_SES_LEVEL_1 = 89;
constexpr uint8_t EVENT_SES_LEVEL_3 = 91;
constexpr uint8_t STEP_READ_CONFIGURATION = 1;
constexpr uint8_t STEP_SEND_STATUS = 2;
constexpr uint8_t STEP_READ_STATUS = 3;
constexpr uint8_t STEP_STATUS_FAILED = 4;
constexpr uint8_t MAX_TRIES = 3;
constexpr uint32_t RETRY_BUDGET = 3;
constexpr uint16_t SES_TIMEOUT_S = 90;
constexpr uint16_t CONFIGURATION_ALLOCATION = 768;
constexpr uint16_t STATUS_ALLOCATION = 512;
constexpr uint8_t MODE_NO_SES = 1;
constexpr uint8_t MODE_SES = 3;
constexpr uint8_t NO_ID = 0xFF;
constexpr uint8_t DEVICE_CODE_LOOP1 = 3;
constexpr uint8_t SLOT_OUTSIDE = 0;
constexpr uint8_t SLOT_NOT_SEEN = 244;
constexpr uint8_t SLOT_CLAIMED = 240;
constexpr uint8_t TASK_COUNTDOWN_AFTER_DISCOVERY = 6;
// Data direction of an enclosure services command.
constexpr uint16_t SES_COMMAND_DATA_IN = 0x24;
constexpr uint16_t SES_COMMAND_DATA_OUT = 0x44;

uint8_t s_bSesLevel = SES_LEVEL_UNKNOWN;
uint8_t s_bEnclosureNumber = 0;
uint8_t s_bCurrentDriveInService = 0;
uint8_t s_bAlpa = 0;
uint8_t s_bDevice = 0;
uint8_t s_bMode = MODE_NO_SES;
uint8_t s_bLastReport = SES_LEVEL_UNKNOWN;
uint8_t s_bRetries = 0;
uint8_t s_bSavedStep = 0;
uint32_t s_dRetryBudget = RETRY_BUDGET;
uint64_t s_lSeenSlots = 0;
uint64_t s_lClaimedSlots = 0;
uint8_t s_bLowestSlot = 0;
uint8_t s_bHighestSlot = 0;
uint8_t s_bExpectedEnclosures = 0;
uint8_t s_fSesDeviceBusy = FALSE;
uint16_t s_wAllocation = 0;
uint32_t s_dRejectedPages = 0;
uint32_t s_dIdentifierDrops = 0;
uint8_t* s_pbReply = nullptr;
uint8_t s_fPageCommandFailed = FALSE;

const DRIVE_INFO_LIST* psSorted() { return pGetDriveInfoListSorted(); }

uint8_t bEnclosureRecords(const DRIVE_INFO_LIST* ps) {
    return std::min(ps->bEnclosureRecordCount, DRIVE_ENCLOSURE_RECORDS);
}

const SAS_STP_ENTRY* psRecord(const DRIVE_INFO_LIST* ps, uint8_t i) {
    return reinterpret_cast<const SAS_STP_ENTRY*>(ps->aabEnclosureRecord[i]);
}

void NextStep(uint8_t bStep) {
    SetConfigPhaseStep(bStep);
    RequestStartOfDayService();
}

// Every command of discovery ends here: a failed one leaves the pending
// flag, which the step reading the reply sees.
void SesCommandDone(KERNEL_ENTRY* psEntry) {
    if (fRetryPhaseDriveCommand(psEntry, SesCommandDone) == TRUE) return;
    if (fPhaseDriveCommandGood(psEntry) != TRUE) SetDriveCommandPendingFlag(TRUE);
    EndPhaseDriveCommand(psEntry);
}

// The page cycle runs outside the phase machine: its commands keep their
// own result and leave the phases' flags alone.
void PageCommandDone(KERNEL_ENTRY* psEntry) {
    if (fRetryPhaseDriveCommand(psEntry, PageCommandDone) == TRUE) return;
    s_fPageCommandFailed = ToFlag(fPhaseDriveCommandGood(psEntry) != TRUE);
    FreeKernelEntries(psEntry);
    SesCommandEnded();
}

// A console diagnostic command ends on its own: the device is free again
// and the page cycle is not woken for it.
void DiagnosticCommandDone(KERNEL_ENTRY* psEntry) {
    if (fRetryPhaseDriveCommand(psEntry, DiagnosticCommandDone) == TRUE) return;
    s_fPageCommandFailed = ToFlag(fPhaseDriveCommandGood(psEntry) != TRUE);
    FreeKernelEntries(psEntry);
    SetSesDeviceBusy(FALSE);
}

uint8_t bSend(uint8_t bPath, uint8_t bTarget, const uint8_t* pbCdb, uint16_t wFlags, uint32_t dLength,
              void (*pfDone)(KERNEL_ENTRY*) = nullptr) {
    const bool fPhase = pfDone == nullptr && bGetConfigPhase() == CONFIG_PHASE_ENCLOSURE_DISCOVERY;
    if (pfDone == nullptr) pfDone = fPhase ? SesCommandDone : PageCommandDone;
    KERNEL_ENTRY* psEntry = nullptr;
    if (bAllocKernelEntries(PORT_CODE_INITIATOR, 1, &psEntry) != STATUS_OK) return PHASE_RUN_AGAIN;
    const BUFFER_HANDLE dHandle = static_cast<BUFFER_HANDLE>(dAddressWord(s_pbReply));
    BuildDriveCommand(psEntry, bPath, bTarget, SES_TIMEOUT_S, wFlags, dLength, dLength != 0 ? 1 : 0,
                      static_cast<uint32_t>(dBufferHandleToPciAddress(dHandle)), pbCdb, DRIVE_COMMAND_TYPE_SEND_DIAGNOSTIC);
    if (fPhase) SetDriveCommandPendingFlag(FALSE);
    s_fPageCommandFailed = FALSE;
    if (bQueuePhaseDriveCommand(psEntry, pfDone, FALSE) != STATUS_OK) {
        FreeKernelEntries(psEntry);
        return PHASE_RUN_AGAIN;
    }
    if (fPhase) SetConfigWriteWaitFlag(TRUE);
    return STATUS_OK;
}

// The reply of the step before: FALSE to go on with it; TRUE when the step
// is to be tried again (or its error path taken after the third failure).
uint8_t fCheckSesReply(uint8_t bErrorStep, uint8_t bPage) {
    if (fGetDriveCommandPendingFlag() != TRUE && s_pbReply[0] == bPage) {
        s_bRetries = 0;
        return FALSE;
    }
    SetDriveCommandPendingFlag(FALSE);
    if (s_pbReply[0] != bPage && fGetDriveCommandPendingFlag() != TRUE) CountSesRejectedPage();
    if (++s_bRetries >= MAX_TRIES) {
        s_bRetries = 0;
        NextStep(bErrorStep);
    } else {
        NextStep(s_bSavedStep);
    }
    return TRUE;
}

uint8_t bSendRead(uint8_t bPage, uint16_t wAllocation) {
    uint8_t bPath = 0;
    uint8_t bTarget = 0;
    if (fSelectSesDevice(&bPath, &bTarget) != TRUE) {
        // A device that cannot be reached: its reply is taken as failed.
        SetDriveCommandPendingFlag(TRUE);
        NextStep(static_cast<uint8_t>(bGetConfigPhaseStep() + 1));
        return STATUS_OK;
    }
    return bSendSesReceive(bPath, bTarget, bPage, wAllocation);
}

// The enclosure type the drive side reported for the expander of an
// enclosure number (0 when none).
uint8_t bEnclosureTypeOf(uint8_t bEnclosure) {
    SAS_EXPANDER_LIST* psList = pGetSASExpanderList();
    const uint8_t bCount = psSASExpanderHeader(psList)->bExpanderCount;
    for (uint8_t e = 0; e < bCount && e < SAS_MAX_EXPANDERS; ++e)
        if (psList->asExpander[e].bEnclosure == bEnclosure) return psList->asExpander[e].bEnclosureType;
    return 0;
}

void LevelNone() {
    if (s_dRetryBudget == 0 && s_bLastReport != SES_LEVEL_NONE) PostEvent(EVENT_SES_LEVEL_1);
    if (s_dRetryBudget == 0) s_bLastReport = SES_LEVEL_NONE;
    s_bSesLevel = SES_LEVEL_NONE;
    DRIVE_INFO_LIST* ps = pGetDriveInfoListSorted();
    if (ps != nullptr) ClearDriveSesIds(ps);
}

void LevelFull() {
    // The access check of this system always finds fault tolerant access.
    if (s_bLastReport != SES_LEVEL_FULL) PostEvent(EVENT_SES_LEVEL_3);
    s_bLastReport = SES_LEVEL_FULL;
    s_bSesLevel = SES_LEVEL_FULL;
}

uint8_t EndDiscovery() {
    DRIVE_INFO_LIST* psList = pGetDriveInfoListSorted();
    AssignSesDevices(psList);
    CommitDriveInfoList();
    PruneDriveFirmwareImageList();
    ClearDriveSlotMaps();
    if (pGetDriveInfoList() != nullptr) AssignSesIds(pGetDriveInfoList());
    if (pGetEnclosureTable() != nullptr && pGetDriveInfoList() != nullptr)
        pGetEnclosureTable()->bTotalNoOfDrives = std::min(pGetDriveInfoList()->bDriveCount, DRIVE_INFO_RECORDS);
    UpdateDriveSesFlags();
    SortDriveList();
    EndConfigPhase();
    SetDriveRescanInProgress(FALSE);
    s_fSesDeviceBusy = FALSE;
    if (s_bSesLevel == SES_LEVEL_FULL) {
        SetEnclosureUpdatePending(TRUE);
        ArmEnclosureTask(TASK_COUNTDOWN_AFTER_DISCOVERY);
    }
    return STATUS_OK;
}

}  // namespace

uint8_t* pGetSesReplyBuffer() { return s_pbReply; }
uint8_t* pGetOwnPageBuffer() { return s_pbReply + SES_REPLY_BYTES; }

void ResetEnclosureScanState() {
    if (s_pbReply == nullptr) {
        s_pbReply = static_cast<uint8_t*>(pBufferHandleToPointer(dTakeStartOfDayPages(1)));
        std::memset(s_pbReply, 0, 2 * SES_REPLY_BYTES);
    }
    s_bCurrentDriveInService = 0;
    s_bEnclosureNumber = 0;
    s_bRetries = 0;
    s_lSeenSlots = s_lClaimedSlots = 0;
    s_bLowestSlot = s_bHighestSlot = 0;
}

uint8_t bGetSesLevel() { return s_bSesLevel; }
void SetSesLevel(uint8_t b) { s_bSesLevel = b; }
uint8_t bGetLastSesReport() { return s_bLastReport; }
void SetLastSesReport(uint8_t b) { s_bLastReport = b; }
uint32_t dGetSesRetryBudget() { return s_dRetryBudget; }
uint8_t bGetCurrentDriveInService() { return s_bCurrentDriveInService; }
void SetCurrentDriveInService(uint8_t b) { s_bCurrentDriveInService = b; }
uint8_t bGetSesEnclosureNumber() { return s_bEnclosureNumber; }
void SetSesEnclosureNumber(uint8_t b) { s_bEnclosureNumber = b; }
void SetSesDeviceBusy(uint8_t f) { s_fSesDeviceBusy = f; }
uint8_t fIsSesDeviceBusy() { return s_fSesDeviceBusy; }
uint16_t wGetSesAllocation() { return s_wAllocation; }
uint8_t fGetSesPageCommandFailed() { return s_fPageCommandFailed; }
uint32_t dGetSesRejectedPages() { return s_dRejectedPages; }
void CountSesRejectedPage() { ++s_dRejectedPages; }
uint32_t dGetSesIdentifierDrops() { return s_dIdentifierDrops; }
uint8_t bGetExpectedEnclosureCount() { return s_bExpectedEnclosures; }

// The SAS drive side's enclosure devices speak for the enclosures; only a
// drive side without them asks the drives themselves.
uint8_t bGetSesDeviceCount() {
    const DRIVE_INFO_LIST* ps = psSorted();
    if (ps == nullptr) return 0;
    const uint8_t bRecords = bEnclosureRecords(ps);
    return bRecords != 0 ? bRecords : std::min(ps->bDriveCount, DRIVE_INFO_RECORDS);
}

uint8_t fSelectSesDevice(uint8_t* pbPath, uint8_t* pbTarget) {
    const DRIVE_INFO_LIST* ps = psSorted();
    if (ps == nullptr) return FALSE;
    const uint8_t bRecords = bEnclosureRecords(ps);
    if (bRecords != 0) {
        if (s_bCurrentDriveInService >= bRecords) return FALSE;
        *pbPath = PORT_CODE_INITIATOR;
        *pbTarget = psRecord(ps, s_bCurrentDriveInService)->bTargetId;
    } else {
        if (s_bCurrentDriveInService >= std::min(ps->bDriveCount, DRIVE_INFO_RECORDS)) return FALSE;
        const DRIVE_INFO& s = ps->asDriveInfo[s_bCurrentDriveInService];
        if (s.bLoopID1 == NO_ID && s.bLoopID2 == NO_ID) return FALSE;
        *pbPath = PORT_CODE_INITIATOR;
        *pbTarget = s.bLoopID1 != NO_ID ? s.bLoopID1 : s.bLoopID2;
        s_bDevice = s.bLoopID1 != NO_ID ? DEVICE_CODE_LOOP1 : DEVICE_CODE_LOOP1 + 1;
    }
    s_bAlpa = *pbTarget;
    return TRUE;
}

uint8_t fSelectEnclosureSesDevice(uint8_t* pbPath, uint8_t* pbTarget) {
    return fSelectSesDeviceOfEnclosure(s_bEnclosureNumber, pbPath, pbTarget);
}

uint8_t fSelectSesDeviceOfEnclosure(uint8_t bIndex, uint8_t* pbPath, uint8_t* pbTarget) {
    const ENCLOSURE_TABLE* psTable = pGetEnclosureTable();
    const DRIVE_INFO_LIST* ps = pGetDriveInfoList();
    if (psTable == nullptr || ps == nullptr || bIndex >= MAX_ENCLOSURES) return FALSE;
    const uint8_t bDevice = psTable->asEnclosure[bIndex].bFirstDriveInList;
    const uint8_t bRecords = bEnclosureRecords(ps);
    if (bDevice < bRecords) {
        *pbPath = PORT_CODE_INITIATOR;
        *pbTarget = psRecord(ps, bDevice)->bTargetId;
        return TRUE;
    }
    const uint8_t bDrive = static_cast<uint8_t>(bDevice - bRecords);
    if (bRecords != 0 || bDrive >= std::min(ps->bDriveCount, DRIVE_INFO_RECORDS)) return FALSE;
    const DRIVE_INFO& s = ps->asDriveInfo[bDrive];
    const uint8_t abIds[4] = {s.bSES0_IDLoop1, s.bSES0_IDLoop2, s.bSES1_IDLoop1, s.bSES1_IDLoop2};
    for (uint8_t bId : abIds) {
        if (bId == NO_ID) continue;
        *pbPath = PORT_CODE_INITIATOR;
        *pbTarget = bId;
        return TRUE;
    }
    return FALSE;
}

uint8_t bSendSesReceive(uint8_t bPath, uint8_t bTarget, uint8_t bPage, uint16_t wAllocation) {
    const uint8_t abCdb[10] = {SCSI_RECEIVE_DIAGNOSTIC, 0x01, bPage, static_cast<uint8_t>(wAllocation >> 8),
                               static_cast<uint8_t>(wAllocation), 0};
    std::memset(s_pbReply, 0xFF, 4);
    s_wAllocation = wAllocation;
    return bSend(bPath, bTarget, abCdb, SES_COMMAND_DATA_IN, wAllocation);
}

uint8_t bSendSesControl(uint8_t bPath, uint8_t bTarget, uint16_t wLength) {
    const uint8_t abCdb[10] = {SCSI_SEND_DIAGNOSTIC, 0x10, 0, static_cast<uint8_t>(wLength >> 8),
                               static_cast<uint8_t>(wLength), 0};
    return bSend(bPath, bTarget, abCdb, SES_COMMAND_DATA_OUT, wLength);
}

uint8_t bSendSesDiagnostic(uint8_t bPath, uint8_t bTarget, uint8_t fControl, uint16_t wLength) {
    if (fControl == TRUE) {
        const uint8_t abCdb[10] = {SCSI_SEND_DIAGNOSTIC, 0x10, 0, static_cast<uint8_t>(wLength >> 8),
                                   static_cast<uint8_t>(wLength), 0};
        return bSend(bPath, bTarget, abCdb, SES_COMMAND_DATA_OUT, wLength, DiagnosticCommandDone);
    }
    const uint8_t abCdb[10] = {SCSI_RECEIVE_DIAGNOSTIC, 0x01, SES_PAGE_STATUS, static_cast<uint8_t>(wLength >> 8),
                               static_cast<uint8_t>(wLength), 0};
    std::memset(s_pbReply, 0xFF, 4);
    s_wAllocation = wLength;
    return bSend(bPath, bTarget, abCdb, SES_COMMAND_DATA_IN, wLength, DiagnosticCommandDone);
}

uint8_t EnclosureDiscoveryDispatch(uint8_t bStep) {
    if (bStep <= 10 || bStep == DISCOVERY_STEP_END) return EnclosureDiscoveryStep(bStep);
    if (bStep >= 11 && bStep <= 13) return SesPageStep(bStep);
    return 0;
}

void StartEnclosureDiscovery() {
    const DRIVE_INFO_LIST* ps = psSorted();
    const uint8_t bRecords = ps != nullptr ? bEnclosureRecords(ps) : 0;
    s_bExpectedEnclosures =
        static_cast<uint8_t>((fIsEnvironmentMonitorEnabled() == TRUE ? 1 : 0) + (bRecords != 0 ? bRecords : 0));
    if (ps == nullptr || (ps->bDriveCount == 0 && bRecords == 0)) {
        (void)EndDiscovery();
        return;
    }
    s_fSesDeviceBusy = TRUE;
    s_bCurrentDriveInService = 0;
    s_bRetries = 0;
    if (pGetEnclosureTable() != nullptr && fIsEnvironmentMonitorEnabled() != TRUE) ResetEnclosureTable();
    SetConfigPhase(CONFIG_PHASE_ENCLOSURE_DISCOVERY);
    SetConfigPhaseStep(DISCOVERY_STEP_CONFIGURATION);
    SetSesHeaderOnly(FALSE);
    SetSesStatusChanged(TRUE);
    RequestStartOfDayService();
}

uint8_t EnclosureDiscoveryStep(uint8_t bStep) {
    switch (bStep) {
    case DISCOVERY_STEP_CONFIGURATION: {
        if (fIsSASSlotChangeArmed() == TRUE) {
            NextStep(DISCOVERY_STEP_NO_SES);
            return STATUS_OK;
        }
        s_lSeenSlots = s_lClaimedSlots = 0;
        s_bSavedStep = bStep;
        const uint8_t b = bSendRead(SES_PAGE_CONFIGURATION, CONFIGURATION_ALLOCATION);
        if (b == STATUS_OK && bGetConfigPhaseStep() == bStep) SetConfigPhaseStep(STEP_READ_CONFIGURATION);
        return b;
    }
    case STEP_READ_CONFIGURATION:
        if (fCheckSesReply(DISCOVERY_STEP_NEXT_DEVICE, SES_PAGE_CONFIGURATION) == TRUE) return STATUS_OK;
        NextStep(IdentifyEnclosure(s_wAllocation) == STATUS_OK ? STEP_SEND_STATUS : DISCOVERY_STEP_NEXT_DEVICE);
        return STATUS_OK;
    case STEP_SEND_STATUS: {
        s_bSavedStep = bStep;
        const uint8_t b = bSendRead(SES_PAGE_STATUS, STATUS_ALLOCATION);
        if (b == STATUS_OK && bGetConfigPhaseStep() == bStep) SetConfigPhaseStep(STEP_READ_STATUS);
        return b;
    }
    case STEP_READ_STATUS:
        if (fCheckSesReply(STEP_STATUS_FAILED, SES_PAGE_STATUS) == TRUE) return STATUS_OK;
        CountInstalledSlots(s_wAllocation);
        NextStep(DISCOVERY_STEP_NEXT_DEVICE);
        return STATUS_OK;
    case STEP_STATUS_FAILED:
        NextStep(DISCOVERY_STEP_NEXT_DEVICE);
        return STATUS_OK;
    case DISCOVERY_STEP_NEXT_DEVICE: {
        if (s_bCurrentDriveInService + 1 < bGetSesDeviceCount()) {
            ++s_bCurrentDriveInService;
            NextStep(DISCOVERY_STEP_CONFIGURATION);
            return STATUS_OK;
        }
        const ENCLOSURE_TABLE* psTable = pGetEnclosureTable();
        const uint32_t dFound = psTable != nullptr ? psTable->dTotalNoOfEnclosures : 0;
        if (dFound != s_bExpectedEnclosures || dFound == 0) {
            s_bMode = MODE_NO_SES;
            s_dRetryBudget = s_dRetryBudget == 0 ? 0 : s_dRetryBudget - 1;
            NextStep(DISCOVERY_STEP_NO_SES);
        } else {
            s_bMode = MODE_SES;
            s_dRetryBudget = RETRY_BUDGET;
            NextStep(DISCOVERY_STEP_SES);
        }
        return STATUS_OK;
    }
    case DISCOVERY_STEP_NO_SES:
        LevelNone();
        NextStep(DISCOVERY_STEP_END);
        return STATUS_OK;
    case DISCOVERY_STEP_SES:
        LevelFull();
        NextStep(DISCOVERY_STEP_END);
        return STATUS_OK;
    case DISCOVERY_STEP_END:
        return EndDiscovery();
    default:
        // Steps 8-10 (the vendor page to drives of a loop without enclosure
        // services) have no drive of that kind to serve here.
        NextStep(s_bMode == MODE_SES ? DISCOVERY_STEP_SES : DISCOVERY_STEP_NO_SES);
        return STATUS_OK;
    }
}

uint8_t IdentifyEnclosure(uint32_t dArrived) {
    const uint8_t* pb = s_pbReply;
    ENCLOSURE_TABLE* psTable = pGetEnclosureTable();
    if (psTable == nullptr || pb[0] != SES_PAGE_CONFIGURATION) return 0;
    const uint32_t dBytes = std::min(dSesPageBytes(pb), dArrived);
    // A page too short to hold its identifier and names says nothing.
    if (dBytes < SES_CONFIG_PRODUCT_OFFSET + 16) {
        CountSesRejectedPage();
        return 0;
    }
    const DRIVE_INFO_LIST* psList = psSorted();
    if (psList != nullptr && bEnclosureRecords(psList) == 0 &&
        s_bCurrentDriveInService < std::min(psList->bDriveCount, DRIVE_INFO_RECORDS)) {
        pGetDriveInfoListSorted()->asDriveInfo[s_bCurrentDriveInService].fSESEnabled = TRUE;
    }
    const uint8_t* pbId = pb + SES_CONFIG_IDENTIFIER_OFFSET;
    uint32_t dIndex = 0;
    if (psTable->dTotalNoOfEnclosures == 0 && fIsEnvironmentMonitorEnabled() != TRUE) {
        dIndex = 0;
        psTable->dTotalNoOfEnclosures = 1;
        psTable->dCurrentEnclosure = 0;
    } else {
        const uint32_t dKnown = std::min<uint32_t>(psTable->dTotalNoOfEnclosures, MAX_ENCLOSURES);
        for (uint32_t i = 0; i < dKnown; ++i) {
            if (std::memcmp(psTable->asEnclosure[i].abEclosureIdentifier, pbId, 8) != 0) continue;
            if (psTable->asEnclosure[i].bNoOfDrivePath < 2) ++psTable->asEnclosure[i].bNoOfDrivePath;
            return 0;
        }
        if (dKnown >= MAX_ENCLOSURES) {
            ++s_dIdentifierDrops;
            return 0;
        }
        dIndex = dKnown;
        psTable->dCurrentEnclosure = dIndex;
        psTable->dTotalNoOfEnclosures = dIndex + 1;
    }
    ENCLOSURE& s = psTable->asEnclosure[dIndex];
    s.bNoOfDrivePath = 1;
    s.bNoOfDrivesPresent = 0;
    const uint32_t dCopied = dCopySesPage(s.abConfigPage, sizeof s.abConfigPage, pb, dBytes);
    s.fIdentifierUnchanged = ToFlag(std::memcmp(s.abEclosureIdentifier, pbId, 8) == 0);
    std::memcpy(s.abEclosureIdentifier, pbId, 8);
    const uint8_t bEnclosureNo =
        psList != nullptr && s_bCurrentDriveInService < bEnclosureRecords(psList) ? psRecord(psList, s_bCurrentDriveInService)->bEnclosure : 0;
    SetEnclosureSlotMaps(&s, pb + SES_CONFIG_VENDOR_OFFSET, bEnclosureTypeOf(bEnclosureNo));
    s.bNoOfDrives = bConfigurationSlotCount(s.abConfigPage, dCopied);
    return STATUS_OK;
}

void CountInstalledSlots(uint32_t dArrived) {
    ENCLOSURE_TABLE* psTable = pGetEnclosureTable();
    if (psTable == nullptr || psTable->dCurrentEnclosure >= MAX_ENCLOSURES) return;
    ENCLOSURE& s = psTable->asEnclosure[psTable->dCurrentEnclosure];
    const uint8_t* pb = s_pbReply;
    const uint32_t dBytes = std::min(dSesPageBytes(pb), dArrived);
    s.bFirstDriveInList = s_bCurrentDriveInService;
    s.bNoOfDrivesPresent = 0;
    // The device elements: after the overall element of the first type.
    const uint32_t dFirst = SES_PAGE_HEADER_BYTES + SES_ELEMENT_BYTES;
    if (dFirst + SES_ELEMENT_BYTES > dBytes || s.bNoOfDrives == 0) return;
    s_bLowestSlot = pb[dFirst + 1];
    s_bHighestSlot = static_cast<uint8_t>(s_bLowestSlot + s.bNoOfDrives - 1);
    for (uint32_t i = 0; i < s.bNoOfDrives; ++i) {
        const uint32_t d = dFirst + i * SES_ELEMENT_BYTES;
        if (d + SES_ELEMENT_BYTES > dBytes) break;
        if ((pb[d] & SES_STATUS_CODE_MASK) == SES_CODE_NOT_INSTALLED) continue;
        ++s.bNoOfDrivesPresent;
        if (i < 64) s_lSeenSlots |= 1ull << i;
    }
}

uint8_t bClaimSlot(uint8_t bSlot) {
    if (bSlot < s_bLowestSlot || bSlot > s_bHighestSlot || bSlot - s_bLowestSlot >= 64) return SLOT_OUTSIDE;
    const uint64_t lBit = 1ull << (bSlot - s_bLowestSlot);
    if (!(s_lSeenSlots & lBit)) return SLOT_NOT_SEEN;
    if (s_lClaimedSlots & lBit) return SLOT_CLAIMED;
    s_lClaimedSlots |= lBit;
    return TRUE;
}

}  // namespace fw
