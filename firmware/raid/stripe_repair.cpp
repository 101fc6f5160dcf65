// Stripe consistency repair of the resync requests: the walk of each RAID
// level over a request's range, its repair groups (children of the request,
// part of no host command) and their completion.
//
// A request keeps where its walk stands (its rank address and the blocks
// left): when entries or pages run short the piece is kept and the walk goes
// on from it at the next call, so no stripe of the range is left stale.
#include "raid/stripe_repair.h"

#include <cstring>

#include "cache/flush_sequencer.h"
#include "cache/nvram_journal.h"
#include "config/rank_table.h"
#include "executive/buffer_pages.h"
#include "executive/types.h"
#include "hw/scsi.h"
#include "raid/child_commands.h"
#include "raid/raid_engine.h"
#include "raid/xor_engine.h"
#include "target/back_end_completion.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"

namespace fw {

namespace {

constexpr uint8_t PS_REPAIR_GROUP_READS = 0x9C;   // the head waits for its reads
constexpr uint8_t PS_REPAIR_GROUP_XOR = 0x49;     // the head waits for its parity
constexpr uint8_t MEMBER_UNREACHABLE = 255;
constexpr uint8_t NO_COLUMN = 0xFF;

// What a RAID 6 group rewrites, by the member its row is missing.
constexpr uint8_t R6_REPAIR_PQ = 64;        // nothing missing: P and Q
constexpr uint8_t R6_REPAIR_P_ONLY = 65;    // Q missing
constexpr uint8_t R6_REPAIR_Q_ONLY = 66;    // P missing
constexpr uint8_t R6_REPAIR_DATA_LOST = 67; // a data member missing: Q from P and the others
// Slots of a RAID 6 group's pages: P, Q, then the data columns.
constexpr uint32_t R6_SLOT_P = 0;
constexpr uint32_t R6_SLOT_Q = 1;
constexpr uint32_t R6_SLOT_DATA = 2;

// ---- requests ---------------------------------------------------------------

void RequestDone(KERNEL_ENTRY* psRequest) {
    psRequest->bPrimaryState = PS_RESYNC_DONE;
    IncCacheFlushActivity();
}

// The walk of a request stopped: with its groups all out it waits for
// them; with nothing out it is done now.
void WalkEnded(KERNEL_ENTRY* psRequest) {
    psRequest->wBlocks = 0;
    if (psRequest->wChildrenOutstanding == 0) {
        RequestDone(psRequest);
    } else {
        psRequest->bPrimaryState = PS_RESYNC_REPAIRING;
    }
}

// A shortage stopped the walk: the request waits for the next call, which
// goes on from the piece that could not be issued.
void WalkHeld(KERNEL_ENTRY* psRequest, uint64_t L, uint32_t B) {
    psRequest->lRankAddress = L;
    psRequest->wBlocks = static_cast<uint16_t>(B);
    psRequest->bPrimaryState = PS_RESYNC_WAITING;
}

void GroupDone(KERNEL_ENTRY* psRequest, bool fFailed) {
    if (fFailed) SetFlag(psRequest, KE_FLAG_CHILD_FAILED);
    if (psRequest->wChildrenOutstanding != 0) --psRequest->wChildrenOutstanding;
    if (psRequest->wChildrenOutstanding == 0 && psRequest->bPrimaryState == PS_RESYNC_REPAIRING) {
        RequestDone(psRequest);
    }
}

void CountGroup(KERNEL_ENTRY* psRequest) {
    ++psRequest->wChildrenOutstanding;
    ++psRequest->wTotalChildren;
}

bool Reachable(uint8_t bRank, uint8_t bMember) {
    return bGetRankMemberState(bRank, bMember) != MEMBER_UNREACHABLE && bGetRankMemberDrive(bRank, bMember) != NO_DRIVE;
}

// The rebuild of the rank has passed the member blocks of address L of a
// rank with `dData` data members (per row).
bool RebuildHasPassed(uint8_t bRank, uint64_t L, uint32_t dData) {
    return bGetRebuildRank() == bRank && L < static_cast<uint64_t>(dData) * dGetRebuildPosition();
}

// ---- RAID 5/50 groups ---------------------------------------------------------

uint8_t bRaid5Member(uint8_t bSubRank, uint8_t P, uint8_t bParity, uint8_t i) {
    uint8_t m = static_cast<uint8_t>(i + P * bSubRank);
    if (m >= bParity) ++m;
    return m;
}

void FinishGroup(KERNEL_ENTRY* psHead, bool fFailed) {
    KERNEL_ENTRY* psRequest = psHead->psMother;
    FreeChildGroup(psHead, pRaidFields(psHead)->wChildBuilt);
    GroupDone(psRequest, fFailed);
}

// A group's reads are all in: its parity (or P and Q) is computed, and the
// XOR completion sends the writes.
void StartGroupParity(KERNEL_ENTRY* psHead);

// ---- RAID 6 groups ------------------------------------------------------------

struct R6_ROW {
    uint8_t bP;
    uint8_t bQ;
    uint8_t bCase;       // R6_REPAIR_*
    uint8_t bLostColumn; // the missing data column (R6_REPAIR_DATA_LOST)
};

uint8_t bR6Column(uint8_t bMember, uint8_t bP, uint8_t bQ) {
    if (bMember == bP || bMember == bQ) return NO_COLUMN;
    uint8_t c = bMember;
    if (bMember > bP) --c;
    if (bMember > bQ) --c;
    return c;
}

uint8_t bR6Member(uint8_t bColumn, uint8_t bP, uint8_t bQ) {
    uint8_t d = bColumn;
    if (d >= (bP < bQ ? bP : bQ)) ++d;
    if (d >= (bP < bQ ? bQ : bP)) ++d;
    return d;
}

void IssueR6Writes(KERNEL_ENTRY* psHead) {
    RAID_ENTRY_FIELDS* ps = pRaidFields(psHead);
    KERNEL_ENTRY* psQ = psHead + 1;
    const bool fP = ps->bFailureCase == R6_REPAIR_PQ || ps->bFailureCase == R6_REPAIR_P_ONLY;
    const bool fQ = ps->bFailureCase != R6_REPAIR_P_ONLY;
    psHead->wChildrenOutstanding = static_cast<uint16_t>((fP ? 1 : 0) + (fQ ? 1 : 0));
    if (fQ) IssueChild(psQ);
    if (fP) IssueChild(psHead);
}

}  // namespace

// ---------------------------------------------------------------------------
// Requests
// ---------------------------------------------------------------------------

void StartStripeRepair() {
    KERNEL_ENTRY* ps = nullptr;
    if (FindPortEntryInState(PORT_CODE_FC_HOST_1, PS_RESYNC_WAITING, &ps) != STATUS_FOUND || ps == nullptr) return;
    DecCacheFlushResyncCount();
    switch (bGetRankRaidLevel(ps->bRank)) {
    case RAID_LEVEL_10: RepairRaid10Stripes(ps); break;
    case RAID_LEVEL_5:
    case RAID_LEVEL_50: RepairRaid5Stripes(ps); break;
    case RAID_LEVEL_6: RepairRaid6Stripes(ps); break;
    default: WalkEnded(ps); break;
    }
    // Held by a shortage: asked again on a later cycle.
    if (ps->bPrimaryState == PS_RESYNC_WAITING) IncCacheFlushResyncCount();
}

uint8_t FinishStripeRepair() {
    KERNEL_ENTRY* ps = nullptr;
    if (FindPortEntryInState(PORT_CODE_FC_HOST_1, PS_RESYNC_DONE, &ps) != STATUS_FOUND || ps == nullptr) {
        return STATUS_NOT_FOUND;
    }
    const uint16_t wSlot = ps->wJournalSlot;
    // A repair that failed keeps its slot (taken), so that a restart before
    // the run ends tries the stripes again.
    if (!HasFlag(ps, KE_FLAG_CHILD_FAILED)) {
        if (ps->bCommandType == CT_RESYNC_PARTNER) {
            // A slot the partner has filled again since holds new data.
            BUFFER_HANDLE dHandle = NULL_BUFFER_HANDLE;
            uint16_t wBufferBlocks = 0;
            if (bGetPartnerNvramQueueEntry(wSlot, &dHandle, &wBufferBlocks) != TRUE) {
                ReleasePartnerNvramQueueEntry(wSlot, TRUE);
            }
        } else {
            ClearNvramQueueEntry(wSlot);
        }
    }
    FreeTargetEntry(ps);
    return STATUS_FOUND;
}

// ---------------------------------------------------------------------------
// RAID 1/10
// ---------------------------------------------------------------------------

void RepairRaid10Stripes(KERNEL_ENTRY* psRequest) {
    const uint8_t bRank = psRequest->bRank;
    const uint64_t N = bGetRankDriveCount(bRank) / 2u;
    const uint64_t S = wGetRankChunkSize(bRank);
    uint64_t L = psRequest->lRankAddress;
    uint32_t B = psRequest->wBlocks;
    while (B != 0 && N != 0 && S != 0) {
        const uint32_t dChunk = static_cast<uint32_t>(B < S - L % S ? B : S - L % S);
        const uint8_t p = static_cast<uint8_t>((L % (N * S)) / S);
        const uint32_t dDriveBlock = static_cast<uint32_t>(S * (L / (N * S)) + L % S);
        const uint8_t a = static_cast<uint8_t>(2 * p), b = static_cast<uint8_t>(2 * p + 1);
        const uint8_t fa = bGetRankMemberFlags(bRank, a), fb = bGetRankMemberFlags(bRank, b);
        const bool fUsable = Reachable(bRank, a) && Reachable(bRank, b) &&
                             (fa == MEMBER_ON_LINE || fa == MEMBER_REBUILDING) &&
                             (fb == MEMBER_ON_LINE || fb == MEMBER_REBUILDING) &&
                             (fa == MEMBER_ON_LINE || fb == MEMBER_ON_LINE);
        if (fUsable) {
            const uint8_t bSource = fa == MEMBER_ON_LINE ? a : b;
            if (bIssueMirrorRepairRead(psRequest, bRank, bSource, dDriveBlock, static_cast<uint16_t>(dChunk)) !=
                STATUS_OK) {
                WalkHeld(psRequest, L, B);
                return;
            }
        }
        L += dChunk;
        B -= dChunk;
    }
    WalkEnded(psRequest);
}

// ---------------------------------------------------------------------------
// RAID 5/50
// ---------------------------------------------------------------------------

uint8_t IssueRowParityRepair(KERNEL_ENTRY* psRequest, uint32_t dDriveBlock, uint16_t wBlocks, uint8_t bRank,
                             uint8_t bSubRank, uint8_t bParityMember, uint8_t P) {
    if (P < 2 || wBlocks == 0) return STATUS_OK;
    GROUP_RUN sRun{nullptr, NULL_BUFFER_HANDLE, (static_cast<uint32_t>(wBlocks) * P - 1) / BLOCKS_PER_PAGE + 1, P, FALSE};
    const uint8_t bTaken = bReserveGroupRuns(&sRun, 1, 0, NULL_BUFFER_HANDLE, 0);
    if (bTaken != STATUS_OK) return bTaken;
    KERNEL_ENTRY* psHead = sRun.psFirst;
    BuildChildCommand(psRequest, psHead, SCSI_WRITE10, bRank, bSubRank, bParityMember);
    SetGroupPages(psHead, sRun, wBlocks);
    (void)AddChildSegment(psHead, dGroupSlot(psHead, 0), dDriveBlock, wBlocks, wBlocks, 0, 0);
    psHead->bCommandType = CT_REPAIR_PARITY_WRITE;
    psHead->bPrimaryState = PS_REPAIR_GROUP_READS;
    psHead->wChildrenOutstanding = static_cast<uint16_t>(P - 1);
    psHead->wTotalChildren = static_cast<uint16_t>(P - 1);
    pRaidFields(psHead)->wChildBuilt = P;
    CountGroup(psRequest);
    for (uint8_t i = 0; i + 1 < P; ++i) {
        KERNEL_ENTRY* ps = psHead + 1 + i;
        BuildChildCommand(psHead, ps, SCSI_READ10, bRank, bSubRank, bRaid5Member(bSubRank, P, bParityMember, i));
        (void)AddChildSegment(ps, dGroupSlot(psHead, i + 1u), dDriveBlock, wBlocks, wBlocks, 0, 0);
        ps->bCommandType = CT_REPAIR_DATA_READ;
        ps->wChildrenOutstanding = 1;
        ps->wTotalChildren = 1;
    }
    for (uint8_t i = 0; i + 1 < P; ++i) IssueChild(psHead + 1 + i);
    return STATUS_OK;
}

void RepairRaid5Stripes(KERNEL_ENTRY* psRequest) {
    const uint8_t bRank = psRequest->bRank;
    const uint32_t D = bGetRankDriveCount(bRank);
    const uint32_t G = bGetRankSubRankCount(bRank) == 0 ? 1u : bGetRankSubRankCount(bRank);
    const uint32_t P = D / G;
    const uint32_t S = wGetRankChunkSize(bRank);
    const uint64_t W = static_cast<uint64_t>(S) * (D - G);
    uint64_t L = psRequest->lRankAddress;
    uint32_t B = psRequest->wBlocks;
    if (P < 2 || S == 0) {
        WalkEnded(psRequest);
        return;
    }
    // A rank under a job: only sub-ranks it can read from are repaired.
    bool fRebuiltAllowed = false;
    if (bGetRankOperationState(bRank) != RANK_STATE_OPTIMAL) {
        bool fUsable = false;
        for (uint32_t g = 0; g < G && !fUsable; ++g) {
            if (fIsSubrankIntact(bRank, static_cast<uint8_t>(g)) == TRUE) {
                fUsable = true;
            } else if (fIsSubrankRebuilding(bRank, static_cast<uint8_t>(g)) == TRUE &&
                       RebuildHasPassed(bRank, L, D - G)) {
                fUsable = true;
                fRebuiltAllowed = true;
            }
        }
        if (!fUsable) {
            WalkEnded(psRequest);
            return;
        }
    }
    while (B != 0) {
        const uint64_t lRow = L / W;
        const uint32_t q = static_cast<uint32_t>(lRow % P);
        const uint32_t k = static_cast<uint32_t>((L % W) / S);
        const uint32_t g = k / (P - 1);
        const uint8_t bParity = static_cast<uint8_t>(g * P + q);
        uint32_t dData = k + g;
        if (dData >= bParity) ++dData;
        const uint32_t dOffset = static_cast<uint32_t>(L % S);
        const uint32_t dBase = static_cast<uint32_t>(S * lRow);
        uint32_t dFirst = dBase + dOffset;
        uint32_t dCount = B;
        uint64_t lAdvance = B;
        if (B > S - dOffset) {
            // The data chunks of the same sub-rank's row after this one.
            uint32_t x = 0;
            for (uint32_t m = dData + 1; m < (g + 1) * P; ++m) {
                if (m != bParity) ++x;
            }
            dFirst = x == 0 ? dBase + dOffset : dBase;
            dCount = x == 0 ? S - dOffset : S;
            lAdvance = static_cast<uint64_t>(x) * S + S - dOffset;
        }
        const uint8_t bSubRank = static_cast<uint8_t>(g);
        const bool fRepair = fIsSubrankIntact(bRank, bSubRank) == TRUE ||
                             (fRebuiltAllowed && fIsSubrankRebuilding(bRank, bSubRank) == TRUE);
        if (fRepair && IssueRowParityRepair(psRequest, dFirst, static_cast<uint16_t>(dCount), bRank, bSubRank, bParity,
                                            static_cast<uint8_t>(P)) != STATUS_OK) {
            WalkHeld(psRequest, L, B);
            return;
        }
        L += lAdvance;
        B = lAdvance >= B ? 0 : static_cast<uint32_t>(B - lAdvance);
    }
    WalkEnded(psRequest);
}

// ---------------------------------------------------------------------------
// RAID 6
// ---------------------------------------------------------------------------

namespace {

// One row piece: reads of the data members present (and of P when a data
// member is missing), P and Q recomputed, what is present rewritten.
uint8_t bIssueR6Repair(KERNEL_ENTRY* psRequest, uint8_t bRank, uint8_t D, const R6_ROW& r, uint32_t dDriveBlock,
                       uint16_t wBlocks) {
    const uint8_t W = static_cast<uint8_t>(D - 2);
    const bool fReadP = r.bCase == R6_REPAIR_DATA_LOST;
    const uint16_t wEntries = static_cast<uint16_t>(2 + W + (fReadP ? 1 : 0));
    GROUP_RUN sRun{nullptr, NULL_BUFFER_HANDLE, (static_cast<uint32_t>(wBlocks) * (2u + W) - 1) / BLOCKS_PER_PAGE + 1,
                   wEntries, FALSE};
    const uint8_t bTaken = bReserveGroupRuns(&sRun, 1, 0, NULL_BUFFER_HANDLE, 0);
    if (bTaken != STATUS_OK) return bTaken;
    KERNEL_ENTRY* psHead = sRun.psFirst;
    BuildChildCommand(psRequest, psHead, SCSI_WRITE10, bRank, 0, r.bP);
    SetGroupPages(psHead, sRun, wBlocks);
    (void)AddChildSegment(psHead, dGroupSlot(psHead, R6_SLOT_P), dDriveBlock, wBlocks, wBlocks, 0, 0);
    psHead->bCommandType = CT_REPAIR_R6_P_WRITE;
    psHead->bPrimaryState = PS_REPAIR_GROUP_READS;
    RAID_ENTRY_FIELDS* psRaid = pRaidFields(psHead);
    psRaid->wChildBuilt = wEntries;
    psRaid->bMembers = D;
    psRaid->bFailureCase = r.bCase;
    psRaid->bColumnWritten = r.bLostColumn;
    KERNEL_ENTRY* psQ = psHead + 1;
    BuildChildCommand(psHead, psQ, SCSI_WRITE10, bRank, 0, r.bQ);
    (void)AddChildSegment(psQ, dGroupSlot(psHead, R6_SLOT_Q), dDriveBlock, wBlocks, wBlocks, 0, 0);
    psQ->bCommandType = CT_REPAIR_R6_Q_WRITE;
    psQ->bPrimaryState = PS_REPAIR_GROUP_READS;
    uint16_t wReads = 0;
    KERNEL_ENTRY* psNext = psHead + 2;
    for (uint8_t c = 0; c < W; ++c) {
        if (fReadP && c == r.bLostColumn) continue;
        const uint8_t m = bR6Member(c, r.bP, r.bQ);
        BuildChildCommand(psHead, psNext, SCSI_READ10, bRank, 0, m);
        (void)AddChildSegment(psNext, dGroupSlot(psHead, R6_SLOT_DATA + c), dDriveBlock, wBlocks, wBlocks, 0, 0);
        psNext->bCommandType = CT_REPAIR_R6_READ;
        ++psNext;
        ++wReads;
    }
    if (fReadP) {
        // Old P lands where the P write takes its data from: it is not
        // rewritten in this case.
        BuildChildCommand(psHead, psNext, SCSI_READ10, bRank, 0, r.bP);
        (void)AddChildSegment(psNext, dGroupSlot(psHead, R6_SLOT_P), dDriveBlock, wBlocks, wBlocks, 0, 0);
        psNext->bCommandType = CT_REPAIR_R6_READ;
        ++psNext;
        ++wReads;
    }
    psHead->wChildrenOutstanding = wReads;
    psHead->wTotalChildren = wReads;
    CountGroup(psRequest);
    for (KERNEL_ENTRY* ps = psHead + 2; ps != psNext; ++ps) IssueChild(ps);
    return STATUS_OK;
}

}  // namespace

void RepairRaid6Stripes(KERNEL_ENTRY* psRequest) {
    const uint8_t bRank = psRequest->bRank;
    const uint8_t D = bGetRankDriveCount(bRank);
    const uint32_t S = wGetRankChunkSize(bRank);
    if (D < 4 || S == 0) {
        WalkEnded(psRequest);
        return;
    }
    const uint32_t W = D - 2u;
    const uint64_t lRowBlocks = static_cast<uint64_t>(S) * W;
    uint64_t L = psRequest->lRankAddress;
    uint32_t B = psRequest->wBlocks;
    // The missing members; one being rebuilt whose rebuild passed L counts
    // as present.
    uint8_t abMissing[3] = {NO_MEMBER, NO_MEMBER, NO_MEMBER};
    uint8_t bMissing = 0;
    for (uint8_t m = 0; m < D; ++m) {
        const uint8_t bFlags = bGetRankMemberFlags(bRank, m);
        if (bFlags == MEMBER_ON_LINE && Reachable(bRank, m)) continue;
        if (bFlags == MEMBER_REBUILDING && RebuildHasPassed(bRank, L, W)) continue;
        if (bMissing < 3) abMissing[bMissing] = m;
        ++bMissing;
    }
    if (bMissing >= 2) {
        WalkEnded(psRequest);
        return;
    }
    pRaidFields(psRequest)->bMissingA = abMissing[0];
    pRaidFields(psRequest)->bMissingB = abMissing[1];
    while (B != 0) {
        const uint64_t lRow = L / lRowBlocks;
        const uint32_t dRowOffset = static_cast<uint32_t>(L % lRowBlocks);
        const uint32_t dOffset = dRowOffset % S;
        const uint32_t dInRow = static_cast<uint32_t>(lRowBlocks - dRowOffset);
        const uint32_t dPiece = B < dInRow ? B : dInRow;
        // One chunk of one column: those blocks; more: the whole height.
        const bool fOneColumn = dOffset + dPiece <= S;
        R6_ROW r{};
        r.bP = static_cast<uint8_t>(lRow % D);
        r.bQ = static_cast<uint8_t>((r.bP + 1) % D);
        r.bCase = R6_REPAIR_PQ;
        r.bLostColumn = NO_COLUMN;
        if (bMissing == 1) {
            const uint8_t m = abMissing[0];
            r.bCase = m == r.bP ? R6_REPAIR_Q_ONLY : m == r.bQ ? R6_REPAIR_P_ONLY : R6_REPAIR_DATA_LOST;
            if (r.bCase == R6_REPAIR_DATA_LOST) r.bLostColumn = bR6Column(m, r.bP, r.bQ);
        }
        const uint32_t dBase = static_cast<uint32_t>(lRow * S);
        if (bIssueR6Repair(psRequest, bRank, D, r, fOneColumn ? dBase + dOffset : dBase,
                           static_cast<uint16_t>(fOneColumn ? dPiece : S)) != STATUS_OK) {
            WalkHeld(psRequest, L, B);
            return;
        }
        L += dPiece;
        B -= dPiece;
    }
    WalkEnded(psRequest);
}

void ContinueRaid6StripeRepair(KERNEL_ENTRY* psHead) { IssueR6Writes(psHead); }

// ---------------------------------------------------------------------------
// Completion
// ---------------------------------------------------------------------------

namespace {

void StartGroupParity(KERNEL_ENTRY* psHead) {
    RAID_ENTRY_FIELDS* ps = pRaidFields(psHead);
    const uint32_t dBytes = ps->dRunBytes;
    uint32_t adSource[XOR_SOURCE_WORDS] = {};
    psHead->bPrimaryState = PS_REPAIR_GROUP_XOR;
    if (psHead->bCommandType == CT_REPAIR_PARITY_WRITE) {
        const uint32_t dSources = ps->wChildBuilt - 1u;
        for (uint32_t i = 0; i < dSources; ++i) adSource[i] = dGroupSlot(psHead, i + 1);
        if (QueueXorRequestSingleDest(psHead->wIndex, XOR_OP_RAID5_STRIPE_REPAIR, XOR_PATH_LOCAL, dBytes, dSources,
                                      dGroupSlot(psHead, 0), adSource) != STATUS_OK) {
            FinishGroup(psHead, true);
        }
        return;
    }
    const uint8_t W = static_cast<uint8_t>(ps->bMembers - 2);
    for (uint8_t c = 0; c < W; ++c) adSource[c] = dGroupSlot(psHead, R6_SLOT_DATA + c);
    uint32_t X = dGroupSlot(psHead, R6_SLOT_P);
    uint32_t Y = dGroupSlot(psHead, R6_SLOT_Q);
    uint8_t k = NO_COLUMN;
    if (ps->bFailureCase == R6_REPAIR_DATA_LOST) {
        // Old P stands for the lost column: the first pass gives back the
        // lost data (into that column's slot), the second Q from it.
        k = ps->bColumnWritten;
        adSource[k] = dGroupSlot(psHead, R6_SLOT_P);
        X = dGroupSlot(psHead, R6_SLOT_Q);
        Y = dGroupSlot(psHead, R6_SLOT_DATA + k);
    }
    adSource[XOR_MAX_SOURCES] = dPackRaid6Parameter(NO_COLUMN, NO_COLUMN, k, ps->bMembers);
    if (QueueXorRequest(psHead->wIndex, ps->bFailureCase, XOR_PATH_LOCAL, dBytes, W, X, Y, adSource) != STATUS_OK) {
        FinishGroup(psHead, true);
    }
}

// A read of a group is in.
uint8_t fGroupReadDone(KERNEL_ENTRY* psChild, bool fFailed) {
    KERNEL_ENTRY* psHead = psChild->psMother;
    if (fFailed) SetFlag(psHead, KE_FLAG_ABORTED);
    if (fCountDownGroup(psHead) != TRUE) return TRUE;
    FreeGroupEntry(psChild);
    if (HasFlag(psHead, KE_FLAG_ABORTED)) {
        FinishGroup(psHead, true);
    } else {
        StartGroupParity(psHead);
    }
    return FALSE;
}

// A write of a group is done; the group ends with its last.
uint8_t fGroupWriteDone(KERNEL_ENTRY* psHead, bool fFailed) {
    if (fFailed) SetFlag(psHead, KE_FLAG_ABORTED);
    if (fCountDownGroup(psHead) != TRUE) return FALSE;
    FinishGroup(psHead, HasFlag(psHead, KE_FLAG_ABORTED));
    return FALSE;
}

}  // namespace

uint8_t fStripeRepairChildComplete(KERNEL_ENTRY* psChild) {
    const bool fFailed = fChildEndedInError(psChild) == TRUE;
    switch (psChild->bCommandType) {
    case CT_MIRROR_REPAIR_READ:
    case CT_MIRROR_REPAIR_WRITE:
        GroupDone(psChild->psMother, fFailed);
        return TRUE;
    case CT_REPAIR_DATA_READ:
    case CT_REPAIR_R6_READ: return fGroupReadDone(psChild, fFailed);
    case CT_REPAIR_PARITY_WRITE:
    case CT_REPAIR_R6_P_WRITE: return fGroupWriteDone(psChild, fFailed);
    case CT_REPAIR_R6_Q_WRITE: {
        KERNEL_ENTRY* psHead = psChild->psMother;
        // The Q entry is freed with its group.
        return fGroupWriteDone(psHead, fFailed);
    }
    default: return TRUE;
    }
}

}  // namespace fw
