// The SCSI command dispatcher and what it provides to the LUN scheduler.
//
// The checks run in a fixed order; each runs only when the earlier ones let
// the command through.  Nothing waits here: a command that cannot go on is
// put back at the tail of the new-command ring, or left at the head with a
// result other than 255 so that dispatching stops for this cycle.
#include "target/dispatcher.h"

#include <cstddef>
#include <cstring>

#include "cache/cache.h"
#include "cache/write_start.h"
#include "cache/outstanding_queues.h"
#include "config/config_db.h"
#include "config/host_lun_tables.h"
#include "config/host_port_tables.h"
#include "config/ld_table.h"
#include "config/rank_table.h"
#include "dataservices/data_services.h"
#include "enclosure/drive_management.h"
#include "eventlog/event_log.h"
#include "eventlog/statistics.h"
#include "eventlog/target_trace.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "fc/fc_driver.h"
#include "hw/fc_target_iocb.h"
#include "hw/scsi.h"
#include "mgmt/management.h"
#include "partner/partner_link.h"
#include "sas/sas_drive.h"
#include "target/buffer_commands.h"
#include "target/command_access.h"
#include "target/command_checks.h"
#include "target/drive_pass_through.h"
#include "target/host_command_pool.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/inquiry.h"
#include "target/lun_scheduler.h"
#include "target/mode_pages.h"
#include "target/scsi_status.h"
#include "target/stage_rings.h"
#include "target/target_commands.h"
#include "target/target_engine.h"
#include "target/target_queue_management.h"
#include "target/unit_attention.h"

