// The read-ahead slots: their buffers, the lookup, the claim of a slot for
// a prefetch, the prefetch of the next extent and its completion, the
// waiting reads, the invalidation by writes and the LRU order.
#include "cache/read_ahead.h"

#include <algorithm>
#include <cstring>

#include "cache/cache_entry.h"
#include "cache/outstanding_queues.h"
#include "cache/read_path.h"
#include "cache/write_start.h"
#include "config/bad_blocks.h"
#include "config/ld_table.h"
#include "config/rank_table.h"
#include "eventlog/statistics.h"
#include "eventlog/target_trace.h"
#include "executive/console_output.h"
#include "executive/port_codes.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "hw/scsi.h"
#include "target/command_access.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/stage_rings.h"

namespace fw {

namespace {

constexpr uint64_t EMPTY_ADDRESS = ~0ull;
constexpr uint32_t SLOT_PAGES = READ_AHEAD_SLOT_BLOCKS / 8;
constexpr uint32_t BLOCK_BYTES = 512;
constexpr uint32_t MIN_PREFETCH_BLOCKS = 1024;
constexpr uint32_t PREFETCH_READS = 64;          // a prefetch is 64 reads ahead
constexpr uint32_t STREAM_PERCENT = 50;          // of a slot read: prefetch the next
constexpr uint32_t STREAM_PERCENT_WAITED = 10;   // ... while reads wait for it

struct READ_AHEAD_STATE {
    READ_AHEAD_SLOT asSlot[READ_AHEAD_SLOTS];
    uint8_t bLruCount;                    // 40
    uint8_t abLru[READ_AHEAD_SLOTS];      // least recently used first
};

READ_AHEAD_STATE s_sReadAhead;

READ_AHEAD_SLOT* psSlot(uint8_t bSlot) { return bSlot < READ_AHEAD_SLOTS ? &s_sReadAhead.asSlot[bSlot] : nullptr; }

void Empty(READ_AHEAD_SLOT* ps) {
    ps->lStart = EMPTY_ADDRESS;
    ps->lEnd = EMPTY_ADDRESS;
    ps->wLength = 0;
    ps->lBlocksServed = 0;
    ps->wWaiters = 0;
    ps->fLoaded = FALSE;
    ps->fNextPrefetched = FALSE;
}

// The ports whose reads may take any slot; the two others the odd ones.
bool MayTake(uint8_t bPortCode, uint8_t bSlot, const READ_AHEAD_SLOT& s) {
    const bool fOddOnly = bPortCode == PORT_CODE_HOST_VARIANT_1 || bPortCode == PORT_CODE_HOST_VARIANT_2;
    return s.dHandle != NULL_BUFFER_HANDLE && s.wUsers == 0 && fGetBankForceFlag(s.bBank) == FALSE &&
           (!fOddOnly || (bSlot & 1) != 0);
}

uint8_t bPairedPort(uint8_t bPortCode) {
    switch (bPortCode) {
    case PORT_CODE_FC_HOST_1: return PORT_CODE_FC_HOST_2;
    case PORT_CODE_FC_HOST_2: return PORT_CODE_FC_HOST_1;
    case PORT_CODE_HOST_VARIANT_1: return PORT_CODE_HOST_VARIANT_2;
    case PORT_CODE_HOST_VARIANT_2: return PORT_CODE_HOST_VARIANT_1;
    case PORT_CODE_FC_TABLE_1: return PORT_CODE_FC_TABLE_2;
    case PORT_CODE_FC_TABLE_2: return PORT_CODE_FC_TABLE_1;
    case PORT_CODE_SAS_HOST_1: return PORT_CODE_SAS_HOST_2;
    case PORT_CODE_SAS_HOST_2: return PORT_CODE_SAS_HOST_1;
    default: return bPortCode;
    }
}

// The internal address just after the read's logical drive segment.
uint64_t lSegmentEnd(const KERNEL_ENTRY* psRead) {
    uint64_t lStart = 0;
    uint64_t lLastOffset = 0;
    GetLogicalDriveSegmentStart(psRead->wLunIndex, psRead->bSegmentIndex, &lStart);
    GetLogicalDriveSegmentLastOffset(psRead->wLunIndex, psRead->bSegmentIndex, &lLastOffset);
    return lStart + lLastOffset + 1;
}

// A prefetch of 64 reads, at least 1024 blocks, within the rank's limit and
// the 2 MB of a slot, a whole number of reads.
uint32_t dPrefetchBlocks(uint32_t B, uint8_t bRank) {
    uint32_t d = std::max(PREFETCH_READS * B, MIN_PREFETCH_BLOCKS);
    d = std::min({d, dGetRankReadAheadBlocks(bRank), READ_AHEAD_SLOT_BLOCKS});
    if (d > B) d -= d % B;
    return d;
}

// Moves a waiting read on: to the "Data Available" ring, or back to its
// queue as a plain read when its slot will not have its data.
void MoveWaiterOn(KERNEL_ENTRY* ps, uint8_t fCancel) {
    if (fCancel == TRUE) {
        DecReadAheadWaitCount(psCacheFields(ps)->bReadAheadSlot, FALSE);
        RequeueReadAheadWaiter(ps);
        return;
    }
    ps->bPrimaryState = HOST_STATE_DATA_AVAILABLE;
    QueueDataAvailable(ps->bPortCode, ps->wIndex);
}

// The port's reads waiting on the slot, from its scan position, at most
// dWanted of them; how many were found.
uint32_t dServeWaitersOfPort(uint8_t bSlot, uint8_t bPortCode, uint8_t fCancel, uint32_t dWanted) {
    uint32_t dFound = 0;
    uint16_t wFirst = HOST_ENTRY_COUNT;
    for (uint32_t d = 0; d < HOST_ENTRY_COUNT && dFound < dWanted; d++) {
        KERNEL_ENTRY* ps = nullptr;
        if (FindPortEntryInState(bPortCode, HOST_STATE_READ_AHEAD_WAIT, &ps) != STATUS_FOUND) break;
        // Round the pool once.
        if (ps->wIndex == wFirst) break;
        if (wFirst == HOST_ENTRY_COUNT) wFirst = ps->wIndex;
        if (psCacheFields(ps)->bReadAheadSlot != bSlot) continue;
        MoveWaiterOn(ps, fCancel);
        dFound++;
    }
    return dFound;
}

}  // namespace

void AllocReadAheadBuffers() {
    std::memset(&s_sReadAhead, 0, sizeof(s_sReadAhead));
    const bool fTwoBanks = fIsSecondBufferBankPresent() == TRUE;
    for (uint8_t b = 0; b < READ_AHEAD_SLOTS; b++) {
        READ_AHEAD_SLOT& s = s_sReadAhead.asSlot[b];
        Empty(&s);
        s_sReadAhead.abLru[b] = b;
        s.bBank = fTwoBanks ? (b & 1) : 0;
        // On a board with less memory than the slots were made for, the
        // read cache takes no more than a quarter of a bank: the write
        // cache and the reads that miss need the rest.
        const uint32_t dBankPages = dGetAvailablePages(s.bBank) + 25;
        if (dGetPagesInUse(s.bBank) + SLOT_PAGES > dBankPages / 4) continue;
        BUFFER_HANDLE dHandle = NULL_BUFFER_HANDLE;
        if (bAllocDataPages(s.bBank, SLOT_PAGES, &dHandle) == STATUS_OK) s.dHandle = dHandle;
    }
    s_sReadAhead.bLruCount = READ_AHEAD_SLOTS;
}

void InitReadAheadBuffers() {
    for (READ_AHEAD_SLOT& s : s_sReadAhead.asSlot) Empty(&s);
}

uint8_t bLookupReadAhead(KERNEL_ENTRY* psRead, BUFFER_HANDLE* pdHandle, uint16_t* pwBlocks, uint8_t* pbSlot,
                         uint8_t* pfStreaming) {
    *pfStreaming = FALSE;
    const uint64_t lStart = psRead->lInternalAddress;
    const uint64_t lEnd = lStart + psRead->wBlocks;
    for (uint8_t p = s_sReadAhead.bLruCount; p-- > 0;) {
        const uint8_t bSlot = s_sReadAhead.abLru[p];
        READ_AHEAD_SLOT& s = s_sReadAhead.asSlot[bSlot];
        // A read that runs past the slot's end is a miss, not half a hit.
        if (s.wLength == 0 || s.lStart > lStart || s.lEnd < lEnd) continue;
        uint8_t bAnswer = READ_AHEAD_HIT;
        if (s.fLoaded != TRUE) {
            s.wWaiters++;
            bAnswer = READ_AHEAD_LOADING;
        }
        // The slot's data begins where it was filled from, whatever a write
        // has cut off its front since.
        *pdHandle = s.dHandle + static_cast<uint32_t>((lStart - (s.lEnd - s.wLength)) * BLOCK_BYTES);
        *pwBlocks = psRead->wBlocks;
        *pbSlot = bSlot;
        if (s.fNextPrefetched != TRUE) {
            const uint64_t lServed = s.lBlocksServed + psRead->wBlocks;
            const uint64_t lDue = std::max<uint64_t>(
                uint64_t{s.wLength} * (s.wWaiters != 0 ? STREAM_PERCENT_WAITED : STREAM_PERCENT) / 100, 1);
            if (lServed > UINT32_MAX || lServed >= lDue) {
                s.fNextPrefetched = TRUE;
                *pfStreaming = TRUE;
            }
        }
        return bAnswer;
    }
    return READ_AHEAD_MISS;
}

uint8_t bClaimReadAheadSlot(KERNEL_ENTRY* psRead, BUFFER_HANDLE* pdHandle, uint16_t wBlocks, uint8_t* pbSlot) {
    uint8_t bChosen = READ_AHEAD_SLOTS;
    // A slot never loaded first, then the least recently used.
    for (uint8_t b = 0; b < READ_AHEAD_SLOTS && bChosen == READ_AHEAD_SLOTS; b++) {
        const READ_AHEAD_SLOT& s = s_sReadAhead.asSlot[b];
        if (s.fLoaded != TRUE && MayTake(psRead->bPortCode, b, s)) bChosen = b;
    }
    for (uint8_t p = 0; p < s_sReadAhead.bLruCount && bChosen == READ_AHEAD_SLOTS; p++) {
        const uint8_t b = s_sReadAhead.abLru[p];
        if (MayTake(psRead->bPortCode, b, s_sReadAhead.asSlot[b])) bChosen = b;
    }
    if (bChosen == READ_AHEAD_SLOTS) return FALSE;
    READ_AHEAD_SLOT& s = s_sReadAhead.asSlot[bChosen];
    Empty(&s);
    s.lStart = psRead->lInternalAddress;
    s.lEnd = s.lStart + wBlocks;
    s.wLength = wBlocks;
    // Claimed is used: the slot moves to the most recently used end here,
    // for every claim.  Left where the claim found it (at the least
    // recently used end, or among the slots never loaded), a fill would be
    // the first slot the next claim takes once its users are gone, and a
    // stream's data would be thrown out just before the host reads it.
    TouchReadAheadSlot(bChosen);
    *pdHandle = s.dHandle;
    *pbSlot = bChosen;
    return TRUE;
}

uint8_t bGetPrefetchSize(KERNEL_ENTRY* psRead, uint16_t* pwBlocks) {
    const uint32_t B = psRead->wBlocks;
    if (B == 0) return FALSE;
    uint64_t lSize = std::min(std::max(PREFETCH_READS * B, MIN_PREFETCH_BLOCKS), READ_AHEAD_SLOT_BLOCKS);
    const uint64_t lLeft = lSegmentEnd(psRead) - psRead->lInternalAddress;
    if (lSize > lLeft) {
        lSize = lLeft;
        if (lSize < 2 * B) return FALSE;
    }
    // A read holding a stripe access record prefetches no further than its row.
    if (HasFlag(psRead, KE_FLAG_STRIPE_ACCESS)) {
        const uint64_t lRow = dGetRankRowDataBlocks(psRead->bRank);
        if (lRow != 0) {
            const uint64_t lRowEnd = ((psRead->lRankAddress + B - 1) / lRow + 1) * lRow;
            lSize = std::min(lSize, lRowEnd - psRead->lRankAddress);
            if (lSize < 2 * B) return FALSE;
        }
    }
    lSize = std::min<uint64_t>({lSize, dGetRankReadAheadBlocks(psRead->bRank), READ_AHEAD_SLOT_BLOCKS});
    if (lSize > B) lSize -= lSize % B;
    if (lSize < 2 * B) return FALSE;
    *pwBlocks = static_cast<uint16_t>(lSize);
    return TRUE;
}

uint8_t bPrefetchNextExtent(KERNEL_ENTRY* psRead, KERNEL_ENTRY** ppsPrefetch) {
    const CACHE_ENTRY_FIELDS& r = *psCacheFields(psRead);
    const READ_AHEAD_SLOT* psFrom = psSlot(r.bReadAheadSlot);
    if (psFrom == nullptr || bGetRankOperationState(psRead->bRank) == RANK_STATE_EXPANDING ||
        HasFlag(psRead, KE_FLAG_STRIPE_ACCESS)) {
        return STATUS_RETRY;
    }
    const uint32_t B = psRead->wBlocks;
    const uint32_t dFactor = bGetLogicalDriveBlockFactor(psRead->wLunIndex);
    const uint32_t dSize = std::max(dPrefetchBlocks(B, psRead->bRank), B);
    const uint64_t lStart = psFrom->lEnd;
    if (B == 0 || lStart < psRead->lInternalAddress || lStart + dSize > lSegmentEnd(psRead) || dFactor == 0) {
        return STATUS_RETRY;
    }
    KERNEL_ENTRY* ps = nullptr;
    uint16_t wIndex = 0;
    if (bAllocTargetEntries(psRead->bPortCode, 1, &ps, &wIndex, FALSE) != STATUS_OK) return STATUS_RETRY;
    // The read's own command block, made a READ(16) of the next extent on
    // the same logical drive, through the same port.
    std::memcpy(ps, psRead, offsetof(KERNEL_ENTRY, bPrimaryState));
    ps->bPrimaryState = 0;
    ps->bSecondaryState = 0;
    ps->bPortCode = psRead->bPortCode;
    ps->wLunIndex = psRead->wLunIndex;
    *pHostFields(ps) = *pHostFields(psRead);
    pHostFields(ps)->wPriorityBucket = NO_PRIORITY_BUCKET;
    for (uint32_t i = 0; i < 3; i++) ps->alSequence[i] = psRead->alSequence[i];
    ps->lArrivalMs = lGetTickCount();
    const uint64_t lLdAddress = psRead->lLba + (lStart - psRead->lInternalAddress);
    uint8_t* pbCdb = pGetCommandCdb(ps);
    std::memset(pbCdb, 0, 16);
    pbCdb[0] = SCSI_READ16;
    PutBe64(pbCdb + 2, lLdAddress / dFactor);
    PutBe32(pbCdb + 10, dSize / dFactor);
    ParseReadWrite16Cdb(ps);
    (void)bSetupTransferPass(ps);
    ps->fValid = TRUE;
    BUFFER_HANDLE dHandle = NULL_BUFFER_HANDLE;
    uint8_t bSlot = NO_READ_AHEAD_SLOT;
    if (bCheckReadAgainstWrites(ps, ps->wBlocks, TRUE) != ORDER_GO) {
        CountReadAheadWriteCollision();
        FreeTargetEntry(ps);
        return STATUS_RETRY;
    }
    if (UpdateBadBlockList(ps->lRankAddress, ps->wBlocks, ps->bRank, BAD_BLOCK_CHECK_ONLY) == TRUE ||
        bClaimReadAheadSlot(ps, &dHandle, ps->wBlocks, &bSlot) != TRUE) {
        FreeTargetEntry(ps);
        return STATUS_RETRY;
    }
    CACHE_ENTRY_FIELDS& c = *psCacheFields(ps);
    ps->dBufferHandle = dHandle;
    c.bBufferBank = bGetBufferHandleBank(dHandle);
    c.wDataBlocks = ps->wBlocks;
    c.wBufferBlocks = 0;
    c.wStreamBlocks = 0;
    c.bReadAheadSlot = bSlot;
    AddReadAheadUser(bSlot, 0);
    SetReadAheadLoaded(bSlot, FALSE);
    ps->bCommandType = CT_READ_AHEAD_PREFETCH;
    SetFlag(ps, KE_FLAG_RECORDED_EXTENT);
    InsertOutstandingRead(ps);
    CountReadAheadStart();
    *ppsPrefetch = ps;
    return STATUS_OK;
}

uint8_t InvalidateReadAhead(uint64_t lAddress, uint32_t dBlocks) {
    uint8_t bAnswer = READ_AHEAD_MISS;
    const uint64_t lEnd = lAddress + dBlocks;
    for (READ_AHEAD_SLOT& s : s_sReadAhead.asSlot) {
        if (s.wLength == 0 || lAddress >= s.lEnd || lEnd <= s.lStart) continue;
        if (s.lEnd <= lEnd) {
            Empty(&s);
            CountWriteReadAheadCollision();
            bAnswer = READ_AHEAD_HIT;
        } else {
            // What lies before the write goes too: a slot holds one run.
            s.lStart = lEnd;
        }
    }
    return bAnswer;
}

void ServeReadAheadWaiters(uint8_t bSlot, uint8_t bPortCode, uint8_t fCancel) {
    const READ_AHEAD_SLOT* ps = psSlot(bSlot);
    if (ps == nullptr || ps->wUsers <= 1) return;
    const uint32_t dWaiting = ps->wUsers - 1u;
    const uint32_t dFound = dServeWaitersOfPort(bSlot, bPortCode, fCancel, dWaiting);
    const uint8_t bPaired = bPairedPort(bPortCode);
    if (dFound < dWaiting && bPaired != bPortCode) (void)dServeWaitersOfPort(bSlot, bPaired, fCancel, dWaiting - dFound);
}

void CompleteReadAheadPrefetch(KERNEL_ENTRY* psPrefetch) {
    RecordTarCmdTrace(psPrefetch);
    const uint8_t bSlot = psCacheFields(psPrefetch)->bReadAheadSlot;
    if (psSlot(bSlot) != nullptr) {
        if (HasFlag(psPrefetch, KE_FLAG_CHILD_FAILED | KE_FLAG_SENSE_PRESENT)) {
            // The drives did not fill it: the reads waiting get their data
            // from the drives themselves, and nobody finds the slot again.
            ServeReadAheadWaiters(bSlot, psPrefetch->bPortCode, TRUE);
            ReleaseReadAheadSlot(bSlot);
        } else {
            SetReadAheadLoaded(bSlot, TRUE);
            if (wGetReadAheadUsers(bSlot) > 1) {
                SetPortScanPosition(psPrefetch->bPortCode, psPrefetch->wIndex);
                ServeReadAheadWaiters(bSlot, psPrefetch->bPortCode, FALSE);
            }
        }
        DecReadAheadWaitCount(bSlot, FALSE);
    }
    if (HasFlag(psPrefetch, KE_FLAG_IN_READ_QUEUE)) RemoveOutstandingRead(psPrefetch);
    FreeTargetEntry(psPrefetch);
}

void TouchReadAheadSlot(uint8_t bSlot) {
    const uint8_t bCount = s_sReadAhead.bLruCount;
    uint8_t* pb = s_sReadAhead.abLru;
    uint8_t* pbAt = std::find(pb, pb + bCount, bSlot);
    if (pbAt == pb + bCount || pbAt == pb + bCount - 1) return;
    std::rotate(pbAt, pbAt + 1, pb + bCount);
}

void AddReadAheadUser(uint8_t bSlot, uint16_t wBlocks) {
    READ_AHEAD_SLOT* ps = psSlot(bSlot);
    if (ps == nullptr) return;
    // The host chips' interrupt path drops users too.
    HostPoolLock sLock;
    ps->wUsers++;
    ps->lBlocksServed += wBlocks;
}

void DecReadAheadWaitCount(uint8_t bSlot, uint8_t fLockHeld) {
    READ_AHEAD_SLOT* ps = psSlot(bSlot);
    if (ps == nullptr) return;
    HostPoolLock sLock(fLockHeld);
    if (ps->wUsers != 0) ps->wUsers--;
}

void SetReadAheadLoaded(uint8_t bSlot, uint8_t fLoaded) {
    READ_AHEAD_SLOT* ps = psSlot(bSlot);
    // A slot a write emptied while it loaded holds nothing to be found.
    if (ps != nullptr && (ps->wLength != 0 || fLoaded != TRUE)) ps->fLoaded = fLoaded;
}

uint16_t wGetReadAheadUsers(uint8_t bSlot) {
    const READ_AHEAD_SLOT* ps = psSlot(bSlot);
    return ps != nullptr ? ps->wUsers : 0;
}

uint8_t bGetLruSlot(uint8_t bPosition) {
    return bPosition < s_sReadAhead.bLruCount ? s_sReadAhead.abLru[bPosition] : READ_AHEAD_SLOTS;
}

void ReleaseReadAheadSlot(uint8_t bSlot) {
    if (READ_AHEAD_SLOT* ps = psSlot(bSlot)) Empty(ps);
}

const READ_AHEAD_SLOT* psGetReadAheadSlot(uint8_t bSlot) { return psSlot(bSlot); }

void ShowReadAheadBuffers() {
    ConsolePrintf("Read-Ahead Buffer info\n");
    for (uint8_t b = 0; b < READ_AHEAD_SLOTS; b++) {
        const READ_AHEAD_SLOT& s = s_sReadAhead.asSlot[b];
        ConsolePrintf("%02x ", b);
        ConsolePrintf("%c%c", s.fLoaded == TRUE ? 'T' : 'F', s.fNextPrefetched == TRUE ? 'T' : 'F');
        ConsolePrintf(" A:%08x Cnt:%03x Wait:%04x A:%02x%08x->%02x%08x L:%04x T:%08x\n",
                      static_cast<uint32_t>(s.dHandle), s.wUsers, s.wWaiters, static_cast<uint32_t>((s.lStart >> 32) & 0xFF),
                      static_cast<uint32_t>(s.lStart), static_cast<uint32_t>((s.lEnd >> 32) & 0xFF),
                      static_cast<uint32_t>(s.lEnd), s.wLength, static_cast<uint32_t>(s.lBlocksServed));
    }
    ConsolePrintf("LRU: ");
    for (uint8_t p = 0; p < s_sReadAhead.bLruCount; p++) ConsolePrintf("%02x ", s_sReadAhead.abLru[p]);
    ConsolePrintf("\n");
}

}  // namespace fw
