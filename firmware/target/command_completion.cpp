// The command-complete and write-complete services.
#include "target/command_completion.h"

#include "cache/cache.h"
#include "cache/cache_entry.h"
#include "cache/flush_sequencer.h"
#include "cache/nvram_journal.h"
#include "cache/outstanding_queues.h"
#include "cache/read_ahead.h"
#include "cache/read_path.h"
#include "cache/write_start.h"
#include "config/bad_blocks.h"
#include "config/config_flags.h"
#include "dataservices/data_services.h"
#include "eventlog/statistics.h"
#include "executive/buffer_pages.h"
#include "executive/timers.h"
#include "executive/types.h"
#include "hw/scsi.h"
#include "mgmt/management.h"
#include "partner/partner_link.h"
#include "target/command_access.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/lun_scheduler.h"
#include "target/scsi_status.h"
#include "target/stage_rings.h"
#include "target/target_engine.h"
#include "target/target_queue_management.h"

namespace fw {

namespace {

constexpr uint32_t BLOCKS_PER_PAGE = 8;

uint8_t bOpcodeOf(const KERNEL_ENTRY* psEntry) {
    const uint8_t* pbCdb = pGetCommandCdb(psEntry);
    return pbCdb == nullptr ? 0 : pbCdb[0];
}

bool IsFlushWrite(const KERNEL_ENTRY* psEntry) {
    return psEntry->bCommandType == COMMAND_TYPE_FLUSH_WRITE || psEntry->bCommandType == COMMAND_TYPE_FLUSH_WRITE_2;
}

bool IsStreamPiece(uint8_t bType) {
    return bType == COMMAND_TYPE_STREAM_PIECE || bType == COMMAND_TYPE_CLOSING_PIECE;
}

void FreeDataPages(KERNEL_ENTRY* psEntry) {
    // A read of a read-ahead slot only gives up its use of it: the slot
    // keeps its data for the reads that follow.
    if (psEntry->bCommandType == COMMAND_TYPE_READ_AHEAD || psEntry->bCommandType == COMMAND_TYPE_READ_AHEAD_2) {
        DecReadAheadWaitCount(psCacheFields(psEntry)->bReadAheadSlot, FALSE);
        return;
    }
    // A READ or WRITE holds pages for its whole decoded count, unless it
    // moves in passes: then each pass holds pages for its own blocks only.
    const bool fReadWrite = bOpcodeOf(psEntry) == SCSI_READ16 || bOpcodeOf(psEntry) == SCSI_WRITE16;
    const uint32_t dBlocks = fReadWrite && fMovesInPasses(psEntry) != TRUE ? psEntry->wBlockCount : psEntry->wBlocks;
    if (HasFlag(psEntry, KE_FLAG_BORROWED_PAGES) || dBlocks == 0 ||
        psEntry->dBufferHandle == NULL_BUFFER_HANDLE) {
        return;
    }
    (void)wFreeDataPages(psEntry->dBufferHandle, (dBlocks - 1) / BLOCKS_PER_PAGE + 1);
    psEntry->dBufferHandle = NULL_BUFFER_HANDLE;
}

// The write another one collapsed into this one: it may finish now.
void ReleaseCollapseWaiter(KERNEL_ENTRY* psEntry) {
    ClearFlag(psEntry, KE_FLAG_COLLAPSE_WAITER);
    KERNEL_ENTRY* psWaiter = nullptr;
    wGetTargetEntry(psCacheFields(psEntry)->wCollapseLink, &psWaiter);
    if (psWaiter == nullptr || psWaiter->fUsed != TRUE) return;
    psWaiter->bPrimaryState = HOST_STATE_WRITE_COMPLETE;
    QueueWriteComplete(psWaiter->bPortCode, psWaiter->wIndex);
}

// A write that must pass the write-ready stage again.
void BackToWriteReady(KERNEL_ENTRY* psEntry) {
    ClearFlag(psEntry, KE_FLAG_CHILD_FAILED);
    SetFlag(psEntry, KE_FLAG_REDONE);
    if (fIsDualControllerActive() != TRUE) ClearFlag(psEntry, KE_FLAG_MIRRORED);
    psEntry->bPrimaryState = HOST_STATE_WRITE_READY;
    QueueWriteReady(psEntry->bPortCode, psEntry->wIndex);
}

// A write-back write the host was answered GOOD for, whose data the drives
// refused: it keeps its data and is tried again, and after its tries it is
// given up and its blocks are recorded as lost.  Never ended as if written:
// what the drives held before would read back GOOD.  A write the RAID engine
// only sends round again (it took a failing member out of the array's way)
// goes at once; one whose error the array could not absorb waits a while
// first, as a pulled cable may come back.  (A drive out of room refuses
// nothing: its writes wait in the drive error recovery and never come
// here.)  True when given up (the entry then ends as written); false when
// it is to be tried again.
constexpr uint8_t REFUSED_DESTAGE_TRIES = 8;
constexpr uint32_t REFUSED_DESTAGE_WAIT_MS = 1000;

void TryRefusedDestageAgain(KERNEL_ENTRY* psEntry, TIMER_NODE* /*psNode*/) { BackToWriteReady(psEntry); }

bool GiveUpRefusedDestage(KERNEL_ENTRY* psEntry) {
    const bool fReported = HasFlag(psEntry, KE_FLAG_SENSE_PRESENT);
    // A full bad block list records nothing: the write stays in the cache.
    if (++psCacheFields(psEntry)->bDestageTries < REFUSED_DESTAGE_TRIES || fRecordLostWrite(psEntry) != TRUE) {
        ClearFlag(psEntry, KE_FLAG_SENSE_PRESENT);
        if (!fReported) {
            BackToWriteReady(psEntry);
        } else {
            psEntry->bPrimaryState = HOST_STATE_DESTAGE_WAIT;
            InsertTimer(psEntry, TryRefusedDestageAgain, REFUSED_DESTAGE_WAIT_MS);
        }
        return false;
    }
    ClearFlag(psEntry, KE_FLAG_CHILD_FAILED | KE_FLAG_SENSE_PRESENT);
    // Its journal slot goes now, without the completion's making the
    // blocks good again.
    if (HasFlag(psEntry, KE_FLAG_JOURNALED)) {
        ClearNvramQueueEntry(psEntry->wIndex);
        ClearFlag(psEntry, KE_FLAG_JOURNALED);
    }
    return true;
}

// The next pass of a command goes back through the dispatcher.
void Restart(KERNEL_ENTRY* psEntry) {
    const uint8_t bOpcode = bOpcodeOf(psEntry);
    if (bOpcode == SCSI_WRITE16 && HasFlag(psEntry, KE_FLAG_CHILD_FAILED)) {
        BackToWriteReady(psEntry);
        return;
    }
    FreeDataPages(psEntry);
    if (HasFlag(psEntry, KE_FLAG_RANK_COUNTED)) {
        if (bOpcode == SCSI_READ16) DecRankReadsInProgress(psEntry->bRank);
        if (bOpcode == SCSI_WRITE16) DecRankWritesInProgress(psEntry->bRank);
        ClearFlag(psEntry, KE_FLAG_RANK_COUNTED);
    }
    ClearFlag(psEntry, KE_FLAG_ON_LUN_RING);
    if (bOpcode == SCSI_WRITE16 && HasFlag(psEntry, KE_FLAG_JOURNALED)) SetNvramQueueEntryFlag(psEntry->wIndex, FALSE);
    // The pass just done moves the command on to its next one: without it
    // the dispatcher would start the same blocks again, for ever.
    if (bOpcode == SCSI_READ16 || bOpcode == SCSI_WRITE16) (void)bSetupTransferPass(psEntry);
    psEntry->bPrimaryState = HOST_STATE_NEW_COMMAND;
    DecPortTotalCommands(psEntry->bPortCode);
    QueueNewCommand(psEntry->bPortCode, psEntry->wIndex);
}

// The stream a piece belongs to learns that a newer piece was aborted.
void AbortPieceOfStream(KERNEL_ENTRY* psEntry) {
    KERNEL_ENTRY* psHead = psCacheFields(psEntry)->psStreamHead;
    if (psHead == nullptr || psHead == psEntry || psHead->fUsed != TRUE) return;
    if (psEntry->alSequence[0] <= psHead->alSequence[0]) return;
    switch (psHead->bPrimaryState) {
    case HOST_STATE_DATA_OUT:
    case HOST_STATE_WRITE_READY:
    case HOST_STATE_DATA_RECEIVED:
    case HOST_STATE_OPTIMISATION:
    case HOST_STATE_MIRROR_WAIT:
    case HOST_STATE_STREAM_WAIT: break;
    default: return;
    }
    SetFlag(psHead, KE_FLAG_NEWER_PIECE_ABORTED);
    // One piece fewer outstanding: it counts as arrived.
    psHead->wChildrenOutstanding++;
    if (psHead->bPrimaryState == HOST_STATE_STREAM_WAIT && psHead->wChildrenOutstanding == psHead->wTotalChildren) {
        psHead->bPrimaryState = HOST_STATE_OPTIMISATION;
        QueueOptimisation(psHead->wIndex);
    }
}

// A stream head or continuation ends its pieces with it.
void AbortPiecesOf(KERNEL_ENTRY* psHead) {
    for (uint16_t w = 0; w < HOST_ENTRY_COUNT; w++) {
        KERNEL_ENTRY* ps;
        wGetTargetEntry(w, &ps);
        if (ps == psHead || ps->fUsed != TRUE || psCacheFields(ps)->psStreamHead != psHead) continue;
        SetFlag(ps, KE_FLAG_ABORTED);
        if (ps->bPrimaryState == HOST_STATE_STREAM_WAIT) {
            ps->bPrimaryState = HOST_STATE_COMPLETE;
            QueueCommandComplete(ps->bPortCode, ps->wIndex);
        }
    }
}

void EndAborted(KERNEL_ENTRY* psEntry) {
    const uint8_t bType = psEntry->bCommandType;
    if (IsStreamPiece(bType) || bType == COMMAND_TYPE_CONTINUATION) AbortPieceOfStream(psEntry);
    if (bType == COMMAND_TYPE_MANAGEMENT) SetMgmtCommandActive(FALSE);
    if (bType == COMMAND_TYPE_CONTINUATION || bType == COMMAND_TYPE_STREAM_HEAD) AbortPiecesOf(psEntry);
}

// What the command held in the cache and the target engine's tables.
void ReleaseHolds(KERNEL_ENTRY* psEntry) {
    const uint8_t bOpcode = bOpcodeOf(psEntry);
    if (HasFlag(psEntry, KE_FLAG_IN_WRITE_QUEUE)) {
        RemoveOutstandingWrite(psEntry);
        if (HasFlag(psEntry, KE_FLAG_LUN_STATISTICS) && !IsStreamPiece(psEntry->bCommandType)) {
            UpdateStatisticsOnCommandComplete(psEntry);
        }
    }
    if (HasFlag(psEntry, KE_FLAG_IN_READ_QUEUE)) RemoveOutstandingRead(psEntry);
    if (bOpcode == SCSI_READ16) {
        DecHostReadsInProgress();
        if (HasFlag(psEntry, KE_FLAG_LUN_STATISTICS)) UpdateStatisticsOnCommandComplete(psEntry);
    } else if (bOpcode == SCSI_WRITE16) {
        DecHostWritesInProgress();
    } else if (bOpcode == SCSI_WRITE_BUFFER) {
        EndManagementAction(psEntry);
    }
    if (psEntry->bCommandType == COMMAND_TYPE_PR_OUT && HasFlag(psEntry, KE_FLAG_PR_OUT_HOLDER)) ClearPrOutWaitFlags();
    if (HasFlag(psEntry, KE_FLAG_JOURNALED)) {
        ClearNvramQueueEntry(psEntry->wIndex);
        if (bOpcode == SCSI_WRITE16) (void)UpdateBadBlockList(psEntry->lRankAddress, psEntry->wBlockCount, psEntry->bRank, bOpcode);
    }
    if (HasFlag(psEntry, KE_FLAG_STRIPE_ACCESS)) ReleaseStripeAccessEntry(psEntry->wIndex);
    ReleasePriorityBucket(psEntry);
}

// One finished command; answers whether it was taken off the ring here.
void CompleteCommand(KERNEL_ENTRY* psEntry) {
    const uint8_t bPort = psEntry->bPortCode;
    ReleaseSnapshotPageMapRange(psEntry);
    // An aborted command has no next pass.
    if (HasFlag(psEntry, KE_FLAG_ABORTED)) ClearFlag(psEntry, KE_FLAG_MORE_PASSES);
    if (bOpcodeOf(psEntry) == SCSI_WRITE16 && fIsWriteBufferRead(psEntry) == TRUE) {
        // Reads still send data from its buffer: the last of them brings it
        // back, and its pages go only then.
        DecPortCommandComplete(bPort);
        psEntry->bPrimaryState = HOST_STATE_CHILDREN_WAIT;
        return;
    }
    if (HasFlag(psEntry, KE_FLAG_MORE_PASSES)) {
        DecPortCommandComplete(bPort);
        Restart(psEntry);
        return;
    }
    if (fHasChildrenOutstanding(psEntry) == TRUE) {
        // The last child brings it back.
        DecPortCommandComplete(bPort);
        psEntry->bPrimaryState = HOST_STATE_CHILDREN_WAIT;
        return;
    }
    if (psEntry->bCommandType == COMMAND_TYPE_HOST_CHILD && psEntry->psMother != nullptr &&
        psEntry->psMother != psEntry) {
        KERNEL_ENTRY* psMother = psEntry->psMother;
        if (psMother->wChildrenOutstanding != 0) psMother->wChildrenOutstanding--;
        if (psMother->wChildrenOutstanding == 0 && psMother->bPrimaryState == HOST_STATE_CHILDREN_WAIT) {
            psMother->bPrimaryState = HOST_STATE_COMPLETE;
            QueueCommandComplete(psMother->bPortCode, psMother->wIndex);
        }
    }
    FreeDataPages(psEntry);
    if (HasFlag(psEntry, KE_FLAG_COLLAPSE_WAITER)) ReleaseCollapseWaiter(psEntry);
    if (HasFlag(psEntry, KE_FLAG_MIRRORED) && fIsDualControllerActive() == TRUE &&
        bCheckOutgoingQueueSpace(PARTNER_MESSAGE_MIRROR_DROP) == STATUS_OK) {
        SendHostCommandMessage(PARTNER_MESSAGE_MIRROR_DROP, psEntry, FALSE);
    }
    if (HasFlag(psEntry, KE_FLAG_ABORTED)) EndAborted(psEntry);
    if (!IsFlushWrite(psEntry)) ReleaseHolds(psEntry);
    FreeTargetEntry(psEntry);
    DecPortTotalCommands(bPort);
    DecPortCommandComplete(bPort);
}

}  // namespace

uint8_t fHasChildrenOutstanding(const KERNEL_ENTRY* psEntry) {
    const bool fCode = pHostFields(psEntry)->fCompletionCode == TRUE &&
                       psEntry->wChildrenOutstanding == COMPLETION_CODE_NO_STATUS;
    return ToFlag(psEntry->wChildrenOutstanding != 0 && !fCode);
}

void ServiceCommandComplete(uint8_t bPortCode) {
    const uint16_t wCount = wGetCommandCompleteTotal();
    for (uint16_t w = 0; w < wCount; w++) {
        KERNEL_ENTRY* psEntry = nullptr;
        if (bPeekCommandComplete(&psEntry) != STATUS_FOUND) {
            // A slot that holds no finished command is passed over.
            DecPortCommandComplete(bPortCode);
            continue;
        }
        CompleteCommand(psEntry);
    }
}

void ServiceWriteComplete(uint8_t /*bPortCode*/) {
    KERNEL_ENTRY* psEntry = nullptr;
    if (bPeekWriteComplete(&psEntry) != STATUS_FOUND) return;
    const uint8_t bPort = psEntry->bPortCode;
    ReleaseSnapshotPageMapRange(psEntry);
    if (IsFlushWrite(psEntry)) {
        CompleteFlushWrite(psEntry);
        return;
    }
    if (HasFlag(psEntry, KE_FLAG_COLLAPSE_WAITER)) ReleaseCollapseWaiter(psEntry);
    TakeWriteComplete(bPort);
    if (HasFlag(psEntry, KE_FLAG_SENSE_PRESENT) && !HasFlag(psEntry, KE_FLAG_STATUS_SENT)) {
        // A failed write answers with the sense saved for it, not GOOD.
        const HOST_COMMAND_FIELDS* psFields = pHostFields(psEntry);
        psEntry->bPrimaryState = HOST_STATE_STATUS;
        (void)SendScsiStatus(psEntry, psFields->bSenseKey, psFields->bAsc, psFields->bAscq);
        return;
    }
    if (HasFlag(psEntry, KE_FLAG_INTERNAL) && fDataServicesAcceptCommand(psEntry) == TRUE) {
        psEntry->bPrimaryState = HOST_STATE_COMPLETE;
        QueueCommandComplete(bPort, psEntry->wIndex);
        return;
    }
    if (HasFlag(psEntry, KE_FLAG_STATUS_SENT) && HasFlag(psEntry, KE_FLAG_CHILD_FAILED | KE_FLAG_SENSE_PRESENT) &&
        !GiveUpRefusedDestage(psEntry)) {
        return;
    }
    if (HasFlag(psEntry, KE_FLAG_CHILD_FAILED)) {
        BackToWriteReady(psEntry);
        return;
    }
    if (HasFlag(psEntry, KE_FLAG_CACHE_COUNTED)) {
        DecCacheWriteCount();
        ClearFlag(psEntry, KE_FLAG_CACHE_COUNTED);
    }
    if (HasFlag(psEntry, KE_FLAG_STATUS_SENT)) {
        ClearFlag(psEntry, KE_FLAG_WRITE_BACK);
    } else if (!HasFlag(psEntry, KE_FLAG_NO_STATUS)) {
        psEntry->bPrimaryState = HOST_STATE_STATUS;
        (void)SendScsiStatus(psEntry, SCSI_STATUS_GOOD, 0, 0);
        return;
    } else if (HasFlag(psEntry, KE_FLAG_TQM_COUNTED)) {
        TqmCommandDone(psEntry);
    }
    MarkFinishedWithoutStatus(psEntry);
    QueueCommandComplete(bPort, psEntry->wIndex);
}

}  // namespace fw
