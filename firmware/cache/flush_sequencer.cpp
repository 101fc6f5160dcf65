// The cache flush sequencer: the start-of-day and partner-loss runs, the
// issue passes of the flush writes, their completion, and the resync of the
// interrupted writes through the RAID engine's stripe repair.
#include "cache/flush_sequencer.h"

#include <cstring>

#include "cache/cache_entry.h"
#include "cache/nvram_journal.h"
#include "cache/write_start.h"
#include "config/address_translation.h"
#include "config/bad_blocks.h"
#include "config/nvram_records.h"
#include "config/rank_table.h"
#include "dataservices/data_services.h"
#include "eventlog/event_log.h"
#include "eventlog/event_texts.h"
#include "executive/buffer_pages.h"
#include "executive/console_output.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/timers.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/host_interface.h"
#include "hw/scsi.h"
#include "partner/parity_read_data.h"
#include "partner/partner_link.h"
#include "raid/child_commands.h"
#include "raid/raid_engine.h"
#include "raid/stripe_repair.h"
#include "sas/sas_flags.h"
#include "target/command_access.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/stage_rings.h"

namespace fw {

namespace {

constexpr uint8_t EVENT_RESYNC_STARTED = 44;
constexpr uint8_t EVENT_RESYNC_COMPLETED = 45;
constexpr uint8_t EVENT_MIRRORED_FLUSH_STARTED = 53;
constexpr uint8_t EVENT_MIRRORED_FLUSH_COMPLETED = 54;
constexpr uint8_t EVENT_FAILOVER_COMPLETED = 93;
constexpr uint8_t EVENT_FLUSH_STARTED = 99;
constexpr uint8_t EVENT_FLUSH_COMPLETED = 100;
constexpr uint8_t EVENT_CACHED_DATA_LOST = 101;
constexpr uint8_t PARTNER_QUEUE_DRAINED = 255;
constexpr uint16_t MAX_FLUSH_BLOCKS = 16384;
// A flush write whose drives keep asking for it to be done again is given
// up after this many tries (each one after the RAID engine has taken failed
// members out of the way): its data is reported lost instead of the
// sequencer never finishing.
constexpr uint8_t FLUSH_WRITE_TRIES = 8;
// How long a controller starting beside its partner waits for the
// partner's first start-of-day request before it goes on without its word.
constexpr uint32_t PARTNER_START_RECORD_WAIT_MS = 30000;

// Host work held for the partner at a start together.
constexpr uint8_t PARTNER_START_NONE = 0;
constexpr uint8_t PARTNER_START_AWAIT_RECORD = 1;
constexpr uint8_t PARTNER_START_PARTNER_FLUSHING = 2;
// The partner, lost before it copied here the writes it acknowledged
// alone, holds them still: no host is served until it is back and has
// written them out.
constexpr uint8_t PARTNER_START_AWAIT_JOURNALS = 3;

// The copies a controller writing out the journals of a start together
// gives its partner first, when it outlived it: writes it acknowledged
// alone have no copy there.
constexpr uint8_t COPY_NONE = 0;
constexpr uint8_t COPY_AWAIT_PARTNER = 1;  // the partner takes no message yet
constexpr uint8_t COPY_RECORDS = 2;        // every record first,
constexpr uint8_t COPY_DATA = 3;           // then the data,
constexpr uint8_t COPY_ANSWERS = 4;        // and every answer back

struct FLUSH_SEQUENCER {
    uint8_t bState;
    uint8_t fOwnPending;
    uint8_t fPartnerPending;
    uint8_t fOwnAnnounced;
    uint8_t fPartnerAnnounced;
    uint8_t fOwnBusy;        // an issue pass ran and waits for a completion
    uint8_t fPartnerBusy;
    uint8_t fOwnIssued;      // the side's last pass issued every extent
    uint8_t fPartnerIssued;
    uint8_t fPiecewise;
    uint8_t fRequest;
    uint8_t fPause;          // a resync request is with the RAID engine
    uint16_t wResyncCount;
    uint16_t wActivityCount;
    uint8_t bPartnerNotice;  // message 109 or 110 still to be queued for the partner, else 0
    uint8_t bPartnerStart;       // PARTNER_START_*
    uint8_t fPartnerFlushEnded;  // the partner's 110 came before its record
    uint8_t fKeeping;            // the journals are kept for a partner writing them out
    uint8_t fLacksCopies;        // kept ones were outrun: until the partner's copies come, it alone holds its writes
    uint8_t fCopiesGivenNotice;  // the notice owed is 109 saying every copy was given
    uint8_t bCopy;               // COPY_*
    uint8_t fKeptRows;           // issued writes kept (a join, journals outrun at a start together) to be resynced
    uint16_t wCopyCursor;        // own slots, then partner slots
    uint16_t wCopiesUnanswered;
    uint8_t fGoOnAlone;          // single-controller mode ends the wait for the partner's journals
};
FLUSH_SEQUENCER s_sFlush;
KERNEL_ENTRY s_sPartnerStartTimerOwner;
// Where the partner files the copy of each partner slot held here: its own
// slots name the slots of its table that copies of this controller's own
// writes take, so these go where none does.
uint16_t s_awCopySlot[NVRAM_QUEUE_USED_SLOTS];

bool IsTrue(uint8_t f) { return f == TRUE; }

uint8_t bFlushPort() {
    switch (bGetHostInterfaceType()) {
    case HOST_INTERFACE_FC: return PORT_CODE_FC_HOST_1;
    case HOST_INTERFACE_SAS_TARGET: return PORT_CODE_SAS_HOST_1;
    default: return PORT_CODE_FC_TABLE_1;
    }
}

void PostLost(uint16_t wEntries, uint32_t dBlocks, uint8_t bRank) {
    PostEvent(EVENT_CACHED_DATA_LOST, static_cast<uint8_t>(wEntries), static_cast<uint8_t>(wEntries >> 8),
              static_cast<uint8_t>(dBlocks), static_cast<uint8_t>(dBlocks >> 8), static_cast<uint8_t>(dBlocks >> 16),
              static_cast<uint8_t>(dBlocks >> 24), bRank);
}

// Posted and said on the console at once: the operator is at the console
// when a start finds writes it cannot keep.
void ReportLost(uint16_t wEntries, uint32_t dBlocks, uint8_t bRank) {
    PostLost(wEntries, dBlocks, bRank);
    EVENT_LOG_ENTRY sEntry{};
    sEntry.bCode = EVENT_CACHED_DATA_LOST;
    sEntry.abArgs[0] = static_cast<uint8_t>(wEntries);
    sEntry.abArgs[1] = static_cast<uint8_t>(wEntries >> 8);
    for (uint8_t k = 0; k < 4; ++k) sEntry.abArgs[2 + k] = static_cast<uint8_t>(dBlocks >> (8 * k));
    sEntry.abArgs[6] = bRank;
    PrintEventText(&sEntry);
}

void PostStarted(uint8_t bCode, uint16_t wEntries, uint32_t dBlocks) {
    PostEvent(bCode, static_cast<uint8_t>(wEntries), static_cast<uint8_t>(wEntries >> 8), static_cast<uint8_t>(dBlocks),
              static_cast<uint8_t>(dBlocks >> 8), static_cast<uint8_t>(dBlocks >> 16), static_cast<uint8_t>(dBlocks >> 24));
}

bool IsRepairableLevel(uint8_t bLevel) {
    return bLevel == RAID_LEVEL_10 || bLevel == RAID_LEVEL_5 || bLevel == RAID_LEVEL_50 || bLevel == RAID_LEVEL_6;
}

// Whether the journal slot names something the controller can write or
// resync now: an array that still exists, an address inside a logical drive,
// a block count a write can carry, and (when it holds data) a buffer inside
// the banks.  What a restart finds in NVRAM is not trusted blindly.
bool IsWritableExtent(const NVRAM_QUEUE_EXTENT& s) {
    if (s.bRank >= bGetRankCount() || s.wBlocks == 0 || s.wBlocks > MAX_FLUSH_BLOCKS) return false;
    if (wFindSegmentForAddress(s.lFirstBlock) == 0xFFFF) return false;
    if (s.wValidBlocks == 0 || s.dHandle == NULL_BUFFER_HANDLE) return true;
    if (s.wValidBlocks > MAX_FLUSH_BLOCKS) return false;
    const uint32_t dPages = (static_cast<uint32_t>(s.wValidBlocks) - 1) / BLOCKS_PER_PAGE + 1;
    return fIsBufferRangeValid(s.dHandle, dPages * BUFFER_PAGE_SIZE) == TRUE;
}

// Slots that cannot be written are released before anything is counted;
// the data they held is reported lost.
void DiscardUnwritableSlots(uint8_t fOwn) {
    for (uint16_t n = 0; n < NVRAM_QUEUE_USED_SLOTS; ++n) {
        NVRAM_QUEUE_EXTENT s;
        if (fGetNvramQueueExtent(fOwn, n, &s) != TRUE || IsWritableExtent(s)) continue;
        if (s.wValidBlocks != 0 && s.dHandle != NULL_BUFFER_HANDLE) PostLost(0, s.wValidBlocks, s.bRank);
        DiscardNvramQueueEntry(fOwn, n);
    }
}

// A partner lost while a run went on waits for it: its mirrors are written
// out by the background pass once this run ends.
void SetRunning(uint8_t f) {
    SetRetripeFlag(f);
    if (f != TRUE && IsTrue(s_sFlush.fRequest)) SetWorkPending(TRUE);
}

// Tells the partner the flush started (109) or ended (110).  The partner
// holds its host commands from one to the other, so neither may be lost: a
// message that finds no room or no path to the partner just now is queued
// again from the background pass.  A later notice replaces an earlier one
// still owed; a partner no longer there is told nothing (it starts afresh
// when it joins).
void SendPartnerNotice() {
    if (s_sFlush.bPartnerNotice == 0) return;
    uint8_t abArguments[PARTNER_MESSAGE_ARGUMENT_BYTES] = {s_sFlush.fCopiesGivenNotice};
    if (fIsDualControllerActive() != TRUE ||
        bSendConfigRecordMessage(s_sFlush.bPartnerNotice, abArguments) == STATUS_OK) {
        s_sFlush.bPartnerNotice = 0;
        return;
    }
    SetWorkPending(TRUE);
}

void TellPartner(uint8_t bCode) {
    s_sFlush.bPartnerNotice = bCode;
    s_sFlush.fCopiesGivenNotice = FALSE;
    SendPartnerNotice();
}

// Every copy was given: the partner now holds what this controller
// acknowledged alone (109 again, byte 2 TRUE).
void TellPartnerCopiesGiven() {
    s_sFlush.bPartnerNotice = PARTNER_MESSAGE_FLUSH_PENDING;
    s_sFlush.fCopiesGivenNotice = TRUE;
    SendPartnerNotice();
}

// A run starts afresh, not yet running.
void NewRun() {
    SetRunning(FALSE);
    s_sFlush.fPause = FALSE;
    s_sFlush.bState = FLUSH_STATE_START;
    s_sFlush.fOwnPending = FALSE;
    s_sFlush.fPartnerPending = FALSE;
    s_sFlush.fOwnAnnounced = FALSE;
    s_sFlush.fPartnerAnnounced = FALSE;
    s_sFlush.fKeptRows = FALSE;
}

// ---- flush writes ---------------------------------------------------------

// Fills a host entry as the internal WRITE(16) of one extent.
void BuildFlushWrite(KERNEL_ENTRY* ps, uint8_t fOwn, uint16_t wSlot, uint8_t bPort, uint64_t lFirst,
                     uint16_t wBlocks, uint32_t dBuffer) {
    std::memset(ps, 0, offsetof(KERNEL_ENTRY, bPrimaryState));
    ResetCacheEntryFields(ps);
    std::memset(pRaidFields(ps), 0, sizeof(RAID_ENTRY_FIELDS));
    ps->bPortCode = bPort;
    ps->bPrimaryState = HOST_STATE_WRITE_READY;
    ps->bSecondaryState = fOwn == TRUE || s_sFlush.fPiecewise != TRUE ? FLUSH_WRITE_SECONDARY_STATE : 0;
    ps->bCommandType = fOwn == TRUE ? COMMAND_TYPE_FLUSH_WRITE : COMMAND_TYPE_FLUSH_WRITE_2;
    ps->fUsed = TRUE;
    ps->fValid = TRUE;
    ps->bMember = NO_MEMBER;
    uint8_t* pbCdb = pGetCommandCdb(ps);
    std::memset(pbCdb, 0, 16);
    pbCdb[0] = SCSI_WRITE16;
    const uint64_t lLunAddress = lCalculateLUNAddressFromInternalAddress(lFirst);
    PutBe64(pbCdb + 2, lLunAddress);
    PutBe32(pbCdb + 10, wBlocks);
    ps->wLunIndex = wFindSegmentForAddress(lFirst);
    ps->bSegmentIndex = bFindSegmentIndexForAddress(lFirst);
    ps->bSegmentCount = 1;
    ps->bRank = bFindRankForAddress(lFirst);
    ps->lLba = lLunAddress;
    ps->lInternalAddress = lFirst;
    ps->lRankAddress = lGetBlocksBeforeStripe(lFirst, ps->bRank);
    ps->wBlocks = wBlocks;
    ps->wBlockCount = wBlocks;
    ps->dBufferHandle = BUFFER_HANDLE{dBuffer};
    psCacheFields(ps)->wFirstPieceBlocks = wBlocks;
    ps->wJournalSlot = wSlot;
    ps->lFlags = KE_FLAG_DATA_COMPLETE;
    ps->dStartTick = dGetCoarseTick();
    ps->lArrivalMs = lGetTickCount();
    ps->bRetryCount = 0;
    ps->psMother = ps;
}

void QueueFlushWrite(KERNEL_ENTRY* ps) {
    ps->bPrimaryState = HOST_STATE_WRITE_READY;
    QueueWriteReady(ps->bPortCode, ps->wIndex);
    SetHostPortWork(ps->bPortCode, TRUE);
}

// One issue pass over a side's cached extents: TRUE when every one went
// out, 16 when one was held back behind an older overlapping extent (the
// pass runs again after a completion) or no host entry was free (it runs
// again next cycle).
uint8_t bIssuePass(uint8_t fOwn) {
    uint8_t& fBusy = fOwn == TRUE ? s_sFlush.fOwnBusy : s_sFlush.fPartnerBusy;
    const uint16_t wCount = fOwn == TRUE ? wCountCachedOwnExtents(nullptr) : wCountPartnerExtentsWithData(nullptr);
    if (wCount == 0) return TRUE;
    bool fHeldBack = false;
    uint16_t wSlot = 0;
    for (uint16_t i = 0; i < wCount; ++i, ++wSlot) {
        wSlot = fOwn == TRUE ? wFindNextCachedOwnExtent(wSlot) : wFindNextPartnerExtentWithData(wSlot);
        if (wSlot >= NVRAM_QUEUE_USED_SLOTS) break;
        uint32_t dBuffer = 0;
        uint64_t lFirst = 0;
        uint16_t wBlocks = 0;
        const uint8_t bRule = bGetFlushExtent(fOwn, wSlot, 0, &dBuffer, &lFirst, &wBlocks);
        if (bRule == FLUSH_LATER) fHeldBack = true;
        if (bRule != FLUSH_NOW) continue;
        KERNEL_ENTRY* ps = nullptr;
        uint16_t wIndex = 0;
        const uint8_t bPort = bFlushPort();
        if (bAllocTargetEntries(bPort, 1, &ps, &wIndex, FALSE) != STATUS_OK || ps == nullptr) {
            fBusy = FALSE;
            return STATUS_RETRY;
        }
        BuildFlushWrite(ps, fOwn, wSlot, bPort, lFirst, wBlocks, dBuffer);
        MarkNvramQueueEntryTaken(fOwn, wSlot);
        IncPortTotalCommands(bPort);
        QueueFlushWrite(ps);
    }
    return fHeldBack ? STATUS_RETRY : TRUE;
}

// ---- the resync -------------------------------------------------------------

// The next interrupted write goes to the RAID engine: own slots first, then
// the partner's.  Its host entry is taken before the slot is marked, so a
// cycle without a free entry leaves the slot to be found again.
void ResyncStep() {
    uint8_t fOwn = TRUE;
    uint16_t wSlot = IsTrue(s_sFlush.fOwnPending) ? wFindNextWriteToFlush() : NVRAM_QUEUE_USED_SLOTS;
    if (wSlot >= NVRAM_QUEUE_USED_SLOTS && IsTrue(s_sFlush.fPartnerPending)) {
        fOwn = FALSE;
        wSlot = wFindNextPartnerSlot();
    }
    if (wSlot >= NVRAM_QUEUE_USED_SLOTS) {
        s_sFlush.bState = FLUSH_STATE_FINISH;
        return;
    }
    KERNEL_ENTRY* ps = nullptr;
    uint16_t wIndex = 0;
    if (bAllocTargetEntries(PORT_CODE_FC_HOST_1, 1, &ps, &wIndex, FALSE) != STATUS_OK || ps == nullptr) return;
    MarkNvramQueueEntryTaken(fOwn, wSlot);
    NVRAM_QUEUE_EXTENT s{};
    const bool fValid = fGetNvramQueueExtent(fOwn, wSlot, &s) == TRUE && IsWritableExtent(s);
    if (!fValid || !IsRepairableLevel(bGetRankRaidLevel(s.bRank))) {
        // Nothing to make consistent (RAID 0, or a slot that names nothing
        // any more): the slot goes without drive I/O.
        FreeTargetEntry(ps);
        if (fOwn == TRUE) {
            ClearNvramQueueEntry(wSlot);
        } else {
            ReleasePartnerNvramQueueEntry(wSlot, TRUE);
        }
        return;
    }
    std::memset(ps, 0, offsetof(KERNEL_ENTRY, bPrimaryState));
    ResetCacheEntryFields(ps);
    std::memset(pRaidFields(ps), 0, sizeof(RAID_ENTRY_FIELDS));
    ps->bPrimaryState = PS_RESYNC_WAITING;
    ps->bSecondaryState = 0;
    ps->bPortCode = PORT_CODE_FC_HOST_1;
    ps->bCommandType = fOwn == TRUE ? CT_RESYNC_OWN : CT_RESYNC_PARTNER;
    ps->fUsed = TRUE;
    ps->fValid = TRUE;
    ps->bRank = s.bRank;
    ps->bMember = NO_MEMBER;
    ps->lFlags = 0;
    ps->lInternalAddress = s.lFirstBlock;
    ps->lRankAddress = lGetBlocksBeforeStripe(s.lFirstBlock, s.bRank);
    ps->wBlocks = s.wBlocks;
    ps->wBlockCount = s.wBlocks;
    ps->wJournalSlot = wSlot;
    ps->wChildrenOutstanding = 0;
    ps->wTotalChildren = 0;
    ps->psMother = ps;
    ++s_sFlush.wResyncCount;
    s_sFlush.fPause = TRUE;
}

// ---- copies for the partner at a start together -------------------------------

void AssignCopySlots() {
    bool afTaken[NVRAM_QUEUE_USED_SLOTS] = {};
    for (uint16_t n = 0; n < NVRAM_QUEUE_USED_SLOTS; ++n) {
        NVRAM_QUEUE_EXTENT s;
        afTaken[n] = fGetNvramQueueExtent(TRUE, n, &s) == TRUE;
    }
    uint16_t wFree = 0;
    for (uint16_t m = 0; m < NVRAM_QUEUE_USED_SLOTS; ++m) {
        s_awCopySlot[m] = NVRAM_QUEUE_USED_SLOTS;
        NVRAM_QUEUE_EXTENT s;
        if (fGetNvramQueueExtent(FALSE, m, &s) != TRUE) continue;
        uint16_t wTo = m;
        if (afTaken[wTo]) {
            while (wFree < NVRAM_QUEUE_USED_SLOTS && afTaken[wFree]) ++wFree;
            wTo = wFree;
        }
        if (wTo >= NVRAM_QUEUE_USED_SLOTS) continue;
        afTaken[wTo] = true;
        s_awCopySlot[m] = wTo;
    }
}

void BeginCopies() {
    AssignCopySlots();
    s_sFlush.bCopy = COPY_RECORDS;
    s_sFlush.wCopyCursor = 0;
    s_sFlush.wCopiesUnanswered = 0;
}

// Queues the copies the outgoing queue takes now: every record, then every
// piece of data, so that the partner knows of each write before any data
// arrives.  Without a link there is no one to copy to.
void CopyStep() {
    if (fIsDualControllerActive() != TRUE) {
        s_sFlush.bCopy = COPY_NONE;
        return;
    }
    constexpr uint16_t wEnd = 2 * NVRAM_QUEUE_USED_SLOTS;
    while (s_sFlush.bCopy == COPY_RECORDS || s_sFlush.bCopy == COPY_DATA) {
        if (s_sFlush.wCopyCursor >= wEnd) {
            s_sFlush.bCopy = s_sFlush.bCopy == COPY_RECORDS ? COPY_DATA : COPY_ANSWERS;
            s_sFlush.wCopyCursor = 0;
            continue;
        }
        const uint8_t fOwn = ToFlag(s_sFlush.wCopyCursor < NVRAM_QUEUE_USED_SLOTS);
        const uint16_t wSlot = static_cast<uint16_t>(s_sFlush.wCopyCursor % NVRAM_QUEUE_USED_SLOTS);
        NVRAM_QUEUE_EXTENT sExtent{};
        uint32_t dSequence = 0;
        const uint16_t wTo = fOwn == TRUE ? wSlot : s_awCopySlot[wSlot];
        const bool fData = s_sFlush.bCopy == COPY_DATA;
        if (wTo >= NVRAM_QUEUE_USED_SLOTS || fGetStartCopyExtent(fOwn, wSlot, &sExtent, &dSequence) != TRUE ||
            (sExtent.dHandle == NULL_BUFFER_HANDLE && (fData || fOwn != TRUE))) {
            ++s_sFlush.wCopyCursor;
            continue;
        }
        const uint8_t b = fData ? bSendStartCopyData(wTo, sExtent) : bSendStartCopyRecord(wTo, sExtent, dSequence);
        if (b == STATUS_RETRY) return;
        if (b != STATUS_OK) {
            s_sFlush.bCopy = COPY_NONE;
            return;
        }
        ++s_sFlush.wCopiesUnanswered;
        ++s_sFlush.wCopyCursor;
    }
    if (s_sFlush.bCopy == COPY_ANSWERS && s_sFlush.wCopiesUnanswered == 0) {
        s_sFlush.bCopy = COPY_NONE;
        TellPartnerCopiesGiven();
    }
}

// ---- the state machine --------------------------------------------------------

bool IsQuiet() {
    return s_sFlush.bPartnerStart != PARTNER_START_AWAIT_RECORD && s_sFlush.bCopy == COPY_NONE &&
           fGetODAStartupInProg() != TRUE && fGetSnapshotBusyFlag() != TRUE && fGetMetadataFlushInProg() != TRUE &&
           fGetSASTimedHoldFlag() != TRUE;
}

void Announce() {
    s_sFlush.fOwnBusy = FALSE;
    s_sFlush.fPartnerBusy = FALSE;
    s_sFlush.fOwnIssued = FALSE;
    s_sFlush.fPartnerIssued = FALSE;
    uint32_t dBlocks = 0;
    const uint16_t wOwn = IsTrue(s_sFlush.fOwnPending) ? wCountCachedOwnExtents(&dBlocks) : 0;
    if (wOwn != 0) {
        ClearOwnTakenMarks();
        s_sFlush.bState = FLUSH_STATE_ISSUE;
        s_sFlush.fOwnAnnounced = TRUE;
        PostStarted(EVENT_FLUSH_STARTED, wOwn, dBlocks);
        return;
    }
    const uint16_t wPartner = IsTrue(s_sFlush.fPartnerPending) ? wCountPartnerExtentsWithData(&dBlocks) : 0;
    if (wPartner != 0) {
        ClearPartnerTakenMarks();
        s_sFlush.bState = FLUSH_STATE_ISSUE;
        s_sFlush.fPartnerAnnounced = TRUE;
        s_sFlush.fOwnAnnounced = FALSE;
        PostStarted(EVENT_MIRRORED_FLUSH_STARTED, wPartner, dBlocks);
        return;
    }
    s_sFlush.bState = FLUSH_STATE_PREPARE_RESYNC;
    s_sFlush.fOwnAnnounced = FALSE;
    s_sFlush.fPartnerAnnounced = FALSE;
}

void IssueAnnounced() {
    struct SIDE {
        uint8_t fOwn;
        uint8_t* pfAnnounced;
        uint8_t* pfBusy;
        uint8_t* pfIssued;
    } const asSide[] = {{TRUE, &s_sFlush.fOwnAnnounced, &s_sFlush.fOwnBusy, &s_sFlush.fOwnIssued},
                        {FALSE, &s_sFlush.fPartnerAnnounced, &s_sFlush.fPartnerBusy, &s_sFlush.fPartnerIssued}};
    bool fAllIssued = true;
    for (const SIDE& s : asSide) {
        if (!IsTrue(*s.pfAnnounced)) continue;
        if (!IsTrue(*s.pfBusy) && !IsTrue(*s.pfIssued)) {
            *s.pfBusy = TRUE;
            if (bIssuePass(s.fOwn) == TRUE) *s.pfIssued = TRUE;
        }
        fAllIssued = fAllIssued && IsTrue(*s.pfIssued);
    }
    if (fAllIssued) s_sFlush.bState = FLUSH_STATE_WAIT_FOR_WRITES;
}

void Finish() {
    PostEvent(EVENT_RESYNC_COMPLETED);
    s_sFlush.fPause = FALSE;
    SetRunning(FALSE);
    if (IsTrue(s_sFlush.fOwnPending)) InitOwnNvramQueue();
    if (IsTrue(s_sFlush.fPartnerPending)) {
        ReleasePartnerNvramQueue();
        if (IsTrue(s_sFlush.fPiecewise)) {
            PostEvent(EVENT_FAILOVER_COMPLETED);
            s_sFlush.fPiecewise = FALSE;
        }
    }
    s_sFlush.fOwnPending = FALSE;
    s_sFlush.fPartnerPending = FALSE;
    TellPartner(PARTNER_MESSAGE_FLUSH_DONE);
    ClearOutlivedRecordOncePaired();
    RequestMetadataFlush();
}

void Abort() {
    s_sFlush.fPause = FALSE;
    SetRunning(FALSE);
    s_sFlush.fOwnPending = FALSE;
    s_sFlush.fPartnerPending = FALSE;
    s_sFlush.bState = FLUSH_STATE_FINISH;
}

// Both journals go unwritten: the partner holds what is newer, or a running
// partner's mirrors replace them.  Without its journals this controller no
// longer knows of anything the partner lacks.
void DiscardJournals() {
    DiscardNvramQueues();
    SetOutlivedPartnerRecord(FALSE);
}

// Keeps the journals, unwritten, for a partner that writes them out.
void KeepJournals() {
    s_sFlush.fKeeping = TRUE;
    KeepPartnerSlots();
}

// The rows of the writes issued here that were kept are resynced now; a
// partner there holds its host commands until the run ends (109 now, 110
// at the end).
void ResyncKeptRows() {
    s_sFlush.fKeptRows = FALSE;
    s_sFlush.fOwnPending = TRUE;
    SetRunning(TRUE);
    TellPartner(PARTNER_MESSAGE_FLUSH_PENDING);
}

// The partner's journals are on the drives: what was kept here goes, but
// for the records of writes issued here, whose rows are resynced now.
void ReleaseKept() {
    if (s_sFlush.fKeeping != TRUE) return;
    s_sFlush.fKeeping = FALSE;
    ReleaseKeptJournals();
    SetOutlivedPartnerRecord(FALSE);
    if (IsTrue(s_sFlush.fKeptRows)) ResyncKeptRows();
}

// A copy of a write that was to carry data and lacks it: the partner was
// lost before it came, and no one holds it now.  The loss is told, and a
// read of those blocks answers a medium error until a host writes them,
// rather than old data.
void ReportLostStartCopies() {
    uint16_t wEntries = 0;
    uint32_t dBlocks = 0;
    uint8_t bRank = 0;
    for (uint16_t n = 0; n < NVRAM_QUEUE_USED_SLOTS; ++n) {
        uint64_t lFirst = 0;
        uint16_t wBlocks = 0;
        if (fGetMissingStartCopyBlocks(n, &bRank, &lFirst, &wBlocks) != TRUE) continue;
        ++wEntries;
        dBlocks += wBlocks;
        (void)AddMediaErrorRange(lGetBlocksBeforeStripe(lFirst, bRank), wBlocks, bRank);
    }
    if (wEntries != 0) ReportLost(wEntries, dBlocks, bRank);
}

// The partner did not say in time what it holds, or never came up to take
// the copies: this controller goes on without it.
void PartnerStartRecordOverdue(KERNEL_ENTRY*, TIMER_NODE*) {
    if (s_sFlush.bPartnerStart == PARTNER_START_AWAIT_RECORD) EndPartnerStartHold();
    if (s_sFlush.bCopy == COPY_AWAIT_PARTNER) s_sFlush.bCopy = COPY_NONE;
}

void Step() {
    switch (s_sFlush.bState) {
    case FLUSH_STATE_START: s_sFlush.bState = FLUSH_STATE_WAIT_FOR_QUIET; return;
    case FLUSH_STATE_WAIT_FOR_QUIET:
        if (s_sFlush.bCopy != COPY_NONE && s_sFlush.bCopy != COPY_AWAIT_PARTNER) CopyStep();
        if (!IsQuiet()) return;
        if (IsTrue(s_sFlush.fPartnerPending) && wCountReplayableParityData() != 0) {
            s_sFlush.bState = FLUSH_STATE_DRAIN_PARITY_DATA;
        } else if ((IsTrue(s_sFlush.fPartnerPending) && wCountPartnerExtentsWithData(nullptr) != 0) ||
                   (IsTrue(s_sFlush.fOwnPending) && wCountCachedOwnExtents(nullptr) != 0)) {
            s_sFlush.bState = FLUSH_STATE_ANNOUNCE;
        } else {
            s_sFlush.bState = FLUSH_STATE_PREPARE_RESYNC;
        }
        return;
    case FLUSH_STATE_DRAIN_PARITY_DATA:
        if (bReplayParityReadData() == PARTNER_QUEUE_DRAINED) s_sFlush.bState = FLUSH_STATE_ANNOUNCE;
        return;
    case FLUSH_STATE_ANNOUNCE: Announce(); return;
    case FLUSH_STATE_ISSUE: IssueAnnounced(); return;
    case FLUSH_STATE_WAIT_FOR_WRITES: return;
    case FLUSH_STATE_PREPARE_RESYNC:
        s_sFlush.fOwnAnnounced = FALSE;
        s_sFlush.fPartnerAnnounced = FALSE;
        // The count's scan empties the own slots that are neither a
        // journalled write nor hold data (their extents were written out):
        // the resync walks only what is left.
        (void)wCountJournalledWrites();
        if (IsTrue(s_sFlush.fOwnPending)) ClearOwnTakenMarks();
        if (IsTrue(s_sFlush.fPartnerPending)) ClearPartnerTakenMarks();
        s_sFlush.bState = FLUSH_STATE_RESYNC;
        PostEvent(EVENT_RESYNC_STARTED);
        return;
    case FLUSH_STATE_RESYNC: ResyncStep(); return;
    case FLUSH_STATE_FINISH: Finish(); return;
    default: Abort(); return;
    }
}

// The side's pass may run again; the side is done when no slot of it holds
// data any more.
void FlushWriteSettled(uint8_t fOwn) {
    if (fOwn == TRUE) {
        s_sFlush.fOwnBusy = FALSE;
        if (s_sFlush.bState == FLUSH_STATE_WAIT_FOR_WRITES && fNvramQueueHoldsData(TRUE) != TRUE) {
            PostEvent(EVENT_FLUSH_COMPLETED);
            s_sFlush.bState = wCountPartnerExtentsWithData(nullptr) != 0 ? FLUSH_STATE_ANNOUNCE
                                                                         : FLUSH_STATE_PREPARE_RESYNC;
        }
    } else {
        s_sFlush.fPartnerBusy = FALSE;
        if (s_sFlush.bState == FLUSH_STATE_WAIT_FOR_WRITES && fNvramQueueHoldsData(FALSE) != TRUE) {
            PostEvent(EVENT_MIRRORED_FLUSH_COMPLETED);
            s_sFlush.bState = FLUSH_STATE_PREPARE_RESYNC;
        }
    }
    RequestMetadataFlush();
}

}  // namespace

void ResetCacheFlushSequencer() {
    std::memset(&s_sFlush, 0, sizeof s_sFlush);
    s_sFlush.bState = FLUSH_STATE_FINISH;
    s_sFlush.fOwnPending = FALSE;
    s_sFlush.fPartnerPending = FALSE;
    s_sFlush.fOwnAnnounced = FALSE;
    s_sFlush.fPartnerAnnounced = FALSE;
    s_sFlush.fOwnBusy = FALSE;
    s_sFlush.fPartnerBusy = FALSE;
    s_sFlush.fOwnIssued = FALSE;
    s_sFlush.fPartnerIssued = FALSE;
    s_sFlush.fPiecewise = FALSE;
    s_sFlush.fRequest = FALSE;
    s_sFlush.fPause = FALSE;
    s_sFlush.fKeptRows = FALSE;
}

void StartCacheFlushSequencer(uint8_t fFlushWanted) {
    NewRun();
    if (fFlushWanted != TRUE) {
        DiscardJournals();
        return;
    }
    DiscardUnwritableSlots(TRUE);
    DiscardUnwritableSlots(FALSE);
    const uint16_t wJournalled = wCountJournalledWrites();
    if (wJournalled == 0 && wCountCachedOwnExtents(nullptr) == 0) {
        InitOwnNvramQueue();
    } else {
        SetRunning(TRUE);
        s_sFlush.fOwnPending = TRUE;
    }
    if (wCountValidPartnerSlots() == 0 && wCountPartnerExtentsWithData(nullptr) == 0) {
        ReleasePartnerNvramQueue();
    } else {
        SetRunning(TRUE);
        s_sFlush.fPartnerPending = TRUE;
    }
    if (IsTrue(s_sFlush.fOwnPending) || IsTrue(s_sFlush.fPartnerPending)) {
        TellPartner(PARTNER_MESSAGE_FLUSH_PENDING);
    } else {
        // A partner starting beside this one waits for the end of this
        // flush before it serves hosts, and keeps its own journals until
        // then: there is none.
        TellPartner(PARTNER_MESSAGE_FLUSH_DONE);
    }
}

namespace {

// The journals' cached data and the partner's records go; the records of
// the writes this controller had issued stay, to have their rows resynced.
// TRUE when there are any.
bool KeepOnlyIssuedWrites() {
    NewRun();
    DiscardNvramQueuesKeepingIssuedWrites();
    SetOutlivedPartnerRecord(FALSE);
    return wCountJournalledWrites() != 0;
}

}  // namespace

void KeepIssuedWritesForJoin() { s_sFlush.fKeptRows = ToFlag(KeepOnlyIssuedWrites()); }

void ResyncIssuedWritesAlone() {
    // With no partner there is no one writing those rows meanwhile.
    if (KeepOnlyIssuedWrites()) ResyncKeptRows();
}

uint8_t fHasRowsToResyncBeforeJoining() { return ToFlag(IsTrue(s_sFlush.fKeptRows)); }

uint8_t fResyncRowsBeforeJoining(uint8_t fPartnerHolds) {
    if (IsTrue(s_sFlush.fKeptRows)) {
        if (fPartnerHolds != TRUE) {
            s_sFlush.fKeptRows = FALSE;
            // A partner still serving may be writing those rows: a resync
            // now could undo its parity.
            InitOwnNvramQueue();
            return FALSE;
        }
        // The run writes nothing but the rows' parity; the partner, which
        // holds its host commands for the join already, hears of it as of
        // any start-of-day flush.
        ResyncKeptRows();
    }
    return ToFlag(fGetRetripeFlag() == TRUE);
}

void KeepJournalsForPartner(uint8_t fOutrun) {
    if (fOutrun == TRUE) {
        // What the partner outran goes, but for the records of the writes
        // this controller had issued: a row it wrote alone may be half
        // written, and the partner, which ran alone after it, never heard
        // of it.  The partner holds its host commands from now (109) until
        // those rows are resynced, once its journals are on the drives.
        s_sFlush.fKeptRows = ToFlag(KeepOnlyIssuedWrites());
        if (IsTrue(s_sFlush.fKeptRows)) TellPartner(PARTNER_MESSAGE_FLUSH_PENDING);
    }
    KeepJournals();
    s_sFlush.fLacksCopies = ToFlag(fOutrun == TRUE && fDoesAnyRankKeepWriteBackAlone() == TRUE);
}

void PartnerCopiesGiven() { s_sFlush.fLacksCopies = FALSE; }

void CopyJournalsToPartnerFirst() {
    if (fWasConfigurationSavedAloneHere() == TRUE && fGetRetripeFlag() == TRUE) BeginCopies();
}

uint8_t fIsStartFlushWaitingForPartner() { return ToFlag(s_sFlush.bCopy == COPY_AWAIT_PARTNER); }

void PartnerStartedBesideThis() {
    if (s_sFlush.bCopy == COPY_AWAIT_PARTNER) BeginCopies();
}

void StartCopyAnswered(uint8_t) {
    if (s_sFlush.wCopiesUnanswered != 0) --s_sFlush.wCopiesUnanswered;
}

uint8_t fWriteOutKeptJournals() {
    if (s_sFlush.fKeeping != TRUE) return FALSE;
    if (IsTrue(s_sFlush.fLacksCopies)) {
        AwaitPartnerJournals();
        return FALSE;
    }
    s_sFlush.fKeeping = FALSE;
    StopTakingStartCopies();
    ReportLostStartCopies();
    StartCacheFlushSequencer(TRUE);
    return TRUE;
}

uint8_t fIsAwaitingPartnerJournals() { return ToFlag(s_sFlush.bPartnerStart == PARTNER_START_AWAIT_JOURNALS); }

void AwaitPartnerJournals() {
    s_sFlush.bPartnerStart = PARTNER_START_AWAIT_JOURNALS;
    ConsolePrintf("\nPartner Controller Holds Cached Writes: Host Commands Wait For It, "
                  "Or Set Single Controller Mode To Go On Without Them\n");
}

void EndPartnerJournalWait() {
    if (s_sFlush.bPartnerStart != PARTNER_START_AWAIT_JOURNALS) return;
    // Host commands stay held: the background pass goes on without the
    // partner once the configuration that says so is applied whole.
    s_sFlush.fGoOnAlone = TRUE;
    SetCacheFlushRequest(TRUE);
}

namespace {

// No partner is coming back with the writes it acknowledged alone.  What
// its copies brought is all this controller knows of them, and is treated
// as if the partner had been lost once it gave them: the data that came is
// written out, a copy whose data never came is reported lost and its
// blocks answer a medium error until a host writes them, and the rows of
// every copy and of this controller's own issued writes are made
// consistent, before any host is served.  Without a copy's data having
// come the records may not all have come either (they are given first):
// what more the partner held of the arrays that kept write-back without it
// is given up, reported lost in an amount nobody here knows.
void GoOnWithoutPartnerJournals() {
    s_sFlush.fGoOnAlone = FALSE;
    if (s_sFlush.bPartnerStart != PARTNER_START_AWAIT_JOURNALS) return;
    s_sFlush.bPartnerStart = PARTNER_START_NONE;
    const bool fAllRecords = fHasStartCopyDataCome() == TRUE;
    s_sFlush.fLacksCopies = FALSE;
    (void)fWriteOutKeptJournals();
    if (fAllRecords) return;
    // Which blocks, and how many, only the partner knew: none is claimed,
    // and hosts read those blocks' older data.
    for (uint8_t bRank = 0; bRank < bGetRankCount() && bRank < MAX_RANKS; ++bRank) {
        const uint8_t bPolicy = pGetRankRecord(bRank)->bCachePolicy;
        if ((bPolicy & POLICY_WRITE_BACK) == 0 || (bPolicy & POLICY_MIRROR) != 0) continue;
        ReportLost(0, LOST_BLOCKS_UNKNOWN, bRank);
    }
}

}  // namespace

void AwaitPartnerStartRecord() {
    s_sFlush.bPartnerStart = PARTNER_START_AWAIT_RECORD;
    s_sFlush.fPartnerFlushEnded = FALSE;
    InsertTimer(&s_sPartnerStartTimerOwner, PartnerStartRecordOverdue, PARTNER_START_RECORD_WAIT_MS);
}

void PartnerStartRecordReceived(uint8_t fPartnerOutlived) {
    if (s_sFlush.bPartnerStart != PARTNER_START_AWAIT_RECORD) return;
    if (fPartnerOutlived != TRUE) {
        // This controller writes out.  Having gone on alone after the
        // partner stopped (the drives' configuration names it), it may hold
        // writes it acknowledged alone: the partner gets a copy of each
        // first, once it takes messages.
        s_sFlush.bPartnerStart = PARTNER_START_NONE;
        if (fWasConfigurationSavedAloneHere() == TRUE && fGetRetripeFlag() == TRUE) s_sFlush.bCopy = COPY_AWAIT_PARTNER;
        return;
    }
    // The partner writes out.  Journals it outran are older than what it
    // wrote since and go; others are kept until the partner's are on the
    // drives, with the copies it gives, to be written out here should it be
    // lost first.
    const bool fToldPartner = IsTrue(s_sFlush.fOwnPending) || IsTrue(s_sFlush.fPartnerPending);
    Abort();
    KeepJournalsForPartner(fIsConfigurationNewerThanJournals());
    if (fToldPartner && !IsTrue(s_sFlush.fKeptRows)) TellPartner(PARTNER_MESSAGE_FLUSH_DONE);
    s_sFlush.bPartnerStart = IsTrue(s_sFlush.fPartnerFlushEnded) ? PARTNER_START_NONE : PARTNER_START_PARTNER_FLUSHING;
    if (IsTrue(s_sFlush.fPartnerFlushEnded)) ReleaseKept();
}

void PartnerStartFlushEnded() {
    if (s_sFlush.bPartnerStart == PARTNER_START_PARTNER_FLUSHING ||
        s_sFlush.bPartnerStart == PARTNER_START_AWAIT_JOURNALS) {
        s_sFlush.bPartnerStart = PARTNER_START_NONE;
    } else if (s_sFlush.bPartnerStart == PARTNER_START_AWAIT_RECORD) {
        s_sFlush.fPartnerFlushEnded = TRUE;
    }
    ReleaseKept();
}

void EndPartnerStartHold() {
    if (s_sFlush.bPartnerStart == PARTNER_START_AWAIT_RECORD && fIsConfigurationNewerThanJournals() == TRUE) {
        // No word came from the partner, but the drives say it went on
        // alone after these journals were written: its record would have
        // said so.  They are older than what it wrote since and must not
        // be written over it; what it holds alone is waited for.
        PartnerStartRecordReceived(TRUE);
    }
    if (s_sFlush.bPartnerStart != PARTNER_START_AWAIT_JOURNALS) s_sFlush.bPartnerStart = PARTNER_START_NONE;
}

uint8_t fIsHostWorkHeldForPartnerStart() { return ToFlag(s_sFlush.bPartnerStart != PARTNER_START_NONE); }

void ClearOutlivedRecordOncePaired() {
    if (fIsDualControllerActive() == TRUE && fGetRetripeFlag() != TRUE && fGetCacheFlushSequencerRequest() != TRUE) {
        SetOutlivedPartnerRecord(FALSE);
    }
}

void CacheFlushSequencerStep() {
    if (!IsTrue(s_sFlush.fPause)) Step();
    if (s_sFlush.wResyncCount != 0) {
        // The repair takes the request off its count when it starts it.
        StartStripeRepair();
    }
    if (s_sFlush.wActivityCount != 0) {
        s_sFlush.fPause = FALSE;
        --s_sFlush.wActivityCount;
        (void)FinishStripeRepair();
    }
}

void SetCacheFlushRequest(uint8_t f) {
    s_sFlush.fRequest = f;
    if (f == TRUE) SetWorkPending(TRUE);
}

uint8_t fGetCacheFlushSequencerRequest() { return s_sFlush.fRequest; }

uint8_t fIsFlushNoticeOwed() { return ToFlag(s_sFlush.bPartnerNotice != 0); }
void SendOwedFlushNotice() { SendPartnerNotice(); }

void CacheFlushSequencerBackgroundStep() {
    // A run under way finishes first (the background pass waits for it);
    // the partner's writes are flushed by a run of their own after it, and
    // the failover is reported only once they are on the drives.
    if (fGetRetripeFlag() == TRUE) return;
    if (IsTrue(s_sFlush.fGoOnAlone)) {
        s_sFlush.fRequest = FALSE;
        GoOnWithoutPartnerJournals();
        return;
    }
    if (s_sFlush.bPartnerStart == PARTNER_START_AWAIT_JOURNALS) {
        // The partner lost at a start together gave copies of the writes it
        // acknowledged alone, and was lost before it gave them all: they
        // wait with the rest for it to come back, or for this controller to
        // be told to go on without it.  Written out now, a copy whose data
        // had not come would be let go unreported.
        s_sFlush.fRequest = FALSE;
        return;
    }
    s_sFlush.fPause = FALSE;
    s_sFlush.bState = FLUSH_STATE_START;
    s_sFlush.fPartnerAnnounced = FALSE;
    s_sFlush.fPartnerPending = ToFlag(wCountValidPartnerSlots() != 0 || wCountReplayableParityData() != 0 ||
                                      wCountPartnerExtentsWithData(nullptr) != 0);
    if (IsTrue(s_sFlush.fPartnerPending)) {
        s_sFlush.fPiecewise = TRUE;
        SetRunning(TRUE);
    } else {
        s_sFlush.fPiecewise = FALSE;
        ReleasePartnerNvramQueue();
        if (IsTrue(s_sFlush.fRequest)) PostEvent(EVENT_FAILOVER_COMPLETED);
    }
    s_sFlush.fRequest = FALSE;
}

void CompleteFlushWrite(KERNEL_ENTRY* ps) {
    const uint8_t bPort = ps->bPortCode;
    const uint8_t fOwn = ToFlag(ps->bCommandType == COMMAND_TYPE_FLUSH_WRITE);
    TakeWriteComplete(bPort);
    // A write the RAID engine asks to do again (a member failed under it and
    // is out of the way now) goes back on the ring as it is.
    const bool fReported = HasFlag(ps, KE_FLAG_SENSE_PRESENT);
    if (HasFlag(ps, KE_FLAG_CHILD_FAILED) && !fReported && !HasFlag(ps, KE_FLAG_ABORTED) &&
        ++ps->bRetryCount < FLUSH_WRITE_TRIES) {
        ClearFlag(ps, KE_FLAG_CHILD_FAILED);
        QueueFlushWrite(ps);
        if (fOwn == TRUE) {
            s_sFlush.fOwnBusy = FALSE;
        } else {
            s_sFlush.fPartnerBusy = FALSE;
        }
        return;
    }
    const uint16_t wSlot = ps->wJournalSlot;
    const bool fFailed = fReported || HasFlag(ps, KE_FLAG_ABORTED | KE_FLAG_CHILD_FAILED);
    if (fFailed) {
        if (fRecordLostWrite(ps) != TRUE) PostLost(0, ps->wBlocks, ps->bRank);
        ClearFlag(ps, KE_FLAG_ABORTED | KE_FLAG_CHILD_FAILED | KE_FLAG_SENSE_PRESENT);
    }
    bool fMoreRuns = false;
    if (fOwn != TRUE && IsTrue(s_sFlush.fPiecewise)) {
        // The next run of the blocks that arrived goes out in the same entry.
        NVRAM_QUEUE_EXTENT s{};
        uint32_t dBuffer = 0;
        uint64_t lFirst = 0;
        uint16_t wBlocks = 0;
        const uint64_t lNext = ps->lInternalAddress + ps->wBlocks;
        if (fGetNvramQueueExtent(FALSE, wSlot, &s) == TRUE && lNext > s.lFirstBlock &&
            lNext - s.lFirstBlock < 0xFFFF &&
            bGetFlushExtent(FALSE, wSlot, static_cast<uint16_t>(lNext - s.lFirstBlock), &dBuffer, &lFirst,
                            &wBlocks) == FLUSH_NOW) {
            const uint8_t bPort2 = ps->bPortCode;
            BuildFlushWrite(ps, FALSE, wSlot, bPort2, lFirst, wBlocks, dBuffer);
            QueueFlushWrite(ps);
            fMoreRuns = true;
        }
    }
    if (fMoreRuns) return;
    // The journal's buffer goes back with the slot, not with the entry.
    ps->dBufferHandle = NULL_BUFFER_HANDLE;
    MarkFinishedWithoutStatus(ps);
    QueueCommandComplete(bPort, ps->wIndex);
    if (fOwn == TRUE) {
        ReleaseOwnNvramQueueEntry(wSlot);
    } else {
        ReleasePartnerNvramQueueData(wSlot);
    }
    FlushWriteSettled(fOwn);
}

uint8_t fRecordLostWrite(const KERNEL_ENTRY* psEntry) {
    if (AddMediaErrorRange(psEntry->lRankAddress, psEntry->wBlocks, psEntry->bRank) != BAD_BLOCKS_RECORDED) return FALSE;
    PostLost(0, psEntry->wBlocks, psEntry->bRank);
    return TRUE;
}

void IncCacheFlushActivity() { ++s_sFlush.wActivityCount; }
uint16_t wGetCacheFlushActivity() { return s_sFlush.wActivityCount; }
uint16_t wGetCacheFlushResyncCount() { return s_sFlush.wResyncCount; }

void IncCacheFlushResyncCount() { ++s_sFlush.wResyncCount; }

void DecCacheFlushResyncCount() {
    if (s_sFlush.wResyncCount != 0) --s_sFlush.wResyncCount;
}

uint8_t fGetFlushPiecewiseMode() { return s_sFlush.fPiecewise; }
void SetFlushPiecewiseMode(uint8_t f) { s_sFlush.fPiecewise = f; }
uint8_t bGetCacheFlushState() { return s_sFlush.bState; }

}  // namespace fw
