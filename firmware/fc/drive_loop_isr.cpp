#include "fc/drive_loop_isr.h"

#include <cstring>

#include "cache/nvram_journal.h"
#include "config/config_phase.h"
#include "config/drive_loop_tables.h"
#include "config/rank_table.h"
#include "console/console_menu.h"
#include "enclosure/drive_management.h"
#include "eventlog/event_log.h"
#include "eventlog/time_logs.h"
#include "executive/interrupt_controller.h"
#include "executive/interrupt_dispatch.h"
#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "executive/stop.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "fc/drive_loop_watch.h"
#include "fc/loop_health.h"
#include "fc/loop_maps.h"
#include "fc/ql_chip.h"
#include "fc/ql_host_events.h"
#include "fc/ql_mailbox_commands.h"
#include "fc/ql_rings.h"
#include "fc/ql_target_entries.h"
#include "hw/isp_fc.h"
#include "partner/partner_messages.h"
#include "raid/drive_error_recovery.h"
#include "sas/sas_scsi_path.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"

namespace fw {

namespace {

constexpr uint32_t HEARTBEAT_UNIT_COUNTS = 400;
constexpr uint32_t HEARTBEAT_UNITS = 800;
constexpr uint8_t FAULT_DRIVE_CHIP = 5;
constexpr uint8_t EVENT_DRIVE_LIP = 33;
constexpr uint8_t EVENT_DRIVE_LOOP_UP = 34;
constexpr uint8_t EVENT_DRIVE_LOOP_DOWN = 35;
constexpr uint8_t EVENT_DRIVE_UNDERRUN = 59;
constexpr uint32_t PROBE_HANDLE = 0xFFFFFC00;
constexpr uint64_t LIP_RESET_RECENT_MS = 3000;
constexpr uint32_t UNDERRUN_WINDOW_TICKS = 120;

// Status entry (type 0x03) as the chip writes it.
constexpr uint32_t ST_TAG = 2;
constexpr uint32_t ST_HANDLE = 4;
constexpr uint32_t ST_SCSI_STATUS = 8;
constexpr uint32_t ST_COMPLETION = 10;
constexpr uint32_t ST_SENSE = 32;
constexpr uint8_t ST_SENSE_BYTES = 18;
constexpr uint32_t ST_SENSE_KEY = 34;
constexpr uint32_t ST_ASC = 44;
constexpr uint32_t ST_ASCQ = 45;

// Completion statuses.
constexpr uint16_t CS_DMA_ERROR = 2;
constexpr uint16_t CS_RESET = 4;
constexpr uint16_t CS_TIMEOUT = 6;
constexpr uint16_t CS_DATA_UNDERRUN = 0x15;
constexpr uint8_t SCSI_STATUS_CONDITION_MET = 0x10;
constexpr uint8_t DEVICE_STATE_TIMED_OUT = 0x67;

// Entry types on a drive chip's response ring.
constexpr uint8_t ENTRY_PARTNER_COMMAND = 0x16;
constexpr uint8_t ENTRY_CTIO2_DONE = 0x17;
constexpr uint8_t ENTRY_IMMEDIATE_NOTIFY = 0x0D;
constexpr uint8_t ENTRY_ENABLE_LUN = 0x0B;
constexpr uint16_t CTIO_STATUS_COMPLETE = 1;

// Primary states of partner traffic carried by a drive loop.
constexpr uint8_t PS_PARTNER_MESSAGE = 'q';
constexpr uint8_t PS_PARTNER_REPLY = 'r';
constexpr uint8_t PS_DRIVE_NOTIFY = 0x90;
constexpr uint8_t COMMAND_TYPE_RAW = 'z';
constexpr uint8_t COMMAND_TYPE_RAW_2 = 0x80;
constexpr uint8_t COMMAND_TYPE_PASS_THROUGH = 7;
constexpr uint8_t RANK_NONE = 0xFF;
constexpr uint8_t RANK_INTERNAL = 0xF5;
constexpr uint64_t KE_FLAG_DRIVE_TIMED_OUT = 1ull << 5;

struct DRIVE_LOOP_LINK {
    uint8_t fLoopUp;
    uint8_t fLipFlag;
    uint8_t fLipReset;
    uint8_t fReady;
    uint8_t fBringUp;
    uint16_t wLipCount;
    uint64_t lLipResetMs;
    uint32_t dUnderrunTick;
};

DRIVE_LOOP_LINK s_asLoop[2];
uint8_t s_fDriveIsrActive = FALSE;
uint8_t s_fHeartbeatInInterrupt = FALSE;
uint32_t s_dBadInPointers = 0;
uint32_t s_dBadHandles = 0;

// Chip 3 is loop 1, chip 4 loop 2; another number reads loop 2.
DRIVE_LOOP_LINK& Loop(uint8_t bChip) { return s_asLoop[bChip == 3 ? 0 : 1]; }
bool IsDriveChip(uint8_t bChip) { return bChip == 3 || bChip == 4; }
uint8_t bLoopNumber(uint8_t bChip) { return bChip == 3 ? 1 : 2; }

uint16_t wGet16(const uint8_t* pb, uint32_t dOffset) { return static_cast<uint16_t>(pb[dOffset] | pb[dOffset + 1] << 8); }
uint32_t dGet32(const uint8_t* pb, uint32_t dOffset) {
    uint32_t d;
    std::memcpy(&d, pb + dOffset, 4);
    return d;
}

KERNEL_ENTRY* psEntryOfHandle(uint32_t dHandle) {
    KERNEL_ENTRY* ps = psKernelEntryOfHandle(dHandle);
    if (ps == nullptr) ++s_dBadHandles;
    return ps;
}

void Complete(uint8_t bChip, KERNEL_ENTRY* ps) {
    ps->bPrimaryState = PS_COMPLETED;
    (void)QueueKernelEntryComplete(bChip, ps->wIndex);
}

// A completion still belongs to the entry when the entry is in use, was
// posted on this chip and carries the tag the chip hands back.
bool IsCurrent(uint8_t bChip, const KERNEL_ENTRY* ps, const uint8_t* pbStatus) {
    return ps->fUsed == TRUE && ps->bPortCode == bChip && ps->bMark == pbStatus[ST_TAG];
}

bool IsOneOf(uint8_t b, std::initializer_list<uint8_t> list) {
    for (uint8_t x : list) {
        if (b == x) return true;
    }
    return false;
}

// Commands whose short data is expected (mode pages, SES pages, inquiries):
// an underrun on them says nothing about the loop.
bool IsShortReadType(uint8_t bType) { return IsOneOf(bType, {4, 8, 0x52, 0x55, 0xD0, 0xD1}); }

void RecordSense(KERNEL_ENTRY* ps, const uint8_t* pbStatus) {
    SAS_ENTRY_FIELDS* psFields = psSasFields(ps);
    psFields->bScsiStatus = pbStatus[ST_SCSI_STATUS];
    psFields->bSenseKey = static_cast<uint8_t>(pbStatus[ST_SENSE_KEY] & 0x0F);
    psFields->bAsc = pbStatus[ST_ASC];
    psFields->bAscq = pbStatus[ST_ASCQ];
}

void Heartbeat(uint32_t* pdMark) {
    if (s_fHeartbeatInInterrupt != TRUE) return;
    if ((dReadTimerCount() - *pdMark) / HEARTBEAT_UNIT_COUNTS > HEARTBEAT_UNITS) {
        KickHeartbeat();
        *pdMark = dReadTimerCount();
    }
}

void ProbeStatus(uint8_t bChip, const uint8_t* pbStatus) {
    IncrementProbeCompletions();
    if (pbStatus[ST_SCSI_STATUS] == 0) {
        if (wGet16(pbStatus, ST_COMPLETION) == CS_TIMEOUT) SetLoopIdAttentionBit(bChip, pbStatus[ST_TAG], TRUE);
        SetProbeStatus(FALSE, TRUE, 0, 0, 0);
    } else {
        SetProbeStatus(TRUE, TRUE, static_cast<uint8_t>(pbStatus[ST_SENSE_KEY] & 0x0F), pbStatus[ST_ASC],
                       pbStatus[ST_ASCQ]);
    }
}

void StatusEntry(uint8_t bChip, const uint8_t* pbStatus) {
    const uint32_t dHandle = dGet32(pbStatus, ST_HANDLE);
    if (dHandle == PROBE_HANDLE) {
        ProbeStatus(bChip, pbStatus);
        return;
    }
    KERNEL_ENTRY* ps = psEntryOfHandle(dHandle);
    if (ps == nullptr) return;
    const uint8_t bScsiStatus = pbStatus[ST_SCSI_STATUS];
    const uint16_t wCompletion = wGet16(pbStatus, ST_COMPLETION);
    if (ps->bPrimaryState == PS_PARTNER_MESSAGE) {
        const uint16_t wSlot = static_cast<uint16_t>(ps->abPartnerSlot[0] | ps->abPartnerSlot[1] << 8);
        PartnerMessageCompleteHandler(bChip, bScsiStatus, static_cast<uint8_t>(wCompletion), wSlot,
                                      pbStatus + ST_SENSE);
        return;
    }
    if (ps->bPrimaryState == PS_PARTNER_REPLY) return;
    if (ps->bCommandType == COMMAND_TYPE_RAW || ps->bCommandType == COMMAND_TYPE_RAW_2) {
        CopyHalfwords32(pbStatus, ps);
        Complete(bChip, ps);
        return;
    }
    // A good completion: the status word, or the status byte 0 / CONDITION
    // MET with a completion status 0 under flag bits, all finish the command
    // here; one that no longer matches its entry is stale and dropped.
    if (dGet32(pbStatus, ST_SCSI_STATUS) == 0 ||
        ((bScsiStatus == 0 || bScsiStatus == SCSI_STATUS_CONDITION_MET) && wCompletion == 0)) {
        if (IsCurrent(bChip, ps, pbStatus)) {
            RecordDriveCommandTime(ps);
            Complete(bChip, ps);
        }
        return;
    }
    if (bScsiStatus != 0 && bScsiStatus != SCSI_STATUS_CONDITION_MET) {
        RecordDriveCommandTime(ps);
        RecordSense(ps, pbStatus);
        DriveCommandErrorHandler(bChip, bScsiStatus, ps, pbStatus + ST_SENSE, ST_SENSE_BYTES, TRUE, FALSE);
        return;
    }
    RecordDriveCommandTime(ps);
    (void)ClassifyDriveTransportError(bChip, pbStatus);
    if (ps->bCommandType == COMMAND_TYPE_PASS_THROUGH) return;
    const uint8_t bType = ps->bCommandType;
    if (wCompletion == CS_DMA_ERROR || wCompletion == CS_RESET) return;
    if (wCompletion == CS_TIMEOUT && (IsOneOf(bType, {1, 2, 3, 4, 5, 6, 8, 0x2E}))) {
        SetDriveCommandPendingFlag(TRUE);
        return;
    }
    if (wCompletion == CS_DATA_UNDERRUN) {
        if (!IsShortReadType(bType)) Loop(bChip).dUnderrunTick = dGetCoarseTick();
        return;
    }
    SetLoopResetRequest(3, TRUE);
    SetLoopResetRequest(4, TRUE);
}

void CtioDone(uint8_t bChip, const uint8_t* pbEntry) {
    PARTNER_MESSAGE_SLOT* psSlot = nullptr;
    if (pGetIncomingMessageSlot(static_cast<uint16_t>(dGet32(pbEntry, ST_HANDLE)), &psSlot) != STATUS_OK) {
        ++s_dBadHandles;
        return;
    }
    if ((wGet16(pbEntry, 14) & 0x7F) == CTIO_STATUS_COMPLETE) {
        (void)fPartnerCommandTransferDone(bChip, STATUS_OK, psSlot);
        return;
    }
    SetDriveResourceRequest(TRUE);
    IncDriveResourceCount(bChip);
    (void)fPartnerCommandTransferDone(bChip, 0, psSlot);
}

// Nothing in the firmware consumes a drive chip's immediate notify beyond
// its acknowledge: the copy is taken so the acknowledge reads it, then freed.
void ImmediateNotify(uint8_t bChip, const uint8_t* pbEntry) {
    KERNEL_ENTRY* ps = nullptr;
    if (bAllocKernelEntries(1, 1, &ps) != STATUS_OK || ps == nullptr) return;
    PrepareKernelEntry(bChip, pbEntry, ps, PS_DRIVE_NOTIFY, TRUE);
    QueueDriveNotify(ps);
}

void TakeEntry(uint8_t bChip, const uint8_t* pbEntry, uint16_t* pwNotifies) {
    switch (pbEntry[0]) {
    case ISP_ENTRY_STATUS:
        StatusEntry(bChip, pbEntry);
        break;
    case ENTRY_PARTNER_COMMAND: {
        PARTNER_MESSAGE_SLOT* psSlot = nullptr;
        (void)bQueueIncomingPartnerCommand(bChip, pbEntry, &psSlot);
        break;
    }
    case ENTRY_CTIO2_DONE:
        CtioDone(bChip, pbEntry);
        break;
    case ENTRY_IMMEDIATE_NOTIFY:
        ++*pwNotifies;
        ImmediateNotify(bChip, pbEntry);
        break;
    case ENTRY_ENABLE_LUN:
        SetDriveEnableLunByte(bChip, FALSE);
        break;
    default:
        break;
    }
}

}  // namespace

void DriveLoopIsr(uint8_t bChip) {
    if (!IsDriveChip(bChip)) return;
    s_fDriveIsrActive = TRUE;
    uint32_t dMark = dReadTimerCount();
    uint32_t dHostStatus = 0;
    (void)bQLReadReg32(bChip, ISP2X_REG_HOST_STATUS, &dHostStatus);
    if (dHostStatus & 0x100) {
        PostEvent(EVENT_FAULT, FAULT_DRIVE_CHIP, bLoopNumber(bChip));
        HaltController();
    }
    const uint16_t wMailbox0 = static_cast<uint16_t>(dHostStatus >> 16);
    int32_t lIn = -1;
    switch (dHostStatus & 0xFF) {
    case ISP_INT_MAILBOX_1:
    case ISP_INT_MAILBOX_2:
    case ISP_INT_MAILBOX_10:
    case ISP_INT_MAILBOX_11:
        DriveMailboxCompletion(bChip, wMailbox0);
        break;
    case ISP_INT_ASYNC_EVENT:
        DriveAsyncEvent(bChip, wMailbox0);
        break;
    case ISP_INT_2X00_FAST_POST_16:
        DriveAsyncEvent(bChip, ISP_AEN_2X00_FAST_POST);
        break;
    case ISP_INT_2X00_FAST_POST_17:
        DriveAsyncEvent(bChip, ISP_AEN_CTIO_FAST_POST);
        break;
    case ISP_INT_RESPONSE_UPDATE:
        // A pointer beyond the ring names no entry: the pass is not run.
        if (wMailbox0 < QL_RING_LENGTH) {
            lIn = wMailbox0;
        } else {
            ++s_dBadInPointers;
        }
        break;
    default:
        break;
    }
    // The loop chips are ISP2x00s whatever the host chips are: their RISC
    // interrupt is cleared at their own HCCR.  The generation-translated
    // host command would write the ISP24xx offset, a mailbox register here,
    // and leave the interrupt raised.
    (void)bQLWriteReg16(bChip, ISP2X_REG_HCCR, ISP_HC_CLEAR_RISC_INT);
    if (lIn < 0) {
        s_fDriveIsrActive = FALSE;
        return;
    }
    uint16_t wNotifies = 0;
    while (wGetResponseOutPointer(bChip) != lIn) {
        Heartbeat(&dMark);
        uint8_t* pbEntry = nullptr;
        (void)bGetResponseEntry(bChip, 0, &pbEntry);
        AdvanceResponseOutPointer(bChip);
        TakeEntry(bChip, pbEntry, &wNotifies);
    }
    (void)bQLWriteReg16(bChip, ISP2X_REG_RSP_OUT, wGetResponseOutPointer(bChip));
    for (uint16_t w = 0; w < wNotifies; ++w) AckDriveLoopImmediateNotify(bChip);
    s_fDriveIsrActive = FALSE;
}

// A loop chip's mailboxes complete as a host chip's do: the same registers,
// the same saved copies and waiter.
void DriveMailboxCompletion(uint8_t bChip, uint16_t wMailbox0) { HostMailboxCompletion(bChip, wMailbox0); }

void DriveAsyncEvent(uint8_t bChip, uint16_t wCode) {
    if (!IsDriveChip(bChip)) return;
    DRIVE_LOOP_LINK& sLoop = Loop(bChip);
    uint16_t wMailbox1 = 0, wMailbox2 = 0;
    (void)bQLReadMailboxReg(bChip, 1, &wMailbox1);
    (void)bQLReadMailboxReg(bChip, 2, &wMailbox2);
    (void)bQLReleaseSemaphore(bChip);
    const uint8_t bLoop = bLoopNumber(bChip);
    switch (wCode) {
    case ISP_AEN_2X00_FAST_POST: {
        KERNEL_ENTRY* ps = psEntryOfHandle(static_cast<uint32_t>(wMailbox2) << 16 | wMailbox1);
        if (ps != nullptr && ps->bPrimaryState != PS_IDLE && ps->fUsed == TRUE && ps->bPortCode == bChip) {
            Complete(bChip, ps);
        }
        break;
    }
    case ISP_AEN_SYSTEM_ERROR:
        PostEvent(EVENT_FAULT, FAULT_DRIVE_CHIP, bLoop, 1);
        HaltController();
    case ISP_AEN_LIP:
        if (fIsInitializationComplete() == TRUE) {
            SetDriveLoopLipFlag(bChip, TRUE);
            ++sLoop.wLipCount;
        }
        SetDriveLoopReady(bChip, FALSE);
        PostEvent(EVENT_DRIVE_LIP, bLoop, static_cast<uint8_t>(wMailbox1 >> 8), static_cast<uint8_t>(wMailbox1));
        break;
    case ISP_AEN_LOOP_UP:
        sLoop.fLoopUp = TRUE;
        PostEvent(EVENT_DRIVE_LOOP_UP, bLoop);
        RecordLoopEventTick(bChip);
        break;
    case ISP_AEN_LOOP_DOWN:
        sLoop.fLoopUp = FALSE;
        SetLoopResetRequest(bChip == 3 ? 4 : 3, TRUE);
        SetDriveLoopReady(bChip, FALSE);
        PostEvent(EVENT_DRIVE_LOOP_DOWN, bLoop);
        SetPortLoopState(bChip, 0);
        break;
    case ISP_AEN_LIP_RESET:
        if (fIsInitializationComplete() == TRUE) {
            SetDriveLipReset(bChip, TRUE);
            ++sLoop.wLipCount;
        }
        break;
    default:
        break;
    }
}

uint8_t ClassifyDriveTransportError(uint8_t bChip, const uint8_t* pbStatus) {
    KERNEL_ENTRY* ps = psEntryOfHandle(dGet32(pbStatus, ST_HANDLE));
    if (ps == nullptr) return FALSE;
    const uint8_t bType = ps->bCommandType;
    const uint16_t wCompletion = wGet16(pbStatus, ST_COMPLETION);
    if (bType >= 10 && bType <= 14) {
        ps->lFlags |= KE_FLAG_ABORTED;
        Complete(bChip, ps);
        return FALSE;
    }
    const uint8_t bLoopId = static_cast<uint8_t>(ps->wTargetId);
    // The drive-loop device table is kept by loop ID.
    uint8_t abWwn[8];
    std::memset(abWwn, 0xFF, sizeof abWwn);
    uint8_t bDeviceLoopId = bLoopId;
    (void)fGetDriveWwnByLoopId(bChip, bLoopId, abWwn);
    if (wCompletion == CS_TIMEOUT && bType != COMMAND_TYPE_PASS_THROUGH) {
        if (fGetDriveLoopLipFlag(bChip) == FALSE) CountDriveLoopError(bChip);
        RecordDriveLoopDeviceState(abWwn, bChip, DEVICE_STATE_TIMED_OUT);
    } else if (wCompletion == CS_DATA_UNDERRUN && bType != COMMAND_TYPE_PASS_THROUGH && !IsShortReadType(bType)) {
        const uint32_t dLast = Loop(bChip).dUnderrunTick;
        if (bGetDiagnosticsModeLevel() == 9 || (dLast != 0 && dGetCoarseTick() - dLast < UNDERRUN_WINDOW_TICKS)) {
            PostEvent(EVENT_DRIVE_UNDERRUN, abWwn[0], abWwn[1], abWwn[2], abWwn[3], abWwn[4], abWwn[5], abWwn[6],
                      abWwn[7], bLoopNumber(bChip), ps->abCdb[0], bDeviceLoopId);
        }
        DriveCommandErrorHandler(bChip, DRIVE_STATUS_NO_STATUS, ps, nullptr, 0, FALSE, FALSE);
        return FALSE;
    } else if (wCompletion == CS_DMA_ERROR && bType != COMMAND_TYPE_PASS_THROUGH) {
        DriveCommandErrorHandler(bChip, DRIVE_STATUS_NO_STATUS, ps, nullptr, 0, TRUE, FALSE);
        return FALSE;
    }
    if (!IsCurrent(bChip, ps, pbStatus)) return FALSE;
    if (bType == COMMAND_TYPE_PASS_THROUGH) {
        ps->lFlags |= KE_FLAG_SENSE_PRESENT;
        SAS_ENTRY_FIELDS* psFields = psSasFields(ps);
        psFields->bSenseKey = DEVICE_STATE_TIMED_OUT;
        psFields->bAsc = static_cast<uint8_t>(wCompletion >> 8);
        psFields->bAscq = static_cast<uint8_t>(wCompletion);
        Complete(bChip, ps);
        return FALSE;
    }
    if (IsOneOf(bType, {1, 2, 3, 4, 5, 6, 8, 0x20, 0x22, 0x23, 0x25, 0x2E, 0x52, 0x54, 0x55, 0xBC, 0xD0, 0xD1})) {
        if (!(wCompletion == CS_DATA_UNDERRUN && IsShortReadType(bType))) {
            if (IsOneOf(bType, {1, 2, 3, 4, 5, 6, 8, 0x2E, 0x52, 0x54, 0x55, 0xD1})) SetDriveCommandPendingFlag(TRUE);
            if (bType == 0xD0) SetSesPageRefreshForced(TRUE);
        }
        if (IsOneOf(bType, {0x20, 0x22, 0x23, 0x25, 0xBC})) ps->lFlags |= KE_FLAG_ABORTED;
        Complete(bChip, ps);
        return FALSE;
    }
    KERNEL_ENTRY* psMother = ps->psMother;
    if (IsOneOf(bType, {0x26, 0x27, 0x2A, 0x2B, 0x35, 0x39, 0x3A})) {
        Complete(bChip, ps);
        KERNEL_ENTRY* psHost = psMother;
        if (psHost != nullptr && fIsTargetEntryAddress(psHost) != TRUE) psHost = psHost->psMother;
        if (psHost != nullptr) psHost->lFlags |= KE_FLAG_DRIVE_TIMED_OUT;
        return FALSE;
    }
    const uint8_t bLevel = ps->bRank != RANK_NONE && ps->bRank != RANK_INTERNAL ? bGetRankRaidLevel(ps->bRank) : 0xFF;
    if (bLevel == 0x10 || bLevel == 0 || bLevel == 0xFF) {
        Complete(bChip, ps);
        if (psMother != nullptr) {
            psMother->lFlags |= KE_FLAG_DRIVE_TIMED_OUT;
            if (psMother->lFlags & KE_FLAG_JOURNALED) SetNvramQueueEntryFlag(psMother->wJournalSlot, FALSE);
        }
        return FALSE;
    }
    // Redundant arrays wait for the RAID engine's drive error recovery.
    ps->bPrimaryState = PS_PARKED_5F;
    IncrementParkedEntryCount();
    return FALSE;
}

void InitDriveIsrState() {
    for (uint8_t bChip = 3; bChip <= 4; ++bChip) {
        SetDriveLoopLipFlag(bChip, FALSE);
        Loop(bChip).fLipReset = FALSE;
        Loop(bChip).fReady = FALSE;
        Loop(bChip).fLoopUp = FALSE;
        Loop(bChip).wLipCount = 0;
        Loop(bChip).dUnderrunTick = 0;
        Loop(bChip).fBringUp = FALSE;
        SetLoopResetRequest(bChip, FALSE);
    }
    s_fDriveIsrActive = FALSE;
    EnableInterruptSource2();
    s_fHeartbeatInInterrupt = fGetBoardFlagB6();
}

uint8_t fIsDriveLoopUp(uint8_t bChip) { return Loop(bChip).fLoopUp; }
uint16_t wGetDriveLoopLipCount(uint8_t bChip) { return Loop(bChip).wLipCount; }
uint8_t fGetDriveLoopLipFlag(uint8_t bChip) { return Loop(bChip).fLipFlag; }

void SetDriveLoopLipFlag(uint8_t bChip, uint8_t f) {
    Loop(bChip).fLipFlag = f;
    if (f == TRUE) {
        SetWorkPending(TRUE);
        SetKernelActivity(TRUE);
    }
}

void SetDriveLipReset(uint8_t bChip, uint8_t f) {
    Loop(bChip).fLipReset = f;
    Loop(bChip).lLipResetMs = lGetTickCount();
}

uint8_t fIsDriveLipResetRecent(uint8_t bChip) {
    if (!IsDriveChip(bChip)) return FALSE;
    DRIVE_LOOP_LINK& s = Loop(bChip);
    if (s.fLipReset == TRUE && s.fLipFlag == FALSE && lGetTickCount() - s.lLipResetMs > LIP_RESET_RECENT_MS) {
        s.fLipReset = FALSE;
    }
    return s.fLipReset;
}

void SetDriveLoopReady(uint8_t bChip, uint8_t f) {
    Loop(bChip).fReady = f == TRUE && Loop(bChip).fLoopUp == TRUE ? TRUE : FALSE;
}

uint8_t fIsDriveLoopReady(uint8_t bChip) { return Loop(bChip).fLoopUp == TRUE ? Loop(bChip).fReady : FALSE; }
uint8_t fIsDriveIsrActive() { return s_fDriveIsrActive; }
uint32_t dGetDriveLoopUnderrunTick(uint8_t bChip) { return Loop(bChip).dUnderrunTick; }
void SetDriveLoopBringUpFlag(uint8_t bChip, uint8_t f) { Loop(bChip).fBringUp = f; }
uint32_t dGetDriveLoopBadInPointers() { return s_dBadInPointers; }
uint32_t dGetDriveLoopBadHandles() { return s_dBadHandles; }

}  // namespace fw
