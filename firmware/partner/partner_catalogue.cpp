// The partner message catalogue: for each typed message code, the receiver
// that runs it here when the partner sends it, and what this controller
// does next when the partner has answered one it sent.  Codes without a
// receiver are refused as an invalid field.
#include <cstring>

#include "cache/flush_sequencer.h"
#include "cache/nvram_journal.h"
#include "cache/outstanding_queues.h"
#include "cache/stripe_access.h"
#include "config/drive_locate.h"
#include "config/rank_table.h"
#include "console/option_settings.h"
#include "config/io_quiesce.h"
#include "config/write_semaphore.h"
#include "enclosure/drive_error_counters.h"
#include "enclosure/audible_alarm.h"
#include "enclosure/drive_management.h"
#include "enclosure/drive_table.h"
#include "enclosure/enclosure_records.h"
#include "enclosure/io_module_firmware.h"
#include "enclosure/power_management.h"
#include "eventlog/event_log.h"
#include "executive/buffer_pages.h"
#include "executive/system_state.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "partner/partner_messages.h"
#include "partner/parity_read_data.h"
#include "partner/partner_slot_holds.h"
#include "platform/battery.h"
#include "raid/expansion.h"
#include "raid/parity_check.h"
#include "raid/rebuild.h"
#include "raid/stripe_init.h"
#include "target/stage_rings.h"
#include "target/scsi2_reservations.h"

