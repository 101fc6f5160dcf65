// The start of a host WRITE(16): CDB decoding and transfer passes (shared
// with READ(16)), the write-back decision, stream clustering, buffer pages and
// the data-out transfer.
//
// The cache's unit is the host command's own buffer: a write takes a run of
// pages, its data lands there, and GOOD goes out once the data is in (write-
// back) or once the drives have it (write-through).  Sequential writes that
// follow one another on a port are gathered into one buffer, a stream, so
// that the RAID engine receives one large write instead of many small ones.
#pragma once

#include <cstdint>

#include "eventlog/statistics.h"
#include "executive/buffer_pages.h"

namespace fw {

struct KERNEL_ENTRY;

// Results of the sequential-write detection.
constexpr uint8_t WRITE_CLASS_NO_BUFFER = 66;
constexpr uint8_t WRITE_CLASS_PIECE = 68;
constexpr uint8_t WRITE_CLASS_NEW = 69;            // not joined; may open a stream
constexpr uint8_t WRITE_CLASS_CONTINUATION = 70;
constexpr uint8_t WRITE_CLASS_PLAIN = 71;          // not sequential

// Results of the start routines besides 255 and 66.
constexpr uint8_t START_RANK_SHARE_USED = RANK_WRITE_LOAD_SHARED;

constexpr uint16_t MAX_PASS_BLOCKS = 16384;
constexpr uint16_t MAX_STREAM_BUFFER_BLOCKS = 8192;
constexpr uint16_t MAX_STREAM_PIECES = 512;
constexpr uint16_t MAX_STREAM_BLOCKS = 16384;

// ---- addresses ---------------------------------------------------------------
// The address relative to the start of its rank.
uint64_t lGetBlocksBeforeStripe(uint64_t lAddress, uint8_t bRank);
// The first rank whose last address reaches the address; 255 when none.
uint8_t bFindRankForAddress(uint64_t lAddress);
// How many ranks the extent [address, address + blocks) touches, and the
// first of them (0 and 255 when none).
void GetSegmentSpan(uint64_t lAddress, uint32_t dBlocks, uint8_t* pbCount, uint8_t* pbFirst);

// ---- decoding and passes ---------------------------------------------------
// Fills the internal address, the command blocks, the segment fields and the
// rank from the CDB.  The block count is the transfer length the range check
// passed (it refuses anything that does not fit 16 bits once multiplied by
// the block factor).
void ParseReadWrite16Cdb(KERNEL_ENTRY* psEntry);
// Sets up the next transfer pass; TRUE when more passes follow.
uint8_t bSetupTransferPass(KERNEL_ENTRY* psEntry);
// TRUE when the decoded transfer is cut into passes (longer than one pass,
// or over two segments): each pass holds buffer pages for its own blocks.
uint8_t fMovesInPasses(const KERNEL_ENTRY* psEntry);
// The rank's rows changed (an expansion began or was committed): the
// writes still queued work their rows out again, so that two writes of
// one new row never go out side by side.
void RestripeQueuedWrites(uint8_t bRank);

// ---- the start ---------------------------------------------------------------
// 255 the command moved on or was finished; 66 no pages or no partner queue
// room (the LUN waits for its next turn); 238 the rank's share is used up.
uint8_t StartHostWrite(KERNEL_ENTRY* psEntry);
uint8_t bDetectSequentialWrite(KERNEL_ENTRY* psEntry, BUFFER_HANDLE* pdHandle, uint16_t* pwHeadShare,
                               uint8_t bBlocking, uint16_t wBlockingIndex);

// ---- shared with the read path ----------------------------------------------
// Bank of the pages a command of this port takes (2: either).
uint8_t bBufferBankForPort(uint8_t bPortCode);
// The command leaves its LUN ring, or the port's new-command count.
void LeaveCommandQueue(KERNEL_ENTRY* psEntry);
// Finishes a command without a status: aborted, completion code 135, on the
// command-complete ring.
void FinishCommandAborted(KERNEL_ENTRY* psEntry);
// The LUN's back-off: its oldest held writes are let go to free the cache.
void RaiseLunBackOff(uint16_t wLun);
uint16_t wGetLunBackOff(uint16_t wLun);
// A command found no buffer pages: the writes every LUN holds for streams
// go on (once until pages are found again, NoteBufferPagesFound).
void ReleaseHeldWritesForPages();
void NoteBufferPagesFound();
// The journal credit of a write whose data is in: a piece counts into its
// head's slot; a continuation its head share there and its own part into its
// own slot; any other write its own blocks.
void CreditNvramJournal(KERNEL_ENTRY* psEntry);
// The snapshot layer takes part in the command now: its logical drive has
// snapshots, the snapshot machine runs and nothing holds it, the rank takes
// writes and no shutdown is pending.
bool fIsSnapshotHandOffDue(const KERNEL_ENTRY* psEntry);
// The command's age bucket given back (and dropped while the aging
// priority is on).
void SettleAgeBucket(KERNEL_ENTRY* psEntry);
// Both host ports of the interface type get their work byte raised.
void RaiseHostPortWorkOfInterface();
bool IsStreamPiece(const KERNEL_ENTRY* psEntry);
// A continuation whose head goes to the drives write-through: the head's
// buffer, which holds the continuation's head share, is not journalled, so
// the continuation may be answered only once the drives have its data.
bool IsContinuationOfWriteThroughHead(const KERNEL_ENTRY* psEntry);

}  // namespace fw
