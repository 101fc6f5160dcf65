// Stripe initialisation steps: issuing, finishing and advancing one step of
// an init command, and the on-demand ('K') and repair ('L') commands built
// on them.
#include "raid/stripe_init_steps.h"

#include <cstring>

#include "cache/cache_entry.h"
#include "cache/write_stages.h"
#include "config/config_image.h"
#include "config/nvram_layout.h"
#include "config/rank_table.h"
#include "eventlog/event_log.h"
#include "executive/buffer_pages.h"
#include "executive/kernel_entry.h"
#include "executive/nvram_access.h"
#include "executive/port_codes.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "raid/child_commands.h"
#include "raid/drive_error_recovery.h"
#include "raid/raid_engine.h"
#include "raid/rebuild.h"
#include "raid/row_hold.h"
#include "raid/stripe_init.h"
#include "raid/xor_engine.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"

namespace fw {

namespace {

constexpr uint8_t EVENT_BLOCK_REALLOCATED = 113;
// Partner messages of the steps.
constexpr uint8_t MESSAGE_STEP_OUT = 106;
constexpr uint8_t MESSAGE_STEP_DONE = 185;
constexpr uint8_t MESSAGE_ON_DEMAND_STEP = 186;
constexpr uint8_t MESSAGE_SKIPPED = 188;
// Skipping rows already done: at most this long per call, and then a
// pause before the next step, per row skipped or for a long run.
constexpr uint64_t SKIP_LIMIT_MS = 5;
constexpr uint64_t SKIP_WAIT_MS = 10;
constexpr uint64_t SKIP_LONG_WAIT_MS = 100;
constexpr uint32_t SKIP_SHORT_RUN = 15;
// An on-demand or repair step whose children keep failing is given up: the
// command it serves meets the error again and hears of it.
constexpr uint8_t MAX_STEP_ATTEMPTS = 3;
// Members numbered above this have no identity in event 113.
constexpr uint8_t LAST_REPORTED_MEMBER = 15;

// RAID 6 slots behind the zero area: P and Q computed, P and Q read, data.
constexpr uint8_t SLOT_P = 0, SLOT_Q = 1, SLOT_READ_P = 2, SLOT_READ_Q = 3, SLOT_DATA = 4;
constexpr uint8_t NO_COLUMN = 0xFF;
// The operations of the parity computation (their continuations hand the
// command back to its step).
constexpr uint8_t XOR_OP_INIT_PQ = 37;            // P and Q of the data
constexpr uint8_t XOR_OP_INIT_P = 38;             // XOR into slot P
constexpr uint8_t XOR_OP_INIT_Q = 39;             // Q into slot Q
constexpr uint8_t XOR_OP_INIT_TWO_DATA = 41;      // two data columns from read P and Q
constexpr uint8_t XOR_OP_INIT_DATA_FROM_P = 42;   // XOR into slot Q
constexpr uint8_t XOR_OP_INIT_DATA_FROM_Q = 43;   // data into slot Q from read Q, then P
constexpr uint8_t XOR_OP_INIT_Q_AFTER_DATA = 44;  // data into slot Q from read P, then Q into slot P

STRIPE_INIT_ENTRY s_asEntry[STRIPE_INIT_ENTRIES];

// ---- the rank --------------------------------------------------------------

struct GEOMETRY {
    uint8_t bRank;
    uint8_t bLevel;
    uint8_t D;      // members
    uint8_t G;      // parity groups (RAID 5/50)
    uint8_t P;      // members of a group
    uint8_t W;      // data chunks of a row
    uint32_t H;     // chunk blocks
};

GEOMETRY GeometryOf(uint8_t bRank) {
    GEOMETRY g{};
    g.bRank = bRank;
    g.bLevel = bGetRankRaidLevel(bRank);
    g.D = bGetRankDriveCount(bRank);
    g.H = wGetRankChunkSize(bRank);
    g.G = 1;
    g.P = g.D;
    switch (g.bLevel) {
    case RAID_LEVEL_5:
    case RAID_LEVEL_50:
        g.G = bGetRankSubRankCount(bRank) == 0 ? 1 : bGetRankSubRankCount(bRank);
        g.P = static_cast<uint8_t>(g.D / g.G);
        g.W = static_cast<uint8_t>(g.D - g.G);
        break;
    case RAID_LEVEL_6: g.W = static_cast<uint8_t>(g.D - 2); break;
    case RAID_LEVEL_10: g.W = static_cast<uint8_t>(g.D / 2); break;
    default: g.W = g.D; break;
    }
    return g;
}

bool IsKnownLevel(const GEOMETRY& g) {
    const bool fLevel = g.bLevel == RAID_LEVEL_0 || g.bLevel == RAID_LEVEL_10 || g.bLevel == RAID_LEVEL_5 ||
                        g.bLevel == RAID_LEVEL_50 || g.bLevel == RAID_LEVEL_6 || g.bLevel == RAID_LEVEL_N;
    return fLevel && g.D != 0 && g.D <= MAX_RANK_MEMBERS && g.H != 0 && g.W != 0 && g.P != 0;
}

bool IsParityLevel(uint8_t bLevel) {
    return bLevel == RAID_LEVEL_5 || bLevel == RAID_LEVEL_50 || bLevel == RAID_LEVEL_6;
}

bool HasDrive(uint8_t bRank, uint8_t m) { return bGetRankMemberDrive(bRank, m) != NO_DRIVE; }

// A member being rebuilt already holds the rows the rebuild has passed.
bool RebuiltAt(uint8_t bRank, uint8_t m, uint32_t dPosition, uint32_t H) {
    return bGetRankMemberFlags(bRank, m) == MEMBER_REBUILDING && bGetRebuildRank() == bRank &&
           dPosition + H <= dGetRebuildPosition();
}

// Whether the member's blocks of the row can be read.
bool Readable(uint8_t bRank, uint8_t m, uint32_t dPosition, uint32_t H) {
    if (!HasDrive(bRank, m)) return false;
    return bGetRankMemberFlags(bRank, m) == MEMBER_ON_LINE || RebuiltAt(bRank, m, dPosition, H);
}

// ---- the command -------------------------------------------------------------

bool IsOnDemand(const KERNEL_ENTRY* ps) { return ps->bPrimaryState == STRIPE_INIT_ON_DEMAND; }
bool IsRepair(const KERNEL_ENTRY* ps) { return ps->bPrimaryState == STRIPE_INIT_REPAIR; }
bool IsBackground(const KERNEL_ENTRY* ps) { return !IsOnDemand(ps) && !IsRepair(ps); }

bool IsRegenerate(const KERNEL_ENTRY* ps) { return HasFlag(ps, KE_FLAG_REGENERATE) && ps->bMember != NO_MEMBER; }
bool IsRewrite(const KERNEL_ENTRY* ps) { return HasFlag(ps, KE_FLAG_REGENERATE) && ps->bMember == NO_MEMBER; }

uint32_t dBlocksOf(KERNEL_ENTRY* ps) { return wGetBe16(psStripeInitCommand(ps)->abBlocks); }

uint32_t dSlot(KERNEL_ENTRY* ps, uint32_t H, uint32_t i) {
    const uint32_t dBase = static_cast<uint32_t>(dBufferHandleToCpuAddress(ps->dBufferHandle));
    return dBase + (psStripeInitCommand(ps)->wZeroBlocks + i * H) * BLOCK_BYTES;
}
uint32_t dZeroArea(KERNEL_ENTRY* ps) { return static_cast<uint32_t>(dBufferHandleToCpuAddress(ps->dBufferHandle)); }

STRIPE_INIT_ENTRY* EntryWithBitmaps(uint8_t bRank) {
    STRIPE_INIT_ENTRY* e = psGetStripeInitEntry(bRank);
    return e != nullptr && e->fInProgress == TRUE && e->dDoneBitmap != 0 ? e : nullptr;
}

bool Bit(uint32_t dBitmap, uint32_t s) { return dBitmap != 0 && fIsStripeBitSet(dBitmap, s) == TRUE; }

// The stripes of a step [s, s + n) are out, or no longer.
void MarkBusy(const STRIPE_INIT_ENTRY* e, uint32_t s, uint32_t n, bool fBusy) {
    if (e == nullptr || e->dBusyBitmap == 0) return;
    for (uint32_t k = 0; k < n; ++k) {
        if (fBusy) {
            SetStripeBit(e->dBusyBitmap, s + k);
        } else {
            ClearStripeBit(e->dBusyBitmap, s + k);
        }
    }
}

void MarkDone(uint8_t bRank, uint32_t s, uint32_t n) {
    STRIPE_INIT_ENTRY* e = EntryWithBitmaps(bRank);
    if (e == nullptr) return;
    for (uint32_t k = 0; k < n; ++k) {
        SetStripeBit(e->dDoneBitmap, s + k);
        ClearStripeBit(e->dBusyBitmap, s + k);
        RecordStripeInNvBitmap(bRank, s + k);
    }
}

// ---- children ------------------------------------------------------------

struct PLAN {
    uint8_t abMember[MAX_RANK_MEMBERS];
    uint32_t adAddress[MAX_RANK_MEMBERS];
    uint32_t n;
    void Add(uint8_t m, uint32_t dAddress) {
        if (n >= MAX_RANK_MEMBERS) return;
        abMember[n] = m;
        adAddress[n++] = dAddress;
    }
};

// 255 with every child out, 16 when the entries are short.
uint8_t bIssuePlan(KERNEL_ENTRY* psInit, const GEOMETRY& g, const PLAN& p, uint8_t bOpcode, uint32_t dPosition,
                   uint32_t dBlocks) {
    KERNEL_ENTRY* psFirst = nullptr;
    if (bAllocGroupRun(static_cast<uint16_t>(p.n), &psFirst) != STATUS_OK || psFirst == nullptr) return STATUS_RETRY;
    psInit->wChildrenOutstanding = static_cast<uint16_t>(p.n);
    psInit->wTotalChildren = static_cast<uint16_t>(p.n);
    for (uint32_t i = 0; i < p.n; ++i) {
        KERNEL_ENTRY* ps = psFirst + i;
        const uint8_t m = p.abMember[i];
        const uint8_t bSubRank = g.bLevel == RAID_LEVEL_50 ? static_cast<uint8_t>(m / g.P) : 0;
        BuildChildCommand(psInit, ps, bOpcode, g.bRank, bSubRank, m);
        (void)AddChildSegment(ps, p.adAddress[i], dPosition, dBlocks, dBlocks, 0, 0);
        ps->bCommandType = CT_STRIPE_INIT_CHILD;
        IssueChild(ps);
    }
    return STATUS_OK;
}

// ---- choosing the step's I/O ------------------------------------------------

enum class Io { None, Reads, ZeroWrites };

struct STEP {
    Io eIo;
    uint32_t N;     // stripes covered
    PLAN sPlan;
};

// Zeros to every member with a drive.
void PlanZeroWrites(KERNEL_ENTRY* psInit, const GEOMETRY& g, STEP* ps) {
    ps->eIo = Io::ZeroWrites;
    for (uint8_t m = 0; m < g.D; ++m)
        if (HasDrive(g.bRank, m)) ps->sPlan.Add(m, dZeroArea(psInit));
}

// RAID 5/50, a row holding host data: the data chunks of every intact
// group, group g's data k into slot g × P + k + 1.
void PlanRaid5Reads(KERNEL_ENTRY* psInit, const GEOMETRY& g, uint32_t s, STEP* ps) {
    STRIPE_INIT_COMMAND* c = psStripeInitCommand(psInit);
    const uint32_t dPosition = s * g.H;
    c->bGroupsRead = 0;
    ps->eIo = Io::Reads;
    for (uint8_t grp = 0; grp < g.G; ++grp) {
        const uint8_t bParity = static_cast<uint8_t>(grp * g.P + s % g.P);
        bool fIntact = true;
        for (uint8_t m = static_cast<uint8_t>(grp * g.P); m < (grp + 1) * g.P; ++m)
            fIntact = fIntact && Readable(g.bRank, m, dPosition, g.H);
        // Its parity could not be computed, nor written.
        if (!fIntact) continue;
        uint32_t k = 0;
        for (uint8_t m = static_cast<uint8_t>(grp * g.P); m < (grp + 1) * g.P; ++m) {
            if (m == bParity) continue;
            ps->sPlan.Add(m, dSlot(psInit, g.H, grp * g.P + k++ + 1));
        }
        c->bGroupsRead = static_cast<uint8_t>(c->bGroupsRead | (1u << grp));
    }
}

// RAID 5/50, regenerating a member: the others of its group, parity
// included, into slots 1 onward; the result goes to slot 0.
void PlanRaid5Regenerate(KERNEL_ENTRY* psInit, const GEOMETRY& g, uint32_t s, uint8_t t, STEP* ps) {
    const uint32_t dPosition = s * g.H;
    const uint8_t bFirst = static_cast<uint8_t>(t / g.P * g.P);
    ps->eIo = Io::Reads;
    for (uint8_t m = bFirst; m < bFirst + g.P; ++m) {
        if (m == t) continue;
        if (!Readable(g.bRank, m, dPosition, g.H)) {
            // The group is not intact: nothing can stand in for the member.
            ps->sPlan.n = 0;
            return;
        }
        ps->sPlan.Add(m, dSlot(psInit, g.H, ps->sPlan.n + 1u));
    }
    psStripeInitCommand(psInit)->bRegenerateSlot = 0;
}

// RAID 6: the members the row lacks (other than the one regenerated).
struct R6_ROW {
    uint8_t bP;
    uint8_t bQ;
    uint8_t abMissing[2];
    uint8_t bMissing;
};

uint8_t bColumnOf(const R6_ROW& r, uint8_t m) {
    if (m == r.bP || m == r.bQ) return NO_COLUMN;
    uint8_t c = m;
    if (m > r.bP) --c;
    if (m > r.bQ) --c;
    return c;
}

R6_ROW Raid6Row(const GEOMETRY& g, uint32_t s, uint8_t bTarget) {
    R6_ROW r{};
    r.bP = static_cast<uint8_t>(s % g.D);
    r.bQ = static_cast<uint8_t>((r.bP + 1) % g.D);
    r.abMissing[0] = r.abMissing[1] = NO_MEMBER;
    for (uint8_t m = 0; m < g.D; ++m) {
        if (m == bTarget || Readable(g.bRank, m, s * g.H, g.H)) continue;
        if (r.bMissing < 2) r.abMissing[r.bMissing] = m;
        ++r.bMissing;
    }
    return r;
}

// The slot a member of the row is read into.
uint32_t dRaid6SlotOf(const R6_ROW& r, uint8_t m) {
    if (m == r.bP) return SLOT_READ_P;
    if (m == r.bQ) return SLOT_READ_Q;
    return SLOT_DATA + bColumnOf(r, m);
}

// RAID 6: read mode reads the data members present (and P when a data
// member is missing, to stand in for it); regenerate mode reads what the
// target's computation needs.  Two members missing beside the target: none.
void PlanRaid6(KERNEL_ENTRY* psInit, const GEOMETRY& g, uint32_t s, STEP* ps) {
    STRIPE_INIT_COMMAND* c = psStripeInitCommand(psInit);
    const bool fRegenerate = IsRegenerate(psInit);
    const uint8_t t = fRegenerate ? psInit->bMember : NO_MEMBER;
    const R6_ROW r = Raid6Row(g, s, t);
    c->bMissingA = r.abMissing[0];
    c->bMissingB = r.abMissing[1];
    ps->eIo = Io::Reads;
    if (r.bMissing >= 2) return;
    const uint8_t x = r.abMissing[0];
    const bool fDataMissing = x != NO_MEMBER && x != r.bP && x != r.bQ;
    for (uint8_t m = 0; m < g.D; ++m) {
        if (m == t || m == x) continue;
        const bool fP = m == r.bP, fQ = m == r.bQ;
        bool fRead = !fP && !fQ;
        if (fRegenerate) {
            const bool fTargetIsParity = t == r.bP || t == r.bQ;
            // Data stands in for P or Q; a lost data column needs P (or Q
            // when P is the one missing).
            if (fP) fRead = !fTargetIsParity ? x != r.bP : (t == r.bQ && fDataMissing);
            if (fQ) fRead = (!fTargetIsParity && (x == r.bP || fDataMissing)) || (t == r.bP && fDataMissing);
        } else if (fP) {
            fRead = fDataMissing;
        }
        if (fRead) ps->sPlan.Add(m, dSlot(psInit, g.H, dRaid6SlotOf(r, m)));
    }
}

// RAID 10, regenerating: the mirror is read into slot 0.
void PlanMirrorRegenerate(KERNEL_ENTRY* psInit, const GEOMETRY& g, uint32_t s, uint8_t t, STEP* ps) {
    const uint8_t bMirror = static_cast<uint8_t>(t % 2 == 0 ? t + 1 : t - 1);
    ps->eIo = Io::Reads;
    psStripeInitCommand(psInit)->bRegenerateSlot = 0;
    if (g.bLevel == RAID_LEVEL_10 && bMirror < g.D && Readable(g.bRank, bMirror, s * g.H, g.H)) {
        ps->sPlan.Add(bMirror, dSlot(psInit, g.H, 0));
    }
}

// How many stripes the step may cover.
uint32_t dWantedStripes(KERNEL_ENTRY* psInit, const GEOMETRY& g, uint32_t s) {
    STRIPE_INIT_COMMAND* c = psStripeInitCommand(psInit);
    const uint32_t dLastStripe = dGetStripeInitLastPosition(psInit) / g.H;
    uint32_t N = 1;
    if (IsBackground(psInit) && c->fBurst == TRUE) {
        N = STRIPE_INIT_ZERO_BLOCKS / g.H;
        if (N == 0) N = 1;
    }
    if (s + N > dLastStripe) {
        N = 1;
        c->fBurst = FALSE;
    }
    return N;
}

// Normal mode over a parity level: which I/O the first stripe needs, and
// how far a burst of zero writes goes.  254 when the stripe is done.
uint8_t bPlanNormal(KERNEL_ENTRY* psInit, const GEOMETRY& g, const STRIPE_INIT_ENTRY* e, uint32_t s, STEP* ps) {
    const uint32_t N = dWantedStripes(psInit, g, s);
    ps->N = 0;
    for (uint32_t k = 0; k < N; ++k) {
        const uint32_t x = s + k;
        if (Bit(e->dBusyBitmap, x)) {
            if (k == 0) return STATUS_RETRY;
            break;
        }
        if (Bit(e->dDoneBitmap, x)) {
            if (k == 0) return STRIPE_INIT_NOTHING_OUT;
            break;
        }
        if (Bit(e->dOnDemandBitmap, x)) {
            if (k == 0) {
                ps->N = 1;
                if (g.bLevel == RAID_LEVEL_6) {
                    PlanRaid6(psInit, g, s, ps);
                } else {
                    PlanRaid5Reads(psInit, g, s, ps);
                }
                return STATUS_OK;
            }
            break;
        }
        ps->N = k + 1;
    }
    PlanZeroWrites(psInit, g, ps);
    return STATUS_OK;
}

// Chooses the step's I/O: 255 planned (possibly with no child), 254 the
// stripe needs nothing, 16 busy, 0 an unknown level.
uint8_t bPlanStep(KERNEL_ENTRY* psInit, const GEOMETRY& g, uint32_t s, STEP* ps) {
    ps->eIo = Io::None;
    ps->N = 1;
    ps->sPlan.n = 0;
    STRIPE_INIT_ENTRY* e = EntryWithBitmaps(g.bRank);
    if (IsRegenerate(psInit)) {
        const uint8_t t = psInit->bMember;
        if (t >= g.D) return STRIPE_INIT_NOTHING_OUT;
        switch (g.bLevel) {
        case RAID_LEVEL_5: case RAID_LEVEL_50: PlanRaid5Regenerate(psInit, g, s, t, ps); break;
        case RAID_LEVEL_6: PlanRaid6(psInit, g, s, ps); break;
        case RAID_LEVEL_0: case RAID_LEVEL_10: PlanMirrorRegenerate(psInit, g, s, t, ps); break;
        default: return STRIPE_INIT_NO_LEVEL;
        }
        return STATUS_OK;
    }
    const bool fRewrite = IsRewrite(psInit);
    switch (g.bLevel) {
    case RAID_LEVEL_5: case RAID_LEVEL_50: case RAID_LEVEL_6:
        if (fRewrite) {
            if (g.bLevel == RAID_LEVEL_6) {
                PlanRaid6(psInit, g, s, ps);
            } else {
                PlanRaid5Reads(psInit, g, s, ps);
            }
            return STATUS_OK;
        }
        // Nothing is known of the rows of a rank that is not initialising.
        if (e == nullptr) return STRIPE_INIT_NOTHING_OUT;
        return bPlanNormal(psInit, g, e, s, ps);
    case RAID_LEVEL_0: case RAID_LEVEL_10:
        if (e == nullptr || fRewrite) return STRIPE_INIT_NOTHING_OUT;
        if (Bit(e->dBusyBitmap, s)) return STATUS_RETRY;
        if (Bit(e->dOnDemandBitmap, s) || Bit(e->dDoneBitmap, s)) {
            // Mirrors and stripes agree by themselves: a row a host wrote
            // is only marked.
            if (Bit(e->dOnDemandBitmap, s) && fIsMasterController() != TRUE && fIsDualControllerActive() == TRUE) {
                (void)bSendStripeInitMessage(g.bRank, MESSAGE_ON_DEMAND_STEP, uint64_t{s} * g.H, 0,
                                             static_cast<uint16_t>(g.H));
            }
            MarkDone(g.bRank, s, 1);
            return STRIPE_INIT_NOTHING_OUT;
        }
        ps->N = dWantedStripes(psInit, g, s);
        PlanZeroWrites(psInit, g, ps);
        return STATUS_OK;
    case RAID_LEVEL_N:
        if (e == nullptr) return STRIPE_INIT_NOTHING_OUT;
        ps->N = 1;
        PlanZeroWrites(psInit, g, ps);
        return STATUS_OK;
    default:
        return STRIPE_INIT_NO_LEVEL;
    }
}

// ---- the computation and the writes ---------------------------------------

bool QueueRaid5Computation(KERNEL_ENTRY* psInit, const GEOMETRY& g) {
    STRIPE_INIT_COMMAND* c = psStripeInitCommand(psInit);
    const uint32_t dBytes = g.H * BLOCK_BYTES;
    uint32_t adSource[XOR_SOURCE_WORDS] = {};
    if (IsRegenerate(psInit)) {
        for (uint32_t i = 0; i + 1u < g.P; ++i) adSource[i] = dSlot(psInit, g.H, i + 1);
        if (wGetXorOutstanding() + 1u > XOR_RING_OUTSTANDING_LIMIT) return false;
        psInit->wChildrenOutstanding = 1;
        (void)QueueXorRequestSingleDest(psInit->wIndex, XOR_OP_STRIPE_INIT, XOR_PATH_LOCAL, dBytes, g.P - 1u,
                                        dSlot(psInit, g.H, 0), adSource);
        return true;
    }
    uint32_t dGroups = 0;
    for (uint8_t grp = 0; grp < g.G; ++grp) dGroups += (c->bGroupsRead >> grp) & 1u;
    if (wGetXorOutstanding() + dGroups > XOR_RING_OUTSTANDING_LIMIT) return false;
    psInit->wChildrenOutstanding = static_cast<uint16_t>(dGroups);
    for (uint8_t grp = 0; grp < g.G; ++grp) {
        if (((c->bGroupsRead >> grp) & 1u) == 0) continue;
        for (uint32_t k = 0; k + 1u < g.P; ++k) adSource[k] = dSlot(psInit, g.H, grp * g.P + k + 1);
        (void)QueueXorRequestSingleDest(psInit->wIndex, XOR_OP_STRIPE_INIT, XOR_PATH_LOCAL, dBytes, g.P - 1u,
                                        dSlot(psInit, g.H, grp * g.P), adSource);
    }
    return true;
}

// The RAID 6 computation of the row: the operation, its sources and where
// the member to be written finds its chunk.
bool QueueRaid6Computation(KERNEL_ENTRY* psInit, const GEOMETRY& g) {
    STRIPE_INIT_COMMAND* c = psStripeInitCommand(psInit);
    const uint32_t s = dGetStripeInitPosition(psInit) / g.H;
    const uint8_t t = IsRegenerate(psInit) ? psInit->bMember : NO_MEMBER;
    const R6_ROW r = Raid6Row(g, s, t);
    const uint8_t x = r.abMissing[0];
    const uint8_t xc = x == NO_MEMBER ? NO_COLUMN : bColumnOf(r, x);
    const uint8_t tc = t == NO_MEMBER ? NO_COLUMN : bColumnOf(r, t);
    uint32_t adSource[XOR_SOURCE_WORDS] = {};
    for (uint8_t k = 0; k < g.W; ++k) adSource[k] = dSlot(psInit, g.H, SLOT_DATA + k);
    uint8_t bOp = XOR_OP_INIT_PQ;
    uint8_t a = NO_COLUMN, b = NO_COLUMN, k = NO_COLUMN;
    // Where the written chunk lands: P and Q go to their own slots.
    c->bRegenerateSlot = t == r.bQ ? SLOT_Q : SLOT_P;
    if (t == NO_MEMBER) {
        if (x == r.bP) {
            bOp = XOR_OP_INIT_Q;
        } else if (x == r.bQ) {
            bOp = XOR_OP_INIT_P;
        } else if (xc != NO_COLUMN) {
            // The lost column stands in from P, then Q follows (into slot P).
            bOp = XOR_OP_INIT_Q_AFTER_DATA;
            adSource[xc] = dSlot(psInit, g.H, SLOT_READ_P);
            k = xc;
        }
    } else if (t == r.bP || t == r.bQ) {
        const bool fForP = t == r.bP;
        if (xc == NO_COLUMN) {
            bOp = fForP ? XOR_OP_INIT_P : XOR_OP_INIT_Q;
        } else if (fForP) {
            bOp = XOR_OP_INIT_DATA_FROM_Q;
            adSource[xc] = XOR_MISSING_MEMBER;
            a = xc;
            b = g.W;
        } else {
            bOp = XOR_OP_INIT_Q_AFTER_DATA;
            adSource[xc] = dSlot(psInit, g.H, SLOT_READ_P);
            k = xc;
            c->bRegenerateSlot = SLOT_P;
        }
    } else if (x == NO_MEMBER || x == r.bQ) {
        bOp = XOR_OP_INIT_DATA_FROM_P;
        adSource[tc] = dSlot(psInit, g.H, SLOT_READ_P);
        c->bRegenerateSlot = SLOT_Q;
    } else if (x == r.bP) {
        bOp = XOR_OP_INIT_DATA_FROM_Q;
        adSource[tc] = XOR_MISSING_MEMBER;
        a = tc;
        b = g.W;
        c->bRegenerateSlot = SLOT_Q;
    } else {
        bOp = XOR_OP_INIT_TWO_DATA;
        adSource[tc] = adSource[xc] = XOR_MISSING_MEMBER;
        a = tc < xc ? tc : xc;
        b = tc < xc ? xc : tc;
        c->bRegenerateSlot = tc == a ? SLOT_P : SLOT_Q;
    }
    adSource[XOR_MAX_SOURCES] = dPackRaid6Parameter(a, b, k, g.D);
    if (wGetXorOutstanding() + 1u > XOR_RING_OUTSTANDING_LIMIT) return false;
    psInit->wChildrenOutstanding = 1;
    return QueueXorRequest(psInit->wIndex, bOp, XOR_PATH_LOCAL, g.H * BLOCK_BYTES, g.W, dSlot(psInit, g.H, SLOT_P),
                           dSlot(psInit, g.H, SLOT_Q), adSource) == STATUS_OK;
}

// The computed chunks go out: the regenerated one to its member, or the
// parity of every group read (RAID 6: P and Q, those the row has).
void PlanResultWrites(KERNEL_ENTRY* psInit, const GEOMETRY& g, PLAN* p) {
    STRIPE_INIT_COMMAND* c = psStripeInitCommand(psInit);
    const uint32_t s = dGetStripeInitPosition(psInit) / g.H;
    p->n = 0;
    if (IsRegenerate(psInit)) {
        if (HasDrive(g.bRank, psInit->bMember)) p->Add(psInit->bMember, dSlot(psInit, g.H, c->bRegenerateSlot));
        return;
    }
    if (g.bLevel == RAID_LEVEL_6) {
        const R6_ROW r = Raid6Row(g, s, NO_MEMBER);
        const uint8_t x = r.abMissing[0];
        const bool fDataMissing = x != NO_MEMBER && x != r.bP && x != r.bQ;
        // With a data column lost the computed Q sits in slot P.
        if (x != r.bP && !fDataMissing) p->Add(r.bP, dSlot(psInit, g.H, SLOT_P));
        if (x != r.bQ) p->Add(r.bQ, dSlot(psInit, g.H, fDataMissing ? SLOT_P : SLOT_Q));
        return;
    }
    for (uint8_t grp = 0; grp < g.G; ++grp) {
        if (((c->bGroupsRead >> grp) & 1u) == 0) continue;
        p->Add(static_cast<uint8_t>(grp * g.P + s % g.P), dSlot(psInit, g.H, grp * g.P));
    }
}

// The raise that lets held host commands be looked at again.
// The rank's initialisation moved on: the host writes sleeping on it are
// looked at again.
void WakeHostPorts(uint8_t bRank) {
    SetHostPortWork(PORT_CODE_FC_HOST_1, TRUE);
    SetHostPortWork(PORT_CODE_FC_HOST_2, TRUE);
    ReleaseStripeInitWaiters(bRank);
}

void MarkOut(KERNEL_ENTRY* psInit) {
    if (psInit->bPrimaryState == STRIPE_INIT_STEP_FINISHED) psInit->bPrimaryState = STRIPE_INIT_STEP_OUT;
}

void PostReallocation(const GEOMETRY& g, uint8_t bMember, uint32_t dPosition, uint32_t dBlocks) {
    if (bMember > LAST_REPORTED_MEMBER || g.bRank >= bGetRankCount()) return;
    const uint8_t* w = pGetConfigImage()->asRank[g.bRank].aabMemberWwn[bMember];
    PostEvent(EVENT_BLOCK_REALLOCATED, w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7],
              bGetRankMemberDrive(g.bRank, bMember), static_cast<uint8_t>(dPosition >> 24),
              static_cast<uint8_t>(dPosition >> 16), static_cast<uint8_t>(dPosition >> 8),
              static_cast<uint8_t>(dPosition), static_cast<uint8_t>(dBlocks > 0xFF ? 0xFF : dBlocks - 1));
}

// ---- on-demand and repair commands -------------------------------------------

KERNEL_ENTRY* psServedOf(KERNEL_ENTRY* psInit) {
    const STRIPE_INIT_COMMAND* c = psStripeInitCommand(psInit);
    KERNEL_ENTRY* ps = c->psServed;
    if (ps == nullptr || ps->fUsed != TRUE || static_cast<uint32_t>(ps->alSequence[0]) != c->dServedSequence ||
        !HasFlag(ps, KE_FLAG_STRIPE_INIT_WAIT)) {
        return nullptr;
    }
    return ps;
}

void Serve(KERNEL_ENTRY* psInit, KERNEL_ENTRY* psServed) {
    STRIPE_INIT_COMMAND* c = psStripeInitCommand(psInit);
    c->psServed = psServed;
    c->dServedSequence = static_cast<uint32_t>(psServed->alSequence[0]);
    SetFlag(psServed, KE_FLAG_STRIPE_INIT_WAIT);
}

void FreeInitCommand(KERNEL_ENTRY* psInit) {
    EndRowHold(&psStripeInitCommand(psInit)->bRowHold);
    if (psInit->dBufferHandle != NULL_BUFFER_HANDLE && psInit->wPageCount != 0) {
        (void)wFreeDataPages(psInit->dBufferHandle, psInit->wPageCount);
    }
    psInit->dBufferHandle = NULL_BUFFER_HANDLE;
    psInit->wPageCount = 0;
    FreeTargetEntry(psInit);
}

// The command ends: the one it served goes on (a regeneration it waited
// for is over, whether it worked or not: a failure meets the error again).
void EndCommand(KERNEL_ENTRY* psInit, bool fRegenerated) {
    if (KERNEL_ENTRY* psServed = psServedOf(psInit)) {
        ClearFlag(psServed, KE_FLAG_STRIPE_INIT_WAIT);
        if (fRegenerated) {
            ClearFlag(psServed, KE_FLAG_REGENERATE);
            psServed->bMember = NO_MEMBER;
        }
    }
    const uint8_t bRank = psInit->bRank;
    FreeInitCommand(psInit);
    WakeHostPorts(bRank);
}

// Takes a host pool entry for an init command over member blocks
// [dFirst, dLast] and gives it its buffer: 255, 16, or 66.  A command that
// zeroes rows writes them from a zero area of wZeroBlocks (at least a
// chunk) at the start of its buffer.
uint8_t bAllocCommand(uint8_t bState, const GEOMETRY& g, uint32_t dFirst, uint32_t dLast, uint8_t bMember,
                      bool fSlots, KERNEL_ENTRY** ppsInit, uint16_t wZeroBlocks = 0) {
    KERNEL_ENTRY* ps = nullptr;
    uint16_t wIndex = 0;
    if (bAllocTargetEntries(PORT_CODE_FC_HOST_1, 1, &ps, &wIndex, FALSE) != STATUS_OK || ps == nullptr) {
        return STATUS_RETRY;
    }
    std::memset(ps, 0, offsetof(KERNEL_ENTRY, bPrimaryState));
    ResetCacheEntryFields(ps);
    std::memset(pRaidFields(ps), 0, sizeof(RAID_ENTRY_FIELDS));
    ps->bEntryType = 0xFF;
    ps->bCount = 1;
    ps->fUsed = TRUE;
    ps->bPortCode = PORT_CODE_FC_HOST_1;
    ps->bPrimaryState = bState;
    ps->bCommandType = 0;
    ps->bRank = g.bRank;
    ps->bMember = bMember;
    ps->lFlags = bMember != NO_MEMBER ? KE_FLAG_REGENERATE : 0;
    ps->wLunIndex = 0xFFFF;
    ps->psMother = ps;
    ps->pCallbackTop = nullptr;
    ps->dBufferHandle = NULL_BUFFER_HANDLE;
    STRIPE_INIT_COMMAND* c = psStripeInitCommand(ps);
    PutBe32(c->abPosition, dFirst);
    PutBe32(c->abLastPosition, dLast);
    PutBe16(c->abBlocks, static_cast<uint16_t>(g.H));
    c->bMissingA = c->bMissingB = NO_MEMBER;
    c->bRowHold = NO_ROW_HOLD;
    // A regeneration needs no zeros; every other command writes them
    // from the start of its buffer.
    const bool fRegenerate = bMember != NO_MEMBER;
    c->wZeroBlocks = static_cast<uint16_t>(fRegenerate ? 0 : wZeroBlocks > g.H ? wZeroBlocks : g.H);
    const uint32_t dSlots = !fSlots ? (fRegenerate ? 1u : 0u) : g.bLevel == RAID_LEVEL_6 ? g.D + 4u : g.D;
    const uint32_t dPages = ((c->wZeroBlocks + dSlots * g.H) + BLOCKS_PER_PAGE - 1) / BLOCKS_PER_PAGE;
    BUFFER_HANDLE dHandle = NULL_BUFFER_HANDLE;
    if (bAllocDataPages(0, dPages, &dHandle) != STATUS_OK) {
        FreeTargetEntry(ps);
        return STATUS_NO_PAGES;
    }
    ps->dBufferHandle = dHandle;
    ps->wPageCount = static_cast<uint16_t>(dPages);
    if (!fRegenerate) std::memset(pbAtAddress(dZeroArea(ps)), 0, c->wZeroBlocks * BLOCK_BYTES);
    *ppsInit = ps;
    return STATUS_OK;
}

// Runs the command on until something is out (255) or its range is done
// (254); 16 when a step could not go out.
uint8_t bRunOn(KERNEL_ENTRY* psInit) {
    for (;;) {
        const uint8_t b = bIssueStripeInitStep(psInit);
        if (b == STATUS_OK) return STATUS_OK;
        if (b != STRIPE_INIT_NOTHING_OUT) return STATUS_RETRY;
        const uint8_t bNext = bAdvanceStripeInit(psInit);
        if (bNext == STRIPE_INIT_NOTHING_OUT) return STRIPE_INIT_NOTHING_OUT;
        if (bNext != STATUS_OK) return STATUS_RETRY;
    }
}

// One completion of an on-demand or repair command's children or
// computation.
void StepCommand(KERNEL_ENTRY* psInit) {
    const GEOMETRY g = GeometryOf(psInit->bRank);
    const bool fRegenerate = IsRegenerate(psInit);
    const uint8_t bMember = psInit->bMember;
    const uint32_t dPosition = dGetStripeInitPosition(psInit);
    const uint8_t bType = psInit->bCommandType;
    uint8_t b = bFinishStripeInitStep(psInit);
    if (b == STATUS_OK) return;
    STRIPE_INIT_COMMAND* c = psStripeInitCommand(psInit);
    if (b == STATUS_RETRY) {
        // A child failed: the step goes again, a few times.
        if (++c->bAttempts >= MAX_STEP_ATTEMPTS) {
            EndCommand(psInit, fRegenerate);
            return;
        }
    } else {
        c->bAttempts = 0;
        // A command still marked as a write ahead of the rebuild front
        // reports none.  (A host write's mark goes when its children end,
        // so the repair of a child it lost to a read error, which starts
        // after that, reports its blocks.)
        const KERNEL_ENTRY* psServed = psServedOf(psInit);
        const bool fAheadOfRebuild = psServed != nullptr && HasFlag(psServed, KE_FLAG_AHEAD_OF_REBUILD);
        if (fRegenerate && bType == STRIPE_INIT_PARITY_WRITES_OUT && !fAheadOfRebuild) {
            PostReallocation(g, bMember, dPosition, dBlocksOf(psInit));
        }
        // Bit 37 is the step's: the next stripe of the range is to be
        // regenerated too.
        if (fRegenerate) {
            SetFlag(psInit, KE_FLAG_REGENERATE);
            psInit->bMember = bMember;
        }
        if (bAdvanceStripeInit(psInit) == STRIPE_INIT_NOTHING_OUT) {
            EndCommand(psInit, fRegenerate);
            return;
        }
    }
    b = bRunOn(psInit);
    // Done, or stuck for resources: the served command asks again.
    if (b != STATUS_OK) EndCommand(psInit, fRegenerate && b == STRIPE_INIT_NOTHING_OUT);
}

// A regeneration whose rows are held goes out; FALSE when its first step
// could not (entries short): it is asked again.
uint8_t RunHeldRegeneration(KERNEL_ENTRY* psInit) {
    const uint8_t b = bRunOn(psInit);
    if (b == STATUS_RETRY) return FALSE;
    // Nothing can stand in for the member: the command it serves goes on,
    // and meets the error again if it is still there.
    if (b == STRIPE_INIT_NOTHING_OUT) EndCommand(psInit, true);
    return TRUE;
}

// A regeneration reads the rest of each row and writes the member's chunk
// from it: a host write to the rows in between would leave the chunk (or
// its parity) stale, so the rows are held first and the regeneration goes
// out once the older writes are on the drives.  The command it serves
// waits for it from now on.  255, or 16 when no hold or entry is free.
uint8_t bStartRegeneration(KERNEL_ENTRY* psInit, KERNEL_ENTRY* psServed) {
    if (psServed != nullptr) Serve(psInit, psServed);
    STRIPE_INIT_COMMAND* c = psStripeInitCommand(psInit);
    const uint8_t b = bStartRowHold(&c->bRowHold, psInit, psInit->bRank, dGetStripeInitPosition(psInit),
                                    dGetStripeInitLastPosition(psInit), psServed, RunHeldRegeneration);
    if (b == STATUS_OK) return STATUS_OK;
    // Rows in no logical drive: no host writes them.
    if (b == 0 && RunHeldRegeneration(psInit) == TRUE) return STATUS_OK;
    if (psServed != nullptr) ClearFlag(psServed, KE_FLAG_STRIPE_INIT_WAIT);
    FreeInitCommand(psInit);
    return STATUS_RETRY;
}

}  // namespace

