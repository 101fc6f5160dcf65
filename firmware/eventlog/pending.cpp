// Stand-ins for the services of this subsystem that are not built yet:
// the least behaviour that lets their callers run.
#include "eventlog/bus_monitor.h"
#include "eventlog/debug_dump.h"
#include "executive/work_flags.h"
#include "eventlog/target_trace.h"
#include "eventlog/event_log.h"
#include "eventlog/info_dump.h"
#include "eventlog/statistics.h"
#include "eventlog/upcalls.h"
#include "executive/tick.h"
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

uint32_t dGetRanksWithWrites() { return 0; }

// The command counters count: the cache and the scheduler decide by them.
namespace {
uint32_t s_dHostReads = 0;
uint32_t s_dHostWrites = 0;
uint32_t s_dCacheWrites = 0;
uint32_t s_dCacheWritesMax = 0;
uint32_t s_adRankReads[64];
uint32_t s_adRankWrites[64];
void DecNotBelowZero(uint32_t* pd) {
    if (*pd != 0) --*pd;
}
}  // namespace
uint32_t dGetHostReadsInProgress() { return s_dHostReads; }
uint32_t dGetHostWritesInProgress() { return s_dHostWrites; }
void IncHostReadsInProgress() { ++s_dHostReads; }
void IncHostWritesInProgress() { ++s_dHostWrites; }
void DecHostReadsInProgress() { DecNotBelowZero(&s_dHostReads); }
void DecHostWritesInProgress() { DecNotBelowZero(&s_dHostWrites); }
uint32_t dGetRankReadsInProgress(uint8_t bRank) { return bRank < 64 ? s_adRankReads[bRank] : 0; }
uint32_t dGetRankWritesInProgress(uint8_t bRank) { return bRank < 64 ? s_adRankWrites[bRank] : 0; }
uint32_t dGetRankWriteBlocksInProgress(uint8_t) { return 0; }
void IncRankReadsInProgress(uint8_t bRank) {
    if (bRank < 64) ++s_adRankReads[bRank];
}
void IncRankWritesInProgress(uint8_t bRank) {
    if (bRank < 64) ++s_adRankWrites[bRank];
}
void DecRankReadsInProgress(uint8_t bRank) {
    if (bRank < 64) DecNotBelowZero(&s_adRankReads[bRank]);
}
void DecRankWritesInProgress(uint8_t bRank) {
    if (bRank < 64) DecNotBelowZero(&s_adRankWrites[bRank]);
}
namespace {
uint64_t s_alRankLastAccess[64];
}  // namespace
uint64_t lGetRankLastAccessTime(uint8_t bRank) { return bRank < 64 ? s_alRankLastAccess[bRank] : 0; }
void SetRankLastAccessTime(uint8_t bRank) {
    if (bRank < 64) s_alRankLastAccess[bRank] = lGetTickCount();
}
uint32_t dGetCacheWriteCount() { return s_dCacheWrites; }
void IncCacheWriteCount() {
    if (++s_dCacheWrites > s_dCacheWritesMax) s_dCacheWritesMax = s_dCacheWrites;
}
void DecCacheWriteCount() { DecNotBelowZero(&s_dCacheWrites); }
void UpdateStatisticsOnCommandComplete(KERNEL_ENTRY*) {}
void CountAllocationFailure() {}
void CountBufferPressureRefusal() {}
void CountWriteWaitBehindWrite() {}
void CountWriteRowShareMulti() {}
void CountWriteWaitBehindRead() {}
void CountStreamArrivalSpread(uint32_t) {}
void CountWriteCollapse(uint16_t) {}
void CountMultiPieceStream() {}
void IncRaidNoPagesCount() {}
void CountReadFromWrite() {}
namespace {
uint32_t s_dReadWaits = 0;
}  // namespace
void CountReadWaitBehindWrite() { ++s_dReadWaits; }
uint32_t dGetReadWaitBehindWriteCount() { return s_dReadWaits; }
void CountPrefetch() {}
void CountReadAheadHit(uint16_t) {}
void RecordHostCommandTime(KERNEL_ENTRY*) {}

namespace {
uint32_t s_dInvalidOpcodes = 0;
}  // namespace
void IncReservationConflictCount() {}
void IncInvalidOpcodeCount() { s_dInvalidOpcodes++; }
uint32_t dGetInvalidOpcodeCount() { return s_dInvalidOpcodes; }
void CountLunCommandStart(const KERNEL_ENTRY*) {}
void IncLunOutstanding(const KERNEL_ENTRY*) {}
uint8_t fIsLunCommandInProgress(uint16_t) { return FALSE; }
void AddHostBlocksTransferred(uint16_t) {}
void IncPortResetCount(uint8_t) {}

void RecordTarCmdTrace(KERNEL_ENTRY*) {}
void PrintCommandTraceLine(const KERNEL_ENTRY*) {}

namespace {
uint32_t s_dMirrorAllocFails = 0;
}  // namespace
void CountMirrorAllocFail() { ++s_dMirrorAllocFails; }
uint32_t dGetMirrorAllocFailCount() { return s_dMirrorAllocFails; }
namespace {
uint32_t s_dTargetQueueFull = 0;
uint64_t s_lLastHostCommandMs = 0;
}  // namespace
void CountTargetQueueFull() { ++s_dTargetQueueFull; }
uint32_t dGetTargetQueueFullCount() { return s_dTargetQueueFull; }
void SetLastHostCommandTime(uint64_t lMs) { s_lLastHostCommandMs = lMs; }
uint64_t lGetLastHostCommandTime() { return s_lLastHostCommandMs; }

void ShowStatusLine(uint8_t) {}
void ShowDriveCommandTimeLog() {}
void ShowHostCommandTimeLog() {}
void ShowRankLunDataCounters() {}

void SetBusMonitorStop(uint8_t) {}

}  // namespace fw