namespace fw {

namespace {

uint8_t bJournalReset(const uint8_t*, uint16_t) {
    ResetNvramJournalsForPartner();
    return STATUS_OK;
}

// The parity check's progress, from its code byte on.
uint8_t bParityJob(const uint8_t* pbCdb, uint16_t) {
    HandleParityJobMessage(pbCdb + 1);
    return STATUS_OK;
}

// An event the partner posts in this controller's log: its code and five
// argument bytes.
uint8_t bPostPartnerEvent(const uint8_t* pbCdb, uint16_t) {
    PostEvent(pbCdb[2], pbCdb[3], pbCdb[4], pbCdb[5], pbCdb[6], pbCdb[7]);
    return STATUS_OK;
}

// The stripe initialisation's progress, from its code byte on.
uint8_t bStripeInit(const uint8_t* pbCdb, uint16_t) { return HandleStripeInitMessage(pbCdb + 1); }

// The expansion's progress and completion, from their code byte on; one
// that fits no expansion here is ignored (and logged) by the receiver.
uint8_t bExpansion(const uint8_t* pbCdb, uint16_t) {
    (void)HandleExpansionMessage(pbCdb + 1);
    return STATUS_OK;
}

// The partner's drive firmware download state: byte 2 the in-progress
// flag (which also ties the download to the partner), bytes 3-6 its drive.
uint8_t bDriveFirmwareDownloadState(const uint8_t* pbCdb, uint16_t) {
    if (pbCdb[2] != TRUE && pbCdb[2] != FALSE) return 0;
    ApplyPartnerDriveFirmwareDownloadState(pbCdb);
    return STATUS_OK;
}

// The partner writes out cached data it kept over a restart (109) and has
// done so (110).  Until it has, host commands here wait: blocks it holds
// may be newer in its cache than on the drives.
uint8_t bPartnerFlush(const uint8_t* pbCdb, uint16_t) {
    SetPartnerWork(pbCdb[1] == PARTNER_MESSAGE_FLUSH_PENDING ? TRUE : FALSE);
    if (pbCdb[1] == PARTNER_MESSAGE_FLUSH_DONE) PartnerStartFlushEnded();
    // 109 again once the partner copied here, at a start of both together,
    // every write it holds.
    if (pbCdb[1] == PARTNER_MESSAGE_FLUSH_PENDING && pbCdb[2] == TRUE) PartnerCopiesGiven();
    return STATUS_OK;
}

// The partner's battery: while it holds too little, writes cached here that
// only the partner's memory mirrors are no longer safe to keep.
uint8_t bPartnerBatteryState(const uint8_t* pbCdb, uint16_t) {
    BATTERY_STATE sState;
    std::memcpy(&sState, pbCdb + 2, sizeof sState);
    SetPartnerBatteryCapacity(sState.bCapacity);
    return STATUS_OK;
}

// Message 191 asks for message 192 back; 192 and 212 need only be taken.
constexpr uint8_t PARTNER_MESSAGE_ASK_ANSWER = 191;
constexpr uint8_t PARTNER_MESSAGE_ANSWER = 192;
constexpr uint8_t PARTNER_MESSAGE_NOTICE = 212;

uint8_t bAskAnswer(const uint8_t*, uint16_t) {
    (void)bSendConfigRecordMessage(PARTNER_MESSAGE_ANSWER, nullptr);
    return STATUS_OK;
}

uint8_t bTakeOnly(const uint8_t*, uint16_t) { return STATUS_OK; }

// The partner's management turned write-back off on both controllers:
// from now on writes are written through here too, and those already
// cached are let go to the drives.
uint8_t bDisableWriteBack(const uint8_t*, uint16_t) {
    SetWritebackCaching(FALSE);
    ApplyRankCachePolicies();
    ResetAllOutstandingWrites();
    return STATUS_OK;
}

uint8_t bIoQuiesce(const uint8_t* pbCdb, uint16_t) {
    switch (pbCdb[3]) {
    case QUIESCE_REQUEST: return HandlePartnerQuiesceRequest();
    case QUIESCE_DONE: SetPartnerQuiescedFlag(); return STATUS_OK;
    case QUIESCE_RESUME: SetPartnerResumedFlag(); return STATUS_OK;
    default: return 0;
    }
}

// The partner's LUN went idle: commands here need not ask it first.
uint8_t bLunIdle(const uint8_t* pbCdb, uint16_t) {
    const uint16_t wLun = wGetBe16(pbCdb + 2);
    if (wLun >= LUN_COUNT) return 0;
    ClearLunOcioFlag(wLun);
    return STATUS_OK;
}

uint8_t bWriteToken(const uint8_t* pbCdb, uint16_t) {
    HandlePartnerConfigWriteSemaphoreMessage(pbCdb[1]);
    return STATUS_OK;
}

// The slave's alarm request: carried out by the master only, so that two
// controllers that both think the other is master do not pass it back and
// forth.
uint8_t bAudibleAlarm(const uint8_t* pbCdb, uint16_t) {
    if (fIsMasterController() != TRUE) return 0;
    return bSetAudibleAlarm(pbCdb[2], pbCdb[3]) == STATUS_OK ? STATUS_OK : 0;
}

uint8_t bDriveLocate(const uint8_t* pbCdb, uint16_t) {
    SendDriveLocateCommand(pbCdb[2], pbCdb[3], pbCdb[4]);
    return STATUS_OK;
}

// SCSI-2 reservations: bytes 2-3 LUN, 4 on-behalf flag, 5 port code, 6-7
// initiator, 8-9 on-behalf identifier, 10 controller.
uint8_t bScsi2Reserve(const uint8_t* pbCdb, uint16_t) {
    return fPartnerReserveRequest(pbCdb[4], pbCdb[5], wGetBe16(pbCdb + 2), wGetBe16(pbCdb + 6), wGetBe16(pbCdb + 8),
                                  pbCdb[10]) == TRUE
               ? STATUS_OK
               : 0;
}

uint8_t bScsi2Release(const uint8_t* pbCdb, uint16_t) {
    PartnerReleaseRequest(pbCdb[4], pbCdb[5], wGetBe16(pbCdb + 2), wGetBe16(pbCdb + 6), wGetBe16(pbCdb + 8), pbCdb[10]);
    return STATUS_OK;
}

// The rebuild the master runs, followed here.
uint8_t bRebuildMessage(const uint8_t* pbCdb, uint16_t) {
    switch (pbCdb[1]) {
    case REBUILD_MSG_START_REQUEST: StartRebuildForPartner(pbCdb); break;
    case REBUILD_MSG_STARTED: PartnerRebuildStarted(pbCdb); break;
    case REBUILD_MSG_PROGRESS: PartnerRebuildProgress(pbCdb); break;
    case REBUILD_MSG_COMPLETE: PartnerRebuildComplete(pbCdb); break;
    case REBUILD_MSG_CANCEL: CancelRebuild(); break;
    case REBUILD_MSG_PAR: SetRebuildParFlag(TRUE); break;
    default: return 0;
    }
    return STATUS_OK;
}

uint8_t s_fRebuildFlag = FALSE;

struct MESSAGE_RECEIVER {
    uint8_t bCode;
    uint8_t (*pfReceive)(const uint8_t* pbCdb, uint16_t wLunField);
};

constexpr MESSAGE_RECEIVER kReceivers[] = {
    {MESSAGE_IO_QUIESCE, bIoQuiesce},
    {PARTNER_MESSAGE_AUDIBLE_ALARM, bAudibleAlarm},
    {PARTNER_MESSAGE_POST_EVENT, bPostPartnerEvent},
    {IO_MODULE_MESSAGE_UPDATE_STATE, bReceiveEnclosureUpdateMessage35},
    {PARTNER_MESSAGE_JOURNAL_RESET, bJournalReset},
    {MESSAGE_WRITE_TOKEN_REQUEST, bWriteToken},
    {MESSAGE_WRITE_TOKEN_GRANT, bWriteToken},
    {PARTNER_MESSAGE_LUN_IDLE, bLunIdle},
    {PARTNER_MESSAGE_BATTERY_STATE, bPartnerBatteryState},
    {PARTNER_MESSAGE_MIRROR, bReceivePartnerJournalMessage},
    {PARTNER_MESSAGE_MIRROR_DROP, bReceivePartnerJournalMessage},
    {PARTNER_MESSAGE_ISSUED, bReceivePartnerJournalMessage},
    {PARTNER_MESSAGE_STREAM_UPDATE, bReceivePartnerJournalMessage},
    {PARTNER_MESSAGE_SCSI2_RESERVE, bScsi2Reserve},
    {PARTNER_MESSAGE_SCSI2_RELEASE, bScsi2Release},
    {PARTNER_MESSAGE_ASK_ANSWER, bAskAnswer},
    {PARTNER_MESSAGE_ANSWER, bTakeOnly},
    {PARTNER_MESSAGE_NOTICE, bTakeOnly},
    {PARTNER_MESSAGE_FLUSH_PENDING, bPartnerFlush},
    {PARTNER_MESSAGE_FLUSH_DONE, bPartnerFlush},
    {PARTNER_MESSAGE_PARITY_RELEASE, bReceiveParityReadDataRelease},
    {PARTNER_MESSAGE_PARITY_CLEAR, bReceiveParityReadDataClear},
    {153, bDriveFirmwareDownloadState},
    {154, bDriveLocate},
    {155, bDisableWriteBack},
    {REBUILD_MSG_START_REQUEST, bRebuildMessage},
    {REBUILD_MSG_STARTED, bRebuildMessage},
    {REBUILD_MSG_PROGRESS, bRebuildMessage},
    {REBUILD_MSG_COMPLETE, bRebuildMessage},
    {REBUILD_MSG_CANCEL, bRebuildMessage},
    {REBUILD_MSG_PAR, bRebuildMessage},
    {PARITY_MESSAGE_START, bParityJob},
    {PARITY_MESSAGE_STARTED, bParityJob},
    {PARITY_MESSAGE_NEXT_ROW, bParityJob},
    {PARITY_MESSAGE_STOPPED, bParityJob},
    {PARITY_MESSAGE_FINISHED, bParityJob},
    {STRIPE_INIT_MESSAGE_STEP_OUT, bStripeInit},
    {STRIPE_INIT_MESSAGE_STEP_DONE, bStripeInit},
    {STRIPE_INIT_MESSAGE_ON_DEMAND, bStripeInit},
    {STRIPE_INIT_MESSAGE_HOST_WAITS, bStripeInit},
    {STRIPE_INIT_MESSAGE_SKIPPED, bStripeInit},
    {EXPANSION_MESSAGE_PROGRESS, bExpansion},
    {EXPANSION_MESSAGE_COMPLETE, bExpansion},
    {213, bReceiveSasSlotEvent},
    {PARTNER_MESSAGE_SLOT_HOLD, bReceiveSasSlotHold},
};

struct SLOT_RECEIVER {
    uint8_t bCode;
    uint8_t (*pfReceive)(PARTNER_MESSAGE_SLOT* psSlot);
};

uint8_t bStripeAccess(PARTNER_MESSAGE_SLOT* psSlot) {
    ReceivePartnerStripeAccess(psSlot);
    return STATUS_OK;
}

// The reply goes out from buffer memory, the only memory the drive-side
// controller reaches; its page stays with the slot until the data went.
bool SendAPMReplyData(PARTNER_MESSAGE_SLOT* psSlot, const uint8_t* pbReply, uint32_t dLength) {
    if (dLength > BUFFER_PAGE_SIZE) return false;
    if (psSlot->wPageCount == 0) {
        BUFFER_HANDLE dPage = NULL_BUFFER_HANDLE;
        if (bAllocDataPages(0, 1, &dPage) != STATUS_OK) return false;
        psSlot->dBuffer = dPage;
        psSlot->wPageCount = 1;
    }
    std::memcpy(pBufferHandleToPointer(psSlot->dBuffer), pbReply, dLength);
    return bSendDataToPartnerInitiator(psSlot, dBufferHandleToPciAddress(psSlot->dBuffer), dLength, FALSE) == STATUS_OK;
}

// Power management's requests and notices (CDB byte 2 0x20; the drive
// error counters' 0x21 go to their own receiver): served at once, the reply
// data, when there is any, sent back with the status.
uint8_t bPowerManagement(PARTNER_MESSAGE_SLOT* psSlot) {
    constexpr uint8_t APM_MESSAGE_KIND = 0x20;
    const uint8_t* pbCdb = psSlot->sMessage.abCdb;
    if (pbCdb[1] == ERROR_COUNTER_MESSAGE && pbCdb[2] == ERROR_COUNTER_MESSAGE_KIND)
        return bReceiveDriveErrorCounterMessage(psSlot);
    if (pbCdb[2] != APM_MESSAGE_KIND) return 0;
    static uint8_t s_abReply[APM_DRIVE_LIST_BYTES];
    uint32_t dLength = 0;
    APM_REQUEST_SENSE sSense{};
    if (bServeAPMPartnerRequest(pbCdb, s_abReply, sizeof s_abReply, &dLength, &sSense) != STATUS_OK) {
        SendPartnerCommandStatus(psSlot, sSense.bKey, sSense.bAsc, 0);
    } else if (dLength == 0) {
        SendPartnerCommandStatus(psSlot, 0, 0, 0);
    } else if (!SendAPMReplyData(psSlot, s_abReply, dLength)) {
        SendPartnerCommandStatus(psSlot, SENSE_NOT_READY, ASC_NOT_READY, 0);
    }
    return STATUS_OK;
}

constexpr SLOT_RECEIVER kSlotReceivers[] = {
    {120, bPowerManagement},
    {123, bPowerManagement},
    {PARTNER_MESSAGE_STRIPE_ACCESS, bStripeAccess},
    {PARTNER_MESSAGE_MIRROR_DATA, bReceivePartnerMirrorData},
    {PARTNER_MESSAGE_PARITY_DATA, bReceiveParityReadData},
    {PARTNER_MESSAGE_PR_OUT, bReceivePrOutMessage40},
    {142, bReceivePartnerDriveTable},
    {143, bReceivePartnerHostPortTables},
    {144, bReceivePartnerDriveFirmwareList},
    {157, bReceivePartnerDeviceList},
    {190, bReceivePartnerExpanderList},
    {IO_MODULE_MESSAGE_IMAGE, bReceiveEnclosureFwMessage211},
    {AA_MUX_MESSAGE_SLOT_STATE, bReceiveAaMuxMessage210},
    {PARTNER_MESSAGE_CONFIG_CHANGED, bReceivePartnerConfigImage},
    {PARTNER_MESSAGE_RESET, bReceivePartnerStopOrTime},
    {PARTNER_MESSAGE_SHUTDOWN, bReceivePartnerStopOrTime},
    {PARTNER_MESSAGE_TIME_OF_DAY, bReceivePartnerStopOrTime},
    {PARTNER_MESSAGE_HEARTBEAT, bReceivePartnerStopOrTime},
};

struct MESSAGE_CONTINUATION {
    uint8_t bCommandType;
    void (*pfContinue)(PARTNER_MESSAGE_SLOT* psSlot, uint8_t fLinkActive);
};

void MirrorDataAnswered(PARTNER_MESSAGE_SLOT* psSlot, uint8_t) { PartnerMirrorDataAnswered(psSlot); }

// The quiesce learns how the partner took its request or its report: a
// CHECK CONDITION is a refusal; a message that got no answer at all is
// taken as a partner gone.
void QuiesceAnswered(PARTNER_MESSAGE_SLOT* psSlot, uint8_t) {
    const bool fSense = psSlot->fSenseValid == TRUE;
    QuiesceMessageSent(psSlot->sMessage.abCdb[3], ToFlag(fSense || psSlot->fFailed == TRUE),
                       fSense ? psSlot->bSenseKey : 0);
}

// The rebuild holds its region children back until the partner has taken
// its messages; an answer of any kind, or the end of the link, lets them go.
void RebuildMessageAnswered(PARTNER_MESSAGE_SLOT* psSlot, uint8_t fLinkActive) {
    if (psSlot->bCommandType == REBUILD_MSG_STARTED) s_fRebuildFlag = fLinkActive;
    PartnerRebuildMessageAcked();
}

// A copy the partner took, or did not (a refusal, or no answer).
void StartCopyMessageAnswered(PARTNER_MESSAGE_SLOT* psSlot, uint8_t) {
    StartCopyAnswered(ToFlag(psSlot->fFailed == TRUE || psSlot->fSenseValid == TRUE));
}

constexpr MESSAGE_CONTINUATION kContinuations[] = {
    {MESSAGE_IO_QUIESCE, QuiesceAnswered},
    {COMMAND_TYPE_START_COPY, StartCopyMessageAnswered},
    {PARTNER_MESSAGE_MIRROR, PartnerMirrorRecordAnswered},
    {PARTNER_MESSAGE_MIRROR_DATA, MirrorDataAnswered},
    {PARTNER_MESSAGE_STRIPE_ACCESS, PartnerStripeAccessAnswered},
    {PARTNER_MESSAGE_PARITY_DATA, PairDataAnswered},
    {PARTNER_MESSAGE_JOURNAL_RESET, PartnerJournalResetAnswered},
    {REBUILD_MSG_STARTED, RebuildMessageAnswered},
    {REBUILD_MSG_PROGRESS, RebuildMessageAnswered},
    {REBUILD_MSG_COMPLETE, RebuildMessageAnswered},
    {STRIPE_INIT_MESSAGE_SKIPPED, StripeInitSkipDelivered},
    // Power management requests whose answer carries data back.
    {123, APMPartnerRequestAnswered},
    // The drive error counter table sent: its pages go back.
    {ERROR_COUNTER_MESSAGE, DriveErrorCountersAnswered},
    {PARTNER_MESSAGE_HEARTBEAT, PartnerHeartbeatAnswered},
    {PARTNER_MESSAGE_SCSI2_RESERVE, ReservationAnswered},
    {PARTNER_MESSAGE_SCSI2_RELEASE, ReservationAnswered},
    {PARTNER_MESSAGE_PR_OUT, PrOutAnswered},
    // The READ BUFFER kinds of the console and the debug dump.
    {133, PartnerDataRequestAnswered},
    {135, PartnerDataRequestAnswered},
    {137, PartnerDataRequestAnswered},
    {139, PartnerDataRequestAnswered},
    {141, PartnerDataRequestAnswered},
    {173, PartnerDataRequestAnswered},
    {174, PartnerDataRequestAnswered},
    {175, PartnerDataRequestAnswered},
    {PARTNER_MESSAGE_SLOT_HOLD, SasSlotHoldAnswered},
};

}  // namespace

void SetPartnerRebuildFlag(uint8_t f) { s_fRebuildFlag = f; }
uint8_t fGetPartnerRebuildFlag() { return s_fRebuildFlag; }

uint8_t DispatchPartnerMessage(const uint8_t* pbCdb, uint16_t wLunField) {
    for (const MESSAGE_RECEIVER& s : kReceivers) {
        if (s.bCode == pbCdb[1]) return s.pfReceive(pbCdb, wLunField);
    }
    return 0;
}

uint8_t bDispatchPartnerSlotMessage(PARTNER_MESSAGE_SLOT* psSlot) {
    for (const SLOT_RECEIVER& s : kSlotReceivers) {
        if (s.bCode == psSlot->sMessage.abCdb[1]) return s.pfReceive(psSlot);
    }
    return 0;
}

void RunPartnerContinuation(PARTNER_MESSAGE_SLOT* psSlot, uint8_t fLinkActive) {
    for (const MESSAGE_CONTINUATION& s : kContinuations) {
        if (s.bCommandType == psSlot->bCommandType) {
            s.pfContinue(psSlot, fLinkActive);
            return;
        }
    }
}

}  // namespace fw
