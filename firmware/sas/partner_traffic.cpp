#include "sas/partner_traffic.h"

#include <cstring>

#include "executive/buffer_pages.h"
#include "executive/interrupt_controller.h"
#include "executive/tick.h"
#include "hw/mpi.h"
#include "partner/partner_link.h"
#include "partner/partner_messages.h"
#include "sas/active_active.h"
#include "sas/drive_ioc_bringup.h"
#include "sas/request_frames.h"
#include "sas/sas_device_list.h"
#include "sas/sas_drive.h"
#include "sas/sas_flags.h"
#include "sas/sas_scsi_path.h"

namespace fw {

namespace {

constexpr uint32_t MESSAGE_CONTEXT_PARTNER = 0x4000;   // the slot number in bits 12:0
constexpr uint32_t MESSAGE_CONTEXT_TARGET = 0x2000;    // the IoIndex in the low bits
constexpr uint32_t PARTNER_MESSAGE_DEADLINE_MS = 20000;
constexpr uint32_t TARGET_REQUEST_DEADLINE_MS = 10000;
constexpr uint16_t PARTNER_SLOT_MASK = 0x1FFF;
constexpr uint32_t STATUS_BYTES = 16;
// The early drive IOC revisions (levels).
constexpr uint32_t LEVEL_BEFORE_SHARING_FIRST = 1;
constexpr uint32_t LEVEL_BEFORE_SHARING_LAST = 3;
// The 16-byte status answer of messages 96 and 118 lands in the last bytes
// of the request's sense buffer, which a CHECK CONDITION never reaches.
constexpr uint32_t STATUS_BYTES_OFFSET = LSI_SENSE_BUFFER_BYTES - STATUS_BYTES;
constexpr uint32_t SGE_SIMPLE_LAST_IN = 0xD1000000;
constexpr uint32_t SGE_SIMPLE_LAST_OUT = 0xD5000000;
constexpr uint32_t SGE_SIMPLE_IN = 0x10000000;
constexpr uint32_t SGE_SIMPLE_OUT = 0x14000000;
constexpr uint32_t SGE_EMPTY = 0xD1000000;

// Per IoIndex: the incoming slot that owns it and the request in flight for it.
uint16_t s_awIoOwner[LSI_CMD_BUFFER_HANDLES];
uint16_t s_awIoRequest[LSI_CMD_BUFFER_HANDLES];
uint8_t s_fIoTablesReady = FALSE;

void ReadyIoTables() {
    if (s_fIoTablesReady == TRUE) return;
    for (uint16_t& w : s_awIoOwner) w = LSI_NO_HANDLE;
    for (uint16_t& w : s_awIoRequest) w = LSI_NO_HANDLE;
    s_fIoTablesReady = TRUE;
}

constexpr uint8_t TARGET_ABORT_EXACT_IO = 2;
constexpr uint8_t TARGET_ABORT_EXACT_REQUEST = 3;
constexpr uint32_t TARGET_ABORT_REQUEST_IN_FLIGHT = 0x8000;
constexpr uint8_t TASK_ABORT_TASK = 1;
constexpr uint32_t TASK_ABORT_GRACE_MS = 50;

uint32_t dReflect8(uint32_t d) {
    d = ((d & 0xF0) >> 4) | ((d & 0x0F) << 4);
    d = ((d & 0xCC) >> 2) | ((d & 0x33) << 2);
    return ((d & 0xAA) >> 1) | ((d & 0x55) << 1);
}

struct DriveSideLock : InterruptSourceLock {
    DriveSideLock() : InterruptSourceLock(INT_SOURCE_DRIVE_SIDE) {}
};

// A frame for a target-mode request: the normal pool, then (after the IOC
// drained) the normal pool again and the reserve.
uint8_t bTargetFrame(uint8_t** ppbFrame, uint16_t* pwRequest, bool fReserveOnly) {
    if (!fReserveOnly && bAllocLSIRequestFrame(LSI_IOC_DRIVE, ppbFrame, pwRequest, FALSE) == STATUS_OK) return STATUS_OK;
    WaitLSIRequestsDrained(LSI_IOC_DRIVE);
    if (!fReserveOnly && bAllocLSIRequestFrame(LSI_IOC_DRIVE, ppbFrame, pwRequest, FALSE) == STATUS_OK) return STATUS_OK;
    return bAllocLSIRequestFrame(LSI_IOC_DRIVE, ppbFrame, pwRequest, TRUE);
}

// The fields every target-mode request of a slot carries, and its posting.
void FillTargetHeader(uint8_t* pbFrame, const PARTNER_MESSAGE_SLOT* psSlot, uint8_t bFunction) {
    const uint8_t* pbImage = reinterpret_cast<const uint8_t*>(&psSlot->sMessage);
    pbFrame[3] = bFunction;
    std::memcpy(pbFrame + 4, pbImage + offsetof(MPI_TARGET_SSP_CMD_BUFFER, wInitiatorTag), 2);
    const uint32_t dContext = (psSlot->wIoIndex & MPI_TARGET_REPLY_IO_INDEX_MASK) | MESSAGE_CONTEXT_TARGET;
    std::memcpy(pbFrame + 8, &dContext, 4);
    std::memcpy(pbFrame + 12, &psSlot->dReplyWord, 4);
    std::memcpy(pbFrame + 16, pbImage + offsetof(MPI_TARGET_SSP_CMD_BUFFER, abLun), 8);
}

void PostTargetRequest(uint8_t* pbFrame, uint16_t wRequest, PARTNER_MESSAGE_SLOT* psSlot) {
    (void)qPostLSIRequest(LSI_IOC_DRIVE, pbFrame, wRequest, TARGET_REQUEST_DEADLINE_MS, FALSE);
    psSlot->lLastRequestTick = lGetTickCount();
    if (psSlot->wIoIndex < LSI_CMD_BUFFER_HANDLES) s_awIoRequest[psSlot->wIoIndex] = wRequest;
}

uint8_t bTargetAssist(PARTNER_MESSAGE_SLOT* psSlot, BUS_ADDRESS dAddress, uint32_t dLength, uint8_t bFlags,
                      uint8_t bStatus, uint32_t dElementFlags) {
    DriveSideLock sLock;
    uint8_t* pbFrame = nullptr;
    uint16_t wRequest = LSI_NO_HANDLE;
    const uint8_t b = bTargetFrame(&pbFrame, &wRequest, false);
    if (b != STATUS_OK) return b;
    MPI_TARGET_ASSIST_REQUEST s{};
    FillTargetHeader(pbFrame, psSlot, MPI_FUNCTION_TARGET_ASSIST);
    std::memcpy(&s, pbFrame, 24);
    s.bStatusCode = bStatus;
    s.bTargetAssistFlags = bFlags;
    s.dRelativeOffset = 0;
    s.dDataLength = dLength;
    s.adSGL[0] = dElementFlags | dLength;
    s.adSGL[1] = static_cast<uint32_t>(dAddress);
    std::memcpy(pbFrame, &s, sizeof s);
    PostTargetRequest(pbFrame, wRequest, psSlot);
    return STATUS_OK;
}

// The frame's own buffer in the sense area: the response frame of a status,
// and the status bytes of messages 96 and 118.
uint8_t* pbRequestBuffer(uint16_t wRequest) { return pGetLSISenseBuffer(LSI_IOC_DRIVE, wRequest); }

// Messages wait while the drive IOC restarts or runs one of the early
// revisions, unless discovery lets them through meanwhile.
bool DriveSideUnsettled() {
    const uint32_t dLevel = dGetSASActiveActiveState();
    return fIsSASIOCRestartRequested() == TRUE || fIsSASIOCRestartInProgress() == TRUE ||
           (dLevel >= LEVEL_BEFORE_SHARING_FIRST && dLevel <= LEVEL_BEFORE_SHARING_LAST);
}

}  // namespace

uint32_t dCalculateMessageCRC32(const uint32_t* pdWords, uint32_t dCount) {
    uint32_t dCrc = 0xFFFFFFFF;
    for (uint32_t i = 0; i < dCount; ++i) {
        for (int iShift = 24; iShift >= 0; iShift -= 8) {
            dCrc ^= dReflect8((pdWords[i] >> iShift) & 0xFF) << 24;
            for (int k = 0; k < 8; ++k) dCrc = dCrc & 0x80000000 ? (dCrc << 1) ^ 0x04C11DB7 : dCrc << 1;
        }
    }
    // Each byte of the register reflected, the whole complemented: the
    // standard CRC with its bytes in reverse order.
    uint32_t dOut = 0;
    for (int k = 0; k < 4; ++k) dOut |= dReflect8((dCrc >> (8 * k)) & 0xFF) << (8 * k);
    return ~dOut;
}

uint8_t bSendMessageToPartnerIOC(const INTER_CONTROLLER_MESSAGE* psMessage, uint16_t wSlot, uint8_t bCommandType) {
    const uint8_t bTarget = static_cast<uint8_t>(psMessage->wTarget);
    if ((dGetSASTargetFlags(bTarget) & SAS_TARGET_FLAG_REFUSE) ||
        (bGetPartnerAlpaPath1() == 0xFF && bGetPartnerAlpaPath2() == 0xFF) ||
        (DriveSideUnsettled() && fGetSASDiscoveryStateFlag() != TRUE)) {
        return STATUS_RETRY;
    }
    DriveSideLock sLock;
    uint8_t* pbFrame = nullptr;
    uint16_t wRequest = LSI_NO_HANDLE;
    const uint8_t b = bAllocLSIRequestFrame(LSI_IOC_DRIVE, &pbFrame, &wRequest, FALSE);
    if (b != STATUS_OK) return b;
    MPI_SCSI_IO_REQUEST s{};
    s.bTargetId = bTarget;
    s.bFunction = MPI_FUNCTION_SCSI_IO_REQUEST;
    s.bCDBLength = 16;
    s.bSenseBufferLength = static_cast<uint8_t>(LSI_SENSE_BUFFER_BYTES);
    s.dMsgContext = (wSlot & PARTNER_SLOT_MASK) | MESSAGE_CONTEXT_PARTNER;
    std::memcpy(s.abLun, &psMessage->wLun, 2);
    uint32_t adCdb[4];
    std::memcpy(adCdb, psMessage->abCdb, sizeof adCdb);
    const uint32_t dCrc = dCalculateMessageCRC32(adCdb, 4);
    std::memcpy(s.abLun + 4, &dCrc, 4);
    std::memcpy(s.abCDB, psMessage->abCdb, sizeof s.abCDB);
    uint8_t* pbSense = pbRequestBuffer(wRequest);
    s.dSenseBufferLowAddr = dPciAddressOf(pbSense);
    const uint8_t bCode = psMessage->abCdb[0] == PARTNER_TYPED_MESSAGE ? psMessage->abCdb[1] : 0;
    (void)bCommandType;
    if (bCode == 96 || bCode == 118) {
        // Their receivers answer with four status bytes in a data-in phase.
        std::memset(pbSense + STATUS_BYTES_OFFSET, 0, 4);
        s.dControl = MPI_SCSIIO_CONTROL_READ;
        s.dDataLength = STATUS_BYTES;
        s.adSGL[0] = SGE_SIMPLE_LAST_IN | STATUS_BYTES;
        s.adSGL[1] = static_cast<uint32_t>(dPciAddressOf(pbSense + STATUS_BYTES_OFFSET));
    } else if (psMessage->wSegmentCount == 0 || psMessage->dByteCount == 0) {
        s.adSGL[0] = SGE_EMPTY;
        s.adSGL[1] = 0xFFFFFFFF;
    } else {
        const bool fOut = (psMessage->wControlFlags & PARTNER_CONTROL_OUT_BIT) != 0;
        s.dControl = fOut ? MPI_SCSIIO_CONTROL_WRITE : MPI_SCSIIO_CONTROL_READ;
        s.dDataLength = psMessage->dByteCount;
        const uint16_t wSegments = psMessage->wSegmentCount < 3 ? psMessage->wSegmentCount : 3;
        for (uint16_t i = 0; i < wSegments; ++i) {
            const bool fLast = i + 1 == wSegments;
            const uint32_t dFlags = fLast ? (fOut ? SGE_SIMPLE_LAST_OUT : SGE_SIMPLE_LAST_IN)
                                          : (fOut ? SGE_SIMPLE_OUT : SGE_SIMPLE_IN);
            s.adSGL[2 * i] = dFlags | psMessage->adSegment[2 * i + 1];
            s.adSGL[2 * i + 1] = psMessage->adSegment[2 * i];
        }
    }
    std::memcpy(pbFrame, &s, sizeof s);
    (void)qPostLSIRequest(LSI_IOC_DRIVE, pbFrame, wRequest, PARTNER_MESSAGE_DEADLINE_MS, FALSE);
    psGetLSIAdapter(LSI_IOC_DRIVE)->asRequest[wRequest].bTargetId = bTarget;
    return STATUS_OK;
}

uint8_t fGetPartnerStatusBytes(uint8_t bIocId, uint16_t wRequest) {
    uint8_t* pbSense = pGetLSISenseBuffer(bIocId, wRequest);
    if (pbSense == nullptr || pbSense[STATUS_BYTES_OFFSET] == 0) return FALSE;
    const uint8_t* pb = pbSense + STATUS_BYTES_OFFSET;
    const uint8_t bKey = pb[1], bAsc = pb[2], bAscq = pb[3];
    pbSense[2] = bKey;
    pbSense[12] = bAsc;
    pbSense[13] = bAscq;
    return TRUE;
}

void SendPartnerStatusBytes(PARTNER_MESSAGE_SLOT* psSlot, uint8_t bStatus, uint8_t bSenseKey, uint8_t bAsc,
                            uint8_t bAscq) {
    DriveSideLock sLock;
    uint8_t* pbFrame = nullptr;
    uint16_t wRequest = LSI_NO_HANDLE;
    if (bTargetFrame(&pbFrame, &wRequest, false) != STATUS_OK) return;
    uint8_t* pb = pbRequestBuffer(wRequest);
    std::memset(pb, 0, STATUS_BYTES);
    pb[0] = bStatus;
    pb[1] = bSenseKey;
    pb[2] = bAsc;
    pb[3] = bAscq;
    MPI_TARGET_ASSIST_REQUEST s{};
    FillTargetHeader(pbFrame, psSlot, MPI_FUNCTION_TARGET_ASSIST);
    std::memcpy(&s, pbFrame, 24);
    s.bTargetAssistFlags = MPI_TARGET_ASSIST_FLAGS_REPOST | MPI_TARGET_ASSIST_FLAGS_AUTO_STATUS |
                           MPI_TARGET_ASSIST_FLAGS_DATA_DIRECTION;
    s.dDataLength = STATUS_BYTES;
    s.adSGL[0] = SGE_SIMPLE_LAST_OUT | STATUS_BYTES;
    s.adSGL[1] = static_cast<uint32_t>(dPciAddressOf(pb));
    std::memcpy(pbFrame, &s, sizeof s);
    PostTargetRequest(pbFrame, wRequest, psSlot);
}

void SendPartnerTargetStatus(PARTNER_MESSAGE_SLOT* psSlot, uint8_t bStatus, uint8_t bSenseKey, uint8_t bAsc,
                             uint8_t bAscq) {
    const uint8_t* pbCdb = psSlot->sMessage.abCdb;
    if (pbCdb[0] == PARTNER_TYPED_MESSAGE && (pbCdb[1] == 118 || pbCdb[1] == 96)) {
        SendPartnerStatusBytes(psSlot, bStatus, bSenseKey, bAsc, bAscq);
        return;
    }
    DriveSideLock sLock;
    uint8_t* pbFrame = nullptr;
    uint16_t wRequest = LSI_NO_HANDLE;
    if (bTargetFrame(&pbFrame, &wRequest, false) != STATUS_OK) return;
    MPI_TARGET_STATUS_SEND_REQUEST s{};
    FillTargetHeader(pbFrame, psSlot, MPI_FUNCTION_TARGET_STATUS_SEND);
    std::memcpy(&s, pbFrame, 24);
    if (bStatus == 0) {
        s.bStatusFlags = MPI_TARGET_STATUS_FLAGS_REPOST | MPI_TARGET_STATUS_FLAGS_AUTO_GOOD;
    } else {
        s.bStatusFlags = MPI_TARGET_STATUS_FLAGS_REPOST;
        uint8_t* pb = pbRequestBuffer(wRequest);
        std::memset(pb, 0, LSI_SENSE_BUFFER_BYTES);
        uint8_t* pbIu = pb + MPI_TARGET_RESPONSE_IU_OFFSET;
        pbIu[SSP_RESPONSE_DATAPRES] = 2;
        pbIu[SSP_RESPONSE_STATUS] = bStatus;
        pbIu[SSP_RESPONSE_SENSE_LENGTH + 3] = 16;
        uint8_t* pbSense = pbIu + SSP_RESPONSE_DATA;
        pbSense[0] = 0x70;
        pbSense[2] = bSenseKey;
        pbSense[7] = 8;
        pbSense[12] = bAsc;
        pbSense[13] = bAscq;
        s.adSGL[0] = SGE_SIMPLE_LAST_OUT | LSI_SENSE_BUFFER_BYTES;
        s.adSGL[1] = static_cast<uint32_t>(dPciAddressOf(pb));
    }
    std::memcpy(pbFrame, &s, sizeof s);
    PostTargetRequest(pbFrame, wRequest, psSlot);
}

uint8_t SendPartnerTargetData(PARTNER_MESSAGE_SLOT* psSlot, BUS_ADDRESS dAddress, uint32_t dLength, uint8_t bStatus) {
    return bTargetAssist(psSlot, dAddress, dLength,
                         MPI_TARGET_ASSIST_FLAGS_REPOST | MPI_TARGET_ASSIST_FLAGS_AUTO_STATUS |
                             MPI_TARGET_ASSIST_FLAGS_DATA_DIRECTION,
                         bStatus, SGE_SIMPLE_LAST_OUT);
}

uint8_t ReceivePartnerTargetData(PARTNER_MESSAGE_SLOT* psSlot, BUS_ADDRESS dAddress, uint32_t dLength) {
    psSlot->bPrimaryState = SLOT_DATA_OUT;
    const uint8_t b = bTargetAssist(psSlot, dAddress, dLength, 0, 0, SGE_SIMPLE_LAST_IN);
    if (b != STATUS_OK) psSlot->bPrimaryState = SLOT_CHECKED;
    return b;
}

uint8_t bSendTargetModeAbort(uint8_t bType, uint16_t wIoIndex, uint32_t dReplyWord, uint32_t dContextToAbort) {
    DriveSideLock sLock;
    uint8_t* pbFrame = nullptr;
    uint16_t wRequest = LSI_NO_HANDLE;
    const uint8_t b = bTargetFrame(&pbFrame, &wRequest, false);
    if (b != STATUS_OK) return b;
    MPI_TARGET_MODE_ABORT_REQUEST s{};
    s.bAbortType = bType;
    s.bFunction = MPI_FUNCTION_TARGET_MODE_ABORT;
    // Bit 15 tells the reply that the aborted request's own reply ends
    // the command, so the buffer is not given back twice.
    s.dMsgContext = (wIoIndex & MPI_TARGET_REPLY_IO_INDEX_MASK) |
                    (bType == TARGET_ABORT_EXACT_REQUEST ? TARGET_ABORT_REQUEST_IN_FLIGHT : 0u);
    s.dReplyWord = dReplyWord;
    s.dMsgContextToAbort = dContextToAbort;
    std::memcpy(pbFrame, &s, sizeof s);
    (void)qPostLSIRequest(LSI_IOC_DRIVE, pbFrame, wRequest, TARGET_REQUEST_DEADLINE_MS, FALSE);
    return STATUS_OK;
}

namespace {

// The IOC stops working on one command from the partner: the request in
// flight for it when there is one, else the command itself.
void AbortPartnerTargetIo(uint16_t wIoIndex, uint32_t dReplyWord) {
    const uint16_t wRequest = s_awIoRequest[wIoIndex];
    const LSI_SAS_DRIVE_ADAPTER* a = psGetLSIAdapter(LSI_IOC_DRIVE);
    if (wRequest != LSI_NO_HANDLE && a != nullptr && wRequest < a->wRequestFrames) {
        (void)bSendTargetModeAbort(TARGET_ABORT_EXACT_REQUEST, wIoIndex, dReplyWord, a->asRequest[wRequest].dMsgContext);
    } else {
        (void)bSendTargetModeAbort(TARGET_ABORT_EXACT_IO, wIoIndex, dReplyWord, 0xFFFFFFFF);
    }
}

// The command buffer of an IoIndex goes back to the IOC, owned by no slot.
void GiveBackCommandBuffer(uint16_t wIoIndex) {
    s_awIoOwner[wIoIndex] = LSI_NO_HANDLE;
    MarkTargetCmdBufferForRepost(LSI_IOC_DRIVE, wIoIndex);
    if (LSI_SAS_DRIVE_ADAPTER* a = psGetLSIAdapter(LSI_IOC_DRIVE)) {
        a->awCmdBufferHandle[wIoIndex] = a->awCmdBufferHandle2[wIoIndex] = LSI_NO_HANDLE;
    }
}

// The incoming slot that owns the command of that tag, other than the
// task management request itself.
PARTNER_MESSAGE_SLOT* psSlotOfTag(uint16_t wTag, const PARTNER_MESSAGE_SLOT* psRequest) {
    for (uint16_t w = 0; w < LSI_CMD_BUFFER_HANDLES; ++w) {
        if (s_awIoOwner[w] == LSI_NO_HANDLE) continue;
        PARTNER_MESSAGE_SLOT* ps = nullptr;
        if (pGetIncomingMessageSlot(s_awIoOwner[w], &ps) != STATUS_OK || ps == nullptr || ps == psRequest) continue;
        uint16_t wSlotTag = 0;
        std::memcpy(&wSlotTag, reinterpret_cast<const uint8_t*>(&ps->sMessage) +
                                   offsetof(MPI_TARGET_SSP_CMD_BUFFER, wInitiatorTag), 2);
        if (wSlotTag == wTag && ps->wIoIndex == w) return ps;
    }
    return nullptr;
}

}  // namespace

// The partner's task management: only ABORT TASK is acted on; the answer
// is "function complete" either way.
uint8_t AnswerPartnerTaskManagement(PARTNER_MESSAGE_SLOT* psSlot) {
    ReadyIoTables();
    MPI_TARGET_SSP_CMD_BUFFER sRequest;
    std::memcpy(&sRequest, &psSlot->sMessage, sizeof sRequest);
    PARTNER_MESSAGE_SLOT* psAborted = psSlotOfTag(sRequest.wManagedTaskTag, psSlot);
    if (psAborted != nullptr && psAborted->fInUse == TRUE && sRequest.bTaskManagementFunction == TASK_ABORT_TASK) {
        // Give an answer already on its way the time to leave before the
        // IOC is told to drop the command.
        const uint16_t wIoIndex = psAborted->wIoIndex;
        SpinDelayMs(TASK_ABORT_GRACE_MS);
        if (psAborted->fInUse == TRUE && psAborted->wIoIndex == wIoIndex && s_awIoOwner[wIoIndex] == psAborted->wSlot) {
            AbortPartnerTargetIo(wIoIndex, psAborted->dReplyWord);
        }
    }
    DriveSideLock sLock;
    uint8_t* pbFrame = nullptr;
    uint16_t wRequest = LSI_NO_HANDLE;
    if (bTargetFrame(&pbFrame, &wRequest, true) != STATUS_OK) {
        // Unanswered: the partner's own deadline ends its request.
        const uint16_t wIoIndex = psSlot->wIoIndex;
        if (wIoIndex < LSI_CMD_BUFFER_HANDLES && s_awIoOwner[wIoIndex] == psSlot->wSlot) GiveBackCommandBuffer(wIoIndex);
        return STATUS_RETRY;
    }
    MPI_TARGET_STATUS_SEND_REQUEST s{};
    FillTargetHeader(pbFrame, psSlot, MPI_FUNCTION_TARGET_STATUS_SEND);
    std::memcpy(&s, pbFrame, 24);
    s.bStatusFlags = MPI_TARGET_STATUS_FLAGS_REPOST;
    uint8_t* pb = pbRequestBuffer(wRequest);
    std::memset(pb, 0, LSI_SENSE_BUFFER_BYTES);
    uint8_t* pbIu = pb + MPI_TARGET_RESPONSE_IU_OFFSET;
    pbIu[SSP_RESPONSE_DATAPRES] = 1;
    pbIu[SSP_RESPONSE_DATA_LENGTH + 3] = 4;
    s.adSGL[0] = SGE_SIMPLE_LAST_OUT | 52;
    s.adSGL[1] = static_cast<uint32_t>(dPciAddressOf(pb));
    std::memcpy(pbFrame, &s, sizeof s);
    // Its reply gives the frame and the command buffer back and frees the
    // slot: until then the IoIndex names this slot, which no new command
    // may take.
    psSlot->bPrimaryState = SLOT_STATUS_SENT;
    PostTargetRequest(pbFrame, wRequest, psSlot);
    return STATUS_OK;
}

void PartnerTargetReply(uint16_t wIoIndex) {
    ReadyIoTables();
    if (wIoIndex >= LSI_CMD_BUFFER_HANDLES) return;
    LSI_SAS_DRIVE_ADAPTER* a = psGetLSIAdapter(LSI_IOC_DRIVE);
    if (a == nullptr) return;
    const uint16_t wRequest = s_awIoRequest[wIoIndex];
    s_awIoRequest[wIoIndex] = LSI_NO_HANDLE;
    if (wRequest != LSI_NO_HANDLE) FreeLSIRequest(LSI_IOC_DRIVE, wRequest);
    if (s_awIoOwner[wIoIndex] == LSI_NO_HANDLE) {
        // A new command from the partner, in the command buffer of that IoIndex.
        const uint8_t* pbBuffer = static_cast<const uint8_t*>(
            pCpuAddressToPointer(a->dTargetCmdBuffers + static_cast<uint32_t>(LSI_TARGET_CMD_BUFFER_BYTES) * wIoIndex));
        PARTNER_MESSAGE_SLOT* ps = nullptr;
        if (bQueueIncomingPartnerCommand(PARTNER_PORT_SAS, pbBuffer, &ps) != STATUS_OK) {
            // No slot: the command buffer goes back and the partner is told
            // to try again.
            MarkTargetCmdBufferForRepost(LSI_IOC_DRIVE, wIoIndex);
            return;
        }
        ps->wIoIndex = wIoIndex;
        ps->dReplyWord = MPI_REPLY_TYPE_TARGET | wIoIndex;
        s_awIoOwner[wIoIndex] = ps->wSlot;
        std::memcpy(&a->awCmdBufferHandle[wIoIndex], pbBuffer + offsetof(MPI_TARGET_SSP_CMD_BUFFER, wDevHandle), 2);
        a->awCmdBufferHandle2[wIoIndex] = ps->wSlot;
        return;
    }
    PARTNER_MESSAGE_SLOT* ps = nullptr;
    (void)pGetIncomingMessageSlot(s_awIoOwner[wIoIndex], &ps);
    if (fPartnerCommandTransferDone(PARTNER_PORT_SAS, STATUS_OK, ps) == TRUE) {
        s_awIoOwner[wIoIndex] = LSI_NO_HANDLE;
        a->awCmdBufferHandle[wIoIndex] = a->awCmdBufferHandle2[wIoIndex] = LSI_NO_HANDLE;
    }
}

// A target request failed: its data phase did not happen.
void PartnerTargetErrorReply(uint16_t wIoIndex) {
    ReadyIoTables();
    if (wIoIndex >= LSI_CMD_BUFFER_HANDLES) return;
    const uint16_t wRequest = s_awIoRequest[wIoIndex];
    s_awIoRequest[wIoIndex] = LSI_NO_HANDLE;
    if (wRequest != LSI_NO_HANDLE) FreeLSIRequest(LSI_IOC_DRIVE, wRequest);
    if (s_awIoOwner[wIoIndex] == LSI_NO_HANDLE) return;
    PARTNER_MESSAGE_SLOT* ps = nullptr;
    (void)pGetIncomingMessageSlot(s_awIoOwner[wIoIndex], &ps);
    if (ps != nullptr && ps->bPrimaryState != SLOT_DATA_OUT) ps->bPrimaryState = SLOT_STATUS_SENT;
    if (fPartnerCommandTransferDone(PARTNER_PORT_SAS, 0, ps) == TRUE) GiveBackCommandBuffer(wIoIndex);
}

// The IOC has dropped a command from the partner: its buffer goes back
// and the command ends here, unless the aborted request's own reply ends
// it.  A drive command still running for it ends the slot when it is done;
// until then its pages stay with it.
void PartnerTargetAbortReply(uint32_t dContext) {
    ReadyIoTables();
    if (dContext & TARGET_ABORT_REQUEST_IN_FLIGHT) return;
    const uint16_t wIoIndex = static_cast<uint16_t>(dContext & MPI_TARGET_REPLY_IO_INDEX_MASK);
    if (wIoIndex >= LSI_CMD_BUFFER_HANDLES) return;
    const uint16_t wOwner = s_awIoOwner[wIoIndex];
    GiveBackCommandBuffer(wIoIndex);
    PARTNER_MESSAGE_SLOT* ps = nullptr;
    if (wOwner >= PARTNER_SLOTS || pGetIncomingMessageSlot(wOwner, &ps) != STATUS_OK || ps == nullptr ||
        ps->fInUse != TRUE || ps->wIoIndex != wIoIndex) {
        return;
    }
    ps->dFlags |= SLOT_FLAG_CANCELLED;
    ps->wIoIndex = LSI_NO_HANDLE;
    if (ps->bPrimaryState == SLOT_DRIVE_COMMAND) {
        if (ps->wSecondIndex <= 4095) AbortForwardedDriveCommand(ps->wSecondIndex);
        return;
    }
    (void)fPartnerCommandTransferDone(PARTNER_PORT_SAS, 0, ps);
}

namespace {

// A partner message on frame w past its deadline is aborted and ended as
// failed.  *plNow is the tick count, read at the first message in flight.
void EndOverdueMessage(LSI_SAS_REQUEST_INFO& r, uint16_t w, uint64_t* plNow) {
    if (r.lDeadline == 0 || (r.bFlags & LSI_REQUEST_ABORTED) || !(r.dMsgContext & MESSAGE_CONTEXT_PARTNER) ||
        (r.dMsgContext & 0xFFFF) == SAS_WAITED_ENTRY_INDEX) {
        return;
    }
    if (*plNow == 0) *plNow = lGetTickCount();
    if (r.lDeadline > *plNow) return;
    // The partner is handing our drives back and answers late meanwhile:
    // the message waits for its answer rather than being given up.
    if (fIsSASOCFailbackInProgress() == TRUE) {
        r.lDeadline = 0;
        return;
    }
    // The abort's answer must not overtake the marks set when it is sent.
    DriveSideLock sLock;
    if (bSendSASAbortTask(r.bTargetId, w, static_cast<uint16_t>(r.dMsgContext & 0xFFFF)) != STATUS_OK) return;
    r.bFlags |= LSI_REQUEST_ABORTED;
    r.lDeadline = 0;
    PartnerMessageCompleteHandler(PARTNER_PORT_SAS, 1, 0, static_cast<uint16_t>(r.dMsgContext & PARTNER_SLOT_MASK),
                                  nullptr);
}

}  // namespace

// The scan runs on every background pass, so it visits only the frames in
// use (a freed frame has no deadline), through the map of frames in use a
// word at a time: an idle adapter costs a few words, not every frame.
void ScanPartnerMessageTimeouts() {
    LSI_SAS_DRIVE_ADAPTER* a = psGetLSIAdapter(LSI_IOC_DRIVE);
    if (a == nullptr) return;
    uint64_t lNow = 0;
    for (uint32_t dWord = 0; dWord * 32u < a->wRequestFrames; ++dWord) {
        // Frames the pass frees or takes change the map, not this copy.
        for (uint32_t dBits = a->adInUse[dWord]; dBits != 0; dBits &= dBits - 1) {
            const uint32_t dFrame = dWord * 32u + static_cast<uint32_t>(__builtin_ctz(dBits));
            if (dFrame >= a->wRequestFrames) break;
            EndOverdueMessage(a->asRequest[dFrame], static_cast<uint16_t>(dFrame), &lNow);
        }
    }
}

void CancelPartnerTrafficOnDriveIOC() {
    ReadyIoTables();
    for (uint16_t& w : s_awIoOwner) w = LSI_NO_HANDLE;
    for (uint16_t& w : s_awIoRequest) w = LSI_NO_HANDLE;
    AbortPartnerIncoming(PARTNER_PORT_SAS);
    AbortPartnerOutgoing(PARTNER_PORT_SAS);
}

}  // namespace fw