// ---------------------------------------------------------------------------

STRIPE_INIT_ENTRY* psGetStripeInitEntry(uint8_t bRank) { return bRank < STRIPE_INIT_ENTRIES ? &s_asEntry[bRank] : nullptr; }

uint8_t fIsStripeBitSet(uint32_t dBitmap, uint32_t s) {
    const uint32_t* pd = reinterpret_cast<const uint32_t*>(pbAtAddress(dBitmap));
    return ToFlag(((pd[s / 32] >> (s % 32)) & 1u) != 0);
}

void SetStripeBit(uint32_t dBitmap, uint32_t s) { reinterpret_cast<uint32_t*>(pbAtAddress(dBitmap))[s / 32] |= 1u << (s % 32); }

void ClearStripeBit(uint32_t dBitmap, uint32_t s) {
    reinterpret_cast<uint32_t*>(pbAtAddress(dBitmap))[s / 32] &= ~(1u << (s % 32));
}

void RecordStripeInNvBitmap(uint8_t bRank, uint32_t dStripe) {
    const STRIPE_INIT_ENTRY* e = psGetStripeInitEntry(bRank);
    if (bRank >= NVRAM_STRIPE_INIT_BITMAP_ARRAYS || e == nullptr || e->dNvGranule == 0) return;
    const uint32_t dBit = dStripe / e->dNvGranule;
    if (dBit / 8 >= NVRAM_STRIPE_INIT_BITMAP_SIZE) return;
    const uint32_t dOffset = NVRAM_OFFSET(abStripeInitBitmaps) + NVRAM_STRIPE_INIT_BITMAP_SIZE * bRank + dBit / 8;
    const uint8_t bOld = bNvramRead8(dOffset);
    const uint8_t bNew = static_cast<uint8_t>(bOld | (1u << (dBit % 8)));
    if (bNew != bOld) NvramWrite8(dOffset, bNew);
}

