// The configuration write token: with two controllers only the one that
// holds it may edit and commit.  It stays with its holder until the partner
// asks; an idle holder hands it over at once, a busy one when its commit
// ends.  Without a partner it is granted here at once.
#pragma once

#include <cstdint>

namespace fw {

struct INTER_CONTROLLER_MESSAGE;

// Results of RequestConfigWriteSemaphore.
constexpr uint8_t WRITE_TOKEN_GRANTED = 20;
constexpr uint8_t WRITE_TOKEN_REQUESTED = 19;

// Partner message codes of the token.
constexpr uint8_t MESSAGE_WRITE_TOKEN_REQUEST = 0x30;
constexpr uint8_t MESSAGE_WRITE_TOKEN_GRANT = 0x31;

void InitConfigWriteSemaphore();
// 20 granted, 19 request sent (wait), 16 not queued now (retry), 0 not sent.
uint8_t RequestConfigWriteSemaphore();
// The owned flag, after taking the token locally when the partner is gone
// and asking again when a request went unanswered for 2 s.
uint8_t fPollConfigWriteSemaphore();
// The commit's end: 255, or the send's failure when a waiting partner could
// not be given the token yet.
uint8_t ReleaseConfigWriteSemaphore();
// 16 sends the request, any other code the grant.
uint8_t bSendConfigWriteSemaphoreMessage(uint8_t bCode);
// The partner's request (0x30) or grant (0x31).
void HandlePartnerConfigWriteSemaphoreMessage(uint8_t bCode);
void PrintConfigWriteSemaphore();

uint8_t fIsConfigWriteOwned();
uint8_t fIsConfigWriteInProgress();
uint8_t fIsConfigWritePartnerPending();
uint8_t fIsConfigWriteOwnPending();

// TRUE when configuration messages may go to the partner: dual controller
// operation is active and no drive-side failback of the partner runs.
uint8_t fCanSendConfigMessage();
// A typed configuration message without data: code in CDB byte 1, the
// argument in byte 3.
void BuildConfigMessage(INTER_CONTROLLER_MESSAGE* psMessage, uint8_t bCode, uint8_t bArgument);

}  // namespace fw
