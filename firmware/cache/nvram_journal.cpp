// The NVRAM write journal: own and partner slot tables, their RAM shadow and
// partner records, start of day, the flush ordering rule, the partner's
// mirror messages, counts, scans, the periodic step and the dumps.
//
// Power loss may stop the controller after any single NVRAM byte.  Every
// update is ordered so that the slot reads as either its old or its new
// state: a slot's fields are written before it is made valid and it is made
// invalid before they are cleared, and a valid-block count, which only
// grows, is written high byte first with its new value kept in the RAM shadow
// beforehand (a count torn by a power cut lies between the old and the new
// value or above the new one, and the shadow tells which).
#include "cache/nvram_journal.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>

#include "cache/cache.h"
#include "cache/cache_entry.h"
#include "cache/write_start.h"
#include "config/address_translation.h"
#include "config/config_db.h"
#include "config/config_state.h"
#include "config/ld_table.h"
#include "config/nvram_layout.h"
#include "config/rank_table.h"
#include "eventlog/event_log.h"
#include "eventlog/statistics.h"
#include "executive/console_output.h"
#include "executive/interrupt_controller.h"
#include "executive/kernel_entry.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "raid/stripe_init.h"
#include "target/command_access.h"
#include "target/lun_scheduler.h"
#include "target/target_engine.h"