STRIPE_INIT_COMMAND* psStripeInitCommand(KERNEL_ENTRY* psInit) {
    static_assert(sizeof(STRIPE_INIT_COMMAND) <= sizeof(RAID_ENTRY_FIELDS::abJobFields));
    return reinterpret_cast<STRIPE_INIT_COMMAND*>(pRaidFields(psInit)->abJobFields);
}

uint32_t dGetStripeInitPosition(const KERNEL_ENTRY* psInit) {
    return dGetBe32(psStripeInitCommand(const_cast<KERNEL_ENTRY*>(psInit))->abPosition);
}

uint32_t dGetStripeInitLastPosition(const KERNEL_ENTRY* psInit) {
    return dGetBe32(psStripeInitCommand(const_cast<KERNEL_ENTRY*>(psInit))->abLastPosition);
}

uint8_t bIssueStripeInitStep(KERNEL_ENTRY* psInit) {
    const GEOMETRY g = GeometryOf(psInit->bRank);
    if (!IsKnownLevel(g)) return STRIPE_INIT_NO_LEVEL;
    STRIPE_INIT_COMMAND* c = psStripeInitCommand(psInit);
    const uint32_t dPosition = dGetStripeInitPosition(psInit);
    const uint32_t s = dPosition / g.H;
    const bool fNormal = !HasFlag(psInit, KE_FLAG_REGENERATE);
    const bool fDual = fIsDualControllerActive() == TRUE;
    // A step that needs nothing marks its own stripes: the finishing of
    // the background command must not mark any others.
    c->dStepStripes = 0;
    if (IsBackground(psInit)) c->fBurst = fStripeInitBurstAllowed(g.bRank);
    if (fNormal && fDual && bCheckOutgoingQueueSpace(MESSAGE_STEP_OUT) != STATUS_OK) return STATUS_RETRY;
    STEP sStep{};
    const uint8_t b = bPlanStep(psInit, g, s, &sStep);
    if (b != STATUS_OK) return b;
    if (sStep.sPlan.n == 0) {
        // No member had a drive (or nothing can be read): nothing to wait for.
        if (fNormal) MarkDone(g.bRank, s, sStep.N);
        return STRIPE_INIT_NOTHING_OUT;
    }
    const bool fReads = sStep.eIo == Io::Reads;
    const uint32_t dBlocks = fReads ? g.H : sStep.N * g.H;
    c->dStepStripes = sStep.N;
    c->fBurst = ToFlag(sStep.N > 1);
    PutBe16(c->abBlocks, static_cast<uint16_t>(dBlocks));
    if (bIssuePlan(psInit, g, sStep.sPlan, fReads ? SCSI_READ10 : SCSI_WRITE10, dPosition, dBlocks) != STATUS_OK) {
        return STATUS_RETRY;
    }
    psInit->bCommandType = fReads ? STRIPE_INIT_READS_OUT : STRIPE_INIT_ZERO_WRITES_OUT;
    if (!fReads) {
        for (uint32_t i = 0; i < sStep.sPlan.n; ++i) CountInitTransfer(static_cast<uint16_t>(dBlocks));
    }
    if (fNormal) MarkBusy(EntryWithBitmaps(g.bRank), s, sStep.N, true);
    if (fNormal && fDual) {
        (void)bSendStripeInitMessage(g.bRank, IsOnDemand(psInit) ? MESSAGE_ON_DEMAND_STEP : MESSAGE_STEP_OUT,
                                     dPosition, bGetStripeInitPercent(g.bRank), static_cast<uint16_t>(dBlocks));
    }
    return STATUS_OK;
}

