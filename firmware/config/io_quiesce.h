// Host I/O quiesce: a commit that deletes arrays or logical drives, or
// changes performance options, first lets the running host commands drain,
// on this controller and, with two controllers, on the partner too (partner
// message 18: sub-code 0 request, 1 quiesced, 2 resume).  New host commands
// wait at the dispatcher while a quiesce runs.
#pragma once

#include <cstdint>

namespace fw {

constexpr uint8_t QUIESCE_IDLE = 0;
constexpr uint8_t QUIESCE_DRAINING = 1;
constexpr uint8_t QUIESCE_QUIESCED = 2;

constexpr uint8_t MESSAGE_IO_QUIESCE = 18;
constexpr uint8_t QUIESCE_REQUEST = 0;
constexpr uint8_t QUIESCE_DONE = 1;
constexpr uint8_t QUIESCE_RESUME = 2;

// Called with 255 once both controllers are quiet, else with a failure code.
using QUIESCE_DONE_ROUTINE = void (*)(uint8_t bStatus);

void InitIoQuiesce();
// The starting side (the commit).
void StartIoQuiesce(QUIESCE_DONE_ROUTINE pfnDone);
// Ends a quiesce, on the starting side telling the partner to resume too.
void ResumeHostIo();
uint8_t bGetIoQuiesceState();

// The partner's messages: its request (255 accepted, 0 refused), its
// report that it is quiesced, and its resume.
uint8_t HandlePartnerQuiesceRequest();
void SetPartnerQuiescedFlag();
void SetPartnerResumedFlag();
// The partner link's continuation of a sent code-18 message: fFailed the
// message's failure flag, bSenseKey what the partner answered.
void QuiesceMessageSent(uint8_t bSubCode, uint8_t fFailed, uint8_t bSenseKey);

}  // namespace fw
