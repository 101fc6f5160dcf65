// The start of a host WRITE(16): CDB decoding and transfer passes, stream
// detection and joining, the stream buffer size, the write-back and mirror
// decision, the journal record and the data-out transfer.
#include "cache/write_start.h"

#include <algorithm>

#include "cache/cache.h"
#include "cache/cache_entry.h"
#include "cache/nvram_journal.h"
#include "cache/outstanding_queues.h"
#include "cache/read_ahead.h"
#include "cache/write_sort.h"
#include "config/config_db.h"
#include "config/ld_table.h"
#include "config/rank_table.h"
#include "console/option_settings.h"
#include "dataservices/data_services.h"
#include "eventlog/statistics.h"
#include "executive/buffer_pages.h"
#include "executive/interrupt_controller.h"
#include "executive/tick.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "fc/fc_driver.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "raid/drive_error_recovery.h"
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

constexpr uint32_t RANK_QUEUE_DEEP_WRITES = 32;
constexpr uint8_t PORT_CODE_HOST_VARIANT_17 = 17;
constexpr uint8_t PORT_CODE_HOST_VARIANT_18 = 18;
constexpr uint32_t BLOCK_BYTES = 512;
constexpr uint32_t BLOCKS_PER_PAGE = 8;
constexpr uint16_t STREAM_FACTOR_ALIGNED = 512;
constexpr uint16_t CHUNKS_PER_STREAM_CAP = 64;

uint16_t s_awLunBackOff[LUN_COUNT];
// The held writes of every LUN were let go since pages were last found.
uint8_t s_fHeldWritesReleased = FALSE;

uint32_t dPagesFor(uint32_t dBlocks) { return dBlocks == 0 ? 0 : (dBlocks - 1) / BLOCKS_PER_PAGE + 1; }

CACHE_ENTRY_FIELDS& Cache(KERNEL_ENTRY* psEntry) { return *psCacheFields(psEntry); }

uint64_t lRankStart(uint8_t bRank) {
    uint64_t l = 0;
    GetRankStartAddress(bRank, &l);
    return l;
}

// The stripe length of a rank in blocks: the data blocks of one row.
uint32_t dStripeBlocks(uint8_t bRank) {
    const uint32_t d = dGetRankRowDataBlocks(bRank);
    return d == 0 ? 1 : d;
}

bool IsParityLevel(uint8_t bLevel) { return bLevel == RAID_LEVEL_5 || bLevel == RAID_LEVEL_6 || bLevel == RAID_LEVEL_50; }

// Data members of one stripe row, by RAID level.
uint32_t dDataMembers(uint8_t bRank) {
    const uint32_t dDrives = bGetRankDriveCount(bRank);
    const uint32_t dSpan = std::max<uint32_t>(bGetRankSubRankCount(bRank), 1);
    uint32_t d;
    switch (bGetRankRaidLevel(bRank)) {
    case RAID_LEVEL_0: d = dDrives; break;
    case RAID_LEVEL_10: d = dDrives / 2; break;
    case RAID_LEVEL_6: d = dDrives > dSpan ? dDrives - dSpan : 0; break;
    default: d = dDrives / dSpan > 0 ? dDrives / dSpan - 1 : 0; break;
    }
    return d == 0 ? 1 : d;
}

// First block of the stripe row holding the start, and first block after the
// row holding the last block, in internal addresses.
void StripeRowBounds(uint8_t bRank, uint64_t lRankAddress, uint32_t dBlocks, uint64_t* plStart, uint64_t* plEnd) {
    const uint64_t lRow = static_cast<uint64_t>(std::max<uint16_t>(wGetRankChunkSize(bRank), 1)) * dDataMembers(bRank);
    const uint64_t lStart = lRankStart(bRank);
    const uint64_t lLast = lRankAddress + (dBlocks == 0 ? 0 : dBlocks - 1);
    *plStart = lStart + lRankAddress / lRow * lRow;
    *plEnd = lStart + (lLast / lRow + 1) * lRow;
}

bool IsFibrePort(uint8_t bPortCode) { return bPortCode == PORT_CODE_FC_HOST_1 || bPortCode == PORT_CODE_FC_HOST_2; }

bool IsLipCountStale(const KERNEL_ENTRY* psEntry) {
    return IsFibrePort(psEntry->bPortCode) &&
           wGetHostLoopLipCount(psEntry->bPortCode) != pHostFields(psEntry)->wLipCount;
}

bool IsStreamType(uint8_t bType) {
    return bType == COMMAND_TYPE_STREAM_HEAD || bType == COMMAND_TYPE_STREAM_PIECE || bType == COMMAND_TYPE_CONTINUATION;
}

// A command dropped at its start: the host link was reset, or it was aborted
// before its data phase.
void DropAtStart(KERNEL_ENTRY* psEntry, bool fGiveResourceBack) {
    SetFlag(psEntry, KE_FLAG_ABORTED);
    FinishCommandAborted(psEntry);
    if (fGiveResourceBack && fIsQL24xx() != TRUE) {
        IncTargetResourceCount(psEntry->bPortCode);
        SetTargetResourceRequest(psEntry->bPortCode, TRUE);
    }
    LeaveCommandQueue(psEntry);
    if (HasFlag(psEntry, KE_FLAG_LUN_STATISTICS) && !HasFlag(psEntry, KE_FLAG_IN_WRITE_QUEUE)) {
        UpdateStatisticsOnCommandComplete(psEntry);
    }
    if (HasFlag(psEntry, KE_FLAG_TQM_COUNTED)) TqmCommandDone(psEntry);
}

