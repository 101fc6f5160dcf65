#include "sas/sas_scsi_path.h"

#include <cstring>

#include "eventlog/event_log.h"
#include "eventlog/time_logs.h"
#include "executive/console_output.h"
#include "executive/held_work.h"
#include "executive/kernel_queue.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/addresses.h"
#include "hw/ata.h"
#include "hw/hw.h"
#include "hw/mpi.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "raid/drive_error_recovery.h"
#include "sas/aa_mux.h"
#include "sas/command_timeouts.h"
#include "sas/drive_ioc_bringup.h"
#include "sas/mpi_interface.h"
#include "sas/partner_traffic.h"
#include "sas/request_frames.h"
#include "sas/sas_device_list.h"
#include "sas/sas_discovery.h"
#include "sas/sas_drive.h"
#include "sas/sas_flags.h"

namespace fw {

namespace {

// The waited command's shared state.
KERNEL_ENTRY s_sWaitEntry;
volatile uint8_t s_fSCSIWaitPending = FALSE;
uint8_t s_abWaitReply[64];
uint16_t s_wWaitRequest = LSI_NO_HANDLE;
uint32_t s_dOversizedRefusals = 0;
volatile uint8_t s_fATAWaitPending = FALSE;
uint16_t s_wATAWaitRequest = LSI_NO_HANDLE;
uint8_t s_abATAReply[64];
uint8_t s_fSATAWriteCache = FALSE;
BUFFER_HANDLE s_dIdentifyPage = NULL_BUFFER_HANDLE;

constexpr uint32_t WAIT_BOUND_MS = 5000;
constexpr uint32_t TASK_MANAGEMENT_TIMEOUT_MS = 10000;
constexpr uint8_t FRAME_ELEMENTS = 5;        // simple elements the frame itself holds
constexpr uint8_t CHAIN_SEGMENT_ELEMENTS = 11;
constexpr uint32_t CHAIN_SEGMENT_BYTES = 96;
constexpr uint8_t SEGMENTS_PER_CONTINUATION = 7;
constexpr uint8_t EVENT_DRIVE_CHECK_CONDITION = 39;
constexpr uint8_t EVENT_DRIVE_SENSE = 170;
constexpr uint8_t TRANSLATED = 0;
// A vendor command the proxy targets answer themselves.
constexpr uint8_t OPCODE_PROXY_COMMAND = 0x20;
// The partner's opcode for a drive command it issues on this one's behalf.
constexpr uint8_t PARTNER_FORWARDED_OPCODE = 0x06;
uint8_t s_fNoPartnerRouteSaid = FALSE;
constexpr int IDENTIFY_TRIES = 3;
constexpr uint8_t ATA_DIRECTION_READ = 1;
constexpr uint8_t ATA_DIRECTION_NONE = 2;

bool IsPartnerTarget(uint8_t bTarget) {
    return bTarget != 0xFF && (bTarget == bGetPartnerAlpaPath1() || bTarget == bGetPartnerAlpaPath2());
}

bool IsNative(const KERNEL_ENTRY* psEntry, uint8_t bTarget) {
    const uint8_t bOp = psEntry->abCdb[0];
    if (bOp == SCSI_READ10 || bOp == SCSI_WRITE10) return true;
    if (bOp == SCSI_TEST_UNIT_READY && (psEntry->bCommandType == 10 || fIsInitializationComplete() != TRUE)) return true;
    if (bOp == SCSI_RECEIVE_DIAGNOSTIC || bOp == SCSI_REQUEST_SENSE || bOp == SCSI_SEND_DIAGNOSTIC ||
        bOp == SCSI_VERIFY10 || bOp == SCSI_WRITE_LONG10 || bOp == SCSI_WRITE_BUFFER || bOp == SCSI_SYNCHRONIZE_CACHE10) {
        return true;
    }
    if (bOp == SCSI_START_STOP_UNIT && (psEntry->abCdb[4] & 1) && (psEntry->bCommandType == 0x7A || s_fSCSIWaitPending == TRUE)) {
        return true;
    }
    if (dGetSASTargetFlags(bTarget) & SAS_TARGET_FLAG_NATIVE) return true;
    // A SAS drive has nothing to translate, whatever its flag word says:
    // answered here, its command would end GOOD without reaching it.
    if (const SAS_DEVICE_ENTRY* ps = psGetSASDeviceOfTarget(bTarget); ps != nullptr && ps->fValid == TRUE && ps->fSAS == TRUE) {
        return true;
    }
    // The partner's IOC takes every command as sent: nothing of it is a
    // SATA drive to answer for.
    if (IsPartnerTarget(bTarget)) return true;
    return bTarget >= SAS_PROXY_TARGET_BIT && bOp == OPCODE_PROXY_COMMAND;
}

uint32_t TimeoutMs(const KERNEL_ENTRY* psEntry, uint8_t bTarget) {
    uint32_t d = (dGetSASTargetFlags(bTarget) & SAS_TARGET_FLAG_NATIVE) ? 15000
                 : bTarget < SAS_PROXY_TARGET_BIT                        ? 25000
                                                                         : 60000;
    if (psEntry->abCdb[0] == SCSI_SEND_DIAGNOSTIC || psEntry->abCdb[0] == SCSI_WRITE_BUFFER) d = psEntry->bCommandType == 211 ? 25000 : 200000;
    const uint16_t wOut = wGetSASTargetCommandCount(bTarget, TRUE);
    if (wOut > 8) d = d + 250u * wOut - 2000u;
    return d;
}

// Simple elements, chained through the request's chain buffer after
// elements 5, 16 and 27.
void BuildSgl(KERNEL_ENTRY* psEntry, MPI_SCSI_IO_REQUEST* psFrame, uint16_t wRequest) {
    const uint8_t bCount = static_cast<uint8_t>(psEntry->wSegmentCount);
    const uint32_t dDirection = (psEntry->wControlFlags & SAS_XFER_OUT) ? MPI_SGE_FLAG_HOST_TO_IOC : 0;
    psFrame->bChainOffset = bCount > FRAME_ELEMENTS + 1 ? MPI_SCSIIO_CHAIN_OFFSET_DWORDS : 0;
    if (bCount == 0 || psEntry->dTotalByteCount == 0) {
        psFrame->adSGL[0] = MPI_SGE_SIMPLE_READ;
        psFrame->adSGL[1] = 0xFFFFFFFF;
        return;
    }
    const LSI_SAS_DRIVE_ADAPTER* a = psGetLSIAdapter(LSI_IOC_DRIVE);
    const CPU_ADDRESS dChain = a->dChainBuffers + static_cast<uint32_t>(LSI_CHAIN_BUFFER_BYTES) * wRequest;
    uint32_t* pdOut = psFrame->adSGL;
    uint8_t bInSegment = 0;
    uint8_t bSegmentCapacity = bCount > FRAME_ELEMENTS + 1 ? FRAME_ELEMENTS : bCount;
    CPU_ADDRESS dNextChain = dChain;
    for (uint8_t i = 0; i < bCount; ++i) {
        const KERNEL_SEGMENT* ps = psEntrySegment(psEntry, i);
        uint32_t dFlags = MPI_SGE_FLAG_SIMPLE | dDirection;
        if (i + 1 == bCount) {
            dFlags |= MPI_SGE_SIMPLE_READ;
        } else if (bInSegment + 1 == bSegmentCapacity) {
            dFlags |= MPI_SGE_FLAG_LAST_ELEMENT;
        }
        pdOut[0] = dFlags | (ps->dByteCount & MPI_SGE_LENGTH_MASK);
        pdOut[1] = ps->dAddress;
        pdOut += 2;
        if (++bInSegment == bSegmentCapacity && i + 1 < bCount) {
            // Open the next chain segment.
            const uint8_t bLeft = static_cast<uint8_t>(bCount - i - 1);
            const bool fMore = bLeft > CHAIN_SEGMENT_ELEMENTS + 1;
            const uint32_t dLength = fMore ? CHAIN_SEGMENT_BYTES | MPI_SCSIIO_CHAIN_OFFSET_DWORDS << MPI_SGE_CHAIN_OFFSET_SHIFT
                                           : 8u * bLeft;
            pdOut[0] = MPI_SGE_FLAG_CHAIN | dLength;
            pdOut[1] = static_cast<uint32_t>(dCpuAddressToPciAddress(dNextChain));
            pdOut = static_cast<uint32_t*>(pCpuAddressToPointer(dNextChain));
            dNextChain = dNextChain + CHAIN_SEGMENT_BYTES;
            bInSegment = 0;
            bSegmentCapacity = fMore ? CHAIN_SEGMENT_ELEMENTS : bLeft;
        }
    }
}

void SetSense(KERNEL_ENTRY* psEntry, uint8_t bKey, uint8_t bAsc, uint8_t bAscq) {
    SAS_ENTRY_FIELDS* ps = psSasFields(psEntry);
    ps->bSenseKey = bKey;
    ps->bAsc = bAsc;
    ps->bAscq = bAscq;
    ps->bScsiStatus = SCSI_STATUS_CHECK_CONDITION;
    static_assert(sizeof ps->abSense == SENSE_FIXED_LENGTH);
    BuildFixedSense(ps->abSense, bKey, bAsc, bAscq);
    psEntry->lFlags |= KE_FLAG_SENSE_PRESENT;
}

// A command the drive side answers itself goes straight to the completion
// ring (or, for the waited command, ends the wait).
void CompleteAtOnce(KERNEL_ENTRY* psEntry) {
    if (psEntry == &s_sWaitEntry) {
        std::memset(s_abWaitReply, 0, sizeof s_abWaitReply);
        if (psEntry->lFlags & KE_FLAG_SENSE_PRESENT) {
            const SAS_ENTRY_FIELDS* ps = psSasFields(psEntry);
            s_abWaitReply[12] = SCSI_STATUS_CHECK_CONDITION;
            s_abWaitReply[13] = MPI_SCSI_STATE_AUTOSENSE_VALID;
            std::memcpy(s_abWaitReply + 32, ps->abSense, sizeof ps->abSense);
        }
        s_fSCSIWaitPending = FALSE;
        return;
    }
    if (psEntry->bCommandType == 10) psEntry->bSecondaryState = 184;
    CompleteSASEntry(psEntry);
}

uint8_t* FirstBuffer(KERNEL_ENTRY* psEntry, uint32_t dBytes) {
    if (psEntry->wSegmentCount == 0 || psEntry->asSegment[0].dByteCount < dBytes) return nullptr;
    return pAddressWordToPointer<uint8_t>(psEntry->asSegment[0].dAddress);
}

// The SCSI commands a SATA drive is answered for by the controller itself.
// Returns TRUE when a passthrough frame was built, else completes.
uint8_t bTranslateSCSIToATA(KERNEL_ENTRY* psEntry, const SAS_DEVICE_ENTRY* psDevice) {
    // A drive no longer listed answers nothing here: the command fails, as it
    // would at a drive that is gone, instead of coming back GOOD unsent.
    if (!psDevice || psDevice->fValid != TRUE) {
        SetSense(psEntry, SENSE_ILLEGAL_REQUEST, ASC_LUN_NOT_SUPPORTED, 0);
        return TRANSLATED;
    }
    const uint8_t bOp = psEntry->abCdb[0];
    switch (bOp) {
    case SCSI_TEST_UNIT_READY:
    case SCSI_VERIFY10:
    case SCSI_MODE_SELECT6:
        return TRANSLATED;
    case SCSI_START_STOP_UNIT:
        if (psEntry->abCdb[4] & 1) return TRANSLATED;
        break;
    case SCSI_MODE_SENSE6: {
        // No mode pages of its own: a header that says so, never stale bytes.
        uint8_t* pb = FirstBuffer(psEntry, 4);
        if (pb) {
            std::memset(pb, 0, psEntry->asSegment[0].dByteCount);
            pb[0] = 3;
        }
        return TRANSLATED;
    }
    case SCSI_INQUIRY: {
        uint8_t* pb = FirstBuffer(psEntry, 44);
        if (!pb) {
            SetSense(psEntry, SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB, 0);
            return TRANSLATED;
        }
        std::memset(pb, 0, psEntry->asSegment[0].dByteCount);
        pb[2] = 5;   // standard INQUIRY header: disk, SPC-3, 36 further bytes
        pb[3] = 2;
        pb[4] = 39;
        std::memset(pb + 8, ' ', 36);
        std::memcpy(pb + 16, psDevice->acModel, 16);
        std::memcpy(pb + 8, psDevice->acModel, 8);
        uint8_t abRevision[4];
        if (bGetSATAFirmwareRevisionOfTarget(psDevice->bTargetId, abRevision) == STATUS_OK) std::memcpy(pb + 32, abRevision, 4);
        std::memcpy(pb + 36, psDevice->abWWN, 8);
        return TRANSLATED;
    }
    case SCSI_READ_CAPACITY10: {
        // The last block address, as a SAS drive answers; a drive too large
        // for ten bytes says so with all ones.
        uint8_t* pb = FirstBuffer(psEntry, READ_CAPACITY10_LENGTH);
        if (!pb) {
            SetSense(psEntry, SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB, 0);
            return TRANSLATED;
        }
        const uint64_t lLast = psDevice->lCapacity == 0 ? 0 : psDevice->lCapacity - 1;
        PutBe32(pb, lLast > 0xFFFFFFFEull ? 0xFFFFFFFF : static_cast<uint32_t>(lLast));
        PutBe32(pb + 4, 512);
        return TRANSLATED;
    }
    default:
        break;
    }
    if (bOp != SCSI_START_STOP_UNIT && bOp != SCSI_LOG_SENSE && bOp != OPCODE_PROXY_COMMAND) {
        SetSense(psEntry, SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB, 0);
        return TRANSLATED;
    }
    return TRUE;
}

// A SATA passthrough frame on a freshly allocated (zeroed) request frame:
// one register FIS from the task file and one simple element, given as its
// flags-and-length word and its address.
void BuildSataPassthrough(uint8_t* pbFrame, uint8_t bTarget, uint32_t dContext, uint16_t wFlags, uint32_t dLength,
                          const ATA_TASK_FILE& sTask, uint32_t dSgeFlagsLength, uint32_t dSgeAddress) {
    pbFrame[0] = bTarget;
    pbFrame[3] = MPI_FUNCTION_SATA_PASSTHROUGH;
    std::memcpy(pbFrame + 4, &wFlags, 2);
    pbFrame[6] = 8;  // connection rate
    std::memcpy(pbFrame + 8, &dContext, 4);
    std::memcpy(pbFrame + 16, &dLength, 4);
    uint8_t* pbFis = pbFrame + 20;
    pbFis[0] = 0x27;
    pbFis[1] = 0x80;
    pbFis[2] = sTask.bCommand;
    pbFis[3] = sTask.bFeatures;
    pbFis[4] = sTask.abLba[0];
    pbFis[5] = sTask.abLba[1];
    pbFis[6] = sTask.abLba[2];
    pbFis[7] = sTask.bDevice;
    pbFis[8] = sTask.abLba[3];
    pbFis[9] = sTask.abLba[4];
    pbFis[10] = sTask.abLba[5];
    pbFis[11] = sTask.bFeaturesExp;
    pbFis[12] = sTask.bCount;
    pbFis[13] = sTask.bCountExp;
    pbFis[15] = sTask.bControl;
    const uint32_t adSge[2] = {dSgeFlagsLength, dSgeAddress};
    std::memcpy(pbFrame + 40, adSge, sizeof adSge);
}

void BuildAtaFrame(KERNEL_ENTRY* psEntry, uint8_t* pbFrame) {
    const uint8_t bOp = psEntry->abCdb[0];
    uint16_t wFlags = (psEntry->wControlFlags & SAS_XFER_IN) ? 0x0001 : (psEntry->wControlFlags & SAS_XFER_OUT) ? 0x0002 : 0;
    ATA_TASK_FILE sTask{};
    if (bOp == SCSI_START_STOP_UNIT) {
        sTask.bCommand = ATA_STANDBY_IMMEDIATE;
        sTask.bDevice = ATA_DEVICE_LBA;
        sTask.bControl = 0x40;
    } else if (bOp == SCSI_LOG_SENSE) {
        sTask.bCommand = ATA_READ_LOG_EXT;
        sTask.abLba[0] = ATA_LOG_EXTENDED_ERROR;
        sTask.bCount = 1;
        wFlags |= 0x0010;
    } else {
        sTask.bCommand = ATA_SMART;
        sTask.bFeatures = ATA_SMART_RETURN_STATUS;
        sTask.abLba[1] = ATA_SMART_LBA_MID;
        sTask.abLba[2] = ATA_SMART_LBA_HIGH;
    }
    const uint32_t dSge = (psEntry->wControlFlags & SAS_XFER_OUT ? MPI_SGE_SIMPLE_WRITE : MPI_SGE_SIMPLE_READ) |
                          (psEntry->dTotalByteCount & MPI_SGE_LENGTH_MASK);
    const uint32_t dAddress =
        psEntry->dTotalByteCount != 0 && psEntry->wSegmentCount != 0 ? psEntry->asSegment[0].dAddress : 0xFFFFFFFF;
    BuildSataPassthrough(pbFrame, static_cast<uint8_t>(psEntry->wTargetId), psEntry->wIndex, wFlags,
                         psEntry->dTotalByteCount, sTask, dSge, dAddress);
}

// fRingHead: the entry is the head of the new-command ring, where the
// commands a departed device left queued wait in the order they came.
uint8_t SendLocked(KERNEL_ENTRY* psEntry, bool fRingHead) {
    const uint8_t bTarget = static_cast<uint8_t>(psEntry->wTargetId);
    if (fIsSASTargetOutOfService(bTarget) == TRUE || fIsSASTargetGone(bTarget) == TRUE ||
        (fRingHead && fTakeSASQueuedCommandGone(bTarget) == TRUE)) {
        // Taken out for not answering, or gone from the list: what was
        // still queued for it, and anything sent to it since, fails here
        // rather than wait out another time-out (or a reset a gone drive
        // never answers).
        if (psEntry == &s_sWaitEntry) {
            SetSense(psEntry, SENSE_NOT_READY, ASC_NOT_READY, 0);
            CompleteAtOnce(psEntry);
        } else {
            DriveCommandErrorHandler(PORT_CODE_INITIATOR, DRIVE_STATUS_NO_STATUS, psEntry, nullptr, 0, FALSE, TRUE);
        }
        return SEND_POSTED;
    }
    const bool fNative = IsNative(psEntry, bTarget);
    const uint32_t dFlags = dGetSASTargetFlags(bTarget);
    if ((dFlags & SAS_TARGET_FLAGS_BLOCKED) ||
        ((dFlags & (SAS_TARGET_FLAG_HELD | SAS_TARGET_FLAG_ONE_AT_A_TIME)) && !(dFlags & SAS_TARGET_FLAG_OVERRIDE))) {
        return SEND_TARGET_BUSY;
    }
    const uint8_t bDepth = bCheckSASQueueDepth(bTarget, TRUE, psEntry->bCommandType);
    if (bDepth != STATUS_OK) return bDepth;
    const uint64_t lNow = lGetTickCount();
    if (lGetSASDriveSideHoldOff() > lNow) return SEND_TARGET_BUSY;
    if (lGetSASDeadline() > lNow) return SEND_IOC_BUSY;
    if ((dFlags & SAS_TARGET_FLAG_REFUSE) || lGetSASTargetHoldOff(bTarget) > lNow) return SEND_TARGET_BUSY;
    if (fIsInitializationComplete() == TRUE) {
        if (fGetSASTimedHoldFlag() == TRUE || fIsSASIOCRestartRequested() == TRUE) return SEND_IOC_BUSY;
        const uint8_t bState = bGetSASDiscoveryState();
        if (bState == SAS_DISC_RESTART_IOC || bState == SAS_DISC_WAIT_IOC || bState == SAS_DISC_RESTART) {
            return SEND_IOC_BUSY;
        }
    }
    // A request holds at most 39 elements; more would run past the chain
    // buffer, so such a command fails at once rather than corrupt memory.
    if (psEntry->wSegmentCount > SAS_MAX_SGL_ELEMENTS) {
        ++s_dOversizedRefusals;
        SetSense(psEntry, 5, 0x24, 0);
        CompleteAtOnce(psEntry);
        return SEND_POSTED;
    }
    const SAS_DEVICE_ENTRY* psDevice = psGetSASDeviceOfTarget(bTarget);
    if (!fNative) {
        psEntry->lFlags &= ~KE_FLAG_SENSE_PRESENT;
        const uint8_t b = bTranslateSCSIToATA(psEntry, psDevice);
        if (b != TRUE) {
            CompleteAtOnce(psEntry);
            return SEND_POSTED;
        }
    }
    // A proxy target is served by the partner: its command goes to the
    // partner's target on whichever path has one.
    uint8_t bRoute = bTarget;
    if (bTarget >= SAS_PROXY_TARGET_BIT) {
        bRoute = bGetPartnerAlpaPath1() != 0xFF ? bGetPartnerAlpaPath1() : bGetPartnerAlpaPath2();
        if (bRoute == 0xFF) {
            // Without a path the frame would go to no one: refused until one
            // is found (said once, not at every retry).
            if (s_fNoPartnerRouteSaid != TRUE) ConsolePrintf("SendSCSICommand: no target ID for other controller\n");
            s_fNoPartnerRouteSaid = TRUE;
            return SEND_IOC_BUSY;
        }
        s_fNoPartnerRouteSaid = FALSE;
        if (dGetSASTargetFlags(bRoute) & SAS_TARGET_FLAG_REFUSE) return SEND_IOC_BUSY;
        psSasFields(psEntry)->bPartnerTargetId = bRoute;
    }
    uint8_t* pbFrame = nullptr;
    uint16_t wRequest = LSI_NO_HANDLE;
    const uint8_t bAlloc = bAllocLSIRequestFrame(LSI_IOC_DRIVE, &pbFrame, &wRequest, FALSE);
    if (bAlloc != STATUS_OK) return bAlloc;
    const uint32_t dTimeout = TimeoutMs(psEntry, bTarget);
    if (fNative) {
        MPI_SCSI_IO_REQUEST* ps = reinterpret_cast<MPI_SCSI_IO_REQUEST*>(pbFrame);
        ps->bTargetId = bTarget;
        ps->bFunction = MPI_FUNCTION_SCSI_IO_REQUEST;
        ps->bCDBLength = psEntry->abCdb[0] == SCSI_VERIFY10 && bRoute == bTarget ? 10 : 16;
        ps->bSenseBufferLength = LSI_SENSE_BUFFER_BYTES;
        ps->dMsgContext = psEntry->wIndex;
        ps->dControl = (psEntry->wControlFlags & SAS_XFER_IN)    ? MPI_SCSIIO_CONTROL_READ
                       : (psEntry->wControlFlags & SAS_XFER_OUT) ? MPI_SCSIIO_CONTROL_WRITE
                                                                 : 0;
        if (psEntry->wControlFlags & SAS_XFER_ORDERED) ps->dControl |= MPI_SCSIIO_CONTROL_ORDERED;
        if (psEntry->wControlFlags & SAS_XFER_HEAD_OF_QUEUE) ps->dControl |= MPI_SCSIIO_CONTROL_HEAD_OF_QUEUE;
        std::memcpy(ps->abCDB, psEntry->abCdb, 16);
        if (bRoute != bTarget) {
            // The partner runs it as a forwarded drive command: the proxy id
            // in the LUN, the drive's CDB behind the forwarding opcode.
            ps->bTargetId = bRoute;
            ps->abCDB[0] = PARTNER_FORWARDED_OPCODE;
            std::memcpy(ps->abCDB + 1, psEntry->abCdb, 15);
            ps->abLun[0] = bTarget;
            ps->abLun[1] = 0;
        }
        if (bRoute != bTarget || IsPartnerTarget(bTarget)) {
            // The partner checks every command by the CRC of its CDB.
            uint32_t adCdb[4];
            std::memcpy(adCdb, ps->abCDB, sizeof adCdb);
            const uint32_t dCrc = dCalculateMessageCRC32(adCdb, 4);
            std::memcpy(ps->abLun + 4, &dCrc, 4);
        }
        ps->dDataLength = psEntry->dTotalByteCount;
        ps->dSenseBufferLowAddr = dPciAddressOf(pGetLSISenseBuffer(LSI_IOC_DRIVE, wRequest));
        BuildSgl(psEntry, ps, wRequest);
    } else {
        BuildAtaFrame(psEntry, pbFrame);
    }
    CountSASTargetCommandIssued(bTarget, TRUE, ToFlag(psEntry->bCommandType == 158));
    // Handed to the chip now: its service time counts from here.
    psEntry->lArrivalMs = lNow;
    const uint64_t q = qPostLSIRequest(LSI_IOC_DRIVE, pbFrame, wRequest, dTimeout, FALSE);
    psGetLSIAdapter(LSI_IOC_DRIVE)->asRequest[wRequest].bTargetId = bTarget;
    SAS_ENTRY_FIELDS* psFields = psSasFields(psEntry);
    psFields->lIocSequence = q >> 32;
    psFields->wRequestIndex = wRequest;
    if (psEntry == &s_sWaitEntry) s_wWaitRequest = wRequest;
    return SEND_POSTED;
}

}  // namespace

void CompleteSASEntry(KERNEL_ENTRY* psEntry) {
    RecordDriveCommandTime(psEntry);
    psEntry->bPrimaryState = PS_COMPLETED;
    (void)QueueKernelEntryComplete(PORT_CODE_INITIATOR, psEntry->wIndex);
}

void RepostSASEntry(KERNEL_ENTRY* psEntry) {
    // A good answer to the next try comes without a reply frame: nothing of
    // this one's failure may stay to be read as the next one's.
    psSasFields(psEntry)->bScsiStatus = SCSI_STATUS_GOOD;
    psEntry->lFlags &= ~KE_FLAG_SENSE_PRESENT;
    psEntry->bPrimaryState = PS_NEW_COMMAND;
    (void)QueueKernelEntry(PORT_CODE_INITIATOR, psEntry->wIndex);
    // It never left the count of the queue's commands.
    DecrementTotalCommands(PORT_CODE_INITIATOR);
}

SAS_ENTRY_FIELDS* psSasFields(KERNEL_ENTRY* psEntry) {
    return EntryArea<SAS_ENTRY_FIELDS, KE_AREA_DRIVE_OFFSET, KE_AREA_DRIVE_SIZE>(psEntry);
}

KERNEL_SEGMENT* psEntrySegment(KERNEL_ENTRY* psEntry, uint8_t bElement) {
    if (bElement < 3) return &psEntry->asSegment[bElement];
    const uint8_t bRest = static_cast<uint8_t>(bElement - 3);
    KERNEL_ENTRY* psNext = psEntry + 1 + bRest / SEGMENTS_PER_CONTINUATION;
    return reinterpret_cast<KERNEL_SEGMENT*>(reinterpret_cast<uint8_t*>(psNext) + 8) + bRest % SEGMENTS_PER_CONTINUATION;
}

// The head of the ring waits for its target: the background pass asks
// again once something has moved, not at every pass (each would ask for
// the next, and the main loop would never wait for the drives).
namespace {
HELD_WORK s_sHeldHead;
}  // namespace

uint8_t fIsDriveIocServiceRequested(uint8_t bIocId) {
    return ToFlag(bIocId == LSI_IOC_DRIVE && wGetNewCommandCount(PORT_CODE_INITIATOR) != 0 &&
                  fIsWorkStillHeld(&s_sHeldHead) != TRUE);
}

// Issues the new commands in ring order until the IOC or a target cannot
// take the next one; that one stays at the head for the next pass.
void DriveIocService(uint8_t bIocId) {
    if (bIocId != LSI_IOC_DRIVE) return;
    ClearWorkHeld(&s_sHeldHead);
    for (uint16_t wLeft = wGetNewCommandCount(PORT_CODE_INITIATOR); wLeft > 0; --wLeft) {
        KERNEL_ENTRY* ps = nullptr;
        // The IOC may answer at once (a target gone from the fabric): its
        // reply, and the repost that may follow, must find the entry off the
        // ring and at the chip, not be undone here afterwards.
        KernelPoolLock sLock;
        if (bPeekKernelEntry(PORT_CODE_INITIATOR, &ps) != STATUS_FOUND || ps == nullptr) return;
        if (SendLocked(ps, true) != SEND_POSTED) {
            NoteWorkHeld(&s_sHeldHead);
            return;
        }
        DequeueKernelEntry(PORT_CODE_INITIATOR);
        if (ps->bPrimaryState == PS_NEW_COMMAND) ps->bPrimaryState = PS_AT_CHIP;
    }
}

uint8_t SendSCSICommand(KERNEL_ENTRY* psEntry) {
    KernelPoolLock sLock;
    return SendLocked(psEntry, false);
}

namespace {

// One task management request from the reserve frames; the target takes
// no command until the IOC answers it.
uint8_t bPostTaskManagement(uint8_t bTarget, uint8_t bBus, uint8_t bTaskType, uint32_t dTaskContext,
                            uint32_t dMsgContext) {
    uint8_t* pbFrame = nullptr;
    uint16_t wRequest = LSI_NO_HANDLE;
    const uint8_t b = bAllocLSIRequestFrame(LSI_IOC_DRIVE, &pbFrame, &wRequest, TRUE);
    if (b != STATUS_OK) return b;
    auto* ps = reinterpret_cast<MPI_SCSI_TASK_MGMT_REQUEST*>(pbFrame);
    BuildLSITaskManagement(ps, bTarget, bTaskType, dTaskContext);
    ps->bBus = bBus;
    ps->dMsgContext = dMsgContext;
    // Refused and counted before the IOC has it: its answer, which may come
    // at once, lifts both, and must find them set.
    SetSASTargetFlagBits(bTarget, SAS_TARGET_FLAG_REFUSE);
    IncrementSASTaskManagementCount();
    (void)qPostLSIRequest(LSI_IOC_DRIVE, pbFrame, wRequest, TASK_MANAGEMENT_TIMEOUT_MS, FALSE);
    LSI_SAS_REQUEST_INFO& r = psGetLSIAdapter(LSI_IOC_DRIVE)->asRequest[wRequest];
    r.bTargetId = bTarget;
    r.bFlags |= LSI_REQUEST_TASK_MANAGEMENT;
    return STATUS_OK;
}

}  // namespace

uint8_t bSendSASTaskManagement(uint8_t bTarget, uint8_t bBus, uint8_t bTaskType, uint32_t dTaskContext) {
    return bPostTaskManagement(bTarget, bBus, bTaskType, dTaskContext, 0);
}

uint8_t fIsSASWaitedCommandPending() { return ToFlag(s_fSCSIWaitPending == TRUE || s_fATAWaitPending == TRUE); }

uint8_t bSendSASAbortTask(uint8_t bTarget, uint16_t wRequestIndex, uint16_t wEntryIndex) {
    return bPostTaskManagement(bTarget, 0, MPI_TASKTYPE_ABORT_TASK,
                               static_cast<uint32_t>(wRequestIndex) << 16 | wEntryIndex, wEntryIndex);
}

uint8_t fCompleteWaitedSCSICommand(uint16_t wRequestIndex, const uint8_t* pbReplyFrame) {
    if (s_fSCSIWaitPending != TRUE || wRequestIndex != s_wWaitRequest) return FALSE;
    // Counted when sent, so counted down when answered: otherwise every
    // waited command would hold a slot of the target's queue depth for good.
    CountSASTargetCommandDone(static_cast<uint8_t>(s_sWaitEntry.wTargetId), TRUE);
    if (pbReplyFrame) {
        std::memcpy(s_abWaitReply, pbReplyFrame, 32);
        // The sense data follow in the request's own sense buffer.
        const uint8_t* pbSense = pGetLSISenseBuffer(LSI_IOC_DRIVE, wRequestIndex);
        if (pbSense) std::memcpy(s_abWaitReply + 32, pbSense, 32);
    } else {
        std::memset(s_abWaitReply, 0, sizeof s_abWaitReply);
    }
    s_fSCSIWaitPending = FALSE;
    return TRUE;
}

uint8_t bSendSCSICommandAndWait(uint8_t bTarget, uint8_t, const uint8_t* pbCdb, uint8_t fDataIn, uint32_t dLength,
                                BUFFER_HANDLE dBuffer, uint8_t* pbScsiStatus, uint8_t* pbSenseKey, uint8_t* pbAsc,
                                uint8_t* pbAscq) {
    const uint64_t lStart = lGetTickCount();
    auto runOnce = [&](const uint8_t* pbThisCdb, uint32_t dThisLength) -> uint8_t {
        KERNEL_ENTRY& e = s_sWaitEntry;
        std::memset(&e, 0, sizeof e);
        e.wTargetId = bTarget;
        e.bPortCode = PORT_CODE_INITIATOR;
        e.wIndex = SAS_WAITED_ENTRY_INDEX;
        std::memcpy(e.abCdb, pbThisCdb, 10);
        e.dTotalByteCount = dThisLength;
        e.wControlFlags = SAS_XFER_SGL;
        if (dThisLength != 0) {
            e.wSegmentCount = 1;
            e.asSegment[0] = {static_cast<uint32_t>(dBufferHandleToPciAddress(dBuffer)), dThisLength};
            e.wControlFlags |= fDataIn == TRUE ? SAS_XFER_IN : SAS_XFER_OUT;
        }
        *pbScsiStatus = *pbSenseKey = *pbAsc = *pbAscq = 0;
        s_wWaitRequest = LSI_NO_HANDLE;
        s_fSCSIWaitPending = TRUE;
        uint8_t bLast = SEND_REFUSED;
        do {
            bLast = SendSCSICommand(&e);
            if (bLast == SEND_POSTED || bLast == SEND_REFUSED) break;
            HwPoll();
        } while (lGetTickCount() - lStart <= WAIT_BOUND_MS);
        if (bLast != SEND_POSTED) {
            s_fSCSIWaitPending = FALSE;
            return bLast == SEND_IOC_BUSY || bLast == SEND_TARGET_BUSY ? SEND_IOC_BUSY : 0;
        }
        while (s_fSCSIWaitPending == TRUE && lGetTickCount() - lStart <= WAIT_BOUND_MS) HwPoll();
        if (s_fSCSIWaitPending == TRUE) {
            // Late replies of an abandoned request only free its frame; the
            // abort makes the IOC give the request back even when the drive
            // never answers.
            KernelPoolLock sLock;
            if (s_wWaitRequest != LSI_NO_HANDLE) {
                OrLSIRequestFlags(LSI_IOC_DRIVE, s_wWaitRequest, LSI_REQUEST_ABORTED);
                (void)bSendSASAbortTask(bTarget, s_wWaitRequest, SAS_WAITED_ENTRY_INDEX);
                CountSASTargetCommandDone(bTarget, TRUE);
            }
            s_fSCSIWaitPending = FALSE;
            return 252;
        }
        return STATUS_OK;
    };

    // What the reply of one waited command says; TRUE in *pfGood when it
    // was plain success.
    auto evaluate = [&](const uint8_t* pbThisCdb, bool* pfGood) -> uint8_t {
        *pfGood = false;
        const uint8_t bStatus = s_abWaitReply[12];
        const uint8_t bState = s_abWaitReply[13];
        uint16_t wIocStatus;
        std::memcpy(&wIocStatus, s_abWaitReply + 14, 2);
        wIocStatus &= MPI_IOCSTATUS_MASK;
        const uint8_t bOp = pbThisCdb[0];
        if (bState & MPI_SCSI_STATE_AUTOSENSE_VALID) {
            const uint8_t* pbSense = s_abWaitReply + 32;
            *pbScsiStatus = bStatus;
            *pbSenseKey = pbSense[2] & 0x0F;
            *pbAsc = pbSense[12];
            *pbAscq = pbSense[13];
            if (bStatus == SCSI_STATUS_CHECK_CONDITION && bOp != SCSI_TEST_UNIT_READY && bOp != SCSI_READ_BUFFER) {
                uint8_t abWwn[8] = {};
                (void)bGetSASAddressOfTarget(abWwn, bTarget);
                PostEvent(EVENT_DRIVE_CHECK_CONDITION, abWwn[0], abWwn[1], abWwn[2], abWwn[3], abWwn[4], abWwn[5],
                          abWwn[6], abWwn[7], bGetDriveIndexOfTarget(bTarget), bStatus, bOp, *pbSenseKey, *pbAsc,
                          *pbAscq);
                PostEvent(EVENT_DRIVE_SENSE, pbSense[3], pbSense[4], pbSense[5], pbSense[6], pbSense[8], pbSense[9],
                          pbSense[10], pbSense[11], pbSense[14], pbSense[15], pbSense[16], pbSense[17]);
            }
            if (*pbSenseKey == 1 && bStatus == SCSI_STATUS_CHECK_CONDITION &&
                (bOp == SCSI_READ10 || bOp == SCSI_READ_CAPACITY10 || bOp == SCSI_START_STOP_UNIT ||
                 bOp == SCSI_TEST_UNIT_READY)) {
                *pbScsiStatus = 0;
            }
            return STATUS_OK;
        }
        if (bStatus != 0) {
            *pbScsiStatus = bStatus;
            if (bStatus == SCSI_STATUS_BUSY || bStatus == SCSI_STATUS_TASK_SET_FULL) SetSASTargetHoldOff(bTarget, lGetTickCount() + 500);
            return STATUS_OK;
        }
        if (wIocStatus != 0) return wIocStatus == MPI_IOCSTATUS_SCSI_DATA_UNDERRUN && bOp == SCSI_READ_BUFFER ? STATUS_OK : 0;
        *pfGood = true;
        return STATUS_OK;
    };

    uint8_t abCdb[10];
    std::memcpy(abCdb, pbCdb, 10);
    // A SATA drive with its write cache on gets FUA as a plain write and a
    // flush; the write is done only when the flush is.
    const SAS_DEVICE_ENTRY* psDevice = psGetSASDeviceOfTarget(bTarget);
    const bool fFua = abCdb[0] == SCSI_WRITE10 && (abCdb[1] & 0x08) && s_fSATAWriteCache == TRUE && psDevice &&
                      psDevice->fSAS == FALSE;
    if (fFua) abCdb[1] = 0;
    uint8_t b = runOnce(abCdb, dLength);
    if (b != STATUS_OK) return b;
    bool fGood = false;
    b = evaluate(abCdb, &fGood);
    if (!fGood || !fFua) return b;
    const uint8_t abSync[10] = {0x35};
    b = runOnce(abSync, 0);
    if (b != STATUS_OK) return b;
    return evaluate(abSync, &fGood);
}

uint8_t fCompleteWaitedATACommand(uint16_t wRequestIndex, const uint8_t* pbReplyFrame) {
    if (s_fATAWaitPending != TRUE || wRequestIndex != s_wATAWaitRequest) return FALSE;
    std::memcpy(s_abATAReply, pbReplyFrame, sizeof s_abATAReply);
    s_fATAWaitPending = FALSE;
    return TRUE;
}

uint8_t bSendATACommandAndWait(uint8_t bTarget, uint8_t, uint8_t fDma, const ATA_TASK_FILE* ps, uint8_t bDirection,
                               uint32_t dLength, BUFFER_HANDLE dBuffer, uint8_t fReturnStatus, uint8_t* pbStatusFis) {
    uint8_t* pbFrame = nullptr;
    uint16_t wRequest = LSI_NO_HANDLE;
    {
        KernelPoolLock sLock;
        if (bAllocLSIRequestFrame(LSI_IOC_DRIVE, &pbFrame, &wRequest, FALSE) != STATUS_OK) return 0;
        uint16_t wFlags = bDirection == 1 ? 0x0001 : bDirection == 0 ? 0x0002 : 0;
        if (bDirection != 2) wFlags |= fDma == TRUE ? 0x0020 : 0x0010;
        const uint32_t dSge = bDirection == 1   ? MPI_SGE_SIMPLE_READ | dLength
                              : bDirection == 0 ? MPI_SGE_SIMPLE_WRITE | dLength
                                                : MPI_SGE_SIMPLE_READ;
        BuildSataPassthrough(pbFrame, bTarget, SAS_WAITED_ENTRY_INDEX, wFlags, dLength, *ps, dSge,
                             bDirection == 2 ? 0 : static_cast<uint32_t>(dBufferHandleToPciAddress(dBuffer)));
        s_wATAWaitRequest = wRequest;
        s_fATAWaitPending = TRUE;
        (void)qPostLSIRequest(LSI_IOC_DRIVE, pbFrame, wRequest, 25000, FALSE);
    }
    const uint64_t lStart = lGetTickCount();
    while (s_fATAWaitPending == TRUE && lGetTickCount() - lStart < WAIT_BOUND_MS) HwPoll();
    if (s_fATAWaitPending == TRUE) {
        KernelPoolLock sLock;
        OrLSIRequestFlags(LSI_IOC_DRIVE, wRequest, LSI_REQUEST_ABORTED);
        s_fATAWaitPending = FALSE;
        return 0;
    }
    uint16_t wIoc;
    std::memcpy(&wIoc, s_abATAReply + 14, 2);
    if ((wIoc & MPI_IOCSTATUS_MASK) != 0 || (s_abATAReply[22] & 0x01)) return 0;
    if (fReturnStatus == TRUE && pbStatusFis) std::memcpy(pbStatusFis, s_abATAReply + 20, 20);
    return STATUS_OK;
}

void SetSATAWriteCachePolicy(uint8_t f) { s_fSATAWriteCache = f; }
uint8_t fGetSATAWriteCachePolicy() { return s_fSATAWriteCache; }

uint8_t bIdentifySATADrive(uint8_t bTarget, uint8_t bBus, SAS_DEVICE_ENTRY* psEntry) {
    if (s_dIdentifyPage == NULL_BUFFER_HANDLE && bAllocDataPages(0, 1, &s_dIdentifyPage) != STATUS_OK) {
        s_dIdentifyPage = NULL_BUFFER_HANDLE;
        return 0;
    }
    ATA_TASK_FILE sIdentify{};
    sIdentify.bCommand = ATA_IDENTIFY_DEVICE;
    bool fDone = false;
    for (int i = 0; i < IDENTIFY_TRIES && !fDone; ++i) {
        fDone = bSendATACommandAndWait(bTarget, bBus, FALSE, &sIdentify, ATA_DIRECTION_READ, 512, s_dIdentifyPage,
                                       FALSE, nullptr) == STATUS_OK;
    }
    if (!fDone) return 0;
    const uint8_t* pb = static_cast<const uint8_t*>(pBufferHandleToPointer(s_dIdentifyPage));
    auto word = [pb](int w) { return static_cast<uint16_t>(pb[2 * w] | pb[2 * w + 1] << 8); };
    // ATA strings keep two characters per word, the first in the high byte.
    auto text = [&](int wFirst, int nWords, char* pcOut) {
        for (int w = 0; w < nWords; ++w) {
            pcOut[2 * w] = static_cast<char>(word(wFirst + w) >> 8);
            pcOut[2 * w + 1] = static_cast<char>(word(wFirst + w));
        }
    };
    text(27, 20, psEntry->acModel);
    text(10, 10, psEntry->acSerial);
    text(23, 4, psEntry->acFirmwareRevision);
    psEntry->f48BitLBA = ToFlag(word(83) & 0x0400);
    psEntry->fQueued = ToFlag(word(83) & 0x0002);
    psEntry->bATAQueueDepth = static_cast<uint8_t>(word(75) & 0x1F);
    // WRITE UNCORRECTABLE EXT: supported (word 86 bit 15 with word 119
    // bit 2) and enabled (word 120 bit 2).
    const bool fUncorrectable = (word(86) & 0x8000) && (word(119) & 0x0004) && (word(120) & 0x0004);
    psEntry->bATAFeatures = static_cast<uint8_t>(((word(85) >> 5) & 1) | ((word(85) >> 6) & 1) << 1 |
                                                 ((word(82) >> 5) & 1) << 2 | ((word(82) >> 6) & 1) << 3 |
                                                 (fUncorrectable ? SATA_FEATURE_WRITE_UNCORRECTABLE : 0));
    psEntry->lCapacity = psEntry->f48BitLBA == TRUE
                             ? static_cast<uint64_t>(word(100)) | static_cast<uint64_t>(word(101)) << 16 |
                                   static_cast<uint64_t>(word(102)) << 32 | static_cast<uint64_t>(word(103)) << 48
                             : static_cast<uint64_t>(word(60)) | static_cast<uint64_t>(word(61)) << 16;
    // The WWN of a SATA drive is the last eight non-blank characters of its serial.
    int iEnd = 20;
    while (iEnd > 0 && (psEntry->acSerial[iEnd - 1] == ' ' || psEntry->acSerial[iEnd - 1] == 0)) --iEnd;
    const int iStart = iEnd >= 8 ? iEnd - 8 : 0;
    std::memset(psEntry->abWWN, ' ', 8);
    std::memcpy(psEntry->abWWN, psEntry->acSerial + iStart, static_cast<size_t>(iEnd - iStart));
    return STATUS_OK;
}

uint8_t bSetupSATADrive(SAS_DEVICE_ENTRY* psEntry) {
    if (bIdentifySATADrive(psEntry->bTargetId, psEntry->bBus, psEntry) != STATUS_OK) return 0;
    // A multiplexer whose patch information cannot be read is marked: the
    // drive's path type then says so.
    const uint8_t fPatch = fReadAAMuxPatchInfo(psEntry);
    if (fIsSASDeviceBehindAAMux(psEntry) == TRUE) {
        if (fPatch == TRUE) {
            psEntry->bStatus &= static_cast<uint8_t>(~SAS_DEVICE_STATUS_AA_MUX_PATCH_BAD);
        } else {
            psEntry->bStatus |= SAS_DEVICE_STATUS_AA_MUX_PATCH_BAD;
        }
    }
    if (psEntry->f48BitLBA != TRUE) return 0;
    const bool fCacheOn = (psEntry->bATAFeatures & SATA_FEATURE_WRITE_CACHE_ON) != 0;
    const bool fCacheSupported = (psEntry->bATAFeatures & SATA_FEATURE_WRITE_CACHE_SUPPORTED) != 0;
    ATA_TASK_FILE sSet{};
    sSet.bCommand = ATA_SET_FEATURES;
    if (s_fSATAWriteCache != TRUE && fCacheOn) {
        sSet.bFeatures = ATA_FEATURE_WRITE_CACHE_OFF;
        if (bSendATACommandAndWait(psEntry->bTargetId, psEntry->bBus, FALSE, &sSet, ATA_DIRECTION_NONE, 0, NULL_BUFFER_HANDLE, FALSE,
                                   nullptr) == STATUS_OK) {
            psEntry->bATAFeatures &= static_cast<uint8_t>(~SATA_FEATURE_WRITE_CACHE_ON);
        }
    } else if (s_fSATAWriteCache == TRUE && !fCacheOn && fCacheSupported) {
        sSet.bFeatures = ATA_FEATURE_WRITE_CACHE_ON;
        if (bSendATACommandAndWait(psEntry->bTargetId, psEntry->bBus, FALSE, &sSet, ATA_DIRECTION_NONE, 0, NULL_BUFFER_HANDLE, FALSE,
                                   nullptr) == STATUS_OK) {
            psEntry->bATAFeatures |= SATA_FEATURE_WRITE_CACHE_ON;
        }
    }
    return STATUS_OK;
}

uint8_t bWriteUncorrectableSATA(uint8_t bTarget, uint8_t bBus, uint32_t dLbaLow, uint16_t wLbaHigh) {
    ATA_TASK_FILE s{};
    s.bCommand = ATA_WRITE_UNCORRECTABLE_EXT;
    s.bFeatures = ATA_UNCORRECTABLE_FLAGGED;
    for (uint8_t i = 0; i < 4; ++i) s.abLba[i] = static_cast<uint8_t>(dLbaLow >> (8 * i));
    s.abLba[4] = static_cast<uint8_t>(wLbaHigh);
    s.abLba[5] = static_cast<uint8_t>(wLbaHigh >> 8);
    s.bDevice = ATA_DEVICE_LBA;
    s.bCount = 1;
    return bSendATACommandAndWait(bTarget, bBus, FALSE, &s, ATA_DIRECTION_NONE, 0, NULL_BUFFER_HANDLE, FALSE, nullptr);
}

uint8_t bCheckSASQueueDepth(uint8_t bTarget, uint8_t, uint8_t bCommandType) {
    const SAS_DEVICE_ENTRY* ps = psGetSASDeviceOfTarget(bTarget);
    if (!ps) return STATUS_OK;
    const uint32_t dFlags = dGetSASTargetFlags(bTarget);
    uint16_t wDepth = (dFlags & SAS_TARGET_FLAG_NATIVE) ? 16 : 8;
    if (bCommandType == 158) wDepth = static_cast<uint16_t>(wDepth + 8);
    if (dFlags & SAS_TARGET_FLAG_ONE_AT_A_TIME) wDepth = 1;
    if (ps->wOutstanding >= wDepth) return SEND_TARGET_BUSY;
    const uint16_t wLimit = bCommandType == 158 ? LSI_MAX_REQUEST_FRAMES - LSI_RESERVED_REQUEST_FRAMES : 736;
    return wGetLSIRequestsInUse(LSI_IOC_DRIVE) > wLimit ? SEND_IOC_BUSY : STATUS_OK;
}

void CountSASTargetCommandIssued(uint8_t bTarget, uint8_t, uint8_t f158) {
    SAS_DEVICE_ENTRY* ps = psGetSASDeviceOfTarget(bTarget);
    if (!ps || ps->fValid != TRUE) return;
    ++ps->wOutstanding;
    ps->lLastCommandTime = lGetTickCount();
    ps->bStatus |= SAS_DEVICE_STATUS_COMMAND_SENT;
    if (f158 == TRUE) ps->lLast158Time = ps->lLastCommandTime;
}

void CountSASTargetCommandDone(uint8_t bTarget, uint8_t) {
    SAS_DEVICE_ENTRY* ps = psGetSASDeviceOfTarget(bTarget);
    if (ps && ps->wOutstanding > 0) --ps->wOutstanding;
}

void ClearSASTargetCommandCount(uint8_t bTarget, uint8_t) {
    if (SAS_DEVICE_ENTRY* ps = psGetSASDeviceOfTarget(bTarget)) ps->wOutstanding = 0;
}

uint16_t wGetSASTargetCommandCount(uint8_t bTarget, uint8_t) {
    const SAS_DEVICE_ENTRY* ps = psGetSASDeviceOfTarget(bTarget);
    return ps ? ps->wOutstanding : 0;
}

uint32_t dGetSASOversizedSglRefusals() { return s_dOversizedRefusals; }

}  // namespace fw
