#include "sas/reply_dispatch.h"

#include <cstring>

#include "config/nvram_layout.h"
#include "eventlog/event_log.h"
#include "sas/ioc_events.h"
#include "executive/interrupt_controller.h"
#include "executive/kernel_entry.h"
#include "executive/console_output.h"
#include "executive/kernel_queue.h"
#include "executive/stop.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/ata.h"
#include "hw/hw.h"
#include "hw/interrupt_controller.h"
#include "hw/mpi.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "partner/partner_messages.h"
#include "sas/partner_traffic.h"
#include "sas/sas_flags.h"
#include "platform/pci.h"
#include "raid/drive_error_recovery.h"
#include "sas/drive_ioc_bringup.h"
#include "sas/mpi_interface.h"
#include "sas/request_frames.h"
#include "sas/repost_rings.h"
#include "sas/sas_device_list.h"
#include "sas/sas_discovery.h"
#include "sas/sas_drive.h"
#include "sas/sas_scsi_path.h"
#include "sas/smp.h"
#include "sas/write_collapse.h"

namespace fw {

namespace {

uint32_t s_dSpurious = 0;
uint32_t s_dBadReplies = 0;
uint32_t s_dDroppedReplies = 0;
uint8_t s_fEventAckPending = FALSE;
uint32_t s_dLostEventAcks = 0;

constexpr uint8_t EVENT_IOC_FAULT = 1;
constexpr uint32_t IOC_DIAGNOSTIC_TABLE = 0x21FFFF00;   // in the IOC's memory
constexpr uint32_t EVENT_ACK_TIMEOUT_MS = 10000;
constexpr uint16_t CONTEXT_PARTNER_SLOT = 0x4000;
constexpr uint16_t PARTNER_SLOT_MASK = 0x1FFF;
constexpr uint16_t MAX_TARGET_IO_INDEX = 256;
constexpr uint32_t TARGET_IO_INDEX_MASK = 0x3FFF;
constexpr uint32_t REQUEST_INDEX_MASK_12 = 0x0FFF;
constexpr uint32_t REQUEST_INDEX_MASK_13 = 0x1FFF;
constexpr uint8_t MSI_CAPABILITY = 0x05;
constexpr uint8_t MSIX_CAPABILITY = 0x11;

// A context names a KERNEL_ENTRY only below the pool size; anything else
// from the chip is counted and ignored, never used as an index.
KERNEL_ENTRY* psEntryOfContext(uint16_t wContext) {
    if (wContext >= KERNEL_ENTRY_COUNT) {
        ++s_dBadReplies;
        return nullptr;
    }
    KERNEL_ENTRY* ps = nullptr;
    (void)GetKernelEntryAddress(wContext, &ps);
    return ps;
}

bool IsLiveDriveEntry(const KERNEL_ENTRY* ps) {
    return ps && ps->bPortCode == PORT_CODE_INITIATOR && ps->bPrimaryState != PS_COMPLETED && ps->fUsed == TRUE;
}

bool RequestAborted(uint16_t wRequest) {
    return (bGetLSIRequestFlags(LSI_IOC_DRIVE, wRequest) & LSI_REQUEST_ABORTED) != 0;
}

// The entry a reply answers, when it still waits for one and its request
// was not aborted; a reply naming an entry that no longer waits is counted
// as dropped where the caller asks.
KERNEL_ENTRY* psAnsweredEntry(uint16_t wContext, uint16_t wRequest, bool fCountDropped) {
    KERNEL_ENTRY* ps = psEntryOfContext(wContext);
    if (IsLiveDriveEntry(ps) && !RequestAborted(wRequest)) return ps;
    if (ps && fCountDropped) ++s_dDroppedReplies;
    return nullptr;
}

// A reply frame is trusted only inside the reply-frame area, on a frame
// boundary.
// The reply word carries the frame's bus address, shifted right by one.
const uint8_t* pbReplyFrame(uint32_t dWord) {
    const LSI_SAS_DRIVE_ADAPTER* a = psGetLSIAdapter(LSI_IOC_DRIVE);
    const uint32_t dFrame = dWord << 1;
    const uint32_t dBase = static_cast<uint32_t>(dCpuAddressToPciAddress(a->dReplyFrames));
    if (dFrame < dBase || (dFrame - dBase) % LSI_REPLY_FRAME_BYTES != 0 ||
        (dFrame - dBase) / LSI_REPLY_FRAME_BYTES >= LSI_REPLY_FRAMES) {
        ++s_dBadReplies;
        return nullptr;
    }
    return static_cast<const uint8_t*>(pCpuAddressToPointer(a->dReplyFrames + (dFrame - dBase)));
}

void InitiatorContextReply(uint32_t dWord) {
    const uint16_t wRequest = static_cast<uint16_t>((dWord >> 16) & REQUEST_INDEX_MASK_13);
    const uint16_t wContext = static_cast<uint16_t>(dWord);
    if (wContext == SAS_WAITED_ENTRY_INDEX) {
        if (!RequestAborted(wRequest)) (void)fCompleteWaitedSCSICommand(wRequest, nullptr);
    } else if (wContext & CONTEXT_PARTNER_SLOT) {
        if (!(bGetLSIRequestFlags(LSI_IOC_DRIVE, wRequest) & LSI_REQUEST_ABORTED)) {
            // Messages 96 and 118 carry their answer in status bytes.
            PARTNER_MESSAGE_SLOT* psSlot = nullptr;
            (void)pGetOutgoingMessageSlot(wContext & PARTNER_SLOT_MASK, &psSlot);
            const bool fBytes = psSlot != nullptr && (psSlot->bCommandType == 96 || psSlot->bCommandType == 118) &&
                                fGetPartnerStatusBytes(LSI_IOC_DRIVE, wRequest) == TRUE;
            PartnerMessageCompleteHandler(PARTNER_PORT_SAS, fBytes ? 2 : 0, 0, wContext & PARTNER_SLOT_MASK,
                                          fBytes ? pGetLSISenseBuffer(LSI_IOC_DRIVE, wRequest) : nullptr);
        }
    } else {
        if (KERNEL_ENTRY* ps = psAnsweredEntry(wContext, wRequest, true)) {
            CountSASTargetCommandDone(static_cast<uint8_t>(ps->wTargetId), TRUE);
            if ((ps->lFlags & KE_FLAG_WRITE_COLLAPSE) && ps->bCommandType != 0x1E) {
                IwcqWriteAnswered(ps, FALSE);   // its batch completes it
            } else {
                CompleteSASEntry(ps);
            }
        }
    }
    FreeLSIRequest(LSI_IOC_DRIVE, wRequest);
}

// A command the IOC ended with no drive there waits, when the partner may
// have taken the drive, for this side's next look (see
// fHoldSASTargetForTakeOver).  True when it waits.
bool WaitsForTakeOver(KERNEL_ENTRY* ps, uint16_t wIoc) {
    if (wIoc != MPI_IOCSTATUS_SCSI_DEVICE_NOT_THERE || ps->wTargetId >= SAS_PROXY_TARGET_BIT) return false;
    if (fHoldSASTargetForTakeOver(static_cast<uint8_t>(ps->wTargetId)) != TRUE) return false;
    RepostSASEntry(ps);
    return true;
}

// A drive command the IOC answered with a reply frame: its status (and
// sense) in its drive-side fields.
void EndAnsweredCommand(KERNEL_ENTRY* ps, uint16_t wIoc, uint8_t bSenseBytes) {
    SAS_ENTRY_FIELDS* psF = psSasFields(ps);
    if (ps->lFlags & KE_FLAG_WRITE_COLLAPSE) {
        // A held write that did not simply succeed fails its whole batch.
        IwcqWriteAnswered(ps, TRUE);
        if (ps->wTargetId < SAS_PROXY_TARGET_BIT) {
            SetSASTargetFlagBits(static_cast<uint8_t>(ps->wTargetId), SAS_TARGET_FLAG_BATCH_FAILED);
        }
    } else if (WaitsForTakeOver(ps, wIoc)) {
        return;
    } else if (psF->bScsiStatus != SCSI_STATUS_GOOD) {
        // A target gone from the fabric (pulled, its link lost) answers
        // nothing however often it is sent the command: it ends as one sent
        // to a drive taken out of service, rather than be sent again and
        // logged hundreds of times over the events that say what happened.
        const uint8_t fGone = ToFlag(wIoc == MPI_IOCSTATUS_SCSI_DEVICE_NOT_THERE);
        DriveCommandErrorHandler(PORT_CODE_INITIATOR, psF->bScsiStatus, ps, psF->abSense, bSenseBytes, TRUE, fGone);
        return;
    }
    CompleteSASEntry(ps);
}

// A passthrough that ended with ERR in a register FIS. The error register
// names a failure only where it means one for the request: with CDB byte 1
// 0x20 or 0x40 anything but bit 0 alone is the drive's test failing; for
// any other request only ABORTED is, the drive refusing the command. Such a
// failure goes to the drive error handling as a CHECK CONDITION with that
// sense; anything else completes as the drive left it.
void SataPassthroughEnded(KERNEL_ENTRY* ps, const uint8_t* pbFrame) {
    const uint8_t bFisType = pbFrame[20], bStatus = pbFrame[22], bError = pbFrame[23];
    uint8_t bKey = SENSE_NO_SENSE, bAsc = 0;
    if ((bStatus & ATA_STATUS_ERR) && bFisType == FIS_TYPE_REGISTER_D2H) {
        const bool fTest = ps->abCdb[1] == 0x20 || ps->abCdb[1] == 0x40;
        if (fTest && bError != ATA_ERROR_BIT0) {
            bKey = SENSE_HARDWARE_ERROR;
            bAsc = ASC_SELF_TEST_FAILED;
        } else if (!fTest && bError == ATA_ERROR_ABORTED) {
            bKey = SENSE_ILLEGAL_REQUEST;
            bAsc = ASC_INVALID_OPCODE;
        }
    }
    if (bKey == SENSE_NO_SENSE) {
        CompleteSASEntry(ps);
        return;
    }
    uint8_t abSense[SENSE_FIXED_LENGTH];
    BuildFixedSense(abSense, bKey, bAsc, 0);
    psSasFields(ps)->bScsiStatus = SCSI_STATUS_CHECK_CONDITION;
    DriveCommandErrorHandler(PORT_CODE_INITIATOR, SCSI_STATUS_CHECK_CONDITION, ps, abSense, sizeof abSense, TRUE,
                             FALSE);
}

// The event data as the handler's record; the IOC gives no more than the
// notification holds, and what it leaves out reads as zero.
template <typename T>
T EventData(const MPI_EVENT_NOTIFICATION_REPLY& r) {
    static_assert(sizeof(T) <= sizeof r.dEventData);
    T s{};
    std::memcpy(&s, r.dEventData, sizeof s);
    return s;
}

void DispatchEvent(const MPI_EVENT_NOTIFICATION_REPLY& r) {
    switch (r.dEvent) {
    case MPI_EVENT_EXTERNAL_BUS_RESET:
        SASExternalBusResetEvent();
        return;
    case MPI_EVENT_QUEUE_FULL:
        SASQueueFullEvent(EventData<MPI_EVENT_DATA_QUEUE_FULL>(r).bTargetId);
        return;
    case MPI_EVENT_SAS_DEVICE_STATUS_CHANGE:
        SASDeviceStatusChangeEvent(EventData<MPI_EVENT_DATA_SAS_DEVICE_STATUS_CHANGE>(r));
        return;
    case MPI_EVENT_SAS_PHY_LINK_STATUS:
        SASPhyLinkStatusEvent(EventData<MPI_EVENT_DATA_SAS_PHY_LINK_STATUS>(r));
        return;
    case MPI_EVENT_SAS_DISCOVERY_ERROR: {
        const auto s = EventData<MPI_EVENT_DATA_SAS_DISCOVERY_ERROR>(r);
        SASDiscoveryErrorEvent(s.dStatus, s.bPort);
        return;
    }
    case MPI_EVENT_SAS_DISCOVERY:
        SASDiscoveryEvent(r.dEventData[0]);
        return;
    default:
        return;
    }
}

void AddressReply(uint32_t dWord) {
    const uint8_t* pb = pbReplyFrame(dWord);
    if (!pb) return;
    MPI_REPLY_HEADER sHeader;
    std::memcpy(&sHeader, pb, sizeof sHeader);
    uint32_t dFree = 0xFFFFFFFF;
    const uint32_t dHigh = sHeader.dMsgContext >> 16;
    switch (sHeader.bFunction) {
    case MPI_FUNCTION_SCSI_IO_REQUEST:
        LSI_SAS_ScsiIoReplyHandler(LSI_IOC_DRIVE, pb);
        dFree = dHigh & REQUEST_INDEX_MASK_12;
        break;
    case MPI_FUNCTION_SCSI_TASK_MGMT:
        // One the time-out scan gave up on let its target go already.
        if (!RequestAborted(static_cast<uint16_t>(dHigh & REQUEST_INDEX_MASK_12))) {
            ClearSASTargetFlagBits(sHeader.bTargetId, 0x42);
            DecrementSASTaskManagementCount();
        }
        dFree = dHigh & REQUEST_INDEX_MASK_12;
        break;
    case MPI_FUNCTION_CONFIG:
        std::memcpy(pGetLSIConfigReplyBuffer(), pb, LSI_CONFIG_REPLY_DWORDS * 4);
        SetLSIConfigReplyFlag(TRUE);
        dFree = dHigh & REQUEST_INDEX_MASK_13;
        break;
    case MPI_FUNCTION_EVENT_NOTIFICATION:
        LSI_SAS_EventReplyHandler(LSI_IOC_DRIVE, pb);
        break;
    case MPI_FUNCTION_EVENT_ACK:
        s_fEventAckPending = FALSE;
        dFree = dHigh & REQUEST_INDEX_MASK_12;
        break;
    case MPI_FUNCTION_PORT_ENABLE:
        SetSASPortWaitFlag(FALSE);
        dFree = dHigh & REQUEST_INDEX_MASK_12;
        break;
    case 0x1B:
    case MPI_FUNCTION_TARGET_CMD_BUF_LIST_POST:
        dFree = dHigh & REQUEST_INDEX_MASK_12;
        break;
    case MPI_FUNCTION_TARGET_CMD_BUF_BASE_POST:
        dFree = dHigh & REQUEST_INDEX_MASK_13;
        break;
    case MPI_FUNCTION_TARGET_ASSIST:
    case MPI_FUNCTION_TARGET_STATUS_SEND:
        // The request of that IoIndex is freed with it.
        PartnerTargetErrorReply(static_cast<uint16_t>((pb[20] | pb[21] << 8) & MPI_TARGET_REPLY_IO_INDEX_MASK));
        break;
    case MPI_FUNCTION_TARGET_MODE_ABORT:
        PartnerTargetAbortReply(sHeader.dMsgContext & 0xFFFF);
        dFree = dHigh & REQUEST_INDEX_MASK_12;
        break;
    case MPI_FUNCTION_SMP_PASSTHROUGH:
        SMPPassthroughReply(pb);
        dFree = dHigh & REQUEST_INDEX_MASK_12;
        break;
    case MPI_FUNCTION_SATA_PASSTHROUGH: {
        const uint16_t wContext = static_cast<uint16_t>(sHeader.dMsgContext);
        dFree = dHigh & REQUEST_INDEX_MASK_13;
        if (wContext == SAS_WAITED_ENTRY_INDEX) {
            // The ATA waiter, or the SCSI waiter whose command was translated.
            if (fCompleteWaitedATACommand(static_cast<uint16_t>(dFree), pb) != TRUE) {
                (void)fCompleteWaitedSCSICommand(static_cast<uint16_t>(dFree), pb);
            }
            break;
        }
        if (KERNEL_ENTRY* ps = psAnsweredEntry(wContext, static_cast<uint16_t>(dFree), false)) {
            const uint8_t bTarget = static_cast<uint8_t>(ps->wTargetId);
            CountSASTargetCommandDone(bTarget, TRUE);
            // The drive has room for one more: a request held back for it goes.
            (void)fPostNextDeferredRequest(LSI_IOC_DRIVE, bGetSASDeviceIndexOfTarget(bTarget), TRUE);
            const uint16_t wIoc = sHeader.wIOCStatus & MPI_IOCSTATUS_MASK;
            if (wIoc == MPI_IOCSTATUS_SUCCESS) {
                SataPassthroughEnded(ps, pb);
            } else if (wIoc != MPI_IOCSTATUS_SCSI_TASK_TERMINATED) {
                // The request never reached the drive, or its transport
                // failed: whatever its FIS says, it did not succeed.
                psSasFields(ps)->bScsiStatus = DRIVE_STATUS_NO_STATUS;
                EndAnsweredCommand(ps, wIoc, 0);
            }
        }
        break;
    }
    default:
        break;
    }
    if ((sHeader.bMsgFlags & MPI_MSGFLAGS_CONTINUATION_REPLY) && sHeader.bFunction != MPI_FUNCTION_EVENT_ACK) {
        dFree = 0xFFFFFFFF;
    }
    if (dFree < LSI_MAX_REQUEST_FRAMES) FreeLSIRequest(LSI_IOC_DRIVE, static_cast<uint16_t>(dFree));
    Reg32Write(psGetLSIAdapter(LSI_IOC_DRIVE)->sInterface.pdReplyQueue, dWord << 1);
}

uint8_t bFindCapability(uint8_t bId) {
    uint8_t bOffset = static_cast<uint8_t>(dPciConfigRead32(LSI_DRIVE_PCI_BUS, LSI_DRIVE_PCI_DEVICE,
                                                            LSI_DRIVE_PCI_FUNCTION, 0x34));
    for (int i = 0; i < 48 && bOffset >= 0x40; ++i) {
        const uint32_t d = dPciConfigRead32(LSI_DRIVE_PCI_BUS, LSI_DRIVE_PCI_DEVICE, LSI_DRIVE_PCI_FUNCTION, bOffset);
        if ((d & 0xFF) == bId) return bOffset;
        bOffset = static_cast<uint8_t>(d >> 8);
    }
    return 0;
}

}  // namespace

void LSI_SAS_DriveInterruptEntry(uint8_t bIocId) {
    if (bIocId != LSI_IOC_DRIVE) return;
    const LSI_SAS_DRIVE_ADAPTER* a = psGetLSIAdapter(LSI_IOC_DRIVE);
    const uint32_t dStatus = Reg32Read(a->sInterface.pdHostIntStatus);
    if (dStatus == 0) {
        ++s_dSpurious;
        return;
    }
    s_dSpurious = 0;
    Reg32Write(a->sInterface.pdHostIntStatus, dStatus);
    if (dStatus & MPI_HIS_DOORBELL) LSI_SAS_DoorbellInterruptHandler();
    if (dStatus & MPI_HIS_REPLY) LSI_SAS_ReplyMessageInterruptHandler(bIocId);
}

void LSI_SAS_DoorbellInterruptHandler() {
    const uint32_t dDoorbell = Reg32Read(psGetLSIAdapter(LSI_IOC_DRIVE)->sInterface.pdDoorbell);
    if ((dDoorbell & MPI_DOORBELL_STATE_MASK) >> MPI_DOORBELL_STATE_SHIFT != MPI_IOC_STATE_FAULT) return;
    PostEvent(EVENT_IOC_FAULT, 5, static_cast<uint8_t>(dDoorbell >> 24), static_cast<uint8_t>(dDoorbell >> 16),
              static_cast<uint8_t>(dDoorbell >> 8), static_cast<uint8_t>(dDoorbell));
    if (fIsDualControllerActive() == TRUE) {
        SaveSASDiagnosticTableToNVRAM();
        ResetController();
        return;
    }
    // Discovery resets the IOC twice and brings it up again.
    SetSASSecondIOCRestart(TRUE);
    SetSasDiscoveryWork(TRUE);
    SetSASIOCRestartRequest(TRUE);
}

void SaveSASDiagnosticTableToNVRAM() {
    uint32_t adWords[NVRAM_DOORBELL_WORDS] = {};   // a window that does not open leaves zeros
    (void)ReadLSIDiagMemory(LSI_IOC_DRIVE, IOC_DIAGNOSTIC_TABLE, NVRAM_DOORBELL_WORDS, adWords);
    for (uint32_t k = 0; k < NVRAM_DOORBELL_WORDS; ++k) {
        const uint8_t ab[4] = {static_cast<uint8_t>(adWords[k]), static_cast<uint8_t>(adWords[k] >> 8),
                               static_cast<uint8_t>(adWords[k] >> 16), static_cast<uint8_t>(adWords[k] >> 24)};
        HwNvramWrite(static_cast<uint32_t>(offsetof(NVRAM_HEADER, abDoorbellErrorInfo)) + 4 * k, ab, 4);
    }
}

void LSI_SAS_ReplyMessageInterruptHandler(uint8_t bIocId) {
    if (bIocId != LSI_IOC_DRIVE) return;
    const uint32_t dFifo = psGetLSIAdapter(LSI_IOC_DRIVE)->sInterface.pdReplyQueue;
    for (;;) {
        const uint32_t dWord = Reg32Read(dFifo);
        if (dWord == MPI_REPLY_FIFO_EMPTY) return;
        DispatchLSIReplyWord(bIocId, dWord);
    }
}

void DispatchLSIReplyWord(uint8_t bIocId, uint32_t dWord) {
    if (bIocId != LSI_IOC_DRIVE || dWord == MPI_REPLY_FIFO_EMPTY) return;
    if (dWord & MPI_REPLY_ADDRESS_FLAG) {
        AddressReply(dWord);
    } else if ((dWord & MPI_REPLY_TYPE_MASK) == MPI_REPLY_TYPE_INITIATOR) {
        InitiatorContextReply(dWord);
    } else if ((dWord & MPI_REPLY_TYPE_MASK) == MPI_REPLY_TYPE_TARGET) {
        // Partner traffic: a new command or the end of a phase; an IoIndex
        // past the tables is refused.
        if ((dWord & TARGET_IO_INDEX_MASK) >= MAX_TARGET_IO_INDEX) {
            ++s_dBadReplies;
        } else {
            PartnerTargetReply(static_cast<uint16_t>(dWord & TARGET_IO_INDEX_MASK));
        }
    }
}

void LSI_SAS_ScsiIoReplyHandler(uint8_t, const uint8_t* pbFrame) {
    MPI_SCSI_IO_REPLY sReply;
    std::memcpy(&sReply, pbFrame, sizeof sReply);
    const uint16_t wRequest = static_cast<uint16_t>((sReply.sHeader.dMsgContext >> 16) & REQUEST_INDEX_MASK_12);
    const uint16_t wContext = static_cast<uint16_t>(sReply.sHeader.dMsgContext);
    if (RequestAborted(wRequest)) return;
    if (wContext == SAS_WAITED_ENTRY_INDEX) {
        (void)fCompleteWaitedSCSICommand(wRequest, pbFrame);
        return;
    }
    if (wContext & CONTEXT_PARTNER_SLOT) {
        // A SCSI status is an answer; a transport that failed delivered nothing.
        const uint16_t wIoc = sReply.sHeader.wIOCStatus & MPI_IOCSTATUS_MASK;
        const bool fAnswered = wIoc == MPI_IOCSTATUS_SUCCESS || wIoc == MPI_IOCSTATUS_SCSI_DATA_UNDERRUN;
        const uint8_t bQualifier = wIoc == MPI_IOCSTATUS_SCSI_DATA_UNDERRUN    ? PARTNER_QUALIFIER_UNDERRUN
                                   : wIoc == MPI_IOCSTATUS_SCSI_DEVICE_NOT_THERE ? PARTNER_QUALIFIER_PORT_GONE
                                                                                 : 0;
        PartnerMessageCompleteHandler(PARTNER_PORT_SAS, fAnswered ? sReply.sHeader.bScsiStatus : 1, bQualifier,
                                      wContext & PARTNER_SLOT_MASK,
                                      (sReply.sHeader.bScsiState & MPI_SCSI_STATE_AUTOSENSE_VALID)
                                          ? pGetLSISenseBuffer(LSI_IOC_DRIVE, wRequest)
                                          : nullptr);
        return;
    }
    KERNEL_ENTRY* ps = psAnsweredEntry(wContext, wRequest, true);
    if (!ps) return;
    CountSASTargetCommandDone(static_cast<uint8_t>(ps->wTargetId), TRUE);
    SAS_ENTRY_FIELDS* psF = psSasFields(ps);
    psF->bScsiStatus = sReply.sHeader.bScsiStatus;
    const uint16_t wIoc = sReply.sHeader.wIOCStatus & MPI_IOCSTATUS_MASK;
    const uint8_t* pbSense = nullptr;
    uint8_t bSenseBytes = 0;
    if (sReply.sHeader.bScsiState & MPI_SCSI_STATE_AUTOSENSE_VALID) {
        pbSense = pGetLSISenseBuffer(LSI_IOC_DRIVE, wRequest);
        // Only what the drive sent counts; the rest of the buffer is stale.
        bSenseBytes = static_cast<uint8_t>(sReply.dSenseCount < sizeof psF->abSense ? sReply.dSenseCount
                                                                                   : sizeof psF->abSense);
        std::memset(psF->abSense, 0, sizeof psF->abSense);
        std::memcpy(psF->abSense, pbSense, bSenseBytes);
        psF->bSenseKey = psF->abSense[2] & 0x0F;
        psF->bAsc = psF->abSense[12];
        psF->bAscq = psF->abSense[13];
        ps->lFlags |= KE_FLAG_SENSE_PRESENT;
    }
    if (wIoc == MPI_IOCSTATUS_SCSI_TASK_TERMINATED) return;  // the recovery that ended it completes it
    if (wIoc != MPI_IOCSTATUS_SUCCESS && wIoc != MPI_IOCSTATUS_SCSI_DATA_UNDERRUN && psF->bScsiStatus == 0) {
        psF->bScsiStatus = DRIVE_STATUS_NO_STATUS;  // the transport failed
    }
    EndAnsweredCommand(ps, wIoc, bSenseBytes);
}

// Each event goes to its handler; the IOC holds further events until the
// ones it asks an acknowledge for have one.
void LSI_SAS_EventReplyHandler(uint8_t bIocId, const uint8_t* pbFrame) {
    MPI_EVENT_NOTIFICATION_REPLY sReply;
    std::memcpy(&sReply, pbFrame, sizeof sReply);
    DispatchEvent(sReply);
    if (sReply.bAckRequired != 1) return;
    uint8_t* pbAck = nullptr;
    uint16_t wRequest = LSI_NO_HANDLE;
    if (bAllocLSIRequestFrame(bIocId, &pbAck, &wRequest, TRUE) != STATUS_OK) {
        ++s_dLostEventAcks;
        return;
    }
    auto* ps = reinterpret_cast<MPI_EVENT_ACK_REQUEST*>(pbAck);
    ps->bFunction = MPI_FUNCTION_EVENT_ACK;
    ps->bMsgFlags = sReply.bMsgFlags;
    ps->dMsgContext = sReply.dMsgContext & 0xFFFF;
    ps->dEvent = sReply.dEvent;
    ps->dEventContext = sReply.dEventContext;
    (void)qPostLSIRequest(bIocId, pbAck, wRequest, EVENT_ACK_TIMEOUT_MS, FALSE);
    s_fEventAckPending = TRUE;
}

uint8_t fIsSASEventAckPending() { return s_fEventAckPending; }
uint32_t dGetSASLostEventAckCount() { return s_dLostEventAcks; }

void InitSASDriveInterruptCounters() {
    s_dSpurious = 0;
    s_dBadReplies = 0;
    s_dDroppedReplies = 0;
    s_fEventAckPending = FALSE;
    s_dLostEventAcks = 0;
}

uint32_t dGetSASSpuriousInterruptCount() { return s_dSpurious; }
uint32_t dGetSASBadReplyCount() { return s_dBadReplies; }
uint32_t dGetSASDroppedReplyCount() { return s_dDroppedReplies; }

void SetupQl2MessageInterrupts(uint8_t) {
    const uint8_t bMsix = bFindCapability(MSIX_CAPABILITY);
    if (bMsix == 0) {
        ConsolePrintf("ERROR: Unable to read LSI SAS MSI-X Capabilities.\n");
        return;
    }
    const uint32_t dMsix = dPciConfigRead32(LSI_DRIVE_PCI_BUS, LSI_DRIVE_PCI_DEVICE, LSI_DRIVE_PCI_FUNCTION, bMsix);
    PciConfigWrite32(LSI_DRIVE_PCI_BUS, LSI_DRIVE_PCI_DEVICE, LSI_DRIVE_PCI_FUNCTION, bMsix, dMsix & ~0x80000000u);
    const uint8_t bMsi = bFindCapability(MSI_CAPABILITY);
    if (bMsi == 0) {
        ConsolePrintf("ERROR: Unable to read LSI SAS MSI Capabilities.\n");
        return;
    }
    PciConfigWrite32(LSI_DRIVE_PCI_BUS, LSI_DRIVE_PCI_DEVICE, LSI_DRIVE_PCI_FUNCTION, bMsi + 4, 0x48);
    PciConfigWrite32(LSI_DRIVE_PCI_BUS, LSI_DRIVE_PCI_DEVICE, LSI_DRIVE_PCI_FUNCTION, bMsi + 8, 0);
    Reg32Write(psGetLSIAdapter(LSI_IOC_DRIVE)->sInterface.pdHostIntStatus, 0);
    PciConfigWrite32(LSI_DRIVE_PCI_BUS, LSI_DRIVE_PCI_DEVICE, LSI_DRIVE_PCI_FUNCTION, bMsi + 12, 3);
    const uint32_t dCtl = dPciConfigRead32(LSI_DRIVE_PCI_BUS, LSI_DRIVE_PCI_DEVICE, LSI_DRIVE_PCI_FUNCTION, bMsi);
    PciConfigWrite32(LSI_DRIVE_PCI_BUS, LSI_DRIVE_PCI_DEVICE, LSI_DRIVE_PCI_FUNCTION, bMsi, dCtl | 0x10000);
    // The message interrupt is served by the FIQ dispatcher: steer it there
    // before enabling it.
    Cp6Write(INT_LINE_MSI.bBank, INTC_INTSTR, Cp6Read(INT_LINE_MSI.bBank, INTC_INTSTR) | dLineMask(INT_LINE_MSI));
    EnableInterruptSource2();
}

}  // namespace fw
