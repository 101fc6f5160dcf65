#include "sas/mpi_interface.h"

#include <cstring>

#include "cache/cache_entry.h"
#include "cache/read_ahead.h"
#include "executive/interrupt_controller.h"
#include "executive/kernel_entry.h"
#include "executive/progress.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "hw/hw.h"
#include "hw/mpi.h"
#include "sas/drive_ioc_bringup.h"
#include "sas/host_port_ioc.h"
#include "sas/request_frames.h"
#include "sas/sas_target.h"
#include "target/host_command_codes.h"

namespace fw {

namespace {

constexpr uint32_t READY_SPIN_LIMIT = 0x80000000;
constexpr uint32_t BIT_SPIN_LIMIT = 0x1000000;
constexpr uint32_t DIAG_UNLOCK_TRIES = 20;
constexpr uint32_t DIAG_UNLOCK_WAIT_MS = 100;
constexpr uint32_t TIMED_POLL_US = 100;
constexpr uint32_t CONFIG_QUEUE_TIMEOUT_MS = 10000;
constexpr uint32_t CONFIG_REPLY_SPIN_LIMIT = 0x80000000;
constexpr uint32_t BUS_RESET_TIMEOUT_MS = 4000;
constexpr uint32_t PORT_DIAG_CONTROL_ADDR = 0x3F000000;
constexpr uint32_t PORT_DIAG_CONTROL_BIT = 0x40000000;

uint8_t s_fConfigReplyFlag = FALSE;
uint32_t s_adConfigReply[LSI_CONFIG_REPLY_DWORDS];
LSI_DIAG_LOAD_INFO s_sDiagLoad;

// How long a wait may go on.  The timed forms count the time they spend
// between polls themselves, so they also end where the millisecond tick is
// held (inside the FIQ handler, or before the tick runs).
struct LSI_WAIT {
    uint8_t fTimed;
    uint64_t lLeftUs;
};

LSI_WAIT SpinWait() { return LSI_WAIT{FALSE, 0}; }
LSI_WAIT TimedWait(uint32_t dMs) { return LSI_WAIT{TRUE, static_cast<uint64_t>(dMs) * 1000}; }
LSI_WAIT WaitFor(uint32_t dTimeoutMs) { return dTimeoutMs == LSI_UNTIMED ? SpinWait() : TimedWait(dTimeoutMs); }

// Reads dAddress until fnDone accepts the value; untimed waits give up after
// dSpinLimit reads, timed ones when their time is spent.  TRUE when done.
template <typename Done>
uint8_t fPollRegister(uint32_t dAddress, Done fnDone, uint32_t dSpinLimit, LSI_WAIT* psWait,
                      uint32_t* pdLast = nullptr) {
    for (uint32_t i = 0;; ++i) {
        uint32_t dValue = Reg32Read(dAddress);
        if (pdLast != nullptr) *pdLast = dValue;
        if (fnDone(dValue)) return TRUE;
        if (psWait->fTimed == TRUE) {
            if (psWait->lLeftUs == 0) return FALSE;
            uint32_t dStep = psWait->lLeftUs < TIMED_POLL_US ? static_cast<uint32_t>(psWait->lLeftUs) : TIMED_POLL_US;
            HwDelayUs(dStep);
            psWait->lLeftUs -= dStep;
        } else if (i + 1 >= dSpinLimit) {
            return FALSE;
        }
    }
}

uint32_t dIocState(uint32_t dDoorbell) { return (dDoorbell & MPI_DOORBELL_STATE_MASK) >> MPI_DOORBELL_STATE_SHIFT; }

uint8_t fWaitDoorbellInt(const LSI_MPT_INTERFACE* p, LSI_WAIT* psWait) {
    return fPollRegister(p->pdHostIntStatus, [](uint32_t d) { return (d & MPI_HIS_DOORBELL) != 0; },
                         BIT_SPIN_LIMIT, psWait);
}

uint8_t fWaitDoorbellAck(const LSI_MPT_INTERFACE* p, LSI_WAIT* psWait) {
    return fPollRegister(p->pdHostIntStatus, [](uint32_t d) { return (d & MPI_HIS_IOC_DOORBELL_PENDING) == 0; },
                         BIT_SPIN_LIMIT, psWait);
}

// Reads one 16-bit reply word: wait for the IOC to put it in the doorbell,
// take it, acknowledge.
uint8_t fReadReplyWord(const LSI_MPT_INTERFACE* p, LSI_WAIT* psWait, uint16_t* pwWord) {
    if (fWaitDoorbellInt(p, psWait) != TRUE) return FALSE;
    *pwWord = static_cast<uint16_t>(Reg32Read(p->pdDoorbell) & MPI_DOORBELL_DATA_MASK);
    Reg32Write(p->pdHostIntStatus, 0);
    return TRUE;
}

// The doorbell handshake; psWait decides between spin counts and one
// deadline for the whole exchange.
uint8_t bHandshake(uint8_t bIocId, const void* pRequest, uint8_t bRequestDwords, void* pReply,
                   uint8_t bReplyMaxDwords, LSI_WAIT* psWait) {
    LSI_MPT_INTERFACE* p = pGetLSIMPTInterface(bIocId);
    if (p == nullptr) return 0;
    bServiceSubStep = 0;
    uint8_t fReady = fPollRegister(
        p->pdDoorbell,
        [](uint32_t d) {
            uint32_t dState = dIocState(d);
            return (dState == MPI_IOC_STATE_READY || dState == MPI_IOC_STATE_OPERATIONAL) &&
                   (d & MPI_DOORBELL_IN_USE) == 0;
        },
        READY_SPIN_LIMIT, psWait);
    if (fReady != TRUE) return 0;
    bServiceSubStep = 1;
    if (Reg32Read(p->pdHostIntStatus) & MPI_HIS_DOORBELL) Reg32Write(p->pdHostIntStatus, 0);
    bServiceSubStep = 2;
    Reg32Write(p->pdDoorbell, static_cast<uint32_t>(MPI_FUNCTION_HANDSHAKE) << MPI_DOORBELL_FUNCTION_SHIFT |
                                  static_cast<uint32_t>(bRequestDwords) << MPI_DOORBELL_DWORDS_SHIFT);
    bServiceSubStep = 3;
    if (fWaitDoorbellInt(p, psWait) != TRUE) return 0;
    Reg32Write(p->pdHostIntStatus, 0);
    bServiceSubStep = 4;
    if (fWaitDoorbellAck(p, psWait) != TRUE) return 0;
    bServiceSubStep = 5;
    const auto* pbRequest = static_cast<const uint8_t*>(pRequest);
    for (uint8_t i = 0; i < bRequestDwords; ++i) {
        uint32_t dWord;
        std::memcpy(&dWord, pbRequest + 4u * i, 4);
        Reg32Write(p->pdDoorbell, dWord);
        bServiceSubStep = 6;
        if (fWaitDoorbellAck(p, psWait) != TRUE) return 0;
    }
    bServiceSubStep = 7;
    if (pReply == nullptr || bReplyMaxDwords == 0) return STATUS_OK;

    auto* pbReply = static_cast<uint8_t*>(pReply);
    std::memset(pbReply, 0, 4u * bReplyMaxDwords);
    uint16_t awHead[2];
    bServiceSubStep = 8;
    if (fReadReplyWord(p, psWait, &awHead[0]) != TRUE) return 0;
    bServiceSubStep = 10;
    if (fReadReplyWord(p, psWait, &awHead[1]) != TRUE) return 0;
    bServiceSubStep = 12;
    std::memcpy(pbReply, awHead, 4);
    // MsgLength counts the dwords of the whole reply, the two words just read
    // included: a reply claiming fewer is broken, not an endless one.
    uint32_t dMsgLength = pbReply[2];
    if (dMsgLength == 0) return 0;
    uint32_t dStoreWords = 2u * bReplyMaxDwords;
    for (uint32_t i = 2; i < dMsgLength * 2; ++i) {
        uint16_t wWord;
        if (fReadReplyWord(p, psWait, &wWord) != TRUE) return 0;
        if (i < dStoreWords) std::memcpy(pbReply + 2 * i, &wWord, 2);
    }
    bServiceSubStep = 13;
    return STATUS_OK;
}

uint8_t bHandshakeFor(uint8_t bIocId, const void* pRequest, uint8_t bRequestDwords, void* pReply,
                      uint8_t bReplyMaxDwords, uint32_t dTimeoutMs) {
    LSI_WAIT sWait = WaitFor(dTimeoutMs);
    return bHandshake(bIocId, pRequest, bRequestDwords, pReply, bReplyMaxDwords, &sWait);
}

// The write-sequence key that opens the Host Diagnostic register.
void WriteDiagKey(const LSI_MPT_INTERFACE* p) {
    Reg32Write(p->pdWriteSequence, MPI_WRSEQ_FLUSH);
    for (uint8_t bKey : MPI_WRSEQ_KEYS) Reg32Write(p->pdWriteSequence, bKey);
}

uint8_t fWaitDrwe(const LSI_MPT_INTERFACE* p) {
    LSI_WAIT sWait = SpinWait();
    return fPollRegister(p->pdHostDiagnostic, [](uint32_t d) { return (d & MPI_DIAG_DRWE) != 0; },
                         BIT_SPIN_LIMIT, &sWait);
}

// Up to 20 tries of the key, 100 ms apart; bPrefix is written first when
// not 0 (the hard reset leads with one more byte).
uint8_t fUnlockDiagnostic(const LSI_MPT_INTERFACE* p, uint8_t bPrefix) {
    for (uint32_t i = 0; i < DIAG_UNLOCK_TRIES; ++i) {
        if (bPrefix != 0) Reg32Write(p->pdWriteSequence, bPrefix);
        WriteDiagKey(p);
        SpinDelayMs(DIAG_UNLOCK_WAIT_MS);
        if (Reg32Read(p->pdHostDiagnostic) & MPI_DIAG_DRWE) return TRUE;
    }
    return FALSE;
}

uint8_t fWaitResetDone(const LSI_MPT_INTERFACE* p) {
    LSI_WAIT sWait = SpinWait();
    return fPollRegister(p->pdHostDiagnostic, [](uint32_t d) { return (d & MPI_DIAG_RESET_ADAPTER) == 0; },
                         BIT_SPIN_LIMIT, &sWait);
}

uint8_t fIsHostPortIoc(uint8_t bIocId) { return ToFlag(bIocId == LSI_IOC_HOST_PORT_1 || bIocId == LSI_IOC_HOST_PORT_2); }

void WriteDiagWords(const LSI_MPT_INTERFACE* p, uint32_t dAddress, const uint8_t* pbFrom, uint32_t dBytes) {
    Reg32Write(p->pdDiagRwAddress, dAddress);
    for (uint32_t dOffset = 0; dOffset < dBytes; dOffset += 4) {
        uint32_t dWord = 0;
        std::memcpy(&dWord, pbFrom + dOffset, dBytes - dOffset < 4 ? dBytes - dOffset : 4);
        Reg32Write(p->pdDiagRwData, dWord);
    }
}

// The image and each extension must lie inside the largest image we carry;
// a header pointing elsewhere is refused before anything is written.
uint8_t fCheckImageChain(const uint8_t* pbImage) {
    MPI_FW_IMAGE_HEADER sHeader;
    std::memcpy(&sHeader, pbImage, sizeof sHeader);
    if (sHeader.dImageSize < sizeof sHeader || sHeader.dImageSize > LSI_MAX_FIRMWARE_IMAGE_BYTES) return FALSE;
    if (sHeader.dNextImageHeaderOffset == 0) return TRUE;
    uint32_t dOffset = sHeader.dImageSize;
    for (;;) {
        if (dOffset > LSI_MAX_FIRMWARE_IMAGE_BYTES - sizeof(MPI_EXT_IMAGE_HEADER)) return FALSE;
        MPI_EXT_IMAGE_HEADER sExt;
        std::memcpy(&sExt, pbImage + dOffset, sizeof sExt);
        if (sExt.dImageSize < sizeof sExt || sExt.dImageSize > LSI_MAX_FIRMWARE_IMAGE_BYTES - dOffset) return FALSE;
        if (sExt.dNextImageHeaderOffset == 0) return TRUE;
        dOffset += sExt.dImageSize;
    }
}

// With the diagnostic key taken: the IOC reset and held there, its boot
// prevented, and its memory opened to the diagnostic window.  TRUE open.
uint8_t fHoldIocInReset(const LSI_MPT_INTERFACE* p, uint32_t dArm) {
    uint32_t dDiag = Reg32Read(p->pdHostDiagnostic) | MPI_DIAG_PREVENT_IOC_BOOT | dArm;
    Reg32Write(p->pdHostDiagnostic, dDiag);
    Reg32Write(p->pdHostDiagnostic, dDiag | MPI_DIAG_RESET_ADAPTER);
    if (fWaitResetDone(p) != TRUE) return FALSE;
    WriteDiagKey(p);
    if (fWaitDrwe(p) != TRUE) return FALSE;
    Reg32Write(p->pdHostDiagnostic, Reg32Read(p->pdHostDiagnostic) | MPI_DIAG_RW_ENABLE | dArm);
    return TRUE;
}

// Lets the held IOC go: host diagnostic cleared (its flash-bad mark
// acknowledged) and the diagnostic sequence locked.
void ReleaseHeldIoc(const LSI_MPT_INTERFACE* p) {
    if (Reg32Read(p->pdHostDiagnostic) & MPI_DIAG_FLASH_BAD_SIGNATURE) {
        Reg32Write(p->pdHostDiagnostic, MPI_DIAG_CLEAR_FLASH_BAD_SIGNATURE);
    } else {
        Reg32Write(p->pdHostDiagnostic, 0);
    }
    Reg32Write(p->pdWriteSequence, MPI_WRSEQ_FLUSH);
}

uint8_t bDiagnosticLoad(uint8_t bIocId, const LSI_MPT_INTERFACE* p, const uint8_t* pbImage) {
    if (fCheckImageChain(pbImage) != TRUE) return 0;
    if (fUnlockDiagnostic(p, 0) != TRUE) return 0;
    uint32_t dArm = fIsHostPortIoc(bIocId) == TRUE ? MPI_DIAG_DISABLE_ARM : 0;
    if (fHoldIocInReset(p, dArm) != TRUE) return 0;

    MPI_FW_IMAGE_HEADER sHeader;
    std::memcpy(&sHeader, pbImage, sizeof sHeader);
    s_sDiagLoad.dLoadStartAddress = sHeader.dLoadStartAddress;
    s_sDiagLoad.dIopResetRegAddr = sHeader.dIopResetRegAddr;
    s_sDiagLoad.dIopResetVectorValue = sHeader.dIopResetVectorValue;
    WriteDiagWords(p, sHeader.dLoadStartAddress, pbImage, sHeader.dImageSize);
    if (sHeader.dNextImageHeaderOffset != 0) {
        uint32_t dOffset = sHeader.dImageSize;
        for (;;) {
            MPI_EXT_IMAGE_HEADER sExt;
            std::memcpy(&sExt, pbImage + dOffset, sizeof sExt);
            WriteDiagWords(p, sExt.dLoadStartAddress, pbImage + dOffset, sExt.dImageSize);
            if (sExt.dNextImageHeaderOffset == 0) break;
            dOffset += sExt.dImageSize;
        }
    }
    Reg32Write(p->pdDiagRwAddress, sHeader.dIopResetRegAddr);
    Reg32Write(p->pdDiagRwData, sHeader.dIopResetVectorValue);
    if (fIsHostPortIoc(bIocId) == TRUE) {
        Reg32Write(p->pdDiagRwAddress, PORT_DIAG_CONTROL_ADDR);
        uint32_t dControl = Reg32Read(p->pdDiagRwData);
        Reg32Write(p->pdDiagRwAddress, PORT_DIAG_CONTROL_ADDR);
        Reg32Write(p->pdDiagRwData, dControl | PORT_DIAG_CONTROL_BIT);
    }
    ReleaseHeldIoc(p);
    return STATUS_OK;
}

// FW DOWNLOAD and FW UPLOAD share one layout.
uint8_t bFirmwareTransfer(uint8_t bIocId, uint8_t bFunction, uint8_t bImageType, uint32_t dSgeFlags,
                          uint32_t dBytes, BUS_ADDRESS dPciAddress, uint8_t bReplyDwords) {
    MPI_FW_TRANSFER_REQUEST sRequest{};
    sRequest.bImageType = bImageType;
    sRequest.bFunction = bFunction;
    sRequest.dContextElement = MPI_SGE_TRANSACTION_CONTEXT_12;
    sRequest.dImageOffset = 0;
    sRequest.dImageSize = dBytes;
    sRequest.dFlagsLength = dSgeFlags | (dBytes & MPI_SGE_LENGTH_MASK);
    sRequest.dAddress = dPciAddress;
    uint32_t adReply[6];
    return bLSIHandshake(bIocId, &sRequest, sizeof sRequest / 4, adReply, bReplyDwords);
}

// Sends one CONFIG request and returns its reply, by handshake or through
// the IOC's request queue.
uint8_t bConfigRequest(uint8_t bIocId, uint8_t fViaRequestQueue, const MPI_CONFIG_REQUEST* psRequest,
                       uint8_t bHandshakeDwords, MPI_CONFIG_REPLY* psReply, uint32_t dTimeoutMs) {
    if (fViaRequestQueue != TRUE) {
        uint32_t adRequest[10] = {};
        std::memcpy(adRequest, psRequest, sizeof *psRequest);
        return bHandshakeFor(bIocId, adRequest, bHandshakeDwords, psReply, sizeof *psReply / 4, dTimeoutMs);
    }
    // The drive IOC and the target IOC keep request frames; the host-port
    // IOCs answer by handshake only.
    const bool fTarget = bIocId == LSI_IOC_TARGET_1 || bIocId == LSI_IOC_TARGET_2;
    if (!fTarget && bIocId != LSI_IOC_DRIVE) return 0;
    const uint8_t bSource = fTarget ? INT_SOURCE_HOST_CHIPS : INT_SOURCE_DRIVE_SIDE;
    uint8_t* pbFrame = nullptr;
    uint16_t wIndex = 0xFFFF;
    uint8_t bLock = LockInterruptSource(bSource);
    uint8_t bResult = fTarget ? bGetTargetRequestFrame(bIocId, &pbFrame, &wIndex, TRUE)
                              : bAllocLSIRequestFrame(bIocId, &pbFrame, &wIndex, FALSE);
    if (bResult == STATUS_OK) {
        SetLSIConfigReplyFlag(FALSE);
        std::memcpy(pbFrame, psRequest, sizeof *psRequest);
        if (fTarget) {
            PostTargetRequest(bIocId, pbFrame, wIndex, CONFIG_QUEUE_TIMEOUT_MS, 0);
        } else {
            (void)qPostLSIRequest(bIocId, pbFrame, wIndex, CONFIG_QUEUE_TIMEOUT_MS, FALSE);
        }
    }
    if (bLock != INT_LOCK_HELD) UnlockInterruptSource(bSource);
    if (bResult != STATUS_OK) return 0;

    // The reply handler runs in the FIQ while we wait: a caller holding the
    // IOC's lock lends it for the wait.
    uint8_t fCallerHeld = ToFlag(bLock == INT_LOCK_HELD && fIsInterruptSourceActive(bSource) != TRUE);
    if (fCallerHeld == TRUE) UnlockInterruptSource(bSource);
    uint8_t fGot = FALSE;
    for (uint32_t i = 0; i < CONFIG_REPLY_SPIN_LIMIT; ++i) {
        if (fGetLSIConfigReplyFlag() == TRUE) {
            fGot = TRUE;
            break;
        }
        HwPoll();
    }
    if (fCallerHeld == TRUE) (void)LockInterruptSource(bSource);
    if (fGot != TRUE) return 0;
    std::memcpy(psReply, s_adConfigReply, sizeof *psReply);
    return STATUS_OK;
}

// Both phases of a configuration page access.  The page's length comes from
// the header phase; a page longer than the caller's buffer is refused.
uint8_t bConfigPage(uint8_t bIocId, uint8_t fExtended, uint8_t fViaRequestQueue, uint8_t bAction,
                    uint8_t bPageNumber, uint8_t bPageType, uint32_t dPageAddress, BUFFER_HANDLE dBuffer,
                    uint32_t dBufferBytes, uint8_t fWrite, uint32_t* pdByteLength, uint16_t* pwIocStatus,
                    uint32_t dTimeoutMs) {
    if (pwIocStatus != nullptr) *pwIocStatus = 0xFFFF;
    if (pdByteLength != nullptr) *pdByteLength = 0;
    if (pGetLSIMPTInterface(bIocId) == nullptr) return 0;

    MPI_CONFIG_REQUEST sRequest{};
    sRequest.bAction = MPI_CONFIG_ACTION_PAGE_HEADER;
    sRequest.bFunction = MPI_FUNCTION_CONFIG;
    sRequest.bExtPageType = fExtended == TRUE ? bPageType : 0;
    sRequest.sHeader.bPageNumber = bPageNumber;
    sRequest.sHeader.bPageType = fExtended == TRUE ? MPI_CONFIG_PAGETYPE_EXTENDED : bPageType;
    sRequest.dPageAddress = dPageAddress;
    MPI_CONFIG_REPLY sReply{};
    if (bConfigRequest(bIocId, fViaRequestQueue, &sRequest, 8, &sReply, dTimeoutMs) != STATUS_OK) return 0;
    if (pwIocStatus != nullptr) *pwIocStatus = sReply.wIOCStatus;
    if ((sReply.wIOCStatus & MPI_IOCSTATUS_MASK) != MPI_IOCSTATUS_SUCCESS) return STATUS_OK;

    uint32_t dDwords = fExtended == TRUE ? sReply.wExtPageLength : sReply.sHeader.bPageLength;
    uint32_t dBytes = dDwords * 4;
    if (dBytes > dBufferBytes) return 0;
    sRequest.bAction = bAction;
    if (fExtended == TRUE) {
        sRequest.wExtPageLength = sReply.wExtPageLength;
    } else {
        sRequest.sHeader.bPageLength = sReply.sHeader.bPageLength;
    }
    sRequest.sHeader.bPageVersion = sReply.sHeader.bPageVersion;
    sRequest.dFlagsLength = (fWrite == TRUE ? MPI_SGE_SIMPLE_WRITE : MPI_SGE_SIMPLE_READ) | dBytes;
    sRequest.dAddress = dBufferHandleToPciAddress(dBuffer);
    if (fWrite != TRUE) (void)FillBufferWords(dBuffer, dBytes, 0x12345678);
    if (bConfigRequest(bIocId, fViaRequestQueue, &sRequest, 10, &sReply, dTimeoutMs) != STATUS_OK) return 0;
    if (pwIocStatus != nullptr) *pwIocStatus = sReply.wIOCStatus;
    if (pdByteLength != nullptr) *pdByteLength = dBytes;
    return STATUS_OK;
}

}  // namespace

// Each driver keeps its IOC's record; the target IOC's serves both its port codes.
LSI_MPT_INTERFACE* pGetLSIMPTInterface(uint8_t bIocId) {
    if (LSI_SAS_TARGET_IOC* psTarget = dGetSASTargetIocRecord(bIocId)) return &psTarget->sInterface;
    if (HOST_PORT_MPT_STATE* psPort = pGetHostPortState(bIocId)) return &psPort->sInterface;
    LSI_SAS_DRIVE_ADAPTER* psAdapter = psGetLSIAdapter(bIocId);
    return psAdapter == nullptr ? nullptr : &psAdapter->sInterface;
}

uint8_t bLSIHandshake(uint8_t bIocId, const void* pRequest, uint8_t bRequestDwords, void* pReply,
                      uint8_t bReplyMaxDwords) {
    return bHandshakeFor(bIocId, pRequest, bRequestDwords, pReply, bReplyMaxDwords, LSI_UNTIMED);
}

uint8_t bLSIHandshakeTimed(uint8_t bIocId, const void* pRequest, uint8_t bRequestDwords, void* pReply,
                           uint8_t bReplyMaxDwords, uint32_t dTimeoutMs) {
    LSI_WAIT sWait = TimedWait(dTimeoutMs);
    return bHandshake(bIocId, pRequest, bRequestDwords, pReply, bReplyMaxDwords, &sWait);
}

uint8_t bLSIWaitDoorbellInt(uint8_t bIocId) {
    LSI_MPT_INTERFACE* p = pGetLSIMPTInterface(bIocId);
    LSI_WAIT sWait = SpinWait();
    return p != nullptr && fWaitDoorbellInt(p, &sWait) == TRUE ? STATUS_OK : 0;
}

uint8_t bLSIWaitDoorbellAck(uint8_t bIocId) {
    LSI_MPT_INTERFACE* p = pGetLSIMPTInterface(bIocId);
    LSI_WAIT sWait = SpinWait();
    return p != nullptr && fWaitDoorbellAck(p, &sWait) == TRUE ? STATUS_OK : 0;
}

uint8_t bLSIWaitDoorbellIntTimed(uint8_t bIocId, uint32_t dMsLeft) {
    LSI_MPT_INTERFACE* p = pGetLSIMPTInterface(bIocId);
    LSI_WAIT sWait = TimedWait(dMsLeft);
    return p != nullptr && fWaitDoorbellInt(p, &sWait) == TRUE ? STATUS_OK : 0;
}

uint8_t bLSIWaitDoorbellAckTimed(uint8_t bIocId, uint32_t dMsLeft) {
    LSI_MPT_INTERFACE* p = pGetLSIMPTInterface(bIocId);
    LSI_WAIT sWait = TimedWait(dMsLeft);
    return p != nullptr && fWaitDoorbellAck(p, &sWait) == TRUE ? STATUS_OK : 0;
}

uint8_t bLSIWaitReady(uint8_t bIocId, uint32_t dTimeoutMs) {
    LSI_MPT_INTERFACE* p = pGetLSIMPTInterface(bIocId);
    if (p == nullptr) return 0;
    LSI_WAIT sWait = TimedWait(dTimeoutMs);
    uint32_t dLast = 0;
    (void)fPollRegister(
        p->pdDoorbell,
        [](uint32_t d) { return dIocState(d) == MPI_IOC_STATE_READY && (d & MPI_DOORBELL_IN_USE) == 0; },
        0, &sWait, &dLast);
    return dIocState(dLast) == MPI_IOC_STATE_READY ? STATUS_OK : 0;
}

uint8_t bLSIDownloadFirmware(uint8_t bIocId, const uint8_t* pbImage, uint8_t fDiagnosticLoad) {
    LSI_MPT_INTERFACE* p = pGetLSIMPTInterface(bIocId);
    if (p == nullptr || pbImage == nullptr) return 0;
    if (fDiagnosticLoad == TRUE) return bDiagnosticLoad(bIocId, p, pbImage);
    MPI_FW_IMAGE_HEADER sHeader;
    std::memcpy(&sHeader, pbImage, sizeof sHeader);
    if (sHeader.dImageSize == 0 || sHeader.dImageSize > LSI_MAX_FIRMWARE_IMAGE_BYTES) return 0;
    return bFirmwareTransfer(bIocId, MPI_FUNCTION_FW_DOWNLOAD, MPI_FW_IMAGE_TYPE_FIRMWARE, MPI_SGE_SIMPLE_WRITE,
                             sHeader.dImageSize, dPciAddressOf(pbImage), 5);
}

uint8_t bLSIUploadFirmware(uint8_t bIocId, uint32_t dByteCount, BUFFER_HANDLE dBuffer) {
    if (pGetLSIMPTInterface(bIocId) == nullptr) return 0;
    return bFirmwareTransfer(bIocId, MPI_FUNCTION_FW_UPLOAD, MPI_FW_IMAGE_TYPE_IOC_MEMORY, MPI_SGE_SIMPLE_READ,
                             dByteCount, dBufferHandleToPciAddress(dBuffer), 6);
}

uint8_t bLSIHardResetIOC(uint8_t bIocId) {
    LSI_MPT_INTERFACE* p = pGetLSIMPTInterface(bIocId);
    if (p == nullptr) return 0;
    if (fUnlockDiagnostic(p, 0x12) != TRUE) return 0;
    Reg32Write(p->pdHostDiagnostic,
               Reg32Read(p->pdHostDiagnostic) | MPI_DIAG_PREVENT_IOC_BOOT | MPI_DIAG_RESET_ADAPTER);
    return fWaitResetDone(p) == TRUE ? STATUS_OK : 0;
}

const LSI_DIAG_LOAD_INFO* pGetLSIDiagLoadInfo() { return &s_sDiagLoad; }

uint8_t bLSIConfigPageRead(uint8_t bIocId, uint8_t fExtended, uint8_t fViaRequestQueue, uint8_t bAction,
                           uint8_t bPageNumber, uint8_t bPageType, uint32_t dPageAddress,
                           BUFFER_HANDLE dBuffer, uint32_t dBufferBytes, uint32_t* pdByteLength,
                           uint16_t* pwIocStatus, uint32_t dTimeoutMs) {
    return bConfigPage(bIocId, fExtended, fViaRequestQueue, bAction, bPageNumber, bPageType, dPageAddress, dBuffer,
                       dBufferBytes, FALSE, pdByteLength, pwIocStatus, dTimeoutMs);
}

uint8_t bLSIConfigPageWrite(uint8_t bIocId, uint8_t fExtended, uint8_t fViaRequestQueue, uint8_t bAction,
                            uint8_t bPageNumber, uint8_t bPageType, uint32_t dPageAddress,
                            BUFFER_HANDLE dBuffer, uint32_t dBufferBytes, uint16_t* pwIocStatus,
                            uint32_t dTimeoutMs) {
    return bConfigPage(bIocId, fExtended, fViaRequestQueue, bAction, bPageNumber, bPageType, dPageAddress, dBuffer,
                       dBufferBytes, TRUE, nullptr, pwIocStatus, dTimeoutMs);
}

uint8_t bLSIConfigPageCurrent(uint8_t bIocId, uint8_t fWrite, uint8_t fExtended, uint8_t bPageType,
                              uint8_t bPageNumber, BUFFER_HANDLE dBuffer, uint32_t dBufferBytes) {
    uint16_t wStatus = 0xFFFF;
    uint8_t bResult;
    if (fWrite == TRUE) {
        bResult = bLSIConfigPageWrite(bIocId, fExtended, FALSE, MPI_CONFIG_ACTION_PAGE_WRITE_CURRENT, bPageNumber,
                                      bPageType, 0, dBuffer, dBufferBytes, &wStatus);
    } else {
        uint32_t dLength = 0;
        bResult = bLSIConfigPageRead(bIocId, fExtended, FALSE, MPI_CONFIG_ACTION_PAGE_READ_CURRENT, bPageNumber,
                                     bPageType, 0, dBuffer, dBufferBytes, &dLength, &wStatus);
    }
    return bResult == STATUS_OK && (wStatus & MPI_IOCSTATUS_MASK) == MPI_IOCSTATUS_SUCCESS ? STATUS_OK : 0;
}

uint8_t bLSIIocFacts(uint8_t bIocId, MPI_IOC_FACTS_REPLY* psFacts, uint32_t dTimeoutMs) {
    MPI_SIMPLE_REQUEST sRequest{};
    sRequest.bFunction = MPI_FUNCTION_IOC_FACTS;
    return bHandshakeFor(bIocId, &sRequest, sizeof sRequest / 4, psFacts, sizeof *psFacts / 4, dTimeoutMs);
}

uint8_t bLSIIocInit(uint8_t bIocId, uint8_t bFlags, uint32_t dHostPageBytes, BUS_ADDRESS dHostPages,
                    uint32_t dTimeoutMs) {
    MPI_IOC_INIT_REQUEST sRequest{};
    sRequest.bWhoInit = MPI_WHOINIT_HOST_DRIVER;
    sRequest.bFunction = MPI_FUNCTION_IOC_INIT;
    sRequest.bFlags = bFlags;
    sRequest.bMaxBuses = 1;
    sRequest.wReplyFrameSize = 64;
    if (dHostPageBytes != 0) {
        sRequest.dHostPageBufferFlagsLength = MPI_SGE_HOST_PAGE_BUFFER | dHostPageBytes;
        sRequest.dHostPageBufferAddress = dHostPages;
    }
    MPI_REPLY_HEADER sReply{};
    if (bHandshakeFor(bIocId, &sRequest, sizeof sRequest / 4, &sReply, sizeof sReply / 4, dTimeoutMs) != STATUS_OK) {
        return 0;
    }
    return (sReply.wIOCStatus & MPI_IOCSTATUS_MASK) == MPI_IOCSTATUS_SUCCESS ? STATUS_OK : 0;
}

uint8_t bLSIPortFacts(uint8_t bIocId, MPI_PORT_FACTS_REPLY* psFacts, uint32_t dTimeoutMs) {
    MPI_SIMPLE_REQUEST sRequest{};
    sRequest.bFunction = MPI_FUNCTION_PORT_FACTS;
    if (bHandshakeFor(bIocId, &sRequest, sizeof sRequest / 4, psFacts, sizeof *psFacts / 4, dTimeoutMs) != STATUS_OK) {
        return 0;
    }
    return (psFacts->sHeader.wIOCStatus & MPI_IOCSTATUS_MASK) == MPI_IOCSTATUS_SUCCESS ? STATUS_OK : 0;
}

uint8_t bLSIPortEnable(uint8_t bIocId, uint8_t bPortNumber, uint32_t dTimeoutMs) {
    MPI_SIMPLE_REQUEST sRequest{};
    sRequest.bFunction = MPI_FUNCTION_PORT_ENABLE;
    sRequest.bPortNumber = bPortNumber;
    uint32_t adReply[5];
    return bLSIHandshakeTimed(bIocId, &sRequest, sizeof sRequest / 4, adReply, 5, dTimeoutMs);
}

uint8_t bLSIEventNotificationOn(uint8_t bIocId) {
    MPI_EVENT_NOTIFICATION_REQUEST sRequest{};
    sRequest.bSwitch = 1;
    sRequest.bFunction = MPI_FUNCTION_EVENT_NOTIFICATION;
    uint32_t adReply[8];
    return bLSIHandshake(bIocId, &sRequest, sizeof sRequest / 4, adReply, 8);
}

uint8_t bLSISendBusReset(uint8_t bIocId) {
    if (pGetLSIMPTInterface(bIocId) == nullptr) return 0;
    MPI_SCSI_TASK_MGMT_REQUEST sRequest;
    BuildLSITaskManagement(&sRequest, 7, MPI_TASKTYPE_RESET_BUS, 0);
    uint8_t bLock = LockInterruptSource(INT_SOURCE_HOST_CHIPS);
    uint8_t bResult = bLSIHandshakeTimed(bIocId, &sRequest, sizeof sRequest / 4, nullptr, 0, BUS_RESET_TIMEOUT_MS);
    if (bLock != INT_LOCK_HELD) UnlockInterruptSource(INT_SOURCE_HOST_CHIPS);
    return bResult;
}

void BuildLSITaskManagement(MPI_SCSI_TASK_MGMT_REQUEST* ps, uint8_t bTargetId, uint8_t bTaskType,
                            uint32_t dTaskMsgContext) {
    std::memset(ps, 0, sizeof *ps);
    ps->bTargetId = bTargetId;
    ps->bFunction = MPI_FUNCTION_SCSI_TASK_MGMT;
    ps->bTaskType = bTaskType;
    ps->dTaskMsgContext = dTaskMsgContext;
}

uint8_t bOpenLSIDiagWindow(uint8_t bIocId, uint32_t dAddress) {
    LSI_MPT_INTERFACE* p = pGetLSIMPTInterface(bIocId);
    if (p == nullptr) return 0;
    WriteDiagKey(p);
    if (fWaitDrwe(p) != TRUE) return 0;
    Reg32Write(p->pdHostDiagnostic, Reg32Read(p->pdHostDiagnostic) | MPI_DIAG_RW_ENABLE);
    Reg32Write(p->pdDiagRwAddress, dAddress);
    return STATUS_OK;
}

uint32_t dReadLSIDiagWindow(uint8_t bIocId) {
    LSI_MPT_INTERFACE* p = pGetLSIMPTInterface(bIocId);
    return p == nullptr ? 0 : Reg32Read(p->pdDiagRwData);
}

void CloseLSIDiagWindow(uint8_t bIocId) {
    LSI_MPT_INTERFACE* p = pGetLSIMPTInterface(bIocId);
    if (p == nullptr) return;
    Reg32Write(p->pdHostDiagnostic, Reg32Read(p->pdHostDiagnostic) & ~MPI_DIAG_RW_ENABLE);
    Reg32Write(p->pdWriteSequence, MPI_WRSEQ_FLUSH);
}

uint8_t fTryLSIDiagKey(uint8_t bIocId) {
    LSI_MPT_INTERFACE* p = pGetLSIMPTInterface(bIocId);
    if (p == nullptr) return FALSE;
    WriteDiagKey(p);
    SpinDelayMs(DIAG_UNLOCK_WAIT_MS);
    return ToFlag((Reg32Read(p->pdHostDiagnostic) & MPI_DIAG_DRWE) != 0);
}

uint8_t fHoldLSIIocAt(uint8_t bIocId, uint32_t dAddress) {
    LSI_MPT_INTERFACE* p = pGetLSIMPTInterface(bIocId);
    if (p == nullptr || fHoldIocInReset(p, 0) != TRUE) return FALSE;
    Reg32Write(p->pdDiagRwAddress, dAddress);
    return TRUE;
}

void RestartLSIIocFromLoad(uint8_t bIocId) {
    LSI_MPT_INTERFACE* p = pGetLSIMPTInterface(bIocId);
    if (p == nullptr) return;
    Reg32Write(p->pdDiagRwAddress, s_sDiagLoad.dIopResetRegAddr);
    Reg32Write(p->pdDiagRwData, s_sDiagLoad.dIopResetVectorValue);
    ReleaseHeldIoc(p);
}

uint8_t ReadLSIDiagMemory(uint8_t bIocId, uint32_t dAddress, uint32_t dDwordCount, uint32_t* pdOut) {
    if (bOpenLSIDiagWindow(bIocId, dAddress) != STATUS_OK) return 0;
    for (uint32_t i = 0; i < dDwordCount; ++i) pdOut[i] = dReadLSIDiagWindow(bIocId);
    CloseLSIDiagWindow(bIocId);
    return STATUS_OK;
}

void SetLSIConfigReplyFlag(uint8_t f) { s_fConfigReplyFlag = f; }
uint8_t fGetLSIConfigReplyFlag() { return *static_cast<volatile uint8_t*>(&s_fConfigReplyFlag); }
uint32_t* pGetLSIConfigReplyBuffer() { return s_adConfigReply; }

void PutTargetAssistData(uint8_t* pbFrame, uint32_t dRelativeOffset, uint32_t dAddress1, uint32_t dLength1,
                         uint32_t dAddress2, uint32_t dLength2, uint8_t fToInitiator) {
    const uint32_t dFirst = fToInitiator == TRUE ? SGE_FIRST_TO_INITIATOR : SGE_FIRST_FROM_INITIATOR;
    const uint32_t dLast = fToInitiator == TRUE ? SGE_LAST_TO_INITIATOR : SGE_LAST_FROM_INITIATOR;
    std::memcpy(pbFrame + 24, &dRelativeOffset, 4);
    const uint32_t dTotal = dLength1 + dLength2;
    std::memcpy(pbFrame + 28, &dTotal, 4);
    const uint32_t adElement[4] = {(dLength2 == 0 ? dLast : dFirst) | dLength1, dAddress1, dLast | dLength2, dAddress2};
    std::memcpy(pbFrame + 32, adElement, dLength2 == 0 ? 8 : 16);
}

uint8_t bReadAheadSlotOfTransfer(const KERNEL_ENTRY* ps, uint8_t fWithStatus) {
    const uint8_t bSlot = psCacheFields(ps)->bReadAheadSlot;
    const bool fSlotTransfer = fWithStatus == TRUE && ps->bCommandType == COMMAND_TYPE_READ_AHEAD_2 &&
                               HasFlag(ps, KE_FLAG_READ_AHEAD_HIT) && !HasFlag(ps, KE_FLAG_MORE_PASSES) &&
                               bSlot < READ_AHEAD_SLOTS;
    return fSlotTransfer ? bSlot : 0xFF;
}

}  // namespace fw
