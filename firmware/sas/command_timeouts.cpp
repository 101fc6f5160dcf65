// The drive-side command time-out scan: every background pass, the requests
// of the drive IOC whose deadline has passed.  Messages to the partner have
// their own scan (partner traffic); drive commands are judged here.
#include "sas/command_timeouts.h"

#include <cstring>

#include "eventlog/event_log.h"
#include "executive/interrupt_controller.h"
#include "executive/kernel_entry.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "hw/mpi.h"
#include "raid/drive_error_recovery.h"
#include "sas/drive_ioc_bringup.h"
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
// Contexts of partner traffic: messages sent (bit 14) and received (bit 13).
constexpr uint32_t CONTEXT_PARTNER_BITS = 0x6000;
constexpr uint32_t CONTEXT_PARTNER_MESSAGE = 0x4000;
constexpr uint64_t PARTNER_DEADLINE_EXTENSION_MS = 20000;
// Request flags that keep a request from timing out: already handled, high
// priority, a command buffer post, a recovery request.
constexpr uint8_t REQUEST_NEVER_TIMES_OUT = 0x01 | 0x02 | 0x04 | 0x10;
constexpr uint32_t TARGET_FLAG_UNDER_RESET = 0x02;
constexpr uint8_t TASK_TARGET_RESET = 3;
constexpr uint64_t ERROR_GRACE_MS = 50000;       // a drive reporting errors gets its commands again
constexpr uint64_t REPEAT_WINDOW_MS = 60000;     // two time-outs this close take the drive out
constexpr uint64_t COUNT_DECAY_MS = 14400000;    // four hours without one: the count starts again
constexpr uint16_t TIMEOUT_LIMIT = 19;
constexpr uint64_t RETRY_LATER_MS = 100;

struct TARGET_TIMEOUTS {
    uint16_t wCount;
    uint64_t lLast;
    bool fOutOfService;
    uint8_t abOutOfService[8];   // the address of the drive taken out
};

TARGET_TIMEOUTS s_asTarget[256];
uint64_t s_lLastDriveError;
uint64_t s_lHoldOffUntil;
uint64_t s_lLastScan;

struct DriveSideLock : InterruptSourceLock {
    DriveSideLock() : InterruptSourceLock(INT_SOURCE_DRIVE_SIDE) {}
};

bool IsDriveCommand(const LSI_SAS_REQUEST_INFO& r) {
    const uint16_t wContext = static_cast<uint16_t>(r.dMsgContext);
    return (wContext & CONTEXT_PARTNER_BITS) == 0 && wContext != SAS_WAITED_ENTRY_INDEX &&
           wContext < KERNEL_ENTRY_COUNT;
}

KERNEL_ENTRY* psEntryOf(const LSI_SAS_REQUEST_INFO& r) {
    KERNEL_ENTRY* ps = nullptr;
    (void)GetKernelEntryAddress(static_cast<uint16_t>(r.dMsgContext), &ps);
    if (ps == nullptr || ps->fUsed != TRUE || ps->bPortCode != PORT_CODE_INITIATOR || ps->bPrimaryState == PS_COMPLETED) {
        return nullptr;
    }
    return ps;
}

void PostTimeout(uint8_t bTarget, const KERNEL_ENTRY* ps, uint16_t wOutstanding) {
    uint8_t abAddress[8] = {};
    (void)bGetSASAddressOfTarget(abAddress, bTarget);
    PostEvent(EVENT_DRIVE_COMMAND_TIMEOUT, abAddress[0], abAddress[1], abAddress[2], abAddress[3], abAddress[4],
              abAddress[5], abAddress[6], abAddress[7], 0, ps->abCdb[0], bGetDriveIndexOfTarget(bTarget),
              static_cast<uint8_t>(wOutstanding > 0xFF ? 0xFF : wOutstanding));
}

// Every command the target holds leaves it: the IOC's answer to its request,
// should one still come, is dropped.  Given up (the drive is out of
// service), or sent again.
void TakeBackTargetCommands(uint8_t bTarget, bool fGiveUp) {
    LSI_SAS_DRIVE_ADAPTER* a = psGetLSIAdapter(LSI_IOC_DRIVE);
    for (uint16_t w = 0; w < a->wRequestFrames; ++w) {
        LSI_SAS_REQUEST_INFO& r = a->asRequest[w];
        if (!(a->adInUse[w / 32] & (1u << (w % 32))) || r.bTargetId != bTarget || !IsDriveCommand(r) ||
            (r.bFlags & LSI_REQUEST_ABORTED)) {
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
        } else {
            RepostSASEntry(ps);
        }
    }
    ClearSASTargetCommandCount(bTarget, TRUE);
}

