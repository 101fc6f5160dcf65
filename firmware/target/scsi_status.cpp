// Status, sense and data transfer of host commands.
//
// On the Fibre Channel host ports the target engine builds the chip's
// continue-target-I/O entries (CTIOs) itself through the driver's builders:
// one entry per data segment, the status riding on the last or following it.
// Only the entry that ends the command's exchange carries the command's
// address as its handle, so that its completion, and only it, moves the
// command on; the others carry the handle that names nothing.
#include "target/intermediate_target_queue.h"
#include "target/scsi_status.h"

#include <algorithm>
#include <cstring>

#include "cache/cache.h"
#include "cache/nvram_journal.h"
#include "cache/outstanding_queues.h"
#include "console/option_settings.h"
#include "eventlog/statistics.h"
#include "eventlog/target_trace.h"
#include "eventlog/time_logs.h"
#include "executive/console_output.h"
#include "executive/types.h"
#include "fc/fc_driver.h"
#include "hw/addresses.h"
#include "hw/fc_target_iocb.h"
#include "hw/scsi.h"
#include "platform/internal_command_path.h"
#include "sas/sas_drive.h"
#include "target/command_access.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/stage_rings.h"
#include "target/target_commands.h"
#include "target/target_engine.h"
#include "target/target_queue_management.h"

