// Drive command error recovery: the drive side's error endings of host I/O
// children, the media error recovery of reads, the failed-drive-command task
// and the taking of a member out of its array.
#include "raid/drive_error_recovery.h"

#include <cstring>

#include "cache/read_path.h"
#include "config/apply_settings.h"
#include "config/config_commit.h"
#include "config/config_db.h"
#include "config/config_flags.h"
#include "config/config_image.h"
#include "config/config_phase.h"
#include "config/config_state.h"
#include "config/drive_tables.h"
#include "config/drive_walk.h"
#include "config/rank_table.h"
#include "config/write_semaphore.h"
#include "console/console_menu.h"
#include "console/throughput_test.h"
#include "eventlog/event_log.h"
#include "enclosure/drive_error_counters.h"
#include "enclosure/drive_rescan.h"
#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "executive/tick.h"
#include "executive/timers.h"
#include "executive/types.h"
#include "executive/upcalls.h"
#include "executive/console_output.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "raid/child_commands.h"
#include "raid/drive_retry_table.h"
#include "raid/dual_parity.h"
#include "raid/parity_check.h"
#include "raid/raid_engine.h"
#include "raid/rebuild.h"
#include "raid/rebuild_check.h"
#include "raid/rebuild_regions.h"
#include "raid/stripe_repair.h"
#include "sas/active_active.h"
#include "sas/command_timeouts.h"
#include "sas/sas_device_list.h"
#include "sas/sas_drive.h"
#include "target/command_access.h"
#include "sas/sas_scsi_path.h"
#include "target/back_end_completion.h"
#include "target/host_command_codes.h"

