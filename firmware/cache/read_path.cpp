// Host READ(16): the start (known media errors, overlaps with writes, reads
// served from a write's buffer or a read-ahead slot, the prefetch of a
// sequential read, pages and issue by RAID level), the "Data Available"
// stage, requeueing and the read-ahead answer.
#include "cache/read_path.h"

#include <cstring>

#include "cache/cache.h"
#include "cache/cache_entry.h"
#include "cache/outstanding_queues.h"
#include "cache/read_ahead.h"
#include "cache/write_start.h"
#include "config/bad_blocks.h"
#include "config/config_db.h"
#include "config/rank_table.h"
#include "console/option_settings.h"
#include "dataservices/data_services.h"
#include "eventlog/event_log.h"
#include "eventlog/statistics.h"
#include "eventlog/target_trace.h"
#include "eventlog/time_logs.h"
#include "executive/buffer_pages.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "fc/fc_driver.h"
#include "hw/fc_target_iocb.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "raid/drive_error_recovery.h"
#include "raid/raid_engine.h"
#include "raid/striped_mapping.h"
#include "sas/sas_drive.h"
#include "target/command_access.h"
#include "target/command_completion.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/scsi_status.h"
#include "target/stage_rings.h"
#include "target/lun_scheduler.h"
#include "target/target_commands.h"
#include "target/target_engine.h"
#include "target/target_queue_management.h"

