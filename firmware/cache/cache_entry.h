// The cache's own fields of a host KERNEL_ENTRY, in the cache range of the
// entry's subsystem area, and the command types and mirror states the write
// and read paths give an entry (the shared record codes are the target
// engine's, target/host_command_codes.h).
//
// The fields the whole I/O core shares (addresses, pass counters, the pieces
// counters, buffer handle, transfer blocks, sequence numbers) sit in the
// record itself; what only the cache and its ordering queues use lives here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "executive/kernel_entry.h"
#include "hw/addresses.h"
#include "target/host_command_codes.h"

namespace fw {

#pragma pack(push, 1)
struct CACHE_ENTRY_FIELDS {
    WORD_POINTER<KERNEL_ENTRY> psStreamHead;  // pieces and continuations: the stream head
    uint32_t dPieceBufferAddress;   // continuation: where its head share lands in the head's buffer
    uint64_t lBlockerArrival;       // arrival number of the recorded blocking write
    uint16_t wBufferBlocks;         // capacity of the page run in blocks
    uint16_t wStreamBlocks;         // stream head: blocks gathered; read: transfer offset
    uint16_t wPiecesIssued;         // pieces expected - 1, fixed when the stream is released
    uint16_t wPieceBlocks;          // blocks a piece adds to its head
    uint16_t wHeadShare;            // continuation: blocks that land at the end of its head's buffer
    uint16_t wJournalBlocks;        // blocks counted into the command's own journal slot
    uint16_t wMirrorState;          // partner mirror handshake bits (MIRROR_*)
    uint16_t wBlocksInOrder;        // blocks of the stream received in address order
    uint16_t wStatusesSent;         // pieces of the stream already answered
    uint16_t wCollapseLink;         // index of the write this one collapses
    uint16_t wBlockingLink;         // index of the earlier write it waits for (3200 or more: none)
    uint16_t wReaderCount;          // write: reads being served from its buffer
    uint16_t wServingWrite;         // read: the write whose buffer serves it
    uint16_t wDataBlocks;           // read: blocks sent to the host
    uint16_t wFirstPieceBlocks;     // blocks of the command in its first segment
    uint16_t wSecondPieceBlocks;    // ... and in the second (0: one segment)
    uint8_t bBufferBank;            // bank of the page run
    uint8_t bReadAheadSlot;         // read-ahead slot that holds or receives the data (255: none)
    uint8_t bPassMarker;            // 1 once a transfer pass was set up
    uint8_t fMirrorDecision;        // TRUE when the start decided to mirror the write
    uint8_t bMirrorBufferRetries;   // records sent again for want of a partner mirror buffer
    uint8_t bKeptStreamClass;       // the stream detection's answer while the start is turned away (0: none)
    uint8_t bDestageTries;          // write answered GOOD: tries the drives refused
};
#pragma pack(pop)
static_assert(sizeof(CACHE_ENTRY_FIELDS) <= KE_AREA_CACHE_SIZE);
static_assert(offsetof(CACHE_ENTRY_FIELDS, lBlockerArrival) == 8);

inline CACHE_ENTRY_FIELDS* psCacheFields(KERNEL_ENTRY* psEntry) {
    return EntryArea<CACHE_ENTRY_FIELDS, KE_AREA_CACHE_OFFSET, KE_AREA_CACHE_SIZE>(psEntry);
}
inline const CACHE_ENTRY_FIELDS* psCacheFields(const KERNEL_ENTRY* psEntry) {
    return psCacheFields(const_cast<KERNEL_ENTRY*>(psEntry));
}

// Sets the cache fields of a host entry to their free values (the host pool's
// release and start of day call it).
void ResetCacheEntryFields(KERNEL_ENTRY* psEntry);

constexpr uint16_t NO_ENTRY_LINK = 0xFFFF;
constexpr uint8_t NO_READ_AHEAD_SLOT = 255;

// Command types of host writes and reads, besides the stream types and the
// flush writes of the record codes.
constexpr uint8_t CT_READ_FILL = '2';
constexpr uint8_t CT_READ_AHEAD_HIT = '3';
constexpr uint8_t CT_PLAIN_WRITE = 130;
constexpr uint8_t CT_READ_FILL_FALLBACK = 132;
constexpr uint8_t CT_EXPANSION = 172;
constexpr uint8_t CT_READ_AHEAD_PREFETCH = 189;
constexpr uint8_t CT_READ_FROM_WRITE = 193;
constexpr uint8_t CT_DATA_SERVICES_READ = 194;
constexpr uint8_t CT_ZERO_WRITE = 195;

// Mirror state bits.
constexpr uint16_t MIRROR_REQUESTED = 0x001;
constexpr uint16_t MIRROR_ACCEPTED = 0x002;
constexpr uint16_t MIRROR_REFUSED = 0x004;
constexpr uint16_t MIRROR_WAITING = 0x008;
constexpr uint16_t MIRROR_DONE = 0x010;
constexpr uint16_t MIRROR_CONT_WAITING = 0x020;
constexpr uint16_t MIRROR_CONT_ASKED = 0x040;
constexpr uint16_t MIRROR_CONT_ACCEPTED = 0x080;
constexpr uint16_t MIRROR_CONT_REFUSED = 0x100;
constexpr uint16_t MIRROR_INHERITED = 0x200;

}  // namespace fw
