// The read-ahead slots, the controller's only read cache: 40 slots of 2 MB
// each.  A read that follows a sequential predecessor grows into a prefetch
// that fills a slot; later reads inside a slot are answered from it by
// handle arithmetic, without touching the drives; once half a slot has been
// read (a tenth while reads wait for it) the next extent is prefetched into
// another.  Writes cut or drop the slots they overlap.
#pragma once

#include <cstdint>

#include "executive/buffer_pages.h"

namespace fw {

struct KERNEL_ENTRY;

constexpr uint8_t READ_AHEAD_SLOTS = 40;
constexpr uint32_t READ_AHEAD_SLOT_BLOCKS = 4096;     // 2 MB
// Answers of the lookup and of the invalidation.
constexpr uint8_t READ_AHEAD_HIT = 64;
constexpr uint8_t READ_AHEAD_MISS = 65;
constexpr uint8_t READ_AHEAD_LOADING = 67;

struct READ_AHEAD_SLOT {
    uint64_t lStart;             // first internal address held; all ones when empty
    uint64_t lEnd;               // first address after it; all ones when empty
    uint64_t lBlocksServed;      // since it was filled
    BUFFER_HANDLE dHandle;       // its 2 MB, fixed; null when it has none
    uint16_t wLength;            // blocks it was filled with; 0 empty
    uint16_t wUsers;             // reads and prefetches using it, the prefetch included
    uint16_t wWaiters;           // reads that came while it loaded
    uint8_t fLoaded;
    uint8_t bBank;
    uint8_t fNextPrefetched;     // the following extent has been asked for
};

// Start-up: each slot takes its 2 MB while the bank keeps three quarters of
// its pages for everything else; a slot without them is never claimed.
void AllocReadAheadBuffers();
// Every slot empty (the configuration was applied).
void InitReadAheadBuffers();

// A read inside a slot: 64 its data is there, 67 the slot still loads, 65
// a miss; the handle of the data, and TRUE in pfStreaming when the next
// extent should be prefetched now.
uint8_t bLookupReadAhead(KERNEL_ENTRY* psRead, BUFFER_HANDLE* pdHandle, uint16_t* pwBlocks, uint8_t* pbSlot,
                         uint8_t* pfStreaming);
// A slot for a prefetch of wBlocks from the read's address: TRUE and its
// buffer, FALSE when none is free.
uint8_t bClaimReadAheadSlot(KERNEL_ENTRY* psRead, BUFFER_HANDLE* pdHandle, uint16_t wBlocks, uint8_t* pbSlot);
// TRUE and the prefetch size for a sequential read; FALSE when the extent
// left to prefetch is not worth it.
uint8_t bGetPrefetchSize(KERNEL_ENTRY* psRead, uint16_t* pwBlocks);
// 255 and a new read that fills the next slot; 16 when none can be started.
uint8_t bPrefetchNextExtent(KERNEL_ENTRY* psRead, KERNEL_ENTRY** ppsPrefetch);
// A write over [address, address + blocks): 64 when a slot was dropped,
// 65 otherwise.
uint8_t InvalidateReadAhead(uint64_t lAddress, uint32_t dBlocks);
// The reads waiting (state 103) for the slot go on to the port's "Data
// Available" ring, or with fCancel back to their queues as plain reads.
void ServeReadAheadWaiters(uint8_t bSlot, uint8_t bPortCode, uint8_t fCancel);
// The back-end completion of a next-extent prefetch (command type 189).
void CompleteReadAheadPrefetch(KERNEL_ENTRY* psPrefetch);

void TouchReadAheadSlot(uint8_t bSlot);
// One more read uses the slot; it takes wBlocks of it.
void AddReadAheadUser(uint8_t bSlot, uint16_t wBlocks);
// A read or prefetch has done with the slot (never below 0); fLockHeld TRUE
// from the host chips' interrupt path.
void DecReadAheadWaitCount(uint8_t bSlot, uint8_t fLockHeld);
void SetReadAheadLoaded(uint8_t bSlot, uint8_t fLoaded);
uint16_t wGetReadAheadUsers(uint8_t bSlot);
uint8_t bGetLruSlot(uint8_t bPosition);
// Empties the slot: nothing it held is found again.
void ReleaseReadAheadSlot(uint8_t bSlot);
const READ_AHEAD_SLOT* psGetReadAheadSlot(uint8_t bSlot);
void ShowReadAheadBuffers();

}  // namespace fw
