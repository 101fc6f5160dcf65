// The drive and host command time logs, and the command trace lines.
#include "eventlog/time_logs.h"

#include <cstring>

#include "cache/cache_entry.h"
#include "cache/cache.h"
#include "console/console_menu.h"
#include "enclosure/drive_table.h"
#include "eventlog/statistics.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/date_time.h"
#include "executive/kernel_entry.h"
#include "executive/port_codes.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "fc/ql_chip.h"
#include "hw/fc_target_iocb.h"
#include "hw/scsi.h"
#include "target/command_access.h"
#include "target/host_command_codes.h"
#include "target/target_queue_management.h"

namespace fw {

namespace {

constexpr uint32_t NO_SAMPLE = 0xFFFFFFFF;
constexpr uint32_t DRIVE_SLOTS = 256;
constexpr uint32_t HOST_SIDES = 2;
constexpr uint8_t ENCLOSURES = 16;
constexpr uint8_t SLOTS_PER_ENCLOSURE = 32;
// Kinds of a drive command, and of a host command.
enum : uint32_t { KIND_READ, KIND_WRITE, KIND_OTHER, KINDS };
enum : uint32_t { HOST_READ, HOST_WRITE, HOST_CACHED_WRITE };
constexpr uint8_t DIAGNOSTICS_LEVEL_DATA = 4;
constexpr uint32_t TRACE_BYTES_PER_BLOCK = 16;

struct TIME_SAMPLES {
    uint64_t lSum;
    uint64_t lCount;
    uint32_t dMax;   // NO_SAMPLE: none taken yet
};

TIME_SAMPLES s_aasDrive[DRIVE_SLOTS][KINDS];
TIME_SAMPLES s_aasHostSide[HOST_SIDES][KINDS];
TIME_SAMPLES s_aaasHostLun[HOST_SIDES][STATISTICS_LUNS][KINDS];

void ClearSamples(TIME_SAMPLES* ps, uint32_t dCount) {
    for (uint32_t i = 0; i < dCount; ++i) ps[i] = TIME_SAMPLES{0, 0, NO_SAMPLE};
}

void AddSample(TIME_SAMPLES* ps, uint64_t lElapsed) {
    const uint32_t dTime = static_cast<uint32_t>(lElapsed);
    ps->lSum += dTime;
    ++ps->lCount;
    // An interval too long for 32 bits always takes the maximum.
    if (ps->dMax == NO_SAMPLE || lElapsed > NO_SAMPLE || dTime > ps->dMax) ps->dMax = dTime;
}

uint8_t bHostOpcode(const KERNEL_ENTRY* psEntry) {
    const uint8_t* pbCdb = pGetCommandCdb(psEntry);
    return pbCdb != nullptr ? pbCdb[0] : 0;
}

uint64_t lElapsedSince(const KERNEL_ENTRY* psEntry) { return lGetTickCount() - psEntry->lArrivalMs; }

uint32_t dAverage(const TIME_SAMPLES& s) { return static_cast<uint32_t>(s.lSum / s.lCount); }

void PrintSeconds(const char* pszFormat, uint32_t dMs) { ConsolePrintf(pszFormat, dMs / 1000, dMs % 1000); }

// Host command sides: port 0's codes and port 1's; -1 for the others.
int iHostSide(uint8_t bPortCode) {
    switch (bPortCode) {
    case PORT_CODE_FC_HOST_1:
    case PORT_CODE_FC_TABLE_1:
    case PORT_CODE_SAS_HOST_1:
    case PORT_CODE_MODULE: return 0;
    case PORT_CODE_FC_HOST_2:
    case PORT_CODE_FC_TABLE_2:
    case PORT_CODE_SAS_HOST_2: return 1;
    default: return -1;
    }
}

void PrintDriveSlot(uint8_t bEnclosure, uint8_t bSlot, const TIME_SAMPLES* ps) {
    ConsolePrintf("Encl:%02d Slot:%02d: ", bEnclosure, bSlot);
    uint64_t lSum = 0;
    uint64_t lCount = 0;
    for (uint32_t k = 0; k < KINDS; ++k) {
        if (ps[k].dMax == NO_SAMPLE) {
            ConsolePrintf("               ");
        } else {
            PrintSeconds("%02d.%03ds ", ps[k].dMax);
            if (ps[k].lCount == 0) {
                ConsolePrintf("       ");
            } else {
                PrintSeconds("%02d.%03ds", dAverage(ps[k]));
            }
        }
        if (k < KIND_OTHER) ConsolePrintf("   ");
        lSum += ps[k].lSum;
        lCount += ps[k].lCount;
    }
    if (lCount != 0) PrintSeconds("   %02d.%03ds", static_cast<uint32_t>(lSum / lCount));
    ConsolePrintf("\n");
}

void PrintHostSide(uint32_t dSide) {
    static const char* const apszLabel[KINDS] = {"Port %d Read        : Max: %03d.%03ds",
                                                 "Port %d Write       : Max: %03d.%03ds",
                                                 "Port %d Cached Write: Max: %03d.%03ds"};
    ConsolePrintf("\n");
    for (uint32_t k = 0; k < KINDS; ++k) {
        const TIME_SAMPLES& s = s_aasHostSide[dSide][k];
        if (s.dMax == NO_SAMPLE) continue;
        ConsolePrintf(apszLabel[k], dSide, s.dMax / 1000, s.dMax % 1000);
        if (s.lCount != 0) {
            const uint32_t dAvg = dAverage(s);
            ConsolePrintf(" Avg: %02d.%03ds, Cmds: 0x%X%08X", dAvg / 1000, dAvg % 1000,
                          static_cast<uint32_t>(s.lCount >> 32), static_cast<uint32_t>(s.lCount));
        }
        ConsolePrintf("\n");
    }
}

// One column of a LUN's row: its maximum and average, or the blanks of an
// empty column.
void PrintHostLunColumn(const char* pszMax, const TIME_SAMPLES& s, const char* pszBlank) {
    if (s.dMax == NO_SAMPLE) {
        ConsolePrintText(pszBlank);
        return;
    }
    PrintSeconds(pszMax, s.dMax);
    if (s.lCount == 0) {
        ConsolePrintf("        ");
    } else {
        PrintSeconds(" %02d.%03ds", dAverage(s));
    }
}

void PrintHostLun(uint32_t dSide, uint16_t wLun) {
    const TIME_SAMPLES* ps = s_aaasHostLun[dSide][wLun];
    if (ps[HOST_READ].dMax == NO_SAMPLE && ps[HOST_WRITE].dMax == NO_SAMPLE && ps[HOST_CACHED_WRITE].dMax == NO_SAMPLE) {
        return;
    }
    ConsolePrintf("P%d L%03d ", dSide, wLun);
    PrintHostLunColumn("Read:%03d.%03ds", ps[HOST_READ], "                     ");
    ConsolePrintf("   ");
    PrintHostLunColumn("Write:%03d.%03ds", ps[HOST_WRITE], "                      ");
    ConsolePrintf("   ");
    if (ps[HOST_CACHED_WRITE].dMax != NO_SAMPLE) PrintHostLunColumn("Cached:%03d.%03ds", ps[HOST_CACHED_WRITE], "");
    ConsolePrintf("\n");
}

// ---- trace lines ----

const char* pszController() { return fIsControllerSlot1() == TRUE ? "0" : "1"; }

bool IsHostPortCode(uint8_t b) {
    switch (b) {
    case PORT_CODE_FC_HOST_1:
    case PORT_CODE_FC_HOST_2:
    case PORT_CODE_HOST_VARIANT_1:
    case PORT_CODE_HOST_VARIANT_2:
    case PORT_CODE_FC_TABLE_1:
    case PORT_CODE_FC_TABLE_2:
    case PORT_CODE_SAS_HOST_1:
    case PORT_CODE_SAS_HOST_2:
    case PORT_CODE_INTERNAL:
    case PORT_CODE_MODULE: return true;
    default: return false;
    }
}

void PrintPortTag(uint8_t bPortCode) {
    switch (bPortCode) {
    case PORT_CODE_FC_HOST_1: ConsolePrintf("T%s ", "0"); break;
    case PORT_CODE_FC_HOST_2: ConsolePrintf("T%s ", "1"); break;
    case PORT_CODE_HOST_VARIANT_1: ConsolePrintf("E%s ", "1"); break;
    case PORT_CODE_HOST_VARIANT_2: ConsolePrintf("E%s ", "2"); break;
    case PORT_CODE_FC_TABLE_1: ConsolePrintf("S%s ", "0"); break;
    case PORT_CODE_FC_TABLE_2: ConsolePrintf("S%s ", "1"); break;
    case PORT_CODE_SAS_HOST_1: ConsolePrintf("A%s ", "0"); break;
    case PORT_CODE_SAS_HOST_2: ConsolePrintf("A%s ", "1"); break;
    case PORT_CODE_INTERNAL: ConsolePrintf("N%s ", "0"); break;
    case PORT_CODE_MODULE: ConsolePrintf("P%s ", "0"); break;
    default: break;
    }
}

bool IsTenByteDataOpcode(uint8_t b) {
    return b == SCSI_READ10 || b == SCSI_WRITE10 || b == SCSI_WRITE_AND_VERIFY10 || b == SCSI_VERIFY10;
}
bool IsSixteenByteDataOpcode(uint8_t b) {
    return b == SCSI_READ16 || b == SCSI_WRITE16 || b == SCSI_WRITE_AND_VERIFY16 || b == SCSI_VERIFY16;
}

// The command block bytes the trace reads: the converted head, where the
// port's chip layout keeps the queue tag and the exchange identifiers.
const uint8_t* pbHead(const KERNEL_ENTRY* psEntry) { return reinterpret_cast<const uint8_t*>(psEntry); }

void PrintCdbShort(const uint8_t* c) {
    if (IsTenByteDataOpcode(c[0])) {
        ConsolePrintf("%02x %02x %02x%02x%02x%02x %02x %02x%02x %02x", c[0], c[1], c[2], c[3], c[4], c[5], c[6],
                      c[7], c[8], c[9]);
    } else if (IsSixteenByteDataOpcode(c[0])) {
        ConsolePrintf("%02x %02x %02x%02x%02x%02x%02x%02x%02x %02x%02x", c[0], c[1], c[3], c[4], c[5], c[6], c[7],
                      c[8], c[9], c[12], c[13]);
    } else {
        ConsolePrintf("%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x ", c[0], c[1], c[2], c[3], c[4], c[5], c[6],
                      c[7], c[8], c[9], c[10], c[11]);
    }
}

// The CDB of a new command: whole, in the widths of its length.
void PrintCdbWhole(const uint8_t* c, const char* pszPrefix) {
    ConsolePrintText(pszPrefix);
    if (IsTenByteDataOpcode(c[0])) {
        ConsolePrintf("%02x %02x %02x%02x%02x%02x %02x %02x%02x %02x\n", c[0], c[1], c[2], c[3], c[4], c[5], c[6],
                      c[7], c[8], c[9]);
    } else if (IsSixteenByteDataOpcode(c[0])) {
        ConsolePrintf("%02x%02x %02x%02x%02x%02x %02x%02x%02x%02x %02x%02x%02x%02x %02x%02x\n", c[0], c[1], c[2],
                      c[3], c[4], c[5], c[6], c[7], c[8], c[9], c[10], c[11], c[12], c[13], c[14], c[15]);
    } else {
        ConsolePrintf("%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x\n", c[0], c[1], c[2], c[3], c[4], c[5], c[6],
                      c[7], c[8], c[9], c[10], c[11]);
    }
}

void PrintDataBlocks(const KERNEL_ENTRY* psEntry) {
    const uint8_t bOpcode = bHostOpcode(psEntry);
    if (bOpcode != SCSI_READ16 && bOpcode != SCSI_WRITE16) return;
    if (psEntry->dBufferHandle == NULL_BUFFER_HANDLE) return;
    const uint8_t* pb = static_cast<const uint8_t*>(pBufferHandleToPointer(psEntry->dBufferHandle));
    for (uint32_t i = 0; i < psEntry->wBlocks; ++i) {
        const uint8_t* p = pb + i * 512;
        ConsolePrintf("%04x: ", i);
        for (uint32_t b = 0; b < TRACE_BYTES_PER_BLOCK; ++b) {
            ConsolePrintf(b + 1 < TRACE_BYTES_PER_BLOCK ? "%02x " : "%02x\n", p[b]);
        }
    }
}

void PrintNewHostCommand(const KERNEL_ENTRY* psEntry) {
    const uint8_t bPort = psEntry->bPortCode;
    PrintElapsedMs(psEntry->lArrivalMs);
    ConsolePrintf("C%s", pszController());
    PrintPortTag(bPort);
    ConsolePrintf("Q:%03x ", psEntry->wIndex);
    static const uint8_t s_abNoCdb[16] = {};
    const uint8_t* c = pGetCommandCdb(psEntry) != nullptr ? pGetCommandCdb(psEntry) : s_abNoCdb;
    if (bPort == PORT_CODE_FC_HOST_1 || bPort == PORT_CODE_FC_HOST_2) {
        if (fIsQL24xx() == TRUE && psEntry->fValid != TRUE) {
            // Before dispatch the received frame is still at hand.
            const ATIO7_ENTRY* ps = reinterpret_cast<const ATIO7_ENTRY*>(psEntry->abHeadExtension);
            ConsolePrintf("O:%02x%02x ", ps->abOxId[0], ps->abOxId[1]);
            ConsolePrintf("R:%02x%02x ", ps->abRxId[0], ps->abRxId[1]);
            ConsolePrintf("I:NA ");
            ConsolePrintf("L:%03d ", (ps->abFcpLun[0] << 8) | ps->abFcpLun[1]);
            ConsolePrintf("K%01x ", ps->bTaskAttribute & FCP_TASK_ATTRIBUTE_MASK);
        } else {
            const ATIO2_ENTRY* ps = reinterpret_cast<const ATIO2_ENTRY*>(psEntry);
            ConsolePrintf("O:%04x ", ps->wOxId);
            ConsolePrintf("R:%04x ", ps->wRxId);
            ConsolePrintf("I:%02x ", ps->wInitiator);
            ConsolePrintf("L:%03d ", wGetCommandLun(psEntry));
            ConsolePrintf("K%01x ", ps->bTaskAttribute);
        }
        PrintCdbWhole(c, "");
        return;
    }
    ConsolePrintf("C:%03x ", psEntry->wIndex);
    ConsolePrintf("%04x ", static_cast<uint16_t>(psEntry->dHandle));
    ConsolePrintf("ID%02x LUN%03x ", wGetCommandInitiator(psEntry), wGetCommandLun(psEntry));
    PrintCdbWhole(c, "CDB:");
}

void PrintNewDriveCommand(const KERNEL_ENTRY* psEntry) {
    const uint8_t bPort = psEntry->bPortCode;
    ConsolePrintf("C%s", pszController());
    if (bPort == PORT_CODE_DRIVE_LOOP_3) {
        ConsolePrintf("I%s ", "0");
    } else if (bPort == PORT_CODE_DRIVE_LOOP_4) {
        ConsolePrintf("I%s ", "1");
    } else if (bPort < 16) {
        ConsolePrintf("I%01x ", bPort);
    }
    ConsolePrintf("Q:%03x ", psEntry->wIndex);
    if (bPort == PORT_CODE_INITIATOR) {
        ConsolePrintf("ID:%02x ", psEntry->wDeviceHandle);
    } else {
        ConsolePrintf("ID:%03d ", psEntry->wTargetId);
    }
    ConsolePrintf("R:%02d:%02d ", psEntry->bRank, psEntry->bMember);
    ConsolePrintf("CT:%02x ", psEntry->bCommandType);
    const uint8_t* c = psEntry->abCdb;
    if (IsTenByteDataOpcode(c[0]) || IsSixteenByteDataOpcode(c[0])) {
        ConsolePrintf("CDB:%02x %02x%02x%02x%02x %02x%02x ", c[0], c[2], c[3], c[4], c[5], c[7], c[8]);
        ConsolePrintf("M:%08x:%08x\n", psEntry->asSegment[0].dAddress, psEntry->asSegment[0].dByteCount);
    } else {
        ConsolePrintf("CDB:%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x\n", c[0], c[1], c[2], c[3], c[4], c[5], c[6],
                      c[7], c[8], c[9]);
    }
}

}  // namespace

// ---- recording ----

void RecordDriveCommandTime(const KERNEL_ENTRY* psRequest) {
    if (!COLLECT_COMMAND_STATISTICS) return;
    if (psRequest->wTargetId >= DRIVE_SLOTS) return;
    const uint8_t bOpcode = psRequest->abCdb[0];
    const uint32_t dKind = bOpcode == SCSI_READ10 ? KIND_READ : bOpcode == SCSI_WRITE10 ? KIND_WRITE : KIND_OTHER;
    AddSample(&s_aasDrive[psRequest->wTargetId][dKind], lElapsedSince(psRequest));
}

void RecordHostCommandTime(KERNEL_ENTRY* psEntry) {
    const int iSide = iHostSide(psEntry->bPortCode);
    const uint16_t wLun = psEntry->wLunIndex;
    if (iSide < 0 || wLun >= STATISTICS_LUNS) return;
    const uint8_t bOpcode = bHostOpcode(psEntry);
    uint32_t dKind = HOST_READ;
    if (bOpcode == SCSI_WRITE16) {
        dKind = HasFlag(psEntry, KE_FLAG_CACHE_COUNTED) ? HOST_CACHED_WRITE : HOST_WRITE;
    } else if (bOpcode != SCSI_READ16) {
        return;
    }
    if (COLLECT_COMMAND_STATISTICS) {
        const uint64_t lElapsed = lElapsedSince(psEntry);
        AddSample(&s_aasHostSide[iSide][dKind], lElapsed);
        AddSample(&s_aaasHostLun[iSide][wLun][dKind], lElapsed);
    }
    if (fGetTqmStatisticsEnabled() == TRUE) UpdateRankMaxLatency(psEntry);
}

void ClearDriveCommandTimeLog() { ClearSamples(&s_aasDrive[0][0], DRIVE_SLOTS * KINDS); }

void ClearHostCommandTimeLog() {
    ClearSamples(&s_aasHostSide[0][0], HOST_SIDES * KINDS);
    ClearSamples(&s_aaasHostLun[0][0][0], HOST_SIDES * STATISTICS_LUNS * KINDS);
}

// ---- printouts ----

void PrintDriveCommandTimeLog() {
    ConsolePrintf("\nDrive Command Time Log:\n");
    ConsolePrintf("Identifier       Rd. Max Rd. Avg   Wr. Max Wr. Avg   Mc. Max Mc. Avg   Tot Avg\n");
    for (uint32_t i = 0; i < 78; ++i) ConsolePrintf("_");
    ConsolePrintf("\n");
    for (uint8_t e = 1; e <= ENCLOSURES; ++e) {
        for (uint8_t s = 1; s <= SLOTS_PER_ENCLOSURE; ++s) {
            DRIVE_INFO* psDrive = nullptr;
            if (fFindDriveByEnclosureSlot(e, s, &psDrive) != TRUE || psDrive == nullptr) continue;
            const TIME_SAMPLES* ps = s_aasDrive[psDrive->bLoopID1];
            if (ps[KIND_READ].dMax == NO_SAMPLE && ps[KIND_WRITE].dMax == NO_SAMPLE && ps[KIND_OTHER].dMax == NO_SAMPLE) {
                continue;
            }
            PrintDriveSlot(e, s, ps);
        }
    }
    ConsolePrintf("\n");
    ClearDriveCommandTimeLog();
}

void PrintHostCommandTimeLog() {
    ConsolePrintf("\nHost Command Time Log:");
    for (uint32_t dSide = 0; dSide < HOST_SIDES; ++dSide) {
        PrintHostSide(dSide);
        for (uint16_t l = 0; l < STATISTICS_LUNS; ++l) PrintHostLun(dSide, l);
    }
    ConsolePrintf("\n");
    ClearHostCommandTimeLog();
}

void PrintCommandTraceLine(const KERNEL_ENTRY* psEntry) {
    PrintElapsedMs(psEntry->lArrivalMs);
    ConsolePrintf("C%s", pszController());
    const uint8_t bSlot = psCacheFields(psEntry)->bReadAheadSlot;
    if (psEntry->bCommandType == CT_READ_AHEAD_PREFETCH) {
        ConsolePrintf(" Streaming Readahead From Buffer %02x             ", bSlot);
    } else {
        const uint8_t bPort = psEntry->bPortCode;
        PrintPortTag(bPort);
        ConsolePrintf("Q:%03x ", psEntry->wIndex);
        ConsolePrintf("I:%02x L:%03d ", wGetCommandInitiator(psEntry), wGetCommandLun(psEntry));
        const uint8_t* pb = pbHead(psEntry);
        switch (bPort) {
        case PORT_CODE_FC_HOST_1:
        case PORT_CODE_FC_HOST_2:
        case PORT_CODE_FC_TABLE_1:
        case PORT_CODE_FC_TABLE_2:
        case PORT_CODE_SAS_HOST_1:
        case PORT_CODE_SAS_HOST_2: ConsolePrintf("K%01x ", pb[17]); break;
        case PORT_CODE_HOST_VARIANT_1:
        case PORT_CODE_HOST_VARIANT_2:
        case PORT_CODE_INTERNAL:
        case PORT_CODE_MODULE: ConsolePrintf("K%02x ", pb[40]); break;
        default: break;
        }
        if (const uint8_t* pbCdb = pGetCommandCdb(psEntry)) PrintCdbShort(pbCdb);
    }
    PrintSeconds(" %02d.%03ds ", static_cast<uint32_t>(lElapsedSince(psEntry)));
    switch (psEntry->bCommandType) {
    case CT_READ_AHEAD_PREFETCH:
    case CT_READ_FILL: ConsolePrintf("RA:%02x\n", bSlot); break;
    case CT_READ_AHEAD_HIT: ConsolePrintf(HasFlag(psEntry, KE_FLAG_READ_AHEAD_HIT) ? "RC:%02x\n" : "RW:%02x\n", bSlot); break;
    default:
        if (HasFlag(psEntry, KE_FLAG_WRITE_BACK)) {
            ConsolePrintf("WB\n");
        } else if (bHostOpcode(psEntry) == SCSI_WRITE16) {
            ConsolePrintf("WT\n");
        } else {
            ConsolePrintf("\n");
        }
        break;
    }
    if (bGetDiagnosticsModeLevel() == DIAGNOSTICS_LEVEL_DATA) PrintDataBlocks(psEntry);
}

void PrintNewCommandTraceLine(const KERNEL_ENTRY* psEntry) {
    if (IsHostPortCode(psEntry->bPortCode)) {
        PrintNewHostCommand(psEntry);
    } else {
        PrintNewDriveCommand(psEntry);
    }
}

}  // namespace fw
