// The page cycle and the periodic enclosure task.
#include "enclosure/ses_poll.h"

#include <algorithm>
#include <cstring>

#include "config/config_phase.h"
#include "enclosure/drive_management.h"
#include "enclosure/drive_table.h"
#include "enclosure/enclosure_discovery.h"
#include "enclosure/enclosure_records.h"
#include "enclosure/enclosure_table.h"
#include "enclosure/environment_monitor.h"
#include "enclosure/own_enclosure.h"
#include "eventlog/event_log.h"
#include "executive/crc16.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/ses.h"
#include "partner/partner_link.h"
#include "sas/sas_device_list.h"
#include "sas/sas_drive.h"
#include "sas/smp.h"
#include "sas/sas_scsi_path.h"
#include "executive/buffer_pages.h"
#include "hw/scsi.h"

namespace fw {

namespace {

constexpr uint8_t EVENT_SUPPLY = 107;
constexpr uint8_t EVENT_COOLING = 108;
constexpr uint8_t EVENT_TEMPERATURE = 109;
constexpr uint8_t EVENT_ALARM = 110;
constexpr uint8_t TASK_PERIOD = 20;
constexpr uint8_t TASK_SOON = 10;
constexpr uint16_t FULL_ALLOCATION = 768;
constexpr uint16_t HEADER_ALLOCATION = 4;
constexpr uint8_t NO_PAGE = 0xFF;

uint8_t s_bPage = SES_PAGE_STATUS;
uint8_t s_bStep = SES_STEP_SEND;
uint8_t s_bStartEnclosure = 0;
uint8_t s_fPollRequest = FALSE;
uint8_t s_fForcedRefresh = FALSE;
uint8_t s_fUpdateRequested = FALSE;
uint8_t s_fUpdatePending = FALSE;
uint8_t s_fTaskRequest = FALSE;
uint8_t s_fHeaderOnly = FALSE;
uint8_t s_fStatusChanged = FALSE;
uint8_t s_fLogAll = FALSE;
uint8_t s_fFirstTry = TRUE;
uint32_t s_dPageFailures = 0;
volatile uint8_t s_bTaskCountdown = 0;

ENCLOSURE_TABLE* psTable() { return pGetEnclosureTable(); }

uint8_t bEnclosures() {
    const ENCLOSURE_TABLE* ps = psTable();
    return ps == nullptr ? 0 : static_cast<uint8_t>(std::min<uint32_t>(ps->dTotalNoOfEnclosures, MAX_ENCLOSURES));
}

uint8_t bNextPage(uint8_t bPage) {
    switch (bPage) {
    case SES_PAGE_STATUS: return SES_PAGE_SUPPORTED;
    case SES_PAGE_SUPPORTED: return SES_PAGE_ARRAY;
    case SES_PAGE_ARRAY: return bGetBoardType() == 8 || bGetBoardType() == 9 ? SES_PAGE_SLOT : SES_PAGE_STRING;
    case SES_PAGE_STRING: return SES_PAGE_THRESHOLD;
    case SES_PAGE_THRESHOLD: return SES_PAGE_DESCRIPTOR;
    case SES_PAGE_DESCRIPTOR: return SES_PAGE_SLOT;
    default: return NO_PAGE;
    }
}

// The drive side looks again, and the drive table with the enclosures is
// rebuilt even when no drive came or went.
void Rediscover() {
    SetSasDriveWork(TRUE);
    (void)fRequestDriveRescan();
}

void EndPass() {
    // The enclosures the cycle asked: the own chassis answers for itself.
    const uint8_t bCount = static_cast<uint8_t>(bEnclosures() - s_bStartEnclosure);
    if (s_dPageFailures >= 2 && bCount > 1) {
        const uint32_t dLower = 2u * bCount - 2;
        s_dPageFailures = s_dPageFailures > dLower ? s_dPageFailures - dLower : 0;
    }
    s_bStep = SES_STEP_SEND;
    SetSesDeviceBusy(FALSE);
    s_fLogAll = FALSE;
    // What was asked for has gone out with this pass's control pages.
    s_fUpdateRequested = FALSE;
    if (s_fHeaderOnly != TRUE) {
        s_fStatusChanged = FALSE;
        s_fHeaderOnly = TRUE;
    }
    s_fPollRequest = FALSE;
}

void PutEvent(uint8_t bCode, uint8_t bIndex, const uint8_t* pbStatus, uint8_t bEnclosure, const uint8_t* pbId) {
    PostEvent(bCode, bIndex, pbStatus[0], pbStatus[1], pbStatus[2], pbStatus[3], bEnclosure, pbId[0], pbId[1],
              pbId[2], pbId[3], pbId[4], pbId[5], pbId[6], pbId[7]);
}

const DRIVE_INFO* psDriveAt(uint8_t bEnclosureNo, uint8_t bSlot) {
    const DRIVE_INFO_LIST* ps = pGetDriveInfoList();
    if (ps == nullptr) return nullptr;
    for (uint8_t i = 0; i < std::min(ps->bDriveCount, DRIVE_INFO_RECORDS); ++i)
        if (ps->asDriveInfo[i].bEnclosureNo == bEnclosureNo && ps->asDriveInfo[i].bSlotNo == bSlot) return &ps->asDriveInfo[i];
    return nullptr;
}

// The drive-side slot a device element stands for, by the enclosure's map
// (the backplane's own slot numbering is not asked: the map wins).
uint8_t bSlotOfElement(const ENCLOSURE& s, uint8_t bElement) {
    for (uint8_t k = 0; k < ENCLOSURE_SLOT_MAP_ENTRIES; ++k)
        if (s.abSlotToElement[k] == bElement + 1) return static_cast<uint8_t>(k + 1);
    return 0;
}

void ParseStatus(uint8_t bIndex, uint8_t* pb, uint32_t dBytes) {
    ENCLOSURE_TABLE* psT = psTable();
    ENCLOSURE& s = psT->asEnclosure[bIndex];
    const uint8_t bEnclosureNo = bEnclosureNumberOfIndex(bIndex);
    const bool fFirst = bIndex == 0;
    uint8_t bSupply = 0, bFan = 0, bSensor = 0;
    if (fFirst) std::memset(psT->abHostPage5, 0, 3);
    const bool fHaveOld = s.abStatusPage[0] == SES_PAGE_STATUS;
    ForEachSesElement(s, dBytes, [&](uint8_t bType, uint8_t bElement, uint32_t d) {
        if (bElement == NO_PAGE) return;
        const uint8_t* pbOld = s.abStatusPage + d;
        const bool fOldValid = fHaveOld && d + SES_ELEMENT_BYTES <= ENCLOSURE_STATUS_COPY_BYTES;
        const uint8_t bCode = pb[d] & SES_STATUS_CODE_MASK;
        uint8_t bEvent = 0;
        uint8_t bMask = 4;   // bytes compared
        switch (bType) {
        case SES_TYPE_DEVICE:
        case SES_TYPE_ARRAY_DEVICE: {
            if (!fOldValid || s.fIdentifierUnchanged != TRUE) break;
            const uint8_t bOld = pbOld[0] & SES_STATUS_CODE_MASK;
            const uint8_t bSlot = bSlotOfElement(s, bElement);
            if (bSlot == 0) break;
            if (bCode == SES_CODE_NOT_INSTALLED && bOld != SES_CODE_NOT_INSTALLED) {
                ClearSlotPhyDisabled(bEnclosureNo, bSlot);
            } else if (bCode != SES_CODE_NOT_INSTALLED && bOld == SES_CODE_NOT_INSTALLED) {
                DeferOccupiedSlot(bEnclosureNo, bSlot);
            }
            break;
        }
        case SES_TYPE_POWER_SUPPLY:
            bEvent = EVENT_SUPPLY;
            if (fFirst && bSupply < 2) {
                psT->abHostEnclosureStatus[2 + bSupply] = bCode == SES_CODE_OK ? 0 : bCode == SES_CODE_CRITICAL ? 16 : 32;
                if (bCode != SES_CODE_OK) psT->abHostPage5[0] |= 0x20;
            }
            ++bSupply;
            break;
        case SES_TYPE_COOLING:
            bEvent = EVENT_COOLING;
            bMask = 2;
            if (fFirst && bFan < 2) {
                psT->abHostEnclosureStatus[bFan] = bCode == SES_CODE_OK ? 0 : bCode == SES_CODE_CRITICAL ? 1 : 2;
                if (bCode == SES_CODE_CRITICAL) psT->abHostPage5[0] |= 0x10;
            }
            ++bFan;
            break;
        case SES_TYPE_TEMPERATURE:
            bEvent = EVENT_TEMPERATURE;
            bMask = 2;
            if (fFirst && bSensor < 2) {
                psT->abHostEnclosureStatus[18 + bSensor] =
                    pb[d + 2] >= SES_TEMPERATURE_OFFSET ? static_cast<uint8_t>(pb[d + 2] - SES_TEMPERATURE_OFFSET) : 0;
                if (pb[d + 3] & (SES_TEMPERATURE_OT_FAILURE | SES_TEMPERATURE_OT_WARNING)) {
                    psT->abHostEnclosureStatus[20] = 0x80;
                    psT->abHostEnclosureStatus[21] |= bSensor == 0 ? 0x01 : 0x02;
                }
            }
            ++bSensor;
            break;
        case SES_TYPE_ALARM:
            bEvent = EVENT_ALARM;
            if (fFirst) {
                psT->abHostEnclosureStatus[17] = pb[d + 3] == 4 ? 1 : 0;
                if (pb[d + 3] & SES_ALARM_TONE_MASK) psT->abHostPage5[0] |= 0x01;
            }
            break;
        default:
            break;
        }
        if (bEvent == 0) return;
        const bool fChanged = !fOldValid || std::memcmp(pbOld, pb + d, bMask) != 0;
        // The first status of an enclosure only reports what is not OK.
        if ((fChanged && (fOldValid || bCode != SES_CODE_OK)) || (s_fLogAll == TRUE && bCode != SES_CODE_OK))
            PutEvent(bEvent, bElement, pb + d, bIndex, s.abEclosureIdentifier);
    });
    (void)dCopySesPage(s.abStatusPage, sizeof s.abStatusPage, pb, dBytes);
    psT->fSesDataValid = TRUE;

    // The reply becomes the control page: each slot asks for the light its
    // drive calls for, and nothing else is selected.
    // Until the own chassis' bays are first read, every bay counts as
    // installed: an empty one would look like a drive the controller cannot
    // see, and a fault light and the drive-fault tone would greet every start
    // with empty bays.
    const bool fPresenceKnown =
        bIndex != 0 || fIsEnvironmentMonitorEnabled() != TRUE || fIsBayPresenceKnown() == TRUE;
    ForEachSesElement(s, dBytes, [&](uint8_t bType, uint8_t bElement, uint32_t d) {
        uint8_t* e = pb + d;
        if (bType != SES_TYPE_DEVICE && bType != SES_TYPE_ARRAY_DEVICE) {
            e[0] = 0;
            return;
        }
        if (bElement == NO_PAGE) {
            e[0] = 0;
            return;
        }
        const bool fInstalled = (e[0] & SES_STATUS_CODE_MASK) != SES_CODE_NOT_INSTALLED;
        const uint8_t bSlot = bSlotOfElement(s, bElement);
        const DRIVE_INFO* psDrive = bSlot != 0 ? psDriveAt(bEnclosureNo, bSlot) : nullptr;
        e[0] = SES_CONTROL_SELECT;
        e[1] = e[2] = 0;
        e[3] = fInstalled && fPresenceKnown && psDrive == nullptr ? SES_DEVICE_FAULT : 0;
        if (psDrive == nullptr) return;
        if (psDrive->bSES_ControlFlags == SES_CONTROL_IDENTIFY) {
            e[2] = SES_DEVICE_IDENTIFY;
            e[3] = 0;
        } else if (psDrive->bSES_ControlFlags == SES_CONTROL_FAULT) {
            e[3] = SES_DEVICE_FAULT;
            if (fFirst) psT->abHostPage5[0] |= 0x40;
        } else {
            e[3] = 0;
        }
    });
    pb[1] = 0;
}

uint8_t bArrayBits(uint8_t bFlags) {
    switch (bFlags) {
    case SES_ARRAY_HOT_SPARE: return SES_DEVICE_ARRAY_HOT_SPARE;
    case SES_ARRAY_CONSISTENCY_CHECK: return SES_DEVICE_ARRAY_CONSISTENCY;
    case SES_ARRAY_CRITICAL: return SES_DEVICE_ARRAY_CRITICAL;
    case SES_ARRAY_FAILED: return SES_DEVICE_ARRAY_FAILED;
    case SES_ARRAY_REBUILD: return SES_DEVICE_ARRAY_REBUILD;
    case SES_ARRAY_UNCHANGED: return SES_DEVICE_ARRAY_OK;
    default: return 0;
    }
}

void ParseArray(uint8_t bIndex, uint8_t* pb, uint32_t dBytes) {
    const ENCLOSURE& s = psTable()->asEnclosure[bIndex];
    const uint8_t bEnclosureNo = bEnclosureNumberOfIndex(bIndex);
    ForEachSesElement(s, dBytes, [&](uint8_t bType, uint8_t bElement, uint32_t d) {
        uint8_t* e = pb + d;
        if ((bType != SES_TYPE_DEVICE && bType != SES_TYPE_ARRAY_DEVICE) || bElement == NO_PAGE) {
            e[0] = 0;
            return;
        }
        e[0] = SES_CONTROL_SELECT;
        e[1] = e[2] = e[3] = 0;
        const uint8_t bSlot = bSlotOfElement(s, bElement);
        const DRIVE_INFO* psDrive = bSlot != 0 ? psDriveAt(bEnclosureNo, bSlot) : nullptr;
        if (psDrive != nullptr) e[1] = bArrayBits(psDrive->bSES_ArrayFlags);
    });
    pb[1] = 0;
}

// The vendor slot page: each slot selected, powered off where its wanted
// state says so, under a CRC of the elements and the overall element.
uint16_t wBuildSlotPage(uint8_t bEnclosureNo, uint8_t* pb) {
    std::memset(pb + 1, 0, SES_SLOT_PAGE_BYTES - 1);
    pb[0] = SES_PAGE_SLOT;
    pb[3] = SES_SLOT_PAGE_BYTES - 4;
    for (uint8_t k = 0; k < SES_SLOT_PAGE_SLOTS; ++k) {
        uint8_t* e = pb + SES_SLOT_PAGE_FIRST_ELEMENT + 4u * k;
        uint8_t bRequest = 0;
        uint32_t dRemaining = 0;
        e[0] = SES_CONTROL_SELECT;
        if (bGetSlotControlState(bEnclosureNo, static_cast<uint8_t>(k + 1), &bRequest, &dRemaining) == SLOT_STATE_OFF)
            e[3] = SES_SLOT_POWER_OFF;
    }
    // The enclosure checks the plain CRC of the bytes; the shifting form
    // gives it once two zero bytes have followed them.
    constexpr uint8_t ZERO[2] = {0, 0};
    const uint16_t wCrc =
        Crc16(Crc16(0, pb + SES_SLOT_PAGE_CRC_FROM, SES_SLOT_PAGE_CRC_OFFSET - SES_SLOT_PAGE_CRC_FROM), ZERO, 2);
    pb[SES_SLOT_PAGE_CRC_OFFSET] = static_cast<uint8_t>(wCrc >> 8);
    pb[SES_SLOT_PAGE_CRC_OFFSET + 1] = static_cast<uint8_t>(wCrc);
    return SES_SLOT_PAGE_BYTES;
}

void OwnChassisPass() {
    constexpr uint8_t PAGES[] = {SES_PAGE_STATUS, SES_PAGE_ARRAY, SES_PAGE_STRING, SES_PAGE_SLOT};
    uint8_t* pb = pGetOwnPageBuffer();
    for (uint8_t bPage : PAGES) {
        if (bPage == SES_PAGE_SLOT && fIsSlotPageSupported(0) != TRUE) continue;
        uint16_t wLength = 0;
        if (bBuildOwnSesPage(bPage, pb, &wLength) != STATUS_OK) continue;
        if (bPage == SES_PAGE_STATUS) CountOwnInstalledSlots(pb, wLength);
        uint16_t wControl = 0;
        const uint8_t fUpdate = s_fUpdateRequested;
        s_fUpdateRequested = TRUE;   // the own chassis always takes its control pages
        const uint8_t fSend = fParseSesPage(0, bPage, wLength, &wControl);
        s_fUpdateRequested = fUpdate;
        if (fSend == TRUE && bPage != SES_PAGE_STRING) (void)bAcceptOwnSesControlPage(pb, wControl);
    }
}

}  // namespace

uint8_t bEnclosureNumberOfIndex(uint8_t bIndex) {
    const ENCLOSURE_TABLE* psT = psTable();
    if (bIndex == 0 && fIsEnvironmentMonitorEnabled() == TRUE) return 1;
    const DRIVE_INFO_LIST* ps = pGetDriveInfoList();
    if (psT != nullptr && ps != nullptr && bIndex < MAX_ENCLOSURES) {
        const uint8_t bDevice = psT->asEnclosure[bIndex].bFirstDriveInList;
        if (bDevice < std::min(ps->bEnclosureRecordCount, DRIVE_ENCLOSURE_RECORDS))
            return reinterpret_cast<const SAS_STP_ENTRY*>(ps->aabEnclosureRecord[bDevice])->bEnclosure;
    }
    return static_cast<uint8_t>(bIndex + 1);
}

uint8_t fParseSesPage(uint8_t bIndex, uint8_t bPage, uint32_t dArrived, uint16_t* pwControlLength) {
    ENCLOSURE_TABLE* psT = psTable();
    if (psT == nullptr || bIndex >= MAX_ENCLOSURES) return FALSE;
    uint8_t* pb = bIndex == 0 && fIsEnvironmentMonitorEnabled() == TRUE ? pGetOwnPageBuffer() : pGetSesReplyBuffer();
    ENCLOSURE& s = psT->asEnclosure[bIndex];
    const uint32_t dBytes = std::min<uint32_t>({dSesPageBytes(pb), dArrived, SES_REPLY_BYTES});
    *pwControlLength = static_cast<uint16_t>(dBytes);
    switch (bPage) {
    case SES_PAGE_STATUS:
        ParseStatus(bIndex, pb, dBytes);
        break;
    case SES_PAGE_ARRAY:
        ParseArray(bIndex, pb, dBytes);
        break;
    case SES_PAGE_SLOT:
        *pwControlLength = wBuildSlotPage(bEnclosureNumberOfIndex(bIndex), pb);
        break;
    case SES_PAGE_SUPPORTED:
        (void)dCopySesPage(s.abSupportedPages, sizeof s.abSupportedPages, pb, dBytes);
        return FALSE;
    case SES_PAGE_STRING:
        (void)dCopySesPage(s.abStringPage, sizeof s.abStringPage, pb, dBytes);
        return FALSE;
    case SES_PAGE_THRESHOLD:
        (void)dCopySesPage(s.abThresholdPage, sizeof s.abThresholdPage, pb, dBytes);
        return FALSE;
    case SES_PAGE_DESCRIPTOR:
        (void)dCopySesPage(s.abDescriptorPage, sizeof s.abDescriptorPage, pb, dBytes);
        return FALSE;
    default:
        return FALSE;
    }
    return s_fUpdateRequested;
}

void SetEnclosureUpdatePending(uint8_t f) { s_fUpdatePending = f; }
void SetSesHeaderOnly(uint8_t f) { s_fHeaderOnly = f; }
uint8_t fGetSesHeaderOnly() { return s_fHeaderOnly; }
void SetSesStatusChanged(uint8_t f) { s_fStatusChanged = f; }
uint32_t dGetSesPageFailures() { return s_dPageFailures; }
uint8_t fGetSesUpdateRequested() { return s_fUpdateRequested; }
void SetSesLogAll(uint8_t f) { s_fLogAll = f; }
uint8_t fGetEnclosureTaskRequest() { return s_fTaskRequest; }
uint8_t fGetSesPollRequest() { return s_fPollRequest; }
void SetSesPageRefreshForced(uint8_t f) { s_fForcedRefresh = f; }
void ArmEnclosureTask(uint8_t bHalfSeconds) { s_bTaskCountdown = bHalfSeconds; }

void SesCommandEnded() {
    s_fPollRequest = TRUE;
    SetWorkPending(TRUE);
}

void RequestEnclosureStatusUpdate(uint8_t f) {
    if (fIsSesDeviceBusy() == TRUE) {
        ArmEnclosureTask(TASK_SOON);
        s_fUpdatePending = TRUE;
        return;
    }
    s_fUpdateRequested = fIsEnclosureTimedRequestDue() == TRUE ? TRUE : ToFlag(f == TRUE || s_fUpdateRequested == TRUE);
    if (fIsMasterController() == TRUE && bGetSesLevel() == SES_LEVEL_FULL) {
        s_fTaskRequest = TRUE;
        SetWorkPending(TRUE);
    }
    ArmEnclosureTask(TASK_PERIOD);
}

// Each half second: the periodic task when its countdown runs out.
void EnclosureTick() {
    const uint8_t bLeft = s_bTaskCountdown;
    if (bLeft == 0) return;
    s_bTaskCountdown = static_cast<uint8_t>(bLeft - 1);
    if (bLeft != 1) return;
    ArmEnclosureTask(TASK_PERIOD);
    if (fIsSesDeviceBusy() == TRUE || fIsSASSlotChangeArmed() == TRUE) return;
    if (bGetSesLevel() == SES_LEVEL_NONE) {
        // Enclosure devices the drive side sees while services are down:
        // discovery is run again, a few times.
        if (dGetSesRetryBudget() != 0 && fIsMasterController() == TRUE && pGetSASDriveInfoList()->bStpCount != 0)
            Rediscover();
    } else if (bGetSesLevel() == SES_LEVEL_FULL) {
        if (s_dPageFailures <= SES_PAGE_FAILURE_LIMIT) {
            RequestEnclosureStatusUpdate(s_fUpdatePending);
            s_fUpdatePending = FALSE;
        } else {
            Rediscover();
            s_dPageFailures = 0;
        }
    }
}

void EnclosureTaskStep() {
    // Not while the drive table or the configuration is being worked on:
    // the periodic task asks again, rather than the main loop at every pass.
    // A drive firmware download goes on for minutes and powers slots off
    // and on through the pages: the passes run beside it.
    const uint8_t bPhase = bGetConfigPhase();
    if (fIsDriveRescanInProgress() == TRUE || fIsDriveRescanRequested() == TRUE ||
        (bPhase != CONFIG_PHASE_IDLE && bPhase != CONFIG_PHASE_DRIVE_FIRMWARE)) {
        s_fTaskRequest = FALSE;
        s_fUpdatePending = ToFlag(s_fUpdatePending == TRUE || s_fUpdateRequested == TRUE);
        ArmEnclosureTask(TASK_SOON);
        return;
    }
    s_fTaskRequest = FALSE;
    s_fPollRequest = FALSE;
    s_bStep = SES_STEP_SEND;
    ArmEnclosureTask(TASK_SOON);
    if (bGetSesLevel() != SES_LEVEL_FULL || fIsSesDeviceBusy() == TRUE) return;
    UpdateDriveSesFlags();
    s_bPage = SES_PAGE_STATUS;
    s_bStartEnclosure = 0;
    if (fIsEnvironmentMonitorEnabled() == TRUE) {
        OwnChassisPass();
        if (bEnclosures() <= 1) {
            s_fUpdateRequested = FALSE;
            return;
        }
        s_bStartEnclosure = 1;
    } else {
        s_bPage = SES_PAGE_SUPPORTED;
    }
    SetSesDeviceBusy(TRUE);
    SetSesEnclosureNumber(s_bStartEnclosure);
    s_fFirstTry = TRUE;
    s_fPollRequest = TRUE;
    if (s_fStatusChanged == TRUE || s_fUpdateRequested == TRUE) {
        s_fStatusChanged = FALSE;
        s_fHeaderOnly = FALSE;
    }
    SetWorkPending(TRUE);
}

void RunSesPoll() {
    // Discovery owns the device and the reply buffer: a pass it cut short
    // is not taken up again.
    if (bGetConfigPhase() == CONFIG_PHASE_ENCLOSURE_DISCOVERY) {
        s_fPollRequest = FALSE;
        s_bStep = SES_STEP_SEND;
        return;
    }
    if (bGetSesLevel() != SES_LEVEL_FULL) {
        s_fPollRequest = FALSE;
        s_bStep = SES_STEP_SEND;
        SetSesDeviceBusy(FALSE);
        return;
    }
    const uint8_t b = SesPageStep(s_bStep);
    if (b != TRUE && b != PHASE_RUN_AGAIN) s_fPollRequest = FALSE;
}
void SesPagePollStep() { RunSesPoll(); }

uint8_t SesPageStep(uint8_t bStep) {
    if (bGetSesLevel() != SES_LEVEL_FULL) {
        s_bStep = SES_STEP_SEND;
        SetSesDeviceBusy(FALSE);
        s_fHeaderOnly = FALSE;
        return STATUS_OK;
    }
    const uint8_t bEnclosure = bGetSesEnclosureNumber();
    switch (bStep) {
    case SES_STEP_SEND: {
        const bool fSkip = (s_fHeaderOnly == TRUE && s_bPage != SES_PAGE_STATUS) ||
                           (s_bPage != SES_PAGE_STATUS && s_bPage != SES_PAGE_SUPPORTED &&
                            fIsSesPageSupported(s_bPage, bEnclosure) != TRUE);
        if (fSkip) {
            s_bStep = SES_STEP_NEXT;
            return TRUE;
        }
        uint8_t bPath = 0, bTarget = 0;
        if (fSelectEnclosureSesDevice(&bPath, &bTarget) != TRUE) {
            s_bStep = SES_STEP_NEXT;
            return TRUE;
        }
        const uint8_t b = bSendSesReceive(bPath, bTarget, s_bPage,
                                          s_fHeaderOnly == TRUE ? HEADER_ALLOCATION : FULL_ALLOCATION);
        if (b != STATUS_OK) return b;
        s_fForcedRefresh = FALSE;
        s_bStep = SES_STEP_PARSE;
        return STATUS_OK;
    }
    case SES_STEP_PARSE: {
        uint8_t* pb = pGetSesReplyBuffer();
        const bool fFailed = fGetSesPageCommandFailed() == TRUE;
        if (s_fForcedRefresh == TRUE || fFailed || pb[0] != s_bPage) {
            if (!fFailed && pb[0] != s_bPage) CountSesRejectedPage();
            if (s_bPage == SES_PAGE_STATUS && s_fFirstTry == TRUE && s_dPageFailures != 0xFFFFFFFF) ++s_dPageFailures;
            s_fForcedRefresh = FALSE;
            s_bStep = SES_STEP_NEXT;
            return TRUE;
        }
        s_bStep = SES_STEP_NEXT;
        if (s_fHeaderOnly == TRUE) {
            if (pb[1] & SES_STATUS_INFO) s_fStatusChanged = TRUE;
            return TRUE;
        }
        uint16_t wControl = 0;
        if (fParseSesPage(bEnclosure, s_bPage, wGetSesAllocation(), &wControl) == TRUE && wControl != 0) {
            uint8_t bPath = 0, bTarget = 0;
            if (fSelectEnclosureSesDevice(&bPath, &bTarget) == TRUE) return bSendSesControl(bPath, bTarget, wControl);
        }
        return TRUE;
    }
    case SES_STEP_NEXT:
    default: {
        // A control page sent from step 12 may have failed: nothing to redo,
        // the next pass sends it again.
        s_bStep = SES_STEP_SEND;
        if (bEnclosure + 1u < bEnclosures()) {
            SetSesEnclosureNumber(static_cast<uint8_t>(bEnclosure + 1));
            return TRUE;
        }
        SetSesEnclosureNumber(s_bStartEnclosure);
        s_bPage = bNextPage(s_bPage);
        if (s_bPage == NO_PAGE) {
            EndPass();
            return STATUS_OK;
        }
        return TRUE;
    }
    }
}

namespace {

uint8_t bSendOwnSlotPage() {
    uint8_t bBus = 0;
    const uint8_t bTarget = bGetEnclosure1ProcessorTarget(&bBus);
    if (bTarget == 0xFF) return 0;
    BUFFER_HANDLE dHandle;
    const uint8_t bAlloc = bAllocDataPages(0, 1, &dHandle);
    if (bAlloc != STATUS_OK) return bAlloc;
    uint8_t* pb = static_cast<uint8_t*>(pBufferHandleToPointer(dHandle));
    const uint16_t wLength = wBuildSlotPage(1, pb);
    const uint8_t abCdb[10] = {SCSI_SEND_DIAGNOSTIC, 0x10, 0, 0, static_cast<uint8_t>(wLength), 0};
    uint8_t bStatus = 0, bKey = 0, bAsc = 0, bAscq = 0;
    const uint8_t bResult = bSendSCSICommandAndWait(bTarget, bBus, abCdb, FALSE, wLength, dHandle, &bStatus, &bKey,
                                                    &bAsc, &bAscq);
    (void)wFreeDataPages(dHandle, 1);
    return bResult == STATUS_OK && bStatus == 0 ? STATUS_OK : 0;
}

}  // namespace

// The controller enclosure's slot page, sent at once and waited for.  The
// master then hands the slot state to its partner, which sends the same
// page down its own path; the answer is the partner message's, unless the
// page did not go out here, which is not reported as done.
uint8_t bSendSASEnclosureSlotPage(uint8_t* pbOwnPage) {
    const uint8_t bOwn = bSendOwnSlotPage();
    if (pbOwnPage != nullptr) *pbOwnPage = bOwn;
    if (fIsMasterController() != TRUE || fIsDualControllerActive() != TRUE) return bOwn;
    const uint8_t bPartner = bSendAaMuxMessage210();
    return bOwn == STATUS_OK ? bPartner : bOwn;
}

void AllocateEnclosureServicesTables() {
    InitEnclosureTable();
    InitSlotControlTable();
}

// Drive locate lights the drive's slot through the enclosure.
void MarkDriveLocate(uint8_t, uint8_t bTarget) { SetDriveIdentify(1, bTarget); }
void ClearDriveLocate(uint8_t, uint8_t bTarget) { ClearDriveIdentify(1, bTarget); }
// An enclosure's own locate: its identify for the time asked.
void LocateEnclosureDevice(uint8_t bEnclosure, uint16_t wSeconds) {
    for (uint8_t i = 0; i < bEnclosures(); ++i)
        if (bEnclosureNumberOfIndex(i) == bEnclosure) SetEnclosureTimedRequest(i, wSeconds);
}

}  // namespace fw
