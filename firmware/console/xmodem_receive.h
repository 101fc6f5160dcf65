// XMODEM file receive on the console: while a receive is active it owns the
// console input; received bytes wait in a ring for the receive step.
#pragma once

#include <cstdint>

namespace fw {

uint8_t fIsXmodemReceiveActive();
void SetXmodemReceiveActive(uint8_t f);
// Receive interrupt path: queues one byte (dropped when the ring is full).
void XmodemReceiveCharacter(uint8_t bChar);
// TRUE with the oldest queued byte, FALSE when none waits.
uint8_t bGetXmodemCharacter(uint8_t* pbChar);
// One step of the receive state machine, from the background pass.
void XmodemReceiveStep();

}  // namespace fw
