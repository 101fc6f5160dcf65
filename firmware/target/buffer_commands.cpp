// READ BUFFER and WRITE BUFFER.
//
// On port codes 49 and 50 the echo-buffer modes are served here, each
// initiator below 16 with a page of its own; every other mode belongs to
// the management protocol or, for downloads, to the platform services.
#include "target/buffer_commands.h"

#include <cstring>

#include "config/config_flags.h"
#include "console/xmodem_receive.h"
#include "enclosure/drive_management.h"
#include "eventlog/event_log.h"
#include "executive/buffer_pages.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "hw/scsi.h"
#include "mgmt/management.h"
#include "platform/firmware_download.h"
#include "target/command_access.h"
#include "target/command_replies.h"
#include "target/host_command_codes.h"
#include "target/scsi_status.h"
#include "target/stage_rings.h"

namespace fw {

namespace {

constexpr uint8_t ECHO_GROUPS = 2;
constexpr uint8_t MODE_MASK = 0x0F;
constexpr uint8_t MODE_DATA = 2;
constexpr uint8_t MODE_DESCRIPTOR = 3;
constexpr uint8_t MODE_DOWNLOAD = 5;
constexpr uint8_t MODE_DOWNLOAD_SAVE = 7;
constexpr uint8_t MODE_ECHO_DATA = 10;
constexpr uint8_t MODE_ECHO_DESCRIPTOR = 11;
constexpr uint8_t COMMAND_TYPE_ECHO_WRITE = 'G';
constexpr uint8_t ECHO_DESCRIPTOR[4] = {0x01, 0x00, 0x10, 0x00};   // capacity 4096 bytes
constexpr uint32_t BUSY_RECHECK_MS = 10;
constexpr uint8_t ASCQ_FIRMWARE_BUFFER_REFUSED = 0x02;

// Why a WRITE BUFFER must wait for a long job (event 158).
constexpr uint8_t BUSY_CONFIGURATION = 1;
constexpr uint8_t BUSY_DRIVE_FIRMWARE = 2;
constexpr uint8_t BUSY_ENCLOSURE_UPDATE = 3;
constexpr uint8_t BUSY_CONSOLE_DOWNLOAD = 4;
constexpr uint8_t NOT_BUSY = 0;

struct ECHO_BUFFER {
    BUFFER_HANDLE dHandle;   // none when start-up found no page
    uint16_t wLength;        // 0: nothing written
    uint8_t fValid;
};
struct SAVED_SENSE {
    uint8_t bKey;
    uint8_t bAsc;
    uint8_t bAscq;
};

ECHO_BUFFER s_aasEcho[ECHO_GROUPS][ECHO_INITIATORS];
SAVED_SENSE s_aasSavedSense[ECHO_GROUPS][ECHO_INITIATORS];
KERNEL_ENTRY* s_psDeferredWriteBuffer = nullptr;

uint8_t bGroupOf(uint8_t bPortCode) { return bPortCode == PORT_CODE_FC_TABLE_1 ? 0 : 1; }

bool IsEchoPort(uint8_t bPortCode) { return bPortCode == PORT_CODE_FC_TABLE_1 || bPortCode == PORT_CODE_FC_TABLE_2; }

// The initiator's echo buffer; null for an initiator without one.
ECHO_BUFFER* psEchoOf(const KERNEL_ENTRY* psEntry) {
    const uint16_t wInitiator = wGetCommandInitiator(psEntry);
    if (wInitiator >= ECHO_INITIATORS) return nullptr;
    ECHO_BUFFER* ps = &s_aasEcho[bGroupOf(psEntry->bPortCode)][wInitiator];
    return ps->dHandle == NULL_BUFFER_HANDLE ? nullptr : ps;
}

bool IsEchoRead(uint8_t bPortCode, uint8_t bMode, uint8_t bBufferId) {
    if (!IsEchoPort(bPortCode)) return false;
    if (bMode == MODE_ECHO_DATA || bMode == MODE_ECHO_DESCRIPTOR) return true;
    const bool fIdAllowed = bBufferId == 0 || bPortCode == PORT_CODE_FC_TABLE_2;
    return fIdAllowed && (bMode == MODE_DATA || bMode == MODE_DESCRIPTOR);
}

bool IsEchoWrite(uint8_t bPortCode, uint8_t bMode, uint8_t bBufferId) {
    return IsEchoPort(bPortCode) && (bMode == MODE_ECHO_DATA || (bMode == MODE_DATA && bBufferId == 0));
}

uint8_t bReadEchoBuffer(KERNEL_ENTRY* psEntry, uint8_t bMode, uint32_t dAllocation) {
    const ECHO_BUFFER* psEcho = psEchoOf(psEntry);
    if (psEcho == nullptr) {
        AnswerCommand(psEntry, SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB, 0);
        return STATUS_OK;
    }
    if (bMode == MODE_DESCRIPTOR || bMode == MODE_ECHO_DESCRIPTOR) {
        uint8_t* pb = pbTakeCommandPages(psEntry, 1);
        if (pb == nullptr) return STATUS_NO_PAGES;
        std::memcpy(pb, ECHO_DESCRIPTOR, sizeof(ECHO_DESCRIPTOR));
        const uint32_t dDescriptor = sizeof(ECHO_DESCRIPTOR);
        return bSendCommandPages(psEntry, dAllocation < dDescriptor ? dAllocation : dDescriptor);
    }
    if (psEcho->fValid != TRUE || psEcho->wLength == 0 || psEcho->wLength > ECHO_BUFFER_BYTES) {
        AnswerCommand(psEntry, SENSE_ILLEGAL_REQUEST, ASC_COMMAND_SEQUENCE_ERROR, 0);
        return STATUS_OK;
    }
    // Straight from the echo buffer, which the command does not own.
    const uint32_t dLength = dAllocation < psEcho->wLength ? dAllocation : psEcho->wLength;
    return bSendCommandData(psEntry, dBufferHandleToPciAddress(psEcho->dHandle), dLength);
}

uint8_t bWriteEchoBuffer(KERNEL_ENTRY* psEntry, uint32_t dLength) {
    ECHO_BUFFER* psEcho = psEchoOf(psEntry);
    if (psEcho == nullptr || dLength > ECHO_BUFFER_BYTES) {
        AnswerCommand(psEntry, SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB, 0);
        return STATUS_OK;
    }
    psEcho->wLength = static_cast<uint16_t>(dLength);
    psEcho->fValid = TRUE;
    // Nothing to receive: a data phase of no bytes would never end.
    if (dLength == 0) {
        AnswerCommand(psEntry, SCSI_STATUS_GOOD, 0, 0);
        return STATUS_OK;
    }
    psEntry->bCommandType = COMMAND_TYPE_ECHO_WRITE;
    const TRANSFER_SEGMENT sSegment = {static_cast<uint32_t>(dBufferHandleToPciAddress(psEcho->dHandle)), dLength};
    StartDataOutTransfer(psEntry, &sSegment, 1);
    DecPortNewCommands(psEntry->bPortCode);
    return STATUS_OK;
}

// A management WRITE BUFFER still being carried out, other than this one:
// one whose status is on its way is done with.
bool IsDeferredWriteBufferBusy(const KERNEL_ENTRY* psEntry) {
    const KERNEL_ENTRY* ps = s_psDeferredWriteBuffer;
    if (ps == nullptr || ps == psEntry) return false;
    const uint8_t* pbCdb = pGetCommandCdb(ps);
    const bool fAnswered = ps->bPrimaryState == HOST_STATE_STATUS || ps->bPrimaryState == HOST_STATE_COMPLETE;
    return ps->fUsed == TRUE && !HasFlag(ps, KE_FLAG_ABORTED) && !fAnswered && pbCdb != nullptr &&
           pbCdb[0] == SCSI_WRITE_BUFFER;
}

uint8_t bLongJobRunning() {
    if (fIsConfigUpdatePending() == TRUE || fIsConfigCommitInProgress() == TRUE) return BUSY_CONFIGURATION;
    if (fIsDriveFirmwareDownloadInProgress() == TRUE) return BUSY_DRIVE_FIRMWARE;
    if (fGetIoModuleUpdateFlag() == TRUE) return BUSY_ENCLOSURE_UPDATE;
    if (fIsXmodemReceiveActive() == TRUE) return BUSY_CONSOLE_DOWNLOAD;
    return NOT_BUSY;
}

}  // namespace

void InitEchoBuffers() {
    for (auto& asGroup : s_aasEcho) {
        for (ECHO_BUFFER& s : asGroup) {
            s = ECHO_BUFFER{NULL_BUFFER_HANDLE, 0, FALSE};
            if (bAllocDataPages(0, 1, &s.dHandle) != STATUS_OK) {
                s.dHandle = NULL_BUFFER_HANDLE;
                continue;
            }
            (void)FillBufferWords(s.dHandle, BUFFER_PAGE_SIZE, 0);
        }
    }
    std::memset(s_aasSavedSense, 0, sizeof(s_aasSavedSense));
    s_psDeferredWriteBuffer = nullptr;
}

uint8_t bAnswerReadBuffer(KERNEL_ENTRY* psEntry) {
    if (!PassesReservedFieldCheck(psEntry)) return STATUS_OK;
    const uint8_t* pbCdb = pGetCommandCdb(psEntry);
    const uint8_t bMode = pbCdb[1] & MODE_MASK;
    if (IsEchoRead(psEntry->bPortCode, bMode, pbCdb[2])) return bReadEchoBuffer(psEntry, bMode, dGetBe24(pbCdb + 6));
    return bReadManagementPage(psEntry);
}

uint8_t bAnswerWriteBuffer(KERNEL_ENTRY* psEntry) {
    if (!PassesReservedFieldCheck(psEntry)) return STATUS_OK;
    if (IsDeferredWriteBufferBusy(psEntry)) {
        // The one in progress may end meanwhile: the chips are served while
        // this waits.
        SpinDelayMs(BUSY_RECHECK_MS);
        if (IsDeferredWriteBufferBusy(psEntry)) {
            AnswerCommand(psEntry, SENSE_NOT_READY, ASC_NOT_READY, 0);
            return STATUS_OK;
        }
    }
    if (fFinishIfLoopReset(psEntry) == TRUE) {
        DecPortNewCommands(psEntry->bPortCode);
        return STATUS_OK;
    }
    const uint8_t* pbCdb = pGetCommandCdb(psEntry);
    const uint8_t bMode = pbCdb[1] & MODE_MASK;
    const uint8_t bBufferId = pbCdb[2];
    if (IsEchoWrite(psEntry->bPortCode, bMode, bBufferId)) return bWriteEchoBuffer(psEntry, dGetBe24(pbCdb + 6));
    const bool fDownload = bMode == MODE_DOWNLOAD || bMode == MODE_DOWNLOAD_SAVE;
    const uint8_t bBusy = bLongJobRunning();
    if (bBusy != NOT_BUSY) {
        if (fDownload) {
            PostEvent(EVENT_FIRMWARE_BUFFER_REFUSED, bBufferId, bBusy);
            AnswerCommand(psEntry, SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_PARAMETERS,
                          ASCQ_FIRMWARE_BUFFER_REFUSED);
        } else {
            AnswerCommand(psEntry, SENSE_NOT_READY, ASC_NOT_READY, 0);
        }
        return STATUS_OK;
    }
    s_psDeferredWriteBuffer = psEntry;
    return fDownload ? bStartFirmwareDownload(psEntry) : bStartManagementWriteBuffer(psEntry);
}

void FinishEchoBufferWrite(KERNEL_ENTRY* psEntry) {
    psEntry->bPrimaryState = HOST_STATE_STATUS;
    (void)SendScsiStatus(psEntry, SCSI_STATUS_GOOD, 0, 0);
}

KERNEL_ENTRY* psGetDeferredWriteBuffer() { return s_psDeferredWriteBuffer; }

void SetSavedSense(uint8_t bPortCode, uint8_t bInitiator, uint8_t bKey, uint8_t bAsc, uint8_t bAscq) {
    SAVED_SENSE* psGroup = s_aasSavedSense[bGroupOf(bPortCode)];
    const SAVED_SENSE s = {bKey, bAsc, bAscq};
    if (bInitiator == ALL_SAVED_SENSE_INITIATORS) {
        for (uint8_t i = 0; i < ECHO_INITIATORS; i++) psGroup[i] = s;
    } else if (bInitiator < ECHO_INITIATORS) {
        psGroup[bInitiator] = s;
    }
}

void GetSavedSense(uint8_t bPortCode, uint16_t wInitiator, uint8_t* pbKey, uint8_t* pbAsc, uint8_t* pbAscq) {
    SAVED_SENSE s = {SENSE_NO_SENSE, 0, 0};
    if (wInitiator < ECHO_INITIATORS) s = s_aasSavedSense[bGroupOf(bPortCode)][wInitiator];
    *pbKey = s.bKey;
    *pbAsc = s.bAsc;
    *pbAscq = s.bAscq;
}

}  // namespace fw