namespace fw {

namespace {

constexpr uint8_t DRIVE_LOOP_PATH_1 = 3;
constexpr uint8_t DRIVE_LOOP_PATH_2 = 4;
constexpr uint8_t EVENT_DRIVE_FAILED = 10;
constexpr uint8_t EVENT_ARRAY_CRITICAL = 27;
constexpr uint8_t EVENT_DRIVE_CHECK_CONDITION = 39;
constexpr uint8_t EVENT_DRIVE_SENSE_DETAIL = 170;
constexpr uint8_t ASC_DEFAULT_TRANSPORT = 0x47;     // what a CHECK CONDITION without sense counts as
constexpr uint8_t ASC_INSUFFICIENT_RESOURCES = 0x55;
constexpr uint8_t ASCQ_WRITE_ERROR_AUTO_REALLOCATION_FAILED = 0x03;
constexpr uint8_t ASCQ_READ_RETRIES_EXHAUSTED = 0x01;
// The configuration's member state of a failed member.
constexpr uint8_t MEMBER_STATE_FAILED = 17;
// A drive becoming ready is asked again this much later, its command
// waiting meanwhile in this primary state.
constexpr uint32_t BECOMING_READY_RETRY_MS = 2000;
constexpr uint8_t PS_BECOMING_READY_WAIT = 'b';
// A test unit ready that met anything but a drive becoming ready has this
// many tries left at most: only spinning up is worth its long wait.
constexpr uint8_t TEST_UNIT_READY_OTHER_RETRIES = 3;

// The sense a failure counts as.
struct FAILURE {
    uint8_t bKey;
    uint8_t bAsc;
    uint8_t bAscq;
    bool fSense;       // the drive gave (usable) sense data
    bool fTransport;   // BUSY, ABORTED COMMAND, or no status at all
};

// Fixed (0x70/0x71) and descriptor (0x72/0x73) sense alike; anything
// shorter than its key, ASC and ASCQ, or of another response code, is no
// sense at all.
bool ReadSense(const uint8_t* pb, uint8_t bBytes, FAILURE* ps) {
    if (pb == nullptr) return false;
    const uint8_t bCode = pb[0] & 0x7F;
    if ((bCode == 0x70 || bCode == 0x71) && bBytes >= 14) {
        ps->bKey = pb[2] & 0x0F;
        ps->bAsc = pb[12];
        ps->bAscq = pb[13];
        return true;
    }
    if ((bCode == 0x72 || bCode == 0x73) && bBytes >= 4) {
        ps->bKey = pb[1] & 0x0F;
        ps->bAsc = pb[2];
        ps->bAscq = pb[3];
        return true;
    }
    return false;
}

FAILURE Classify(uint8_t bStatus, const uint8_t* pbSense, uint8_t bSenseBytes) {
    FAILURE s{SENSE_ABORTED_COMMAND, ASC_DEFAULT_TRANSPORT, 0, false, false};
    if (bStatus == SCSI_STATUS_CHECK_CONDITION) s.fSense = ReadSense(pbSense, bSenseBytes, &s);
    if (!s.fSense) {
        s.bKey = SENSE_ABORTED_COMMAND;
        s.bAsc = ASC_DEFAULT_TRANSPORT;
        s.bAscq = 0;
    }
    s.fTransport = bStatus == SCSI_STATUS_BUSY || bStatus == DRIVE_STATUS_NO_STATUS || s.bKey == SENSE_ABORTED_COMMAND;
    return s;
}

bool IsPowerOnReset(const FAILURE& s) { return s.bKey == SENSE_UNIT_ATTENTION && s.bAsc == ASC_POWER_ON_RESET; }

bool IsReadChild(const KERNEL_ENTRY* ps) { return ps->abCdb[0] == SCSI_READ10 || ps->abCdb[0] == SCSI_READ16; }

void RecordSense(KERNEL_ENTRY* ps, uint8_t bKey, uint8_t bAsc, uint8_t bAscq) {
    SAS_ENTRY_FIELDS* psF = psSasFields(ps);
    psF->bSenseKey = bKey;
    psF->bAsc = bAsc;
    psF->bAscq = bAscq;
    SetFlag(ps, KE_FLAG_SENSE_PRESENT);
}

// The child ends: its group or host command takes it from here, through
// the completion ring of the path it went out on (a drive loop's commands
// are counted on their own queue).
void Complete(KERNEL_ENTRY* ps) {
    if (ps->bPortCode != DRIVE_LOOP_PATH_1 && ps->bPortCode != DRIVE_LOOP_PATH_2) {
        CompleteSASEntry(ps);
        return;
    }
    // The loop's interrupt path has timed the command already.
    ps->bPrimaryState = PS_COMPLETED;
    (void)QueueKernelEntryComplete(ps->bPortCode, ps->wIndex);
}

// The child ends in error with the sense the host is to hear.
void CompleteWithSense(KERNEL_ENTRY* ps, uint8_t bKey, uint8_t bAsc, uint8_t bAscq) {
    RecordSense(ps, bKey, bAsc, bAscq);
    SetFlag(ps, KE_FLAG_ABORTED);
    Complete(ps);
}

// The child ends in error, and its host command is done again: the member
// it failed on is out of the way now, or its data is regenerated.
void CompleteForRedo(KERNEL_ENTRY* ps) {
    SetFlag(ps, KE_FLAG_ABORTED | KE_FLAG_REDO_WITHOUT_MEMBER);
    ClearFlag(ps, KE_FLAG_SENSE_PRESENT);
    Complete(ps);
}

// Members whose drive let a command run out its time and has answered
// nothing since (see fReadAroundSilentMember).
uint8_t s_aabSilent[MAX_RANKS][MAX_RANK_MEMBERS];

void GiveUp(KERNEL_ENTRY* ps, const FAILURE& s) {
    SAS_ENTRY_FIELDS* psF = psSasFields(ps);
    psF->bSenseKey = s.bKey;
    psF->bAsc = s.bAsc;
    psF->bAscq = s.bAscq;
    ps->bPrimaryState = PS_PARKED_5B;
    RequestHostChipService();
}

uint8_t bDrivePosition(const KERNEL_ENTRY* ps) {
    return ps->wTargetId < 0x100 ? bGetDriveIndexOfTarget(static_cast<uint8_t>(ps->wTargetId)) : 0xFF;
}

void PostDriveError(const KERNEL_ENTRY* ps, uint8_t bStatus, const FAILURE& s, const uint8_t* pbSense,
                    uint8_t bSenseBytes) {
    uint8_t abWwn[8] = {};
    if (ps->wTargetId < 0x100) (void)bGetSASAddressOfTarget(abWwn, static_cast<uint8_t>(ps->wTargetId));
    PostEvent(EVENT_DRIVE_CHECK_CONDITION, abWwn[0], abWwn[1], abWwn[2], abWwn[3], abWwn[4], abWwn[5], abWwn[6],
              abWwn[7], bDrivePosition(ps), bStatus, ps->abCdb[0], s.bKey, s.bAsc, s.bAscq);
    if (bStatus != SCSI_STATUS_CHECK_CONDITION) return;
    // The rest of what the drive said (information, command-specific
    // information, the failing unit, sense-key-specific bytes) for whoever
    // reads the log.  Only fixed-format sense has them at these places;
    // what the drive did not send reads as zero.
    uint8_t ab[18] = {};
    if (s.fSense && pbSense != nullptr && (pbSense[0] & 0x7F) <= 0x71) {
        std::memcpy(ab, pbSense, bSenseBytes < sizeof ab ? bSenseBytes : sizeof ab);
    }
    PostEvent(EVENT_DRIVE_SENSE_DETAIL, ab[3], ab[4], ab[5], ab[6], ab[8], ab[9], ab[10], ab[11], ab[14], ab[15], ab[16],
              ab[17]);
}

// The drive's error history at its position.  Every error a drive answers
// is one the controller recovers from or hands on, and counts as such; what
// kind of error it was counts beside that, once it is one worth logging.
// A status other than CHECK CONDITION has no sense to tell its kind: the
// drive's hardware failed it.
void CountDriveError(const KERNEL_ENTRY* ps, uint8_t bStatus, const FAILURE& s, bool fRecoveredOnly) {
    const uint8_t bTarget = static_cast<uint8_t>(ps->wTargetId);
    uint8_t bEnclosure = 0, bSlot = 0;
    if (bGetEnclosureSlotOfTarget(bTarget, &bEnclosure, &bSlot) != STATUS_OK) return;
    if (fRecoveredOnly) {
        IncrementDriveErrorCounter(ERROR_KIND_RECOVERED, bEnclosure, bSlot);
    } else if (bStatus == SCSI_STATUS_CHECK_CONDITION) {
        bClassifyDriveError(bTarget, s.bKey, s.bAsc, s.bAscq);
    } else {
        IncrementDriveErrorCounter(ERROR_KIND_HARDWARE, bEnclosure, bSlot);
    }
}

// A drive reached through the partner whose transfer broke (the drive's
// link, or the partner's link to this controller): the partner's drive side
// has counted what its drive said, and a broken transfer is only sent
// again.  Logging it here too would put every link hiccup of the partner's
// drives in this controller's log a second time.  Such an error is also
// when a raised diagnostics level is looked at, so one left raised lapses.
bool IsPartnerTransferFailure(uint8_t bPort, const KERNEL_ENTRY* ps, const FAILURE& s) {
    if (bPort != PORT_CODE_INITIATOR || ps->wTargetId < SAS_PROXY_TARGET_BIT ||
        s.bKey != SENSE_ABORTED_COMMAND || s.bAsc != ASC_SCSI_PARITY_ERROR) {
        return false;
    }
    (void)bGetDiagnosticsModeLevel();
    return true;
}

// What a drive behind a multiplexer answers when the path to it, not the
// drive, failed.
bool IsPathFailure(const FAILURE& s) {
    return s.fSense && (s.bKey == SENSE_MEDIUM_ERROR || s.bKey == SENSE_DATA_PROTECT);
}

// The drive's port is asked for (the partner agreeing), and the command goes
// again, marked so that it is asked for once; its completion gives the port
// back.
void RequestPathFailover(KERNEL_ENTRY* ps) {
    HoldSASTarget(static_cast<uint8_t>(ps->wTargetId));
    SetFlag(ps, KE_FLAG_PATH_FAILOVER);
    uint8_t abWwn[8] = {};
    (void)bGetSASAddressOfTarget(abWwn, static_cast<uint8_t>(ps->wTargetId));
    PostEvent(EVENT_DRIVE_CHECK_CONDITION, abWwn[0], abWwn[1], abWwn[2], abWwn[3], abWwn[4], abWwn[5], abWwn[6],
              abWwn[7], bDrivePosition(ps), SCSI_STATUS_CHECK_CONDITION, ps->abCdb[0], SENSE_ABORTED_COMMAND, 0xFF,
              0xFF);
    RepostSASEntry(ps);
}

// ---- the controller's own commands to one drive ----

// The configuration's commands to a drive: its stored image read and
// written, start, test unit ready, identification, capacity, mode pages.
// (Type 7, the drive port test's, judges its errors itself.)
bool IsOwnDriveCommand(uint8_t b) {
    return b >= DRIVE_COMMAND_TYPE_WRITE && b <= DRIVE_COMMAND_TYPE_MODE_PAGES && b != CT_THROUGHPUT_TEST;
}

void RepostBecomingReady(KERNEL_ENTRY* ps, TIMER_NODE*) { RepostSASEntry(ps); }

// One more try of an own command: a drive spinning up is given its time,
// anything else is asked again at once.
void RetryOwnCommand(KERNEL_ENTRY* ps, const FAILURE& s) {
    if (ps->bCommandType == DRIVE_COMMAND_TYPE_TEST_UNIT_READY) {
        if (s.bKey == SENSE_NOT_READY && s.bAsc == ASC_NOT_READY) {
            ps->bPrimaryState = PS_BECOMING_READY_WAIT;
            InsertTimer(ps, RepostBecomingReady, BECOMING_READY_RETRY_MS);
            return;
        }
        // A reset's attention says nothing of the drive and costs no try.
        if (!IsPowerOnReset(s) && ps->bRetryCount > TEST_UNIT_READY_OTHER_RETRIES + 1) {
            ps->bRetryCount = TEST_UNIT_READY_OTHER_RETRIES;
        }
    }
    RepostSASEntry(ps);
}

// An own command the drive could not be brought to take: a spare or free
// drive that fails it is offered no more (the next rescan finds it again
// if it recovers); an array member is left to its array's own commands.
// Its issuer hears of the failure either way.
void FailedOwnCommand(KERNEL_ENTRY* ps) {
    if (fGetDriveAttentionFlag() != TRUE && ps->wTargetId < SAS_PROXY_TARGET_BIT) {
        const uint8_t bTarget = static_cast<uint8_t>(ps->wTargetId);
        if (ps->bRank == WALK_SPARES) {
            RemoveHotSpare(ps->bPortCode, bTarget);
        } else if (ps->bRank == WALK_SLOTS) {
            RemoveDriveSlot(ps->bPortCode, bTarget);
        }
    }
    SetDriveCommandPendingFlag(TRUE);
    // Spent: the phase that sent it is not to send it again.
    ps->bRetryCount = 0;
    SetFlag(ps, KE_FLAG_ABORTED);
    Complete(ps);
}

// ---- a drive out of space ----

// When each array's drives last held a write off for want of space (0:
// never since the start).
uint64_t s_alSpaceRefusedMs[MAX_RANKS];

bool IsSpaceWait(const FAILURE& s) {
    return s.fSense && s.bKey == SENSE_NOT_READY && s.bAsc == ASC_NOT_READY &&
           s.bAscq == ASCQ_SPACE_ALLOCATION_IN_PROGRESS;
}

// The command waits and goes to its drive again: it is neither a failure
// of the drive nor one its issuer hears of.  The array's wait begins with
// an event naming the drive.
void WaitForDriveSpace(KERNEL_ENTRY* ps) {
    const uint8_t bRank = ps->bRank;
    if (bRank < MAX_RANKS && bRank < bGetRankCount()) {
        if (fIsRankWaitingForSpace(bRank) != TRUE) {
            uint8_t abWwn[8] = {};
            if (ps->wTargetId < 0x100) (void)bGetSASAddressOfTarget(abWwn, static_cast<uint8_t>(ps->wTargetId));
            PostEvent(EVENT_DRIVE_OUT_OF_SPACE, abWwn[0], abWwn[1], abWwn[2], abWwn[3], abWwn[4], abWwn[5], abWwn[6],
                      abWwn[7], pGetConfigImage()->asRank[bRank].bRankNumber, ps->bMember, bDrivePosition(ps));
        }
        // The tick is never 0 here: drives are written only once the start
        // is well under way.
        s_alSpaceRefusedMs[bRank] = lGetTickCount();
    }
    ps->bPrimaryState = PS_BECOMING_READY_WAIT;
    InsertTimer(ps, RepostBecomingReady, SPACE_WAIT_RETRY_MS);
}

// ---- which members can stand in for one ----

bool OnLine(uint8_t bRank, uint8_t bMember) { return bGetRankMemberFlags(bRank, bMember) == MEMBER_ON_LINE; }

// Members other than bMember of [bFirst, bFirst + bCount) that are not on line.
uint8_t bOthersOut(uint8_t bRank, uint8_t bFirst, uint8_t bCount, uint8_t bMember) {
    uint8_t n = 0;
    for (uint8_t m = bFirst; m < bFirst + bCount; ++m) n += m != bMember && !OnLine(bRank, m);
    return n;
}

// The members that hold the same redundancy as bMember: its mirror pair,
// its parity group, or the whole row.
void RedundancyGroup(uint8_t bRank, uint8_t bMember, uint8_t* pbFirst, uint8_t* pbCount) {
    const uint8_t D = bGetRankDriveCount(bRank);
    switch (bGetRankRaidLevel(bRank)) {
    case RAID_LEVEL_10:
        *pbFirst = static_cast<uint8_t>(bMember & ~1u);
        *pbCount = 2;
        return;
    case RAID_LEVEL_50: {
        const uint8_t G = bGetRankSubRankCount(bRank) == 0 ? 1 : bGetRankSubRankCount(bRank);
        const uint8_t P = static_cast<uint8_t>(D / G);
        *pbFirst = static_cast<uint8_t>(bMember / P * P);
        *pbCount = P;
        return;
    }
    default:
        *pbFirst = 0;
        *pbCount = D;
        return;
    }
}

// How many members of a group may be out with the data still all there.
uint8_t bRedundancy(uint8_t bLevel) {
    switch (bLevel) {
    case RAID_LEVEL_10: case RAID_LEVEL_5: case RAID_LEVEL_50: return 1;
    case RAID_LEVEL_6: return 2;
    default: return 0;
    }
}

// Whether taking bMember out leaves its group whole (the others can stand
// in for it).
bool GroupSurvivesLoss(uint8_t bRank, uint8_t bMember) {
    uint8_t bFirst = 0, bCount = 0;
    RedundancyGroup(bRank, bMember, &bFirst, &bCount);
    return bOthersOut(bRank, bFirst, bCount, bMember) < bRedundancy(bGetRankRaidLevel(bRank));
}

// ---- the rebuild's drive commands ----

// A region's write to the replacement drive.
bool IsRebuildTargetWrite(uint8_t b) {
    return b == CT_REGION_RAID5_WRITE || b == CT_REGION_RAID10_WRITE || b == CT_REGION_RAID6_WRITE;
}
// A region's read of a surviving member.
bool IsRebuildSourceRead(uint8_t b) {
    return b == CT_REGION_RAID5_READ || b == CT_REGION_RAID10_READ || b == CT_REGION_RAID6_READ;
}
bool IsRebuildChild(uint8_t b) { return IsRebuildTargetWrite(b) || IsRebuildSourceRead(b); }

// The stripe repair's reads and writes (mirror copies, parity, P and Q):
// a drive that is only busy must not leave a row's redundancy stale, so
// they are sent again as host I/O is; one given up takes its drive out.
bool IsRepairChild(uint8_t b) {
    return b == CT_MIRROR_REPAIR_READ || b == CT_MIRROR_REPAIR_WRITE || b == CT_REPAIR_DATA_READ ||
           b == CT_REPAIR_PARITY_WRITE || b == CT_REPAIR_R6_READ || b == CT_REPAIR_R6_P_WRITE ||
           b == CT_REPAIR_R6_Q_WRITE;
}

// The member a rebuild child reads: RAID 5/50 source reads name their drive
// only.
uint8_t bRebuildChildMember(const KERNEL_ENTRY* ps) {
    if (ps->bMember < MAX_RANK_MEMBERS || ps->bRank >= bGetRankCount()) return ps->bMember;
    for (uint8_t m = 0; m < bGetRankDriveCount(ps->bRank); ++m) {
        if (bGetRankMemberDrive(ps->bRank, m) == ps->wTargetId) return m;
    }
    return NO_MEMBER;
}

// Whether the member is one the running rebuild writes (D0, or D1 on RAID 6).
bool IsRebuiltMember(uint8_t bRank, uint8_t bMember) {
    return bGetNvramRebuildPendingFlag() == TRUE && bGetRebuildRank() == bRank &&
           (bGetRebuildRecordByte(0) == bMember || bGetRebuildRecordByte(1) == bMember);
}

// ---- the failed-drive-command task ----

void PostHostReport(KERNEL_ENTRY* psHost, uint8_t bKey, uint8_t bAsc, uint8_t bAscq) {
    if (psHost != nullptr && !HasFlag(psHost, KE_FLAG_SENSE_PRESENT)) PostHostCommandFailed(psHost, bKey, bAsc, bAscq);
}

// The host hears of the error: the child carries the sense to its group or
// host command.
void ReportToHost(KERNEL_ENTRY* ps) {
    const SAS_ENTRY_FIELDS* psF = psSasFields(ps);
    uint8_t bKey = psF->bSenseKey, bAsc = psF->bAsc, bAscq = psF->bAscq;
    if (bKey == SENSE_NO_SENSE) {
        // A drive that never answered.
        bKey = SENSE_ABORTED_COMMAND;
        bAsc = ASC_DEFAULT_TRANSPORT;
        bAscq = 0;
    } else if (bKey == SENSE_ILLEGAL_REQUEST && bAsc == ASC_INSUFFICIENT_RESOURCES) {
        bKey = SENSE_NOT_READY;
        bAsc = ASC_NOT_READY;
        bAscq = 0x01;
    }
    PostHostReport(psHostCommandOf(ps), bKey, bAsc, bAscq);
    CompleteWithSense(ps, bKey, bAsc, bAscq);
}

// Whether the array can lose the member now: with no operation running
// always (a non-redundant array then fails); degraded only when the member's
// mirror pair, parity group or RAID 6 row stays whole.
bool MayFailMember(uint8_t bRank, uint8_t bMember) {
    if (bGetRankOperationState(bRank) == RANK_STATE_OPTIMAL) return true;
    return GroupSurvivesLoss(bRank, bMember);
}

// The running rebuild's replacement drive failed: it joins the failed
// drives and the rebuild ends (event 13).  The member is missing again, and
// the rebuild check may take another spare for it.
void FailRebuildTarget(KERNEL_ENTRY* ps) {
    const SAS_ENTRY_FIELDS* psF = psSasFields(ps);
    FailArrayMember(REBUILD_TARGET_RANK, bGetRebuildRecordByte(0), FALSE, bDrivePosition(ps), psF->bSenseKey,
                    psF->bAsc, psF->bAscq);
    FailRebuild(EVENT_REBUILD_TARGET_FAILED);
}

// A region's read or write the drive side gave up on.  A failed write
// fails the replacement; a failed read fails the member read, which ends
// the rebuild (event 12) and gives the replacement back to the unassigned
// drives, except on RAID 6, where a first such member becomes the
// rebuild's second member and the rebuild goes on without it.  The region
// then ends in error and the rebuild deals with it.
void HandleRebuildGivenUp(KERNEL_ENTRY* ps) {
    const uint8_t bRank = ps->bRank;
    const uint8_t bMember = bRebuildChildMember(ps);
    if (bGetNvramRebuildPendingFlag() == TRUE && bGetRebuildRank() == bRank) {
        if (IsRebuildTargetWrite(ps->bCommandType)) {
            FailRebuildTarget(ps);
        } else if (bMember < bGetRankDriveCount(bRank) && OnLine(bRank, bMember)) {
            uint8_t abReplacement[8];
            GetRebuildTargetWwn(abReplacement);
            const bool fEnds = bGetRankRaidLevel(bRank) != RAID_LEVEL_6 || bGetRebuildRecordByte(1) != REBUILD_NONE;
            const SAS_ENTRY_FIELDS* psF = psSasFields(ps);
            FailArrayMember(bRank, bMember, TRUE, bDrivePosition(ps), psF->bSenseKey, psF->bAsc, psF->bAscq);
            if (fEnds) ReturnDriveToUnassignedSlots(abReplacement);
        }
    }
    SetFlag(ps, KE_FLAG_ABORTED);
    Complete(ps);
}

void HandleGivenUp(KERNEL_ENTRY* ps) {
    const uint8_t bRank = ps->bRank;
    const uint8_t bMember = ps->bMember;
    if (bRank >= bGetRankCount() || bMember >= bGetRankDriveCount(bRank) || psHostCommandOf(ps) == nullptr) {
        // Nothing of an array to judge: the error is the command's answer.
        ReportToHost(ps);
        return;
    }
    if (!OnLine(bRank, bMember)) {
        // A write behind the rebuild's front failed on the replacement: the
        // rebuild cannot go on onto it.
        if (bGetRankMemberFlags(bRank, bMember) == MEMBER_FLAGS_REBUILDING && IsRebuiltMember(bRank, bMember)) {
            FailRebuildTarget(ps);
        }
        // Out of the array: the command is done again without it.
        CompleteForRedo(ps);
        return;
    }
    if (!MayFailMember(bRank, bMember)) {
        ReportToHost(ps);
        return;
    }
    const SAS_ENTRY_FIELDS* psF = psSasFields(ps);
    FailArrayMember(bRank, bMember, TRUE, bDrivePosition(ps), psF->bSenseKey, psF->bAsc, psF->bAscq);
    CompleteForRedo(ps);
}

// A repair read or write the drive side gave up on: the drive leaves its
// array when the array can lose it; the group ends in error either way.
void HandleRepairGivenUp(KERNEL_ENTRY* ps) {
    const uint8_t bRank = ps->bRank;
    const uint8_t bMember = ps->bMember;
    if (bRank < bGetRankCount() && bMember < bGetRankDriveCount(bRank) && OnLine(bRank, bMember) &&
        MayFailMember(bRank, bMember)) {
        const SAS_ENTRY_FIELDS* psF = psSasFields(ps);
        FailArrayMember(bRank, bMember, TRUE, bDrivePosition(ps), psF->bSenseKey, psF->bAsc, psF->bAscq);
    }
    SetFlag(ps, KE_FLAG_ABORTED);
    Complete(ps);
}

// A member failure asked for by the operator or a management client: the
// member leaves its array as one whose commands failed would, unless the
// array cannot lose it (then it stays, and the console says so).
void FailRequestedMember(KERNEL_ENTRY* ps) {
    const uint8_t bRank = ps->bRank;
    const uint8_t bMember = ps->bMember;
    const SAS_ENTRY_FIELDS sSense = *psSasFields(ps);
    const uint8_t bPosition = bDrivePosition(ps);
    FreeKernelEntries(ps);
    if (bRank >= bGetRankCount() || bMember >= bGetRankDriveCount(bRank) || !OnLine(bRank, bMember)) return;
    if (!MayFailMember(bRank, bMember)) {
        ConsolePrintf("\nArray %d cannot lose drive %d: it stays in the array\n", bRank, bMember);
        return;
    }
    FailArrayMember(bRank, bMember, TRUE, bPosition, sSense.bSenseKey, sSense.bAsc, sSense.bAscq);
}

// ---- the failure in the stored configuration ----

// A member failure as the stored image is to record it.
struct STORED_FAILURE {
    uint8_t bRank;
    uint8_t bMember;
    uint8_t fDegrade;
    uint8_t bDrivePosition;
    uint8_t bSenseKey;
    uint8_t bAsc;
    uint8_t bAscq;
    uint8_t abWwn[8];
};

// Failures that came while a commit was writing the image: every member of
// every array could fail in one commit's time.
constexpr uint8_t DEFERRED_FAILURES = 64;
STORED_FAILURE s_asDeferred[DEFERRED_FAILURES];
uint8_t s_bDeferred;

void MarkMemberFailed(CONFIG_IMAGE* psImage, CONFIG_RANK_RECORD& sStored, uint8_t bMember, const STORED_FAILURE& f) {
    sStored.abMemberState[bMember] = MEMBER_STATE_FAILED;
    if (f.fDegrade == TRUE && sStored.bInitState != 1 && sStored.bInitState != 3) sStored.bInitState = 0;
    AddFailedDriveWwn(f.abWwn, psImage, f.bSenseKey, f.bAsc, f.bAscq, 0, f.bDrivePosition);
}

void StoreMemberFailure(const STORED_FAILURE& f) {
    CONFIG_IMAGE* psImage = pGetConfigImage();
    if (f.bRank == REBUILD_TARGET_RANK) {
        // The replacement was no member yet: only its drive is failed.
        AddFailedDriveWwn(f.abWwn, psImage, f.bSenseKey, f.bAsc, f.bAscq, 0, f.bDrivePosition);
        return;
    }
    if (f.bRank >= dClampedRankCount(psImage)) return;
    CONFIG_RANK_RECORD& sStored = psImage->asRank[f.bRank];
    // The array may have been edited meanwhile: only the same drive in the
    // same place is failed.
    if (std::memcmp(sStored.aabMemberWwn[f.bMember], f.abWwn, sizeof f.abWwn) != 0) return;
    MarkMemberFailed(psImage, sStored, f.bMember, f);
    // An edit open here saves its own copy of the image over the live one:
    // the failure goes into that copy too, wherever the edit moved the
    // array, or the save would bring the drive back as a good member.
    if (fIsConfigWriteInProgress() != TRUE) return;
    CONFIG_IMAGE* psEdit = pGetScratchConfigImage();
    const uint32_t dRanks = dClampedRankCount(psEdit);
    for (uint32_t r = 0; r < dRanks; r++) {
        CONFIG_RANK_RECORD& sEdited = psEdit->asRank[r];
        const uint32_t dMembers = dClampedDriveCount(&sEdited);
        for (uint8_t m = 0; m < dMembers; m++) {
            if (std::memcmp(sEdited.aabMemberWwn[m], f.abWwn, sizeof f.abWwn) == 0) MarkMemberFailed(psEdit, sEdited, m, f);
        }
    }
}

// Stores the failure now, or once the commit writing the image has ended.
void StoreOrDefer(const STORED_FAILURE& f) {
    if (fIsConfigCommitInProgress() == TRUE && s_bDeferred < DEFERRED_FAILURES) {
        // The writer is sending the live image to the drives as sealed: a
        // change now would reach some copies and not their checksum.  It
        // goes in once the commit has ended, and a commit of its own
        // follows.
        s_asDeferred[s_bDeferred++] = f;
    } else {
        StoreMemberFailure(f);
    }
}

void PostMemberFailed(const uint8_t* pbWwn, uint8_t bRankNumber, uint8_t bMember, uint8_t bDrivePosition,
                      uint8_t bSenseKey, uint8_t bAsc, uint8_t bAscq) {
    if (bSenseKey != 0 && (bAsc != 0 || bAscq != 0)) {
        PostEvent(EVENT_DRIVE_FAILED, pbWwn[0], pbWwn[1], pbWwn[2], pbWwn[3], pbWwn[4], pbWwn[5], pbWwn[6], pbWwn[7],
                  bRankNumber, bMember, bDrivePosition, bSenseKey, bAsc, bAscq);
    }
    PostEvent(EVENT_ARRAY_CRITICAL, bRankNumber);
}

// The rebuild's replacement drive enters the failed-drive list, so that
// neither the rebuild check nor a drive put back into the slot takes it
// again unasked.
void FailRebuildReplacement(uint8_t bMember, uint8_t bDrivePosition, uint8_t bSenseKey, uint8_t bAsc, uint8_t bAscq) {
    if (bGetNvramRebuildPendingFlag() != TRUE) return;
    STORED_FAILURE sFailure{REBUILD_TARGET_RANK, bMember, FALSE, bDrivePosition, bSenseKey, bAsc, bAscq, {}};
    GetRebuildTargetWwn(sFailure.abWwn);
    StoreOrDefer(sFailure);
    const uint8_t bRank = bGetRebuildRank();
    const uint8_t bRankNumber = bRank < MAX_RANKS ? pGetConfigImage()->asRank[bRank].bRankNumber : bRank;
    PostMemberFailed(sFailure.abWwn, bRankNumber, bMember, bDrivePosition, bSenseKey, bAsc, bAscq);
    (void)RequestConfigUpdate(REQUESTER_DRIVE_FAILURE);
}

}  // namespace

KERNEL_ENTRY* psHostCommandOf(const KERNEL_ENTRY* psChild) {
    KERNEL_ENTRY* psMother = psChild->psMother;
    if (psMother == nullptr || psMother == psChild) return nullptr;
    if (fIsHostCommandEntry(psMother) == TRUE) return psMother;
    if (fIsKernelEntryAddress(psMother) != TRUE) return nullptr;
    KERNEL_ENTRY* psGrand = psMother->psMother;
    return psGrand != nullptr && fIsHostCommandEntry(psGrand) == TRUE ? psGrand : nullptr;
}

uint8_t fIsHostIoChildType(uint8_t b) {
    return ToFlag(b == CT_WRITE || b == CT_RAID5_READ || b == CT_RAID5_DATA_ONLY ||
                  (b >= CT_ROW_DATA_WRITE && b <= CT_PARTIAL_READ_TAIL_PART) ||
                  (b >= CT_RMW_PARITY_READ && b <= CT_RECONSTRUCT_READ) || b == CT_RAID0_READ ||
                  b == CT_RAID10_READ || (b >= CT_R6_RMW_P && b <= CT_R6_PRE_READ_TAIL_PART));
}

uint8_t fIsRankWaitingForSpace(uint8_t bRank) {
    if (bRank >= MAX_RANKS || s_alSpaceRefusedMs[bRank] == 0) return FALSE;
    return ToFlag(lGetTickCount() - s_alSpaceRefusedMs[bRank] < SPACE_WAIT_HOLD_MS);
}

uint8_t fCanRegenerateMember(const KERNEL_ENTRY* psChild, uint8_t bRank, uint8_t bMember) {
    if (bRank >= bGetRankCount() || bMember >= bGetRankDriveCount(bRank)) return FALSE;
    // A member being rebuilt holds its data where the rebuild has passed:
    // there the others stand in for it as for a member in service.
    bool fHeld = OnLine(bRank, bMember);
    if (!fHeld && bGetRankMemberFlags(bRank, bMember) == MEMBER_REBUILDING && psChild != nullptr) {
        KERNEL_ENTRY* psHost = psHostCommandOf(psChild);
        fHeld = psHost != nullptr && bCheckRebuildWindow(bRank, 0, wGetMappedBlocks(psHost), psHost) == REBUILD_WINDOW_REBUILT;
    }
    return ToFlag(fHeld && GroupSurvivesLoss(bRank, bMember));
}

uint8_t MediaErrorRecovery(KERNEL_ENTRY* ps) {
    if (IsRepairChild(ps->bCommandType)) {
        // Blocks the repair cannot read: its group ends without writing
        // redundancy from them.  The drive stays; a host read of the blocks
        // meets the error again and is served from the other members.
        CompleteWithSense(ps, SENSE_MEDIUM_ERROR, ASC_UNRECOVERED_READ_ERROR, ASCQ_READ_RETRIES_EXHAUSTED);
        return TRUE;
    }
    if (IsRebuildSourceRead(ps->bCommandType)) {
        // The region mends it: it learns which member could not be read
        // (the first one, when several could not), and the read itself ends
        // as one that brought nothing usable.
        KERNEL_ENTRY* psRegion = ps->psMother;
        if (psRegion == nullptr || psRegion == ps) return FALSE;
        if (!HasFlag(psRegion, KE_FLAG_REGENERATE)) psRegion->bMember = bRebuildChildMember(ps);
        SetFlag(psRegion, KE_FLAG_REGENERATE);
        psSasFields(ps)->bScsiStatus = SCSI_STATUS_GOOD;
        ClearFlag(ps, KE_FLAG_SENSE_PRESENT);
        Complete(ps);
        return TRUE;
    }
    KERNEL_ENTRY* psHost = psHostCommandOf(ps);
    if (psHost == nullptr || ps->bMember >= MAX_RANK_MEMBERS) return FALSE;
    const uint8_t bAsc = IsReadChild(ps) && ps->bCommandType != CT_PARTIAL_DATA_WRITE ? ASC_UNRECOVERED_READ_ERROR
                                                                                       : ASC_WRITE_ERROR;
    const uint8_t bAscq = bAsc == ASC_UNRECOVERED_READ_ERROR ? ASCQ_READ_RETRIES_EXHAUSTED
                                                              : ASCQ_WRITE_ERROR_AUTO_REALLOCATION_FAILED;
    if (fCanRegenerateMember(ps, ps->bRank, ps->bMember) != TRUE || psHost->bRetryCount >= 2) {
        // Nothing can stand in for the blocks (or reading them again did
        // not help): the host hears of them.
        if (IsRebuiltMember(ps->bRank, ps->bMember)) {
            ConsolePrintf("Kemo: Drive No:%d Fail Regen drive after Media Error \n", ps->bMember);
        }
        PostHostReport(psHost, SENSE_MEDIUM_ERROR, bAsc, bAscq);
        CompleteWithSense(ps, SENSE_MEDIUM_ERROR, bAsc, bAscq);
        return TRUE;
    }
    // Read again through the other members.
    ++psHost->bRetryCount;
    SetFlag(ps, KE_FLAG_REGENERATE);
    CompleteForRedo(ps);
    return TRUE;
}

void DriveCommandErrorHandler(uint8_t bPort, uint8_t bStatus, KERNEL_ENTRY* ps, const uint8_t* pbSense,
                              uint8_t bSenseBytes, uint8_t fReport, uint8_t fTimeout) {
    if (ps == nullptr || ps->fUsed != TRUE || ps->bPortCode != bPort) return;
    const FAILURE s = Classify(bStatus, pbSense, bSenseBytes);
    SAS_ENTRY_FIELDS* psF = psSasFields(ps);
    psF->bSenseKey = s.bKey;
    psF->bAsc = s.bAsc;
    psF->bAscq = s.bAscq;
    if (s.fSense) {
        SetFlag(ps, KE_FLAG_SENSE_PRESENT);
    } else {
        ClearFlag(ps, KE_FLAG_SENSE_PRESENT);
    }
    // A drive whose queue was full refused the command untouched: no error
    // of the drive, and none its issuer is to hear of.  It is sent again;
    // only a drive that claims to be full while it holds nothing of ours
    // uses up the transport retries, so that one that only ever refuses
    // still ends.
    const bool fQueueFull = bStatus == SCSI_STATUS_TASK_SET_FULL;
    if (fQueueFull && fTimeout != TRUE && ps->wTargetId < SAS_PROXY_TARGET_BIT &&
        wGetSASTargetCommandCount(static_cast<uint8_t>(ps->wTargetId), TRUE) != 0) {
        RepostSASEntry(ps);
        return;
    }
    // No room on the drive for the write now: it waits, whoever sent it.
    if (fTimeout != TRUE && IsSpaceWait(s)) {
        WaitForDriveSpace(ps);
        return;
    }
    const bool fLoggable = bStatus != SCSI_STATUS_BUSY && !fQueueFull && !IsPowerOnReset(s) &&
                           !(s.bKey == SENSE_ABORTED_COMMAND && s.bAsc == ASC_INTERNAL_TARGET_FAILURE) &&
                           !IsPartnerTransferFailure(bPort, ps, s);
    const bool fSasDrive = bPort == PORT_CODE_INITIATOR && ps->wTargetId < SAS_PROXY_TARGET_BIT;
    if (fSasDrive) CountDriveError(ps, bStatus, s, true);
    // A drive behind a multiplexer whose path failed under the command: this
    // controller asks for the drive's port and sends the command once more
    // before the error counts against the drive.
    if (fSasDrive && fTimeout != TRUE && IsPathFailure(s) && !HasFlag(ps, KE_FLAG_PATH_FAILOVER) &&
        fIsSASTargetHeldForError(static_cast<uint8_t>(ps->wTargetId)) == TRUE) {
        RequestPathFailover(ps);
        return;
    }
    // A time-out is counted by the scan that found it.
    if (fSasDrive && fLoggable && fReport == TRUE && fTimeout != TRUE) CountDriveError(ps, bStatus, s, false);
    // A drive that failed a read, write or verify is tested again later,
    // whatever becomes of this command.
    const uint8_t bOpcode = ps->abCdb[0];
    if (bPort == PORT_CODE_INITIATOR && ps->wTargetId < 0x80 &&
        (bOpcode == SCSI_READ10 || bOpcode == SCSI_WRITE10 || bOpcode == SCSI_VERIFY10) &&
        fIsSASTargetRetryCandidate(static_cast<uint8_t>(ps->wTargetId)) == TRUE) {
        AddDriveRetryEntry(static_cast<uint8_t>(ps->wTargetId));
    }
    // A parity check row a member cannot read: the drive has retried it
    // already, so reading it again meets the same blocks.  The mark makes
    // the failure final; the check regenerates the member's chunk from the
    // rest of the row, or counts the row and leaves it.
    if (ps->bCommandType == CT_PARITY_CHECK_READ && s.fSense && s.bKey == SENSE_MEDIUM_ERROR && IsReadChild(ps)) {
        if (fReport == TRUE) PostDriveError(ps, bStatus, s, pbSense, bSenseBytes);
        SetFlag(ps, KE_FLAG_REGENERATE | KE_FLAG_ABORTED);
        Complete(ps);
        return;
    }
    // Everything but host I/O, the rebuild's reads and writes and the
    // configuration's own commands keeps the error for its own issuer to
    // judge (and to report).
    const bool fOwn = bPort == PORT_CODE_INITIATOR && IsOwnDriveCommand(ps->bCommandType);
    if (!fOwn && !IsRebuildChild(ps->bCommandType) && !IsRepairChild(ps->bCommandType) &&
        (fIsHostIoChildType(ps->bCommandType) != TRUE || psHostCommandOf(ps) == nullptr)) {
        if (fTimeout == TRUE) psF->bScsiStatus = DRIVE_STATUS_TIMED_OUT;
        SetFlag(ps, KE_FLAG_ABORTED);
        Complete(ps);
        return;
    }
    if (fTimeout == TRUE) {
        // Its drive was taken out of service for not answering: it has no
        // sense to tell, and sending it again would wait as long again.
        if (fOwn) psF->bScsiStatus = DRIVE_STATUS_TIMED_OUT;
        GiveUp(ps, FAILURE{0, 0, 0, false, true});
        return;
    }
    // A command the drive refused as not its own to run (a firmware image it
    // will not take, a page it does not have) would be refused as often as
    // it is sent: its issuer hears of it at once, and the drive is no worse
    // for it.
    if (fOwn && s.fSense && s.bKey == SENSE_ILLEGAL_REQUEST) {
        SetFlag(ps, KE_FLAG_ABORTED);
        Complete(ps);
        return;
    }
    MarkSASDriveCommandError();
    if (fLoggable && fReport == TRUE) PostDriveError(ps, bStatus, s, pbSense, bSenseBytes);
    if (bStatus == SCSI_STATUS_CHECK_CONDITION && s.fSense && s.bKey == SENSE_RECOVERED_ERROR) {
        // The drive got it right in the end.
        psF->bScsiStatus = SCSI_STATUS_GOOD;
        ClearFlag(ps, KE_FLAG_SENSE_PRESENT);
        Complete(ps);
        return;
    }
    if (s.fTransport) {
        if (++psF->bTransportRetries < DRIVE_TRANSPORT_RETRIES) {
            RepostSASEntry(ps);
        } else {
            GiveUp(ps, s);
        }
        return;
    }
    // A power-on or reset attention says nothing of the command: it is
    // simply sent again.
    if (!(IsPowerOnReset(s) && s.bAscq == 0) && ps->bRetryCount > 1) --ps->bRetryCount;
    if (s.bKey == SENSE_MEDIUM_ERROR && IsReadChild(ps)) {
        if (MediaErrorRecovery(ps) != TRUE) GiveUp(ps, s);
        return;
    }
    // A retry count that never started (0) ends as one that ran out.
    if (ps->bRetryCount <= 1) {
        GiveUp(ps, s);
        return;
    }
    if (fOwn) {
        RetryOwnCommand(ps, s);
        return;
    }
    RepostSASEntry(ps);
}

void FailedDriveCommandTask() {
    if (wGetHostChipServiceCount() == 0) return;
    ClearHostChipService();
    KERNEL_ENTRY* ps = nullptr;
    if (bFindEntryInState5B(&ps) != STATUS_FOUND || ps == nullptr) return;
    if (ps->bCommandType == CT_MEMBER_FAILURE_REQUEST) {
        FailRequestedMember(ps);
        return;
    }
    if (IsRebuildChild(ps->bCommandType)) {
        HandleRebuildGivenUp(ps);
        return;
    }
    if (IsOwnDriveCommand(ps->bCommandType)) {
        FailedOwnCommand(ps);
        return;
    }
    if (IsRepairChild(ps->bCommandType)) {
        HandleRepairGivenUp(ps);
        return;
    }
    if (fIsHostIoChildType(ps->bCommandType) != TRUE) {
        // A drive command of the controller's own that the drive side
        // could not deliver: it ends in error.
        SetFlag(ps, KE_FLAG_ABORTED);
        Complete(ps);
        return;
    }
    HandleGivenUp(ps);
}

uint8_t fReadAroundSilentMember(KERNEL_ENTRY* psChild) {
    if (psChild == nullptr || !IsReadChild(psChild)) return FALSE;
    const uint8_t bRank = psChild->bRank, bMember = psChild->bMember;
    if (bRank >= MAX_RANKS || bMember >= MAX_RANK_MEMBERS) return FALSE;
    const KERNEL_ENTRY* psHost = psHostCommandOf(psChild);
    const uint8_t* pbCdb = psHost != nullptr ? pGetCommandCdb(psHost) : nullptr;
    if (pbCdb == nullptr || pbCdb[0] != SCSI_READ16 || fCanRegenerateMember(psChild, bRank, bMember) != TRUE) {
        return FALSE;
    }
    s_aabSilent[bRank][bMember] = TRUE;
    CompleteForRedo(psChild);
    return TRUE;
}

void NoteMemberAnswered(uint8_t bRank, uint8_t bMember) {
    if (bRank < MAX_RANKS && bMember < MAX_RANK_MEMBERS) s_aabSilent[bRank][bMember] = FALSE;
}

uint8_t fIsMemberSilent(uint8_t bRank, uint8_t bMember) {
    return bRank < MAX_RANKS && bMember < MAX_RANK_MEMBERS && s_aabSilent[bRank][bMember] == TRUE ? TRUE : FALSE;
}

void FailArrayMember(uint8_t bRank, uint8_t bMember, uint8_t fDegrade, uint8_t bDrivePosition, uint8_t bSenseKey,
                     uint8_t bAsc, uint8_t bAscq) {
    if (bRank == REBUILD_TARGET_RANK) {
        FailRebuildReplacement(bMember, bDrivePosition, bSenseKey, bAsc, bAscq);
        return;
    }
    if (bRank >= bGetRankCount() || bMember >= MAX_RANK_MEMBERS) return;
    NoteMemberAnswered(bRank, bMember);
    const CONFIG_RANK_RECORD& sStored = pGetConfigImage()->asRank[bRank];
    STORED_FAILURE sFailure{bRank, bMember, fDegrade, bDrivePosition, bSenseKey, bAsc, bAscq, {}};
    std::memcpy(sFailure.abWwn, sStored.aabMemberWwn[bMember], sizeof sFailure.abWwn);
    const bool fLost = bGetRankRaidLevel(bRank) == RAID_LEVEL_0 || !GroupSurvivesLoss(bRank, bMember);
    SetRankMemberState(bRank, bMember, 0xFF);
    SetRankMemberDrive(bRank, bMember, NO_DRIVE);
    SetRankMemberDriveOnPath(bRank, bMember, 4, NO_DRIVE);
    SetRankMemberFlags(bRank, bMember, MEMBER_FAILED);
    if (fLost) {
        SetRankOperationState(bRank, RANK_STATE_FAILED);
    } else if (fDegrade == TRUE) {
        SetRankOperationState(bRank, RANK_STATE_DEGRADED);
    }
    StoreOrDefer(sFailure);
    PostMemberFailed(sFailure.abWwn, sStored.bRankNumber, bMember, bDrivePosition, bSenseKey, bAsc, bAscq);
    RebuildMemberFailed(bRank, bMember);
    EvaluateRankCachePolicy(bRank);
    // The drives learn of it: a restart finds the member failed.
    (void)RequestConfigUpdate(REQUESTER_DRIVE_FAILURE);
    // The drive side is looked at again (the drive may be gone), and a spare
    // takes the member's place at once, without waiting for the next start.
    if (fDegrade == TRUE && fIsMasterController() == TRUE) {
        (void)fRequestDriveRescan();
        if (!fLost && fGetAutoRebuild() == TRUE) SetRebuildCheckPending(TRUE);
    }
}

void StoreDeferredMemberFailures() {
    if (s_bDeferred == 0) return;
    for (uint8_t i = 0; i < s_bDeferred; ++i) StoreMemberFailure(s_asDeferred[i]);
    s_bDeferred = 0;
    (void)RequestConfigUpdate(REQUESTER_DRIVE_FAILURE);
}

}  // namespace fw
