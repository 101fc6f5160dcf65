// The zero-write job: zeros over the first and the last blocks of one
// logical drive (a head from block 0, a tail ending on its last block),
// written through the normal write path one 16 KB write at a time, each
// issued from the completion of the one before.  One job runs at a time;
// the management command that started it is answered when it ends.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;

constexpr uint32_t ZERO_WRITE_PAGES = 4;

// Job states.
constexpr uint8_t ZERO_WRITE_IDLE = 0;
constexpr uint8_t ZERO_WRITE_HEAD_FIRST = 1;
constexpr uint8_t ZERO_WRITE_HEAD = 2;
constexpr uint8_t ZERO_WRITE_TAIL_FIRST = 3;
constexpr uint8_t ZERO_WRITE_TAIL = 4;
constexpr uint8_t ZERO_WRITE_DONE = 5;

void InitZeroWriteJob();
// Starts the job for the requester (null: nobody waits).  Head and tail are
// in the logical drive's own blocks.  255 started, 0 refused (a job runs,
// no such logical drive, a head or tail larger than it), 16 no host entry,
// 66 no pages.
uint8_t bStartZeroWriteJob(KERNEL_ENTRY* psRequester, uint16_t wLd, uint32_t dHead, uint32_t dTail);
// One step of the job; also the completion of each of its writes.
void ZeroWriteJobStep(KERNEL_ENTRY* psWrite);
// Ends the job (255 done, anything else failed) and answers the requester.
void FinishZeroWriteJob(uint8_t bStatus);

uint8_t fIsZeroWriteJobBusy();
uint8_t bGetZeroWriteJobState();
// The status the last job ended with (255 done).
uint8_t bGetZeroWriteJobLastStatus();

}  // namespace fw
