// The write sort: the sort lists of the arrays, the elevator that issues
// parked writes, the release of writes an array no longer sorts, the dump,
// and the write-optimisation mode.
#include "cache/write_sort.h"

#include <cstring>

#include "cache/outstanding_queues.h"
#include "config/apply_settings.h"
#include "config/config_db.h"
#include "config/ld_table.h"
#include "config/rank_table.h"
#include "console/option_settings.h"
#include "eventlog/statistics.h"
#include "executive/console_output.h"
#include "executive/kernel_entry.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/stage_rings.h"

namespace fw {

namespace {

constexpr uint16_t NO_LUN_NODE = 0xFFFF;
constexpr uint8_t NO_ARRAY = 0xFF;
constexpr uint64_t ALL_ONES = ~0ull;
constexpr uint16_t SORT_LUNS = 512;

struct SORT_ARRAY {
    uint64_t lLastAddress;
    uint16_t wHead;        // the LUN node of the lowest address
    uint16_t wCurrent;     // where the sweep is
    uint32_t dParked;      // writes in state 254 on the array
    uint8_t fSortable;
    uint8_t fSortUp;
};

struct SORT_LUN_NODE {
    uint64_t lStart;       // the logical drive's start in the internal address space
    uint16_t wPrev;        // circular, per array, in address order
    uint16_t wNext;
    uint8_t bRank;         // NO_ARRAY: the LUN is in no sort list
};

struct WRITE_OPTIMISATION {
    uint8_t bMode;
    uint32_t dHoldLimit;       // coarse ticks
    uint64_t lHistoryDepth;    // the sequential-write detection's
    uint64_t lSequenceWindow;  // the optimisation stage's
};

// The start-of-day values: sorting, turning at the top, no list built.
struct WRITE_SORT_STATE {
    SORT_ARRAY asArray[WRITE_SORT_ARRAYS] = {};
    SORT_LUN_NODE asLun[SORT_LUNS] = {};
    uint8_t abActive[WRITE_SORT_ARRAYS] = {NO_ARRAY};   // rank numbers ascending, then 255
    uint32_t dSortable = 0;                             // writes parked, all arrays
    uint32_t dCombinedLimit = WRITE_SORT_COMBINED_LIMIT;
    uint32_t dWriteLimit = WRITE_SORT_WRITE_LIMIT;
    uint8_t fEnabled = TRUE;
    uint8_t fReverseAtEnd = TRUE;
    uint8_t bDumpFlag = 0;
};

WRITE_SORT_STATE s_sSort;
WRITE_OPTIMISATION s_sOptimisation = {4, 7, 150, 450};
uint32_t s_dCachedWriteLimit = 1200;

const char* pszBool(uint8_t f) { return f == TRUE ? "TRUE" : "FALSE"; }

uint32_t dHigh(uint64_t l) { return static_cast<uint32_t>(l >> 32); }
uint32_t dLow(uint64_t l) { return static_cast<uint32_t>(l); }

// Into the array's circular list after every node of an equal or lower
// address; the sweep starts again at the head.
void InsertLun(uint8_t bRank, uint16_t wLun, uint64_t lStart) {
    SORT_ARRAY& a = s_sSort.asArray[bRank];
    SORT_LUN_NODE& n = s_sSort.asLun[wLun];
    n.lStart = lStart;
    n.bRank = bRank;
    if (a.wHead == NO_LUN_NODE) {
        n.wPrev = n.wNext = wLun;
        a.wHead = a.wCurrent = wLun;
        return;
    }
    // The first node of a higher address; the head again when none is.
    uint16_t wAfter = a.wHead;
    do {
        if (s_sSort.asLun[wAfter].lStart > lStart) break;
        wAfter = s_sSort.asLun[wAfter].wNext;
    } while (wAfter != a.wHead);
    const uint16_t wBefore = s_sSort.asLun[wAfter].wPrev;
    n.wPrev = wBefore;
    n.wNext = wAfter;
    s_sSort.asLun[wBefore].wNext = wLun;
    s_sSort.asLun[wAfter].wPrev = wLun;
    if (lStart < s_sSort.asLun[a.wHead].lStart) a.wHead = wLun;
    a.wCurrent = a.wHead;
}

bool IsSorted(const KERNEL_ENTRY* psEntry) {
    return psEntry->bRank < WRITE_SORT_ARRAYS && psEntry->wLunIndex < SORT_LUNS &&
           s_sSort.asLun[psEntry->wLunIndex].bRank == psEntry->bRank && fIsRankWriteSortActive(psEntry->bRank) == TRUE;
}

// A write leaves the sort: no longer counted, nor marked in its LUN's tree.
void Unpark(KERNEL_ENTRY* psEntry) {
    if (s_sSort.dSortable != 0) s_sSort.dSortable--;
    if (psEntry->bRank < WRITE_SORT_ARRAYS && s_sSort.asArray[psEntry->bRank].dParked != 0) {
        s_sSort.asArray[psEntry->bRank].dParked--;
    }
    MarkOutstandingWriteParked(psEntry, FALSE);
}

// A parked write leaves the sort for its port's "Write Ready" ring, counted
// once among its array's writes in progress.
void ReleaseParked(KERNEL_ENTRY* psEntry) {
    Unpark(psEntry);
    psEntry->bPrimaryState = HOST_STATE_WRITE_READY;
    QueueWriteReady(psEntry->bPortCode, psEntry->wIndex);
    SetHostPortWork(psEntry->bPortCode, TRUE);
    if (!HasFlag(psEntry, KE_FLAG_WRITE_WAITS | KE_FLAG_RANK_COUNTED)) {
        IncRankWritesInProgress(psEntry->bRank);
        SetFlag(psEntry, KE_FLAG_RANK_COUNTED);
    }
}

// Writes the sort would no longer find go on by themselves.
void ReleaseUnsortedWrites() {
    for (uint16_t w = 0; w < HOST_ENTRY_COUNT && s_sSort.dSortable != 0; w++) {
        KERNEL_ENTRY* ps = nullptr;
        (void)wGetTargetEntry(w, &ps);
        if (ps != nullptr && ps->fUsed == TRUE && ps->bPrimaryState == HOST_STATE_WRITE_SORT && !IsSorted(ps)) {
            ReleaseParked(ps);
        }
    }
}

// The next parked write of the array in the sweep's direction, from the
// current LUN on; nullptr when the sweep has reached its end.
KERNEL_ENTRY* psSweep(uint8_t bRank) {
    SORT_ARRAY& a = s_sSort.asArray[bRank];
    const bool fUp = a.fSortUp == TRUE;
    for (;;) {
        KERNEL_ENTRY* ps = psFindParkedWriteInAddressOrder(a.wCurrent, a.lLastAddress, a.fSortUp, bRank);
        if (ps != nullptr) return ps;
        // Up ends when the list would wrap to the head, down at the head.
        const uint16_t wNext = fUp ? s_sSort.asLun[a.wCurrent].wNext : s_sSort.asLun[a.wCurrent].wPrev;
        if ((fUp && wNext == a.wHead) || (!fUp && a.wCurrent == a.wHead)) return nullptr;
        a.wCurrent = wNext;
    }
}

// One write of the array: the sweep goes on, and turns at its end.
KERNEL_ENTRY* psNextSortedWrite(uint8_t bRank) {
    SORT_ARRAY& a = s_sSort.asArray[bRank];
    if (a.wHead == NO_LUN_NODE) return nullptr;
    KERNEL_ENTRY* ps = psSweep(bRank);
    if (ps != nullptr) return ps;
    if (a.fSortUp == TRUE && s_sSort.fReverseAtEnd != TRUE) {
        // Up again from the lowest address, from the next cycle on.
        a.wCurrent = a.wHead;
        a.lLastAddress = 0;
        return nullptr;
    }
    // The sweep turns where it ended and searches the other way in this
    // same cycle: an array with writes parked loses no cycle at each end of
    // its sweep.  (Only a sweep that starts again from the bottom, without
    // the turn, waits for the next cycle.)
    a.fSortUp = a.fSortUp == TRUE ? FALSE : TRUE;
    a.lLastAddress = a.fSortUp == TRUE ? 0 : ALL_ONES;
    return psSweep(bRank);
}

}  // namespace

void InitWriteSort() {
    s_sSort = WRITE_SORT_STATE{};
    s_sSort.fEnabled = fIsWriteSortWanted();
    RebuildWriteSort();
}

void SetWriteSortEnabled(uint8_t fEnabled) {
    if (fEnabled == TRUE || fEnabled == FALSE) s_sSort.fEnabled = fEnabled;
    RebuildWriteSort();
}

uint8_t fGetWriteSortEnabled() { return s_sSort.fEnabled; }

void RebuildWriteSort() {
    for (SORT_ARRAY& a : s_sSort.asArray) {
        a.fSortable = FALSE;
        a.fSortUp = TRUE;
        a.lLastAddress = 0;
        a.wHead = NO_LUN_NODE;
        a.wCurrent = NO_LUN_NODE;
    }
    for (SORT_LUN_NODE& n : s_sSort.asLun) {
        n.wPrev = n.wNext = NO_LUN_NODE;
        n.bRank = NO_ARRAY;
        n.lStart = 0;
    }
    // The sweep walks the outstanding writes' address tree; the list kind of
    // those queues sorts nothing.
    if (s_sSort.fEnabled == TRUE && fGetCacheSetting208() != FALSE) {
        const uint16_t wCount = wGetLogicalDriveCount() < SORT_LUNS ? wGetLogicalDriveCount() : SORT_LUNS;
        for (uint16_t l = 0; l < wCount; l++) {
            const uint8_t bRank = bGetLogicalDriveRank(l);
            if (bRank >= WRITE_SORT_ARRAYS || bGetLogicalDriveState(l) == LD_STATE_UNAVAILABLE ||
                fIsRankPolicyBit6Set(bRank) != TRUE) {
                continue;
            }
            uint64_t lStart = 0;
            GetLogicalDriveSegmentStart(l, 0, &lStart);
            s_sSort.asArray[bRank].fSortable = TRUE;
            InsertLun(bRank, l, lStart);
        }
    }
    uint8_t bActive = 0;
    for (uint8_t r = 0; r < WRITE_SORT_ARRAYS; r++) {
        if (s_sSort.asArray[r].wHead != NO_LUN_NODE) s_sSort.abActive[bActive++] = r;
    }
    std::memset(s_sSort.abActive + bActive, NO_ARRAY, WRITE_SORT_ARRAYS - bActive);
    ReleaseUnsortedWrites();
    if ((s_sSort.bDumpFlag & 1) != 0) ShowWriteSortOrder();
}

uint8_t fIsRankWriteSortActive(uint8_t bRank) {
    if (bRank >= WRITE_SORT_ARRAYS || s_sSort.fEnabled != TRUE) return FALSE;
    return s_sSort.asArray[bRank].fSortable;
}

uint8_t fParkSortedWrite(KERNEL_ENTRY* psEntry) {
    // The sweep finds a write through its LUN's outstanding writes.
    if (!IsSorted(psEntry) || !HasFlag(psEntry, KE_FLAG_IN_WRITE_QUEUE)) return FALSE;
    psEntry->bPrimaryState = HOST_STATE_WRITE_SORT;
    MarkOutstandingWriteParked(psEntry, TRUE);
    s_sSort.dSortable++;
    s_sSort.asArray[psEntry->bRank].dParked++;
    return TRUE;
}

void ForgetParkedWrite(KERNEL_ENTRY* psEntry) { Unpark(psEntry); }

void WriteSortService() {
    if (s_sSort.dSortable == 0) return;
    for (uint8_t i = 0; i < WRITE_SORT_ARRAYS && s_sSort.abActive[i] != NO_ARRAY; i++) {
        const uint8_t bRank = s_sSort.abActive[i];
        SORT_ARRAY& a = s_sSort.asArray[bRank];
        // Only an array with writes parked is swept.  Its queued writes may
        // all be held for their streams or already on their way: a sweep
        // that found none of them parked would turn at every cycle, and the
        // elevator's order be lost by the time one is.
        if (a.dParked == 0) continue;
        const uint32_t dWrites = dGetRankWritesInProgress(bRank);
        if (dWrites + dGetRankReadsInProgress(bRank) > s_sSort.dCombinedLimit && dWrites > s_sSort.dWriteLimit) {
            continue;
        }
        KERNEL_ENTRY* ps = psNextSortedWrite(bRank);
        if (ps == nullptr) continue;
        a.lLastAddress = ps->lInternalAddress;
        ReleaseParked(ps);
    }
}

uint32_t dGetSortableWriteCount() { return s_sSort.dSortable; }
void SetWriteSortReverseAtEnd(uint8_t f) { s_sSort.fReverseAtEnd = f; }
void SetWriteSortDumpFlag(uint8_t b) { s_sSort.bDumpFlag = b; }

void ShowWriteSortOrder() {
    if (s_sSort.fEnabled != TRUE) {
        ConsolePrintf("Write Sort Disabled\n");
        return;
    }
    ConsolePrintf("Write Sort Ordering:\n");
    ConsolePrintf("\nActive Rank Info:\n");
    for (uint8_t i = 0; i < WRITE_SORT_ARRAYS && s_sSort.abActive[i] != NO_ARRAY; i++) {
        ConsolePrintf("\tRankIndex %d, RankNo = %d\n", i, s_sSort.abActive[i]);
    }
    ConsolePrintf("\nLun Node Info:\n");
    for (uint16_t l = 0; l < SORT_LUNS; l++) {
        const SORT_LUN_NODE& n = s_sSort.asLun[l];
        if (n.bRank == NO_ARRAY) continue;
        ConsolePrintf("\tLunIndex %d, LunNo = %d, RankNo = %d, Address = 0x%X%08X\n", l, l, n.bRank, dHigh(n.lStart),
                      dLow(n.lStart));
    }
    for (uint8_t r = 0; r < WRITE_SORT_ARRAYS; r++) {
        const SORT_ARRAY& a = s_sSort.asArray[r];
        ConsolePrintf("Array %d Lun Ordering:\n", r);
        if (a.fSortable != TRUE) {
            ConsolePrintf("Sortable = FALSE\n");
            continue;
        }
        ConsolePrintf("Sortable = %s, Current Lun = %2d, Sort Up = %s, Last Address = 0x%X%08X\n", pszBool(a.fSortable),
                      a.wCurrent, pszBool(a.fSortUp), dHigh(a.lLastAddress), dLow(a.lLastAddress));
        uint16_t w = a.wHead;
        do {
            ConsolePrintf("\tLun %d Start Address: 0x%X%08X\n", w, dHigh(s_sSort.asLun[w].lStart),
                          dLow(s_sSort.asLun[w].lStart));
            w = s_sSort.asLun[w].wNext;
        } while (w != a.wHead);
    }
}

void SetSequentialWriteLevel(uint8_t bMode) {
    switch (bMode) {
    case 1: s_sOptimisation = {1, 2, 0, 0}; break;
    case 2: s_sOptimisation = {2, 3, 24, 72}; break;
    case 3: s_sOptimisation = {3, 5, 64, 192}; break;
    case 4: s_sOptimisation = {4, 7, 150, 450}; break;
    default: s_sOptimisation = {4, 3, 24, 72}; break;
    }
    SetCommandClustering(bMode == 1 ? FALSE : TRUE);
}

uint8_t bGetSequentialWriteLevel() { return s_sOptimisation.bMode; }
uint32_t dGetOptimisationHoldLimit() { return s_sOptimisation.dHoldLimit; }
uint32_t dGetSequentialHistoryDepth() { return static_cast<uint32_t>(s_sOptimisation.lHistoryDepth); }
uint64_t lGetOptimisationSequenceWindow() { return s_sOptimisation.lSequenceWindow; }
uint32_t dGetCachedWriteLimit() { return s_dCachedWriteLimit; }
void SetCachedWriteLimit(uint32_t dLimit) { s_dCachedWriteLimit = dLimit; }

}  // namespace fw
