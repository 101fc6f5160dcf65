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
// VERIFY and SEEK in their 16-byte forms: only the range is checked.
void AnswerVerify(KERNEL_ENTRY* psEntry);
void AnswerSeek(KERNEL_ENTRY* psEntry);
// Waits (put back) while older writes of the initiator to the LUN are in
// the cache, then has the snapshot metadata written and answers when that
// is done; the command waits off the ring meanwhile.
void AnswerSynchronizeCache(KERNEL_ENTRY* psEntry);
uint8_t bAnswerReadDefectData(KERNEL_ENTRY* psEntry);
uint8_t bAnswerReportLuns(KERNEL_ENTRY* psEntry);

}  // namespace fw
