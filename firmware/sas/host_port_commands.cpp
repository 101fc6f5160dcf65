// The parallel SCSI host ports' command road: new commands and the ends of
// their transfers taken from the reply FIFO into host entries, the data and
// status the target engine sends back (TARGET ASSIST and TARGET STATUS
// SEND), the IOC's priority conditions and events, and the services that
// re-post command buffers and watch for transfers that never end.
#include <cstring>
#include <initializer_list>

#include "config/host_port_tables.h"
#include "eventlog/event_log.h"
#include "eventlog/statistics.h"
#include "executive/interrupt_controller.h"
#include "executive/kernel_entry.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/hw.h"
#include "hw/mpi.h"
#include "hw/mpi_scsi_port.h"
#include "hw/scsi.h"
#include "platform/internal_command_path.h"
#include "sas/deferred_requests.h"
#include "sas/host_port_ioc.h"
#include "sas/mpi_interface.h"
#include "sas/sas_drive.h"
#include "target/back_end_completion.h"
#include "target/buffer_commands.h"
#include "target/command_access.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/scsi2_reservations.h"
#include "target/stage_rings.h"
#include "target/unit_attention.h"
#include "cache/read_ahead.h"

namespace fw {

namespace {

constexpr uint32_t REPLY_TYPE_MASK = 0x60000000;
constexpr uint32_t INITIATOR_OFFSET = 40;   // where the target engine reads a host-port command's initiator
constexpr uint16_t MAP_DONE = 0xFE00;
constexpr uint16_t MAP_TASK_ANSWER = 0xFB00;
constexpr uint16_t MAP_READ_AHEAD = TARGET_OWNER_READ_AHEAD;
constexpr uint32_t CONTEXT_VALID = 0x80000000;
constexpr uint32_t CONTEXT_FRAME_SHIFT = 16;
constexpr uint32_t CONTEXT_FRAME_MASK = 0x7FFF;
constexpr uint16_t FRAME_CREDIT_SLACK = 16;
constexpr uint32_t FRAME_CREDIT_POLLS = 0x10000;
constexpr uint8_t ASSIST_TO_INITIATOR = 0x01;
constexpr uint8_t ASSIST_WITH_STATUS = 0x83;
constexpr uint8_t ASSIST_HIGH_PRIORITY = 0x04;
constexpr uint8_t STATUS_AUTO_GOOD = 0x81;
constexpr uint8_t STATUS_WITH_IU = 0x80;
constexpr uint32_t SENSE_LIST_BYTES = 14;
constexpr uint32_t TASK_RESPONSE_BYTES = 4;
constexpr uint8_t STATUS_NO_FRAME = 16;
constexpr uint8_t COMMAND_TYPE_NEW = 2;
constexpr uint8_t HANDSHAKE_DWORDS_TWO_SEGMENTS = 12;
constexpr uint8_t HANDSHAKE_DWORDS_ONE_SEGMENT = 10;
constexpr uint8_t HANDSHAKE_REPLY_DWORDS = 5;
constexpr uint32_t WATCHDOG_ENTRIES_PER_PASS = 50;
constexpr uint64_t STALLED_TRANSFER_MS = 10000;
constexpr uint32_t BUS_RESET_SETTLE_MS = 100;
constexpr uint8_t EVENT_BUS_RESET = 36;
constexpr uint8_t BUS_RESET_EXTERNAL = 1;
constexpr uint8_t BUS_RESET_BY_IOC = 2;
constexpr uint8_t BUS_RESET_BY_WATCHDOG = 3;
constexpr uint8_t ABORT_ALL_IO = 1;
constexpr uint32_t ABORT_ALL_REPLY_WORD = 0x20000000;

constexpr uint16_t DEFERRED_REQUEST_BYTES = 48;   // the longest data or status request

struct PORT_STATE {
    uint8_t fBusReset;
    uint8_t fReinitRequest;
    uint8_t fReinitFailed;   // the last try failed: one more is made
    uint8_t fAbortAll;
    uint8_t fAckPending;
    uint16_t wAckFrame;
    uint64_t lAckSentMs;
    uint8_t fRepostPending;
    BufferBitmap<HOST_PORT_CMD_BUFFERS> sRepost;   // buffers to give back to the IOC
    uint64_t lResetSnapshot;
    uint32_t dStashedWord;   // a new command no host entry could take yet
    uint8_t fStashed;
    DeferredRequests<HOST_PORT_CMD_BUFFERS, DEFERRED_REQUEST_BYTES> sDeferred;   // requests waiting for a frame
    uint32_t dDropped;       // reply words out of range
};
PORT_STATE s_asPortState[2];
uint64_t s_lSequence = 0;
uint32_t s_dSpurious = 0;
uint16_t s_wWatchdogCursor = 0;
// Each port's frame for requests sent by handshake.
alignas(8) uint8_t s_aabHandshakeFrame[2][HOST_PORT_REQUEST_FRAME_BYTES];
// The frame index of a request that waits for a frame.
constexpr uint16_t DEFERRED_FRAME = HOST_PORT_REQUEST_FRAMES + 1;

bool IsHostPort(uint8_t bIocId) { return bIocId == LSI_IOC_HOST_PORT_1 || bIocId == LSI_IOC_HOST_PORT_2; }
PORT_STATE& State(uint8_t bIocId) { return s_asPortState[bIocId == LSI_IOC_HOST_PORT_2 ? 1 : 0]; }
uint8_t bPortNumber(uint8_t bIocId) { return bIocId == LSI_IOC_HOST_PORT_2 ? 2 : 1; }
uint8_t* pbAt(CPU_ADDRESS d) { return static_cast<uint8_t*>(pCpuAddressToPointer(d)); }

uint32_t dReplyWordOf(const KERNEL_ENTRY* ps) {
    uint32_t d;
    std::memcpy(&d, ps->abHeadExtension, 4);
    return d;
}
uint16_t wIoIndexOf(const KERNEL_ENTRY* ps) {
    return static_cast<uint16_t>(dReplyWordOf(ps) & MPI_TARGET_REPLY_IO_INDEX_MASK);
}
uint8_t bInitiatorOf(uint32_t dWord) {
    return static_cast<uint8_t>((dWord >> MPI_TARGET_REPLY_INITIATOR_SHIFT) & MPI_TARGET_REPLY_INITIATOR_MASK);
}

bool IsInUse(const KERNEL_ENTRY* ps) { return ps->fUsed == TRUE && ps->bPrimaryState != HOST_STATE_FREE; }
bool IsSettled(uint8_t bState) {
    return bState == HOST_STATE_FREE || bState == HOST_STATE_COMPLETE || bState == HOST_STATE_NEW_COMMAND;
}
bool IsTransferPhase(uint8_t bState) {
    return bState == HOST_STATE_DATA_IN || bState == HOST_STATE_DATA_OUT || bState == HOST_STATE_STATUS;
}

void FreeFrame(HOST_PORT_MPT_STATE& s, uint16_t wFrame) {
    if (wFrame >= HOST_PORT_REQUEST_FRAMES) return;
    uint32_t& d = s.adFrameInUse[wFrame / 32];
    const uint32_t dBit = 1u << (wFrame % 32);
    if ((d & dBit) == 0) return;
    d &= ~dBit;
    if (s.wOutstanding != 0) --s.wOutstanding;
}

// The request frame that carried buffer wIoIndex's last transfer goes back.
void FreeIoFrame(HOST_PORT_MPT_STATE& s, uint16_t wIoIndex) {
    FreeFrame(s, s.awIoToFrame[wIoIndex]);
    s.awIoToFrame[wIoIndex] = HOST_PORT_MAP_FREE;
}

// The entry that holds buffer wIoIndex's command, while it still does.
KERNEL_ENTRY* psMatchingEntry(uint8_t bIocId, const HOST_PORT_MPT_STATE& s, uint16_t wIoIndex) {
    const uint16_t wOwner = s.awIoToEntry[wIoIndex];
    if (wOwner >= HOST_ENTRY_COUNT) return nullptr;
    KERNEL_ENTRY* ps = nullptr;
    (void)wGetTargetEntry(wOwner, &ps);
    if (ps == nullptr || ps->bPortCode != bIocId || wIoIndexOf(ps) != wIoIndex) return nullptr;
    return ps;
}

// A buffer whose command ended without the IOC re-posting it is given back
// by the repost service; only a buffer that still holds a command counts.
void MarkRepost(uint8_t bIocId, const HOST_PORT_MPT_STATE& s, uint16_t wIoIndex) {
    if (wIoIndex >= HOST_PORT_CMD_BUFFERS || s.awIoToEntry[wIoIndex] == HOST_PORT_MAP_FREE) return;
    PORT_STATE& p = State(bIocId);
    p.sRepost.Mark(wIoIndex);
    p.fRepostPending = TRUE;
}

void Finish(KERNEL_ENTRY* ps) {
    MarkFinishedWithoutStatus(ps);
    QueueCommandComplete(ps->bPortCode, ps->wIndex);
}

// A bus reset, a reset-class task or a stuck port: every host is told, the
// SCSI-2 reservations end and the scan flushes what the reset left.
void ResetAfterBusEvent(uint8_t bIocId) {
    SetHostPortLinkFlag(bIocId, TRUE);
    FillHostInterfaceBitmap(bIocId, TRUE);
    EndScsi2ReservationsOfPort(bIocId);
    SetHostPortBusResetFlag(bIocId);
}

// A host entry for the command in buffer wIoIndex; FALSE when none is free.
bool NewCommand(uint8_t bIocId, HOST_PORT_MPT_STATE& s, uint32_t dWord, uint16_t wIoIndex, KERNEL_ENTRY** pps) {
    KERNEL_ENTRY* ps = nullptr;
    uint16_t wIndex = 0;
    if (bAllocTargetEntries(bIocId, 1, &ps, &wIndex, TRUE) != STATUS_OK) {
        CountTargetQueueFull();
        return false;
    }
    CopyNewCommandIocb(bIocId, pbAt(dGetHostPortCommandBuffer(bIocId, wIoIndex)), ps, HOST_STATE_NEW_COMMAND, TRUE);
    std::memcpy(ps->abHeadExtension, &dWord, 4);
    reinterpret_cast<uint8_t*>(ps)[INITIATOR_OFFSET] = bInitiatorOf(dWord);
    ps->bCommandType = COMMAND_TYPE_NEW;
    ps->alSequence[0] = ps->alSequence[1] = s_lSequence++;
    ps->dStartTick = dGetCoarseTick();
    ps->lArrivalMs = lGetTickCount();
    SetLastHostCommandTime(ps->lArrivalMs);
    s.awIoToEntry[wIoIndex] = wIndex;
    *pps = ps;
    return true;
}

// The command is answered CHECK CONDITION, ABORTED COMMAND with the
// additional sense given, through the target engine's status stage.
void AnswerWithSense(KERNEL_ENTRY* ps, uint8_t bAsc, uint8_t bAscq) {
    MarkHostCommandFailedWithSense(ps, SENSE_ABORTED_COMMAND, bAsc, bAscq);
    SetFlag(ps, KE_FLAG_SENSE_PRESENT);
    ps->bPrimaryState = HOST_STATE_WRITE_COMPLETE;
    QueueWriteComplete(ps->bPortCode, ps->wIndex);
}

// A data transfer or status of buffer wIoIndex completed.
void TransferEnded(uint8_t bIocId, HOST_PORT_MPT_STATE& s, uint16_t wIoIndex) {
    KERNEL_ENTRY* ps = psMatchingEntry(bIocId, s, wIoIndex);
    if (ps == nullptr) {
        s.awIoToEntry[wIoIndex] = HOST_PORT_MAP_FREE;
        return;
    }
    if (ps->bPrimaryState == HOST_STATE_DATA_OUT) {
        ps->bPrimaryState = HOST_STATE_DATA_RECEIVED;
        QueueDataReceived(ps->wIndex);
        return;
    }
    if (!HasFlag(ps, KE_FLAG_WRITE_BACK | KE_FLAG_STATUS_SENT) && IsInUse(ps) && !IsSettled(ps->bPrimaryState)) {
        Finish(ps);
        if (HasFlag(ps, KE_FLAG_MORE_PASSES)) return;
    }
    s.awIoToEntry[wIoIndex] = HOST_PORT_MAP_FREE;
}

// A target reply; FALSE when its new command must wait for a host entry.
bool TargetReply(uint8_t bIocId, HOST_PORT_MPT_STATE& s, uint32_t dWord) {
    const uint16_t wIoIndex = static_cast<uint16_t>(dWord & MPI_TARGET_REPLY_IO_INDEX_MASK);
    if (wIoIndex >= HOST_PORT_CMD_BUFFERS) {
        ++State(bIocId).dDropped;
        return true;
    }
    const uint16_t wSlot = s.awIoToEntry[wIoIndex];
    if (wSlot == HOST_PORT_MAP_FREE) {
        KERNEL_ENTRY* ps = nullptr;
        if (!NewCommand(bIocId, s, dWord, wIoIndex, &ps)) return false;
        QueueNewCommand(bIocId, ps->wIndex);
        SetWorkPending(TRUE);
    } else if ((wSlot & 0xFF00) == MAP_READ_AHEAD) {
        DecReadAheadWaitCount(static_cast<uint8_t>(wSlot), TRUE);
        s.awIoToEntry[wIoIndex] = HOST_PORT_MAP_FREE;
    } else if (wSlot == MAP_DONE || wSlot == MAP_TASK_ANSWER) {
        s.awIoToEntry[wIoIndex] = HOST_PORT_MAP_FREE;
    } else {
        TransferEnded(bIocId, s, wIoIndex);
    }
    FreeIoFrame(s, wIoIndex);
    return true;
}

// TARGET STATUS SEND of a task management answer, sent at once by
// handshake: response code 0, function complete.
void SendPriorityTaskResponse(uint8_t bIocId, HOST_PORT_MPT_STATE& s, uint32_t dWord, const uint8_t* pbBuffer) {
    uint8_t* pbIu = pbAt(dGetHostPortStatusBuffer(bIocId, HOST_PORT_REQUEST_FRAMES));
    std::memset(pbIu, 0, HOST_PORT_STATUS_BUFFER_BYTES);
    pbIu[SPI_STATUS_VALID] = 1;
    PutBe32(pbIu + SPI_STATUS_PKT_FAILURES, TASK_RESPONSE_BYTES);
    MPI_TARGET_STATUS_SEND_REQUEST r{};
    r.bStatusFlags = STATUS_WITH_IU | ASSIST_HIGH_PRIORITY;
    r.bFunction = MPI_FUNCTION_TARGET_STATUS_SEND;
    std::memcpy(&r.wQueueTag, pbBuffer + SPI_CMD_TAG, 2);
    r.dMsgContext = 0xFFFFFFFF;
    r.dReplyWord = dWord;
    std::memcpy(r.abLun, pbBuffer + SPI_CMD_LUN, 8);
    r.adSGL[0] = SGE_LAST_TO_INITIATOR | (SPI_STATUS_SENSE + TASK_RESPONSE_BYTES);
    r.adSGL[1] = static_cast<uint32_t>(dPciAddressOf(pbIu));
    // The handshake carries ten dwords: built in the port's static frame,
    // what follows the request goes as zeros.
    uint8_t* pbFrame = s_aabHandshakeFrame[bIocId == LSI_IOC_HOST_PORT_2 ? 1 : 0];
    std::memset(pbFrame, 0, HOST_PORT_REQUEST_FRAME_BYTES);
    std::memcpy(pbFrame, &r, sizeof r);
    uint32_t adReply[HANDSHAKE_REPLY_DWORDS] = {};
    (void)s;
    (void)bLSIHandshake(bIocId, pbFrame, HANDSHAKE_DWORDS_ONE_SEGMENT, adReply, HANDSHAKE_REPLY_DWORDS);
}

// ABORT TASK: the initiator's command with that tag, where its command
// buffer put the tag, ends as aborted by where it stands (a command not yet
// started gives its buffer back at once).
void AbortTaggedCommand(uint8_t bIocId, uint8_t bInitiator, uint16_t wTag) {
    for (uint16_t w = 0; w < HOST_ENTRY_COUNT; ++w) {
        KERNEL_ENTRY* ps = nullptr;
        (void)wGetTargetEntry(w, &ps);
        if (ps == nullptr || ps->bPortCode != bIocId || !IsInUse(ps) || wGetCommandInitiator(ps) != bInitiator) continue;
        uint16_t wEntryTag;
        std::memcpy(&wEntryTag, reinterpret_cast<const uint8_t*>(ps) + SPI_CMD_TAG, 2);
        if (wEntryTag != wTag) continue;
        HostPortAbortCommand(bIocId, ps);
        return;
    }
}

// A task management request on the bus, carried in a command buffer.
void TaskManagement(uint8_t bIocId, HOST_PORT_MPT_STATE& s, uint32_t dWord, uint16_t wIoIndex) {
    const uint8_t* pb = pbAt(dGetHostPortCommandBuffer(bIocId, wIoIndex));
    const uint8_t bFlags = pb[SPI_CMD_TASK_FLAGS];
    const uint8_t bInitiator = bInitiatorOf(dWord);
    if (bFlags & SPI_TASK_ABORT_TASK) {
        uint16_t wTag;
        std::memcpy(&wTag, pb + SPI_CMD_TAG, 2);
        AbortTaggedCommand(bIocId, bInitiator, wTag);
    } else if (bFlags & (SPI_TASK_ABORT_TASK_SET | SPI_TASK_CLEAR_TASK_SET | SPI_TASK_TARGET_RESET)) {
        ResetAfterBusEvent(bIocId);
    } else if (bFlags & SPI_TASK_LOGICAL_UNIT_RESET) {
        SetHostPortLinkFlag(bIocId, TRUE);
        SetHostPortBusResetFlag(bIocId);
        SetLunUnitAttention(bIocId, wGetBe16(pb + SPI_CMD_LUN), TRUE);
        EndScsi2ReservationsOfPort(bIocId);
    }
    s.awIoToEntry[wIoIndex] = MAP_TASK_ANSWER;
    SendPriorityTaskResponse(bIocId, s, dWord, pb);
}

// A command the IOC took as priority I/O: it is answered by handshake.
void PriorityCommand(uint8_t bIocId, HOST_PORT_MPT_STATE& s, uint32_t dWord, uint16_t wIoIndex, uint8_t bReason) {
    if (bReason == SPI_PRIORITY_TASK_MANAGEMENT) {
        TaskManagement(bIocId, s, dWord, wIoIndex);
        return;
    }
    struct CHECK {
        uint8_t bReason, bAsc, bAscq;
    };
    static constexpr CHECK CHECKS[] = {{2, 0x47, 0x00}, {3, 0x43, 0x00}, {4, 0x47, 0x03},
                                       {5, 0x47, 0x03}, {6, 0x48, 0x00}};
    const CHECK* pc = nullptr;
    for (const CHECK& c : CHECKS) {
        if (c.bReason == bReason) pc = &c;
    }
    if (bReason != SPI_PRIORITY_NO_DISCONNECT && pc == nullptr) return;
    KERNEL_ENTRY* ps = nullptr;
    if (!NewCommand(bIocId, s, dWord, wIoIndex, &ps)) return;
    SetFlag(ps, KE_FLAG_SAS_HOST);
    if (pc == nullptr) {
        QueueNewCommand(bIocId, ps->wIndex);
    } else {
        AnswerWithSense(ps, pc->bAsc, pc->bAscq);
    }
    SetWorkPending(TRUE);
}

// A TARGET ASSIST or STATUS SEND the IOC could not carry out.
void TransferError(uint8_t bIocId, HOST_PORT_MPT_STATE& s, const uint8_t* pb, uint8_t bFunction) {
    const MPI_REPLY_HEADER& r = *reinterpret_cast<const MPI_REPLY_HEADER*>(pb);
    uint32_t dWord;
    std::memcpy(&dWord, pb + MPI_TARGET_ERROR_REPLY_WORD, 4);
    if ((dWord & MPI_TARGET_REPLY_WITH_STATUS) == 0) return;
    const uint16_t wIoIndex = static_cast<uint16_t>(dWord & MPI_TARGET_REPLY_IO_INDEX_MASK);
    if (wIoIndex >= HOST_PORT_CMD_BUFFERS) {
        ++State(bIocId).dDropped;
        return;
    }
    const uint16_t wStatus = r.wIOCStatus & MPI_IOCSTATUS_MASK;
    const uint16_t wSlot = s.awIoToEntry[wIoIndex];
    if ((wSlot & 0xFF00) == MAP_READ_AHEAD || wSlot == MAP_DONE) {
        if ((wSlot & 0xFF00) == MAP_READ_AHEAD) DecReadAheadWaitCount(static_cast<uint8_t>(wSlot), TRUE);
        s.awIoToEntry[wIoIndex] = HOST_PORT_MAP_FREE;
        return;
    }
    KERNEL_ENTRY* ps = psMatchingEntry(bIocId, s, wIoIndex);
    const bool fLive = ps != nullptr && IsInUse(ps) && !HasFlag(ps, KE_FLAG_WRITE_BACK | KE_FLAG_STATUS_SENT) &&
                       !IsSettled(ps->bPrimaryState);
    const bool fLost = wStatus == MPI_IOCSTATUS_TARGET_ABORTED || wStatus == MPI_IOCSTATUS_TARGET_NO_CONNECTION;
    if (bFunction == MPI_FUNCTION_TARGET_ASSIST) {
        const uint8_t bReason = pb[MPI_TARGET_PRIORITY_REASON];
        // A transfer the IOC gave up gives its buffer back even when its
        // command has ended meanwhile (a bus reset flushed it): the IOC
        // holds that buffer no more, and it would be lost.
        if (fLost && !fLive) {
            MarkRepost(bIocId, s, wIoIndex);
            s.awIoToEntry[wIoIndex] = HOST_PORT_MAP_FREE;
            return;
        }
        if (!fLive) return;
        // Write data that did not all come in is not kept: the write ends
        // as a data-out CRC error ends it, whatever the chip's reason.
        const bool fBadData = wStatus == MPI_IOCSTATUS_TARGET_PRIORITY_IO &&
                              (bReason == SPI_PRIORITY_DATA_OUT_CRC || ps->bPrimaryState == HOST_STATE_DATA_OUT);
        if (fLost || fBadData) {
            HostPortAbortCommand(bIocId, ps);
            MarkRepost(bIocId, s, wIoIndex);
            s.awIoToEntry[wIoIndex] = HOST_PORT_MAP_FREE;
        } else if (wStatus == MPI_IOCSTATUS_TARGET_PRIORITY_IO && bReason == SPI_PRIORITY_PROTOCOL_ERROR) {
            SetFlag(ps, KE_FLAG_SAS_HOST);
            AnswerWithSense(ps, 0x48, 0x00);
        }
        return;
    }
    const bool fNotSent = wStatus == MPI_IOCSTATUS_TARGET_STS_DATA_NOT_SENT;
    if (!fLost && !fNotSent && wStatus != MPI_IOCSTATUS_TARGET_PRIORITY_IO) return;
    if (fLive && (!fNotSent || ps->bPrimaryState == HOST_STATE_STATUS)) HostPortAbortCommand(bIocId, ps);
    if (!fNotSent) MarkRepost(bIocId, s, wIoIndex);
    s.awIoToEntry[wIoIndex] = HOST_PORT_MAP_FREE;
}

// A command buffer post answered with a status: a priority condition for
// a buffer that holds no command yet, or a buffer the IOC gave up.
void BufferPostStatus(uint8_t bIocId, HOST_PORT_MPT_STATE& s, const uint8_t* pb) {
    const MPI_REPLY_HEADER& r = *reinterpret_cast<const MPI_REPLY_HEADER*>(pb);
    if (r.bMsgLength <= 5) return;
    uint32_t dWord;
    std::memcpy(&dWord, pb + MPI_TARGET_ERROR_REPLY_WORD, 4);
    const uint16_t wIoIndex = static_cast<uint16_t>(dWord & MPI_TARGET_REPLY_IO_INDEX_MASK);
    if (wIoIndex >= HOST_PORT_CMD_BUFFERS) {
        ++State(bIocId).dDropped;
        return;
    }
    const uint16_t wStatus = r.wIOCStatus & MPI_IOCSTATUS_MASK;
    if (wStatus == MPI_IOCSTATUS_TARGET_PRIORITY_IO && s.awIoToEntry[wIoIndex] == HOST_PORT_MAP_FREE) {
        PriorityCommand(bIocId, s, dWord, wIoIndex, pb[MPI_TARGET_PRIORITY_REASON]);
    } else if (wStatus == MPI_IOCSTATUS_TARGET_ABORTED) {
        MarkRepost(bIocId, s, wIoIndex);
    }
}

void HostPortEventHandler(uint8_t bIocId, HOST_PORT_MPT_STATE& s, const uint8_t* pbReply) {
    const MPI_EVENT_NOTIFICATION_REPLY& r = *reinterpret_cast<const MPI_EVENT_NOTIFICATION_REPLY*>(pbReply);
    switch (r.dEvent) {
    case MPI_EVENT_IOC_BUS_RESET:
    case MPI_EVENT_EXTERNAL_BUS_RESET:
        PostEvent(EVENT_BUS_RESET, bPortNumber(bIocId),
                  r.dEvent == MPI_EVENT_IOC_BUS_RESET ? BUS_RESET_BY_IOC : BUS_RESET_EXTERNAL);
        ResetAfterBusEvent(bIocId);
        break;
    case MPI_EVENT_ON_BUS_TIMER_EXPIRED:
        ResetAfterBusEvent(bIocId);
        State(bIocId).fReinitRequest = TRUE;
        break;
    default:
        break;
    }
    if (r.bAckRequired != 1) return;
    uint8_t* pb = nullptr;
    uint16_t wFrame = HOST_PORT_MAP_FREE;
    if (bGetHostPortRequestFrame(bIocId, &pb, &wFrame) != STATUS_OK) return;
    MPI_EVENT_ACK_REQUEST a{};
    a.bFunction = MPI_FUNCTION_EVENT_ACK;
    a.bMsgFlags = r.bMsgFlags;
    a.dMsgContext = r.dMsgContext;
    a.dEvent = r.dEvent;
    a.dEventContext = r.dEventContext;
    std::memcpy(pb, &a, sizeof a);
    PORT_STATE& p = State(bIocId);
    p.wAckFrame = wFrame;
    p.lAckSentMs = lGetTickCount();
    p.fAckPending = TRUE;
    (void)s;
    PostHostPortRequestFrame(bIocId, pb, wFrame);
}

// A reply frame is taken only from the port's own reply area, on a frame
// boundary: anything else is counted and dropped.
const uint8_t* pbReplyFrame(const HOST_PORT_MPT_STATE& s, uint32_t dWord) {
    const uint32_t dPci = (dWord & 0x7FFFFFFF) << 1;
    const uint32_t dFirst = static_cast<uint32_t>(dCpuAddressToPciAddress(s.dReplyFrames));
    const uint32_t dOffset = dPci - dFirst;
    if (dPci < dFirst || dOffset >= static_cast<uint32_t>(HOST_PORT_REPLY_FRAMES) * HOST_PORT_REPLY_FRAME_BYTES ||
        dOffset % HOST_PORT_REPLY_FRAME_BYTES != 0) {
        return nullptr;
    }
    return pbAt(s.dReplyFrames + dOffset);
}

void AddressReply(uint8_t bIocId, HOST_PORT_MPT_STATE& s, uint32_t dWord) {
    const uint8_t* pb = pbReplyFrame(s, dWord);
    if (pb == nullptr) {
        ++State(bIocId).dDropped;
        return;
    }
    const uint8_t bFunction = pb[3];
    switch (bFunction) {
    case MPI_FUNCTION_EVENT_NOTIFICATION: HostPortEventHandler(bIocId, s, pb); break;
    case MPI_FUNCTION_EVENT_ACK: State(bIocId).fAckPending = FALSE; break;
    case MPI_FUNCTION_TARGET_CMD_BUFFER_POST: BufferPostStatus(bIocId, s, pb); break;
    case MPI_FUNCTION_TARGET_ASSIST:
    case MPI_FUNCTION_TARGET_STATUS_SEND: TransferError(bIocId, s, pb, bFunction); break;
    default: break;
    }
    // The request frame the reply answers goes back, unless more replies
    // to it follow.
    uint32_t dContext;
    std::memcpy(&dContext, pb + 8, 4);
    const bool fContinued = (pb[7] & 0x80) != 0 && bFunction != MPI_FUNCTION_EVENT_ACK;
    if ((dContext & CONTEXT_VALID) != 0 && dContext != 0xFFFFFFFF && !fContinued) {
        const uint16_t wFrame = static_cast<uint16_t>((dContext >> CONTEXT_FRAME_SHIFT) & CONTEXT_FRAME_MASK);
        FreeFrame(s, wFrame);
        for (uint16_t& w : s.awIoToFrame) {
            if (w == wFrame) w = HOST_PORT_MAP_FREE;
        }
    }
    Reg32Write(s.sInterface.pdReplyQueue, (dWord & 0x7FFFFFFF) << 1);
}

void Dispatch(uint8_t bIocId, HOST_PORT_MPT_STATE& s) {
    PORT_STATE& p = State(bIocId);
    if (p.fStashed == TRUE) {
        if (!TargetReply(bIocId, s, p.dStashedWord)) return;
        p.fStashed = FALSE;
    }
    for (;;) {
        const uint32_t dWord = Reg32Read(s.sInterface.pdReplyQueue);
        if (dWord == MPI_REPLY_FIFO_EMPTY) return;
        if (dWord & MPI_REPLY_ADDRESS_FLAG) {
            AddressReply(bIocId, s, dWord);
        } else if ((dWord & REPLY_TYPE_MASK) == MPI_REPLY_TYPE_TARGET) {
            // A command no host entry can take waits here for the next
            // interrupt rather than being lost with its buffer.
            if (!TargetReply(bIocId, s, dWord)) {
                p.dStashedWord = dWord;
                p.fStashed = TRUE;
                return;
            }
        } else {
            ++p.dDropped;
        }
    }
}

void PutSge(uint8_t* pb, uint32_t dFlagsLength, uint32_t dAddress) {
    std::memcpy(pb, &dFlagsLength, 4);
    std::memcpy(pb + 4, &dAddress, 4);
}

// Where a request for the entry is built: a request frame once the IOC has
// room, the port's handshake frame for a command the IOC took as priority
// I/O, or the buffer's deferred request when no frame is free.  Null only
// when a request of that buffer already waits there.
uint8_t* pbRequestFor(const KERNEL_ENTRY* ps, HOST_PORT_MPT_STATE& s, uint16_t* pwFrame) {
    const uint8_t bIocId = ps->bPortCode;
    if (HasFlag(ps, KE_FLAG_SAS_HOST)) {
        *pwFrame = HOST_PORT_REQUEST_FRAMES;
        uint8_t* pb = s_aabHandshakeFrame[bIocId == LSI_IOC_HOST_PORT_2 ? 1 : 0];
        std::memset(pb, 0, HOST_PORT_REQUEST_FRAME_BYTES);
        return pb;
    }
    for (uint32_t n = 0; n < FRAME_CREDIT_POLLS && s.wOutstanding + FRAME_CREDIT_SLACK > s.wFrameCount; ++n) {
        Dispatch(bIocId, s);
    }
    uint8_t* pb = nullptr;
    if (bGetHostPortRequestFrame(bIocId, &pb, pwFrame) == STATUS_OK) return pb;
    *pwFrame = DEFERRED_FRAME;
    return State(bIocId).sDeferred.pbBuild(wIoIndexOf(ps));
}

void FillCommandFields(const KERNEL_ENTRY* ps, uint8_t* pb, uint8_t bFunction, uint16_t wContext) {
    const uint8_t* pbHeadCopy = reinterpret_cast<const uint8_t*>(ps);
    pb[3] = bFunction;
    std::memcpy(pb + 4, pbHeadCopy + SPI_CMD_TAG, 2);
    const uint32_t dContext = wContext;
    std::memcpy(pb + 8, &dContext, 4);
    const uint32_t dReply = dReplyWordOf(ps);
    std::memcpy(pb + 12, &dReply, 4);
    std::memcpy(pb + 16, pbHeadCopy + SPI_CMD_LUN, 8);
}

void FillSegments(uint8_t* pb, uint32_t dRelativeOffset, uint32_t dAddress1, uint32_t dLength1, uint32_t dAddress2,
                  uint32_t dLength2, bool fToInitiator) {
    PutTargetAssistData(pb, dRelativeOffset, dAddress1, dLength1, dAddress2, dLength2, ToFlag(fToInitiator));
}

// The request goes out: posted in its frame, or by handshake with the
// high-priority flag for a command the IOC took as priority I/O.
void Send(KERNEL_ENTRY* ps, HOST_PORT_MPT_STATE& s, uint8_t* pb, uint16_t wFrame, uint8_t bDwords) {
    ps->lStartTimeStamp = lGetTickCount();
    if (wFrame == HOST_PORT_REQUEST_FRAMES) {
        pb[1] |= ASSIST_HIGH_PRIORITY;
        uint32_t adReply[HANDSHAKE_REPLY_DWORDS] = {};
        (void)bLSIHandshake(ps->bPortCode, pb, bDwords, adReply, HANDSHAKE_REPLY_DWORDS);
        return;
    }
    if (wFrame == DEFERRED_FRAME) {
        State(ps->bPortCode).sDeferred.Defer(wIoIndexOf(ps), 0);
        return;
    }
    PostHostPortRequestFrame(ps->bPortCode, pb, wFrame);
    s.awIoToFrame[wIoIndexOf(ps)] = wFrame;
}

uint8_t bSegmentDwords(uint32_t dLength2) {
    return dLength2 == 0 ? HANDSHAKE_DWORDS_ONE_SEGMENT : HANDSHAKE_DWORDS_TWO_SEGMENTS;
}

// A status that ends a piece of a write stream whose command was aborted
// also lets go of what the piece held.
void ReleaseAbortedPiece(KERNEL_ENTRY* ps) {
    if (ps->bCommandType != COMMAND_TYPE_STREAM_PIECE && ps->bCommandType != COMMAND_TYPE_CLOSING_PIECE) return;
    Finish(ps);
}

// An aborted command whose buffer went back to the IOC has no exchange on
// the bus any more: that buffer may hold another command by now, so
// nothing more is sent for it.
bool HasLostItsBuffer(const KERNEL_ENTRY* ps, const HOST_PORT_MPT_STATE& s) {
    const uint16_t wIoIndex = wIoIndexOf(ps);
    return HasFlag(ps, KE_FLAG_ABORTED) && wIoIndex < HOST_PORT_CMD_BUFFERS && s.awIoToEntry[wIoIndex] != ps->wIndex;
}

}  // namespace

// ---- request frames and buffers ----

LSI_MPT_INTERFACE* pGetHostPortInterface(uint8_t bIocId) {
    HOST_PORT_MPT_STATE* s = pGetHostPortState(bIocId);
    return s == nullptr ? nullptr : &s->sInterface;
}

uint8_t bGetHostPortRequestFrame(uint8_t bIocId, uint8_t** ppbFrame, uint16_t* pwIndex) {
    HOST_PORT_MPT_STATE* s = pGetHostPortState(bIocId);
    *pwIndex = HOST_PORT_MAP_FREE;
    if (s == nullptr || s->wFrameCount == 0) return STATUS_NO_FRAME;
    const uint16_t wCount = s->wFrameCount > HOST_PORT_REQUEST_FRAMES ? HOST_PORT_REQUEST_FRAMES : s->wFrameCount;
    for (uint16_t n = 0; n < wCount; ++n) {
        const auto w = static_cast<uint16_t>((s->wNextFrame + n) % wCount);
        uint32_t& d = s->adFrameInUse[w / 32];
        if (d & (1u << (w % 32))) continue;
        d |= 1u << (w % 32);
        s->wNextFrame = static_cast<uint16_t>((w + 1) % wCount);
        *ppbFrame = pbAt(s->dRequestFrames + static_cast<uint32_t>(w) * HOST_PORT_REQUEST_FRAME_BYTES);
        std::memset(*ppbFrame, 0, HOST_PORT_REQUEST_FRAME_BYTES);
        *pwIndex = w;
        return STATUS_OK;
    }
    return STATUS_NO_FRAME;
}

void PostHostPortRequestFrame(uint8_t bIocId, uint8_t* pbFrame, uint16_t wIndex) {
    HOST_PORT_MPT_STATE* s = pGetHostPortState(bIocId);
    if (s == nullptr || wIndex >= HOST_PORT_REQUEST_FRAMES) return;
    uint32_t dContext;
    std::memcpy(&dContext, pbFrame + 8, 4);
    dContext = (dContext & 0xFFFF) | static_cast<uint32_t>(wIndex) << CONTEXT_FRAME_SHIFT | CONTEXT_VALID;
    std::memcpy(pbFrame + 8, &dContext, 4);
    ++s->wOutstanding;
    Reg32Write(s->sInterface.pdRequestQueue, static_cast<uint32_t>(dPciAddressOf(pbFrame)));
}

void FreeHostPortRequestFrame(uint8_t bIocId, uint16_t wIndex) {
    if (HOST_PORT_MPT_STATE* s = pGetHostPortState(bIocId)) FreeFrame(*s, wIndex);
}

uint16_t wGetHostPortOutstandingFrames(uint8_t bIocId) {
    const HOST_PORT_MPT_STATE* s = pGetHostPortState(bIocId);
    return s == nullptr ? 0 : s->wOutstanding;
}

CPU_ADDRESS dGetHostPortCommandBuffer(uint8_t bIocId, uint16_t wBuffer) {
    const HOST_PORT_MPT_STATE* s = pGetHostPortState(bIocId);
    if (s == nullptr || wBuffer >= HOST_PORT_CMD_BUFFERS) return CPU_ADDRESS{0};
    return s->dCmdBuffers + static_cast<uint32_t>(wBuffer) * HOST_PORT_CMD_BUFFER_BYTES;
}

CPU_ADDRESS dGetHostPortStatusBuffer(uint8_t bIocId, uint16_t wBuffer) {
    const HOST_PORT_MPT_STATE* s = pGetHostPortState(bIocId);
    if (s == nullptr || wBuffer >= HOST_PORT_STATUS_BUFFERS) return CPU_ADDRESS{0};
    return s->dStatusBuffers + static_cast<uint32_t>(wBuffer) * HOST_PORT_STATUS_BUFFER_BYTES;
}

uint8_t bLSIAbortAllTargetIO(uint8_t bIocId) {
    if (pGetHostPortState(bIocId) == nullptr) return 0;
    InterruptSourceLock sLock(INT_SOURCE_HOST_CHIPS);
    PORT_STATE& p = State(bIocId);
    p.lResetSnapshot = s_lSequence;
    p.fAbortAll = TRUE;
    uint8_t* pb = nullptr;
    uint16_t wFrame = HOST_PORT_MAP_FREE;
    if (bGetHostPortRequestFrame(bIocId, &pb, &wFrame) != STATUS_OK) return 0;
    MPI_TARGET_MODE_ABORT_REQUEST r{};
    r.bAbortType = ABORT_ALL_IO;
    r.bFunction = MPI_FUNCTION_TARGET_MODE_ABORT;
    r.dReplyWord = ABORT_ALL_REPLY_WORD;
    std::memcpy(pb, &r, sizeof r);
    PostHostPortRequestFrame(bIocId, pb, wFrame);
    return STATUS_OK;
}

uint32_t dGetHostPortDroppedReplies(uint8_t bIocId) { return IsHostPort(bIocId) ? State(bIocId).dDropped : 0; }

// ---- driver state ----

void ResetHostPortDriverState() {
    EnableInterruptSource0();
    for (PORT_STATE& p : s_asPortState) {
        p.fAckPending = FALSE;
        p.lAckSentMs = 0;
        p.wAckFrame = HOST_PORT_MAP_FREE;
        p.lResetSnapshot = 0;
        p.fBusReset = FALSE;
        p.fReinitRequest = FALSE;
        p.fReinitFailed = FALSE;
        p.fAbortAll = FALSE;
        p.fStashed = FALSE;
    }
    s_dSpurious = 0;
    s_lSequence = 0;
    s_wWatchdogCursor = 0;
}

void ClearHostPortReposts(uint8_t bIocId) {
    if (!IsHostPort(bIocId)) return;
    PORT_STATE& p = State(bIocId);
    p.sRepost.Clear();
    p.fRepostPending = FALSE;
    p.sDeferred.Clear();
    SetSavedSense(bIocId, ALL_SAVED_SENSE_INITIATORS, SENSE_NO_SENSE, 0, 0);
}

void SetHostPortBusResetFlag(uint8_t bIocId) {
    if (!IsHostPort(bIocId)) return;
    State(bIocId).fBusReset = TRUE;
    State(bIocId).lResetSnapshot = s_lSequence;
}
uint8_t fIsHostPortBusResetFlag(uint8_t bIocId) { return IsHostPort(bIocId) ? State(bIocId).fBusReset : FALSE; }
uint8_t fIsHostPortReinitRequest(uint8_t bIocId) { return IsHostPort(bIocId) ? State(bIocId).fReinitRequest : FALSE; }
uint8_t fIsHostPortRepostPending(uint8_t bIocId) { return IsHostPort(bIocId) ? State(bIocId).fRepostPending : FALSE; }
uint32_t dGetHostPortSpuriousInterrupts() { return s_dSpurious; }

// ---- the interrupt ----

void LSI_SAS_HostPortInterruptEntry(uint8_t bIocId) {
    HOST_PORT_MPT_STATE* s = pGetHostPortState(bIocId);
    if (s == nullptr || s->sInterface.pdHostIntStatus == 0) return;
    const uint32_t dStatus = Reg32Read(s->sInterface.pdHostIntStatus);
    const uint8_t fEnabled = fIsHostPortInitialised(bIocId);
    if (dStatus == 0 && fEnabled != TRUE) {
        ++s_dSpurious;
        return;
    }
    s_dSpurious = 0;
    Reg32Write(s->sInterface.pdHostIntStatus, dStatus);
    if ((dStatus & MPI_HIS_REPLY) == 0 && fEnabled != TRUE) return;
    Dispatch(bIocId, *s);
}

// ---- data and status for the target engine ----

// A command of a port whose IOC is not up has no host to answer: it ends
// as the controller's own commands do.
uint8_t HostPortDataInAssist(KERNEL_ENTRY* ps, uint32_t dRelativeOffset, uint32_t dAddress1, uint32_t dLength1,
                             uint32_t dAddress2, uint32_t dLength2, uint16_t, uint8_t fWithStatus, uint8_t bStatus,
                             uint8_t bKey, uint8_t bAsc, uint8_t bAscq) {
    HOST_PORT_MPT_STATE* s = pGetHostPortState(ps->bPortCode);
    if (s == nullptr) return 0;
    if (fIsHostPortInitialised(ps->bPortCode) != TRUE) return bInternalDataIn(ps, fWithStatus);
    InterruptSourceLock sLock(INT_SOURCE_HOST_CHIPS);
    uint16_t wFrame = HOST_PORT_MAP_FREE;
    uint8_t* pb = pbRequestFor(ps, *s, &wFrame);
    if (pb == nullptr) return 0;
    FillCommandFields(ps, pb, MPI_FUNCTION_TARGET_ASSIST, wIoIndexOf(ps));
    pb[0] = fWithStatus == TRUE ? bStatus : 0;
    pb[1] = fWithStatus == TRUE ? ASSIST_WITH_STATUS : ASSIST_TO_INITIATOR;
    FillSegments(pb, dRelativeOffset, dAddress1, dLength1, dAddress2, dLength2, true);
    if (fWithStatus == TRUE) SetSavedSense(ps->bPortCode, bInitiatorOf(dReplyWordOf(ps)), bKey, bAsc, bAscq);
    ps->bPrimaryState = HOST_STATE_DATA_IN;
    // A read-ahead slot's transfer in a frame of its own (not one sent by
    // handshake or left waiting for a frame): the slot's marker owns the
    // buffer, and the command ends now.
    const uint8_t bSlot = bReadAheadSlotOfTransfer(ps, fWithStatus);
    if (bSlot >= READ_AHEAD_SLOTS || wFrame >= HOST_PORT_REQUEST_FRAMES) {
        Send(ps, *s, pb, wFrame, bSegmentDwords(dLength2));
        return STATUS_OK;
    }
    const uint16_t wMarker = MAP_READ_AHEAD | bSlot;
    std::memcpy(pb + 8, &wMarker, 2);
    s->awIoToEntry[wIoIndexOf(ps)] = wMarker;
    AddReadAheadUser(bSlot, 0);
    Send(ps, *s, pb, wFrame, bSegmentDwords(dLength2));
    Finish(ps);
    return STATUS_OK;
}

void HostPortDataOutAssist(KERNEL_ENTRY* ps, uint32_t dRelativeOffset, uint32_t dAddress1, uint32_t dLength1,
                           uint32_t dAddress2, uint32_t dLength2) {
    HOST_PORT_MPT_STATE* s = pGetHostPortState(ps->bPortCode);
    if (s == nullptr) return;
    if (fIsHostPortInitialised(ps->bPortCode) != TRUE) {
        InternalDataOut(ps);
        return;
    }
    InterruptSourceLock sLock(INT_SOURCE_HOST_CHIPS);
    if (HasLostItsBuffer(ps, *s)) {
        SetFlag(ps, KE_FLAG_NO_STATUS);
        ps->bPrimaryState = HOST_STATE_DATA_RECEIVED;
        QueueDataReceived(ps->wIndex);
        return;
    }
    uint16_t wFrame = HOST_PORT_MAP_FREE;
    uint8_t* pb = pbRequestFor(ps, *s, &wFrame);
    if (pb == nullptr) return;
    FillCommandFields(ps, pb, MPI_FUNCTION_TARGET_ASSIST, wIoIndexOf(ps));
    FillSegments(pb, dRelativeOffset, dAddress1, dLength1, dAddress2, dLength2, false);
    ps->bPrimaryState = HOST_STATE_DATA_OUT;
    Send(ps, *s, pb, wFrame, bSegmentDwords(dLength2));
}

uint8_t bHostPortSendStatus(KERNEL_ENTRY* ps, uint16_t, uint8_t bStatus, uint8_t bKey, uint8_t bAsc, uint8_t bAscq) {
    HOST_PORT_MPT_STATE* s = pGetHostPortState(ps->bPortCode);
    if (s == nullptr) return 0;
    if (fIsHostPortInitialised(ps->bPortCode) != TRUE) return bInternalSendStatus(ps, bStatus, bKey, bAsc, bAscq);
    InterruptSourceLock sLock(INT_SOURCE_HOST_CHIPS);
    if (HasLostItsBuffer(ps, *s)) {
        Finish(ps);
        return STATUS_OK;
    }
    uint16_t wFrame = HOST_PORT_MAP_FREE;
    uint8_t* pb = pbRequestFor(ps, *s, &wFrame);
    if (pb == nullptr) return 0;
    const uint16_t wIoIndex = wIoIndexOf(ps);
    const bool fAborted = HasFlag(ps, KE_FLAG_ABORTED);
    const bool fEarly = HasFlag(ps, KE_FLAG_STATUS_SENT);
    FillCommandFields(ps, pb, MPI_FUNCTION_TARGET_STATUS_SEND, fAborted || fEarly ? MAP_DONE : wIoIndex);
    pb[0] = bStatus;
    SetSavedSense(ps->bPortCode, bInitiatorOf(dReplyWordOf(ps)), bKey, bAsc, bAscq);
    if (bStatus == SCSI_STATUS_GOOD) {
        pb[1] = STATUS_AUTO_GOOD;
    } else {
        pb[1] = STATUS_WITH_IU;
        uint8_t* pbIu = pbAt(dGetHostPortStatusBuffer(ps->bPortCode, wFrame));
        std::memset(pbIu, 0, HOST_PORT_STATUS_BUFFER_BYTES);
        pbIu[SPI_STATUS_STATUS] = bStatus;
        uint32_t dSense = 0;
        if (bStatus != SCSI_STATUS_RESERVATION_CONFLICT && bStatus != SCSI_STATUS_BUSY &&
            bStatus != SCSI_STATUS_TASK_SET_FULL) {
            dSense = SENSE_LIST_BYTES;
            pbIu[SPI_STATUS_VALID] = 2;
            uint8_t* pbSense = pbIu + SPI_STATUS_SENSE;
            pbSense[0] = 0x70;
            pbSense[2] = bKey;
            pbSense[12] = bAsc;
            pbSense[13] = bAscq;
        }
        PutBe32(pbIu + SPI_STATUS_SENSE_LENGTH, dSense);
        // The element covers the whole unit, sense included.
        PutSge(pb + 24, SGE_LAST_TO_INITIATOR | (SPI_STATUS_SENSE + dSense), static_cast<uint32_t>(dPciAddressOf(pbIu)));
    }
    // A write answered before its data is on the drives goes on through the
    // cache's stages: its state stays theirs and the buffer's completion
    // only frees the buffer.
    if (fEarly || fAborted) {
        s->awIoToEntry[wIoIndex] = MAP_DONE;
    } else {
        ps->bPrimaryState = HOST_STATE_STATUS;
    }
    Send(ps, *s, pb, wFrame, HANDSHAKE_DWORDS_ONE_SEGMENT);
    if (fEarly || fAborted) ReleaseAbortedPiece(ps);
    return STATUS_OK;
}

// ---- ending commands ----

void HostPortAbortCommand(uint8_t bIocId, KERNEL_ENTRY* ps) {
    HOST_PORT_MPT_STATE* s = pGetHostPortState(bIocId);
    if (s == nullptr || ps == nullptr || ps->bPortCode != bIocId || !IsInUse(ps) || HasFlag(ps, KE_FLAG_STATUS_SENT)) {
        return;
    }
    const uint16_t wIoIndex = wIoIndexOf(ps);
    const bool fOwnsBuffer = wIoIndex < HOST_PORT_CMD_BUFFERS && s->awIoToEntry[wIoIndex] == ps->wIndex;
    switch (ps->bPrimaryState) {
    case HOST_STATE_FREE:
    case HOST_STATE_COMPLETE: return;
    case HOST_STATE_NEW_COMMAND: {
        const PORT_STATE& p = State(bIocId);
        if (p.fAbortAll == TRUE && ps->alSequence[0] >= p.lResetSnapshot) return;
        if (fOwnsBuffer) {
            MarkRepost(bIocId, *s, wIoIndex);
            s->awIoToEntry[wIoIndex] = HOST_PORT_MAP_FREE;
        }
        SetFlag(ps, KE_FLAG_ABORTED);
        if (!HasFlag(ps, KE_FLAG_INTERNAL)) {
            if (uint8_t* pbCdb = pGetCommandCdb(ps)) pbCdb[0] = 0;
        }
        ps->wBlocksDone = 0;
        ps->dTotalByteCount = 0;
        return;
    }
    default: break;
    }
    // A request still waiting for a frame is dropped: posted later it would
    // move data or status for a command that has moved on.  No reply will
    // come for it, so the buffer goes back to the IOC here, which ends the
    // host's exchange.
    const auto fDropWaitingRequest = [&] {
        if (!fOwnsBuffer || !State(bIocId).sDeferred.Cancel(wIoIndex)) return false;
        MarkRepost(bIocId, *s, wIoIndex);
        s->awIoToEntry[wIoIndex] = HOST_PORT_MAP_FREE;
        return true;
    };
    if (ps->bPrimaryState == HOST_STATE_DATA_OUT &&
        (ps->bCommandType == COMMAND_TYPE_CONTINUATION || ps->bCommandType == COMMAND_TYPE_STREAM_HEAD)) {
        SetFlag(ps, KE_FLAG_NO_STATUS);
        ps->bPrimaryState = HOST_STATE_DATA_RECEIVED;
        QueueDataReceived(ps->wIndex);
        // None of its data came: as aborted, the cache writes none of it
        // unless later writes of the stream joined it.
        if (fDropWaitingRequest()) SetFlag(ps, KE_FLAG_ABORTED);
        return;
    }
    if (IsTransferPhase(ps->bPrimaryState)) {
        SetFlag(ps, KE_FLAG_ABORTED);
        ClearFlag(ps, KE_FLAG_MORE_PASSES);
        Finish(ps);
        (void)fDropWaitingRequest();
        return;
    }
    SetFlag(ps, KE_FLAG_NO_STATUS | KE_FLAG_ABORTED);
    if (fOwnsBuffer) {
        MarkRepost(bIocId, *s, wIoIndex);
        s->awIoToEntry[wIoIndex] = HOST_PORT_MAP_FREE;
    }
}

void HostPortFlushAfterReset(uint8_t bIocId) {
    if (!IsHostPort(bIocId)) return;
    const uint64_t lSnapshot = State(bIocId).lResetSnapshot;
    for (uint16_t w = 0; w < HOST_ENTRY_COUNT; ++w) {
        KERNEL_ENTRY* ps = nullptr;
        (void)wGetTargetEntry(w, &ps);
        if (ps != nullptr && ps->bPortCode == bIocId && IsInUse(ps) && ps->alSequence[0] < lSnapshot) {
            HostPortAbortCommand(bIocId, ps);
        }
    }
}

// ---- background services ----

void RepostHostPortCommandBuffers(uint8_t bIocId) {
    HOST_PORT_MPT_STATE* s = pGetHostPortState(bIocId);
    if (s == nullptr) return;
    InterruptSourceLock sLock(INT_SOURCE_HOST_CHIPS);
    PORT_STATE& p = State(bIocId);
    p.fRepostPending = FALSE;
    MPI_TARGET_CMD_BUFFER_POST_REQUEST r{};
    // The buffers of one request are unmarked only once it went: without a
    // frame they stay marked for the next pass.
    auto Post = [&] {
        uint8_t* pb = nullptr;
        uint16_t wFrame = HOST_PORT_MAP_FREE;
        if (r.bBufferCount == 0) return true;
        if (bGetHostPortRequestFrame(bIocId, &pb, &wFrame) != STATUS_OK) {
            p.fRepostPending = TRUE;
            return false;
        }
        r.bFunction = MPI_FUNCTION_TARGET_CMD_BUFFER_POST;
        r.bBufferLength = HOST_PORT_CMD_BUFFER_BYTES;
        std::memcpy(pb, &r, sizeof r);
        PostHostPortRequestFrame(bIocId, pb, wFrame);
        // The IOC takes the descriptors as it takes the request: no reply
        // follows a post that went well, so its frame is free again.
        FreeFrame(*s, wFrame);
        for (uint8_t i = 0; i < r.bBufferCount; ++i) {
            const auto w = static_cast<uint16_t>(r.asBuffer[i].dIoIndex);
            p.sRepost.Unmark(w);
            s->awIoToEntry[w] = HOST_PORT_MAP_FREE;
        }
        r = MPI_TARGET_CMD_BUFFER_POST_REQUEST{};
        return true;
    };
    p.sRepost.ForEach([&](uint16_t w) {
        MPI_TARGET_CMD_BUFFER_DESCRIPTOR& b = r.asBuffer[r.bBufferCount++];
        b.dIoIndex = w;
        b.dAddress = static_cast<uint32_t>(dCpuAddressToPciAddress(dGetHostPortCommandBuffer(bIocId, w)));
        return r.bBufferCount < MPI_TARGET_CMD_BUFFER_POST_MAX || Post();
    });
    (void)Post();
}

// A port whose transfer has not ended in 10 s, or whose event ack went
// unanswered as long, is reset under every host.
void HostPortCommandWatchdog() {
    uint8_t afStuck[2] = {FALSE, FALSE};
    const uint64_t lNow = lGetTickCount();
    for (uint32_t n = 0; n < WATCHDOG_ENTRIES_PER_PASS; ++n) {
        KERNEL_ENTRY* ps = nullptr;
        (void)wGetTargetEntry(s_wWatchdogCursor, &ps);
        s_wWatchdogCursor = static_cast<uint16_t>((s_wWatchdogCursor + 1) % HOST_ENTRY_COUNT);
        if (ps == nullptr || !IsHostPort(ps->bPortCode) || !IsInUse(ps) || !IsTransferPhase(ps->bPrimaryState)) continue;
        if (lNow - ps->lStartTimeStamp > STALLED_TRANSFER_MS) {
            afStuck[ps->bPortCode == LSI_IOC_HOST_PORT_2 ? 1 : 0] = TRUE;
            break;
        }
    }
    bool fAny = false;
    for (uint8_t bIocId : {LSI_IOC_HOST_PORT_1, LSI_IOC_HOST_PORT_2}) {
        PORT_STATE& p = State(bIocId);
        const bool fAckLate = p.fAckPending == TRUE && lNow - p.lAckSentMs > STALLED_TRANSFER_MS;
        if (afStuck[bIocId == LSI_IOC_HOST_PORT_2 ? 1 : 0] != TRUE && !fAckLate) continue;
        fAny = true;
        p.fAckPending = FALSE;
        ResetHostPortUnderHosts(bIocId);
    }
    if (fAny) {
        EndScsi2ReservationsOfPort(LSI_IOC_HOST_PORT_1);
        EndScsi2ReservationsOfPort(LSI_IOC_HOST_PORT_2);
    }
}

void ResetHostPortUnderHosts(uint8_t bIocId) {
    if (!IsHostPort(bIocId)) return;
    ResetLsiHostPort(bIocId);
    PostEvent(EVENT_BUS_RESET, bPortNumber(bIocId), BUS_RESET_BY_WATCHDOG);
}

void ResetLsiHostPort(uint8_t bIocId) {
    if (!IsHostPort(bIocId)) return;
    SetHostPortLinkFlag(bIocId, TRUE);
    FillHostInterfaceBitmap(bIocId, TRUE);
    SetHostPortBusResetFlag(bIocId);
    State(bIocId).fReinitRequest = TRUE;
}

void ServeHostPortResets(uint8_t bIocId) {
    if (!IsHostPort(bIocId)) return;
    PORT_STATE& p = State(bIocId);
    if (p.fBusReset == TRUE) {
        // The hosts are given time to see the reset before what predates it ends.
        SpinDelayMs(BUS_RESET_SETTLE_MS);
        HostPortFlushAfterReset(bIocId);
        p.fBusReset = FALSE;
        p.fAbortAll = FALSE;
    }
    if (p.fReinitRequest != TRUE) return;
    if (bReinitSASHostPort(bIocId) == STATUS_OK || p.fReinitFailed == TRUE) {
        p.fReinitRequest = FALSE;
        p.fReinitFailed = FALSE;
    } else {
        p.fReinitFailed = TRUE;
    }
}

void ReleaseHostPortReadAheadMarkers(uint8_t bIocId) {
    HOST_PORT_MPT_STATE* s = pGetHostPortState(bIocId);
    if (s == nullptr) return;
    for (uint16_t& w : s->awIoToEntry) {
        if ((w & 0xFF00) != MAP_READ_AHEAD) continue;
        DecReadAheadWaitCount(static_cast<uint8_t>(w), TRUE);
        w = HOST_PORT_MAP_FREE;
    }
}

void PostDeferredHostPortRequests(uint8_t bIocId) {
    HOST_PORT_MPT_STATE* s = pGetHostPortState(bIocId);
    if (s == nullptr) return;
    InterruptSourceLock sLock(INT_SOURCE_HOST_CHIPS);
    State(bIocId).sDeferred.PostEach([&](uint16_t w, const uint8_t* pbRequest, uint32_t) {
        uint8_t* pb = nullptr;
        uint16_t wFrame = HOST_PORT_MAP_FREE;
        if (bGetHostPortRequestFrame(bIocId, &pb, &wFrame) != STATUS_OK) return false;
        std::memcpy(pb, pbRequest, DEFERRED_REQUEST_BYTES);
        PostHostPortRequestFrame(bIocId, pb, wFrame);
        s->awIoToFrame[w] = wFrame;
        return true;
    });
}

// The background pass's names for these services.
uint8_t fIsSasHostPortServiceRequested(uint8_t bIocId) {
    return ToFlag(fIsHostPortRepostPending(bIocId) == TRUE || (IsHostPort(bIocId) && State(bIocId).sDeferred.HasAny()));
}
void SasHostPortService(uint8_t bIocId) {
    if (fIsHostPortRepostPending(bIocId) == TRUE) RepostHostPortCommandBuffers(bIocId);
    PostDeferredHostPortRequests(bIocId);
}
void SasHostEventService() { HostPortCommandWatchdog(); }

}  // namespace fw
