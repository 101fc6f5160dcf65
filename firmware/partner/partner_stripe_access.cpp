// Message 118: a host READ(16) or WRITE(16) that may touch stripes the
// partner works on asks it first.  The partner checks the command's stripe
// ranges against its own commands and answers granted or refused, either
// possibly handing this controller the mastership of the LUN; a refused
// command is asked for again on its next dispatch.
#include "cache/stripe_access.h"
#include "executive/types.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "partner/partner_messages.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"

namespace fw {

namespace {

// Stripe counts travel in 16 bits: a command of at most 65535 blocks spans
// no more stripes than that, and a count of 0 would ask about nothing.
uint16_t wStripeCountField(uint32_t d, bool fAtLeastOne) {
    if (d == 0) return fAtLeastOne ? 1 : 0;
    return d > 0xFFFF ? 0xFFFF : static_cast<uint16_t>(d);
}

// The partner's answer decides the command.  A grant makes it 'w': it goes
// on at its next dispatch, unless its O flag says the partner was granted an
// overlapping command while this request was out; then both sides hold a
// grant and the grant here is void, the request goes again.  A refusal
// makes it 'u', asked for again on its next dispatch.  The S flag is set
// only when the command really goes on (the dispatcher, a row hold in
// force): a record granted but not yet going still counts as waiting.
void SettleStripeAccess(KERNEL_ENTRY* psEntry, uint8_t bAnswer) {
    if (bAnswer == STRIPE_ACCESS_GRANTED_MASTER || bAnswer == STRIPE_ACCESS_REFUSED_MASTER) {
        SetLunMasterFlag(psEntry->wLunIndex, TRUE);
    }
    if (bAnswer == STRIPE_ACCESS_GRANTED || bAnswer == STRIPE_ACCESS_GRANTED_MASTER) {
        SetFlag(psEntry, KE_FLAG_PARTNER_ACCESS);
        psEntry->bCommandType = COMMAND_TYPE_PARTNER_ACCESS_W;
    } else {
        psEntry->bCommandType = COMMAND_TYPE_PARTNER_ACCESS_U;
    }
}

}  // namespace

// Bytes 2-3 LUN, 4 opcode, 5 segment of the first range, 6-11 its first
// address, 12-13 its stripe count, 14-15 the stripe count of the second
// range (in the next segment; 0 none).
uint8_t bSendEventRateMessage118(KERNEL_ENTRY* psEntry) {
    if (fIsDualControllerActive() != TRUE) return 0;
    STRIPE_ACCESS_ENTRY* psRecord = nullptr;
    pGetStripeAccessEntry(psEntry->wIndex, &psRecord);
    if (psRecord == nullptr || psRecord->fInUse != TRUE) return 0;
    INTER_CONTROLLER_MESSAGE s = sTypedPartnerMessage(PARTNER_MESSAGE_STRIPE_ACCESS);
    PutBe16(s.abCdb + 2, psRecord->wLun);
    s.abCdb[4] = psRecord->bOpcode;
    s.abCdb[5] = psRecord->bSegment;
    PutBe16(s.abCdb + 6, static_cast<uint16_t>(psRecord->lStart >> 32));
    PutBe32(s.abCdb + 8, static_cast<uint32_t>(psRecord->lStart));
    PutBe16(s.abCdb + 12, wStripeCountField(psRecord->dStripeCount, true));
    PutBe16(s.abCdb + 14, wStripeCountField(psRecord->dSecondStripeCount, false));
    uint16_t wSlot = PARTNER_NO_SLOT;
    if (bSendHostMessageToPartner(&s, psEntry->wIndex, psEntry->alSequence[0], &wSlot) != STATUS_OK) return 0;
    OpenStripeAccessCycle(psEntry->wIndex);
    // Only a command marked as asking takes the answer (see below).
    psEntry->bCommandType = COMMAND_TYPE_PARTNER_ACCESS_OUT;
    return STATUS_OK;
}

// The partner's check, answered in the ASC of its status bytes.
void ReceivePartnerStripeAccess(PARTNER_MESSAGE_SLOT* psSlot) {
    const uint8_t* pbCdb = psSlot->sMessage.abCdb;
    const uint64_t lStart = (uint64_t(wGetBe16(pbCdb + 6)) << 32) | dGetBe32(pbCdb + 8);
    const uint8_t bAnswer = bCheckPartnerStripeAccess(pbCdb[4], wGetBe16(pbCdb + 2), lStart, wGetBe16(pbCdb + 12),
                                                      pbCdb[5], wGetBe16(pbCdb + 14));
    SendPartnerCommandStatus(psSlot, 0, bAnswer, 0);
}

// The answer came back.  A command no longer waiting for it (aborted and
// gone) is left alone; one whose message was not answered asks again.
void PartnerStripeAccessAnswered(PARTNER_MESSAGE_SLOT* psSlot, uint8_t) {
    if (psSlot->wHostEntry >= HOST_ENTRY_COUNT) return;
    KERNEL_ENTRY* psEntry = nullptr;
    wGetTargetEntry(psSlot->wHostEntry, &psEntry);
    if (psEntry == nullptr || psEntry->fUsed != TRUE || psEntry->alSequence[0] != psSlot->lHostSequence ||
        psEntry->bCommandType != COMMAND_TYPE_PARTNER_ACCESS_OUT) {
        return;
    }
    const bool fAnswered = psSlot->fFailed != TRUE && psSlot->fSenseValid == TRUE && psSlot->bSenseKey == 0;
    SettleStripeAccess(psEntry, fAnswered ? psSlot->bAsc : STRIPE_ACCESS_REFUSED);
}

}  // namespace fw
