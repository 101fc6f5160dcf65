// The start of day between the two controllers: whether the partner runs
// already, the ping a joining controller repeats until the running one takes
// its commands, the start-of-day answer that makes the link valid on the
// running side, and the identity each sends the other.
#include <cstring>

#include "cache/flush_sequencer.h"
#include "cache/nvram_journal.h"
#include "cache/outstanding_queues.h"
#include "config/apply_settings.h"
#include "config/host_port_tables.h"
#include "config/ld_table.h"
#include "config/rank_table.h"
#include "config/config_image.h"
#include "config/nvram_layout.h"
#include "config/nvram_records.h"
#include "dataservices/data_services.h"
#include "enclosure/drive_error_counters.h"
#include "enclosure/drive_management.h"
#include "enclosure/io_module_firmware.h"
#include "enclosure/drive_spin.h"
#include "enclosure/power_management.h"
#include "eventlog/event_log.h"
#include "executive/date_time.h"
#include "hw/host_interface.h"
#include "executive/interrupt_controller.h"
#include "executive/port_codes.h"
#include "executive/stop.h"
#include "executive/system_state.h"
#include "fc/ql_mailbox_commands.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "partner/parity_read_data.h"
#include "partner/partner_messages.h"
#include "partner/partner_state.h"
#include "sas/sas_drive.h"
#include "sas/sas_failback.h"
#include "sas/sas_scsi_path.h"
#include "target/host_command_pool.h"
#include "target/persistent_reservations.h"
#include "target/stage_rings.h"

