// READ BUFFER and WRITE BUFFER: the echo buffers of port codes 49 and 50,
// and the hand-off of the management protocol's pages and commands and of
// firmware downloads to their subsystems.  Also the sense saved per
// initiator on port codes 49 and 50, which REQUEST SENSE reports there.
#pragma once

#include <cstdint>

#include "executive/kernel_entry.h"

namespace fw {

// Echo buffers and saved sense: two groups (port code 49, every other code)
// of this many initiators.
constexpr uint8_t ECHO_INITIATORS = 16;
constexpr uint32_t ECHO_BUFFER_BYTES = 4096;
constexpr uint8_t ALL_SAVED_SENSE_INITIATORS = 255;
constexpr uint8_t EVENT_FIRMWARE_BUFFER_REFUSED = 158;

// Start-up: one zeroed buffer page for each echo buffer, nothing written.
void InitEchoBuffers();

// 255 answered or under way; 66 no page free, the command stays at the head
// of the new-command ring.
uint8_t bAnswerReadBuffer(KERNEL_ENTRY* psEntry);
uint8_t bAnswerWriteBuffer(KERNEL_ENTRY* psEntry);
// The data of an echo buffer write has arrived (command type 71).
void FinishEchoBufferWrite(KERNEL_ENTRY* psEntry);

// The management WRITE BUFFER in progress; null when none was started.
KERNEL_ENTRY* psGetDeferredWriteBuffer();

// Initiator 255 sets the sense of all sixteen of the port's group.
void SetSavedSense(uint8_t bPortCode, uint8_t bInitiator, uint8_t bKey, uint8_t bAsc, uint8_t bAscq);
// No sense for an initiator outside the group.
void GetSavedSense(uint8_t bPortCode, uint16_t wInitiator, uint8_t* pbKey, uint8_t* pbAsc, uint8_t* pbAscq);

}  // namespace fw