// The buffer a new stream head takes: room for the writes expected to
// follow, less while the buffer memory fills.
uint16_t wStreamBufferBlocks(const KERNEL_ENTRY* psEntry, uint16_t wBlocks, bool fAligned) {
    const uint32_t dUsed = bGetBufferUsagePercent(BUFFER_BANK_EITHER);
    const uint32_t dBase = wGetBankMegabytes(0) == 256 ? 10 : 20;
    uint32_t dFactor = 16;
    if (fAligned || dUsed < dBase) {
        dFactor = STREAM_FACTOR_ALIGNED;
    } else if (dUsed < dBase + 10) {
        dFactor = 256;
    } else if (dUsed < dBase + 20) {
        dFactor = 128;
    } else if (dUsed < dBase + 30) {
        dFactor = 64;
    } else if (dUsed < dBase + 40) {
        dFactor = 32;
    }
    const uint32_t dStripe = dStripeBlocks(psEntry->bRank);
    uint32_t dCap;
    uint32_t dRoom;
    if (wBlocks <= 2048) {
        dCap = std::min<uint32_t>({wBlocks * dFactor, MAX_STREAM_BUFFER_BLOCKS,
                                   static_cast<uint32_t>(wGetRankChunkSize(psEntry->bRank)) * CHUNKS_PER_STREAM_CAP});
        dRoom = fAligned ? dStripe : 2 * dStripe - static_cast<uint32_t>(psEntry->lRankAddress % dStripe);
    } else {
        dCap = std::min<uint32_t>(wBlocks * dFactor, MAX_STREAM_BUFFER_BLOCKS);
        dRoom = MAX_STREAM_BUFFER_BLOCKS;
    }
    const uint32_t dSize = std::max<uint32_t>(std::min(dCap, std::max<uint32_t>(dRoom, 2u * wBlocks)), wBlocks);
    return static_cast<uint16_t>(std::min<uint32_t>(dSize, 0xFFFF));
}

// Handing a write on to the snapshot layer: a command without snapshot
// words waits while the metadata is flushed, unless it joins a head that
// has them; one the copy-on-write takes prepares its map pages.
void SnapshotWriteHandOff(KERNEL_ENTRY* psEntry) {
    const bool fWords = psEntry->adSnapshot[0] != 0 || psEntry->adSnapshot[1] != 0;
    if (!fWords && fGetMetadataFlushInProg() == TRUE) {
        const KERNEL_ENTRY* psHead = psCacheFields(psEntry)->psStreamHead;
        const bool fJoinsSnapshotHead = psHead != nullptr && (psHead->adSnapshot[0] != 0 || psHead->adSnapshot[1] != 0);
        if (!fJoinsSnapshotHead) return;
    }
    if (bSnapshotCopyOnWriteTest(psEntry) != STATUS_OK) return;
    const uint8_t bState = bGetSnapshotCommandState(psEntry);
    if (bState == 25 || bState == 170) (void)bPreparePmapPagesForCmd(psEntry);
}

// Pages for a plain write or a stream head: three tries, the buffer halved
// (never below the write itself or the next stripe boundary) after each
// refusal.  255, or 66 with the failure counted and the LUN backed off.
uint8_t bTakeWritePages(KERNEL_ENTRY* psEntry) {
    CACHE_ENTRY_FIELDS& c = Cache(psEntry);
    const uint16_t wBlocks = psEntry->wBlocks;
    if (fIsBufferUsageHigh(BUFFER_BANK_EITHER) == TRUE) {
        CountNewCommandCacheLimit();
        c.wBufferBlocks = 0;
        RaiseLunBackOff(psEntry->wLunIndex);
        ReleaseHeldWritesForPages();
        return STATUS_NO_PAGES;
    }
    const uint32_t dStripe = dStripeBlocks(psEntry->bRank);
    const uint32_t dToBoundary = dStripe - static_cast<uint32_t>(psEntry->lRankAddress % dStripe);
    uint8_t bBank = bBufferBankForPort(psEntry->bPortCode);
    for (int iTry = 0; iTry < 3; ++iTry) {
        BUFFER_HANDLE dHandle = NULL_BUFFER_HANDLE;
        if (bAllocDataPages(bBank, dPagesFor(c.wBufferBlocks), &dHandle) == STATUS_OK) {
            psEntry->dBufferHandle = dHandle;
            c.bBufferBank = bGetBufferHandleBank(dHandle);
            NoteBufferPagesFound();
            return STATUS_OK;
        }
        if (c.wBufferBlocks <= wBlocks) break;
        c.wBufferBlocks = static_cast<uint16_t>(
            std::max<uint32_t>({c.wBufferBlocks / 2u, std::min<uint32_t>(dToBoundary, c.wBufferBlocks), wBlocks}));
        bBank = BUFFER_BANK_EITHER;
    }
    CountWriteCacheFull();
    c.wBufferBlocks = 0;
    RaiseLunBackOff(psEntry->wLunIndex);
    ReleaseHeldWritesForPages();
    return STATUS_NO_PAGES;
}

// Asks the host for the data: a piece into its head's buffer, a continuation
// partly into its head's and partly into its own.
void StartWriteDataPhase(KERNEL_ENTRY* psEntry) {
    CACHE_ENTRY_FIELDS& c = Cache(psEntry);
    const uint8_t bLock = LockInterruptSource(INT_SOURCE_HOST_CHIPS);
    if (HasFlag(psEntry, KE_FLAG_INTERNAL)) {
        psEntry->bPrimaryState = HOST_STATE_DATA_RECEIVED;
        QueueDataReceived(psEntry->wIndex);
    } else {
        TRANSFER_SEGMENT asSegment[2];
        uint8_t bSegments = 0;
        if (psEntry->bCommandType == COMMAND_TYPE_CONTINUATION && c.wHeadShare != 0) {
            asSegment[bSegments++] = {static_cast<uint32_t>(dBufferHandleToPciAddress(BUFFER_HANDLE{c.dPieceBufferAddress})),
                                      c.wHeadShare * BLOCK_BYTES};
        }
        asSegment[bSegments++] = {static_cast<uint32_t>(dBufferHandleToPciAddress(psEntry->dBufferHandle)),
                                  psEntry->wBlocks * BLOCK_BYTES};
        StartDataOutTransfer(psEntry, asSegment, bSegments);
    }
    if (bLock != INT_LOCK_HELD) UnlockInterruptSource(INT_SOURCE_HOST_CHIPS);
}

}  // namespace

// ---- addresses -------------------------------------------------------------------

uint64_t lGetBlocksBeforeStripe(uint64_t lAddress, uint8_t bRank) { return lAddress - lRankStart(bRank); }

uint8_t bFindRankForAddress(uint64_t lAddress) { return bFindRankHoldingAddress(lAddress); }

