// Stand-ins for the services of this subsystem that are not built yet:
// the least behaviour that lets their callers run.
#include "partner/partner_link.h"
#include "partner/partner_messages.h"
#include "partner/partner_state.h"
#include "sas/active_active.h"
#include "cache/cache.h"
#include "cache/outstanding_queues.h"
#include "executive/types.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/persistent_reservations.h"
#include "target/scsi2_reservations.h"

namespace fw {

// The stand-in partner holds no reservation for hosts of its own: it grants
// every SCSI-2 reserve and release, answered when the partner service next
// runs.
namespace {
struct RESERVATION_MESSAGE {
    KERNEL_ENTRY* psEntry;
    uint8_t fReserve;
    uint8_t fOnBehalf;
    uint8_t bPortCode;
    uint16_t wLun;
    uint16_t wInitiator;
    uint16_t wOnBehalfId;
    uint8_t bController;
};
constexpr uint16_t RESERVATION_MESSAGES = 64;
RESERVATION_MESSAGE s_asReservationMessages[RESERVATION_MESSAGES];
uint16_t s_wReservationMessages = 0;

uint8_t bQueueReservationMessage(const RESERVATION_MESSAGE& s) {
    if (fIsDualControllerActive() != TRUE || s_wReservationMessages >= RESERVATION_MESSAGES) return STATUS_RETRY;
    s_asReservationMessages[s_wReservationMessages++] = s;
    return STATUS_OK;
}

void AnswerReservationMessages() {
    const uint16_t wCount = s_wReservationMessages;
    s_wReservationMessages = 0;
    for (uint16_t w = 0; w < wCount; w++) {
        const RESERVATION_MESSAGE& s = s_asReservationMessages[w];
        if (s.psEntry == nullptr) continue;
        if (s.fReserve == TRUE) {
            FinishReserve(s.psEntry, TRUE, s.fOnBehalf, s.bPortCode, s.wLun, s.wInitiator, s.wOnBehalfId, s.bController);
        } else {
            FinishRelease(s.psEntry, TRUE, s.fOnBehalf, s.bPortCode, s.wLun, s.wInitiator, s.wOnBehalfId, s.bController);
        }
    }
}
}  // namespace

// The stand-in partner keeps no persistent reservations of its own: a
// PERSISTENT RESERVE OUT is done there at once, answered when the partner
// service next runs.
namespace {
constexpr uint16_t PR_OUT_MESSAGES = 8;
KERNEL_ENTRY* s_apsPrOutMessages[PR_OUT_MESSAGES];
uint16_t s_wPrOutMessages = 0;
}  // namespace
// What the stand-in partner answers, each time the partner service runs.
void ServiceStandInPartnerAnswers() {
    AnswerReservationMessages();
    const uint16_t wPrOut = s_wPrOutMessages;
    s_wPrOutMessages = 0;
    for (uint16_t w = 0; w < wPrOut; w++) PrOutPartnerDone(s_apsPrOutMessages[w]);
}
namespace {
uint8_t s_fPartnerDumpFlag = FALSE;
}  // namespace
uint8_t fGetPartnerDumpFlag() { return s_fPartnerDumpFlag; }
void SetPartnerDumpFlag(uint8_t f) { s_fPartnerDumpFlag = f; }

// Stand-ins for the tick, board state and stop paths.
uint64_t lGetPartnerDeadline() { return UINT64_MAX; }
void SetPartnerDeadlineFlag(uint8_t) {}

void PartnerHostTargetService() {}
uint8_t fGetPartnerHousekeepingRequest() { return FALSE; }
void PartnerHousekeepingService() {}

void NotifyPartnerHostPortChange(uint8_t) {}

uint8_t bPartnerCommandData(KERNEL_ENTRY*) { return STATUS_OK; }

uint8_t bSendPrOutMessage40(KERNEL_ENTRY* psEntry, const uint8_t*, const uint8_t*, uint32_t) {
    if (fIsDualControllerActive() != TRUE || s_wPrOutMessages >= PR_OUT_MESSAGES) return STATUS_RETRY;
    s_apsPrOutMessages[s_wPrOutMessages++] = psEntry;
    return STATUS_OK;
}
uint8_t bSendPrAttentionClearMessage(const uint8_t*, uint8_t, uint8_t, uint16_t) { return STATUS_OK; }
uint8_t bSendDataToPartnerInitiator(KERNEL_ENTRY*, const uint8_t*, uint32_t) { return 0; }
// No heartbeat windows are kept yet: nothing to read.
uint8_t bReadPartnerHeartbeatWindow(uint8_t, uint32_t* pdSum) {
    *pdSum = 0;
    return 0;
}
uint8_t bAskPartnerManagement(uint8_t, const uint8_t*) { return STATUS_RETRY; }

uint8_t bSendReservationMessage124(KERNEL_ENTRY* psEntry, uint8_t fOnBehalf, uint8_t bPortCode, uint16_t wLun,
                                   uint16_t wInitiator, uint16_t wOnBehalfId, uint8_t bController) {
    return bQueueReservationMessage({psEntry, TRUE, fOnBehalf, bPortCode, wLun, wInitiator, wOnBehalfId, bController});
}
uint8_t bSendReservationMessage125(KERNEL_ENTRY* psEntry, uint8_t fOnBehalf, uint8_t bPortCode, uint16_t wLun,
                                   uint16_t wInitiator, uint16_t wOnBehalfId, uint8_t bController) {
    return bQueueReservationMessage({psEntry, FALSE, fOnBehalf, bPortCode, wLun, wInitiator, wOnBehalfId, bController});
}



// The partner's message catalogue is not built: nothing goes out.
uint8_t bSendEnclosureFwMessage211() { return FALSE; }

}  // namespace fw
