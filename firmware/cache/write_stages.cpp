// The stages of a host WRITE(16) between its data arriving and the RAID
// engine taking it: data received, optimisation, write ready, the data-out
// completion of other commands, failing a stream and the mirror handshake.
#include "cache/write_stages.h"

#include <algorithm>

#include "cache/cache.h"
#include "cache/cache_entry.h"
#include "cache/nvram_journal.h"
#include "cache/outstanding_queues.h"
#include "cache/write_sort.h"
#include "cache/write_start.h"
#include "config/config_db.h"
#include "config/ld_table.h"
#include "config/rank_table.h"
#include "dataservices/data_services.h"
#include "eventlog/statistics.h"
#include "executive/buffer_pages.h"
#include "executive/kernel_queue.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "fc/fc_driver.h"
#include "hw/scsi.h"
#include "mgmt/management.h"
#include "target/management_dispatch.h"
#include "partner/partner_link.h"
#include "raid/raid_engine.h"
#include "raid/striped_mapping.h"
#include "sas/sas_drive.h"
#include "target/buffer_commands.h"
#include "target/command_access.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/scsi_status.h"
#include "target/stage_rings.h"
#include "target/lun_scheduler.h"
#include "target/target_commands.h"
#include "target/mode_pages.h"
#include "target/target_engine.h"
#include "target/target_queue_management.h"

