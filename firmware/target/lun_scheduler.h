// The LUN scheduler: READ(16) and WRITE(16) wait on the ring of their
// logical drive; the scheduler visits the LUNs that have work, least
// recently serviced first, and starts a bounded burst from each through the
// cache.  Around it: the per-rank age buckets that let the cache hold a
// command back while an older one of the same array waits, the active LUNs
// per array, a short history of commands per port, and the chains of
// commands whose data phase follows a partner's answer.
#pragma once

#include <cstdint>

#include "executive/kernel_entry.h"

namespace fw {

constexpr uint16_t NO_LRS_LUN = 512;

// Start of day of the scheduler's tables (run with the host pool): the
// least-recently-serviced list, the port histories and the priority tables.
void InitLrsList();
void InitPortCommandHistory();
void InitPriorityCounters();
// The scheduler's position and alternation, before the main loop starts.
void InitLunScheduler();

// The scheduler, called by the main loop while LUN rings hold commands.
uint8_t ServiceLunQueues();

// Least-recently-serviced list: a LUN is a member exactly while its ring
// holds commands; after each burst it moves to the tail.
void InsertLrsLun(uint16_t wLun);
void RemoveLrsLun(uint16_t wLun);
void MarkLunServiced(uint16_t wLun);
uint16_t wGetLrsHeadLun();
uint16_t wGetNextLrsLun(uint16_t wLun);
uint16_t wGetLrsLunCount();
uint8_t fIsLunInLrsList(uint16_t wLun);
uint64_t lGetLunLastServiced(uint16_t wLun);
void DumpLrsList();

// ---- priority of commands by age ----
// Two tables of 64 ranks by 100 one-second age buckets: the commands in the
// cache's hands ("TC"), and the table the NVRAM journal's periodic step
// fills ("OC").  Ranks of 64 or more and buckets above 99 are ignored.
constexpr uint8_t PRIORITY_BUCKETS = 100;
void IncPriorityCount(uint8_t bRank, uint16_t wBucket);
void DecPriorityCount(uint8_t bRank, uint16_t wBucket);
void IncOtherPriorityCount(uint8_t bRank, uint16_t wBucket);
void ResetOtherPriorityCounts();
uint16_t wGetPriorityCount(uint8_t bRank, uint16_t wBucket);
uint16_t wGetOtherPriorityCount(uint8_t bRank, uint16_t wBucket);
// TRUE when an older command of the same array waits: the cache holds this
// one back.  Counts the command in its age bucket.
uint8_t fIsOlderCommandWaiting(KERNEL_ENTRY* psEntry);
// The command's bucket is given back (refused, or finished).
void ReleasePriorityBucket(KERNEL_ENTRY* psEntry);
// TRUE when the command's array has more than 32 queued writes.
uint8_t fIsRankQueueDeep(const KERNEL_ENTRY* psEntry);
void ShowTargetCommandPriorityCounters();

// ---- active LUNs per array, rebuilt every 2000 ms ----
void AgeActiveLuns();
uint16_t wGetActiveLunCount(uint8_t bRank);
uint8_t fIsLunActive(uint16_t wLun);
void DumpActiveLuns();

// ---- recent commands per port ----
// Records the command with a key of the recorder's choosing, by which
// wFindRecentPortCommands finds it.
void RecordPortCommand(uint8_t bPortCode, uint16_t wIndex, uint64_t lKey);
// The recorded command's key changed: found by the new one from now on.
void RekeyPortCommand(uint8_t bPortCode, uint16_t wIndex, uint64_t lKey);
// The entries of the commands among the port's last dDepth records whose key
// may be lKey (other keys share its bucket: the caller checks), newest
// first, up to wMost at a time: how many.  The cursor starts at
// RECENT_KEYED_FIRST and is left where the next call goes on
// (RECENT_KEYED_NONE: no more).
constexpr uint16_t RECENT_KEYED_FIRST = 0xFFFE;
constexpr uint16_t RECENT_KEYED_NONE = 0xFFFF;
uint16_t wFindRecentPortCommands(uint8_t bPortCode, uint64_t lKey, uint32_t dDepth, uint16_t* pwCursor,
                                 uint16_t wMost, KERNEL_ENTRY** apsEntry);
uint8_t fGetRecentPortCommand(uint8_t bPortCode, uint16_t wBack, KERNEL_ENTRY** ppsEntry);
// The entries of up to wCount commands, wBack (1 or more) slots behind the
// port's in index and further back, as fGetRecentPortCommand gives them one
// by one, up to the first slot that names no entry: how many.
uint16_t wGetRecentPortCommands(uint8_t bPortCode, uint16_t wBack, uint16_t wCount, KERNEL_ENTRY** apsEntry);

// ---- command chains whose followers wait for a partner's answer ----
void ChainCommands(KERNEL_ENTRY* psFirst, KERNEL_ENTRY* psFollower);
void ReleaseCommandChain(KERNEL_ENTRY* psFirst, uint8_t bMessageCode, uint8_t bStatus);
// Bit 1 prints the list after each insertion and removal.
void SetTargetDebugFlags(uint8_t bFlags);

}  // namespace fw
