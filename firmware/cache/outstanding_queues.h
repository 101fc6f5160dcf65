// Outstanding I/O queues: every host READ(16) and WRITE(16) in progress on a
// LUN, from its start until its completion, in that LUN's outstanding-read
// or outstanding-write queue.  They answer the ordering questions of the
// cache: may a read go, or must it wait for an older write over its blocks
// (or be served from that write's buffer); may a write go, or must it wait
// for an older overlapping write or read.  Nothing here parks a command: a
// command that must wait stays on its stage ring, and the command it waits
// for is marked so that the stages holding writes back let it go at once.
//
// Two kinds answer the same operations: a height-balanced interval tree
// per LUN, searched in O(log n + k), and a scan of every record.  Stored
// setting 208 chooses (FALSE: the scan, which goes with the stripe-unit
// collapse rule of setting 206 and the supersede rule of setting 209).
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;

// Answers of the ordering questions.
constexpr uint8_t ORDER_GO = 86;
constexpr uint8_t ORDER_WAIT = 87;
constexpr uint8_t ORDER_SHARES_ONE = 88;     // one older write shares stripe rows
constexpr uint8_t ORDER_SHARES_MANY = 90;    // two or more do
constexpr uint8_t ORDER_SERVED = 92;         // the read is served from a write's buffer

// An outstanding command older than this many coarse ticks no longer orders
// newer ones.
constexpr uint32_t OUTSTANDING_STALE_TICKS = 1440;

void InitOutstandingWriteQueues();
void InitOutstandingReadQueues();
void InsertOutstandingWrite(KERNEL_ENTRY* psEntry);
void InsertOutstandingRead(KERNEL_ENTRY* psEntry);
void RemoveOutstandingWrite(KERNEL_ENTRY* psEntry);
void RemoveOutstandingRead(KERNEL_ENTRY* psEntry);
// The command's span changed (a split or a continued transfer); it keeps
// its age and its place in its LUN's arrival order.
void UpdateOutstandingWrite(KERNEL_ENTRY* psEntry);
void UpdateOutstandingRead(KERNEL_ENTRY* psEntry);

// A read against the older writes of its LUN: 86, 87 or 92.
uint8_t bCheckReadAgainstWrites(KERNEL_ENTRY* psEntry, uint16_t wBlocks, uint8_t fStrict);
// A write against the older writes of its LUN: 86, 87, 88 (the sharer's
// index through the out argument) or 90.  fAllWrites: every queued write
// counts whatever its age; fWaitIfAny: any sharer or blocker is 87.
uint8_t bFindBlockingWrite(KERNEL_ENTRY* psEntry, uint16_t* pwBlockingIndex, uint8_t fAllWrites, uint8_t fWaitIfAny,
                           uint8_t fUnused);
// A hold over stripe rows (a pseudo write) against the older writes of its
// LUN that share its rows: 86 or 87.  The command the holder serves does not
// count, nor do the writes that wait for it: it waits for the holder.
uint8_t bFindOlderRowWrite(KERNEL_ENTRY* psHold, KERNEL_ENTRY* psServed);
// TRUE when a newer write of the command's rows was let go ahead of it by
// the stripe-unit collapse rule.  That rule holds only while the older
// write keeps its span: grown over the newer one's place in the stripe
// unit, it would read and rewrite the piece of parity the newer write is
// changing, and the newer write's parity would be lost.  psJoining, the
// write that would join it, does not count: it becomes part of it.
uint8_t fIsPassedByUnitCollapse(const KERNEL_ENTRY* psOlder, const KERNEL_ENTRY* psJoining);
// A write against the older reads of its LUN: 87 when one overlaps it.
uint8_t bCheckWriteOverlap(KERNEL_ENTRY* psEntry);

// Hold-release A (bit 14) and B (bit 26) on a command and every part of its
// split host command.
void SetHoldReleaseFlagA(KERNEL_ENTRY* psEntry);
void SetHoldReleaseFlagB(KERNEL_ENTRY* psEntry);
void ResetAllOutstandingWrites();
void ResetAllOutstandingReads();
void ReleaseInitiatorLunWrites(uint8_t bPortCode, uint16_t wInitiator, uint16_t wLun);
uint32_t dCountOlderInitiatorWrites(uint8_t bPortCode, uint16_t wInitiator, uint16_t wLun, uint64_t lArrival);
// Hold-release C (bit 43) on the first n writes of the LUN, oldest first.
void FlagLunOutstandingWrites(uint16_t wLun, uint32_t dCount);

uint32_t dGetLunOutstandingWrites(uint16_t wLun);
uint32_t dGetLunOutstandingReads(uint16_t wLun);
// The rank's count of queued single-segment writes; 0 above rank 63.
uint32_t dGetRankOutstandingWrites(uint8_t bRank);

// A queued write parked in the write sort (TRUE) or no longer (FALSE): the
// tree counts the parked writes of every subtree, so that the sort finds
// them without walking past the others.
void MarkOutstandingWriteParked(KERNEL_ENTRY* psEntry, uint8_t fParked);
// The first parked write of the LUN (in the write sort's state) on rank
// bRank, in the order of its start address from lFrom upward (fAscending
// TRUE) or downward; nullptr when none is.
KERNEL_ENTRY* psFindParkedWriteInAddressOrder(uint16_t wLun, uint64_t lFrom, uint8_t fAscending, uint8_t bRank);

void DumpOutstandingWriteQueue();
void DumpOutstandingReadQueue();

// TRUE when every tree of the LUN keeps its balance, its heights, its parent
// links, its key order, its covered spans and its parked counts.
uint8_t fIsOutstandingTreeSound(uint16_t wLun);

}  // namespace fw
