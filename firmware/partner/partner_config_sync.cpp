// The configuration between the two controllers: a commit sends the live
// image to the partner (message 145), which takes it in place of its own
// when it is the newer one; the first array's commit empties the partner's
// write journals too (message 34).
#include <cstring>

#include "config/apply_settings.h"
#include "config/config_flags.h"
#include "config/config_image.h"
#include "config/nvram_records.h"
#include "executive/buffer_pages.h"
#include "executive/kernel_queue.h"
#include "executive/types.h"
#include "executive/work_flags.h"
#include "hw/scsi.h"
#include "partner/partner_link.h"
#include "partner/partner_messages.h"

namespace fw {

namespace {

// Byte 12 of message 145: the image is taken whatever its generation.
constexpr uint8_t CONFIG_ANY_GENERATION = 15;
constexpr uint16_t CONFIG_IMAGE_PAGES = (CONFIG_IMAGE_SIZE + BUFFER_PAGE_SIZE - 1) / BUFFER_PAGE_SIZE;

// Whether this controller takes the partner's image: a slave always does;
// the master only a newer one while no commit of its own is pending or
// running, which would otherwise be lost or overwrite it.
bool TakesPartnerImage(const uint8_t* pbCdb) {
    if (fIsMasterController() != TRUE) return true;
    const uint32_t dGeneration = dGetBe32(pbCdb + 8);
    if (dGeneration == 0) return true;
    if (fIsConfigUpdatePending() == TRUE || fIsConfigCommitInProgress() == TRUE) return false;
    return pbCdb[12] == CONFIG_ANY_GENERATION || dGeneration > pGetConfigImage()->sHeader.dGeneration;
}

}  // namespace

namespace {

// The state bytes of message 145 (CDB bytes 2-7): whether an editor's
// commit sent it, a byte not used, and the rebuild and parity check the
// commit leaves pending.
constexpr uint8_t CONFIG_STATE_BYTES = 6;

// A commit's image the partner could not be sent, and the state it carries.
bool s_fImageOwed = false;
uint8_t s_abOwedState[CONFIG_STATE_BYTES];

// The live image as it stands now, with the state given.
uint8_t bSendLiveImage(const uint8_t* pbState) {
    const CONFIG_IMAGE* psLive = pGetConfigImage();
    INTER_CONTROLLER_MESSAGE s = sTypedPartnerMessage(PARTNER_MESSAGE_CONFIG_CHANGED);
    std::memcpy(s.abCdb + 2, pbState, CONFIG_STATE_BYTES);
    PutBe32(s.abCdb + 8, psLive->sHeader.dGeneration);
    s.wControlFlags = PARTNER_CONTROL_DATA_OUT;
    s.wSegmentCount = 1;
    s.dByteCount = CONFIG_IMAGE_SIZE;
    s.adSegment[0] = static_cast<uint32_t>(dPciAddressOf(psLive));
    s.adSegment[1] = CONFIG_IMAGE_SIZE;
    uint16_t wSlot = PARTNER_NO_SLOT;
    return bSendMessageToPartner(&s, &wSlot, 0);
}

}  // namespace

// A partner left with its old image would serve arrays and logical drives
// this controller no longer has: an image that cannot be queued now is sent
// again from the message service until it goes, or until the partner is
// gone (it loads the image when it joins again).  A later commit's image
// replaces one still owed; an editor's commit still owed stays one.
uint8_t SendConfigChangedMessage(uint8_t fFromEditor) {
    uint8_t abState[CONFIG_STATE_BYTES] = {fFromEditor, 0, fGetPendingRebuildFlag(), bGetPendingRebuildRank(),
                                           fGetPendingParityCheckFlag(), bGetPendingParityCheckRank()};
    if (s_fImageOwed && s_abOwedState[0] == TRUE) abState[0] = TRUE;
    const uint8_t b = bSendLiveImage(abState);
    s_fImageOwed = b != STATUS_OK && fIsDualControllerActive() == TRUE;
    if (s_fImageOwed) {
        std::memcpy(s_abOwedState, abState, sizeof abState);
        SetPartnerMessageWork(TRUE);
    }
    return b;
}

bool SendOwedConfigImage() {
    if (!s_fImageOwed) return true;
    if (fIsDualControllerActive() != TRUE || bSendLiveImage(s_abOwedState) == STATUS_OK) s_fImageOwed = false;
    return !s_fImageOwed;
}

uint8_t bReceivePartnerConfigImage(PARTNER_MESSAGE_SLOT* ps) {
    const uint8_t* pbCdb = ps->sMessage.abCdb;
    switch (ps->bPrimaryState) {
    case SLOT_DATA_FAILED: SendPartnerCommandStatus(ps, 0x0B, 0x47, 0); return STATUS_OK;
    case SLOT_DATA_GOOD: {
        CONFIG_IMAGE* psImage = static_cast<CONFIG_IMAGE*>(pBufferHandleToPointer(ps->dBuffer));
        // A damaged image never replaces the live one: the partner sends it
        // again.
        if (fIsConfigImageValid(psImage) != TRUE) {
            SendPartnerCommandStatus(ps, 0x0B, 0x47, 0);
            return STATUS_OK;
        }
        CONFIG_IMAGE* psLive = pGetConfigImage();
        CopyConfigImage(psImage, psLive);
        SetConfigValid(ToFlag(psLive->sHeader.wRankCount != 0));
        SetNvramJournalGeneration(psLive->sHeader.dGeneration);
        HandlePartnerConfigChangedMessage(pbCdb[2], pbCdb[3], pbCdb[4], pbCdb[5], pbCdb[6], pbCdb[7]);
        SendPartnerCommandStatus(ps, 0, 0, 0);
        return STATUS_OK;
    }
    default: break;
    }
    if (!TakesPartnerImage(pbCdb)) {
        SendPartnerCommandStatus(ps, 5, 0x00, 0x16);
        return STATUS_OK;
    }
    // The image arrives in pages of its own: the scratch image may hold an
    // edit that is open here.
    if (uint8_t bResult = STATUS_OK; !TakePartnerSlotPages(ps, CONFIG_IMAGE_PAGES, &bResult)) return bResult;
    if (bReceiveDataFromPartnerInitiator(ps, dBufferHandleToPciAddress(ps->dBuffer), CONFIG_IMAGE_SIZE) !=
        STATUS_OK) {
        SendPartnerCommandStatus(ps, 0x0B, 0x47, 0);
    }
    return STATUS_OK;
}

uint8_t SendJournalResetMessage(uint8_t bArgument) {
    INTER_CONTROLLER_MESSAGE s = sTypedPartnerMessage(PARTNER_MESSAGE_JOURNAL_RESET);
    s.abCdb[2] = bArgument;
    uint16_t wSlot = PARTNER_NO_SLOT;
    return bSendMessageToPartner(&s, &wSlot, 0);
}

// The commit waits for the partner's answer to message 34 before it goes on.
void PartnerJournalResetAnswered(PARTNER_MESSAGE_SLOT*, uint8_t) { RequestStartOfDayService(); }

}  // namespace fw
