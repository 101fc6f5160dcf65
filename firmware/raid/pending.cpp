// Stand-ins for the services of this subsystem that are not built yet:
// the least behaviour that lets their callers run.
#include "raid/raid_engine.h"
#include "hw/scsi.h"
#include "target/command_access.h"
#include "target/host_command_codes.h"
#include "target/stage_rings.h"
#include "executive/types.h"
#include "executive/kernel_entry.h"
#include "executive/kernel_queue.h"

namespace fw {

void SetRaidStartFlag(uint8_t) {}
void ParityEngineJoinFollowUp() {}
void ResetRaidStartFlags() {}

uint32_t dGetWaitListOrderingWord() { return 0; }
void ClearDriveTimerTable() {}
void SetDriveTimerPeriod(uint8_t) {}

void WaitListBOtherJob(KERNEL_ENTRY*) {}

}  // namespace fw
