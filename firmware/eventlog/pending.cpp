// Stand-ins for the services of this subsystem that are not built yet:
// the least behaviour that lets their callers run.
#include "eventlog/bus_monitor.h"
#include "eventlog/target_trace.h"
#include "executive/types.h"

namespace fw {

void BusMonitorStartCounters(uint8_t) {}
void InitTarCmdTrace() {}

uint8_t bGetBusMonitorMode() { return FALSE; }
void RunBusMonitorStep() {}

void RecordTarCmdTrace(KERNEL_ENTRY*) {}

void SetBusMonitorStop(uint8_t) {}

}  // namespace fw
