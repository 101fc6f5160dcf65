// Holding stripe rows against host writes while a job reads a row and then
// writes part of it from what it read (the parity check's rewrite, the
// regeneration of blocks a member could not read, the verify's repair of a
// reassigned block).  A host write landing between those reads and that
// write would leave the written chunk, or the parity, computed from data
// that is no longer there.  The hold is a pseudo write over the rows' data
// blocks in every logical drive segment they cross, queued with the host's
// writes, so that newer writes to the rows wait behind it; the job starts
// once the older writes of the rows have reached the drives.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;

// A row meets two logical drive segments at most (segments are whole
// capacity units); four leaves room for a range of rows.
constexpr uint32_t ROW_HOLD_PIECES = 4;

// The primary state of a hold's pseudo writes: waiting for the older
// writes (it holds newer ones off, but nothing of the rows is being read),
// or in force (its job reads and writes the rows).
constexpr uint8_t ROW_HOLD_WAITING = 0x40;
constexpr uint8_t ROW_HOLD_IN_FORCE = 0x41;

struct ROW_HOLD {
    KERNEL_ENTRY* apsPseudo[ROW_HOLD_PIECES];
};

// The stages of a hold, for a job that runs them itself.
// Takes the pseudo writes over the rank's internal addresses [lStart,
// lEnd): 255 taken, 0 when the rows lie in no logical drive (nothing to
// hold), 16 when no host entry is free.
uint8_t bTakeRowHold(ROW_HOLD* psHold, uint8_t bRank, uint64_t lStart, uint64_t lEnd);
// Queues the pieces with the host writes and, with a partner, gets its
// agreement: TRUE once every piece has it.
uint8_t fObtainRowHoldAccess(ROW_HOLD* psHold);
// TRUE once no older write of the rows (nor an older read of them) is left
// to reach the drives and no other hold on them is in force: the hold is
// then in force itself.  psServed: the host command the job works for, which
// waits for it: neither it nor the writes held behind it count, and reads do
// not (they wait for nothing the job does, or are the served command).
uint8_t fAreOlderWritesDone(ROW_HOLD* psHold, KERNEL_ENTRY* psServed);
// Gives the pseudo writes back; the writes held behind them go on.
void ReleaseRowHold(ROW_HOLD* psHold);
uint8_t fIsRowHoldTaken(const ROW_HOLD* psHold);

// Holds for commands that wait for them in the background: the rows of the
// rank's member blocks [dFirst, dLast] (whole rows) are held for psOwner;
// once they are, pfnHeld(psOwner) runs (from the background pass), and
// answers TRUE when it took the rows, FALSE to be called again later.
// 255 the hold is out (its number in *pbHold; pfnHeld may already have
// run), 0 the rows lie in no logical drive (nothing held, pfnHeld not run),
// 16 no hold or entry is free.
constexpr uint8_t NO_ROW_HOLD = 0xFF;
using ROW_HOLD_DONE = uint8_t (*)(KERNEL_ENTRY* psOwner);
uint8_t bStartRowHold(uint8_t* pbHold, KERNEL_ENTRY* psOwner, uint8_t bRank, uint32_t dFirst, uint32_t dLast,
                      KERNEL_ENTRY* psServed, ROW_HOLD_DONE pfnHeld);
void EndRowHold(uint8_t* pbHold);
// The background pass's work: holds waiting for their rows.
uint8_t fAreRowHoldsWaiting();
void ServiceRowHolds();
// Start of day: no hold.
void InitRowHolds();

}  // namespace fw