namespace fw {

namespace {

constexpr uint8_t PROBE_TRIES = 3;
// The ping waits longer for a partner that says it is flushing its cache.
constexpr uint32_t PING_COARSE_TICKS = 40;
constexpr uint32_t PING_COARSE_TICKS_FLUSHING = 120;
constexpr uint32_t PING_NOT_GOOD_SPIN_MS = 150;
constexpr uint32_t PING_RETRY_SPIN_MS = 50;
constexpr uint8_t PING_TIMEOUT = 252;
constexpr uint8_t COMMAND_TYPE_START_OF_DAY = 146;
constexpr uint8_t COMMAND_TYPE_IDENTITY = 150;
constexpr uint8_t EVENT_CONTROLLER_TYPE_MISMATCH = 28;
constexpr uint8_t EVENT_PARTNER_JOINED = 42;
constexpr uint8_t EVENT_CACHE_MISMATCH = 146;
constexpr uint32_t OEM_CODE_LOOP_RESETS = 0x101;

}  // namespace

uint8_t fGetPartnerTarget(uint8_t* pbTarget, uint8_t* pbBus) {
    if (fIsPartnerOnPath1() == TRUE) {
        *pbTarget = bGetPartnerAlpaPath1();
        *pbBus = 0;
        return TRUE;
    }
    if (fIsPartnerOnPath2() == TRUE) {
        *pbTarget = bGetPartnerAlpaPath2();
        *pbBus = 1;
        return TRUE;
    }
    return FALSE;
}

namespace {

// A READ BUFFER without data to the partner, answered by its incoming
// queue: 255 sent, the answer in the status and sense bytes.
uint8_t bQueuePartnerReadBuffer(const uint8_t* pbCdb, uint8_t bCommandType) {
    if (fIsDualControllerActive() != TRUE) return 0;
    INTER_CONTROLLER_MESSAGE s{};
    s.bEntryType = 0x11;
    s.bEntryCount = 1;
    s.wControlFlags = PARTNER_CONTROL_DATA_IN;
    s.wTimeout = PARTNER_MESSAGE_TIMEOUT_S;
    std::memcpy(s.abCdb, pbCdb, sizeof s.abCdb);
    uint16_t wSlot = PARTNER_NO_SLOT;
    return bSendMessageToPartner(&s, &wSlot, bCommandType);
}

uint8_t bOwnControllerTypeByte() {
    CONTROLLER_INFO_RECORD s;
    BuildControllerInfoRecord(&s);
    return s.bBoardCode;
}

}  // namespace

// Host ports paired with the partner's (host port mode 1) take the change
// of partner by logging their initiators in again.
void ResetPairedHostLoops() {
    if (bGetHostInterfaceType() != HOST_INTERFACE_FC) return;
    if (bGetHostPortMode() == 1) {
        SetLoopResetRequest(1, TRUE);
        SetLoopResetRequest(2, TRUE);
        ClearHostPortRecord(PORT_CODE_FC_HOST_1);
        ClearHostPortRecord(PORT_CODE_FC_HOST_2);
    }
    if (dGetOemCode() == OEM_CODE_LOOP_RESETS) {
        SetLoopResetRequest(1, TRUE);
        SetLoopResetRequest(2, TRUE);
    }
}

namespace {

// Start-of-day answer (buffer id 13): the partner that asks has started and
// joins; from here the link is valid on this side too.
void SendStartOfDayStatus(PARTNER_MESSAGE_SLOT* psSlot) {
    SendTimeOfDayToPartner(0, 0);
    // Host commands held for the joining partner's ping go on now, also
    // while its failback still runs: no later message of the join would
    // release them again (this answer ends the failback as this side sees
    // it, and the device list the partner sends may come before or after).
    SetPartnerWork(FALSE);
    RebuildHostLunVisibility();
    SetSASOCFailbackInProgress(FALSE);
    SetPartnerAlive(TRUE);
    SetDualControllerValid(TRUE);
    // The partner discarded its journals to join: from here each mirrors
    // the other again.  One starting together takes messages from here: a
    // flush that waited to copy its journals to it goes on.
    ClearOutlivedRecordOncePaired();
    PartnerStartedBesideThis();
    (void)bUpdatePartnerMissingIndicator();
    PostEvent(EVENT_PARTNER_JOINED, bGetPartnerControllerNumber());
    // The buffer memories are compared over the link just made valid (the
    // comparison is made only while the link is active), once the join is
    // told: the partner's answer is waited for.
    CheckPartnerVersionMatch();
    // The joining controller knows no array's power state, and power
    // management starts again now that there are two.
    SendArrayAPMStatesToPartner();
    (void)bStartAPM();
    if (bGetHostInterfaceType() == HOST_INTERFACE_FC && bGetHostPortMode() == 1 &&
        (bGetHostPortConnectionSetting(1) == 1 || bGetHostPortConnectionSetting(2) == 1)) {
        ClearHostPortRecords();
    }
    SendStartOfDayTables();
    if (fIsModelZ7Q2() == TRUE || fIsExpansionModelZ7Q2() == TRUE) UpdateSASActiveActiveState(FALSE);
    SendPartnerIdentity(FIRMWARE_VERSION_WORD);
    // The joining partner's copy of this side's drive error counts.
    SendDriveErrorCountersToPartner();
    ResetPairedHostLoops();
    ApplyRankCachePolicies();
    SendPartnerCommandStatus(psSlot, 0, 0, 0);
}

// Controller identity (buffer id 14): the partner's node name, and a notice
// when the two boards are not of one type.
void StorePartnerIdentity(PARTNER_MESSAGE_SLOT* psSlot) {
    const uint8_t* pbCdb = psSlot->sMessage.abCdb;
    SetPartnerNodeName(pbCdb + 3);
    const uint8_t bOwn = bOwnControllerTypeByte();
    if (pbCdb[1] != 0 && pbCdb[1] != bOwn) PostEvent(EVENT_CONTROLLER_TYPE_MISMATCH, bOwn, pbCdb[1]);
    SendPartnerCommandStatus(psSlot, 0, 0, 0);
}

// The live configuration image (buffer id 1), as much as the partner asks.
void SendLiveConfigImage(PARTNER_MESSAGE_SLOT* psSlot) {
    const uint8_t* pbCdb = psSlot->sMessage.abCdb;
    const uint32_t dAsked = uint32_t(pbCdb[6]) << 16 | uint32_t(pbCdb[7]) << 8 | pbCdb[8];
    const uint32_t dLength = dAsked < CONFIG_IMAGE_SIZE ? dAsked : CONFIG_IMAGE_SIZE;
    if (dLength == 0) {
        SendPartnerCommandStatus(psSlot, 0, 0, 0);
        return;
    }
    if (bSendDataToPartnerInitiator(psSlot, dPciAddressOf(pGetConfigImage()), dLength, fIsNvramConfigTieValid()) !=
        STATUS_OK) {
        // The partner asks again.
        SendPartnerCommandStatus(psSlot, 0x0B, 0x47, 0);
    }
}

// The date and time, most significant byte first, and the sender's two
// arguments; the weekday follows from the date.
void SendTimeOfDayMessage(const DATE_TIME& sTime, uint8_t bArg1, uint8_t bArg2) {
    INTER_CONTROLLER_MESSAGE s = sTypedPartnerMessage(PARTNER_MESSAGE_TIME_OF_DAY);
    PutBe16(s.abCdb + 2, sTime.wYear);
    s.abCdb[4] = sTime.bMonth;
    s.abCdb[5] = sTime.bDay;
    s.abCdb[6] = sTime.bHour;
    s.abCdb[7] = sTime.bMinute;
    s.abCdb[8] = sTime.bSecond;
    s.abCdb[9] = bArg1;
    s.abCdb[10] = bArg2;
    uint16_t wSlot = PARTNER_NO_SLOT;
    (void)bSendMessageToPartner(&s, &wSlot, 0);
}

uint8_t bSetTimeOfDay(const uint8_t* pbCdb) {
    DATE_TIME s{};
    s.wYear = wGetBe16(pbCdb + 2);
    s.bMonth = pbCdb[4];
    s.bDay = pbCdb[5];
    s.bHour = pbCdb[6];
    s.bMinute = pbCdb[7];
    s.bSecond = pbCdb[8];
    if (s.wYear > CLOCK_LAST_YEAR || s.bMonth < 1 || s.bMonth > 12 || s.bDay < 1 || s.bDay > 31) return 0;
    s.bWeekday = bGetWeekday(s.wYear, s.bMonth, s.bDay);
    if (bValidateDateTime(&s) != STATUS_OK) return 0;
    return bSetDateTime(&s) == STATUS_OK ? STATUS_OK : 0;
}

}  // namespace

// A partner that restarts and joins before its silence was noticed here
// left its mirrored writes behind, and nothing else would write them out.
bool HoldsPartnerMirrors() {
    return wCountValidPartnerSlots() != 0 || wCountPartnerExtentsWithData(nullptr) != 0 ||
           wCountReplayableParityData() != 0;
}

// Host commands are at work here: some are reading or writing, and not
// every command the host ports hold only waits for its turn.
bool HostCommandsAtWork() {
    uint8_t bPort1 = 0, bPort2 = 0;
    GetHostPortCodes(&bPort1, &bPort2);
    InterruptSourceLock sLock(INT_SOURCE_HOST_CHIPS);
    uint32_t dReadsWrites = 0;
    for (uint16_t w = 0; w < LUN_COUNT; ++w) dReadsWrites += dGetLunOutstandingReads(w) + dGetLunOutstandingWrites(w);
    const uint32_t dTotal = wGetTargetEntriesUsed();
    const uint32_t dWaiting =
        uint32_t(wGetPortNewCommands(bPort1)) + wGetPortNewCommands(bPort2) + wGetNewCmdContTotal();
    return dReadsWrites != 0 && dTotal > dWaiting;
}

// Heartbeat answer (buffer id 12 and message 159): the joining partner may
// send host commands once nothing here is left half done for it.  Mirrors
// of a partner that restarted without being declared lost are written out
// first: it discards its own journal when it joins.  From here host
// commands wait for the partner; the partner is answered NOT READY until
// those already at work have ended, and asks again.
void ExchangePartnerHeartbeat(PARTNER_MESSAGE_SLOT* psSlot) {
    // A partner given up here restarted and asks to join: its messages
    // are no longer refused as a lost one's.
    SetPartnerGivenUp(FALSE);
    if (psSlot->sMessage.abCdb[3] == TRUE) {
        SetWaitForODAStartupFlag(FALSE);
        if (HoldsPartnerMirrors()) SetCacheFlushRequest(TRUE);
    }
    // An enclosure firmware image that was loading when this controller
    // ran alone in slot 2 goes out now, while it is still master.
    if (fIsControllerSlot1() != TRUE && fIsMasterController() == TRUE && fIsEnclosureFirmwareImageValid() == TRUE &&
        fIsEnclosureFirmwareImageLoading() == TRUE && fIsEnclosureFirmwareUpdateInProgress() != TRUE) {
        (void)bStartEnclosureFirmwareUpdate();
    }
    // A flush that only waits for the partner to come up (to give it copies
    // of the journals first) lets it.
    if ((fGetRetripeFlag() == TRUE && fIsStartFlushWaitingForPartner() != TRUE) ||
        fGetCacheFlushSequencerRequest() == TRUE) {
        SendPartnerCommandStatus(psSlot, 2, 0x04, 0x01);
        return;
    }
    if (fGetPartnerWork() != TRUE) {
        StopAPM();
        PostEvent(94);
    }
    SetAPMHoldFlag(FALSE);
    SetPartnerWork(TRUE);
    // Until the partner's failback hands its device list over (message
    // 157), its drive side is being discovered again.
    SetSASOCFailbackInProgress(TRUE);
    ResetAllOutstandingWrites();
    if (HostCommandsAtWork()) {
        SendPartnerCommandStatus(psSlot, 2, 0x04, 0);
        return;
    }
    SendPartnerCommandStatus(psSlot, 0, 0, 0);
}

// A controller still starting does not wait for its partner's record: the
// partner may be starting too, and waiting for this one's.  The controller
// that answers the start-of-day request compares the two.
uint16_t wGetPartnerVersionWord() {
    if (fIsInitializationComplete() != TRUE) return 0;
    return wGetPartnerBufferMegabytes();
}

uint16_t wGetControllerInfoVersionWord() {
    CONTROLLER_INFO_RECORD s;
    BuildControllerInfoRecord(&s);
    return s.wBank0Megabytes;
}

uint8_t bGetControllerInfoVersionByte() {
    CONTROLLER_INFO_RECORD s;
    BuildControllerInfoRecord(&s);
    return s.bBoardValue;
}

uint8_t bGetControllerInfoBoardByte() { return bOwnControllerTypeByte(); }

void SendPartnerVersionNotice(const uint8_t* pbArguments) {
    (void)bSendPartnerEventSync(EVENT_CACHE_MISMATCH, pbArguments);
}

uint8_t bProbePartnerReady() {
    uint8_t bTarget = 0xFF, bBus = 0;
    if (fGetPartnerTarget(&bTarget, &bBus) != TRUE) return FALSE;
    const uint8_t abCdb[10] = {SCSI_TEST_UNIT_READY};
    for (uint8_t t = 0; t < PROBE_TRIES; ++t) {
        uint8_t bStatus = 0xFF, bKey = 0, bAsc = 0, bAscq = 0;
        const uint8_t b = bSendSCSICommandAndWait(bTarget, bBus, abCdb, FALSE, 0, NULL_BUFFER_HANDLE, &bStatus, &bKey,
                                                  &bAsc, &bAscq);
        if (b == 0) continue;
        return ToFlag(b == STATUS_OK && bStatus == SCSI_STATUS_GOOD);
    }
    return FALSE;
}

uint8_t bPingPartnerSync() {
    uint8_t bTarget = 0xFF, bBus = 0;
    if (fGetPartnerTarget(&bTarget, &bBus) != TRUE) return 0;
    const uint32_t dStart = dGetCoarseTick();
    uint8_t bAscq = 0;
    for (;;) {
        const uint8_t abCdb[10] = {SCSI_READ_BUFFER, fGetOutlivedPartnerRecord(), PARTNER_BUFFER_ID_PING,
                                   fGetHeartbeatRequestFlag()};
        uint8_t bStatus = 0xFF, bKey = 0, bAsc = 0, bThisAscq = 0;
        const uint8_t b = bSendSCSICommandAndWait(bTarget, bBus, abCdb, FALSE, 0, NULL_BUFFER_HANDLE, &bStatus, &bKey,
                                                  &bAsc, &bThisAscq);
        if (b == STATUS_OK && bStatus == SCSI_STATUS_GOOD) return STATUS_OK;
        // A partner that left the drive side, or whose silence the watchdog
        // took for its loss, is asked no more: a minute of pings to a board
        // that is gone would keep this one from serving at all.
        if (fGetPartnerTarget(&bTarget, &bBus) != TRUE || fGetDualControllerWorkFlag() == TRUE) return 0;
        if (b == STATUS_OK) {
            if (bStatus == SCSI_STATUS_CHECK_CONDITION) bAscq = bThisAscq;
            SpinDelayMs(PING_NOT_GOOD_SPIN_MS);
        }
        SpinDelayMs(PING_RETRY_SPIN_MS);
        const uint32_t dLimit = bAscq != 0 ? PING_COARSE_TICKS_FLUSHING : PING_COARSE_TICKS;
        if (dGetCoarseTick() - dStart >= dLimit) return PING_TIMEOUT;
    }
}

void ReadPartnerStartOfDayData(uint8_t fFlag) {
    const uint8_t abCdb[16] = {PARTNER_OPCODE_READ_BUFFER, fGetOutlivedPartnerRecord(), PARTNER_BUFFER_ID_START_OF_DAY,
                               fFlag};
    (void)bQueuePartnerReadBuffer(abCdb, COMMAND_TYPE_START_OF_DAY);
}

// Message 159: the drive side of this controller, back beside a running
// partner, asks it to let the failback go on.  A request that cannot go out
// now counts as refused: the failback asks again after its pause.
void SendPartnerHeartbeatMessage() {
    INTER_CONTROLLER_MESSAGE s = sTypedPartnerMessage(PARTNER_MESSAGE_HEARTBEAT);
    s.abCdb[3] = fGetHeartbeatRequestFlag();
    uint16_t wSlot = PARTNER_NO_SLOT;
    if (bSendMessageToPartner(&s, &wSlot, 0) != STATUS_OK) SASFailbackRequestAnswered(TRUE);
}

// Only a GOOD answer lets the failback go on; a CHECK CONDITION (the
// partner still flushing, or given up here) or a message never delivered
// is asked again.
void PartnerHeartbeatAnswered(PARTNER_MESSAGE_SLOT* psSlot, uint8_t) {
    SASFailbackRequestAnswered(ToFlag(psSlot->fFailed == TRUE || psSlot->fSenseValid == TRUE));
}

void SendPartnerIdentity(uint32_t dFirmwareWord) {
    uint8_t abCdb[16] = {PARTNER_OPCODE_READ_BUFFER, bOwnControllerTypeByte(), PARTNER_BUFFER_ID_IDENTITY};
    GetNvramControllerWwn(abCdb + 3);
    for (uint8_t k = 0; k < 4; ++k) abCdb[11 + k] = static_cast<uint8_t>(dFirmwareWord >> (8 * k));
    abCdb[15] = TRUE;
    (void)bQueuePartnerReadBuffer(abCdb, COMMAND_TYPE_IDENTITY);
}

uint8_t AnswerPartnerReadBuffer(PARTNER_MESSAGE_SLOT* psSlot) {
    const uint8_t* pbCdb = psSlot->sMessage.abCdb;
    const uint8_t bId = pbCdb[2];
    const uint8_t bOutlived = pbCdb[PARTNER_CDB_OUTLIVED_BYTE];
    if ((bId == PARTNER_BUFFER_ID_CONFIG || bId == PARTNER_BUFFER_ID_PING || bId == PARTNER_BUFFER_ID_START_OF_DAY) &&
        bOutlived != PARTNER_OUTLIVED_NOT_YET_KNOWN) {
        PartnerStartRecordReceived(ToFlag(bOutlived == TRUE));
    }
    switch (bId) {
    case PARTNER_BUFFER_ID_CONFIG: SendLiveConfigImage(psSlot); return STATUS_OK;
    case PARTNER_BUFFER_ID_PING: ExchangePartnerHeartbeat(psSlot); return STATUS_OK;
    case PARTNER_BUFFER_ID_START_OF_DAY: SendStartOfDayStatus(psSlot); return STATUS_OK;
    case PARTNER_BUFFER_ID_IDENTITY: StorePartnerIdentity(psSlot); return STATUS_OK;
    // What a joining partner reads at its start, before the link is valid
    // on this side.
    case PARTNER_BUFFER_ID_HOST_PORTS:
    case PARTNER_BUFFER_ID_STATUS_BLOCK:
    case PARTNER_BUFFER_ID_DEVICE_LIST:
    case PR_BUFFER_ID_ATTENTIONS:
    case PR_BUFFER_ID_REGISTRATIONS:
    case PARTNER_BUFFER_ID_ACTIVE_ACTIVE: return bAnswerPartnerDataRequest(psSlot);
    default: break;
    }
    // The other requests are sent only over a link both sides keep: a
    // partner given up here hears NOT READY until it has joined again.
    if (fIsDualControllerActive() != TRUE) {
        SendPartnerNotReady(psSlot);
        return STATUS_OK;
    }
    return bAnswerPartnerDataRequest(psSlot);
}

void SendTimeOfDayToPartner(uint8_t bArg1, uint8_t bArg2) {
    DATE_TIME s{};
    if (GetDateTime(&s) != STATUS_OK) return;
    SendTimeOfDayMessage(s, bArg1, bArg2);
}

void SendDateTimeToPartner(const DATE_TIME* psTime) { SendTimeOfDayMessage(*psTime, 0, 0); }

uint8_t bSendResetToPartner() {
    INTER_CONTROLLER_MESSAGE s = sTypedPartnerMessage(PARTNER_MESSAGE_RESET);
    uint16_t wSlot = PARTNER_NO_SLOT;
    return bSendMessageToPartner(&s, &wSlot, 0);
}

uint8_t fSendShutdownToPartner(uint8_t bReason) {
    INTER_CONTROLLER_MESSAGE s = sTypedPartnerMessage(PARTNER_MESSAGE_SHUTDOWN);
    s.abCdb[2] = bReason;
    uint16_t wSlot = PARTNER_NO_SLOT;
    return bSendMessageToPartner(&s, &wSlot, 0);
}

uint8_t fGetPartnerControllerWwn(uint8_t* pbWwn) {
    GetPartnerNodeName(pbWwn);
    for (uint8_t k = 0; k < 8; ++k) {
        if (pbWwn[k] != 0xFF) return TRUE;
    }
    return FALSE;
}

uint8_t bSendPartnerEventSync(uint8_t bCode, const uint8_t* pbArguments) {
    uint8_t bTarget = 0xFF, bBus = 0;
    if (fGetPartnerTarget(&bTarget, &bBus) != TRUE) return FALSE;
    uint8_t abCdb[10] = {PARTNER_TYPED_MESSAGE, PARTNER_MESSAGE_POST_EVENT, bCode};
    std::memcpy(abCdb + 3, pbArguments, 5);
    uint8_t bStatus = 0xFF, bKey = 0, bAsc = 0, bAscq = 0;
    const uint8_t b =
        bSendSCSICommandAndWait(bTarget, bBus, abCdb, FALSE, 0, NULL_BUFFER_HANDLE, &bStatus, &bKey, &bAsc, &bAscq);
    return ToFlag(b == STATUS_OK && bStatus == SCSI_STATUS_GOOD);
}

uint8_t bReceivePartnerStopOrTime(PARTNER_MESSAGE_SLOT* psSlot) {
    const uint8_t* pbCdb = psSlot->sMessage.abCdb;
    switch (pbCdb[1]) {
    case PARTNER_MESSAGE_RESET:
        // The journal drains to the drives before the board restarts: the
        // writes this controller acknowledged are not left to a partner
        // that may not be there to write them out.
        SendPartnerCommandStatus(psSlot, 0, 0, 0);
        StartControllerReset();
        return STATUS_OK;
    case PARTNER_MESSAGE_SHUTDOWN:
        SendPartnerCommandStatus(psSlot, 0, 0, 0);
        SetShutdownReason(pbCdb[2]);
        ShutdownController();
        return STATUS_OK;
    case PARTNER_MESSAGE_TIME_OF_DAY:
        if (bSetTimeOfDay(pbCdb) == STATUS_OK) {
            SendPartnerCommandStatus(psSlot, 0, 0, 0);
        } else {
            SendPartnerCommandStatus(psSlot, 5, 0x24, 0);
        }
        return STATUS_OK;
    case PARTNER_MESSAGE_HEARTBEAT: ExchangePartnerHeartbeat(psSlot); return STATUS_OK;
    default: return 0;
    }
}

}  // namespace fw
