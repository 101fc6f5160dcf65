// The small target commands hosts send all the time: TEST UNIT READY, the
// commands that need nothing done, REQUEST SENSE, READ CAPACITY, VERIFY,
// SEEK, SYNCHRONIZE CACHE, READ DEFECT DATA and REPORT LUNS.
//
// Each handler checks the CDB's reserved fields first, answers through the
// status routines and takes the command off the new-command ring.  Those
// that send data answer 255, or 66 when no buffer page is free (the command
// then stays at the head of the ring; see target/command_replies.h).
#pragma once

#include <cstdint>

#include "executive/buffer_pages.h"
#include "executive/kernel_entry.h"

namespace fw {

constexpr uint8_t REPORT_LUNS_PAGES = 5;
constexpr uint8_t SECONDARY_SYNC_IDLE = 0xFF;
constexpr uint8_t SECONDARY_SYNC_FLUSHING = 0xB9;   // waits for the metadata flush
constexpr uint8_t HOST_STATE_SYNC_FLUSH_WAIT = 0xB9;   // parked, no ring: answered when the flush ends

void AnswerTestUnitReady(KERNEL_ENTRY* psEntry);
// REZERO UNIT, START STOP UNIT, SEND and RECEIVE DIAGNOSTIC: GOOD.
void AnswerNoOperation(KERNEL_ENTRY* psEntry);
// fUnitAttention: a unit attention is pending for the initiator and LUN (the
// dispatcher clears it once the sense went out).
uint8_t bAnswerRequestSense(KERNEL_ENTRY* psEntry, uint8_t fUnitAttention);
// READ CAPACITY(10) and SERVICE ACTION IN(16).
uint8_t bAnswerReadCapacity(KERNEL_ENTRY* psEntry);
// VERIFY in its 16-byte form.  Without a compare (BYTCHK 0) only the range
// is checked.  With one (BYTCHK 1: the host's data against the blocks; 3:
// its one block against each) the command takes a buffer for one pass of
// the host's data (or the one block) and goes round the dispatcher again as
// the READ(16) of its blocks; each pass first takes its part of the host's
// data (fStartVerifyData), then reads its blocks through the read path, and
// compares them there (CompareVerifyPass) instead of sending them.  The
// reserved BYTCHK 2 is an invalid field.
void AnswerVerify(KERNEL_ENTRY* psEntry);
// A compare whose current pass has not got the host's data yet: asks the
// host for it and takes the command off the new-command ring (TRUE); the
// data-received stage sends it round the dispatcher again for the pass's
// read.  FALSE for any other command.
uint8_t fStartVerifyData(KERNEL_ENTRY* psEntry);
// The command type of a compare whose data from the host is arriving, and
// what the data-received stage does once it is in.  255.
constexpr uint8_t COMMAND_TYPE_VERIFY_DATA = 'V';
uint8_t bVerifyDataReceived(KERNEL_ENTRY* psEntry);
// TRUE while the command is a VERIFY reading its blocks for the compare.
uint8_t fIsVerifyCompare(const KERNEL_ENTRY* psEntry);
// One pass of a compare read: its blocks (at the buffer given) against the
// host's data.  A difference answers MISCOMPARE at once; the last pass
// answers GOOD; any other pass ends as if its data had gone to the host, so
// that the next pass starts (and first asks for its data).
void CompareVerifyPass(KERNEL_ENTRY* psEntry, BUFFER_HANDLE dMedium, uint32_t dBytes, uint8_t fLastPass);
// Gives back the pages a VERIFY holds for its compare (the host pool's
// release calls it, whatever way the command ended).
void ReleaseVerifyBuffer(KERNEL_ENTRY* psEntry);
// The pages the compares hold for the host's data, all together.
uint32_t dGetVerifyPagesHeld();
void AnswerSeek(KERNEL_ENTRY* psEntry);
// Waits (put back) while older writes of the initiator to the LUN are in
// the cache, then has the snapshot metadata written and answers when that
// is done; the command waits off the ring meanwhile.
void AnswerSynchronizeCache(KERNEL_ENTRY* psEntry);
uint8_t bAnswerReadDefectData(KERNEL_ENTRY* psEntry);
uint8_t bAnswerReportLuns(KERNEL_ENTRY* psEntry);

}  // namespace fw