namespace fw {

namespace {

constexpr uint16_t NO_RECORD_LINK = 0xFFFF;
constexpr uint32_t MAX_PARTNER_EXTENT_BLOCKS = PARTNER_BITMAP_WORDS * 32;
constexpr uint32_t SEQUENCE_MASK = 0xFFFFFF;
constexpr uint64_t PERIODIC_STEP_MS = 1000;
constexpr uint32_t MAX_AGE_SECONDS = 100;
constexpr uint16_t MIRROR_SERVICE_BATCH = 5;
constexpr uint16_t NO_REQUESTED_BLOCKS = 0xFFFF;
constexpr uint32_t BLOCK_BYTES = 512;
constexpr uint32_t BLOCKS_PER_PAGE = 8;
constexpr uint8_t EVENT_CACHED_DATA_LOST = 101;

// One record of the RAM shadow (24 bytes, two tables of 3200 in bank 0).
struct SHADOW_RECORD {
    uint64_t lSequence;
    uint64_t lFirstBlock;
    uint16_t wBlocks;
    uint16_t wValidBlocks;   // the last valid-block count written to NVRAM
    uint32_t dReserved;
};
static_assert(sizeof(SHADOW_RECORD) == 24);
static_assert(NVRAM_QUEUE_USED_SLOTS * sizeof(SHADOW_RECORD) == NVRAM_SHADOW_TABLE_BYTES);

struct PARTNER_EXTENT_RECORD {
    uint64_t lFirstBlock;
    uint64_t lTimeCached;
    uint32_t dSequence;
    uint16_t wBlocks;
    uint16_t wSegment;
    uint16_t wRank;
    uint16_t wMirrorPages;
    uint8_t fInUse;
    uint8_t fHeld;
    uint8_t fIssued;
};

PARTNER_EXTENT_RECORD s_asPartner[NVRAM_QUEUE_USED_SLOTS];
uint32_t s_aadBitmap[NVRAM_QUEUE_USED_SLOTS][PARTNER_BITMAP_WORDS];

uint16_t s_awMirrorQueue[MIRROR_QUEUE_SLOTS];
uint16_t s_wMirrorHead = 0;
uint16_t s_wMirrorTail = 0;
uint8_t s_afMirrorQueued[NVRAM_QUEUE_USED_SLOTS];
uint16_t s_awMirrorBlocks[NVRAM_QUEUE_USED_SLOTS];
// The slot has an entry between head and tail (perhaps one left behind when
// the slot was dequeued): a slot queued again reuses it, so the ring never
// holds more than one entry per slot and cannot overrun.
uint8_t s_afMirrorInRing[NVRAM_QUEUE_USED_SLOTS];

uint16_t s_wDirtyExtents = 0;
uint16_t s_wMirroredExtents = 0;
uint16_t s_wMirrorPages = 0;
uint16_t s_awSegmentExtents[MAX_HOST_LUNS];
uint16_t s_awRankExtents[MAX_RANKS];
uint64_t s_lLastPeriodicStep = 0;

BUFFER_HANDLE s_dShadowHandle = NULL_BUFFER_HANDLE;
uint32_t s_dJournalPages = 0;
// Own slots still holding a write recorded before the last restart.
uint8_t s_afHeldSlot[NVRAM_QUEUE_USED_SLOTS];

// What a partner slot holds for a start of both together (KeepPartnerSlots):
// nothing kept, a slot held from before the restart, or a copy the partner
// gave of a write it had acknowledged, with its data to follow or without.
constexpr uint8_t KEPT_NONE = 0;
constexpr uint8_t KEPT_FROM_BEFORE = 1;
constexpr uint8_t KEPT_COPY = 2;
constexpr uint8_t KEPT_COPY_WITH_DATA = 3;
uint8_t s_abKept[NVRAM_QUEUE_USED_SLOTS];
// Records arriving now are such copies.
uint8_t s_fRecordsAreCopies = FALSE;

// ---- slot access ---------------------------------------------------------

uint32_t SlotField(uint8_t fOwn, uint16_t wSlot, uint32_t dField) {
    return dNvramQueueSlotOffset(fOwn, wSlot) + dField;
}

uint16_t wLE16(const uint8_t* pb) { return static_cast<uint16_t>(pb[0] | (pb[1] << 8)); }
uint32_t dLE32(const uint8_t* pb) {
    return static_cast<uint32_t>(pb[0]) | (static_cast<uint32_t>(pb[1]) << 8) | (static_cast<uint32_t>(pb[2]) << 16) |
           (static_cast<uint32_t>(pb[3]) << 24);
}
uint64_t lLE64(const uint8_t* pb) {
    return static_cast<uint64_t>(dLE32(pb)) | (static_cast<uint64_t>(dLE32(pb + 4)) << 32);
}

// NVRAM stores are slow and each is a point where power may fail: bytes that
// already hold the value are left alone.
void PutByte(uint32_t dOffset, uint8_t bValue) {
    if (bNvramRead8(dOffset) != bValue) NvramWrite8(dOffset, bValue);
}
void PutLE(uint32_t dOffset, uint64_t lValue, uint32_t dBytes) {
    const uint8_t* pb = pNvramBase() + dOffset;
    for (uint32_t i = 0; i < dBytes; ++i) {
        const uint8_t b = static_cast<uint8_t>(lValue >> (8 * i));
        if (pb[i] != b) NvramWrite8(dOffset + i, b);
    }
}
// A growing count written high byte first: torn, it reads at least the old
// value.
void PutGrowingLE16(uint32_t dOffset, uint16_t wValue) {
    PutByte(dOffset + 1, static_cast<uint8_t>(wValue >> 8));
    PutByte(dOffset, static_cast<uint8_t>(wValue));
}

void PutSlotByte(uint8_t fOwn, uint16_t wSlot, uint32_t dField, uint8_t bValue) {
    PutByte(SlotField(fOwn, wSlot, dField), bValue);
}
void PutSlotLE(uint8_t fOwn, uint16_t wSlot, uint32_t dField, uint64_t lValue, uint32_t dBytes) {
    PutLE(SlotField(fOwn, wSlot, dField), lValue, dBytes);
}

uint16_t wSlotBlockCount(const NVRAM_QUEUE_ENTRY* ps) { return wLE16(ps->abBlockCount); }
uint64_t lSlotFirstBlock(const NVRAM_QUEUE_ENTRY* ps) { return lLE64(ps->abFirstBlock); }
BUFFER_HANDLE dSlotHandle(const NVRAM_QUEUE_ENTRY* ps) { return BUFFER_HANDLE{dLE32(ps->abBufferHandle)}; }
uint16_t wSlotBufferBlocks(const NVRAM_QUEUE_ENTRY* ps) { return wLE16(ps->abBufferBlocks); }
uint16_t wSlotValidBlocks(const NVRAM_QUEUE_ENTRY* ps) { return wLE16(ps->abValidBlocks); }

constexpr uint32_t F_VALID = offsetof(NVRAM_QUEUE_ENTRY, fValid);
constexpr uint32_t F_TAKEN = offsetof(NVRAM_QUEUE_ENTRY, fTaken);
constexpr uint32_t F_ISSUED = offsetof(NVRAM_QUEUE_ENTRY, fIssued);
constexpr uint32_t F_HOLDS = offsetof(NVRAM_QUEUE_ENTRY, fHoldsData);
constexpr uint32_t F_KIND = offsetof(NVRAM_QUEUE_ENTRY, bKind);
constexpr uint32_t F_RANK = offsetof(NVRAM_QUEUE_ENTRY, bRank);
constexpr uint32_t F_COUNT = offsetof(NVRAM_QUEUE_ENTRY, abBlockCount);
constexpr uint32_t F_FIRST = offsetof(NVRAM_QUEUE_ENTRY, abFirstBlock);
constexpr uint32_t F_HANDLE = offsetof(NVRAM_QUEUE_ENTRY, abBufferHandle);
constexpr uint32_t F_BUFFER_BLOCKS = offsetof(NVRAM_QUEUE_ENTRY, abBufferBlocks);
constexpr uint32_t F_VALID_BLOCKS = offsetof(NVRAM_QUEUE_ENTRY, abValidBlocks);

bool IsValid(const NVRAM_QUEUE_ENTRY* ps) { return ps->fValid == TRUE; }

// Zeroes bytes 16-23: buffer handle, buffer blocks, valid blocks.  The valid
// count goes first, so that no torn state names data in a released buffer.
void ClearSlotData(uint8_t fOwn, uint16_t wSlot) {
    // Most slots a start passes over hold nothing: one look at the slot
    // rather than one a field.
    const NVRAM_QUEUE_ENTRY* ps = psGetNvramQueueEntry(fOwn, wSlot);
    if (wSlotValidBlocks(ps) == 0 && dLE32(ps->abBufferHandle) == 0 && wSlotBufferBlocks(ps) == 0) return;
    PutSlotLE(fOwn, wSlot, F_VALID_BLOCKS, 0, 2);
    PutSlotLE(fOwn, wSlot, F_HANDLE, 0, 4);
    PutSlotLE(fOwn, wSlot, F_BUFFER_BLOCKS, 0, 2);
}

// A free slot: not valid first, then its fields.
void FreeSlot(uint8_t fOwn, uint16_t wSlot, uint8_t bKind, uint64_t lFirstBlock) {
    // At a start nearly every slot is free already: one look at the slot
    // rather than one a field finds that nothing would be written.
    const NVRAM_QUEUE_ENTRY* ps = psGetNvramQueueEntry(fOwn, wSlot);
    if (ps->fValid == FALSE && ps->fTaken == FALSE && ps->fIssued == FALSE && ps->bKind == bKind &&
        lSlotFirstBlock(ps) == lFirstBlock && wSlotBlockCount(ps) == 0) {
        return;
    }
    PutSlotByte(fOwn, wSlot, F_VALID, FALSE);
    PutSlotByte(fOwn, wSlot, F_TAKEN, FALSE);
    PutSlotByte(fOwn, wSlot, F_ISSUED, FALSE);
    PutSlotByte(fOwn, wSlot, F_KIND, bKind);
    PutSlotLE(fOwn, wSlot, F_FIRST, lFirstBlock, 8);
    PutSlotLE(fOwn, wSlot, F_COUNT, 0, 2);
}

void FormatSlot(uint8_t fOwn, uint16_t wSlot) {
    FreeSlot(fOwn, wSlot, JOURNAL_KIND_FREE, ~0ull);
    PutSlotByte(fOwn, wSlot, F_HOLDS, FALSE);
    PutSlotByte(fOwn, wSlot, F_RANK, 0xFF);
    ClearSlotData(fOwn, wSlot);
}

uint32_t dPagesFor(uint32_t dBlocks) { return dBlocks == 0 ? 0 : (dBlocks - 1) / BLOCKS_PER_PAGE + 1; }

// ---- RAM shadow ----------------------------------------------------------

SHADOW_RECORD* psShadow(uint8_t fOwn, uint16_t wSlot) {
    if (s_dShadowHandle == NULL_BUFFER_HANDLE || wSlot >= NVRAM_QUEUE_USED_SLOTS) return nullptr;
    uint8_t* pbBase = static_cast<uint8_t*>(pBufferHandleToPointer(s_dShadowHandle));
    if (fOwn != TRUE) pbBase += NVRAM_SHADOW_TABLE_BYTES;
    return reinterpret_cast<SHADOW_RECORD*>(pbBase) + wSlot;
}

void SetShadow(uint8_t fOwn, uint16_t wSlot, uint64_t lSequence, uint64_t lFirstBlock, uint16_t wBlocks) {
    SHADOW_RECORD* ps = psShadow(fOwn, wSlot);
    if (ps == nullptr) return;
    ps->lSequence = lSequence;
    ps->lFirstBlock = lFirstBlock;
    ps->wBlocks = wBlocks;
}

void ZeroShadow(uint8_t fOwn, uint16_t wSlot) {
    SHADOW_RECORD* ps = psShadow(fOwn, wSlot);
    if (ps != nullptr) std::memset(ps, 0, sizeof(*ps));
}

// ---- counters ----------------------------------------------------------------

void DecrementCounter(uint16_t* pw) {
    if (*pw != 0) --*pw;
}

uint32_t dOwnSlotPages(const NVRAM_QUEUE_ENTRY* ps) {
    return (IsValid(ps) && dSlotHandle(ps) != NULL_BUFFER_HANDLE) ? dPagesFor(wSlotValidBlocks(ps)) : 0;
}

void SubtractJournalPages(uint32_t dPages) { s_dJournalPages = s_dJournalPages > dPages ? s_dJournalPages - dPages : 0; }

bool Overlaps(uint64_t lFirstA, uint32_t dBlocksA, uint64_t lFirstB, uint32_t dBlocksB) {
    return lFirstB + dBlocksB > lFirstA && lFirstA + dBlocksA > lFirstB;
}

// Two extents the flush must write one after the other: they overlap, or on
// a rank with parity they share a stripe row (the parity update of the row
// must see the older write's data before the newer one reads it).
bool MustFollow(uint8_t bRank, uint64_t lFirstA, uint32_t dBlocksA, uint64_t lFirstB, uint32_t dBlocksB) {
    if (Overlaps(lFirstA, dBlocksA, lFirstB, dBlocksB)) return true;
    if (bRank >= bGetRankCount() || dBlocksA == 0 || dBlocksB == 0) return false;
    const uint8_t bLevel = bGetRankRaidLevel(bRank);
    if (bLevel != RAID_LEVEL_5 && bLevel != RAID_LEVEL_50 && bLevel != RAID_LEVEL_6) return false;
    const uint64_t lRow = dGetRankRowDataBlocks(bRank);
    uint64_t lStart = 0;
    GetRankStartAddress(bRank, &lStart);
    if (lRow == 0 || lFirstA < lStart || lFirstB < lStart) return false;
    const uint64_t lFirstRowA = (lFirstA - lStart) / lRow, lLastRowA = (lFirstA - lStart + dBlocksA - 1) / lRow;
    const uint64_t lFirstRowB = (lFirstB - lStart) / lRow, lLastRowB = (lFirstB - lStart + dBlocksB - 1) / lRow;
    return lFirstRowB <= lLastRowA && lFirstRowA <= lLastRowB;
}

// The other extent is older within the partner's 24-bit sequence space.
bool IsOlderPartnerSequence(uint32_t dOther, uint32_t dThis) {
    const uint32_t dDistance = (dThis - dOther) & SEQUENCE_MASK;
    return dDistance != 0 && dDistance < PARTNER_SEQUENCE_WINDOW;
}

bool IsBufferMemoryLost() {
    if (fGetBankOptionFlag(0) != TRUE) return true;
    return fIsSecondBufferBankPresent() == TRUE && fGetBankOptionFlag(1) != TRUE;
}

void LogIgnoredPartnerMessage(uint16_t wSlot, uint32_t dFirst, uint32_t dCount) {
    ConsolePrintf("Partner journal update ignored: slot %04x range %x+%x\n", wSlot, dFirst, dCount);
}

// ---- partner records --------------------------------------------------------

void ClearPartnerRecord(uint16_t wSlot) {
    PARTNER_EXTENT_RECORD& s = s_asPartner[wSlot];
    if (s.fInUse == TRUE) {
        DecrementCounter(&s_wDirtyExtents);
        if (s.wSegment < MAX_HOST_LUNS) DecrementCounter(&s_awSegmentExtents[s.wSegment]);
        if (s.wRank < MAX_RANKS) DecrementCounter(&s_awRankExtents[s.wRank]);
    }
    std::memset(&s, 0, sizeof(s));
    s.wSegment = NO_RECORD_LINK;
    s.wRank = NO_RECORD_LINK;
    s.fInUse = FALSE;
    s.fHeld = FALSE;
    s.fIssued = FALSE;
}

void FillPartnerRecord(uint16_t wSlot, uint64_t lFirstBlock, uint16_t wBlocks, uint32_t dSequence, uint8_t bRank) {
    ClearPartnerRecord(wSlot);
    PARTNER_EXTENT_RECORD& s = s_asPartner[wSlot];
    s.lFirstBlock = lFirstBlock;
    s.wBlocks = wBlocks;
    s.dSequence = dSequence;
    s.wSegment = wFindSegmentForAddress(lFirstBlock);
    s.wRank = bRank == 0xFF ? NO_RECORD_LINK : bRank;
    s.lTimeCached = lGetTickCount();
    s.fInUse = TRUE;
    ++s_wDirtyExtents;
    if (s.wSegment < MAX_HOST_LUNS) ++s_awSegmentExtents[s.wSegment];
    if (s.wRank < MAX_RANKS) ++s_awRankExtents[s.wRank];
}

// Frees the mirror buffer of a partner slot and drops every reference to it.
void FreePartnerBuffer(uint16_t wSlot, bool fAnyRecorded) {
    const NVRAM_QUEUE_ENTRY* ps = psGetNvramQueueEntry(FALSE, wSlot);
    const BUFFER_HANDLE dHandle = dSlotHandle(ps);
    const uint16_t wBufferBlocks = wSlotBufferBlocks(ps);
    const bool fHeld = ps->fHoldsData == TRUE;
    if (ps->fHoldsData != FALSE) PutSlotByte(FALSE, wSlot, F_HOLDS, FALSE);
    ClearSlotData(FALSE, wSlot);
    if (dHandle != NULL_BUFFER_HANDLE && wBufferBlocks != 0 && (fHeld || fAnyRecorded)) {
        (void)wFreeDataPages(dHandle, dPagesFor(wBufferBlocks));
    }
    PARTNER_EXTENT_RECORD& s = s_asPartner[wSlot];
    s_wMirrorPages = s_wMirrorPages > s.wMirrorPages ? s_wMirrorPages - s.wMirrorPages : 0;
    s.wMirrorPages = 0;
    if (fHeld) DecrementCounter(&s_wMirroredExtents);
}

bool TryAllocateMirrorBuffer(uint16_t wSlot, uint16_t wBlocks) {
    const uint32_t dPages = dPagesFor(wBlocks);
    BUFFER_HANDLE dHandle = NULL_BUFFER_HANDLE;
    if (fIsBufferUsageHigh(BUFFER_BANK_EITHER) == TRUE ||
        bAllocDataPages(BUFFER_BANK_EITHER, dPages, &dHandle) != STATUS_OK) {
        return false;
    }
    std::memset(s_aadBitmap[wSlot], 0, sizeof(uint32_t) * ((wBlocks - 1u) / 32 + 1));
    PutSlotLE(FALSE, wSlot, F_VALID_BLOCKS, 0, 2);
    PutSlotLE(FALSE, wSlot, F_HANDLE, static_cast<uint32_t>(dHandle), 4);
    PutSlotLE(FALSE, wSlot, F_BUFFER_BLOCKS, wBlocks, 2);
    PutSlotByte(FALSE, wSlot, F_HOLDS, TRUE);
    s_wMirrorPages = static_cast<uint16_t>(s_wMirrorPages + dPages);
    s_asPartner[wSlot].wMirrorPages = static_cast<uint16_t>(dPages);
    ++s_wMirroredExtents;
    return true;
}

}  // namespace

uint8_t bGrowPartnerMirrorBuffer(uint16_t wSlot, uint32_t dBlocks) {
    if (wSlot >= NVRAM_QUEUE_USED_SLOTS || dBlocks > MAX_PARTNER_EXTENT_BLOCKS) return 0;
    const NVRAM_QUEUE_ENTRY* ps = psGetNvramQueueEntry(FALSE, wSlot);
    if (!IsValid(ps) || ps->fHoldsData != TRUE || dSlotHandle(ps) == NULL_BUFFER_HANDLE) return 0;
    const uint32_t dOld = wSlotBufferBlocks(ps);
    if (dBlocks <= dOld) return STATUS_OK;
    const uint32_t dNew = std::min(std::max(dBlocks, 2 * dOld), MAX_PARTNER_EXTENT_BLOCKS);
    BUFFER_HANDLE dHandle = NULL_BUFFER_HANDLE;
    if (fIsBufferUsageHigh(BUFFER_BANK_EITHER) == TRUE ||
        bAllocDataPages(BUFFER_BANK_EITHER, dPagesFor(dNew), &dHandle) != STATUS_OK) {
        CountMirrorCacheFull();
        return STATUS_NO_PAGES;
    }
    const BUFFER_HANDLE dOldHandle = dSlotHandle(ps);
    if (dOld != 0) std::memcpy(pBufferHandleToPointer(dHandle), pBufferHandleToPointer(dOldHandle), dOld * BLOCK_BYTES);
    (void)wFreeDataPages(dOldHandle, dPagesFor(dOld));
    // Blocks past the old end have not arrived in this buffer.
    uint32_t* pd = s_aadBitmap[wSlot];
    for (uint32_t b = dOld; b < dNew; ++b) pd[b / 32] &= ~(1u << (b % 32));
    PutSlotLE(FALSE, wSlot, F_HANDLE, static_cast<uint32_t>(dHandle), 4);
    PutSlotLE(FALSE, wSlot, F_BUFFER_BLOCKS, dNew, 2);
    const uint16_t wAdded = static_cast<uint16_t>(dPagesFor(dNew) - dPagesFor(dOld));
    s_wMirrorPages = static_cast<uint16_t>(s_wMirrorPages + wAdded);
    s_asPartner[wSlot].wMirrorPages = static_cast<uint16_t>(s_asPartner[wSlot].wMirrorPages + wAdded);
    return STATUS_OK;
}

namespace {

void QueueMirrorAllocation(uint16_t wSlot, uint16_t wBlocks) {
    s_awMirrorBlocks[wSlot] = wBlocks;
    s_afMirrorQueued[wSlot] = TRUE;
    if (s_afMirrorInRing[wSlot] == TRUE) return;
    s_afMirrorInRing[wSlot] = TRUE;
    s_awMirrorQueue[s_wMirrorTail] = wSlot;
    s_wMirrorTail = static_cast<uint16_t>((s_wMirrorTail + 1) % MIRROR_QUEUE_SLOTS);
}

void DequeueMirrorAllocation(uint16_t wSlot) {
    if (wSlot >= NVRAM_QUEUE_USED_SLOTS) return;
    s_afMirrorQueued[wSlot] = FALSE;
    s_awMirrorBlocks[wSlot] = NO_REQUESTED_BLOCKS;
}

// Writes the descriptor of a partner extent: fields first, valid last.
void WritePartnerSlot(uint16_t wSlot, uint64_t lFirstBlock, uint16_t wBlocks, uint8_t bRank) {
    PutSlotByte(FALSE, wSlot, F_KIND, JOURNAL_KIND_WRITE16);
    PutSlotByte(FALSE, wSlot, F_RANK, bRank);
    PutSlotLE(FALSE, wSlot, F_FIRST, lFirstBlock, 8);
    PutSlotLE(FALSE, wSlot, F_COUNT, wBlocks, 2);
    PutSlotByte(FALSE, wSlot, F_ISSUED, FALSE);
    PutSlotByte(FALSE, wSlot, F_VALID, TRUE);
}

// The first run of arrived blocks of a partner slot at or after wFrom, below
// wLimit.
bool FindArrivedRun(uint16_t wSlot, uint32_t dFrom, uint32_t dLimit, uint32_t* pdFirst, uint32_t* pdCount) {
    const uint32_t* pd = s_aadBitmap[wSlot];
    uint32_t b = dFrom;
    while (b < dLimit && (pd[b / 32] & (1u << (b % 32))) == 0) ++b;
    if (b >= dLimit) return false;
    uint32_t e = b;
    while (e < dLimit && (pd[e / 32] & (1u << (e % 32))) != 0) ++e;
    *pdFirst = b;
    *pdCount = e - b;
    return true;
}

bool IsOwnSlotCached(const NVRAM_QUEUE_ENTRY* ps) {
    return IsValid(ps) && ps->fTaken != TRUE && wSlotValidBlocks(ps) != 0 && dSlotHandle(ps) != NULL_BUFFER_HANDLE;
}

bool IsPartnerSlotCached(const NVRAM_QUEUE_ENTRY* ps) {
    return IsValid(ps) && ps->fHoldsData == TRUE && ps->fTaken != TRUE && wSlotValidBlocks(ps) != 0;
}

// A write not issued to the drives whose slot holds no data: the host was
// never told it is safe, or its data went with the buffer banks (event
// 101).  Nothing is left to write of it, so at start of day its slot is
// freed at once rather than hold the host entry it belongs to.  A write that
// was issued stays: the flush sequencer resynchronises its stripes.
bool IsSlotWithNothingToWrite(uint8_t fOwn, const NVRAM_QUEUE_ENTRY* ps) {
    if (!IsValid(ps) || ps->fIssued == TRUE) return false;
    const bool fBuffer = fOwn == TRUE ? dSlotHandle(ps) != NULL_BUFFER_HANDLE : ps->fHoldsData == TRUE;
    return wSlotValidBlocks(ps) == 0 || !fBuffer;
}

bool IsJournalledWrite(const NVRAM_QUEUE_ENTRY* ps) {
    return IsValid(ps) && (ps->bKind == JOURNAL_KIND_WRITE16 || ps->bKind == JOURNAL_KIND_INTERNAL) &&
           ps->fIssued == TRUE;
}

// Journals a host entry's write in its own slot.  With fWithBuffer the slot
// also names the command's buffer, with nothing received yet.
void JournalEntry(KERNEL_ENTRY* psEntry, uint8_t bKind, bool fWithBuffer) {
    const uint16_t n = psEntry->wIndex;
    if (n >= NVRAM_QUEUE_USED_SLOTS) return;
    psEntry->wJournalSlot = n;
    SetFlag(psEntry, KE_FLAG_JOURNALED);
    const NVRAM_QUEUE_ENTRY* ps = psGetNvramQueueEntry(TRUE, n);
    const bool fWasValid = IsValid(ps);
    SHADOW_RECORD* psRecord = psShadow(TRUE, n);
    if (!fWasValid) {
        ClearSlotData(TRUE, n);
        PutSlotByte(TRUE, n, F_HOLDS, FALSE);
        if (psRecord != nullptr) psRecord->wValidBlocks = 0;
    }
    PutSlotByte(TRUE, n, F_KIND, bKind);
    PutSlotByte(TRUE, n, F_RANK, psEntry->bRank);
    PutSlotLE(TRUE, n, F_COUNT, psEntry->wBlocks, 2);
    PutSlotLE(TRUE, n, F_FIRST, psEntry->lInternalAddress, 8);
    if (fWithBuffer) {
        PutSlotLE(TRUE, n, F_HANDLE, static_cast<uint32_t>(psEntry->dBufferHandle), 4);
        PutSlotLE(TRUE, n, F_BUFFER_BLOCKS, psCacheFields(psEntry)->wBufferBlocks, 2);
        PutSlotByte(TRUE, n, F_HOLDS, TRUE);
    }
    PutSlotByte(TRUE, n, F_TAKEN, FALSE);
    PutSlotByte(TRUE, n, F_ISSUED, FALSE);
    PutSlotByte(TRUE, n, F_VALID, TRUE);
    const uint16_t wValid = wSlotValidBlocks(ps);
    SetShadow(TRUE, n, psEntry->alSequence[0], psEntry->lInternalAddress,
              psEntry->wBlocks > wValid ? psEntry->wBlocks : wValid);
    // A host writing the rank holds its initialisation back from bursts.
    NoteStripeInitHostActivity(psEntry->bRank);
}

}  // namespace

uint8_t bRetryPartnerMirrorBuffer(uint16_t wSlot, uint32_t dSequence) {
    if (wSlot >= NVRAM_QUEUE_USED_SLOTS) return 0;
    const NVRAM_QUEUE_ENTRY* ps = psGetNvramQueueEntry(FALSE, wSlot);
    const PARTNER_EXTENT_RECORD& sRecord = s_asPartner[wSlot];
    if (!IsValid(ps) || ps->fIssued == TRUE || sRecord.fInUse != TRUE || sRecord.dSequence != dSequence) return 0;
    if (ps->fHoldsData == TRUE) return STATUS_OK;
    if (!TryAllocateMirrorBuffer(wSlot, sRecord.wBlocks)) {
        CountMirrorCacheFull();
        return STATUS_NO_PAGES;
    }
    DequeueMirrorAllocation(wSlot);
    return STATUS_OK;
}

// ---- slot access -------------------------------------------------------------

uint32_t dNvramQueueSlotOffset(uint8_t fOwn, uint16_t wSlot) {
    const uint32_t dBase = fOwn == TRUE ? NVRAM_OFFSET(abJournal) : NVRAM_OFFSET(abPartnerJournal);
    return dBase + NVRAM_QUEUE_ENTRY_SIZE * (wSlot % NVRAM_QUEUE_SLOTS);
}

const NVRAM_QUEUE_ENTRY* psGetNvramQueueEntry(uint8_t fOwn, uint16_t wSlot) {
    return reinterpret_cast<const NVRAM_QUEUE_ENTRY*>(pNvramBase() + dNvramQueueSlotOffset(fOwn, wSlot));
}

// ---- start of day -----------------------------------------------------------

void StartNvramJournal() {
    const bool fMarked = fIsJournalFormatted() == TRUE;
    const bool fLost = IsBufferMemoryLost();
    if (fMarked) {
        uint32_t dOwnBlocks = 0;
        uint32_t dPartnerBlocks = 0;
        const uint32_t dEntries = wCountCachedOwnExtents(&dOwnBlocks) + wCountPartnerExtentsWithData(&dPartnerBlocks);
        const uint32_t dBlocks = dOwnBlocks + dPartnerBlocks;
        if ((dEntries != 0 || dBlocks != 0) && fLost) {
            PostEvent(EVENT_CACHED_DATA_LOST, static_cast<uint8_t>(dEntries), static_cast<uint8_t>(dEntries >> 8),
                      static_cast<uint8_t>(dBlocks), static_cast<uint8_t>(dBlocks >> 8),
                      static_cast<uint8_t>(dBlocks >> 16), static_cast<uint8_t>(dBlocks >> 24));
        }
    }
    for (uint16_t n = 0; n < NVRAM_QUEUE_SLOTS; ++n) {
        if (fLost || !fMarked) {
            for (uint8_t fOwn : {TRUE, FALSE}) {
                PutSlotByte(fOwn, n, F_HOLDS, FALSE);
                PutSlotLE(fOwn, n, F_VALID_BLOCKS, 0, 2);
                PutSlotLE(fOwn, n, F_HANDLE, 0, 4);
            }
        }
        PutSlotLE(TRUE, n, F_BUFFER_BLOCKS, 0, 2);
        PutSlotLE(FALSE, n, F_BUFFER_BLOCKS, wSlotValidBlocks(psGetNvramQueueEntry(FALSE, n)), 2);
        for (uint8_t fOwn : {TRUE, FALSE}) {
            if (!fMarked || IsSlotWithNothingToWrite(fOwn, psGetNvramQueueEntry(fOwn, n))) FormatSlot(fOwn, n);
        }
    }
    if (!fMarked) MarkJournalFormatted();
}

void StartNvramJournalReplay() {
    s_dShadowHandle = NULL_BUFFER_HANDLE;
    const BUFFER_HANDLE dStored{dGetNvramJournalWord()};
    const bool fShadowKept = dStored != NULL_BUFFER_HANDLE && fGetBankOptionFlag(0) == TRUE;
    if (fShadowKept) {
        MarkDataPagesInUse(dStored, NVRAM_SHADOW_PAGES);
        s_dShadowHandle = dStored;
    } else {
        BUFFER_HANDLE dHandle = NULL_BUFFER_HANDLE;
        if (bAllocDataPages(0, NVRAM_SHADOW_PAGES, &dHandle) == STATUS_OK) {
            s_dShadowHandle = dHandle;
            std::memset(psShadow(TRUE, 0), 0, 2 * NVRAM_SHADOW_TABLE_BYTES);
            SetNvramJournalWord(static_cast<uint32_t>(dHandle));
        }
    }
    s_dJournalPages = 0;
    for (uint16_t n = 0; n < NVRAM_QUEUE_USED_SLOTS; ++n) {
        s_afHeldSlot[n] = ToFlag(IsValid(psGetNvramQueueEntry(TRUE, n)));
    }
    if (s_dShadowHandle == NULL_BUFFER_HANDLE) return;
    for (uint16_t n = 0; n < NVRAM_QUEUE_USED_SLOTS; ++n) {
        for (uint8_t fOwn : {TRUE, FALSE}) {
            const NVRAM_QUEUE_ENTRY* ps = psGetNvramQueueEntry(fOwn, n);
            if (!IsValid(ps)) continue;
            uint16_t wValid = wSlotValidBlocks(ps);
            // A count torn by a power cut reads above the last one the shadow
            // saw completed; the shadow's value is what arrived.
            const SHADOW_RECORD* psRecord = psShadow(fOwn, n);
            if (fOwn == TRUE && fShadowKept && psRecord->wValidBlocks < wValid) {
                wValid = psRecord->wValidBlocks;
                PutSlotLE(TRUE, n, F_VALID_BLOCKS, wValid, 2);
            }
            const BUFFER_HANDLE dHandle = dSlotHandle(ps);
            if (wValid == 0 || dHandle == NULL_BUFFER_HANDLE) continue;
            MarkDataPagesInUse(dHandle, dPagesFor(wValid));
            if (fOwn == TRUE) s_dJournalPages += dPagesFor(wValid);
        }
    }
}

void InitNvramJournal() {
    std::memset(s_aadBitmap, 0, sizeof(s_aadBitmap));
    for (uint16_t n = 0; n < NVRAM_QUEUE_USED_SLOTS; ++n) {
        std::memset(&s_asPartner[n], 0, sizeof(s_asPartner[n]));
        s_asPartner[n].wSegment = NO_RECORD_LINK;
        s_asPartner[n].wRank = NO_RECORD_LINK;
        s_asPartner[n].fInUse = FALSE;
        s_asPartner[n].fHeld = FALSE;
        s_asPartner[n].fIssued = FALSE;
        s_afMirrorQueued[n] = FALSE;
        s_afMirrorInRing[n] = FALSE;
        s_awMirrorBlocks[n] = NO_REQUESTED_BLOCKS;
    }
    s_wDirtyExtents = 0;
    s_wMirroredExtents = 0;
    s_wMirrorPages = 0;
    std::memset(s_awSegmentExtents, 0, sizeof(s_awSegmentExtents));
    std::memset(s_awRankExtents, 0, sizeof(s_awRankExtents));
    s_lLastPeriodicStep = 0;
    s_wMirrorHead = 0;
    s_wMirrorTail = 0;
    for (uint16_t& w : s_awMirrorQueue) w = NO_RECORD_LINK;
    std::memset(s_abKept, KEPT_NONE, sizeof(s_abKept));
    s_fRecordsAreCopies = FALSE;
}

// ---- own journal ----------------------------------------------------------------

namespace {
uint8_t bKindOf(const KERNEL_ENTRY* psEntry) {
    const uint8_t* pbCdb = pGetCommandCdb(psEntry);
    return pbCdb != nullptr ? pbCdb[0] : JOURNAL_KIND_WRITE16;
}
}  // namespace

void RecordNvramQueueEntry(KERNEL_ENTRY* psEntry) {
    JournalEntry(psEntry, bKindOf(psEntry), HasFlag(psEntry, KE_FLAG_WRITE_BACK));
}

void RejournalNvramQueueEntry(KERNEL_ENTRY* psEntry) { JournalEntry(psEntry, bKindOf(psEntry), false); }

void RejournalInternalNvramQueueEntry(KERNEL_ENTRY* psEntry) {
    const uint16_t n = psEntry->wJournalSlot;
    if (n >= NVRAM_QUEUE_USED_SLOTS) return;
    PutSlotByte(TRUE, n, F_KIND, JOURNAL_KIND_INTERNAL);
    // The start of day resyncs the row on the rank the slot names.
    PutSlotByte(TRUE, n, F_RANK, psEntry->bRank);
    PutSlotLE(TRUE, n, F_COUNT, psEntry->wBlocks, 2);
    PutSlotLE(TRUE, n, F_FIRST, psEntry->lInternalAddress, 8);
    PutSlotByte(TRUE, n, F_ISSUED, FALSE);
    PutSlotByte(TRUE, n, F_VALID, TRUE);
}

void AddNvramQueueValidBlocks(uint16_t wSlot, uint16_t wBlocks) {
    if (wSlot >= NVRAM_QUEUE_USED_SLOTS || wBlocks == 0) return;
    const NVRAM_QUEUE_ENTRY* ps = psGetNvramQueueEntry(TRUE, wSlot);
    const uint16_t wOld = wSlotValidBlocks(ps);
    const uint32_t dNew = static_cast<uint32_t>(wOld) + wBlocks;
    const uint16_t wNew = dNew > 0xFFFF ? 0xFFFF : static_cast<uint16_t>(dNew);
    SHADOW_RECORD* psRecord = psShadow(TRUE, wSlot);
    if (psRecord != nullptr) {
        psRecord->wValidBlocks = wNew;
        if (psRecord->wBlocks < wNew) psRecord->wBlocks = wNew;
    }
    PutGrowingLE16(SlotField(TRUE, wSlot, F_VALID_BLOCKS), wNew);
    if (IsValid(ps) && dSlotHandle(ps) != NULL_BUFFER_HANDLE) s_dJournalPages += dPagesFor(wNew) - dPagesFor(wOld);
}

void SetNvramQueueEntryFlag(uint16_t wSlot, uint8_t fIssued) {
    if (wSlot >= NVRAM_QUEUE_SLOTS) return;
    PutSlotByte(TRUE, wSlot, F_ISSUED, fIssued);
}

void ClearNvramQueueEntry(uint16_t wSlot) {
    if (wSlot >= NVRAM_QUEUE_SLOTS) return;
    const uint8_t bLock = LockInterruptSource(INT_SOURCE_HOST_CHIPS);
    if (wSlot < NVRAM_QUEUE_USED_SLOTS) {
        SubtractJournalPages(dOwnSlotPages(psGetNvramQueueEntry(TRUE, wSlot)));
        s_afHeldSlot[wSlot] = FALSE;
    }
    FreeSlot(TRUE, wSlot, JOURNAL_KIND_FREE, 0);
    PutSlotByte(TRUE, wSlot, F_HOLDS, FALSE);
    ClearSlotData(TRUE, wSlot);
    ZeroShadow(TRUE, wSlot);
    if (bLock != INT_LOCK_HELD) UnlockInterruptSource(INT_SOURCE_HOST_CHIPS);
}

void ReleaseOwnNvramQueueEntry(uint16_t wSlot) {
    if (wSlot >= NVRAM_QUEUE_USED_SLOTS) return;
    const NVRAM_QUEUE_ENTRY* ps = psGetNvramQueueEntry(TRUE, wSlot);
    const BUFFER_HANDLE dHandle = dSlotHandle(ps);
    const uint16_t wValid = wSlotValidBlocks(ps);
    SubtractJournalPages(dOwnSlotPages(ps));
    PutSlotByte(TRUE, wSlot, F_ISSUED, TRUE);
    PutSlotByte(TRUE, wSlot, F_HOLDS, FALSE);
    ClearSlotData(TRUE, wSlot);
    PutSlotByte(TRUE, wSlot, F_TAKEN, FALSE);
    ZeroShadow(TRUE, wSlot);
    if (dHandle != NULL_BUFFER_HANDLE && wValid != 0) (void)wFreeDataPages(dHandle, dPagesFor(wValid));
}

void DiscardNvramQueueEntry(uint8_t fOwn, uint16_t wSlot) {
    if (wSlot >= NVRAM_QUEUE_USED_SLOTS) return;
    const NVRAM_QUEUE_ENTRY* ps = psGetNvramQueueEntry(fOwn, wSlot);
    const BUFFER_HANDLE dHandle = dSlotHandle(ps);
    // A partner slot's buffer is as large as it was allocated, an own slot's
    // as the data it holds (the rest went back when the write was trimmed).
    const uint16_t wBlocks = fOwn == TRUE ? wSlotValidBlocks(ps) : wSlotBufferBlocks(ps);
    const bool fInBank = dHandle != NULL_BUFFER_HANDLE && wBlocks != 0 &&
                         fIsBufferRangeValid(dHandle, dPagesFor(wBlocks) * BUFFER_PAGE_SIZE) == TRUE;
    if (fOwn != TRUE) {
        // A buffer outside the banks names nothing to free: its reference
        // goes first.
        if (!fInBank) PutSlotLE(FALSE, wSlot, F_HANDLE, 0, 4);
        ReleasePartnerNvramQueueEntry(wSlot, TRUE);
        return;
    }
    const bool fFree = IsValid(ps) && fInBank;
    ClearNvramQueueEntry(wSlot);
    if (fFree) (void)wFreeDataPages(dHandle, dPagesFor(wBlocks));
}

void InitOwnNvramQueue() {
    for (uint16_t n = 0; n < NVRAM_QUEUE_SLOTS; ++n) {
        FormatSlot(TRUE, n);
        ZeroShadow(TRUE, n);
    }
    std::memset(s_afHeldSlot, FALSE, sizeof(s_afHeldSlot));
    s_dJournalPages = 0;
}

void ClearOwnNvramQueueData() {
    for (uint16_t n = 0; n < NVRAM_QUEUE_USED_SLOTS; ++n) ClearSlotData(TRUE, n);
    s_dJournalPages = 0;
}

void ClearPartnerNvramQueueData() {
    for (uint16_t n = 0; n < NVRAM_QUEUE_USED_SLOTS; ++n) ClearSlotData(FALSE, n);
}

uint8_t fIsNvramQueueSlotHeld(uint16_t wSlot) {
    return wSlot < NVRAM_QUEUE_USED_SLOTS ? s_afHeldSlot[wSlot] : FALSE;
}

// ---- partner journal ------------------------------------------------------------

uint8_t bRecordPartnerExtent(uint16_t wSlot, uint64_t lFirstBlock, uint16_t wBlocks, uint32_t dSequence,
                             uint8_t fWantBuffer) {
    if (wSlot >= NVRAM_QUEUE_USED_SLOTS || wBlocks == 0 || wBlocks > MAX_PARTNER_EXTENT_BLOCKS) {
        LogIgnoredPartnerMessage(wSlot, static_cast<uint32_t>(lFirstBlock), wBlocks);
        return 0;
    }
    const NVRAM_QUEUE_ENTRY* ps = psGetNvramQueueEntry(FALSE, wSlot);
    PARTNER_EXTENT_RECORD& sRecord = s_asPartner[wSlot];
    if (IsValid(ps) && sRecord.fInUse == TRUE && sRecord.lFirstBlock == lFirstBlock) {
        // The same extent again: a stream update or a resend.
        sRecord.dSequence = dSequence;
        if (fWantBuffer != TRUE && wBlocks != sRecord.wBlocks) {
            sRecord.wBlocks = wBlocks;
            PutSlotLE(FALSE, wSlot, F_COUNT, wBlocks, 2);
        }
        SetShadow(FALSE, wSlot, dSequence, lFirstBlock, sRecord.wBlocks);
        return STATUS_OK;
    }
    const uint8_t bRank = bFindRankForAddress(lFirstBlock);
    // A slot still holding an older extent gives it up first, its buffer
    // with it: that data is not this extent's.
    PutSlotByte(FALSE, wSlot, F_VALID, FALSE);
    FreePartnerBuffer(wSlot, true);
    DequeueMirrorAllocation(wSlot);
    FillPartnerRecord(wSlot, lFirstBlock, wBlocks, dSequence, bRank);
    s_abKept[wSlot] = s_fRecordsAreCopies != TRUE ? KEPT_NONE : fWantBuffer == TRUE ? KEPT_COPY_WITH_DATA : KEPT_COPY;
    uint8_t bResult = STATUS_OK;
    if (fWantBuffer == TRUE) {
        if (!TryAllocateMirrorBuffer(wSlot, wBlocks)) {
            CountMirrorCacheFull();
            if (bRank < MAX_RANKS && fIsRankPolicyBit6Set(bRank) == TRUE) QueueMirrorAllocation(wSlot, wBlocks);
            bResult = STATUS_NO_PAGES;
        }
    }
    WritePartnerSlot(wSlot, lFirstBlock, wBlocks, bRank);
    SetShadow(FALSE, wSlot, dSequence, lFirstBlock, wBlocks);
    return bResult;
}

void ReleasePartnerNvramQueueData(uint16_t wSlot) {
    if (wSlot >= NVRAM_QUEUE_USED_SLOTS) return;
    PutSlotByte(FALSE, wSlot, F_ISSUED, TRUE);
    s_asPartner[wSlot].fIssued = TRUE;
    FreePartnerBuffer(wSlot, false);
    PutSlotByte(FALSE, wSlot, F_TAKEN, FALSE);
    ZeroShadow(FALSE, wSlot);
}

void ReleasePartnerNvramQueueEntry(uint16_t wSlot, uint8_t fFreeRecordedBuffer) {
    if (wSlot >= NVRAM_QUEUE_USED_SLOTS) {
        if (wSlot < NVRAM_QUEUE_SLOTS) FreeSlot(FALSE, wSlot, JOURNAL_KIND_FREE, ~0ull);
        return;
    }
    FreeSlot(FALSE, wSlot, JOURNAL_KIND_FREE, ~0ull);
    FreePartnerBuffer(wSlot, fFreeRecordedBuffer == TRUE);
    DequeueMirrorAllocation(wSlot);
    ClearPartnerRecord(wSlot);
    ZeroShadow(FALSE, wSlot);
    s_abKept[wSlot] = KEPT_NONE;
}

void MarkPartnerExtentIssued(uint16_t wSlot, uint64_t lFirstBlock, uint16_t wBlocks, uint16_t wNewBufferBlocks,
                             uint8_t fTrim, uint8_t fCheckSameExtent) {
    if (wSlot >= NVRAM_QUEUE_USED_SLOTS) {
        LogIgnoredPartnerMessage(wSlot, static_cast<uint32_t>(lFirstBlock), wBlocks);
        return;
    }
    DequeueMirrorAllocation(wSlot);
    const NVRAM_QUEUE_ENTRY* ps = psGetNvramQueueEntry(FALSE, wSlot);
    if (fCheckSameExtent == TRUE && IsValid(ps) && ps->fIssued == TRUE && lSlotFirstBlock(ps) == lFirstBlock) return;
    PARTNER_EXTENT_RECORD& sRecord = s_asPartner[wSlot];
    const bool fKeep = IsValid(ps) && ps->fIssued != TRUE && wSlotBlockCount(ps) == wBlocks;
    if (!fKeep) {
        const uint8_t bRank = bFindRankForAddress(lFirstBlock);
        WritePartnerSlot(wSlot, lFirstBlock, wBlocks, bRank);
        if (sRecord.fInUse != TRUE || sRecord.lFirstBlock != lFirstBlock) {
            const uint16_t wMirrorPages = sRecord.wMirrorPages;
            FillPartnerRecord(wSlot, lFirstBlock, wBlocks, sRecord.dSequence, bRank);
            sRecord.wMirrorPages = wMirrorPages;
        }
    }
    PutSlotByte(FALSE, wSlot, F_ISSUED, TRUE);
    sRecord.fIssued = TRUE;
    if (ps->fHoldsData != TRUE) return;
    const uint16_t wBufferBlocks = wSlotBufferBlocks(ps);
    if (fTrim == TRUE && wNewBufferBlocks != 0) {
        if (wNewBufferBlocks >= wBufferBlocks) return;
        const uint32_t dKeep = dPagesFor(wNewBufferBlocks);
        const uint32_t dHad = dPagesFor(wBufferBlocks);
        if (wSlotValidBlocks(ps) > wNewBufferBlocks) PutSlotLE(FALSE, wSlot, F_VALID_BLOCKS, wNewBufferBlocks, 2);
        PutSlotLE(FALSE, wSlot, F_BUFFER_BLOCKS, wNewBufferBlocks, 2);
        if (dHad > dKeep) {
            (void)wFreeDataPages(dSlotHandle(ps) + dKeep * BUFFER_PAGE_SIZE, dHad - dKeep);
            const uint16_t wFreed = static_cast<uint16_t>(dHad - dKeep);
            s_wMirrorPages = s_wMirrorPages > wFreed ? s_wMirrorPages - wFreed : 0;
            sRecord.wMirrorPages = sRecord.wMirrorPages > wFreed ? sRecord.wMirrorPages - wFreed : 0;
        }
        return;
    }
    FreePartnerBuffer(wSlot, false);
}

uint8_t bMarkPartnerBlocksReceived(uint16_t wSlot, uint32_t dByteOffset, uint32_t dByteLength) {
    const NVRAM_QUEUE_ENTRY* ps = wSlot < NVRAM_QUEUE_USED_SLOTS ? psGetNvramQueueEntry(FALSE, wSlot) : nullptr;
    const uint32_t dFirst = dByteOffset / BLOCK_BYTES;
    const uint32_t dEnd = dByteLength == 0 ? dFirst : (dByteOffset + dByteLength - 1) / BLOCK_BYTES + 1;
    // The blocks must lie inside the mirror buffer the slot holds; anything
    // else would set bits, or count data, beyond it.
    if (ps == nullptr || !IsValid(ps) || ps->fHoldsData != TRUE || dByteLength == 0 ||
        dByteOffset + dByteLength < dByteOffset || dEnd > wSlotBufferBlocks(ps)) {
        LogIgnoredPartnerMessage(wSlot, dByteOffset, dByteLength);
        return 0;
    }
    uint32_t* pd = s_aadBitmap[wSlot];
    uint8_t fAlready = FALSE;
    for (uint32_t b = dFirst; b < dEnd; ++b) {
        const uint32_t dBit = 1u << (b % 32);
        if ((pd[b / 32] & dBit) != 0) fAlready = TRUE;
        pd[b / 32] |= dBit;
    }
    // The valid count is the run of arrived blocks from the start.
    uint32_t dRunFirst = 0;
    uint32_t dRunCount = 0;
    if (FindArrivedRun(wSlot, 0, wSlotBufferBlocks(ps), &dRunFirst, &dRunCount) && dRunFirst == 0 &&
        dRunCount > wSlotValidBlocks(ps)) {
        PutGrowingLE16(SlotField(FALSE, wSlot, F_VALID_BLOCKS), static_cast<uint16_t>(dRunCount));
    }
    return fAlready;
}

void ResetNvramJournalsForPartner() {
    ClearOwnNvramQueueData();
    ClearPartnerNvramQueueData();
    InitOwnNvramQueue();
    ReleasePartnerNvramQueue();
}

void ReleasePartnerNvramQueue() {
    for (uint16_t n = 0; n < NVRAM_QUEUE_SLOTS; ++n) ReleasePartnerNvramQueueEntry(n, TRUE);
    s_wMirroredExtents = 0;
}

uint8_t bGetPartnerNvramQueueEntry(uint16_t wSlot, BUFFER_HANDLE* pdHandle, uint16_t* pwBufferBlocks) {
    if (wSlot >= NVRAM_QUEUE_USED_SLOTS) return FALSE;
    const NVRAM_QUEUE_ENTRY* ps = psGetNvramQueueEntry(FALSE, wSlot);
    if (!IsValid(ps)) return FALSE;
    if (ps->fHoldsData == TRUE) {
        *pdHandle = dSlotHandle(ps);
        *pwBufferBlocks = wSlotBufferBlocks(ps);
    }
    return ps->fHoldsData;
}

uint8_t bGetJournalEntryStamp(uint16_t wSlot, uint32_t* pdStamp) {
    if (wSlot < NVRAM_QUEUE_USED_SLOTS && s_asPartner[wSlot].fInUse == TRUE) {
        *pdStamp = s_asPartner[wSlot].dSequence;
        return STATUS_OK;
    }
    *pdStamp = 0;
    return 0;
}

uint8_t ServiceMirrorAllocationQueue() {
    for (uint16_t i = 0; i < MIRROR_SERVICE_BATCH && s_wMirrorHead != s_wMirrorTail; ++i) {
        const uint16_t wSlot = s_awMirrorQueue[s_wMirrorHead];
        if (wSlot < NVRAM_QUEUE_USED_SLOTS && s_afMirrorQueued[wSlot] == TRUE &&
            IsValid(psGetNvramQueueEntry(FALSE, wSlot))) {
            if (!TryAllocateMirrorBuffer(wSlot, s_awMirrorBlocks[wSlot])) break;
            DequeueMirrorAllocation(wSlot);
        }
        if (wSlot < NVRAM_QUEUE_USED_SLOTS) s_afMirrorInRing[wSlot] = FALSE;
        s_awMirrorQueue[s_wMirrorHead] = NO_RECORD_LINK;
        s_wMirrorHead = static_cast<uint16_t>((s_wMirrorHead + 1) % MIRROR_QUEUE_SLOTS);
    }
    return s_wMirrorHead == s_wMirrorTail ? STATUS_OK : STATUS_RETRY;
}

// ---- both journals ----------------------------------------------------------------

uint8_t bReadNvramQueueFirstBlock(uint8_t fOwn, uint16_t wSlot, uint64_t* plFirstBlock) {
    if (wSlot >= NVRAM_QUEUE_SLOTS) return 0;
    const NVRAM_QUEUE_ENTRY* ps = psGetNvramQueueEntry(fOwn, wSlot);
    if (!IsValid(ps)) return 0;
    *plFirstBlock = lSlotFirstBlock(ps);
    return STATUS_OK;
}

namespace {

void DiscardBothTables(bool fKeepIssuedWrites) {
    for (uint16_t n = 0; n < NVRAM_QUEUE_USED_SLOTS; ++n) {
        for (uint8_t fOwn : {TRUE, FALSE}) {
            const NVRAM_QUEUE_ENTRY* ps = psGetNvramQueueEntry(fOwn, n);
            const BUFFER_HANDLE dHandle = dSlotHandle(ps);
            const uint16_t wValid = wSlotValidBlocks(ps);
            const bool fFree = IsValid(ps) && wValid != 0 && dHandle != NULL_BUFFER_HANDLE;
            const bool fKeepRecord = fKeepIssuedWrites && fOwn == TRUE && IsJournalledWrite(ps);
            if (!fKeepRecord) PutSlotByte(fOwn, n, F_VALID, FALSE);
            ClearSlotData(fOwn, n);
            PutSlotByte(fOwn, n, F_TAKEN, FALSE);
            PutSlotByte(fOwn, n, F_HOLDS, FALSE);
            if (!fKeepRecord) {
                PutSlotByte(fOwn, n, F_ISSUED, FALSE);
                PutSlotByte(fOwn, n, F_KIND, JOURNAL_KIND_DISCARDED);
                PutSlotLE(fOwn, n, F_FIRST, ~0ull, 8);
            }
            if (fFree) (void)wFreeDataPages(dHandle, dPagesFor(wValid));
            ZeroShadow(fOwn, n);
        }
        std::memset(s_aadBitmap[n], 0, sizeof(s_aadBitmap[n]));
        const uint16_t wMirrorPages = s_asPartner[n].wMirrorPages;
        s_wMirrorPages = s_wMirrorPages > wMirrorPages ? s_wMirrorPages - wMirrorPages : 0;
        std::memset(&s_asPartner[n], 0, sizeof(s_asPartner[n]));
        s_asPartner[n].wSegment = NO_RECORD_LINK;
        s_asPartner[n].wRank = NO_RECORD_LINK;
        s_asPartner[n].fInUse = FALSE;
        s_asPartner[n].fHeld = FALSE;
        s_asPartner[n].fIssued = FALSE;
        DequeueMirrorAllocation(n);
    }
    s_wDirtyExtents = 0;
    s_wMirroredExtents = 0;
    std::memset(s_awSegmentExtents, 0, sizeof(s_awSegmentExtents));
    std::memset(s_awRankExtents, 0, sizeof(s_awRankExtents));
    std::memset(s_afHeldSlot, FALSE, sizeof(s_afHeldSlot));
    std::memset(s_abKept, KEPT_NONE, sizeof(s_abKept));
    s_dJournalPages = 0;
}

}  // namespace

void DiscardNvramQueues() { DiscardBothTables(false); }
void DiscardNvramQueuesKeepingIssuedWrites() { DiscardBothTables(true); }

void KeepPartnerSlots() {
    for (uint16_t n = 0; n < NVRAM_QUEUE_USED_SLOTS; ++n) {
        if (IsValid(psGetNvramQueueEntry(FALSE, n))) s_abKept[n] = KEPT_FROM_BEFORE;
    }
    s_fRecordsAreCopies = TRUE;
}

void ReleaseKeptJournals() {
    s_fRecordsAreCopies = FALSE;
    for (uint16_t n = 0; n < NVRAM_QUEUE_USED_SLOTS; ++n) {
        if (s_afHeldSlot[n] == TRUE) DiscardNvramQueueEntry(TRUE, n);
        if (s_abKept[n] != KEPT_NONE) ReleasePartnerNvramQueueEntry(n, TRUE);
    }
}

void StopTakingStartCopies() { s_fRecordsAreCopies = FALSE; }

uint8_t fGetMissingStartCopyBlocks(uint16_t wSlot, uint8_t* pbRank, uint64_t* plFirst, uint16_t* pwBlocks) {
    if (wSlot >= NVRAM_QUEUE_USED_SLOTS || s_abKept[wSlot] != KEPT_COPY_WITH_DATA) return FALSE;
    const NVRAM_QUEUE_ENTRY* ps = psGetNvramQueueEntry(FALSE, wSlot);
    if (!IsValid(ps)) return FALSE;
    const uint16_t wBlocks = wSlotBlockCount(ps);
    const uint16_t wValid = ps->fHoldsData == TRUE && dSlotHandle(ps) != NULL_BUFFER_HANDLE ? wSlotValidBlocks(ps) : 0;
    if (wValid >= wBlocks) return FALSE;
    *pbRank = ps->bRank;
    *plFirst = lSlotFirstBlock(ps) + wValid;
    *pwBlocks = static_cast<uint16_t>(wBlocks - wValid);
    return TRUE;
}

uint8_t fHasStartCopyDataCome() {
    for (uint16_t n = 0; n < NVRAM_QUEUE_USED_SLOTS; ++n) {
        if (s_abKept[n] != KEPT_COPY_WITH_DATA) continue;
        const NVRAM_QUEUE_ENTRY* ps = psGetNvramQueueEntry(FALSE, n);
        if (IsValid(ps) && ps->fHoldsData == TRUE && wSlotValidBlocks(ps) != 0) return TRUE;
    }
    return FALSE;
}

uint8_t fGetStartCopyExtent(uint8_t fOwn, uint16_t wSlot, NVRAM_QUEUE_EXTENT* psExtent, uint32_t* pdSequence) {
    if (fGetNvramQueueExtent(fOwn, wSlot, psExtent) != TRUE) return FALSE;
    const NVRAM_QUEUE_ENTRY* ps = psGetNvramQueueEntry(fOwn, wSlot);
    const bool fData = psExtent->wValidBlocks != 0 && psExtent->dHandle != NULL_BUFFER_HANDLE &&
                       (fOwn == TRUE || ps->fHoldsData == TRUE) && ps->fTaken != TRUE;
    if (!fData) {
        // Only a write issued to the drives needs its stripes made
        // consistent; one that holds no data and was never issued is nothing.
        if (fOwn != TRUE || !IsJournalledWrite(ps)) return FALSE;
        psExtent->wValidBlocks = 0;
        psExtent->dHandle = NULL_BUFFER_HANDLE;
    } else {
        psExtent->wBlocks = psExtent->wValidBlocks;
    }
    const SHADOW_RECORD* psRecord = psShadow(fOwn, wSlot);
    *pdSequence = psRecord != nullptr ? static_cast<uint32_t>(psRecord->lSequence) & SEQUENCE_MASK : 0;
    return TRUE;
}

uint8_t bGetFlushExtent(uint8_t fOwn, uint16_t wSlot, uint16_t wFromBlock, uint32_t* pdBufferAddress,
                        uint64_t* plFirstBlock, uint16_t* pwBlocks) {
    if (wSlot >= NVRAM_QUEUE_USED_SLOTS) return FLUSH_NOTHING;
    const NVRAM_QUEUE_ENTRY* ps = psGetNvramQueueEntry(fOwn, wSlot);
    const uint16_t wValid = wSlotValidBlocks(ps);
    const BUFFER_HANDLE dHandle = dSlotHandle(ps);
    if (!IsValid(ps) || wValid == 0 || dHandle == NULL_BUFFER_HANDLE) return FLUSH_NOTHING;

    uint32_t dOffset = 0;
    uint32_t dCount = wValid;
    const bool fPiecewise = fOwn != TRUE && fGetFlushPiecewiseMode() == TRUE;
    if (fOwn != TRUE) {
        const uint16_t wBufferBlocks = wSlotBufferBlocks(ps);
        if (wFromBlock >= wBufferBlocks) return FLUSH_NOTHING;
        if (fPiecewise && !FindArrivedRun(wSlot, wFromBlock, wBufferBlocks, &dOffset, &dCount)) return FLUSH_NOTHING;
    }
    const uint64_t lFirst = lSlotFirstBlock(ps);
    *pdBufferAddress = static_cast<uint32_t>(dHandle + dOffset * BLOCK_BYTES);
    *plFirstBlock = lFirst + dOffset;
    *pwBlocks = static_cast<uint16_t>(dCount);
    if (fOwn != TRUE && wFromBlock != 0) return FLUSH_NOW;

    const SHADOW_RECORD* psThis = psShadow(fOwn, wSlot);
    const uint64_t lThisSequence = psThis != nullptr ? psThis->lSequence : 0;
    if (!fPiecewise) {
        for (uint16_t n = 0; n < NVRAM_QUEUE_USED_SLOTS; ++n) {
            const SHADOW_RECORD* psOther = psShadow(fOwn, n);
            if (n == wSlot || psOther == nullptr || !IsValid(psGetNvramQueueEntry(fOwn, n))) continue;
            if (psOther->lSequence == 0 || psOther->wBlocks == 0) continue;
            if (psGetNvramQueueEntry(fOwn, n)->bRank != ps->bRank ||
                !MustFollow(ps->bRank, lFirst, dCount, psOther->lFirstBlock, psOther->wBlocks)) {
                continue;
            }
            const bool fOlder = fOwn == TRUE ? psOther->lSequence < lThisSequence
                                             : IsOlderPartnerSequence(static_cast<uint32_t>(psOther->lSequence),
                                                                      static_cast<uint32_t>(lThisSequence));
            if (fOlder) return FLUSH_LATER;
        }
        return FLUSH_NOW;
    }
    PARTNER_EXTENT_RECORD& sThis = s_asPartner[wSlot];
    if (sThis.fInUse != TRUE) return FLUSH_NOW;
    for (uint16_t n = 0; n < NVRAM_QUEUE_USED_SLOTS; ++n) {
        const PARTNER_EXTENT_RECORD& sOther = s_asPartner[n];
        if (n == wSlot || sOther.fInUse != TRUE || sOther.wBlocks == 0) continue;
        const NVRAM_QUEUE_ENTRY* psOther = psGetNvramQueueEntry(FALSE, n);
        if (!IsValid(psOther) || psOther->fHoldsData != TRUE || wSlotValidBlocks(psOther) == 0) continue;
        if (sOther.wRank == sThis.wRank &&
            MustFollow(static_cast<uint8_t>(sThis.wRank), sThis.lFirstBlock, sThis.wBlocks, sOther.lFirstBlock,
                       sOther.wBlocks) &&
            IsOlderPartnerSequence(sOther.dSequence, sThis.dSequence)) {
            sThis.fHeld = TRUE;
            return FLUSH_LATER;
        }
    }
    return FLUSH_NOW;
}

// ---- counts and scans --------------------------------------------------------------

namespace {

using SLOT_TEST = bool (*)(const NVRAM_QUEUE_ENTRY* ps);

bool IsSlotValid(const NVRAM_QUEUE_ENTRY* ps) { return IsValid(ps); }
bool IsUntakenJournalledWrite(const NVRAM_QUEUE_ENTRY* ps) { return IsJournalledWrite(ps) && ps->fTaken != TRUE; }
bool IsUntakenSlot(const NVRAM_QUEUE_ENTRY* ps) { return IsValid(ps) && ps->fTaken != TRUE; }

// Slots of a table that pass a test: their number and their valid blocks.
uint16_t wCountSlots(uint8_t fOwn, SLOT_TEST pfnTest, uint32_t* pdBlocks) {
    uint16_t wCount = 0;
    uint32_t dBlocks = 0;
    for (uint16_t n = 0; n < NVRAM_QUEUE_USED_SLOTS; ++n) {
        const NVRAM_QUEUE_ENTRY* ps = psGetNvramQueueEntry(fOwn, n);
        if (!pfnTest(ps)) continue;
        ++wCount;
        dBlocks += wSlotValidBlocks(ps);
    }
    if (pdBlocks != nullptr) *pdBlocks = dBlocks;
    return wCount;
}

uint16_t wFindSlot(uint8_t fOwn, SLOT_TEST pfnTest, uint16_t wFrom) {
    for (uint16_t n = wFrom; n < NVRAM_QUEUE_USED_SLOTS; ++n) {
        if (pfnTest(psGetNvramQueueEntry(fOwn, n))) return n;
    }
    return NVRAM_QUEUE_USED_SLOTS;
}

bool HoldsData(const NVRAM_QUEUE_ENTRY* ps) {
    return IsValid(ps) && wSlotValidBlocks(ps) != 0 && dSlotHandle(ps) != NULL_BUFFER_HANDLE;
}

void ClearTakenMarks(uint8_t fOwn) {
    for (uint16_t n = 0; n < NVRAM_QUEUE_USED_SLOTS; ++n) PutSlotByte(fOwn, n, F_TAKEN, FALSE);
}

}  // namespace

uint16_t wCountCachedOwnExtents(uint32_t* pdBlocks) { return wCountSlots(TRUE, IsOwnSlotCached, pdBlocks); }
uint16_t wFindNextCachedOwnExtent(uint16_t wFrom) { return wFindSlot(TRUE, IsOwnSlotCached, wFrom); }

// A valid own slot that is neither an issued write nor holding cached data
// describes nothing a flush or resync needs and is cleared.  (Cached data is
// kept: clearing it here would lose writes the hosts were told are safe.)
uint16_t wCountJournalledWrites() {
    uint16_t wCount = 0;
    for (uint16_t n = 0; n < NVRAM_QUEUE_USED_SLOTS; ++n) {
        const NVRAM_QUEUE_ENTRY* ps = psGetNvramQueueEntry(TRUE, n);
        if (!IsValid(ps)) continue;
        if (IsJournalledWrite(ps)) {
            ++wCount;
        } else if (wSlotValidBlocks(ps) == 0 || dSlotHandle(ps) == NULL_BUFFER_HANDLE) {
            ClearNvramQueueEntry(n);
        }
    }
    return wCount;
}

uint16_t wFindNextWriteToFlush() { return wFindSlot(TRUE, IsUntakenJournalledWrite, 0); }
uint16_t wFindNextPartnerSlot() { return wFindSlot(FALSE, IsUntakenSlot, 0); }

void MarkNvramQueueEntryTaken(uint8_t fOwn, uint16_t wSlot) {
    if (wSlot < NVRAM_QUEUE_USED_SLOTS) PutSlotByte(fOwn, wSlot, F_TAKEN, TRUE);
}

uint8_t fNvramQueueHoldsData(uint8_t fOwn) {
    return ToFlag(wFindSlot(fOwn, HoldsData, 0) < NVRAM_QUEUE_USED_SLOTS);
}

uint8_t fGetNvramQueueExtent(uint8_t fOwn, uint16_t wSlot, NVRAM_QUEUE_EXTENT* psExtent) {
    if (wSlot >= NVRAM_QUEUE_USED_SLOTS) return FALSE;
    const NVRAM_QUEUE_ENTRY* ps = psGetNvramQueueEntry(fOwn, wSlot);
    if (!IsValid(ps)) return FALSE;
    psExtent->bRank = ps->bRank;
    psExtent->lFirstBlock = lSlotFirstBlock(ps);
    psExtent->wBlocks = wSlotBlockCount(ps);
    psExtent->dHandle = dSlotHandle(ps);
    psExtent->wValidBlocks = wSlotValidBlocks(ps);
    return TRUE;
}
void ClearOwnTakenMarks() { ClearTakenMarks(TRUE); }
uint16_t wCountPartnerExtentsWithData(uint32_t* pdBlocks) { return wCountSlots(FALSE, IsPartnerSlotCached, pdBlocks); }
uint16_t wFindNextPartnerExtentWithData(uint16_t wFrom) { return wFindSlot(FALSE, IsPartnerSlotCached, wFrom); }
uint16_t wCountValidPartnerSlots() { return wCountSlots(FALSE, IsSlotValid, nullptr); }
void ClearPartnerTakenMarks() { ClearTakenMarks(FALSE); }

uint16_t wGetJournalInUseCount() { return wCountSlots(TRUE, IsSlotValid, nullptr); }

uint32_t dGetJournalPageCount() { return s_dJournalPages; }
uint16_t wGetDirtyExtentCount() { return s_wDirtyExtents; }
uint16_t wGetMirroredExtentCount() { return s_wMirroredExtents; }
uint16_t wGetSegmentExtentCount(uint16_t wSegment) {
    return wSegment < MAX_HOST_LUNS ? s_awSegmentExtents[wSegment] : 0;
}
uint16_t wGetRankExtentCount(uint8_t bRank) { return bRank < MAX_RANKS ? s_awRankExtents[bRank] : 0; }
uint16_t wGetMirrorPagesInUse() { return s_wMirrorPages; }

// ---- periodic step and dumps ---------------------------------------------------------

void NvramJournalService() {
    const uint64_t lNow = lGetTickCount();
    if (lNow - s_lLastPeriodicStep < PERIODIC_STEP_MS || bGetCacheSetting20d() != TRUE) return;
    ResetOtherPriorityCounts();
    s_lLastPeriodicStep = lNow;
    uint16_t wLeft = s_wDirtyExtents;
    for (uint16_t n = 0; n < NVRAM_QUEUE_USED_SLOTS && wLeft != 0; ++n) {
        const PARTNER_EXTENT_RECORD& s = s_asPartner[n];
        if (s.fInUse != TRUE) continue;
        --wLeft;
        const uint64_t lAge = lNow > s.lTimeCached + PERIODIC_STEP_MS ? (lNow - s.lTimeCached - PERIODIC_STEP_MS) / 1000 : 0;
        if (lAge != 0 && lAge < MAX_AGE_SECONDS && s.wRank < MAX_RANKS) {
            IncOtherPriorityCount(static_cast<uint8_t>(s.wRank), static_cast<uint16_t>(lAge));
        }
    }
}

namespace {

void PrintSlotHead(uint16_t wSlot, const NVRAM_QUEUE_ENTRY* ps) {
    const uint8_t* pb = ps->abFirstBlock;
    ConsolePrintf("%03x %02x %02x%02x%02x%02x%02x%02x%02x%02x %02x%02x", wSlot, ps->bKind, pb[7], pb[6], pb[5], pb[4],
                  pb[3], pb[2], pb[1], pb[0], ps->abBlockCount[1], ps->abBlockCount[0]);
}

void PrintSequence(uint64_t lSequence) {
    ConsolePrintf("SEQ: %02x%08x ", static_cast<uint32_t>((lSequence >> 32) & 0xFF), static_cast<uint32_t>(lSequence));
}

}  // namespace

void ShowNvramQueue() {
    ConsolePrintf("NVRAM queue:\n");
    for (uint16_t n = 0; n < NVRAM_QUEUE_SLOTS; ++n) {
        const NVRAM_QUEUE_ENTRY* ps = psGetNvramQueueEntry(TRUE, n);
        if (!IsValid(ps)) continue;
        PrintSlotHead(n, ps);
        const uint8_t* pbH = ps->abBufferHandle;
        ConsolePrintf(" C:%02x%02x%02x%02x B:%02x%02x V:%02x%02x ", pbH[3], pbH[2], pbH[1], pbH[0],
                      ps->abBufferBlocks[1], ps->abBufferBlocks[0], ps->abValidBlocks[1], ps->abValidBlocks[0]);
        const SHADOW_RECORD* psRecord = psShadow(TRUE, n);
        PrintSequence(psRecord != nullptr ? psRecord->lSequence : 0);
        ConsolePrintf(ps->fIssued == TRUE ? "WS\n" : "\n");
    }
    ConsolePrintf("Done!\n");
}

void ShowPartnerNvramQueue() {
    ConsolePrintf("Other Controller NVRAM queue:%03x\n", s_wDirtyExtents);
    const uint64_t lNow = lGetTickCount();
    for (uint16_t n = 0; n < NVRAM_QUEUE_SLOTS; ++n) {
        const NVRAM_QUEUE_ENTRY* ps = psGetNvramQueueEntry(FALSE, n);
        if (!IsValid(ps)) continue;
        PrintSlotHead(n, ps);
        ConsolePrintf(ps->fIssued == TRUE ? " WS" : "   ");
        ConsolePrintf(ps->fHoldsData == TRUE ? " MC" : "   ");
        const uint8_t* pbH = ps->abBufferHandle;
        ConsolePrintf(" %02x%02x%02x%02x %02x%02x %02x%02x ", pbH[3], pbH[2], pbH[1], pbH[0], ps->abBufferBlocks[1],
                      ps->abBufferBlocks[0], ps->abValidBlocks[1], ps->abValidBlocks[0]);
        const SHADOW_RECORD* psRecord = psShadow(FALSE, n);
        PrintSequence(psRecord != nullptr ? psRecord->lSequence : 0);
        uint64_t lAge = 0;
        if (n < NVRAM_QUEUE_USED_SLOTS && s_asPartner[n].fInUse == TRUE && lNow > s_asPartner[n].lTimeCached) {
            lAge = lNow - s_asPartner[n].lTimeCached;
        }
        ConsolePrintf(" %02d.%03ds\n", static_cast<int>(lAge / 1000), static_cast<int>(lAge % 1000));
    }
    for (uint8_t r = 0; r < MAX_RANKS; ++r) {
        if (s_awRankExtents[r] != 0) ConsolePrintf("Rank:%02x:%03x\n", r, s_awRankExtents[r]);
    }
    for (uint16_t l = 0; l < MAX_HOST_LUNS; ++l) {
        if (s_awSegmentExtents[l] != 0) ConsolePrintf("LUN:%03x:%03x\n", l, s_awSegmentExtents[l]);
    }
    ConsolePrintf("Done!\n");
}

void ShowMirrorCacheAllocationQueue() {
    ConsolePrintf("Mirror Cache Allocation Queue\n");
    ConsolePrintf("Head %04x, Tail %04x\n", s_wMirrorHead, s_wMirrorTail);
    for (uint16_t i = s_wMirrorHead; i != s_wMirrorTail; i = static_cast<uint16_t>((i + 1) % MIRROR_QUEUE_SLOTS)) {
        const uint16_t wSlot = s_awMirrorQueue[i];
        if (wSlot >= NVRAM_QUEUE_USED_SLOTS || s_afMirrorQueued[wSlot] != TRUE) continue;
        ConsolePrintf("Entry %04x, Valid %02x, Blocks %04x\n", wSlot, psGetNvramQueueEntry(FALSE, wSlot)->fValid,
                      s_awMirrorBlocks[wSlot]);
    }
}

}  // namespace fw