void GetSegmentSpan(uint64_t lAddress, uint32_t dBlocks, uint8_t* pbCount, uint8_t* pbFirst) {
    const uint8_t bFirst = bFindRankForAddress(lAddress);
    *pbFirst = bFirst;
    *pbCount = 0;
    if (bFirst == 0xFF || dBlocks == 0) return;
    const uint8_t bLast = bFindRankForAddress(lAddress + dBlocks - 1);
    *pbCount = static_cast<uint8_t>((bLast == 0xFF ? bGetRankCount() : bLast + 1) - bFirst);
}

// ---- decoding and passes -------------------------------------------------------

void ParseReadWrite16Cdb(KERNEL_ENTRY* psEntry) {
    const uint8_t* pbCdb = pGetCommandCdb(psEntry);
    const uint16_t wLd = psEntry->wLunIndex;
    const uint64_t lFactor = bGetLogicalDriveBlockFactor(wLd);
    const uint64_t lAddress = lGetBe64(pbCdb + 2) * lFactor;
    const uint64_t lBlocks = static_cast<uint64_t>(dGetBe32(pbCdb + 10)) * lFactor;
    const uint16_t wBlocks = static_cast<uint16_t>(std::min<uint64_t>(lBlocks, 0xFFFF));
    CACHE_ENTRY_FIELDS& c = Cache(psEntry);
    psEntry->lLba = lAddress;
    psEntry->wBlockCount = wBlocks;

    const uint8_t bSegments = std::max<uint8_t>(bGetLogicalDriveSegmentCount(wLd), 1);
    uint64_t lBefore = 0;
    uint8_t bSegment = 0;
    uint64_t lLength = 0;
    for (; bSegment < bSegments; ++bSegment) {
        uint64_t lLastOffset = 0;
        GetLogicalDriveSegmentLastOffset(wLd, bSegment, &lLastOffset);
        lLength = lLastOffset + 1;
        if (lAddress < lBefore + lLength || bSegment + 1 == bSegments) break;
        lBefore += lLength;
    }
    uint64_t lSegmentStart = 0;
    GetLogicalDriveSegmentStart(wLd, bSegment, &lSegmentStart);
    psEntry->bSegmentIndex = bSegment;
    psEntry->lInternalAddress = lSegmentStart + (lAddress - lBefore);
    psEntry->bRank = bFindRankForAddress(psEntry->lInternalAddress);
    if (bGetRankOperationState(psEntry->bRank) == RANK_STATE_EXPANDING) SetFlag(psEntry, KE_FLAG_EXPANSION_DECODED);

    const uint64_t lLast = lAddress + (wBlocks == 0 ? 0 : wBlocks - 1);
    const uint64_t lSegmentLast = lBefore + lLength - 1;
    if (lLast > lSegmentLast && bSegment + 1 < bSegments) {
        c.wSecondPieceBlocks = static_cast<uint16_t>(lLast - lSegmentLast);
        c.wFirstPieceBlocks = static_cast<uint16_t>(wBlocks - c.wSecondPieceBlocks);
        GetLogicalDriveSegmentStart(wLd, static_cast<uint8_t>(bSegment + 1), &psEntry->lSecondPieceAddress);
        psEntry->bSecondRank = bFindRankForAddress(psEntry->lSecondPieceAddress);
        psEntry->bSegmentCount = 2;
    } else {
        c.wFirstPieceBlocks = wBlocks;
        c.wSecondPieceBlocks = 0;
        psEntry->bSegmentCount = 1;
    }
}

uint8_t bSetupTransferPass(KERNEL_ENTRY* psEntry) {
    CACHE_ENTRY_FIELDS& c = Cache(psEntry);
    if (HasFlag(psEntry, KE_FLAG_MORE_PASSES)) {
        if (psEntry->adSnapshot[0] != 0 || psEntry->adSnapshot[1] != 0) (void)bPreparePmapPagesForCmd(psEntry);
        psEntry->lInternalAddress += psEntry->wBlocks;
        psEntry->wBlocksDone = static_cast<uint16_t>(psEntry->wBlocksDone + psEntry->wBlocks);
    }
    uint32_t dPass = psEntry->wBlockCount - std::min(psEntry->wBlocksDone, psEntry->wBlockCount);
    bool fMore = false;
    if (psEntry->bSegmentCount == 2) {
        if (psEntry->wBlocksDone < c.wFirstPieceBlocks) {
            dPass = c.wFirstPieceBlocks - psEntry->wBlocksDone;
            fMore = true;
        } else {
            psEntry->bSegmentIndex++;
            psEntry->bSegmentCount = 1;
            psEntry->lInternalAddress = psEntry->lSecondPieceAddress;
            psEntry->bRank = psEntry->bSecondRank;
        }
    }
    if (dPass > MAX_PASS_BLOCKS) {
        dPass = MAX_PASS_BLOCKS;
        fMore = true;
    }
    psEntry->wBlocks = static_cast<uint16_t>(dPass);
    psEntry->lRankAddress = lGetBlocksBeforeStripe(psEntry->lInternalAddress, psEntry->bRank);
    if (fMore) {
        SetFlag(psEntry, KE_FLAG_MORE_PASSES);
    } else {
        ClearFlag(psEntry, KE_FLAG_MORE_PASSES);
    }
    c.bPassMarker = 1;
    if (psEntry->fValid != TRUE) {
        StripeRowBounds(psEntry->bRank, psEntry->lRankAddress, c.wFirstPieceBlocks, &psEntry->alStripeBound[0],
                        &psEntry->alStripeBound[1]);
        if (psEntry->bSegmentCount == 2) {
            StripeRowBounds(psEntry->bSecondRank, lGetBlocksBeforeStripe(psEntry->lSecondPieceAddress, psEntry->bSecondRank),
                            c.wSecondPieceBlocks, &psEntry->alStripeBound[2], &psEntry->alStripeBound[3]);
        }
    }
    return ToFlag(fMore);
}