uint8_t bFinishStripeInitStep(KERNEL_ENTRY* psInit) {
    WakeHostPorts(psInit->bRank);
    const GEOMETRY g = GeometryOf(psInit->bRank);
    STRIPE_INIT_COMMAND* c = psStripeInitCommand(psInit);
    const uint32_t s = dGetStripeInitPosition(psInit) / g.H;
    const bool fNormal = !HasFlag(psInit, KE_FLAG_REGENERATE);
    if (HasFlag(psInit, KE_FLAG_CHILD_FAILED)) {
        ClearFlag(psInit, KE_FLAG_CHILD_FAILED);
        if (fNormal) MarkBusy(EntryWithBitmaps(g.bRank), s, c->dStepStripes, false);
        psInit->bCommandType = 0;
        return STATUS_RETRY;
    }
    switch (psInit->bCommandType) {
    case STRIPE_INIT_READS_OUT:
        if (IsRegenerate(psInit) && (g.bLevel == RAID_LEVEL_10 || g.bLevel == RAID_LEVEL_0)) {
            break;   // the mirror's chunk is written as read
        }
        if (!(g.bLevel == RAID_LEVEL_6 ? QueueRaid6Computation(psInit, g) : QueueRaid5Computation(psInit, g))) {
            // The ring is full: the step is read again later.
            if (fNormal) MarkBusy(EntryWithBitmaps(g.bRank), s, c->dStepStripes, false);
            psInit->bCommandType = 0;
            return STATUS_RETRY;
        }
        psInit->bCommandType = STRIPE_INIT_COMPUTATION_OUT;
        MarkOut(psInit);
        return STATUS_OK;
    case STRIPE_INIT_COMPUTATION_OUT: break;
    default: {
        // The writes are in.  A regenerated chunk says nothing of the
        // row's parity: only a row initialised counts as done.
        if (!IsRegenerate(psInit)) MarkDone(g.bRank, s, c->dStepStripes);
        ClearFlag(psInit, KE_FLAG_REGENERATE);
        psInit->bMember = NO_MEMBER;
        return STRIPE_INIT_NOTHING_OUT;
    }
    }
    PLAN sPlan{};
    PlanResultWrites(psInit, g, &sPlan);
    if (sPlan.n == 0) {
        if (!IsRegenerate(psInit)) MarkDone(g.bRank, s, c->dStepStripes);
        ClearFlag(psInit, KE_FLAG_REGENERATE);
        psInit->bMember = NO_MEMBER;
        return STRIPE_INIT_NOTHING_OUT;
    }
    if (bIssuePlan(psInit, g, sPlan, SCSI_WRITE10, dGetStripeInitPosition(psInit), g.H) != STATUS_OK) {
        if (fNormal) MarkBusy(EntryWithBitmaps(g.bRank), s, c->dStepStripes, false);
        psInit->bCommandType = 0;
        return STATUS_RETRY;
    }
    psInit->bCommandType = STRIPE_INIT_PARITY_WRITES_OUT;
    MarkOut(psInit);
    return STATUS_OK;
}