namespace fw {

namespace {

constexpr uint8_t SAS_HOLD_OFF_RUNNING = 9;
constexpr uint8_t SECONDARY_REFUSED_ONCE = 127;
constexpr uint8_t EVENT_HOST_COMMAND_FAILED = 64;
constexpr uint16_t MAX_PREFETCH_READ_BLOCKS = 2048;
constexpr uint16_t SEQUENTIAL_READ_DEPTH = 32;
constexpr uint32_t BLOCK_BYTES = 512;
constexpr uint32_t BLOCKS_PER_PAGE = 8;
constexpr uint16_t CTIO_TIMEOUT = 0;

CACHE_ENTRY_FIELDS& Cache(KERNEL_ENTRY* psEntry) { return *psCacheFields(psEntry); }

uint32_t dPagesFor(uint32_t dBlocks) { return dBlocks == 0 ? 0 : (dBlocks - 1) / BLOCKS_PER_PAGE + 1; }

bool IsFibrePort(uint8_t bPortCode) { return bPortCode == PORT_CODE_FC_HOST_1 || bPortCode == PORT_CODE_FC_HOST_2; }

bool IsLipCountStale(const KERNEL_ENTRY* psEntry) {
    return IsFibrePort(psEntry->bPortCode) &&
           wGetHostLoopLipCount(psEntry->bPortCode) != pHostFields(psEntry)->wLipCount;
}


void AnswerCheckCondition(KERNEL_ENTRY* psEntry, uint8_t bKey, uint8_t bAsc, uint8_t bAscq) {
    psEntry->bPrimaryState = HOST_STATE_STATUS;
    (void)SendScsiStatus(psEntry, bKey, bAsc, bAscq);
}

// A read answered before it was issued leaves its queue first: a slot left
// behind could name the entry again once it is freed and taken anew.
void AnswerAtStart(KERNEL_ENTRY* psEntry, uint8_t bKey, uint8_t bAsc, uint8_t bAscq) {
    LeaveCommandQueue(psEntry);
    AnswerCheckCondition(psEntry, bKey, bAsc, bAscq);
}

// A read the rank cannot take now: TASK SET FULL, which the host sends
// again.
void RefuseAtStart(KERNEL_ENTRY* psEntry) {
    SettleAgeBucket(psEntry);
    if (psEntry->adSnapshot[0] != 0 || psEntry->adSnapshot[1] != 0) (void)bPreparePmapPagesForCmd(psEntry);
    AnswerAtStart(psEntry, SCSI_STATUS_TASK_SET_FULL, 0, 0);
}

// Back to the queue the read came from, keeping its place in the LUN's
// order (its LUN sequence number).
void BackToQueue(KERNEL_ENTRY* psEntry, bool fStillQueued) {
    if (HasFlag(psEntry, KE_FLAG_ON_LUN_RING)) {
        if (fStillQueued) RemoveFromLunRing(psEntry->wLunIndex);
        psEntry->bPrimaryState = HOST_STATE_LUN_QUEUED;
        if (QueueLunCommand(psEntry->wIndex, psEntry->wLunIndex) == STATUS_OK) return;
        // The LUN's ring filled up while the command was out of it: it goes
        // round the dispatcher again, as a command that found the ring full.
        ClearFlag(psEntry, KE_FLAG_ON_LUN_RING);
        fStillQueued = false;
    }
    if (fStillQueued) DecPortNewCommands(psEntry->bPortCode);
    psEntry->bPrimaryState = HOST_STATE_NEW_COMMAND;
    QueueNewCommand(psEntry->bPortCode, psEntry->wIndex);
    // Its total count stays the one of its arrival.
    DecPortTotalCommands(psEntry->bPortCode);
}

// Waits for an older write: the read goes round its queue once more.
void WaitForWrite(KERNEL_ENTRY* psEntry) {
    if (psEntry->bSecondaryState != SECONDARY_REFUSED_ONCE) {
        psEntry->bSecondaryState = SECONDARY_REFUSED_ONCE;
        CountReadWriteCollision();
    }
    BackToQueue(psEntry, true);
}

bool IsHostRead(const KERNEL_ENTRY* psEntry) {
    return psEntry->bCommandType != CT_EXPANSION && psEntry->bCommandType != CT_DATA_SERVICES_READ;
}

bool IsMediaErrorKnown(const KERNEL_ENTRY* psEntry, uint64_t lRankAddress, uint16_t wBlocks) {
    return UpdateBadBlockList(lRankAddress, wBlocks, psEntry->bRank, BAD_BLOCK_CHECK_ONLY) == TRUE;
}

uint8_t bIssueRead(KERNEL_ENTRY* psEntry) {
    const uint8_t bRank = psEntry->bRank;
    const uint32_t dHandle = static_cast<uint32_t>(psEntry->dBufferHandle);
    switch (bGetRankRaidLevel(bRank)) {
    case RAID_LEVEL_6: return bMapRaid6Command(bRank, psEntry, dHandle);
    case RAID_LEVEL_0:
    case RAID_LEVEL_10: return bMapStripedCommand(bRank, psEntry, dHandle);
    case RAID_LEVEL_5:
    case RAID_LEVEL_50: return bMapParityCommand(bRank, psEntry, dHandle);
    case RAID_LEVEL_N: return bRouteExpansionCommand(bRank, psEntry, dHandle);
    default: return 0;
    }
}

// A read-ahead fill falls back to a plain read of its own blocks: it gives
// up its slot, which holds nothing the drives filled.
void DropReadAheadFill(KERNEL_ENTRY* psEntry) {
    CACHE_ENTRY_FIELDS& c = Cache(psEntry);
    if (c.bReadAheadSlot != NO_READ_AHEAD_SLOT) {
        DecReadAheadWaitCount(c.bReadAheadSlot, FALSE);
        ReleaseReadAheadSlot(c.bReadAheadSlot);
    }
    c.bReadAheadSlot = NO_READ_AHEAD_SLOT;
    psEntry->wBlocks = c.wDataBlocks != 0 ? c.wDataBlocks : psEntry->wBlockCount;
    psEntry->dBufferHandle = NULL_BUFFER_HANDLE;
    c.wBufferBlocks = 0;
    ClearFlag(psEntry, KE_FLAG_RECORDED_EXTENT);
    psEntry->bCommandType = CT_READ_FILL_FALLBACK;
}

// The read of a sequential stream grows into a prefetch that fills a slot.
void TryPrefetch(KERNEL_ENTRY* psEntry) {
    uint16_t wPosition = 0;
    if (bFindSequentialRead(psEntry, SEQUENTIAL_READ_DEPTH, &wPosition) != TRUE) return;
    uint16_t wSize = 0;
    if (bGetPrefetchSize(psEntry, &wSize) != TRUE) return;
    if (bCheckReadAgainstWrites(psEntry, wSize, TRUE) != ORDER_GO) {
        CountReadAheadWriteCollision();
        return;
    }
    if (IsMediaErrorKnown(psEntry, psEntry->lRankAddress, wSize)) return;
    BUFFER_HANDLE dHandle = NULL_BUFFER_HANDLE;
    uint8_t bSlot = NO_READ_AHEAD_SLOT;
    if (bClaimReadAheadSlot(psEntry, &dHandle, wSize, &bSlot) != TRUE) return;
    CACHE_ENTRY_FIELDS& c = Cache(psEntry);
    c.wDataBlocks = psEntry->wBlocks;
    psEntry->wBlocks = wSize;
    psEntry->dBufferHandle = dHandle;
    c.wStreamBlocks = 0;
    psEntry->bCommandType = CT_READ_FILL;
    c.bReadAheadSlot = bSlot;
    AddReadAheadUser(bSlot, c.wDataBlocks);
    SetReadAheadLoaded(bSlot, FALSE);
    SetFlag(psEntry, KE_FLAG_RECORDED_EXTENT);
    CountReadAheadStart();
    RecordCommandInterval(wPosition);
    AddReadAheadDepth(wSize, c.wDataBlocks);
}

// The answer from a slot carries the data and GOOD in one request, with no
// residual: a Fibre Channel host that expects another length than it asks
// for is answered by the plain read path, which reports the difference.
bool FitsSlotAnswer(const KERNEL_ENTRY* psEntry) {
    return fIsFibreHostCommand(psEntry) != TRUE ||
           dGetCommandExpectedLength(psEntry) == static_cast<uint32_t>(psEntry->wBlocks) * BLOCK_BYTES;
}

// A read answered from a slot: the data is there, or arriving.
void AnswerFromSlot(KERNEL_ENTRY* psEntry, BUFFER_HANDLE dHandle, uint8_t bSlot) {
    CACHE_ENTRY_FIELDS& c = Cache(psEntry);
    LeaveCommandQueue(psEntry);
    psEntry->dBufferHandle = dHandle;
    c.wBufferBlocks = 0;
    c.wStreamBlocks = 0;
    c.wDataBlocks = psEntry->wBlocks;
    psEntry->bCommandType = CT_READ_AHEAD_HIT;
    c.bReadAheadSlot = bSlot;
    CountReadAheadHit();
    AddReadAheadUser(bSlot, psEntry->wBlocks);
}

}  // namespace

void PostHostCommandFailed(const KERNEL_ENTRY* psEntry, uint8_t bKey, uint8_t bAsc, uint8_t bAscq, bool fPort49IsFirst) {
    const uint8_t bPort = psEntry->bPortCode;
    const bool fFirst = bPort == PORT_CODE_FC_HOST_1 || bPort == PORT_CODE_SAS_HOST_1 ||
                        (fPort49IsFirst && bPort == PORT_CODE_FC_TABLE_1);
    const uint16_t wLun = psEntry->wLunIndex;
    const uint8_t* pbCdb = pGetCommandCdb(psEntry);
    PostEvent(EVENT_HOST_COMMAND_FAILED, fFirst ? 1 : 2, static_cast<uint8_t>(wGetCommandInitiator(psEntry)),
              static_cast<uint8_t>(wLun), static_cast<uint8_t>(wLun >> 8), pbCdb != nullptr ? pbCdb[0] : 0, bKey, bAsc,
              bAscq);
}

// ---- the start ----------------------------------------------------------------

uint8_t StartHostRead(KERNEL_ENTRY* psEntry) {
    CACHE_ENTRY_FIELDS& c = Cache(psEntry);
    // 1.
    if (bGetSASHostHoldOffStatus() == SAS_HOLD_OFF_RUNNING) return STATUS_RETRY;
    // 2.
    if (HasFlag(psEntry, KE_FLAG_ABORTED)) {
        LeaveCommandQueue(psEntry);
        if (HasFlag(psEntry, KE_FLAG_TQM_COUNTED)) TqmCommandDone(psEntry);
        FinishCommandAborted(psEntry);
        return STATUS_OK;
    }
    // 3. Reads of a snapshot.
    if (HasFlag(psEntry, KE_FLAG_SNAPSHOT) && psEntry->bCommandType != CT_EXPANSION) {
        if (fIsOdaInvalid(psEntry->wLunIndex) == TRUE) {
            PostHostCommandFailed(psEntry, SENSE_NOT_READY, 0x04, 0x03, false);
            AnswerAtStart(psEntry, SENSE_NOT_READY, 0x04, 0x03);
            return STATUS_OK;
        }
        switch (bSnapshotReadCheck(psEntry)) {
        case SNAPSHOT_REQUEUE: return STATUS_NO_PAGES;
        case SNAPSHOT_TAKEN_OVER: return STATUS_OK;
        default: break;
        }
    }
    // 4. A block known to be unreadable is not read again.
    if (!HasFlag(psEntry, KE_FLAG_SENSE_PRESENT) &&
        IsMediaErrorKnown(psEntry, psEntry->lRankAddress, c.wFirstPieceBlocks)) {
        PostHostCommandFailed(psEntry, SENSE_MEDIUM_ERROR, 0x11, 0x01, true);
        AnswerAtStart(psEntry, SENSE_MEDIUM_ERROR, 0x11, 0x01);
        return STATUS_OK;
    }
    // An array that can no longer serve its blocks answers as its writes
    // do.  Mapped, the read would queue a child on a member that has no
    // drive any more (or find no members to regenerate it from), and
    // nothing would ever answer it.
    if (IsHostRead(psEntry) && bGetRankOperationState(psEntry->bRank) == RANK_STATE_FAILED) {
        AnswerAtStart(psEntry, SENSE_ILLEGAL_REQUEST, ASC_LUN_NOT_SUPPORTED, 0x00);
        return STATUS_OK;
    }
    // 5. Its rows wait for stripe initialisation.
    if (HasFlag(psEntry, KE_FLAG_REGENERATE)) {
        if (!HasFlag(psEntry, KE_FLAG_STRIPE_INIT_WAIT)) (void)bInitStripesOnDemand(psEntry);
        return STATUS_RETRY;
    }
    // 6.
    if (IsHostRead(psEntry) && !HasFlag(psEntry, KE_FLAG_IN_READ_QUEUE)) InsertOutstandingRead(psEntry);
    // 7. Older writes of the same blocks.
    const uint8_t bOverlap = bCheckReadAgainstWrites(psEntry, psEntry->wBlocks, FALSE);
    if (bOverlap == ORDER_SERVED) {
        CountReadCacheHit(psEntry->wBlocks);
        LeaveCommandQueue(psEntry);
        if (HasFlag(psEntry, KE_FLAG_TQM_COUNTED)) TqmCommandDone(psEntry);
        psEntry->bCommandType = CT_READ_FROM_WRITE;
        // The pages are the write's: its completion gives them back.
        SetFlag(psEntry, KE_FLAG_BORROWED_PAGES);
        psEntry->bPrimaryState = HOST_STATE_DATA_IN;
        if (fIsVerifyCompare(psEntry) == TRUE) {
            // Answered with its status, which times it.
            CompareVerifyPass(psEntry, psEntry->dBufferHandle, psEntry->wBlocks * BLOCK_BYTES,
                              ToFlag(!HasFlag(psEntry, KE_FLAG_MORE_PASSES)));
            return STATUS_OK;
        }
        const TRANSFER_SEGMENT sSegment = {static_cast<uint32_t>(dBufferHandleToPciAddress(psEntry->dBufferHandle)),
                                           psEntry->wBlocks * BLOCK_BYTES};
        (void)StartDataInTransfer(psEntry, &sSegment, 1, TRUE);
        // Answered with its status: timed here, like a read from the drives.
        RecordHostCommandTime(psEntry);
        return STATUS_OK;
    }
    if (bOverlap != ORDER_GO) {
        // The write it waits for may not reach the drives for as long as
        // they have no room for the rank's writes: the host sends the read
        // again rather than wait that long for its answer.
        if (fIsRankWaitingForSpace(psEntry->bRank) == TRUE && IsHostRead(psEntry) &&
            !HasFlag(psEntry, KE_FLAG_INTERNAL)) {
            RefuseAtStart(psEntry);
            return STATUS_OK;
        }
        WaitForWrite(psEntry);
        return STATUS_OK;
    }

    // 8 and 9. Read-ahead.  A VERIFY's compare reads its own blocks: its
    // data goes nowhere a slot's answer would send it.
    KERNEL_ENTRY* psIssue = psEntry;
    bool fContinuingPrefetch = false;
    const bool fReadAhead = fGetReadAheadCaching() == TRUE && fIsVerifyCompare(psEntry) != TRUE;
    const uint8_t bType = psEntry->bCommandType;
    if (fReadAhead && bType != CT_EXPANSION && bType != CT_READ_FILL_FALLBACK && bType != CT_DATA_SERVICES_READ &&
        !HasFlag(psEntry, KE_FLAG_INTERNAL | KE_FLAG_MORE_PASSES | KE_FLAG_OVERLAPS_READ | KE_FLAG_PARTNER_ACCESS) &&
        psEntry->wBlocksDone == 0 && psEntry->bSecondaryState != SECONDARY_REFUSED_ONCE && FitsSlotAnswer(psEntry)) {
        BUFFER_HANDLE dHandle = NULL_BUFFER_HANDLE;
        uint16_t wBlocks = 0;
        uint8_t bSlot = NO_READ_AHEAD_SLOT;
        uint8_t fStream = FALSE;
        const uint8_t bLookup = bLookupReadAhead(psEntry, &dHandle, &wBlocks, &bSlot, &fStream);
        if (bLookup == READ_AHEAD_HIT || bLookup == READ_AHEAD_LOADING) {
            AnswerFromSlot(psEntry, dHandle, bSlot);
            KERNEL_ENTRY* psPrefetch = nullptr;
            const uint8_t bStreaming = fGetStreamingReadAhead();
            if (fStream == TRUE && !HasFlag(psEntry, KE_FLAG_STRIPE_ACCESS) &&
                (bStreaming == TRUE || (bStreaming == STREAMING_READ_AHEAD_AUTOMATIC && fGetRankStreamingReadAhead(psEntry->bRank) == TRUE))) {
                if (bPrefetchNextExtent(psEntry, &psPrefetch) != STATUS_OK) psPrefetch = nullptr;
            }
            SettleAgeBucket(psEntry);
            if (bLookup == READ_AHEAD_HIT) {
                if (psEntry->adSnapshot[0] != 0 || psEntry->adSnapshot[1] != 0) (void)bPreparePmapPagesForCmd(psEntry);
                psEntry->bPrimaryState = HOST_STATE_DATA_AVAILABLE;
                SetFlag(psEntry, KE_FLAG_READ_AHEAD_HIT);
                SendReadAheadData(psEntry->bPortCode, psEntry);
            } else {
                psEntry->bPrimaryState = HOST_STATE_READ_AHEAD_WAIT;
            }
            if (psPrefetch == nullptr) return STATUS_OK;
            psIssue = psPrefetch;
            fContinuingPrefetch = true;
        }
    }
    KERNEL_ENTRY* const ps = psIssue;
    CACHE_ENTRY_FIELDS& d = Cache(ps);

    // 10. The rank holds more queued writes than it may.
    if (!fContinuingPrefetch && fGetRankQueueLimitSetting() == TRUE && fIsRankQueueDeep(ps) == TRUE) {
        RefuseAtStart(ps);
        return STATUS_OK;
    }
    // 11. An older command of the rank goes first.
    if (!fContinuingPrefetch && fGetAgingPrioritySetting() == TRUE && fIsOlderCommandWaiting(ps) == TRUE) {
        BackToQueue(ps, true);
        return STATUS_OK;
    }
    // 12. A sequential read becomes a prefetch.
    if (fReadAhead && !fContinuingPrefetch && IsHostRead(ps) && ps->bCommandType != CT_READ_FILL_FALLBACK &&
        ps->wBlocks <= MAX_PREFETCH_READ_BLOCKS && ps->wBlocksDone == 0 && !HasFlag(ps, KE_FLAG_MORE_PASSES)) {
        TryPrefetch(ps);
    }
    // 13. Pages.
    BUFFER_HANDLE dTaken = NULL_BUFFER_HANDLE;
    const bool fOwnBuffer = ps->bCommandType == CT_EXPANSION || ps->bCommandType == CT_DATA_SERVICES_READ ||
                            fContinuingPrefetch;
    if (!fOwnBuffer && ps->bCommandType != CT_READ_FILL) {
        if (fIsBufferUsageHigh(BUFFER_BANK_EITHER) == TRUE) {
            CountNewCommandCacheLimit();
            CountReadCacheFull();
            ReleaseHeldWritesForPages();
            return STATUS_NO_PAGES;
        }
        if (bAllocDataPages(bBufferBankForPort(ps->bPortCode), dPagesFor(ps->wBlocks), &dTaken) != STATUS_OK) {
            CountReadCacheFull();
            ReleaseHeldWritesForPages();
            return STATUS_NO_PAGES;
        }
        NoteBufferPagesFound();
        ps->dBufferHandle = dTaken;
        d.bBufferBank = bGetBufferHandleBank(dTaken);
        d.wDataBlocks = ps->wBlocks;
        d.wBufferBlocks = ps->wBlocks;
        d.wStreamBlocks = 0;
    }
    // 14. Issue.
    ps->bPrimaryState = HOST_STATE_READ_ISSUED;
    ps->wChildrenOutstanding = 0;
    ps->wTotalChildren = 0;
    const uint8_t bEngine = bIssueRead(ps);
    if (bEngine != STATUS_RETRY) {
        // 15.
        if (bEngine == STATUS_OK && !HasFlag(ps, KE_FLAG_RANK_COUNTED)) {
            IncRankReadsInProgress(ps->bRank);
            SetFlag(ps, KE_FLAG_RANK_COUNTED);
        }
        if (IsHostRead(ps) && !fContinuingPrefetch) {
            SettleAgeBucket(ps);
            LeaveCommandQueue(ps);
        }
        if (ps->bCommandType == CT_READ_FILL) UpdateOutstandingRead(ps);
        // 17.
        if (ps->adSnapshot[0] != 0 || ps->adSnapshot[1] != 0) (void)bPreparePmapPagesForCmd(ps);
        return STATUS_OK;
    }
    // 16. No child entries: everything taken goes back.
    ps->bPrimaryState = HOST_STATE_LUN_QUEUED;
    if (fContinuingPrefetch) {
        // Nothing will fill the slot it claimed.
        if (d.bReadAheadSlot != NO_READ_AHEAD_SLOT) {
            DecReadAheadWaitCount(d.bReadAheadSlot, FALSE);
            ReleaseReadAheadSlot(d.bReadAheadSlot);
        }
        RemoveOutstandingRead(ps);
        FreeTargetEntry(ps);
        return STATUS_RETRY;
    }
    if (ps->bCommandType != CT_EXPANSION && dTaken != NULL_BUFFER_HANDLE) {
        (void)wFreeDataPages(dTaken, dPagesFor(ps->wBlocks));
        ps->dBufferHandle = NULL_BUFFER_HANDLE;
        d.wBufferBlocks = 0;
    }
    if (ps->bCommandType == CT_DATA_SERVICES_READ) return STATUS_RETRY;
    ps->bPrimaryState = HasFlag(ps, KE_FLAG_ON_LUN_RING) ? HOST_STATE_LUN_QUEUED : HOST_STATE_NEW_COMMAND;
    CountInitiatorQueueFull();
    if (ps->bCommandType == CT_READ_FILL) DropReadAheadFill(ps);
    if (fGetRebuildParFlag() == TRUE) SendRebuildParToPartner();
    return STATUS_RETRY;
}

// ---- sequential reads ----------------------------------------------------------

uint8_t bFindSequentialRead(KERNEL_ENTRY* psEntry, uint16_t wDepth, uint16_t* pwPosition) {
    const bool fLunRing = HasFlag(psEntry, KE_FLAG_ON_LUN_RING);
    const uint16_t wLun = wGetCommandLun(psEntry);
    const uint16_t wInitiator = wGetCommandInitiator(psEntry);
    const KERNEL_ENTRY* psFound = psWalkRecentCommands(
        wDepth,
        [&](uint16_t wBack, uint16_t wCount, KERNEL_ENTRY** aps) {
            return fLunRing ? wGetRecentLunCommands(psEntry->wLunIndex, wBack, wCount, aps)
                            : wGetRecentNewCommands(wBack, wCount, aps);
        },
        [&](KERNEL_ENTRY* psM, uint32_t dBack) {
            // The address tests turn nearly every command away: they go first.
            if (psM == psEntry || psM->wBlockCount != psEntry->wBlockCount) return false;
            const uint64_t lEnd = psM->lInternalAddress + psM->wBlockCount;
            if (lEnd != psEntry->lInternalAddress && psM->lInternalAddress != psEntry->lInternalAddress) return false;
            const uint8_t* pbCdb = pGetCommandCdb(psM);
            if (pbCdb == nullptr || pbCdb[0] != SCSI_READ16 || psM->bPortCode != psEntry->bPortCode) return false;
            if (wGetCommandLun(psM) != wLun || wGetCommandInitiator(psM) != wInitiator) return false;
            if (HasFlag(psM, KE_FLAG_OVERLAPS_READ)) return false;
            *pwPosition = static_cast<uint16_t>(dBack);
            return true;
        });
    return ToFlag(psFound != nullptr);
}

// ---- reads served from a write -------------------------------------------------

void ReleaseServingWrite(KERNEL_ENTRY* psRead) {
    CACHE_ENTRY_FIELDS& c = Cache(psRead);
    KERNEL_ENTRY* psWrite = nullptr;
    wGetTargetEntry(c.wServingWrite, &psWrite);
    c.wServingWrite = NO_ENTRY_LINK;
    if (psWrite == nullptr || psWrite->fUsed != TRUE) return;
    CACHE_ENTRY_FIELDS& w = Cache(psWrite);
    if (w.wReaderCount != 0) w.wReaderCount--;
    if (w.wReaderCount == 0 && psWrite->bPrimaryState == HOST_STATE_CHILDREN_WAIT &&
        fHasChildrenOutstanding(psWrite) != TRUE) {
        psWrite->bPrimaryState = HOST_STATE_COMPLETE;
        QueueCommandComplete(psWrite->bPortCode, psWrite->wIndex);
    }
}

uint8_t fIsWriteBufferRead(const KERNEL_ENTRY* psWrite) { return ToFlag(psCacheFields(psWrite)->wReaderCount != 0); }

// ---- data available ----------------------------------------------------------------

void ProcessDataAvailableQueue(uint8_t bPortCode) {
    KERNEL_ENTRY* psEntry = nullptr;
    if (bPeekDeferredCommand(&psEntry) != STATUS_FOUND) {
        // A slot whose command left the ring's state (ended by a task
        // management function or a reset while its data waited here) is
        // passed over.  Left at the head it held every read behind it, and
        // its count made the main loop end each cycle at this stage: XOR
        // completions, the drive queues and new host work behind it never
        // ran again, on every array.
        if (wGetDataAvailableTotal() != 0) (void)bGetDataAvailable(bPortCode);
        return;
    }
    const uint8_t bPort = bPortCode == PORT_CODE_MODULE ? psEntry->bPortCode : bPortCode;
    CACHE_ENTRY_FIELDS& c = Cache(psEntry);
    const HOST_COMMAND_FIELDS* psHost = pHostFields(psEntry);
    // 1.
    if (HasFlag(psEntry, KE_FLAG_INTERNAL) && fDuplicationTakesRead(psEntry) == TRUE) {
        (void)bGetDataAvailable(bPort);
        return;
    }
    // 2. The drives could not read it.
    if (HasFlag(psEntry, KE_FLAG_SENSE_PRESENT)) {
        if (psEntry->bCommandType == CT_READ_FILL) {
            ClearFlag(psEntry, KE_FLAG_SENSE_PRESENT);
            SetFlag(psEntry, KE_FLAG_CHILD_FAILED);
        } else {
            if (psHost->bSenseKey == SENSE_MEDIUM_ERROR && psHost->bAsc == 0x11) {
                (void)AddMediaErrorRange(psEntry->lRankAddress, psEntry->wBlocks, psEntry->bRank);
            }
            (void)bGetDataAvailable(bPort);
            ClearFlag(psEntry, KE_FLAG_MORE_PASSES);
            AnswerCheckCondition(psEntry, psHost->bSenseKey, psHost->bAsc, psHost->bAscq);
            return;
        }
    }
    // 3. To be read again.
    if (HasFlag(psEntry, KE_FLAG_CHILD_FAILED)) {
        RequeueRead(psEntry);
        return;
    }
    // 4.
    if (HasFlag(psEntry, KE_FLAG_TQM_COUNTED)) TqmCommandDone(psEntry);
    // 5. A fill has loaded its slot: the reads waiting on it go on.
    if (psEntry->bCommandType == CT_READ_FILL && c.bReadAheadSlot != NO_READ_AHEAD_SLOT) {
        SetReadAheadLoaded(c.bReadAheadSlot, TRUE);
        if (wGetReadAheadUsers(c.bReadAheadSlot) > 1) {
            SetPortScanPosition(bPort, psEntry->wIndex);
            ServeReadAheadWaiters(c.bReadAheadSlot, bPort, FALSE);
        }
    }
    if (!HasFlag(psEntry, KE_FLAG_ABORTED)) {
        // 6.
        if (IsLipCountStale(psEntry)) {
            FinishCommandAborted(psEntry);
            if (fIsQL24xx() != TRUE) {
                IncTargetResourceCount(psEntry->bPortCode);
                SetTargetResourceRequest(psEntry->bPortCode, TRUE);
            }
        } else {
            const bool fLastPass = !HasFlag(psEntry, KE_FLAG_MORE_PASSES);
            psEntry->bPrimaryState = HOST_STATE_DATA_IN;
            psEntry->wChildrenOutstanding = 0;
            psEntry->wTotalChildren = 0;
            const BUFFER_HANDLE dData = psEntry->dBufferHandle + c.wStreamBlocks * BLOCK_BYTES;
            const uint32_t dBytes = static_cast<uint32_t>(c.wDataBlocks != 0 ? c.wDataBlocks : psEntry->wBlocks) * BLOCK_BYTES;
            const TRANSFER_SEGMENT sSegment = {static_cast<uint32_t>(dBufferHandleToPciAddress(dData)), dBytes};
            if (fIsVerifyCompare(psEntry) == TRUE) {
                // Answered with its status, which times it.
                CompareVerifyPass(psEntry, dData, dBytes, ToFlag(fLastPass));
            } else if (StartDataInTransfer(psEntry, &sSegment, 1, ToFlag(fLastPass)) != STATUS_OK) {
                // The host chip's ring is full: the read waits at the head.
                psEntry->bPrimaryState = HOST_STATE_DATA_AVAILABLE;
                return;
            } else if (!HasFlag(psEntry, KE_FLAG_MORE_PASSES)) {
                // The last pass, or one the host's expected length ended.
                RecordHostCommandTime(psEntry);
            }
        }
    } else {
        // 7.
        FinishCommandAborted(psEntry);
    }
    // 8.
    (void)bGetDataAvailable(bPort);
}

// ---- requeue -------------------------------------------------------------------------

void RequeueRead(KERNEL_ENTRY* psEntry) {
    CACHE_ENTRY_FIELDS& c = Cache(psEntry);
    const uint8_t bPort = psEntry->bPortCode;
    ClearFlag(psEntry, KE_FLAG_CHILD_FAILED);
    SetFlag(psEntry, KE_FLAG_REDONE);
    if (psEntry->bCommandType == CT_READ_FILL) {
        BackToQueue(psEntry, false);
        (void)bGetDataAvailable(bPort);
        // The reads waiting on its slot would get pages the drives never
        // filled: they read the drives themselves.
        const uint8_t bSlot = c.bReadAheadSlot;
        if (bSlot != NO_READ_AHEAD_SLOT && wGetReadAheadUsers(bSlot) > 1) ServeReadAheadWaiters(bSlot, bPort, TRUE);
        DropReadAheadFill(psEntry);
        psEntry->wBlocks = psEntry->wBlockCount;
        return;
    }
    if (psEntry->dBufferHandle != NULL_BUFFER_HANDLE && c.wBufferBlocks != 0) {
        (void)wFreeDataPages(psEntry->dBufferHandle, dPagesFor(c.wBufferBlocks));
        psEntry->dBufferHandle = NULL_BUFFER_HANDLE;
    }
    c.wBufferBlocks = 0;
    BackToQueue(psEntry, false);
    if (HasFlag(psEntry, KE_FLAG_TQM_COUNTED)) TqmCommandDone(psEntry);
    (void)bGetDataAvailable(bPort);
}

void RequeueReadAheadWaiter(KERNEL_ENTRY* psEntry) {
    CACHE_ENTRY_FIELDS& c = Cache(psEntry);
    c.bReadAheadSlot = NO_READ_AHEAD_SLOT;
    psEntry->bCommandType = CT_READ_FILL_FALLBACK;
    psEntry->dBufferHandle = NULL_BUFFER_HANDLE;
    c.wBufferBlocks = 0;
    c.wStreamBlocks = 0;
    psEntry->wBlocks = c.wDataBlocks != 0 ? c.wDataBlocks : psEntry->wBlockCount;
    BackToQueue(psEntry, false);
}

// ---- the read-ahead answer -------------------------------------------------------------

void SendReadAheadData(uint8_t bPortCode, KERNEL_ENTRY* psEntry) {
    CACHE_ENTRY_FIELDS& c = Cache(psEntry);
    const uint32_t dLength = static_cast<uint32_t>(c.wDataBlocks) * BLOCK_BYTES;
    const uint32_t dAddress = static_cast<uint32_t>(dBufferHandleToPciAddress(psEntry->dBufferHandle));
    const uint8_t bPort = bPortCode == PORT_CODE_MODULE ? psEntry->bPortCode : bPortCode;
    if (!IsFibrePort(bPort)) {
        psEntry->bPrimaryState = HOST_STATE_DATA_IN;
        const TRANSFER_SEGMENT sSegment = {dAddress, dLength};
        (void)StartDataInTransfer(psEntry, &sSegment, 1, TRUE);
        RecordHostCommandTime(psEntry);
        return;
    }
    // One request carries the data and the GOOD status; its handle names the
    // slot, whose users drop when the chip is done with it.
    ATIO2_ENTRY sHead;
    std::memcpy(&sHead, psEntry, sizeof(sHead));
    const uint32_t dHandle = CTIO_HANDLE_READ_AHEAD | c.bReadAheadSlot;
    uint8_t abRequest[CTIO_ENTRY_BYTES];
    const uint32_t dOffset = static_cast<uint32_t>(psEntry->wBlocksDone) * BLOCK_BYTES;
    if (fIsQL24xx() == TRUE) {
        ATIO7_ENTRY sAtio;
        std::memcpy(&sAtio, pGetAtioCopy(psEntry), sizeof(sAtio));
        const uint16_t wFlags = static_cast<uint16_t>(
            CTIO7_FLAG_DATA_IN | CTIO7_FLAG_SEND_STATUS |
            ((sHead.bTaskAttribute & FCP_TASK_ATTRIBUTE_MASK) << CTIO7_TASK_ATTRIBUTE_SHIFT));
        (void)QL24_BuildCtio7(dHandle, sHead.wInitiator, sHead.wOxId, wFlags, CTIO_TIMEOUT,
                              pHostFields(psEntry)->dSourceId, sAtio.dExchangeAddress, 1, SCSI_STATUS_GOOD, dOffset, 0,
                              dLength, dAddress, dLength, abRequest);
    } else {
        (void)QL2x_BuildCtio2(dHandle, sHead.wInitiator, sHead.wRxId,
                              CTIO2_FLAG_DATA_IN | CTIO2_FLAG_STATUS_MODE_1 | CTIO2_FLAG_SEND_STATUS, CTIO_TIMEOUT, 1,
                              SCSI_STATUS_GOOD, dOffset, 0, dLength, dAddress, dLength, abRequest);
    }
    psEntry->bPrimaryState = HOST_STATE_DATA_IN;
    if (!IsLipCountStale(psEntry)) {
        (void)bPostRequestQueueEntries(bPort, 1, abRequest);
    } else {
        DecReadAheadWaitCount(c.bReadAheadSlot, FALSE);
        if (fIsQL24xx() != TRUE) {
            IncTargetResourceCount(bPort);
            SetTargetResourceRequest(bPort, TRUE);
        }
    }
    // Nothing comes back for the command itself: it ends here.
    RecordTarCmdTrace(psEntry);
    if (HasFlag(psEntry, KE_FLAG_TQM_COUNTED)) TqmCommandDone(psEntry);
    DecHostReadsInProgress();
    if (HasFlag(psEntry, KE_FLAG_STRIPE_ACCESS)) ReleaseStripeAccessEntry(psEntry->wIndex);
    if (HasFlag(psEntry, KE_FLAG_IN_READ_QUEUE)) RemoveOutstandingRead(psEntry);
    RecordHostCommandTime(psEntry);
    FreeTargetEntry(psEntry);
    DecPortTotalCommands(bPort);
}

}  // namespace fw