void RestripeQueuedWrites(uint8_t bRank) {
    for (uint16_t w = 0; w < HOST_ENTRY_COUNT; ++w) {
        KERNEL_ENTRY* ps = nullptr;
        wGetTargetEntry(w, &ps);
        if (ps == nullptr || ps->fUsed != TRUE || !HasFlag(ps, KE_FLAG_IN_WRITE_QUEUE)) continue;
        const bool fSecond = ps->bSegmentCount == 2;
        if (ps->bRank != bRank && !(fSecond && ps->bSecondRank == bRank)) continue;
        const CACHE_ENTRY_FIELDS& c = *psCacheFields(ps);
        StripeRowBounds(ps->bRank, lGetBlocksBeforeStripe(ps->lInternalAddress, ps->bRank), c.wFirstPieceBlocks,
                        &ps->alStripeBound[0], &ps->alStripeBound[1]);
        if (fSecond) {
            StripeRowBounds(ps->bSecondRank, lGetBlocksBeforeStripe(ps->lSecondPieceAddress, ps->bSecondRank),
                            c.wSecondPieceBlocks, &ps->alStripeBound[2], &ps->alStripeBound[3]);
        }
        UpdateOutstandingWrite(ps);
        // Its order behind older writes is judged again by the new rows
        // before it goes out.
        SetFlag(ps, KE_FLAG_WRITE_WAITS);
    }
}

uint8_t fMovesInPasses(const KERNEL_ENTRY* psEntry) {
    return ToFlag(psEntry->wBlockCount > MAX_PASS_BLOCKS || psCacheFields(psEntry)->wSecondPieceBlocks != 0);
}

// ---- shared with the read path ---------------------------------------------------

uint8_t bBufferBankForPort(uint8_t bPortCode) {
    switch (bPortCode) {
    case PORT_CODE_FC_HOST_1:
    case PORT_CODE_FC_HOST_2:
    case PORT_CODE_FC_TABLE_1:
    case PORT_CODE_FC_TABLE_2:
    case PORT_CODE_INTERNAL:
    case PORT_CODE_MODULE:
    case PORT_CODE_SAS_HOST_1:
    case PORT_CODE_SAS_HOST_2: return BUFFER_BANK_EITHER;
    default: return 1;
    }
}

void LeaveCommandQueue(KERNEL_ENTRY* psEntry) {
    if (HasFlag(psEntry, KE_FLAG_ON_LUN_RING)) {
        RemoveFromLunRing(psEntry->wLunIndex);
    } else {
        DecPortNewCommands(psEntry->bPortCode);
    }
}

void FinishCommandAborted(KERNEL_ENTRY* psEntry) {
    SetFlag(psEntry, KE_FLAG_ABORTED);
    MarkFinishedWithoutStatus(psEntry);
    QueueCommandComplete(psEntry->bPortCode, psEntry->wIndex);
}

void RaiseLunBackOff(uint16_t wLun) {
    if (wLun >= LUN_COUNT) return;
    if (s_awLunBackOff[wLun] != 0xFFFF) ++s_awLunBackOff[wLun];
    FlagLunOutstandingWrites(wLun, s_awLunBackOff[wLun]);
}

uint16_t wGetLunBackOff(uint16_t wLun) { return wLun < LUN_COUNT ? s_awLunBackOff[wLun] : 0; }

// A write the optimisation step holds for following writes to join keeps
// its whole stream buffer (up to two stripe rows for a write of a few
// blocks) until it goes on, and the back-off lets go only the held writes
// of the LUN that found no pages.  Random writes, which nothing joins, then
// filled the cache with buffers held for the whole hold, and a LUN with no
// held writes of its own waited that long for any page.  So a command that
// finds no pages lets the held writes of every LUN go on, once until pages
// are found again.
void ReleaseHeldWritesForPages() {
    if (s_fHeldWritesReleased == TRUE) return;
    s_fHeldWritesReleased = TRUE;
    for (uint16_t l = 0; l < LUN_COUNT; ++l) {
        const uint32_t dWrites = dGetLunOutstandingWrites(l);
        if (dWrites != 0) FlagLunOutstandingWrites(l, dWrites);
    }
}

void NoteBufferPagesFound() { s_fHeldWritesReleased = FALSE; }

bool IsStreamPiece(const KERNEL_ENTRY* psEntry) {
    return psEntry->bCommandType == COMMAND_TYPE_STREAM_PIECE || psEntry->bCommandType == COMMAND_TYPE_CLOSING_PIECE;
}

bool IsContinuationOfWriteThroughHead(const KERNEL_ENTRY* psEntry) {
    if (psEntry->bCommandType != COMMAND_TYPE_CONTINUATION) return false;
    const KERNEL_ENTRY* psHead = psCacheFields(psEntry)->psStreamHead;
    return psHead == nullptr || !HasFlag(psHead, KE_FLAG_WRITE_BACK);
}

void CreditNvramJournal(KERNEL_ENTRY* psEntry) {
    CACHE_ENTRY_FIELDS& c = Cache(psEntry);
    KERNEL_ENTRY* psHead = c.psStreamHead;
    if (IsStreamPiece(psEntry)) {
        if (psHead != nullptr && HasFlag(psHead, KE_FLAG_JOURNALED)) {
            AddNvramQueueValidBlocks(psHead->wJournalSlot, c.wPieceBlocks);
        }
        return;
    }
    if (psEntry->bCommandType == COMMAND_TYPE_CONTINUATION && psHead != nullptr &&
        HasFlag(psHead, KE_FLAG_JOURNALED)) {
        AddNvramQueueValidBlocks(psHead->wJournalSlot, c.wHeadShare);
    }
    if (HasFlag(psEntry, KE_FLAG_JOURNALED)) AddNvramQueueValidBlocks(psEntry->wJournalSlot, c.wJournalBlocks);
}

bool fIsSnapshotHandOffDue(const KERNEL_ENTRY* psEntry) {
    return fGetLogicalDriveHasSnapshots(psEntry->wLunIndex) == TRUE && fGetMainSnapshotStateMachineRunning() == TRUE &&
           fGetSnapshotsActiveFlag() == TRUE && fGetODAStartupInProg() != TRUE && fGetSnapshotBusyFlag() != TRUE &&
           bGetRankOperationState(psEntry->bRank) != RANK_STATE_FAILED && fIsShutdownPending() != TRUE;
}

void SettleAgeBucket(KERNEL_ENTRY* psEntry) {
    HOST_COMMAND_FIELDS* ps = pHostFields(psEntry);
    if (ps->wPriorityBucket == NO_PRIORITY_BUCKET) return;
    DecPriorityCount(psEntry->bRank, ps->wPriorityBucket);
    if (fGetAgingPrioritySetting() == TRUE) ps->wPriorityBucket = NO_PRIORITY_BUCKET;
}

