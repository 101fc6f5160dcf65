// Host reservations both controllers keep: a SCSI-2 reserve or release
// (messages 124, 125) and a PERSISTENT RESERVE OUT (message 40) are carried
// out on the partner first, and its answer finishes the host command here.
#include <cstring>

#include "executive/buffer_pages.h"
#include "executive/types.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "partner/partner_messages.h"
#include "target/host_command_pool.h"
#include "target/persistent_reservations.h"
#include "target/scsi2_reservations.h"

namespace fw {

namespace {

// Message 124/125's CDB: LUN, on-behalf flag, port code, initiator,
// on-behalf initiator, controller.
constexpr uint8_t RESERVATION_LUN = 2;
constexpr uint8_t RESERVATION_ON_BEHALF = 4;
constexpr uint8_t RESERVATION_PORT = 5;
constexpr uint8_t RESERVATION_INITIATOR = 6;
constexpr uint8_t RESERVATION_ON_BEHALF_ID = 8;
constexpr uint8_t RESERVATION_CONTROLLER = 10;
// Message 40's CDB: service action, then the parameter list's length; its
// data is the request record followed by the list.
constexpr uint8_t PR_OUT_SERVICE_ACTION = 2;
constexpr uint8_t PR_OUT_LIST_LENGTH = 5;
// No service action takes a longer list than a register with every
// transport id a port can name.
constexpr uint32_t PR_OUT_LIST_MAX = 4 * BUFFER_PAGE_SIZE - PR_REQUEST_BYTES;

uint16_t wEntryOf(const KERNEL_ENTRY* psEntry) {
    return psEntry != nullptr ? wTargetEntryIndex(psEntry) : uint16_t(0xFFFF);
}

// The request record and its list, gathered for the message's pages.
uint8_t s_abPrOutData[PR_REQUEST_BYTES + PR_OUT_LIST_MAX];

uint8_t bSendReservationMessage(uint8_t bCode, KERNEL_ENTRY* psEntry, uint8_t fOnBehalf, uint8_t bPortCode,
                                uint16_t wLun, uint16_t wInitiator, uint16_t wOnBehalfId, uint8_t bController) {
    if (fIsDualControllerActive() != TRUE) return 0;
    INTER_CONTROLLER_MESSAGE s = sTypedPartnerMessage(bCode);
    PutBe16(s.abCdb + RESERVATION_LUN, wLun);
    s.abCdb[RESERVATION_ON_BEHALF] = fOnBehalf;
    s.abCdb[RESERVATION_PORT] = bPortCode;
    PutBe16(s.abCdb + RESERVATION_INITIATOR, wInitiator);
    PutBe16(s.abCdb + RESERVATION_ON_BEHALF_ID, wOnBehalfId);
    s.abCdb[RESERVATION_CONTROLLER] = bController;
    uint16_t wSlot = PARTNER_NO_SLOT;
    return bSendHostMessageToPartner(&s, wEntryOf(psEntry), psEntry != nullptr ? psEntry->alSequence[0] : 0,
                                     &wSlot);
}

}  // namespace

uint8_t bSendReservationMessage124(KERNEL_ENTRY* psEntry, uint8_t fOnBehalf, uint8_t bPortCode, uint16_t wLun,
                                   uint16_t wInitiator, uint16_t wOnBehalfId, uint8_t bController) {
    return bSendReservationMessage(PARTNER_MESSAGE_SCSI2_RESERVE, psEntry, fOnBehalf, bPortCode, wLun, wInitiator,
                                   wOnBehalfId, bController);
}

uint8_t bSendReservationMessage125(KERNEL_ENTRY* psEntry, uint8_t fOnBehalf, uint8_t bPortCode, uint16_t wLun,
                                   uint16_t wInitiator, uint16_t wOnBehalfId, uint8_t bController) {
    return bSendReservationMessage(PARTNER_MESSAGE_SCSI2_RELEASE, psEntry, fOnBehalf, bPortCode, wLun, wInitiator,
                                   wOnBehalfId, bController);
}

// The partner refuses a reserve another initiator holds there (CHECK
// CONDITION).  A message that never got an answer is decided here once the
// link is gone, as a single controller would; while the link stands the
// partner may hold the LUN, and the reserve is refused.
void ReservationAnswered(PARTNER_MESSAGE_SLOT* ps, uint8_t fLinkActive) {
    KERNEL_ENTRY* psEntry = psHostCommandOfSlot(ps);
    if (psEntry == nullptr || psEntry->bPrimaryState != HOST_STATE_PARTNER_WAIT) return;
    const uint8_t* pbCdb = ps->sMessage.abCdb;
    const bool fGranted = ps->fSenseValid != TRUE && (ps->fFailed != TRUE || fLinkActive != TRUE);
    const uint8_t fOnBehalf = pbCdb[RESERVATION_ON_BEHALF], bPort = pbCdb[RESERVATION_PORT];
    const uint16_t wLun = wGetBe16(pbCdb + RESERVATION_LUN), wInitiator = wGetBe16(pbCdb + RESERVATION_INITIATOR);
    const uint16_t wOnBehalfId = wGetBe16(pbCdb + RESERVATION_ON_BEHALF_ID);
    if (ps->bCommandType == PARTNER_MESSAGE_SCSI2_RESERVE) {
        FinishReserve(psEntry, ToFlag(fGranted), fOnBehalf, bPort, wLun, wInitiator, wOnBehalfId,
                      pbCdb[RESERVATION_CONTROLLER]);
    } else {
        FinishRelease(psEntry, ToFlag(fGranted), fOnBehalf, bPort, wLun, wInitiator, wOnBehalfId,
                      pbCdb[RESERVATION_CONTROLLER]);
    }
}

uint8_t bSendPrOutMessage40(KERNEL_ENTRY* psEntry, const uint8_t* pbRecord, const uint8_t* pbList, uint32_t dLength) {
    if (dLength > PR_OUT_LIST_MAX) dLength = PR_OUT_LIST_MAX;
    std::memcpy(s_abPrOutData, pbRecord, PR_REQUEST_BYTES);
    if (dLength != 0) std::memcpy(s_abPrOutData + PR_REQUEST_BYTES, pbList, dLength);
    INTER_CONTROLLER_MESSAGE s = sTypedPartnerMessage(PARTNER_MESSAGE_PR_OUT);
    s.abCdb[PR_OUT_SERVICE_ACTION] = pbRecord[PR_REQUEST_SERVICE_ACTION];
    PutBe32(s.abCdb + PR_OUT_LIST_LENGTH, dLength);
    return bSendPartnerData(&s, s_abPrOutData, PR_REQUEST_BYTES + dLength, PR_REQUEST_BYTES + dLength, psEntry);
}

// The partner's request, carried out here once its data has come; while
// this controller's own request waits for the partner it waits too.
uint8_t bReceivePrOutMessage40(PARTNER_MESSAGE_SLOT* ps) {
    const uint32_t dLength = dGetBe32(ps->sMessage.abCdb + PR_OUT_LIST_LENGTH);
    if (dLength > PR_OUT_LIST_MAX) {
        SendPartnerCommandStatus(ps, 5, 0x24, 0);
        return STATUS_OK;
    }
    if (uint8_t bResult = STATUS_OK; !ReceivePartnerTable(ps, PR_REQUEST_BYTES + dLength, &bResult)) return bResult;
    const auto* pb = static_cast<const uint8_t*>(pBufferHandleToPointer(ps->dBuffer));
    const uint8_t b = bRunPartnerPrOutRequest(pb, pb + PR_REQUEST_BYTES, dLength);
    if (b == STATUS_RETRY) return b;
    SendPartnerCommandStatus(ps, 0, 0, 0);
    return STATUS_OK;
}

// Done on the partner (or the partner gone): carried out here too.  A
// command that ended meanwhile leaves nothing to carry out, and the next
// request need not wait for it.
void PrOutAnswered(PARTNER_MESSAGE_SLOT* ps, uint8_t) {
    KERNEL_ENTRY* psEntry = psHostCommandOfSlot(ps);
    if (psEntry != nullptr) {
        PrOutPartnerDone(psEntry);
    } else {
        SetPrOutWaitFlag(FALSE);
    }
}

}  // namespace fw
