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

}  // namespace fw