void RaiseHostPortWorkOfInterface() {
    switch (bGetHostInterfaceType()) {
    case 1:
    case 2:
        SetHostPortWork(PORT_CODE_FC_HOST_1, TRUE);
        SetHostPortWork(PORT_CODE_FC_HOST_2, TRUE);
        break;
    case 6:
        SetHostPortWork(PORT_CODE_SAS_HOST_1, TRUE);
        SetHostPortWork(PORT_CODE_SAS_HOST_2, TRUE);
        break;
    default: break;
    }
}

// ---- stream detection ------------------------------------------------------------

namespace {

// Where a later write of the stream starts: the key a head or continuation
// is recorded by in its port's history.
uint64_t lStreamEnd(const KERNEL_ENTRY* psEntry) { return psEntry->lInternalAddress + psEntry->wBlocks; }

// The write in the port's recent history that ends exactly where this one
// starts and can still take more data, newest first: the history's records
// of that end are found by their key, not by reading the history through.
KERNEL_ENTRY* psFindStreamPredecessor(KERNEL_ENTRY* psEntry) {
    const uint16_t wLun = wGetCommandLun(psEntry);
    const uint16_t wInitiator = wGetCommandInitiator(psEntry);
    const uint64_t lStart = psEntry->lInternalAddress;
    const uint8_t bPortCode = psEntry->bPortCode;
    const auto visit = [&](KERNEL_ENTRY* psM) {
        // Other ends share the key's bucket: that test, the cheapest, goes
        // first.
        if (lStreamEnd(psM) != lStart || psM == psEntry || psM->fUsed != TRUE) return false;
        const uint8_t* pbCdb = pGetCommandCdb(psM);
        if (pbCdb == nullptr || pbCdb[0] != SCSI_WRITE16 || !IsStreamType(psM->bCommandType)) return false;
        if (HasFlag(psM, KE_FLAG_MORE_PASSES | KE_FLAG_COLLAPSED | KE_FLAG_MAY_COLLAPSE)) return false;
        if (psM->bPortCode != bPortCode || psM->alSequence[0] > psEntry->alSequence[0]) return false;
        if (wGetCommandLun(psM) != wLun || wGetCommandInitiator(psM) != wInitiator) return false;
        // A newer write of its rows went ahead of it, trusting it to
        // stay within its part of the stripe unit.
        if (fIsPassedByUnitCollapse(psM, psEntry) == TRUE) return false;
        SetFlag(psEntry, KE_FLAG_STREAM_PREDECESSOR);
        switch (psM->bPrimaryState) {
        case HOST_STATE_DATA_OUT:
        case HOST_STATE_WRITE_READY:
        case HOST_STATE_DATA_RECEIVED:
        case HOST_STATE_OPTIMISATION:
        case HOST_STATE_MIRROR_WAIT:
        case HOST_STATE_STREAM_WAIT: return true;
        default: return false;
        }
    };
    constexpr uint16_t RUN = 8;
    KERNEL_ENTRY* aps[RUN];
    uint16_t wCursor = RECENT_KEYED_FIRST;
    do {
        const uint16_t wGot =
            wFindRecentPortCommands(bPortCode, lStart, dGetSequentialHistoryDepth(), &wCursor, RUN, aps);
        for (uint16_t w = 0; w < wGot; w++) {
            if (visit(aps[w])) return aps[w];
        }
    } while (wCursor != RECENT_KEYED_NONE);
    return nullptr;
}

void CloseStream(KERNEL_ENTRY* psHead) { SetFlag(psHead, KE_FLAG_HOLD_RELEASE_C); }

// The buffer of a continuation's own part: whole stripes, at most 8192
// blocks, or the part itself when it is that long.
uint16_t wContinuationBufferBlocks(uint32_t dOwn, uint32_t dStripe) {
    if (dOwn >= MAX_STREAM_BUFFER_BLOCKS) return static_cast<uint16_t>(dOwn);
    const uint32_t dWhole = (dOwn + dStripe - 1) / dStripe * dStripe;
    return static_cast<uint16_t>(std::min<uint32_t>(dWhole, MAX_STREAM_BUFFER_BLOCKS));
}

}  // namespace

