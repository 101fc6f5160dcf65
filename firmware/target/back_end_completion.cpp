// Back-end completion, the posting of drive commands with the drive write
// cache gate, internal drive commands, delayed re-issue and the re-addressing
// of drive commands after a drive loop initialisation.
#include "target/back_end_completion.h"

#include <cstring>

#include "cache/cache.h"
#include "cache/cache_entry.h"
#include "cache/nvram_journal.h"
#include "cache/read_ahead.h"
#include "config/config_db.h"
#include "config/drive_locate.h"
#include "config/rank_table.h"
#include "console/throughput_test.h"
#include "dataservices/data_services.h"
#include "enclosure/drive_format.h"
#include "enclosure/drive_management.h"
#include "eventlog/statistics.h"
#include "executive/console_output.h"
#include "executive/held_work.h"
#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "executive/tick.h"
#include "executive/timers.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "fc/fc_driver.h"
#include "fc/ql_rings.h"
#include "hw/addresses.h"
#include "hw/scsi.h"
#include "partner/parity_read_data.h"
#include "partner/partner_link.h"
#include "raid/child_commands.h"
#include "raid/drive_error_recovery.h"
#include "raid/dual_parity.h"
#include "raid/raid_engine.h"
#include "sas/active_active.h"
#include "sas/marvell_sata.h"
#include "sas/mpi_interface.h"
#include "sas/sas_device_list.h"
#include "sas/sas_drive.h"
#include "sas/sas_scsi_path.h"
#include "sas/write_collapse.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/stage_rings.h"

