// Target queue management: the settings, the per-array limits, the
// admission test with its history, the status delay, the statistics table
// and the console printouts.
#include "target/target_queue_management.h"

#include <cstring>

#include "cache/cache.h"
#include "cache/write_sort.h"
#include "config/config_image.h"
#include "eventlog/statistics.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "hw/scsi.h"
#include "sas/sas_drive.h"
#include "sas/sas_flags.h"
#include "target/command_access.h"
#include "target/host_command_codes.h"

namespace fw {

namespace {

constexpr uint8_t TQM_RANKS = 64;
constexpr uint32_t MS_PER_SECOND = 1000;
// The shortest period an adjustment looks back over.
constexpr uint32_t MIN_ADJUST_PERIOD_MS = 1000;
// An array that had nothing to do lately takes a command over its limit.
constexpr uint64_t RECENT_ACCESS_MS = 3000;
// At or below this many commands an array is not loaded at all.
constexpr uint32_t IDLE_OUTSTANDING = 4;
constexpr uint32_t STATISTICS_PAGES = (sizeof(TQM_STATISTICS) + BUFFER_PAGE_SIZE - 1) / BUFFER_PAGE_SIZE;

struct TQM_RANK_STATE {
    uint64_t lNextAdjustment;    // ms tick
    uint32_t dLimit;
    uint32_t dWorstLatency;      // ms, since the last adjustment
    uint16_t wDeepestQueue;      // since the last adjustment
    uint8_t fLimited;            // a command met the limit since the last adjustment
};

struct TQM_STATE {
    uint8_t fEnabled;
    uint8_t bResponseType;       // 0xF0 while off
    uint32_t dResponseTime;      // ms
    uint32_t dNoAcceptTime;      // ms, 0 off
    uint32_t dMaxReject;         // 0 off
    uint32_t dMinLinksPerHost;
    uint32_t dMaxLinks;          // 0 off
    uint32_t dStatusDelay;       // ms, 0 off
    BUFFER_HANDLE dTable;
    TQM_STATISTICS* psTable;
    TQM_RANK_STATE asRank[TQM_RANKS];
};

TQM_STATE s_sTqm;

bool IsOn(uint8_t bResponseType) {
    return bResponseType == TQM_RESPONSE_BUSY || bResponseType == TQM_RESPONSE_TASK_SET_FULL ||
           bResponseType == TQM_RESPONSE_BY_HOST;
}

bool IsReadOrWrite(const KERNEL_ENTRY* psEntry, bool* pfWrite) {
    const uint8_t* pbCdb = pGetCommandCdb(psEntry);
    if (pbCdb == nullptr || (pbCdb[0] != SCSI_READ16 && pbCdb[0] != SCSI_WRITE16)) return false;
    *pfWrite = pbCdb[0] == SCSI_WRITE16;
    return true;
}

void DecNotBelowZero(uint16_t* pw) {
    if (*pw != 0) --*pw;
}

// The records of the command's host and LUN; null when there is no table,
// or the host or LUN number has no record (an ISP24xx handle may run to
// 0x7EF): such a command meets only the array's limit.
TQM_HOST_RECORD* psHostOf(const KERNEL_ENTRY* psEntry) {
    const uint16_t wHost = wGetCommandInitiator(psEntry);
    if (s_sTqm.psTable == nullptr || wHost >= TQM_HOSTS || psEntry->wLunIndex >= TQM_LUNS) return nullptr;
    return &s_sTqm.psTable->asHost[wHost];
}

void ResetRanks() {
    for (TQM_RANK_STATE& s : s_sTqm.asRank) s = TQM_RANK_STATE{0, TQM_START_LIMIT, 0, 0, FALSE};
}

void GiveTableBack() {
    if (s_sTqm.psTable != nullptr) (void)wFreeDataPages(s_sTqm.dTable, STATISTICS_PAGES);
    s_sTqm.psTable = nullptr;
    s_sTqm.dTable = NULL_BUFFER_HANDLE;
}

bool TakeTable() {
    BUFFER_HANDLE dHandle = NULL_BUFFER_HANDLE;
    if (bAllocDataPages(0, STATISTICS_PAGES, &dHandle) != STATUS_OK) return false;
    s_sTqm.dTable = dHandle;
    s_sTqm.psTable = static_cast<TQM_STATISTICS*>(pBufferHandleToPointer(dHandle));
    std::memset(s_sTqm.psTable, 0, sizeof(TQM_STATISTICS));
    return true;
}

// Once a period the array's limit follows its worst latency L against the
// response time T: a limit met under a latency above T shrinks, one that
// kept up grows, and an array that was never limited comes down to what it
// really held plus a margin.
void AdjustRankLimit(uint8_t bRank, uint32_t dOutstanding) {
    TQM_RANK_STATE& s = s_sTqm.asRank[bRank];
    if (dOutstanding > s.wDeepestQueue) s.wDeepestQueue = static_cast<uint16_t>(dOutstanding > 0xFFFF ? 0xFFFF : dOutstanding);
    const uint64_t lNow = lGetTickCount();
    if (lNow < s.lNextAdjustment) return;
    const uint32_t L = s.dWorstLatency > MIN_ADJUST_PERIOD_MS ? s.dWorstLatency : MIN_ADJUST_PERIOD_MS;
    s.dWorstLatency = 0;
    s.lNextAdjustment = lNow + L + MIN_ADJUST_PERIOD_MS;
    if (dOutstanding <= IDLE_OUTSTANDING) {
        s.dLimit = TQM_START_LIMIT;
        return;
    }
    const uint64_t T = s_sTqm.dResponseTime;
    uint64_t lFactor = L > T ? (T + (L - T) / 2) * 100 / L : (T - (T - L) / 2) * 100 / L;
    const uint32_t dDeepest = s.wDeepestQueue;
    s.wDeepestQueue = 0;
    uint64_t lLimit = s.dLimit;
    if (L <= T && s.fLimited != TRUE && dDeepest < s.dLimit) {
        lLimit = dDeepest + 5;
        lFactor = 100;
    }
    lLimit = lLimit * lFactor / 100;
    s.fLimited = FALSE;
    s.dLimit = static_cast<uint32_t>(lLimit < TQM_MIN_LIMIT ? TQM_MIN_LIMIT : lLimit > TQM_MAX_LIMIT ? TQM_MAX_LIMIT : lLimit);
}

bool IsSasSideHolding() {
    return fGetSASTimedHoldFlag() == TRUE || fIsSASFailbackInProgress() == TRUE ||
           fIsSASOCFailbackInProgress() == TRUE || fIsSASIOCRestartInProgress() == TRUE;
}

// Over its array's limit a command still goes when its LUN has waited too
// long or been refused too often, when its host has few LUNs going while
// the whole controller has few, while the SAS side holds the controller
// back, or when the array has been idle a while.
bool HistoryAdmits(const KERNEL_ENTRY* psEntry, uint8_t bRank) {
    const uint64_t lNow = lGetTickCount();
    if (const TQM_HOST_RECORD* psHost = psHostOf(psEntry)) {
        const TQM_LUN_RECORD& r = psHost->asLun[psEntry->wLunIndex];
        if (s_sTqm.dNoAcceptTime != 0 && lNow - r.lLastAdmission > s_sTqm.dNoAcceptTime) return true;
        if (s_sTqm.dMaxReject != 0 && r.wRefusedInARow > s_sTqm.dMaxReject) return true;
        if (s_sTqm.dMaxLinks != 0 && r.wReads == 0 && r.wWrites == 0 && psHost->wActiveLuns < s_sTqm.dMinLinksPerHost &&
            s_sTqm.psTable->dActivePairs < s_sTqm.dMaxLinks) {
            return true;
        }
    }
    if (IsSasSideHolding()) return true;
    if (dGetRankHostCommandsOutstanding(bRank) == 0) return false;
    return lNow - lGetRankLastAccessTime(bRank) > RECENT_ACCESS_MS;
}

uint8_t bRefusalStatus(const KERNEL_ENTRY* psEntry) {
    switch (s_sTqm.bResponseType) {
    case TQM_RESPONSE_BUSY: return SCSI_STATUS_BUSY;
    case TQM_RESPONSE_TASK_SET_FULL: return SCSI_STATUS_TASK_SET_FULL;
    default: break;
    }
    const TQM_HOST_RECORD* psHost = psHostOf(psEntry);
    if (psHost == nullptr) return SCSI_STATUS_BUSY;
    const TQM_LUN_RECORD& r = psHost->asLun[psEntry->wLunIndex];
    return r.wReads != 0 || r.wWrites != 0 ? SCSI_STATUS_TASK_SET_FULL : SCSI_STATUS_BUSY;
}

void CountAdmitted(KERNEL_ENTRY* psEntry, bool fWrite) {
    SetFlag(psEntry, KE_FLAG_TQM_COUNTED);
    TQM_HOST_RECORD* psHost = psHostOf(psEntry);
    if (psHost == nullptr) return;
    TQM_LUN_RECORD& r = psHost->asLun[psEntry->wLunIndex];
    if (r.wReads == 0 && r.wWrites == 0) {
        psHost->wActiveLuns++;
        s_sTqm.psTable->dActivePairs++;
    }
    if (fWrite) {
        r.wWrites++;
        psHost->wWrites++;
    } else {
        r.wReads++;
        psHost->wReads++;
    }
    r.lAdmitted++;
    r.lLastAdmission = lGetTickCount();
    r.wRefusedInARow = 0;
}

void CountRefused(KERNEL_ENTRY* psEntry) {
    SetFlag(psEntry, KE_FLAG_TQM_REFUSED);
    TQM_HOST_RECORD* psHost = psHostOf(psEntry);
    if (psHost == nullptr) return;
    TQM_LUN_RECORD& r = psHost->asLun[psEntry->wLunIndex];
    if (r.wRefusedInARow != 0xFFFF) r.wRefusedInARow++;
    r.lRefused++;
}

}  // namespace

void InitTqmState() {
    GiveTableBack();
    s_sTqm.fEnabled = FALSE;
    s_sTqm.bResponseType = FALSE;
    s_sTqm.dStatusDelay = 0;
    ResetRanks();
}

void ApplyTqmSettings(const TQM_SETTINGS* psSettings) {
    s_sTqm.dResponseTime = static_cast<uint32_t>(psSettings->bResponseTime) * MS_PER_SECOND;
    s_sTqm.dNoAcceptTime = psSettings->wNoAcceptTime;
    s_sTqm.dMaxReject = psSettings->wMaxReject;
    s_sTqm.dMinLinksPerHost = psSettings->wMinLinksPerHost;
    s_sTqm.dMaxLinks = psSettings->wMaxLinks;
    s_sTqm.dStatusDelay = psSettings->dStatusDelay;
    // Only 0xF1 to 0xF3 turn it on: the stored settings check keeps any
    // other value out, and 0 is a block never set.
    const uint8_t bType = IsOn(psSettings->bResponseType) ? psSettings->bResponseType : FALSE;
    if (bType == FALSE) {
        GiveTableBack();
        s_sTqm.fEnabled = FALSE;
    } else if (s_sTqm.fEnabled != TRUE) {
        ResetRanks();
        if (!TakeTable()) {
            s_sTqm.bResponseType = FALSE;
            s_sTqm.dStatusDelay = 0;
            return;
        }
        s_sTqm.fEnabled = TRUE;
    }
    s_sTqm.bResponseType = bType;
    if (bType == FALSE) s_sTqm.dStatusDelay = 0;
}

uint8_t fGetTqmStatisticsEnabled() { return s_sTqm.fEnabled; }
uint8_t fIsStatusDelaySet() { return ToFlag(s_sTqm.fEnabled == TRUE && s_sTqm.dStatusDelay != 0); }

uint8_t bTqmCheckCommand(KERNEL_ENTRY* psEntry) {
    HOST_COMMAND_FIELDS* psFields = pHostFields(psEntry);
    psFields->bTqmResponse = 0;
    bool fWrite = false;
    if (!IsReadOrWrite(psEntry, &fWrite)) return TQM_ADMIT;
    const uint8_t bRank = psEntry->bRank;
    bool fAdmit = true;
    if (bRank < TQM_RANKS) {
        const uint32_t dOutstanding = dGetRankHostCommandsOutstanding(bRank);
        AdjustRankLimit(bRank, dOutstanding);
        if (dOutstanding >= s_sTqm.asRank[bRank].dLimit) {
            s_sTqm.asRank[bRank].fLimited = TRUE;
            fAdmit = HistoryAdmits(psEntry, bRank);
        }
    }
    if (fAdmit) {
        CountAdmitted(psEntry, fWrite);
        return TQM_ADMIT;
    }
    psFields->bTqmResponse = bRefusalStatus(psEntry);
    CountRefused(psEntry);
    return TQM_REFUSE;
}

uint8_t bTqmStatusDelay(KERNEL_ENTRY* psEntry) {
    if (lGetTickCount() - psEntry->lArrivalMs < s_sTqm.dStatusDelay) return TQM_HOLD_STATUS;
    ClearFlag(psEntry, KE_FLAG_TQM_REFUSED);
    return TQM_REFUSE;
}

uint8_t bGetTqmResponseStatus(const KERNEL_ENTRY* psEntry) {
    const uint8_t bStatus = pHostFields(psEntry)->bTqmResponse;
    return bStatus != 0 ? bStatus : SCSI_STATUS_BUSY;
}

void TqmCommandDone(KERNEL_ENTRY* psEntry) {
    // A command between passes is not done yet.
    if (HasFlag(psEntry, KE_FLAG_MORE_PASSES) && !HasFlag(psEntry, KE_FLAG_ABORTED)) return;
    if (!HasFlag(psEntry, KE_FLAG_TQM_COUNTED)) return;
    ClearFlag(psEntry, KE_FLAG_TQM_COUNTED);
    bool fWrite = false;
    TQM_HOST_RECORD* psHost = psHostOf(psEntry);
    if (s_sTqm.fEnabled != TRUE || psHost == nullptr || !IsReadOrWrite(psEntry, &fWrite)) return;
    TQM_LUN_RECORD& r = psHost->asLun[psEntry->wLunIndex];
    const bool fWasActive = r.wReads != 0 || r.wWrites != 0;
    DecNotBelowZero(fWrite ? &r.wWrites : &r.wReads);
    DecNotBelowZero(fWrite ? &psHost->wWrites : &psHost->wReads);
    if (fWasActive && r.wReads == 0 && r.wWrites == 0) {
        DecNotBelowZero(&psHost->wActiveLuns);
        if (s_sTqm.psTable->dActivePairs != 0) s_sTqm.psTable->dActivePairs--;
    }
}

void UpdateRankMaxLatency(KERNEL_ENTRY* psEntry) {
    bool fWrite = false;
    const uint8_t bRank = psEntry->bRank;
    if (s_sTqm.fEnabled != TRUE || bRank >= TQM_RANKS || !IsReadOrWrite(psEntry, &fWrite)) return;
    // The write sort holds cached writes on purpose: their age says nothing
    // of the array's speed.
    if (fWrite && fIsRankWriteSortActive(bRank) == TRUE) return;
    const uint64_t lNow = lGetTickCount();
    const uint64_t lLatency = lNow > psEntry->lArrivalMs ? lNow - psEntry->lArrivalMs : 0;
    TQM_RANK_STATE& s = s_sTqm.asRank[bRank];
    if (lLatency > s.dWorstLatency) s.dWorstLatency = static_cast<uint32_t>(lLatency > UINT32_MAX ? UINT32_MAX : lLatency);
}

void ClearTqmStatistics() {
    if (s_sTqm.fEnabled == TRUE && s_sTqm.psTable != nullptr) std::memset(s_sTqm.psTable, 0, sizeof(TQM_STATISTICS));
}

void ExportTqmStatistics(uint8_t* pbBuffer) {
    if (pbBuffer == nullptr) return;
    if (s_sTqm.fEnabled == TRUE && s_sTqm.psTable != nullptr) {
        std::memcpy(pbBuffer, s_sTqm.psTable, sizeof(TQM_STATISTICS));
    } else {
        std::memset(pbBuffer, 0, sizeof(TQM_STATISTICS));
    }
}

uint32_t dGetTqmRankLimit(uint8_t bRank) { return bRank < TQM_RANKS ? s_sTqm.asRank[bRank].dLimit : 0; }
uint32_t dGetTqmRankWorstLatency(uint8_t bRank) { return bRank < TQM_RANKS ? s_sTqm.asRank[bRank].dWorstLatency : 0; }
const TQM_STATISTICS* psGetTqmStatistics() { return s_sTqm.fEnabled == TRUE ? s_sTqm.psTable : nullptr; }

// ---- console -------------------------------------------------------------------------

void PrintTqmSettings() {
    ConsolePrintf("\nTarget Queue Management:");
    if (s_sTqm.fEnabled != TRUE) {
        ConsolePrintf("        disabled.\n\n");
        return;
    }
    ConsolePrintf("        enabled.\n");
    ConsolePrintf(" TQM: Response type   %s.\n", s_sTqm.bResponseType == TQM_RESPONSE_BUSY ? "BUSY" : "TSF");
    ConsolePrintf(" TQM: Response Time   %dms\n", static_cast<int>(s_sTqm.dResponseTime));
    ConsolePrintf(" TQM: No Accept Time  %dms\n", static_cast<int>(s_sTqm.dNoAcceptTime));
    ConsolePrintf(" TQM: Max Reject      %d\n", static_cast<int>(s_sTqm.dMaxReject));
    ConsolePrintf(" TQM: Min Links/Host  %d\n", static_cast<int>(s_sTqm.dMinLinksPerHost));
    ConsolePrintf(" TQM: Max Links       %d\n", static_cast<int>(s_sTqm.dMaxLinks));
    ConsolePrintf(" TQM: Status Delay    %dms\n\n", static_cast<int>(s_sTqm.dStatusDelay));
}

namespace {
// One (host, LUN) record: outstanding reads and writes, admitted, refused.
void PrintLunRecord(uint16_t wLun, const TQM_LUN_RECORD& r) {
    ConsolePrintf("L%03x: ", wLun);
    ConsolePrintf("R%04x W%04x ", r.wReads, r.wWrites);
    ConsolePrintf("A%08x%08x ", static_cast<uint32_t>(r.lAdmitted >> 32), static_cast<uint32_t>(r.lAdmitted));
    ConsolePrintf("X%08x%08x ", static_cast<uint32_t>(r.lRefused >> 32), static_cast<uint32_t>(r.lRefused));
}
}  // namespace

void DumpTqmStatistics() {
    ConsolePrintf("\nTarget Queue Management Statistics: \n");
    const TQM_STATISTICS* psTable = psGetTqmStatistics();
    if (psTable == nullptr) return;
    for (uint16_t h = 0; h < TQM_HOSTS; h++) {
        const TQM_HOST_RECORD& sHost = psTable->asHost[h];
        if (sHost.wActiveLuns == 0) continue;
        ConsolePrintf("H%03x: ", h);
        ConsolePrintf("active luns %04x, ", sHost.wActiveLuns);
        for (uint16_t l = 0; l < TQM_LUNS; l++) {
            const TQM_LUN_RECORD& r = sHost.asLun[l];
            if (r.wReads == 0 && r.wWrites == 0) continue;
            PrintLunRecord(l, r);
        }
        ConsolePrintf("\n");
    }
}

// The statistics printout's rows of one LUN, from a copy of the table (the
// one behind an extended statistics record, this controller's or the
// partner's): a line for every host the LUN ever admitted or refused, or
// that has commands on it now.  The copy is a byte image, read as such.
void PrintTqmLunLatency(uint16_t wLun, const uint8_t* pbTable) {
    if (pbTable == nullptr || wLun >= TQM_LUNS) return;
    const auto* psTable = reinterpret_cast<const TQM_STATISTICS*>(pbTable);
    for (uint16_t h = 0; h < TQM_HOSTS; h++) {
        const TQM_LUN_RECORD& r = psTable->asHost[h].asLun[wLun];
        if (r.wReads == 0 && r.wWrites == 0 && r.lAdmitted == 0 && r.lRefused == 0) continue;
        ConsolePrintf("H%03x: ", h);
        PrintLunRecord(wLun, r);
        ConsolePrintf("\n");
    }
}

}  // namespace fw
