// The outstanding I/O queues.
//
// One record per host entry index (a command is in at most one queue) holds
// the command's spans: its command span, the blocks it addresses, and its row
// span, the same widened to whole stripe rows of its array, each per segment
// (half-open).  A LUN's queued commands are kept in their arrival order and
// in an AVL tree keyed by the command span's start whose nodes carry the
// covered span, the rows of their whole subtree, so that a search enters
// only the subtrees that can overlap.  The scan kind looks at every record
// instead; the tree is kept under both, so the setting may change while
// commands are queued.  Both kinds hand the same candidates to one set of
// rules, so they give the same answers.
#include "cache/outstanding_queues.h"

#include <cstring>
#include <initializer_list>

#include "cache/cache_entry.h"
#include "cache/nvram_journal.h"
#include "cache/write_stages.h"
#include "config/config_db.h"
#include "config/ld_table.h"
#include "config/rank_table.h"
#include "eventlog/statistics.h"
#include "executive/console_output.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/addresses.h"
#include "hw/scsi.h"
#include "partner/lun_service_list.h"
#include "partner/partner_link.h"
#include "raid/raid_engine.h"
#include "raid/row_hold.h"
#include "target/command_access.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/stage_rings.h"

namespace fw {

namespace {

constexpr uint16_t NO_NODE = 0xFFFF;
constexpr uint8_t KIND_NONE = 240;
constexpr uint8_t KIND_READ = 241;
constexpr uint8_t KIND_WRITE = 242;
constexpr uint8_t WRITES = 0;
constexpr uint8_t READS = 1;
constexpr uint8_t MAX_TRACKED_RANKS = 64;
constexpr uint16_t NO_TAG = 0xFFFF;
constexpr uint8_t COMMAND_TYPE_EXPANSION = 172;
constexpr uint8_t COMMAND_TYPE_PARITY_HEAD = 0xA2;
constexpr uint32_t BLOCK_BYTES = 512;
constexpr uint32_t MAX_TREE_DEPTH = 48;

struct SPAN {
    uint64_t lStart;
    uint64_t lEnd;   // exclusive
};

bool Overlaps(const SPAN& a, const SPAN& b) { return b.lEnd > a.lStart && a.lEnd > b.lStart; }

struct SPANS {
    SPAN asCommand[2];
    SPAN asRow[2];
    uint8_t bSegments;
};

bool AnyOverlap(const SPAN* pas, uint8_t bCount, const SPAN* pbs, uint8_t bOther) {
    for (uint8_t a = 0; a < bCount; a++) {
        for (uint8_t b = 0; b < bOther; b++) {
            if (Overlaps(pas[a], pbs[b])) return true;
        }
    }
    return false;
}

SPAN sHull(const SPAN* pas, uint8_t bCount) {
    SPAN s = pas[0];
    for (uint8_t b = 1; b < bCount; b++) {
        if (pas[b].lStart < s.lStart) s.lStart = pas[b].lStart;
        if (pas[b].lEnd > s.lEnd) s.lEnd = pas[b].lEnd;
    }
    return s;
}

struct OUTSTANDING_IO_NODE {
    uint16_t wLeft;
    uint16_t wRight;
    uint16_t wParent;
    uint16_t wHeight;     // 1 for a leaf; 0 while the record is in no tree
    uint16_t wPrev;       // the LUN's arrival order
    uint16_t wNext;
    SPANS sSpans;
    SPAN sRows;           // the rows of the command, both segments
    SPAN sCovered;        // the rows of the whole subtree
    uint64_t lArrival;
    uint64_t lInsertSequence;
    uint16_t wLun;
    uint16_t wTag;
    uint8_t bRank;
    uint8_t bSecondRank;
    uint8_t bSegmentIndex;
    uint8_t bKind;
    uint8_t fInUse;
    uint8_t fStale;
    uint8_t fParked;      // waits in the write sort
    uint16_t wParked;     // parked writes of the whole subtree
    uint8_t fReleaseFlagged;   // TRUE: in the LUN's leading writes told to go on
};

// The writes from the head through wFlaggedLast (dFlagged of them) all
// carry KE_FLAG_HOLD_RELEASE_C, which a command keeps while it is queued:
// a LUN starved of pages asks for its oldest writes to go on at every
// refusal, and walking again over those already told was most of that ask.
struct LUN_QUEUE {
    uint16_t wRoot;
    uint16_t wHead;
    uint16_t wTail;
    uint16_t wFlaggedLast;
    uint32_t dCount;
    uint32_t dFlagged;
};

OUTSTANDING_IO_NODE s_asNode[HOST_ENTRY_COUNT];
LUN_QUEUE s_aasLun[2][LUN_COUNT];
uint32_t s_adRankWrites[MAX_TRACKED_RANKS];
uint64_t s_lInsertSequence = 1;
uint16_t s_awCandidate[HOST_ENTRY_COUNT];

bool UseTree() { return fGetCacheSetting208() != FALSE; }

KERNEL_ENTRY* psEntryOf(uint16_t wIndex) {
    KERNEL_ENTRY* ps = nullptr;
    wGetTargetEntry(wIndex, &ps);
    return ps;
}

uint64_t lArrivalOf(const KERNEL_ENTRY* ps) { return ps->alSequence[0]; }

bool IsParityLevel(uint8_t bRank) {
    if (bRank >= MAX_TRACKED_RANKS) return false;
    const uint8_t bLevel = bGetRankRaidLevel(bRank);
    return bLevel == RAID_LEVEL_5 || bLevel == RAID_LEVEL_50 || bLevel == RAID_LEVEL_6;
}

// A degraded parity array rebuilds what it reads from whole rows, so a read
// there meets every write in the rows it reads.
bool IsDegradedParityRank(uint8_t bRank) {
    return IsParityLevel(bRank) && bGetRankOperationState(bRank) < RANK_STATE_OPTIMAL;
}

// The spans of a command from its entry.  A stream head or continuation
// spans the whole command; any other part its first segment.
SPANS sSpansOf(const KERNEL_ENTRY* ps) {
    const CACHE_ENTRY_FIELDS* psCache = psCacheFields(ps);
    const bool fWhole = ps->bCommandType == COMMAND_TYPE_STREAM_HEAD || ps->bCommandType == COMMAND_TYPE_CONTINUATION;
    uint32_t dFirst = fWhole ? ps->wBlockCount : psCache->wFirstPieceBlocks;
    if (dFirst == 0) dFirst = ps->wBlocks;
    SPANS s;
    s.bSegments = ps->bSegmentCount == 2 ? 2 : 1;
    s.asCommand[0] = {ps->lInternalAddress, ps->lInternalAddress + dFirst};
    s.asCommand[1] = {ps->lSecondPieceAddress, ps->lSecondPieceAddress + psCache->wSecondPieceBlocks};
    for (uint8_t b = 0; b < s.bSegments; b++) {
        const SPAN sRow = {ps->alStripeBound[2 * b], ps->alStripeBound[2 * b + 1]};
        // Rows the path has not worked out yet are the command's own blocks.
        const bool fKnown = sRow.lEnd > sRow.lStart && sRow.lStart <= s.asCommand[b].lStart &&
                            sRow.lEnd >= s.asCommand[b].lEnd;
        s.asRow[b] = fKnown ? sRow : s.asCommand[b];
    }
    return s;
}

// ---- the arrival lists ------------------------------------------------------

void AppendToLun(LUN_QUEUE* psLun, uint16_t wIndex) {
    OUTSTANDING_IO_NODE& s = s_asNode[wIndex];
    s.wPrev = psLun->wTail;
    s.wNext = NO_NODE;
    if (psLun->wTail != NO_NODE) {
        s_asNode[psLun->wTail].wNext = wIndex;
    } else {
        psLun->wHead = wIndex;
    }
    psLun->wTail = wIndex;
}

// A write leaving the LUN's leading stretch of writes told to go on
// shortens it.  Kept apart: most commands that leave were never told.
[[gnu::noinline]] void LeaveFlaggedStretch(LUN_QUEUE* psLun, uint16_t wIndex) {
    OUTSTANDING_IO_NODE& s = s_asNode[wIndex];
    psLun->dFlagged--;
    if (psLun->wFlaggedLast == wIndex) psLun->wFlaggedLast = s.wPrev;
    s.fReleaseFlagged = FALSE;
}

void UnlinkFromLun(LUN_QUEUE* psLun, uint16_t wIndex) {
    OUTSTANDING_IO_NODE& s = s_asNode[wIndex];
    if (s.fReleaseFlagged == TRUE) LeaveFlaggedStretch(psLun, wIndex);
    if (s.wPrev != NO_NODE) {
        s_asNode[s.wPrev].wNext = s.wNext;
    } else {
        psLun->wHead = s.wNext;
    }
    if (s.wNext != NO_NODE) {
        s_asNode[s.wNext].wPrev = s.wPrev;
    } else {
        psLun->wTail = s.wPrev;
    }
    s.wPrev = NO_NODE;
    s.wNext = NO_NODE;
}

// ---- the tree ---------------------------------------------------------------

uint16_t wHeight(uint16_t w) { return w == NO_NODE ? 0 : s_asNode[w].wHeight; }

uint16_t wParkedIn(uint16_t w) { return w == NO_NODE ? 0 : s_asNode[w].wParked; }

// Height, covered span and parked count from the node's own and its
// children's.
// false when none of the three changed: then nothing above it changes either.
bool Refresh(uint16_t w) {
    OUTSTANDING_IO_NODE& s = s_asNode[w];
    const uint16_t wLeft = wHeight(s.wLeft);
    const uint16_t wRight = wHeight(s.wRight);
    const uint16_t wHeightNow = static_cast<uint16_t>(1 + (wLeft > wRight ? wLeft : wRight));
    const uint16_t wParkedNow =
        static_cast<uint16_t>((s.fParked == TRUE ? 1 : 0) + wParkedIn(s.wLeft) + wParkedIn(s.wRight));
    SPAN sCovered = s.sRows;
    for (uint16_t wChild : {s.wLeft, s.wRight}) {
        if (wChild == NO_NODE) continue;
        const SPAN& c = s_asNode[wChild].sCovered;
        if (c.lStart < sCovered.lStart) sCovered.lStart = c.lStart;
        if (c.lEnd > sCovered.lEnd) sCovered.lEnd = c.lEnd;
    }
    const bool fChanged = wHeightNow != s.wHeight || wParkedNow != s.wParked ||
                          sCovered.lStart != s.sCovered.lStart || sCovered.lEnd != s.sCovered.lEnd;
    s.wHeight = wHeightNow;
    s.wParked = wParkedNow;
    s.sCovered = sCovered;
    return fChanged;
}

// Puts wNew where wOld hung from wParent (or at the root).
void ReplaceChild(LUN_QUEUE* psLun, uint16_t wParent, uint16_t wOld, uint16_t wNew) {
    if (wNew != NO_NODE) s_asNode[wNew].wParent = wParent;
    if (wParent == NO_NODE) {
        psLun->wRoot = wNew;
    } else if (s_asNode[wParent].wLeft == wOld) {
        s_asNode[wParent].wLeft = wNew;
    } else {
        s_asNode[wParent].wRight = wNew;
    }
}

uint16_t& wChild(uint16_t w, bool fLeft) { return fLeft ? s_asNode[w].wLeft : s_asNode[w].wRight; }

// Lifts the node's child on the far side of fLeft into its place: a left
// rotation lifts its right child.
uint16_t wRotate(LUN_QUEUE* psLun, uint16_t w, bool fLeft) {
    const uint16_t wPivot = wChild(w, !fLeft);
    ReplaceChild(psLun, s_asNode[w].wParent, w, wPivot);
    const uint16_t wInner = wChild(wPivot, fLeft);
    wChild(w, !fLeft) = wInner;
    if (wInner != NO_NODE) s_asNode[wInner].wParent = w;
    wChild(wPivot, fLeft) = w;
    s_asNode[w].wParent = wPivot;
    Refresh(w);
    Refresh(wPivot);
    return wPivot;
}

int iBalance(uint16_t w) { return int(wHeight(s_asNode[w].wLeft)) - int(wHeight(s_asNode[w].wRight)); }

// Rotates the refreshed node when its children's heights differ by two;
// returns the root of the subtree it heads now.
uint16_t wRebalance(LUN_QUEUE* psLun, uint16_t w) {
    const int iTilt = iBalance(w);
    if (iTilt > 1) {
        if (iBalance(s_asNode[w].wLeft) < 0) wRotate(psLun, s_asNode[w].wLeft, true);
        return wRotate(psLun, w, false);
    }
    if (iTilt < -1) {
        if (iBalance(s_asNode[w].wRight) > 0) wRotate(psLun, s_asNode[w].wRight, false);
        return wRotate(psLun, w, true);
    }
    return w;
}

// Refreshes and rebalances the node and its ancestors.  The walk stops at
// the first node that neither changed nor turned: the nodes above it see
// the same subtree as before.  A node moved into a removed one's place
// (wMoved) is compared with its own old place, so the walk goes on at least
// past it.
void RebalanceUpFrom(LUN_QUEUE* psLun, uint16_t w, uint16_t wMoved) {
    while (w != NO_NODE) {
        const bool fChanged = Refresh(w);
        const uint16_t wTop = wRebalance(psLun, w);
        if (w == wMoved) {
            wMoved = NO_NODE;
        } else if (wMoved == NO_NODE && !fChanged && wTop == w) {
            return;
        }
        w = s_asNode[wTop].wParent;
    }
}

void TreeInsert(LUN_QUEUE* psLun, uint16_t wIndex) {
    OUTSTANDING_IO_NODE& s = s_asNode[wIndex];
    s.wLeft = s.wRight = NO_NODE;
    s.wHeight = 1;
    s.wParked = s.fParked == TRUE ? 1 : 0;
    s.sCovered = s.sRows;
    uint16_t wParent = NO_NODE;
    uint16_t w = psLun->wRoot;
    const uint64_t lKey = s.sSpans.asCommand[0].lStart;
    bool fLeft = false;
    while (w != NO_NODE) {
        wParent = w;
        // Equal keys go right: the newer of two commands at one block is the later in order.
        fLeft = lKey < s_asNode[w].sSpans.asCommand[0].lStart;
        w = fLeft ? s_asNode[w].wLeft : s_asNode[w].wRight;
    }
    s.wParent = wParent;
    if (wParent == NO_NODE) {
        psLun->wRoot = wIndex;
    } else if (fLeft) {
        s_asNode[wParent].wLeft = wIndex;
    } else {
        s_asNode[wParent].wRight = wIndex;
    }
    RebalanceUpFrom(psLun, wParent, NO_NODE);
}

void TreeRemove(LUN_QUEUE* psLun, uint16_t wIndex) {
    OUTSTANDING_IO_NODE& s = s_asNode[wIndex];
    uint16_t wLowest;   // the lowest node whose subtree changed
    uint16_t wMoved = NO_NODE;
    if (s.wLeft != NO_NODE && s.wRight != NO_NODE) {
        // Replaced in place by its in-order predecessor, first unlinked from
        // its own place.
        uint16_t wPred = s.wLeft;
        while (s_asNode[wPred].wRight != NO_NODE) wPred = s_asNode[wPred].wRight;
        OUTSTANDING_IO_NODE& p = s_asNode[wPred];
        wLowest = p.wParent == wIndex ? wPred : p.wParent;
        wMoved = wPred;
        if (p.wParent != wIndex) {
            ReplaceChild(psLun, p.wParent, wPred, p.wLeft);
            p.wLeft = s.wLeft;
            s_asNode[p.wLeft].wParent = wPred;
        }
        p.wRight = s.wRight;
        s_asNode[p.wRight].wParent = wPred;
        ReplaceChild(psLun, s.wParent, wIndex, wPred);
    } else {
        const uint16_t wChild = s.wLeft != NO_NODE ? s.wLeft : s.wRight;
        wLowest = s.wParent;
        ReplaceChild(psLun, s.wParent, wIndex, wChild);
    }
    s.wLeft = s.wRight = s.wParent = NO_NODE;
    s.wHeight = 0;
    RebalanceUpFrom(psLun, wLowest, wMoved);
}

// Covered spans of the node and its ancestors after its own rows changed.
void RefreshUpFrom(uint16_t w) {
    for (; w != NO_NODE && Refresh(w); w = s_asNode[w].wParent) {
    }
}

// ---- candidates -------------------------------------------------------------

// The queued records of the LUN and kind whose rows can overlap the search:
// the tree enters only subtrees whose covered span overlaps; the scan looks
// at every record in index order.
uint16_t wCollect(uint16_t wLun, uint8_t bKind, const SPAN* pasSearch, uint8_t bSearch) {
    uint16_t wFound = 0;
    if (!UseTree()) {
        for (uint16_t w = 0; w < HOST_ENTRY_COUNT; w++) {
            const OUTSTANDING_IO_NODE& s = s_asNode[w];
            if (s.fInUse == TRUE && s.bKind == bKind && s.wLun == wLun && AnyOverlap(&s.sRows, 1, pasSearch, bSearch)) {
                s_awCandidate[wFound++] = w;
            }
        }
        return wFound;
    }
    uint16_t awStack[MAX_TREE_DEPTH * 2];
    uint32_t dDepth = 0;
    const uint16_t wRoot = s_aasLun[bKind == KIND_WRITE ? WRITES : READS][wLun].wRoot;
    if (wRoot != NO_NODE) awStack[dDepth++] = wRoot;
    while (dDepth != 0) {
        const uint16_t w = awStack[--dDepth];
        const OUTSTANDING_IO_NODE& s = s_asNode[w];
        if (!AnyOverlap(&s.sCovered, 1, pasSearch, bSearch)) continue;
        if (AnyOverlap(&s.sRows, 1, pasSearch, bSearch)) s_awCandidate[wFound++] = w;
        if (s.wLeft != NO_NODE && dDepth < MAX_TREE_DEPTH * 2) awStack[dDepth++] = s.wLeft;
        if (s.wRight != NO_NODE && dDepth < MAX_TREE_DEPTH * 2) awStack[dDepth++] = s.wRight;
    }
    return wFound;
}

// ---- the rules ---------------------------------------------------------------

enum SEARCH : uint8_t { READ_BEHIND_WRITE, WRITE_BEHIND_WRITE, WRITE_BEHIND_READ };

// A command whose status is out, or that waits only to be freed, orders
// nothing; unless it must do its step again.
bool IsFinished(const KERNEL_ENTRY* ps, SEARCH e) {
    if (HasFlag(ps, KE_FLAG_CHILD_FAILED | KE_FLAG_MORE_PASSES)) return false;
    const uint8_t bState = ps->bPrimaryState;
    if (bState == HOST_STATE_STATUS || bState == HOST_STATE_COMPLETE) return true;
    return bState == (e == WRITE_BEHIND_WRITE ? HOST_STATE_WRITE_COMPLETE : HOST_STATE_DATA_IN);
}

bool TagAllows(uint16_t wNodeTag, uint16_t wTag, SEARCH e) {
    switch (e) {
    case READ_BEHIND_WRITE: return wNodeTag == NO_TAG || (wTag != NO_TAG && wNodeTag == wTag);
    case WRITE_BEHIND_WRITE: return wTag == NO_TAG || wNodeTag == NO_TAG || wNodeTag == wTag;
    default: return wTag == NO_TAG || wNodeTag == wTag;
    }
}

// A record whose command has been outstanding for 1440 coarse ticks (twelve
// minutes) is marked stale and never orders again.  No host waits that long:
// it has aborted the command and the drive side's timeouts have ended its
// I/O long before, so a record still here is one whose removal went astray,
// and holding newer commands behind it would stall the LUN for good.
bool IsStale(uint16_t wNode) {
    OUTSTANDING_IO_NODE& s = s_asNode[wNode];
    if (s.fStale != TRUE && dGetCoarseTick() - psEntryOf(wNode)->dStartTick >= OUTSTANDING_STALE_TICKS) s.fStale = TRUE;
    return s.fStale == TRUE;
}

// Whether the queued record may order the command.
bool IsEligible(uint16_t wNode, const KERNEL_ENTRY* psCommand, SEARCH e, bool fAnyAge) {
    OUTSTANDING_IO_NODE& s = s_asNode[wNode];
    if (wNode == psCommand->wIndex) return false;
    if (!TagAllows(s.wTag, pHostFields(psCommand)->wDataServiceTag, e)) return false;
    if (!fAnyAge && s.lArrival > lArrivalOf(psCommand)) return false;
    const OUTSTANDING_IO_NODE& sOwn = s_asNode[psCommand->wIndex];
    if (e != READ_BEHIND_WRITE && sOwn.fInUse == TRUE && sOwn.bKind == KIND_WRITE &&
        s.lInsertSequence >= sOwn.lInsertSequence) {
        return false;
    }
    const KERNEL_ENTRY* ps = psEntryOf(wNode);
    if (ps->fUsed != TRUE) return false;
    if (e != READ_BEHIND_WRITE) {
        if (ps->fValid != TRUE || IsFinished(ps, e)) return false;
        if (e == WRITE_BEHIND_WRITE && (ps->bCommandType == COMMAND_TYPE_STREAM_PIECE ||
                                        ps->bCommandType == COMMAND_TYPE_CLOSING_PIECE)) {
            return false;
        }
    }
    return !IsStale(wNode);
}

// The first part of a split host command, when the entry is one of its parts.
KERNEL_ENTRY* psFirstPart(KERNEL_ENTRY* ps) {
    if (ps->bCommandType == COMMAND_TYPE_STREAM_PIECE || ps->bCommandType == COMMAND_TYPE_CLOSING_PIECE) {
        KERNEL_ENTRY* psHead = psCacheFields(ps)->psStreamHead;
        return psHead != nullptr ? psHead : ps;
    }
    return ps;
}

bool IsJournalIssued(uint16_t wSlot) {
    const NVRAM_QUEUE_ENTRY* ps = psGetNvramQueueEntry(TRUE, wSlot);
    return ps != nullptr && ps->fValid == TRUE && ps->fIssued != FALSE;
}

void SetHoldRelease(KERNEL_ENTRY* psEntry, uint64_t lFlag) {
    SetFlag(psEntry, lFlag);
    NoteOptimisationHoldRelease();
    KERNEL_ENTRY* psFirst = psFirstPart(psEntry);
    const bool fSplit = psFirst->bCommandType == COMMAND_TYPE_STREAM_HEAD ||
                        psFirst->bCommandType == COMMAND_TYPE_CONTINUATION;
    // A write whose journal slot was issued is on its way to the drives.
    if (!fSplit || IsJournalIssued(psFirst->wIndex)) return;
    SetFlag(psFirst, lFlag);
    uint32_t dLeft = psFirst->wTotalChildren > 0 ? psFirst->wTotalChildren - 1u : 0u;
    for (uint16_t w = 0; w < HOST_ENTRY_COUNT && dLeft != 0; w++) {
        KERNEL_ENTRY* ps = psEntryOf(w);
        if (ps == psFirst || ps->fUsed != TRUE || ps->bPortCode != psFirst->bPortCode) continue;
        if (ps->bCommandType != COMMAND_TYPE_STREAM_PIECE && ps->bCommandType != COMMAND_TYPE_CLOSING_PIECE) continue;
        if (psCacheFields(ps)->psStreamHead != psFirst) continue;
        SetFlag(ps, lFlag);
        dLeft--;
    }
}

// The newest write over a read may hand it its data: the write covers the
// whole read and holds all its data.
bool CanServe(const KERNEL_ENTRY* psWrite, const SPANS& sWrite, const SPANS& sRead) {
    if (bGetCacheSetting207() != TRUE || sWrite.bSegments != 1 || sRead.bSegments != 1) return false;
    if (sWrite.asCommand[0].lStart > sRead.asCommand[0].lStart || sWrite.asCommand[0].lEnd < sRead.asCommand[0].lEnd) {
        return false;
    }
    // The buffer holds the blocks of the write's current pass only (its
    // span runs on for the whole command from the pass's start): a read
    // past them would be given the pages beyond, a former pass's data.
    if (sRead.asCommand[0].lEnd > sWrite.asCommand[0].lStart + psWrite->wBlocks) return false;
    return HasFlag(psWrite, KE_FLAG_DATA_COMPLETE) && psCacheFields(psWrite)->wBlocksInOrder >= psWrite->wBlocks &&
           psWrite->bCommandType != COMMAND_TYPE_PARITY_HEAD && psWrite->bPrimaryState != HOST_STATE_CHILDREN_WAIT;
}

// The end of the stripe row that holds the last of the blocks.
uint64_t lRowEndOf(uint8_t bRank, uint64_t lLast) {
    uint64_t lRankStart = 0;
    GetRankStartAddress(bRank, &lRankStart);
    const uint64_t lRow = dGetRankRowDataBlocks(bRank) != 0 ? dGetRankRowDataBlocks(bRank) : 1;
    return lRankStart + ((lLast - lRankStart) / lRow + 1) * lRow;
}

// Two single-segment writes in the same rows of a rank, at places of one
// stripe unit that do not meet, need not be ordered (the scan kind, with
// setting 206).
bool IsUnitCollapsePair(const KERNEL_ENTRY* psCommand, const SPANS& sCommand, uint16_t wNode) {
    const OUTSTANDING_IO_NODE& s = s_asNode[wNode];
    const KERNEL_ENTRY* psOlder = psEntryOf(wNode);
    if (sCommand.bSegments != 1 || s.sSpans.bSegments != 1) return false;
    if (sCommand.asRow[0].lStart != s.sSpans.asRow[0].lStart || sCommand.asRow[0].lEnd != s.sSpans.asRow[0].lEnd) {
        return false;
    }
    const uint8_t bRank = psCommand->bRank;
    const uint32_t dUnit = wGetRankChunkSize(bRank);
    const uint64_t lMine = sCommand.asCommand[0].lEnd - sCommand.asCommand[0].lStart;
    const uint64_t lTheirs = s.sSpans.asCommand[0].lEnd - s.sSpans.asCommand[0].lStart;
    if (dUnit == 0 || lMine + lTheirs > dUnit || fIsStripeInitInProgress(bRank) == TRUE) return false;
    const SPAN sMine = {psCommand->lRankAddress % dUnit, psCommand->lRankAddress % dUnit + lMine};
    const SPAN sTheirs = {psOlder->lRankAddress % dUnit, psOlder->lRankAddress % dUnit + lTheirs};
    return !Overlaps(sMine, sTheirs);
}

// An older write-back write wholly inside the command's blocks is carried by
// it (the scan kind, with setting 209).
bool IsSuperseded(const KERNEL_ENTRY* psCommand, const SPANS& sCommand, uint16_t wNode) {
    const KERNEL_ENTRY* psOlder = psEntryOf(wNode);
    const OUTSTANDING_IO_NODE& s = s_asNode[wNode];
    if (!HasFlag(psOlder, KE_FLAG_WRITE_BACK) || HasFlag(psCommand, KE_FLAG_SNAPSHOT | KE_FLAG_COLLAPSES)) return false;
    const uint8_t bState = psOlder->bPrimaryState;
    if (bState == HOST_STATE_STATUS || bState == HOST_STATE_COMPLETE || bState == HOST_STATE_WRITE_ISSUED) return false;
    return s.sRows.lStart >= sCommand.asCommand[0].lStart && s.sRows.lEnd <= sCommand.asCommand[0].lEnd;
}

LUN_QUEUE* psLunQueue(uint8_t bQueue, uint16_t wLun) { return wLun < LUN_COUNT ? &s_aasLun[bQueue][wLun] : nullptr; }

void ResetNode(uint16_t wIndex) {
    OUTSTANDING_IO_NODE& s = s_asNode[wIndex];
    std::memset(&s, 0, sizeof(s));
    s.wLeft = s.wRight = s.wParent = s.wPrev = s.wNext = NO_NODE;
    s.wLun = NO_LUN_INDEX;
    s.wTag = NO_TAG;
    s.bRank = s.bSecondRank = s.bSegmentIndex = 0xFF;
    s.bKind = KIND_NONE;
    s.fInUse = FALSE;
    s.fStale = FALSE;
    s.fParked = FALSE;
}

void FillFromEntry(uint16_t wIndex, const KERNEL_ENTRY* psEntry) {
    OUTSTANDING_IO_NODE& s = s_asNode[wIndex];
    s.sSpans = sSpansOf(psEntry);
    s.sRows = sHull(s.sSpans.asRow, s.sSpans.bSegments);
}

bool CountsForRank(const OUTSTANDING_IO_NODE& s) { return s.bKind == KIND_WRITE && s.sSpans.bSegments == 1; }

void Insert(KERNEL_ENTRY* psEntry, uint8_t bKind, bool fReinsert) {
    const uint8_t bQueue = bKind == KIND_WRITE ? WRITES : READS;
    LUN_QUEUE* psLun = psLunQueue(bQueue, psEntry->wLunIndex);
    const uint16_t wIndex = psEntry->wIndex;
    OUTSTANDING_IO_NODE& s = s_asNode[wIndex];
    // A command is in one queue once.
    if (psLun == nullptr || (s.fInUse == TRUE && !fReinsert)) return;
    s.bKind = bKind;
    s.lInsertSequence = s_lInsertSequence++;
    if (!fReinsert) FillFromEntry(wIndex, psEntry);
    s.bRank = psEntry->bRank;
    s.bSecondRank = psEntry->bSegmentCount == 2 ? psEntry->bSecondRank : 0xFF;
    s.lArrival = lArrivalOf(psEntry);
    s.wLun = psEntry->wLunIndex;
    s.wTag = pHostFields(psEntry)->wDataServiceTag;
    s.bSegmentIndex = psEntry->bSegmentIndex;
    s.fInUse = TRUE;
    s.fStale = FALSE;
    SetFlag(psEntry, bKind == KIND_WRITE ? KE_FLAG_IN_WRITE_QUEUE : KE_FLAG_IN_READ_QUEUE);
    if (!fReinsert) AppendToLun(psLun, wIndex);
    psLun->dCount++;
    TreeInsert(psLun, wIndex);
    if (CountsForRank(s) && s.bRank < MAX_TRACKED_RANKS) s_adRankWrites[s.bRank]++;
}

void Remove(KERNEL_ENTRY* psEntry, uint8_t bKind, bool fReinsert) {
    const uint8_t bQueue = bKind == KIND_WRITE ? WRITES : READS;
    const uint64_t lFlag = bKind == KIND_WRITE ? KE_FLAG_IN_WRITE_QUEUE : KE_FLAG_IN_READ_QUEUE;
    LUN_QUEUE* psLun = psLunQueue(bQueue, psEntry->wLunIndex);
    const uint16_t wIndex = psEntry->wIndex;
    OUTSTANDING_IO_NODE& s = s_asNode[wIndex];
    if (psLun != nullptr && s.fInUse == TRUE && s.bKind == bKind && s.wLun == psEntry->wLunIndex &&
        HasFlag(psEntry, lFlag)) {
        if (!fReinsert) UnlinkFromLun(psLun, wIndex);
        TreeRemove(psLun, wIndex);
        if (CountsForRank(s) && s.bRank < MAX_TRACKED_RANKS && s_adRankWrites[s.bRank] != 0) s_adRankWrites[s.bRank]--;
        if (psLun->dCount != 0) psLun->dCount--;
        if (!fReinsert) ResetNode(wIndex);
        ClearFlag(psEntry, lFlag);
        // A write that waits for this read goes round its port's "Write
        // Ready" ring, which is served only while the port has work: it
        // would otherwise sleep until the half-second tick raises it.
        if (!fReinsert && bKind == KIND_READ && HasFlag(psEntry, KE_FLAG_OVERLAPS_READ)) {
            SetHostPortWork(PORT_CODE_FC_HOST_1, TRUE);
            SetHostPortWork(PORT_CODE_FC_HOST_2, TRUE);
        }
    }
    if (!fReinsert && psEntry->wLunIndex < LUN_COUNT) ScheduleLunService(psEntry->wLunIndex);
}

void Update(KERNEL_ENTRY* psEntry, uint8_t bKind) {
    const uint16_t wIndex = psEntry->wIndex;
    OUTSTANDING_IO_NODE& s = s_asNode[wIndex];
    if (s.fInUse != TRUE || s.bKind != bKind || s.wLun != psEntry->wLunIndex) return;
    const SPANS sNew = sSpansOf(psEntry);
    if (sNew.asCommand[0].lStart == s.sSpans.asCommand[0].lStart) {
        const bool fWasCounted = CountsForRank(s);
        s.sSpans = sNew;
        s.sRows = sHull(sNew.asRow, sNew.bSegments);
        RefreshUpFrom(wIndex);
        if (fWasCounted != CountsForRank(s) && s.bRank < MAX_TRACKED_RANKS) {
            if (fWasCounted && s_adRankWrites[s.bRank] != 0) s_adRankWrites[s.bRank]--;
            if (!fWasCounted) s_adRankWrites[s.bRank]++;
        }
        return;
    }
    // A new key: out of the tree and in again, keeping its age and its place
    // in the arrival order.
    const uint64_t lSequence = s.lInsertSequence;
    Remove(psEntry, bKind, true);
    FillFromEntry(wIndex, psEntry);
    Insert(psEntry, bKind, true);
    s.lInsertSequence = lSequence;
    s_lInsertSequence--;
}

void InitQueues(uint8_t bQueue) {
    for (LUN_QUEUE& s : s_aasLun[bQueue]) {
        s.wRoot = NO_NODE;
        s.wHead = NO_NODE;
        s.wTail = NO_NODE;
        s.dCount = 0;
        s.wFlaggedLast = NO_NODE;
        s.dFlagged = 0;
    }
    for (uint16_t w = 0; w < HOST_ENTRY_COUNT; w++) {
        if (s_asNode[w].bKind == (bQueue == WRITES ? KIND_WRITE : KIND_READ) || s_asNode[w].fInUse != TRUE) ResetNode(w);
    }
    if (bQueue == WRITES) std::memset(s_adRankWrites, 0, sizeof(s_adRankWrites));
    s_lInsertSequence = 1;
}

// ---- the tree's own soundness ---------------------------------------------------

bool IsSubtreeSound(uint16_t w, uint16_t wParent, uint64_t lMin, uint64_t lMax, uint32_t dDepth) {
    if (w == NO_NODE) return true;
    const OUTSTANDING_IO_NODE& s = s_asNode[w];
    if (dDepth > MAX_TREE_DEPTH || s.wParent != wParent || s.fInUse != TRUE) return false;
    const uint64_t lKey = s.sSpans.asCommand[0].lStart;
    if (lKey < lMin || lKey > lMax) return false;
    if (!IsSubtreeSound(s.wLeft, w, lMin, lKey, dDepth + 1) || !IsSubtreeSound(s.wRight, w, lKey, lMax, dDepth + 1)) {
        return false;
    }
    const int iTilt = iBalance(w);
    const uint16_t wLeft = wHeight(s.wLeft);
    const uint16_t wRight = wHeight(s.wRight);
    if (iTilt > 1 || iTilt < -1 || s.wHeight != 1 + (wLeft > wRight ? wLeft : wRight)) return false;
    if (s.wParked != (s.fParked == TRUE ? 1 : 0) + wParkedIn(s.wLeft) + wParkedIn(s.wRight)) return false;
    SPAN sCover = s.sRows;
    for (uint16_t wChild : {s.wLeft, s.wRight}) {
        if (wChild == NO_NODE) continue;
        if (s_asNode[wChild].sCovered.lStart < sCover.lStart) sCover.lStart = s_asNode[wChild].sCovered.lStart;
        if (s_asNode[wChild].sCovered.lEnd > sCover.lEnd) sCover.lEnd = s_asNode[wChild].sCovered.lEnd;
    }
    return sCover.lStart == s.sCovered.lStart && sCover.lEnd == s.sCovered.lEnd;
}

// ---- dumps ------------------------------------------------------------------------

void PrintAge(const KERNEL_ENTRY* ps) {
    const uint32_t dAge = dGetCoarseTick() - ps->dStartTick;
    if (dAge < 256) {
        ConsolePrintf("%02x", dAge);
    } else {
        ConsolePrintf("xx");
    }
}

void PrintTreeNode(uint16_t w) {
    const OUTSTANDING_IO_NODE& s = s_asNode[w];
    const SPAN sCommand = sHull(s.sSpans.asCommand, s.sSpans.bSegments);
    ConsolePrintf("%03x L%03x:%1x S:%02x%08x-%02x%08x ", w, s.wLun, s.bSegmentIndex & 0xF,
                  static_cast<uint32_t>(s.sRows.lStart >> 32), static_cast<uint32_t>(s.sRows.lStart),
                  static_cast<uint32_t>(s.sRows.lEnd >> 32), static_cast<uint32_t>(s.sRows.lEnd));
    ConsolePrintf("C:%02x%08x-%02x%08x %04x Q:%08x T:", static_cast<uint32_t>(sCommand.lStart >> 32),
                  static_cast<uint32_t>(sCommand.lStart), static_cast<uint32_t>(sCommand.lEnd >> 32),
                  static_cast<uint32_t>(sCommand.lEnd), static_cast<uint32_t>(sCommand.lEnd - sCommand.lStart) & 0xFFFF,
                  static_cast<uint32_t>(s.lArrival));
    PrintAge(psEntryOf(w));
    ConsolePrintf("\n");
    if (s.sSpans.bSegments == 2) ConsolePrintf("           multi-segmented\n");
}

void PrintInOrder(uint16_t w) {
    if (w == NO_NODE) return;
    PrintInOrder(s_asNode[w].wLeft);
    PrintTreeNode(w);
    PrintInOrder(s_asNode[w].wRight);
}

void PrintListRecord(uint16_t w) {
    const OUTSTANDING_IO_NODE& s = s_asNode[w];
    const KERNEL_ENTRY* ps = psEntryOf(w);
    const SPAN& r = s.sSpans.asRow[0];
    const SPAN& c = s.sSpans.asCommand[0];
    ConsolePrintf("%03x L%03x:%1x S%02x%08x-%02x%08x ", w, s.wLun, s.bSegmentIndex & 0xF,
                  static_cast<uint32_t>(r.lStart >> 32), static_cast<uint32_t>(r.lStart),
                  static_cast<uint32_t>(r.lEnd >> 32), static_cast<uint32_t>(r.lEnd));
    ConsolePrintf("C%02x%08x-%02x%08x %04x Q%08x T", static_cast<uint32_t>(c.lStart >> 32),
                  static_cast<uint32_t>(c.lStart), static_cast<uint32_t>(c.lEnd >> 32), static_cast<uint32_t>(c.lEnd),
                  static_cast<uint32_t>(c.lEnd - c.lStart) & 0xFFFF, static_cast<uint32_t>(s.lArrival));
    PrintAge(ps);
    ConsolePrintf(" P%02x\n", ps->bPrimaryState);
    if (s.sSpans.bSegments != 2) return;
    const SPAN& r2 = s.sSpans.asRow[1];
    const SPAN& c2 = s.sSpans.asCommand[1];
    ConsolePrintf("            S%02x%08x->%02x%08x C%02x%08x->%02x%08x\n", static_cast<uint32_t>(r2.lStart >> 32),
                  static_cast<uint32_t>(r2.lStart), static_cast<uint32_t>(r2.lEnd >> 32),
                  static_cast<uint32_t>(r2.lEnd), static_cast<uint32_t>(c2.lStart >> 32),
                  static_cast<uint32_t>(c2.lStart), static_cast<uint32_t>(c2.lEnd >> 32), static_cast<uint32_t>(c2.lEnd));
}

void DumpQueues(uint8_t bQueue) {
    const uint16_t wLds = wGetLogicalDriveCount() < LUN_COUNT ? wGetLogicalDriveCount() : LUN_COUNT;
    if (UseTree()) {
        for (uint16_t l = 0; l < wLds; l++) {
            const LUN_QUEUE& s = s_aasLun[bQueue][l];
            ConsolePrintf("LUN:%03x Count:%04x Root:%08x\n", l, s.dCount,
                          s.wRoot == NO_NODE ? 0u : dAddressWord(&s_asNode[s.wRoot]));
            PrintInOrder(s.wRoot);
            ConsolePrintf("\n");
        }
        return;
    }
    for (uint16_t l = 0; l < wLds; l++) {
        const LUN_QUEUE& s = s_aasLun[bQueue][l];
        ConsolePrintf("LUN:%03x Count:%04x Queue Head:%04x Queue Tail:%04x\n", l, s.dCount, s.wHead, s.wTail);
    }
    for (uint16_t l = 0; l < wLds; l++) {
        const LUN_QUEUE& s = s_aasLun[bQueue][l];
        if (s.dCount == 0) continue;
        for (uint16_t w = s.wHead; w != NO_NODE; w = s_asNode[w].wNext) PrintListRecord(w);
        ConsolePrintf("\n");
    }
}

}  // namespace

void InitOutstandingWriteQueues() { InitQueues(WRITES); }
void InitOutstandingReadQueues() { InitQueues(READS); }
void InsertOutstandingWrite(KERNEL_ENTRY* psEntry) { Insert(psEntry, KIND_WRITE, false); }
void InsertOutstandingRead(KERNEL_ENTRY* psEntry) { Insert(psEntry, KIND_READ, false); }
void RemoveOutstandingWrite(KERNEL_ENTRY* psEntry) { Remove(psEntry, KIND_WRITE, false); }
void RemoveOutstandingRead(KERNEL_ENTRY* psEntry) { Remove(psEntry, KIND_READ, false); }
void UpdateOutstandingWrite(KERNEL_ENTRY* psEntry) { Update(psEntry, KIND_WRITE); }
void UpdateOutstandingRead(KERNEL_ENTRY* psEntry) { Update(psEntry, KIND_READ); }

uint8_t bCheckReadAgainstWrites(KERNEL_ENTRY* psEntry, uint16_t wBlocks, uint8_t fStrict) {
    if (psEntry->bCommandType == COMMAND_TYPE_EXPANSION) return ORDER_GO;
    if (dGetLunOutstandingWrites(psEntry->wLunIndex) == 0) return ORDER_GO;
    const bool fStrictly = fStrict == TRUE;
    SPANS sRead = sSpansOf(psEntry);
    const bool fParity = IsDegradedParityRank(psEntry->bRank);
    SPAN asSearch[2];
    for (uint8_t b = 0; b < sRead.bSegments; b++) asSearch[b] = fParity ? sRead.asRow[b] : sRead.asCommand[b];
    if (fStrictly) {
        const uint64_t lStart = sRead.asCommand[0].lStart;
        const uint64_t lLast = lStart + (wBlocks == 0 ? 0 : wBlocks - 1u);
        asSearch[0].lEnd = fParity ? lRowEndOf(psEntry->bRank, lLast) : lStart + wBlocks;
        sRead.asCommand[0].lEnd = lStart + wBlocks;
    }
    const uint16_t wFound = wCollect(psEntry->wLunIndex, KIND_WRITE, asSearch, sRead.bSegments);
    uint16_t wNewest = NO_NODE;
    uint16_t wOverlapping = 0;
    for (uint16_t w = 0; w < wFound; w++) {
        const uint16_t wNode = s_awCandidate[w];
        if (!IsEligible(wNode, psEntry, READ_BEHIND_WRITE, fStrictly)) continue;
        const OUTSTANDING_IO_NODE& s = s_asNode[wNode];
        if (!AnyOverlap(s.sSpans.asCommand, s.sSpans.bSegments, asSearch, sRead.bSegments)) continue;
        s_awCandidate[wOverlapping++] = wNode;
        if (wNewest == NO_NODE || s.lInsertSequence > s_asNode[wNewest].lInsertSequence) wNewest = wNode;
    }
    if (wNewest == NO_NODE) return ORDER_GO;
    KERNEL_ENTRY* psWrite = psEntryOf(wNewest);
    if (!fParity && !fStrictly && !HasFlag(psEntry, KE_FLAG_SNAPSHOT) &&
        CanServe(psWrite, s_asNode[wNewest].sSpans, sRead)) {
        CACHE_ENTRY_FIELDS* psCache = psCacheFields(psEntry);
        psCacheFields(psWrite)->wReaderCount++;
        psEntry->dBufferHandle = psWrite->dBufferHandle +
            static_cast<uint32_t>(sRead.asCommand[0].lStart - s_asNode[wNewest].sSpans.asCommand[0].lStart) * BLOCK_BYTES;
        psCache->wServingWrite = wNewest;
        return ORDER_SERVED;
    }
    // The writes the read waits for go on at once.
    for (uint16_t w = 0; w < wOverlapping; w++) SetHoldRelease(psEntryOf(s_awCandidate[w]), KE_FLAG_HOLD_RELEASE_A);
    return ORDER_WAIT;
}

uint8_t bFindBlockingWrite(KERNEL_ENTRY* psEntry, uint16_t* pwBlockingIndex, uint8_t fAllWrites, uint8_t fWaitIfAny,
                           uint8_t /*fUnused*/) {
    *pwBlockingIndex = NO_ENTRY_LINK;
    const SPANS sCommand = sSpansOf(psEntry);
    const bool fParity = IsParityLevel(psEntry->bRank) || (sCommand.bSegments == 2 && IsParityLevel(psEntry->bSecondRank));
    const bool fWaitAny = fWaitIfAny == TRUE;
    CACHE_ENTRY_FIELDS* psCache = psCacheFields(psEntry);

    // A write let go at once (a read waits for it, or the cache for its
    // pages) lets go the older writes it waits for in turn: held for
    // writes that may join them, they would hold it, and its reader, for
    // their whole hold (seconds).
    const bool fReleased = HasFlag(psEntry, KE_FLAG_HOLD_RELEASE_A | KE_FLAG_HOLD_RELEASE_B | KE_FLAG_HOLD_RELEASE_C);
    // A blocker recorded by an earlier call holds until it is gone.
    if (psCache->wBlockingLink < HOST_ENTRY_COUNT) {
        const OUTSTANDING_IO_NODE& s = s_asNode[psCache->wBlockingLink];
        const bool fStill = s.fInUse == TRUE && s.lArrival == psCache->lBlockerArrival &&
                            !IsStale(psCache->wBlockingLink) &&
                            !IsFinished(psEntryOf(psCache->wBlockingLink), WRITE_BEHIND_WRITE) &&
                            (!fParity || AnyOverlap(s.sSpans.asRow, s.sSpans.bSegments, sCommand.asRow, sCommand.bSegments));
        if (fStill && fReleased) SetHoldRelease(psEntryOf(psCache->wBlockingLink), KE_FLAG_HOLD_RELEASE_A);
        if (fStill && fWaitAny) return ORDER_WAIT;
        if (!fStill) psCache->wBlockingLink = NO_ENTRY_LINK;
    }

    const bool fScan = !UseTree();
    const uint16_t wFound = wCollect(psEntry->wLunIndex, KIND_WRITE, sCommand.asRow, sCommand.bSegments);
    uint16_t wSharers = 0;
    uint16_t wSharer = NO_NODE;
    bool fBlocked = false;
    for (uint16_t w = 0; w < wFound; w++) {
        const uint16_t wNode = s_awCandidate[w];
        if (!IsEligible(wNode, psEntry, WRITE_BEHIND_WRITE, fAllWrites == TRUE)) continue;
        const OUTSTANDING_IO_NODE& s = s_asNode[wNode];
        if (fScan && bGetCacheSetting206() == TRUE && IsUnitCollapsePair(psEntry, sCommand, wNode)) {
            SetFlag(psEntry, KE_FLAG_UNIT_COLLAPSE);
            continue;
        }
        if (fScan && bGetCacheSetting209() == TRUE && fAllWrites == TRUE && sCommand.bSegments == 1 && !fBlocked &&
            wSharers <= 1 && IsSuperseded(psEntry, sCommand, wNode)) {
            SetFlag(psEntry, KE_FLAG_COLLAPSES | KE_FLAG_WRITE_WAITS);
            SetFlag(psEntryOf(wNode), KE_FLAG_MAY_COLLAPSE);
            psCache->wCollapseLink = wNode;
            return ORDER_GO;
        }
        const bool fRow = fParity && AnyOverlap(s.sSpans.asRow, s.sSpans.bSegments, sCommand.asRow, sCommand.bSegments);
        const bool fCommand =
            AnyOverlap(s.sSpans.asCommand, s.sSpans.bSegments, sCommand.asCommand, sCommand.bSegments);
        if (fRow) {
            wSharers++;
            wSharer = wNode;
        }
        if (fCommand) {
            fBlocked = true;
            if (!fWaitAny) SetHoldRelease(psEntryOf(wNode), KE_FLAG_HOLD_RELEASE_A);
        }
        if (fRow && fReleased) SetHoldRelease(psEntryOf(wNode), KE_FLAG_HOLD_RELEASE_A);
        if (!fRow && !fCommand) continue;
        const uint16_t wRecorded = psCache->wBlockingLink;
        if (wRecorded >= HOST_ENTRY_COUNT || s.lInsertSequence < s_asNode[wRecorded].lInsertSequence) {
            psCache->wBlockingLink = wNode;
            psCache->lBlockerArrival = s.lArrival;
        }
    }
    if (fWaitAny) return (fBlocked || wSharers != 0) ? ORDER_WAIT : ORDER_GO;
    if (fBlocked) {
        if (!HasFlag(psEntry, KE_FLAG_WRITE_WAITS)) CountWriteWriteCollision();
        SetFlag(psEntry, KE_FLAG_WRITE_WAITS);
        return ORDER_WAIT;
    }
    if (wSharers == 0) return ORDER_GO;
    if (wSharers == 1) {
        *pwBlockingIndex = wSharer;
        return ORDER_SHARES_ONE;
    }
    if (!HasFlag(psEntry, KE_FLAG_WRITE_WAITS)) CountWriteStripeCollision();
    SetFlag(psEntry, KE_FLAG_WRITE_WAITS);
    return ORDER_SHARES_MANY;
}

namespace {

bool IsWaitingHold(const KERNEL_ENTRY* ps) { return ps->bPrimaryState == ROW_HOLD_WAITING; }

// The write cannot reach the drives before the served command is done: it
// is the served command (a part of it), or is held behind it (as a write, or
// as a read whose blocks it overlaps), or behind another job's hold still
// waiting for its own older writes; or it is that hold (its job has not
// started, and two jobs never work on the same rows at once).
bool WaitsForServed(KERNEL_ENTRY* psWrite, const SPANS& sWrite, KERNEL_ENTRY* psServed) {
    if (IsWaitingHold(psWrite)) return true;
    KERNEL_ENTRY* psFirst = psFirstPart(psServed);
    if (psFirstPart(psWrite) == psFirst) return true;
    const uint16_t wLink = psCacheFields(psWrite)->wBlockingLink;
    if (wLink < HOST_ENTRY_COUNT) {
        KERNEL_ENTRY* psBlocker = psEntryOf(wLink);
        if (psFirstPart(psBlocker) == psFirst || IsWaitingHold(psBlocker)) return true;
    }
    if (!HasFlag(psServed, KE_FLAG_IN_READ_QUEUE) || !HasFlag(psWrite, KE_FLAG_OVERLAPS_READ)) return false;
    const SPANS sRead = sSpansOf(psServed);
    return AnyOverlap(sRead.asCommand, sRead.bSegments, sWrite.asCommand, sWrite.bSegments);
}

}  // namespace

uint8_t bFindOlderRowWrite(KERNEL_ENTRY* psHold, KERNEL_ENTRY* psServed) {
    const SPANS sHold = sSpansOf(psHold);
    const uint16_t wFound = wCollect(psHold->wLunIndex, KIND_WRITE, sHold.asRow, sHold.bSegments);
    bool fWait = false;
    for (uint16_t w = 0; w < wFound; w++) {
        const uint16_t wNode = s_awCandidate[w];
        if (!IsEligible(wNode, psHold, WRITE_BEHIND_WRITE, true)) continue;
        const OUTSTANDING_IO_NODE& s = s_asNode[wNode];
        if (!AnyOverlap(s.sSpans.asRow, s.sSpans.bSegments, sHold.asRow, sHold.bSegments) &&
            !AnyOverlap(s.sSpans.asCommand, s.sSpans.bSegments, sHold.asCommand, sHold.bSegments)) {
            continue;
        }
        KERNEL_ENTRY* psWrite = psEntryOf(wNode);
        if (WaitsForServed(psWrite, s.sSpans, psServed)) continue;
        SetHoldRelease(psWrite, KE_FLAG_HOLD_RELEASE_A);
        fWait = true;
    }
    return fWait ? ORDER_WAIT : ORDER_GO;
}

uint8_t fIsPassedByUnitCollapse(const KERNEL_ENTRY* psOlder, const KERNEL_ENTRY* psJoining) {
    // Only the list kind lets a write pass another on that rule.
    if (UseTree() || bGetCacheSetting206() != TRUE) return FALSE;
    const uint16_t wOwn = psOlder->wIndex;
    if (wOwn >= HOST_ENTRY_COUNT || s_asNode[wOwn].fInUse != TRUE || s_asNode[wOwn].bKind != KIND_WRITE) return FALSE;
    const OUTSTANDING_IO_NODE& sOwn = s_asNode[wOwn];
    const uint16_t wFound = wCollect(sOwn.wLun, KIND_WRITE, sOwn.sSpans.asRow, sOwn.sSpans.bSegments);
    for (uint16_t w = 0; w < wFound; w++) {
        const uint16_t wNode = s_awCandidate[w];
        if (wNode == wOwn || psEntryOf(wNode) == psJoining || s_asNode[wNode].lInsertSequence < sOwn.lInsertSequence) {
            continue;
        }
        if (HasFlag(psEntryOf(wNode), KE_FLAG_UNIT_COLLAPSE)) return TRUE;
    }
    return FALSE;
}

uint8_t bCheckWriteOverlap(KERNEL_ENTRY* psEntry) {
    if (dGetLunOutstandingReads(psEntry->wLunIndex) == 0) return ORDER_GO;
    const SPANS sWrite = sSpansOf(psEntry);
    const uint16_t wFound = wCollect(psEntry->wLunIndex, KIND_READ, sWrite.asCommand, sWrite.bSegments);
    bool fOverlap = false;
    for (uint16_t w = 0; w < wFound; w++) {
        const uint16_t wNode = s_awCandidate[w];
        if (!IsEligible(wNode, psEntry, WRITE_BEHIND_READ, false)) continue;
        const OUTSTANDING_IO_NODE& s = s_asNode[wNode];
        const bool fRows = IsDegradedParityRank(s.bRank) ||
                           (s.sSpans.bSegments == 2 && (bGetRankRaidLevel(s.bSecondRank) == RAID_LEVEL_5 ||
                                                        bGetRankRaidLevel(s.bSecondRank) == RAID_LEVEL_50));
        const SPAN* pasRead = fRows ? s.sSpans.asRow : s.sSpans.asCommand;
        if (!AnyOverlap(pasRead, s.sSpans.bSegments, sWrite.asCommand, sWrite.bSegments)) continue;
        SetFlag(psEntryOf(wNode), KE_FLAG_OVERLAPS_READ);
        fOverlap = true;
    }
    if (!fOverlap) return ORDER_GO;
    if (!HasFlag(psEntry, KE_FLAG_OVERLAPS_READ)) CountWriteReadCollision();
    SetFlag(psEntry, KE_FLAG_OVERLAPS_READ);
    return ORDER_WAIT;
}

void SetHoldReleaseFlagA(KERNEL_ENTRY* psEntry) { SetHoldRelease(psEntry, KE_FLAG_HOLD_RELEASE_A); }
void SetHoldReleaseFlagB(KERNEL_ENTRY* psEntry) { SetHoldRelease(psEntry, KE_FLAG_HOLD_RELEASE_B); }

void ResetAllOutstandingWrites() {
    for (uint16_t w = 0; w < HOST_ENTRY_COUNT; w++) {
        KERNEL_ENTRY* ps = psEntryOf(w);
        if (ps->fUsed == TRUE) SetFlag(ps, KE_FLAG_HOLD_RELEASE_A | KE_FLAG_HOLD_RELEASE_B);
    }
    NoteOptimisationHoldRelease();
}

void ResetAllOutstandingReads() {
    for (uint16_t w = 0; w < HOST_ENTRY_COUNT; w++) {
        KERNEL_ENTRY* ps = psEntryOf(w);
        if (ps->fUsed == TRUE) SetFlag(ps, KE_FLAG_HOLD_RELEASE_C);
    }
}

void ReleaseInitiatorLunWrites(uint8_t bPortCode, uint16_t wInitiator, uint16_t wLun) {
    for (uint16_t w = 0; w < HOST_ENTRY_COUNT; w++) {
        KERNEL_ENTRY* ps = psEntryOf(w);
        if (ps->fUsed != TRUE || ps->bPortCode != bPortCode || ps->wLunIndex != wLun) continue;
        if (wGetCommandInitiator(ps) == wInitiator) SetFlag(ps, KE_FLAG_HOLD_RELEASE_A | KE_FLAG_HOLD_RELEASE_B);
    }
}

uint32_t dCountOlderInitiatorWrites(uint8_t bPortCode, uint16_t wInitiator, uint16_t wLun, uint64_t lArrival) {
    uint32_t dCount = 0;
    for (uint16_t w = 0; w < HOST_ENTRY_COUNT; w++) {
        const KERNEL_ENTRY* ps = psEntryOf(w);
        if (ps->fUsed != TRUE || ps->bPortCode != bPortCode || ps->wLunIndex != wLun) continue;
        const uint8_t* pbCdb = pGetCommandCdb(ps);
        if (wGetCommandInitiator(ps) != wInitiator || pbCdb == nullptr || pbCdb[0] != SCSI_WRITE16) continue;
        if (lArrivalOf(ps) < lArrival && !HasFlag(ps, KE_FLAG_ABORTED)) dCount++;
    }
    return dCount;
}

void FlagLunOutstandingWrites(uint16_t wLun, uint32_t dCount) {
    LUN_QUEUE* psLun = psLunQueue(WRITES, wLun);
    if (psLun == nullptr || dCount <= psLun->dFlagged) return;
    dCount -= psLun->dFlagged;
    uint16_t w = psLun->dFlagged == 0 ? psLun->wHead : s_asNode[psLun->wFlaggedLast].wNext;
    for (; w != NO_NODE && dCount != 0; w = s_asNode[w].wNext, dCount--) {
        SetFlag(psEntryOf(w), KE_FLAG_HOLD_RELEASE_C);
        s_asNode[w].fReleaseFlagged = TRUE;
        psLun->wFlaggedLast = w;
        psLun->dFlagged++;
    }
}

uint32_t dGetLunOutstandingWrites(uint16_t wLun) { return wLun < LUN_COUNT ? s_aasLun[WRITES][wLun].dCount : 0; }
uint32_t dGetLunOutstandingReads(uint16_t wLun) { return wLun < LUN_COUNT ? s_aasLun[READS][wLun].dCount : 0; }
uint32_t dGetRankOutstandingWrites(uint8_t bRank) { return bRank < MAX_TRACKED_RANKS ? s_adRankWrites[bRank] : 0; }

namespace {

uint64_t lKeyOf(uint16_t w) { return s_asNode[w].sSpans.asCommand[0].lStart; }

// The first parked write of rank bRank in the subtree, in the sweep's order
// from lFrom on.  Subtrees without a parked write are never entered, so the
// search costs the tree's height whatever else the LUN holds.
uint16_t wFirstParked(uint16_t w, uint64_t lFrom, bool fUp, uint8_t bRank) {
    if (w == NO_NODE || s_asNode[w].wParked == 0) return NO_NODE;
    const OUTSTANDING_IO_NODE& s = s_asNode[w];
    const uint16_t wNear = fUp ? s.wLeft : s.wRight;   // the side met first
    const uint16_t wFar = fUp ? s.wRight : s.wLeft;
    if (fUp ? lKeyOf(w) < lFrom : lKeyOf(w) > lFrom) return wFirstParked(wFar, lFrom, fUp, bRank);
    const uint16_t wFound = wFirstParked(wNear, lFrom, fUp, bRank);
    if (wFound != NO_NODE) return wFound;
    if (s.fParked == TRUE) {
        const KERNEL_ENTRY* ps = psEntryOf(w);
        if (ps != nullptr && ps->bPrimaryState == HOST_STATE_WRITE_SORT && ps->bRank == bRank) return w;
    }
    return wFirstParked(wFar, lFrom, fUp, bRank);
}

}  // namespace

void MarkOutstandingWriteParked(KERNEL_ENTRY* psEntry, uint8_t fParked) {
    const uint16_t w = psEntry->wIndex;
    if (w >= HOST_ENTRY_COUNT) return;
    OUTSTANDING_IO_NODE& s = s_asNode[w];
    const uint8_t fNew = fParked == TRUE && s.fInUse == TRUE && s.bKind == KIND_WRITE ? TRUE : FALSE;
    if (s.fParked == fNew) return;
    s.fParked = fNew;
    if (s.fInUse == TRUE) RefreshUpFrom(w);
}

KERNEL_ENTRY* psFindParkedWriteInAddressOrder(uint16_t wLun, uint64_t lFrom, uint8_t fAscending, uint8_t bRank) {
    const LUN_QUEUE* psLun = psLunQueue(WRITES, wLun);
    if (psLun == nullptr) return nullptr;
    const uint16_t w = wFirstParked(psLun->wRoot, lFrom, fAscending == TRUE, bRank);
    return w == NO_NODE ? nullptr : psEntryOf(w);
}

void DumpOutstandingWriteQueue() {
    ConsolePrintf("\n\nOutstanding Write Queue:\n");
    DumpQueues(WRITES);
    ConsolePrintf("\nEnd of Outstanding Write Queue\n\n");
}

void DumpOutstandingReadQueue() {
    ConsolePrintf("\n\nOutstanding Read Queue:\n");
    DumpQueues(READS);
    ConsolePrintf("\nEnd of Outstanding Read Queue\n\n");
}

uint8_t fIsOutstandingTreeSound(uint16_t wLun) {
    if (wLun >= LUN_COUNT) return FALSE;
    for (uint8_t bQueue : {WRITES, READS}) {
        const uint16_t wRoot = s_aasLun[bQueue][wLun].wRoot;
        if (!IsSubtreeSound(wRoot, NO_NODE, 0, ~0ull, 0)) return FALSE;
    }
    return TRUE;
}

}  // namespace fw
