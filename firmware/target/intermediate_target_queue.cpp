// The intermediate target queue: parked request blocks per host entry, a
// ring of parked entries per LUN and host port, and the release to the chip
// of the LUN released longest ago.
#include "target/intermediate_target_queue.h"

#include <cstring>

#include "config/ld_table.h"
#include "executive/console_output.h"
#include "executive/types.h"
#include "fc/ql_rings.h"
#include "hw/fc_target_iocb.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/stage_rings.h"
#include "target/target_queue_management.h"

namespace fw {

namespace {

constexpr uint16_t RING_SLOTS = 257;
constexpr uint16_t EMPTY_SLOT = 0xFFFF;
// No source sets a release limit: 0, taken as no limit.
constexpr uint16_t UNLIMITED_RELEASES = 65520;
constexpr uint8_t FIBRE_PORTS = 2;
constexpr uint8_t NOT_PARKED = 0;
constexpr uint32_t LUN_WORDS = LUN_COUNT / 32;

struct PARKED_RECORD {
    uint8_t aabBlock[2][CTIO_ENTRY_BYTES];
    uint8_t fSecond;
    uint8_t bPort;        // the port whose ring holds it; 0 while not parked
    uint16_t wLun;
    uint16_t wSlot;       // its place on that ring
};

struct LUN_RING {
    uint16_t awSlot[RING_SLOTS];
    uint16_t wIn;
    uint16_t wOut;
    uint16_t wCount;
    uint64_t lStamp;      // the port's release number when it was last served
};

struct PORT_QUEUE {
    LUN_RING asLun[LUN_COUNT];
    uint32_t adWaiting[LUN_WORDS];   // LUNs whose ring is not empty
    uint16_t wCount;                 // parked
    uint16_t wReleased;              // released, not yet finished at the chip
    uint64_t lSequence;
};

PARKED_RECORD s_asParked[HOST_ENTRY_COUNT];
PORT_QUEUE s_asPort[FIBRE_PORTS];

PORT_QUEUE* psPortQueue(uint8_t bPort) {
    return bPort == PORT_CODE_FC_HOST_1 || bPort == PORT_CODE_FC_HOST_2 ? &s_asPort[bPort - 1] : nullptr;
}

void MarkWaiting(PORT_QUEUE* psQueue, uint16_t wLun, bool fWaiting) {
    const uint32_t dBit = 1u << (wLun % 32);
    if (fWaiting) {
        psQueue->adWaiting[wLun / 32] |= dBit;
    } else {
        psQueue->adWaiting[wLun / 32] &= ~dBit;
    }
}

// The LUN with parked commands that was served longest ago, the lowest on
// a tie; LUN_COUNT when none has any.
uint16_t wLunServedLongestAgo(const PORT_QUEUE* psQueue) {
    uint16_t wChosen = LUN_COUNT;
    for (uint32_t w = 0; w < LUN_WORDS; w++) {
        for (uint32_t d = psQueue->adWaiting[w]; d != 0; d &= d - 1) {
            const uint16_t wLun = static_cast<uint16_t>(w * 32 + __builtin_ctz(d));
            if (wChosen == LUN_COUNT || psQueue->asLun[wLun].lStamp < psQueue->asLun[wChosen].lStamp) wChosen = wLun;
        }
    }
    return wChosen;
}

uint8_t bBlocksOf(const PARKED_RECORD& s) { return s.fSecond == TRUE ? 2 : 1; }

void PostBlocks(uint8_t bPort, const uint8_t* pbFirst, const uint8_t* pbSecond) {
    (void)bPostRequestQueueEntries(bPort, 1, pbFirst);
    if (pbSecond != nullptr) (void)bPostRequestQueueEntries(bPort, 1, pbSecond);
}

}  // namespace

void InitTargetQueues() {
    std::memset(s_asParked, 0, sizeof(s_asParked));
    std::memset(s_asPort, 0, sizeof(s_asPort));
    for (PORT_QUEUE& q : s_asPort) {
        for (LUN_RING& r : q.asLun) std::memset(r.awSlot, 0xFF, sizeof(r.awSlot));
    }
}

uint8_t fCanParkCommand(const KERNEL_ENTRY* psEntry) {
    const PORT_QUEUE* psQueue = psPortQueue(psEntry->bPortCode);
    return ToFlag(fGetTqmStatisticsEnabled() == TRUE && psQueue != nullptr && psEntry->wLunIndex < LUN_COUNT &&
                  psEntry->wIndex < HOST_ENTRY_COUNT && psQueue->asLun[psEntry->wLunIndex].wCount < RING_SLOTS);
}

void ParkCommandIocb(KERNEL_ENTRY* psEntry, const uint8_t* pbFirst, const uint8_t* pbSecond) {
    // One LUN may have more commands waiting than its ring holds: those go
    // to the chip as they come.
    if (fCanParkCommand(psEntry) != TRUE) {
        PostBlocks(psEntry->bPortCode, pbFirst, pbSecond);
        return;
    }
    HostPoolLock sLock;
    PORT_QUEUE* psQueue = psPortQueue(psEntry->bPortCode);
    PARKED_RECORD& s = s_asParked[psEntry->wIndex];
    std::memcpy(s.aabBlock[0], pbFirst, CTIO_ENTRY_BYTES);
    s.fSecond = ToFlag(pbSecond != nullptr);
    if (pbSecond != nullptr) std::memcpy(s.aabBlock[1], pbSecond, CTIO_ENTRY_BYTES);
    LUN_RING& r = psQueue->asLun[psEntry->wLunIndex];
    s.bPort = psEntry->bPortCode;
    s.wLun = psEntry->wLunIndex;
    s.wSlot = r.wIn;
    r.awSlot[r.wIn] = psEntry->wIndex;
    r.wIn = static_cast<uint16_t>((r.wIn + 1) % RING_SLOTS);
    r.wCount++;
    MarkWaiting(psQueue, psEntry->wLunIndex, true);
    psQueue->wCount++;
    SetFlag(psEntry, KE_FLAG_TARGET_QUEUE_PARKED);
}

void ReleaseParkedCommand(uint8_t bPort) {
    PORT_QUEUE* psQueue = psPortQueue(bPort);
    if (psQueue == nullptr || psQueue->wReleased >= UNLIMITED_RELEASES) return;
    HostPoolLock sLock;
    const uint16_t wLun = wLunServedLongestAgo(psQueue);
    if (wLun == LUN_COUNT) {
        if (psQueue->wCount != 0) psQueue->wCount--;
        return;
    }
    LUN_RING& r = psQueue->asLun[wLun];
    const uint16_t wIndex = r.awSlot[r.wOut];
    const bool fValid = wIndex < HOST_ENTRY_COUNT;
    // A chip ring without room keeps the command parked for the next pass:
    // a request posted into a full ring would be lost.
    if (fValid && bRequestRingFree(bPort) < bBlocksOf(s_asParked[wIndex])) return;
    r.awSlot[r.wOut] = EMPTY_SLOT;
    r.wOut = static_cast<uint16_t>((r.wOut + 1) % RING_SLOTS);
    r.wCount--;
    if (r.wCount == 0) MarkWaiting(psQueue, wLun, false);
    if (psQueue->wCount != 0) psQueue->wCount--;
    if (!fValid) return;
    r.lStamp = ++psQueue->lSequence;
    psQueue->wReleased++;
    PARKED_RECORD& s = s_asParked[wIndex];
    s.bPort = NOT_PARKED;
    sLock.Release();
    PostBlocks(bPort, s.aabBlock[0], s.fSecond == TRUE ? s.aabBlock[1] : nullptr);
}

void UnparkCommand(KERNEL_ENTRY* psEntry) {
    if (psEntry->wIndex >= HOST_ENTRY_COUNT) return;
    HostPoolLock sLock;
    PARKED_RECORD& s = s_asParked[psEntry->wIndex];
    PORT_QUEUE* psQueue = psPortQueue(s.bPort);
    if (psQueue == nullptr) return;
    // The slot stays on the ring, empty: the release passes over it and
    // counts it down.
    psQueue->asLun[s.wLun].awSlot[s.wSlot] = EMPTY_SLOT;
    s.bPort = NOT_PARKED;
}

uint16_t wGetParkedCount(uint8_t bPort) {
    const PORT_QUEUE* psQueue = psPortQueue(bPort);
    return psQueue != nullptr ? psQueue->wCount : 0;
}

uint16_t wGetReleasedCount(uint8_t bPort) {
    const PORT_QUEUE* psQueue = psPortQueue(bPort);
    return psQueue != nullptr ? psQueue->wReleased : 0;
}

void DecReleasedCount(uint8_t bPort) {
    PORT_QUEUE* psQueue = psPortQueue(bPort);
    if (psQueue != nullptr && psQueue->wReleased != 0) psQueue->wReleased--;
}

void DumpIntermediateTargetQueue() {
    ConsolePrintf("Intermediate Target Queue:\n");
    const uint16_t wLds = wGetLogicalDriveCount();
    for (uint8_t p = 0; p < FIBRE_PORTS; p++) {
        const PORT_QUEUE& q = s_asPort[p];
        ConsolePrintf("Tar  %d: Count:%04x OS:%04x\n", p, q.wCount, q.wReleased);
        for (uint16_t l = 0; l < wLds && l < LUN_COUNT; l++) {
            const LUN_RING& r = q.asLun[l];
            ConsolePrintf("LUN %03x Count:%04x In:%04x Out:%04x\n", l, r.wCount, r.wIn, r.wOut);
        }
    }
}

}  // namespace fw
