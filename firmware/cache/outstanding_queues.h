// Outstanding I/O queues: the host READ(16) and WRITE(16) commands in
// progress on each LUN, which answer the ordering questions of the cache.
#pragma once

#include <cstdint>

namespace fw {

struct KERNEL_ENTRY;

void InitOutstandingWriteQueues();
void InitOutstandingReadQueues();
void RemoveOutstandingWrite(KERNEL_ENTRY* psEntry);
void RemoveOutstandingRead(KERNEL_ENTRY* psEntry);
void InsertOutstandingWrite(KERNEL_ENTRY* psEntry);
void InsertOutstandingRead(KERNEL_ENTRY* psEntry);
void UpdateOutstandingWrite(KERNEL_ENTRY* psEntry);
void UpdateOutstandingRead(KERNEL_ENTRY* psEntry);
// 86 go, 87 wait; 88 and 90 share stripe rows with one or several older
// writes (the one through the out argument); 92 a read served from a write.
uint8_t bCheckWriteOverlap(KERNEL_ENTRY* psEntry);
uint8_t bFindBlockingWrite(KERNEL_ENTRY* psEntry, uint16_t* pwBlockingIndex, uint8_t fAllWrites, uint8_t fWaitIfAny,
                           uint8_t fUnused);
uint8_t bCheckReadAgainstWrites(KERNEL_ENTRY* psEntry, uint16_t wBlocks, uint8_t fStrict);
uint32_t dGetRankOutstandingWrites(uint8_t bRank);
void FlagLunOutstandingWrites(uint16_t wLun, uint32_t dCount);

}  // namespace fw
