// The stage rings of host commands (the target kernel queue): rings of
// 16-bit host entry indices between the host-port drivers in the FIQ
// handler and the services of the main loop, with per-port counters, the
// per-LUN rings of READ(16) and WRITE(16), the two wait lists and the
// console dump of it all.
//
// An entry's primary state names the ring that holds it; a peek refuses an
// entry in another state.  A consumer peeks, works on the entry, and takes
// it off when it is done with that stage.  Rings the FIQ handler pushes on
// take the host pool lock themselves; the LUN rings, the "Optimisation" ring
// and the wait lists belong to the main loop.  An entry is on at most one
// ring, so a ring of 3201 slots cannot overflow.
#pragma once

#include <cstdint>

#include "executive/kernel_entry.h"

namespace fw {

constexpr uint16_t STAGE_RING_SLOTS = 3201;
constexpr uint16_t LUN_RING_SLOTS = 257;
constexpr uint16_t LUN_RING_CAPACITY = LUN_RING_SLOTS - 1;
constexpr uint16_t LUN_COUNT = 512;
constexpr uint16_t RING_EMPTY_SLOT = 0xFFFF;
constexpr uint16_t RING_TAKEN_MARK = 0xF000;   // OR-ed into a taken slot that keeps its history

// The slot `wBack` places behind `wSlot` on a ring of `wSlots` (wBack below
// wSlots): one step however far back, for the history walks that ask for
// every depth in turn.
inline uint16_t wSlotBehind(uint16_t wSlot, uint16_t wBack, uint16_t wSlots) {
    return static_cast<uint16_t>(wSlot >= wBack ? wSlot - wBack : wSlot + wSlots - wBack);
}

void InitStageRings();

// New commands (one ring for all ports); pushing also counts the command in
// "Total Commands".  Counts of port 64 or 80 are the global counts.
void QueueNewCommand(uint8_t bPortCode, uint16_t wIndex);
void DecPortNewCommands(uint8_t bPortCode);
uint8_t bPeekNewCommand(KERNEL_ENTRY** ppsEntry);
uint16_t wGetPortNewCommands(uint8_t bPortCode);
// Takes off a head slot that holds no new command, counted against the port
// of the entry it names (the given port code when it names none).
void DropNewCommandHead(uint8_t bPortCode);

// Total commands: a counter only, dropped once when a command is finished.
void IncPortTotalCommands(uint8_t bPortCode);
void DecPortTotalCommands(uint8_t bPortCode);
uint16_t wGetPortTotalCommands(uint8_t bPortCode);
// The port codes host ports 1 and 2 carry on this board's host interface.
void GetHostPortCodes(uint8_t* pbPort1, uint8_t* pbPort2);
// Host commands of host ports 1 and 2 taken past the new-command ring and
// not yet finished: their total less those still new.
uint32_t dGetHostPortCommandsStarted();

// LUN rings (main loop only).  QueueLunCommand answers 255, or 16 when the
// LUN is out of range or its ring is full; the entry is then not queued.
uint8_t QueueLunCommand(uint16_t wIndex, uint16_t wLun);
// The same at the head of the ring, for a command back for its next pass.
uint8_t QueueLunCommandFirst(uint16_t wIndex, uint16_t wLun);
// Takes the command queued last off a LUN's ring; its index, or 0xFFFF when
// the ring is empty.
uint16_t wTakeNewestLunCommand(uint16_t wLun);
void RemoveFromLunRing(uint16_t wLun);
uint8_t bPeekLunCommand(uint16_t wLun, KERNEL_ENTRY** ppsEntry);
uint16_t wGetLunQueueCount(uint16_t wLun);
uint16_t wGetNewCmdContTotal();
uint64_t lGetLunSequence(uint16_t wLun);

// The rings shared by all ports; their counts are the global counts.
void QueueDataAvailable(uint8_t bPortCode, uint16_t wIndex);
uint8_t bGetDataAvailable(uint8_t bPortCode);
uint8_t bPeekDeferredCommand(KERNEL_ENTRY** ppsEntry);
uint16_t wGetDataAvailableTotal();
void QueueWriteComplete(uint8_t bPortCode, uint16_t wIndex);
void TakeWriteComplete(uint8_t bPortCode);
uint8_t bPeekWriteComplete(KERNEL_ENTRY** ppsEntry);
uint16_t wGetWriteCompleteTotal();
void QueueCommandComplete(uint8_t bPortCode, uint16_t wIndex);
void DecPortCommandComplete(uint8_t bPortCode);
uint8_t bPeekCommandComplete(KERNEL_ENTRY** ppsEntry);
uint16_t wGetCommandCompleteTotal();

// Per-port rings: "Write Ready" of ports 1, 2, 113, 114 and one shared by 64
// and 80; immediate notify and abort of ports 1 and 2; task management of
// ports 1, 2, 113 and 114.
void QueueWriteReady(uint8_t bPortCode, uint16_t wIndex);
void TakeWriteReady(uint8_t bPortCode);
uint8_t bPeekWriteReady(uint8_t bPortCode, KERNEL_ENTRY** ppsEntry);
uint16_t wGetPortWriteReadyCount(uint8_t bPortCode);
void QueueImmediateNotify(uint8_t bPortCode, uint16_t wIndex);
void TakeImmediateNotify(uint8_t bPortCode);
uint8_t bPeekImmediateNotify(uint8_t bPortCode, KERNEL_ENTRY** ppsEntry);
void QueueAbortRequest(uint8_t bPortCode, uint16_t wIndex);
void TakeAbortRequest(uint8_t bPortCode);
uint8_t bPeekAbortRequest(uint8_t bPortCode, KERNEL_ENTRY** ppsEntry);
uint16_t wGetPortAbortCount(uint8_t bPortCode);
void QueueTaskMgmtRequest(uint8_t bPortCode, uint16_t wIndex);
void TakeTaskMgmtRequest(uint8_t bPortCode);
uint8_t bPeekTaskMgmtRequest(uint8_t bPortCode, KERNEL_ENTRY** ppsEntry);
uint16_t wGetPortTaskMgmtCount(uint8_t bPortCode);

// "Data Received" (under the lock) and "Optimisation" (main loop only).
void QueueDataReceived(uint16_t wIndex);
void TakeDataReceived();
uint8_t bPeekDataReceived(KERNEL_ENTRY** ppsEntry);
uint16_t wGetDataReceivedCount();
void QueueOptimisation(uint16_t wIndex);
void TakeOptimisation();
uint8_t bPeekOptimisation(KERNEL_ENTRY** ppsEntry);
uint16_t wGetOptimisationCount();

// Wait lists of the RAID engine, linked through the entry's wait-list link.
void QueueWaitListA(KERNEL_ENTRY* psEntry);
KERNEL_ENTRY* pTakeWaitListA();
uint16_t wGetWaitListACount();
void QueueWaitListB(KERNEL_ENTRY* psEntry);
KERNEL_ENTRY* pTakeWaitListB();
uint16_t wGetWaitListBCount();

// History: the entry of the N-th taken slot behind the out index (N from 1
// to 255); TRUE only for a taken slot that names an entry.
constexpr uint16_t MAX_HISTORY_BACK = 255;
// A ring read as a history, newest first from wFrom back: slots that carry
// wMark (the taken mark, or none) and name an entry, at most wDeepest back.
struct HISTORY_VIEW {
    const uint16_t* pwSlot;
    uint16_t wSlots;
    uint16_t wFrom;
    uint16_t wDeepest;
    uint16_t wMark;
};
// The entries of up to wCount slots from the wBack-th behind on: how many,
// up to the first slot that fails.
uint16_t wReadHistory(const HISTORY_VIEW& sView, uint16_t wBack, uint16_t wCount, KERNEL_ENTRY** apsEntry);
uint8_t fGetRecentNewCommand(uint16_t wBack, KERNEL_ENTRY** ppsEntry);
uint8_t fGetRecentLunCommand(uint16_t wLun, uint16_t wBack, KERNEL_ENTRY** ppsEntry);
// The same for up to wCount slots from the wBack-th on, into apsEntry: how
// many, up to the first the one-by-one call would refuse.
uint16_t wGetRecentNewCommands(uint16_t wBack, uint16_t wCount, KERNEL_ENTRY** apsEntry);
uint16_t wGetRecentLunCommands(uint16_t wLun, uint16_t wBack, uint16_t wCount, KERNEL_ENTRY** apsEntry);

// Walks a history of recent commands newest first, at most dDepth deep,
// reading it a run at a time through read(wBack, wCount, apsEntry) (one of
// the run readers above or the port history's): visit(psEntry, dBack)
// answers true to stop there.  The entry it stopped at, or none.  A walk
// that asks for every depth in turn costs one step per command this way.
// The first run is short: what a stream looks for is nearly always among
// the newest.
template <typename Read, typename Visit>
KERNEL_ENTRY* psWalkRecentCommands(uint32_t dDepth, Read&& read, Visit&& visit) {
    constexpr uint16_t FIRST_RUN = 4;
    constexpr uint16_t RUN = 16;
    KERNEL_ENTRY* aps[RUN];
    for (uint32_t dBack = 1; dBack <= dDepth;) {
        const uint32_t dRun = dBack == 1 ? FIRST_RUN : RUN;
        const uint16_t wAsk = static_cast<uint16_t>(dDepth - dBack + 1 < dRun ? dDepth - dBack + 1 : dRun);
        const uint16_t wGot = read(static_cast<uint16_t>(dBack), wAsk, aps);
        for (uint16_t w = 0; w < wGot; w++) {
            if (visit(aps[w], dBack + w)) return aps[w];
        }
        if (wGot < wAsk) break;
        dBack += wGot;
    }
    return nullptr;
}

// "Target kernel queue": counters, ring positions and every entry in use.
void DumpTargetKernelQueue();

// Ring positions, for the dump: in index, out index and count of a ring
// (the port code chooses among per-port rings).
enum STAGE_RING_ID : uint8_t {
    RING_NEW_COMMANDS,
    RING_DATA_AVAILABLE,
    RING_WRITE_COMPLETE,
    RING_COMMAND_COMPLETE,
    RING_WRITE_READY,
    RING_IMMEDIATE_NOTIFY,
    RING_ABORT_REQUEST,
    RING_TASK_MANAGEMENT,
    RING_DATA_RECEIVED,
    RING_OPTIMISATION,
};
struct STAGE_RING_POSITIONS {
    uint16_t wIn;
    uint16_t wOut;
    uint16_t wCount;
};
STAGE_RING_POSITIONS sGetStageRingPositions(STAGE_RING_ID eRing, uint8_t bPortCode);
// A host port's own count on a ring shared by every port (0 for others).
uint16_t wGetPortRingCount(STAGE_RING_ID eRing, uint8_t bPortCode);

}  // namespace fw