namespace fw {

namespace {

constexpr uint8_t PS_HOST_PARITY_CHECK_READS = 65;
constexpr uint8_t PS_HOST_PARITY_CHECK_WRITES = 71;
constexpr uint8_t PS_HOST_PARITY_CHECK_READS_DONE = 66;   // 'B'
constexpr uint8_t PS_HOST_PARITY_CHECK_WRITES_DONE = 72;  // 'H'
constexpr uint8_t PS_STRIPE_INIT_ON_DEMAND = 75;          // 'K'
constexpr uint8_t PS_STRIPE_INIT_REPAIR = 76;             // 'L'
constexpr uint8_t PS_STRIPE_INIT_STEP_OUT = 93;
constexpr uint8_t PS_STRIPE_INIT_STEP_DONE = 94;          // '^'
constexpr uint8_t PS_NO_PATH = 0x5B;                      // '[': handed to the host chip service
constexpr uint8_t PS_REGION_DONE_WAITS = 159;
constexpr uint8_t MEMBER_ON_PATH_3 = 1;
constexpr uint8_t MEMBER_ON_PATH_4 = 2;
constexpr uint8_t NO_RANK_SPARE = 245;
constexpr uint8_t NO_RANK = 255;
constexpr uint32_t MEMBER_COMMAND_ATTEMPTS = 3;

// The mother states that count their children down and then wait on wait
// list B: (state, state at zero or on a failure).
struct WAIT_LIST_STATE {
    uint8_t bState;
    uint8_t bNext;
    bool fAtOnce;     // the mother moves on with the first child, failed or not
};
constexpr WAIT_LIST_STATE s_asWaitListStates[] = {
    {81, 82, true}, {87, 89, true}, {83, 84, false}, {88, 90, false}, {163, 164, false}, {167, 171, false},
};

uint16_t s_wDelayedPending;
uint8_t s_fGateHolding = FALSE;
uint64_t s_lGateSince;
uint8_t s_abTargetHeld[256];
// A pass that sent nothing: every entry waited for a held or full target.
HELD_WORK s_sHeldPass;

// Drive commands go back on their kernel queue; the ring step drops the
// total count again when the entry leaves the completion ring.
void Requeue(KERNEL_ENTRY* ps) {
    ps->bPrimaryState = PS_NEW_COMMAND;
    (void)QueueKernelEntry(ps->bPortCode, ps->wIndex);
}

// ---- host commands whose children are all in ----

void ReleaseJournalSlot(KERNEL_ENTRY* psHost) {
    if (!HasFlag(psHost, KE_FLAG_JOURNALED)) return;
    ClearNvramQueueEntry(psHost->wJournalSlot);
    ClearFlag(psHost, KE_FLAG_JOURNALED);
}

bool RecheckExpansionWindow(KERNEL_ENTRY* psHost) {
    if (!HasFlag(psHost, KE_FLAG_OLD_LAYOUT)) return false;
    const bool fPassed = bCheckExpansionWindow(lGetMappedAddress(psHost), psHost, wGetMappedBlocks(psHost)) != TRUE;
    LeaveOldLayout(psHost);
    if (!fPassed) return false;
    // The restripe has passed the command: it is done again on the new layout.
    SetFlag(psHost, KE_FLAG_CHILD_FAILED);
    return true;
}

void HostReadComplete(KERNEL_ENTRY* psHost) {
    switch (psHost->bCommandType) {
    case CT_EXPANSION: ExpansionTransferDone(psHost); return;
    case CT_READ_AHEAD_PREFETCH: CompleteReadAheadPrefetch(psHost); return;
    case CT_DATA_SERVICES_READ:
        ReleaseJournalSlot(psHost);
        DataServicesCommandDone(psHost, 3);
        return;
    default: break;
    }
    SetHostPortWork(PORT_CODE_FC_HOST_1, TRUE);
    SetHostPortWork(PORT_CODE_FC_HOST_2, TRUE);
    (void)RecheckExpansionWindow(psHost);
    psHost->bPrimaryState = HOST_STATE_DATA_AVAILABLE;
    QueueDataAvailable(psHost->bPortCode, psHost->wIndex);
}

// A write whose data another write carried waits for that one to finish.
bool ParkBehindCollapsingWrite(KERNEL_ENTRY* psHost) {
    const uint16_t wLink = psCacheFields(psHost)->wCollapseLink;
    if (wLink == NO_ENTRY_LINK) return false;
    KERNEL_ENTRY* psOther = nullptr;
    wGetTargetEntry(wLink, &psOther);
    if (psOther == nullptr || psOther->fUsed != TRUE || psCacheFields(psOther)->wCollapseLink != psHost->wIndex) {
        return false;
    }
    const uint8_t bState = psOther->bPrimaryState;
    if (bState == HOST_STATE_STATUS || bState == HOST_STATE_COMPLETE || bState == HOST_STATE_WRITE_COMPLETE) {
        return false;
    }
    psHost->bPrimaryState = HOST_STATE_COLLAPSED_WAIT;
    SetFlag(psOther, KE_FLAG_COLLAPSE_WAITER);
    return true;
}

// The pieces of a stream whose head is written go on to their status.
void ReleaseStreamPieces(KERNEL_ENTRY* psHead) {
    const CACHE_ENTRY_FIELDS* psHeadCache = psCacheFields(psHead);
    uint32_t dLeft = psHeadCache->wPiecesIssued > psHeadCache->wStatusesSent
                         ? static_cast<uint32_t>(psHeadCache->wPiecesIssued - psHeadCache->wStatusesSent)
                         : 0;
    KERNEL_ENTRY* ps = psHead;
    for (uint32_t i = 0; i < HOST_ENTRY_COUNT && dLeft != 0; ++i) {
        NextTargetEntry(ps, &ps);
        if (ps == nullptr) break;
        if (ps->fUsed != TRUE || ps->bPrimaryState != HOST_STATE_STREAM_WAIT || ps->bPortCode != psHead->bPortCode ||
            (ps->bCommandType != COMMAND_TYPE_STREAM_PIECE && ps->bCommandType != COMMAND_TYPE_CLOSING_PIECE) ||
            psCacheFields(ps)->psStreamHead != psHead || ps->alSequence[0] <= psHead->alSequence[0]) {
            continue;
        }
        ps->bPrimaryState = HOST_STATE_WRITE_COMPLETE;
        QueueWriteComplete(ps->bPortCode, ps->wIndex);
        --dLeft;
    }
}

void HostWriteComplete(KERNEL_ENTRY* psHost) {
    // The row buffers a full-row write took go back first, the
    // expansion's own rows included.
    if (HasFlag(psHost, KE_FLAG_RAID5_ROW_BUFFER)) {
        SetReservedWriteBufferBusy(FALSE);
        ClearFlag(psHost, KE_FLAG_RAID5_ROW_BUFFER);
    }
    if (HasFlag(psHost, KE_FLAG_RAID6_ROW_REGION)) {
        SetRaid6ReserveInUse(FALSE);
        ClearFlag(psHost, KE_FLAG_RAID6_ROW_REGION);
    }
    if (psHost->bCommandType == CT_EXPANSION) {
        ExpansionTransferDone(psHost);
        return;
    }
    SetHostPortWork(PORT_CODE_FC_HOST_1, TRUE);
    SetHostPortWork(PORT_CODE_FC_HOST_2, TRUE);
    // The rebuild held back from the rows of a write ahead of its front
    // while the write was out; it may go on now.
    if (HasFlag(psHost, KE_FLAG_AHEAD_OF_REBUILD)) ReleaseWriteAheadOfRebuild(psHost);
    (void)RecheckExpansionWindow(psHost);
    // A write of the controller's own (the zero-write job) goes back to its
    // issuer, which takes it from here.
    if (psHost->pCallbackTop != nullptr) {
        ReleaseJournalSlot(psHost);
        if (COMPLETION_CALLBACK pfn = pPopCompletionCallback(psHost)) pfn(psHost);
        return;
    }
    if (psHost->bCommandType == CT_ZERO_WRITE) {
        ReleaseJournalSlot(psHost);
        DataServicesCommandDone(psHost, HasFlag(psHost, KE_FLAG_CHILD_FAILED) ? 12 : 4);
    }
    if (HasFlag(psHost, KE_FLAG_STATUS_SENT) && !HasFlag(psHost, KE_FLAG_CHILD_FAILED)) {
        ClearFlag(psHost, KE_FLAG_WRITE_BACK);
        ReleaseCacheWriteCount(psHost);
        MarkFinishedWithoutStatus(psHost);
        QueueCommandComplete(psHost->bPortCode, psHost->wIndex);
        return;
    }
    if (HasFlag(psHost, KE_FLAG_MORE_PASSES)) {
        psHost->bPrimaryState = HOST_STATE_COMPLETE;
        QueueCommandComplete(psHost->bPortCode, psHost->wIndex);
        return;
    }
    if (ParkBehindCollapsingWrite(psHost)) return;
    if (psHost->bCommandType == COMMAND_TYPE_STREAM_HEAD &&
        !HasFlag(psHost, KE_FLAG_CHILD_FAILED | KE_FLAG_STATUS_SENT)) {
        ReleaseStreamPieces(psHost);
    }
    psHost->bPrimaryState = HOST_STATE_WRITE_COMPLETE;
    QueueWriteComplete(psHost->bPortCode, psHost->wIndex);
}

// ---- the mother's state decides (children of no RAID group) ----

void CountDownByMotherState(KERNEL_ENTRY* psChild, KERNEL_ENTRY* psMother, bool fFailed) {
    const uint8_t bState = psMother->bPrimaryState;
    if (bState == HOST_STATE_READ_ISSUED || bState == HOST_STATE_WRITE_ISSUED ||
        bState == HOST_STATE_CHILDREN_WAIT) {
        if (fFailed) MarkHostCommandFailed(psMother, psChild);
        CountDownHostCommand(psMother);
        return;
    }
    for (const WAIT_LIST_STATE& s : s_asWaitListStates) {
        if (s.bState != bState) continue;
        if (fFailed) SetFlag(psMother, KE_FLAG_CHILD_FAILED);
        if (!s.fAtOnce && fCountDownGroup(psMother) != TRUE) return;
        psMother->bPrimaryState = s.bNext;
        QueueWaitListB(psMother);
        return;
    }
    switch (bState) {
    case PS_REGION_DONE_WAITS:
        if (fFailed) SetFlag(psMother, KE_FLAG_REGENERATE);
        if (fCountDownGroup(psMother) != TRUE) return;
        switch (bGetRankRaidLevel(psMother->bRank)) {
        case RAID_LEVEL_10: psMother->bPrimaryState = 82; break;
        case RAID_LEVEL_5:
        case RAID_LEVEL_50: psMother->bPrimaryState = 84; break;
        case RAID_LEVEL_6: psMother->bPrimaryState = 164; break;
        default: break;
        }
        QueueWaitListB(psMother);
        return;
    case PS_STRIPE_INIT_ON_DEMAND:
    case PS_STRIPE_INIT_REPAIR:
    case PS_STRIPE_INIT_STEP_OUT:
        if (fFailed) SetFlag(psMother, KE_FLAG_CHILD_FAILED);
        if (fCountDownGroup(psMother) != TRUE) return;
        if (bState == PS_STRIPE_INIT_STEP_OUT) {
            psMother->bPrimaryState = PS_STRIPE_INIT_STEP_DONE;
            StripeInitStepDone(psMother);
        } else if (bState == PS_STRIPE_INIT_ON_DEMAND) {
            StripeInitOnDemandStep(psMother);
        } else {
            StripeInitRepairStep(psMother);
        }
        return;
    case PS_HOST_PARITY_CHECK_READS:
    case PS_HOST_PARITY_CHECK_WRITES:
        // The check decides what a failed row gets: read again, regenerated
        // from the member named here, or written again.
        if (fFailed) {
            SetFlag(psMother, KE_FLAG_CHILD_FAILED);
            psMother->bMember = psChild->bMember;
            if (HasFlag(psChild, KE_FLAG_REGENERATE)) SetFlag(psMother, KE_FLAG_REGENERATE);
        }
        if (fCountDownGroup(psMother) != TRUE) return;
        psMother->bPrimaryState = psChild->bCommandType == CT_PARITY_CHECK_READ ? PS_HOST_PARITY_CHECK_READS_DONE
                                                                                : PS_HOST_PARITY_CHECK_WRITES_DONE;
        return;
    default: break;
    }
}

// Internal drive commands (their own mother): by their command type.
// TRUE: free the entry.
uint8_t fInternalCommandDone(KERNEL_ENTRY* ps) {
    switch (ps->bCommandType) {
    case CT_WRITE_CACHE_SYNC:
        return fIwcqFlushCompleted(ps);
    case COMMAND_TYPE_DRIVE_LOCATE:
        return ContinueDriveLocate(ps);
    case COMMAND_TYPE_PARITY_REPLAY:
        ParityReplayWriteDone(ps);
        return TRUE;
    case CT_THROUGHPUT_TEST:
        return ps->bSecondaryState == THROUGHPUT_STATE_READ ? ReadTestDriveStep(ps) : WriteTestDriveStep(ps);
    case CT_DIAGNOSTIC:
        DiagnosticCommandCompleteHandler(ps);
        return TRUE;
    case CT_LONG_BLOCK_DIAGNOSTIC:
        switch (ps->bSecondaryState) {
        case 186:
            SetChildOpcode(ps, SCSI_WRITE_LONG10);
            ps->wControlFlags = 72;
            if (ps->wSegmentCount != 0) std::memset(pbAtAddress(ps->asSegment[0].dAddress) + 512, 'i', 100);
            ps->bSecondaryState = 187;
            Requeue(ps);
            return FALSE;
        case 188: {
            uint16_t& wRepeat = pRaidFields(ps)->wRunBlocks;
            if (wRepeat < 2) {
                wRepeat = 0;
                ps->bSecondaryState = 187;
            } else {
                --wRepeat;
            }
            const uint32_t dLba = dGetBe32(ps->abCdb + 2) + 1;
            PutBe32(ps->abCdb + 2, dLba);
            ConsolePrintf("Corrupt LBA is %08x \n", dLba);
            Requeue(ps);
            return FALSE;
        }
        case 187:
        case 189: return TRUE;
        default: return FALSE;
        }
    case 1: case 2: case 3: case 4: case 5: case 6: case 8: case 46: case 47: case 82: case 84: case 85: case 209:
        // Start-of-day drive commands: the configuration phase goes on.
        SetConfigWriteWaitFlag(FALSE);
        RequestStartOfDayService();
        return TRUE;
    default:
        return TRUE;
    }
}

// The handler of a child by its command type; TRUE frees it.
uint8_t fDispatchChild(KERNEL_ENTRY* psChild, bool fFailed) {
    const uint8_t bType = psChild->bCommandType;
    if ((bType >= 160 && bType <= 171) || (bType >= 22 && bType <= 27)) return fRaid5ChildComplete(psChild);
    if (bType >= 213 && bType <= 244 && bType != CT_R6_READ) return fRaid6ChildComplete(psChild);
    switch (bType) {
    case CT_MIRROR_REPAIR_READ:
        if (!fFailed) {
            IssueMirrorRepairWrite(psChild);
            return FALSE;
        }
        return fStripeRepairChildComplete(psChild);
    case 38: case 39: case CT_MIRROR_REPAIR_WRITE: case 248: case 249: case 250:
        return fStripeRepairChildComplete(psChild);
    case CT_VERIFY_RANGE:
        DriveVerifyCommandCompleteHandler(psChild);
        return FALSE;
    case CT_VERIFY_BLOCK:
        fDriveVerifyBlockCommandCompleteHandler(psChild);
        return FALSE;
    case CT_VERIFY_REASSIGN:
        DriveVerifyRepairCompleteHandler(psChild);
        return FALSE;
    case CT_VERIFY_REPAIR_WRITE: case CT_VERIFY_MIRROR_READ: case CT_VERIFY_PARITY_READ: case CT_VERIFY_R6_READ:
    case CT_VERIFY_R6_WRITE:
        DriveRepairCommandCompleteHandler(psChild);
        return FALSE;
    case COMMAND_TYPE_PARTNER_MESSAGE:
        return fPartnerCommandComplete(psChild);
    default: break;
    }
    KERNEL_ENTRY* psMother = psChild->psMother;
    if (psMother == nullptr || psMother == psChild) return fInternalCommandDone(psChild);
    // A drive format's children go on to their drive's next command.
    if (psMother->bPrimaryState == PS_DRIVE_FORMAT) return fDriveFormatChildDone(psChild, ToFlag(fFailed));
    CountDownByMotherState(psChild, psMother, fFailed);
    return TRUE;
}

// ---- the drive write cache gate ----

uint8_t bTargetOf(const KERNEL_ENTRY* ps) { return static_cast<uint8_t>(ps->wTargetId); }

}  // namespace

// ---------------------------------------------------------------------------

void InitBackEndCompletion() {
    s_wDelayedPending = 0;
    s_fGateHolding = FALSE;
    s_lGateSince = 0;
    std::memset(s_abTargetHeld, 0, sizeof s_abTargetHeld);
    ClearWorkHeld(&s_sHeldPass);
    InitIwcq();
}

uint8_t fChildEndedInError(KERNEL_ENTRY* psChild) {
    const SAS_ENTRY_FIELDS* psDrive = psSasFields(psChild);
    if (psDrive->bScsiStatus != SCSI_STATUS_GOOD || HasFlag(psChild, KE_FLAG_SENSE_PRESENT)) {
        SetFlag(psChild, KE_FLAG_ABORTED);
    }
    return ToFlag(HasFlag(psChild, KE_FLAG_ABORTED));
}

void MarkHostCommandFailed(KERNEL_ENTRY* psHost, const KERNEL_ENTRY* psChild) {
    SetFlag(psHost, KE_FLAG_CHILD_FAILED);
    // Its member is out of the array now: the command is done again
    // without it, and the host hears nothing of the drive.
    if (HasFlag(psChild, KE_FLAG_REDO_WITHOUT_MEMBER)) return;
    if (HasFlag(psHost, KE_FLAG_SENSE_PRESENT)) return;
    const SAS_ENTRY_FIELDS* psDrive = psSasFields(const_cast<KERNEL_ENTRY*>(psChild));
    HOST_COMMAND_FIELDS* psFields = pHostFields(psHost);
    if (HasFlag(psChild, KE_FLAG_SENSE_PRESENT) && psDrive->bSenseKey != SENSE_NO_SENSE) {
        psFields->bSenseKey = psDrive->bSenseKey;
        psFields->bAsc = psDrive->bAsc;
        psFields->bAscq = psDrive->bAscq;
        std::memcpy(psFields->abSenseSpecific, psDrive->abSense + 15, 3);
    } else {
        // A failure the drive gave no sense for.
        psFields->bSenseKey = SENSE_ABORTED_COMMAND;
        psFields->bAsc = ASC_SCSI_PARITY_ERROR;
        psFields->bAscq = 0;
        std::memset(psFields->abSenseSpecific, 0, 3);
    }
    SetFlag(psHost, KE_FLAG_SENSE_PRESENT);
}

void MarkHostCommandFailedWithSense(KERNEL_ENTRY* psHost, uint8_t bKey, uint8_t bAsc, uint8_t bAscq) {
    SetFlag(psHost, KE_FLAG_CHILD_FAILED);
    if (HasFlag(psHost, KE_FLAG_SENSE_PRESENT)) return;
    HOST_COMMAND_FIELDS* psFields = pHostFields(psHost);
    psFields->bSenseKey = bKey;
    psFields->bAsc = bAsc;
    psFields->bAscq = bAscq;
    std::memset(psFields->abSenseSpecific, 0, 3);
    SetFlag(psHost, KE_FLAG_SENSE_PRESENT);
}

void FailHostCommand(KERNEL_ENTRY* psHost, uint8_t bKey, uint8_t bAsc, uint8_t bAscq) {
    MarkHostCommandFailedWithSense(psHost, bKey, bAsc, bAscq);
    psHost->psMother = psHost;
    psHost->wChildrenOutstanding = 0;
    psHost->wTotalChildren = 0;
    HostCommandChildrenDone(psHost);
}

void CountDownHostCommand(KERNEL_ENTRY* psHost) {
    if (psHost->wChildrenOutstanding == 0) return;
    if (--psHost->wChildrenOutstanding != 0) return;
    HostCommandChildrenDone(psHost);
}

void HostCommandChildrenDone(KERNEL_ENTRY* psHost) {
    switch (psHost->bPrimaryState) {
    case HOST_STATE_READ_ISSUED: HostReadComplete(psHost); return;
    case HOST_STATE_WRITE_ISSUED: HostWriteComplete(psHost); return;
    case HOST_STATE_CHILDREN_WAIT:
        MarkFinishedWithoutStatus(psHost);
        QueueCommandComplete(psHost->bPortCode, psHost->wIndex);
        return;
    default:
        // A command mapped before its stage marked it issued: by its
        // opcode.
        if (bFoldedOpcode(psHost) == SCSI_READ10) {
            HostReadComplete(psHost);
        } else {
            HostWriteComplete(psHost);
        }
        return;
    }
}

uint8_t fCountDownGroup(KERNEL_ENTRY* psHead) {
    if (psHead->wChildrenOutstanding != 0) --psHead->wChildrenOutstanding;
    return ToFlag(psHead->wChildrenOutstanding == 0);
}

void ReleaseHeldChain(KERNEL_ENTRY* psHead, uint8_t fFailed) {
    if (!HasFlag(psHead, KE_FLAG_GROUP_CHAINED)) return;
    ClearFlag(psHead, KE_FLAG_GROUP_CHAINED);
    KERNEL_ENTRY* psNext = pRaidFields(psHead)->psChainNext;
    pRaidFields(psHead)->psChainNext = nullptr;
    if (psNext != nullptr) ReleaseHeldGroup(psNext, fFailed);
}

uint8_t ProcessBackEndCompletion(uint8_t bQueueId) {
    KERNEL_ENTRY* ps = nullptr;
    const bool fFound = bPeekCompletedEntry(bQueueId, &ps) == STATUS_FOUND && ps != nullptr &&
                        ps->bPrimaryState == PS_COMPLETED && ps->fUsed == TRUE;
    auto takeOff = [bQueueId] {
        KernelPoolLock sLock;
        DecrementTotalCommands(bQueueId);
        DequeueCompletedEntry(bQueueId);
    };
    if (!fFound) {
        takeOff();
        return STATUS_OK;
    }
    // The drive's port, asked for when the path to it failed under this
    // command, goes back now that the command is done with it.
    if (HasFlag(ps, KE_FLAG_PATH_FAILOVER)) {
        ClearFlag(ps, KE_FLAG_PATH_FAILOVER);
        if (ps->wTargetId < SAS_PROXY_TARGET_BIT) ReleaseSASTarget(static_cast<uint8_t>(ps->wTargetId));
    }
    // A single drive command with a completion of its own (the start of
    // day's).  A command with children hears from its children's handlers
    // once they are all in, never from the first of them.
    KERNEL_ENTRY* psMother = ps->psMother;
    if (psMother == ps && psMother->pCallbackTop != nullptr && fIsKernelEntryAddress(psMother) == TRUE) {
        AddDiskPortBlocks(bQueueId, ps);
        takeOff();
        if (COMPLETION_CALLBACK pfn = pPopCompletionCallback(psMother)) pfn(psMother);
        return STATUS_OK;
    }
    // The parity check regenerates a row it could not read itself, under
    // the hold it already has on the row.
    if (HasFlag(ps, KE_FLAG_REGENERATE) && !HasFlag(ps, KE_FLAG_READ_REPAIR) &&
        ps->bCommandType != CT_PARITY_CHECK_READ && bStartReadErrorRepair(ps) != STATUS_OK) {
        // Not yet: the child comes round again.
        takeOff();
        IncrementTotalCommands(bQueueId);
        (void)QueueKernelEntryComplete(bQueueId, ps->wIndex);
        return STATUS_RETRY;
    }
    AddDiskPortBlocks(bQueueId, ps);
    const bool fFailed = fChildEndedInError(ps) == TRUE;
    // A member that went silent is read again once its drive answers.
    if (!fFailed && fIsHostIoChildType(ps->bCommandType) == TRUE) NoteMemberAnswered(ps->bRank, ps->bMember);
    const uint8_t fFree = fDispatchChild(ps, fFailed);
    if (fFree == TRUE && ps->fUsed == TRUE && !HasFlag(ps, KE_FLAG_CHILD_FAILED)) FreeChild(ps);
    takeOff();
    return STATUS_OK;
}

// ---------------------------------------------------------------------------
// Posting
// ---------------------------------------------------------------------------

namespace {

// A Fibre Channel drive loop takes the entry's head as its command entry
// (with the continuation entries that follow it in the pool): its handle
// names the entry, and a fresh tag tells its completion from a stale one.
// A loop whose chip is gone ends the command in error.
void PostToDriveLoop(uint8_t bQueueId, KERNEL_ENTRY* ps) {
    ps->dHandle = dAddressWord(ps);
    ps->bMark = bNextIocbTag();
    const uint16_t wEntries = ps->bCount == 0 ? 1 : ps->bCount;
    if (bPostRequestQueueEntries(bQueueId, wEntries, ps) == STATUS_OK) return;
    ps->lFlags |= KE_FLAG_ABORTED;
    ps->bPrimaryState = PS_COMPLETED;
    (void)QueueKernelEntryComplete(bQueueId, ps->wIndex);
}

}  // namespace

uint8_t PostKernelQueueEntries(uint8_t bQueueId) {
    const bool fSas = bQueueId == PORT_CODE_INITIATOR;
    // The background pass's IOC service sends from the same ring, also
    // while this one holds back: it is asked for whenever it has something
    // new to look at, which only a push onto a ring brings once it has
    // found its head waiting.
    if (fSas && fIsDriveIocServiceRequested(LSI_IOC_DRIVE) == TRUE) SetWorkPending(TRUE);
    if (fSas && s_fGateHolding == TRUE && lGetTickCount() - s_lGateSince < WRITE_CACHE_GATE_HOLD_MS) {
        return POST_GATE_HOLDS;
    }
    // After a pass that sent nothing, the entries are walked again once
    // something has come or gone on the rings (an answer frees a place in a
    // drive's queue, a new command), or a while later for holds that end
    // by themselves.  Walking them at every turn of the main loop would
    // keep it from ever waiting for the drives: a dead drive's full queue
    // then held everything for as long as its commands took to time out.
    if (fSas && fIsWorkStillHeld(&s_sHeldPass) == TRUE) return POST_GATE_HOLDS;
    ClearWorkHeld(&s_sHeldPass);
    std::memset(s_abTargetHeld, 0, sizeof s_abTargetHeld);
    uint8_t bAnswer = STATUS_OK;
    bool fSent = false;
    for (uint16_t wLeft = wGetNewCommandCount(bQueueId); wLeft > 0; --wLeft) {
        KERNEL_ENTRY* ps = nullptr;
        if (bPeekKernelEntry(bQueueId, &ps) != STATUS_FOUND || ps == nullptr) break;
        if (HasFlag(ps, KE_FLAG_ABORTED)) {
            DequeueKernelEntry(bQueueId);
            ps->bPrimaryState = PS_COMPLETED;
            (void)QueueKernelEntryComplete(bQueueId, ps->wIndex);
            fSent = true;
            continue;
        }
        const uint8_t bTarget = bTargetOf(ps);
        if (ps->abCdb[0] != SCSI_SYNCHRONIZE_CACHE10 && s_abTargetHeld[bTarget]) {
            DequeueKernelEntry(bQueueId);
            (void)QueueKernelEntry(bQueueId, ps->wIndex);
            DecrementTotalCommands(bQueueId);
            continue;
        }
        ps->bPrimaryState = PS_AT_CHIP;
        ps->dStartTick = static_cast<uint32_t>(lGetTickCount());
        // A direct SATA port's command goes to its host adapter's queue;
        // one it can never carry ends in error.
        if (fSas && fIsDriveSlotPath(ps->bPortCode) && fIsMarvellSataStarted() == TRUE) {
            const uint8_t bQueued = bMarvellQueueCommand(ps);
            if (bQueued == STATUS_RETRY) {
                ps->bPrimaryState = PS_NEW_COMMAND;
                bAnswer = STATUS_RETRY;
                break;
            }
            DequeueKernelEntry(bQueueId);
            fSent = true;
            if (bQueued != STATUS_OK) {
                ps->lFlags |= KE_FLAG_ABORTED;
                ps->bPrimaryState = PS_COMPLETED;
                (void)QueueKernelEntryComplete(bQueueId, ps->wIndex);
            }
            continue;
        }
        if (!fSas) {
            DequeueKernelEntry(bQueueId);
            PostToDriveLoop(bQueueId, ps);
            fSent = true;
            continue;
        }
        if ((fGetSasDriveWork() == TRUE || fGetSasDiscoveryWork() == TRUE) &&
            fIsDriveFirmwareDownloadInProgress() != TRUE) {
            ps->bPrimaryState = PS_NEW_COMMAND;
            bAnswer = STATUS_RETRY;
            break;
        }
        const bool fGated = fIsIwcqTarget(bTarget) == TRUE;
        uint8_t bSend = fGated && bIwcqCheckCommand(ps) != TRUE ? SEND_TARGET_BUSY : SendSCSICommand(ps);
        if (bSend == SEND_IOC_BUSY) {
            ps->bPrimaryState = PS_NEW_COMMAND;
            bAnswer = STATUS_RETRY;
            break;
        }
        DequeueKernelEntry(bQueueId);
        if (bSend == SEND_TARGET_BUSY) {
            s_abTargetHeld[bTarget] = 1;
            ps->bPrimaryState = PS_NEW_COMMAND;
            (void)QueueKernelEntry(bQueueId, ps->wIndex);
            DecrementTotalCommands(bQueueId);
            bAnswer = POST_GATE_HOLDS;
            continue;
        }
        if (fGated) IwcqCommandSent(ps);
        fSent = true;
    }
    if (fSas && bAnswer == POST_GATE_HOLDS && !fSent) NoteWorkHeld(&s_sHeldPass);
    if (bAnswer == POST_GATE_HOLDS) {
        if (s_fGateHolding != TRUE) s_lGateSince = lGetTickCount();
        s_fGateHolding = TRUE;
    } else {
        s_fGateHolding = FALSE;
        s_lGateSince = 0;
    }
    return bAnswer;
}

// ---------------------------------------------------------------------------
// The drive write cache gate
// ---------------------------------------------------------------------------

uint8_t fIsIwcqTarget(uint8_t bTarget) {
    return ToFlag(fGetSATAWriteCachePolicy() == TRUE && fIsSATATarget(bTarget) == TRUE);
}

void IwcqCommandSent(KERNEL_ENTRY* ps) { IwcqRecordPosted(ps); }

void IwcqAbortTarget(uint8_t bTarget) {
    IWCQ_TARGET* q = psGetIwcq(bTarget);
    if (q->wEntries == 0 && q->wSyncEntry == IWCQ_EMPTY) return;
    q->dFlags |= IWCQ_ABORTED;
    if (q->wSyncEntry != IWCQ_EMPTY) {
        KERNEL_ENTRY* ps = nullptr;
        GetKernelEntryAddress(q->wSyncEntry, &ps);
        if (ps != nullptr) SetFlag(ps, KE_FLAG_ABORTED);
    }
    q->dFlags = (q->dFlags & ~IWCQ_SYNC_IN_FLIGHT) | IWCQ_SYNCHRONISED;
}

uint8_t bIwcqCheckCommand(KERNEL_ENTRY* ps) {
    IWCQ_TARGET* q = psGetIwcq(bTargetOf(ps));
    if (HasFlag(ps, KE_FLAG_ABORTED)) return FALSE;
    const uint64_t lNow = lGetTickCount();
    const bool fWindowOpen = q->lLastWriteTime + IWCQ_WINDOW_MS > lNow;
    const uint8_t bOp = ps->abCdb[0];
    if (bOp == SCSI_SYNCHRONIZE_CACHE10) {
        if (q->dFlags & IWCQ_LIST_FULL) return TRUE;
        if (fWindowOpen) return ToFlag((q->dFlags & IWCQ_FUA_HOLD) != 0);
        q->dFlags |= IWCQ_WINDOW_PASSED;
        return TRUE;
    }
    if (bOp != SCSI_WRITE10) return TRUE;
    const uint32_t dBusy = IWCQ_SYNC_IN_FLIGHT | IWCQ_SYNCHRONISED | IWCQ_ABORTED;
    if (ps->abCdb[1] & 0x08) {
        if (q->wEntries == 0 && (q->dFlags & dBusy) == 0) return TRUE;
        q->dFlags |= IWCQ_FUA_HOLD;
        return FALSE;
    }
    if (q->dFlags & (IWCQ_SYNC_IN_FLIGHT | IWCQ_SYNCHRONISED | IWCQ_FUA_HOLD)) {
        if (q->dFlags & IWCQ_FUA_HOLD) return FALSE;
        if (q->dFlags & IWCQ_SYNCHRONISED) {
            if (fWindowOpen) q->dFlags |= IWCQ_WINDOW_OPEN;
            return FALSE;
        }
        if (q->wEntries >= IWCQ_LIST_LIMIT || (q->dFlags & IWCQ_ABORTED)) return FALSE;
        return TRUE;
    }
    // The first write to an idle drive: its SYNCHRONIZE CACHE is made now
    // and follows the batch the write opens.
    KERNEL_ENTRY* psSync = nullptr;
    if (bAllocKernelEntries(ps->bPortCode, 1, &psSync) != STATUS_OK) return FALSE;
    uint8_t abCdb[16] = {SCSI_SYNCHRONIZE_CACHE10};
    BuildInternalDriveCommand(psSync, ps->bPortCode, bTargetOf(ps), 0, CHILD_CONTROL_READ & ~SAS_XFER_IN, 0, 0, 0,
                              abCdb, CT_WRITE_CACHE_SYNC);
    psSync->bRank = ps->bRank;
    psSync->bMember = ps->bMember;
    (void)QueueKernelEntry(psSync->bPortCode, psSync->wIndex);
    q->dFlags |= IWCQ_SYNC_IN_FLIGHT;
    q->wSyncEntry = psSync->wIndex;
    return TRUE;
}

// ---------------------------------------------------------------------------
// Internal drive commands
// ---------------------------------------------------------------------------

void BuildInternalDriveCommand(KERNEL_ENTRY* ps, uint8_t bQueueId, uint8_t bTarget, uint32_t dLength,
                               uint16_t wControlFlags, uint32_t dAddress, uint8_t bAddressCount,
                               uint32_t dSecondAddress, const uint8_t* pbCdb, uint8_t bCommandType) {
    std::memset(ps, 0, offsetof(KERNEL_ENTRY, abHeadExtension));
    ps->bEntryType = CHILD_ENTRY_TYPE;
    ps->bCount = 1;
    ps->dHandle = dAddressWord(ps);
    ps->wTargetId = bTarget;
    ps->wHead10 = 255;
    ps->dTotalByteCount = dLength;
    ps->wControlFlags = wControlFlags;
    ps->wTimeout = CHILD_TIMEOUT;
    std::memcpy(ps->abCdb, pbCdb, 16);
    if (bAddressCount != 0) {
        ps->wSegmentCount = bAddressCount;
        ps->asSegment[0] = {dAddress, dLength};
        if (bAddressCount > 1) ps->asSegment[1] = {dSecondAddress, 0};
    }
    ps->lFlags = 0;
    ps->fValid = TRUE;
    ps->bPrimaryState = PS_NEW_COMMAND;
    ps->bSecondaryState = 0;
    ps->psMother = ps;
    ps->psLink = nullptr;
    ps->bRetryCount = bCommandType == COMMAND_TYPE_LONG_RETRY ? 'Z' : CHILD_RETRIES;
    ps->bPortCode = bQueueId;
    ps->bRank = 'i';
    ps->bMember = 'i';
    ps->bCommandType = bCommandType;
    ps->wChildrenOutstanding = 0;
    ps->wTotalChildren = 0;
    std::memset(pRaidFields(ps), 0, sizeof(RAID_ENTRY_FIELDS));
    pRaidFields(ps)->bEntries = 1;
    std::memset(ps->abSubsystemFields + KE_AREA_DRIVE_OFFSET, 0, KE_AREA_DRIVE_SIZE);
}

uint8_t bWriteRaidMember(uint8_t bRank, uint8_t bMember, const uint8_t* pbAddress, uint16_t wBlocks,
                         BUFFER_HANDLE dBuffer, uint16_t wTag) {
    KERNEL_ENTRY* ps = nullptr;
    if (bAllocKernelEntries(PORT_CODE_INITIATOR, 1, &ps) != STATUS_OK || ps == nullptr) return STATUS_RETRY;
    uint8_t abCdb[16] = {SCSI_WRITE10};
    std::memcpy(abCdb + 2, pbAddress, 4);
    PutBe16(abCdb + 7, wBlocks);
    BuildInternalDriveCommand(ps, PORT_CODE_INITIATOR, bGetRankMemberDrive(bRank, bMember),
                              uint32_t(wBlocks) * BLOCK_BYTES, CHILD_CONTROL_WRITE,
                              static_cast<uint32_t>(dBufferHandleToPciAddress(dBuffer)), 1, 0, abCdb,
                              COMMAND_TYPE_PARITY_REPLAY);
    ps->wBlocksDone = wTag;
    if (QueueKernelEntry(PORT_CODE_INITIATOR, ps->wIndex) != STATUS_OK) {
        FreeKernelEntries(ps);
        return STATUS_RETRY;
    }
    return STATUS_OK;
}

void BuildReceiveDiagnosticCommand(KERNEL_ENTRY* ps, uint8_t bTarget, uint8_t fPageCodeValid, uint8_t bPage,
                                   uint16_t wLength, uint32_t dBuffer, uint8_t bCommandType, uint16_t wTag) {
    uint8_t abCdb[16] = {SCSI_RECEIVE_DIAGNOSTIC};
    if (fPageCodeValid == TRUE) {
        abCdb[1] = 1;
        abCdb[2] = bPage;
    }
    PutBe16(abCdb + 3, wLength);
    BuildInternalDriveCommand(ps, PORT_CODE_INITIATOR, bTarget, wLength, 40, dBuffer, wLength != 0 ? 1 : 0, 0, abCdb,
                              bCommandType);
    ps->wBlocksDone = wTag;
}

void ScheduleDelayedReissue(uint8_t /*bQueueId*/, uint16_t wDelay, KERNEL_ENTRY* ps) {
    ps->bPrimaryState = CHILD_STATE_DELAYED_REISSUE;
    ps->dStartTick = dGetCoarseTick() + 2u * wDelay;
    ++s_wDelayedPending;
    RequestBackEndCompletion();
}

void ReissueDelayedCommands(uint8_t bQueueId) {
    ClearBackEndCompletion();
    const uint32_t dNow = dGetCoarseTick();
    uint16_t wStillWaiting = 0;
    for (uint32_t i = 0; i < KERNEL_ENTRY_COUNT; ++i) {
        KERNEL_ENTRY* ps = nullptr;
        GetKernelEntryAddress(i, &ps);
        if (ps->fUsed != TRUE || ps->bPortCode != bQueueId) continue;
        if (ps->bPrimaryState != CHILD_STATE_DELAYED_REISSUE) continue;
        if (static_cast<int32_t>(dNow - ps->dStartTick) < 0) {
            ++wStillWaiting;
            continue;
        }
        Requeue(ps);
    }
    s_wDelayedPending = wStillWaiting;
    if (wStillWaiting != 0) RequestBackEndCompletion();
}

// ---------------------------------------------------------------------------
// Drive loop initialisation
// ---------------------------------------------------------------------------

namespace {

// The path a member is reported on: 3, 4, or 0 for neither.
uint8_t bMemberPath(uint8_t bRank, uint8_t bMember) {
    switch (bGetRankMemberState(bRank, bMember)) {
    case MEMBER_ON_PATH_3: return PORT_CODE_DRIVE_LOOP_3;
    case MEMBER_ON_PATH_4: return PORT_CODE_DRIVE_LOOP_4;
    default: return 0;
    }
}

bool IsLoopPort(uint8_t bPort) { return bPort == PORT_CODE_DRIVE_LOOP_3 || bPort == PORT_CODE_DRIVE_LOOP_4; }

bool LoopSettling(uint8_t bPort) {
    return fIsDriveLoopUp(bPort) == TRUE && fGetDriveLoopLipFlag(bPort) == TRUE;
}

}  // namespace

// One held command per call: the background pass runs the service again
// while the held count is not 0.
void ServiceDriveLoopReset() {
    if (LoopSettling(PORT_CODE_DRIVE_LOOP_3) || LoopSettling(PORT_CODE_DRIVE_LOOP_4)) {
        SetWorkPending(TRUE);
        return;
    }
    if (wGetParkedEntryCount() == 0) return;
    DecrementParkedEntryCount();
    KERNEL_ENTRY* ps = nullptr;
    if (bFindEntryInState5F(&ps) != STATUS_FOUND || ps == nullptr) return;
    const uint8_t bRank = ps->bRank;
    const uint8_t bMember = ps->bMember;
    // Commands of the drive-side SAS queue keep their queue; loop commands
    // follow the path their member is reported on.
    uint8_t bPort = ps->bPortCode;
    if (IsLoopPort(bPort)) bPort = bMemberPath(bRank, bMember);
    if (bPort == 0) {
        ps->bPrimaryState = PS_NO_PATH;
        std::memset(psSasFields(ps), 0, 8);
        // Held commands left the queue's count; the failed-drive-command
        // task completes it as one still counted.
        IncrementTotalCommands(PORT_CODE_INITIATOR);
        RequestHostChipService();
        return;
    }
    if (IsLoopPort(bPort)) ps->wTargetId = bGetRankMemberDriveOnPath(bRank, bMember, bPort);
    ps->bPortCode = bPort;
    if (HasFlag(ps, KE_FLAG_ABORTED)) {
        ps->bPrimaryState = PS_COMPLETED;
        IncrementTotalCommands(bPort);
        (void)QueueKernelEntryComplete(bPort, ps->wIndex);
    } else {
        Requeue(ps);
    }
}

void ValidateInitiatorCommandsAfterLIP() {
    ConsolePrintf("ValidateInitiatorCommandsAfterLIP ENTRY :  \n");
    KernelPoolLock sLock;
    for (uint32_t i = 0; i < KERNEL_ENTRY_COUNT; ++i) {
        KERNEL_ENTRY* ps = nullptr;
        GetKernelEntryAddress(i, &ps);
        if (ps->fUsed != TRUE) {
            ConsolePrintf("ValidateInitiatorCommandsAfterLIP KERNEL_ENTRY.fUsed != TRUE :  \n");
            continue;
        }
        const uint8_t bState = ps->bPrimaryState;
        if (bState != PS_NEW_COMMAND && bState != PS_ROW_HELD && bState != 150 && bState != PS_GROUP_HELD &&
            bState != 170) {
            continue;
        }
        const uint8_t bRank = ps->bRank;
        if (bRank >= 64 || bRank == NO_RANK_SPARE || bRank == NO_RANK || !IsLoopPort(ps->bPortCode)) continue;
        const uint8_t bPath = bMemberPath(bRank, ps->bMember);
        if (bPath != 0) {
            ps->bPortCode = bPath;
            ps->wTargetId = bGetRankMemberDriveOnPath(bRank, ps->bMember, bPath);
            continue;
        }
        SetFlag(ps, KE_FLAG_ABORTED);
        if (bState == PS_GROUP_HELD) {
            for (KERNEL_ENTRY* psNext = pRaidFields(ps)->psChainNext; psNext != nullptr;
                 psNext = pRaidFields(psNext)->psChainNext) {
                SetFlag(psNext, KE_FLAG_ABORTED);
            }
        } else if (bState == 150 && ps->psLink != nullptr) {
            SetFlag(ps->psLink, KE_FLAG_ABORTED);
        }
    }
    sLock.Release();
    ConsolePrintf("ValidateInitiatorCommandsAfterLIP EXIT \n");
}

uint8_t bSendMemberCommandAndWait(uint8_t bRank, uint8_t bMember, const uint8_t* pbCdb, uint8_t fDataIn,
                                  uint32_t dLength, BUFFER_HANDLE dBuffer, uint8_t* pbStatus, uint8_t* pbSenseKey,
                                  uint8_t* pbAsc, uint8_t* pbAscq) {
    const uint8_t bTarget = bGetRankMemberDrive(bRank, bMember);
    if (bTarget == NO_DRIVE) return 0;
    uint8_t bResult = STATUS_RETRY;
    for (uint32_t d = 0; d < MEMBER_COMMAND_ATTEMPTS; ++d) {
        bResult = bSendSCSICommandAndWait(bTarget, 0, pbCdb, fDataIn, dLength, dBuffer, pbStatus, pbSenseKey, pbAsc,
                                          pbAscq);
        if (bResult == STATUS_OK && *pbStatus == SCSI_STATUS_GOOD) return STATUS_OK;
    }
    return bResult == STATUS_OK ? STATUS_OK : STATUS_RETRY;
}

}  // namespace fw
