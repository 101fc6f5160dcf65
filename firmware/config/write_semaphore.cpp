// The configuration write token between the two controllers.
#include "config/write_semaphore.h"

#include <cstring>

#include "config/config_flags.h"
#include "executive/console_output.h"
#include "executive/date_time.h"
#include "executive/tick.h"
#include "executive/types.h"
#include "partner/partner_link.h"
#include "sas/sas_drive.h"

namespace fw {

namespace {

// A request the partner has not answered in this time is sent again.
constexpr uint64_t REQUEST_RESEND_MS = 2000;
// A token held in use this long with neither an update pending nor a
// commit running is taken as stale when the partner asks for it.
constexpr uint64_t STALE_USE_MS = 5000;
constexpr uint8_t SEND_REQUEST = 16;

uint8_t s_fOwned = FALSE;
uint8_t s_fPartnerPending = FALSE;
uint8_t s_fOwnPending = FALSE;
uint8_t s_fInProgress = FALSE;
uint64_t s_lOutgoingRequestMs;
uint64_t s_lIncomingRequestMs;
uint64_t s_lLastGrantedMs;

void TakeToken() {
    s_fOwned = TRUE;
    s_fInProgress = TRUE;
    s_lLastGrantedMs = lGetTickCount();
}

}  // namespace

uint8_t fCanSendConfigMessage() {
    return ToFlag(fIsSASOCFailbackInProgress() == FALSE && fIsDualControllerActive() == TRUE);
}

void BuildConfigMessage(INTER_CONTROLLER_MESSAGE* psMessage, uint8_t bCode, uint8_t bArgument) {
    std::memset(psMessage, 0, sizeof *psMessage);
    psMessage->bEntryType = 0x11;
    psMessage->bEntryCount = 1;
    psMessage->wControlFlags = 8;   // no data phase
    psMessage->wTimeout = 8;
    psMessage->abCdb[0] = PARTNER_TYPED_MESSAGE;
    psMessage->abCdb[1] = bCode;
    psMessage->abCdb[3] = bArgument;
}

void InitConfigWriteSemaphore() {
    s_fOwned = s_fPartnerPending = s_fOwnPending = s_fInProgress = FALSE;
    s_lOutgoingRequestMs = s_lIncomingRequestMs = s_lLastGrantedMs = 0;
}

uint8_t bSendConfigWriteSemaphoreMessage(uint8_t bCode) {
    if (fCanSendConfigMessage() != TRUE) return 0;
    INTER_CONTROLLER_MESSAGE sMessage;
    BuildConfigMessage(&sMessage, bCode == SEND_REQUEST ? MESSAGE_WRITE_TOKEN_REQUEST : MESSAGE_WRITE_TOKEN_GRANT, 0);
    uint16_t wSlot = 0;
    return bSendMessageToPartner(&sMessage, &wSlot, 0);
}

uint8_t RequestConfigWriteSemaphore() {
    if (fCanSendConfigMessage() != TRUE || s_fOwned == TRUE) {
        TakeToken();
        return WRITE_TOKEN_GRANTED;
    }
    const uint8_t b = bSendConfigWriteSemaphoreMessage(SEND_REQUEST);
    if (b != STATUS_OK) return b == STATUS_RETRY ? STATUS_RETRY : 0;
    s_fOwnPending = TRUE;
    s_lOutgoingRequestMs = lGetTickCount();
    return WRITE_TOKEN_REQUESTED;
}

uint8_t fPollConfigWriteSemaphore() {
    if (fIsDualControllerActive() != TRUE) TakeToken();
    if (s_fOwned != TRUE && lGetTickCount() - s_lOutgoingRequestMs > REQUEST_RESEND_MS) {
        (void)RequestConfigWriteSemaphore();
    }
    return s_fOwned;
}

uint8_t ReleaseConfigWriteSemaphore() {
    s_fInProgress = FALSE;
    if (s_fPartnerPending != TRUE) return STATUS_OK;
    if (fCanSendConfigMessage() == TRUE) {
        const uint8_t b = bSendConfigWriteSemaphoreMessage(MESSAGE_WRITE_TOKEN_GRANT);
        if (b != STATUS_OK) return b;
        s_fPartnerPending = FALSE;
        s_fOwned = FALSE;
        return STATUS_OK;
    }
    // The partner has gone: the token stays here.
    s_fOwned = TRUE;
    s_fPartnerPending = FALSE;
    return STATUS_OK;
}

void HandlePartnerConfigWriteSemaphoreMessage(uint8_t bCode) {
    const uint64_t lNow = lGetTickCount();
    if (bCode == MESSAGE_WRITE_TOKEN_GRANT) {
        s_fOwnPending = FALSE;
        TakeToken();
        return;
    }
    if (bCode != MESSAGE_WRITE_TOKEN_REQUEST) return;
    uint64_t lAge;
    if (s_fPartnerPending == FALSE) {
        s_lIncomingRequestMs = lNow;
        lAge = lNow - s_lLastGrantedMs;
    } else {
        lAge = lNow - s_lOutgoingRequestMs;
    }
    const bool fCommitBusy = fIsConfigUpdatePending() == TRUE || fIsConfigCommitInProgress() == TRUE;
    if (lAge > STALE_USE_MS && !fCommitBusy) s_fInProgress = FALSE;
    // Both asked at once: the master's request goes first.  Were each to
    // grant the other's, both would hold the token and edit together.
    const bool fCrossed = s_fOwnPending == TRUE && fIsMasterController() == TRUE;
    if (s_fInProgress == TRUE || fCommitBusy || fCrossed ||
        bSendConfigWriteSemaphoreMessage(MESSAGE_WRITE_TOKEN_GRANT) != STATUS_OK) {
        s_fPartnerPending = TRUE;
        return;
    }
    s_fPartnerPending = FALSE;
    s_fOwned = FALSE;
    NoteConfigTakenElsewhere();
}

void PrintConfigWriteSemaphore() {
    ConsolePrintf("\n");
    PrintUptime();
    ConsolePrintf("Config Write Semaphore Data\n");
    ConsolePrintf("s_fICConfigWriteOwnedByThisController:            %02x\n", s_fOwned);
    ConsolePrintf("s_fOtherControllerHasPendingICConfigWriteRequest: %02x\n", s_fPartnerPending);
    ConsolePrintf("s_fThisControllerHasPendingICConfigWriteRequest:  %02x\n", s_fOwnPending);
    ConsolePrintf("s_fICConfigWriteInProgress:                       %02x\n", s_fInProgress);
    ConsolePrintf("Outgoing Request Time: ");
    PrintElapsedMs(s_lOutgoingRequestMs);
    ConsolePrintf("\n");
    ConsolePrintf("Incoming Request Time: ");
    PrintElapsedMs(s_lIncomingRequestMs);
    ConsolePrintf("\n");
    ConsolePrintf("Last Granted Time    : ");
    PrintElapsedMs(s_lLastGrantedMs);
    ConsolePrintf("\n\n");
}

uint8_t fIsConfigWriteOwned() { return s_fOwned; }
uint8_t fIsConfigWriteInProgress() { return s_fInProgress; }
uint8_t fIsConfigWritePartnerPending() { return s_fPartnerPending; }
uint8_t fIsConfigWriteOwnPending() { return s_fOwnPending; }

}  // namespace fw
