// The SCSI command dispatcher: the one place where a new host command is
// admitted.  It takes the command at the head of the new-command ring,
// checks it in a fixed order, refuses it with a status, puts it back to wait,
// or hands it to the handler of its opcode; READ and WRITE of every accepted
// length leave it as READ(16) or WRITE(16) on their logical drive's ring.
#pragma once

#include <cstdint>

#include "executive/kernel_entry.h"

namespace fw {

// Dispatches the command at the head of the new-command ring (port code 80:
// whatever port it came from).  255 dealt with (answered, queued or put
// back); any other value leaves it at the head and ends dispatching for this
// main-loop cycle.
uint8_t bDispatchHostCommand(uint8_t bPortCode);

// While the pair holds new host work: every command at the head of the
// new-command ring that has waited too long is answered (NOT READY,
// becoming ready), so that none waits past a host's time-out.
void AnswerHeldHostCommands();

// Start of day of the dispatcher and the scheduler's first pass.
void InitTargetDispatcher();

// What the LUN scheduler may start from a logical drive's ring in one turn.
uint16_t wGetLunBatchLimit(uint16_t wLun);
// TRUE when the array's queued single-segment writes exceed its limit.
uint8_t fIsArrayQueueOverLimit(uint8_t bRank);
// Target queue management's gate: 255 start, 240 refused and answered, 238 wait.
uint8_t bAdmitQueuedCommand(KERNEL_ENTRY* psEntry);

// Ways a command leaves stage 2, for the handlers and the start routines.
// Back to the tail of the new-command ring, counted again.
void PutBackNewCommand(KERNEL_ENTRY* psEntry);
// Off the new-command ring onto the command-complete ring without a status.
void FinishWithoutStatus(KERNEL_ENTRY* psEntry);
// LOGICAL UNIT NOT SUPPORTED, from the new-command ring or the LUN ring the
// command sits on; a command made inside the controller gets no status.
void AnswerLunNotSupported(KERNEL_ENTRY* psEntry);

// The 16-byte form of READ and WRITE of 6 and 10 bytes, WRITE AND VERIFY
// and the 6-byte SEEK, in place in the CDB.
void ConvertCdbTo16(uint8_t* pbCdb);
// RESERVE(6), RELEASE(6) and MODE SENSE(6) widened in place to 10 bytes.
void WidenCdbTo10(uint8_t* pbCdb);

}  // namespace fw
