// The statistics dump: a statistics record as console text, one row per
// step; this controller's, built on the spot, or the partner's.
#include "eventlog/statistics_dump.h"

#include "config/config_db.h"
#include "console/console_menu.h"
#include "console/information_menus.h"
#include "eventlog/config_dump.h"
#include "eventlog/debug_dump.h"
#include "eventlog/info_dump.h"
#include "eventlog/statistics.h"
#include "eventlog/statistics_record.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/date_time.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "partner/partner_link.h"
#include "target/target_queue_management.h"

namespace fw {

namespace {

// Pages of an extended record: the record and the latency table.
constexpr uint32_t EXTENDED_PAGES = 2050;
constexpr uint16_t EXTENDED_TRIES = 3;

enum : uint8_t {
    ST_OWN = 0,
    ST_PARTNER = 1,
    ST_TIMES = 2,
    ST_ACCESS = 3,
    ST_READ_AHEAD = 4,
    ST_CLUSTER = 5,
    ST_MISCELLANEOUS = 6,
    ST_END = 8,
    ST_LATENCY = 9,
};

// Access statistics rows: heading, totals, since-reset volume, then the
// buckets.
constexpr uint16_t ROW_ALIGNMENT_FIRST = 3;
constexpr uint16_t ROW_SIZE_FIRST = 15;
constexpr uint16_t ROW_SIZE_LAST = 35;

const char* const ALIGNMENT_LABELS[12] = {
    "Alignment < 4K   : ", "Alignment   4K   : ", "Alignment   8K   : ", "Alignment  16K   : ",
    "Alignment  32K   : ", "Alignment  64K   : ", "Alignment 128K   : ", "Alignment 256K   : ",
    "Alignment 512K   : ", "Alignment   1M   : ", "Alignment   2M   : ", "Alignment > 2M   : ",
};
const char* const SIZE_LABELS[21] = {
    "Access Size   < 4K : ", "Access Size     4K : ", "Access Size   < 8K : ", "Access Size     8K : ",
    "Access Size  < 16K : ", "Access Size    16K : ", "Access Size  < 32K : ", "Access Size    32K : ",
    "Access Size  < 64K : ", "Access Size    64K : ", "Access Size < 128K : ", "Access Size   128K : ",
    "Access Size < 256K : ", "Access Size   256K : ", "Access Size < 512K : ", "Access Size   512K : ",
    "Access Size   < 1M : ", "Access Size     1M : ", "Access Size   < 2M : ", "Access Size     2M : ",
    "Access Size   > 2M : ",
};
const char* const EVENT_LABELS[EVENT_COUNTERS] = {
    "Read Cache Full          : ", "Write Cache Full         : ", "RAID 50 Read Cache Full  : ",
    "RAID 50 Write Cache Full : ", "Mirror Cache Full        : ", "New Command Cache Limit  : ",
    "Spanned Command Count    : ", "Rebuild Overlap          : ", "Initiator Queue Full     : ",
    "Target Queue Full        : ", "Read/Write Collision     : ", "Write/Read Collision     : ",
    "Read-Ahead/Write Collision: ", "Write/Read-Ahead Collision: ", nullptr,
    "Write/Write Collision    : ", "Write Stripe Collision   : ", "Shared LD Overlap       : ",
    "Reservation Conflict     : ", "Invalid Command          : ",
};

struct TYPE_ROW {
    uint8_t bType;
    uint8_t bFirst;
    uint8_t bEnd;
};
constexpr TYPE_ROW TYPES[] = {
    {STATISTICS_ALL, ST_ACCESS, ST_END},           {STATISTICS_ACCESS, ST_ACCESS, ST_READ_AHEAD},
    {STATISTICS_READ_AHEAD, ST_READ_AHEAD, ST_CLUSTER}, {STATISTICS_CLUSTERS, ST_CLUSTER, ST_MISCELLANEOUS},
    {STATISTICS_MISCELLANEOUS, ST_MISCELLANEOUS, ST_END}, {STATISTICS_LD_ACCESS, ST_ACCESS, ST_END},
    {STATISTICS_LATENCY, ST_LATENCY, ST_END},
};

uint16_t s_wAllocRetries;
uint8_t s_bControllerNumber;
uint32_t s_dPages;        // pages of the record held: 2050, or 1 after the tries

DUMP_POSITION& Pos() { return *psGetDumpPosition(); }
const STATISTICS_RECORD& Record() {
    return *static_cast<const STATISTICS_RECORD*>(pBufferHandleToPointer(dGetInfoDumpStatsBuffer()));
}
bool Extended() { return s_dPages == EXTENDED_PAGES; }
void Next(uint8_t bState) { SetInfoDumpState(bState); }

void PrintPercent(const char* pszLabel, uint8_t bPercent) {
    if (bPercent == 0) return;
    ConsolePrintText(pszLabel);
    if (bPercent == PERCENT_UNDER_ONE) {
        ConsolePrintf("<1%%\n");
    } else {
        ConsolePrintf("%d%%\n", bPercent);
    }
}

// A block count as a volume: megabytes of 1954 blocks, in steps of a
// thousand up to yottabytes.
void PrintVolume(uint64_t lBlocks, const char* pszEnd) {
    static const char* const apszUnit[] = {" MB", " GB", " TB", " PB", " EB", " ZB", " YB"};
    if (lBlocks == 0) {
        ConsolePrintf("0 MB");
        ConsolePrintText(pszEnd);
        return;
    }
    uint64_t lValue = lBlocks / 1954;
    if (lValue == 0) {
        ConsolePrintf("< 1 MB");
        ConsolePrintText(pszEnd);
        return;
    }
    uint32_t dUnit = 0;
    while (lValue > 10000 && dUnit < 6) {
        lValue /= 1000;
        ++dUnit;
    }
    PrintNumberWithSeparators(lValue, TRUE);
    ConsolePrintText(apszUnit[dUnit]);
    ConsolePrintText(pszEnd);
}

void PrintTitle(uint8_t bType, uint8_t bPort, uint16_t wLd, const char* pszLetter, bool fPartnerZero) {
    if (bType != STATISTICS_LD_ACCESS) {
        ConsolePrintf("Controller %s Statistics\n\n", pszLetter);
    } else if (bPort == DUMP_BOTH_PORTS) {
        ConsolePrintf(fPartnerZero ? "\n\nController %s - LD %d (both ports):\n" : "\n\n\nController %s - LD %d (both ports):\n",
                      pszLetter, wLd);
    } else {
        ConsolePrintf(fPartnerZero ? "\n\nController %s - LD %d - Port %d:\n" : "\n\n\nController %s - LD %d - Port %d:\n",
                      pszLetter, wLd, bPort - 1);
    }
}

// ---- the steps ----

bool TakeOwnRecord(uint8_t bPort, uint16_t wLd) {
    BUFFER_HANDLE dHandle{};
    const uint32_t dPages = s_wAllocRetries < EXTENDED_TRIES ? EXTENDED_PAGES : 1;
    if (bAllocDataPages(0, dPages, &dHandle) != STATUS_OK) {
        ++s_wAllocRetries;
        return false;
    }
    s_dPages = dPages;
    SetInfoDumpStatsBuffer(dHandle);
    uint8_t* pb = static_cast<uint8_t*>(pBufferHandleToPointer(dHandle));
    // The menu's port codes (0 both, 1 port 0, 2 port 1) are the record's
    // side selections.
    if (Extended()) {
        FillStatisticsRecordWithLatency(bPort, wLd, pb);
    } else {
        FillStatisticsRecord(bPort, wLd, reinterpret_cast<STATISTICS_RECORD*>(pb));
    }
    return true;
}

void Times(uint8_t bType) {
    DUMP_POSITION& p = Pos();
    p.wIndex = p.wSubIndex = 0;
    p.wEndState = ST_END;
    uint8_t bFirst = ST_END;
    for (const TYPE_ROW& r : TYPES) {
        if (r.bType != bType) continue;
        bFirst = r.bFirst;
        p.wEndState = r.bEnd;
    }
    ConsolePrintf("Current Time    : ");
    PrintElapsedSeconds(Record().dCurrentTime);
    ConsolePrintf("\n");
    ConsolePrintf("Time Since Reset: ");
    PrintElapsedSeconds(Record().dTimeSinceReset);
    ConsolePrintf("\n");
    Next(bFirst);
}

void AccessRow(uint8_t bType) {
    DUMP_POSITION& p = Pos();
    const bool fRead = p.wIndex == 0;
    const ACCESS_STATISTICS_BLOCK& s = fRead ? Record().sRead : Record().sWrite;
    const uint16_t wRow = p.wSubIndex++;
    if (wRow == 0) {
        ConsolePrintf(fRead ? "\n\nRead Access Statistics:\n" : "\n\nWrite Access Statistics:\n");
    } else if (wRow == 1) {
        ConsolePrintf(fRead ? "Total Read Commands: " : "Total Write Commands: ");
        PrintNumberWithSeparators(s.lTotalCommands, TRUE);
        ConsolePrintf("\n");
        ConsolePrintf(fRead ? "Total Read Transfer: " : "Total Write Transfer: ");
        PrintVolume(s.lTotalBlocks, "\n");
        ConsolePrintf(fRead ? "Total Read Commands Since Reset: " : "Total Write Commands Since Reset: ");
        PrintNumberWithSeparators(s.lCommandsSinceReset, TRUE);
        ConsolePrintf("\n");
    } else if (wRow == 2) {
        ConsolePrintf(fRead ? "Total Read Transfer Since Reset: " : "Total Write Transfer Since Reset: ");
        PrintVolume(s.lBlocksSinceReset, "\n\n");
    } else if (wRow < ROW_SIZE_FIRST) {
        PrintPercent(ALIGNMENT_LABELS[wRow - ROW_ALIGNMENT_FIRST], s.abAlignment[wRow - ROW_ALIGNMENT_FIRST]);
    } else {
        if (wRow == ROW_SIZE_FIRST) ConsolePrintf("\n");
        PrintPercent(SIZE_LABELS[wRow - ROW_SIZE_FIRST], s.abAccessSize[wRow - ROW_SIZE_FIRST]);
    }
    if (wRow < ROW_SIZE_LAST) return;
    p.wSubIndex = 0;
    if (fRead) {
        p.wIndex = 1;
        return;
    }
    p.wIndex = 0;
    Next(bType == STATISTICS_LD_ACCESS ? ST_END : ST_READ_AHEAD);
}

bool ShowsOwnCounters() { return s_bControllerNumber == bGetControllerNumber(); }

void ReadAheadRow() {
    DUMP_POSITION& p = Pos();
    const uint8_t* pb = Record().abReadAhead;
    const uint16_t wRow = p.wIndex++;
    switch (wRow) {
    case 0: ConsolePrintf("\n\nRead-Ahead Statistics:\n"); return;
    case 1: PrintPercent("Read-Ahead Hit Rate   : ", pb[0]); return;
    case 2: PrintPercent("Read-Ahead Efficiency : ", pb[1]); return;
    case 3: ConsolePrintf("Avg. Command Interval: %d\n", pb[2]); return;
    case 4: ConsolePrintf("Max. Command Interval: %d\n", pb[3]); return;
    default: break;
    }
    if (wRow <= 12) {
        if (pb[wRow - 1] == 0) return;
        ConsolePrintf("Command Interval %d   : ", wRow - 4);
        PrintPercent("", pb[wRow - 1]);
        return;
    }
    if (bGetCacheSetting207() == TRUE && ShowsOwnCounters()) PrintReadCacheCounters();
    p.wIndex = p.wSubIndex = 0;
    Next(ST_CLUSTER);
}

void ClusterRow() {
    DUMP_POSITION& p = Pos();
    const uint8_t* pb = Record().abWriteCluster;
    const uint16_t wRow = p.wIndex++;
    switch (wRow) {
    case 0: ConsolePrintf("\n\n\n\nCommand Cluster Statistics:\n"); return;
    case 1: PrintPercent("Write Cluster Rate   : ", pb[0]); return;
    case 2: PrintPercent("Partial Cluster Rate : ", pb[1]); return;
    case 3: PrintPercent("RAID 5 FS Write Rate : ", pb[2]); return;
    case 4: ConsolePrintf("Avg. Cluster Interval: %d\n", pb[3]); return;
    case 5:
        if (pb[4] == 255) {
            ConsolePrintf("Max. Cluster Interval: >256\n");
        } else {
            ConsolePrintf("Max. Cluster Interval: %d\n", pb[4]);
        }
        return;
    case 14: PrintPercent("Cluster Interval > 8 : ", pb[13]); return;
    case 15: ConsolePrintf("Avg. Cluster Count   : %d\n", pb[14]); return;
    case 16:
        if (pb[15] == 255) {
            ConsolePrintf("Max. Cluster Count   : > 256\n");
        } else {
            ConsolePrintf("Max. Cluster Count   : %d\n", pb[15]);
        }
        return;
    case 32: PrintPercent("Cluster Count > 16   : ", pb[31]); return;
    default: break;
    }
    if (wRow >= 6 && wRow <= 13) {
        if (pb[wRow - 1] == 0) return;
        ConsolePrintf("Cluster Interval %d   : ", wRow - 5);
        PrintPercent("", pb[wRow - 1]);
        return;
    }
    if (wRow >= 17 && wRow <= 31) {
        if (pb[wRow - 1] == 0) return;
        ConsolePrintf("Cluster Count %02d     : ", wRow - 15);
        PrintPercent("", pb[wRow - 1]);
        return;
    }
    if (bGetCacheSetting209() == TRUE && ShowsOwnCounters()) PrintWriteCollapseCounters();
    p.wIndex = p.wSubIndex = 0;
    Next(ST_MISCELLANEOUS);
}

void MiscellaneousRow() {
    DUMP_POSITION& p = Pos();
    const uint16_t wRow = p.wIndex++;
    if (wRow == 0) {
        ConsolePrintf("\n\nMiscellaneous Statistics:\n");
        return;
    }
    // Rows 1..19 hold the counters but the reserved one.
    const uint16_t wCounter = wRow <= 14 ? wRow - 1 : wRow;
    if (wRow <= EVENT_COUNTERS - 1) {
        const uint32_t d = Record().adEventCounters[wCounter];
        if (d != 0 && EVENT_LABELS[wCounter] != nullptr) {
            ConsolePrintText(EVENT_LABELS[wCounter]);
            PrintNumberWithSeparators(d, TRUE);
            ConsolePrintf("\n");
        }
        if (wRow < EVENT_COUNTERS - 1) return;
    }
    p.wIndex = p.wSubIndex = 0;
    // The latency rows only from an extended record, not in a capture or
    // for the partner's part of a dump.
    const bool fNoLatency = bGetPrintOutputMode() == PRINT_OUTPUT_CAPTURE || fGetPartnerDumpFlag() == TRUE ||
                            !Extended();
    Next(fNoLatency ? ST_END : ST_LATENCY);
    SetPartnerDumpFlag(FALSE);
}

void LatencyRow() {
    DUMP_POSITION& p = Pos();
    if (!Extended()) {
        Next(ST_END);
        return;
    }
    if (p.wIndex >= STATISTICS_LUNS) {
        p.wIndex = p.wSubIndex = 0;
        Next(ST_END);
        return;
    }
    const uint8_t* pbTable = static_cast<const uint8_t*>(pBufferHandleToPointer(dGetInfoDumpStatsBuffer())) +
                             sizeof(STATISTICS_RECORD);
    PrintTqmLunLatency(p.wIndex++, pbTable);
}

void Finish() {
    const BUFFER_HANDLE dHandle = dGetInfoDumpStatsBuffer();
    if (dHandle != NULL_BUFFER_HANDLE) (void)wFreeDataPages(dHandle, s_dPages);
    SetInfoDumpStatsBuffer(NULL_BUFFER_HANDLE);
    s_wAllocRetries = 0;
    SetInfoDumpRequest(FALSE);
    SetInfoDumpType(0);
    SetInfoDumpState(0);
    ConsolePrintf("\nEnd Of Statistics\n\n");
    const uint8_t bMode = bGetInfoDumpMode();
    SetInfoDumpMode(0);
    if (bMode == DUMP_MODE_MENU) OnStatisticsShown();
}

}  // namespace

void ShowStatistics(uint8_t bType, uint8_t bPort, uint16_t wLd) {
    const uint8_t bState = bGetInfoDumpState();
    const bool fSlot1 = fIsControllerSlot1() == TRUE;
    if (bState == ST_OWN) {
        if (!TakeOwnRecord(bPort, wLd)) return;
        PrintTitle(bType, bPort, wLd, fSlot1 ? "0" : "1", false);
        s_bControllerNumber = bGetControllerNumber();
        Next(ST_TIMES);
        return;
    }
    if (bState == ST_PARTNER) {
        if (dGetInfoDumpStatsBuffer() == NULL_BUFFER_HANDLE) {
            // Handed no record: nothing to show.
            Finish();
            return;
        }
        // The partner's record came in the extended size.
        s_dPages = EXTENDED_PAGES;
        PrintTitle(bType, bPort, wLd, fSlot1 ? "1" : "0", !fSlot1);
        s_bControllerNumber = bGetPartnerControllerNumber();
        Next(ST_TIMES);
        return;
    }
    if (bState == ST_TIMES) {
        Times(bType);
        return;
    }
    if (bState == Pos().wEndState) {
        Finish();
        return;
    }
    switch (bState) {
    case ST_ACCESS: AccessRow(bType); break;
    case ST_READ_AHEAD: ReadAheadRow(); break;
    case ST_CLUSTER: ClusterRow(); break;
    case ST_MISCELLANEOUS: MiscellaneousRow(); break;
    case ST_LATENCY: LatencyRow(); break;
    default: Finish(); break;
    }
}

}  // namespace fw
