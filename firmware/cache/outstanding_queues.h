// Outstanding I/O queues: the host READ(16) and WRITE(16) commands in
// progress on each LUN, which answer the ordering questions of the cache.
#pragma once

#include <cstdint>

namespace fw {

void InitOutstandingWriteQueues();
void InitOutstandingReadQueues();

}  // namespace fw
