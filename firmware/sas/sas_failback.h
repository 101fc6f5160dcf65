// Bringing the drive side back when the partner returns: the failback
// sequence the main loop steps through, and the flags other drive-side
// services test while it runs.
#pragma once

#include <cstdint>

namespace fw {

// Steps of the failback sequence.
constexpr uint8_t SAS_FAILBACK_START = 0;
constexpr uint8_t SAS_FAILBACK_ASK = 1;
constexpr uint8_t SAS_FAILBACK_WAIT_ANSWER = 2;
constexpr uint8_t SAS_FAILBACK_CHECK_ANSWER = 3;
constexpr uint8_t SAS_FAILBACK_EXPANDERS = 4;
constexpr uint8_t SAS_FAILBACK_MORE_EXPANDERS = 5;
constexpr uint8_t SAS_FAILBACK_DEVICES = 6;
constexpr uint8_t SAS_FAILBACK_FINISH = 7;
constexpr uint8_t SAS_FAILBACK_RESTART = 9;
constexpr uint8_t SAS_FAILBACK_SETTLE = 10;

void SetSASFailbackInProgress(uint8_t f);
uint8_t bGetSASFailbackState();
// The other controller's failback: its end lets partner messages wait
// longer (they were held while it ran).
void SetSASOCFailbackInProgress(uint8_t f);
// The partner's answer to the failback request (message 159): accepted
// when it carried no sense.
void SASFailbackRequestAnswered(uint8_t fSense);
uint8_t fIsSASFailbackWaitingForPartner();
uint8_t fIsSASFailbackAcceptedByPartner();
// The partner sent its expander list (message 190).
void SetSASPartnerPhyListReceived(uint8_t f);
uint8_t fIsSASPartnerPhyListReceived();
// The extension of every partner message's deadline that the end of the
// other controller's failback asks for; TRUE once, then cleared.
uint8_t fTakeSASExtendPartnerDeadlines();

// PORT ENABLE of one port of the drive IOC (0x61 only) through the request
// queue, with the deadline given; the port wait holds until its reply.
uint8_t bSendPortEnable(uint8_t bIocId, uint8_t bPort, uint32_t dDeadlineMs);
// The drive IOC's firmware version, for the status displays.
uint32_t dGetDriveIOCWord();

}  // namespace fw
