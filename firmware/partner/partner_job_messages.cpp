// The background array jobs' messages to the partner: the parity check's
// start, progress and end (90 to 94), the stripe initialisation's steps
// (106, 185 to 188) and the array expansion's rows and end (87, 88), so
// that a slave follows the master's walk and can take it over.  They go
// only while the two controllers work together.
#include <cstring>

#include "executive/types.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "partner/partner_messages.h"
#include "raid/parity_check.h"
#include "raid/stripe_init.h"

namespace fw {

void SendParityJobMessage(uint8_t bCode, uint8_t bRank, uint8_t bMode, uint8_t fAll) {
    if (fIsDualControllerActive() != TRUE) return;
    INTER_CONTROLLER_MESSAGE s = sTypedPartnerMessage(bCode);
    uint8_t* pb = s.abCdb + 1;
    pb[1] = bRank;
    pb[2] = bMode;
    pb[3] = fAll;
    // A start request carries only what to check; the rest carry where the
    // check is.
    if (bCode != PARITY_MESSAGE_START) {
        PutBe32(pb + 5, dGetParityCheckPosition());
        PutBe32(pb + 9, dGetParityCheckErrorCount());
    }
    uint16_t wSlot = 0;
    (void)bSendMessageToPartner(&s, &wSlot, 0);
}

void SendExpansionMessage(const uint8_t* pbMessage, uint32_t dLength) {
    if (fIsDualControllerActive() != TRUE || pbMessage == nullptr || dLength == 0) return;
    // The code goes in the message's code byte, the rest in its arguments.
    uint8_t abArguments[PARTNER_MESSAGE_ARGUMENT_BYTES] = {};
    const uint32_t dArguments = dLength - 1 < PARTNER_MESSAGE_ARGUMENT_BYTES ? dLength - 1 : PARTNER_MESSAGE_ARGUMENT_BYTES;
    std::memcpy(abArguments, pbMessage + 1, dArguments);
    // A progress message lost to a full queue is made good by the next;
    // the partner drops a finished expansion's record at the commit's apply.
    (void)bSendConfigRecordMessage(pbMessage[0], abArguments);
}

uint8_t bSendStripeInitMessage(uint8_t bRank, uint8_t bMessageCode, uint64_t lPosition, uint8_t bPercent,
                               uint16_t wBlocks) {
    if (fIsDualControllerActive() != TRUE) return STATUS_RETRY;
    INTER_CONTROLLER_MESSAGE s = sTypedPartnerMessage(bMessageCode);
    uint8_t* pb = s.abCdb + 1;
    pb[1] = bRank;
    pb[2] = bPercent;
    PutBe64(pb + 3, lPosition);
    PutBe16(pb + 11, wBlocks);
    uint16_t wSlot = 0;
    return bSendMessageToPartner(&s, &wSlot, 0) == STATUS_OK ? STATUS_OK : STATUS_RETRY;
}

// The partner has taken message 188 (it answers once the stripe is no
// longer busy there): the walk goes on, or skips again when it refused.
void StripeInitSkipDelivered(PARTNER_MESSAGE_SLOT* psSlot, uint8_t) {
    StripeInitSkipAnswered(psSlot->sMessage.abCdb[2], psSlot->fFailed);
}

}  // namespace fw
