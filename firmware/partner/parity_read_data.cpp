#include "partner/parity_read_data.h"

#include <cstring>

#include "cache/nvram_journal.h"
#include "config/config_image.h"
#include "config/rank_table.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/kernel_entry.h"
#include "executive/types.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "partner/partner_messages.h"
#include "raid/child_commands.h"
#include "target/back_end_completion.h"
#include "target/host_command_codes.h"

namespace fw {

namespace {

constexpr uint8_t KIND_RAID5_PAIR = 162;
constexpr uint8_t KIND_RAID6_UPDATE = 215;
constexpr uint8_t KIND_RAID6_DEGRADED_P = 228;
constexpr uint8_t KIND_RAID6_DEGRADED_DATA = 229;
constexpr uint8_t KIND_RAID6_DEGRADED_Q = 230;

PARITY_READ_DATA_ENTRY s_asEntry[PARITY_READ_DATA_ENTRIES];
// The write-back of each entry after the partner is lost: the next of its
// (up to three) member writes to issue, and how many are on their way.
uint8_t s_abReplayStep[PARITY_READ_DATA_ENTRIES];
uint8_t s_abReplayOutstanding[PARITY_READ_DATA_ENTRIES];

bool IsKnownKind(uint8_t bKind) {
    return bKind == KIND_RAID5_PAIR || bKind == KIND_RAID6_UPDATE || bKind == KIND_RAID6_DEGRADED_P ||
           bKind == KIND_RAID6_DEGRADED_DATA || bKind == KIND_RAID6_DEGRADED_Q;
}

void SetFree(uint16_t w) {
    PARITY_READ_DATA_ENTRY& e = s_asEntry[w];
    std::memset(&e, 0, sizeof e);
    e.wEntry = w;
    e.fValid = FALSE;
    e.fReplayAllowed = FALSE;
    e.bRank = 0xFF;
    e.bParityMember = 0xFF;
    e.bDataMember = 0xFF;
    e.dBuffer = NULL_BUFFER_HANDLE;
    e.wJournalIndex = 0xFFFF;
    s_abReplayStep[w] = 0;
    s_abReplayOutstanding[w] = 0;
}

uint16_t wBlocksOf(const PARITY_READ_DATA_ENTRY& e) { return wGetBe16(e.abBlocks); }

// The stamp of the partner's journal entry, when that entry is valid.
uint8_t bJournalStamp(uint16_t wIndex, uint32_t* pdStamp) { return bGetJournalEntryStamp(wIndex, pdStamp); }

bool IsJournalEntryCurrent(const PARITY_READ_DATA_ENTRY& e) {
    uint32_t dStamp = 0;
    return bJournalStamp(e.wJournalIndex, &dStamp) == STATUS_OK && dStamp == e.dJournalStamp;
}

// The members an entry writes back, in order, from successive block-count
// runs of its buffer: parity, then for a dual-parity update the member
// after it, then the data member.
uint8_t bReplayMembers(const PARITY_READ_DATA_ENTRY& e, uint8_t* pbMembers) {
    uint8_t n = 0;
    pbMembers[n++] = e.bParityMember;
    if (e.bKind == KIND_RAID6_UPDATE) {
        const uint8_t bDrives = bGetRankDriveCount(e.bRank);
        pbMembers[n++] = static_cast<uint8_t>(bDrives == 0 ? 0 : (e.bParityMember + 1) % bDrives);
    }
    pbMembers[n++] = e.bDataMember;
    return n;
}

}  // namespace

void InitParityReadDataQueue() {
    for (uint16_t w = 0; w < PARITY_READ_DATA_ENTRIES; ++w) SetFree(w);
}

const PARITY_READ_DATA_ENTRY* psGetParityReadDataEntry(uint16_t wEntry) {
    return wEntry < PARITY_READ_DATA_ENTRIES ? &s_asEntry[wEntry] : nullptr;
}

uint32_t dParityDataBlocks(uint8_t bKind, uint16_t wBlocks) {
    switch (bKind) {
    case KIND_RAID5_PAIR:
    case KIND_RAID6_DEGRADED_P:
    case KIND_RAID6_DEGRADED_DATA:
    case KIND_RAID6_DEGRADED_Q: return uint32_t(wBlocks) * 2;
    case KIND_RAID6_UPDATE: return uint32_t(wBlocks) * 3;
    default: return wBlocks;
    }
}

uint16_t wParityDataPages(uint8_t bKind, uint16_t wBlocks) {
    const uint32_t dBlocks = dParityDataBlocks(bKind, wBlocks);
    return dBlocks == 0 ? 0 : static_cast<uint16_t>((dBlocks - 1) / BLOCKS_PER_PAGE + 1);
}

void ReleaseParityReadData(uint16_t wEntry) {
    if (wEntry >= PARITY_READ_DATA_ENTRIES) return;
    PARITY_READ_DATA_ENTRY& e = s_asEntry[wEntry];
    if (e.dBuffer != NULL_BUFFER_HANDLE) (void)wFreeDataPages(e.dBuffer, wParityDataPages(e.bKind, wBlocksOf(e)));
    SetFree(wEntry);
}

void ClearParityReadDataQueue() {
    for (uint16_t w = 0; w < PARITY_READ_DATA_ENTRIES; ++w) {
        // Pages a write-back write still reads from stay until it ends.
        if (s_asEntry[w].fValid == TRUE && s_abReplayOutstanding[w] == 0) ReleaseParityReadData(w);
    }
}

void ReleaseParityReadDataMark(uint16_t wEntry) {
    if (wEntry >= PARITY_READ_DATA_ENTRIES) return;
    PARITY_READ_DATA_ENTRY& e = s_asEntry[wEntry];
    if (e.fValid != TRUE) return;
    if (e.bState == PARITY_DATA_RECEIVING) {
        e.bReleaseMark = PARITY_DATA_RELEASE_MARK;
    } else {
        ReleaseParityReadData(wEntry);
    }
}

uint8_t StoreParityReadData(PARTNER_MESSAGE_SLOT* ps, uint16_t wEntry, uint16_t wJournalIndex, const uint8_t* pbCdb) {
    PARITY_READ_DATA_ENTRY& e = s_asEntry[wEntry];
    if (e.fValid == TRUE) ReleaseParityReadData(wEntry);
    const uint8_t bKind = pbCdb[13];
    const uint16_t wBlocks = wGetBe16(pbCdb + 8);
    const uint16_t wPages = wParityDataPages(bKind, wBlocks);
    BUFFER_HANDLE dHandle = NULL_BUFFER_HANDLE;
    if (uint8_t bResult = STATUS_OK; !TakePartnerMessagePages(ps, wPages, &dHandle, &bResult)) return bResult;
    e.fValid = TRUE;
    e.fReplayAllowed = FALSE;
    e.bState = PARITY_DATA_RECEIVING;
    e.bReleaseMark = 0;
    std::memcpy(e.abAddress, pbCdb + 4, 4);
    std::memcpy(e.abBlocks, pbCdb + 8, 2);
    e.bRank = pbCdb[10];
    e.bParityMember = pbCdb[11];
    e.bDataMember = pbCdb[12];
    e.bKind = bKind;
    e.dBuffer = dHandle;
    e.wJournalIndex = wJournalIndex;
    uint32_t dStamp = 0;
    e.dJournalStamp = bJournalStamp(wJournalIndex, &dStamp) == STATUS_OK ? dStamp : 0;
    if (bReceiveDataFromPartnerInitiator(ps, dBufferHandleToPciAddress(dHandle),
                                         dParityDataBlocks(bKind, wBlocks) * BLOCK_BYTES) != STATUS_OK) {
        // No data phase: the partner sends the message again.
        ReleaseParityReadData(wEntry);
        SendPartnerCommandStatus(ps, 0x0B, 0x47, 0);
    }
    return STATUS_OK;
}

// Message 111.  The fields are checked before any page is taken: a message
// no pool could ever serve would hold up every message behind it.
uint8_t bReceiveParityReadData(PARTNER_MESSAGE_SLOT* ps) {
    const uint8_t* pbCdb = ps->sMessage.abCdb;
    const uint16_t wEntry = wGetBe16(pbCdb + 2);
    if (ps->bPrimaryState == SLOT_DATA_GOOD || ps->bPrimaryState == SLOT_DATA_FAILED) {
        const bool fArrived = ps->bPrimaryState == SLOT_DATA_GOOD;
        ps->bPrimaryState = SLOT_STATUS_SENT;
        if (wEntry < PARITY_READ_DATA_ENTRIES && s_asEntry[wEntry].fValid == TRUE &&
            s_asEntry[wEntry].bState == PARITY_DATA_RECEIVING) {
            PARITY_READ_DATA_ENTRY& e = s_asEntry[wEntry];
            e.bState = fArrived ? PARITY_DATA_ARRIVED : PARITY_DATA_FAILED;
            // Data that never arrived is never written back: the entry goes
            // and the partner's resend brings it again.
            e.fReplayAllowed = ToFlag(fArrived);
            if (!fArrived || e.bReleaseMark == PARITY_DATA_RELEASE_MARK) ReleaseParityReadData(wEntry);
        }
        SendPartnerCommandStatus(ps, fArrived ? 0 : 0x0B, fArrived ? 0 : 0x47, 0);
        return STATUS_OK;
    }
    const uint8_t bKind = pbCdb[13];
    const uint16_t wBlocks = wGetBe16(pbCdb + 8);
    if (wEntry >= PARITY_READ_DATA_ENTRIES || wBlocks == 0 || !IsKnownKind(bKind) ||
        dParityDataBlocks(bKind, wBlocks) * BLOCK_BYTES > PARITY_DATA_MAX_BYTES ||
        pbCdb[10] >= MAX_RANKS) {
        SendPartnerCommandStatus(ps, 5, 0x24, 0);
        return STATUS_OK;
    }
    return StoreParityReadData(ps, wEntry, wGetBe16(pbCdb + 14), pbCdb);
}

// Message 112: the partner's writes of the row are done.  It names the
// copy by the fields its 111 carried too, so a late 112 never releases a
// newer copy that took the same entry since.
uint8_t bReceiveParityReadDataRelease(const uint8_t* pbCdb, uint16_t) {
    const uint16_t wEntry = wGetBe16(pbCdb + 2);
    if (wEntry >= PARITY_READ_DATA_ENTRIES) return 0;
    const PARITY_READ_DATA_ENTRY& e = s_asEntry[wEntry];
    if (e.fValid == TRUE && std::memcmp(e.abAddress, pbCdb + 4, 4) == 0 && std::memcmp(e.abBlocks, pbCdb + 8, 2) == 0 &&
        e.bRank == pbCdb[10] && e.bKind == pbCdb[13]) {
        ReleaseParityReadDataMark(wEntry);
    }
    return STATUS_OK;
}

uint8_t bReceiveParityReadDataClear(const uint8_t*, uint16_t) {
    ClearParityReadDataQueue();
    return STATUS_OK;
}

uint16_t wCountReplayableParityData() {
    uint16_t wCount = 0;
    for (uint16_t w = 0; w < PARITY_READ_DATA_ENTRIES; ++w) {
        const PARITY_READ_DATA_ENTRY& e = s_asEntry[w];
        if (e.fValid != TRUE) continue;
        // Data still arriving from a partner that is there is left alone.
        if (e.bState == PARITY_DATA_RECEIVING && fIsDualControllerActive() == TRUE) continue;
        if (s_abReplayOutstanding[w] != 0 ||
            (e.fReplayAllowed == TRUE && e.bState == PARITY_DATA_ARRIVED && IsJournalEntryCurrent(e))) {
            ++wCount;
        } else {
            ReleaseParityReadData(w);
        }
    }
    return wCount;
}

// Each entry is released once its writes have ended, not when they are
// issued: the drives read the data from its pages.  The queue counts as
// drained only then, so that the partner's journalled writes replayed
// after it find the rows whole.
uint8_t bReplayParityReadData() {
    bool fOutstanding = false;
    for (uint16_t w = 0; w < PARITY_READ_DATA_ENTRIES; ++w) {
        PARITY_READ_DATA_ENTRY& e = s_asEntry[w];
        if (e.fValid != TRUE) continue;
        if (s_abReplayOutstanding[w] == 0 && s_abReplayStep[w] == 0 &&
            (e.fReplayAllowed != TRUE || e.bState != PARITY_DATA_ARRIVED)) {
            ReleaseParityReadData(w);
            continue;
        }
        uint8_t abMembers[3];
        const uint8_t n = bReplayMembers(e, abMembers);
        const uint16_t wBlocks = wBlocksOf(e);
        while (s_abReplayStep[w] < n) {
            const uint8_t bStep = s_abReplayStep[w];
            const uint8_t bMember = abMembers[bStep];
            // A member that is gone has nothing to be written back.
            if (bMember < bGetRankDriveCount(e.bRank) && bGetRankMemberDrive(e.bRank, bMember) != NO_DRIVE) {
                const BUFFER_HANDLE dFrom = e.dBuffer + uint32_t(bStep) * wBlocks * BLOCK_BYTES;
                if (bWriteRaidMember(e.bRank, bMember, e.abAddress, wBlocks, dFrom, w) != STATUS_OK) return STATUS_RETRY;
                ++s_abReplayOutstanding[w];
            }
            ++s_abReplayStep[w];
        }
        if (s_abReplayOutstanding[w] == 0) {
            ReleaseParityReadData(w);
        } else {
            fOutstanding = true;
        }
    }
    return fOutstanding ? STATUS_RETRY : STATUS_OK;
}

void ParityReplayWriteDone(KERNEL_ENTRY* psEntry) {
    const uint16_t w = psEntry->wBlocksDone;
    if (w >= PARITY_READ_DATA_ENTRIES || s_abReplayOutstanding[w] == 0) return;
    if (--s_abReplayOutstanding[w] == 0 && s_asEntry[w].fValid == TRUE) {
        uint8_t abMembers[3];
        if (s_abReplayStep[w] >= bReplayMembers(s_asEntry[w], abMembers)) ReleaseParityReadData(w);
    }
}

// ---- the sender's side -----------------------------------------------------

uint8_t bSendPairDataToPartner(KERNEL_ENTRY* psHead) {
    if (fIsDualControllerActive() != TRUE) return 0;
    KERNEL_ENTRY* psData = psHead->psLink;
    KERNEL_ENTRY* psHost = psHead->psMother;
    const uint16_t wBlocks = wGetChildBlocks(psHead);
    if (psData == nullptr || psHost == nullptr || wBlocks == 0) return 0;
    INTER_CONTROLLER_MESSAGE s = sTypedPartnerMessage(PARTNER_MESSAGE_PARITY_DATA);
    PutBe16(s.abCdb + 2, psHead->wIndex);
    PutBe32(s.abCdb + 4, dGetChildLba(psHead));
    PutBe16(s.abCdb + 8, wBlocks);
    s.abCdb[10] = psHead->bRank;
    s.abCdb[11] = psHead->bMember;
    s.abCdb[12] = psData->bMember;
    s.abCdb[13] = psHead->bCommandType;
    PutBe16(s.abCdb + 14, HasFlag(psHost, KE_FLAG_JOURNALED) ? psHost->wJournalSlot : 0xFFFF);
    // The old parity (slot 0) and the old data (slot 1) the pair read.
    const uint32_t dBytes = uint32_t(wBlocks) * BLOCK_BYTES;
    s.wControlFlags = PARTNER_CONTROL_DATA_OUT;
    s.wSegmentCount = 2;
    s.dByteCount = 2 * dBytes;
    s.adSegment[0] = static_cast<uint32_t>(dCpuAddressToPciAddress(CPU_ADDRESS{dGroupSlot(psHead, 0)}));
    s.adSegment[1] = dBytes;
    s.adSegment[2] = static_cast<uint32_t>(dCpuAddressToPciAddress(CPU_ADDRESS{dGroupSlot(psHead, 1)}));
    s.adSegment[3] = dBytes;
    uint16_t wSlot = PARTNER_NO_SLOT;
    if (bSendMessageToPartner(&s, &wSlot, 0) != STATUS_OK) return 0;
    PARTNER_MESSAGE_SLOT* psSlot = nullptr;
    (void)pGetOutgoingMessageSlot(wSlot, &psSlot);
    psSlot->wSecondIndex = psHead->wIndex;
    SetFlag(psHead, KE_FLAG_PARITY_SENT);
    return STATUS_OK;
}

// The partner holds the row's old contents, or is gone: the pair's data
// write goes, and its parity write when the XOR finished first and left it
// waiting.
void PairDataAnswered(PARTNER_MESSAGE_SLOT* psSlot, uint8_t) {
    KERNEL_ENTRY* psHead = nullptr;
    GetKernelEntryAddress(psSlot->wSecondIndex, &psHead);
    if (psHead == nullptr || psHead->fUsed != TRUE || psHead->bCommandType != CT_RMW_PARITY_READ_PARTNER ||
        !HasFlag(psHead, KE_FLAG_PARITY_SENT) || HasFlag(psHead, KE_FLAG_PARITY_ANSWERED)) {
        return;
    }
    // A copy the partner does not hold needs no release.
    if (psSlot->fFailed == TRUE || psSlot->fSenseValid == TRUE) ClearFlag(psHead, KE_FLAG_PARITY_SENT);
    SetFlag(psHead, KE_FLAG_PARITY_ANSWERED);
    IssueDataWrite(psHead->psLink);
    if (HasFlag(psHead, KE_FLAG_XOR_DEFERRED)) {
        ClearFlag(psHead, KE_FLAG_XOR_DEFERRED);
        IssueParityWrite(psHead);
    }
}

void ReleasePairDataAtPartner(KERNEL_ENTRY* psHead) {
    if (!HasFlag(psHead, KE_FLAG_PARITY_SENT) || fIsDualControllerActive() != TRUE) return;
    ClearFlag(psHead, KE_FLAG_PARITY_SENT);
    INTER_CONTROLLER_MESSAGE s = sTypedPartnerMessage(PARTNER_MESSAGE_PARITY_RELEASE);
    PutBe16(s.abCdb + 2, psHead->wIndex);
    PutBe32(s.abCdb + 4, dGetChildLba(psHead));
    PutBe16(s.abCdb + 8, wGetChildBlocks(psHead));
    s.abCdb[10] = psHead->bRank;
    s.abCdb[13] = CT_RMW_PARITY_READ_PARTNER;
    uint16_t wSlot = PARTNER_NO_SLOT;
    (void)bSendMessageToPartner(&s, &wSlot, 0);
}

// ---- the dump --------------------------------------------------------------

void ShowOtherControllerParityReadDataQueue() {
    ConsolePrintf("\nOtherControllerParityReadDataQueue\n");
    for (const PARITY_READ_DATA_ENTRY& e : s_asEntry) {
        if (e.fValid != TRUE) continue;
        ConsolePrintf("%03x ", e.wEntry);
        ConsolePrintf(e.fReplayAllowed == TRUE ? "VT " : "VF ");
        ConsolePrintf("PS:%02x ", e.bState);
        ConsolePrintf("SS:%02x ", e.bReleaseMark);
        ConsolePrintf("R:%02x ", e.bRank);
        ConsolePrintf("P:%02x ", e.bParityMember);
        ConsolePrintf("D:%02x ", e.bDataMember);
        ConsolePrintf("A:%02x%02x%02x%02x ", e.abAddress[0], e.abAddress[1], e.abAddress[2], e.abAddress[3]);
        ConsolePrintf("B:%02x%02x ", e.abBlocks[0], e.abBlocks[1]);
        ConsolePrintf("D:%08x ", static_cast<uint32_t>(e.dBuffer));
        ConsolePrintf("TM:%03x ", e.wJournalIndex);
        uint32_t dStamp = 0;
        const uint8_t bLookup = bJournalStamp(e.wJournalIndex, &dStamp);
        if (bLookup == STATUS_OK && dStamp == e.dJournalStamp) {
            ConsolePrintf("Valid");
        } else {
            ConsolePrintf("Invalid %02x %08x %08x", bLookup, e.dJournalStamp, dStamp);
        }
        ConsolePrintf("\n");
    }
    ConsolePrintf("\n");
}

}  // namespace fw
