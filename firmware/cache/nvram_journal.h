// The NVRAM write journal: one 24-byte slot in battery-backed NVRAM for every
// host write that is accepted but not yet on the drives, and a second table
// holding the partner controller's cached writes that were mirrored here.
//
// Slot n of the own table belongs to host entry n.  A RAM shadow in bank 0
// carries each slot's sequence number, so that overlapping extents are
// written in arrival order after a restart; RAM records of the partner's
// extents carry their age, counters and per-block arrival bitmaps.
#pragma once

#include <cstddef>
#include <cstdint>

#include "executive/buffer_pages.h"

namespace fw {

struct KERNEL_ENTRY;

constexpr uint16_t NVRAM_QUEUE_SLOTS = 4096;     // formatted
constexpr uint16_t NVRAM_QUEUE_USED_SLOTS = 3200;  // one per host entry
constexpr uint32_t NVRAM_QUEUE_ENTRY_SIZE = 24;
constexpr uint32_t NVRAM_SHADOW_PAGES = 38;
constexpr uint32_t NVRAM_SHADOW_TABLE_BYTES = 76800;
constexpr uint32_t PARTNER_BITMAP_WORDS = 512;     // one bit per block of a 16384-block extent
constexpr uint16_t MIRROR_QUEUE_SLOTS = 3201;

// Slot kinds.
constexpr uint8_t JOURNAL_KIND_WRITE16 = 0x8A;
constexpr uint8_t JOURNAL_KIND_INTERNAL = 0xF2;
constexpr uint8_t JOURNAL_KIND_FREE = 0x69;
constexpr uint8_t JOURNAL_KIND_DISCARDED = 0xFF;

// Answers of the flush ordering rule.
constexpr uint8_t FLUSH_NOTHING = 0;
constexpr uint8_t FLUSH_NOW = 255;
constexpr uint8_t FLUSH_LATER = 238;

// Sequence numbers of partner extents wrap at 24 bits; one is older than
// another when it is less than 2^23 behind it.
constexpr uint32_t PARTNER_SEQUENCE_WINDOW = 8388608;

#pragma pack(push, 1)
// One slot as it lies in NVRAM; every multi-byte field little-endian, written
// and read byte by byte.
struct NVRAM_QUEUE_ENTRY {
    uint8_t fValid;            // TRUE while the slot describes a write
    uint8_t fTaken;            // taken by a flush scan
    uint8_t fIssued;           // the write was issued to the drives ("WS")
    uint8_t fHoldsData;        // the named buffer holds the extent's data
    uint8_t bKind;             // CDB opcode, 0xF2 internal, 0x69 free
    uint8_t bRank;
    uint8_t abBlockCount[2];
    uint8_t abFirstBlock[8];   // internal address
    uint8_t abBufferHandle[4]; // "C:"
    uint8_t abBufferBlocks[2]; // "B:" blocks the buffer was allocated for
    uint8_t abValidBlocks[2];  // "V:" blocks of data received into the buffer
};
#pragma pack(pop)
static_assert(sizeof(NVRAM_QUEUE_ENTRY) == NVRAM_QUEUE_ENTRY_SIZE);
static_assert(offsetof(NVRAM_QUEUE_ENTRY, fTaken) == 1);
static_assert(offsetof(NVRAM_QUEUE_ENTRY, fIssued) == 2);
static_assert(offsetof(NVRAM_QUEUE_ENTRY, fHoldsData) == 3);
static_assert(offsetof(NVRAM_QUEUE_ENTRY, bKind) == 4);
static_assert(offsetof(NVRAM_QUEUE_ENTRY, bRank) == 5);
static_assert(offsetof(NVRAM_QUEUE_ENTRY, abBlockCount) == 6);
static_assert(offsetof(NVRAM_QUEUE_ENTRY, abFirstBlock) == 8);
static_assert(offsetof(NVRAM_QUEUE_ENTRY, abBufferHandle) == 16);
static_assert(offsetof(NVRAM_QUEUE_ENTRY, abBufferBlocks) == 20);
static_assert(offsetof(NVRAM_QUEUE_ENTRY, abValidBlocks) == 22);

// Where a slot lies in the NVRAM window, and a view of it.
uint32_t dNvramQueueSlotOffset(uint8_t fOwn, uint16_t wSlot);
const NVRAM_QUEUE_ENTRY* psGetNvramQueueEntry(uint8_t fOwn, uint16_t wSlot);

// ---- start of day ----------------------------------------------------------
// Checks the marker, reports cached data whose buffers did not survive
// (event 101) and drops their buffer references, frees the slots of writes
// not issued to the drives that hold no data (those lost among them),
// formats a journal that was never formatted.
void StartNvramJournal();
// Takes the RAM shadow back (or makes a new one) and marks every buffer a
// journalled extent still holds in use, so that it is not handed out before
// it is flushed.
void StartNvramJournalReplay();
// The RAM side: bitmaps, partner records, counters, the mirror allocation
// queue.
void InitNvramJournal();

// ---- own journal -----------------------------------------------------------
void RecordNvramQueueEntry(KERNEL_ENTRY* psEntry);
// Journals a write as it is issued to the drives (no buffer fields).
void RejournalNvramQueueEntry(KERNEL_ENTRY* psEntry);
// Journals a write of the RAID engine's own paths (kind 0xF2).
void RejournalInternalNvramQueueEntry(KERNEL_ENTRY* psEntry);
void AddNvramQueueValidBlocks(uint16_t wSlot, uint16_t wBlocks);
void SetNvramQueueEntryFlag(uint16_t wSlot, uint8_t fIssued);
void ClearNvramQueueEntry(uint16_t wSlot);
// After the flush sequencer wrote the slot's data: the buffer goes back to
// the pool; the slot stays as an issued write for the resync pass.
void ReleaseOwnNvramQueueEntry(uint16_t wSlot);
// A slot the flush sequencer cannot write (its array or logical drive is
// gone, its extent or buffer makes no sense): its buffer, when it lies in
// a bank, goes back to the pool and the slot is emptied.
void DiscardNvramQueueEntry(uint8_t fOwn, uint16_t wSlot);
void InitOwnNvramQueue();
void ClearOwnNvramQueueData();
void ClearPartnerNvramQueueData();
// TRUE while the own slot describes a write that no host entry of this run
// recorded (left over from before a restart, waiting for its flush).
uint8_t fIsNvramQueueSlotHeld(uint16_t wSlot);

// ---- partner journal -------------------------------------------------------
// Records a mirrored extent (message 96 with fWantBuffer TRUE, 99 FALSE).
// 255, or 0 when the slot or the extent is out of range.
uint8_t bRecordPartnerExtent(uint16_t wSlot, uint64_t lFirstBlock, uint16_t wBlocks, uint32_t dSequence,
                             uint8_t fWantBuffer);
// After the flush sequencer wrote a partner extent's data: its mirror buffer
// goes back to the pool; the slot stays valid as an issued write, so that the
// resync makes the stripes it touched consistent before it is released.
void ReleasePartnerNvramQueueData(uint16_t wSlot);
// Message 97 and the flushed or RAID-released partner write.  The buffer is
// freed when the slot holds data, and with fFreeRecordedBuffer TRUE also
// whenever a handle and buffer blocks are recorded.
void ReleasePartnerNvramQueueEntry(uint16_t wSlot, uint8_t fFreeRecordedBuffer);
// Message 98.
void MarkPartnerExtentIssued(uint16_t wSlot, uint64_t lFirstBlock, uint16_t wBlocks, uint16_t wNewBufferBlocks,
                             uint8_t fTrim, uint8_t fCheckSameExtent);
// Message 129 for blocks beyond the mirror buffer: a stream's later pieces
// land after the blocks the record named, and the buffer grows to hold them
// (at least doubling, so a long stream moves its data a few times only).
// 255; 0 when the slot holds no buffer or the extent would pass the
// largest one; 66 when no pages can be had.
uint8_t bGrowPartnerMirrorBuffer(uint16_t wSlot, uint32_t dBlocks);
// The partner asks again for a mirror buffer for the extent it recorded in
// the slot (the sequence number names which): 255 when the slot holds one
// now, 66 when no pages can be had yet (the slot stays on the allocation
// queue if it was on it), 0 when the slot no longer holds that extent or it
// was already issued.
uint8_t bRetryPartnerMirrorBuffer(uint16_t wSlot, uint32_t dSequence);
// Message 129: TRUE when any of the blocks had already arrived; 0 when the
// slot or the range is out of bounds (nothing is marked).
uint8_t bMarkPartnerBlocksReceived(uint16_t wSlot, uint32_t dByteOffset, uint32_t dByteLength);
// Message 34: data fields of both tables, the own table formatted, the
// partner table released.
void ResetNvramJournalsForPartner();
void ReleasePartnerNvramQueue();
uint8_t bGetPartnerNvramQueueEntry(uint16_t wSlot, BUFFER_HANDLE* pdHandle, uint16_t* pwBufferBlocks);
uint8_t bGetJournalEntryStamp(uint16_t wSlot, uint32_t* pdStamp);
uint8_t ServiceMirrorAllocationQueue();

// ---- both journals ---------------------------------------------------------
// 255 and the first block when the slot is valid, else 0.
uint8_t bReadNvramQueueFirstBlock(uint8_t fOwn, uint16_t wSlot, uint64_t* plFirstBlock);
// Start of day without a flush: every cached buffer freed, every slot emptied.
void DiscardNvramQueues();
// The same, but the own slots of writes issued to the drives keep their
// record (rank, first block, blocks) without their data: those rows may be
// half written and are still to be resynced.
void DiscardNvramQueuesKeepingIssuedWrites();
// The flush ordering rule: what to write of a slot next.
uint8_t bGetFlushExtent(uint8_t fOwn, uint16_t wSlot, uint16_t wFromBlock, uint32_t* pdBufferAddress,
                        uint64_t* plFirstBlock, uint16_t* pwBlocks);

// ---- a start of both together ----------------------------------------------
// The controller that does not write the journals out keeps them until its
// partner says they are on the drives: the own slots left from before the
// restart, the partner slots held now, and the copies the partner gives of
// the writes it holds that this controller may lack (records that arrive
// from here on).
void KeepPartnerSlots();
// The partner has the journals on the drives: what was kept goes; records
// that came later (the partner's writes since) stay.
void ReleaseKeptJournals();
// The partner was lost first: what was kept is written out here, and later
// records are the partner's own again.
void StopTakingStartCopies();
// A copy that was to carry data and lacks some of it (its partner was lost
// before the data came): its array and the internal address and count of
// the blocks missing.  FALSE when nothing is missing.
uint8_t fGetMissingStartCopyBlocks(uint16_t wSlot, uint8_t* pbRank, uint64_t* plFirst, uint16_t* pwBlocks);
// Some copy's data has come: every record came before it (records are
// given first), so the copies name all the partner holds.
uint8_t fHasStartCopyDataCome();
// What the controller writing the journals out copies to its partner of a
// slot: the extent with its data (the blocks of data it holds), or, for an
// own write issued to the drives without data here, the extent alone (its
// stripes to be made consistent); and the 24 bits of its sequence number the
// partner keeps.  FALSE for a slot with nothing to copy.
struct NVRAM_QUEUE_EXTENT;
uint8_t fGetStartCopyExtent(uint8_t fOwn, uint16_t wSlot, NVRAM_QUEUE_EXTENT* psExtent, uint32_t* pdSequence);

// ---- counts and scans ------------------------------------------------------
uint16_t wCountCachedOwnExtents(uint32_t* pdBlocks);
uint16_t wFindNextCachedOwnExtent(uint16_t wFrom);     // NVRAM_QUEUE_USED_SLOTS: none
uint16_t wCountJournalledWrites();
// The next journalled write (own) or valid slot (partner) that is not taken;
// NVRAM_QUEUE_USED_SLOTS: none.  The caller marks it taken once it holds
// what it needs to serve it.
uint16_t wFindNextWriteToFlush();
uint16_t wFindNextPartnerSlot();
void MarkNvramQueueEntryTaken(uint8_t fOwn, uint16_t wSlot);
void ClearOwnTakenMarks();
// Whether any slot of the table still holds cached data, taken or not.
uint8_t fNvramQueueHoldsData(uint8_t fOwn);
// What a valid slot describes: its array, first block (internal address),
// block count, buffer and the blocks of data the buffer holds.  FALSE for a
// slot that is not valid.
struct NVRAM_QUEUE_EXTENT {
    uint8_t bRank;
    uint64_t lFirstBlock;
    uint16_t wBlocks;
    BUFFER_HANDLE dHandle;
    uint16_t wValidBlocks;
};
uint8_t fGetNvramQueueExtent(uint8_t fOwn, uint16_t wSlot, NVRAM_QUEUE_EXTENT* psExtent);
uint16_t wCountPartnerExtentsWithData(uint32_t* pdBlocks);
uint16_t wFindNextPartnerExtentWithData(uint16_t wFrom);
uint16_t wCountValidPartnerSlots();
void ClearPartnerTakenMarks();
uint16_t wGetJournalInUseCount();
uint32_t dGetJournalPageCount();
uint16_t wGetDirtyExtentCount();
uint16_t wGetMirroredExtentCount();
uint16_t wGetSegmentExtentCount(uint16_t wSegment);
uint16_t wGetRankExtentCount(uint8_t bRank);
uint16_t wGetMirrorPagesInUse();

// ---- periodic step and dumps ---------------------------------------------
void NvramJournalService();
void ShowNvramQueue();
void ShowPartnerNvramQueue();
void ShowMirrorCacheAllocationQueue();

}  // namespace fw
