// Row holds: the pseudo writes over a range of stripe rows, their partner
// agreement, the wait for the older writes, and the holds that commands
// wait for in the background.
#include "raid/row_hold.h"

#include <cstddef>
#include <cstring>

#include "cache/cache_entry.h"
#include "cache/nvram_journal.h"
#include "cache/outstanding_queues.h"
#include "cache/stripe_access.h"
#include "config/address_translation.h"
#include "config/rank_table.h"
#include "executive/console_output.h"
#include "executive/kernel_entry.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "fc/ql_host_events.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "raid/child_commands.h"
#include "target/command_access.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"

namespace fw {

namespace {

constexpr uint8_t PSEUDO_WRITE_TYPE = 0x82;
constexpr uint8_t CT_ACCESS_REQUESTED = 't';
constexpr uint8_t CT_ACCESS_GRANTED = 'w';
constexpr uint8_t CT_ACCESS_UNSHARED = 'u';

bool IsDual() { return fIsDualControllerActive() == TRUE; }

void ReleaseOnePseudoWrite(KERNEL_ENTRY* ps) {
    const uint16_t wIndex = ps->wIndex;
    if (HasFlag(ps, KE_FLAG_STRIPE_ACCESS)) {
        if (fGetStripeAccessSFlag(wIndex) == TRUE) SetStripeAccessSFlag(wIndex, FALSE);
        ReleaseStripeAccessEntry(wIndex);
        ClearFlag(ps, KE_FLAG_STRIPE_ACCESS);
    }
    if (HasFlag(ps, KE_FLAG_JOURNALED)) {
        SetNvramQueueEntryFlag(ps->wJournalSlot, FALSE);
        ClearNvramQueueEntry(ps->wJournalSlot);
        ClearFlag(ps, KE_FLAG_JOURNALED);
    }
    if (HasFlag(ps, KE_FLAG_IN_WRITE_QUEUE)) RemoveOutstandingWrite(ps);
    FreeTargetEntry(ps);
}

void BuildPseudoWrite(KERNEL_ENTRY* ps, uint8_t bRank, const SEGMENT_MAP_ENTRY& sSegment, uint64_t lStart,
                      uint32_t dBlocks) {
    std::memset(ps, 0, offsetof(KERNEL_ENTRY, bPrimaryState));
    ResetCacheEntryFields(ps);
    std::memset(pRaidFields(ps), 0, sizeof(RAID_ENTRY_FIELDS));
    ps->bPortCode = PORT_CODE_FC_HOST_1;
    uint8_t* pbCdb = pGetCommandCdb(ps);
    std::memset(pbCdb, 0, 16);
    pbCdb[0] = SCSI_WRITE16;
    PutBe64(pbCdb + 2, lStart);
    PutBe32(pbCdb + 10, dBlocks);
    ps->bPrimaryState = ROW_HOLD_WAITING;
    ps->bSecondaryState = ROW_HOLD_WAITING;
    ps->bCommandType = PSEUDO_WRITE_TYPE;
    ps->fUsed = TRUE;
    ps->fValid = TRUE;
    ps->bRank = bRank;
    ps->bMember = NO_MEMBER;
    ps->wLunIndex = static_cast<uint16_t>(sSegment.wLd);
    ps->bSegmentIndex = static_cast<uint8_t>(sSegment.wSegment);
    ps->bSegmentCount = 1;
    ps->lInternalAddress = lStart;
    ps->lLba = lCalculateLUNAddressFromInternalAddress(lStart);
    uint64_t lRankStart = 0;
    GetRankStartAddress(bRank, &lRankStart);
    ps->lRankAddress = lStart - lRankStart;
    ps->alStripeBound[0] = lStart;
    ps->alStripeBound[1] = lStart + dBlocks;
    ps->wBlocks = static_cast<uint16_t>(dBlocks);
    ps->wBlockCount = static_cast<uint16_t>(dBlocks);
    psCacheFields(ps)->wFirstPieceBlocks = static_cast<uint16_t>(dBlocks);
    pHostFields(ps)->wDataServiceTag = 0xFFFF;
    ps->wJournalSlot = ps->wIndex;
    ps->dStartTick = dGetCoarseTick();
    ps->lArrivalMs = lGetTickCount();
    ps->psMother = ps;
    AssignHostCommandSequence(ps);
}

// The partner's agreement for one piece: TRUE once it may go on.  A piece
// takes its grant and marks its record running (the S flag) in one step:
// from then on the partner's requests for the rows are refused.  Were it
// marked only once the hold is in force, a partner write asking while the
// hold still waits for the older writes would find the record merely
// waiting, be granted, and run on the rows beside the job.
bool ObtainPartnerAccess(KERNEL_ENTRY* ps) {
    if (!IsDual()) return true;
    if (!HasFlag(ps, KE_FLAG_STRIPE_ACCESS)) (void)fClaimStripeAccessEntry(ps);
    if (fGetStripeAccessSFlag(ps->wIndex) == TRUE) return true;
    if (ps->bCommandType == CT_ACCESS_REQUESTED) return false;
    if (ps->bCommandType == CT_ACCESS_GRANTED) {
        // An O flag: the partner was granted these rows while the request
        // was out, so the grant here is void and the piece asks again.
        if (fGetStripeAccessOFlag(ps->wIndex) != TRUE) {
            RecordNvramQueueEntry(ps);
            SetFlag(ps, KE_FLAG_JOURNALED);
            SetNvramQueueEntryFlag(ps->wJournalSlot, TRUE);
            ps->bCommandType = PSEUDO_WRITE_TYPE;
            SetStripeAccessSFlag(ps->wIndex, TRUE);
            return true;
        }
        SetStripeAccessOFlag(ps->wIndex, FALSE);
    }
    // A request that did not go out is asked again at the next call.
    if (bCheckOutgoingQueueSpace(PARTNER_MESSAGE_STRIPE_ACCESS) != STATUS_OK ||
        bSendEventRateMessage118(ps) != STATUS_OK) {
        ps->bCommandType = CT_ACCESS_UNSHARED;
    }
    return false;
}

// ---- holds in force ----------------------------------------------------------
//
// Two jobs never work on the same rows at once.  A hold still waiting does
// not keep another from going in force (the writes it waits for may wait
// for that other job); a hold in force keeps every other off its rows.

constexpr uint32_t HOLDS_IN_FORCE = 24;
ROW_HOLD* s_apsInForce[HOLDS_IN_FORCE];

bool PiecesMeet(const KERNEL_ENTRY* a, const KERNEL_ENTRY* b) {
    return a->wLunIndex == b->wLunIndex && a->lInternalAddress < b->lInternalAddress + b->wBlocks &&
           b->lInternalAddress < a->lInternalAddress + a->wBlocks;
}

bool HoldsMeet(const ROW_HOLD* a, const ROW_HOLD* b) {
    for (const KERNEL_ENTRY* pa : a->apsPseudo) {
        if (pa == nullptr) continue;
        for (const KERNEL_ENTRY* pb : b->apsPseudo)
            if (pb != nullptr && PiecesMeet(pa, pb)) return true;
    }
    return false;
}

bool IsInForce(const ROW_HOLD* psHold) {
    for (const ROW_HOLD* ps : s_apsInForce)
        if (ps == psHold) return true;
    return false;
}

bool AnotherInForceMeets(const ROW_HOLD* psHold) {
    for (const ROW_HOLD* ps : s_apsInForce)
        if (ps != nullptr && ps != psHold && HoldsMeet(ps, psHold)) return true;
    return false;
}

// FALSE when the table is full (more jobs than it was sized for): the hold
// waits for one to end.
bool PutInForce(ROW_HOLD* psHold) {
    for (ROW_HOLD*& ps : s_apsInForce) {
        if (ps != nullptr) continue;
        ps = psHold;
        for (KERNEL_ENTRY* psPiece : psHold->apsPseudo)
            if (psPiece != nullptr) psPiece->bPrimaryState = ROW_HOLD_IN_FORCE;
        return true;
    }
    return false;
}

void TakeOutOfForce(const ROW_HOLD* psHold) {
    for (ROW_HOLD*& ps : s_apsInForce)
        if (ps == psHold) ps = nullptr;
}

// ---- holds that commands wait for ----------------------------------------

// A few at a time: one per read error being repaired or block being mended.
constexpr uint8_t WAITING_HOLDS = 16;

// Held: the rows are held and the owner is to take them; Owned: it did.
enum class Stage : uint8_t { Free, Access, Older, Held, Owned };

struct WAITING_HOLD {
    ROW_HOLD sHold;
    Stage eStage;
    KERNEL_ENTRY* psOwner;
    KERNEL_ENTRY* psServed;
    uint32_t dServedSequence;   // the served entry may be freed and reused
    ROW_HOLD_DONE pfnHeld;
};

WAITING_HOLD s_asWaiting[WAITING_HOLDS];

// The served command, while it is still the one that asked.
KERNEL_ENTRY* psServedOf(const WAITING_HOLD& w) {
    KERNEL_ENTRY* ps = w.psServed;
    if (ps == nullptr || ps->fUsed != TRUE || static_cast<uint32_t>(ps->alSequence[0]) != w.dServedSequence) {
        return nullptr;
    }
    return ps;
}

// One step of a waiting hold; TRUE when the owner took the rows.
bool Advance(WAITING_HOLD& w) {
    if (w.eStage == Stage::Access) {
        if (fObtainRowHoldAccess(&w.sHold) != TRUE) return false;
        w.eStage = Stage::Older;
    }
    if (w.eStage == Stage::Older) {
        if (fAreOlderWritesDone(&w.sHold, psServedOf(w)) != TRUE) return false;
        w.eStage = Stage::Held;
    }
    // The owner may end its hold from inside its continuation.
    w.eStage = Stage::Owned;
    if (w.pfnHeld(w.psOwner) == TRUE) return true;
    if (w.eStage == Stage::Owned) w.eStage = Stage::Held;
    return false;
}

}  // namespace

// ---------------------------------------------------------------------------

uint8_t bTakeRowHold(ROW_HOLD* psHold, uint8_t bRank, uint64_t lStart, uint64_t lEnd) {
    ReleaseRowHold(psHold);
    const SEGMENT_MAP* psMap = pGetSegmentMap();
    uint32_t dPieces = 0;
    for (uint32_t i = 0; psMap != nullptr && i < psMap->dEntryCount && i < SEGMENT_MAP_ENTRIES; ++i) {
        const SEGMENT_MAP_ENTRY& s = psMap->asEntry[i];
        if (s.wLd < 0 || s.wSegment < 0 || s.lEnd < lStart || s.lStart >= lEnd) continue;
        if (dPieces == ROW_HOLD_PIECES) break;
        const uint64_t lFrom = s.lStart > lStart ? s.lStart : lStart;
        const uint64_t lTo = s.lEnd + 1 < lEnd ? s.lEnd + 1 : lEnd;
        KERNEL_ENTRY* ps = nullptr;
        uint16_t wIndex = 0;
        if (bAllocTargetEntries(PORT_CODE_FC_HOST_1, 1, &ps, &wIndex, FALSE) != STATUS_OK || ps == nullptr) {
            ConsolePrintf("fGeneratePseudoWriteargetKernelCmd, QUEUE_FULL\n");
            ReleaseRowHold(psHold);
            return STATUS_RETRY;
        }
        BuildPseudoWrite(ps, bRank, s, lFrom, static_cast<uint32_t>(lTo - lFrom));
        psHold->apsPseudo[dPieces++] = ps;
    }
    return dPieces == 0 ? 0 : STATUS_OK;
}

uint8_t fObtainRowHoldAccess(ROW_HOLD* psHold) {
    bool fAll = true;
    for (KERNEL_ENTRY* ps : psHold->apsPseudo) {
        if (ps == nullptr) continue;
        if (!HasFlag(ps, KE_FLAG_IN_WRITE_QUEUE)) InsertOutstandingWrite(ps);
        fAll = ObtainPartnerAccess(ps) && fAll;
    }
    return ToFlag(fAll);
}

// Host writes that came before the hold go to the drives first; the search
// marks them to leave the cache's holding stages at once.
uint8_t fAreOlderWritesDone(ROW_HOLD* psHold, KERNEL_ENTRY* psServed) {
    for (KERNEL_ENTRY* ps : psHold->apsPseudo) {
        if (ps == nullptr) continue;
        ps->bSecondaryState = ROW_HOLD_WAITING;
        if (psServed != nullptr) {
            if (bFindOlderRowWrite(ps, psServed) != ORDER_GO) return FALSE;
            continue;
        }
        uint16_t wBlocking = 0;
        if (bFindBlockingWrite(ps, &wBlocking, TRUE, FALSE, FALSE) != ORDER_GO) return FALSE;
        if (bCheckWriteOverlap(ps) != ORDER_GO) return FALSE;
    }
    if (IsInForce(psHold)) return TRUE;
    if (AnotherInForceMeets(psHold) || !PutInForce(psHold)) return FALSE;
    for (KERNEL_ENTRY* ps : psHold->apsPseudo) {
        if (ps != nullptr && HasFlag(ps, KE_FLAG_STRIPE_ACCESS)) SetStripeAccessSFlag(ps->wIndex, TRUE);
    }
    return TRUE;
}

void ReleaseRowHold(ROW_HOLD* psHold) {
    TakeOutOfForce(psHold);
    bool fAny = false;
    for (KERNEL_ENTRY*& ps : psHold->apsPseudo) {
        if (ps == nullptr) continue;
        ReleaseOnePseudoWrite(ps);
        ps = nullptr;
        fAny = true;
    }
    // Writes held behind the rows go on.
    if (fAny) {
        SetHostPortWork(PORT_CODE_FC_HOST_1, TRUE);
        SetHostPortWork(PORT_CODE_FC_HOST_2, TRUE);
    }
}

uint8_t fIsRowHoldTaken(const ROW_HOLD* psHold) {
    for (const KERNEL_ENTRY* ps : psHold->apsPseudo)
        if (ps != nullptr) return TRUE;
    return FALSE;
}

uint8_t bStartRowHold(uint8_t* pbHold, KERNEL_ENTRY* psOwner, uint8_t bRank, uint32_t dFirst, uint32_t dLast,
                      KERNEL_ENTRY* psServed, ROW_HOLD_DONE pfnHeld) {
    *pbHold = NO_ROW_HOLD;
    const uint32_t dChunk = wGetRankChunkSize(bRank);
    const uint64_t lRow = dGetRankRowDataBlocks(bRank);
    if (dChunk == 0 || lRow == 0 || dLast < dFirst) return 0;
    uint8_t b = 0;
    while (b < WAITING_HOLDS && s_asWaiting[b].eStage != Stage::Free) ++b;
    if (b == WAITING_HOLDS) return STATUS_RETRY;
    WAITING_HOLD& w = s_asWaiting[b];
    uint64_t lRankStart = 0;
    GetRankStartAddress(bRank, &lRankStart);
    const uint64_t lStart = lRankStart + uint64_t{dFirst / dChunk} * lRow;
    const uint64_t lEnd = lRankStart + (uint64_t{dLast / dChunk} + 1) * lRow;
    const uint8_t bTaken = bTakeRowHold(&w.sHold, bRank, lStart, lEnd);
    if (bTaken != STATUS_OK) return bTaken;
    w.eStage = Stage::Access;
    w.psOwner = psOwner;
    w.psServed = psServed;
    w.dServedSequence = psServed != nullptr ? static_cast<uint32_t>(psServed->alSequence[0]) : 0;
    w.pfnHeld = pfnHeld;
    *pbHold = b;
    // Most rows have no older write: the owner goes on at once.
    (void)Advance(w);
    return STATUS_OK;
}

void EndRowHold(uint8_t* pbHold) {
    if (*pbHold >= WAITING_HOLDS) return;
    WAITING_HOLD& w = s_asWaiting[*pbHold];
    ReleaseRowHold(&w.sHold);
    w = WAITING_HOLD{};
    *pbHold = NO_ROW_HOLD;
}

uint8_t fAreRowHoldsWaiting() {
    for (const WAITING_HOLD& w : s_asWaiting)
        if (w.eStage == Stage::Access || w.eStage == Stage::Older || w.eStage == Stage::Held) return TRUE;
    return FALSE;
}

void ServiceRowHolds() {
    for (WAITING_HOLD& w : s_asWaiting) {
        if (w.eStage == Stage::Free || w.eStage == Stage::Owned) continue;
        (void)Advance(w);
    }
}

void InitRowHolds() {
    for (WAITING_HOLD& w : s_asWaiting) w = WAITING_HOLD{};
    for (ROW_HOLD*& ps : s_apsInForce) ps = nullptr;
}

}  // namespace fw
