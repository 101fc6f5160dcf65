// Stand-ins for the services of this subsystem that are not built yet:
// the least behaviour that lets their callers run.
#include "target/target_engine.h"

#include <cstring>

#include "cache/outstanding_queues.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "target/scsi_status.h"
#include "executive/types.h"
#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"
#include "hw/scsi.h"
#include "target/stage_rings.h"
#include "executive/timers.h"

namespace fw {

uint16_t wGetCompletedCommandCount(uint8_t) { return 0; }

void IwcqQueueWrite(KERNEL_ENTRY*, uint8_t) {}
void SetIwcqPendingFlag(uint8_t) {}
void DumpWriteCollapseQueues() {}
// Stand-in for the shutdown request.
void ReleaseLunQueuesForShutdown() {}

uint16_t wGetTargetSchedulingCount(uint8_t) { return 0; }
void TargetQueueService(uint8_t) {}
void TargetQueueTimeoutService() {}



void ShowActiveLunsPerRank() {}

namespace {
uint8_t s_fDrivePortReady = FALSE;
}  // namespace
void SetDrivePortReady(uint8_t, uint8_t f) { s_fDrivePortReady = f; }
uint8_t fIsDrivePortReady(uint8_t) { return s_fDrivePortReady; }

}  // namespace fw
