// How the handlers of the target commands answer a command taken from the
// new-command ring: with a status alone, or with data and GOOD status from a
// run of buffer pages the command owns until it is freed.
//
// A handler that cannot go on for lack of pages leaves the command at the
// head of the ring and answers STATUS_NO_PAGES, so that the dispatcher stops
// for this main-loop cycle and comes back to the same command later.
#pragma once

#include <cstdint>

#include "executive/kernel_entry.h"
#include "hw/addresses.h"

namespace fw {

// State 21, the status, and the command off the new-command ring.
void AnswerCommand(KERNEL_ENTRY* psEntry, uint8_t bCode, uint8_t bAsc, uint8_t bAscq);

// The reserved-field check of the command's CDB.  FALSE when a field the
// controller does not implement is set: the command was answered with the
// sense the check gave.
bool PassesReservedFieldCheck(KERNEL_ENTRY* psEntry);

// A run of zeroed bank-0 pages the command owns until it is freed (its
// transfer count becomes the run's blocks).  Null when no run is free.
uint8_t* pbTakeCommandPages(KERNEL_ENTRY* psEntry, uint8_t bPages);
// Gives the run back early (the command was not answered after all).
void ReleaseCommandPages(KERNEL_ENTRY* psEntry);

// Sends dLength bytes from the bus address with GOOD status, and takes the
// command off the new-command ring.  A Fibre Channel command whose loop was
// reset since it arrived is finished without a status instead.  255, or 16
// when the port's request ring is full: the command then stays at the head
// of the ring, without its pages, to be dispatched again.
uint8_t bSendCommandData(KERNEL_ENTRY* psEntry, BUS_ADDRESS dBusAddress, uint32_t dLength);
// The same from the start of the command's own pages.
uint8_t bSendCommandPages(KERNEL_ENTRY* psEntry, uint32_t dLength);

}  // namespace fw
