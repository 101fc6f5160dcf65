// Stand-ins for the services of this subsystem that are not built yet:
// the least behaviour that lets their callers run.
#include "enclosure/drive_management.h"
#include "config/config_phase.h"
#include "executive/types.h"
#include "executive/work_flags.h"

namespace fw {

void SetCtrlOptionBit2Flag(uint8_t) {}
void InitDriveManagementState() {}
void SetDriveRescanInProgress(uint8_t) {}
void SetDriveRescanRequest(uint8_t) {}
void InitEnclosureServicesFlags() {}
void InitPowerManagementTables() {}
void SetAPMDriveVerifyRunning(uint8_t) {}
void SetAPMHoldFlag(uint8_t) {}
void SetPowerManagementState(uint8_t) {}
void InitDriveErrorCounters() {}
void SetSesPartnerJoinFlag(uint8_t) {}
void ClearPowerManagementJoinFlag() {}
void InitOwnEnclosure() {}
void CheckEnclosureFirmwareUpdate(uint8_t, uint8_t) {}
void AllocateEnclosureServicesTables() {}
void ResetDriveStartFlags() {}
void ResetEnclosureStartFlags() {}

// Stand-ins for the tick.
uint8_t fGetCtrlOptionBit2Flag() { return FALSE; }
void EnclosureTickRoutine() {}
uint8_t fGetIoModuleUpdateFlag() { return FALSE; }
void StartIoModuleUpdate() {}
uint8_t fIsDriveFirmwareDownloadActive() { return FALSE; }

namespace {
uint8_t s_fDownloadInProgress = FALSE;
uint8_t s_fDownloadPartnerSync = FALSE;
uint8_t s_abDownloadDriveParams[4] = {0xFF, 0xFF, 0xFF, 0xFF};
}  // namespace

uint8_t fIsDriveFirmwareDownloadInProgress() { return s_fDownloadInProgress; }
void DriveFirmwareDownloadStep() {}
void SetDriveFirmwareDownloadInProgress(uint8_t f) { s_fDownloadInProgress = f; }
void SetDriveFirmwareDownloadPartnerSync(uint8_t f) { s_fDownloadPartnerSync = f; }
uint8_t fGetDriveFirmwareDownloadPartnerSync() { return s_fDownloadPartnerSync; }
void SetDownloadDriveParams(uint8_t bPath, uint8_t bLoopId, uint8_t bRank, uint8_t bParam4) {
    s_abDownloadDriveParams[0] = bPath;
    s_abDownloadDriveParams[1] = bLoopId;
    s_abDownloadDriveParams[2] = bRank;
    s_abDownloadDriveParams[3] = bParam4;
}
uint8_t bGetDownloadDriveRank() { return s_abDownloadDriveParams[2]; }
uint8_t bGetDownloadDriveParam4() { return s_abDownloadDriveParams[3]; }
uint8_t fIsDriveRescanRequested() { return FALSE; }
uint8_t fIsDriveRescanInProgress() { return FALSE; }
uint8_t fGetDriveRescanBlockingFlag() { return FALSE; }
void ProcessDriveRescanRequest() {}
uint8_t fGetEnclosureTaskRequest() { return FALSE; }
void EnclosureTaskStep() {}
uint8_t fGetSesPollRequest() { return FALSE; }
void SesPagePollStep() {}
void DriveTableServiceA() { SetDriveServiceWorkA(FALSE); }
void DriveTableServiceB() { SetDriveServiceWorkB(FALSE); }
void MonitorTemperatures() {}
uint8_t PollOwnEnclosure() { return STATUS_OK; }

void StopAPM() {}
uint8_t fIsDriveQualified(const uint8_t*, uint8_t) { return TRUE; }
uint8_t fIsDrivePathTypeSupported(const uint8_t*) { return TRUE; }
uint8_t fAnyDriveMarkedUnusable() { return FALSE; }
uint8_t fRequestDriveRescan() { return TRUE; }
void LoadSaveAPMConfig(const uint8_t*, uint8_t) {}
uint8_t bStartAPM() { return STATUS_OK; }
void RequestEnclosureStatusUpdate(uint8_t) {}

// Phases whose work is not built yet end at once.
uint8_t RebuildDriveTables(uint8_t) {
    EndConfigPhase();
    return STATUS_OK;
}
uint8_t DownloadDriveFirmware(uint8_t) {
    EndConfigPhase();
    return STATUS_OK;
}
uint8_t DriveFormatPhase(uint8_t) {
    EndConfigPhase();
    return STATUS_OK;
}
uint8_t ReadStoredDriveFirmwareFile(uint8_t) {
    EndConfigPhase();
    return STATUS_OK;
}
uint8_t EnclosureDiscoveryDispatch(uint8_t) {
    EndConfigPhase();
    return STATUS_OK;
}


// No power management yet: every array is spun up.
uint8_t fIsCommandForDownloadDrive(const KERNEL_ENTRY*) { return FALSE; }
uint8_t bGetArrayAPMState(uint8_t) { return 2; }
uint8_t bSpinArrayUpDown(uint8_t, uint8_t) { return STATUS_OK; }

}  // namespace fw
