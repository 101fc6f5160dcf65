// The intermediate target queue of the Fibre Channel host ports: while
// target queue management is on, the data and status requests of a READ(16)
// or WRITE(16) are parked here instead of going to the chip, and the main
// loop hands them to the chip one at a time, always for the LUN served
// longest ago, so that no LUN's transfers crowd out the others'.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;

// Start of day: nothing parked, every count and stamp 0.
void InitTargetQueues();
// TRUE when the command's requests may be parked: target queue management
// on, a Fibre Channel host port, and room on its LUN's ring.  A full ring
// sends them to the chip at once instead.
uint8_t fCanParkCommand(const KERNEL_ENTRY* psEntry);
// Parks the command's request block, and a second one when given (null:
// none); flag bit 34.  Without room (fCanParkCommand FALSE) the blocks go
// to the chip at once.
void ParkCommandIocb(KERNEL_ENTRY* psEntry, const uint8_t* pbFirst, const uint8_t* pbSecond);
// Hands one parked command to the chip (main loop, while the port has any).
void ReleaseParkedCommand(uint8_t bPort);
// A command freed while still parked leaves its ring.
void UnparkCommand(KERNEL_ENTRY* psEntry);
uint16_t wGetParkedCount(uint8_t bPort);
// Requests released to the chip and not yet finished there; the chip side
// counts one down as each finishes (never below 0).
uint16_t wGetReleasedCount(uint8_t bPort);
void DecReleasedCount(uint8_t bPort);
void DumpIntermediateTargetQueue();

}  // namespace fw