namespace fw {

namespace {

constexpr uint8_t DISPATCH_DONE = STATUS_OK;
constexpr uint8_t DISPATCH_WAIT = STATUS_RETRY;
constexpr uint8_t GO_ON = 0;   // the checks let the command through

// LUN look-up results besides those of the host LUN tables.
constexpr uint8_t LOOKUP_MAPPED = LUN_LOOKUP_LD;
constexpr uint8_t LOOKUP_SNAPSHOT = LUN_LOOKUP_VIRTUAL;
constexpr uint8_t LOOKUP_READ_ONLY = LUN_LOOKUP_READ_ONLY;
constexpr uint8_t LOOKUP_NO_LUN = 3;
constexpr uint8_t LOOKUP_NOT_MAPPED = LUN_LOOKUP_NONE;

constexpr uint8_t EVENT_UNIT_ATTENTION_REPORTED = 46;
constexpr uint8_t OPCODE_0X20 = 0x20;   // answered like INQUIRY before a LUN is known
constexpr uint8_t MAX_SNAPSHOTS = 64;
// Byte 1 bits 1-3 of WRITE AND VERIFY, which its conversion to WRITE(16) clears.
constexpr uint8_t WRITE_AND_VERIFY_FLAGS = 0x0E;
// Its BYTCHK field, bits 1-2, of which the value 2 is reserved.
constexpr uint8_t WRITE_AND_VERIFY_BYTCHK = 0x06;
constexpr uint8_t WRITE_AND_VERIFY_BYTCHK_RESERVED = 0x04;
constexpr uint8_t WRITE_AND_VERIFY_BYTCHK_HIGH_BIT = 2;
constexpr uint8_t PROTECT_FIELD = 0xE0;   // byte 1 of READ and WRITE(10/16)
constexpr uint64_t UNMAPPED_RETRY_MS = 9999;
constexpr uint16_t MAX_LUN_RING_COMMANDS = 255;
constexpr uint8_t SAS_HOLD_OFF_RUNNING = 9;
constexpr uint8_t TQM_REFUSED = 240;
constexpr uint8_t TQM_WAIT = 238;
constexpr uint8_t MAX_RANKS_TRACKED = 64;
constexpr uint8_t NO_SECOND_RANK = 255;
constexpr uint16_t BLOCKS_OF_ONE_SEGMENT_RANK = 16;
constexpr uint16_t BLOCKS_OF_SHARED_RANK = 4;
constexpr uint16_t BLOCKS_UNDER_POLICY = 3;

// While the pair holds host work (a takeover, a start together, a flush)
// new commands wait for it to end; one that has waited this long is
// answered instead, well inside the 30 s hosts commonly give a command.
constexpr uint64_t HELD_COMMAND_ANSWER_MS = 20000;

uint8_t s_fSchedulerFirstPass = TRUE;
// The dispatcher runs for commands held past their time.
bool s_fAnsweringHeld = false;
uint16_t s_awSchedulerCounters[2];

// One call's view of the command.
struct DISPATCH {
    KERNEL_ENTRY* psEntry;
    uint8_t* pbCdb;
    uint8_t bPortCode;
    uint8_t bPortIndex;   // of the per-port reservation tables
    uint8_t bController;
    bool fDual;
    uint16_t wInitiator;
    uint16_t wHostLun;
    uint8_t bLookup;
    uint16_t wLd;         // 0xFFFF when none
    bool fReadOnly;
    bool fTracking;       // stripe-access tracking of the logical drive
    bool fClaimed;        // the claim at admission asked for the partner
};

bool IsFibre(uint8_t bPortCode) { return bPortCode == PORT_CODE_FC_HOST_1 || bPortCode == PORT_CODE_FC_HOST_2; }
bool IsSasHost(uint8_t bPortCode) { return bPortCode == PORT_CODE_SAS_HOST_1 || bPortCode == PORT_CODE_SAS_HOST_2; }
// The host ports of every host interface: the others carry commands made
// inside the controller or by the embedded module.
bool IsHostPortCommand(uint8_t bPortCode) {
    return IsFibre(bPortCode) || IsSasHost(bPortCode) || bPortCode == PORT_CODE_FC_TABLE_1 ||
           bPortCode == PORT_CODE_FC_TABLE_2;
}
bool IsAdmitted(const KERNEL_ENTRY* psEntry) { return psEntry->fValid == TRUE; }
bool IsReadWrite16(uint8_t bOpcode) { return bOpcode == SCSI_READ16 || bOpcode == SCSI_WRITE16; }

// Every refusal: state 21, no completion code, a command not yet admitted
// loses its opcode so that no later stage takes it for a READ or WRITE.
void Refuse(const DISPATCH& s, uint8_t bCode, uint8_t bAsc, uint8_t bAscq) {
    KERNEL_ENTRY* ps = s.psEntry;
    ClearFlag(ps, KE_FLAG_MORE_PASSES);
    ps->bPrimaryState = HOST_STATE_STATUS;
    ps->wChildrenOutstanding = 0;
    ps->wTotalChildren = 0;
    if (!IsAdmitted(ps)) s.pbCdb[0] = 0;
    (void)SendScsiStatus(ps, bCode, bAsc, bAscq);
    DecPortNewCommands(s.bPortCode);
}

void AnswerInvalidOpcode(const DISPATCH& s) {
    CountInvalidCommand();
    Refuse(s, SENSE_ILLEGAL_REQUEST, ASC_INVALID_OPCODE, 0);
}

void RefuseConflict(const DISPATCH& s) {
    CountReservationConflict();
    Refuse(s, SCSI_STATUS_RESERVATION_CONFLICT, 0, 0);
}

// READ BUFFER and WRITE BUFFER of the management path, which only port
// code 49 carries, face neither unit attentions nor persistent reservations.
bool IsManagementExempt(const DISPATCH& s) {
    if (s.bPortCode != PORT_CODE_FC_TABLE_1) return false;
    const uint8_t bMode = s.pbCdb[1] & 0x0F;
    const uint8_t bBufferId = s.pbCdb[2];
    if (s.pbCdb[0] == SCSI_READ_BUFFER) return bMode == 10 || bMode == 11 || (bBufferId == 0 && (bMode == 2 || bMode == 3));
    if (s.pbCdb[0] == SCSI_WRITE_BUFFER) return bMode == 10 || (bBufferId == 0 && bMode == 2);
    return false;
}

// Opcodes that are served on a LUN without a logical drive.
bool IsServedWithoutDrive(const DISPATCH& s) {
    switch (s.pbCdb[0]) {
    case SCSI_INQUIRY:
    case SCSI_READ_BUFFER:
    case SCSI_WRITE_BUFFER:
    case SCSI_REPORT_LUNS:
    case OPCODE_0X20:
    case SCSI_REQUEST_SENSE: return true;
    case SCSI_TEST_UNIT_READY:
        return s.wHostLun == wGetInitiatorControllerLun(s.psEntry) || bGetHostInterfaceType() == HOST_INTERFACE_SAS;
    case SCSI_MAINTENANCE_OUT: return s.pbCdb[2] >= 1 && s.pbCdb[2] <= 3;
    default: return false;
    }
}

bool IsUnitAttentionExempt(const DISPATCH& s) {
    switch (s.pbCdb[0]) {
    case SCSI_INQUIRY:
    case SCSI_REQUEST_SENSE:
    case SCSI_REPORT_LUNS:
    case OPCODE_0X20: return true;
    default: return IsManagementExempt(s);
    }
}

// Step 14.2: an unmapped LUN.  On ISP2x00 host ports an initiator that is not
// logged in yet gets ten seconds from its arrival for the login to come.
uint8_t bCheckUnmapped(const DISPATCH& s) {
    if (s.bLookup != LOOKUP_NOT_MAPPED) return GO_ON;
    if (IsFibre(s.bPortCode) && fIsQL24xx() != TRUE &&
        fIsHostPortIdKnown(s.bPortCode, static_cast<uint8_t>(s.wInitiator)) != TRUE &&
        lGetTickCount() - s.psEntry->lArrivalMs <= UNMAPPED_RETRY_MS) {
        SetFlag(s.psEntry, KE_FLAG_UNMAPPED_RETRY_USED);
        return DISPATCH_WAIT;
    }
    if (IsServedWithoutDrive(s)) return GO_ON;
    ClearFlag(s.psEntry, KE_FLAG_MORE_PASSES);
    AnswerLunNotSupported(s.psEntry);
    return DISPATCH_DONE;
}

// Step 14.3: a pending unit attention wins over a persistent-reservation one.
uint8_t bCheckUnitAttention(const DISPATCH& s) {
    if (IsUnitAttentionExempt(s)) return GO_ON;
    const uint8_t bInitiator = static_cast<uint8_t>(s.wInitiator);
    if (fGetUnitAttention(s.bPortCode, bInitiator, s.wHostLun) == TRUE) {
        PostEvent(EVENT_UNIT_ATTENTION_REPORTED, bEventHostPort(s.bPortCode), bInitiator,
                  static_cast<uint8_t>(s.wHostLun), static_cast<uint8_t>(s.wHostLun >> 8), s.pbCdb[0],
                  s.bController);
        SetUnitAttention(s.bPortCode, bInitiator, s.wHostLun, FALSE);
        Refuse(s, SENSE_UNIT_ATTENTION, ASC_POWER_ON_RESET, 0);
        return DISPATCH_DONE;
    }
    if (fGetPrAttentionPendingByte(s.bPortIndex) != TRUE) return GO_ON;
    uint8_t bReason;
    uint8_t bAsc;
    uint8_t bAscq;
    // Registrations, and so their attentions, belong to logical drives.
    if (bGetPendingPrAttention(s.bController, s.bPortCode, s.bPortIndex, s.wInitiator, s.wLd, &bReason, &bAsc,
                               &bAscq) != TRUE) {
        return GO_ON;
    }
    AnswerPendingPrAttention(s.bController, s.bPortCode, s.wInitiator, s.wLd, s.psEntry);
    return DISPATCH_DONE;
}

uint8_t bCheckControllerHold(const DISPATCH& s) {
    if (fIsBackgroundHold() != TRUE || s.pbCdb[0] == SCSI_WRITE_BUFFER) return GO_ON;
    if (fIsLinePowerMode() == TRUE && s.wLd == 0) return GO_ON;
    Refuse(s, SENSE_NOT_READY, ASC_NOT_READY, 3);
    return DISPATCH_DONE;
}

// A command held past its time gets NOT READY, becoming ready (04/01), on
// which hosts retry it later; what only names the target and its LUNs is
// answered as ever.
uint8_t bCheckHeldTooLong(const DISPATCH& s) {
    if (!s_fAnsweringHeld) return GO_ON;
    switch (s.pbCdb[0]) {
    case SCSI_INQUIRY:
    case SCSI_REPORT_LUNS:
    case SCSI_REQUEST_SENSE:
    case OPCODE_0X20: return GO_ON;
    default: break;
    }
    Refuse(s, SENSE_NOT_READY, ASC_NOT_READY, 1);
    return DISPATCH_DONE;
}

bool IsWriteAndVerify(uint8_t bOpcode) { return bOpcode == SCSI_WRITE_AND_VERIFY10 || bOpcode == SCSI_WRITE_AND_VERIFY16; }

bool IsConvertedAtAdmission(uint8_t bOpcode) {
    switch (bOpcode) {
    case SCSI_READ6:
    case SCSI_WRITE6:
    case SCSI_READ10:
    case SCSI_WRITE10:
    case SCSI_SEEK10:
    case SCSI_WRITE_AND_VERIFY10:
    case SCSI_WRITE_AND_VERIFY16: return true;
    default: return false;
    }
}

// The logical drives carry no protection information, and INQUIRY says so:
// a READ or WRITE that asks for its checks (RDPROTECT, WRPROTECT: byte 1
// bits 5-7 of the 10- and 16-byte forms) is refused rather than served
// unchecked.  In the 6-byte forms those bits are the obsolete LUN field,
// which the conversion keeps as received.
bool AsksForProtection(const uint8_t* pbCdb) {
    switch (pbCdb[0]) {
    case SCSI_READ10:
    case SCSI_WRITE10:
    case SCSI_WRITE_AND_VERIFY10:
    case SCSI_READ16:
    case SCSI_WRITE16:
    case SCSI_WRITE_AND_VERIFY16: return (pbCdb[1] & PROTECT_FIELD) != 0;
    default: return false;
    }
}

// ASC 0x0E, ASCQ 3: invalid field in command information unit (the
// transport's framing of the command, not its CDB, is at fault).
constexpr uint8_t ASC_INVALID_INFORMATION_UNIT = 0x0E;
constexpr uint8_t ASCQ_INVALID_FIELD_IN_COMMAND_IU = 0x03;

// The directions a Fibre Channel initiator said the command moves data in
// (FCP_READ_DATA, FCP_WRITE_DATA): the received command block sits at the
// head of its entry in the ISP2x00 layout.
uint8_t bFibreDataDirection(const KERNEL_ENTRY* psEntry) {
    return reinterpret_cast<const uint8_t*>(psEntry)[offsetof(ATIO2_ENTRY, bDataDirection)] &
           (FCP_READ_DATA | FCP_WRITE_DATA);
}

// The direction a block command moves its data in: FCP_READ_DATA for the
// READs, FCP_WRITE_DATA for the WRITEs and for a VERIFY that compares the
// host's data; 0 for any other command.
uint8_t bBlockDataDirection(const uint8_t* pbCdb) {
    switch (pbCdb[0]) {
    case SCSI_READ6:
    case SCSI_READ10:
    case SCSI_READ12:
    case SCSI_READ16: return FCP_READ_DATA;
    case SCSI_WRITE6:
    case SCSI_WRITE10:
    case SCSI_WRITE12:
    case SCSI_WRITE16:
    case SCSI_WRITE_AND_VERIFY10:
    case SCSI_WRITE_AND_VERIFY16: return FCP_WRITE_DATA;
    case SCSI_VERIFY10:
    case SCSI_VERIFY12:
    case SCSI_VERIFY16: return (pbCdb[1] & WRITE_AND_VERIFY_BYTCHK) != 0 ? FCP_WRITE_DATA : 0;
    default: return 0;
    }
}

// A Fibre Channel command that expects data but not in the direction its
// CDB moves it: a WRITE whose host said it sends nothing would be carried
// out on data that never came, so it is refused before it touches the
// medium.
bool HasWrongDirection(const DISPATCH& s) {
    if (!IsFibre(s.bPortCode) || dGetCommandExpectedLength(s.psEntry) == 0) return false;
    // A VERIFY whose data is in comes back as the READ(16) of its blocks.
    if (fIsVerifyCompare(s.psEntry) == TRUE) return false;
    // A read the host marked as sending data takes none from it: it is
    // served, its data as the host's expected length allows.
    const uint8_t bWanted = bBlockDataDirection(s.pbCdb);
    return bWanted == FCP_WRITE_DATA && (bFibreDataDirection(s.psEntry) & bWanted) == 0;
}

// Step 14.7: the admission of a READ(16) or WRITE(16).
uint8_t bAdmitReadWrite(DISPATCH& s) {
    KERNEL_ENTRY* ps = s.psEntry;
    uint8_t bKey;
    uint8_t bAsc;
    uint8_t bAscq;
    if (bCheckLbaRange(ps, s.wLd, &bKey, &bAsc, &bAscq) != STATUS_OK) {
        // A transfer length of 0 inside the drive comes back with key 0: GOOD.
        Refuse(s, bKey, bAsc, bAscq);
        return DISPATCH_DONE;
    }
    const bool fWrite = s.pbCdb[0] == SCSI_WRITE16;
    if (fWrite && IsFibre(s.bPortCode) &&
        dFitFibreWriteToExpectedLength(ps, dBlockFactor(s.wLd)) == 0) {
        // FCP_DL holds not one whole block: nothing is written.
        Refuse(s, SCSI_STATUS_GOOD, 0, 0);
        return DISPATCH_DONE;
    }
    ParseReadWrite16Cdb(ps);
    (void)bSetupTransferPass(ps);
    if (ps->bRank < MAX_RANKS_TRACKED && bGetArrayAPMState(ps->bRank) == APM_SPUN_DOWN) {
        (void)bSpinArrayUpDown(TRUE, ps->bRank);
    }
    if (ps->bSecondRank < NO_SECOND_RANK && bGetArrayAPMState(ps->bSecondRank) == APM_SPUN_DOWN) {
        (void)bSpinArrayUpDown(TRUE, ps->bSecondRank);
    }
    if (fIsDriveFirmwareDownloadInProgress() == TRUE && fIsCommandForDownloadDrive(ps) == TRUE) {
        Refuse(s, SENSE_NOT_READY, ASC_NOT_READY, 1);
        return DISPATCH_DONE;
    }
    if (s.fTracking) s.fClaimed = fClaimStripeAccessEntry(ps) == TRUE;
    const bool fSnapshot = HasFlag(ps, KE_FLAG_SNAPSHOT);
    const bool fUnreadable = fIsLdRestoreInProgress(s.wLd) == TRUE || (fSnapshot && fIsSnapshotUnreadable(ps) == TRUE);
    if (fUnreadable || (fWrite && fGetODAStartupInProg() == TRUE)) {
        Refuse(s, SENSE_NOT_READY, ASC_NOT_READY, 1);
        return DISPATCH_DONE;
    }
    if (fWrite) {
        pHostFields(ps)->wWriteOrderKey = ps->wIndex;
        IncHostWritesInProgress();
        UpdateAccessStatistics(ps, FALSE);
        if (s.fTracking && !HasFlag(ps, KE_FLAG_IN_WRITE_QUEUE)) InsertOutstandingWrite(ps);
    } else {
        IncHostReadsInProgress();
        UpdateAccessStatistics(ps, TRUE);
        if (s.fTracking && !HasFlag(ps, KE_FLAG_IN_READ_QUEUE) && !fSnapshot) InsertOutstandingRead(ps);
    }
    AddHostBlocksTransferred(wGetBe16(s.pbCdb + 12));
    ps->fValid = TRUE;
    return GO_ON;
}

// Step 14: the checks of a command not yet admitted.
uint8_t bAdmit(DISPATCH& s) {
    RecordTarCmdTrace(s.psEntry);
    uint8_t bResult = bCheckUnmapped(s);
    if (bResult == GO_ON) bResult = bCheckUnitAttention(s);
    if (bResult == GO_ON) bResult = bCheckControllerHold(s);
    if (bResult == GO_ON) bResult = bCheckHeldTooLong(s);
    if (bResult != GO_ON) return bResult;
    // 0x8B is only the form every SEEK takes inside the controller; no host
    // command of that opcode is served (a host means another command by it).
    if (s.pbCdb[0] == SCSI_SEEK16_FORM) {
        AnswerInvalidOpcode(s);
        return DISPATCH_DONE;
    }
    if (AsksForProtection(s.pbCdb)) {
        Refuse(s, SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB, 0);
        return DISPATCH_DONE;
    }
    if (HasWrongDirection(s)) {
        Refuse(s, SENSE_ILLEGAL_REQUEST, ASC_INVALID_INFORMATION_UNIT, ASCQ_INVALID_FIELD_IN_COMMAND_IU);
        return DISPATCH_DONE;
    }
    // WRITE AND VERIFY's BYTCHK value 2 is reserved: refused before the
    // conversion to WRITE(16) drops the field.
    if (IsWriteAndVerify(s.pbCdb[0]) && (s.pbCdb[1] & WRITE_AND_VERIFY_BYTCHK) == WRITE_AND_VERIFY_BYTCHK_RESERVED) {
        SetSenseCdbField(s.psEntry, 1, WRITE_AND_VERIFY_BYTCHK_HIGH_BIT);
        Refuse(s, SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB, 0);
        return DISPATCH_DONE;
    }
    if (IsConvertedAtAdmission(s.pbCdb[0])) ConvertCdbTo16(s.pbCdb);
    s.psEntry->wLunIndex = s.wLd;
    if (IsReadWrite16(s.pbCdb[0])) return bAdmitReadWrite(s);
    s.psEntry->fValid = TRUE;
    return GO_ON;
}

// Step 16: a command whose array spins up, or is still parked, waits.  A
// parked array whose spin-up could not be asked for at admission (the spin
// job's entry or its routine list was full) is asked again here: the
// command never reaches a parked drive.
bool IsWaitingForSpinUp(const KERNEL_ENTRY* ps) {
    bool fWaits = false;
    const uint8_t abRanks[2] = {ps->bRank, ps->bSecondRank};
    for (const uint8_t bRank : abRanks) {
        if (bRank >= MAX_RANKS_TRACKED) continue;
        const uint8_t bState = bGetArrayAPMState(bRank);
        if (bState == APM_SPUN_DOWN) (void)bSpinArrayUpDown(TRUE, bRank);
        fWaits = fWaits || bState == APM_SPUN_DOWN || bState == APM_SPINNING_UP;
    }
    return fWaits;
}

// Step 17: with two controllers, access to the stripes may have to be
// arranged with the partner (message 118) before the command goes on.
uint8_t bCheckPartnerStripeAccess(const DISPATCH& s) {
    if (!s.fDual) return GO_ON;
    KERNEL_ENTRY* ps = s.psEntry;
    bool fNeeds = s.fClaimed || ps->bCommandType == COMMAND_TYPE_PARTNER_ACCESS_U;
    if (ps->bCommandType == COMMAND_TYPE_PARTNER_ACCESS_W && fGetStripeAccessOFlag(ps->wIndex) == TRUE) {
        SetStripeAccessOFlag(ps->wIndex, FALSE);
        fNeeds = true;
    }
    if (!fNeeds) return GO_ON;
    if (bCheckOutgoingQueueSpace(PARTNER_MESSAGE_STRIPE_ACCESS) != STATUS_OK) {
        // The claim at admission is not made again: the command waits as
        // one refused, so its next dispatch still asks.
        ps->bCommandType = COMMAND_TYPE_PARTNER_ACCESS_U;
        return DISPATCH_WAIT;
    }
    if (fGetStripeAccessSFlag(ps->wIndex) == TRUE) return GO_ON;
    if (!HasFlag(ps, KE_FLAG_ABORTED)) {
        // Only a request that went out has an answer to wait for (it marks
        // the command asking); one that did not (no path to the partner just
        // now) is asked again at the command's next dispatch.
        if (bSendEventRateMessage118(ps) != STATUS_OK) ps->bCommandType = COMMAND_TYPE_PARTNER_ACCESS_U;
        PutBackNewCommand(ps);
        return DISPATCH_DONE;
    }
    DecPortNewCommands(s.bPortCode);
    if (HasFlag(ps, KE_FLAG_LUN_STATISTICS)) UpdateStatisticsOnCommandComplete(ps);
    MarkFinishedWithoutStatus(ps);
    QueueCommandComplete(s.bPortCode, ps->wIndex);
    return DISPATCH_DONE;
}

uint8_t bCheckReservations(const DISPATCH& s) {
    const uint8_t bOpcode = s.pbCdb[0];
    const bool fPlainStart = bOpcode == SCSI_START_STOP_UNIT && (s.pbCdb[4] & 0xF1) == 1;
    const bool fPrExempt = fPlainStart || bOpcode == SCSI_READ_CAPACITY10 || bOpcode == SCSI_SERVICE_ACTION_IN16;
    if (!fPrExempt && s.wLd < LUN_COUNT && fIsAnyPersistentReservation() == TRUE && !IsManagementExempt(s) &&
        bCheckPersistentReservation(s.bController, s.bPortCode, s.bPortIndex, bOpcode, s.wLd, s.wInitiator) ==
            PR_CONFLICT) {
        RefuseConflict(s);
        return DISPATCH_DONE;
    }
    switch (bOpcode) {
    case SCSI_REQUEST_SENSE:
    case SCSI_RELEASE6:
    case SCSI_RELEASE10:
    case SCSI_READ_BUFFER:
    case SCSI_WRITE_BUFFER:
    case SCSI_TEST_UNIT_READY: return GO_ON;
    default: break;
    }
    if (bCheckScsi2Reservation(s.bPortCode, s.wLd, s.wInitiator, FALSE) == RESERVATION_CONFLICT) {
        RefuseConflict(s);
        return DISPATCH_DONE;
    }
    return GO_ON;
}

// A command back for its next pass finds room at the head of its ring: a
// full ring sends the command queued last back to the new-command ring,
// unless that one too is a later pass (the whole ring is then commands in
// passes, which go on).  False when there is no room.
bool MakeRoomForNextPass(uint16_t wLd) {
    if (wGetLunQueueCount(wLd) < LUN_RING_CAPACITY) return true;
    const uint16_t wNewest = wTakeNewestLunCommand(wLd);
    KERNEL_ENTRY* psNewest = nullptr;
    wGetTargetEntry(wNewest, &psNewest);
    if (psNewest == nullptr) return wNewest != RING_EMPTY_SLOT;
    if (psNewest->bPrimaryState == HOST_STATE_LUN_QUEUED && psNewest->wBlocksDone != 0) {
        (void)QueueLunCommand(wNewest, wLd);
        return false;
    }
    // A slot whose command left the ring already names nothing to put back.
    if (psNewest->bPrimaryState != HOST_STATE_LUN_QUEUED || !HasFlag(psNewest, KE_FLAG_ON_LUN_RING)) return true;
    ClearFlag(psNewest, KE_FLAG_ON_LUN_RING);
    psNewest->bPrimaryState = HOST_STATE_NEW_COMMAND;
    QueueNewCommand(psNewest->bPortCode, psNewest->wIndex);
    // Its total count stays the one of its arrival.
    DecPortTotalCommands(psNewest->bPortCode);
    return true;
}

// READ(16) and WRITE(16) wait on their logical drive's ring; a full ring
// sends the command back to wait on the new-command ring.  A command back
// for its next pass goes to the head of the ring: its first pass took its
// array's share of writes in progress for the whole command, and commands
// queued since may wait for that share, which it gives back only after
// its last pass.  Behind them it would wait for them for ever.
void QueueOnLunRing(const DISPATCH& s) {
    KERNEL_ENTRY* ps = s.psEntry;
    // A compare's pass reads its blocks only once the host's data for them is in.
    if (fStartVerifyData(ps) == TRUE) return;
    const bool fNextPass = ps->wBlocksDone != 0;
    if (fNextPass ? !MakeRoomForNextPass(s.wLd) : wGetLunQueueCount(s.wLd) > MAX_LUN_RING_COMMANDS) {
        PutBackNewCommand(ps);
        return;
    }
    ps->bPrimaryState = HOST_STATE_LUN_QUEUED;
    SetFlag(ps, KE_FLAG_ON_LUN_RING);
    DecPortNewCommands(s.bPortCode);
    if ((fNextPass ? QueueLunCommandFirst(ps->wIndex, s.wLd) : QueueLunCommand(ps->wIndex, s.wLd)) != STATUS_OK) {
        // Only a drive outside the table gets here: the command cannot wait
        // on any ring and is answered as the drive not being there.
        ClearFlag(ps, KE_FLAG_ON_LUN_RING);
        ps->bPrimaryState = HOST_STATE_STATUS;
        (void)SendScsiStatus(ps, SENSE_ILLEGAL_REQUEST, ASC_LUN_NOT_SUPPORTED, 0);
    }
}

// Step 23: one table of opcodes up to 0xA4.  A handler that found no buffer
// page answers 66: the command stays at the head and dispatching stops for
// this cycle.
uint8_t bDispatchByOpcode(const DISPATCH& s) {
    KERNEL_ENTRY* ps = s.psEntry;
    switch (s.pbCdb[0]) {
    case SCSI_TEST_UNIT_READY: AnswerTestUnitReady(ps); break;
    case SCSI_REZERO_UNIT:
    case SCSI_START_STOP_UNIT:
    case SCSI_RECEIVE_DIAGNOSTIC:
    case SCSI_SEND_DIAGNOSTIC: AnswerNoOperation(ps); break;
    case SCSI_REQUEST_SENSE: {
        const uint8_t bInitiator = static_cast<uint8_t>(s.wInitiator);
        const uint8_t fAttention = fGetUnitAttention(s.bPortCode, bInitiator, s.wHostLun);
        const uint8_t bResult = bAnswerRequestSense(ps, fAttention);
        // Reported once: cleared only when the sense went out.
        if (fAttention == TRUE && bResult == DISPATCH_DONE) {
            SetUnitAttention(s.bPortCode, bInitiator, s.wHostLun, FALSE);
        }
        return bResult;
    }
    case SCSI_SEEK6:
    case SCSI_VERIFY10: ConvertCdbTo16(s.pbCdb); return bDispatchByOpcode(s);
    case SCSI_SEEK10:
    case SCSI_SEEK16_FORM: AnswerSeek(ps); break;
    case SCSI_VERIFY16: AnswerVerify(ps); break;
    case SCSI_MODE_SELECT6:
    case SCSI_MODE_SELECT10: return ModeSelect(ps);
    // MODE SENSE widens the 6-byte form itself, remembering which it was.
    case SCSI_MODE_SENSE6:
    case SCSI_MODE_SENSE10: return ModeSense(ps);
    case SCSI_RESERVE6: WidenCdbTo10(s.pbCdb); return AnswerReserve(ps, s.wLd);
    case SCSI_RESERVE10: return AnswerReserve(ps, s.wLd);
    case SCSI_RELEASE6: WidenCdbTo10(s.pbCdb); return AnswerRelease(ps, s.wLd);
    case SCSI_RELEASE10: return AnswerRelease(ps, s.wLd);
    case SCSI_READ_CAPACITY10:
    case SCSI_SERVICE_ACTION_IN16: return bAnswerReadCapacity(ps);
    case SCSI_SYNCHRONIZE_CACHE10: AnswerSynchronizeCache(ps); break;
    case SCSI_READ_DEFECT_DATA10: return bAnswerReadDefectData(ps);
    case SCSI_WRITE_BUFFER: return bAnswerWriteBuffer(ps);
    case SCSI_READ_BUFFER: return bAnswerReadBuffer(ps);
    case SCSI_PERSISTENT_RESERVE_IN: AnswerPersistentReserveIn(ps); break;
    case SCSI_PERSISTENT_RESERVE_OUT:
        if (fIsPrOutInProgress() == TRUE) {
            PutBackNewCommand(ps);
        } else {
            AnswerPersistentReserveOut(ps);
        }
        break;
    case SCSI_READ16:
    case SCSI_WRITE16: QueueOnLunRing(s); break;
    case SCSI_REPORT_LUNS: return bAnswerReportLuns(ps);
    case SCSI_MAINTENANCE_IN: AnswerMaintenanceIn(ps); break;
    case SCSI_MAINTENANCE_OUT: AnswerMaintenanceOut(ps); break;
    default: AnswerInvalidOpcode(s); break;
    }
    return DISPATCH_DONE;
}

// A SAS host's command waits under the first port until the driver knows
// which port its host is on; one from a host on the second port moves
// there, to be mapped and counted as that port's.
uint8_t bRouteSasCommand(KERNEL_ENTRY* ps) {
    HOST_COMMAND_FIELDS* pf = pHostFields(ps);
    if (pf->bRoutedPort == PORT_CODE_SAS_HOST_1) return GO_ON;
    if (pf->bRoutedPort != PORT_CODE_SAS_HOST_2) {
        const uint8_t bRouted = bGetSASInitiatorPort(wGetCommandInitiator(ps));
        if (bRouted == SAS_PORT_UNRESOLVED) {
            PutBackNewCommand(ps);
            return DISPATCH_DONE;
        }
        pf->bRoutedPort = bRouted;
        RegisterSASCommandPort(ps, bRouted);
        if (bRouted == PORT_CODE_SAS_HOST_1) return GO_ON;
    }
    DecPortNewCommands(PORT_CODE_SAS_HOST_1);
    DecPortTotalCommands(PORT_CODE_SAS_HOST_1);
    ps->bPortCode = PORT_CODE_SAS_HOST_2;
    QueueNewCommand(PORT_CODE_SAS_HOST_2, ps->wIndex);
    return DISPATCH_DONE;
}

// Steps 8 to 13: who sent the command, and what its LUN maps to.
uint8_t bLookUpLun(DISPATCH& s) {
    KERNEL_ENTRY* ps = s.psEntry;
    s.pbCdb = pGetCommandCdb(ps);
    s.wInitiator = wGetCommandInitiator(ps);
    s.wHostLun = wGetCommandLun(ps);
    s.wLd = NO_LUN_INDEX;
    if (!IsFibre(s.bPortCode) && HasFlag(ps, KE_FLAG_ABORTED)) {
        ClearFlag(ps, KE_FLAG_MORE_PASSES);
        FinishWithoutStatus(ps);
        return DISPATCH_DONE;
    }
    const bool fMadeInside = ps->bCommandType == COMMAND_TYPE_DATA_SERVICES;
    if (IsSasHost(s.bPortCode) && !fMadeInside &&
        (fIsSASTargetPortServiceRequested(s.bPortCode) == TRUE || fIsSASTargetPortEventPending(s.bPortCode) == TRUE ||
         bGetHostPortLinkFlag(s.bPortCode) == TRUE)) {
        return DISPATCH_WAIT;
    }
    if (s.bPortCode == PORT_CODE_SAS_HOST_1 && !fMadeInside && bRouteSasCommand(ps) != GO_ON) return DISPATCH_DONE;
    s.bLookup = fMadeInside ? LOOKUP_NO_LUN : bLookupCommandLun(ps, &s.wLd);
    s.fReadOnly = (s.bLookup & LOOKUP_READ_ONLY) != 0 && s.bLookup != LOOKUP_NOT_MAPPED;
    if (fMadeInside || s.bLookup == LOOKUP_NOT_MAPPED) s.wLd = NO_LUN_INDEX;
    if ((s.bLookup & ~LOOKUP_READ_ONLY) == LOOKUP_SNAPSHOT && s.bLookup != LOOKUP_NOT_MAPPED) {
        if (fGetODAStartupInProg() == TRUE) {
            if (IsFibre(s.bPortCode) && fIsQL24xx() == TRUE) pHostFields(ps)->wInitiatorHandle = NO_INITIATOR_HANDLE;
            PutBackNewCommand(ps);
            return DISPATCH_DONE;
        }
        uint16_t wSource = NO_LUN_INDEX;
        uint8_t bSnapshot = 0xFF;
        GetSnapshotSourceOfLun(s.wLd, &wSource, &bSnapshot);
        SetFlag(ps, KE_FLAG_SNAPSHOT);
        pHostFields(ps)->wVlun = static_cast<uint16_t>(s.wLd + SNAPSHOT_LUN_BIT);
        if (wSource < LUN_COUNT && bSnapshot < MAX_SNAPSHOTS) {
            s.wLd = wSource;
        } else {
            s.bLookup = LOOKUP_NOT_MAPPED;
            s.wLd = NO_LUN_INDEX;
        }
    }
    // A logical drive both controllers present has its stripe access
    // tracked, so that the two never write one row at once.
    s.fTracking = s.bLookup != LOOKUP_NO_LUN && s.bLookup != LOOKUP_NOT_MAPPED &&
                  bGetLogicalDriveBothControllers(s.wLd) == TRUE;
    return GO_ON;
}

}  // namespace

void PutBackNewCommand(KERNEL_ENTRY* psEntry) {
    DecPortNewCommands(psEntry->bPortCode);
    DecPortTotalCommands(psEntry->bPortCode);
    QueueNewCommand(psEntry->bPortCode, psEntry->wIndex);
}

void FinishWithoutStatus(KERNEL_ENTRY* psEntry) {
    DecPortNewCommands(psEntry->bPortCode);
    MarkFinishedWithoutStatus(psEntry);
    QueueCommandComplete(psEntry->bPortCode, psEntry->wIndex);
}

void AnswerLunNotSupported(KERNEL_ENTRY* psEntry) {
    if (HasFlag(psEntry, KE_FLAG_ON_LUN_RING)) {
        RemoveFromLunRing(psEntry->wLunIndex);
    } else {
        DecPortNewCommands(psEntry->bPortCode);
    }
    if (HasFlag(psEntry, KE_FLAG_INTERNAL)) {
        psEntry->bPrimaryState = HOST_STATE_COMPLETE;
        QueueCommandComplete(PORT_CODE_MODULE, psEntry->wIndex);
        return;
    }
    psEntry->bPrimaryState = HOST_STATE_STATUS;
    psEntry->wChildrenOutstanding = 0;
    psEntry->wTotalChildren = 0;
    uint8_t* pbCdb = pGetCommandCdb(psEntry);
    if (psEntry->fValid != TRUE && pbCdb != nullptr) pbCdb[0] = 0;
    (void)SendScsiStatus(psEntry, SENSE_ILLEGAL_REQUEST, ASC_LUN_NOT_SUPPORTED, 0);
}

uint8_t bDispatchHostCommand(uint8_t bPortCode) {
    KERNEL_ENTRY* psEntry = nullptr;
    if (bPeekNewCommand(&psEntry) != STATUS_FOUND) {
        DropNewCommandHead(bPortCode);
        return DISPATCH_DONE;
    }
    if (s_fAnsweringHeld && (fIsDrivePassThrough(psEntry) == TRUE || IsAdmitted(psEntry) ||
                             !IsHostPortCommand(psEntry->bPortCode))) {
        // Only a host's command not yet admitted is answered in a hold: the
        // rest wait at the head for its end.  Put back, one would go round
        // the ring every cycle, the loop never idle.
        return DISPATCH_WAIT;
    }
    // A drive pass-through made inside the controller belongs to no host
    // port: no loop event, hold-off, unit attention, reservation or hold is
    // its, and it is what spins parked drives up, so it never waits for
    // them (a host loop that stays down would hold it for ever).
    if (fIsDrivePassThrough(psEntry) == TRUE) return bStartDrivePassThrough(psEntry);
    if (bGetIoQuiesceState() != QUIESCE_IDLE && !IsAdmitted(psEntry)) {
        PutBackNewCommand(psEntry);
        return DISPATCH_DONE;
    }
    DISPATCH s{};
    s.psEntry = psEntry;
    s.bPortCode = psEntry->bPortCode;
    s.bPortIndex = bGetHostInterfaceType() == HOST_INTERFACE_EMBEDDED ? 0 : bReservationPortIndex(s.bPortCode);
    s.bController = bGetControllerNumber();
    s.fDual = fIsDualControllerActive() == TRUE;
    if (psEntry->bCommandType == COMMAND_TYPE_PARTNER_ACCESS_OUT && s.fDual) {
        PutBackNewCommand(psEntry);
        return DISPATCH_DONE;
    }
    if (IsFibre(s.bPortCode) && fGetHostLoopLipFlag(s.bPortCode) == TRUE) return DISPATCH_WAIT;
    if (bGetSASHostHoldOffStatus() == SAS_HOLD_OFF_RUNNING) return DISPATCH_WAIT;
    if (IsFibre(s.bPortCode) && fIsQL24xx() == TRUE && !IsAdmitted(psEntry) &&
        psEntry->bCommandType != COMMAND_TYPE_DATA_SERVICES) {
        if (ConvertAtio7Command(psEntry) != STATUS_OK) return DISPATCH_DONE;
    }
    uint8_t bResult = bLookUpLun(s);
    if (bResult != GO_ON) return bResult;
    const bool fWasAdmitted = IsAdmitted(psEntry);
    if (!fWasAdmitted) {
        bResult = bAdmit(s);
        if (bResult != GO_ON) return bResult;
    } else if (s.bLookup == LOOKUP_NOT_MAPPED) {
        std::memset(s.pbCdb + 10, 0, 4);
        AnswerLunNotSupported(psEntry);
        return DISPATCH_DONE;
    }
    if (IsWaitingForSpinUp(psEntry)) {
        PutBackNewCommand(psEntry);
        return DISPATCH_DONE;
    }
    bResult = bCheckPartnerStripeAccess(s);
    if (bResult != GO_ON) return bResult;
    if (s.fTracking && s.fDual && IsReadWrite16(s.pbCdb[0])) SetStripeAccessSFlag(psEntry->wIndex, TRUE);
    if (s.pbCdb[0] == SCSI_INQUIRY) return AnswerInquiry(psEntry);
    if (s.pbCdb[0] == SCSI_WRITE16 && s.fReadOnly) {
        Refuse(s, SENSE_DATA_PROTECT, ASC_WRITE_PROTECTED, 0);
        return DISPATCH_DONE;
    }
    bResult = bCheckReservations(s);
    if (bResult != GO_ON) return bResult;
    return bDispatchByOpcode(s);
}

void AnswerHeldHostCommands() {
    const uint16_t wCount = wGetPortNewCommands(PORT_CODE_MODULE);
    s_fAnsweringHeld = true;
    for (uint16_t w = 0; w < wCount; ++w) {
        // The ring is in order of arrival, but for commands put back.
        KERNEL_ENTRY* ps = nullptr;
        if (bPeekNewCommand(&ps) == STATUS_FOUND && lGetTickCount() - ps->lArrivalMs < HELD_COMMAND_ANSWER_MS) break;
        if (bDispatchHostCommand(PORT_CODE_MODULE) != DISPATCH_DONE) {
            RewindNewCommandScan(PORT_CODE_MODULE);
            break;
        }
    }
    s_fAnsweringHeld = false;
}

void InitTargetDispatcher() {
    s_fSchedulerFirstPass = TRUE;
    s_awSchedulerCounters[0] = 0;
    s_awSchedulerCounters[1] = 0;
}

void ConvertCdbTo16(uint8_t* pbCdb) {
    uint8_t ab[16];
    std::memcpy(ab, pbCdb, sizeof(ab));
    const uint8_t bOpcode = ab[0];
    uint8_t* pb = pbCdb;
    switch (bOpcode) {
    case SCSI_READ6:
    case SCSI_WRITE6:
    case SCSI_SEEK6: {
        std::memset(pb, 0, 16);
        pb[0] = bOpcode == SCSI_READ6 ? SCSI_READ16 : bOpcode == SCSI_WRITE6 ? SCSI_WRITE16 : SCSI_SEEK16_FORM;
        pb[1] = ab[1] & 0xE0;
        pb[7] = ab[1] & 0x1F;
        pb[8] = ab[2];
        pb[9] = ab[3];
        pb[13] = ab[4];
        // A transfer of count 0 moves 256 blocks; a seek has no count.
        if (ab[4] == 0 && bOpcode != SCSI_SEEK6) pb[12] = 1;
        pb[15] = ab[5];
        break;
    }
    case SCSI_READ10:
    case SCSI_WRITE10:
    case SCSI_SEEK10:
    case SCSI_WRITE_AND_VERIFY10:
    case SCSI_VERIFY10: {
        std::memset(pb + 2, 0, 14);
        switch (bOpcode) {
        case SCSI_READ10: pb[0] = SCSI_READ16; break;
        case SCSI_WRITE10: pb[0] = SCSI_WRITE16; break;
        case SCSI_SEEK10: pb[0] = SCSI_SEEK16_FORM; break;
        case SCSI_VERIFY10: pb[0] = SCSI_VERIFY16; break;
        default:
            pb[0] = SCSI_WRITE16;
            pb[1] = ab[1] & static_cast<uint8_t>(~WRITE_AND_VERIFY_FLAGS);
            break;
        }
        std::memcpy(pb + 6, ab + 2, 4);
        pb[12] = ab[7];
        pb[13] = ab[8];
        pb[15] = ab[9];
        break;
    }
    // As the 10-byte form: a write whose verify bits (BYTCHK, and bit 3,
    // which WRITE(16) would read as FUA) do not reach the write.
    case SCSI_WRITE_AND_VERIFY16:
        pb[0] = SCSI_WRITE16;
        pb[1] = ab[1] & static_cast<uint8_t>(~WRITE_AND_VERIFY_FLAGS);
        break;
    default: break;
    }
}

void WidenCdbTo10(uint8_t* pbCdb) {
    switch (pbCdb[0]) {
    case SCSI_RESERVE6:
    case SCSI_RELEASE6:
        pbCdb[0] = pbCdb[0] == SCSI_RESERVE6 ? SCSI_RESERVE10 : SCSI_RELEASE10;
        // A 6-byte command never names a third party.
        std::memset(pbCdb + 1, 0, 9);
        break;
    case SCSI_MODE_SENSE6: {
        const uint8_t bAllocation = pbCdb[4];
        const uint8_t bControl = pbCdb[5];
        pbCdb[0] = SCSI_MODE_SENSE10;
        std::memset(pbCdb + 3, 0, 5);
        pbCdb[8] = bAllocation;
        pbCdb[9] = bControl;
        break;
    }
    default: break;
    }
}

uint16_t wGetLunBatchLimit(uint16_t wLun) {
    const uint16_t wCount = wGetLunQueueCount(wLun);
    if (wCount == 0) return 0;
    const uint8_t bRank = bGetLogicalDriveFirstRank(wLun);
    uint16_t wLimit;
    if (bRank < MAX_RANKS_TRACKED && fIsRankPolicyBit6Set(bRank) == TRUE) {
        wLimit = fIsArrayQueueOverLimit(bRank) == TRUE ? 1 : BLOCKS_UNDER_POLICY;
    } else if (bRank < NO_SECOND_RANK && wGetRankSegmentCount(bRank) <= 1) {
        wLimit = BLOCKS_OF_ONE_SEGMENT_RANK;
    } else {
        wLimit = BLOCKS_OF_SHARED_RANK;
    }
    return wCount < wLimit ? wCount : wLimit;
}

uint8_t fIsArrayQueueOverLimit(uint8_t bRank) {
    return ToFlag(dGetRankOutstandingWrites(bRank) > dGetRankMaxOutstanding(bRank));
}

uint8_t bAdmitQueuedCommand(KERNEL_ENTRY* psEntry) {
    if (fGetTqmStatisticsEnabled() != TRUE) return STATUS_OK;
    if (!HasFlag(psEntry, KE_FLAG_TQM_COUNTED | KE_FLAG_TQM_REFUSED)) (void)bTqmCheckCommand(psEntry);
    if (!HasFlag(psEntry, KE_FLAG_TQM_REFUSED)) return STATUS_OK;
    // Refused: its status waits for the status delay when one is set.
    if (fIsStatusDelaySet() == TRUE) {
        if (bTqmStatusDelay(psEntry) == TQM_WAIT) return TQM_WAIT;
    } else {
        ClearFlag(psEntry, KE_FLAG_TQM_REFUSED);
    }
    ReleasePriorityBucket(psEntry);
    RemoveFromLunRing(psEntry->wLunIndex);
    psEntry->bPrimaryState = HOST_STATE_STATUS;
    (void)SendScsiStatus(psEntry, bGetTqmResponseStatus(psEntry), 0, 0);
    return TQM_REFUSED;
}

}  // namespace fw
