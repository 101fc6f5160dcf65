// XMODEM file receive on the console: while a receive is active it owns the
// console input; received bytes wait in a ring for the receive step, which
// speaks the receiver's side of the protocol from the background pass and,
// at the end, checks the file for its kind and hands it on.
#pragma once

#include <cstdint>

namespace fw {

// What the file is: it decides the check at the end and who takes it.
constexpr uint8_t XMODEM_KIND_CONTROLLER_FIRMWARE = 1;
constexpr uint8_t XMODEM_KIND_DRIVE_FIRMWARE = 2;
constexpr uint8_t XMODEM_KIND_IO_MODULE_FIRMWARE = 3;

// Starts a receive into the buffer of dCapacity bytes (a block that would
// pass its end cancels the transfer): 255 started, 0 refused (a receive is
// active, no buffer, or an unknown kind).
uint8_t fStartXmodemReceive(uint8_t* pbDestination, uint32_t dCapacity, uint8_t bKind, uint8_t fCrcMode);
uint8_t fIsXmodemReceiveActive();
void SetXmodemReceiveActive(uint8_t f);
// Receive interrupt path: queues one byte (dropped when the ring is full).
void XmodemReceiveCharacter(uint8_t bChar);
// TRUE with the oldest queued byte, FALSE when none waits.
uint8_t bGetXmodemCharacter(uint8_t* pbChar);
// One step of the receive state machine, from the background pass.
void XmodemReceiveStep();
// Bytes accepted by the last (or the running) receive.
uint32_t dGetXmodemReceivedBytes();

}  // namespace fw
