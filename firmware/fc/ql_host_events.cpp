#include "fc/ql_host_events.h"

#include <cstring>

#include "cache/cache.h"
#include "cache/cache_entry.h"
#include "cache/read_ahead.h"
#include "config/host_port_tables.h"
#include "eventlog/event_log.h"
#include "eventlog/statistics.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/date_time.h"
#include "executive/interrupt_controller.h"
#include "executive/interrupt_dispatch.h"
#include "executive/kernel_entry.h"
#include "executive/stop.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/timers.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "fc/fc_driver.h"
#include "fc/loop_maps.h"
#include "fc/ql_chip.h"
#include "fc/ql_mailbox_commands.h"
#include "fc/ql_rings.h"
#include "fc/ql_target_entries.h"
#include "hw/addresses.h"
#include "hw/hw.h"
#include "hw/isp_fc.h"
#include "hw/pci_ids.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/intermediate_target_queue.h"
#include "target/stage_rings.h"
#include "target/target_engine.h"
#include "target/target_queue_management.h"
#include "target/task_management.h"
#include "target/unit_attention.h"

namespace fw {

namespace {

constexpr uint32_t HEARTBEAT_UNIT_COUNTS = 400;
constexpr uint32_t HEARTBEAT_UNITS = 800;
constexpr uint8_t FAULT_HOST_CHIP = 4;
constexpr uint8_t EVENT_HOST_LIP = 36;
constexpr uint8_t EVENT_HOST_LOOP_UP = 37;
constexpr uint8_t EVENT_HOST_LOOP_DOWN = 38;
constexpr uint8_t EVENT_CTIO_STATUS = 55;
constexpr uint8_t EVENT_CTIO_STATUS_OTHER = 56;
constexpr uint16_t CTIO7_FLAGS_MASK = 0xE1FF;
constexpr uint16_t CTIO7_FLAGS_STATUS_ONLY = 0x8000;
constexpr uint16_t CTIO2_FLAGS_STATUS_WITH_DATA = 0x83C3;

struct HOST_PORT_LINK {
    uint8_t fLoopUp;
    uint8_t bSpeed;
    uint16_t wLipCount;
    uint8_t fLipFlag;
};

HOST_PORT_LINK s_asLink[2];
uint8_t s_fHostIsrActive = FALSE;
// Per chip: its rings still hold entries the host pool had no room for.
uint8_t s_afRingRetry[2] = {FALSE, FALSE};
uint8_t s_fHeartbeatInInterrupt = FALSE;
uint64_t s_lHostCommandSequence = 1;
uint32_t s_dBadInPointers = 0;
uint32_t s_dBadHandles = 0;

HOST_PORT_LINK& Link(uint8_t bPort) { return s_asLink[bPort == 1 ? 0 : 1]; }

uint16_t wGet16(const uint8_t* pb, uint32_t dOffset) { return static_cast<uint16_t>(pb[dOffset] | pb[dOffset + 1] << 8); }
uint32_t dGet32(const uint8_t* pb, uint32_t dOffset) {
    uint32_t d;
    std::memcpy(&d, pb + dOffset, 4);
    return d;
}

// The host or internal entry a completion handle names: only an address on
// an entry boundary inside one of the pools is taken.
KERNEL_ENTRY* psEntryOfHandle(uint32_t dHandle) {
    const auto* pHandle = pAddressWordToPointer<const void>(dHandle);
    KERNEL_ENTRY* psEntry = nullptr;
    const uint16_t wHost = wTargetEntryIndex(pHandle);
    if (wHost != 0xFFFF) {
        (void)wGetTargetEntry(wHost, &psEntry);
        return psEntry;
    }
    KERNEL_ENTRY* psFirst = nullptr;
    (void)GetKernelEntryAddress(0, &psFirst);
    const uintptr_t pBase = reinterpret_cast<uintptr_t>(psFirst);
    const uintptr_t p = dHandle;
    if (p >= pBase && p - pBase < KERNEL_ENTRY_COUNT * sizeof(KERNEL_ENTRY) && (p - pBase) % sizeof(KERNEL_ENTRY) == 0) {
        return reinterpret_cast<KERNEL_ENTRY*>(p);
    }
    ++s_dBadHandles;
    return nullptr;
}

// The OX_ID the command arrived with: kept in its ATIO (ISP24xx).
uint16_t wRecordedOxId(KERNEL_ENTRY* ps) {
    const uint8_t* pbAtio = pGetAtioCopy(ps);
    const auto* psAtio = reinterpret_cast<const ATIO7_ENTRY*>(pbAtio);
    return static_cast<uint16_t>(psAtio->abOxId[0] << 8 | psAtio->abOxId[1]);
}

// Finished without a status at this point.
void Complete(uint8_t bPort, KERNEL_ENTRY* ps) {
    MarkFinishedWithoutStatus(ps);
    QueueCommandComplete(bPort, ps->wIndex);
}

// A data-out whose LIP count still matches moves on as data received; a
// stale one is finished.
void FastPostDataOut(uint8_t bPort, KERNEL_ENTRY* ps) {
    if (pHostFields(ps)->wLipCount == wGetHostLoopLipCount(bPort)) {
        ps->bPrimaryState = HOST_STATE_DATA_RECEIVED;
        QueueDataReceived(ps->wIndex);
    } else {
        ps->lFlags &= ~KE_FLAG_MORE_PASSES;
        Complete(bPort, ps);
    }
}

void CountCollapse(KERNEL_ENTRY* ps) {
    ps->lFlags &= ~KE_FLAG_COLLAPSES;
    const uint16_t wLinked = psCacheFields(ps)->wCollapseLink;
    if (wLinked >= HOST_ENTRY_COUNT) return;
    KERNEL_ENTRY* psLinked = nullptr;
    (void)wGetTargetEntry(wLinked, &psLinked);
    if (psLinked->fUsed == TRUE && (psLinked->lFlags & KE_FLAG_MAY_COLLAPSE)) {
        CountWriteCollapse(psLinked->wBlockCount);
        psLinked->lFlags &= ~KE_FLAG_MAY_COLLAPSE;
    }
}

}  // namespace

// --- link state -------------------------------------------------------------------

uint8_t fIsHostLoopUp(uint8_t bPort) { return Link(bPort).fLoopUp; }
uint8_t bGetHostLinkSpeed(uint8_t bPort) { return Link(bPort).bSpeed; }
uint16_t wGetHostLoopLipCount(uint8_t bPort) { return Link(bPort).wLipCount; }
uint8_t fGetHostLoopLipFlag(uint8_t bPort) { return Link(bPort).fLipFlag; }

void SetHostLoopLipFlag(uint8_t bPort, uint8_t f) {
    Link(bPort).fLipFlag = f;
    if (f == TRUE) {
        SetWorkPending(TRUE);
        SetKernelActivity(TRUE);
    }
}

uint8_t fIsHostIsrActive() { return s_fHostIsrActive; }
uint32_t dGetBadInPointerCount() { return s_dBadInPointers; }
uint32_t dGetBadHandleCount() { return s_dBadHandles; }

void InitHostIsrState() {
    for (uint8_t bPort = 1; bPort <= 2; ++bPort) {
        Link(bPort).fLoopUp = FALSE;
        Link(bPort).bSpeed = 0;
        Link(bPort).wLipCount = 0;
        SetHostLoopLipFlag(bPort, FALSE);
        SetLoopResetRequest(bPort, FALSE);
    }
    s_afRingRetry[0] = s_afRingRetry[1] = FALSE;
    s_fHostIsrActive = FALSE;
    s_lHostCommandSequence = 1;
    EnableInterruptSource0();
    s_fHeartbeatInInterrupt = fGetBoardFlagB6();
}

void ClearHostRiscInterrupt(uint8_t bChip) {
    if (bChip != 1 && bChip != 2) return;
    Reg32Write(PCI_OUTBOUND_WINDOW_UNIT1 + (bChip - 1) * ISP_REGISTER_SPAN + ISP24_REG_HCCR, ISP24_HCCR_CLEAR_RISC_INT);
}

void AssignHostCommandSequence(KERNEL_ENTRY* psEntry) {
    const uint8_t bLock = LockInterruptSource(INT_SOURCE_HOST_CHIPS);
    psEntry->alSequence[0] = psEntry->alSequence[1] = s_lHostCommandSequence++;
    if (bLock != STATUS_LOCK_HELD) UnlockInterruptSource(INT_SOURCE_HOST_CHIPS);
}

// --- mailbox completions and events -------------------------------------------------

void HostMailboxCompletion(uint8_t bChip, uint16_t wMailbox0) {
    uint16_t awMailbox[QL_SAVED_MAILBOXES] = {wMailbox0};
    for (uint8_t n = 1; n < QL_SAVED_MAILBOXES; ++n) (void)bQLReadMailboxReg(bChip, n, &awMailbox[n]);
    SaveMailboxes(bChip, awMailbox);
    (void)bQLReleaseSemaphore(bChip);
    SetMailboxComplete(bChip);
}

void PostHostCompletionStatusEvent(uint16_t wStatus, uint8_t bPort) {
    switch (wStatus) {
    case 1: case 2: case 3: case 4: case 5: case 6: case 7: case 14: case 18: case 21: case 40: case 41: case 42:
        PostEvent(EVENT_CTIO_STATUS, bPort, static_cast<uint8_t>(wStatus));
        break;
    default:
        PostEvent(EVENT_CTIO_STATUS_OTHER, bPort, static_cast<uint8_t>(wStatus >> 8), static_cast<uint8_t>(wStatus));
        break;
    }
}

void HostAsyncEvent(uint8_t bChip, uint16_t wCode, uint16_t wHandle) {
    const uint8_t bPort = bChip;
    HOST_PORT_LINK& sLink = Link(bPort);
    uint16_t wMailbox1 = 0;
    switch (wCode) {
    case ISP_AEN_CTIO_FAST_POST: {
        if ((wHandle & 0xFF00) == 0xFD00) {
            DecReadAheadWaitCount(static_cast<uint8_t>(wHandle), TRUE);
            break;
        }
        if ((wHandle & 0xFF00) == 0xFE00 || wHandle >= HOST_ENTRY_COUNT) {
            if ((wHandle & 0xFF00) != 0xFE00) ++s_dBadHandles;
            break;
        }
        KERNEL_ENTRY* ps = nullptr;
        (void)wGetTargetEntry(wHandle, &ps);
        if (ps->bPrimaryState == HOST_STATE_DATA_OUT) {
            FastPostDataOut(bPort, ps);
        } else if ((ps->lFlags & KE_FLAG_WRITE_BACK) == 0) {
            Complete(bPort, ps);
        }
        break;
    }
    case ISP_AEN_SYSTEM_ERROR:
        PostEvent(EVENT_FAULT, FAULT_HOST_CHIP, bPort, 1);
        DumpIsp24xx(bChip);
        HaltController();
    case ISP_AEN_ATIO_QUEUE_FULL:
        if (fIsQL24xx() == TRUE) {
            PrintCurrentDateTime();
            ConsolePrintf("ATIO ERR %01x\n", bPort);
        }
        break;
    case ISP_AEN_LIP:
    case ISP_AEN_LIP_RESET:
        SetHostLoopLipFlag(bPort, TRUE);
        SetHostPortLinkFlag(bPort, TRUE);
        ++sLink.wLipCount;
        if (wCode == ISP_AEN_LIP) {
            (void)bQLReadMailboxReg(bChip, 1, &wMailbox1);
            PostEvent(EVENT_HOST_LIP, bPort, static_cast<uint8_t>(wMailbox1 >> 8), static_cast<uint8_t>(wMailbox1));
            FillHostInterfaceBitmap(bPort, TRUE);
            InitScsi2Reservations();
            SetHostTargetWork(TRUE);
            break;
        }
        // A LIP reset ends every exchange the port still has open (the
        // terminating CTIO is the ISP24xx's; an ISP2x00 command keeps no ATIO).
        for (uint16_t w = 0; fIsQL24xx() == TRUE && w < HOST_ENTRY_COUNT; ++w) {
            KERNEL_ENTRY* ps = nullptr;
            (void)wGetTargetEntry(w, &ps);
            if (ps->fUsed == TRUE && ps->bPortCode == bPort && ps->bPrimaryState != HOST_STATE_COMPLETE) {
                TerminateAtioExchange(bPort, pGetAtioCopy(ps));
            }
        }
        FillHostInterfaceBitmap(bPort, TRUE);
        InitScsi2Reservations();
        while (bSendMarker(bChip, 0, 0, MARKER_SYNC_ALL) != STATUS_OK) {
        }
        break;
    case ISP_AEN_LOOP_UP:
        sLink.fLoopUp = TRUE;
        (void)bQLReadMailboxReg(bChip, 1, &wMailbox1);
        if (wMailbox1 == ISP_SPEED_1G) sLink.bSpeed = 1;
        if (wMailbox1 == ISP_SPEED_2G) sLink.bSpeed = 2;
        if (wMailbox1 == ISP_SPEED_4G) sLink.bSpeed = 4;
        PostEvent(EVENT_HOST_LOOP_UP, bPort, sLink.bSpeed);
        break;
    case ISP_AEN_LOOP_DOWN:
        sLink.fLoopUp = FALSE;
        sLink.bSpeed = 0;
        PostEvent(EVENT_HOST_LOOP_DOWN, bPort);
        SetPortLoopState(bPort, 0);
        InitScsi2Reservations();
        SetHostTargetWork(TRUE);
        SetHostPortLinkFlag(bPort, TRUE);
        break;
    // The ISP24xx tells the driver of each login as it comes (ELS notifies,
    // which hold the port's commands until the scan has the new
    // initiator): its port database change only asks for a scan.  The
    // ISP2x00 takes logins itself, and this is all the driver hears.
    case ISP_AEN_PORT_DATABASE_CHANGED:
        if (fIsQL24xx() != TRUE) SetHostLoopLipFlag(bPort, TRUE);
        SetHostPortLinkFlag(bPort, TRUE);
        SetWorkPending(TRUE);
        break;
    case ISP_AEN_RSCN:
        SetHostLoopLipFlag(bPort, TRUE);
        SetHostPortLinkFlag(bPort, TRUE);
        break;
    default:
        break;
    }
}

void CtPassThroughDone(KERNEL_ENTRY* psEntry, TIMER_NODE*) {
    (void)wFreeDataPages(psEntry->dBufferHandle, 1);
    FreeTargetEntry(psEntry);
}

// --- what both generations' passes share ---------------------------------------------

namespace host_isr {

void SetActive(uint8_t f) { s_fHostIsrActive = f; }
bool RingRetry(uint8_t bChip) { return s_afRingRetry[bChip == 1 ? 0 : 1] == TRUE; }

// An in-pointer at or beyond the ring would make the pass loop for ever:
// it is taken as nothing to do, and counted.
bool ValidInPointer(int32_t lIn) {
    if (lIn >= 0 && lIn < QL_RING_LENGTH) return true;
    ++s_dBadInPointers;
    return false;
}

void Begin(PASS* ps, uint8_t bChip) {
    ps->bChip = bChip;
    ps->dCoarseTick = dGetCoarseTick();
    ps->lMs = lGetTickCount();
    ps->fStop = false;
    ps->wNotifies = 0;
}

void Heartbeat(PASS* ps) {
    if (s_fHeartbeatInInterrupt != TRUE) return;
    if ((dReadTimerCount() - ps->dHeartbeatMark) / HEARTBEAT_UNIT_COUNTS > HEARTBEAT_UNITS) {
        KickHeartbeat();
        ps->dHeartbeatMark = dReadTimerCount();
    }
}

namespace {
// One host entry for an arriving entry, or the pass stops with the entry
// left on its ring.
KERNEL_ENTRY* psAllocate(PASS* ps, uint16_t* pwIndex) {
    KERNEL_ENTRY* psEntry = nullptr;
    uint8_t& fRetry = s_afRingRetry[ps->bChip == 1 ? 0 : 1];
    if (bAllocTargetEntries(ps->bChip, 1, &psEntry, pwIndex, TRUE) != STATUS_OK) {
        CountTargetQueueFull();
        ps->fStop = true;
        fRetry = TRUE;
        // The chip reported these entries once and will not again: the
        // main loop takes them when entries are free (RetryHostRings).
        SetWorkPending(TRUE);
        return nullptr;
    }
    fRetry = FALSE;
    return psEntry;
}

void Stamp(PASS* ps, KERNEL_ENTRY* psEntry) {
    const uint8_t bPort = ps->bChip;
    psEntry->bPortCode = bPort;
    psEntry->bMark = bNextIocbTag();
    psEntry->dStartTick = ps->dCoarseTick;
    psEntry->lArrivalMs = ps->lMs;
    pHostFields(psEntry)->wLipCount = wGetHostLoopLipCount(bPort);
    pHostFields(psEntry)->wWriteResidualFlag = 0;
}

void NewCommand(PASS* ps, KERNEL_ENTRY* psEntry, uint16_t wIndex) {
    psEntry->alSequence[0] = psEntry->alSequence[1] = s_lHostCommandSequence++;
    SetLastHostCommandTime(ps->lMs);
    psEntry->bPrimaryState = HOST_STATE_NEW_COMMAND;
    QueueNewCommand(ps->bChip, wIndex);
}
}  // namespace

bool TakeCommand(PASS* ps, const uint8_t* pbEntry, bool fIsp24xx) {
    uint16_t wIndex = 0;
    KERNEL_ENTRY* psEntry = psAllocate(ps, &wIndex);
    if (psEntry == nullptr) return false;
    if (!fIsp24xx) {
        // The ISP2x00 entry is the command block itself.
        std::memcpy(psEntry, pbEntry, ISP_ENTRY_BYTES);
        Stamp(ps, psEntry);
        psEntry->lStartTimeStamp = lGetHighResolutionTime();
        NewCommand(ps, psEntry, wIndex);
        return true;
    }
    std::memcpy(pGetAtioCopy(psEntry), pbEntry, ISP_ENTRY_BYTES);
    HOST_COMMAND_FIELDS* psFields = pHostFields(psEntry);
    psFields->wInitiatorHandle = NO_INITIATOR_HANDLE;
    Stamp(ps, psEntry);
    psFields->lArrivalHighRes = lGetHighResolutionTime();
    // The command trace's start stamp.
    psEntry->lStartTimeStamp = psFields->lArrivalHighRes;
    const auto* psAtio = reinterpret_cast<const ATIO7_ENTRY*>(pbEntry);
    if (psAtio->bTaskManagement == 0) {
        NewCommand(ps, psEntry, wIndex);
    } else {
        psEntry->bPrimaryState = HOST_STATE_TASK_MANAGEMENT;
        QueueTaskMgmtRequest(ps->bChip, wIndex);
        SetWorkPending(TRUE);
    }
    return true;
}

bool TakeNotify(PASS* ps, const uint8_t* pbEntry) {
    ++ps->wNotifies;
    uint16_t wIndex = 0;
    KERNEL_ENTRY* psEntry = psAllocate(ps, &wIndex);
    if (psEntry == nullptr) return false;
    CopyNewCommandIocb(ps->bChip, pbEntry, psEntry, HOST_STATE_IMMEDIATE_NOTIFY, TRUE);
    psEntry->dStartTick = ps->dCoarseTick;
    QueueImmediateNotify(ps->bChip, wIndex);
    return true;
}

bool TakeAbts(PASS* ps, const uint8_t* pbEntry) {
    uint16_t wIndex = 0;
    KERNEL_ENTRY* psEntry = psAllocate(ps, &wIndex);
    if (psEntry == nullptr) return false;
    CopyNewCommandIocb(ps->bChip, pbEntry, psEntry, HOST_STATE_ABORT_REQUEST, TRUE);
    psEntry->dStartTick = ps->dCoarseTick;
    QueueAbortRequest(ps->bChip, wIndex);
    SetWorkPending(TRUE);
    return true;
}

void ServeNotifies(PASS* ps, bool fIsp24xx) {
    for (uint16_t n = 0; n < ps->wNotifies; ++n) {
        if (fIsp24xx) {
            ProcessImmediateNotify24(ps->bChip);
        } else {
            ProcessImmediateNotify(ps->bChip);
        }
        if (fGetHostPortEventPending() == TRUE) ServiceHostPortEvents();
    }
    // A reset the main loop latched (an ISP24xx task management request,
    // which comes as a command, not a notify) is served at the end of the
    // next pass: its unit attentions are set before the commands the pass
    // took are dispatched.
    if (fGetHostPortEventPending() == TRUE) ServiceHostPortEvents();
}

void StatusEntry(uint8_t bPort, const uint8_t* pbEntry) {
    const uint16_t wReason = wGet16(pbEntry, 10);
    if (pbEntry[8] == 0 && wReason != 0) PostHostCompletionStatusEvent(wReason, bPort);
}

void CtPassThroughCompletion(const uint8_t* pbEntry) {
    KERNEL_ENTRY* psEntry = psEntryOfHandle(dGet32(pbEntry, 4));
    if (psEntry != nullptr) InsertTimer(psEntry, CtPassThroughDone, 0);
}

// One CTIO completion: type 7 on the ISP24xx, type 2 on the ISP2x00.
void CtioCompletion(PASS* ps, const uint8_t* pbEntry, bool fIsp24xx) {
    const uint8_t bPort = ps->bChip;
    const uint32_t dHandle = dGet32(pbEntry, 4);
    const uint16_t wStatus = static_cast<uint16_t>((fIsp24xx ? wGet16(pbEntry, 8) : wGet16(pbEntry, 14)) & 0x7F);
    if (wStatus == CTIO_STATUS_TIMEOUT) PostEvent(EVENT_CTIO_STATUS, bPort, static_cast<uint8_t>(wStatus));

    if ((dHandle & CTIO_HANDLE_READ_AHEAD) == CTIO_HANDLE_READ_AHEAD || (dHandle & CTIO_HANDLE_NO_ENTRY) == CTIO_HANDLE_NO_ENTRY) {
        if ((dHandle & CTIO_HANDLE_READ_AHEAD) == CTIO_HANDLE_READ_AHEAD) DecReadAheadWaitCount(static_cast<uint8_t>(dHandle), TRUE);
        DecReleasedCount(bPort);
        if (wStatus == CTIO_COMPLETE) return;
    } else if (fIsp24xx && (dHandle & CTIO_HANDLE_NOTHING) == CTIO_HANDLE_NOTHING) {
        return;
    } else {
        KERNEL_ENTRY* psEntry = psEntryOfHandle(dHandle);
        if (psEntry == nullptr) return;
        const bool fTagMatches = pbEntry[2] == psEntry->bMark;
        if (wStatus == CTIO_COMPLETE) {
            if (psEntry->lFlags & KE_FLAG_TARGET_QUEUE_PARKED) DecReleasedCount(bPort);
            if (psEntry->bPrimaryState == HOST_STATE_DATA_OUT && fTagMatches) {
                psEntry->bPrimaryState = HOST_STATE_DATA_RECEIVED;
                QueueDataReceived(psEntry->wIndex);
            } else if ((psEntry->lFlags & (KE_FLAG_WRITE_BACK | KE_FLAG_STATUS_SENT | KE_FLAG_COLLAPSED)) == 0 &&
                       psEntry->fUsed == TRUE && fTagMatches && psEntry->bPrimaryState != 0 &&
                       psEntry->bPrimaryState != HOST_STATE_COMPLETE && psEntry->bPrimaryState != HOST_STATE_NEW_COMMAND) {
                Complete(bPort, psEntry);
            }
            return;
        }
        if (fIsp24xx && (psEntry->lFlags & KE_FLAG_TQM_COUNTED)) TqmCommandDone(psEntry);
        if (psEntry->lFlags & KE_FLAG_TARGET_QUEUE_PARKED) DecReleasedCount(bPort);
        const uint16_t wCompletionFlags = fIsp24xx ? wGet16(pbEntry, 26) : wGet16(pbEntry, 12);
        const bool fSameExchange = fIsp24xx ? wRecordedOxId(psEntry) == wGet16(pbEntry, 32)
                                            : wGet16(reinterpret_cast<const uint8_t*>(psEntry), 10) == wGet16(pbEntry, 10);
        const bool fFlagsCall = fIsp24xx ? (wCompletionFlags & CTIO7_FLAGS_MASK) != CTIO7_FLAGS_STATUS_ONLY
                                         : wCompletionFlags != CTIO2_FLAGS_STATUS_WITH_DATA;
        const bool fActOn = (psEntry->lFlags & KE_FLAG_STATUS_SENT) == 0 || ((psEntry->lFlags & KE_FLAG_STATUS_WITH_DATA) && fFlagsCall);
        if (psEntry->fUsed == TRUE && fSameExchange && fActOn) {
            if (psEntry->lFlags & KE_FLAG_COLLAPSES) CountCollapse(psEntry);
            if (psEntry->bPrimaryState == HOST_STATE_DATA_OUT && psEntry->wChildrenOutstanding != 0 && fTagMatches &&
                pHostFields(psEntry)->wLipCount == wGetHostLoopLipCount(bPort) &&
                (psEntry->bCommandType == COMMAND_TYPE_CONTINUATION || psEntry->bCommandType == COMMAND_TYPE_STREAM_HEAD)) {
                psEntry->bPrimaryState = HOST_STATE_DATA_RECEIVED;
                QueueDataReceived(psEntry->wIndex);
                psEntry->lFlags |= KE_FLAG_NO_STATUS;
                psEntry->lFlags &= ~KE_FLAG_STATUS_WITH_DATA;
            } else if (psEntry->bPrimaryState != HOST_STATE_COMPLETE) {
                if (psEntry->lFlags & KE_FLAG_STATUS_WITH_DATA) {
                    psEntry->lFlags &= ~(KE_FLAG_WRITE_BACK | KE_FLAG_STATUS_WITH_DATA);
                    if (psEntry->lFlags & KE_FLAG_CACHE_COUNTED) {
                        DecCacheWriteCount();
                        psEntry->lFlags &= ~KE_FLAG_CACHE_COUNTED;
                    }
                }
                psEntry->lFlags &= ~KE_FLAG_MORE_PASSES;
                psEntry->lFlags |= KE_FLAG_ABORTED;
                Complete(bPort, psEntry);
                DecReleasedCount(bPort);
            }
            if (fIsp24xx) TerminateAtioExchange(bPort, pGetAtioCopy(psEntry));
        }
    }
    IncTargetResourceCount(bPort);
    SetTargetResourceRequest(bPort, TRUE);
}

}  // namespace host_isr

// --- the ISP2x00 handler ---------------------------------------------------------

namespace {

int32_t lResponseInRegister2x00(uint8_t bChip) {
    uint16_t w = 0;
    (void)bQLReadReg16(bChip, ISP2X_REG_RSP_IN, &w);
    return static_cast<int16_t>(w);
}

// The ISP2x00 brings commands, notifies and completions on its one
// response ring.
void ResponsePass2x00(host_isr::PASS* ps, uint8_t bChip, int32_t lIn) {
    if (!host_isr::ValidInPointer(lIn)) return;
    host_isr::Begin(ps, bChip);
    bool fMoved = false;
    while (wGetResponseOutPointer(bChip) != lIn && !ps->fStop) {
        host_isr::Heartbeat(ps);
        uint8_t* pbEntry = nullptr;
        (void)bGetResponseEntry(bChip, static_cast<uint16_t>(lIn), &pbEntry);
        switch (pbEntry[0]) {
        case ATIO2_ENTRY_TYPE:
            if (!host_isr::TakeCommand(ps, pbEntry, false)) continue;
            break;
        case CTIO2_ENTRY_TYPE:
            host_isr::CtioCompletion(ps, pbEntry, false);
            break;
        case ISP_ENTRY_STATUS:
            host_isr::StatusEntry(bChip, pbEntry);
            break;
        case IMMEDIATE_NOTIFY24_ENTRY_TYPE:
            if (!host_isr::TakeNotify(ps, pbEntry)) continue;
            break;
        default:
            break;
        }
        AdvanceResponseOutPointer(bChip);
        fMoved = true;
    }
    if (fMoved) (void)bQLWriteReg16(bChip, ISP2X_REG_RSP_OUT, wGetResponseOutPointer(bChip));
    host_isr::ServeNotifies(ps, false);
}

}  // namespace

void Isp2x00TargetIsr(uint8_t bChip) {
    if (bChip != 1 && bChip != 2) return;
    host_isr::PASS sPass{};
    sPass.dHeartbeatMark = dReadTimerCount();
    s_fHostIsrActive = TRUE;
    uint32_t dStatus = 0;
    (void)bQLReadReg32(bChip, ISP2X_REG_HOST_STATUS, &dStatus);
    if (dStatus & ISP24_HOST_STATUS_PAUSED) {
        PostEvent(EVENT_FAULT, FAULT_HOST_CHIP, bChip);
        HaltController();
    }
    const uint16_t wMailbox0 = static_cast<uint16_t>(dStatus >> 16);
    int32_t lIn = -1;
    bool fKnown = false;
    switch (static_cast<uint8_t>(dStatus)) {
    case ISP_INT_MAILBOX_1: case ISP_INT_MAILBOX_2: case ISP_INT_MAILBOX_10: case ISP_INT_MAILBOX_11:
        HostMailboxCompletion(bChip, wMailbox0);
        break;
    case ISP_INT_ASYNC_EVENT:
        if (wMailbox0 == ISP_AEN_FAST_POST_RESPONSE) {
            uint16_t w = 0;
            (void)bQLReadReg16(bChip, ISP2X_REG_RSP_IN, &w);
            lIn = static_cast<int16_t>(w);
            fKnown = true;
        } else {
            HostAsyncEvent(bChip, wMailbox0, 0);
        }
        break;
    case ISP_INT_RESPONSE_UPDATE:
        lIn = wMailbox0;
        fKnown = true;
        break;
    case ISP_INT_2X00_FAST_POST_16:
        HostAsyncEvent(bChip, ISP_AEN_2X00_FAST_POST, 0);
        break;
    case ISP_INT_2X00_FAST_POST_17:
        HostAsyncEvent(bChip, ISP_AEN_CTIO_FAST_POST, wMailbox0);
        break;
    default:
        break;
    }
    (void)bQLWriteReg16(bChip, ISP2X_REG_HCCR, ISP_HC_CLEAR_RISC_INT);
    if (!fKnown && host_isr::RingRetry(bChip)) {
        lIn = lResponseInRegister2x00(bChip);
        fKnown = true;
    }
    if (fKnown) ResponsePass2x00(&sPass, bChip, lIn);
    s_fHostIsrActive = FALSE;
}

void Isp2x00ServeRings(uint8_t bChip) {
    if (bChip != 1 && bChip != 2) return;
    host_isr::PASS sPass{};
    sPass.dHeartbeatMark = dReadTimerCount();
    ResponsePass2x00(&sPass, bChip, lResponseInRegister2x00(bChip));
}

// A chip whose rings were left holding entries when the host pool ran out
// reports them no more; once entries are free again, the main loop serves
// its rings, with the host chips' interrupt held off as their handler has it.
void RetryHostRings() {
    if (wGetTargetEntriesUsed() >= HOST_ENTRY_COUNT) {
        SetWorkPending(TRUE);   // none yet: look again on the next pass
        return;
    }
    for (uint8_t bChip = 1; bChip <= 2; ++bChip) {
        if (!host_isr::RingRetry(bChip)) continue;
        HostPoolLock sLock;
        const uint8_t fWasActive = s_fHostIsrActive;
        s_fHostIsrActive = TRUE;
        if (fIsQL24xx() == TRUE) {
            QL24ServeRings(bChip);
        } else {
            Isp2x00ServeRings(bChip);
        }
        s_fHostIsrActive = fWasActive;
    }
}

uint8_t fGetHostRingRetry() { return ToFlag(host_isr::RingRetry(1) || host_isr::RingRetry(2)); }

}  // namespace fw