// One request past its deadline.  FALSE when the scan must stop for now
// (no frame for the reset).
bool HandleTimeout(LSI_SAS_REQUEST_INFO& r, uint64_t lNow) {
    const uint8_t bTarget = r.bTargetId;
    KERNEL_ENTRY* ps = psEntryOf(r);
    if (ps == nullptr) {
        r.lDeadline = 0;
        return true;
    }
    TARGET_TIMEOUTS& t = s_asTarget[bTarget];
    PostTimeout(bTarget, ps, wGetSASTargetCommandCount(bTarget, TRUE));
    const bool fErrorsRecent = s_lLastDriveError != 0 && lNow - s_lLastDriveError < ERROR_GRACE_MS;
    const bool fOutOfService =
        !fErrorsRecent && (HasFlag(ps, KE_FLAG_TIMED_OUT_ONCE) || t.wCount > TIMEOUT_LIMIT ||
                           (t.lLast != 0 && lNow - t.lLast <= REPEAT_WINDOW_MS));
    if (t.lLast != 0 && lNow - t.lLast > COUNT_DECAY_MS) t.wCount = 0;
    ++t.wCount;
    t.lLast = lNow;
    if (bSendSASTaskManagement(bTarget, 0, TASK_TARGET_RESET, 0) != STATUS_OK) {
        r.lDeadline = lNow + RETRY_LATER_MS;
        s_lHoldOffUntil = lNow + RETRY_LATER_MS;
        return false;
    }
    if (fOutOfService) {
        uint8_t abAddress[8] = {};
        (void)bGetSASAddressOfTarget(abAddress, bTarget);
        PostEvent(EVENT_DRIVE_OUT_OF_SERVICE, abAddress[0], abAddress[1], abAddress[2], abAddress[3], abAddress[4],
                  abAddress[5], abAddress[6], abAddress[7], 0, 0, bGetDriveIndexOfTarget(bTarget));
        t.fOutOfService = true;
        std::memcpy(t.abOutOfService, abAddress, sizeof abAddress);
        TakeBackTargetCommands(bTarget, true);
        return true;
    }
    if (!fErrorsRecent) SetFlag(ps, KE_FLAG_TIMED_OUT_ONCE);
    TakeBackTargetCommands(bTarget, false);
    return true;
}

}  // namespace

void MarkSASDriveCommandError() { s_lLastDriveError = lGetTickCount(); }

uint8_t fIsSASTargetOutOfService(uint8_t bTarget) {
    const TARGET_TIMEOUTS& t = s_asTarget[bTarget];
    if (!t.fOutOfService) return FALSE;
    uint8_t abAddress[8] = {};
    (void)bGetSASAddressOfTarget(abAddress, bTarget);
    return ToFlag(std::memcmp(abAddress, t.abOutOfService, sizeof abAddress) == 0);
}

uint16_t wGetSASDriveTimeoutCount(uint8_t bTarget) { return s_asTarget[bTarget].wCount; }

void SASCommandTimeoutScan() {
    LSI_SAS_DRIVE_ADAPTER* a = psGetLSIAdapter(LSI_IOC_DRIVE);
    // The partner's failback held its answers: messages to it get a full
    // deadline again rather than time out on it.
    if (fTakeSASExtendPartnerDeadlines() == TRUE && a != nullptr) {
        const uint64_t lExtended = lGetTickCount() + PARTNER_DEADLINE_EXTENSION_MS;
        DriveSideLock sLock;
        for (uint16_t w = 0; w < a->wRequestFrames; ++w) {
            LSI_SAS_REQUEST_INFO& r = a->asRequest[w];
            if ((a->adInUse[w / 32] & (1u << (w % 32))) && (r.dMsgContext & CONTEXT_PARTNER_MESSAGE)) {
                r.lDeadline = lExtended;
            }
        }
    }
    ScanPartnerMessageTimeouts();
    if (a == nullptr || a->wRequestsInUse == 0) return;
    const uint64_t lNow = lGetTickCount();
    // Deadlines are whole milliseconds: one walk of the frames per
    // millisecond sees every one of them pass.
    if (lNow < s_lHoldOffUntil || lNow == s_lLastScan) return;
    s_lLastScan = lNow;
    DriveSideLock sLock;
    for (uint16_t w = 0; w < a->wRequestFrames; ++w) {
        LSI_SAS_REQUEST_INFO& r = a->asRequest[w];
        if (!(a->adInUse[w / 32] & (1u << (w % 32))) || r.lDeadline == 0 || r.lDeadline > lNow || !IsDriveCommand(r)) {
            continue;
        }
        if (r.bFlags & REQUEST_NEVER_TIMES_OUT) {
            r.lDeadline = 0;
            continue;
        }
        if (r.bTargetId >= SAS_PROXY_TARGET_BIT || (dGetSASTargetFlags(r.bTargetId) & TARGET_FLAG_UNDER_RESET)) continue;
        if (!HandleTimeout(r, lNow)) return;
    }
}

}  // namespace fw
