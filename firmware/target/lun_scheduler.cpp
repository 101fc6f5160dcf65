// The LUN scheduler: the least-recently-serviced list, the bursts that
// start commands through the cache, the age buckets of the commands in the
// cache's hands, the active LUNs per array, the recent commands per port and
// the command chains.
#include "target/lun_scheduler.h"

#include <cstring>

#include "cache/cache.h"
#include "cache/cache_entry.h"
#include "cache/outstanding_queues.h"
#include "cache/read_path.h"
#include "cache/write_start.h"
#include "config/host_lun_tables.h"
#include "config/ld_table.h"
#include "config/rank_table.h"
#include "console/option_settings.h"
#include "eventlog/statistics.h"
#include "eventlog/target_trace.h"
#include "executive/console_output.h"
#include "executive/date_time.h"
#include "executive/kernel_queue.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/addresses.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "target/command_access.h"
#include "target/dispatcher.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/stage_rings.h"

namespace fw {

namespace {

struct LUN_SERVICE_RECORD {
    LUN_SERVICE_RECORD* psNext;   // a member alone links to itself
    LUN_SERVICE_RECORD* psPrev;
    uint64_t lLastServiced;       // ms tick of the last burst
    uint16_t wLun;
    uint8_t fInList;
    uint8_t fActive;
};

LUN_SERVICE_RECORD s_asLunService[LUN_COUNT];
LUN_SERVICE_RECORD* s_psLrsHead = nullptr;
LUN_SERVICE_RECORD* s_psLrsTail = nullptr;
uint16_t s_wLrsCount = 0;
uint8_t s_bTargetDebugFlags = 0;

constexpr uint8_t DEBUG_SHOW_LRS = 0x02;
constexpr uint64_t NEVER_SERVICED = ~0ull;

void Unlink(LUN_SERVICE_RECORD* ps) {
    if (ps->psNext == ps) {
        s_psLrsHead = nullptr;
        s_psLrsTail = nullptr;
    } else {
        ps->psPrev->psNext = ps->psNext;
        ps->psNext->psPrev = ps->psPrev;
        if (s_psLrsHead == ps) s_psLrsHead = ps->psNext;
        if (s_psLrsTail == ps) s_psLrsTail = ps->psPrev;
    }
    ps->psNext = ps;
    ps->psPrev = ps;
}

void LinkAtTail(LUN_SERVICE_RECORD* ps) {
    if (s_psLrsHead == nullptr) {
        ps->psNext = ps;
        ps->psPrev = ps;
        s_psLrsHead = ps;
    } else {
        ps->psNext = s_psLrsHead;
        ps->psPrev = s_psLrsTail;
        s_psLrsTail->psNext = ps;
        s_psLrsHead->psPrev = ps;
    }
    s_psLrsTail = ps;
}

void ShowListChange() {
    if (s_bTargetDebugFlags & DEBUG_SHOW_LRS) DumpLrsList();
}

}  // namespace

void InitLrsList() {
    for (uint16_t w = 0; w < LUN_COUNT; w++) {
        LUN_SERVICE_RECORD& s = s_asLunService[w];
        s.psNext = &s;
        s.psPrev = &s;
        s.lLastServiced = NEVER_SERVICED;
        s.wLun = w;
        s.fInList = FALSE;
        s.fActive = FALSE;
    }
    s_psLrsHead = nullptr;
    s_psLrsTail = nullptr;
    s_wLrsCount = 0;
}

void InsertLrsLun(uint16_t wLun) {
    if (wLun >= LUN_COUNT || s_asLunService[wLun].fInList == TRUE) return;
    LUN_SERVICE_RECORD* ps = &s_asLunService[wLun];
    LinkAtTail(ps);
    ps->fInList = TRUE;
    s_wLrsCount++;
    ShowListChange();
}

void RemoveLrsLun(uint16_t wLun) {
    if (wLun >= LUN_COUNT || s_asLunService[wLun].fInList != TRUE) return;
    LUN_SERVICE_RECORD* ps = &s_asLunService[wLun];
    Unlink(ps);
    ps->fInList = FALSE;
    if (s_wLrsCount != 0) s_wLrsCount--;
    ShowListChange();
}

void MarkLunServiced(uint16_t wLun) {
    if (wLun >= LUN_COUNT) return;
    LUN_SERVICE_RECORD* ps = &s_asLunService[wLun];
    ps->lLastServiced = lGetTickCount();
    if (ps->fInList != TRUE) return;
    Unlink(ps);
    LinkAtTail(ps);
}

uint16_t wGetLrsHeadLun() { return s_psLrsHead == nullptr ? NO_LRS_LUN : s_psLrsHead->wLun; }

uint16_t wGetNextLrsLun(uint16_t wLun) {
    if (wLun >= LUN_COUNT || s_asLunService[wLun].fInList != TRUE) return NO_LRS_LUN;
    return s_asLunService[wLun].psNext->wLun;
}

uint16_t wGetLrsLunCount() { return s_wLrsCount; }

uint8_t fIsLunInLrsList(uint16_t wLun) { return wLun < LUN_COUNT ? s_asLunService[wLun].fInList : FALSE; }

uint64_t lGetLunLastServiced(uint16_t wLun) { return wLun < LUN_COUNT ? s_asLunService[wLun].lLastServiced : 0; }

void SetTargetDebugFlags(uint8_t bFlags) { s_bTargetDebugFlags = bFlags; }

void DumpLrsList() {
    ConsolePrintf("Showing Least Recently Serviced Luns\n");
    ConsolePrintf("Active Luns\n");
    const LUN_SERVICE_RECORD* ps = s_psLrsHead;
    for (uint16_t w = 0; ps != nullptr && w < s_wLrsCount; w++, ps = ps->psNext) {
        ConsolePrintf("\tLun: %3d, prev: %3d, next: %3d\n", ps->wLun, ps->psPrev->wLun, ps->psNext->wLun);
    }
    ConsolePrintf("\tLRS List: Head = 0x%08X, Tail = 0x%08X\n",
                  dAddressWord(s_psLrsHead),
                  dAddressWord(s_psLrsTail));
    ConsolePrintf("\tLRS List:\n\t\t");
    ps = s_psLrsHead;
    for (uint16_t w = 0; ps != nullptr && w < s_wLrsCount; w++, ps = ps->psNext) ConsolePrintf("%3d ", ps->wLun);
    ConsolePrintf("\n");
}

// ---- the scheduler ----

namespace {

constexpr uint16_t OLDEST_BUCKET = PRIORITY_BUCKETS - 1;
constexpr uint16_t STARTS_BEFORE_YIELD = 32;
constexpr uint8_t BACK_END_PHASE_BUSY = 9;
constexpr uint8_t START_RANK_BUSY = 238;
constexpr uint8_t TQM_REFUSED = 240;
constexpr uint8_t TQM_WAIT = 238;
constexpr uint32_t DEEP_RANK_WRITES = 32;
constexpr uint64_t ACTIVE_WINDOW_MS = 2000;
constexpr uint8_t CHAIN_MESSAGE_DATA_VALID = 129;
constexpr uint16_t MIRROR_STATE_WAITING = 0x0008;
constexpr uint16_t MIRROR_STATE_DONE = 0x0010;

struct SCHEDULER_STATE {
    uint16_t wNextLun;
    uint16_t wLunsToVisit;
    uint8_t fAlternate;
};
SCHEDULER_STATE s_sScheduler;

struct PRIORITY_TABLE {
    uint16_t aawCount[MAX_RANKS][PRIORITY_BUCKETS];
    uint16_t awTotal[MAX_RANKS];
};
PRIORITY_TABLE s_sCommandPriority;   // "TC"
PRIORITY_TABLE s_sOtherPriority;     // "OC"

uint16_t s_awActiveLuns[MAX_RANKS];
uint64_t s_lLastAgeing;

// A port's recent commands, newest at the in index, and each slot also in
// a chain of the slots whose key (given by the recorder) falls in the same
// bucket, so that the commands of one key are found without reading the
// history through.
constexpr uint16_t HISTORY_BUCKETS = 1024;
constexpr uint16_t NO_HISTORY_SLOT = RECENT_KEYED_NONE;
struct HISTORY_LINK {
    uint16_t wPrev;      // in the bucket's chain; NO_HISTORY_SLOT: the bucket's first
    uint16_t wNext;
    uint16_t wBucket;    // NO_HISTORY_SLOT: in no chain
    uint32_t dRecord;    // the slot's record number (0: never written)
};
struct PORT_HISTORY {
    uint16_t awSlot[STAGE_RING_SLOTS];
    uint16_t wIn;
    uint32_t dRecords;   // records so far; the newest slot holds this number
    HISTORY_LINK asLink[STAGE_RING_SLOTS];
    uint16_t awBucket[HISTORY_BUCKETS];   // the first slot of each chain
    uint16_t awSlotOfEntry[HOST_ENTRY_COUNT];   // where each entry was last recorded
};
PORT_HISTORY s_asHistory[HOST_PORT_SLOTS];

constexpr uint8_t NO_RANK = 0xFF;

// The array that holds a LUN's logical drive; none for a drive not configured.
uint8_t bRankOfLun(uint16_t wLun) { return wLun < wGetLogicalDriveCount() ? bGetLogicalDriveFirstRank(wLun) : NO_RANK; }

void CountIn(PRIORITY_TABLE* ps, uint8_t bRank, uint16_t wBucket) {
    if (bRank >= MAX_RANKS || wBucket > OLDEST_BUCKET) return;
    ps->aawCount[bRank][wBucket]++;
    ps->awTotal[bRank]++;
}

bool AnyOlder(const PRIORITY_TABLE& s, uint8_t bRank, uint16_t wBucket) {
    for (uint16_t w = static_cast<uint16_t>(wBucket + 1); w < PRIORITY_BUCKETS; w++) {
        if (s.aawCount[bRank][w] != 0) return true;
    }
    return false;
}

// The burst of one LUN: commands started from the head of its ring until
// the burst is used up or a start says the LUN or its array must wait.
// Returns how many commands were served; counts every command it started.
uint16_t wServeLunBurst(uint16_t wLun, uint16_t wBurst, uint64_t* plBusyRanks, uint16_t* pwStarted) {
    uint16_t wServed = 0;
    while (wServed < wBurst) {
        KERNEL_ENTRY* ps = nullptr;
        if (bPeekLunCommand(wLun, &ps) != STATUS_FOUND) {
            // A slot that holds no queued command is dropped as it is met.
            if (wGetLunQueueCount(wLun) == 0) break;
            RemoveFromLunRing(wLun);
            wServed++;
            continue;
        }
        (*pwStarted)++;
        const uint8_t bRank = ps->bRank;
        // A later pass weighs no share of its array (its first pass took it
        // for the whole command): the array's share being used up, by
        // itself as likely as not, does not hold it.
        if (bRank < MAX_RANKS && (*plBusyRanks & (1ull << bRank)) != 0 && ps->wBlocksDone == 0) break;
        uint16_t wLd = NO_LUN_INDEX;
        if (bLookupCommandLun(ps, &wLd) == LUN_LOOKUP_NONE) {
            std::memset(pGetCommandCdb(ps) + 10, 0, 4);
            AnswerLunNotSupported(ps);
            wServed++;
            continue;
        }
        if (!HasFlag(ps, KE_FLAG_INTERNAL)) {
            const uint8_t bGate = bAdmitQueuedCommand(ps);
            if (bGate == TQM_REFUSED) {
                wServed++;
                continue;
            }
            if (bGate == TQM_WAIT) break;
        }
        uint8_t bResult;
        bool fStarted;
        if (pGetCommandCdb(ps)[0] == SCSI_READ16) {
            bResult = StartHostRead(ps);
            fStarted = ps->bPrimaryState != HOST_STATE_LUN_QUEUED && ps->bPrimaryState != HOST_STATE_NEW_COMMAND;
        } else {
            bResult = StartHostWrite(ps);
            fStarted = ps->bPrimaryState == HOST_STATE_DATA_RECEIVED || ps->bPrimaryState == HOST_STATE_DATA_OUT;
        }
        // Counted at its first start only: a command back for its next pass,
        // or a read put back on its ring, is in the counts since, and its
        // end takes it off them once.  Counted at every start, a command of
        // several passes stayed in its array's writes in progress after its
        // end, and the array's share held every later write for ever.
        if (fStarted && ps->fUsed == TRUE && !HasFlag(ps, KE_FLAG_LUN_STATISTICS)) {
            SetFlag(ps, KE_FLAG_LUN_STATISTICS);
            UpdateCurrentDataOnStart(ps);
        }
        if (fGetTargetCommandTrace() == TRUE && ps->fUsed == TRUE && ps->bPrimaryState != HOST_STATE_LUN_QUEUED) {
            PrintUptime();
            ConsolePrintf("Q:%03x L:%03d Started (%03x)\n", ps->wIndex, wLun, wGetLunQueueCount(wLun));
        }
        if (bResult == START_RANK_BUSY) {
            if (bRank < MAX_RANKS) *plBusyRanks |= 1ull << bRank;
            break;
        }
        if (bResult != STATUS_OK) break;
        wServed++;
    }
    return wServed;
}

// A call yields to new commands and to a busy back end after 32 starts.
bool ShouldYield(uint16_t wStarted) {
    if (wStarted < STARTS_BEFORE_YIELD) return false;
    if (bGetInitiatorServiceResult() == BACK_END_PHASE_BUSY && wGetNewCommandCount(PORT_CODE_INITIATOR) != 0) {
        return true;
    }
    return wGetPortNewCommands(PORT_CODE_INTERNAL) != 0;
}

}  // namespace

void InitLunScheduler() {
    s_sScheduler.wNextLun = NO_LRS_LUN;
    s_sScheduler.wLunsToVisit = 0;
    s_sScheduler.fAlternate = FALSE;
}

uint8_t ServiceLunQueues() {
    const uint16_t wTotal = wGetNewCmdContTotal();
    uint16_t wStarted = 0;
    bool fContinue = wTotal != 0;
    while (fContinue && wStarted < wTotal) {
        if (s_sScheduler.wLunsToVisit == 0 || fIsLunInLrsList(s_sScheduler.wNextLun) != TRUE) {
            s_sScheduler.wNextLun = wGetLrsHeadLun();
            s_sScheduler.wLunsToVisit = wGetLrsLunCount();
        }
        if (s_sScheduler.wNextLun >= NO_LRS_LUN) break;
        uint64_t lBusyRanks = 0;
        while (s_sScheduler.wLunsToVisit != 0) {
            if (ShouldYield(wStarted)) {
                fContinue = false;
                break;
            }
            const uint16_t wLun = s_sScheduler.wNextLun;
            const uint16_t wFollowing = wGetNextLrsLun(wLun);
            const uint8_t bRank = bRankOfLun(wLun);
            const bool fPolicy = bRank < MAX_RANKS && fIsRankPolicyBit6Set(bRank) == TRUE;
            if (fPolicy && s_sScheduler.fAlternate == TRUE && fIsArrayQueueOverLimit(bRank) == TRUE) {
                MarkLunServiced(wLun);
                fContinue = false;
            } else {
                const uint16_t wBurst = wGetLunBatchLimit(wLun);
                const uint16_t wServed = wBurst == 0 ? 0 : wServeLunBurst(wLun, wBurst, &lBusyRanks, &wStarted);
                if (wServed == 0) {
                    fContinue = false;
                } else {
                    MarkLunServiced(wLun);
                }
            }
            s_sScheduler.wNextLun = wFollowing;
            s_sScheduler.wLunsToVisit--;
        }
    }
    s_sScheduler.fAlternate = s_sScheduler.fAlternate == TRUE ? FALSE : TRUE;
    return STATUS_OK;
}

// ---- priority ----

void InitPriorityCounters() {
    std::memset(&s_sCommandPriority, 0, sizeof(s_sCommandPriority));
    std::memset(&s_sOtherPriority, 0, sizeof(s_sOtherPriority));
    std::memset(s_awActiveLuns, 0, sizeof(s_awActiveLuns));
    s_lLastAgeing = 0;
}

void IncPriorityCount(uint8_t bRank, uint16_t wBucket) { CountIn(&s_sCommandPriority, bRank, wBucket); }

void DecPriorityCount(uint8_t bRank, uint16_t wBucket) {
    if (bRank >= MAX_RANKS || wBucket > OLDEST_BUCKET) return;
    uint16_t& wCount = s_sCommandPriority.aawCount[bRank][wBucket];
    if (wCount != 0) wCount--;
    if (s_sCommandPriority.awTotal[bRank] != 0) s_sCommandPriority.awTotal[bRank]--;
}

void IncOtherPriorityCount(uint8_t bRank, uint16_t wBucket) { CountIn(&s_sOtherPriority, bRank, wBucket); }

void ResetOtherPriorityCounts() {
    const uint8_t bRanks = bGetRankCount() < MAX_RANKS ? bGetRankCount() : MAX_RANKS;
    for (uint8_t r = 0; r < bRanks; r++) {
        std::memset(s_sOtherPriority.aawCount[r], 0, sizeof(s_sOtherPriority.aawCount[r]));
        s_sOtherPriority.awTotal[r] = 0;
    }
}

uint16_t wGetPriorityCount(uint8_t bRank, uint16_t wBucket) {
    if (bRank >= MAX_RANKS || wBucket > OLDEST_BUCKET) return 0;
    return s_sCommandPriority.aawCount[bRank][wBucket];
}

uint16_t wGetOtherPriorityCount(uint8_t bRank, uint16_t wBucket) {
    if (bRank >= MAX_RANKS || wBucket > OLDEST_BUCKET) return 0;
    return s_sOtherPriority.aawCount[bRank][wBucket];
}

uint8_t fIsOlderCommandWaiting(KERNEL_ENTRY* psEntry) {
    if (HasFlag(psEntry, KE_FLAG_ACCESS_CONFLICTS) && HasFlag(psEntry, KE_FLAG_HOLD_RELEASE_B)) return FALSE;
    const uint8_t bRank = psEntry->bRank;
    HOST_COMMAND_FIELDS* psFields = pHostFields(psEntry);
    uint16_t wBucket = 0;
    if (psFields->wPriorityBucket == NO_PRIORITY_BUCKET) {
        IncPriorityCount(bRank, 0);
    } else {
        const uint64_t lSeconds = (lGetTickCount() - psEntry->lArrivalMs) / 1000;
        wBucket = lSeconds > OLDEST_BUCKET ? OLDEST_BUCKET : static_cast<uint16_t>(lSeconds);
        if (wBucket != psFields->wPriorityBucket) {
            DecPriorityCount(bRank, psFields->wPriorityBucket);
            IncPriorityCount(bRank, wBucket);
        }
    }
    psFields->wPriorityBucket = wBucket;
    if (bRank >= MAX_RANKS) return FALSE;
    if (s_sCommandPriority.awTotal[bRank] != s_sCommandPriority.aawCount[bRank][wBucket] && wBucket < OLDEST_BUCKET &&
        AnyOlder(s_sCommandPriority, bRank, wBucket)) {
        return TRUE;
    }
    if (fIsDualControllerActive() == TRUE && wBucket < OLDEST_BUCKET && AnyOlder(s_sOtherPriority, bRank, wBucket)) {
        return TRUE;
    }
    return FALSE;
}

void ReleasePriorityBucket(KERNEL_ENTRY* psEntry) {
    HOST_COMMAND_FIELDS* psFields = pHostFields(psEntry);
    if (psFields->wPriorityBucket == NO_PRIORITY_BUCKET) return;
    DecPriorityCount(psEntry->bRank, psFields->wPriorityBucket);
    psFields->wPriorityBucket = NO_PRIORITY_BUCKET;
}

uint8_t fIsRankQueueDeep(const KERNEL_ENTRY* psEntry) {
    return ToFlag(dGetRankOutstandingWrites(psEntry->bRank) > DEEP_RANK_WRITES);
}

void ShowTargetCommandPriorityCounters() {
    ConsolePrintf("\nTarget Command Priority Counters\n");
    const PRIORITY_TABLE* apsTables[] = {&s_sCommandPriority, &s_sOtherPriority};
    const char* apszNames[] = {"\nTC\n", "\nOC\n"};
    for (uint8_t t = 0; t < 2; t++) {
        ConsolePrintText(apszNames[t]);
        for (uint8_t r = 0; r < MAX_RANKS; r++) {
            if (apsTables[t]->awTotal[r] == 0) continue;
            ConsolePrintf("\nRank %02x Total:%03x\n", r, apsTables[t]->awTotal[r]);
            for (uint16_t b = 0; b < PRIORITY_BUCKETS; b++) {
                const uint16_t wCount = apsTables[t]->aawCount[r][b];
                if (wCount != 0) ConsolePrintf("P:%03d Cmds:%03x\n", b, wCount);
            }
        }
    }
}

// ---- active LUNs ----

void AgeActiveLuns() {
    const uint64_t lNow = lGetTickCount();
    if (lNow - s_lLastAgeing < ACTIVE_WINDOW_MS) return;
    s_lLastAgeing = lNow;
    const uint8_t bRanks = bGetRankCount() < MAX_RANKS ? bGetRankCount() : MAX_RANKS;
    for (uint8_t r = 0; r < bRanks; r++) s_awActiveLuns[r] = 0;
    for (uint16_t w = 0; w < LUN_COUNT; w++) {
        LUN_SERVICE_RECORD& s = s_asLunService[w];
        const bool fServicedLately = s.lLastServiced != NEVER_SERVICED && lNow - s.lLastServiced <= ACTIVE_WINDOW_MS;
        const bool fActive = fServicedLately || dGetLunCommandsOutstanding(w) != 0;
        s.fActive = ToFlag(fActive);
        const uint8_t bRank = bRankOfLun(w);
        if (fActive && bRank < MAX_RANKS) s_awActiveLuns[bRank]++;
    }
}

uint16_t wGetActiveLunCount(uint8_t bRank) { return bRank < MAX_RANKS ? s_awActiveLuns[bRank] : 0; }
uint8_t fIsLunActive(uint16_t wLun) { return wLun < LUN_COUNT ? s_asLunService[wLun].fActive : FALSE; }

void DumpActiveLuns() {
    ConsolePrintf("\nActive LUNs per Rank:\n");
    const uint8_t bRanks = bGetRankCount() < MAX_RANKS ? bGetRankCount() : MAX_RANKS;
    for (uint8_t r = 0; r < bRanks; r++) {
        if (s_awActiveLuns[r] != 0) ConsolePrintf("R%03x: %03x\n", r, s_awActiveLuns[r]);
    }
    ConsolePrintf("\nActive LUNs:\n");
    const uint64_t lNow = lGetTickCount();
    for (uint16_t w = 0; w < LUN_COUNT; w++) {
        if (s_asLunService[w].fActive != TRUE) continue;
        ConsolePrintf("L%03x: ", w);
        const uint64_t lLast = s_asLunService[w].lLastServiced;
        PrintElapsedMs(lLast == NEVER_SERVICED ? 0 : lNow - lLast);
        ConsolePrintf("\n");
    }
}

// ---- recent commands per port ----

void InitPortCommandHistory() {
    for (PORT_HISTORY& s : s_asHistory) {
        std::memset(s.awSlot, 0xFF, sizeof(s.awSlot));
        s.wIn = 0;
        s.dRecords = 0;
        for (HISTORY_LINK& sLink : s.asLink) sLink = {NO_HISTORY_SLOT, NO_HISTORY_SLOT, NO_HISTORY_SLOT, 0};
        std::memset(s.awBucket, 0xFF, sizeof(s.awBucket));
        std::memset(s.awSlotOfEntry, 0xFF, sizeof(s.awSlotOfEntry));
    }
}

namespace {

uint16_t wHistoryBucket(uint64_t lKey) {
    return static_cast<uint16_t>((lKey * 0x9E3779B97F4A7C15ull) >> 54);
}
static_assert(HISTORY_BUCKETS == 1u << 10, "the bucket is the hash's top 10 bits");

void UnlinkHistorySlot(PORT_HISTORY& s, uint16_t wSlot) {
    HISTORY_LINK& sLink = s.asLink[wSlot];
    if (sLink.wBucket == NO_HISTORY_SLOT) return;
    if (sLink.wPrev == NO_HISTORY_SLOT) {
        s.awBucket[sLink.wBucket] = sLink.wNext;
    } else {
        s.asLink[sLink.wPrev].wNext = sLink.wNext;
    }
    if (sLink.wNext != NO_HISTORY_SLOT) s.asLink[sLink.wNext].wPrev = sLink.wPrev;
    sLink.wPrev = sLink.wNext = sLink.wBucket = NO_HISTORY_SLOT;
}

// Each chain keeps its slots newest record first, so that a search stops at
// the first slot too old for it.
void LinkHistorySlot(PORT_HISTORY& s, uint16_t wSlot, uint64_t lKey) {
    HISTORY_LINK& sLink = s.asLink[wSlot];
    const uint16_t wBucket = wHistoryBucket(lKey);
    uint16_t wPrev = NO_HISTORY_SLOT;
    uint16_t wNext = s.awBucket[wBucket];
    while (wNext != NO_HISTORY_SLOT && s.asLink[wNext].dRecord > sLink.dRecord) {
        wPrev = wNext;
        wNext = s.asLink[wNext].wNext;
    }
    sLink.wBucket = wBucket;
    sLink.wPrev = wPrev;
    sLink.wNext = wNext;
    if (wNext != NO_HISTORY_SLOT) s.asLink[wNext].wPrev = wSlot;
    if (wPrev == NO_HISTORY_SLOT) {
        s.awBucket[wBucket] = wSlot;
    } else {
        s.asLink[wPrev].wNext = wSlot;
    }
}

}  // namespace

void RecordPortCommand(uint8_t bPortCode, uint16_t wIndex, uint64_t lKey) {
    const uint8_t bPort = bHostPortSlot(bPortCode);
    if (bPort == NO_HOST_PORT_SLOT) return;
    PORT_HISTORY& s = s_asHistory[bPort];
    const uint16_t wSlot = s.wIn;
    UnlinkHistorySlot(s, wSlot);
    s.awSlot[wSlot] = wIndex;
    s.asLink[wSlot].dRecord = ++s.dRecords;
    LinkHistorySlot(s, wSlot, lKey);
    if (wIndex < HOST_ENTRY_COUNT) s.awSlotOfEntry[wIndex] = wSlot;
    s.wIn = s.wIn + 1 == STAGE_RING_SLOTS ? 0 : static_cast<uint16_t>(s.wIn + 1);
}

void RekeyPortCommand(uint8_t bPortCode, uint16_t wIndex, uint64_t lKey) {
    const uint8_t bPort = bHostPortSlot(bPortCode);
    if (bPort == NO_HOST_PORT_SLOT || wIndex >= HOST_ENTRY_COUNT) return;
    PORT_HISTORY& s = s_asHistory[bPort];
    const uint16_t wSlot = s.awSlotOfEntry[wIndex];
    if (wSlot >= STAGE_RING_SLOTS || s.awSlot[wSlot] != wIndex) return;
    UnlinkHistorySlot(s, wSlot);
    LinkHistorySlot(s, wSlot, lKey);
}

uint8_t fGetRecentPortCommand(uint8_t bPortCode, uint16_t wBack, KERNEL_ENTRY** ppsEntry) {
    return ToFlag(wGetRecentPortCommands(bPortCode, wBack, 1, ppsEntry) == 1);
}

uint16_t wGetRecentPortCommands(uint8_t bPortCode, uint16_t wBack, uint16_t wCount, KERNEL_ENTRY** apsEntry) {
    const uint8_t bPort = bHostPortSlot(bPortCode);
    if (bPort == NO_HOST_PORT_SLOT) return 0;
    const PORT_HISTORY& s = s_asHistory[bPort];
    return wReadHistory({s.awSlot, STAGE_RING_SLOTS, s.wIn, STAGE_RING_SLOTS - 1, 0}, wBack, wCount, apsEntry);
}

uint16_t wFindRecentPortCommands(uint8_t bPortCode, uint64_t lKey, uint32_t dDepth, uint16_t* pwCursor,
                                 uint16_t wMost, KERNEL_ENTRY** apsEntry) {
    const uint8_t bPort = bHostPortSlot(bPortCode);
    if (bPort == NO_HOST_PORT_SLOT) return 0;
    const PORT_HISTORY& s = s_asHistory[bPort];
    // As deep as the history can be read back (wGetRecentPortCommands).
    if (dDepth > STAGE_RING_SLOTS - 1u) dDepth = STAGE_RING_SLOTS - 1u;
    KERNEL_ENTRY* psPool = nullptr;
    wGetTargetEntry(0, &psPool);
    uint16_t wSlot = *pwCursor == RECENT_KEYED_FIRST ? s.awBucket[wHistoryBucket(lKey)] : *pwCursor;
    uint16_t wFound = 0;
    for (; wSlot != NO_HISTORY_SLOT && wFound < wMost; wSlot = s.asLink[wSlot].wNext) {
        // Newest first: the rest of the chain is older still.
        if (s.dRecords - s.asLink[wSlot].dRecord >= dDepth) {
            wSlot = NO_HISTORY_SLOT;
            break;
        }
        const uint16_t wIndex = s.awSlot[wSlot];
        if (wIndex < HOST_ENTRY_COUNT) apsEntry[wFound++] = psPool + wIndex;
    }
    *pwCursor = wSlot;
    return wFound;
}

// ---- command chains ----

void ChainCommands(KERNEL_ENTRY* psFirst, KERNEL_ENTRY* psFollower) {
    SetFlag(psFirst, KE_FLAG_CHAIN_FIRST);
    SetFlag(psFollower, KE_FLAG_CHAIN_FOLLOWER);
    // The newest follower is first in the chain.
    pHostFields(psFollower)->wNextInChain = pHostFields(psFirst)->wNextInChain;
    pHostFields(psFirst)->wNextInChain = psFollower->wIndex;
}

void ReleaseCommandChain(KERNEL_ENTRY* psFirst, uint8_t bMessageCode, uint8_t bStatus) {
    ClearFlag(psFirst, KE_FLAG_CHAIN_FIRST);
    KERNEL_ENTRY* ps = psFirst;
    for (uint16_t wStep = 0; wStep < HOST_ENTRY_COUNT; wStep++) {
        HOST_COMMAND_FIELDS* psFields = pHostFields(ps);
        KERNEL_ENTRY* psFollower = nullptr;
        wGetTargetEntry(psFields->wNextInChain, &psFollower);
        psFields->wNextInChain = NO_CHAIN_LINK;
        if (psFollower == nullptr) return;
        ClearFlag(psFollower, KE_FLAG_CHAIN_FOLLOWER);
        if (bMessageCode == CHAIN_MESSAGE_DATA_VALID) {
            uint16_t& wMirror = psCacheFields(psFollower)->wMirrorState;
            if (bStatus != STATUS_OK) {
                wMirror = 0;
                ClearFlag(psFollower, KE_FLAG_WRITE_BACK);
            } else {
                wMirror = static_cast<uint16_t>((wMirror & ~MIRROR_STATE_WAITING) | MIRROR_STATE_DONE);
            }
            psFollower->bPrimaryState = HOST_STATE_DATA_RECEIVED;
            QueueDataReceived(psFollower->wIndex);
        }
        ps = psFollower;
    }
}

}  // namespace fw
