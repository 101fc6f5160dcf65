// Drive commands the partner asks this controller to issue through its own
// drive side: the drive's data and status go back to the partner as the
// answer of its command.
#include <cstring>

#include "executive/buffer_pages.h"
#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "executive/types.h"
#include "hw/scsi.h"
#include "sas/partner_traffic.h"
#include "partner/partner_messages.h"
#include "sas/sas_device_list.h"
#include "sas/sas_scsi_path.h"
#include "target/back_end_completion.h"

namespace fw {

namespace {

// The drive id that names no drive: the partner tests the link with it, and
// nothing is issued.
constexpr uint8_t FORWARDED_LOOPBACK_DRIVE = 0x7E;
// The most a forwarded command moves.  A larger one could never get its
// pages and would hold up every message behind it.
constexpr uint32_t FORWARDED_MAX_BYTES = 1024 * 1024;

constexpr uint8_t FORWARDED_DATA_NONE = 0;
constexpr uint8_t FORWARDED_DATA_IN = 1;    // from the drive
constexpr uint8_t FORWARDED_DATA_OUT = 2;   // to the drive

struct FORWARDED_SHAPE {
    uint8_t fSupported;
    uint8_t bDirection;
    uint32_t dLength;
};

// Length and direction of the data from the drive command (CDB bytes 1-10 of
// the message).
FORWARDED_SHAPE sForwardedShape(const uint8_t* pbDrive) {
    switch (pbDrive[0]) {
    case SCSI_READ10: return {TRUE, FORWARDED_DATA_IN, uint32_t(wGetBe16(pbDrive + 7)) * 512u};
    case SCSI_WRITE10: return {TRUE, FORWARDED_DATA_OUT, uint32_t(wGetBe16(pbDrive + 7)) * 512u};
    case 0x00:
    case 0x1B:
    case 0x2F:
    case 0x35: return {TRUE, FORWARDED_DATA_NONE, 0};
    case 0x25: return {TRUE, FORWARDED_DATA_IN, 8};
    case 0x12:
    case 0x1A: return {TRUE, FORWARDED_DATA_IN, pbDrive[4]};
    case 0x15: return {TRUE, FORWARDED_DATA_OUT, pbDrive[4]};
    case 0x1C: return {TRUE, FORWARDED_DATA_IN, wGetBe16(pbDrive + 3)};
    case 0x1D: return {TRUE, FORWARDED_DATA_OUT, wGetBe16(pbDrive + 3)};
    default: return {FALSE, FORWARDED_DATA_NONE, 0};
    }
}

const uint8_t* pDriveCdb(const PARTNER_MESSAGE_SLOT* ps) { return ps->sMessage.abCdb + 1; }

// The drive travels in the first LUN byte of the message, bit 7 aside.
uint8_t bForwardedDrive(const PARTNER_MESSAGE_SLOT* ps) { return wGetPartnerCommandLun(ps) & 0x7F; }

uint16_t wPagesFor(uint32_t dLength) { return static_cast<uint16_t>((dLength + BUFFER_PAGE_SIZE - 1) / BUFFER_PAGE_SIZE); }

void FreeSlotPages(PARTNER_MESSAGE_SLOT* ps) {
    if (ps->wPageCount != 0) (void)wFreeDataPages(ps->dBuffer, ps->wPageCount);
    ps->dBuffer = NULL_BUFFER_HANDLE;
    ps->wPageCount = 0;
}

// The answer that ends the command here.
void Answer(PARTNER_MESSAGE_SLOT* ps, uint8_t bKey, uint8_t bAsc, uint8_t bAscq) {
    ps->bPrimaryState = SLOT_DONE;
    SendPartnerCommandStatus(ps, bKey, bAsc, bAscq);
}

// The drive's data back to the partner with GOOD status; a data phase that
// cannot start asks the partner to send the command again.
void SendData(PARTNER_MESSAGE_SLOT* ps, uint32_t dLength) {
    ps->bPrimaryState = SLOT_DONE;
    if (bSendDataToPartnerInitiator(ps, dBufferHandleToPciAddress(ps->dBuffer), dLength, 0) != STATUS_OK) {
        SendPartnerCommandStatus(ps, 0x0B, 0x47, 0);
    }
}

// Takes the slot's pages: false, with what the handler returns, while the
// command waits for them or once it was answered instead.
bool TakePages(PARTNER_MESSAGE_SLOT* ps, uint32_t dLength, uint8_t* pbResult) {
    *pbResult = STATUS_OK;
    if (dLength == 0) return true;
    if (!TakePartnerSlotPages(ps, wPagesFor(dLength), pbResult)) return false;
    ps->bCommandType = COMMAND_TYPE_PARTNER_MESSAGE;
    return true;
}

// Issues the drive command on the initiator side; STATUS_RETRY when no
// internal entry is free.
uint8_t bIssueDriveCommand(PARTNER_MESSAGE_SLOT* ps, const FORWARDED_SHAPE& s) {
    KERNEL_ENTRY* psEntry = nullptr;
    if (bAllocKernelEntries(PORT_CODE_INITIATOR, 1, &psEntry) != STATUS_OK || psEntry == nullptr) {
        if (ps->bPrimaryState == SLOT_RECEIVED) FreeSlotPages(ps);
        return STATUS_RETRY;
    }
    uint8_t abCdb[16] = {};
    std::memcpy(abCdb, pDriveCdb(ps), 10);
    const uint16_t wDirection = s.bDirection == FORWARDED_DATA_IN    ? PARTNER_CONTROL_IN_BIT
                                : s.bDirection == FORWARDED_DATA_OUT ? PARTNER_CONTROL_OUT_BIT
                                                                     : 0;
    const bool fData = s.dLength != 0;
    BuildInternalDriveCommand(psEntry, PORT_CODE_INITIATOR, bForwardedDrive(ps), fData ? s.dLength : 0,
                              static_cast<uint16_t>(wDirection | PARTNER_CONTROL_NO_DATA),
                              fData ? static_cast<uint32_t>(dBufferHandleToPciAddress(ps->dBuffer)) : 0,
                              fData ? 1 : 0, 0, abCdb, COMMAND_TYPE_PARTNER_MESSAGE);
    psEntry->wTimeout = 8;
    std::memcpy(psEntry->abPartnerSlot, &ps->wSlot, sizeof ps->wSlot);
    ps->bCommandType = COMMAND_TYPE_PARTNER_MESSAGE;
    ps->wSecondIndex = psEntry->wIndex;
    ps->bPrimaryState = SLOT_DRIVE_COMMAND;
    if (QueueKernelEntry(PORT_CODE_INITIATOR, psEntry->wIndex) != STATUS_OK) {
        ps->wSecondIndex = 0xFFFF;
        FreeKernelEntries(psEntry);
        Answer(ps, 0x0B, 0x44, 0);
    }
    return STATUS_OK;
}

// Nothing is issued for the loopback drive: a read returns zeroed pages, a
// write is taken.
void AnswerLoopback(PARTNER_MESSAGE_SLOT* ps, const FORWARDED_SHAPE& s) {
    switch (pDriveCdb(ps)[0]) {
    case SCSI_READ10:
        if (s.dLength == 0) {
            Answer(ps, 0, 0, 0);
            return;
        }
        // Fresh pages hold whatever their last user left there.
        std::memset(pBufferHandleToPointer(ps->dBuffer), 0, s.dLength);
        SendData(ps, s.dLength);
        return;
    case SCSI_WRITE10: Answer(ps, 0, 0, 0); return;
    default: Answer(ps, 5, 0x20, 0); return;
    }
}

}  // namespace

uint8_t HandleForwardedDriveCommand(PARTNER_MESSAGE_SLOT* ps) {
    const FORWARDED_SHAPE s = sForwardedShape(pDriveCdb(ps));
    const uint8_t bDrive = bForwardedDrive(ps);
    if (s.fSupported != TRUE) {
        Answer(ps, 5, 0x20, 0);
        return STATUS_OK;
    }
    if (ps->bPrimaryState == SLOT_RECEIVED) {
        if (s.dLength > FORWARDED_MAX_BYTES) {
            Answer(ps, 5, 0x24, 0);
            return STATUS_OK;
        }
        if (bDrive != FORWARDED_LOOPBACK_DRIVE) {
            if (psGetSASDeviceOfTarget(bDrive) == nullptr) {
                Answer(ps, 0x0B, 0x44, 0x01);
                return STATUS_OK;
            }
            if (dGetSASTargetFlags(bDrive) & SAS_TARGET_FLAG_BATCH_FAILED) {
                ClearSASTargetFlagBits(bDrive, SAS_TARGET_FLAG_BATCH_FAILED);
                Answer(ps, 0x0B, 0, 0);
                return STATUS_OK;
            }
        }
    }
    if (uint8_t bResult = STATUS_OK; !TakePages(ps, s.dLength, &bResult)) return bResult;
    if (s.bDirection == FORWARDED_DATA_OUT && s.dLength != 0 && ps->bPrimaryState == SLOT_RECEIVED) {
        const uint8_t b = bReceiveDataFromPartnerInitiator(ps, dBufferHandleToPciAddress(ps->dBuffer), s.dLength);
        if (b != STATUS_OK) {
            FreeSlotPages(ps);
            ps->bPrimaryState = SLOT_RECEIVED;
        }
        return b;
    }
    if (ps->bPrimaryState == SLOT_DATA_FAILED) {
        Answer(ps, 0x0B, 0x47, 0);
        return STATUS_OK;
    }
    if (ps->bPrimaryState != SLOT_DATA_GOOD && ps->bPrimaryState != SLOT_RECEIVED) return STATUS_OK;
    if (bDrive == FORWARDED_LOOPBACK_DRIVE) {
        AnswerLoopback(ps, s);
        return STATUS_OK;
    }
    return bIssueDriveCommand(ps, s);
}

void ForwardedDriveCommandDone(KERNEL_ENTRY* psEntry) {
    uint16_t wSlot = PARTNER_NO_SLOT;
    std::memcpy(&wSlot, psEntry->abPartnerSlot, sizeof wSlot);
    PARTNER_MESSAGE_SLOT* ps = nullptr;
    if (pGetIncomingMessageSlot(wSlot, &ps) != STATUS_OK || ps->fInUse != TRUE ||
        ps->wSecondIndex != psEntry->wIndex || ps->bPrimaryState != SLOT_DRIVE_COMMAND) {
        return;
    }
    ps->wSecondIndex = 0xFFFF;
    if (ps->dFlags & SLOT_FLAG_CANCELLED) {
        ps->bPrimaryState = SLOT_DONE;
        (void)fPartnerCommandTransferDone(ps->bPortCode, 0, ps);
        return;
    }
    // The drive side marks every failed command aborted, a CHECK CONDITION
    // too: the drive's own sense goes first.
    if (psEntry->lFlags & KE_FLAG_SENSE_PRESENT) {
        const SAS_ENTRY_FIELDS* psDrive = psSasFields(psEntry);
        Answer(ps, psDrive->bSenseKey, psDrive->bAsc, psDrive->bAscq);
        return;
    }
    if (psEntry->lFlags & KE_FLAG_ABORTED) {
        Answer(ps, 0x0B, 0x44, 0);
        return;
    }
    const FORWARDED_SHAPE s = sForwardedShape(pDriveCdb(ps));
    if (s.bDirection == FORWARDED_DATA_IN && s.dLength != 0) {
        SendData(ps, s.dLength);
        return;
    }
    Answer(ps, 0, 0, 0);
}

uint8_t fPartnerCommandComplete(KERNEL_ENTRY* psEntry) {
    ForwardedDriveCommandDone(psEntry);
    return TRUE;
}

// The slot was cancelled (its path went): its drive command ends as aborted.
void AbortForwardedDriveCommand(uint16_t wEntry) {
    KERNEL_ENTRY* psEntry = nullptr;
    GetKernelEntryAddress(wEntry, &psEntry);
    if (psEntry != nullptr && psEntry->fUsed == TRUE && psEntry->bCommandType == COMMAND_TYPE_PARTNER_MESSAGE) {
        psEntry->lFlags |= KE_FLAG_ABORTED;
    }
}

}  // namespace fw