uint8_t bAdvanceStripeInit(KERNEL_ENTRY* psInit) {
    const GEOMETRY g = GeometryOf(psInit->bRank);
    if (!IsKnownLevel(g)) return STRIPE_INIT_NOTHING_OUT;
    const uint32_t dLast = dGetStripeInitLastPosition(psInit);
    const bool fWalkEvery = HasFlag(psInit, KE_FLAG_REGENERATE);
    STRIPE_INIT_COMMAND* c = psStripeInitCommand(psInit);
    const bool fBackground = IsBackground(psInit);
    const bool fDual = fIsDualControllerActive() == TRUE;
    STRIPE_INIT_ENTRY* psRank = psGetStripeInitEntry(g.bRank);
    // A step of the background walk went in (none after a skip: its
    // position is where the walk waits).
    const bool fTell = fBackground && fDual && !fWalkEvery && dBlocksOf(psInit) != 0;
    if (fTell && bCheckOutgoingQueueSpace(MESSAGE_STEP_DONE) != STATUS_OK) return STATUS_RETRY;
    if (fBackground) {
        const uint64_t lNow = lGetTickCount();
        if (c->fBurst != TRUE && lNow < psRank->lNextStepTime) return STRIPE_INIT_NOT_YET;
        psRank->lNextStepTime = lNow;
    }
    if (fTell) {
        (void)bSendStripeInitMessage(g.bRank, MESSAGE_STEP_DONE, dGetStripeInitPosition(psInit), psRank->bPercent,
                                     static_cast<uint16_t>(dBlocksOf(psInit)));
    }
    const STRIPE_INIT_ENTRY* e = EntryWithBitmaps(g.bRank);
    uint64_t lPosition = uint64_t{dGetStripeInitPosition(psInit)} + dBlocksOf(psInit);
    // The next stripe that needs anything; a rank that no longer
    // initialises needs nothing but what the command regenerates.  The
    // background walk skips for a few milliseconds at most.
    const uint64_t lSkipStart = lGetTickCount();
    uint32_t dSkipped = 0;
    for (;;) {
        if (lPosition > dLast) return STRIPE_INIT_NOTHING_OUT;
        const uint32_t s = static_cast<uint32_t>(lPosition / g.H);
        if (fWalkEvery || (e != nullptr && !Bit(e->dDoneBitmap, s))) break;
        if (fBackground && lGetTickCount() - lSkipStart >= SKIP_LIMIT_MS) break;
        lPosition += g.H;
        ++dSkipped;
    }
    if (fBackground && dSkipped != 0) {
        // Rows done already (hosts wrote them) cost a little time each.
        psRank->lNextStepTime = lGetTickCount() + (dSkipped > SKIP_SHORT_RUN ? SKIP_LONG_WAIT_MS : SKIP_WAIT_MS * dSkipped);
        PutBe32(c->abPosition, static_cast<uint32_t>(lPosition));
        PutBe16(c->abBlocks, 0);
        c->dStepStripes = 0;
        c->fBurst = FALSE;
        if (fDual) {
            (void)bSendStripeInitMessage(g.bRank, MESSAGE_SKIPPED, lPosition, psRank->bPercent,
                                         static_cast<uint16_t>(g.H));
            psInit->bPrimaryState = STRIPE_INIT_SKIP_WAIT;
        }
        return STRIPE_INIT_NOT_YET;
    }
    const uint32_t dBlocks = lPosition + g.H - 1 > dLast ? static_cast<uint32_t>(dLast - lPosition + 1) : g.H;
    PutBe32(c->abPosition, static_cast<uint32_t>(lPosition));
    PutBe16(c->abBlocks, static_cast<uint16_t>(dBlocks));
    c->dStepStripes = 1;
    if (!fBackground) return STATUS_OK;
    psRank->bPercent = dLast == 0 ? 0 : static_cast<uint8_t>(lPosition * 100 / dLast);
    psRank->lPosition = lPosition;
    psRank->dCurrentStripe = static_cast<uint32_t>(lPosition / g.H);
    StoreStripeInitNvPosition(g.bRank, lPosition);
    return STATUS_OK;
}

