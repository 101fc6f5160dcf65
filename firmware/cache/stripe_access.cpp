// The stripe access table, the per-LUN master and OCIO flags, and the
// partner-side check of a stripe access request.
#include "cache/stripe_access.h"

#include <algorithm>
#include <cstring>

#include "cache/cache.h"
#include "cache/cache_entry.h"
#include "cache/nvram_journal.h"
#include "cache/outstanding_queues.h"
#include "cache/read_ahead.h"
#include "cache/write_start.h"
#include "config/ld_table.h"
#include "config/rank_table.h"
#include "eventlog/event_log.h"
#include "executive/console_output.h"
#include "executive/date_time.h"
#include "executive/interrupt_controller.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "fc/fc_driver.h"
#include "hw/scsi.h"
#include "raid/raid_engine.h"
#include "target/command_access.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/stage_rings.h"

namespace fw {

namespace {

constexpr uint8_t NO_RANK = 0xFF;
constexpr uint16_t PARTNER_LUN_MASK = 0x0FFF;
constexpr uint64_t NO_EVENT_TIME = ~0ull;

STRIPE_ACCESS_ENTRY s_asEntry[HOST_ENTRY_COUNT];
uint32_t s_adInUse[(HOST_ENTRY_COUNT + 31) / 32];
uint8_t s_afMaster[LUN_COUNT];
uint16_t s_awRequests[LUN_COUNT];
uint8_t s_afOcio[LUN_COUNT];
uint8_t s_fAlternation;
uint64_t s_alEventTimes[EVENT_RATE_SLOTS];
uint8_t s_bEventIndex;
uint8_t s_fEventWalkRunning;
// The records one partner request conflicts with.
uint16_t s_awConflicts[HOST_ENTRY_COUNT];

void FreeRecord(STRIPE_ACCESS_ENTRY* ps) {
    std::memset(ps, 0, sizeof(*ps));
    ps->fInUse = FALSE;
    ps->fS = FALSE;
    ps->fO = FALSE;
    ps->bRank = NO_RANK;
    ps->bSecondRank = NO_RANK;
    ps->wLun = NO_LUN_INDEX;
}

// Whole rows of the rank, at least one: the bounds come row-aligned from
// the command's address set-up.
void SetRange(uint8_t bRank, uint64_t lStart, uint64_t lEnd, uint64_t* plStart, uint64_t* plEnd, uint32_t* pdCount) {
    const uint32_t dRow = dGetRankRowDataBlocks(bRank);
    if (lEnd <= lStart) lEnd = lStart + (dRow == 0 ? 1 : dRow);
    *plStart = lStart;
    *plEnd = lEnd;
    const uint64_t lRows = dRow == 0 ? 1 : (lEnd - lStart + dRow - 1) / dRow;
    *pdCount = static_cast<uint32_t>(std::clamp<uint64_t>(lRows, 1, UINT32_MAX));
}

// Rows [start, start + count x row) of the rank that holds the start.
void PartnerRange(uint64_t lStart, uint32_t dCount, uint64_t* plStart, uint64_t* plEnd) {
    const uint64_t lRow = std::max<uint32_t>(dGetRankRowDataBlocks(bFindRankForAddress(lStart)), 1);
    *plStart = lStart;
    *plEnd = lStart + std::max<uint32_t>(dCount, 1) * lRow;
}

bool Overlaps(uint64_t lStartA, uint64_t lEndA, uint64_t lStartB, uint64_t lEndB) {
    return lStartA < lEndB && lStartB < lEndA;
}

bool IsRankUnderParityCheck(uint8_t bRank) {
    return bRank != NO_RANK && fIsParityCheckInProgress() == TRUE && bGetParityCheckRank() == bRank;
}

// Pieces of a stream and continuations count through the head they belong
// to: a record whose head is gone or aborted holds nothing.
bool IsRecordLive(const KERNEL_ENTRY* psHost) {
    if (HasFlag(psHost, KE_FLAG_ABORTED)) return false;
    switch (psHost->bCommandType) {
    case COMMAND_TYPE_STREAM_PIECE:
    case COMMAND_TYPE_CLOSING_PIECE:
    case COMMAND_TYPE_CONTINUATION: {
        const KERNEL_ENTRY* psHead = psCacheFields(psHost)->psStreamHead;
        if (psHead == nullptr) psHead = psHost->psMother;
        return psHead != nullptr && psHead->fUsed == TRUE && !HasFlag(psHead, KE_FLAG_ABORTED);
    }
    default: return true;
    }
}

bool ConflictsWith(const STRIPE_ACCESS_ENTRY& r, const uint64_t (&alRange)[2][2], uint8_t bRanges) {
    for (uint8_t i = 0; i < bRanges; i++) {
        if (Overlaps(r.lStart, r.lEnd, alRange[i][0], alRange[i][1])) return true;
        if (r.bSecondRank != NO_RANK && Overlaps(r.lSecondStart, r.lSecondEnd, alRange[i][0], alRange[i][1])) {
            return true;
        }
    }
    return false;
}

// Of the records one request meets, one that won its tie outweighs one
// that yielded: the partner is then refused.
uint8_t bStrongerTie(uint8_t bA, uint8_t bB) {
    if (bA == STRIPE_TIE_WON || bB == STRIPE_TIE_WON) return STRIPE_TIE_WON;
    return bA == STRIPE_TIE_OPEN ? bB : bA;
}

// A new tie: records that won their last tie yield this one, records that
// yielded win it, so that neither side's commands wait behind the other's
// for ever; records without one take turns by the alternation byte.
uint8_t bDecideTie(uint8_t bLast) {
    if (bLast == STRIPE_TIE_WON) return STRIPE_TIE_YIELDED;
    if (bLast == STRIPE_TIE_YIELDED) return STRIPE_TIE_WON;
    s_fAlternation = s_fAlternation == TRUE ? FALSE : TRUE;
    return s_fAlternation == TRUE ? STRIPE_TIE_WON : STRIPE_TIE_YIELDED;
}

void HoldReleaseForPartner(KERNEL_ENTRY* psHost) {
    SetHoldReleaseFlagB(psHost);
    SetHoldReleaseFlagA(psHost);
}

KERNEL_ENTRY* psHostOf(uint16_t wIndex) {
    KERNEL_ENTRY* ps = nullptr;
    wGetTargetEntry(wIndex, &ps);
    return ps;
}

uint32_t dSecondsOf(const DATE_TIME& s) {
    uint32_t dSeconds = 0;
    (void)bDateTimeToSeconds(&s, &dSeconds);
    return dSeconds;
}

}  // namespace

void InitStripeAccessTable() {
    for (STRIPE_ACCESS_ENTRY& s : s_asEntry) FreeRecord(&s);
    std::memset(s_adInUse, 0, sizeof(s_adInUse));
    std::memset(s_afMaster, FALSE, sizeof(s_afMaster));
    std::memset(s_awRequests, 0, sizeof(s_awRequests));
    std::memset(s_afOcio, FALSE, sizeof(s_afOcio));
    s_fAlternation = FALSE;
    for (uint64_t& l : s_alEventTimes) l = NO_EVENT_TIME;
    s_bEventIndex = 0;
    s_fEventWalkRunning = FALSE;
}

uint8_t fClaimStripeAccessEntry(KERNEL_ENTRY* psEntry) {
    const uint16_t wIndex = psEntry->wIndex;
    if (wIndex >= HOST_ENTRY_COUNT) return FALSE;
    SetFlag(psEntry, KE_FLAG_STRIPE_ACCESS);
    s_adInUse[wIndex / 32] |= 1u << (wIndex % 32);
    STRIPE_ACCESS_ENTRY& r = s_asEntry[wIndex];
    r.fInUse = TRUE;
    const uint8_t* pbCdb = pGetCommandCdb(psEntry);
    r.bOpcode = pbCdb == nullptr ? 0 : pbCdb[0];
    r.wLun = psEntry->wLunIndex;
    r.bRank = psEntry->bRank;
    r.bSegment = psEntry->bSegmentIndex;
    SetRange(r.bRank, psEntry->alStripeBound[0], psEntry->alStripeBound[1], &r.lStart, &r.lEnd, &r.dStripeCount);
    if (psCacheFields(psEntry)->wSecondPieceBlocks != 0) {
        r.bSecondRank = psEntry->bSecondRank;
        SetRange(r.bSecondRank, psEntry->alStripeBound[2], psEntry->alStripeBound[3], &r.lSecondStart, &r.lSecondEnd,
                 &r.dSecondStripeCount);
    } else {
        r.bSecondRank = NO_RANK;
        r.lSecondStart = r.lSecondEnd = 0;
        r.dSecondStripeCount = 0;
    }
    const uint16_t wLun = r.wLun;
    if (wLun < LUN_COUNT && wGetSegmentExtentCount(wLun) != 0) return TRUE;
    if (fGetLunOcioFlag(wLun) == TRUE) return TRUE;
    if (IsRankUnderParityCheck(r.bRank) || IsRankUnderParityCheck(r.bSecondRank)) return TRUE;
    return ToFlag(fGetLunMasterFlag(wLun) != TRUE);
}

void ReleaseStripeAccessEntry(uint16_t wIndex) {
    if (wIndex >= HOST_ENTRY_COUNT || s_asEntry[wIndex].fInUse != TRUE) return;
    s_adInUse[wIndex / 32] &= ~(1u << (wIndex % 32));
    FreeRecord(&s_asEntry[wIndex]);
}

void pGetStripeAccessEntry(uint16_t wIndex, STRIPE_ACCESS_ENTRY** ppsEntry) {
    *ppsEntry = wIndex < HOST_ENTRY_COUNT ? &s_asEntry[wIndex] : nullptr;
}

uint8_t fGetStripeAccessSFlag(uint16_t wIndex) { return wIndex < HOST_ENTRY_COUNT ? s_asEntry[wIndex].fS : FALSE; }
void SetStripeAccessSFlag(uint16_t wIndex, uint8_t f) {
    if (wIndex < HOST_ENTRY_COUNT) s_asEntry[wIndex].fS = f;
}
uint8_t fGetStripeAccessOFlag(uint16_t wIndex) { return wIndex < HOST_ENTRY_COUNT ? s_asEntry[wIndex].fO : FALSE; }
void SetStripeAccessOFlag(uint16_t wIndex, uint8_t f) {
    if (wIndex < HOST_ENTRY_COUNT) s_asEntry[wIndex].fO = f;
}

// What the partner was granted before this request went out is settled by
// the partner's own check of the request: an O flag left over from an
// earlier cycle would only void the coming answer, and, the release step
// keeping every O flag once one is set, void every answer on these rows.
void OpenStripeAccessCycle(uint16_t wIndex) {
    if (wIndex >= HOST_ENTRY_COUNT) return;
    s_asEntry[wIndex].bTie = STRIPE_TIE_OPEN;
    s_asEntry[wIndex].fO = FALSE;
}

uint8_t bCheckPartnerStripeAccess(uint8_t bOpcode, uint16_t wLun, uint64_t lStart, uint32_t dStripeCount,
                                  uint8_t bSegment, uint32_t dSecondStripeCount) {
    wLun &= PARTNER_LUN_MASK;
    if (wLun >= LUN_COUNT) wLun = 0;
    bool fYielded = false;
    if (++s_awRequests[wLun] > PARTNER_REQUESTS_BEFORE_YIELD) {
        SetLunMasterFlag(wLun, FALSE);
        fYielded = true;
    }
    s_afOcio[wLun] = TRUE;

    uint64_t alRange[2][2] = {};
    uint8_t bRanges = 1;
    PartnerRange(lStart, dStripeCount, &alRange[0][0], &alRange[0][1]);
    if (dSecondStripeCount != 0) {
        uint64_t lSecond = 0;
        GetLogicalDriveSegmentStart(wLun, static_cast<uint8_t>(bSegment + 1), &lSecond);
        PartnerRange(lSecond, dSecondStripeCount, &alRange[1][0], &alRange[1][1]);
        bRanges = 2;
    }
    // What the partner is about to write must not be served from here.
    if (bOpcode == SCSI_WRITE16) {
        for (uint8_t i = 0; i < bRanges; i++) {
            const uint64_t lBlocks = alRange[i][1] - alRange[i][0];
            (void)InvalidateReadAhead(alRange[i][0], static_cast<uint32_t>(std::min<uint64_t>(lBlocks, UINT32_MAX)));
        }
    }

    uint16_t wConflicts = 0;
    bool fAnySFalse = false;
    bool fAnySTrue = false;
    bool fOWasTrue = false;
    uint8_t bTie = STRIPE_TIE_OPEN;
    uint8_t bLast = STRIPE_TIE_OPEN;
    for (uint16_t w = 0; w < HOST_ENTRY_COUNT; w++) {
        STRIPE_ACCESS_ENTRY& r = s_asEntry[w];
        if (r.fInUse != TRUE || r.wLun != wLun) continue;
        if (r.bOpcode == SCSI_READ16 && bOpcode == SCSI_READ16) continue;
        KERNEL_ENTRY* psHost = psHostOf(w);
        if (psHost == nullptr || !IsRecordLive(psHost) || !ConflictsWith(r, alRange, bRanges)) continue;
        s_awConflicts[wConflicts++] = w;
        if (++r.dConflictCount > CONFLICTS_BEFORE_FLAG) SetFlag(psHost, KE_FLAG_ACCESS_CONFLICTS);
        HoldReleaseForPartner(psHost);
        if (r.fS != TRUE) {
            fAnySFalse = true;
            fOWasTrue = fOWasTrue || r.fO == TRUE;
            r.fO = TRUE;
            bTie = bStrongerTie(bTie, r.bTie);
            bLast = bStrongerTie(bLast, r.bLastTie);
        } else {
            fAnySTrue = true;
        }
    }

    const uint8_t bGranted = fYielded ? STRIPE_ACCESS_GRANTED_MASTER : STRIPE_ACCESS_GRANTED;
    const uint8_t bRefused = fYielded ? STRIPE_ACCESS_REFUSED_MASTER : STRIPE_ACCESS_REFUSED;
    if (wConflicts == 0) return bGranted;
    if (!fAnySFalse) return bRefused;
    if (!fAnySTrue) {
        // Both controllers want rows neither has started on: the controller
        // in slot 1 lets the two sides take turns.  Its answer holds for the
        // whole asking cycle of the records here: were a second request of
        // the partner's answered the other way, every record on both sides
        // would end up told to ask again, and so on for ever.
        if (fIsControllerSlot1() != TRUE) return bGranted;
        if (bTie == STRIPE_TIE_OPEN) bTie = bDecideTie(bLast);
        for (uint16_t i = 0; i < wConflicts; i++) {
            s_asEntry[s_awConflicts[i]].bTie = bTie;
            s_asEntry[s_awConflicts[i]].bLastTie = bTie;
        }
        if (bTie == STRIPE_TIE_YIELDED) return bGranted;
    }
    for (uint16_t i = 0; i < wConflicts; i++) {
        const uint16_t w = s_awConflicts[i];
        if (!fOWasTrue) s_asEntry[w].fO = FALSE;
        HoldReleaseForPartner(psHostOf(w));
    }
    return bRefused;
}

void SetLunMasterFlag(uint16_t wLun, uint8_t f) {
    if (wLun >= LUN_COUNT) return;
    s_afMaster[wLun] = f;
    s_awRequests[wLun] = 0;
}

void SetLunMasterFlags(uint8_t f) {
    for (uint16_t w = 0; w < LUN_COUNT; w++) SetLunMasterFlag(w, f);
}

uint8_t fGetLunMasterFlag(uint16_t wLun) { return wLun < LUN_COUNT ? s_afMaster[wLun] : FALSE; }
uint16_t wGetLunRequestCount(uint16_t wLun) { return wLun < LUN_COUNT ? s_awRequests[wLun] : 0; }

void ClearLunOcioFlags() { std::memset(s_afOcio, FALSE, sizeof(s_afOcio)); }
void ClearLunOcioFlag(uint16_t wLun) {
    if (wLun < LUN_COUNT) s_afOcio[wLun] = FALSE;
}
uint8_t fGetLunOcioFlag(uint16_t wLun) { return wLun < LUN_COUNT ? s_afOcio[wLun] : TRUE; }

void CheckEventRate(uint8_t bKind, uint8_t bA, uint8_t bB, uint8_t bC) {
    if (bKind == 1) {
        PostEvent(EVENT_RATE, 1, bA, bB, bC);
        return;
    }
    if (bKind != 2) return;
    const uint64_t lNow = lGetTickCount();
    s_alEventTimes[s_bEventIndex] = lNow;
    s_bEventIndex = static_cast<uint8_t>((s_bEventIndex + 1) % EVENT_RATE_SLOTS);
    PostEvent(EVENT_RATE, 2, bA);
    for (uint64_t l : s_alEventTimes) {
        if (l == NO_EVENT_TIME || lNow - l >= EVENT_RATE_WINDOW_MS) return;
    }
    PostEvent(EVENT_RATE, 3, bA, bB, bC);
}

uint8_t fWasEventPostedWithin(uint8_t bCode, uint32_t dSeconds) {
    if (fIsEventLogBusy() == TRUE || s_fEventWalkRunning == TRUE) return FALSE;
    s_fEventWalkRunning = TRUE;
    // The walk must not see the log change under it, unless it runs inside
    // a chip's own interrupt handler, which holds those sources already.
    const bool fLock = fIsHostIsrActive() != TRUE && fIsDriveIsrActive() != TRUE;
    const uint8_t bInternal = fLock ? LockInterruptSource(INT_SOURCE_DRIVE_SIDE) : STATUS_LOCK_HELD;
    const uint8_t bHost = fLock ? LockInterruptSource(INT_SOURCE_HOST_CHIPS) : STATUS_LOCK_HELD;
    uint16_t wCount = 0;
    uint16_t wNext = 0;
    GetEventLogPosition(&wCount, &wNext);
    const EVENT_LOG_ENTRY* psFound = nullptr;
    uint16_t wAt = wNext;
    for (uint16_t n = 0; n < wCount && psFound == nullptr; n++) {
        wAt = wAt == 0 ? static_cast<uint16_t>(EVENT_LOG_ENTRIES - 1) : static_cast<uint16_t>(wAt - 1);
        const EVENT_LOG_ENTRY* ps = psGetEventLogEntry(wAt);
        if (ps->bCode == bCode) psFound = ps;
    }
    uint8_t fResult = FALSE;
    if (psFound != nullptr) {
        DATE_TIME sNow;
        (void)GetDateTime(&sNow);
        const uint32_t dNow = dSecondsOf(sNow);
        const uint32_t dThen = dSecondsOf(psFound->sTimeStamp);
        fResult = ToFlag(dNow >= dThen && dNow - dThen < dSeconds);
    }
    if (bHost == STATUS_OK) UnlockInterruptSource(INT_SOURCE_HOST_CHIPS);
    if (bInternal == STATUS_OK) UnlockInterruptSource(INT_SOURCE_DRIVE_SIDE);
    s_fEventWalkRunning = FALSE;
    return fResult;
}

void DumpStripeAccessTables(uint8_t fAll) {
    ConsolePrintf("LUN Master Flags:\n");
    for (uint16_t w = 0; w < wGetLogicalDriveCount() && w < LUN_COUNT; w++) {
        ConsolePrintf("LUN %03d: %02x %04d OCW:%03x OCIO:%02x\n", w, s_afMaster[w], s_awRequests[w],
                      wGetSegmentExtentCount(w), s_afOcio[w]);
    }
    ConsolePrintf("Stripe Access Tables\n");
    for (uint16_t w = 0; w < HOST_ENTRY_COUNT; w++) {
        const STRIPE_ACCESS_ENTRY& r = s_asEntry[w];
        if (r.fInUse != TRUE && fAll != TRUE) continue;
        const KERNEL_ENTRY* psHost = psHostOf(w);
        ConsolePrintf("%03x ", w);
        if (fAll == TRUE) ConsolePrintf(r.fInUse == TRUE ? "UT " : "UF ");
        ConsolePrintf(r.fS == TRUE ? "ST " : "SF ");
        ConsolePrintf(r.fO == TRUE ? "OT " : "OF ");
        ConsolePrintf("CT%02x OP%02x RK%02x %08x %02x", psHost == nullptr ? 0 : psHost->bCommandType, r.bOpcode,
                      r.bRank, static_cast<uint32_t>(r.lStart), r.dStripeCount);
        if (r.bSecondRank < NO_RANK) {
            ConsolePrintf("RK%02x %08x %02x", r.bSecondRank, static_cast<uint32_t>(r.lSecondStart),
                          r.dSecondStripeCount);
        }
        ConsolePrintf(" OC%02x\n", r.dConflictCount);
    }
}

}  // namespace fw