namespace fw {

namespace {

constexpr uint8_t STRIPE_INIT_MESSAGE_BUSY = 187;
constexpr uint8_t REBUILD_WINDOW_WAIT = 81;
constexpr uint8_t SAS_HOLD_OFF_RUNNING = 9;
constexpr uint8_t LD_STATE_ON_LINE = 3;
constexpr uint8_t SNAPSHOT_STATE_PREPARE_A = 25;
constexpr uint8_t SNAPSHOT_STATE_PREPARE_B = 170;
constexpr uint32_t BLOCKS_PER_PAGE = 8;
constexpr uint16_t OPTIMISATION_SHARE_PERCENT = 25;

// Command types of the data-out completion.
constexpr uint8_t CT_MANAGEMENT_SET = 62;
constexpr uint8_t CT_MANAGEMENT_DEFERRED = 66;
constexpr uint8_t CT_MODE_SELECT = COMMAND_TYPE_MODE_SELECT;
constexpr uint8_t CT_PR_OUT = 76;
constexpr uint8_t CT_SNAPSHOT_DATA = 73;
constexpr uint8_t CT_DOWNLOAD_A = 115;
constexpr uint8_t CT_DOWNLOAD_B = 70;
constexpr uint8_t CT_ECHO_BUFFER = 71;
constexpr uint8_t CT_PARTNER_DATA = 128;

CACHE_ENTRY_FIELDS& Cache(KERNEL_ENTRY* psEntry) { return *psCacheFields(psEntry); }

uint32_t dPagesFor(uint32_t dBlocks) { return dBlocks == 0 ? 0 : (dBlocks - 1) / BLOCKS_PER_PAGE + 1; }

bool IsPiece(const KERNEL_ENTRY* psEntry) { return IsStreamPiece(psEntry); }
bool IsContinuation(const KERNEL_ENTRY* psEntry) { return psEntry->bCommandType == COMMAND_TYPE_CONTINUATION; }
bool IsFlushWrite(uint8_t bType) { return bType == COMMAND_TYPE_FLUSH_WRITE || bType == COMMAND_TYPE_FLUSH_WRITE_2; }
bool IsInternalWrite(uint8_t bType) {
    return IsFlushWrite(bType) || bType == CT_EXPANSION || bType == CT_ZERO_WRITE;
}
bool IsFibrePort(uint8_t bPortCode) { return bPortCode == PORT_CODE_FC_HOST_1 || bPortCode == PORT_CODE_FC_HOST_2; }

bool IsWriteStreamState(uint8_t bState) {
    switch (bState) {
    case HOST_STATE_STREAM_WAIT:
    case HOST_STATE_DATA_OUT:
    case HOST_STATE_WRITE_READY:
    case HOST_STATE_DATA_RECEIVED:
    case HOST_STATE_OPTIMISATION:
    case HOST_STATE_MIRROR_WAIT: return true;
    default: return false;
    }
}

// A stream piece whose data is in and whose answer needs no drive: every
// hold it has goes, and its entry with them.
void ReleasePiece(KERNEL_ENTRY* psEntry) {
    ReleaseCacheWriteCount(psEntry);
    DecHostWritesInProgress();
    if (HasFlag(psEntry, KE_FLAG_JOURNALED)) ClearNvramQueueEntry(psEntry->wJournalSlot);
    if (HasFlag(psEntry, KE_FLAG_STRIPE_ACCESS)) ReleaseStripeAccessEntry(psEntry->wIndex);
    if (HasFlag(psEntry, KE_FLAG_IN_WRITE_QUEUE)) RemoveOutstandingWrite(psEntry);
    const uint8_t bPort = psEntry->bPortCode;
    FreeTargetEntry(psEntry);
    DecPortTotalCommands(bPort);
}

// A piece's arrival counted on its head; the head goes back to the
// optimisation step to see whether its stream is complete.
void CountPieceOnHead(KERNEL_ENTRY* psPiece, bool fAnswered) {
    KERNEL_ENTRY* psHead = Cache(psPiece).psStreamHead;
    if (psHead == nullptr) return;
    psHead->wChildrenOutstanding++;
    if (fAnswered) Cache(psHead).wStatusesSent++;
    if (psPiece->bCommandType == COMMAND_TYPE_CLOSING_PIECE) SetFlag(psHead, KE_FLAG_HOLD_RELEASE_C);
    if (psHead->bPrimaryState == HOST_STATE_STREAM_WAIT) {
        psHead->bPrimaryState = HOST_STATE_OPTIMISATION;
        QueueOptimisation(psHead->wIndex);
    }
}

void SendGood(KERNEL_ENTRY* psEntry) { (void)SendScsiStatus(psEntry, SCSI_STATUS_GOOD, 0, 0); }

// ---- the write-ready ring ------------------------------------------------------

struct WRITE_READY_CALL {
    uint8_t bPort;          // the ring's port code
    KERNEL_ENTRY* psEntry;
    bool fReentry;
    uint16_t wSavedArrived;
    uint16_t wSavedExpected;
};

uint8_t bRingPort(const KERNEL_ENTRY* psEntry, uint8_t bPort) {
    return bPort == PORT_CODE_MODULE ? psEntry->bPortCode : bPort;
}

// Takes the command off the ring and pushes it on the tail.
uint8_t Rotate(const WRITE_READY_CALL& s) {
    const uint8_t bPort = bRingPort(s.psEntry, s.bPort);
    TakeWriteReady(bPort);
    QueueWriteReady(bPort, s.psEntry->wIndex);
    return STATUS_OK;
}

void RestorePieceCounters(const WRITE_READY_CALL& s) {
    s.psEntry->wChildrenOutstanding = s.wSavedArrived;
    s.psEntry->wTotalChildren = s.wSavedExpected;
}

uint8_t RestoreAndRotate(const WRITE_READY_CALL& s) {
    RestorePieceCounters(s);
    return s.fReentry ? STATUS_RETRY : Rotate(s);
}

void TakeOffRing(const WRITE_READY_CALL& s) {
    if (!s.fReentry) TakeWriteReady(bRingPort(s.psEntry, s.bPort));
}

// ---- writes sleeping until their rows are initialised -----------------------------

// One doubly linked list per rank through two tables indexed by host entry;
// links are entry index + 1 (0: none), so that the zeroed tables of start
// of day are empty lists.
struct INIT_WAIT_LIST {
    uint16_t wHead;
    uint16_t wTail;
    uint32_t dCount;
};
INIT_WAIT_LIST s_asInitWait[MAX_RANKS];
uint16_t s_awInitWaitNext[HOST_ENTRY_COUNT];
uint16_t s_awInitWaitPrev[HOST_ENTRY_COUNT];

KERNEL_ENTRY* psWaiter(uint16_t wLink) {
    KERNEL_ENTRY* ps = nullptr;
    (void)wGetTargetEntry(static_cast<uint16_t>(wLink - 1), &ps);
    return ps;
}

void UnlinkWaiter(uint8_t bRank, uint16_t wIndex) {
    INIT_WAIT_LIST& l = s_asInitWait[bRank];
    const uint16_t wNext = s_awInitWaitNext[wIndex];
    const uint16_t wPrev = s_awInitWaitPrev[wIndex];
    if (wPrev != 0) s_awInitWaitNext[wPrev - 1] = wNext; else l.wHead = wNext;
    if (wNext != 0) s_awInitWaitPrev[wNext - 1] = wPrev; else l.wTail = wPrev;
    s_awInitWaitNext[wIndex] = s_awInitWaitPrev[wIndex] = 0;
    if (l.dCount != 0) --l.dCount;
}

// The write leaves its ring (its pieces counters as they were) and sleeps.
uint8_t SleepUntilInitialised(const WRITE_READY_CALL& s) {
    KERNEL_ENTRY* psEntry = s.psEntry;
    const uint8_t bRank = psEntry->bRank;
    RestorePieceCounters(s);
    if (s.fReentry || bRank >= MAX_RANKS || psEntry->wIndex >= HOST_ENTRY_COUNT) return RestoreAndRotate(s);
    TakeOffRing(s);
    psEntry->bPrimaryState = HOST_STATE_STRIPE_INIT_WAIT;
    INIT_WAIT_LIST& l = s_asInitWait[bRank];
    const uint16_t wLink = static_cast<uint16_t>(psEntry->wIndex + 1);
    s_awInitWaitPrev[psEntry->wIndex] = l.wTail;
    s_awInitWaitNext[psEntry->wIndex] = 0;
    if (l.wTail != 0) s_awInitWaitNext[l.wTail - 1] = wLink; else l.wHead = wLink;
    l.wTail = wLink;
    ++l.dCount;
    return STATUS_OK;
}

// Sends a write to the RAID engine of its rank; 16 when the engine is out
// of child entries or pages.
uint8_t bIssueToRaidEngine(KERNEL_ENTRY* psEntry) {
    const uint8_t bRank = psEntry->bRank;
    switch (bGetRankRaidLevel(bRank)) {
    case RAID_LEVEL_0:
    case RAID_LEVEL_10: return bMapStripedCommand(bRank, psEntry, static_cast<uint32_t>(psEntry->dBufferHandle));
    case RAID_LEVEL_5:
    case RAID_LEVEL_50: return bMapParityCommand(bRank, psEntry, static_cast<uint32_t>(psEntry->dBufferHandle));
    case RAID_LEVEL_6: return bMapRaid6Command(bRank, psEntry, static_cast<uint32_t>(psEntry->dBufferHandle));
    case RAID_LEVEL_N: return bRouteExpansionCommand(bRank, psEntry, static_cast<uint32_t>(psEntry->dBufferHandle));
    default: return 0;
    }
}

bool IsIssuableLevel(uint8_t bLevel) {
    return bLevel == RAID_LEVEL_0 || bLevel == RAID_LEVEL_10 || bLevel == RAID_LEVEL_5 || bLevel == RAID_LEVEL_50 ||
           bLevel == RAID_LEVEL_6 || bLevel == RAID_LEVEL_N;
}

// A rank that takes no writes: host writes are failed with their stream
// (those already answered GOOD stay, their data kept); a cache flush write
// ends in error at the write-complete stage.
uint8_t RefuseOnRank(const WRITE_READY_CALL& s) {
    KERNEL_ENTRY* psEntry = s.psEntry;
    if (s.fReentry || psEntry->bCommandType == CT_EXPANSION) {
        RestorePieceCounters(s);
        return 0;
    }
    if (IsFlushWrite(psEntry->bCommandType)) {
        RestorePieceCounters(s);
        TakeOffRing(s);
        SetFlag(psEntry, KE_FLAG_ABORTED);
        psEntry->bPrimaryState = HOST_STATE_WRITE_COMPLETE;
        QueueWriteComplete(psEntry->bPortCode, psEntry->wIndex);
        return STATUS_OK;
    }
    RestorePieceCounters(s);
    FailWriteStream(psEntry);
    return STATUS_OK;
}

}  // namespace

void ReleaseStripeInitWaiters(uint8_t bRank) {
    if (bRank >= MAX_RANKS) return;
    INIT_WAIT_LIST& l = s_asInitWait[bRank];
    while (l.wHead != 0) {
        const uint16_t wIndex = static_cast<uint16_t>(l.wHead - 1);
        UnlinkWaiter(bRank, wIndex);
        KERNEL_ENTRY* ps = psWaiter(static_cast<uint16_t>(wIndex + 1));
        if (ps == nullptr || ps->fUsed != TRUE || ps->bPrimaryState != HOST_STATE_STRIPE_INIT_WAIT) continue;
        ps->bPrimaryState = HOST_STATE_WRITE_READY;
        QueueWriteReady(ps->bPortCode, ps->wIndex);
        SetHostPortWork(ps->bPortCode, TRUE);
    }
}

void ForgetStripeInitWaiter(KERNEL_ENTRY* psEntry) {
    if (psEntry == nullptr || psEntry->bPrimaryState != HOST_STATE_STRIPE_INIT_WAIT || psEntry->bRank >= MAX_RANKS ||
        psEntry->wIndex >= HOST_ENTRY_COUNT) {
        return;
    }
    const INIT_WAIT_LIST& l = s_asInitWait[psEntry->bRank];
    const uint16_t wLink = static_cast<uint16_t>(psEntry->wIndex + 1);
    if (l.wHead == wLink || s_awInitWaitPrev[psEntry->wIndex] != 0) UnlinkWaiter(psEntry->bRank, psEntry->wIndex);
}

uint32_t dGetStripeInitWaiters(uint8_t bRank) { return bRank < MAX_RANKS ? s_asInitWait[bRank].dCount : 0; }

void ReleaseCacheWriteCount(KERNEL_ENTRY* psEntry) {
    if (!HasFlag(psEntry, KE_FLAG_CACHE_COUNTED)) return;
    DecCacheWriteCount();
    ClearFlag(psEntry, KE_FLAG_CACHE_COUNTED);
}

// ---- data received ---------------------------------------------------------------

uint8_t ProcessDataReceivedQueue() {
    KERNEL_ENTRY* psEntry = nullptr;
    if (bPeekDataReceived(&psEntry) != STATUS_FOUND) return STATUS_OK;
    const uint8_t* pbCdb = pGetCommandCdb(psEntry);
    if (pbCdb == nullptr || pbCdb[0] != SCSI_WRITE16) {
        (void)CompleteDataOutCommand(psEntry);
        return STATUS_OK;
    }
    TakeDataReceived();
    const auto Requeue = [psEntry] { QueueDataReceived(psEntry->wIndex); };
    CACHE_ENTRY_FIELDS& c = Cache(psEntry);
    KERNEL_ENTRY* psHead = c.psStreamHead;
    const bool fPiece = IsPiece(psEntry);
    const bool fContinuation = IsContinuation(psEntry);

    // 1.
    if (fIsDualControllerActive() != TRUE) c.wMirrorState = 0;
    // 2. The data of a stream must arrive in address order.
    KERNEL_ENTRY* psRef = (fPiece || fContinuation) && psHead != nullptr ? psHead : psEntry;
    if (!HasFlag(psEntry, KE_FLAG_DATA_COMPLETE)) {
        CACHE_ENTRY_FIELDS& r = Cache(psRef);
        const uint64_t lStart = psEntry->lInternalAddress - (fContinuation ? c.wHeadShare : 0);
        if (lStart == psRef->lInternalAddress + r.wBlocksInOrder) {
            if (psRef->fUsed == TRUE && IsWriteStreamState(psRef->bPrimaryState)) {
                if (psRef != psEntry && psRef->bPrimaryState == HOST_STATE_DATA_OUT) {
                    Requeue();
                    return STATUS_OK;
                }
                if (fPiece) {
                    r.wBlocksInOrder = static_cast<uint16_t>(r.wBlocksInOrder + c.wPieceBlocks);
                } else if (fContinuation) {
                    r.wBlocksInOrder = static_cast<uint16_t>(r.wBlocksInOrder + c.wHeadShare);
                    c.wBlocksInOrder = static_cast<uint16_t>(c.wBlocksInOrder + c.wJournalBlocks);
                } else {
                    c.wBlocksInOrder = static_cast<uint16_t>(c.wBlocksInOrder + c.wJournalBlocks);
                }
                SetFlag(psEntry, KE_FLAG_DATA_COMPLETE);
            } else if (!(fContinuation && c.wBlocksInOrder != 0)) {
                FinishCommandAborted(psEntry);
                return STATUS_OK;
            }
        } else {
            if (HasFlag(psEntry, KE_FLAG_ABORTED) || HasFlag(psRef, KE_FLAG_NEWER_PIECE_ABORTED)) {
                FinishCommandAborted(psEntry);
                return STATUS_OK;
            }
            Requeue();   // the missing data before it is still on its way
            return STATUS_OK;
        }
    }
    // 3. Snapshots.
    if (fIsSnapshotHandOffDue(psEntry)) {
        switch (bSnapshotDataReceivedCheck(psEntry)) {
        case SNAPSHOT_REQUEUE: Requeue(); return STATUS_OK;
        case SNAPSHOT_REFUSE_NOT_READY:
            psEntry->bPrimaryState = HOST_STATE_STATUS;
            (void)SendScsiStatus(psEntry, SENSE_NOT_READY, 0x04, 0x03);
            return STATUS_OK;
        case SNAPSHOT_REFUSE_NO_LUN:
            psEntry->bPrimaryState = HOST_STATE_STATUS;
            (void)SendScsiStatus(psEntry, SENSE_ILLEGAL_REQUEST, ASC_LUN_NOT_SUPPORTED, 0x00);
            return STATUS_OK;
        default: break;
        }
    }
    // 4. The partner's copy of the data.
    if (c.wMirrorState != 0) {
        const uint8_t bStep = bStepWriteMirrorState(psEntry);
        if (bStep == TRUE) {
            psEntry->bPrimaryState = HOST_STATE_MIRROR_WAIT;
            return STATUS_OK;
        }
        if (bStep == MIRROR_STEP_REQUEUE) {
            Requeue();
            return STATUS_OK;
        }
    }
    // 5. No status may go out after a link reset or an abort.
    if ((IsFibrePort(psEntry->bPortCode) &&
         wGetHostLoopLipCount(psEntry->bPortCode) != pHostFields(psEntry)->wLipCount) ||
        HasFlag(psEntry, KE_FLAG_ABORTED)) {
        SetFlag(psEntry, KE_FLAG_NO_STATUS);
    }
    // 6. A piece answered together with its data has nothing left to do.
    if (HasFlag(psEntry, KE_FLAG_STATUS_WITH_DATA) && fPiece) {
        CountPieceOnHead(psEntry, true);
        ReleasePiece(psEntry);
        return STATUS_OK;
    }
    // 7. Write-back: the data is safe in the journal, GOOD goes out.
    bool fAnswered = false;
    if (IsContinuationOfWriteThroughHead(psEntry)) {
        ClearFlag(psEntry, KE_FLAG_WRITE_BACK);
    } else if (HasFlag(psEntry, KE_FLAG_WRITE_BACK) && !HasFlag(psEntry, KE_FLAG_STATUS_SENT)) {
        CreditNvramJournal(psEntry);
        if (!HasFlag(psEntry, KE_FLAG_ABORTED | KE_FLAG_NO_STATUS)) {
            SetFlag(psEntry, KE_FLAG_STATUS_SENT);
            if (!HasFlag(psEntry, KE_FLAG_CACHE_COUNTED)) {
                IncCacheWriteCount();
                SetFlag(psEntry, KE_FLAG_CACHE_COUNTED);
            }
            fAnswered = true;
        } else if (fPiece) {
            CountPieceOnHead(psEntry, true);
            ReleasePiece(psEntry);
            return STATUS_OK;
        }
    }
    // 8. Where the command goes next.  A piece is counted on its head before
    // its status goes out: the status releases it.
    if (fPiece) {
        CountPieceOnHead(psEntry, fAnswered);
        if (psEntry->bPrimaryState == HOST_STATE_DATA_RECEIVED) psEntry->bPrimaryState = HOST_STATE_STREAM_WAIT;
        // 9 before the status, which may release the piece.
        if (HasFlag(psEntry, KE_FLAG_COLLAPSES)) ClearFlag(psEntry, KE_FLAG_COLLAPSES);
        if (fAnswered) SendGood(psEntry);
        return STATUS_OK;
    }
    if (fContinuation) {
        if (psHead != nullptr) {
            if (psHead->wTotalChildren != 0) psHead->wTotalChildren--;
            SetFlag(psHead, KE_FLAG_HOLD_RELEASE_C | KE_FLAG_STREAM_CONTINUES);
            NoteOptimisationHoldRelease();
            if (psHead->bPrimaryState == HOST_STATE_STREAM_WAIT) {
                psHead->bPrimaryState = HOST_STATE_OPTIMISATION;
                QueueOptimisation(psHead->wIndex);
            }
        }
        // Its own stream (itself and the pieces that joined it) was counted
        // since it started.
        psEntry->bCommandType = COMMAND_TYPE_STREAM_HEAD;
    } else if (psEntry->bCommandType == CT_PLAIN_WRITE) {
        psEntry->wTotalChildren++;
    }
    psEntry->wChildrenOutstanding++;
    psEntry->bPrimaryState = HOST_STATE_OPTIMISATION;
    QueueOptimisation(psEntry->wIndex);
    // 9. A write that collapses an older one: the older write's data is
    // carried by this one.
    if (HasFlag(psEntry, KE_FLAG_COLLAPSES)) {
        ClearFlag(psEntry, KE_FLAG_COLLAPSES);
        KERNEL_ENTRY* psOlder = nullptr;
        (void)wGetTargetEntry(c.wCollapseLink, &psOlder);
        if (psOlder != nullptr && psOlder->fUsed == TRUE && HasFlag(psOlder, KE_FLAG_MAY_COLLAPSE)) {
            CountWriteCollapse(psOlder->wBlocks);
            ClearFlag(psOlder, KE_FLAG_MAY_COLLAPSE);
            SetFlag(psOlder, KE_FLAG_COLLAPSED);
        }
    }
    if (fAnswered) SendGood(psEntry);
    return STATUS_OK;
}

// ---- optimisation -------------------------------------------------------------------

namespace {
// Writes held for their sequence window go round the optimisation ring, the
// main loop offering each once a cycle.  Random writes keep hundreds there
// (a window of 450 commands), and going round them took most of a cycle:
// at depth 1 a walk or two stood between a host's write and its status.  A
// walk that sent every write round again left all as it was, so the next
// one is due only once something that lets a write go may have moved: the
// ring's count, the commands in progress and on the LUN rings (a new one
// steps its LUN's sequence), the pages and writes in the cache (the rank's
// share), or the millisecond tick, which bounds the rest (the age limit, a
// flag that lets a write go, a blocking write's state, the work that holds
// a write-through write) to a tick.
// Where only their sequence windows held the writes (random writes on a
// write-back logical drive), less can let one go: a write joining the
// ring, the tick, a flag set that lets a write go, one of their LUNs'
// sequences reaching the first of its held writes' windows, or the load of
// one of their arrays.  Such a walk notes those, and the next waits for
// one of them to move: a walk or two a write, not one at each of its steps
// through the cache.
struct OPTIMISATION_INPUTS {
    uint64_t lTick;
    uint32_t dPages, dWrites, dReads, dCached;
    uint16_t wRing, wLunRings;
    bool operator==(const OPTIMISATION_INPUTS&) const = default;
};
constexpr uint8_t WALK_KEPT = 4;   // LUNs and arrays a walk keeps track of
struct WALK_LOAD {
    uint16_t wLun;
    uint8_t bRank;
    uint8_t bLoad;
};
struct WINDOW_HOLDS {
    bool fOther;   // a write held otherwise, or more LUNs or arrays than kept
    uint8_t bLuns;
    uint8_t bLoads;
    uint16_t awLun[WALK_KEPT];
    uint64_t alRelease[WALK_KEPT];   // the sequence at which the LUN's first held write goes on
    WALK_LOAD asLoad[WALK_KEPT];     // the loads weighed
};
OPTIMISATION_INPUTS s_sQuietWalk;
bool s_fQuietWalkKnown = false;
uint32_t s_dRequeued = 0;
uint32_t s_dHoldReleases = 0;
uint32_t s_dQuietHoldReleases = 0;
bool s_fWalking = false;
WINDOW_HOLDS s_sHolds = {};

OPTIMISATION_INPUTS sOptimisationInputs() {
    return {lGetTickCount(),
            dGetPagesInUse(0) + dGetPagesInUse(1),
            dGetHostWritesInProgress(),
            dGetHostReadsInProgress(),
            dGetCacheWriteCount(),
            wGetOptimisationCount(),
            wGetNewCmdContTotal()};
}

// Within a walk a write sent round again changes nothing a load is weighed
// by (the array's writes, the buffer's use, its state), so the load found
// for a LUN and array stands until a write is let go or the walk ends:
// weighing it afresh for each of hundreds of held writes was most of a
// walk's cost.
uint8_t bWalkRankWriteLoad(const KERNEL_ENTRY* psEntry) {
    if (!s_fWalking) return bCheckRankWriteLoad(psEntry);
    WINDOW_HOLDS& s = s_sHolds;
    for (uint8_t b = 0; b < s.bLoads; ++b) {
        if (s.asLoad[b].wLun == psEntry->wLunIndex && s.asLoad[b].bRank == psEntry->bRank) return s.asLoad[b].bLoad;
    }
    const uint8_t bLoad = bCheckRankWriteLoad(psEntry);
    if (s.bLoads < WALK_KEPT) {
        s.asLoad[s.bLoads++] = {psEntry->wLunIndex, psEntry->bRank, bLoad};
    } else {
        s.fOther = true;
    }
    return bLoad;
}

void NoteWindowHold(uint16_t wLun, uint64_t lRelease) {
    WINDOW_HOLDS& s = s_sHolds;
    for (uint8_t b = 0; b < s.bLuns; ++b) {
        if (s.awLun[b] == wLun) {
            s.alRelease[b] = std::min(s.alRelease[b], lRelease);
            return;
        }
    }
    if (s.bLuns < WALK_KEPT) {
        s.awLun[s.bLuns] = wLun;
        s.alRelease[s.bLuns++] = lRelease;
    } else {
        s.fOther = true;
    }
}

bool WindowHoldsMoved() {
    const WINDOW_HOLDS& s = s_sHolds;
    if (lGetTickCount() != s_sQuietWalk.lTick || wGetOptimisationCount() != s_sQuietWalk.wRing) return true;
    for (uint8_t b = 0; b < s.bLuns; ++b) {
        if (lGetLunSequence(s.awLun[b]) >= s.alRelease[b]) return true;
    }
    for (uint8_t b = 0; b < s.bLoads; ++b) {
        if (bCheckRankWriteLoadOf(s.asLoad[b].wLun, s.asLoad[b].bRank) != s.asLoad[b].bLoad) return true;
    }
    return false;
}
}  // namespace

uint8_t fIsOptimisationWalkDue() {
    if (!s_fQuietWalkKnown || s_dHoldReleases != s_dQuietHoldReleases) return TRUE;
    if (s_sHolds.fOther) return s_sQuietWalk == sOptimisationInputs() ? FALSE : TRUE;
    return ToFlag(WindowHoldsMoved());
}

uint32_t dGetOptimisationRequeues() { return s_dRequeued; }

void NoteOptimisationHoldRelease() { ++s_dHoldReleases; }

void BeginOptimisationWalk() {
    s_fWalking = true;
    s_sHolds = {};
}

void NoteOptimisationWalk(uint8_t fQuiet) {
    s_fWalking = false;
    s_fQuietWalkKnown = fQuiet == TRUE;
    if (!s_fQuietWalkKnown) return;
    s_sQuietWalk = sOptimisationInputs();
    s_dQuietHoldReleases = s_dHoldReleases;
}

uint8_t ProcessOptimisationQueue() {
    KERNEL_ENTRY* psEntry = nullptr;
    if (bPeekOptimisation(&psEntry) != STATUS_FOUND) return STATUS_OK;
    CACHE_ENTRY_FIELDS& c = Cache(psEntry);
    // Anything but sending the write round again may move a load.
    struct FORGET_LOADS_UNLESS_REQUEUED {
        bool fRequeued = false;
        ~FORGET_LOADS_UNLESS_REQUEUED() {
            if (!fRequeued) s_sHolds.bLoads = 0;
        }
    } sForget;
    const auto Requeue = [psEntry, &sForget](bool fWindowOnly = false) {
        TakeOptimisation();
        QueueOptimisation(psEntry->wIndex);
        ++s_dRequeued;
        sForget.fRequeued = true;
        if (!fWindowOnly) s_sHolds.fOther = true;
    };
    // 1. Collapsing.
    if (HasFlag(psEntry, KE_FLAG_MAY_COLLAPSE)) {
        Requeue();
        return STATUS_OK;
    }
    if (HasFlag(psEntry, KE_FLAG_COLLAPSED) && HasFlag(psEntry, KE_FLAG_STATUS_SENT)) {
        TakeOptimisation();
        ClearFlag(psEntry, KE_FLAG_WRITE_BACK);
        ReleaseCacheWriteCount(psEntry);
        MarkFinishedWithoutStatus(psEntry);
        QueueCommandComplete(psEntry->bPortCode, psEntry->wIndex);
        return STATUS_OK;
    }
    // 2. A stream head waits for its pieces' data.
    if (!HasFlag(psEntry, KE_FLAG_INTERNAL)) {
        if (psEntry->bCommandType == COMMAND_TYPE_STREAM_HEAD &&
            psEntry->wChildrenOutstanding < psEntry->wTotalChildren) {
            TakeOptimisation();
            psEntry->bPrimaryState = HOST_STATE_STREAM_WAIT;
            return STATUS_OK;
        }
        psEntry->wChildrenOutstanding = psEntry->wTotalChildren;
    }
    // 3. Holding the write a little, while following writes may join it.
    const uint16_t wLun = psEntry->wLunIndex;
    const uint64_t lLunSequence = psEntry->alSequence[LUN_SEQUENCE_INDEX];
    const uint64_t lLunNow = lGetLunSequence(wLun);
    const uint64_t lWindow = lLunSequence + lGetOptimisationSequenceWindow();
    bool fGoOn = psEntry->bCommandType == CT_PLAIN_WRITE && lLunNow > lLunSequence + 1;
    const uint32_t dAge = dGetCoarseTick() - psEntry->dStartTick;
    if (!fGoOn && !HasFlag(psEntry, KE_FLAG_HOLD_RELEASE_A | KE_FLAG_HOLD_RELEASE_B | KE_FLAG_HOLD_RELEASE_C) &&
        dAge < dGetOptimisationHoldLimit()) {
        // A loaded rank's writes go on.  Where the rank makes new writes
        // wait for its share (bit 6) too: the writes that could join this
        // one cannot start until it is gone, so holding it would only stop
        // the rank's writes for the whole hold (seconds).
        const uint8_t bLoad = HasFlag(psEntry, KE_FLAG_STREAM_PREDECESSOR) ? FALSE : bWalkRankWriteLoad(psEntry);
        if (bLoad == TRUE || bLoad == RANK_WRITE_LOAD_SHARED) {
            fGoOn = true;
        } else if (HasFlag(psEntry, KE_FLAG_WRITE_BACK)) {
            if (lWindow > lLunNow) {
                // Goes on at the window, or a plain write once a second
                // command followed it.
                NoteWindowHold(wLun, psEntry->bCommandType == CT_PLAIN_WRITE ? std::min(lWindow, lLunSequence + 2)
                                                                             : lWindow);
                Requeue(true);
                return STATUS_OK;
            }
        } else if (!HasFlag(psEntry, KE_FLAG_STATUS_SENT)) {
            const uint32_t dLoad = dGetHostWritesInProgress() + wGetPortNewCommands(psEntry->bPortCode);
            const bool fWorkPending = wGetPortNewCommands(psEntry->bPortCode) != 0 ||
                                      wGetNewCommandCount(PORT_CODE_INITIATOR) != 0 || wGetWriteCompleteTotal() != 0 ||
                                      wGetCommandCompleteTotal() != 0;
            bool fHold = dLoad >= 2 && wGetOptimisationCount() * 100u / dLoad < OPTIMISATION_SHARE_PERCENT &&
                         (lWindow > lLunNow || fGetHoldSetting() == TRUE) && fWorkPending;
            if (!fHold && HasFlag(psEntry, KE_FLAG_WRITE_WAITS)) {
                KERNEL_ENTRY* psBlocker = nullptr;
                (void)wGetTargetEntry(c.wBlockingLink, &psBlocker);
                fHold = psBlocker != nullptr && psBlocker->fUsed == TRUE && psBlocker->fValid == TRUE &&
                        psBlocker->alSequence[0] < psEntry->alSequence[0] &&
                        (psBlocker->bPrimaryState == HOST_STATE_WRITE_READY ||
                         psBlocker->bPrimaryState == HOST_STATE_OPTIMISATION ||
                         psBlocker->bPrimaryState == HOST_STATE_WRITE_ISSUED);
            }
            if (fHold) {
                Requeue();
                return STATUS_OK;
            }
        }
    }
    // 4. Going on: the buffer is trimmed to the data.
    c.wPiecesIssued = psEntry->wTotalChildren != 0 ? static_cast<uint16_t>(psEntry->wTotalChildren - 1) : 0;
    if (!HasFlag(psEntry, KE_FLAG_BORROWED_PAGES) && c.wBufferBlocks > psEntry->wBlocks) {
        const uint32_t dKeep = dPagesFor(psEntry->wBlocks);
        const uint32_t dHad = dPagesFor(c.wBufferBlocks);
        if (dHad > dKeep) (void)wFreeDataPages(psEntry->dBufferHandle + dKeep * BUFFER_PAGE_SIZE, dHad - dKeep);
        c.wBufferBlocks = psEntry->wBlocks;
    }
    // 5. To the write sort or the port's "Write Ready" ring.
    TakeOptimisation();
    if (HasFlag(psEntry, KE_FLAG_CACHE_COUNTED) && fParkSortedWrite(psEntry) == TRUE) return STATUS_OK;
    psEntry->bPrimaryState = HOST_STATE_WRITE_READY;
    QueueWriteReady(psEntry->bPortCode, psEntry->wIndex);
    SetHostPortWork(psEntry->bPortCode, TRUE);
    if (!HasFlag(psEntry, KE_FLAG_RANK_COUNTED)) {
        IncRankWritesInProgress(psEntry->bRank);
        SetFlag(psEntry, KE_FLAG_RANK_COUNTED);
    }
    return STATUS_OK;
}

// ---- write ready ---------------------------------------------------------------------

uint8_t ProcessWriteReadyQueue(uint8_t bPortCode, KERNEL_ENTRY* psGiven) {
    // 1.
    if (bGetSASHostHoldOffStatus() == SAS_HOLD_OFF_RUNNING) return STATUS_RETRY;
    WRITE_READY_CALL s = {bPortCode, psGiven, psGiven != nullptr, 0, 0};
    // 2.
    if (!s.fReentry) {
        if (wGetPortWriteReadyCount(bPortCode) == 0) return STATUS_OK;
        if (bPeekWriteReady(bPortCode, &s.psEntry) != STATUS_FOUND) {
            TakeWriteReady(bPortCode);
            return STATUS_OK;
        }
    }
    KERNEL_ENTRY* psEntry = s.psEntry;
    const uint8_t bType = psEntry->bCommandType;
    const bool fInternal = IsInternalWrite(bType);
    const bool fDual = fIsDualControllerActive() == TRUE;
    // 3.
    if (HasFlag(psEntry, KE_FLAG_MAY_COLLAPSE)) return Rotate(s);
    // 4. An aborted command none of whose pieces was issued.
    if (HasFlag(psEntry, KE_FLAG_ABORTED) && Cache(psEntry).wPiecesIssued == 0 &&
        psEntry->wBlocks == psEntry->wBlockCount && !HasFlag(psEntry, KE_FLAG_STREAM_CONTINUES)) {
        TakeOffRing(s);
        if (HasFlag(psEntry, KE_FLAG_TQM_COUNTED)) TqmCommandDone(psEntry);
        MarkFinishedWithoutStatus(psEntry);
        QueueCommandComplete(psEntry->bPortCode, psEntry->wIndex);
        return STATUS_OK;
    }
    // 5. Its data went out with a newer write.
    if (HasFlag(psEntry, KE_FLAG_COLLAPSED)) {
        TakeOffRing(s);
        ClearFlag(psEntry, KE_FLAG_WRITE_BACK);
        ReleaseCacheWriteCount(psEntry);
        MarkFinishedWithoutStatus(psEntry);
        QueueCommandComplete(psEntry->bPortCode, psEntry->wIndex);
        return STATUS_OK;
    }
    // 6.
    if (fGetAgingPrioritySetting() == TRUE && !fInternal && fIsOlderCommandWaiting(psEntry) == TRUE) return Rotate(s);
    // 7.
    if (!fInternal && !s.fReentry && bGetLogicalDriveState(psEntry->wLunIndex) != LD_STATE_ON_LINE) {
        FailWriteStream(psEntry);
        return STATUS_OK;
    }
    // 8.
    if (fDual && !s.fReentry && !IsFlushWrite(bType) && bType != CT_EXPANSION &&
        bCheckOutgoingQueueSpace(PARTNER_MESSAGE_ISSUED) != STATUS_OK) {
        return STATUS_RETRY;
    }
    // 9. Ordering behind older writes and reads.
    if (HasFlag(psEntry, KE_FLAG_WRITE_WAITS | KE_FLAG_UNIT_COLLAPSE)) {
        uint16_t wIndex = NO_ENTRY_LINK;
        if (bFindBlockingWrite(psEntry, &wIndex, FALSE, TRUE, FALSE) != ORDER_GO) return Rotate(s);
    }
    if (HasFlag(psEntry, KE_FLAG_OVERLAPS_READ) && bCheckWriteOverlap(psEntry) != ORDER_GO) return Rotate(s);
    // 10. The partner must hold its copy first.
    if (fDual && !s.fReentry && !fInternal && HasFlag(psEntry, KE_FLAG_MIRRORED) &&
        !HasFlag(psEntry, KE_FLAG_MIRROR_ACKNOWLEDGED)) {
        return Rotate(s);
    }
    // 11. The RAID engine counts its children in the pieces counters.
    s.wSavedArrived = psEntry->wChildrenOutstanding;
    s.wSavedExpected = psEntry->wTotalChildren;
    psEntry->wChildrenOutstanding = 0;
    psEntry->wTotalChildren = 0;
    const uint8_t bRank = psEntry->bRank;
    // 12. A rank that takes no writes, and one of no level the engine knows.
    if (bGetRankOperationState(bRank) == RANK_STATE_FAILED || !IsIssuableLevel(bGetRankRaidLevel(bRank))) {
        return RefuseOnRank(s);
    }
    // 13. The rebuild and stripe initialisation may hold the region.
    if (fGetRebuildWork() == TRUE && bType != CT_EXPANSION && bCheckHostRebuildWindow(psEntry) == REBUILD_WINDOW_WAIT) {
        return RestoreAndRotate(s);
    }
    if (!s.fReentry && bType != CT_EXPANSION && fIsStripeInitInProgress(bRank) == TRUE) {
        const uint8_t bBusy = fIsStripeInitBusy(psEntry, bRank, 0);
        if (bBusy != FALSE || HasFlag(psEntry, KE_FLAG_STRIPE_INIT_WAIT)) {
            if (fIsMasterController() != TRUE && bBusy == TRUE) {
                (void)bSendStripeInitMessage(bRank, STRIPE_INIT_MESSAGE_BUSY, 0, 0, 0);
            }
            return SleepUntilInitialised(s);
        }
        if (fAreStripesInitialised(psEntry) != TRUE) {
            // Out now, its own initialisation ends its sleep; refused for
            // want of entries or pages, it is tried again.
            if (bInitStripesOnDemand(psEntry) == STATUS_OK && HasFlag(psEntry, KE_FLAG_STRIPE_INIT_WAIT)) {
                return SleepUntilInitialised(s);
            }
            return RestoreAndRotate(s);
        }
    }
    // 14. A read error to regenerate first.
    if (HasFlag(psEntry, KE_FLAG_REGENERATE)) {
        if (!HasFlag(psEntry, KE_FLAG_STRIPE_INIT_WAIT)) (void)bInitStripesOnDemand(psEntry);
        if (bType == CT_ZERO_WRITE) {
            RestorePieceCounters(s);
            return STATUS_RETRY;
        }
        if (HasFlag(psEntry, KE_FLAG_STRIPE_INIT_WAIT)) return SleepUntilInitialised(s);
        return RestoreAndRotate(s);
    }
    // 15. Snapshots.
    if (fIsSnapshotHandOffDue(psEntry)) {
        switch (bSnapshotWriteReadyCheck(psEntry)) {
        case SNAPSHOT_REQUEUE: return RestoreAndRotate(s);
        case SNAPSHOT_HOLD:
            RestorePieceCounters(s);
            RaiseHostPortWorkOfInterface();
            return STATUS_RETRY;
        case SNAPSHOT_TAKEN_OVER:
            TakeOffRing(s);
            SettleAgeBucket(psEntry);
            return STATUS_OK;
        default: break;
        }
    }
    // 16. Issue.
    psEntry->bPrimaryState = HOST_STATE_WRITE_ISSUED;
    const uint8_t bEngine = bIssueToRaidEngine(psEntry);
    if (bEngine == STATUS_RETRY) {
        // 18. Out of child entries: the command waits at the head.
        psEntry->bPrimaryState = HOST_STATE_WRITE_READY;
        CountInitiatorQueueFull();
        RestorePieceCounters(s);
        if (s.fReentry || bType == CT_EXPANSION) return STATUS_RETRY;
        if (fGetRebuildParFlag() == TRUE) SendRebuildParToPartner();
        return STATUS_RETRY;
    }
    // 17.
    if (s.fReentry || bType == CT_EXPANSION) return STATUS_OK;
    TakeOffRing(s);
    if (s.wSavedExpected > 1) RecordClusterCount(s.wSavedExpected);
    if (fDual && HasFlag(psEntry, KE_FLAG_MIRRORED)) {
        const CACHE_ENTRY_FIELDS& c = Cache(psEntry);
        SendHostCommandMessage(PARTNER_MESSAGE_ISSUED, psEntry, ToFlag(c.wMirrorState != 0 && c.fMirrorDecision == TRUE));
    }
    if (!IsFlushWrite(bType)) {
        RejournalNvramQueueEntry(psEntry);
        SetNvramQueueEntryFlag(psEntry->wJournalSlot, TRUE);
    }
    return STATUS_OK;
}

// ---- data-out completion -------------------------------------------------------------------

uint8_t CompleteDataOutCommand(KERNEL_ENTRY* psEntry) {
    uint8_t bResult = STATUS_OK;
    if (fIsProductionTestMode() == TRUE) {
        ProductionTestDataOut(psEntry);
    } else {
        switch (psEntry->bCommandType) {
        case CT_MANAGEMENT_SET: DispatchManagementSetCommand(); break;
        case CT_MANAGEMENT_DEFERRED: FinishMgmtDataOutGood(); break;
        case CT_MODE_SELECT: ModeSelectData(psEntry); break;
        case CT_PR_OUT:
            if (bPersistentReserveOutData(psEntry) == STATUS_RETRY) return STATUS_RETRY;
            break;
        case CT_SNAPSHOT_DATA: SnapshotCommandData(psEntry); break;
        case CT_DOWNLOAD_A:
        case CT_DOWNLOAD_B: DownloadData(psEntry); break;
        case CT_ECHO_BUFFER: FinishEchoBufferWrite(psEntry); break;
        case COMMAND_TYPE_VERIFY_DATA: (void)bVerifyDataReceived(psEntry); break;
        case CT_PARTNER_DATA:
            if (bPartnerCommandData(psEntry) != STATUS_OK) return STATUS_RETRY;
            break;
        default: {
            const uint8_t* pbCdb = pGetCommandCdb(psEntry);
            const uint8_t bOpcode = pbCdb != nullptr ? pbCdb[0] : 0;
            if (bOpcode == SCSI_RESERVE10) {
                ReserveParameterData(psEntry, TRUE);
            } else if (bOpcode == SCSI_RELEASE10) {
                ReleaseParameterData(psEntry, TRUE);
            } else {
                psEntry->bPrimaryState = HOST_STATE_STATUS;
                SendGood(psEntry);
            }
            break;
        }
        }
    }
    TakeDataReceived();
    return bResult;
}

// ---- failing a stream ---------------------------------------------------------------------

void FailWriteStream(KERNEL_ENTRY* psEntry) {
    const uint8_t bPort = psEntry->bPortCode;
    if (psEntry->bPrimaryState == HOST_STATE_WRITE_READY) TakeWriteReady(bPort);
    // The host was told its data is safe.  On a failed array the write
    // keeps it and ends as one the drives refused: tried again a while, then
    // recorded as lost, as a restart's flush would record it (sent round
    // this ring for ever it would hold every read of its blocks for ever).
    // Otherwise it stays until its logical drive takes writes again.
    if (HasFlag(psEntry, KE_FLAG_STATUS_SENT)) {
        if (bGetRankOperationState(psEntry->bRank) == RANK_STATE_FAILED) {
            psEntry->wChildrenOutstanding = 0;
            SetFlag(psEntry, KE_FLAG_SENSE_PRESENT);
            psEntry->bPrimaryState = HOST_STATE_WRITE_COMPLETE;
            QueueWriteComplete(bPort, psEntry->wIndex);
        } else {
            psEntry->bPrimaryState = HOST_STATE_WRITE_READY;
            QueueWriteReady(bPort, psEntry->wIndex);
        }
        return;
    }
    const uint16_t wPieces = Cache(psEntry).wPiecesIssued;
    psEntry->bPrimaryState = HOST_STATE_STATUS;
    (void)SendScsiStatus(psEntry, SENSE_ILLEGAL_REQUEST, ASC_LUN_NOT_SUPPORTED, 0x00);
    uint16_t wFailed = 0;
    KERNEL_ENTRY* psAt = psEntry;
    for (uint16_t n = 0; n < HOST_ENTRY_COUNT && wFailed < wPieces; ++n) {
        NextTargetEntry(psAt, &psAt);
        if (psAt->fUsed != TRUE || !IsPiece(psAt) || psAt->bPrimaryState != HOST_STATE_STREAM_WAIT ||
            psAt->bPortCode != bPort || Cache(psAt).psStreamHead != psEntry) {
            continue;
        }
        psAt->bPrimaryState = HOST_STATE_STATUS;
        (void)SendScsiStatus(psAt, SENSE_ILLEGAL_REQUEST, ASC_LUN_NOT_SUPPORTED, 0x00);
        ++wFailed;
    }
}

// ---- the mirror handshake -------------------------------------------------------------------

namespace {

// One step of the handshake on a copy of the command's mirror state.
uint8_t bStepMirrorBits(KERNEL_ENTRY* psEntry, uint16_t* pwState) {
    uint16_t& w = *pwState;
    const KERNEL_ENTRY* psHead = Cache(psEntry).psStreamHead;
    const uint16_t wHead = psHead != nullptr ? psCacheFields(psHead)->wMirrorState : 0;
    const auto Refused = [psEntry, &w] {
        ClearFlag(psEntry, KE_FLAG_WRITE_BACK);
        w = 0;
        return FALSE;
    };
    const auto AskPartner = [psEntry, &w, Refused](uint8_t fContinuation, uint16_t wWaitBit) -> uint8_t {
        if (bRequestPartnerMirror(psEntry, fContinuation) != STATUS_OK) return Refused();
        w |= wWaitBit;
        return TRUE;
    };
    switch (psEntry->bCommandType) {
    case COMMAND_TYPE_STREAM_PIECE:
    case COMMAND_TYPE_CLOSING_PIECE:
        if (w & MIRROR_DONE) return FALSE;
        if (w & MIRROR_WAITING) return TRUE;
        if (w & MIRROR_INHERITED) {
            if (wHead & MIRROR_ACCEPTED) {
                w = static_cast<uint16_t>((w | MIRROR_ACCEPTED) & ~MIRROR_INHERITED);
            } else if ((wHead & MIRROR_REFUSED) || wHead == 0) {
                return Refused();
            } else {
                return MIRROR_STEP_REQUEUE;
            }
        }
        return AskPartner(FALSE, MIRROR_WAITING);
    case COMMAND_TYPE_STREAM_HEAD:
    case CT_PLAIN_WRITE:
        if (w & MIRROR_DONE) return FALSE;
        if (w & (MIRROR_WAITING | MIRROR_REQUESTED)) return TRUE;
        if (w & MIRROR_REFUSED) {
            w &= MIRROR_REQUESTED;
            ClearFlag(psEntry, KE_FLAG_WRITE_BACK);
            return FALSE;
        }
        return AskPartner(FALSE, MIRROR_WAITING);
    case COMMAND_TYPE_CONTINUATION:
        if (w & MIRROR_CONT_WAITING) return TRUE;
        if (w & MIRROR_INHERITED) {
            if (wHead & MIRROR_ACCEPTED) {
                w |= MIRROR_CONT_ACCEPTED;
            } else if ((wHead & MIRROR_REFUSED) || wHead == 0) {
                w |= MIRROR_CONT_REFUSED;
                ClearFlag(psEntry, KE_FLAG_WRITE_BACK);
            } else {
                return MIRROR_STEP_REQUEUE;
            }
            w &= static_cast<uint16_t>(~MIRROR_INHERITED);
        }
        if ((w & MIRROR_CONT_ACCEPTED) && !(w & MIRROR_CONT_ASKED)) return AskPartner(TRUE, MIRROR_CONT_WAITING);
        if (w & MIRROR_DONE) return FALSE;
        if (w & (MIRROR_WAITING | MIRROR_REQUESTED)) return TRUE;
        if ((w & MIRROR_REFUSED) || !(w & MIRROR_ACCEPTED)) {
            w &= static_cast<uint16_t>(MIRROR_REQUESTED | MIRROR_ACCEPTED | MIRROR_REFUSED);
            ClearFlag(psEntry, KE_FLAG_WRITE_BACK);
            return FALSE;
        }
        return AskPartner(FALSE, MIRROR_WAITING);
    default: return FALSE;
    }
}

}  // namespace

uint8_t bStepWriteMirrorState(KERNEL_ENTRY* psEntry) {
    if (HasFlag(psEntry, KE_FLAG_CHAIN_FIRST | KE_FLAG_CHAIN_FOLLOWER)) return TRUE;
    uint16_t wState = Cache(psEntry).wMirrorState;
    const uint8_t bResult = bStepMirrorBits(psEntry, &wState);
    Cache(psEntry).wMirrorState = wState;
    return bResult;
}

}  // namespace fw