uint8_t fAreStripesInitialised(const KERNEL_ENTRY* psCommand) {
    const STRIPE_INIT_ENTRY* e = EntryWithBitmaps(psCommand->bRank);
    if (e == nullptr) return TRUE;
    const GEOMETRY g = GeometryOf(psCommand->bRank);
    if (!IsKnownLevel(g) || psCommand->wBlocks == 0) return TRUE;
    const uint64_t lRow = uint64_t{g.H} * g.W;
    const uint64_t lFirst = psCommand->lRankAddress / lRow;
    const uint64_t lLast = (psCommand->lRankAddress + psCommand->wBlocks - 1) / lRow;
    for (uint64_t s = lFirst; s <= lLast && s < e->dStripeCount; ++s) {
        if (!Bit(e->dDoneBitmap, static_cast<uint32_t>(s))) return FALSE;
    }
    return TRUE;
}

uint8_t bInitStripesOnDemand(KERNEL_ENTRY* psCommand) {
    const GEOMETRY g = GeometryOf(psCommand->bRank);
    if (!IsKnownLevel(g)) return STATUS_OK;
    const bool fRegenerate = HasFlag(psCommand, KE_FLAG_REGENERATE) && psCommand->bMember < g.D;
    // The rows: the command's own, or (a parity check's) those recorded in it.
    const bool fRecorded = HasFlag(psCommand, KE_FLAG_RECORDED_EXTENT);
    const uint64_t lLba = fRecorded ? psCommand->lLba : psCommand->lRankAddress;
    uint32_t dBlocks = fRecorded ? psCommand->wBlockCount : psCommand->wBlocks;
    if (dBlocks == 0) dBlocks = psCommand->wBlockCount == 0 ? 1 : psCommand->wBlockCount;
    const uint64_t lRow = uint64_t{g.H} * g.W;
    uint32_t dFirst = static_cast<uint32_t>(lLba / lRow);
    const uint32_t dLast = static_cast<uint32_t>((lLba + dBlocks - 1) / lRow);
    bool fHostData = false;
    if (!fRegenerate) {
        const STRIPE_INIT_ENTRY* e = EntryWithBitmaps(g.bRank);
        if (e == nullptr) return STATUS_OK;
        while (dFirst <= dLast && Bit(e->dDoneBitmap, dFirst)) ++dFirst;
        if (dFirst > dLast) return STATUS_OK;
        for (uint32_t s = dFirst; s <= dLast; ++s) fHostData = fHostData || Bit(e->dOnDemandBitmap, s);
    }
    if (bCheckKernelEntryRuns(1, g.D) != STATUS_OK) return STATUS_RETRY;
    KERNEL_ENTRY* psInit = nullptr;
    const bool fSlots = IsParityLevel(g.bLevel) && (fRegenerate || fHostData);
    const uint8_t bAlloc = bAllocCommand(STRIPE_INIT_ON_DEMAND, g, dFirst * g.H, (dLast + 1) * g.H - 1,
                                         fRegenerate ? psCommand->bMember : NO_MEMBER, fSlots, &psInit);
    if (bAlloc != STATUS_OK) return bAlloc;
    // A parity check's row is held by the check itself.
    if (fRegenerate && !fRecorded) return bStartRegeneration(psInit, psCommand);
    const uint8_t b = bRunOn(psInit);
    if (b == STATUS_RETRY) {
        FreeInitCommand(psInit);
        return STATUS_RETRY;
    }
    if (b == STRIPE_INIT_NOTHING_OUT) {
        // Nothing needed I/O (or nothing can regenerate the member): the
        // command goes on, and meets a read error again if it is still there.
        FreeInitCommand(psInit);
        if (fRegenerate) {
            ClearFlag(psCommand, KE_FLAG_REGENERATE);
            psCommand->bMember = NO_MEMBER;
        }
        return STATUS_OK;
    }
    if (!fRegenerate) {
        STRIPE_INIT_ENTRY* e = EntryWithBitmaps(g.bRank);
        if (e != nullptr && e->dOnDemandBitmap != 0) SetStripeBit(e->dOnDemandBitmap, dFirst);
        RecordStripeInNvBitmap(g.bRank, dFirst);
    }
    Serve(psInit, psCommand);
    return STATUS_OK;
}

