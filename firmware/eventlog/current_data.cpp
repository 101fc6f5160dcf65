// The work in flight: host reads and writes in progress, cached writes
// held, the current data counters per LUN and per array with their running
// maxima, the RAID layer's reads and writes per array, and the last access
// times the schedulers and power management pace themselves by.  Unlike the
// shaped statistics these go up and down: every increment has its decrement,
// and none goes below 0.
#include "eventlog/statistics.h"

#include <cstring>

#include "cache/cache_entry.h"
#include "config/ld_table.h"
#include "config/rank_table.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/date_time.h"
#include "executive/kernel_entry.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "hw/scsi.h"
#include "target/command_access.h"
#include "target/host_command_codes.h"

namespace fw {

namespace {

constexpr uint8_t ONE_RANK = 255;   // second array index of a command on one array
// The LUN stage's command type whose completion leaves the LUN's last access alone.
constexpr uint8_t CT_KEEPS_LUN_ACCESS = 160;
constexpr uint32_t LOADED_RANK_WRITES = 33;

struct DATA_PAIR {
    uint32_t dCount;
    uint32_t dBlocks;
};

struct CURRENT_DATA {
    DATA_PAIR sWrites;
    DATA_PAIR sReads;
    DATA_PAIR sMaxWrites;
    DATA_PAIR sMaxReads;
    DATA_PAIR asLunWrites[STATISTICS_LUNS];
    DATA_PAIR asLunReads[STATISTICS_LUNS];
    DATA_PAIR asRankWrites[STATISTICS_RANKS];
    DATA_PAIR asRankReads[STATISTICS_RANKS];
    uint32_t dRanksWithWrites;
    uint64_t alRankLastAccess[STATISTICS_RANKS];
    uint64_t alLunLastAccess[STATISTICS_LUNS];
};

CURRENT_DATA s_sData;
uint32_t s_dHostReads;
uint32_t s_dHostWrites;
uint32_t s_dCacheWrites;
uint32_t s_dCacheWritesMax;
uint32_t s_adRankRaidReads[STATISTICS_RANKS];
uint32_t s_adRankRaidWrites[STATISTICS_RANKS];
uint64_t s_lLastHostCommand;

void DecNotBelowZero(uint32_t* pd) {
    if (*pd != 0) --*pd;
}

void SubtractNotBelowZero(uint32_t* pd, uint32_t dAmount) { *pd = *pd > dAmount ? *pd - dAmount : 0; }

void AddToPair(DATA_PAIR* ps, uint32_t dCount, uint32_t dBlocks) {
    ps->dCount += dCount;
    ps->dBlocks += dBlocks;
}

// A pair left with a count and no blocks, or blocks and no count, no longer
// describes any command: both go to 0, so a miscount heals at the next end.
void SubtractFromPair(DATA_PAIR* ps, uint32_t dCount, uint32_t dBlocks) {
    SubtractNotBelowZero(&ps->dCount, dCount);
    SubtractNotBelowZero(&ps->dBlocks, dBlocks);
    if (ps->dCount == 0 || ps->dBlocks == 0) *ps = DATA_PAIR{};
}

void RaiseMaximum(DATA_PAIR* psMax, const DATA_PAIR& sNow) {
    if (sNow.dCount > psMax->dCount) psMax->dCount = sNow.dCount;
    if (sNow.dBlocks > psMax->dBlocks) psMax->dBlocks = sNow.dBlocks;
}

bool IsRead(const KERNEL_ENTRY* psEntry) {
    const uint8_t* pbCdb = pGetCommandCdb(psEntry);
    return pbCdb != nullptr && pbCdb[0] == SCSI_READ16;
}

bool IsRank(uint16_t wRank) { return wRank < STATISTICS_RANKS; }
bool IsLun(uint16_t wLun) { return wLun < STATISTICS_LUNS; }

uint32_t dRankCommands(uint16_t wRank) { return s_sData.asRankReads[wRank].dCount + s_sData.asRankWrites[wRank].dCount; }
uint32_t dLunCommands(uint16_t wLun) { return s_sData.asLunReads[wLun].dCount + s_sData.asLunWrites[wLun].dCount; }

// What a completing write takes off: the stream head carries its merged
// pieces, which never complete on their own.
void WriteCompletionShare(const KERNEL_ENTRY* psEntry, uint32_t* pdCount, uint32_t* pdBlocks) {
    const uint16_t wMerged = psCacheFields(psEntry)->wPiecesIssued;
    switch (psEntry->bCommandType) {
    case COMMAND_TYPE_STREAM_PIECE:
    case COMMAND_TYPE_CLOSING_PIECE:
    case CT_PLAIN_WRITE:
        *pdCount = 1;
        *pdBlocks = psEntry->wBlockCount;
        break;
    case COMMAND_TYPE_CONTINUATION:
        *pdCount = wMerged == 0 ? 1 : wMerged;
        *pdBlocks = psEntry->wBlocks;
        break;
    default:
        *pdCount = wMerged + 1u;
        *pdBlocks = psEntry->wBlocks;
        break;
    }
}

// A size of a block count in the listing: megabytes from 2048 blocks,
// kilobytes below; after a read pair the size ends the line.
void PrintSize(uint32_t dBlocks, bool fEndsLine) {
    if (dBlocks >= 2048) {
        ConsolePrintf(fEndsLine ? " %4d MB\n" : " %4d MB ", dBlocks / 2048);
    } else if (dBlocks >= 2) {
        ConsolePrintf(fEndsLine ? " %4d KB\n" : " %4d KB ", dBlocks / 2);
    } else if (dBlocks == 1) {
        ConsolePrintf(fEndsLine ? "  < 1 KB\n" : "  < 1 KB ");
    } else {
        ConsolePrintf(fEndsLine ? "    0 KB\n" : "    0 KB ");
    }
}

void PrintPairs(const DATA_PAIR& sWrites, const DATA_PAIR& sReads) {
    ConsolePrintf("Writes:%03x Blocks:%08x ", sWrites.dCount, sWrites.dBlocks);
    PrintSize(sWrites.dBlocks, false);
    ConsolePrintf("  Reads:%03x Blocks:%08x ", sReads.dCount, sReads.dBlocks);
    PrintSize(sReads.dBlocks, true);
}

}  // namespace

// ---- host commands and cached writes in progress ----

void IncHostReadsInProgress() { ++s_dHostReads; }
void DecHostReadsInProgress() { DecNotBelowZero(&s_dHostReads); }
uint32_t dGetHostReadsInProgress() { return s_dHostReads; }
void IncHostWritesInProgress() { ++s_dHostWrites; }
void DecHostWritesInProgress() { DecNotBelowZero(&s_dHostWrites); }
uint32_t dGetHostWritesInProgress() { return s_dHostWrites; }

void IncCacheWriteCount() {
    if (++s_dCacheWrites > s_dCacheWritesMax) s_dCacheWritesMax = s_dCacheWrites;
}
void DecCacheWriteCount() { DecNotBelowZero(&s_dCacheWrites); }
uint32_t dGetCacheWriteCount() { return s_dCacheWrites; }
void SetCacheWriteCount(uint32_t d) { s_dCacheWrites = d; }
uint32_t dGetCacheWriteCountMax() { return s_dCacheWritesMax; }
void SetCacheWriteCountMax(uint32_t d) { s_dCacheWritesMax = d; }

// ---- current data ----

void UpdateCurrentDataOnStart(KERNEL_ENTRY* psEntry) {
    const uint16_t wLun = psEntry->wLunIndex;
    if (!IsLun(wLun) || psEntry->bSecondRank != ONE_RANK) return;
    const uint8_t bRank = psEntry->bRank;
    const bool fRank = IsRank(bRank);
    CURRENT_DATA& s = s_sData;
    if (IsRead(psEntry)) {
        const uint32_t dBlocks = psEntry->wBlocks;
        AddToPair(&s.sReads, 1, dBlocks);
        AddToPair(&s.asLunReads[wLun], 1, dBlocks);
        if (fRank) AddToPair(&s.asRankReads[bRank], 1, dBlocks);
        RaiseMaximum(&s.sMaxReads, s.sReads);
    } else {
        const uint32_t dBlocks = psEntry->wBlockCount;
        AddToPair(&s.sWrites, 1, dBlocks);
        AddToPair(&s.asLunWrites[wLun], 1, dBlocks);
        if (fRank) {
            AddToPair(&s.asRankWrites[bRank], 1, dBlocks);
            if (s.asRankWrites[bRank].dCount == 1) ++s.dRanksWithWrites;
        }
        RaiseMaximum(&s.sMaxWrites, s.sWrites);
    }
    const uint64_t lNow = lGetTickCount();
    if (fRank && dRankCommands(bRank) == 1) s.alRankLastAccess[bRank] = lNow;
    if (dLunCommands(wLun) == 1 && psEntry->bCommandType != CT_KEEPS_LUN_ACCESS) s.alLunLastAccess[wLun] = lNow;
}

void UpdateStatisticsOnCommandComplete(KERNEL_ENTRY* psEntry) {
    const uint16_t wLun = psEntry->wLunIndex;
    if (!IsLun(wLun) || psEntry->bSecondRank != ONE_RANK || !HasFlag(psEntry, KE_FLAG_LUN_STATISTICS)) return;
    // Counted down once only.
    ClearFlag(psEntry, KE_FLAG_LUN_STATISTICS);
    const uint8_t bRank = psEntry->bRank;
    const bool fRank = IsRank(bRank);
    CURRENT_DATA& s = s_sData;
    if (IsRead(psEntry)) {
        const uint32_t dBlocks = psEntry->wBlocks;
        SubtractFromPair(&s.sReads, 1, dBlocks);
        SubtractFromPair(&s.asLunReads[wLun], 1, dBlocks);
        if (fRank) SubtractFromPair(&s.asRankReads[bRank], 1, dBlocks);
    } else {
        uint32_t dCount = 0;
        uint32_t dBlocks = 0;
        WriteCompletionShare(psEntry, &dCount, &dBlocks);
        SubtractFromPair(&s.sWrites, dCount, dBlocks);
        SubtractFromPair(&s.asLunWrites[wLun], dCount, dBlocks);
        if (fRank) {
            const bool fHadWrites = s.asRankWrites[bRank].dCount != 0;
            SubtractFromPair(&s.asRankWrites[bRank], dCount, dBlocks);
            if (fHadWrites && s.asRankWrites[bRank].dCount == 0) DecNotBelowZero(&s.dRanksWithWrites);
        }
    }
    const uint64_t lNow = lGetTickCount();
    if (fRank) s.alRankLastAccess[bRank] = lNow;
    if (psEntry->bCommandType != CT_KEEPS_LUN_ACCESS) s.alLunLastAccess[wLun] = lNow;
}

uint32_t dGetLunCommandsOutstanding(uint16_t wLun) { return IsLun(wLun) ? dLunCommands(wLun) : 0; }
uint32_t dGetRankHostCommandsOutstanding(uint16_t wRank) { return IsRank(wRank) ? dRankCommands(wRank) : 0; }
uint32_t dGetRankHostBlocksOutstanding(uint16_t wRank) {
    return IsRank(wRank) ? s_sData.asRankReads[wRank].dBlocks + s_sData.asRankWrites[wRank].dBlocks : 0;
}
uint32_t dGetRanksWithWrites() { return s_sData.dRanksWithWrites; }

uint8_t bCheckRankWriteLoad(const KERNEL_ENTRY* psEntry) {
    return bCheckRankWriteLoadOf(psEntry->wLunIndex, psEntry->bRank);
}

uint8_t bCheckRankWriteLoadOf(uint16_t wLun, uint8_t bRank) {
    if (!IsLun(wLun)) return TRUE;
    // An array beyond the counters' tables has no load to weigh: the write
    // goes on, as on an array that is idle.
    if (!IsRank(bRank)) return FALSE;
    const uint8_t bLoaded = fIsRankPolicyBit6Set(bRank) == TRUE ? RANK_WRITE_LOAD_SHARED : TRUE;
    const DATA_PAIR& sWrites = s_sData.asRankWrites[bRank];
    if (sWrites.dBlocks > dGetRankWriteThreshold(bRank)) return bLoaded;
    // The buffer memory is short: a loaded array's held writes go on and
    // give back their room, rather than new writes being refused pages.
    if (fIsBufferUsageHigh(BUFFER_BANK_EITHER) == TRUE) return sWrites.dCount < LOADED_RANK_WRITES ? FALSE : bLoaded;
    if (fGetRankInitPending(bRank) != TRUE) return FALSE;
    if (bGetLogicalDriveBothControllers(wLun) != TRUE && fGetRankMemberOnMux(bRank) != TRUE) {
        return FALSE;
    }
    return sWrites.dCount < LOADED_RANK_WRITES ? FALSE : bLoaded;
}

void ClearCurrentDataCounters() { std::memset(&s_sData, 0, sizeof s_sData); }

void ShowCurrentDataCounters() {
    CURRENT_DATA& s = s_sData;
    PrintCurrentDateTime();
    PrintUptime();
    ConsolePrintf("Rank and LUN Current Data Counters:\n\n");
    ConsolePrintf("Cur. ");
    PrintPairs(s.sWrites, s.sReads);
    ConsolePrintf("Max. ");
    PrintPairs(s.sMaxWrites, s.sMaxReads);
    // The maxima shown are those since the previous listing.
    s.sMaxWrites = DATA_PAIR{};
    s.sMaxReads = DATA_PAIR{};
    ConsolePrintf("\n");
    for (uint16_t w = 0; w < STATISTICS_LUNS; ++w) {
        if (s.asLunWrites[w].dCount == 0 && s.asLunReads[w].dCount == 0) continue;
        ConsolePrintf("L%03x ", w);
        PrintPairs(s.asLunWrites[w], s.asLunReads[w]);
    }
    ConsolePrintf("\n");
    for (uint16_t r = 0; r < STATISTICS_RANKS; ++r) {
        if (s.asRankWrites[r].dCount == 0 && s.asRankReads[r].dCount == 0) continue;
        ConsolePrintf("R%03x ", r);
        PrintPairs(s.asRankWrites[r], s.asRankReads[r]);
    }
    ConsolePrintf("\n\n");
}

// ---- the RAID layer's host I/O per array, and access times ----

void IncRankReadsInProgress(uint8_t bRank) {
    if (IsRank(bRank)) ++s_adRankRaidReads[bRank];
}
void DecRankReadsInProgress(uint8_t bRank) {
    if (IsRank(bRank)) DecNotBelowZero(&s_adRankRaidReads[bRank]);
}
uint32_t dGetRankReadsInProgress(uint8_t bRank) { return IsRank(bRank) ? s_adRankRaidReads[bRank] : 0; }
void ClearRankReadsInProgress(uint8_t bRank) {
    if (IsRank(bRank)) s_adRankRaidReads[bRank] = 0;
}
void IncRankWritesInProgress(uint8_t bRank) {
    if (IsRank(bRank)) ++s_adRankRaidWrites[bRank];
}
void DecRankWritesInProgress(uint8_t bRank) {
    if (IsRank(bRank)) DecNotBelowZero(&s_adRankRaidWrites[bRank]);
}
uint32_t dGetRankWritesInProgress(uint8_t bRank) { return IsRank(bRank) ? s_adRankRaidWrites[bRank] : 0; }
void ClearRankWritesInProgress(uint8_t bRank) {
    if (IsRank(bRank)) s_adRankRaidWrites[bRank] = 0;
}

uint64_t lGetRankLastAccessTime(uint8_t bRank) { return IsRank(bRank) ? s_sData.alRankLastAccess[bRank] : 0; }
void SetRankLastAccessTime(uint8_t bRank) {
    if (IsRank(bRank)) s_sData.alRankLastAccess[bRank] = lGetTickCount();
}
uint64_t lGetLunLastAccessTime(uint16_t wLun) { return IsLun(wLun) ? s_sData.alLunLastAccess[wLun] : 0; }
void SetLastHostCommandTime(uint64_t lMs) { s_lLastHostCommand = lMs; }
uint64_t lGetLastHostCommandTime() { return s_lLastHostCommand; }

}  // namespace fw
