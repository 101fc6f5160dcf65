#include "partner/partner_messages.h"

#include <cstring>

#include "executive/buffer_pages.h"
#include "executive/interrupt_controller.h"
#include "executive/system_state.h"
#include "executive/tick.h"
#include "executive/work_flags.h"
#include "hw/scsi.h"
#include "partner/parity_read_data.h"
#include "partner/partner_state.h"
#include "raid/expansion.h"
#include "raid/rebuild.h"
#include "sas/partner_traffic.h"
#include "sas/sas_flags.h"
#include "target/host_command_pool.h"
#include "target/stage_rings.h"
#include "cache/flush_sequencer.h"
#include "cache/nvram_journal.h"
#include "config/config_state.h"
#include "config/write_semaphore.h"

namespace fw {

namespace {

PARTNER_MESSAGE_SLOT s_asOutgoing[PARTNER_SLOTS];
PARTNER_MESSAGE_SLOT s_asIncoming[PARTNER_SLOTS];
uint8_t s_abOutgoingBitmap[PARTNER_SLOTS / 8];
uint8_t s_abIncomingBitmap[PARTNER_SLOTS / 8];
MESSAGE_RING s_sIncomingRing;
MESSAGE_RING s_sOutgoingRing;
MESSAGE_RING s_sCompletionRing;
PARTNER_MESSAGE_COUNTS s_sCounts;
uint8_t s_fStatisticsReceived = FALSE;
// The code-96 message of each host entry, which its 98 and 99 never overtake.
uint16_t s_awHostMirrorSlot[HOST_ENTRY_COUNT];
// The newest configuration image sent (message 145), which the write token
// never overtakes: the partner would open its next edit on the image it
// held before.
uint16_t s_wConfigImageSlot = PARTNER_NO_SLOT;

// The message tables are shared with the FIQ-level entry points of the
// drive-side drivers; every change of a ring, bitmap or counter is made with
// their source masked.
struct TableLock : InterruptSourceLock {
    TableLock() : InterruptSourceLock(INT_SOURCE_DRIVE_SIDE) {}
};

void FreeSlotValues(PARTNER_MESSAGE_SLOT* ps, uint16_t wSlot) {
    std::memset(ps, 0, sizeof *ps);
    ps->wSlot = wSlot;
    ps->fInUse = FALSE;
    ps->fFailed = FALSE;
    ps->fSenseValid = FALSE;
    ps->bPortCode = PARTNER_PORT_FREE;
    ps->wHostEntry = 0xFFFF;
    ps->wSecondIndex = 0xFFFF;
    ps->wIoIndex = 0xFFFF;
}

void ClearRing(MESSAGE_RING* psRing) {
    for (uint16_t& w : psRing->awSlot) w = PARTNER_NO_SLOT;
    psRing->wWrite = psRing->wRead = 0;
}

uint16_t wNext(uint16_t w) { return static_cast<uint16_t>(w + 1 < PARTNER_SLOTS ? w + 1 : 0); }

void Push(MESSAGE_RING* psRing, uint16_t wSlot) {
    psRing->awSlot[psRing->wWrite] = wSlot;
    psRing->wWrite = wNext(psRing->wWrite);
}

// Clears the ring's head and moves past it.
void Consume(MESSAGE_RING* psRing) {
    psRing->awSlot[psRing->wRead] = PARTNER_NO_SLOT;
    psRing->wRead = wNext(psRing->wRead);
}

// The lowest clear bit of a slot bitmap, or PARTNER_NO_SLOT.
uint16_t wFindFreeSlot(const uint8_t* pbBitmap) {
    for (uint16_t i = 0; i < PARTNER_SLOTS / 8; ++i) {
        if (pbBitmap[i] == 0xFF) continue;
        for (uint8_t b = 0; b < 8; ++b) {
            if (!(pbBitmap[i] & (1u << b))) return static_cast<uint16_t>(i * 8 + b);
        }
    }
    return PARTNER_NO_SLOT;
}

void SetBit(uint8_t* pbBitmap, uint16_t wSlot, bool fSet) {
    if (fSet) {
        pbBitmap[wSlot / 8] = static_cast<uint8_t>(pbBitmap[wSlot / 8] | (1u << (wSlot % 8)));
    } else {
        pbBitmap[wSlot / 8] = static_cast<uint8_t>(pbBitmap[wSlot / 8] & ~(1u << (wSlot % 8)));
    }
}

void CountDown(uint16_t& w) {
    if (w > 0) --w;
}

// The path a port code's messages count against: 'a' and loop 1 share path 1.
uint8_t bPathIndex(uint8_t bPortCode) { return bPortCode == PARTNER_PORT_LOOP2 ? 1 : 0; }

void FreeOutgoing(PARTNER_MESSAGE_SLOT* ps) {
    const uint16_t wSlot = ps->wSlot;
    // The pages a message's data went out from.
    if (ps->wPageCount != 0) (void)wFreeDataPages(ps->dBuffer, ps->wPageCount);
    SetBit(s_abOutgoingBitmap, wSlot, false);
    FreeSlotValues(ps, wSlot);
    CountDown(s_sCounts.wOutgoingTotal);
}

void FreeIncoming(PARTNER_MESSAGE_SLOT* ps) {
    const uint16_t wSlot = ps->wSlot;
    if (ps->wPageCount != 0) (void)wFreeDataPages(ps->dBuffer, ps->wPageCount);
    SetBit(s_abIncomingBitmap, wSlot, false);
    FreeSlotValues(ps, wSlot);
    CountDown(s_sCounts.wIncomingTotal);
}

// Typed messages whose data the receiver takes in a data-out phase.
bool IsDataMessage(uint8_t bCode) {
    static constexpr uint8_t kCodes[] = {40, 78, 111, 120, 123, 129, 142, 143, 144, 145, 151, 157, 190, 198, 210, 211};
    for (uint8_t b : kCodes) {
        if (b == bCode) return true;
    }
    return false;
}

bool IsMirrorMessage(uint8_t bType) { return bType >= 96 && bType <= 99; }
bool IsResendMarked(uint8_t bType) { return IsMirrorMessage(bType) || bType == 129; }

// The path to the partner and its target id there: the preferred path
// (path 2 on controller 1, path 1 on controller 2) when the partner is on
// it, else the other.  0xFF when none.
uint8_t bChoosePartnerTarget() {
    const uint8_t bPreferred = bGetControllerNumber() == 1 ? 2 : 1;
    const uint8_t abOrder[2] = {bPreferred, static_cast<uint8_t>(3 - bPreferred)};
    for (uint8_t bPath : abOrder) {
        const uint8_t fPresent = bPath == 1 ? fIsPartnerOnPath1() : fIsPartnerOnPath2();
        const uint8_t bTarget = bPath == 1 ? bGetPartnerAlpaPath1() : bGetPartnerAlpaPath2();
        if (fPresent == TRUE && bTarget != 0xFF) return bTarget;
    }
    return 0xFF;
}

// The partner's target id for a resend: the slot's own when the partner is
// still there, else path 1's, else path 2's.
uint8_t bResendTarget(uint16_t wTarget) {
    if ((fIsPartnerOnPath1() == TRUE && bGetPartnerAlpaPath1() == wTarget) ||
        (fIsPartnerOnPath2() == TRUE && bGetPartnerAlpaPath2() == wTarget)) {
        return static_cast<uint8_t>(wTarget);
    }
    if (fIsPartnerOnPath1() == TRUE && bGetPartnerAlpaPath1() != 0xFF) return bGetPartnerAlpaPath1();
    if (fIsPartnerOnPath2() == TRUE && bGetPartnerAlpaPath2() != 0xFF) return bGetPartnerAlpaPath2();
    return 0xFF;
}

// The partner's port on a path other than the one at wTarget, 0xFF none.
uint8_t bOtherPortTarget(uint16_t wTarget) {
    if (fIsPartnerOnPath1() == TRUE && bGetPartnerAlpaPath1() != 0xFF && bGetPartnerAlpaPath1() != wTarget) {
        return bGetPartnerAlpaPath1();
    }
    if (fIsPartnerOnPath2() == TRUE && bGetPartnerAlpaPath2() != 0xFF && bGetPartnerAlpaPath2() != wTarget) {
        return bGetPartnerAlpaPath2();
    }
    return 0xFF;
}

// Puts a sent slot back on the outgoing ring for another try.
void Requeue(PARTNER_MESSAGE_SLOT* ps, uint8_t bTarget) {
    ps->sMessage.wTarget = bTarget;
    ps->bPortCode = PARTNER_PORT_SAS;
    ps->bPrimaryState = SLOT_QUEUED;
    ps->bSecondaryState = 0;
    ps->fFailed = FALSE;
    ps->fSenseValid = FALSE;
    if (IsResendMarked(ps->bCommandType)) ps->sMessage.abCdb[PARTNER_CDB_RESEND] = TRUE;
    Push(&s_sOutgoingRing, ps->wSlot);
    ++s_sCounts.wOutgoingNew;
    SetPartnerMessageWork(TRUE);
}

// The host command a mirror message belongs to, when it is still the same
// command (in use, same sequence number).
bool IsMirrorStale(const PARTNER_MESSAGE_SLOT* ps) {
    if (!IsMirrorMessage(ps->bCommandType) || ps->bCommandType == 97 || ps->wHostEntry >= HOST_ENTRY_COUNT) return false;
    KERNEL_ENTRY* psEntry = nullptr;
    wGetTargetEntry(ps->wHostEntry, &psEntry);
    return psEntry == nullptr || psEntry->fUsed != TRUE || psEntry->alSequence[0] != ps->lHostSequence;
}

// A code-98 or code-99 message waits for its host entry's code-96 message:
// 'p' it is still queued, 'q' in flight, 0 nothing to wait for.
uint8_t bMirrorRequestState(const PARTNER_MESSAGE_SLOT* ps) {
    if ((ps->bCommandType != 98 && ps->bCommandType != 99) || ps->bPortCode != PARTNER_PORT_SAS ||
        ps->wHostEntry >= HOST_ENTRY_COUNT) {
        return 0;
    }
    const uint16_t wFirst = s_awHostMirrorSlot[ps->wHostEntry];
    if (wFirst >= PARTNER_SLOTS) return 0;
    const PARTNER_MESSAGE_SLOT& s = s_asOutgoing[wFirst];
    if (s.fInUse != TRUE || (s.bPrimaryState != SLOT_QUEUED && s.bPrimaryState != SLOT_SENT) ||
        s.wHostEntry != ps->wHostEntry || s.bCommandType != 96 || s.lHostSequence != ps->lHostSequence) {
        return 0;
    }
    return s.bPrimaryState;
}

// The write token's grant waits for the configuration image sent before it:
// 'p' it is still queued, 'q' in flight, 0 nothing to wait for.
uint8_t bConfigImageState(const PARTNER_MESSAGE_SLOT* ps) {
    if (ps->bCommandType != MESSAGE_WRITE_TOKEN_GRANT || s_wConfigImageSlot >= PARTNER_SLOTS) return 0;
    const PARTNER_MESSAGE_SLOT& s = s_asOutgoing[s_wConfigImageSlot];
    if (s.fInUse != TRUE || s.bCommandType != PARTNER_MESSAGE_CONFIG_CHANGED ||
        (s.bPrimaryState != SLOT_QUEUED && s.bPrimaryState != SLOT_SENT)) {
        return 0;
    }
    return s.bPrimaryState;
}

// The partner took this controller's work over and says so to every
// message but those of a join.
bool IsGivenUpAnswer(const PARTNER_MESSAGE_SLOT& s) {
    return s.fFailed != TRUE && s.fSenseValid == TRUE && s.bSenseKey == SENSE_NOT_READY && s.bAsc == ASC_NOT_READY &&
           s.bAscq == PARTNER_ASCQ_GIVEN_UP;
}

}  // namespace

void InitPartnerMessageQueues() {
    for (uint16_t i = 0; i < PARTNER_SLOTS; ++i) {
        FreeSlotValues(&s_asOutgoing[i], i);
        FreeSlotValues(&s_asIncoming[i], i);
    }
    for (uint16_t& w : s_awHostMirrorSlot) w = PARTNER_NO_SLOT;
    s_wConfigImageSlot = PARTNER_NO_SLOT;
    ClearRing(&s_sIncomingRing);
    ClearRing(&s_sOutgoingRing);
    ClearRing(&s_sCompletionRing);
    std::memset(s_abOutgoingBitmap, 0, sizeof s_abOutgoingBitmap);
    std::memset(s_abIncomingBitmap, 0, sizeof s_abIncomingBitmap);
    s_sCounts = {};
    s_fStatisticsReceived = FALSE;
    InitParityReadDataQueue();
}

uint8_t pGetIncomingMessageSlot(uint16_t wSlot, PARTNER_MESSAGE_SLOT** ppsSlot) {
    *ppsSlot = wSlot < PARTNER_SLOTS ? &s_asIncoming[wSlot] : nullptr;
    return *ppsSlot ? STATUS_OK : 0;
}

uint8_t pGetOutgoingMessageSlot(uint16_t wSlot, PARTNER_MESSAGE_SLOT** ppsSlot) {
    *ppsSlot = wSlot < PARTNER_SLOTS ? &s_asOutgoing[wSlot] : nullptr;
    return *ppsSlot ? STATUS_OK : 0;
}

const PARTNER_MESSAGE_COUNTS& sGetPartnerMessageCounts() { return s_sCounts; }
const MESSAGE_RING& sGetPartnerRing(uint8_t bWhich) {
    return bWhich == 0 ? s_sIncomingRing : bWhich == 1 ? s_sOutgoingRing : s_sCompletionRing;
}
uint8_t fGetPartnerStatisticsReceived() { return s_fStatisticsReceived; }
void SetPartnerStatisticsReceived(uint8_t f) { s_fStatisticsReceived = f; }

uint8_t bCheckOutgoingQueueSpace(uint8_t bMessageCode) {
    const uint8_t bTaken = LockInterruptSource(INT_SOURCE_HOST_CHIPS);
    uint32_t dNeed = 1;
    // Every host command at work on the host ports may still want its
    // mirror message and its release; one still new is checked again when
    // it starts.
    if (bMessageCode == 96) dNeed = 2u * dGetHostPortCommandsStarted() + 3;
    const bool fRoom = s_sCounts.wOutgoingTotal + dNeed <= PARTNER_SLOTS;
    if (bTaken == STATUS_OK) UnlockInterruptSource(INT_SOURCE_HOST_CHIPS);
    return fRoom ? STATUS_OK : STATUS_RETRY;
}

uint8_t bSendMessageToPartner(const INTER_CONTROLLER_MESSAGE* psMessage, uint16_t* pwSlot, uint8_t bCommandType) {
    TableLock sLock;
    *pwSlot = PARTNER_NO_SLOT;
    const uint8_t bTarget = bChoosePartnerTarget();
    if (bTarget == 0xFF) return 0;
    const uint16_t wSlot = s_sCounts.wOutgoingTotal > PARTNER_SLOTS - 1 ? PARTNER_NO_SLOT
                                                                       : wFindFreeSlot(s_abOutgoingBitmap);
    if (wSlot == PARTNER_NO_SLOT) return STATUS_RETRY;
    PARTNER_MESSAGE_SLOT* ps = &s_asOutgoing[wSlot];
    FreeSlotValues(ps, wSlot);
    std::memcpy(&ps->sMessage, psMessage, sizeof ps->sMessage);
    SetBit(s_abOutgoingBitmap, wSlot, true);
    ps->sMessage.wTarget = bTarget;
    ps->sMessage.dHandle = wSlot;
    ps->fInUse = TRUE;
    ps->bPortCode = PARTNER_PORT_SAS;
    ps->bPrimaryState = SLOT_QUEUED;
    ps->bCommandType = bCommandType != 0 ? bCommandType
                       : psMessage->abCdb[0] == PARTNER_TYPED_MESSAGE ? psMessage->abCdb[1]
                                                                       : 0;
    ps->dQueueTick = dGetCoarseTick();
    if (ps->bCommandType == PARTNER_MESSAGE_CONFIG_CHANGED) s_wConfigImageSlot = wSlot;
    Push(&s_sOutgoingRing, wSlot);
    ++s_sCounts.wOutgoingTotal;
    ++s_sCounts.wOutgoingNew;
    SetPartnerMessageWork(TRUE);
    *pwSlot = wSlot;
    return STATUS_OK;
}

INTER_CONTROLLER_MESSAGE sTypedPartnerMessage(uint8_t bCode) {
    INTER_CONTROLLER_MESSAGE s{};
    s.bEntryType = 0x11;
    s.bEntryCount = 1;
    s.wControlFlags = PARTNER_CONTROL_NO_DATA;
    s.wTimeout = PARTNER_MESSAGE_TIMEOUT_S;
    s.abCdb[0] = PARTNER_TYPED_MESSAGE;
    s.abCdb[1] = bCode;
    s.abCdb[PARTNER_CDB_RESEND] = FALSE;
    return s;
}

uint8_t bSendConfigRecordMessage(uint8_t bCode, const uint8_t* pbArguments) {
    INTER_CONTROLLER_MESSAGE s = sTypedPartnerMessage(bCode);
    if (pbArguments != nullptr) std::memcpy(s.abCdb + 2, pbArguments, PARTNER_MESSAGE_ARGUMENT_BYTES);
    uint16_t wSlot = PARTNER_NO_SLOT;
    return bSendMessageToPartner(&s, &wSlot, 0);
}

void SetPartnerMessageDataIn(INTER_CONTROLLER_MESSAGE* ps, BUS_ADDRESS dAddress, uint32_t dLength) {
    ps->wControlFlags = PARTNER_CONTROL_DATA_IN;
    ps->wSegmentCount = 1;
    ps->dByteCount = dLength;
    ps->adSegment[0] = static_cast<uint32_t>(dAddress);
    ps->adSegment[1] = dLength;
}

uint8_t bSendHostMessageToPartner(const INTER_CONTROLLER_MESSAGE* psMessage, uint16_t wHostEntry, uint64_t lSequence,
                                  uint16_t* pwSlot) {
    TableLock sLock;
    const uint8_t b = bSendMessageToPartner(psMessage, pwSlot, 0);
    if (b != STATUS_OK) return b;
    PARTNER_MESSAGE_SLOT* ps = &s_asOutgoing[*pwSlot];
    ps->wHostEntry = wHostEntry;
    ps->lHostSequence = lSequence;
    if (ps->bCommandType == PARTNER_MESSAGE_MIRROR && wHostEntry < HOST_ENTRY_COUNT) {
        s_awHostMirrorSlot[wHostEntry] = *pwSlot;
    }
    return b;
}

KERNEL_ENTRY* psHostCommandOfSlot(const PARTNER_MESSAGE_SLOT* ps) {
    if (ps->wHostEntry >= HOST_ENTRY_COUNT) return nullptr;
    KERNEL_ENTRY* psEntry = nullptr;
    wGetTargetEntry(ps->wHostEntry, &psEntry);
    if (psEntry == nullptr || psEntry->fUsed != TRUE || psEntry->alSequence[0] != ps->lHostSequence) return nullptr;
    return psEntry;
}

uint8_t ServiceOutgoingPartnerQueue() {
    TableLock sLock;
    const uint16_t wSlot = s_sOutgoingRing.awSlot[s_sOutgoingRing.wRead];
    PARTNER_MESSAGE_SLOT* ps = wSlot < PARTNER_SLOTS ? &s_asOutgoing[wSlot] : nullptr;
    if (ps == nullptr || ps->fInUse != TRUE || ps->bPrimaryState != SLOT_QUEUED) {
        CountDown(s_sCounts.wOutgoingNew);
        Consume(&s_sOutgoingRing);
        return STATUS_OK;
    }
    if ((ps->dFlags & SLOT_FLAG_CANCELLED) || IsMirrorStale(ps)) {
        CountDown(s_sCounts.wOutgoingNew);
        Consume(&s_sOutgoingRing);
        FreeOutgoing(ps);
        return STATUS_OK;
    }
    // A mirror's issue or update never overtakes the mirror request itself,
    // nor the write token the configuration image before it.
    const auto waitAtTheBack = [&] {
        CountDown(s_sCounts.wOutgoingNew);
        Consume(&s_sOutgoingRing);
        Push(&s_sOutgoingRing, wSlot);
        ++s_sCounts.wOutgoingNew;
        SetPartnerMessageWork(TRUE);
        return STATUS_OK;
    };
    if (ps->lResendTick > lGetTickCount()) return waitAtTheBack();
    const uint8_t bWaitFor = bMirrorRequestState(ps);
    switch (bWaitFor != 0 ? bWaitFor : bConfigImageState(ps)) {
    case SLOT_QUEUED: return waitAtTheBack();
    case SLOT_SENT: return STATUS_RETRY;
    default: break;
    }
    uint16_t& wInFlight = s_sCounts.awInFlight[bPathIndex(ps->bPortCode)];
    if (wInFlight > PARTNER_PATH_IN_FLIGHT_MAX - 1) return STATUS_RETRY;
    ++wInFlight;
    ps->bPrimaryState = SLOT_SENT;
    const uint8_t bResult = bSendMessageToPartnerIOC(&ps->sMessage, wSlot, ps->bCommandType);
    if (bResult < STATUS_OK) {
        ps->bPrimaryState = SLOT_QUEUED;
        CountDown(wInFlight);
        return bResult;
    }
    CountDown(s_sCounts.wOutgoingNew);
    Consume(&s_sOutgoingRing);
    return bResult;
}

// Only a SCSI answer counts as one: a transport that gave up (status 1, a
// time-out) or any status other than those below has not delivered the
// message, and a message not delivered is sent again.
void PartnerMessageCompleteHandler(uint8_t bPortCode, uint8_t bStatus, uint8_t bQualifier, uint16_t wSlot,
                                   const uint8_t* pbSense) {
    TableLock sLock;
    if (wSlot >= PARTNER_SLOTS) return;
    PARTNER_MESSAGE_SLOT* ps = &s_asOutgoing[wSlot];
    if (ps->fInUse != TRUE || ps->bPrimaryState != SLOT_SENT) return;
    uint8_t fFailed = TRUE;
    switch (bStatus) {
    case 0:
        if (bQualifier == 0) {
            fFailed = FALSE;
        } else if (bQualifier == PARTNER_QUALIFIER_UNDERRUN &&
                   (ps->bCommandType == 134 || ps->bCommandType == 135 || ps->bCommandType == 139 ||
                    ps->bCommandType == 174 || ps->bCommandType == 175)) {
            fFailed = FALSE;
            if (ps->bCommandType == 139 || ps->bCommandType == 175) s_fStatisticsReceived = TRUE;
        }
        break;
    case 2:
        if (pbSense) {
            ps->bSenseKey = pbSense[2] & 0x0F;
            ps->bAsc = pbSense[12];
            ps->bAscq = pbSense[13];
            ps->fSenseValid = TRUE;
        }
        fFailed = ToFlag(ps->fSenseValid != TRUE ||
                         (bPortCode == PARTNER_PORT_SAS && ps->bSenseKey == 0x0B && ps->bAsc == 0x47));
        break;
    case 8:
        ps->fSenseValid = TRUE;
        ps->bSenseKey = 8;
        ExtendSASDeadline(500);
        break;
    case 40:
        ps->fSenseValid = TRUE;
        ps->bSenseKey = 40;
        break;
    default: break;
    }
    ps->fPortGone = ToFlag(bStatus != 0 && bStatus != 2 && bQualifier == PARTNER_QUALIFIER_PORT_GONE);
    ps->bPrimaryState = SLOT_ANSWERED;
    ps->fFailed = fFailed;
    Push(&s_sCompletionRing, wSlot);
    ++s_sCounts.wCompletions;
    SetPartnerMessageWork(TRUE);
    CountDown(s_sCounts.awInFlight[bPathIndex(ps->bPortCode)]);
}

uint8_t ServicePartnerCompletionQueue() {
    const uint16_t wSlot = s_sCompletionRing.awSlot[s_sCompletionRing.wRead];
    PARTNER_MESSAGE_SLOT* ps = wSlot < PARTNER_SLOTS ? &s_asOutgoing[wSlot] : nullptr;
    if (ps != nullptr && ps->fInUse == TRUE && ps->fFailed == TRUE && fIsDualControllerActive() == TRUE &&
        !(ps->dFlags & SLOT_FLAG_CANCELLED)) {
        TableLock sLock;
        if (ps->fSenseValid != TRUE) ps->bSenseKey = 0;
        uint8_t bTarget = bResendTarget(ps->sMessage.wTarget);
        // A port the IOC no longer finds never had the frame: it goes to
        // the partner's other port, or waits for the drive side to see the
        // change; sent at once to the port that is gone, it would fail
        // again on every pass until then.
        const bool fGone = ps->fPortGone == TRUE;
        const uint8_t bOther = fGone ? bOtherPortTarget(ps->sMessage.wTarget) : 0xFF;
        if (bOther != 0xFF) bTarget = bOther;
        if (bTarget != 0xFF) {
            const bool fBusy = ps->fSenseValid == TRUE &&
                               (ps->bSenseKey == SCSI_STATUS_BUSY || ps->bSenseKey == SCSI_STATUS_TASK_SET_FULL);
            const bool fWait = fBusy || (fGone && bTarget == ps->sMessage.wTarget);
            ps->lResendTick = fWait ? lGetTickCount() + PARTNER_BUSY_RESEND_MS : 0;
            ++s_sCounts.dResends;
            Requeue(ps, bTarget);
            CountDown(s_sCounts.wCompletions);
            Consume(&s_sCompletionRing);
            return STATUS_OK;
        }
    }
    // Its continuation would go on as if the partner only refused this
    // one message: a refused mirror, say, would have the write go to the
    // drives, which the partner now writes on its own.
    if (ps != nullptr && ps->fInUse == TRUE && IsGivenUpAnswer(*ps)) LeavePairGivenUpByPartner();
    if (ps != nullptr && ps->fInUse == TRUE) RunPartnerContinuation(ps, fIsDualControllerActive());
    TableLock sLock;
    if (ps != nullptr && ps->fInUse == TRUE) FreeOutgoing(ps);
    CountDown(s_sCounts.wCompletions);
    Consume(&s_sCompletionRing);
    return STATUS_OK;
}

uint8_t bQueueIncomingPartnerCommand(uint8_t bPortCode, const uint8_t* pbImage, PARTNER_MESSAGE_SLOT** ppsSlot) {
    TableLock sLock;
    *ppsSlot = nullptr;
    const uint16_t wSlot = s_sCounts.wIncomingTotal > PARTNER_SLOTS - 1 ? PARTNER_NO_SLOT
                                                                       : wFindFreeSlot(s_abIncomingBitmap);
    if (wSlot == PARTNER_NO_SLOT) return STATUS_RETRY;
    PARTNER_MESSAGE_SLOT* ps = &s_asIncoming[wSlot];
    FreeSlotValues(ps, wSlot);
    ps->fInUse = TRUE;
    std::memcpy(&ps->sMessage, pbImage, sizeof ps->sMessage);
    ps->bPortCode = bPortCode;
    ps->wLipCount = 0;   // no Fibre Channel drive loop on this board
    SetBit(s_abIncomingBitmap, wSlot, true);
    ps->bPrimaryState = SLOT_RECEIVED;
    ps->bCommandType = SLOT_TYPE_RECEIVED;
    ps->dQueueTick = dGetCoarseTick();
    ++s_sCounts.wIncomingTotal;
    ++s_sCounts.wIncomingNew;
    Push(&s_sIncomingRing, wSlot);
    SetPartnerMessageWork(TRUE);
    *ppsSlot = ps;
    return STATUS_OK;
}

const uint8_t* pGetPartnerCommandCdb(const PARTNER_MESSAGE_SLOT* psSlot) {
    if (psSlot->bPortCode != PARTNER_PORT_SAS && psSlot->bPortCode != PARTNER_PORT_LOOP1 &&
        psSlot->bPortCode != PARTNER_PORT_LOOP2) {
        return nullptr;
    }
    return psSlot->sMessage.abCdb;
}

// The sender's LUN word travels in the first two LUN bytes, which the
// received image keeps at bytes 8-9.
uint16_t wGetPartnerCommandLun(const PARTNER_MESSAGE_SLOT* psSlot) {
    const uint8_t* pb = reinterpret_cast<const uint8_t*>(&psSlot->sMessage);
    return static_cast<uint16_t>(pb[8] | pb[9] << 8);
}

namespace {

// Typed messages outside the catalogue's codes, or without a receiver,
// are refused as an invalid field.
uint8_t bHandlePartnerMessage(PARTNER_MESSAGE_SLOT* ps) {
    const uint8_t* pbCdb = ps->sMessage.abCdb;
    const uint8_t bCode = pbCdb[1];
    const uint8_t bSlotResult = bDispatchPartnerSlotMessage(ps);
    if (bSlotResult != 0) return bSlotResult;
    const uint8_t bResult = bCode < 18 || bCode > 215 ? 0 : DispatchPartnerMessage(pbCdb, wGetPartnerCommandLun(ps));
    switch (bResult) {
    case STATUS_OK: SendPartnerCommandStatus(ps, 0, 0, 0); return STATUS_OK;
    case PARTNER_ANSWER_NO_MIRROR_BUFFER: SendPartnerCommandStatus(ps, 5, 0x55, 0x01); return STATUS_OK;
    case STATUS_RETRY: return bResult;
    default: SendPartnerCommandStatus(ps, 5, 0x24, 0); return STATUS_OK;
    }
}

uint8_t bDispatchIncoming(PARTNER_MESSAGE_SLOT* ps) {
    const uint8_t* pbCdb = ps->sMessage.abCdb;
    const uint8_t bOpcode = pbCdb[0];
    // A drive-position bitmap (top bits 10 or 11) only stamps the drive
    // table's per-position times, which this board's drive table keeps none of.
    if ((bOpcode & 0x80) != 0) {
        SendPartnerCommandStatus(ps, 0, 0, 0);
        return STATUS_OK;
    }
    // A partner this controller gave up gets NOT READY for all but the
    // start-of-day requests and its failback request, which bring it back:
    // its other messages assume a link this side no longer keeps.  While
    // this side waits for the journals a joining partner holds, the notices
    // of the flush it writes them out with are taken before it has joined.
    const bool fFlushNotice = bOpcode == PARTNER_TYPED_MESSAGE && (pbCdb[1] == PARTNER_MESSAGE_FLUSH_PENDING ||
                                                                  pbCdb[1] == PARTNER_MESSAGE_FLUSH_DONE);
    const bool fRejoining = bOpcode == PARTNER_OPCODE_TEST_UNIT_READY || bOpcode == PARTNER_OPCODE_READ_BUFFER ||
                            (bOpcode == PARTNER_TYPED_MESSAGE && pbCdb[1] == PARTNER_MESSAGE_HEARTBEAT) ||
                            (fFlushNotice && fIsAwaitingPartnerJournals() == TRUE);
    if (fIsDualControllerActive() != TRUE && !fRejoining) {
        if (bOpcode == PARTNER_OPCODE_FORWARDED) ps->bPrimaryState = SLOT_DONE;
        SendPartnerNotReady(ps);
        return STATUS_OK;
    }
    switch (bOpcode) {
    case PARTNER_OPCODE_TEST_UNIT_READY:
    case PARTNER_OPCODE_WRITE_BUFFER: SendPartnerCommandStatus(ps, 0, 0, 0); return STATUS_OK;
    case PARTNER_OPCODE_READ_BUFFER: return AnswerPartnerReadBuffer(ps);
    case PARTNER_TYPED_MESSAGE: return bHandlePartnerMessage(ps);
    case PARTNER_OPCODE_FORWARDED: return HandleForwardedDriveCommand(ps);
    default: SendPartnerCommandStatus(ps, 5, 0x20, 0); return STATUS_OK;
    }
}

}  // namespace

uint8_t ServiceIncomingPartnerQueue() {
    const uint16_t wSlot = s_sIncomingRing.awSlot[s_sIncomingRing.wRead];
    PARTNER_MESSAGE_SLOT* ps = wSlot < PARTNER_SLOTS ? &s_asIncoming[wSlot] : nullptr;
    {
        TableLock sLock;
        if (ps == nullptr || ps->fInUse != TRUE) {
            CountDown(s_sCounts.wIncomingNew);
            Consume(&s_sIncomingRing);
            return STATUS_OK;
        }
        if ((ps->dFlags & SLOT_FLAG_CANCELLED) || ps->bPrimaryState == SLOT_FINISHED) {
            CountDown(s_sCounts.wIncomingNew);
            Consume(&s_sIncomingRing);
            FreeIncoming(ps);
            return STATUS_OK;
        }
        CountDown(s_sCounts.wIncomingNew);
    }
    const uint8_t* pbImage = reinterpret_cast<const uint8_t*>(&ps->sMessage);
    if (ps->bPortCode == PARTNER_PORT_SAS && ps->bPrimaryState == SLOT_RECEIVED) {
        if (pbImage[0] == PARTNER_IMAGE_TASK_MANAGEMENT) {
            const uint8_t bAnswered = AnswerPartnerTaskManagement(ps);
            TableLock sLock;
            Consume(&s_sIncomingRing);
            if (bAnswered != STATUS_OK) FreeIncoming(ps);
            return STATUS_OK;
        }
        // The sender's CRC of the CDB rides in LUN bytes 4-7, which the
        // image keeps at bytes 12-15 as the sender wrote them.
        uint32_t adCdb[4], dSent;
        std::memcpy(adCdb, ps->sMessage.abCdb, sizeof adCdb);
        std::memcpy(&dSent, pbImage + 12, sizeof dSent);
        if (dCalculateMessageCRC32(adCdb, 4) != dSent) {
            ++s_sCounts.dInvalidCdbs;
            if (ps->sMessage.abCdb[0] == PARTNER_OPCODE_FORWARDED) ps->bPrimaryState = SLOT_DONE;
            SendPartnerCommandStatus(ps, 0x0B, 0x47, 0);
            TableLock sLock;
            Consume(&s_sIncomingRing);
            return STATUS_OK;
        }
    }
    if (ps->bPrimaryState == SLOT_RECEIVED && ps->sMessage.abCdb[0] != PARTNER_OPCODE_FORWARDED) {
        ps->bPrimaryState = SLOT_CHECKED;
    }
    const uint8_t bResult = bDispatchIncoming(ps);
    TableLock sLock;
    if (bResult != STATUS_OK) {
        ++s_sCounts.wIncomingNew;
        return bResult;
    }
    Consume(&s_sIncomingRing);
    return STATUS_OK;
}

uint8_t fPartnerCommandTransferDone(uint8_t bPortCode, uint8_t bStatus, PARTNER_MESSAGE_SLOT* ps) {
    TableLock sLock;
    if (ps == nullptr || ps->fInUse != TRUE || ps->bPortCode != bPortCode) return TRUE;
    const uint8_t* pbImage = reinterpret_cast<const uint8_t*>(&ps->sMessage);
    if (bPortCode == PARTNER_PORT_SAS && pbImage[0] == PARTNER_IMAGE_TASK_MANAGEMENT) {
        FreeIncoming(ps);
        return TRUE;
    }
    const uint8_t* pbCdb = ps->sMessage.abCdb;
    auto requeue = [&](uint8_t bState) {
        ps->bPrimaryState = bState;
        ++s_sCounts.wIncomingNew;
        Push(&s_sIncomingRing, ps->wSlot);
        SetPartnerMessageWork(TRUE);
    };
    auto finishOrFree = [&]() -> uint8_t {
        if (ps->wPageCount != 0) {
            requeue(SLOT_FINISHED);
        } else {
            FreeIncoming(ps);
        }
        return TRUE;
    };
    if (pbCdb[0] == PARTNER_OPCODE_READ_BUFFER) {
        // The partner in slot 1 has read this controller's status block and
        // joins as master.  It resumes the recorded rebuild from the record
        // it just read: the step machine here lets its regions go and
        // follows from then on.  A recorded expansion waits (suspended)
        // while the partner takes its state in.
        if (pbCdb[2] == PARTNER_BUFFER_ID_STATUS_BLOCK && fIsControllerSlot1() != TRUE) {
            if (bGetNvramRebuildPendingFlag() == TRUE) SetRebuildResetRequest(TRUE);
            if (bGetNvramExpansionFlag() == TRUE) SetExpansionFlag3(TRUE);
        }
        return finishOrFree();
    }
    if (pbCdb[0] == PARTNER_TYPED_MESSAGE && IsDataMessage(pbCdb[1])) {
        if (ps->bPrimaryState == SLOT_DATA_OUT) {
            requeue(bStatus == STATUS_OK ? SLOT_DATA_GOOD : SLOT_DATA_FAILED);
            return FALSE;
        }
        if (pbCdb[1] == 120) return finishOrFree();
        FreeIncoming(ps);
        return TRUE;
    }
    if (pbCdb[0] == PARTNER_OPCODE_FORWARDED) {
        if (ps->bPrimaryState == SLOT_DATA_OUT) {
            requeue(bStatus == STATUS_OK ? SLOT_DATA_GOOD : SLOT_DATA_FAILED);
            return FALSE;
        }
        if (ps->bPrimaryState == SLOT_DONE && ps->wPageCount != 0) {
            requeue(SLOT_FINISHED);
            return TRUE;
        }
    }
    FreeIncoming(ps);
    return TRUE;
}

// Told that it was given up, the partner discards its journals and starts
// again.  A survivor still waiting for the journals of the partner it lost
// (it lacked copies of writes only that partner held) has written nothing
// since: those journals are what it waits for, and a partner coming back
// with them hears a plain NOT READY until it has written them out and joined.
void SendPartnerNotReady(PARTNER_MESSAGE_SLOT* psSlot) {
    const bool fGivenUp = fIsPartnerGivenUp() == TRUE && fIsAwaitingPartnerJournals() != TRUE;
    SendPartnerCommandStatus(psSlot, SENSE_NOT_READY, ASC_NOT_READY, fGivenUp ? PARTNER_ASCQ_GIVEN_UP : 0);
}

void SendPartnerCommandStatus(PARTNER_MESSAGE_SLOT* psSlot, uint8_t bSenseKey, uint8_t bAsc, uint8_t bAscq) {
    if (psSlot->bPortCode == PARTNER_PORT_SAS) {
        const bool fCheck = bSenseKey != 0 || bAsc != 0 || bAscq != 0;
        SendPartnerTargetStatus(psSlot, fCheck ? 2 : 0, bSenseKey, bAsc, bAscq);
        if (fCheck) RecordPartnerCheckConditionTick(lGetTickCount());
    }
    // Commands from the partner on a Fibre Channel drive loop do not reach
    // this board: it has no drive loops.
}

bool TakePartnerMessagePages(PARTNER_MESSAGE_SLOT* psSlot, uint32_t dPages, BUFFER_HANDLE* pdHandle,
                             uint8_t* pbResult) {
    *pbResult = STATUS_OK;
    // Pages beyond what this board keeps for messages and commands would
    // never come: waiting for them holds up every message behind for good.
    if (dPages > dGetAvailablePages(0)) {
        SendPartnerCommandStatus(psSlot, 5, 0x24, 0);
        return false;
    }
    if (bAllocDataPages(0, dPages, pdHandle) == STATUS_OK) return true;
    if (dGetCoarseTick() - psSlot->dQueueTick < PARTNER_PAGE_WAIT_COARSE_TICKS) {
        *pbResult = STATUS_RETRY;
        return false;
    }
    SendPartnerTargetStatus(psSlot, SCSI_STATUS_BUSY, 0, 0, 0);
    return false;
}

bool TakePartnerSlotPages(PARTNER_MESSAGE_SLOT* psSlot, uint32_t dPages, uint8_t* pbResult) {
    *pbResult = STATUS_OK;
    if (psSlot->wPageCount != 0) return true;
    BUFFER_HANDLE dHandle = NULL_BUFFER_HANDLE;
    if (!TakePartnerMessagePages(psSlot, dPages, &dHandle, pbResult)) return false;
    psSlot->dBuffer = dHandle;
    psSlot->wPageCount = static_cast<uint16_t>(dPages);
    return true;
}

uint8_t bSendDataToPartnerInitiator(PARTNER_MESSAGE_SLOT* psSlot, BUS_ADDRESS dAddress, uint32_t dLength,
                                    uint8_t bTransferFlag) {
    (void)bTransferFlag;   // only a drive loop's target path takes it
    return psSlot->bPortCode == PARTNER_PORT_SAS ? SendPartnerTargetData(psSlot, dAddress, dLength, 0) : 0;
}

uint8_t bReceiveDataFromPartnerInitiator(PARTNER_MESSAGE_SLOT* psSlot, BUS_ADDRESS dAddress, uint32_t dLength) {
    return psSlot->bPortCode == PARTNER_PORT_SAS ? ReceivePartnerTargetData(psSlot, dAddress, dLength) : 0;
}

// --- path loss ------------------------------------------------------------

void AbortPartnerIncoming(uint8_t bPortCode) {
    for (PARTNER_MESSAGE_SLOT& s : s_asIncoming) {
        if (s.fInUse != TRUE || s.bPortCode != bPortCode) continue;
        s.dFlags |= SLOT_FLAG_CANCELLED;
        if (s.bCommandType == 158 && s.wSecondIndex <= 4095) AbortForwardedDriveCommand(s.wSecondIndex);
        if (s.bPrimaryState == SLOT_STATUS_SENT || s.bPrimaryState == SLOT_CHECKED ||
            s.bPrimaryState == SLOT_DONE || s.bPrimaryState == SLOT_DATA_OUT) {
            if (s.bPrimaryState != SLOT_DONE) s.bPrimaryState = SLOT_STATUS_SENT;
            (void)fPartnerCommandTransferDone(bPortCode, 0, &s);
        }
    }
}

namespace {

// A queued or sent message ends as not delivered, so its continuation runs.
void EndUndelivered(PARTNER_MESSAGE_SLOT& s, uint8_t bPortCode) {
    s.dFlags |= SLOT_FLAG_CANCELLED;
    if (s.bPrimaryState == SLOT_QUEUED) {
        ++s_sCounts.awInFlight[bPathIndex(bPortCode)];
        s.bPrimaryState = SLOT_SENT;
    }
    if (s.bPrimaryState == SLOT_SENT) PartnerMessageCompleteHandler(bPortCode, 0, 1, s.wSlot, nullptr);
}

}  // namespace

// The drive IOC restarted: every message it carried ends as not delivered.
// Its frame may or may not have reached the partner, so it is not sent
// again behind the partner's back; its continuation decides.  A message
// still waiting to be sent never left this board: it stays queued and goes
// out on the restarted IOC, or ends when the partner's ports are found gone
// (`RetargetPartnerMessages`).  Ending it here lost it with the partner
// still there.
void AbortPartnerOutgoing(uint8_t bPortCode) {
    for (PARTNER_MESSAGE_SLOT& s : s_asOutgoing) {
        if (s.fInUse == TRUE && s.bPortCode == bPortCode && s.bPrimaryState == SLOT_SENT) EndUndelivered(s, bPortCode);
    }
}

// The partner's drive-side ports changed: a message still waiting to be
// sent goes to a port the partner has now, or, with none left, ends as not
// delivered so that its continuation runs.  One the IOC carries already is
// left to its answer (or its deadline), whose resend picks the port then:
// sent again while the IOC still held it, the old frame's answer could be
// taken for the new one's, and the partner could carry it out twice.
void RetargetPartnerMessages(uint8_t bPortCode) {
    TableLock sLock;
    for (PARTNER_MESSAGE_SLOT& s : s_asOutgoing) {
        if (s.fInUse != TRUE || s.bPortCode != bPortCode || s.bPrimaryState != SLOT_QUEUED) continue;
        const uint8_t bTarget = bResendTarget(s.sMessage.wTarget);
        if (bTarget != 0xFF) {
            s.sMessage.wTarget = bTarget;
        } else {
            EndUndelivered(s, bPortCode);
        }
    }
}

uint8_t DualControllerTask() {
    SetPartnerMessageWork(FALSE);
    bool fAgain = ServiceMirrorAllocationQueue() == STATUS_RETRY;
    if (!SendOwedConfigImage()) fAgain = true;
    const uint8_t fHostPortBusy = FALSE;   // host port loop resets: Fibre Channel drive loops only
    const uint16_t wIncoming = s_sCounts.wIncomingNew;
    for (uint16_t i = 0; i < wIncoming; ++i) {
        if (ServiceIncomingPartnerQueue() != STATUS_OK) {
            fAgain = true;
            break;
        }
    }
    const uint16_t wCompletions = s_sCounts.wCompletions;
    for (uint16_t i = 0; i < wCompletions; ++i) (void)ServicePartnerCompletionQueue();
    const uint16_t wOutgoing = s_sCounts.wOutgoingNew;
    for (uint16_t i = 0; i < wOutgoing; ++i) {
        if (ServiceOutgoingPartnerQueue() < STATUS_OK) {
            fAgain = true;
            break;
        }
    }
    if (fAgain || wIncoming != 0 || wCompletions != 0 || wOutgoing != 0) SetPartnerMessageWork(TRUE);
    return fHostPortBusy;
}

}  // namespace fw
