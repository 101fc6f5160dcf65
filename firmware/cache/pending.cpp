// Stand-ins for the services of this subsystem that are not built yet:
// the least behaviour that lets their callers run.
#include "cache/cache.h"
#include "cache/outstanding_queues.h"
#include "config/config_db.h"
#include "config/ld_table.h"
#include "console/option_settings.h"
#include "executive/kernel_entry.h"
#include "target/host_command_codes.h"
#include "target/host_command_pool.h"
#include "cache/cache_entry.h"
#include "executive/types.h"
#include "hw/scsi.h"
#include "target/command_access.h"
#include "target/scsi_status.h"
#include "target/stage_rings.h"

namespace fw {

uint8_t fCheckExpansionMarker(uint8_t, uint8_t) { return FALSE; }

uint32_t dGetWriteBufferCount() { return 0; }
void RefreshHostLunTable() {}
void SetThreadBalance(uint8_t) {}


}  // namespace fw