namespace fw {

namespace {

constexpr uint16_t CTIO_TIMEOUT = 0;     // the chip's own
constexpr uint32_t BLOCK_BYTES = 512;    // internal block counts are in 512-byte units

// What the CTIOs of a Fibre Channel command name, from its converted head
// and, on ISP24xx chips, its received ATIO.
struct FIBRE_EXCHANGE {
    uint16_t wInitiator;   // ISP24xx: the N_Port handle; ISP2x00: the loop ID
    uint16_t wRxId;
    uint16_t wOxId;
    uint32_t dExchange;
    uint32_t dPortId;
    uint16_t wAttribute;   // the task attribute, placed for the CTIO7 flags
    uint32_t dExpected;    // FCP_DL
    uint8_t bTag;
};

FIBRE_EXCHANGE sExchangeOf(const KERNEL_ENTRY* psEntry) {
    ATIO2_ENTRY sHead;
    std::memcpy(&sHead, psEntry, sizeof(sHead));
    ATIO7_ENTRY sAtio;
    std::memcpy(&sAtio, pGetAtioCopy(psEntry), sizeof(sAtio));
    FIBRE_EXCHANGE s;
    s.wInitiator = sHead.wInitiator;
    s.wRxId = sHead.wRxId;
    s.wOxId = sHead.wOxId;
    s.dExchange = sAtio.dExchangeAddress;
    s.dPortId = pHostFields(psEntry)->dSourceId;
    s.wAttribute = static_cast<uint16_t>((sHead.bTaskAttribute & FCP_TASK_ATTRIBUTE_MASK)
                                         << CTIO7_TASK_ATTRIBUTE_SHIFT);
    s.dExpected = sHead.dDataLength;
    s.bTag = sHead.bSystemDefined;
    return s;
}

void Put32(uint8_t* pb, uint32_t d) { std::memcpy(pb, &d, sizeof(d)); }

uint32_t dHandleOf(const KERNEL_ENTRY* psEntry) {
    return dAddressWord(psEntry);
}

// The status entry, with its sense and its residual; the tag by which the
// completion is matched to the command replaces the builder's.
void BuildStatusEntry(const FIBRE_EXCHANGE& sEx, uint32_t dHandle, uint16_t wStatusWord, const uint8_t* pbSense,
                      uint16_t wSenseLength, uint32_t dResidual, uint8_t* pbOut) {
    if (fIsQL24xx() == TRUE) {
        (void)bBuildQlCtio7Status(dHandle, sEx.wInitiator, sEx.wOxId,
                                  CTIO7_FLAG_SEND_STATUS | CTIO7_FLAG_STATUS_MODE_1 | sEx.wAttribute, CTIO_TIMEOUT,
                                  sEx.dPortId, sEx.dExchange, wStatusWord, wSenseLength, 0, pbSense, pbOut);
        Put32(pbOut + 0x1C, dResidual);
    } else {
        (void)bBuildQlCtioEntry(dHandle, sEx.wInitiator, sEx.wRxId, CTIO2_FLAG_SEND_STATUS | CTIO2_FLAG_STATUS_MODE_1,
                                CTIO_TIMEOUT, wStatusWord, wSenseLength, 0, pbSense, pbOut);
        Put32(pbOut + 0x18, dResidual);
    }
    pbOut[2] = sEx.bTag;
}

void BuildDataEntry(const FIBRE_EXCHANGE& sEx, uint32_t dHandle, bool fDataIn, bool fSendStatus,
                    uint16_t wStatusWord, uint32_t dResidual, uint32_t dOffset, const TRANSFER_SEGMENT& sSegment,
                    uint8_t* pbOut) {
    if (fIsQL24xx() == TRUE) {
        uint16_t wFlags = static_cast<uint16_t>((fDataIn ? CTIO7_FLAG_DATA_IN : CTIO7_FLAG_DATA_OUT) | sEx.wAttribute);
        if (fSendStatus) wFlags |= CTIO7_FLAG_SEND_STATUS;
        (void)QL24_BuildCtio7(dHandle, sEx.wInitiator, sEx.wOxId, wFlags, CTIO_TIMEOUT, sEx.dPortId, sEx.dExchange, 1,
                              wStatusWord, dOffset, dResidual, sSegment.dLength, sSegment.dAddress,
                              sSegment.dLength, pbOut);
    } else {
        uint16_t wFlags = fDataIn ? CTIO2_FLAG_DATA_IN : CTIO2_FLAG_DATA_OUT;
        if (fSendStatus) wFlags |= CTIO2_FLAG_SEND_STATUS | CTIO2_FLAG_STATUS_MODE_1;
        (void)QL2x_BuildCtio2(dHandle, sEx.wInitiator, sEx.wRxId, wFlags, CTIO_TIMEOUT, 1, wStatusWord, dOffset,
                              dResidual, sSegment.dLength, sSegment.dAddress, sSegment.dLength, pbOut);
    }
    pbOut[2] = sEx.bTag;
}

// The CTIOs of one transfer, built before anything is posted so that a
// full ring leaves the command untouched.
struct CTIO_BATCH {
    uint8_t aabEntry[MAX_TRANSFER_SEGMENTS + 1][CTIO_ENTRY_BYTES];
    uint8_t bCount;
};

// A READ(16) or WRITE(16) goes to the target queue instead while target
// queue management is on.  With fRefuseWhenFull a ring without room for the
// whole batch posts nothing and answers 0; otherwise the post waits for room.
uint8_t bPostBatch(KERNEL_ENTRY* psEntry, const CTIO_BATCH& sBatch, bool fMayPark, bool fRefuseWhenFull) {
    if (sBatch.bCount == 0) return STATUS_OK;
    if (fMayPark && sBatch.bCount <= 2 && fCanParkCommand(psEntry) == TRUE) {
        ParkCommandIocb(psEntry, sBatch.aabEntry[0], sBatch.bCount == 2 ? sBatch.aabEntry[1] : nullptr);
        return STATUS_OK;
    }
    const uint8_t bChip = psEntry->bPortCode;
    if (fRefuseWhenFull && bRequestRingFree(bChip) < sBatch.bCount) return 0;
    for (uint8_t b = 0; b < sBatch.bCount; b++) (void)bPostRequestQueueEntries(bChip, 1, sBatch.aabEntry[b]);
    return STATUS_OK;
}

void FinishAborted(KERNEL_ENTRY* psEntry) {
    HostPoolLock sLock;
    MarkFinishedWithoutStatus(psEntry);
    QueueCommandComplete(psEntry->bPortCode, psEntry->wIndex);
}

// The loop was reset since the command arrived: its exchange is gone.
bool IsStaleAfterLip(const KERNEL_ENTRY* psEntry) {
    return pHostFields(psEntry)->wLipCount != wGetHostLoopLipCount(psEntry->bPortCode);
}

void FinishStale(KERNEL_ENTRY* psEntry) {
    SetFlag(psEntry, KE_FLAG_ABORTED);
    FinishAborted(psEntry);
    if (fIsQL24xx() != TRUE) {
        IncTargetResourceCount(psEntry->bPortCode);
        SetTargetResourceRequest(psEntry->bPortCode, TRUE);
    }
}

bool IsStreamPiece(const KERNEL_ENTRY* psEntry) {
    return psEntry->bCommandType == COMMAND_TYPE_CLOSING_PIECE || psEntry->bCommandType == COMMAND_TYPE_STREAM_PIECE;
}

// A stream piece whose GOOD status went out earlier is released with its
// status: nothing comes back for it.
void ReleaseAnsweredPiece(KERNEL_ENTRY* psEntry) {
    ClearFlag(psEntry, KE_FLAG_WRITE_BACK);
    if (HasFlag(psEntry, KE_FLAG_CACHE_COUNTED)) {
        DecCacheWriteCount();
        ClearFlag(psEntry, KE_FLAG_CACHE_COUNTED);
    }
    DecHostWritesInProgress();
    if (HasFlag(psEntry, KE_FLAG_JOURNALED)) ClearNvramQueueEntry(psEntry->wIndex);
    if (HasFlag(psEntry, KE_FLAG_STRIPE_ACCESS)) ReleaseStripeAccessEntry(psEntry->wIndex);
    if (HasFlag(psEntry, KE_FLAG_IN_WRITE_QUEUE)) RemoveOutstandingWrite(psEntry);
    const uint8_t bPort = psEntry->bPortCode;
    FreeTargetEntry(psEntry);
    DecPortTotalCommands(bPort);
}

uint8_t bFibreSendStatus(KERNEL_ENTRY* psEntry, uint8_t bCode, uint8_t bAsc, uint8_t bAscq) {
    if (HasFlag(psEntry, KE_FLAG_NO_STATUS)) return STATUS_OK;
    if (HasFlag(psEntry, KE_FLAG_ABORTED)) {
        FinishAborted(psEntry);
        return STATUS_OK;
    }
    if (IsStaleAfterLip(psEntry)) {
        FinishStale(psEntry);
        return STATUS_OK;
    }
    const FIBRE_EXCHANGE sEx = sExchangeOf(psEntry);
    // A piece whose GOOD rides with its data phase still has its data to
    // take: it is released once that is in, not here.
    const bool fReleaseWithStatus = IsStreamPiece(psEntry) && HasFlag(psEntry, KE_FLAG_STATUS_SENT) &&
                                    !HasFlag(psEntry, KE_FLAG_STATUS_WITH_DATA);
    const uint32_t dHandle = fReleaseWithStatus ? CTIO_HANDLE_NOTHING : dHandleOf(psEntry);
    uint8_t abEntry[CTIO_ENTRY_BYTES];
    uint8_t abSense[SENSE_FIXED_LENGTH];
    if (HasFlag(psEntry, KE_FLAG_STATUS_WITH_DATA)) {
        BuildStatusEntry(sEx, dHandle, bCode, nullptr, 0, 0, abEntry);
    } else {
        uint16_t wStatusWord = bCode;
        uint16_t wSenseLength = 0;
        if (bCode != SCSI_STATUS_GOOD && bCode != SCSI_STATUS_BUSY && bCode != SCSI_STATUS_RESERVATION_CONFLICT &&
            bCode != SCSI_STATUS_TASK_SET_FULL) {
            BuildFixedSense(abSense, bCode, bAsc, bAscq);
            AddSenseDetails(psEntry, abSense);
            wStatusWord = SCSI_STATUS_CHECK_CONDITION | FCP_SENSE_VALID;
            wSenseLength = FIBRE_SENSE_LENGTH;
        }
        // No data moved: whatever the initiator expected is residual.  A
        // write that moved less or more than FCP_DL says so with its GOOD.
        uint32_t dResidual = 0;
        const HOST_COMMAND_FIELDS* psFields = pHostFields(psEntry);
        if (sEx.dExpected != 0 && bCode != SCSI_STATUS_GOOD) {
            dResidual = sEx.dExpected;
            wStatusWord |= FCP_RESIDUAL_UNDERRUN;
        } else if (bCode == SCSI_STATUS_GOOD && psFields->wWriteResidualFlag != 0) {
            dResidual = psFields->dWriteResidual;
            wStatusWord |= psFields->wWriteResidualFlag;
        }
        BuildStatusEntry(sEx, dHandle, wStatusWord, abSense, wSenseLength, dResidual, abEntry);
    }
    // A write-back write goes on to the drives after its GOOD: there the
    // two counters are its stream's pieces arrived and expected, which its
    // head must keep counting or it would issue before its pieces' data.
    if (!(bCode == SCSI_STATUS_GOOD && HasFlag(psEntry, KE_FLAG_WRITE_BACK))) {
        psEntry->wChildrenOutstanding = 0;
        psEntry->wTotalChildren = 0;
        pHostFields(psEntry)->fCompletionCode = FALSE;
    }
    const uint8_t bResult = bPostRequestQueueEntries(psEntry->bPortCode, 1, abEntry);
    if (fReleaseWithStatus) ReleaseAnsweredPiece(psEntry);
    return bResult;
}

uint8_t bOtherPortSendStatus(KERNEL_ENTRY* psEntry, uint8_t bCode, uint8_t bAsc, uint8_t bAscq) {
    uint8_t bStatus = SCSI_STATUS_CHECK_CONDITION;
    uint8_t bKey = bCode;
    if (bCode == SCSI_STATUS_GOOD || bCode == SCSI_STATUS_RESERVATION_CONFLICT || bCode == SCSI_STATUS_BUSY ||
        bCode == SCSI_STATUS_TASK_SET_FULL) {
        bStatus = bCode;
        bKey = SENSE_NO_SENSE;
        bAsc = 0;
        bAscq = 0;
    }
    switch (psEntry->bPortCode) {
    case PORT_CODE_SAS_HOST_1:
    case PORT_CODE_SAS_HOST_2: return SendSASScsiStatus(psEntry, bStatus, bKey, bAsc, bAscq);
    case PORT_CODE_FC_TABLE_1:
    case PORT_CODE_FC_TABLE_2: return bHostPortSendStatus(psEntry, 0, bStatus, bKey, bAsc, bAscq);
    case PORT_CODE_INTERNAL:
    case PORT_CODE_MODULE: return bInternalSendStatus(psEntry, bStatus, bKey, bAsc, bAscq);
    default: return STATUS_OK;
    }
}

void TraceStatus(const KERNEL_ENTRY* psEntry, uint8_t bCode, uint8_t bAsc, uint8_t bAscq) {
    const bool fTimeTrace = fGetTargetCommandTimeTrace() == TRUE;
    if (!fTimeTrace && fGetTargetCommandTrace() != TRUE) return;
    if (fTimeTrace) PrintCommandTraceLine(psEntry);
    if (bCode == SCSI_STATUS_GOOD) return;
    if (fIsFibreHostCommand(psEntry) == TRUE) ConsolePrintf("%04x ", wGetCommandInitiator(psEntry));
    switch (bCode) {
    case SCSI_STATUS_RESERVATION_CONFLICT: ConsolePrintf("Reservation Conflict\n"); break;
    case SCSI_STATUS_BUSY: ConsolePrintf("Busy\n"); break;
    case SCSI_STATUS_TASK_SET_FULL: ConsolePrintf("Task Set Full\n"); break;
    default: ConsolePrintf("Check Condition returned, %02x %02x %02x\n", bCode, bAsc, bAscq); break;
    }
}

// Where a pass's data lies in its command's transfer: a transfer longer than
// one pass of the cache moves in several, each naming its place, or every
// pass would take (or give) the transfer's first bytes.
uint32_t dPassOffset(const KERNEL_ENTRY* psEntry) { return static_cast<uint32_t>(psEntry->wBlocksDone) * BLOCK_BYTES; }

uint8_t bFibreDataIn(KERNEL_ENTRY* psEntry, const TRANSFER_SEGMENT* psSegments, uint8_t bSegments, uint32_t dTotal,
                     bool fSendStatus) {
    const FIBRE_EXCHANGE sEx = sExchangeOf(psEntry);
    const bool fRead16 = pGetCommandCdb(psEntry)[0] == SCSI_READ16;
    // A READ(16) moves its data in passes, each at its place in the transfer.
    const uint32_t dOffset = fRead16 ? static_cast<uint32_t>(psEntry->wBlocksDone) * BLOCK_BYTES : 0;
    const uint32_t dAllowed = sEx.dExpected > dOffset ? sEx.dExpected - dOffset : 0;
    // The residual is the whole command's, not this pass's.
    const uint32_t dWhole =
        fRead16 ? std::max(static_cast<uint32_t>(psEntry->wBlockCount) * BLOCK_BYTES, dOffset + dTotal) : dTotal;
    uint16_t wResidualFlag = 0;
    uint32_t dResidual = 0;
    uint32_t dSend = dTotal;
    if (dTotal > dAllowed) {
        wResidualFlag = FCP_RESIDUAL_OVERRUN;
        dResidual = dWhole - sEx.dExpected;
        dSend = dAllowed;
        // The host takes nothing past this pass: the command ends with it.
        // A later pass would move no data, and with no status either it
        // would leave nothing for the chip to complete and the command
        // unanswered for good.
        if (fRead16 && HasFlag(psEntry, KE_FLAG_MORE_PASSES)) {
            ClearFlag(psEntry, KE_FLAG_MORE_PASSES);
            fSendStatus = true;
        }
    } else if (!fRead16 && dTotal < sEx.dExpected) {
        // A READ(16) reports no underrun, in any pass.
        wResidualFlag = FCP_RESIDUAL_UNDERRUN;
        dResidual = sEx.dExpected - dTotal;
    }
    const uint16_t wStatusWord = static_cast<uint16_t>(SCSI_STATUS_GOOD | wResidualFlag);
    // ISP24xx: a residual needs the status in an entry of its own.
    const bool fSeparateStatus = fSendStatus && (fIsQL24xx() == TRUE && wResidualFlag != 0);

    TRANSFER_SEGMENT asPiece[MAX_TRANSFER_SEGMENTS];
    uint8_t bPieces = 0;
    for (uint8_t b = 0; b < bSegments && dSend != 0; b++) {
        const uint32_t dLength = psSegments[b].dLength < dSend ? psSegments[b].dLength : dSend;
        if (dLength == 0) continue;
        asPiece[bPieces++] = {psSegments[b].dAddress, dLength};
        dSend -= dLength;
    }
    CTIO_BATCH sBatch;
    sBatch.bCount = 0;
    uint32_t dPieceOffset = dOffset;
    for (uint8_t b = 0; b < bPieces; b++) {
        const bool fLast = b + 1 == bPieces;
        const bool fStatusHere = fLast && fSendStatus && !fSeparateStatus;
        const uint32_t dHandle = fLast && !fSeparateStatus ? dHandleOf(psEntry) : CTIO_HANDLE_NOTHING;
        BuildDataEntry(sEx, dHandle, true, fStatusHere, wStatusWord, fStatusHere ? dResidual : 0, dPieceOffset,
                       asPiece[b], sBatch.aabEntry[sBatch.bCount++]);
        dPieceOffset += asPiece[b].dLength;
    }
    if (fSendStatus && (fSeparateStatus || bPieces == 0)) {
        BuildStatusEntry(sEx, dHandleOf(psEntry), wStatusWord, nullptr, 0, dResidual, sBatch.aabEntry[sBatch.bCount++]);
    }
    return bPostBatch(psEntry, sBatch, fRead16, true);
}

void FibreDataOut(KERNEL_ENTRY* psEntry, const TRANSFER_SEGMENT* psSegments, uint8_t bSegments) {
    const FIBRE_EXCHANGE sEx = sExchangeOf(psEntry);
    CTIO_BATCH sBatch;
    sBatch.bCount = 0;
    uint8_t bLast = 0;
    for (uint8_t b = 0; b < bSegments; b++) {
        if (psSegments[b].dLength != 0) bLast = b;
    }
    // A WRITE(16), and a compare's READ(16), take their data in passes,
    // each from its place in the transfer.
    const bool fWrite16 = pGetCommandCdb(psEntry)[0] == SCSI_WRITE16;
    uint32_t dOffset = fWrite16 || fIsVerifyCompare(psEntry) == TRUE ? dPassOffset(psEntry) : 0;
    for (uint8_t b = 0; b < bSegments; b++) {
        if (psSegments[b].dLength == 0) continue;
        const uint32_t dHandle = b == bLast ? dHandleOf(psEntry) : CTIO_HANDLE_NOTHING;
        BuildDataEntry(sEx, dHandle, false, false, 0, 0, dOffset, psSegments[b], sBatch.aabEntry[sBatch.bCount++]);
        dOffset += psSegments[b].dLength;
    }
    (void)bPostBatch(psEntry, sBatch, fWrite16, false);
}

uint32_t dSegmentAddress(const TRANSFER_SEGMENT* psSegments, uint8_t bSegments, uint8_t b) {
    return b < bSegments ? psSegments[b].dAddress : 0;
}
uint32_t dSegmentLength(const TRANSFER_SEGMENT* psSegments, uint8_t bSegments, uint8_t b) {
    return b < bSegments ? psSegments[b].dLength : 0;
}

void TraceTransfer(KERNEL_ENTRY* psEntry) {
    RecordTarCmdTrace(psEntry);
    if (fGetTargetCommandTimeTrace() == TRUE) PrintCommandTraceLine(psEntry);
}

}  // namespace

void SetSenseInformation(KERNEL_ENTRY* psEntry, uint32_t dInformation) {
    HOST_COMMAND_FIELDS* ps = pHostFields(psEntry);
    ps->dSenseInformation = dInformation;
    ps->bSenseDetails |= SENSE_DETAIL_INFORMATION;
}

void SetSenseCdbField(KERNEL_ENTRY* psEntry, uint16_t wByte, uint8_t bBit) {
    HOST_COMMAND_FIELDS* ps = pHostFields(psEntry);
    // SKSV, C/D (the field is in the CDB), BPV and the bit; then the byte.
    ps->abSenseSpecific[0] = static_cast<uint8_t>(0x80 | 0x40 | 0x08 | (bBit & 0x07));
    ps->abSenseSpecific[1] = static_cast<uint8_t>(wByte >> 8);
    ps->abSenseSpecific[2] = static_cast<uint8_t>(wByte);
    ps->bSenseDetails |= SENSE_DETAIL_KEY_SPECIFIC;
}

uint8_t SendScsiStatus(KERNEL_ENTRY* psEntry, uint8_t bCode, uint8_t bAsc, uint8_t bAscq) {
    if (HasFlag(psEntry, KE_FLAG_TQM_COUNTED)) TqmCommandDone(psEntry);
    RecordTarCmdTrace(psEntry);
    TraceStatus(psEntry, bCode, bAsc, bAscq);
    const bool fRecordTime = bCode != SCSI_STATUS_BUSY && bCode != SCSI_STATUS_TASK_SET_FULL;
    // The service time is taken before a stream piece is released with its status.
    if (fRecordTime) RecordHostCommandTime(psEntry);
    if (fIsFibreHostCommand(psEntry) != TRUE) return bOtherPortSendStatus(psEntry, bCode, bAsc, bAscq);
    return bFibreSendStatus(psEntry, bCode, bAsc, bAscq);
}

uint8_t StartDataInTransfer(KERNEL_ENTRY* psEntry, const TRANSFER_SEGMENT* psSegments, uint8_t bSegments,
                            uint8_t fSendStatus) {
    if (HasFlag(psEntry, KE_FLAG_ABORTED)) {
        FinishAborted(psEntry);
        return STATUS_OK;
    }
    if (bSegments > MAX_TRANSFER_SEGMENTS) bSegments = MAX_TRANSFER_SEGMENTS;
    uint32_t dTotal = 0;
    for (uint8_t b = 0; b < bSegments; b++) dTotal += psSegments[b].dLength;
    pHostFields(psEntry)->dDataInBytes = dTotal;
    const uint32_t dA1 = dSegmentAddress(psSegments, bSegments, 0);
    const uint32_t dL1 = dSegmentLength(psSegments, bSegments, 0);
    const uint32_t dA2 = dSegmentAddress(psSegments, bSegments, 1);
    const uint32_t dL2 = dSegmentLength(psSegments, bSegments, 1);
    uint8_t bResult = STATUS_OK;
    switch (psEntry->bPortCode) {
    case PORT_CODE_FC_HOST_1:
    case PORT_CODE_FC_HOST_2: bResult = bFibreDataIn(psEntry, psSegments, bSegments, dTotal, fSendStatus == TRUE); break;
    case PORT_CODE_SAS_HOST_1:
    case PORT_CODE_SAS_HOST_2:
        bResult = StartSASDataInTransfer(psEntry, dPassOffset(psEntry), dA1, dL1, dA2, dL2, fSendStatus, SCSI_STATUS_GOOD,
                                         0, 0, 0);
        break;
    case PORT_CODE_FC_TABLE_1:
    case PORT_CODE_FC_TABLE_2:
        bResult = HostPortDataInAssist(psEntry, dPassOffset(psEntry), dA1, dL1, dA2, dL2, 0, fSendStatus,
                                       SCSI_STATUS_GOOD, 0, 0, 0);
        break;
    case PORT_CODE_INTERNAL:
    case PORT_CODE_MODULE: bResult = bInternalDataIn(psEntry, fSendStatus); break;
    default: break;
    }
    TraceTransfer(psEntry);
    return bResult;
}

void StartDataOutTransfer(KERNEL_ENTRY* psEntry, const TRANSFER_SEGMENT* psSegments, uint8_t bSegments) {
    if (bSegments > MAX_TRANSFER_SEGMENTS) bSegments = MAX_TRANSFER_SEGMENTS;
    if (fIsFibreHostCommand(psEntry) == TRUE && IsStaleAfterLip(psEntry)) {
        FinishStale(psEntry);
        return;
    }
    psEntry->bPrimaryState = HOST_STATE_DATA_OUT;
    const uint32_t dA1 = dSegmentAddress(psSegments, bSegments, 0);
    const uint32_t dL1 = dSegmentLength(psSegments, bSegments, 0);
    const uint32_t dA2 = dSegmentAddress(psSegments, bSegments, 1);
    const uint32_t dL2 = dSegmentLength(psSegments, bSegments, 1);
    switch (psEntry->bPortCode) {
    case PORT_CODE_FC_HOST_1:
    case PORT_CODE_FC_HOST_2: FibreDataOut(psEntry, psSegments, bSegments); break;
    case PORT_CODE_SAS_HOST_1:
    case PORT_CODE_SAS_HOST_2: StartSASDataOutTransfer(psEntry, dPassOffset(psEntry), dA1, dA2, dL1, dL2); break;
    case PORT_CODE_FC_TABLE_1:
    case PORT_CODE_FC_TABLE_2: HostPortDataOutAssist(psEntry, dPassOffset(psEntry), dA1, dL1, dA2, dL2); break;
    case PORT_CODE_INTERNAL:
    case PORT_CODE_MODULE: InternalDataOut(psEntry); break;
    default: break;
    }
}

uint8_t fFinishIfLoopReset(KERNEL_ENTRY* psEntry) {
    if (fIsFibreHostCommand(psEntry) != TRUE || !IsStaleAfterLip(psEntry)) return FALSE;
    FinishStale(psEntry);
    return TRUE;
}

uint32_t dFitFibreWriteToExpectedLength(KERNEL_ENTRY* psEntry, uint32_t dBlockFactor) {
    const uint32_t dBlockBytes = dBlockFactor * BLOCK_BYTES;
    uint8_t* pbCdb = pGetCommandCdb(psEntry);
    HOST_COMMAND_FIELDS* psFields = pHostFields(psEntry);
    const uint32_t dBlocks = dGetBe32(pbCdb + 10);
    const uint64_t lAsked = static_cast<uint64_t>(dBlocks) * dBlockBytes;
    const uint32_t dExpected = dGetCommandExpectedLength(psEntry);
    psFields->wWriteResidualFlag = 0;
    if (lAsked > dExpected) {
        psFields->wWriteResidualFlag = FCP_RESIDUAL_OVERRUN;
        psFields->dWriteResidual = static_cast<uint32_t>(lAsked - dExpected);
        const uint32_t dFits = dExpected / dBlockBytes;
        PutBe32(pbCdb + 10, dFits);
        return dFits;
    }
    if (lAsked < dExpected) {
        psFields->wWriteResidualFlag = FCP_RESIDUAL_UNDERRUN;
        psFields->dWriteResidual = static_cast<uint32_t>(dExpected - lAsked);
    }
    return dBlocks;
}

uint8_t ConvertAtio7Command(KERNEL_ENTRY* psEntry) {
    ATIO7_ENTRY sAtio;
    std::memcpy(&sAtio, pGetAtioCopy(psEntry), sizeof(sAtio));
    HOST_COMMAND_FIELDS* psFields = pHostFields(psEntry);
    // The chip takes commands only from logged-in ports, so a sender the
    // handle map does not know is a login the driver has not learnt (or has
    // lost).  Its command is still answered, BUSY, through the exchange and
    // the sender's port id: the host sends it again, and a command dropped
    // without an answer would hang it until its own time-out.
    bool fUnknownSender = false;
    if (psFields->wInitiatorHandle == NO_INITIATOR_HANDLE) {
        HostPoolLock sLock;
        const uint32_t dPortId = dGetBe24(sAtio.abSourceId);
        uint16_t wHandle = NO_INITIATOR_HANDLE;
        fUnknownSender = bLookupHandleByPortId(psEntry->bPortCode, dPortId, &wHandle) != STATUS_OK;
        psFields->dSourceId = dPortId;
        psFields->wInitiatorHandle = wHandle;
    }
    ATIO2_ENTRY sHead;
    std::memset(&sHead, 0, sizeof(sHead));
    sHead.bEntryType = ATIO2_ENTRY_TYPE;
    sHead.bEntryCount = sAtio.bEntryCount;
    sHead.bSystemDefined = reinterpret_cast<const uint8_t*>(psEntry)[2];   // the IOCB tag stays
    sHead.wInitiator = psFields->wInitiatorHandle;
    sHead.wRxId = wGetBe16(sAtio.abRxId);
    sHead.wStatus = ATIO2_STATUS_COMMAND_RECEIVED;
    sHead.bCommandReference = sAtio.bCommandReference;
    sHead.bTaskAttribute = sAtio.bTaskAttribute & FCP_TASK_ATTRIBUTE_MASK;
    sHead.bTaskManagement = sAtio.bTaskManagement;
    sHead.bDataDirection = sAtio.bDataDirection & (FCP_READ_DATA | FCP_WRITE_DATA);
    std::memcpy(sHead.abCdb, sAtio.abCdb, sizeof(sHead.abCdb));
    sHead.dDataLength = dGetBe32(sAtio.abDataLength);
    sHead.wLun = wGetBe16(sAtio.abFcpLun);
    sHead.wOxId = wGetBe16(sAtio.abOxId);
    std::memcpy(psEntry, &sHead, sizeof(sHead));
    if (sAtio.dExchangeAddress == ATIO7_NO_EXCHANGE || fUnknownSender) {
        psEntry->bPrimaryState = HOST_STATE_STATUS;
        (void)SendScsiStatus(psEntry, fUnknownSender ? SCSI_STATUS_BUSY : SCSI_STATUS_TASK_SET_FULL, 0, 0);
        DecPortNewCommands(psEntry->bPortCode);
        return STATUS_RETRY;
    }
    return STATUS_OK;
}

}  // namespace fw
