// Background stripe initialisation: the table of initialising ranks, the
// task that walks each of them one step per call, its throttle, its NVRAM
// progress and the partner messages that keep the other controller's copy
// of it in step.
#include "raid/stripe_init.h"

#include <cstring>
#include <initializer_list>

#include "cache/nvram_journal.h"
#include "cache/write_stages.h"
#include "config/apply_settings.h"
#include "config/bad_blocks.h"
#include "config/config_flags.h"
#include "config/config_image.h"
#include "config/config_phase.h"
#include "config/nvram_layout.h"
#include "config/nvram_records.h"
#include "config/nvram_tables.h"
#include "config/rank_table.h"
#include "console/console_menu.h"
#include "enclosure/drive_management.h"
#include "enclosure/drive_rescan.h"
#include "enclosure/power_management.h"
#include "eventlog/event_log.h"
#include "eventlog/statistics.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/kernel_entry.h"
#include "executive/nvram_access.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "config/config_state.h"
#include "raid/child_commands.h"
#include "raid/raid_engine.h"
#include "raid/rebuild.h"
#include "raid/stripe_init_steps.h"
#include "sas/sas_drive.h"
#include "sas/sas_flags.h"
#include "target/host_command_codes.h"

namespace fw {

namespace {

constexpr uint8_t EVENT_INIT_STARTED = 51;
constexpr uint8_t EVENT_INIT_COMPLETE = 52;
// Host traffic this recent holds the throttle on.
constexpr uint64_t HOST_IDLE_MS = 2001;
// Coarse ticks without host activity before the walk writes in bursts.
constexpr uint32_t BURST_QUIET_TICKS = 20;
// A slave's command this close to the walk waits for it.
constexpr uint32_t NEAR_WALK_STRIPES = 16;
constexpr uint32_t NV_BITMAP_BITS = NVRAM_STRIPE_INIT_BITMAP_SIZE * 8;
constexpr uint8_t RANK_HOSTS_REFUSED = 2;
constexpr uint8_t NO_STATE = 0;

struct STRIPE_INIT_GLOBALS {
    uint8_t fAnyInProgress;
    uint8_t fRestartAll;
    uint8_t fThrottlePass;
    uint8_t bStepped;
    uint32_t dHostStamp;
    uint64_t lHostCommands;
    uint64_t lHostBlocks;
    uint64_t lInitCommands;
    uint64_t lInitBlocks;
};
STRIPE_INIT_GLOBALS s_sInit;

STRIPE_INIT_ENTRY& E(uint8_t bRank) { return *psGetStripeInitEntry(bRank); }
bool IsMaster() { return fIsMasterController() == TRUE; }
bool IsDual() { return fIsDualControllerActive() == TRUE; }

// ---- NVRAM progress ---------------------------------------------------------

uint32_t dRecordOffset(bool fCopyA, uint8_t bRank) {
    return (fCopyA ? NVRAM_OFFSET(abStripeInitRecordA) : NVRAM_OFFSET(abStripeInitRecordB)) + 8u * bRank;
}
uint32_t dNvBitmapOffset(uint8_t bRank) { return NVRAM_OFFSET(abStripeInitBitmaps) + NVRAM_STRIPE_INIT_BITMAP_SIZE * bRank; }

bool NvSelectorIsValid(uint8_t bRank) {
    const uint8_t b = bGetStripeInitSelector(bRank);
    return b == TRUE || b == FALSE;
}
uint64_t lNvPosition(uint8_t bRank) { return lNvramReadLE64(dRecordOffset(bGetStripeInitSelector(bRank) == TRUE, bRank)); }

void ClearOneNvProgress(uint8_t bRank) {
    NvramWriteLE64(dRecordOffset(true, bRank), 0);
    NvramWriteLE64(dRecordOffset(false, bRank), 0);
    SetStripeInitByte(bRank, FALSE);
    SetStripeInitSelector(bRank, TRUE);
    if (bRank < NVRAM_STRIPE_INIT_BITMAP_ARRAYS) NvramFill(dNvBitmapOffset(bRank), 0, NVRAM_STRIPE_INIT_BITMAP_SIZE);
}

// ---- the rank ---------------------------------------------------------------

uint32_t H(uint8_t bRank) { return wGetRankChunkSize(bRank); }

uint32_t dDataChunks(uint8_t bRank) {
    const uint8_t D = bGetRankDriveCount(bRank);
    switch (bGetRankRaidLevel(bRank)) {
    case RAID_LEVEL_5:
    case RAID_LEVEL_50: {
        const uint8_t G = bGetRankSubRankCount(bRank) == 0 ? 1 : bGetRankSubRankCount(bRank);
        return D > G ? static_cast<uint32_t>(D - G) : 0;
    }
    case RAID_LEVEL_6: return D > 2 ? D - 2u : 0;
    case RAID_LEVEL_10: return D / 2u;
    default: return D;
    }
}

// The last member block the walk covers: (E + 1) / W − 1.
uint32_t dLastPositionOf(uint8_t bRank) {
    uint64_t lExtent = 0;
    GetRankLastOffset(bRank, &lExtent);
    const uint32_t W = dDataChunks(bRank);
    const uint64_t lBlocks = W == 0 ? 0 : (lExtent + 1) / W;
    return lBlocks == 0 ? 0 : static_cast<uint32_t>(lBlocks - 1);
}

// ---- bitmaps ----------------------------------------------------------------

// Pages for one bit per stripe, counted in whole 32-bit words.
uint32_t dBitmapPages(uint32_t S) {
    const uint32_t dBytes = (S / 32 + 1) * 4;
    return (dBytes + BUFFER_PAGE_SIZE - 1) / BUFFER_PAGE_SIZE;
}

uint32_t dAllocBitmap(uint32_t dPages) {
    BUFFER_HANDLE h = NULL_BUFFER_HANDLE;
    if (bAllocDataPages(0, dPages, &h) != STATUS_OK) return 0;
    const uint32_t d = static_cast<uint32_t>(dBufferHandleToCpuAddress(h));
    std::memset(pbAtAddress(d), 0, dPages * BUFFER_PAGE_SIZE);
    return d;
}

void FreeBitmap(uint32_t* pdAddress, uint32_t* pdPages) {
    if (*pdAddress != 0 && *pdPages != 0) (void)wFreeDataPages(BUFFER_HANDLE{*pdAddress}, *pdPages);
    *pdAddress = 0;
    *pdPages = 0;
}

void FreeBitmaps(STRIPE_INIT_ENTRY& e) {
    FreeBitmap(&e.dOnDemandBitmap, &e.dOnDemandPages);
    FreeBitmap(&e.dDoneBitmap, &e.dDonePages);
    FreeBitmap(&e.dBusyBitmap, &e.dBusyPages);
}

void SetBits(uint32_t dBitmap, uint32_t dFirst, uint32_t dEnd) {
    for (uint32_t s = dFirst; s < dEnd; ++s) SetStripeBit(dBitmap, s);
}

// Every stripe of the rank holds host data: a resume that cannot trust
// what it knows recomputes every row from its data.
void AssumeHostDataEverywhere(STRIPE_INIT_ENTRY& e) { std::memset(pbAtAddress(e.dOnDemandBitmap), 0xFF, e.dOnDemandPages * BUFFER_PAGE_SIZE); }

// The rows hosts wrote before a power cut, from the NV bitmap: every bit
// from the current stripe's granule on marks its granule of stripes.
void TakeNvBitmap(uint8_t bRank, STRIPE_INIT_ENTRY& e) {
    const uint8_t* pb = pGetStripeInitBitmap(bRank);
    const uint32_t dBits = (e.dStripeCount + e.dNvGranule - 1) / e.dNvGranule;
    for (uint32_t b = e.dCurrentStripe / e.dNvGranule; b < dBits && b < NV_BITMAP_BITS; ++b) {
        if (((pb[b / 8] >> (b % 8)) & 1u) == 0) continue;
        const uint32_t dEnd = (b + 1) * e.dNvGranule;
        SetBits(e.dOnDemandBitmap, b * e.dNvGranule, dEnd < e.dStripeCount ? dEnd : e.dStripeCount);
    }
}

// ---- the walk -----------------------------------------------------------------

void FreeCommand(STRIPE_INIT_ENTRY& e) {
    if (e.psCommand != nullptr) FreeStripeInitCommand(e.psCommand);
    e.psCommand = nullptr;
}

// State 1: the init command, its buffer and (for a fresh walk) the bitmaps.
uint8_t bAllocStripeInit(uint8_t bRank) {
    STRIPE_INIT_ENTRY& e = E(bRank);
    const uint32_t dChunk = H(bRank);
    const uint32_t dLast = dLastPositionOf(bRank);
    if (dChunk == 0 || dLast == 0) return 0;
    if (e.lPosition > dLast) e.lPosition = 0;
    // A restart keeps the walk's bitmaps and position only while they count
    // the array's rows.  A new chunk size re-initialises the array (its data
    // went with the change): the walk starts afresh and zeroes every row.
    if (e.bReason == STRIPE_INIT_RESTART && e.dDoneBitmap != 0 && e.dStripeCount != (dLast + 1) / dChunk) {
        FreeBitmaps(e);
        e.lPosition = 0;
        e.bReason = STRIPE_INIT_NEW_ARRAY;
    }
    const uint32_t dPosition = static_cast<uint32_t>(e.lPosition);
    KERNEL_ENTRY* ps = nullptr;
    const uint8_t b = bAllocBackgroundInitCommand(bRank, dPosition, dLast, &ps);
    if (b != STATUS_OK) return b;
    e.bPercent = static_cast<uint8_t>(uint64_t{dPosition} * 100 / dLast);
    if (e.bReason != STRIPE_INIT_RESTART || e.dDoneBitmap == 0) {
        FreeBitmaps(e);
        const uint32_t S = (dLast + 1) / dChunk;
        const uint32_t dPages = dBitmapPages(S);
        e.dOnDemandBitmap = dAllocBitmap(dPages);
        e.dDoneBitmap = dAllocBitmap(dPages);
        e.dBusyBitmap = dAllocBitmap(dPages);
        e.dOnDemandPages = e.dOnDemandBitmap != 0 ? dPages : 0;
        e.dDonePages = e.dDoneBitmap != 0 ? dPages : 0;
        e.dBusyPages = e.dBusyBitmap != 0 ? dPages : 0;
        if (e.dOnDemandBitmap == 0 || e.dDoneBitmap == 0 || e.dBusyBitmap == 0) {
            FreeBitmaps(e);
            FreeStripeInitCommand(ps);
            return STATUS_NO_PAGES;
        }
        e.dStripeCount = S;
        e.dCurrentStripe = dPosition / dChunk;
        e.dNvGranule = S / NV_BITMAP_BITS + (S % NV_BITMAP_BITS != 0 ? 1 : 0);
        if (e.dNvGranule == 0) e.dNvGranule = 1;
        SetBits(e.dDoneBitmap, 0, e.dCurrentStripe);
        const bool fTrusted = fIsNvramConfigTieValid() == TRUE && e.fProgressTrusted == TRUE;
        if (e.bReason == STRIPE_INIT_RESUME && bRank < NVRAM_STRIPE_INIT_BITMAP_ARRAYS && fTrusted) {
            SetBits(e.dOnDemandBitmap, 0, e.dCurrentStripe);
            TakeNvBitmap(bRank, e);
        } else if (e.bReason == STRIPE_INIT_RESUME && bRank < NVRAM_STRIPE_INIT_BITMAP_ARRAYS) {
            AssumeHostDataEverywhere(e);
            NvramFill(dNvBitmapOffset(bRank), 0xFF, NVRAM_STRIPE_INIT_BITMAP_SIZE);
        } else if (e.bReason != STRIPE_INIT_NEW_ARRAY) {
            AssumeHostDataEverywhere(e);
        }
    } else {
        e.dCurrentStripe = dPosition / dChunk;
        std::memset(pbAtAddress(e.dBusyBitmap), 0, e.dBusyPages * BUFFER_PAGE_SIZE);
        ReleaseStripeInitWaiters(bRank);
    }
    e.psCommand = ps;
    return STATUS_OK;
}

// The walk may issue a step on the rank now.
bool MayIssue(uint8_t bRank, const KERNEL_ENTRY* ps, bool fThrottleAllows) {
    if (!IsMaster() || !fThrottleAllows) return false;
    const bool fWritesOut = ps->bCommandType == STRIPE_INIT_ZERO_WRITES_OUT || ps->bCommandType == STRIPE_INIT_PARITY_WRITES_OUT;
    if (fGetRankInitPaused(bRank) == TRUE && !fWritesOut) return false;
    return fGetPartnerWork() != TRUE && fIsDriveFirmwareDownloadInProgress() != TRUE;
}

void SendStepDone(uint8_t bRank, uint32_t dBlocks) {
    if (IsDual()) {
        (void)bSendStripeInitMessage(bRank, STRIPE_INIT_MESSAGE_STEP_DONE, E(bRank).lPosition, E(bRank).bPercent,
                                     static_cast<uint16_t>(dBlocks));
    }
}

// State 2: one action on the init command.
void Walk(uint8_t bRank, bool fThrottleAllows) {
    STRIPE_INIT_ENTRY& e = E(bRank);
    KERNEL_ENTRY* ps = e.psCommand;
    if (ps == nullptr) {
        e.bState = STRIPE_INIT_STOP;
        return;
    }
    switch (ps->bPrimaryState) {
    case STRIPE_INIT_READY: {
        if (e.fRestartRequest == TRUE) {
            e.bState = STRIPE_INIT_STOP;
            return;
        }
        if (!MayIssue(bRank, ps, fThrottleAllows)) return;
        const uint8_t b = bIssueStripeInitStep(ps);
        if (b == STATUS_OK) {
            ps->bPrimaryState = STRIPE_INIT_STEP_OUT;
            e.dStepStripes = psStripeInitCommand(ps)->dStepStripes;
            e.fBurst = psStripeInitCommand(ps)->fBurst;
        } else if (b == STRIPE_INIT_NOTHING_OUT) {
            ps->bCommandType = STRIPE_INIT_ZERO_WRITES_OUT;
            ps->bPrimaryState = STRIPE_INIT_STEP_FINISHED;
        } else if (b == STRIPE_INIT_NO_LEVEL) {
            // Nothing the walk knows how to make consistent: it ends.
            e.bState = STRIPE_INIT_FINISHED;
        }
        return;
    }
    case STRIPE_INIT_STEP_OUT: return;
    case STRIPE_INIT_SKIP_WAIT:
        if (!IsDual()) ps->bPrimaryState = STRIPE_INIT_STEP_FINISHED;
        return;
    case STRIPE_INIT_STEP_FINISHED:
        // Rows skipped: the walk pauses.  Its step was finished already and
        // the held host commands were looked at then.
        if (wGetBe16(psStripeInitCommand(ps)->abBlocks) == 0 && e.fRestartRequest != TRUE && IsMaster() &&
            lGetTickCount() < e.lNextStepTime) {
            return;
        }
        break;
    default: return;
    }
    SetHostPortWork(PORT_CODE_FC_HOST_1, TRUE);
    SetHostPortWork(PORT_CODE_FC_HOST_2, TRUE);
    ReleaseStripeInitWaiters(bRank);
    if (!IsMaster()) {
        e.bState = STRIPE_INIT_STOP;
        return;
    }
    if (e.fRestartRequest == TRUE) {
        e.bState = STRIPE_INIT_STOP;
        ReleaseStripeInitStep(ps);
        SendStepDone(bRank, H(bRank) * e.dStepStripes);
        return;
    }
    const uint8_t bFinish = bFinishStripeInitStep(ps);
    if (bFinish == STATUS_RETRY) {
        ps->bPrimaryState = STRIPE_INIT_READY;
        return;
    }
    if (bFinish != STRIPE_INIT_NOTHING_OUT) return;   // more of the step is out
    switch (bAdvanceStripeInit(ps)) {
    case STRIPE_INIT_NOTHING_OUT: e.bState = STRIPE_INIT_FINISHED; return;
    case STATUS_OK: ps->bPrimaryState = STRIPE_INIT_READY; return;
    default: return;   // not yet: the step stays finished
    }
}

void ApplyAfterWalk() {
    if (IsMaster()) SetConfigApplyOption(TRUE);
    (void)ApplyStoredSettings(TRUE, TRUE);
}

// State 3: the rank is consistent.
void Finish(uint8_t bRank) {
    STRIPE_INIT_ENTRY& e = E(bRank);
    RequestEnclosureStatusUpdate(TRUE);
    CONFIG_IMAGE* psImage = pGetConfigImage();
    if (bRank < bGetRankCount() && psImage != nullptr) {
        psImage->asRank[bRank].bInitState = 0xFF;
        psImage->asRank[bRank].fInitialized = TRUE;
        ClearRankBadBlocks(psImage, bRank, FALSE);
    }
    SetRankInitPending(bRank, FALSE);
    PostEvent(EVENT_INIT_COMPLETE, bRank);
    FreeCommand(e);
    FreeBitmaps(e);
    e.bState = NO_STATE;
    SetStripeInitInProgress(bRank, FALSE);
    ClearStripeInitNvProgress(bRank);
}

// State 4: the walk stops, and starts again from its NVRAM progress when
// the rank still wants it.  FALSE when other ranks still initialise and
// nothing more is to be done now.
bool StopOrRestart(uint8_t bRank) {
    STRIPE_INIT_ENTRY& e = E(bRank);
    RequestEnclosureStatusUpdate(TRUE);
    FreeCommand(e);
    if (!IsMaster()) {
        s_sInit.fRestartAll = TRUE;
        e.fInProgress = FALSE;
    }
    const uint8_t bCount = bGetRankCount();
    if (bRank < bCount && bCount != 0 && fGetRankInitPending(bRank) == TRUE) {
        StartStripeInit(bRank, STRIPE_INIT_RESTART);
        return false;
    }
    e.bState = NO_STATE;
    SetStripeInitInProgress(bRank, FALSE);
    ClearStripeInitNvProgress(bRank);
    FreeBitmaps(e);
    return s_sInit.fAnyInProgress != TRUE;
}

uint8_t bPercentOf(uint64_t lPart, uint64_t lWhole) { return lWhole == 0 ? 0 : static_cast<uint8_t>(lPart * 100 / lWhole); }

void IgnoredMessage(const uint8_t* pb) {
    ConsolePrintf("Stripe init message %02x ignored: rank %02x position %08x%08x\n", pb[0], pb[1], dGetBe32(pb + 3),
                  dGetBe32(pb + 7));
}

}  // namespace

// ---------------------------------------------------------------------------

uint8_t InitStripeInitTable() {
    for (uint8_t r = 0; r < STRIPE_INIT_ENTRIES; ++r) {
        STRIPE_INIT_ENTRY& e = E(r);
        std::memset(&e, 0, sizeof e);
        e.fInProgress = FALSE;
        e.fRestartRequest = FALSE;
        e.fBurst = FALSE;
        e.fProgressTrusted = FALSE;
    }
    std::memset(&s_sInit, 0, sizeof s_sInit);
    s_sInit.fAnyInProgress = FALSE;
    s_sInit.fRestartAll = FALSE;
    s_sInit.fThrottlePass = FALSE;
    return FALSE;
}

void StartStripeInit(uint8_t bRank, uint8_t bReason) {
    if (bRank >= STRIPE_INIT_ENTRIES) return;
    STRIPE_INIT_ENTRY& e = E(bRank);
    const uint32_t dChunk = H(bRank);
    // A record that is no row of the rank, or a selector that is neither
    // copy, cannot say which rows were done: the walk starts over and
    // recomputes every row instead of zeroing one a host may have written.
    uint64_t lPosition = lNvPosition(bRank);
    e.fProgressTrusted = ToFlag(NvSelectorIsValid(bRank) && dChunk != 0 && lPosition % dChunk == 0 &&
                                lPosition <= dLastPositionOf(bRank));
    if (e.fProgressTrusted != TRUE) lPosition = 0;
    if (bReason != STRIPE_INIT_RESTART) PostEvent(EVENT_INIT_STARTED, bRank);
    if (lPosition != 0) {
        lPosition = lPosition < 2ull * dChunk ? 0 : lPosition - 2ull * dChunk;
    } else if (bReason == STRIPE_INIT_NEW_ARRAY) {
        // A resume keeps its NV bitmap: it holds the rows hosts wrote.
        ClearStripeInitNvProgress(bRank);
    }
    e.bState = STRIPE_INIT_ALLOCATE;
    e.bReason = bReason;
    e.fRestartRequest = FALSE;
    e.bPercent = 0;
    e.lPosition = lPosition;
    e.dHostStamp = dGetCoarseTick();
    s_sInit.dHostStamp = e.dHostStamp;
    e.fBurst = FALSE;
    s_sInit.fRestartAll = FALSE;
    s_sInit.fThrottlePass = FALSE;
    SetStripeInitInProgress(bRank, TRUE);
    NvramWriteLE64(dRecordOffset(true, bRank), lPosition);
    NvramWriteLE64(dRecordOffset(false, bRank), lPosition);
    SetStripeInitByte(bRank, TRUE);
    SetStripeInitSelector(bRank, TRUE);
    s_sInit.lHostCommands = s_sInit.lHostBlocks = s_sInit.lInitCommands = s_sInit.lInitBlocks = 0;
}

void StripeInitTask() {
    if (fGetSASTimedHoldFlag() == TRUE || fIsSASFailbackInProgress() == TRUE) return;
    const bool fThrottleAllows = fStripeInitMayProceed() == TRUE;
    uint8_t bStepped = 0;
    for (uint8_t r = 0; r < STRIPE_INIT_ENTRIES; ++r) {
        STRIPE_INIT_ENTRY& e = E(r);
        if (e.fInProgress != TRUE) continue;
        const uint8_t bCount = bGetRankCount();
        if (r >= bCount) {
            e.fRestartRequest = TRUE;
        } else if (bGetRankOperationState(r) == RANK_HOSTS_REFUSED) {
            // Hosts may no longer write the rank: its walk ends for good.
            e.fRestartRequest = TRUE;
            SetRankInitPending(r, FALSE);
        }
        // A rank that left the configuration has no drives to wait for.
        if (r < bCount) {
            const uint8_t bPower = bGetArrayAPMState(r);
            if (bPower == APM_SPUN_DOWN) {
                (void)bSpinArrayUpDown(TRUE, r);
                continue;
            }
            if (bPower != APM_SPUN_UP) continue;
        }
        ++bStepped;
        switch (e.bState) {
        case STRIPE_INIT_ALLOCATE: {
            const uint8_t b = bAllocStripeInit(r);
            if (b == STATUS_OK) {
                e.bState = e.fRestartRequest == TRUE ? STRIPE_INIT_STOP : STRIPE_INIT_WALK;
            } else if (b == STRIPE_INIT_NO_LEVEL) {
                // No rows the walk could make consistent.
                e.bState = e.fRestartRequest == TRUE ? STRIPE_INIT_STOP : STRIPE_INIT_FINISHED;
            }
            break;
        }
        case STRIPE_INIT_WALK: Walk(r, fThrottleAllows); break;
        case STRIPE_INIT_FINISHED:
            Finish(r);
            ApplyAfterWalk();
            break;
        case STRIPE_INIT_STOP:
            if (StopOrRestart(r)) ApplyAfterWalk();
            break;
        default: break;
        }
    }
    s_sInit.bStepped = bStepped;
}

namespace {

// What the task would do for the rank now, without doing it: FALSE while
// its step is out, while it may not issue the next one and while its pause
// after skipped rows lasts.  A step's end raises the work-pending flag; the
// throttle and the pause are looked at again with the tick's.
bool IsRankDue(uint8_t bRank, bool fThrottleAllows) {
    const STRIPE_INIT_ENTRY& e = E(bRank);
    if (e.fRestartRequest == TRUE || bRank >= bGetRankCount() ||
        bGetRankOperationState(bRank) == RANK_HOSTS_REFUSED) {
        return true;
    }
    const uint8_t bPower = bGetArrayAPMState(bRank);
    if (bPower != APM_SPUN_UP) return bPower == APM_SPUN_DOWN;
    if (e.bState != STRIPE_INIT_WALK) return true;
    const KERNEL_ENTRY* ps = e.psCommand;
    if (ps == nullptr) return true;
    switch (ps->bPrimaryState) {
    case STRIPE_INIT_READY: return MayIssue(bRank, ps, fThrottleAllows);
    case STRIPE_INIT_SKIP_WAIT: return !IsDual();
    case STRIPE_INIT_STEP_FINISHED:
        return !(wGetBe16(psStripeInitCommand(const_cast<KERNEL_ENTRY*>(ps))->abBlocks) == 0 && IsMaster() &&
                 lGetTickCount() < e.lNextStepTime);
    default: return false;
    }
}

}  // namespace

uint8_t fIsStripeInitDue() {
    if (s_sInit.fAnyInProgress != TRUE) return FALSE;
    if (fGetSASTimedHoldFlag() == TRUE || fIsSASFailbackInProgress() == TRUE) return FALSE;
    const bool fThrottleAllows = fStripeInitMayProceed() == TRUE;
    for (uint8_t r = 0; r < STRIPE_INIT_ENTRIES; ++r) {
        if (E(r).fInProgress == TRUE && IsRankDue(r, fThrottleAllows)) return TRUE;
    }
    return FALSE;
}

uint8_t fIsStripeInitInProgress(uint8_t bRank) {
    if (bRank >= STRIPE_INIT_ENTRIES) return s_sInit.fAnyInProgress == TRUE ? TRUE : FALSE;
    return E(bRank).fInProgress == TRUE ? TRUE : FALSE;
}

void SetStripeInitInProgress(uint8_t bRank, uint8_t f) {
    if (bRank >= STRIPE_INIT_ENTRIES) {
        for (uint8_t r = 0; r < STRIPE_INIT_ENTRIES; ++r) E(r).fInProgress = f;
    } else {
        E(bRank).fInProgress = f;
    }
    if (f == TRUE) {
        s_sInit.fAnyInProgress = TRUE;
        SetWorkPending(TRUE);
        return;
    }
    // Nothing holds the writes of a rank that no longer initialises.
    for (uint8_t r = 0; r < STRIPE_INIT_ENTRIES; ++r) {
        if (bRank >= STRIPE_INIT_ENTRIES || r == bRank) ReleaseStripeInitWaiters(r);
    }
    s_sInit.fAnyInProgress = FALSE;
    for (uint8_t r = 0; r < STRIPE_INIT_ENTRIES; ++r) {
        if (E(r).fInProgress == TRUE) s_sInit.fAnyInProgress = TRUE;
    }
}

void SetStripeInitRestartAll() {
    MarkStripeInitForRestart();
    s_sInit.fRestartAll = TRUE;
}

void MarkStripeInitForRestart() {
    for (uint8_t r = 0; r < STRIPE_INIT_ENTRIES; ++r) E(r).fRestartRequest = TRUE;
}

// The walks stop at their next step; one whose array still wants it starts
// again from its NVRAM progress, so no row a host wrote is zeroed.  A
// rebuild the NVRAM names as pending is forgotten: the edit decides anew.
void CancelPendingArrayJobs() {
    if (s_sInit.fAnyInProgress == TRUE) MarkStripeInitForRestart();
    if (bGetNvramRebuildPendingFlag() == TRUE) {
        ResetRebuildState();
        InitRebuildNvRecord();
    }
}

// A step's command handed back through the RAID engine's wait list: the
// walk finishes the step at its next pass, which must not wait for a tick.
void StripeInitStepDone(KERNEL_ENTRY* psCommand) {
    if (psCommand != nullptr && psCommand->bPrimaryState == STRIPE_INIT_STEP_FINISHED) SetWorkPending(TRUE);
}

uint8_t bGetStripeInitPercent(uint8_t bRank) { return bRank < STRIPE_INIT_ENTRIES ? E(bRank).bPercent : 0; }

void SetStripeInitPercent(uint8_t bRank, uint8_t bPercent) {
    if (bRank < STRIPE_INIT_ENTRIES) {
        E(bRank).bPercent = bPercent;
        return;
    }
    for (uint8_t r = 0; r < STRIPE_INIT_ENTRIES; ++r) E(r).bPercent = bPercent;
}

void ClearStripeInitNvProgress(uint8_t bRank) {
    if (bRank < STRIPE_INIT_ENTRIES) {
        ClearOneNvProgress(bRank);
        return;
    }
    for (uint8_t r = 0; r < STRIPE_INIT_ENTRIES; ++r) ClearOneNvProgress(r);
}

void StoreStripeInitNvPosition(uint8_t bRank, uint64_t lPosition) {
    if (bRank >= STRIPE_INIT_ENTRIES) return;
    const bool fNowA = bGetStripeInitSelector(bRank) == TRUE;
    NvramWriteLE64(dRecordOffset(!fNowA, bRank), lPosition);
    SetStripeInitSelector(bRank, fNowA ? FALSE : TRUE);
}

void RenumberStripeInitEntries(const CONFIG_IMAGE* psImage, const uint8_t* pbOldRank) {
    if (psImage == nullptr || pbOldRank == nullptr) return;
    const uint8_t bCount = static_cast<uint8_t>(psImage->sHeader.wRankCount < STRIPE_INIT_ENTRIES ? psImage->sHeader.wRankCount
                                                                                                   : STRIPE_INIT_ENTRIES);
    for (uint8_t r = 0; r < bCount; ++r) {
        const uint8_t bOld = pbOldRank[r];
        if (bOld == 0xFF || bOld == r || bOld >= STRIPE_INIT_ENTRIES) continue;
        // A walk running at the number wanted moves out of the way, past
        // the last rank, and restarts when the task comes to it.
        if (E(r).fInProgress == TRUE && bCount < STRIPE_INIT_ENTRIES) {
            E(bCount) = E(r);
            E(bCount).fRestartRequest = TRUE;
        }
        E(r) = E(bOld);
        std::memset(&E(bOld), 0, sizeof(STRIPE_INIT_ENTRY));
        E(bOld).fInProgress = FALSE;
        uint8_t ab[8];
        for (const bool fA : {true, false}) {
            NvramRead(dRecordOffset(fA, bOld), ab, sizeof ab);
            NvramWrite(dRecordOffset(fA, r), ab, sizeof ab);
        }
        SetStripeInitSelector(r, bGetStripeInitSelector(bOld));
        SetStripeInitByte(r, bGetStripeInitByte(bOld));
        if (r < NVRAM_STRIPE_INIT_BITMAP_ARRAYS) {
            if (bOld < NVRAM_STRIPE_INIT_BITMAP_ARRAYS) {
                uint8_t abPage[256];
                for (uint32_t o = 0; o < NVRAM_STRIPE_INIT_BITMAP_SIZE; o += sizeof abPage) {
                    NvramRead(dNvBitmapOffset(bOld) + o, abPage, sizeof abPage);
                    NvramWrite(dNvBitmapOffset(r) + o, abPage, sizeof abPage);
                }
            } else {
                // Nothing says which rows hosts wrote: all of them.
                NvramFill(dNvBitmapOffset(r), 0xFF, NVRAM_STRIPE_INIT_BITMAP_SIZE);
            }
        }
        ClearOneNvProgress(bOld);
    }
    SetStripeInitInProgress(STRIPE_INIT_ALL_RANKS, FALSE);
    for (uint8_t r = 0; r < STRIPE_INIT_ENTRIES; ++r) {
        if (E(r).bState != NO_STATE && E(r).psCommand != nullptr) E(r).psCommand->bRank = r;
        if (E(r).bState != NO_STATE) SetStripeInitInProgress(r, TRUE);
    }
}

uint8_t fIsStripeInitBusy(const KERNEL_ENTRY* psCommand, uint8_t bRank, uint32_t dStripe) {
    if (bRank >= STRIPE_INIT_ENTRIES) return FALSE;
    const STRIPE_INIT_ENTRY& e = E(bRank);
    if (e.fInProgress != TRUE) return FALSE;
    uint32_t dFirst = dStripe;
    uint32_t dLast = dStripe;
    if (psCommand != nullptr) {
        NoteStripeInitHostActivity(bRank);
        const uint64_t lRow = uint64_t{H(bRank)} * dDataChunks(bRank);
        if (lRow == 0) return FALSE;
        const uint32_t dBlocks = psCommand->wBlocks == 0 ? 1 : psCommand->wBlocks;
        dFirst = static_cast<uint32_t>(psCommand->lRankAddress / lRow);
        dLast = static_cast<uint32_t>((psCommand->lRankAddress + dBlocks - 1) / lRow);
        if (!IsMaster()) {
            const uint32_t dBelow = NEAR_WALK_STRIPES + STRIPE_INIT_ZERO_BLOCKS / (H(bRank) == 0 ? 1 : H(bRank));
            const uint32_t dFrom = dFirst > dBelow ? dFirst - dBelow : 0;
            if (e.dCurrentStripe >= dFrom && e.dCurrentStripe <= dLast + NEAR_WALK_STRIPES) return TRUE;
        }
    }
    if (e.dBusyBitmap == 0) return FALSE;
    for (uint32_t s = dFirst; s <= dLast && s < e.dStripeCount; ++s) {
        if (fIsStripeBitSet(e.dBusyBitmap, s) == TRUE) {
            return psCommand != nullptr && !IsMaster() ? STRIPE_INIT_BUSY_ON_SLAVE : TRUE;
        }
    }
    return FALSE;
}

void NoteStripeInitHostActivity(uint8_t bRank) {
    if (bRank >= STRIPE_INIT_ENTRIES || E(bRank).fInProgress != TRUE) return;
    E(bRank).dHostStamp = dGetCoarseTick();
    s_sInit.dHostStamp = E(bRank).dHostStamp;
}

void CountHostTransfer(uint16_t wBlocks) {
    ++s_sInit.lHostCommands;
    s_sInit.lHostBlocks += wBlocks;
}

void CountInitTransfer(uint16_t wBlocks) {
    ++s_sInit.lInitCommands;
    s_sInit.lInitBlocks += wBlocks;
}

uint8_t fStripeInitMayProceed() {
    STRIPE_INIT_GLOBALS& g = s_sInit;
    auto Less = [](uint32_t a, uint32_t b) { return a > b ? a - b : 0u; };
    uint32_t dLoad = dGetHostReadsInProgress() + dGetHostWritesInProgress() + wGetDirtyExtentCount();
    dLoad = Less(dLoad, dGetCacheWriteCount());
    dLoad = Less(dLoad, wGetMirroredExtentCount());
    if (lGetTickCount() - lGetLastHostCommandTime() >= HOST_IDLE_MS) dLoad = 0;
    if (dLoad == 0) {
        g.lHostCommands = g.lHostBlocks = g.lInitCommands = g.lInitBlocks = 0;
        return TRUE;
    }
    const uint64_t lCommands = g.lHostCommands + g.lInitCommands;
    const uint64_t lBlocks = g.lHostBlocks + g.lInitBlocks;
    if (lCommands == 0 || lBlocks == 0) return TRUE;
    const uint64_t X = bGetInitPriority();
    if (X < g.lInitCommands * 100 / lCommands && X < g.lInitBlocks * 100 / lBlocks) {
        if (g.fThrottlePass == TRUE) {
            g.fThrottlePass = FALSE;
            return TRUE;
        }
        return FALSE;
    }
    return TRUE;
}

uint8_t fStripeInitBurstAllowed(uint8_t bRank) {
    if (bRank >= STRIPE_INIT_ENTRIES) return FALSE;
    const uint32_t dNow = dGetCoarseTick();
    if (dNow - E(bRank).dHostStamp < BURST_QUIET_TICKS) return FALSE;
    uint32_t dRunning = 0;
    for (uint8_t r = 0; r < STRIPE_INIT_ENTRIES; ++r) dRunning += E(r).fInProgress == TRUE;
    if (dRunning > 2 && dNow - s_sInit.dHostStamp < BURST_QUIET_TICKS) return FALSE;
    const bool fBusy = fIsConfigUpdatePending() == TRUE || fIsConfigCommitInProgress() == TRUE ||
                       fIsDriveRescanRequested() == TRUE || fIsDriveRescanInProgress() == TRUE ||
                       fGetConfigWriteWaitFlag() == TRUE || fGetHostCommandHold() == TRUE;
    return fBusy ? FALSE : TRUE;
}

uint8_t HandleStripeInitMessage(const uint8_t* pb) {
    const uint8_t bCode = pb[0];
    const uint8_t bRank = pb[1];
    if (bCode == STRIPE_INIT_MESSAGE_HOST_WAITS) {
        s_sInit.fThrottlePass = TRUE;
        return STATUS_OK;
    }
    const uint64_t lPosition = (uint64_t{dGetBe32(pb + 3)} << 32) | dGetBe32(pb + 7);
    const uint32_t dBlocks = wGetBe16(pb + 11);
    if (bRank >= bGetRankCount() || bRank >= STRIPE_INIT_ENTRIES || E(bRank).fInProgress != TRUE) {
        IgnoredMessage(pb);
        return STATUS_OK;
    }
    STRIPE_INIT_ENTRY& e = E(bRank);
    const uint32_t dChunk = H(bRank);
    // A position past the rank, or rows the walk does not have: the
    // message belongs to some other walk.
    if (dChunk == 0 || e.dDoneBitmap == 0 || lPosition / dChunk >= e.dStripeCount ||
        (lPosition + dBlocks + dChunk - 1) / dChunk > e.dStripeCount) {
        IgnoredMessage(pb);
        return STATUS_OK;
    }
    const uint32_t s = static_cast<uint32_t>(lPosition / dChunk);
    const uint32_t n = dBlocks / dChunk;
    // Whatever the partner's walk did, the writes sleeping on it look again.
    ReleaseStripeInitWaiters(bRank);
    switch (bCode) {
    case STRIPE_INIT_MESSAGE_STEP_OUT:
        e.lPosition = lPosition;
        e.dCurrentStripe = s;
        e.dStepStripes = n;
        SetBits(e.dBusyBitmap, s, s + n);
        return STATUS_OK;
    case STRIPE_INIT_MESSAGE_STEP_DONE:
        e.lPosition = lPosition;
        e.dCurrentStripe = s;
        e.bPercent = pb[2] > 100 ? 100 : pb[2];
        StoreStripeInitNvPosition(bRank, lPosition);
        e.dStepStripes = n;
        for (uint32_t k = s; k < s + n; ++k) {
            SetStripeBit(e.dDoneBitmap, k);
            ClearStripeBit(e.dBusyBitmap, k);
            RecordStripeInNvBitmap(bRank, k);
        }
        return STATUS_OK;
    case STRIPE_INIT_MESSAGE_ON_DEMAND:
        SetStripeBit(e.dDoneBitmap, s);
        RecordStripeInNvBitmap(bRank, s);
        return STATUS_OK;
    case STRIPE_INIT_MESSAGE_SKIPPED:
        e.lPosition = lPosition;
        e.dCurrentStripe = s;
        e.bPercent = pb[2] > 100 ? 100 : pb[2];
        return fIsStripeBitSet(e.dBusyBitmap, s) == TRUE ? STATUS_RETRY : STATUS_OK;
    default: IgnoredMessage(pb); return STATUS_OK;
    }
}

void StripeInitSkipAnswered(uint8_t bRank, uint8_t fRetry) {
    if (bRank >= STRIPE_INIT_ENTRIES) return;
    KERNEL_ENTRY* ps = E(bRank).psCommand;
    if (ps == nullptr || ps->bPrimaryState != STRIPE_INIT_SKIP_WAIT) return;
    if (fRetry == TRUE) {
        STRIPE_INIT_COMMAND* c = psStripeInitCommand(ps);
        const uint32_t dPosition = dGetStripeInitPosition(ps);
        const uint32_t dBlocks = wGetBe16(c->abBlocks);
        if (dPosition != dBlocks && dPosition >= dBlocks) PutBe32(c->abPosition, dPosition - dBlocks);
    }
    ps->bPrimaryState = STRIPE_INIT_STEP_FINISHED;
}

void ShowStripeInitStats() {
    if (s_sInit.fAnyInProgress != TRUE) {
        ConsolePrintf("No Stripe Init In Progress\n");
        return;
    }
    ConsolePrintf("Stripe Init Stats, %02x in prog:\n", s_sInit.bStepped);
    for (uint8_t r = 0; r < STRIPE_INIT_ENTRIES; ++r) {
        const STRIPE_INIT_ENTRY& e = E(r);
        if (e.fInProgress != TRUE) continue;
        ConsolePrintf("%02x %02x %02d%% %02x Addr:%08x No:%08x of %08x NV:%04x \n", r, e.bState, e.bPercent, e.bReason,
                      static_cast<uint32_t>(e.lPosition), e.dCurrentStripe, e.dStripeCount, e.dNvGranule);
        if (bGetDiagnosticsModeLevel() > 3 && e.dBusyBitmap != 0) {
            for (uint32_t s = e.dCurrentStripe; s < e.dCurrentStripe + e.dStepStripes && s < e.dStripeCount; ++s) {
                if (fIsStripeBitSet(e.dBusyBitmap, s) == TRUE) ConsolePrintf("Stripe: %08x Init In Prog\n", s);
            }
        }
    }
    const STRIPE_INIT_GLOBALS& g = s_sInit;
    ConsolePrintf("Host Txfr:%08x:%08x Init Txfr:%08x:%08x %02d%% %02d%%\n\n", static_cast<uint32_t>(g.lHostCommands),
                  static_cast<uint32_t>(g.lHostBlocks), static_cast<uint32_t>(g.lInitCommands),
                  static_cast<uint32_t>(g.lInitBlocks), bPercentOf(g.lInitCommands, g.lHostCommands + g.lInitCommands),
                  bPercentOf(g.lInitBlocks, g.lHostBlocks + g.lInitBlocks));
}

}  // namespace fw
