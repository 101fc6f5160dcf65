// Mirroring of cached host writes to the partner: the messages that keep
// the partner's copy of this controller's write journal (96 record, 97
// release, 98 issued, 99 stream update), the data of a write sent into the
// mirror buffer the partner took for it (129), and what each answer does
// to the host write that waits for it.
//
// A write-back write is answered GOOD only once the partner said it holds
// the write's data: until then the host command waits in state 28.
#include <cstring>

#include "cache/cache_entry.h"
#include "cache/nvram_journal.h"
#include "config/rank_table.h"
#include "executive/buffer_pages.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "partner/partner_messages.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/stage_rings.h"

namespace fw {

namespace {

constexpr uint32_t BLOCK_BYTES = 512;

// The 48-bit address of a mirror message.
void PutBe48(uint8_t* pb, uint64_t l) {
    PutBe16(pb, static_cast<uint16_t>(l >> 32));
    PutBe32(pb + 2, static_cast<uint32_t>(l));
}
uint64_t lGetBe48(const uint8_t* pb) { return (uint64_t(wGetBe16(pb)) << 32) | dGetBe32(pb + 2); }

// A write's record (96) sent again after the partner had no mirror buffer
// for it: its address all ones asks the partner to look again for a buffer
// for the extent it already recorded in the slot, the one the sequence
// number names.  The partner's pages come back as its own writes reach the
// drives, so the record goes again a little later, a bounded number of
// times (about a second in all); past that the write is written through
// rather than held for a partner that stays short.
constexpr uint8_t MIRROR_FLAG_BUFFER_RETRY = 250;
constexpr uint64_t MIRROR_RETRY_ADDRESS = 0xFFFFFFFFFFFFull;
constexpr uint64_t MIRROR_RETRY_DELAY_MS = 10;

// The 24 bits of a host write's sequence number the partner keeps: bits
// 16-23 in CDB byte 12 (96) or 13 (97, 98), the low 16 in the LUN field.
uint32_t dMirrorSequence(const KERNEL_ENTRY* psEntry) {
    return static_cast<uint32_t>(psEntry->alSequence[0]) & (PARTNER_SEQUENCE_WINDOW * 2 - 1);
}

// A write parked for the partner's answer goes back to the stages.
void Unpark(KERNEL_ENTRY* psEntry) {
    if (psEntry->bPrimaryState != HOST_STATE_MIRROR_WAIT) return;
    psEntry->bPrimaryState = HOST_STATE_DATA_RECEIVED;
    QueueDataReceived(psEntry->wIndex);
}

// The blocks a host write gives the partner's copy of a journal slot: the
// slot, the offset of the write's blocks from the slot's first block, and
// their count.  A stream piece and a continuation's head share lie in the
// head's buffer, after the head's own blocks.
struct MIRROR_PART {
    uint16_t wSlot;
    uint32_t dBlockOffset;
    uint16_t wBlocks;
};

uint8_t fMirrorPart(KERNEL_ENTRY* psEntry, uint8_t fHeadShare, MIRROR_PART* psPart) {
    const CACHE_ENTRY_FIELDS& c = *psCacheFields(psEntry);
    const KERNEL_ENTRY* psSlotOwner = psEntry;
    uint64_t lFirst = psEntry->lInternalAddress;
    uint16_t wBlocks = c.wJournalBlocks;
    switch (psEntry->bCommandType) {
    case COMMAND_TYPE_STREAM_PIECE:
    case COMMAND_TYPE_CLOSING_PIECE:
        psSlotOwner = c.psStreamHead;
        wBlocks = c.wPieceBlocks;
        break;
    case COMMAND_TYPE_CONTINUATION:
        if (fHeadShare == TRUE) {
            psSlotOwner = c.psStreamHead;
            wBlocks = c.wHeadShare;
        } else {
            lFirst += c.wHeadShare;
        }
        break;
    default: break;
    }
    if (psSlotOwner == nullptr || !HasFlag(psSlotOwner, KE_FLAG_JOURNALED) || wBlocks == 0) return FALSE;
    NVRAM_QUEUE_EXTENT s{};
    const uint16_t wSlot = psSlotOwner->wJournalSlot;
    if (fGetNvramQueueExtent(TRUE, wSlot, &s) != TRUE || s.dHandle == NULL_BUFFER_HANDLE || lFirst < s.lFirstBlock ||
        lFirst - s.lFirstBlock > 0xFFFFu) {
        return FALSE;
    }
    psPart->wSlot = wSlot;
    psPart->dBlockOffset = static_cast<uint32_t>(lFirst - s.lFirstBlock);
    psPart->wBlocks = wBlocks;
    return TRUE;
}

// Queues a host write mirror message: 255 and its slot, else below 255.
uint8_t bQueueHostCommandMessage(uint8_t bCode, KERNEL_ENTRY* psEntry, uint8_t fFlag, uint16_t* pwSlot) {
    *pwSlot = PARTNER_NO_SLOT;
    if (fIsDualControllerActive() != TRUE || psEntry == nullptr || psEntry->wIndex >= HOST_ENTRY_COUNT) return 0;
    const CACHE_ENTRY_FIELDS& c = *psCacheFields(psEntry);
    INTER_CONTROLLER_MESSAGE s = sTypedPartnerMessage(bCode);
    const uint32_t dSequence = dMirrorSequence(psEntry);
    PutBe16(s.abCdb + 2, psEntry->wIndex);
    PutBe48(s.abCdb + 4, psEntry->lInternalAddress);
    s.wLun = static_cast<uint16_t>(dSequence);
    // The record names the write's own blocks: the partner takes a mirror
    // buffer of that size, and grows it only when pieces of a stream join
    // it.  Naming the head's whole stream buffer had the partner hold up to
    // 64 times the data of every random write, run short of pages and
    // refuse the mirrors, so that writes went through to the drives.  The
    // issued message names what the buffer still holds, for the trim.
    uint16_t wBlocks = psEntry->wBlocks;
    if (bCode == PARTNER_MESSAGE_ISSUED && c.wBufferBlocks > wBlocks) wBlocks = c.wBufferBlocks;
    if (bCode == PARTNER_MESSAGE_MIRROR) {
        s.abCdb[12] = static_cast<uint8_t>(dSequence >> 16);
        const bool fRetry = fFlag == MIRROR_FLAG_BUFFER_RETRY;
        if (fRetry) PutBe48(s.abCdb + 4, MIRROR_RETRY_ADDRESS);
        // A write whose data follows names its buffer (never 0 in a bank);
        // one that is only journalled there names none.
        if ((fFlag == TRUE || fRetry) && HasFlag(psEntry, KE_FLAG_WRITE_BACK)) {
            PutBe16(s.abCdb + 13, static_cast<uint16_t>(static_cast<uint32_t>(psEntry->dBufferHandle) >> 16));
        }
    } else {
        s.abCdb[12] = fFlag;
        s.abCdb[13] = static_cast<uint8_t>(dSequence >> 16);
    }
    PutBe16(s.abCdb + 10, wBlocks);
    return bSendHostMessageToPartner(&s, psEntry->wIndex, psEntry->alSequence[0], pwSlot);
}

// The partner had no mirror buffer for a write whose array lets it wait for
// one: the record goes again after a short pause.  TRUE when it was queued;
// FALSE once the write asked often enough, or the link cannot take it.
bool AskAgainForMirrorBuffer(KERNEL_ENTRY* psEntry) {
    CACHE_ENTRY_FIELDS& c = *psCacheFields(psEntry);
    if (c.bMirrorBufferRetries >= PARTNER_MIRROR_BUFFER_RETRIES) return false;
    uint16_t wSlot = PARTNER_NO_SLOT;
    if (bQueueHostCommandMessage(PARTNER_MESSAGE_MIRROR, psEntry, MIRROR_FLAG_BUFFER_RETRY, &wSlot) != STATUS_OK) {
        return false;
    }
    ++c.bMirrorBufferRetries;
    PARTNER_MESSAGE_SLOT* ps = nullptr;
    if (pGetOutgoingMessageSlot(wSlot, &ps) == STATUS_OK && ps != nullptr) {
        ps->lResendTick = lGetTickCount() + MIRROR_RETRY_DELAY_MS;
    }
    return true;
}

bool IsNoMirrorBufferAnswer(const PARTNER_MESSAGE_SLOT* ps) {
    return ps->fFailed != TRUE && ps->fSenseValid == TRUE && ps->bSenseKey == 5 && ps->bAsc == 0x55 &&
           ps->bAscq == 0x01;
}

}  // namespace

void SendHostCommandMessage(uint8_t bCode, KERNEL_ENTRY* psEntry, uint8_t fFlag) {
    uint16_t wSlot = PARTNER_NO_SLOT;
    (void)bQueueHostCommandMessage(bCode, psEntry, fFlag, &wSlot);
}

uint8_t bRequestPartnerMirror(KERNEL_ENTRY* psEntry, uint8_t fContinuation) {
    if (fIsDualControllerActive() != TRUE) return 0;
    MIRROR_PART sPart{};
    if (fMirrorPart(psEntry, fContinuation, &sPart) != TRUE) return 0;
    NVRAM_QUEUE_EXTENT sSlot{};
    (void)fGetNvramQueueExtent(TRUE, sPart.wSlot, &sSlot);
    const uint32_t dOffset = sPart.dBlockOffset * BLOCK_BYTES;
    const uint32_t dLength = uint32_t(sPart.wBlocks) * BLOCK_BYTES;
    if (fIsBufferRangeValid(sSlot.dHandle + dOffset, dLength) != TRUE) return 0;
    INTER_CONTROLLER_MESSAGE s = sTypedPartnerMessage(PARTNER_MESSAGE_MIRROR_DATA);
    PutBe16(s.abCdb + 2, sPart.wSlot);
    PutBe32(s.abCdb + 4, dOffset);
    PutBe32(s.abCdb + 8, dLength);
    // Which wait of the write the answer ends: its head share or its own.
    s.abCdb[12] = fContinuation;
    s.wControlFlags = PARTNER_CONTROL_DATA_OUT;
    s.wSegmentCount = 1;
    s.dByteCount = dLength;
    s.adSegment[0] = static_cast<uint32_t>(dBufferHandleToPciAddress(sSlot.dHandle + dOffset));
    s.adSegment[1] = dLength;
    uint16_t wSlot = PARTNER_NO_SLOT;
    return bSendHostMessageToPartner(&s, psEntry->wIndex, psEntry->alSequence[0], &wSlot) == STATUS_OK ? STATUS_OK
                                                                                                        : 0;
}

// The partner answered the record of a write (96): a copy it holds lets the
// write go on to its data; a refusal, or no answer, makes it a write-through
// write, answered only once the drives have it.  A partner only short of
// mirror buffers is asked again, when the write's array lets writes wait for
// one (policy bit 6): the write waits meanwhile.
void PartnerMirrorRecordAnswered(PARTNER_MESSAGE_SLOT* ps, uint8_t fLinkActive) {
    KERNEL_ENTRY* psEntry = psHostCommandOfSlot(ps);
    if (psEntry == nullptr) return;
    CACHE_ENTRY_FIELDS& c = *psCacheFields(psEntry);
    const bool fAnswered = ps->fFailed != TRUE;
    if (c.wMirrorState & MIRROR_REQUESTED) {
        if (IsNoMirrorBufferAnswer(ps) && fIsRankPolicyBit6Set(psEntry->bRank) == TRUE &&
            AskAgainForMirrorBuffer(psEntry)) {
            return;
        }
        const bool fHeld = fAnswered && ps->fSenseValid != TRUE;
        c.wMirrorState = static_cast<uint16_t>((c.wMirrorState & ~MIRROR_REQUESTED) |
                                               (fHeld ? MIRROR_ACCEPTED : MIRROR_REFUSED));
        Unpark(psEntry);
    }
    if (fLinkActive == TRUE && fAnswered) {
        SetFlag(psEntry, KE_FLAG_MIRROR_ACKNOWLEDGED);
        SetHostPortWork(psEntry->bPortCode, TRUE);
    }
}

// The partner answered the data of a write (129).  Data it did not take
// leaves the write without a copy there: it is written through.
void PartnerMirrorDataAnswered(PARTNER_MESSAGE_SLOT* ps) {
    KERNEL_ENTRY* psEntry = psHostCommandOfSlot(ps);
    if (psEntry == nullptr) return;
    CACHE_ENTRY_FIELDS& c = *psCacheFields(psEntry);
    if (ps->fFailed == TRUE || ps->fSenseValid == TRUE) ClearFlag(psEntry, KE_FLAG_WRITE_BACK);
    if (ps->sMessage.abCdb[12] == TRUE) {
        c.wMirrorState = static_cast<uint16_t>((c.wMirrorState & ~MIRROR_CONT_WAITING) | MIRROR_CONT_ASKED);
    } else {
        c.wMirrorState = static_cast<uint16_t>((c.wMirrorState & ~MIRROR_WAITING) | MIRROR_DONE);
    }
    Unpark(psEntry);
}

// ---- copies at a start of both together ------------------------------------

uint8_t bSendStartCopyRecord(uint16_t wSlot, const NVRAM_QUEUE_EXTENT& sExtent, uint32_t dSequence) {
    INTER_CONTROLLER_MESSAGE s = sTypedPartnerMessage(PARTNER_MESSAGE_MIRROR);
    PutBe16(s.abCdb + 2, wSlot);
    PutBe48(s.abCdb + 4, sExtent.lFirstBlock);
    PutBe16(s.abCdb + 10, sExtent.wBlocks);
    s.abCdb[12] = static_cast<uint8_t>(dSequence >> 16);
    s.wLun = static_cast<uint16_t>(dSequence);
    // A copy whose data follows names its buffer, as a cached host write's
    // record does: the partner takes a mirror buffer for it.
    if (sExtent.dHandle != NULL_BUFFER_HANDLE) {
        PutBe16(s.abCdb + 13, static_cast<uint16_t>(static_cast<uint32_t>(sExtent.dHandle) >> 16));
    }
    uint16_t wMessage = PARTNER_NO_SLOT;
    return bSendMessageToPartner(&s, &wMessage, COMMAND_TYPE_START_COPY);
}

uint8_t bSendStartCopyData(uint16_t wSlot, const NVRAM_QUEUE_EXTENT& sExtent) {
    const uint32_t dLength = uint32_t(sExtent.wBlocks) * BLOCK_BYTES;
    INTER_CONTROLLER_MESSAGE s = sTypedPartnerMessage(PARTNER_MESSAGE_MIRROR_DATA);
    PutBe16(s.abCdb + 2, wSlot);
    PutBe32(s.abCdb + 4, 0);
    PutBe32(s.abCdb + 8, dLength);
    s.abCdb[12] = FALSE;
    s.wControlFlags = PARTNER_CONTROL_DATA_OUT;
    s.wSegmentCount = 1;
    s.dByteCount = dLength;
    s.adSegment[0] = static_cast<uint32_t>(dBufferHandleToPciAddress(sExtent.dHandle));
    s.adSegment[1] = dLength;
    uint16_t wMessage = PARTNER_NO_SLOT;
    return bSendMessageToPartner(&s, &wMessage, COMMAND_TYPE_START_COPY);
}

// ---- the receiving side ----------------------------------------------------

uint8_t bReceivePartnerJournalMessage(const uint8_t* pbCdb, uint16_t wLunField) {
    const uint16_t wSlot = wGetBe16(pbCdb + 2);
    const uint64_t lFirst = lGetBe48(pbCdb + 4);
    const uint16_t wBlocks = wGetBe16(pbCdb + 10);
    switch (pbCdb[1]) {
    case PARTNER_MESSAGE_MIRROR: {
        const uint32_t dSequence = (uint32_t(pbCdb[12]) << 16) | wLunField;
        const uint8_t fWantBuffer = ToFlag(pbCdb[13] != 0 || pbCdb[14] != 0);
        const uint8_t b = lFirst == MIRROR_RETRY_ADDRESS
                              ? bRetryPartnerMirrorBuffer(wSlot, dSequence)
                              : bRecordPartnerExtent(wSlot, lFirst, wBlocks, dSequence, fWantBuffer);
        if (b == STATUS_NO_PAGES) return PARTNER_ANSWER_NO_MIRROR_BUFFER;
        return b == STATUS_OK ? STATUS_OK : 0;
    }
    case PARTNER_MESSAGE_STREAM_UPDATE: {
        const uint32_t dSequence = (uint32_t(pbCdb[13]) << 16) | wLunField;
        return bRecordPartnerExtent(wSlot, lFirst, wBlocks, dSequence, FALSE) == STATUS_OK ? STATUS_OK : 0;
    }
    case PARTNER_MESSAGE_MIRROR_DROP:
    case PARTNER_MESSAGE_ISSUED: {
        // Only the write the message names: a late one for a slot that a
        // newer write of the partner took since must not touch its copy.
        const uint32_t dSequence = (uint32_t(pbCdb[13]) << 16) | wLunField;
        uint32_t dHeld = 0;
        if (wSlot >= NVRAM_QUEUE_USED_SLOTS) return 0;
        if (bGetJournalEntryStamp(wSlot, &dHeld) != STATUS_OK || dHeld != dSequence) return STATUS_OK;
        if (pbCdb[1] == PARTNER_MESSAGE_MIRROR_DROP) {
            ReleasePartnerNvramQueueEntry(wSlot, TRUE);
        } else {
            MarkPartnerExtentIssued(wSlot, lFirst, wBlocks, wBlocks, pbCdb[12], ToFlag(pbCdb[PARTNER_CDB_RESEND] == TRUE));
        }
        return STATUS_OK;
    }
    default: return 0;
    }
}

namespace {

// Another piece's data still on its way into the slot's mirror buffer: the
// buffer must not move under it.
bool IsMirrorDataArriving(uint16_t wJournalSlot) {
    for (uint16_t w = 0; w < PARTNER_SLOTS; ++w) {
        PARTNER_MESSAGE_SLOT* ps = nullptr;
        if (pGetIncomingMessageSlot(w, &ps) != STATUS_OK || ps == nullptr) continue;
        if (ps->fInUse == TRUE && ps->bPrimaryState == SLOT_DATA_OUT &&
            ps->sMessage.abCdb[1] == PARTNER_MESSAGE_MIRROR_DATA && wGetBe16(ps->sMessage.abCdb + 2) == wJournalSlot) {
            return true;
        }
    }
    return false;
}

}  // namespace

// Message 129: the data of a partner's write, into the mirror buffer this
// controller took for its journal slot.  Run twice: to start the data-out
// phase, and when the data is in.  16 while the buffer must grow and an
// earlier piece's data is still arriving: the message waits its turn.
uint8_t bReceivePartnerMirrorData(PARTNER_MESSAGE_SLOT* ps) {
    const uint8_t* pbCdb = ps->sMessage.abCdb;
    const uint16_t wSlot = wGetBe16(pbCdb + 2);
    const uint32_t dOffset = dGetBe32(pbCdb + 4);
    const uint32_t dLength = dGetBe32(pbCdb + 8);
    switch (ps->bPrimaryState) {
    case SLOT_DATA_GOOD: {
        // GOOD tells the partner this controller holds the data and would
        // write it out: only when it landed in the slot's buffer as it is
        // now.  Else the partner writes the write through.
        BUFFER_HANDLE dHeld = NULL_BUFFER_HANDLE;
        uint16_t wHeldBlocks = 0;
        if (bGetPartnerNvramQueueEntry(wSlot, &dHeld, &wHeldBlocks) != TRUE ||
            dOffset + dLength > uint32_t(wHeldBlocks) * BLOCK_BYTES) {
            SendPartnerCommandStatus(ps, 5, 0x55, 0x01);
            return STATUS_OK;
        }
        (void)bMarkPartnerBlocksReceived(wSlot, dOffset, dLength);
        SendPartnerCommandStatus(ps, 0, 0, 0);
        return STATUS_OK;
    }
    case SLOT_DATA_FAILED:
        // Sent again by the partner.
        SendPartnerCommandStatus(ps, 0x0B, 0x47, 0);
        return STATUS_OK;
    default: break;
    }
    BUFFER_HANDLE dHandle = NULL_BUFFER_HANDLE;
    uint16_t wBufferBlocks = 0;
    if (wSlot >= NVRAM_QUEUE_USED_SLOTS || dLength == 0 || dLength % BLOCK_BYTES != 0 ||
        dOffset % BLOCK_BYTES != 0 || dOffset + dLength < dOffset) {
        SendPartnerCommandStatus(ps, 5, 0x24, 0);
        return STATUS_OK;
    }
    // No buffer for the slot (none was free when the write was recorded):
    // the partner writes this one through.
    if (bGetPartnerNvramQueueEntry(wSlot, &dHandle, &wBufferBlocks) != TRUE) {
        SendPartnerCommandStatus(ps, 5, 0x55, 0x01);
        return STATUS_OK;
    }
    if (dOffset + dLength > uint32_t(wBufferBlocks) * BLOCK_BYTES) {
        if (IsMirrorDataArriving(wSlot)) return STATUS_RETRY;
        switch (bGrowPartnerMirrorBuffer(wSlot, (dOffset + dLength) / BLOCK_BYTES)) {
        case STATUS_OK: break;
        case STATUS_NO_PAGES: SendPartnerCommandStatus(ps, 5, 0x55, 0x01); return STATUS_OK;
        default: SendPartnerCommandStatus(ps, 5, 0x24, 0); return STATUS_OK;
        }
        (void)bGetPartnerNvramQueueEntry(wSlot, &dHandle, &wBufferBlocks);
    }
    if (bReceiveDataFromPartnerInitiator(ps, dBufferHandleToPciAddress(dHandle + dOffset), dLength) != STATUS_OK) {
        SendPartnerCommandStatus(ps, 0x0B, 0x47, 0);
    }
    return STATUS_OK;
}

}  // namespace fw
