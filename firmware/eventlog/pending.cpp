// Stand-ins for the services of this subsystem that are not built yet:
// the least behaviour that lets their callers run.
#include "eventlog/bus_monitor.h"
#include "eventlog/debug_dump.h"
#include "executive/work_flags.h"
#include "eventlog/target_trace.h"
#include "eventlog/event_log.h"
#include "eventlog/info_dump.h"
#include "eventlog/statistics.h"
#include "executive/types.h"

namespace fw {

void BusMonitorStartCounters(uint8_t) {}
void InitTarCmdTrace() {}


void InitStatistics() {}

namespace {
uint8_t s_bPrintOutputMode = PRINT_OUTPUT_CONSOLE;
}  // namespace
void SetPrintOutputMode(uint8_t bMode) { s_bPrintOutputMode = bMode; }
uint8_t bGetPrintOutputMode() { return s_bPrintOutputMode; }

// Stand-in for the indicators.
uint32_t dGetCacheWriteCount() { return 0; }

uint8_t bGetBusMonitorMode() { return FALSE; }
void RunBusMonitorStep() {}

uint8_t fGetInfoDumpRequest() { return FALSE; }
void RunInfoDump() {}

void ShowDebugInformation() { SetDebugDumpWork(FALSE); }

uint32_t dGetRanksWithWrites() { return 0; }

uint32_t dGetHostReadsInProgress() { return 0; }
uint32_t dGetHostWritesInProgress() { return 0; }
void DecHostReadsInProgress() {}
void DecHostWritesInProgress() {}
void DecRankReadsInProgress(uint8_t) {}
void DecRankWritesInProgress(uint8_t) {}
void DecCacheWriteCount() {}
void RecordHostCommandTime(KERNEL_ENTRY*) {}

namespace {
uint8_t s_fTargetCommandTrace = FALSE;
uint8_t s_fTargetCommandTimeTrace = FALSE;
}  // namespace
void RecordTarCmdTrace(KERNEL_ENTRY*) {}
void PrintCommandTraceLine(const KERNEL_ENTRY*) {}
uint8_t fGetTargetCommandTrace() { return s_fTargetCommandTrace; }
uint8_t fGetTargetCommandTimeTrace() { return s_fTargetCommandTimeTrace; }
void SetTargetCommandTrace(uint8_t f) { s_fTargetCommandTrace = f; }
void SetTargetCommandTimeTrace(uint8_t f) { s_fTargetCommandTimeTrace = f; }

namespace {
uint32_t s_dMirrorAllocFails = 0;
}  // namespace
void CountMirrorAllocFail() { ++s_dMirrorAllocFails; }
uint32_t dGetMirrorAllocFailCount() { return s_dMirrorAllocFails; }

}  // namespace fw
