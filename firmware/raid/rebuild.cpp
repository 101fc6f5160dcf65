// The rebuild of one array member onto a replacement drive.
#include "raid/rebuild.h"

#include <cstring>
#include <initializer_list>

#include "cache/nvram_journal.h"
#include "config/apply_settings.h"
#include "config/config_commit.h"
#include "config/config_image.h"
#include "config/config_state.h"
#include "config/drive_tables.h"
#include "config/nvram_layout.h"
#include "config/rank_table.h"
#include "config/spares_wwn.h"
#include "enclosure/drive_management.h"
#include "enclosure/drive_rescan.h"
#include "enclosure/drive_spin.h"
#include "enclosure/drive_table.h"
#include "eventlog/event_log.h"
#include "eventlog/statistics.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/nvram_access.h"
#include "executive/port_codes.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "raid/child_commands.h"
#include "raid/raid_engine.h"
#include "raid/rebuild_check.h"
#include "raid/rebuild_regions.h"
#include "sas/sas_drive.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/stage_rings.h"

namespace fw {

namespace {

constexpr uint8_t COPY_1 = TRUE;         // the selector's value naming copy 1
constexpr uint8_t COPY_2 = FALSE;
constexpr uint8_t REQUESTER_REBUILD = 3;   // configuration update requester code
constexpr uint32_t START_DELAY_TICKS = 10;   // 5 s in coarse ticks of 500 ms
constexpr uint32_t RESUME_DELAY_TICKS = 20;
constexpr uint32_t PACING_TICKS = 4;
constexpr uint64_t IDLE_TOO_LONG_MS = 9999;
constexpr uint8_t READ_RESTARTS = 3;     // read phases a region gets before its source counts as failed
constexpr uint32_t SHARE_HOST_RATE = 1499;
constexpr uint32_t SHARE_REBUILD_RATE = 14999;
// The window behind the front that writes wait on, and its reach ahead.
constexpr uint8_t WINDOW_BACK_REGIONS = 32;
constexpr uint8_t WINDOW_AHEAD_REGIONS = 20;

REBUILD_CONTROL s_sCtl;

// The writes out ahead of the front, each with the first member block of
// its rows.  More than fit are found by a walk of the host entries.
constexpr uint8_t AHEAD_WRITE_SLOTS = 64;
constexpr uint32_t NO_HOLD = 0xFFFFFFFF;
struct AHEAD_WRITE {
    KERNEL_ENTRY* psHost;
    uint32_t dFirstBlock;
};
AHEAD_WRITE s_asAhead[AHEAD_WRITE_SLOTS];
uint8_t s_fAheadOverflow = FALSE;

// --- the record in NVRAM ---------------------------------------------------

uint32_t dCopyOffset(uint8_t bSelector) {
    return NVRAM_OFFSET(abRebuildRecord) + (bSelector == COPY_1 ? 0u : uint32_t(sizeof(REBUILD_NV_COPY)));
}
uint8_t bCurrentCopy() { return bGetNvramRebuildSelector() == COPY_1 ? COPY_1 : COPY_2; }
uint8_t bOtherCopy() { return bCurrentCopy() == COPY_1 ? COPY_2 : COPY_1; }
const REBUILD_NV_COPY* psCopy(uint8_t bSelector) {
    return reinterpret_cast<const REBUILD_NV_COPY*>(pNvramBase() + dCopyOffset(bSelector));
}
const REBUILD_NV_COPY& Current() { return *psCopy(bCurrentCopy()); }

void WriteCopy(uint8_t bSelector, const REBUILD_NV_COPY& s) { NvramWrite(dCopyOffset(bSelector), &s, sizeof s); }
void WriteBothCopies(const REBUILD_NV_COPY& s) {
    WriteCopy(COPY_2, s);
    WriteCopy(COPY_1, s);
}

// NVRAM takes one byte at a time: the copy the selector names is never
// written.  The new record goes into the other copy, and the one-byte
// selector store then makes it current, so a cut at any byte leaves either
// the old record or the new one.
void CommitRecord(const REBUILD_NV_COPY& s) {
    const uint8_t bOther = bOtherCopy();
    WriteCopy(bOther, s);
    SetNvramRebuildSelector(bOther);
    // Host writes that wait at the window go round their port's "Write
    // Ready" ring, which is served only while the port has work: the window
    // moved, so they look again now, not at the next half-second tick.
    SetHostPortWork(PORT_CODE_FC_HOST_1, TRUE);
    SetHostPortWork(PORT_CODE_FC_HOST_2, TRUE);
}

uint32_t dPosition(const REBUILD_NV_COPY& s) { return dGetBe32(s.abPosition); }
uint32_t dEnd(const REBUILD_NV_COPY& s) { return dGetBe32(s.abEnd); }
uint16_t wBlocksAt(uint32_t dPositionNow, uint32_t dEndNow, uint16_t wRegion) {
    const uint64_t lLeft = dPositionNow > dEndNow ? 0 : uint64_t(dEndNow) - dPositionNow + 1;
    return static_cast<uint16_t>(lLeft < wRegion ? lLeft : wRegion);
}

// --- geometry ----------------------------------------------------------------

uint8_t bDataMembers(uint8_t bRank) { return bGetRankDataDriveCount(bRank); }


// Source drives of member D0 (and D1 on RAID 6) from the run-time rank record.
void FillSources(REBUILD_NV_COPY& s, uint8_t bRank) {
    std::memset(s.abSource3, REBUILD_NONE, sizeof s.abSource3);
    std::memset(s.abSource4, REBUILD_NONE, sizeof s.abSource4);
    const uint8_t D = bGetRankDriveCount(bRank);
    const uint8_t d0 = s.bMember0;
    switch (bGetRankRaidLevel(bRank)) {
    case RAID_LEVEL_10:
        s.abSource3[0] = bGetRankMemberDriveOnPath(bRank, d0 ^ 1u, 3);
        s.abSource4[0] = bGetRankMemberDriveOnPath(bRank, d0 ^ 1u, 4);
        break;
    case RAID_LEVEL_5:
    case RAID_LEVEL_50: {
        const uint8_t P = bMembersPerSubrank(bRank);
        if (P == 0) break;
        const uint8_t bFirst = static_cast<uint8_t>(d0 / P * P);
        uint8_t i = 0;
        for (uint8_t m = bFirst; m < bFirst + P && m < D && i < REBUILD_SOURCES; ++m) {
            if (m == d0) continue;
            s.abSource3[i] = bGetRankMemberDriveOnPath(bRank, m, 3);
            s.abSource4[i++] = bGetRankMemberDriveOnPath(bRank, m, 4);
        }
        break;
    }
    case RAID_LEVEL_6:
        for (uint8_t m = 0; m < D && m < REBUILD_SOURCES; ++m) {
            if (m == d0 || m == s.bMember1) continue;
            s.abSource3[m] = bGetRankMemberDriveOnPath(bRank, m, 3);
            s.abSource4[m] = bGetRankMemberDriveOnPath(bRank, m, 4);
        }
        break;
    default: break;
    }
}

void MarkMemberRebuilding(uint8_t bRank, uint8_t bMember, uint8_t bLoopId3) {
    if (bMember >= MAX_RANK_MEMBERS) return;
    SetRankMemberDriveOnPath(bRank, bMember, 3, bLoopId3);
    SetRankMemberState(bRank, bMember, 1);
    SetRankMemberFlags(bRank, bMember, MEMBER_FLAGS_REBUILDING);
}

void PostRebuildEvent(uint8_t bCode, const REBUILD_NV_COPY& s) {
    PostEvent(bCode, s.abWwn[0], s.abWwn[1], s.abWwn[2], s.abWwn[3], s.abWwn[4], s.abWwn[5], s.abWwn[6], s.abWwn[7],
              s.bRank, s.bMember0, bGetDriveIndexOfWWN(s.abWwn));
}

// A rebuild message as the partner's handlers read it (its CDB): byte 2
// the rank, 3 D0, 4-7 the end (progress: the position), 8-15 the WWN
// (progress: 8-9 the blocks of the next region).
void EncodeRebuildMessage(uint8_t bCode, const REBUILD_NV_COPY& s, uint8_t* pb) {
    std::memset(pb, 0, REBUILD_MSG_BYTES);
    pb[1] = bCode;
    pb[2] = s.bRank;
    pb[3] = s.bMember0;
    if (bCode == REBUILD_MSG_PROGRESS) {
        std::memcpy(pb + 4, s.abPosition, 4);
        std::memcpy(pb + 8, s.abBlocks, 2);
    } else {
        std::memcpy(pb + 4, s.abEnd, 4);
        std::memcpy(pb + 8, s.abWwn, 8);
    }
}

// The partner follows the record: a message it has not acknowledged yet
// holds the region children back (OCC counts them).  One the link could
// not take is never answered, so it holds nothing back.
void SendToPartner(uint8_t bCode, const REBUILD_NV_COPY& s, bool fCounted) {
    if (fIsDualControllerActive() != TRUE) return;
    uint8_t abMessage[REBUILD_MSG_BYTES];
    EncodeRebuildMessage(bCode, s, abMessage);
    if (bSendConfigRecordMessage(bCode, abMessage + 2) != STATUS_OK) return;
    if (fCounted) ++s_sCtl.bOcc;
    s_sCtl.fMessageOutstanding = TRUE;
}

// A partner's message that does not fit this configuration changes nothing.
void IgnoreMessage(uint8_t bCode, const uint8_t* pbMessage) {
    ConsolePrintf("Rebuild message %d ignored: R:%02x D0:%02x\n", bCode, pbMessage[2], pbMessage[3]);
}

// --- regions -------------------------------------------------------------------

REBUILD_REGION_SLOT* psSlotOf(const KERNEL_ENTRY* psRegion) {
    for (REBUILD_REGION_SLOT& s : s_sCtl.asSlot) {
        if ((s.wFlags & REBUILD_SLOT_IN_USE) != 0 && s.psCommand == psRegion) return &s;
    }
    return nullptr;
}

bool IsParked(const REBUILD_REGION_SLOT& s) {
    // Written, and waiting for those issued before it to retire.
    if ((s.wFlags & REBUILD_SLOT_WAITING) != 0) return true;
    const KERNEL_ENTRY* psRegion = s.psCommand;
    for (uint8_t i = 0; i < s_sCtl.bSorted; ++i) {
        if (s_sCtl.apsSorted[i] == psRegion) return true;
    }
    return false;
}

void FreeSlotBuffer(REBUILD_REGION_SLOT& s) {
    if (s.wPages != 0) (void)wFreeDataPages(s.dBuffer, s.wPages);
    s.dBuffer = NULL_BUFFER_HANDLE;
    s.wPages = 0;
}

// A region the rebuild let go of has come back: its entry is freed, and its
// buffer with it when the rebuild no longer holds the slot.
void DropRegion(REBUILD_REGION_SLOT& s) {
    FreeTargetEntry(s.psCommand);
    s.psCommand = nullptr;
    if ((s.wFlags & REBUILD_SLOT_ABORTED) != 0) FreeSlotBuffer(s);
    s.wFlags = 0;
    s.bReadRetries = 0;
}


// Every region is let go of: those parked here are freed at once, those out
// in the RAID engine come back through the completion entry points, which
// free them then (their slot keeps its buffer until they do).
void ReleaseAllRegions() {
    for (REBUILD_REGION_SLOT& s : s_sCtl.asSlot) {
        if ((s.wFlags & REBUILD_SLOT_IN_USE) == 0) {
            FreeSlotBuffer(s);
            s = REBUILD_REGION_SLOT{};
        } else if (IsParked(s)) {
            s.wFlags |= REBUILD_SLOT_ABORTED;
            DropRegion(s);
        } else {
            s.wFlags |= REBUILD_SLOT_ABORTED;
        }
    }
    s_sCtl.bSorted = 0;
    s_sCtl.bRip = 0;
    s_sCtl.bWip = 0;
    s_sCtl.fEnd = FALSE;
}

void ResetRegionForRead(KERNEL_ENTRY* ps) {
    ClearFlag(ps, KE_FLAG_ABORTED);
    ClearFlag(ps, KE_FLAG_CHILD_FAILED);
    ps->bPrimaryState = REGION_NEW;
    ps->bSecondaryState = 0;
    ps->bRetryCount = CHILD_RETRIES;
    ps->wChildrenOutstanding = 0;
    ps->wTotalChildren = 0;
    psRegionFields(ps)->fWritePhase = FALSE;
}

void FillRegion(KERNEL_ENTRY* ps, const REBUILD_REGION_SLOT& sSlot, uint32_t dStart, uint16_t wBlocks) {
    const REBUILD_NV_COPY& s = Current();
    std::memset(pRaidFields(ps), 0, sizeof(RAID_ENTRY_FIELDS));
    ps->bPortCode = PORT_CODE_INTERNAL;
    ps->bRank = s.bRank;
    ps->bMember = s.bMember0;
    ps->wLunIndex = 0xFFFF;
    ps->lFlags = 0;
    ps->dBufferHandle = sSlot.dBuffer;
    ps->wPageCount = sSlot.wPages;
    ps->alSequence[0] = s_sCtl.lIssueSequence;
    REBUILD_REGION_FIELDS* f = psRegionFields(ps);
    f->bMember = s.bMember0;
    f->bSecondMember = s.bMember1;
    f->bReplacement = s.bReplacement3;
    // D1 is only regenerated as absent; a later pass writes it.
    f->bReplacementAlt = REGION_NO_MEMBER;
    std::memset(f->abSource, REGION_NO_MEMBER, sizeof f->abSource);
    std::memcpy(f->abSource, s.abSource3, REBUILD_SOURCES);
    PutBe32(f->abStart, dStart);
    PutBe16(f->abBlocks, wBlocks);
    ResetRegionForRead(ps);
}

uint32_t dRegionStart(KERNEL_ENTRY* ps) { return dGetBe32(psRegionFields(ps)->abStart); }
uint16_t wRegionBlocks(KERNEL_ENTRY* ps) { return wGetBe16(psRegionFields(ps)->abBlocks); }

void InsertSorted(KERNEL_ENTRY* ps) {
    if (s_sCtl.bSorted >= REBUILD_SLOTS) return;   // cannot happen: one entry per slot
    uint8_t i = s_sCtl.bSorted;
    while (i > 0 && dRegionStart(s_sCtl.apsSorted[i - 1]) > dRegionStart(ps)) {
        s_sCtl.apsSorted[i] = s_sCtl.apsSorted[i - 1];
        --i;
    }
    s_sCtl.apsSorted[i] = ps;
    ++s_sCtl.bSorted;
}

// --- commit and retire ---------------------------------------------------------

// The replacement becomes the member in the live image and the run-time
// record; the rank is whole again when no other member is out.
void CommitMemberInImage(const REBUILD_NV_COPY& s) {
    const uint8_t bRank = s.bRank;
    const uint8_t d0 = s.bMember0;
    CONFIG_IMAGE* psImage = pGetConfigImage();
    if (psImage != nullptr && bRank < MAX_RANKS && d0 < MAX_RANK_MEMBERS) {
        CONFIG_RANK_RECORD& r = psImage->asRank[bRank];
        std::memcpy(r.aabMemberWwn[d0], s.abWwn, 8);
        r.abMemberState[d0] = 0;
        bool fAllIn = true;
        for (uint8_t m = 0; m < r.bDriveCount && m < MAX_RANK_MEMBERS; ++m) fAllIn = fAllIn && r.abMemberState[m] == 0;
        SetRankMemberFlags(bRank, d0, MEMBER_FLAGS_IN_SERVICE);
        if (fAllIn) {
            r.bInitState = RANK_STATE_OPTIMAL;
            SetRankOperationState(bRank, RANK_STATE_OPTIMAL);
        }
    }
}

void CommitRebuiltMember() {
    const uint8_t bRank = Current().bRank;
    CommitMemberInImage(Current());
    (void)RequestConfigUpdate(REQUESTER_REBUILD);
    (void)fRequestDriveRescan();
    EvaluateRankCachePolicy(bRank);
    if (fIsMasterController() == TRUE && fGetAutoRebuild() == TRUE) SetRebuildCheckPending(TRUE);
}

void FinishRebuild(const REBUILD_NV_COPY& sDone) {
    SetNvramRebuildPendingFlag(FALSE);
    CommitRebuiltMember();
    ReleaseAllRegions();
    SetRebuildWork(FALSE);
    s_sCtl.bState = REBUILD_IDLE;
    CommitRecord(sDone);
    SendToPartner(REBUILD_MSG_COMPLETE, sDone, true);
    PostEvent(EVENT_REBUILD_COMPLETE, sDone.bRank, sDone.bMember0);
    ShowRebuildInfo();
}

// Regions retire strictly in issue order, so the region retired always
// starts at the recorded position: the position moves over it alone.
void RetireRebuildRegion(REBUILD_REGION_SLOT& sSlot) {
    KERNEL_ENTRY* ps = sSlot.psCommand;
    const uint32_t dStart = dRegionStart(ps);
    const uint16_t wBlocks = wRegionBlocks(ps);
    s_sCtl.lRegenWriteBlocks += uint64_t(wBlocks) * ps->wTotalChildren;
    s_sCtl.dWriteChildren += ps->wTotalChildren;
    FreeTargetEntry(ps);
    sSlot.psCommand = nullptr;
    sSlot.wFlags = 0;
    sSlot.bReadRetries = 0;
    const uint8_t bWasWip = s_sCtl.bWip;
    if (s_sCtl.bWip != 0) --s_sCtl.bWip;
    if (fGetRebuildWork() != TRUE || bWasWip == 0) return;
    REBUILD_NV_COPY s = Current();
    const uint32_t dEndNow = dEnd(s);
    const uint32_t dNew = dStart + wBlocks;
    PutBe32(s.abPosition, dNew);
    if (dNew - 1 >= dEndNow) {
        FinishRebuild(s);
        return;
    }
    PutBe16(s.abBlocks, wBlocksAt(dNew, dEndNow, s_sCtl.wRegionBlocks));
    CommitRecord(s);
    SendToPartner(REBUILD_MSG_PROGRESS, s, true);
}

// A region ended in error.  Short of resources or with an unreadable
// source it reads again, a few times; a source that stays unreadable, or a
// replacement refusing its writes, ends the rebuild.
void RegionFailed(REBUILD_REGION_SLOT& sSlot) {
    KERNEL_ENTRY* ps = sSlot.psCommand;
    const bool fWriteFailed = psRegionFields(ps)->fWritePhase == TRUE && ps->bPrimaryState != REGION_NEW;
    if (fWriteFailed || sSlot.bReadRetries >= READ_RESTARTS) {
        FailRebuild(fWriteFailed ? EVENT_REBUILD_TARGET_FAILED : EVENT_REBUILD_SOURCE_FAILED);
        // The failing region is back here: the rebuild let go of it above.
        if ((sSlot.wFlags & REBUILD_SLOT_IN_USE) != 0) DropRegion(sSlot);
        return;
    }
    ++sSlot.bReadRetries;
    ResetRegionForRead(ps);
    // A source may have left the array since: the region reads the sources
    // the record names now.
    REBUILD_REGION_FIELDS* f = psRegionFields(ps);
    f->bSecondMember = Current().bMember1;
    std::memcpy(f->abSource, Current().abSource3, REBUILD_SOURCES);
    QueueWaitListA(ps);
}

// --- the step machine -----------------------------------------------------------

void StartWrites() {
    while (s_sCtl.bSorted != 0 && s_sCtl.apsSorted[0]->alSequence[0] == s_sCtl.lWriteSequence) {
        KERNEL_ENTRY* ps = s_sCtl.apsSorted[0];
        ++s_sCtl.lWriteSequence;
        --s_sCtl.bSorted;
        std::memmove(&s_sCtl.apsSorted[0], &s_sCtl.apsSorted[1], s_sCtl.bSorted * sizeof(KERNEL_ENTRY*));
        QueueWaitListA(ps);
    }
}

void ReleaseReplacementDrive(const uint8_t* pbWwn) {
    CONFIG_IMAGE* psImage = pGetConfigImage();
    if (psImage == nullptr) return;
    for (CONFIG_RANK_RECORD& r : psImage->asRank) {
        for (uint8_t m = 0; m < MAX_RANK_MEMBERS; ++m) {
            if (std::memcmp(r.aabMemberWwn[m], pbWwn, 8) == 0) std::memset(r.aabMemberWwn[m], 0, 8);
        }
    }
    RemoveSpareFromImage(pbWwn);
}

// A replacement power management parked (a spare) is started with the
// rebuild, so its first regions find it coming up.
void SpinUpParkedReplacement(const uint8_t* pbWwn) {
    DRIVE_INFO* psDrive = nullptr;
    uint8_t bIndex = 0;
    if (fFindDriveByWWN(pbWwn, &psDrive, &bIndex) != TRUE) return;
    if (bGetDriveAPMState(psDrive->bEnclosureNo, psDrive->bSlotNo) != DRIVE_APM_SPUN_DOWN) return;
    (void)bSpinDriveUpDown(psDrive->bEnclosureNo, psDrive->bSlotNo, TRUE);
}

bool IdleTooLong() {
    return s_sCtl.fIdle == TRUE && lGetTickCount() - s_sCtl.lHostIdleSinceMs > IDLE_TOO_LONG_MS;
}

void StartCommon(uint8_t bRank, uint8_t bMember0, uint8_t bMember1, uint8_t bLoopId3, uint8_t bLoopId4,
                 const uint8_t* pbWwn, uint32_t dMemberBlocks) {
    REBUILD_NV_COPY s{};
    std::memset(&s, REBUILD_NONE, sizeof s);
    s.bRank = bRank;
    s.bMember0 = bMember0;
    s.bMember1 = bMember1;
    s.bRaidLevel = bGetRankRaidLevel(bRank);
    s.bReserved4 = FALSE;
    FillSources(s, bRank);
    s.bReplacement3 = bLoopId3;
    s.bReplacement4 = bLoopId4;
    std::memcpy(s.abWwn, pbWwn, 8);
    PutBe32(s.abPosition, 0);
    PutBe32(s.abEnd, dMemberBlocks == 0 ? 0 : dMemberBlocks - 1);
    PutBe16(s.abBlocks, 0);
    std::memset(s.abReserved55, 0, sizeof s.abReserved55);
    WriteBothCopies(s);
    if (CONFIG_IMAGE* psImage = pGetConfigImage()) RemoveFailedDriveWwn(pbWwn, psImage);
    MarkMemberRebuilding(bRank, bMember0, bLoopId3);
    SpinUpParkedReplacement(pbWwn);
    PostRebuildEvent(EVENT_REBUILD_STARTED, s);
    s_sCtl.bState = REBUILD_START;
    s_sCtl.dStartAfterTick = dGetCoarseTick() + START_DELAY_TICKS;
    SetRebuildWork(TRUE);
}

}  // namespace

// --- start and stop -----------------------------------------------------------------

void StartRebuild(uint8_t bRank, uint8_t bMember, uint8_t bLoopId3, uint8_t bLoopId4, const uint8_t* pbWwn,
                  uint32_t dMemberBlocks) {
    StartCommon(bRank, bMember, REBUILD_NONE, bLoopId3, bLoopId4, pbWwn, dMemberBlocks);
}

void StartRaid6Rebuild(uint8_t bRank, uint8_t bMember0, uint8_t bMember1, uint8_t bLoopId3, uint8_t bLoopId4,
                       const uint8_t* pbWwn, uint32_t dMemberBlocks) {
    StartCommon(bRank, bMember0, bMember1, bLoopId3, bLoopId4, pbWwn, dMemberBlocks);
}

void CancelRebuild() {
    if (fIsMasterController() == TRUE) PostEvent(EVENT_REBUILD_CANCELLED, psCopy(COPY_1)->bRank, psCopy(COPY_1)->bMember0);
    ResetRebuildState();
    InitRebuildNvRecord();
    if (fIsMasterController() == TRUE) (void)fRequestDriveRescan();
}

void FailRebuild(uint8_t bEvent) {
    const REBUILD_NV_COPY s = Current();
    if (s.bRank < MAX_RANKS) {
        // The members written are missing again, on no drive: host commands
        // no longer reach the replacement.
        for (uint8_t m : {s.bMember0, s.bMember1}) {
            if (m >= MAX_RANK_MEMBERS) continue;
            SetRankMemberState(s.bRank, m, 0xFF);
            SetRankMemberDrive(s.bRank, m, NO_DRIVE);
            SetRankMemberDriveOnPath(s.bRank, m, 4, NO_DRIVE);
            SetRankMemberFlags(s.bRank, m, MEMBER_FLAGS_REBUILD_FAILED);
        }
    }
    PostRebuildEvent(bEvent, s);
    ResetRebuildState();
    InitRebuildNvRecord();
    (void)fRequestDriveRescan();
    // The members are still missing: another spare may take them.
    if (fIsMasterController() == TRUE && fGetAutoRebuild() == TRUE) SetRebuildCheckPending(TRUE);
}

void RebuildMemberFailed(uint8_t bRank, uint8_t bMember) {
    if (bGetNvramRebuildPendingFlag() != TRUE) return;
    REBUILD_NV_COPY s = Current();
    if (s.bRank != bRank || bMember == s.bMember1) return;
    if (bMember == s.bMember0) {
        FailRebuild(EVENT_REBUILD_TARGET_FAILED);
        return;
    }
    if (s.bRaidLevel != RAID_LEVEL_6 || s.bMember1 != REBUILD_NONE) {
        FailRebuild(EVENT_REBUILD_SOURCE_FAILED);
        return;
    }
    // Regions issued from now on leave it out.  Those out already keep host
    // writes off their rows, so what they read of it is still whole; one
    // whose read of it fails reads again without it.
    s.bMember1 = bMember;
    FillSources(s, bRank);
    CommitRecord(s);
}

void ResetRebuildState() {
    ReleaseAllRegions();
    s_sCtl.bState = REBUILD_IDLE;
    SetRebuildWork(FALSE);
}

void InitRebuildNvRecord() {
    REBUILD_NV_COPY s{};
    std::memset(&s, REBUILD_NONE, 5);
    s.bReserved4 = FALSE;
    std::memset(s.abSource3, REBUILD_NONE, sizeof s.abSource3);
    std::memset(s.abSource4, REBUILD_NONE, sizeof s.abSource4);
    s.bReplacement3 = REBUILD_NONE;
    s.bReplacement4 = REBUILD_NONE;
    SetNvramRebuildPendingFlag(FALSE);
    WriteBothCopies(s);
    SetNvramRebuildSelector(COPY_1);
    s_sCtl.bState = REBUILD_IDLE;
    SetRebuildWork(FALSE);
}

void ClearRebuildWorkArea() { s_sCtl = REBUILD_CONTROL{}; }

uint8_t ResumeRebuildFromNvram(uint8_t bLoopId3, uint8_t bLoopId4) {
    REBUILD_NV_COPY s = Current();
    const uint8_t bRank = s.bRank;
    const uint16_t wRegion = bRank < MAX_RANKS ? wRebuildRegionBlocksOf(bRank) : 0;
    // A record that does not fit the configuration is not trusted: the
    // rebuild starts again from the first block.
    const uint32_t dMember = wRegion != 0 ? dGetRankMemberBlocks(bRank) : 0;
    if (wRegion == 0 || s.bMember0 >= bGetRankDriveCount(bRank) || s.bRaidLevel != bGetRankRaidLevel(bRank)) return 0;
    const uint32_t dEndNow = dEnd(s);
    uint32_t dPos = dPosition(s);
    if (dMember == 0 || dEndNow != dMember - 1 || dPos > dEndNow || wGetBe16(s.abBlocks) != wBlocksAt(dPos, dEndNow, wRegion)) {
        dPos = 0;
    }
    for (uint8_t i = 0; i < REBUILD_RESUME_BACKOFF_REGIONS; ++i) {
        if (dPos >= wRegion) dPos -= wRegion;
    }
    dPos = dPos / wRegion * wRegion;
    PutBe32(s.abPosition, dPos);
    PutBe32(s.abEnd, dMember - 1);
    PutBe16(s.abBlocks, wBlocksAt(dPos, dMember - 1, wRegion));
    // The second missing member of a RAID 6 is one out of service, whether
    // or not a drive still answers in its place: a drive the rank failed
    // holds nothing the regeneration may read.
    if (s.bRaidLevel == RAID_LEVEL_6) {
        for (uint8_t m = 0; m < bGetRankDriveCount(bRank) && s.bMember1 == REBUILD_NONE; ++m) {
            if (m != s.bMember0 && bGetRankMemberFlags(bRank, m) != MEMBER_FLAGS_IN_SERVICE) s.bMember1 = m;
        }
    }
    FillSources(s, bRank);
    s.bReplacement3 = bLoopId3;
    s.bReplacement4 = bLoopId4;
    CommitRecord(s);
    MarkMemberRebuilding(bRank, s.bMember0, bLoopId3);
    // A resume is news when the controller comes up with a rebuild recorded,
    // or takes one over from the partner; a configuration change that only
    // restarts the running rebuild is not.
    if (fIsMasterController() == TRUE &&
        (fIsInitializationComplete() != TRUE || s_sCtl.bLastState == REBUILD_SLAVE_WAIT)) {
        PostRebuildEvent(EVENT_REBUILD_RESUMED, s);
    }
    SetRebuildWork(TRUE);
    s_sCtl.dStartAfterTick = dGetCoarseTick() + RESUME_DELAY_TICKS;
    if (fIsAnyRebuildRegionOut() == TRUE) {
        ReleaseAllRegions();
        s_sCtl.bState = REBUILD_RESUME_WAIT;
    } else {
        s_sCtl.bState = REBUILD_START;
    }
    return 255;
}

void StartRebuildOfRank(uint8_t bRank) {
    SetRebuildRankInNv(bRank);
    if (ResumeRebuildFromNvram(bGetRebuildTargetLoopId(), REBUILD_NONE) == 255) return;
    // The record no longer fits the array: the rebuild check starts over.
    InitRebuildNvRecord();
    SetRebuildCheckPending(TRUE);
}

// --- scheduler and steps ----------------------------------------------------------

void RemoveSpareFromImage(const uint8_t* pbWwn) {
    CONFIG_IMAGE* psImage = pGetConfigImage();
    if (psImage == nullptr) return;
    const uint32_t dCount = dClampedSpareCount(psImage);
    for (uint32_t i = 0; i < dCount; ++i) {
        if (std::memcmp(psImage->asSpare[i].abWwn, pbWwn, 8) != 0) continue;
        DeleteSpareEntry(psImage, static_cast<uint8_t>(i));
        return;
    }
}

uint8_t fRebuildPriorityAllows() {
    if (s_sCtl.bState != REBUILD_ISSUE) return TRUE;
    const uint32_t t = dGetCoarseTick() - s_sCtl.dStartTick;
    if (t == 0) return TRUE;
    const uint64_t r = s_sCtl.lRegenReadBlocks / t;
    const uint64_t h = (s_sCtl.alHostBlocks[0]) / t;
    if (h <= SHARE_HOST_RATE || r <= SHARE_REBUILD_RATE) return TRUE;
    const uint64_t lShare = r * 100 / (r + h);
    return bGetRebuildPriority() >= lShare ? TRUE : FALSE;
}

namespace {
uint16_t wLessOrZero(uint16_t w, uint16_t wLess) { return w > wLess ? static_cast<uint16_t>(w - wLess) : 0; }

// Host work the rebuild would compete with: commands in progress and
// journal extents still to be written, less the writes already held in the
// cache (their drive writes come later) and the partner's mirrored extents.
uint16_t wHostLoad() {
    uint16_t w = static_cast<uint16_t>(dGetHostReadsInProgress() + dGetHostWritesInProgress() + wGetDirtyExtentCount());
    w = wLessOrZero(w, static_cast<uint16_t>(dGetCacheWriteCount()));
    return wLessOrZero(w, wGetMirroredExtentCount());
}

// Something more urgent than the rebuild owns the drives or the partner.
bool RebuildHeldBack() {
    if (fIsDriveFirmwareDownloadInProgress() == TRUE) return true;
    if ((fGetPartnerWork() == TRUE || fGetRetripeFlag() == TRUE) && s_sCtl.fPar != TRUE) return true;
    return fGetSASTimedHoldFlag() == TRUE || fIsSASFailbackInProgress() == TRUE || fIsSASOCFailbackInProgress() == TRUE;
}
}  // namespace

void RebuildScheduler() {
    const uint64_t lNow = lGetTickCount();
    const uint32_t dTick = dGetCoarseTick();
    s_sCtl.dCurrentTick = dTick;
    const uint32_t dHostBlocks = dGetHostBlocksTransferred();
    if (dHostBlocks != s_sCtl.dHostBlocksSeen) {
        s_sCtl.fIdle = FALSE;
        s_sCtl.lHostSeenMs = lNow;
    } else if (s_sCtl.fIdle != TRUE) {
        s_sCtl.fIdle = TRUE;
        s_sCtl.lHostIdleSinceMs = lNow;
    }
    s_sCtl.dHostBlocksSeen = dHostBlocks;
    if (int32_t(dTick - s_sCtl.dStartAfterTick) < 0 || RebuildHeldBack()) return;
    const bool fPaced = int32_t(dTick - s_sCtl.dPaceAfterTick) < 0;
    if (s_sCtl.bState != REBUILD_WAIT_READS && s_sCtl.bState != REBUILD_START_WRITES && wHostLoad() != 0 &&
        fRebuildPriorityAllows() != TRUE && s_sCtl.fPar != TRUE && fPaced) {
        return;
    }
    if (RebuildStep() == 255) {
        const uint32_t dCounted = dGetHostBlocksTransferred();
        s_sCtl.alHostBlocks[0] += dCounted;
        s_sCtl.alHostBlocks[1] += dCounted;
        ClearHostBlocksTransferred();
        s_sCtl.dHostBlocksSeen = 0;
        s_sCtl.fPar = FALSE;
        s_sCtl.dPaceAfterTick = dTick + PACING_TICKS;
    }
}

uint8_t RebuildStep() {
    uint8_t bResult = 255;
    const bool fMaster = fIsMasterController() == TRUE;
    // With the partner gone no acknowledgement comes: nothing may wait for one.
    if (fIsDualControllerActive() != TRUE) {
        s_sCtl.bOcc = 0;
        s_sCtl.fMessageOutstanding = FALSE;
    }
    if (s_sCtl.fResetRequest == TRUE) {
        s_sCtl.fResetRequest = FALSE;
        ResetRebuildState();
        s_sCtl.bLastState = s_sCtl.bState;
        return bResult;
    }
    switch (s_sCtl.bState) {
    case REBUILD_IDLE: ResetRebuildState(); break;
    case REBUILD_START:
        if (!fMaster) {
            s_sCtl.bState = REBUILD_SLAVE_WAIT;
            break;
        }
        s_sCtl.bState = REBUILD_CONFIG_PENDING;
        ReleaseReplacementDrive(Current().abWwn);
        (void)RequestConfigUpdate(REQUESTER_REBUILD);
        if (fIsDualControllerActive() == TRUE) SetPartnerRebuildFlag(TRUE);
        (void)fRequestDriveRescan();
        break;
    case REBUILD_CONFIG_PENDING:
        if (fMaster) s_sCtl.bState = REBUILD_PREPARE;
        break;
    case REBUILD_PREPARE:
        if (fMaster && bPrepareRebuildRegions() == 255) s_sCtl.bState = REBUILD_ISSUE;
        break;
    case REBUILD_ISSUE: {
        s_sCtl.bState = REBUILD_WAIT_READS;
        const uint8_t b = bIssueRebuildRegions();
        if (b == 80) {
            if (s_sCtl.bRip == 0 && s_sCtl.bWip == 0) s_sCtl.bState = REBUILD_IDLE;
        } else if (b == 16) {
            bResult = 16;
        }
        break;
    }
    case REBUILD_WAIT_READS:
        if (!fMaster) {
            s_sCtl.bState = REBUILD_SLAVE_WAIT;
        } else if (s_sCtl.bRip == 0 || IdleTooLong()) {
            s_sCtl.bState = REBUILD_START_WRITES;
        }
        bResult = 16;
        break;
    case REBUILD_START_WRITES:
        if (!fMaster) {
            s_sCtl.bState = REBUILD_SLAVE_WAIT;
        } else {
            StartWrites();
            if (s_sCtl.bWip == 0 || IdleTooLong()) s_sCtl.bState = REBUILD_ISSUE;
        }
        bResult = 16;
        break;
    case REBUILD_SLAVE_WAIT:
        if (fMaster) s_sCtl.bState = REBUILD_START;
        break;
    case REBUILD_RESUME_WAIT:
        if (!fMaster) {
            s_sCtl.bState = REBUILD_SLAVE_WAIT;
        } else if (s_sCtl.bRip == 0 && s_sCtl.bWip == 0 && s_sCtl.bOcc == 0 && fIsAnyRebuildRegionOut() != TRUE) {
            // Released regions still out at the drives hold their buffers
            // and slots: the new pass waits for them too.
            s_sCtl.bState = REBUILD_START;
        }
        break;
    default: s_sCtl.bState = REBUILD_IDLE; break;
    }
    s_sCtl.bLastState = s_sCtl.bState;
    return bResult;
}

uint16_t wRebuildRegionBlocksOf(uint8_t bRank) {
    switch (bGetRankRaidLevel(bRank)) {
    case RAID_LEVEL_10: return REBUILD_MIRROR_REGION_BLOCKS;
    case RAID_LEVEL_5:
    case RAID_LEVEL_50:
    case RAID_LEVEL_6: return wGetRankChunkSize(bRank);
    default: return 0;
    }
}

namespace {
uint32_t dRegionPages(uint8_t bRank, uint16_t wBlocks) {
    const uint32_t dChunkPages = (uint32_t(wBlocks) * BLOCK_BYTES + BUFFER_PAGE_SIZE - 1) / BUFFER_PAGE_SIZE;
    switch (bGetRankRaidLevel(bRank)) {
    case RAID_LEVEL_10: return dChunkPages;
    case RAID_LEVEL_5:
    case RAID_LEVEL_50: return dChunkPages * bMembersPerSubrank(bRank);
    case RAID_LEVEL_6: return dChunkPages * (bGetRankDriveCount(bRank) + 2u);
    default: return 0;
    }
}
}  // namespace

uint8_t bPrepareRebuildRegions() {
    if (fIsDualControllerActive() == TRUE && bCheckOutgoingQueueSpace(REBUILD_MSG_STARTED) != 255) return 16;
    const uint8_t bRank = Current().bRank;
    const uint16_t wRegion = bRank < MAX_RANKS ? wRebuildRegionBlocksOf(bRank) : 0;
    if (wRegion == 0) return 16;
    // Regions of an earlier pass still out hold their buffers.
    if (fIsAnyRebuildRegionOut() == TRUE) return 16;
    const uint32_t dPages = dRegionPages(bRank, wRegion);
    s_sCtl.lIssueSequence = s_sCtl.lCompletionSequence = s_sCtl.lWriteSequence = 0;
    s_sCtl.bRip = s_sCtl.bWip = 0;
    s_sCtl.fEnd = FALSE;
    s_sCtl.lRegenReadBlocks = s_sCtl.lRegenWriteBlocks = 0;
    s_sCtl.dReadChildren = s_sCtl.dWriteChildren = 0;
    s_sCtl.alHostBlocks[0] = s_sCtl.alHostBlocks[1] = 0;
    for (REBUILD_REGION_SLOT& s : s_sCtl.asSlot) {
        FreeSlotBuffer(s);
        s = REBUILD_REGION_SLOT{};
    }
    s_sCtl.bSorted = 0;
    s_sCtl.fIdle = TRUE;
    s_sCtl.lHostSeenMs = s_sCtl.lHostIdleSinceMs = lGetTickCount();
    s_sCtl.dStartTick = dGetCoarseTick();
    // As many region buffers as the banks hold, sixteen at most: a rebuild
    // with big chunks on a small board runs with fewer regions in flight
    // rather than not at all.
    uint8_t bTaken = 0;
    for (REBUILD_REGION_SLOT& s : s_sCtl.asSlot) {
        BUFFER_HANDLE h = NULL_BUFFER_HANDLE;
        if (bAllocDataPages(0, dPages, &h) != STATUS_OK && bAllocDataPages(1, dPages, &h) != STATUS_OK) break;
        s.dBuffer = h;
        s.wPages = static_cast<uint16_t>(dPages);
        ++bTaken;
    }
    if (bTaken == 0) return 66;
    REBUILD_NV_COPY sRec = Current();
    sRec.bRaidLevel = bGetRankRaidLevel(bRank);
    if (bGetNvramRebuildPendingFlag() != TRUE) PutBe32(sRec.abPosition, 0);
    const uint32_t dPos = dPosition(sRec);
    PutBe16(sRec.abBlocks, wBlocksAt(dPos, dEnd(sRec), wRegion));
    // Both copies alike, the current one last: then either may be named.
    WriteCopy(bOtherCopy(), sRec);
    WriteCopy(bCurrentCopy(), sRec);
    SetNvramRebuildSelector(COPY_1);
    s_sCtl.wRegionBlocks = wRegion;
    s_sCtl.dNext = dPos;
    SetNvramRebuildPendingFlag(TRUE);
    s_sCtl.fPar = FALSE;
    if (fIsMasterController() == TRUE) SendToPartner(REBUILD_MSG_STARTED, Current(), false);
    return 255;
}

uint8_t bIssueRebuildRegions() {
    if (bGetNvramRebuildPendingFlag() != TRUE) return 80;
    if (s_sCtl.fEnd == TRUE) return 255;
    const REBUILD_NV_COPY& s = Current();
    const uint32_t dEndNow = dEnd(s);
    const uint32_t dHold = dGetRebuildHoldBlock();
    bool fIssued = false;
    for (REBUILD_REGION_SLOT& sSlot : s_sCtl.asSlot) {
        if (s_sCtl.bRip > 15 || s_sCtl.fEnd == TRUE) break;
        if ((sSlot.wFlags & REBUILD_SLOT_IN_USE) != 0 || sSlot.wPages == 0) continue;
        const uint16_t wBlocks = wBlocksAt(s_sCtl.dNext, dEndNow, s_sCtl.wRegionBlocks);
        if (uint64_t(s_sCtl.dNext) + wBlocks > dHold) break;
        KERNEL_ENTRY* ps = nullptr;
        uint16_t w = 0;
        if (bAllocTargetEntries(PORT_CODE_INTERNAL, 1, &ps, &w, FALSE) != STATUS_OK) break;
        sSlot.psCommand = ps;
        sSlot.wFlags = REBUILD_SLOT_IN_USE;
        sSlot.bReadRetries = 0;
        ++s_sCtl.bRip;
        FillRegion(ps, sSlot, s_sCtl.dNext, wBlocks);
        QueueWaitListA(ps);
        fIssued = true;
        ++s_sCtl.lIssueSequence;
        const uint32_t dNew = s_sCtl.dNext + wBlocks;
        if (dNew - 1 >= dEndNow) {
            s_sCtl.fEnd = TRUE;
        }
        s_sCtl.dNext = dNew;
    }
    return fIssued ? 255 : 16;
}

// --- writes ahead of the front ------------------------------------------------------

namespace {
uint32_t dFirstRowBlock(const KERNEL_ENTRY* psHost) {
    const uint8_t bRank = psHost->bRank;
    const uint64_t lRow = uint64_t(wGetRankChunkSize(bRank)) * bDataMembers(bRank);
    if (lRow == 0) return 0;
    const uint64_t l = lGetMappedAddress(psHost) / lRow * wGetRankChunkSize(bRank);
    return l > NO_HOLD - 1 ? NO_HOLD - 1 : static_cast<uint32_t>(l);
}
// A noted write is out while its entry still carries the flag: a freed or
// re-used entry has lost it.
bool IsStillAhead(const AHEAD_WRITE& a) { return a.psHost != nullptr && HasFlag(a.psHost, KE_FLAG_AHEAD_OF_REBUILD); }
}  // namespace

void NoteWriteAheadOfRebuild(KERNEL_ENTRY* psHost) {
    SetFlag(psHost, KE_FLAG_AHEAD_OF_REBUILD);
    AHEAD_WRITE* psFree = nullptr;
    for (AHEAD_WRITE& a : s_asAhead) {
        if (a.psHost == psHost) psFree = &a;
        if (psFree == nullptr && !IsStillAhead(a)) psFree = &a;
    }
    if (psFree == nullptr) {
        s_fAheadOverflow = TRUE;
        return;
    }
    *psFree = AHEAD_WRITE{psHost, dFirstRowBlock(psHost)};
}

void ReleaseWriteAheadOfRebuild(KERNEL_ENTRY* psHost) {
    ClearFlag(psHost, KE_FLAG_AHEAD_OF_REBUILD);
    for (AHEAD_WRITE& a : s_asAhead) {
        if (a.psHost == psHost) a = AHEAD_WRITE{};
    }
}

uint32_t dGetRebuildHoldBlock() {
    uint32_t dHold = NO_HOLD;
    for (AHEAD_WRITE& a : s_asAhead) {
        if (!IsStillAhead(a)) {
            a = AHEAD_WRITE{};
        } else if (a.dFirstBlock < dHold) {
            dHold = a.dFirstBlock;
        }
    }
    if (s_fAheadOverflow != TRUE) return dHold;
    // Writes beyond the table: every host entry is looked at, and the walk
    // ends the overflow once none of them is left out of the table.
    bool fUntracked = false;
    for (uint16_t w = 0; w < HOST_ENTRY_COUNT; ++w) {
        KERNEL_ENTRY* ps = nullptr;
        (void)wGetTargetEntry(w, &ps);
        if (ps == nullptr || !HasFlag(ps, KE_FLAG_AHEAD_OF_REBUILD)) continue;
        bool fTracked = false;
        for (const AHEAD_WRITE& a : s_asAhead) fTracked = fTracked || a.psHost == ps;
        fUntracked = fUntracked || !fTracked;
        const uint32_t d = dFirstRowBlock(ps);
        if (d < dHold) dHold = d;
    }
    if (!fUntracked) s_fAheadOverflow = FALSE;
    return dHold;
}

// --- region completions ----------------------------------------------------------

void RebuildRegionReadComplete(KERNEL_ENTRY* psRegion) {
    REBUILD_REGION_SLOT* psSlot = psSlotOf(psRegion);
    if (psSlot == nullptr) return;   // not a region of this rebuild
    if ((psSlot->wFlags & REBUILD_SLOT_ABORTED) != 0) {
        DropRegion(*psSlot);
        return;
    }
    if (HasFlag(psRegion, KE_FLAG_ABORTED)) {
        RegionFailed(*psSlot);
        return;
    }
    if (s_sCtl.bRip != 0) --s_sCtl.bRip;
    s_sCtl.lRegenReadBlocks += uint64_t(wRegionBlocks(psRegion)) * psRegion->wTotalChildren;
    s_sCtl.dReadChildren += psRegion->wTotalChildren;
    psRegion->wTotalChildren = 0;
    ++s_sCtl.bWip;
    if (psRegion->bPrimaryState == REGION_NEW) InsertSorted(psRegion);
}

void RebuildRegionComplete(KERNEL_ENTRY* psRegion) {
    REBUILD_REGION_SLOT* psSlot = psSlotOf(psRegion);
    if (psSlot == nullptr) return;
    if ((psSlot->wFlags & REBUILD_SLOT_ABORTED) != 0) {
        DropRegion(*psSlot);
        return;
    }
    if (HasFlag(psRegion, KE_FLAG_ABORTED)) {
        RegionFailed(*psSlot);
        return;
    }
    if (psRegion->alSequence[0] != s_sCtl.lCompletionSequence) {
        psSlot->wFlags |= REBUILD_SLOT_WAITING;
        return;
    }
    ++s_sCtl.lCompletionSequence;
    RetireRebuildRegion(*psSlot);
    for (bool fFound = true; fFound && fGetRebuildWork() == TRUE;) {
        fFound = false;
        for (REBUILD_REGION_SLOT& s : s_sCtl.asSlot) {
            if ((s.wFlags & REBUILD_SLOT_WAITING) == 0 || s.psCommand->alSequence[0] != s_sCtl.lCompletionSequence) continue;
            s.wFlags &= static_cast<uint16_t>(~REBUILD_SLOT_WAITING);
            ++s_sCtl.lCompletionSequence;
            RetireRebuildRegion(s);
            fFound = true;
            break;
        }
    }
}

void AbortRebuildRegion(KERNEL_ENTRY* psRegion) {
    REBUILD_REGION_SLOT* psSlot = psSlotOf(psRegion);
    if (psSlot == nullptr) return;
    psSlot->wFlags |= REBUILD_SLOT_ABORTED;
    DropRegion(*psSlot);
}

uint8_t fIsAnyRebuildRegionOut() {
    for (const REBUILD_REGION_SLOT& s : s_sCtl.asSlot) {
        if ((s.wFlags & REBUILD_SLOT_IN_USE) != 0) return TRUE;
    }
    return FALSE;
}

uint8_t fIsRebuildRegionReleased(const KERNEL_ENTRY* psRegion) {
    const REBUILD_REGION_SLOT* psSlot = psSlotOf(psRegion);
    return psSlot != nullptr && (psSlot->wFlags & REBUILD_SLOT_ABORTED) != 0 ? TRUE : FALSE;
}

uint8_t fIsRebuildMessageOutstanding() { return s_sCtl.fMessageOutstanding; }

// --- window tests ---------------------------------------------------------------

namespace {
struct WINDOW {
    uint64_t lFront, lLower, lAheadFrom;
};

// F: the front in internal addresses, rounded down to the start of its row
// (a mirror region can end inside a chunk, and the rest of that row is not
// rebuilt yet); the window reaches back 32 region spans and ahead 20.
WINDOW sWindowOf(uint8_t bRank) {
    const REBUILD_NV_COPY& s = Current();
    const uint64_t n = bDataMembers(bRank);
    const uint64_t lRow = uint64_t(wGetRankChunkSize(bRank)) * n;
    uint64_t F = uint64_t(dPosition(s)) * n;
    if (lRow != 0) F = F / lRow * lRow;
    const uint64_t W = n * (s_sCtl.wRegionBlocks != 0 ? s_sCtl.wRegionBlocks : wRebuildRegionBlocksOf(bRank));
    uint64_t L = F;
    for (uint8_t i = 0; i < WINDOW_BACK_REGIONS && L > W; ++i) L -= W;
    return WINDOW{F, L, F + WINDOW_AHEAD_REGIONS * W};
}
}  // namespace

namespace {
// Until the master's first progress the slave cannot place the front: every
// write on the rank waits, and the slave asks the master to give way.
bool fAwaitingPartnerStart() {
    if (fIsMasterController() == TRUE || s_sCtl.fPartnerStartPending != TRUE) return false;
    SendRebuildParToPartner();
    return true;
}
}  // namespace

uint8_t bCheckRebuildWindow(uint8_t bRank, uint16_t wOffset, uint16_t wBlocks, KERNEL_ENTRY* psCommand) {
    if (bGetNvramRebuildPendingFlag() != TRUE) return REBUILD_WINDOW_OUTSIDE;
    if (fAwaitingPartnerStart()) return REBUILD_WINDOW_BUSY;
    if (bRank != Current().bRank) return REBUILD_WINDOW_OUTSIDE;
    const uint64_t S = lGetMappedAddress(psCommand) + wOffset;
    const uint64_t E = S + (wBlocks == 0 ? 0 : wBlocks - 1u);
    const WINDOW w = sWindowOf(bRank);
    if (S >= w.lAheadFrom) return REBUILD_WINDOW_AHEAD;
    if (E >= w.lLower) return REBUILD_WINDOW_BUSY;
    return REBUILD_WINDOW_REBUILT;
}

uint8_t bCheckHostRebuildWindow(KERNEL_ENTRY* psCommand) {
    if (bGetNvramRebuildPendingFlag() != TRUE) return 255;
    if (fAwaitingPartnerStart()) return 81;
    const uint8_t bRank = Current().bRank;
    if (psCommand->bRank != bRank && psCommand->bSecondRank != bRank) return 255;
    const uint64_t S = lGetMappedAddress(psCommand);
    const uint64_t E = S + (psCommand->wBlockCount == 0 ? 0 : psCommand->wBlockCount - 1u);
    const WINDOW w = sWindowOf(bRank);
    if (S >= w.lAheadFrom || E < w.lLower) return 255;
    s_sCtl.fPar = TRUE;
    // The command's mark counts it once in the statistics, however often it
    // comes back to wait.
    if (!HasFlag(psCommand, KE_FLAG_REBUILD_HELD)) {
        SetFlag(psCommand, KE_FLAG_REBUILD_HELD);
        CountRebuildOverlap();
    }
    SendRebuildParToPartner();
    return 81;
}

void SendRebuildParToPartner() {
    if (fIsControllerSlot1() != TRUE && fIsDualControllerActive() == TRUE) {
        (void)bSendConfigRecordMessage(REBUILD_MSG_PAR, nullptr);
    }
}

// --- queries ----------------------------------------------------------------------

const REBUILD_NV_COPY* psGetRebuildRecord() { return &Current(); }
uint8_t bGetRebuildRank() { return Current().bRank; }
uint8_t bGetRebuildRecordByte(uint8_t bIndex) { return bIndex == 0 ? Current().bMember0 : Current().bMember1; }
void GetRebuildTargetWwn(uint8_t* pbWwn) { std::memcpy(pbWwn, Current().abWwn, 8); }
uint8_t bGetRebuildTargetLoopId() { return Current().bReplacement3; }
uint16_t wGetRebuildRegionBlocks() { return wGetBe16(Current().abBlocks); }
uint32_t dGetRebuildPosition() { return dPosition(Current()); }

uint8_t bGetRebuildPercent() {
    const uint64_t lEnd = dEnd(Current());
    if (lEnd == 0) return 0;
    const uint64_t l = uint64_t(dPosition(Current())) * 100 / lEnd;
    return l > 100 ? 0 : static_cast<uint8_t>(l);
}

uint64_t lGetRebuildHostPosition() {
    const uint8_t bRank = Current().bRank;
    return bRank < MAX_RANKS ? uint64_t(dPosition(Current())) * bDataMembers(bRank) : 0;
}

uint32_t dGetRankMemberBlocks(uint8_t bRank) {
    uint64_t lLast = 0;
    GetRankLastOffset(bRank, &lLast);
    const uint8_t n = bDataMembers(bRank);
    return n == 0 ? 0 : static_cast<uint32_t>((lLast + 1) / n);
}

uint8_t fIsRebuildIoInFlight() { return s_sCtl.bRip != 0 || s_sCtl.bWip != 0 ? TRUE : FALSE; }
uint8_t fGetRebuildIdleFlag() { return s_sCtl.fIdle == TRUE ? TRUE : FALSE; }
uint8_t bGetRebuildState() { return s_sCtl.bState; }
const REBUILD_CONTROL* psGetRebuildControl() { return &s_sCtl; }

void SetRebuildRankInNv(uint8_t bRank) {
    REBUILD_NV_COPY s = Current();
    s.bRank = bRank;
    WriteCopy(bOtherCopy(), s);
    WriteCopy(bCurrentCopy(), s);
}

void CopyRebuildNvRecord(const uint8_t* pbSource, uint8_t* pbDestination) {
    std::memcpy(pbDestination, pbSource, sizeof(REBUILD_NV_COPY));
}

void SetRebuildParFlag(uint8_t f) { s_sCtl.fPar = f; }
uint8_t fGetRebuildParFlag() { return s_sCtl.fPar == TRUE ? TRUE : FALSE; }
void SetRebuildResetRequest(uint8_t f) { s_sCtl.fResetRequest = f; }

// --- the partner's messages ----------------------------------------------------------

namespace {
// The rank and member a message names exist here and the rank can be rebuilt.
bool fFitsConfiguration(uint8_t bRank, uint8_t bMember) {
    return bRank < bGetRankCount() && bMember < bGetRankDriveCount(bRank) && wRebuildRegionBlocksOf(bRank) != 0;
}
// The drive's target id from the SAS device list, 255 when it is not there.
uint8_t bTargetOfWwn(const uint8_t* pbWwn) {
    uint8_t bTarget = REBUILD_NONE;
    if (pFindSASAddressInList(pGetDriveAddressList(), pbWwn, &bTarget, FALSE) == nullptr) return REBUILD_NONE;
    return bTarget;
}
// RAID 6: another member out of service, the second member of the rebuild.
uint8_t bOtherMissingMember(uint8_t bRank, uint8_t bMember) {
    if (bGetRankRaidLevel(bRank) != RAID_LEVEL_6) return REBUILD_NONE;
    for (uint8_t m = 0; m < bGetRankDriveCount(bRank); ++m) {
        if (m != bMember && bGetRankMemberFlags(bRank, m) != MEMBER_FLAGS_IN_SERVICE) return m;
    }
    return REBUILD_NONE;
}
}  // namespace

void StartRebuildForPartner(const uint8_t* pbMessage) {
    const uint8_t bRank = pbMessage[2], bMember = pbMessage[3];
    const uint32_t dBlocks = uint32_t(pbMessage[4]) | uint32_t(pbMessage[5]) << 8 | uint32_t(pbMessage[6]) << 16 |
                             uint32_t(pbMessage[7]) << 24;
    // The asking controller has no drive table: the drive is checked here.
    if (!fFitsConfiguration(bRank, bMember) || dBlocks != dGetRankMemberBlocks(bRank) ||
        psNamedReplacement(bRank, bMember, pbMessage + 8) == nullptr) {
        IgnoreMessage(REBUILD_MSG_START_REQUEST, pbMessage);
        return;
    }
    const uint8_t bTarget = bTargetOfWwn(pbMessage + 8);
    if (bTarget == REBUILD_NONE) return;
    const uint8_t bOther = bOtherMissingMember(bRank, bMember);
    if (bOther != REBUILD_NONE) {
        StartRaid6Rebuild(bRank, bMember, bOther, bTarget, REBUILD_NONE, pbMessage + 8, dBlocks);
    } else {
        StartRebuild(bRank, bMember, bTarget, REBUILD_NONE, pbMessage + 8, dBlocks);
    }
    SetRebuildWork(TRUE);
    (void)RequestConfigUpdate(REQUESTER_REBUILD);
}

uint8_t bSendRebuildStartRequest(uint8_t bRank, uint8_t bMember, uint32_t dMemberBlocks, const uint8_t* pbWwn) {
    uint8_t abArguments[PARTNER_MESSAGE_ARGUMENT_BYTES] = {bRank,
                                                           bMember,
                                                           uint8_t(dMemberBlocks),
                                                           uint8_t(dMemberBlocks >> 8),
                                                           uint8_t(dMemberBlocks >> 16),
                                                           uint8_t(dMemberBlocks >> 24)};
    std::memcpy(abArguments + 6, pbWwn, 8);
    return bSendConfigRecordMessage(REBUILD_MSG_START_REQUEST, abArguments);
}

void PartnerRebuildStarted(const uint8_t* pbMessage) {
    const uint8_t bRank = pbMessage[2], bMember = pbMessage[3];
    const uint32_t dEndNow = dGetBe32(pbMessage + 4);
    if (!fFitsConfiguration(bRank, bMember) || uint64_t(dEndNow) + 1 != dGetRankMemberBlocks(bRank)) {
        IgnoreMessage(REBUILD_MSG_STARTED, pbMessage);
        return;
    }
    REBUILD_NV_COPY s{};
    std::memset(&s, REBUILD_NONE, sizeof s);
    s.bRank = bRank;
    s.bMember0 = bMember;
    s.bMember1 = bOtherMissingMember(bRank, bMember);
    s.bRaidLevel = bGetRankRaidLevel(bRank);
    s.bReserved4 = FALSE;
    const uint8_t bTarget = bTargetOfWwn(pbMessage + 8);
    s.bReplacement3 = bTarget;
    std::memcpy(s.abWwn, pbMessage + 8, 8);
    PutBe32(s.abPosition, 0);
    PutBe32(s.abEnd, dEndNow);
    PutBe16(s.abBlocks, wBlocksAt(0, dEndNow, wRebuildRegionBlocksOf(bRank)));
    std::memset(s.abReserved55, 0, sizeof s.abReserved55);
    WriteBothCopies(s);
    ReleaseAllRegions();
    if (bTarget != REBUILD_NONE) SetRankMemberDriveOnPath(bRank, bMember, 3, bTarget);
    SetRankMemberState(bRank, bMember, 1);
    SetRankMemberFlags(bRank, bMember, MEMBER_FLAGS_REBUILDING);
    SetNvramRebuildSelector(COPY_1);
    SetRebuildWork(TRUE);
    SetNvramRebuildPendingFlag(TRUE);
    s_sCtl.dStartTick = dGetCoarseTick();
    s_sCtl.bState = REBUILD_IDLE;
    s_sCtl.fPartnerStartPending = TRUE;
    (void)ApplyStoredSettings(FALSE, TRUE);
}

void PartnerRebuildProgress(const uint8_t* pbMessage) {
    REBUILD_NV_COPY s = Current();
    const uint32_t dPos = dGetBe32(pbMessage + 4);
    const uint16_t wBlocks = wGetBe16(pbMessage + 8);
    if (bGetNvramRebuildPendingFlag() != TRUE || dPos > dEnd(s) || wBlocks == 0 ||
        wBlocks != wBlocksAt(dPos, dEnd(s), wRebuildRegionBlocksOf(s.bRank))) {
        IgnoreMessage(REBUILD_MSG_PROGRESS, pbMessage);
        return;
    }
    PutBe32(s.abPosition, dPos);
    PutBe16(s.abBlocks, wBlocks);
    CommitRecord(s);
    s_sCtl.fPartnerStartPending = FALSE;
}

void PartnerRebuildComplete(const uint8_t* pbMessage) {
    REBUILD_NV_COPY s = Current();
    if (bGetNvramRebuildPendingFlag() != TRUE || !fFitsConfiguration(s.bRank, s.bMember0)) {
        IgnoreMessage(REBUILD_MSG_COMPLETE, pbMessage);
        return;
    }
    CommitMemberInImage(s);
    PutBe32(s.abPosition, dEnd(s) + 1);
    CommitRecord(s);
    SetRebuildWork(FALSE);
    SetNvramRebuildPendingFlag(FALSE);
    s_sCtl.bState = REBUILD_IDLE;
    s_sCtl.fPartnerStartPending = FALSE;
}

void PartnerRebuildMessageAcked() {
    if (s_sCtl.bOcc != 0) --s_sCtl.bOcc;
    if (s_sCtl.bOcc == 0) s_sCtl.fMessageOutstanding = FALSE;
}

uint8_t fGetPartnerRebuildStartPending() { return s_sCtl.fPartnerStartPending == TRUE ? TRUE : FALSE; }

// --- display ----------------------------------------------------------------------

namespace {
void PrintCopy(const char* pszTitle, const REBUILD_NV_COPY& s) {
    ConsolePrintf("%s\n  R:%02x D0:%02x D1:%02x WWN: ", pszTitle, s.bRank, s.bMember0, s.bMember1);
    for (uint8_t b : s.abWwn) ConsolePrintf("%02x", b);
    ConsolePrintf(" Alpa1:%02x Alpa2:%02x\n  Source Alpa1: ", s.bReplacement3, s.bReplacement4);
    for (uint8_t b : s.abSource3) ConsolePrintf("%02x ", b);
    ConsolePrintf("\n  Source Alpa2: ");
    for (uint8_t b : s.abSource4) ConsolePrintf("%02x ", b);
    ConsolePrintf("\n  Start:%02x%02x%02x%02x End:%02x%02x%02x%02x Blocks:%02x%02x\n", s.abPosition[0], s.abPosition[1],
                  s.abPosition[2], s.abPosition[3], s.abEnd[0], s.abEnd[1], s.abEnd[2], s.abEnd[3], s.abBlocks[0],
                  s.abBlocks[1]);
}
// Rates over the time since prepare, in hundredths: per second, and MB
// (2^20 bytes) per second for a count of blocks.
struct HUNDREDTHS {
    unsigned dWhole, dPart;
};
HUNDREDTHS sPerSecond(uint64_t lCount, uint32_t dHalfSeconds, uint64_t lUnit = 1) {
    const uint64_t l = dHalfSeconds == 0 ? 0 : lCount * 200 / (uint64_t(dHalfSeconds) * lUnit);
    return HUNDREDTHS{unsigned(l / 100), unsigned(l % 100)};
}
HUNDREDTHS sMbPerSecond(uint64_t lBlocks, uint32_t dHalfSeconds) {
    return sPerSecond(lBlocks * BLOCK_BYTES, dHalfSeconds, 1u << 20);
}
unsigned dShare(uint64_t lPart, uint64_t lTotal) { return lTotal == 0 ? 0 : unsigned(lPart * 100 / lTotal); }

void PrintRates() {
    const uint32_t dTicks = dGetCoarseTick() - s_sCtl.dStartTick;
    const uint32_t dCounted = dGetHostBlocksTransferred();
    const uint64_t lHost = s_sCtl.alHostBlocks[1] + dCounted;
    const uint64_t lRead = s_sCtl.lRegenReadBlocks, lWrite = s_sCtl.lRegenWriteBlocks;
    const uint64_t lTotal = lRead + lWrite + lHost;
    HUNDREDTHS a = sMbPerSecond(lRead + lWrite, dTicks);
    ConsolePrintf("Regen IO: %d.%02d MB/s, %3d%% of Total\n", a.dWhole, a.dPart, dShare(lRead + lWrite, lTotal));
    a = sPerSecond(s_sCtl.dReadChildren, dTicks);
    HUNDREDTHS m = sMbPerSecond(lRead, dTicks);
    ConsolePrintf("Regen Read IO: %d, %d.%02d/s, %d.%02d MB/s, %3d%% of Total\n", unsigned(s_sCtl.dReadChildren), a.dWhole,
                  a.dPart, m.dWhole, m.dPart, dShare(lRead, lTotal));
    a = sPerSecond(s_sCtl.dWriteChildren, dTicks);
    m = sMbPerSecond(lWrite, dTicks);
    ConsolePrintf("Regen Write IO: %d, %d.%02d/s, %d.%02d Avg MB/s\n", unsigned(s_sCtl.dWriteChildren), a.dWhole, a.dPart,
                  m.dWhole, m.dPart);
    ConsolePrintf("Host Blocks:%08x %08x%08x\n", unsigned(dCounted), unsigned(lHost >> 32), unsigned(lHost));
    a = sPerSecond(lHost, dTicks);
    m = sMbPerSecond(lHost, dTicks);
    ConsolePrintf("  %d.%02d/s\n %d.%02d MB/s, %3d%% of Total\n", a.dWhole, a.dPart, m.dWhole, m.dPart,
                  dShare(lHost, lTotal));
}

void PrintDuration(const char* pszTitle, uint64_t lSeconds) {
    ConsolePrintf("%s  %ud %02u:%02u:%02u\n", pszTitle, unsigned(lSeconds / 86400), unsigned(lSeconds / 3600 % 24),
                  unsigned(lSeconds / 60 % 60), unsigned(lSeconds % 60));
}
}  // namespace

void ShowRebuildInfo() {
    ConsolePrintf("Rebuild Info:");
    if (bGetNvramRebuildPendingFlag() == TRUE) ConsolePrintf(" (%d%%)", bGetRebuildPercent());
    ConsolePrintf("\n New:%03x Compl:%03x\n", wGetWaitListACount(), wGetWaitListBCount());
    ConsolePrintf("NVIn Prog:%02x In Prog:%02x D1Valid:%02x Par:%02x State:%02x\n", bGetNvramRebuildPendingFlag(),
                  fGetRebuildWork(), bGetNvramRebuildSelector(), s_sCtl.fPar, s_sCtl.bState);
    PrintCopy("NV Data 1:", *psCopy(COPY_1));
    PrintCopy("NV Data 2:", *psCopy(COPY_2));
    if (fIsMasterController() == TRUE) {
        ConsolePrintf("Volatile Data:\n  RIP:%02x WIP:%02x OCC:%02x Nxt:%08x End:%d\n", s_sCtl.bRip, s_sCtl.bWip,
                      s_sCtl.bOcc, static_cast<unsigned>(s_sCtl.dNext), s_sCtl.fEnd == TRUE ? 1 : 0);
        ConsolePrintf("  Seq: %08x%08x FSq: %08x%08x\n", unsigned(s_sCtl.lIssueSequence >> 32),
                      unsigned(s_sCtl.lIssueSequence), unsigned(s_sCtl.lCompletionSequence >> 32),
                      unsigned(s_sCtl.lCompletionSequence));
        PrintRates();
    }
    const uint64_t lElapsed = (dGetCoarseTick() - s_sCtl.dStartTick) / 2;
    const uint64_t lDone = uint64_t(dGetRebuildPosition()) + 1;
    const uint64_t lRate = lElapsed == 0 ? 0 : lDone / lElapsed;
    const uint64_t lTotal = uint64_t(dEnd(Current())) + 1;
    PrintDuration("Elapsed Time:", lElapsed);
    PrintDuration("Estimated Time Remaining:", lRate == 0 || lTotal < lDone ? 0 : (lTotal - lDone) / lRate);
}

}  // namespace fw