void StripeInitOnDemandStep(KERNEL_ENTRY* psInit) { StepCommand(psInit); }

uint8_t bStartReadErrorRepair(KERNEL_ENTRY* psChild) {
    const GEOMETRY g = GeometryOf(psChild->bRank);
    const uint8_t bMember = psChild->bMember;
    if (!IsKnownLevel(g) || bMember >= g.D) return STATUS_OK;
    KERNEL_ENTRY* psHost = psHostCommandOf(psChild);
    // One repair at a time per command: the next child's comes round again.
    if (psHost != nullptr && HasFlag(psHost, KE_FLAG_STRIPE_INIT_WAIT)) return STATUS_RETRY;
    const uint32_t dLba = dGetChildLba(psChild);
    const uint32_t dBlocks = wGetChildBlocks(psChild) == 0 ? 1 : wGetChildBlocks(psChild);
    // Whole chunks: the regeneration works chunk by chunk.
    const uint32_t dFirst = dLba / g.H * g.H;
    const uint32_t dLast = ((dLba + dBlocks - 1) / g.H + 1) * g.H - 1;
    if (bCheckKernelEntryRuns(1, g.D) != STATUS_OK) return STATUS_RETRY;
    KERNEL_ENTRY* psInit = nullptr;
    if (bAllocCommand(STRIPE_INIT_REPAIR, g, dFirst, dLast, bMember, IsParityLevel(g.bLevel), &psInit) != STATUS_OK) {
        return STATUS_RETRY;
    }
    // The command is done again once the blocks are rewritten (or, when
    // nothing can stand in for them, meets the error again and reports it).
    if (psHost != nullptr) {
        SetFlag(psHost, KE_FLAG_REGENERATE);
        psHost->bMember = bMember;
    }
    if (bStartRegeneration(psInit, psHost) == STATUS_OK) return STATUS_OK;
    if (psHost != nullptr) {
        ClearFlag(psHost, KE_FLAG_REGENERATE);
        psHost->bMember = NO_MEMBER;
    }
    return STATUS_RETRY;
}

