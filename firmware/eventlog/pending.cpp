// Stand-ins for the services of this subsystem that are not built yet:
// the least behaviour that lets their callers run.
#include "eventlog/bus_monitor.h"
#include "eventlog/debug_dump.h"
#include "executive/work_flags.h"
#include "eventlog/target_trace.h"
#include "eventlog/event_log.h"
#include "eventlog/info_dump.h"
#include "eventlog/upcalls.h"
#include "executive/types.h"

namespace fw {

void BusMonitorStartCounters(uint8_t) {}
void InitTarCmdTrace() {}

namespace {
uint8_t s_bPrintOutputMode = PRINT_OUTPUT_CONSOLE;
}  // namespace
void SetPrintOutputMode(uint8_t bMode) { s_bPrintOutputMode = bMode; }
uint8_t bGetPrintOutputMode() { return s_bPrintOutputMode; }


uint8_t bGetBusMonitorMode() { return FALSE; }
void RunBusMonitorStep() {}

namespace {
uint8_t s_fInfoDumpRequest = FALSE;
uint8_t s_bInfoDumpType = 0;
uint16_t s_wInfoDumpState = 0;
uint8_t s_bInfoDumpMode = 0;
}  // namespace
uint8_t fGetInfoDumpRequest() { return s_fInfoDumpRequest; }
void SetInfoDumpRequest(uint8_t f) {
    s_fInfoDumpRequest = f;
    if (f == TRUE) SetWorkPending(TRUE);
}
uint8_t bGetInfoDumpType() { return s_bInfoDumpType; }
void SetInfoDumpType(uint8_t bType) { s_bInfoDumpType = bType; }
uint8_t bGetInfoDumpState() { return static_cast<uint8_t>(s_wInfoDumpState); }
void SetInfoDumpState(uint16_t wState) { s_wInfoDumpState = wState; }
uint8_t bGetInfoDumpMode() { return s_bInfoDumpMode; }
void SetInfoDumpMode(uint8_t bMode) { s_bInfoDumpMode = bMode; }
// No page is produced yet: a dump ends at once and gives the console back
// to the menu that asked for it.
void RunInfoDump() {
    s_fInfoDumpRequest = FALSE;
    s_bInfoDumpType = 0;
    s_wInfoDumpState = 0;
    s_bInfoDumpMode = 0;
    if (fGetDebugDumpWork() != TRUE) InfoDumpFinished();
}

void ShowDebugInformation() { SetDebugDumpWork(FALSE); }

void RecordTarCmdTrace(KERNEL_ENTRY*) {}

void SetBusMonitorStop(uint8_t) {}

}  // namespace fw
