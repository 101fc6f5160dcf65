// Stand-ins for the services of this subsystem that are not built yet:
// the least behaviour that lets their callers run.  They are the drive-loop
// half of the driver and the chip diagnostics.
#include "executive/types.h"
#include "fc/fc_driver.h"

namespace fw {

void ResetFibreChannelStartFlags() {}
void InitLoopPortTables() {}
void SetFcScanFlag(uint8_t) {}
uint8_t bSetUpDriveLoopDeviceTable() { return STATUS_OK; }
// No drive-loop bring-up runs on this board: the drive side counts as
// ready from the start until something says otherwise.
namespace {
uint8_t s_fDriveLoopsReady = TRUE;
uint8_t s_fDrivesStarting = FALSE;
uint8_t s_fDriveLoopsHold = FALSE;
}  // namespace
uint8_t fGetDriveLoopsReady() { return s_fDriveLoopsReady; }
void SetDriveLoopsReady(uint8_t f) { s_fDriveLoopsReady = f; }
uint8_t fGetDrivesStarting() { return s_fDrivesStarting; }
void SetDrivesStarting(uint8_t f) { s_fDrivesStarting = f; }
uint8_t fGetDriveLoopsHold() { return s_fDriveLoopsHold; }
void SetDriveLoopsHold(uint8_t f) { s_fDriveLoopsHold = f; }
uint8_t fIsDriveIsrActive() { return FALSE; }

// Stand-ins for the tick, board state and stop paths.
void FcPeriodicService() {}
void CloseDriveLoops(uint8_t, uint8_t) {}
void SetDriveLoopBypass(uint8_t, uint8_t) {}

uint8_t fGetLoopTableRequest() { return FALSE; }
void LoopTableService() {}
uint8_t fGetDriveLoopLipFlag(uint8_t) { return FALSE; }
uint8_t fIsDriveLoopUp(uint8_t) { return FALSE; }
void BringUpDriveLoops() {}
void ShowHostLinkStatus() {}
uint16_t wGetJournalDrainAllowance() { return 0; }
void DumpIsp24xx(uint8_t) {}

uint8_t bGetPortDatabase(uint8_t, uint8_t, uint8_t*, uint8_t*) { return 0; }

void ShowQLogicRegisters() {}

void PrintSfpInformation(const uint8_t*) {}
void PrintSfpDiagnostics(const uint8_t*, uint8_t) {}

}  // namespace fw
