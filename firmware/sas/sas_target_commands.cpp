// The command path of the SAS host ports: new commands and task IUs from the
// IOC's command buffers into host entries, their data and status back with
// TARGET ASSIST and TARGET STATUS SEND, and the aborts that end them.
#include "sas/sas_target_commands.h"
#include "sas/mpi_interface.h"

#include <cstring>

#include "cache/read_ahead.h"
#include "eventlog/event_log.h"
#include "eventlog/statistics.h"
#include "executive/interrupt_controller.h"
#include "executive/kernel_entry.h"
#include "executive/port_codes.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/hw.h"
#include "hw/mpi.h"
#include "hw/scsi.h"
#include "sas/deferred_requests.h"
#include "sas/sas_drive.h"
#include "sas/sas_target.h"
#include "sas/sas_target_ports.h"
#include "target/command_access.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/scsi2_reservations.h"
#include "target/stage_rings.h"
#include "target/unit_attention.h"

namespace fw {

namespace {

constexpr uint32_t DATA_IN_TIMEOUT_MS = 15000;
constexpr uint32_t DATA_OUT_TIMEOUT_MS = 10000;
constexpr uint32_t STATUS_TIMEOUT_MS = 15000;
constexpr uint32_t ABORT_TIMEOUT_MS = 10000;
constexpr uint32_t STALL_LIMIT_MS = 14000;
constexpr uint16_t SCAN_PER_CALL = 50;
constexpr uint32_t INITIATOR_OFFSET = 40;   // where the target engine reads a SAS command's initiator
constexpr uint8_t COMMAND_TYPE_NEW = 2;
constexpr uint8_t COMMAND_TYPE_TASK = 0xA9;
constexpr uint8_t EVENT_ABORT = 36;
constexpr uint8_t EVENT_TRANSFER_ERROR = 0x37;
constexpr uint16_t IOC_STATUS_ABORTED = 0x63;
constexpr uint16_t IOC_STATUS_NO_CONNECTION = 0x65;
constexpr uint16_t IOC_STATUS_STATUS_NOT_SENT = 0x6B;
constexpr uint8_t ASSIST_TO_INITIATOR = 0x01;
constexpr uint8_t ASSIST_AUTO_STATUS = 0x83;
constexpr uint8_t STATUS_AUTO_GOOD = 0x81;
constexpr uint8_t STATUS_WITH_RESPONSE = 0x80;
// The whole 18 bytes of sense the response says it carries.
constexpr uint32_t RESPONSE_WITH_SENSE = 66;
constexpr uint32_t RESPONSE_WITHOUT_SENSE = 48;
constexpr uint32_t MAX_IO_INDEX_FIELD = 0x3FFF;
constexpr uint16_t DEFERRED_REQUEST_BYTES = 48;   // the longest data, status or abort request

uint64_t s_lSequence = 1;
uint16_t s_wScanCursor = 0;
DeferredRequests<SAS_TARGET_MAX_CMD_BUFFERS, DEFERRED_REQUEST_BYTES> s_sDeferred;

uint8_t* pbHead(KERNEL_ENTRY* ps) { return reinterpret_cast<uint8_t*>(ps); }

// What a command records beside its copied buffer: the reply word that
// names its buffer and initiator.
uint32_t dReplyWordOf(const KERNEL_ENTRY* ps) {
    uint32_t d;
    std::memcpy(&d, ps->abHeadExtension, 4);
    return d;
}

uint16_t wIoIndexOf(const KERNEL_ENTRY* ps) { return static_cast<uint16_t>(dReplyWordOf(ps) & MAX_IO_INDEX_FIELD); }
uint16_t wInitiatorOf(uint32_t dWord) { return static_cast<uint16_t>((dWord >> 14) & 0xFFF); }

SAS_TARGET_IO_INFO* psIo(uint16_t wIoIndex) {
    LSI_SAS_TARGET_IOC* a = dGetSASTargetIocRecord(LSI_IOC_TARGET_1);
    return wIoIndex < a->wCmdBuffers ? &a->asIo[wIoIndex] : nullptr;
}

uint8_t* pbCmdBuffer(uint16_t wIoIndex) {
    LSI_SAS_TARGET_IOC* a = dGetSASTargetIocRecord(LSI_IOC_TARGET_1);
    return static_cast<uint8_t*>(pCpuAddressToPointer(a->dCmdBuffers + static_cast<uint32_t>(wIoIndex) *
                                                                            SAS_TARGET_CMD_BUFFER_BYTES));
}

// The request that carried the buffer's last transfer is done with once
// the IOC answered for the buffer.
void FreeBufferRequest(SAS_TARGET_IO_INFO* p) {
    if (p->wRequest == SAS_NO_FRAME) return;
    FreeTargetRequestFrame(LSI_IOC_TARGET_1, p->wRequest);
    p->wRequest = SAS_NO_FRAME;
}

void FreeIoIndex(uint16_t wIoIndex) {
    if (SAS_TARGET_IO_INFO* p = psIo(wIoIndex)) {
        FreeBufferRequest(p);
        p->wOwner = SAS_IO_OWNER_NONE;
    }
}

bool IsActive(const KERNEL_ENTRY* ps) { return ps->fUsed == TRUE && ps->bPrimaryState != HOST_STATE_FREE; }

bool IsSasPort(uint8_t bPort) { return bPort == LSI_IOC_TARGET_1 || bPort == LSI_IOC_TARGET_2; }

bool IsReadAheadOwner(uint16_t wOwner) { return (wOwner & 0xFF00) == SAS_IO_OWNER_READ_AHEAD; }

// A command whose host's port was not known when it came waits under the
// first port, but its host may be on the second: it is that port's only
// once the host is known to be there.
bool IsOnPort(const KERNEL_ENTRY* ps, uint8_t bPort) {
    if (pHostFields(ps)->bRoutedPort != SAS_PORT_UNRESOLVED) return true;
    return bGetSASInitiatorPort(wInitiatorOf(dReplyWordOf(ps))) == bPort;
}

uint8_t* pbTakeFrame(uint8_t bPort, uint16_t* pwIndex) {
    uint8_t* pb = nullptr;
    if (bGetTargetRequestFrame(bPort, &pb, pwIndex, FALSE) == STATUS_OK) return pb;
    if (bGetTargetRequestFrame(bPort, &pb, pwIndex, TRUE) == STATUS_OK) return pb;
    return nullptr;
}

void FillCommandFields(KERNEL_ENTRY* ps, uint8_t* pbFrame, uint8_t bFunction) {
    const uint8_t* pbHeadCopy = pbHead(ps);
    pbFrame[3] = bFunction;
    std::memcpy(pbFrame + 4, pbHeadCopy + 2, 2);   // the initiator's tag
    const uint32_t dContext = wIoIndexOf(ps);
    std::memcpy(pbFrame + 8, &dContext, 4);
    const uint32_t dReply = dReplyWordOf(ps);
    std::memcpy(pbFrame + 12, &dReply, 4);
    std::memcpy(pbFrame + 16, pbHeadCopy + 8, 8);  // the LUN
}

void Post(KERNEL_ENTRY* ps, uint8_t* pbFrame, uint16_t wFrame, uint32_t dTimeoutMs) {
    PostSASTargetRequest(ps->bPortCode, wIoIndexOf(ps), pbFrame, wFrame, dTimeoutMs);
    if (SAS_TARGET_IO_INFO* p = psIo(wIoIndexOf(ps))) {
        if (p->wOwner == SAS_IO_OWNER_NONE) p->wOwner = ps->wIndex;
    }
}

void PutSge(uint8_t* pb, uint32_t dFlagsLength, uint32_t dAddress) {
    std::memcpy(pb, &dFlagsLength, 4);
    std::memcpy(pb + 4, &dAddress, 4);
}

void Finish(KERNEL_ENTRY* ps) {
    MarkFinishedWithoutStatus(ps);
    QueueCommandComplete(ps->bPortCode, ps->wIndex);
}

// The target engine's entry a buffer's owner names, when it still holds
// that buffer's command.
KERNEL_ENTRY* psOwnerEntry(uint16_t wIoIndex, uint16_t wOwner) {
    KERNEL_ENTRY* ps = nullptr;
    if (wOwner >= HOST_ENTRY_COUNT) return nullptr;
    (void)wGetTargetEntry(wOwner, &ps);
    if (ps == nullptr) return nullptr;
    if (!IsSasPort(ps->bPortCode) || wIoIndexOf(ps) != wIoIndex) return nullptr;
    return ps;
}

// A new command or task IU in buffer wIoIndex; FALSE when no host entry
// was free (the command stays in its buffer, counted).
uint8_t NewCommand(uint32_t dWord, uint16_t wIoIndex) {
    const uint16_t wInitiator = wInitiatorOf(dWord);
    const uint8_t* pbBuffer = pbCmdBuffer(wIoIndex);
    // A host whose port is not known yet has its command wait under the
    // first port; the dispatcher moves it once the host is resolved.
    const uint8_t bRouted = SASHostPortOfInitiator(wInitiator, pbBuffer);
    const uint8_t bPort = bRouted == SAS_PORT_UNRESOLVED ? LSI_IOC_TARGET_1 : bRouted;
    KERNEL_ENTRY* ps = nullptr;
    uint16_t wIndex = 0;
    if (bAllocTargetEntries(bPort, 1, &ps, &wIndex, TRUE) != STATUS_OK) {
        CountTargetQueueFull();
        return FALSE;
    }
    const bool fTask = pbBuffer[0] == MPI_TARGET_FRAME_TASK;
    CopyNewCommandIocb(bPort, pbBuffer, ps, fTask ? HOST_STATE_TASK_MANAGEMENT : HOST_STATE_NEW_COMMAND, TRUE);
    const uint32_t dInitiator = wInitiator;
    std::memcpy(pbHead(ps) + INITIATOR_OFFSET, &dInitiator, 4);
    std::memcpy(ps->abHeadExtension, &dWord, 4);
    ps->bPortCode = bPort;
    pHostFields(ps)->bRoutedPort = bRouted;
    ps->lArrivalMs = lGetTickCount();
    ps->dStartTick = dGetCoarseTick();
    SAS_TARGET_IO_INFO& io = *psIo(wIoIndex);
    io.wOwner = wIndex;
    io.wTag = static_cast<uint16_t>(pbBuffer[2] | pbBuffer[3] << 8);
    io.bPort = bPort;
    io.wRequest = SAS_NO_FRAME;
    if (fTask) {
        ps->bCommandType = COMMAND_TYPE_TASK;
        QueueTaskMgmtRequest(bPort, wIndex);
        IncPortTotalCommands(bPort);
    } else {
        ps->bCommandType = COMMAND_TYPE_NEW;
        ps->alSequence[0] = ps->alSequence[1] = s_lSequence++;
        SetLastHostCommandTime(ps->lArrivalMs);
        QueueNewCommand(bPort, wIndex);
    }
    SetWorkPending(TRUE);
    return TRUE;
}

// The end of a transfer or status of buffer wIoIndex.
void TransferEnded(uint16_t wIoIndex, uint16_t wOwner) {
    if (IsReadAheadOwner(wOwner)) {
        DecReadAheadWaitCount(static_cast<uint8_t>(wOwner), TRUE);
        FreeIoIndex(wIoIndex);
        return;
    }
    KERNEL_ENTRY* ps = psOwnerEntry(wIoIndex, wOwner);
    if (wOwner == SAS_IO_OWNER_DONE || ps == nullptr) {
        FreeIoIndex(wIoIndex);
        return;
    }
    if (ps->bPrimaryState == HOST_STATE_DATA_OUT) {
        ps->bPrimaryState = HOST_STATE_DATA_RECEIVED;
        QueueDataReceived(ps->wIndex);
        return;
    }
    if (HasFlag(ps, KE_FLAG_WRITE_BACK | KE_FLAG_STATUS_SENT) || !IsActive(ps) ||
        ps->bPrimaryState == HOST_STATE_COMPLETE || ps->bPrimaryState == HOST_STATE_NEW_COMMAND) {
        FreeIoIndex(wIoIndex);
        return;
    }
    Finish(ps);
    if (!HasFlag(ps, KE_FLAG_MORE_PASSES)) FreeIoIndex(wIoIndex);
}

bool IsWaitingAbort(uint16_t wIoIndex) {
    const uint8_t* pb = s_sDeferred.pbWaiting(wIoIndex);
    return pb != nullptr && pb[3] == MPI_FUNCTION_TARGET_MODE_ABORT;
}

// A transfer that ended with its status and gave its buffer back to the
// IOC leaves nothing to abort: an abort still waiting for a frame would
// reach whatever command the IOC put in that buffer next.
void DropAbortOfRepostedBuffer(uint16_t wIoIndex, const SAS_TARGET_IO_INFO* p) {
    const uint8_t* pb = pbSASTransferInFlight(p->bPort, *p);
    if (!IsWaitingAbort(wIoIndex) || pb == nullptr) return;
    const uint8_t bRepost = pb[3] == MPI_FUNCTION_TARGET_ASSIST ? MPI_TARGET_ASSIST_FLAGS_REPOST
                                                                : MPI_TARGET_STATUS_FLAGS_REPOST;
    if ((pb[1] & bRepost) == 0) return;
    (void)s_sDeferred.Cancel(wIoIndex);
    SetSASTargetRepostRequest(TRUE);   // a repost held back for the abort goes as it would have
}

void PostTransferErrorEvent(uint8_t bPort, uint16_t wStatus, const uint8_t* pbReply, uint16_t wTag) {
    PostEvent(EVENT_TRANSFER_ERROR, bHostPortOfCode(bPort), static_cast<uint8_t>(wStatus), pbReply[12],
              pbReply[16], pbReply[17], static_cast<uint8_t>(wTag >> 8), static_cast<uint8_t>(wTag));
}

}  // namespace

void RegisterSASCommandPort(KERNEL_ENTRY* psEntry, uint8_t bPort) {
    if (!IsSasPort(bPort)) return;
    InterruptSourceLock sLock(INT_SOURCE_HOST_CHIPS);
    SAS_TARGET_IO_INFO* psIoInfo = psIo(wIoIndexOf(psEntry));
    if (psIoInfo != nullptr && psIoInfo->wOwner == psEntry->wIndex) psIoInfo->bPort = bPort;
}

uint8_t SASTargetContextReply(uint32_t dWord) {
    const uint16_t wIoIndex = static_cast<uint16_t>(dWord & MAX_IO_INDEX_FIELD);
    SAS_TARGET_IO_INFO* p = psIo(wIoIndex);
    if (p == nullptr) {
        CountSASTargetDroppedReply();
        return TRUE;
    }
    if (wInitiatorOf(dWord) >= SAS_TARGET_MAX_INITIATORS) {
        // No host record can hold the sender.  A new command in a buffer
        // goes back to the IOC unanswered, which ends its exchange, rather
        // than keep the buffer from every other host for good.
        CountSASTargetDroppedReply();
        if (p->wOwner == SAS_IO_OWNER_NONE) RequestCommandBufferRepost(LSI_IOC_TARGET_1, wIoIndex);
        return TRUE;
    }
    if (p->wOwner == SAS_IO_OWNER_NONE) return NewCommand(dWord, wIoIndex);
    DropAbortOfRepostedBuffer(wIoIndex, p);
    FreeBufferRequest(p);
    TransferEnded(wIoIndex, p->wOwner);
    return TRUE;
}

// --- data and status -----------------------------------------------------------

uint8_t StartSASDataInTransfer(KERNEL_ENTRY* ps, uint32_t dRelativeOffset, uint32_t dAddress1, uint32_t dLength1,
                               uint32_t dAddress2, uint32_t dLength2, uint8_t fAutoStatus, uint8_t bStatus,
                               uint8_t bKey, uint8_t bAsc, uint8_t bAscq) {
    InterruptSourceLock sLock(INT_SOURCE_HOST_CHIPS);
    uint16_t wFrame = SAS_NO_FRAME;
    uint8_t* pb = pbTakeSASTargetFrame(ps->bPortCode, wIoIndexOf(ps), &wFrame);
    if (pb == nullptr) return 0;
    FillCommandFields(ps, pb, MPI_FUNCTION_TARGET_ASSIST);
    pb[0] = fAutoStatus == TRUE ? bStatus : 0;
    pb[1] = fAutoStatus == TRUE ? ASSIST_AUTO_STATUS : ASSIST_TO_INITIATOR;
    PutTargetAssistData(pb, dRelativeOffset, dAddress1, dLength1, dAddress2, dLength2, TRUE);
    if (fAutoStatus == TRUE) RecordSASHostStatus(wInitiatorOf(dReplyWordOf(ps)), bKey, bAsc, bAscq);
    ps->bPrimaryState = HOST_STATE_DATA_IN;
    // A transfer that waits for a frame stays its command's: the command
    // cannot end before its data went.
    const uint8_t bSlot = wFrame == SAS_DEFERRED_FRAME ? READ_AHEAD_SLOTS : bReadAheadSlotOfTransfer(ps, fAutoStatus);
    if (bSlot >= READ_AHEAD_SLOTS) {
        Post(ps, pb, wFrame, DATA_IN_TIMEOUT_MS);
        return STATUS_OK;
    }
    // The command ends now, giving up its own hold on the slot.
    const uint32_t dContext = SAS_IO_OWNER_READ_AHEAD | bSlot;
    std::memcpy(pb + 8, &dContext, 4);
    AddReadAheadUser(bSlot, 0);
    Post(ps, pb, wFrame, DATA_IN_TIMEOUT_MS);
    if (SAS_TARGET_IO_INFO* p = psIo(wIoIndexOf(ps))) p->wOwner = static_cast<uint16_t>(dContext);
    Finish(ps);
    return STATUS_OK;
}

void StartSASDataOutTransfer(KERNEL_ENTRY* ps, uint32_t dRelativeOffset, uint32_t dAddress1, uint32_t dAddress2,
                             uint32_t dLength1, uint32_t dLength2) {
    InterruptSourceLock sLock(INT_SOURCE_HOST_CHIPS);
    uint16_t wFrame = SAS_NO_FRAME;
    uint8_t* pb = pbTakeSASTargetFrame(ps->bPortCode, wIoIndexOf(ps), &wFrame);
    if (pb == nullptr) return;
    FillCommandFields(ps, pb, MPI_FUNCTION_TARGET_ASSIST);
    PutTargetAssistData(pb, dRelativeOffset, dAddress1, dLength1, dAddress2, dLength2, FALSE);
    ps->bPrimaryState = HOST_STATE_DATA_OUT;
    Post(ps, pb, wFrame, DATA_OUT_TIMEOUT_MS);
}

uint8_t SendSASScsiStatus(KERNEL_ENTRY* ps, uint8_t bStatus, uint8_t bKey, uint8_t bAsc, uint8_t bAscq) {
    InterruptSourceLock sLock(INT_SOURCE_HOST_CHIPS);
    const uint16_t wIoIndex = wIoIndexOf(ps);
    uint16_t wFrame = SAS_NO_FRAME;
    uint8_t* pb = pbTakeSASTargetFrame(ps->bPortCode, wIoIndex, &wFrame);
    if (pb == nullptr) return 0;
    FillCommandFields(ps, pb, MPI_FUNCTION_TARGET_STATUS_SEND);
    pb[0] = bStatus;
    RecordSASHostStatus(wInitiatorOf(dReplyWordOf(ps)), bKey, bAsc, bAscq);
    uint8_t* pbResponse = nullptr;
    if (bStatus == SCSI_STATUS_GOOD) {
        pb[1] = STATUS_AUTO_GOOD;
    } else if (bGetSASTargetResponseBuffer(ps->bPortCode, wIoIndex, &pbResponse) == STATUS_OK) {
        pb[1] = STATUS_WITH_RESPONSE;
        std::memset(pbResponse, 0, SAS_TARGET_RESPONSE_BYTES);
        uint8_t* pbIu = pbResponse + MPI_TARGET_RESPONSE_IU_OFFSET;
        pbIu[SSP_RESPONSE_STATUS] = bStatus;
        uint32_t dLength = RESPONSE_WITHOUT_SENSE;
        if (bStatus != SCSI_STATUS_RESERVATION_CONFLICT) {
            pbIu[SSP_RESPONSE_DATAPRES] = 2;
            PutBe32(pbIu + SSP_RESPONSE_SENSE_LENGTH, 18);
            uint8_t* pbSense = pbIu + SSP_RESPONSE_DATA;
            BuildFixedSense(pbSense, bKey, bAsc, bAscq);
            AddSenseDetails(ps, pbSense);
            dLength = RESPONSE_WITH_SENSE;
        }
        PutSge(pb + 24, SGE_LAST_TO_INITIATOR | dLength,
               static_cast<uint32_t>(dPciAddressOf(pbResponse)));
    }
    // A write answered before its data is on the drives (its status sent
    // early) goes on through the cache's stages: its state is theirs, and
    // the back end ends the entry once the drives hold the data.  Marked as
    // sending status, the write would drop out of its stage queue and keep
    // its host entry and cache pages for good.
    if (!HasFlag(ps, KE_FLAG_STATUS_SENT)) ps->bPrimaryState = HOST_STATE_STATUS;
    Post(ps, pb, wFrame, STATUS_TIMEOUT_MS);
    if (HasFlag(ps, KE_FLAG_STATUS_SENT)) {
        if (SAS_TARGET_IO_INFO* p = psIo(wIoIndex)) p->wOwner = SAS_IO_OWNER_DONE;
        if (ps->bCommandType == COMMAND_TYPE_STREAM_PIECE || ps->bCommandType == COMMAND_TYPE_CLOSING_PIECE) {
            Finish(ps);
        }
    }
    return STATUS_OK;
}

// --- aborts ----------------------------------------------------------------------

const uint8_t* pbSASTransferInFlight(uint8_t bPort, const SAS_TARGET_IO_INFO& io) {
    uint8_t* pb = nullptr;
    if (io.wRequest == SAS_NO_FRAME || bGetTargetRequestFrameAddress(bPort, io.wRequest, &pb) != STATUS_OK ||
        (pb[3] != MPI_FUNCTION_TARGET_ASSIST && pb[3] != MPI_FUNCTION_TARGET_STATUS_SEND)) {
        return nullptr;
    }
    return pb;
}

// An abort that finds no frame waits in its buffer's place (the buffer goes
// back to the IOC only after it): the transfer it ends would otherwise run
// on under a buffer the IOC may give to a new command.
void SendSASTargetModeAbort(uint8_t bPort, uint8_t bType, uint32_t dReplyWord, uint32_t dContext) {
    uint16_t wFrame = SAS_NO_FRAME;
    const auto wIoIndex = static_cast<uint16_t>(dReplyWord & MAX_IO_INDEX_FIELD);
    uint8_t* pb = nullptr;
    if (bGetTargetRequestFrame(bPort, &pb, &wFrame, TRUE) != STATUS_OK) {
        pb = s_sDeferred.pbBuild(wIoIndex);
        wFrame = SAS_DEFERRED_FRAME;
    }
    if (pb == nullptr) return;
    MPI_TARGET_MODE_ABORT_REQUEST s{};
    s.bAbortType = bType;
    s.bFunction = MPI_FUNCTION_TARGET_MODE_ABORT;
    s.dMsgContext = bPort == LSI_IOC_TARGET_2 ? SAS_CONTEXT_PORT_2 : SAS_CONTEXT_PORT_1;
    s.dReplyWord = dReplyWord;
    s.dMsgContextToAbort = dContext;
    std::memcpy(pb, &s, sizeof s);
    if (wFrame == SAS_DEFERRED_FRAME) {
        s_sDeferred.Defer(wIoIndex, ABORT_TIMEOUT_MS);
        SetWorkPending(TRUE);
    } else {
        PostTargetRequest(bPort, pb, wFrame, ABORT_TIMEOUT_MS, 0);
    }
    if (uint16_t* pw = pwSASTargetAbortsOutstanding(bPort)) ++*pw;
}

void AbortSASTargetCommand(KERNEL_ENTRY* ps, uint8_t bReason) {
    if (bReason != 0) {
        const uint8_t* pbLun = pbHead(ps) + 8;
        const uint64_t lElapsed = lGetTickCount() - ps->lArrivalMs;
        const uint16_t wElapsed = lElapsed > 0xFFFF ? 0xFFFF : static_cast<uint16_t>(lElapsed);
        PostEvent(EVENT_ABORT, bHostPortOfCode(ps->bPortCode), bReason, pbLun[1], pbHead(ps)[3], pbHead(ps)[2],
                  ps->bPrimaryState, pbHead(ps)[20], static_cast<uint8_t>(wElapsed >> 8),
                  static_cast<uint8_t>(wElapsed));
    }
    const uint16_t wIoIndex = wIoIndexOf(ps);
    // A request still waiting for a frame never reached the IOC: it is
    // dropped, and no reply will end its command.
    const bool fNotSent = ps->bPrimaryState != HOST_STATE_FREE && ps->bPrimaryState != HOST_STATE_COMPLETE &&
                          s_sDeferred.Cancel(wIoIndex);
    switch (ps->bPrimaryState) {
    case HOST_STATE_FREE:
    case HOST_STATE_COMPLETE:
        return;
    case HOST_STATE_DATA_OUT:
        if (ps->bCommandType == COMMAND_TYPE_CONTINUATION || ps->bCommandType == COMMAND_TYPE_STREAM_HEAD) {
            ps->bPrimaryState = HOST_STATE_DATA_RECEIVED;
            QueueDataReceived(ps->wIndex);
            // Its data-out never left: none of its data came, so it goes on
            // as aborted (the cache stores nothing of it unless later
            // writes of its stream joined it), no status goes out for it,
            // and its buffer goes back, which ends the host's exchange.
            if (fNotSent) {
                SetFlag(ps, KE_FLAG_ABORTED | KE_FLAG_NO_STATUS);
                RequestCommandBufferRepost(ps->bPortCode, wIoIndex);
            }
            return;
        }
        [[fallthrough]];
    case HOST_STATE_DATA_IN:
    case HOST_STATE_STATUS:
        SetFlag(ps, KE_FLAG_ABORTED | KE_FLAG_NO_STATUS);
        RequestCommandBufferRepost(ps->bPortCode, wIoIndex);
        if (fNotSent) Finish(ps);
        return;
    case HOST_STATE_NEW_COMMAND:
        SetFlag(ps, KE_FLAG_ABORTED);
        RequestCommandBufferRepost(ps->bPortCode, wIoIndex);
        return;
    default: {
        // Its data is in, or it waits on the cache or the drives, with no
        // request of its own at the IOC.  Ended without status alone, the
        // host's exchange would stay open at the IOC for good, and an abort
        // that waits for it would never be answered: while its buffer still
        // names it, the buffer goes back, which ends the exchange, and no
        // status goes out for it any more.
        const SAS_TARGET_IO_INFO* p = psIo(wIoIndex);
        const bool fOwnsBuffer = p != nullptr && psOwnerEntry(wIoIndex, p->wOwner) == ps;
        Finish(ps);
        if (fOwnsBuffer) {
            SetFlag(ps, KE_FLAG_NO_STATUS);
            RequestCommandBufferRepost(ps->bPortCode, wIoIndex);
        }
        return;
    }
    }
}

void EndUnroutedSASCommands(uint16_t wInitiator) {
    LSI_SAS_TARGET_IOC* a = dGetSASTargetIocRecord(LSI_IOC_TARGET_1);
    InterruptSourceLock sLock(INT_SOURCE_HOST_CHIPS);
    for (uint16_t w = 0; w < a->wCmdBuffers; ++w) {
        KERNEL_ENTRY* ps = psOwnerEntry(w, a->asIo[w].wOwner);
        if (ps == nullptr || !IsActive(ps) || pHostFields(ps)->bRoutedPort != SAS_PORT_UNRESOLVED ||
            wInitiatorOf(dReplyWordOf(ps)) != wInitiator) {
            continue;
        }
        AbortSASTargetCommand(ps, 0);
    }
}

void AbortSASTargetPortCommands(uint8_t bPort, uint8_t fAll) {
    LSI_SAS_TARGET_IOC* a = dGetSASTargetIocRecord(bPort);
    if (a == nullptr) return;
    const uint64_t lStamp = lGetSASTargetPortResetStamp(bPort);
    for (uint16_t w = 0; w < a->wCmdBuffers; ++w) {
        SAS_TARGET_IO_INFO& io = a->asIo[w];
        if (io.bPort != bPort || io.wOwner == SAS_IO_OWNER_NONE) continue;
        if (KERNEL_ENTRY* ps = psOwnerEntry(w, io.wOwner)) {
            if (!IsActive(ps) || !IsOnPort(ps, bPort)) continue;
            if (fAll == TRUE) {
                const uint32_t dReply = dReplyWordOf(ps);
                AbortSASTargetCommand(ps, 0xF5);
                SendSASTargetModeAbort(bPort, 2, dReply, 0);
            } else if (ps->lArrivalMs < lStamp) {
                AbortSASTargetCommand(ps, 0xF7);
            }
        } else if (fAll == TRUE) {
            // A transfer that outlived its command is named by the request
            // the IOC carries for it: the reply word with its initiator.
            uint32_t dReply = 0;
            if (const uint8_t* pb = pbSASTransferInFlight(bPort, io)) {
                std::memcpy(&dReply, pb + 12, 4);
                SendSASTargetModeAbort(bPort, 2, dReply, 0);
            }
        }
    }
    InitScsi2Reservations();
    SetHostTargetWork(TRUE);
    FillHostInterfaceBitmap(bPort, TRUE);
}

// --- requests waiting for a frame ----------------------------------------------------

uint8_t* pbTakeSASTargetFrame(uint8_t bPort, uint16_t wIoIndex, uint16_t* pwFrame) {
    if (uint8_t* pb = pbTakeFrame(bPort, pwFrame)) return pb;
    *pwFrame = SAS_DEFERRED_FRAME;
    return s_sDeferred.pbBuild(wIoIndex);
}

void PostSASTargetRequest(uint8_t bPort, uint16_t wIoIndex, uint8_t* pbFrame, uint16_t wFrame, uint32_t dTimeoutMs) {
    if (wFrame == SAS_DEFERRED_FRAME) {
        s_sDeferred.Defer(wIoIndex, dTimeoutMs);
        SetWorkPending(TRUE);
        return;
    }
    PostTargetRequest(bPort, pbFrame, wFrame, dTimeoutMs, 0);
    if (SAS_TARGET_IO_INFO* p = psIo(wIoIndex)) p->wRequest = wFrame;
}

uint8_t fHasDeferredSASTargetRequests() { return ToFlag(s_sDeferred.HasAny()); }
uint8_t fIsDeferredSASTargetPostDue() {
    const LSI_SAS_TARGET_IOC* a = dGetSASTargetIocRecord(LSI_IOC_TARGET_1);
    return ToFlag(s_sDeferred.HasAny() && a->wRequestsInUse < a->wRequestFrames);
}
uint8_t fIsSASTargetRequestDeferred(uint16_t wIoIndex) { return ToFlag(s_sDeferred.IsWaiting(wIoIndex)); }
void ClearDeferredSASTargetRequests() { s_sDeferred.Clear(); }

void PostDeferredSASTargetRequests() {
    InterruptSourceLock sLock(INT_SOURCE_HOST_CHIPS);
    s_sDeferred.PostEach([](uint16_t w, const uint8_t* pbRequest, uint32_t dTimeoutMs) {
        const SAS_TARGET_IO_INFO* p = psIo(w);
        const uint8_t bPort = p != nullptr && IsSasPort(p->bPort) ? p->bPort : LSI_IOC_TARGET_1;
        uint16_t wFrame = SAS_NO_FRAME;
        uint8_t* pb = pbTakeFrame(bPort, &wFrame);
        if (pb == nullptr) return false;
        std::memcpy(pb, pbRequest, DEFERRED_REQUEST_BYTES);
        // An abort is not the buffer's transfer: the transfer it ends keeps
        // its own request.  Came too late for a transfer that ended well
        // with a command that let go of its buffer, it still ends the
        // exchange, and the buffer then belongs to no one: it goes back.
        if (pb[3] == MPI_FUNCTION_TARGET_MODE_ABORT) {
            PostTargetRequest(bPort, pb, wFrame, dTimeoutMs, 0);
            if (p != nullptr && p->wOwner == SAS_IO_OWNER_NONE) {
                RequestCommandBufferRepost(bPort, w);
            } else {
                SetSASTargetRepostRequest(TRUE);   // a repost held back for the abort goes now
            }
        } else {
            PostSASTargetRequest(bPort, w, pb, wFrame, dTimeoutMs);
        }
        return true;
    });
}

// TARGET ASSIST and STATUS SEND that ended in error.
void SASTargetTransferErrorReply(const uint8_t* pbReply) {
    MPI_REPLY_HEADER sHeader;
    std::memcpy(&sHeader, pbReply, sizeof sHeader);
    const uint16_t wIoIndex = static_cast<uint16_t>((pbReply[20] | pbReply[21] << 8) & MAX_IO_INDEX_FIELD);
    SAS_TARGET_IO_INFO* p = psIo(wIoIndex);
    if (p == nullptr) {
        CountSASTargetDroppedReply();
        return;
    }
    const uint16_t wStatus = sHeader.wIOCStatus & MPI_IOCSTATUS_MASK;
    const uint8_t bPort = IsSasPort(p->bPort) ? p->bPort : LSI_IOC_TARGET_1;
    if (wStatus != IOC_STATUS_ABORTED) PostTransferErrorEvent(bPort, wStatus, pbReply, p->wTag);
    const bool fLost = wStatus == IOC_STATUS_ABORTED || wStatus == IOC_STATUS_NO_CONNECTION;
    if (IsReadAheadOwner(p->wOwner) || p->wOwner == SAS_IO_OWNER_DONE) {
        // No command is left to end: whatever the IOC answered (an exchange
        // already aborted answers a late status as not valid), the buffer
        // goes back unless the IOC keeps the exchange.
        if (wStatus == IOC_STATUS_STATUS_NOT_SENT) return;
        if (IsReadAheadOwner(p->wOwner)) DecReadAheadWaitCount(static_cast<uint8_t>(p->wOwner), TRUE);
        RequestCommandBufferRepost(bPort, wIoIndex);
        return;
    }
    KERNEL_ENTRY* ps = psOwnerEntry(wIoIndex, p->wOwner);
    if (ps == nullptr) {
        RequestCommandBufferRepost(bPort, wIoIndex);
        return;
    }
    const uint32_t dReply = dReplyWordOf(ps);
    if (sHeader.bFunction == MPI_FUNCTION_TARGET_STATUS_SEND && wStatus == IOC_STATUS_STATUS_NOT_SENT &&
        ps->bPrimaryState != HOST_STATE_STATUS) {
        return;
    }
    AbortSASTargetCommand(ps, 0);
    if (sHeader.bFunction == MPI_FUNCTION_TARGET_ASSIST && !fLost) SendSASTargetModeAbort(bPort, 2, dReply, 0);
    if (wStatus != IOC_STATUS_STATUS_NOT_SENT) RequestCommandBufferRepost(bPort, wIoIndex);
    // No other reply comes for this transfer: a command still moving data
    // or status ends here, without status, or its host entry would stay
    // taken for good.
    if (IsActive(ps) && (ps->bPrimaryState == HOST_STATE_DATA_IN || ps->bPrimaryState == HOST_STATE_DATA_OUT ||
                         ps->bPrimaryState == HOST_STATE_STATUS)) {
        Finish(ps);
    }
}

// Commands whose transfer has not moved for too long are aborted, fifty
// host entries a call.
void SASTargetCommandTimeoutScan() {
    const uint64_t lNow = lGetTickCount();
    for (uint16_t n = 0; n < SCAN_PER_CALL; ++n) {
        KERNEL_ENTRY* ps = nullptr;
        const uint16_t w = s_wScanCursor;
        s_wScanCursor = static_cast<uint16_t>((s_wScanCursor + 1) % HOST_ENTRY_COUNT);
        (void)wGetTargetEntry(w, &ps);
        if (ps == nullptr || !IsActive(ps) || !IsSasPort(ps->bPortCode)) continue;
        const uint8_t bState = ps->bPrimaryState;
        if (bState != HOST_STATE_DATA_IN && bState != HOST_STATE_DATA_OUT && bState != HOST_STATE_STATUS) continue;
        const uint16_t wIoIndex = wIoIndexOf(ps);
        const SAS_TARGET_IO_INFO* p = psIo(wIoIndex);
        const LSI_SAS_TARGET_IOC* a = dGetSASTargetIocRecord(ps->bPortCode);
        const uint64_t lStart = p != nullptr && p->wRequest != SAS_NO_FRAME ? a->asRequest[p->wRequest].lStart
                                                                             : ps->lArrivalMs;
        if (lNow - lStart <= STALL_LIMIT_MS) continue;
        InterruptSourceLock sLock(INT_SOURCE_HOST_CHIPS);
        const uint32_t dReply = dReplyWordOf(ps);
        AbortSASTargetCommand(ps, 0xF6);
        SendSASTargetModeAbort(ps->bPortCode, 2, dReply, 0);
    }
}

}  // namespace fw
