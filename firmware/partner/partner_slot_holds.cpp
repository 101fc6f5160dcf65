#include "partner/partner_slot_holds.h"

#include "executive/types.h"
#include "partner/partner_link.h"
#include "partner/partner_messages.h"
#include "sas/active_active.h"

namespace fw {

namespace {

constexpr uint8_t CDB_ENCLOSURE = 2;
constexpr uint8_t CDB_SLOT = 3;
constexpr uint8_t CDB_FLAG = 4;
constexpr uint8_t HOLD_REFUSED = 0;

}  // namespace

void SendSasSlotHoldMessage(uint8_t bEnclosure, uint8_t bSlot, uint8_t f) {
    INTER_CONTROLLER_MESSAGE s = sTypedPartnerMessage(PARTNER_MESSAGE_SLOT_HOLD);
    s.abCdb[CDB_ENCLOSURE] = bEnclosure;
    s.abCdb[CDB_SLOT] = bSlot;
    s.abCdb[CDB_FLAG] = f;
    uint16_t wSlot = PARTNER_NO_SLOT;
    // A message that cannot be queued (no partner path, no free slot) is
    // taken as agreed: the hold is then this controller's alone.  A refusal
    // here would announce it again at once, and again, without end.
    if (bSendMessageToPartner(&s, &wSlot, 0) != STATUS_OK) PartnerSlotHoldDone(bEnclosure, bSlot, f, STATUS_OK);
}

uint8_t bReceiveSasSlotHold(const uint8_t* pbCdb, uint16_t) {
    const uint8_t f = pbCdb[CDB_FLAG];
    if (f != TRUE && f != FALSE) return HOLD_REFUSED;
    return fAnswerPartnerSlotHold(pbCdb[CDB_ENCLOSURE], pbCdb[CDB_SLOT], f) == TRUE ? STATUS_OK : HOLD_REFUSED;
}

void SasSlotHoldAnswered(PARTNER_MESSAGE_SLOT* psSlot, uint8_t) {
    const uint8_t* pbCdb = psSlot->sMessage.abCdb;
    const bool fAgreed = psSlot->fFailed != TRUE && psSlot->fSenseValid != TRUE;
    PartnerSlotHoldDone(pbCdb[CDB_ENCLOSURE], pbCdb[CDB_SLOT], pbCdb[CDB_FLAG], fAgreed ? STATUS_OK : 0);
}

}  // namespace fw
