// The small target commands.
#include "target/target_commands.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "cache/outstanding_queues.h"
#include "cache/write_start.h"
#include "config/apply_settings.h"
#include "config/host_lun_tables.h"
#include "config/ld_table.h"
#include "dataservices/data_services.h"
#include "executive/tick.h"
#include "executive/timers.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "fc/fc_driver.h"
#include "hw/fc_target_iocb.h"
#include "hw/scsi.h"
#include "sas/sas_drive.h"
#include "target/buffer_commands.h"
#include "target/command_access.h"
#include "target/command_checks.h"
#include "target/command_replies.h"
#include "target/dispatcher.h"
#include "target/host_command_codes.h"
#include "target/scsi_status.h"
#include "target/stage_rings.h"

namespace fw {

namespace {

constexpr uint8_t ASCQ_BECOMING_READY = 0x01;
constexpr uint8_t ASCQ_FORMAT_IN_PROGRESS = 0x04;
constexpr uint8_t READ_CAPACITY_LONG_FORM = 0x02;   // READ CAPACITY(10) byte 1: answer in the 16-byte layout
constexpr uint8_t READ_CAPACITY_LONG_LENGTH = 12;
constexpr uint8_t SERVICE_ACTION_MASK = 0x1F;
constexpr uint32_t OLDER_WRITES_WAIT_TICKS = 21;
constexpr uint32_t FLUSH_POLL_MS = 10;
constexpr uint8_t DEFECT_FORMAT_MASK = 0x1F;
constexpr uint8_t DEFECT_HEADER_LENGTH = 4;
constexpr uint32_t REPORT_LUNS_MIN_ALLOCATION = 16;
constexpr uint16_t LUN_ENTRY_BYTES = 8;

// VERIFY's BYTCHK field, byte 1 bits 1-2: 0 no compare, 1 the host's
// blocks against the range's, 2 reserved, 3 the host's one block against
// each block of the range.
constexpr uint8_t BYTCHK_SHIFT = 1;
constexpr uint8_t BYTCHK_MASK = 0x03;
constexpr uint8_t BYTCHK_NONE = 0;
constexpr uint8_t BYTCHK_RESERVED = 2;
constexpr uint8_t BYTCHK_ONE_BLOCK = 3;
constexpr uint16_t BYTCHK_BYTE = 1;
constexpr uint8_t BYTCHK_HIGH_BIT = 2;
constexpr uint32_t UNIT_BYTES = 512;
constexpr uint32_t UNITS_PER_PAGE = BUFFER_PAGE_SIZE / UNIT_BYTES;
// The range check of a READ(16) takes fewer than 65536 units of 512 bytes.
constexpr uint64_t MAX_READ_UNITS = 0xFFFF;
// The host's data of the VERIFYs waiting for their reads holds pages those
// reads, and every other command, need: together they hold no more than
// this part of the bank's pages (one alone may hold more).
constexpr uint32_t VERIFY_PAGES_SHARE_DIVISOR = 8;
uint32_t s_dVerifyPagesHeld = 0;

uint32_t dMin(uint32_t a, uint32_t b) { return a < b ? a : b; }

void AnswerGood(KERNEL_ENTRY* psEntry) { AnswerCommand(psEntry, SCSI_STATUS_GOOD, 0, 0); }

// The sense REQUEST SENSE reports when no unit attention is pending.
void GetInitiatorSense(const KERNEL_ENTRY* psEntry, uint8_t* pbKey, uint8_t* pbAsc, uint8_t* pbAscq) {
    *pbKey = SENSE_NO_SENSE;
    *pbAsc = 0;
    *pbAscq = 0;
    switch (psEntry->bPortCode) {
    case PORT_CODE_FC_HOST_1:
    case PORT_CODE_FC_HOST_2:
    case PORT_CODE_INTERNAL:
    case PORT_CODE_MODULE: return;
    case PORT_CODE_SAS_HOST_1:
    case PORT_CODE_SAS_HOST_2:
        GetSASTargetLastSense(psEntry->bPortCode, wGetCommandInitiator(psEntry), pbKey, pbAsc, pbAscq);
        return;
    default: GetSavedSense(psEntry->bPortCode, wGetCommandInitiator(psEntry), pbKey, pbAsc, pbAscq); return;
    }
}

// A parked SYNCHRONIZE CACHE: answered once the metadata flush is over.
void CheckSynchronizeFlush(KERNEL_ENTRY* psEntry, TIMER_NODE*) {
    if (HasFlag(psEntry, KE_FLAG_ABORTED)) {
        MarkFinishedWithoutStatus(psEntry);
        QueueCommandComplete(psEntry->bPortCode, psEntry->wIndex);
        return;
    }
    if (fGetMetadataFlushInProg() == TRUE) {
        InsertTimer(psEntry, CheckSynchronizeFlush, FLUSH_POLL_MS);
        return;
    }
    psEntry->bSecondaryState = SECONDARY_SYNC_IDLE;
    psEntry->bPrimaryState = HOST_STATE_STATUS;
    (void)SendScsiStatus(psEntry, SCSI_STATUS_GOOD, 0, 0);
}

}  // namespace

void AnswerTestUnitReady(KERNEL_ENTRY* psEntry) {
    if (!PassesReservedFieldCheck(psEntry)) return;
    if (fGetDriveLoopsReady() == TRUE) {
        AnswerGood(psEntry);
    } else if (fGetDrivesStarting() == TRUE) {
        AnswerCommand(psEntry, SENSE_NOT_READY, ASC_NOT_READY, ASCQ_BECOMING_READY);
    } else if (fGetDriveLoopsHold() == TRUE) {
        AnswerCommand(psEntry, SENSE_NOT_READY, ASC_NOT_READY, ASCQ_FORMAT_IN_PROGRESS);
    } else {
        AnswerCommand(psEntry, SENSE_NOT_READY, ASC_NOT_READY, 0);
    }
}

void AnswerNoOperation(KERNEL_ENTRY* psEntry) {
    if (PassesReservedFieldCheck(psEntry)) AnswerGood(psEntry);
}

uint8_t bAnswerRequestSense(KERNEL_ENTRY* psEntry, uint8_t fUnitAttention) {
    if (!PassesReservedFieldCheck(psEntry)) return STATUS_OK;
    const uint8_t bAllocation = pGetCommandCdb(psEntry)[4];
    uint8_t bKey = SENSE_UNIT_ATTENTION;
    uint8_t bAsc = ASC_POWER_ON_RESET;
    uint8_t bAscq = 0;
    if (fUnitAttention != TRUE) GetInitiatorSense(psEntry, &bKey, &bAsc, &bAscq);
    if (bAllocation == 0) {
        AnswerGood(psEntry);
        return STATUS_OK;
    }
    uint8_t* pb = pbTakeCommandPages(psEntry, 1);
    if (pb == nullptr) return STATUS_NO_PAGES;
    BuildFixedSense(pb, bKey, bAsc, bAscq);
    return bSendCommandPages(psEntry, dMin(SENSE_FIXED_LENGTH, bAllocation));
}

uint8_t bAnswerReadCapacity(KERNEL_ENTRY* psEntry) {
    if (!PassesReservedFieldCheck(psEntry)) return STATUS_OK;
    const uint8_t* pbCdb = pGetCommandCdb(psEntry);
    const bool fServiceAction = pbCdb[0] == SCSI_SERVICE_ACTION_IN16;
    if (fServiceAction && (pbCdb[1] & SERVICE_ACTION_MASK) != SCSI_SA_READ_CAPACITY16) {
        AnswerCommand(psEntry, SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB, 0);
        return STATUS_OK;
    }
    const uint16_t wLd = psEntry->wLunIndex;
    uint64_t lLastUnit = 0;
    if (bGetLogicalDriveCapacity(wLd, &lLastUnit) != STATUS_OK) {
        AnswerCommand(psEntry, SENSE_ILLEGAL_REQUEST, ASC_LUN_NOT_SUPPORTED, 0);
        return STATUS_OK;
    }
    uint8_t* pb = pbTakeCommandPages(psEntry, 1);
    if (pb == nullptr) return STATUS_NO_PAGES;
    // The last block the range check lets a host address.
    const uint64_t lBlocks = lGetLogicalDriveBlocks(wLd);
    const uint64_t lLastBlock = lBlocks == 0 ? 0 : lBlocks - 1;
    const uint16_t wBlockSize = wGetLogicalDriveBlockSize(wLd);
    uint32_t dLength;
    if (fServiceAction || (pbCdb[1] & READ_CAPACITY_LONG_FORM) != 0) {
        PutBe64(pb, lLastBlock);
        PutBe16(pb + 10, wBlockSize);
        // The allocation length is all of bytes 10-13; never more than the
        // parameter data is sent.
        dLength = fServiceAction ? dMin(dGetBe32(pbCdb + 10), READ_CAPACITY16_LENGTH) : READ_CAPACITY_LONG_LENGTH;
    } else {
        PutBe32(pb, static_cast<uint32_t>(std::min<uint64_t>(lLastBlock, 0xFFFFFFFF)));
        PutBe16(pb + 6, wBlockSize);
        dLength = READ_CAPACITY10_LENGTH;
    }
    return bSendCommandPages(psEntry, dLength);
}

void AnswerVerify(KERNEL_ENTRY* psEntry) {
    if (!PassesReservedFieldCheck(psEntry)) return;
    uint8_t* pbCdb = pGetCommandCdb(psEntry);
    const uint8_t bCompare = (pbCdb[1] >> BYTCHK_SHIFT) & BYTCHK_MASK;
    if (bCompare == BYTCHK_RESERVED) {
        SetSenseCdbField(psEntry, BYTCHK_BYTE, BYTCHK_HIGH_BIT);
        AnswerCommand(psEntry, SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB, 0);
        return;
    }
    const uint16_t wLd = psEntry->wLunIndex;
    const uint32_t dBlocks = dGetBe32(pbCdb + 10);
    // A count of 0 verifies nothing, but its address must still lie inside
    // the drive, as for a READ or WRITE of 0 blocks.
    if (fIsBlockRangeInside(wLd, lGetBe64(pbCdb + 2), dBlocks) != TRUE) {
        AnswerCommand(psEntry, SENSE_ILLEGAL_REQUEST, ASC_LBA_OUT_OF_RANGE, 0);
        return;
    }
    if (bCompare == BYTCHK_NONE || dBlocks == 0) {
        AnswerGood(psEntry);
        return;
    }
    // The blocks are read as a READ(16) of the range would be, which takes
    // no more than that.
    const uint64_t lUnits = static_cast<uint64_t>(dBlocks) * dBlockFactor(wLd);
    if (lUnits > MAX_READ_UNITS) {
        AnswerCommand(psEntry, SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB, 0);
        return;
    }
    // The host's data comes a pass at a time, just before the pass's read:
    // its buffer holds one pass, however long the command.  Taken whole, a
    // compare of 65535 blocks wanted more pages than the bank has, and one
    // of half that waited on what the cache held, both for ever.
    const uint32_t dPassUnits = std::min<uint32_t>(static_cast<uint32_t>(lUnits), MAX_PASS_BLOCKS);
    const uint32_t dDataUnits = bCompare == BYTCHK_ONE_BLOCK ? dBlockFactor(wLd) : dPassUnits;
    const uint32_t dPages = (dDataUnits - 1) / UNITS_PER_PAGE + 1;
    const uint8_t bBank = bBufferBankForPort(psEntry->bPortCode);
    if (s_dVerifyPagesHeld != 0 && s_dVerifyPagesHeld + dPages > dGetAvailablePages(bBank) / VERIFY_PAGES_SHARE_DIVISOR) {
        // Taken, they could leave the reads of the VERIFYs queued before it
        // none: it waits until one of those is answered.
        PutBackNewCommand(psEntry);
        return;
    }
    BUFFER_HANDLE dHandle = NULL_BUFFER_HANDLE;
    if (bAllocDataPages(bBank, dPages, &dHandle) != STATUS_OK) {
        // It waits for pages behind the commands that came after it, not
        // in front of them; the writes the cache holds back go on meanwhile.
        ReleaseHeldWritesForPages();
        PutBackNewCommand(psEntry);
        return;
    }
    HOST_COMMAND_FIELDS* pf = pHostFields(psEntry);
    pf->dVerifyBuffer = static_cast<uint32_t>(dHandle);
    pf->wVerifyPages = static_cast<uint16_t>(dPages);
    s_dVerifyPagesHeld += dPages;
    pf->bVerifyCompare = bCompare;
    pf->fVerifyDataIn = FALSE;
    // The blocks are read as a READ(16) of the range: its admission, its
    // order behind older writes of the blocks, its passes and its failures
    // are the read path's; only its data goes to the compare.  VERIFY and
    // READ(16) keep the range in the same bytes.
    pbCdb[0] = SCSI_READ16;
    pbCdb[1] = 0;
    pbCdb[14] = 0;
    // A command not admitted yet is taken from its ATIO again on ISP24xx
    // ports: the ATIO's copy of the CDB says the same.
    if (fIsFibreHostCommand(psEntry) == TRUE && fIsQL24xx() == TRUE) {
        std::memcpy(pGetAtioCopy(psEntry) + offsetof(ATIO7_ENTRY, abCdb), pbCdb, sizeof(ATIO7_ENTRY::abCdb));
    }
    psEntry->fValid = FALSE;
    PutBackNewCommand(psEntry);
}

uint8_t fStartVerifyData(KERNEL_ENTRY* psEntry) {
    HOST_COMMAND_FIELDS* pf = pHostFields(psEntry);
    if (pf->bVerifyCompare == 0 || pf->fVerifyDataIn == TRUE) return FALSE;
    // BYTCHK 3 takes its one block once, at the first pass; BYTCHK 1 each
    // pass's blocks, from their place in the host's transfer (the pass's
    // offset, which the ports give the transfer).
    const uint32_t dBytes = pf->bVerifyCompare == BYTCHK_ONE_BLOCK ? dBlockFactor(psEntry->wLunIndex) * UNIT_BYTES
                                                                   : static_cast<uint32_t>(psEntry->wBlocks) * UNIT_BYTES;
    psEntry->bCommandType = COMMAND_TYPE_VERIFY_DATA;
    const TRANSFER_SEGMENT sSegment = {static_cast<uint32_t>(dBufferHandleToPciAddress(BUFFER_HANDLE{pf->dVerifyBuffer})),
                                       dBytes};
    StartDataOutTransfer(psEntry, &sSegment, 1);
    DecPortNewCommands(psEntry->bPortCode);
    return TRUE;
}

uint8_t bVerifyDataReceived(KERNEL_ENTRY* psEntry) {
    if (HasFlag(psEntry, KE_FLAG_ABORTED)) {
        MarkFinishedWithoutStatus(psEntry);
        QueueCommandComplete(psEntry->bPortCode, psEntry->wIndex);
        return STATUS_OK;
    }
    // The pass's data is in: its read goes on.
    pHostFields(psEntry)->fVerifyDataIn = TRUE;
    psEntry->bCommandType = 0;
    psEntry->bPrimaryState = HOST_STATE_NEW_COMMAND;
    QueueNewCommand(psEntry->bPortCode, psEntry->wIndex);
    // Its total count stays the one of its arrival.
    DecPortTotalCommands(psEntry->bPortCode);
    return STATUS_OK;
}

uint8_t fIsVerifyCompare(const KERNEL_ENTRY* psEntry) { return ToFlag(pHostFields(psEntry)->bVerifyCompare != 0); }

void CompareVerifyPass(KERNEL_ENTRY* psEntry, BUFFER_HANDLE dMedium, uint32_t dBytes, uint8_t fLastPass) {
    HOST_COMMAND_FIELDS* pf = pHostFields(psEntry);
    const bool fOneBlock = pf->bVerifyCompare == BYTCHK_ONE_BLOCK;
    const uint32_t dBlockBytes = dBlockFactor(psEntry->wLunIndex) * UNIT_BYTES;
    // Where this pass lies in the command's blocks; the host's buffer holds
    // this pass's data only (BYTCHK 1), or its one block (BYTCHK 3).
    const uint32_t dPassOffset = static_cast<uint32_t>(psEntry->wBlocksDone) * UNIT_BYTES;
    const uint8_t* pbMedium = static_cast<const uint8_t*>(pBufferHandleToPointer(dMedium));
    const uint8_t* pbHost = static_cast<const uint8_t*>(pBufferHandleToPointer(BUFFER_HANDLE{pf->dVerifyBuffer}));
    uint32_t dLength = 0;
    for (uint32_t d = 0; d < dBytes; d += dLength) {
        // BYTCHK 3: the host's one block against each block of the range.
        const uint32_t dHostAt = fOneBlock ? (dPassOffset + d) % dBlockBytes : d;
        dLength = fOneBlock ? std::min(dBytes - d, dBlockBytes - dHostAt) : dBytes - d;
        if (std::memcmp(pbMedium + d, pbHost + dHostAt, dLength) == 0) continue;
        uint32_t dByte = 0;
        while (pbMedium[d + dByte] == pbHost[dHostAt + dByte]) ++dByte;
        // The offset of the first byte that differs, from the start of the
        // blocks verified: no later pass is started.
        ClearFlag(psEntry, KE_FLAG_MORE_PASSES);
        SetSenseInformation(psEntry, dPassOffset + d + dByte);
        psEntry->bPrimaryState = HOST_STATE_STATUS;
        (void)SendScsiStatus(psEntry, SENSE_MISCOMPARE, ASC_MISCOMPARE_DURING_VERIFY, 0);
        return;
    }
    if (fLastPass == TRUE) {
        psEntry->bPrimaryState = HOST_STATE_STATUS;
        (void)SendScsiStatus(psEntry, SCSI_STATUS_GOOD, 0, 0);
        return;
    }
    // The next pass asks the host for its own data first.
    if (!fOneBlock) pf->fVerifyDataIn = FALSE;
    // As a pass whose data went to the host: the completion starts the next.
    MarkFinishedWithoutStatus(psEntry);
    QueueCommandComplete(psEntry->bPortCode, psEntry->wIndex);
}

void ReleaseVerifyBuffer(KERNEL_ENTRY* psEntry) {
    HOST_COMMAND_FIELDS* pf = pHostFields(psEntry);
    if (pf->dVerifyBuffer == 0) return;
    (void)wFreeDataPages(BUFFER_HANDLE{pf->dVerifyBuffer}, pf->wVerifyPages);
    s_dVerifyPagesHeld -= std::min<uint32_t>(s_dVerifyPagesHeld, pf->wVerifyPages);
    pf->dVerifyBuffer = 0;
    pf->wVerifyPages = 0;
    pf->bVerifyCompare = 0;
    pf->fVerifyDataIn = FALSE;
}

uint32_t dGetVerifyPagesHeld() { return s_dVerifyPagesHeld; }

void AnswerSeek(KERNEL_ENTRY* psEntry) {
    if (!PassesReservedFieldCheck(psEntry)) return;
    if (fIsBlockRangeInside(psEntry->wLunIndex, lGetBe64(pGetCommandCdb(psEntry) + 2), 0) == TRUE) {
        AnswerGood(psEntry);
    } else {
        AnswerCommand(psEntry, SENSE_ILLEGAL_REQUEST, ASC_LBA_OUT_OF_RANGE, 0);
    }
}

void AnswerSynchronizeCache(KERNEL_ENTRY* psEntry) {
    if (!PassesReservedFieldCheck(psEntry)) return;
    if (fGetCacheFlushCommandDisabled() == TRUE) {
        AnswerGood(psEntry);
        return;
    }
    const uint8_t bPort = psEntry->bPortCode;
    const uint16_t wInitiator = wGetCommandInitiator(psEntry);
    const uint16_t wLd = psEntry->wLunIndex;
    if (dCountOlderInitiatorWrites(bPort, wInitiator, wLd, psEntry->alSequence[0]) != 0 &&
        dGetCoarseTick() - psEntry->dStartTick < OLDER_WRITES_WAIT_TICKS) {
        // Those writes go on at once instead of waiting for their streams.
        ReleaseInitiatorLunWrites(bPort, wInitiator, wLd);
        psEntry->bSecondaryState = SECONDARY_SYNC_IDLE;
        PutBackNewCommand(psEntry);
        return;
    }
    psEntry->bSecondaryState = SECONDARY_SYNC_FLUSHING;
    RequestMetadataFlush();
    SetHostPortWork(PORT_CODE_FC_HOST_1, TRUE);
    SetHostPortWork(PORT_CODE_FC_HOST_2, TRUE);
    // The command waits off the new-command ring, so that the commands
    // behind it are not held up by the flush.
    DecPortNewCommands(bPort);
    psEntry->bPrimaryState = HOST_STATE_SYNC_FLUSH_WAIT;
    CheckSynchronizeFlush(psEntry, nullptr);
}

uint8_t bAnswerReadDefectData(KERNEL_ENTRY* psEntry) {
    if (!PassesReservedFieldCheck(psEntry)) return STATUS_OK;
    const uint8_t* pbCdb = pGetCommandCdb(psEntry);
    uint8_t* pb = pbTakeCommandPages(psEntry, 1);
    if (pb == nullptr) return STATUS_NO_PAGES;
    // The format asked for, and an empty list.
    pb[1] = pbCdb[2] & DEFECT_FORMAT_MASK;
    return bSendCommandPages(psEntry, dMin(DEFECT_HEADER_LENGTH, wGetBe16(pbCdb + 7)));
}

uint8_t bAnswerReportLuns(KERNEL_ENTRY* psEntry) {
    if (!PassesReservedFieldCheck(psEntry)) return STATUS_OK;
    const uint32_t dAllocation = dGetBe32(pGetCommandCdb(psEntry) + 6);
    if (dAllocation < REPORT_LUNS_MIN_ALLOCATION) {
        AnswerCommand(psEntry, SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB, 0);
        return STATUS_OK;
    }
    uint8_t* pb = pbTakeCommandPages(psEntry, REPORT_LUNS_PAGES);
    if (pb == nullptr) return STATUS_NO_PAGES;
    const uint8_t bPort = psEntry->bPortCode;
    const uint16_t wInitiator = wGetCommandInitiator(psEntry);
    const uint16_t wControllerLun = wGetInitiatorControllerLun(psEntry);
    uint32_t dCount = 0;
    for (uint16_t wLun = 0; wLun < HOST_LUN_ROWS; wLun++) {
        uint16_t wLd = NO_LUN_INDEX;
        const bool fListed = wLun == 0 || wLun == wControllerLun ||
                             bLookupPortLun(bPort, wLun, wInitiator, &wLd) != LUN_LOOKUP_NONE;
        if (!fListed) continue;
        uint8_t* pbEntry = pb + LUN_ENTRY_BYTES * (1 + dCount++);
        pbEntry[0] = static_cast<uint8_t>((wLun >> 8) & 0x3F);
        pbEntry[1] = static_cast<uint8_t>(wLun);
    }
    PutBe32(pb, LUN_ENTRY_BYTES * dCount);
    return bSendCommandPages(psEntry, dMin(dAllocation, LUN_ENTRY_BYTES * (1 + dCount)));
}

}  // namespace fw
