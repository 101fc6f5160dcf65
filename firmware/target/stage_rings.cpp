// The stage rings of host commands and their counters.
#include "target/stage_rings.h"

#include <algorithm>
#include <cstring>

#include "executive/lists.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/lun_scheduler.h"

namespace fw {

namespace {

struct RING {
    uint16_t awSlot[STAGE_RING_SLOTS];
    uint16_t wIn;
    uint16_t wOut;
    uint16_t wCount;
};

// Rings shared by every port keep a count per host port beside the global
// count; commands of the internal codes count only globally.
constexpr uint8_t HOST_PORTS = 4;
struct SHARED_RING {
    RING sRing;
    uint16_t awPortCount[HOST_PORTS];
};

struct LUN_RING {
    uint16_t awSlot[LUN_RING_SLOTS];
    uint16_t wIn;
    uint16_t wOut;
    uint16_t wCount;
    uint64_t lSequence;
};

constexpr uint8_t WRITE_READY_RINGS = HOST_PORT_SLOTS;   // ports 1, 2, 113, 114 and the internal codes
constexpr uint8_t FIBRE_PORTS = 2;
constexpr uint8_t NO_PORT = 0xFF;

SHARED_RING s_sNewCommands;
SHARED_RING s_sDataAvailable;
SHARED_RING s_sWriteComplete;
SHARED_RING s_sCommandComplete;
uint16_t s_awTotalCommands[HOST_PORTS];
uint16_t s_wTotalCommands;
RING s_asWriteReady[WRITE_READY_RINGS];
RING s_asImmediateNotify[FIBRE_PORTS];
RING s_asAbortRequest[FIBRE_PORTS];
RING s_asTaskMgmt[HOST_PORTS];
RING s_sDataReceived;
RING s_sOptimisation;
LUN_RING s_asLunRing[LUN_COUNT];
uint16_t s_wNewCmdContTotal;
LIST s_sWaitListA;
LIST s_sWaitListB;

// 0..3 for the host port codes 1, 2, 113 and 114.
uint8_t bHostPortIndex(uint8_t bPortCode) {
    const uint8_t bSlot = bHostPortSlot(bPortCode);
    return bSlot < HOST_PORTS ? bSlot : NO_PORT;
}

bool IsInternalCode(uint8_t bPortCode) { return bHostPortSlot(bPortCode) == HOST_PORT_SLOT_INTERNAL; }
bool IsServedCode(uint8_t bPortCode) { return bHostPortIndex(bPortCode) != NO_PORT || IsInternalCode(bPortCode); }

RING* psWriteReadyRing(uint8_t bPortCode) {
    const uint8_t bSlot = bHostPortSlot(bPortCode);
    return bSlot == NO_HOST_PORT_SLOT ? nullptr : &s_asWriteReady[bSlot];
}
RING* psFibreRing(RING* pasRings, uint8_t bPortCode) {
    const uint8_t bPort = bHostPortIndex(bPortCode);
    return bPort < FIBRE_PORTS ? &pasRings[bPort] : nullptr;
}
RING* psTaskMgmtRing(uint8_t bPortCode) {
    const uint8_t bPort = bHostPortIndex(bPortCode);
    return bPort == NO_PORT ? nullptr : &s_asTaskMgmt[bPort];
}

void EmptyRing(RING* psRing) {
    std::memset(psRing->awSlot, 0xFF, sizeof(psRing->awSlot));
    psRing->wIn = 0;
    psRing->wOut = 0;
    psRing->wCount = 0;
}

uint16_t wNextSlot(uint16_t wSlot, uint16_t wSlots) { return wSlot + 1 == wSlots ? 0 : static_cast<uint16_t>(wSlot + 1); }
uint16_t wPrevSlot(uint16_t wSlot, uint16_t wSlots) { return wSlot == 0 ? static_cast<uint16_t>(wSlots - 1) : static_cast<uint16_t>(wSlot - 1); }

void DecNotBelowZero(uint16_t* pw) {
    if (*pw != 0) (*pw)--;
}

void PushSlot(RING* psRing, uint16_t wIndex) {
    psRing->awSlot[psRing->wIn] = wIndex;
    psRing->wIn = wNextSlot(psRing->wIn, STAGE_RING_SLOTS);
    psRing->wCount++;
}

// A take on an empty ring moves nothing: the out index never passes the in
// index.
void TakeSlot(RING* psRing, bool fKeepHistory) {
    DecNotBelowZero(&psRing->wCount);
    if (psRing->wOut == psRing->wIn) return;
    uint16_t& wSlot = psRing->awSlot[psRing->wOut];
    wSlot = fKeepHistory ? static_cast<uint16_t>(wSlot | RING_TAKEN_MARK) : RING_EMPTY_SLOT;
    psRing->wOut = wNextSlot(psRing->wOut, STAGE_RING_SLOTS);
}

// The entry at the head of a ring when it is in the ring's state.
uint8_t bPeekSlot(uint16_t wSlot, uint8_t bState, KERNEL_ENTRY** ppsEntry) {
    if (wSlot >= RING_TAKEN_MARK) return STATUS_NOT_FOUND;
    KERNEL_ENTRY* psEntry;
    wGetTargetEntry(wSlot, &psEntry);
    if (psEntry == nullptr || psEntry->bPrimaryState != bState) return STATUS_NOT_FOUND;
    *ppsEntry = psEntry;
    return STATUS_FOUND;
}

void PushShared(SHARED_RING* psShared, uint8_t bPortCode, uint16_t wIndex) {
    if (!IsServedCode(bPortCode)) return;
    HostPoolLock sLock;
    SetKernelActivity(TRUE);
    const uint8_t bPort = bHostPortIndex(bPortCode);
    if (bPort != NO_PORT) psShared->awPortCount[bPort]++;
    PushSlot(&psShared->sRing, wIndex);
}

void TakeShared(SHARED_RING* psShared, uint8_t bPortCode, bool fKeepHistory) {
    if (!IsServedCode(bPortCode)) return;
    HostPoolLock sLock;
    const uint8_t bPort = bHostPortIndex(bPortCode);
    if (bPort != NO_PORT) DecNotBelowZero(&psShared->awPortCount[bPort]);
    TakeSlot(&psShared->sRing, fKeepHistory);
}

// Per-port rings: only "Write Ready" raises kernel activity.
void PushLocked(RING* psRing, uint16_t wIndex, bool fActivity) {
    if (psRing == nullptr) return;
    HostPoolLock sLock;
    if (fActivity) SetKernelActivity(TRUE);
    PushSlot(psRing, wIndex);
}

void TakeLocked(RING* psRing) {
    if (psRing == nullptr) return;
    HostPoolLock sLock;
    TakeSlot(psRing, false);
}

uint8_t bPeekRing(const RING* psRing, uint8_t bState, KERNEL_ENTRY** ppsEntry) {
    return psRing == nullptr ? STATUS_NOT_FOUND : bPeekSlot(psRing->awSlot[psRing->wOut], bState, ppsEntry);
}

uint16_t wRingCount(const RING* psRing) { return psRing == nullptr ? 0 : psRing->wCount; }

uint16_t wPortCount(const SHARED_RING& sShared, uint8_t bPortCode) {
    if (IsInternalCode(bPortCode)) return sShared.sRing.wCount;
    const uint8_t bPort = bHostPortIndex(bPortCode);
    return bPort == NO_PORT ? 0 : sShared.awPortCount[bPort];
}

KERNEL_ENTRY* psEntryOfWaitLink(LIST_NODE* psNode) {
    if (psNode == nullptr) return nullptr;
    return reinterpret_cast<KERNEL_ENTRY*>(reinterpret_cast<uint8_t*>(psNode) - offsetof(KERNEL_ENTRY, sWaitLink));
}

}  // namespace

void InitStageRings() {
    SHARED_RING* const apsShared[] = {&s_sNewCommands, &s_sDataAvailable, &s_sWriteComplete, &s_sCommandComplete};
    for (SHARED_RING* ps : apsShared) {
        EmptyRing(&ps->sRing);
        std::memset(ps->awPortCount, 0, sizeof(ps->awPortCount));
    }
    std::memset(s_awTotalCommands, 0, sizeof(s_awTotalCommands));
    s_wTotalCommands = 0;
    for (RING& s : s_asWriteReady) EmptyRing(&s);
    for (RING& s : s_asImmediateNotify) EmptyRing(&s);
    for (RING& s : s_asAbortRequest) EmptyRing(&s);
    for (RING& s : s_asTaskMgmt) EmptyRing(&s);
    EmptyRing(&s_sDataReceived);
    EmptyRing(&s_sOptimisation);
    for (LUN_RING& s : s_asLunRing) {
        std::memset(s.awSlot, 0xFF, sizeof(s.awSlot));
        s.wIn = 0;
        s.wOut = 0;
        s.wCount = 0;
        s.lSequence = 0;
    }
    s_wNewCmdContTotal = 0;
    InitList(&s_sWaitListA);
    InitList(&s_sWaitListB);
}

// ---- new commands and total commands ----

void QueueNewCommand(uint8_t bPortCode, uint16_t wIndex) {
    if (!IsServedCode(bPortCode)) return;
    HostPoolLock sLock;
    PushShared(&s_sNewCommands, bPortCode, wIndex);
    IncPortTotalCommands(bPortCode);
}

void DecPortNewCommands(uint8_t bPortCode) { TakeShared(&s_sNewCommands, bPortCode, true); }

uint8_t bPeekNewCommand(KERNEL_ENTRY** ppsEntry) {
    const RING& sRing = s_sNewCommands.sRing;
    const uint8_t bResult = bPeekSlot(sRing.awSlot[sRing.wOut], HOST_STATE_NEW_COMMAND, ppsEntry);
    if (bResult == STATUS_FOUND) AdvanceInternalNewCommandScan((*ppsEntry)->wIndex);
    return bResult;
}

uint16_t wGetPortNewCommands(uint8_t bPortCode) { return wPortCount(s_sNewCommands, bPortCode); }

void DropNewCommandHead(uint8_t bPortCode) {
    const RING& sRing = s_sNewCommands.sRing;
    KERNEL_ENTRY* psEntry = nullptr;
    const uint16_t wSlot = sRing.awSlot[sRing.wOut];
    if (wSlot < RING_TAKEN_MARK) wGetTargetEntry(wSlot, &psEntry);
    DecPortNewCommands(psEntry != nullptr ? psEntry->bPortCode : bPortCode);
}

void IncPortTotalCommands(uint8_t bPortCode) {
    if (!IsServedCode(bPortCode)) return;
    HostPoolLock sLock;
    const uint8_t bPort = bHostPortIndex(bPortCode);
    if (bPort != NO_PORT) s_awTotalCommands[bPort]++;
    s_wTotalCommands++;
}

void DecPortTotalCommands(uint8_t bPortCode) {
    if (!IsServedCode(bPortCode)) return;
    HostPoolLock sLock;
    const uint8_t bPort = bHostPortIndex(bPortCode);
    if (bPort != NO_PORT) DecNotBelowZero(&s_awTotalCommands[bPort]);
    DecNotBelowZero(&s_wTotalCommands);
}

uint16_t wGetPortTotalCommands(uint8_t bPortCode) {
    if (IsInternalCode(bPortCode)) return s_wTotalCommands;
    const uint8_t bPort = bHostPortIndex(bPortCode);
    return bPort == NO_PORT ? 0 : s_awTotalCommands[bPort];
}

void GetHostPortCodes(uint8_t* pbPort1, uint8_t* pbPort2) {
    switch (bGetHostInterfaceType()) {
    case HOST_INTERFACE_SAS_TARGET:
        *pbPort1 = PORT_CODE_SAS_HOST_1;
        *pbPort2 = PORT_CODE_SAS_HOST_2;
        break;
    case HOST_INTERFACE_SAS:
        *pbPort1 = PORT_CODE_FC_TABLE_1;
        *pbPort2 = PORT_CODE_FC_TABLE_2;
        break;
    default:
        *pbPort1 = PORT_CODE_FC_HOST_1;
        *pbPort2 = PORT_CODE_FC_HOST_2;
        break;
    }
}

uint32_t dGetHostPortCommandsStarted() {
    uint8_t abPort[2];
    GetHostPortCodes(&abPort[0], &abPort[1]);
    uint32_t dStarted = 0;
    for (const uint8_t bPort : abPort) {
        const uint16_t wTotal = wGetPortTotalCommands(bPort), wNew = wGetPortNewCommands(bPort);
        if (wTotal > wNew) dStarted += wTotal - wNew;
    }
    return dStarted;
}

// ---- LUN rings ----

namespace {

uint8_t bQueueLunCommandAt(uint16_t wIndex, uint16_t wLun, bool fFirst) {
    KERNEL_ENTRY* psEntry;
    wGetTargetEntry(wIndex, &psEntry);
    if (wLun >= LUN_COUNT || psEntry == nullptr) return STATUS_RETRY;
    LUN_RING& sRing = s_asLunRing[wLun];
    // 257 slots: a 257th command would overwrite the head.
    if (sRing.wCount >= LUN_RING_CAPACITY) return STATUS_RETRY;
    if (sRing.wCount == 0) InsertLrsLun(wLun);
    if (fFirst) {
        sRing.wOut = wPrevSlot(sRing.wOut, LUN_RING_SLOTS);
        sRing.awSlot[sRing.wOut] = wIndex;
    } else {
        sRing.awSlot[sRing.wIn] = wIndex;
        sRing.wIn = wNextSlot(sRing.wIn, LUN_RING_SLOTS);
    }
    sRing.wCount++;
    s_wNewCmdContTotal++;
    // A command queued again keeps the sequence number of its first queueing.
    if (psEntry->alSequence[LUN_SEQUENCE_INDEX] == NO_LUN_SEQUENCE) {
        psEntry->alSequence[LUN_SEQUENCE_INDEX] = sRing.lSequence++;
    }
    return STATUS_OK;
}

}  // namespace

uint8_t QueueLunCommand(uint16_t wIndex, uint16_t wLun) { return bQueueLunCommandAt(wIndex, wLun, false); }

uint8_t QueueLunCommandFirst(uint16_t wIndex, uint16_t wLun) { return bQueueLunCommandAt(wIndex, wLun, true); }

uint16_t wTakeNewestLunCommand(uint16_t wLun) {
    if (wLun >= LUN_COUNT) return RING_EMPTY_SLOT;
    LUN_RING& sRing = s_asLunRing[wLun];
    if (sRing.wCount == 0 || sRing.wIn == sRing.wOut) return RING_EMPTY_SLOT;
    sRing.wIn = wPrevSlot(sRing.wIn, LUN_RING_SLOTS);
    const uint16_t wIndex = sRing.awSlot[sRing.wIn];
    sRing.awSlot[sRing.wIn] = RING_EMPTY_SLOT;
    DecNotBelowZero(&s_wNewCmdContTotal);
    DecNotBelowZero(&sRing.wCount);
    if (sRing.wCount == 0) RemoveLrsLun(wLun);
    return wIndex;
}

void RemoveFromLunRing(uint16_t wLun) {
    if (wLun >= LUN_COUNT) return;
    LUN_RING& sRing = s_asLunRing[wLun];
    DecNotBelowZero(&s_wNewCmdContTotal);
    DecNotBelowZero(&sRing.wCount);
    if (sRing.wCount == 0) RemoveLrsLun(wLun);
    if (sRing.wOut == sRing.wIn) return;
    sRing.awSlot[sRing.wOut] |= RING_TAKEN_MARK;
    sRing.wOut = wNextSlot(sRing.wOut, LUN_RING_SLOTS);
}

uint8_t bPeekLunCommand(uint16_t wLun, KERNEL_ENTRY** ppsEntry) {
    if (wLun >= LUN_COUNT) return STATUS_NOT_FOUND;
    const LUN_RING& sRing = s_asLunRing[wLun];
    return bPeekSlot(sRing.awSlot[sRing.wOut], HOST_STATE_LUN_QUEUED, ppsEntry);
}

uint16_t wGetLunQueueCount(uint16_t wLun) { return wLun < LUN_COUNT ? s_asLunRing[wLun].wCount : 0; }
uint16_t wGetNewCmdContTotal() { return s_wNewCmdContTotal; }
uint64_t lGetLunSequence(uint16_t wLun) { return wLun < LUN_COUNT ? s_asLunRing[wLun].lSequence : 0; }

// ---- rings shared by every port ----

void QueueDataAvailable(uint8_t bPortCode, uint16_t wIndex) { PushShared(&s_sDataAvailable, bPortCode, wIndex); }
uint8_t bGetDataAvailable(uint8_t bPortCode) {
    TakeShared(&s_sDataAvailable, bPortCode, false);
    return STATUS_OK;
}
uint8_t bPeekDeferredCommand(KERNEL_ENTRY** ppsEntry) {
    return bPeekRing(&s_sDataAvailable.sRing, HOST_STATE_DATA_AVAILABLE, ppsEntry);
}
uint16_t wGetDataAvailableTotal() { return s_sDataAvailable.sRing.wCount; }

void QueueWriteComplete(uint8_t bPortCode, uint16_t wIndex) { PushShared(&s_sWriteComplete, bPortCode, wIndex); }
void TakeWriteComplete(uint8_t bPortCode) { TakeShared(&s_sWriteComplete, bPortCode, false); }
uint8_t bPeekWriteComplete(KERNEL_ENTRY** ppsEntry) {
    return bPeekRing(&s_sWriteComplete.sRing, HOST_STATE_WRITE_COMPLETE, ppsEntry);
}
uint16_t wGetWriteCompleteTotal() { return s_sWriteComplete.sRing.wCount; }

void QueueCommandComplete(uint8_t bPortCode, uint16_t wIndex) { PushShared(&s_sCommandComplete, bPortCode, wIndex); }
void DecPortCommandComplete(uint8_t bPortCode) { TakeShared(&s_sCommandComplete, bPortCode, false); }
uint8_t bPeekCommandComplete(KERNEL_ENTRY** ppsEntry) {
    KERNEL_ENTRY* psEntry;
    if (bPeekRing(&s_sCommandComplete.sRing, HOST_STATE_COMPLETE, &psEntry) != STATUS_FOUND) return STATUS_NOT_FOUND;
    if (psEntry->fUsed != TRUE) return STATUS_NOT_FOUND;
    *ppsEntry = psEntry;
    return STATUS_FOUND;
}
uint16_t wGetCommandCompleteTotal() { return s_sCommandComplete.sRing.wCount; }

// ---- per-port rings ----

void QueueWriteReady(uint8_t bPortCode, uint16_t wIndex) { PushLocked(psWriteReadyRing(bPortCode), wIndex, true); }
void TakeWriteReady(uint8_t bPortCode) { TakeLocked(psWriteReadyRing(bPortCode)); }
uint8_t bPeekWriteReady(uint8_t bPortCode, KERNEL_ENTRY** ppsEntry) {
    return bPeekRing(psWriteReadyRing(bPortCode), HOST_STATE_WRITE_READY, ppsEntry);
}
uint16_t wGetPortWriteReadyCount(uint8_t bPortCode) { return wRingCount(psWriteReadyRing(bPortCode)); }

void QueueImmediateNotify(uint8_t bPortCode, uint16_t wIndex) {
    PushLocked(psFibreRing(s_asImmediateNotify, bPortCode), wIndex, false);
}
void TakeImmediateNotify(uint8_t bPortCode) { TakeLocked(psFibreRing(s_asImmediateNotify, bPortCode)); }
uint8_t bPeekImmediateNotify(uint8_t bPortCode, KERNEL_ENTRY** ppsEntry) {
    return bPeekRing(psFibreRing(s_asImmediateNotify, bPortCode), HOST_STATE_IMMEDIATE_NOTIFY, ppsEntry);
}

void QueueAbortRequest(uint8_t bPortCode, uint16_t wIndex) {
    PushLocked(psFibreRing(s_asAbortRequest, bPortCode), wIndex, false);
}
void TakeAbortRequest(uint8_t bPortCode) { TakeLocked(psFibreRing(s_asAbortRequest, bPortCode)); }
uint8_t bPeekAbortRequest(uint8_t bPortCode, KERNEL_ENTRY** ppsEntry) {
    return bPeekRing(psFibreRing(s_asAbortRequest, bPortCode), HOST_STATE_ABORT_REQUEST, ppsEntry);
}
uint16_t wGetPortAbortCount(uint8_t bPortCode) { return wRingCount(psFibreRing(s_asAbortRequest, bPortCode)); }

void QueueTaskMgmtRequest(uint8_t bPortCode, uint16_t wIndex) { PushLocked(psTaskMgmtRing(bPortCode), wIndex, false); }
void TakeTaskMgmtRequest(uint8_t bPortCode) { TakeLocked(psTaskMgmtRing(bPortCode)); }
uint8_t bPeekTaskMgmtRequest(uint8_t bPortCode, KERNEL_ENTRY** ppsEntry) {
    return bPeekRing(psTaskMgmtRing(bPortCode), HOST_STATE_TASK_MANAGEMENT, ppsEntry);
}
uint16_t wGetPortTaskMgmtCount(uint8_t bPortCode) { return wRingCount(psTaskMgmtRing(bPortCode)); }

// ---- data received and optimisation ----

void QueueDataReceived(uint16_t wIndex) { PushLocked(&s_sDataReceived, wIndex, true); }
void TakeDataReceived() { TakeLocked(&s_sDataReceived); }
uint8_t bPeekDataReceived(KERNEL_ENTRY** ppsEntry) {
    return bPeekRing(&s_sDataReceived, HOST_STATE_DATA_RECEIVED, ppsEntry);
}
uint16_t wGetDataReceivedCount() { return s_sDataReceived.wCount; }

void QueueOptimisation(uint16_t wIndex) {
    SetKernelActivity(TRUE);
    PushSlot(&s_sOptimisation, wIndex);
}
void TakeOptimisation() { TakeSlot(&s_sOptimisation, false); }
uint8_t bPeekOptimisation(KERNEL_ENTRY** ppsEntry) {
    return bPeekRing(&s_sOptimisation, HOST_STATE_OPTIMISATION, ppsEntry);
}
uint16_t wGetOptimisationCount() { return s_sOptimisation.wCount; }

// ---- wait lists ----

void QueueWaitListA(KERNEL_ENTRY* psEntry) {
    SetRaidWaitListWork(TRUE);
    ListPushBack(&s_sWaitListA, &psEntry->sWaitLink);
}
KERNEL_ENTRY* pTakeWaitListA() { return psEntryOfWaitLink(ListPopFront(&s_sWaitListA)); }
uint16_t wGetWaitListACount() { return static_cast<uint16_t>(dGetListCount(&s_sWaitListA)); }

void QueueWaitListB(KERNEL_ENTRY* psEntry) {
    SetRaidWaitListWork(TRUE);
    ListPushBack(&s_sWaitListB, &psEntry->sWaitLink);
}
KERNEL_ENTRY* pTakeWaitListB() { return psEntryOfWaitLink(ListPopFront(&s_sWaitListB)); }
uint16_t wGetWaitListBCount() { return static_cast<uint16_t>(dGetListCount(&s_sWaitListB)); }

// ---- history ----

uint16_t wReadHistory(const HISTORY_VIEW& s, uint16_t wBack, uint16_t wCount, KERNEL_ENTRY** apsEntry) {
    if (wBack == 0 || wBack > s.wDeepest) return 0;
    // The pool is one array: an index is an offset from its first entry.
    KERNEL_ENTRY* psPool = nullptr;
    wGetTargetEntry(0, &psPool);
    // Held apart from the view: the stores below could alias it.
    const uint16_t* const pwSlot = s.pwSlot;
    const uint32_t dLast = s.wSlots - 1u;
    const uint32_t dMark = s.wMark;
    const uint32_t dCount = std::min<uint32_t>(wCount, s.wDeepest + 1u - wBack);
    uint32_t dSlot = wSlotBehind(s.wFrom, wBack, s.wSlots);
    uint32_t n = 0;
    for (; n < dCount; n++) {
        const uint32_t dValue = pwSlot[dSlot];
        const uint32_t dIndex = dValue & ~static_cast<uint32_t>(RING_TAKEN_MARK);
        if ((dValue & RING_TAKEN_MARK) != dMark || dIndex >= HOST_ENTRY_COUNT) break;
        apsEntry[n] = psPool + dIndex;
        dSlot = dSlot == 0 ? dLast : dSlot - 1u;
    }
    return static_cast<uint16_t>(n);
}

uint8_t fGetRecentNewCommand(uint16_t wBack, KERNEL_ENTRY** ppsEntry) {
    return ToFlag(wGetRecentNewCommands(wBack, 1, ppsEntry) == 1);
}

uint8_t fGetRecentLunCommand(uint16_t wLun, uint16_t wBack, KERNEL_ENTRY** ppsEntry) {
    return ToFlag(wGetRecentLunCommands(wLun, wBack, 1, ppsEntry) == 1);
}

uint16_t wGetRecentNewCommands(uint16_t wBack, uint16_t wCount, KERNEL_ENTRY** apsEntry) {
    const RING& sRing = s_sNewCommands.sRing;
    return wReadHistory({sRing.awSlot, STAGE_RING_SLOTS, sRing.wOut, MAX_HISTORY_BACK, RING_TAKEN_MARK}, wBack, wCount,
                        apsEntry);
}

uint16_t wGetRecentLunCommands(uint16_t wLun, uint16_t wBack, uint16_t wCount, KERNEL_ENTRY** apsEntry) {
    if (wLun >= LUN_COUNT) return 0;
    const LUN_RING& sRing = s_asLunRing[wLun];
    return wReadHistory({sRing.awSlot, LUN_RING_SLOTS, sRing.wOut, MAX_HISTORY_BACK, RING_TAKEN_MARK}, wBack, wCount,
                        apsEntry);
}

uint16_t wGetPortRingCount(STAGE_RING_ID eRing, uint8_t bPortCode) {
    const uint8_t bPort = bHostPortIndex(bPortCode);
    if (bPort == NO_PORT) return 0;
    switch (eRing) {
    case RING_NEW_COMMANDS: return s_sNewCommands.awPortCount[bPort];
    case RING_DATA_AVAILABLE: return s_sDataAvailable.awPortCount[bPort];
    case RING_WRITE_COMPLETE: return s_sWriteComplete.awPortCount[bPort];
    case RING_COMMAND_COMPLETE: return s_sCommandComplete.awPortCount[bPort];
    default: return 0;
    }
}

STAGE_RING_POSITIONS sGetStageRingPositions(STAGE_RING_ID eRing, uint8_t bPortCode) {
    const RING* ps = nullptr;
    switch (eRing) {
    case RING_NEW_COMMANDS: ps = &s_sNewCommands.sRing; break;
    case RING_DATA_AVAILABLE: ps = &s_sDataAvailable.sRing; break;
    case RING_WRITE_COMPLETE: ps = &s_sWriteComplete.sRing; break;
    case RING_COMMAND_COMPLETE: ps = &s_sCommandComplete.sRing; break;
    case RING_WRITE_READY: ps = psWriteReadyRing(bPortCode); break;
    case RING_IMMEDIATE_NOTIFY: ps = psFibreRing(s_asImmediateNotify, bPortCode); break;
    case RING_ABORT_REQUEST: ps = psFibreRing(s_asAbortRequest, bPortCode); break;
    case RING_TASK_MANAGEMENT: ps = psTaskMgmtRing(bPortCode); break;
    case RING_DATA_RECEIVED: ps = &s_sDataReceived; break;
    case RING_OPTIMISATION: ps = &s_sOptimisation; break;
    }
    return ps == nullptr ? STAGE_RING_POSITIONS{0, 0, 0} : STAGE_RING_POSITIONS{ps->wIn, ps->wOut, ps->wCount};
}

}  // namespace fw