void StripeInitRepairStep(KERNEL_ENTRY* psInit) { StepCommand(psInit); }

uint8_t bAllocBackgroundInitCommand(uint8_t bRank, uint32_t dPosition, uint32_t dLast, KERNEL_ENTRY** ppsInit) {
    const GEOMETRY g = GeometryOf(bRank);
    if (!IsKnownLevel(g)) return STRIPE_INIT_NO_LEVEL;
    return bAllocCommand(STRIPE_INIT_READY, g, dPosition, dLast, NO_MEMBER, IsParityLevel(g.bLevel), ppsInit,
                         static_cast<uint16_t>(STRIPE_INIT_ZERO_BLOCKS));
}

void FreeStripeInitCommand(KERNEL_ENTRY* psInit) { FreeInitCommand(psInit); }

void ReleaseStripeInitStep(KERNEL_ENTRY* psInit) {
    const STRIPE_INIT_COMMAND* c = psStripeInitCommand(psInit);
    const uint32_t H = wGetRankChunkSize(psInit->bRank);
    if (H != 0) MarkBusy(EntryWithBitmaps(psInit->bRank), dGetStripeInitPosition(psInit) / H, c->dStepStripes, false);
    ReleaseStripeInitWaiters(psInit->bRank);
}

}  // namespace fw
