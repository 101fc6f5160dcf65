// The zero-write job: one host-pool entry with a zeroed 16 KB buffer,
// rebuilt as each WRITE(16) of the head and then of the tail, handed to the
// write path's issue stage, and stepped on from the write's completion.
#include "raid/zero_write_job.h"

#include <cstring>

#include "cache/cache_entry.h"
#include "cache/outstanding_queues.h"
#include "cache/read_ahead.h"
#include "cache/write_stages.h"
#include "cache/write_start.h"
#include "config/ld_table.h"
#include "executive/buffer_pages.h"
#include "executive/kernel_entry.h"
#include "executive/tick.h"
#include "executive/timers.h"
#include "executive/types.h"
#include "hw/scsi.h"
#include "mgmt/management.h"
#include "mgmt/management_commands.h"
#include "raid/child_commands.h"
#include "target/command_access.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"

namespace fw {

namespace {

// A write that cannot go yet (an older write shares its rows, the engine is
// out of entries) is tried again after this long.
constexpr uint32_t ZERO_WRITE_RETRY_MS = 2;

struct ZERO_WRITE_JOB {
    uint8_t fBusy;
    uint8_t bState;
    KERNEL_ENTRY* psRequester;
    uint16_t wLd;
    uint32_t dHead;
    uint32_t dTail;
    uint32_t dRemaining;
    uint32_t dPerWrite;
    uint64_t lLba;             // in the logical drive's own blocks
    uint32_t dLastBlocks;      // of the write last issued
    KERNEL_ENTRY* psWrite;
};

ZERO_WRITE_JOB s_sJob;
uint8_t s_bLastStatus;

// Blocks of the logical drive, in its own block size.
uint64_t lLdBlocks(uint16_t wLd) {
    uint64_t lLast = 0;
    if (bGetLogicalDriveCapacity(wLd, &lLast) != STATUS_OK) return 0;
    const uint8_t bFactor = bGetLogicalDriveBlockFactor(wLd);
    return bFactor == 0 ? 0 : (lLast + 1) / bFactor;
}

uint8_t bAllocZeroWriteCommand(uint16_t wLd, KERNEL_ENTRY** ppsWrite) {
    KERNEL_ENTRY* ps = nullptr;
    uint16_t wIndex = 0;
    if (bAllocTargetEntries(PORT_CODE_FC_HOST_1, 1, &ps, &wIndex, FALSE) != STATUS_OK || ps == nullptr) {
        return STATUS_RETRY;
    }
    BUFFER_HANDLE dHandle = NULL_BUFFER_HANDLE;
    if (bAllocDataPages(0, ZERO_WRITE_PAGES, &dHandle) != STATUS_OK) {
        FreeTargetEntry(ps);
        return STATUS_NO_PAGES;
    }
    std::memset(pBufferHandleToPointer(dHandle), 0, ZERO_WRITE_PAGES * BUFFER_PAGE_SIZE);
    std::memset(ps, 0, offsetof(KERNEL_ENTRY, bPrimaryState));
    ResetCacheEntryFields(ps);
    std::memset(pRaidFields(ps), 0, sizeof(RAID_ENTRY_FIELDS));
    ps->bPortCode = PORT_CODE_FC_HOST_1;
    ps->bCommandType = CT_ZERO_WRITE;
    ps->fUsed = TRUE;
    ps->bMember = NO_MEMBER;
    ps->wLunIndex = wLd;
    ps->dBufferHandle = dHandle;
    ps->wPageCount = ZERO_WRITE_PAGES;
    ps->wJournalSlot = ps->wIndex;
    ps->psMother = ps;
    *ppsWrite = ps;
    return STATUS_OK;
}

// The next write: n = min(remaining, blocks per write) blocks at the LBA,
// decoded as a host WRITE(16) of the logical drive.
void BuildZeroWrite(KERNEL_ENTRY* ps) {
    ZERO_WRITE_JOB& j = s_sJob;
    const uint32_t n = j.dRemaining < j.dPerWrite ? j.dRemaining : j.dPerWrite;
    uint8_t* pbCdb = pGetCommandCdb(ps);
    std::memset(pbCdb, 0, 16);
    pbCdb[0] = SCSI_WRITE16;
    PutBe64(pbCdb + 2, j.lLba);
    PutBe32(pbCdb + 10, n);
    j.dLastBlocks = n;
    ps->lFlags = KE_FLAG_DATA_COMPLETE;
    ps->wBlocksDone = 0;
    ps->fValid = FALSE;
    ps->wChildrenOutstanding = 0;
    ps->wTotalChildren = 0;
    ParseReadWrite16Cdb(ps);
    (void)bSetupTransferPass(ps);
    ps->fValid = TRUE;
    ps->dStartTick = dGetCoarseTick();
    ps->lArrivalMs = lGetTickCount();
}

void IssueZeroWrite(KERNEL_ENTRY* ps);

void RetryZeroWrite(KERNEL_ENTRY* ps, TIMER_NODE*) {
    if (s_sJob.fBusy == TRUE && ps == s_sJob.psWrite) IssueZeroWrite(ps);
}

// Hands the built write to the write path's issue stage.  It waits (on a
// timer) while an older write shares its rows, so a host write never meets
// a half-updated row, and later writes to its rows wait for it in turn.
void IssueZeroWrite(KERNEL_ENTRY* ps) {
    uint16_t wBlocking = NO_ENTRY_LINK;
    if (!HasFlag(ps, KE_FLAG_IN_WRITE_QUEUE)) {
        if (bFindBlockingWrite(ps, &wBlocking, TRUE, TRUE, FALSE) != ORDER_GO) {
            InsertTimer(ps, RetryZeroWrite, ZERO_WRITE_RETRY_MS);
            return;
        }
        InsertOutstandingWrite(ps);
    }
    (void)InvalidateReadAhead(ps->lInternalAddress, ps->wBlocks);
    ps->bPrimaryState = HOST_STATE_WRITE_READY;
    if (bPushCompletionCallback(ps, ZeroWriteJobStep) != STATUS_OK) {
        FinishZeroWriteJob(0);
        return;
    }
    if (ProcessWriteReadyQueue(PORT_CODE_FC_HOST_1, ps) != STATUS_OK) {
        // Out of drive entries or the region held: the same write again.
        (void)pPopCompletionCallback(ps);
        InsertTimer(ps, RetryZeroWrite, ZERO_WRITE_RETRY_MS);
    }
}

// The next write of the current region, and the state that follows it.
void NextWrite(uint8_t bMore, uint8_t bLast) {
    ZERO_WRITE_JOB& j = s_sJob;
    j.bState = j.dRemaining > j.dPerWrite ? bMore : bLast;
    BuildZeroWrite(j.psWrite);
    IssueZeroWrite(j.psWrite);
}

void AdvanceRegion() {
    ZERO_WRITE_JOB& j = s_sJob;
    j.lLba += j.dLastBlocks;
    j.dRemaining -= j.dLastBlocks < j.dRemaining ? j.dLastBlocks : j.dRemaining;
}

}  // namespace

void InitZeroWriteJob() {
    s_sJob = ZERO_WRITE_JOB{};
    s_sJob.fBusy = FALSE;
    s_bLastStatus = 0;
}

uint8_t fIsZeroWriteJobBusy() { return s_sJob.fBusy == TRUE ? TRUE : FALSE; }
uint8_t bGetZeroWriteJobState() { return s_sJob.bState; }
uint8_t bGetZeroWriteJobLastStatus() { return s_bLastStatus; }

uint8_t bStartZeroWriteJob(KERNEL_ENTRY* psRequester, uint16_t wLd, uint32_t dHead, uint32_t dTail) {
    if (s_sJob.fBusy == TRUE || wLd >= wGetLogicalDriveCount()) return 0;
    // In the drive's own blocks and 64 bits: a tail never starts below
    // block 0, whatever the block size or the capacity.
    const uint64_t lBlocks = lLdBlocks(wLd);
    if (lBlocks == 0 || dHead > lBlocks || dTail > lBlocks) return 0;
    KERNEL_ENTRY* psWrite = nullptr;
    const uint8_t bTaken = bAllocZeroWriteCommand(wLd, &psWrite);
    if (bTaken != STATUS_OK) return bTaken;
    ZERO_WRITE_JOB& j = s_sJob;
    j = ZERO_WRITE_JOB{};
    j.fBusy = TRUE;
    j.psRequester = psRequester;
    j.wLd = wLd;
    j.dHead = dHead;
    j.dTail = dTail;
    j.psWrite = psWrite;
    j.bState = ZERO_WRITE_HEAD_FIRST;
    ZeroWriteJobStep(psWrite);
    return STATUS_OK;
}

void ZeroWriteJobStep(KERNEL_ENTRY* ps) {
    ZERO_WRITE_JOB& j = s_sJob;
    if (j.fBusy != TRUE || ps != j.psWrite) return;
    if (j.bState != ZERO_WRITE_HEAD_FIRST) {
        // A write of the job is back.
        if (HasFlag(ps, KE_FLAG_IN_WRITE_QUEUE)) RemoveOutstandingWrite(ps);
        if (HasFlag(ps, KE_FLAG_CHILD_FAILED | KE_FLAG_ABORTED)) {
            FinishZeroWriteJob(0);
            return;
        }
        if (HasFlag(ps, KE_FLAG_MORE_PASSES)) {
            // It crosses into the logical drive's next segment: its second
            // pass goes out before the job moves on.
            (void)bSetupTransferPass(ps);
            IssueZeroWrite(ps);
            return;
        }
    }
    switch (j.bState) {
    case ZERO_WRITE_HEAD_FIRST: {
        j.dRemaining = j.dHead;
        const uint8_t bFactor = bGetLogicalDriveBlockFactor(j.wLd);
        j.dPerWrite = ZERO_WRITE_PAGES * BLOCKS_PER_PAGE / (bFactor == 0 ? 1 : bFactor);
        j.lLba = 0;
        if (j.dHead == 0) {
            j.bState = ZERO_WRITE_TAIL_FIRST;
            ZeroWriteJobStep(ps);
            return;
        }
        NextWrite(ZERO_WRITE_HEAD, ZERO_WRITE_TAIL_FIRST);
        return;
    }
    case ZERO_WRITE_HEAD:
        AdvanceRegion();
        NextWrite(ZERO_WRITE_HEAD, ZERO_WRITE_TAIL_FIRST);
        return;
    case ZERO_WRITE_TAIL_FIRST:
        if (j.dTail == 0) {
            FinishZeroWriteJob(STATUS_OK);
            return;
        }
        j.dRemaining = j.dTail;
        j.lLba = lLdBlocks(j.wLd) - j.dTail;
        NextWrite(ZERO_WRITE_TAIL, ZERO_WRITE_DONE);
        return;
    case ZERO_WRITE_TAIL:
        AdvanceRegion();
        NextWrite(ZERO_WRITE_TAIL, ZERO_WRITE_DONE);
        return;
    case ZERO_WRITE_DONE:
        FinishZeroWriteJob(STATUS_OK);
        return;
    default:
        FinishZeroWriteJob(0);
        return;
    }
}

void FinishZeroWriteJob(uint8_t bStatus) {
    ZERO_WRITE_JOB& j = s_sJob;
    if (KERNEL_ENTRY* ps = j.psWrite) {
        if (HasFlag(ps, KE_FLAG_IN_WRITE_QUEUE)) RemoveOutstandingWrite(ps);
        while (pPopCompletionCallback(ps) != nullptr) {
        }
        if (ps->wPageCount != 0) (void)wFreeDataPages(ps->dBufferHandle, ps->wPageCount);
        ps->wPageCount = 0;
        FreeTargetEntry(ps);
    }
    KERNEL_ENTRY* psRequester = j.psRequester;
    s_bLastStatus = bStatus;
    j = ZERO_WRITE_JOB{};
    j.fBusy = FALSE;
    // The management command may have been ended meanwhile (aborted): only
    // the one still waiting is answered.
    if (psRequester != nullptr && psRequester == psGetCurrentManagementCommand()) {
        FinishManagementCommand(bStatus == STATUS_OK ? MGMT_GOOD : MGMT_INVALID_PARAMETERS);
    }
}

}  // namespace fw
