// The stages of a host WRITE(16) from the moment its data is in a controller
// buffer until the RAID engine has taken it: "Data Received" (arrival order,
// GOOD for write-back writes), "Optimisation" (a stream waits for its pieces
// and the write for followers), and "Write Ready" (issue by RAID level and
// the journal's issued mark).
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;

// Answers of the mirror-state step besides TRUE and FALSE.
constexpr uint8_t MIRROR_STEP_REQUEUE = 93;

// Head of the "Data Received" ring; 255.
uint8_t ProcessDataReceivedQueue();
// Head of the "Optimisation" ring; 255.
uint8_t ProcessOptimisationQueue();
// The main loop's walk of the "Optimisation" ring: FALSE while nothing a
// hold reads has moved since a walk that sent every write round again
// (`NoteOptimisationWalk` TRUE); the writes sent round so far.
uint8_t fIsOptimisationWalkDue();
// A walk's bounds: between them an array's load, once weighed, is reused
// until a write leaves the ring.
void BeginOptimisationWalk();
void NoteOptimisationWalk(uint8_t fQuiet);
// A flag that lets a held write go was set: the next walk is due.
void NoteOptimisationHoldRelease();
uint32_t dGetOptimisationRequeues();
// Head of the port's "Write Ready" ring, or an entry handed in by the
// zero-write job, the expansion or the snapshot I/O (a re-entry).  255 the
// ring moved on; 16 the command waits at the head; 0 a re-entry found its
// rank refusing writes.
uint8_t ProcessWriteReadyQueue(uint8_t bPortCode, KERNEL_ENTRY* psGiven);
// The data of a command other than WRITE(16) has arrived: its handler by
// command type.  255, or 16 when the handler asks to be run again.
uint8_t CompleteDataOutCommand(KERNEL_ENTRY* psEntry);
// Fails a write and the pieces of its stream: CHECK CONDITION 5/0x25/0x00.
// A write whose GOOD went out is kept (pushed back on its ring).
void FailWriteStream(KERNEL_ENTRY* psEntry);
// TRUE wait for the partner, FALSE go on, 93 requeue.
uint8_t bStepWriteMirrorState(KERNEL_ENTRY* psEntry);

// Writes that wait for the stripe initialisation of their rows (a step of
// the walk over them, or their own on-demand initialisation) sleep off
// their port's ring, in a list of their rank, until the rank's
// initialisation moves on: then all of them go back to their rings and
// are looked at again.  A write freed meanwhile leaves the list.
void ReleaseStripeInitWaiters(uint8_t bRank);
void ForgetStripeInitWaiter(KERNEL_ENTRY* psEntry);
uint32_t dGetStripeInitWaiters(uint8_t bRank);

}  // namespace fw
