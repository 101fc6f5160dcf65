// Sharing the drives with a partner controller.  Both controllers reach
// every drive; a drive behind an active-active multiplexer can be served
// only by controllers whose drive IOCs run the same revision, so the two
// compare their levels.  A drive one controller must have to itself for a
// while (error recovery) is agreed with the partner slot by slot, and a
// partner whose drive side is recovering starts a slot change here.
#include "sas/active_active.h"

#include <cstring>

#include "config/host_port_tables.h"
#include "eventlog/event_log.h"
#include "executive/buffer_pages.h"
#include "executive/stop.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "enclosure/drive_rescan.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "partner/partner_messages.h"
#include "partner/partner_state.h"
#include "sas/ioc_events.h"
#include "sas/sas_device_list.h"
#include "sas/sas_discovery.h"
#include "sas/sas_drive.h"
#include "sas/sas_flags.h"
#include "sas/sas_scsi_path.h"
#include "sas/slot_phy_actions.h"

namespace fw {

namespace {

constexpr uint8_t EVENT_LEVEL_MISMATCH = 28;
constexpr uint8_t BUFFER_ID_ACTIVE_ACTIVE_LEVEL = 18;
constexpr uint8_t LEVEL_UNKNOWN_TO_PARTNER = 2;
constexpr uint8_t LEVEL_COMPARED_AT_START = 3;
constexpr uint8_t FETCH_TRIES = 3;
constexpr uint32_t TARGET_FLAG_RESET_PENDING = 0x02;
constexpr uint32_t TARGET_FLAGS_RECOVERING = 0x20 | 0x40;
constexpr uint16_t DEVICE_FLAG_HOLD_FOR_ERROR = 0x0020;
constexpr uint64_t PARTNER_CHECK_IDLE_MS = 60000;
constexpr uint64_t PARTNER_CHECK_AFTER_SLOT_CHANGE_MS = 120000;
constexpr uint32_t PARTNER_CHECK_HOST_HOLD_OFF_MS = 60000;
constexpr uint32_t PARTNER_CHECK_RESCAN_MS = 2000;
constexpr uint8_t PARTNER_HEARTBEAT_WINDOWS = 3;
// The partner pulses every other tick, about 500 a second: three steady
// windows of a healthy partner sum to about 1500.  A sum of about a
// thousand (a pulse every third tick) is the partner's drive side in
// recovery, its main loop slowed.
constexpr uint32_t RECOVERY_WINDOW_LOW = 901;
constexpr uint32_t RECOVERY_WINDOW_HIGH = 1099;
constexpr uint8_t SLOT_CHANGE_PARTNER_RECOVERY = 1;
constexpr uint64_t ENCLOSURE_PHYS_OFF_MS = 300000;
constexpr uint8_t DRIVE_SIDE_PHASE_IOC_RESTART = 2;

uint32_t s_dOwnLevel;
uint8_t s_bPartnerLevel;
uint8_t s_abHoldCount[256];
uint64_t s_lHostHoldOff;
uint64_t s_lRescanDeadline;
uint8_t s_fRescanArmed = FALSE;
uint64_t s_lPartnerCheck;
uint8_t s_fEnclosurePhysEnabled = TRUE;
uint64_t s_lEnclosurePhysStamp;
uint8_t s_fEnclosurePhyWork = FALSE;
uint8_t s_fSlotChangeArmed = FALSE;
uint8_t s_bSlotChangeSequence;
uint8_t s_fEnclosureAdded = FALSE;
uint8_t s_fNewSlotReset = FALSE;
uint8_t s_fRecoveryRescan = FALSE;
uint8_t s_fDiscoveryState = FALSE;

bool IsLevelCapable(uint32_t d) { return d == 2 || d == 4 || d == 8; }

// Holds are told to the partner only while both run and no restripe owns
// the drives.
bool AnnounceHolds() { return fIsDualControllerActive() == TRUE && fGetRetripeFlag() != TRUE; }

// The drive entry of a target that takes holds: a drive, listed.
SAS_DEVICE_ENTRY* psHoldable(uint8_t bTarget) {
    if (fIsSASTargetOfKind(bTarget, SAS_TARGET_KIND_DRIVE) != TRUE) return nullptr;
    SAS_DEVICE_ENTRY* ps = psGetSASDeviceOfTarget(bTarget);
    return ps != nullptr && ps->fValid == TRUE ? ps : nullptr;
}

void AnnounceHold(uint8_t bTarget, uint8_t f) {
    const SAS_DEVICE_ENTRY* ps = psGetSASDeviceOfTarget(bTarget);
    if (ps != nullptr) SendSasSlotHoldMessage(ps->bEnclosure, ps->bSlot, f);
}

// The target of the drive in a slot, 0xFF when none.
uint8_t TargetOfSlot(uint8_t bEnclosure, uint8_t bSlot) {
    const uint8_t bTarget = bGetTargetIdByEnclosureSlot(bEnclosure, bSlot);
    return bTarget != 0xFF && psHoldable(bTarget) != nullptr ? bTarget : 0xFF;
}

void PostMismatch(uint8_t fOwnShutdown) {
    CONTROLLER_INFO_RECORD s{};
    BuildControllerInfoRecord(&s);
    const uint8_t bIdentity = s.abNvramWwn[7];
    PostEvent(EVENT_LEVEL_MISMATCH, bIdentity, bIdentity, static_cast<uint8_t>(s_dOwnLevel), s_bPartnerLevel,
              fOwnShutdown);
}

uint8_t PartnerTarget() {
    for (uint8_t bPath = 1; bPath <= 2; ++bPath) {
        const SAS_PARTNER_PATH* ps = psGetSASPartnerPath(bPath);
        if (ps->bTargetId != 0xFF) return ps->bTargetId;
    }
    return 0xFF;
}

}  // namespace

// ---- levels -------------------------------------------------------------

// The bring-up stores the drive IOC's class-code-and-revision dword; only
// its revision byte counts.
void SetSASActiveActiveState(uint32_t dValue) { s_dOwnLevel = dValue & 0xFF; }
uint32_t dGetSASActiveActiveState() {
    s_dOwnLevel &= 0xFF;
    return s_dOwnLevel;
}
uint8_t fIsSASActiveActiveModeSet() { return ToFlag(IsLevelCapable(dGetSASActiveActiveState())); }
uint8_t bGetPartnerActiveActiveState() { return s_bPartnerLevel; }
void SetPartnerActiveActiveState(uint8_t b) { s_bPartnerLevel = b; }

uint8_t fFetchPartnerActiveActiveState() {
    const uint8_t bTarget = PartnerTarget();
    if (bTarget == 0xFF) return FALSE;
    BUFFER_HANDLE dPage = NULL_BUFFER_HANDLE;
    if (bAllocDataPages(0, 1, &dPage) != STATUS_OK) return FALSE;
    uint8_t abCdb[10] = {SCSI_READ_BUFFER, 0, BUFFER_ID_ACTIVE_ACTIVE_LEVEL};
    abCdb[7] = static_cast<uint8_t>(dGetSASActiveActiveState());
    // An answer shorter than the level word leaves the rest of it zero, not
    // what the page held before.
    std::memset(pBufferHandleToPointer(dPage), 0, sizeof(uint32_t));
    uint8_t bResult = 0, bStatus = 0, bKey = 0, bAsc = 0, bAscq = 0;
    for (uint8_t n = 0; n < FETCH_TRIES && bResult == 0; ++n) {
        bResult = bSendSCSICommandAndWait(bTarget, 0, abCdb, TRUE, 4, dPage, &bStatus, &bKey, &bAsc, &bAscq);
    }
    uint32_t dLevel = 0;
    std::memcpy(&dLevel, pBufferHandleToPointer(dPage), sizeof dLevel);
    // The page goes back on every road, not only with a level read.
    (void)wFreeDataPages(dPage, 1);
    if (bResult != STATUS_OK) return FALSE;
    if (bStatus == SCSI_STATUS_CHECK_CONDITION) {
        // A partner that does not know the request runs the older revision.
        if (bKey != SENSE_ILLEGAL_REQUEST || bAsc != 0x24 || bAscq != 0) return FALSE;
        dLevel = LEVEL_UNKNOWN_TO_PARTNER;
    }
    // No level in the answer (a partner whose drive IOC is not up, or an
    // empty answer): still unknown, so nothing is compared against it.
    if (static_cast<uint8_t>(dLevel) == 0) return FALSE;
    s_bPartnerLevel = static_cast<uint8_t>(dLevel);
    return TRUE;
}

// The page stays with the slot until its data has gone; the slot gives it
// back when the command ends.
uint8_t fSendActiveActiveStateToPartner(PARTNER_MESSAGE_SLOT* psSlot) {
    if (psSlot->wPageCount == 0) {
        BUFFER_HANDLE dPage = NULL_BUFFER_HANDLE;
        if (bAllocDataPages(0, 1, &dPage) != STATUS_OK) return FALSE;
        psSlot->dBuffer = dPage;
        psSlot->wPageCount = 1;
    }
    const uint32_t dLevel = dGetSASActiveActiveState();
    std::memcpy(pBufferHandleToPointer(psSlot->dBuffer), &dLevel, sizeof dLevel);
    return ToFlag(bSendDataToPartnerInitiator(psSlot, dBufferHandleToPciAddress(psSlot->dBuffer), sizeof dLevel,
                                              FALSE) == STATUS_OK);
}

void RecordPartnerActiveActiveState(uint8_t bLevel) {
    s_bPartnerLevel = bLevel;
    if (bLevel != dGetSASActiveActiveState()) PostMismatch(FALSE);
}

uint8_t fCheckActiveActiveMatch(uint8_t f) {
    const uint32_t dOwn = dGetSASActiveActiveState();
    if (s_bPartnerLevel == 0 || dOwn == 0 || (f != TRUE && f != FALSE)) return FALSE;
    if (s_bPartnerLevel == dOwn) return TRUE;
    if (s_bPartnerLevel != LEVEL_UNKNOWN_TO_PARTNER) return TRUE;
    const uint8_t fDual = fGetDualStartFlag() == TRUE ? TRUE : fIsDualControllerActive();
    if (fDual == TRUE || f == FALSE) {
        PostMismatch(FALSE);
        (void)fSendShutdownToPartner(0);
        return TRUE;
    }
    PostMismatch(TRUE);
    ShutdownController();
}

uint8_t fCheckSASActiveActiveSlot(uint8_t f) {
    if (f != TRUE && f != FALSE) return FALSE;
    if (fIsPartnerAlive() != TRUE || (fIsModelZ7Q2() != TRUE && fIsExpansionModelZ7Q2() != TRUE)) return FALSE;
    if (fFetchPartnerActiveActiveState() != TRUE) return FALSE;
    return fCheckActiveActiveMatch(f);
}

void UpdateSASActiveActiveState(uint8_t f) {
    if (dGetSASActiveActiveState() < LEVEL_COMPARED_AT_START || s_bPartnerLevel != 0) return;
    if (fCheckSASActiveActiveSlot(f) != TRUE && fGetDualStartFlag() == TRUE && f == FALSE) {
        (void)fFetchPartnerActiveActiveState();
    }
}

// ---- holds --------------------------------------------------------------

void HoldSASTarget(uint8_t bTarget) {
    if (psHoldable(bTarget) == nullptr) return;
    const uint32_t dFlags = dGetSASTargetFlags(bTarget);
    // Holds counted while the target's flags were cleared (its drive left
    // the list) belonged to that drive: counted on, the target would keep
    // "needs the drive" without ever asking for it, and refuse every
    // command to the drive now there.
    if (!(dFlags & SAS_AA_NEEDS_DRIVE)) s_abHoldCount[bTarget] = 0;
    if (s_abHoldCount[bTarget] == 0 && !(dFlags & SAS_AA_HAS_DRIVE)) {
        if (AnnounceHolds()) {
            // Marked before it goes: the answer may come back at once.
            SetSASTargetFlagBits(bTarget, SAS_AA_ASKED_PARTNER);
            if (!(dFlags & SAS_AA_ASKED_PARTNER)) AnnounceHold(bTarget, TRUE);
        } else {
            SetSASTargetFlagBits(bTarget, SAS_AA_HAS_DRIVE);
        }
    }
    if (s_abHoldCount[bTarget] != 0xFF) ++s_abHoldCount[bTarget];
    SetSASTargetFlagBits(bTarget, SAS_AA_NEEDS_DRIVE);
}

// A release counts whether or not the drive is still listed: the hold
// ended with the command that took it.
void ReleaseSASTarget(uint8_t bTarget) {
    if (s_abHoldCount[bTarget] != 0 && --s_abHoldCount[bTarget] != 0) return;
    if (AnnounceHolds()) AnnounceHold(bTarget, FALSE);
    ClearSASTargetFlagBits(bTarget, SAS_AA_HAS_DRIVE | SAS_AA_ASKED_PARTNER | SAS_AA_NEEDS_DRIVE);
}

// Both asking at once: controller 1 keeps the drive.
uint8_t fAnswerPartnerSlotHold(uint8_t bEnclosure, uint8_t bSlot, uint8_t f) {
    const uint8_t bTarget = TargetOfSlot(bEnclosure, bSlot);
    if (bTarget == 0xFF) return TRUE;
    if (f != TRUE) {
        ClearSASTargetFlagBits(bTarget, SAS_AA_PARTNER_HAS_DRIVE | SAS_AA_REFUSED_PARTNER);
        return TRUE;
    }
    const uint32_t dFlags = dGetSASTargetFlags(bTarget);
    if ((dFlags & SAS_AA_HAS_DRIVE) || ((dFlags & SAS_AA_ASKED_PARTNER) && bGetControllerNumber() == 1)) {
        SetSASTargetFlagBits(bTarget, SAS_AA_REFUSED_PARTNER);
        return FALSE;
    }
    SetSASTargetFlagBits(bTarget, SAS_AA_PARTNER_HAS_DRIVE);
    ClearSASTargetFlagBits(bTarget, SAS_AA_REFUSED_PARTNER);
    return TRUE;
}

void PartnerSlotHoldDone(uint8_t bEnclosure, uint8_t bSlot, uint8_t f, uint8_t bStatus) {
    const uint8_t bTarget = TargetOfSlot(bEnclosure, bSlot);
    if (bTarget == 0xFF) return;
    if (f != TRUE) {
        ClearSASTargetFlagBits(bTarget, SAS_AA_HAS_DRIVE);
        return;
    }
    ClearSASTargetFlagBits(bTarget, SAS_AA_ASKED_PARTNER | SAS_AA_PARTNER_HAS_DRIVE);
    if (bStatus != STATUS_OK && AnnounceHolds()) {
        SetSASTargetFlagBits(bTarget, SAS_AA_ASKED_PARTNER);
        AnnounceHold(bTarget, TRUE);
    } else {
        SetSASTargetFlagBits(bTarget, SAS_AA_HAS_DRIVE);
    }
}

uint8_t bGetSASTargetHoldCount(uint8_t bTarget) { return s_abHoldCount[bTarget]; }

uint8_t fIsSASTargetHeldForError(uint8_t bTarget) {
    if (fIsSASTargetOfKind(bTarget, SAS_TARGET_KIND_DRIVE) != TRUE) return FALSE;
    const SAS_DEVICE_ENTRY* ps = psGetSASDeviceOfTarget(bTarget);
    return ToFlag(ps != nullptr && (ps->wDeviceFlags & DEVICE_FLAG_HOLD_FOR_ERROR));
}

uint8_t fIsSASPathQuiet(uint8_t bTarget) {
    if (fIsSASTargetOfKind(bTarget, SAS_TARGET_KIND_DRIVE) != TRUE) return TRUE;
    if (lGetSASTargetHoldOff(bTarget) > lGetTickCount()) return TRUE;
    return ToFlag(dGetSASTargetFlags(bTarget) & (TARGET_FLAG_RESET_PENDING | TARGET_FLAGS_RECOVERING));
}

// The drive IOC revision that runs the drives' queues with the partner's
// in a way of its own.
uint8_t fIsSASActiveActiveState4() { return ToFlag(dGetSASActiveActiveState() == 4); }

// ---- timers and flags ---------------------------------------------------

uint8_t bGetSASHostHoldOffStatus() { return lGetTickCount() < s_lHostHoldOff ? SAS_HOST_HOLD_OFF_RUNNING : STATUS_OK; }
void SetSASHostHoldOff(uint32_t dMs) { s_lHostHoldOff = lGetTickCount() + dMs; }
void SetSASRescanDeadline(uint32_t dMs) { s_lRescanDeadline = lGetTickCount() + dMs; }
void SetSASRescanArmed(uint8_t f) { s_fRescanArmed = f; }
uint8_t fIsSASRescanArmed() { return s_fRescanArmed; }
void SetSASSlotChangeArmed(uint8_t f) { s_fSlotChangeArmed = f; }
uint8_t fIsSASSlotChangeArmed() { return s_fSlotChangeArmed; }
void SetSASSlotChangeSequence(uint8_t b) { s_bSlotChangeSequence = b; }
uint8_t bGetSASSlotChangeSequence() { return s_bSlotChangeSequence; }
void SetSASEnclosurePhyWork(uint8_t f) { s_fEnclosurePhyWork = f; }
uint8_t fGetSASEnclosurePhyWork() { return s_fEnclosurePhyWork; }
void SetSASEnclosurePhysEnabled(uint8_t f) { s_fEnclosurePhysEnabled = f; }
uint8_t fGetSASEnclosurePhysEnabled() { return s_fEnclosurePhysEnabled; }
void SetSASEnclosureAddedFlag(uint8_t f) { s_fEnclosureAdded = f; }
uint8_t fIsSASEnclosureAdded() { return s_fEnclosureAdded; }
void SetSASNewSlotResetFlag(uint8_t f) { s_fNewSlotReset = f; }
uint8_t fGetSASNewSlotResetFlag() { return s_fNewSlotReset; }
void SetSASRecoveryRescanFlag(uint8_t f) { s_fRecoveryRescan = f; }
uint8_t fGetSASRecoveryRescanFlag() { return s_fRecoveryRescan; }
void SetSASDiscoveryStateFlag(uint8_t f) { s_fDiscoveryState = f; }
uint8_t fGetSASDiscoveryStateFlag() { return s_fDiscoveryState; }

// The slot-change sequence: the hosts wait, and a rescan follows once the
// drive side has settled.
void ArmSASSlotChange(uint8_t bSequence, uint32_t dHostHoldOffMs) {
    SetSASSlotChangeSequence(bSequence);
    SetSASSlotChangeArmed(TRUE);
    SetSASHostHoldOff(dHostHoldOffMs);
    SetSASRescanArmed(TRUE);
    SetSASEnclosurePhyWork(TRUE);
    SetSASDiscoveryInProgress(FALSE);
}

// An enclosure came back: the device list build marks what it brought.
void ArmSASActiveActiveUpdate() { SetSASEnclosureAddedFlag(TRUE); }

// ---- the partner check and the enclosure-phy service ---------------------

void ApplyPartnerHeartbeatWindow(uint32_t dSum) {
    const uint64_t lNow = lGetTickCount();
    if (fIsSASIOCRestartRequested() == TRUE || fIsSASIOCRestartInProgress() == TRUE) {
        s_lPartnerCheck = lNow + PARTNER_CHECK_IDLE_MS;
        return;
    }
    if (dSum < RECOVERY_WINDOW_LOW || dSum > RECOVERY_WINDOW_HIGH) return;
    s_lPartnerCheck = lNow + PARTNER_CHECK_AFTER_SLOT_CHANGE_MS;
    ArmSASSlotChange(SLOT_CHANGE_PARTNER_RECOVERY, PARTNER_CHECK_HOST_HOLD_OFF_MS);
    SetSASRescanDeadline(PARTNER_CHECK_RESCAN_MS);
}

void PartnerActiveActiveCheck() {
    const uint64_t lNow = lGetTickCount();
    if (fIsDualControllerActive() != TRUE || fIsInitializationComplete() != TRUE) {
        s_lPartnerCheck = lNow + PARTNER_CHECK_IDLE_MS;
        return;
    }
    if (lNow < s_lPartnerCheck) return;
    uint32_t dSum = 0;
    if (fIsPartnerHeartbeatSteady(PARTNER_HEARTBEAT_WINDOWS, &dSum) != TRUE) return;
    ApplyPartnerHeartbeatWindow(dSum);
}

uint8_t fIsPartnerInRecoveryWindow() {
    uint32_t dSum = 0;
    if (fIsPartnerHeartbeatSteady(PARTNER_HEARTBEAT_WINDOWS, &dSum) != TRUE) return FALSE;
    if (fIsSASIOCRestartRequested() != TRUE && fIsSASIOCRestartInProgress() != TRUE) return FALSE;
    return ToFlag(dSum >= RECOVERY_WINDOW_LOW && dSum <= RECOVERY_WINDOW_HIGH);
}

void EnclosurePhyService() {
    const uint64_t lNow = lGetTickCount();
    bool fPending = false;
    if (s_fEnclosurePhysEnabled != TRUE) {
        fPending = true;
        if (s_fSlotChangeArmed == TRUE) {
            s_lEnclosurePhysStamp = lNow;
        } else if (lNow - s_lEnclosurePhysStamp >= ENCLOSURE_PHYS_OFF_MS) {
            SAS_EXPANDER_LIST* psList = pGetSASExpanderList();
            const uint8_t bEnclosure = psSASExpanderHeader(psList)->bExpanderCount != 0
                                           ? psList->asExpander[0].bEnclosure
                                           : 1;
            if (bEnclosureSlotPhyControl(bEnclosure, TRUE) == STATUS_OK) {
                s_fEnclosurePhysEnabled = TRUE;
                fPending = false;
            } else {
                s_lEnclosurePhysStamp = lNow;
            }
        }
    }
    if (s_fRescanArmed == TRUE) {
        if (lNow >= s_lRescanDeadline) {
            SetSasDiscoveryWork(TRUE);
            SetSASIOCRestartRequest(TRUE);
            SetSASDiscoveryInProgress(FALSE);
            // The drive side's phase as the time code reads it: an IOC
            // restart is coming, as discovery's own restart sets it.
            SetDriveSidePhaseByte(DRIVE_SIDE_PHASE_IOC_RESTART);
            s_fRescanArmed = FALSE;
            s_fSlotChangeArmed = FALSE;
            (void)fClearDriveRescanFlags();
        } else {
            fPending = true;
        }
    }
    if (!fPending) s_fEnclosurePhyWork = FALSE;
}

void DisableEnclosureEndDevicePhys(uint8_t bEnclosure) {
    (void)bEnclosureSlotPhyControl(bEnclosure, FALSE);
    s_fEnclosurePhysEnabled = FALSE;
    s_lEnclosurePhysStamp = lGetTickCount();
    s_fEnclosurePhyWork = TRUE;
}

void DisableEnclosure1EndDevicePhys() { DisableEnclosureEndDevicePhys(1); }

void InitSASActiveActive() {
    s_dOwnLevel = 0;
    s_bPartnerLevel = 0;
    std::memset(s_abHoldCount, 0, sizeof s_abHoldCount);
    s_lHostHoldOff = s_lRescanDeadline = s_lPartnerCheck = s_lEnclosurePhysStamp = 0;
    s_fRescanArmed = s_fSlotChangeArmed = s_fEnclosurePhyWork = FALSE;
    s_fEnclosurePhysEnabled = TRUE;
    s_bSlotChangeSequence = 0;
    s_fEnclosureAdded = s_fNewSlotReset = s_fRecoveryRescan = s_fDiscoveryState = FALSE;
}

}  // namespace fw