uint8_t bDetectSequentialWrite(KERNEL_ENTRY* psEntry, BUFFER_HANDLE* pdHandle, uint16_t* pwHeadShare,
                               uint8_t bBlocking, uint16_t wBlockingIndex) {
    if (dGetHostWritesInProgress() <= 1) return WRITE_CLASS_NEW;
    KERNEL_ENTRY* psM = psFindStreamPredecessor(psEntry);
    if (psM == nullptr) return WRITE_CLASS_NEW;
    CACHE_ENTRY_FIELDS& c = Cache(psEntry);
    CACHE_ENTRY_FIELDS& m = Cache(psM);
    const uint32_t dBlocks = psEntry->wBlocks;
    if (dBlocks > MAX_PASS_BLOCKS || psM->wTotalChildren >= MAX_STREAM_PIECES || psM->bRank != psEntry->bRank ||
        c.bPassMarker > 1 || HasFlag(psM, KE_FLAG_EXPANSION_DECODED) != HasFlag(psEntry, KE_FLAG_EXPANSION_DECODED)) {
        return WRITE_CLASS_NEW;
    }
    if (HasFlag(psM, KE_FLAG_HOLD_RELEASE_A)) return WRITE_CLASS_PLAIN;
    const uint32_t dStripe = dStripeBlocks(psEntry->bRank);
    // A write that starts a stripe row begins a stream of its own.
    if (psEntry->lRankAddress % dStripe == 0) {
        CloseStream(psM);
        return WRITE_CLASS_NEW;
    }
    if (pHostFields(psM)->wLipCount != pHostFields(psEntry)->wLipCount || IsLipCountStale(psM)) return WRITE_CLASS_NEW;
    if (bGetCacheOrderingSetting() == TRUE && bBlocking != ORDER_GO &&
        !(bBlocking == ORDER_SHARES_ONE && wBlockingIndex == psM->wIndex)) {
        return WRITE_CLASS_NEW;
    }

    const uint32_t dTotal = m.wStreamBlocks + dBlocks;
    const bool fFits = m.wBufferBlocks >= dTotal && dTotal <= MAX_STREAM_BLOCKS;
    const uint32_t dPastBoundary = static_cast<uint32_t>((psEntry->lRankAddress + dBlocks) % dStripe);
    uint32_t dHeadShare = dBlocks;
    bool fContinuation = false;
    if (dPastBoundary == 0 && fFits) {
        psEntry->bCommandType = COMMAND_TYPE_CLOSING_PIECE;
    } else if (fGetSecondClusteringSetting() != TRUE) {
        if (!fFits || psEntry->alStripeBound[1] > psM->alStripeBound[1]) return WRITE_CLASS_NEW;
        psEntry->bCommandType = COMMAND_TYPE_STREAM_PIECE;
    } else if (dPastBoundary >= dBlocks || !IsParityLevel(bGetRankRaidLevel(psEntry->bRank))) {
        if (!fFits) {
            CloseStream(psM);
            return WRITE_CLASS_NEW;
        }
        psEntry->bCommandType = COMMAND_TYPE_STREAM_PIECE;
    } else {
        // Crosses a stripe boundary of a parity rank: the part up to a
        // boundary that fits the head's buffer joins it, the rest opens a
        // buffer of its own.
        int32_t iShare = static_cast<int32_t>(dBlocks - dPastBoundary);
        while (iShare > 0 && (m.wStreamBlocks + static_cast<uint32_t>(iShare) > m.wBufferBlocks ||
                              m.wStreamBlocks + static_cast<uint32_t>(iShare) > MAX_STREAM_BLOCKS)) {
            iShare -= static_cast<int32_t>(dStripe);
        }
        if (iShare <= 0) {
            CloseStream(psM);
            return WRITE_CLASS_NEW;
        }
        dHeadShare = static_cast<uint32_t>(iShare);
        const uint32_t dOwn = dBlocks - dHeadShare;
        const uint16_t wOwnBuffer = wContinuationBufferBlocks(dOwn, dStripe);
        BUFFER_HANDLE dHandle = NULL_BUFFER_HANDLE;
        if (fIsBufferUsageHigh(BUFFER_BANK_EITHER) == TRUE ||
            bAllocDataPages(BUFFER_BANK_EITHER, dPagesFor(wOwnBuffer), &dHandle) != STATUS_OK) {
            CountWriteCacheFull();
            CloseStream(psM);
            return WRITE_CLASS_NO_BUFFER;
        }
        psEntry->bCommandType = COMMAND_TYPE_CONTINUATION;
        psEntry->dBufferHandle = dHandle;
        c.bBufferBank = bGetBufferHandleBank(dHandle);
        c.wBufferBlocks = wOwnBuffer;
        c.wHeadShare = static_cast<uint16_t>(dHeadShare);
        c.dPieceBufferAddress = static_cast<uint32_t>(psM->dBufferHandle + m.wStreamBlocks * BLOCK_BYTES);
        c.wJournalBlocks = static_cast<uint16_t>(dOwn);
        // Its own part opens the stream it heads once its data is in: later
        // pieces may join it before then, and land after that part.
        c.wStreamBlocks = static_cast<uint16_t>(dOwn);
        psEntry->wChildrenOutstanding = 0;
        psEntry->wTotalChildren = 1;
        // From here on the continuation is its own part.
        psEntry->lInternalAddress += dHeadShare;
        psEntry->lRankAddress += dHeadShare;
        psEntry->wBlocks = static_cast<uint16_t>(dOwn);
        psEntry->wBlockCount = static_cast<uint16_t>(dOwn);
        c.wFirstPieceBlocks = static_cast<uint16_t>(dOwn);
        fContinuation = true;
        *pdHandle = dHandle;
    }

    // Joining.
    if (!fContinuation) {
        // A piece's data lands in its head's buffer: the pages are the head's
        // to give back, never the piece's.
        psEntry->dBufferHandle = psM->dBufferHandle + m.wStreamBlocks * BLOCK_BYTES;
        SetFlag(psEntry, KE_FLAG_BORROWED_PAGES);
        c.wBufferBlocks = 0;
        c.wPieceBlocks = static_cast<uint16_t>(dBlocks);
        *pdHandle = psEntry->dBufferHandle;
    }
    *pwHeadShare = static_cast<uint16_t>(dHeadShare);
    m.wStreamBlocks = static_cast<uint16_t>(m.wStreamBlocks + dHeadShare);
    psM->wBlockCount = static_cast<uint16_t>(psM->wBlockCount + dHeadShare);
    psM->wBlocks = static_cast<uint16_t>(psM->wBlocks + dHeadShare);
    RekeyPortCommand(psM->bPortCode, psM->wIndex, lStreamEnd(psM));
    c.psStreamHead = psM;
    psM->wTotalChildren++;
    m.wPiecesIssued = static_cast<uint16_t>(psM->wTotalChildren - 1);
    if (psEntry->bCommandType == COMMAND_TYPE_STREAM_PIECE) {
        const uint8_t bLevel = bGetRankRaidLevel(psEntry->bRank);
        const bool fNextWontFit = (bLevel == RAID_LEVEL_0 || bLevel == RAID_LEVEL_10) &&
                                  static_cast<uint32_t>(m.wBufferBlocks - m.wStreamBlocks) < dBlocks;
        if (psM->wTotalChildren >= MAX_STREAM_PIECES || m.wStreamBlocks >= m.wBufferBlocks || fNextWontFit) {
            psEntry->bCommandType = COMMAND_TYPE_CLOSING_PIECE;
            CloseStream(psM);
        }
    }
    UpdateOutstandingWrite(psM);
    if (psEntry->lArrivalMs > psM->lArrivalMs) {
        // The interval between the writes gathered into one cluster.
        const uint64_t lInterval = psEntry->lArrivalMs - psM->lArrivalMs;
        RecordClusterInterval(static_cast<uint16_t>(lInterval < 0xFFFF ? lInterval : 0xFFFF));
        psM->lArrivalMs = psEntry->lArrivalMs;
    }
    psM->alSequence[LUN_SEQUENCE_INDEX] = psEntry->alSequence[LUN_SEQUENCE_INDEX];
    return fContinuation ? WRITE_CLASS_CONTINUATION : WRITE_CLASS_PIECE;
}

// ---- the start -----------------------------------------------------------------------

