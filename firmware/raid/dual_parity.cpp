// RAID 6 mapping, reads with up to two members lost, and writes: full rows
// (with pre-reads of what a partial row leaves out), read-modify-write
// groups and degraded writes, each run through the XOR engine.
#include "raid/dual_parity.h"

#include <cstring>
#include <initializer_list>

#include "config/config_db.h"
#include "config/rank_table.h"
#include "console/option_settings.h"
#include "eventlog/statistics.h"
#include "executive/kernel_entry.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/scsi.h"
#include "raid/child_commands.h"
#include "raid/drive_error_recovery.h"
#include "raid/parity_mapping.h"
#include "raid/raid_engine.h"
#include "raid/striped_mapping.h"
#include "raid/xor_engine.h"
#include "target/back_end_completion.h"
#include "target/host_command_codes.h"

namespace fw {

namespace {

constexpr uint8_t PS_WAITS_FOR_PARITY = 149;
constexpr uint8_t PS_RMW_XOR = 150;
constexpr uint8_t PS_REGENERATION_QUEUED = 154;
constexpr uint8_t PS_WAITS_FOR_PRE_READS = 170;
constexpr uint8_t PS_R6_GROUP_HELD = 172;
constexpr uint16_t NO_INDEX = 0xFFFF;
constexpr uint8_t NO_COLUMN = 0xFF;
constexpr uint32_t MAX_GROUPS = KERNEL_ENTRY_COUNT;
constexpr uint32_t SLOT_NEW_P = 0, SLOT_NEW_Q = 1, SLOT_OLD_P = 2, SLOT_OLD_Q = 3, SLOT_DATA = 4;

enum class Method : uint8_t { Read, Regenerate, FullRow, Degraded, ReadModifyWrite };
// Phases of a group that runs in steps (the first entry's phase byte).
constexpr uint8_t PHASE_READS = 1;
constexpr uint8_t PHASE_WRITES = 2;

struct Geometry {
    uint8_t bRank;
    uint8_t D;
    uint8_t m;     // data columns
    uint32_t S;
    uint64_t W;    // data blocks of a row
};

// One run of the command: the part of it on one data chunk.
struct Run {
    uint64_t lRow;
    uint8_t bP, bQ;
    uint8_t bData;
    uint8_t bColumn;
    uint32_t dOffset;     // in the chunk
    uint32_t dRowOffset;  // in the row's data
    uint32_t dBlocks;
    uint32_t dHostBlock;
};

// The failed members of a row, as a degraded group sees them.
struct Loss {
    uint8_t bCount;
    uint8_t abMember[3];
    bool fP, fQ;
};

struct Plan {
    Method eMethod;
    Run sRun;
    uint32_t dRowOffset;   // full rows: the written part of the row
    uint32_t dCovered;
    uint8_t bCase;
    uint8_t bMissingA, bMissingB;   // data columns of the lost data members
    uint8_t bRebuilt;               // a member being rebuilt, behind the front here (NO_MEMBER)
};

Plan s_asPlan[MAX_GROUPS];
GROUP_RUN s_asRun[MAX_GROUPS];
uint32_t s_dPlans;

BUFFER_HANDLE s_adReserve[2];
uint32_t s_dReservePages;
uint8_t s_fReserveInUse = FALSE;
uint16_t s_wPageFailures;
uint16_t s_wFailedIndex = NO_INDEX;
uint8_t s_abShortageReported[3];

Geometry GeometryOf(uint8_t bRank) {
    Geometry g{};
    g.bRank = bRank;
    g.D = bGetRankDriveCount(bRank);
    g.m = static_cast<uint8_t>(g.D - 2);
    g.S = wGetRankChunkSize(bRank);
    g.W = static_cast<uint64_t>(g.m) * g.S;
    return g;
}

uint8_t bDataMember(uint8_t bColumn, uint8_t bP, uint8_t bQ) {
    uint8_t d = bColumn;
    if (d >= bP) ++d;
    if (d >= bQ) ++d;
    return d;
}

// The data column of a member of the row (NO_COLUMN for P and Q).
uint8_t bColumnOf(uint8_t bMember, uint8_t bP, uint8_t bQ) {
    if (bMember == bP || bMember == bQ) return NO_COLUMN;
    uint8_t c = bMember;
    if (bMember > bP) --c;
    if (bMember > bQ) --c;
    return c;
}

Run PlaceOf(const Geometry& g, uint64_t a) {
    Run r{};
    r.lRow = a / g.W;
    r.bP = static_cast<uint8_t>(r.lRow % g.D);
    r.bQ = static_cast<uint8_t>((r.bP + 1) % g.D);
    r.dRowOffset = static_cast<uint32_t>(a % g.W);
    r.bColumn = static_cast<uint8_t>(r.dRowOffset / g.S);
    r.bData = bDataMember(r.bColumn, r.bP, r.bQ);
    r.dOffset = static_cast<uint32_t>(a % g.S);
    return r;
}

uint32_t dRowBlock(const Geometry& g, const Run& r) { return static_cast<uint32_t>(r.lRow * g.S); }
uint32_t dPagesFor(uint32_t dBlocks) { return (dBlocks + BLOCKS_PER_PAGE - 1) / BLOCKS_PER_PAGE; }

bool Flagged(uint8_t bRank, uint8_t bMember) { return bGetRankMemberFlags(bRank, bMember) != MEMBER_ON_LINE; }
bool Degraded(uint8_t bRank, uint8_t bMember) {
    return bGetRankOperationState(bRank) != RANK_STATE_OPTIMAL && Flagged(bRank, bMember);
}
bool Writable(uint8_t bRank, uint8_t bMember) {
    const uint8_t b = bGetRankMemberFlags(bRank, bMember);
    return b == MEMBER_ON_LINE || b == MEMBER_REBUILDING;
}

// What a host read does not ask of a member: a member gone silent (its
// drive let a command run out its time) is read around as a missing one.
bool Unreadable(uint8_t bRank, uint8_t bMember) {
    return Degraded(bRank, bMember) || fIsMemberSilent(bRank, bMember) == TRUE;
}

// The members the run cannot read; a member being rebuilt (bRebuilt) holds
// its data where the rebuild has passed and counts as present there.  A
// host read (fHostRead) also reads around silent members.
Loss LossOf(const Geometry& g, const Run& r, uint8_t bRebuilt = NO_MEMBER, bool fHostRead = false) {
    Loss s{};
    for (uint8_t m = 0; m < g.D; ++m) {
        if (!(fHostRead ? Unreadable(g.bRank, m) : Degraded(g.bRank, m)) || m == bRebuilt) continue;
        if (s.bCount < 3) s.abMember[s.bCount] = m;
        ++s.bCount;
        s.fP |= m == r.bP;
        s.fQ |= m == r.bQ;
    }
    return s;
}

// The failure case of a run whose own member is `bMember` (the member read
// or written), with its lost data columns; 0 when it has none.
uint8_t bCaseOf(const Loss& s, const Run& r, uint8_t* pbA, uint8_t* pbB) {
    *pbA = *pbB = NO_COLUMN;
    uint8_t abColumn[2];
    uint8_t n = 0;
    for (uint8_t i = 0; i < s.bCount && i < 2; ++i) {
        const uint8_t c = bColumnOf(s.abMember[i], r.bP, r.bQ);
        if (c != NO_COLUMN) abColumn[n++] = c;
    }
    if (n > 0) *pbA = abColumn[0];
    if (n > 1) *pbB = abColumn[1];
    if (s.bCount == 1) return s.fP ? R6_CASE_P : s.fQ ? R6_CASE_Q : R6_CASE_DATA;
    if (s.fP && s.fQ) return R6_CASE_P_AND_Q;
    if (s.fP) return R6_CASE_P_AND_DATA;
    if (s.fQ) return R6_CASE_Q_AND_DATA;
    return R6_CASE_TWO_DATA;
}

uint8_t bRebuildWindow(uint8_t bRank, uint8_t bMember, const Run& r, KERNEL_ENTRY* psHost) {
    if (bGetRankMemberFlags(bRank, bMember) != MEMBER_REBUILDING) return REBUILD_WINDOW_OUTSIDE;
    const uint8_t b = bCheckRebuildWindow(bRank, static_cast<uint16_t>(r.dHostBlock), static_cast<uint16_t>(r.dBlocks),
                                          psHost);
    if (b == REBUILD_WINDOW_BUSY) {
        SetFlag(psHost, KE_FLAG_REBUILD_HELD);
        SetRebuildParFlag(TRUE);
    }
    return b;
}

bool AddPlan(const Plan& s, uint16_t wEntries, uint32_t dPages) {
    if (s_dPlans == MAX_GROUPS) return false;
    s_asRun[s_dPlans] = {nullptr, NULL_BUFFER_HANDLE, dPages, wEntries, FALSE};
    s_asPlan[s_dPlans++] = s;
    return true;
}

// Walks the runs of the command; `fn` answers how many blocks it took.
template <typename FN>
bool WalkRuns(const Geometry& g, uint64_t L, uint32_t B, FN fn) {
    uint32_t dDone = 0;
    while (dDone < B) {
        Run r = PlaceOf(g, L + dDone);
        r.dBlocks = B - dDone < g.S - r.dOffset ? B - dDone : g.S - r.dOffset;
        r.dHostBlock = dDone;
        const uint32_t dTaken = fn(r, B - dDone);
        if (dTaken == 0) return false;
        dDone += dTaken;
    }
    return true;
}

uint8_t bTooLarge(KERNEL_ENTRY* psHost) {
    uint32_t dEntries = 0;
    for (uint32_t i = 0; i < s_dPlans; ++i) dEntries += s_asRun[i].wEntries;
    if (s_dPlans < MAX_GROUPS && dEntries <= KERNEL_ENTRY_COUNT) return FALSE;
    s_dPlans = 0;
    FailHostCommand(psHost, SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB, 0);
    return TRUE;
}

KERNEL_ENTRY* HostOf(KERNEL_ENTRY* psHead) { return psHead->psMother; }
uint16_t wGroupEntries(const KERNEL_ENTRY* psHead) { return pRaidFields(psHead)->wChildBuilt; }

KERNEL_ENTRY* BuildRead(KERNEL_ENTRY* psMother, KERNEL_ENTRY* ps, const Geometry& g, const Run& r, uint8_t bMember,
                        uint32_t dAddress, uint8_t bType) {
    BuildChildCommand(psMother, ps, SCSI_READ10, g.bRank, 0, bMember);
    ps->bCommandType = bType;
    (void)AddChildSegment(ps, dAddress, dRowBlock(g, r), r.dBlocks, g.S, r.dOffset, g.S - r.dOffset - r.dBlocks);
    return ps;
}

// Queues the group's XOR request; a refusal ends the group in error.
bool QueueGroupXor(KERNEL_ENTRY* psHead, uint8_t bOp, uint32_t dBytes, uint32_t n, uint32_t X, uint32_t Y,
                   uint32_t* pdSources, uint8_t a, uint8_t b, uint8_t k) {
    pdSources[XOR_MAX_SOURCES] = dPackRaid6Parameter(a, b, k, pRaidFields(psHead)->bMembers);
    return QueueXorRequest(psHead->wIndex, bOp, pRaidFields(psHead)->bPath, dBytes, n, X, Y, pdSources) == STATUS_OK;
}

void FailGroup(KERNEL_ENTRY* psHead) {
    SetFlag(psHead, KE_FLAG_ABORTED);
    MarkHostCommandFailedWithSense(HostOf(psHead), SENSE_ABORTED_COMMAND, ASC_INTERNAL_TARGET_FAILURE, 0);
}

uint32_t dSlotOf(const KERNEL_ENTRY* psHead, uint32_t i) { return dGroupSlot(psHead, i); }
// A slot of a group's pages before its head holds them.
uint32_t dSlotIn(const GROUP_RUN& u, uint32_t dSlotBlocks, uint32_t i) {
    return static_cast<uint32_t>(dBufferHandleToCpuAddress(u.dHandle)) + i * dSlotBlocks * BLOCK_BYTES;
}
// The group's head takes its pages and the row's parameters once every
// child is built (building a child starts its fields afresh).
void SetGroupState(KERNEL_ENTRY* psHead, const GROUP_RUN& u, uint32_t dSlotBlocks, uint8_t bMembers, uint8_t bPath) {
    SetGroupPages(psHead, u, dSlotBlocks);
    RAID_ENTRY_FIELDS* ps = pRaidFields(psHead);
    ps->wChildBuilt = u.wEntries;
    ps->bMembers = bMembers;
    ps->bPath = bPath;
}

// The data columns of a group's row in member order, each as the source
// the request takes for it.
struct Columns {
    uint32_t ad[XOR_MAX_SOURCES + 1];
};

}  // namespace

// ===========================================================================
// Reads
// ===========================================================================

namespace {

void StartRegeneration(KERNEL_ENTRY* psHead) {
    const RAID_ENTRY_FIELDS* ps = pRaidFields(psHead);
    const uint8_t m = static_cast<uint8_t>(ps->bMembers - 2);
    const uint8_t a = ps->bLostA, b = ps->bLostB, k = ps->bColumnWritten;
    const uint8_t bCase = ps->bFailureCase;
    Columns s{};
    for (uint8_t c = 0; c < m; ++c) s.ad[c] = dSlotOf(psHead, SLOT_DATA + c);
    uint8_t bOp = XOR_OP_RAID6_READ_FROM_P;
    uint8_t pa = k, pb = NO_COLUMN;
    switch (bCase) {
    case R6_CASE_DATA:
    case R6_CASE_Q_AND_DATA:
        s.ad[k] = dSlotOf(psHead, SLOT_OLD_P);
        bOp = bCase == R6_CASE_DATA ? XOR_OP_RAID6_READ_FROM_P : XOR_OP_RAID6_READ_FROM_P_NO_Q;
        break;
    case R6_CASE_P_AND_DATA:
        s.ad[k] = XOR_MISSING_MEMBER;
        bOp = XOR_OP_RAID6_READ_FROM_Q;
        pb = m;
        break;
    default:   // two data columns
        s.ad[a] = s.ad[b] = XOR_MISSING_MEMBER;
        bOp = XOR_OP_RAID6_READ_TWO_DATA;
        pa = a < b ? a : b;
        pb = a < b ? b : a;
        break;
    }
    psHead->bPrimaryState = PS_REGENERATION_QUEUED;
    if (!QueueGroupXor(psHead, bOp, ps->dRunBytes, m, ps->dSlotBase, ps->dDataAddress, s.ad, pa, pb, k)) {
        FailGroup(psHead);
        FinishChildGroup(psHead, wGroupEntries(psHead));
    }
}

uint8_t fDegradedReadDone(KERNEL_ENTRY* psChild) {
    KERNEL_ENTRY* psHead = psChild->psMother != nullptr && fIsKernelEntryAddress(psChild->psMother) == TRUE
                               ? psChild->psMother
                               : psChild;
    NoteChildFailure(psHead, psChild);
    const bool fHead = psHead == psChild;
    if (fCountDownGroup(psHead) != TRUE) return ToFlag(!fHead);
    if (!fHead) FreeGroupEntry(psChild);
    if (HasFlag(psHead, KE_FLAG_ABORTED)) {
        FinishChildGroup(psHead, wGroupEntries(psHead));
    } else {
        StartRegeneration(psHead);
    }
    return FALSE;
}

}  // namespace

void FinishRaid6Regeneration(KERNEL_ENTRY* psFirst) { FinishChildGroup(psFirst, wGroupEntries(psFirst)); }

void FreeRaid6ChildChain(KERNEL_ENTRY* psFirst) { FreeChildGroup(psFirst, wGroupEntries(psFirst)); }

uint8_t bBuildRaid6ReadChildren(KERNEL_ENTRY* psHost, uint8_t bRank, uint8_t /*bFirstDataMember*/,
                                uint32_t /*dRowBlock*/, uint16_t wBlocks, uint32_t /*dTail*/, uint16_t /*wOffset*/,
                                uint8_t /*bDrives*/, uint16_t /*wChunkSize*/, uint32_t dDataAddress) {
    const Geometry g = GeometryOf(bRank);
    s_dPlans = 0;
    bool fBusy = false, fLost = false;
    (void)WalkRuns(g, lGetMappedAddress(psHost), wBlocks, [&](const Run& r, uint32_t) -> uint32_t {
        Plan s{};
        s.eMethod = Method::Read;
        s.sRun = r;
        uint16_t wEntries = 1;
        uint32_t dPages = 0;
        if (Unreadable(bRank, r.bData)) {
            const uint8_t b = bRebuildWindow(bRank, r.bData, r, psHost);
            fBusy |= b == REBUILD_WINDOW_BUSY;
            if (b != REBUILD_WINDOW_REBUILT) {
                const Loss sLoss = LossOf(g, r, NO_MEMBER, true);
                s.eMethod = Method::Regenerate;
                s.bCase = bCaseOf(sLoss, r, &s.bMissingA, &s.bMissingB);
                // Three lost members, or a case with no regeneration: the
                // read cannot be served.
                fLost |= sLoss.bCount > 2 || s.bCase == R6_CASE_P || s.bCase == R6_CASE_Q ||
                         s.bCase == R6_CASE_P_AND_Q;
                wEntries = g.D;
                dPages = dPagesFor((static_cast<uint32_t>(g.D) + 4) * r.dBlocks);
            }
        }
        return AddPlan(s, wEntries, dPages) ? r.dBlocks : 0;
    });
    if (fBusy) {
        s_dPlans = 0;
        return STATUS_RETRY;
    }
    if (fLost) {
        s_dPlans = 0;
        FailHostCommand(psHost, SENSE_MEDIUM_ERROR, ASC_UNRECOVERED_READ_ERROR, 0);
        return STATUS_OK;
    }
    if (bTooLarge(psHost) == TRUE) return STATUS_OK;
    const uint8_t bReserve = bReserveGroupRuns(s_asRun, s_dPlans, bGetCommandBank(psHost), NULL_BUFFER_HANDLE, 0);
    if (bReserve != STATUS_OK) return STATUS_RETRY;
    psHost->wChildrenOutstanding = static_cast<uint16_t>(s_dPlans);
    psHost->wTotalChildren = static_cast<uint16_t>(s_dPlans);
    for (uint32_t i = 0; i < s_dPlans; ++i) {
        const Plan& s = s_asPlan[i];
        const Run& r = s.sRun;
        GROUP_RUN& u = s_asRun[i];
        const uint32_t dHost = dDataAddress + r.dHostBlock * BLOCK_BYTES;
        if (s.eMethod == Method::Read) {
            IssueChild(BuildRead(psHost, u.psFirst, g, r, r.bData, dHost, CT_R6_READ));
            continue;
        }
        // The survivors of the row, each into its slot; the head is the
        // first child built and carries the run.
        uint16_t e = 0;
        KERNEL_ENTRY* psHead = u.psFirst;
        auto add = [&](uint8_t bMember, uint32_t dSlot, uint8_t bType) {
            KERNEL_ENTRY* ps = u.psFirst + e++;
            (void)BuildRead(ps == psHead ? psHost : psHead, ps, g, r, bMember, dSlotIn(u, r.dBlocks, dSlot), bType);
        };
        const Loss sLoss = LossOf(g, r, NO_MEMBER, true);
        if (!sLoss.fP) add(r.bP, SLOT_OLD_P, CT_R6_DEGRADED_READ_P);
        if (!sLoss.fQ) add(r.bQ, SLOT_OLD_Q, CT_R6_DEGRADED_READ_Q);
        for (uint8_t c = 0; c < g.m; ++c) {
            const uint8_t bMember = bDataMember(c, r.bP, r.bQ);
            if (!Unreadable(bRank, bMember)) add(bMember, SLOT_DATA + c, CT_R6_DEGRADED_READ_DATA);
        }
        SetGroupState(psHead, u, r.dBlocks, g.D, bGetCommandBank(psHost));
        RAID_ENTRY_FIELDS* psRaid = pRaidFields(psHead);
        psRaid->dDataAddress = dHost;
        psRaid->bLostA = s.bMissingA;
        psRaid->bLostB = s.bMissingB;
        psRaid->bColumnWritten = r.bColumn;
        psRaid->bFailureCase = s.bCase;
        psHead->wChildrenOutstanding = e;
        psHead->wTotalChildren = e;
        for (uint16_t i2 = e; i2 < g.D; ++i2) FreeGroupEntry(u.psFirst + i2);
        for (uint16_t i2 = 0; i2 < e; ++i2) IssueChild(u.psFirst + i2);
    }
    s_dPlans = 0;
    return STATUS_OK;
}

// ===========================================================================
// Writes
// ===========================================================================

uint8_t fPlanRaid6FullRowWrite(KERNEL_ENTRY* psHost, uint32_t* pdCovered, uint32_t* pdRowOffset, uint32_t* pdTail,
                               uint32_t dRemaining, uint32_t dOffset, uint16_t wChunkSize, uint8_t /*bDataMember*/,
                               uint8_t bPMember, uint8_t bQMember, uint8_t bDrives, uint8_t bRank,
                               uint8_t /*bSubRank*/, uint32_t /*dPlanned*/) {
    const uint32_t S = wChunkSize;
    const uint32_t W = S * (bDrives - 2u);
    if (dRemaining < S) return FALSE;
    // Both parities gone: there is nothing to generate.
    if (!Writable(bRank, bPMember) && !Writable(bRank, bQMember)) return FALSE;
    if (dOffset == 0 && dRemaining >= W) {
        *pdCovered = W;
        *pdRowOffset = 0;
        *pdTail = 0;
        return TRUE;
    }
    if (fGetPartialFullStripeWrite() != TRUE) return FALSE;
    const uint32_t dTail = W > dOffset + dRemaining ? W - (dOffset + dRemaining) : 0;
    const uint32_t dCovered = W - dOffset - dTail;
    const bool fAllowed = HasFlag(psHost, KE_FLAG_FULL_ROW_ALLOWED);
    if (dCovered * 5 <= W && !fAllowed) return FALSE;
    if (fIsSubrankIntact(bRank, 0) != TRUE && !(fIsSubrankRebuilding(bRank, 0) == TRUE && fAllowed)) return FALSE;
    // A write that starts and ends inside one chunk would need two
    // pre-reads of that chunk: it is updated instead.
    if (dTail != 0 && dOffset % S != 0 && dOffset / S == (dOffset + dCovered - 1) / S) return FALSE;
    *pdCovered = dCovered;
    *pdRowOffset = dOffset;
    *pdTail = dTail;
    return TRUE;
}

namespace {

// ---- full rows ----
//
// The row's buffer: P, Q, then the head area (the row's data before the
// write) and the tail area (after it).  Each data column is read from
// wherever its blocks are: the host buffer, the head area or the tail area.
struct RowLayout {
    uint32_t dBase;        // P
    uint32_t dHost;        // where row data block 0 would lie in the host buffer
    uint32_t dStart;       // first row data block written
    uint32_t dEnd;         // just past the last
    uint32_t S;
    uint32_t Head() const { return dBase + 2 * S * BLOCK_BYTES; }
    uint32_t Tail() const { return Head() + dStart * BLOCK_BYTES; }
    // The address of row data block x.
    uint32_t Block(uint32_t x) const {
        if (x < dStart) return Head() + x * BLOCK_BYTES;
        if (x >= dEnd) return Tail() + (x - dEnd) * BLOCK_BYTES;
        return dHost + x * BLOCK_BYTES;
    }
};

void QueueRowParity(KERNEL_ENTRY* psHead, const RowLayout& y, uint8_t m) {
    // Pieces of the chunk offsets inside which every column sits in one
    // buffer: cut where the write starts and where it ends.
    uint32_t adCut[4] = {0, y.S, y.S, y.S};
    uint32_t n = 1;
    for (uint32_t x : {y.dStart % y.S, y.dEnd % y.S}) {
        if (x == 0) continue;
        uint32_t i = n;
        while (i > 0 && adCut[i - 1] > x) --i;
        if (adCut[i - 1] == x) continue;
        for (uint32_t j = n; j > i; --j) adCut[j] = adCut[j - 1];
        adCut[i] = x;
        ++n;
    }
    for (uint32_t p = 0; p < n; ++p) {
        const uint32_t u = adCut[p], v = adCut[p + 1];
        Columns s{};
        for (uint8_t c = 0; c < m; ++c) s.ad[c] = y.Block(c * y.S + u);
        const bool fLast = p + 1 == n;
        if (!QueueGroupXor(psHead, fLast ? XOR_OP_RAID6_FULL_ROW : XOR_OP_RAID6_FULL_ROW_PIECE, (v - u) * BLOCK_BYTES,
                           m, y.dBase + u * BLOCK_BYTES, y.dBase + (y.S + u) * BLOCK_BYTES, s.ad, NO_COLUMN,
                           NO_COLUMN, NO_COLUMN)) {
            FailGroup(psHead);
            return;
        }
    }
}

RowLayout LayoutOf(const KERNEL_ENTRY* psHead) {
    const RAID_ENTRY_FIELDS* ps = pRaidFields(psHead);
    RowLayout y{};
    y.dBase = ps->dSlotBase;
    y.S = ps->dRunBytes / BLOCK_BYTES;
    y.dStart = ps->dDriveBlock;
    y.dEnd = ps->dDriveBlock + ps->wRunBlocks;
    y.dHost = ps->dDataAddress;
    return y;
}

void BuildFullRow(KERNEL_ENTRY* psHost, const Geometry& g, const Plan& s, const GROUP_RUN& u, uint32_t dData,
                  bool fHoldData) {
    const Run& r = s.sRun;
    RowLayout y{};
    y.S = g.S;
    y.dBase = dSlotIn(u, g.S, 0);
    y.dStart = s.dRowOffset;
    y.dEnd = s.dRowOffset + s.dCovered;
    y.dHost = dData + r.dHostBlock * BLOCK_BYTES - s.dRowOffset * BLOCK_BYTES;
    const bool fPreReads = y.dStart != 0 || y.dEnd != g.W;
    uint16_t e = 0;
    KERNEL_ENTRY* psHead = u.psFirst;
    uint16_t wWrites = 0, wReads = 0;
    bool fHoldRow = false;
    auto next = [&](uint8_t bOpcode, uint8_t bMember, uint8_t bType) {
        KERNEL_ENTRY* ps = u.psFirst + e++;
        BuildChildCommand(ps == psHead ? psHost : psHead, ps, bOpcode, g.bRank, 0, bMember);
        ps->bCommandType = bType;
        return ps;
    };
    const uint32_t dRowBlock = static_cast<uint32_t>(r.lRow * g.S);
    for (uint8_t bParity : {r.bP, r.bQ}) {
        if (!Writable(g.bRank, bParity)) continue;
        const bool fP = bParity == r.bP;
        KERNEL_ENTRY* ps = next(SCSI_WRITE10, bParity,
                                fPreReads ? (fP ? CT_R6_PRE_ROW_P : CT_R6_PRE_ROW_Q) : (fP ? CT_R6_ROW_P : CT_R6_ROW_Q));
        (void)AddChildSegment(ps, y.dBase + (fP ? 0 : g.S * BLOCK_BYTES), dRowBlock, g.S, g.S, 0, 0);
        ps->bPrimaryState = fPreReads ? PS_WAITS_FOR_PRE_READS : PS_WAITS_FOR_PARITY;
        ++wWrites;
    }
    for (uint8_t c = 0; c < g.m; ++c) {
        const uint8_t bMember = bDataMember(c, r.bP, r.bQ);
        if (!Writable(g.bRank, bMember)) continue;
        const uint32_t dFirst = c * g.S, dPast = dFirst + g.S;
        if (dPast <= y.dStart || dFirst >= y.dEnd) {
            // Outside the write: only read, for the parity.
            KERNEL_ENTRY* ps =
                next(SCSI_READ10, bMember, dPast <= y.dStart ? CT_R6_PRE_READ_HEAD : CT_R6_PRE_READ_TAIL);
            (void)AddChildSegment(ps, y.Block(dFirst), dRowBlock, g.S, g.S, 0, 0);
            ++wReads;
            continue;
        }
        if (dFirst < y.dStart || dPast > y.dEnd) {
            // Partly written: its unwritten part is read first.
            const bool fHeadPart = dFirst < y.dStart;
            const uint32_t dFrom = fHeadPart ? 0 : y.dEnd - dFirst;
            const uint32_t dTo = fHeadPart ? y.dStart - dFirst : g.S;
            KERNEL_ENTRY* ps =
                next(SCSI_READ10, bMember, fHeadPart ? CT_R6_PRE_READ_HEAD_PART : CT_R6_PRE_READ_TAIL_PART);
            (void)AddChildSegment(ps, y.Block(dFirst + dFrom), dRowBlock, g.S, g.S, dFrom, g.S - dTo);
            ++wReads;
            continue;
        }
        KERNEL_ENTRY* ps = next(SCSI_WRITE10, bMember, fPreReads ? CT_R6_PRE_ROW_DATA : CT_R6_ROW_DATA);
        (void)AddChildSegment(ps, y.Block(dFirst), dRowBlock, g.S, g.S, 0, 0);
        if (fPreReads) {
            ps->bPrimaryState = PS_WAITS_FOR_PRE_READS;
        } else if (fHoldData) {
            ps->bPrimaryState = PS_WAITS_FOR_PARITY;
            fHoldRow = true;
        }
        ++wWrites;
    }
    for (uint16_t i = e; i < u.wEntries; ++i) FreeGroupEntry(u.psFirst + i);
    SetGroupState(psHead, u, g.S, g.D, bGetCommandBank(psHost));
    if (fHoldRow) SetFlag(psHead, KE_FLAG_HOLD_ROW_WRITES);
    RAID_ENTRY_FIELDS* psRaid = pRaidFields(psHead);
    psRaid->dDriveBlock = y.dStart;
    psRaid->wRunBlocks = static_cast<uint16_t>(s.dCovered);
    psRaid->dDataAddress = y.dHost;
    psRaid->bPhase = fPreReads ? PHASE_READS : PHASE_WRITES;
    psHead->wChildrenOutstanding = fPreReads ? wReads : wWrites;
    psHead->wTotalChildren = psHead->wChildrenOutstanding;
}

void IssueWaiting(KERNEL_ENTRY* psHead, uint8_t bState) {
    for (uint16_t e = 0; e < wGroupEntries(psHead); ++e) {
        KERNEL_ENTRY* ps = psHead + e;
        if (ps->fUsed != TRUE || ps->bPrimaryState != bState) continue;
        if (ps != psHead && ps->psMother != psHead) continue;
        IssueChild(ps);
    }
}

// The pre-reads are in: the partly written chunks become whole-chunk
// writes of what was read and what the host sent, and P and Q are made.
void PreReadsDone(KERNEL_ENTRY* psHead) {
    const RowLayout y = LayoutOf(psHead);
    uint16_t wWrites = 0;
    for (uint16_t e = 0; e < wGroupEntries(psHead); ++e) {
        KERNEL_ENTRY* ps = psHead + e;
        if (ps->fUsed != TRUE || (ps != psHead && ps->psMother != psHead)) continue;
        const uint8_t bType = ps->bCommandType;
        if (bType == CT_R6_PRE_READ_HEAD_PART || bType == CT_R6_PRE_READ_TAIL_PART) {
            const uint32_t dLba = dGetChildLba(ps) - (bType == CT_R6_PRE_READ_TAIL_PART ? y.S - wGetChildBlocks(ps) : 0);
            const uint32_t dFirst = (bType == CT_R6_PRE_READ_HEAD_PART ? y.dStart - wGetChildBlocks(ps)
                                                                      : y.dEnd - (y.S - wGetChildBlocks(ps)));
            ps->wSegmentCount = 0;
            ps->dTotalByteCount = 0;
            SetChildBlocks(ps, 0);
            SetChildOpcode(ps, SCSI_WRITE10);
            // Two segments: the part read and the host's part, in block order.
            const uint32_t dSplit = bType == CT_R6_PRE_READ_HEAD_PART ? y.dStart : y.dEnd;
            (void)AddChildSegment(ps, y.Block(dFirst), dLba, dSplit - dFirst, dSplit - dFirst, 0, 0);
            (void)AddChildSegment(ps, y.Block(dSplit), dLba, dFirst + y.S - dSplit, dFirst + y.S - dSplit, 0, 0);
            ps->bCommandType = CT_R6_PRE_ROW_DATA;
            ps->bPrimaryState = PS_WAITS_FOR_PRE_READS;
        }
        if (ps->bPrimaryState == PS_WAITS_FOR_PRE_READS) ++wWrites;
    }
    psHead->wChildrenOutstanding = wWrites;
    pRaidFields(psHead)->bPhase = PHASE_WRITES;
    QueueRowParity(psHead, y, static_cast<uint8_t>(pRaidFields(psHead)->bMembers - 2));
    if (HasFlag(psHead, KE_FLAG_ABORTED)) {
        // No parity: nothing of the row is written.
        FinishChildGroup(psHead, wGroupEntries(psHead));
    }
}

uint8_t fFullRowChildDone(KERNEL_ENTRY* psChild) {
    KERNEL_ENTRY* psHead = psChild->psMother != nullptr && fIsKernelEntryAddress(psChild->psMother) == TRUE
                               ? psChild->psMother
                               : psChild;
    NoteChildFailure(psHead, psChild);
    const uint8_t bType = psChild->bCommandType;
    const bool fHead = psChild == psHead;
    const bool fKeep = fHead || bType == CT_R6_PRE_READ_HEAD_PART || bType == CT_R6_PRE_READ_TAIL_PART;
    if (fCountDownGroup(psHead) != TRUE) return ToFlag(!fKeep);
    if (!fKeep) FreeGroupEntry(psChild);
    if (pRaidFields(psHead)->bPhase == PHASE_READS && !HasFlag(psHead, KE_FLAG_ABORTED)) {
        PreReadsDone(psHead);
    } else {
        FinishChildGroup(psHead, wGroupEntries(psHead));
    }
    return FALSE;
}

// ---- read-modify-write groups: P (head), Q, data ----

void BuildReadModifyWrite(KERNEL_ENTRY* psHost, const Geometry& g, const Plan& s, const GROUP_RUN& u, uint32_t dData) {
    const Run& r = s.sRun;
    const bool fPartner = HasFlag(psHost, KE_FLAG_MIRRORED) && fIsSubrankIntact(g.bRank, 0) != TRUE;
    KERNEL_ENTRY* psP = u.psFirst;
    KERNEL_ENTRY* psData = u.psFirst + 2;
    (void)BuildRead(psHost, psP, g, r, r.bP, dSlotIn(u, r.dBlocks, SLOT_OLD_P), fPartner ? CT_R6_RMW_P_PARTNER : CT_R6_RMW_P);
    (void)BuildRead(psP, u.psFirst + 1, g, r, r.bQ, dSlotIn(u, r.dBlocks, SLOT_OLD_Q),
                    fPartner ? CT_R6_RMW_Q_PARTNER : CT_R6_RMW_Q);
    (void)BuildRead(psP, psData, g, r, r.bData, dSlotIn(u, r.dBlocks, SLOT_DATA),
                    fPartner ? CT_R6_RMW_DATA_PARTNER : CT_R6_RMW_DATA);
    pRaidFields(psData)->dDataAddress = dData + r.dHostBlock * BLOCK_BYTES;
    SetGroupState(psP, u, r.dBlocks, g.D, bGetCommandBank(psHost));
    RAID_ENTRY_FIELDS* ps = pRaidFields(psP);
    ps->bColumnWritten = r.bColumn;
    ps->bPhase = PHASE_READS;
    psP->psLink = psData;
    psP->wChildrenOutstanding = 3;
    psP->wTotalChildren = 3;
}

void RewriteFrom(KERNEL_ENTRY* ps, uint32_t dAddress) {
    psChildSegment(ps, 0)->dAddress = dAddress;
    SetChildOpcode(ps, SCSI_WRITE10);
    ps->bCommandType = static_cast<uint8_t>(ps->bCommandType + 1);
    IssueChild(ps);
}

uint8_t fReadModifyWriteChildDone(KERNEL_ENTRY* psChild) {
    const uint8_t bType = psChild->bCommandType;
    KERNEL_ENTRY* psHead = bType == CT_R6_RMW_P || bType == CT_R6_RMW_P_PARTNER || bType == CT_R6_RMW_P + 1 ||
                                   bType == CT_R6_RMW_P_PARTNER + 1
                               ? psChild
                               : psChild->psMother;
    NoteChildFailure(psHead, psChild);
    if (fCountDownGroup(psHead) != TRUE) return FALSE;
    RAID_ENTRY_FIELDS* ps = pRaidFields(psHead);
    if (ps->bPhase != PHASE_READS || HasFlag(psHead, KE_FLAG_ABORTED)) {
        FinishChildGroup(psHead, 3);
        return FALSE;
    }
    // The update: new P and Q from the old ones and the change of the data.
    ps->bPhase = PHASE_WRITES;
    psHead->wChildrenOutstanding = 3;
    psHead->bPrimaryState = PS_RMW_XOR;
    Columns s{};
    s.ad[0] = pRaidFields(psHead->psLink)->dDataAddress;
    s.ad[1] = dSlotOf(psHead, SLOT_DATA);
    if (!QueueGroupXor(psHead, XOR_OP_RAID6_UPDATE, ps->dRunBytes, 2, dSlotOf(psHead, SLOT_NEW_P),
                       dSlotOf(psHead, SLOT_NEW_Q), s.ad, NO_COLUMN, NO_COLUMN, ps->bColumnWritten)) {
        FailGroup(psHead);
        FinishChildGroup(psHead, 3);
    }
    return FALSE;
}

// ---- degraded writes ----
//
// The row's D entries: reads of P, Q and every data member not lost (the
// written one too) into slot 2, slot 3 and slot 4 + column; the new P and Q
// go to slots 0 and 1.

void BuildDegraded(KERNEL_ENTRY* psHost, const Geometry& g, const Plan& s, const GROUP_RUN& u, uint32_t dData) {
    const Run& r = s.sRun;
    KERNEL_ENTRY* psHead = u.psFirst;
    const uint32_t dHost = dData + r.dHostBlock * BLOCK_BYTES;
    uint16_t e = 0;
    auto add = [&](uint8_t bMember, uint32_t dAddress, uint8_t bType, bool fWrite) {
        KERNEL_ENTRY* ps = u.psFirst + e++;
        BuildChildCommand(ps == psHead ? psHost : psHead, ps, fWrite ? SCSI_WRITE10 : SCSI_READ10, g.bRank, 0, bMember);
        ps->bCommandType = bType;
        (void)AddChildSegment(ps, dAddress, dRowBlock(g, r), r.dBlocks, g.S, r.dOffset, g.S - r.dOffset - r.dBlocks);
    };
    uint8_t bPhase = PHASE_READS;
    if (s.bCase == R6_CASE_P_AND_Q) {
        // No parity to keep: the data alone is written.
        add(r.bData, dHost, CT_R6_DEGRADED_WRITE_DATA, true);
        bPhase = PHASE_WRITES;
    } else {
        const Loss sLoss = LossOf(g, r, s.bRebuilt);
        if (!sLoss.fP) add(r.bP, dSlotIn(u, r.dBlocks, SLOT_OLD_P), CT_R6_DEGRADED_WRITE_READ_P, false);
        if (!sLoss.fQ) add(r.bQ, dSlotIn(u, r.dBlocks, SLOT_OLD_Q), CT_R6_DEGRADED_WRITE_READ_Q, false);
        for (uint8_t c = 0; c < g.m; ++c) {
            const uint8_t bMember = bDataMember(c, r.bP, r.bQ);
            if (!Degraded(g.bRank, bMember) || bMember == s.bRebuilt) {
                add(bMember, dSlotIn(u, r.dBlocks, SLOT_DATA + c), CT_R6_DEGRADED_WRITE_READ_DATA, false);
            }
        }
    }
    for (uint16_t i = e; i < u.wEntries; ++i) FreeGroupEntry(u.psFirst + i);
    SetGroupState(psHead, u, r.dBlocks, g.D, bGetCommandBank(psHost));
    RAID_ENTRY_FIELDS* psRaid = pRaidFields(psHead);
    psRaid->dDataAddress = dHost;
    psRaid->bLostA = s.bMissingA;
    psRaid->bLostB = s.bMissingB;
    psRaid->bColumnWritten = r.bColumn;
    psRaid->bPhase = bPhase;
    psRaid->bFailureCase = s.bCase;
    psHead->wChildrenOutstanding = e;
    psHead->wTotalChildren = e;
}

// The sources of a degraded write's request: the data columns, the written
// one as the host's new data (bNew) or its old data, lost ones as markers
// unless they were rebuilt into their slots.
void DegradedColumns(const KERNEL_ENTRY* psHead, bool fNew, bool fRebuilt, Columns* psOut) {
    const RAID_ENTRY_FIELDS* ps = pRaidFields(psHead);
    const uint8_t m = static_cast<uint8_t>(ps->bMembers - 2);
    for (uint8_t c = 0; c < m; ++c) {
        psOut->ad[c] = dSlotOf(psHead, SLOT_DATA + c);
        const bool fLost = c == ps->bLostA || c == ps->bLostB;
        if (fLost && !fRebuilt) psOut->ad[c] = XOR_MISSING_MEMBER;
        if (c == ps->bColumnWritten) psOut->ad[c] = fNew ? ps->dDataAddress : psOut->ad[c];
    }
}

// The lost data column that is not the written one (NO_COLUMN if none).
uint8_t bOtherLostColumn(const RAID_ENTRY_FIELDS* ps) {
    for (uint8_t c : {ps->bLostA, ps->bLostB}) {
        if (c != NO_COLUMN && c != ps->bColumnWritten) return c;
    }
    return NO_COLUMN;
}

// The parity phase: P, Q or both from the new data.
void QueueDegradedParity(KERNEL_ENTRY* psHead) {
    const RAID_ENTRY_FIELDS* ps = pRaidFields(psHead);
    const uint8_t m = static_cast<uint8_t>(ps->bMembers - 2);
    Columns s{};
    DegradedColumns(psHead, true, true, &s);
    uint8_t bOp = XOR_OP_RAID6_WRITE_PQ;
    switch (pRaidFields(psHead)->bFailureCase) {
    case R6_CASE_P:
    case R6_CASE_P_AND_DATA: bOp = XOR_OP_RAID6_WRITE_Q; break;
    case R6_CASE_Q:
    case R6_CASE_Q_AND_DATA: bOp = XOR_OP_RAID6_WRITE_P; break;
    case R6_CASE_DATA: bOp = XOR_OP_RAID6_WRITE_ONE_DATA_PQ; break;
    default: break;
    }
    const uint32_t X = dSlotOf(psHead, SLOT_NEW_P);
    const uint32_t Y = dSlotOf(psHead, SLOT_NEW_Q);
    if (!QueueGroupXor(psHead, bOp, ps->dRunBytes, m, X, Y, s.ad, NO_COLUMN, NO_COLUMN, NO_COLUMN)) {
        FailGroup(psHead);
        FinishChildGroup(psHead, wGroupEntries(psHead));
    }
}

// The reads are in: a lost data column other than the written one is
// rebuilt first, then the parity made.
void DegradedReadsDone(KERNEL_ENTRY* psHead) {
    RAID_ENTRY_FIELDS* ps = pRaidFields(psHead);
    const uint8_t m = static_cast<uint8_t>(ps->bMembers - 2);
    const uint8_t bOther = bOtherLostColumn(ps);
    ps->bPhase = PHASE_WRITES;
    psHead->bPrimaryState = PS_REGENERATION_QUEUED;
    if (bOther == NO_COLUMN) {
        QueueDegradedParity(psHead);
        return;
    }
    Columns s{};
    DegradedColumns(psHead, false, false, &s);
    bool fQueued = false;
    const uint32_t X = dSlotOf(psHead, SLOT_NEW_P);
    switch (pRaidFields(psHead)->bFailureCase) {
    case R6_CASE_P_AND_DATA:
        fQueued = QueueGroupXor(psHead, XOR_OP_RAID6_WRITE_DATA_FROM_Q, ps->dRunBytes, m, X,
                                dSlotOf(psHead, SLOT_DATA + bOther), s.ad, bOther, m, NO_COLUMN);
        break;
    case R6_CASE_Q_AND_DATA: {
        // P's slot first, the lost column left out.
        Columns t{};
        uint32_t n = 0;
        t.ad[n++] = dSlotOf(psHead, SLOT_OLD_P);
        for (uint8_t c = 0; c < m; ++c)
            if (c != bOther) t.ad[n++] = s.ad[c];
        fQueued = QueueGroupXor(psHead, XOR_OP_RAID6_WRITE_DATA_FROM_P, ps->dRunBytes, n, X,
                                dSlotOf(psHead, SLOT_DATA + bOther), t.ad, NO_COLUMN, NO_COLUMN, NO_COLUMN);
        break;
    }
    default: {   // two data columns
        const uint8_t a = ps->bLostA < ps->bLostB ? ps->bLostA : ps->bLostB;
        const uint8_t b = ps->bLostA < ps->bLostB ? ps->bLostB : ps->bLostA;
        fQueued = QueueGroupXor(psHead, XOR_OP_RAID6_WRITE_TWO_DATA, ps->dRunBytes, m, X, 0, s.ad, a, b, NO_COLUMN);
        break;
    }
    }
    if (!fQueued) {
        FailGroup(psHead);
        FinishChildGroup(psHead, wGroupEntries(psHead));
    }
}

uint8_t fDegradedWriteChildDone(KERNEL_ENTRY* psChild) {
    KERNEL_ENTRY* psHead = psChild->psMother != nullptr && fIsKernelEntryAddress(psChild->psMother) == TRUE
                               ? psChild->psMother
                               : psChild;
    NoteChildFailure(psHead, psChild);
    if (fCountDownGroup(psHead) != TRUE) return FALSE;
    if (pRaidFields(psHead)->bPhase == PHASE_READS && !HasFlag(psHead, KE_FLAG_ABORTED)) {
        DegradedReadsDone(psHead);
    } else {
        FinishChildGroup(psHead, wGroupEntries(psHead));
    }
    return FALSE;
}

// ---- the reserved full-row region ----

void CountPageFailure(KERNEL_ENTRY* psHost, uint8_t bMethod) {
    CountRaid50WriteCacheFull();
    if (s_abShortageReported[bMethod] != TRUE) s_abShortageReported[bMethod] = TRUE;
    if (s_wPageFailures != 0xFFFF) ++s_wPageFailures;
    s_wFailedIndex = psHost->wIndex;
}

}  // namespace

void ContinueRaid6FullRow(KERNEL_ENTRY* psFirst) {
    if (HasFlag(psFirst, KE_FLAG_ABORTED)) return;
    IssueWaiting(psFirst, PS_WAITS_FOR_PARITY);
    IssueWaiting(psFirst, PS_WAITS_FOR_PRE_READS);
    ClearFlag(psFirst, KE_FLAG_HOLD_ROW_WRITES);
}

void ContinueRaid6Update(KERNEL_ENTRY* psHead) {
    KERNEL_ENTRY* psQ = psHead + 1;
    RewriteFrom(psHead, dSlotOf(psHead, SLOT_NEW_P));
    RewriteFrom(psQ, dSlotOf(psHead, SLOT_NEW_Q));
    IssueRaid6ChildWrite(psHead->psLink);
}

void IssueRaid6ChildWrite(KERNEL_ENTRY* psChild) {
    psChildSegment(psChild, 0)->dAddress = pRaidFields(psChild)->dDataAddress;
    SetChildOpcode(psChild, SCSI_WRITE10);
    psChild->bCommandType = static_cast<uint8_t>(psChild->bCommandType + 1);
    IssueChild(psChild);
}

void ContinueRaid6DegradedWrite(KERNEL_ENTRY* psFirst) { QueueDegradedParity(psFirst); }

void IssueRaid6DegradedWrites(KERNEL_ENTRY* psFirst) {
    RAID_ENTRY_FIELDS* ps = pRaidFields(psFirst);
    uint16_t wWrites = 0;
    // The read entries become the writes; the other survivors are done.
    for (uint16_t e = 0; e < ps->wChildBuilt; ++e) {
        KERNEL_ENTRY* pc = psFirst + e;
        if (pc->fUsed != TRUE || (pc != psFirst && pc->psMother != psFirst)) continue;
        uint32_t dFrom = 0;
        uint8_t bType = 0;
        switch (pc->bCommandType) {
        case CT_R6_DEGRADED_WRITE_READ_P:
            dFrom = dSlotOf(psFirst, SLOT_NEW_P);
            bType = CT_R6_DEGRADED_WRITE_P;
            break;
        case CT_R6_DEGRADED_WRITE_READ_Q:
            dFrom = dSlotOf(psFirst, SLOT_NEW_Q);
            bType = CT_R6_DEGRADED_WRITE_Q;
            break;
        case CT_R6_DEGRADED_WRITE_READ_DATA:
            // The written member's own read: it becomes its write.
            if (psChildSegment(pc, 0)->dAddress == dSlotOf(psFirst, SLOT_DATA + ps->bColumnWritten)) {
                dFrom = ps->dDataAddress;
                bType = CT_R6_DEGRADED_WRITE_DATA;
            }
            break;
        default: break;
        }
        if (bType == 0) {
            if (pc != psFirst) FreeGroupEntry(pc);
            continue;
        }
        pc->bCommandType = bType;
        psChildSegment(pc, 0)->dAddress = dFrom;
        SetChildOpcode(pc, SCSI_WRITE10);
        ++wWrites;
    }
    psFirst->wChildrenOutstanding = wWrites;
    if (wWrites == 0) {
        FinishChildGroup(psFirst, ps->wChildBuilt);
        return;
    }
    for (uint16_t e = 0; e < ps->wChildBuilt; ++e) {
        KERNEL_ENTRY* pc = psFirst + e;
        if (pc->fUsed != TRUE || (pc != psFirst && pc->psMother != psFirst)) continue;
        const uint8_t t = pc->bCommandType;
        if (t == CT_R6_DEGRADED_WRITE_P || t == CT_R6_DEGRADED_WRITE_Q || t == CT_R6_DEGRADED_WRITE_DATA) {
            IssueChild(pc);
        }
    }
}

uint8_t fRaid6ChildComplete(KERNEL_ENTRY* psChild) {
    const uint8_t t = psChild->bCommandType;
    if (t >= CT_R6_DEGRADED_READ_P && t <= CT_R6_DEGRADED_READ_Q) return fDegradedReadDone(psChild);
    if (t >= CT_R6_DEGRADED_WRITE_READ_P && t <= CT_R6_DEGRADED_WRITE_Q) return fDegradedWriteChildDone(psChild);
    if (t >= CT_R6_ROW_DATA && t <= CT_R6_PRE_READ_TAIL_PART) return fFullRowChildDone(psChild);
    if (t >= CT_R6_RMW_P && t <= CT_R6_RMW_Q_PARTNER + 1) return fReadModifyWriteChildDone(psChild);
    return TRUE;
}

uint8_t bBuildRaid6WriteChildren(KERNEL_ENTRY* psHost, uint8_t bRank, uint8_t /*bFirstDataMember*/,
                                 uint32_t /*dRowBlock*/, uint16_t wBlocks, uint32_t /*dTail*/, uint16_t /*wOffset*/,
                                 uint8_t /*bDrives*/, uint16_t /*wChunkSize*/, uint32_t dDataAddress) {
    const Geometry g = GeometryOf(bRank);
    s_dPlans = 0;
    bool fBusy = false, fLost = false, fAhead = false;
    uint32_t dPlanned = 0;
    (void)WalkRuns(g, lGetMappedAddress(psHost), wBlocks, [&](const Run& r, uint32_t dRemaining) -> uint32_t {
        Plan s{};
        s.sRun = r;
        s.bRebuilt = NO_MEMBER;
        uint32_t dCovered = 0, dRowOffset = 0, dTail = 0;
        if (fPlanRaid6FullRowWrite(psHost, &dCovered, &dRowOffset, &dTail, dRemaining, r.dRowOffset,
                                   static_cast<uint16_t>(g.S), r.bData, r.bP, r.bQ, g.D, bRank, 0,
                                   dPlanned) == TRUE) {
            s.eMethod = Method::FullRow;
            s.dRowOffset = dRowOffset;
            s.dCovered = dCovered;
            uint16_t wEntries = 0;
            for (uint8_t m = 0; m < g.D; ++m) wEntries = static_cast<uint16_t>(wEntries + (Writable(bRank, m) ? 1 : 0));
            dPlanned += dCovered;
            return AddPlan(s, wEntries, dPagesFor(dRowOffset + dTail + 2 * g.S)) ? dCovered : 0;
        }
        dPlanned += r.dBlocks;
        const uint8_t abMember[3] = {r.bData, r.bP, r.bQ};
        bool fAllHealthy = true;
        for (uint8_t bMember : abMember) {
            if (!Degraded(bRank, bMember)) continue;
            const uint8_t b = bRebuildWindow(bRank, bMember, r, psHost);
            fBusy |= b == REBUILD_WINDOW_BUSY;
            if (b == REBUILD_WINDOW_REBUILT) {
                // Another member lost makes the run degraded: the rebuilt one
                // is still read and written, or its data goes stale.
                s.bRebuilt = bMember;
                continue;
            }
            fAllHealthy = false;
            fAhead |= bGetRankMemberFlags(bRank, bMember) == MEMBER_REBUILDING;
        }
        if (fAllHealthy) {
            s.eMethod = Method::ReadModifyWrite;
            return AddPlan(s, 3, dPagesFor(5 * r.dBlocks)) ? r.dBlocks : 0;
        }
        const Loss sLoss = LossOf(g, r, s.bRebuilt);
        s.eMethod = Method::Degraded;
        s.bCase = bCaseOf(sLoss, r, &s.bMissingA, &s.bMissingB);
        // Three lost members, or the written one lost with both parities.
        fLost |= sLoss.bCount > 2 ||
                 (s.bCase == R6_CASE_P_AND_Q && Degraded(bRank, r.bData) && r.bData != s.bRebuilt);
        return AddPlan(s, g.D, dPagesFor((static_cast<uint32_t>(g.D) + 2) * r.dBlocks)) ? r.dBlocks : 0;
    });
    if (fBusy) {
        s_dPlans = 0;
        return STATUS_RETRY;
    }
    if (fLost) {
        s_dPlans = 0;
        FailHostCommand(psHost, SENSE_HARDWARE_ERROR, ASC_LOGICAL_UNIT_FAILURE, 1);
        return STATUS_OK;
    }
    if (bTooLarge(psHost) == TRUE) return STATUS_OK;

    // The write that starved for pages takes the reserved region, when its
    // pages fit in it.
    const uint8_t bBank = bGetCommandBank(psHost);
    uint32_t dPages = 0;
    for (uint32_t i = 0; i < s_dPlans; ++i) dPages += s_asRun[i].dPages;
    const bool fReserved = s_wPageFailures >= PAGE_FAILURES_BEFORE_RESERVE && s_wFailedIndex == psHost->wIndex &&
                           s_fReserveInUse != TRUE && dPages <= s_dReservePages && bBank < 2 &&
                           s_adReserve[bBank] != NULL_BUFFER_HANDLE;
    const uint8_t bReserve =
        bReserveGroupRuns(s_asRun, s_dPlans, bBank, fReserved ? s_adReserve[bBank] : NULL_BUFFER_HANDLE,
                          s_dReservePages);
    if (bReserve != STATUS_OK) {
        if (bReserve == STATUS_NO_PAGES) CountPageFailure(psHost, 0);
        return STATUS_RETRY;
    }
    if (fReserved) {
        s_fReserveInUse = TRUE;
        SetFlag(psHost, KE_FLAG_RAID6_ROW_REGION);
    }
    if (fReserved || s_wFailedIndex == psHost->wIndex) {
        s_wPageFailures = 0;
        s_wFailedIndex = NO_INDEX;
    }
    std::memset(s_abShortageReported, FALSE, sizeof s_abShortageReported);

    const bool fHoldData = fGetHoldFullRowDataWrites() == TRUE;
    KERNEL_ENTRY* psPrevious = nullptr;
    uint32_t dSum = 0;
    for (uint32_t i = 0; i < s_dPlans; ++i) {
        const Plan& s = s_asPlan[i];
        GROUP_RUN& u = s_asRun[i];
        bool fHeld = false;
        switch (s.eMethod) {
        case Method::FullRow:
            BuildFullRow(psHost, g, s, u, dDataAddress, fHoldData);
            AddRaidFullStripeBlocks(static_cast<uint16_t>(s.dCovered));
            dSum = 0;
            break;
        case Method::ReadModifyWrite:
            BuildReadModifyWrite(psHost, g, s, u, dDataAddress);
            fHeld = psPrevious != nullptr && dSum + s.sRun.dBlocks > g.S;
            dSum += s.sRun.dBlocks;
            break;
        default:
            BuildDegraded(psHost, g, s, u, dDataAddress);
            fHeld = psPrevious != nullptr;
            dSum += s.sRun.dBlocks;
            break;
        }
        if (fHeld) {
            SetFlag(psPrevious, KE_FLAG_GROUP_CHAINED);
            pRaidFields(psPrevious)->psChainNext = u.psFirst;
            pRaidFields(u.psFirst)->psChainPrev = psPrevious;
            for (uint16_t e = 0; e < u.wEntries; ++e) {
                KERNEL_ENTRY* ps = u.psFirst + e;
                if (ps->fUsed != TRUE || (ps != u.psFirst && ps->psMother != u.psFirst)) continue;
                SetFlag(ps, KE_FLAG_HELD_BEHIND_GROUP);
            }
        }
        if (s.eMethod != Method::FullRow) psPrevious = u.psFirst;
    }
    psHost->psMother = psHost;
    psHost->wChildrenOutstanding = static_cast<uint16_t>(s_dPlans);
    psHost->wTotalChildren = static_cast<uint16_t>(s_dPlans);
    AddRaidWriteBlocks(wBlocks);

    for (uint32_t i = 0; i < s_dPlans; ++i) {
        const Plan& s = s_asPlan[i];
        KERNEL_ENTRY* psHead = s_asRun[i].psFirst;
        if (HasFlag(psHead, KE_FLAG_HELD_BEHIND_GROUP)) {
            for (uint16_t e = 0; e < s_asRun[i].wEntries; ++e) {
                if (HasFlag(psHead + e, KE_FLAG_HELD_BEHIND_GROUP)) psHead[e].bPrimaryState = PS_R6_GROUP_HELD;
            }
            continue;
        }
        if (s.eMethod == Method::FullRow && pRaidFields(psHead)->bPhase == PHASE_WRITES) {
            // The parity first: without it nothing of the row is written.
            QueueRowParity(psHead, LayoutOf(psHead), g.m);
            if (HasFlag(psHead, KE_FLAG_ABORTED)) {
                FinishChildGroup(psHead, wGroupEntries(psHead));
                continue;
            }
        }
        IssueWaiting(psHead, 0);
    }
    if (fAhead || (bGetRankOperationState(bRank) != RANK_STATE_OPTIMAL && bGetRebuildRank() == bRank &&
                   fGetRebuildWork() == TRUE &&
                   bCheckRebuildWindow(bRank, 0, wBlocks, psHost) == REBUILD_WINDOW_AHEAD)) {
        NoteWriteAheadOfRebuild(psHost);
    }
    s_dPlans = 0;
    return STATUS_OK;
}

uint8_t bMapRaid6Command(uint8_t bRank, KERNEL_ENTRY* psHost, uint32_t dDataAddress) {
    const uint8_t bOpcode = bFoldedOpcode(psHost);
    uint64_t L = lGetMappedAddress(psHost);
    const uint16_t B = wGetMappedBlocks(psHost);
    if (bOpcode != SCSI_READ10 && bOpcode != SCSI_WRITE10) return 0;
    if (bApplyExpansionWindow(&bRank, psHost, bOpcode, &L, B) != STATUS_OK) return STATUS_RETRY;
    const Geometry g = GeometryOf(bRank);
    psHost->bRank = bRank;
    psHost->psMother = psHost;
    pRaidFields(psHost)->bPath = bGetCommandBank(psHost);
    ClearFlag(psHost, KE_FLAG_AHEAD_OF_REBUILD);
    if (g.S == 0 || g.D < 4 || g.D > 16) {
        FailHostCommand(psHost, SENSE_HARDWARE_ERROR, ASC_LOGICAL_UNIT_FAILURE, 1);
        return STATUS_OK;
    }
    const uint64_t lLastRow = (L + (B == 0 ? 0 : B - 1u)) / g.W;
    if ((lLastRow + 1) * g.S > (1ull << 32)) {
        FailHostCommand(psHost, SENSE_ILLEGAL_REQUEST, ASC_LBA_OUT_OF_RANGE, 0);
        return STATUS_OK;
    }
    const uint64_t lSaved = psHost->lRankAddress;
    psHost->lRankAddress = L;
    const Run r = PlaceOf(g, L);
    const uint32_t dTail = (g.S - (r.dOffset + B) % g.S) % g.S;
    const uint8_t b = bOpcode == SCSI_READ10
                          ? bBuildRaid6ReadChildren(psHost, bRank, r.bData, dRowBlock(g, r), B, dTail,
                                                    static_cast<uint16_t>(r.dOffset), g.D,
                                                    static_cast<uint16_t>(g.S), dDataAddress)
                          : bBuildRaid6WriteChildren(psHost, bRank, r.bData, dRowBlock(g, r), B, dTail,
                                                     static_cast<uint16_t>(r.dOffset), g.D,
                                                     static_cast<uint16_t>(g.S), dDataAddress);
    psHost->lRankAddress = lSaved;
    if (b == STATUS_RETRY) LeaveOldLayout(psHost);
    return b;
}

void InitRaid6Buffers() {
    s_fReserveInUse = FALSE;
    s_wPageFailures = 0;
    s_wFailedIndex = NO_INDEX;
    std::memset(s_abShortageReported, FALSE, sizeof s_abShortageReported);
    // The region is kept to an eighth of a bank, so that it never takes
    // the pages the cache lives on.
    s_dReservePages = RAID6_RESERVED_PAGES;
    const uint32_t dEighth = dGetAvailablePages(0) / 8;
    if (s_dReservePages > dEighth) s_dReservePages = dEighth;
    for (uint8_t bBank = 0; bBank < 2; ++bBank) {
        s_adReserve[bBank] = NULL_BUFFER_HANDLE;
        if (bBank == 1 && fIsSecondBufferBankPresent() != TRUE) continue;
        if (s_dReservePages == 0 || bAllocDataPages(bBank, s_dReservePages, &s_adReserve[bBank]) != STATUS_OK) {
            s_adReserve[bBank] = NULL_BUFFER_HANDLE;
        }
    }
}

void AllocateDualParityTables() { InitRaid6Buffers(); }

void SetRaid6ReserveInUse(uint8_t f) { s_fReserveInUse = f; }
uint8_t fGetRaid6ReserveInUse() { return s_fReserveInUse; }
uint32_t dGetRaid6ReservePages() { return s_dReservePages; }
uint16_t wGetRaid6PageFailures() { return s_wPageFailures; }

}  // namespace fw
