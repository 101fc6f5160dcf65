// Stand-ins for the services of this subsystem that are not built yet:
// the least behaviour that lets their callers run.
#include "config/config_db.h"
#include "config/config_state.h"
#include "config/nvram_layout.h"
#include "config/nvram_records.h"
#include "executive/date_time.h"
#include "executive/types.h"
#include "executive/kernel_queue.h"

namespace fw {

namespace {
uint8_t s_fIsConfigValid = FALSE;
}  // namespace
void SetConfigValid(uint8_t f) { s_fIsConfigValid = f; }
uint8_t fIsConfigValid() { return s_fIsConfigValid; }
void SetHostCommandHold(uint8_t) {}
void SetConfigurationChanged(uint8_t) {}
void SetConfigUpdatePending(uint8_t) {}
void SetConfigWriteWaitFlag(uint8_t) {}
void SetDriveCommandPendingFlag(uint8_t) {}
void SetWriteBackCheckEnable(uint8_t) {}
void SetStartOfDayFlags(uint8_t) {}
void BeginConfigLoad() {}
uint8_t LoadConfigFromPartner() { return STATUS_OK; }
uint8_t LoadConfigFromSasDrives() { return STATUS_OK; }
void ConvertLiveConfigImage() {}
void CheckOnDiskHeaders() {}
uint8_t bSetUpConfigUpgradeTable() { return STATUS_OK; }
void ResetConfigStartFlags() {}


// Stand-ins for the board state.
uint8_t fGetConfiguredControllerWwn(uint8_t*) { return FALSE; }

void RunConfigPhase() { ClearConfigurationService(); }
void RunConfigPhaseBackground() { ClearStartOfDayService(); }
uint8_t fGetDriveFirmwareDownloadRequest() { return FALSE; }
uint8_t fGetConfigWriteWaitFlag() { return FALSE; }
uint8_t fIsConfigUpdatePending() { return FALSE; }
uint8_t fIsConfigCommitInProgress() { return FALSE; }
uint8_t fGetHostCommandHold() { return FALSE; }
uint8_t fGetCommitSpinUpWait() { return FALSE; }
void StartConfigCommit() {}

uint8_t RequestConfigUpdate(uint8_t) { return TRUE; }
uint8_t bGetArrayMemberPathType(const CONFIG_IMAGE*, uint8_t) { return 1; }

}  // namespace fw