uint8_t StartHostWrite(KERNEL_ENTRY* psEntry) {
    CACHE_ENTRY_FIELDS& c = Cache(psEntry);
    const uint16_t wLun = psEntry->wLunIndex;

    // 1. A command whose host link was reset, or that was aborted, goes no
    // further.
    if (IsLipCountStale(psEntry)) {
        DropAtStart(psEntry, true);
        return STATUS_OK;
    }
    if (HasFlag(psEntry, KE_FLAG_ABORTED)) {
        DropAtStart(psEntry, false);
        return STATUS_OK;
    }
    // 2. The rank holds more queued writes than it may, or its drives have
    // no room for the writes the cache holds for it: those cannot drain,
    // and a new one would only wait behind them.  The host sends it again.
    if ((fGetRankQueueLimitSetting() == TRUE && fIsRankQueueDeep(psEntry) == TRUE) ||
        (fIsRankWaitingForSpace(psEntry->bRank) == TRUE && !HasFlag(psEntry, KE_FLAG_INTERNAL))) {
        // It leaves its queue: a slot left behind could name the entry again
        // once it is freed and taken anew.
        LeaveCommandQueue(psEntry);
        psEntry->bPrimaryState = HOST_STATE_STATUS;
        (void)SendScsiStatus(psEntry, SCSI_STATUS_TASK_SET_FULL, 0, 0);
        return STATUS_OK;
    }
    // 3. Room for the mirror message.
    const bool fDual = fIsDualControllerActive() == TRUE;
    if (fDual && bCheckOutgoingQueueSpace(PARTNER_MESSAGE_MIRROR) != STATUS_OK) {
        SetFlag(psEntry, KE_FLAG_PARTNER_QUEUE_FULL);
        return STATUS_NO_PAGES;
    }
    // The journal slot of this entry still holds a write from before the
    // last restart: it must be flushed before the slot is used again.
    if (fIsNvramQueueSlotHeld(psEntry->wIndex) == TRUE) return STATUS_NO_PAGES;

    // 4. The cache's share.  A later pass is not weighed again: the command
    // goes write-through as its first pass did, holds nothing of the cache,
    // and its own blocks are in its array's writes in progress since its
    // first start; a write longer than the array's threshold would wait for
    // itself for ever.
    bool fDecided = true;   // write-through decided here
    if (psEntry->wBlocksDone == 0) {
        if (dGetCacheWriteCount() >= dGetCachedWriteLimit()) {
            RaiseLunBackOff(wLun);
            if (fIsRankPolicyBit6Set(psEntry->bRank) == TRUE) return START_RANK_SHARE_USED;
        } else if (!HasFlag(psEntry, KE_FLAG_INTERNAL)) {
            const uint8_t bShare = bCheckRankWriteLoad(psEntry);
            if (bShare == START_RANK_SHARE_USED) return START_RANK_SHARE_USED;
            fDecided = bShare == TRUE;
        }
    }
    if (psEntry->dStartTick == 0) psEntry->dStartTick = dGetCoarseTick();

    // 5. Ordering.
    const uint8_t bOverlap = bCheckWriteOverlap(psEntry);
    uint16_t wBlockingIndex = NO_ENTRY_LINK;
    const uint8_t bBlocking = bFindBlockingWrite(psEntry, &wBlockingIndex, TRUE, FALSE, FALSE);

    // 6. Streams.
    uint8_t bClass = WRITE_CLASS_PLAIN;
    uint8_t bDetected = 0;   // the detection's answer, when it ran or was kept
    BUFFER_HANDLE dHandle = NULL_BUFFER_HANDLE;
    uint16_t wHeadShare = 0;
    if (fGetCommandClustering() == TRUE &&
        !HasFlag(psEntry, KE_FLAG_MORE_PASSES | KE_FLAG_PARTNER_ACCESS | KE_FLAG_COLLAPSES | KE_FLAG_INTERNAL) &&
        psEntry->wBlocksDone == 0 && bBlocking != ORDER_WAIT && psEntry->bPortCode != PORT_CODE_HOST_VARIANT_17 &&
        psEntry->bPortCode != PORT_CODE_HOST_VARIANT_18 && bOverlap != ORDER_WAIT) {
        // A write turned away after the detection found it no stream to join
        // is not looked for in the history again when it is tried again.
        bClass = c.bKeptStreamClass != 0 ? c.bKeptStreamClass
                                         : bDetectSequentialWrite(psEntry, &dHandle, &wHeadShare, bBlocking, wBlockingIndex);
        bDetected = bClass;
    }
    c.bKeptStreamClass = 0;
    if (bClass == WRITE_CLASS_NO_BUFFER) {
        RaiseLunBackOff(wLun);
        ReleaseHeldWritesForPages();
        return STATUS_NO_PAGES;
    }
    const bool fOwnStart = bClass == WRITE_CLASS_NEW || bClass == WRITE_CLASS_PLAIN;
    // 7. It waits for the one earlier write it shares stripe rows with.
    if (bBlocking == ORDER_SHARES_ONE && fOwnStart) {
        if (!HasFlag(psEntry, KE_FLAG_WRITE_WAITS)) CountWriteStripeCollision();
        SetFlag(psEntry, KE_FLAG_WRITE_WAITS);
        c.wBlockingLink = wBlockingIndex;
    }
    // 8. A write that ends on a stripe boundary has no stream to wait for.
    const uint32_t dStripe = dStripeBlocks(psEntry->bRank);
    const bool fAligned = psEntry->lRankAddress % dStripe == 0;
    if (bClass == WRITE_CLASS_NEW && (psEntry->lRankAddress + psEntry->wBlocks) % dStripe == 0u) bClass = WRITE_CLASS_PLAIN;

    // 9. Pages.
    if (fOwnStart && !HasFlag(psEntry, KE_FLAG_INTERNAL)) {
        const uint16_t wBlocks = psEntry->wBlocks;
        if (bClass == WRITE_CLASS_NEW && wBlocks <= MAX_STREAM_BUFFER_BLOCKS) {
            psEntry->bCommandType = COMMAND_TYPE_STREAM_HEAD;
            c.wStreamBlocks = wBlocks;
            psEntry->wChildrenOutstanding = 0;
            psEntry->wTotalChildren = 1;
            c.wBufferBlocks = wStreamBufferBlocks(psEntry, wBlocks, fAligned);
        } else {
            psEntry->bCommandType = CT_PLAIN_WRITE;
            c.wBufferBlocks = wBlocks;
            c.wStreamBlocks = 0;
            psEntry->wChildrenOutstanding = 0;
            psEntry->wTotalChildren = 0;
        }
        c.wJournalBlocks = wBlocks;
        const uint8_t bPages = bTakeWritePages(psEntry);
        if (bPages != STATUS_OK) {
            psEntry->bCommandType = 0;
            c.bKeptStreamClass = bDetected;
            return bPages;
        }
    } else if (fOwnStart) {
        c.wJournalBlocks = psEntry->wBlocks;
    }
    if (wLun < LUN_COUNT) s_awLunBackOff[wLun] = 0;

    // 10. The data phase.
    StartWriteDataPhase(psEntry);
    // 11. Read-ahead copies of the range are stale now.
    InvalidateReadAhead(psEntry->lInternalAddress, psEntry->wBlockCount);
    KERNEL_ENTRY* psHead = c.psStreamHead;
    if (bClass == WRITE_CLASS_CONTINUATION && psHead != nullptr) {
        InvalidateReadAhead(psHead->lInternalAddress, psHead->wBlockCount);
    }
    // 12.
    LeaveCommandQueue(psEntry);
    // 13. Later writes look here for their predecessor.
    if (!HasFlag(psEntry, KE_FLAG_INTERNAL) &&
        (psEntry->bCommandType == COMMAND_TYPE_STREAM_HEAD || psEntry->bCommandType == COMMAND_TYPE_CONTINUATION)) {
        RecordPortCommand(psEntry->bPortCode, psEntry->wIndex, lStreamEnd(psEntry));
    }
    // 14.
    if ((bClass == WRITE_CLASS_PIECE || bClass == WRITE_CLASS_CONTINUATION) && bOverlap == ORDER_WAIT && psHead != nullptr) {
        SetFlag(psHead, KE_FLAG_OVERLAPS_READ);
    }
    // 15.
    if (psEntry->bCommandType == COMMAND_TYPE_STREAM_HEAD || psEntry->bCommandType == COMMAND_TYPE_CONTINUATION ||
        psEntry->bCommandType == CT_PLAIN_WRITE) {
        if (!HasFlag(psEntry, KE_FLAG_IN_WRITE_QUEUE)) {
            InsertOutstandingWrite(psEntry);
        } else {
            UpdateOutstandingWrite(psEntry);
        }
    }
    // 16. Snapshots copy what the write overwrites first.
    if (fIsSnapshotHandOffDue(psEntry)) SnapshotWriteHandOff(psEntry);

    // 17. Write-back and mirror.
    bool fWriteBackAllowed = false;
    bool fMirror = false;
    if (!fDecided && !HasFlag(psEntry, KE_FLAG_MORE_PASSES) && psEntry->wBlocksDone == 0) {
        fWriteBackAllowed = fGetWritebackCaching() == TRUE && fIsRankWriteBackAllowed(psEntry) == TRUE;
        // With the partner there, every cached write is mirrored: the
        // array's setting for a failed partner only says whether write-back
        // stays on without one.  A cached write the partner holds no copy
        // of would be lost with this controller.
        fMirror = fWriteBackAllowed && fDual;
    }
    c.fMirrorDecision = ToFlag(fMirror);
    // 18. Pieces and continuations follow their head.
    c.wMirrorState = 0;
    if (bClass == WRITE_CLASS_PIECE && psHead != nullptr) {
        if (HasFlag(psHead, KE_FLAG_WRITE_BACK)) {
            SetFlag(psEntry, KE_FLAG_WRITE_BACK);
            if (Cache(psHead).wMirrorState != 0) c.wMirrorState = MIRROR_INHERITED;
        }
        if (fDual && HasFlag(psHead, KE_FLAG_MIRRORED)) {
            SendHostCommandMessage(PARTNER_MESSAGE_STREAM_UPDATE, psHead, ToFlag(fMirror));
        }
    } else if (bClass == WRITE_CLASS_CONTINUATION && psHead != nullptr) {
        if (fWriteBackAllowed && HasFlag(psHead, KE_FLAG_WRITE_BACK)) {
            SetFlag(psEntry, KE_FLAG_WRITE_BACK);
            if (fMirror) c.wMirrorState = MIRROR_INHERITED;
        }
        if (fDual && HasFlag(psHead, KE_FLAG_MIRRORED)) {
            SendHostCommandMessage(PARTNER_MESSAGE_STREAM_UPDATE, psHead, ToFlag(fMirror));
        }
    }
    // 19. A write that owns its buffer is cached and journalled.
    if (bClass != WRITE_CLASS_PIECE) {
        if (fWriteBackAllowed && dGetCacheWriteCount() < dGetCachedWriteLimit()) {
            SetFlag(psEntry, KE_FLAG_WRITE_BACK);
            if (fMirror) c.wMirrorState |= MIRROR_REQUESTED;
            RecordNvramQueueEntry(psEntry);
        }
        if (fDual) {
            SendHostCommandMessage(PARTNER_MESSAGE_MIRROR, psEntry, ToFlag(fMirror));
            SetFlag(psEntry, KE_FLAG_MIRRORED);
        }
    }
    // 20. Counted as cached at once when no partner copy is waited for; an
    // ISP2x00 port answers it with its data phase, unless part of its data
    // lands in a write-through head's buffer, which no journal covers.
    if (HasFlag(psEntry, KE_FLAG_WRITE_BACK) && c.wMirrorState == 0 && !HasFlag(psEntry, KE_FLAG_CACHE_COUNTED)) {
        IncCacheWriteCount();
        SetFlag(psEntry, KE_FLAG_CACHE_COUNTED);
        if (IsFibrePort(psEntry->bPortCode) && fIsQL24xx() != TRUE && !IsContinuationOfWriteThroughHead(psEntry)) {
            SetFlag(psEntry, KE_FLAG_STATUS_SENT | KE_FLAG_STATUS_WITH_DATA);
            (void)SendScsiStatus(psEntry, SCSI_STATUS_GOOD, 0, 0);
            CreditNvramJournal(psEntry);
        }
    }
    return STATUS_OK;
}

}  // namespace fw
