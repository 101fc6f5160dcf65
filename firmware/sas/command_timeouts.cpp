// The drive-side command time-out scan: every background pass, the requests
// of the drive IOC whose deadline has passed.  Messages to the partner have
// their own scan (partner traffic); drive commands are judged here.
#include "sas/command_timeouts.h"

#include <cstring>

#include "eventlog/event_log.h"
#include "executive/interrupt_controller.h"
#include "executive/kernel_entry.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/work_flags.h"
#include "executive/types.h"
#include "hw/mpi.h"
#include "raid/drive_error_recovery.h"
#include "config/apply_settings.h"
#include "enclosure/drive_error_counters.h"
#include "partner/partner_link.h"
#include "sas/drive_ioc_bringup.h"
#include "sas/ioc_events.h"
#include "sas/sas_discovery.h"
#include "sas/slot_phy_actions.h"
#include "sas/smp.h"
#include "sas/mpi_interface.h"
#include "sas/partner_traffic.h"
#include "sas/sas_failback.h"
#include "sas/sas_device_list.h"
#include "sas/sas_drive.h"
#include "sas/sas_scsi_path.h"
#include "sas/write_collapse.h"
#include "target/host_command_codes.h"

namespace fw {

namespace {

constexpr uint8_t EVENT_DRIVE_OUT_OF_SERVICE = 14;
constexpr uint8_t EVENT_DRIVE_COMMAND_TIMEOUT = 40;
constexpr uint8_t EVENT_ENCLOSURE_COMMAND_TIMEOUT = 121;
constexpr uint8_t EVENT_SLOT_PHY_DISABLED = 173;
// Contexts of partner traffic: messages sent (bit 14) and received (bit 13).
constexpr uint32_t CONTEXT_PARTNER_BITS = 0x6000;
constexpr uint32_t CONTEXT_PARTNER_MESSAGE = 0x4000;
constexpr uint32_t CONTEXT_PARTNER_INCOMING = 0x2000;
constexpr uint64_t PARTNER_DEADLINE_EXTENSION_MS = 20000;
// Request flags that keep a request from timing out: already handled, high
// priority, a command buffer post, a recovery request.
constexpr uint8_t REQUEST_NEVER_TIMES_OUT = 0x01 | 0x02 | 0x04 | 0x10;
constexpr uint32_t TARGET_FLAG_UNDER_RESET = 0x02;
// What a task management request sets on its target until answered.
constexpr uint32_t TASK_MANAGEMENT_TARGET_BITS = 0x42;
constexpr uint8_t TASK_TARGET_RESET = 3;
constexpr uint64_t ERROR_GRACE_MS = 50000;       // a drive reporting errors gets its commands again
constexpr uint64_t REPEAT_WINDOW_MS = 60000;     // two time-outs this close take the drive out
constexpr uint64_t COUNT_DECAY_MS = 14400000;    // four hours without one: the count starts again
constexpr uint16_t TIMEOUT_LIMIT = 19;
constexpr uint16_t PHY_DISABLE_COUNT = 20;
constexpr uint64_t COUNT_DEBOUNCE_MS = 500;      // one fault seen twice is counted once
constexpr uint64_t RETRY_LATER_MS = 100;
constexpr uint64_t DISCOVERY_ERROR_QUIET_MS = 2000;
constexpr uint64_t DISCOVERY_WATCHDOG_MS = 30000;
constexpr uint8_t SLOT_CHANGE_DISCOVERY_STUCK = 2;
constexpr uint32_t SLOT_CHANGE_HOST_HOLD_OFF_MS = 60000;
// Enclosure (SES) commands: status, control and the element pages.
constexpr uint8_t COMMAND_TYPE_SES_STATUS = 0xD0;
constexpr uint8_t COMMAND_TYPE_SES_CONTROL = 0xD1;
constexpr uint8_t COMMAND_TYPE_SES_PAGE = 0xD3;
constexpr uint8_t ENCLOSURE_UNKNOWN = 0xFC;
constexpr uint8_t TARGET_NOT_ELIGIBLE = 0xEE;

struct TARGET_TIMEOUTS {
    uint16_t wCount;
    uint64_t lLast;
    bool fOutOfService;
    uint8_t abOutOfService[8];   // the address of the drive taken out
    bool fGone;                  // left the list, the id not given again
    uint16_t wGoneQueued;        // queued for a device that left, the id another's now
};

TARGET_TIMEOUTS s_asTarget[256];
uint16_t s_awEnclosureTimeouts[SAS_MAX_STP_ENTRIES];
uint64_t s_lLastDriveError;
uint64_t s_lHoldOffUntil;
uint64_t s_lLastScan;
uint32_t s_dTakenOut;       // drives taken out of service by this pass

struct DriveSideLock : InterruptSourceLock {
    DriveSideLock() : InterruptSourceLock(INT_SOURCE_DRIVE_SIDE) {}
};

bool InUse(const LSI_SAS_DRIVE_ADAPTER* a, uint16_t w) { return a->adInUse[w / 32] & (1u << (w % 32)); }

bool IsDriveCommand(const LSI_SAS_REQUEST_INFO& r) {
    const uint16_t wContext = static_cast<uint16_t>(r.dMsgContext);
    return (wContext & CONTEXT_PARTNER_BITS) == 0 && wContext != SAS_WAITED_ENTRY_INDEX &&
           wContext < KERNEL_ENTRY_COUNT && !(r.bFlags & LSI_REQUEST_TASK_MANAGEMENT);
}

// A task management request the IOC never answered (a drive that left
// answers nothing, not even its reset): its target takes commands again,
// or the refusal the request set would hold them for good.  A late answer
// is dropped.
void TaskManagementUnanswered(LSI_SAS_REQUEST_INFO& r) {
    r.bFlags |= LSI_REQUEST_ABORTED;
    r.lDeadline = 0;
    ClearSASTargetFlagBits(r.bTargetId, TASK_MANAGEMENT_TARGET_BITS);
    DecrementSASTaskManagementCount();
}

bool IsEnclosureCommand(const KERNEL_ENTRY* ps) {
    return ps->bCommandType == COMMAND_TYPE_SES_STATUS || ps->bCommandType == COMMAND_TYPE_SES_CONTROL ||
           ps->bCommandType == COMMAND_TYPE_SES_PAGE;
}

KERNEL_ENTRY* psEntryOf(const LSI_SAS_REQUEST_INFO& r) {
    KERNEL_ENTRY* ps = nullptr;
    (void)GetKernelEntryAddress(static_cast<uint16_t>(r.dMsgContext), &ps);
    if (ps == nullptr || ps->fUsed != TRUE || ps->bPortCode != PORT_CODE_INITIATOR || ps->bPrimaryState == PS_COMPLETED) {
        return nullptr;
    }
    return ps;
}

// The entry still waits on this frame (not re-posted to another since).
bool PostedOn(KERNEL_ENTRY* ps, uint16_t w) { return psSasFields(ps)->wRequestIndex == w; }

void PostTimeout(uint8_t bTarget, const KERNEL_ENTRY* ps, uint16_t wOutstanding) {
    uint8_t abAddress[8] = {};
    (void)bGetSASAddressOfTarget(abAddress, bTarget);
    PostEvent(EVENT_DRIVE_COMMAND_TIMEOUT, abAddress[0], abAddress[1], abAddress[2], abAddress[3], abAddress[4],
              abAddress[5], abAddress[6], abAddress[7], 0, ps->abCdb[0], bGetDriveIndexOfTarget(bTarget),
              static_cast<uint8_t>(wOutstanding > 0xFF ? 0xFF : wOutstanding));
}

// The count of a target's time-outs: it starts again after four quiet
// hours.  The device entry shows it.
void CountTimeout(uint8_t bTarget, uint64_t lNow) {
    TARGET_TIMEOUTS& t = s_asTarget[bTarget];
    if (t.lLast != 0 && lNow - t.lLast > COUNT_DECAY_MS) t.wCount = 0;
    if (t.wCount != 0xFFFF) ++t.wCount;
    t.lLast = lNow;
    if (SAS_DEVICE_ENTRY* ps = psGetSASDeviceOfTarget(bTarget)) ps->wTimeoutCount = t.wCount;
}

// Every command the target holds leaves it: the IOC's answer to its request,
// should one still come, is dropped.  Given up (the drive is out of
// service), or sent again; after the drive's first time-out, a host read
// whose member the others can stand in for is done again around it instead,
// so that it waits one time-out, not a reset and a second.
void TakeBackTargetCommands(uint8_t bTarget, bool fGiveUp, bool fTimedOut = false) {
    LSI_SAS_DRIVE_ADAPTER* a = psGetLSIAdapter(LSI_IOC_DRIVE);
    for (uint16_t w = 0; w < a->wRequestFrames; ++w) {
        LSI_SAS_REQUEST_INFO& r = a->asRequest[w];
        if (!InUse(a, w) || r.bTargetId != bTarget || !IsDriveCommand(r) || (r.bFlags & LSI_REQUEST_ABORTED)) {
            continue;
        }
        KERNEL_ENTRY* ps = psEntryOf(r);
        r.bFlags |= LSI_REQUEST_ABORTED;
        r.lDeadline = 0;
        if (ps == nullptr) continue;
        if (HasFlag(ps, KE_FLAG_WRITE_COLLAPSE)) {
            // Its batch fails and decides for all of its writes.
            IwcqWriteAnswered(ps, TRUE);
            continue;
        }
        if (fGiveUp) {
            DriveCommandErrorHandler(PORT_CODE_INITIATOR, DRIVE_STATUS_NO_STATUS, ps, nullptr, 0, TRUE, TRUE);
        } else if (!fTimedOut || fReadAroundSilentMember(ps) != TRUE) {
            RepostSASEntry(ps);
        }
    }
    ClearSASTargetCommandCount(bTarget, TRUE);
}

// One command given back to its queue (its abort went to the partner, which
// ends the request there): the rest of the target's commands stay.
void TakeBackOne(LSI_SAS_REQUEST_INFO& r, KERNEL_ENTRY* ps, uint8_t bTarget) {
    r.bFlags |= LSI_REQUEST_ABORTED;
    r.lDeadline = 0;
    CountSASTargetCommandDone(bTarget, TRUE);
    if (HasFlag(ps, KE_FLAG_WRITE_COLLAPSE)) {
        IwcqWriteAnswered(ps, TRUE);
    } else {
        RepostSASEntry(ps);
    }
}

// ABORT TASK for a request to a drive reached through the partner, sent to
// the partner's port the command went to: that is where the task is.
uint8_t bAbortThroughPartner(const LSI_SAS_REQUEST_INFO& r, uint16_t w, KERNEL_ENTRY* psEntry) {
    const uint8_t bRoute = psSasFields(psEntry)->bPartnerTargetId;
    if (bRoute == 0xFF) return TARGET_NOT_ELIGIBLE;
    return bSendSASAbortTask(bRoute, w, static_cast<uint16_t>(r.dMsgContext));
}

// The drive is out: its entry goes from the list, its slot is marked and
// every command it holds fails, so the arrays go on without it.
void TakeOutOfService(uint8_t bTarget, KERNEL_ENTRY* psEntry) {
    uint8_t abAddress[8] = {};
    (void)bGetSASAddressOfTarget(abAddress, bTarget);
    TARGET_TIMEOUTS& t = s_asTarget[bTarget];
    t.fOutOfService = true;
    std::memcpy(t.abOutOfService, abAddress, sizeof abAddress);
    if (SAS_DEVICE_ENTRY* ps = psGetSASDeviceOfTarget(bTarget)) MarkSASSlotOutOfService(ps->bEnclosure, ps->bSlot);
    const uint8_t bPosition = bGetDriveIndexOfTarget(bTarget);
    PostEvent(EVENT_DRIVE_OUT_OF_SERVICE, abAddress[0], abAddress[1], abAddress[2], abAddress[3], abAddress[4],
              abAddress[5], abAddress[6], abAddress[7], psSasFields(psEntry)->bScsiStatus, psSasFields(psEntry)->bSenseKey,
              bPosition);
    TakeBackTargetCommands(bTarget, true);
    ++s_dTakenOut;
}

// An enclosure command that was not answered.  FALSE when the request
// must wait for a frame.
uint8_t bEnclosureTimeout(LSI_SAS_REQUEST_INFO& r, uint16_t w, KERNEL_ENTRY* ps, uint8_t bTarget) {
    const bool fProxy = bTarget >= SAS_PROXY_TARGET_BIT;
    const bool fPostedHere = PostedOn(ps, w);
    // A processor reached here is reset at each time-out: only the reset
    // gets the IOC to let go of a request the processor never answers.
    const uint8_t b = fProxy ? bAbortThroughPartner(r, w, ps)
                             : bSendSASTaskManagement(bTarget, 0, TASK_TARGET_RESET, 0);
    if (b != STATUS_OK) return b;
    uint8_t bEnclosure = ENCLOSURE_UNKNOWN;
    uint8_t abAddress[8] = {};
    const SAS_DEVICE_LIST* psList = pGetSASDriveInfoList();
    for (uint8_t i = 0; i < psList->bStpCount && i < SAS_MAX_STP_ENTRIES; ++i) {
        const SAS_STP_ENTRY* psStp = reinterpret_cast<const SAS_STP_ENTRY*>(psList->aabStp[i]);
        if (psStp->bTargetId != bTarget) continue;
        if (s_awEnclosureTimeouts[i] != 0xFFFF) ++s_awEnclosureTimeouts[i];
        bEnclosure = psStp->bEnclosure;
        std::memcpy(abAddress, psStp->abSASAddressBE, sizeof abAddress);
        break;
    }
    PostEvent(EVENT_ENCLOSURE_COMMAND_TIMEOUT, abAddress[0], abAddress[1], abAddress[2], abAddress[3], abAddress[4],
              abAddress[5], abAddress[6], abAddress[7], 0, ps->abCdb[0], bEnclosure);
    if (!fPostedHere) {
        r.bFlags |= LSI_REQUEST_ABORTED;
        return STATUS_OK;
    }
    if (!HasFlag(ps, KE_FLAG_TIMED_OUT_ONCE)) {
        SetFlag(ps, KE_FLAG_TIMED_OUT_ONCE);
        r.bFlags |= LSI_REQUEST_ABORTED;
        r.lDeadline = 0;
        CountSASTargetCommandDone(bTarget, TRUE);
        RepostSASEntry(ps);
        return STATUS_OK;
    }
    // Unanswered twice: the processor's commands fail, this one with them
    // (still unmarked, so that the walk ends it for its issuer).
    TakeBackTargetCommands(bTarget, true);
    return STATUS_OK;
}

// A drive command that was not answered.
uint8_t bDriveTimeout(LSI_SAS_REQUEST_INFO& r, uint16_t w, KERNEL_ENTRY* ps, uint8_t bTarget, uint64_t lNow) {
    const bool fProxy = bTarget >= SAS_PROXY_TARGET_BIT;
    const bool fPostedHere = PostedOn(ps, w);
    // A drive reached here is reset before it is judged; one reached
    // through the partner has the command aborted there.
    const uint8_t b = fProxy ? bAbortThroughPartner(r, w, ps)
                      : fPostedHere ? bSendSASTaskManagement(bTarget, 0, TASK_TARGET_RESET, 0)
                                    : STATUS_OK;
    if (b != STATUS_OK) return b;
    uint8_t bEnclosure = 0, bSlot = 0;
    if (bGetEnclosureSlotOfTarget(bTarget, &bEnclosure, &bSlot) == STATUS_OK) {
        IncrementDriveErrorCounter(ERROR_KIND_TIMEOUT, bEnclosure, bSlot);
    }
    PostTimeout(bTarget, ps, wGetSASTargetCommandCount(bTarget, TRUE));
    const TARGET_TIMEOUTS& t = s_asTarget[bTarget];
    const bool fDrive = fIsSASTargetOfKind(bTarget, SAS_TARGET_KIND_DRIVE) == TRUE;
    if (!fPostedHere) {
        r.bFlags |= LSI_REQUEST_ABORTED;
        r.lDeadline = 0;
        if (fDrive) CountTimeout(bTarget, lNow);
        return STATUS_OK;
    }
    // A drive that reports errors is slow for a reason: its commands go
    // again rather than the drive out.  One that keeps timing out is taken
    // out all the same: another drive's errors must not keep it in.
    const bool fErrorsRecent = s_lLastDriveError != 0 && lNow - s_lLastDriveError < ERROR_GRACE_MS;
    const bool fOut = t.wCount > TIMEOUT_LIMIT ||
                      (!fErrorsRecent && (HasFlag(ps, KE_FLAG_TIMED_OUT_ONCE) ||
                                          (!fProxy && t.lLast != 0 && lNow - t.lLast <= REPEAT_WINDOW_MS)));
    if (fDrive) CountTimeout(bTarget, lNow);
    if (fOut) {
        TakeOutOfService(bTarget, ps);
        if (fProxy) r.bFlags |= LSI_REQUEST_ABORTED;
        return STATUS_OK;
    }
    if (!fErrorsRecent) SetFlag(ps, KE_FLAG_TIMED_OUT_ONCE);
    if (fProxy) {
        TakeBackOne(r, ps, bTarget);
        return STATUS_OK;
    }
    if (fIsDualControllerActive() == TRUE) {
        if (const SAS_DEVICE_ENTRY* psDevice = psGetSASDeviceOfTarget(bTarget)) {
            SendSasDriveMessage213(psDevice->bEnclosure, psDevice->bSlot, 3, 0);
        }
    }
    TakeBackTargetCommands(bTarget, false, true);
    return STATUS_OK;
}

// One request past its deadline.  FALSE when the scan must stop for now
// (no frame for the reset or the abort).
bool HandleTimeout(LSI_SAS_REQUEST_INFO& r, uint16_t w, uint64_t lNow) {
    const uint8_t bTarget = r.bTargetId;
    KERNEL_ENTRY* ps = psEntryOf(r);
    if (ps == nullptr) {
        r.lDeadline = 0;
        return true;
    }
    const uint8_t bStatus = IsEnclosureCommand(ps) ? bEnclosureTimeout(r, w, ps, bTarget)
                                                   : bDriveTimeout(r, w, ps, bTarget, lNow);
    if (bStatus == STATUS_OK) return true;
    // Tried again shortly; with no frame at all the whole scan waits.
    r.lDeadline = lNow + RETRY_LATER_MS;
    if (bStatus != STATUS_RETRY) return true;
    s_lHoldOffUntil = lNow + RETRY_LATER_MS;
    return false;
}

// Discovery that started and never ended: the IOC is restarted.
void DiscoveryWatchdog(uint64_t lNow) {
    if (fIsSASDiscoveryInProgress() != TRUE || lNow - lGetSASDiscoveryStartTick() <= DISCOVERY_WATCHDOG_MS ||
        fIsSASIOCRestartRequested() == TRUE || fIsSASRescanArmed() == TRUE ||
        fIsOnlyExpansionActivityRecent(1) != TRUE) {
        return;
    }
    if (fIsDualControllerActive() == TRUE) {
        // With a partner the slot-change sequence looks again, holding the
        // hosts off meanwhile.
        SetSASDiscoveryInProgress(FALSE);
        SetDriveSidePhaseByte(3);
        ArmSASSlotChange(SLOT_CHANGE_DISCOVERY_STUCK, SLOT_CHANGE_HOST_HOLD_OFF_MS);
        return;
    }
    SetSasDiscoveryWork(TRUE);
    SetSASIOCRestartRequest(TRUE);
    SetSASIOCRestartInProgress(TRUE);
}

// Drives taken out: the partner learns the list without them and the
// configuration is applied again.
void AfterDrivesTakenOut() {
    if (s_dTakenOut == 0) return;
    s_dTakenOut = 0;
    if (fIsDualControllerActive() == TRUE) (void)bSendSasPhyMessage157(FALSE);
    SetConfigApplyOption(TRUE);
    (void)ApplyStoredSettings(FALSE, FALSE);
}

}  // namespace

void RepostSASTargetCommands(uint8_t bTarget) { TakeBackTargetCommands(bTarget, false); }

void EndGoneSASTargetCommands(uint8_t bTarget) {
    DriveSideLock sLock;
    TakeBackTargetCommands(bTarget, true);
}

void MarkSASDriveCommandError() { s_lLastDriveError = lGetTickCount(); }

uint8_t fIsSASTargetOutOfService(uint8_t bTarget) {
    const TARGET_TIMEOUTS& t = s_asTarget[bTarget];
    if (!t.fOutOfService) return FALSE;
    uint8_t abAddress[8] = {};
    (void)bGetSASAddressOfTarget(abAddress, bTarget);
    return ToFlag(std::memcmp(abAddress, t.abOutOfService, sizeof abAddress) == 0);
}

void SetSASTargetGone(uint8_t bTarget, uint8_t f) { s_asTarget[bTarget].fGone = f == TRUE; }
uint8_t fIsSASTargetGone(uint8_t bTarget) { return ToFlag(s_asTarget[bTarget].fGone); }

void MarkSASTargetQueueGone(uint8_t bTarget) {
    uint16_t wQueued = 0;
    for (uint16_t w = 0; w < KERNEL_ENTRY_COUNT; ++w) {
        KERNEL_ENTRY* ps = nullptr;
        (void)GetKernelEntryAddress(w, &ps);
        if (ps != nullptr && ps->fUsed == TRUE && ps->bPortCode == PORT_CODE_INITIATOR && ps->wTargetId == bTarget &&
            ps->bPrimaryState == PS_NEW_COMMAND) {
            ++wQueued;
        }
    }
    s_asTarget[bTarget].wGoneQueued = wQueued;
}

uint8_t fTakeSASQueuedCommandGone(uint8_t bTarget) {
    TARGET_TIMEOUTS& t = s_asTarget[bTarget];
    if (t.wGoneQueued == 0) return FALSE;
    --t.wGoneQueued;
    return TRUE;
}

uint16_t wGetSASDriveTimeoutCount(uint8_t bTarget) { return s_asTarget[bTarget].wCount; }
uint16_t wGetSASEnclosureTimeoutCount(uint8_t bStpIndex) {
    return bStpIndex < SAS_MAX_STP_ENTRIES ? s_awEnclosureTimeouts[bStpIndex] : 0;
}

uint8_t bCountSASDriveTimeout(uint8_t bTarget) {
    SAS_DEVICE_ENTRY* ps = psGetSASDeviceOfTarget(bTarget);
    if (ps == nullptr) return 0;
    const uint64_t lNow = lGetTickCount();
    TARGET_TIMEOUTS& t = s_asTarget[bTarget];
    if (t.lLast != 0 && lNow - t.lLast < COUNT_DEBOUNCE_MS) return STATUS_OK;
    IncrementDriveErrorCounter(ERROR_KIND_DRIVE_PATH, ps->bEnclosure, ps->bSlot);
    CountTimeout(bTarget, lNow);
    uint8_t bExpander = 0, bPhy = 0;
    if (t.wCount == PHY_DISABLE_COUNT &&
        bFindExpanderPhyOfEnclosureSlot(ps->bEnclosure, ps->bSlot, &bExpander, &bPhy) == STATUS_OK &&
        bExpander < SAS_MAX_EXPANDERS && bPhy < SAS_EXPANDER_PHYS) {
        // It keeps failing: the slot's phy goes off and stays off until
        // another drive is put in the slot.
        HoldSlotPhyForTimeouts(bExpander, bPhy, ps->abWWN);
        DisableSlotExpanderPhy(ps->bEnclosure, ps->bSlot);
        PostEvent(EVENT_SLOT_PHY_DISABLED, ps->abWWN[0], ps->abWWN[1], ps->abWWN[2], ps->abWWN[3], ps->abWWN[4],
                  ps->abWWN[5], ps->abWWN[6], ps->abWWN[7], bGetDriveIndexFromEnclosureSlot(ps->bEnclosure, ps->bSlot),
                  2);
    }
    return STATUS_OK;
}

void SASCommandTimeoutScan() {
    LSI_SAS_DRIVE_ADAPTER* a = psGetLSIAdapter(LSI_IOC_DRIVE);
    const uint64_t lNow = lGetTickCount();
    if (lNow < s_lHoldOffUntil) return;
    DiscoveryWatchdog(lNow);
    // The topology is unsettled after a discovery error: answers that are
    // late now are the fault's, not the drives'.
    const uint64_t lError = lGetSASDiscoveryErrorTick();
    if (lError != 0 && lNow - lError < DISCOVERY_ERROR_QUIET_MS) return;
    // The partner's failback held its answers: messages to it get a full
    // deadline again rather than time out on it.
    if (fTakeSASExtendPartnerDeadlines() == TRUE && a != nullptr) {
        const uint64_t lExtended = lNow + PARTNER_DEADLINE_EXTENSION_MS;
        DriveSideLock sLock;
        for (uint16_t w = 0; w < a->wRequestFrames; ++w) {
            LSI_SAS_REQUEST_INFO& r = a->asRequest[w];
            if (InUse(a, w) && (r.dMsgContext & CONTEXT_PARTNER_MESSAGE)) r.lDeadline = lExtended;
        }
    }
    ScanPartnerMessageTimeouts();
    if (a == nullptr || a->wRequestsInUse == 0) return;
    // Deadlines are whole milliseconds: one walk of the frames per
    // millisecond sees every one of them pass.
    if (lNow == s_lLastScan) return;
    s_lLastScan = lNow;
    {
        DriveSideLock sLock;
        for (uint16_t w = 0; w < a->wRequestFrames; ++w) {
            LSI_SAS_REQUEST_INFO& r = a->asRequest[w];
            if (!InUse(a, w) || r.lDeadline == 0 || r.lDeadline > lNow) continue;
            if (r.bFlags & REQUEST_NEVER_TIMES_OUT) {
                r.lDeadline = 0;
                continue;
            }
            // A slot the partner sends on has no answer to wait for.
            if ((r.dMsgContext & CONTEXT_PARTNER_BITS) == CONTEXT_PARTNER_INCOMING) {
                r.lDeadline = 0;
                continue;
            }
            if (r.bFlags & LSI_REQUEST_TASK_MANAGEMENT) {
                TaskManagementUnanswered(r);
                continue;
            }
            if (!IsDriveCommand(r) || (dGetSASTargetFlags(r.bTargetId) & TARGET_FLAG_UNDER_RESET)) continue;
            if (!HandleTimeout(r, w, lNow)) break;
        }
    }
    AfterDrivesTakenOut();
}

void InitSASCommandTimeouts() {
    std::memset(s_asTarget, 0, sizeof s_asTarget);
    std::memset(s_awEnclosureTimeouts, 0, sizeof s_awEnclosureTimeouts);
    s_lLastDriveError = 0;
    s_lHoldOffUntil = 0;
    s_lLastScan = 0;
    s_dTakenOut = 0;
}

}  // namespace fw
